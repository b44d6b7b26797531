// The receive ring and read requests: received bytes go to the ring, or straight into the
// buffer of the read that waits for them, and reads are served under the serial time-outs.
#include "Driver.h"

#include "Receive.tmh"

VOID EvtIoRead(WDFQUEUE Queue, WDFREQUEST Request, size_t Length)
/*++
Routine Description:
    Read requests from the default queue: refused while a break is asserted or in the
    error-abort state, otherwise queued on ReadQueue behind the reads before them.
IRQL:
    PASSIVE_LEVEL (the default queue's execution level).
Return Value:
    None.
--*/
{
    PAGED_CODE();

    PDEVICE_CONTEXT context = GetDeviceContext(WdfIoQueueGetDevice(Queue));
    TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_FLAG_GENERAL, "%ws: EvtIoRead %u bytes", PortNameOf(context),
                (ULONG)Length);
    if (ReadBooleanNoFence(&context->BreakOn))
    {
        CompleteRequest(Request, STATUS_INVALID_DEVICE_STATE, 0);
        return;
    }
    if (ErrorAbortActive(context))
    {
        CompleteRequest(Request, STATUS_CANCELLED, 0);
        return;
    }
    PREQUEST_CONTEXT requestContext = GetRequestContext(Request);
    requestContext->MajorFunction = IRP_MJ_READ;
    requestContext->Length = (ULONG)Length;
    requestContext->Information = 0;
    requestContext->Status = STATUS_SUCCESS;
    PVOID buffer = NULL;
    NTSTATUS status = WdfRequestRetrieveOutputBuffer(Request, Length, &buffer, NULL);
    if (!NT_SUCCESS(status))
    {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_FLAG_GENERAL,
                    "%ws: read: WdfRequestRetrieveOutputBuffer failed 0x%x", PortNameOf(context), status);
        CompleteRequest(Request, status, 0);
        return;
    }
    requestContext->RequestBuffer = buffer;
    StartOrQueue(context, Request, context->ReadQueue, &context->CurrentRead, ReadStart);
}

static VOID SwapRing(PDEVICE_CONTEXT Context, WDFREQUEST Request)
/*++
Routine Description:
    IOCTL_SERIAL_SET_QUEUE_SIZE reached the head of ReadQueue: the larger ring it brought
    replaces the current one, keeping the unread bytes in order, and the limits follow the new
    size. A ring that is not larger (another resize came first) is freed.
IRQL:
    <= DISPATCH_LEVEL. It takes RxLock, then SettingsLock.
Return Value:
    None.
--*/
{
    PREQUEST_CONTEXT requestContext = GetRequestContext(Request);
    PUCHAR newRing = requestContext->NewRing;
    ULONG newSize = requestContext->Length;
    requestContext->NewRing = NULL;
    PUCHAR oldRing = NULL;
    ULONG oldTag = 0;
    BOOLEAN swapped = FALSE;

    WdfSpinLockAcquire(Context->RxLock);
    if (newRing != NULL && newSize > Context->RxSize)
    {
        oldRing = Context->RxRing;
        oldTag = Context->RxRingTag;
        if (oldRing != NULL)
        {
            // The unread bytes move to the start of the new ring, in order. A read waiting in
            // direct mode cannot be here: this request is the current one of ReadQueue.
            ULONG count = Context->RxCount;
            ULONG first = (ULONG)(Context->RxLast - Context->RxFirst + 1);
            ULONG piece = count < first ? count : first;
            RtlCopyMemory(newRing, Context->RxFirst, piece);
            RtlCopyMemory(newRing + piece, oldRing, count - piece);
            Context->RxRing = newRing;
            Context->RxRingTag = TARNO_TAG_RX_REPLACE;
            Context->RxDest = newRing;
            Context->RxFirst = newRing;
            Context->RxPut = newRing + count;
            Context->RxLast = newRing + newSize - 1;
        }
        else
        {
            // The port is closed: the next open allocates a ring of the new size.
            oldRing = newRing;
            oldTag = TARNO_TAG_RX_REPLACE;
        }
        Context->RxSize = newSize;
        Context->RxHighWater = ComputeRxHighWater(newSize);
        swapped = TRUE;
    }
    WdfSpinLockRelease(Context->RxLock);

    if (swapped)
    {
        WdfSpinLockAcquire(Context->SettingsLock);
        Context->HandFlow.XoffLimit = (LONG)(newSize / 8);
        Context->HandFlow.XonLimit = (LONG)(newSize / 2);
        WdfSpinLockRelease(Context->SettingsLock);
        TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_FLAG_GENERAL, "%ws: receive ring now %u bytes",
                    PortNameOf(Context), newSize);
        ExFreePoolWithTag(oldRing, oldTag);
    }
    else if (newRing != NULL)
    {
        ExFreePoolWithTag(newRing, TARNO_TAG_RX_REPLACE);
    }
    requestContext->Status = STATUS_SUCCESS;
    requestContext->Information = 0;
}

static ULONG DrainRingLocked(PDEVICE_CONTEXT Context, PREQUEST_CONTEXT Read)
/*++
Routine Description:
    Moves up to ReadWanted unread bytes of the ring into the read's buffer, behind what it
    already holds, in one or two pieces.
IRQL:
    DISPATCH_LEVEL, with RxLock held.
Return Value:
    The bytes moved.
--*/
{
    ULONG n = Context->RxCount < Context->ReadWanted ? Context->RxCount : Context->ReadWanted;
    if (n == 0)
    {
        return 0;
    }
    PUCHAR target = (PUCHAR)Read->RequestBuffer + (Read->Length - Context->ReadWanted);
    ULONG first = (ULONG)(Context->RxLast - Context->RxFirst + 1);
    ULONG piece = n < first ? n : first;
    RtlCopyMemory(target, Context->RxFirst, piece);
    if (piece < n)
    {
        RtlCopyMemory(target + piece, Context->RxRing, n - piece);
        Context->RxFirst = Context->RxRing + (n - piece);
    }
    else
    {
        Context->RxFirst += piece;
        if (Context->RxFirst > Context->RxLast)
        {
            Context->RxFirst = Context->RxRing;
        }
    }
    Context->ReadWanted -= n;
    Context->RxCount -= n;
    Read->Information += n;
    return n;
}

VOID ReadStart(PDEVICE_CONTEXT Context)
/*++
Routine Description:
    Serves the current request of ReadQueue and each next one. A SET_QUEUE_SIZE swaps the ring.
    A read takes what the ring holds and completes at once when its time-outs say so or when it
    is satisfied; otherwise it waits in direct mode (received bytes go straight into its buffer)
    with its cancel routine armed and, when its time-outs ask for one, its total timer running.
IRQL:
    <= DISPATCH_LEVEL. It takes SettingsLock, RxLock and QueueLock.
Return Value:
    None.
--*/
{
    for (;;)
    {
        WDFREQUEST request = CurrentRequest(Context, &Context->CurrentRead);
        if (request == NULL)
        {
            return;
        }
        PREQUEST_CONTEXT requestContext = GetRequestContext(request);
        WDFREQUEST next = NULL;
        if (requestContext->MajorFunction != IRP_MJ_READ)
        {
            SwapRing(Context, request);
            GetNext(&Context->CurrentRead, Context->ReadQueue, &next, TRUE, Context);
            continue;
        }

        WdfTimerStop(Context->ReadTotalTimer, FALSE);
        SERIAL_TIMEOUTS timeouts;
        WdfSpinLockAcquire(Context->SettingsLock);
        timeouts = Context->Timeouts;
        WdfSpinLockRelease(Context->SettingsLock);

        BOOLEAN atOnce = FALSE;
        BOOLEAN onAnyByte = FALSE;
        BOOLEAN cutToOne = FALSE;
        BOOLEAN useTimer = FALSE;
        ULONGLONG multiplier = timeouts.ReadTotalTimeoutMultiplier;
        ULONGLONG constant = timeouts.ReadTotalTimeoutConstant;
        BOOLEAN noTotals = multiplier == 0 && constant == 0;
        if (timeouts.ReadIntervalTimeout == MAXULONG)
        {
            if (noTotals)
            {
                atOnce = TRUE;
            }
            else if (constant == MAXULONG)
            {
                // Wait until every byte arrived, without a timer.
            }
            else if (multiplier == MAXULONG)
            {
                useTimer = TRUE;
                multiplier = 0;
                onAnyByte = TRUE;
                cutToOne = TRUE;
            }
            else
            {
                useTimer = TRUE;
                onAnyByte = TRUE;
            }
        }
        else if (!noTotals)
        {
            useTimer = TRUE;
        }

        WdfSpinLockAcquire(Context->RxLock);
        Context->ReadWanted = requestContext->Length;
        requestContext->Information = 0;
        if (Context->RxRing != NULL && Context->RxDest == Context->RxRing)
        {
            DrainRingLocked(Context, requestContext);
        }
        if (atOnce || Context->ReadWanted == 0 || (onAnyByte && requestContext->Information > 0) ||
            Context->RxRing == NULL)
        {
            WdfSpinLockRelease(Context->RxLock);
            requestContext->Status = STATUS_SUCCESS;
            TraceEvents(TRACE_LEVEL_VERBOSE, TRACE_FLAG_GENERAL, "%ws: read completes at once with %u bytes",
                        PortNameOf(Context), (ULONG)requestContext->Information);
            GetNext(&Context->CurrentRead, Context->ReadQueue, &next, TRUE, Context);
            continue;
        }

        // The read waits for its bytes.
        WdfSpinLockAcquire(Context->QueueLock);
        requestContext->RefBits = REF_PATH;
        requestContext->Completing = FALSE;
        WdfSpinLockRelease(Context->QueueLock);
        if (cutToOne)
        {
            Context->ReadWanted = 1;
            requestContext->Length = 1;
        }
        Context->ReadDirect = 0;
        Context->RxDest = (PUCHAR)requestContext->RequestBuffer;
        Context->RxPut = Context->RxDest + requestContext->Information;
        Context->RxLast = Context->RxDest + requestContext->Length - 1;
        NTSTATUS status = MarkCancelable(request, ReadCancel);
        if (!NT_SUCCESS(status))
        {
            // Cancelled before it could wait: back to the ring, and it ends here.
            Context->RxDest = Context->RxRing;
            Context->RxPut = Context->RxRing;
            Context->RxFirst = Context->RxRing;
            Context->RxLast = Context->RxRing + Context->RxSize - 1;
            Context->RxCount = 0;
            WdfSpinLockRelease(Context->RxLock);
            requestContext->RefBits = 0;
            requestContext->Status = STATUS_CANCELLED;
            requestContext->Information = 0;
            GetNext(&Context->CurrentRead, Context->ReadQueue, &next, TRUE, Context);
            continue;
        }
        if (useTimer)
        {
            ULONGLONG total = (ULONGLONG)requestContext->Length * multiplier + constant;
            // Past what a relative due time can hold, the read simply has no time limit.
            if (total != 0 && total <= (ULONGLONG)MAXLONGLONG / 10000)
            {
                WdfSpinLockAcquire(Context->QueueLock);
                requestContext->RefBits |= REF_TIMER;
                WdfSpinLockRelease(Context->QueueLock);
                WdfTimerStart(Context->ReadTotalTimer, -(LONGLONG)(total * 10000));
            }
        }
        WdfSpinLockRelease(Context->RxLock);
        TraceEvents(TRACE_LEVEL_VERBOSE, TRACE_FLAG_GENERAL, "%ws: read waits for %u bytes",
                    PortNameOf(Context), Context->ReadWanted);
        return;
    }
}

static VOID GrabDirect(PDEVICE_CONTEXT Context, WDFREQUEST Request)
/*++
Routine Description:
    Takes a waiting read back from the receive path: it reports the bytes already in its buffer
    and the ring takes the next bytes again.
IRQL:
    <= DISPATCH_LEVEL. It takes RxLock, then QueueLock.
Return Value:
    None.
--*/
{
    PREQUEST_CONTEXT requestContext = GetRequestContext(Request);
    WdfSpinLockAcquire(Context->RxLock);
    if (Context->RxRing != NULL && Context->RxDest != Context->RxRing &&
        Context->RxDest == (PUCHAR)requestContext->RequestBuffer)
    {
        requestContext->Information = (ULONG_PTR)(Context->RxPut - Context->RxDest);
        Context->RxCount = 0;
        Context->RxDest = Context->RxRing;
        Context->RxPut = Context->RxRing;
        Context->RxFirst = Context->RxRing;
        Context->RxLast = Context->RxRing + Context->RxSize - 1;
        WdfSpinLockAcquire(Context->QueueLock);
        requestContext->RefBits &= ~REF_PATH;
        WdfSpinLockRelease(Context->QueueLock);
    }
    WdfSpinLockRelease(Context->RxLock);
}

VOID ReadCancel(WDFREQUEST Request)
/*++
Routine Description:
    Cancel routine of a waiting read: it completes with STATUS_CANCELLED and no bytes.
IRQL:
    <= DISPATCH_LEVEL.
Return Value:
    None.
--*/
{
    PDEVICE_CONTEXT context = GetRequestContext(Request)->OwnerDevice;
    TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_FLAG_GENERAL, "%ws: read cancelled", PortNameOf(context));
    CompleteCurrent(context, GrabDirect, STATUS_CANCELLED, &context->CurrentRead, context->ReadQueue,
                    context->ReadTotalTimer, ReadStart, GetNext, REF_CANCEL);
}

VOID ReadTotalTimerCallback(WDFTIMER Timer)
/*++
Routine Description:
    The total time-out of the waiting read expired: it completes with STATUS_SUCCESS and the
    bytes it received so far.
IRQL:
    DISPATCH_LEVEL, under the framework's device synchronisation lock.
Return Value:
    None.
--*/
{
    PDEVICE_CONTEXT context = GetDeviceContext(WdfTimerGetParentObject(Timer));
    WdfSpinLockAcquire(context->QueueLock);
    WDFREQUEST request = context->CurrentRead;
    BOOLEAN mine = request != NULL && (GetRequestContext(request)->RefBits & REF_TIMER) != 0;
    WdfSpinLockRelease(context->QueueLock);
    if (!mine)
    {
        // Only the read the timer was started for holds its bit, and it stays current until this
        // callback drops it: anything else is not this timer's to end.
        return;
    }
    TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_FLAG_GENERAL, "%ws: read total timeout", PortNameOf(context));
    CompleteCurrent(context, GrabDirect, STATUS_SUCCESS, &context->CurrentRead, context->ReadQueue,
                    context->ReadTotalTimer, ReadStart, GetNext, REF_TIMER);
}

static VOID DeliverToWait(PDEVICE_CONTEXT Context, ULONG Mask)
/*++
Routine Description:
    Reports the events of EventHistory that Mask selects to the pending wait, when there is one
    whose cancel routine can be disarmed, and clears them; a wait being cancelled reports
    nothing and the events stay for the next wait.
IRQL:
    <= DISPATCH_LEVEL. It takes QueueLock.
Return Value:
    None.
--*/
{
    WdfSpinLockAcquire(Context->QueueLock);
    ULONG events = Context->EventHistory & Mask;
    if (events == 0 || Context->CurrentWait == NULL || !NT_SUCCESS(DisarmCancelLocked(Context->CurrentWait)))
    {
        WdfSpinLockRelease(Context->QueueLock);
        return;
    }
    Context->EventHistory &= ~events;
    DeliverEventsLocked(Context, events);
}

static VOID RaiseLineEvents(PDEVICE_CONTEXT Context)
/*++
Routine Description:
    Records the line events of the current modem status in the event history: they follow the
    line levels, so every report with a line on raises its event again, whatever the wait mask.
    Those of the wait mask are reported to the pending wait.
IRQL:
    <= DISPATCH_LEVEL. It takes QueueLock.
Return Value:
    None.
--*/
{
    ULONG modemStatus = Context->ModemStatus;
    ULONG events = 0;
    if ((modemStatus & SERIAL_CTS_STATE) != 0)
    {
        events |= SERIAL_EV_CTS;
    }
    if ((modemStatus & SERIAL_DSR_STATE) != 0)
    {
        events |= SERIAL_EV_DSR;
    }
    if ((modemStatus & SERIAL_DCD_STATE) != 0)
    {
        events |= SERIAL_EV_RLSD;
    }
    if ((modemStatus & SERIAL_RI_STATE) != 0)
    {
        events |= SERIAL_EV_RING;
    }
    WdfSpinLockAcquire(Context->QueueLock);
    Context->EventHistory |= events;
    ULONG mask = Context->WaitMask;
    WdfSpinLockRelease(Context->QueueLock);
    DeliverToWait(Context, mask);
}

VOID LineStateChanged(PDEVICE_CONTEXT Context, UCHAR StateBits)
/*++
Routine Description:
    The reader reported its UART state (the low byte of a SERIAL_STATE bitmap): rebuilds the
    modem status (bit 0, the receive carrier, stands for CTS and DCD; bit 1 for DSR; bit 3 for
    RI) and raises the line events.
IRQL:
    <= DISPATCH_LEVEL.
Return Value:
    None.
--*/
{
    ULONG modemStatus = 0;
    if ((StateBits & 0x08) != 0)
    {
        modemStatus |= SERIAL_RI_STATE;
    }
    if ((StateBits & 0x02) != 0)
    {
        modemStatus |= SERIAL_DSR_STATE;
    }
    if ((StateBits & 0x01) != 0)
    {
        modemStatus |= SERIAL_CTS_STATE | SERIAL_DCD_STATE;
    }
    InterlockedExchange(&Context->ModemStatus, modemStatus);
    TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_FLAG_GENERAL,
                "%ws: LineStateChanged 0x%02x: modem status 0x%x", PortNameOf(Context), (ULONG)StateBits,
                modemStatus);
    RaiseLineEvents(Context);
}

static VOID StoreChunk(PDEVICE_CONTEXT Context, const UCHAR* Bytes, ULONG Length)
/*++
Routine Description:
    Stores a chunk: into the waiting read's buffer (completing the read when it fills, the rest
    going to the ring), or into the ring, which refuses a chunk that would fill it whole and
    records the overrun. Dropped while the port is closed.
IRQL:
    <= DISPATCH_LEVEL. It takes RxLock, then QueueLock (and SettingsLock on its own).
Return Value:
    None.
--*/
{
    ULONG controlHandShake;
    ULONG flowReplace;
    UCHAR errorChar;
    WdfSpinLockAcquire(Context->SettingsLock);
    controlHandShake = Context->HandFlow.ControlHandShake;
    flowReplace = Context->HandFlow.FlowReplace;
    errorChar = Context->SpecialChars.ErrorChar;
    WdfSpinLockRelease(Context->SettingsLock);
    if ((controlHandShake & SERIAL_DSR_SENSITIVITY) != 0)
    {
        RaiseLineEvents(Context);
    }

    WdfSpinLockAcquire(Context->RxLock);
    if (Context->RxRing == NULL)
    {
        WdfSpinLockRelease(Context->RxLock);
        TraceEvents(TRACE_LEVEL_VERBOSE, TRACE_FLAG_GENERAL, "%ws: %u bytes dropped: port closed",
                    PortNameOf(Context), Length);
        return;
    }
    InterlockedAdd((PLONG)&Context->PerfStats.ReceivedCount, (LONG)Length);

    if (Context->RxDest == Context->RxRing)
    {
        if (Context->RxCount + Length >= Context->RxSize)
        {
            if ((flowReplace & SERIAL_ERROR_CHAR) != 0)
            {
                PUCHAR last = Context->RxPut == Context->RxRing ? Context->RxLast : Context->RxPut - 1;
                *last = errorChar;
            }
            WdfSpinLockRelease(Context->RxLock);
            InterlockedIncrement((PLONG)&Context->PerfStats.BufferOverrunErrorCount);
            WdfSpinLockAcquire(Context->SettingsLock);
            Context->ErrorWord |= SERIAL_ERROR_QUEUEOVERRUN;
            WdfSpinLockRelease(Context->SettingsLock);
            TraceEvents(TRACE_LEVEL_WARNING, TRACE_FLAG_GENERAL, "%ws: receive ring full: %u bytes lost",
                        PortNameOf(Context), Length);
            if ((controlHandShake & SERIAL_ERROR_ABORT) != 0)
            {
                KillAll(Context, Context->WriteQueue, &Context->CurrentWrite, NULL);
                KillAll(Context, Context->ReadQueue, &Context->CurrentRead, NULL);
            }
            return;
        }
        ULONG first = (ULONG)(Context->RxLast - Context->RxPut + 1);
        ULONG piece = Length < first ? Length : first;
        RtlCopyMemory(Context->RxPut, Bytes, piece);
        if (piece < Length)
        {
            RtlCopyMemory(Context->RxRing, Bytes + piece, Length - piece);
            Context->RxPut = Context->RxRing + (Length - piece);
        }
        else
        {
            Context->RxPut += piece;
            if (Context->RxPut > Context->RxLast)
            {
                Context->RxPut = Context->RxRing;
            }
        }
        Context->RxCount += Length;
        BOOLEAN highWater = Context->RxCount >= Context->RxHighWater;
        WdfSpinLockRelease(Context->RxLock);
        if (highWater)
        {
            WdfSpinLockAcquire(Context->QueueLock);
            BOOLEAN raise = (Context->WaitMask & SERIAL_EV_RX80FULL) != 0;
            if (raise)
            {
                Context->EventHistory |= SERIAL_EV_RX80FULL;
            }
            WdfSpinLockRelease(Context->QueueLock);
            if (raise)
            {
                DeliverToWait(Context, MAXULONG);
            }
        }
        return;
    }

    // Direct mode: a read waits.
    if (Context->RxPut + Length <= Context->RxLast)
    {
        RtlCopyMemory(Context->RxPut, Bytes, Length);
        Context->ReadDirect += Length;
        Context->RxPut += Length;
        Context->RxCount += Length;
        WdfSpinLockRelease(Context->RxLock);
        return;
    }
    ULONG fill = (ULONG)(Context->RxLast - Context->RxPut + 1);
    RtlCopyMemory(Context->RxPut, Bytes, fill);
    Context->ReadDirect += fill;
    Context->RxDest = Context->RxRing;
    Context->RxPut = Context->RxRing;
    Context->RxFirst = Context->RxRing;
    Context->RxLast = Context->RxRing + Context->RxSize - 1;
    Context->RxCount = Length - fill;
    RtlCopyMemory(Context->RxRing, Bytes + fill, Length - fill);
    Context->RxPut = Context->RxRing + (Length - fill);
    WDFREQUEST read = CurrentRequest(Context, &Context->CurrentRead);
    PREQUEST_CONTEXT readContext = GetRequestContext(read);
    readContext->Information = readContext->Length;
    WdfSpinLockRelease(Context->RxLock);
    CompleteCurrent(Context, NULL, STATUS_SUCCESS, &Context->CurrentRead, Context->ReadQueue,
                    Context->ReadTotalTimer, ReadStart, GetNext, REF_PATH);
}

VOID ReceiveChunk(PDEVICE_CONTEXT Context, const UCHAR* Bytes, ULONG Length)
/*++
Routine Description:
    A bulk-in transfer brought Length bytes (possibly none): they are stored, and
    SERIAL_EV_RXCHAR and SERIAL_EV_RXFLAG are raised when the wait mask has them, whatever
    happened to the chunk; the pending wait then hears of every event recorded.
IRQL:
    <= DISPATCH_LEVEL. It takes RxLock, then QueueLock.
Return Value:
    None.
--*/
{
    StoreChunk(Context, Bytes, Length);
    WdfSpinLockAcquire(Context->QueueLock);
    Context->EventHistory |= Context->WaitMask & (SERIAL_EV_RXCHAR | SERIAL_EV_RXFLAG);
    WdfSpinLockRelease(Context->QueueLock);
    DeliverToWait(Context, MAXULONG);
}
