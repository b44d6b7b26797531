// The support story on a simulated machine with the driver package: a reader's transfer fails under
// an application, a support engineer captures the driver's trace with the client library, reads
// the cabinet, and reloads the readers.
//   tarnocom-support-demo [driver package folder] [driver's trace format file]
// The "TARNOCOM" trace session records the driver from the machine's boot, as a technician's
// autologger setting would. The library's settings ("Ostrix.ini") are written beside this
// program; its current folder (where the capture packs the cabinet) is a temporary one.
#include <windows.h>
#include <evntrace.h>

#include <Ostrix.h>
#include <winsim/user.h>

#include "machine/Machine.h"

#include "ProductConstants.h"

#include <ctype.h>
#include <stdio.h>
#include <unistd.h>

#include <atomic>
#include <exception>
#include <filesystem>
#include <fstream>
#include <regex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

using winsim::machine::Device;
using winsim::machine::Machine;
using winsim::machine::Reader;
using winsim::machine::ReaderEndpoint;
using winsim::machine::ReaderSpec;

typedef BOOLEAN(WINAPI* PFN_GETTARNOLOGFILE)(SHORT, LPCSTR);
typedef BOOLEAN(WINAPI* PFN_RELOADTARNODRIVER)(LPCSTR, DWORD);

static const LONG kUsbdStatusStallPid = static_cast<LONG>(0xC0000004); // USBD_STATUS_STALL_PID

static void Heading(const char* text)
{
    printf("\n== %s ==\n\n", text);
}

static std::string Narrow(const std::u16string& text)
{
    std::string out;
    for (char16_t c : text)
    {
        out.push_back(c < 0x80 ? static_cast<char>(c) : '?');
    }
    return out;
}

// Runs a host command in a folder and prints its output indented; its exit code. A listing's
// date and time (the file's, taken from the host when the session wrote it) are shown as a
// placeholder, so that the story reads the same on every run.
static int RunIn(const std::filesystem::path& folder, const std::string& command)
{
    std::string line = "cd '" + folder.string() + "' && " + command + " 2>&1";
    FILE* pipe = popen(line.c_str(), "r");
    if (pipe == nullptr)
    {
        return -1;
    }
    static const std::regex stamp("[0-9]{2}\\.[0-9]{2}\\.[0-9]{4} [0-9]{2}:[0-9]{2}:[0-9]{2}");
    char buffer[512];
    while (fgets(buffer, sizeof(buffer), pipe) != nullptr)
    {
        std::string text = std::regex_replace(buffer, stamp, "DD.MM.YYYY hh:mm:ss");
        while (!text.empty() && isspace(static_cast<unsigned char>(text.back())))
        {
            text.pop_back();
        }
        printf(text.empty() ? "\n" : "    %s\n", text.c_str());
    }
    return pclose(pipe);
}

// The driver's power entries in the system event log, in English, as Event Viewer shows them.
static void ShowEvents(Machine& machine)
{
    for (const winsim::machine::EventLogRecord& record : machine.EventLogEntries())
    {
        std::u16string text = machine.EventText(record, MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US));
        while (!text.empty() && (text.back() == u'\n' || text.back() == u'\r'))
        {
            text.pop_back();
        }
        printf("  %-11s %-8s %5lu  %s: %s\n", record.level.c_str(), Narrow(record.source).c_str(),
               static_cast<unsigned long>(record.eventId), Narrow(record.deviceName).c_str(),
               Narrow(text).c_str());
    }
}

int main(int argc, char** argv)
{
    // Absolute, since the current folder moves onto the machine's drive.
    std::filesystem::path package = std::filesystem::absolute(argc > 1 ? argv[1] : TARNOCOM_PACKAGE_DIR);
    std::filesystem::path formatFile = std::filesystem::absolute(argc > 2 ? argv[2] : TARNOCOM_TMF);
    std::filesystem::path self = std::filesystem::read_symlink("/proc/self/exe");
    std::filesystem::path work =
        std::filesystem::temp_directory_path() / ("ostrix-support-demo-" + std::to_string(getpid()));
    std::filesystem::create_directories(work);
    {
        std::ofstream ini(self.parent_path() / "Ostrix.ini", std::ios::binary);
        ini << "[Log]\r\nLogging=0\r\nLogFileName=.\\Ostrix.log\r\n[Wmi]\r\nPollingInterval=100\r\n";
    }

    int exitCode = 0;
    try
    {
        winsim::machine::MachineConfig config;
        winsim::machine::BootTraceSession session;
        session.name = u"TARNOCOM";
        session.provider = GUID{TARNO_TRACE_GUID_INITIALIZER};
        session.level = TRACE_LEVEL_INFORMATION;
        config.bootTraceSession = session;
        Machine machine(config);

        Heading("A machine that traces the driver from boot, with a reader plugged in");
        printf("The technician's autologger setting starts the \"TARNOCOM\" session at boot; it\n"
               "records the driver (information level, every flag) into %s.\n",
               Narrow(Machine::BootTraceFile(u"TARNOCOM")).c_str());
        machine.InstallPackage(package / "TARNOCOM.inf");
        ReaderSpec plugged;
        plugged.serialNumber = u"TR0001";
        Device device = machine.Attach(plugged);
        Reader reader = machine.ReaderOf(device);
        // The reader, not the board's own devices listed before it.
        std::string devices = machine.DescribeDevices();
        printf("%s", devices.substr(devices.find("USB\\VID_")).c_str());
        SetCurrentDirectoryA(winsim::ToWindowsPath(work.string()).c_str());

        Heading("An application opens COM3; the reader's bulk-in pipe stalls once");
        HANDLE port =
            CreateFileA("\\\\.\\COM3", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
        if (port == INVALID_HANDLE_VALUE)
        {
            throw std::runtime_error("COM3 did not open (error " + std::to_string(GetLastError()) + ")");
        }
        printf("CreateFileA(\"\\\\.\\COM3\") opened the port; the driver reads bulk-in all the while.\n");
        unsigned resets = reader.PipeResets(ReaderEndpoint::BulkIn);
        reader.FailTransfers(ReaderEndpoint::BulkIn, 1, STATUS_UNSUCCESSFUL, kUsbdStatusStallPid);
        reader.WaitForCompletions();
        machine.RunSystemThreadsToRest();
        printf("The read ended STATUS_UNSUCCESSFUL (USBD_STATUS_STALL_PID). The driver's recovery reset\n"
               "the bulk-in pipe (%u reset, %u port resets) and the reads go on (%u outstanding).\n",
               reader.PipeResets(ReaderEndpoint::BulkIn) - resets, reader.PortResets(),
               reader.OutstandingBulkInReads());
        CloseHandle(port);
        printf("The application closes COM3 and calls support.\n");

        HMODULE library = LoadLibraryA(winsim::ToWindowsPath(OSTRIX_DLL).c_str());
        if (library == nullptr)
        {
            throw std::runtime_error("Ostrix_x64.dll did not load (error " + std::to_string(GetLastError()) +
                                     ")");
        }
        auto getLogFile = reinterpret_cast<PFN_GETTARNOLOGFILE>(
            reinterpret_cast<void*>(GetProcAddress(library, "rwGetTARNOLogFile")));
        auto reloadDriver = reinterpret_cast<PFN_RELOADTARNODRIVER>(
            reinterpret_cast<void*>(GetProcAddress(library, "rwReloadTARNODriver")));

        Heading("The support engineer captures the trace: rwGetTARNOLogFile(0, \"C:\\\\Support\")");
        CreateDirectoryA("C:\\Support", nullptr);
        BOOLEAN captured = getLogFile(0, "C:\\Support");
        printf("rwGetTARNOLogFile = %s: the library flushed the session, packed TARNOCOM.etl with\n"
               "makecab.exe and copied TARNOCOM.cab into C:\\Support.\n",
               captured ? "True" : "False");
        if (!captured)
        {
            throw std::runtime_error("the capture failed");
        }

        Heading("The cabinet, as cabextract lists it");
        std::filesystem::path support = machine.HostPath(u"C:\\Support");
        std::filesystem::path unpacked = machine.HostPath(u"C:\\Unpacked");
        std::filesystem::create_directories(unpacked);
        printf("  $ cabextract -l TARNOCOM.cab\n");
        if (RunIn(support, "cabextract -l TARNOCOM.cab") != 0 ||
            RunIn(support, "cabextract -q -d '" + unpacked.string() + "' TARNOCOM.cab") != 0)
        {
            throw std::runtime_error("cabextract failed");
        }

        Heading("The driver's trace in it, decoded with TARNOCOM.tmf");
        std::vector<std::string> trace = machine.DecodeTraceFile(u"C:\\Unpacked\\TARNOCOM.etl", {formatFile});
        printf("%zu lines from the driver's load on. The ones that tell the story, without their\n"
               "process and thread IDs:\n\n",
               trace.size());
        static const char* const kStory[] = {
            "DriverEntry: Entry", "EvtDeviceD0Entry from", "port open",      "bulk-in read failed",
            "recovery: Entry",    "ResetPipe BulkIN",      "recovery: Exit", "port closed",
        };
        for (const std::string& line : trace)
        {
            for (const char* marker : kStory)
            {
                if (line.find(marker) != std::string::npos)
                {
                    size_t ids = line.find("::");
                    printf("  %s\n", ids == std::string::npos ? line.c_str() : line.c_str() + ids + 2);
                    break;
                }
            }
        }

        Heading("The reload: rwReloadTARNODriver(\"" TARNO_PRODUCT_ID_TEXT "\", 0)");
        printf("The library disables every reader of the product, waits 1000 ms and enables them\n"
               "again; the machine's clock moves on to each deadline meanwhile.\n");
        machine.ClearEventLog();
        std::atomic<bool> done{false};
        std::thread clock([&] {
            while (!done)
            {
                machine.WaitForQuiescence();
                machine.AdvanceToNextDeadline();
                std::this_thread::yield();
            }
        });
        BOOLEAN reloaded = reloadDriver(TARNO_PRODUCT_ID_TEXT, 0);
        done = true;
        clock.join();
        printf("rwReloadTARNODriver = %s\n", reloaded ? "True" : "False");
        printf("\n-- system event log of the restart --\n"
               "The driver writes its power transitions: D0 left as the reader is disabled, D0\n"
               "entered again as it is enabled.\n\n");
        ShowEvents(machine);

        Device back = machine.DeviceByComName(u"COM3");
        port =
            CreateFileA("\\\\.\\COM3", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
        printf("\nCOM3 is back: %s, and an application opens it again: %s\n",
               back && back.State() == winsim::machine::DeviceState::Started ? "started" : "NOT started",
               port != INVALID_HANDLE_VALUE ? "yes" : "no");
        if (port != INVALID_HANDLE_VALUE)
        {
            CloseHandle(port);
        }
        FreeLibrary(library);
    }
    catch (const std::exception& error)
    {
        fprintf(stderr, "demo failed: %s\n", error.what());
        exitCode = 1;
    }
    std::error_code ignored;
    std::filesystem::remove_all(work, ignored);
    return exitCode;
}
