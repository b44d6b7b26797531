// IRQL, spin locks, and the verifier stops for waiting, sleeping and lock misuse at the wrong level.
#include "KernelTestSupport.h"

#include <atomic>

using namespace kerneltest;

namespace
{

using kerneltest::PrintTo;

class IrqlTest : public KernelTest
{
};

TEST_F(IrqlTest, RaiseAndLowerReturnThePreviousLevel)
{
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
    KIRQL first = HIGH_LEVEL;
    KeRaiseIrql(APC_LEVEL, &first);
    EXPECT_EQ(first, PASSIVE_LEVEL);
    EXPECT_EQ(KeGetCurrentIrql(), APC_LEVEL);
    KIRQL second = HIGH_LEVEL;
    KeRaiseIrql(DISPATCH_LEVEL, &second);
    EXPECT_EQ(second, APC_LEVEL);
    EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL);
    KeLowerIrql(second);
    EXPECT_EQ(KeGetCurrentIrql(), APC_LEVEL);
    KeLowerIrql(first);
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
    EXPECT_EQ(KeRaiseIrqlToDpcLevel(), PASSIVE_LEVEL);
    EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL);
    KeLowerIrql(PASSIVE_LEVEL);
}

TEST_F(IrqlTest, IrqlBelongsToTheThread)
{
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    KIRQL other = HIGH_LEVEL;
    std::thread([&] { other = KeGetCurrentIrql(); }).join();
    EXPECT_EQ(other, PASSIVE_LEVEL);
    KeLowerIrql(old);
}

// A routine that may be paged out: it states on entry that it runs at or below APC_LEVEL.
KIRQL PageableRoutine()
{
    PAGED_CODE();
    return KeGetCurrentIrql();
}

TEST_F(IrqlTest, PagedCodeRunsAtPassiveAndApcLevel)
{
    EXPECT_EQ(PageableRoutine(), PASSIVE_LEVEL);
    KIRQL old;
    KeRaiseIrql(APC_LEVEL, &old);
    EXPECT_EQ(PageableRoutine(), APC_LEVEL);
    KeLowerIrql(old);
}

// KeAcquireSpinLock raises to DISPATCH_LEVEL and KeReleaseSpinLock restores the level it was
// acquired at; the DPC-level pair leaves the IRQL alone.
struct SpinCase
{
    const char* name;
    KIRQL startIrql;
};

class SpinLockLevelTest : public KernelTest, public ::testing::WithParamInterface<SpinCase>
{
};

TEST_P(SpinLockLevelTest, AcquireRaisesAndReleaseRestores)
{
    KIRQL start;
    KeRaiseIrql(GetParam().startIrql, &start);
    KSPIN_LOCK lock;
    KeInitializeSpinLock(&lock);
    KIRQL old;
    KeAcquireSpinLock(&lock, &old);
    EXPECT_EQ(old, GetParam().startIrql);
    EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL);
    KeReleaseSpinLock(&lock, old);
    EXPECT_EQ(KeGetCurrentIrql(), GetParam().startIrql);

    KIRQL dpc;
    KeRaiseIrql(DISPATCH_LEVEL, &dpc);
    KeAcquireSpinLockAtDpcLevel(&lock);
    EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL);
    KeReleaseSpinLockFromDpcLevel(&lock);
    EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL);
    KeLowerIrql(dpc);
    // The lock was left free: acquiring it again does not spin.
    KeAcquireSpinLock(&lock, &old);
    KeReleaseSpinLock(&lock, old);
    KeLowerIrql(start);
}

INSTANTIATE_TEST_SUITE_P(Levels, SpinLockLevelTest,
                         ::testing::Values(SpinCase{"FromPassive", PASSIVE_LEVEL},
                                           SpinCase{"FromApc", APC_LEVEL},
                                           SpinCase{"FromDispatch", DISPATCH_LEVEL}),
                         [](const ::testing::TestParamInfo<SpinCase>& info) {
                             return std::string(info.param.name);
                         });

TEST_F(IrqlTest, SpinLockExcludesOtherThreads)
{
    KSPIN_LOCK lock;
    KeInitializeSpinLock(&lock);
    constexpr int Rounds = 20000;
    long counter = 0; // guarded by the spin lock alone
    std::atomic<bool> overlap{false};
    std::atomic<int> inside{0};
    auto work = [&] {
        for (int i = 0; i < Rounds; ++i)
        {
            KIRQL old;
            KeAcquireSpinLock(&lock, &old);
            if (inside.fetch_add(1) != 0)
            {
                overlap = true;
            }
            ++counter;
            inside.fetch_sub(1);
            KeReleaseSpinLock(&lock, old);
        }
    };
    std::thread a(work);
    std::thread b(work);
    a.join();
    b.join();
    EXPECT_FALSE(overlap.load());
    EXPECT_EQ(counter, 2L * Rounds);
}

// Each case of the tables in these files breaks one rule; the verifier stops the machine with a
// diagnostic naming it.
TEST_P(KernelVerifierDeathTest, Stops)
{
    EXPECT_DEATH(GetParam().body(), GetParam().diagnostic);
}

void RaiseToDispatch()
{
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
}

const StopCase kKernelStops[] = {
    {"TimedWaitAtDispatch",
     [] {
         KEVENT event;
         KeInitializeEvent(&event, NotificationEvent, FALSE);
         RaiseToDispatch();
         LARGE_INTEGER timeout = Relative(Ms(1));
         KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &timeout);
     },
     "VERIFIER STOP WAIT_AT_DISPATCH_LEVEL: KeWaitForSingleObject would wait at IRQL 2"},
    {"UnboundedWaitAtDispatch",
     [] {
         KEVENT event;
         KeInitializeEvent(&event, NotificationEvent, TRUE);
         RaiseToDispatch();
         KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
     },
     "VERIFIER STOP WAIT_AT_DISPATCH_LEVEL: KeWaitForSingleObject would wait at IRQL 2"},
    {"DelayAtDispatch",
     [] {
         RaiseToDispatch();
         LARGE_INTEGER interval = Relative(Ms(1));
         KeDelayExecutionThread(KernelMode, FALSE, &interval);
     },
     "VERIFIER STOP IRQL_TOO_HIGH: KeDelayExecutionThread called at IRQL 2"},
    {"ReleaseSpinLockNotHeld",
     [] {
         KSPIN_LOCK lock;
         KeInitializeSpinLock(&lock);
         RaiseToDispatch();
         KeReleaseSpinLock(&lock, PASSIVE_LEVEL);
     },
     "VERIFIER STOP SPIN_LOCK_MISUSE: KeReleaseSpinLock: spin lock 0x[0-9a-f]+ is not held by this thread"},
    {"ReleaseSpinLockHeldByAnotherThread",
     [] {
         static KSPIN_LOCK lock;
         KeInitializeSpinLock(&lock);
         std::thread([] {
             KIRQL old;
             KeAcquireSpinLock(&lock, &old);
             KeLowerIrql(old); // leaves the lock held by a thread that is gone
         }).join();
         RaiseToDispatch();
         KeReleaseSpinLockFromDpcLevel(&lock);
     },
     "VERIFIER STOP SPIN_LOCK_MISUSE: KeReleaseSpinLockFromDpcLevel: spin lock 0x[0-9a-f]+ is not held by "
     "this "
     "thread"},
    {"AcquireSpinLockAlreadyHeld",
     [] {
         KSPIN_LOCK lock;
         KeInitializeSpinLock(&lock);
         KIRQL old;
         KeAcquireSpinLock(&lock, &old);
         KeAcquireSpinLock(&lock, &old);
     },
     "VERIFIER STOP SPIN_LOCK_MISUSE: KeAcquireSpinLock: spin lock 0x[0-9a-f]+ is already held by this "
     "thread"},
    {"AcquireAtDpcLevelAlreadyHeld",
     [] {
         KSPIN_LOCK lock;
         KeInitializeSpinLock(&lock);
         RaiseToDispatch();
         KeAcquireSpinLockAtDpcLevel(&lock);
         KeAcquireSpinLockAtDpcLevel(&lock);
     },
     "VERIFIER STOP SPIN_LOCK_MISUSE: KeAcquireSpinLockAtDpcLevel: spin lock 0x[0-9a-f]+ is already held"},
    {"PagedCodeAtDispatch",
     [] {
         RaiseToDispatch();
         PageableRoutine();
     },
     "VERIFIER STOP IRQL_TOO_HIGH: PageableRoutine called at IRQL 2; it must run at or below IRQL 1"},
    {"LowerIrqlUpwards", [] { KeLowerIrql(DISPATCH_LEVEL); },
     "VERIFIER STOP IRQL_NOT_LOWERED: KeLowerIrql to 2 from the lower IRQL 0"},
    {"DpcReturnsHoldingASpinLock",
     [] {
         static KSPIN_LOCK lock;
         static KDPC dpc;
         KeInitializeSpinLock(&lock);
         KeInitializeDpc(
             &dpc, [](PKDPC, PVOID, PVOID, PVOID) { KeAcquireSpinLockAtDpcLevel(&lock); }, nullptr);
         KeInsertQueueDpc(&dpc, nullptr, nullptr);
         KeFlushQueuedDpcs();
     },
     "VERIFIER STOP IRQL_NOT_LOWERED: a DPC routine returned at IRQL 2 holding 1 spin lock"},
};

INSTANTIATE_TEST_SUITE_P(Dispatcher, KernelVerifierDeathTest, ::testing::ValuesIn(kKernelStops),
                         StopCaseName);

} // namespace
