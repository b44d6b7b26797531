// The write path: writes and immediate characters go out one at a time on the bulk-out pipe's own
// request, in transfers of at most 4096 bytes, under the write total time-out.
#include "Driver.h"

#include "ComWrite.tmh"

#define COMWRITE_TAG ((PVOID) "ComWrite")
// The largest bulk-out transfer.
#define TX_CHUNK_MAX 4096
// How long a cancelled write waits for its transfer to come back: 500 ms, relative.
#define TX_CANCEL_WAIT (-5000000LL)

static EVT_WDF_REQUEST_COMPLETION_ROUTINE BulkOutComplete;

VOID EvtIoWrite(WDFQUEUE Queue, WDFREQUEST Request, size_t Length)
/*++
Routine Description:
    Write requests from the default queue: refused when they would take the bytes waiting to be
    sent past the transmit queue size a client set, otherwise queued on WriteQueue.
IRQL:
    PASSIVE_LEVEL (the default queue's execution level).
Return Value:
    None.
--*/
{
    PAGED_CODE();

    PDEVICE_CONTEXT context = GetDeviceContext(WdfIoQueueGetDevice(Queue));
    TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_FLAG_GENERAL, "%ws: EvtIoWrite %u bytes", PortNameOf(context),
                (ULONG)Length);
    ULONG queueSize = context->TxQueueSize;
    WdfSpinLockAcquire(context->SettingsLock);
    ULONG pending = context->TxPending;
    WdfSpinLockRelease(context->SettingsLock);
    if (queueSize != 0 && (ULONGLONG)pending + Length > queueSize)
    {
        CompleteRequest(Request, STATUS_NAME_TOO_LONG, 0);
        return;
    }
    PREQUEST_CONTEXT requestContext = GetRequestContext(Request);
    requestContext->MajorFunction = IRP_MJ_WRITE;
    requestContext->Length = (ULONG)Length;
    requestContext->Information = 0;
    requestContext->Status = STATUS_SUCCESS;
    StartOrQueue(context, Request, context->WriteQueue, &context->CurrentWrite, WriteStart);
}

static NTSTATUS SendChunk(PDEVICE_CONTEXT Context, WDFUSBPIPE Pipe)
/*++
Routine Description:
    Sends the next piece of the write being sent (at most TxChunkMax bytes from TxOffset) on
    the bulk-out pipe's request.
IRQL:
    <= DISPATCH_LEVEL.
Return Value:
    STATUS_SUCCESS when the transfer is on its way (its completion continues); otherwise the
    failure, and no transfer is out.
--*/
{
    if (ReadBooleanNoFence(&Context->DeviceGone))
    {
        return STATUS_DEVICE_NOT_CONNECTED;
    }
    PPIPE_CONTEXT pipeContext = GetPipeContext(Pipe);
    WDFREQUEST request = pipeContext->Request;
    PREQUEST_CONTEXT tx = GetRequestContext(request);
    size_t n = tx->TxRemaining < tx->TxChunkMax ? tx->TxRemaining : tx->TxChunkMax;
    tx->TxRemaining -= n;
    if ((DriverParameters.LogLevel & LOG_LEVEL_DATA_DUMP) != 0)
    {
        PUCHAR bytes = (PUCHAR)WdfMemoryGetBuffer(tx->TxMemory, NULL);
        TraceDataDump(Context, bytes + tx->TxOffset, (ULONG)n);
    }
    WDFMEMORY_OFFSET offset;
    offset.BufferOffset = tx->TxOffset;
    offset.BufferLength = n;
    NTSTATUS status = WdfUsbTargetPipeFormatRequestForWrite(Pipe, request, tx->TxMemory, &offset);
    if (!NT_SUCCESS(status))
    {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_FLAG_GENERAL,
                    "%ws: WdfUsbTargetPipeFormatRequestForWrite failed 0x%x", PortNameOf(Context), status);
        return status;
    }
    WdfRequestSetCompletionRoutine(request, BulkOutComplete, Pipe);
    if (!WdfRequestSend(request, WdfUsbTargetPipeGetIoTarget(Pipe), WDF_NO_SEND_OPTIONS))
    {
        status = WdfRequestGetStatus(request);
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_FLAG_GENERAL, "%ws: bulk-out WdfRequestSend failed 0x%x",
                    PortNameOf(Context), status);
        WDF_REQUEST_REUSE_PARAMS reuse;
        WDF_REQUEST_REUSE_PARAMS_INIT(&reuse, WDF_REQUEST_REUSE_NO_FLAGS, STATUS_SUCCESS);
        WdfRequestReuse(request, &reuse);
        return NT_SUCCESS(status) ? STATUS_UNSUCCESSFUL : status;
    }
    return STATUS_SUCCESS;
}

static VOID FinishUnarmed(PDEVICE_CONTEXT Context, WDFREQUEST Request, NTSTATUS Status)
/*++
Routine Description:
    Ends the current write before anything holds it (no cancel routine, no timer, no transfer).
IRQL:
    <= DISPATCH_LEVEL.
Return Value:
    None; the next write, if any, is now current.
--*/
{
    PREQUEST_CONTEXT requestContext = GetRequestContext(Request);
    requestContext->Status = Status;
    requestContext->Information = 0;
    WdfSpinLockAcquire(Context->QueueLock);
    requestContext->Completing = TRUE;
    WdfSpinLockRelease(Context->QueueLock);
    WDFREQUEST next = NULL;
    GetNextWrite(&Context->CurrentWrite, Context->WriteQueue, &next, TRUE, Context);
}

VOID WriteStart(PDEVICE_CONTEXT Context)
/*++
Routine Description:
    Serves the current request of WriteQueue (a write, or an immediate character) and each next
    one that cannot start: arms its cancel routine and its total timer, and sends its first
    transfer. Refused while a break is asserted, in the error-abort state, without a bulk-out
    pipe and once the reader is gone.
IRQL:
    <= DISPATCH_LEVEL. It takes SettingsLock and QueueLock.
Return Value:
    None.
--*/
{
    for (;;)
    {
        WDFREQUEST request = CurrentRequest(Context, &Context->CurrentWrite);
        if (request == NULL)
        {
            return;
        }
        PREQUEST_CONTEXT requestContext = GetRequestContext(request);
        requestContext->Information = 0;
        requestContext->Status = STATUS_SUCCESS;
        BOOLEAN immediate = requestContext->IoControlCode == IOCTL_SERIAL_IMMEDIATE_CHAR;

        WDFUSBPIPE pipe = NULL;
        NTSTATUS status = STATUS_SUCCESS;
        if (ReadBooleanNoFence(&Context->BreakOn))
        {
            status = STATUS_INVALID_DEVICE_STATE;
        }
        else if (ErrorAbortActive(Context))
        {
            status = STATUS_CANCELLED;
        }
        else if ((pipe = FindPipe(Context, PIPE_KIND_BULK_OUT)) == NULL)
        {
            status = STATUS_INVALID_DEVICE_REQUEST;
        }
        else if (ReadBooleanNoFence(&Context->DeviceGone))
        {
            status = STATUS_DEVICE_NOT_CONNECTED;
        }
        WDFMEMORY memory = NULL;
        if (NT_SUCCESS(status))
        {
            status = WdfRequestRetrieveInputMemory(request, &memory);
        }
        if (!NT_SUCCESS(status))
        {
            TraceEvents(TRACE_LEVEL_ERROR, TRACE_FLAG_GENERAL, "%ws: write refused 0x%x", PortNameOf(Context),
                        status);
            FinishUnarmed(Context, request, status);
            continue;
        }

        SERIAL_TIMEOUTS timeouts;
        WdfSpinLockAcquire(Context->SettingsLock);
        timeouts = Context->Timeouts;
        WdfSpinLockRelease(Context->SettingsLock);
        ULONGLONG characters = immediate ? 1 : requestContext->Length;
        ULONGLONG total =
            characters * timeouts.WriteTotalTimeoutMultiplier + (ULONGLONG)timeouts.WriteTotalTimeoutConstant;
        // Past what a relative due time can hold, the write simply has no time limit.
        BOOLEAN useTimer = total != 0 && total <= (ULONGLONG)MAXLONGLONG / 10000;

        WdfSpinLockAcquire(Context->QueueLock);
        requestContext->RefBits = 0;
        requestContext->Completing = FALSE;
        requestContext->TimerFired = FALSE;
        requestContext->PathStatus = STATUS_SUCCESS;
        WdfSpinLockRelease(Context->QueueLock);
        status = MarkCancelable(request, WriteCancel);
        if (!NT_SUCCESS(status))
        {
            FinishUnarmed(Context, request, STATUS_CANCELLED);
            continue;
        }
        WdfSpinLockAcquire(Context->QueueLock);
        requestContext->RefBits |= REF_PATH;
        if (useTimer)
        {
            requestContext->RefBits |= REF_TIMER;
        }
        WdfSpinLockRelease(Context->QueueLock);
        if (useTimer)
        {
            WdfTimerStart(Context->WriteTotalTimer, -(LONGLONG)(total * 10000));
        }

        PPIPE_CONTEXT pipeContext = GetPipeContext(pipe);
        PREQUEST_CONTEXT tx = GetRequestContext(pipeContext->Request);
        tx->OwnerDevice = Context;
        tx->TxMemory = memory;
        tx->TxOffset = 0;
        tx->TxRemaining = immediate ? 1 : requestContext->Length;
        tx->TxChunkMax = TX_CHUNK_MAX;
        KeClearEvent(&pipeContext->TransferDone);
        status = SendChunk(Context, pipe);
        if (!NT_SUCCESS(status))
        {
            KeSetEvent(&pipeContext->TransferDone, IO_NO_INCREMENT, FALSE);
            CompleteCurrent(Context, NULL, status, &Context->CurrentWrite, Context->WriteQueue,
                            Context->WriteTotalTimer, WriteStart, GetNextWrite, REF_PATH);
        }
        return;
    }
}

static VOID GrabWrite(PDEVICE_CONTEXT Context, WDFREQUEST Request)
/*++
Routine Description:
    A write ended by its time-out or a cancel reports no bytes, even when some went out.
IRQL:
    <= DISPATCH_LEVEL. It takes QueueLock.
Return Value:
    None.
--*/
{
    UNREFERENCED_PARAMETER(Context);
    GetRequestContext(Request)->Information = 0;
}

static VOID BulkOutComplete(WDFREQUEST Request, WDFIOTARGET Target, PWDF_REQUEST_COMPLETION_PARAMS Params,
                            WDFCONTEXT Context)
/*++
Routine Description:
    A bulk-out transfer of the current write came back: the next piece goes out, or the write
    ends — with its bytes, by its time-out or cancel (no bytes), or with the USB failure, which
    marks the reader gone or asks for a recovery.
IRQL:
    <= DISPATCH_LEVEL.
Return Value:
    None.
--*/
{
    UNREFERENCED_PARAMETER(Target);
    WDFUSBPIPE pipe = (WDFUSBPIPE)Context;
    PPIPE_CONTEXT pipeContext = GetPipeContext(pipe);
    PREQUEST_CONTEXT tx = GetRequestContext(Request);
    PDEVICE_CONTEXT context = tx->OwnerDevice;
    NTSTATUS status = Params->IoStatus.Status;
    USBD_STATUS usbdStatus = Params->Parameters.Usb.Completion->UsbdStatus;

    WdfSpinLockAcquire(context->QueueLock);
    WDFREQUEST current = context->CurrentWrite;
    PREQUEST_CONTEXT currentContext = current != NULL ? GetRequestContext(current) : NULL;
    NTSTATUS recorded = currentContext != NULL ? currentContext->Status : STATUS_SUCCESS;
    WdfSpinLockRelease(context->QueueLock);

    if (NT_SUCCESS(status))
    {
        tx->TxOffset += Params->Parameters.Usb.Completion->Parameters.PipeWrite.Length;
        if (tx->TxRemaining > 0)
        {
            // A cancel or time-out that came between two transfers ends the write here.
            if (currentContext != NULL && ReadBooleanNoFence(&currentContext->TxCancelSent))
            {
                status = STATUS_CANCELLED;
            }
            else
            {
                WDF_REQUEST_REUSE_PARAMS reuse;
                WDF_REQUEST_REUSE_PARAMS_INIT(&reuse, WDF_REQUEST_REUSE_NO_FLAGS, STATUS_SUCCESS);
                WdfRequestReuse(Request, &reuse);
                status = SendChunk(context, pipe);
                if (NT_SUCCESS(status))
                {
                    return;
                }
            }
        }
    }

    PSERIAL_GRAB_ROUTINE grab = NULL;
    LONG_PTR refBit = REF_PATH;
    if (status == STATUS_CANCELLED)
    {
        if (recorded == STATUS_TIMEOUT)
        {
            // The timer cancelled the transfer and left its bit to this completion.
            grab = GrabWrite;
            status = STATUS_TIMEOUT;
            refBit = REF_PATH | REF_TIMER;
        }
        else if (recorded == STATUS_CANCELLED)
        {
            // The cancel routine already let the write go; its bit is not this completion's.
            grab = GrabWrite;
        }
    }
    else if (IsDeviceGoneStatus(status, usbdStatus))
    {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_FLAG_GENERAL, "%ws: bulk-out: device gone 0x%x usbd 0x%x",
                    PortNameOf(context), status, (ULONG)usbdStatus);
        WriteBooleanNoFence(&context->DeviceGone, TRUE);
    }
    else if (!NT_SUCCESS(status))
    {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_FLAG_GENERAL, "%ws: bulk-out failed 0x%x usbd 0x%x",
                    PortNameOf(context), status, (ULONG)usbdStatus);
        WriteBooleanNoFence(&pipeContext->ResetRequested, TRUE);
        RequestRecovery(pipeContext->Device);
    }

    size_t sent = tx->TxOffset;
    InterlockedAdd((PLONG)&context->PerfStats.TransmittedCount, (LONG)sent);
    if (currentContext != NULL)
    {
        currentContext->Information = sent;
    }
    WDF_REQUEST_REUSE_PARAMS reuse;
    WDF_REQUEST_REUSE_PARAMS_INIT(&reuse, WDF_REQUEST_REUSE_NO_FLAGS, STATUS_SUCCESS);
    WdfRequestReuse(Request, &reuse);
    tx->TxMemory = NULL;
    KeSetEvent(&pipeContext->TransferDone, IO_NO_INCREMENT, FALSE);
    TraceEvents(TRACE_LEVEL_VERBOSE, TRACE_FLAG_GENERAL, "%ws: write done 0x%x, %u bytes sent",
                PortNameOf(context), status, (ULONG)sent);
    CompleteCurrent(context, grab, status, &context->CurrentWrite, context->WriteQueue,
                    context->WriteTotalTimer, WriteStart, GetNextWrite, refBit);
}

VOID WriteTotalTimerCallback(WDFTIMER Timer)
/*++
Routine Description:
    The total time-out of the current write expired: its transfer is cancelled and the bulk-out
    completion ends it with STATUS_TIMEOUT. When the write is already ending, the timer only
    lets it go.

    The write cannot complete while the callback works on it: the rundown leaves REF_TIMER to
    the callback until TimerFired says the callback is done, so the cancel can only reach this
    write's transfer. A write that only the timer still holds is completed here with the status
    its transfer ended with.
IRQL:
    DISPATCH_LEVEL, under the framework's device synchronisation lock.
Return Value:
    None.
--*/
{
    PDEVICE_CONTEXT context = GetDeviceContext(WdfTimerGetParentObject(Timer));
    WdfSpinLockAcquire(context->QueueLock);
    WDFREQUEST request = context->CurrentWrite;
    if (request == NULL || (GetRequestContext(request)->RefBits & REF_TIMER) == 0)
    {
        WdfSpinLockRelease(context->QueueLock);
        return;
    }
    PREQUEST_CONTEXT requestContext = GetRequestContext(request);
    WDFUSBPIPE pipe = FindPipe(context, PIPE_KIND_BULK_OUT);
    BOOLEAN armed = (requestContext->RefBits & REF_CANCEL) != 0 && pipe != NULL;
    if (armed)
    {
        requestContext->Status = STATUS_TIMEOUT;
    }
    WdfObjectReferenceWithTag(request, COMWRITE_TAG);
    WdfSpinLockRelease(context->QueueLock);

    TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_FLAG_GENERAL, "%ws: write total timeout", PortNameOf(context));
    if (armed)
    {
        WriteBooleanNoFence(&requestContext->TxCancelSent, TRUE);
        WdfRequestCancelSentRequest(GetPipeContext(pipe)->Request);
    }

    // From here the others who let the write go drop the timer's bit for it. When nobody else
    // holds it any more, nobody else will: the timer lets it go itself.
    WdfSpinLockAcquire(context->QueueLock);
    requestContext->TimerFired = TRUE;
    BOOLEAN last = requestContext->RefBits == REF_TIMER && !requestContext->Completing;
    NTSTATUS status = requestContext->PathStatus;
    WdfSpinLockRelease(context->QueueLock);
    if (last)
    {
        CompleteCurrent(context, NULL, status, &context->CurrentWrite, context->WriteQueue,
                        context->WriteTotalTimer, WriteStart, GetNextWrite, REF_TIMER);
    }
    WdfObjectDereferenceWithTag(request, COMWRITE_TAG);
}

static VOID WriteCancelWork(WDFWORKITEM WorkItem)
/*++
Routine Description:
    Finishes the cancel of a write: waits up to 500 ms for its transfer to come back, then lets
    the write go on the cancel routine's behalf.
IRQL:
    PASSIVE_LEVEL.
Return Value:
    None.
--*/
{
    PWORKITEM_CONTEXT work = GetWorkItemContext(WorkItem);
    PDEVICE_CONTEXT context = GetDeviceContext(work->Device);
    PPIPE_CONTEXT pipeContext = GetPipeContext(work->Pipe);
    LARGE_INTEGER timeout;
    timeout.QuadPart = TX_CANCEL_WAIT;
    KeWaitForSingleObject(&pipeContext->TransferDone, Executive, KernelMode, FALSE, &timeout);
    KeClearEvent(&pipeContext->TransferDone);
    CompleteCurrent(context, NULL, STATUS_CANCELLED, &context->CurrentWrite, context->WriteQueue,
                    context->WriteTotalTimer, WriteStart, GetNextWrite, REF_CANCEL);
    WdfObjectDelete(WorkItem);
}

VOID WriteCancel(WDFREQUEST Request)
/*++
Routine Description:
    Cancel routine of the current write: its transfer is cancelled, and a work item lets the
    write go once the transfer came back; the write then completes with STATUS_CANCELLED.
IRQL:
    <= DISPATCH_LEVEL.
Return Value:
    None.
--*/
{
    PREQUEST_CONTEXT requestContext = GetRequestContext(Request);
    PDEVICE_CONTEXT context = requestContext->OwnerDevice;
    TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_FLAG_GENERAL, "%ws: write cancelled", PortNameOf(context));
    WdfObjectReferenceWithTag(Request, COMWRITE_TAG);
    WDFUSBPIPE pipe = FindPipe(context, PIPE_KIND_BULK_OUT);
    NTSTATUS status = STATUS_UNSUCCESSFUL;
    if (pipe != NULL)
    {
        WriteBooleanNoFence(&requestContext->TxCancelSent, TRUE);
        WdfRequestCancelSentRequest(GetPipeContext(pipe)->Request);
        WORKITEM_CONTEXT values;
        values.Device = context->Device;
        values.Pipe = pipe;
        status = QueueDeferred(context->Device, &values, WriteCancelWork);
    }
    WdfObjectDereferenceWithTag(Request, COMWRITE_TAG);
    if (!NT_SUCCESS(status))
    {
        // Without a work item the cancel lets the write go at once; the transfer's completion
        // still holds it until the transfer is back.
        CompleteCurrent(context, NULL, STATUS_CANCELLED, &context->CurrentWrite, context->WriteQueue,
                        context->WriteTotalTimer, WriteStart, GetNextWrite, REF_CANCEL);
    }
}

static WDFREQUEST RetrieveImmediateChar(WDFQUEUE Queue)
/*++
Routine Description:
    Takes the first device-control request (the immediate character) out of WriteQueue, ahead of
    the writes queued before it.
IRQL:
    <= DISPATCH_LEVEL.
Return Value:
    The request, or NULL when none waits.
--*/
{
    WDFREQUEST previous = NULL;
    for (;;)
    {
        WDFREQUEST found = NULL;
        WDF_REQUEST_PARAMETERS parameters;
        WDF_REQUEST_PARAMETERS_INIT(&parameters);
        NTSTATUS status = WdfIoQueueFindRequest(Queue, previous, NULL, &parameters, &found);
        if (previous != NULL)
        {
            WdfObjectDereference(previous);
        }
        if (!NT_SUCCESS(status))
        {
            return NULL;
        }
        if (parameters.Type == WdfRequestTypeDeviceControl)
        {
            WDFREQUEST request = NULL;
            status = WdfIoQueueRetrieveFoundRequest(Queue, found, &request);
            WdfObjectDereference(found);
            return NT_SUCCESS(status) ? request : NULL;
        }
        previous = found;
    }
}

VOID GetNextWrite(WDFREQUEST* Slot, WDFQUEUE Queue, WDFREQUEST* Next, BOOLEAN CompleteCurrentRequest,
                  PDEVICE_CONTEXT Context)
/*++
Routine Description:
    The get-next routine of WriteQueue: takes the finished request's bytes out of TxPending,
    then makes the pending immediate character current ahead of queued writes, or else the next
    request in order; with none left, the transmitter is empty. Completes the finished request
    when asked.
IRQL:
    <= DISPATCH_LEVEL. It takes SettingsLock, then QueueLock.
Return Value:
    None.
--*/
{
    WdfSpinLockAcquire(Context->QueueLock);
    WDFREQUEST finished = *Slot;
    *Slot = NULL;
    WdfSpinLockRelease(Context->QueueLock);

    BOOLEAN immediatePending;
    WdfSpinLockAcquire(Context->SettingsLock);
    if (finished != NULL)
    {
        PREQUEST_CONTEXT finishedContext = GetRequestContext(finished);
        if (finishedContext->IoControlCode == IOCTL_SERIAL_IMMEDIATE_CHAR)
        {
            Context->TxPending -= 1;
            Context->ImmediatePending = FALSE;
        }
        else if (finishedContext->MajorFunction == IRP_MJ_WRITE)
        {
            Context->TxPending -= finishedContext->Length;
        }
    }
    immediatePending = Context->ImmediatePending;
    WdfSpinLockRelease(Context->SettingsLock);

    WdfSpinLockAcquire(Context->QueueLock);
    WDFREQUEST next = immediatePending ? RetrieveImmediateChar(Queue) : NULL;
    if (next == NULL && !NT_SUCCESS(WdfIoQueueRetrieveNextRequest(Queue, &next)))
    {
        next = NULL;
    }
    *Slot = next;
    if (next == NULL && finished != NULL)
    {
        Context->TxEmptied = TRUE;
    }
    WdfSpinLockRelease(Context->QueueLock);
    *Next = next;

    if (next == NULL)
    {
        CheckTxEmpty(Context);
    }
    if (CompleteCurrentRequest && finished != NULL)
    {
        PREQUEST_CONTEXT finishedContext = GetRequestContext(finished);
        CompleteRequest(finished, finishedContext->Status, finishedContext->Information);
    }
}

VOID CheckTxEmpty(PDEVICE_CONTEXT Context)
/*++
Routine Description:
    The write queue drained: SERIAL_EV_TXEMPTY is recorded when the wait mask has it and the
    last write went out, and the pending wait hears of it.
IRQL:
    <= DISPATCH_LEVEL. It takes QueueLock.
Return Value:
    None.
--*/
{
    WdfSpinLockAcquire(Context->QueueLock);
    ULONG queued = 0;
    WdfIoQueueGetState(Context->WriteQueue, &queued, NULL);
    if ((Context->WaitMask & SERIAL_EV_TXEMPTY) == 0 || Context->CurrentWrite != NULL || queued != 0 ||
        !Context->TxEmptied)
    {
        WdfSpinLockRelease(Context->QueueLock);
        return;
    }
    Context->EventHistory |= SERIAL_EV_TXEMPTY;
    if (Context->CurrentWait != NULL && NT_SUCCESS(DisarmCancelLocked(Context->CurrentWait)))
    {
        ULONG events = Context->EventHistory;
        Context->EventHistory = 0;
        DeliverEventsLocked(Context, events);
        return;
    }
    WdfSpinLockRelease(Context->QueueLock);
}
