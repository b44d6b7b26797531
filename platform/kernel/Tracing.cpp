#include "Tracing.h"

#include "Process.h"
#include "Scheduler.h"
#include "System.h"
#include "Thread.h"
#include "Verifier.h"

#include "base/unicode.h"

#include <fcntl.h>
#include <string.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <filesystem>

namespace winsim::kernel
{

static TRACEHANDLE HandleOf(const TRACE_ENABLE_CONTEXT& context)
{
    TRACEHANDLE handle = 0;
    static_assert(sizeof(handle) == sizeof(context));
    memcpy(&handle, &context, sizeof(handle));
    return handle;
}

static TRACE_ENABLE_CONTEXT ContextOf(TRACEHANDLE handle)
{
    TRACE_ENABLE_CONTEXT context;
    memcpy(&context, &handle, sizeof(context));
    return context;
}

USHORT TraceHub::StartSession(const std::u16string& name)
{
    std::lock_guard<std::recursive_mutex> guard(m_lock);
    if (m_sessions.count(name) != 0)
    {
        return 0;
    }
    Session session;
    session.loggerId = m_nextLogger++;
    m_sessions[name] = std::move(session);
    return m_sessions[name].loggerId;
}

bool TraceHub::StopSession(const std::u16string& name)
{
    std::vector<GUID> disabled;
    {
        std::lock_guard<std::recursive_mutex> guard(m_lock);
        auto it = m_sessions.find(name);
        if (it == m_sessions.end())
        {
            return false;
        }
        for (const auto& [guid, context] : it->second.enabled)
        {
            disabled.push_back(guid);
        }
    }
    for (const GUID& guid : disabled)
    {
        EnableProvider(name, guid, 0, 0, false);
    }
    std::lock_guard<std::recursive_mutex> guard(m_lock);
    auto it = m_sessions.find(name);
    if (it != m_sessions.end())
    {
        CloseLogFileLocked(it->second);
        m_sessions.erase(it);
    }
    return true;
}

bool TraceHub::IsSessionRunning(const std::u16string& name) const
{
    std::lock_guard<std::recursive_mutex> guard(m_lock);
    return m_sessions.count(name) != 0;
}

bool TraceHub::EnableProvider(const std::u16string& sessionName, const GUID& provider, UCHAR level,
                              ULONG flags, bool enable)
{
    std::vector<Provider> notify;
    TRACE_ENABLE_CONTEXT context{};
    {
        std::lock_guard<std::recursive_mutex> guard(m_lock);
        auto it = m_sessions.find(sessionName);
        if (it == m_sessions.end())
        {
            return false;
        }
        Session& session = it->second;
        std::erase_if(session.enabled, [&](const auto& entry) { return IsEqualGUID(entry.first, provider); });
        if (enable)
        {
            session.enableFlags = flags;
            context.LoggerId = session.loggerId;
            context.Level = level;
            context.InternalFlag = 0;
            context.EnableFlags = flags;
            session.enabled.emplace_back(provider, context);
        }
        for (const Provider& candidate : m_providers)
        {
            if (IsEqualGUID(candidate.guid, provider))
            {
                notify.push_back(candidate);
            }
        }
    }
    for (const Provider& registered : notify)
    {
        Notify(registered, enable ? &context : nullptr);
    }
    return true;
}

void TraceHub::Notify(const Provider& provider, const TRACE_ENABLE_CONTEXT* context)
{
    // Providers are told at PASSIVE_LEVEL.
    TRACEHANDLE handle = context != nullptr ? HandleOf(*context) : 0;
    if (provider.classic != nullptr)
    {
        provider.classic(&provider.guid,
                         context != nullptr ? EVENT_CONTROL_CODE_ENABLE_PROVIDER
                                            : EVENT_CONTROL_CODE_DISABLE_PROVIDER,
                         &handle, provider.context);
        return;
    }
    WNODE_HEADER header{};
    header.BufferSize = sizeof(header);
    header.HistoricalContext = handle;
    header.Guid = provider.guid;
    header.Flags = WNODE_FLAG_TRACED_GUID;
    ULONG size = 0;
    PWMIENTRY entry = *reinterpret_cast<PWMIENTRY*>(provider.wmiBlock);
    entry(context != nullptr ? IRP_MN_ENABLE_EVENTS : IRP_MN_DISABLE_EVENTS,
          const_cast<GUID*>(&provider.guid), sizeof(header), &header, provider.wmiBlock, &size);
}

const TRACE_ENABLE_CONTEXT* TraceHub::EnabledContextLocked(const GUID& provider) const
{
    for (const auto& [name, session] : m_sessions)
    {
        for (const auto& [guid, context] : session.enabled)
        {
            if (IsEqualGUID(guid, provider))
            {
                return &context;
            }
        }
    }
    return nullptr;
}

std::vector<TraceMessage> TraceHub::Messages(const std::u16string& session) const
{
    std::lock_guard<std::recursive_mutex> guard(m_lock);
    auto it = m_sessions.find(session);
    return it == m_sessions.end() ? std::vector<TraceMessage>{} : it->second.messages;
}

ULONGLONG TraceHub::MessageCalls() const
{
    std::lock_guard<std::recursive_mutex> guard(m_lock);
    return m_calls;
}

bool TraceHub::IsProviderRegistered(const GUID& provider) const
{
    std::lock_guard<std::recursive_mutex> guard(m_lock);
    for (const Provider& candidate : m_providers)
    {
        if (IsEqualGUID(candidate.guid, provider))
        {
            return true;
        }
    }
    return false;
}

NTSTATUS TraceHub::RegisterClassic(const GUID& provider, PETW_CLASSIC_CALLBACK callback, PVOID context,
                                   REGHANDLE* handle)
{
    RequireIrqlAtMost(PASSIVE_LEVEL, "EtwRegisterClassicProvider");
    Provider registered{provider, 0, callback, context, nullptr};
    std::optional<TRACE_ENABLE_CONTEXT> enabled;
    {
        std::lock_guard<std::recursive_mutex> guard(m_lock);
        registered.handle = m_nextHandle++;
        m_providers.push_back(registered);
        if (const TRACE_ENABLE_CONTEXT* current = EnabledContextLocked(provider))
        {
            enabled = *current;
        }
    }
    *handle = registered.handle;
    if (enabled)
    {
        Notify(registered, &*enabled);
    }
    return STATUS_SUCCESS;
}

NTSTATUS TraceHub::Unregister(REGHANDLE handle)
{
    RequireIrqlAtMost(PASSIVE_LEVEL, "EtwUnregister");
    std::lock_guard<std::recursive_mutex> guard(m_lock);
    size_t removed = std::erase_if(m_providers, [&](const Provider& p) { return p.handle == handle; });
    return removed != 0 ? STATUS_SUCCESS : STATUS_INVALID_HANDLE;
}

NTSTATUS TraceHub::WmiRegistrationControl(PDEVICE_OBJECT object, ULONG action)
{
    if ((action & WMIREG_FLAG_CALLBACK) == 0)
    {
        // Registration of real device objects for WMI data blocks is not provided.
        return STATUS_NOT_SUPPORTED;
    }
    switch (action & ~WMIREG_FLAG_CALLBACK)
    {
    case WMIREG_ACTION_REGISTER:
        return RegisterWmi(object);
    case WMIREG_ACTION_DEREGISTER:
        return DeregisterWmi(object);
    default:
        return STATUS_INVALID_PARAMETER;
    }
}

NTSTATUS TraceHub::RegisterWmi(PDEVICE_OBJECT callbackBlock)
{
    RequireIrqlAtMost(PASSIVE_LEVEL, "IoWMIRegistrationControl");
    // Ask the provider for its registration information: the control GUID it answers for.
    alignas(8) uint8_t buffer[sizeof(WMIREGINFOW) + 64] = {};
    ULONG size = 0;
    PWMIENTRY entry = *reinterpret_cast<PWMIENTRY*>(callbackBlock);
    NTSTATUS status = entry(IRP_MN_REGINFO, callbackBlock, sizeof(buffer), buffer, callbackBlock, &size);
    auto* info = reinterpret_cast<PWMIREGINFOW>(buffer);
    if (!NT_SUCCESS(status) || info->GuidCount == 0)
    {
        return NT_SUCCESS(status) ? STATUS_INVALID_PARAMETER : status;
    }
    Provider registered{info->WmiRegGuid[0].Guid, 0, nullptr, nullptr, callbackBlock};
    std::optional<TRACE_ENABLE_CONTEXT> enabled;
    {
        std::lock_guard<std::recursive_mutex> guard(m_lock);
        registered.handle = m_nextHandle++;
        m_providers.push_back(registered);
        if (const TRACE_ENABLE_CONTEXT* current = EnabledContextLocked(registered.guid))
        {
            enabled = *current;
        }
    }
    if (enabled)
    {
        Notify(registered, &*enabled);
    }
    return STATUS_SUCCESS;
}

NTSTATUS TraceHub::DeregisterWmi(PDEVICE_OBJECT callbackBlock)
{
    RequireIrqlAtMost(PASSIVE_LEVEL, "IoWMIRegistrationControl");
    std::lock_guard<std::recursive_mutex> guard(m_lock);
    size_t removed =
        std::erase_if(m_providers, [&](const Provider& p) { return p.wmiBlock == callbackBlock; });
    return removed != 0 ? STATUS_SUCCESS : STATUS_INVALID_PARAMETER;
}

NTSTATUS TraceHub::Log(TRACEHANDLE logger, ULONG flags, LPCGUID messageGuid, USHORT number, va_list args)
{
    TraceMessage message{};
    message.messageGuid = messageGuid != nullptr ? *messageGuid : GUID{};
    message.messageNumber = number;
    message.messageFlags = flags;
    message.threadId = static_cast<ULONG>(::syscall(SYS_gettid));
    for (;;)
    {
        void* data = va_arg(args, void*);
        if (data == nullptr)
        {
            break;
        }
        size_t length = va_arg(args, size_t);
        auto* bytes = static_cast<uint8_t*>(data);
        message.arguments.emplace_back(bytes, bytes + length);
    }
    message.timestamp = System::Current().GetScheduler().SystemTime();
    TRACE_ENABLE_CONTEXT context = ContextOf(logger);
    std::lock_guard<std::recursive_mutex> guard(m_lock);
    ++m_calls;
    for (auto& [name, session] : m_sessions)
    {
        if (session.loggerId == context.LoggerId && logger != 0)
        {
            message.sequence = ++m_sequence;
            if (session.file != nullptr)
            {
                LogToFileLocked(session, message);
            }
            else
            {
                session.messages.push_back(std::move(message));
            }
            return STATUS_SUCCESS;
        }
    }
    return STATUS_INVALID_HANDLE;
}

NTSTATUS TraceHub::QueryInformation(TRACE_INFORMATION_CLASS infoClass, PVOID information, ULONG length,
                                    PULONG required, PVOID buffer)
{
    if (buffer == nullptr)
    {
        return STATUS_INVALID_PARAMETER;
    }
    TRACE_ENABLE_CONTEXT context = ContextOf(*static_cast<TRACEHANDLE*>(buffer));
    if (infoClass == TraceEnableFlagsClass || infoClass == TraceEnableLevelClass)
    {
        if (required != nullptr)
        {
            *required = sizeof(ULONG);
        }
        if (length < sizeof(ULONG))
        {
            return STATUS_BUFFER_TOO_SMALL;
        }
        *static_cast<ULONG*>(information) =
            infoClass == TraceEnableFlagsClass ? context.EnableFlags : context.Level;
        return STATUS_SUCCESS;
    }
    return STATUS_INVALID_INFO_CLASS;
}

// --- trace control: sessions with settings and log files ---------------------------------------

namespace
{

constexpr ULONG kDefaultBufferSizeKb = 64;
constexpr ULONG kLargestBufferSizeKb = 1024;
constexpr ULONG kKnownModes = EVENT_TRACE_FILE_MODE_SEQUENTIAL | EVENT_TRACE_FILE_MODE_CIRCULAR |
                              EVENT_TRACE_REAL_TIME_MODE | EVENT_TRACE_BUFFERING_MODE;

std::u16string NameOf(const WCHAR* text, size_t capacity)
{
    std::u16string name;
    for (size_t i = 0; i < capacity && text[i] != 0; ++i)
    {
        name.push_back(static_cast<char16_t>(text[i]));
    }
    return name;
}

void CopyName(const std::u16string& name, WCHAR* text, size_t capacity)
{
    size_t count = std::min(name.size(), capacity - 1);
    for (size_t i = 0; i < count; ++i)
    {
        text[i] = static_cast<WCHAR>(name[i]);
    }
    text[count] = 0;
}

// The host path of a full Windows path on drive C:, or empty.
std::string HostPathOfDriveC(const std::u16string& windowsPath)
{
    const std::string& drive = System::Current().Config().systemDrive;
    if (drive.empty() || windowsPath.size() < 3 || (windowsPath[0] != u'C' && windowsPath[0] != u'c') ||
        windowsPath[1] != u':' || windowsPath[2] != u'\\')
    {
        return std::string();
    }
    std::string rest = ToUtf8(windowsPath.substr(2));
    for (char& c : rest)
    {
        c = c == '\\' ? '/' : c;
    }
    return drive + rest;
}

std::string CanonicalOf(const std::string& hostPath)
{
    std::error_code ec;
    std::filesystem::path canonical = std::filesystem::weakly_canonical(hostPath, ec);
    return ec ? hostPath : canonical.string();
}

} // namespace

NTSTATUS TraceHub::Control(ULONG function, syscall::TRACE_SESSION_INFORMATION* info)
{
    std::u16string name;
    {
        std::lock_guard<std::recursive_mutex> guard(m_lock);
        if (function == syscall::TraceControlStartSession)
        {
            return StartLocked(info);
        }
        Session* session = FindLocked(*info, &name);
        if (session == nullptr)
        {
            return STATUS_WMI_INSTANCE_NOT_FOUND;
        }
        switch (function)
        {
        case syscall::TraceControlQuerySession:
            FillLocked(name, *session, info);
            return STATUS_SUCCESS;
        case syscall::TraceControlFlushSession:
            if (session->file != nullptr)
            {
                WriteBufferLocked(*session);
                WriteHeaderLocked(*session);
            }
            FillLocked(name, *session, info);
            return STATUS_SUCCESS;
        case syscall::TraceControlStopSession:
            // The file is complete before the answer; the providers are told without the lock.
            CloseLogFileLocked(*session);
            FillLocked(name, *session, info);
            break;
        case syscall::TraceControlEnableProvider:
            break;
        default:
            return STATUS_INVALID_PARAMETER;
        }
    }
    if (function == syscall::TraceControlStopSession)
    {
        StopSession(name);
    }
    else
    {
        EnableProvider(name, info->ControlGuid, static_cast<UCHAR>(info->EnableLevel), info->EnableFlags,
                       info->Enable != 0);
    }
    return STATUS_SUCCESS;
}

TraceHub::Session* TraceHub::FindLocked(const syscall::TRACE_SESSION_INFORMATION& info, std::u16string* name)
{
    std::u16string wanted = NameOf(info.LoggerName, TRACE_SESSION_NAME_CHARS);
    for (auto& [sessionName, session] : m_sessions)
    {
        if (info.LoggerId != 0 ? session.loggerId == info.LoggerId : sessionName == wanted)
        {
            *name = sessionName;
            return &session;
        }
    }
    return nullptr;
}

NTSTATUS TraceHub::StartLocked(syscall::TRACE_SESSION_INFORMATION* info)
{
    std::u16string name = NameOf(info->LoggerName, TRACE_SESSION_NAME_CHARS);
    std::u16string fileName = NameOf(info->LogFileName, TRACE_LOGFILE_NAME_CHARS);
    ULONG mode = info->LogFileMode;
    bool circular = (mode & EVENT_TRACE_FILE_MODE_CIRCULAR) != 0;
    if (name.empty() || (mode & ~kKnownModes) != 0 ||
        (circular && (mode & EVENT_TRACE_FILE_MODE_SEQUENTIAL) != 0) ||
        (circular && info->MaximumFileSize == 0) ||
        (fileName.empty() && (mode & (EVENT_TRACE_REAL_TIME_MODE | EVENT_TRACE_BUFFERING_MODE)) == 0))
    {
        return STATUS_INVALID_PARAMETER;
    }
    if (m_sessions.count(name) != 0)
    {
        return STATUS_OBJECT_NAME_COLLISION;
    }
    Session session;
    session.loggerId = m_nextLogger++;
    session.guid = info->Guid;
    session.bufferSizeKb =
        info->BufferSize == 0 ? kDefaultBufferSizeKb : std::min(info->BufferSize, kLargestBufferSizeKb);
    session.maximumFileSizeMb = info->MaximumFileSize;
    session.logFileMode = mode;
    session.flushTimer = info->FlushTimer;
    session.clientContext = info->ClientContext;
    session.logFileName = fileName;
    if (!fileName.empty())
    {
        std::string host = HostPathOfDriveC(fileName);
        if (host.empty() || !std::filesystem::is_directory(std::filesystem::path(host).parent_path()))
        {
            return STATUS_OBJECT_PATH_NOT_FOUND;
        }
        std::string canonical = CanonicalOf(host);
        for (const auto& [other, running] : m_sessions)
        {
            if (running.file != nullptr && running.file->canonicalPath == canonical)
            {
                return STATUS_OBJECT_PATH_INVALID;
            }
        }
        int fd = open(host.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        if (fd < 0)
        {
            return STATUS_ACCESS_DENIED;
        }
        auto file = std::make_unique<LogFile>();
        file->fd = fd;
        file->hostPath = host;
        file->canonicalPath = canonical;
        uint32_t bufferBytes = session.bufferSizeKb * 1024;
        uint64_t limit = static_cast<uint64_t>(session.maximumFileSizeMb) * 1024 * 1024;
        file->maximumBuffers =
            limit == 0 ? 0 : static_cast<uint32_t>(std::max<uint64_t>(limit / bufferBytes, 2));
        file->current = etl::BufferBuilder(bufferBytes);
        const SystemConfig& config = System::Current().Config();
        etl::LogFileHeader& header = file->header;
        header.bufferSize = bufferBytes;
        header.version = config.majorVersion | (config.minorVersion << 8);
        header.providerVersion = config.buildNumber;
        header.processors = config.processors;
        header.timerResolution = 156250;
        header.maximumFileSize = session.maximumFileSizeMb;
        header.logFileMode = mode;
        header.buffersWritten = 1;
        header.pointerSize = sizeof(void*);
        header.perfFreq = 10000000;
        header.bootTime = config.bootSystemTime;
        header.startTime = System::Current().GetScheduler().SystemTime();
        header.clockType = etl::kClockSystemTime;
        header.loggerName = name;
        header.logFileName = fileName;
        session.file = std::move(file);
        session.buffersWritten = 1;
        WriteHeaderLocked(session);
    }
    info->LoggerId = session.loggerId;
    m_sessions[name] = std::move(session);
    FillLocked(name, m_sessions[name], info);
    return STATUS_SUCCESS;
}

void TraceHub::FillLocked(const std::u16string& name, const Session& session,
                          syscall::TRACE_SESSION_INFORMATION* info)
{
    info->LoggerId = session.loggerId;
    info->Guid = session.guid;
    info->BufferSize = session.bufferSizeKb;
    info->MaximumFileSize = session.maximumFileSizeMb;
    info->LogFileMode = session.logFileMode;
    info->FlushTimer = session.flushTimer;
    info->ClientContext = session.clientContext;
    info->EnableFlags = session.enableFlags;
    info->NumberOfBuffers = 2;
    info->FreeBuffers = session.file != nullptr && !session.file->current.Empty() ? 1 : 2;
    info->EventsLost = session.eventsLost;
    info->BuffersWritten = session.buffersWritten;
    info->LogBuffersLost = session.logBuffersLost;
    info->RealTimeBuffersLost = 0;
    info->LoggerThreadId = 0;
    CopyName(name, info->LoggerName, TRACE_SESSION_NAME_CHARS);
    CopyName(session.logFileName, info->LogFileName, TRACE_LOGFILE_NAME_CHARS);
}

void TraceHub::LogToFileLocked(Session& session, const TraceMessage& message)
{
    etl::MessageRecord record;
    record.flags = message.messageFlags & 0xFFFF;
    record.number = message.messageNumber;
    record.sequence = message.sequence;
    record.guid.Data1 = message.messageGuid.Data1;
    record.guid.Data2 = message.messageGuid.Data2;
    record.guid.Data3 = message.messageGuid.Data3;
    memcpy(record.guid.Data4, message.messageGuid.Data4, sizeof(record.guid.Data4));
    record.timestamp = message.timestamp;
    record.threadId = message.threadId;
    record.processId = System::Current().Process().Id();
    record.arguments = message.arguments;
    std::vector<uint8_t> bytes = etl::EncodeMessage(record);
    LogFile& file = *session.file;
    if (bytes.empty() || bytes.size() > file.current.Capacity())
    {
        ++session.eventsLost;
        return;
    }
    if (!file.current.Append(bytes))
    {
        WriteBufferLocked(session);
        file.current.Append(bytes);
    }
}

void TraceHub::WriteBufferLocked(Session& session)
{
    LogFile& file = *session.file;
    if (file.current.Empty())
    {
        return;
    }
    uint64_t dataIndex = file.nextSequence - 1; // 0-based among data buffers
    uint64_t slot = 0;
    if ((session.logFileMode & EVENT_TRACE_FILE_MODE_CIRCULAR) != 0)
    {
        slot = 1 + dataIndex % (file.maximumBuffers - 1);
    }
    else if (file.maximumBuffers != 0 && 1 + dataIndex >= file.maximumBuffers)
    {
        // A sequential file at its limit: what the buffer holds is lost.
        session.eventsLost += file.current.Records();
        ++session.logBuffersLost;
        file.current.Seal(0, 0, 0);
        return;
    }
    else
    {
        slot = 1 + dataIndex;
    }
    LONGLONG now = System::Current().GetScheduler().SystemTime();
    std::vector<uint8_t> bytes = file.current.Seal(file.nextSequence, session.loggerId, now);
    off_t offset = static_cast<off_t>(slot * bytes.size());
    if (pwrite(file.fd, bytes.data(), bytes.size(), offset) != static_cast<ssize_t>(bytes.size()))
    {
        session.eventsLost += 1;
        ++session.logBuffersLost;
        return;
    }
    ++file.nextSequence;
    ++file.header.buffersWritten;
    session.buffersWritten = file.header.buffersWritten;
}

void TraceHub::WriteHeaderLocked(Session& session)
{
    LogFile& file = *session.file;
    file.header.eventsLost = session.eventsLost;
    file.header.buffersLost = session.logBuffersLost;
    std::vector<uint8_t> bytes =
        etl::EncodeHeaderBuffer(file.header, session.loggerId, System::Current().GetScheduler().SystemTime());
    if (pwrite(file.fd, bytes.data(), bytes.size(), 0) != static_cast<ssize_t>(bytes.size()))
    {
        ++session.logBuffersLost;
    }
}

void TraceHub::CloseLogFileLocked(Session& session)
{
    if (session.file == nullptr)
    {
        return;
    }
    WriteBufferLocked(session);
    session.file->header.endTime = System::Current().GetScheduler().SystemTime();
    WriteHeaderLocked(session);
    close(session.file->fd);
    session.file.reset();
}

NTSTATUS TraceHub::CheckHeldFileAccess(const std::string& hostPath, ACCESS_MASK access) const
{
    constexpr ACCESS_MASK kReading =
        GENERIC_READ | FILE_READ_DATA | FILE_READ_ATTRIBUTES | SYNCHRONIZE | READ_CONTROL | FILE_READ_EA;
    if ((access & ~kReading) == 0)
    {
        return STATUS_SUCCESS;
    }
    std::string canonical = CanonicalOf(hostPath);
    std::lock_guard<std::recursive_mutex> guard(m_lock);
    for (const auto& [name, session] : m_sessions)
    {
        if (session.file != nullptr && session.file->canonicalPath == canonical)
        {
            return STATUS_SHARING_VIOLATION;
        }
    }
    return STATUS_SUCCESS;
}

} // namespace winsim::kernel

using namespace winsim::kernel;

extern "C"
{

    NTSTATUS EtwRegisterClassicProvider(LPCGUID ProviderGuid, ULONG, PETW_CLASSIC_CALLBACK EnableCallback,
                                        PVOID CallbackContext, PREGHANDLE RegHandle)
    {
        return System::Current().Tracing().RegisterClassic(*ProviderGuid, EnableCallback, CallbackContext,
                                                           RegHandle);
    }

    NTSTATUS EtwUnregister(REGHANDLE RegHandle)
    {
        return System::Current().Tracing().Unregister(RegHandle);
    }

    NTSTATUS IoWMIRegistrationControl(PDEVICE_OBJECT DeviceObject, ULONG Action)
    {
        return System::Current().Tracing().WmiRegistrationControl(DeviceObject, Action);
    }

    NTSTATUS WmiTraceMessageVa(TRACEHANDLE LoggerHandle, ULONG MessageFlags, LPCGUID MessageGuid,
                               USHORT MessageNumber, va_list MessageArgList)
    {
        return System::Current().Tracing().Log(LoggerHandle, MessageFlags, MessageGuid, MessageNumber,
                                               MessageArgList);
    }

    NTSTATUS WmiTraceMessage(TRACEHANDLE LoggerHandle, ULONG MessageFlags, LPCGUID MessageGuid,
                             USHORT MessageNumber, ...)
    {
        va_list args;
        va_start(args, MessageNumber);
        NTSTATUS status = WmiTraceMessageVa(LoggerHandle, MessageFlags, MessageGuid, MessageNumber, args);
        va_end(args);
        return status;
    }

    NTSTATUS WmiQueryTraceInformation(TRACE_INFORMATION_CLASS TraceInformationClass, PVOID TraceInformation,
                                      ULONG TraceInformationLength, PULONG RequiredLength, PVOID Buffer)
    {
        return System::Current().Tracing().QueryInformation(TraceInformationClass, TraceInformation,
                                                            TraceInformationLength, RequiredLength, Buffer);
    }

} // extern "C"
