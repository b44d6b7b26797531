// The Plug and Play manager's events for user mode: kept once the process subscribed, taken in
// order, with an event that is signalled exactly while some wait.
#include "KernelTestSupport.h"

#include "kernel/Objects.h"
#include "kernel/Pnp.h"

#include <string>

namespace kerneltest
{
namespace
{

using winsim::syscall::PLUGPLAY_EVENT_RECORD;

const GUID InterfaceClass = {0x86E0D1E0, 0x8089, 0x11D0, {0x9C, 0xE4, 0x08, 0x00, 0x3E, 0x30, 0x1F, 0x73}};

class PnpEventTest : public KernelTest
{
  protected:
    winsim::kernel::PnpEventQueue& Events() { return System::Current().Pnp().Events(); }
};

std::u16string TextOf(const WCHAR* text)
{
    return std::u16string(reinterpret_cast<const char16_t*>(text));
}

TEST_F(PnpEventTest, NothingIsKeptBeforeTheProcessSubscribes)
{
    PLUGPLAY_EVENT_RECORD records[4];
    ULONG taken = 99;
    Events().DeviceArrived(u"USB\\VID_1209&PID_0001\\A");
    EXPECT_EQ(Events().Take(records, 4, &taken), STATUS_INVALID_DEVICE_STATE);
    EXPECT_EQ(taken, 0u);
    auto pending = Events().Subscribe();
    EXPECT_EQ(KeReadStateEvent(pending->Event()), 0);
    EXPECT_EQ(Events().Take(records, 4, &taken), STATUS_NO_MORE_ENTRIES);
    EXPECT_EQ(taken, 0u);
    EXPECT_EQ(Events().Subscribe(), pending); // one queue for the process
}

TEST_F(PnpEventTest, EventsComeInOrderWhileTheEventStaysSignalled)
{
    auto pending = Events().Subscribe();
    Events().InterfaceChanged(InterfaceClass, u"\\??\\USB#VID_1209&PID_0001#A#{x}",
                              u"USB\\VID_1209&PID_0001\\A", true);
    Events().DeviceArrived(u"USB\\VID_1209&PID_0001\\A");
    Events().DeviceRemoveCompleted(u"USB\\VID_1209&PID_0001\\A");
    EXPECT_NE(KeReadStateEvent(pending->Event()), 0);

    PLUGPLAY_EVENT_RECORD records[2];
    ULONG taken = 0;
    EXPECT_EQ(Events().Take(records, 2, &taken), STATUS_MORE_ENTRIES);
    ASSERT_EQ(taken, 2u);
    EXPECT_EQ(records[0].Kind, winsim::syscall::PlugPlayInterfaceArrival);
    EXPECT_TRUE(IsEqualGUID(records[0].InterfaceClassGuid, InterfaceClass));
    EXPECT_EQ(TextOf(records[0].SymbolicLink), u"\\??\\USB#VID_1209&PID_0001#A#{x}");
    EXPECT_EQ(records[1].Kind, winsim::syscall::PlugPlayDeviceArrival);
    EXPECT_EQ(TextOf(records[1].InstancePath), u"USB\\VID_1209&PID_0001\\A");
    EXPECT_EQ(TextOf(records[1].SymbolicLink), u"");
    EXPECT_NE(KeReadStateEvent(pending->Event()), 0); // one still waits

    EXPECT_EQ(Events().Take(records, 2, &taken), STATUS_SUCCESS);
    ASSERT_EQ(taken, 1u);
    EXPECT_EQ(records[0].Kind, winsim::syscall::PlugPlayDeviceRemoveComplete);
    EXPECT_EQ(KeReadStateEvent(pending->Event()), 0);
}

TEST_F(PnpEventTest, ALongPathIsCutAndTerminated)
{
    Events().Subscribe();
    Events().DeviceArrived(std::u16string(PLUGPLAY_MAX_INSTANCE_PATH + 10, u'X'));
    PLUGPLAY_EVENT_RECORD record;
    ULONG taken = 0;
    ASSERT_EQ(Events().Take(&record, 1, &taken), STATUS_SUCCESS);
    EXPECT_EQ(TextOf(record.InstancePath), std::u16string(PLUGPLAY_MAX_INSTANCE_PATH - 1, u'X'));
}

} // namespace
} // namespace kerneltest
