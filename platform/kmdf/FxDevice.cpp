// The framework device: device initialisation, device creation on top of the WDM device stack,
// the dispatch of IRPs to framework callbacks, and WdfDeviceInit*, WdfFdoInit* and WdfDevice*.
#include "FxDevice.h"

#include "FxDriver.h"
#include "FxFileObject.h"
#include "FxIoQueue.h"
#include "FxIoTarget.h"
#include "FxRegKey.h"
#include "FxRequest.h"
#include "FxSddl.h"
#include "FxString.h"
#include "FxVerifier.h"

#include <algorithm>

namespace winsim::wdf
{

FxDevice::FxDevice(FxDriver* driver, WDFDEVICE_INIT& init) : FxObject(FxType::Device, driver), m_init()
{
    m_init.driver = init.driver;
    m_init.pdo = init.pdo;
    m_init.name = init.name;
    m_init.sddl = init.sddl;
    m_init.exclusive = init.exclusive;
    m_init.deviceType = init.deviceType;
    m_init.ioType = init.ioType;
    m_init.requestAttributes = init.requestAttributes;
    m_init.pnpPower = init.pnpPower;
    m_init.powerPolicyOwner = init.powerPolicyOwner;
    m_init.fileConfig = init.fileConfig;
    m_init.fileAttributes = init.fileAttributes;
    m_init.preprocess = init.preprocess;
    m_pdo = init.pdo;
    KeInitializeTimerEx(&m_idleTimer, NotificationTimer);
    KeInitializeDpc(&m_idleDpc, IdleTimerDpc, this);
    KeInitializeEvent(&m_powerWorkDone, NotificationEvent, TRUE);
}

FxDevice* FxDevice::FromWdm(PDEVICE_OBJECT wdm)
{
    return *static_cast<FxDevice**>(wdm->DeviceExtension);
}

NTSTATUS FxDevice::CreateWdm(const WDFDEVICE_INIT& init)
{
    // The security the driver assigned must be in the subset device objects take; Windows refuses
    // the device object otherwise.
    if (init.sddl && !ParseDeviceSddl(*init.sddl))
    {
        return STATUS_INVALID_PARAMETER;
    }
    UNICODE_STRING name{};
    std::u16string nameText;
    if (init.name)
    {
        nameText = *init.name;
        name.Buffer = reinterpret_cast<PWCH>(nameText.data());
        name.Length = static_cast<USHORT>(nameText.size() * sizeof(WCHAR));
        name.MaximumLength = name.Length;
    }
    PDEVICE_OBJECT fdo = nullptr;
    NTSTATUS status =
        IoCreateDevice(Driver()->Wdm(), sizeof(FxDevice*), init.name ? &name : nullptr, init.deviceType,
                       init.sddl ? FILE_DEVICE_SECURE_OPEN : 0, init.exclusive ? TRUE : FALSE, &fdo);
    if (!NT_SUCCESS(status))
    {
        return status;
    }
    *static_cast<FxDevice**>(fdo->DeviceExtension) = this;
    if (init.ioType == WdfDeviceIoDirect)
    {
        fdo->Flags |= DO_DIRECT_IO;
    }
    else if (init.ioType == WdfDeviceIoBuffered)
    {
        fdo->Flags |= DO_BUFFERED_IO;
    }
    fdo->Flags |= DO_POWER_PAGABLE;
    m_lower = IoAttachDeviceToDeviceStack(fdo, m_pdo);
    if (m_lower == nullptr)
    {
        IoDeleteDevice(fdo);
        return STATUS_NO_SUCH_DEVICE;
    }
    m_fdo = fdo;
    // What the bus says of the device's power (whether it can wake itself, its D-state in each
    // system state) decides which power policy settings the driver may assign.
    QueryCapabilities();
    return STATUS_SUCCESS;
}

NTSTATUS FxDevice::CompleteIrp(PIRP irp, NTSTATUS status, ULONG_PTR information)
{
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = information;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

NTSTATUS FxDevice::Dispatch(PIRP irp, bool allowPreprocess)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    if (allowPreprocess)
    {
        auto it = m_init.preprocess.find(stack->MajorFunction);
        if (it != m_init.preprocess.end())
        {
            const auto& minors = it->second.minors;
            if (minors.empty() ||
                std::find(minors.begin(), minors.end(), stack->MinorFunction) != minors.end())
            {
                return it->second.callback(reinterpret_cast<WDFDEVICE>(Handle()), irp);
            }
        }
    }
    switch (stack->MajorFunction)
    {
    case IRP_MJ_CREATE:
        return DispatchCreate(irp);
    case IRP_MJ_CLEANUP:
        return DispatchCleanupClose(irp, false);
    case IRP_MJ_CLOSE:
        return DispatchCleanupClose(irp, true);
    case IRP_MJ_READ:
    case IRP_MJ_WRITE:
    case IRP_MJ_DEVICE_CONTROL:
    case IRP_MJ_INTERNAL_DEVICE_CONTROL:
        return DispatchIo(irp);
    case IRP_MJ_PNP:
        return DispatchPnp(irp);
    case IRP_MJ_POWER:
        return DispatchPower(irp);
    case IRP_MJ_SYSTEM_CONTROL:
        return ForwardAndForget(irp);
    default:
        return CompleteIrp(irp, STATUS_INVALID_DEVICE_REQUEST);
    }
}

void FxDevice::TrackRequest(FxRequest* request, bool live)
{
    std::lock_guard<std::mutex> guard(m_lock);
    if (live)
    {
        m_requests.push_back(request);
    }
    else
    {
        std::erase(m_requests, request);
    }
}

NTSTATUS FxDevice::DispatchCreate(PIRP irp)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    auto* file = new FxFileObject(Driver(), this, stack->FileObject);
    WDF_OBJECT_ATTRIBUTES fileAttributes;
    if (m_init.fileAttributes)
    {
        fileAttributes = *m_init.fileAttributes;
    }
    NTSTATUS status =
        file->Initialize(m_init.fileAttributes ? &fileAttributes : nullptr, this, "IRP_MJ_CREATE");
    if (!NT_SUCCESS(status))
    {
        FxObject::Discard(file);
        return CompleteIrp(irp, status);
    }
    {
        std::lock_guard<std::mutex> guard(m_lock);
        m_files[stack->FileObject] = file;
    }
    FxRequest* request = PendRequest(irp, file, "IRP_MJ_CREATE");
    if (request == nullptr)
    {
        // The driver never saw the file object: it goes without callbacks.
        {
            std::lock_guard<std::mutex> guard(m_lock);
            m_files.erase(stack->FileObject);
        }
        file->DisposeWithoutCallbacks();
        return CompleteIrp(irp, STATUS_INSUFFICIENT_RESOURCES);
    }
    if (m_init.fileConfig.EvtDeviceFileCreate != nullptr)
    {
        m_init.fileConfig.EvtDeviceFileCreate(reinterpret_cast<WDFDEVICE>(Handle()),
                                              reinterpret_cast<WDFREQUEST>(request->Handle()),
                                              reinterpret_cast<WDFFILEOBJECT>(file->Handle()));
    }
    else
    {
        request->Complete(STATUS_SUCCESS, 0, "IRP_MJ_CREATE");
    }
    return STATUS_PENDING;
}

FxFileObject* FxDevice::FindFile(PFILE_OBJECT wdm)
{
    std::lock_guard<std::mutex> guard(m_lock);
    auto it = m_files.find(wdm);
    return it != m_files.end() ? it->second : nullptr;
}

// Wraps an IRP the device will complete later in a tracked request carrying the attributes the
// driver set for its requests, and marks the IRP pending. Null when the request could not be made;
// the caller completes the IRP.
FxRequest* FxDevice::PendRequest(PIRP irp, FxFileObject* file, const char* routine)
{
    auto* request = new FxRequest(Driver(), this, irp, file);
    WDF_OBJECT_ATTRIBUTES requestAttributes;
    if (m_init.requestAttributes)
    {
        requestAttributes = *m_init.requestAttributes;
    }
    if (!NT_SUCCESS(
            Publish(request, m_init.requestAttributes ? &requestAttributes : nullptr, nullptr, routine)))
    {
        return nullptr;
    }
    TrackRequest(request, true);
    IoMarkIrpPending(irp);
    return request;
}

void FxDevice::DropFile(FxFileObject* file)
{
    {
        std::lock_guard<std::mutex> guard(m_lock);
        m_files.erase(file->Wdm());
    }
    file->DisposeTree();
}

NTSTATUS FxDevice::DispatchCleanupClose(PIRP irp, bool close)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    FxFileObject* file = FindFile(stack->FileObject);
    if (file != nullptr)
    {
        auto handle = reinterpret_cast<WDFFILEOBJECT>(file->Handle());
        if (close)
        {
            if (m_init.fileConfig.EvtFileClose != nullptr)
            {
                m_init.fileConfig.EvtFileClose(handle);
            }
            DropFile(file);
        }
        else
        {
            if (m_init.fileConfig.EvtFileCleanup != nullptr)
            {
                m_init.fileConfig.EvtFileCleanup(handle);
            }
            // The requests of the file object still waiting in the device's queues are cancelled,
            // after the driver's cleanup callback.
            std::vector<FxIoQueue*> queues;
            {
                std::lock_guard<std::mutex> guard(m_lock);
                queues = m_queues;
            }
            for (FxIoQueue* queue : queues)
            {
                queue->CancelFileRequests(file);
            }
        }
    }
    return CompleteIrp(irp, STATUS_SUCCESS);
}

NTSTATUS FxDevice::DispatchIo(PIRP irp)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    FxFileObject* file = FindFile(stack->FileObject);
    FxIoQueue* queue = m_defaultQueue;
    if (queue == nullptr)
    {
        return CompleteIrp(irp, STATUS_INVALID_DEVICE_REQUEST);
    }
    // Zero-length reads and writes are completed by the framework unless the queue takes them.
    bool zeroLength = (stack->MajorFunction == IRP_MJ_READ && stack->Parameters.Read.Length == 0) ||
                      (stack->MajorFunction == IRP_MJ_WRITE && stack->Parameters.Write.Length == 0);
    if (zeroLength && !queue->Config().AllowZeroLengthRequests)
    {
        return CompleteIrp(irp, STATUS_SUCCESS, 0);
    }
    FxRequest* request = PendRequest(irp, file, "I/O dispatch");
    if (request == nullptr)
    {
        return CompleteIrp(irp, STATUS_INSUFFICIENT_RESOURCES);
    }
    queue->Enqueue(request, false);
    return STATUS_PENDING;
}

static NTSTATUS SignalOnCompletion(PDEVICE_OBJECT, PIRP, PVOID context)
{
    KeSetEvent(static_cast<PKEVENT>(context), IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

NTSTATUS FxDevice::ForwardAndWait(PIRP irp)
{
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    IoCopyCurrentIrpStackLocationToNext(irp);
    IoSetCompletionRoutine(irp, SignalOnCompletion, &done, TRUE, TRUE, TRUE);
    IoCallDriver(m_lower, irp);
    KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
    return irp->IoStatus.Status;
}

NTSTATUS FxDevice::ForwardAndForget(PIRP irp)
{
    IoSkipCurrentIrpStackLocation(irp);
    return IoCallDriver(m_lower, irp);
}

NTSTATUS FxDevice::DispatchPnp(PIRP irp)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    switch (stack->MinorFunction)
    {
    case IRP_MN_START_DEVICE: {
        // The bus starts the device first; then the framework's start sequence runs. The
        // interfaces the driver created while adding the device are enabled once it started, as
        // KMDF does; one created later stays disabled.
        NTSTATUS status = ForwardAndWait(irp);
        if (NT_SUCCESS(status))
        {
            status = StartDevice();
        }
        if (NT_SUCCESS(status) && !m_started)
        {
            m_started = true;
            for (const auto& link : m_interfaces)
            {
                UNICODE_STRING name{static_cast<USHORT>(link.size() * sizeof(WCHAR)),
                                    static_cast<USHORT>(link.size() * sizeof(WCHAR)),
                                    const_cast<PWCH>(reinterpret_cast<const wchar_t*>(link.data()))};
                IoSetDeviceInterfaceState(&name, TRUE);
            }
        }
        return CompleteIrp(irp, status, irp->IoStatus.Information);
    }
    case IRP_MN_QUERY_REMOVE_DEVICE: {
        // The driver may veto an orderly removal.
        if (m_init.pnpPower.EvtDeviceQueryRemove != nullptr)
        {
            NTSTATUS status = m_init.pnpPower.EvtDeviceQueryRemove(reinterpret_cast<WDFDEVICE>(Handle()));
            if (!NT_SUCCESS(status))
            {
                return CompleteIrp(irp, status);
            }
        }
        irp->IoStatus.Status = STATUS_SUCCESS;
        return ForwardAndForget(irp);
    }
    case IRP_MN_SURPRISE_REMOVAL:
        SurpriseRemove();
        irp->IoStatus.Status = STATUS_SUCCESS;
        return ForwardAndForget(irp);
    case IRP_MN_REMOVE_DEVICE: {
        PrepareRemoval();
        PDEVICE_OBJECT fdo = m_fdo;
        PDEVICE_OBJECT lower = m_lower;
        RemoveByFramework(false);
        irp->IoStatus.Status = STATUS_SUCCESS;
        IoSkipCurrentIrpStackLocation(irp);
        NTSTATUS status = IoCallDriver(lower, irp);
        IoDetachDevice(lower);
        // A file still open on the device object reaches no framework device any more.
        *static_cast<FxDevice**>(fdo->DeviceExtension) = nullptr;
        IoDeleteDevice(fdo);
        return status;
    }
    default:
        return ForwardAndForget(irp);
    }
}

void FxDevice::RemoveByFramework(bool deleteWdm)
{
    RequireIrqlAtMost(PASSIVE_LEVEL, "device removal");
    PDEVICE_OBJECT fdo = m_fdo;
    PDEVICE_OBJECT lower = m_lower;
    for (const auto& link : m_interfaces)
    {
        UNICODE_STRING name{static_cast<USHORT>(link.size() * sizeof(WCHAR)),
                            static_cast<USHORT>(link.size() * sizeof(WCHAR)),
                            const_cast<PWCH>(reinterpret_cast<const wchar_t*>(link.data()))};
        IoSetDeviceInterfaceState(&name, FALSE);
    }
    for (const auto& link : m_links)
    {
        UNICODE_STRING name{static_cast<USHORT>(link.size() * sizeof(WCHAR)),
                            static_cast<USHORT>(link.size() * sizeof(WCHAR)),
                            const_cast<PWCH>(reinterpret_cast<const wchar_t*>(link.data()))};
        IoDeleteSymbolicLink(&name);
    }
    m_links.clear();
    // The device's memory must outlive the checks below, whatever references the driver dropped.
    PVOID const removalTag = reinterpret_cast<PVOID>(&FxDriver::AddDevice);
    AddRef(removalTag, __LINE__, __FILE__);
    // The device's I/O targets go first: what the driver sent them is cancelled and waited for.
    FxIoTarget::RemoveTargetsOf(this);
    DisposeTree();
    {
        std::lock_guard<std::mutex> guard(m_lock);
        if (!m_requests.empty())
        {
            VerifierStop(
                VerifierRule::RequestLeaked,
                "the device was removed while %zu request(s) it received were never completed (first: %p)",
                m_requests.size(), static_cast<void*>(m_requests.front()));
        }
    }
    Release(removalTag, __LINE__, __FILE__);
    if (deleteWdm)
    {
        IoDetachDevice(lower);
        IoDeleteDevice(fdo);
    }
}

NTSTATUS FxDevice::CreateSymbolicLink(PCUNICODE_STRING name)
{
    RequireIrqlAtMost(PASSIVE_LEVEL, "WdfDeviceCreateSymbolicLink");
    std::optional<std::u16string> deviceName = m_init.name;
    if (!deviceName)
    {
        return STATUS_INVALID_DEVICE_STATE;
    }
    UNICODE_STRING target{static_cast<USHORT>(deviceName->size() * sizeof(WCHAR)),
                          static_cast<USHORT>(deviceName->size() * sizeof(WCHAR)),
                          reinterpret_cast<PWCH>(deviceName->data())};
    NTSTATUS status = IoCreateSymbolicLink(const_cast<PUNICODE_STRING>(name), &target);
    if (NT_SUCCESS(status))
    {
        m_links.push_back(Text(name));
    }
    return status;
}

NTSTATUS FxDevice::CreateDeviceInterface(const GUID* guid, PCUNICODE_STRING reference)
{
    RequireIrqlAtMost(PASSIVE_LEVEL, "WdfDeviceCreateDeviceInterface");
    UNICODE_STRING link{};
    NTSTATUS status = IoRegisterDeviceInterface(m_pdo, guid, const_cast<PUNICODE_STRING>(reference), &link);
    if (NT_SUCCESS(status))
    {
        m_interfaces.push_back(Text(&link));
        RtlFreeUnicodeString(&link);
        // Interfaces are enabled when the device starts.
    }
    return status;
}

FxDevice* DeviceAbove(FxObject* object)
{
    for (FxObject* current = object; current != nullptr; current = current->Parent())
    {
        if (current->Type() == FxType::Device)
        {
            return static_cast<FxDevice*>(current);
        }
    }
    return nullptr;
}

} // namespace winsim::wdf

using namespace winsim::wdf;

namespace
{
WDFDEVICE_INIT* CheckInit(PWDFDEVICE_INIT init, const char* routine)
{
    if (init == nullptr || init->deviceCreated)
    {
        VerifierStop(VerifierRule::ObjectMisuse, "%s: the WDFDEVICE_INIT was already used by WdfDeviceCreate",
                     routine);
    }
    return init;
}

FxDevice* DeviceOf(WDFDEVICE device, const char* routine)
{
    return FxObject::Get<FxDevice>(device, FxType::Device, routine);
}
} // namespace

extern "C"
{

    VOID imp_WdfDeviceInitSetPnpPowerEventCallbacks(PWDF_DRIVER_GLOBALS, PWDFDEVICE_INIT DeviceInit,
                                                    PWDF_PNPPOWER_EVENT_CALLBACKS Callbacks)
    {
        CheckInit(DeviceInit, "WdfDeviceInitSetPnpPowerEventCallbacks")->pnpPower = *Callbacks;
    }

    VOID imp_WdfDeviceInitSetPowerPolicyOwnership(PWDF_DRIVER_GLOBALS, PWDFDEVICE_INIT DeviceInit,
                                                  BOOLEAN IsPowerPolicyOwner)
    {
        CheckInit(DeviceInit, "WdfDeviceInitSetPowerPolicyOwnership")->powerPolicyOwner =
            IsPowerPolicyOwner != FALSE;
    }

    VOID imp_WdfDeviceInitSetExclusive(PWDF_DRIVER_GLOBALS, PWDFDEVICE_INIT DeviceInit, BOOLEAN IsExclusive)
    {
        CheckInit(DeviceInit, "WdfDeviceInitSetExclusive")->exclusive = IsExclusive != FALSE;
    }

    VOID imp_WdfDeviceInitSetDeviceType(PWDF_DRIVER_GLOBALS, PWDFDEVICE_INIT DeviceInit,
                                        DEVICE_TYPE DeviceType)
    {
        CheckInit(DeviceInit, "WdfDeviceInitSetDeviceType")->deviceType = DeviceType;
    }

    VOID imp_WdfDeviceInitSetIoType(PWDF_DRIVER_GLOBALS, PWDFDEVICE_INIT DeviceInit,
                                    WDF_DEVICE_IO_TYPE IoType)
    {
        CheckInit(DeviceInit, "WdfDeviceInitSetIoType")->ioType = IoType;
    }

    VOID imp_WdfDeviceInitSetRequestAttributes(PWDF_DRIVER_GLOBALS, PWDFDEVICE_INIT DeviceInit,
                                               PWDF_OBJECT_ATTRIBUTES RequestAttributes)
    {
        CheckInit(DeviceInit, "WdfDeviceInitSetRequestAttributes")->requestAttributes = *RequestAttributes;
    }

    VOID imp_WdfDeviceInitSetFileObjectConfig(PWDF_DRIVER_GLOBALS, PWDFDEVICE_INIT DeviceInit,
                                              PWDF_FILEOBJECT_CONFIG FileObjectConfig,
                                              PWDF_OBJECT_ATTRIBUTES FileObjectAttributes)
    {
        WDFDEVICE_INIT* init = CheckInit(DeviceInit, "WdfDeviceInitSetFileObjectConfig");
        init->fileConfig = *FileObjectConfig;
        if (FileObjectAttributes != nullptr)
        {
            init->fileAttributes = *FileObjectAttributes;
        }
    }

    NTSTATUS imp_WdfDeviceInitAssignName(PWDF_DRIVER_GLOBALS, PWDFDEVICE_INIT DeviceInit,
                                         PCUNICODE_STRING DeviceName)
    {
        CheckInit(DeviceInit, "WdfDeviceInitAssignName")->name = OptionalText(DeviceName);
        return STATUS_SUCCESS;
    }

    NTSTATUS imp_WdfDeviceInitAssignSDDLString(PWDF_DRIVER_GLOBALS, PWDFDEVICE_INIT DeviceInit,
                                               PCUNICODE_STRING SDDLString)
    {
        CheckInit(DeviceInit, "WdfDeviceInitAssignSDDLString")->sddl = OptionalText(SDDLString);
        return STATUS_SUCCESS;
    }

    NTSTATUS imp_WdfDeviceInitAssignWdmIrpPreprocessCallback(
        PWDF_DRIVER_GLOBALS, PWDFDEVICE_INIT DeviceInit,
        PFN_WDFDEVICE_WDM_IRP_PREPROCESS EvtDeviceWdmIrpPreprocess, UCHAR MajorFunction,
        PUCHAR MinorFunctions, ULONG NumMinorFunctions)
    {
        WDFDEVICE_INIT* init = CheckInit(DeviceInit, "WdfDeviceInitAssignWdmIrpPreprocessCallback");
        if (MajorFunction > IRP_MJ_MAXIMUM_FUNCTION || EvtDeviceWdmIrpPreprocess == nullptr)
        {
            return STATUS_INVALID_PARAMETER;
        }
        WDFDEVICE_INIT::Preprocess entry;
        entry.callback = EvtDeviceWdmIrpPreprocess;
        for (ULONG i = 0; i < NumMinorFunctions; ++i)
        {
            entry.minors.push_back(MinorFunctions[i]);
        }
        init->preprocess[MajorFunction] = entry;
        return STATUS_SUCCESS;
    }

    NTSTATUS imp_WdfDeviceCreate(PWDF_DRIVER_GLOBALS, PWDFDEVICE_INIT* DeviceInit,
                                 PWDF_OBJECT_ATTRIBUTES DeviceAttributes, WDFDEVICE* Device)
    {
        RequireIrqlAtMost(PASSIVE_LEVEL, "WdfDeviceCreate");
        WDFDEVICE_INIT* init = CheckInit(DeviceInit != nullptr ? *DeviceInit : nullptr, "WdfDeviceCreate");
        auto* device = new FxDevice(init->driver, *init);
        NTSTATUS status = device->Initialize(DeviceAttributes, init->driver, "WdfDeviceCreate");
        if (!NT_SUCCESS(status))
        {
            FxObject::Discard(device);
            return status;
        }
        status = device->CreateWdm(*init);
        if (!NT_SUCCESS(status))
        {
            device->DisposeWithoutCallbacks();
            return status;
        }
        init->deviceCreated = true;
        if (init->createdDevice != nullptr)
        {
            *init->createdDevice = device;
        }
        *DeviceInit = nullptr;
        *Device = reinterpret_cast<WDFDEVICE>(device->Handle());
        return STATUS_SUCCESS;
    }

    PDEVICE_OBJECT imp_WdfDeviceWdmGetDeviceObject(PWDF_DRIVER_GLOBALS, WDFDEVICE Device)
    {
        return DeviceOf(Device, "WdfDeviceWdmGetDeviceObject")->Fdo();
    }

    PDEVICE_OBJECT imp_WdfDeviceWdmGetAttachedDevice(PWDF_DRIVER_GLOBALS, WDFDEVICE Device)
    {
        return DeviceOf(Device, "WdfDeviceWdmGetAttachedDevice")->Lower();
    }

    PDEVICE_OBJECT imp_WdfDeviceWdmGetPhysicalDevice(PWDF_DRIVER_GLOBALS, WDFDEVICE Device)
    {
        return DeviceOf(Device, "WdfDeviceWdmGetPhysicalDevice")->Pdo();
    }

    // The framework device of a WDM device object the calling driver created, or null for any
    // other device object (one of another driver, a device object below it in the stack).
    WDFDEVICE imp_WdfWdmDeviceGetWdfDeviceHandle(PWDF_DRIVER_GLOBALS DriverGlobals,
                                                 PDEVICE_OBJECT DeviceObject)
    {
        RequireIrqlAtMost(DISPATCH_LEVEL, "WdfWdmDeviceGetWdfDeviceHandle");
        FxDriver* driver = FxDriver::FromGlobals(DriverGlobals, "WdfWdmDeviceGetWdfDeviceHandle");
        if (DeviceObject == nullptr || DeviceObject->DriverObject != driver->Wdm())
        {
            return nullptr;
        }
        // Every device object of a framework driver is a framework device's.
        return reinterpret_cast<WDFDEVICE>(FxDevice::FromWdm(DeviceObject)->Handle());
    }

    NTSTATUS imp_WdfDeviceWdmDispatchPreprocessedIrp(PWDF_DRIVER_GLOBALS, WDFDEVICE Device, PIRP Irp)
    {
        FxDevice* device = DeviceOf(Device, "WdfDeviceWdmDispatchPreprocessedIrp");
        // The preprocess callback skipped its stack location; the framework takes it back.
        Irp->CurrentLocation--;
        Irp->Tail.Overlay.CurrentStackLocation--;
        return device->Dispatch(Irp, false);
    }

    WDFDRIVER imp_WdfDeviceGetDriver(PWDF_DRIVER_GLOBALS, WDFDEVICE Device)
    {
        return reinterpret_cast<WDFDRIVER>(DeviceOf(Device, "WdfDeviceGetDriver")->Driver()->Handle());
    }

    WDFQUEUE imp_WdfDeviceGetDefaultQueue(PWDF_DRIVER_GLOBALS, WDFDEVICE Device)
    {
        FxIoQueue* queue = DeviceOf(Device, "WdfDeviceGetDefaultQueue")->DefaultQueue();
        return queue != nullptr ? reinterpret_cast<WDFQUEUE>(queue->Handle()) : nullptr;
    }

    NTSTATUS imp_WdfDeviceRetrieveDeviceName(PWDF_DRIVER_GLOBALS, WDFDEVICE Device, WDFSTRING String)
    {
        RequireIrqlAtMost(PASSIVE_LEVEL, "WdfDeviceRetrieveDeviceName");
        FxDevice* device = DeviceOf(Device, "WdfDeviceRetrieveDeviceName");
        auto* string = FxObject::Get<FxString>(String, FxType::String, "WdfDeviceRetrieveDeviceName");
        const auto& name = device->Init().name;
        if (!name)
        {
            return STATUS_INVALID_DEVICE_STATE;
        }
        string->Assign(name->data(), name->size());
        return STATUS_SUCCESS;
    }

    NTSTATUS imp_WdfDeviceCreateSymbolicLink(PWDF_DRIVER_GLOBALS, WDFDEVICE Device,
                                             PCUNICODE_STRING SymbolicLinkName)
    {
        return DeviceOf(Device, "WdfDeviceCreateSymbolicLink")->CreateSymbolicLink(SymbolicLinkName);
    }

    NTSTATUS imp_WdfDeviceCreateDeviceInterface(PWDF_DRIVER_GLOBALS, WDFDEVICE Device,
                                                const GUID* InterfaceClassGUID,
                                                PCUNICODE_STRING ReferenceString)
    {
        return DeviceOf(Device, "WdfDeviceCreateDeviceInterface")
            ->CreateDeviceInterface(InterfaceClassGUID, ReferenceString);
    }

    NTSTATUS imp_WdfFdoInitOpenRegistryKey(PWDF_DRIVER_GLOBALS, PWDFDEVICE_INIT DeviceInit,
                                           ULONG DeviceInstanceKeyType, ACCESS_MASK DesiredAccess,
                                           PWDF_OBJECT_ATTRIBUTES KeyAttributes, WDFKEY* Key)
    {
        if (!AtPassive())
        {
            return STATUS_INVALID_DEVICE_REQUEST;
        }
        if (DeviceInit == nullptr || DeviceInit->deviceCreated)
        {
            VerifierStop(VerifierRule::ObjectMisuse,
                         "WdfFdoInitOpenRegistryKey: the WDFDEVICE_INIT was already used");
        }
        HANDLE handle = nullptr;
        NTSTATUS status =
            IoOpenDeviceRegistryKey(DeviceInit->pdo, DeviceInstanceKeyType, DesiredAccess, &handle);
        if (!NT_SUCCESS(status))
        {
            return status;
        }
        return FxRegKey::Open(handle, KeyAttributes, DeviceInit->driver, Key, "WdfFdoInitOpenRegistryKey");
    }

    NTSTATUS imp_WdfDeviceOpenRegistryKey(PWDF_DRIVER_GLOBALS, WDFDEVICE Device, ULONG DeviceInstanceKeyType,
                                          ACCESS_MASK DesiredAccess, PWDF_OBJECT_ATTRIBUTES KeyAttributes,
                                          WDFKEY* Key)
    {
        if (!AtPassive())
        {
            return STATUS_INVALID_DEVICE_REQUEST;
        }
        FxDevice* device = FxObject::Get<FxDevice>(Device, FxType::Device, "WdfDeviceOpenRegistryKey");
        HANDLE handle = nullptr;
        NTSTATUS status =
            IoOpenDeviceRegistryKey(device->Pdo(), DeviceInstanceKeyType, DesiredAccess, &handle);
        if (!NT_SUCCESS(status))
        {
            return status;
        }
        // The key belongs to the driver unless the attributes name a parent, as KMDF documents:
        // a device's cleanup callback can still open the device's key.
        return FxRegKey::Open(handle, KeyAttributes, device->Driver(), Key, "WdfDeviceOpenRegistryKey");
    }

} // extern "C"
