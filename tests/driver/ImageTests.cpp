// The driver image as the package ships it: installed from TARNOCOM.inf, loaded by Plug and Play
// from the machine's drivers folder, unloaded when its last reader goes.
#include <windows.h>
#include <wdf.h>
#include <wdfldr.h>

#include "machine/Machine.h"

#include <dlfcn.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

namespace
{

using winsim::machine::DeviceState;
using winsim::machine::Machine;
using winsim::machine::ReaderSpec;
using winsim::machine::RegistryValue;

const std::filesystem::path Package = TARNOCOM_PACKAGE_DIR;
const std::u16string ControlSet = u"HKLM\\SYSTEM\\CurrentControlSet\\";

// The first definition of a DOS device name, as QueryDosDevice gives it; empty when there is none.
std::string DosDeviceTarget(const char* name)
{
    char target[512];
    return QueryDosDeviceA(name, target, sizeof(target)) != 0 ? target : "";
}

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
    ASSERT_NE(image, nullptr) << dlerror();
    EXPECT_NE(dlsym(image, "DriverEntry"), nullptr);
    // The framework's stub starts the image; it is not exported.
    EXPECT_EQ(dlsym(image, "FxDriverEntry"), nullptr);
    EXPECT_EQ(dlsym(image, "WdfDriverGlobals"), nullptr);
    EXPECT_EQ(dlsym(image, "EvtDriverDeviceAdd"), nullptr);
    EXPECT_EQ(dlsym(image, "DriverParameters"), nullptr);
    dlclose(image);
}

// Event Viewer shows the driver's entries through the message table of the image setup installed,
// in English and in Japanese.
TEST(DriverImageTest, CarriesItsMessageTableInBothLanguages)
{
    Machine machine;
    machine.InstallPackage(Package / "TARNOCOM.inf");
    // A COM name too long for the port fails device add, which the driver reports in the log.
    ASSERT_EQ(machine.Attach(ReaderSpec{0, 0, u"TR0001", u"COM10000"}).State(), DeviceState::Failed);
    auto events = machine.EventLogEntries();
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].source, u"TARNOCOM");
    EXPECT_EQ(machine.EventText(events[0], 0x0409), u"Failed to plug and play (DeviceAdd).");
    EXPECT_EQ(machine.EventText(events[0], 0x0411), u"Plug and Play処理に失敗しました。(DeviceAdd)");
}

TEST(DriverImageTest, InstallsLoadsAndUnloadsCleanly)
{
    Machine machine;
    machine.InstallPackage(Package / "TARNOCOM.inf");
    EXPECT_TRUE(std::filesystem::exists(machine.HostPath(u"C:\\Windows\\System32\\drivers\\TARNOCOM.sys")));

    auto first = machine.Attach(ReaderSpec{0, 0, u"TR0001", std::nullopt});
    auto second = machine.Attach(ReaderSpec{0, 0, u"TR0002", std::nullopt});
    ASSERT_EQ(first.State(), DeviceState::Started);
    ASSERT_EQ(second.State(), DeviceState::Started);
    EXPECT_EQ(DosDeviceTarget("COM3"), "\\Device\\ZTSerial0");
    EXPECT_EQ(DosDeviceTarget("COM4"), "\\Device\\ZTSerial1");

    const std::u16string service = ControlSet + u"Services\\TARNOCOM";
    ASSERT_TRUE(machine.RegistryKeyExists(service));
    EXPECT_EQ(machine.RegistryString(service, u"ImagePath"),
              u"\\SystemRoot\\System32\\drivers\\TARNOCOM.sys");
    const std::u16string source = ControlSet + u"Services\\EventLog\\System\\TARNOCOM";
    ASSERT_TRUE(machine.RegistryKeyExists(source));
    EXPECT_EQ(machine.RegistryDword(source, u"TypesSupported"), 7u);
    const std::u16string enumKey = ControlSet + u"Enum\\USB\\VID_2B4E&PID_0730\\TR0001";
    ASSERT_TRUE(machine.RegistryKeyExists(enumKey));
    EXPECT_EQ(machine.RegistryString(enumKey, u"Service"), u"TARNOCOM");
    EXPECT_EQ(machine.RegistryString(enumKey, u"Class"), u"Ports");
    EXPECT_EQ(machine.RegistryString(enumKey, u"FriendlyName"), u"Tarno USB Card Reader/Writer (COM3)");
    const std::u16string software =
        ControlSet + u"Control\\Class\\" + machine.RegistryString(enumKey, u"Driver").value_or(u"?");
    ASSERT_TRUE(machine.RegistryKeyExists(software));
    EXPECT_EQ(machine.RegistryString(software, u"EnumPropPages32"), u"Cassel.dll,ZT730kCasselProvider");

    machine.Detach(first);
    machine.Detach(second);
    // The last reader gone: the driver unloaded, without leaving pool or framework objects (the
    // verifier would have stopped the test).
    EXPECT_EQ(machine.LoadedDriver(u"TARNOCOM"), nullptr);
    EXPECT_EQ(machine.LivePoolAllocations(), 0u);
    EXPECT_EQ(DosDeviceTarget("COM3"), "");
}

TEST(DriverImageTest, EachLoadStartsFromAFreshImage)
{
    Machine machine;
    machine.InstallPackage(Package / "TARNOCOM.inf");
    for (int load = 0; load < 3; ++load)
    {
        auto reader = machine.Attach(ReaderSpec{0, 0, u"TR0001", std::nullopt});
        ASSERT_EQ(reader.State(), DeviceState::Started) << "load " << load;
        machine.Detach(reader);
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
    machine.SetRegistryValue(
        ControlSet + u"Services\\FxOther", u"ImagePath",
        RegistryValue::String(u"\\SystemRoot\\System32\\drivers\\FxOther.sys", REG_EXPAND_SZ));

    auto first = machine.Attach(ReaderSpec{0, 0, u"TR0001", std::nullopt});
    ASSERT_EQ(first.State(), DeviceState::Started);
    other = OtherDriver{};
    PDRIVER_OBJECT otherObject = nullptr;
    ASSERT_EQ(machine.LoadDriver(u"FxOther", &otherObject), STATUS_SUCCESS);
    EXPECT_EQ(WdfGetDriver(), other.driver) << "this image's calls act for this image's driver";
    EXPECT_EQ(WdfDriverWdmGetDriverObject(other.driver), otherObject);

    auto second = machine.Attach(ReaderSpec{0, 0, u"TR0002", std::nullopt});
    ASSERT_EQ(second.State(), DeviceState::Started);
    EXPECT_EQ(WdfGetDriver(), other.driver);

    // The reader driver's objects are not the other driver's: it unloads without a leak report.
    machine.UnloadDriver(u"FxOther");
    EXPECT_EQ(other.cleanups, 1);
    EXPECT_EQ(machine.LoadedDriver(u"FxOther"), nullptr);
    EXPECT_NE(machine.LoadedDriver(u"TARNOCOM"), nullptr);

    machine.Detach(first);
    machine.Detach(second);
    EXPECT_EQ(machine.LoadedDriver(u"TARNOCOM"), nullptr);
    EXPECT_EQ(machine.LivePoolAllocations(), 0u);
}

} // namespace
