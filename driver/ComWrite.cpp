// The write path: application writes to the reader's bulk-out pipe.
#include "Driver.h"

#include "ComWrite.tmh"

VOID EvtIoWrite(WDFQUEUE Queue, WDFREQUEST Request, size_t Length)
/*++
Routine Description:
    Write requests from the default queue. Writing needs the USB transport, which is not
    written yet: the request completes with STATUS_NOT_SUPPORTED.
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
    WdfRequestComplete(Request, STATUS_NOT_SUPPORTED);
}

VOID WriteTotalTimerCallback(WDFTIMER Timer)
/*++
Routine Description:
    The total time-out of the current write expired. Traced only, so far.
IRQL:
    DISPATCH_LEVEL, under the framework's device synchronisation lock.
Return Value:
    None.
--*/
{
    TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_FLAG_GENERAL, "%ws: write total timeout",
                PortNameOf(GetDeviceContext(WdfTimerGetParentObject(Timer))));
}
