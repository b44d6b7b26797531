// A simulated machine with the driver package installed and the driver linked into the test, so
// that tests can plug readers in and look at the driver's own state. A test sees the machine as an
// application does (Win32) and through the machine's facade; it sees the driver through Driver.h.
#pragma once

#include <windows.h>

#include "Driver.h"

#include <wdfldr.h>

#include "machine/Machine.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <thread>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace tarnocom::testing
{

using winsim::machine::Device;
using winsim::machine::DeviceState;
using winsim::machine::EventLogRecord;
using winsim::machine::MachineConfig;
using winsim::machine::RegistryValue;

inline const std::u16string ServiceKey =
    u"\\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Services\\TARNOCOM";
inline const std::u16string ParametersKey = ServiceKey + u"\\Parameters";
inline const std::u16string SerialCommKey = u"\\Registry\\Machine\\HARDWARE\\DEVICEMAP\\SERIALCOMM";

class DriverMachineTest : public ::testing::Test
{
  protected:
    void TearDown() override { machine.reset(); }

    void Boot(MachineConfig config = {})
    {
        machine = std::make_unique<winsim::machine::Machine>(std::move(config));
        // Linked into the test: the framework's stub is its entry point, as in the image.
        machine->UseBuiltInDriver(u"TARNOCOM.sys", FxDriverEntry);
        machine->InstallPackage(std::filesystem::path(TARNOCOM_PACKAGE_DIR) / "TARNOCOM.inf");
    }

    Device Plug(const std::u16string& serial, std::optional<std::u16string> portName = std::nullopt)
    {
        winsim::machine::ReaderSpec reader;
        reader.serialNumber = serial;
        reader.portName = portName;
        return machine->Attach(reader);
    }

    Device Plug(winsim::machine::ReaderSpec reader) { return machine->Attach(reader); }

    // Sets a value of the driver's Parameters key for its next load. Installing the package for a
    // new reader writes the key, so the reader the tests plug (TR0001) is installed, plugged in and
    // out first; the driver unloads with it.
    void SetParameterForNextLoad(const std::u16string& name, ULONG value)
    {
        machine->Detach(Plug(u"TR0001"));
        // Only a fresh load reads the new value.
        ASSERT_TRUE(WaitForDriverUnload()) << "the driver never unloaded";
        machine->SetRegistryValue(ParametersKey, name, RegistryValue::Dword(value));
    }
    // The driver unloads once what its last device left running has finished: a work item or a
    // completion may still hold the last reference when Detach returns. False when it stays loaded.
    bool WaitForDriverUnload()
    {
        for (int spins = 0; spins < 100000 && machine->LoadedDriver(u"TARNOCOM") != nullptr; spins++)
        {
            machine->WaitForSystemThreads();
            std::this_thread::yield();
        }
        return machine->LoadedDriver(u"TARNOCOM") == nullptr;
    }
    winsim::machine::Reader ReaderOf(const Device& device) { return machine->ReaderOf(device); }

    // The codes of the event log's entries, oldest first.
    std::vector<NTSTATUS> EventCodes()
    {
        std::vector<NTSTATUS> codes;
        for (const EventLogRecord& record : Events())
        {
            codes.push_back(record.code);
        }
        return codes;
    }

    static std::u16string EnumPath(const std::u16string& serial)
    {
        return u"\\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Enum\\USB\\VID_2B4E&PID_0730\\" + serial;
    }
    static std::u16string HardwareKeyPath(const std::u16string& serial)
    {
        return EnumPath(serial) + u"\\Device Parameters";
    }

    std::optional<ULONG> ParameterDword(const std::u16string& name)
    {
        return machine->RegistryDword(ParametersKey, name);
    }
    std::optional<ULONG> StoredInstance(const std::u16string& serial)
    {
        return machine->RegistryDword(HardwareKeyPath(serial), u"InstanceNumber");
    }
    std::optional<std::u16string> SerialComm(const std::u16string& deviceName)
    {
        return machine->RegistryString(SerialCommKey, deviceName);
    }

    // The driver's context of a reader's device.
    static PDEVICE_CONTEXT ContextOf(const Device& device)
    {
        return GetDeviceContext(device.FrameworkDevice());
    }

    std::vector<EventLogRecord> Events() { return machine->EventLogEntries(); }

    // Returns once a timer or timed wait of the machine falls due within `span` of its clock: a
    // thread another one started has reached its timed wait, so the clock may move on. Fails the
    // test if that never happens.
    void AwaitDeadlineWithin(std::chrono::milliseconds span)
    {
        for (int spins = 0; spins < 1000000; spins++)
        {
            std::optional<std::chrono::milliseconds> next = machine->NextDeadline();
            if (next && *next <= span)
            {
                return;
            }
            std::this_thread::yield();
        }
        FAIL() << "no timed wait within " << span.count() << " ms came";
    }

    std::unique_ptr<winsim::machine::Machine> machine;
};

// A driver's UTF-16 text (WCHAR is 16 bits on the machine): `length` characters, or an array's up
// to its NUL.
inline std::u16string_view View(const WCHAR* text, size_t length)
{
    return std::u16string_view(reinterpret_cast<const char16_t*>(text), length);
}
template <size_t N>
std::u16string_view View(const WCHAR (&text)[N])
{
    size_t length = 0;
    while (length < N && text[length] != 0)
    {
        ++length;
    }
    return View(text, length);
}

// What a DOS device name (COM3) stands for, as QueryDosDevice gives it: its definitions, newest
// first; none when the name is not defined.
inline std::vector<std::string> DosDeviceTargets(const std::string& name)
{
    char targets[1024];
    DWORD count = QueryDosDeviceA(name.c_str(), targets, sizeof(targets));
    std::vector<std::string> all;
    for (DWORD at = 0; at < count && targets[at] != 0; at += static_cast<DWORD>(all.back().size()) + 1)
    {
        all.push_back(&targets[at]);
    }
    return all;
}

} // namespace tarnocom::testing
