// Writes on an open port: transfers of at most 4096 bytes, the write time-out, cancellation, the
// immediate character, the transmit queue size and the transmit-empty event.
#include "SerialTestSupport.h"

namespace tarnocom::testing
{
namespace
{

using std::chrono::milliseconds;
using winsim::machine::ReaderEndpoint;
using winsim::machine::ReaderTransfer;

class WriteTest : public SerialPortTest
{
  protected:
    // The lengths of the bulk OUT transfers that moved bytes, in order.
    std::vector<ULONG> BulkOutLengths()
    {
        std::vector<ULONG> lengths;
        for (const ReaderTransfer& transfer : reader.Transfers())
        {
            if (transfer.endpoint == ReaderEndpoint::BulkOut && transfer.status == STATUS_SUCCESS)
            {
                lengths.push_back(transfer.length);
            }
        }
        return lengths;
    }
    std::string Sent()
    {
        std::vector<UCHAR> bytes = reader.TakeBulkOut();
        return std::string(bytes.begin(), bytes.end());
    }
    ULONG TxPending()
    {
        return As<SERIAL_STATUS>(Call(IOCTL_SERIAL_GET_COMMSTATUS, {}, sizeof(SERIAL_STATUS)).output)
            .AmountInOutQueue;
    }
};

TEST_F(WriteTest, ALargeWriteGoesOutInTransfersOf4096Bytes)
{
    std::string data(10000, 0);
    for (size_t i = 0; i < data.size(); ++i)
    {
        data[i] = static_cast<char>(i * 7);
    }
    std::shared_ptr<PendingIo> write = Write(data);
    Settle();
    ASSERT_TRUE(write->Done());
    EXPECT_EQ(write->Status(), STATUS_SUCCESS);
    EXPECT_EQ(write->Bytes(), 10000u);
    EXPECT_EQ(BulkOutLengths(), (std::vector<ULONG>{4096, 4096, 1808}));
    EXPECT_EQ(Sent(), data);
    EXPECT_EQ(context->PerfStats.TransmittedCount, 10000u);
    EXPECT_EQ(TxPending(), 0u);
}

TEST_F(WriteTest, WritesGoOutOneAtATimeInOrder)
{
    reader.Hold(ReaderEndpoint::BulkOut);
    std::shared_ptr<PendingIo> first = Write("one,");
    std::shared_ptr<PendingIo> second = Write("two,");
    std::shared_ptr<PendingIo> third = Write("three");
    Settle();
    EXPECT_EQ(TxPending(), 13u) << "every accepted byte counts until it is sent";
    EXPECT_FALSE(first->Done());
    reader.Release(ReaderEndpoint::BulkOut);
    Settle();
    ASSERT_TRUE(first->Done() && second->Done() && third->Done());
    EXPECT_EQ(Sent(), "one,two,three");
    EXPECT_EQ(third->Bytes(), 5u);
    EXPECT_EQ(TxPending(), 0u);
}

TEST_F(WriteTest, WithoutWriteTimeoutsAWriteNeverTimesOut)
{
    reader.Hold(ReaderEndpoint::BulkOut);
    std::shared_ptr<PendingIo> write = Write("slow");
    Advance(milliseconds(3600000));
    EXPECT_FALSE(write->Done());
    reader.Release(ReaderEndpoint::BulkOut);
    Settle();
    ASSERT_TRUE(write->Done());
    EXPECT_EQ(write->Status(), STATUS_SUCCESS);
}

TEST_F(WriteTest, TheTotalTimeoutEndsAWriteWithNoBytes)
{
    SetTimeouts(0, 0, 0, 10, 100);
    reader.Hold(ReaderEndpoint::BulkOut);
    std::shared_ptr<PendingIo> write = Write("12345");
    Settle();
    Advance(milliseconds(149));
    EXPECT_FALSE(write->Done()) << "5 characters x 10 ms + 100 ms";
    Advance(milliseconds(1));
    ASSERT_TRUE(write->Done());
    EXPECT_EQ(write->Status(), STATUS_TIMEOUT);
    EXPECT_EQ(write->Bytes(), 0u);
    EXPECT_EQ(TxPending(), 0u);

    reader.Release(ReaderEndpoint::BulkOut);
    std::shared_ptr<PendingIo> next = Write("after");
    Settle();
    ASSERT_TRUE(next->Done());
    EXPECT_EQ(next->Status(), STATUS_SUCCESS);
    EXPECT_EQ(Sent(), "after");
}

TEST_F(WriteTest, ACancelledWriteReportsNoBytesAndTheNextOneGoesOut)
{
    reader.Hold(ReaderEndpoint::BulkOut);
    std::shared_ptr<PendingIo> write = Write("never");
    std::shared_ptr<PendingIo> queued = Write("queued");
    Settle();
    ASSERT_TRUE(CancelIoEx(port, &write->overlapped));
    Settle();
    ASSERT_TRUE(write->Done());
    EXPECT_EQ(write->Status(), STATUS_CANCELLED);
    EXPECT_EQ(write->Bytes(), 0u);
    reader.Release(ReaderEndpoint::BulkOut);
    Settle();
    ASSERT_TRUE(queued->Done());
    EXPECT_EQ(queued->Status(), STATUS_SUCCESS);
    EXPECT_EQ(Sent(), "queued");
}

TEST_F(WriteTest, ACancelledQueuedWriteLeavesTheQueueCountRight)
{
    reader.Hold(ReaderEndpoint::BulkOut);
    std::shared_ptr<PendingIo> current = Write("abc");
    std::shared_ptr<PendingIo> queued = Write("defgh");
    Settle();
    ASSERT_EQ(TxPending(), 8u);
    ASSERT_TRUE(CancelIoEx(port, &queued->overlapped));
    Settle();
    ASSERT_TRUE(queued->Done());
    EXPECT_EQ(queued->Status(), STATUS_CANCELLED);
    EXPECT_EQ(TxPending(), 3u);
    reader.Release(ReaderEndpoint::BulkOut);
    Settle();
    EXPECT_EQ(Sent(), "abc");
}

TEST_F(WriteTest, AnImmediateCharacterOvertakesQueuedWrites)
{
    reader.Hold(ReaderEndpoint::BulkOut);
    std::shared_ptr<PendingIo> current = Write("A");
    std::shared_ptr<PendingIo> b = Write("B");
    std::shared_ptr<PendingIo> c = Write("C");
    std::shared_ptr<PendingIo> d = Write("D");
    std::shared_ptr<PendingIo> immediate = Control(IOCTL_SERIAL_IMMEDIATE_CHAR, {'!'}, 0);
    Settle();
    SERIAL_STATUS status =
        As<SERIAL_STATUS>(Call(IOCTL_SERIAL_GET_COMMSTATUS, {}, sizeof(SERIAL_STATUS)).output);
    EXPECT_TRUE(status.WaitForImmediate);
    EXPECT_EQ(status.AmountInOutQueue, 5u);
    EXPECT_EQ(Call(IOCTL_SERIAL_IMMEDIATE_CHAR, {'?'}).status, STATUS_INVALID_PARAMETER)
        << "one immediate character at a time";

    reader.Release(ReaderEndpoint::BulkOut);
    Settle();
    ASSERT_TRUE(immediate->Done());
    EXPECT_EQ(immediate->Status(), STATUS_SUCCESS);
    EXPECT_EQ(Sent(), "A!BCD");
    EXPECT_EQ(Call(IOCTL_SERIAL_IMMEDIATE_CHAR, {'?'}).status, STATUS_SUCCESS) << "the next one is accepted";
}

TEST_F(WriteTest, TheTransmitQueueSizeLimitsWhatMayWait)
{
    SERIAL_QUEUE_SIZE size{0, 100};
    ASSERT_EQ(Call(IOCTL_SERIAL_SET_QUEUE_SIZE, Bytes(size)).status, STATUS_SUCCESS);
    reader.Hold(ReaderEndpoint::BulkOut);
    std::shared_ptr<PendingIo> first = Write(std::string(50, 'a'));
    std::shared_ptr<PendingIo> second = Write(std::string(60, 'b'));
    Settle();
    ASSERT_TRUE(second->Done());
    EXPECT_EQ(second->Status(), STATUS_NAME_TOO_LONG);
    std::shared_ptr<PendingIo> fits = Write(std::string(50, 'c'));
    Settle();
    EXPECT_FALSE(fits->Done()) << "50 + 50 is within 100";
    reader.Release(ReaderEndpoint::BulkOut);
    Settle();
    EXPECT_TRUE(first->Done() && fits->Done());
}

TEST_F(WriteTest, TxEmptyIsReportedOnceTheLastWriteWentOut)
{
    SetWaitMask(SERIAL_EV_TXEMPTY);
    std::shared_ptr<PendingIo> wait = Control(IOCTL_SERIAL_WAIT_ON_MASK, {}, sizeof(ULONG));
    reader.Hold(ReaderEndpoint::BulkOut);
    std::shared_ptr<PendingIo> first = Write("ab");
    std::shared_ptr<PendingIo> second = Write("cd");
    Settle();
    EXPECT_FALSE(wait->Done());
    reader.Release(ReaderEndpoint::BulkOut);
    Settle();
    ASSERT_TRUE(wait->Done());
    EXPECT_EQ(wait->Status(), STATUS_SUCCESS);
    EXPECT_EQ(As<ULONG>(wait->buffer), static_cast<ULONG>(SERIAL_EV_TXEMPTY));
}

TEST_F(WriteTest, WritesFailOnceTheReaderIsGone)
{
    reader.Disconnect();
    std::shared_ptr<PendingIo> write = Write("x");
    Settle();
    ASSERT_TRUE(write->Done());
    EXPECT_FALSE(NT_SUCCESS(write->Status()));
    EXPECT_TRUE(context->DeviceGone);
    std::shared_ptr<PendingIo> next = Write("y");
    Settle();
    ASSERT_TRUE(next->Done());
    EXPECT_EQ(next->Status(), STATUS_DEVICE_NOT_CONNECTED);
}

TEST_F(WriteTest, AFailedTransferAsksForRecovery)
{
    reader.FailTransfers(ReaderEndpoint::BulkOut, 1, STATUS_UNSUCCESSFUL, USBD_STATUS_STALL_PID);
    std::shared_ptr<PendingIo> write = Write("x");
    machine->RunSystemThreadsToRest();
    Settle();
    ASSERT_TRUE(write->Done());
    EXPECT_EQ(write->Status(), STATUS_UNSUCCESSFUL);
    EXPECT_GE(reader.PipeResets(ReaderEndpoint::BulkOut), 1u);
    std::shared_ptr<PendingIo> next = Write("y");
    Settle();
    ASSERT_TRUE(next->Done());
    EXPECT_EQ(next->Status(), STATUS_SUCCESS);
}

TEST_F(WriteTest, AWriteWhileABreakIsAssertedIsRefused)
{
    ASSERT_EQ(Call(IOCTL_SERIAL_SET_BREAK_ON).status, STATUS_SUCCESS);
    std::shared_ptr<PendingIo> write = Write("x");
    Settle();
    ASSERT_TRUE(write->Done());
    EXPECT_EQ(write->Status(), STATUS_INVALID_DEVICE_STATE);
    EXPECT_EQ(TxPending(), 0u);
}

TEST_F(WriteTest, PurgeAbortsEveryReadAndWriteAndAcceptsNewOnes)
{
    reader.Hold(ReaderEndpoint::BulkOut);
    std::shared_ptr<PendingIo> w1 = Write("1");
    std::shared_ptr<PendingIo> w2 = Write("2");
    std::shared_ptr<PendingIo> r1 = Read(5);
    std::shared_ptr<PendingIo> r2 = Read(5);
    Settle();
    ASSERT_EQ(Call(IOCTL_SERIAL_PURGE, Bytes<ULONG>(SERIAL_PURGE_TXABORT | SERIAL_PURGE_RXABORT)).status,
              STATUS_SUCCESS);
    for (PendingIo* io : {w1.get(), w2.get(), r1.get(), r2.get()})
    {
        ASSERT_TRUE(io->Done());
        EXPECT_EQ(io->Status(), STATUS_CANCELLED);
        EXPECT_EQ(io->Bytes(), 0u);
    }
    EXPECT_EQ(TxPending(), 0u);
    reader.Release(ReaderEndpoint::BulkOut);
    std::shared_ptr<PendingIo> after = Write("new");
    std::shared_ptr<PendingIo> read = Read(2);
    Settle();
    Receive("ok");
    ASSERT_TRUE(after->Done() && read->Done());
    EXPECT_EQ(after->Status(), STATUS_SUCCESS);
    EXPECT_EQ(read->Text(), "ok");
}

} // namespace
} // namespace tarnocom::testing
