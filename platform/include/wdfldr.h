// The framework loader's interface: how the stub every framework driver image links binds the
// image to the framework before its DriverEntry runs, and unbinds it when the driver unloads or
// its DriverEntry fails.
#pragma once

#include <wdf.h>

WINSIM_EXTERN_C_BEGIN

typedef ULONG WDF_MAJOR_VERSION;
typedef ULONG WDF_MINOR_VERSION;
typedef ULONG WDF_BUILD_NUMBER;

typedef struct _WDF_VERSION
{
    WDF_MAJOR_VERSION Major;
    WDF_MINOR_VERSION Minor;
    WDF_BUILD_NUMBER Build;
} WDF_VERSION;

// What the image asks for: the framework component and version it was built against.
typedef struct _WDF_BIND_INFO
{
    ULONG Size;
    PWCHAR Component;
    WDF_VERSION Version;
    ULONG FuncCount;
    PVOID FuncTable;
    PVOID Module;
} WDF_BIND_INFO, *PWDF_BIND_INFO;

typedef PVOID WDF_COMPONENT_GLOBALS, *PWDF_COMPONENT_GLOBALS;

WINSIM_API NTSTATUS WdfVersionBind(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath,
                                   PWDF_BIND_INFO BindInfo, PWDF_COMPONENT_GLOBALS* ComponentGlobals);
WINSIM_API NTSTATUS WdfVersionUnbind(PUNICODE_STRING RegistryPath, PWDF_BIND_INFO BindInfo,
                                     PWDF_COMPONENT_GLOBALS ComponentGlobals);

// The image's entry point, in the stub: binds the image, calls its DriverEntry, and unbinds it
// again when DriverEntry fails or, later, after the framework unloaded the driver. Each image has
// its own.
__attribute__((visibility("hidden"))) DRIVER_INITIALIZE FxDriverEntry;

WINSIM_EXTERN_C_END
