// Framework devices on the Plug and Play path: the device stack, device interfaces enabled at
// start, symbolic links, a failed add callback, and the security string a device is created with.
#include "FxTestSupport.h"

#include "kmdf/FxSddl.h"

#include <optional>
#include <string>
#include <vector>

using namespace fxtest;

namespace
{

using fxtest::PrintTo;

constexpr GUID kInterface = {0x4d36e978, 0xe325, 0x11ce, {0xbf, 0xc1, 0x08, 0x00, 0x2b, 0xe1, 0x03, 0x18}};
constexpr GUID kLateInterface = {
    0x4d36e978, 0xe325, 0x11ce, {0xbf, 0xc1, 0x08, 0x00, 0x2b, 0xe1, 0x03, 0x19}};

// The test device IF01's interfaces of those classes, as the registry keeps them: Windows records
// the registration under DeviceClasses and, while an interface is enabled, the volatile value
// Linked in its Control key. The symbolic link of the first, as a DOS device name and as an object
// name.
constexpr char16_t kInterfaceClass[] = u"{4d36e978-e325-11ce-bfc1-08002be10318}";
constexpr char16_t kLateInterfaceClass[] = u"{4d36e978-e325-11ce-bfc1-08002be10319}";
constexpr char kInterfaceLink[] = "USB#VID_1209&PID_4658#IF01#{4d36e978-e325-11ce-bfc1-08002be10318}";
constexpr char16_t kInterfacePath[] =
    u"\\??\\USB#VID_1209&PID_4658#IF01#{4d36e978-e325-11ce-bfc1-08002be10318}";

std::u16string InterfaceKey(const char16_t* interfaceClass)
{
    return std::u16string(u"\\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Control\\DeviceClasses\\") +
           interfaceClass + u"\\##?#USB#VID_1209&PID_4658#IF01#" + interfaceClass;
}

class FxDeviceTest : public FxTest
{
  protected:
    bool Registered(const char16_t* interfaceClass)
    {
        return m_machine.RegistryKeyExists(InterfaceKey(interfaceClass));
    }
    bool Enabled(const char16_t* interfaceClass)
    {
        auto linked =
            m_machine.StoredRegistryValue(InterfaceKey(interfaceClass) + u"\\#\\Control", u"Linked");
        return linked && linked->type == REG_DWORD && linked->data == std::vector<uint8_t>{1, 0, 0, 0};
    }
    std::u16string InstanceOf(const char16_t* interfaceClass)
    {
        auto instance = m_machine.StoredRegistryValue(InterfaceKey(interfaceClass), u"DeviceInstance");
        if (!instance || instance->data.size() < sizeof(char16_t))
        {
            return u"";
        }
        return std::u16string(reinterpret_cast<const char16_t*>(instance->data.data()),
                              instance->data.size() / sizeof(char16_t) - 1);
    }
    // The object name of a physical device object, as its bus gave it.
    static std::u16string NameOf(PDEVICE_OBJECT pdo)
    {
        WCHAR name[64] = {};
        ULONG length = 0;
        EXPECT_EQ(
            IoGetDeviceProperty(pdo, DevicePropertyPhysicalDeviceObjectName, sizeof(name), name, &length),
            STATUS_SUCCESS);
        return std::u16string(reinterpret_cast<const char16_t*>(name));
    }
    // Opens a device by its object name as an application would, and closes it again.
    static NTSTATUS OpenAndClose(std::u16string_view name)
    {
        AppFile file;
        return file.Open(name, GENERIC_READ);
    }

    // The first of the driver object's device objects when the driver unloaded.
    std::optional<PDEVICE_OBJECT> m_deviceAtUnload;
    WDFDEVICE m_added = nullptr;
};

// The device the last open reached, as the driver's file create callback saw it.
WDFDEVICE g_opened = nullptr;

VOID RecordOpen(WDFDEVICE device, WDFREQUEST request, WDFFILEOBJECT)
{
    g_opened = device;
    WdfRequestComplete(request, STATUS_SUCCESS);
}

TEST_F(FxDeviceTest, DeviceSitsOnTopOfThePhysicalDeviceObject)
{
    m_machine.hooks.unload = [this](WDFDRIVER driver) {
        m_deviceAtUnload = WdfDriverWdmGetDriverObject(driver)->DeviceObject;
    };
    Device node = m_machine.Plug();
    ASSERT_EQ(node.State(), DeviceState::Started);
    WDFDEVICE device = m_machine.DeviceOf(node);
    ASSERT_NE(device, nullptr);
    PDEVICE_OBJECT fdo = WdfDeviceWdmGetDeviceObject(device);
    EXPECT_EQ(WdfDeviceWdmGetPhysicalDevice(device), node.PhysicalDeviceObject());
    EXPECT_EQ(WdfDeviceWdmGetAttachedDevice(device), node.PhysicalDeviceObject());
    EXPECT_EQ(node.PhysicalDeviceObject()->AttachedDevice, fdo);
    EXPECT_EQ(WdfWdmDeviceGetWdfDeviceHandle(fdo), device);
    EXPECT_EQ(WdfWdmDeviceGetWdfDeviceHandle(node.PhysicalDeviceObject()), nullptr)
        << "the bus driver's device object";
    EXPECT_EQ(fdo->DriverObject, WdfDriverWdmGetDriverObject(m_machine.Driver()));
    EXPECT_EQ(fdo->Flags & DO_DEVICE_INITIALIZING, 0u) << "the framework clears it after the add callback";
    EXPECT_EQ(WdfDeviceGetDriver(device), m_machine.Driver());
    m_machine.Unplug(node);
    EXPECT_EQ(node.State(), DeviceState::Removed);
    EXPECT_FALSE(m_machine.Loaded()) << "the driver unloads with its last device";
    EXPECT_EQ(m_deviceAtUnload, std::optional<PDEVICE_OBJECT>(nullptr))
        << "the framework deleted its device object";
}

// KMDF enables an interface created in the add callback when the device starts; one created
// after the start stays disabled until the driver enables it.
TEST_F(FxDeviceTest, InterfacesCreatedWhileAddingAreEnabledAtStart)
{
    g_opened = nullptr;
    m_machine.hooks.deviceAdd = [this](WDFDRIVER, PWDFDEVICE_INIT init) {
        WDF_FILEOBJECT_CONFIG files;
        WDF_FILEOBJECT_CONFIG_INIT(&files, RecordOpen, nullptr, nullptr);
        WdfDeviceInitSetFileObjectConfig(init, &files, WDF_NO_OBJECT_ATTRIBUTES);
        NTSTATUS status = WdfDeviceCreate(&init, WDF_NO_OBJECT_ATTRIBUTES, &m_added);
        if (NT_SUCCESS(status))
        {
            status = WdfDeviceCreateDeviceInterface(m_added, &kInterface, nullptr);
            EXPECT_TRUE(Registered(kInterfaceClass) && !Enabled(kInterfaceClass))
                << "registered, not yet enabled, while the device is being added";
        }
        return status;
    };
    Device node = m_machine.Plug(u"IF01");
    EXPECT_TRUE(Enabled(kInterfaceClass));
    EXPECT_EQ(InstanceOf(kInterfaceClass), node.InstancePath());
    EXPECT_EQ(DosDeviceTarget(kInterfaceLink), NameOf(node.PhysicalDeviceObject()))
        << "the link names the physical device";

    // Opening the interface reaches the framework device at the top of the stack.
    EXPECT_EQ(OpenAndClose(kInterfacePath), STATUS_SUCCESS);
    EXPECT_EQ(g_opened, m_added);

    ASSERT_EQ(WdfDeviceCreateDeviceInterface(m_added, &kLateInterface, nullptr), STATUS_SUCCESS);
    EXPECT_TRUE(Registered(kLateInterfaceClass));
    EXPECT_FALSE(Enabled(kLateInterfaceClass)) << "created after the start";

    m_machine.Unplug(node);
    EXPECT_FALSE(Enabled(kInterfaceClass));
    EXPECT_EQ(DosDeviceTarget(kInterfaceLink), std::nullopt);
}

TEST_F(FxDeviceTest, SymbolicLinkNamesTheDeviceUntilItIsRemoved)
{
    m_machine.hooks.deviceAdd = [](WDFDRIVER, PWDFDEVICE_INIT init) {
        UNICODE_STRING name = Us(L"\\Device\\FxLinked0");
        EXPECT_EQ(WdfDeviceInitAssignName(init, &name), STATUS_SUCCESS);
        WDFDEVICE device = nullptr;
        NTSTATUS status = WdfDeviceCreate(&init, WDF_NO_OBJECT_ATTRIBUTES, &device);
        if (NT_SUCCESS(status))
        {
            UNICODE_STRING link = Us(L"\\DosDevices\\FXL9");
            status = WdfDeviceCreateSymbolicLink(device, &link);
        }
        return status;
    };
    Device node = m_machine.Plug();
    WDFDEVICE device = m_machine.DeviceOf(node);
    WDFSTRING string = nullptr;
    ASSERT_EQ(WdfStringCreate(nullptr, WDF_NO_OBJECT_ATTRIBUTES, &string), STATUS_SUCCESS);
    ASSERT_EQ(WdfDeviceRetrieveDeviceName(device, string), STATUS_SUCCESS);
    UNICODE_STRING retrieved{};
    WdfStringGetUnicodeString(string, &retrieved);
    EXPECT_EQ(Text(&retrieved), u"\\Device\\FxLinked0");
    WdfObjectDelete(string);
    EXPECT_EQ(DosDeviceTarget("FXL9"), u"\\Device\\FxLinked0");
    EXPECT_EQ(OpenAndClose(u"\\??\\FXL9"), STATUS_SUCCESS);
    m_machine.Unplug(node);
    EXPECT_EQ(DosDeviceTarget("FXL9"), std::nullopt) << "the framework deletes the link at removal";
    EXPECT_EQ(OpenAndClose(u"\\Device\\FxLinked0"), STATUS_OBJECT_NAME_NOT_FOUND);
}

TEST_F(FxDeviceTest, FailedAddDeletesTheDeviceAndUnloadsTheDriver)
{
    static int cleanups;
    cleanups = 0;
    m_machine.hooks.deviceAdd = [](WDFDRIVER, PWDFDEVICE_INIT init) {
        WDF_OBJECT_ATTRIBUTES attributes;
        WDF_OBJECT_ATTRIBUTES_INIT(&attributes);
        attributes.EvtCleanupCallback = [](WDFOBJECT) { ++cleanups; };
        WDFDEVICE device = nullptr;
        NTSTATUS status = WdfDeviceCreate(&init, &attributes, &device);
        EXPECT_EQ(status, STATUS_SUCCESS);
        return STATUS_INSUFFICIENT_RESOURCES;
    };
    Device node = m_machine.Plug();
    EXPECT_EQ(node.State(), DeviceState::Failed);
    EXPECT_EQ(node.Problem(), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(cleanups, 1) << "the framework deletes the device it created";
    EXPECT_EQ(node.PhysicalDeviceObject()->AttachedDevice, nullptr);
    EXPECT_FALSE(m_machine.Loaded()) << "a driver left without devices by a failed add is unloaded";
}

// --- security strings ---------------------------------------------------------------------------

// A security string a driver assigns with WdfDeviceInitAssignSDDLString, and what it grants: the
// access of each allow entry, in order; no entries for a string outside the subset device objects
// take, which fails WdfDeviceCreate.
struct SddlCase
{
    const char* name;
    const wchar_t* sddl;
    bool valid;
    std::vector<ACCESS_MASK> access;
};

const SddlCase kSddlCases[] = {
    // The strings the kit predefines (SDDL_DEVOBJ_*), and the reader driver's own.
    {"KernelOnly", L"D:P", true, {}},
    {"SysAll", L"D:P(A;;GA;;;SY)", true, {GENERIC_ALL}},
    {"SysAllAdmAll", L"D:P(A;;GA;;;SY)(A;;GA;;;BA)", true, {GENERIC_ALL, GENERIC_ALL}},
    {"SysAllAdmRwxWorldR",
     L"D:P(A;;GA;;;SY)(A;;GRGWGX;;;BA)(A;;GR;;;WD)",
     true,
     {GENERIC_ALL, GENERIC_READ | GENERIC_WRITE | GENERIC_EXECUTE, GENERIC_READ}},
    {"SysAllAdmRwxWorldRResR",
     L"D:P(A;;GA;;;SY)(A;;GRGWGX;;;BA)(A;;GR;;;WD)(A;;GR;;;RC)",
     true,
     {GENERIC_ALL, GENERIC_READ | GENERIC_WRITE | GENERIC_EXECUTE, GENERIC_READ, GENERIC_READ}},
    {"ReaderDriver",
     L"D:P(A;;GA;;;SY)(A;;GA;;;BA)(A;;GA;;;WD)(A;;GA;;;RC)",
     true,
     {GENERIC_ALL, GENERIC_ALL, GENERIC_ALL, GENERIC_ALL}},
    {"SpecificRights", L"D:P(A;;RCSDWDWO;;;BU)", true, {READ_CONTROL | DELETE | WRITE_DAC | WRITE_OWNER}},
    {"HexAccess", L"D:P(A;;0x1F01FF;;;LS)", true, {0x1F01FF}},
    {"NumericSid", L"D:P(A;;GR;;;S-1-5-84-0-0-0-0-0)", true, {GENERIC_READ}},
    // Outside the subset.
    {"Empty", L"", false, {}},
    {"DaclWithoutProtection", L"D:(A;;GA;;;SY)", false, {}},
    {"OwnerFirst", L"O:BAD:P(A;;GA;;;SY)", false, {}},
    {"DenyEntry", L"D:P(D;;GA;;;BU)", false, {}},
    {"InheritanceFlags", L"D:P(A;CI;GA;;;SY)", false, {}},
    {"UnknownRight", L"D:P(A;;GZ;;;SY)", false, {}},
    {"NoRights", L"D:P(A;;;;;SY)", false, {}},
    {"EmptyHex", L"D:P(A;;0x;;;SY)", false, {}},
    {"HexTooLong", L"D:P(A;;0x100000000;;;SY)", false, {}},
    {"UnknownSid", L"D:P(A;;GA;;;XY)", false, {}},
    {"MissingField", L"D:P(A;;GA;;SY)", false, {}},
    {"UnclosedEntry", L"D:P(A;;GA;;;SY", false, {}},
    {"TextAfterTheEntries", L"D:P(A;;GA;;;SY)x", false, {}},
    {"SpaceBetweenEntries", L"D:P(A;;GA;;;SY) (A;;GA;;;BA)", false, {}},
};

class FxSddlTest : public FxDeviceTest, public ::testing::WithParamInterface<SddlCase>
{
};

TEST_P(FxSddlTest, ParsedAsDeviceObjectsTakeIt)
{
    const SddlCase& c = GetParam();
    auto text = reinterpret_cast<const char16_t*>(c.sddl);
    auto aces = winsim::wdf::ParseDeviceSddl(text);
    ASSERT_EQ(aces.has_value(), c.valid);
    if (aces)
    {
        std::vector<ACCESS_MASK> access;
        for (const auto& ace : *aces)
        {
            access.push_back(ace.access);
        }
        EXPECT_EQ(access, c.access);
    }
}

TEST_P(FxSddlTest, DeviceCreationTakesOnlyAStringInTheSubset)
{
    static const wchar_t* s_sddl;
    static NTSTATUS s_created;
    s_sddl = GetParam().sddl;
    s_created = STATUS_PENDING;
    m_machine.hooks.deviceAdd = [](WDFDRIVER, PWDFDEVICE_INIT init) {
        UNICODE_STRING name = Us(L"\\Device\\FxSecured0");
        UNICODE_STRING sddl = Us(s_sddl);
        EXPECT_EQ(WdfDeviceInitAssignName(init, &name), STATUS_SUCCESS);
        EXPECT_EQ(WdfDeviceInitAssignSDDLString(init, &sddl), STATUS_SUCCESS) << "checked at creation";
        WDFDEVICE device = nullptr;
        s_created = WdfDeviceCreate(&init, WDF_NO_OBJECT_ATTRIBUTES, &device);
        return s_created;
    };
    Device node = m_machine.Plug();
    if (GetParam().valid)
    {
        EXPECT_EQ(s_created, STATUS_SUCCESS);
        EXPECT_EQ(node.State(), DeviceState::Started);
        EXPECT_NE(OpenAndClose(u"\\Device\\FxSecured0"), STATUS_OBJECT_NAME_NOT_FOUND) << "the name is taken";
    }
    else
    {
        EXPECT_EQ(s_created, STATUS_INVALID_PARAMETER);
        EXPECT_EQ(node.State(), DeviceState::Failed);
        EXPECT_EQ(node.Problem(), STATUS_INVALID_PARAMETER);
        EXPECT_EQ(OpenAndClose(u"\\Device\\FxSecured0"), STATUS_OBJECT_NAME_NOT_FOUND)
            << "no device object was created";
    }
}

INSTANTIATE_TEST_SUITE_P(Strings, FxSddlTest, ::testing::ValuesIn(kSddlCases),
                         [](const ::testing::TestParamInfo<SddlCase>& info) {
                             return std::string(info.param.name);
                         });

} // namespace
