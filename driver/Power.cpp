// Power transitions, selective suspend and recovery of the reader.
#include "Driver.h"

#include "Power.tmh"

NTSTATUS EvtDeviceD0Entry(WDFDEVICE Device, WDF_POWER_DEVICE_STATE PreviousState)
/*++
Routine Description:
    The device enters D0 from PreviousState. Traced only, so far.
IRQL:
    PASSIVE_LEVEL. It runs on the power-up path, which must not page, so it is not pageable.
Return Value:
    STATUS_SUCCESS.
--*/
{
    TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_FLAG_GENERAL, "%ws: EvtDeviceD0Entry from %u",
                PortNameOf(GetDeviceContext(Device)), (ULONG)PreviousState);
    return STATUS_SUCCESS;
}

NTSTATUS EvtDeviceD0Exit(WDFDEVICE Device, WDF_POWER_DEVICE_STATE TargetState)
/*++
Routine Description:
    The device leaves D0 for TargetState. Traced only, so far.
IRQL:
    PASSIVE_LEVEL.
Return Value:
    STATUS_SUCCESS.
--*/
{
    PAGED_CODE();

    TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_FLAG_GENERAL, "%ws: EvtDeviceD0Exit to %u",
                PortNameOf(GetDeviceContext(Device)), (ULONG)TargetState);
    return STATUS_SUCCESS;
}

VOID EvtDeviceSurpriseRemoval(WDFDEVICE Device)
/*++
Routine Description:
    The reader was pulled out. Traced only, so far.
IRQL:
    PASSIVE_LEVEL.
Return Value:
    None.
--*/
{
    PAGED_CODE();

    TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_FLAG_GENERAL, "%ws: EvtDeviceSurpriseRemoval",
                PortNameOf(GetDeviceContext(Device)));
}
