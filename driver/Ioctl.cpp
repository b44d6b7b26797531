// The serial I/O control dispatcher.
#include "Driver.h"

#include "Ioctl.tmh"

VOID EvtIoDeviceControl(WDFQUEUE Queue, WDFREQUEST Request, size_t OutputBufferLength,
                        size_t InputBufferLength, ULONG IoControlCode)
/*++
Routine Description:
    Serial I/O controls from the default queue. The dispatcher is not written yet: the
    request completes with STATUS_NOT_SUPPORTED.
IRQL:
    PASSIVE_LEVEL (the default queue's execution level).
Return Value:
    None.
--*/
{
    PAGED_CODE();

    UNREFERENCED_PARAMETER(OutputBufferLength);
    UNREFERENCED_PARAMETER(InputBufferLength);
    PDEVICE_CONTEXT context = GetDeviceContext(WdfIoQueueGetDevice(Queue));
    TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_FLAG_GENERAL, "%ws: EvtIoDeviceControl 0x%08x",
                PortNameOf(context), IoControlCode);
    WdfRequestComplete(Request, STATUS_NOT_SUPPORTED);
}

VOID EvtIoInternalDeviceControl(WDFQUEUE Queue, WDFREQUEST Request, size_t OutputBufferLength,
                                size_t InputBufferLength, ULONG IoControlCode)
/*++
Routine Description:
    Internal serial I/O controls from the default queue. Not written yet: the request
    completes with STATUS_NOT_SUPPORTED.
IRQL:
    PASSIVE_LEVEL (the default queue's execution level).
Return Value:
    None.
--*/
{
    PAGED_CODE();

    UNREFERENCED_PARAMETER(OutputBufferLength);
    UNREFERENCED_PARAMETER(InputBufferLength);
    PDEVICE_CONTEXT context = GetDeviceContext(WdfIoQueueGetDevice(Queue));
    TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_FLAG_GENERAL, "%ws: EvtIoInternalDeviceControl 0x%08x",
                PortNameOf(context), IoControlCode);
    WdfRequestComplete(Request, STATUS_NOT_SUPPORTED);
}
