// The framework work item (WDFWORKITEM): the driver's EvtWorkItemFunc at PASSIVE_LEVEL on a
// system worker thread, queued at most once at a time, flushed and deleted after it ran.
#pragma once

#include "FxObject.h"

#include <memory>

namespace winsim::wdf
{

class FxWorkItem : public FxObject
{
  public:
    FxWorkItem(FxDriver* driver, const WDF_WORKITEM_CONFIG& config);
    NTSTATUS Setup(const char* routine);
    void Enqueue();
    void Flush();

  protected:
    ~FxWorkItem() override;
    void OnDispose() override;

  private:
    // What the worker thread shares with those waiting for the item to be idle. It outlives the
    // item: the worker's release of its reference may destroy the item before it reports idle.
    struct RunState
    {
        RunState();
        std::mutex lock; // guards the fields below; the event follows them
        bool queued = false;
        bool running = false;
        PKTHREAD runner = nullptr; // the thread in the callback, while running
        KEVENT idle;               // signalled while neither queued nor running
    };
    static IO_WORKITEM_ROUTINE Routine;
    void Run(const std::shared_ptr<RunState>& state);
    void WaitUntilIdle();
    WDF_WORKITEM_CONFIG m_config;
    PIO_WORKITEM m_ioWorkItem = nullptr; // of the device above the item
    std::shared_ptr<RunState> m_state = std::make_shared<RunState>();
};

} // namespace winsim::wdf
