#include "Tracing.h"

#include "Scheduler.h"
#include "System.h"
#include "Thread.h"
#include "Verifier.h"

#include <string.h>
#include <sys/syscall.h>
#include <unistd.h>

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
    m_sessions.erase(name);
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
    message.threadId = static_cast<ULONG>(syscall(SYS_gettid));
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
            session.messages.push_back(std::move(message));
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
