// The reader's USB side: the configuration of each reader layout, a failure at every step of
// hardware preparation, the interrupt pipe's notifications, the class requests and the bulk-in
// read chain.
#include "DriverTestSupport.h"

#include "TableCases.h"
#include "TarnoMessages.h"

#include <atomic>
#include <thread>

namespace tarnocom::testing
{
namespace
{

using winsim::machine::Reader;
using winsim::machine::ReaderEndpoint;
using winsim::machine::ReaderLayout;
using winsim::machine::ReaderSpec;
using winsim::machine::ReaderSpeed;
using winsimtest::PrintTo;

constexpr ULONG TagBulkIn = '00TZ';
constexpr ULONG TagPairs = '10TZ';

template <typename Case>
std::string CaseName(const ::testing::TestParamInfo<Case>& info)
{
    return info.param.name;
}

class UsbTest : public DriverMachineTest
{
  protected:
    void SetUp() override { Boot(); }

    static PPIPE_CONTEXT PipeOf(const Device& device, ULONG kind)
    {
        WDFUSBPIPE pipe = FindPipe(ContextOf(device), kind);
        return pipe == NULL ? nullptr : GetPipeContext(pipe);
    }

    // Runs the bulk-in chain as an open port does.
    static void OpenChain(const Device& device)
    {
        PDEVICE_CONTEXT context = ContextOf(device);
        WriteBooleanNoFence(&context->PortOpen, TRUE);
        ASSERT_EQ(StartBulkInRead(context), STATUS_SUCCESS);
    }
    static NTSTATUS CloseChain(const Device& device)
    {
        PDEVICE_CONTEXT context = ContextOf(device);
        WriteBooleanNoFence(&context->PortOpen, FALSE);
        return StopBulkInRead(context);
    }
};

// --- reader layouts ------------------------------------------------------------------------------

struct LayoutCase
{
    const char* name;
    ReaderLayout layout;
    ReaderSpeed speed;
    bool interrupt, bulkIn, bulkOut;
    UCHAR bulkInterface;  // InterfaceIndex of the bulk pipes
    ULONG bulkPacketSize; // their maximum packet size
};

class LayoutTest : public UsbTest, public ::testing::WithParamInterface<LayoutCase>
{
};

TEST_P(LayoutTest, StartsWithItsPipesAndAddressesClassRequestsToTheInterruptInterface)
{
    const LayoutCase& c = GetParam();
    ReaderSpec plugged;
    plugged.layout = c.layout;
    plugged.speed = c.speed;
    Device device = Plug(plugged);
    ASSERT_EQ(device.State(), DeviceState::Started) << device.Problem();

    PDEVICE_CONTEXT context = ContextOf(device);
    EXPECT_EQ(WdfCollectionGetCount(context->Pipes), ULONG(c.interrupt + c.bulkIn + c.bulkOut));
    EXPECT_EQ(PipeOf(device, PIPE_KIND_INTERRUPT) != nullptr, c.interrupt);
    EXPECT_EQ(PipeOf(device, PIPE_KIND_BULK_IN) != nullptr, c.bulkIn);
    EXPECT_EQ(PipeOf(device, PIPE_KIND_BULK_OUT) != nullptr, c.bulkOut);
    if (c.interrupt)
    {
        EXPECT_EQ(PipeOf(device, PIPE_KIND_INTERRUPT)->InterfaceIndex, 0);
        EXPECT_EQ(PipeOf(device, PIPE_KIND_INTERRUPT)->PipeInfo.PipeType, WdfUsbPipeTypeInterrupt);
    }
    for (ULONG kind : {ULONG(PIPE_KIND_BULK_IN), ULONG(PIPE_KIND_BULK_OUT)})
    {
        if (PPIPE_CONTEXT pipe = PipeOf(device, kind))
        {
            EXPECT_EQ(pipe->InterfaceIndex, c.bulkInterface);
            EXPECT_EQ(pipe->PipeInfo.MaximumPacketSize, c.bulkPacketSize);
            EXPECT_NE(pipe->Request, nullptr);
            EXPECT_EQ(pipe->Device, device.FrameworkDevice());
        }
    }
    // The read buffer exists exactly when there is a bulk-in pipe.
    EXPECT_EQ(machine->LivePoolAllocations(TagBulkIn), c.bulkIn ? 1u : 0u);
    EXPECT_EQ(machine->LivePoolAllocations(TagPairs), 0u);

    UCHAR coding[7] = {0x00, 0xC2, 0x01, 0x00, 0, 0, 8}; // 115200 8N1
    EXPECT_EQ(SetLineCoding(context, coding), STATUS_SUCCESS);
    EXPECT_EQ(SetControlLineState(context, 0xFF), STATUS_SUCCESS);
    EXPECT_EQ(SendBreak(context, 0xFFFF), STATUS_SUCCESS);
    std::vector<winsim::machine::ReaderControlRequest> requests = ReaderOf(device).ControlRequests();
    ASSERT_GE(requests.size(), 3u);
    const auto* lineCoding = &requests[requests.size() - 3];
    const auto* lineState = &requests[requests.size() - 2];
    const auto* sendBreak = &requests[requests.size() - 1];
    EXPECT_EQ(lineCoding->bmRequestType, 0x21);
    EXPECT_EQ(lineCoding->bRequest, 0x20);
    EXPECT_EQ(lineCoding->wIndex, 0);
    EXPECT_EQ(lineCoding->data, std::vector<UCHAR>(coding, coding + 7));
    EXPECT_EQ(lineState->bRequest, 0x22);
    EXPECT_EQ(lineState->wValue, 3) << "only DTR and RTS go to the reader";
    EXPECT_EQ(lineState->wIndex, 0);
    EXPECT_EQ(sendBreak->bRequest, 0x23);
    EXPECT_EQ(sendBreak->wValue, 0xFFFF);
}

INSTANTIATE_TEST_SUITE_P(
    Layouts, LayoutTest,
    ::testing::Values(
        LayoutCase{"SingleInterface", ReaderLayout::SingleInterface, ReaderSpeed::Full, true, true, true, 0,
                   64},
        LayoutCase{"SingleInterfaceHighSpeed", ReaderLayout::SingleInterface, ReaderSpeed::High, true, true,
                   true, 0, 512},
        // The data interface is 1 but the class requests go to the communication interface, 0.
        LayoutCase{"TwoInterfaces", ReaderLayout::TwoInterfaces, ReaderSpeed::Full, true, true, true, 1, 64},
        LayoutCase{"TwoInterfacesHighSpeed", ReaderLayout::TwoInterfaces, ReaderSpeed::High, true, true, true,
                   1, 512},
        LayoutCase{"NoInterruptPipe", ReaderLayout::NoInterruptPipe, ReaderSpeed::Full, false, true, true, 0,
                   64},
        LayoutCase{"NoBulkIn", ReaderLayout::NoBulkIn, ReaderSpeed::Full, true, false, true, 0, 64},
        LayoutCase{"NoBulkOut", ReaderLayout::NoBulkOut, ReaderSpeed::Full, true, true, false, 0, 64}),
    CaseName<LayoutCase>);

TEST_F(UsbTest, ClassRequestsOfATwoInterfaceReaderWithItsInterruptPipeOnInterfaceOneUseOne)
{
    // Without an interrupt pipe the class requests fall back to interface 0; the two-interface
    // reader shows the index comes from the interrupt pipe, not the bulk pipes.
    ReaderSpec plugged;
    plugged.layout = ReaderLayout::TwoInterfaces;
    Device device = Plug(plugged);
    ASSERT_EQ(device.State(), DeviceState::Started);
    EXPECT_EQ(GetInterfaceIndex(ContextOf(device), PIPE_KIND_INTERRUPT), 0);
    EXPECT_EQ(GetInterfaceIndex(ContextOf(device), PIPE_KIND_BULK_IN), 1);
}

// --- notifications on the interrupt pipe ---------------------------------------------------------

struct NotificationCase
{
    const char* name;
    USHORT bitmap;
    ULONG modemStatus;
};

class NotificationTest : public UsbTest, public ::testing::WithParamInterface<NotificationCase>
{
};

TEST_P(NotificationTest, SerialStateRebuildsTheModemStatusFromItsLowByte)
{
    Device device = Plug(u"TR0001");
    ASSERT_EQ(device.State(), DeviceState::Started);
    Reader reader = ReaderOf(device);
    reader.PushSerialState(GetParam().bitmap);
    reader.WaitForCompletions();
    EXPECT_EQ(ContextOf(device)->ModemStatus, GetParam().modemStatus);
}

INSTANTIATE_TEST_SUITE_P(States, NotificationTest,
                         ::testing::Values(NotificationCase{"CarrierAndDsr", 0x0003, 0xB0},
                                           NotificationCase{"Ring", 0x0008, 0x40},
                                           NotificationCase{"Nothing", 0x0000, 0x00},
                                           // Only the low byte counts.
                                           NotificationCase{"HighByteIgnored", 0xFF02, 0x20}),
                         CaseName<NotificationCase>);

TEST_F(UsbTest, OtherNotificationsLeaveTheModemStatusAlone)
{
    Device device = Plug(u"TR0001");
    Reader reader = ReaderOf(device);
    reader.PushSerialState(0x0002);
    reader.PushNotification(0x2A, 0x0001, {0x03, 0x00});
    reader.WaitForCompletions();
    EXPECT_EQ(ContextOf(device)->ModemStatus, ULONG(SERIAL_DSR_STATE));
}

// --- a failure at every step of hardware preparation ---------------------------------------------

struct PrepareFailureCase
{
    const char* name;
    ReaderLayout layout;
    void (*arm)(winsim::machine::Machine& machine, ReaderSpec& plugged);
    NTSTATUS status;
};

class PrepareFailureTest : public UsbTest, public ::testing::WithParamInterface<PrepareFailureCase>
{
};

TEST_P(PrepareFailureTest, LogsTheStatusLeavesTheDeviceNotStartedAndLeaksNothing)
{
    const PrepareFailureCase& c = GetParam();
    ReaderSpec plugged;
    plugged.layout = c.layout;
    size_t objectsBefore = machine->LiveFrameworkObjects(u"TARNOCOM");
    c.arm(*machine, plugged);
    Device device = Plug(plugged);
    machine->FailPoolAllocationsWithTag(0);
    machine->ClearFrameworkObjectCreationFault();

    EXPECT_EQ(device.State(), DeviceState::Failed);
    EXPECT_EQ(device.Problem(), c.status);
    std::vector<EventLogRecord> events = Events();
    ASSERT_FALSE(events.empty());
    EXPECT_EQ(events.back().code, TARNO_FAILED_PREPARE_HARDWARE);
    EXPECT_EQ(events.back().finalStatus, c.status);
    for (const EventLogRecord& record : events)
    {
        EXPECT_NE(record.code, TARNO_PLUG_AND_PLAY_COMPLETED);
        EXPECT_NE(record.code, TARNO_D3_TO_D0) << "a device that did not prepare never enters D0";
    }

    machine->Detach(device);
    EXPECT_EQ(machine->LivePoolAllocations(TagBulkIn), 0u);
    EXPECT_EQ(machine->LivePoolAllocations(TagPairs), 0u);
    EXPECT_EQ(machine->LiveFrameworkObjects(u"TARNOCOM"), objectsBefore);
}

void FailObject(winsim::machine::Machine& machine, unsigned skip, const char* kind)
{
    machine.FailFrameworkObjectCreation(skip, kind);
}

INSTANTIATE_TEST_SUITE_P(
    Steps, PrepareFailureTest,
    ::testing::Values(
        PrepareFailureCase{"UsbTarget", ReaderLayout::SingleInterface,
                           [](winsim::machine::Machine& m, ReaderSpec&) { FailObject(m, 0, "WDFUSBDEVICE"); },
                           STATUS_INSUFFICIENT_RESOURCES},
        PrepareFailureCase{
            "PipeCollection", ReaderLayout::SingleInterface,
            [](winsim::machine::Machine& m, ReaderSpec&) { FailObject(m, 0, "WDFCOLLECTION"); },
            STATUS_INSUFFICIENT_RESOURCES},
        PrepareFailureCase{
            "SettingPairs", ReaderLayout::TwoInterfaces,
            [](winsim::machine::Machine& m, ReaderSpec&) { m.FailPoolAllocationsWithTag(TagPairs); },
            STATUS_INSUFFICIENT_RESOURCES},
        // Device add creates five spin locks; the sixth is the first pipe's.
        PrepareFailureCase{"PipeLock", ReaderLayout::SingleInterface,
                           [](winsim::machine::Machine& m, ReaderSpec&) { FailObject(m, 5, "WDFSPINLOCK"); },
                           STATUS_INSUFFICIENT_RESOURCES},
        PrepareFailureCase{"InterruptPipeReset", ReaderLayout::SingleInterface,
                           [](winsim::machine::Machine&, ReaderSpec& plugged) {
                               plugged.beforeStart = [](Reader reader) {
                                   reader.FailPipeResets(1, STATUS_UNSUCCESSFUL);
                               };
                           },
                           STATUS_UNSUCCESSFUL},
        PrepareFailureCase{
            "BulkInBuffer", ReaderLayout::SingleInterface,
            [](winsim::machine::Machine& m, ReaderSpec&) { m.FailPoolAllocationsWithTag(TagBulkIn); },
            STATUS_INSUFFICIENT_RESOURCES},
        PrepareFailureCase{"BulkInRequest", ReaderLayout::NoInterruptPipe,
                           [](winsim::machine::Machine& m, ReaderSpec&) { FailObject(m, 0, "WDFREQUEST"); },
                           STATUS_INSUFFICIENT_RESOURCES},
        PrepareFailureCase{"BulkInPipeReset", ReaderLayout::NoInterruptPipe,
                           [](winsim::machine::Machine&, ReaderSpec& plugged) {
                               plugged.beforeStart = [](Reader reader) {
                                   reader.FailPipeResets(1, STATUS_UNSUCCESSFUL);
                               };
                           },
                           STATUS_UNSUCCESSFUL},
        PrepareFailureCase{"BulkOutRequest", ReaderLayout::NoInterruptPipe,
                           [](winsim::machine::Machine& m, ReaderSpec&) { FailObject(m, 1, "WDFREQUEST"); },
                           STATUS_INSUFFICIENT_RESOURCES}),
    CaseName<PrepareFailureCase>);

// --- plugging in and out -------------------------------------------------------------------------

TEST_F(UsbTest, PlugStartUnplugAndPlugAgainLogInOrder)
{
    Device first = Plug(u"TR0001");
    ASSERT_EQ(first.State(), DeviceState::Started);
    machine->Detach(first);
    Device again = Plug(u"TR0001");
    ASSERT_EQ(again.State(), DeviceState::Started);

    std::vector<NTSTATUS> codes = EventCodes();
    std::vector<NTSTATUS> wanted = {TARNO_PLUG_AND_PLAY_COMPLETED, TARNO_D3_TO_D0, TARNO_SURPRISE_REMOVAL,
                                    TARNO_PLUG_AND_PLAY_COMPLETED, TARNO_D3_TO_D0};
    // The wanted codes appear in this order (other entries, such as the D0 exit, may lie between).
    size_t at = 0;
    for (NTSTATUS code : codes)
    {
        if (at < wanted.size() && code == wanted[at])
        {
            ++at;
        }
    }
    EXPECT_EQ(at, wanted.size());
    EXPECT_TRUE(ReadBooleanNoFence(&ContextOf(again)->DeviceGone) == FALSE);
}

TEST_F(UsbTest, UnplugDuringAReadMarksTheDeviceGoneWithoutRecovery)
{
    Device device = Plug(u"TR0001");
    OpenChain(device);
    Reader reader = ReaderOf(device);
    unsigned resetsBefore = reader.PipeResets(ReaderEndpoint::BulkIn);
    reader.Disconnect();
    reader.WaitForCompletions();
    machine->WaitForSystemThreads();
    PDEVICE_CONTEXT context = ContextOf(device);
    EXPECT_TRUE(ReadBooleanNoFence(&context->DeviceGone));
    EXPECT_FALSE(context->RecoveryInProgress);
    EXPECT_EQ(reader.PipeResets(ReaderEndpoint::BulkIn), resetsBefore);
    // A gone reader gets no further read.
    EXPECT_EQ(StartBulkInRead(context), STATUS_DEVICE_NOT_CONNECTED);
    EXPECT_EQ(CloseChain(device), STATUS_SUCCESS);
}

// --- the bulk-in read chain ----------------------------------------------------------------------

TEST_F(UsbTest, ChainKeepsExactlyOneReadOutstandingAndStopsWhenAsked)
{
    Device device = Plug(u"TR0001");
    OpenChain(device);
    Reader reader = ReaderOf(device);
    std::vector<UCHAR> chunk(4096, 0x5A);
    for (int i = 0; i < 3000; i++)
    {
        reader.PushBulkIn(chunk);
        reader.WaitForCompletions();
    }
    EXPECT_EQ(reader.MostBulkInReadsOutstanding(), 1u);
    EXPECT_EQ(reader.OutstandingBulkInReads(), 1u);
    PPIPE_CONTEXT pipe = PipeOf(device, PIPE_KIND_BULK_IN);
    EXPECT_TRUE(pipe->TransferActive);

    EXPECT_EQ(CloseChain(device), STATUS_SUCCESS);
    EXPECT_EQ(reader.OutstandingBulkInReads(), 0u);
    EXPECT_FALSE(pipe->TransferActive);
    // Stopping a stopped chain has nothing to wait for.
    EXPECT_EQ(StopBulkInRead(ContextOf(device)), STATUS_SUCCESS);
}

TEST_F(UsbTest, EveryTransferIsHandedOnAndAClosedPortEndsTheChain)
{
    Device device = Plug(u"TR0001");
    OpenChain(device);
    Reader reader = ReaderOf(device);
    size_t before = reader.Transfers().size();
    reader.PushBulkIn(std::vector<UCHAR>(100, 1));
    reader.WaitForCompletions();
    // The port closes without stopping the chain: the next completion ends it.
    WriteBooleanNoFence(&ContextOf(device)->PortOpen, FALSE);
    reader.PushBulkIn(std::vector<UCHAR>(7, 2));
    reader.WaitForCompletions();
    EXPECT_EQ(reader.OutstandingBulkInReads(), 0u);
    EXPECT_FALSE(PipeOf(device, PIPE_KIND_BULK_IN)->TransferActive);
    std::vector<winsim::machine::ReaderTransfer> transfers = reader.Transfers();
    std::vector<ULONG> bulkIn;
    for (size_t i = before; i < transfers.size(); i++)
    {
        if (transfers[i].endpoint == ReaderEndpoint::BulkIn)
        {
            EXPECT_EQ(transfers[i].length, 4096u) << "each read asks for the whole buffer";
            bulkIn.push_back(transfers[i].transferred);
        }
    }
    EXPECT_EQ(bulkIn, (std::vector<ULONG>{100, 7}));
}

TEST_F(UsbTest, StopWithAHeldReadWaitsHalfASecondOfMachineTime)
{
    Device device = Plug(u"TR0001");
    Reader reader = ReaderOf(device);
    reader.Hold(ReaderEndpoint::BulkIn, /*evenWhenCancelled=*/true);
    OpenChain(device);

    std::atomic<bool> done{false};
    NTSTATUS status = STATUS_PENDING;
    std::thread stopper([&] {
        status = CloseChain(device);
        done = true;
    });
    AwaitDeadlineWithin(std::chrono::milliseconds(500));
    machine->AdvanceClock(std::chrono::milliseconds(499));
    machine->SettleWaiters();
    EXPECT_FALSE(done) << "the stop returned before 500 ms";
    machine->AdvanceClock(std::chrono::milliseconds(1));
    stopper.join();
    EXPECT_EQ(status, STATUS_TIMEOUT);

    // The held read comes back cancelled once released, and ends the chain.
    reader.Release(ReaderEndpoint::BulkIn);
    reader.WaitForCompletions();
    EXPECT_FALSE(PipeOf(device, PIPE_KIND_BULK_IN)->TransferActive);
}

TEST_F(UsbTest, TenThousandTransfersAllocateNothing)
{
    Device device = Plug(u"TR0001");
    OpenChain(device);
    Reader reader = ReaderOf(device);
    std::vector<UCHAR> chunk(4096, 0xA5);
    reader.PushBulkIn(chunk);
    reader.WaitForCompletions();
    size_t pool = machine->LivePoolAllocations();
    size_t objects = machine->LiveFrameworkObjects(u"TARNOCOM");
    for (int i = 0; i < 10000; i++)
    {
        reader.PushBulkIn(chunk);
        reader.WaitForCompletions();
    }
    EXPECT_EQ(machine->LivePoolAllocations(), pool);
    EXPECT_EQ(machine->LiveFrameworkObjects(u"TARNOCOM"), objects);
    EXPECT_EQ(CloseChain(device), STATUS_SUCCESS);
}

TEST_F(UsbTest, ChainWithoutBulkInPipeIsANoOp)
{
    ReaderSpec plugged;
    plugged.layout = ReaderLayout::NoBulkIn;
    Device device = Plug(plugged);
    ASSERT_EQ(device.State(), DeviceState::Started);
    EXPECT_EQ(StartBulkInRead(ContextOf(device)), STATUS_SUCCESS);
    EXPECT_EQ(StopBulkInRead(ContextOf(device)), STATUS_SUCCESS);
    EXPECT_EQ(ResetPipe(NULL), STATUS_INVALID_DEVICE_REQUEST);
    EXPECT_EQ(AbortPipe(NULL), STATUS_INVALID_DEVICE_REQUEST);
}

TEST_F(UsbTest, AClassRequestTheReaderNeverAnswersTimesOutAfterFiveSeconds)
{
    Device device = Plug(u"TR0001");
    Reader reader = ReaderOf(device);
    reader.IgnoreClassRequests();
    std::atomic<bool> done{false};
    NTSTATUS status = STATUS_PENDING;
    std::thread sender([&] {
        status = SetControlLineState(ContextOf(device), SERIAL_DTR_STATE);
        done = true;
    });
    AwaitDeadlineWithin(std::chrono::milliseconds(5000));
    machine->AdvanceClock(std::chrono::milliseconds(4999));
    machine->SettleWaiters();
    EXPECT_FALSE(done);
    machine->AdvanceClock(std::chrono::milliseconds(1));
    sender.join();
    EXPECT_EQ(status, STATUS_IO_TIMEOUT);
    reader.IgnoreClassRequests(false);
}

} // namespace
} // namespace tarnocom::testing
