// Framework locks: the device synchronisation lock, WdfSpinLock* and WdfWaitLock*, and the
// verifier's lock order check.
#include "FxLock.h"

#include "FxDriver.h"
#include "FxVerifier.h"

#include <algorithm>
#include <map>
#include <string>
#include <vector>

namespace winsim::wdf
{

// --- the device synchronisation lock ----------------------------------------------------------

void FxSyncLock::Acquire()
{
    KIRQL old = KeAcquireSpinLockRaiseToDpc(&m_lock);
    m_oldIrql = old;
    NoteLockAcquired(this, "device synchronisation lock");
}

void FxSyncLock::Release()
{
    NoteLockReleased(this);
    KIRQL old = m_oldIrql;
    KeReleaseSpinLock(&m_lock, old);
}

// --- spin locks and wait locks -------------------------------------------------------------

namespace
{
// The WDFSPINLOCKs the calling thread holds, in the order it took them: each is released before
// those taken earlier, as the framework's verifier requires.
thread_local std::vector<const FxSpinLock*> t_heldSpinLocks;
} // namespace

void FxSpinLock::Acquire()
{
    KIRQL old = KeAcquireSpinLockRaiseToDpc(&m_lock);
    m_oldIrql = old;
    NoteLockAcquired(this, "WDFSPINLOCK");
    t_heldSpinLocks.push_back(this);
}

void FxSpinLock::Release()
{
    if (std::find(t_heldSpinLocks.begin(), t_heldSpinLocks.end(), this) == t_heldSpinLocks.end())
    {
        VerifierStop(VerifierRule::SpinLockMisuse,
                     "WdfSpinLockRelease on WDFSPINLOCK %p, which this thread does not hold",
                     static_cast<void*>(this));
    }
    if (t_heldSpinLocks.back() != this)
    {
        VerifierStop(VerifierRule::SpinLockMisuse,
                     "WdfSpinLockRelease on WDFSPINLOCK %p out of order: WDFSPINLOCK %p, taken after it, "
                     "is still held",
                     static_cast<void*>(this), static_cast<const void*>(t_heldSpinLocks.back()));
    }
    t_heldSpinLocks.pop_back();
    NoteLockReleased(this);
    KIRQL old = m_oldIrql;
    KeReleaseSpinLock(&m_lock, old);
}

void FxSpinLock::OnDispose()
{
    NoteLockDestroyed(this);
}

FxWaitLock::FxWaitLock(FxDriver* driver) : FxObject(FxType::WaitLock, driver)
{
    KeInitializeEvent(&m_event, SynchronizationEvent, TRUE);
}

NTSTATUS FxWaitLock::Acquire(PLONGLONG timeout)
{
    bool tryOnly = timeout != nullptr && *timeout == 0;
    if (!tryOnly && KeGetCurrentIrql() > PASSIVE_LEVEL)
    {
        VerifierStop(
            VerifierRule::WaitAtDispatch,
            "WdfWaitLockAcquire on WDFWAITLOCK %p at IRQL %u: a wait lock is taken at PASSIVE_LEVEL only",
            static_cast<void*>(this), static_cast<unsigned>(KeGetCurrentIrql()));
    }
    if (!tryOnly && m_owner.load() == KeGetCurrentThread())
    {
        // It would wait for itself, for ever.
        VerifierStop(VerifierRule::SpinLockMisuse,
                     "WdfWaitLockAcquire on WDFWAITLOCK %p, which this thread holds already: it would wait "
                     "for itself",
                     static_cast<void*>(this));
    }
    LARGE_INTEGER due;
    if (timeout != nullptr)
    {
        due.QuadPart = *timeout;
    }
    NTSTATUS status =
        KeWaitForSingleObject(&m_event, Executive, KernelMode, FALSE, timeout != nullptr ? &due : nullptr);
    if (status != STATUS_SUCCESS)
    {
        return STATUS_TIMEOUT;
    }
    m_owner.store(KeGetCurrentThread());
    NoteLockAcquired(this, "WDFWAITLOCK");
    return STATUS_SUCCESS;
}

void FxWaitLock::Release()
{
    if (m_owner.load() != KeGetCurrentThread())
    {
        VerifierStop(VerifierRule::SpinLockMisuse,
                     "WdfWaitLockRelease on WDFWAITLOCK %p, which this thread does not hold",
                     static_cast<void*>(this));
    }
    m_owner.store(nullptr);
    NoteLockReleased(this);
    KeSetEvent(&m_event, IO_NO_INCREMENT, FALSE);
}

// A lock deleted while held was never released: whoever waits for it next (a cleanup callback at
// unload, say) would wait for ever.
void FxWaitLock::OnDispose()
{
    if (void* owner = m_owner.load())
    {
        VerifierStop(VerifierRule::ObjectMisuse,
                     "WDFWAITLOCK %p is deleted while thread %p holds it; it was never released",
                     static_cast<void*>(this), owner);
    }
    NoteLockDestroyed(this);
}

// --- lock order -------------------------------------------------------------------------------

namespace
{
struct HeldLock
{
    const void* lock;
    const char* what;
};
thread_local std::vector<HeldLock> t_held;
std::mutex g_orderLock;
std::map<std::pair<const void*, const void*>, std::pair<std::string, std::string>> g_edges;
} // namespace

void NoteLockAcquired(const void* lock, const char* what)
{
    {
        std::lock_guard<std::mutex> guard(g_orderLock);
        for (const HeldLock& held : t_held)
        {
            auto reverse = g_edges.find({lock, held.lock});
            if (reverse != g_edges.end())
            {
                VerifierStop(
                    VerifierRule::LockOrder,
                    "%s %p taken while holding %s %p, but elsewhere the %s was taken while holding the %s",
                    what, lock, held.what, held.lock, reverse->second.second.c_str(),
                    reverse->second.first.c_str());
            }
            g_edges[{held.lock, lock}] = {held.what, what};
        }
    }
    t_held.push_back(HeldLock{lock, what});
}

void NoteLockReleased(const void* lock)
{
    for (auto it = t_held.rbegin(); it != t_held.rend(); ++it)
    {
        if (it->lock == lock)
        {
            t_held.erase(std::next(it).base());
            return;
        }
    }
}

void NoteLockDestroyed(const void* lock)
{
    std::lock_guard<std::mutex> guard(g_orderLock);
    for (auto it = g_edges.begin(); it != g_edges.end();)
    {
        it = (it->first.first == lock || it->first.second == lock) ? g_edges.erase(it) : std::next(it);
    }
}

} // namespace winsim::wdf

using namespace winsim::wdf;

extern "C"
{

    NTSTATUS imp_WdfSpinLockCreate(PWDF_DRIVER_GLOBALS DriverGlobals,
                                   PWDF_OBJECT_ATTRIBUTES SpinLockAttributes, WDFSPINLOCK* SpinLock)
    {
        return CreateDriverOwned<FxSpinLock>(DriverGlobals, SpinLockAttributes, SpinLock,
                                             "WdfSpinLockCreate");
    }

    VOID imp_WdfSpinLockAcquire(PWDF_DRIVER_GLOBALS, WDFSPINLOCK SpinLock)
    {
        FxObject::Get<FxSpinLock>(SpinLock, FxType::SpinLock, "WdfSpinLockAcquire")->Acquire();
    }

    VOID imp_WdfSpinLockRelease(PWDF_DRIVER_GLOBALS, WDFSPINLOCK SpinLock)
    {
        FxObject::Get<FxSpinLock>(SpinLock, FxType::SpinLock, "WdfSpinLockRelease")->Release();
    }

    NTSTATUS imp_WdfWaitLockCreate(PWDF_DRIVER_GLOBALS DriverGlobals, PWDF_OBJECT_ATTRIBUTES LockAttributes,
                                   WDFWAITLOCK* Lock)
    {
        return CreateDriverOwned<FxWaitLock>(DriverGlobals, LockAttributes, Lock, "WdfWaitLockCreate");
    }

    NTSTATUS imp_WdfWaitLockAcquire(PWDF_DRIVER_GLOBALS, WDFWAITLOCK Lock, PLONGLONG Timeout)
    {
        return FxObject::Get<FxWaitLock>(Lock, FxType::WaitLock, "WdfWaitLockAcquire")->Acquire(Timeout);
    }

    VOID imp_WdfWaitLockRelease(PWDF_DRIVER_GLOBALS, WDFWAITLOCK Lock)
    {
        FxObject::Get<FxWaitLock>(Lock, FxType::WaitLock, "WdfWaitLockRelease")->Release();
    }

} // extern "C"
