// The devices a machine has from boot besides the readers: its serial ports, its USB host
// controller and root hub, as their Enum keys and the machine's views show them.
#include <windows.h>

#include "machine/Machine.h"

#include <gtest/gtest.h>

#include <string>

namespace
{

using winsim::machine::Machine;
using winsim::machine::MachineConfig;

const std::filesystem::path Package = TARNOCOM_PACKAGE_DIR;
const std::u16string Enum = u"HKLM\\SYSTEM\\CurrentControlSet\\Enum\\";

struct BoardDeviceCase
{
    const char* name;
    const char16_t* instancePath;
    const char16_t* valueName;
    const char16_t* expected;
};

class BoardDevices : public ::testing::TestWithParam<BoardDeviceCase>
{
};

// The machine's ports hold COM1 and COM3 here: the second port is ACPI\PNP0501\2, named COM3.
TEST_P(BoardDevices, CarryWhatSetupWritesForThem)
{
    const BoardDeviceCase& c = GetParam();
    MachineConfig config;
    config.builtInComPorts = {1, 3};
    Machine machine(config);
    EXPECT_EQ(machine.RegistryString(Enum + c.instancePath, c.valueName), std::u16string(c.expected));
}

INSTANTIATE_TEST_SUITE_P(
    Boot, BoardDevices,
    ::testing::Values(
        BoardDeviceCase{"FirstPortName", u"ACPI\\PNP0501\\1", u"FriendlyName", u"Communications Port (COM1)"},
        BoardDeviceCase{"SecondPortName", u"ACPI\\PNP0501\\2", u"FriendlyName",
                        u"Communications Port (COM3)"},
        BoardDeviceCase{"SecondPortParameters", u"ACPI\\PNP0501\\2\\Device Parameters", u"PortName", u"COM3"},
        BoardDeviceCase{"PortClass", u"ACPI\\PNP0501\\1", u"Class", u"Ports"},
        BoardDeviceCase{"PortClassGuid", u"ACPI\\PNP0501\\1", u"ClassGUID",
                        u"{4d36e978-e325-11ce-bfc1-08002be10318}"},
        BoardDeviceCase{"PortDescription", u"ACPI\\PNP0501\\2", u"DeviceDesc", u"Communications Port"},
        BoardDeviceCase{"ControllerDescription",
                        u"PCI\\VEN_8086&DEV_A36D&SUBSYS_72708086&REV_10\\3&11583659&0&A0", u"DeviceDesc",
                        u"Intel(R) USB 3.1 eXtensible Host Controller - 1.10 (Microsoft)"},
        BoardDeviceCase{"ControllerClass", u"PCI\\VEN_8086&DEV_A36D&SUBSYS_72708086&REV_10\\3&11583659&0&A0",
                        u"Class", u"USB"},
        BoardDeviceCase{"RootHubDescription", u"USB\\ROOT_HUB30\\4&2A4E0A5B&0&0", u"DeviceDesc",
                        u"USB Root Hub (USB 3.0)"},
        BoardDeviceCase{"RootHubService", u"USB\\ROOT_HUB30\\4&2A4E0A5B&0&0", u"Service", u"USBHUB3"}),
    [](const ::testing::TestParamInfo<BoardDeviceCase>& info) { return info.param.name; });

TEST(BoardDeviceTest, NoPortsGiveNoPortNodes)
{
    MachineConfig config;
    config.builtInComPorts = {};
    Machine machine(config);
    EXPECT_FALSE(machine.RegistryKeyExists(Enum + u"ACPI\\PNP0501\\1"));
    EXPECT_TRUE(machine.RegistryKeyExists(Enum + u"USB\\ROOT_HUB30\\4&2A4E0A5B&0&0"));
}

TEST(BoardDeviceTest, TheBusListsOnlyItsReadersAndTheDescriptionShowsEveryDevice)
{
    Machine machine;
    machine.InstallPackage(Package / "TARNOCOM.inf");
    EXPECT_EQ(machine.Devices().size(), 0u);
    auto reader = machine.Attach();
    ASSERT_EQ(machine.Devices().size(), 1u);
    EXPECT_EQ(machine.Devices()[0], reader);
    std::string description = machine.DescribeDevices();
    EXPECT_NE(description.find("ACPI\\PNP0501\\2\n    state:        started"), std::string::npos);
    EXPECT_NE(description.find("USB\\ROOT_HUB30\\4&2A4E0A5B&0&0\n"), std::string::npos);
    // The reader takes the first COM number the board's ports leave.
    EXPECT_EQ(machine.DeviceByComName(u"COM3"), reader);
}

TEST(BoardDeviceTest, TheBoardDevicesGoThroughSleepAndWakeWithTheReader)
{
    Machine machine;
    machine.InstallPackage(Package / "TARNOCOM.inf");
    machine.Attach();
    EXPECT_EQ(machine.Sleep(), STATUS_SUCCESS);
    EXPECT_EQ(machine.Wake(), STATUS_SUCCESS);
    EXPECT_EQ(machine.SystemPowerState(), PowerSystemWorking);
}

} // namespace
