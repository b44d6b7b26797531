// The framework I/O queue (WDFQUEUE): sequential, parallel and manual dispatch of requests to the
// driver's callbacks, stop, start and purge with their idle callbacks, and retrieval from manual
// queues.
#pragma once

#include "FxObject.h"

#include <deque>
#include <utility>
#include <vector>

namespace winsim::wdf
{

class FxDevice;
class FxRequest;

class FxIoQueue : public FxObject
{
  public:
    FxIoQueue(FxDriver* driver, FxDevice* device, const WDF_IO_QUEUE_CONFIG& config);

    FxDevice* Device() const { return m_device; }
    const WDF_IO_QUEUE_CONFIG& Config() const { return m_config; }

    // A request arrives at the queue (from the device or forwarded by the driver).
    NTSTATUS Enqueue(FxRequest* request, bool forwarded);
    NTSTATUS RetrieveNext(FxRequest** request);
    // A request this queue presented or handed out was completed or forwarded elsewhere.
    void DriverRequestDone(FxRequest* request);

    void Start();
    void Stop(PFN_WDF_IO_QUEUE_STATE callback, WDFCONTEXT context);
    void Purge(PFN_WDF_IO_QUEUE_STATE callback, WDFCONTEXT context);
    WDF_IO_QUEUE_STATE State(PULONG queued, PULONG driverOwned);

  protected:
    void OnDispose() override;

  private:
    void Present(FxRequest* request);
    void NotifyIdleLocked(std::vector<std::pair<PFN_WDF_IO_QUEUE_STATE, WDFCONTEXT>>& due);

    FxDevice* m_device;
    WDF_IO_QUEUE_CONFIG m_config;
    std::mutex m_lock;
    std::deque<FxRequest*> m_pending;
    std::vector<FxRequest*> m_driverOwned;
    bool m_accepting = true;
    bool m_dispatching = true;
    std::vector<std::pair<PFN_WDF_IO_QUEUE_STATE, WDFCONTEXT>> m_idleCallbacks;
};

inline FxIoQueue* QueueOf(WDFQUEUE queue, const char* routine)
{
    return FxObject::Get<FxIoQueue>(queue, FxType::Queue, routine);
}

} // namespace winsim::wdf
