// The receive ring and read requests.
#include "Driver.h"

#include "Receive.tmh"

VOID EvtIoRead(WDFQUEUE Queue, WDFREQUEST Request, size_t Length)
{
    PDEVICE_CONTEXT context = GetDeviceContext(WdfIoQueueGetDevice(Queue));
    TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_FLAG_GENERAL, "%ws: EvtIoRead %u bytes", PortNameOf(context),
                (ULONG)Length);
    // Reading needs the USB transport, which the port does not have yet.
    WdfRequestComplete(Request, STATUS_NOT_SUPPORTED);
}

VOID ReadTotalTimerCallback(WDFTIMER Timer)
{
    TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_FLAG_GENERAL, "%ws: read total timeout",
                PortNameOf(GetDeviceContext(WdfTimerGetParentObject(Timer))));
}
