// SetupDiGetClassDevPropertySheetsA on a machine with a reader: the property page provider its
// driver key names (the test provider, WinsimTestPages.dll) is loaded and asked for its pages,
// which go into the caller's page list while it has room.
#include <windows.h>
#include <setupapi.h>
#include <prsht.h>

#include "ReaderPortMachine.h"
#include "TableCases.h"
#include "TestPageProvider.h"

#include <string>
#include <vector>

namespace
{

using win32test::ReaderPortMachineTest;
using winsimtest::PrintTo;

// GUID_DEVCLASS_PORTS, the setup class of serial ports.
const GUID PortsClass = {0x4D36E978, 0xE325, 0x11CE, {0xBF, 0xC1, 0x08, 0x00, 0x2B, 0xE1, 0x03, 0x18}};

class PropertySheetsTest : public ReaderPortMachineTest
{
  protected:
    void SetUp() override
    {
        ReaderPortMachineTest::SetUp();
        set = SetupDiGetClassDevsA(&PortsClass, nullptr, nullptr, DIGCF_PRESENT);
        ASSERT_NE(set, INVALID_HANDLE_VALUE);
        device.cbSize = sizeof(device);
        std::string wanted = InstanceId("TR0001");
        bool found = false;
        for (DWORD i = 0; !found && SetupDiEnumDeviceInfo(set, i, &device); ++i)
        {
            char id[MAX_PATH];
            found = SetupDiGetDeviceInstanceIdA(set, &device, id, sizeof(id), nullptr) && wanted == id;
        }
        ASSERT_TRUE(found);
    }
    void TearDown() override
    {
        if (set != INVALID_HANDLE_VALUE)
        {
            SetupDiDestroyDeviceInfoList(set);
        }
        ReaderPortMachineTest::TearDown();
    }

    // Names a provider in the reader's driver key.
    // The test's provider in place of the port settings page the driver package registers.
    void RegisterProvider(const char* valueName, const std::string& entry)
    {
        HKEY key = SetupDiOpenDevRegKey(set, &device, DICS_FLAG_GLOBAL, 0, DIREG_DRV, KEY_SET_VALUE);
        ASSERT_NE(key, INVALID_HANDLE_VALUE);
        RegDeleteValueA(key, "EnumPropPages32");
        EXPECT_EQ(RegSetValueExA(key, valueName, 0, REG_SZ, reinterpret_cast<const BYTE*>(entry.c_str()),
                                 static_cast<DWORD>(entry.size() + 1)),
                  ERROR_SUCCESS);
        RegCloseKey(key);
    }

    // The provider's record while setupapi keeps its module loaded; null when it is not loaded.
    static TestPagesRecord* LoadedProvider()
    {
        HMODULE module = GetModuleHandleA(TEST_PAGES_DLL);
        if (module == nullptr)
        {
            return nullptr;
        }
        auto log = reinterpret_cast<PTEST_PAGES_LOG>(
            reinterpret_cast<void*>(GetProcAddress(module, "TestPagesLog")));
        return log != nullptr ? log() : nullptr;
    }

    // Loads the provider for the test to set it up before setupapi calls it (and unloads it after).
    struct ProviderSetup
    {
        HMODULE module = LoadLibraryA(TEST_PAGES_DLL);
        TestPagesRecord* record = module != nullptr
                                      ? reinterpret_cast<PTEST_PAGES_LOG>(
                                            reinterpret_cast<void*>(GetProcAddress(module, "TestPagesLog")))()
                                      : nullptr;
        ~ProviderSetup()
        {
            if (module != nullptr)
            {
                FreeLibrary(module);
            }
        }
    };

    HDEVINFO set = INVALID_HANDLE_VALUE;
    SP_DEVINFO_DATA device{};
};

TEST_F(PropertySheetsTest, TheDriverKeysProviderAddsItsPagesForTheDevice)
{
    RegisterProvider("EnumPropPages32", TEST_PAGES_DLL ",TestPagesProvider");
    ProviderSetup provider;
    ASSERT_NE(provider.record, nullptr);
    *provider.record = TestPagesRecord{};
    provider.record->pagesToOffer = 2;

    HPROPSHEETPAGE pages[4] = {};
    PROPSHEETHEADERA header{};
    header.dwSize = sizeof(header);
    header.phpage = pages;
    DWORD required = 0;
    EXPECT_TRUE(SetupDiGetClassDevPropertySheetsA(set, &device, &header, 4, &required, DIGCDP_FLAG_ADVANCED));
    EXPECT_EQ(header.nPages, 2u);
    EXPECT_EQ(required, 2u);
    EXPECT_NE(pages[0], nullptr);
    EXPECT_NE(pages[1], nullptr);
    EXPECT_EQ(pages[2], nullptr);

    TestPagesRecord* record = provider.record;
    EXPECT_EQ(record->providerCalls, 1);
    EXPECT_EQ(record->request.cbSize, sizeof(SP_PROPSHEETPAGE_REQUEST));
    EXPECT_EQ(record->request.PageRequested, static_cast<DWORD>(SPPSR_ENUM_ADV_DEVICE_PROPERTIES));
    EXPECT_EQ(record->request.DeviceInfoSet, set);
    EXPECT_EQ(record->request.DeviceInfoData, &device);
    EXPECT_EQ(record->pagesAdded, 2);
    EXPECT_EQ(record->addRefs, 2);

    // The pages are the caller's until a sheet takes them.
    EXPECT_TRUE(DestroyPropertySheetPage(pages[0]));
    EXPECT_TRUE(DestroyPropertySheetPage(pages[1]));
    EXPECT_EQ(record->releases, 2);
}

TEST_F(PropertySheetsTest, TheProvidersModuleStaysLoadedAfterTheCall)
{
    RegisterProvider("EnumPropPages32", TEST_PAGES_DLL ",TestPagesProvider");
    {
        ProviderSetup provider;
        ASSERT_NE(provider.record, nullptr);
        *provider.record = TestPagesRecord{};
        provider.record->pagesToOffer = 1;
        HPROPSHEETPAGE pages[1] = {};
        PROPSHEETHEADERA header{};
        header.dwSize = sizeof(header);
        header.phpage = pages;
        EXPECT_TRUE(
            SetupDiGetClassDevPropertySheetsA(set, &device, &header, 1, nullptr, DIGCDP_FLAG_ADVANCED));
        EXPECT_TRUE(DestroyPropertySheetPage(pages[0]));
    }
    // The test's own reference is gone; setupapi's keeps the module and its record.
    TestPagesRecord* record = LoadedProvider();
    ASSERT_NE(record, nullptr);
    EXPECT_EQ(record->providerCalls, 1);
    EXPECT_EQ(record->releases, 1);
    // Until the set goes: its providers go with it.
    EXPECT_TRUE(SetupDiDestroyDeviceInfoList(set));
    set = INVALID_HANDLE_VALUE;
    EXPECT_EQ(GetModuleHandleA(TEST_PAGES_DLL), nullptr);
}

TEST_F(PropertySheetsTest, AFullPageListRefusesTheRestAndTellsTheSizeNeeded)
{
    RegisterProvider("EnumPropPages32", TEST_PAGES_DLL ",TestPagesProvider");
    ProviderSetup provider;
    ASSERT_NE(provider.record, nullptr);
    *provider.record = TestPagesRecord{};
    provider.record->pagesToOffer = 3;

    // One page of the caller's is in the list already.
    PROPSHEETPAGEA own{};
    own.dwSize = PROPSHEETPAGEA_V1_SIZE;
    HPROPSHEETPAGE pages[2] = {CreatePropertySheetPageA(&own), nullptr};
    ASSERT_NE(pages[0], nullptr);
    PROPSHEETHEADERA header{};
    header.dwSize = sizeof(header);
    header.nPages = 1;
    header.phpage = pages;
    DWORD required = 0;
    EXPECT_FALSE(
        SetupDiGetClassDevPropertySheetsA(set, &device, &header, 2, &required, DIGCDP_FLAG_ADVANCED));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    EXPECT_EQ(required, 4u);
    EXPECT_EQ(header.nPages, 2u);
    EXPECT_EQ(provider.record->pagesAdded, 1);
    // The provider destroyed the two pages it could not hand over.
    EXPECT_EQ(provider.record->pagesRefused, 2);
    EXPECT_EQ(provider.record->releases, 2);

    EXPECT_TRUE(DestroyPropertySheetPage(pages[0]));
    EXPECT_TRUE(DestroyPropertySheetPage(pages[1]));
    EXPECT_EQ(provider.record->releases, 3);
}

struct ProviderCase
{
    const char* name;
    const char* valueName; // the value of the driver key that names the provider
    const char* entry;
    DWORD sheetType;
    int expectedCalls;
    DWORD expectedRequest; // the request's PageRequested when called
};

class ProviderEntryTest : public PropertySheetsTest, public ::testing::WithParamInterface<ProviderCase>
{
};

TEST_P(ProviderEntryTest, OnlyTheProviderOfTheSheetTypeIsCalled)
{
    const ProviderCase& c = GetParam();
    RegisterProvider(c.valueName, c.entry);
    ProviderSetup provider;
    ASSERT_NE(provider.record, nullptr);
    *provider.record = TestPagesRecord{};
    provider.record->pagesToOffer = 1;
    HPROPSHEETPAGE pages[2] = {};
    PROPSHEETHEADERA header{};
    header.dwSize = sizeof(header);
    header.phpage = pages;
    EXPECT_TRUE(SetupDiGetClassDevPropertySheetsA(set, &device, &header, 2, nullptr, c.sheetType));
    EXPECT_EQ(provider.record->providerCalls, c.expectedCalls);
    EXPECT_EQ(header.nPages, static_cast<UINT>(c.expectedCalls));
    if (c.expectedCalls != 0)
    {
        EXPECT_EQ(provider.record->request.PageRequested, c.expectedRequest);
        EXPECT_TRUE(DestroyPropertySheetPage(pages[0]));
    }
}

INSTANTIATE_TEST_SUITE_P(
    Entries, ProviderEntryTest,
    ::testing::Values(
        ProviderCase{"Advanced", "EnumPropPages32", TEST_PAGES_DLL ",TestPagesProvider", DIGCDP_FLAG_ADVANCED,
                     1, SPPSR_ENUM_ADV_DEVICE_PROPERTIES},
        ProviderCase{"AdvancedWithSpaces", "EnumPropPages32", " " TEST_PAGES_DLL " , TestPagesProvider ",
                     DIGCDP_FLAG_ADVANCED, 1, SPPSR_ENUM_ADV_DEVICE_PROPERTIES},
        ProviderCase{"Basic", "BasicProperties32", TEST_PAGES_DLL ",TestPagesProvider", DIGCDP_FLAG_BASIC, 1,
                     SPPSR_ENUM_BASIC_DEVICE_PROPERTIES},
        ProviderCase{"BasicProviderNotAskedForAdvanced", "BasicProperties32",
                     TEST_PAGES_DLL ",TestPagesProvider", DIGCDP_FLAG_ADVANCED, 0, 0},
        ProviderCase{"NoSuchFunction", "EnumPropPages32", TEST_PAGES_DLL ",NoSuchProvider",
                     DIGCDP_FLAG_ADVANCED, 0, 0},
        ProviderCase{"NoSuchModule", "EnumPropPages32", "NoSuchPages.dll,TestPagesProvider",
                     DIGCDP_FLAG_ADVANCED, 0, 0},
        ProviderCase{"NoFunctionNamed", "EnumPropPages32", TEST_PAGES_DLL, DIGCDP_FLAG_ADVANCED, 0, 0}),
    [](const ::testing::TestParamInfo<ProviderCase>& info) { return std::string(info.param.name); });

struct ErrorCase
{
    const char* name;
    bool validSet;
    bool withHeader;
    DWORD headerFlags;
    UINT pagesAlready;
    DWORD listSize;
    DWORD sheetType;
    DWORD error;
};

class PropertySheetsErrorTest : public PropertySheetsTest, public ::testing::WithParamInterface<ErrorCase>
{
};

TEST_P(PropertySheetsErrorTest, ABadCallFailsWithWindowsError)
{
    const ErrorCase& c = GetParam();
    RegisterProvider("EnumPropPages32", TEST_PAGES_DLL ",TestPagesProvider");
    ProviderSetup provider;
    ASSERT_NE(provider.record, nullptr);
    *provider.record = TestPagesRecord{};
    provider.record->pagesToOffer = 1;
    HPROPSHEETPAGE pages[4] = {};
    PROPSHEETHEADERA header{};
    header.dwSize = sizeof(header);
    header.dwFlags = c.headerFlags;
    header.nPages = c.pagesAlready;
    header.phpage = pages;
    HDEVINFO target = c.validSet ? set : reinterpret_cast<HDEVINFO>(static_cast<ULONG_PTR>(0x1234));
    DWORD required = 77;
    EXPECT_FALSE(SetupDiGetClassDevPropertySheetsA(target, &device, c.withHeader ? &header : nullptr,
                                                   c.listSize, &required, c.sheetType));
    EXPECT_EQ(GetLastError(), c.error);
    EXPECT_EQ(required, 77u);
    EXPECT_EQ(provider.record->providerCalls, 0);
}

INSTANTIATE_TEST_SUITE_P(
    Errors, PropertySheetsErrorTest,
    ::testing::Values(
        ErrorCase{"UnknownSet", false, true, 0, 0, 4, DIGCDP_FLAG_ADVANCED, ERROR_INVALID_HANDLE},
        ErrorCase{"NoHeader", true, false, 0, 0, 4, DIGCDP_FLAG_ADVANCED, ERROR_INVALID_PARAMETER},
        ErrorCase{"MorePagesThanTheList", true, true, 0, 3, 2, DIGCDP_FLAG_ADVANCED, ERROR_INVALID_PARAMETER},
        ErrorCase{"PageRecordsInTheHeader", true, true, PSH_PROPSHEETPAGE, 0, 4, DIGCDP_FLAG_ADVANCED,
                  ERROR_INVALID_FLAGS},
        ErrorCase{"NoSheetType", true, true, 0, 0, 4, 0, ERROR_INVALID_FLAGS},
        ErrorCase{"UnknownSheetType", true, true, 0, 0, 4, 5, ERROR_INVALID_FLAGS},
        ErrorCase{"RemoteSheet", true, true, 0, 0, 4, DIGCDP_FLAG_REMOTE_ADVANCED, ERROR_INVALID_FLAGS}),
    [](const ::testing::TestParamInfo<ErrorCase>& info) { return std::string(info.param.name); });

TEST_F(PropertySheetsTest, AMemberOfAnotherSetIsRefused)
{
    HDEVINFO other = SetupDiGetClassDevsA(&PortsClass, nullptr, nullptr, DIGCF_PRESENT);
    ASSERT_NE(other, INVALID_HANDLE_VALUE);
    HPROPSHEETPAGE pages[1] = {};
    PROPSHEETHEADERA header{};
    header.dwSize = sizeof(header);
    header.phpage = pages;
    EXPECT_FALSE(
        SetupDiGetClassDevPropertySheetsA(other, &device, &header, 1, nullptr, DIGCDP_FLAG_ADVANCED));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_TRUE(SetupDiDestroyDeviceInfoList(other));
}

TEST_F(PropertySheetsTest, ASetOfEveryClassHasNoClassPagesToAskFor)
{
    HDEVINFO all = SetupDiGetClassDevsA(nullptr, nullptr, nullptr, DIGCF_ALLCLASSES | DIGCF_PRESENT);
    ASSERT_NE(all, INVALID_HANDLE_VALUE);
    HPROPSHEETPAGE pages[1] = {};
    PROPSHEETHEADERA header{};
    header.dwSize = sizeof(header);
    header.phpage = pages;
    EXPECT_FALSE(SetupDiGetClassDevPropertySheetsA(all, nullptr, &header, 1, nullptr, DIGCDP_FLAG_ADVANCED));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_ASSOCIATED_CLASS));
    EXPECT_TRUE(SetupDiDestroyDeviceInfoList(all));
}

} // namespace
