// A simulated machine with the driver package installed and the driver linked into the test, so
// that tests can plug readers in and look at the driver's own state.
#pragma once

#include "Driver.h"

#include <wdfldr.h>

#include "kernel/EventLog.h"
#include "kernel/Io.h"
#include "kernel/Namespace.h"
#include "kernel/Pool.h"
#include "kernel/Registry.h"
#include "kernel/System.h"
#include "kernel/Tracing.h"
#include "kmdf/FxDevice.h"
#include "kmdf/FxFaultInjection.h"
#include "machine/Machine.h"

#include "base/unicode.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <optional>
#include <string>

namespace tarnocom::testing
{

using winsim::kernel::DeviceNode;
using winsim::kernel::DeviceNodeState;

inline const std::u16string ServiceKey =
    u"\\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Services\\TARNOCOM";
inline const std::u16string ParametersKey = ServiceKey + u"\\Parameters";
inline const std::u16string SerialCommKey = u"\\Registry\\Machine\\HARDWARE\\DEVICEMAP\\SERIALCOMM";

class DriverMachineTest : public ::testing::Test
{
  protected:
    void TearDown() override
    {
        machine.reset();
        winsim::wdf::ClearObjectCreationFault();
    }

    void Boot(winsim::kernel::SystemConfig system = {})
    {
        winsim::machine::MachineConfig config;
        config.system = system;
        machine = std::make_unique<winsim::machine::Machine>(config);
        // Linked into the test: the framework's stub is its entry point, as in the image.
        machine->UseBuiltInDriver(u"TARNOCOM.sys", FxDriverEntry);
        machine->InstallPackage(std::filesystem::path(TARNOCOM_PACKAGE_DIR) / "TARNOCOM.inf");
    }

    winsim::kernel::Registry& Registry() { return machine->Registry(); }
    winsim::kernel::System& System() { return machine->System(); }

    DeviceNode* Plug(const std::u16string& serial, std::optional<std::u16string> portName = std::nullopt)
    {
        winsim::machine::ReaderSpec reader;
        reader.serialNumber = serial;
        reader.portName = portName;
        return machine->Attach(reader);
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
        auto key = Registry().OpenKey(ParametersKey);
        return key ? key->GetDword(name) : std::nullopt;
    }
    std::optional<ULONG> StoredInstance(const std::u16string& serial)
    {
        auto key = Registry().OpenKey(HardwareKeyPath(serial));
        return key ? key->GetDword(u"InstanceNumber") : std::nullopt;
    }
    std::optional<std::u16string> SerialComm(const std::u16string& deviceName)
    {
        auto key = Registry().OpenKey(SerialCommKey);
        return key ? key->GetString(deviceName) : std::nullopt;
    }

    // The kernel name of the driver's device object on a reader's stack.
    std::u16string KernelName(DeviceNode* node)
    {
        PDEVICE_OBJECT top = winsim::kernel::IoManager::TopOfStack(node->pdo);
        return System().Namespace().DeviceName(top).value_or(u"");
    }

    PDEVICE_CONTEXT ContextOf(DeviceNode* node)
    {
        PDEVICE_OBJECT top = winsim::kernel::IoManager::TopOfStack(node->pdo);
        auto* device = winsim::wdf::FxDevice::FromWdm(top);
        return GetDeviceContext(device->Handle());
    }

    std::vector<winsim::kernel::EventLogEntry> Events() { return System().GetEventLog().Entries(); }

    std::unique_ptr<winsim::machine::Machine> machine;
};

inline std::u16string U(const char* text)
{
    return winsim::ToUtf16(text);
}

} // namespace tarnocom::testing
