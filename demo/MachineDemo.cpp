// Boots a simulated Windows machine, installs the reader's driver package and plugs readers in
// and out, printing what a person would look at: the devices, the SERIALCOMM map and the system
// event log.
#include <windows.h>
#include <ntddser.h>

#include "machine/Machine.h"
#include "ProductConstants.h"

#include <stdio.h>

#include <chrono>
#include <exception>
#include <string>

using winsim::machine::Machine;
using winsim::machine::ReaderEndpoint;
using winsim::machine::ReaderSpec;

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
    }
    catch (const std::exception& error)
    {
        fprintf(stderr, "demo failed: %s\n", error.what());
        return 1;
    }
    return 0;
}
