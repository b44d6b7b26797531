// Open, close and cleanup of the COM port: the first open brings the port up, the last close
// brings it down, and cleanup cancels the closing handle's requests.
#include "Driver.h"

#include "OpenClose.tmh"

VOID EvtDeviceFileCreate(WDFDEVICE Device, WDFREQUEST Request, WDFFILEOBJECT FileObject)
/*++
Routine Description:
    A client opens the port. A further handle only counts; the first open allocates the
    receive ring, starts the per-open state afresh, starts the bulk-in reading and sends the
    line settings and RTS to the reader.
IRQL:
    PASSIVE_LEVEL.
Return Value:
    None; the create request completes with STATUS_SUCCESS, STATUS_INSUFFICIENT_RESOURCES when
    the ring cannot be allocated, or STATUS_IO_DEVICE_ERROR when reading cannot start (the port
    then stays closed).
--*/
{
    PAGED_CODE();

    UNREFERENCED_PARAMETER(FileObject);
    PDEVICE_CONTEXT context = GetDeviceContext(Device);
    TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_FLAG_GENERAL, "%ws: EvtDeviceFileCreate", PortNameOf(context));

    WdfSpinLockAcquire(context->OpenLock);
    if (ReadBooleanNoFence(&context->PortOpen))
    {
        context->OpenCount += 1;
        WdfSpinLockRelease(context->OpenLock);
        WdfRequestComplete(Request, STATUS_SUCCESS);
        return;
    }
    ULONG size = context->RxSize;
    PUCHAR ring = (PUCHAR)ExAllocatePool2(POOL_FLAG_NON_PAGED, size, TARNO_TAG_RX_RING);
    if (ring == NULL)
    {
        WdfSpinLockRelease(context->OpenLock);
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_FLAG_GENERAL, "%ws: no memory for a %u-byte receive ring",
                    PortNameOf(context), size);
        WdfRequestComplete(Request, STATUS_INSUFFICIENT_RESOURCES);
        return;
    }
    context->OpenCount += 1;
    WriteBooleanNoFence(&context->PortOpen, TRUE);
    WdfSpinLockRelease(context->OpenLock);

    WdfSpinLockAcquire(context->RxLock);
    context->RxRing = ring;
    context->RxRingTag = TARNO_TAG_RX_RING;
    context->RxDest = ring;
    context->RxPut = ring;
    context->RxFirst = ring;
    context->RxLast = ring + size - 1;
    context->RxCount = 0;
    context->RxHighWater = ComputeRxHighWater(size);
    WdfSpinLockRelease(context->RxLock);

    WdfSpinLockAcquire(context->SettingsLock);
    context->TxPending = 0;
    context->ImmediatePending = FALSE;
    context->HandFlow.XoffLimit = (LONG)(size / 8);
    context->HandFlow.XonLimit = (LONG)(size / 2);
    context->ErrorWord = 0;
    WdfSpinLockRelease(context->SettingsLock);
    WdfSpinLockAcquire(context->QueueLock);
    context->WaitMask = 0;
    context->TxEmptied = FALSE;
    WdfSpinLockRelease(context->QueueLock);

    NTSTATUS status = StartBulkInRead(context);
    if (!NT_SUCCESS(status))
    {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_FLAG_GENERAL, "%ws: the bulk-in reading did not start 0x%x",
                    PortNameOf(context), status);
        WdfSpinLockAcquire(context->OpenLock);
        WriteBooleanNoFence(&context->PortOpen, FALSE);
        context->OpenCount -= 1;
        WdfSpinLockRelease(context->OpenLock);
        WdfSpinLockAcquire(context->RxLock);
        context->RxRing = NULL;
        context->RxDest = NULL;
        context->RxPut = NULL;
        context->RxFirst = NULL;
        context->RxLast = NULL;
        WdfSpinLockRelease(context->RxLock);
        ExFreePoolWithTag(ring, TARNO_TAG_RX_RING);
        WdfRequestComplete(Request, STATUS_IO_DEVICE_ERROR);
        return;
    }

    SendCurrentLineCoding(context);
    UCHAR lines = (UCHAR)(context->ControlLines | SERIAL_RTS_STATE);
    context->ControlLines = lines;
    SetControlLineState(context, (UCHAR)(lines & (SERIAL_DTR_STATE | SERIAL_RTS_STATE)));
    TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_FLAG_GENERAL, "%ws: port open, %u-byte ring",
                PortNameOf(context), size);
    WdfRequestComplete(Request, status);
}

VOID EvtFileCleanup(WDFFILEOBJECT FileObject)
/*++
Routine Description:
    A client closed its last handle to the port: the current requests of that handle are
    cancelled through their own cancel routines (the framework cancels its requests still
    waiting in the queues), and its pending wait completes with STATUS_CANCELLED.
IRQL:
    PASSIVE_LEVEL.
Return Value:
    None.
--*/
{
    PAGED_CODE();

    PDEVICE_CONTEXT context = GetDeviceContext(WdfFileObjectGetDevice(FileObject));
    TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_FLAG_GENERAL, "%ws: EvtFileCleanup", PortNameOf(context));
    KillAll(context, context->WriteQueue, &context->CurrentWrite, FileObject);
    KillAll(context, context->ReadQueue, &context->CurrentRead, FileObject);
    KillAll(context, context->PurgeQueue, &context->CurrentPurge, FileObject);
    KillAll(context, context->MaskQueue, &context->CurrentMask, FileObject);

    WdfSpinLockAcquire(context->QueueLock);
    WDFREQUEST wait = context->CurrentWait;
    if (wait != NULL && WdfRequestGetFileObject(wait) == FileObject && NT_SUCCESS(DisarmCancelLocked(wait)))
    {
        PREQUEST_CONTEXT requestContext = GetRequestContext(wait);
        if (!requestContext->Completing)
        {
            requestContext->Completing = TRUE;
            context->CurrentWait = NULL;
            WdfSpinLockRelease(context->QueueLock);
            CompleteRequest(wait, STATUS_CANCELLED, 0);
            return;
        }
    }
    WdfSpinLockRelease(context->QueueLock);
}

VOID EvtFileClose(WDFFILEOBJECT FileObject)
/*++
Routine Description:
    A file object of the port goes away. The last one brings the port down: the break ends,
    DTR drops before RTS, the bulk-in reading stops, the ring is freed and the total timers are
    stopped, waiting for callbacks that run.
IRQL:
    PASSIVE_LEVEL.
Return Value:
    None.
--*/
{
    PAGED_CODE();

    PDEVICE_CONTEXT context = GetDeviceContext(WdfFileObjectGetDevice(FileObject));
    TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_FLAG_GENERAL, "%ws: EvtFileClose", PortNameOf(context));

    WdfSpinLockAcquire(context->OpenLock);
    BOOLEAN last = context->OpenCount <= 1;
    if (context->OpenCount > 0)
    {
        context->OpenCount -= 1;
    }
    if (!last)
    {
        WdfSpinLockRelease(context->OpenLock);
        return;
    }
    WriteBooleanNoFence(&context->PortOpen, FALSE);
    WdfSpinLockRelease(context->OpenLock);

    SendBreak(context, 0);
    WriteBooleanNoFence(&context->BreakOn, FALSE);
    UCHAR lines = (UCHAR)(context->ControlLines & ~SERIAL_DTR_STATE);
    context->ControlLines = lines;
    SetControlLineState(context, (UCHAR)(lines & (SERIAL_DTR_STATE | SERIAL_RTS_STATE)));
    lines = (UCHAR)(lines & ~SERIAL_RTS_STATE);
    context->ControlLines = lines;
    SetControlLineState(context, (UCHAR)(lines & (SERIAL_DTR_STATE | SERIAL_RTS_STATE)));
    StopBulkInRead(context);

    WdfSpinLockAcquire(context->RxLock);
    PUCHAR ring = context->RxRing;
    ULONG tag = context->RxRingTag;
    context->RxRing = NULL;
    context->RxDest = NULL;
    context->RxPut = NULL;
    context->RxFirst = NULL;
    context->RxLast = NULL;
    context->RxCount = 0;
    WdfSpinLockRelease(context->RxLock);
    if (ring != NULL)
    {
        ExFreePoolWithTag(ring, tag);
    }
    WdfTimerStop(context->ReadTotalTimer, TRUE);
    WdfTimerStop(context->WriteTotalTimer, TRUE);
    TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_FLAG_GENERAL, "%ws: port closed", PortNameOf(context));
}
