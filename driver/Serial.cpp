// The serial state of the port: the defaults every start of the device restores.
#include "Driver.h"

#include "Serial.tmh"

ULONG ComputeRxHighWater(ULONG RxSize)
/*++
Routine Description:
    The fill level of a receive ring of RxSize bytes that raises SERIAL_EV_RX80FULL: three
    quarters of it and a sixteenth.
IRQL:
    Any.
Return Value:
    That level in bytes.
--*/
{
    return 3 * (RxSize / 4) + RxSize / 16;
}

VOID SetSerialDefaults(PDEVICE_CONTEXT Context)
/*++
Routine Description:
    Restores the serial state every start of the device begins with: 1200 baud, seven data
    bits, one stop bit, no parity, XON 0x11 and XOFF 0x13, DTR control and RTS control, no
    time-outs, no break, the high-water mark of the current ring, the control lines and modem
    status of the Parameters key, and IntBufferSetting.
IRQL:
    <= DISPATCH_LEVEL; hardware preparation calls it at PASSIVE_LEVEL. It takes SettingsLock.
Return Value:
    None.
--*/
{
    TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_FLAG_GENERAL, "%ws: SetSerialDefaults: Entry",
                PortNameOf(Context));

    Context->BaudRate = 1200;

    WdfSpinLockAcquire(Context->SettingsLock);
    Context->LineControl.StopBits = STOP_BIT_1;
    Context->LineControl.Parity = NO_PARITY;
    Context->LineControl.WordLength = 7;
    // The other four special characters keep what they held.
    Context->SpecialChars.XonChar = 0x11;
    Context->SpecialChars.XoffChar = 0x13;
    Context->HandFlow.ControlHandShake = SERIAL_DTR_CONTROL;
    Context->HandFlow.FlowReplace = SERIAL_RTS_CONTROL;
    Context->HandFlow.XonLimit = 0;
    Context->HandFlow.XoffLimit = 0;
    RtlZeroMemory(&Context->Timeouts, sizeof(Context->Timeouts));
    WdfSpinLockRelease(Context->SettingsLock);

    Context->BreakOn = FALSE;
    Context->RxHighWater = ComputeRxHighWater(Context->RxSize);
    Context->ControlLines = DriverParameters.DefaultControlLines;
    Context->ModemStatus = DriverParameters.DefaultModemStatus;
    Context->FixedRxBuffer = DriverParameters.IntBufferSetting;

    TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_FLAG_GENERAL,
                "%ws: SetSerialDefaults: Exit, baud %u, high water %u, lines 0x%x, modem status 0x%x",
                PortNameOf(Context), Context->BaudRate, Context->RxHighWater, (ULONG)Context->ControlLines,
                Context->ModemStatus);
}
