// Recovery from transfer failures: pipe resets up to RetryRecovery times, the port reset with its
// 2-second pause, one pass at a time, and a reader pulled out while a pass runs.
#include "DriverTestSupport.h"

#include <atomic>
#include <thread>

namespace tarnocom::testing
{
namespace
{

using winsim::machine::Reader;
using winsim::machine::ReaderEndpoint;

class RecoveryTest : public DriverMachineTest
{
  protected:
    // Boots the machine (unless the test did) and starts a reader's bulk-in chain.
    void Start(std::optional<ULONG> retryRecovery = std::nullopt)
    {
        if (!machine)
        {
            Boot();
        }
        if (retryRecovery)
        {
            SetParameterForNextLoad(u"RetryRecovery", *retryRecovery);
        }
        device = Plug(u"TR0001");
        ASSERT_EQ(device.State(), DeviceState::Started);
        context = ContextOf(device);
        reader = ReaderOf(device);
        bulkInResets = reader.PipeResets(ReaderEndpoint::BulkIn);
        WriteBooleanNoFence(&context->PortOpen, TRUE);
        ASSERT_EQ(StartBulkInRead(context), STATUS_SUCCESS);
    }

    void TearDown() override
    {
        if (context != nullptr)
        {
            WriteBooleanNoFence(&context->PortOpen, FALSE);
            StopBulkInRead(context);
        }
        DriverMachineTest::TearDown();
    }

    PPIPE_CONTEXT BulkIn() { return GetPipeContext(FindPipe(context, PIPE_KIND_BULK_IN)); }

    // Fails the outstanding bulk-in read and lets the recovery pass it queues run.
    void FailRead(NTSTATUS status = STATUS_UNSUCCESSFUL)
    {
        reader.FailTransfers(ReaderEndpoint::BulkIn, 1, status, USBD_STATUS_STALL_PID);
        reader.WaitForCompletions();
        machine->WaitForSystemThreads();
    }

    bool RecoveryQueuedOrRunning()
    {
        WdfSpinLockAcquire(context->RecoveryLock);
        bool value = context->RecoveryInProgress;
        WdfSpinLockRelease(context->RecoveryLock);
        return value;
    }

    Device device;
    PDEVICE_CONTEXT context = nullptr;
    Reader reader;
    unsigned bulkInResets = 0;
};

TEST_F(RecoveryTest, OneFailedReadIsBackAfterOnePipeResetWithoutAPortReset)
{
    Start();
    FailRead();
    EXPECT_EQ(reader.PipeResets(ReaderEndpoint::BulkIn), bulkInResets + 1);
    EXPECT_EQ(reader.PortResets(), 0u);
    EXPECT_FALSE(BulkIn()->ResetRequested);
    EXPECT_FALSE(RecoveryQueuedOrRunning());
    // The chain runs again: bytes pushed now come through.
    EXPECT_EQ(reader.OutstandingBulkInReads(), 1u);
    reader.PushBulkIn("back");
    reader.WaitForCompletions();
    EXPECT_EQ(reader.OutstandingBulkInReads(), 1u);
}

TEST_F(RecoveryTest, ThreeFailedPipeResetsLeadToOnePortResetAndATwoSecondPause)
{
    Start();
    reader.FailPipeResets(3, STATUS_UNSUCCESSFUL);
    reader.FailTransfers(ReaderEndpoint::BulkIn, 1, STATUS_UNSUCCESSFUL, USBD_STATUS_STALL_PID);
    reader.WaitForCompletions();
    // The pass resets three times, resets the port and pauses on the machine's clock.
    AwaitDeadlineWithin(std::chrono::seconds(2));
    EXPECT_EQ(reader.PipeResets(ReaderEndpoint::BulkIn), bulkInResets + 3);
    EXPECT_EQ(reader.PortResets(), 1u);
    EXPECT_TRUE(RecoveryQueuedOrRunning());
    machine->AdvanceClock(std::chrono::milliseconds(1999));
    machine->SettleWaiters();
    EXPECT_TRUE(RecoveryQueuedOrRunning()) << "the pause ended before 2 s";
    EXPECT_EQ(reader.OutstandingBulkInReads(), 0u);
    machine->AdvanceClock(std::chrono::milliseconds(1));
    machine->WaitForSystemThreads();
    EXPECT_FALSE(RecoveryQueuedOrRunning());
    EXPECT_FALSE(BulkIn()->ResetRequested);
    EXPECT_EQ(reader.OutstandingBulkInReads(), 1u) << "the open port's chain restarts after the port reset";
    EXPECT_TRUE(BulkIn()->Started);
}

TEST_F(RecoveryTest, AFailedPortResetStopsThePass)
{
    Start();
    reader.FailPipeResets(3, STATUS_UNSUCCESSFUL);
    reader.FailPortResets(1, STATUS_UNSUCCESSFUL);
    reader.FailTransfers(ReaderEndpoint::BulkIn, 1, STATUS_UNSUCCESSFUL, USBD_STATUS_STALL_PID);
    reader.WaitForCompletions();
    AwaitDeadlineWithin(std::chrono::seconds(2));
    machine->AdvanceClock(std::chrono::seconds(2));
    machine->WaitForSystemThreads();
    EXPECT_EQ(reader.PortResets(), 1u);
    EXPECT_FALSE(RecoveryQueuedOrRunning()) << "a finished port reset clears the flag, failed or not";
    EXPECT_TRUE(BulkIn()->ResetRequested);
    EXPECT_EQ(reader.OutstandingBulkInReads(), 0u);
}

TEST_F(RecoveryTest, RetryRecoveryZeroResetsNothingAndRestartsTheChain)
{
    Start(0);
    FailRead();
    EXPECT_EQ(reader.PipeResets(ReaderEndpoint::BulkIn), bulkInResets);
    EXPECT_EQ(reader.PortResets(), 0u);
    EXPECT_TRUE(BulkIn()->ResetRequested) << "the pipe stays marked";
    EXPECT_FALSE(RecoveryQueuedOrRunning());
    EXPECT_EQ(reader.OutstandingBulkInReads(), 1u);
}

TEST_F(RecoveryTest, AFailureWhileAPassRunsIsAbsorbed)
{
    Start();
    reader.FailPipeResets(3, STATUS_UNSUCCESSFUL);
    reader.FailTransfers(ReaderEndpoint::BulkIn, 1, STATUS_UNSUCCESSFUL, USBD_STATUS_STALL_PID);
    reader.WaitForCompletions();
    AwaitDeadlineWithin(std::chrono::seconds(2));
    ASSERT_TRUE(RecoveryQueuedOrRunning());
    // The interrupt reader fails too, twice, while the pass pauses after its port reset.
    reader.FailTransfers(ReaderEndpoint::Interrupt, 2, STATUS_UNSUCCESSFUL, USBD_STATUS_STALL_PID);
    reader.WaitForCompletions();
    RequestRecovery(device.FrameworkDevice());
    machine->RunSystemThreadsToRest();
    // One pass: three pipe resets and one port reset, nothing more.
    EXPECT_EQ(reader.PipeResets(ReaderEndpoint::BulkIn), bulkInResets + 3);
    EXPECT_EQ(reader.PortResets(), 1u);
    EXPECT_FALSE(RecoveryQueuedOrRunning());
}

TEST_F(RecoveryTest, TwoFailuresInQuickSuccessionQueueOnePass)
{
    Boot();
    const GUID traceGuid = {TARNO_TRACE_GUID_INITIALIZER};
    machine->StartTrace(u"TARNOCOM", traceGuid, TRACE_LEVEL_INFORMATION, TRACE_FLAG_GENERAL);
    Start();
    // Both requests come before any pass can run: the machine's two system worker threads are
    // kept busy until both are made, from dispatch level, as completions make them.
    struct Blocker
    {
        KEVENT release;
        LONG started = 0;
        static VOID Run(PDEVICE_OBJECT, PVOID context)
        {
            auto* blocker = static_cast<Blocker*>(context);
            InterlockedIncrement(&blocker->started);
            KeWaitForSingleObject(&blocker->release, Executive, KernelMode, FALSE, nullptr);
        }
    } blocker;
    KeInitializeEvent(&blocker.release, NotificationEvent, FALSE);
    PDEVICE_OBJECT fdo = WdfDeviceWdmGetDeviceObject(device.FrameworkDevice());
    PIO_WORKITEM workers[2] = {IoAllocateWorkItem(fdo), IoAllocateWorkItem(fdo)};
    for (PIO_WORKITEM worker : workers)
    {
        IoQueueWorkItem(worker, Blocker::Run, DelayedWorkQueue, &blocker);
    }
    while (__atomic_load_n(&blocker.started, __ATOMIC_SEQ_CST) != 2)
    {
        std::this_thread::yield();
    }
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    WriteBooleanNoFence(&BulkIn()->ResetRequested, TRUE);
    RequestRecovery(device.FrameworkDevice());
    RequestRecovery(device.FrameworkDevice());
    KeLowerIrql(old);
    KeSetEvent(&blocker.release, IO_NO_INCREMENT, FALSE);
    machine->WaitForSystemThreads();
    for (PIO_WORKITEM worker : workers)
    {
        IoFreeWorkItem(worker);
    }
    EXPECT_EQ(reader.PipeResets(ReaderEndpoint::BulkIn), bulkInResets + 1);
    EXPECT_FALSE(RecoveryQueuedOrRunning());
    int passes = 0;
    for (const auto& line : machine->TraceLines(u"TARNOCOM", TARNOCOM_TMF))
    {
        passes += line.text.find("recovery: Entry") != std::string::npos;
    }
    EXPECT_EQ(passes, 1);
}

TEST_F(RecoveryTest, UnplugDuringRecoveryEndsThePassWithoutAPortReset)
{
    Start();
    reader.FailPipeResets(1, STATUS_NO_SUCH_DEVICE);
    FailRead();
    EXPECT_TRUE(ReadBooleanNoFence(&context->DeviceGone));
    EXPECT_EQ(reader.PipeResets(ReaderEndpoint::BulkIn), bulkInResets + 1)
        << "no retry after the device left";
    EXPECT_EQ(reader.PortResets(), 0u);
    EXPECT_TRUE(RecoveryQueuedOrRunning()) << "a gone device gets no further pass";
    // A later failure queues nothing.
    RequestRecovery(device.FrameworkDevice());
    machine->WaitForSystemThreads();
    EXPECT_EQ(reader.PipeResets(ReaderEndpoint::BulkIn), bulkInResets + 1);
}

TEST_F(RecoveryTest, AFailedInterruptReaderIsRestartedByThePass)
{
    Start();
    unsigned interruptResets = reader.PipeResets(ReaderEndpoint::Interrupt);
    reader.FailTransfers(ReaderEndpoint::Interrupt, 1, STATUS_UNSUCCESSFUL, USBD_STATUS_STALL_PID);
    reader.WaitForCompletions();
    machine->WaitForSystemThreads();
    EXPECT_EQ(reader.PipeResets(ReaderEndpoint::Interrupt), interruptResets + 1);
    PPIPE_CONTEXT interrupt = GetPipeContext(FindPipe(context, PIPE_KIND_INTERRUPT));
    EXPECT_TRUE(interrupt->Started);
    // The reader delivers again.
    reader.PushSerialState(0x0002);
    reader.WaitForCompletions();
    EXPECT_EQ(context->ModemStatus, ULONG(SERIAL_DSR_STATE));
}

} // namespace
} // namespace tarnocom::testing
