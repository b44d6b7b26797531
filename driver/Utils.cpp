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

NTSTATUS QueueDeferred(WDFDEVICE Device, const WORKITEM_CONTEXT* Values, PFN_WDF_WORKITEM Callback)
/*++
Routine Description:
    Runs Callback at PASSIVE_LEVEL on a system worker thread: creates a work item under the
    device, without automatic serialisation, copies Values into its WORKITEM_CONTEXT and
    enqueues it. The callback deletes its work item when it is done.
IRQL:
    <= DISPATCH_LEVEL.
Return Value:
    STATUS_SUCCESS, or the failure of WdfWorkItemCreate (traced; nothing is queued).
--*/
{
    WDF_WORKITEM_CONFIG config;
    WDF_WORKITEM_CONFIG_INIT(&config, Callback);
    config.AutomaticSerialization = FALSE;
    WDF_OBJECT_ATTRIBUTES attributes;
    WDF_OBJECT_ATTRIBUTES_INIT_CONTEXT_TYPE(&attributes, WORKITEM_CONTEXT);
    attributes.ParentObject = Device;
    WDFWORKITEM workItem;
    NTSTATUS status = WdfWorkItemCreate(&config, &attributes, &workItem);
    if (!NT_SUCCESS(status))
    {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_FLAG_GENERAL, "%ws: WdfWorkItemCreate failed 0x%x",
                    PortNameOf(GetDeviceContext(Device)), status);
        return status;
    }
    PWORKITEM_CONTEXT context = GetWorkItemContext(workItem);
    context->Device = Values->Device;
    context->Pipe = Values->Pipe;
    WdfWorkItemEnqueue(workItem);
    return STATUS_SUCCESS;
}
