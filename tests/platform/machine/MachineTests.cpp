// Putting a machine together: its drive, its registry, device installation from an INF, the
// COM-name database and the USB bus.
#include "machine/Machine.h"

#include "kernel/Io.h"
#include "kernel/Registry.h"

#include "base/unicode.h"

#include <gtest/gtest.h>

#include <fstream>

namespace
{

using winsim::kernel::DeviceNodeState;
using winsim::machine::Machine;
using winsim::machine::MachineConfig;
using winsim::machine::ReaderSpec;

const std::filesystem::path Package = TARNOCOM_PACKAGE_DIR;

TEST(MachineTest, WindowsPathsMapIntoTheMachinesDrive)
{
    Machine machine;
    const auto root = machine.SystemDrive();
    EXPECT_EQ(machine.Root() / "drive_c", root);
    EXPECT_EQ(root / "Windows" / "System32" / "drivers" / "x.sys",
              machine.HostPath(u"C:\\Windows\\System32\\drivers\\x.sys"));
    EXPECT_EQ(root / "Windows" / "System32" / "drivers" / "x.sys",
              machine.HostPath(u"\\SystemRoot\\System32\\drivers\\x.sys"));
    EXPECT_EQ(root / "Windows" / "System32" / "drivers" / "x.sys",
              machine.HostPath(u"%SystemRoot%\\System32\\drivers\\x.sys"));
    EXPECT_EQ(root / "Windows" / "System32" / "drivers" / "x.sys",
              machine.HostPath(u"System32\\drivers\\x.sys"));
    // Existing folders are found whatever the case of the Windows path.
    EXPECT_EQ(root / "Windows" / "System32" / "drivers", machine.HostPath(u"c:\\WINDOWS\\system32\\DRIVERS"));
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
    auto serialComm = machine.Registry().OpenKey(u"HKLM\\HARDWARE\\DEVICEMAP\\SERIALCOMM");
    ASSERT_TRUE(serialComm);
    EXPECT_TRUE(serialComm->IsVolatile());
    EXPECT_EQ(u"COM1", serialComm->GetString(u"\\Device\\Serial0").value_or(u""));
    EXPECT_EQ(u"COM2", serialComm->GetString(u"\\Device\\Serial1").value_or(u""));
    auto arbiter = machine.Registry().OpenKey(u"HKLM\\SYSTEM\\CurrentControlSet\\Control\\COM Name Arbiter");
    ASSERT_TRUE(arbiter);
    auto database = arbiter->GetValue(u"ComDB");
    ASSERT_TRUE(database.has_value());
    ASSERT_EQ(32u, database->data.size());
    EXPECT_EQ(0x03, database->data[0]);
}

TEST(MachineTest, ReadersGetTheLowestFreeComNumbers)
{
    MachineConfig config;
    config.builtInComPorts = {1, 3};
    Machine machine(config);
    machine.InstallPackage(Package / "TARNOCOM.inf");
    std::u16string names[3];
    for (int i = 0; i < 3; ++i)
    {
        auto* node =
            machine.Attach(ReaderSpec{0, 0, u"TR000" + winsim::ToUtf16(std::to_string(i)), std::nullopt});
        auto parameters = machine.Registry().OpenKey(winsim::kernel::PnpManager::HardwareKeyPathOf(*node));
        names[i] = parameters->GetString(u"PortName").value_or(u"");
    }
    EXPECT_EQ(u"COM2", names[0]);
    EXPECT_EQ(u"COM4", names[1]);
    EXPECT_EQ(u"COM5", names[2]);
}

TEST(MachineTest, DeviceWithoutAMatchingPackageStaysWithoutDriver)
{
    Machine machine;
    auto* node = machine.Attach(ReaderSpec{0x1234, 0x5678, u"X1", std::nullopt});
    EXPECT_EQ(DeviceNodeState::Failed, node->state);
    EXPECT_EQ(STATUS_NOT_FOUND, node->problem);
    EXPECT_EQ(u"USB\\VID_1234&PID_5678\\X1", node->instancePath);
    ASSERT_EQ(2u, node->hardwareIds.size());
    EXPECT_EQ(u"USB\\VID_1234&PID_5678&REV_0100", node->hardwareIds[0]);
    EXPECT_EQ(u"USB\\Class_02&SubClass_02&Prot_01", node->compatibleIds[0]);
    machine.Detach(node);
    EXPECT_EQ(DeviceNodeState::Removed, node->state);
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
        auto key = machine.Registry().OpenKey(u"HKLM\\SOFTWARE\\Tarno");
        ASSERT_TRUE(key);
        EXPECT_EQ(1u, key->GetDword(u"Installed").value_or(0));
        key->SetDword(u"Changed", 2);
        machine.SaveRegistry(folder / "saved.reg", u"HKEY_LOCAL_MACHINE\\SOFTWARE\\Tarno");
    }
    config.registryFiles = {folder / "saved.reg"};
    {
        Machine machine(config);
        auto key = machine.Registry().OpenKey(u"HKLM\\SOFTWARE\\Tarno");
        ASSERT_TRUE(key);
        EXPECT_EQ(2u, key->GetDword(u"Changed").value_or(0));
        EXPECT_EQ(u"reader", key->GetString(u"Name").value_or(u""));
    }
    std::filesystem::remove_all(folder);
}

} // namespace
