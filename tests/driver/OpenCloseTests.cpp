// Opening and closing the port: what the reader is told, the ring's life, several handles, failed
// opens, and the cleanup of a closing handle's requests.
#include "SerialTestSupport.h"

namespace tarnocom::testing
{
namespace
{

using winsim::machine::ReaderControlRequest;

// The class requests the reader received, as (bRequest, wValue) pairs; line codings as 0x20 with
// wValue 0.
std::vector<std::pair<UCHAR, USHORT>> ClassRequests(winsim::machine::Reader reader)
{
    std::vector<std::pair<UCHAR, USHORT>> requests;
    for (const ReaderControlRequest& request : reader.ControlRequests())
    {
        if (request.bmRequestType == 0x21)
        {
            requests.emplace_back(request.bRequest, request.wValue);
        }
    }
    return requests;
}

using Requests = std::vector<std::pair<UCHAR, USHORT>>;
const UCHAR LineCoding = 0x20;
const UCHAR LineState = 0x22;
const UCHAR Break = 0x23;

class OpenCloseTest : public SerialPortTest
{
  protected:
    void ClosePort()
    {
        CloseHandle(port);
        port = INVALID_HANDLE_VALUE;
        Settle();
    }
};

TEST_F(OpenCloseTest, OpenSendsTheLineCodingThenRaisesRts)
{
    EXPECT_EQ(ClassRequests(reader), (Requests{{LineCoding, 0}, {LineState, SERIAL_RTS_STATE}}));
    std::vector<ReaderControlRequest> all = reader.ControlRequests();
    auto coding = std::find_if(all.begin(), all.end(),
                               [](const ReaderControlRequest& r) { return r.bRequest == 0x20; });
    ASSERT_NE(coding, all.end());
    EXPECT_EQ(coding->data, (std::vector<UCHAR>{0xB0, 0x04, 0, 0, STOP_BIT_1, NO_PARITY, 7}))
        << "1200 baud, 7N1";
    EXPECT_TRUE(context->PortOpen);
    EXPECT_EQ(context->OpenCount, 1u);
    EXPECT_EQ(machine->LivePoolAllocations(TARNO_TAG_RX_RING), 1u);
    EXPECT_EQ(reader.OutstandingBulkInReads(), 1u) << "the port reads from the reader while open";
}

TEST_F(OpenCloseTest, CloseEndsTheBreakAndDropsDtrBeforeRts)
{
    ASSERT_EQ(Call(IOCTL_SERIAL_SET_DTR).status, STATUS_SUCCESS);
    size_t before = ClassRequests(reader).size();
    ClosePort();
    Requests all = ClassRequests(reader);
    Requests closing(all.begin() + static_cast<std::ptrdiff_t>(before), all.end());
    EXPECT_EQ(closing, (Requests{{Break, 0}, {LineState, SERIAL_RTS_STATE}, {LineState, 0}}));
    EXPECT_FALSE(context->PortOpen);
    EXPECT_EQ(context->OpenCount, 0u);
    EXPECT_EQ(machine->LivePoolAllocations(TARNO_TAG_RX_RING), 0u);
    EXPECT_EQ(reader.OutstandingBulkInReads(), 0u);
}

TEST_F(OpenCloseTest, ReopenAllocatesAFreshRingAndResendsTheSettings)
{
    ASSERT_EQ(Call(IOCTL_SERIAL_SET_BAUD_RATE, Bytes<ULONG>(57600)).status, STATUS_SUCCESS);
    SetWaitMask(SERIAL_EV_RXCHAR);
    Receive("left behind");
    ClosePort();
    size_t before = ClassRequests(reader).size();
    port = OpenPort();
    ASSERT_NE(port, INVALID_HANDLE_VALUE);
    Requests all = ClassRequests(reader);
    EXPECT_EQ(Requests(all.begin() + static_cast<std::ptrdiff_t>(before), all.end()),
              (Requests{{LineCoding, 0}, {LineState, SERIAL_RTS_STATE}}))
        << "DTR stays low until a client raises it";
    EXPECT_EQ(reader.ControlRequests().back().wValue, SERIAL_RTS_STATE);
    EXPECT_EQ(As<ULONG>(Call(IOCTL_SERIAL_GET_BAUD_RATE, {}, 4).output), 57600u)
        << "settings survive a close";
    EXPECT_EQ(As<ULONG>(Call(IOCTL_SERIAL_GET_WAIT_MASK, {}, 4).output), 0u) << "the wait mask starts afresh";
    SERIAL_STATUS status = As<SERIAL_STATUS>(Call(IOCTL_SERIAL_GET_COMMSTATUS, {}, 20).output);
    EXPECT_EQ(status.AmountInInQueue, 0u);
}

TEST_F(OpenCloseTest, RingAllocationFailureFailsTheOpenAndLeavesThePortClosed)
{
    ClosePort();
    machine->FailPoolAllocationsWithTag(TARNO_TAG_RX_RING);
    HANDLE refused = OpenPort();
    machine->FailPoolAllocationsWithTag(0);
    EXPECT_EQ(refused, INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_SYSTEM_RESOURCES));
    EXPECT_FALSE(context->PortOpen);
    EXPECT_EQ(context->OpenCount, 0u);
    port = OpenPort();
    ASSERT_NE(port, INVALID_HANDLE_VALUE) << "the port opens once memory is there";
    EXPECT_EQ(context->OpenCount, 1u);
}

TEST_F(OpenCloseTest, AFailedStartOfReadingFailsTheOpenAndCountsNothing)
{
    ClosePort();
    WriteBooleanNoFence(&context->DeviceGone, TRUE);
    HANDLE refused = OpenPort();
    WriteBooleanNoFence(&context->DeviceGone, FALSE);
    EXPECT_EQ(refused, INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_IO_DEVICE));
    EXPECT_FALSE(context->PortOpen);
    EXPECT_EQ(context->OpenCount, 0u);
    EXPECT_EQ(machine->LivePoolAllocations(TARNO_TAG_RX_RING), 0u);

    port = OpenPort();
    ASSERT_NE(port, INVALID_HANDLE_VALUE);
    EXPECT_EQ(context->OpenCount, 1u);
    Receive("works");
    SetTimeouts(MAXULONG, 0, 0);
    std::shared_ptr<PendingIo> read = Read(5);
    Settle();
    EXPECT_EQ(read->Text(), "works");
    ClosePort();
    EXPECT_EQ(context->OpenCount, 0u);
    EXPECT_FALSE(context->PortOpen);
}

TEST_F(OpenCloseTest, ClosingDropsTheLinesTheRegistryRaisedAndTheNextOpenLeavesDtrLow)
{
    // Restart the device with DTR and RTS raised by default.
    CloseHandle(port);
    port = INVALID_HANDLE_VALUE;
    machine->Detach(node);
    machine->SetRegistryValue(ParametersKey, u"DefaultDTR", RegistryValue::Dword(1));
    machine->SetRegistryValue(ParametersKey, u"DefaultRTS", RegistryValue::Dword(1));
    node = Plug(u"TR0001");
    reader = ReaderOf(node);
    context = ContextOf(node);
    port = OpenPort();
    ASSERT_NE(port, INVALID_HANDLE_VALUE);
    Settle();
    EXPECT_EQ(reader.ControlRequests().back().wValue, SERIAL_DTR_STATE | SERIAL_RTS_STATE);
    ClosePort();
    Settle();
    EXPECT_EQ(reader.ControlRequests().back().wValue, 0) << "both lines dropped at close";
    port = OpenPort();
    Settle();
    EXPECT_EQ(reader.ControlRequests().back().wValue, SERIAL_RTS_STATE);
}

TEST_F(OpenCloseTest, CloseCancelsThePendingWait)
{
    SetWaitMask(SERIAL_EV_RXCHAR);
    std::shared_ptr<PendingIo> wait = Control(IOCTL_SERIAL_WAIT_ON_MASK, {}, 4);
    std::shared_ptr<PendingIo> read = Read(10);
    Settle();
    ClosePort();
    ASSERT_TRUE(wait->Done());
    EXPECT_EQ(wait->Status(), STATUS_CANCELLED);
    ASSERT_TRUE(read->Done());
    EXPECT_EQ(read->Status(), STATUS_CANCELLED);
    EXPECT_EQ(context->CurrentWait, nullptr);
    EXPECT_EQ(context->CurrentRead, nullptr);
}

class MultipleOpenTest : public OpenCloseTest
{
  protected:
    void BeforePlug() override { SetParameterForNextLoad(u"EnableMultipleOpen", 1); }
};

TEST_F(MultipleOpenTest, TheLastCloseBringsThePortDown)
{
    HANDLE second = OpenPort();
    ASSERT_NE(second, INVALID_HANDLE_VALUE) << "error " << GetLastError();
    EXPECT_EQ(context->OpenCount, 2u);
    size_t before = ClassRequests(reader).size();
    CloseHandle(second);
    Settle();
    EXPECT_EQ(ClassRequests(reader).size(), before) << "the lines stay up for the other handle";
    EXPECT_TRUE(context->PortOpen);
    EXPECT_EQ(reader.OutstandingBulkInReads(), 1u);
    Receive("still");
    SetTimeouts(MAXULONG, 0, 0);
    std::shared_ptr<PendingIo> read = Read(5);
    Settle();
    EXPECT_EQ(read->Text(), "still");
    ClosePort();
    EXPECT_FALSE(context->PortOpen);
    EXPECT_EQ(reader.OutstandingBulkInReads(), 0u);
}

TEST_F(MultipleOpenTest, CleanupCancelsOnlyTheClosingHandlesRequests)
{
    HANDLE second = OpenPort();
    ASSERT_NE(second, INVALID_HANDLE_VALUE);
    std::shared_ptr<PendingIo> mine = Read(4);
    std::shared_ptr<PendingIo> theirs = Read(4, second);
    std::shared_ptr<PendingIo> mineQueued = Read(4);
    Settle();
    CloseHandle(second);
    Settle();
    ASSERT_TRUE(theirs->Done());
    EXPECT_EQ(theirs->Status(), STATUS_CANCELLED);
    EXPECT_FALSE(mine->Done());
    EXPECT_FALSE(mineQueued->Done());
    Receive("abcdefgh");
    ASSERT_TRUE(mine->Done() && mineQueued->Done());
    EXPECT_EQ(mine->Text(), "abcd");
    EXPECT_EQ(mineQueued->Text(), "efgh");
}

TEST_F(MultipleOpenTest, ClosingTheHandleOfTheCurrentReadStartsTheNextOne)
{
    HANDLE second = OpenPort();
    ASSERT_NE(second, INVALID_HANDLE_VALUE);
    std::shared_ptr<PendingIo> first = Read(4, second);
    std::shared_ptr<PendingIo> next = Read(4);
    Settle();
    Receive("ab");
    CloseHandle(second);
    Settle();
    ASSERT_TRUE(first->Done());
    EXPECT_EQ(first->Status(), STATUS_CANCELLED);
    EXPECT_FALSE(next->Done());
    Receive("wxyz");
    ASSERT_TRUE(next->Done());
    EXPECT_EQ(next->Text(), "wxyz");
}

} // namespace
} // namespace tarnocom::testing
