// setupapi's device information sets on a machine with a reader: which devices a set holds, how
// its members are read, and which registry keys of a member open.
#include <windows.h>
#include <setupapi.h>
// This unit defines the interface class GUIDs it names.
#include <initguid.h>
#include <usbiodef.h>

#include "ReaderPortMachine.h"

#include <string>
#include <vector>

namespace
{

using win32test::ReaderPortMachineTest;

// GUID_DEVCLASS_PORTS, the setup class of serial ports.
const GUID PortsClass = {0x4D36E978, 0xE325, 0x11CE, {0xBF, 0xC1, 0x08, 0x00, 0x2B, 0xE1, 0x03, 0x18}};
const GUID UsbDevice = {0xA5DCBF10, 0x6530, 0x11D2, {0x90, 0x1F, 0x00, 0xC0, 0x4F, 0xB9, 0x51, 0xED}};

// The instance IDs of a set's members, in order.
std::vector<std::string> InstanceIds(HDEVINFO set)
{
    std::vector<std::string> ids;
    SP_DEVINFO_DATA data{};
    data.cbSize = sizeof(data);
    for (DWORD index = 0; SetupDiEnumDeviceInfo(set, index, &data); ++index)
    {
        char id[256];
        DWORD needed = 0;
        EXPECT_TRUE(SetupDiGetDeviceInstanceIdA(set, &data, id, sizeof(id), &needed));
        ids.push_back(id);
    }
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_MORE_ITEMS));
    return ids;
}

std::vector<std::string> PresentInterfaceDevices(const GUID& interfaceClass)
{
    HDEVINFO set =
        SetupDiGetClassDevsA(&interfaceClass, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    EXPECT_NE(set, INVALID_HANDLE_VALUE);
    std::vector<std::string> ids = InstanceIds(set);
    EXPECT_TRUE(SetupDiDestroyDeviceInfoList(set));
    return ids;
}

bool Contains(const std::vector<std::string>& ids, const std::string& id)
{
    for (const auto& candidate : ids)
    {
        if (candidate == id)
        {
            return true;
        }
    }
    return false;
}

TEST_F(ReaderPortMachineTest, ThePresentUsbDevicesListTheReaderWhilePluggedInOnly)
{
    EXPECT_EQ(PresentInterfaceDevices(GUID_DEVINTERFACE_USB_DEVICE),
              std::vector<std::string>{InstanceId("TR0001")});
    winsim::machine::Device second = machine->Attach(Reader(u"TR0002"));
    EXPECT_EQ(PresentInterfaceDevices(UsbDevice),
              (std::vector<std::string>{InstanceId("TR0001"), InstanceId("TR0002")}));

    machine->Detach(reader);
    EXPECT_EQ(PresentInterfaceDevices(UsbDevice), std::vector<std::string>{InstanceId("TR0002")});
    machine->Detach(second);
    EXPECT_EQ(PresentInterfaceDevices(UsbDevice), std::vector<std::string>{});
}

TEST_F(ReaderPortMachineTest, ASafelyRemovedReaderIsNoLongerPresent)
{
    ASSERT_EQ(machine->RemoveDevice(reader), STATUS_SUCCESS);
    EXPECT_EQ(PresentInterfaceDevices(UsbDevice), std::vector<std::string>{});
    HDEVINFO set = SetupDiGetClassDevsA(nullptr, nullptr, nullptr, DIGCF_ALLCLASSES | DIGCF_PRESENT);
    EXPECT_FALSE(Contains(InstanceIds(set), InstanceId("TR0001")));
    SetupDiDestroyDeviceInfoList(set);
}

TEST_F(ReaderPortMachineTest, AllClassesListTheReaderAndThePortsClassHoldsIt)
{
    HDEVINFO all = SetupDiGetClassDevsA(nullptr, nullptr, nullptr, DIGCF_ALLCLASSES | DIGCF_PRESENT);
    ASSERT_NE(all, INVALID_HANDLE_VALUE);
    EXPECT_TRUE(Contains(InstanceIds(all), InstanceId("TR0001")));
    SetupDiDestroyDeviceInfoList(all);

    HDEVINFO ports = SetupDiGetClassDevsA(&PortsClass, "usb", nullptr, DIGCF_PRESENT);
    ASSERT_NE(ports, INVALID_HANDLE_VALUE);
    EXPECT_EQ(InstanceIds(ports), std::vector<std::string>{InstanceId("TR0001")});
    SP_DEVINFO_DATA data{};
    data.cbSize = sizeof(data);
    ASSERT_TRUE(SetupDiEnumDeviceInfo(ports, 0, &data));
    EXPECT_TRUE(IsEqualGUID(data.ClassGuid, PortsClass));
    SetupDiDestroyDeviceInfoList(ports);

    // The USB device interface belongs to no setup class of its own: nothing is a member of it.
    HDEVINFO none = SetupDiGetClassDevsA(&UsbDevice, nullptr, nullptr, DIGCF_PRESENT);
    EXPECT_EQ(InstanceIds(none), std::vector<std::string>{});
    SetupDiDestroyDeviceInfoList(none);
}

TEST_F(ReaderPortMachineTest, ThePortsClassHoldsTheBoardsPortsAndTheReader)
{
    HDEVINFO ports = SetupDiGetClassDevsA(&PortsClass, nullptr, nullptr, DIGCF_PRESENT);
    ASSERT_NE(ports, INVALID_HANDLE_VALUE);
    EXPECT_EQ(InstanceIds(ports),
              (std::vector<std::string>{"ACPI\\PNP0501\\1", "ACPI\\PNP0501\\2", InstanceId("TR0001")}));
    SP_DEVINFO_DATA data{};
    data.cbSize = sizeof(data);
    ASSERT_TRUE(SetupDiEnumDeviceInfo(ports, 1, &data));
    HKEY key = SetupDiOpenDevRegKey(ports, &data, DICS_FLAG_GLOBAL, 0, DIREG_DEV, KEY_QUERY_VALUE);
    ASSERT_NE(key, INVALID_HANDLE_VALUE);
    char port[16] = {};
    DWORD size = sizeof(port);
    EXPECT_EQ(RegQueryValueExA(key, "PortName", nullptr, nullptr, reinterpret_cast<BYTE*>(port), &size),
              ERROR_SUCCESS);
    EXPECT_EQ(std::string(port), "COM2");
    RegCloseKey(key);
    // The board's ports have no driver of the machine's own: no driver key.
    EXPECT_EQ(SetupDiOpenDevRegKey(ports, &data, DICS_FLAG_GLOBAL, 0, DIREG_DRV, KEY_READ),
              INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_KEY_DOES_NOT_EXIST));
    SetupDiDestroyDeviceInfoList(ports);
}

TEST_F(ReaderPortMachineTest, TheDeviceParametersKeyGivesThePortName)
{
    HDEVINFO set = SetupDiGetClassDevsA(&UsbDevice, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    SP_DEVINFO_DATA data{};
    data.cbSize = sizeof(data);
    ASSERT_TRUE(SetupDiEnumDeviceInfo(set, 0, &data));
    HKEY key = SetupDiOpenDevRegKey(set, &data, DICS_FLAG_GLOBAL, 0, DIREG_DEV, KEY_READ);
    ASSERT_NE(key, INVALID_HANDLE_VALUE);
    char port[16] = {};
    DWORD size = sizeof(port);
    DWORD type = 0;
    EXPECT_EQ(RegQueryValueExA(key, "PortName", nullptr, &type, reinterpret_cast<BYTE*>(port), &size),
              ERROR_SUCCESS);
    EXPECT_EQ(std::string(port), "COM3");
    EXPECT_EQ(type, static_cast<DWORD>(REG_SZ));
    // Opened with the access asked: read only.
    EXPECT_EQ(RegSetValueExA(key, "PortName", 0, REG_SZ, reinterpret_cast<const BYTE*>("COM9"), 5),
              ERROR_ACCESS_DENIED);
    RegCloseKey(key);

    // The driver key is the one setup wrote for the reader's driver.
    key = SetupDiOpenDevRegKey(set, &data, DICS_FLAG_GLOBAL, 0, DIREG_DRV, KEY_QUERY_VALUE);
    ASSERT_NE(key, INVALID_HANDLE_VALUE);
    char description[128] = {};
    size = sizeof(description);
    EXPECT_EQ(
        RegQueryValueExA(key, "DriverDesc", nullptr, nullptr, reinterpret_cast<BYTE*>(description), &size),
        ERROR_SUCCESS);
    EXPECT_EQ(std::string(description), "Tarno USB Card Reader/Writer");
    RegCloseKey(key);
    SetupDiDestroyDeviceInfoList(set);
}

struct BadOpenCase
{
    const char* name;
    DWORD scope;
    DWORD profile;
    DWORD keyType;
    DWORD error;
};

class OpenDevRegKeyFailures : public ReaderPortMachineTest, public ::testing::WithParamInterface<BadOpenCase>
{
};

TEST_P(OpenDevRegKeyFailures, FailWithTheDocumentedError)
{
    const BadOpenCase& c = GetParam();
    HDEVINFO set = SetupDiGetClassDevsA(&UsbDevice, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    SP_DEVINFO_DATA data{};
    data.cbSize = sizeof(data);
    ASSERT_TRUE(SetupDiEnumDeviceInfo(set, 0, &data));
    SetLastError(0);
    EXPECT_EQ(SetupDiOpenDevRegKey(set, &data, c.scope, c.profile, c.keyType, KEY_READ),
              INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), c.error);
    SetupDiDestroyDeviceInfoList(set);
}

INSTANTIATE_TEST_SUITE_P(SetupDiOpenDevRegKey, OpenDevRegKeyFailures,
                         ::testing::Values(BadOpenCase{"UnknownScope", 4, 0, DIREG_DEV, ERROR_INVALID_FLAGS},
                                           BadOpenCase{"BothKeys", DICS_FLAG_GLOBAL, 0, 4 /* DIREG_BOTH */,
                                                       ERROR_INVALID_FLAGS},
                                           // The machine keeps no profile-specific keys for its devices.
                                           BadOpenCase{"ProfileKeyMissing", DICS_FLAG_CONFIGSPECIFIC, 0,
                                                       DIREG_DEV, ERROR_KEY_DOES_NOT_EXIST},
                                           BadOpenCase{"UnknownProfile", DICS_FLAG_CONFIGSPECIFIC, 7,
                                                       DIREG_DEV, ERROR_INVALID_HWPROFILE}),
                         [](const ::testing::TestParamInfo<BadOpenCase>& info) { return info.param.name; });

TEST_F(ReaderPortMachineTest, ADeviceWithoutADriverHasNoDriverKey)
{
    winsim::machine::ReaderSpec unknown;
    unknown.vendorId = 0x1234;
    unknown.productId = 0x5678;
    unknown.serialNumber = u"X1";
    machine->Attach(unknown);
    HDEVINFO set = SetupDiGetClassDevsA(&UsbDevice, "USB\\VID_1234&PID_5678\\X1", nullptr,
                                        DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    SP_DEVINFO_DATA data{};
    data.cbSize = sizeof(data);
    // A device without a driver never starts, so its hub interface is not enabled.
    EXPECT_FALSE(SetupDiEnumDeviceInfo(set, 0, &data));
    SetupDiDestroyDeviceInfoList(set);

    set = SetupDiGetClassDevsA(nullptr, "USB", nullptr, DIGCF_ALLCLASSES | DIGCF_PRESENT);
    std::vector<std::string> ids = InstanceIds(set);
    ASSERT_TRUE(Contains(ids, "USB\\VID_1234&PID_5678\\X1"));
    for (DWORD index = 0; SetupDiEnumDeviceInfo(set, index, &data); ++index)
    {
        char id[256];
        SetupDiGetDeviceInstanceIdA(set, &data, id, sizeof(id), nullptr);
        if (std::string(id) == "USB\\VID_1234&PID_5678\\X1")
        {
            EXPECT_EQ(SetupDiOpenDevRegKey(set, &data, DICS_FLAG_GLOBAL, 0, DIREG_DRV, KEY_READ),
                      INVALID_HANDLE_VALUE);
            EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_KEY_DOES_NOT_EXIST));
        }
    }
    SetupDiDestroyDeviceInfoList(set);
}

struct BadSetCase
{
    const char* name;
    bool withClass;
    DWORD flags;
    DWORD error;
};

class GetClassDevsFailures : public ReaderPortMachineTest, public ::testing::WithParamInterface<BadSetCase>
{
};

TEST_P(GetClassDevsFailures, ReturnInvalidHandleValue)
{
    const BadSetCase& c = GetParam();
    SetLastError(0);
    EXPECT_EQ(SetupDiGetClassDevsA(c.withClass ? &UsbDevice : nullptr, nullptr, nullptr, c.flags),
              INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), c.error);
}

INSTANTIATE_TEST_SUITE_P(
    SetupDiGetClassDevsA, GetClassDevsFailures,
    ::testing::Values(BadSetCase{"UnknownFlag", true, DIGCF_PRESENT | 0x100, ERROR_INVALID_FLAGS},
                      BadSetCase{"NoClassNorAllClasses", false, DIGCF_PRESENT, ERROR_INVALID_PARAMETER},
                      BadSetCase{"InterfaceWithoutClass", false, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE,
                                 ERROR_INVALID_PARAMETER}),
    [](const ::testing::TestParamInfo<BadSetCase>& info) { return info.param.name; });

TEST_F(ReaderPortMachineTest, MembersAreCheckedAsSetupapiChecksThem)
{
    HDEVINFO set = SetupDiGetClassDevsA(&UsbDevice, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    SP_DEVINFO_DATA data{};
    data.cbSize = sizeof(data) - 4;
    EXPECT_FALSE(SetupDiEnumDeviceInfo(set, 0, &data));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_USER_BUFFER));
    data.cbSize = sizeof(data);
    EXPECT_FALSE(SetupDiEnumDeviceInfo(set, 1, &data));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_MORE_ITEMS));
    ASSERT_TRUE(SetupDiEnumDeviceInfo(set, 0, &data));

    // The instance ID's size counts its NUL; a buffer one short gets nothing.
    std::string id = InstanceId("TR0001");
    DWORD needed = 0;
    char shortBuffer[64] = "untouched";
    EXPECT_FALSE(
        SetupDiGetDeviceInstanceIdA(set, &data, shortBuffer, static_cast<DWORD>(id.size()), &needed));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    EXPECT_EQ(needed, static_cast<DWORD>(id.size() + 1));
    EXPECT_EQ(std::string(shortBuffer), "untouched");

    // A member of another set is not one of this set's.
    HDEVINFO other =
        SetupDiGetClassDevsA(&UsbDevice, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    EXPECT_EQ(SetupDiOpenDevRegKey(other, &data, DICS_FLAG_GLOBAL, 0, DIREG_DEV, KEY_READ),
              INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_TRUE(SetupDiDestroyDeviceInfoList(other));

    EXPECT_TRUE(SetupDiDestroyDeviceInfoList(set));
    // A destroyed set is no set any more.
    EXPECT_FALSE(SetupDiDestroyDeviceInfoList(set));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    EXPECT_FALSE(SetupDiEnumDeviceInfo(set, 0, &data));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
}

} // namespace
