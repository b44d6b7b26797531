// The framework request (WDFREQUEST): the framework's wrapper of an IRP. Either one that arrived at a
// framework device, from its presentation to the driver until its completion, or one the driver
// created (WdfRequestCreate) around an IRP of its own, which it formats, sends to I/O targets and
// reuses until it deletes it. Either kind can be sent to an I/O target (FxIoTarget.h), which owns
// the send state below while the request is out.
#pragma once

#include "FxObject.h"

#include <usb.h>
#include <wdfusb.h>

#include <optional>

namespace winsim::wdf
{

class FxDevice;
class FxFileObject;
class FxIoQueue;
class FxIoTarget;
class FxMemory;

class FxRequest : public FxObject
{
  public:
    // A request the framework made for an IRP that arrived at a device.
    FxRequest(FxDriver* driver, FxDevice* device, PIRP irp, FxFileObject* file);
    // A request the driver (or the framework for its own synchronous calls) creates around an IRP of
    // its own, with room for `stackSize` drivers below.
    FxRequest(FxDriver* driver, CCHAR stackSize);

    PIRP Irp() const { return m_irp; }
    FxDevice* Device() const { return m_device; }
    FxFileObject* File() const { return m_file; }
    FxIoQueue* Queue() const { return m_queue; }
    void SetQueue(FxIoQueue* queue) { m_queue = queue; }
    bool IsCompleted() const { return m_completed.load(); }
    bool IsCreated() const { return m_created; }
    // Whether the driver has had the request (a queue presented it, the driver retrieved it or
    // forwarded it). The framework calls EvtIoCanceledOnQueue only for such requests.
    bool Delivered() const { return m_delivered.load(); }
    void SetDelivered() { m_delivered.store(true); }

    void GetParameters(PWDF_REQUEST_PARAMETERS parameters) const;
    void Complete(NTSTATUS status, std::optional<ULONG_PTR> information, const char* routine);
    void SetInformation(ULONG_PTR information) { m_information = information; }
    ULONG_PTR Information() const;
    NTSTATUS Status() const;
    void CheckUsable(const char* routine) const;

    // The memory objects WdfRequestRetrieveInputMemory and ...OutputMemory made over the
    // request's buffers (children of the request); null until asked for.
    FxMemory*& InputMemory() { return m_inputMemory; }
    FxMemory*& OutputMemory() { return m_outputMemory; }

    // --- sending -----------------------------------------------------------------------------
    // Whether the request is out at a target (sent and not yet completed, or queued there).
    bool IsPending() const;
    // The target the request is out at; null when it is not out.
    FxIoTarget* Target() const { return m_target.load(); }
    // A verifier stop when the request is out at a target.
    void CheckNotPending(const char* routine) const;
    // Makes the IRP fit a target (a created request gets a deeper IRP when it needs one) and
    // forgets the previous formatting. STATUS_SUCCESS, or the status the format call returns.
    NTSTATUS PrepareFormat(FxIoTarget* target, const char* routine);
    // The next stack location, which the format calls fill.
    PIO_STACK_LOCATION NextStack() const;
    // Keeps a reference on the memory a format call described, until the next format or reuse.
    void HoldMemory(FxMemory* memory);
    // The request block a USB format call fills, and its completion parameters.
    URB& Urb() { return m_urb; }
    WDF_REQUEST_COMPLETION_PARAMS& FormattedParams() { return m_params; }
    WDF_USB_REQUEST_COMPLETION_PARAMS& UsbParams() { return m_usbParams; }
    ULONG& PortStatus() { return m_portStatus; }
    void FormatUsb(WDF_USB_REQUEST_TYPE type);

    void SetCompletionRoutine(PFN_WDF_REQUEST_COMPLETION_ROUTINE routine, WDFCONTEXT context);
    bool HasCompletionRoutine() const { return m_completionRoutine != nullptr; }
    void GetCompletionParams(PWDF_REQUEST_COMPLETION_PARAMS params) const;
    NTSTATUS Reuse(const WDF_REQUEST_REUSE_PARAMS& params);

    // Fails a send before it reached the target: the status WdfRequestGetStatus then returns.
    void FailSend(NTSTATUS status);

    // WdfRequestMarkCancelable(Ex) and WdfRequestUnmarkCancelable: the request's IRP carries the
    // framework's cancel routine, which calls the driver's EvtRequestCancel.
    bool IsCancelable() const { return __atomic_load_n(&m_irp->CancelRoutine, __ATOMIC_ACQUIRE) != nullptr; }
    NTSTATUS MarkCancelable(PFN_WDF_REQUEST_CANCEL cancel, bool failIfCancelled);
    NTSTATUS UnmarkCancelable();

  protected:
    ~FxRequest() override;
    bool DriverMayDelete() const override { return m_created; }
    void OnDispose() override;

  private:
    friend class FxIoTarget;

    void ReleaseMemory();

    static VOID CancelRoutine(PDEVICE_OBJECT device, PIRP irp);

    FxDevice* m_device;
    PIRP m_irp;
    FxFileObject* m_file;
    FxIoQueue* m_queue = nullptr;
    bool m_created = false;
    std::atomic<bool> m_delivered{false};
    // Set once, after m_status; read without the driver's locks (a queue's stop looks at the
    // requests the driver owns while the driver may complete them).
    std::atomic<bool> m_completed{false};
    NTSTATUS m_status = STATUS_SUCCESS;
    ULONG_PTR m_information = 0;
    FxMemory* m_inputMemory = nullptr;  // the driver's thread while it owns the request
    FxMemory* m_outputMemory = nullptr; // likewise

    // --- formatting: set by the format calls while the request is not out -------------------
    FxMemory* m_memory = nullptr; // referenced while formatted
    URB m_urb{};
    ULONG m_portStatus = 0;
    WDF_REQUEST_COMPLETION_PARAMS m_params{};
    WDF_USB_REQUEST_COMPLETION_PARAMS m_usbParams{};
    PFN_WDF_REQUEST_COMPLETION_ROUTINE m_completionRoutine = nullptr;
    WDFCONTEXT m_completionContext = nullptr;

    // --- the send: guarded by the lock of the target it is out at (m_target) -----------------
    enum class SendState
    {
        Idle,   // not out at any target
        Queued, // waiting at a stopped target
        Sent,   // passed to the target's device, not yet completed
    };
    std::atomic<SendState> m_sendState{SendState::Idle};
    std::atomic<FxIoTarget*> m_target{nullptr}; // while out
    bool m_ignoresState = false;                // sent with WDF_REQUEST_SEND_OPTION_IGNORE_TARGET_STATE
    bool m_irpCompleted = false;                // the target's device completed the IRP
    bool m_timerSet = false;                    // the time-out timer is armed
    bool m_timedOut = false;                    // cancelled because the time-out expired
    bool m_synchronous = false;                 // a synchronous send waits on m_done
    bool m_callDriverRoutine = true;
    LONG m_completionRefs = 0; // the IRP, the timer and cancellers in progress; 0: finish it
    PKEVENT m_done = nullptr;
    bool m_timerInitialized = false;
    KTIMER m_timer{};
    KDPC m_timerDpc{};

    PFN_WDF_REQUEST_CANCEL m_cancel = nullptr;
};

// The request a handle names, for the WdfRequest* routines.
FxRequest* RequestOf(WDFREQUEST request, const char* routine);

} // namespace winsim::wdf
