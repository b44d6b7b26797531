// The write path: application writes to the reader's bulk-out pipe.
#include "Driver.h"

#include "ComWrite.tmh"

VOID EvtIoWrite(WDFQUEUE Queue, WDFREQUEST Request, size_t Length)
{
    PDEVICE_CONTEXT context = GetDeviceContext(WdfIoQueueGetDevice(Queue));
    TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_FLAG_GENERAL, "%ws: EvtIoWrite %u bytes", PortNameOf(context),
                (ULONG)Length);
    // Writing needs the USB transport, which the port does not have yet.
    WdfRequestComplete(Request, STATUS_NOT_SUPPORTED);
}

VOID WriteTotalTimerCallback(WDFTIMER Timer)
{
    TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_FLAG_GENERAL, "%ws: write total timeout",
                PortNameOf(GetDeviceContext(WdfTimerGetParentObject(Timer))));
}
