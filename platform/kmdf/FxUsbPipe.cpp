// The framework's USB pipes and WdfUsbTargetPipe*.
#include "FxUsbPipe.h"

#include "FxContinuousReader.h"
#include "FxDevice.h"
#include "FxMemory.h"
#include "FxRequest.h"
#include "FxUsbDevice.h"
#include "FxVerifier.h"

namespace winsim::wdf
{

FxUsbPipe::FxUsbPipe(FxDriver* driver, FxUsbDevice* usbDevice, FxUsbInterface* usbInterface,
                     const USBD_PIPE_INFORMATION& info, UCHAR settingIndex)
    : FxIoTarget(driver, usbDevice->Device(), usbDevice->TargetDevice(), FxType::UsbPipe),
      m_usbDevice(usbDevice), m_interface(usbInterface), m_info(info), m_settingIndex(settingIndex)
{
}

FxUsbPipe::~FxUsbPipe() = default;

FxUsbPipe* FxUsbPipe::FromHandle(WDFUSBPIPE handle, const char* routine)
{
    return FxObject::Get<FxUsbPipe>(handle, FxType::UsbPipe, routine);
}

void FxUsbPipe::GetInformation(PWDF_USB_PIPE_INFORMATION information) const
{
    information->Size = sizeof(WDF_USB_PIPE_INFORMATION);
    information->MaximumPacketSize = m_info.MaximumPacketSize;
    information->EndpointAddress = m_info.EndpointAddress;
    information->Interval = m_info.Interval;
    information->SettingIndex = m_settingIndex;
    information->PipeType = PipeType();
    information->MaximumTransferSize = m_info.MaximumTransferSize;
}

WDF_USB_PIPE_TYPE FxUsbPipe::PipeType() const
{
    switch (m_info.PipeType)
    {
    case UsbdPipeTypeControl:
        return WdfUsbPipeTypeControl;
    case UsbdPipeTypeIsochronous:
        return WdfUsbPipeTypeIsochronous;
    case UsbdPipeTypeBulk:
        return WdfUsbPipeTypeBulk;
    case UsbdPipeTypeInterrupt:
        return WdfUsbPipeTypeInterrupt;
    }
    return WdfUsbPipeTypeInvalid;
}

// A read goes only to an IN pipe and a write only to an OUT one, both bulk or interrupt; a read's
// length must be a multiple of the pipe's packet size unless the driver turned that check off.
NTSTATUS FxUsbPipe::FormatTransfer(FxRequest* request, bool read, void* buffer, ULONG length,
                                   FxMemory* memory, size_t offset, const char* routine)
{
    WDF_USB_PIPE_TYPE type = PipeType();
    if ((type != WdfUsbPipeTypeBulk && type != WdfUsbPipeTypeInterrupt) || read != IsIn())
    {
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    if (read && m_checkPacketSize && m_info.MaximumPacketSize != 0 && length % m_info.MaximumPacketSize != 0)
    {
        return STATUS_INVALID_BUFFER_SIZE;
    }
    NTSTATUS status = request->PrepareFormat(this, routine);
    if (!NT_SUCCESS(status))
    {
        return status;
    }
    request->FormatUsb(read ? WdfUsbRequestTypePipeRead : WdfUsbRequestTypePipeWrite);
    auto& urb = request->Urb().UrbBulkOrInterruptTransfer;
    urb.Hdr.Length = sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER);
    urb.Hdr.Function = URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER;
    urb.PipeHandle = m_info.PipeHandle;
    urb.TransferFlags =
        read ? USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK : USBD_TRANSFER_DIRECTION_OUT;
    urb.TransferBufferLength = length;
    urb.TransferBuffer = buffer;
    // PipeRead and PipeWrite share their layout.
    auto& params = request->UsbParams().Parameters.PipeRead;
    params.Buffer = memory != nullptr ? reinterpret_cast<WDFMEMORY>(memory->Handle()) : nullptr;
    params.Offset = offset;
    request->HoldMemory(memory);
    return STATUS_SUCCESS;
}

NTSTATUS FxUsbPipe::FormatPipeRequest(FxRequest* request, USHORT function, WDF_USB_REQUEST_TYPE type,
                                      const char* routine)
{
    NTSTATUS status = request->PrepareFormat(this, routine);
    if (!NT_SUCCESS(status))
    {
        return status;
    }
    request->FormatUsb(type);
    auto& urb = request->Urb().UrbPipeRequest;
    urb.Hdr.Length = sizeof(struct _URB_PIPE_REQUEST);
    urb.Hdr.Function = function;
    urb.PipeHandle = m_info.PipeHandle;
    return STATUS_SUCCESS;
}

NTSTATUS FxUsbPipe::ResetForReader()
{
    WDF_REQUEST_SEND_OPTIONS options;
    WDF_REQUEST_SEND_OPTIONS_INIT(&options, WDF_REQUEST_SEND_OPTION_IGNORE_TARGET_STATE);
    return m_usbDevice->SendSynchronously(
        this, nullptr, &options,
        [this](FxRequest* request) {
            return FormatPipeRequest(request, URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL,
                                     WdfUsbRequestTypePipeReset, "the continuous reader's pipe reset");
        },
        [](FxRequest*) {}, "the continuous reader's pipe reset");
}

NTSTATUS FxUsbPipe::ConfigContinuousReader(const WDF_USB_CONTINUOUS_READER_CONFIG& config)
{
    if (config.Size != sizeof(WDF_USB_CONTINUOUS_READER_CONFIG) ||
        config.EvtUsbTargetPipeReadComplete == nullptr || config.TransferLength == 0)
    {
        return STATUS_INVALID_PARAMETER;
    }
    WDF_USB_PIPE_TYPE type = PipeType();
    if ((type != WdfUsbPipeTypeBulk && type != WdfUsbPipeTypeInterrupt) || !IsIn())
    {
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    if (m_checkPacketSize && m_info.MaximumPacketSize != 0 &&
        config.TransferLength % m_info.MaximumPacketSize != 0)
    {
        return STATUS_INVALID_BUFFER_SIZE;
    }
    if (m_reader != nullptr)
    {
        return STATUS_INVALID_DEVICE_STATE;
    }
    auto reader = std::make_unique<FxContinuousReader>(this, config);
    NTSTATUS status = reader->Create();
    if (NT_SUCCESS(status))
    {
        m_reader = std::move(reader);
    }
    return status;
}

void FxUsbPipe::OnStarted()
{
    if (m_reader != nullptr)
    {
        m_reader->Start();
    }
}

void FxUsbPipe::OnStopping()
{
    if (m_reader != nullptr)
    {
        m_reader->Stopping();
    }
}

void FxUsbPipe::WaitForOwnWork()
{
    if (m_reader != nullptr)
    {
        m_reader->WaitForReport();
    }
}

} // namespace winsim::wdf

using namespace winsim::wdf;

namespace
{
NTSTATUS FormatTransferRequest(WDFUSBPIPE Pipe, WDFREQUEST Request, WDFMEMORY Memory,
                               PWDFMEMORY_OFFSET Offset, bool read, const char* routine)
{
    RequireIrqlAtMost(DISPATCH_LEVEL, routine);
    FxUsbPipe* pipe = FxUsbPipe::FromHandle(Pipe, routine);
    FxRequest* request = RequestOf(Request, routine);
    FxMemory* memory = nullptr;
    void* buffer = nullptr;
    ULONG length = 0;
    size_t offset = 0;
    if (Memory != nullptr)
    {
        NTSTATUS status = ResolveMemory(Memory, Offset, &memory, &buffer, &length, &offset, routine);
        if (!NT_SUCCESS(status))
        {
            return status;
        }
    }
    return pipe->FormatTransfer(request, read, buffer, length, memory, offset, routine);
}

NTSTATUS TransferSynchronously(WDFUSBPIPE Pipe, WDFREQUEST Request, PWDF_REQUEST_SEND_OPTIONS RequestOptions,
                               PWDF_MEMORY_DESCRIPTOR MemoryDescriptor, PULONG Bytes, bool read,
                               const char* routine)
{
    RequireIrqlAtMost(PASSIVE_LEVEL, routine);
    FxUsbPipe* pipe = FxUsbPipe::FromHandle(Pipe, routine);
    FxRequest* request = Request != nullptr ? RequestOf(Request, routine) : nullptr;
    FxMemory* memory = nullptr;
    void* buffer = nullptr;
    ULONG length = 0;
    size_t offset = 0;
    if (Bytes != nullptr)
    {
        *Bytes = 0;
    }
    NTSTATUS status = ResolveDescriptor(MemoryDescriptor, &memory, &buffer, &length, &offset, routine);
    if (!NT_SUCCESS(status))
    {
        return status;
    }
    return pipe->UsbDevice()->SendSynchronously(
        pipe, request, RequestOptions,
        [&](FxRequest* formatted) {
            return pipe->FormatTransfer(formatted, read, buffer, length, memory, offset, routine);
        },
        [&](FxRequest* completed) {
            if (Bytes != nullptr)
            {
                *Bytes = completed->Urb().UrbBulkOrInterruptTransfer.TransferBufferLength;
            }
        },
        routine);
}

NTSTATUS PipeRequestSynchronously(WDFUSBPIPE Pipe, WDFREQUEST Request,
                                  PWDF_REQUEST_SEND_OPTIONS RequestOptions, USHORT function,
                                  WDF_USB_REQUEST_TYPE type, const char* routine)
{
    RequireIrqlAtMost(PASSIVE_LEVEL, routine);
    FxUsbPipe* pipe = FxUsbPipe::FromHandle(Pipe, routine);
    FxRequest* request = Request != nullptr ? RequestOf(Request, routine) : nullptr;
    // A driver stops the pipe's target before it resets or aborts the pipe, as documented: the
    // request goes to the pipe whatever the target's state.
    WDF_REQUEST_SEND_OPTIONS options;
    WDF_REQUEST_SEND_OPTIONS_INIT(&options, WDF_REQUEST_SEND_OPTION_IGNORE_TARGET_STATE);
    if (RequestOptions != nullptr && RequestOptions->Size == sizeof(WDF_REQUEST_SEND_OPTIONS))
    {
        options = *RequestOptions;
        options.Flags |= WDF_REQUEST_SEND_OPTION_IGNORE_TARGET_STATE;
    }
    return pipe->UsbDevice()->SendSynchronously(
        pipe, request,
        RequestOptions != nullptr && RequestOptions->Size != sizeof(options) ? RequestOptions : &options,
        [&](FxRequest* formatted) { return pipe->FormatPipeRequest(formatted, function, type, routine); },
        [](FxRequest*) {}, routine);
}
} // namespace

extern "C"
{

    VOID imp_WdfUsbTargetPipeGetInformation(PWDF_DRIVER_GLOBALS, WDFUSBPIPE Pipe,
                                            PWDF_USB_PIPE_INFORMATION PipeInformation)
    {
        FxUsbPipe::FromHandle(Pipe, "WdfUsbTargetPipeGetInformation")->GetInformation(PipeInformation);
    }

    BOOLEAN imp_WdfUsbTargetPipeIsInEndpoint(PWDF_DRIVER_GLOBALS, WDFUSBPIPE Pipe)
    {
        return FxUsbPipe::FromHandle(Pipe, "WdfUsbTargetPipeIsInEndpoint")->IsIn() ? TRUE : FALSE;
    }

    BOOLEAN imp_WdfUsbTargetPipeIsOutEndpoint(PWDF_DRIVER_GLOBALS, WDFUSBPIPE Pipe)
    {
        return FxUsbPipe::FromHandle(Pipe, "WdfUsbTargetPipeIsOutEndpoint")->IsIn() ? FALSE : TRUE;
    }

    WDF_USB_PIPE_TYPE imp_WdfUsbTargetPipeGetType(PWDF_DRIVER_GLOBALS, WDFUSBPIPE Pipe)
    {
        return FxUsbPipe::FromHandle(Pipe, "WdfUsbTargetPipeGetType")->PipeType();
    }

    VOID imp_WdfUsbTargetPipeSetNoMaximumPacketSizeCheck(PWDF_DRIVER_GLOBALS, WDFUSBPIPE Pipe)
    {
        FxUsbPipe::FromHandle(Pipe, "WdfUsbTargetPipeSetNoMaximumPacketSizeCheck")
            ->SetNoMaximumPacketSizeCheck();
    }

    WDFIOTARGET imp_WdfUsbTargetPipeGetIoTarget(PWDF_DRIVER_GLOBALS, WDFUSBPIPE Pipe)
    {
        return reinterpret_cast<WDFIOTARGET>(
            FxUsbPipe::FromHandle(Pipe, "WdfUsbTargetPipeGetIoTarget")->Handle());
    }

    USBD_PIPE_HANDLE imp_WdfUsbTargetPipeWdmGetPipeHandle(PWDF_DRIVER_GLOBALS, WDFUSBPIPE UsbPipe)
    {
        return FxUsbPipe::FromHandle(UsbPipe, "WdfUsbTargetPipeWdmGetPipeHandle")->Info().PipeHandle;
    }

    NTSTATUS imp_WdfUsbTargetPipeFormatRequestForRead(PWDF_DRIVER_GLOBALS, WDFUSBPIPE Pipe,
                                                      WDFREQUEST Request, WDFMEMORY ReadMemory,
                                                      PWDFMEMORY_OFFSET ReadOffset)
    {
        return FormatTransferRequest(Pipe, Request, ReadMemory, ReadOffset, true,
                                     "WdfUsbTargetPipeFormatRequestForRead");
    }

    NTSTATUS imp_WdfUsbTargetPipeFormatRequestForWrite(PWDF_DRIVER_GLOBALS, WDFUSBPIPE Pipe,
                                                       WDFREQUEST Request, WDFMEMORY WriteMemory,
                                                       PWDFMEMORY_OFFSET WriteOffset)
    {
        return FormatTransferRequest(Pipe, Request, WriteMemory, WriteOffset, false,
                                     "WdfUsbTargetPipeFormatRequestForWrite");
    }

    NTSTATUS imp_WdfUsbTargetPipeReadSynchronously(PWDF_DRIVER_GLOBALS, WDFUSBPIPE Pipe, WDFREQUEST Request,
                                                   PWDF_REQUEST_SEND_OPTIONS RequestOptions,
                                                   PWDF_MEMORY_DESCRIPTOR MemoryDescriptor, PULONG BytesRead)
    {
        return TransferSynchronously(Pipe, Request, RequestOptions, MemoryDescriptor, BytesRead, true,
                                     "WdfUsbTargetPipeReadSynchronously");
    }

    NTSTATUS imp_WdfUsbTargetPipeWriteSynchronously(PWDF_DRIVER_GLOBALS, WDFUSBPIPE Pipe, WDFREQUEST Request,
                                                    PWDF_REQUEST_SEND_OPTIONS RequestOptions,
                                                    PWDF_MEMORY_DESCRIPTOR MemoryDescriptor,
                                                    PULONG BytesWritten)
    {
        return TransferSynchronously(Pipe, Request, RequestOptions, MemoryDescriptor, BytesWritten, false,
                                     "WdfUsbTargetPipeWriteSynchronously");
    }

    NTSTATUS imp_WdfUsbTargetPipeAbortSynchronously(PWDF_DRIVER_GLOBALS, WDFUSBPIPE Pipe, WDFREQUEST Request,
                                                    PWDF_REQUEST_SEND_OPTIONS RequestOptions)
    {
        return PipeRequestSynchronously(Pipe, Request, RequestOptions, URB_FUNCTION_ABORT_PIPE,
                                        WdfUsbRequestTypePipeAbort, "WdfUsbTargetPipeAbortSynchronously");
    }

    NTSTATUS imp_WdfUsbTargetPipeResetSynchronously(PWDF_DRIVER_GLOBALS, WDFUSBPIPE Pipe, WDFREQUEST Request,
                                                    PWDF_REQUEST_SEND_OPTIONS RequestOptions)
    {
        return PipeRequestSynchronously(Pipe, Request, RequestOptions,
                                        URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL,
                                        WdfUsbRequestTypePipeReset, "WdfUsbTargetPipeResetSynchronously");
    }

    NTSTATUS imp_WdfUsbTargetPipeConfigContinuousReader(PWDF_DRIVER_GLOBALS, WDFUSBPIPE Pipe,
                                                        PWDF_USB_CONTINUOUS_READER_CONFIG Config)
    {
        RequireIrqlAtMost(PASSIVE_LEVEL, "WdfUsbTargetPipeConfigContinuousReader");
        return FxUsbPipe::FromHandle(Pipe, "WdfUsbTargetPipeConfigContinuousReader")
            ->ConfigContinuousReader(*Config);
    }

} // extern "C"
