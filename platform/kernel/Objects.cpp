#include "Objects.h"

#include "FileIo.h"
#include "Namespace.h"
#include "Scheduler.h"
#include "System.h"
#include "Thread.h"

namespace winsim::kernel
{
namespace
{

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
    Scheduler& scheduler = Dispatcher();
    // The last release lets go of the machine-wide part before another thread of this process can
    // take the mutant.
    if (m_shared && scheduler.OwnershipCount(&m_mutant) == 1)
    {
        m_shared->Unlock();
    }
    return scheduler.ReleaseMutant(&m_mutant, previousCount);
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

NTSTATUS WaitForObjects(const std::vector<std::shared_ptr<KernelObject>>& objects, WAIT_TYPE type,
                        std::optional<ULONGLONG> deadline)
{
    std::vector<DISPATCHER_HEADER*> headers;
    std::vector<MutantObject*> mutants;
    for (const auto& object : objects)
    {
        if (auto* event = dynamic_cast<EventObject*>(object.get()))
        {
            headers.push_back(&event->Event()->Header);
            mutants.push_back(nullptr);
        }
        else if (auto* file = dynamic_cast<UserFile*>(object.get()))
        {
            headers.push_back(&file->CompletionEvent()->Header);
            mutants.push_back(nullptr);
        }
        else if (auto* mutant = dynamic_cast<MutantObject*>(object.get()))
        {
            headers.push_back(&mutant->Mutant()->Header);
            mutants.push_back(mutant);
        }
        else
        {
            return STATUS_OBJECT_TYPE_MISMATCH;
        }
    }
    Scheduler& scheduler = Dispatcher();
    NTSTATUS status =
        scheduler.WaitForObjects(headers.data(), static_cast<ULONG>(headers.size()), type, deadline);
    if (status == STATUS_TIMEOUT)
    {
        return status;
    }
    // The mutants the wait gave the caller for the first time: take their machine-wide parts.
    bool abandoned = status >= STATUS_ABANDONED_WAIT_0 && status < STATUS_ABANDONED_WAIT_0 + 64;
    ULONG index = static_cast<ULONG>(status - (abandoned ? STATUS_ABANDONED_WAIT_0 : STATUS_WAIT_0));
    std::vector<MutantObject*> taken;
    for (ULONG i = 0; i < mutants.size(); ++i)
    {
        if ((type == WaitAll || i == index) && mutants[i] != nullptr && mutants[i]->Shared() != nullptr &&
            scheduler.OwnershipCount(mutants[i]->Mutant()) == 1)
        {
            SharedMutex::Result result = mutants[i]->Shared()->Lock(Remaining(deadline));
            if (result == SharedMutex::Result::TimedOut)
            {
                // Another process holds it: give back what this wait took.
                scheduler.ReleaseMutant(mutants[i]->Mutant(), nullptr);
                for (MutantObject* earlier : taken)
                {
                    earlier->Release(nullptr);
                }
                return STATUS_TIMEOUT;
            }
            abandoned = abandoned || result == SharedMutex::Result::Abandoned;
            taken.push_back(mutants[i]);
        }
    }
    return static_cast<NTSTATUS>((abandoned ? STATUS_ABANDONED_WAIT_0 : STATUS_WAIT_0) + index);
}

} // namespace winsim::kernel
