// Shared pieces of the kernel tests: a booted machine per test, virtual-clock helpers, counted
// strings, and a test driver whose devices hand their IRPs to handlers the test supplies.
#pragma once

#include <ntddk.h>

#include "kernel/Io.h"
#include "kernel/Namespace.h"
#include "kernel/Scheduler.h"
#include "kernel/System.h"

#include "TableCases.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <thread>

namespace kerneltest
{

using winsim::kernel::System;
using winsim::kernel::SystemConfig;
using winsimtest::PrintTo;
using winsimtest::StopCase;
using winsimtest::StopCaseName;

// Virtual time in the kernel's 100-ns units.
constexpr ULONGLONG Ms(ULONGLONG milliseconds)
{
    return milliseconds * 10000;
}

// A relative Ke time-out (negative, in 100-ns units).
inline LARGE_INTEGER Relative(ULONGLONG units)
{
    LARGE_INTEGER value;
    value.QuadPart = -static_cast<LONGLONG>(units);
    return value;
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

// Each test runs on a freshly booted machine.
class KernelTest : public ::testing::Test
{
  protected:
    explicit KernelTest(SystemConfig config = {}) : m_system(std::move(config)) {}

    winsim::kernel::Scheduler& Clock() { return m_system.GetScheduler(); }
    winsim::kernel::IoManager& Io() { return m_system.Io(); }

    // Blocks (yielding, never sleeping) until the earliest pending deadline is the given one:
    // a helper thread's timed wait has been registered with the dispatcher.
    void WaitForDeadline(ULONGLONG deadline)
    {
        while (Clock().NextDeadline() != deadline)
        {
            std::this_thread::yield();
        }
    }

    System m_system;
};

// Death tests fork a child that re-runs the test; "threadsafe" re-executes the binary, which is
// what a process with the machine's DPC and worker threads needs.
inline void UseThreadsafeDeathTests()
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
}

class KernelVerifierDeathTest : public KernelTest, public ::testing::WithParamInterface<StopCase>
{
  protected:
    void SetUp() override { UseThreadsafeDeathTests(); }
};

// A driver whose devices pass every IRP to the handler stored in their extension.
using IrpHandler = std::function<NTSTATUS(PDEVICE_OBJECT, PIRP)>;

class TestDriver
{
  public:
    explicit TestDriver(std::u16string_view service)
        : m_driver(System::Current().Io().CreateDriverObject(service))
    {
        for (auto& dispatch : m_driver->MajorFunction)
        {
            dispatch = Route;
        }
    }
    ~TestDriver() { System::Current().Io().DeleteDriverObject(m_driver); }
    TestDriver(const TestDriver&) = delete;
    TestDriver& operator=(const TestDriver&) = delete;

    PDRIVER_OBJECT Object() const { return m_driver; }

    // A started device (DO_DEVICE_INITIALIZING cleared). The handler must outlive the device.
    PDEVICE_OBJECT CreateDevice(const wchar_t* name, IrpHandler* handler, bool exclusive = false)
    {
        UNICODE_STRING deviceName = name != nullptr ? Us(name) : UNICODE_STRING{};
        PDEVICE_OBJECT device = nullptr;
        NTSTATUS status =
            IoCreateDevice(m_driver, sizeof(IrpHandler*), name != nullptr ? &deviceName : nullptr,
                           FILE_DEVICE_UNKNOWN, 0, exclusive ? TRUE : FALSE, &device);
        EXPECT_EQ(status, STATUS_SUCCESS) << "creating a test device";
        if (device != nullptr)
        {
            *static_cast<IrpHandler**>(device->DeviceExtension) = handler;
            device->Flags &= ~DO_DEVICE_INITIALIZING;
        }
        return device;
    }

  private:
    static NTSTATUS Route(PDEVICE_OBJECT device, PIRP irp)
    {
        return (**static_cast<IrpHandler**>(device->DeviceExtension))(device, irp);
    }

    PDRIVER_OBJECT m_driver;
};

inline NTSTATUS Complete(PIRP irp, NTSTATUS status, ULONG_PTR information = 0)
{
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = information;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

// A handler that completes every IRP at once with success.
inline IrpHandler CompleteEverything()
{
    return [](PDEVICE_OBJECT, PIRP irp) { return Complete(irp, STATUS_SUCCESS); };
}

} // namespace kerneltest
