// The machine the framework tests run on: a winsim::machine::Machine with the framework test
// driver's package installed (the driver's image is this test program). A test plugs test devices
// into the machine's USB bus and pulls them out (Machine::Attach and Detach); the machine loads the
// driver for the first, adds and starts each device, removes them and unloads the driver with the
// last, as it does for any driver. What an application does with a device goes through this
// process's user mode (FxApplication.h).
#pragma once

#include <ntddk.h>
#include <wdf.h>

#include "FxApplication.h"
#include "FxTestDriver.h"

#include "machine/Machine.h"

#include "TableCases.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>

namespace fxtest
{

// A device as Machine::Attach reports it.
using winsim::machine::Device;
using winsim::machine::DeviceState;
using winsimtest::PrintTo;
using winsimtest::StopCase;
using winsimtest::StopCaseName;

using winsim::machine::PoolBlock;

class FxMachine : public winsim::machine::Machine
{
  public:
    FxMachine();
    ~FxMachine();

    // What the test driver does (its hooks, reset for this machine).
    DriverHooks& hooks;

    // A test device arrives on the USB bus: setup installs the test driver for it, Plug and Play
    // loads the driver when needed, calls its add callback and starts the device.
    Device Plug(const std::u16string& serial = u"0001");
    // The same with a reader model of a given layout, speed and behaviour (its vendor and product
    // are the test device's).
    Device Plug(winsim::machine::ReaderSpec reader);
    // The device leaves the bus: surprise removal, removal, and the driver's unload (with the
    // verifier's leak checks) once it has no device left.
    void Unplug(Device device);
    // Every device leaves, and the driver unloads with the last.
    void UnplugAll();

    // The driver DriverEntry created; null while the driver is not loaded.
    WDFDRIVER Driver() const { return TestDriverObject(); }
    // The framework device the add callback created for a device; null when there is none.
    static WDFDEVICE DeviceOf(Device device);

    // Whether Plug and Play has the test driver loaded.
    bool Loaded();
    // Moves the clock on by a span in 100-ns units.
    void AdvanceClockTicks(ULONGLONG ticks) { AdvanceClock(std::chrono::nanoseconds(ticks * 100)); }
};

// The spin locks the calling thread holds, as the kernel counts them.
inline int SpinLocksHeldByCurrentThread()
{
    return winsim::machine::Machine::SpinLocksHeldByThisThread();
}

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

// A span of the clock in milliseconds, in 100-ns units.
constexpr ULONGLONG Ms(ULONGLONG milliseconds)
{
    return milliseconds * 10000;
}

// Each test boots its own machine; the driver loads with the first device the test plugs in.
class FxTest : public ::testing::Test
{
  protected:
    FxMachine m_machine;
};

class FxVerifierDeathTest : public ::testing::TestWithParam<StopCase>
{
  protected:
    void SetUp() override { GTEST_FLAG_SET(death_test_style, "threadsafe"); }
};

} // namespace fxtest
