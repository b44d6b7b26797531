// The machine's dispatcher: one virtual clock, the dispatcher lock under which every wait and
// signal happens, kernel timers, and the DPC threads that run deferred procedure calls at
// DISPATCH_LEVEL.
//
// Time is virtual by default. It moves only when a test advances it; waits with a time-out,
// KeDelayExecutionThread and timers all run on it, so a 2-second delay costs no real time. A machine
// that runs programs for a person (the launcher's) runs on real time instead: the clock follows the
// host's monotonic clock, read afresh whenever the machine looks at the time, and a clock thread
// wakes at each deadline to fire the timers and end the waits that fall due.
#pragma once

#include <wdm.h>

#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <thread>
#include <vector>

namespace winsim::kernel
{

class Scheduler
{
  public:
    // bootSystemTime: system time (100 ns since 1601) at boot. dpcThreads: number of processors
    // that run DPCs concurrently. realTime: the clock follows the host's clock.
    Scheduler(LONGLONG bootSystemTime, unsigned dpcThreads, bool realTime = false);
    ~Scheduler();
    Scheduler(const Scheduler&) = delete;
    Scheduler& operator=(const Scheduler&) = delete;

    // 100-ns units since boot.
    ULONGLONG InterruptTime() const;
    // 100-ns units since 1 January 1601.
    LONGLONG SystemTime() const;

    // Moves the clock forward, fires the timers that fall due on the way (in due order) and
    // wakes the waits whose time-out passed.
    void Advance(ULONGLONG delta);
    // Moves the clock to the earliest pending deadline (timer or timed wait). False when none.
    bool AdvanceToNextDeadline();
    std::optional<ULONGLONG> NextDeadline() const;

    // Blocks until every thread blocked in a dispatcher wait (KeWaitForSingleObject,
    // KeDelayExecutionThread) has looked at the latest signal or clock movement and has either
    // returned or gone back to sleep. A test calls it after moving the clock to assert that a
    // wait did not end, without sleeping.
    void WaitForWaitersToSettle();

    // Blocks until the machine is quiescent: every live thread created by CreateThread (other than
    // the caller) is asleep in a dispatcher wait that it has looked at since the latest signal or
    // clock movement and found unsatisfied, or has ended; every other thread asleep in a dispatcher
    // wait has likewise looked at the latest change; no DPC is queued or running; and no system
    // work item is queued or running, except one asleep in such a wait. A thread whose wait a signal
    // has just satisfied counts as running until it has run and gone back to sleep (or ended); a
    // created thread that has not reached its first wait counts as running. A thread blocked
    // outside the dispatcher (a host lock, a critical section) also counts as running, so this
    // returns only once it gets past it.
    // A test calls it after moving the clock or signalling an application's thread, to know that
    // what that set off has finished.
    void WaitForQuiescence();

    // Blocks until no DPC is queued or running.
    void WaitForDpcsIdle();
    // Blocks until no DPC and no system work item is queued or running.
    void WaitForIdle();
    // Like WaitForIdle, but while every running work item sleeps in a wait, moves the clock on to
    // the next deadline, so that a work item pausing on the clock runs to its end. Returns once
    // nothing runs, or what runs waits for something the clock cannot bring.
    void RunUntilIdle();

    // From now on a clock thread moves the clock on to the next deadline whenever the machine is
    // idle: quiescent as WaitForQuiescence means it, with the calling thread (a program's main
    // thread, which CreateThread did not start) counted as one of the created threads, and no
    // child process running. A thread that runs, or is blocked outside the dispatcher (a host
    // lock, a console read), holds the clock still; a child process does too, since what it does
    // is invisible to this machine and a timed wait for it must not run out while it works. This
    // is the clock of a program's own machine on virtual time: a Sleep(1000) ends as soon as
    // everything else waits, and the program sees 1000 ms passed.
    void AdvanceWhenIdle();
    // A child process started, or ended (see AdvanceWhenIdle).
    void ChildProcessStarted();
    void ChildProcessEnded();

    // --- system worker threads: work at PASSIVE_LEVEL ---
    void QueueWork(std::function<void()> work);

    // --- dispatcher objects (called by the Ke* routines) ---
    void InitializeEvent(KEVENT* event, EVENT_TYPE type, bool state);
    LONG SetEvent(KEVENT* event);
    LONG ResetEvent(KEVENT* event);
    LONG ReadState(DISPATCHER_HEADER* header);
    // Waits for a dispatcher object (event, timer or mutant). deadline is interrupt time, or none.
    // Returns STATUS_SUCCESS, STATUS_ABANDONED for an abandoned mutant, or STATUS_TIMEOUT.
    NTSTATUS WaitForObject(DISPATCHER_HEADER* header, std::optional<ULONGLONG> deadline);
    // Waits for any or all of several objects, as KeWaitForMultipleObjects: STATUS_WAIT_0 + i (or
    // STATUS_ABANDONED_WAIT_0 + i) names the object that satisfied a WaitAny; a WaitAll takes them
    // all at once.
    // *acquired (when given) gets a bit for each mutant the wait made the caller's, where the
    // caller did not own it before.
    NTSTATUS WaitForObjects(DISPATCHER_HEADER* const* headers, ULONG count, WAIT_TYPE type,
                            std::optional<ULONGLONG> deadline, ULONG64* acquired = nullptr);
    // Sleeps until the interrupt time reaches the deadline.
    void DelayUntil(ULONGLONG deadline);

    // Mutants. owner: the thread that owns it from the start, or none. Release by a thread that does
    // not own it fails with STATUS_MUTANT_NOT_OWNED; *previous gets the signal state before.
    void InitializeMutant(KMUTANT* mutant, void* owner);
    // *freed (when given) tells whether the release was the owner's last.
    NTSTATUS ReleaseMutant(KMUTANT* mutant, LONG* previous, bool* freed = nullptr);
    // A thread ended: every mutant it owns becomes free and abandoned (its next waiter learns it).
    void AbandonMutantsOf(void* thread);
    // The memory of a mutant goes away: the scheduler forgets it.
    void ForgetMutant(KMUTANT* mutant);

    // --- threads created by user mode (CreateThread) ---
    // A thread object's header: a dispatcher object that becomes signalled, for good, when the
    // thread ends.
    void InitializeThread(DISPATCHER_HEADER* header);
    // A created thread counts as live, and running, from its creation until ThreadEnded; the
    // calling host thread becomes one with BindCreatedThread (ThreadState::createdThread).
    void ThreadCreated();
    void BindCreatedThread();
    // The thread ended (on the thread itself, or for one that never started): its object is
    // signalled and it no longer counts.
    void ThreadEnded(DISPATCHER_HEADER* header, bool onThread);

    void InitializeTimer(KTIMER* timer, TIMER_TYPE type);
    // due: interrupt time at which the timer expires; period in milliseconds (0: one-shot).
    bool SetTimer(KTIMER* timer, ULONGLONG due, LONG period, KDPC* dpc);
    bool CancelTimer(KTIMER* timer);

    void InitializeDpc(KDPC* dpc, PKDEFERRED_ROUTINE routine, PVOID context);
    bool QueueDpc(KDPC* dpc, PVOID argument1, PVOID argument2);
    bool RemoveDpc(KDPC* dpc);

    // Converts a Ke time-out (negative relative, positive absolute system time) to interrupt time.
    ULONGLONG DeadlineFromTimeout(LONGLONG timeout) const;

  private:
    struct TimerEntry
    {
        ULONGLONG due;
        LONG period;
        KDPC* dpc;
    };

    // A thread blocked in a dispatcher wait, and the last change it has looked at.
    struct Waiter
    {
        ULONGLONG seenChange;
    };
    template <typename Done>
    void BlockUntil(std::unique_lock<std::mutex>& lock, Done done);
    void NotifyChangedLocked();

    void DpcThreadMain(unsigned index);
    void ClockThreadMain();
    void IdleClockThreadMain();
    // On real time: moves the clock to the host's time, firing what fell due.
    void CatchUpLocked();
    void AdvanceToLocked(ULONGLONG target);
    void WorkerThreadMain();
    void FireDueTimersLocked();
    bool QueueDpcLocked(KDPC* dpc, PVOID argument1, PVOID argument2);
    bool IsSignalledLocked(DISPATCHER_HEADER* header, void* thread) const;
    bool IsQuiescentLocked() const;
    // Takes the object for the waiting thread; true when it was an abandoned mutant. *acquired
    // tells whether a mutant changed owner to the thread.
    bool SatisfyWaitLocked(DISPATCHER_HEADER* header, void* thread, bool* acquired);
    // The owner's list of mutants (ThreadState::ownedMutants).
    static void LinkOwnedLocked(KMUTANT* mutant, void* thread);
    static void UnlinkOwnedLocked(KMUTANT* mutant);

    mutable std::mutex m_lock;
    std::condition_variable m_changed; // any signal or clock movement
    std::condition_variable m_settled; // a waiter looked at the latest change
    ULONGLONG m_changes = 0;           // count of signals and clock movements
    std::vector<Waiter*> m_waiters;
    unsigned m_workersBlocked = 0;      // system worker threads asleep in a dispatcher wait
    unsigned m_threadsLive = 0;         // created threads not yet ended
    unsigned m_threadsBlocked = 0;      // created threads asleep in a dispatcher wait
    std::condition_variable m_dpcReady; // work for the DPC threads
    // The DPC queue drained, a work item ended, a waiter went to sleep or woke, or a created
    // thread ended: what RunUntilIdle, WaitForIdle and WaitForQuiescence wait for.
    std::condition_variable m_dpcIdle;
    ULONGLONG m_now = 0;
    LONGLONG m_bootSystemTime;
    std::map<KTIMER*, TimerEntry> m_timers;
    std::multiset<ULONGLONG> m_waitDeadlines;
    std::deque<KDPC*> m_dpcQueue;
    unsigned m_dpcsRunning = 0;
    bool m_stopping = false;
    std::vector<std::thread> m_dpcThreads;
    std::deque<std::function<void()>> m_workQueue;
    unsigned m_workRunning = 0;
    std::condition_variable m_workReady;
    std::vector<std::thread> m_workers;
    // Real time: the host clock at boot, and the thread that fires what falls due.
    bool m_realTime = false;
    std::chrono::steady_clock::time_point m_bootClock;
    std::condition_variable m_clockChanged;
    std::thread m_clockThread;
    // AdvanceWhenIdle: the thread that moves the clock, and the child processes running.
    std::thread m_idleClockThread;
    unsigned m_childProcessesRunning = 0;
};

} // namespace winsim::kernel
