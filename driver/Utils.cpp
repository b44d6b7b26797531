// Request queues, cancellation and timers.
#include "Driver.h"

#include "Utils.tmh"

VOID StopCurrent(WDFQUEUE Queue, WDFREQUEST Request, ULONG ActionFlags)
/*++
Routine Description:
    Stop callback of the queues: the device leaves its working state while the driver holds
    Request. Traced only, so far.
IRQL:
    <= DISPATCH_LEVEL.
Return Value:
    None.
--*/
{
    UNREFERENCED_PARAMETER(Request);
    TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_FLAG_GENERAL, "%ws: StopCurrent flags 0x%x",
                PortNameOf(GetDeviceContext(WdfIoQueueGetDevice(Queue))), ActionFlags);
}

VOID CanceledInQueue(WDFQUEUE Queue, WDFREQUEST Request)
/*++
Routine Description:
    A request waiting in a manual queue was cancelled: it completes with STATUS_CANCELLED.
IRQL:
    <= DISPATCH_LEVEL.
Return Value:
    None.
--*/
{
    TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_FLAG_GENERAL, "%ws: CanceledInQueue",
                PortNameOf(GetDeviceContext(WdfIoQueueGetDevice(Queue))));
    WdfRequestComplete(Request, STATUS_CANCELLED);
}
