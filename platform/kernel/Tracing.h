// Event tracing for kernel-mode providers: provider registration (classic and WMI), trace sessions
// that enable providers with a level and flags, and the messages providers log into them.
#pragma once

#include <wdm.h>

#include <map>
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
    // Starts a named session; returns its logger id, or 0 when a session of that name runs.
    USHORT StartSession(const std::u16string& name);
    bool StopSession(const std::u16string& name);
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
    struct Session
    {
        USHORT loggerId;
        std::vector<std::pair<GUID, TRACE_ENABLE_CONTEXT>> enabled;
        std::vector<TraceMessage> messages;
    };

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
