// Ke* synchronisation routines: spin locks, events, waits, timers, DPCs and time.
#include "Scheduler.h"
#include "System.h"
#include "Thread.h"
#include "Verifier.h"

#include <sched.h>

using namespace winsim;
using namespace winsim::kernel;

namespace
{

Scheduler& Dispatcher()
{
    return System::Current().GetScheduler();
}

// A spin lock word holds the owning thread's state while held, 0 while free.
ULONG_PTR OwnerWord()
{
    return reinterpret_cast<ULONG_PTR>(&CurrentThread());
}

void AcquireSpin(PKSPIN_LOCK lock, const char* routine)
{
    ULONG_PTR me = OwnerWord();
    if (__atomic_load_n(lock, __ATOMIC_RELAXED) == me)
    {
        VerifierStop(VerifierRule::SpinLockMisuse,
                     "%s: spin lock %p is already held by this thread (deadlock)", routine,
                     static_cast<void*>(lock));
    }
    for (;;)
    {
        ULONG_PTR expected = 0;
        if (__atomic_compare_exchange_n(lock, &expected, me, false, __ATOMIC_ACQUIRE, __ATOMIC_RELAXED))
        {
            break;
        }
        sched_yield();
    }
    ++CurrentThread().spinLocksHeld;
}

void ReleaseSpin(PKSPIN_LOCK lock, const char* routine)
{
    ULONG_PTR me = OwnerWord();
    ULONG_PTR owner = __atomic_load_n(lock, __ATOMIC_RELAXED);
    if (owner != me)
    {
        VerifierStop(VerifierRule::SpinLockMisuse, "%s: spin lock %p is not held by this thread", routine,
                     static_cast<void*>(lock));
    }
    --CurrentThread().spinLocksHeld;
    __atomic_store_n(lock, 0, __ATOMIC_RELEASE);
}

void CheckWaitAllowed(const char* routine, bool zeroTimeout)
{
    KIRQL irql = CurrentIrql();
    if (irql >= DISPATCH_LEVEL && !zeroTimeout)
    {
        VerifierStop(
            VerifierRule::WaitAtDispatch,
            "%s would wait at IRQL %u; waits with a non-zero time-out need IRQL below DISPATCH_LEVEL",
            routine, static_cast<unsigned>(irql));
    }
    if (CurrentThread().spinLocksHeld != 0 && !zeroTimeout)
    {
        VerifierStop(VerifierRule::WaitAtDispatch, "%s would wait while holding a spin lock", routine);
    }
}

} // namespace

extern "C"
{

    VOID KeInitializeSpinLock(PKSPIN_LOCK SpinLock)
    {
        __atomic_store_n(SpinLock, 0, __ATOMIC_RELEASE);
    }

    KIRQL KeAcquireSpinLockRaiseToDpc(PKSPIN_LOCK SpinLock)
    {
        RequireIrqlAtMost(DISPATCH_LEVEL, "KeAcquireSpinLock");
        KIRQL old;
        KeRaiseIrql(DISPATCH_LEVEL, &old);
        AcquireSpin(SpinLock, "KeAcquireSpinLock");
        return old;
    }

    VOID KeReleaseSpinLock(PKSPIN_LOCK SpinLock, KIRQL NewIrql)
    {
        if (CurrentIrql() != DISPATCH_LEVEL)
        {
            VerifierStop(VerifierRule::IrqlNotLowered,
                         "KeReleaseSpinLock called at IRQL %u instead of DISPATCH_LEVEL",
                         static_cast<unsigned>(CurrentIrql()));
        }
        ReleaseSpin(SpinLock, "KeReleaseSpinLock");
        KeLowerIrql(NewIrql);
    }

    VOID KeAcquireSpinLockAtDpcLevel(PKSPIN_LOCK SpinLock)
    {
        if (CurrentIrql() < DISPATCH_LEVEL)
        {
            VerifierStop(VerifierRule::IrqlTooHigh,
                         "KeAcquireSpinLockAtDpcLevel called at IRQL %u below DISPATCH_LEVEL",
                         static_cast<unsigned>(CurrentIrql()));
        }
        AcquireSpin(SpinLock, "KeAcquireSpinLockAtDpcLevel");
    }

    VOID KeReleaseSpinLockFromDpcLevel(PKSPIN_LOCK SpinLock)
    {
        ReleaseSpin(SpinLock, "KeReleaseSpinLockFromDpcLevel");
    }

    VOID KeInitializeEvent(PRKEVENT Event, EVENT_TYPE Type, BOOLEAN State)
    {
        Dispatcher().InitializeEvent(Event, Type, State != FALSE);
    }

    LONG KeSetEvent(PRKEVENT Event, KPRIORITY, BOOLEAN)
    {
        RequireIrqlAtMost(DISPATCH_LEVEL, "KeSetEvent");
        return Dispatcher().SetEvent(Event);
    }

    VOID KeClearEvent(PRKEVENT Event)
    {
        Dispatcher().ResetEvent(Event);
    }

    LONG KeResetEvent(PRKEVENT Event)
    {
        RequireIrqlAtMost(DISPATCH_LEVEL, "KeResetEvent");
        return Dispatcher().ResetEvent(Event);
    }

    LONG KeReadStateEvent(PRKEVENT Event)
    {
        return Dispatcher().ReadState(&Event->Header);
    }

    NTSTATUS KeWaitForSingleObject(PVOID Object, KWAIT_REASON, KPROCESSOR_MODE, BOOLEAN,
                                   PLARGE_INTEGER Timeout)
    {
        bool zeroTimeout = Timeout != nullptr && Timeout->QuadPart == 0;
        CheckWaitAllowed("KeWaitForSingleObject", zeroTimeout);
        Scheduler& scheduler = Dispatcher();
        std::optional<ULONGLONG> deadline;
        if (Timeout != nullptr)
        {
            deadline = scheduler.DeadlineFromTimeout(Timeout->QuadPart);
        }
        return scheduler.WaitForObject(static_cast<DISPATCHER_HEADER*>(Object), deadline);
    }

    NTSTATUS KeDelayExecutionThread(KPROCESSOR_MODE, BOOLEAN, PLARGE_INTEGER Interval)
    {
        RequireIrqlAtMost(APC_LEVEL, "KeDelayExecutionThread");
        CheckWaitAllowed("KeDelayExecutionThread", false);
        Scheduler& scheduler = Dispatcher();
        scheduler.DelayUntil(scheduler.DeadlineFromTimeout(Interval->QuadPart));
        return STATUS_SUCCESS;
    }

    VOID KeInitializeMutex(PRKMUTEX Mutex, ULONG)
    {
        Dispatcher().InitializeMutant(Mutex, nullptr);
    }

    LONG KeReleaseMutex(PRKMUTEX Mutex, BOOLEAN)
    {
        RequireIrqlAtMost(DISPATCH_LEVEL, "KeReleaseMutex");
        LONG previous = 0;
        if (Dispatcher().ReleaseMutant(Mutex, &previous) == STATUS_MUTANT_NOT_OWNED)
        {
            VerifierStop(VerifierRule::ObjectMisuse, "KeReleaseMutex(%p) by a thread that does not own it",
                         static_cast<void*>(Mutex));
        }
        return previous;
    }

    LONG KeReadStateMutex(PRKMUTEX Mutex)
    {
        return Dispatcher().ReadState(&Mutex->Header);
    }

    VOID KeQuerySystemTime(PLARGE_INTEGER CurrentTime)
    {
        CurrentTime->QuadPart = Dispatcher().SystemTime();
    }

    VOID KeQuerySystemTimePrecise(PLARGE_INTEGER CurrentTime)
    {
        CurrentTime->QuadPart = Dispatcher().SystemTime();
    }

    ULONGLONG KeQueryInterruptTime(void)
    {
        return Dispatcher().InterruptTime();
    }

    VOID KeInitializeDpc(PRKDPC Dpc, PKDEFERRED_ROUTINE DeferredRoutine, PVOID DeferredContext)
    {
        Dispatcher().InitializeDpc(Dpc, DeferredRoutine, DeferredContext);
    }

    BOOLEAN KeInsertQueueDpc(PRKDPC Dpc, PVOID SystemArgument1, PVOID SystemArgument2)
    {
        return Dispatcher().QueueDpc(Dpc, SystemArgument1, SystemArgument2) ? TRUE : FALSE;
    }

    BOOLEAN KeRemoveQueueDpc(PRKDPC Dpc)
    {
        return Dispatcher().RemoveDpc(Dpc) ? TRUE : FALSE;
    }

    VOID KeFlushQueuedDpcs(void)
    {
        RequireIrqlAtMost(PASSIVE_LEVEL, "KeFlushQueuedDpcs");
        Dispatcher().WaitForDpcsIdle();
    }

    VOID KeInitializeTimer(PKTIMER Timer)
    {
        Dispatcher().InitializeTimer(Timer, NotificationTimer);
    }

    VOID KeInitializeTimerEx(PKTIMER Timer, TIMER_TYPE Type)
    {
        Dispatcher().InitializeTimer(Timer, Type);
    }

    BOOLEAN KeSetTimer(PKTIMER Timer, LARGE_INTEGER DueTime, PKDPC Dpc)
    {
        return KeSetTimerEx(Timer, DueTime, 0, Dpc);
    }

    BOOLEAN KeSetTimerEx(PKTIMER Timer, LARGE_INTEGER DueTime, LONG Period, PKDPC Dpc)
    {
        RequireIrqlAtMost(DISPATCH_LEVEL, "KeSetTimerEx");
        Scheduler& scheduler = Dispatcher();
        return scheduler.SetTimer(Timer, scheduler.DeadlineFromTimeout(DueTime.QuadPart), Period, Dpc)
                   ? TRUE
                   : FALSE;
    }

    BOOLEAN KeCancelTimer(PKTIMER Timer)
    {
        RequireIrqlAtMost(DISPATCH_LEVEL, "KeCancelTimer");
        return Dispatcher().CancelTimer(Timer) ? TRUE : FALSE;
    }

    BOOLEAN KeReadStateTimer(PKTIMER Timer)
    {
        return Dispatcher().ReadState(&Timer->Header) != 0 ? TRUE : FALSE;
    }

} // extern "C"
