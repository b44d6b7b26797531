// The framework test driver: a KMDF driver whose image is this test program. Its routines do what
// the running test asks through its hooks. The machine installs it from a package the test writes
// (WritePackage) for a test device on the USB bus, and loads it, adds its devices, starts them and
// unloads it as it does for any driver.
#pragma once

#include <ntddk.h>
#include <wdf.h>

#include <filesystem>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

namespace fxtest
{

// The driver's service, and the USB test device its package is for.
inline constexpr char16_t kService[] = u"FxTest";
inline constexpr char16_t kImageFile[] = u"FxTest.sys";
inline constexpr USHORT kVendorId = 0x1209;
inline constexpr USHORT kProductId = 0x4658;

// What the test driver does; a test fills in what it needs before the driver loads.
struct DriverHooks
{
    // EvtDriverDeviceAdd. Unset: the device is created with WdfDeviceCreate and no attributes.
    std::function<NTSTATUS(WDFDRIVER, PWDFDEVICE_INIT)> deviceAdd;
    // Called in DriverEntry right after WdfDriverCreate succeeded.
    std::function<void(WDFDRIVER)> created;
    // What DriverEntry returns after that.
    NTSTATUS entryStatus = STATUS_SUCCESS;
    // The driver object's cleanup callback.
    PFN_WDF_OBJECT_CONTEXT_CLEANUP driverCleanup = nullptr;
    // EvtDriverUnload.
    std::function<void(WDFDRIVER)> unload;
    ULONG poolTag = 0;
};

// The hooks the driver follows. There is one test driver image in the process, so one set; a new
// test machine resets them.
DriverHooks& TestDriverHooks();

// The framework driver object the last successful DriverEntry created; null before it and after
// the driver unloaded.
WDFDRIVER TestDriverObject();

// The test driver's Plug and Play and power callbacks, registered by RecordPnpPower: each records
// what it was called with, in order ("PrepareHardware", "D0Entry(D3Final, None)", "D0Exit(D3,
// Sleep)" with the system power action WdfDeviceGetSystemPowerAction gave, "IoStop(Suspend,
// Cancelable)"...). The statuses they return are the test's to choose.
struct PnpPowerLog
{
    NTSTATUS prepareHardware = STATUS_SUCCESS;
    NTSTATUS d0Entry = STATUS_SUCCESS;
    NTSTATUS selfManagedIoInit = STATUS_SUCCESS;
    NTSTATUS queryRemove = STATUS_SUCCESS;

    void Add(std::string event);
    // The events so far, forgetting them.
    std::vector<std::string> Take();

  private:
    std::mutex m_lock;
    std::vector<std::string> m_events;
};
PnpPowerLog& TestPnpPowerLog();

// Registers the recording Plug and Play and power callbacks with a device being added.
void RecordPnpPower(PWDFDEVICE_INIT init);
// An EvtIoStop that records its action flags ("IoStop(Suspend)", "IoStop(Purge, Cancelable)").
EVT_WDF_IO_QUEUE_IO_STOP RecordIoStop;
// An EvtIoResume that records "IoResume".
EVT_WDF_IO_QUEUE_IO_RESUME RecordIoResume;

// Writes the package (FxTest.inf and a stand-in FxTest.sys) into a folder; returns the .inf.
std::filesystem::path WritePackage(const std::filesystem::path& folder);

} // namespace fxtest
