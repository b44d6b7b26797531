// The reader's USB side: hardware preparation selects the configuration and finds the pipes.
#include "Driver.h"

#include "Usb.tmh"

NTSTATUS EvtDevicePrepareHardware(WDFDEVICE Device, WDFCMRESLIST ResourcesRaw,
                                  WDFCMRESLIST ResourcesTranslated)
{
    UNREFERENCED_PARAMETER(ResourcesRaw);
    UNREFERENCED_PARAMETER(ResourcesTranslated);
    PDEVICE_CONTEXT context = GetDeviceContext(Device);
    TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_FLAG_GENERAL, "%ws: EvtDevicePrepareHardware: Entry",
                PortNameOf(context));
    SetSerialDefaults(context);
    context->PortOpen = FALSE;
    // The USB configuration is not selected yet, so the device cannot start.
    NTSTATUS status = STATUS_NOT_IMPLEMENTED;
    TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_FLAG_GENERAL, "%ws: EvtDevicePrepareHardware: Exit 0x%x",
                PortNameOf(context), status);
    return status;
}

NTSTATUS EvtDeviceReleaseHardware(WDFDEVICE Device, WDFCMRESLIST ResourcesTranslated)
{
    UNREFERENCED_PARAMETER(ResourcesTranslated);
    TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_FLAG_GENERAL, "%ws: EvtDeviceReleaseHardware",
                PortNameOf(GetDeviceContext(Device)));
    return STATUS_SUCCESS;
}
