// The reader's USB side: hardware preparation selects the configuration and finds the pipes.
#include "Driver.h"

#include "Usb.tmh"

NTSTATUS EvtDevicePrepareHardware(WDFDEVICE Device, WDFCMRESLIST ResourcesRaw,
                                  WDFCMRESLIST ResourcesTranslated)
/*++
Routine Description:
    Hardware preparation at every start of the device: restores the serial defaults and
    marks the port closed. Selecting the USB configuration is not written yet, so the start
    fails.
IRQL:
    PASSIVE_LEVEL.
Return Value:
    STATUS_NOT_IMPLEMENTED.
--*/
{
    PAGED_CODE();

    UNREFERENCED_PARAMETER(ResourcesRaw);
    UNREFERENCED_PARAMETER(ResourcesTranslated);
    PDEVICE_CONTEXT context = GetDeviceContext(Device);
    TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_FLAG_GENERAL, "%ws: EvtDevicePrepareHardware: Entry",
                PortNameOf(context));
    SetSerialDefaults(context);
    context->PortOpen = FALSE;
    NTSTATUS status = STATUS_NOT_IMPLEMENTED;
    TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_FLAG_GENERAL, "%ws: EvtDevicePrepareHardware: Exit 0x%x",
                PortNameOf(context), status);
    return status;
}

NTSTATUS EvtDeviceReleaseHardware(WDFDEVICE Device, WDFCMRESLIST ResourcesTranslated)
/*++
Routine Description:
    Hardware release. Every object hardware preparation makes has the device or a pipe as
    its parent, so nothing is released here.
IRQL:
    PASSIVE_LEVEL.
Return Value:
    STATUS_SUCCESS.
--*/
{
    PAGED_CODE();

    UNREFERENCED_PARAMETER(ResourcesTranslated);
    TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_FLAG_GENERAL, "%ws: EvtDeviceReleaseHardware",
                PortNameOf(GetDeviceContext(Device)));
    return STATUS_SUCCESS;
}
