// The serial I/O control dispatcher: validates each control's buffers, answers queries from the
// port's state, applies settings (sending the reader what it must know as CDC class requests),
// and hands the controls that must wait their turn to the manual queues.
#include "Driver.h"

#include "Ioctl.tmh"

// SERIAL_COMMPROP constants reported by IOCTL_SERIAL_GET_PROPERTIES.
#define COMMPROP_PACKET_LENGTH      64
#define COMMPROP_PACKET_VERSION     2
#define COMMPROP_CAPABILITIES       0xFF // DTR/DSR, RTS/CTS, DCD, parity check, XON/XOFF, chars, timeouts
#define COMMPROP_SETTABLE_PARAMS    0x7F // parity, baud, data bits, stop bits, handshake, parity check, DCD
#define COMMPROP_SETTABLE_BAUD      0x1006FFFF // 75 to 56K, 57600, 115200 and user rates
#define COMMPROP_SETTABLE_DATA      0x000F     // 5, 6, 7 and 8 data bits
#define COMMPROP_SETTABLE_STOPPARIY 0x1F07     // 1, 1.5, 2 stop bits; none, odd, even, mark, space

// The highest SERIAL_EV_* bit a wait mask may hold, and the SERIAL_PURGE_* bits.
#define WAIT_MASK_VALID  0x1FFF
#define PURGE_MASK_VALID 0xF

static NTSTATUS SetLines(PDEVICE_CONTEXT Context, UCHAR Set, UCHAR Clear)
/*++
Routine Description:
    Changes the output lines as asked and sends the new state (SET_CONTROL_LINE_STATE).
IRQL:
    PASSIVE_LEVEL.
Return Value:
    The status of the USB request.
--*/
{
    UCHAR lines = (UCHAR)((Context->ControlLines | Set) & ~Clear);
    Context->ControlLines = lines;
    return SetControlLineState(Context, (UCHAR)(lines & (SERIAL_DTR_STATE | SERIAL_RTS_STATE)));
}

static NTSTATUS ValidateLineControl(const SERIAL_LINE_CONTROL* LineControl)
/*++
Routine Description:
    Checks a line control: 5 to 8 data bits, a known parity and stop-bit setting, no two stop
    bits with 5 data bits and no 1.5 stop bits with 6 to 8 data bits.
IRQL:
    Any.
Return Value:
    STATUS_SUCCESS or STATUS_INVALID_PARAMETER.
--*/
{
    UCHAR wordLength = LineControl->WordLength;
    if (wordLength < 5 || wordLength > 8 || LineControl->Parity >= 5 || LineControl->StopBits >= 3)
    {
        return STATUS_INVALID_PARAMETER;
    }
    if ((wordLength == 5 && LineControl->StopBits == STOP_BITS_2) ||
        (wordLength != 5 && LineControl->StopBits == STOP_BITS_1_5))
    {
        return STATUS_INVALID_PARAMETER;
    }
    return STATUS_SUCCESS;
}

static NTSTATUS SetQueueSize(PDEVICE_CONTEXT Context, WDFREQUEST Request, const SERIAL_QUEUE_SIZE* Size,
                             BOOLEAN* Queued)
/*++
Routine Description:
    IOCTL_SERIAL_SET_QUEUE_SIZE: records the transmit queue size and, for a larger receive
    ring, allocates it and queues the request on ReadQueue, where it replaces the ring between
    two reads. Nothing changes while the registry fixes the ring.
IRQL:
    PASSIVE_LEVEL.
Return Value:
    STATUS_SUCCESS, or STATUS_INSUFFICIENT_RESOURCES; *Queued is TRUE when the request went to
    ReadQueue.
--*/
{
    *Queued = FALSE;
    if (Context->FixedRxBuffer != 0)
    {
        return STATUS_SUCCESS;
    }
    if (Size->OutSize == 0 || Size->OutSize > Context->TxQueueSize)
    {
        Context->TxQueueSize = Size->OutSize;
    }
    WdfSpinLockAcquire(Context->RxLock);
    ULONG rxSize = Context->RxSize;
    WdfSpinLockRelease(Context->RxLock);
    if (Size->InSize <= rxSize)
    {
        return STATUS_SUCCESS;
    }
    PUCHAR ring = (PUCHAR)ExAllocatePool2(POOL_FLAG_NON_PAGED | POOL_FLAG_USE_QUOTA, Size->InSize,
                                          TARNO_TAG_RX_REPLACE);
    if (ring == NULL)
    {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_FLAG_GENERAL, "%ws: no memory for a %u-byte receive ring",
                    PortNameOf(Context), Size->InSize);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    PREQUEST_CONTEXT requestContext = GetRequestContext(Request);
    requestContext->NewRing = ring;
    requestContext->Length = Size->InSize;
    *Queued = TRUE;
    StartOrQueue(Context, Request, Context->ReadQueue, &Context->CurrentRead, ReadStart);
    return STATUS_SUCCESS;
}

static VOID FillProperties(PDEVICE_CONTEXT Context, PSERIAL_COMMPROP Properties)
/*++
Routine Description:
    The port's SERIAL_COMMPROP: constants, and the current transmit and receive queue sizes.
IRQL:
    <= DISPATCH_LEVEL.
Return Value:
    None.
--*/
{
    RtlZeroMemory(Properties, sizeof(*Properties));
    Properties->PacketLength = COMMPROP_PACKET_LENGTH;
    Properties->PacketVersion = COMMPROP_PACKET_VERSION;
    Properties->ServiceMask = SERIAL_SP_SERIALCOMM;
    Properties->MaxBaud = SERIAL_BAUD_USER;
    Properties->ProvSubType = SERIAL_SP_RS232;
    Properties->ProvCapabilities = COMMPROP_CAPABILITIES;
    Properties->SettableParams = COMMPROP_SETTABLE_PARAMS;
    Properties->SettableBaud = COMMPROP_SETTABLE_BAUD;
    Properties->SettableData = COMMPROP_SETTABLE_DATA;
    Properties->SettableStopParity = COMMPROP_SETTABLE_STOPPARIY;
    Properties->CurrentTxQueue = Context->TxQueueSize;
    Properties->CurrentRxQueue = Context->RxSize;
}

static NTSTATUS ForEachPipe(PDEVICE_CONTEXT Context, NTSTATUS (*Operation)(WDFUSBPIPE))
/*++
Routine Description:
    Runs Operation on every configured pipe, in the collection's order.
IRQL:
    PASSIVE_LEVEL.
Return Value:
    The status of the last pipe; STATUS_SUCCESS when there is none.
--*/
{
    NTSTATUS status = STATUS_SUCCESS;
    if (Context->Pipes == NULL)
    {
        return status;
    }
    ULONG count = WdfCollectionGetCount(Context->Pipes);
    for (ULONG i = 0; i < count; ++i)
    {
        status = Operation((WDFUSBPIPE)WdfCollectionGetItem(Context->Pipes, i));
    }
    return status;
}

VOID EvtIoDeviceControl(WDFQUEUE Queue, WDFREQUEST Request, size_t OutputBufferLength,
                        size_t InputBufferLength, ULONG IoControlCode)
/*++
Routine Description:
    The serial I/O controls. Each control's buffer must hold its structure (the framework's
    status, STATUS_BUFFER_TOO_SMALL, otherwise); a control that fails validation changes
    nothing. In the error-abort state only IOCTL_SERIAL_GET_COMMSTATUS is served.
IRQL:
    PASSIVE_LEVEL (the default queue's execution level).
Return Value:
    None; the request completes here, or later from the manual queue it was handed to.
--*/
{
    PAGED_CODE();

    UNREFERENCED_PARAMETER(OutputBufferLength);
    UNREFERENCED_PARAMETER(InputBufferLength);
    PDEVICE_CONTEXT context = GetDeviceContext(WdfIoQueueGetDevice(Queue));
    PREQUEST_CONTEXT requestContext = GetRequestContext(Request);
    TraceEvents(TRACE_LEVEL_VERBOSE, TRACE_FLAG_GENERAL, "%ws: EvtIoDeviceControl 0x%08x",
                PortNameOf(context), IoControlCode);

    if (IoControlCode != IOCTL_SERIAL_GET_COMMSTATUS && ErrorAbortActive(context))
    {
        CompleteRequest(Request, STATUS_CANCELLED, 0);
        return;
    }
    requestContext->Information = 0;
    requestContext->Status = STATUS_SUCCESS;
    requestContext->MajorFunction = IRP_MJ_DEVICE_CONTROL;

    NTSTATUS status = STATUS_SUCCESS;
    ULONG_PTR information = 0;
    PVOID in = NULL;
    PVOID out = NULL;
    BOOLEAN queued = FALSE;

    switch (IoControlCode)
    {
    case IOCTL_SERIAL_SET_BAUD_RATE:
        status = WdfRequestRetrieveInputBuffer(Request, sizeof(SERIAL_BAUD_RATE), &in, NULL);
        if (NT_SUCCESS(status))
        {
            ULONG baudRate = ((PSERIAL_BAUD_RATE)in)->BaudRate;
            if (baudRate == 0)
            {
                status = STATUS_INVALID_PARAMETER;
                break;
            }
            context->BaudRate = baudRate;
            if (!NT_SUCCESS(SendCurrentLineCoding(context)))
            {
                // The reader refused it; the new value stays.
                status = STATUS_INVALID_PARAMETER;
            }
        }
        break;

    case IOCTL_SERIAL_GET_BAUD_RATE:
        status = WdfRequestRetrieveOutputBuffer(Request, sizeof(SERIAL_BAUD_RATE), &out, NULL);
        if (NT_SUCCESS(status))
        {
            ((PSERIAL_BAUD_RATE)out)->BaudRate = context->BaudRate;
            information = sizeof(SERIAL_BAUD_RATE);
        }
        break;

    case IOCTL_SERIAL_SET_LINE_CONTROL:
        status = WdfRequestRetrieveInputBuffer(Request, sizeof(SERIAL_LINE_CONTROL), &in, NULL);
        if (NT_SUCCESS(status))
        {
            SERIAL_LINE_CONTROL lineControl = *(PSERIAL_LINE_CONTROL)in;
            status = ValidateLineControl(&lineControl);
            if (!NT_SUCCESS(status))
            {
                break;
            }
            WdfSpinLockAcquire(context->SettingsLock);
            context->LineControl = lineControl;
            WdfSpinLockRelease(context->SettingsLock);
            if (!NT_SUCCESS(SendCurrentLineCoding(context)))
            {
                // The reader refused it; the new value stays.
                status = STATUS_INVALID_PARAMETER;
            }
        }
        break;

    case IOCTL_SERIAL_GET_LINE_CONTROL:
        status = WdfRequestRetrieveOutputBuffer(Request, sizeof(SERIAL_LINE_CONTROL), &out, NULL);
        if (NT_SUCCESS(status))
        {
            WdfSpinLockAcquire(context->SettingsLock);
            *(PSERIAL_LINE_CONTROL)out = context->LineControl;
            WdfSpinLockRelease(context->SettingsLock);
            information = sizeof(SERIAL_LINE_CONTROL);
        }
        break;

    case IOCTL_SERIAL_SET_QUEUE_SIZE:
        status = WdfRequestRetrieveInputBuffer(Request, sizeof(SERIAL_QUEUE_SIZE), &in, NULL);
        if (NT_SUCCESS(status))
        {
            SERIAL_QUEUE_SIZE size = *(PSERIAL_QUEUE_SIZE)in;
            status = SetQueueSize(context, Request, &size, &queued);
        }
        break;

    case IOCTL_SERIAL_SET_BREAK_ON:
        if ((context->HandFlow.FlowReplace & SERIAL_RTS_MASK) == SERIAL_TRANSMIT_TOGGLE)
        {
            SetLines(context, SERIAL_RTS_STATE, 0);
        }
        status = SendBreak(context, 0xFFFF);
        if (NT_SUCCESS(status))
        {
            WriteBooleanNoFence(&context->BreakOn, TRUE);
        }
        break;

    case IOCTL_SERIAL_SET_BREAK_OFF:
        status = SendBreak(context, 0);
        if (NT_SUCCESS(status))
        {
            WriteBooleanNoFence(&context->BreakOn, FALSE);
        }
        break;

    case IOCTL_SERIAL_IMMEDIATE_CHAR:
        status = WdfRequestRetrieveInputBuffer(Request, sizeof(UCHAR), &in, NULL);
        if (NT_SUCCESS(status))
        {
            WdfSpinLockAcquire(context->SettingsLock);
            BOOLEAN busy = context->ImmediatePending;
            context->ImmediatePending = TRUE;
            WdfSpinLockRelease(context->SettingsLock);
            if (busy)
            {
                status = STATUS_INVALID_PARAMETER;
                break;
            }
            requestContext->Length = 1;
            requestContext->RequestBuffer = in;
            queued = TRUE;
            StartOrQueue(context, Request, context->WriteQueue, &context->CurrentWrite, WriteStart);
        }
        break;

    case IOCTL_SERIAL_SET_TIMEOUTS:
        status = WdfRequestRetrieveInputBuffer(Request, sizeof(SERIAL_TIMEOUTS), &in, NULL);
        if (NT_SUCCESS(status))
        {
            SERIAL_TIMEOUTS timeouts = *(PSERIAL_TIMEOUTS)in;
            if (timeouts.ReadIntervalTimeout == MAXULONG && timeouts.ReadTotalTimeoutMultiplier == MAXULONG &&
                timeouts.ReadTotalTimeoutConstant == MAXULONG)
            {
                status = STATUS_INVALID_PARAMETER;
                break;
            }
            WdfSpinLockAcquire(context->SettingsLock);
            context->Timeouts = timeouts;
            WdfSpinLockRelease(context->SettingsLock);
        }
        break;

    case IOCTL_SERIAL_GET_TIMEOUTS:
        status = WdfRequestRetrieveOutputBuffer(Request, sizeof(SERIAL_TIMEOUTS), &out, NULL);
        if (NT_SUCCESS(status))
        {
            WdfSpinLockAcquire(context->SettingsLock);
            *(PSERIAL_TIMEOUTS)out = context->Timeouts;
            WdfSpinLockRelease(context->SettingsLock);
            information = sizeof(SERIAL_TIMEOUTS);
        }
        break;

    case IOCTL_SERIAL_SET_DTR:
    case IOCTL_SERIAL_CLR_DTR:
        if ((context->HandFlow.ControlHandShake & SERIAL_DTR_MASK) == SERIAL_DTR_HANDSHAKE)
        {
            status = STATUS_INVALID_PARAMETER;
            break;
        }
        status = IoControlCode == IOCTL_SERIAL_SET_DTR ? SetLines(context, SERIAL_DTR_STATE, 0)
                                                       : SetLines(context, 0, SERIAL_DTR_STATE);
        break;

    case IOCTL_SERIAL_SET_RTS:
    case IOCTL_SERIAL_CLR_RTS: {
        ULONG rtsMode = context->HandFlow.FlowReplace & SERIAL_RTS_MASK;
        if (rtsMode == SERIAL_RTS_HANDSHAKE || rtsMode == SERIAL_TRANSMIT_TOGGLE)
        {
            status = STATUS_INVALID_PARAMETER;
            break;
        }
        status = IoControlCode == IOCTL_SERIAL_SET_RTS ? SetLines(context, SERIAL_RTS_STATE, 0)
                                                       : SetLines(context, 0, SERIAL_RTS_STATE);
        break;
    }

    case IOCTL_SERIAL_RESET_DEVICE:
        status = ResetPort(context);
        StartBulkInRead(context);
        break;

    case IOCTL_SERIAL_SET_XOFF:
    case IOCTL_SERIAL_SET_XON:
    case IOCTL_SERIAL_XOFF_COUNTER:
    case IOCTL_SERIAL_LSRMST_INSERT:
    case IOCTL_SERIAL_GET_STATS:
    case IOCTL_SERIAL_CLEAR_STATS:
    case IOCTL_SERIAL_GET_MODEM_CONTROL:
    case IOCTL_SERIAL_SET_MODEM_CONTROL:
    case IOCTL_SERIAL_SET_FIFO_CONTROL:
        break;

    case IOCTL_SERIAL_GET_WAIT_MASK:
        status = WdfRequestRetrieveOutputBuffer(Request, sizeof(ULONG), &out, NULL);
        if (NT_SUCCESS(status))
        {
            WdfSpinLockAcquire(context->QueueLock);
            *(PULONG)out = context->WaitMask;
            WdfSpinLockRelease(context->QueueLock);
            information = sizeof(ULONG);
        }
        break;

    case IOCTL_SERIAL_SET_WAIT_MASK:
        status = WdfRequestRetrieveInputBuffer(Request, sizeof(ULONG), &in, NULL);
        if (NT_SUCCESS(status))
        {
            if ((*(PULONG)in & ~(ULONG)WAIT_MASK_VALID) != 0)
            {
                status = STATUS_INVALID_PARAMETER;
                break;
            }
            requestContext->RequestBuffer = in;
            queued = TRUE;
            StartOrQueue(context, Request, context->MaskQueue, &context->CurrentMask, MaskStart);
        }
        break;

    case IOCTL_SERIAL_WAIT_ON_MASK:
        status = WdfRequestRetrieveOutputBuffer(Request, sizeof(ULONG), &out, NULL);
        if (NT_SUCCESS(status))
        {
            requestContext->RequestBuffer = out;
            queued = TRUE;
            StartOrQueue(context, Request, context->MaskQueue, &context->CurrentMask, MaskStart);
        }
        break;

    case IOCTL_SERIAL_PURGE:
        status = WdfRequestRetrieveInputBuffer(Request, sizeof(ULONG), &in, NULL);
        if (NT_SUCCESS(status))
        {
            ULONG mask = *(PULONG)in;
            if (mask == 0 || (mask & ~(ULONG)PURGE_MASK_VALID) != 0)
            {
                status = STATUS_INVALID_PARAMETER;
                break;
            }
            requestContext->RequestBuffer = in;
            queued = TRUE;
            StartOrQueue(context, Request, context->PurgeQueue, &context->CurrentPurge, PurgeStart);
        }
        break;

    case IOCTL_SERIAL_GET_CHARS:
        status = WdfRequestRetrieveOutputBuffer(Request, sizeof(SERIAL_CHARS), &out, NULL);
        if (NT_SUCCESS(status))
        {
            WdfSpinLockAcquire(context->SettingsLock);
            *(PSERIAL_CHARS)out = context->SpecialChars;
            WdfSpinLockRelease(context->SettingsLock);
            information = sizeof(SERIAL_CHARS);
        }
        break;

    case IOCTL_SERIAL_SET_CHARS:
        status = WdfRequestRetrieveInputBuffer(Request, sizeof(SERIAL_CHARS), &in, NULL);
        if (NT_SUCCESS(status))
        {
            SERIAL_CHARS chars = *(PSERIAL_CHARS)in;
            WdfSpinLockAcquire(context->SettingsLock);
            context->SpecialChars = chars;
            WdfSpinLockRelease(context->SettingsLock);
        }
        break;

    case IOCTL_SERIAL_GET_HANDFLOW:
        status = WdfRequestRetrieveOutputBuffer(Request, sizeof(SERIAL_HANDFLOW), &out, NULL);
        if (NT_SUCCESS(status))
        {
            WdfSpinLockAcquire(context->SettingsLock);
            *(PSERIAL_HANDFLOW)out = context->HandFlow;
            WdfSpinLockRelease(context->SettingsLock);
            information = sizeof(SERIAL_HANDFLOW);
        }
        break;

    case IOCTL_SERIAL_SET_HANDFLOW:
        status = WdfRequestRetrieveInputBuffer(Request, sizeof(SERIAL_HANDFLOW), &in, NULL);
        if (NT_SUCCESS(status))
        {
            SERIAL_HANDFLOW handFlow = *(PSERIAL_HANDFLOW)in;
            LONG rxSize = (LONG)context->RxSize;
            if (handFlow.XonLimit > rxSize || handFlow.XoffLimit > rxSize)
            {
                status = STATUS_INVALID_PARAMETER;
                break;
            }
            WdfSpinLockAcquire(context->SettingsLock);
            context->HandFlow = handFlow;
            WdfSpinLockRelease(context->SettingsLock);
        }
        break;

    case IOCTL_SERIAL_GET_MODEMSTATUS:
        status = WdfRequestRetrieveOutputBuffer(Request, sizeof(ULONG), &out, NULL);
        if (NT_SUCCESS(status))
        {
            *(PULONG)out = (ULONG)InterlockedOr((volatile LONG*)&context->ModemStatus, 0);
            information = sizeof(ULONG);
        }
        break;

    case IOCTL_SERIAL_GET_DTRRTS:
        status = WdfRequestRetrieveOutputBuffer(Request, sizeof(ULONG), &out, NULL);
        if (NT_SUCCESS(status))
        {
            *(PULONG)out = context->ControlLines & (SERIAL_DTR_STATE | SERIAL_RTS_STATE);
            information = sizeof(ULONG);
        }
        break;

    case IOCTL_SERIAL_GET_COMMSTATUS:
        status = WdfRequestRetrieveOutputBuffer(Request, sizeof(SERIAL_STATUS), &out, NULL);
        if (NT_SUCCESS(status))
        {
            SERIAL_STATUS serialStatus;
            RtlZeroMemory(&serialStatus, sizeof(serialStatus));
            WdfSpinLockAcquire(context->SettingsLock);
            serialStatus.Errors = context->ErrorWord;
            context->ErrorWord = 0;
            serialStatus.AmountInInQueue = context->RxCount;
            serialStatus.AmountInOutQueue = context->TxPending;
            serialStatus.WaitForImmediate = context->ImmediatePending;
            WdfSpinLockRelease(context->SettingsLock);
            *(PSERIAL_STATUS)out = serialStatus;
            information = sizeof(SERIAL_STATUS);
        }
        break;

    case IOCTL_SERIAL_GET_PROPERTIES:
        status = WdfRequestRetrieveOutputBuffer(Request, sizeof(SERIAL_COMMPROP), &out, NULL);
        if (NT_SUCCESS(status))
        {
            FillProperties(context, (PSERIAL_COMMPROP)out);
            information = sizeof(SERIAL_COMMPROP);
        }
        break;

    case IOCTL_SERIAL_CONFIG_SIZE:
        status = WdfRequestRetrieveOutputBuffer(Request, sizeof(ULONG), &out, NULL);
        if (NT_SUCCESS(status))
        {
            *(PULONG)out = 0;
            information = sizeof(ULONG);
        }
        break;

    case IOCTL_SERIAL_ABORT_PIPE:
        status = ForEachPipe(context, AbortPipe);
        break;

    case IOCTL_SERIAL_RESET_PIPE:
        status = ForEachPipe(context, ResetPipe);
        StartBulkInRead(context);
        break;

    default:
        status = STATUS_INVALID_PARAMETER;
        break;
    }

    if (queued)
    {
        return;
    }
    if (!NT_SUCCESS(status))
    {
        information = 0;
        TraceEvents(TRACE_LEVEL_VERBOSE, TRACE_FLAG_GENERAL, "%ws: control 0x%08x fails 0x%x",
                    PortNameOf(context), IoControlCode, status);
    }
    requestContext->Status = status;
    requestContext->Information = information;
    CompleteRequest(Request, status, information);
}

VOID EvtIoInternalDeviceControl(WDFQUEUE Queue, WDFREQUEST Request, size_t OutputBufferLength,
                                size_t InputBufferLength, ULONG IoControlCode)
/*++
Routine Description:
    The internal serial controls other kernel components send: wait-wake is not supported, and
    the basic settings (no time-outs, no handshake) can be applied and the previous settings
    restored.
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
    PREQUEST_CONTEXT requestContext = GetRequestContext(Request);
    TraceEvents(TRACE_LEVEL_VERBOSE, TRACE_FLAG_GENERAL, "%ws: EvtIoInternalDeviceControl 0x%08x",
                PortNameOf(context), IoControlCode);
    if (ErrorAbortActive(context))
    {
        CompleteRequest(Request, STATUS_CANCELLED, 0);
        return;
    }
    requestContext->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;

    NTSTATUS status = STATUS_SUCCESS;
    ULONG_PTR information = 0;
    PVOID buffer = NULL;
    switch (IoControlCode)
    {
    case IOCTL_SERIAL_INTERNAL_DO_WAIT_WAKE:
        status = STATUS_NOT_SUPPORTED;
        break;

    case IOCTL_SERIAL_INTERNAL_CANCEL_WAIT_WAKE:
        break;

    case IOCTL_SERIAL_INTERNAL_BASIC_SETTINGS:
        status = WdfRequestRetrieveOutputBuffer(Request, sizeof(SERIAL_BASIC_SETTINGS), &buffer, NULL);
        if (NT_SUCCESS(status))
        {
            SERIAL_BASIC_SETTINGS previous;
            RtlZeroMemory(&previous, sizeof(previous));
            WdfSpinLockAcquire(context->SettingsLock);
            previous.Timeouts = context->Timeouts;
            previous.HandFlow = context->HandFlow;
            RtlZeroMemory(&context->Timeouts, sizeof(context->Timeouts));
            RtlZeroMemory(&context->HandFlow, sizeof(context->HandFlow));
            WdfSpinLockRelease(context->SettingsLock);
            *(PSERIAL_BASIC_SETTINGS)buffer = previous;
            information = sizeof(SERIAL_BASIC_SETTINGS);
        }
        break;

    case IOCTL_SERIAL_INTERNAL_RESTORE_SETTINGS:
        status = WdfRequestRetrieveInputBuffer(Request, sizeof(SERIAL_BASIC_SETTINGS), &buffer, NULL);
        if (NT_SUCCESS(status))
        {
            SERIAL_BASIC_SETTINGS settings = *(PSERIAL_BASIC_SETTINGS)buffer;
            WdfSpinLockAcquire(context->SettingsLock);
            context->Timeouts = settings.Timeouts;
            context->HandFlow = settings.HandFlow;
            WdfSpinLockRelease(context->SettingsLock);
        }
        break;

    default:
        status = STATUS_INVALID_PARAMETER;
        break;
    }
    if (!NT_SUCCESS(status))
    {
        information = 0;
    }
    CompleteRequest(Request, status, information);
}
