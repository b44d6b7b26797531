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
