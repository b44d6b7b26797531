// The framework I/O target (WDFIOTARGET): the device object below a framework device that requests
// are sent to, with the state that gates them. The device's local target (WdfDeviceGetIoTarget), the
// USB device and each USB pipe are I/O targets.
//
// States, as KMDF documents them (docs/framework-io-targets.md says what the machine decides where
// the documentation is silent):
//   Started  requests go to the target's device at once.
//   Stopped  new requests wait in the target's queue until WdfIoTargetStart sends them; a request
//            sent with WDF_REQUEST_SEND_OPTION_IGNORE_TARGET_STATE goes at once.
//   Deleted  the device was removed: every send fails with STATUS_INVALID_DEVICE_STATE.
//
// A request out at a target is completed exactly once, by whichever of three parties finishes
// last: the IRP's completion routine, the time-out timer's DPC and a canceller (WdfRequestCancel-
// SentRequest, WdfIoTargetStop, removal). Each holds a completion reference on the request
// (FxRequest::m_completionRefs) while it works on it; the one that drops the last reference
// finishes the request: it leaves the target's lists, its status and completion parameters are
// set, and the driver's completion routine runs (or the synchronous sender wakes).
//
// Locks: m_lock guards the state, the lists and the send fields of every request out at this
// target. It is a leaf: nothing is called out to while it is held.
#pragma once

#include "FxObject.h"

#include <deque>
#include <functional>
#include <mutex>
#include <vector>

namespace winsim::wdf
{

class FxDevice;
class FxRequest;

class FxIoTarget : public FxObject
{
  public:
    FxIoTarget(FxDriver* driver, FxDevice* device, PDEVICE_OBJECT targetDevice,
               FxType type = FxType::IoTarget);

    // The target a handle names: an I/O target, a USB device or a USB pipe.
    static FxIoTarget* FromHandle(WDFIOTARGET handle, const char* routine);
    // The device's local target, made on first use.
    static FxIoTarget* LocalTargetOf(FxDevice* device);
    // Device removal: every target of the device goes to the deleted state, its requests are
    // cancelled (queued ones fail with STATUS_WDF_DEVICE_REMOVED_NOT_SENT) and waited for.
    static void RemoveTargetsOf(FxDevice* device);

    FxDevice* Device() const { return m_device; }
    PDEVICE_OBJECT TargetDevice() const { return m_targetDevice; }
    CCHAR StackSize() const { return m_targetDevice->StackSize; }
    WDF_IO_TARGET_STATE State();

    NTSTATUS Start();
    void Stop(WDF_IO_TARGET_SENT_IO_ACTION action);

    // Internal send flags beside WDF_REQUEST_SEND_OPTION_*.
    static constexpr ULONG SendFailIfStopped = 0x80000000;   // fail instead of queueing at a stopped target
    static constexpr ULONG SendNoDriverRoutine = 0x40000000; // a framework call's own synchronous send

    // Sends a formatted request asynchronously. True when it was sent or queued; false when the
    // send failed (its status is in the request).
    bool Send(FxRequest* request, const WDF_REQUEST_SEND_OPTIONS* options, ULONG flags);
    // Sends a formatted request and waits for it (PASSIVE_LEVEL), within the options' time-out if
    // they have one: on expiry the request is cancelled and ends with STATUS_IO_TIMEOUT. *sent
    // tells whether it went out. Returns its completion status.
    NTSTATUS SendAndWait(FxRequest* request, const WDF_REQUEST_SEND_OPTIONS* options, ULONG flags,
                         bool* sent = nullptr);
    // WdfRequestCancelSentRequest: true when the request was out here and its cancellation began.
    bool Cancel(FxRequest* request);

  protected:
    ~FxIoTarget() override;
    void OnDispose() override;
    bool DriverMayDelete() const override { return false; }
    // The pipe's continuous reader starts and stops with its target.
    virtual void OnStarted() {}
    virtual void OnStopping() {}
    virtual bool ForcesCancelOnStop() const { return false; }
    virtual void WaitForOwnWork() {}

    void Remove();

  private:
    static IO_COMPLETION_ROUTINE IrpCompleted;
    static KDEFERRED_ROUTINE TimerExpired;
    void Submit(FxRequest* request, const WDF_REQUEST_SEND_OPTIONS* options, ULONG flags, bool* send,
                bool* accepted);
    void PassDown(FxRequest* request);
    void CancelAll(bool includeIgnored);
    // Both leave the lock released when they finished the request.
    void CancelLocked(FxRequest* request, std::unique_lock<std::mutex>& lock);
    void FailQueuedLocked(FxRequest* request, NTSTATUS status, std::unique_lock<std::mutex>& lock);
    void DropReference(FxRequest* request, std::unique_lock<std::mutex>& lock);
    void Finish(FxRequest* request);
    // Waits until nothing gated by the state is out (a stop), or until every request sent here has
    // been finished, its completion routine included (all: a removal).
    void WaitForSentIo(bool all);

    FxDevice* m_device;
    PDEVICE_OBJECT m_targetDevice;
    std::mutex m_lock;
    WDF_IO_TARGET_STATE m_state = WdfIoTargetStarted;
    std::vector<FxRequest*> m_sent;    // passed down, gated by the state
    std::vector<FxRequest*> m_ignored; // passed down with IGNORE_TARGET_STATE
    std::deque<FxRequest*> m_queued;   // waiting for the target to start
    unsigned m_outstanding = 0;        // accepted and not yet finished
    unsigned m_finishingSent = 0;      // taken off m_sent, their completion routine not yet returned
    KEVENT m_sentIoDone{};             // set when a request finishes while someone waits
    bool m_waiting = false;
};

} // namespace winsim::wdf
