// Device Manager's properties of the reader: the provider its driver key names (the test provider,
// WinsimTestPages.dll) adds its pages to a modeless sheet titled with the reader's name; OK applies
// them, and the sheet goes away with every page released once.
#include <windows.h>
#include <setupapi.h>
#include <prsht.h>

#include <winsim/user.h>

#include "ReaderPortMachine.h"
#include "TestPageProvider.h"

#include <string>

namespace
{

using win32test::ReaderPortMachineTest;

// GUID_DEVCLASS_PORTS, the setup class of serial ports.
const GUID PortsClass = {0x4D36E978, 0xE325, 0x11CE, {0xBF, 0xC1, 0x08, 0x00, 0x2B, 0xE1, 0x03, 0x18}};

void PumpMessages()
{
    MSG msg;
    while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE))
    {
        TranslateMessage(&msg);
        DispatchMessageA(&msg);
    }
}

class DevicePropertiesTest : public ReaderPortMachineTest
{
  protected:
    void SetUp() override
    {
        ReaderPortMachineTest::SetUp();
        SetUpProvider();
    }

    // Finds the reader's names and driver key and loads the test provider for the test.
    void SetUpProvider()
    {
        HDEVINFO set = SetupDiGetClassDevsA(&PortsClass, nullptr, nullptr, DIGCF_PRESENT);
        ASSERT_NE(set, INVALID_HANDLE_VALUE);
        SP_DEVINFO_DATA device{};
        device.cbSize = sizeof(device);
        std::string wanted = InstanceId("TR0001");
        bool found = false;
        for (DWORD i = 0; !found && SetupDiEnumDeviceInfo(set, i, &device); ++i)
        {
            char id[MAX_PATH];
            found = SetupDiGetDeviceInstanceIdA(set, &device, id, sizeof(id), nullptr) && wanted == id;
        }
        ASSERT_TRUE(found);
        char name[MAX_PATH] = {};
        ASSERT_TRUE(SetupDiGetDeviceRegistryPropertyA(set, &device, SPDRP_FRIENDLYNAME, nullptr,
                                                      reinterpret_cast<BYTE*>(name), sizeof(name), nullptr));
        friendlyName = name;
        driverKey = SetupDiOpenDevRegKey(set, &device, DICS_FLAG_GLOBAL, 0, DIREG_DRV, KEY_SET_VALUE);
        ASSERT_NE(driverKey, INVALID_HANDLE_VALUE);
        SetupDiDestroyDeviceInfoList(set);

        module = LoadLibraryA(TEST_PAGES_DLL);
        ASSERT_NE(module, nullptr);
        record = reinterpret_cast<PTEST_PAGES_LOG>(
            reinterpret_cast<void*>(GetProcAddress(module, "TestPagesLog")))();
        *record = TestPagesRecord{};
        record->pagesToOffer = 2;
    }
    void TearDown() override
    {
        if (driverKey != nullptr && driverKey != INVALID_HANDLE_VALUE)
        {
            RegCloseKey(driverKey);
        }
        if (module != nullptr)
        {
            FreeLibrary(module);
        }
        ReaderPortMachineTest::TearDown();
    }

    void RegisterProvider(const std::string& entry)
    {
        EXPECT_EQ(RegSetValueExA(driverKey, "EnumPropPages32", 0, REG_SZ,
                                 reinterpret_cast<const BYTE*>(entry.c_str()),
                                 static_cast<DWORD>(entry.size() + 1)),
                  ERROR_SUCCESS);
    }

    static std::string Title(HWND sheet)
    {
        char text[128] = {};
        GetWindowTextA(sheet, text, sizeof(text));
        return text;
    }

    std::string friendlyName; // the reader's, "... (COM3)"
    HKEY driverKey = nullptr;
    HMODULE module = nullptr;
    TestPagesRecord* record = nullptr;
};

TEST_F(DevicePropertiesTest, OkAppliesTheProvidersPagesAndTheSheetGoesWithEveryPageReleasedOnce)
{
    RegisterProvider(TEST_PAGES_DLL ",TestPagesProvider");
    HWND sheet = winsim::OpenDeviceProperties(InstanceId("TR0001").c_str());
    ASSERT_NE(sheet, nullptr);
    EXPECT_EQ(record->request.PageRequested, static_cast<DWORD>(SPPSR_ENUM_ADV_DEVICE_PROPERTIES));
    EXPECT_EQ(record->pagesAdded, 2);
    // Only the start page is shown; its WM_INITDIALOG carries the provider's page data.
    EXPECT_EQ(record->initDialogs, 1);
    EXPECT_EQ(record->initWithPageData, 1);
    EXPECT_NE(friendlyName.find("(COM3)"), std::string::npos);
    EXPECT_EQ(Title(sheet), friendlyName + " Properties");

    SendMessageA(sheet, PSM_PRESSBUTTON, PSBTN_OK, 0);
    EXPECT_EQ(record->applies, 1);
    EXPECT_EQ(record->appliesOnOk, 1);
    EXPECT_EQ(std::string(record->titleAtApply), friendlyName + " Properties");
    std::string renamed = friendlyName.substr(0, friendlyName.find("COM3")) + "COM7)";
    EXPECT_EQ(Title(sheet), renamed + " Properties");
    EXPECT_EQ(PropSheet_GetCurrentPageHwnd(sheet), nullptr);
    EXPECT_EQ(record->releases, 0);

    // Device Manager destroys the closed sheet on the next turn of its loop.
    PumpMessages();
    EXPECT_FALSE(IsWindow(sheet));
    EXPECT_EQ(record->releases, 2);
}

TEST_F(DevicePropertiesTest, CancelClosesTheSheetWithoutApplying)
{
    RegisterProvider(TEST_PAGES_DLL ",TestPagesProvider");
    HWND sheet = winsim::OpenDeviceProperties(InstanceId("TR0001").c_str());
    ASSERT_NE(sheet, nullptr);
    PropSheet_PressButton(sheet, PSBTN_CANCEL);
    PumpMessages();
    EXPECT_FALSE(IsWindow(sheet));
    EXPECT_EQ(record->applies, 0);
    EXPECT_EQ(record->releases, 2);
}

TEST_F(DevicePropertiesTest, ADeviceWithoutPagesOpensNoSheet)
{
    RegisterProvider("NoSuchPages.dll,TestPagesProvider");
    EXPECT_EQ(winsim::OpenDeviceProperties(InstanceId("TR0001").c_str()), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_FOUND));
    EXPECT_EQ(record->providerCalls, 0);
}

TEST_F(DevicePropertiesTest, AnUnknownDeviceOpensNoSheet)
{
    RegisterProvider(TEST_PAGES_DLL ",TestPagesProvider");
    EXPECT_EQ(winsim::OpenDeviceProperties(InstanceId("TR9999").c_str()), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_SUCH_DEVINST));
    EXPECT_EQ(record->providerCalls, 0);
}

// The same reader on a machine whose user interface language is Japanese: the sheet's title is
// worded in Japanese.
class JapaneseDevicePropertiesTest : public DevicePropertiesTest
{
  protected:
    void SetUp() override
    {
        winsim::machine::MachineConfig config;
        config.uiLanguage = MAKELANGID(LANG_JAPANESE, SUBLANG_JAPANESE_JAPAN);
        machine = std::make_unique<winsim::machine::Machine>(config);
        machine->InstallPackage(std::filesystem::path(TARNOCOM_PACKAGE_DIR) / "TARNOCOM.inf");
        reader = machine->Attach(Reader(u"TR0001"));
        ASSERT_EQ(reader.State(), winsim::machine::DeviceState::Started);
        DevicePropertiesTest::SetUpProvider();
    }
};

TEST_F(JapaneseDevicePropertiesTest, TheTitleSaysPropertiesInJapanese)
{
    RegisterProvider(TEST_PAGES_DLL ",TestPagesProvider");
    HWND sheet = winsim::OpenDeviceProperties(InstanceId("TR0001").c_str());
    ASSERT_NE(sheet, nullptr);
    EXPECT_EQ(Title(sheet), friendlyName + "のプロパティ");
    DestroyWindow(sheet);
    EXPECT_EQ(record->releases, 2);
}

} // namespace
