// Open, close and cleanup of the COM port.
#include "Driver.h"

#include "OpenClose.tmh"

VOID EvtDeviceFileCreate(WDFDEVICE Device, WDFREQUEST Request, WDFFILEOBJECT FileObject)
/*++
Routine Description:
    A client opens the port. Bringing the port up on the first open comes with the USB
    transport; the open itself succeeds.
IRQL:
    PASSIVE_LEVEL.
Return Value:
    None; the create request is completed with STATUS_SUCCESS.
--*/
{
    PAGED_CODE();

    UNREFERENCED_PARAMETER(FileObject);
    TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_FLAG_GENERAL, "%ws: EvtDeviceFileCreate",
                PortNameOf(GetDeviceContext(Device)));
    WdfRequestComplete(Request, STATUS_SUCCESS);
}

VOID EvtFileClose(WDFFILEOBJECT FileObject)
/*++
Routine Description:
    The last reference to a file object of the port is gone. Traced only, so far.
IRQL:
    PASSIVE_LEVEL.
Return Value:
    None.
--*/
{
    PAGED_CODE();

    TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_FLAG_GENERAL, "%ws: EvtFileClose",
                PortNameOf(GetDeviceContext(WdfFileObjectGetDevice(FileObject))));
}

VOID EvtFileCleanup(WDFFILEOBJECT FileObject)
/*++
Routine Description:
    A client closed its last handle to the port. Traced only, so far.
IRQL:
    PASSIVE_LEVEL.
Return Value:
    None.
--*/
{
    PAGED_CODE();

    TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_FLAG_GENERAL, "%ws: EvtFileCleanup",
                PortNameOf(GetDeviceContext(WdfFileObjectGetDevice(FileObject))));
}
