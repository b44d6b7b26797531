// Work items of the I/O manager: IoAllocateWorkItem, IoQueueWorkItem(Ex) and IoFreeWorkItem.
//
// A queued work item runs its routine once, at PASSIVE_LEVEL on a system worker thread. From the
// moment it is queued until its routine has returned it holds a reference on its I/O object, so a
// device object deleted meanwhile keeps its memory until the work is done, as Windows guarantees.
// The routine may free its own work item or queue it again; queueing an item that is still queued,
// or freeing one, is a verifier stop.
#include "Scheduler.h"
#include "System.h"
#include "Thread.h"
#include "Verifier.h"

#include <atomic>

using namespace winsim;
using namespace winsim::kernel;

struct _IO_WORKITEM
{
    PVOID ioObject;                  // the device or driver object given at allocation
    std::atomic<bool> queued{false}; // queued and its routine not started yet
};

namespace
{

bool IsDeviceObject(PVOID object)
{
    return *static_cast<CSHORT*>(object) == IO_TYPE_DEVICE;
}

PIO_WORKITEM CheckQueueable(PIO_WORKITEM item, const char* routine)
{
    RequireIrqlAtMost(DISPATCH_LEVEL, routine);
    if (item == nullptr)
    {
        VerifierStop(VerifierRule::ObjectMisuse, "%s: no work item", routine);
    }
    if (item->queued.exchange(true))
    {
        VerifierStop(VerifierRule::ObjectMisuse, "%s: work item %p is queued already", routine,
                     static_cast<void*>(item));
    }
    return item;
}

// Runs the routine on a worker thread, holding the I/O object until it returned.
void Queue(PIO_WORKITEM item, std::function<void(PVOID ioObject)> routine)
{
    PVOID ioObject = item->ioObject;
    ObReferenceObject(ioObject);
    System::Current().GetScheduler().QueueWork([item, ioObject, routine = std::move(routine)] {
        item->queued.store(false);
        routine(ioObject); // may free the item
        ObDereferenceObject(ioObject);
    });
}

} // namespace

extern "C"
{

    PIO_WORKITEM IoAllocateWorkItem(PDEVICE_OBJECT DeviceObject)
    {
        RequireIrqlAtMost(DISPATCH_LEVEL, "IoAllocateWorkItem");
        if (DeviceObject == nullptr)
        {
            VerifierStop(VerifierRule::ObjectMisuse, "IoAllocateWorkItem: no device or driver object");
        }
        auto* item = new _IO_WORKITEM;
        item->ioObject = DeviceObject;
        return item;
    }

    VOID IoFreeWorkItem(PIO_WORKITEM IoWorkItem)
    {
        RequireIrqlAtMost(DISPATCH_LEVEL, "IoFreeWorkItem");
        if (IoWorkItem->queued.load())
        {
            VerifierStop(VerifierRule::ObjectMisuse, "IoFreeWorkItem: work item %p is still queued",
                         static_cast<void*>(IoWorkItem));
        }
        delete IoWorkItem;
    }

    VOID IoQueueWorkItem(PIO_WORKITEM IoWorkItem, PIO_WORKITEM_ROUTINE WorkerRoutine, WORK_QUEUE_TYPE,
                         PVOID Context)
    {
        PIO_WORKITEM item = CheckQueueable(IoWorkItem, "IoQueueWorkItem");
        if (!IsDeviceObject(item->ioObject))
        {
            VerifierStop(VerifierRule::ObjectMisuse,
                         "IoQueueWorkItem: work item %p was allocated for a driver object; only "
                         "IoQueueWorkItemEx queues those",
                         static_cast<void*>(item));
        }
        Queue(item, [WorkerRoutine, Context](PVOID ioObject) {
            WorkerRoutine(static_cast<PDEVICE_OBJECT>(ioObject), Context);
        });
    }

    VOID IoQueueWorkItemEx(PIO_WORKITEM IoWorkItem, PIO_WORKITEM_ROUTINE_EX WorkerRoutine, WORK_QUEUE_TYPE,
                           PVOID Context)
    {
        PIO_WORKITEM item = CheckQueueable(IoWorkItem, "IoQueueWorkItemEx");
        Queue(item,
              [item, WorkerRoutine, Context](PVOID ioObject) { WorkerRoutine(ioObject, Context, item); });
    }

} // extern "C"
