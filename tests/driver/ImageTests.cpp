// The driver image as the package ships it: installed from TARNOCOM.inf, loaded by Plug and Play
// from the machine's drivers folder, unloaded when its last reader goes.
#include "kernel/EventLog.h"
#include "kernel/Io.h"
#include "kernel/Namespace.h"
#include "kernel/Pool.h"
#include "kernel/Registry.h"
#include "machine/Machine.h"

#include "base/resources.h"
#include "base/unicode.h"

#include <dlfcn.h>

#include <gtest/gtest.h>

#include <filesystem>

namespace
{

using winsim::kernel::DeviceNodeState;
using winsim::machine::Machine;
using winsim::machine::ReaderSpec;

const std::filesystem::path Package = TARNOCOM_PACKAGE_DIR;

TEST(DriverImageTest, ExportsOnlyItsEntryPoint)
{
    void* image = dlopen((Package / "TARNOCOM.sys").c_str(), RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(nullptr, image) << dlerror();
    EXPECT_NE(nullptr, dlsym(image, "DriverEntry"));
    EXPECT_EQ(nullptr, dlsym(image, "EvtDriverDeviceAdd"));
    EXPECT_EQ(nullptr, dlsym(image, "DriverParameters"));
    dlclose(image);
}

TEST(DriverImageTest, CarriesItsMessageTableInBothLanguages)
{
    std::string error;
    auto resources = winsim::ResourceSet::FromElfFile((Package / "TARNOCOM.sys").string(), &error);
    ASSERT_TRUE(resources.has_value()) << error;
    const winsim::Resource* english = resources->FindExact(winsim::kResourceTypeMessageTable, 1, 0x0409);
    const winsim::Resource* japanese = resources->FindExact(winsim::kResourceTypeMessageTable, 1, 0x0411);
    ASSERT_NE(nullptr, english);
    ASSERT_NE(nullptr, japanese);
    EXPECT_EQ(u"Device was removed suddenly.\r\n",
              winsim::FindMessage(english->data, 0x40770009).value_or(u""));
    EXPECT_EQ(u"デバイスが切断されました。\r\n",
              winsim::FindMessage(japanese->data, 0x40770009).value_or(u""));
}

TEST(DriverImageTest, InstallsLoadsAndUnloadsCleanly)
{
    Machine machine;
    machine.InstallPackage(Package / "TARNOCOM.inf");
    EXPECT_TRUE(std::filesystem::exists(machine.HostPath(u"C:\\Windows\\System32\\drivers\\TARNOCOM.sys")));

    auto* first = machine.Attach(ReaderSpec{0, 0, u"TR0001", std::nullopt});
    auto* second = machine.Attach(ReaderSpec{0, 0, u"TR0002", std::nullopt});
    ASSERT_EQ(DeviceNodeState::Added, first->state);
    ASSERT_EQ(DeviceNodeState::Added, second->state);
    auto& names = machine.System().Namespace();
    EXPECT_EQ(u"\\Device\\ZTSerial0", names.LinkTarget(u"\\DosDevices\\COM3").value_or(u""));
    EXPECT_EQ(u"\\Device\\ZTSerial1", names.LinkTarget(u"\\DosDevices\\COM4").value_or(u""));

    auto service = machine.Registry().OpenKey(u"HKLM\\SYSTEM\\CurrentControlSet\\Services\\TARNOCOM");
    ASSERT_TRUE(service);
    EXPECT_EQ(u"\\SystemRoot\\System32\\drivers\\TARNOCOM.sys",
              service->GetString(u"ImagePath").value_or(u""));
    auto source =
        machine.Registry().OpenKey(u"HKLM\\SYSTEM\\CurrentControlSet\\Services\\EventLog\\System\\TARNOCOM");
    ASSERT_TRUE(source);
    EXPECT_EQ(7u, source->GetDword(u"TypesSupported").value_or(0));
    auto enumKey =
        machine.Registry().OpenKey(u"HKLM\\SYSTEM\\CurrentControlSet\\Enum\\USB\\VID_2B4E&PID_0730\\TR0001");
    ASSERT_TRUE(enumKey);
    EXPECT_EQ(u"TARNOCOM", enumKey->GetString(u"Service").value_or(u""));
    EXPECT_EQ(u"Ports", enumKey->GetString(u"Class").value_or(u""));
    EXPECT_EQ(u"Tarno USB Card Reader/Writer (COM3)", enumKey->GetString(u"FriendlyName").value_or(u""));
    auto software = machine.Registry().OpenKey(u"HKLM\\SYSTEM\\CurrentControlSet\\Control\\Class\\" +
                                               enumKey->GetString(u"Driver").value_or(u"?"));
    ASSERT_TRUE(software);
    EXPECT_EQ(u"Cassel.dll,ZT730kCasselProvider", software->GetString(u"EnumPropPages32").value_or(u""));

    machine.Detach(first);
    machine.Detach(second);
    // The last reader gone: the driver unloaded, without leaving pool or framework objects (the
    // verifier would have stopped the test).
    EXPECT_EQ(nullptr, machine.System().Pnp().LoadedDriver(u"TARNOCOM"));
    EXPECT_EQ(0u, machine.System().GetPool().LiveCount());
    EXPECT_EQ(nullptr, names.Lookup(u"\\DosDevices\\COM3"));
}

TEST(DriverImageTest, EachLoadStartsFromAFreshImage)
{
    Machine machine;
    machine.InstallPackage(Package / "TARNOCOM.inf");
    for (int load = 0; load < 3; ++load)
    {
        auto* node = machine.Attach(ReaderSpec{0, 0, u"TR0001", std::nullopt});
        ASSERT_EQ(DeviceNodeState::Added, node->state) << "load " << load;
        machine.Detach(node);
    }
}

} // namespace
