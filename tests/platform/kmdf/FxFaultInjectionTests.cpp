// Fault injection for the creation of framework objects: the creation a test picks fails with
// STATUS_INSUFFICIENT_RESOURCES and leaves nothing behind, for each kind of object, so that a
// driver's every creation failure path can be walked.
#include "FxTestSupport.h"

#include <string>

using namespace fxtest;

namespace
{

using fxtest::PrintTo;

// The device the cases create their objects under, named so that a test can open it.
WDFDEVICE g_device = nullptr;

NTSTATUS AddNamedDevice(WDFDRIVER, PWDFDEVICE_INIT init)
{
    UNICODE_STRING name = Us(L"\\Device\\FxFault0");
    WdfDeviceInitAssignName(init, &name);
    WDFDEVICE device = nullptr;
    NTSTATUS status = WdfDeviceCreate(&init, WDF_NO_OBJECT_ATTRIBUTES, &device);
    if (!NT_SUCCESS(status))
    {
        return status;
    }
    WDF_IO_QUEUE_CONFIG config;
    WDF_IO_QUEUE_CONFIG_INIT_DEFAULT_QUEUE(&config, WdfIoQueueDispatchParallel);
    config.EvtIoDeviceControl = [](WDFQUEUE, WDFREQUEST request, size_t, size_t, ULONG) {
        WdfRequestComplete(request, STATUS_SUCCESS);
    };
    return WdfIoQueueCreate(device, &config, WDF_NO_OBJECT_ATTRIBUTES, nullptr);
}

class FxFaultInjectionTest : public FxTest
{
  protected:
    void SetUp() override
    {
        m_machine.hooks.deviceAdd = AddNamedDevice;
        m_node = m_machine.Plug();
        ASSERT_EQ(m_node.State(), DeviceState::Started);
        g_device = m_machine.DeviceOf(m_node);
    }
    void TearDown() override { m_machine.ClearFrameworkObjectCreationFault(); }

    Device m_node;
};

// One kind of object and how a driver creates one (under the test's device where it needs a
// parent); the handle it receives, null when the creation failed.
struct KindCase
{
    const char* name;
    const char* kind; // the object's handle type
    NTSTATUS (*create)(WDFOBJECT* handle);
};

WDF_OBJECT_ATTRIBUTES UnderTheDevice(WDFDEVICE device)
{
    WDF_OBJECT_ATTRIBUTES attributes;
    WDF_OBJECT_ATTRIBUTES_INIT(&attributes);
    attributes.ParentObject = device;
    return attributes;
}

class FxCreationFaultTest : public FxFaultInjectionTest, public ::testing::WithParamInterface<KindCase>
{
};

const KindCase kKinds[] = {
    {"Object", "WDFOBJECT",
     [](WDFOBJECT* handle) { return WdfObjectCreate(WDF_NO_OBJECT_ATTRIBUTES, handle); }},
    {"Queue", "WDFQUEUE",
     [](WDFOBJECT* handle) {
         WDF_IO_QUEUE_CONFIG config;
         WDF_IO_QUEUE_CONFIG_INIT(&config, WdfIoQueueDispatchManual);
         return WdfIoQueueCreate(g_device, &config, WDF_NO_OBJECT_ATTRIBUTES,
                                 reinterpret_cast<WDFQUEUE*>(handle));
     }},
    {"Timer", "WDFTIMER",
     [](WDFOBJECT* handle) {
         WDF_TIMER_CONFIG config;
         WDF_TIMER_CONFIG_INIT(&config, [](WDFTIMER) {});
         WDF_OBJECT_ATTRIBUTES attributes = UnderTheDevice(g_device);
         return WdfTimerCreate(&config, &attributes, reinterpret_cast<WDFTIMER*>(handle));
     }},
    {"WorkItem", "WDFWORKITEM",
     [](WDFOBJECT* handle) {
         WDF_WORKITEM_CONFIG config;
         WDF_WORKITEM_CONFIG_INIT(&config, [](WDFWORKITEM) {});
         WDF_OBJECT_ATTRIBUTES attributes = UnderTheDevice(g_device);
         return WdfWorkItemCreate(&config, &attributes, reinterpret_cast<WDFWORKITEM*>(handle));
     }},
    {"SpinLock", "WDFSPINLOCK",
     [](WDFOBJECT* handle) {
         return WdfSpinLockCreate(WDF_NO_OBJECT_ATTRIBUTES, reinterpret_cast<WDFSPINLOCK*>(handle));
     }},
    {"WaitLock", "WDFWAITLOCK",
     [](WDFOBJECT* handle) {
         return WdfWaitLockCreate(WDF_NO_OBJECT_ATTRIBUTES, reinterpret_cast<WDFWAITLOCK*>(handle));
     }},
    {"Collection", "WDFCOLLECTION",
     [](WDFOBJECT* handle) {
         return WdfCollectionCreate(WDF_NO_OBJECT_ATTRIBUTES, reinterpret_cast<WDFCOLLECTION*>(handle));
     }},
    {"String", "WDFSTRING",
     [](WDFOBJECT* handle) {
         UNICODE_STRING text = Us(L"COM7");
         return WdfStringCreate(&text, WDF_NO_OBJECT_ATTRIBUTES, reinterpret_cast<WDFSTRING*>(handle));
     }},
    {"Memory", "WDFMEMORY",
     [](WDFOBJECT* handle) {
         return WdfMemoryCreate(WDF_NO_OBJECT_ATTRIBUTES, NonPagedPoolNx, 'tsTF', 64,
                                reinterpret_cast<WDFMEMORY*>(handle), nullptr);
     }},
    {"RegistryKey", "WDFKEY",
     [](WDFOBJECT* handle) {
         return WdfDeviceOpenRegistryKey(g_device, PLUGPLAY_REGKEY_DEVICE, KEY_READ, WDF_NO_OBJECT_ATTRIBUTES,
                                         reinterpret_cast<WDFKEY*>(handle));
     }},
};

TEST_P(FxCreationFaultTest, PickedCreationFailsOnceAndLeavesNothing)
{
    const KindCase& c = GetParam();
    const size_t poolBefore = m_machine.LivePoolAllocations();
    m_machine.FailFrameworkObjectCreation(0, c.kind);
    EXPECT_FALSE(m_machine.FrameworkObjectCreationFailed());
    WDFOBJECT handle = nullptr;
    EXPECT_EQ(c.create(&handle), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(handle, nullptr);
    EXPECT_TRUE(m_machine.FrameworkObjectCreationFailed());
    EXPECT_EQ(m_machine.LivePoolAllocations(), poolBefore) << "nothing of the object is left";

    ASSERT_EQ(c.create(&handle), STATUS_SUCCESS) << "the failure happens once";
    EXPECT_NE(handle, nullptr);
    WdfObjectDelete(handle);
}

INSTANTIATE_TEST_SUITE_P(Kinds, FxCreationFaultTest, ::testing::ValuesIn(kKinds),
                         [](const ::testing::TestParamInfo<KindCase>& info) {
                             return std::string(info.param.name);
                         });

TEST_F(FxFaultInjectionTest, SkipCountsCreationsOfTheChosenKindOnly)
{
    m_machine.FailFrameworkObjectCreation(1, "WDFSPINLOCK");
    WDFCOLLECTION collection = nullptr;
    WDFSPINLOCK first = nullptr;
    WDFSPINLOCK second = nullptr;
    EXPECT_EQ(WdfCollectionCreate(WDF_NO_OBJECT_ATTRIBUTES, &collection), STATUS_SUCCESS);
    EXPECT_EQ(WdfSpinLockCreate(WDF_NO_OBJECT_ATTRIBUTES, &first), STATUS_SUCCESS);
    EXPECT_FALSE(m_machine.FrameworkObjectCreationFailed());
    EXPECT_EQ(WdfSpinLockCreate(WDF_NO_OBJECT_ATTRIBUTES, &second), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_TRUE(m_machine.FrameworkObjectCreationFailed());
    WdfObjectDelete(collection);
    WdfObjectDelete(first);
}

TEST_F(FxFaultInjectionTest, WithoutAKindEveryCreationCounts)
{
    m_machine.FailFrameworkObjectCreation(2);
    WDFOBJECT objects[3] = {};
    EXPECT_EQ(WdfObjectCreate(WDF_NO_OBJECT_ATTRIBUTES, &objects[0]), STATUS_SUCCESS);
    EXPECT_EQ(WdfSpinLockCreate(WDF_NO_OBJECT_ATTRIBUTES, reinterpret_cast<WDFSPINLOCK*>(&objects[1])),
              STATUS_SUCCESS);
    EXPECT_EQ(WdfCollectionCreate(WDF_NO_OBJECT_ATTRIBUTES, reinterpret_cast<WDFCOLLECTION*>(&objects[2])),
              STATUS_INSUFFICIENT_RESOURCES);
    m_machine.ClearFrameworkObjectCreationFault();
    EXPECT_FALSE(m_machine.FrameworkObjectCreationFailed());
    WdfObjectDelete(objects[0]);
    WdfObjectDelete(objects[1]);
}

// The framework makes a request and a file object for each IRP that arrives; when it cannot, it
// completes the IRP itself and the driver sees nothing.
TEST_F(FxFaultInjectionTest, RequestsAndFileObjectsTheFrameworkMakes)
{
    m_machine.FailFrameworkObjectCreation(0, "WDFFILEOBJECT");
    AppFile file;
    EXPECT_EQ(file.Open(u"\\Device\\FxFault0", GENERIC_READ), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_TRUE(m_machine.FrameworkObjectCreationFailed());

    m_machine.FailFrameworkObjectCreation(0, "WDFREQUEST");
    EXPECT_EQ(file.Open(u"\\Device\\FxFault0", GENERIC_READ), STATUS_INSUFFICIENT_RESOURCES)
        << "the create request";
    ASSERT_EQ(file.Open(u"\\Device\\FxFault0", GENERIC_READ), STATUS_SUCCESS);
    m_machine.FailFrameworkObjectCreation(0, "WDFREQUEST");
    IoResult result = file.DeviceControl(0x222000);
    EXPECT_EQ(result.status, STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(file.DeviceControl(0x222000).status, STATUS_SUCCESS);
    EXPECT_EQ(file.Close(), STATUS_SUCCESS);
}

// A driver's add callback creates several objects; failing each creation in turn walks every
// failure path of the callback, and the verifier checks that none leaves anything behind.
TEST(FxFaultWalkTest, EveryCreationOfAnAddCallbackFailsInTurn)
{
    FxMachine machine;
    machine.hooks.deviceAdd = [](WDFDRIVER, PWDFDEVICE_INIT init) {
        WDFDEVICE device = nullptr;
        NTSTATUS status = WdfDeviceCreate(&init, WDF_NO_OBJECT_ATTRIBUTES, &device);
        WDF_OBJECT_ATTRIBUTES attributes = UnderTheDevice(device);
        WDFSPINLOCK lock = nullptr;
        WDFCOLLECTION collection = nullptr;
        WDFQUEUE queue = nullptr;
        if (NT_SUCCESS(status))
        {
            status = WdfSpinLockCreate(&attributes, &lock);
        }
        if (NT_SUCCESS(status))
        {
            status = WdfCollectionCreate(&attributes, &collection);
        }
        if (NT_SUCCESS(status))
        {
            WDF_IO_QUEUE_CONFIG config;
            WDF_IO_QUEUE_CONFIG_INIT(&config, WdfIoQueueDispatchManual);
            status = WdfIoQueueCreate(device, &config, WDF_NO_OBJECT_ATTRIBUTES, &queue);
        }
        return status;
    };
    unsigned failed = 0;
    for (unsigned skip = 0;; ++skip)
    {
        machine.FailFrameworkObjectCreation(skip);
        Device node = machine.Plug(u"W" + std::u16string(1, static_cast<char16_t>(u'0' + skip)));
        bool hit = machine.FrameworkObjectCreationFailed();
        machine.ClearFrameworkObjectCreationFault();
        if (!hit)
        {
            EXPECT_EQ(node.State(), DeviceState::Started);
            machine.Unplug(node);
            break;
        }
        ++failed;
        EXPECT_EQ(node.State(), DeviceState::Failed) << "creation " << skip;
        EXPECT_EQ(node.Problem(), STATUS_INSUFFICIENT_RESOURCES) << "creation " << skip;
        machine.Unplug(node);
        ASSERT_LT(skip, 10u) << "the walk ends";
    }
    EXPECT_EQ(failed, 5u) << "the driver (it loads again for each device), the device, the lock, the "
                             "collection and the queue";
}

} // namespace
