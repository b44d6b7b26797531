// setupapi's device interfaces on a machine with readers: which interfaces a set built with
// DIGCF_DEVICEINTERFACE holds, how they pair with the set's devices, the device path their detail
// gives, and the checks of the calls' structures.
#include <windows.h>
#include <setupapi.h>
// This unit defines the interface class GUIDs it names.
#include <initguid.h>
#include <usbiodef.h>

#include "ReaderPortMachine.h"
#include "TableCases.h"

#include <stddef.h>

#include <algorithm>
#include <string>
#include <vector>

namespace
{

using win32test::ReaderPortMachineTest;
using winsimtest::PrintTo;

// GUID_DEVINTERFACE_COMPORT, which the reader's driver registers for its port.
const GUID ComPortInterface = {0x86E0D1E0, 0x8089, 0x11D0, {0x9C, 0xE4, 0x08, 0x00, 0x3E, 0x30, 0x1F, 0x73}};
const GUID PortsClass = {0x4D36E978, 0xE325, 0x11CE, {0xBF, 0xC1, 0x08, 0x00, 0x2B, 0xE1, 0x03, 0x18}};

// The path Windows gives a reader's USB device interface: the instance ID with "#" for "\",
// then the class, all in lower case.
std::string UsbDevicePath(const std::string& instanceId)
{
    std::string path = "\\\\?\\" + instanceId + "#{a5dcbf10-6530-11d2-901f-00c04fb951ed}";
    std::replace(path.begin() + 4, path.end(), '\\', '#');
    std::transform(path.begin(), path.end(), path.begin(),
                   [](char c) { return static_cast<char>(tolower(c)); });
    return path;
}

std::string InstanceIdOf(HDEVINFO set, SP_DEVINFO_DATA* data)
{
    char id[256] = {};
    EXPECT_TRUE(SetupDiGetDeviceInstanceIdA(set, data, id, sizeof(id), nullptr));
    return id;
}

// An interface's device path, asked for as callers do: its size first, then the path.
std::string DevicePath(HDEVINFO set, SP_DEVICE_INTERFACE_DATA* one, SP_DEVINFO_DATA* device = nullptr)
{
    DWORD needed = 0;
    EXPECT_FALSE(SetupDiGetDeviceInterfaceDetailA(set, one, nullptr, 0, &needed, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    std::vector<char> buffer(needed);
    auto* detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_A*>(buffer.data());
    detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A);
    if (!SetupDiGetDeviceInterfaceDetailA(set, one, detail, needed, nullptr, device))
    {
        ADD_FAILURE() << "the detail did not fit the size it asked for: " << GetLastError();
        return {};
    }
    return detail->DevicePath;
}

class DeviceInterfaceTest : public ReaderPortMachineTest
{
  protected:
    void SetUp() override
    {
        ReaderPortMachineTest::SetUp();
        second = machine->Attach(Reader(u"TR0002"));
        ASSERT_EQ(second.State(), winsim::machine::DeviceState::Started);
        set = SetupDiGetClassDevsA(&GUID_DEVINTERFACE_USB_DEVICE, nullptr, nullptr,
                                   DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
        ASSERT_NE(set, INVALID_HANDLE_VALUE);
        first.cbSize = sizeof(first);
        ASSERT_TRUE(SetupDiEnumDeviceInterfaces(set, nullptr, &GUID_DEVINTERFACE_USB_DEVICE, 0, &first));
    }
    void TearDown() override
    {
        SetupDiDestroyDeviceInfoList(set);
        ReaderPortMachineTest::TearDown();
    }

    winsim::machine::Device second; // TR0002, COM4
    HDEVINFO set = INVALID_HANDLE_VALUE;
    SP_DEVICE_INTERFACE_DATA first{}; // the set's first interface
};

TEST_F(DeviceInterfaceTest, TheUsbDeviceInterfacesPairWithTheSetsDevicesInOrder)
{
    std::vector<std::string> paths;
    std::vector<std::string> owners;
    std::vector<std::string> devices;
    SP_DEVICE_INTERFACE_DATA one{};
    one.cbSize = sizeof(one);
    DWORD index = 0;
    for (; SetupDiEnumDeviceInterfaces(set, nullptr, &GUID_DEVINTERFACE_USB_DEVICE, index, &one); ++index)
    {
        EXPECT_TRUE(IsEqualGUID(one.InterfaceClassGuid, GUID_DEVINTERFACE_USB_DEVICE));
        EXPECT_EQ(one.Flags, static_cast<DWORD>(SPINT_ACTIVE)) << "enabled while the reader runs";
        SP_DEVINFO_DATA owner{};
        owner.cbSize = sizeof(owner);
        paths.push_back(DevicePath(set, &one, &owner));
        owners.push_back(InstanceIdOf(set, &owner));
        SP_DEVINFO_DATA device{};
        device.cbSize = sizeof(device);
        EXPECT_TRUE(SetupDiEnumDeviceInfo(set, index, &device));
        devices.push_back(InstanceIdOf(set, &device));
        EXPECT_EQ(owner.Reserved, device.Reserved) << "interface " << index << " is device " << index << "'s";
        EXPECT_EQ(owner.DevInst, device.DevInst);
    }
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_MORE_ITEMS));
    EXPECT_EQ(paths, (std::vector<std::string>{UsbDevicePath(InstanceId("TR0001")),
                                               UsbDevicePath(InstanceId("TR0002"))}));
    EXPECT_EQ(owners, (std::vector<std::string>{InstanceId("TR0001"), InstanceId("TR0002")}));
    EXPECT_EQ(devices, owners);
}

TEST_F(DeviceInterfaceTest, OneDevicesInterfacesCountFromZero)
{
    SP_DEVINFO_DATA device{};
    device.cbSize = sizeof(device);
    ASSERT_TRUE(SetupDiEnumDeviceInfo(set, 1, &device));
    SP_DEVICE_INTERFACE_DATA one{};
    one.cbSize = sizeof(one);
    ASSERT_TRUE(SetupDiEnumDeviceInterfaces(set, &device, &GUID_DEVINTERFACE_USB_DEVICE, 0, &one));
    EXPECT_EQ(DevicePath(set, &one), UsbDevicePath(InstanceId("TR0002")));
    EXPECT_FALSE(SetupDiEnumDeviceInterfaces(set, &device, &GUID_DEVINTERFACE_USB_DEVICE, 1, &one));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_MORE_ITEMS));
    // The set holds the interfaces of the class it was built for, and no others.
    EXPECT_FALSE(SetupDiEnumDeviceInterfaces(set, nullptr, &ComPortInterface, 0, &one));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_MORE_ITEMS));
}

TEST_F(DeviceInterfaceTest, TheDetailGivesItsSizeAndTheDeviceWhenThePathDoesNotFit)
{
    const std::string path = UsbDevicePath(InstanceId("TR0001"));
    const DWORD needed =
        static_cast<DWORD>(offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_A, DevicePath) + path.size() + 1);
    DWORD required = 0;
    SP_DEVINFO_DATA device{};
    device.cbSize = sizeof(device);
    EXPECT_FALSE(SetupDiGetDeviceInterfaceDetailA(set, &first, nullptr, 0, &required, &device));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    EXPECT_EQ(required, needed);
    EXPECT_EQ(InstanceIdOf(set, &device), InstanceId("TR0001"));

    // One byte short gets nothing; the size asked for gets the path.
    std::vector<char> buffer(needed, 'x');
    auto* detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_A*>(buffer.data());
    detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A);
    required = 0;
    EXPECT_FALSE(SetupDiGetDeviceInterfaceDetailA(set, &first, detail, needed - 1, &required, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    EXPECT_EQ(required, needed);
    EXPECT_EQ(detail->DevicePath[0], 'x');
    ASSERT_TRUE(SetupDiGetDeviceInterfaceDetailA(set, &first, detail, needed, nullptr, nullptr));
    EXPECT_EQ(std::string(detail->DevicePath), path);
    EXPECT_EQ(detail->cbSize, static_cast<DWORD>(sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A)));
}

// A call of SetupDiGetDeviceInterfaceDetailA that one of its structures makes fail.
struct BadDetailCase
{
    const char* name;
    DWORD interfaceSize; // SP_DEVICE_INTERFACE_DATA.cbSize
    bool withBuffer;
    DWORD detailSize; // SP_DEVICE_INTERFACE_DETAIL_DATA_A.cbSize
    DWORD bufferSize;
    DWORD deviceSize; // SP_DEVINFO_DATA.cbSize
    DWORD error;
};

class InterfaceDetailFailures : public DeviceInterfaceTest,
                                public ::testing::WithParamInterface<BadDetailCase>
{
};

TEST_P(InterfaceDetailFailures, FailWithTheDocumentedError)
{
    const BadDetailCase& c = GetParam();
    SP_DEVICE_INTERFACE_DATA one = first;
    one.cbSize = c.interfaceSize;
    std::vector<char> buffer(512);
    auto* detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_A*>(buffer.data());
    detail->cbSize = c.detailSize;
    SP_DEVINFO_DATA device{};
    device.cbSize = c.deviceSize;
    SetLastError(0);
    EXPECT_FALSE(SetupDiGetDeviceInterfaceDetailA(set, &one, c.withBuffer ? detail : nullptr, c.bufferSize,
                                                  nullptr, &device));
    EXPECT_EQ(GetLastError(), c.error);
    EXPECT_EQ(device.Reserved, 0u) << "the device is not described";
}

constexpr DWORD DetailSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A);
constexpr DWORD InterfaceSize = sizeof(SP_DEVICE_INTERFACE_DATA);
constexpr DWORD DeviceSize = sizeof(SP_DEVINFO_DATA);

INSTANTIATE_TEST_SUITE_P(
    SetupDiGetDeviceInterfaceDetailA, InterfaceDetailFailures,
    ::testing::Values(
        // 5 is the structure's size in a 32-bit process, which a 64-bit setupapi refuses.
        BadDetailCase{"ThirtyTwoBitDetailSize", InterfaceSize, true, 5, 512, DeviceSize,
                      ERROR_INVALID_USER_BUFFER},
        BadDetailCase{"DetailSizeOfTheWholeBuffer", InterfaceSize, true, 512, 512, DeviceSize,
                      ERROR_INVALID_USER_BUFFER},
        BadDetailCase{"NoBufferWithASize", InterfaceSize, false, DetailSize, 512, DeviceSize,
                      ERROR_INVALID_USER_BUFFER},
        BadDetailCase{"BufferWithoutRoomForANul", InterfaceSize, true, DetailSize,
                      offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_A, DevicePath), DeviceSize,
                      ERROR_INVALID_USER_BUFFER},
        BadDetailCase{"InterfaceDataSize", InterfaceSize - 8, true, DetailSize, 512, DeviceSize,
                      ERROR_INVALID_USER_BUFFER},
        BadDetailCase{"DeviceDataSize", InterfaceSize, true, DetailSize, 512, DeviceSize - 4,
                      ERROR_INVALID_USER_BUFFER}),
    [](const ::testing::TestParamInfo<BadDetailCase>& info) { return info.param.name; });

TEST_F(DeviceInterfaceTest, InterfacesAreCheckedAsSetupapiChecksThem)
{
    SP_DEVICE_INTERFACE_DATA one{};
    one.cbSize = sizeof(one) - 8;
    EXPECT_FALSE(SetupDiEnumDeviceInterfaces(set, nullptr, &GUID_DEVINTERFACE_USB_DEVICE, 0, &one));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_USER_BUFFER));
    one.cbSize = sizeof(one);
    EXPECT_FALSE(SetupDiEnumDeviceInterfaces(set, nullptr, nullptr, 0, &one));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_FALSE(SetupDiEnumDeviceInterfaces(set, nullptr, &GUID_DEVINTERFACE_USB_DEVICE, 2, &one));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_MORE_ITEMS));

    // An interface of another set is not one of this set's, nor is a set destroyed.
    HDEVINFO other = SetupDiGetClassDevsA(&GUID_DEVINTERFACE_USB_DEVICE, nullptr, nullptr,
                                          DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    DWORD needed = 0;
    EXPECT_FALSE(SetupDiGetDeviceInterfaceDetailA(other, &first, nullptr, 0, &needed, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(needed, 0u);
    EXPECT_TRUE(SetupDiDestroyDeviceInfoList(other));
    EXPECT_FALSE(SetupDiEnumDeviceInterfaces(other, nullptr, &GUID_DEVINTERFACE_USB_DEVICE, 0, &one));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
}

TEST_F(DeviceInterfaceTest, AllClassesHoldTheDevicesWithAnInterfaceAndAllTheirInterfaces)
{
    HDEVINFO all = SetupDiGetClassDevsA(nullptr, nullptr, nullptr,
                                        DIGCF_ALLCLASSES | DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    ASSERT_NE(all, INVALID_HANDLE_VALUE);
    std::vector<std::string> ids;
    SP_DEVINFO_DATA device{};
    device.cbSize = sizeof(device);
    for (DWORD index = 0; SetupDiEnumDeviceInfo(all, index, &device); ++index)
    {
        std::string id = InstanceIdOf(all, &device);
        ids.push_back(id);
        if (id != InstanceId("TR0002"))
        {
            continue;
        }
        // The reader's hub interface and its driver's port interface.
        SP_DEVICE_INTERFACE_DATA one{};
        one.cbSize = sizeof(one);
        ASSERT_TRUE(SetupDiEnumDeviceInterfaces(all, &device, &GUID_DEVINTERFACE_USB_DEVICE, 0, &one));
        EXPECT_EQ(DevicePath(all, &one), UsbDevicePath(InstanceId("TR0002")));
        ASSERT_TRUE(SetupDiEnumDeviceInterfaces(all, &device, &ComPortInterface, 0, &one));
        EXPECT_TRUE(IsEqualGUID(one.InterfaceClassGuid, ComPortInterface));
        EXPECT_EQ(one.Flags, static_cast<DWORD>(SPINT_ACTIVE));
    }
    std::sort(ids.begin(), ids.end());
    // The board's ports register no interface: they are not in the set.
    EXPECT_EQ(ids, (std::vector<std::string>{InstanceId("TR0001"), InstanceId("TR0002")}));
    SetupDiDestroyDeviceInfoList(all);
}

TEST_F(DeviceInterfaceTest, AnInterfaceOpensIntoASetByItsPath)
{
    // The Ports class set holds the readers as devices, with no interfaces of its own.
    HDEVINFO ports = SetupDiGetClassDevsA(&PortsClass, "USB", nullptr, DIGCF_PRESENT);
    ASSERT_NE(ports, INVALID_HANDLE_VALUE);
    winsim::machine::Device third = machine->Attach(Reader(u"TR0003"));
    ASSERT_EQ(third.State(), winsim::machine::DeviceState::Started);
    SP_DEVICE_INTERFACE_DATA one{};
    one.cbSize = sizeof(one);
    EXPECT_FALSE(SetupDiEnumDeviceInterfaces(ports, nullptr, &GUID_DEVINTERFACE_USB_DEVICE, 0, &one));

    // A path in any case names the interface; it joins its device's member.
    std::string path = UsbDevicePath(InstanceId("TR0002"));
    std::transform(path.begin(), path.end(), path.begin(),
                   [](char c) { return static_cast<char>(toupper(c)); });
    ASSERT_TRUE(SetupDiOpenDeviceInterfaceA(ports, path.c_str(), 0, &one));
    EXPECT_EQ(one.Flags, static_cast<DWORD>(SPINT_ACTIVE));
    SP_DEVINFO_DATA owner{};
    owner.cbSize = sizeof(owner);
    EXPECT_EQ(DevicePath(ports, &one, &owner), UsbDevicePath(InstanceId("TR0002")));
    EXPECT_EQ(InstanceIdOf(ports, &owner), InstanceId("TR0002"));
    SP_DEVINFO_DATA device{};
    device.cbSize = sizeof(device);
    EXPECT_FALSE(SetupDiEnumDeviceInfo(ports, 2, &device)) << "no member was added";

    // A device the set does not hold joins it, unless the caller says not to.
    std::string thirdPath = UsbDevicePath(InstanceId("TR0003"));
    EXPECT_FALSE(SetupDiOpenDeviceInterfaceA(ports, thirdPath.c_str(), DIODI_NO_ADD, &one));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_SUCH_DEVICE_INTERFACE));
    EXPECT_FALSE(SetupDiEnumDeviceInfo(ports, 2, &device));
    ASSERT_TRUE(SetupDiOpenDeviceInterfaceA(ports, thirdPath.c_str(), 0, nullptr));
    ASSERT_TRUE(SetupDiEnumDeviceInfo(ports, 2, &device));
    EXPECT_EQ(InstanceIdOf(ports, &device), InstanceId("TR0003"));

    EXPECT_FALSE(SetupDiOpenDeviceInterfaceA(
        ports, "\\\\?\\usb#vid_0000&pid_0000#none#{a5dcbf10-6530-11d2-901f-00c04fb951ed}", 0, &one));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_SUCH_DEVICE_INTERFACE));
    EXPECT_FALSE(SetupDiOpenDeviceInterfaceA(ports, thirdPath.c_str(), 2, &one));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_FLAGS));
    SetupDiDestroyDeviceInfoList(ports);
}

} // namespace
