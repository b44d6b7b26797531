#include "Objects.h"

#include "Namespace.h"
#include "Scheduler.h"
#include "System.h"
#include "Thread.h"

namespace winsim::kernel
{
namespace
{

// The dispatcher header type of a mutant.
constexpr UCHAR MutantHeaderType = 2;

Scheduler& Dispatcher()
{
    return System::Current().GetScheduler();
}

// What is left of a deadline, in host milliseconds, for the machine-wide part of a wait.
std::optional<std::chrono::milliseconds> Remaining(std::optional<ULONGLONG> deadline)
{
    if (!deadline)
    {
        return std::nullopt;
    }
    ULONGLONG now = Dispatcher().InterruptTime();
    ULONGLONG left = *deadline > now ? *deadline - now : 0;
    return std::chrono::milliseconds(left / 10000);
}

} // namespace

EventObject::EventObject(EVENT_TYPE type, bool signalled)
{
    Dispatcher().InitializeEvent(&m_event, type, signalled);
}

MutantObject::MutantObject(bool ownedByCaller, std::unique_ptr<SharedMutex> shared)
    : m_shared(std::move(shared))
{
    Dispatcher().InitializeMutant(&m_mutant, ownedByCaller ? &CurrentThread() : nullptr);
    if (ownedByCaller && m_shared)
    {
        m_shared->Lock(std::nullopt);
    }
}

MutantObject::~MutantObject()
{
    Dispatcher().ForgetMutant(&m_mutant);
}

NTSTATUS MutantObject::Release(LONG* previousCount)
{
    bool freed = false;
    NTSTATUS status = Dispatcher().ReleaseMutant(&m_mutant, previousCount, &freed);
    // The owner's last release lets go of the machine-wide part too (a thread of this process that
    // takes the mutant meanwhile waits a moment for it).
    if (freed && m_shared)
    {
        m_shared->Unlock();
    }
    return status;
}

SymbolicLinkObject::~SymbolicLinkObject()
{
    if (m_temporary)
    {
        if (System* system = System::TryCurrent())
        {
            system->Namespace().DeleteLink(m_name);
        }
    }
}

NTSTATUS WaitForObjects(KernelObject* const* objects, ULONG count, WAIT_TYPE type,
                        std::optional<ULONGLONG> deadline)
{
    DISPATCHER_HEADER* headers[64];
    MutantObject* mutants[64];
    for (ULONG i = 0; i < count; ++i)
    {
        headers[i] = objects[i]->WaitableHeader();
        if (headers[i] == nullptr)
        {
            return STATUS_OBJECT_TYPE_MISMATCH;
        }
        // A mutant shared with other processes has a part the dispatcher does not hold. (Mutants are
        // the one kind of object whose header is a mutant's.)
        auto* mutant =
            headers[i]->Type == MutantHeaderType ? static_cast<MutantObject*>(objects[i]) : nullptr;
        mutants[i] = mutant != nullptr && mutant->Shared() != nullptr ? mutant : nullptr;
    }
    Scheduler& scheduler = Dispatcher();
    ULONG64 acquired = 0;
    NTSTATUS status = scheduler.WaitForObjects(headers, count, type, deadline, &acquired);
    if (status == STATUS_TIMEOUT)
    {
        return status;
    }
    // The mutants the wait gave the caller for the first time: take their machine-wide parts.
    bool abandoned = status >= STATUS_ABANDONED_WAIT_0 && status < STATUS_ABANDONED_WAIT_0 + 64;
    ULONG index = static_cast<ULONG>(status - (abandoned ? STATUS_ABANDONED_WAIT_0 : STATUS_WAIT_0));
    MutantObject* taken[64];
    ULONG takenCount = 0;
    for (ULONG i = 0; i < count; ++i)
    {
        if (mutants[i] != nullptr && (acquired & (1ull << i)) != 0)
        {
            SharedMutex::Result result = mutants[i]->Shared()->Lock(Remaining(deadline));
            if (result == SharedMutex::Result::TimedOut)
            {
                // Another process holds it: give back what this wait took.
                scheduler.ReleaseMutant(mutants[i]->Mutant(), nullptr);
                for (ULONG j = 0; j < takenCount; ++j)
                {
                    taken[j]->Release(nullptr);
                }
                return STATUS_TIMEOUT;
            }
            abandoned = abandoned || result == SharedMutex::Result::Abandoned;
            taken[takenCount++] = mutants[i];
        }
    }
    return static_cast<NTSTATUS>((abandoned ? STATUS_ABANDONED_WAIT_0 : STATUS_WAIT_0) + index);
}

} // namespace winsim::kernel
