#include "FxTestDriver.h"

#include <fstream>

namespace fxtest
{
namespace
{

DriverHooks g_hooks;
WDFDRIVER g_driver = nullptr;

NTSTATUS DeviceAdd(WDFDRIVER driver, PWDFDEVICE_INIT init)
{
    if (g_hooks.deviceAdd)
    {
        return g_hooks.deviceAdd(driver, init);
    }
    WDFDEVICE device = nullptr;
    return WdfDeviceCreate(&init, WDF_NO_OBJECT_ATTRIBUTES, &device);
}

VOID DriverUnload(WDFDRIVER driver)
{
    if (g_hooks.unload)
    {
        g_hooks.unload(driver);
    }
    g_driver = nullptr;
}

} // namespace

DriverHooks& TestDriverHooks()
{
    return g_hooks;
}

WDFDRIVER TestDriverObject()
{
    return g_driver;
}

std::filesystem::path WritePackage(const std::filesystem::path& folder)
{
    std::filesystem::create_directories(folder);
    std::ofstream(folder / "FxTest.sys") << "built into the test\n";
    std::filesystem::path inf = folder / "FxTest.inf";
    std::ofstream file(inf);
    file << "[Version]\r\n"
            "Signature = \"$WINDOWS NT$\"\r\n"
            "Class = System\r\n"
            "ClassGuid = {4D36E97D-E325-11CE-BFC1-08002BE10318}\r\n"
            "Provider = %Tests%\r\n"
            "DriverVer = 12/08/2026,1.0.0.0\r\n"
            "[DestinationDirs]\r\nDefaultDestDir = 12\r\n"
            "[SourceDisksNames]\r\n1 = %Tests%,,,\"\"\r\n"
            "[SourceDisksFiles]\r\nFxTest.sys = 1,,\r\n"
            "[Manufacturer]\r\n%Tests% = Tests,NTamd64\r\n"
            "[Tests.NTamd64]\r\n%Device% = FxTest_Install, USB\\VID_1209&PID_4658\r\n"
            "[FxTest_Install.NT]\r\nCopyFiles = FxTest.Files\r\n"
            "[FxTest.Files]\r\nFxTest.sys\r\n"
            "[FxTest_Install.NT.Services]\r\nAddService = FxTest, 0x00000002, FxTest_Service\r\n"
            "[FxTest_Service]\r\nServiceType = 1\r\nStartType = 3\r\nErrorControl = 1\r\n"
            "ServiceBinary = %12%\\FxTest.sys\r\n"
            "[Strings]\r\nTests = \"Tests\"\r\nDevice = \"Framework test device\"\r\n";
    return inf;
}

} // namespace fxtest

// The test program is the test driver's image: the framework's stub (FxDriverEntry, its entry
// point) binds it and calls this DriverEntry.
extern "C" NTSTATUS DriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registryPath)
{
    using namespace fxtest;
    WDF_DRIVER_CONFIG config;
    WDF_DRIVER_CONFIG_INIT(&config, DeviceAdd);
    config.EvtDriverUnload = DriverUnload;
    config.DriverPoolTag = g_hooks.poolTag;
    WDF_OBJECT_ATTRIBUTES attributes;
    WDF_OBJECT_ATTRIBUTES_INIT(&attributes);
    attributes.EvtCleanupCallback = g_hooks.driverCleanup;
    WDFDRIVER created = nullptr;
    NTSTATUS status = WdfDriverCreate(driver, registryPath, &attributes, &config, &created);
    if (!NT_SUCCESS(status))
    {
        return status;
    }
    if (g_hooks.created)
    {
        g_hooks.created(created);
    }
    if (NT_SUCCESS(g_hooks.entryStatus))
    {
        g_driver = created;
    }
    return g_hooks.entryStatus;
}
