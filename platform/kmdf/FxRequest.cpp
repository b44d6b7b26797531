// Framework requests and WdfRequest*.
#include "FxRequest.h"

#include "FxDevice.h"
#include "FxFileObject.h"
#include "FxIoQueue.h"
#include "FxVerifier.h"

#include <string.h>

namespace winsim::wdf
{

FxRequest::FxRequest(FxDriver* driver, FxDevice* device, PIRP irp, FxFileObject* file)
    : FxObject(FxType::Request, driver), m_device(device), m_irp(irp), m_file(file)
{
}

void FxRequest::CheckUsable(const char* routine) const
{
    if (m_completed)
    {
        VerifierStop(VerifierRule::RequestUsedAfterCompletion, "%s: request %p was already completed",
                     routine, static_cast<const void*>(this));
    }
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
    if (m_irp->CancelRoutine != nullptr)
    {
        VerifierStop(VerifierRule::RequestStillCancelable,
                     "%s: request %p is still marked cancelable; unmark it before completing it", routine,
                     static_cast<void*>(this));
    }
    m_completed = true;
    m_status = status;
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
    if (m_irp->Cancel && IoSetCancelRoutine(m_irp, nullptr) != nullptr)
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

namespace
{
FxRequest* RequestOf(WDFREQUEST request, const char* routine)
{
    FxRequest* fx = FxObject::Get<FxRequest>(request, FxType::Request, routine);
    fx->CheckUsable(routine);
    return fx;
}

NTSTATUS RetrieveBuffer(WDFREQUEST Request, size_t minimum, PVOID* buffer, size_t* length, bool output,
                        const char* routine)
{
    FxRequest* request = RequestOf(Request, routine);
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
    if (available < minimum)
    {
        return STATUS_BUFFER_TOO_SMALL;
    }
    *buffer = request->Irp()->AssociatedIrp.SystemBuffer;
    if (length != nullptr)
    {
        *length = available;
    }
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
        FxRequest* request = FxObject::Get<FxRequest>(Request, FxType::Request, "WdfRequestGetStatus");
        return request->IsCompleted() ? request->Status() : request->Irp()->IoStatus.Status;
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

} // extern "C"
