// Framework work items and WdfWorkItem*.
#include "FxWorkItem.h"

#include "FxDevice.h"

#include "kernel/Scheduler.h"
#include "kernel/System.h"
#include "kernel/Thread.h"

namespace winsim::wdf
{

using winsim::kernel::CurrentIrql;
using winsim::kernel::RequireIrqlAtMost;

namespace
{
// The queue's reference on a work item while it is queued.
PVOID const WorkQueuedTag = reinterpret_cast<PVOID>(0x576f726b);
} // namespace

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

} // namespace winsim::wdf

using namespace winsim::wdf;
using winsim::kernel::RequireIrqlAtMost;

extern "C"
{

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

} // extern "C"
