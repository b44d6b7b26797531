// Framework devices on the Plug and Play path: the device stack, device interfaces enabled at
// start, symbolic links, and a failed add callback.
#include "FxTestSupport.h"

#include "kernel/Namespace.h"

#include <string>
#include <vector>

using namespace fxtest;
using winsim::kernel::DeviceNodeState;

namespace
{

constexpr GUID kInterface = {0x4d36e978, 0xe325, 0x11ce, {0xbf, 0xc1, 0x08, 0x00, 0x2b, 0xe1, 0x03, 0x18}};
constexpr GUID kLateInterface = {
    0x4d36e978, 0xe325, 0x11ce, {0xbf, 0xc1, 0x08, 0x00, 0x2b, 0xe1, 0x03, 0x19}};

class FxDeviceTest : public FxTest
{
  protected:
    std::vector<winsim::kernel::DeviceInterfaceInstance> Interfaces(const GUID& guid)
    {
        return m_machine.Kernel().Namespace().Interfaces(guid);
    }
};

TEST_F(FxDeviceTest, DeviceSitsOnTopOfThePhysicalDeviceObject)
{
    DeviceNode* node = m_machine.Plug();
    ASSERT_EQ(node->state, DeviceNodeState::Started);
    WDFDEVICE device = m_machine.DeviceOf(node);
    ASSERT_NE(device, nullptr);
    PDEVICE_OBJECT fdo = WdfDeviceWdmGetDeviceObject(device);
    EXPECT_EQ(WdfDeviceWdmGetPhysicalDevice(device), node->pdo);
    EXPECT_EQ(WdfDeviceWdmGetAttachedDevice(device), node->pdo);
    EXPECT_EQ(node->pdo->AttachedDevice, fdo);
    EXPECT_EQ(fdo->DriverObject, m_machine.Wdm());
    EXPECT_EQ(fdo->Flags & DO_DEVICE_INITIALIZING, 0u) << "the framework clears it after the add callback";
    EXPECT_EQ(WdfDeviceGetDriver(device), m_machine.Driver());
    m_machine.Unplug(node);
    EXPECT_EQ(node->state, DeviceNodeState::Removed);
    EXPECT_FALSE(m_machine.Loaded()) << "the driver unloads with its last device";
    EXPECT_FALSE(m_machine.Io().IsLiveDevice(fdo)) << "the framework deleted its device object";
}

// KMDF enables an interface created in the add callback when the device starts; one created
// after the start stays disabled until the driver enables it.
TEST_F(FxDeviceTest, InterfacesCreatedWhileAddingAreEnabledAtStart)
{
    WDFDEVICE added = nullptr;
    m_machine.hooks.deviceAdd = [this, &added](WDFDRIVER, PWDFDEVICE_INIT init) {
        NTSTATUS status = WdfDeviceCreate(&init, WDF_NO_OBJECT_ATTRIBUTES, &added);
        if (NT_SUCCESS(status))
        {
            status = WdfDeviceCreateDeviceInterface(added, &kInterface, nullptr);
            EXPECT_TRUE(Interfaces(kInterface).size() == 1 && !Interfaces(kInterface)[0].enabled)
                << "registered, not yet enabled, while the device is being added";
        }
        return status;
    };
    DeviceNode* node = m_machine.Plug(u"IF01");
    auto interfaces = Interfaces(kInterface);
    ASSERT_EQ(interfaces.size(), 1u);
    EXPECT_TRUE(interfaces[0].enabled);
    EXPECT_EQ(interfaces[0].pdo, node->pdo);
    EXPECT_EQ(interfaces[0].symbolicLink, u"\\??\\ROOT#FXTEST#IF01#{4d36e978-e325-11ce-bfc1-08002be10318}");
    EXPECT_EQ(m_machine.Kernel().Namespace().Lookup(interfaces[0].symbolicLink), node->pdo);

    // Opening the interface reaches the framework device at the top of the stack.
    std::shared_ptr<winsim::kernel::OpenFile> file;
    ASSERT_EQ(m_machine.Io().Open(interfaces[0].symbolicLink, GENERIC_READ, 0, &file), STATUS_SUCCESS);
    EXPECT_EQ(file->topDevice, WdfDeviceWdmGetDeviceObject(added));
    m_machine.Io().Close(file);

    ASSERT_EQ(WdfDeviceCreateDeviceInterface(added, &kLateInterface, nullptr), STATUS_SUCCESS);
    ASSERT_EQ(Interfaces(kLateInterface).size(), 1u);
    EXPECT_FALSE(Interfaces(kLateInterface)[0].enabled) << "created after the start";

    m_machine.Unplug(node);
    EXPECT_TRUE(Interfaces(kInterface).empty());
    EXPECT_EQ(m_machine.Kernel().Namespace().Lookup(
                  u"\\??\\ROOT#FXTEST#IF01#{4d36e978-e325-11ce-bfc1-08002be10318}"),
              nullptr);
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
    DeviceNode* node = m_machine.Plug();
    WDFDEVICE device = m_machine.DeviceOf(node);
    auto& names = m_machine.Kernel().Namespace();
    EXPECT_EQ(names.Lookup(u"\\??\\FXL9"), WdfDeviceWdmGetDeviceObject(device));
    EXPECT_EQ(names.LinkTarget(u"\\GLOBAL??\\FXL9"), u"\\Device\\FxLinked0");
    WDFSTRING string = nullptr;
    ASSERT_EQ(WdfStringCreate(nullptr, WDF_NO_OBJECT_ATTRIBUTES, &string), STATUS_SUCCESS);
    ASSERT_EQ(WdfDeviceRetrieveDeviceName(device, string), STATUS_SUCCESS);
    UNICODE_STRING retrieved{};
    WdfStringGetUnicodeString(string, &retrieved);
    EXPECT_EQ(Text(&retrieved), u"\\Device\\FxLinked0");
    WdfObjectDelete(string);
    m_machine.Unplug(node);
    EXPECT_FALSE(names.LinkTarget(u"\\??\\FXL9").has_value()) << "the framework deletes the link at removal";
    EXPECT_EQ(names.Lookup(u"\\Device\\FxLinked0"), nullptr);
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
    DeviceNode* node = m_machine.Plug();
    EXPECT_EQ(node->state, DeviceNodeState::Failed);
    EXPECT_EQ(node->problem, STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(cleanups, 1) << "the framework deletes the device it created";
    EXPECT_EQ(node->pdo->AttachedDevice, nullptr);
    EXPECT_FALSE(m_machine.Loaded()) << "a driver left without devices by a failed add is unloaded";
}

} // namespace
