// The WMI client on a machine with a reader: connecting to ROOT\CIMV2, querying Win32_PnPEntity as
// an application polls it for Plug and Play devices, and the reference counts of the objects.
#include <windows.h>
#include <objbase.h>
#include <oleauto.h>
#include <wbemidl.h>
#include <winsim/user.h>

#include "ReaderPortMachine.h"

#include <string>
#include <utility>
#include <vector>

namespace
{

using win32test::ReaderPortMachineTest;

std::string Narrow(const WCHAR* text)
{
    std::string narrow;
    for (; *text != 0; ++text)
    {
        narrow.push_back(static_cast<char>(*text));
    }
    return narrow;
}

// A string property of a row; "<null>" for a null one, "<hr>" for a failure.
std::string StringProperty(IWbemClassObject* row, const WCHAR* name)
{
    VARIANT value;
    VariantInit(&value);
    HRESULT hr = row->Get(name, 0, &value, nullptr, nullptr);
    if (FAILED(hr))
    {
        return "<failed>";
    }
    std::string text = value.vt == VT_BSTR   ? Narrow(value.bstrVal)
                       : value.vt == VT_NULL ? "<null>"
                                             : "<other>";
    VariantClear(&value);
    return text;
}

// A connection to ROOT\CIMV2 on a thread with COM, set up as applications do.
class WmiTest : public ReaderPortMachineTest
{
  protected:
    void SetUp() override
    {
        ReaderPortMachineTest::SetUp();
        baseline = winsim::LiveWmiObjects();
        ASSERT_EQ(CoInitializeEx(nullptr, COINIT_MULTITHREADED), S_OK);
        ASSERT_EQ(CoCreateInstance(CLSID_WbemLocator, nullptr, CLSCTX_INPROC_SERVER, IID_IWbemLocator,
                                   reinterpret_cast<void**>(&locator)),
                  S_OK);
        BSTR resource = SysAllocString(L"ROOT\\CIMV2");
        ASSERT_EQ(locator->ConnectServer(resource, nullptr, nullptr, nullptr, 0, nullptr, nullptr, &services),
                  WBEM_S_NO_ERROR);
        SysFreeString(resource);
        ASSERT_EQ(CoSetProxyBlanket(services, RPC_C_AUTHN_WINNT, RPC_C_AUTHZ_NONE, nullptr,
                                    RPC_C_AUTHN_LEVEL_CALL, RPC_C_IMP_LEVEL_IMPERSONATE, nullptr, EOAC_NONE),
                  S_OK);
    }
    void TearDown() override
    {
        if (services != nullptr)
        {
            services->Release();
        }
        if (locator != nullptr)
        {
            locator->Release();
        }
        EXPECT_EQ(winsim::LiveWmiObjects(), baseline);
        CoUninitialize();
        ReaderPortMachineTest::TearDown();
    }

    HRESULT Query(const WCHAR* language, const WCHAR* text, LONG flags, IEnumWbemClassObject** rows)
    {
        BSTR languageText = SysAllocString(language);
        BSTR queryText = SysAllocString(text);
        HRESULT hr = services->ExecQuery(languageText, queryText, flags, nullptr, rows);
        SysFreeString(languageText);
        SysFreeString(queryText);
        return hr;
    }

    // Every Win32_PnPEntity row as (PNPDeviceID, Caption), read one at a time to the end.
    std::vector<std::pair<std::string, std::string>> PnpEntities()
    {
        IEnumWbemClassObject* rows = nullptr;
        EXPECT_EQ(Query(L"WQL", L"SELECT * FROM Win32_PnPEntity",
                        WBEM_FLAG_FORWARD_ONLY | WBEM_FLAG_RETURN_IMMEDIATELY, &rows),
                  WBEM_S_NO_ERROR);
        std::vector<std::pair<std::string, std::string>> entities;
        if (rows == nullptr)
        {
            return entities;
        }
        for (;;)
        {
            IWbemClassObject* row = nullptr;
            ULONG returned = 0;
            HRESULT hr = rows->Next(WBEM_INFINITE, 1, &row, &returned);
            if (hr != WBEM_S_NO_ERROR)
            {
                EXPECT_EQ(hr, WBEM_S_FALSE);
                EXPECT_EQ(returned, 0u);
                break;
            }
            EXPECT_EQ(returned, 1u);
            entities.emplace_back(StringProperty(row, L"PNPDeviceID"), StringProperty(row, L"Caption"));
            row->Release();
        }
        rows->Release();
        return entities;
    }

    static bool Has(const std::vector<std::pair<std::string, std::string>>& entities, const std::string& id,
                    const std::string& caption)
    {
        for (const auto& entity : entities)
        {
            if (entity.first == id && entity.second == caption)
            {
                return true;
            }
        }
        return false;
    }

    long baseline = 0;
    IWbemLocator* locator = nullptr;
    IWbemServices* services = nullptr;
};

TEST_F(WmiTest, TheRowsShowTheReaderByItsPortUntilItIsPulled)
{
    const std::string caption = "Tarno USB Card Reader/Writer (COM3)";
    EXPECT_TRUE(Has(PnpEntities(), InstanceId("TR0001"), caption));

    machine->Attach(Reader(u"tr0002"));
    auto entities = PnpEntities();
    EXPECT_TRUE(Has(entities, InstanceId("TR0001"), caption));
    // Instance IDs are written upper-case, whatever the serial number's case.
    EXPECT_TRUE(Has(entities, InstanceId("TR0002"), "Tarno USB Card Reader/Writer (COM4)"));

    machine->Detach(reader);
    entities = PnpEntities();
    EXPECT_FALSE(Has(entities, InstanceId("TR0001"), caption));
    EXPECT_TRUE(Has(entities, InstanceId("TR0002"), "Tarno USB Card Reader/Writer (COM4)"));
}

TEST_F(WmiTest, TheRowsShowTheMachinesOwnDevices)
{
    auto entities = PnpEntities();
    EXPECT_TRUE(Has(entities, "ACPI\\PNP0501\\1", "Communications Port (COM1)"));
    EXPECT_TRUE(Has(entities, "ACPI\\PNP0501\\2", "Communications Port (COM2)"));
    EXPECT_TRUE(Has(entities, "USB\\ROOT_HUB30\\4&2A4E0A5B&0&0", "USB Root Hub (USB 3.0)"));
    EXPECT_TRUE(Has(entities, "PCI\\VEN_8086&DEV_A36D&SUBSYS_72708086&REV_10\\3&11583659&0&A0",
                    "Intel(R) USB 3.1 eXtensible Host Controller - 1.10 (Microsoft)"));
    // The board's devices and the reader, and nothing else.
    EXPECT_EQ(entities.size(), 5u);
}

TEST_F(WmiTest, ARowWithoutAFriendlyNameIsCaptionedByItsDescription)
{
    winsim::machine::ReaderSpec unknown;
    unknown.vendorId = 0x1234;
    unknown.productId = 0x5678;
    unknown.serialNumber = u"X1";
    machine->Attach(unknown);
    machine->SetRegistryValue(u"HKLM\\SYSTEM\\CurrentControlSet\\Enum\\USB\\VID_1234&PID_5678\\X1",
                              u"DeviceDesc", winsim::machine::RegistryValue::String(u"Some USB Device"));
    EXPECT_TRUE(Has(PnpEntities(), "USB\\VID_1234&PID_5678\\X1", "Some USB Device"));
}

TEST_F(WmiTest, AClassObjectAnswersItsPropertiesAndNoOthers)
{
    IEnumWbemClassObject* rows = nullptr;
    ASSERT_EQ(
        Query(L"wql", L"select PNPDeviceID,Service from win32_pnpentity", WBEM_FLAG_FORWARD_ONLY, &rows),
        WBEM_S_NO_ERROR);
    // The reader's row: the rows before it are the board's devices.
    IWbemClassObject* row = nullptr;
    ULONG returned = 0;
    for (;;)
    {
        ASSERT_EQ(rows->Next(WBEM_INFINITE, 1, &row, &returned), WBEM_S_NO_ERROR);
        if (StringProperty(row, L"PNPDeviceID") == InstanceId("TR0001"))
        {
            break;
        }
        row->Release();
    }

    VARIANT value;
    VariantInit(&value);
    CIMTYPE type = 0;
    EXPECT_EQ(row->Get(L"pnpdeviceid", 0, &value, &type, nullptr), WBEM_S_NO_ERROR);
    EXPECT_EQ(value.vt, VT_BSTR);
    EXPECT_EQ(type, CIM_STRING);
    EXPECT_EQ(SysStringLen(value.bstrVal), InstanceId("TR0001").size());
    VariantClear(&value);
    // A property the query did not select is there, and null.
    EXPECT_EQ(StringProperty(row, L"Caption"), "<null>");
    EXPECT_EQ(StringProperty(row, L"Service"), "TARNOCOM");
    EXPECT_EQ(StringProperty(row, L"__CLASS"), "Win32_PnPEntity");

    value.vt = VT_I4;
    EXPECT_EQ(row->Get(L"PortName", 0, &value, nullptr, nullptr), WBEM_E_NOT_FOUND);
    EXPECT_EQ(row->Get(nullptr, 0, &value, nullptr, nullptr), WBEM_E_INVALID_PARAMETER);
    row->Release();

    // A forward-only enumerator does not go back.
    EXPECT_EQ(rows->Reset(), WBEM_E_INVALID_OPERATION);
    rows->Release();
}

TEST_F(WmiTest, ABidirectionalEnumeratorStartsOverAfterReset)
{
    IEnumWbemClassObject* rows = nullptr;
    ASSERT_EQ(Query(L"WQL", L"SELECT * FROM Win32_PnPEntity", WBEM_FLAG_RETURN_IMMEDIATELY, &rows),
              WBEM_S_NO_ERROR);
    IWbemClassObject* batch[64] = {};
    ULONG first = 0;
    EXPECT_EQ(rows->Next(0, 64, batch, &first), WBEM_S_FALSE);
    ASSERT_GE(first, 1u);
    for (ULONG i = 0; i < first; ++i)
    {
        batch[i]->Release();
    }
    ULONG none = 0;
    EXPECT_EQ(rows->Next(0, 1, batch, &none), WBEM_S_FALSE);
    EXPECT_EQ(none, 0u);

    EXPECT_EQ(rows->Reset(), WBEM_S_NO_ERROR);
    EXPECT_EQ(rows->Skip(WBEM_INFINITE, first - 1), WBEM_S_NO_ERROR);
    ULONG last = 0;
    EXPECT_EQ(rows->Next(WBEM_INFINITE, 2, batch, &last), WBEM_S_FALSE);
    EXPECT_EQ(last, 1u);
    batch[0]->Release();
    rows->Release();
}

struct BadQueryCase
{
    const char* name;
    const WCHAR* language;
    const WCHAR* query;
    HRESULT result;
};

class BadQueries : public WmiTest, public ::testing::WithParamInterface<BadQueryCase>
{
};

TEST_P(BadQueries, FailAsWmiFailsThem)
{
    const BadQueryCase& c = GetParam();
    IEnumWbemClassObject* rows = reinterpret_cast<IEnumWbemClassObject*>(1);
    EXPECT_EQ(Query(c.language, c.query, WBEM_FLAG_FORWARD_ONLY | WBEM_FLAG_RETURN_IMMEDIATELY, &rows),
              c.result);
    EXPECT_EQ(rows, nullptr);
}

INSTANTIATE_TEST_SUITE_P(
    ExecQuery, BadQueries,
    ::testing::Values(
        BadQueryCase{"OtherLanguage", L"SQL", L"SELECT * FROM Win32_PnPEntity", WBEM_E_INVALID_QUERY_TYPE},
        BadQueryCase{"UnknownClass", L"WQL", L"SELECT * FROM Win32_NoSuchThing", WBEM_E_INVALID_CLASS},
        BadQueryCase{"NoFrom", L"WQL", L"SELECT * Win32_PnPEntity", WBEM_E_INVALID_QUERY},
        BadQueryCase{"NoProperty", L"WQL", L"SELECT FROM Win32_PnPEntity", WBEM_E_INVALID_QUERY},
        BadQueryCase{"UnknownProperty", L"WQL", L"SELECT Colour FROM Win32_PnPEntity", WBEM_E_INVALID_QUERY},
        BadQueryCase{"TrailingWords", L"WQL", L"SELECT * FROM Win32_PnPEntity now", WBEM_E_INVALID_QUERY}),
    [](const ::testing::TestParamInfo<BadQueryCase>& info) { return info.param.name; });

struct NamespaceCase
{
    const char* name;
    const WCHAR* resource;
    HRESULT result;
};

class Namespaces : public WmiTest, public ::testing::WithParamInterface<NamespaceCase>
{
};

TEST_P(Namespaces, ConnectAsWmiDoes)
{
    const NamespaceCase& c = GetParam();
    BSTR resource = SysAllocString(c.resource);
    IWbemServices* other = reinterpret_cast<IWbemServices*>(1);
    EXPECT_EQ(locator->ConnectServer(resource, nullptr, nullptr, nullptr, 0, nullptr, nullptr, &other),
              c.result);
    SysFreeString(resource);
    if (SUCCEEDED(c.result))
    {
        ASSERT_NE(other, nullptr);
        other->Release();
    }
    else
    {
        EXPECT_EQ(other, nullptr);
    }
}

INSTANTIATE_TEST_SUITE_P(
    ConnectServer, Namespaces,
    ::testing::Values(NamespaceCase{"LowerCase", L"root\\cimv2", WBEM_S_NO_ERROR},
                      NamespaceCase{"ThisMachine", L"\\\\.\\ROOT\\CIMV2", WBEM_S_NO_ERROR},
                      NamespaceCase{"ForwardSlashes", L"//localhost/root/cimv2", WBEM_S_NO_ERROR},
                      NamespaceCase{"UnknownNamespace", L"ROOT\\NOSUCH", WBEM_E_INVALID_NAMESPACE},
                      NamespaceCase{"NoRoot", L"CIMV2", WBEM_E_INVALID_NAMESPACE},
                      NamespaceCase{"OtherMachine", L"\\\\FILESERVER\\ROOT\\CIMV2",
                                    HRESULT_FROM_WIN32(RPC_S_SERVER_UNAVAILABLE)}),
    [](const ::testing::TestParamInfo<NamespaceCase>& info) { return info.param.name; });

TEST_F(WmiTest, ObjectsCountTheirReferencesAndGoAtTheLastRelease)
{
    IEnumWbemClassObject* rows = nullptr;
    ASSERT_EQ(Query(L"WQL", L"SELECT * FROM Win32_PnPEntity", WBEM_FLAG_FORWARD_ONLY, &rows),
              WBEM_S_NO_ERROR);
    IWbemClassObject* row = nullptr;
    ULONG returned = 0;
    ASSERT_EQ(rows->Next(WBEM_INFINITE, 1, &row, &returned), WBEM_S_NO_ERROR);
    long live = winsim::LiveWmiObjects();
    EXPECT_EQ(live, baseline + 4); // locator, services, enumerator, row

    EXPECT_EQ(row->AddRef(), 2u);
    IUnknown* identity = nullptr;
    ASSERT_EQ(row->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&identity)), S_OK);
    EXPECT_EQ(identity, static_cast<IUnknown*>(row));
    EXPECT_EQ(identity->Release(), 2u);
    EXPECT_EQ(row->Release(), 1u);
    EXPECT_EQ(winsim::LiveWmiObjects(), live);
    EXPECT_EQ(row->Release(), 0u);
    EXPECT_EQ(winsim::LiveWmiObjects(), live - 1);

    // The enumerator answers the interfaces of a proxy, not a class object's.
    void* other = reinterpret_cast<void*>(1);
    EXPECT_EQ(rows->QueryInterface(IID_IWbemClassObject, &other), E_NOINTERFACE);
    EXPECT_EQ(other, nullptr);
    EXPECT_EQ(CoSetProxyBlanket(rows, RPC_C_AUTHN_WINNT, RPC_C_AUTHZ_NONE, nullptr, RPC_C_AUTHN_LEVEL_CALL,
                                RPC_C_IMP_LEVEL_IMPERSONATE, nullptr, EOAC_NONE),
              S_OK);
    // A reference taken through IUnknown keeps the enumerator after the first is released.
    ASSERT_EQ(rows->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&identity)), S_OK);
    EXPECT_EQ(rows->Release(), 1u);
    EXPECT_EQ(winsim::LiveWmiObjects(), live - 1);
    EXPECT_EQ(identity->Release(), 0u);
    EXPECT_EQ(winsim::LiveWmiObjects(), live - 2);
}

TEST_F(WmiTest, TheLocatorIsNoProxy)
{
    EXPECT_EQ(CoSetProxyBlanket(locator, RPC_C_AUTHN_WINNT, RPC_C_AUTHZ_NONE, nullptr, RPC_C_AUTHN_LEVEL_CALL,
                                RPC_C_IMP_LEVEL_IMPERSONATE, nullptr, EOAC_NONE),
              E_NOINTERFACE);
    EXPECT_EQ(CoSetProxyBlanket(services, RPC_C_AUTHN_WINNT, RPC_C_AUTHZ_NONE, nullptr, 9 /* no such level */,
                                RPC_C_IMP_LEVEL_IMPERSONATE, nullptr, EOAC_NONE),
              E_INVALIDARG);
}

struct CreateCase
{
    const char* name;
    bool otherClass;
    bool aggregate;
    DWORD context;
    bool servicesInterface;
    HRESULT result;
};

class CreateFailures : public WmiTest, public ::testing::WithParamInterface<CreateCase>
{
};

TEST_P(CreateFailures, LeaveNoObject)
{
    const CreateCase& c = GetParam();
    const CLSID otherClass = {0x12345678, 0x1234, 0x1234, {1, 2, 3, 4, 5, 6, 7, 8}};
    void* object = reinterpret_cast<void*>(1);
    EXPECT_EQ(CoCreateInstance(c.otherClass ? otherClass : CLSID_WbemLocator, c.aggregate ? locator : nullptr,
                               c.context, c.servicesInterface ? IID_IWbemServices : IID_IWbemLocator,
                               &object),
              c.result);
    EXPECT_EQ(object, nullptr);
}

INSTANTIATE_TEST_SUITE_P(
    CoCreateInstance, CreateFailures,
    ::testing::Values(
        CreateCase{"UnregisteredClass", true, false, CLSCTX_INPROC_SERVER, false, REGDB_E_CLASSNOTREG},
        CreateCase{"LocalServerOnly", false, false, CLSCTX_LOCAL_SERVER, false, REGDB_E_CLASSNOTREG},
        CreateCase{"Aggregated", false, true, CLSCTX_INPROC_SERVER, false, CLASS_E_NOAGGREGATION},
        CreateCase{"InterfaceItLacks", false, false, CLSCTX_ALL, true, E_NOINTERFACE}),
    [](const ::testing::TestParamInfo<CreateCase>& info) { return info.param.name; });

} // namespace
