// Event tracing controllers: StartTraceA, ControlTraceA and its shorthands (QueryTraceA,
// FlushTraceA, StopTraceA), and EnableTrace.
//
// Each checks the caller's EVENT_TRACE_PROPERTIES the way Windows does (the block's length, the
// names at their offsets, the log file modes), then the caller's rights (only an administrator's
// elevated process controls sessions), and hands the kernel's trace sessions one flat request
// through the seam (NtTraceControl). On return the properties block is filled in as Windows fills
// it: the session's settings and counters, and its names copied to the offsets the caller gave.
// The functions return a Win32 error code and leave the last error alone, as on Windows.
#include "internal.h"
#include "ntdll/ntdll.h"

#include <evntrace.h>

#include <string.h>

namespace winsim::user
{
namespace
{

using syscall::TRACE_SESSION_INFORMATION;

constexpr ULONG kKnownModes = EVENT_TRACE_FILE_MODE_SEQUENTIAL | EVENT_TRACE_FILE_MODE_CIRCULAR |
                              EVENT_TRACE_REAL_TIME_MODE | EVENT_TRACE_BUFFERING_MODE;

// The text at an offset of the block, which must end (with its NUL) inside Wnode.BufferSize.
ULONG TextAt(const EVENT_TRACE_PROPERTIES* properties, ULONG offset, std::string* text)
{
    if (offset == 0)
    {
        return ERROR_SUCCESS;
    }
    if (offset < sizeof(EVENT_TRACE_PROPERTIES))
    {
        return ERROR_INVALID_PARAMETER;
    }
    const char* base = reinterpret_cast<const char*>(properties);
    ULONG size = properties->Wnode.BufferSize;
    if (offset >= size)
    {
        return ERROR_BAD_LENGTH;
    }
    const void* end = memchr(base + offset, 0, size - offset);
    if (end == nullptr)
    {
        return ERROR_BAD_LENGTH;
    }
    text->assign(base + offset, static_cast<const char*>(end));
    return ERROR_SUCCESS;
}

// Copies a name to its offset (when the caller gave one): ERROR_MORE_DATA when it does not fit.
ULONG CopyTextTo(EVENT_TRACE_PROPERTIES* properties, ULONG offset, const std::string& text)
{
    if (offset == 0)
    {
        return ERROR_SUCCESS;
    }
    if (offset > properties->Wnode.BufferSize || properties->Wnode.BufferSize - offset < text.size() + 1)
    {
        return ERROR_MORE_DATA;
    }
    memcpy(reinterpret_cast<char*>(properties) + offset, text.c_str(), text.size() + 1);
    return ERROR_SUCCESS;
}

void CopyWide(const std::u16string& text, WCHAR* target, size_t capacity)
{
    size_t count = std::min(text.size(), capacity - 1);
    for (size_t i = 0; i < count; ++i)
    {
        target[i] = static_cast<WCHAR>(text[i]);
    }
    target[count] = 0;
}

std::string AnsiOf(const WCHAR* text, size_t capacity)
{
    std::u16string wide;
    for (size_t i = 0; i < capacity && text[i] != 0; ++i)
    {
        wide.push_back(static_cast<char16_t>(text[i]));
    }
    return AnsiFromWide(wide);
}

// The session's settings and counters into the caller's block (not its names).
void FillProperties(EVENT_TRACE_PROPERTIES* properties, const TRACE_SESSION_INFORMATION& info)
{
    properties->Wnode.HistoricalContext = info.LoggerId;
    properties->Wnode.Guid = info.Guid;
    properties->Wnode.ClientContext = info.ClientContext;
    properties->BufferSize = info.BufferSize;
    properties->MinimumBuffers = info.NumberOfBuffers;
    properties->MaximumBuffers = info.NumberOfBuffers;
    properties->MaximumFileSize = info.MaximumFileSize;
    properties->LogFileMode = info.LogFileMode;
    properties->FlushTimer = info.FlushTimer;
    properties->EnableFlags = info.EnableFlags;
    properties->NumberOfBuffers = info.NumberOfBuffers;
    properties->FreeBuffers = info.FreeBuffers;
    properties->EventsLost = info.EventsLost;
    properties->BuffersWritten = info.BuffersWritten;
    properties->LogBuffersLost = info.LogBuffersLost;
    properties->RealTimeBuffersLost = info.RealTimeBuffersLost;
    properties->LoggerThreadId = reinterpret_cast<HANDLE>(static_cast<ULONG_PTR>(info.LoggerThreadId));
}

ULONG ErrorOf(NTSTATUS status)
{
    return RtlNtStatusToDosError(status);
}

} // namespace
} // namespace winsim::user

using namespace winsim::user;

extern "C"
{

    ULONG WINAPI StartTraceA(PTRACEHANDLE TraceHandle, LPCSTR InstanceName,
                             PEVENT_TRACE_PROPERTIES Properties)
    {
        if (TraceHandle == nullptr || InstanceName == nullptr || Properties == nullptr)
        {
            return ERROR_INVALID_PARAMETER;
        }
        if (Properties->Wnode.BufferSize < sizeof(EVENT_TRACE_PROPERTIES))
        {
            return ERROR_BAD_LENGTH;
        }
        size_t nameLength = strlen(InstanceName);
        if (nameLength == 0 || nameLength >= MAX_TRACE_SESSION_NAME ||
            (Properties->Wnode.Flags & WNODE_FLAG_TRACED_GUID) == 0)
        {
            return ERROR_INVALID_PARAMETER;
        }
        // The session's name goes to LoggerNameOffset on return: it must fit there.
        ULONG offset = Properties->LoggerNameOffset;
        if (offset != 0 && offset < sizeof(EVENT_TRACE_PROPERTIES))
        {
            return ERROR_INVALID_PARAMETER;
        }
        if (offset != 0 &&
            (offset > Properties->Wnode.BufferSize || Properties->Wnode.BufferSize - offset < nameLength + 1))
        {
            return ERROR_BAD_LENGTH;
        }
        std::string logFile;
        if (ULONG error = TextAt(Properties, Properties->LogFileNameOffset, &logFile); error != ERROR_SUCCESS)
        {
            return error;
        }
        ULONG mode = Properties->LogFileMode;
        bool circular = (mode & EVENT_TRACE_FILE_MODE_CIRCULAR) != 0;
        if ((mode & ~kKnownModes) != 0 || (circular && (mode & EVENT_TRACE_FILE_MODE_SEQUENTIAL) != 0) ||
            (circular && Properties->MaximumFileSize == 0) ||
            (logFile.empty() && (mode & (EVENT_TRACE_REAL_TIME_MODE | EVENT_TRACE_BUFFERING_MODE)) == 0) ||
            logFile.size() >= MAX_TRACE_LOGFILE_NAME)
        {
            return ERROR_INVALID_PARAMETER;
        }
        if (!ProcessRunsAsAdministrator())
        {
            return ERROR_ACCESS_DENIED;
        }
        TRACE_SESSION_INFORMATION info{};
        info.Guid = Properties->Wnode.Guid;
        info.BufferSize = Properties->BufferSize;
        info.MaximumFileSize = Properties->MaximumFileSize;
        info.LogFileMode = mode;
        info.FlushTimer = Properties->FlushTimer;
        info.ClientContext = Properties->Wnode.ClientContext;
        CopyWide(WideFromAnsi(InstanceName), info.LoggerName, TRACE_SESSION_NAME_CHARS);
        if (!logFile.empty())
        {
            char full[MAX_PATH];
            DWORD length = GetFullPathNameA(logFile.c_str(), sizeof(full), full, nullptr);
            if (length == 0 || length >= sizeof(full))
            {
                return ERROR_BAD_PATHNAME;
            }
            CopyWide(WideFromAnsi(full), info.LogFileName, TRACE_LOGFILE_NAME_CHARS);
        }
        NTSTATUS status = winsim::ntdll::TraceControl(winsim::syscall::TraceControlStartSession, &info);
        if (!NT_SUCCESS(status))
        {
            return ErrorOf(status);
        }
        *TraceHandle = info.LoggerId;
        FillProperties(Properties, info);
        CopyTextTo(Properties, offset, InstanceName);
        return ERROR_SUCCESS;
    }

    ULONG WINAPI ControlTraceA(TRACEHANDLE TraceHandle, LPCSTR InstanceName,
                               PEVENT_TRACE_PROPERTIES Properties, ULONG ControlCode)
    {
        if (Properties == nullptr || (TraceHandle == 0 && (InstanceName == nullptr || *InstanceName == 0)))
        {
            return ERROR_INVALID_PARAMETER;
        }
        ULONG function = 0;
        switch (ControlCode)
        {
        case EVENT_TRACE_CONTROL_QUERY:
            function = winsim::syscall::TraceControlQuerySession;
            break;
        case EVENT_TRACE_CONTROL_STOP:
            function = winsim::syscall::TraceControlStopSession;
            break;
        case EVENT_TRACE_CONTROL_FLUSH:
            function = winsim::syscall::TraceControlFlushSession;
            break;
        case EVENT_TRACE_CONTROL_UPDATE:
            // Changing a running session's settings is not provided.
            return ERROR_NOT_SUPPORTED;
        default:
            return ERROR_INVALID_PARAMETER;
        }
        if (Properties->Wnode.BufferSize < sizeof(EVENT_TRACE_PROPERTIES))
        {
            return ERROR_BAD_LENGTH;
        }
        if ((Properties->LoggerNameOffset != 0 &&
             Properties->LoggerNameOffset < sizeof(EVENT_TRACE_PROPERTIES)) ||
            (Properties->LogFileNameOffset != 0 &&
             Properties->LogFileNameOffset < sizeof(EVENT_TRACE_PROPERTIES)))
        {
            return ERROR_INVALID_PARAMETER;
        }
        if (TraceHandle == 0 && strlen(InstanceName) >= MAX_TRACE_SESSION_NAME)
        {
            return ERROR_INVALID_PARAMETER;
        }
        if (!ProcessRunsAsAdministrator())
        {
            return ERROR_ACCESS_DENIED;
        }
        TRACE_SESSION_INFORMATION info{};
        info.LoggerId = static_cast<ULONG>(TraceHandle);
        if (TraceHandle == 0)
        {
            CopyWide(WideFromAnsi(InstanceName), info.LoggerName, TRACE_SESSION_NAME_CHARS);
        }
        else if (TraceHandle > 0xFFFF)
        {
            return ERROR_WMI_INSTANCE_NOT_FOUND;
        }
        NTSTATUS status = winsim::ntdll::TraceControl(function, &info);
        if (!NT_SUCCESS(status))
        {
            return ErrorOf(status);
        }
        FillProperties(Properties, info);
        ULONG nameError = CopyTextTo(Properties, Properties->LoggerNameOffset,
                                     AnsiOf(info.LoggerName, TRACE_SESSION_NAME_CHARS));
        ULONG fileError = CopyTextTo(Properties, Properties->LogFileNameOffset,
                                     AnsiOf(info.LogFileName, TRACE_LOGFILE_NAME_CHARS));
        return nameError != ERROR_SUCCESS ? nameError : fileError;
    }

    ULONG WINAPI QueryTraceA(TRACEHANDLE TraceHandle, LPCSTR InstanceName, PEVENT_TRACE_PROPERTIES Properties)
    {
        return ControlTraceA(TraceHandle, InstanceName, Properties, EVENT_TRACE_CONTROL_QUERY);
    }

    ULONG WINAPI FlushTraceA(TRACEHANDLE TraceHandle, LPCSTR InstanceName, PEVENT_TRACE_PROPERTIES Properties)
    {
        return ControlTraceA(TraceHandle, InstanceName, Properties, EVENT_TRACE_CONTROL_FLUSH);
    }

    ULONG WINAPI StopTraceA(TRACEHANDLE TraceHandle, LPCSTR InstanceName, PEVENT_TRACE_PROPERTIES Properties)
    {
        return ControlTraceA(TraceHandle, InstanceName, Properties, EVENT_TRACE_CONTROL_STOP);
    }

    ULONG WINAPI EnableTrace(ULONG Enable, ULONG EnableFlag, ULONG EnableLevel, LPCGUID ControlGuid,
                             TRACEHANDLE TraceHandle)
    {
        if (ControlGuid == nullptr || TraceHandle == 0 || EnableLevel > 0xFF)
        {
            return ERROR_INVALID_PARAMETER;
        }
        if (!ProcessRunsAsAdministrator())
        {
            return ERROR_ACCESS_DENIED;
        }
        if (TraceHandle > 0xFFFF)
        {
            return ERROR_WMI_INSTANCE_NOT_FOUND;
        }
        TRACE_SESSION_INFORMATION info{};
        info.LoggerId = static_cast<ULONG>(TraceHandle);
        info.ControlGuid = *ControlGuid;
        info.Enable = Enable != 0 ? 1 : 0;
        info.EnableFlags = EnableFlag;
        info.EnableLevel = EnableLevel;
        return ErrorOf(winsim::ntdll::TraceControl(winsim::syscall::TraceControlEnableProvider, &info));
    }

} // extern "C"
