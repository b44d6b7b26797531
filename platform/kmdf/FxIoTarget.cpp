// Framework I/O targets: sending requests, their time-outs and cancellation, the target's states,
// and WdfDeviceGetIoTarget, WdfIoTarget*, WdfRequestSend and WdfRequestCancelSentRequest.
#include "FxIoTarget.h"

#include "FxDevice.h"
#include "FxDriver.h"
#include "FxIoQueue.h"
#include "FxRequest.h"
#include "FxVerifier.h"

#include <algorithm>
#include <map>

namespace winsim::wdf
{

namespace
{

// The targets of each device, for its removal; guarded by TargetsLock.
std::mutex& TargetsLock()
{
    static std::mutex lock;
    return lock;
}

std::multimap<FxDevice*, FxIoTarget*>& TargetsByDevice()
{
    static std::multimap<FxDevice*, FxIoTarget*> targets;
    return targets;
}

std::map<FxDevice*, FxIoTarget*>& LocalTargets()
{
    static std::map<FxDevice*, FxIoTarget*> targets;
    return targets;
}

bool Erase(std::vector<FxRequest*>& list, FxRequest* request)
{
    auto it = std::find(list.begin(), list.end(), request);
    if (it == list.end())
    {
        return false;
    }
    list.erase(it);
    return true;
}

} // namespace

FxIoTarget::FxIoTarget(FxDriver* driver, FxDevice* device, PDEVICE_OBJECT targetDevice, FxType type)
    : FxObject(type, driver), m_device(device), m_targetDevice(targetDevice)
{
    KeInitializeEvent(&m_sentIoDone, NotificationEvent, TRUE);
    std::lock_guard<std::mutex> guard(TargetsLock());
    TargetsByDevice().emplace(device, this);
}

FxIoTarget* FxIoTarget::FromHandle(WDFIOTARGET handle, const char* routine)
{
    FxObject* object = FxObject::FromHandle(handle, routine);
    if (object->Type() != FxType::IoTarget && object->Type() != FxType::UsbDevice &&
        object->Type() != FxType::UsbPipe)
    {
        VerifierStop(VerifierRule::InvalidHandle, "%s: handle %p is a %s, not a WDFIOTARGET", routine,
                     static_cast<void*>(handle), FxTypeName(object->Type()));
    }
    return static_cast<FxIoTarget*>(object);
}

FxIoTarget* FxIoTarget::LocalTargetOf(FxDevice* device)
{
    {
        std::lock_guard<std::mutex> guard(TargetsLock());
        auto it = LocalTargets().find(device);
        if (it != LocalTargets().end())
        {
            return it->second;
        }
    }
    auto* target = new FxIoTarget(device->Driver(), device, device->Lower());
    WDF_OBJECT_ATTRIBUTES attributes;
    WDF_OBJECT_ATTRIBUTES_INIT(&attributes);
    attributes.ParentObject = device->Handle();
    if (!NT_SUCCESS(target->Initialize(&attributes, device, "WdfDeviceGetIoTarget")))
    {
        FxObject::Discard(target);
        return nullptr;
    }
    std::lock_guard<std::mutex> guard(TargetsLock());
    auto [it, inserted] = LocalTargets().emplace(device, target);
    if (!inserted)
    {
        // Another thread made it first; this one goes again without the driver having seen it.
        target->DisposeWithoutCallbacks();
    }
    return it->second;
}

void FxIoTarget::RemoveTargetsOf(FxDevice* device)
{
    std::vector<FxIoTarget*> targets;
    {
        std::lock_guard<std::mutex> guard(TargetsLock());
        auto range = TargetsByDevice().equal_range(device);
        for (auto it = range.first; it != range.second; ++it)
        {
            targets.push_back(it->second);
        }
    }
    for (FxIoTarget* target : targets)
    {
        target->Remove();
    }
}

WDF_IO_TARGET_STATE FxIoTarget::State()
{
    std::lock_guard<std::mutex> guard(m_lock);
    return m_state;
}

// --- states -----------------------------------------------------------------------------------

NTSTATUS FxIoTarget::Start()
{
    std::deque<FxRequest*> queued;
    {
        std::lock_guard<std::mutex> guard(m_lock);
        if (m_state == WdfIoTargetDeleted)
        {
            return STATUS_INVALID_DEVICE_STATE;
        }
        m_state = WdfIoTargetStarted;
        queued.swap(m_queued);
        for (FxRequest* request : queued)
        {
            request->m_sendState = FxRequest::SendState::Sent;
            m_sent.push_back(request);
        }
    }
    for (FxRequest* request : queued)
    {
        PassDown(request);
    }
    OnStarted();
    return STATUS_SUCCESS;
}

void FxIoTarget::Stop(WDF_IO_TARGET_SENT_IO_ACTION action)
{
    if (ForcesCancelOnStop())
    {
        // A pipe with a continuous reader always takes its reads back, so that a start can send them
        // again.
        action = WdfIoTargetCancelSentIo;
    }
    if (action != WdfIoTargetLeaveSentIoPending)
    {
        // A failure the pipe's reader is handling (its report, the pipe's reset, the reads' restart)
        // ends before the target stops.
        WaitForOwnWork();
    }
    {
        std::unique_lock<std::mutex> lock(m_lock);
        if (m_state != WdfIoTargetDeleted)
        {
            m_state = WdfIoTargetStopped;
        }
    }
    OnStopping();
    if (action == WdfIoTargetCancelSentIo)
    {
        CancelAll(false);
    }
    if (action != WdfIoTargetLeaveSentIoPending)
    {
        WaitForSentIo(false);
    }
}

void FxIoTarget::Remove()
{
    RequireIrqlAtMost(PASSIVE_LEVEL, "I/O target removal");
    std::deque<FxRequest*> queued;
    {
        std::unique_lock<std::mutex> lock(m_lock);
        if (m_state == WdfIoTargetDeleted && m_sent.empty() && m_ignored.empty() && m_queued.empty())
        {
            return;
        }
        m_state = WdfIoTargetDeleted;
        queued.swap(m_queued);
    }
    OnStopping();
    for (FxRequest* request : queued)
    {
        // A request that never went out fails as the framework fails it when its device goes.
        std::unique_lock<std::mutex> lock(m_lock);
        FailQueuedLocked(request, STATUS_WDF_DEVICE_REMOVED_NOT_SENT, lock);
    }
    CancelAll(true);
    WaitForSentIo(true);
    WaitForOwnWork();
}

void FxIoTarget::OnDispose()
{
    if (KeGetCurrentIrql() == PASSIVE_LEVEL)
    {
        Remove();
    }
}

FxIoTarget::~FxIoTarget()
{
    std::lock_guard<std::mutex> guard(TargetsLock());
    auto range = TargetsByDevice().equal_range(m_device);
    for (auto it = range.first; it != range.second; ++it)
    {
        if (it->second == this)
        {
            TargetsByDevice().erase(it);
            break;
        }
    }
    auto local = LocalTargets().find(m_device);
    if (local != LocalTargets().end() && local->second == this)
    {
        LocalTargets().erase(local);
    }
}

void FxIoTarget::WaitForSentIo(bool all)
{
    RequireIrqlAtMost(PASSIVE_LEVEL, "WdfIoTargetStop (waiting for sent requests)");
    for (;;)
    {
        {
            std::lock_guard<std::mutex> guard(m_lock);
            if (all ? m_outstanding == 0 : m_sent.empty() && m_finishingSent == 0)
            {
                return;
            }
            KeClearEvent(&m_sentIoDone);
            m_waiting = true;
        }
        KeWaitForSingleObject(&m_sentIoDone, Executive, KernelMode, FALSE, nullptr);
    }
}

// --- sending ----------------------------------------------------------------------------------

// Decides, under the lock, what becomes of a request: passed down now (*send), queued until the
// target starts, or refused (*accepted false, its status set).
void FxIoTarget::Submit(FxRequest* request, const WDF_REQUEST_SEND_OPTIONS* options, ULONG flags, bool* send,
                        bool* accepted)
{
    *send = false;
    *accepted = false;
    std::unique_lock<std::mutex> lock(m_lock);
    NTSTATUS status = STATUS_SUCCESS;
    bool ignoreState = (flags & WDF_REQUEST_SEND_OPTION_IGNORE_TARGET_STATE) != 0;
    if (m_state == WdfIoTargetDeleted)
    {
        status = STATUS_INVALID_DEVICE_STATE;
    }
    else if (ignoreState || m_state == WdfIoTargetStarted)
    {
        *send = true;
    }
    else if ((flags & SendFailIfStopped) != 0)
    {
        status = STATUS_INVALID_DEVICE_STATE;
    }
    if (!NT_SUCCESS(status))
    {
        request->FailSend(status);
        return;
    }
    *accepted = true;
    request->m_target = this;
    request->m_ignoresState = ignoreState && m_state != WdfIoTargetStarted;
    request->m_irpCompleted = false;
    request->m_timedOut = false;
    request->m_completionRefs = 1;
    request->AddRef(this, __LINE__, __FILE__);
    ++m_outstanding;
    if (*send)
    {
        request->m_sendState = FxRequest::SendState::Sent;
        (request->m_ignoresState ? m_ignored : m_sent).push_back(request);
    }
    else
    {
        request->m_sendState = FxRequest::SendState::Queued;
        m_queued.push_back(request);
    }
    if (options != nullptr && (options->Flags & WDF_REQUEST_SEND_OPTION_TIMEOUT) != 0 &&
        options->Timeout != 0 && !request->m_synchronous)
    {
        if (!request->m_timerInitialized)
        {
            KeInitializeTimer(&request->m_timer);
            KeInitializeDpc(&request->m_timerDpc, TimerExpired, request);
            request->m_timerInitialized = true;
        }
        request->m_timerSet = true;
        request->m_completionRefs++;
        LARGE_INTEGER due;
        due.QuadPart = options->Timeout;
        KeSetTimer(&request->m_timer, due, &request->m_timerDpc);
    }
}

void FxIoTarget::PassDown(FxRequest* request)
{
    PIRP irp = request->Irp();
    IoSetCompletionRoutine(irp, IrpCompleted, request, TRUE, TRUE, TRUE);
    IoCallDriver(m_targetDevice, irp);
}

bool FxIoTarget::Send(FxRequest* request, const WDF_REQUEST_SEND_OPTIONS* options, ULONG flags)
{
    request->CheckNotPending("WdfRequestSend");
    bool send = false;
    bool accepted = false;
    Submit(request, options, flags, &send, &accepted);
    if (send)
    {
        PassDown(request);
    }
    return accepted;
}

NTSTATUS FxIoTarget::SendAndWait(FxRequest* request, const WDF_REQUEST_SEND_OPTIONS* options, ULONG flags,
                                 bool* sent)
{
    request->CheckNotPending("a synchronous send");
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    request->m_synchronous = true;
    request->m_callDriverRoutine = (flags & SendNoDriverRoutine) == 0;
    request->m_done = &done;
    bool send = false;
    bool accepted = false;
    Submit(request, options, flags, &send, &accepted);
    if (sent != nullptr)
    {
        *sent = accepted;
    }
    if (!accepted)
    {
        request->m_synchronous = false;
        request->m_done = nullptr;
        return request->Irp()->IoStatus.Status;
    }
    // The request holds a reference of this thread until it has been read after the wait.
    PVOID const waiterTag = &done;
    request->AddRef(waiterTag, __LINE__, __FILE__);
    if (send)
    {
        PassDown(request);
    }
    bool timed = options != nullptr && (options->Flags & WDF_REQUEST_SEND_OPTION_TIMEOUT) != 0 &&
                 options->Timeout != 0;
    LARGE_INTEGER timeout;
    timeout.QuadPart = timed ? options->Timeout : 0;
    NTSTATUS wait = KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, timed ? &timeout : nullptr);
    if (wait == STATUS_TIMEOUT)
    {
        {
            std::unique_lock<std::mutex> lock(m_lock);
            if (request->m_target == this)
            {
                request->m_timedOut = true;
                CancelLocked(request, lock);
            }
        }
        KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
    }
    NTSTATUS status = request->Irp()->IoStatus.Status;
    request->Release(waiterTag, __LINE__, __FILE__);
    return status;
}

bool FxIoTarget::Cancel(FxRequest* request)
{
    std::unique_lock<std::mutex> lock(m_lock);
    if (request->m_target != this || request->m_sendState == FxRequest::SendState::Idle ||
        request->m_irpCompleted)
    {
        return false;
    }
    CancelLocked(request, lock);
    return true;
}

// Cancels what is out here (and what ignores the target's state too, when asked). Each request is
// referenced while it is cancelled, as it may complete and be deleted meanwhile.
void FxIoTarget::CancelAll(bool includeIgnored)
{
    PVOID const cancelTag = &m_sent;
    std::vector<FxRequest*> cancel;
    {
        std::lock_guard<std::mutex> guard(m_lock);
        cancel = m_sent;
        if (includeIgnored)
        {
            cancel.insert(cancel.end(), m_ignored.begin(), m_ignored.end());
        }
        for (FxRequest* request : cancel)
        {
            request->AddRef(cancelTag, __LINE__, __FILE__);
        }
    }
    for (FxRequest* request : cancel)
    {
        {
            std::unique_lock<std::mutex> lock(m_lock);
            if (request->m_target == this && request->m_sendState != FxRequest::SendState::Idle)
            {
                CancelLocked(request, lock);
            }
        }
        request->Release(cancelTag, __LINE__, __FILE__);
    }
}

// Cancels a request that is out here: one still queued completes as cancelled, one passed down gets
// its IRP cancelled (its completion follows from the target's device). The lock is dropped and taken
// again around the call out.
void FxIoTarget::CancelLocked(FxRequest* request, std::unique_lock<std::mutex>& lock)
{
    if (request->m_sendState == FxRequest::SendState::Queued)
    {
        std::erase(m_queued, request);
        FailQueuedLocked(request, STATUS_CANCELLED, lock);
        return;
    }
    if (request->m_irpCompleted)
    {
        return;
    }
    request->m_completionRefs++;
    lock.unlock();
    IoCancelIrp(request->Irp());
    lock.lock();
    DropReference(request, lock);
}

// Completes a request that never left the queue of this target with a status of the framework's.
void FxIoTarget::FailQueuedLocked(FxRequest* request, NTSTATUS status, std::unique_lock<std::mutex>& lock)
{
    request->m_sendState = FxRequest::SendState::Sent; // it leaves through Finish like a sent one
    request->FailSend(status);
    request->m_irpCompleted = true;
    if (request->m_timerSet && KeCancelTimer(&request->m_timer))
    {
        request->m_timerSet = false;
        request->m_completionRefs--;
    }
    DropReference(request, lock);
}

// Drops one completion reference; the last one finishes the request. Then the lock is released
// and stays so: once the request finished, a removal waiting for it may free this target.
void FxIoTarget::DropReference(FxRequest* request, std::unique_lock<std::mutex>& lock)
{
    if (--request->m_completionRefs > 0)
    {
        return;
    }
    lock.unlock();
    Finish(request);
}

NTSTATUS FxIoTarget::IrpCompleted(PDEVICE_OBJECT, PIRP, PVOID context)
{
    auto* request = static_cast<FxRequest*>(context);
    FxIoTarget* target = request->m_target;
    std::unique_lock<std::mutex> lock(target->m_lock);
    request->m_irpCompleted = true;
    if (request->m_timerSet && KeCancelTimer(&request->m_timer))
    {
        // The timer will not fire: its reference goes with it.
        request->m_timerSet = false;
        request->m_completionRefs--;
    }
    target->DropReference(request, lock);
    // The IRP is the request's (or, for a request the device received, goes back up the stack when
    // the driver completes the request).
    return STATUS_MORE_PROCESSING_REQUIRED;
}

void FxIoTarget::TimerExpired(PKDPC, PVOID context, PVOID, PVOID)
{
    auto* request = static_cast<FxRequest*>(context);
    FxIoTarget* target = request->m_target;
    std::unique_lock<std::mutex> lock(target->m_lock);
    request->m_timerSet = false;
    if (!request->m_irpCompleted)
    {
        request->m_timedOut = true;
        // The timer's reference becomes the canceller's.
        request->m_completionRefs--;
        target->CancelLocked(request, lock);
        return;
    }
    target->DropReference(request, lock);
}

void FxIoTarget::Finish(FxRequest* request)
{
    PIRP irp = request->Irp();
    bool finishingSent = false;
    {
        std::lock_guard<std::mutex> guard(m_lock);
        if (Erase(m_sent, request))
        {
            // A stop that waits for sent requests waits for the completion routine too.
            ++m_finishingSent;
            finishingSent = true;
        }
        else
        {
            Erase(m_ignored, request);
        }
        if (request->m_timedOut && irp->IoStatus.Status == STATUS_CANCELLED)
        {
            // A request the time-out cancelled ends with the time-out's status, as KMDF reports it.
            irp->IoStatus.Status = STATUS_IO_TIMEOUT;
        }
        request->m_params.IoStatus = irp->IoStatus;
        if (request->m_params.Type == WdfRequestTypeUsb)
        {
            request->m_usbParams.UsbdStatus = request->m_urb.UrbHeader.Status;
            switch (request->m_usbParams.Type)
            {
            case WdfUsbRequestTypePipeRead:
            case WdfUsbRequestTypePipeWrite:
                request->m_usbParams.Parameters.PipeRead.Length =
                    request->m_urb.UrbBulkOrInterruptTransfer.TransferBufferLength;
                break;
            case WdfUsbRequestTypeDeviceControlTransfer:
                request->m_usbParams.Parameters.DeviceControlTransfer.Length =
                    request->m_urb.UrbControlTransferEx.TransferBufferLength;
                break;
            default:
                break;
            }
        }
        request->m_sendState = FxRequest::SendState::Idle;
        request->m_target = nullptr;
    }
    bool synchronous = request->m_synchronous;
    PKEVENT done = request->m_done;
    request->m_synchronous = false;
    request->m_done = nullptr;
    bool callDriver = !synchronous || request->m_callDriverRoutine;
    request->m_callDriverRoutine = true;
    if (callDriver && request->m_completionRoutine != nullptr)
    {
        WDFREQUEST handle = reinterpret_cast<WDFREQUEST>(request->Handle());
        WDFIOTARGET targetHandle = reinterpret_cast<WDFIOTARGET>(Handle());
        request->m_completionRoutine(handle, targetHandle, &request->m_params, request->m_completionContext);
    }
    if (synchronous)
    {
        KeSetEvent(done, IO_NO_INCREMENT, FALSE);
    }
    // The target's reference goes before a stop or removal waiting for the request wakes: once it
    // is awake, the request may be the last thing its driver has.
    request->Release(this, __LINE__, __FILE__);
    bool wake = false;
    {
        std::lock_guard<std::mutex> guard(m_lock);
        --m_outstanding;
        if (finishingSent)
        {
            --m_finishingSent;
        }
        wake = m_waiting;
        m_waiting = false;
    }
    if (wake)
    {
        KeSetEvent(&m_sentIoDone, IO_NO_INCREMENT, FALSE);
    }
}

} // namespace winsim::wdf

using namespace winsim::wdf;

namespace
{
bool SendRequest(FxRequest* request, FxIoTarget* target, PWDF_REQUEST_SEND_OPTIONS options)
{
    ULONG flags = options != nullptr ? options->Flags : 0;
    if (options != nullptr && options->Size != sizeof(WDF_REQUEST_SEND_OPTIONS))
    {
        VerifierStop(VerifierRule::ObjectMisuse,
                     "WdfRequestSend: WDF_REQUEST_SEND_OPTIONS has size %u, not %zu (not initialised?)",
                     options->Size, sizeof(WDF_REQUEST_SEND_OPTIONS));
    }
    if ((flags & WDF_REQUEST_SEND_OPTION_SYNCHRONOUS) != 0)
    {
        RequireIrqlAtMost(PASSIVE_LEVEL, "WdfRequestSend(WDF_REQUEST_SEND_OPTION_SYNCHRONOUS)");
    }
    else
    {
        RequireIrqlAtMost(DISPATCH_LEVEL, "WdfRequestSend");
    }
    request->CheckNotPending("WdfRequestSend");
    if (request->Irp()->StackCount < target->StackSize() ||
        (!request->IsCreated() && request->Irp()->CurrentLocation - 1 < target->StackSize()))
    {
        request->FailSend(STATUS_INVALID_DEVICE_REQUEST);
        return false;
    }
    if ((flags & WDF_REQUEST_SEND_OPTION_SYNCHRONOUS) != 0)
    {
        bool sent = false;
        target->SendAndWait(request, options, flags & ~WDF_REQUEST_SEND_OPTION_SYNCHRONOUS, &sent);
        return sent;
    }
    if ((flags & WDF_REQUEST_SEND_OPTION_SEND_AND_FORGET) != 0)
    {
        // Only a request the device received can be sent and forgotten: its IRP goes down with the
        // driver's stack location skipped, and the framework forgets the request.
        if (request->IsCreated())
        {
            request->FailSend(STATUS_INVALID_DEVICE_REQUEST);
            return false;
        }
        PIRP irp = request->Irp();
        IoSkipCurrentIrpStackLocation(irp);
        if (request->Queue() != nullptr)
        {
            request->Queue()->DriverRequestDone(request);
        }
        request->Device()->TrackRequest(request, false);
        request->DisposeTree();
        IoCallDriver(target->TargetDevice(), irp);
        return true;
    }
    if (!request->IsCreated() && !request->HasCompletionRoutine())
    {
        // KMDF refuses an asynchronous send of a received request the driver would never hear back of.
        request->FailSend(STATUS_INVALID_DEVICE_REQUEST);
        return false;
    }
    return target->Send(request, options, flags);
}
} // namespace

extern "C"
{

    WDFIOTARGET imp_WdfDeviceGetIoTarget(PWDF_DRIVER_GLOBALS, WDFDEVICE Device)
    {
        RequireIrqlAtMost(DISPATCH_LEVEL, "WdfDeviceGetIoTarget");
        FxDevice* device = FxObject::Get<FxDevice>(Device, FxType::Device, "WdfDeviceGetIoTarget");
        FxIoTarget* target = FxIoTarget::LocalTargetOf(device);
        return target != nullptr ? reinterpret_cast<WDFIOTARGET>(target->Handle()) : nullptr;
    }

    NTSTATUS imp_WdfIoTargetStart(PWDF_DRIVER_GLOBALS, WDFIOTARGET IoTarget)
    {
        RequireIrqlAtMost(DISPATCH_LEVEL, "WdfIoTargetStart");
        return FxIoTarget::FromHandle(IoTarget, "WdfIoTargetStart")->Start();
    }

    VOID imp_WdfIoTargetStop(PWDF_DRIVER_GLOBALS, WDFIOTARGET IoTarget, WDF_IO_TARGET_SENT_IO_ACTION Action)
    {
        FxIoTarget* target = FxIoTarget::FromHandle(IoTarget, "WdfIoTargetStop");
        if (Action != WdfIoTargetCancelSentIo && Action != WdfIoTargetWaitForSentIoToComplete &&
            Action != WdfIoTargetLeaveSentIoPending)
        {
            VerifierStop(VerifierRule::ObjectMisuse,
                         "WdfIoTargetStop: %d is not a WDF_IO_TARGET_SENT_IO_ACTION",
                         static_cast<int>(Action));
        }
        RequireIrqlAtMost(Action == WdfIoTargetLeaveSentIoPending ? DISPATCH_LEVEL : PASSIVE_LEVEL,
                          "WdfIoTargetStop");
        target->Stop(Action);
    }

    WDF_IO_TARGET_STATE imp_WdfIoTargetGetState(PWDF_DRIVER_GLOBALS, WDFIOTARGET IoTarget)
    {
        RequireIrqlAtMost(DISPATCH_LEVEL, "WdfIoTargetGetState");
        return FxIoTarget::FromHandle(IoTarget, "WdfIoTargetGetState")->State();
    }

    WDFDEVICE imp_WdfIoTargetGetDevice(PWDF_DRIVER_GLOBALS, WDFIOTARGET IoTarget)
    {
        FxDevice* device = FxIoTarget::FromHandle(IoTarget, "WdfIoTargetGetDevice")->Device();
        return reinterpret_cast<WDFDEVICE>(device->Handle());
    }

    PDEVICE_OBJECT imp_WdfIoTargetWdmGetTargetDeviceObject(PWDF_DRIVER_GLOBALS, WDFIOTARGET IoTarget)
    {
        return FxIoTarget::FromHandle(IoTarget, "WdfIoTargetWdmGetTargetDeviceObject")->TargetDevice();
    }

    BOOLEAN imp_WdfRequestSend(PWDF_DRIVER_GLOBALS, WDFREQUEST Request, WDFIOTARGET Target,
                               PWDF_REQUEST_SEND_OPTIONS Options)
    {
        FxRequest* request = RequestOf(Request, "WdfRequestSend");
        FxIoTarget* target = FxIoTarget::FromHandle(Target, "WdfRequestSend");
        return SendRequest(request, target, Options) ? TRUE : FALSE;
    }

    BOOLEAN imp_WdfRequestCancelSentRequest(PWDF_DRIVER_GLOBALS, WDFREQUEST Request)
    {
        RequireIrqlAtMost(DISPATCH_LEVEL, "WdfRequestCancelSentRequest");
        FxRequest* request =
            FxObject::Get<FxRequest>(Request, FxType::Request, "WdfRequestCancelSentRequest");
        FxIoTarget* target = request->Target();
        return target != nullptr && target->Cancel(request) ? TRUE : FALSE;
    }

} // extern "C"
