// Framework timers and WdfTimer*.
#include "FxTimer.h"

#include "FxDevice.h"
#include "FxDriver.h"
#include "FxVerifier.h"

namespace winsim::wdf
{

namespace
{
// The framework's reference on a deleted timer while its DPC drains.
PVOID const TimerArmedTag = reinterpret_cast<PVOID>(0x54696d72);
} // namespace

FxTimer::FxTimer(FxDriver* driver, const WDF_TIMER_CONFIG& config)
    : FxObject(FxType::Timer, driver), m_config(config)
{
}

FxTimer::~FxTimer()
{
    if (m_drainWork != nullptr)
    {
        IoFreeWorkItem(m_drainWork);
    }
}

NTSTATUS FxTimer::Setup(const char*)
{
    KeInitializeTimerEx(&m_timer, NotificationTimer);
    KeInitializeDpc(&m_dpc, TimerDpc, this);
    m_drainWork = IoAllocateWorkItem(reinterpret_cast<PDEVICE_OBJECT>(Driver()->Wdm()));
    if (m_drainWork == nullptr)
    {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
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
    if (KeGetCurrentIrql() == PASSIVE_LEVEL)
    {
        KeFlushQueuedDpcs();
        return;
    }
    if (m_drainWork == nullptr)
    {
        return; // never set up, so never armed
    }
    // Deleted at DISPATCH_LEVEL: the wait for a running DPC moves to a system worker thread, and
    // the timer stays referenced until it is over.
    AddRef(TimerArmedTag, __LINE__, __FILE__);
    IoQueueWorkItemEx(m_drainWork, DrainDpc, DelayedWorkQueue, this);
}

void FxTimer::DrainDpc(PVOID, PVOID context, PIO_WORKITEM)
{
    auto* timer = static_cast<FxTimer*>(context);
    KeFlushQueuedDpcs();
    // The release may destroy the timer and free this work item, as a work routine may.
    timer->Release(TimerArmedTag, __LINE__, __FILE__);
}

} // namespace winsim::wdf

using namespace winsim::wdf;

extern "C"
{

    NTSTATUS imp_WdfTimerCreate(PWDF_DRIVER_GLOBALS, PWDF_TIMER_CONFIG Config,
                                PWDF_OBJECT_ATTRIBUTES Attributes, WDFTIMER* Timer)
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
        status = timer->Setup("WdfTimerCreate");
        if (!NT_SUCCESS(status))
        {
            timer->DisposeWithoutCallbacks();
            return status;
        }
        *Timer = reinterpret_cast<WDFTIMER>(timer->Handle());
        return STATUS_SUCCESS;
    }

    BOOLEAN imp_WdfTimerStart(PWDF_DRIVER_GLOBALS, WDFTIMER Timer, LONGLONG DueTime)
    {
        RequireIrqlAtMost(DISPATCH_LEVEL, "WdfTimerStart");
        return FxObject::Get<FxTimer>(Timer, FxType::Timer, "WdfTimerStart")->Start(DueTime) ? TRUE : FALSE;
    }

    BOOLEAN imp_WdfTimerStop(PWDF_DRIVER_GLOBALS, WDFTIMER Timer, BOOLEAN Wait)
    {
        RequireIrqlAtMost(DISPATCH_LEVEL, "WdfTimerStop");
        return FxObject::Get<FxTimer>(Timer, FxType::Timer, "WdfTimerStop")->Stop(Wait != FALSE) ? TRUE
                                                                                                 : FALSE;
    }

    WDFOBJECT imp_WdfTimerGetParentObject(PWDF_DRIVER_GLOBALS, WDFTIMER Timer)
    {
        FxObject* parent = FxObject::Get<FxTimer>(Timer, FxType::Timer, "WdfTimerGetParentObject")->Parent();
        return parent != nullptr ? parent->Handle() : nullptr;
    }

} // extern "C"
