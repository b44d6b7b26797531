// The reader behind the hub: loopback, notifications on the interrupt pipe, the CDC class
// requests and the loopback plug's answer, the line rate on the machine's clock, each fault a test
// can arm, the idle notification, and what the reader records.
#include "UsbTestSupport.h"

#include <chrono>

using namespace usbtest;
using namespace std::chrono_literals;

namespace
{

// A read of up to `length` bytes on a pipe, sent and waited for.
struct Read
{
    Read(PDEVICE_OBJECT pdo, USBD_PIPE_HANDLE pipe, ULONG length)
        : buffer(length), urb(ReadTransfer(pipe, buffer.data(), length)), request(pdo)
    {
        sent = request.SendUrb(urb);
    }
    std::vector<UCHAR> Bytes() const
    {
        return std::vector<UCHAR>(buffer.begin(),
                                  buffer.begin() + urb.UrbBulkOrInterruptTransfer.TransferBufferLength);
    }
    std::vector<UCHAR> buffer;
    URB urb;
    HubRequest request;
    NTSTATUS sent;
};

std::vector<UCHAR> Bytes(std::string_view text)
{
    return std::vector<UCHAR>(text.begin(), text.end());
}

TEST_F(HubTest, LoopbackSendsBulkOutBytesBackOnBulkIn)
{
    ReaderSpec spec;
    spec.loopback = true;
    PlugConfigured(spec);
    Read read(m_pdo, Pipe(BulkIn), 64);
    EXPECT_EQ(read.sent, STATUS_PENDING);
    URB write = WriteTransfer(Pipe(BulkOut), "ping", 4);
    HubRequest writing(m_pdo);
    writing.SendUrb(write);
    EXPECT_EQ(writing.Wait(), STATUS_SUCCESS);
    EXPECT_EQ(read.request.Wait(), STATUS_SUCCESS);
    EXPECT_EQ(read.Bytes(), Bytes("ping"));
    EXPECT_EQ(m_reader.TakeBulkOut(), std::vector<UCHAR>{}) << "looped bytes are not kept";
}

TEST_F(HubTest, WithoutLoopbackWrittenBytesDoNotComeBack)
{
    PlugConfigured();
    Read read(m_pdo, Pipe(BulkIn), 64);
    URB write = WriteTransfer(Pipe(BulkOut), "ping", 4);
    HubRequest writing(m_pdo);
    writing.SendUrb(write);
    EXPECT_EQ(writing.Wait(), STATUS_SUCCESS);
    m_reader.WaitForCompletions();
    EXPECT_FALSE(read.request.Completed());
    EXPECT_EQ(m_reader.TakeBulkOut(), Bytes("ping"));
    read.request.Cancel();
    read.request.Wait();
}

// --- notifications -----------------------------------------------------------------------------

struct NotificationCase
{
    const char* name;
    void (*push)(Reader& reader);
    std::vector<UCHAR> expected;
};

const NotificationCase NotificationCases[] = {
    {"SerialState",
     [](Reader& reader) { reader.PushSerialState(0x0063); },
     {0xA1, 0x20, 0x00, 0x00, 0x00, 0x00, 0x02, 0x00, 0x63, 0x00}},
    {"NetworkConnection",
     [](Reader& reader) { reader.PushNotification(0x00, 0x0001, {}); },
     {0xA1, 0x00, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00}},
    {"AnyCodeWithData",
     [](Reader& reader) {
         reader.PushNotification(0x2A, 0x1234, {0xDE, 0xAD});
     },
     {0xA1, 0x2A, 0x34, 0x12, 0x00, 0x00, 0x02, 0x00, 0xDE, 0xAD}},
};

class NotificationTest : public HubTest, public ::testing::WithParamInterface<NotificationCase>
{
};

TEST_P(NotificationTest, GoesIntoTheNextInterruptRead)
{
    PlugConfigured();
    Read read(m_pdo, Pipe(InterruptIn), 16);
    EXPECT_EQ(read.sent, STATUS_PENDING);
    GetParam().push(m_reader);
    EXPECT_EQ(read.request.Wait(), STATUS_SUCCESS);
    EXPECT_EQ(read.Bytes(), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(Reader, NotificationTest, ::testing::ValuesIn(NotificationCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(HubTest, EachNotificationTakesOneRead)
{
    PlugConfigured();
    m_reader.PushSerialState(0x0001);
    m_reader.PushSerialState(0x0002);
    for (UCHAR bitmap : {0x01, 0x02})
    {
        Read read(m_pdo, Pipe(InterruptIn), 16);
        EXPECT_EQ(read.request.Wait(), STATUS_SUCCESS);
        ASSERT_EQ(read.Bytes().size(), 10u);
        EXPECT_EQ(read.Bytes()[8], bitmap);
    }
}

// --- class requests ----------------------------------------------------------------------------

struct ClassRequestCase
{
    const char* name;
    UCHAR requestType;
    UCHAR request;
    USHORT value;
    USHORT index;
    std::vector<UCHAR> data;
    bool ex;
    NTSTATUS status;
    USBD_STATUS usbdStatus;
};

const std::vector<UCHAR> LineCoding9600 = {0x80, 0x25, 0x00, 0x00, 0x00, 0x00, 0x08};

const ClassRequestCase ClassRequestCases[] = {
    {"SetLineCoding", 0x21, 0x20, 0, 0, LineCoding9600, true, STATUS_SUCCESS, USBD_STATUS_SUCCESS},
    {"SetLineCodingWithoutEx", 0x21, 0x20, 0, 0, LineCoding9600, false, STATUS_SUCCESS, USBD_STATUS_SUCCESS},
    {"SetControlLineState", 0x21, 0x22, 0x0003, 0, {}, true, STATUS_SUCCESS, USBD_STATUS_SUCCESS},
    {"SendBreak", 0x21, 0x23, 0xFFFF, 0, {}, true, STATUS_SUCCESS, USBD_STATUS_SUCCESS},
    {"ShortLineCodingStalls",
     0x21,
     0x20,
     0,
     0,
     {0x80, 0x25},
     true,
     STATUS_UNSUCCESSFUL,
     USBD_STATUS_STALL_PID},
    {"OtherInterfaceStalls", 0x21, 0x22, 0x0001, 1, {}, true, STATUS_UNSUCCESSFUL, USBD_STATUS_STALL_PID},
    {"UnknownRequestStalls", 0x21, 0x24, 0, 0, {}, true, STATUS_UNSUCCESSFUL, USBD_STATUS_STALL_PID},
    {"VendorRequestStalls", 0x41, 0x22, 0, 0, {}, true, STATUS_UNSUCCESSFUL, USBD_STATUS_STALL_PID},
};

class ClassRequestTest : public HubTest, public ::testing::WithParamInterface<ClassRequestCase>
{
};

TEST_P(ClassRequestTest, IsAnsweredAndRecorded)
{
    PlugConfigured();
    const ClassRequestCase& c = GetParam();
    std::vector<UCHAR> data = c.data;
    m_machine.AdvanceClock(5ms);
    URB urb = ControlTransfer(c.requestType, c.request, c.value, c.index,
                              data.empty() ? nullptr : data.data(), static_cast<USHORT>(data.size()), c.ex);
    HubRequest request(m_pdo);
    EXPECT_EQ(request.SendUrb(urb), STATUS_PENDING);
    EXPECT_EQ(request.Wait(), c.status);
    EXPECT_EQ(urb.UrbHeader.Status, c.usbdStatus);

    auto requests = m_reader.ControlRequests();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].bmRequestType, c.requestType);
    EXPECT_EQ(requests[0].bRequest, c.request);
    EXPECT_EQ(requests[0].wValue, c.value);
    EXPECT_EQ(requests[0].wIndex, c.index);
    EXPECT_EQ(requests[0].wLength, data.size());
    EXPECT_EQ(requests[0].data, c.data);
    EXPECT_EQ(requests[0].time, 50000u) << "the machine's clock when it arrived";
}

INSTANTIATE_TEST_SUITE_P(Reader, ClassRequestTest, ::testing::ValuesIn(ClassRequestCases),
                         [](const auto& info) { return std::string(info.param.name); });

struct LinePlugCase
{
    const char* name;
    USHORT lineState; // bit 0 DTR, bit 1 RTS
    UCHAR bitmap;     // bit 0 carrier, bit 1 DSR
};

const LinePlugCase LinePlugCases[] = {
    {"DtrAndRts", 0x0003, 0x03},
    {"DtrOnly", 0x0001, 0x03},
    {"RtsOnly", 0x0002, 0x01},
    {"Neither", 0x0000, 0x00},
};

class LinePlugTest : public HubTest, public ::testing::WithParamInterface<LinePlugCase>
{
};

TEST_P(LinePlugTest, AnswersControlLineStateWithSerialState)
{
    ReaderSpec spec;
    spec.answerLineState = true;
    PlugConfigured(spec);
    Read notification(m_pdo, Pipe(InterruptIn), 16);
    URB urb = ControlTransfer(0x21, 0x22, GetParam().lineState, 0, nullptr, 0);
    HubRequest request(m_pdo);
    request.SendUrb(urb);
    EXPECT_EQ(request.Wait(), STATUS_SUCCESS);
    EXPECT_EQ(notification.request.Wait(), STATUS_SUCCESS);
    EXPECT_EQ(notification.Bytes(),
              (std::vector<UCHAR>{0xA1, 0x20, 0x00, 0x00, 0x00, 0x00, 0x02, 0x00, GetParam().bitmap, 0x00}));
}

INSTANTIATE_TEST_SUITE_P(Reader, LinePlugTest, ::testing::ValuesIn(LinePlugCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(HubTest, WithoutThePlugControlLineStateBringsNoNotification)
{
    PlugConfigured();
    Read notification(m_pdo, Pipe(InterruptIn), 16);
    URB urb = ControlTransfer(0x21, 0x22, 0x0003, 0, nullptr, 0);
    HubRequest request(m_pdo);
    request.SendUrb(urb);
    EXPECT_EQ(request.Wait(), STATUS_SUCCESS);
    m_reader.WaitForCompletions();
    EXPECT_FALSE(notification.request.Completed());
    notification.request.Cancel();
    notification.request.Wait();
}

// --- the line rate -----------------------------------------------------------------------------

TEST_F(HubTest, LineRateDeliversATenthOfTheBaudRateInBytesPerSecond)
{
    ReaderSpec spec;
    spec.lineRate = 9600;
    PlugConfigured(spec);
    m_reader.PushBulkIn(std::string(3000, 'r'));
    struct Step
    {
        std::chrono::milliseconds span;
        ULONG bytes;
    };
    for (Step step : {Step{1000ms, 960}, Step{500ms, 480}, Step{250ms, 240}})
    {
        m_machine.AdvanceClock(step.span);
        m_reader.WaitForCompletions();
        Read read(m_pdo, Pipe(BulkIn), 4096);
        EXPECT_EQ(read.request.Wait(), STATUS_SUCCESS);
        EXPECT_EQ(read.urb.UrbBulkOrInterruptTransfer.TransferBufferLength, step.bytes)
            << "after another " << step.span.count() << " ms";
    }
}

TEST_F(HubTest, PendingReadCompletesWhenTheFirstByteIsThrough)
{
    ReaderSpec spec;
    spec.lineRate = 9600;
    PlugConfigured(spec);
    Read read(m_pdo, Pipe(BulkIn), 64);
    m_reader.PushBulkIn("abcdef");
    m_reader.WaitForCompletions();
    EXPECT_FALSE(read.request.Completed()) << "nothing is through the line at once";
    // One byte takes 10 / 9600 s = 1041.67 us.
    m_machine.AdvanceClock(1041us);
    m_reader.WaitForCompletions();
    EXPECT_FALSE(read.request.Completed());
    m_machine.AdvanceClock(1us);
    EXPECT_EQ(read.request.Wait(), STATUS_SUCCESS);
    EXPECT_EQ(read.Bytes(), Bytes("a"));
}

// --- faults ------------------------------------------------------------------------------------

TEST_F(HubTest, FailedTransfersEndWithTheArmedStatusesPendingOnesFirst)
{
    PlugConfigured();
    Read pending(m_pdo, Pipe(BulkIn), 16);
    m_reader.FailTransfers(ReaderEndpoint::BulkIn, 2, STATUS_IO_TIMEOUT, USBD_STATUS_TIMEOUT);
    EXPECT_EQ(pending.request.Wait(), STATUS_IO_TIMEOUT);
    EXPECT_EQ(pending.urb.UrbHeader.Status, USBD_STATUS_TIMEOUT);
    Read next(m_pdo, Pipe(BulkIn), 16);
    EXPECT_EQ(next.request.Wait(), STATUS_IO_TIMEOUT);
    // The third is the reader's as usual again; other endpoints were never affected.
    Read third(m_pdo, Pipe(BulkIn), 16);
    m_reader.PushBulkIn("ok");
    EXPECT_EQ(third.request.Wait(), STATUS_SUCCESS);
    URB write = WriteTransfer(Pipe(BulkOut), "w", 1);
    HubRequest writing(m_pdo);
    writing.SendUrb(write);
    EXPECT_EQ(writing.Wait(), STATUS_SUCCESS);
}

struct StallCase
{
    const char* name;
    ReaderEndpoint endpoint;
    UCHAR address;
};

const StallCase StallCases[] = {
    {"BulkIn", ReaderEndpoint::BulkIn, BulkIn},
    {"BulkOut", ReaderEndpoint::BulkOut, BulkOut},
    {"Interrupt", ReaderEndpoint::Interrupt, InterruptIn},
};

class StallTest : public HubTest, public ::testing::WithParamInterface<StallCase>
{
  protected:
    NTSTATUS Transfer(URB* urbOut = nullptr)
    {
        UCHAR buffer[16] = {'s'};
        URB urb = GetParam().address == BulkOut
                      ? WriteTransfer(Pipe(BulkOut), buffer, 1)
                      : ReadTransfer(Pipe(GetParam().address), buffer, sizeof(buffer));
        HubRequest request(m_pdo);
        request.SendUrb(urb);
        // A read the reader has nothing for stays pending: take it back.
        m_reader.WaitForCompletions();
        if (!request.Completed())
        {
            request.Cancel();
        }
        NTSTATUS status = request.Wait();
        if (urbOut != nullptr)
        {
            *urbOut = urb;
        }
        return status;
    }
};

TEST_P(StallTest, EndpointStaysHaltedUntilItsPipeIsReset)
{
    PlugConfigured();
    m_reader.Stall(GetParam().endpoint);
    for (int i = 0; i < 2; ++i)
    {
        URB urb;
        EXPECT_EQ(Transfer(&urb), STATUS_UNSUCCESSFUL);
        EXPECT_EQ(urb.UrbHeader.Status, USBD_STATUS_STALL_PID);
    }
    // A failed reset leaves it halted.
    m_reader.FailPipeResets(1, STATUS_UNSUCCESSFUL);
    URB reset = PipeRequest(URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL, Pipe(GetParam().address));
    HubRequest failing(m_pdo);
    EXPECT_EQ(failing.SendUrb(reset), STATUS_UNSUCCESSFUL);
    EXPECT_TRUE(m_reader.Stalled(GetParam().endpoint));
    HubRequest resetting(m_pdo);
    EXPECT_EQ(resetting.SendUrb(reset), STATUS_SUCCESS);
    EXPECT_EQ(reset.UrbHeader.Status, USBD_STATUS_SUCCESS);
    EXPECT_FALSE(m_reader.Stalled(GetParam().endpoint));
    EXPECT_EQ(m_reader.PipeResets(GetParam().endpoint), 2u);
    URB urb;
    NTSTATUS status = Transfer(&urb);
    EXPECT_NE(urb.UrbHeader.Status, USBD_STATUS_STALL_PID);
    EXPECT_TRUE(status == STATUS_SUCCESS || status == STATUS_CANCELLED) << std::hex << status;
}

INSTANTIATE_TEST_SUITE_P(Faults, StallTest, ::testing::ValuesIn(StallCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(HubTest, StalledDefaultPipeStallsClassRequests)
{
    PlugConfigured();
    m_reader.Stall(ReaderEndpoint::Default);
    URB urb = ControlTransfer(0x21, 0x22, 0x0001, 0, nullptr, 0);
    HubRequest request(m_pdo);
    request.SendUrb(urb);
    EXPECT_EQ(request.Wait(), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(urb.UrbHeader.Status, USBD_STATUS_STALL_PID);
}

struct ResetFaultCase
{
    const char* name;
    NTSTATUS status;
    USBD_STATUS usbdStatus;
};

const ResetFaultCase ResetFaultCases[] = {
    {"Unsuccessful", STATUS_UNSUCCESSFUL, USBD_STATUS_DEV_NOT_RESPONDING},
    {"NoSuchDevice", STATUS_NO_SUCH_DEVICE, USBD_STATUS_DEVICE_GONE},
};

class ResetFaultTest : public HubTest, public ::testing::WithParamInterface<ResetFaultCase>
{
};

TEST_P(ResetFaultTest, NextPipeResetsFailThenSucceed)
{
    PlugConfigured();
    m_reader.FailPipeResets(2, GetParam().status);
    for (NTSTATUS expected : {GetParam().status, GetParam().status, STATUS_SUCCESS})
    {
        URB reset = PipeRequest(URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL, Pipe(BulkIn));
        HubRequest request(m_pdo);
        EXPECT_EQ(request.SendUrb(reset), expected);
        EXPECT_EQ(reset.UrbHeader.Status,
                  expected == STATUS_SUCCESS ? USBD_STATUS_SUCCESS : GetParam().usbdStatus);
    }
    EXPECT_EQ(m_reader.PipeResets(ReaderEndpoint::BulkIn), 3u);
}

TEST_P(ResetFaultTest, NextPortResetFailsThenSucceeds)
{
    Plug();
    m_reader.FailPortResets(1, GetParam().status);
    for (NTSTATUS expected : {GetParam().status, STATUS_SUCCESS})
    {
        HubRequest request(m_pdo);
        EXPECT_EQ(request.Send(IOCTL_INTERNAL_USB_RESET_PORT, nullptr), expected);
    }
    EXPECT_EQ(m_reader.PortResets(), 2u);
}

INSTANTIATE_TEST_SUITE_P(Faults, ResetFaultTest, ::testing::ValuesIn(ResetFaultCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(HubTest, IgnoredClassRequestPendsUntilCancelled)
{
    PlugConfigured();
    m_reader.IgnoreClassRequests();
    URB urb = ControlTransfer(0x21, 0x22, 0x0001, 0, nullptr, 0);
    HubRequest request(m_pdo);
    EXPECT_EQ(request.SendUrb(urb), STATUS_PENDING);
    m_machine.AdvanceClock(10s);
    m_reader.WaitForCompletions();
    EXPECT_FALSE(request.Completed());
    EXPECT_EQ(m_reader.ControlRequests().size(), 1u) << "received, never answered";
    EXPECT_TRUE(request.Cancel());
    EXPECT_EQ(request.Wait(), STATUS_CANCELLED);
    EXPECT_EQ(urb.UrbHeader.Status, USBD_STATUS_CANCELED);
}

TEST_F(HubTest, HeldTransfersWaitForTheirRelease)
{
    PlugConfigured();
    m_reader.Hold(ReaderEndpoint::BulkOut);
    m_reader.Hold(ReaderEndpoint::BulkIn);
    URB write = WriteTransfer(Pipe(BulkOut), "held", 4);
    HubRequest writing(m_pdo);
    EXPECT_EQ(writing.SendUrb(write), STATUS_PENDING);
    m_reader.PushBulkIn("in");
    Read held(m_pdo, Pipe(BulkIn), 16);
    Read cancelled(m_pdo, Pipe(BulkIn), 16);
    m_reader.WaitForCompletions();
    EXPECT_FALSE(writing.Completed());
    EXPECT_FALSE(held.request.Completed());
    EXPECT_EQ(m_reader.TakeBulkOut(), std::vector<UCHAR>{});
    // Held transfers stay cancelable.
    cancelled.request.Cancel();
    EXPECT_EQ(cancelled.request.Wait(), STATUS_CANCELLED);

    m_reader.Release(ReaderEndpoint::BulkOut);
    m_reader.Release(ReaderEndpoint::BulkIn);
    EXPECT_EQ(writing.Wait(), STATUS_SUCCESS);
    EXPECT_EQ(m_reader.TakeBulkOut(), Bytes("held"));
    EXPECT_EQ(held.request.Wait(), STATUS_SUCCESS);
    EXPECT_EQ(held.Bytes(), Bytes("in"));
}

TEST_F(HubTest, DisconnectedReaderEndsTransfersAsGone)
{
    PlugConfigured();
    Read pending(m_pdo, Pipe(BulkIn), 16);
    Read interrupt(m_pdo, Pipe(InterruptIn), 16);
    m_reader.Disconnect();
    EXPECT_FALSE(m_reader.Connected());
    for (Read* read : {&pending, &interrupt})
    {
        EXPECT_EQ(read->request.Wait(), STATUS_NO_SUCH_DEVICE);
        EXPECT_EQ(read->urb.UrbHeader.Status, USBD_STATUS_DEVICE_GONE);
    }
    // Later ones fail at once.
    Read later(m_pdo, Pipe(BulkIn), 16);
    EXPECT_EQ(later.sent, STATUS_NO_SUCH_DEVICE);
    EXPECT_EQ(later.urb.UrbHeader.Status, USBD_STATUS_DEVICE_GONE);
    URB control = ControlTransfer(0x21, 0x22, 0x0001, 0, nullptr, 0);
    HubRequest request(m_pdo);
    EXPECT_EQ(request.SendUrb(control), STATUS_NO_SUCH_DEVICE);
    EXPECT_EQ(m_device.PhysicalDeviceObject(), m_pdo) << "Plug and Play has not noticed";
}

TEST_F(HubTest, DetachEndsPendingTransfersBeforeRemovingTheDevice)
{
    PlugConfigured();
    auto read = std::make_unique<Read>(m_pdo, Pipe(BulkIn), 16);
    m_machine.Detach(m_device);
    EXPECT_EQ(read->request.Wait(), STATUS_NO_SUCH_DEVICE);
    EXPECT_EQ(read->urb.UrbHeader.Status, USBD_STATUS_DEVICE_GONE);
    EXPECT_FALSE(m_reader.Connected());
    EXPECT_EQ(m_device.State(), winsim::machine::DeviceState::Removed);
}

// --- records -----------------------------------------------------------------------------------

TEST_F(HubTest, TransfersAreRecordedWithTheirTimes)
{
    PlugConfigured();
    m_machine.AdvanceClock(1ms);
    Read read(m_pdo, Pipe(BulkIn), 32);
    m_machine.AdvanceClock(2ms);
    m_reader.PushBulkIn("12345");
    read.request.Wait();
    URB write = WriteTransfer(Pipe(BulkOut), "ab", 2);
    HubRequest writing(m_pdo);
    writing.SendUrb(write);
    writing.Wait();
    m_reader.WaitForCompletions();

    auto transfers = m_reader.Transfers();
    ASSERT_EQ(transfers.size(), 2u);
    EXPECT_EQ(transfers[0].endpoint, ReaderEndpoint::BulkIn);
    EXPECT_TRUE(transfers[0].in);
    EXPECT_EQ(transfers[0].length, 32u);
    EXPECT_EQ(transfers[0].transferred, 5u);
    EXPECT_EQ(transfers[0].status, STATUS_SUCCESS);
    EXPECT_EQ(transfers[0].submitted, 10000u);
    EXPECT_EQ(transfers[0].ended, 30000u);
    EXPECT_EQ(transfers[1].endpoint, ReaderEndpoint::BulkOut);
    EXPECT_FALSE(transfers[1].in);
    EXPECT_EQ(transfers[1].transferred, 2u);
}

// --- the idle notification ---------------------------------------------------------------------

struct IdleProbe
{
    KEVENT called;
    KIRQL irql = HIGH_LEVEL;
    static VOID Callback(PVOID context)
    {
        auto* probe = static_cast<IdleProbe*>(context);
        probe->irql = KeGetCurrentIrql();
        KeSetEvent(&probe->called, IO_NO_INCREMENT, FALSE);
    }
};

TEST_F(HubTest, IdleNotificationCallsBackAtPassiveLevelAndPendsUntilCancelled)
{
    Plug();
    IdleProbe probe;
    KeInitializeEvent(&probe.called, NotificationEvent, FALSE);
    USB_IDLE_CALLBACK_INFO info{IdleProbe::Callback, &probe};
    HubRequest idle(m_pdo);
    EXPECT_EQ(idle.SendIdle(&info), STATUS_PENDING);
    KeWaitForSingleObject(&probe.called, Executive, KernelMode, FALSE, nullptr);
    EXPECT_EQ(probe.irql, PASSIVE_LEVEL);
    EXPECT_EQ(m_reader.IdleCallbacks(), 1u);
    // One at a time.
    USB_IDLE_CALLBACK_INFO other{IdleProbe::Callback, &probe};
    HubRequest second(m_pdo);
    EXPECT_EQ(second.SendIdle(&other), STATUS_DEVICE_BUSY);
    m_reader.WaitForCompletions();
    EXPECT_FALSE(idle.Completed());
    EXPECT_TRUE(idle.Cancel());
    EXPECT_EQ(idle.Wait(), STATUS_CANCELLED);
}

} // namespace
