// The Kernel-Mode Driver Framework as the simulated machine provides it: the types, callbacks,
// initialisation helpers and methods of KMDF with their real names and signatures, as far as the
// machine implements them.
//
// As with the kit's headers, a driver calls each method through an inline wrapper that passes the
// framework the calling image's driver globals (WdfDriverGlobals), so that the framework knows
// which driver calls. The kit's wrappers go through the framework's function table; these call
// the framework's exported routine (imp_<method>) directly. They are static, so that one driver
// image never runs another image's copy.
#pragma once

#include <ntddk.h>
#include <wdfstatus.h>

WINSIM_EXTERN_C_BEGIN

// ---------------------------------------------------------------------------------------------
// Handles

typedef HANDLE WDFOBJECT, *PWDFOBJECT;
DECLARE_HANDLE(WDFDRIVER);
DECLARE_HANDLE(WDFDEVICE);
DECLARE_HANDLE(WDFQUEUE);
DECLARE_HANDLE(WDFREQUEST);
DECLARE_HANDLE(WDFFILEOBJECT);
DECLARE_HANDLE(WDFTIMER);
DECLARE_HANDLE(WDFWORKITEM);
DECLARE_HANDLE(WDFSPINLOCK);
DECLARE_HANDLE(WDFWAITLOCK);
DECLARE_HANDLE(WDFCOLLECTION);
DECLARE_HANDLE(WDFSTRING);
DECLARE_HANDLE(WDFMEMORY);
DECLARE_HANDLE(WDFKEY);
DECLARE_HANDLE(WDFIOTARGET);
DECLARE_HANDLE(WDFCMRESLIST);
DECLARE_HANDLE(WDFUSBDEVICE);
DECLARE_HANDLE(WDFUSBINTERFACE);
DECLARE_HANDLE(WDFUSBPIPE);

typedef struct WDFDEVICE_INIT* PWDFDEVICE_INIT;
typedef PVOID WDFCONTEXT;

// ---------------------------------------------------------------------------------------------
// Driver globals: one driver image's binding to the framework

#define WDF_DRIVER_GLOBALS_NAME_LEN (32)

typedef struct _WDF_DRIVER_GLOBALS
{
    WDFDRIVER Driver;
    ULONG DriverFlags;
    ULONG DriverTag;
    CHAR DriverName[WDF_DRIVER_GLOBALS_NAME_LEN];
    BOOLEAN DisplaceDriverUnload;
} WDF_DRIVER_GLOBALS, *PWDF_DRIVER_GLOBALS;

// Set by the framework's stub, which every framework driver image links, when it binds the image
// to the framework before DriverEntry runs. Each image has its own; it is hidden so that images
// loaded side by side do not share it.
extern __attribute__((visibility("hidden"))) PWDF_DRIVER_GLOBALS WdfDriverGlobals;

#define WDF_NO_OBJECT_ATTRIBUTES NULL
#define WDF_NO_HANDLE            NULL
#define WDF_NO_CONTEXT           NULL
#define WDF_NO_EVENT_CALLBACK    NULL
#define WDF_NO_SEND_OPTIONS      NULL

#define WDF_ALIGN_SIZE_UP(Length, AlignTo) (((Length) + ((AlignTo)-1)) & ~((AlignTo)-1))
#define POINTER_ALIGNMENT

typedef enum _WDF_TRI_STATE
{
    WdfFalse = FALSE,
    WdfTrue = TRUE,
    WdfUseDefault = 2,
} WDF_TRI_STATE, *PWDF_TRI_STATE;

// ---------------------------------------------------------------------------------------------
// Objects, attributes and contexts

typedef enum _WDF_EXECUTION_LEVEL
{
    WdfExecutionLevelInvalid = 0x00,
    WdfExecutionLevelInheritFromParent,
    WdfExecutionLevelPassive,
    WdfExecutionLevelDispatch,
} WDF_EXECUTION_LEVEL;

typedef enum _WDF_SYNCHRONIZATION_SCOPE
{
    WdfSynchronizationScopeInvalid = 0x00,
    WdfSynchronizationScopeInheritFromParent,
    WdfSynchronizationScopeDevice,
    WdfSynchronizationScopeQueue,
    WdfSynchronizationScopeNone,
} WDF_SYNCHRONIZATION_SCOPE;

typedef VOID EVT_WDF_OBJECT_CONTEXT_CLEANUP(WDFOBJECT Object);
typedef EVT_WDF_OBJECT_CONTEXT_CLEANUP* PFN_WDF_OBJECT_CONTEXT_CLEANUP;
typedef VOID EVT_WDF_OBJECT_CONTEXT_DESTROY(WDFOBJECT Object);
typedef EVT_WDF_OBJECT_CONTEXT_DESTROY* PFN_WDF_OBJECT_CONTEXT_DESTROY;

typedef struct _WDF_OBJECT_CONTEXT_TYPE_INFO WDF_OBJECT_CONTEXT_TYPE_INFO, *PWDF_OBJECT_CONTEXT_TYPE_INFO;
typedef const WDF_OBJECT_CONTEXT_TYPE_INFO* PCWDF_OBJECT_CONTEXT_TYPE_INFO;
typedef PCWDF_OBJECT_CONTEXT_TYPE_INFO(__cdecl* PFN_GET_UNIQUE_CONTEXT_TYPE)(VOID);

struct _WDF_OBJECT_CONTEXT_TYPE_INFO
{
    ULONG Size;
    LPCSTR ContextName;
    size_t ContextSize;
    PCWDF_OBJECT_CONTEXT_TYPE_INFO UniqueType;
    PFN_GET_UNIQUE_CONTEXT_TYPE EvtDriverGetUniqueContextType;
};

typedef struct _WDF_OBJECT_ATTRIBUTES
{
    ULONG Size;
    PFN_WDF_OBJECT_CONTEXT_CLEANUP EvtCleanupCallback;
    PFN_WDF_OBJECT_CONTEXT_DESTROY EvtDestroyCallback;
    WDF_EXECUTION_LEVEL ExecutionLevel;
    WDF_SYNCHRONIZATION_SCOPE SynchronizationScope;
    WDFOBJECT ParentObject;
    size_t ContextSizeOverride;
    PCWDF_OBJECT_CONTEXT_TYPE_INFO ContextTypeInfo;
} WDF_OBJECT_ATTRIBUTES, *PWDF_OBJECT_ATTRIBUTES;

WINSIM_EXTERN_C_END

inline VOID WDF_OBJECT_ATTRIBUTES_INIT(PWDF_OBJECT_ATTRIBUTES Attributes)
{
    __builtin_memset(Attributes, 0, sizeof(WDF_OBJECT_ATTRIBUTES));
    Attributes->Size = sizeof(WDF_OBJECT_ATTRIBUTES);
    Attributes->ExecutionLevel = WdfExecutionLevelInheritFromParent;
    Attributes->SynchronizationScope = WdfSynchronizationScopeInheritFromParent;
}

#define WDF_TYPE_NAME_TO_TYPE_INFO(_contexttype) _WDF_##_contexttype##_TYPE_INFO
#define WDF_TYPE_NAME_POINTER_TYPE(_contexttype) WDF_##_contexttype##_POINTER_TYPE
#define WDF_GET_CONTEXT_TYPE_INFO(_contexttype)  (&WDF_TYPE_NAME_TO_TYPE_INFO(_contexttype))

#define WDF_OBJECT_ATTRIBUTES_SET_CONTEXT_TYPE(_attributes, _contexttype)                                    \
    (_attributes)->ContextTypeInfo = WDF_GET_CONTEXT_TYPE_INFO(_contexttype)->UniqueType

#define WDF_OBJECT_ATTRIBUTES_INIT_CONTEXT_TYPE(_attributes, _contexttype)                                   \
    WDF_OBJECT_ATTRIBUTES_INIT(_attributes);                                                                 \
    WDF_OBJECT_ATTRIBUTES_SET_CONTEXT_TYPE(_attributes, _contexttype)

WINSIM_EXTERN_C_BEGIN
WINSIM_API PVOID imp_WdfObjectGetTypedContextWorker(PWDF_DRIVER_GLOBALS DriverGlobals, WDFOBJECT Handle,
                                                    PCWDF_OBJECT_CONTEXT_TYPE_INFO TypeInfo);
static FORCEINLINE PVOID WdfObjectGetTypedContextWorker(WDFOBJECT Handle,
                                                        PCWDF_OBJECT_CONTEXT_TYPE_INFO TypeInfo)
{
    return imp_WdfObjectGetTypedContextWorker(WdfDriverGlobals, Handle, TypeInfo);
}

WINSIM_API NTSTATUS imp_WdfObjectAllocateContext(PWDF_DRIVER_GLOBALS DriverGlobals, WDFOBJECT Handle,
                                                 PWDF_OBJECT_ATTRIBUTES ContextAttributes, PVOID* Context);
static FORCEINLINE NTSTATUS WdfObjectAllocateContext(WDFOBJECT Handle,
                                                     PWDF_OBJECT_ATTRIBUTES ContextAttributes, PVOID* Context)
{
    return imp_WdfObjectAllocateContext(WdfDriverGlobals, Handle, ContextAttributes, Context);
}

WINSIM_API WDFOBJECT imp_WdfObjectContextGetObject(PWDF_DRIVER_GLOBALS DriverGlobals, PVOID ContextPointer);
static FORCEINLINE WDFOBJECT WdfObjectContextGetObject(PVOID ContextPointer)
{
    return imp_WdfObjectContextGetObject(WdfDriverGlobals, ContextPointer);
}

WINSIM_API VOID imp_WdfObjectReferenceActual(PWDF_DRIVER_GLOBALS DriverGlobals, WDFOBJECT Handle, PVOID Tag,
                                             LONG Line, PCCH File);
static FORCEINLINE VOID WdfObjectReferenceActual(WDFOBJECT Handle, PVOID Tag, LONG Line, PCCH File)
{
    imp_WdfObjectReferenceActual(WdfDriverGlobals, Handle, Tag, Line, File);
}

WINSIM_API VOID imp_WdfObjectDereferenceActual(PWDF_DRIVER_GLOBALS DriverGlobals, WDFOBJECT Handle, PVOID Tag,
                                               LONG Line, PCCH File);
static FORCEINLINE VOID WdfObjectDereferenceActual(WDFOBJECT Handle, PVOID Tag, LONG Line, PCCH File)
{
    imp_WdfObjectDereferenceActual(WdfDriverGlobals, Handle, Tag, Line, File);
}

WINSIM_API VOID imp_WdfObjectDelete(PWDF_DRIVER_GLOBALS DriverGlobals, WDFOBJECT Object);
static FORCEINLINE VOID WdfObjectDelete(WDFOBJECT Object)
{
    imp_WdfObjectDelete(WdfDriverGlobals, Object);
}

WINSIM_API NTSTATUS imp_WdfObjectCreate(PWDF_DRIVER_GLOBALS DriverGlobals, PWDF_OBJECT_ATTRIBUTES Attributes,
                                        WDFOBJECT* Object);
static FORCEINLINE NTSTATUS WdfObjectCreate(PWDF_OBJECT_ATTRIBUTES Attributes, WDFOBJECT* Object)
{
    return imp_WdfObjectCreate(WdfDriverGlobals, Attributes, Object);
}

WINSIM_EXTERN_C_END

#define WdfObjectReference(Handle)               WdfObjectReferenceActual(Handle, NULL, __LINE__, __FILE__)
#define WdfObjectDereference(Handle)             WdfObjectDereferenceActual(Handle, NULL, __LINE__, __FILE__)
#define WdfObjectReferenceWithTag(Handle, Tag)   WdfObjectReferenceActual(Handle, Tag, __LINE__, __FILE__)
#define WdfObjectDereferenceWithTag(Handle, Tag) WdfObjectDereferenceActual(Handle, Tag, __LINE__, __FILE__)

// Declares a context type and its typed accessor. The type information lives in the driver image;
// its UniqueType points to itself, which is what the framework compares.
#define WDF_DECLARE_CONTEXT_TYPE_WITH_NAME(_contexttype, _castingfunction)                                   \
    typedef _contexttype* WDF_TYPE_NAME_POINTER_TYPE(_contexttype);                                          \
    inline const WDF_OBJECT_CONTEXT_TYPE_INFO WDF_TYPE_NAME_TO_TYPE_INFO(_contexttype) = {                   \
        sizeof(WDF_OBJECT_CONTEXT_TYPE_INFO), #_contexttype, sizeof(_contexttype),                           \
        &WDF_TYPE_NAME_TO_TYPE_INFO(_contexttype), NULL};                                                    \
    inline _contexttype* _castingfunction(WDFOBJECT Handle)                                                  \
    {                                                                                                        \
        return (_contexttype*)WdfObjectGetTypedContextWorker(Handle,                                         \
                                                             WDF_GET_CONTEXT_TYPE_INFO(_contexttype));       \
    }

#define WDF_DECLARE_CONTEXT_TYPE(_contexttype)                                                               \
    WDF_DECLARE_CONTEXT_TYPE_WITH_NAME(_contexttype, WdfObjectGet_##_contexttype)

WINSIM_EXTERN_C_BEGIN

// ---------------------------------------------------------------------------------------------
// Driver

typedef NTSTATUS EVT_WDF_DRIVER_DEVICE_ADD(WDFDRIVER Driver, PWDFDEVICE_INIT DeviceInit);
typedef EVT_WDF_DRIVER_DEVICE_ADD* PFN_WDF_DRIVER_DEVICE_ADD;
typedef VOID EVT_WDF_DRIVER_UNLOAD(WDFDRIVER Driver);
typedef EVT_WDF_DRIVER_UNLOAD* PFN_WDF_DRIVER_UNLOAD;

typedef enum _WDF_DRIVER_INIT_FLAGS
{
    WdfDriverInitNonPnpDriver = 0x00000001,
    WdfDriverInitNoDispatchOverride = 0x00000002,
    WdfVerifyOn = 0x00000004,
    WdfVerifierOn = 0x00000008,
} WDF_DRIVER_INIT_FLAGS;

typedef struct _WDF_DRIVER_CONFIG
{
    ULONG Size;
    PFN_WDF_DRIVER_DEVICE_ADD EvtDriverDeviceAdd;
    PFN_WDF_DRIVER_UNLOAD EvtDriverUnload;
    ULONG DriverInitFlags;
    ULONG DriverPoolTag;
} WDF_DRIVER_CONFIG, *PWDF_DRIVER_CONFIG;

WINSIM_EXTERN_C_END

inline VOID WDF_DRIVER_CONFIG_INIT(PWDF_DRIVER_CONFIG Config, PFN_WDF_DRIVER_DEVICE_ADD EvtDriverDeviceAdd)
{
    __builtin_memset(Config, 0, sizeof(WDF_DRIVER_CONFIG));
    Config->Size = sizeof(WDF_DRIVER_CONFIG);
    Config->EvtDriverDeviceAdd = EvtDriverDeviceAdd;
}

WINSIM_EXTERN_C_BEGIN

WINSIM_API NTSTATUS imp_WdfDriverCreate(PWDF_DRIVER_GLOBALS DriverGlobals, PDRIVER_OBJECT DriverObject,
                                        PCUNICODE_STRING RegistryPath,
                                        PWDF_OBJECT_ATTRIBUTES DriverAttributes,
                                        PWDF_DRIVER_CONFIG DriverConfig, WDFDRIVER* Driver);
static FORCEINLINE NTSTATUS WdfDriverCreate(PDRIVER_OBJECT DriverObject, PCUNICODE_STRING RegistryPath,
                                            PWDF_OBJECT_ATTRIBUTES DriverAttributes,
                                            PWDF_DRIVER_CONFIG DriverConfig, WDFDRIVER* Driver)
{
    return imp_WdfDriverCreate(WdfDriverGlobals, DriverObject, RegistryPath, DriverAttributes, DriverConfig,
                               Driver);
}

WINSIM_API PDRIVER_OBJECT imp_WdfDriverWdmGetDriverObject(PWDF_DRIVER_GLOBALS DriverGlobals,
                                                          WDFDRIVER Driver);
static FORCEINLINE PDRIVER_OBJECT WdfDriverWdmGetDriverObject(WDFDRIVER Driver)
{
    return imp_WdfDriverWdmGetDriverObject(WdfDriverGlobals, Driver);
}

WINSIM_API PWSTR imp_WdfDriverGetRegistryPath(PWDF_DRIVER_GLOBALS DriverGlobals, WDFDRIVER Driver);
static FORCEINLINE PWSTR WdfDriverGetRegistryPath(WDFDRIVER Driver)
{
    return imp_WdfDriverGetRegistryPath(WdfDriverGlobals, Driver);
}

WINSIM_API WDFDRIVER imp_WdfGetDriver(PWDF_DRIVER_GLOBALS DriverGlobals);
static FORCEINLINE WDFDRIVER WdfGetDriver(void)
{
    return imp_WdfGetDriver(WdfDriverGlobals);
}

WINSIM_API NTSTATUS imp_WdfDriverOpenParametersRegistryKey(PWDF_DRIVER_GLOBALS DriverGlobals,
                                                           WDFDRIVER Driver, ACCESS_MASK DesiredAccess,
                                                           PWDF_OBJECT_ATTRIBUTES KeyAttributes, WDFKEY* Key);
static FORCEINLINE NTSTATUS WdfDriverOpenParametersRegistryKey(WDFDRIVER Driver, ACCESS_MASK DesiredAccess,
                                                               PWDF_OBJECT_ATTRIBUTES KeyAttributes,
                                                               WDFKEY* Key)
{
    return imp_WdfDriverOpenParametersRegistryKey(WdfDriverGlobals, Driver, DesiredAccess, KeyAttributes,
                                                  Key);
}

// ---------------------------------------------------------------------------------------------
// Plug and Play and power callbacks

typedef enum _WDF_POWER_DEVICE_STATE
{
    WdfPowerDeviceInvalid = 0,
    WdfPowerDeviceD0,
    WdfPowerDeviceD1,
    WdfPowerDeviceD2,
    WdfPowerDeviceD3,
    WdfPowerDeviceD3Final,
    WdfPowerDevicePrepareForHibernation,
    WdfPowerDeviceMaximum,
} WDF_POWER_DEVICE_STATE, *PWDF_POWER_DEVICE_STATE;

typedef NTSTATUS EVT_WDF_DEVICE_D0_ENTRY(WDFDEVICE Device, WDF_POWER_DEVICE_STATE PreviousState);
typedef EVT_WDF_DEVICE_D0_ENTRY* PFN_WDF_DEVICE_D0_ENTRY;
typedef NTSTATUS EVT_WDF_DEVICE_D0_EXIT(WDFDEVICE Device, WDF_POWER_DEVICE_STATE TargetState);
typedef EVT_WDF_DEVICE_D0_EXIT* PFN_WDF_DEVICE_D0_EXIT;
typedef NTSTATUS EVT_WDF_DEVICE_PREPARE_HARDWARE(WDFDEVICE Device, WDFCMRESLIST ResourcesRaw,
                                                 WDFCMRESLIST ResourcesTranslated);
typedef EVT_WDF_DEVICE_PREPARE_HARDWARE* PFN_WDF_DEVICE_PREPARE_HARDWARE;
typedef NTSTATUS EVT_WDF_DEVICE_RELEASE_HARDWARE(WDFDEVICE Device, WDFCMRESLIST ResourcesTranslated);
typedef EVT_WDF_DEVICE_RELEASE_HARDWARE* PFN_WDF_DEVICE_RELEASE_HARDWARE;
typedef VOID EVT_WDF_DEVICE_SURPRISE_REMOVAL(WDFDEVICE Device);
typedef EVT_WDF_DEVICE_SURPRISE_REMOVAL* PFN_WDF_DEVICE_SURPRISE_REMOVAL;
typedef NTSTATUS EVT_WDF_DEVICE_SELF_MANAGED_IO_INIT(WDFDEVICE Device);
typedef EVT_WDF_DEVICE_SELF_MANAGED_IO_INIT* PFN_WDF_DEVICE_SELF_MANAGED_IO_INIT;
typedef VOID EVT_WDF_DEVICE_SELF_MANAGED_IO_CLEANUP(WDFDEVICE Device);
typedef EVT_WDF_DEVICE_SELF_MANAGED_IO_CLEANUP* PFN_WDF_DEVICE_SELF_MANAGED_IO_CLEANUP;
typedef VOID EVT_WDF_DEVICE_SELF_MANAGED_IO_FLUSH(WDFDEVICE Device);
typedef EVT_WDF_DEVICE_SELF_MANAGED_IO_FLUSH* PFN_WDF_DEVICE_SELF_MANAGED_IO_FLUSH;
typedef NTSTATUS EVT_WDF_DEVICE_SELF_MANAGED_IO_SUSPEND(WDFDEVICE Device);
typedef EVT_WDF_DEVICE_SELF_MANAGED_IO_SUSPEND* PFN_WDF_DEVICE_SELF_MANAGED_IO_SUSPEND;
typedef NTSTATUS EVT_WDF_DEVICE_SELF_MANAGED_IO_RESTART(WDFDEVICE Device);
typedef EVT_WDF_DEVICE_SELF_MANAGED_IO_RESTART* PFN_WDF_DEVICE_SELF_MANAGED_IO_RESTART;
typedef NTSTATUS EVT_WDF_DEVICE_QUERY_REMOVE(WDFDEVICE Device);
typedef EVT_WDF_DEVICE_QUERY_REMOVE* PFN_WDF_DEVICE_QUERY_REMOVE;

typedef struct _WDF_PNPPOWER_EVENT_CALLBACKS
{
    ULONG Size;
    PFN_WDF_DEVICE_D0_ENTRY EvtDeviceD0Entry;
    PVOID EvtDeviceD0EntryPostInterruptsEnabled;
    PFN_WDF_DEVICE_D0_EXIT EvtDeviceD0Exit;
    PVOID EvtDeviceD0ExitPreInterruptsDisabled;
    PFN_WDF_DEVICE_PREPARE_HARDWARE EvtDevicePrepareHardware;
    PFN_WDF_DEVICE_RELEASE_HARDWARE EvtDeviceReleaseHardware;
    PFN_WDF_DEVICE_SELF_MANAGED_IO_CLEANUP EvtDeviceSelfManagedIoCleanup;
    PFN_WDF_DEVICE_SELF_MANAGED_IO_FLUSH EvtDeviceSelfManagedIoFlush;
    PFN_WDF_DEVICE_SELF_MANAGED_IO_INIT EvtDeviceSelfManagedIoInit;
    PFN_WDF_DEVICE_SELF_MANAGED_IO_SUSPEND EvtDeviceSelfManagedIoSuspend;
    PFN_WDF_DEVICE_SELF_MANAGED_IO_RESTART EvtDeviceSelfManagedIoRestart;
    PFN_WDF_DEVICE_SURPRISE_REMOVAL EvtDeviceSurpriseRemoval;
    PFN_WDF_DEVICE_QUERY_REMOVE EvtDeviceQueryRemove;
    PVOID EvtDeviceQueryStop;
    PVOID EvtDeviceUsageNotification;
    PVOID EvtDeviceRelationsQuery;
    PVOID EvtDeviceUsageNotificationEx;
} WDF_PNPPOWER_EVENT_CALLBACKS, *PWDF_PNPPOWER_EVENT_CALLBACKS;

WINSIM_EXTERN_C_END

inline VOID WDF_PNPPOWER_EVENT_CALLBACKS_INIT(PWDF_PNPPOWER_EVENT_CALLBACKS Callbacks)
{
    __builtin_memset(Callbacks, 0, sizeof(WDF_PNPPOWER_EVENT_CALLBACKS));
    Callbacks->Size = sizeof(WDF_PNPPOWER_EVENT_CALLBACKS);
}

WINSIM_EXTERN_C_BEGIN

// ---------------------------------------------------------------------------------------------
// File objects

typedef enum _WDF_FILEOBJECT_CLASS
{
    WdfFileObjectInvalid = 0,
    WdfFileObjectNotRequired = 1,
    WdfFileObjectWdfCanUseFsContext = 2,
    WdfFileObjectWdfCanUseFsContext2 = 3,
    WdfFileObjectWdfCannotUseFsContexts = 4,
    WdfFileObjectCanBeOptional = 0x80000000,
} WDF_FILEOBJECT_CLASS, *PWDF_FILEOBJECT_CLASS;

typedef VOID EVT_WDF_DEVICE_FILE_CREATE(WDFDEVICE Device, WDFREQUEST Request, WDFFILEOBJECT FileObject);
typedef EVT_WDF_DEVICE_FILE_CREATE* PFN_WDF_DEVICE_FILE_CREATE;
typedef VOID EVT_WDF_FILE_CLOSE(WDFFILEOBJECT FileObject);
typedef EVT_WDF_FILE_CLOSE* PFN_WDF_FILE_CLOSE;
typedef VOID EVT_WDF_FILE_CLEANUP(WDFFILEOBJECT FileObject);
typedef EVT_WDF_FILE_CLEANUP* PFN_WDF_FILE_CLEANUP;

typedef struct _WDF_FILEOBJECT_CONFIG
{
    ULONG Size;
    PFN_WDF_DEVICE_FILE_CREATE EvtDeviceFileCreate;
    PFN_WDF_FILE_CLOSE EvtFileClose;
    PFN_WDF_FILE_CLEANUP EvtFileCleanup;
    WDF_TRI_STATE AutoForwardCleanupClose;
    WDF_FILEOBJECT_CLASS FileObjectClass;
} WDF_FILEOBJECT_CONFIG, *PWDF_FILEOBJECT_CONFIG;

WINSIM_EXTERN_C_END

inline VOID WDF_FILEOBJECT_CONFIG_INIT(PWDF_FILEOBJECT_CONFIG FileEventCallbacks,
                                       PFN_WDF_DEVICE_FILE_CREATE EvtDeviceFileCreate,
                                       PFN_WDF_FILE_CLOSE EvtFileClose, PFN_WDF_FILE_CLEANUP EvtFileCleanup)
{
    FileEventCallbacks->Size = sizeof(WDF_FILEOBJECT_CONFIG);
    FileEventCallbacks->EvtDeviceFileCreate = EvtDeviceFileCreate;
    FileEventCallbacks->EvtFileClose = EvtFileClose;
    FileEventCallbacks->EvtFileCleanup = EvtFileCleanup;
    FileEventCallbacks->FileObjectClass = WdfFileObjectWdfCannotUseFsContexts;
    FileEventCallbacks->AutoForwardCleanupClose = WdfUseDefault;
}

WINSIM_EXTERN_C_BEGIN

WINSIM_API WDFDEVICE imp_WdfFileObjectGetDevice(PWDF_DRIVER_GLOBALS DriverGlobals, WDFFILEOBJECT FileObject);
static FORCEINLINE WDFDEVICE WdfFileObjectGetDevice(WDFFILEOBJECT FileObject)
{
    return imp_WdfFileObjectGetDevice(WdfDriverGlobals, FileObject);
}

WINSIM_API PFILE_OBJECT imp_WdfFileObjectWdmGetFileObject(PWDF_DRIVER_GLOBALS DriverGlobals,
                                                          WDFFILEOBJECT FileObject);
static FORCEINLINE PFILE_OBJECT WdfFileObjectWdmGetFileObject(WDFFILEOBJECT FileObject)
{
    return imp_WdfFileObjectWdmGetFileObject(WdfDriverGlobals, FileObject);
}

// ---------------------------------------------------------------------------------------------
// Device initialisation and devices

typedef enum _WDF_DEVICE_IO_TYPE
{
    WdfDeviceIoUndefined = 0,
    WdfDeviceIoNeither,
    WdfDeviceIoBuffered,
    WdfDeviceIoDirect,
    WdfDeviceIoBufferedOrDirect = 4,
} WDF_DEVICE_IO_TYPE, *PWDF_DEVICE_IO_TYPE;

typedef NTSTATUS EVT_WDFDEVICE_WDM_IRP_PREPROCESS(WDFDEVICE Device, PIRP Irp);
typedef EVT_WDFDEVICE_WDM_IRP_PREPROCESS* PFN_WDFDEVICE_WDM_IRP_PREPROCESS;

WINSIM_API VOID
imp_WdfDeviceInitSetPnpPowerEventCallbacks(PWDF_DRIVER_GLOBALS DriverGlobals, PWDFDEVICE_INIT DeviceInit,
                                           PWDF_PNPPOWER_EVENT_CALLBACKS PnpPowerEventCallbacks);
static FORCEINLINE VOID WdfDeviceInitSetPnpPowerEventCallbacks(
    PWDFDEVICE_INIT DeviceInit, PWDF_PNPPOWER_EVENT_CALLBACKS PnpPowerEventCallbacks)
{
    imp_WdfDeviceInitSetPnpPowerEventCallbacks(WdfDriverGlobals, DeviceInit, PnpPowerEventCallbacks);
}

WINSIM_API VOID imp_WdfDeviceInitSetPowerPolicyOwnership(PWDF_DRIVER_GLOBALS DriverGlobals,
                                                         PWDFDEVICE_INIT DeviceInit,
                                                         BOOLEAN IsPowerPolicyOwner);
static FORCEINLINE VOID WdfDeviceInitSetPowerPolicyOwnership(PWDFDEVICE_INIT DeviceInit,
                                                             BOOLEAN IsPowerPolicyOwner)
{
    imp_WdfDeviceInitSetPowerPolicyOwnership(WdfDriverGlobals, DeviceInit, IsPowerPolicyOwner);
}

WINSIM_API VOID imp_WdfDeviceInitSetExclusive(PWDF_DRIVER_GLOBALS DriverGlobals, PWDFDEVICE_INIT DeviceInit,
                                              BOOLEAN IsExclusive);
static FORCEINLINE VOID WdfDeviceInitSetExclusive(PWDFDEVICE_INIT DeviceInit, BOOLEAN IsExclusive)
{
    imp_WdfDeviceInitSetExclusive(WdfDriverGlobals, DeviceInit, IsExclusive);
}

WINSIM_API VOID imp_WdfDeviceInitSetDeviceType(PWDF_DRIVER_GLOBALS DriverGlobals, PWDFDEVICE_INIT DeviceInit,
                                               DEVICE_TYPE DeviceType);
static FORCEINLINE VOID WdfDeviceInitSetDeviceType(PWDFDEVICE_INIT DeviceInit, DEVICE_TYPE DeviceType)
{
    imp_WdfDeviceInitSetDeviceType(WdfDriverGlobals, DeviceInit, DeviceType);
}

WINSIM_API VOID imp_WdfDeviceInitSetIoType(PWDF_DRIVER_GLOBALS DriverGlobals, PWDFDEVICE_INIT DeviceInit,
                                           WDF_DEVICE_IO_TYPE IoType);
static FORCEINLINE VOID WdfDeviceInitSetIoType(PWDFDEVICE_INIT DeviceInit, WDF_DEVICE_IO_TYPE IoType)
{
    imp_WdfDeviceInitSetIoType(WdfDriverGlobals, DeviceInit, IoType);
}

WINSIM_API VOID imp_WdfDeviceInitSetRequestAttributes(PWDF_DRIVER_GLOBALS DriverGlobals,
                                                      PWDFDEVICE_INIT DeviceInit,
                                                      PWDF_OBJECT_ATTRIBUTES RequestAttributes);
static FORCEINLINE VOID WdfDeviceInitSetRequestAttributes(PWDFDEVICE_INIT DeviceInit,
                                                          PWDF_OBJECT_ATTRIBUTES RequestAttributes)
{
    imp_WdfDeviceInitSetRequestAttributes(WdfDriverGlobals, DeviceInit, RequestAttributes);
}

WINSIM_API VOID imp_WdfDeviceInitSetFileObjectConfig(PWDF_DRIVER_GLOBALS DriverGlobals,
                                                     PWDFDEVICE_INIT DeviceInit,
                                                     PWDF_FILEOBJECT_CONFIG FileObjectConfig,
                                                     PWDF_OBJECT_ATTRIBUTES FileObjectAttributes);
static FORCEINLINE VOID WdfDeviceInitSetFileObjectConfig(PWDFDEVICE_INIT DeviceInit,
                                                         PWDF_FILEOBJECT_CONFIG FileObjectConfig,
                                                         PWDF_OBJECT_ATTRIBUTES FileObjectAttributes)
{
    imp_WdfDeviceInitSetFileObjectConfig(WdfDriverGlobals, DeviceInit, FileObjectConfig,
                                         FileObjectAttributes);
}

WINSIM_API NTSTATUS imp_WdfDeviceInitAssignName(PWDF_DRIVER_GLOBALS DriverGlobals, PWDFDEVICE_INIT DeviceInit,
                                                PCUNICODE_STRING DeviceName);
static FORCEINLINE NTSTATUS WdfDeviceInitAssignName(PWDFDEVICE_INIT DeviceInit, PCUNICODE_STRING DeviceName)
{
    return imp_WdfDeviceInitAssignName(WdfDriverGlobals, DeviceInit, DeviceName);
}

WINSIM_API NTSTATUS imp_WdfDeviceInitAssignSDDLString(PWDF_DRIVER_GLOBALS DriverGlobals,
                                                      PWDFDEVICE_INIT DeviceInit,
                                                      PCUNICODE_STRING SDDLString);
static FORCEINLINE NTSTATUS WdfDeviceInitAssignSDDLString(PWDFDEVICE_INIT DeviceInit,
                                                          PCUNICODE_STRING SDDLString)
{
    return imp_WdfDeviceInitAssignSDDLString(WdfDriverGlobals, DeviceInit, SDDLString);
}

WINSIM_API NTSTATUS imp_WdfDeviceInitAssignWdmIrpPreprocessCallback(
    PWDF_DRIVER_GLOBALS DriverGlobals, PWDFDEVICE_INIT DeviceInit,
    PFN_WDFDEVICE_WDM_IRP_PREPROCESS EvtDeviceWdmIrpPreprocess, UCHAR MajorFunction, PUCHAR MinorFunctions,
    ULONG NumMinorFunctions);
static FORCEINLINE NTSTATUS WdfDeviceInitAssignWdmIrpPreprocessCallback(
    PWDFDEVICE_INIT DeviceInit, PFN_WDFDEVICE_WDM_IRP_PREPROCESS EvtDeviceWdmIrpPreprocess,
    UCHAR MajorFunction, PUCHAR MinorFunctions, ULONG NumMinorFunctions)
{
    return imp_WdfDeviceInitAssignWdmIrpPreprocessCallback(WdfDriverGlobals, DeviceInit,
                                                           EvtDeviceWdmIrpPreprocess, MajorFunction,
                                                           MinorFunctions, NumMinorFunctions);
}

WINSIM_API NTSTATUS imp_WdfFdoInitOpenRegistryKey(PWDF_DRIVER_GLOBALS DriverGlobals,
                                                  PWDFDEVICE_INIT DeviceInit, ULONG DeviceInstanceKeyType,
                                                  ACCESS_MASK DesiredAccess,
                                                  PWDF_OBJECT_ATTRIBUTES KeyAttributes, WDFKEY* Key);
static FORCEINLINE NTSTATUS WdfFdoInitOpenRegistryKey(PWDFDEVICE_INIT DeviceInit, ULONG DeviceInstanceKeyType,
                                                      ACCESS_MASK DesiredAccess,
                                                      PWDF_OBJECT_ATTRIBUTES KeyAttributes, WDFKEY* Key)
{
    return imp_WdfFdoInitOpenRegistryKey(WdfDriverGlobals, DeviceInit, DeviceInstanceKeyType, DesiredAccess,
                                         KeyAttributes, Key);
}

WINSIM_API NTSTATUS imp_WdfDeviceCreate(PWDF_DRIVER_GLOBALS DriverGlobals, PWDFDEVICE_INIT* DeviceInit,
                                        PWDF_OBJECT_ATTRIBUTES DeviceAttributes, WDFDEVICE* Device);
static FORCEINLINE NTSTATUS WdfDeviceCreate(PWDFDEVICE_INIT* DeviceInit,
                                            PWDF_OBJECT_ATTRIBUTES DeviceAttributes, WDFDEVICE* Device)
{
    return imp_WdfDeviceCreate(WdfDriverGlobals, DeviceInit, DeviceAttributes, Device);
}

WINSIM_API PDEVICE_OBJECT imp_WdfDeviceWdmGetDeviceObject(PWDF_DRIVER_GLOBALS DriverGlobals,
                                                          WDFDEVICE Device);
static FORCEINLINE PDEVICE_OBJECT WdfDeviceWdmGetDeviceObject(WDFDEVICE Device)
{
    return imp_WdfDeviceWdmGetDeviceObject(WdfDriverGlobals, Device);
}

WINSIM_API PDEVICE_OBJECT imp_WdfDeviceWdmGetAttachedDevice(PWDF_DRIVER_GLOBALS DriverGlobals,
                                                            WDFDEVICE Device);
static FORCEINLINE PDEVICE_OBJECT WdfDeviceWdmGetAttachedDevice(WDFDEVICE Device)
{
    return imp_WdfDeviceWdmGetAttachedDevice(WdfDriverGlobals, Device);
}

WINSIM_API PDEVICE_OBJECT imp_WdfDeviceWdmGetPhysicalDevice(PWDF_DRIVER_GLOBALS DriverGlobals,
                                                            WDFDEVICE Device);
static FORCEINLINE PDEVICE_OBJECT WdfDeviceWdmGetPhysicalDevice(WDFDEVICE Device)
{
    return imp_WdfDeviceWdmGetPhysicalDevice(WdfDriverGlobals, Device);
}

WINSIM_API WDFDEVICE imp_WdfWdmDeviceGetWdfDeviceHandle(PWDF_DRIVER_GLOBALS DriverGlobals,
                                                        PDEVICE_OBJECT DeviceObject);
static FORCEINLINE WDFDEVICE WdfWdmDeviceGetWdfDeviceHandle(PDEVICE_OBJECT DeviceObject)
{
    return imp_WdfWdmDeviceGetWdfDeviceHandle(WdfDriverGlobals, DeviceObject);
}

WINSIM_API NTSTATUS imp_WdfDeviceWdmDispatchPreprocessedIrp(PWDF_DRIVER_GLOBALS DriverGlobals,
                                                            WDFDEVICE Device, PIRP Irp);
static FORCEINLINE NTSTATUS WdfDeviceWdmDispatchPreprocessedIrp(WDFDEVICE Device, PIRP Irp)
{
    return imp_WdfDeviceWdmDispatchPreprocessedIrp(WdfDriverGlobals, Device, Irp);
}

WINSIM_API WDFDRIVER imp_WdfDeviceGetDriver(PWDF_DRIVER_GLOBALS DriverGlobals, WDFDEVICE Device);
static FORCEINLINE WDFDRIVER WdfDeviceGetDriver(WDFDEVICE Device)
{
    return imp_WdfDeviceGetDriver(WdfDriverGlobals, Device);
}

WINSIM_API WDFQUEUE imp_WdfDeviceGetDefaultQueue(PWDF_DRIVER_GLOBALS DriverGlobals, WDFDEVICE Device);
static FORCEINLINE WDFQUEUE WdfDeviceGetDefaultQueue(WDFDEVICE Device)
{
    return imp_WdfDeviceGetDefaultQueue(WdfDriverGlobals, Device);
}

WINSIM_API NTSTATUS imp_WdfDeviceRetrieveDeviceName(PWDF_DRIVER_GLOBALS DriverGlobals, WDFDEVICE Device,
                                                    WDFSTRING String);
static FORCEINLINE NTSTATUS WdfDeviceRetrieveDeviceName(WDFDEVICE Device, WDFSTRING String)
{
    return imp_WdfDeviceRetrieveDeviceName(WdfDriverGlobals, Device, String);
}

WINSIM_API NTSTATUS imp_WdfDeviceCreateSymbolicLink(PWDF_DRIVER_GLOBALS DriverGlobals, WDFDEVICE Device,
                                                    PCUNICODE_STRING SymbolicLinkName);
static FORCEINLINE NTSTATUS WdfDeviceCreateSymbolicLink(WDFDEVICE Device, PCUNICODE_STRING SymbolicLinkName)
{
    return imp_WdfDeviceCreateSymbolicLink(WdfDriverGlobals, Device, SymbolicLinkName);
}

WINSIM_API NTSTATUS imp_WdfDeviceCreateDeviceInterface(PWDF_DRIVER_GLOBALS DriverGlobals, WDFDEVICE Device,
                                                       const GUID* InterfaceClassGUID,
                                                       PCUNICODE_STRING ReferenceString);
static FORCEINLINE NTSTATUS WdfDeviceCreateDeviceInterface(WDFDEVICE Device, const GUID* InterfaceClassGUID,
                                                           PCUNICODE_STRING ReferenceString)
{
    return imp_WdfDeviceCreateDeviceInterface(WdfDriverGlobals, Device, InterfaceClassGUID, ReferenceString);
}

WINSIM_API NTSTATUS imp_WdfDeviceOpenRegistryKey(PWDF_DRIVER_GLOBALS DriverGlobals, WDFDEVICE Device,
                                                 ULONG DeviceInstanceKeyType, ACCESS_MASK DesiredAccess,
                                                 PWDF_OBJECT_ATTRIBUTES KeyAttributes, WDFKEY* Key);
static FORCEINLINE NTSTATUS WdfDeviceOpenRegistryKey(WDFDEVICE Device, ULONG DeviceInstanceKeyType,
                                                     ACCESS_MASK DesiredAccess,
                                                     PWDF_OBJECT_ATTRIBUTES KeyAttributes, WDFKEY* Key)
{
    return imp_WdfDeviceOpenRegistryKey(WdfDriverGlobals, Device, DeviceInstanceKeyType, DesiredAccess,
                                        KeyAttributes, Key);
}

// ---------------------------------------------------------------------------------------------
// Power policy: idle in the working state, wake from sleep, the system's power action

typedef enum _WDF_POWER_POLICY_S0_IDLE_CAPABILITIES
{
    IdleCapsInvalid = 0,
    IdleCannotWakeFromS0,
    IdleCanWakeFromS0,
    IdleUsbSelectiveSuspend,
} WDF_POWER_POLICY_S0_IDLE_CAPABILITIES;

typedef enum _WDF_POWER_POLICY_S0_IDLE_USER_CONTROL
{
    IdleUserControlInvalid = 0,
    IdleDoNotAllowUserControl,
    IdleAllowUserControl,
} WDF_POWER_POLICY_S0_IDLE_USER_CONTROL;

typedef enum _WDF_POWER_POLICY_IDLE_TIMEOUT_CONSTANTS
{
    IdleTimeoutDefaultConstant = 0,
} WDF_POWER_POLICY_IDLE_TIMEOUT_CONSTANTS;

#define IdleTimeoutDefaultValue ((ULONG)IdleTimeoutDefaultConstant)

typedef enum _WDF_POWER_POLICY_IDLE_TIMEOUT_TYPE
{
    DriverManagedIdleTimeout = 0,
    SystemManagedIdleTimeout = 1,
    SystemManagedIdleTimeoutWithHint = 2,
} WDF_POWER_POLICY_IDLE_TIMEOUT_TYPE, *PWDF_POWER_POLICY_IDLE_TIMEOUT_TYPE;

typedef enum _WDF_POWER_POLICY_SX_WAKE_USER_CONTROL
{
    WakeUserControlInvalid = 0,
    WakeDoNotAllowUserControl,
    WakeAllowUserControl,
} WDF_POWER_POLICY_SX_WAKE_USER_CONTROL;

typedef struct _WDF_DEVICE_POWER_POLICY_IDLE_SETTINGS
{
    ULONG Size;
    WDF_POWER_POLICY_S0_IDLE_CAPABILITIES IdleCaps;
    DEVICE_POWER_STATE DxState;
    ULONG IdleTimeout;
    WDF_POWER_POLICY_S0_IDLE_USER_CONTROL UserControlOfIdleSettings;
    WDF_TRI_STATE Enabled;
    WDF_TRI_STATE PowerUpIdleDeviceOnSystemWake;
    WDF_POWER_POLICY_IDLE_TIMEOUT_TYPE IdleTimeoutType;
    WDF_TRI_STATE ExcludeD3Cold;
} WDF_DEVICE_POWER_POLICY_IDLE_SETTINGS, *PWDF_DEVICE_POWER_POLICY_IDLE_SETTINGS;

typedef struct _WDF_DEVICE_POWER_POLICY_WAKE_SETTINGS
{
    ULONG Size;
    DEVICE_POWER_STATE DxState;
    WDF_POWER_POLICY_SX_WAKE_USER_CONTROL UserControlOfWakeSettings;
    WDF_TRI_STATE Enabled;
    BOOLEAN ArmForWakeIfChildrenAreArmedForWake;
    BOOLEAN IndicateChildWakeOnParentWake;
} WDF_DEVICE_POWER_POLICY_WAKE_SETTINGS, *PWDF_DEVICE_POWER_POLICY_WAKE_SETTINGS;

WINSIM_EXTERN_C_END

inline VOID WDF_DEVICE_POWER_POLICY_IDLE_SETTINGS_INIT(PWDF_DEVICE_POWER_POLICY_IDLE_SETTINGS Settings,
                                                       WDF_POWER_POLICY_S0_IDLE_CAPABILITIES IdleCaps)
{
    __builtin_memset(Settings, 0, sizeof(WDF_DEVICE_POWER_POLICY_IDLE_SETTINGS));
    Settings->Size = sizeof(WDF_DEVICE_POWER_POLICY_IDLE_SETTINGS);
    Settings->IdleTimeout = IdleTimeoutDefaultValue;
    Settings->UserControlOfIdleSettings = IdleAllowUserControl;
    Settings->Enabled = WdfUseDefault;
    Settings->PowerUpIdleDeviceOnSystemWake = WdfUseDefault;
    Settings->IdleTimeoutType = DriverManagedIdleTimeout;
    Settings->ExcludeD3Cold = WdfUseDefault;
    Settings->IdleCaps = IdleCaps;
    if (IdleCaps == IdleUsbSelectiveSuspend || IdleCaps == IdleCanWakeFromS0)
    {
        Settings->DxState = PowerDeviceMaximum;
    }
    else
    {
        Settings->DxState = PowerDeviceD3;
    }
}

inline VOID WDF_DEVICE_POWER_POLICY_WAKE_SETTINGS_INIT(PWDF_DEVICE_POWER_POLICY_WAKE_SETTINGS Settings)
{
    __builtin_memset(Settings, 0, sizeof(WDF_DEVICE_POWER_POLICY_WAKE_SETTINGS));
    Settings->Size = sizeof(WDF_DEVICE_POWER_POLICY_WAKE_SETTINGS);
    Settings->Enabled = WdfUseDefault;
    Settings->DxState = PowerDeviceMaximum;
    Settings->UserControlOfWakeSettings = WakeAllowUserControl;
}

WINSIM_EXTERN_C_BEGIN

WINSIM_API NTSTATUS imp_WdfDeviceAssignS0IdleSettings(PWDF_DRIVER_GLOBALS DriverGlobals, WDFDEVICE Device,
                                                      PWDF_DEVICE_POWER_POLICY_IDLE_SETTINGS Settings);
static FORCEINLINE NTSTATUS WdfDeviceAssignS0IdleSettings(WDFDEVICE Device,
                                                          PWDF_DEVICE_POWER_POLICY_IDLE_SETTINGS Settings)
{
    return imp_WdfDeviceAssignS0IdleSettings(WdfDriverGlobals, Device, Settings);
}

WINSIM_API NTSTATUS imp_WdfDeviceAssignSxWakeSettings(PWDF_DRIVER_GLOBALS DriverGlobals, WDFDEVICE Device,
                                                      PWDF_DEVICE_POWER_POLICY_WAKE_SETTINGS Settings);
static FORCEINLINE NTSTATUS WdfDeviceAssignSxWakeSettings(WDFDEVICE Device,
                                                          PWDF_DEVICE_POWER_POLICY_WAKE_SETTINGS Settings)
{
    return imp_WdfDeviceAssignSxWakeSettings(WdfDriverGlobals, Device, Settings);
}

WINSIM_API POWER_ACTION imp_WdfDeviceGetSystemPowerAction(PWDF_DRIVER_GLOBALS DriverGlobals,
                                                          WDFDEVICE Device);
static FORCEINLINE POWER_ACTION WdfDeviceGetSystemPowerAction(WDFDEVICE Device)
{
    return imp_WdfDeviceGetSystemPowerAction(WdfDriverGlobals, Device);
}

WINSIM_API NTSTATUS imp_WdfDeviceStopIdleNoTrack(PWDF_DRIVER_GLOBALS DriverGlobals, WDFDEVICE Device,
                                                 BOOLEAN WaitForD0);
static FORCEINLINE NTSTATUS WdfDeviceStopIdleNoTrack(WDFDEVICE Device, BOOLEAN WaitForD0)
{
    return imp_WdfDeviceStopIdleNoTrack(WdfDriverGlobals, Device, WaitForD0);
}

WINSIM_API VOID imp_WdfDeviceResumeIdleNoTrack(PWDF_DRIVER_GLOBALS DriverGlobals, WDFDEVICE Device);
static FORCEINLINE VOID WdfDeviceResumeIdleNoTrack(WDFDEVICE Device)
{
    imp_WdfDeviceResumeIdleNoTrack(WdfDriverGlobals, Device);
}

#define WdfDeviceStopIdle(Device, WaitForD0) WdfDeviceStopIdleNoTrack(Device, WaitForD0)
#define WdfDeviceResumeIdle(Device)          WdfDeviceResumeIdleNoTrack(Device)

// ---------------------------------------------------------------------------------------------
// Queues and requests

typedef enum _WDF_IO_QUEUE_DISPATCH_TYPE
{
    WdfIoQueueDispatchInvalid = 0,
    WdfIoQueueDispatchSequential,
    WdfIoQueueDispatchParallel,
    WdfIoQueueDispatchManual,
    WdfIoQueueDispatchMax,
} WDF_IO_QUEUE_DISPATCH_TYPE;

typedef enum _WDF_IO_QUEUE_STATE
{
    WdfIoQueueAcceptRequests = 0x01,
    WdfIoQueueDispatchRequests = 0x02,
    WdfIoQueueNoRequests = 0x04,
    WdfIoQueueDriverNoRequests = 0x08,
    WdfIoQueuePnpHeld = 0x10,
} WDF_IO_QUEUE_STATE, *PWDF_IO_QUEUE_STATE;

typedef enum _WDF_REQUEST_TYPE
{
    WdfRequestTypeCreate = 0x0,
    WdfRequestTypeCreateNamedPipe = 0x1,
    WdfRequestTypeClose = 0x2,
    WdfRequestTypeRead = 0x3,
    WdfRequestTypeWrite = 0x4,
    WdfRequestTypeQueryInformation = 0x5,
    WdfRequestTypeSetInformation = 0x6,
    WdfRequestTypeFlushBuffers = 0x9,
    WdfRequestTypeDeviceControl = 0xE,
    WdfRequestTypeDeviceControlInternal = 0xF,
    WdfRequestTypeShutdown = 0x10,
    WdfRequestTypeCleanup = 0x12,
    WdfRequestTypePnp = 0x1B,
    WdfRequestTypeOther = 0x1C,
    WdfRequestTypeUsb = 0x40,
    WdfRequestTypeNoFormat = 0xFF,
    WdfRequestTypeMax,
} WDF_REQUEST_TYPE;

typedef struct _WDF_REQUEST_PARAMETERS
{
    USHORT Size;
    UCHAR MinorFunction;
    WDF_REQUEST_TYPE Type;
    union {
        struct
        {
            PVOID SecurityContext;
            ULONG Options;
            USHORT POINTER_ALIGNMENT FileAttributes;
            USHORT ShareAccess;
            ULONG POINTER_ALIGNMENT EaLength;
        } Create;
        struct
        {
            size_t Length;
            ULONG POINTER_ALIGNMENT Key;
            LONGLONG DeviceOffset;
        } Read;
        struct
        {
            size_t Length;
            ULONG POINTER_ALIGNMENT Key;
            LONGLONG DeviceOffset;
        } Write;
        struct
        {
            size_t OutputBufferLength;
            size_t POINTER_ALIGNMENT InputBufferLength;
            ULONG POINTER_ALIGNMENT IoControlCode;
            PVOID Type3InputBuffer;
        } DeviceIoControl;
        struct
        {
            PVOID Arg1;
            PVOID Arg2;
            ULONG POINTER_ALIGNMENT IoControlCode;
            PVOID Arg4;
        } Others;
    } Parameters;
} WDF_REQUEST_PARAMETERS, *PWDF_REQUEST_PARAMETERS;

typedef VOID EVT_WDF_IO_QUEUE_IO_DEFAULT(WDFQUEUE Queue, WDFREQUEST Request);
typedef EVT_WDF_IO_QUEUE_IO_DEFAULT* PFN_WDF_IO_QUEUE_IO_DEFAULT;
typedef VOID EVT_WDF_IO_QUEUE_IO_READ(WDFQUEUE Queue, WDFREQUEST Request, size_t Length);
typedef EVT_WDF_IO_QUEUE_IO_READ* PFN_WDF_IO_QUEUE_IO_READ;
typedef VOID EVT_WDF_IO_QUEUE_IO_WRITE(WDFQUEUE Queue, WDFREQUEST Request, size_t Length);
typedef EVT_WDF_IO_QUEUE_IO_WRITE* PFN_WDF_IO_QUEUE_IO_WRITE;
typedef VOID EVT_WDF_IO_QUEUE_IO_DEVICE_CONTROL(WDFQUEUE Queue, WDFREQUEST Request, size_t OutputBufferLength,
                                                size_t InputBufferLength, ULONG IoControlCode);
typedef EVT_WDF_IO_QUEUE_IO_DEVICE_CONTROL* PFN_WDF_IO_QUEUE_IO_DEVICE_CONTROL;
typedef VOID EVT_WDF_IO_QUEUE_IO_INTERNAL_DEVICE_CONTROL(WDFQUEUE Queue, WDFREQUEST Request,
                                                         size_t OutputBufferLength, size_t InputBufferLength,
                                                         ULONG IoControlCode);
typedef EVT_WDF_IO_QUEUE_IO_INTERNAL_DEVICE_CONTROL* PFN_WDF_IO_QUEUE_IO_INTERNAL_DEVICE_CONTROL;
typedef VOID EVT_WDF_IO_QUEUE_IO_STOP(WDFQUEUE Queue, WDFREQUEST Request, ULONG ActionFlags);
typedef EVT_WDF_IO_QUEUE_IO_STOP* PFN_WDF_IO_QUEUE_IO_STOP;
typedef VOID EVT_WDF_IO_QUEUE_IO_RESUME(WDFQUEUE Queue, WDFREQUEST Request);
typedef EVT_WDF_IO_QUEUE_IO_RESUME* PFN_WDF_IO_QUEUE_IO_RESUME;
typedef VOID EVT_WDF_IO_QUEUE_IO_CANCELED_ON_QUEUE(WDFQUEUE Queue, WDFREQUEST Request);
typedef EVT_WDF_IO_QUEUE_IO_CANCELED_ON_QUEUE* PFN_WDF_IO_QUEUE_IO_CANCELED_ON_QUEUE;
typedef VOID EVT_WDF_IO_QUEUE_STATE(WDFQUEUE Queue, WDFCONTEXT Context);
typedef EVT_WDF_IO_QUEUE_STATE* PFN_WDF_IO_QUEUE_STATE;
typedef VOID EVT_WDF_REQUEST_CANCEL(WDFREQUEST Request);
typedef EVT_WDF_REQUEST_CANCEL* PFN_WDF_REQUEST_CANCEL;

// Action flags of EvtIoStop.
#define WdfRequestStopActionSuspend     0x01
#define WdfRequestStopActionPurge       0x02
#define WdfRequestStopRequestCancelable 0x10000000

typedef struct _WDF_IO_QUEUE_CONFIG
{
    ULONG Size;
    WDF_IO_QUEUE_DISPATCH_TYPE DispatchType;
    WDF_TRI_STATE PowerManaged;
    BOOLEAN AllowZeroLengthRequests;
    BOOLEAN DefaultQueue;
    PFN_WDF_IO_QUEUE_IO_DEFAULT EvtIoDefault;
    PFN_WDF_IO_QUEUE_IO_READ EvtIoRead;
    PFN_WDF_IO_QUEUE_IO_WRITE EvtIoWrite;
    PFN_WDF_IO_QUEUE_IO_DEVICE_CONTROL EvtIoDeviceControl;
    PFN_WDF_IO_QUEUE_IO_INTERNAL_DEVICE_CONTROL EvtIoInternalDeviceControl;
    PFN_WDF_IO_QUEUE_IO_STOP EvtIoStop;
    PFN_WDF_IO_QUEUE_IO_RESUME EvtIoResume;
    PFN_WDF_IO_QUEUE_IO_CANCELED_ON_QUEUE EvtIoCanceledOnQueue;
    union {
        struct
        {
            ULONG NumberOfPresentedRequests;
        } Parallel;
    } Settings;
    WDFDRIVER Driver;
} WDF_IO_QUEUE_CONFIG, *PWDF_IO_QUEUE_CONFIG;

WINSIM_EXTERN_C_END

inline VOID WDF_IO_QUEUE_CONFIG_INIT(PWDF_IO_QUEUE_CONFIG Config, WDF_IO_QUEUE_DISPATCH_TYPE DispatchType)
{
    __builtin_memset(Config, 0, sizeof(WDF_IO_QUEUE_CONFIG));
    Config->Size = sizeof(WDF_IO_QUEUE_CONFIG);
    Config->PowerManaged = WdfUseDefault;
    Config->DispatchType = DispatchType;
    if (Config->DispatchType == WdfIoQueueDispatchParallel)
    {
        Config->Settings.Parallel.NumberOfPresentedRequests = (ULONG)-1;
    }
}

inline VOID WDF_IO_QUEUE_CONFIG_INIT_DEFAULT_QUEUE(PWDF_IO_QUEUE_CONFIG Config,
                                                   WDF_IO_QUEUE_DISPATCH_TYPE DispatchType)
{
    WDF_IO_QUEUE_CONFIG_INIT(Config, DispatchType);
    Config->DefaultQueue = TRUE;
}

inline VOID WDF_REQUEST_PARAMETERS_INIT(PWDF_REQUEST_PARAMETERS Parameters)
{
    __builtin_memset(Parameters, 0, sizeof(WDF_REQUEST_PARAMETERS));
    Parameters->Size = sizeof(WDF_REQUEST_PARAMETERS);
}

WINSIM_EXTERN_C_BEGIN

WINSIM_API NTSTATUS imp_WdfIoQueueCreate(PWDF_DRIVER_GLOBALS DriverGlobals, WDFDEVICE Device,
                                         PWDF_IO_QUEUE_CONFIG Config, PWDF_OBJECT_ATTRIBUTES QueueAttributes,
                                         WDFQUEUE* Queue);
static FORCEINLINE NTSTATUS WdfIoQueueCreate(WDFDEVICE Device, PWDF_IO_QUEUE_CONFIG Config,
                                             PWDF_OBJECT_ATTRIBUTES QueueAttributes, WDFQUEUE* Queue)
{
    return imp_WdfIoQueueCreate(WdfDriverGlobals, Device, Config, QueueAttributes, Queue);
}

WINSIM_API WDFDEVICE imp_WdfIoQueueGetDevice(PWDF_DRIVER_GLOBALS DriverGlobals, WDFQUEUE Queue);
static FORCEINLINE WDFDEVICE WdfIoQueueGetDevice(WDFQUEUE Queue)
{
    return imp_WdfIoQueueGetDevice(WdfDriverGlobals, Queue);
}

WINSIM_API VOID imp_WdfIoQueueStart(PWDF_DRIVER_GLOBALS DriverGlobals, WDFQUEUE Queue);
static FORCEINLINE VOID WdfIoQueueStart(WDFQUEUE Queue)
{
    imp_WdfIoQueueStart(WdfDriverGlobals, Queue);
}

WINSIM_API VOID imp_WdfIoQueueStop(PWDF_DRIVER_GLOBALS DriverGlobals, WDFQUEUE Queue,
                                   PFN_WDF_IO_QUEUE_STATE StopComplete, WDFCONTEXT Context);
static FORCEINLINE VOID WdfIoQueueStop(WDFQUEUE Queue, PFN_WDF_IO_QUEUE_STATE StopComplete,
                                       WDFCONTEXT Context)
{
    imp_WdfIoQueueStop(WdfDriverGlobals, Queue, StopComplete, Context);
}

WINSIM_API VOID imp_WdfIoQueueStopSynchronously(PWDF_DRIVER_GLOBALS DriverGlobals, WDFQUEUE Queue);
static FORCEINLINE VOID WdfIoQueueStopSynchronously(WDFQUEUE Queue)
{
    imp_WdfIoQueueStopSynchronously(WdfDriverGlobals, Queue);
}

WINSIM_API VOID imp_WdfIoQueuePurge(PWDF_DRIVER_GLOBALS DriverGlobals, WDFQUEUE Queue,
                                    PFN_WDF_IO_QUEUE_STATE PurgeComplete, WDFCONTEXT Context);
static FORCEINLINE VOID WdfIoQueuePurge(WDFQUEUE Queue, PFN_WDF_IO_QUEUE_STATE PurgeComplete,
                                        WDFCONTEXT Context)
{
    imp_WdfIoQueuePurge(WdfDriverGlobals, Queue, PurgeComplete, Context);
}

WINSIM_API VOID imp_WdfIoQueuePurgeSynchronously(PWDF_DRIVER_GLOBALS DriverGlobals, WDFQUEUE Queue);
static FORCEINLINE VOID WdfIoQueuePurgeSynchronously(WDFQUEUE Queue)
{
    imp_WdfIoQueuePurgeSynchronously(WdfDriverGlobals, Queue);
}

WINSIM_API WDF_IO_QUEUE_STATE imp_WdfIoQueueGetState(PWDF_DRIVER_GLOBALS DriverGlobals, WDFQUEUE Queue,
                                                     PULONG QueueRequests, PULONG DriverRequests);
static FORCEINLINE WDF_IO_QUEUE_STATE WdfIoQueueGetState(WDFQUEUE Queue, PULONG QueueRequests,
                                                         PULONG DriverRequests)
{
    return imp_WdfIoQueueGetState(WdfDriverGlobals, Queue, QueueRequests, DriverRequests);
}

WINSIM_API NTSTATUS imp_WdfIoQueueRetrieveNextRequest(PWDF_DRIVER_GLOBALS DriverGlobals, WDFQUEUE Queue,
                                                      WDFREQUEST* OutRequest);
static FORCEINLINE NTSTATUS WdfIoQueueRetrieveNextRequest(WDFQUEUE Queue, WDFREQUEST* OutRequest)
{
    return imp_WdfIoQueueRetrieveNextRequest(WdfDriverGlobals, Queue, OutRequest);
}

WINSIM_API NTSTATUS imp_WdfIoQueueFindRequest(PWDF_DRIVER_GLOBALS DriverGlobals, WDFQUEUE Queue,
                                              WDFREQUEST FoundRequest, WDFFILEOBJECT FileObject,
                                              PWDF_REQUEST_PARAMETERS Parameters, WDFREQUEST* OutRequest);
static FORCEINLINE NTSTATUS WdfIoQueueFindRequest(WDFQUEUE Queue, WDFREQUEST FoundRequest,
                                                  WDFFILEOBJECT FileObject,
                                                  PWDF_REQUEST_PARAMETERS Parameters, WDFREQUEST* OutRequest)
{
    return imp_WdfIoQueueFindRequest(WdfDriverGlobals, Queue, FoundRequest, FileObject, Parameters,
                                     OutRequest);
}

WINSIM_API NTSTATUS imp_WdfIoQueueRetrieveFoundRequest(PWDF_DRIVER_GLOBALS DriverGlobals, WDFQUEUE Queue,
                                                       WDFREQUEST FoundRequest, WDFREQUEST* OutRequest);
static FORCEINLINE NTSTATUS WdfIoQueueRetrieveFoundRequest(WDFQUEUE Queue, WDFREQUEST FoundRequest,
                                                           WDFREQUEST* OutRequest)
{
    return imp_WdfIoQueueRetrieveFoundRequest(WdfDriverGlobals, Queue, FoundRequest, OutRequest);
}

WINSIM_API VOID imp_WdfRequestComplete(PWDF_DRIVER_GLOBALS DriverGlobals, WDFREQUEST Request,
                                       NTSTATUS Status);
static FORCEINLINE VOID WdfRequestComplete(WDFREQUEST Request, NTSTATUS Status)
{
    imp_WdfRequestComplete(WdfDriverGlobals, Request, Status);
}

WINSIM_API VOID imp_WdfRequestCompleteWithInformation(PWDF_DRIVER_GLOBALS DriverGlobals, WDFREQUEST Request,
                                                      NTSTATUS Status, ULONG_PTR Information);
static FORCEINLINE VOID WdfRequestCompleteWithInformation(WDFREQUEST Request, NTSTATUS Status,
                                                          ULONG_PTR Information)
{
    imp_WdfRequestCompleteWithInformation(WdfDriverGlobals, Request, Status, Information);
}

WINSIM_API VOID imp_WdfRequestSetInformation(PWDF_DRIVER_GLOBALS DriverGlobals, WDFREQUEST Request,
                                             ULONG_PTR Information);
static FORCEINLINE VOID WdfRequestSetInformation(WDFREQUEST Request, ULONG_PTR Information)
{
    imp_WdfRequestSetInformation(WdfDriverGlobals, Request, Information);
}

WINSIM_API ULONG_PTR imp_WdfRequestGetInformation(PWDF_DRIVER_GLOBALS DriverGlobals, WDFREQUEST Request);
static FORCEINLINE ULONG_PTR WdfRequestGetInformation(WDFREQUEST Request)
{
    return imp_WdfRequestGetInformation(WdfDriverGlobals, Request);
}

WINSIM_API NTSTATUS imp_WdfRequestGetStatus(PWDF_DRIVER_GLOBALS DriverGlobals, WDFREQUEST Request);
static FORCEINLINE NTSTATUS WdfRequestGetStatus(WDFREQUEST Request)
{
    return imp_WdfRequestGetStatus(WdfDriverGlobals, Request);
}

WINSIM_API VOID imp_WdfRequestGetParameters(PWDF_DRIVER_GLOBALS DriverGlobals, WDFREQUEST Request,
                                            PWDF_REQUEST_PARAMETERS Parameters);
static FORCEINLINE VOID WdfRequestGetParameters(WDFREQUEST Request, PWDF_REQUEST_PARAMETERS Parameters)
{
    imp_WdfRequestGetParameters(WdfDriverGlobals, Request, Parameters);
}

WINSIM_API NTSTATUS imp_WdfRequestRetrieveInputBuffer(PWDF_DRIVER_GLOBALS DriverGlobals, WDFREQUEST Request,
                                                      size_t MinimumRequiredLength, PVOID* Buffer,
                                                      size_t* Length);
static FORCEINLINE NTSTATUS WdfRequestRetrieveInputBuffer(WDFREQUEST Request, size_t MinimumRequiredLength,
                                                          PVOID* Buffer, size_t* Length)
{
    return imp_WdfRequestRetrieveInputBuffer(WdfDriverGlobals, Request, MinimumRequiredLength, Buffer,
                                             Length);
}

WINSIM_API NTSTATUS imp_WdfRequestRetrieveOutputBuffer(PWDF_DRIVER_GLOBALS DriverGlobals, WDFREQUEST Request,
                                                       size_t MinimumRequiredSize, PVOID* Buffer,
                                                       size_t* Length);
static FORCEINLINE NTSTATUS WdfRequestRetrieveOutputBuffer(WDFREQUEST Request, size_t MinimumRequiredSize,
                                                           PVOID* Buffer, size_t* Length)
{
    return imp_WdfRequestRetrieveOutputBuffer(WdfDriverGlobals, Request, MinimumRequiredSize, Buffer, Length);
}

WINSIM_API NTSTATUS imp_WdfRequestRetrieveInputMemory(PWDF_DRIVER_GLOBALS DriverGlobals, WDFREQUEST Request,
                                                      WDFMEMORY* Memory);
static FORCEINLINE NTSTATUS WdfRequestRetrieveInputMemory(WDFREQUEST Request, WDFMEMORY* Memory)
{
    return imp_WdfRequestRetrieveInputMemory(WdfDriverGlobals, Request, Memory);
}

WINSIM_API NTSTATUS imp_WdfRequestRetrieveOutputMemory(PWDF_DRIVER_GLOBALS DriverGlobals, WDFREQUEST Request,
                                                       WDFMEMORY* Memory);
static FORCEINLINE NTSTATUS WdfRequestRetrieveOutputMemory(WDFREQUEST Request, WDFMEMORY* Memory)
{
    return imp_WdfRequestRetrieveOutputMemory(WdfDriverGlobals, Request, Memory);
}

WINSIM_API NTSTATUS imp_WdfRequestForwardToIoQueue(PWDF_DRIVER_GLOBALS DriverGlobals, WDFREQUEST Request,
                                                   WDFQUEUE DestinationQueue);
static FORCEINLINE NTSTATUS WdfRequestForwardToIoQueue(WDFREQUEST Request, WDFQUEUE DestinationQueue)
{
    return imp_WdfRequestForwardToIoQueue(WdfDriverGlobals, Request, DestinationQueue);
}

WINSIM_API WDFFILEOBJECT imp_WdfRequestGetFileObject(PWDF_DRIVER_GLOBALS DriverGlobals, WDFREQUEST Request);
static FORCEINLINE WDFFILEOBJECT WdfRequestGetFileObject(WDFREQUEST Request)
{
    return imp_WdfRequestGetFileObject(WdfDriverGlobals, Request);
}

WINSIM_API WDFQUEUE imp_WdfRequestGetIoQueue(PWDF_DRIVER_GLOBALS DriverGlobals, WDFREQUEST Request);
static FORCEINLINE WDFQUEUE WdfRequestGetIoQueue(WDFREQUEST Request)
{
    return imp_WdfRequestGetIoQueue(WdfDriverGlobals, Request);
}

WINSIM_API PIRP imp_WdfRequestWdmGetIrp(PWDF_DRIVER_GLOBALS DriverGlobals, WDFREQUEST Request);
static FORCEINLINE PIRP WdfRequestWdmGetIrp(WDFREQUEST Request)
{
    return imp_WdfRequestWdmGetIrp(WdfDriverGlobals, Request);
}

WINSIM_API KPROCESSOR_MODE imp_WdfRequestGetRequestorMode(PWDF_DRIVER_GLOBALS DriverGlobals,
                                                          WDFREQUEST Request);
static FORCEINLINE KPROCESSOR_MODE WdfRequestGetRequestorMode(WDFREQUEST Request)
{
    return imp_WdfRequestGetRequestorMode(WdfDriverGlobals, Request);
}

// --- requests the driver creates and sends to I/O targets ---

typedef struct _WDF_USB_REQUEST_COMPLETION_PARAMS* PWDF_USB_REQUEST_COMPLETION_PARAMS;

typedef enum _WDF_REQUEST_SEND_OPTIONS_FLAGS
{
    WDF_REQUEST_SEND_OPTION_TIMEOUT = 0x00000001,
    WDF_REQUEST_SEND_OPTION_SYNCHRONOUS = 0x00000002,
    WDF_REQUEST_SEND_OPTION_IGNORE_TARGET_STATE = 0x00000004,
    WDF_REQUEST_SEND_OPTION_SEND_AND_FORGET = 0x00000008,
} WDF_REQUEST_SEND_OPTIONS_FLAGS;

typedef struct _WDF_REQUEST_SEND_OPTIONS
{
    ULONG Size;
    ULONG Flags;
    LONGLONG Timeout; // with WDF_REQUEST_SEND_OPTION_TIMEOUT: negative relative, in 100-ns units
} WDF_REQUEST_SEND_OPTIONS, *PWDF_REQUEST_SEND_OPTIONS;

typedef enum _WDF_REQUEST_REUSE_FLAGS
{
    WDF_REQUEST_REUSE_NO_FLAGS = 0x00000000,
    WDF_REQUEST_REUSE_SET_NEW_IRP = 0x00000001,
} WDF_REQUEST_REUSE_FLAGS;

typedef struct _WDF_REQUEST_REUSE_PARAMS
{
    ULONG Size;
    ULONG Flags;
    NTSTATUS Status;
    PIRP NewIrp;
} WDF_REQUEST_REUSE_PARAMS, *PWDF_REQUEST_REUSE_PARAMS;

typedef struct _WDF_REQUEST_COMPLETION_PARAMS
{
    ULONG Size;
    WDF_REQUEST_TYPE Type;
    IO_STATUS_BLOCK IoStatus;
    union {
        struct
        {
            WDFMEMORY Buffer;
            size_t Length;
            size_t Offset;
        } Write;
        struct
        {
            WDFMEMORY Buffer;
            size_t Length;
            size_t Offset;
        } Read;
        struct
        {
            ULONG IoControlCode;
            struct
            {
                WDFMEMORY Buffer;
                size_t Offset;
            } Input;
            struct
            {
                WDFMEMORY Buffer;
                size_t Offset;
                size_t Length;
            } Output;
        } Ioctl;
        struct
        {
            union {
                PVOID Ptr;
                ULONG_PTR Value;
            } Argument1;
            union {
                PVOID Ptr;
                ULONG_PTR Value;
            } Argument2;
            union {
                PVOID Ptr;
                ULONG_PTR Value;
            } Argument3;
            union {
                PVOID Ptr;
                ULONG_PTR Value;
            } Argument4;
        } Others;
        struct
        {
            PWDF_USB_REQUEST_COMPLETION_PARAMS Completion;
        } Usb;
    } Parameters;
} WDF_REQUEST_COMPLETION_PARAMS, *PWDF_REQUEST_COMPLETION_PARAMS;

typedef VOID EVT_WDF_REQUEST_COMPLETION_ROUTINE(WDFREQUEST Request, WDFIOTARGET Target,
                                                PWDF_REQUEST_COMPLETION_PARAMS Params, WDFCONTEXT Context);
typedef EVT_WDF_REQUEST_COMPLETION_ROUTINE* PFN_WDF_REQUEST_COMPLETION_ROUTINE;

WINSIM_EXTERN_C_END

inline VOID WDF_REQUEST_SEND_OPTIONS_INIT(PWDF_REQUEST_SEND_OPTIONS Options, ULONG Flags)
{
    __builtin_memset(Options, 0, sizeof(WDF_REQUEST_SEND_OPTIONS));
    Options->Size = sizeof(WDF_REQUEST_SEND_OPTIONS);
    Options->Flags = Flags;
}

inline VOID WDF_REQUEST_SEND_OPTIONS_SET_TIMEOUT(PWDF_REQUEST_SEND_OPTIONS Options, LONGLONG Timeout)
{
    Options->Flags |= WDF_REQUEST_SEND_OPTION_TIMEOUT;
    Options->Timeout = Timeout;
}

inline VOID WDF_REQUEST_REUSE_PARAMS_INIT(PWDF_REQUEST_REUSE_PARAMS Params, ULONG Flags, NTSTATUS Status)
{
    __builtin_memset(Params, 0, sizeof(WDF_REQUEST_REUSE_PARAMS));
    Params->Size = sizeof(WDF_REQUEST_REUSE_PARAMS);
    Params->Flags = Flags;
    Params->Status = Status;
}

inline VOID WDF_REQUEST_COMPLETION_PARAMS_INIT(PWDF_REQUEST_COMPLETION_PARAMS Params)
{
    __builtin_memset(Params, 0, sizeof(WDF_REQUEST_COMPLETION_PARAMS));
    Params->Size = sizeof(WDF_REQUEST_COMPLETION_PARAMS);
    Params->Type = WdfRequestTypeNoFormat;
}

WINSIM_EXTERN_C_BEGIN

WINSIM_API NTSTATUS imp_WdfRequestCreate(PWDF_DRIVER_GLOBALS DriverGlobals,
                                         PWDF_OBJECT_ATTRIBUTES RequestAttributes, WDFIOTARGET IoTarget,
                                         WDFREQUEST* Request);
static FORCEINLINE NTSTATUS WdfRequestCreate(PWDF_OBJECT_ATTRIBUTES RequestAttributes, WDFIOTARGET IoTarget,
                                             WDFREQUEST* Request)
{
    return imp_WdfRequestCreate(WdfDriverGlobals, RequestAttributes, IoTarget, Request);
}

WINSIM_API NTSTATUS imp_WdfRequestReuse(PWDF_DRIVER_GLOBALS DriverGlobals, WDFREQUEST Request,
                                        PWDF_REQUEST_REUSE_PARAMS ReuseParams);
static FORCEINLINE NTSTATUS WdfRequestReuse(WDFREQUEST Request, PWDF_REQUEST_REUSE_PARAMS ReuseParams)
{
    return imp_WdfRequestReuse(WdfDriverGlobals, Request, ReuseParams);
}

WINSIM_API VOID imp_WdfRequestSetCompletionRoutine(PWDF_DRIVER_GLOBALS DriverGlobals, WDFREQUEST Request,
                                                   PFN_WDF_REQUEST_COMPLETION_ROUTINE CompletionRoutine,
                                                   WDFCONTEXT CompletionContext);
static FORCEINLINE VOID WdfRequestSetCompletionRoutine(WDFREQUEST Request,
                                                       PFN_WDF_REQUEST_COMPLETION_ROUTINE CompletionRoutine,
                                                       WDFCONTEXT CompletionContext)
{
    imp_WdfRequestSetCompletionRoutine(WdfDriverGlobals, Request, CompletionRoutine, CompletionContext);
}

WINSIM_API VOID imp_WdfRequestGetCompletionParams(PWDF_DRIVER_GLOBALS DriverGlobals, WDFREQUEST Request,
                                                  PWDF_REQUEST_COMPLETION_PARAMS Params);
static FORCEINLINE VOID WdfRequestGetCompletionParams(WDFREQUEST Request,
                                                      PWDF_REQUEST_COMPLETION_PARAMS Params)
{
    imp_WdfRequestGetCompletionParams(WdfDriverGlobals, Request, Params);
}

WINSIM_API VOID imp_WdfRequestFormatRequestUsingCurrentType(PWDF_DRIVER_GLOBALS DriverGlobals,
                                                            WDFREQUEST Request);
static FORCEINLINE VOID WdfRequestFormatRequestUsingCurrentType(WDFREQUEST Request)
{
    imp_WdfRequestFormatRequestUsingCurrentType(WdfDriverGlobals, Request);
}

WINSIM_API BOOLEAN imp_WdfRequestSend(PWDF_DRIVER_GLOBALS DriverGlobals, WDFREQUEST Request,
                                      WDFIOTARGET Target, PWDF_REQUEST_SEND_OPTIONS Options);
static FORCEINLINE BOOLEAN WdfRequestSend(WDFREQUEST Request, WDFIOTARGET Target,
                                          PWDF_REQUEST_SEND_OPTIONS Options)
{
    return imp_WdfRequestSend(WdfDriverGlobals, Request, Target, Options);
}

WINSIM_API BOOLEAN imp_WdfRequestCancelSentRequest(PWDF_DRIVER_GLOBALS DriverGlobals, WDFREQUEST Request);
static FORCEINLINE BOOLEAN WdfRequestCancelSentRequest(WDFREQUEST Request)
{
    return imp_WdfRequestCancelSentRequest(WdfDriverGlobals, Request);
}

WINSIM_API VOID imp_WdfRequestStopAcknowledge(PWDF_DRIVER_GLOBALS DriverGlobals, WDFREQUEST Request,
                                              BOOLEAN Requeue);
static FORCEINLINE VOID WdfRequestStopAcknowledge(WDFREQUEST Request, BOOLEAN Requeue)
{
    imp_WdfRequestStopAcknowledge(WdfDriverGlobals, Request, Requeue);
}

WINSIM_API VOID imp_WdfRequestMarkCancelable(PWDF_DRIVER_GLOBALS DriverGlobals, WDFREQUEST Request,
                                             PFN_WDF_REQUEST_CANCEL EvtRequestCancel);
static FORCEINLINE VOID WdfRequestMarkCancelable(WDFREQUEST Request, PFN_WDF_REQUEST_CANCEL EvtRequestCancel)
{
    imp_WdfRequestMarkCancelable(WdfDriverGlobals, Request, EvtRequestCancel);
}

WINSIM_API NTSTATUS imp_WdfRequestMarkCancelableEx(PWDF_DRIVER_GLOBALS DriverGlobals, WDFREQUEST Request,
                                                   PFN_WDF_REQUEST_CANCEL EvtRequestCancel);
static FORCEINLINE NTSTATUS WdfRequestMarkCancelableEx(WDFREQUEST Request,
                                                       PFN_WDF_REQUEST_CANCEL EvtRequestCancel)
{
    return imp_WdfRequestMarkCancelableEx(WdfDriverGlobals, Request, EvtRequestCancel);
}

WINSIM_API NTSTATUS imp_WdfRequestUnmarkCancelable(PWDF_DRIVER_GLOBALS DriverGlobals, WDFREQUEST Request);
static FORCEINLINE NTSTATUS WdfRequestUnmarkCancelable(WDFREQUEST Request)
{
    return imp_WdfRequestUnmarkCancelable(WdfDriverGlobals, Request);
}

// ---------------------------------------------------------------------------------------------
// Timers and work items

typedef VOID EVT_WDF_TIMER(WDFTIMER Timer);
typedef EVT_WDF_TIMER* PFN_WDF_TIMER;

typedef struct _WDF_TIMER_CONFIG
{
    ULONG Size;
    PFN_WDF_TIMER EvtTimerFunc;
    ULONG Period;
    BOOLEAN AutomaticSerialization;
    ULONG TolerableDelay;
    BOOLEAN UseHighResolutionTimer;
} WDF_TIMER_CONFIG, *PWDF_TIMER_CONFIG;

WINSIM_EXTERN_C_END

inline VOID WDF_TIMER_CONFIG_INIT(PWDF_TIMER_CONFIG Config, PFN_WDF_TIMER EvtTimerFunc)
{
    __builtin_memset(Config, 0, sizeof(WDF_TIMER_CONFIG));
    Config->Size = sizeof(WDF_TIMER_CONFIG);
    Config->EvtTimerFunc = EvtTimerFunc;
    Config->Period = 0;
    Config->AutomaticSerialization = TRUE;
    Config->TolerableDelay = 0;
}

WINSIM_EXTERN_C_BEGIN

WINSIM_API NTSTATUS imp_WdfTimerCreate(PWDF_DRIVER_GLOBALS DriverGlobals, PWDF_TIMER_CONFIG Config,
                                       PWDF_OBJECT_ATTRIBUTES Attributes, WDFTIMER* Timer);
static FORCEINLINE NTSTATUS WdfTimerCreate(PWDF_TIMER_CONFIG Config, PWDF_OBJECT_ATTRIBUTES Attributes,
                                           WDFTIMER* Timer)
{
    return imp_WdfTimerCreate(WdfDriverGlobals, Config, Attributes, Timer);
}

WINSIM_API BOOLEAN imp_WdfTimerStart(PWDF_DRIVER_GLOBALS DriverGlobals, WDFTIMER Timer, LONGLONG DueTime);
static FORCEINLINE BOOLEAN WdfTimerStart(WDFTIMER Timer, LONGLONG DueTime)
{
    return imp_WdfTimerStart(WdfDriverGlobals, Timer, DueTime);
}

WINSIM_API BOOLEAN imp_WdfTimerStop(PWDF_DRIVER_GLOBALS DriverGlobals, WDFTIMER Timer, BOOLEAN Wait);
static FORCEINLINE BOOLEAN WdfTimerStop(WDFTIMER Timer, BOOLEAN Wait)
{
    return imp_WdfTimerStop(WdfDriverGlobals, Timer, Wait);
}

WINSIM_API WDFOBJECT imp_WdfTimerGetParentObject(PWDF_DRIVER_GLOBALS DriverGlobals, WDFTIMER Timer);
static FORCEINLINE WDFOBJECT WdfTimerGetParentObject(WDFTIMER Timer)
{
    return imp_WdfTimerGetParentObject(WdfDriverGlobals, Timer);
}

typedef VOID EVT_WDF_WORKITEM(WDFWORKITEM WorkItem);
typedef EVT_WDF_WORKITEM* PFN_WDF_WORKITEM;

typedef struct _WDF_WORKITEM_CONFIG
{
    ULONG Size;
    PFN_WDF_WORKITEM EvtWorkItemFunc;
    BOOLEAN AutomaticSerialization;
} WDF_WORKITEM_CONFIG, *PWDF_WORKITEM_CONFIG;

WINSIM_EXTERN_C_END

inline VOID WDF_WORKITEM_CONFIG_INIT(PWDF_WORKITEM_CONFIG Config, PFN_WDF_WORKITEM EvtWorkItemFunc)
{
    __builtin_memset(Config, 0, sizeof(WDF_WORKITEM_CONFIG));
    Config->Size = sizeof(WDF_WORKITEM_CONFIG);
    Config->EvtWorkItemFunc = EvtWorkItemFunc;
    Config->AutomaticSerialization = TRUE;
}

WINSIM_EXTERN_C_BEGIN

WINSIM_API NTSTATUS imp_WdfWorkItemCreate(PWDF_DRIVER_GLOBALS DriverGlobals, PWDF_WORKITEM_CONFIG Config,
                                          PWDF_OBJECT_ATTRIBUTES Attributes, WDFWORKITEM* WorkItem);
static FORCEINLINE NTSTATUS WdfWorkItemCreate(PWDF_WORKITEM_CONFIG Config, PWDF_OBJECT_ATTRIBUTES Attributes,
                                              WDFWORKITEM* WorkItem)
{
    return imp_WdfWorkItemCreate(WdfDriverGlobals, Config, Attributes, WorkItem);
}

WINSIM_API VOID imp_WdfWorkItemEnqueue(PWDF_DRIVER_GLOBALS DriverGlobals, WDFWORKITEM WorkItem);
static FORCEINLINE VOID WdfWorkItemEnqueue(WDFWORKITEM WorkItem)
{
    imp_WdfWorkItemEnqueue(WdfDriverGlobals, WorkItem);
}

WINSIM_API WDFOBJECT imp_WdfWorkItemGetParentObject(PWDF_DRIVER_GLOBALS DriverGlobals, WDFWORKITEM WorkItem);
static FORCEINLINE WDFOBJECT WdfWorkItemGetParentObject(WDFWORKITEM WorkItem)
{
    return imp_WdfWorkItemGetParentObject(WdfDriverGlobals, WorkItem);
}

WINSIM_API VOID imp_WdfWorkItemFlush(PWDF_DRIVER_GLOBALS DriverGlobals, WDFWORKITEM WorkItem);
static FORCEINLINE VOID WdfWorkItemFlush(WDFWORKITEM WorkItem)
{
    imp_WdfWorkItemFlush(WdfDriverGlobals, WorkItem);
}

// ---------------------------------------------------------------------------------------------
// Locks

WINSIM_API NTSTATUS imp_WdfSpinLockCreate(PWDF_DRIVER_GLOBALS DriverGlobals,
                                          PWDF_OBJECT_ATTRIBUTES SpinLockAttributes, WDFSPINLOCK* SpinLock);
static FORCEINLINE NTSTATUS WdfSpinLockCreate(PWDF_OBJECT_ATTRIBUTES SpinLockAttributes,
                                              WDFSPINLOCK* SpinLock)
{
    return imp_WdfSpinLockCreate(WdfDriverGlobals, SpinLockAttributes, SpinLock);
}

WINSIM_API VOID imp_WdfSpinLockAcquire(PWDF_DRIVER_GLOBALS DriverGlobals, WDFSPINLOCK SpinLock);
static FORCEINLINE VOID WdfSpinLockAcquire(WDFSPINLOCK SpinLock)
{
    imp_WdfSpinLockAcquire(WdfDriverGlobals, SpinLock);
}

WINSIM_API VOID imp_WdfSpinLockRelease(PWDF_DRIVER_GLOBALS DriverGlobals, WDFSPINLOCK SpinLock);
static FORCEINLINE VOID WdfSpinLockRelease(WDFSPINLOCK SpinLock)
{
    imp_WdfSpinLockRelease(WdfDriverGlobals, SpinLock);
}

WINSIM_API NTSTATUS imp_WdfWaitLockCreate(PWDF_DRIVER_GLOBALS DriverGlobals,
                                          PWDF_OBJECT_ATTRIBUTES LockAttributes, WDFWAITLOCK* Lock);
static FORCEINLINE NTSTATUS WdfWaitLockCreate(PWDF_OBJECT_ATTRIBUTES LockAttributes, WDFWAITLOCK* Lock)
{
    return imp_WdfWaitLockCreate(WdfDriverGlobals, LockAttributes, Lock);
}

WINSIM_API NTSTATUS imp_WdfWaitLockAcquire(PWDF_DRIVER_GLOBALS DriverGlobals, WDFWAITLOCK Lock,
                                           PLONGLONG Timeout);
static FORCEINLINE NTSTATUS WdfWaitLockAcquire(WDFWAITLOCK Lock, PLONGLONG Timeout)
{
    return imp_WdfWaitLockAcquire(WdfDriverGlobals, Lock, Timeout);
}

WINSIM_API VOID imp_WdfWaitLockRelease(PWDF_DRIVER_GLOBALS DriverGlobals, WDFWAITLOCK Lock);
static FORCEINLINE VOID WdfWaitLockRelease(WDFWAITLOCK Lock)
{
    imp_WdfWaitLockRelease(WdfDriverGlobals, Lock);
}

// ---------------------------------------------------------------------------------------------
// Collections, strings, memory

WINSIM_API NTSTATUS imp_WdfCollectionCreate(PWDF_DRIVER_GLOBALS DriverGlobals,
                                            PWDF_OBJECT_ATTRIBUTES CollectionAttributes,
                                            WDFCOLLECTION* Collection);
static FORCEINLINE NTSTATUS WdfCollectionCreate(PWDF_OBJECT_ATTRIBUTES CollectionAttributes,
                                                WDFCOLLECTION* Collection)
{
    return imp_WdfCollectionCreate(WdfDriverGlobals, CollectionAttributes, Collection);
}

WINSIM_API ULONG imp_WdfCollectionGetCount(PWDF_DRIVER_GLOBALS DriverGlobals, WDFCOLLECTION Collection);
static FORCEINLINE ULONG WdfCollectionGetCount(WDFCOLLECTION Collection)
{
    return imp_WdfCollectionGetCount(WdfDriverGlobals, Collection);
}

WINSIM_API NTSTATUS imp_WdfCollectionAdd(PWDF_DRIVER_GLOBALS DriverGlobals, WDFCOLLECTION Collection,
                                         WDFOBJECT Object);
static FORCEINLINE NTSTATUS WdfCollectionAdd(WDFCOLLECTION Collection, WDFOBJECT Object)
{
    return imp_WdfCollectionAdd(WdfDriverGlobals, Collection, Object);
}

WINSIM_API VOID imp_WdfCollectionRemove(PWDF_DRIVER_GLOBALS DriverGlobals, WDFCOLLECTION Collection,
                                        WDFOBJECT Item);
static FORCEINLINE VOID WdfCollectionRemove(WDFCOLLECTION Collection, WDFOBJECT Item)
{
    imp_WdfCollectionRemove(WdfDriverGlobals, Collection, Item);
}

WINSIM_API VOID imp_WdfCollectionRemoveItem(PWDF_DRIVER_GLOBALS DriverGlobals, WDFCOLLECTION Collection,
                                            ULONG Index);
static FORCEINLINE VOID WdfCollectionRemoveItem(WDFCOLLECTION Collection, ULONG Index)
{
    imp_WdfCollectionRemoveItem(WdfDriverGlobals, Collection, Index);
}

WINSIM_API WDFOBJECT imp_WdfCollectionGetItem(PWDF_DRIVER_GLOBALS DriverGlobals, WDFCOLLECTION Collection,
                                              ULONG Index);
static FORCEINLINE WDFOBJECT WdfCollectionGetItem(WDFCOLLECTION Collection, ULONG Index)
{
    return imp_WdfCollectionGetItem(WdfDriverGlobals, Collection, Index);
}

WINSIM_API WDFOBJECT imp_WdfCollectionGetFirstItem(PWDF_DRIVER_GLOBALS DriverGlobals,
                                                   WDFCOLLECTION Collection);
static FORCEINLINE WDFOBJECT WdfCollectionGetFirstItem(WDFCOLLECTION Collection)
{
    return imp_WdfCollectionGetFirstItem(WdfDriverGlobals, Collection);
}

WINSIM_API WDFOBJECT imp_WdfCollectionGetLastItem(PWDF_DRIVER_GLOBALS DriverGlobals,
                                                  WDFCOLLECTION Collection);
static FORCEINLINE WDFOBJECT WdfCollectionGetLastItem(WDFCOLLECTION Collection)
{
    return imp_WdfCollectionGetLastItem(WdfDriverGlobals, Collection);
}

WINSIM_API NTSTATUS imp_WdfStringCreate(PWDF_DRIVER_GLOBALS DriverGlobals, PCUNICODE_STRING UnicodeString,
                                        PWDF_OBJECT_ATTRIBUTES StringAttributes, WDFSTRING* String);
static FORCEINLINE NTSTATUS WdfStringCreate(PCUNICODE_STRING UnicodeString,
                                            PWDF_OBJECT_ATTRIBUTES StringAttributes, WDFSTRING* String)
{
    return imp_WdfStringCreate(WdfDriverGlobals, UnicodeString, StringAttributes, String);
}

WINSIM_API VOID imp_WdfStringGetUnicodeString(PWDF_DRIVER_GLOBALS DriverGlobals, WDFSTRING String,
                                              PUNICODE_STRING UnicodeString);
static FORCEINLINE VOID WdfStringGetUnicodeString(WDFSTRING String, PUNICODE_STRING UnicodeString)
{
    imp_WdfStringGetUnicodeString(WdfDriverGlobals, String, UnicodeString);
}

WINSIM_API NTSTATUS imp_WdfMemoryCreate(PWDF_DRIVER_GLOBALS DriverGlobals, PWDF_OBJECT_ATTRIBUTES Attributes,
                                        POOL_TYPE PoolType, ULONG PoolTag, size_t BufferSize,
                                        WDFMEMORY* Memory, PVOID* Buffer);
static FORCEINLINE NTSTATUS WdfMemoryCreate(PWDF_OBJECT_ATTRIBUTES Attributes, POOL_TYPE PoolType,
                                            ULONG PoolTag, size_t BufferSize, WDFMEMORY* Memory,
                                            PVOID* Buffer)
{
    return imp_WdfMemoryCreate(WdfDriverGlobals, Attributes, PoolType, PoolTag, BufferSize, Memory, Buffer);
}

WINSIM_API NTSTATUS imp_WdfMemoryCreatePreallocated(PWDF_DRIVER_GLOBALS DriverGlobals,
                                                    PWDF_OBJECT_ATTRIBUTES Attributes, PVOID Buffer,
                                                    size_t BufferSize, WDFMEMORY* Memory);
static FORCEINLINE NTSTATUS WdfMemoryCreatePreallocated(PWDF_OBJECT_ATTRIBUTES Attributes, PVOID Buffer,
                                                        size_t BufferSize, WDFMEMORY* Memory)
{
    return imp_WdfMemoryCreatePreallocated(WdfDriverGlobals, Attributes, Buffer, BufferSize, Memory);
}

WINSIM_API PVOID imp_WdfMemoryGetBuffer(PWDF_DRIVER_GLOBALS DriverGlobals, WDFMEMORY Memory,
                                        size_t* BufferSize);
static FORCEINLINE PVOID WdfMemoryGetBuffer(WDFMEMORY Memory, size_t* BufferSize)
{
    return imp_WdfMemoryGetBuffer(WdfDriverGlobals, Memory, BufferSize);
}

WINSIM_API NTSTATUS imp_WdfMemoryCopyToBuffer(PWDF_DRIVER_GLOBALS DriverGlobals, WDFMEMORY SourceMemory,
                                              size_t SourceOffset, PVOID Buffer, size_t NumBytesToCopyTo);
static FORCEINLINE NTSTATUS WdfMemoryCopyToBuffer(WDFMEMORY SourceMemory, size_t SourceOffset, PVOID Buffer,
                                                  size_t NumBytesToCopyTo)
{
    return imp_WdfMemoryCopyToBuffer(WdfDriverGlobals, SourceMemory, SourceOffset, Buffer, NumBytesToCopyTo);
}

WINSIM_API NTSTATUS imp_WdfMemoryCopyFromBuffer(PWDF_DRIVER_GLOBALS DriverGlobals,
                                                WDFMEMORY DestinationMemory, size_t DestinationOffset,
                                                PVOID Buffer, size_t NumBytesToCopyFrom);
static FORCEINLINE NTSTATUS WdfMemoryCopyFromBuffer(WDFMEMORY DestinationMemory, size_t DestinationOffset,
                                                    PVOID Buffer, size_t NumBytesToCopyFrom)
{
    return imp_WdfMemoryCopyFromBuffer(WdfDriverGlobals, DestinationMemory, DestinationOffset, Buffer,
                                       NumBytesToCopyFrom);
}

// ---------------------------------------------------------------------------------------------
// Registry keys

WINSIM_API VOID imp_WdfRegistryClose(PWDF_DRIVER_GLOBALS DriverGlobals, WDFKEY Key);
static FORCEINLINE VOID WdfRegistryClose(WDFKEY Key)
{
    imp_WdfRegistryClose(WdfDriverGlobals, Key);
}

WINSIM_API NTSTATUS imp_WdfRegistryQueryValue(PWDF_DRIVER_GLOBALS DriverGlobals, WDFKEY Key,
                                              PCUNICODE_STRING ValueName, ULONG ValueLength, PVOID Value,
                                              PULONG ValueLengthQueried, PULONG ValueType);
static FORCEINLINE NTSTATUS WdfRegistryQueryValue(WDFKEY Key, PCUNICODE_STRING ValueName, ULONG ValueLength,
                                                  PVOID Value, PULONG ValueLengthQueried, PULONG ValueType)
{
    return imp_WdfRegistryQueryValue(WdfDriverGlobals, Key, ValueName, ValueLength, Value, ValueLengthQueried,
                                     ValueType);
}

WINSIM_API NTSTATUS imp_WdfRegistryQueryULong(PWDF_DRIVER_GLOBALS DriverGlobals, WDFKEY Key,
                                              PCUNICODE_STRING ValueName, PULONG Value);
static FORCEINLINE NTSTATUS WdfRegistryQueryULong(WDFKEY Key, PCUNICODE_STRING ValueName, PULONG Value)
{
    return imp_WdfRegistryQueryULong(WdfDriverGlobals, Key, ValueName, Value);
}

WINSIM_API NTSTATUS imp_WdfRegistryQueryUnicodeString(PWDF_DRIVER_GLOBALS DriverGlobals, WDFKEY Key,
                                                      PCUNICODE_STRING ValueName, PUSHORT ValueByteLength,
                                                      PUNICODE_STRING Value);
static FORCEINLINE NTSTATUS WdfRegistryQueryUnicodeString(WDFKEY Key, PCUNICODE_STRING ValueName,
                                                          PUSHORT ValueByteLength, PUNICODE_STRING Value)
{
    return imp_WdfRegistryQueryUnicodeString(WdfDriverGlobals, Key, ValueName, ValueByteLength, Value);
}

WINSIM_API NTSTATUS imp_WdfRegistryAssignValue(PWDF_DRIVER_GLOBALS DriverGlobals, WDFKEY Key,
                                               PCUNICODE_STRING ValueName, ULONG ValueType, ULONG ValueLength,
                                               PVOID Value);
static FORCEINLINE NTSTATUS WdfRegistryAssignValue(WDFKEY Key, PCUNICODE_STRING ValueName, ULONG ValueType,
                                                   ULONG ValueLength, PVOID Value)
{
    return imp_WdfRegistryAssignValue(WdfDriverGlobals, Key, ValueName, ValueType, ValueLength, Value);
}

WINSIM_API NTSTATUS imp_WdfRegistryAssignULong(PWDF_DRIVER_GLOBALS DriverGlobals, WDFKEY Key,
                                               PCUNICODE_STRING ValueName, ULONG Value);
static FORCEINLINE NTSTATUS WdfRegistryAssignULong(WDFKEY Key, PCUNICODE_STRING ValueName, ULONG Value)
{
    return imp_WdfRegistryAssignULong(WdfDriverGlobals, Key, ValueName, Value);
}

WINSIM_API NTSTATUS imp_WdfRegistryAssignUnicodeString(PWDF_DRIVER_GLOBALS DriverGlobals, WDFKEY Key,
                                                       PCUNICODE_STRING ValueName, PCUNICODE_STRING Value);
static FORCEINLINE NTSTATUS WdfRegistryAssignUnicodeString(WDFKEY Key, PCUNICODE_STRING ValueName,
                                                           PCUNICODE_STRING Value)
{
    return imp_WdfRegistryAssignUnicodeString(WdfDriverGlobals, Key, ValueName, Value);
}

WINSIM_API NTSTATUS imp_WdfRegistryRemoveValue(PWDF_DRIVER_GLOBALS DriverGlobals, WDFKEY Key,
                                               PCUNICODE_STRING ValueName);
static FORCEINLINE NTSTATUS WdfRegistryRemoveValue(WDFKEY Key, PCUNICODE_STRING ValueName)
{
    return imp_WdfRegistryRemoveValue(WdfDriverGlobals, Key, ValueName);
}

WINSIM_EXTERN_C_END

// The I/O targets a driver sends its requests to.
#include <wdfiotarget.h>
