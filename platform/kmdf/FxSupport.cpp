// Timers, work items, locks, collections, strings, memory and registry keys of the framework.
#include "FxDriver.h"

#include "kernel/Scheduler.h"
#include "kernel/System.h"
#include "kernel/Thread.h"
#include "kernel/Verifier.h"

#include <sched.h>
#include <string.h>

namespace winsim::wdf
{

using winsim::VerifierRule;
using winsim::VerifierStop;
using winsim::kernel::CurrentIrql;
using winsim::kernel::RequireIrqlAtMost;

namespace
{
// Reference tags the framework uses for its own references.
PVOID const TimerArmedTag = reinterpret_cast<PVOID>(0x54696d72); // while a deleted timer drains its DPC
PVOID const WorkQueuedTag = reinterpret_cast<PVOID>(0x576f726b); // while a work item is queued
PVOID const CollectionTag = reinterpret_cast<PVOID>(0x436f6c6c); // while an object is in a collection

// The nearest device above an object in its parent chain.
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
} // namespace

// --- timers -----------------------------------------------------------------------------------

FxTimer::FxTimer(FxDriver* driver, const WDF_TIMER_CONFIG& config)
    : FxObject(FxType::Timer, driver), m_config(config)
{
}

NTSTATUS FxTimer::Setup(const char*)
{
    KeInitializeTimerEx(&m_timer, NotificationTimer);
    KeInitializeDpc(&m_dpc, TimerDpc, this);
    FxObject* parent = Parent();
    if (m_config.AutomaticSerialization && parent != nullptr &&
        parent->SyncScope() == WdfSynchronizationScopeDevice)
    {
        FxDevice* device = DeviceAbove(parent);
        if (device != nullptr)
        {
            m_serializeWith = &device->SyncLock();
        }
    }
    return STATUS_SUCCESS;
}

void FxTimer::TimerDpc(PKDPC, PVOID context, PVOID, PVOID)
{
    auto* timer = static_cast<FxTimer*>(context);
    if (timer->m_serializeWith != nullptr)
    {
        timer->m_serializeWith->Acquire();
    }
    timer->m_config.EvtTimerFunc(reinterpret_cast<WDFTIMER>(timer->Handle()));
    if (timer->m_serializeWith != nullptr)
    {
        timer->m_serializeWith->Release();
    }
}

bool FxTimer::Start(LONGLONG dueTime)
{
    LARGE_INTEGER due;
    due.QuadPart = dueTime;
    return KeSetTimerEx(&m_timer, due, static_cast<LONG>(m_config.Period), &m_dpc) != FALSE;
}

bool FxTimer::Stop(bool wait)
{
    if (wait)
    {
        RequireIrqlAtMost(PASSIVE_LEVEL, "WdfTimerStop(Wait=TRUE)");
    }
    bool cancelled = KeCancelTimer(&m_timer) != FALSE;
    if (wait)
    {
        KeFlushQueuedDpcs();
    }
    return cancelled;
}

// Once deleted, the timer's callback never runs again: the timer is cancelled, a pending DPC is
// taken back, and a DPC already running is waited for before the memory can go.
void FxTimer::OnDispose()
{
    KeCancelTimer(&m_timer);
    KeRemoveQueueDpc(&m_dpc);
    if (CurrentIrql() == PASSIVE_LEVEL)
    {
        KeFlushQueuedDpcs();
        return;
    }
    AddRef(TimerArmedTag, __LINE__, __FILE__);
    winsim::kernel::System::Current().GetScheduler().QueueWork([this] {
        KeFlushQueuedDpcs();
        Release(TimerArmedTag, __LINE__, __FILE__);
    });
}

// --- work items -------------------------------------------------------------------------------

FxWorkItem::FxWorkItem(FxDriver* driver, const WDF_WORKITEM_CONFIG& config)
    : FxObject(FxType::WorkItem, driver), m_config(config)
{
}

NTSTATUS FxWorkItem::Setup(const char*)
{
    FxObject* parent = Parent();
    if (parent == nullptr || DeviceAbove(parent) == nullptr)
    {
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    if (m_config.AutomaticSerialization && parent->SyncScope() != WdfSynchronizationScopeNone &&
        parent->ExecutionLevel() != WdfExecutionLevelPassive)
    {
        return STATUS_WDF_INCOMPATIBLE_EXECUTION_LEVEL;
    }
    return STATUS_SUCCESS;
}

void FxWorkItem::Enqueue()
{
    {
        std::lock_guard<std::mutex> guard(m_state->lock);
        if (m_state->queued)
        {
            return;
        }
        m_state->queued = true;
    }
    AddRef(WorkQueuedTag, __LINE__, __FILE__);
    std::shared_ptr<RunState> state = m_state;
    winsim::kernel::System::Current().GetScheduler().QueueWork([this, state] { Run(state); });
}

void FxWorkItem::Run(const std::shared_ptr<RunState>& state)
{
    {
        std::lock_guard<std::mutex> guard(state->lock);
        state->queued = false;
        state->running = true;
        state->runner = std::this_thread::get_id();
    }
    if (!IsDisposed())
    {
        m_config.EvtWorkItemFunc(reinterpret_cast<WDFWORKITEM>(Handle()));
    }
    // The queue's reference goes before the item reports idle, so that a flush or a deletion
    // that waited for it leaves no framework reference behind (the leak check at unload sees
    // none). The release may destroy the item: only the shared state is used afterwards.
    Release(WorkQueuedTag, __LINE__, __FILE__);
    {
        std::lock_guard<std::mutex> guard(state->lock);
        state->running = false;
        state->runner = std::thread::id();
    }
    state->idle.notify_all();
}

void FxWorkItem::WaitUntilIdle()
{
    std::shared_ptr<RunState> state = m_state;
    std::unique_lock<std::mutex> lock(state->lock);
    state->idle.wait(lock, [&] { return !state->queued && !state->running; });
}

void FxWorkItem::Flush()
{
    RequireIrqlAtMost(PASSIVE_LEVEL, "WdfWorkItemFlush");
    WaitUntilIdle();
}

void FxWorkItem::OnDispose()
{
    // Deleting a work item waits for its callback, unless the callback deletes it itself.
    if (CurrentIrql() != PASSIVE_LEVEL)
    {
        return;
    }
    {
        std::lock_guard<std::mutex> guard(m_state->lock);
        if (m_state->running && m_state->runner == std::this_thread::get_id())
        {
            return;
        }
    }
    WaitUntilIdle();
}

// --- locks ------------------------------------------------------------------------------------

void FxSpinLock::Acquire()
{
    KIRQL old = KeAcquireSpinLockRaiseToDpc(&m_lock);
    m_oldIrql = old;
    NoteLockAcquired(this, "WDFSPINLOCK");
}

void FxSpinLock::Release()
{
    NoteLockReleased(this);
    KIRQL old = m_oldIrql;
    KeReleaseSpinLock(&m_lock, old);
}

void FxSpinLock::OnDispose()
{
    NoteLockDestroyed(this);
}

FxWaitLock::FxWaitLock(FxDriver* driver) : FxObject(FxType::WaitLock, driver)
{
    KeInitializeEvent(&m_event, SynchronizationEvent, TRUE);
}

NTSTATUS FxWaitLock::Acquire(PLONGLONG timeout)
{
    bool tryOnly = timeout != nullptr && *timeout == 0;
    if (!tryOnly && CurrentIrql() > PASSIVE_LEVEL)
    {
        VerifierStop(
            VerifierRule::WaitAtDispatch,
            "WdfWaitLockAcquire on WDFWAITLOCK %p at IRQL %u: a wait lock is taken at PASSIVE_LEVEL only",
            static_cast<void*>(this), static_cast<unsigned>(CurrentIrql()));
    }
    LARGE_INTEGER due;
    if (timeout != nullptr)
    {
        due.QuadPart = *timeout;
    }
    NTSTATUS status =
        KeWaitForSingleObject(&m_event, Executive, KernelMode, FALSE, timeout != nullptr ? &due : nullptr);
    if (status != STATUS_SUCCESS)
    {
        return STATUS_TIMEOUT;
    }
    m_owner.store(&winsim::kernel::CurrentThread());
    NoteLockAcquired(this, "WDFWAITLOCK");
    return STATUS_SUCCESS;
}

void FxWaitLock::Release()
{
    if (m_owner.load() != &winsim::kernel::CurrentThread())
    {
        VerifierStop(VerifierRule::SpinLockMisuse,
                     "WdfWaitLockRelease on WDFWAITLOCK %p, which this thread does not hold",
                     static_cast<void*>(this));
    }
    m_owner.store(nullptr);
    NoteLockReleased(this);
    KeSetEvent(&m_event, IO_NO_INCREMENT, FALSE);
}

void FxWaitLock::OnDispose()
{
    NoteLockDestroyed(this);
}

// --- collections, strings, memory, keys -------------------------------------------------------

NTSTATUS FxCollection::Add(FxObject* item)
{
    item->AddRef(CollectionTag, __LINE__, __FILE__);
    std::lock_guard<std::mutex> guard(m_lock);
    m_items.push_back(item);
    return STATUS_SUCCESS;
}

void FxCollection::Remove(FxObject* item, const char* routine)
{
    {
        std::lock_guard<std::mutex> guard(m_lock);
        auto it = std::find(m_items.begin(), m_items.end(), item);
        if (it == m_items.end())
        {
            VerifierStop(VerifierRule::ObjectMisuse, "%s: the object %p is not in the collection", routine,
                         static_cast<void*>(item));
        }
        m_items.erase(it);
    }
    item->Release(CollectionTag, __LINE__, __FILE__);
}

void FxCollection::RemoveAt(ULONG index, const char* routine)
{
    FxObject* item = At(index);
    if (item == nullptr)
    {
        VerifierStop(VerifierRule::ObjectMisuse, "%s: index %u is past the end of the collection", routine,
                     index);
    }
    Remove(item, routine);
}

FxObject* FxCollection::At(ULONG index)
{
    std::lock_guard<std::mutex> guard(m_lock);
    return index < m_items.size() ? m_items[index] : nullptr;
}

ULONG FxCollection::Count()
{
    std::lock_guard<std::mutex> guard(m_lock);
    return static_cast<ULONG>(m_items.size());
}

void FxCollection::OnDispose()
{
    std::vector<FxObject*> items;
    {
        std::lock_guard<std::mutex> guard(m_lock);
        items.swap(m_items);
    }
    for (FxObject* item : items)
    {
        item->Release(CollectionTag, __LINE__, __FILE__);
    }
}

void FxString::Assign(const char16_t* text, size_t length)
{
    m_text.assign(text, length);
}

void FxString::Get(PUNICODE_STRING target)
{
    target->Buffer = reinterpret_cast<PWCH>(m_text.data());
    target->Length = static_cast<USHORT>(m_text.size() * sizeof(WCHAR));
    target->MaximumLength = target->Length;
}

FxMemory::~FxMemory()
{
    if (m_owned && m_buffer != nullptr)
    {
        ExFreePoolWithTag(m_buffer, m_tag);
    }
}

void FxKey::OnDispose()
{
    ZwClose(m_handle);
}

} // namespace winsim::wdf

using namespace winsim::wdf;
using winsim::VerifierRule;
using winsim::VerifierStop;
using winsim::kernel::RequireIrqlAtMost;

namespace
{
template <typename T>
NTSTATUS Publish(T* object, PWDF_OBJECT_ATTRIBUTES attributes, FxObject* defaultParent, const char* routine)
{
    NTSTATUS status = object->Initialize(attributes, defaultParent, routine);
    if (!NT_SUCCESS(status))
    {
        FxObject::Discard(object);
    }
    return status;
}

// Creates an object whose default parent is the driver and hands out its handle.
template <typename T, typename Handle>
NTSTATUS CreateDriverOwned(PWDF_OBJECT_ATTRIBUTES attributes, Handle* handle, const char* routine)
{
    RequireIrqlAtMost(DISPATCH_LEVEL, routine);
    FxDriver* driver = FxDriver::Current(routine);
    auto* object = new T(driver);
    NTSTATUS status = Publish(object, attributes, driver, routine);
    if (NT_SUCCESS(status))
    {
        *handle = reinterpret_cast<Handle>(object->Handle());
    }
    return status;
}

NTSTATUS OpenKeyObject(HANDLE handle, PWDF_OBJECT_ATTRIBUTES attributes, FxObject* defaultParent, WDFKEY* key,
                       const char* routine)
{
    auto* fx = new FxKey(defaultParent->Driver(), handle);
    NTSTATUS status = Publish(fx, attributes, defaultParent, routine);
    if (!NT_SUCCESS(status))
    {
        ZwClose(handle);
        return status;
    }
    *key = reinterpret_cast<WDFKEY>(fx->Handle());
    return STATUS_SUCCESS;
}

FxKey* KeyOf(WDFKEY key, const char* routine)
{
    return FxObject::Get<FxKey>(key, FxType::Key, routine);
}

// Reads a whole value through ZwQueryValueKey.
NTSTATUS QueryRaw(WDFKEY Key, PCUNICODE_STRING ValueName, std::vector<uint8_t>& data, ULONG* type,
                  const char* routine)
{
    FxKey* key = KeyOf(Key, routine);
    ULONG needed = 0;
    NTSTATUS status = ZwQueryValueKey(key->KeyHandle(), const_cast<PUNICODE_STRING>(ValueName),
                                      KeyValuePartialInformation, nullptr, 0, &needed);
    if (status != STATUS_BUFFER_TOO_SMALL && status != STATUS_BUFFER_OVERFLOW)
    {
        return NT_SUCCESS(status) ? STATUS_UNSUCCESSFUL : status;
    }
    std::vector<uint8_t> buffer(needed);
    status = ZwQueryValueKey(key->KeyHandle(), const_cast<PUNICODE_STRING>(ValueName),
                             KeyValuePartialInformation, buffer.data(), needed, &needed);
    if (!NT_SUCCESS(status))
    {
        return status;
    }
    auto* info = reinterpret_cast<PKEY_VALUE_PARTIAL_INFORMATION>(buffer.data());
    data.assign(info->Data, info->Data + info->DataLength);
    *type = info->Type;
    return STATUS_SUCCESS;
}

bool AtPassive()
{
    return winsim::kernel::CurrentIrql() == PASSIVE_LEVEL;
}
} // namespace

extern "C"
{

    // --- timers and work items ---

    NTSTATUS WdfTimerCreate(PWDF_TIMER_CONFIG Config, PWDF_OBJECT_ATTRIBUTES Attributes, WDFTIMER* Timer)
    {
        RequireIrqlAtMost(DISPATCH_LEVEL, "WdfTimerCreate");
        if (Config == nullptr || Config->Size != sizeof(WDF_TIMER_CONFIG) || Config->EvtTimerFunc == nullptr)
        {
            return STATUS_INVALID_PARAMETER;
        }
        if (Attributes == nullptr || Attributes->ParentObject == nullptr)
        {
            return STATUS_WDF_PARENT_NOT_SPECIFIED;
        }
        FxObject* parent = FxObject::FromHandle(Attributes->ParentObject, "WdfTimerCreate");
        auto* timer = new FxTimer(parent->Driver(), *Config);
        NTSTATUS status = Publish(timer, Attributes, parent, "WdfTimerCreate");
        if (!NT_SUCCESS(status))
        {
            return status;
        }
        timer->Setup("WdfTimerCreate");
        *Timer = reinterpret_cast<WDFTIMER>(timer->Handle());
        return STATUS_SUCCESS;
    }

    BOOLEAN WdfTimerStart(WDFTIMER Timer, LONGLONG DueTime)
    {
        RequireIrqlAtMost(DISPATCH_LEVEL, "WdfTimerStart");
        return FxObject::Get<FxTimer>(Timer, FxType::Timer, "WdfTimerStart")->Start(DueTime) ? TRUE : FALSE;
    }

    BOOLEAN WdfTimerStop(WDFTIMER Timer, BOOLEAN Wait)
    {
        RequireIrqlAtMost(DISPATCH_LEVEL, "WdfTimerStop");
        return FxObject::Get<FxTimer>(Timer, FxType::Timer, "WdfTimerStop")->Stop(Wait != FALSE) ? TRUE
                                                                                                 : FALSE;
    }

    WDFOBJECT WdfTimerGetParentObject(WDFTIMER Timer)
    {
        FxObject* parent = FxObject::Get<FxTimer>(Timer, FxType::Timer, "WdfTimerGetParentObject")->Parent();
        return parent != nullptr ? parent->Handle() : nullptr;
    }

    NTSTATUS WdfWorkItemCreate(PWDF_WORKITEM_CONFIG Config, PWDF_OBJECT_ATTRIBUTES Attributes,
                               WDFWORKITEM* WorkItem)
    {
        RequireIrqlAtMost(DISPATCH_LEVEL, "WdfWorkItemCreate");
        if (Config == nullptr || Config->Size != sizeof(WDF_WORKITEM_CONFIG) ||
            Config->EvtWorkItemFunc == nullptr)
        {
            return STATUS_INVALID_PARAMETER;
        }
        if (Attributes == nullptr || Attributes->ParentObject == nullptr)
        {
            return STATUS_WDF_PARENT_NOT_SPECIFIED;
        }
        FxObject* parent = FxObject::FromHandle(Attributes->ParentObject, "WdfWorkItemCreate");
        auto* item = new FxWorkItem(parent->Driver(), *Config);
        NTSTATUS status = Publish(item, Attributes, parent, "WdfWorkItemCreate");
        if (!NT_SUCCESS(status))
        {
            return status;
        }
        status = item->Setup("WdfWorkItemCreate");
        if (!NT_SUCCESS(status))
        {
            item->DisposeWithoutCallbacks();
            return status;
        }
        *WorkItem = reinterpret_cast<WDFWORKITEM>(item->Handle());
        return STATUS_SUCCESS;
    }

    VOID WdfWorkItemEnqueue(WDFWORKITEM WorkItem)
    {
        RequireIrqlAtMost(DISPATCH_LEVEL, "WdfWorkItemEnqueue");
        FxObject::Get<FxWorkItem>(WorkItem, FxType::WorkItem, "WdfWorkItemEnqueue")->Enqueue();
    }

    WDFOBJECT WdfWorkItemGetParentObject(WDFWORKITEM WorkItem)
    {
        FxObject* parent =
            FxObject::Get<FxWorkItem>(WorkItem, FxType::WorkItem, "WdfWorkItemGetParentObject")->Parent();
        return parent != nullptr ? parent->Handle() : nullptr;
    }

    VOID WdfWorkItemFlush(WDFWORKITEM WorkItem)
    {
        FxObject::Get<FxWorkItem>(WorkItem, FxType::WorkItem, "WdfWorkItemFlush")->Flush();
    }

    // --- locks ---

    NTSTATUS WdfSpinLockCreate(PWDF_OBJECT_ATTRIBUTES SpinLockAttributes, WDFSPINLOCK* SpinLock)
    {
        return CreateDriverOwned<FxSpinLock>(SpinLockAttributes, SpinLock, "WdfSpinLockCreate");
    }

    VOID WdfSpinLockAcquire(WDFSPINLOCK SpinLock)
    {
        FxObject::Get<FxSpinLock>(SpinLock, FxType::SpinLock, "WdfSpinLockAcquire")->Acquire();
    }

    VOID WdfSpinLockRelease(WDFSPINLOCK SpinLock)
    {
        FxObject::Get<FxSpinLock>(SpinLock, FxType::SpinLock, "WdfSpinLockRelease")->Release();
    }

    NTSTATUS WdfWaitLockCreate(PWDF_OBJECT_ATTRIBUTES LockAttributes, WDFWAITLOCK* Lock)
    {
        return CreateDriverOwned<FxWaitLock>(LockAttributes, Lock, "WdfWaitLockCreate");
    }

    NTSTATUS WdfWaitLockAcquire(WDFWAITLOCK Lock, PLONGLONG Timeout)
    {
        return FxObject::Get<FxWaitLock>(Lock, FxType::WaitLock, "WdfWaitLockAcquire")->Acquire(Timeout);
    }

    VOID WdfWaitLockRelease(WDFWAITLOCK Lock)
    {
        FxObject::Get<FxWaitLock>(Lock, FxType::WaitLock, "WdfWaitLockRelease")->Release();
    }

    // --- collections ---

    NTSTATUS WdfCollectionCreate(PWDF_OBJECT_ATTRIBUTES CollectionAttributes, WDFCOLLECTION* Collection)
    {
        return CreateDriverOwned<FxCollection>(CollectionAttributes, Collection, "WdfCollectionCreate");
    }

    ULONG WdfCollectionGetCount(WDFCOLLECTION Collection)
    {
        return FxObject::Get<FxCollection>(Collection, FxType::Collection, "WdfCollectionGetCount")->Count();
    }

    NTSTATUS WdfCollectionAdd(WDFCOLLECTION Collection, WDFOBJECT Object)
    {
        auto* collection = FxObject::Get<FxCollection>(Collection, FxType::Collection, "WdfCollectionAdd");
        return collection->Add(FxObject::FromHandle(Object, "WdfCollectionAdd"));
    }

    VOID WdfCollectionRemove(WDFCOLLECTION Collection, WDFOBJECT Item)
    {
        auto* collection = FxObject::Get<FxCollection>(Collection, FxType::Collection, "WdfCollectionRemove");
        collection->Remove(FxObject::FromHandle(Item, "WdfCollectionRemove"), "WdfCollectionRemove");
    }

    VOID WdfCollectionRemoveItem(WDFCOLLECTION Collection, ULONG Index)
    {
        FxObject::Get<FxCollection>(Collection, FxType::Collection, "WdfCollectionRemoveItem")
            ->RemoveAt(Index, "WdfCollectionRemoveItem");
    }

    WDFOBJECT WdfCollectionGetItem(WDFCOLLECTION Collection, ULONG Index)
    {
        FxObject* item =
            FxObject::Get<FxCollection>(Collection, FxType::Collection, "WdfCollectionGetItem")->At(Index);
        return item != nullptr ? item->Handle() : nullptr;
    }

    WDFOBJECT WdfCollectionGetFirstItem(WDFCOLLECTION Collection)
    {
        return WdfCollectionGetItem(Collection, 0);
    }

    WDFOBJECT WdfCollectionGetLastItem(WDFCOLLECTION Collection)
    {
        ULONG count = WdfCollectionGetCount(Collection);
        return count == 0 ? nullptr : WdfCollectionGetItem(Collection, count - 1);
    }

    // --- strings ---

    NTSTATUS WdfStringCreate(PCUNICODE_STRING UnicodeString, PWDF_OBJECT_ATTRIBUTES StringAttributes,
                             WDFSTRING* String)
    {
        RequireIrqlAtMost(PASSIVE_LEVEL, "WdfStringCreate");
        FxDriver* driver = FxDriver::Current("WdfStringCreate");
        auto* string = new FxString(driver);
        if (UnicodeString != nullptr && UnicodeString->Buffer != nullptr)
        {
            string->Assign(reinterpret_cast<const char16_t*>(UnicodeString->Buffer),
                           UnicodeString->Length / sizeof(WCHAR));
        }
        NTSTATUS status = Publish(string, StringAttributes, driver, "WdfStringCreate");
        if (NT_SUCCESS(status))
        {
            *String = reinterpret_cast<WDFSTRING>(string->Handle());
        }
        return status;
    }

    VOID WdfStringGetUnicodeString(WDFSTRING String, PUNICODE_STRING UnicodeString)
    {
        FxObject::Get<FxString>(String, FxType::String, "WdfStringGetUnicodeString")->Get(UnicodeString);
    }

    // --- memory ---

    NTSTATUS WdfMemoryCreate(PWDF_OBJECT_ATTRIBUTES Attributes, POOL_TYPE PoolType, ULONG PoolTag,
                             size_t BufferSize, WDFMEMORY* Memory, PVOID* Buffer)
    {
        RequireIrqlAtMost((PoolType & 1) != 0 ? APC_LEVEL : DISPATCH_LEVEL, "WdfMemoryCreate");
        if (BufferSize == 0)
        {
            return STATUS_INVALID_PARAMETER;
        }
        FxDriver* driver = FxDriver::Current("WdfMemoryCreate");
        ULONG tag = PoolTag != 0
                        ? PoolTag
                        : (driver->Config().DriverPoolTag != 0 ? driver->Config().DriverPoolTag : 'rDxF');
        void* buffer = ExAllocatePoolWithTag(PoolType, BufferSize, tag);
        if (buffer == nullptr)
        {
            return STATUS_INSUFFICIENT_RESOURCES;
        }
        auto* memory = new FxMemory(driver, buffer, BufferSize, true, tag);
        NTSTATUS status = Publish(memory, Attributes, driver, "WdfMemoryCreate");
        if (!NT_SUCCESS(status))
        {
            return status;
        }
        *Memory = reinterpret_cast<WDFMEMORY>(memory->Handle());
        if (Buffer != nullptr)
        {
            *Buffer = buffer;
        }
        return STATUS_SUCCESS;
    }

    NTSTATUS WdfMemoryCreatePreallocated(PWDF_OBJECT_ATTRIBUTES Attributes, PVOID Buffer, size_t BufferSize,
                                         WDFMEMORY* Memory)
    {
        RequireIrqlAtMost(DISPATCH_LEVEL, "WdfMemoryCreatePreallocated");
        if (Buffer == nullptr || BufferSize == 0)
        {
            return STATUS_INVALID_PARAMETER;
        }
        FxDriver* driver = FxDriver::Current("WdfMemoryCreatePreallocated");
        auto* memory = new FxMemory(driver, Buffer, BufferSize, false, 0);
        NTSTATUS status = Publish(memory, Attributes, driver, "WdfMemoryCreatePreallocated");
        if (NT_SUCCESS(status))
        {
            *Memory = reinterpret_cast<WDFMEMORY>(memory->Handle());
        }
        return status;
    }

    PVOID WdfMemoryGetBuffer(WDFMEMORY Memory, size_t* BufferSize)
    {
        FxMemory* memory = FxObject::Get<FxMemory>(Memory, FxType::Memory, "WdfMemoryGetBuffer");
        if (BufferSize != nullptr)
        {
            *BufferSize = memory->Size();
        }
        return memory->Buffer();
    }

    NTSTATUS WdfMemoryCopyToBuffer(WDFMEMORY SourceMemory, size_t SourceOffset, PVOID Buffer,
                                   size_t NumBytesToCopyTo)
    {
        FxMemory* memory = FxObject::Get<FxMemory>(SourceMemory, FxType::Memory, "WdfMemoryCopyToBuffer");
        if (SourceOffset > memory->Size() || NumBytesToCopyTo > memory->Size() - SourceOffset)
        {
            return STATUS_INVALID_BUFFER_SIZE;
        }
        memcpy(Buffer, static_cast<char*>(memory->Buffer()) + SourceOffset, NumBytesToCopyTo);
        return STATUS_SUCCESS;
    }

    NTSTATUS WdfMemoryCopyFromBuffer(WDFMEMORY DestinationMemory, size_t DestinationOffset, PVOID Buffer,
                                     size_t NumBytesToCopyFrom)
    {
        FxMemory* memory =
            FxObject::Get<FxMemory>(DestinationMemory, FxType::Memory, "WdfMemoryCopyFromBuffer");
        if (DestinationOffset > memory->Size() || NumBytesToCopyFrom > memory->Size() - DestinationOffset)
        {
            return STATUS_INVALID_BUFFER_SIZE;
        }
        memcpy(static_cast<char*>(memory->Buffer()) + DestinationOffset, Buffer, NumBytesToCopyFrom);
        return STATUS_SUCCESS;
    }

    // --- registry ---

    NTSTATUS WdfDriverOpenParametersRegistryKey(WDFDRIVER Driver, ACCESS_MASK DesiredAccess,
                                                PWDF_OBJECT_ATTRIBUTES KeyAttributes, WDFKEY* Key)
    {
        if (!AtPassive())
        {
            return STATUS_INVALID_DEVICE_REQUEST;
        }
        FxDriver* driver =
            FxObject::Get<FxDriver>(Driver, FxType::Driver, "WdfDriverOpenParametersRegistryKey");
        std::u16string path = driver->RegistryPathText() + u"\\Parameters";
        UNICODE_STRING name{static_cast<USHORT>(path.size() * sizeof(WCHAR)),
                            static_cast<USHORT>(path.size() * sizeof(WCHAR)),
                            reinterpret_cast<PWCH>(path.data())};
        OBJECT_ATTRIBUTES attributes;
        InitializeObjectAttributes(&attributes, &name, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, nullptr,
                                   nullptr);
        HANDLE handle = nullptr;
        // The Parameters key is created when it does not exist yet.
        NTSTATUS status =
            ZwCreateKey(&handle, DesiredAccess, &attributes, 0, nullptr, REG_OPTION_NON_VOLATILE, nullptr);
        if (!NT_SUCCESS(status))
        {
            return status;
        }
        return OpenKeyObject(handle, KeyAttributes, driver, Key, "WdfDriverOpenParametersRegistryKey");
    }

    NTSTATUS WdfFdoInitOpenRegistryKey(PWDFDEVICE_INIT DeviceInit, ULONG DeviceInstanceKeyType,
                                       ACCESS_MASK DesiredAccess, PWDF_OBJECT_ATTRIBUTES KeyAttributes,
                                       WDFKEY* Key)
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
        return OpenKeyObject(handle, KeyAttributes, DeviceInit->driver, Key, "WdfFdoInitOpenRegistryKey");
    }

    NTSTATUS WdfDeviceOpenRegistryKey(WDFDEVICE Device, ULONG DeviceInstanceKeyType,
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
        return OpenKeyObject(handle, KeyAttributes, device, Key, "WdfDeviceOpenRegistryKey");
    }

    VOID WdfRegistryClose(WDFKEY Key)
    {
        RequireIrqlAtMost(PASSIVE_LEVEL, "WdfRegistryClose");
        KeyOf(Key, "WdfRegistryClose")->DisposeTree();
    }

    NTSTATUS WdfRegistryQueryValue(WDFKEY Key, PCUNICODE_STRING ValueName, ULONG ValueLength, PVOID Value,
                                   PULONG ValueLengthQueried, PULONG ValueType)
    {
        if (!AtPassive())
        {
            return STATUS_INVALID_DEVICE_REQUEST;
        }
        if (ValueName == nullptr)
        {
            return STATUS_INVALID_PARAMETER;
        }
        std::vector<uint8_t> data;
        ULONG type = REG_NONE;
        NTSTATUS status = QueryRaw(Key, ValueName, data, &type, "WdfRegistryQueryValue");
        if (!NT_SUCCESS(status))
        {
            return status;
        }
        if (ValueLengthQueried != nullptr)
        {
            *ValueLengthQueried = static_cast<ULONG>(data.size());
        }
        if (ValueType != nullptr)
        {
            *ValueType = type;
        }
        if (Value == nullptr)
        {
            return STATUS_SUCCESS;
        }
        if (ValueLength == 0 && !data.empty())
        {
            return STATUS_BUFFER_TOO_SMALL;
        }
        // A buffer too small for the data receives as much as fits.
        size_t copy = std::min<size_t>(ValueLength, data.size());
        memcpy(Value, data.data(), copy);
        return copy < data.size() ? STATUS_BUFFER_OVERFLOW : STATUS_SUCCESS;
    }

    NTSTATUS WdfRegistryQueryULong(WDFKEY Key, PCUNICODE_STRING ValueName, PULONG Value)
    {
        if (!AtPassive())
        {
            return STATUS_INVALID_DEVICE_REQUEST;
        }
        if (ValueName == nullptr || Value == nullptr)
        {
            return STATUS_INVALID_PARAMETER;
        }
        std::vector<uint8_t> data;
        ULONG type = REG_NONE;
        NTSTATUS status = QueryRaw(Key, ValueName, data, &type, "WdfRegistryQueryULong");
        if (!NT_SUCCESS(status))
        {
            return status;
        }
        if (type != REG_DWORD || data.size() != sizeof(ULONG))
        {
            return STATUS_OBJECT_TYPE_MISMATCH;
        }
        memcpy(Value, data.data(), sizeof(ULONG));
        return STATUS_SUCCESS;
    }

    NTSTATUS WdfRegistryQueryUnicodeString(WDFKEY Key, PCUNICODE_STRING ValueName, PUSHORT ValueByteLength,
                                           PUNICODE_STRING Value)
    {
        if (!AtPassive())
        {
            return STATUS_INVALID_DEVICE_REQUEST;
        }
        std::vector<uint8_t> data;
        ULONG type = REG_NONE;
        NTSTATUS status = QueryRaw(Key, ValueName, data, &type, "WdfRegistryQueryUnicodeString");
        if (!NT_SUCCESS(status))
        {
            return status;
        }
        if (type != REG_SZ && type != REG_EXPAND_SZ)
        {
            return STATUS_OBJECT_TYPE_MISMATCH;
        }
        // The stored terminator is not part of the counted string.
        size_t bytes = data.size();
        if (bytes >= sizeof(WCHAR) && data[bytes - 1] == 0 && data[bytes - 2] == 0)
        {
            bytes -= sizeof(WCHAR);
        }
        // ValueByteLength counts the terminating null as well, as Windows documents it.
        if (ValueByteLength != nullptr)
        {
            *ValueByteLength = static_cast<USHORT>(bytes + sizeof(WCHAR));
        }
        if (Value == nullptr)
        {
            return STATUS_SUCCESS;
        }
        if (Value->MaximumLength < bytes)
        {
            return STATUS_BUFFER_OVERFLOW;
        }
        memcpy(Value->Buffer, data.data(), bytes);
        Value->Length = static_cast<USHORT>(bytes);
        return STATUS_SUCCESS;
    }

    NTSTATUS WdfRegistryAssignValue(WDFKEY Key, PCUNICODE_STRING ValueName, ULONG ValueType,
                                    ULONG ValueLength, PVOID Value)
    {
        if (!AtPassive())
        {
            return STATUS_INVALID_DEVICE_REQUEST;
        }
        return ZwSetValueKey(KeyOf(Key, "WdfRegistryAssignValue")->KeyHandle(),
                             const_cast<PUNICODE_STRING>(ValueName), 0, ValueType, Value, ValueLength);
    }

    NTSTATUS WdfRegistryAssignULong(WDFKEY Key, PCUNICODE_STRING ValueName, ULONG Value)
    {
        return WdfRegistryAssignValue(Key, ValueName, REG_DWORD, sizeof(ULONG), &Value);
    }

    NTSTATUS WdfRegistryAssignUnicodeString(WDFKEY Key, PCUNICODE_STRING ValueName, PCUNICODE_STRING Value)
    {
        std::vector<WCHAR> text(Value->Buffer, Value->Buffer + Value->Length / sizeof(WCHAR));
        text.push_back(0);
        return WdfRegistryAssignValue(Key, ValueName, REG_SZ, static_cast<ULONG>(text.size() * sizeof(WCHAR)),
                                      text.data());
    }

    NTSTATUS WdfRegistryRemoveValue(WDFKEY Key, PCUNICODE_STRING ValueName)
    {
        if (!AtPassive())
        {
            return STATUS_INVALID_DEVICE_REQUEST;
        }
        return ZwDeleteValueKey(KeyOf(Key, "WdfRegistryRemoveValue")->KeyHandle(),
                                const_cast<PUNICODE_STRING>(ValueName));
    }

} // extern "C"
