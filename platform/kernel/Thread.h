// Per-thread kernel state: the IRQL the thread runs at, the spin locks and mutants it holds, and,
// for a thread user mode created, its thread object.
#pragma once

#include <wdm.h>

namespace winsim::kernel
{

class ThreadObject;

struct ThreadState
{
    KIRQL irql = PASSIVE_LEVEL;
    // Number of spin locks the thread holds, for the checks on waits and lock release.
    int spinLocksHeld = 0;
    // The mutants the thread owns, linked through their MutantListEntry (guarded by the
    // dispatcher's lock; an empty Flink is an empty list).
    LIST_ENTRY ownedMutants = {nullptr, nullptr};
    // A system worker thread of the scheduler (runs work items).
    bool systemWorker = false;
    // A thread user mode created (CreateThread) and that has not ended; set and cleared under the
    // dispatcher's lock. Its kernel thread object, kept alive by the process while the thread lives.
    bool createdThread = false;
    ThreadObject* object = nullptr;
};

ThreadState& CurrentThread();

inline KIRQL CurrentIrql()
{
    return CurrentThread().irql;
}

// Verifier check that the caller runs at or below the given IRQL.
void RequireIrqlAtMost(KIRQL maximum, const char* routine);

} // namespace winsim::kernel
