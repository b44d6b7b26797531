// Framework I/O queues and WdfIoQueue*.
#include "FxIoQueue.h"

#include "FxDevice.h"
#include "FxDriver.h"
#include "FxFileObject.h"
#include "FxRequest.h"
#include "FxVerifier.h"

#include <algorithm>
#include <functional>

namespace winsim::wdf
{

namespace
{
// The queue's reference on itself while a presentation waits for a system worker thread.
PVOID const PassivePresentationTag = reinterpret_cast<PVOID>(0x50617373);

// A presentation moved to a system worker thread, and the work item that carries it there.
struct PassivePresentation
{
    FxIoQueue* queue;
    std::function<void()> call;
    PIO_WORKITEM item;
};

VOID RunPassivePresentation(PDEVICE_OBJECT, PVOID context)
{
    auto* work = static_cast<PassivePresentation*>(context);
    work->call();
    work->queue->Release(PassivePresentationTag, __LINE__, __FILE__);
    IoFreeWorkItem(work->item);
    delete work;
}
} // namespace

// The framework's reference on a request while its queue's EvtIoStop runs for it.
PVOID const StopCallTag = reinterpret_cast<PVOID>(0x53746f70);

// A queue follows its device's power when the driver says so, or by default on a device whose
// driver owns its power policy.
FxIoQueue::FxIoQueue(FxDriver* driver, FxDevice* device, const WDF_IO_QUEUE_CONFIG& config)
    : FxObject(FxType::Queue, driver), m_device(device), m_config(config)
{
    m_powerManaged = config.PowerManaged == WdfTrue ||
                     (config.PowerManaged == WdfUseDefault && device->IsPowerPolicyOwner());
    m_powerHeld = m_powerManaged && !device->InWorkingState();
    KeInitializeEvent(&m_stopDone, NotificationEvent, TRUE);
}

NTSTATUS FxIoQueue::Enqueue(FxRequest* request, bool forwarded)
{
    std::unique_lock<std::mutex> lock(m_lock);
    if (!m_accepting)
    {
        lock.unlock();
        if (forwarded)
        {
            return STATUS_WDF_BUSY;
        }
        // A purged queue completes the requests that still arrive for it, as Windows does.
        request->Complete(STATUS_INVALID_DEVICE_STATE, 0, "queue refusing requests");
        return STATUS_INVALID_DEVICE_STATE;
    }
    request->SetQueue(this);
    bool present = m_config.DispatchType != WdfIoQueueDispatchManual && m_dispatching && !m_powerHeld &&
                   (m_config.DispatchType == WdfIoQueueDispatchParallel || m_driverOwned.empty());
    bool cancelled = false;
    if (present)
    {
        m_driverOwned.push_back(request);
    }
    else
    {
        cancelled = !ArmLocked(request, false);
    }
    lock.unlock();
    // The device is busy while the request is here; a device idle in a low-power state wakes for it.
    if (m_powerManaged)
    {
        m_device->PowerReference();
    }
    if (present)
    {
        Present(request);
    }
    else if (cancelled)
    {
        CancelInQueue(request, "a request cancelled before it was queued");
    }
    return STATUS_SUCCESS;
}

bool FxIoQueue::ArmLocked(FxRequest* request, bool atFront)
{
    PIRP irp = request->Irp();
    irp->Tail.Overlay.DriverContext[3] = request;
    IoSetCancelRoutine(irp, QueuedCancelRoutine);
    if (__atomic_load_n(&irp->Cancel, __ATOMIC_SEQ_CST) && IoSetCancelRoutine(irp, nullptr) != nullptr)
    {
        return false;
    }
    if (atFront)
    {
        m_pending.push_front(request);
    }
    else
    {
        m_pending.push_back(request);
    }
    return true;
}

bool FxIoQueue::DisarmLocked(FxRequest* request)
{
    return IoSetCancelRoutine(request->Irp(), nullptr) != nullptr;
}

std::vector<FxRequest*> FxIoQueue::TakePendingLocked(FxFileObject* file)
{
    std::vector<FxRequest*> taken;
    for (auto it = m_pending.begin(); it != m_pending.end();)
    {
        if ((file == nullptr || (*it)->File() == file) && DisarmLocked(*it))
        {
            taken.push_back(*it);
            it = m_pending.erase(it);
        }
        else
        {
            ++it;
        }
    }
    return taken;
}

// The I/O manager cancels a waiting request (CancelIo, CancelIoEx, the end of its thread): it
// leaves the queue and is cancelled as the queue cancels requests.
VOID FxIoQueue::QueuedCancelRoutine(PDEVICE_OBJECT, PIRP irp)
{
    IoReleaseCancelSpinLock(irp->CancelIrql);
    auto* request = static_cast<FxRequest*>(irp->Tail.Overlay.DriverContext[3]);
    FxIoQueue* queue = request->Queue();
    {
        std::lock_guard<std::mutex> guard(queue->m_lock);
        std::erase(queue->m_pending, request);
    }
    queue->CancelInQueue(request, "the I/O manager's cancel");
}

void FxIoQueue::CancelInQueue(FxRequest* request, const char* reason)
{
    if (m_config.EvtIoCanceledOnQueue != nullptr && request->Delivered())
    {
        // The driver owns the request again and completes it; it stays the queue's until then.
        {
            std::lock_guard<std::mutex> guard(m_lock);
            m_driverOwned.push_back(request);
        }
        auto queue = reinterpret_cast<WDFQUEUE>(Handle());
        auto handle = reinterpret_cast<WDFREQUEST>(request->Handle());
        PFN_WDF_IO_QUEUE_IO_CANCELED_ON_QUEUE callback = m_config.EvtIoCanceledOnQueue;
        CallDriver(request, [callback, queue, handle]() {
            callback(queue, handle);
            return true;
        });
        return;
    }
    request->SetQueue(nullptr);
    request->Complete(STATUS_CANCELLED, 0, reason);
    if (m_powerManaged)
    {
        m_device->PowerDereference();
    }
}

bool FxIoQueue::ForgetLocked(FxRequest* request)
{
    size_t before = m_driverOwned.size() + m_pending.size();
    std::erase(m_driverOwned, request);
    std::erase(m_pending, request);
    std::erase(m_acknowledged, request);
    if (std::erase(m_stopAwaited, request) != 0 && m_stopAwaited.empty())
    {
        KeSetEvent(&m_stopDone, IO_NO_INCREMENT, FALSE);
    }
    return m_driverOwned.size() + m_pending.size() != before;
}

std::vector<FxRequest*> FxIoQueue::TakePresentableLocked()
{
    std::vector<FxRequest*> present;
    if (!m_dispatching || m_powerHeld)
    {
        return present;
    }
    if (m_config.DispatchType == WdfIoQueueDispatchParallel)
    {
        present = TakePendingLocked(nullptr);
    }
    else if (m_config.DispatchType == WdfIoQueueDispatchSequential && m_driverOwned.empty())
    {
        for (auto it = m_pending.begin(); it != m_pending.end(); ++it)
        {
            if (DisarmLocked(*it))
            {
                present.push_back(*it);
                m_pending.erase(it);
                break;
            }
        }
    }
    for (FxRequest* request : present)
    {
        m_driverOwned.push_back(request);
    }
    return present;
}

void FxIoQueue::Present(FxRequest* request)
{
    request->SetDelivered();
    auto queue = reinterpret_cast<WDFQUEUE>(Handle());
    auto handle = reinterpret_cast<WDFREQUEST>(request->Handle());
    const WDF_IO_QUEUE_CONFIG& config = m_config;
    CallDriver(request, [&config, queue, handle, request]() {
        PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(request->Irp());
        bool handled = true;
        switch (stack->MajorFunction)
        {
        case IRP_MJ_READ:
            if (config.EvtIoRead != nullptr)
            {
                config.EvtIoRead(queue, handle, stack->Parameters.Read.Length);
            }
            else
            {
                handled = false;
            }
            break;
        case IRP_MJ_WRITE:
            if (config.EvtIoWrite != nullptr)
            {
                config.EvtIoWrite(queue, handle, stack->Parameters.Write.Length);
            }
            else
            {
                handled = false;
            }
            break;
        case IRP_MJ_DEVICE_CONTROL:
            if (config.EvtIoDeviceControl != nullptr)
            {
                config.EvtIoDeviceControl(queue, handle, stack->Parameters.DeviceIoControl.OutputBufferLength,
                                          stack->Parameters.DeviceIoControl.InputBufferLength,
                                          stack->Parameters.DeviceIoControl.IoControlCode);
            }
            else
            {
                handled = false;
            }
            break;
        case IRP_MJ_INTERNAL_DEVICE_CONTROL:
            if (config.EvtIoInternalDeviceControl != nullptr)
            {
                config.EvtIoInternalDeviceControl(queue, handle,
                                                  stack->Parameters.DeviceIoControl.OutputBufferLength,
                                                  stack->Parameters.DeviceIoControl.InputBufferLength,
                                                  stack->Parameters.DeviceIoControl.IoControlCode);
            }
            else
            {
                handled = false;
            }
            break;
        default:
            handled = false;
            break;
        }
        if (!handled && config.EvtIoDefault != nullptr)
        {
            config.EvtIoDefault(queue, handle);
            handled = true;
        }
        return handled;
    });
}

void FxIoQueue::CallDriver(FxRequest* request, std::function<bool()> callback)
{
    auto call = [this, request, callback]() {
        bool serialize = SyncScope() == WdfSynchronizationScopeDevice;
        if (serialize)
        {
            m_device->SyncLock().Acquire();
        }
        bool handled = callback();
        if (serialize)
        {
            m_device->SyncLock().Release();
        }
        if (!handled)
        {
            request->Complete(STATUS_INVALID_DEVICE_REQUEST, 0, "queue without a handler");
        }
    };
    // A passive-level queue is never called above PASSIVE_LEVEL: the call moves to a system worker
    // thread, through a work item of the device.
    if (ExecutionLevel() == WdfExecutionLevelPassive && KeGetCurrentIrql() != PASSIVE_LEVEL)
    {
        PIO_WORKITEM item = IoAllocateWorkItem(m_device->Fdo());
        if (item == nullptr)
        {
            request->Complete(STATUS_INSUFFICIENT_RESOURCES, 0, "passive-level presentation");
            return;
        }
        AddRef(PassivePresentationTag, __LINE__, __FILE__);
        auto* work = new PassivePresentation{this, std::move(call), item};
        IoQueueWorkItem(item, RunPassivePresentation, DelayedWorkQueue, work);
    }
    else
    {
        call();
    }
}

NTSTATUS FxIoQueue::RetrieveNext(FxRequest** request)
{
    std::lock_guard<std::mutex> guard(m_lock);
    if (m_config.DispatchType == WdfIoQueueDispatchParallel)
    {
        // The framework refuses it with a status, as Windows documents, rather than stopping.
        return STATUS_INVALID_DEVICE_STATE;
    }
    // A stopped queue, or a power-managed one while its device is out of D0, hands out nothing.
    if (!m_dispatching || m_powerHeld)
    {
        return STATUS_WDF_PAUSED;
    }
    for (auto it = m_pending.begin(); it != m_pending.end(); ++it)
    {
        if (DisarmLocked(*it))
        {
            *request = *it;
            m_pending.erase(it);
            m_driverOwned.push_back(*request);
            (*request)->SetDelivered();
            return STATUS_SUCCESS;
        }
    }
    return STATUS_NO_MORE_ENTRIES;
}

NTSTATUS FxIoQueue::Find(FxRequest* after, FxFileObject* file, FxRequest** found)
{
    std::lock_guard<std::mutex> guard(m_lock);
    if (m_config.DispatchType != WdfIoQueueDispatchManual)
    {
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    auto it = m_pending.begin();
    if (after != nullptr)
    {
        it = std::find(m_pending.begin(), m_pending.end(), after);
        if (it == m_pending.end())
        {
            return STATUS_NOT_FOUND;
        }
        ++it;
    }
    for (; it != m_pending.end(); ++it)
    {
        // A request whose cancel is under way is as good as gone.
        if ((file == nullptr || (*it)->File() == file) &&
            !__atomic_load_n(&(*it)->Irp()->Cancel, __ATOMIC_SEQ_CST))
        {
            // The caller's reference, released with WdfObjectDereference.
            (*it)->AddRef(nullptr, __LINE__, __FILE__);
            *found = *it;
            return STATUS_SUCCESS;
        }
    }
    return STATUS_NO_MORE_ENTRIES;
}

NTSTATUS FxIoQueue::RetrieveFound(FxRequest* request)
{
    std::lock_guard<std::mutex> guard(m_lock);
    if (m_config.DispatchType != WdfIoQueueDispatchManual)
    {
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    if (!m_dispatching || m_powerHeld)
    {
        return STATUS_WDF_PAUSED;
    }
    auto it = std::find(m_pending.begin(), m_pending.end(), request);
    if (it == m_pending.end() || !DisarmLocked(request))
    {
        return STATUS_NOT_FOUND;
    }
    m_pending.erase(it);
    m_driverOwned.push_back(request);
    request->SetDelivered();
    return STATUS_SUCCESS;
}

void FxIoQueue::CancelFileRequests(FxFileObject* file)
{
    std::vector<FxRequest*> cancelled;
    {
        std::lock_guard<std::mutex> guard(m_lock);
        cancelled = TakePendingLocked(file);
    }
    for (FxRequest* request : cancelled)
    {
        CancelInQueue(request, "the cleanup of its file object");
    }
}

void FxIoQueue::NotifyIdleLocked(std::vector<std::pair<PFN_WDF_IO_QUEUE_STATE, WDFCONTEXT>>& due)
{
    if (m_driverOwned.empty())
    {
        due.swap(m_idleCallbacks);
    }
}

void FxIoQueue::DriverRequestDone(FxRequest* request)
{
    std::vector<std::pair<PFN_WDF_IO_QUEUE_STATE, WDFCONTEXT>> due;
    FxRequest* next = nullptr;
    bool counted = false;
    {
        std::lock_guard<std::mutex> guard(m_lock);
        counted = ForgetLocked(request);
        NotifyIdleLocked(due);
        // A sequential queue presents its next request once the current one is done.
        if (m_config.DispatchType == WdfIoQueueDispatchSequential && m_dispatching && !m_powerHeld &&
            m_driverOwned.empty())
        {
            std::vector<FxRequest*> present = TakePresentableLocked();
            next = present.empty() ? nullptr : present.front();
        }
    }
    request->SetQueue(nullptr);
    for (auto& [callback, context] : due)
    {
        callback(reinterpret_cast<WDFQUEUE>(Handle()), context);
    }
    if (next != nullptr)
    {
        Present(next);
    }
    if (counted && m_powerManaged)
    {
        m_device->PowerDereference();
    }
}

void FxIoQueue::Start()
{
    std::vector<FxRequest*> present;
    {
        std::lock_guard<std::mutex> guard(m_lock);
        m_accepting = true;
        m_dispatching = true;
        present = TakePresentableLocked();
    }
    for (FxRequest* request : present)
    {
        Present(request);
    }
}

void FxIoQueue::PowerStop(bool purge)
{
    RequireIrqlAtMost(PASSIVE_LEVEL, "a power-managed queue's stop");
    std::vector<FxRequest*> cancelled;
    std::vector<FxRequest*> owned;
    {
        std::lock_guard<std::mutex> guard(m_lock);
        m_powerHeld = true;
        if (purge)
        {
            m_accepting = false;
            cancelled = TakePendingLocked(nullptr);
        }
        // A request acknowledged at an earlier stop hears of this one too.
        m_acknowledged.clear();
        if (m_config.EvtIoStop != nullptr)
        {
            owned = m_driverOwned;
            m_stopAwaited = owned;
            if (!owned.empty())
            {
                KeClearEvent(&m_stopDone);
            }
            for (FxRequest* request : owned)
            {
                request->AddRef(StopCallTag, __LINE__, __FILE__);
            }
        }
    }
    for (FxRequest* request : cancelled)
    {
        CancelInQueue(request, "the device's removal");
    }
    ULONG action = purge ? WdfRequestStopActionPurge : WdfRequestStopActionSuspend;
    bool serialize = SyncScope() == WdfSynchronizationScopeDevice;
    for (FxRequest* request : owned)
    {
        // One the driver completed meanwhile is no longer its to stop.
        if (!request->IsCompleted())
        {
            ULONG flags = action | (request->IsCancelable() ? WdfRequestStopRequestCancelable : 0);
            if (serialize)
            {
                m_device->SyncLock().Acquire();
            }
            m_config.EvtIoStop(reinterpret_cast<WDFQUEUE>(Handle()),
                               reinterpret_cast<WDFREQUEST>(request->Handle()), flags);
            if (serialize)
            {
                m_device->SyncLock().Release();
            }
        }
        request->Release(StopCallTag, __LINE__, __FILE__);
    }
    // The device leaves D0 only once the driver completed or acknowledged each request.
    KeWaitForSingleObject(&m_stopDone, Executive, KernelMode, FALSE, nullptr);
}

bool FxIoQueue::StopAcknowledged(FxRequest* request, bool requeue)
{
    bool cancel = false;
    {
        std::lock_guard<std::mutex> guard(m_lock);
        if (std::find(m_driverOwned.begin(), m_driverOwned.end(), request) == m_driverOwned.end())
        {
            return false;
        }
        if (std::erase(m_stopAwaited, request) != 0 && m_stopAwaited.empty())
        {
            KeSetEvent(&m_stopDone, IO_NO_INCREMENT, FALSE);
        }
        if (!requeue)
        {
            m_acknowledged.push_back(request);
            return true;
        }
        // Requeued: back at the head of the queue, presented again when the device is in D0; a
        // purged queue cancels it instead.
        std::erase(m_driverOwned, request);
        if (m_accepting && ArmLocked(request, true))
        {
            return true;
        }
        cancel = true;
    }
    if (cancel)
    {
        request->SetQueue(nullptr);
        request->Complete(STATUS_CANCELLED, 0, "the device's removal");
        if (m_powerManaged)
        {
            m_device->PowerDereference();
        }
    }
    return true;
}

void FxIoQueue::PowerStart()
{
    std::vector<FxRequest*> resume;
    std::vector<FxRequest*> present;
    {
        std::lock_guard<std::mutex> guard(m_lock);
        m_powerHeld = false;
        resume.swap(m_acknowledged);
        present = TakePresentableLocked();
    }
    if (m_config.EvtIoResume != nullptr)
    {
        for (FxRequest* request : resume)
        {
            m_config.EvtIoResume(reinterpret_cast<WDFQUEUE>(Handle()),
                                 reinterpret_cast<WDFREQUEST>(request->Handle()));
        }
    }
    for (FxRequest* request : present)
    {
        Present(request);
    }
}

void FxIoQueue::Stop(PFN_WDF_IO_QUEUE_STATE callback, WDFCONTEXT context)
{
    std::vector<std::pair<PFN_WDF_IO_QUEUE_STATE, WDFCONTEXT>> due;
    {
        std::lock_guard<std::mutex> guard(m_lock);
        m_dispatching = false;
        if (callback != nullptr)
        {
            m_idleCallbacks.emplace_back(callback, context);
            NotifyIdleLocked(due);
        }
    }
    for (auto& [cb, ctx] : due)
    {
        cb(reinterpret_cast<WDFQUEUE>(Handle()), ctx);
    }
}

void FxIoQueue::Purge(PFN_WDF_IO_QUEUE_STATE callback, WDFCONTEXT context)
{
    std::vector<FxRequest*> cancelled;
    std::vector<std::pair<PFN_WDF_IO_QUEUE_STATE, WDFCONTEXT>> due;
    {
        std::lock_guard<std::mutex> guard(m_lock);
        m_accepting = false;
        m_dispatching = false;
        cancelled = TakePendingLocked(nullptr);
        if (callback != nullptr)
        {
            m_idleCallbacks.emplace_back(callback, context);
        }
    }
    // Purge completes once the driver completed those it hears of in EvtIoCanceledOnQueue too.
    for (FxRequest* request : cancelled)
    {
        CancelInQueue(request, "WdfIoQueuePurge");
    }
    {
        std::lock_guard<std::mutex> guard(m_lock);
        NotifyIdleLocked(due);
    }
    for (auto& [cb, ctx] : due)
    {
        cb(reinterpret_cast<WDFQUEUE>(Handle()), ctx);
    }
}

WDF_IO_QUEUE_STATE FxIoQueue::State(PULONG queued, PULONG driverOwned)
{
    std::lock_guard<std::mutex> guard(m_lock);
    ULONG state = 0;
    if (m_accepting)
    {
        state |= WdfIoQueueAcceptRequests;
    }
    if (m_dispatching)
    {
        state |= WdfIoQueueDispatchRequests;
    }
    if (m_pending.empty())
    {
        state |= WdfIoQueueNoRequests;
    }
    if (m_driverOwned.empty())
    {
        state |= WdfIoQueueDriverNoRequests;
    }
    if (m_powerHeld)
    {
        state |= WdfIoQueuePnpHeld;
    }
    if (queued != nullptr)
    {
        *queued = static_cast<ULONG>(m_pending.size());
    }
    if (driverOwned != nullptr)
    {
        *driverOwned = static_cast<ULONG>(m_driverOwned.size());
    }
    return static_cast<WDF_IO_QUEUE_STATE>(state);
}

void FxIoQueue::OnDispose()
{
    // Requests still waiting when the queue goes away are cancelled by the framework itself: the
    // queue cannot hand them to the driver any more.
    std::vector<FxRequest*> cancelled;
    {
        std::lock_guard<std::mutex> guard(m_lock);
        m_accepting = false;
        m_dispatching = false;
        cancelled = TakePendingLocked(nullptr);
    }
    for (FxRequest* request : cancelled)
    {
        request->SetQueue(nullptr);
        request->Complete(STATUS_CANCELLED, 0, "queue deletion");
        if (m_powerManaged)
        {
            m_device->PowerDereference();
        }
    }
    m_device->RemoveQueue(this);
}

} // namespace winsim::wdf

using namespace winsim::wdf;

extern "C"
{

    NTSTATUS imp_WdfIoQueueCreate(PWDF_DRIVER_GLOBALS, WDFDEVICE Device, PWDF_IO_QUEUE_CONFIG Config,
                                  PWDF_OBJECT_ATTRIBUTES QueueAttributes, WDFQUEUE* Queue)
    {
        RequireIrqlAtMost(DISPATCH_LEVEL, "WdfIoQueueCreate");
        FxDevice* device = FxObject::Get<FxDevice>(Device, FxType::Device, "WdfIoQueueCreate");
        if (Config == nullptr || Config->Size != sizeof(WDF_IO_QUEUE_CONFIG) ||
            Config->DispatchType <= WdfIoQueueDispatchInvalid ||
            Config->DispatchType >= WdfIoQueueDispatchMax)
        {
            return STATUS_INVALID_PARAMETER;
        }
        if (Config->DefaultQueue && device->DefaultQueue() != nullptr)
        {
            return STATUS_WDF_OBJECT_ATTRIBUTES_INVALID;
        }
        if (Config->DispatchType == WdfIoQueueDispatchManual &&
            (Config->EvtIoRead != nullptr || Config->EvtIoWrite != nullptr ||
             Config->EvtIoDeviceControl != nullptr || Config->EvtIoInternalDeviceControl != nullptr ||
             Config->EvtIoDefault != nullptr))
        {
            return STATUS_INVALID_PARAMETER;
        }
        auto* queue = new FxIoQueue(device->Driver(), device, *Config);
        NTSTATUS status = queue->Initialize(QueueAttributes, device, "WdfIoQueueCreate");
        if (!NT_SUCCESS(status))
        {
            FxObject::Discard(queue);
            return status;
        }
        device->AddQueue(queue);
        if (Config->DefaultQueue)
        {
            device->SetDefaultQueue(queue);
        }
        if (Queue != nullptr)
        {
            *Queue = reinterpret_cast<WDFQUEUE>(queue->Handle());
        }
        return STATUS_SUCCESS;
    }

    WDFDEVICE imp_WdfIoQueueGetDevice(PWDF_DRIVER_GLOBALS, WDFQUEUE Queue)
    {
        return reinterpret_cast<WDFDEVICE>(QueueOf(Queue, "WdfIoQueueGetDevice")->Device()->Handle());
    }

    VOID imp_WdfIoQueueStart(PWDF_DRIVER_GLOBALS, WDFQUEUE Queue)
    {
        RequireIrqlAtMost(DISPATCH_LEVEL, "WdfIoQueueStart");
        QueueOf(Queue, "WdfIoQueueStart")->Start();
    }

    VOID imp_WdfIoQueueStop(PWDF_DRIVER_GLOBALS, WDFQUEUE Queue, PFN_WDF_IO_QUEUE_STATE StopComplete,
                            WDFCONTEXT Context)
    {
        RequireIrqlAtMost(DISPATCH_LEVEL, "WdfIoQueueStop");
        QueueOf(Queue, "WdfIoQueueStop")->Stop(StopComplete, Context);
    }

    static VOID SignalQueueIdle(WDFQUEUE, WDFCONTEXT Context)
    {
        KeSetEvent(static_cast<PKEVENT>(Context), IO_NO_INCREMENT, FALSE);
    }

    VOID imp_WdfIoQueueStopSynchronously(PWDF_DRIVER_GLOBALS, WDFQUEUE Queue)
    {
        RequireIrqlAtMost(PASSIVE_LEVEL, "WdfIoQueueStopSynchronously");
        KEVENT idle;
        KeInitializeEvent(&idle, NotificationEvent, FALSE);
        QueueOf(Queue, "WdfIoQueueStopSynchronously")->Stop(SignalQueueIdle, &idle);
        KeWaitForSingleObject(&idle, Executive, KernelMode, FALSE, nullptr);
    }

    VOID imp_WdfIoQueuePurge(PWDF_DRIVER_GLOBALS, WDFQUEUE Queue, PFN_WDF_IO_QUEUE_STATE PurgeComplete,
                             WDFCONTEXT Context)
    {
        RequireIrqlAtMost(DISPATCH_LEVEL, "WdfIoQueuePurge");
        QueueOf(Queue, "WdfIoQueuePurge")->Purge(PurgeComplete, Context);
    }

    VOID imp_WdfIoQueuePurgeSynchronously(PWDF_DRIVER_GLOBALS, WDFQUEUE Queue)
    {
        RequireIrqlAtMost(PASSIVE_LEVEL, "WdfIoQueuePurgeSynchronously");
        KEVENT idle;
        KeInitializeEvent(&idle, NotificationEvent, FALSE);
        QueueOf(Queue, "WdfIoQueuePurgeSynchronously")->Purge(SignalQueueIdle, &idle);
        KeWaitForSingleObject(&idle, Executive, KernelMode, FALSE, nullptr);
    }

    WDF_IO_QUEUE_STATE imp_WdfIoQueueGetState(PWDF_DRIVER_GLOBALS, WDFQUEUE Queue, PULONG QueueRequests,
                                              PULONG DriverRequests)
    {
        return QueueOf(Queue, "WdfIoQueueGetState")->State(QueueRequests, DriverRequests);
    }

    NTSTATUS imp_WdfIoQueueRetrieveNextRequest(PWDF_DRIVER_GLOBALS, WDFQUEUE Queue, WDFREQUEST* OutRequest)
    {
        RequireIrqlAtMost(DISPATCH_LEVEL, "WdfIoQueueRetrieveNextRequest");
        FxRequest* request = nullptr;
        NTSTATUS status = QueueOf(Queue, "WdfIoQueueRetrieveNextRequest")->RetrieveNext(&request);
        *OutRequest = NT_SUCCESS(status) ? reinterpret_cast<WDFREQUEST>(request->Handle()) : nullptr;
        return status;
    }

    NTSTATUS imp_WdfIoQueueFindRequest(PWDF_DRIVER_GLOBALS, WDFQUEUE Queue, WDFREQUEST FoundRequest,
                                       WDFFILEOBJECT FileObject, PWDF_REQUEST_PARAMETERS Parameters,
                                       WDFREQUEST* OutRequest)
    {
        RequireIrqlAtMost(DISPATCH_LEVEL, "WdfIoQueueFindRequest");
        FxIoQueue* queue = QueueOf(Queue, "WdfIoQueueFindRequest");
        // The driver holds a reference on the request it found before, which may have completed
        // since; the queue then no longer has it.
        FxRequest* after = FoundRequest != nullptr ? FxObject::Get<FxRequest>(FoundRequest, FxType::Request,
                                                                              "WdfIoQueueFindRequest")
                                                   : nullptr;
        FxFileObject* file =
            FileObject != nullptr
                ? FxObject::Get<FxFileObject>(FileObject, FxType::FileObject, "WdfIoQueueFindRequest")
                : nullptr;
        FxRequest* found = nullptr;
        NTSTATUS status = queue->Find(after, file, &found);
        *OutRequest = NT_SUCCESS(status) ? reinterpret_cast<WDFREQUEST>(found->Handle()) : nullptr;
        if (NT_SUCCESS(status) && Parameters != nullptr)
        {
            found->GetParameters(Parameters);
        }
        return status;
    }

    NTSTATUS imp_WdfIoQueueRetrieveFoundRequest(PWDF_DRIVER_GLOBALS, WDFQUEUE Queue, WDFREQUEST FoundRequest,
                                                WDFREQUEST* OutRequest)
    {
        RequireIrqlAtMost(DISPATCH_LEVEL, "WdfIoQueueRetrieveFoundRequest");
        FxIoQueue* queue = QueueOf(Queue, "WdfIoQueueRetrieveFoundRequest");
        FxRequest* request =
            FxObject::Get<FxRequest>(FoundRequest, FxType::Request, "WdfIoQueueRetrieveFoundRequest");
        NTSTATUS status = queue->RetrieveFound(request);
        *OutRequest = NT_SUCCESS(status) ? FoundRequest : nullptr;
        return status;
    }

} // extern "C"
