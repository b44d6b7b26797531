#include "Io.h"

#include "Pnp.h"

#include "Namespace.h"
#include "Scheduler.h"
#include "System.h"
#include "Thread.h"
#include "Verifier.h"

#include "base/unicode.h"

#include <string.h>

#include <new>

namespace winsim::kernel
{

namespace
{

struct DeviceBlock
{
    DEVICE_OBJECT device;
    DeviceObjectInfo info;
};

constexpr size_t ExtensionOffset = (sizeof(DeviceBlock) + 15) & ~size_t(15);

struct DriverBlock
{
    DRIVER_OBJECT driver;
    DRIVER_EXTENSION extension;
    std::u16string driverName;
    std::u16string serviceName;
};

DriverBlock* BlockOf(PDRIVER_OBJECT driver)
{
    return reinterpret_cast<DriverBlock*>(driver);
}

NTSTATUS InvalidDeviceRequest(PDEVICE_OBJECT, PIRP irp)
{
    irp->IoStatus.Status = STATUS_INVALID_DEVICE_REQUEST;
    irp->IoStatus.Information = 0;
    IofCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_INVALID_DEVICE_REQUEST;
}

void SetCounted(UNICODE_STRING& target, const std::u16string& text)
{
    target.Buffer = const_cast<PWCH>(reinterpret_cast<const wchar_t*>(text.c_str()));
    target.Length = static_cast<USHORT>(text.size() * sizeof(WCHAR));
    target.MaximumLength = static_cast<USHORT>(target.Length + sizeof(WCHAR));
}

} // namespace

IoManager::IoManager() = default;

IoManager::~IoManager()
{
    for (auto& [device, size] : m_devices)
    {
        auto* block = reinterpret_cast<DeviceBlock*>(device);
        block->info.~DeviceObjectInfo();
        ::operator delete(block, std::align_val_t(16));
    }
    for (PDRIVER_OBJECT driver : m_drivers)
    {
        delete BlockOf(driver);
    }
}

// --- drivers ----------------------------------------------------------------------------------

PDRIVER_OBJECT IoManager::CreateDriverObject(std::u16string_view serviceName)
{
    auto* block = new DriverBlock{};
    block->serviceName = serviceName;
    block->driverName = u"\\Driver\\" + std::u16string(serviceName);
    PDRIVER_OBJECT driver = &block->driver;
    driver->Type = IO_TYPE_DRIVER;
    driver->Size = sizeof(DRIVER_OBJECT);
    driver->DriverExtension = &block->extension;
    block->extension.DriverObject = driver;
    SetCounted(driver->DriverName, block->driverName);
    SetCounted(block->extension.ServiceKeyName, block->serviceName);
    for (auto& dispatch : driver->MajorFunction)
    {
        dispatch = InvalidDeviceRequest;
    }
    std::lock_guard<std::mutex> guard(m_lock);
    m_drivers.push_back(driver);
    return driver;
}

void IoManager::DeleteDriverObject(PDRIVER_OBJECT driver)
{
    {
        std::lock_guard<std::mutex> guard(m_lock);
        std::erase(m_drivers, driver);
    }
    delete BlockOf(driver);
}

std::u16string IoManager::ServiceName(PDRIVER_OBJECT driver) const
{
    return BlockOf(driver)->serviceName;
}

// --- devices ----------------------------------------------------------------------------------

DeviceObjectInfo& IoManager::Info(PDEVICE_OBJECT device)
{
    return reinterpret_cast<DeviceBlock*>(device)->info;
}

bool IoManager::IsLiveDevice(PDEVICE_OBJECT device) const
{
    std::lock_guard<std::mutex> guard(m_lock);
    return m_devices.count(device) != 0 && !Info(device).deleted;
}

size_t IoManager::DeviceCount(PDRIVER_OBJECT driver) const
{
    std::lock_guard<std::mutex> guard(m_lock);
    size_t count = 0;
    for (const auto& [device, size] : m_devices)
    {
        if (device->DriverObject == driver && !Info(device).deleted)
        {
            ++count;
        }
    }
    return count;
}

size_t IoManager::DeviceObjectCount(PDRIVER_OBJECT driver) const
{
    std::lock_guard<std::mutex> guard(m_lock);
    size_t count = 0;
    for (const auto& [device, size] : m_devices)
    {
        count += device->DriverObject == driver ? 1 : 0;
    }
    return count;
}

NTSTATUS IoManager::CreateDevice(PDRIVER_OBJECT driver, ULONG extensionSize, PUNICODE_STRING name,
                                 DEVICE_TYPE type, ULONG characteristics, bool exclusive,
                                 PDEVICE_OBJECT* device)
{
    RequireIrqlAtMost(PASSIVE_LEVEL, "IoCreateDevice");
    size_t size = ExtensionOffset + extensionSize;
    void* memory = ::operator new(size, std::align_val_t(16));
    memset(memory, 0, size);
    auto* block = new (memory) DeviceBlock{};
    PDEVICE_OBJECT created = &block->device;
    created->Type = IO_TYPE_DEVICE;
    created->Size = static_cast<USHORT>(sizeof(DEVICE_OBJECT) + extensionSize);
    created->DriverObject = driver;
    created->DeviceType = type;
    created->Characteristics = characteristics;
    created->Flags = DO_DEVICE_INITIALIZING | (exclusive ? DO_EXCLUSIVE : 0);
    created->StackSize = 1;
    created->DeviceExtension = extensionSize != 0 ? static_cast<char*>(memory) + ExtensionOffset : nullptr;
    if (name != nullptr && name->Buffer != nullptr)
    {
        block->info.name.assign(reinterpret_cast<const char16_t*>(name->Buffer),
                                name->Length / sizeof(WCHAR));
        NTSTATUS status = System::Current().Namespace().InsertDevice(block->info.name, created);
        if (!NT_SUCCESS(status))
        {
            block->~DeviceBlock();
            ::operator delete(memory, std::align_val_t(16));
            return status;
        }
    }
    {
        std::lock_guard<std::mutex> guard(m_lock);
        m_devices[created] = size;
        created->NextDevice = driver->DeviceObject;
        driver->DeviceObject = created;
    }
    *device = created;
    return STATUS_SUCCESS;
}

void IoManager::DeleteDevice(PDEVICE_OBJECT device)
{
    RequireIrqlAtMost(PASSIVE_LEVEL, "IoDeleteDevice");
    {
        std::lock_guard<std::mutex> guard(m_lock);
        if (m_devices.count(device) == 0 || Info(device).deleted)
        {
            VerifierStop(VerifierRule::ObjectMisuse, "IoDeleteDevice(%p): not a live device object",
                         static_cast<void*>(device));
        }
        Info(device).deleted = true;
        PDEVICE_OBJECT* link = &device->DriverObject->DeviceObject;
        while (*link != nullptr && *link != device)
        {
            link = &(*link)->NextDevice;
        }
        if (*link == device)
        {
            *link = device->NextDevice;
        }
    }
    System::Current().Namespace().RemoveDevice(device);
    ReleaseDeviceIfUnused(device);
}

void IoManager::ReleaseDeviceIfUnused(PDEVICE_OBJECT device)
{
    std::lock_guard<std::mutex> guard(m_lock);
    if (!Info(device).deleted || device->ReferenceCount != 0 ||
        __atomic_load_n(&Info(device).pointerCount, __ATOMIC_SEQ_CST) != 0)
    {
        return;
    }
    m_devices.erase(device);
    auto* block = reinterpret_cast<DeviceBlock*>(device);
    block->~DeviceBlock();
    ::operator delete(block, std::align_val_t(16));
}

void IoManager::ReferenceDevice(PDEVICE_OBJECT device)
{
    __atomic_add_fetch(&Info(device).pointerCount, 1, __ATOMIC_SEQ_CST);
}

void IoManager::DereferenceDevice(PDEVICE_OBJECT device)
{
    __atomic_sub_fetch(&Info(device).pointerCount, 1, __ATOMIC_SEQ_CST);
    ReleaseDeviceIfUnused(device);
}

PDEVICE_OBJECT IoManager::AttachedDeviceReference(PDEVICE_OBJECT device)
{
    PDEVICE_OBJECT top = TopOfStack(device);
    ReferenceDevice(top);
    return top;
}

PDEVICE_OBJECT IoManager::TopOfStack(PDEVICE_OBJECT device)
{
    while (device->AttachedDevice != nullptr)
    {
        device = device->AttachedDevice;
    }
    return device;
}

PDEVICE_OBJECT IoManager::AttachDevice(PDEVICE_OBJECT source, PDEVICE_OBJECT target)
{
    std::lock_guard<std::mutex> guard(m_lock);
    PDEVICE_OBJECT top = TopOfStack(target);
    if (Info(top).deleted)
    {
        return nullptr;
    }
    top->AttachedDevice = source;
    source->StackSize = static_cast<CCHAR>(top->StackSize + 1);
    source->AlignmentRequirement = top->AlignmentRequirement;
    Info(source).lowerDevice = top;
    // The attachment holds a reference: a lower device deleted while the upper one is still
    // attached (a bus deleting its physical device object on removal) keeps its memory until
    // IoDetachDevice.
    __atomic_add_fetch(&Info(top).pointerCount, 1, __ATOMIC_SEQ_CST);
    return top;
}

void IoManager::DetachDevice(PDEVICE_OBJECT target)
{
    {
        std::lock_guard<std::mutex> guard(m_lock);
        PDEVICE_OBJECT upper = target->AttachedDevice;
        if (upper == nullptr)
        {
            return;
        }
        Info(upper).lowerDevice = nullptr;
        target->AttachedDevice = nullptr;
        __atomic_sub_fetch(&Info(target).pointerCount, 1, __ATOMIC_SEQ_CST);
    }
    ReleaseDeviceIfUnused(target);
}

// --- IRPs -------------------------------------------------------------------------------------

PIRP IoManager::AllocateIrp(CCHAR stackSize)
{
    size_t size = sizeof(IRP) + static_cast<size_t>(stackSize) * sizeof(IO_STACK_LOCATION);
    auto* memory = static_cast<char*>(::operator new(size, std::align_val_t(16)));
    memset(memory, 0, size);
    auto* irp = reinterpret_cast<PIRP>(memory);
    irp->Type = IO_TYPE_IRP;
    irp->Size = static_cast<USHORT>(size);
    irp->StackCount = stackSize;
    irp->CurrentLocation = static_cast<CHAR>(stackSize + 1);
    auto* stack = reinterpret_cast<PIO_STACK_LOCATION>(memory + sizeof(IRP));
    irp->Tail.Overlay.CurrentStackLocation = stack + stackSize;
    irp->ThreadListEntry.Flink = irp->ThreadListEntry.Blink = &irp->ThreadListEntry;
    std::lock_guard<std::mutex> guard(m_lock);
    m_irps[irp] = IrpState{};
    return irp;
}

void IoManager::FreeIrp(PIRP irp)
{
    {
        std::lock_guard<std::mutex> guard(m_lock);
        if (m_irps.erase(irp) == 0)
        {
            VerifierStop(VerifierRule::IrpMisuse,
                         "IoFreeIrp(%p): not an IRP allocated by IoAllocateIrp, or freed "
                         "twice",
                         static_cast<void*>(irp));
        }
    }
    ::operator delete(irp, std::align_val_t(16));
}

void IoManager::ReuseIrp(PIRP irp, NTSTATUS status)
{
    CCHAR stackSize = irp->StackCount;
    USHORT size = irp->Size;
    memset(reinterpret_cast<char*>(irp), 0, size);
    irp->Type = IO_TYPE_IRP;
    irp->Size = size;
    irp->StackCount = stackSize;
    irp->CurrentLocation = static_cast<CHAR>(stackSize + 1);
    irp->Tail.Overlay.CurrentStackLocation =
        reinterpret_cast<PIO_STACK_LOCATION>(reinterpret_cast<char*>(irp) + sizeof(IRP)) + stackSize;
    irp->IoStatus.Status = status;
    irp->ThreadListEntry.Flink = irp->ThreadListEntry.Blink = &irp->ThreadListEntry;
    std::lock_guard<std::mutex> guard(m_lock);
    auto it = m_irps.find(irp);
    if (it != m_irps.end())
    {
        it->second.completed = false;
    }
}

NTSTATUS IoManager::CallDriver(PDEVICE_OBJECT device, PIRP irp)
{
    RequireIrqlAtMost(DISPATCH_LEVEL, "IoCallDriver");
    irp->CurrentLocation--;
    if (irp->CurrentLocation <= 0)
    {
        VerifierStop(VerifierRule::IrpMisuse, "IoCallDriver: IRP %p has no stack location left for device %p",
                     static_cast<void*>(irp), static_cast<void*>(device));
    }
    irp->Tail.Overlay.CurrentStackLocation--;
    PIO_STACK_LOCATION stack = irp->Tail.Overlay.CurrentStackLocation;
    stack->DeviceObject = device;
    PDRIVER_DISPATCH dispatch = device->DriverObject->MajorFunction[stack->MajorFunction];
    return dispatch(device, irp);
}

void IoManager::CompleteRequest(PIRP irp)
{
    RequireIrqlAtMost(DISPATCH_LEVEL, "IoCompleteRequest");
    bool systemOwned = false;
    {
        std::lock_guard<std::mutex> guard(m_lock);
        auto it = m_irps.find(irp);
        if (it == m_irps.end())
        {
            VerifierStop(VerifierRule::IrpMisuse, "IoCompleteRequest(%p): not a live IRP",
                         static_cast<void*>(irp));
        }
        if (it->second.completed)
        {
            VerifierStop(VerifierRule::RequestCompletedTwice, "IRP %p was completed twice",
                         static_cast<void*>(irp));
        }
        systemOwned = it->second.systemOwned;
    }
    if (irp->IoStatus.Status == STATUS_PENDING)
    {
        VerifierStop(VerifierRule::IrpMisuse, "IRP %p completed with STATUS_PENDING",
                     static_cast<void*>(irp));
    }
    // Read as IoSetCancelRoutine writes it: a canceller may be racing the completion.
    if (PDRIVER_CANCEL cancel = __atomic_load_n(&irp->CancelRoutine, __ATOMIC_SEQ_CST); cancel != nullptr)
    {
        VerifierStop(VerifierRule::RequestStillCancelable,
                     "IRP %p completed while its cancel routine %p is set", static_cast<void*>(irp),
                     reinterpret_cast<void*>(cancel));
    }
    while (irp->CurrentLocation <= irp->StackCount)
    {
        PIO_STACK_LOCATION stack = irp->Tail.Overlay.CurrentStackLocation;
        irp->PendingReturned = (stack->Control & SL_PENDING_RETURNED) != 0;
        PIO_COMPLETION_ROUTINE routine = stack->CompletionRoutine;
        PVOID context = stack->Context;
        UCHAR control = stack->Control;
        irp->CurrentLocation++;
        irp->Tail.Overlay.CurrentStackLocation++;
        bool invoke =
            routine != nullptr &&
            ((NT_SUCCESS(irp->IoStatus.Status) && (control & SL_INVOKE_ON_SUCCESS) != 0) ||
             (!NT_SUCCESS(irp->IoStatus.Status) && (control & SL_INVOKE_ON_ERROR) != 0) ||
             (__atomic_load_n(&irp->Cancel, __ATOMIC_SEQ_CST) && (control & SL_INVOKE_ON_CANCEL) != 0));
        if (invoke)
        {
            PDEVICE_OBJECT upper = irp->CurrentLocation <= irp->StackCount
                                       ? irp->Tail.Overlay.CurrentStackLocation->DeviceObject
                                       : nullptr;
            NTSTATUS result = routine(upper, irp, context);
            if (result == STATUS_MORE_PROCESSING_REQUIRED)
            {
                return;
            }
        }
        else if (irp->PendingReturned && irp->CurrentLocation <= irp->StackCount)
        {
            IoMarkIrpPending(irp);
        }
    }
    if (!systemOwned)
    {
        VerifierStop(
            VerifierRule::IrpMisuse,
            "IRP %p, allocated by a driver, was completed past its top stack location; its completion "
            "routine must return STATUS_MORE_PROCESSING_REQUIRED",
            static_cast<void*>(irp));
    }
    FinishSystemIrp(irp);
}

void IoManager::FinishSystemIrp(PIRP irp)
{
    std::function<void(PIRP)> finished;
    {
        std::lock_guard<std::mutex> guard(m_lock);
        IrpState& state = m_irps[irp];
        state.completed = true;
        finished = std::move(state.finished);
    }
    finished(irp);
}

PIRP IoManager::AllocateSystemIrp(CCHAR stackSize, std::function<void(PIRP)> finished)
{
    PIRP irp = AllocateIrp(stackSize);
    std::lock_guard<std::mutex> guard(m_lock);
    IrpState& state = m_irps[irp];
    state.systemOwned = true;
    state.finished = std::move(finished);
    return irp;
}

void IoManager::FreeSystemIrp(PIRP irp)
{
    {
        std::lock_guard<std::mutex> guard(m_lock);
        m_irps.erase(irp);
    }
    ::operator delete(irp, std::align_val_t(16));
}

bool IoManager::CancelIrp(PIRP irp)
{
    KIRQL irql;
    IoAcquireCancelSpinLock(&irql);
    __atomic_store_n(&irp->Cancel, TRUE, __ATOMIC_SEQ_CST);
    PDRIVER_CANCEL routine = IoSetCancelRoutine(irp, nullptr);
    if (routine == nullptr)
    {
        IoReleaseCancelSpinLock(irql);
        return false;
    }
    irp->CancelIrql = irql;
    // The cancel routine releases the cancel spin lock.
    routine(irp->Tail.Overlay.CurrentStackLocation->DeviceObject, irp);
    return true;
}

IoResult IoManager::SendSynchronous(PDEVICE_OBJECT device, PFILE_OBJECT file,
                                    const std::function<void(PIRP, PIO_STACK_LOCATION)>& prepare)
{
    RequireIrqlAtMost(PASSIVE_LEVEL, "synchronous I/O");
    PDEVICE_OBJECT top = TopOfStack(device);
    Scheduler& scheduler = System::Current().GetScheduler();
    KEVENT done;
    scheduler.InitializeEvent(&done, NotificationEvent, false);
    IoResult result{};
    PIRP irp = AllocateSystemIrp(top->StackSize, [&](PIRP finished) {
        result = IoResult{finished->IoStatus.Status, finished->IoStatus.Information};
        scheduler.SetEvent(&done);
    });
    irp->RequestorMode = UserMode;
    irp->Tail.Overlay.OriginalFileObject = file;
    irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
    PIO_STACK_LOCATION stack = IoGetNextIrpStackLocation(irp);
    stack->FileObject = file;
    prepare(irp, stack);
    CallDriver(top, irp);
    scheduler.WaitForObject(&done.Header, std::nullopt);
    FreeSystemIrp(irp);
    return result;
}

// --- files ------------------------------------------------------------------------------------

NTSTATUS IoManager::Open(std::u16string_view name, ACCESS_MASK access, ULONG shareAccess,
                         std::shared_ptr<OpenFile>* file, ULONG options)
{
    PDEVICE_OBJECT device = System::Current().Namespace().Lookup(name);
    if (device == nullptr)
    {
        return STATUS_OBJECT_NAME_NOT_FOUND;
    }
    {
        std::lock_guard<std::mutex> guard(m_lock);
        if (Info(device).deleted)
        {
            return STATUS_DELETE_PENDING;
        }
        if ((device->Flags & DO_DEVICE_INITIALIZING) != 0)
        {
            return STATUS_NO_SUCH_DEVICE;
        }
        // An exclusive device admits one open at a time.
        if ((device->Flags & DO_EXCLUSIVE) != 0 && device->ReferenceCount != 0)
        {
            return STATUS_ACCESS_DENIED;
        }
        device->ReferenceCount++;
    }
    auto opened = std::make_shared<OpenFile>();
    opened->fileObject = new FILE_OBJECT{};
    opened->fileObject->Type = IO_TYPE_FILE;
    opened->fileObject->Size = sizeof(FILE_OBJECT);
    opened->fileObject->DeviceObject = device;
    if ((options & (FILE_SYNCHRONOUS_IO_ALERT | FILE_SYNCHRONOUS_IO_NONALERT)) != 0)
    {
        opened->fileObject->Flags |= FO_SYNCHRONOUS_IO;
    }
    opened->fileObject->ReadAccess = (access & (GENERIC_READ | GENERIC_ALL)) != 0;
    opened->fileObject->WriteAccess = (access & (GENERIC_WRITE | GENERIC_ALL)) != 0;
    opened->namedDevice = device;
    opened->topDevice = TopOfStack(device);
    IoResult result = SendSynchronous(device, opened->fileObject, [&](PIRP, PIO_STACK_LOCATION stack) {
        stack->MajorFunction = IRP_MJ_CREATE;
        stack->Parameters.Create.ShareAccess = static_cast<USHORT>(shareAccess);
        stack->Parameters.Create.Options = (static_cast<ULONG>(FILE_OPEN) << 24) | (options & 0x00FFFFFF);
    });
    if (!NT_SUCCESS(result.status))
    {
        delete opened->fileObject;
        {
            std::lock_guard<std::mutex> guard(m_lock);
            device->ReferenceCount--;
        }
        ReleaseDeviceIfUnused(device);
        return result.status;
    }
    *file = opened;
    return STATUS_SUCCESS;
}

NTSTATUS IoManager::Close(const std::shared_ptr<OpenFile>& file)
{
    if (file == nullptr || file->closed)
    {
        return STATUS_INVALID_HANDLE;
    }
    Cleanup(file);
    ReleaseFile(file);
    return STATUS_SUCCESS;
}

void IoManager::Cleanup(const std::shared_ptr<OpenFile>& file)
{
    file->closed = true;
    SendSynchronous(file->namedDevice, file->fileObject,
                    [](PIRP, PIO_STACK_LOCATION stack) { stack->MajorFunction = IRP_MJ_CLEANUP; });
}

void IoManager::ReleaseFile(const std::shared_ptr<OpenFile>& file)
{
    SendSynchronous(file->namedDevice, file->fileObject,
                    [](PIRP, PIO_STACK_LOCATION stack) { stack->MajorFunction = IRP_MJ_CLOSE; });
    delete file->fileObject;
    file->fileObject = nullptr;
    PDEVICE_OBJECT bottom = nullptr;
    {
        std::lock_guard<std::mutex> guard(m_lock);
        if (--file->namedDevice->ReferenceCount == 0)
        {
            bottom = file->namedDevice;
            while (Info(bottom).lowerDevice != nullptr)
            {
                bottom = Info(bottom).lowerDevice;
            }
        }
    }
    // The last close may let a removal that waited for it go ahead, which deletes the device.
    if (bottom != nullptr && System::Current().Pnp().StackClosed(bottom))
    {
        return;
    }
    // A device removed while the file was open goes with it, and its driver may unload then.
    PDRIVER_OBJECT driver = file->namedDevice->DriverObject;
    bool removed = false;
    {
        std::lock_guard<std::mutex> guard(m_lock);
        removed = Info(file->namedDevice).deleted;
    }
    ReleaseDeviceIfUnused(file->namedDevice);
    if (removed)
    {
        System::Current().Pnp().DeviceObjectReleased(driver);
    }
}

LONG IoManager::OpenCountOfStack(PDEVICE_OBJECT bottom) const
{
    std::lock_guard<std::mutex> guard(m_lock);
    LONG count = 0;
    for (PDEVICE_OBJECT device = bottom; device != nullptr; device = device->AttachedDevice)
    {
        count += device->ReferenceCount;
    }
    return count;
}

// Buffered I/O: the request works on a system buffer; the caller's buffer is copied in before and
// out after, as many bytes as the request reports.
IoResult IoManager::Read(const std::shared_ptr<OpenFile>& file, void* buffer, ULONG length)
{
    std::vector<uint8_t> system(length == 0 ? 1 : length);
    IoResult result =
        SendSynchronous(file->namedDevice, file->fileObject, [&](PIRP irp, PIO_STACK_LOCATION stack) {
            stack->MajorFunction = IRP_MJ_READ;
            stack->Parameters.Read.Length = length;
            irp->AssociatedIrp.SystemBuffer = system.data();
            irp->UserBuffer = buffer;
            irp->Flags = IRP_BUFFERED_IO | IRP_INPUT_OPERATION;
        });
    if (NT_SUCCESS(result.status) && result.information <= length)
    {
        memcpy(buffer, system.data(), result.information);
    }
    return result;
}

IoResult IoManager::Write(const std::shared_ptr<OpenFile>& file, const void* buffer, ULONG length)
{
    std::vector<uint8_t> system(length == 0 ? 1 : length);
    if (length != 0)
    {
        memcpy(system.data(), buffer, length);
    }
    return SendSynchronous(file->namedDevice, file->fileObject, [&](PIRP irp, PIO_STACK_LOCATION stack) {
        stack->MajorFunction = IRP_MJ_WRITE;
        stack->Parameters.Write.Length = length;
        irp->AssociatedIrp.SystemBuffer = system.data();
        irp->Flags = IRP_BUFFERED_IO;
    });
}

IoResult IoManager::DeviceControl(const std::shared_ptr<OpenFile>& file, ULONG code, const void* input,
                                  ULONG inputLength, void* output, ULONG outputLength, bool internal)
{
    std::vector<uint8_t> system(std::max<ULONG>(std::max(inputLength, outputLength), 1));
    if (inputLength != 0)
    {
        memcpy(system.data(), input, inputLength);
    }
    IoResult result =
        SendSynchronous(file->namedDevice, file->fileObject, [&](PIRP irp, PIO_STACK_LOCATION stack) {
            stack->MajorFunction = internal ? IRP_MJ_INTERNAL_DEVICE_CONTROL : IRP_MJ_DEVICE_CONTROL;
            stack->Parameters.DeviceIoControl.IoControlCode = code;
            stack->Parameters.DeviceIoControl.InputBufferLength = inputLength;
            stack->Parameters.DeviceIoControl.OutputBufferLength = outputLength;
            irp->AssociatedIrp.SystemBuffer = system.data();
            irp->UserBuffer = output;
            irp->Flags = IRP_BUFFERED_IO;
        });
    if (!NT_ERROR(result.status) && output != nullptr)
    {
        memcpy(output, system.data(), std::min<ULONG_PTR>(result.information, outputLength));
    }
    return result;
}

IoResult IoManager::QueryInformation(const std::shared_ptr<OpenFile>& file, FILE_INFORMATION_CLASS infoClass,
                                     void* buffer, ULONG length)
{
    std::vector<uint8_t> system(length == 0 ? 1 : length);
    IoResult result =
        SendSynchronous(file->namedDevice, file->fileObject, [&](PIRP irp, PIO_STACK_LOCATION stack) {
            stack->MajorFunction = IRP_MJ_QUERY_INFORMATION;
            stack->Parameters.QueryFile.Length = length;
            stack->Parameters.QueryFile.FileInformationClass = infoClass;
            irp->AssociatedIrp.SystemBuffer = system.data();
            irp->Flags = IRP_BUFFERED_IO | IRP_INPUT_OPERATION;
        });
    if (NT_SUCCESS(result.status))
    {
        memcpy(buffer, system.data(), std::min<ULONG_PTR>(result.information, length));
    }
    return result;
}

IoResult IoManager::SetInformation(const std::shared_ptr<OpenFile>& file, FILE_INFORMATION_CLASS infoClass,
                                   const void* buffer, ULONG length)
{
    std::vector<uint8_t> system(length == 0 ? 1 : length);
    if (length != 0)
    {
        memcpy(system.data(), buffer, length);
    }
    return SendSynchronous(file->namedDevice, file->fileObject, [&](PIRP irp, PIO_STACK_LOCATION stack) {
        stack->MajorFunction = IRP_MJ_SET_INFORMATION;
        stack->Parameters.SetFile.Length = length;
        stack->Parameters.SetFile.FileInformationClass = infoClass;
        irp->AssociatedIrp.SystemBuffer = system.data();
        irp->Flags = IRP_BUFFERED_IO;
    });
}

IoResult IoManager::Flush(const std::shared_ptr<OpenFile>& file)
{
    return SendSynchronous(file->namedDevice, file->fileObject, [](PIRP, PIO_STACK_LOCATION stack) {
        stack->MajorFunction = IRP_MJ_FLUSH_BUFFERS;
    });
}

} // namespace winsim::kernel

using namespace winsim::kernel;

namespace
{
IoManager& Io()
{
    return System::Current().Io();
}
} // namespace

extern "C"
{

    NTSTATUS IofCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp)
    {
        return Io().CallDriver(DeviceObject, Irp);
    }

    VOID IofCompleteRequest(PIRP Irp, CCHAR)
    {
        Io().CompleteRequest(Irp);
    }

    PIRP IoAllocateIrp(CCHAR StackSize, BOOLEAN)
    {
        return Io().AllocateIrp(StackSize);
    }

    VOID IoFreeIrp(PIRP Irp)
    {
        Io().FreeIrp(Irp);
    }

    VOID IoReuseIrp(PIRP Irp, NTSTATUS Iostatus)
    {
        Io().ReuseIrp(Irp, Iostatus);
    }

    BOOLEAN IoCancelIrp(PIRP Irp)
    {
        return Io().CancelIrp(Irp) ? TRUE : FALSE;
    }

    VOID IoAcquireCancelSpinLock(PKIRQL Irql)
    {
        *Irql = KeAcquireSpinLockRaiseToDpc(Io().CancelLock());
    }

    VOID IoReleaseCancelSpinLock(KIRQL Irql)
    {
        KeReleaseSpinLock(Io().CancelLock(), Irql);
    }

    NTSTATUS IoCreateDevice(PDRIVER_OBJECT DriverObject, ULONG DeviceExtensionSize,
                            PUNICODE_STRING DeviceName, DEVICE_TYPE DeviceType, ULONG DeviceCharacteristics,
                            BOOLEAN Exclusive, PDEVICE_OBJECT* DeviceObject)
    {
        return Io().CreateDevice(DriverObject, DeviceExtensionSize, DeviceName, DeviceType,
                                 DeviceCharacteristics, Exclusive != FALSE, DeviceObject);
    }

    VOID IoDeleteDevice(PDEVICE_OBJECT DeviceObject)
    {
        Io().DeleteDevice(DeviceObject);
    }

    PDEVICE_OBJECT IoAttachDeviceToDeviceStack(PDEVICE_OBJECT SourceDevice, PDEVICE_OBJECT TargetDevice)
    {
        return Io().AttachDevice(SourceDevice, TargetDevice);
    }

    VOID IoDetachDevice(PDEVICE_OBJECT TargetDevice)
    {
        Io().DetachDevice(TargetDevice);
    }

    PDEVICE_OBJECT IoGetAttachedDeviceReference(PDEVICE_OBJECT DeviceObject)
    {
        return IoManager::AttachedDeviceReference(DeviceObject);
    }

    // Object references keep a deleted device object's memory alive; other object types are not
    // reference counted by the simulated object manager.
    VOID ObfReferenceObject(PVOID Object)
    {
        auto* header = static_cast<CSHORT*>(Object);
        if (*header == IO_TYPE_DEVICE)
        {
            IoManager::ReferenceDevice(static_cast<PDEVICE_OBJECT>(Object));
        }
    }

    VOID ObfDereferenceObject(PVOID Object)
    {
        auto* header = static_cast<CSHORT*>(Object);
        if (*header == IO_TYPE_DEVICE)
        {
            Io().DereferenceDevice(static_cast<PDEVICE_OBJECT>(Object));
        }
    }

    NTSTATUS IoCreateSymbolicLink(PUNICODE_STRING SymbolicLinkName, PUNICODE_STRING DeviceName)
    {
        return System::Current().Namespace().CreateLink(
            winsim::View(SymbolicLinkName->Buffer, SymbolicLinkName->Length / sizeof(WCHAR)),
            winsim::View(DeviceName->Buffer, DeviceName->Length / sizeof(WCHAR)));
    }

    NTSTATUS IoDeleteSymbolicLink(PUNICODE_STRING SymbolicLinkName)
    {
        return System::Current().Namespace().DeleteLink(
            winsim::View(SymbolicLinkName->Buffer, SymbolicLinkName->Length / sizeof(WCHAR)));
    }

} // extern "C"
