// Framework requests and WdfRequest*: the requests a device received and the ones a driver
// creates, their formatting, reuse and completion parameters. Sending them is FxIoTarget's.
#include "FxRequest.h"

#include "FxDevice.h"
#include "FxDriver.h"
#include "FxFileObject.h"
#include "FxIoQueue.h"
#include "FxIoTarget.h"
#include "FxMemory.h"
#include "FxVerifier.h"

#include <usbioctl.h>

#include <string.h>

namespace winsim::wdf
{

namespace
{
// The request's reference on the memory a format call described.
PVOID const FormattedMemoryTag = reinterpret_cast<PVOID>(0x466d744d);
} // namespace

FxRequest::FxRequest(FxDriver* driver, FxDevice* device, PIRP irp, FxFileObject* file)
    : FxObject(FxType::Request, driver), m_device(device), m_irp(irp), m_file(file)
{
}

FxRequest::FxRequest(FxDriver* driver, CCHAR stackSize)
    : FxObject(FxType::Request, driver), m_device(nullptr), m_irp(IoAllocateIrp(stackSize, FALSE)),
      m_file(nullptr), m_created(true)
{
}

FxRequest::~FxRequest()
{
    ReleaseMemory();
    if (m_created && m_irp != nullptr)
    {
        IoFreeIrp(m_irp);
    }
}

void FxRequest::OnDispose()
{
    if (IsPending())
    {
        VerifierStop(VerifierRule::ObjectMisuse,
                     "WDFREQUEST %p is deleted while it is out at WDFIOTARGET %p; it may be deleted only "
                     "after it completed",
                     static_cast<void*>(this), static_cast<void*>(m_target.load()));
    }
}

void FxRequest::CheckUsable(const char* routine) const
{
    if (m_completed)
    {
        VerifierStop(VerifierRule::RequestUsedAfterCompletion, "%s: request %p was already completed",
                     routine, static_cast<const void*>(this));
    }
}

bool FxRequest::IsPending() const
{
    return m_sendState.load() != SendState::Idle;
}

void FxRequest::CheckNotPending(const char* routine) const
{
    if (IsPending())
    {
        VerifierStop(VerifierRule::ObjectMisuse,
                     "%s: WDFREQUEST %p was sent to WDFIOTARGET %p and has not completed", routine,
                     static_cast<const void*>(this), static_cast<const void*>(m_target.load()));
    }
}

ULONG_PTR FxRequest::Information() const
{
    return m_created ? m_irp->IoStatus.Information : m_information;
}

NTSTATUS FxRequest::Status() const
{
    if (IsPending())
    {
        return STATUS_PENDING;
    }
    return m_completed ? m_status : m_irp->IoStatus.Status;
}

PIO_STACK_LOCATION FxRequest::NextStack() const
{
    return IoGetNextIrpStackLocation(m_irp);
}

void FxRequest::ReleaseMemory()
{
    if (m_memory != nullptr)
    {
        FxMemory* memory = m_memory;
        m_memory = nullptr;
        memory->Release(FormattedMemoryTag, __LINE__, __FILE__);
    }
}

void FxRequest::HoldMemory(FxMemory* memory)
{
    if (memory != nullptr)
    {
        memory->AddRef(FormattedMemoryTag, __LINE__, __FILE__);
    }
    ReleaseMemory();
    m_memory = memory;
}

NTSTATUS FxRequest::PrepareFormat(FxIoTarget* target, const char* routine)
{
    CheckUsable(routine);
    CheckNotPending(routine);
    if (m_created)
    {
        // A created request's IRP is the framework's: one too shallow for the target is replaced.
        if (m_irp->StackCount < target->StackSize())
        {
            PIRP deeper = IoAllocateIrp(target->StackSize(), FALSE);
            if (deeper == nullptr)
            {
                return STATUS_INSUFFICIENT_RESOURCES;
            }
            IoFreeIrp(m_irp);
            m_irp = deeper;
        }
        else
        {
            IoReuseIrp(m_irp, STATUS_SUCCESS);
        }
    }
    else if (m_irp->CurrentLocation - 1 < target->StackSize())
    {
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    ReleaseMemory();
    memset(&m_urb, 0, sizeof(m_urb));
    memset(&m_usbParams, 0, sizeof(m_usbParams));
    WDF_REQUEST_COMPLETION_PARAMS_INIT(&m_params);
    memset(NextStack(), 0, sizeof(IO_STACK_LOCATION));
    return STATUS_SUCCESS;
}

void FxRequest::FormatUsb(WDF_USB_REQUEST_TYPE type)
{
    m_params.Type = WdfRequestTypeUsb;
    m_usbParams.Type = type;
    m_params.Parameters.Usb.Completion = &m_usbParams;
    PIO_STACK_LOCATION next = NextStack();
    next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    next->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB;
    next->Parameters.Others.Argument1 = &m_urb;
}

void FxRequest::SetCompletionRoutine(PFN_WDF_REQUEST_COMPLETION_ROUTINE routine, WDFCONTEXT context)
{
    m_completionRoutine = routine;
    m_completionContext = context;
}

void FxRequest::GetCompletionParams(PWDF_REQUEST_COMPLETION_PARAMS params) const
{
    ULONG size = params->Size;
    *params = m_params;
    params->Size = size;
}

NTSTATUS FxRequest::Reuse(const WDF_REQUEST_REUSE_PARAMS& params)
{
    CheckNotPending("WdfRequestReuse");
    if (params.Size != sizeof(WDF_REQUEST_REUSE_PARAMS) ||
        (params.Flags & ~WDF_REQUEST_REUSE_SET_NEW_IRP) != 0)
    {
        return STATUS_INVALID_PARAMETER;
    }
    if ((params.Flags & WDF_REQUEST_REUSE_SET_NEW_IRP) != 0)
    {
        // Not supported by the machine: a created request keeps the IRP the framework gave it.
        return STATUS_NOT_SUPPORTED;
    }
    if (m_created)
    {
        IoReuseIrp(m_irp, params.Status);
    }
    else
    {
        m_irp->IoStatus.Status = params.Status;
        m_irp->IoStatus.Information = 0;
    }
    // As KMDF does for drivers of version 1.9 and later, reuse forgets the completion routine.
    m_completionRoutine = nullptr;
    m_completionContext = nullptr;
    ReleaseMemory();
    memset(&m_urb, 0, sizeof(m_urb));
    memset(&m_usbParams, 0, sizeof(m_usbParams));
    WDF_REQUEST_COMPLETION_PARAMS_INIT(&m_params);
    return STATUS_SUCCESS;
}

void FxRequest::FailSend(NTSTATUS status)
{
    m_irp->IoStatus.Status = status;
    m_irp->IoStatus.Information = 0;
}

void FxRequest::GetParameters(PWDF_REQUEST_PARAMETERS parameters) const
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(m_irp);
    USHORT size = parameters->Size;
    memset(parameters, 0, sizeof(WDF_REQUEST_PARAMETERS));
    parameters->Size = size;
    parameters->MinorFunction = stack->MinorFunction;
    parameters->Type = static_cast<WDF_REQUEST_TYPE>(stack->MajorFunction);
    switch (stack->MajorFunction)
    {
    case IRP_MJ_CREATE:
        parameters->Parameters.Create.SecurityContext = stack->Parameters.Create.SecurityContext;
        parameters->Parameters.Create.Options = stack->Parameters.Create.Options;
        parameters->Parameters.Create.FileAttributes = stack->Parameters.Create.FileAttributes;
        parameters->Parameters.Create.ShareAccess = stack->Parameters.Create.ShareAccess;
        parameters->Parameters.Create.EaLength = stack->Parameters.Create.EaLength;
        break;
    case IRP_MJ_READ:
        parameters->Parameters.Read.Length = stack->Parameters.Read.Length;
        parameters->Parameters.Read.Key = stack->Parameters.Read.Key;
        parameters->Parameters.Read.DeviceOffset = stack->Parameters.Read.ByteOffset.QuadPart;
        break;
    case IRP_MJ_WRITE:
        parameters->Parameters.Write.Length = stack->Parameters.Write.Length;
        parameters->Parameters.Write.Key = stack->Parameters.Write.Key;
        parameters->Parameters.Write.DeviceOffset = stack->Parameters.Write.ByteOffset.QuadPart;
        break;
    case IRP_MJ_DEVICE_CONTROL:
    case IRP_MJ_INTERNAL_DEVICE_CONTROL:
        parameters->Parameters.DeviceIoControl.OutputBufferLength =
            stack->Parameters.DeviceIoControl.OutputBufferLength;
        parameters->Parameters.DeviceIoControl.InputBufferLength =
            stack->Parameters.DeviceIoControl.InputBufferLength;
        parameters->Parameters.DeviceIoControl.IoControlCode =
            stack->Parameters.DeviceIoControl.IoControlCode;
        parameters->Parameters.DeviceIoControl.Type3InputBuffer =
            stack->Parameters.DeviceIoControl.Type3InputBuffer;
        break;
    default:
        parameters->Parameters.Others.Arg1 = stack->Parameters.Others.Argument1;
        parameters->Parameters.Others.Arg2 = stack->Parameters.Others.Argument2;
        parameters->Parameters.Others.Arg4 = stack->Parameters.Others.Argument4;
        break;
    }
}

void FxRequest::Complete(NTSTATUS status, std::optional<ULONG_PTR> information, const char* routine)
{
    RequireIrqlAtMost(DISPATCH_LEVEL, routine);
    CheckUsable(routine);
    if (m_created)
    {
        VerifierStop(VerifierRule::ObjectMisuse,
                     "%s: WDFREQUEST %p was created by the driver; a driver deletes the requests it "
                     "created (WdfObjectDelete) and completes only those it received",
                     routine, static_cast<void*>(this));
    }
    CheckNotPending(routine);
    if (__atomic_load_n(&m_irp->CancelRoutine, __ATOMIC_ACQUIRE) != nullptr)
    {
        VerifierStop(VerifierRule::RequestStillCancelable,
                     "%s: request %p is still marked cancelable; unmark it before completing it", routine,
                     static_cast<void*>(this));
    }
    m_status = status;
    m_completed.store(true);
    if (information)
    {
        m_information = *information;
    }
    m_irp->IoStatus.Status = status;
    m_irp->IoStatus.Information = m_information;
    FxIoQueue* queue = m_queue;
    if (queue != nullptr)
    {
        queue->DriverRequestDone(this);
    }
    m_device->TrackRequest(this, false);
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(m_irp);
    if (stack->MajorFunction == IRP_MJ_CREATE && !NT_SUCCESS(status) && m_file != nullptr)
    {
        m_device->DropFile(m_file);
    }
    IoCompleteRequest(m_irp, IO_SERIAL_INCREMENT);
    DisposeTree();
}

// The IRP's fourth driver context holds the request while the IRP is cancelable: the framework
// owns the IRP, so the context is its own to use.
NTSTATUS FxRequest::MarkCancelable(PFN_WDF_REQUEST_CANCEL cancel, bool failIfCancelled)
{
    m_cancel = cancel;
    m_irp->Tail.Overlay.DriverContext[3] = this;
    IoSetCancelRoutine(m_irp, CancelRoutine);
    if (__atomic_load_n(&m_irp->Cancel, __ATOMIC_ACQUIRE) && IoSetCancelRoutine(m_irp, nullptr) != nullptr)
    {
        // Cancelled before it became cancelable: WdfRequestMarkCancelableEx says so and leaves the
        // request to its caller; WdfRequestMarkCancelable runs the cancel callback at once.
        if (failIfCancelled)
        {
            return STATUS_CANCELLED;
        }
        cancel(reinterpret_cast<WDFREQUEST>(Handle()));
    }
    return STATUS_SUCCESS;
}

NTSTATUS FxRequest::UnmarkCancelable()
{
    // A null routine means the I/O manager took it: the cancel callback runs or ran.
    return IoSetCancelRoutine(m_irp, nullptr) != nullptr ? STATUS_SUCCESS : STATUS_CANCELLED;
}

VOID FxRequest::CancelRoutine(PDEVICE_OBJECT, PIRP irp)
{
    IoReleaseCancelSpinLock(irp->CancelIrql);
    auto* request = static_cast<FxRequest*>(irp->Tail.Overlay.DriverContext[3]);
    request->m_cancel(reinterpret_cast<WDFREQUEST>(request->Handle()));
}

} // namespace winsim::wdf

using namespace winsim::wdf;

FxRequest* winsim::wdf::RequestOf(WDFREQUEST request, const char* routine)
{
    FxRequest* fx = FxObject::Get<FxRequest>(request, FxType::Request, routine);
    fx->CheckUsable(routine);
    return fx;
}

namespace
{

// The request's input or output buffer as the I/O manager passed it: the system buffer of a read,
// a write or a device control request (buffered I/O). STATUS_BUFFER_TOO_SMALL when it has no bytes.
NTSTATUS BufferOf(FxRequest* request, bool output, PVOID* buffer, size_t* length)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(request->Irp());
    size_t available = 0;
    switch (stack->MajorFunction)
    {
    case IRP_MJ_READ:
        if (!output)
        {
            return STATUS_INVALID_DEVICE_REQUEST;
        }
        available = stack->Parameters.Read.Length;
        break;
    case IRP_MJ_WRITE:
        if (output)
        {
            return STATUS_INVALID_DEVICE_REQUEST;
        }
        available = stack->Parameters.Write.Length;
        break;
    case IRP_MJ_DEVICE_CONTROL:
    case IRP_MJ_INTERNAL_DEVICE_CONTROL:
        available = output ? stack->Parameters.DeviceIoControl.OutputBufferLength
                           : stack->Parameters.DeviceIoControl.InputBufferLength;
        break;
    default:
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    if (available == 0)
    {
        return STATUS_BUFFER_TOO_SMALL;
    }
    *buffer = request->Irp()->AssociatedIrp.SystemBuffer;
    *length = available;
    return STATUS_SUCCESS;
}

NTSTATUS RetrieveBuffer(WDFREQUEST Request, size_t minimum, PVOID* buffer, size_t* length, bool output,
                        const char* routine)
{
    FxRequest* request = RequestOf(Request, routine);
    PVOID found = nullptr;
    size_t available = 0;
    NTSTATUS status = BufferOf(request, output, &found, &available);
    if (!NT_SUCCESS(status))
    {
        return status;
    }
    if (available < minimum)
    {
        return STATUS_BUFFER_TOO_SMALL;
    }
    *buffer = found;
    if (length != nullptr)
    {
        *length = available;
    }
    return STATUS_SUCCESS;
}

// A memory object over the request's buffer, a child of the request: it goes when the request
// completes. The same object each time it is asked for.
NTSTATUS RetrieveMemory(WDFREQUEST Request, WDFMEMORY* memory, bool output, const char* routine)
{
    FxRequest* request = RequestOf(Request, routine);
    PVOID buffer = nullptr;
    size_t length = 0;
    NTSTATUS status = BufferOf(request, output, &buffer, &length);
    if (!NT_SUCCESS(status))
    {
        return status;
    }
    FxMemory*& held = output ? request->OutputMemory() : request->InputMemory();
    if (held == nullptr)
    {
        auto* created = new FxMemory(request->Driver(), buffer, length, false, 0);
        status = Publish(created, WDF_NO_OBJECT_ATTRIBUTES, request, routine);
        if (!NT_SUCCESS(status))
        {
            return status;
        }
        held = created;
    }
    *memory = reinterpret_cast<WDFMEMORY>(held->Handle());
    return STATUS_SUCCESS;
}
} // namespace

extern "C"
{

    VOID imp_WdfRequestComplete(PWDF_DRIVER_GLOBALS, WDFREQUEST Request, NTSTATUS Status)
    {
        RequestOf(Request, "WdfRequestComplete")->Complete(Status, std::nullopt, "WdfRequestComplete");
    }

    VOID imp_WdfRequestCompleteWithInformation(PWDF_DRIVER_GLOBALS, WDFREQUEST Request, NTSTATUS Status,
                                               ULONG_PTR Information)
    {
        RequestOf(Request, "WdfRequestCompleteWithInformation")
            ->Complete(Status, Information, "WdfRequestCompleteWithInformation");
    }

    VOID imp_WdfRequestSetInformation(PWDF_DRIVER_GLOBALS, WDFREQUEST Request, ULONG_PTR Information)
    {
        RequestOf(Request, "WdfRequestSetInformation")->SetInformation(Information);
    }

    ULONG_PTR imp_WdfRequestGetInformation(PWDF_DRIVER_GLOBALS, WDFREQUEST Request)
    {
        return RequestOf(Request, "WdfRequestGetInformation")->Information();
    }

    NTSTATUS imp_WdfRequestGetStatus(PWDF_DRIVER_GLOBALS, WDFREQUEST Request)
    {
        return FxObject::Get<FxRequest>(Request, FxType::Request, "WdfRequestGetStatus")->Status();
    }

    VOID imp_WdfRequestGetParameters(PWDF_DRIVER_GLOBALS, WDFREQUEST Request,
                                     PWDF_REQUEST_PARAMETERS Parameters)
    {
        RequestOf(Request, "WdfRequestGetParameters")->GetParameters(Parameters);
    }

    NTSTATUS imp_WdfRequestRetrieveInputBuffer(PWDF_DRIVER_GLOBALS, WDFREQUEST Request,
                                               size_t MinimumRequiredLength, PVOID* Buffer, size_t* Length)
    {
        return RetrieveBuffer(Request, MinimumRequiredLength, Buffer, Length, false,
                              "WdfRequestRetrieveInputBuffer");
    }

    NTSTATUS imp_WdfRequestRetrieveOutputBuffer(PWDF_DRIVER_GLOBALS, WDFREQUEST Request,
                                                size_t MinimumRequiredSize, PVOID* Buffer, size_t* Length)
    {
        return RetrieveBuffer(Request, MinimumRequiredSize, Buffer, Length, true,
                              "WdfRequestRetrieveOutputBuffer");
    }

    NTSTATUS imp_WdfRequestRetrieveInputMemory(PWDF_DRIVER_GLOBALS, WDFREQUEST Request, WDFMEMORY* Memory)
    {
        RequireIrqlAtMost(DISPATCH_LEVEL, "WdfRequestRetrieveInputMemory");
        return RetrieveMemory(Request, Memory, false, "WdfRequestRetrieveInputMemory");
    }

    NTSTATUS imp_WdfRequestRetrieveOutputMemory(PWDF_DRIVER_GLOBALS, WDFREQUEST Request, WDFMEMORY* Memory)
    {
        RequireIrqlAtMost(DISPATCH_LEVEL, "WdfRequestRetrieveOutputMemory");
        return RetrieveMemory(Request, Memory, true, "WdfRequestRetrieveOutputMemory");
    }

    NTSTATUS imp_WdfRequestForwardToIoQueue(PWDF_DRIVER_GLOBALS, WDFREQUEST Request,
                                            WDFQUEUE DestinationQueue)
    {
        RequireIrqlAtMost(DISPATCH_LEVEL, "WdfRequestForwardToIoQueue");
        FxRequest* request = RequestOf(Request, "WdfRequestForwardToIoQueue");
        FxIoQueue* destination = QueueOf(DestinationQueue, "WdfRequestForwardToIoQueue");
        FxIoQueue* source = request->Queue();
        if (source == destination)
        {
            return STATUS_INVALID_DEVICE_REQUEST;
        }
        if (source != nullptr)
        {
            source->DriverRequestDone(request);
        }
        return destination->Enqueue(request, true);
    }

    VOID imp_WdfRequestStopAcknowledge(PWDF_DRIVER_GLOBALS, WDFREQUEST Request, BOOLEAN Requeue)
    {
        RequireIrqlAtMost(DISPATCH_LEVEL, "WdfRequestStopAcknowledge");
        FxRequest* request = RequestOf(Request, "WdfRequestStopAcknowledge");
        FxIoQueue* queue = request->Queue();
        if (queue == nullptr || !queue->StopAcknowledged(request, Requeue != FALSE))
        {
            VerifierStop(
                VerifierRule::ObjectMisuse,
                "WdfRequestStopAcknowledge: request %p is not one its queue's EvtIoStop was called for",
                static_cast<void*>(request));
        }
    }

    VOID imp_WdfRequestMarkCancelable(PWDF_DRIVER_GLOBALS, WDFREQUEST Request,
                                      PFN_WDF_REQUEST_CANCEL EvtRequestCancel)
    {
        RequireIrqlAtMost(DISPATCH_LEVEL, "WdfRequestMarkCancelable");
        RequestOf(Request, "WdfRequestMarkCancelable")->MarkCancelable(EvtRequestCancel, false);
    }

    NTSTATUS imp_WdfRequestMarkCancelableEx(PWDF_DRIVER_GLOBALS, WDFREQUEST Request,
                                            PFN_WDF_REQUEST_CANCEL EvtRequestCancel)
    {
        RequireIrqlAtMost(DISPATCH_LEVEL, "WdfRequestMarkCancelableEx");
        return RequestOf(Request, "WdfRequestMarkCancelableEx")->MarkCancelable(EvtRequestCancel, true);
    }

    NTSTATUS imp_WdfRequestUnmarkCancelable(PWDF_DRIVER_GLOBALS, WDFREQUEST Request)
    {
        RequireIrqlAtMost(DISPATCH_LEVEL, "WdfRequestUnmarkCancelable");
        return RequestOf(Request, "WdfRequestUnmarkCancelable")->UnmarkCancelable();
    }

    WDFFILEOBJECT imp_WdfRequestGetFileObject(PWDF_DRIVER_GLOBALS, WDFREQUEST Request)
    {
        FxFileObject* file = RequestOf(Request, "WdfRequestGetFileObject")->File();
        return file != nullptr ? reinterpret_cast<WDFFILEOBJECT>(file->Handle()) : nullptr;
    }

    WDFQUEUE imp_WdfRequestGetIoQueue(PWDF_DRIVER_GLOBALS, WDFREQUEST Request)
    {
        FxIoQueue* queue = RequestOf(Request, "WdfRequestGetIoQueue")->Queue();
        return queue != nullptr ? reinterpret_cast<WDFQUEUE>(queue->Handle()) : nullptr;
    }

    PIRP imp_WdfRequestWdmGetIrp(PWDF_DRIVER_GLOBALS, WDFREQUEST Request)
    {
        return RequestOf(Request, "WdfRequestWdmGetIrp")->Irp();
    }

    KPROCESSOR_MODE imp_WdfRequestGetRequestorMode(PWDF_DRIVER_GLOBALS, WDFREQUEST Request)
    {
        return RequestOf(Request, "WdfRequestGetRequestorMode")->Irp()->RequestorMode;
    }

    NTSTATUS imp_WdfRequestCreate(PWDF_DRIVER_GLOBALS DriverGlobals, PWDF_OBJECT_ATTRIBUTES RequestAttributes,
                                  WDFIOTARGET IoTarget, WDFREQUEST* Request)
    {
        RequireIrqlAtMost(DISPATCH_LEVEL, "WdfRequestCreate");
        FxDriver* driver = FxDriver::FromGlobals(DriverGlobals, "WdfRequestCreate");
        CCHAR stackSize = 1;
        if (IoTarget != nullptr)
        {
            stackSize = FxIoTarget::FromHandle(IoTarget, "WdfRequestCreate")->StackSize();
        }
        auto* request = new FxRequest(driver, stackSize);
        if (request->Irp() == nullptr)
        {
            FxObject::Discard(request);
            return STATUS_INSUFFICIENT_RESOURCES;
        }
        // Without a parent in the attributes, the request belongs to the driver.
        NTSTATUS status = Publish(request, RequestAttributes, driver, "WdfRequestCreate");
        if (NT_SUCCESS(status))
        {
            *Request = reinterpret_cast<WDFREQUEST>(request->Handle());
        }
        return status;
    }

    NTSTATUS imp_WdfRequestReuse(PWDF_DRIVER_GLOBALS, WDFREQUEST Request,
                                 PWDF_REQUEST_REUSE_PARAMS ReuseParams)
    {
        RequireIrqlAtMost(DISPATCH_LEVEL, "WdfRequestReuse");
        return RequestOf(Request, "WdfRequestReuse")->Reuse(*ReuseParams);
    }

    VOID imp_WdfRequestSetCompletionRoutine(PWDF_DRIVER_GLOBALS, WDFREQUEST Request,
                                            PFN_WDF_REQUEST_COMPLETION_ROUTINE CompletionRoutine,
                                            WDFCONTEXT CompletionContext)
    {
        FxRequest* request = RequestOf(Request, "WdfRequestSetCompletionRoutine");
        request->CheckNotPending("WdfRequestSetCompletionRoutine");
        request->SetCompletionRoutine(CompletionRoutine, CompletionContext);
    }

    VOID imp_WdfRequestGetCompletionParams(PWDF_DRIVER_GLOBALS, WDFREQUEST Request,
                                           PWDF_REQUEST_COMPLETION_PARAMS Params)
    {
        if (Params->Size != sizeof(WDF_REQUEST_COMPLETION_PARAMS))
        {
            VerifierStop(VerifierRule::ObjectMisuse,
                         "WdfRequestGetCompletionParams: WDF_REQUEST_COMPLETION_PARAMS has size %u, not %zu "
                         "(not initialised?)",
                         Params->Size, sizeof(WDF_REQUEST_COMPLETION_PARAMS));
        }
        RequestOf(Request, "WdfRequestGetCompletionParams")->GetCompletionParams(Params);
    }

    VOID imp_WdfRequestFormatRequestUsingCurrentType(PWDF_DRIVER_GLOBALS, WDFREQUEST Request)
    {
        FxRequest* request = RequestOf(Request, "WdfRequestFormatRequestUsingCurrentType");
        request->CheckNotPending("WdfRequestFormatRequestUsingCurrentType");
        if (request->IsCreated() || request->Irp()->CurrentLocation < 2)
        {
            VerifierStop(VerifierRule::IrpMisuse,
                         "WdfRequestFormatRequestUsingCurrentType: WDFREQUEST %p has no current stack "
                         "location to copy to the next",
                         static_cast<void*>(request));
        }
        IoCopyCurrentIrpStackLocationToNext(request->Irp());
    }

} // extern "C"
