// Power transitions, selective suspend and recovery of the reader.
#include "Driver.h"

#include "Power.tmh"

NTSTATUS EvtDeviceD0Entry(WDFDEVICE Device, WDF_POWER_DEVICE_STATE PreviousState)
{
    TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_FLAG_GENERAL, "%ws: EvtDeviceD0Entry from %u",
                PortNameOf(GetDeviceContext(Device)), (ULONG)PreviousState);
    return STATUS_SUCCESS;
}

NTSTATUS EvtDeviceD0Exit(WDFDEVICE Device, WDF_POWER_DEVICE_STATE TargetState)
{
    TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_FLAG_GENERAL, "%ws: EvtDeviceD0Exit to %u",
                PortNameOf(GetDeviceContext(Device)), (ULONG)TargetState);
    return STATUS_SUCCESS;
}

VOID EvtDeviceSurpriseRemoval(WDFDEVICE Device)
{
    TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_FLAG_GENERAL, "%ws: EvtDeviceSurpriseRemoval",
                PortNameOf(GetDeviceContext(Device)));
}
