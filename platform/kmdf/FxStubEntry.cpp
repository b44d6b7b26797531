// The entry point of a framework driver image (the linker makes it the image's entry point, as
// the kit's drivers link FxDriverEntry): it binds the image to the framework, calls the driver's
// DriverEntry, and unbinds the image when DriverEntry fails or once the driver has unloaded.
// Linked into each driver image; its symbols are hidden.
#include <wdf.h>
#include <wdfldr.h>

extern "C"
{

    extern WDF_BIND_INFO WdfBindInfo;
    DRIVER_INITIALIZE DriverEntry;

} // extern "C"

namespace
{

// The unload routine the framework gave the driver object; the stub's own runs in its place.
PDRIVER_UNLOAD g_frameworkUnload = nullptr;

VOID StubDriverUnload(PDRIVER_OBJECT DriverObject)
{
    if (g_frameworkUnload != nullptr)
    {
        g_frameworkUnload(DriverObject);
    }
    g_frameworkUnload = nullptr;
    WdfVersionUnbind(nullptr, &WdfBindInfo, reinterpret_cast<PWDF_COMPONENT_GLOBALS>(WdfDriverGlobals));
    WdfDriverGlobals = nullptr;
}

} // namespace

extern "C"
{

    NTSTATUS FxDriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath)
    {
        NTSTATUS status = WdfVersionBind(DriverObject, RegistryPath, &WdfBindInfo,
                                         reinterpret_cast<PWDF_COMPONENT_GLOBALS*>(&WdfDriverGlobals));
        if (!NT_SUCCESS(status))
        {
            return status;
        }
        status = DriverEntry(DriverObject, RegistryPath);
        if (!NT_SUCCESS(status))
        {
            WdfVersionUnbind(RegistryPath, &WdfBindInfo,
                             reinterpret_cast<PWDF_COMPONENT_GLOBALS>(WdfDriverGlobals));
            WdfDriverGlobals = nullptr;
            return status;
        }
        // The framework's unload routine runs first, then the image is unbound.
        g_frameworkUnload = DriverObject->DriverUnload;
        DriverObject->DriverUnload = StubDriverUnload;
        return status;
    }

} // extern "C"
