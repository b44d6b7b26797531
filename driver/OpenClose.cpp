// Open, close and cleanup of the COM port.
#include "Driver.h"

#include "OpenClose.tmh"

VOID EvtDeviceFileCreate(WDFDEVICE Device, WDFREQUEST Request, WDFFILEOBJECT FileObject)
{
    UNREFERENCED_PARAMETER(FileObject);
    TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_FLAG_GENERAL, "%ws: EvtDeviceFileCreate",
                PortNameOf(GetDeviceContext(Device)));
    // Bringing the port up on the first open comes with the USB transport; the open itself succeeds.
    WdfRequestComplete(Request, STATUS_SUCCESS);
}

VOID EvtFileClose(WDFFILEOBJECT FileObject)
{
    TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_FLAG_GENERAL, "%ws: EvtFileClose",
                PortNameOf(GetDeviceContext(WdfFileObjectGetDevice(FileObject))));
}

VOID EvtFileCleanup(WDFFILEOBJECT FileObject)
{
    TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_FLAG_GENERAL, "%ws: EvtFileCleanup",
                PortNameOf(GetDeviceContext(WdfFileObjectGetDevice(FileObject))));
}
