// The serial I/O controls: buffer lengths around each control's structure, validation that
// changes nothing, the settings sent to the reader, and the queries.
#include "SerialTestSupport.h"

#include <thread>

namespace tarnocom::testing
{
namespace
{

using winsim::machine::ReaderControlRequest;

class IoctlTest : public SerialPortTest
{
  protected:
    // The class requests the reader received since the last call.
    std::vector<ReaderControlRequest> TakeClassRequests()
    {
        std::vector<ReaderControlRequest> all = reader.ControlRequests();
        std::vector<ReaderControlRequest> fresh(all.begin() + static_cast<std::ptrdiff_t>(seen), all.end());
        seen = all.size();
        std::vector<ReaderControlRequest> classRequests;
        for (const ReaderControlRequest& request : fresh)
        {
            if (request.bmRequestType == 0x21)
            {
                classRequests.push_back(request);
            }
        }
        return classRequests;
    }
    size_t seen = 0;
};

// A control and the size of the structure it reads (input) or returns (output).
struct LengthCase
{
    const char* name;
    ULONG code;
    ULONG size;
    bool output;
    std::vector<UCHAR> validInput; // a valid input of `size` bytes, for input controls
};

class ControlLengthTest : public IoctlTest, public ::testing::WithParamInterface<LengthCase>
{
};

TEST_P(ControlLengthTest, NeedsItsWholeStructure)
{
    const LengthCase& c = GetParam();
    struct Try
    {
        ULONG length;
        bool succeeds;
    };
    for (Try attempt : {Try{0, false}, Try{c.size - 1, false}, Try{c.size, true}, Try{c.size + 1, true}})
    {
        std::vector<UCHAR> input;
        ULONG outputLength = 0;
        if (c.output)
        {
            outputLength = attempt.length;
        }
        else
        {
            input = c.validInput;
            input.resize(attempt.length, 0);
        }
        ControlResult result = Call(c.code, input, outputLength);
        if (!attempt.succeeds)
        {
            EXPECT_EQ(result.status, STATUS_BUFFER_TOO_SMALL) << "length " << attempt.length;
            EXPECT_EQ(result.information, 0u) << "length " << attempt.length;
            EXPECT_EQ(std::count(result.output.begin(), result.output.end(), 0xCC),
                      static_cast<std::ptrdiff_t>(result.output.size()))
                << "nothing written on failure, length " << attempt.length;
            continue;
        }
        EXPECT_EQ(result.status, STATUS_SUCCESS) << "length " << attempt.length;
        EXPECT_EQ(result.information, c.output ? c.size : 0u) << "length " << attempt.length;
        if (c.output && attempt.length > c.size)
        {
            EXPECT_EQ(result.output[c.size], 0xCC) << "nothing past the structure";
        }
    }
}

INSTANTIATE_TEST_SUITE_P(
    Controls, ControlLengthTest,
    ::testing::Values(
        LengthCase{"SetBaudRate", IOCTL_SERIAL_SET_BAUD_RATE, 4, false, {0x00, 0xC2, 0x01, 0x00}},
        LengthCase{"GetBaudRate", IOCTL_SERIAL_GET_BAUD_RATE, 4, true, {}},
        LengthCase{"SetLineControl", IOCTL_SERIAL_SET_LINE_CONTROL, 3, false, {0, 0, 8}},
        LengthCase{"GetLineControl", IOCTL_SERIAL_GET_LINE_CONTROL, 3, true, {}},
        LengthCase{"SetQueueSize", IOCTL_SERIAL_SET_QUEUE_SIZE, 8, false, {0, 0, 0, 0, 0, 0, 0, 0}},
        LengthCase{"SetTimeouts", IOCTL_SERIAL_SET_TIMEOUTS, 20, false, std::vector<UCHAR>(20, 0)},
        LengthCase{"GetTimeouts", IOCTL_SERIAL_GET_TIMEOUTS, 20, true, {}},
        LengthCase{"GetWaitMask", IOCTL_SERIAL_GET_WAIT_MASK, 4, true, {}},
        LengthCase{"SetWaitMask", IOCTL_SERIAL_SET_WAIT_MASK, 4, false, {1, 0, 0, 0}},
        LengthCase{"Purge", IOCTL_SERIAL_PURGE, 4, false, {SERIAL_PURGE_RXCLEAR, 0, 0, 0}},
        LengthCase{"GetChars", IOCTL_SERIAL_GET_CHARS, 6, true, {}},
        LengthCase{"SetChars", IOCTL_SERIAL_SET_CHARS, 6, false, {0, 0, 0, 0, 0x11, 0x13}},
        LengthCase{"GetHandflow", IOCTL_SERIAL_GET_HANDFLOW, 16, true, {}},
        LengthCase{"SetHandflow", IOCTL_SERIAL_SET_HANDFLOW, 16, false, std::vector<UCHAR>(16, 0)},
        LengthCase{"GetModemStatus", IOCTL_SERIAL_GET_MODEMSTATUS, 4, true, {}},
        LengthCase{"GetDtrRts", IOCTL_SERIAL_GET_DTRRTS, 4, true, {}},
        LengthCase{"GetCommStatus", IOCTL_SERIAL_GET_COMMSTATUS, 20, true, {}},
        LengthCase{"GetProperties", IOCTL_SERIAL_GET_PROPERTIES, 64, true, {}},
        LengthCase{"ConfigSize", IOCTL_SERIAL_CONFIG_SIZE, 4, true, {}}),
    SerialCaseName<LengthCase>);

// A control that fails validation, and the query that shows nothing changed.
struct RefusalCase
{
    const char* name;
    ULONG code;
    std::vector<UCHAR> input;
    ULONG query;
    ULONG queryLength;
};

class RefusalTest : public IoctlTest, public ::testing::WithParamInterface<RefusalCase>
{
};

TEST_P(RefusalTest, FailsWithInvalidParameterAndChangesNothing)
{
    const RefusalCase& c = GetParam();
    std::vector<UCHAR> before = Call(c.query, {}, c.queryLength).output;
    size_t requestsBefore = reader.ControlRequests().size();
    ControlResult result = Call(c.code, c.input);
    EXPECT_EQ(result.status, STATUS_INVALID_PARAMETER);
    EXPECT_EQ(result.information, 0u);
    EXPECT_EQ(Call(c.query, {}, c.queryLength).output, before);
    EXPECT_EQ(reader.ControlRequests().size(), requestsBefore) << "nothing sent to the reader";
}

SERIAL_TIMEOUTS AllReadMax{MAXULONG, MAXULONG, MAXULONG, 0, 0};
SERIAL_HANDFLOW XonPastRing{SERIAL_DTR_CONTROL, SERIAL_RTS_CONTROL, 4097, 0};
SERIAL_HANDFLOW XoffPastRing{SERIAL_DTR_CONTROL, SERIAL_RTS_CONTROL, 0, 4097};

template <typename T>
std::vector<UCHAR> Raw(const T& value)
{
    const UCHAR* at = reinterpret_cast<const UCHAR*>(&value);
    return std::vector<UCHAR>(at, at + sizeof(T));
}

INSTANTIATE_TEST_SUITE_P(
    Controls, RefusalTest,
    ::testing::Values(
        RefusalCase{"BaudZero", IOCTL_SERIAL_SET_BAUD_RATE, {0, 0, 0, 0}, IOCTL_SERIAL_GET_BAUD_RATE, 4},
        RefusalCase{
            "FourDataBits", IOCTL_SERIAL_SET_LINE_CONTROL, {0, 0, 4}, IOCTL_SERIAL_GET_LINE_CONTROL, 3},
        RefusalCase{
            "NineDataBits", IOCTL_SERIAL_SET_LINE_CONTROL, {0, 0, 9}, IOCTL_SERIAL_GET_LINE_CONTROL, 3},
        RefusalCase{"ParityFive", IOCTL_SERIAL_SET_LINE_CONTROL, {0, 5, 8}, IOCTL_SERIAL_GET_LINE_CONTROL, 3},
        RefusalCase{
            "StopBitsThree", IOCTL_SERIAL_SET_LINE_CONTROL, {3, 0, 8}, IOCTL_SERIAL_GET_LINE_CONTROL, 3},
        RefusalCase{
            "FiveBitsTwoStop", IOCTL_SERIAL_SET_LINE_CONTROL, {2, 0, 5}, IOCTL_SERIAL_GET_LINE_CONTROL, 3},
        RefusalCase{"EightBitsOneAndAHalfStop",
                    IOCTL_SERIAL_SET_LINE_CONTROL,
                    {1, 0, 8},
                    IOCTL_SERIAL_GET_LINE_CONTROL,
                    3},
        RefusalCase{"AllReadTimeoutsMax", IOCTL_SERIAL_SET_TIMEOUTS, Raw(AllReadMax),
                    IOCTL_SERIAL_GET_TIMEOUTS, 20},
        RefusalCase{
            "WaitMaskBeyond", IOCTL_SERIAL_SET_WAIT_MASK, {0x00, 0x20, 0, 0}, IOCTL_SERIAL_GET_WAIT_MASK, 4},
        RefusalCase{"PurgeNothing", IOCTL_SERIAL_PURGE, {0, 0, 0, 0}, IOCTL_SERIAL_GET_COMMSTATUS, 20},
        RefusalCase{"PurgeUnknownBit", IOCTL_SERIAL_PURGE, {0x10, 0, 0, 0}, IOCTL_SERIAL_GET_COMMSTATUS, 20},
        RefusalCase{"XonLimitPastRing", IOCTL_SERIAL_SET_HANDFLOW, Raw(XonPastRing),
                    IOCTL_SERIAL_GET_HANDFLOW, 16},
        RefusalCase{"XoffLimitPastRing", IOCTL_SERIAL_SET_HANDFLOW, Raw(XoffPastRing),
                    IOCTL_SERIAL_GET_HANDFLOW, 16},
        RefusalCase{"UnknownControl",
                    CTL_CODE(FILE_DEVICE_SERIAL_PORT, 200, METHOD_BUFFERED, FILE_ANY_ACCESS),
                    {},
                    IOCTL_SERIAL_GET_BAUD_RATE,
                    4}),
    SerialCaseName<RefusalCase>);

TEST_F(IoctlTest, AcceptedSettingsReadBackAndReachTheReader)
{
    TakeClassRequests();
    ASSERT_EQ(Call(IOCTL_SERIAL_SET_BAUD_RATE, Bytes<ULONG>(115200)).status, STATUS_SUCCESS);
    SERIAL_LINE_CONTROL lineControl{STOP_BITS_2, EVEN_PARITY, 8};
    ASSERT_EQ(Call(IOCTL_SERIAL_SET_LINE_CONTROL, Bytes(lineControl)).status, STATUS_SUCCESS);
    EXPECT_EQ(As<ULONG>(Call(IOCTL_SERIAL_GET_BAUD_RATE, {}, 4).output), 115200u);
    SERIAL_LINE_CONTROL back = As<SERIAL_LINE_CONTROL>(Call(IOCTL_SERIAL_GET_LINE_CONTROL, {}, 3).output);
    EXPECT_EQ(back.StopBits, STOP_BITS_2);
    EXPECT_EQ(back.Parity, EVEN_PARITY);
    EXPECT_EQ(back.WordLength, 8);

    std::vector<ReaderControlRequest> sent = TakeClassRequests();
    ASSERT_EQ(sent.size(), 2u);
    EXPECT_EQ(sent[0].bRequest, 0x20);
    EXPECT_EQ(sent[1].bRequest, 0x20);
    EXPECT_EQ(sent[1].data, (std::vector<UCHAR>{0x00, 0xC2, 0x01, 0x00, 2, 2, 8}));
}

TEST_F(IoctlTest, NonStandardRatesAndFiveBitsWithOneAndAHalfStopAreAccepted)
{
    EXPECT_EQ(Call(IOCTL_SERIAL_SET_BAUD_RATE, Bytes<ULONG>(31250)).status, STATUS_SUCCESS);
    SERIAL_LINE_CONTROL lineControl{STOP_BITS_1_5, NO_PARITY, 5};
    EXPECT_EQ(Call(IOCTL_SERIAL_SET_LINE_CONTROL, Bytes(lineControl)).status, STATUS_SUCCESS);
    SERIAL_TIMEOUTS twoMax{MAXULONG, MAXULONG, 10, 0, 0};
    EXPECT_EQ(Call(IOCTL_SERIAL_SET_TIMEOUTS, Bytes(twoMax)).status, STATUS_SUCCESS);
    EXPECT_EQ(Call(IOCTL_SERIAL_SET_WAIT_MASK, Bytes<ULONG>(0x1FFF)).status, STATUS_SUCCESS);
}

TEST_F(IoctlTest, ARefusedLineCodingKeepsTheNewValueButFails)
{
    reader.IgnoreClassRequests();
    // The dispatcher waits for the reader on the caller's thread, up to the request's time-out.
    NTSTATUS status = STATUS_PENDING;
    std::thread caller([&] { status = Call(IOCTL_SERIAL_SET_BAUD_RATE, Bytes<ULONG>(9600)).status; });
    AwaitDeadlineWithin(std::chrono::milliseconds(5000));
    machine->AdvanceClock(std::chrono::milliseconds(5000));
    caller.join();
    EXPECT_EQ(status, STATUS_INVALID_PARAMETER);
    reader.IgnoreClassRequests(false);
    EXPECT_EQ(As<ULONG>(Call(IOCTL_SERIAL_GET_BAUD_RATE, {}, 4).output), 9600u);
}

TEST_F(IoctlTest, ControlLinesFollowTheClientAndTheHandshakeRules)
{
    TakeClassRequests();
    ASSERT_EQ(Call(IOCTL_SERIAL_SET_DTR).status, STATUS_SUCCESS);
    EXPECT_EQ(As<ULONG>(Call(IOCTL_SERIAL_GET_DTRRTS, {}, 4).output), SERIAL_DTR_STATE | SERIAL_RTS_STATE);
    ASSERT_EQ(Call(IOCTL_SERIAL_CLR_RTS).status, STATUS_SUCCESS);
    EXPECT_EQ(As<ULONG>(Call(IOCTL_SERIAL_GET_DTRRTS, {}, 4).output), SERIAL_DTR_STATE);
    std::vector<ReaderControlRequest> sent = TakeClassRequests();
    ASSERT_EQ(sent.size(), 2u);
    EXPECT_EQ(sent[0].bRequest, 0x22);
    EXPECT_EQ(sent[0].wValue, 3);
    EXPECT_EQ(sent[1].wValue, 1);

    SERIAL_HANDFLOW dtrHandshake{SERIAL_DTR_HANDSHAKE, SERIAL_RTS_HANDSHAKE, 0, 0};
    ASSERT_EQ(Call(IOCTL_SERIAL_SET_HANDFLOW, Bytes(dtrHandshake)).status, STATUS_SUCCESS);
    EXPECT_EQ(Call(IOCTL_SERIAL_CLR_DTR).status, STATUS_INVALID_PARAMETER);
    EXPECT_EQ(Call(IOCTL_SERIAL_SET_RTS).status, STATUS_INVALID_PARAMETER);
    SERIAL_HANDFLOW toggle{SERIAL_DTR_CONTROL, SERIAL_TRANSMIT_TOGGLE, 0, 0};
    ASSERT_EQ(Call(IOCTL_SERIAL_SET_HANDFLOW, Bytes(toggle)).status, STATUS_SUCCESS);
    EXPECT_EQ(Call(IOCTL_SERIAL_SET_RTS).status, STATUS_INVALID_PARAMETER);
    EXPECT_EQ(TakeClassRequests().size(), 0u);

    ASSERT_EQ(Call(IOCTL_SERIAL_SET_BREAK_ON).status, STATUS_SUCCESS);
    sent = TakeClassRequests();
    ASSERT_EQ(sent.size(), 2u) << "transmit toggle raises RTS before the break";
    EXPECT_EQ(sent[0].bRequest, 0x22);
    EXPECT_EQ(sent[0].wValue, 3);
    EXPECT_EQ(sent[1].bRequest, 0x23);
    EXPECT_EQ(sent[1].wValue, 0xFFFF);
    EXPECT_TRUE(context->BreakOn);
    ASSERT_EQ(Call(IOCTL_SERIAL_SET_BREAK_OFF).status, STATUS_SUCCESS);
    EXPECT_FALSE(context->BreakOn);
}

TEST_F(IoctlTest, CommStatusReportsAndClearsTheErrors)
{
    Receive(std::string(4000, 'a'));
    Receive(std::string(200, 'b'));
    SERIAL_STATUS first = As<SERIAL_STATUS>(Call(IOCTL_SERIAL_GET_COMMSTATUS, {}, 20).output);
    SERIAL_STATUS second = As<SERIAL_STATUS>(Call(IOCTL_SERIAL_GET_COMMSTATUS, {}, 20).output);
    EXPECT_EQ(first.Errors, static_cast<ULONG>(SERIAL_ERROR_QUEUEOVERRUN));
    EXPECT_EQ(second.Errors, 0u);
    EXPECT_EQ(second.AmountInInQueue, 4000u);
    EXPECT_EQ(second.HoldReasons, 0u);
    EXPECT_FALSE(second.EofReceived);
}

TEST_F(IoctlTest, PropertiesDescribeThePort)
{
    SERIAL_QUEUE_SIZE size{8192, 300};
    ASSERT_EQ(Call(IOCTL_SERIAL_SET_QUEUE_SIZE, Bytes(size)).status, STATUS_SUCCESS);
    SERIAL_COMMPROP properties = As<SERIAL_COMMPROP>(Call(IOCTL_SERIAL_GET_PROPERTIES, {}, 64).output);
    EXPECT_EQ(properties.PacketLength, 64);
    EXPECT_EQ(properties.PacketVersion, 2);
    EXPECT_EQ(properties.ServiceMask, 1u);
    EXPECT_EQ(properties.MaxBaud, 0x10000000u);
    EXPECT_EQ(properties.ProvSubType, 1u);
    EXPECT_EQ(properties.ProvCapabilities, 0xFFu);
    EXPECT_EQ(properties.SettableParams, 0x7Fu);
    EXPECT_EQ(properties.SettableBaud, 0x1006FFFFu);
    EXPECT_EQ(properties.SettableData, 0x000F);
    EXPECT_EQ(properties.SettableStopParity, 0x1F07);
    EXPECT_EQ(properties.CurrentTxQueue, 300u);
    EXPECT_EQ(properties.CurrentRxQueue, 8192u);
}

TEST_F(IoctlTest, QueueSizeKeepsTheLargerTransmitSizeAndIgnoresASmallerRing)
{
    SERIAL_QUEUE_SIZE first{1024, 500};
    ASSERT_EQ(Call(IOCTL_SERIAL_SET_QUEUE_SIZE, Bytes(first)).status, STATUS_SUCCESS);
    EXPECT_EQ(context->RxSize, 4096u);
    EXPECT_EQ(context->TxQueueSize, 500u);
    SERIAL_QUEUE_SIZE smaller{0, 200};
    ASSERT_EQ(Call(IOCTL_SERIAL_SET_QUEUE_SIZE, Bytes(smaller)).status, STATUS_SUCCESS);
    EXPECT_EQ(context->TxQueueSize, 500u) << "a smaller non-zero size leaves it";
    SERIAL_QUEUE_SIZE none{0, 0};
    ASSERT_EQ(Call(IOCTL_SERIAL_SET_QUEUE_SIZE, Bytes(none)).status, STATUS_SUCCESS);
    EXPECT_EQ(context->TxQueueSize, 0u) << "0 lifts the limit";
}

TEST_F(IoctlTest, WaitRules)
{
    EXPECT_EQ(Call(IOCTL_SERIAL_WAIT_ON_MASK, {}, 4).status, STATUS_INVALID_PARAMETER) << "no mask";
    SetWaitMask(SERIAL_EV_RXCHAR);
    std::shared_ptr<PendingIo> wait = Control(IOCTL_SERIAL_WAIT_ON_MASK, {}, 4);
    Settle();
    ASSERT_FALSE(wait->Done());
    EXPECT_EQ(Call(IOCTL_SERIAL_WAIT_ON_MASK, {}, 4).status, STATUS_INVALID_PARAMETER)
        << "one wait at a time";

    SetWaitMask(SERIAL_EV_CTS);
    ASSERT_TRUE(wait->Done()) << "a new mask ends the pending wait";
    EXPECT_EQ(wait->Status(), STATUS_SUCCESS);
    EXPECT_EQ(wait->Bytes(), 4u);
    EXPECT_EQ(As<ULONG>(wait->buffer), 0u);
    EXPECT_EQ(As<ULONG>(Call(IOCTL_SERIAL_GET_WAIT_MASK, {}, 4).output), static_cast<ULONG>(SERIAL_EV_CTS));

    std::shared_ptr<PendingIo> cancelled = Control(IOCTL_SERIAL_WAIT_ON_MASK, {}, 4);
    Settle();
    ASSERT_TRUE(CancelIoEx(port, &cancelled->overlapped));
    Settle();
    ASSERT_TRUE(cancelled->Done());
    EXPECT_EQ(cancelled->Status(), STATUS_CANCELLED);
    EXPECT_EQ(cancelled->Bytes(), 0u);
    EXPECT_EQ(context->CurrentWait, nullptr);
}

TEST_F(IoctlTest, AcceptedWithoutEffect)
{
    for (ULONG code :
         {IOCTL_SERIAL_SET_XOFF, IOCTL_SERIAL_SET_XON, IOCTL_SERIAL_XOFF_COUNTER, IOCTL_SERIAL_LSRMST_INSERT,
          IOCTL_SERIAL_GET_STATS, IOCTL_SERIAL_CLEAR_STATS, IOCTL_SERIAL_GET_MODEM_CONTROL,
          IOCTL_SERIAL_SET_MODEM_CONTROL, IOCTL_SERIAL_SET_FIFO_CONTROL})
    {
        ControlResult result = Call(code, {}, 8);
        EXPECT_EQ(result.status, STATUS_SUCCESS) << std::hex << code;
        EXPECT_EQ(result.information, 0u) << std::hex << code;
        EXPECT_EQ(result.output, std::vector<UCHAR>(8, 0xCC)) << std::hex << code;
    }
}

TEST_F(IoctlTest, PipeControlsActOnEveryPipe)
{
    unsigned before = reader.PipeResets(winsim::machine::ReaderEndpoint::BulkIn);
    EXPECT_EQ(Call(IOCTL_SERIAL_RESET_PIPE).status, STATUS_SUCCESS);
    EXPECT_EQ(reader.PipeResets(winsim::machine::ReaderEndpoint::BulkIn), before + 1);
    EXPECT_EQ(reader.OutstandingBulkInReads(), 1u) << "the reading starts again after the reset";
    EXPECT_EQ(Call(IOCTL_SERIAL_ABORT_PIPE).status, STATUS_SUCCESS);
    Settle();
    EXPECT_EQ(reader.OutstandingBulkInReads(), 0u);
}

TEST_F(IoctlTest, BasicSettingsClearTimeoutsAndHandshakeAndRestoreBringsThemBack)
{
    SetTimeouts(1, 2, 3, 4, 5);
    SERIAL_HANDFLOW handFlow{SERIAL_DTR_CONTROL | SERIAL_DSR_SENSITIVITY, SERIAL_RTS_CONTROL, 10, 20};
    ASSERT_EQ(Call(IOCTL_SERIAL_SET_HANDFLOW, Bytes(handFlow)).status, STATUS_SUCCESS);

    std::vector<UCHAR> basic(sizeof(SERIAL_BASIC_SETTINGS), 0xCC);
    // Internal controls come from kernel components; the machine lets a test send one as they would.
    winsim::machine::RequestResult result =
        machine->InternalDeviceControl(port, IOCTL_SERIAL_INTERNAL_BASIC_SETTINGS, nullptr, 0, basic.data(),
                                       static_cast<ULONG>(basic.size()));
    ASSERT_EQ(result.status, STATUS_SUCCESS);
    EXPECT_EQ(result.information, sizeof(SERIAL_BASIC_SETTINGS));
    SERIAL_BASIC_SETTINGS previous = As<SERIAL_BASIC_SETTINGS>(basic);
    EXPECT_EQ(previous.Timeouts.WriteTotalTimeoutConstant, 5u);
    EXPECT_EQ(previous.HandFlow.XoffLimit, 20);
    EXPECT_EQ(previous.RxFifo, 0u);
    SERIAL_TIMEOUTS now = As<SERIAL_TIMEOUTS>(Call(IOCTL_SERIAL_GET_TIMEOUTS, {}, 20).output);
    EXPECT_EQ(now.ReadIntervalTimeout, 0u);
    EXPECT_EQ(now.WriteTotalTimeoutConstant, 0u);
    EXPECT_EQ(As<SERIAL_HANDFLOW>(Call(IOCTL_SERIAL_GET_HANDFLOW, {}, 16).output).ControlHandShake, 0u);

    result = machine->InternalDeviceControl(port, IOCTL_SERIAL_INTERNAL_RESTORE_SETTINGS, basic.data(),
                                            static_cast<ULONG>(basic.size()), nullptr, 0);
    ASSERT_EQ(result.status, STATUS_SUCCESS);
    EXPECT_EQ(As<SERIAL_TIMEOUTS>(Call(IOCTL_SERIAL_GET_TIMEOUTS, {}, 20).output).ReadTotalTimeoutMultiplier,
              2u);
    EXPECT_EQ(As<SERIAL_HANDFLOW>(Call(IOCTL_SERIAL_GET_HANDFLOW, {}, 16).output).XonLimit, 10);

    EXPECT_EQ(machine->InternalDeviceControl(port, IOCTL_SERIAL_INTERNAL_DO_WAIT_WAKE, nullptr, 0, nullptr, 0)
                  .status,
              STATUS_NOT_SUPPORTED);
    EXPECT_EQ(
        machine->InternalDeviceControl(port, IOCTL_SERIAL_INTERNAL_CANCEL_WAIT_WAKE, nullptr, 0, nullptr, 0)
            .status,
        STATUS_SUCCESS);
    EXPECT_EQ(machine->InternalDeviceControl(port, IOCTL_SERIAL_GET_BAUD_RATE, nullptr, 0, nullptr, 0).status,
              STATUS_INVALID_PARAMETER);
}

TEST_F(IoctlTest, WithoutLineDefaultsTheLinesReadZeroUntilTheReaderReports)
{
    EXPECT_EQ(As<ULONG>(Call(IOCTL_SERIAL_GET_MODEMSTATUS, {}, 4).output), 0u);
    EXPECT_EQ(As<ULONG>(Call(IOCTL_SERIAL_GET_DTRRTS, {}, 4).output), static_cast<ULONG>(SERIAL_RTS_STATE))
        << "the open raised RTS";
}

TEST_F(IoctlTest, ConfigSizeIsZero)
{
    ControlResult result = Call(IOCTL_SERIAL_CONFIG_SIZE, {}, 4);
    EXPECT_EQ(result.status, STATUS_SUCCESS);
    EXPECT_EQ(As<ULONG>(result.output), 0u);
}

} // namespace
} // namespace tarnocom::testing
