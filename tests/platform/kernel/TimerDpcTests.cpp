// Kernel timers, DPCs and delays on the virtual clock.
#include "KernelTestSupport.h"

#include <atomic>
#include <mutex>
#include <vector>

using namespace kerneltest;

namespace
{

using kerneltest::PrintTo;

// One DPC processor, so that DPCs run in the order they were queued.
SystemConfig OneProcessor()
{
    SystemConfig config;
    config.processors = 1;
    return config;
}

class TimerTest : public KernelTest
{
  protected:
    TimerTest() : KernelTest(OneProcessor()) {}

    struct Firing
    {
        int id;
        KIRQL irql;
        std::thread::id thread;
        PVOID argument1;
        PVOID argument2;
    };

    // A timer with its DPC, recording each run of the DPC.
    struct Probe
    {
        TimerTest* test;
        int id;
        KTIMER timer;
        KDPC dpc;
    };

    static VOID Record(PKDPC, PVOID context, PVOID argument1, PVOID argument2)
    {
        auto* probe = static_cast<Probe*>(context);
        std::lock_guard<std::mutex> guard(probe->test->m_lock);
        probe->test->m_firings.push_back(
            Firing{probe->id, KeGetCurrentIrql(), std::this_thread::get_id(), argument1, argument2});
    }

    void Init(Probe& probe, int id, TIMER_TYPE type = NotificationTimer)
    {
        probe.test = this;
        probe.id = id;
        KeInitializeTimerEx(&probe.timer, type);
        KeInitializeDpc(&probe.dpc, Record, &probe);
    }

    std::vector<Firing> Firings()
    {
        Clock().WaitForDpcsIdle();
        std::lock_guard<std::mutex> guard(m_lock);
        return m_firings;
    }

    std::vector<int> FiredIds()
    {
        std::vector<int> ids;
        for (const Firing& firing : Firings())
        {
            ids.push_back(firing.id);
        }
        return ids;
    }

    std::mutex m_lock;
    std::vector<Firing> m_firings;
};

TEST_F(TimerTest, TimersFireInDueOrderAtDispatchLevelOnADpcThread)
{
    Probe probes[3];
    const ULONGLONG due[3] = {Ms(30), Ms(10), Ms(20)};
    for (int i = 0; i < 3; ++i)
    {
        Init(probes[i], i);
        EXPECT_FALSE(KeSetTimer(&probes[i].timer, Relative(due[i]), &probes[i].dpc));
    }
    Clock().Advance(Ms(10) - 1);
    EXPECT_TRUE(FiredIds().empty()) << "nothing is due before 10 ms";
    EXPECT_FALSE(KeReadStateTimer(&probes[1].timer));
    Clock().Advance(Ms(20) + 1);
    EXPECT_EQ(FiredIds(), (std::vector<int>{1, 2, 0}));
    for (const Firing& firing : Firings())
    {
        EXPECT_EQ(firing.irql, DISPATCH_LEVEL);
        EXPECT_NE(firing.thread, std::this_thread::get_id()) << "DPCs run on the machine's DPC threads";
    }
    for (auto& probe : probes)
    {
        EXPECT_TRUE(KeReadStateTimer(&probe.timer)) << "an expired timer is signalled";
    }
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
}

TEST_F(TimerTest, SetTimerReportsWhetherTheTimerWasAlreadySet)
{
    Probe probe;
    Init(probe, 7);
    EXPECT_FALSE(KeSetTimer(&probe.timer, Relative(Ms(50)), &probe.dpc));
    // Setting it again replaces the due time and says it was pending.
    EXPECT_TRUE(KeSetTimer(&probe.timer, Relative(Ms(80)), &probe.dpc));
    Clock().Advance(Ms(50));
    EXPECT_TRUE(FiredIds().empty()) << "the first due time was replaced";
    Clock().Advance(Ms(30));
    EXPECT_EQ(FiredIds(), std::vector<int>{7});
    // An expired timer is no longer set.
    EXPECT_FALSE(KeSetTimer(&probe.timer, Relative(Ms(10)), &probe.dpc));
    EXPECT_FALSE(KeReadStateTimer(&probe.timer)) << "setting a timer clears its signal state";
    EXPECT_TRUE(KeCancelTimer(&probe.timer));
}

TEST_F(TimerTest, CancelledTimerNeverFires)
{
    Probe probe;
    Init(probe, 1);
    KeSetTimer(&probe.timer, Relative(Ms(10)), &probe.dpc);
    EXPECT_TRUE(KeCancelTimer(&probe.timer));
    EXPECT_FALSE(KeCancelTimer(&probe.timer)) << "a timer that is not set cannot be cancelled";
    Clock().Advance(Ms(100));
    EXPECT_TRUE(FiredIds().empty());
    EXPECT_FALSE(KeReadStateTimer(&probe.timer));
    EXPECT_FALSE(Clock().NextDeadline().has_value());
}

TEST_F(TimerTest, PeriodicTimerFiresEveryPeriodUntilCancelled)
{
    Probe probe;
    Init(probe, 3);
    LARGE_INTEGER due = Relative(Ms(10));
    KeSetTimerEx(&probe.timer, due, 10, &probe.dpc);
    for (size_t period = 1; period <= 3; ++period)
    {
        Clock().Advance(Ms(10));
        EXPECT_EQ(FiredIds().size(), period) << "after period " << period;
        EXPECT_EQ(Clock().NextDeadline(), Ms(10) * (period + 1)) << "re-armed one period after its due time";
    }
    Clock().Advance(Ms(5));
    EXPECT_EQ(FiredIds().size(), 3u);
    EXPECT_TRUE(KeCancelTimer(&probe.timer));
    Clock().Advance(Ms(100));
    EXPECT_EQ(FiredIds().size(), 3u);
}

// A timer's DPC gets the system time at which the timer expired, as Windows passes it: the low 32
// bits in SystemArgument1 and the high 32 bits in SystemArgument2.
struct ExpiryCase
{
    const char* name;
    bool absolute;       // due time given as a system time rather than relative to now
    ULONGLONG due;       // since boot
    LONG period;         // milliseconds; 0: one-shot
    ULONGLONG overshoot; // how far past the first due time the clock's first move goes
    int firings;         // steps (the later ones one period each), one firing each
};

class TimerExpiryTest : public TimerTest, public ::testing::WithParamInterface<ExpiryCase>
{
};

TEST_P(TimerExpiryTest, DpcGetsTheExpirySystemTimeInTwoHalves)
{
    const ExpiryCase& c = GetParam();
    const LONGLONG boot = m_system.Config().bootSystemTime;
    Clock().Advance(Ms(3)); // so that interrupt time and time since the timer was set differ
    Probe probe;
    Init(probe, 1);
    LARGE_INTEGER due;
    due.QuadPart = c.absolute ? boot + static_cast<LONGLONG>(c.due) : -static_cast<LONGLONG>(c.due - Ms(3));
    KeSetTimerEx(&probe.timer, due, c.period, &probe.dpc);
    for (int i = 0; i < c.firings; ++i)
    {
        Clock().Advance(i == 0 ? c.due - Ms(3) + c.overshoot : Ms(static_cast<ULONGLONG>(c.period)));
        std::vector<Firing> firings = Firings();
        ASSERT_EQ(firings.size(), static_cast<size_t>(i + 1));
        const ULONGLONG expiry = static_cast<ULONGLONG>(boot) + c.due +
                                 static_cast<ULONGLONG>(i) * Ms(static_cast<ULONGLONG>(c.period));
        SCOPED_TRACE(i);
        EXPECT_EQ(reinterpret_cast<uintptr_t>(firings[i].argument1), expiry & 0xFFFFFFFF) << "low part";
        EXPECT_EQ(reinterpret_cast<uintptr_t>(firings[i].argument2), expiry >> 32) << "high part";
    }
    KeCancelTimer(&probe.timer);
}

INSTANTIATE_TEST_SUITE_P(
    Timers, TimerExpiryTest,
    ::testing::Values(ExpiryCase{"RelativeOneShot", false, Ms(40), 0, 0, 1},
                      ExpiryCase{"AbsoluteOneShot", true, Ms(2500), 0, 0, 1},
                      // One move far past the due time: the timer expired as the clock passed its due time.
                      ExpiryCase{"ClockJumpsPastTheDueTime", false, Ms(40), 0, Ms(900), 1},
                      ExpiryCase{"PeriodicEveryPeriod", false, Ms(10), 250, 0, 3}),
    [](const ::testing::TestParamInfo<ExpiryCase>& info) { return std::string(info.param.name); });

// A timer is a dispatcher object: a notification timer stays signalled for every waiter, a
// synchronization timer satisfies one wait.
struct TimerWaitCase
{
    const char* name;
    TIMER_TYPE type;
    NTSTATUS secondWait;
};

class TimerWaitTest : public TimerTest, public ::testing::WithParamInterface<TimerWaitCase>
{
};

TEST_P(TimerWaitTest, ExpiredTimerSatisfiesWaits)
{
    Probe probe;
    Init(probe, 0, GetParam().type);
    KeSetTimer(&probe.timer, Relative(Ms(10)), nullptr);
    LARGE_INTEGER zero{};
    EXPECT_EQ(KeWaitForSingleObject(&probe.timer, Executive, KernelMode, FALSE, &zero), STATUS_TIMEOUT);
    Clock().Advance(Ms(10));
    EXPECT_EQ(KeWaitForSingleObject(&probe.timer, Executive, KernelMode, FALSE, &zero), STATUS_SUCCESS);
    EXPECT_EQ(KeWaitForSingleObject(&probe.timer, Executive, KernelMode, FALSE, &zero),
              GetParam().secondWait);
}

INSTANTIATE_TEST_SUITE_P(
    Timers, TimerWaitTest,
    ::testing::Values(TimerWaitCase{"Notification", NotificationTimer, STATUS_SUCCESS},
                      TimerWaitCase{"Synchronization", SynchronizationTimer, STATUS_TIMEOUT}),
    [](const ::testing::TestParamInfo<TimerWaitCase>& info) { return std::string(info.param.name); });

TEST_F(TimerTest, AdvanceToNextDeadlineVisitsTimersAndTimedWaitsInOrder)
{
    Probe probe;
    Init(probe, 5);
    KeSetTimer(&probe.timer, Relative(Ms(5000)), &probe.dpc);
    std::atomic<bool> slept{false};
    std::thread sleeper([&] {
        LARGE_INTEGER interval = Relative(Ms(2000));
        EXPECT_EQ(KeDelayExecutionThread(KernelMode, FALSE, &interval), STATUS_SUCCESS);
        slept = true;
    });
    WaitForDeadline(Ms(2000));
    ASSERT_TRUE(Clock().AdvanceToNextDeadline());
    EXPECT_EQ(KeQueryInterruptTime(), Ms(2000));
    sleeper.join();
    EXPECT_TRUE(slept.load());
    EXPECT_TRUE(FiredIds().empty()) << "the timer is not due yet";
    EXPECT_EQ(Clock().NextDeadline(), Ms(5000));
    ASSERT_TRUE(Clock().AdvanceToNextDeadline());
    EXPECT_EQ(KeQueryInterruptTime(), Ms(5000));
    EXPECT_EQ(FiredIds(), std::vector<int>{5});
    EXPECT_FALSE(Clock().AdvanceToNextDeadline()) << "nothing is pending any more";
    EXPECT_EQ(KeQueryInterruptTime(), Ms(5000));
}

TEST_F(TimerTest, DelayReturnsOnlyAfterTheClockAdvancesPastTheInterval)
{
    ULONGLONG timeAtReturn = 0;
    std::thread sleeper([&] {
        LARGE_INTEGER interval = Relative(Ms(250));
        KeDelayExecutionThread(KernelMode, FALSE, &interval);
        timeAtReturn = KeQueryInterruptTime();
    });
    WaitForDeadline(Ms(250));
    Clock().Advance(Ms(250) - 1);
    Clock().WaitForWaitersToSettle();
    EXPECT_EQ(Clock().NextDeadline(), Ms(250)) << "the delay ended early";
    Clock().Advance(1);
    sleeper.join();
    EXPECT_EQ(timeAtReturn, Ms(250));
}

// DPCs queued directly: queued once until they run, removable while queued, and called with the
// system arguments of the queueing.
TEST_F(TimerTest, DpcQueueSemantics)
{
    struct Blocker
    {
        std::atomic<bool> running{false};
        std::atomic<bool> release{false};
    } blocker;
    KDPC blocking;
    // Spinning at DISPATCH_LEVEL keeps the single DPC processor busy without waiting.
    KeInitializeDpc(
        &blocking,
        [](PKDPC, PVOID context, PVOID, PVOID) {
            auto* b = static_cast<Blocker*>(context);
            b->running = true;
            while (!b->release.load())
            {
                std::this_thread::yield();
            }
        },
        &blocker);
    ASSERT_TRUE(KeInsertQueueDpc(&blocking, nullptr, nullptr));
    while (!blocker.running.load())
    {
        std::this_thread::yield();
    }
    Probe first;
    Probe second;
    Init(first, 1);
    Init(second, 2);
    EXPECT_TRUE(KeInsertQueueDpc(&first.dpc, reinterpret_cast<PVOID>(0x11), reinterpret_cast<PVOID>(0x12)));
    EXPECT_FALSE(KeInsertQueueDpc(&first.dpc, nullptr, nullptr)) << "a queued DPC is not queued twice";
    EXPECT_TRUE(KeInsertQueueDpc(&second.dpc, nullptr, nullptr));
    EXPECT_TRUE(KeRemoveQueueDpc(&second.dpc));
    EXPECT_FALSE(KeRemoveQueueDpc(&second.dpc)) << "no longer queued";
    blocker.release = true;
    KeFlushQueuedDpcs();
    std::vector<Firing> firings = Firings();
    ASSERT_EQ(firings.size(), 1u);
    EXPECT_EQ(firings[0].id, 1);
    EXPECT_EQ(firings[0].argument1, reinterpret_cast<PVOID>(0x11)) << "the first queueing's arguments";
    EXPECT_EQ(firings[0].argument2, reinterpret_cast<PVOID>(0x12));
    // Once run, the DPC can be queued again.
    EXPECT_TRUE(KeInsertQueueDpc(&first.dpc, nullptr, nullptr));
    EXPECT_EQ(Firings().size(), 2u);
}

} // namespace
