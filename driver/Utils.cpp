// Request queues, cancellation and timers: the machinery the read, write, mask and purge paths
// share. Each manual queue has a current-request slot; a request completes once the receive or
// transmit path, its cancel routine and its total timer have all let it go (REQUEST_CONTEXT.RefBits),
// and the call that drops the last reference completes it and starts the next one.
#include "Driver.h"

#include "Utils.tmh"

// The tag of the tracked references this unit takes on requests.
#define UTILS_TAG ((PVOID) "Utils")

VOID CompleteRequest(WDFREQUEST Request, NTSTATUS Status, ULONG_PTR Information)
/*++
Routine Description:
    Completes Request with Status and Information.
IRQL:
    <= DISPATCH_LEVEL.
Return Value:
    None.
--*/
{
    WdfRequestCompleteWithInformation(Request, Status, Information);
}

WDFREQUEST CurrentRequest(PDEVICE_CONTEXT Context, WDFREQUEST* Slot)
/*++
Routine Description:
    The current request of a queue's slot (or CurrentWait), read under QueueLock.
IRQL:
    <= DISPATCH_LEVEL. It takes QueueLock.
Return Value:
    The request, or NULL.
--*/
{
    WdfSpinLockAcquire(Context->QueueLock);
    WDFREQUEST request = *Slot;
    WdfSpinLockRelease(Context->QueueLock);
    return request;
}

BOOLEAN ErrorAbortActive(PDEVICE_CONTEXT Context)
/*++
Routine Description:
    Whether requests are refused because of an error: the handshake asks for SERIAL_ERROR_ABORT
    and an error is recorded that IOCTL_SERIAL_GET_COMMSTATUS has not cleared yet.
IRQL:
    <= DISPATCH_LEVEL. It takes SettingsLock.
Return Value:
    TRUE while the port is in that state.
--*/
{
    WdfSpinLockAcquire(Context->SettingsLock);
    BOOLEAN active =
        (Context->HandFlow.ControlHandShake & SERIAL_ERROR_ABORT) != 0 && Context->ErrorWord != 0;
    WdfSpinLockRelease(Context->SettingsLock);
    return active;
}

static BOOLEAN IsImmediateChar(WDFREQUEST Request)
/*++
Routine Description:
    Whether Request is an IOCTL_SERIAL_IMMEDIATE_CHAR.
IRQL:
    <= DISPATCH_LEVEL.
Return Value:
    TRUE for that control.
--*/
{
    WDF_REQUEST_PARAMETERS parameters;
    WDF_REQUEST_PARAMETERS_INIT(&parameters);
    WdfRequestGetParameters(Request, &parameters);
    return parameters.Type == WdfRequestTypeDeviceControl &&
           parameters.Parameters.DeviceIoControl.IoControlCode == IOCTL_SERIAL_IMMEDIATE_CHAR;
}

static VOID UndoAccounting(PDEVICE_CONTEXT Context, WDFREQUEST Request)
/*++
Routine Description:
    Takes back what accepting Request counted: a write's bytes and an immediate character from
    TxPending (and the immediate character's flag), and frees the ring a SET_QUEUE_SIZE brought.
IRQL:
    <= DISPATCH_LEVEL. It takes SettingsLock.
Return Value:
    None.
--*/
{
    PREQUEST_CONTEXT requestContext = GetRequestContext(Request);
    if (requestContext->MajorFunction == IRP_MJ_WRITE)
    {
        WdfSpinLockAcquire(Context->SettingsLock);
        Context->TxPending -= requestContext->Length;
        WdfSpinLockRelease(Context->SettingsLock);
    }
    else if (requestContext->IoControlCode == IOCTL_SERIAL_IMMEDIATE_CHAR)
    {
        WdfSpinLockAcquire(Context->SettingsLock);
        Context->TxPending -= 1;
        Context->ImmediatePending = FALSE;
        WdfSpinLockRelease(Context->SettingsLock);
    }
    else if (requestContext->NewRing != NULL)
    {
        ExFreePoolWithTag(requestContext->NewRing, TARNO_TAG_RX_REPLACE);
        requestContext->NewRing = NULL;
    }
}

VOID StartOrQueue(PDEVICE_CONTEXT Context, WDFREQUEST Request, WDFQUEUE Queue, WDFREQUEST* Slot,
                  PSERIAL_START_ROUTINE Start)
/*++
Routine Description:
    Accepts Request for Queue: counts a write's bytes and an immediate character in TxPending,
    then makes it the current request and runs Start when the queue is idle (no request waits
    in it and none is current), or parks it in the queue behind the others.
IRQL:
    <= DISPATCH_LEVEL. It takes SettingsLock, then QueueLock.
Return Value:
    None; a request that cannot be queued is completed with the framework's status.
--*/
{
    PREQUEST_CONTEXT requestContext = GetRequestContext(Request);
    requestContext->OwnerDevice = Context;
    requestContext->TxCancelSent = FALSE;

    BOOLEAN write = requestContext->MajorFunction == IRP_MJ_WRITE;
    if (!write && IsImmediateChar(Request))
    {
        requestContext->IoControlCode = IOCTL_SERIAL_IMMEDIATE_CHAR;
    }
    if (write || requestContext->IoControlCode == IOCTL_SERIAL_IMMEDIATE_CHAR)
    {
        WdfSpinLockAcquire(Context->SettingsLock);
        Context->TxPending += write ? requestContext->Length : 1;
        WdfSpinLockRelease(Context->SettingsLock);
    }

    WdfSpinLockAcquire(Context->QueueLock);
    if (write || requestContext->IoControlCode == IOCTL_SERIAL_IMMEDIATE_CHAR)
    {
        Context->TxEmptied = FALSE;
    }
    // Idle: nothing waits in the queue and nothing is current. Requests the queue handed out are
    // not counted: the one just finished may not be completed yet, and a wait that became
    // CurrentWait stays the queue's until it completes, yet neither holds the slot.
    ULONG queued = 0;
    WdfIoQueueGetState(Queue, &queued, NULL);
    if (queued == 0 && *Slot == NULL)
    {
        *Slot = Request;
        WdfSpinLockRelease(Context->QueueLock);
        Start(Context);
        return;
    }
    NTSTATUS status = WdfRequestForwardToIoQueue(Request, Queue);
    WdfSpinLockRelease(Context->QueueLock);
    if (!NT_SUCCESS(status))
    {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_FLAG_GENERAL, "%ws: WdfRequestForwardToIoQueue failed 0x%x",
                    PortNameOf(Context), status);
        UndoAccounting(Context, Request);
        CompleteRequest(Request, status, 0);
    }
}

NTSTATUS MarkCancelable(WDFREQUEST Request, PFN_WDF_REQUEST_CANCEL CancelRoutine)
/*++
Routine Description:
    Arms CancelRoutine for Request (WdfRequestMarkCancelableEx) and records it: REF_CANCEL is
    set and the routine is kept in the request's context.
IRQL:
    <= DISPATCH_LEVEL. It takes QueueLock.
Return Value:
    STATUS_SUCCESS, or STATUS_CANCELLED when the request was cancelled before: it is then not
    armed and stays with the caller.
--*/
{
    PREQUEST_CONTEXT requestContext = GetRequestContext(Request);
    PDEVICE_CONTEXT context = requestContext->OwnerDevice;
    // Armed under QueueLock: a cancel routine that runs at once waits for the lock and then finds
    // the bit, and no path disarms a routine that is not armed yet.
    WdfSpinLockAcquire(context->QueueLock);
    NTSTATUS status = WdfRequestMarkCancelableEx(Request, CancelRoutine);
    if (NT_SUCCESS(status))
    {
        requestContext->CancelRoutine = CancelRoutine;
        requestContext->RefBits |= REF_CANCEL;
    }
    WdfSpinLockRelease(context->QueueLock);
    return status;
}

NTSTATUS DisarmCancelLocked(WDFREQUEST Request)
/*++
Routine Description:
    Takes the cancel routine back from Request (WdfRequestUnmarkCancelable); on success
    REF_CANCEL is cleared.
IRQL:
    DISPATCH_LEVEL, with the device's QueueLock held.
Return Value:
    STATUS_SUCCESS; STATUS_CANCELLED when the cancel routine runs or will run and owns the
    request; the framework's status when the routine was not armed.
--*/
{
    PREQUEST_CONTEXT requestContext = GetRequestContext(Request);
    if ((requestContext->RefBits & REF_CANCEL) == 0)
    {
        return STATUS_INVALID_DEVICE_STATE;
    }
    NTSTATUS status = WdfRequestUnmarkCancelable(Request);
    if (NT_SUCCESS(status))
    {
        requestContext->RefBits &= ~REF_CANCEL;
        requestContext->CancelRoutine = NULL;
    }
    return status;
}

NTSTATUS DisarmCancel(WDFREQUEST Request)
/*++
Routine Description:
    DisarmCancelLocked for a caller that does not hold QueueLock.
IRQL:
    <= DISPATCH_LEVEL. It takes QueueLock.
Return Value:
    As DisarmCancelLocked.
--*/
{
    PDEVICE_CONTEXT context = GetRequestContext(Request)->OwnerDevice;
    WdfSpinLockAcquire(context->QueueLock);
    NTSTATUS status = DisarmCancelLocked(Request);
    WdfSpinLockRelease(context->QueueLock);
    return status;
}

VOID GetNext(WDFREQUEST* Slot, WDFQUEUE Queue, WDFREQUEST* Next, BOOLEAN CompleteCurrent,
             PDEVICE_CONTEXT Context)
/*++
Routine Description:
    Empties Slot and makes the next request waiting in Queue current (*Next, NULL when none);
    with CompleteCurrent, the request that was current is then completed with its Status and
    Information.
IRQL:
    <= DISPATCH_LEVEL. It takes QueueLock.
Return Value:
    None.
--*/
{
    WdfSpinLockAcquire(Context->QueueLock);
    WDFREQUEST finished = *Slot;
    *Slot = NULL;
    WDFREQUEST next = NULL;
    NTSTATUS status = WdfIoQueueRetrieveNextRequest(Queue, &next);
    if (!NT_SUCCESS(status))
    {
        next = NULL;
    }
    *Slot = next;
    WdfSpinLockRelease(Context->QueueLock);
    *Next = next;
    if (CompleteCurrent && finished != NULL)
    {
        PREQUEST_CONTEXT requestContext = GetRequestContext(finished);
        CompleteRequest(finished, requestContext->Status, requestContext->Information);
    }
}

VOID CompleteCurrent(PDEVICE_CONTEXT Context, PSERIAL_GRAB_ROUTINE Grab, NTSTATUS Status, WDFREQUEST* Slot,
                     WDFQUEUE Queue, WDFTIMER Timer, PSERIAL_START_ROUTINE Start,
                     PSERIAL_GET_NEXT_ROUTINE GetNextRoutine, LONG_PTR RefBit)
/*++
Routine Description:
    A holder of the current request of Slot lets it go: RefBit names which (REF_PATH, the
    cancel routine REF_CANCEL, or the total timer REF_TIMER; the transmit path may let go for
    itself and the timer at once). Grab runs first; then the cancel routine is disarmed and the
    timer stopped, each dropping its bit when that succeeds. The call that leaves no bit
    completes the request with its own Status (Information 0 for STATUS_CANCELLED) and, with
    GetNextRoutine, starts the next request of Queue.

    The caller's own bits are dropped last, in the hold that decides the completion: until then
    the request stays current, so the cancel routine and timer dealt with here are its own. A
    timer that could not be stopped because its callback is already on its way keeps its bit
    until the callback is done with the request (TimerFired), so a late callback never acts on
    a later request.
IRQL:
    <= DISPATCH_LEVEL. It takes QueueLock (and what Grab, GetNextRoutine and Start take).
Return Value:
    None.
--*/
{
    WdfSpinLockAcquire(Context->QueueLock);
    WDFREQUEST request = *Slot;
    if (request == NULL)
    {
        WdfSpinLockRelease(Context->QueueLock);
        return;
    }
    WdfObjectReferenceWithTag(request, UTILS_TAG);
    WdfSpinLockRelease(Context->QueueLock);

    PREQUEST_CONTEXT requestContext = GetRequestContext(request);
    if (Grab != NULL)
    {
        Grab(Context, request);
    }

    // The caller's own bit is dropped last, in the hold that decides the completion: until then
    // the request stays current, so the timer stopped here is still this request's.
    if ((RefBit & REF_CANCEL) == 0)
    {
        DisarmCancel(request);
    }
    BOOLEAN timerStopped = Timer != NULL && WdfTimerStop(Timer, FALSE);

    // One hold decides the timer's bit, drops this caller's bit and decides the completion, so a
    // timer callback that finishes meanwhile sees either the bit kept for it or the request gone.
    WdfSpinLockAcquire(Context->QueueLock);
    if (Status != STATUS_SUCCESS)
    {
        requestContext->Status = Status;
    }
    if (Timer != NULL && (timerStopped || (RefBit & REF_TIMER) != 0 || requestContext->TimerFired))
    {
        requestContext->RefBits &= ~REF_TIMER;
    }
    if ((RefBit & REF_CANCEL) != 0)
    {
        requestContext->RefBits &= ~REF_CANCEL;
        requestContext->CancelRoutine = NULL;
    }
    if ((RefBit & REF_PATH) != 0)
    {
        requestContext->RefBits &= ~REF_PATH;
        requestContext->PathStatus = Status;
    }
    BOOLEAN complete = requestContext->RefBits == 0 && !requestContext->Completing;
    if (complete)
    {
        requestContext->Completing = TRUE;
    }
    WdfSpinLockRelease(Context->QueueLock);

    if (complete)
    {
        requestContext->Status = Status;
        if (Status == STATUS_CANCELLED)
        {
            requestContext->Information = 0;
        }
        if (GetNextRoutine == NULL)
        {
            WdfSpinLockAcquire(Context->QueueLock);
            *Slot = NULL;
            WdfSpinLockRelease(Context->QueueLock);
            CompleteRequest(request, requestContext->Status, requestContext->Information);
        }
        else
        {
            WDFREQUEST next = NULL;
            GetNextRoutine(Slot, Queue, &next, TRUE, Context);
            if (next != NULL)
            {
                Start(Context);
            }
        }
    }
    WdfObjectDereferenceWithTag(request, UTILS_TAG);
}

VOID KillAll(PDEVICE_CONTEXT Context, WDFQUEUE Queue, WDFREQUEST* Slot, WDFFILEOBJECT FileObject)
/*++
Routine Description:
    Cancels requests of Queue. Without FileObject (purge, error abort, stop) every request
    waiting in the queue is cancelled through CanceledInQueue and the current one through its
    own cancel routine, and the queue then accepts requests again. With FileObject only the
    current request, and only when it belongs to that file object (the framework cancels the
    file object's waiting requests itself at cleanup).
IRQL:
    <= DISPATCH_LEVEL. It takes QueueLock.
Return Value:
    None.
--*/
{
    if (FileObject == NULL)
    {
        WdfIoQueuePurge(Queue, WDF_NO_EVENT_CALLBACK, WDF_NO_CONTEXT);
    }

    WdfSpinLockAcquire(Context->QueueLock);
    WDFREQUEST current = *Slot;
    PFN_WDF_REQUEST_CANCEL cancel = NULL;
    if (current != NULL && (FileObject == NULL || WdfRequestGetFileObject(current) == FileObject))
    {
        // Taken from the framework, the routine is this call's to run as a cancel would: REF_CANCEL
        // stays set until the routine lets the request go, so it stays current until then.
        PREQUEST_CONTEXT requestContext = GetRequestContext(current);
        if ((requestContext->RefBits & REF_CANCEL) != 0 && NT_SUCCESS(WdfRequestUnmarkCancelable(current)))
        {
            WdfObjectReferenceWithTag(current, UTILS_TAG);
            cancel = requestContext->CancelRoutine;
        }
    }
    WdfSpinLockRelease(Context->QueueLock);
    if (cancel != NULL)
    {
        cancel(current);
        WdfObjectDereferenceWithTag(current, UTILS_TAG);
    }

    if (FileObject == NULL)
    {
        WdfIoQueueStart(Queue);
    }
}

VOID CompleteWait(PDEVICE_CONTEXT Context)
/*++
Routine Description:
    The event path lets the pending wait go (REF_PATH); it completes when its cancel routine is
    disarmed too.
IRQL:
    <= DISPATCH_LEVEL. It takes QueueLock.
Return Value:
    None.
--*/
{
    CompleteCurrent(Context, NULL, STATUS_SUCCESS, &Context->CurrentWait, NULL, NULL, NULL, NULL, REF_PATH);
}

VOID DeliverEventsLocked(PDEVICE_CONTEXT Context, ULONG Events)
/*++
Routine Description:
    Reports Events to the pending wait as its 4-byte result; the caller has disarmed the wait's
    cancel routine and clears the reported bits from EventHistory. Releases QueueLock, then
    completes the wait.
IRQL:
    DISPATCH_LEVEL, with QueueLock held.
Return Value:
    None.
--*/
{
    WDFREQUEST wait = Context->CurrentWait;
    PREQUEST_CONTEXT requestContext = GetRequestContext(wait);
    *(PULONG)requestContext->RequestBuffer = Events;
    requestContext->Information = sizeof(ULONG);
    requestContext->Status = STATUS_SUCCESS;
    WdfSpinLockRelease(Context->QueueLock);
    TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_FLAG_GENERAL, "%ws: wait completes with events 0x%x",
                PortNameOf(Context), Events);
    CompleteWait(Context);
}

static VOID GrabCancelledWait(PDEVICE_CONTEXT Context, WDFREQUEST Request)
/*++
Routine Description:
    A cancelled wait reports no event: its output is 0 and the event path lets it go.
IRQL:
    <= DISPATCH_LEVEL. It takes QueueLock.
Return Value:
    None.
--*/
{
    PREQUEST_CONTEXT requestContext = GetRequestContext(Request);
    WdfSpinLockAcquire(Context->QueueLock);
    *(PULONG)requestContext->RequestBuffer = 0;
    requestContext->RefBits &= ~REF_PATH;
    requestContext->Information = sizeof(ULONG);
    WdfSpinLockRelease(Context->QueueLock);
}

VOID WaitCancel(WDFREQUEST Request)
/*++
Routine Description:
    Cancel routine of the pending IOCTL_SERIAL_WAIT_ON_MASK: it completes with STATUS_CANCELLED.
IRQL:
    <= DISPATCH_LEVEL.
Return Value:
    None.
--*/
{
    PDEVICE_CONTEXT context = GetRequestContext(Request)->OwnerDevice;
    TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_FLAG_GENERAL, "%ws: wait cancelled", PortNameOf(context));
    CompleteCurrent(context, GrabCancelledWait, STATUS_CANCELLED, &context->CurrentWait, NULL, NULL, NULL,
                    NULL, REF_CANCEL);
}

static VOID StartWaitLocked(PDEVICE_CONTEXT Context)
/*++
Routine Description:
    The new pending wait: the event path holds it, and an event of the mask that already
    occurred completes it at once.
IRQL:
    DISPATCH_LEVEL, with QueueLock held; QueueLock is released on return.
Return Value:
    None.
--*/
{
    PREQUEST_CONTEXT requestContext = GetRequestContext(Context->CurrentWait);
    requestContext->RefBits |= REF_PATH;
    ULONG events = Context->WaitMask & Context->EventHistory;
    if (events != 0 && NT_SUCCESS(DisarmCancelLocked(Context->CurrentWait)))
    {
        Context->EventHistory &= ~events;
        DeliverEventsLocked(Context, events);
        return;
    }
    WdfSpinLockRelease(Context->QueueLock);
}

VOID MaskStart(PDEVICE_CONTEXT Context)
/*++
Routine Description:
    Serves the current request of MaskQueue and each next one: SET_WAIT_MASK completes a pending
    wait with no event and sets the new mask; WAIT_ON_MASK becomes the pending wait, or fails
    with STATUS_INVALID_PARAMETER when the mask is 0 or a wait is already pending.
IRQL:
    <= DISPATCH_LEVEL. It takes QueueLock.
Return Value:
    None.
--*/
{
    WDFREQUEST request = Context->CurrentMask;
    while (request != NULL)
    {
        PREQUEST_CONTEXT requestContext = GetRequestContext(request);
        WDF_REQUEST_PARAMETERS parameters;
        WDF_REQUEST_PARAMETERS_INIT(&parameters);
        WdfRequestGetParameters(request, &parameters);
        BOOLEAN becameWait = FALSE;
        if (parameters.Parameters.DeviceIoControl.IoControlCode == IOCTL_SERIAL_SET_WAIT_MASK)
        {
            ULONG mask = *(PULONG)requestContext->RequestBuffer;
            WdfSpinLockAcquire(Context->QueueLock);
            if (Context->CurrentWait != NULL && NT_SUCCESS(DisarmCancelLocked(Context->CurrentWait)))
            {
                DeliverEventsLocked(Context, 0);
                WdfSpinLockAcquire(Context->QueueLock);
            }
            Context->EventHistory &= mask;
            Context->WaitMask = mask;
            WdfSpinLockRelease(Context->QueueLock);
            TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_FLAG_GENERAL, "%ws: wait mask 0x%x",
                        PortNameOf(Context), mask);
            requestContext->Status = STATUS_SUCCESS;
            requestContext->Information = 0;
        }
        else
        {
            WdfSpinLockAcquire(Context->QueueLock);
            if (Context->WaitMask == 0 || Context->CurrentWait != NULL)
            {
                WdfSpinLockRelease(Context->QueueLock);
                requestContext->Status = STATUS_INVALID_PARAMETER;
                requestContext->Information = 0;
            }
            else
            {
                requestContext->RefBits = 0;
                requestContext->Completing = FALSE;
                // The mask slot lets it go without completing it; it is the pending wait before
                // its cancel routine is armed, so a cancel at once finds it there.
                Context->CurrentMask = NULL;
                Context->CurrentWait = request;
                WdfSpinLockRelease(Context->QueueLock);
                NTSTATUS status = MarkCancelable(request, WaitCancel);
                WdfSpinLockAcquire(Context->QueueLock);
                if (NT_SUCCESS(status))
                {
                    becameWait = TRUE;
                    StartWaitLocked(Context);
                }
                else
                {
                    Context->CurrentWait = NULL;
                    Context->CurrentMask = request;
                    WdfSpinLockRelease(Context->QueueLock);
                    requestContext->Status = status;
                    requestContext->Information = 0;
                }
            }
        }
        WDFREQUEST next = NULL;
        if (becameWait)
        {
            GetNext(&Context->CurrentMask, Context->MaskQueue, &next, FALSE, Context);
        }
        else
        {
            GetNext(&Context->CurrentMask, Context->MaskQueue, &next, TRUE, Context);
        }
        request = next;
    }
}

VOID PurgeStart(PDEVICE_CONTEXT Context)
/*++
Routine Description:
    Serves the current request of PurgeQueue and each next one: TXABORT cancels every write,
    RXABORT every read, RXCLEAR empties the ring (bytes already in a waiting read's buffer stay
    there); TXCLEAR has nothing to clear.
IRQL:
    <= DISPATCH_LEVEL. It takes RxLock and QueueLock.
Return Value:
    None.
--*/
{
    WDFREQUEST request = Context->CurrentPurge;
    while (request != NULL)
    {
        PREQUEST_CONTEXT requestContext = GetRequestContext(request);
        ULONG mask = *(PULONG)requestContext->RequestBuffer;
        TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_FLAG_GENERAL, "%ws: purge 0x%x", PortNameOf(Context),
                    mask);
        if ((mask & SERIAL_PURGE_TXABORT) != 0)
        {
            KillAll(Context, Context->WriteQueue, &Context->CurrentWrite, NULL);
        }
        if ((mask & SERIAL_PURGE_RXABORT) != 0)
        {
            KillAll(Context, Context->ReadQueue, &Context->CurrentRead, NULL);
        }
        if ((mask & SERIAL_PURGE_RXCLEAR) != 0)
        {
            WdfSpinLockAcquire(Context->RxLock);
            if (Context->RxRing != NULL && Context->RxDest == Context->RxRing)
            {
                Context->RxPut = Context->RxRing;
                Context->RxFirst = Context->RxRing;
                Context->RxCount = 0;
                Context->RxLast = Context->RxRing + Context->RxSize - 1;
            }
            WdfSpinLockRelease(Context->RxLock);
        }
        requestContext->Status = STATUS_SUCCESS;
        requestContext->Information = 0;
        WDFREQUEST next = NULL;
        GetNext(&Context->CurrentPurge, Context->PurgeQueue, &next, TRUE, Context);
        request = next;
    }
}

VOID StopCurrent(WDFQUEUE Queue, WDFREQUEST Request, ULONG ActionFlags)
/*++
Routine Description:
    Stop callback of the queues: the device leaves its working state while the driver holds
    Request. A cancelable request that is current in its queue is cancelled with its queue; the
    pending wait completes with STATUS_CANCELLED. Any other request is left as it is.
IRQL:
    <= DISPATCH_LEVEL.
Return Value:
    None.
--*/
{
    PDEVICE_CONTEXT context = GetDeviceContext(WdfIoQueueGetDevice(Queue));
    TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_FLAG_GENERAL, "%ws: StopCurrent flags 0x%x",
                PortNameOf(context), ActionFlags);
    if ((ActionFlags & WdfRequestStopRequestCancelable) == 0)
    {
        return;
    }
    struct
    {
        WDFQUEUE Queue;
        WDFREQUEST* Slot;
    } queues[] = {{context->ReadQueue, &context->CurrentRead},
                  {context->WriteQueue, &context->CurrentWrite},
                  {context->MaskQueue, &context->CurrentMask},
                  {context->PurgeQueue, &context->CurrentPurge}};

    WdfSpinLockAcquire(context->QueueLock);
    if (context->CurrentWait == Request)
    {
        NTSTATUS status = DisarmCancelLocked(Request);
        if (NT_SUCCESS(status))
        {
            PREQUEST_CONTEXT requestContext = GetRequestContext(Request);
            context->CurrentWait = NULL;
            requestContext->Completing = TRUE;
            WdfSpinLockRelease(context->QueueLock);
            CompleteRequest(Request, STATUS_CANCELLED, 0);
            return;
        }
        WdfSpinLockRelease(context->QueueLock);
        return;
    }
    for (auto& entry : queues)
    {
        if (*entry.Slot == Request)
        {
            WdfSpinLockRelease(context->QueueLock);
            KillAll(context, entry.Queue, entry.Slot, NULL);
            return;
        }
    }
    WdfSpinLockRelease(context->QueueLock);
}

VOID CanceledInQueue(WDFQUEUE Queue, WDFREQUEST Request)
/*++
Routine Description:
    A request waiting in a manual queue was cancelled: what accepting it counted is taken back
    and it completes with STATUS_CANCELLED.
IRQL:
    <= DISPATCH_LEVEL.
Return Value:
    None.
--*/
{
    PDEVICE_CONTEXT context = GetDeviceContext(WdfIoQueueGetDevice(Queue));
    TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_FLAG_GENERAL, "%ws: CanceledInQueue", PortNameOf(context));
    UndoAccounting(context, Request);
    CompleteRequest(Request, STATUS_CANCELLED, 0);
}

NTSTATUS QueueDeferred(WDFDEVICE Device, const WORKITEM_CONTEXT* Values, PFN_WDF_WORKITEM Callback)
/*++
Routine Description:
    Runs Callback at PASSIVE_LEVEL on a system worker thread: creates a work item under the
    device, without automatic serialisation, copies Values into its WORKITEM_CONTEXT and
    enqueues it. The callback deletes its work item when it is done.
IRQL:
    <= DISPATCH_LEVEL.
Return Value:
    STATUS_SUCCESS, or the failure of WdfWorkItemCreate (traced; nothing is queued).
--*/
{
    WDF_WORKITEM_CONFIG config;
    WDF_WORKITEM_CONFIG_INIT(&config, Callback);
    config.AutomaticSerialization = FALSE;
    WDF_OBJECT_ATTRIBUTES attributes;
    WDF_OBJECT_ATTRIBUTES_INIT_CONTEXT_TYPE(&attributes, WORKITEM_CONTEXT);
    attributes.ParentObject = Device;
    WDFWORKITEM workItem;
    NTSTATUS status = WdfWorkItemCreate(&config, &attributes, &workItem);
    if (!NT_SUCCESS(status))
    {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_FLAG_GENERAL, "%ws: WdfWorkItemCreate failed 0x%x",
                    PortNameOf(GetDeviceContext(Device)), status);
        return status;
    }
    PWORKITEM_CONTEXT context = GetWorkItemContext(workItem);
    context->Device = Values->Device;
    context->Pipe = Values->Pipe;
    WdfWorkItemEnqueue(workItem);
    return STATUS_SUCCESS;
}
