// Boots a simulated Windows machine, installs the reader's driver package and plugs readers in
// and out, printing what a person would look at: the devices, the SERIALCOMM map and the system
// event log; then runs a terminal session on COM3 through a loopback plug and shows what crossed
// the wire.
#include <windows.h>
#include <ntddser.h>

#include "machine/Machine.h"
#include "ProductConstants.h"

#include <stdio.h>
#include <string.h>

#include <chrono>
#include <exception>
#include <string>
#include <vector>

using winsim::machine::Machine;
using winsim::machine::Reader;
using winsim::machine::ReaderControlRequest;
using winsim::machine::ReaderEndpoint;
using winsim::machine::ReaderSpec;
using winsim::machine::ReaderTransfer;

static void Heading(const char* text)
{
    printf("\n== %s ==\n", text);
}

// The system event log's entries since the last look, in English, then a fresh log.
static void ShowEvents(Machine& machine)
{
    printf("-- system event log --\n%s", machine.DescribeEventLog(0x0409).c_str());
    machine.ClearEventLog();
}

// --- the terminal session -------------------------------------------------------------------

// Lets what the reader sent reach the driver, and every waiting thread see it.
static void Settle(Machine& machine, Reader reader)
{
    reader.WaitForCompletions();
    machine.WaitForSystemThreads();
    machine.SettleWaiters();
}

static std::string Printable(const char* bytes, DWORD count)
{
    std::string text;
    for (DWORD i = 0; i < count; i++)
    {
        char c = bytes[i];
        if (c == '\r')
        {
            text += "\\r";
        }
        else if (c == '\n')
        {
            text += "\\n";
        }
        else
        {
            text += c;
        }
    }
    return text;
}

static std::string Names(DWORD bits, const std::vector<std::pair<DWORD, const char*>>& names)
{
    std::string text;
    for (const auto& [bit, name] : names)
    {
        if ((bits & bit) != 0)
        {
            text += text.empty() ? name : std::string(" ") + name;
        }
    }
    return text.empty() ? "none" : text;
}

static std::string EventNames(DWORD events)
{
    return Names(events, {{EV_RXCHAR, "EV_RXCHAR"},
                          {EV_RXFLAG, "EV_RXFLAG"},
                          {EV_TXEMPTY, "EV_TXEMPTY"},
                          {EV_CTS, "EV_CTS"},
                          {EV_DSR, "EV_DSR"},
                          {EV_RLSD, "EV_RLSD"},
                          {EV_BREAK, "EV_BREAK"},
                          {EV_ERR, "EV_ERR"},
                          {EV_RING, "EV_RING"}});
}

// Starts an overlapped request and waits for its end; the result, its byte count and error.
struct Outcome
{
    BOOL ok = FALSE;
    DWORD count = 0;
    DWORD error = 0;
};

static Outcome Finish(HANDLE port, OVERLAPPED& overlapped, BOOL started)
{
    Outcome outcome;
    if (!started && GetLastError() != ERROR_IO_PENDING)
    {
        outcome.error = GetLastError();
        return outcome;
    }
    outcome.ok = GetOverlappedResult(port, &overlapped, &outcome.count, TRUE);
    outcome.error = outcome.ok ? 0 : GetLastError();
    return outcome;
}

static Outcome WriteLine(HANDLE port, const char* text)
{
    OVERLAPPED overlapped = {};
    overlapped.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    Outcome outcome = Finish(port, overlapped,
                             WriteFile(port, text, static_cast<DWORD>(strlen(text)), nullptr, &overlapped));
    CloseHandle(overlapped.hEvent);
    return outcome;
}

static DWORD InQueue(HANDLE port)
{
    DWORD errors = 0;
    COMSTAT stat = {};
    ClearCommError(port, &errors, &stat);
    return stat.cbInQue;
}

// A line coding's 7 bytes as a person writes them: "115200 baud 8N1".
static std::string LineCoding(const std::vector<UCHAR>& data)
{
    if (data.size() != 7)
    {
        return "(" + std::to_string(data.size()) + " bytes)";
    }
    ULONG rate = data[0] | (data[1] << 8) | (data[2] << 16) | (static_cast<ULONG>(data[3]) << 24);
    static const char* const stopBits[] = {"1", "1.5", "2"};
    static const char parities[] = "NOEMS";
    std::string text = std::to_string(rate) + " baud " + std::to_string(data[6]);
    text += data[5] < 5 ? parities[data[5]] : '?';
    text += data[4] < 3 ? stopBits[data[4]] : "?";
    return text;
}

// The class requests and the bulk OUT transfers the reader saw, each in order.
static void ShowWire(Reader reader)
{
    printf("Class requests:\n");
    for (const ReaderControlRequest& request : reader.ControlRequests())
    {
        if (request.bmRequestType != 0x21)
        {
            continue;
        }
        std::string text;
        if (request.bRequest == 0x20)
        {
            text = "SET_LINE_CODING         " + LineCoding(request.data);
        }
        else if (request.bRequest == 0x22)
        {
            text = std::string("SET_CONTROL_LINE_STATE  DTR ") + ((request.wValue & 1) ? "up" : "down") +
                   ", RTS " + ((request.wValue & 2) ? "up" : "down");
        }
        else if (request.bRequest == 0x23)
        {
            text = "SEND_BREAK              " + std::to_string(request.wValue) +
                   (request.wValue == 0        ? " (break off)"
                    : request.wValue == 0xFFFF ? " (break on)"
                                               : " ms");
        }
        else
        {
            text = "class request " + std::to_string(request.bRequest);
        }
        printf("  %9.3f s  %s\n", static_cast<double>(request.time) / 1e7, text.c_str());
    }
    printf("Bulk OUT transfers:\n");
    for (const ReaderTransfer& transfer : reader.Transfers())
    {
        if (transfer.endpoint == ReaderEndpoint::BulkOut)
        {
            printf("  %9.3f s  %lu of %lu bytes, status 0x%08lX\n",
                   static_cast<double>(transfer.submitted) / 1e7,
                   static_cast<unsigned long>(transfer.transferred),
                   static_cast<unsigned long>(transfer.length), static_cast<unsigned long>(transfer.status));
        }
    }
}

// A person's terminal program on COM3, with a loopback plug on the reader: what it sets, sends and
// reads back, and what the reader model saw.
static void TerminalSession(Machine& machine)
{
    Heading("A terminal on COM3: the reader TR0001 comes back with a loopback plug");
    ReaderSpec plugged;
    plugged.serialNumber = u"TR0001";
    plugged.loopback = true;
    plugged.answerLineState = true;
    winsim::machine::Device device = machine.Attach(plugged);
    Reader reader = machine.ReaderOf(device);

    HANDLE port = CreateFileA("\\\\.\\COM3", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                              FILE_FLAG_OVERLAPPED, nullptr);
    if (port == INVALID_HANDLE_VALUE)
    {
        printf("CreateFileA(\"\\\\.\\COM3\") failed: error %lu\n",
               static_cast<unsigned long>(GetLastError()));
        return;
    }
    printf("CreateFileA(\"\\\\.\\COM3\"): open\n");

    DCB dcb = {};
    dcb.DCBlength = sizeof(dcb);
    GetCommState(port, &dcb);
    dcb.BaudRate = CBR_115200;
    dcb.ByteSize = 8;
    dcb.Parity = NOPARITY;
    dcb.StopBits = ONESTOPBIT;
    dcb.fDtrControl = DTR_CONTROL_ENABLE;
    dcb.fRtsControl = RTS_CONTROL_ENABLE;
    BOOL set = SetCommState(port, &dcb);
    DCB now = {};
    now.DCBlength = sizeof(now);
    GetCommState(port, &now);
    static const char* const parities[] = {"no", "odd", "even", "mark", "space"};
    static const char* const stops[] = {"1", "1.5", "2"};
    printf("SetCommState: %s; GetCommState reads back %lu baud, %u data bits, %s parity, %s stop bit(s), "
           "DTR %s, RTS %s\n",
           set ? "done" : "failed", static_cast<unsigned long>(now.BaudRate), now.ByteSize,
           now.Parity < 5 ? parities[now.Parity] : "?", now.StopBits < 3 ? stops[now.StopBits] : "?",
           now.fDtrControl == DTR_CONTROL_ENABLE ? "on" : "not on",
           now.fRtsControl == RTS_CONTROL_ENABLE ? "on" : "not on");
    Settle(machine, reader);
    DWORD modem = 0;
    GetCommModemStatus(port, &modem);
    printf("GetCommModemStatus: 0x%04lX = %s (the plug loops RTS and DTR to carrier, DTR to DSR)\n",
           static_cast<unsigned long>(modem),
           Names(modem, {{MS_CTS_ON, "CTS"}, {MS_DSR_ON, "DSR"}, {MS_RING_ON, "RING"}, {MS_RLSD_ON, "RLSD"}})
               .c_str());

    COMMTIMEOUTS timeouts = {0, 0, 1000, 0, 1000};
    SetCommTimeouts(port, &timeouts);
    printf("SetCommTimeouts: a read waits at most 1000 ms, a write 1000 ms\n");

    printf("\n-- a line written and read back --\n");
    SetCommMask(port, EV_RXCHAR);
    OVERLAPPED wait = {};
    wait.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    DWORD events = 0;
    BOOL waited = WaitCommEvent(port, &events, &wait);
    printf("SetCommMask(EV_RXCHAR), WaitCommEvent: %s\n",
           !waited && GetLastError() == ERROR_IO_PENDING ? "pending" : "ended at once");
    const char* line = "AT+READ=1\r\n";
    Outcome written = WriteLine(port, line);
    printf("WriteFile(\"%s\"): %s, %lu bytes\n", Printable(line, static_cast<DWORD>(strlen(line))).c_str(),
           written.ok ? "TRUE" : "FALSE", static_cast<unsigned long>(written.count));
    Settle(machine, reader);
    DWORD count = 0;
    BOOL ended = GetOverlappedResult(port, &wait, &count, TRUE);
    printf("WaitCommEvent ended: %s, events %s\n", ended ? "TRUE" : "FALSE", EventNames(events).c_str());
    printf("ClearCommError: %lu bytes waiting\n", static_cast<unsigned long>(InQueue(port)));
    char answer[64];
    OVERLAPPED read = {};
    read.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    Outcome got =
        Finish(port, read, ReadFile(port, answer, static_cast<DWORD>(strlen(line)), nullptr, &read));
    printf("ReadFile(%zu bytes): %s, %lu bytes \"%s\"\n", strlen(line), got.ok ? "TRUE" : "FALSE",
           static_cast<unsigned long>(got.count), Printable(answer, got.count).c_str());

    printf("\n-- a read that runs out of time --\n");
    COMMTIMEOUTS shortRead = {0, 0, 500, 0, 1000};
    SetCommTimeouts(port, &shortRead);
    reader.PushBulkIn("OK");
    Settle(machine, reader);
    printf("SetCommTimeouts: a read waits at most 500 ms; the reader sends \"OK\"\n");
    ResetEvent(read.hEvent);
    BOOL started = ReadFile(port, answer, 32, nullptr, &read);
    int waitedMs = 0;
    while ((started || GetLastError() == ERROR_IO_PENDING) &&
           WaitForSingleObject(read.hEvent, 0) != WAIT_OBJECT_0 && waitedMs < 5000)
    {
        machine.AdvanceClock(std::chrono::milliseconds(1));
        Settle(machine, reader);
        waitedMs++;
    }
    got = Finish(port, read, TRUE);
    printf("ReadFile(32 bytes): %s after %d ms of the machine's clock, %lu bytes \"%s\"\n",
           got.ok ? "TRUE" : "FALSE", waitedMs, static_cast<unsigned long>(got.count),
           Printable(answer, got.count).c_str());

    printf("\n-- a purge --\n");
    WriteLine(port, "line noise");
    Settle(machine, reader);
    printf("WriteFile(\"line noise\") comes back: ClearCommError: %lu bytes waiting\n",
           static_cast<unsigned long>(InQueue(port)));
    BOOL purged = PurgeComm(port, PURGE_RXCLEAR | PURGE_TXCLEAR);
    printf("PurgeComm(PURGE_RXCLEAR | PURGE_TXCLEAR): %s; ClearCommError: %lu bytes waiting\n",
           purged ? "TRUE" : "FALSE", static_cast<unsigned long>(InQueue(port)));
    CloseHandle(port);
    Settle(machine, reader);
    printf("CloseHandle\n");

    printf("\n-- the reader pulled out under a pending read --\n");
    port = CreateFileA("\\\\.\\COM3", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                       FILE_FLAG_OVERLAPPED, nullptr);
    COMMTIMEOUTS forever = {0, 0, 0, 0, 0};
    SetCommTimeouts(port, &forever);
    ResetEvent(read.hEvent);
    started = ReadFile(port, answer, 32, nullptr, &read);
    printf("CreateFileA again, SetCommTimeouts (no time-out), ReadFile(32 bytes): %s\n",
           !started && GetLastError() == ERROR_IO_PENDING ? "pending" : "ended at once");
    machine.Detach(device);
    Settle(machine, reader);
    count = 0;
    BOOL ok = GetOverlappedResult(port, &read, &count, FALSE);
    DWORD error = ok ? 0 : GetLastError();
    printf("Reader pulled out. GetOverlappedResult: %s, error %lu%s, %lu bytes (status 0x%08lX)\n",
           ok ? "TRUE" : "FALSE", static_cast<unsigned long>(error),
           error == ERROR_OPERATION_ABORTED ? " (ERROR_OPERATION_ABORTED)" : "",
           static_cast<unsigned long>(count), static_cast<unsigned long>(read.Internal));
    CloseHandle(port);
    CloseHandle(read.hEvent);
    CloseHandle(wait.hEvent);

    Heading("What crossed the wire, as the reader model recorded it since it was plugged in");
    ShowWire(reader);
}

int main(int argc, char** argv)
{
    std::string package = argc > 1 ? argv[1] : TARNOCOM_PACKAGE_DIR;
    try
    {
        Machine machine;
        Heading("Installing the driver package");
        machine.InstallPackage(package + "/TARNOCOM.inf");
        printf("TARNOCOM.inf is in the driver store.\n");

        Heading("Plugging in a reader");
        ReaderSpec first;
        first.serialNumber = u"TR0001";
        winsim::machine::Device one = machine.Attach(first);
        printf("%s", machine.DescribeDevices().c_str());
        Heading("The driver's service parameters, installed with the first reader");
        const char16_t* parameters =
            u"HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\TARNOCOM\\Parameters";
        printf("%s", machine.RegistryText(parameters).c_str());
        Heading("The reader as its model saw the start");
        printf("%s", machine.ReaderOf(one).Describe().c_str());
        ShowEvents(machine);

        Heading("Turning on selective suspend (EnableSelectiveSuspend = 1) and replugging the reader");
        machine.Detach(one);
        machine.SetRegistryValue(parameters, u"EnableSelectiveSuspend",
                                 winsim::machine::RegistryValue::Dword(1));
        one = machine.Attach(first);
        winsim::machine::Reader reader = machine.ReaderOf(one);
        printf("Idle power-down enabled: %s\n", one.IdlePowerDownEnabled() ? "yes" : "no");
        ShowEvents(machine);

        Heading("Ten seconds without a request: selective suspend");
        machine.AdvanceClock(std::chrono::seconds(10));
        machine.RunSystemThreadsToRest();
        printf("Reader power state: D%d\n", static_cast<int>(one.PowerState()) - 1);
        ShowEvents(machine);

        Heading("An application opens COM3 and asks for the modem status: the reader wakes");
        HANDLE port =
            CreateFileA("\\\\.\\COM3", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
        DWORD modemStatus = 0;
        DWORD returned = 0;
        DeviceIoControl(port, IOCTL_SERIAL_GET_MODEMSTATUS, nullptr, 0, &modemStatus, sizeof(modemStatus),
                        &returned, nullptr);
        CloseHandle(port);
        printf("Reader power state: D%d\n", static_cast<int>(one.PowerState()) - 1);
        ShowEvents(machine);

        Heading("The interrupt pipe fails once (USBD_STATUS_STALL_PID): recovery resets it");
        const GUID traceGuid = {TARNO_TRACE_GUID_INITIALIZER};
        machine.StartTrace(u"TARNOCOM", traceGuid, 4 /* TRACE_LEVEL_INFORMATION */, 1);
        size_t traceStart = machine.TraceLines(u"TARNOCOM", TARNOCOM_TMF).size();
        const LONG stallPid = static_cast<LONG>(0xC0000004); // USBD_STATUS_STALL_PID
        reader.FailTransfers(ReaderEndpoint::Interrupt, 1, STATUS_UNSUCCESSFUL, stallPid);
        reader.WaitForCompletions();
        machine.RunSystemThreadsToRest();
        std::vector<winsim::machine::TraceLine> lines = machine.TraceLines(u"TARNOCOM", TARNOCOM_TMF);
        for (size_t i = traceStart; i < lines.size(); i++)
        {
            const std::string& text = lines[i].text;
            if (text.find("failed") != std::string::npos || text.find("recovery") != std::string::npos ||
                text.find("Recovery") != std::string::npos || text.find("ResetPipe") != std::string::npos ||
                text.find("StartPipe") != std::string::npos)
            {
                printf("  trace: %s\n", text.c_str());
            }
        }
        printf("%s", reader.Describe().c_str());
        reader.PushSerialState(0x0003);
        reader.WaitForCompletions();
        printf("The reader reports carrier and DSR again; the driver heard it.\n");
        ShowEvents(machine);

        Heading("The machine sleeps (S3) and wakes");
        machine.Sleep();
        ShowEvents(machine);
        machine.Wake();
        machine.RunSystemThreadsToRest();
        ShowEvents(machine);

        Heading("Plugging in a second reader");
        ReaderSpec second;
        second.serialNumber = u"TR0002";
        machine.Attach(second);
        printf("%s", machine.DescribeDevices().c_str());
        Heading("SERIALCOMM");
        printf("%s", machine.DescribeSerialComm().c_str());

        Heading("Pulling out the first reader");
        machine.Detach(one);
        printf("%s", machine.DescribeDevices().c_str());
        Heading("SERIALCOMM");
        printf("%s", machine.DescribeSerialComm().c_str());

        Heading("Plugging in a reader whose COM name is too long (COM10000)");
        ReaderSpec third;
        third.serialNumber = u"TR0003";
        third.portName = u"COM10000";
        machine.Attach(third);
        printf("%s", machine.DescribeDevices().c_str());

        ShowEvents(machine);

        TerminalSession(machine);
        ShowEvents(machine);
    }
    catch (const std::exception& error)
    {
        fprintf(stderr, "demo failed: %s\n", error.what());
        return 1;
    }
    return 0;
}
