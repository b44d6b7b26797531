// The fixture of the Win32 tests that need a machine of their own: this process's user mode runs
// on it while the test runs, with the loopback test device plugged in.
#pragma once

#include <windows.h>

#include "LoopbackDriver.h"

#include "machine/Machine.h"

#include "TableCases.h"

#include <gtest/gtest.h>

#include <memory>

namespace win32test
{

class Win32MachineTest : public ::testing::Test
{
  protected:
    void SetUp() override
    {
        machine = std::make_unique<winsim::machine::Machine>();
        machine->UseBuiltInDriver(u"Loopback.sys", loopback::DriverEntry);
        machine->InstallPackage(loopback::WritePackage(machine->Root() / "loopback-package"));
        winsim::machine::ReaderSpec device;
        device.vendorId = loopback::VendorId;
        device.productId = loopback::ProductId;
        device.serialNumber = u"LB0001";
        machine->Attach(device);
    }
    void TearDown() override { machine.reset(); }

    HANDLE Open(DWORD access = GENERIC_READ | GENERIC_WRITE, DWORD flags = 0)
    {
        return CreateFileA("\\\\.\\LOOPBACK", access, 0, nullptr, OPEN_EXISTING, flags, nullptr);
    }

    std::unique_ptr<winsim::machine::Machine> machine;
};

// An OVERLAPPED with an event of its own, closed with it.
struct Overlapped : OVERLAPPED
{
    Overlapped() : OVERLAPPED{} { hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr); }
    ~Overlapped() { CloseHandle(hEvent); }
    Overlapped(const Overlapped&) = delete;
    Overlapped& operator=(const Overlapped&) = delete;
};

} // namespace win32test
