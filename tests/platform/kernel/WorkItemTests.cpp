// Work items of the I/O manager (IoAllocateWorkItem, IoQueueWorkItem(Ex), IoFreeWorkItem) and the
// calling thread's kernel thread object.
#include "KernelTestSupport.h"

#include <atomic>
#include <vector>

using namespace kerneltest;

namespace
{

using kerneltest::PrintTo;

// What a work item's routine saw when it ran.
struct RoutineRun
{
    KIRQL irql = HIGH_LEVEL;
    PKTHREAD thread = nullptr;
    PVOID ioObject = nullptr;
    PVOID context = nullptr;
    PIO_WORKITEM item = nullptr;
};

class WorkItemTest : public KernelTest
{
  protected:
    WorkItemTest() : m_driver(u"workitems")
    {
        m_device = m_driver.CreateDevice(nullptr, &m_handler);
        KeInitializeEvent(&m_ran, NotificationEvent, FALSE);
    }

    static VOID Record(PDEVICE_OBJECT device, PVOID context)
    {
        auto* test = static_cast<WorkItemTest*>(context);
        test->m_runs.push_back(
            RoutineRun{KeGetCurrentIrql(), KeGetCurrentThread(), device, context, nullptr});
        KeSetEvent(&test->m_ran, IO_NO_INCREMENT, FALSE);
    }

    static VOID RecordEx(PVOID ioObject, PVOID context, PIO_WORKITEM item)
    {
        auto* test = static_cast<WorkItemTest*>(context);
        test->m_runs.push_back(RoutineRun{KeGetCurrentIrql(), KeGetCurrentThread(), ioObject, context, item});
        KeSetEvent(&test->m_ran, IO_NO_INCREMENT, FALSE);
    }

    // Waits (in the dispatcher) until a routine signalled that it ran, then for the worker to finish.
    void WaitForRun()
    {
        EXPECT_EQ(KeWaitForSingleObject(&m_ran, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
        KeClearEvent(&m_ran);
        Clock().WaitForIdle();
    }

    IrpHandler m_handler = CompleteEverything();
    TestDriver m_driver;
    PDEVICE_OBJECT m_device = nullptr;
    KEVENT m_ran{};
    std::vector<RoutineRun> m_runs; // written by one routine at a time, read after WaitForRun
};

TEST_F(WorkItemTest, RoutineRunsAtPassiveLevelOnAWorkerThreadWithItsDeviceAndContext)
{
    PIO_WORKITEM item = IoAllocateWorkItem(m_device);
    ASSERT_NE(item, nullptr);
    // Queued from DISPATCH_LEVEL, as a DPC would queue it.
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    IoQueueWorkItem(item, Record, DelayedWorkQueue, this);
    KeLowerIrql(old);
    WaitForRun();
    ASSERT_EQ(m_runs.size(), 1u);
    EXPECT_EQ(m_runs[0].irql, PASSIVE_LEVEL);
    EXPECT_NE(m_runs[0].thread, KeGetCurrentThread()) << "the routine runs on a system worker thread";
    EXPECT_EQ(m_runs[0].ioObject, m_device);
    EXPECT_EQ(m_runs[0].context, this);
    IoFreeWorkItem(item);
}

TEST_F(WorkItemTest, ExRoutineGetsTheDriverObjectAndItsWorkItem)
{
    PIO_WORKITEM item = IoAllocateWorkItem(reinterpret_cast<PDEVICE_OBJECT>(m_driver.Object()));
    IoQueueWorkItemEx(item, RecordEx, DelayedWorkQueue, this);
    WaitForRun();
    ASSERT_EQ(m_runs.size(), 1u);
    EXPECT_EQ(m_runs[0].irql, PASSIVE_LEVEL);
    EXPECT_EQ(m_runs[0].ioObject, m_driver.Object());
    EXPECT_EQ(m_runs[0].item, item);
    IoFreeWorkItem(item);
}

TEST_F(WorkItemTest, RoutineMayQueueItsItemAgainAndFreeIt)
{
    struct Repeat
    {
        PIO_WORKITEM item;
        int runs;
        KEVENT done;
        static VOID Routine(PDEVICE_OBJECT, PVOID context)
        {
            auto* repeat = static_cast<Repeat*>(context);
            if (++repeat->runs < 3)
            {
                IoQueueWorkItem(repeat->item, Routine, DelayedWorkQueue, repeat);
                return;
            }
            IoFreeWorkItem(repeat->item);
            KeSetEvent(&repeat->done, IO_NO_INCREMENT, FALSE);
        }
    };
    Repeat repeat{IoAllocateWorkItem(m_device), 0, {}};
    KeInitializeEvent(&repeat.done, NotificationEvent, FALSE);
    IoQueueWorkItem(repeat.item, Repeat::Routine, DelayedWorkQueue, &repeat);
    EXPECT_EQ(KeWaitForSingleObject(&repeat.done, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
    Clock().WaitForIdle();
    EXPECT_EQ(repeat.runs, 3);
}

TEST_F(WorkItemTest, QueuedWorkKeepsADeletedDeviceObjectUntilItsRoutineReturned)
{
    struct Gate
    {
        KEVENT started;
        KEVENT open;
        static VOID Routine(PDEVICE_OBJECT device, PVOID context)
        {
            auto* gate = static_cast<Gate*>(context);
            KeSetEvent(&gate->started, IO_NO_INCREMENT, FALSE);
            KeWaitForSingleObject(&gate->open, Executive, KernelMode, FALSE, nullptr);
            // The device object's memory is still there (AddressSanitizer checks the read).
            EXPECT_EQ(device->Type, IO_TYPE_DEVICE);
        }
    };
    Gate gate;
    KeInitializeEvent(&gate.started, NotificationEvent, FALSE);
    KeInitializeEvent(&gate.open, NotificationEvent, FALSE);
    PIO_WORKITEM item = IoAllocateWorkItem(m_device);
    IoQueueWorkItem(item, Gate::Routine, DelayedWorkQueue, &gate);
    KeWaitForSingleObject(&gate.started, Executive, KernelMode, FALSE, nullptr);
    IoDeleteDevice(m_device);
    EXPECT_FALSE(Io().IsLiveDevice(m_device)) << "deleted";
    EXPECT_EQ(winsim::kernel::IoManager::Info(m_device).pointerCount, 1) << "but held by the queued work";
    KeSetEvent(&gate.open, IO_NO_INCREMENT, FALSE);
    Clock().WaitForIdle();
    IoFreeWorkItem(item);
}

TEST_F(KernelTest, CurrentThreadIsTheSameWithinAThreadAndDiffersBetweenThreads)
{
    PKTHREAD mine = KeGetCurrentThread();
    EXPECT_NE(mine, nullptr);
    EXPECT_EQ(KeGetCurrentThread(), mine);
    PKTHREAD other = nullptr;
    std::thread([&other] { other = KeGetCurrentThread(); }).join();
    EXPECT_NE(other, nullptr);
    EXPECT_NE(other, mine);
}

// Occupies both system worker threads until the returned event is set, so that a work item queued
// afterwards stays queued.
PKEVENT OccupyWorkers(PDEVICE_OBJECT device)
{
    static KEVENT release;
    KeInitializeEvent(&release, NotificationEvent, FALSE);
    static KEVENT started[2];
    for (KEVENT& event : started)
    {
        KeInitializeEvent(&event, NotificationEvent, FALSE);
        PIO_WORKITEM item = IoAllocateWorkItem(device);
        IoQueueWorkItem(
            item,
            [](PDEVICE_OBJECT, PVOID context) {
                KeSetEvent(static_cast<PKEVENT>(context), IO_NO_INCREMENT, FALSE);
                KeWaitForSingleObject(&release, Executive, KernelMode, FALSE, nullptr);
            },
            DelayedWorkQueue, &event);
        KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
    }
    return &release;
}

VOID Nothing(PDEVICE_OBJECT, PVOID) {}

PDEVICE_OBJECT StopDevice()
{
    static IrpHandler handler = CompleteEverything();
    static TestDriver driver(u"workstop");
    return driver.CreateDevice(nullptr, &handler);
}

const StopCase kWorkItemStops[] = {
    {"QueuedTwice",
     [] {
         PDEVICE_OBJECT device = StopDevice();
         OccupyWorkers(device);
         PIO_WORKITEM item = IoAllocateWorkItem(device);
         IoQueueWorkItem(item, Nothing, DelayedWorkQueue, nullptr);
         IoQueueWorkItem(item, Nothing, DelayedWorkQueue, nullptr);
     },
     "VERIFIER STOP OBJECT_MISUSE: IoQueueWorkItem: work item 0x[0-9a-f]+ is queued already"},
    {"FreedWhileQueued",
     [] {
         PDEVICE_OBJECT device = StopDevice();
         OccupyWorkers(device);
         PIO_WORKITEM item = IoAllocateWorkItem(device);
         IoQueueWorkItem(item, Nothing, DelayedWorkQueue, nullptr);
         IoFreeWorkItem(item);
     },
     "VERIFIER STOP OBJECT_MISUSE: IoFreeWorkItem: work item 0x[0-9a-f]+ is still queued"},
    {"DriverObjectQueuedWithoutEx",
     [] {
         PDEVICE_OBJECT device = StopDevice();
         PIO_WORKITEM item = IoAllocateWorkItem(reinterpret_cast<PDEVICE_OBJECT>(device->DriverObject));
         IoQueueWorkItem(item, Nothing, DelayedWorkQueue, nullptr);
     },
     "VERIFIER STOP OBJECT_MISUSE: IoQueueWorkItem: work item 0x[0-9a-f]+ was allocated for a driver "
     "object"},
};

INSTANTIATE_TEST_SUITE_P(WorkItems, KernelVerifierDeathTest, ::testing::ValuesIn(kWorkItemStops),
                         StopCaseName);

} // namespace
