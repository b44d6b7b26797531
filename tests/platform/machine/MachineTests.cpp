// Putting a machine together: its drive, its registry, device installation from an INF, the
// COM-name database and the USB bus.
#include <windows.h>

#include "machine/Machine.h"

#include <gtest/gtest.h>

#include <fstream>
#include <string>
#include <vector>

namespace
{

using winsim::machine::DeviceState;
using winsim::machine::Machine;
using winsim::machine::MachineConfig;
using winsim::machine::ReaderSpec;
using winsim::machine::RegistryValue;

const std::filesystem::path Package = TARNOCOM_PACKAGE_DIR;

TEST(MachineTest, WindowsPathsMapIntoTheMachinesDrive)
{
    Machine machine;
    const auto root = machine.SystemDrive();
    EXPECT_EQ(root, machine.Root() / "drive_c");
    const auto driver = root / "Windows" / "System32" / "drivers" / "x.sys";
    EXPECT_EQ(machine.HostPath(u"C:\\Windows\\System32\\drivers\\x.sys"), driver);
    EXPECT_EQ(machine.HostPath(u"\\SystemRoot\\System32\\drivers\\x.sys"), driver);
    EXPECT_EQ(machine.HostPath(u"%SystemRoot%\\System32\\drivers\\x.sys"), driver);
    EXPECT_EQ(machine.HostPath(u"System32\\drivers\\x.sys"), driver);
    // Existing folders are found whatever the case of the Windows path.
    EXPECT_EQ(machine.HostPath(u"c:\\WINDOWS\\system32\\DRIVERS"), root / "Windows" / "System32" / "drivers");
}

TEST(MachineTest, TemporaryDriveGoesWithTheMachine)
{
    std::filesystem::path root;
    {
        Machine machine;
        root = machine.Root();
        EXPECT_TRUE(std::filesystem::is_directory(machine.SystemDrive() / "Windows" / "INF"));
    }
    EXPECT_FALSE(std::filesystem::exists(root));
}

TEST(MachineTest, BuiltInPortsHoldTheirComNames)
{
    Machine machine;
    const std::u16string serialComm = u"HKLM\\HARDWARE\\DEVICEMAP\\SERIALCOMM";
    ASSERT_TRUE(machine.RegistryKeyExists(serialComm));
    EXPECT_EQ(machine.RegistryString(serialComm, u"\\Device\\Serial0"), u"COM1");
    EXPECT_EQ(machine.RegistryString(serialComm, u"\\Device\\Serial1"), u"COM2");
    // The hardware map is volatile: a key that lasts cannot be created under it.
    HKEY lasting = nullptr;
    EXPECT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, "HARDWARE\\DEVICEMAP\\SERIALCOMM\\Lasting", 0, nullptr,
                              REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS, nullptr, &lasting, nullptr),
              ERROR_CHILD_MUST_BE_VOLATILE);
    auto database =
        machine.StoredRegistryValue(u"HKLM\\SYSTEM\\CurrentControlSet\\Control\\COM Name Arbiter", u"ComDB");
    ASSERT_TRUE(database.has_value());
    ASSERT_EQ(database->data.size(), 32u);
    EXPECT_EQ(database->data[0], 0x03);
}

TEST(MachineTest, ReadersGetTheLowestFreeComNumbers)
{
    MachineConfig config;
    config.builtInComPorts = {1, 3};
    Machine machine(config);
    machine.InstallPackage(Package / "TARNOCOM.inf");
    std::optional<std::u16string> names[3];
    for (int i = 0; i < 3; ++i)
    {
        auto reader = machine.Attach(ReaderSpec{0, 0, u"TR000" + std::u16string(1, u'0' + i), std::nullopt});
        const std::u16string hardwareKey =
            u"HKLM\\SYSTEM\\CurrentControlSet\\Enum\\" + reader.InstancePath() + u"\\Device Parameters";
        names[i] = machine.RegistryString(hardwareKey, u"PortName");
    }
    EXPECT_EQ(names[0], u"COM2");
    EXPECT_EQ(names[1], u"COM4");
    EXPECT_EQ(names[2], u"COM5");
}

std::string FileText(const std::filesystem::path& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

TEST(MachineTest, WinIniListsTheBuiltInPortsAndEachPortTheInstallerNames)
{
    MachineConfig config;
    config.builtInComPorts = {1, 3};
    Machine machine(config);
    const auto winIni = machine.SystemDrive() / "Windows" / "win.ini";
    EXPECT_EQ(FileText(winIni), "[Ports]\r\nCOM1:=9600,n,8,1\r\nCOM3:=9600,n,8,1\r\n");

    // A port's line that is there already keeps its settings.
    std::ofstream(winIni, std::ios::binary | std::ios::app) << "COM4:=115200,n,8,1\r\n";
    machine.InstallPackage(Package / "TARNOCOM.inf");
    machine.Attach(ReaderSpec{0, 0, u"TR0001", std::nullopt});
    machine.Attach(ReaderSpec{0, 0, u"TR0002", std::nullopt});
    EXPECT_EQ(FileText(winIni), "[Ports]\r\nCOM1:=9600,n,8,1\r\nCOM3:=9600,n,8,1\r\nCOM4:=115200,n,8,1\r\n"
                                "COM2:=9600,n,8,1\r\n");
    char settings[81];
    EXPECT_EQ(GetProfileStringA("Ports", "COM2:", "", settings, sizeof(settings)), 10u);
    EXPECT_STREQ(settings, "9600,n,8,1");
}

TEST(MachineTest, AReaderPluggedInAlreadyCannotBePluggedInAgain)
{
    Machine machine;
    machine.InstallPackage(Package / "TARNOCOM.inf");
    ReaderSpec reader{0, 0, u"TR0001", std::nullopt};
    auto first = machine.Attach(reader);
    EXPECT_THROW(machine.Attach(reader), std::invalid_argument);
    // The first is untouched, and once pulled out the reader plugs in again.
    EXPECT_EQ(first.State(), DeviceState::Started);
    EXPECT_TRUE(machine.DeviceByComName(u"COM3"));
    machine.Detach(first);
    auto again = machine.Attach(reader);
    EXPECT_EQ(again.State(), DeviceState::Started);
}

TEST(MachineTest, DeviceWithoutAMatchingPackageStaysWithoutDriver)
{
    Machine machine;
    auto device = machine.Attach(ReaderSpec{0x1234, 0x5678, u"X1", std::nullopt});
    EXPECT_EQ(device.State(), DeviceState::Failed);
    EXPECT_EQ(device.Problem(), STATUS_NOT_FOUND);
    EXPECT_EQ(device.InstancePath(), u"USB\\VID_1234&PID_5678\\X1");
    ASSERT_EQ(device.HardwareIds().size(), 2u);
    EXPECT_EQ(device.HardwareIds()[0], u"USB\\VID_1234&PID_5678&REV_0100");
    EXPECT_EQ(device.CompatibleIds()[0], u"USB\\Class_02&SubClass_02&Prot_01");
    machine.Detach(device);
    EXPECT_EQ(device.State(), DeviceState::Removed);
}

TEST(MachineTest, PackageWithAMissingFileIsRefused)
{
    Machine machine;
    auto folder = machine.Root() / "broken";
    std::filesystem::create_directories(folder);
    std::filesystem::copy_file(Package / "TARNOCOM.inf", folder / "TARNOCOM.inf");
    EXPECT_THROW(machine.InstallPackage(folder / "TARNOCOM.inf"), std::runtime_error);
}

TEST(MachineTest, RegistryIsSeededFromAndSavedToRegFiles)
{
    std::filesystem::path folder =
        std::filesystem::temp_directory_path() / ("winsim-reg-" + std::to_string(getpid()));
    std::filesystem::create_directories(folder);
    {
        std::ofstream seed(folder / "seed.reg", std::ios::binary);
        seed << "Windows Registry Editor Version 5.00\r\n\r\n"
                "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Tarno]\r\n"
                "\"Installed\"=dword:00000001\r\n"
                "\"Name\"=\"reader\"\r\n";
    }
    MachineConfig config;
    config.registryFiles = {folder / "seed.reg"};
    {
        Machine machine(config);
        ASSERT_TRUE(machine.RegistryKeyExists(u"HKLM\\SOFTWARE\\Tarno"));
        EXPECT_EQ(machine.RegistryDword(u"HKLM\\SOFTWARE\\Tarno", u"Installed"), 1u);
        machine.SetRegistryValue(u"HKLM\\SOFTWARE\\Tarno", u"Changed", RegistryValue::Dword(2));
        machine.SaveRegistry(folder / "saved.reg", u"HKEY_LOCAL_MACHINE\\SOFTWARE\\Tarno");
    }
    config.registryFiles = {folder / "saved.reg"};
    {
        Machine machine(config);
        EXPECT_EQ(machine.RegistryDword(u"HKLM\\SOFTWARE\\Tarno", u"Changed"), 2u);
        EXPECT_EQ(machine.RegistryString(u"HKLM\\SOFTWARE\\Tarno", u"Name"), u"reader");
    }
    std::filesystem::remove_all(folder);
}

// The machine's power: each step is a call and the status and system state it leads to; an off
// machine does not wake, and a machine sleeps only from S0.
struct PowerStep
{
    NTSTATUS (Machine::*call)();
    NTSTATUS status;
    SYSTEM_POWER_STATE after;
};

struct PowerStoryCase
{
    const char* name;
    std::vector<PowerStep> steps;
};

const PowerStoryCase kPowerStories[] = {
    {"SleepAndWake",
     {{&Machine::Sleep, STATUS_SUCCESS, PowerSystemSleeping3},
      {&Machine::Sleep, STATUS_INVALID_DEVICE_STATE, PowerSystemSleeping3},
      {&Machine::Wake, STATUS_SUCCESS, PowerSystemWorking},
      {&Machine::Wake, STATUS_INVALID_DEVICE_STATE, PowerSystemWorking}}},
    {"HibernateAndWake",
     {{&Machine::Hibernate, STATUS_SUCCESS, PowerSystemHibernate},
      {&Machine::Wake, STATUS_SUCCESS, PowerSystemWorking}}},
    {"Shutdown",
     {{&Machine::Shutdown, STATUS_SUCCESS, PowerSystemShutdown},
      {&Machine::Wake, STATUS_INVALID_DEVICE_STATE, PowerSystemShutdown},
      {&Machine::Sleep, STATUS_INVALID_DEVICE_STATE, PowerSystemShutdown}}},
    {"Restart",
     {{&Machine::Restart, STATUS_SUCCESS, PowerSystemShutdown},
      {&Machine::Wake, STATUS_INVALID_DEVICE_STATE, PowerSystemShutdown}}},
};

class MachinePowerTest : public ::testing::TestWithParam<PowerStoryCase>
{
};

TEST_P(MachinePowerTest, SystemPowerStateFollowsTheCalls)
{
    Machine machine;
    EXPECT_EQ(machine.SystemPowerState(), PowerSystemWorking);
    size_t index = 0;
    for (const PowerStep& step : GetParam().steps)
    {
        EXPECT_EQ((machine.*step.call)(), step.status) << "step " << index;
        EXPECT_EQ(machine.SystemPowerState(), step.after) << "step " << index;
        ++index;
    }
}

INSTANTIATE_TEST_SUITE_P(Stories, MachinePowerTest, ::testing::ValuesIn(kPowerStories),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(MachineTest, SelectiveSuspendSettingIsTheUsbStacksSwitch)
{
    const std::u16string usb = u"HKLM\\SYSTEM\\CurrentControlSet\\Services\\USB";
    {
        Machine machine;
        EXPECT_EQ(machine.RegistryDword(usb, u"DisableSelectiveSuspend"), 0u);
    }
    MachineConfig config;
    config.usbSelectiveSuspend = false;
    Machine machine(config);
    EXPECT_EQ(machine.RegistryDword(usb, u"DisableSelectiveSuspend"), 1u);
}

} // namespace
