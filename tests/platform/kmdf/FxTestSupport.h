// A small machine for framework tests: one kernel, a test bus whose physical device objects the
// Plug and Play manager reports, and a KMDF test driver that the PnP manager loads, adds devices
// to, starts, removes and unloads the way the platform does for a real driver.
#pragma once

#include <ntddk.h>
#include <wdf.h>

#include "kernel/Io.h"
#include "kernel/Pnp.h"
#include "kernel/Pool.h"
#include "kernel/Registry.h"
#include "kernel/Scheduler.h"
#include "kernel/System.h"

#include "TableCases.h"

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace fxtest
{

using winsim::kernel::DeviceNode;
using winsim::kernel::System;
using winsim::kernel::SystemConfig;
using winsimtest::PrintTo;
using winsimtest::StopCase;
using winsimtest::StopCaseName;

inline constexpr char16_t kService[] = u"FxTest";

// What the test driver does; each test fills in what it needs before the driver loads.
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

class FxMachine
{
  public:
    explicit FxMachine(SystemConfig config = {});
    ~FxMachine();
    FxMachine(const FxMachine&) = delete;
    FxMachine& operator=(const FxMachine&) = delete;

    System& Kernel() { return *m_system; }
    winsim::kernel::Scheduler& Clock() { return m_system->GetScheduler(); }
    winsim::kernel::IoManager& Io() { return m_system->Io(); }
    winsim::kernel::Pool& ThePool() { return m_system->GetPool(); }

    DriverHooks hooks;

    // Loads the test driver without a device (DriverEntry, WdfDriverCreate).
    NTSTATUS Load();
    // A device arrives on the test bus: the PnP manager installs the test driver for it, loads
    // it when needed, calls its add callback and starts the device.
    DeviceNode* Plug(const std::u16string& serial = u"0001");
    // The device leaves the bus: surprise removal, removal, and the driver's unload once it has
    // no device left.
    void Unplug(DeviceNode* node);
    // Unloads the driver (with the verifier's leak checks) when it is loaded.
    void Unload();

    bool Loaded() const;
    WDFDRIVER Driver() const { return m_driver; }
    PDRIVER_OBJECT Wdm() const;
    // The framework device the add callback created for a node.
    WDFDEVICE DeviceOf(DeviceNode* node) const;

    static FxMachine& Current() { return *s_current; }
    // The test driver's DriverEntry (the test program's DriverEntry calls it).
    static NTSTATUS EntryOfTheTestDriver(PDRIVER_OBJECT driver, PUNICODE_STRING registryPath);

  private:
    static NTSTATUS DeviceAdd(WDFDRIVER driver, PWDFDEVICE_INIT init);
    static VOID DriverUnload(WDFDRIVER driver);
    static NTSTATUS BusDispatch(PDEVICE_OBJECT device, PIRP irp);

    static inline FxMachine* s_current = nullptr;

    std::unique_ptr<System> m_system;
    PDRIVER_OBJECT m_bus = nullptr;
    WDFDRIVER m_driver = nullptr;
    std::vector<std::pair<DeviceNode*, WDFDEVICE>> m_devices;
    unsigned m_nextPdo = 0;
};

// A UNICODE_STRING over a literal.
inline UNICODE_STRING Us(const wchar_t* text)
{
    size_t length = 0;
    while (text[length] != 0)
    {
        ++length;
    }
    UNICODE_STRING s;
    s.Length = static_cast<USHORT>(length * sizeof(wchar_t));
    s.MaximumLength = static_cast<USHORT>(s.Length + sizeof(wchar_t));
    s.Buffer = const_cast<wchar_t*>(text);
    return s;
}

inline std::u16string Text(PCUNICODE_STRING s)
{
    return std::u16string(reinterpret_cast<const char16_t*>(s->Buffer), s->Length / sizeof(wchar_t));
}

// A relative due time or time-out in milliseconds (negative, in 100-ns units).
constexpr LONGLONG RelativeMs(LONGLONG milliseconds)
{
    return -milliseconds * 10000;
}

// A span of the virtual clock in milliseconds.
constexpr ULONGLONG Ms(ULONGLONG milliseconds)
{
    return milliseconds * 10000;
}

// Each test boots its own machine; the driver is loaded by the test (Load or Plug).
class FxTest : public ::testing::Test
{
  protected:
    explicit FxTest(SystemConfig config = {}) : m_machine(std::move(config)) {}
    FxMachine m_machine;
};

class FxVerifierDeathTest : public ::testing::TestWithParam<StopCase>
{
  protected:
    void SetUp() override { GTEST_FLAG_SET(death_test_style, "threadsafe"); }
};

} // namespace fxtest
