// A terminal program on the machine, through Win32 only: it opens COM3, sets 115200 8N1 and its
// time-outs, writes a line and reads it back through a loopback plug, waits for received
// characters, purges, works the modem lines and closes. The reader model's record shows what
// crossed the wire; the machine's virtual clock runs the time-outs.
#include "ReaderMachine.h"

#include "TableCases.h"

#include <atomic>
#include <chrono>
#include <cstring>
#include <functional>
#include <thread>

namespace scenario
{
namespace
{

using std::chrono::milliseconds;
using winsim::machine::Reader;
using winsim::machine::ReaderControlRequest;
using winsim::machine::ReaderEndpoint;
using winsim::machine::ReaderSpec;
using winsim::machine::ReaderTransfer;
using winsimtest::PrintTo;

// A line coding's 7 bytes (rate, stop bits, parity, data bits) as a person writes them: "1200 7N1".
std::string LineCodingText(const std::vector<UCHAR>& data)
{
    if (data.size() != 7)
    {
        return "line coding of " + std::to_string(data.size()) + " bytes";
    }
    ULONG rate = data[0] | (data[1] << 8) | (data[2] << 16) | (static_cast<ULONG>(data[3]) << 24);
    static const char* const stopBits[] = {"1", "1.5", "2"};
    static const char parities[] = "NOEMS";
    std::string text = std::to_string(rate) + " " + std::to_string(data[6]);
    text += data[5] < 5 ? parities[data[5]] : '?';
    text += data[4] < 3 ? stopBits[data[4]] : "?";
    return text;
}

// The class requests the reader received, in order, as a person reads them:
// "SET_LINE_CODING 115200 8N1", "SET_CONTROL_LINE_STATE DTR RTS", "SEND_BREAK 0".
std::vector<std::string> ClassRequests(Reader reader)
{
    std::vector<std::string> requests;
    for (const ReaderControlRequest& request : reader.ControlRequests())
    {
        if (request.bmRequestType != 0x21)
        {
            continue;
        }
        switch (request.bRequest)
        {
        case 0x20:
            requests.push_back(
                "SET_LINE_CODING " + LineCodingText(request.data) +
                (request.wLength == 7 ? "" : " (wLength " + std::to_string(request.wLength) + ")"));
            break;
        case 0x22:
            requests.push_back(std::string("SET_CONTROL_LINE_STATE") + ((request.wValue & 1) ? " DTR" : "") +
                               ((request.wValue & 2) ? " RTS" : "") + (request.wValue == 0 ? " none" : ""));
            break;
        case 0x23:
            requests.push_back("SEND_BREAK " + std::to_string(request.wValue));
            break;
        default:
            requests.push_back("class request " + std::to_string(request.bRequest));
            break;
        }
    }
    return requests;
}

// The requests after the first `from`.
std::vector<std::string> Since(const std::vector<std::string>& all, size_t from)
{
    return std::vector<std::string>(all.begin() + static_cast<std::ptrdiff_t>(std::min(from, all.size())),
                                    all.end());
}

// A Win32 call that waits on the machine's clock, made on an application thread of its own while
// the test moves the clock.
class ClockedCall
{
  public:
    explicit ClockedCall(std::function<BOOL()> call)
        : m_thread([this, call] {
              m_result = call();
              m_error = GetLastError();
              m_done = true;
          })
    {
    }
    ~ClockedCall()
    {
        if (m_thread.joinable())
        {
            m_thread.join();
        }
    }
    ClockedCall(const ClockedCall&) = delete;
    ClockedCall& operator=(const ClockedCall&) = delete;

    // Whether the call has returned (false is certain only once the machine's waiters settled).
    bool Returned() const { return m_done; }
    // Waits for the call to return: its result and last error.
    BOOL Result()
    {
        m_thread.join();
        return m_result;
    }
    DWORD Error() const { return m_error; }

  private:
    BOOL m_result = FALSE;
    DWORD m_error = 0;
    std::atomic<bool> m_done{false};
    std::thread m_thread; // last: starts once the rest is ready
};

class TerminalTest : public ReaderMachineTest
{
  protected:
    // A reader with a loopback plug: what is written comes back, and the plug answers the control
    // lines (carrier while DTR or RTS is up, DSR while DTR is).
    ReaderSpec ReaderToPlug() override
    {
        ReaderSpec plugged = ReaderMachineTest::ReaderToPlug();
        plugged.loopback = true;
        plugged.answerLineState = true;
        return plugged;
    }
    void SetUp() override
    {
        ReaderMachineTest::SetUp();
        reader = machine->ReaderOf(device);
        ASSERT_TRUE(reader);
    }
    void TearDown() override
    {
        if (port != INVALID_HANDLE_VALUE)
        {
            CloseHandle(port);
        }
        ReaderMachineTest::TearDown();
    }

    void Open(DWORD flags = 0)
    {
        port = CreateFileA("\\\\.\\COM3", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, flags,
                           nullptr);
        ASSERT_NE(port, INVALID_HANDLE_VALUE) << "error " << GetLastError();
        Settle();
    }
    void Close()
    {
        EXPECT_TRUE(CloseHandle(port));
        port = INVALID_HANDLE_VALUE;
        Settle();
    }

    // 115200 8N1 with DTR and RTS up, as a terminal sets its port.
    void SetTerminalState()
    {
        DCB dcb;
        std::memset(&dcb, 0, sizeof(dcb));
        dcb.DCBlength = sizeof(dcb);
        ASSERT_TRUE(GetCommState(port, &dcb)) << "error " << GetLastError();
        dcb.BaudRate = CBR_115200;
        dcb.ByteSize = 8;
        dcb.Parity = NOPARITY;
        dcb.StopBits = ONESTOPBIT;
        dcb.fDtrControl = DTR_CONTROL_ENABLE;
        dcb.fRtsControl = RTS_CONTROL_ENABLE;
        ASSERT_TRUE(SetCommState(port, &dcb)) << "error " << GetLastError();
        Settle();
    }
    void SetTimeouts(DWORD interval, DWORD multiplier, DWORD constant, DWORD writeMultiplier = 0,
                     DWORD writeConstant = 0)
    {
        COMMTIMEOUTS timeouts = {interval, multiplier, constant, writeMultiplier, writeConstant};
        ASSERT_TRUE(SetCommTimeouts(port, &timeouts)) << "error " << GetLastError();
    }

    DWORD ModemStatus()
    {
        DWORD status = 0xDEAD;
        EXPECT_TRUE(GetCommModemStatus(port, &status)) << "error " << GetLastError();
        return status;
    }
    // The bytes waiting in the receive queue, as ClearCommError reports them.
    DWORD InQueue()
    {
        DWORD errors = 0xDEAD;
        COMSTAT stat;
        std::memset(&stat, 0xEE, sizeof(stat));
        EXPECT_TRUE(ClearCommError(port, &errors, &stat)) << "error " << GetLastError();
        EXPECT_EQ(errors, 0u);
        return stat.cbInQue;
    }

    // Returns once what the reader sent has reached the driver and every thread waiting in the
    // machine has seen it.
    void Settle()
    {
        reader.WaitForCompletions();
        machine->WaitForSystemThreads();
        machine->SettleWaiters();
    }
    void Advance(milliseconds span)
    {
        machine->AdvanceClock(span);
        Settle();
    }
    // How far away the machine's next deadline is, once a call on another thread has armed one.
    milliseconds AwaitDeadline()
    {
        for (int spins = 0; spins < 1000000; spins++)
        {
            std::optional<milliseconds> next = machine->NextDeadline();
            if (next)
            {
                return *next;
            }
            std::this_thread::yield();
        }
        ADD_FAILURE() << "no timed wait came";
        return milliseconds(-1);
    }

    Reader reader;
    HANDLE port = INVALID_HANDLE_VALUE;
};

TEST_F(TerminalTest, ASessionSetsTheLineEchoesALineAndClosesAndTheReaderSawEachStep)
{
    Open();
    EXPECT_EQ(ClassRequests(reader),
              (std::vector<std::string>{"SET_LINE_CODING 1200 7N1", "SET_CONTROL_LINE_STATE RTS"}))
        << "the driver's defaults, then RTS";
    EXPECT_EQ(ModemStatus(), static_cast<DWORD>(MS_CTS_ON | MS_RLSD_ON)) << "the plug's carrier follows RTS";

    size_t opened = ClassRequests(reader).size();
    SetTerminalState();
    DCB dcb;
    std::memset(&dcb, 0xEE, sizeof(dcb));
    ASSERT_TRUE(GetCommState(port, &dcb));
    EXPECT_EQ(dcb.BaudRate, static_cast<DWORD>(CBR_115200));
    EXPECT_EQ(dcb.ByteSize, 8);
    EXPECT_EQ(dcb.Parity, NOPARITY);
    EXPECT_EQ(dcb.StopBits, ONESTOPBIT);
    EXPECT_EQ(dcb.fDtrControl, static_cast<DWORD>(DTR_CONTROL_ENABLE));
    EXPECT_EQ(dcb.fRtsControl, static_cast<DWORD>(RTS_CONTROL_ENABLE));
    EXPECT_EQ(Since(ClassRequests(reader), opened),
              (std::vector<std::string>{"SET_LINE_CODING 115200 7N1", "SET_CONTROL_LINE_STATE RTS",
                                        "SET_CONTROL_LINE_STATE DTR RTS", "SET_LINE_CODING 115200 8N1"}))
        << "the rate, RTS, DTR and the line control, each sent as SetCommState applies it";
    EXPECT_EQ(ModemStatus(), static_cast<DWORD>(MS_CTS_ON | MS_DSR_ON | MS_RLSD_ON)) << "DSR follows DTR";

    SetTimeouts(0, 0, 1000, 0, 1000);
    COMMTIMEOUTS timeouts;
    std::memset(&timeouts, 0xEE, sizeof(timeouts));
    ASSERT_TRUE(GetCommTimeouts(port, &timeouts));
    EXPECT_EQ(timeouts.ReadTotalTimeoutConstant, 1000u);
    EXPECT_EQ(timeouts.WriteTotalTimeoutConstant, 1000u);
    EXPECT_EQ(timeouts.ReadIntervalTimeout, 0u);
    ASSERT_TRUE(SetCommMask(port, EV_RXCHAR));

    // The line goes out in one bulk OUT transfer and comes back through the plug.
    DWORD count = 99;
    ASSERT_TRUE(WriteFile(port, "AT&V\r\n", 6, &count, nullptr)) << "error " << GetLastError();
    EXPECT_EQ(count, 6u);
    Settle();
    std::vector<ReaderTransfer> transfers = reader.Transfers();
    auto out = std::find_if(transfers.begin(), transfers.end(),
                            [](const ReaderTransfer& t) { return t.endpoint == ReaderEndpoint::BulkOut; });
    ASSERT_NE(out, transfers.end());
    EXPECT_EQ(out->transferred, 6u);
    DWORD events = 0;
    ASSERT_TRUE(WaitCommEvent(port, &events, nullptr)) << "error " << GetLastError();
    EXPECT_EQ(events, static_cast<DWORD>(EV_RXCHAR));
    EXPECT_EQ(InQueue(), 6u);
    char line[6] = {};
    count = 99;
    ASSERT_TRUE(ReadFile(port, line, sizeof(line), &count, nullptr)) << "error " << GetLastError();
    EXPECT_EQ(std::string(line, count), "AT&V\r\n");
    EXPECT_EQ(InQueue(), 0u);

    // Bytes nobody wants are purged from the receive queue.
    ASSERT_TRUE(WriteFile(port, "garbage", 7, &count, nullptr));
    Settle();
    EXPECT_EQ(InQueue(), 7u);
    ASSERT_TRUE(PurgeComm(port, PURGE_RXCLEAR | PURGE_TXCLEAR)) << "error " << GetLastError();
    EXPECT_EQ(InQueue(), 0u);

    size_t beforeClose = ClassRequests(reader).size();
    Close();
    EXPECT_EQ(Since(ClassRequests(reader), beforeClose),
              (std::vector<std::string>{"SEND_BREAK 0", "SET_CONTROL_LINE_STATE RTS",
                                        "SET_CONTROL_LINE_STATE none"}))
        << "close ends a break, then drops DTR, then RTS";
}

// One escape function in a row of them: the class request it sends and the modem status the plug
// answers with.
struct EscapeCase
{
    const char* name;
    DWORD function;
    std::string request;
    DWORD modemStatus;
};

TEST_F(TerminalTest, EscapeFunctionsMoveTheLinesAndTheLoopbackPlugAnswers)
{
    Open();
    SetTerminalState();
    const std::vector<EscapeCase> steps = {
        {"drop DTR", CLRDTR, "SET_CONTROL_LINE_STATE RTS", MS_CTS_ON | MS_RLSD_ON},
        {"drop RTS", CLRRTS, "SET_CONTROL_LINE_STATE none", 0},
        {"raise DTR", SETDTR, "SET_CONTROL_LINE_STATE DTR", MS_CTS_ON | MS_DSR_ON | MS_RLSD_ON},
        {"raise RTS", SETRTS, "SET_CONTROL_LINE_STATE DTR RTS", MS_CTS_ON | MS_DSR_ON | MS_RLSD_ON},
        {"break on", SETBREAK, "SEND_BREAK 65535", MS_CTS_ON | MS_DSR_ON | MS_RLSD_ON},
        {"break off", CLRBREAK, "SEND_BREAK 0", MS_CTS_ON | MS_DSR_ON | MS_RLSD_ON},
    };
    for (const EscapeCase& step : steps)
    {
        size_t before = ClassRequests(reader).size();
        ASSERT_TRUE(EscapeCommFunction(port, step.function)) << step.name << ": error " << GetLastError();
        Settle();
        EXPECT_EQ(Since(ClassRequests(reader), before), std::vector<std::string>{step.request}) << step.name;
        EXPECT_EQ(ModemStatus(), step.modemStatus) << step.name;
    }
    size_t before = ClassRequests(reader).size();
    EXPECT_FALSE(EscapeCommFunction(port, 0x7F));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(ClassRequests(reader).size(), before) << "an unknown function sends nothing";
}

TEST_F(TerminalTest, AnOverlappedWaitForReceivedCharactersEndsWithTheEchoAndNotBefore)
{
    Open(FILE_FLAG_OVERLAPPED);
    SetTerminalState();
    ASSERT_TRUE(SetCommMask(port, EV_RXCHAR));
    OVERLAPPED wait;
    std::memset(&wait, 0, sizeof(wait));
    wait.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    DWORD events = 0xDEAD;
    ASSERT_FALSE(WaitCommEvent(port, &events, &wait));
    ASSERT_EQ(GetLastError(), static_cast<DWORD>(ERROR_IO_PENDING));

    // The plug's answer to a line change is a line event, not one of the mask's.
    ASSERT_TRUE(EscapeCommFunction(port, CLRDTR));
    Settle();
    DWORD count = 99;
    EXPECT_EQ(WaitForSingleObject(wait.hEvent, 0), static_cast<DWORD>(WAIT_TIMEOUT));
    EXPECT_FALSE(GetOverlappedResult(port, &wait, &count, FALSE));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_IO_INCOMPLETE));

    OVERLAPPED write;
    std::memset(&write, 0, sizeof(write));
    write.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    if (!WriteFile(port, "x", 1, nullptr, &write))
    {
        ASSERT_EQ(GetLastError(), static_cast<DWORD>(ERROR_IO_PENDING));
    }
    ASSERT_TRUE(GetOverlappedResult(port, &write, &count, TRUE));
    EXPECT_EQ(count, 1u);
    Settle();
    ASSERT_TRUE(GetOverlappedResult(port, &wait, &count, TRUE)) << "error " << GetLastError();
    EXPECT_EQ(events & EV_RXCHAR, static_cast<DWORD>(EV_RXCHAR));
    EXPECT_EQ(count, static_cast<DWORD>(sizeof(DWORD)));
    EXPECT_EQ(InQueue(), 1u);
    CloseHandle(write.hEvent);
    CloseHandle(wait.hEvent);
}

// A read that runs out of time: its time-outs, what the reader sent before it, its length, how long
// it waits on the machine's clock and what it returns.
struct ReadTimeoutCase
{
    const char* name;
    DWORD interval, multiplier, constant;
    std::string received;
    DWORD length;
    int waitsMs;
    std::string result;
};

class TerminalReadTimeoutTest : public TerminalTest, public ::testing::WithParamInterface<ReadTimeoutCase>
{
};

TEST_P(TerminalReadTimeoutTest, ReturnsTrueWithTheBytesItGotWhenItsTimeRunsOut)
{
    const ReadTimeoutCase& c = GetParam();
    Open();
    SetTerminalState();
    SetTimeouts(c.interval, c.multiplier, c.constant);
    if (!c.received.empty())
    {
        reader.PushBulkIn(c.received);
        Settle();
    }
    ASSERT_FALSE(machine->NextDeadline());
    std::vector<char> buffer(c.length, '#');
    DWORD count = 99;
    ClockedCall read([&] { return ReadFile(port, buffer.data(), c.length, &count, nullptr); });
    EXPECT_EQ(AwaitDeadline(), milliseconds(c.waitsMs));
    Advance(milliseconds(c.waitsMs - 1));
    EXPECT_FALSE(read.Returned()) << "a millisecond early";
    Advance(milliseconds(1));
    EXPECT_TRUE(read.Result()) << "error " << read.Error();
    EXPECT_EQ(std::string(buffer.data(), count), c.result);
}

const DWORD Max = MAXDWORD;

INSTANTIATE_TEST_SUITE_P(
    Rows, TerminalReadTimeoutTest,
    ::testing::Values(ReadTimeoutCase{"ConstantOnNothing", 0, 0, 500, "", 16, 500, ""},
                      ReadTimeoutCase{"PerByteAndConstantKeepWhatCame", 0, 10, 100, "ab", 8, 180, "ab"},
                      ReadTimeoutCase{"AnyByteWaitsItsConstant", Max, Max, 250, "", 4, 250, ""}),
    [](const ::testing::TestParamInfo<ReadTimeoutCase>& info) { return info.param.name; });

TEST_F(TerminalTest, AWriteTheReaderDoesNotTakeTimesOutWithNothingWritten)
{
    Open();
    SetTerminalState();
    SetTimeouts(0, 0, 1000, 10, 100);
    reader.Hold(ReaderEndpoint::BulkOut);
    DWORD count = 99;
    ClockedCall write([&] { return WriteFile(port, "hello", 5, &count, nullptr); });
    EXPECT_EQ(AwaitDeadline(), milliseconds(150)) << "5 characters x 10 ms + 100 ms";
    Advance(milliseconds(149));
    EXPECT_FALSE(write.Returned());
    Advance(milliseconds(1));
    EXPECT_TRUE(write.Result()) << "a serial time-out is a success; error " << write.Error();
    EXPECT_EQ(count, 0u);

    // The transfer was called back; nothing came through the plug, and the next write goes out.
    reader.Release(ReaderEndpoint::BulkOut);
    Settle();
    EXPECT_EQ(InQueue(), 0u);
    ASSERT_TRUE(WriteFile(port, "again", 5, &count, nullptr)) << "error " << GetLastError();
    EXPECT_EQ(count, 5u);
    Settle();
    char echo[5] = {};
    ASSERT_TRUE(ReadFile(port, echo, sizeof(echo), &count, nullptr));
    EXPECT_EQ(std::string(echo, count), "again");
    std::vector<ReaderTransfer> outs;
    for (const ReaderTransfer& transfer : reader.Transfers())
    {
        if (transfer.endpoint == ReaderEndpoint::BulkOut)
        {
            outs.push_back(transfer);
        }
    }
    ASSERT_EQ(outs.size(), 2u);
    EXPECT_EQ(outs[0].status, STATUS_CANCELLED);
    EXPECT_EQ(outs[0].transferred, 0u);
    EXPECT_EQ(outs[1].status, STATUS_SUCCESS);
    EXPECT_EQ(outs[1].transferred, 5u);
}

TEST_F(TerminalTest, PullingTheReaderOutEndsAPendingReadWithAnError)
{
    Open(FILE_FLAG_OVERLAPPED);
    SetTerminalState();
    OVERLAPPED read;
    std::memset(&read, 0, sizeof(read));
    read.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    char buffer[16];
    ASSERT_FALSE(ReadFile(port, buffer, sizeof(buffer), nullptr, &read));
    ASSERT_EQ(GetLastError(), static_cast<DWORD>(ERROR_IO_PENDING));
    Settle();
    EXPECT_EQ(WaitForSingleObject(read.hEvent, 0), static_cast<DWORD>(WAIT_TIMEOUT));

    machine->Detach(device);
    Settle();
    DWORD count = 99;
    EXPECT_EQ(WaitForSingleObject(read.hEvent, 0), static_cast<DWORD>(WAIT_OBJECT_0));
    EXPECT_FALSE(GetOverlappedResult(port, &read, &count, FALSE));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_OPERATION_ABORTED));
    EXPECT_EQ(count, 0u);
    EXPECT_EQ(static_cast<NTSTATUS>(read.Internal), STATUS_CANCELLED) << "the driver called the read off";
    CloseHandle(read.hEvent);
}

} // namespace
} // namespace scenario
