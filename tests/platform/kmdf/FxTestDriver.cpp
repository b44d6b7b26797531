#include "FxTestDriver.h"

#include <fstream>
#include <string>

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

namespace
{

PnpPowerLog g_log;

const char* StateName(WDF_POWER_DEVICE_STATE state)
{
    switch (state)
    {
    case WdfPowerDeviceD0:
        return "D0";
    case WdfPowerDeviceD1:
        return "D1";
    case WdfPowerDeviceD2:
        return "D2";
    case WdfPowerDeviceD3:
        return "D3";
    case WdfPowerDeviceD3Final:
        return "D3Final";
    case WdfPowerDevicePrepareForHibernation:
        return "PrepareForHibernation";
    default:
        return "?";
    }
}

const char* ActionName(POWER_ACTION action)
{
    switch (action)
    {
    case PowerActionNone:
        return "None";
    case PowerActionSleep:
        return "Sleep";
    case PowerActionHibernate:
        return "Hibernate";
    case PowerActionShutdown:
        return "Shutdown";
    case PowerActionShutdownReset:
        return "ShutdownReset";
    case PowerActionShutdownOff:
        return "ShutdownOff";
    default:
        return "?";
    }
}

std::string Transition(const char* callback, WDFDEVICE device, WDF_POWER_DEVICE_STATE state)
{
    return std::string(callback) + "(" + StateName(state) + ", " +
           ActionName(WdfDeviceGetSystemPowerAction(device)) + ")";
}

NTSTATUS PrepareHardware(WDFDEVICE, WDFCMRESLIST, WDFCMRESLIST)
{
    g_log.Add("PrepareHardware");
    return g_log.prepareHardware;
}

NTSTATUS ReleaseHardware(WDFDEVICE, WDFCMRESLIST)
{
    g_log.Add("ReleaseHardware");
    return STATUS_SUCCESS;
}

NTSTATUS D0Entry(WDFDEVICE device, WDF_POWER_DEVICE_STATE previous)
{
    g_log.Add(Transition("D0Entry", device, previous));
    return g_log.d0Entry;
}

NTSTATUS D0Exit(WDFDEVICE device, WDF_POWER_DEVICE_STATE target)
{
    g_log.Add(Transition("D0Exit", device, target));
    return STATUS_SUCCESS;
}

NTSTATUS SelfManagedIoInit(WDFDEVICE)
{
    g_log.Add("SelfManagedIoInit");
    return g_log.selfManagedIoInit;
}

NTSTATUS SelfManagedIoSuspend(WDFDEVICE)
{
    g_log.Add("SelfManagedIoSuspend");
    return STATUS_SUCCESS;
}

NTSTATUS SelfManagedIoRestart(WDFDEVICE)
{
    g_log.Add("SelfManagedIoRestart");
    return STATUS_SUCCESS;
}

VOID SelfManagedIoFlush(WDFDEVICE)
{
    g_log.Add("SelfManagedIoFlush");
}

VOID SelfManagedIoCleanup(WDFDEVICE)
{
    g_log.Add("SelfManagedIoCleanup");
}

VOID SurpriseRemoval(WDFDEVICE)
{
    g_log.Add("SurpriseRemoval");
}

NTSTATUS QueryRemove(WDFDEVICE)
{
    g_log.Add("QueryRemove");
    return g_log.queryRemove;
}

} // namespace

void PnpPowerLog::Add(std::string event)
{
    std::lock_guard<std::mutex> guard(m_lock);
    m_events.push_back(std::move(event));
}

std::vector<std::string> PnpPowerLog::Take()
{
    std::lock_guard<std::mutex> guard(m_lock);
    std::vector<std::string> events;
    events.swap(m_events);
    return events;
}

PnpPowerLog& TestPnpPowerLog()
{
    return g_log;
}

void RecordPnpPower(PWDFDEVICE_INIT init)
{
    WDF_PNPPOWER_EVENT_CALLBACKS callbacks;
    WDF_PNPPOWER_EVENT_CALLBACKS_INIT(&callbacks);
    callbacks.EvtDevicePrepareHardware = PrepareHardware;
    callbacks.EvtDeviceReleaseHardware = ReleaseHardware;
    callbacks.EvtDeviceD0Entry = D0Entry;
    callbacks.EvtDeviceD0Exit = D0Exit;
    callbacks.EvtDeviceSelfManagedIoInit = SelfManagedIoInit;
    callbacks.EvtDeviceSelfManagedIoSuspend = SelfManagedIoSuspend;
    callbacks.EvtDeviceSelfManagedIoRestart = SelfManagedIoRestart;
    callbacks.EvtDeviceSelfManagedIoFlush = SelfManagedIoFlush;
    callbacks.EvtDeviceSelfManagedIoCleanup = SelfManagedIoCleanup;
    callbacks.EvtDeviceSurpriseRemoval = SurpriseRemoval;
    callbacks.EvtDeviceQueryRemove = QueryRemove;
    WdfDeviceInitSetPnpPowerEventCallbacks(init, &callbacks);
}

VOID RecordIoStop(WDFQUEUE, WDFREQUEST, ULONG flags)
{
    std::string event = (flags & WdfRequestStopActionPurge) != 0 ? "IoStop(Purge" : "IoStop(Suspend";
    if ((flags & WdfRequestStopRequestCancelable) != 0)
    {
        event += ", Cancelable";
    }
    g_log.Add(event + ")");
}

VOID RecordIoResume(WDFQUEUE, WDFREQUEST)
{
    g_log.Add("IoResume");
}

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
