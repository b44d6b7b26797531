// The framework's locks: the device's synchronisation lock, spin locks (WDFSPINLOCK) and wait
// locks (WDFWAITLOCK), and the verifier's record of the order in which named locks are taken.
#pragma once

#include "FxObject.h"

namespace winsim::wdf
{

// The device's synchronisation lock, taken around callbacks of objects with device scope.
class FxSyncLock
{
  public:
    void Acquire();
    void Release();

  private:
    KSPIN_LOCK m_lock = 0;
    KIRQL m_oldIrql = PASSIVE_LEVEL;
};

class FxSpinLock : public FxObject
{
  public:
    explicit FxSpinLock(FxDriver* driver) : FxObject(FxType::SpinLock, driver) {}
    void Acquire();
    void Release();

  protected:
    void OnDispose() override;

  private:
    KSPIN_LOCK m_lock = 0;
    KIRQL m_oldIrql = PASSIVE_LEVEL;
};

class FxWaitLock : public FxObject
{
  public:
    explicit FxWaitLock(FxDriver* driver);
    NTSTATUS Acquire(PLONGLONG timeout);
    void Release();

  protected:
    void OnDispose() override;

  private:
    KEVENT m_event{};
    std::atomic<void*> m_owner{nullptr};
};

// Verifier bookkeeping of the order in which named framework locks are taken.
void NoteLockAcquired(const void* lock, const char* what);
void NoteLockReleased(const void* lock);
void NoteLockDestroyed(const void* lock);

} // namespace winsim::wdf
