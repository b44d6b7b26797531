// Framework work items and WdfWorkItem*.
#include "FxWorkItem.h"

#include "FxDevice.h"
#include "FxVerifier.h"

namespace winsim::wdf
{

namespace
{
// The queue's reference on a work item while it is queued.
PVOID const WorkQueuedTag = reinterpret_cast<PVOID>(0x576f726b);
} // namespace

FxWorkItem::RunState::RunState()
{
    KeInitializeEvent(&idle, NotificationEvent, TRUE);
}

FxWorkItem::FxWorkItem(FxDriver* driver, const WDF_WORKITEM_CONFIG& config)
    : FxObject(FxType::WorkItem, driver), m_config(config)
{
}

FxWorkItem::~FxWorkItem()
{
    if (m_ioWorkItem != nullptr)
    {
        IoFreeWorkItem(m_ioWorkItem);
    }
}

NTSTATUS FxWorkItem::Setup(const char*)
{
    FxObject* parent = Parent();
    FxDevice* device = parent != nullptr ? DeviceAbove(parent) : nullptr;
    if (device == nullptr)
    {
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    if (m_config.AutomaticSerialization && parent->SyncScope() != WdfSynchronizationScopeNone &&
        parent->ExecutionLevel() != WdfExecutionLevelPassive)
    {
        return STATUS_WDF_INCOMPATIBLE_EXECUTION_LEVEL;
    }
    // The item runs through a work item of its device, which keeps the device object while queued.
    m_ioWorkItem = IoAllocateWorkItem(device->Fdo());
    if (m_ioWorkItem == nullptr)
    {
        return STATUS_INSUFFICIENT_RESOURCES;
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
        KeClearEvent(&m_state->idle);
    }
    AddRef(WorkQueuedTag, __LINE__, __FILE__);
    IoQueueWorkItem(m_ioWorkItem, Routine, DelayedWorkQueue, this);
}

void FxWorkItem::Routine(PDEVICE_OBJECT, PVOID context)
{
    auto* item = static_cast<FxWorkItem*>(context);
    // The queue's reference keeps the item until Run releases it; the state outlives it.
    std::shared_ptr<RunState> state = item->m_state;
    item->Run(state);
}

void FxWorkItem::Run(const std::shared_ptr<RunState>& state)
{
    {
        std::lock_guard<std::mutex> guard(state->lock);
        state->queued = false;
        state->running = true;
        state->runner = KeGetCurrentThread();
    }
    if (!IsDisposed())
    {
        m_config.EvtWorkItemFunc(reinterpret_cast<WDFWORKITEM>(Handle()));
    }
    // The queue's reference goes before the item reports idle, so that a flush or a deletion
    // that waited for it leaves no framework reference behind (the leak check at unload sees
    // none). The release may destroy the item: only the shared state is used afterwards.
    Release(WorkQueuedTag, __LINE__, __FILE__);
    std::lock_guard<std::mutex> guard(state->lock);
    state->running = false;
    state->runner = nullptr;
    if (!state->queued)
    {
        KeSetEvent(&state->idle, IO_NO_INCREMENT, FALSE);
    }
}

// Waits in the dispatcher, so the machine sees this thread blocked.
void FxWorkItem::WaitUntilIdle()
{
    std::shared_ptr<RunState> state = m_state;
    KeWaitForSingleObject(&state->idle, Executive, KernelMode, FALSE, nullptr);
}

void FxWorkItem::Flush()
{
    RequireIrqlAtMost(PASSIVE_LEVEL, "WdfWorkItemFlush");
    WaitUntilIdle();
}

void FxWorkItem::OnDispose()
{
    // Deleting a work item waits for its callback, unless the callback deletes it itself.
    if (KeGetCurrentIrql() != PASSIVE_LEVEL)
    {
        return;
    }
    {
        std::lock_guard<std::mutex> guard(m_state->lock);
        if (m_state->running && m_state->runner == KeGetCurrentThread())
        {
            return;
        }
    }
    WaitUntilIdle();
}

} // namespace winsim::wdf

using namespace winsim::wdf;

extern "C"
{

    NTSTATUS imp_WdfWorkItemCreate(PWDF_DRIVER_GLOBALS, PWDF_WORKITEM_CONFIG Config,
                                   PWDF_OBJECT_ATTRIBUTES Attributes, WDFWORKITEM* WorkItem)
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

    VOID imp_WdfWorkItemEnqueue(PWDF_DRIVER_GLOBALS, WDFWORKITEM WorkItem)
    {
        RequireIrqlAtMost(DISPATCH_LEVEL, "WdfWorkItemEnqueue");
        FxObject::Get<FxWorkItem>(WorkItem, FxType::WorkItem, "WdfWorkItemEnqueue")->Enqueue();
    }

    WDFOBJECT imp_WdfWorkItemGetParentObject(PWDF_DRIVER_GLOBALS, WDFWORKITEM WorkItem)
    {
        FxObject* parent =
            FxObject::Get<FxWorkItem>(WorkItem, FxType::WorkItem, "WdfWorkItemGetParentObject")->Parent();
        return parent != nullptr ? parent->Handle() : nullptr;
    }

    VOID imp_WdfWorkItemFlush(PWDF_DRIVER_GLOBALS, WDFWORKITEM WorkItem)
    {
        FxObject::Get<FxWorkItem>(WorkItem, FxType::WorkItem, "WdfWorkItemFlush")->Flush();
    }

} // extern "C"
