// Request queues, cancellation and timers.
#include "Driver.h"

#include "Utils.tmh"

VOID StopCurrent(WDFQUEUE Queue, WDFREQUEST Request, ULONG ActionFlags)
{
    UNREFERENCED_PARAMETER(Request);
    TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_FLAG_GENERAL, "%ws: StopCurrent flags 0x%x",
                PortNameOf(GetDeviceContext(WdfIoQueueGetDevice(Queue))), ActionFlags);
}

VOID CanceledInQueue(WDFQUEUE Queue, WDFREQUEST Request)
{
    TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_FLAG_GENERAL, "%ws: CanceledInQueue",
                PortNameOf(GetDeviceContext(WdfIoQueueGetDevice(Queue))));
    WdfRequestComplete(Request, STATUS_CANCELLED);
}
