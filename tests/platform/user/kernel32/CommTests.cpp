// Win32's communications functions on a serial port: what each sends to the serial driver, what
// it makes of the answer, and how a refusal reaches the caller. The port is a fake serial driver
// of the tests' own (support/FakeSerialDriver.h) that records the controls it receives.
#include <windows.h>

#include "FakeSerialDriver.h"

#include "machine/Machine.h"

#include "TableCases.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace win32test
{
namespace
{

using fakeserial::Port;

class CommTest : public ::testing::Test
{
  protected:
    void SetUp() override
    {
        machine = std::make_unique<winsim::machine::Machine>();
        machine->UseBuiltInDriver(u"FakeSerial.sys", fakeserial::DriverEntry);
        machine->InstallPackage(fakeserial::WritePackage(machine->Root() / "fakeserial-package"));
        winsim::machine::ReaderSpec device;
        device.vendorId = fakeserial::VendorId;
        device.productId = fakeserial::ProductId;
        device.serialNumber = u"FS0001";
        machine->Attach(device);
        port = Open();
        ASSERT_NE(port, INVALID_HANDLE_VALUE);
        fakeserial::ClearControls();
    }
    void TearDown() override
    {
        CloseHandle(port);
        machine.reset();
    }

    static HANDLE Open(DWORD flags = 0)
    {
        return CreateFileA("\\\\.\\COM8", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, flags,
                           nullptr);
    }

    // The codes of the controls the port received since the last look.
    static std::vector<ULONG> Codes()
    {
        std::vector<ULONG> codes;
        for (const fakeserial::Control& control : fakeserial::Controls())
        {
            codes.push_back(control.code);
        }
        fakeserial::ClearControls();
        return codes;
    }

    std::unique_ptr<winsim::machine::Machine> machine;
    HANDLE port = INVALID_HANDLE_VALUE;
};

// The DCB's flow-control members, compared as one.
struct DcbFlow
{
    DWORD dtrControl;
    DWORD rtsControl;
    bool outxCts;
    bool outxDsr;
    bool dsrSensitivity;
    bool txContinueOnXoff;
    bool outX;
    bool inX;
    bool errorChar;
    bool null;
    bool abortOnError;

    bool operator==(const DcbFlow&) const = default;
};

std::ostream& operator<<(std::ostream& os, const DcbFlow& f)
{
    return os << "dtr " << f.dtrControl << " rts " << f.rtsControl << " cts " << f.outxCts << " dsr "
              << f.outxDsr << " dsrSens " << f.dsrSensitivity << " txCont " << f.txContinueOnXoff << " outX "
              << f.outX << " inX " << f.inX << " errChar " << f.errorChar << " null " << f.null << " abort "
              << f.abortOnError;
}

DcbFlow FlowOf(const DCB& dcb)
{
    return DcbFlow{dcb.fDtrControl,          dcb.fRtsControl,
                   dcb.fOutxCtsFlow != 0,    dcb.fOutxDsrFlow != 0,
                   dcb.fDsrSensitivity != 0, dcb.fTXContinueOnXoff != 0,
                   dcb.fOutX != 0,           dcb.fInX != 0,
                   dcb.fErrorChar != 0,      dcb.fNull != 0,
                   dcb.fAbortOnError != 0};
}

void SetFlow(DCB& dcb, const DcbFlow& f)
{
    dcb.fDtrControl = f.dtrControl;
    dcb.fRtsControl = f.rtsControl;
    dcb.fOutxCtsFlow = f.outxCts;
    dcb.fOutxDsrFlow = f.outxDsr;
    dcb.fDsrSensitivity = f.dsrSensitivity;
    dcb.fTXContinueOnXoff = f.txContinueOnXoff;
    dcb.fOutX = f.outX;
    dcb.fInX = f.inX;
    dcb.fErrorChar = f.errorChar;
    dcb.fNull = f.null;
    dcb.fAbortOnError = f.abortOnError;
}

// Each DCB flow member against the SERIAL_HANDFLOW bit Windows gives it; both directions.
struct HandflowCase
{
    const char* name;
    ULONG controlHandShake;
    ULONG flowReplace;
    DcbFlow flow;
};

const HandflowCase kHandflowCases[] = {
    {"NothingEnabled", 0, 0, {DTR_CONTROL_DISABLE, RTS_CONTROL_DISABLE}},
    {"DtrAndRtsEnabled", SERIAL_DTR_CONTROL, SERIAL_RTS_CONTROL, {DTR_CONTROL_ENABLE, RTS_CONTROL_ENABLE}},
    {"DtrHandshake", SERIAL_DTR_HANDSHAKE, 0, {DTR_CONTROL_HANDSHAKE, RTS_CONTROL_DISABLE}},
    {"RtsHandshake", 0, SERIAL_RTS_HANDSHAKE, {DTR_CONTROL_DISABLE, RTS_CONTROL_HANDSHAKE}},
    {"RtsToggle", 0, SERIAL_TRANSMIT_TOGGLE, {DTR_CONTROL_DISABLE, RTS_CONTROL_TOGGLE}},
    {"CtsOutputFlow", SERIAL_CTS_HANDSHAKE, 0, {0, 0, true}},
    {"DsrOutputFlow", SERIAL_DSR_HANDSHAKE, 0, {0, 0, false, true}},
    {"DsrSensitivity", SERIAL_DSR_SENSITIVITY, 0, {0, 0, false, false, true}},
    {"ContinueAfterXoff", 0, SERIAL_XOFF_CONTINUE, {0, 0, false, false, false, true}},
    {"XonXoffOut", 0, SERIAL_AUTO_TRANSMIT, {0, 0, false, false, false, false, true}},
    {"XonXoffIn", 0, SERIAL_AUTO_RECEIVE, {0, 0, false, false, false, false, false, true}},
    {"ErrorChar", 0, SERIAL_ERROR_CHAR, {0, 0, false, false, false, false, false, false, true}},
    {"NullStripping",
     0,
     SERIAL_NULL_STRIPPING,
     {0, 0, false, false, false, false, false, false, false, true}},
    {"AbortOnError",
     SERIAL_ERROR_ABORT,
     0,
     {0, 0, false, false, false, false, false, false, false, false, true}},
};

TEST_F(CommTest, GetCommStateReadsEachHandshakeBitIntoItsDcbMember)
{
    for (const HandflowCase& c : kHandflowCases)
    {
        SCOPED_TRACE(c.name);
        Port().handflow.ControlHandShake = c.controlHandShake;
        Port().handflow.FlowReplace = c.flowReplace;
        DCB dcb{};
        ASSERT_TRUE(GetCommState(port, &dcb));
        EXPECT_EQ(FlowOf(dcb), c.flow);
    }
}

TEST_F(CommTest, SetCommStateSendsEachDcbFlowMemberAsItsHandshakeBit)
{
    for (const HandflowCase& c : kHandflowCases)
    {
        SCOPED_TRACE(c.name);
        DCB dcb{};
        ASSERT_TRUE(GetCommState(port, &dcb));
        SetFlow(dcb, c.flow);
        ASSERT_TRUE(SetCommState(port, &dcb)) << GetLastError();
        EXPECT_EQ(Port().handflow.ControlHandShake, c.controlHandShake);
        EXPECT_EQ(Port().handflow.FlowReplace, c.flowReplace);
    }
}

TEST_F(CommTest, GetCommStateFillsTheRateLineCharactersAndLimits)
{
    Port().baud.BaudRate = 57600;
    Port().line = SERIAL_LINE_CONTROL{STOP_BITS_2, MARK_PARITY, 7};
    Port().chars = SERIAL_CHARS{0x1A, 0x3F, 0x00, 0x7E, 0x01, 0x02};
    Port().handflow.XonLimit = 100;
    Port().handflow.XoffLimit = 300;
    DCB dcb;
    memset(&dcb, 0xCC, sizeof(dcb));
    ASSERT_TRUE(GetCommState(port, &dcb));
    EXPECT_EQ(dcb.DCBlength, sizeof(DCB));
    EXPECT_EQ(dcb.BaudRate, 57600u);
    EXPECT_EQ(dcb.fBinary, 1u);
    EXPECT_EQ(dcb.fParity, 1u);
    EXPECT_EQ(dcb.StopBits, TWOSTOPBITS);
    EXPECT_EQ(dcb.Parity, MARKPARITY);
    EXPECT_EQ(dcb.ByteSize, 7);
    EXPECT_EQ(dcb.EofChar, 0x1A);
    EXPECT_EQ(dcb.ErrorChar, 0x3F);
    EXPECT_EQ(dcb.EvtChar, 0x7E);
    EXPECT_EQ(dcb.XonChar, 0x01);
    EXPECT_EQ(dcb.XoffChar, 0x02);
    EXPECT_EQ(dcb.XonLim, 100);
    EXPECT_EQ(dcb.XoffLim, 300);
    EXPECT_EQ(dcb.fDummy2, 0u);
    EXPECT_EQ(Codes(), (std::vector<ULONG>{IOCTL_SERIAL_GET_BAUD_RATE, IOCTL_SERIAL_GET_LINE_CONTROL,
                                           IOCTL_SERIAL_GET_CHARS, IOCTL_SERIAL_GET_HANDFLOW}));
}

TEST_F(CommTest, SetCommStateReadsTheOldSettingsThenSetsRateLinesLineCharactersAndHandshake)
{
    Port().chars.BreakChar = 0x55;
    DCB dcb{};
    dcb.DCBlength = sizeof(dcb);
    dcb.BaudRate = 115200;
    dcb.ByteSize = 7;
    dcb.Parity = EVENPARITY;
    dcb.StopBits = ONE5STOPBITS;
    dcb.EofChar = 0x04;
    dcb.ErrorChar = 0x3F;
    dcb.EvtChar = 0x0D;
    dcb.XonChar = 0x11;
    dcb.XoffChar = 0x13;
    dcb.XonLim = 64;
    dcb.XoffLim = 128;
    dcb.fDtrControl = DTR_CONTROL_DISABLE;
    dcb.fRtsControl = RTS_CONTROL_ENABLE;
    ASSERT_TRUE(SetCommState(port, &dcb));
    EXPECT_EQ(Codes(), (std::vector<ULONG>{IOCTL_SERIAL_GET_BAUD_RATE, IOCTL_SERIAL_GET_LINE_CONTROL,
                                           IOCTL_SERIAL_GET_CHARS, IOCTL_SERIAL_GET_HANDFLOW,
                                           IOCTL_SERIAL_SET_BAUD_RATE, IOCTL_SERIAL_SET_RTS,
                                           IOCTL_SERIAL_CLR_DTR, IOCTL_SERIAL_SET_LINE_CONTROL,
                                           IOCTL_SERIAL_SET_CHARS, IOCTL_SERIAL_SET_HANDFLOW}));
    EXPECT_EQ(Port().baud.BaudRate, 115200u);
    EXPECT_EQ(Port().line.WordLength, 7);
    EXPECT_EQ(Port().line.Parity, EVEN_PARITY);
    EXPECT_EQ(Port().line.StopBits, STOP_BITS_1_5);
    EXPECT_EQ(Port().chars.EofChar, 0x04);
    EXPECT_EQ(Port().chars.ErrorChar, 0x3F);
    EXPECT_EQ(Port().chars.EventChar, 0x0D);
    EXPECT_EQ(Port().chars.XonChar, 0x11);
    EXPECT_EQ(Port().chars.XoffChar, 0x13);
    EXPECT_EQ(Port().chars.BreakChar, 0x55) << "a DCB has no break character: the port keeps its own";
    EXPECT_EQ(Port().handflow.XonLimit, 64);
    EXPECT_EQ(Port().handflow.XoffLimit, 128);
    EXPECT_FALSE(Port().dtr);
    EXPECT_TRUE(Port().rts);
}

TEST_F(CommTest, SetCommStateSwitchesOnlyTheLinesItsDcbEnablesOrDisables)
{
    struct Case
    {
        const char* name;
        DWORD dtrControl;
        DWORD rtsControl;
        std::vector<ULONG> lineCodes;
    } cases[] = {
        {"BothEnabled", DTR_CONTROL_ENABLE, RTS_CONTROL_ENABLE, {IOCTL_SERIAL_SET_RTS, IOCTL_SERIAL_SET_DTR}},
        {"BothDisabled",
         DTR_CONTROL_DISABLE,
         RTS_CONTROL_DISABLE,
         {IOCTL_SERIAL_CLR_RTS, IOCTL_SERIAL_CLR_DTR}},
        {"DtrHandshake", DTR_CONTROL_HANDSHAKE, RTS_CONTROL_ENABLE, {IOCTL_SERIAL_SET_RTS}},
        {"RtsHandshake", DTR_CONTROL_ENABLE, RTS_CONTROL_HANDSHAKE, {IOCTL_SERIAL_SET_DTR}},
        {"RtsToggle", DTR_CONTROL_DISABLE, RTS_CONTROL_TOGGLE, {IOCTL_SERIAL_CLR_DTR}},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.name);
        Port().handflow = SERIAL_HANDFLOW{};
        DCB dcb{};
        ASSERT_TRUE(GetCommState(port, &dcb));
        dcb.fDtrControl = c.dtrControl;
        dcb.fRtsControl = c.rtsControl;
        fakeserial::ClearControls();
        ASSERT_TRUE(SetCommState(port, &dcb));
        std::vector<ULONG> lines;
        for (ULONG code : Codes())
        {
            if (code == IOCTL_SERIAL_SET_DTR || code == IOCTL_SERIAL_CLR_DTR ||
                code == IOCTL_SERIAL_SET_RTS || code == IOCTL_SERIAL_CLR_RTS)
            {
                lines.push_back(code);
            }
        }
        EXPECT_EQ(lines, c.lineCodes);
    }
}

TEST_F(CommTest, SetCommStateLeavingAHandshakeIsNotFailedByTheRefusedLineControl)
{
    // While DTR is under handshake the driver refuses SET_DTR; the new handshake enables it.
    Port().handflow.ControlHandShake = SERIAL_DTR_HANDSHAKE;
    Port().dtr = false;
    DCB dcb{};
    ASSERT_TRUE(GetCommState(port, &dcb));
    dcb.fDtrControl = DTR_CONTROL_ENABLE;
    EXPECT_TRUE(SetCommState(port, &dcb));
    EXPECT_EQ(Port().handflow.ControlHandShake & SERIAL_DTR_MASK, SERIAL_DTR_CONTROL);
    EXPECT_TRUE(Port().dtr);
}

TEST_F(CommTest, AnInvalidDcbFailsWithInvalidParameterAndLeavesThePortAsItWas)
{
    struct Case
    {
        const char* name;
        void (*spoil)(DCB&);
        bool reachesDriver; // whether kernel32 lets the driver refuse it
    } cases[] = {
        {"XonCharEqualsXoffChar", [](DCB& d) { d.XoffChar = d.XonChar; }, false},
        {"NineDataBits", [](DCB& d) { d.ByteSize = 9; }, true},
        {"FourDataBits", [](DCB& d) { d.ByteSize = 4; }, true},
        {"UnknownParity", [](DCB& d) { d.Parity = 5; }, true},
        {"UnknownStopBits", [](DCB& d) { d.StopBits = 3; }, true},
        {"ZeroBaudRate", [](DCB& d) { d.BaudRate = 0; }, true},
        {"DtrControlThree", [](DCB& d) { d.fDtrControl = 3; }, true},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.name);
        DCB dcb{};
        ASSERT_TRUE(GetCommState(port, &dcb));
        dcb.BaudRate = 19200; // a change the failure must take back
        c.spoil(dcb);
        fakeserial::ClearControls();
        EXPECT_FALSE(SetCommState(port, &dcb));
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
        EXPECT_EQ(Port().baud.BaudRate, 9600u);
        EXPECT_EQ(Port().line.WordLength, 8);
        EXPECT_EQ(Port().handflow.ControlHandShake, SERIAL_DTR_CONTROL);
        EXPECT_EQ(Codes().empty(), !c.reachesDriver);
    }
}

TEST_F(CommTest, TimeoutsGoToTheDriverAndComeBackFieldByField)
{
    COMMTIMEOUTS set{1, 2, 3, 4, 5};
    ASSERT_TRUE(SetCommTimeouts(port, &set));
    EXPECT_EQ(Port().timeouts.ReadIntervalTimeout, 1u);
    EXPECT_EQ(Port().timeouts.ReadTotalTimeoutMultiplier, 2u);
    EXPECT_EQ(Port().timeouts.ReadTotalTimeoutConstant, 3u);
    EXPECT_EQ(Port().timeouts.WriteTotalTimeoutMultiplier, 4u);
    EXPECT_EQ(Port().timeouts.WriteTotalTimeoutConstant, 5u);

    Port().timeouts = SERIAL_TIMEOUTS{MAXDWORD, 20, 30, 40, 50};
    COMMTIMEOUTS got{};
    ASSERT_TRUE(GetCommTimeouts(port, &got));
    EXPECT_EQ(got.ReadIntervalTimeout, MAXDWORD);
    EXPECT_EQ(got.ReadTotalTimeoutMultiplier, 20u);
    EXPECT_EQ(got.ReadTotalTimeoutConstant, 30u);
    EXPECT_EQ(got.WriteTotalTimeoutMultiplier, 40u);
    EXPECT_EQ(got.WriteTotalTimeoutConstant, 50u);
    EXPECT_EQ(Codes(), (std::vector<ULONG>{IOCTL_SERIAL_SET_TIMEOUTS, IOCTL_SERIAL_GET_TIMEOUTS}));
}

TEST_F(CommTest, TheEventMaskIsTheDriversAndAnUnknownEventIsRefused)
{
    ASSERT_TRUE(SetCommMask(port, EV_RXCHAR | EV_CTS | EV_ERR));
    EXPECT_EQ(Port().waitMask, static_cast<ULONG>(EV_RXCHAR | EV_CTS | EV_ERR));
    Port().waitMask = EV_RING | EV_BREAK;
    DWORD mask = 0;
    ASSERT_TRUE(GetCommMask(port, &mask));
    EXPECT_EQ(mask, static_cast<DWORD>(EV_RING | EV_BREAK));
    EXPECT_FALSE(SetCommMask(port, 0x4000));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
}

TEST_F(CommTest, OverlappedWaitCommEventPendsAndGetOverlappedResultGivesTheEvents)
{
    CloseHandle(port);
    port = Open(FILE_FLAG_OVERLAPPED);
    ASSERT_NE(port, INVALID_HANDLE_VALUE);
    ASSERT_TRUE(SetCommMask(port, EV_RXCHAR | EV_DSR));
    OVERLAPPED request{};
    request.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    DWORD events = 0xFFFF;
    EXPECT_FALSE(WaitCommEvent(port, &events, &request));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_IO_PENDING));
    DWORD count = 0;
    EXPECT_FALSE(GetOverlappedResult(port, &request, &count, FALSE));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_IO_INCOMPLETE));

    fakeserial::SignalEvents(EV_CTS); // not in the mask: the wait goes on
    EXPECT_FALSE(HasOverlappedIoCompleted(&request));
    fakeserial::SignalEvents(EV_DSR | EV_CTS);
    EXPECT_EQ(WaitForSingleObject(request.hEvent, 0), WAIT_OBJECT_0);
    ASSERT_TRUE(GetOverlappedResult(port, &request, &count, TRUE));
    EXPECT_EQ(count, sizeof(DWORD));
    EXPECT_EQ(events, static_cast<DWORD>(EV_DSR));
    CloseHandle(request.hEvent);
}

TEST_F(CommTest, SynchronousWaitCommEventReturnsOnceAnEventOfTheMaskHappens)
{
    ASSERT_TRUE(SetCommMask(port, EV_RXCHAR | EV_RING));
    // An event that happened before the wait ends it at once.
    fakeserial::SignalEvents(EV_RING);
    DWORD events = 0;
    ASSERT_TRUE(WaitCommEvent(port, &events, nullptr));
    EXPECT_EQ(events, static_cast<DWORD>(EV_RING));

    // Otherwise the caller waits in the driver until one comes.
    events = 0;
    BOOL waited = FALSE;
    std::thread waiter([&] { waited = WaitCommEvent(port, &events, nullptr); });
    while (!fakeserial::WaitPending())
    {
        std::this_thread::yield();
    }
    fakeserial::SignalEvents(EV_RXCHAR);
    waiter.join();
    EXPECT_TRUE(waited);
    EXPECT_EQ(events, static_cast<DWORD>(EV_RXCHAR));

    // With no mask there is nothing to wait for.
    ASSERT_TRUE(SetCommMask(port, 0));
    EXPECT_FALSE(WaitCommEvent(port, &events, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
}

TEST_F(CommTest, PurgeCommPassesItsFlagsAndTheDriverJudgesThem)
{
    ASSERT_TRUE(PurgeComm(port, PURGE_RXCLEAR | PURGE_TXABORT));
    EXPECT_EQ(Port().purged, static_cast<ULONG>(SERIAL_PURGE_RXCLEAR | SERIAL_PURGE_TXABORT));
    EXPECT_FALSE(PurgeComm(port, 0));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
}

TEST_F(CommTest, ClearCommErrorMapsEachDriverErrorAndHoldReason)
{
    struct ErrorCase
    {
        const char* name;
        ULONG serial;
        DWORD comm;
    } errors[] = {
        {"Break", SERIAL_ERROR_BREAK, CE_BREAK},       {"Framing", SERIAL_ERROR_FRAMING, CE_FRAME},
        {"Overrun", SERIAL_ERROR_OVERRUN, CE_OVERRUN}, {"QueueOverrun", SERIAL_ERROR_QUEUEOVERRUN, CE_RXOVER},
        {"Parity", SERIAL_ERROR_PARITY, CE_RXPARITY},
    };
    for (const ErrorCase& c : errors)
    {
        SCOPED_TRACE(c.name);
        Port().status.Errors = c.serial;
        DWORD got = 0xFFFF;
        ASSERT_TRUE(ClearCommError(port, &got, nullptr));
        EXPECT_EQ(got, c.comm);
        ASSERT_TRUE(ClearCommError(port, &got, nullptr));
        EXPECT_EQ(got, 0u) << "the driver forgets an error once it is read";
    }

    struct HoldCase
    {
        const char* name;
        ULONG reason;
        unsigned bit; // which of the first seven COMSTAT bits
    } holds[] = {
        {"Cts", SERIAL_TX_WAITING_FOR_CTS, 0},        {"Dsr", SERIAL_TX_WAITING_FOR_DSR, 1},
        {"Dcd", SERIAL_TX_WAITING_FOR_DCD, 2},        {"Xon", SERIAL_TX_WAITING_FOR_XON, 3},
        {"XoffSent", SERIAL_TX_WAITING_XOFF_SENT, 4},
    };
    auto bitsOf = [](const COMSTAT& stat) {
        return static_cast<unsigned>(stat.fCtsHold | stat.fDsrHold << 1 | stat.fRlsdHold << 2 |
                                     stat.fXoffHold << 3 | stat.fXoffSent << 4 | stat.fEof << 5 |
                                     stat.fTxim << 6);
    };
    for (const HoldCase& c : holds)
    {
        SCOPED_TRACE(c.name);
        Port().status = SERIAL_STATUS{};
        Port().status.HoldReasons = c.reason;
        COMSTAT stat;
        memset(&stat, 0xFF, sizeof(stat));
        ASSERT_TRUE(ClearCommError(port, nullptr, &stat));
        EXPECT_EQ(bitsOf(stat), 1u << c.bit);
        EXPECT_EQ(stat.fReserved, 0u);
    }

    Port().status = SERIAL_STATUS{SERIAL_ERROR_FRAMING, SERIAL_TX_WAITING_ON_BREAK, 17, 42, TRUE, TRUE};
    COMSTAT stat{};
    DWORD got = 0;
    ASSERT_TRUE(ClearCommError(port, &got, &stat));
    EXPECT_EQ(got, static_cast<DWORD>(CE_FRAME));
    EXPECT_EQ(stat.cbInQue, 17u);
    EXPECT_EQ(stat.cbOutQue, 42u);
    EXPECT_EQ(bitsOf(stat), (1u << 5) | (1u << 6)) << "fEof and fTxim; a break hold has no member";
}

TEST_F(CommTest, EscapeCommFunctionSendsOneControlPerFunction)
{
    struct Case
    {
        const char* name;
        DWORD function;
        ULONG code;
    } cases[] = {
        {"SetXoff", SETXOFF, IOCTL_SERIAL_SET_XOFF},        {"SetXon", SETXON, IOCTL_SERIAL_SET_XON},
        {"SetRts", SETRTS, IOCTL_SERIAL_SET_RTS},           {"ClrRts", CLRRTS, IOCTL_SERIAL_CLR_RTS},
        {"SetDtr", SETDTR, IOCTL_SERIAL_SET_DTR},           {"ClrDtr", CLRDTR, IOCTL_SERIAL_CLR_DTR},
        {"ResetDev", RESETDEV, IOCTL_SERIAL_RESET_DEVICE},  {"SetBreak", SETBREAK, IOCTL_SERIAL_SET_BREAK_ON},
        {"ClrBreak", CLRBREAK, IOCTL_SERIAL_SET_BREAK_OFF},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.name);
        ASSERT_TRUE(EscapeCommFunction(port, c.function));
        EXPECT_EQ(Codes(), std::vector<ULONG>{c.code});
    }
    for (DWORD unknown : {0u, 10u, 0x100u})
    {
        EXPECT_FALSE(EscapeCommFunction(port, unknown)) << unknown;
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
        EXPECT_TRUE(Codes().empty()) << "an unknown function reaches no driver";
    }
}

TEST_F(CommTest, LineEscapesReachThePortAndAHandshakeLineRefusesThem)
{
    ASSERT_TRUE(EscapeCommFunction(port, CLRDTR));
    EXPECT_FALSE(Port().dtr);
    ASSERT_TRUE(EscapeCommFunction(port, CLRRTS));
    EXPECT_FALSE(Port().rts);
    ASSERT_TRUE(SetCommBreak(port));
    EXPECT_TRUE(Port().breakOn);
    ASSERT_TRUE(ClearCommBreak(port));
    EXPECT_FALSE(Port().breakOn);
    EXPECT_EQ(Codes(), (std::vector<ULONG>{IOCTL_SERIAL_CLR_DTR, IOCTL_SERIAL_CLR_RTS,
                                           IOCTL_SERIAL_SET_BREAK_ON, IOCTL_SERIAL_SET_BREAK_OFF}));

    Port().handflow.ControlHandShake = SERIAL_DTR_HANDSHAKE;
    EXPECT_FALSE(EscapeCommFunction(port, SETDTR));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
}

TEST_F(CommTest, TransmitCommCharSendsTheCharacterAhead)
{
    ASSERT_TRUE(TransmitCommChar(port, '\x13'));
    ASSERT_TRUE(TransmitCommChar(port, '\xF0'));
    EXPECT_EQ(Port().immediate, (std::vector<UCHAR>{0x13, 0xF0}));
}

TEST_F(CommTest, GetCommModemStatusReportsTheLinesOfTheModemStatus)
{
    struct Case
    {
        const char* name;
        ULONG driver;
        DWORD status;
    } cases[] = {
        {"None", 0, 0},
        {"Cts", SERIAL_CTS_STATE, MS_CTS_ON},
        {"Dsr", SERIAL_DSR_STATE, MS_DSR_ON},
        {"Ring", SERIAL_RI_STATE, MS_RING_ON},
        {"Carrier", SERIAL_DCD_STATE, MS_RLSD_ON},
        {"All", SERIAL_CTS_STATE | SERIAL_DSR_STATE | SERIAL_RI_STATE | SERIAL_DCD_STATE,
         MS_CTS_ON | MS_DSR_ON | MS_RING_ON | MS_RLSD_ON},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.name);
        Port().modemStatus = c.driver;
        DWORD status = 0xFFFFFFFF;
        ASSERT_TRUE(GetCommModemStatus(port, &status));
        EXPECT_EQ(status, c.status);
    }
}

TEST_F(CommTest, GetCommPropertiesIsTheDriversCommProp)
{
    SERIAL_COMMPROP& p = Port().properties;
    p.ServiceMask = SP_SERIALCOMM;
    p.MaxTxQueue = 1;
    p.MaxRxQueue = 4096;
    p.MaxBaud = BAUD_USER;
    p.ProvSubType = PST_RS232;
    p.ProvCapabilities = PCF_DTRDSR | PCF_RTSCTS | PCF_TOTALTIMEOUTS;
    p.SettableParams = SP_BAUD | SP_DATABITS;
    p.SettableBaud = BAUD_9600 | BAUD_115200 | BAUD_USER;
    p.SettableData = DATABITS_7 | DATABITS_8;
    p.SettableStopParity = STOPBITS_10 | PARITY_NONE | PARITY_EVEN;
    p.CurrentTxQueue = 2;
    p.CurrentRxQueue = 4095;
    COMMPROP prop{};
    ASSERT_TRUE(GetCommProperties(port, &prop));
    EXPECT_EQ(prop.wPacketLength, sizeof(COMMPROP));
    EXPECT_EQ(prop.wPacketVersion, 2);
    EXPECT_EQ(prop.dwServiceMask, SP_SERIALCOMM);
    EXPECT_EQ(prop.dwMaxTxQueue, 1u);
    EXPECT_EQ(prop.dwMaxRxQueue, 4096u);
    EXPECT_EQ(prop.dwMaxBaud, BAUD_USER);
    EXPECT_EQ(prop.dwProvSubType, PST_RS232);
    EXPECT_EQ(prop.dwProvCapabilities, PCF_DTRDSR | PCF_RTSCTS | PCF_TOTALTIMEOUTS);
    EXPECT_EQ(prop.dwSettableParams, SP_BAUD | SP_DATABITS);
    EXPECT_EQ(prop.dwSettableBaud, BAUD_9600 | BAUD_115200 | BAUD_USER);
    EXPECT_EQ(prop.wSettableData, DATABITS_7 | DATABITS_8);
    EXPECT_EQ(prop.wSettableStopParity, STOPBITS_10 | PARITY_NONE | PARITY_EVEN);
    EXPECT_EQ(prop.dwCurrentTxQueue, 2u);
    EXPECT_EQ(prop.dwCurrentRxQueue, 4095u);
}

TEST_F(CommTest, SetupCommAsksForTheQueueSizes)
{
    ASSERT_TRUE(SetupComm(port, 4096, 1024));
    EXPECT_EQ(Port().queueSize.InSize, 4096u);
    EXPECT_EQ(Port().queueSize.OutSize, 1024u);
}

// Each function fails with the driver's status as RtlNtStatusToDosError maps it.
TEST_F(CommTest, ADriverFailureBecomesTheMappedWin32Error)
{
    struct Case
    {
        const char* name;
        ULONG code;
        BOOL (*call)(HANDLE);
    } cases[] = {
        {"GetCommState", IOCTL_SERIAL_GET_HANDFLOW,
         [](HANDLE h) {
             DCB d{};
             return GetCommState(h, &d);
         }},
        {"SetCommStateRead", IOCTL_SERIAL_GET_CHARS,
         [](HANDLE h) {
             DCB d{};
             d.XonChar = 1;
             return SetCommState(h, &d);
         }},
        {"SetCommStateWrite", IOCTL_SERIAL_SET_HANDFLOW,
         [](HANDLE h) {
             DCB d{};
             GetCommState(h, &d);
             return SetCommState(h, &d);
         }},
        {"GetCommTimeouts", IOCTL_SERIAL_GET_TIMEOUTS,
         [](HANDLE h) {
             COMMTIMEOUTS t{};
             return GetCommTimeouts(h, &t);
         }},
        {"SetCommTimeouts", IOCTL_SERIAL_SET_TIMEOUTS,
         [](HANDLE h) {
             COMMTIMEOUTS t{};
             return SetCommTimeouts(h, &t);
         }},
        {"SetCommMask", IOCTL_SERIAL_SET_WAIT_MASK, [](HANDLE h) { return SetCommMask(h, EV_RXCHAR); }},
        {"GetCommMask", IOCTL_SERIAL_GET_WAIT_MASK,
         [](HANDLE h) {
             DWORD m = 0;
             return GetCommMask(h, &m);
         }},
        {"WaitCommEvent", IOCTL_SERIAL_WAIT_ON_MASK,
         [](HANDLE h) {
             DWORD m = 0;
             return WaitCommEvent(h, &m, nullptr);
         }},
        {"PurgeComm", IOCTL_SERIAL_PURGE, [](HANDLE h) { return PurgeComm(h, PURGE_RXCLEAR); }},
        {"ClearCommError", IOCTL_SERIAL_GET_COMMSTATUS,
         [](HANDLE h) {
             DWORD e = 0;
             return ClearCommError(h, &e, nullptr);
         }},
        {"EscapeCommFunction", IOCTL_SERIAL_SET_XOFF,
         [](HANDLE h) { return EscapeCommFunction(h, SETXOFF); }},
        {"SetCommBreak", IOCTL_SERIAL_SET_BREAK_ON, [](HANDLE h) { return SetCommBreak(h); }},
        {"ClearCommBreak", IOCTL_SERIAL_SET_BREAK_OFF, [](HANDLE h) { return ClearCommBreak(h); }},
        {"TransmitCommChar", IOCTL_SERIAL_IMMEDIATE_CHAR, [](HANDLE h) { return TransmitCommChar(h, 'x'); }},
        {"GetCommModemStatus", IOCTL_SERIAL_GET_MODEMSTATUS,
         [](HANDLE h) {
             DWORD s = 0;
             return GetCommModemStatus(h, &s);
         }},
        {"GetCommProperties", IOCTL_SERIAL_GET_PROPERTIES,
         [](HANDLE h) {
             COMMPROP p{};
             return GetCommProperties(h, &p);
         }},
        {"SetupComm", IOCTL_SERIAL_SET_QUEUE_SIZE, [](HANDLE h) { return SetupComm(h, 64, 64); }},
    };
    struct Failure
    {
        NTSTATUS status;
        DWORD error;
    } failures[] = {
        {STATUS_INVALID_DEVICE_REQUEST, ERROR_INVALID_FUNCTION},
        {STATUS_DEVICE_NOT_CONNECTED, ERROR_DEVICE_NOT_CONNECTED},
        {STATUS_CANCELLED, ERROR_OPERATION_ABORTED},
    };
    for (const Case& c : cases)
    {
        for (const Failure& f : failures)
        {
            SCOPED_TRACE(std::string(c.name) + " " + std::to_string(f.error));
            fakeserial::ClearFailures();
            fakeserial::Fail(c.code, f.status);
            SetLastError(0);
            EXPECT_FALSE(c.call(port));
            EXPECT_EQ(GetLastError(), f.error);
        }
    }
}

TEST_F(CommTest, AFileThatIsNoDeviceAnswersNoCommFunction)
{
    DCB dcb{};
    EXPECT_FALSE(GetCommState(INVALID_HANDLE_VALUE, &dcb));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
}

// A serial driver completes a read or write that timed out with STATUS_TIMEOUT and the bytes it
// moved. That is a success: the count tells the caller.
TEST_F(CommTest, AWriteThatTimesOutSucceedsWithTheBytesWritten)
{
    Port().writeStatus = STATUS_TIMEOUT;
    Port().writeCount = 0;
    DWORD written = 99;
    SetLastError(12345);
    EXPECT_TRUE(WriteFile(port, "hello", 5, &written, nullptr));
    EXPECT_EQ(written, 0u);

    Port().writeCount = 2;
    EXPECT_TRUE(WriteFile(port, "hello", 5, &written, nullptr));
    EXPECT_EQ(written, 2u);
}

TEST_F(CommTest, AnOverlappedWriteThatTimesOutCompletesWithItsCount)
{
    CloseHandle(port);
    port = Open(FILE_FLAG_OVERLAPPED);
    ASSERT_NE(port, INVALID_HANDLE_VALUE);
    Port().holdWrites = true;
    OVERLAPPED request{};
    request.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    DWORD written = 99;
    EXPECT_FALSE(WriteFile(port, "hello", 5, &written, &request));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_IO_PENDING));
    ASSERT_TRUE(fakeserial::CompleteHeldWrite(STATUS_TIMEOUT, 3));
    EXPECT_EQ(WaitForSingleObject(request.hEvent, 0), WAIT_OBJECT_0);
    EXPECT_TRUE(GetOverlappedResult(port, &request, &written, TRUE));
    EXPECT_EQ(written, 3u);
    EXPECT_EQ(static_cast<NTSTATUS>(request.Internal), STATUS_TIMEOUT);
    CloseHandle(request.hEvent);
}

TEST_F(CommTest, AReadThatTimesOutSucceedsWithWhatArrived)
{
    Port().readData = "ab";
    Port().readTimesOut = true;
    char buffer[8] = {};
    DWORD read = 99;
    EXPECT_TRUE(ReadFile(port, buffer, sizeof(buffer), &read, nullptr));
    EXPECT_EQ(read, 2u);
    EXPECT_EQ(std::string(buffer, read), "ab");
    EXPECT_TRUE(ReadFile(port, buffer, sizeof(buffer), &read, nullptr));
    EXPECT_EQ(read, 0u);
}

// --- BuildCommDCBA: text only, no device --------------------------------------------------------

DCB Blank()
{
    DCB dcb;
    memset(&dcb, 0, sizeof(dcb));
    dcb.BaudRate = 4800;
    dcb.ByteSize = 7;
    dcb.Parity = ODDPARITY;
    dcb.StopBits = ONESTOPBIT;
    dcb.fOutX = dcb.fInX = TRUE; // flow control BuildCommDCBA turns off by default
    dcb.fOutxCtsFlow = TRUE;
    dcb.XonChar = 0x11;
    return dcb;
}

struct BuildCase
{
    const char* name;
    const char* text;
    DWORD baud;
    BYTE byteSize;
    BYTE parity;
    BYTE stopBits;
    DcbFlow flow;
};

TEST(BuildCommDcbTest, FillsTheDcbFromEitherFormOfTheModeSyntax)
{
    const DcbFlow plain{DTR_CONTROL_ENABLE, RTS_CONTROL_ENABLE};
    const BuildCase cases[] = {
        {"NewForm", "baud=1200 parity=N data=8 stop=1", 1200, 8, NOPARITY, ONESTOPBIT, plain},
        {"NewFormWithDevice", "COM1: baud=57600 parity=e data=7 stop=2", 57600, 7, EVENPARITY, TWOSTOPBITS,
         plain},
        {"NewFormUpperCase", "BAUD=9600 PARITY=M DATA=5 STOP=1.5", 9600, 5, MARKPARITY, ONE5STOPBITS, plain},
        {"NewFormKeepsWhatItDoesNotName", "parity=s", 4800, 7, SPACEPARITY, ONESTOPBIT, plain},
        {"NewFormAbbreviatedRate", "baud=96", 9600, 7, ODDPARITY, ONESTOPBIT, plain},
        {"NewFormFlow",
         "baud=19200 xon=on odsr=on octs=on dtr=hs rts=tg idsr=on to=on",
         19200,
         7,
         ODDPARITY,
         ONESTOPBIT,
         {DTR_CONTROL_HANDSHAKE, RTS_CONTROL_TOGGLE, true, true, true, false, true, true}},
        {"NewFormLinesOff",
         "dtr=off rts=off",
         4800,
         7,
         ODDPARITY,
         ONESTOPBIT,
         {DTR_CONTROL_DISABLE, RTS_CONTROL_DISABLE}},
        {"NewFormRtsHandshake",
         "rts=hs dtr=on",
         4800,
         7,
         ODDPARITY,
         ONESTOPBIT,
         {DTR_CONTROL_ENABLE, RTS_CONTROL_HANDSHAKE}},
        {"New110BaudTwoStopBits", "baud=110 data=7", 110, 7, ODDPARITY, TWOSTOPBITS, plain},
        {"New110BaudStopGiven", "baud=110 stop=1", 110, 7, ODDPARITY, ONESTOPBIT, plain},
        {"OldForm", "COM1:9600,n,8,1", 9600, 8, NOPARITY, ONESTOPBIT, plain},
        {"OldFormNoDevice", "96,E,7,2", 9600, 7, EVENPARITY, TWOSTOPBITS, plain},
        {"OldFormXonXoff",
         "com3:19200,o,8,1,x",
         19200,
         8,
         ODDPARITY,
         ONESTOPBIT,
         {DTR_CONTROL_ENABLE, RTS_CONTROL_ENABLE, false, false, false, false, true, true}},
        {"OldFormHardware",
         "2400,n,8,1,p",
         2400,
         8,
         NOPARITY,
         ONESTOPBIT,
         {DTR_CONTROL_HANDSHAKE, RTS_CONTROL_HANDSHAKE, true, true}},
        {"OldFormRateOnly", "COM2:38400", 38400, 7, ODDPARITY, ONESTOPBIT, plain},
        {"OldFormEmptyFields", "1200,,8", 1200, 8, ODDPARITY, ONESTOPBIT, plain},
        {"Old110BaudTwoStopBits", "11,n,8", 110, 8, NOPARITY, TWOSTOPBITS, plain},
    };
    for (const BuildCase& c : cases)
    {
        SCOPED_TRACE(c.name);
        DCB dcb = Blank();
        ASSERT_TRUE(BuildCommDCBA(c.text, &dcb)) << GetLastError();
        EXPECT_EQ(dcb.DCBlength, sizeof(DCB));
        EXPECT_EQ(dcb.fBinary, 1u);
        EXPECT_EQ(dcb.BaudRate, c.baud);
        EXPECT_EQ(dcb.ByteSize, c.byteSize);
        EXPECT_EQ(dcb.Parity, c.parity);
        EXPECT_EQ(dcb.fParity, c.parity != NOPARITY ? 1u : 0u);
        EXPECT_EQ(dcb.StopBits, c.stopBits);
        EXPECT_EQ(FlowOf(dcb), c.flow);
        EXPECT_EQ(dcb.XonChar, 0x11) << "characters are not BuildCommDCBA's business";
    }
}

TEST(BuildCommDcbTest, RefusesWhatTheModeSyntaxDoesNotSayAndLeavesTheDcbAlone)
{
    const char* bad[] = {
        "baud=abc",        "baud=0",       "parity=x",           "data=4",
        "data=9",          "stop=3",       "stop=1.25",          "xon=maybe",
        "dtr=tg",          "rts=yes",      "colour=blue",        "baud",
        "baud=9600,n,8,1", "9600,n,8,1,q", "9600,n,8,1,x,extra", "9600,z",
        "9600,n,10",       "COM0:9600",    "COM256: baud=9600",  "COMX baud=9600",
        "LPT1: baud=9600", "9600;n;8;1",
    };
    for (const char* text : bad)
    {
        SCOPED_TRACE(text);
        DCB dcb = Blank();
        SetLastError(0);
        EXPECT_FALSE(BuildCommDCBA(text, &dcb));
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
        EXPECT_EQ(dcb.BaudRate, 4800u);
        EXPECT_EQ(dcb.ByteSize, 7);
        EXPECT_EQ(dcb.fOutX, 1u);
    }
}

} // namespace
} // namespace win32test
