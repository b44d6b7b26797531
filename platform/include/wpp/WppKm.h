// The kit's software-tracing (WPP) runtime for kernel-mode drivers: the provider's control block,
// its registration with the system (a classic ETW provider on Windows Vista and later, the WMI
// registration path before), and the routines that turn a trace point into WmiTraceMessage.
//
// A driver includes this through its trace header, after defining WPP_CONTROL_GUID_VALUE (its
// control GUID as a brace initialiser), and each source includes its generated .tmh, which
// defines that module's message GUID (WPP_ThisModuleGuid). Trace message texts are not in the
// driver; the build writes them to a trace format file.
#pragma once

#include <wdm.h>

typedef NTSTATUS (*PFN_WPP_TRACE_MESSAGE)(TRACEHANDLE LoggerHandle, ULONG MessageFlags, LPCGUID MessageGuid,
                                          USHORT MessageNumber, ...);
typedef NTSTATUS (*PFN_WPP_QUERY_TRACE_INFORMATION)(TRACE_INFORMATION_CLASS TraceInformationClass,
                                                    PVOID TraceInformation, ULONG TraceInformationLength,
                                                    PULONG RequiredLength, PVOID Buffer);
typedef BOOLEAN (*PFN_WPP_PS_GET_VERSION)(PULONG MajorVersion, PULONG MinorVersion, PULONG BuildNumber,
                                          PUNICODE_STRING CSDVersion);
typedef NTSTATUS (*PFN_WPP_REGISTER_CLASSIC)(LPCGUID ProviderGuid, ULONG Type,
                                             PETW_CLASSIC_CALLBACK EnableCallback, PVOID CallbackContext,
                                             PREGHANDLE RegHandle);
typedef NTSTATUS (*PFN_WPP_UNREGISTER)(REGHANDLE RegHandle);

// The control block. Its first member is the WMI entry point: on the WMI registration path the
// block itself is handed to IoWMIRegistrationControl in place of a device object.
typedef struct _WPP_TRACE_CONTROL_BLOCK
{
    PWMIENTRY Callback;
    GUID ControlGuid;
    TRACEHANDLE Logger;
    ULONG Flags;
    UCHAR Level;
    BOOLEAN Classic;
    REGHANDLE RegHandle;
    PFN_WPP_TRACE_MESSAGE TraceMessage;
    PFN_WPP_QUERY_TRACE_INFORMATION QueryTraceInformation;
    PFN_WPP_UNREGISTER Unregister;
} WPP_TRACE_CONTROL_BLOCK, *PWPP_TRACE_CONTROL_BLOCK;

// One control block per driver image.
inline WPP_TRACE_CONTROL_BLOCK WPP_MAIN_CB;

#define WPP_MESSAGE_FLAGS                                                                                    \
    (TRACE_MESSAGE_SEQUENCE | TRACE_MESSAGE_GUID | TRACE_MESSAGE_SYSTEMINFO | TRACE_MESSAGE_TIMESTAMP)

// Trace points read the level, flags and logger without a lock; the enable callbacks write them.
inline UCHAR WppCurrentLevel()
{
    return __atomic_load_n(&WPP_MAIN_CB.Level, __ATOMIC_RELAXED);
}
inline ULONG WppCurrentFlags()
{
    return __atomic_load_n(&WPP_MAIN_CB.Flags, __ATOMIC_RELAXED);
}
inline TRACEHANDLE WppCurrentLogger()
{
    return __atomic_load_n(&WPP_MAIN_CB.Logger, __ATOMIC_RELAXED);
}

inline void WppSetEnabled(TRACEHANDLE logger, UCHAR level, ULONG flags)
{
    __atomic_store_n(&WPP_MAIN_CB.Level, level, __ATOMIC_RELAXED);
    __atomic_store_n(&WPP_MAIN_CB.Flags, flags, __ATOMIC_RELAXED);
    __atomic_store_n(&WPP_MAIN_CB.Logger, logger, __ATOMIC_RELAXED);
}

// A trace point fires when a session enabled the provider at its level or above and with its flag.
inline bool WppEnabled(UCHAR level, ULONG flags)
{
    return WppCurrentLogger() != 0 && WppCurrentLevel() >= level && (WppCurrentFlags() & flags) != 0;
}

inline VOID NTAPI WppClassicProviderCallback(LPCGUID, UCHAR ControlCode, PVOID EnableContext,
                                             PVOID CallbackContext)
{
    UNREFERENCED_PARAMETER(CallbackContext);
    if (ControlCode == EVENT_CONTROL_CODE_ENABLE_PROVIDER && EnableContext != NULL)
    {
        PTRACE_ENABLE_CONTEXT context = (PTRACE_ENABLE_CONTEXT)EnableContext;
        WppSetEnabled(*(TRACEHANDLE*)EnableContext, context->Level, context->EnableFlags);
    }
    else if (ControlCode == EVENT_CONTROL_CODE_DISABLE_PROVIDER)
    {
        WppSetEnabled(0, 0, 0);
    }
}

inline NTSTATUS WppTraceCallback(UCHAR MinorFunction, PVOID DataPath, ULONG BufferLength, PVOID Buffer,
                                 PVOID Context, PULONG Size)
{
    UNREFERENCED_PARAMETER(DataPath);
    UNREFERENCED_PARAMETER(Context);
    switch (MinorFunction)
    {
    case IRP_MN_REGINFO: {
        if (BufferLength < sizeof(WMIREGINFOW))
        {
            *Size = sizeof(WMIREGINFOW);
            return STATUS_BUFFER_TOO_SMALL;
        }
        PWMIREGINFOW info = (PWMIREGINFOW)Buffer;
        __builtin_memset(info, 0, sizeof(WMIREGINFOW));
        info->BufferSize = sizeof(WMIREGINFOW);
        info->GuidCount = 1;
        info->WmiRegGuid[0].Guid = WPP_MAIN_CB.ControlGuid;
        info->WmiRegGuid[0].Flags = WMIREG_FLAG_TRACE_CONTROL_GUID | WMIREG_FLAG_TRACED_GUID;
        *Size = sizeof(WMIREGINFOW);
        return STATUS_SUCCESS;
    }
    case IRP_MN_ENABLE_EVENTS: {
        PWNODE_HEADER header = (PWNODE_HEADER)Buffer;
        TRACEHANDLE logger = header->HistoricalContext;
        ULONG flags = 0;
        ULONG level = 0;
        if (WPP_MAIN_CB.QueryTraceInformation != NULL)
        {
            WPP_MAIN_CB.QueryTraceInformation(TraceEnableFlagsClass, &flags, sizeof(flags), NULL, &logger);
            WPP_MAIN_CB.QueryTraceInformation(TraceEnableLevelClass, &level, sizeof(level), NULL, &logger);
        }
        WppSetEnabled(logger, (UCHAR)level, flags);
        *Size = 0;
        return STATUS_SUCCESS;
    }
    case IRP_MN_DISABLE_EVENTS:
        WppSetEnabled(0, 0, 0);
        *Size = 0;
        return STATUS_SUCCESS;
    default:
        return STATUS_INVALID_DEVICE_REQUEST;
    }
}

inline PVOID WppSystemRoutine(PCWSTR name)
{
    UNICODE_STRING routine;
    RtlInitUnicodeString(&routine, name);
    return MmGetSystemRoutineAddress(&routine);
}

inline VOID WppInitKm(PDRIVER_OBJECT DriverObject, PCUNICODE_STRING RegistryPath, const GUID& ControlGuid)
{
    UNREFERENCED_PARAMETER(DriverObject);
    UNREFERENCED_PARAMETER(RegistryPath);
    __builtin_memset(&WPP_MAIN_CB, 0, sizeof(WPP_MAIN_CB));
    WPP_MAIN_CB.Callback = WppTraceCallback;
    WPP_MAIN_CB.ControlGuid = ControlGuid;

    PFN_WPP_PS_GET_VERSION getVersion = (PFN_WPP_PS_GET_VERSION)WppSystemRoutine(L"PsGetVersion");
    WPP_MAIN_CB.TraceMessage = (PFN_WPP_TRACE_MESSAGE)WppSystemRoutine(L"WmiTraceMessage");
    WPP_MAIN_CB.QueryTraceInformation =
        (PFN_WPP_QUERY_TRACE_INFORMATION)WppSystemRoutine(L"WmiQueryTraceInformation");

    ULONG major = 0;
    if (getVersion != NULL)
    {
        getVersion(&major, NULL, NULL, NULL);
    }
    PFN_WPP_REGISTER_CLASSIC registerClassic =
        major >= 6 ? (PFN_WPP_REGISTER_CLASSIC)WppSystemRoutine(L"EtwRegisterClassicProvider") : NULL;
    if (registerClassic != NULL)
    {
        WPP_MAIN_CB.Unregister = (PFN_WPP_UNREGISTER)WppSystemRoutine(L"EtwUnregister");
        WPP_MAIN_CB.Classic = TRUE;
        registerClassic(&WPP_MAIN_CB.ControlGuid, 0, WppClassicProviderCallback, &WPP_MAIN_CB,
                        &WPP_MAIN_CB.RegHandle);
    }
    else
    {
        IoWMIRegistrationControl((PDEVICE_OBJECT)&WPP_MAIN_CB, WMIREG_ACTION_REGISTER | WMIREG_FLAG_CALLBACK);
    }
}

inline VOID WppCleanupKm(PDRIVER_OBJECT DriverObject)
{
    UNREFERENCED_PARAMETER(DriverObject);
    if (WPP_MAIN_CB.Classic)
    {
        if (WPP_MAIN_CB.Unregister != NULL)
        {
            WPP_MAIN_CB.Unregister(WPP_MAIN_CB.RegHandle);
        }
    }
    else if (WPP_MAIN_CB.Callback != NULL)
    {
        IoWMIRegistrationControl((PDEVICE_OBJECT)&WPP_MAIN_CB,
                                 WMIREG_ACTION_DEREGISTER | WMIREG_FLAG_CALLBACK);
    }
    WppSetEnabled(0, 0, 0);
    __builtin_memset(&WPP_MAIN_CB, 0, sizeof(WPP_MAIN_CB));
}

// --- emitting a message: one routine per argument shape --------------------------------------

// Each argument becomes a (data, length) pair: numbers as 4 or 8 bytes, wide strings with their
// terminator, narrow strings with theirs.
struct WppArgument
{
    const void* data;
    SIZE_T length;
    ULONG64 storage;
};

template <typename T>
inline void WppPack(WppArgument& argument, T value)
{
    argument.storage = (ULONG64)(value);
    argument.data = &argument.storage;
    argument.length = sizeof(T) <= sizeof(ULONG) ? sizeof(ULONG) : sizeof(ULONG64);
}
inline void WppPack(WppArgument& argument, const WCHAR* text)
{
    static const WCHAR nullText[] = L"NULL";
    const WCHAR* shown = text != NULL ? text : nullText;
    SIZE_T count = 0;
    while (shown[count] != 0)
    {
        ++count;
    }
    argument.data = shown;
    argument.length = (count + 1) * sizeof(WCHAR);
}
inline void WppPack(WppArgument& argument, WCHAR* text)
{
    WppPack(argument, (const WCHAR*)text);
}
inline void WppPack(WppArgument& argument, const char* text)
{
    const char* shown = text != NULL ? text : "NULL";
    argument.data = shown;
    argument.length = __builtin_strlen(shown) + 1;
}
inline void WppPack(WppArgument& argument, char* text)
{
    WppPack(argument, (const char*)text);
}
inline void WppPack(WppArgument& argument, const void* pointer)
{
    argument.storage = (ULONG64)(ULONG_PTR)pointer;
    argument.data = &argument.storage;
    argument.length = sizeof(ULONG64);
}

template <unsigned... I>
struct WppIndexes
{
};
template <unsigned N, unsigned... I>
struct WppMakeIndexes : WppMakeIndexes<N - 1, N - 1, I...>
{
};
template <unsigned... I>
struct WppMakeIndexes<0, I...>
{
    typedef WppIndexes<I...> Type;
};

// Field J of the flattened (data, length) list.
template <unsigned J>
inline auto WppField(const WppArgument* arguments)
{
    if constexpr (J % 2 == 0)
    {
        return arguments[J / 2].data;
    }
    else
    {
        return arguments[J / 2].length;
    }
}

template <unsigned... J>
inline void WppSend(const GUID* messageGuid, USHORT number, const WppArgument* arguments, WppIndexes<J...>)
{
    (void)arguments;
    PFN_WPP_TRACE_MESSAGE send = WPP_MAIN_CB.TraceMessage;
    if (send != NULL)
    {
        send(WppCurrentLogger(), WPP_MESSAGE_FLAGS, messageGuid, number, WppField<J>(arguments)...,
             (PVOID)NULL);
    }
}

template <typename... A>
inline void WppTrace(const GUID* messageGuid, USHORT number, A... values)
{
    WppArgument arguments[sizeof...(A) + 1] = {};
    unsigned index = 0;
    (WppPack(arguments[index++], values), ...);
    (void)index;
    WppSend(messageGuid, number, arguments, typename WppMakeIndexes<2 * sizeof...(A)>::Type());
}

#define WPP_INIT_TRACING(DriverObject, RegistryPath)                                                         \
    WppInitKm(DriverObject, RegistryPath, WPP_CONTROL_GUID_VALUE)
#define WPP_CLEANUP(DriverObject) WppCleanupKm(DriverObject)
