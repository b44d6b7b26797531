#include "Scheduler.h"

#include "Thread.h"
#include "Verifier.h"

namespace winsim::kernel
{

// Dispatcher header types, as the kernel numbers them.
enum : UCHAR
{
    EventNotificationObject = 0,
    EventSynchronizationObject = 1,
    MutantObject = 2,
    ThreadObject = 6,
    TimerNotificationObject = 8,
    TimerSynchronizationObject = 9,
};

Scheduler::Scheduler(LONGLONG bootSystemTime, unsigned dpcThreads, bool realTime)
    : m_bootSystemTime(bootSystemTime), m_realTime(realTime), m_bootClock(std::chrono::steady_clock::now())
{
    for (unsigned i = 0; i < dpcThreads; ++i)
    {
        m_dpcThreads.emplace_back([this, i] { DpcThreadMain(i); });
    }
    for (unsigned i = 0; i < 2; ++i)
    {
        m_workers.emplace_back([this] { WorkerThreadMain(); });
    }
    if (m_realTime)
    {
        m_clockThread = std::thread([this] { ClockThreadMain(); });
    }
}

Scheduler::~Scheduler()
{
    {
        std::lock_guard<std::mutex> guard(m_lock);
        m_stopping = true;
    }
    m_dpcReady.notify_all();
    m_workReady.notify_all();
    m_clockChanged.notify_all();
    m_dpcIdle.notify_all();
    if (m_clockThread.joinable())
    {
        m_clockThread.join();
    }
    if (m_idleClockThread.joinable())
    {
        m_idleClockThread.join();
    }
    for (auto& thread : m_dpcThreads)
    {
        thread.join();
    }
    for (auto& thread : m_workers)
    {
        thread.join();
    }
}

ULONGLONG Scheduler::InterruptTime() const
{
    std::lock_guard<std::mutex> guard(m_lock);
    const_cast<Scheduler*>(this)->CatchUpLocked();
    return m_now;
}

LONGLONG Scheduler::SystemTime() const
{
    std::lock_guard<std::mutex> guard(m_lock);
    const_cast<Scheduler*>(this)->CatchUpLocked();
    return m_bootSystemTime + static_cast<LONGLONG>(m_now);
}

ULONGLONG Scheduler::DeadlineFromTimeout(LONGLONG timeout) const
{
    std::lock_guard<std::mutex> guard(m_lock);
    const_cast<Scheduler*>(this)->CatchUpLocked();
    if (timeout < 0)
    {
        return m_now + static_cast<ULONGLONG>(-timeout);
    }
    // An absolute system time.
    LONGLONG sinceBoot = timeout - m_bootSystemTime;
    return sinceBoot <= 0 ? 0 : static_cast<ULONGLONG>(sinceBoot);
}

void Scheduler::Advance(ULONGLONG delta)
{
    std::lock_guard<std::mutex> guard(m_lock);
    AdvanceToLocked(m_now + delta);
}

void Scheduler::AdvanceToLocked(ULONGLONG target)
{
    for (;;)
    {
        ULONGLONG next = target;
        for (const auto& [timer, entry] : m_timers)
        {
            next = std::min(next, entry.due);
        }
        if (next >= target)
        {
            break;
        }
        m_now = std::max(m_now, next);
        FireDueTimersLocked();
    }
    m_now = target;
    FireDueTimersLocked();
    NotifyChangedLocked();
}

std::optional<ULONGLONG> Scheduler::NextDeadline() const
{
    std::lock_guard<std::mutex> guard(m_lock);
    std::optional<ULONGLONG> next;
    for (const auto& [timer, entry] : m_timers)
    {
        if (!next || entry.due < *next)
        {
            next = entry.due;
        }
    }
    if (!m_waitDeadlines.empty() && (!next || *m_waitDeadlines.begin() < *next))
    {
        next = *m_waitDeadlines.begin();
    }
    return next;
}

void Scheduler::CatchUpLocked()
{
    if (!m_realTime)
    {
        return;
    }
    auto elapsed = std::chrono::steady_clock::now() - m_bootClock;
    auto now =
        static_cast<ULONGLONG>(std::chrono::duration_cast<std::chrono::nanoseconds>(elapsed).count() / 100);
    if (now > m_now)
    {
        AdvanceToLocked(now);
    }
}

void Scheduler::ClockThreadMain()
{
    std::unique_lock<std::mutex> lock(m_lock);
    while (!m_stopping)
    {
        CatchUpLocked();
        std::optional<ULONGLONG> next;
        for (const auto& [timer, entry] : m_timers)
        {
            next = next ? std::min(*next, entry.due) : entry.due;
        }
        if (!m_waitDeadlines.empty())
        {
            next = next ? std::min(*next, *m_waitDeadlines.begin()) : *m_waitDeadlines.begin();
        }
        if (next)
        {
            auto due = m_bootClock + std::chrono::nanoseconds(*next * 100);
            m_clockChanged.wait_until(lock, due);
        }
        else
        {
            m_clockChanged.wait(lock);
        }
    }
}

bool Scheduler::AdvanceToNextDeadline()
{
    std::optional<ULONGLONG> next = NextDeadline();
    if (!next)
    {
        return false;
    }
    ULONGLONG now = InterruptTime();
    Advance(*next > now ? *next - now : 0);
    return true;
}

void Scheduler::FireDueTimersLocked()
{
    for (auto it = m_timers.begin(); it != m_timers.end();)
    {
        KTIMER* timer = it->first;
        TimerEntry entry = it->second;
        if (entry.due > m_now)
        {
            ++it;
            continue;
        }
        timer->Header.SignalState = 1;
        if (entry.period > 0)
        {
            it->second.due = entry.due + static_cast<ULONGLONG>(entry.period) * 10000;
            timer->DueTime.QuadPart = it->second.due;
            ++it;
        }
        else
        {
            it = m_timers.erase(it);
        }
        if (entry.dpc != nullptr)
        {
            // As on Windows, a timer's DPC gets the system time of the expiry split in two: the low
            // 32 bits as SystemArgument1, the high 32 bits as SystemArgument2.
            const ULONGLONG expiry = static_cast<ULONGLONG>(m_bootSystemTime) + m_now;
            QueueDpcLocked(entry.dpc, reinterpret_cast<PVOID>(static_cast<uintptr_t>(expiry & 0xFFFFFFFF)),
                           reinterpret_cast<PVOID>(static_cast<uintptr_t>(expiry >> 32)));
        }
    }
}

bool Scheduler::IsQuiescentLocked() const
{
    if (!m_dpcQueue.empty() || m_dpcsRunning != 0 || !m_workQueue.empty() ||
        m_workRunning != m_workersBlocked)
    {
        return false;
    }
    for (const Waiter* waiter : m_waiters)
    {
        if (waiter->seenChange != m_changes)
        {
            return false; // woken, or about to be: it has not looked yet
        }
    }
    // The caller, when it is a created thread, is running: it is the one asking.
    const unsigned caller = CurrentThread().createdThread ? 1 : 0;
    return m_threadsBlocked + caller == m_threadsLive;
}

void Scheduler::WaitForQuiescence()
{
    std::unique_lock<std::mutex> lock(m_lock);
    m_dpcIdle.wait(lock, [this] { return IsQuiescentLocked(); });
}

void Scheduler::WaitForDpcsIdle()
{
    std::unique_lock<std::mutex> lock(m_lock);
    m_dpcIdle.wait(lock, [this] { return m_dpcQueue.empty() && m_dpcsRunning == 0; });
}

void Scheduler::WaitForIdle()
{
    std::unique_lock<std::mutex> lock(m_lock);
    m_dpcIdle.wait(lock, [this] {
        return m_dpcQueue.empty() && m_dpcsRunning == 0 && m_workQueue.empty() && m_workRunning == 0;
    });
}

void Scheduler::RunUntilIdle()
{
    std::unique_lock<std::mutex> lock(m_lock);
    for (;;)
    {
        // Every DPC done, and every work item either done or asleep, having seen the latest change.
        m_dpcIdle.wait(lock, [this] {
            if (!m_dpcQueue.empty() || m_dpcsRunning != 0 || !m_workQueue.empty() ||
                m_workRunning != m_workersBlocked)
            {
                return false;
            }
            for (const Waiter* waiter : m_waiters)
            {
                if (waiter->seenChange != m_changes)
                {
                    return false;
                }
            }
            return true;
        });
        if (m_workRunning == 0)
        {
            return;
        }
        // The work items wait: on the clock, when something falls due; otherwise on something only
        // another thread can give them.
        std::optional<ULONGLONG> next;
        for (const auto& [timer, entry] : m_timers)
        {
            next = next ? std::min(*next, entry.due) : entry.due;
        }
        if (!m_waitDeadlines.empty())
        {
            next = next ? std::min(*next, *m_waitDeadlines.begin()) : *m_waitDeadlines.begin();
        }
        if (!next)
        {
            return;
        }
        AdvanceToLocked(std::max(*next, m_now));
    }
}

void Scheduler::AdvanceWhenIdle()
{
    std::lock_guard<std::mutex> guard(m_lock);
    if (m_realTime || m_idleClockThread.joinable())
    {
        return;
    }
    ThreadState& self = CurrentThread();
    if (!self.createdThread)
    {
        self.createdThread = true;
        ++m_threadsLive;
    }
    m_idleClockThread = std::thread([this] { IdleClockThreadMain(); });
}

void Scheduler::ChildProcessStarted()
{
    std::lock_guard<std::mutex> guard(m_lock);
    ++m_childProcessesRunning;
}

void Scheduler::ChildProcessEnded()
{
    std::lock_guard<std::mutex> guard(m_lock);
    --m_childProcessesRunning;
    m_dpcIdle.notify_all();
}

void Scheduler::IdleClockThreadMain()
{
    std::unique_lock<std::mutex> lock(m_lock);
    for (;;)
    {
        std::optional<ULONGLONG> next;
        m_dpcIdle.wait(lock, [&] {
            if (m_stopping)
            {
                return true;
            }
            if (m_childProcessesRunning != 0 || !IsQuiescentLocked())
            {
                return false;
            }
            next.reset();
            for (const auto& [timer, entry] : m_timers)
            {
                next = next ? std::min(*next, entry.due) : entry.due;
            }
            if (!m_waitDeadlines.empty())
            {
                next = next ? std::min(*next, *m_waitDeadlines.begin()) : *m_waitDeadlines.begin();
            }
            return next.has_value();
        });
        if (m_stopping)
        {
            return;
        }
        // Every thread looks at the new time before the machine counts as idle again.
        AdvanceToLocked(std::max(*next, m_now));
    }
}

void Scheduler::QueueWork(std::function<void()> work)
{
    std::lock_guard<std::mutex> guard(m_lock);
    m_workQueue.push_back(std::move(work));
    m_workReady.notify_one();
}

void Scheduler::WorkerThreadMain()
{
    ThreadState& thread = CurrentThread();
    thread.systemWorker = true;
    std::unique_lock<std::mutex> lock(m_lock);
    for (;;)
    {
        m_workReady.wait(lock, [this] { return m_stopping || !m_workQueue.empty(); });
        if (m_stopping)
        {
            return;
        }
        std::function<void()> work = std::move(m_workQueue.front());
        m_workQueue.pop_front();
        ++m_workRunning;
        lock.unlock();
        work();
        if (thread.irql != PASSIVE_LEVEL || thread.spinLocksHeld != 0)
        {
            VerifierStop(
                VerifierRule::IrqlNotLowered,
                "a work item returned at IRQL %u holding %d spin lock(s); it must return at PASSIVE_LEVEL",
                static_cast<unsigned>(thread.irql), thread.spinLocksHeld);
        }
        lock.lock();
        --m_workRunning;
        // Idle, or the remaining work items may all be asleep (RunUntilIdle, WaitForQuiescence).
        m_dpcIdle.notify_all();
    }
}

// --- events -----------------------------------------------------------------------------------

void Scheduler::InitializeEvent(KEVENT* event, EVENT_TYPE type, bool state)
{
    std::lock_guard<std::mutex> guard(m_lock);
    event->Header.Type = type == NotificationEvent ? EventNotificationObject : EventSynchronizationObject;
    event->Header.Signalling = 0;
    event->Header.Size = sizeof(KEVENT) / sizeof(LONG);
    event->Header.Reserved1 = 0;
    event->Header.SignalState = state ? 1 : 0;
    event->Header.WaitListHead.Flink = event->Header.WaitListHead.Blink = &event->Header.WaitListHead;
}

LONG Scheduler::SetEvent(KEVENT* event)
{
    std::lock_guard<std::mutex> guard(m_lock);
    LONG previous = event->Header.SignalState;
    event->Header.SignalState = 1;
    NotifyChangedLocked();
    return previous;
}

LONG Scheduler::ResetEvent(KEVENT* event)
{
    std::lock_guard<std::mutex> guard(m_lock);
    LONG previous = event->Header.SignalState;
    event->Header.SignalState = 0;
    return previous;
}

LONG Scheduler::ReadState(DISPATCHER_HEADER* header)
{
    std::lock_guard<std::mutex> guard(m_lock);
    return header->SignalState;
}

bool Scheduler::IsSignalledLocked(DISPATCHER_HEADER* header, void* thread) const
{
    if (header->Type == MutantObject)
    {
        // Free, or already owned by the waiting thread (mutants are recursive).
        return header->SignalState > 0 ||
               static_cast<void*>(reinterpret_cast<KMUTANT*>(header)->OwnerThread) == thread;
    }
    return header->SignalState > 0;
}

bool Scheduler::SatisfyWaitLocked(DISPATCHER_HEADER* header, void* thread, bool* acquired)
{
    *acquired = false;
    switch (header->Type)
    {
    case EventSynchronizationObject:
    case TimerSynchronizationObject:
        // Synchronization objects release one waiter and reset themselves.
        header->SignalState = 0;
        return false;
    case MutantObject: {
        auto* mutant = reinterpret_cast<KMUTANT*>(header);
        if (static_cast<void*>(mutant->OwnerThread) != thread)
        {
            mutant->OwnerThread = static_cast<struct _KTHREAD*>(thread);
            LinkOwnedLocked(mutant, thread);
            *acquired = true;
        }
        header->SignalState--;
        bool abandoned = mutant->Abandoned != FALSE;
        mutant->Abandoned = FALSE;
        return abandoned;
    }
    default:
        return false;
    }
}

void Scheduler::LinkOwnedLocked(KMUTANT* mutant, void* thread)
{
    LIST_ENTRY& head = static_cast<ThreadState*>(thread)->ownedMutants;
    if (head.Flink == nullptr)
    {
        head.Flink = head.Blink = &head;
    }
    mutant->MutantListEntry.Flink = head.Flink;
    mutant->MutantListEntry.Blink = &head;
    head.Flink->Blink = &mutant->MutantListEntry;
    head.Flink = &mutant->MutantListEntry;
}

void Scheduler::UnlinkOwnedLocked(KMUTANT* mutant)
{
    LIST_ENTRY& entry = mutant->MutantListEntry;
    entry.Blink->Flink = entry.Flink;
    entry.Flink->Blink = entry.Blink;
    entry.Flink = entry.Blink = &entry;
}

void Scheduler::NotifyChangedLocked()
{
    ++m_changes;
    m_changed.notify_all();
}

// Sleeps until done() holds, recording each look at the latest change for WaitForWaitersToSettle.
template <typename Done>
void Scheduler::BlockUntil(std::unique_lock<std::mutex>& lock, Done done)
{
    // A wait satisfied at once never sleeps, and no one needs to see it settle.
    if (done())
    {
        return;
    }
    Waiter waiter{m_changes};
    m_waiters.push_back(&waiter);
    const bool worker = CurrentThread().systemWorker;
    if (worker)
    {
        ++m_workersBlocked;
    }
    const bool created = CurrentThread().createdThread;
    if (created)
    {
        ++m_threadsBlocked;
    }
    for (;;)
    {
        waiter.seenChange = m_changes;
        if (done())
        {
            break;
        }
        m_settled.notify_all();
        m_dpcIdle.notify_all();
        m_changed.wait(lock);
    }
    if (worker)
    {
        --m_workersBlocked;
    }
    if (created)
    {
        --m_threadsBlocked;
    }
    std::erase(m_waiters, &waiter);
    m_settled.notify_all();
    m_dpcIdle.notify_all();
}

void Scheduler::WaitForWaitersToSettle()
{
    std::unique_lock<std::mutex> lock(m_lock);
    m_settled.wait(lock, [this] {
        for (const Waiter* waiter : m_waiters)
        {
            if (waiter->seenChange != m_changes)
            {
                return false;
            }
        }
        return true;
    });
}

NTSTATUS Scheduler::WaitForObject(DISPATCHER_HEADER* header, std::optional<ULONGLONG> deadline)
{
    // STATUS_WAIT_0 and STATUS_ABANDONED_WAIT_0 are STATUS_SUCCESS and STATUS_ABANDONED.
    return WaitForObjects(&header, 1, WaitAny, deadline);
}

NTSTATUS Scheduler::WaitForObjects(DISPATCHER_HEADER* const* headers, ULONG count, WAIT_TYPE type,
                                   std::optional<ULONGLONG> deadline, ULONG64* acquired)
{
    ULONG64 taken = 0;
    std::unique_lock<std::mutex> lock(m_lock);
    for (ULONG i = 0; i < count; ++i)
    {
        UCHAR kind = headers[i]->Type;
        if (kind != EventNotificationObject && kind != EventSynchronizationObject && kind != MutantObject &&
            kind != TimerNotificationObject && kind != TimerSynchronizationObject && kind != ThreadObject)
        {
            VerifierStop(
                VerifierRule::ObjectMisuse,
                "a wait on an object that is not an initialised event, mutex, timer or thread (type %u)",
                static_cast<unsigned>(kind));
        }
    }
    void* thread = &CurrentThread();
    std::multiset<ULONGLONG>::iterator registered = m_waitDeadlines.end();
    if (deadline)
    {
        CatchUpLocked();
        registered = m_waitDeadlines.insert(*deadline);
        m_clockChanged.notify_all();
    }
    NTSTATUS status = STATUS_SUCCESS;
    BlockUntil(lock, [&] {
        if (type == WaitAny)
        {
            for (ULONG i = 0; i < count; ++i)
            {
                if (IsSignalledLocked(headers[i], thread))
                {
                    bool mine = false;
                    bool abandoned = SatisfyWaitLocked(headers[i], thread, &mine);
                    taken |= mine ? (1ull << i) : 0;
                    status = static_cast<NTSTATUS>((abandoned ? STATUS_ABANDONED_WAIT_0 : STATUS_WAIT_0) + i);
                    return true;
                }
            }
        }
        else
        {
            bool all = true;
            for (ULONG i = 0; i < count && all; ++i)
            {
                all = IsSignalledLocked(headers[i], thread);
            }
            if (all)
            {
                bool abandoned = false;
                for (ULONG i = 0; i < count; ++i)
                {
                    bool mine = false;
                    abandoned = SatisfyWaitLocked(headers[i], thread, &mine) || abandoned;
                    taken |= mine ? (1ull << i) : 0;
                }
                status = abandoned ? STATUS_ABANDONED_WAIT_0 : STATUS_WAIT_0;
                return true;
            }
        }
        if (deadline && m_now >= *deadline)
        {
            status = STATUS_TIMEOUT;
            return true;
        }
        return false;
    });
    if (registered != m_waitDeadlines.end())
    {
        m_waitDeadlines.erase(registered);
    }
    if (acquired != nullptr)
    {
        *acquired = taken;
    }
    return status;
}

void Scheduler::DelayUntil(ULONGLONG deadline)
{
    std::unique_lock<std::mutex> lock(m_lock);
    auto registered = m_waitDeadlines.insert(deadline);
    m_clockChanged.notify_all();
    BlockUntil(lock, [&] { return m_now >= deadline; });
    m_waitDeadlines.erase(registered);
}

// --- mutants ----------------------------------------------------------------------------------

void Scheduler::InitializeMutant(KMUTANT* mutant, void* owner)
{
    std::lock_guard<std::mutex> guard(m_lock);
    mutant->Header.Type = MutantObject;
    mutant->Header.Signalling = 0;
    mutant->Header.Size = sizeof(KMUTANT) / sizeof(LONG);
    mutant->Header.Reserved1 = 0;
    mutant->Header.WaitListHead.Flink = mutant->Header.WaitListHead.Blink = &mutant->Header.WaitListHead;
    mutant->MutantListEntry.Flink = mutant->MutantListEntry.Blink = &mutant->MutantListEntry;
    mutant->Abandoned = FALSE;
    mutant->ApcDisable = 0;
    mutant->OwnerThread = static_cast<struct _KTHREAD*>(owner);
    mutant->Header.SignalState = owner != nullptr ? 0 : 1;
    if (owner != nullptr)
    {
        LinkOwnedLocked(mutant, owner);
    }
}

NTSTATUS Scheduler::ReleaseMutant(KMUTANT* mutant, LONG* previous, bool* freed)
{
    if (freed != nullptr)
    {
        *freed = false;
    }
    std::lock_guard<std::mutex> guard(m_lock);
    void* thread = &CurrentThread();
    if (previous != nullptr)
    {
        *previous = mutant->Header.SignalState;
    }
    if (static_cast<void*>(mutant->OwnerThread) != thread)
    {
        return STATUS_MUTANT_NOT_OWNED;
    }
    if (++mutant->Header.SignalState == 1)
    {
        mutant->OwnerThread = nullptr;
        UnlinkOwnedLocked(mutant);
        NotifyChangedLocked();
        if (freed != nullptr)
        {
            *freed = true;
        }
    }
    return STATUS_SUCCESS;
}

void Scheduler::AbandonMutantsOf(void* thread)
{
    std::lock_guard<std::mutex> guard(m_lock);
    LIST_ENTRY& head = static_cast<ThreadState*>(thread)->ownedMutants;
    if (head.Flink == nullptr || head.Flink == &head)
    {
        return;
    }
    while (head.Flink != &head)
    {
        KMUTANT* mutant = CONTAINING_RECORD(head.Flink, KMUTANT, MutantListEntry);
        UnlinkOwnedLocked(mutant);
        mutant->OwnerThread = nullptr;
        mutant->Header.SignalState = 1;
        mutant->Abandoned = TRUE;
    }
    NotifyChangedLocked();
}

void Scheduler::ForgetMutant(KMUTANT* mutant)
{
    std::lock_guard<std::mutex> guard(m_lock);
    if (mutant->OwnerThread != nullptr)
    {
        UnlinkOwnedLocked(mutant);
        mutant->OwnerThread = nullptr;
    }
}

// --- threads created by user mode ------------------------------------------------------------

void Scheduler::InitializeThread(DISPATCHER_HEADER* header)
{
    std::lock_guard<std::mutex> guard(m_lock);
    header->Type = ThreadObject;
    header->Signalling = 0;
    header->Size = 0;
    header->Reserved1 = 0;
    header->SignalState = 0;
    header->WaitListHead.Flink = header->WaitListHead.Blink = &header->WaitListHead;
}

void Scheduler::ThreadCreated()
{
    std::lock_guard<std::mutex> guard(m_lock);
    ++m_threadsLive;
}

void Scheduler::BindCreatedThread()
{
    std::lock_guard<std::mutex> guard(m_lock);
    CurrentThread().createdThread = true;
}

void Scheduler::ThreadEnded(DISPATCHER_HEADER* header, bool onThread)
{
    std::lock_guard<std::mutex> guard(m_lock);
    if (onThread)
    {
        CurrentThread().createdThread = false;
    }
    header->SignalState = 1;
    --m_threadsLive;
    NotifyChangedLocked();
    m_dpcIdle.notify_all();
}

// --- timers -----------------------------------------------------------------------------------

void Scheduler::InitializeTimer(KTIMER* timer, TIMER_TYPE type)
{
    std::lock_guard<std::mutex> guard(m_lock);
    m_timers.erase(timer);
    timer->Header.Type = type == NotificationTimer ? TimerNotificationObject : TimerSynchronizationObject;
    timer->Header.SignalState = 0;
    timer->Header.WaitListHead.Flink = timer->Header.WaitListHead.Blink = &timer->Header.WaitListHead;
    timer->DueTime.QuadPart = 0;
    timer->Dpc = nullptr;
    timer->Period = 0;
}

bool Scheduler::SetTimer(KTIMER* timer, ULONGLONG due, LONG period, KDPC* dpc)
{
    std::lock_guard<std::mutex> guard(m_lock);
    bool wasSet = m_timers.erase(timer) != 0;
    timer->Header.SignalState = 0;
    timer->DueTime.QuadPart = due;
    timer->Dpc = dpc;
    timer->Period = period;
    m_timers[timer] = TimerEntry{due, period, dpc};
    m_clockChanged.notify_all();
    if (due <= m_now)
    {
        FireDueTimersLocked();
        NotifyChangedLocked();
    }
    return wasSet;
}

bool Scheduler::CancelTimer(KTIMER* timer)
{
    std::lock_guard<std::mutex> guard(m_lock);
    return m_timers.erase(timer) != 0;
}

// --- DPCs -------------------------------------------------------------------------------------

void Scheduler::InitializeDpc(KDPC* dpc, PKDEFERRED_ROUTINE routine, PVOID context)
{
    std::lock_guard<std::mutex> guard(m_lock);
    dpc->Type = 19; // DpcObject
    dpc->Importance = 1;
    dpc->Number = 0;
    dpc->DpcListEntry.Flink = dpc->DpcListEntry.Blink = nullptr;
    dpc->DeferredRoutine = routine;
    dpc->DeferredContext = context;
    dpc->SystemArgument1 = dpc->SystemArgument2 = nullptr;
    dpc->DpcData = nullptr;
}

bool Scheduler::QueueDpcLocked(KDPC* dpc, PVOID argument1, PVOID argument2)
{
    // A queued DPC is marked by a non-null DpcData, as on Windows.
    if (dpc->DpcData != nullptr)
    {
        return false;
    }
    dpc->DpcData = dpc;
    dpc->SystemArgument1 = argument1;
    dpc->SystemArgument2 = argument2;
    m_dpcQueue.push_back(dpc);
    m_dpcReady.notify_one();
    return true;
}

bool Scheduler::QueueDpc(KDPC* dpc, PVOID argument1, PVOID argument2)
{
    std::lock_guard<std::mutex> guard(m_lock);
    return QueueDpcLocked(dpc, argument1, argument2);
}

bool Scheduler::RemoveDpc(KDPC* dpc)
{
    std::lock_guard<std::mutex> guard(m_lock);
    if (dpc->DpcData == nullptr)
    {
        return false;
    }
    for (auto it = m_dpcQueue.begin(); it != m_dpcQueue.end(); ++it)
    {
        if (*it == dpc)
        {
            m_dpcQueue.erase(it);
            break;
        }
    }
    dpc->DpcData = nullptr;
    if (m_dpcQueue.empty() && m_dpcsRunning == 0)
    {
        m_dpcIdle.notify_all();
    }
    return true;
}

void Scheduler::DpcThreadMain(unsigned)
{
    ThreadState& thread = CurrentThread();
    std::unique_lock<std::mutex> lock(m_lock);
    for (;;)
    {
        m_dpcReady.wait(lock, [this] { return m_stopping || !m_dpcQueue.empty(); });
        if (m_stopping)
        {
            return;
        }
        KDPC* dpc = m_dpcQueue.front();
        m_dpcQueue.pop_front();
        dpc->DpcData = nullptr;
        PKDEFERRED_ROUTINE routine = dpc->DeferredRoutine;
        PVOID context = dpc->DeferredContext;
        PVOID argument1 = dpc->SystemArgument1;
        PVOID argument2 = dpc->SystemArgument2;
        ++m_dpcsRunning;
        lock.unlock();

        thread.irql = DISPATCH_LEVEL;
        routine(dpc, context, argument1, argument2);
        if (thread.irql != DISPATCH_LEVEL || thread.spinLocksHeld != 0)
        {
            VerifierStop(VerifierRule::IrqlNotLowered,
                         "a DPC routine returned at IRQL %u holding %d spin lock(s); it must return at "
                         "DISPATCH_LEVEL holding none",
                         static_cast<unsigned>(thread.irql), thread.spinLocksHeld);
        }
        thread.irql = PASSIVE_LEVEL;

        lock.lock();
        --m_dpcsRunning;
        if (m_dpcQueue.empty() && m_dpcsRunning == 0)
        {
            m_dpcIdle.notify_all();
        }
    }
}

} // namespace winsim::kernel
