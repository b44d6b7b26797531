// The framework I/O queue (WDFQUEUE): sequential, parallel and manual dispatch of requests to the
// driver's callbacks, stop, start and purge with their idle callbacks, retrieval from manual
// queues (in order, or a request found by WdfIoQueueFindRequest), the cancellation of requests
// while they wait in the queue (EvtIoCanceledOnQueue), and the power management of a power-managed
// queue: held while its device is out of D0, EvtIoStop and EvtIoResume around the device's power
// transitions.
//
// A request waiting in the queue (m_pending) carries the queue's cancel routine in its IRP. Whoever
// takes it out first clears that routine (IoSetCancelRoutine(irp, NULL)); when the routine is gone
// already, a cancel is under way and the request is the cancel routine's: the taker leaves it, and
// the cancel routine removes it from m_pending.
#pragma once

#include "FxObject.h"

#include <deque>
#include <functional>
#include <utility>
#include <vector>

namespace winsim::wdf
{

class FxDevice;
class FxFileObject;
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
    // WdfIoQueueFindRequest: the first waiting request after `after` (from the head when null) of
    // the given file object (any when null), referenced for the caller.
    NTSTATUS Find(FxRequest* after, FxFileObject* file, FxRequest** found);
    // WdfIoQueueRetrieveFoundRequest: hands a waiting request to the driver ahead of the others.
    NTSTATUS RetrieveFound(FxRequest* request);
    // IRP_MJ_CLEANUP of a file object: its requests waiting in the queue are cancelled.
    void CancelFileRequests(FxFileObject* file);
    // A request this queue presented or handed out was completed or forwarded elsewhere.
    void DriverRequestDone(FxRequest* request);

    bool PowerManaged() const { return m_powerManaged; }
    // The device leaves D0: the queue holds its requests, and EvtIoStop runs for each request the
    // driver owns (WdfRequestStopActionSuspend, or WdfRequestStopActionPurge when the device goes
    // away, when the queue's pending requests are cancelled too). Returns once the driver completed
    // or acknowledged each of them. PASSIVE_LEVEL.
    void PowerStop(bool purge);
    // The device is back in D0: EvtIoResume for the requests the driver acknowledged without
    // requeuing, then the held requests are presented.
    void PowerStart();
    // WdfRequestStopAcknowledge; false when EvtIoStop was not called for the request.
    bool StopAcknowledged(FxRequest* request, bool requeue);

    void Start();
    void Stop(PFN_WDF_IO_QUEUE_STATE callback, WDFCONTEXT context);
    void Purge(PFN_WDF_IO_QUEUE_STATE callback, WDFCONTEXT context);
    WDF_IO_QUEUE_STATE State(PULONG queued, PULONG driverOwned);

  protected:
    void OnDispose() override;

  private:
    void Present(FxRequest* request);
    // Calls the driver about a request: under the device's synchronisation lock when the queue has
    // device scope, and on a system worker thread when a passive-level queue is called above
    // PASSIVE_LEVEL. callback returns false when the queue has no handler for the request, which
    // is then completed with STATUS_INVALID_DEVICE_REQUEST.
    void CallDriver(FxRequest* request, std::function<bool()> callback);
    // A request leaves the queue cancelled: EvtIoCanceledOnQueue when the queue has one and the
    // driver had the request before, otherwise completed with STATUS_CANCELLED.
    void CancelInQueue(FxRequest* request, const char* reason);
    // Whether the request can be taken out of m_pending: clears the queue's cancel routine; false
    // when a cancel is under way (the cancel routine owns the request). m_lock held.
    static bool DisarmLocked(FxRequest* request);
    // Puts the queue's cancel routine on a request entering m_pending; false when the request was
    // cancelled before (it is then not in m_pending, and the caller cancels it). m_lock held.
    bool ArmLocked(FxRequest* request, bool atFront);
    // Takes every waiting request (of a file object when given) out of m_pending; m_lock held.
    std::vector<FxRequest*> TakePendingLocked(FxFileObject* file);
    static VOID QueuedCancelRoutine(PDEVICE_OBJECT device, PIRP irp);
    // The requests to present now that the queue may dispatch; called with m_lock held.
    std::vector<FxRequest*> TakePresentableLocked();
    // A request left the queue (completed, forwarded or cancelled in it); m_lock held. True when
    // it was one of the queue's and the device's power reference goes with it.
    bool ForgetLocked(FxRequest* request);
    void NotifyIdleLocked(std::vector<std::pair<PFN_WDF_IO_QUEUE_STATE, WDFCONTEXT>>& due);

    FxDevice* m_device;
    WDF_IO_QUEUE_CONFIG m_config;
    std::mutex m_lock;
    std::deque<FxRequest*> m_pending;
    std::vector<FxRequest*> m_driverOwned;
    bool m_accepting = true;
    bool m_dispatching = true;
    std::vector<std::pair<PFN_WDF_IO_QUEUE_STATE, WDFCONTEXT>> m_idleCallbacks;
    // Power management, guarded by m_lock: whether the queue follows the device's power, whether
    // it holds its requests because the device is out of D0, the requests whose EvtIoStop is
    // awaited (m_stopDone is signalled when none is left) and those acknowledged without requeue.
    bool m_powerManaged = false;
    bool m_powerHeld = false;
    std::vector<FxRequest*> m_stopAwaited;
    std::vector<FxRequest*> m_acknowledged;
    KEVENT m_stopDone;
};

inline FxIoQueue* QueueOf(WDFQUEUE queue, const char* routine)
{
    return FxObject::Get<FxIoQueue>(queue, FxType::Queue, routine);
}

} // namespace winsim::wdf
