// The reader's USB side: hardware preparation selects the configuration and registers the pipes,
// the interrupt pipe's continuous reader delivers the line-state notifications, the bulk-in engine
// keeps one read outstanding while the port is open, and the CDC class requests carry the line
// settings to the reader.
#include "Driver.h"

#include "TarnoMessages.h"
#include "Usb.tmh"

// The CDC class requests (PSTN subclass) and the SERIAL_STATE notification.
#define CDC_SET_LINE_CODING        0x20
#define CDC_SET_CONTROL_LINE_STATE 0x22
#define CDC_SEND_BREAK             0x23
#define CDC_NOTIFY_SERIAL_STATE    0x20

// Each read of the interrupt pipe, and the 5-second time-out of a class request (100-ns units).
#define INTERRUPT_TRANSFER_LENGTH 16
#define CLASS_REQUEST_TIMEOUT     (-50000000LL)
// How long StopBulkInRead waits for a cancelled read to come back (100-ns units).
#define BULK_IN_STOP_WAIT (-5000000LL)

static EVT_WDF_USB_READER_COMPLETION_ROUTINE EvtUsbInterruptReadComplete;
static EVT_WDF_USB_READERS_FAILED EvtUsbInterruptReadersFailed;
static EVT_WDF_REQUEST_COMPLETION_ROUTINE BulkInReadComplete;

static const char* PipeKindName(ULONG Kind)
/*++
Routine Description:
    The name a pipe kind is traced by.
IRQL:
    Any.
Return Value:
    "Interrupt", "BulkIN", "BulkOUT" or "Unknown".
--*/
{
    switch (Kind)
    {
    case PIPE_KIND_INTERRUPT:
        return "Interrupt";
    case PIPE_KIND_BULK_IN:
        return "BulkIN";
    case PIPE_KIND_BULK_OUT:
        return "BulkOUT";
    default:
        return "Unknown";
    }
}

BOOLEAN IsDeviceGoneStatus(NTSTATUS Status, USBD_STATUS UsbdStatus)
/*++
Routine Description:
    Whether a transfer's outcome says the reader is no longer attached.
IRQL:
    Any.
Return Value:
    TRUE for STATUS_NO_SUCH_DEVICE, STATUS_DEVICE_NOT_CONNECTED, STATUS_DEVICE_DOES_NOT_EXIST or
    USBD_STATUS_DEVICE_GONE.
--*/
{
    return Status == STATUS_NO_SUCH_DEVICE || Status == STATUS_DEVICE_NOT_CONNECTED ||
           Status == STATUS_DEVICE_DOES_NOT_EXIST || UsbdStatus == USBD_STATUS_DEVICE_GONE;
}

WDFUSBPIPE FindPipe(PDEVICE_CONTEXT Context, ULONG Kind)
/*++
Routine Description:
    The first configured pipe of a kind.
IRQL:
    <= DISPATCH_LEVEL.
Return Value:
    The pipe, or NULL when the reader has none (or is not configured yet).
--*/
{
    if (Context->Pipes == NULL)
    {
        return NULL;
    }
    ULONG count = WdfCollectionGetCount(Context->Pipes);
    for (ULONG i = 0; i < count; i++)
    {
        WDFUSBPIPE pipe = (WDFUSBPIPE)WdfCollectionGetItem(Context->Pipes, i);
        if (GetPipeContext(pipe)->PipeKind == Kind)
        {
            return pipe;
        }
    }
    return NULL;
}

UCHAR GetInterfaceIndex(PDEVICE_CONTEXT Context, ULONG Kind)
/*++
Routine Description:
    The interface index of the first pipe of a kind: the wIndex of the class requests when Kind
    is the interrupt pipe.
IRQL:
    <= DISPATCH_LEVEL.
Return Value:
    The pipe's InterfaceIndex, or 0 when there is no such pipe.
--*/
{
    WDFUSBPIPE pipe = FindPipe(Context, Kind);
    return pipe == NULL ? 0 : GetPipeContext(pipe)->InterfaceIndex;
}

NTSTATUS StartPipe(PDEVICE_CONTEXT Context, ULONG Kind)
/*++
Routine Description:
    Starts the I/O target of the first pipe of a kind unless this driver started it already. For
    the interrupt pipe this restarts its continuous reader.
IRQL:
    <= DISPATCH_LEVEL. It takes the pipe's Lock.
Return Value:
    STATUS_SUCCESS (also without such a pipe), or the failure of WdfIoTargetStart.
--*/
{
    WDFUSBPIPE pipe = FindPipe(Context, Kind);
    if (pipe == NULL)
    {
        return STATUS_SUCCESS;
    }
    PPIPE_CONTEXT pipeContext = GetPipeContext(pipe);
    NTSTATUS status = STATUS_SUCCESS;
    WdfSpinLockAcquire(pipeContext->Lock);
    if (!pipeContext->Started)
    {
        status = WdfIoTargetStart(WdfUsbTargetPipeGetIoTarget(pipe));
        if (NT_SUCCESS(status))
        {
            pipeContext->Started = TRUE;
        }
    }
    WdfSpinLockRelease(pipeContext->Lock);
    if (!NT_SUCCESS(status))
    {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_FLAG_GENERAL, "%ws: StartPipe %s failed 0x%x",
                    PortNameOf(Context), PipeKindName(Kind), status);
    }
    return status;
}

NTSTATUS StartAllPipes(PDEVICE_CONTEXT Context)
/*++
Routine Description:
    Starts the pipes of every kind, in kind order, stopping at the first failure.
IRQL:
    <= DISPATCH_LEVEL.
Return Value:
    STATUS_SUCCESS, or the first failure of StartPipe.
--*/
{
    for (ULONG kind = PIPE_KIND_INTERRUPT; kind <= PIPE_KIND_BULK_OUT; kind++)
    {
        NTSTATUS status = StartPipe(Context, kind);
        if (!NT_SUCCESS(status))
        {
            return status;
        }
    }
    return STATUS_SUCCESS;
}

VOID StopPipe(PDEVICE_CONTEXT Context, ULONG Kind)
/*++
Routine Description:
    Stops the I/O target of the first pipe of a kind, cancelling the requests sent to it (the
    continuous reader's reads included) and waiting for them, and marks it stopped.
IRQL:
    PASSIVE_LEVEL.
Return Value:
    None.
--*/
{
    WDFUSBPIPE pipe = FindPipe(Context, Kind);
    if (pipe == NULL)
    {
        return;
    }
    WdfIoTargetStop(WdfUsbTargetPipeGetIoTarget(pipe), WdfIoTargetCancelSentIo);
    GetPipeContext(pipe)->Started = FALSE;
    TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_FLAG_GENERAL, "%ws: StopPipe %s: Stopped", PortNameOf(Context),
                PipeKindName(Kind));
}

VOID StopAllPipes(PDEVICE_CONTEXT Context)
/*++
Routine Description:
    Stops the pipes of every kind.
IRQL:
    PASSIVE_LEVEL.
Return Value:
    None.
--*/
{
    for (ULONG kind = PIPE_KIND_INTERRUPT; kind <= PIPE_KIND_BULK_OUT; kind++)
    {
        StopPipe(Context, kind);
    }
}

NTSTATUS ResetPipe(WDFUSBPIPE Pipe)
/*++
Routine Description:
    Resets a pipe and clears its stall, synchronously.
IRQL:
    PASSIVE_LEVEL.
Return Value:
    The status of the reset; STATUS_INVALID_DEVICE_REQUEST for a NULL pipe.
--*/
{
    if (Pipe == NULL)
    {
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    NTSTATUS status = WdfUsbTargetPipeResetSynchronously(Pipe, WDF_NO_HANDLE, NULL);
    TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_FLAG_GENERAL, "%ws: ResetPipe %s 0x%x",
                PortNameOf(GetDeviceContext(GetPipeContext(Pipe)->Device)),
                PipeKindName(GetPipeContext(Pipe)->PipeKind), status);
    return status;
}

NTSTATUS AbortPipe(WDFUSBPIPE Pipe)
/*++
Routine Description:
    Aborts every transfer pending on a pipe, synchronously.
IRQL:
    PASSIVE_LEVEL.
Return Value:
    The status of the abort; STATUS_INVALID_DEVICE_REQUEST for a NULL pipe.
--*/
{
    if (Pipe == NULL)
    {
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    NTSTATUS status = WdfUsbTargetPipeAbortSynchronously(Pipe, WDF_NO_HANDLE, NULL);
    TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_FLAG_GENERAL, "%ws: AbortPipe %s 0x%x",
                PortNameOf(GetDeviceContext(GetPipeContext(Pipe)->Device)),
                PipeKindName(GetPipeContext(Pipe)->PipeKind), status);
    return status;
}

// --- the bulk-in engine --------------------------------------------------------------------------

static NTSTATUS SendBulkInRead(PDEVICE_CONTEXT Context, WDFUSBPIPE Pipe)
/*++
Routine Description:
    Sends the bulk-in pipe's own request for a read of the whole buffer, reusing it first when
    it was sent before.
IRQL:
    <= DISPATCH_LEVEL. It takes the pipe's Lock.
Return Value:
    STATUS_SUCCESS when the framework took the request; otherwise the failure of the reuse,
    STATUS_DEVICE_NOT_CONNECTED once the reader is gone, or the status of the refused send.
--*/
{
    PPIPE_CONTEXT pipeContext = GetPipeContext(Pipe);
    WDFREQUEST request = pipeContext->Request;

    WdfSpinLockAcquire(pipeContext->Lock);
    if (pipeContext->RequestUsed)
    {
        WDF_REQUEST_REUSE_PARAMS reuse;
        WDF_REQUEST_REUSE_PARAMS_INIT(&reuse, WDF_REQUEST_REUSE_NO_FLAGS, STATUS_SUCCESS);
        NTSTATUS status = WdfRequestReuse(request, &reuse);
        if (!NT_SUCCESS(status))
        {
            WdfSpinLockRelease(pipeContext->Lock);
            TraceEvents(TRACE_LEVEL_ERROR, TRACE_FLAG_GENERAL, "%ws: WdfRequestReuse failed 0x%x",
                        PortNameOf(Context), status);
            return status;
        }
        pipeContext->RequestUsed = FALSE;
    }
    WdfSpinLockRelease(pipeContext->Lock);

    PREQUEST_CONTEXT requestContext = GetRequestContext(request);
    requestContext->RequestBuffer = pipeContext->Buffer;
    requestContext->OwnerDevice = Context;
    KeClearEvent(&pipeContext->TransferDone);

    if (ReadBooleanNoFence(&Context->DeviceGone))
    {
        return STATUS_DEVICE_NOT_CONNECTED;
    }

    NTSTATUS status = WdfUsbTargetPipeFormatRequestForRead(Pipe, request, pipeContext->Memory, NULL);
    if (!NT_SUCCESS(status))
    {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_FLAG_GENERAL,
                    "%ws: WdfUsbTargetPipeFormatRequestForRead failed 0x%x", PortNameOf(Context), status);
        return status;
    }
    WdfRequestSetCompletionRoutine(request, BulkInReadComplete, Pipe);
    if (!WdfRequestSend(request, WdfUsbTargetPipeGetIoTarget(Pipe), WDF_NO_SEND_OPTIONS))
    {
        status = WdfRequestGetStatus(request);
        WdfSpinLockAcquire(pipeContext->Lock);
        pipeContext->RequestUsed = TRUE;
        WdfSpinLockRelease(pipeContext->Lock);
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_FLAG_GENERAL, "%ws: bulk-in WdfRequestSend failed 0x%x",
                    PortNameOf(Context), status);
        return status;
    }
    return STATUS_SUCCESS;
}

NTSTATUS StartBulkInRead(PDEVICE_CONTEXT Context)
/*++
Routine Description:
    Starts the bulk-in read chain unless a read is already outstanding.
IRQL:
    <= DISPATCH_LEVEL.
Return Value:
    STATUS_SUCCESS (also without a bulk-in pipe), or the failure of sending the read.
--*/
{
    TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_FLAG_GENERAL, "%ws: StartBulkInRead: Entry",
                PortNameOf(Context));
    WDFUSBPIPE pipe = FindPipe(Context, PIPE_KIND_BULK_IN);
    if (pipe == NULL)
    {
        return STATUS_SUCCESS;
    }
    PPIPE_CONTEXT pipeContext = GetPipeContext(pipe);
    WdfSpinLockAcquire(pipeContext->Lock);
    if (pipeContext->TransferActive)
    {
        WdfSpinLockRelease(pipeContext->Lock);
        return STATUS_SUCCESS;
    }
    pipeContext->TransferActive = TRUE;
    WdfSpinLockRelease(pipeContext->Lock);

    NTSTATUS status = SendBulkInRead(Context, pipe);
    if (!NT_SUCCESS(status))
    {
        WdfSpinLockAcquire(pipeContext->Lock);
        pipeContext->TransferActive = FALSE;
        WdfSpinLockRelease(pipeContext->Lock);
    }
    TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_FLAG_GENERAL, "%ws: StartBulkInRead: Exit 0x%x",
                PortNameOf(Context), status);
    return status;
}

static VOID EndBulkInChain(PPIPE_CONTEXT PipeContext)
/*++
Routine Description:
    The chain stops: no read is outstanding until StartBulkInRead runs again, and a waiting
    StopBulkInRead is released.
IRQL:
    <= DISPATCH_LEVEL. It takes the pipe's Lock.
Return Value:
    None.
--*/
{
    WdfSpinLockAcquire(PipeContext->Lock);
    PipeContext->TransferActive = FALSE;
    WdfSpinLockRelease(PipeContext->Lock);
    KeSetEvent(&PipeContext->TransferDone, IO_NO_INCREMENT, FALSE);
}

static VOID BulkInReadComplete(WDFREQUEST Request, WDFIOTARGET Target, PWDF_REQUEST_COMPLETION_PARAMS Params,
                               WDFCONTEXT Context)
/*++
Routine Description:
    Completion of a bulk-in read: hands the received bytes to the receive side and sends the
    read again while the port is open. A cancelled read ends the chain; a failed one marks the
    reader gone or asks for a recovery.
IRQL:
    <= DISPATCH_LEVEL.
Return Value:
    None.
--*/
{
    UNREFERENCED_PARAMETER(Request);
    UNREFERENCED_PARAMETER(Target);
    WDFUSBPIPE pipe = (WDFUSBPIPE)Context;
    PPIPE_CONTEXT pipeContext = GetPipeContext(pipe);
    PDEVICE_CONTEXT context = GetDeviceContext(pipeContext->Device);
    NTSTATUS status = Params->IoStatus.Status;
    USBD_STATUS usbdStatus = Params->Parameters.Usb.Completion->UsbdStatus;

    WdfSpinLockAcquire(pipeContext->Lock);
    pipeContext->RequestUsed = TRUE;
    WdfSpinLockRelease(pipeContext->Lock);

    if (status == STATUS_CANCELLED)
    {
        TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_FLAG_GENERAL, "%ws: bulk-in read cancelled",
                    PortNameOf(context));
        EndBulkInChain(pipeContext);
        return;
    }
    if (IsDeviceGoneStatus(status, usbdStatus))
    {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_FLAG_GENERAL, "%ws: bulk-in read: device gone 0x%x usbd 0x%x",
                    PortNameOf(context), status, (ULONG)usbdStatus);
        WriteBooleanNoFence(&context->DeviceGone, TRUE);
        EndBulkInChain(pipeContext);
        return;
    }
    if (!NT_SUCCESS(status))
    {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_FLAG_GENERAL, "%ws: bulk-in read failed 0x%x usbd 0x%x",
                    PortNameOf(context), status, (ULONG)usbdStatus);
        WriteBooleanNoFence(&pipeContext->ResetRequested, TRUE);
        RequestRecovery(pipeContext->Device);
        EndBulkInChain(pipeContext);
        return;
    }

    ULONG length = (ULONG)Params->Parameters.Usb.Completion->Parameters.PipeRead.Length;
    if ((DriverParameters.LogLevel & LOG_LEVEL_DATA_DUMP) != 0)
    {
        TraceDataDump(context, pipeContext->Buffer, length);
    }
    ReceiveChunk(context, pipeContext->Buffer, length);

    if (!ReadBooleanNoFence(&context->PortOpen))
    {
        EndBulkInChain(pipeContext);
        return;
    }
    if (NT_SUCCESS(SendBulkInRead(context, pipe)))
    {
        // TransferActive stays set: the next read is out.
        KeClearEvent(&pipeContext->TransferDone);
        return;
    }
    EndBulkInChain(pipeContext);
}

NTSTATUS StopBulkInRead(PDEVICE_CONTEXT Context)
/*++
Routine Description:
    Stops the bulk-in read chain: cancels the outstanding read and waits at most 500 ms for it
    to come back.
IRQL:
    PASSIVE_LEVEL.
Return Value:
    STATUS_SUCCESS, or STATUS_TIMEOUT when the cancelled read did not come back in time.
--*/
{
    TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_FLAG_GENERAL, "%ws: StopBulkInRead: Entry",
                PortNameOf(Context));
    WDFUSBPIPE pipe = FindPipe(Context, PIPE_KIND_BULK_IN);
    if (pipe == NULL)
    {
        return STATUS_SUCCESS;
    }
    PPIPE_CONTEXT pipeContext = GetPipeContext(pipe);
    WdfSpinLockAcquire(pipeContext->Lock);
    BOOLEAN active = pipeContext->TransferActive;
    WdfSpinLockRelease(pipeContext->Lock);
    // The cancel is started outside the lock: a read cancelled before it left the framework (or one
    // its bus driver gives back at once) completes on this thread, and its completion takes the
    // lock. A read that completed meanwhile makes the cancel find nothing to cancel.
    BOOLEAN cancelStarted = active ? WdfRequestCancelSentRequest(pipeContext->Request) : FALSE;

    NTSTATUS status = STATUS_SUCCESS;
    if (cancelStarted)
    {
        LARGE_INTEGER timeout;
        timeout.QuadPart = BULK_IN_STOP_WAIT;
        status = KeWaitForSingleObject(&pipeContext->TransferDone, Executive, KernelMode, FALSE, &timeout);
        KeClearEvent(&pipeContext->TransferDone);
    }
    TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_FLAG_GENERAL, "%ws: StopBulkInRead: Exit 0x%x",
                PortNameOf(Context), status);
    return status;
}

// --- the interrupt pipe's continuous reader -----------------------------------------------------

static VOID EvtUsbInterruptReadComplete(WDFUSBPIPE Pipe, WDFMEMORY Buffer, size_t NumBytesTransferred,
                                        WDFCONTEXT Context)
/*++
Routine Description:
    A CDC notification arrived on the interrupt pipe. SERIAL_STATE passes the low byte of the
    UART state bitmap to the receive side; other notifications are traced and ignored.
IRQL:
    <= DISPATCH_LEVEL.
Return Value:
    None.
--*/
{
    UNREFERENCED_PARAMETER(Pipe);
    PDEVICE_CONTEXT context = (PDEVICE_CONTEXT)Context;
    if (NumBytesTransferred == 0)
    {
        TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_FLAG_GENERAL, "%ws: interrupt read of 0 bytes",
                    PortNameOf(context));
        return;
    }
    // The buffer is the reader's full 16-byte transfer whatever arrived.
    const UCHAR* notification = (const UCHAR*)WdfMemoryGetBuffer(Buffer, NULL);
    if (notification[1] == CDC_NOTIFY_SERIAL_STATE)
    {
        TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_FLAG_GENERAL, "%ws: SERIAL_STATE 0x%02x",
                    PortNameOf(context), (ULONG)notification[8]);
        LineStateChanged(context, notification[8]);
        return;
    }
    TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_FLAG_GENERAL, "%ws: notification 0x%02x wValue 0x%04x ignored",
                PortNameOf(context), (ULONG)notification[1],
                (ULONG)(notification[2] | (notification[3] << 8)));
}

static BOOLEAN EvtUsbInterruptReadersFailed(WDFUSBPIPE Pipe, NTSTATUS Status, USBD_STATUS UsbdStatus)
/*++
Routine Description:
    The interrupt pipe's reader failed. A cancellation needs nothing; a vanished reader marks the
    device gone; anything else marks the pipe for reset and asks for a recovery. The framework
    is told to neither reset nor restart the reader: recovery and D0 entry restart it.
IRQL:
    <= DISPATCH_LEVEL.
Return Value:
    FALSE.
--*/
{
    PPIPE_CONTEXT pipeContext = GetPipeContext(Pipe);
    PDEVICE_CONTEXT context = GetDeviceContext(pipeContext->Device);
    TraceEvents(TRACE_LEVEL_ERROR, TRACE_FLAG_GENERAL, "%ws: interrupt readers failed 0x%x usbd 0x%x",
                PortNameOf(context), Status, (ULONG)UsbdStatus);
    if (Status != STATUS_CANCELLED)
    {
        if (IsDeviceGoneStatus(Status, UsbdStatus))
        {
            WriteBooleanNoFence(&context->DeviceGone, TRUE);
        }
        else
        {
            WriteBooleanNoFence(&pipeContext->ResetRequested, TRUE);
            RequestRecovery(pipeContext->Device);
        }
    }
    WdfSpinLockAcquire(pipeContext->Lock);
    pipeContext->Started = FALSE;
    WdfSpinLockRelease(pipeContext->Lock);
    return FALSE;
}

// --- class requests ------------------------------------------------------------------------------

NTSTATUS SendClassRequest(PDEVICE_CONTEXT Context, PWDF_USB_CONTROL_SETUP_PACKET SetupPacket, PVOID Data,
                          ULONG Length, PULONG BytesTransferred)
/*++
Routine Description:
    Sends a control transfer on the default pipe and waits for it, at most 5 seconds.
IRQL:
    PASSIVE_LEVEL.
Return Value:
    The status of the transfer (STATUS_IO_TIMEOUT when the reader did not answer in time).
--*/
{
    PAGED_CODE();

    WDF_REQUEST_SEND_OPTIONS options;
    WDF_REQUEST_SEND_OPTIONS_INIT(&options, WDF_REQUEST_SEND_OPTION_TIMEOUT);
    options.Timeout = CLASS_REQUEST_TIMEOUT;
    WDF_MEMORY_DESCRIPTOR memory;
    PWDF_MEMORY_DESCRIPTOR descriptor = NULL;
    if (Data != NULL && Length != 0)
    {
        WDF_MEMORY_DESCRIPTOR_INIT_BUFFER(&memory, Data, Length);
        descriptor = &memory;
    }
    return WdfUsbTargetDeviceSendControlTransferSynchronously(Context->UsbDevice, WDF_NO_HANDLE, &options,
                                                              SetupPacket, descriptor, BytesTransferred);
}

static NTSTATUS SendCdcRequest(PDEVICE_CONTEXT Context, BYTE Request, USHORT Value, PVOID Data, ULONG Length)
/*++
Routine Description:
    A CDC class request to the reader's communication interface (host to device, class,
    interface).
IRQL:
    PASSIVE_LEVEL.
Return Value:
    The status of the transfer.
--*/
{
    PAGED_CODE();

    WDF_USB_CONTROL_SETUP_PACKET packet;
    WDF_USB_CONTROL_SETUP_PACKET_INIT_CLASS(&packet, BmRequestHostToDevice, BmRequestToInterface, Request,
                                            Value, GetInterfaceIndex(Context, PIPE_KIND_INTERRUPT));
    ULONG transferred = 0;
    NTSTATUS status = SendClassRequest(Context, &packet, Data, Length, &transferred);
    TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_FLAG_GENERAL, "%ws: class request 0x%02x value 0x%x: 0x%x",
                PortNameOf(Context), (ULONG)Request, (ULONG)Value, status);
    return status;
}

NTSTATUS SetLineCoding(PDEVICE_CONTEXT Context, UCHAR LineCoding[7])
/*++
Routine Description:
    SET_LINE_CODING: rate, stop bits, parity and data bits to the reader.
IRQL:
    PASSIVE_LEVEL.
Return Value:
    The status of the transfer.
--*/
{
    PAGED_CODE();

    return SendCdcRequest(Context, CDC_SET_LINE_CODING, 0, LineCoding, 7);
}

NTSTATUS SendCurrentLineCoding(PDEVICE_CONTEXT Context)
/*++
Routine Description:
    Sends SET_LINE_CODING with the current baud rate and line control (the line control copied
    under SettingsLock).
IRQL:
    PASSIVE_LEVEL.
Return Value:
    The status of the class request.
--*/
{
    UCHAR lineCoding[7];
    ULONG baudRate = Context->BaudRate;
    RtlCopyMemory(lineCoding, &baudRate, sizeof(baudRate));
    WdfSpinLockAcquire(Context->SettingsLock);
    lineCoding[4] = Context->LineControl.StopBits;
    lineCoding[5] = Context->LineControl.Parity;
    lineCoding[6] = Context->LineControl.WordLength;
    WdfSpinLockRelease(Context->SettingsLock);
    return SetLineCoding(Context, lineCoding);
}

NTSTATUS SetControlLineState(PDEVICE_CONTEXT Context, UCHAR Bits)
/*++
Routine Description:
    SET_CONTROL_LINE_STATE: DTR (bit 0) and RTS (bit 1) to the reader.
IRQL:
    PASSIVE_LEVEL.
Return Value:
    The status of the transfer.
--*/
{
    PAGED_CODE();

    return SendCdcRequest(Context, CDC_SET_CONTROL_LINE_STATE, (USHORT)(Bits & 3), NULL, 0);
}

NTSTATUS SendBreak(PDEVICE_CONTEXT Context, USHORT Duration)
/*++
Routine Description:
    SEND_BREAK with the caller's duration (0 ends a break, 0xFFFF holds it).
IRQL:
    PASSIVE_LEVEL.
Return Value:
    The status of the transfer.
--*/
{
    PAGED_CODE();

    return SendCdcRequest(Context, CDC_SEND_BREAK, Duration, NULL, 0);
}

// --- hardware preparation ------------------------------------------------------------------------

static ULONG PipeKindOf(const WDF_USB_PIPE_INFORMATION* Info)
/*++
Routine Description:
    The kind of a configured pipe from its type and endpoint direction.
IRQL:
    Any.
Return Value:
    PIPE_KIND_INTERRUPT, PIPE_KIND_BULK_IN or PIPE_KIND_BULK_OUT.
--*/
{
    if (Info->PipeType == WdfUsbPipeTypeInterrupt)
    {
        return PIPE_KIND_INTERRUPT;
    }
    return USB_ENDPOINT_DIRECTION_IN(Info->EndpointAddress) ? PIPE_KIND_BULK_IN : PIPE_KIND_BULK_OUT;
}

static NTSTATUS RegisterPipes(PDEVICE_CONTEXT Context, WDFUSBINTERFACE Interface, UCHAR InterfaceIndex,
                              UCHAR PipeCount)
/*++
Routine Description:
    Records the configured pipes of one interface: their information and context, their lock,
    and their place in Pipes.
IRQL:
    PASSIVE_LEVEL.
Return Value:
    STATUS_SUCCESS, or the failure of creating a pipe's lock or adding it to Pipes.
--*/
{
    PAGED_CODE();

    for (UCHAR j = 0; j < PipeCount; j++)
    {
        WDF_USB_PIPE_INFORMATION info;
        WDF_USB_PIPE_INFORMATION_INIT(&info);
        WDFUSBPIPE pipe = WdfUsbInterfaceGetConfiguredPipe(Interface, j, &info);
        WdfUsbTargetPipeSetNoMaximumPacketSizeCheck(pipe);
        TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_FLAG_GENERAL,
                    "%ws: interface %u pipe %u: type %u endpoint 0x%02x max packet %u interval %u setting %u "
                    "max transfer %u",
                    PortNameOf(Context), (ULONG)InterfaceIndex, (ULONG)j, (ULONG)info.PipeType,
                    (ULONG)info.EndpointAddress, info.MaximumPacketSize, (ULONG)info.Interval,
                    (ULONG)info.SettingIndex, info.MaximumTransferSize);

        PPIPE_CONTEXT pipeContext = GetPipeContext(pipe);
        pipeContext->Device = Context->Device;
        pipeContext->InterfaceIndex = InterfaceIndex;
        pipeContext->PipeIndex = j;
        pipeContext->PipeInfo = info;
        pipeContext->PipeKind = PipeKindOf(&info);
        pipeContext->Started = FALSE;
        pipeContext->TransferActive = FALSE;
        pipeContext->RequestUsed = FALSE;
        pipeContext->ResetRequested = FALSE;
        KeInitializeEvent(&pipeContext->TransferDone, NotificationEvent, FALSE);

        WDF_OBJECT_ATTRIBUTES attributes;
        WDF_OBJECT_ATTRIBUTES_INIT(&attributes);
        attributes.ParentObject = pipe;
        NTSTATUS status = WdfSpinLockCreate(&attributes, &pipeContext->Lock);
        if (!NT_SUCCESS(status))
        {
            TraceEvents(TRACE_LEVEL_ERROR, TRACE_FLAG_GENERAL, "%ws: pipe WdfSpinLockCreate failed 0x%x",
                        PortNameOf(Context), status);
            return status;
        }
        status = WdfCollectionAdd(Context->Pipes, pipe);
        if (!NT_SUCCESS(status))
        {
            TraceEvents(TRACE_LEVEL_ERROR, TRACE_FLAG_GENERAL, "%ws: WdfCollectionAdd failed 0x%x",
                        PortNameOf(Context), status);
            return status;
        }
        TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_FLAG_GENERAL, "%ws: pipe %s registered",
                    PortNameOf(Context), PipeKindName(pipeContext->PipeKind));
    }
    return STATUS_SUCCESS;
}

static NTSTATUS SelectConfiguration(PDEVICE_CONTEXT Context)
/*++
Routine Description:
    Selects the reader's configuration, every interface at setting 0, and registers the pipes
    of each selected interface in interface order.
IRQL:
    PASSIVE_LEVEL.
Return Value:
    STATUS_SUCCESS, or the failure of the step that failed.
--*/
{
    PAGED_CODE();

    WDF_OBJECT_ATTRIBUTES attributes;
    WDF_OBJECT_ATTRIBUTES_INIT(&attributes);
    attributes.ParentObject = Context->Device;
    NTSTATUS status = WdfCollectionCreate(&attributes, &Context->Pipes);
    if (!NT_SUCCESS(status))
    {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_FLAG_GENERAL, "%ws: WdfCollectionCreate failed 0x%x",
                    PortNameOf(Context), status);
        return status;
    }

    UCHAR interfaceCount = WdfUsbTargetDeviceGetNumInterfaces(Context->UsbDevice);
    TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_FLAG_GENERAL, "%ws: %u interface(s)", PortNameOf(Context),
                (ULONG)interfaceCount);
    WDF_USB_DEVICE_SELECT_CONFIG_PARAMS params;
    PWDF_USB_INTERFACE_SETTING_PAIR pairs = NULL;
    if (interfaceCount == 1)
    {
        WDF_USB_DEVICE_SELECT_CONFIG_PARAMS_INIT_SINGLE_INTERFACE(&params);
    }
    else
    {
        if (interfaceCount != 0)
        {
            pairs = (PWDF_USB_INTERFACE_SETTING_PAIR)ExAllocatePool2(
                POOL_FLAG_PAGED, sizeof(WDF_USB_INTERFACE_SETTING_PAIR) * interfaceCount, TARNO_TAG_PAIRS);
            if (pairs == NULL)
            {
                TraceEvents(TRACE_LEVEL_ERROR, TRACE_FLAG_GENERAL, "%ws: setting pairs not allocated",
                            PortNameOf(Context));
                return STATUS_INSUFFICIENT_RESOURCES;
            }
            for (UCHAR i = 0; i < interfaceCount; i++)
            {
                pairs[i].UsbInterface = WdfUsbTargetDeviceGetInterface(Context->UsbDevice, i);
                pairs[i].SettingIndex = 0;
                if (pairs[i].UsbInterface == NULL)
                {
                    ExFreePoolWithTag(pairs, TARNO_TAG_PAIRS);
                    TraceEvents(TRACE_LEVEL_ERROR, TRACE_FLAG_GENERAL, "%ws: interface %u missing",
                                PortNameOf(Context), (ULONG)i);
                    return STATUS_INSUFFICIENT_RESOURCES;
                }
            }
        }
        // Without pairs this selects every interface at setting 0 (multi-interface).
        WDF_USB_DEVICE_SELECT_CONFIG_PARAMS_INIT_MULTIPLE_INTERFACES(&params, interfaceCount, pairs);
    }

    WDF_OBJECT_ATTRIBUTES pipeAttributes;
    WDF_OBJECT_ATTRIBUTES_INIT_CONTEXT_TYPE(&pipeAttributes, PIPE_CONTEXT);
    status = WdfUsbTargetDeviceSelectConfig(Context->UsbDevice, &pipeAttributes, &params);
    if (!NT_SUCCESS(status))
    {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_FLAG_GENERAL, "%ws: WdfUsbTargetDeviceSelectConfig failed 0x%x",
                    PortNameOf(Context), status);
    }
    else if (interfaceCount == 1)
    {
        status = RegisterPipes(Context, params.Types.SingleInterface.ConfiguredUsbInterface, 0,
                               params.Types.SingleInterface.NumberConfiguredPipes);
    }
    else
    {
        for (UCHAR i = 0; i < interfaceCount && NT_SUCCESS(status); i++)
        {
            status = RegisterPipes(Context, pairs[i].UsbInterface, i,
                                   WdfUsbInterfaceGetNumConfiguredPipes(pairs[i].UsbInterface));
        }
    }
    if (pairs != NULL)
    {
        ExFreePoolWithTag(pairs, TARNO_TAG_PAIRS);
    }
    return status;
}

static NTSTATUS ConfigureContinuousReader(PDEVICE_CONTEXT Context, WDFUSBPIPE Pipe)
/*++
Routine Description:
    Sets up the interrupt pipe's continuous reader: 16-byte reads, the framework's number of
    pending reads, the notification and readers-failed handlers.
IRQL:
    PASSIVE_LEVEL.
Return Value:
    The status of WdfUsbTargetPipeConfigContinuousReader.
--*/
{
    PAGED_CODE();

    WDF_USB_CONTINUOUS_READER_CONFIG config;
    WDF_USB_CONTINUOUS_READER_CONFIG_INIT(&config, EvtUsbInterruptReadComplete, Context,
                                          INTERRUPT_TRANSFER_LENGTH);
    config.EvtUsbTargetPipeReadersFailed = EvtUsbInterruptReadersFailed;
    NTSTATUS status = WdfUsbTargetPipeConfigContinuousReader(Pipe, &config);
    if (!NT_SUCCESS(status))
    {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_FLAG_GENERAL,
                    "%ws: WdfUsbTargetPipeConfigContinuousReader failed 0x%x", PortNameOf(Context), status);
    }
    return status;
}

static NTSTATUS ConfigureUsbDevice(PDEVICE_CONTEXT Context)
/*++
Routine Description:
    Opens the reader as a USB target (once), traces its device descriptor, selects the
    configuration, assigns the power settings when selective suspend is enabled, and sets up the
    interrupt pipe's continuous reader.
IRQL:
    PASSIVE_LEVEL.
Return Value:
    STATUS_SUCCESS, or the failure of the step that failed.
--*/
{
    PAGED_CODE();

    NTSTATUS status;
    if (Context->UsbDevice == NULL)
    {
        status = WdfUsbTargetDeviceCreate(Context->Device, WDF_NO_OBJECT_ATTRIBUTES, &Context->UsbDevice);
        if (!NT_SUCCESS(status))
        {
            TraceEvents(TRACE_LEVEL_ERROR, TRACE_FLAG_GENERAL, "%ws: WdfUsbTargetDeviceCreate failed 0x%x",
                        PortNameOf(Context), status);
            Context->UsbDevice = NULL;
            return status;
        }
    }

    USB_DEVICE_DESCRIPTOR descriptor;
    WdfUsbTargetDeviceGetDeviceDescriptor(Context->UsbDevice, &descriptor);
    TraceEvents(
        TRACE_LEVEL_INFORMATION, TRACE_FLAG_GENERAL,
        "%ws: device descriptor: length %u type %u bcdUSB 0x%04x class 0x%02x subclass 0x%02x protocol "
        "0x%02x max packet %u",
        PortNameOf(Context), (ULONG)descriptor.bLength, (ULONG)descriptor.bDescriptorType,
        (ULONG)descriptor.bcdUSB, (ULONG)descriptor.bDeviceClass, (ULONG)descriptor.bDeviceSubClass,
        (ULONG)descriptor.bDeviceProtocol, (ULONG)descriptor.bMaxPacketSize0);
    TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_FLAG_GENERAL,
                "%ws: device descriptor: vendor 0x%04x product 0x%04x bcdDevice 0x%04x strings %u/%u/%u "
                "configurations %u",
                PortNameOf(Context), (ULONG)descriptor.idVendor, (ULONG)descriptor.idProduct,
                (ULONG)descriptor.bcdDevice, (ULONG)descriptor.iManufacturer, (ULONG)descriptor.iProduct,
                (ULONG)descriptor.iSerialNumber, (ULONG)descriptor.bNumConfigurations);

    status = SelectConfiguration(Context);
    if (!NT_SUCCESS(status))
    {
        return status;
    }
    if (DriverParameters.EnableSelectiveSuspend)
    {
        AssignPowerSettings(Context->Device);
    }
    WDFUSBPIPE interruptPipe = FindPipe(Context, PIPE_KIND_INTERRUPT);
    if (interruptPipe != NULL)
    {
        status = ConfigureContinuousReader(Context, interruptPipe);
        if (NT_SUCCESS(status))
        {
            status = ResetPipe(interruptPipe);
        }
    }
    return status;
}

static NTSTATUS PrepareBulkPipe(PDEVICE_CONTEXT Context, WDFUSBPIPE Pipe)
/*++
Routine Description:
    Gives a bulk pipe its own transfer request (parent and target the pipe, with a
    REQUEST_CONTEXT) and resets the pipe.
IRQL:
    PASSIVE_LEVEL.
Return Value:
    STATUS_SUCCESS, or the failure of WdfRequestCreate or of the reset.
--*/
{
    PAGED_CODE();

    PPIPE_CONTEXT pipeContext = GetPipeContext(Pipe);
    WDF_OBJECT_ATTRIBUTES attributes;
    WDF_OBJECT_ATTRIBUTES_INIT_CONTEXT_TYPE(&attributes, REQUEST_CONTEXT);
    attributes.ParentObject = Pipe;
    NTSTATUS status = WdfRequestCreate(&attributes, WdfUsbTargetPipeGetIoTarget(Pipe), &pipeContext->Request);
    if (!NT_SUCCESS(status))
    {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_FLAG_GENERAL, "%ws: %s WdfRequestCreate failed 0x%x",
                    PortNameOf(Context), PipeKindName(pipeContext->PipeKind), status);
        pipeContext->Request = NULL;
        return status;
    }
    return ResetPipe(Pipe);
}

static NTSTATUS PrepareBulkPipes(PDEVICE_CONTEXT Context)
/*++
Routine Description:
    The bulk-in pipe's read buffer and request, then the bulk-out pipe's request.
IRQL:
    PASSIVE_LEVEL.
Return Value:
    STATUS_SUCCESS, or the failure of the step that failed.
--*/
{
    PAGED_CODE();

    WDFUSBPIPE bulkIn = FindPipe(Context, PIPE_KIND_BULK_IN);
    if (bulkIn != NULL)
    {
        PPIPE_CONTEXT pipeContext = GetPipeContext(bulkIn);
        WDF_OBJECT_ATTRIBUTES attributes;
        WDF_OBJECT_ATTRIBUTES_INIT(&attributes);
        attributes.ParentObject = Context->Device;
        PVOID buffer = NULL;
        NTSTATUS status = WdfMemoryCreate(&attributes, ExDefaultNonPagedPoolType, TARNO_TAG_BULK_IN,
                                          Context->BulkInBufferLength, &pipeContext->Memory, &buffer);
        if (!NT_SUCCESS(status))
        {
            TraceEvents(TRACE_LEVEL_ERROR, TRACE_FLAG_GENERAL, "%ws: bulk-in WdfMemoryCreate failed 0x%x",
                        PortNameOf(Context), status);
            return status;
        }
        pipeContext->Buffer = (PUCHAR)buffer;
        status = PrepareBulkPipe(Context, bulkIn);
        if (!NT_SUCCESS(status))
        {
            return status;
        }
    }
    WDFUSBPIPE bulkOut = FindPipe(Context, PIPE_KIND_BULK_OUT);
    return bulkOut == NULL ? STATUS_SUCCESS : PrepareBulkPipe(Context, bulkOut);
}

NTSTATUS EvtDevicePrepareHardware(WDFDEVICE Device, WDFCMRESLIST ResourcesRaw,
                                  WDFCMRESLIST ResourcesTranslated)
/*++
Routine Description:
    Hardware preparation at every start of the device: restores the serial defaults, configures
    the reader and prepares its bulk pipes, and writes the PlugAndPlay event with the outcome.
IRQL:
    PASSIVE_LEVEL.
Return Value:
    STATUS_SUCCESS, or the failure of the step that failed; the device then does not start.
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

    NTSTATUS status = ConfigureUsbDevice(context);
    if (NT_SUCCESS(status) && context->BulkInBufferLength == 0)
    {
        status = STATUS_INVALID_PARAMETER;
    }
    if (NT_SUCCESS(status))
    {
        status = PrepareBulkPipes(context);
    }

    PDEVICE_OBJECT deviceObject = WdfDeviceWdmGetDeviceObject(Device);
    if (status == STATUS_SUCCESS)
    {
        WriteEventLog(deviceObject, TARNO_PLUG_AND_PLAY_COMPLETED, STATUS_SUCCESS, 0, NULL, 0);
    }
    else
    {
        WriteEventLog(deviceObject, TARNO_FAILED_PREPARE_HARDWARE, status, 0, NULL, 0);
    }
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
