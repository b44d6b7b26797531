// The driver image as the package ships it: installed from TARNOCOM.inf, loaded by Plug and Play
// from the machine's drivers folder, unloaded when its last reader goes.
#include <wdf.h>
#include <wdfldr.h>

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

// A second framework driver, in the image of this test program: a non-Plug and Play driver that
// keeps a lock of its own, created without a parent.
struct OtherDriver
{
    WDFDRIVER driver = nullptr;
    WDFSPINLOCK lock = nullptr;
    int cleanups = 0;
} other;

} // namespace

extern "C" NTSTATUS DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath)
{
    WDF_DRIVER_CONFIG config;
    WDF_DRIVER_CONFIG_INIT(&config, WDF_NO_EVENT_CALLBACK);
    config.DriverInitFlags = WdfDriverInitNonPnpDriver;
    config.EvtDriverUnload = [](WDFDRIVER) {};
    WDF_OBJECT_ATTRIBUTES attributes;
    WDF_OBJECT_ATTRIBUTES_INIT(&attributes);
    attributes.EvtCleanupCallback = [](WDFOBJECT) { ++other.cleanups; };
    NTSTATUS status = WdfDriverCreate(DriverObject, RegistryPath, &attributes, &config, &other.driver);
    if (NT_SUCCESS(status))
    {
        status = WdfSpinLockCreate(WDF_NO_OBJECT_ATTRIBUTES, &other.lock);
    }
    return status;
}

namespace
{

TEST(DriverImageTest, ExportsOnlyItsEntryPoint)
{
    void* image = dlopen((Package / "TARNOCOM.sys").c_str(), RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(nullptr, image) << dlerror();
    EXPECT_NE(nullptr, dlsym(image, "DriverEntry"));
    // The framework's stub starts the image; it is not exported.
    EXPECT_EQ(nullptr, dlsym(image, "FxDriverEntry"));
    EXPECT_EQ(nullptr, dlsym(image, "WdfDriverGlobals"));
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

// Each image binds to the framework with its own driver globals, so each driver's objects are its
// own whichever driver loaded last: the other driver unloads cleanly while the reader driver,
// loaded before it, creates objects for a new reader after it, and the reader driver then unloads
// cleanly too.
TEST(DriverImageTest, FrameworkDriversOfTwoImagesStayApart)
{
    Machine machine;
    machine.InstallPackage(Package / "TARNOCOM.inf");
    machine.UseBuiltInDriver(u"FxOther.sys", FxDriverEntry);
    machine.Registry()
        .CreateKey(u"\\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Services\\FxOther")
        ->SetString(u"ImagePath", u"\\SystemRoot\\System32\\drivers\\FxOther.sys", REG_EXPAND_SZ);
    auto& pnp = machine.System().Pnp();

    auto* first = machine.Attach(ReaderSpec{0, 0, u"TR0001", std::nullopt});
    ASSERT_EQ(first->state, DeviceNodeState::Added);
    other = OtherDriver{};
    PDRIVER_OBJECT otherObject = nullptr;
    ASSERT_EQ(pnp.LoadDriver(u"FxOther", &otherObject), STATUS_SUCCESS);
    EXPECT_EQ(WdfGetDriver(), other.driver) << "this image's calls act for this image's driver";
    EXPECT_EQ(WdfDriverWdmGetDriverObject(other.driver), otherObject);

    auto* second = machine.Attach(ReaderSpec{0, 0, u"TR0002", std::nullopt});
    ASSERT_EQ(second->state, DeviceNodeState::Added);
    EXPECT_EQ(WdfGetDriver(), other.driver);

    // The reader driver's objects are not the other driver's: it unloads without a leak report.
    pnp.UnloadDriver(u"FxOther");
    EXPECT_EQ(other.cleanups, 1);
    EXPECT_EQ(nullptr, pnp.LoadedDriver(u"FxOther"));
    EXPECT_NE(nullptr, pnp.LoadedDriver(u"TARNOCOM"));

    machine.Detach(first);
    machine.Detach(second);
    EXPECT_EQ(nullptr, pnp.LoadedDriver(u"TARNOCOM"));
    EXPECT_EQ(0u, machine.System().GetPool().LiveCount());
}

} // namespace
