// The restart the property page does after a port was renamed: two readers (COM3, COM4), the USB
// device interfaces walked with setupapi side by side with the set's devices, each device's
// PortName read from its hardware key, and a property change on the reader that holds COM4. Only
// that reader's driver stops and starts again.
#include <windows.h>
#include <setupapi.h>
// This unit defines the interface class GUIDs it names.
#include <initguid.h>
#include <usbiodef.h>

#include "ReaderMachine.h"

#include <string>
#include <vector>

namespace
{

class PortRestartTest : public scenario::ReaderMachineTest
{
  protected:
    void SetUp() override
    {
        ReaderMachineTest::SetUp();
        winsim::machine::ReaderSpec plugged;
        plugged.serialNumber = u"TR0002";
        second = machine->Attach(plugged);
        ASSERT_TRUE(machine->DeviceByComName(u"COM4"));
        machine->ClearEventLog();
    }

    // The driver's power events of one device object, in English, in order.
    std::vector<std::u16string> PowerEventsOf(const winsim::machine::Device& reader)
    {
        std::vector<std::u16string> texts;
        for (const winsim::machine::EventLogRecord& record : machine->EventLogEntries())
        {
            std::u16string text = machine->EventText(record, MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US));
            if (record.deviceName == reader.KernelName() && text.find(u"D0") != std::u16string::npos)
            {
                texts.push_back(text);
            }
        }
        return texts;
    }

    winsim::machine::Device second; // TR0002, COM4
};

// What the page reads of one USB device: its interface's path, the device the detail names, the
// device of the same index, and that device's port.
struct UsbDeviceSeen
{
    std::string path;
    ULONG_PTR detailDevice = 0;
    ULONG_PTR indexDevice = 0;
    std::string portName;
};

TEST_F(PortRestartTest, APropertyChangeOnTheReaderOfCom4RestartsThatReaderOnly)
{
    HDEVINFO set = SetupDiGetClassDevsA(&GUID_DEVINTERFACE_USB_DEVICE, nullptr, nullptr,
                                        DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    ASSERT_NE(set, INVALID_HANDLE_VALUE);
    std::vector<UsbDeviceSeen> seen;
    SP_DEVINFO_DATA com4{};
    SP_DEVICE_INTERFACE_DATA interfaceData{};
    interfaceData.cbSize = sizeof(interfaceData);
    for (DWORD i = 0;
         SetupDiEnumDeviceInterfaces(set, nullptr, &GUID_DEVINTERFACE_USB_DEVICE, i, &interfaceData); ++i)
    {
        UsbDeviceSeen one;
        DWORD needed = 0;
        EXPECT_FALSE(SetupDiGetDeviceInterfaceDetailA(set, &interfaceData, nullptr, 0, &needed, nullptr));
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
        std::vector<char> buffer(needed);
        auto* detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_A*>(buffer.data());
        detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A);
        SP_DEVINFO_DATA owner{};
        owner.cbSize = sizeof(owner);
        ASSERT_TRUE(SetupDiGetDeviceInterfaceDetailA(set, &interfaceData, detail, needed, nullptr, &owner));
        one.path = detail->DevicePath;
        one.detailDevice = owner.Reserved;

        SP_DEVINFO_DATA device{};
        device.cbSize = sizeof(device);
        ASSERT_TRUE(SetupDiEnumDeviceInfo(set, i, &device));
        one.indexDevice = device.Reserved;
        HKEY key = SetupDiOpenDevRegKey(set, &device, DICS_FLAG_GLOBAL, 0, DIREG_DEV,
                                        KEY_READ | KEY_SET_VALUE | KEY_CREATE_SUB_KEY);
        ASSERT_NE(key, INVALID_HANDLE_VALUE);
        char port[16] = {};
        DWORD size = sizeof(port);
        EXPECT_EQ(RegQueryValueExA(key, "PortName", nullptr, nullptr, reinterpret_cast<BYTE*>(port), &size),
                  ERROR_SUCCESS);
        RegCloseKey(key);
        one.portName = port;
        if (one.portName == "COM4")
        {
            com4 = device;
        }
        seen.push_back(one);
    }
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_MORE_ITEMS));

    // Both readers, each interface with the device of its own index.
    ASSERT_EQ(seen.size(), 2u);
    EXPECT_NE(seen[0].path.find("#tr0001#"), std::string::npos) << seen[0].path;
    EXPECT_NE(seen[1].path.find("#tr0002#"), std::string::npos) << seen[1].path;
    for (const UsbDeviceSeen& one : seen)
    {
        EXPECT_EQ(one.detailDevice, one.indexDevice) << one.path;
    }
    EXPECT_EQ(seen[0].portName, "COM3");
    EXPECT_EQ(seen[1].portName, "COM4");
    ASSERT_NE(com4.cbSize, 0u);

    // The page's restart of the reader that holds COM4.
    PDEVICE_OBJECT firstBefore = device.DeviceObject();
    SP_PROPCHANGE_PARAMS change{};
    change.ClassInstallHeader.cbSize = sizeof(SP_CLASSINSTALL_HEADER);
    change.ClassInstallHeader.InstallFunction = DIF_PROPERTYCHANGE;
    change.StateChange = DICS_PROPCHANGE;
    change.Scope = DICS_FLAG_CONFIGSPECIFIC;
    change.HwProfile = 0;
    ASSERT_TRUE(SetupDiSetClassInstallParamsA(set, &com4, &change.ClassInstallHeader, sizeof(change)));
    ASSERT_TRUE(SetupDiCallClassInstaller(DIF_PROPERTYCHANGE, set, &com4));
    EXPECT_TRUE(SetupDiDestroyDeviceInfoList(set));

    // The reader of COM4 left D0 for its removal and its driver started it again.
    std::vector<std::u16string> restarted = PowerEventsOf(second);
    ASSERT_EQ(restarted.size(), 2u);
    EXPECT_NE(restarted[0].find(u"from D0 to D3"), std::u16string::npos);
    EXPECT_NE(restarted[1].find(u"from D3 to D0"), std::u16string::npos);
    EXPECT_EQ(second.State(), winsim::machine::DeviceState::Started);
    EXPECT_EQ(device.State(), winsim::machine::DeviceState::Started);
    EXPECT_EQ(device.DeviceObject(), firstBefore) << "the reader of COM3 is left alone";
    EXPECT_EQ(PowerEventsOf(device), std::vector<std::u16string>{});
    EXPECT_TRUE(machine->DeviceByComName(u"COM3"));
    EXPECT_TRUE(machine->DeviceByComName(u"COM4"));
}

} // namespace
