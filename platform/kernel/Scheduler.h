// The machine's dispatcher: one virtual clock, the dispatcher lock under which every wait and
// signal happens, kernel timers, and the DPC threads that run deferred procedure calls at
// DISPATCH_LEVEL.
//
// Time is virtual. It moves only when a test (or the machine's host) advances it; waits with a
// time-out, KeDelayExecutionThread and timers all run on it, so a 2-second delay costs no real time.
#pragma once

#include <wdm.h>

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
    // that run DPCs concurrently.
    Scheduler(LONGLONG bootSystemTime, unsigned dpcThreads);
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

    // Blocks until no DPC is queued or running.
    void WaitForDpcsIdle();
    // Blocks until no DPC and no system work item is queued or running.
    void WaitForIdle();

    // --- system worker threads: work at PASSIVE_LEVEL ---
    void QueueWork(std::function<void()> work);

    // --- dispatcher objects (called by the Ke* routines) ---
    void InitializeEvent(KEVENT* event, EVENT_TYPE type, bool state);
    LONG SetEvent(KEVENT* event);
    LONG ResetEvent(KEVENT* event);
    LONG ReadState(DISPATCHER_HEADER* header);
    // Waits for a dispatcher object (event or timer). deadline is interrupt time, or none.
    NTSTATUS WaitForObject(DISPATCHER_HEADER* header, std::optional<ULONGLONG> deadline);
    // Sleeps until the interrupt time reaches the deadline.
    void DelayUntil(ULONGLONG deadline);

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
    void WorkerThreadMain();
    void FireDueTimersLocked();
    bool QueueDpcLocked(KDPC* dpc, PVOID argument1, PVOID argument2);
    bool IsSignalledLocked(DISPATCHER_HEADER* header) const;
    void SatisfyWaitLocked(DISPATCHER_HEADER* header);

    mutable std::mutex m_lock;
    std::condition_variable m_changed; // any signal or clock movement
    std::condition_variable m_settled; // a waiter looked at the latest change
    ULONGLONG m_changes = 0;           // count of signals and clock movements
    std::vector<Waiter*> m_waiters;
    std::condition_variable m_dpcReady; // work for the DPC threads
    std::condition_variable m_dpcIdle;  // the DPC queue drained
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
};

} // namespace winsim::kernel
