// Dispatcher objects on the virtual clock: timed waits, events, delays, kernel timers and DPCs.
// Nothing here sleeps on wall-clock time: a helper thread blocks on the virtual clock and the
// test thread moves the clock.
#include "KernelTestSupport.h"

#include <atomic>
#include <mutex>
#include <vector>

using namespace kerneltest;

namespace
{

using kerneltest::PrintTo;

class SchedulerTest : public KernelTest
{
};

TEST_F(SchedulerTest, RelativeWaitTimesOutOnlyOnceTheClockReachesTheDeadline)
{
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    const ULONGLONG deadline = KeQueryInterruptTime() + Ms(100);
    ULONGLONG timeAtReturn = 0;
    NTSTATUS status = STATUS_PENDING;
    std::thread waiter([&] {
        LARGE_INTEGER timeout = Relative(Ms(100));
        status = KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &timeout);
        timeAtReturn = KeQueryInterruptTime();
    });
    WaitForDeadline(deadline);
    Clock().Advance(Ms(100) - 1);
    // The waiter has looked at the new time; had it ended its wait, its deadline would be gone.
    Clock().WaitForWaitersToSettle();
    EXPECT_EQ(Clock().NextDeadline(), deadline) << "the wait ended before its time-out";
    Clock().Advance(1);
    waiter.join();
    EXPECT_EQ(status, STATUS_TIMEOUT);
    EXPECT_EQ(timeAtReturn, deadline);
    EXPECT_FALSE(Clock().NextDeadline().has_value()) << "the finished wait left its deadline behind";
}

TEST_F(SchedulerTest, TimedWaitEndsWithSuccessWhenSignalledBeforeTheDeadline)
{
    KEVENT event;
    KeInitializeEvent(&event, SynchronizationEvent, FALSE);
    NTSTATUS status = STATUS_PENDING;
    std::thread waiter([&] {
        LARGE_INTEGER timeout = Relative(Ms(500));
        status = KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &timeout);
    });
    WaitForDeadline(Ms(500));
    Clock().Advance(Ms(499));
    KeSetEvent(&event, IO_NO_INCREMENT, FALSE);
    waiter.join();
    EXPECT_EQ(status, STATUS_SUCCESS);
    EXPECT_EQ(KeReadStateEvent(&event), 0) << "the satisfied wait resets a synchronization event";
}

TEST_F(SchedulerTest, AbsoluteTimeoutInThePastDoesNotWait)
{
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    Clock().Advance(Ms(1000));
    LARGE_INTEGER now;
    KeQuerySystemTime(&now);
    EXPECT_EQ(now.QuadPart, m_system.Config().bootSystemTime + static_cast<LONGLONG>(Ms(1000)));
    LARGE_INTEGER past;
    past.QuadPart = now.QuadPart - static_cast<LONGLONG>(Ms(10));
    EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &past), STATUS_TIMEOUT);
}

// Notification events stay signalled for every waiter; synchronization events let one wait
// through and reset themselves.
struct EventCase
{
    const char* name;
    EVENT_TYPE type;
    KIRQL pollIrql; // zero time-out waits are legal up to DISPATCH_LEVEL
    NTSTATUS secondWait;
    LONG stateAfterTwoWaits;
};

class EventSemanticsTest : public KernelTest, public ::testing::WithParamInterface<EventCase>
{
};

TEST_P(EventSemanticsTest, SetWaitAndReset)
{
    const EventCase& c = GetParam();
    KEVENT event;
    KeInitializeEvent(&event, c.type, FALSE);
    LARGE_INTEGER zero{};
    KIRQL old;
    KeRaiseIrql(c.pollIrql, &old);
    EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &zero), STATUS_TIMEOUT);
    EXPECT_EQ(KeSetEvent(&event, IO_NO_INCREMENT, FALSE), 0) << "the previous state was not signalled";
    EXPECT_EQ(KeSetEvent(&event, IO_NO_INCREMENT, FALSE), 1) << "the previous state was signalled";
    EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &zero), STATUS_SUCCESS);
    EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &zero), c.secondWait);
    EXPECT_EQ(KeReadStateEvent(&event), c.stateAfterTwoWaits);
    KeSetEvent(&event, IO_NO_INCREMENT, FALSE);
    EXPECT_EQ(KeResetEvent(&event), 1);
    EXPECT_EQ(KeReadStateEvent(&event), 0);
    KeLowerIrql(old);
}

INSTANTIATE_TEST_SUITE_P(
    Events, EventSemanticsTest,
    ::testing::Values(EventCase{"Notification", NotificationEvent, PASSIVE_LEVEL, STATUS_SUCCESS, 1},
                      EventCase{"Synchronization", SynchronizationEvent, PASSIVE_LEVEL, STATUS_TIMEOUT, 0},
                      EventCase{"NotificationPolledAtDispatch", NotificationEvent, DISPATCH_LEVEL,
                                STATUS_SUCCESS, 1},
                      EventCase{"SynchronizationPolledAtDispatch", SynchronizationEvent, DISPATCH_LEVEL,
                                STATUS_TIMEOUT, 0}),
    [](const ::testing::TestParamInfo<EventCase>& info) { return std::string(info.param.name); });

// One KeSetEvent releases every waiter of a notification event but only one of a
// synchronization event.
struct WakeCase
{
    const char* name;
    EVENT_TYPE type;
    int releasedBySecondSet; // waiters released once the event was set a second time
    int releasedByFirstSet;
};

class EventWakeTest : public KernelTest, public ::testing::WithParamInterface<WakeCase>
{
};

TEST_P(EventWakeTest, WaitersReleasedBySet)
{
    const WakeCase& c = GetParam();
    KEVENT event;
    KeInitializeEvent(&event, c.type, FALSE);
    std::atomic<int> released{0};
    std::atomic<int> failures{0};
    // Long time-outs register the waits with the clock, so the test sees them blocked; the
    // second one is shorter, so the next deadline changes once it is registered too.
    auto wait = [&](ULONGLONG timeoutUnits) {
        LARGE_INTEGER timeout = Relative(timeoutUnits);
        if (KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &timeout) != STATUS_SUCCESS)
        {
            ++failures;
        }
        ++released;
    };
    std::thread first(wait, Ms(2 * 3600 * 1000));
    WaitForDeadline(Ms(2 * 3600 * 1000));
    std::thread second(wait, Ms(3600 * 1000));
    WaitForDeadline(Ms(3600 * 1000));
    KeSetEvent(&event, IO_NO_INCREMENT, FALSE);
    while (released.load() < c.releasedByFirstSet)
    {
        std::this_thread::yield();
    }
    if (c.releasedByFirstSet == 1)
    {
        EXPECT_EQ(KeReadStateEvent(&event), 0) << "a synchronization event resets as it releases a waiter";
        KeSetEvent(&event, IO_NO_INCREMENT, FALSE);
    }
    first.join();
    second.join();
    EXPECT_EQ(released.load(), c.releasedBySecondSet);
    EXPECT_EQ(failures.load(), 0);
}

INSTANTIATE_TEST_SUITE_P(Events, EventWakeTest,
                         ::testing::Values(WakeCase{"Notification", NotificationEvent, 2, 2},
                                           WakeCase{"Synchronization", SynchronizationEvent, 2, 1}),
                         [](const ::testing::TestParamInfo<WakeCase>& info) {
                             return std::string(info.param.name);
                         });

} // namespace
