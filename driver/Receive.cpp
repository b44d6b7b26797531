// The receive ring and read requests.
#include "Driver.h"

#include "Receive.tmh"

VOID EvtIoRead(WDFQUEUE Queue, WDFREQUEST Request, size_t Length)
/*++
Routine Description:
    Read requests from the default queue. Reading needs the USB transport, which is not
    written yet: the request completes with STATUS_NOT_SUPPORTED.
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
    WdfRequestComplete(Request, STATUS_NOT_SUPPORTED);
}

VOID ReadTotalTimerCallback(WDFTIMER Timer)
/*++
Routine Description:
    The total time-out of the current read expired. Traced only, so far.
IRQL:
    DISPATCH_LEVEL, under the framework's device synchronisation lock.
Return Value:
    None.
--*/
{
    TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_FLAG_GENERAL, "%ws: read total timeout",
                PortNameOf(GetDeviceContext(WdfTimerGetParentObject(Timer))));
}

static VOID RaiseLineEvents(PDEVICE_CONTEXT Context)
/*++
Routine Description:
    Records the line events of the current modem status in the event history: they follow the
    line levels, so every report with a line on raises its event again, whatever the wait mask.
    Reporting them to a pending wait comes with the wait request.
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
    WdfSpinLockRelease(Context->QueueLock);
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

VOID ReceiveChunk(PDEVICE_CONTEXT Context, const UCHAR* Bytes, ULONG Length)
/*++
Routine Description:
    A bulk-in transfer brought Length bytes (possibly none). Without a receive ring (the port
    is closed) the chunk is dropped, and it is not counted as received. The ring and the reads
    that take the bytes come with the serial requests; until then every chunk meets a closed
    port. The receive events are raised whatever happened to the chunk.
IRQL:
    <= DISPATCH_LEVEL. It takes RxLock, then QueueLock.
Return Value:
    None.
--*/
{
    UNREFERENCED_PARAMETER(Bytes);
    BOOLEAN dropped = FALSE;
    WdfSpinLockAcquire(Context->RxLock);
    if (Context->RxRing == NULL)
    {
        dropped = TRUE;
    }
    WdfSpinLockRelease(Context->RxLock);
    TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_FLAG_GENERAL, "%ws: ReceiveChunk %u bytes%s",
                PortNameOf(Context), Length, dropped ? ", port closed: dropped" : "");

    WdfSpinLockAcquire(Context->QueueLock);
    Context->EventHistory |= Context->WaitMask & (SERIAL_EV_RXCHAR | SERIAL_EV_RXFLAG);
    WdfSpinLockRelease(Context->QueueLock);
}
