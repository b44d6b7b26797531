// The framework timer (WDFTIMER): a kernel timer whose DPC calls the driver's EvtTimerFunc at
// DISPATCH_LEVEL, under the device's synchronisation lock when the timer asks for it.
#pragma once

#include "FxObject.h"

namespace winsim::wdf
{

class FxSyncLock;

class FxTimer : public FxObject
{
  public:
    FxTimer(FxDriver* driver, const WDF_TIMER_CONFIG& config);
    NTSTATUS Setup(const char* routine);
    bool Start(LONGLONG dueTime);
    bool Stop(bool wait);

  protected:
    ~FxTimer() override;
    void OnDispose() override;

  private:
    static KDEFERRED_ROUTINE TimerDpc;
    static IO_WORKITEM_ROUTINE_EX DrainDpc;
    WDF_TIMER_CONFIG m_config;
    KTIMER m_timer{};
    KDPC m_dpc{};
    FxSyncLock* m_serializeWith = nullptr;
    PIO_WORKITEM m_drainWork = nullptr; // waits for a running DPC when deleted at DISPATCH_LEVEL
};

} // namespace winsim::wdf
