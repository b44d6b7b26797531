// The framework driver and the binding of its image: the image's driver globals name the driver
// its calls act for, and a DriverEntry that fails after WdfDriverCreate leaves nothing behind.
#include "FxTestSupport.h"

using namespace fxtest;

namespace
{

class FxDriverTest : public FxTest
{
};

TEST_F(FxDriverTest, GlobalsOfTheBoundImageNameItsDriver)
{
    ASSERT_EQ(m_machine.Plug().State(), DeviceState::Started);
    ASSERT_NE(WdfDriverGlobals, nullptr) << "the stub bound the test program's image";
    EXPECT_EQ(WdfDriverGlobals->Driver, m_machine.Driver());
    EXPECT_EQ(WdfGetDriver(), m_machine.Driver());
    EXPECT_STREQ(WdfDriverGlobals->DriverName, "FxTest") << "the service name";
    m_machine.UnplugAll();
    EXPECT_FALSE(m_machine.Loaded());
    EXPECT_EQ(WdfDriverGlobals, nullptr) << "unbound after the unload";
}

// KMDF deletes the driver object when DriverEntry fails after WdfDriverCreate: the driver's cleanup
// callback runs (a driver stops its tracing there), and what the driver created under it goes too.
TEST_F(FxDriverTest, DriverEntryFailingAfterWdfDriverCreateDeletesTheDriver)
{
    static int driverCleanups;
    static int lockCleanups;
    driverCleanups = 0;
    lockCleanups = 0;
    m_machine.hooks.driverCleanup = [](WDFOBJECT) { ++driverCleanups; };
    m_machine.hooks.created = [](WDFDRIVER) {
        WDF_OBJECT_ATTRIBUTES attributes;
        WDF_OBJECT_ATTRIBUTES_INIT(&attributes);
        attributes.EvtCleanupCallback = [](WDFOBJECT) { ++lockCleanups; };
        WDFWAITLOCK lock = nullptr;
        EXPECT_EQ(WdfWaitLockCreate(&attributes, &lock), STATUS_SUCCESS);
    };
    m_machine.hooks.entryStatus = STATUS_INSUFFICIENT_RESOURCES;
    Device refused = m_machine.Plug(u"0001");
    EXPECT_EQ(refused.State(), DeviceState::Failed);
    EXPECT_EQ(refused.Problem(), STATUS_INSUFFICIENT_RESOURCES) << "what DriverEntry returned";
    EXPECT_FALSE(m_machine.Loaded());
    EXPECT_EQ(driverCleanups, 1);
    EXPECT_EQ(lockCleanups, 1);
    EXPECT_EQ(WdfDriverGlobals, nullptr) << "the image is unbound";
    m_machine.Unplug(refused);

    // The image binds afresh at the next load.
    m_machine.hooks.entryStatus = STATUS_SUCCESS;
    ASSERT_EQ(m_machine.Plug(u"0002").State(), DeviceState::Started);
    EXPECT_EQ(WdfGetDriver(), m_machine.Driver());
    EXPECT_EQ(lockCleanups, 1);
    m_machine.UnplugAll();
    EXPECT_EQ(driverCleanups, 2);
    EXPECT_EQ(lockCleanups, 2);
}

const StopCase kBindingStops[] = {
    {"CallFromAnUnboundImage",
     [] {
         FxMachine machine;
         WDFOBJECT object = nullptr;
         WdfObjectCreate(WDF_NO_OBJECT_ATTRIBUTES, &object);
     },
     "VERIFIER STOP OBJECT_MISUSE: WdfObjectCreate: the calling driver image is not bound to the framework"},
    {"ObjectKeptAfterAFailedDriverEntry",
     [] {
         FxMachine machine;
         machine.hooks.created = [](WDFDRIVER) {
             WDFOBJECT object = nullptr;
             WdfObjectCreate(WDF_NO_OBJECT_ATTRIBUTES, &object);
             WdfObjectReference(object);
         };
         machine.hooks.entryStatus = STATUS_UNSUCCESSFUL;
         machine.Plug();
     },
     "VERIFIER STOP OBJECT_LEAK: 1 framework object\\(s\\) outlive the driver after its DriverEntry "
     "failed:\n "
     "+WDFOBJECT 0x[0-9a-f]+ \\(deleted, still referenced"},
};

INSTANTIATE_TEST_SUITE_P(Binding, FxVerifierDeathTest, ::testing::ValuesIn(kBindingStops), StopCaseName);

} // namespace
