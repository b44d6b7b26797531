// Quiescence of the dispatcher: after a test moves the clock, WaitForQuiescence returns only once
// what fell due has run: the timers' DPCs, the work they queued, and the waits they satisfied,
// while a work item asleep on the clock does not hold it up.
#include "KernelTestSupport.h"

#include <atomic>

using namespace kerneltest;

namespace
{

class QuiescenceTest : public KernelTest
{
};

// A periodic timer whose DPC does a little work each period, and a system thread woken by the DPC
// that does a little more.
struct Ticker
{
    KTIMER timer;
    KDPC dpc;
    KEVENT tick;
    std::atomic<int> dpcRounds{0};
    std::atomic<int> threadRounds{0};
    std::atomic<bool> stop{false};

    static void Busy()
    {
        for (int i = 0; i < 20; ++i)
        {
            std::this_thread::yield();
        }
    }

    static VOID Expired(PKDPC, PVOID context, PVOID, PVOID)
    {
        auto* ticker = static_cast<Ticker*>(context);
        Busy();
        ++ticker->dpcRounds;
        KeSetEvent(&ticker->tick, IO_NO_INCREMENT, FALSE);
    }
};

TEST_F(QuiescenceTest, EachPeriodsDpcAndTheWaitItSatisfiedHaveRunWhenQuiescenceReturns)
{
    Ticker ticker;
    KeInitializeTimer(&ticker.timer);
    KeInitializeDpc(&ticker.dpc, Ticker::Expired, &ticker);
    KeInitializeEvent(&ticker.tick, SynchronizationEvent, FALSE);
    // A work item stands for the system thread: it waits for each tick, does its part, waits again.
    Clock().QueueWork([&ticker] {
        while (KeWaitForSingleObject(&ticker.tick, Executive, KernelMode, FALSE, nullptr) == STATUS_SUCCESS &&
               !ticker.stop)
        {
            Ticker::Busy();
            ++ticker.threadRounds;
        }
    });
    LARGE_INTEGER due = Relative(Ms(100));
    KeSetTimerEx(&ticker.timer, due, 100, &ticker.dpc);
    Clock().WaitForQuiescence();
    EXPECT_EQ(ticker.dpcRounds.load(), 0);
    constexpr int Rounds = 200;
    for (int i = 1; i <= Rounds; ++i)
    {
        Clock().Advance(Ms(100));
        Clock().WaitForQuiescence();
        ASSERT_EQ(ticker.dpcRounds.load(), i) << "the DPC of period " << i;
        ASSERT_EQ(ticker.threadRounds.load(), i) << "the work the DPC woke, in period " << i;
    }
    KeCancelTimer(&ticker.timer);
    ticker.stop = true;
    KeSetEvent(&ticker.tick, IO_NO_INCREMENT, FALSE);
    Clock().WaitForIdle();
}

TEST_F(QuiescenceTest, AWorkItemAsleepOnTheClockDoesNotHoldQuiescenceUp)
{
    std::atomic<int> steps{0};
    Clock().QueueWork([&steps] {
        for (int i = 0; i < 3; ++i)
        {
            ++steps;
            LARGE_INTEGER pause = Relative(Ms(50));
            KeDelayExecutionThread(KernelMode, FALSE, &pause);
        }
        ++steps;
    });
    for (int expected = 1; expected <= 4; ++expected)
    {
        Clock().WaitForQuiescence();
        EXPECT_EQ(steps.load(), expected);
        Clock().Advance(Ms(50));
    }
    Clock().WaitForIdle();
}

} // namespace
