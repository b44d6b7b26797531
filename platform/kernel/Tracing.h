// Event tracing for kernel-mode providers: provider registration (classic and WMI), trace sessions
// that enable providers with a level and flags, and the messages providers log into them. A
// session keeps its messages in memory, or writes them to its log file (.etl, see base/etl.h) in
// buffers of its buffer size: a buffer goes to the file when it is full, when the session is
// flushed and when it stops. While a session runs it holds its log file open, shared for reading
// only.
//
// Locking: m_lock guards every session and provider; providers' callbacks are called without it.
#pragma once

#include <wdm.h>

#include "base/etl.h"
#include "syscall/Syscalls.h"

#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace winsim::kernel
{

struct TraceMessage
{
    LONGLONG timestamp; // system time
    ULONG sequence;
    ULONG threadId;
    GUID messageGuid;
    USHORT messageNumber;
    ULONG messageFlags;
    std::vector<std::vector<uint8_t>> arguments;
};

class TraceHub
{
  public:
    // --- controller side ---
    // Starts a named session that keeps its messages in memory; returns its logger id, or 0 when a
    // session of that name runs.
    USHORT StartSession(const std::u16string& name);
    bool StopSession(const std::u16string& name);
    // The trace control functions of the system-call seam (NtTraceControl), on a session named by
    // info->LoggerId or info->LoggerName; info is filled in on return as the seam describes.
    NTSTATUS Control(ULONG function, syscall::TRACE_SESSION_INFORMATION* info);
    // STATUS_SHARING_VIOLATION when a running session holds this host file and the access is more
    // than reading.
    NTSTATUS CheckHeldFileAccess(const std::string& hostPath, ACCESS_MASK access) const;
    bool IsSessionRunning(const std::u16string& name) const;
    // Enables (or disables) a provider in a session. A provider that registers later is enabled
    // at its registration.
    bool EnableProvider(const std::u16string& session, const GUID& provider, UCHAR level, ULONG flags,
                        bool enable);
    std::vector<TraceMessage> Messages(const std::u16string& session) const;
    // Every WmiTraceMessage call so far, logged or not.
    ULONGLONG MessageCalls() const;
    bool IsProviderRegistered(const GUID& provider) const;

    // --- provider side ---
    NTSTATUS RegisterClassic(const GUID& provider, PETW_CLASSIC_CALLBACK callback, PVOID context,
                             REGHANDLE* handle);
    NTSTATUS Unregister(REGHANDLE handle);
    // IoWMIRegistrationControl. Only the WMIREG_FLAG_CALLBACK form is provided (a tracing provider's
    // callback block standing in for a device object); registering a real device object for WMI
    // data blocks fails with STATUS_NOT_SUPPORTED.
    NTSTATUS WmiRegistrationControl(PDEVICE_OBJECT object, ULONG action);
    NTSTATUS Log(TRACEHANDLE logger, ULONG flags, LPCGUID messageGuid, USHORT number, va_list args);
    NTSTATUS QueryInformation(TRACE_INFORMATION_CLASS infoClass, PVOID information, ULONG length,
                              PULONG required, PVOID buffer);

  private:
    NTSTATUS RegisterWmi(PDEVICE_OBJECT callbackBlock);
    NTSTATUS DeregisterWmi(PDEVICE_OBJECT callbackBlock);

    struct Provider
    {
        GUID guid;
        REGHANDLE handle;
        PETW_CLASSIC_CALLBACK classic;
        PVOID context;
        PDEVICE_OBJECT wmiBlock; // WMI registrations: the block whose first field is the WMI entry
    };
    // A session's log file while the session runs.
    struct LogFile
    {
        int fd = -1;
        std::string hostPath;        // as opened
        std::string canonicalPath;   // for comparisons with other paths
        uint32_t maximumBuffers = 0; // the header buffer included; 0: no limit
        etl::LogFileHeader header;
        etl::BufferBuilder current{0};
        uint64_t nextSequence = 1; // of the next data buffer
    };
    struct Session
    {
        USHORT loggerId = 0;
        GUID guid{};
        ULONG bufferSizeKb = 0;
        ULONG maximumFileSizeMb = 0;
        ULONG logFileMode = 0;
        ULONG flushTimer = 0;
        ULONG clientContext = 0;
        ULONG enableFlags = 0;
        ULONG eventsLost = 0;
        ULONG logBuffersLost = 0;
        ULONG buffersWritten = 0;   // to the log file, its header buffer included
        std::u16string logFileName; // Windows path; empty: no file
        std::vector<std::pair<GUID, TRACE_ENABLE_CONTEXT>> enabled;
        std::vector<TraceMessage> messages; // sessions without a log file
        std::unique_ptr<LogFile> file;
    };

    NTSTATUS StartLocked(syscall::TRACE_SESSION_INFORMATION* info);
    Session* FindLocked(const syscall::TRACE_SESSION_INFORMATION& info, std::u16string* name);
    void FillLocked(const std::u16string& name, const Session& session,
                    syscall::TRACE_SESSION_INFORMATION* info);
    void LogToFileLocked(Session& session, const TraceMessage& message);
    void WriteBufferLocked(Session& session);
    void WriteHeaderLocked(Session& session);
    void CloseLogFileLocked(Session& session);

    void Notify(const Provider& provider, const TRACE_ENABLE_CONTEXT* context);
    const TRACE_ENABLE_CONTEXT* EnabledContextLocked(const GUID& provider) const;

    mutable std::recursive_mutex m_lock;
    std::map<std::u16string, Session> m_sessions;
    std::vector<Provider> m_providers;
    REGHANDLE m_nextHandle = 1;
    USHORT m_nextLogger = 1;
    ULONG m_sequence = 0;
    ULONGLONG m_calls = 0;
};

} // namespace winsim::kernel
