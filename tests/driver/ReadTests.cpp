// Reads on an open port: the time-out rules, the receive ring and its limits, direct delivery into
// a waiting read, the ring's enlargement, and the receive events.
#include "SerialTestSupport.h"

namespace tarnocom::testing
{
namespace
{

using std::chrono::milliseconds;

class ReadTest : public SerialPortTest
{
  protected:
    SERIAL_STATUS CommStatus()
    {
        ControlResult result = Call(IOCTL_SERIAL_GET_COMMSTATUS, {}, sizeof(SERIAL_STATUS));
        EXPECT_EQ(result.status, STATUS_SUCCESS);
        return As<SERIAL_STATUS>(result.output);
    }
};

// One step of a read's life: the reader sends some bytes, then the clock moves on; afterwards the
// read is done or still pending.
struct ReadStep
{
    std::string send;
    int advanceMs;
    bool doneAfter;
};

struct TimeoutCase
{
    const char* name;
    ULONG interval, multiplier, constant;
    std::string inRing; // bytes waiting in the ring before the read
    ULONG length;
    std::vector<ReadStep> steps;
    std::string result; // what the read returns, with STATUS_SUCCESS
};

class ReadTimeoutTest : public ReadTest, public ::testing::WithParamInterface<TimeoutCase>
{
};

TEST_P(ReadTimeoutTest, CompletesWhenItsTimeoutsSay)
{
    const TimeoutCase& c = GetParam();
    SetTimeouts(c.interval, c.multiplier, c.constant);
    if (!c.inRing.empty())
    {
        Receive(c.inRing);
    }
    std::shared_ptr<PendingIo> read = Read(c.length);
    Settle();
    int step = 0;
    for (const ReadStep& s : c.steps)
    {
        if (!s.send.empty())
        {
            Receive(s.send);
        }
        if (s.advanceMs > 0)
        {
            Advance(milliseconds(s.advanceMs));
        }
        ASSERT_EQ(read->Done(), s.doneAfter) << "after step " << step;
        ++step;
    }
    EXPECT_EQ(read->Status(), STATUS_SUCCESS);
    EXPECT_EQ(read->Text(), c.result);
    EXPECT_EQ(context->CurrentRead, nullptr) << "the read left its slot";
}

const ULONG Max = MAXULONG;

INSTANTIATE_TEST_SUITE_P(
    Rows, ReadTimeoutTest,
    ::testing::Values(
        TimeoutCase{"ImmediateOnEmptyRing", Max, 0, 0, "", 10, {{"", 0, true}}, ""},
        TimeoutCase{"ImmediateTakesWhatTheRingHolds", Max, 0, 0, "abc", 10, {{"", 0, true}}, "abc"},
        TimeoutCase{"NoTimerWaitsForEveryByte",
                    Max,
                    0,
                    Max,
                    "",
                    5,
                    {{"", 3600000, false}, {"abc", 0, false}, {"de", 0, true}},
                    "abcde"},
        TimeoutCase{"AnyByteEndsTheWait", Max, Max, 100, "", 10, {{"", 99, false}, {"xyz", 0, true}}, "x"},
        TimeoutCase{"AnyByteTimesOutEmpty", Max, Max, 100, "", 10, {{"", 99, false}, {"", 1, true}}, ""},
        TimeoutCase{"AnyByteTakesTheRingAtOnce", Max, Max, 100, "hello", 10, {{"", 0, true}}, "hello"},
        TimeoutCase{"TotalWithRingDataReturnsAtOnce", Max, 2, 50, "ab", 10, {{"", 0, true}}, "ab"},
        TimeoutCase{"TotalWaitsForTheTimerOnEmptyRing",
                    Max,
                    2,
                    50,
                    "",
                    10,
                    {{"xyz", 69, false}, {"", 1, true}},
                    "xyz"},
        TimeoutCase{
            "IntervalAloneNeverTimesOut", 50, 0, 0, "ab", 4, {{"", 10000, false}, {"cd", 0, true}}, "abcd"},
        TimeoutCase{"TotalTimeoutIsLengthTimesMultiplierPlusConstant",
                    0,
                    10,
                    100,
                    "",
                    5,
                    {{"ab", 149, false}, {"", 1, true}},
                    "ab"},
        TimeoutCase{"FullBeforeTheTimer", 0, 10, 100, "", 3, {{"abcd", 0, true}}, "abc"}),
    SerialCaseName<TimeoutCase>);

TEST_F(ReadTest, ARingHoldsOneByteLessThanItsSize)
{
    Receive(std::string(4000, 'a'));
    ASSERT_EQ(CommStatus().AmountInInQueue, 4000u);

    Receive(std::string(96, 'b'));
    SERIAL_STATUS status = CommStatus();
    EXPECT_EQ(status.AmountInInQueue, 4000u) << "4000 + 96 fills the ring: the chunk is refused whole";
    EXPECT_EQ(status.Errors, static_cast<ULONG>(SERIAL_ERROR_QUEUEOVERRUN));
    EXPECT_EQ(context->PerfStats.BufferOverrunErrorCount, 1u);

    Receive(std::string(95, 'c'));
    EXPECT_EQ(CommStatus().AmountInInQueue, 4095u);
    EXPECT_EQ(CommStatus().Errors, 0u) << "the error word is cleared by the report";

    SetTimeouts(Max, 0, 0);
    std::shared_ptr<PendingIo> read = Read(4095);
    Settle();
    ASSERT_TRUE(read->Done());
    EXPECT_EQ(read->Text(), std::string(4000, 'a') + std::string(95, 'c'));
}

TEST_F(ReadTest, TheRingWrapsWithoutLosingOrder)
{
    SetTimeouts(Max, 0, 0);
    std::string sent;
    std::string got;
    for (int round = 0; round < 12; ++round)
    {
        std::string chunk(700, static_cast<char>('A' + round));
        chunk[0] = static_cast<char>('a' + round);
        Receive(chunk);
        sent += chunk;
        std::shared_ptr<PendingIo> read = Read(round % 2 == 0 ? 500 : 900);
        Settle();
        ASSERT_TRUE(read->Done());
        got += read->Text();
    }
    std::shared_ptr<PendingIo> rest = Read(4096);
    Settle();
    got += rest->Text();
    EXPECT_EQ(got, sent);
}

TEST_F(ReadTest, AChunkLargerThanTheWaitingReadLeavesTheRestInTheRing)
{
    std::shared_ptr<PendingIo> read = Read(10);
    Settle();
    ASSERT_FALSE(read->Done());
    Receive("0123456789ABCDEF");
    ASSERT_TRUE(read->Done());
    EXPECT_EQ(read->Text(), "0123456789");
    EXPECT_EQ(read->Bytes(), 10u);
    EXPECT_EQ(CommStatus().AmountInInQueue, 6u);

    std::shared_ptr<PendingIo> next = Read(6);
    Settle();
    ASSERT_TRUE(next->Done());
    EXPECT_EQ(next->Text(), "ABCDEF");
}

TEST_F(ReadTest, ReadsQueueBehindTheWaitingOneAndFillInOrder)
{
    std::shared_ptr<PendingIo> first = Read(4);
    std::shared_ptr<PendingIo> second = Read(3);
    std::shared_ptr<PendingIo> third = Read(2);
    Settle();
    ULONG queued = 0;
    WdfIoQueueGetState(context->ReadQueue, &queued, nullptr);
    EXPECT_EQ(queued, 2u);
    Receive("abcdefghi");
    ASSERT_TRUE(first->Done() && second->Done() && third->Done());
    EXPECT_EQ(first->Text(), "abcd");
    EXPECT_EQ(second->Text(), "efg");
    EXPECT_EQ(third->Text(), "hi");
}

TEST_F(ReadTest, CancelledReadReportsNothingAndTheNextBytesGoToTheRing)
{
    std::shared_ptr<PendingIo> read = Read(10);
    Settle();
    Receive("abc");
    ASSERT_FALSE(read->Done());
    ASSERT_TRUE(CancelIoEx(port, &read->overlapped));
    Settle();
    ASSERT_TRUE(read->Done());
    EXPECT_EQ(read->Status(), STATUS_CANCELLED);
    EXPECT_EQ(read->Bytes(), 0u);
    Receive("xyz");
    EXPECT_EQ(CommStatus().AmountInInQueue, 3u);
}

TEST_F(ReadTest, TimedOutReadKeepsTheBytesItReceived)
{
    SetTimeouts(0, 0, 100);
    std::shared_ptr<PendingIo> read = Read(10);
    Settle();
    Receive("abc");
    Advance(milliseconds(100));
    ASSERT_TRUE(read->Done());
    EXPECT_EQ(read->Status(), STATUS_SUCCESS);
    EXPECT_EQ(read->Text(), "abc");
    Receive("z");
    EXPECT_EQ(CommStatus().AmountInInQueue, 1u) << "the ring takes the bytes after the read";
}

TEST_F(ReadTest, RxClearKeepsTheBytesAWaitingReadAlreadyHas)
{
    std::shared_ptr<PendingIo> read = Read(6);
    Settle();
    Receive("abc");
    ASSERT_EQ(Call(IOCTL_SERIAL_PURGE, Bytes<ULONG>(SERIAL_PURGE_RXCLEAR)).status, STATUS_SUCCESS);
    ASSERT_FALSE(read->Done());
    Receive("def");
    ASSERT_TRUE(read->Done());
    EXPECT_EQ(read->Text(), "abcdef");
}

TEST_F(ReadTest, RxClearEmptiesTheRing)
{
    Receive("stale");
    ASSERT_EQ(Call(IOCTL_SERIAL_PURGE, Bytes<ULONG>(SERIAL_PURGE_RXCLEAR)).status, STATUS_SUCCESS);
    EXPECT_EQ(CommStatus().AmountInInQueue, 0u);
    Receive("new");
    SetTimeouts(Max, 0, 0);
    std::shared_ptr<PendingIo> read = Read(10);
    Settle();
    EXPECT_EQ(read->Text(), "new");
}

TEST_F(ReadTest, EnlargingTheRingKeepsItsBytesAndMovesTheLimits)
{
    Receive("hello");
    SERIAL_HANDFLOW handFlow{SERIAL_DTR_CONTROL, SERIAL_RTS_CONTROL, 100, 200};
    ASSERT_EQ(Call(IOCTL_SERIAL_SET_HANDFLOW, Bytes(handFlow)).status, STATUS_SUCCESS);
    SERIAL_QUEUE_SIZE size{8192, 0};
    ASSERT_EQ(Call(IOCTL_SERIAL_SET_QUEUE_SIZE, Bytes(size)).status, STATUS_SUCCESS);

    EXPECT_EQ(context->RxSize, 8192u);
    EXPECT_EQ(machine->LivePoolAllocations(TARNO_TAG_RX_REPLACE), 1u)
        << "the new ring came from the DWC1 pool";
    EXPECT_EQ(machine->LivePoolAllocations(TARNO_TAG_RX_RING), 0u) << "the old ring is freed";
    SERIAL_HANDFLOW limits =
        As<SERIAL_HANDFLOW>(Call(IOCTL_SERIAL_GET_HANDFLOW, {}, sizeof(SERIAL_HANDFLOW)).output);
    EXPECT_EQ(limits.XonLimit, 4096);
    EXPECT_EQ(limits.XoffLimit, 1024);
    EXPECT_EQ(CommStatus().AmountInInQueue, 5u);

    Receive(std::string(4096, 'x'));
    EXPECT_EQ(CommStatus().AmountInInQueue, 5u + 4096u) << "a chunk the old ring refused fits now";
    SetTimeouts(Max, 0, 0);
    std::shared_ptr<PendingIo> read = Read(10);
    Settle();
    EXPECT_EQ(read->Text(), "helloxxxxx");
}

TEST_F(ReadTest, EnlargingTheRingWaitsForTheReadBeforeIt)
{
    std::shared_ptr<PendingIo> read = Read(4);
    Settle();
    Receive("ab");
    SERIAL_QUEUE_SIZE size{16384, 0};
    std::shared_ptr<PendingIo> resize = Control(IOCTL_SERIAL_SET_QUEUE_SIZE, Bytes(size), 0);
    Settle();
    EXPECT_FALSE(resize->Done()) << "the swap waits its turn on the read queue";
    EXPECT_EQ(context->RxSize, 4096u);
    Receive("cdef");
    ASSERT_TRUE(read->Done());
    ASSERT_TRUE(resize->Done());
    EXPECT_EQ(resize->Status(), STATUS_SUCCESS);
    EXPECT_EQ(read->Text(), "abcd");
    EXPECT_EQ(context->RxSize, 16384u);
    EXPECT_EQ(CommStatus().AmountInInQueue, 2u) << "the surplus moved into the new ring";
}

TEST_F(ReadTest, AReadWhileABreakIsAssertedIsRefused)
{
    ASSERT_EQ(Call(IOCTL_SERIAL_SET_BREAK_ON).status, STATUS_SUCCESS);
    std::shared_ptr<PendingIo> read = Read(1);
    Settle();
    ASSERT_TRUE(read->Done());
    EXPECT_EQ(read->Status(), STATUS_INVALID_DEVICE_STATE);
    ASSERT_EQ(Call(IOCTL_SERIAL_SET_BREAK_OFF).status, STATUS_SUCCESS);
}

TEST_F(ReadTest, OverrunWithErrorAbortCancelsReadsUntilTheErrorIsReported)
{
    SERIAL_HANDFLOW handFlow{SERIAL_DTR_CONTROL | SERIAL_ERROR_ABORT, SERIAL_RTS_CONTROL, 0, 0};
    ASSERT_EQ(Call(IOCTL_SERIAL_SET_HANDFLOW, Bytes(handFlow)).status, STATUS_SUCCESS);
    Receive(std::string(4000, 'a'));
    std::shared_ptr<PendingIo> write = nullptr;
    reader.Hold(winsim::machine::ReaderEndpoint::BulkOut);
    write = Write("held");
    Settle();
    ASSERT_FALSE(write->Done());
    Receive(std::string(200, 'b'));
    reader.Release(winsim::machine::ReaderEndpoint::BulkOut);
    Settle();
    ASSERT_TRUE(write->Done());
    EXPECT_EQ(write->Status(), STATUS_CANCELLED);

    std::shared_ptr<PendingIo> read = Read(1);
    Settle();
    ASSERT_TRUE(read->Done());
    EXPECT_EQ(read->Status(), STATUS_CANCELLED) << "refused while the error stands";
    EXPECT_EQ(Call(IOCTL_SERIAL_GET_BAUD_RATE, {}, 4).status, STATUS_CANCELLED);

    EXPECT_EQ(CommStatus().Errors, static_cast<ULONG>(SERIAL_ERROR_QUEUEOVERRUN));
    std::shared_ptr<PendingIo> after = Read(1);
    Settle();
    ASSERT_TRUE(after->Done());
    EXPECT_EQ(after->Status(), STATUS_SUCCESS);
    EXPECT_EQ(after->Text(), "a");
}

TEST_F(ReadTest, AChunkThatMeetsAClosedPortIsDroppedUncounted)
{
    CloseHandle(port);
    port = INVALID_HANDLE_VALUE;
    Settle();
    ULONG received = context->PerfStats.ReceivedCount;
    // The chain has stopped, so no transfer brings bytes now; one that was on its way when the
    // port closed ends here.
    const UCHAR late[] = {'l', 'o', 's', 't'};
    ReceiveChunk(context, late, sizeof(late));
    EXPECT_EQ(context->PerfStats.ReceivedCount, received);

    port = OpenPort();
    ASSERT_NE(port, INVALID_HANDLE_VALUE);
    Receive("kept");
    SetTimeouts(Max, 0, 0);
    std::shared_ptr<PendingIo> read = Read(10);
    Settle();
    EXPECT_EQ(read->Text(), "kept");
}

TEST_F(ReadTest, TheReaderKeepsItsBytesWhileThePortIsClosed)
{
    CloseHandle(port);
    port = INVALID_HANDLE_VALUE;
    Settle();
    reader.PushBulkIn("waiting");
    Settle();
    EXPECT_EQ(reader.OutstandingBulkInReads(), 0u) << "a closed port does not read";
    port = OpenPort();
    ASSERT_NE(port, INVALID_HANDLE_VALUE);
    Settle();
    SetTimeouts(Max, 0, 0);
    std::shared_ptr<PendingIo> read = Read(10);
    Settle();
    EXPECT_EQ(read->Text(), "waiting");
}

// --- receive and line events ---------------------------------------------------------------------

TEST_F(ReadTest, ReceivedBytesCompleteAWaitForRxChar)
{
    SetWaitMask(SERIAL_EV_RXCHAR | SERIAL_EV_CTS);
    std::shared_ptr<PendingIo> wait = Control(IOCTL_SERIAL_WAIT_ON_MASK, {}, sizeof(ULONG));
    Settle();
    ASSERT_FALSE(wait->Done());
    Receive("x");
    ASSERT_TRUE(wait->Done());
    EXPECT_EQ(wait->Status(), STATUS_SUCCESS);
    EXPECT_EQ(wait->Bytes(), sizeof(ULONG));
    EXPECT_EQ(As<ULONG>(wait->buffer), static_cast<ULONG>(SERIAL_EV_RXCHAR));
}

TEST_F(ReadTest, RxFlagIsRaisedForEveryChunkWhenAsked)
{
    SetWaitMask(SERIAL_EV_RXFLAG);
    Receive("no event char here");
    std::shared_ptr<PendingIo> wait = Control(IOCTL_SERIAL_WAIT_ON_MASK, {}, sizeof(ULONG));
    Settle();
    ASSERT_TRUE(wait->Done()) << "the event that already occurred completes the wait at once";
    EXPECT_EQ(As<ULONG>(wait->buffer), static_cast<ULONG>(SERIAL_EV_RXFLAG));
}

TEST_F(ReadTest, HighWaterRaisesRx80Full)
{
    SetWaitMask(SERIAL_EV_RX80FULL);
    std::shared_ptr<PendingIo> wait = Control(IOCTL_SERIAL_WAIT_ON_MASK, {}, sizeof(ULONG));
    Settle();
    Receive(std::string(3327, 'a'));
    EXPECT_FALSE(wait->Done()) << "3327 bytes are below the mark of 3328";
    Receive("b");
    ASSERT_TRUE(wait->Done());
    EXPECT_EQ(As<ULONG>(wait->buffer), static_cast<ULONG>(SERIAL_EV_RX80FULL));
}

struct LineCase
{
    const char* name;
    USHORT bitmap;
    ULONG modemStatus;
    ULONG events;
};

class LineStateTest : public ReadTest, public ::testing::WithParamInterface<LineCase>
{
};

TEST_P(LineStateTest, FollowsTheLevelsTheReaderReports)
{
    SetWaitMask(0x1FFF);
    std::shared_ptr<PendingIo> wait = Control(IOCTL_SERIAL_WAIT_ON_MASK, {}, sizeof(ULONG));
    Settle();
    reader.PushSerialState(GetParam().bitmap);
    Settle();
    EXPECT_EQ(As<ULONG>(Call(IOCTL_SERIAL_GET_MODEMSTATUS, {}, 4).output), GetParam().modemStatus);
    EXPECT_EQ(wait->Done(), GetParam().events != 0);
    if (wait->Done())
    {
        EXPECT_EQ(As<ULONG>(wait->buffer), GetParam().events);
    }
}

INSTANTIATE_TEST_SUITE_P(Bitmaps, LineStateTest,
                         ::testing::Values(LineCase{"Nothing", 0x00, 0, 0},
                                           LineCase{"Carrier", 0x01, SERIAL_CTS_STATE | SERIAL_DCD_STATE,
                                                    SERIAL_EV_CTS | SERIAL_EV_RLSD},
                                           LineCase{"Dsr", 0x02, SERIAL_DSR_STATE, SERIAL_EV_DSR},
                                           LineCase{"Ring", 0x08, SERIAL_RI_STATE, SERIAL_EV_RING},
                                           LineCase{"All", 0x0B, 0xF0,
                                                    SERIAL_EV_CTS | SERIAL_EV_RLSD | SERIAL_EV_DSR |
                                                        SERIAL_EV_RING},
                                           LineCase{"BreakBitIsNoLine", 0x04, 0, 0}),
                         SerialCaseName<LineCase>);

} // namespace
} // namespace tarnocom::testing
