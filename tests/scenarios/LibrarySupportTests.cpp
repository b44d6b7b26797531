// The client library's support exports as a support engineer and an application meet them: the
// capture of the driver's trace into a cabinet, and the reload of the readers. The "TARNOCOM"
// session records into the system's log file from the machine's boot, as a technician's trace
// settings would; the cabinet is read back with cabextract and its log decoded through the
// driver's trace format file.
#include <windows.h>
#include <evntrace.h>

#include <Ostrix.h>
#include <winsim/user.h>

#include "LibraryApplication.h"
#include "TestSupport.h"

#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <thread>

namespace
{

using namespace std::chrono_literals;

typedef BOOLEAN(WINAPI* PFN_GETTARNOLOGFILE)(SHORT, LPCSTR);
typedef BOOLEAN(WINAPI* PFN_RELOADTARNODRIVER)(LPCSTR, DWORD);

const char kSystemLog[] = "C:\\Windows\\System32\\TARNOCOM.etl";
const char kDropFolder[] = "C:\\Support";

// Event Viewer's texts of the driver's power transitions.
const char16_t kLeftD0[] = u"Device status changed from D0 to D3. (Remove or Selective Suspend)";
const char16_t kEnteredD0[] = u"Device status changed from D3 to D0.";

class SupportTest : public scenario::LibraryApplicationFixture
{
  protected:
    // The "TARNOCOM" session records the driver into the system's log file from the boot on, as
    // a support technician's autologger setting would.
    winsim::machine::MachineConfig Config() override
    {
        winsim::machine::MachineConfig config;
        if (RecordsFromBoot())
        {
            winsim::machine::BootTraceSession session;
            session.name = u"TARNOCOM";
            session.provider = scenario::DriverTraceGuid;
            session.level = TRACE_LEVEL_INFORMATION;
            config.bootTraceSession = session;
        }
        return config;
    }
    void StartDriverTrace() override {}
    virtual bool RecordsFromBoot() { return true; }

    void SetUp() override
    {
        LibraryApplicationFixture::SetUp();
        if (HasFatalFailure())
        {
            return;
        }
        GetTARNOLogFile = Export<PFN_GETTARNOLOGFILE>("rwGetTARNOLogFile");
        ReloadTARNODriver = Export<PFN_RELOADTARNODRIVER>("rwReloadTARNODriver");
        ASSERT_TRUE(CreateDirectoryA(kDropFolder, NULL));
    }

    void TearDown() override
    {
        winsim::machine::SetProcessAdministrator(true);
        winsim::machine::SetProcessWow64(false);
        LibraryApplicationFixture::TearDown();
    }

    std::filesystem::path Host(const std::string& windowsPath)
    {
        return machine->HostPath(std::u16string(windowsPath.begin(), windowsPath.end())); // ASCII paths
    }
    bool Exists(const std::string& windowsPath) { return std::filesystem::exists(Host(windowsPath)); }

    // The files cabextract lists in a cabinet, or the tool's complaint.
    std::vector<std::string> CabinetFiles(const std::string& windowsPath)
    {
        testsupport::RunResult r =
            testsupport::Run({testsupport::FindProgram("cabextract"), "-q", "-l", Host(windowsPath).string()},
                             m_folder.Path());
        EXPECT_EQ(r.exitCode, 0) << r.output;
        std::vector<std::string> files;
        for (const std::string& line : testsupport::SplitLines(r.output))
        {
            size_t bar = line.rfind(" | ");
            if (bar != std::string::npos && line.find("File size") == std::string::npos)
            {
                files.push_back(line.substr(bar + 3));
            }
        }
        return files;
    }

    // The driver's trace lines in the log file a cabinet holds, unpacked into C:\Unpacked.
    std::vector<std::string> DecodedCabinet(const std::string& windowsPath)
    {
        std::filesystem::path out = Host("C:\\Unpacked");
        std::filesystem::create_directories(out);
        testsupport::RunResult r = testsupport::Run(
            {testsupport::FindProgram("cabextract"), "-q", "-d", out.string(), Host(windowsPath).string()},
            m_folder.Path());
        EXPECT_EQ(r.exitCode, 0) << r.output;
        return machine->DecodeTraceFile(u"C:\\Unpacked\\TARNOCOM.etl", {TARNOCOM_TMF});
    }

    // The library's log lines from the first entry into an export on, without their prefixes.
    std::vector<std::string> CallLog(const std::string& label)
    {
        std::vector<std::string> lines;
        bool inside = false;
        for (const std::string& line : LogLines())
        {
            size_t tag = line.find(":Inf:");
            tag = tag != std::string::npos ? tag : line.find(":Err:");
            std::string message = tag != std::string::npos ? line.substr(tag + 5) : line;
            if (!message.empty() && message.back() == '\r')
            {
                message.pop_back();
            }
            inside = inside || message == "Enter   : " + label;
            if (inside)
            {
                lines.push_back(message);
            }
        }
        return lines;
    }

    size_t LogCount(const std::string& text)
    {
        std::vector<std::string> lines = LogLines();
        return std::count_if(lines.begin(), lines.end(),
                             [&](const std::string& line) { return line.find(text) != std::string::npos; });
    }

    // Messages of the driver's event log, in English, with the device each was written for.
    std::vector<std::u16string> PowerEvents()
    {
        std::vector<std::u16string> texts;
        for (const winsim::machine::EventLogRecord& record : machine->EventLogEntries())
        {
            std::u16string text = machine->EventText(record, MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US));
            if (text.find(u"D0") != std::u16string::npos)
            {
                texts.push_back(record.deviceName + u": " + text);
            }
        }
        return texts;
    }
    size_t CountEvents(const std::u16string& text)
    {
        std::vector<std::u16string> events = PowerEvents();
        return std::count_if(events.begin(), events.end(),
                             [&](const std::u16string& e) { return e.find(text) != std::u16string::npos; });
    }

    // Calls the reload on this thread while another moves the machine's clock on to each deadline
    // that falls due (the reload's pause between disable and enable).
    BOOLEAN Reload(const char* productId, DWORD command)
    {
        std::atomic<bool> done{false};
        std::thread clock([&] {
            while (!done)
            {
                machine->WaitForQuiescence();
                machine->AdvanceToNextDeadline();
                std::this_thread::yield();
            }
        });
        BOOLEAN result = ReloadTARNODriver(productId, command);
        done = true;
        clock.join();
        return result;
    }

    PFN_GETTARNOLOGFILE GetTARNOLogFile = nullptr;
    PFN_RELOADTARNODRIVER ReloadTARNODriver = nullptr;
};

// --- trace capture ------------------------------------------------------------------------------

TEST_F(SupportTest, CaptureOfAPluggedAndOpenedReaderHoldsItsTraceInACabinet)
{
    HANDLE port = CreateFileA("\\\\.\\COM3", GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING, 0, NULL);
    ASSERT_NE(port, INVALID_HANDLE_VALUE);
    CloseHandle(port);

    ASSERT_TRUE(GetTARNOLogFile(0, kDropFolder));

    std::string cabinet = std::string(kDropFolder) + "\\TARNOCOM.cab";
    EXPECT_EQ(CabinetFiles(cabinet), std::vector<std::string>{"TARNOCOM.etl"});
    std::vector<std::string> trace = DecodedCabinet(cabinet);
    auto has = [&](const std::string& text) {
        return std::any_of(trace.begin(), trace.end(),
                           [&](const std::string& line) { return line.find(text) != std::string::npos; });
    };
    EXPECT_TRUE(has("EvtDeviceD0Entry from")) << "the reader's start";
    EXPECT_TRUE(has("COM3: EvtDeviceFileCreate")) << "the open";
    EXPECT_TRUE(has("COM3: port closed")) << "the close";
    // Nothing is left in the current directory; the system's log stays with its session.
    EXPECT_FALSE(std::filesystem::exists(m_folder / "TARNOCOM.etl"));
    EXPECT_FALSE(std::filesystem::exists(m_folder / "TARNOCOM.cab"));
    EXPECT_TRUE(Exists(kSystemLog));
    EXPECT_TRUE(LogHas("ErrInfo : DeleteFileA failed 0x20")) << "the session holds its file";
    EXPECT_TRUE(LogHas("ErrInfo : GetVertionEx Failed. status=47e")) << "a current system";
    EXPECT_TRUE(
        LogHas("Info    : command param = C:\\Windows\\System32\\makecab.exe TARNOCOM.etl TARNOCOM.cab"));
    EXPECT_TRUE(LogHas("Info    : rwGetTARNOLogFile = True"));
}

TEST_F(SupportTest, ANonAdministratorGetsFalseAndTheLogShowsOnlyTheFrame)
{
    winsim::machine::SetProcessAdministrator(false);
    EXPECT_FALSE(GetTARNOLogFile(7, kDropFolder));
    EXPECT_EQ(CallLog("rwGetTARNOLogFile"),
              (std::vector<std::string>{
                  "Enter   : rwGetTARNOLogFile",
                  "CSLock  : rwGetTARNOLogFile",
                  "Info    : rwGetTARNOLogFile iParameter = 7 lpFileSavePath = C:\\Support",
                  "CSUnlock: rwGetTARNOLogFile",
                  "Info    : rwGetTARNOLogFile = False",
                  "Exit    : rwGetTARNOLogFile",
              }));
    EXPECT_FALSE(Exists(std::string(kDropFolder) + "\\TARNOCOM.cab"));
}

// Folders as the caller may give them: where the cabinet lands and the copy's target as logged.
TEST_F(SupportTest, FoldersAreExpandedAndTakenAsGiven)
{
    struct Case
    {
        const char* folder;
        const char* target; // as the copy logs it
    };
    ASSERT_TRUE(SetEnvironmentVariableA("SUPPORT_DROP", kDropFolder));
    const Case cases[] = {
        {"C:\\Support", "C:\\Support\\TARNOCOM.cab"},
        {"%SUPPORT_DROP%", "C:\\Support\\TARNOCOM.cab"},
        {"C:\\Support\\", "C:\\Support\\\\TARNOCOM.cab"},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.folder);
        std::filesystem::remove(Host(std::string(kDropFolder) + "\\TARNOCOM.cab"));
        EXPECT_TRUE(GetTARNOLogFile(0, c.folder));
        EXPECT_TRUE(LogHas(std::string("CopyDstPath=\"") + c.target + "\""));
        EXPECT_EQ(CabinetFiles(std::string(kDropFolder) + "\\TARNOCOM.cab"),
                  std::vector<std::string>{"TARNOCOM.etl"});
    }
}

TEST_F(SupportTest, AnExistingCabinetIsOverwritten)
{
    testsupport::WriteAll(Host(std::string(kDropFolder) + "\\TARNOCOM.cab").string(), "an older capture");
    ASSERT_TRUE(GetTARNOLogFile(0, kDropFolder));
    EXPECT_EQ(CabinetFiles(std::string(kDropFolder) + "\\TARNOCOM.cab"),
              std::vector<std::string>{"TARNOCOM.etl"});
}

TEST_F(SupportTest, AFolderTooLongForTheCabinetsNameIsRefusedBeforeTheFlush)
{
    // 247 characters, a separator, "TARNOCOM.cab" and the terminator: 261.
    std::string folder = "C:\\" + std::string(244, 'f');
    EXPECT_FALSE(GetTARNOLogFile(0, folder.c_str()));
    EXPECT_TRUE(LogHas("Info    : status=0x00000057"));
    EXPECT_FALSE(LogHas("Enter   : CFlushTrace::FlushTraceExec"));
    // One shorter fits: the capture runs and stops only at the copy into a folder that is not there.
    folder.pop_back();
    EXPECT_FALSE(GetTARNOLogFile(0, folder.c_str()));
    EXPECT_TRUE(LogHas("Enter   : CFlushTrace::FlushTraceExec"));
    EXPECT_TRUE(LogHas("ErrInfo : CopyFileA failed 0x3"));
    // The cabinet that could not be copied is kept rather than lost.
    EXPECT_TRUE(std::filesystem::exists(m_folder / "TARNOCOM.cab"));
}

TEST_F(SupportTest, AFailingCabinetToolsExitCodeIsTheStatus)
{
    std::filesystem::path tool = Host("C:\\Windows\\System32\\makecab.exe");
    std::filesystem::remove(tool);
    testsupport::WriteAll(tool.string(), "#!/bin/sh\necho 'ERROR: disk full' >&2\nexit 9\n");
    std::filesystem::permissions(tool, std::filesystem::perms::owner_all);

    EXPECT_FALSE(GetTARNOLogFile(0, kDropFolder));
    EXPECT_TRUE(LogHas("Info    : status=0x00000009"));
    EXPECT_FALSE(std::filesystem::exists(m_folder / "TARNOCOM.etl")) << "the local copy is deleted";
    EXPECT_FALSE(Exists(std::string(kDropFolder) + "\\TARNOCOM.cab")) << "nothing is copied";
    EXPECT_EQ(LogCount("Enter   : CFlushTrace::LogFileCopy"), 1u) << "only the move before the packing";
}

class NoSessionSupportTest : public SupportTest
{
  protected:
    bool RecordsFromBoot() override { return false; }
};

TEST_F(NoSessionSupportTest, ASessionThatIsNotRunningStopsTheCaptureAtTheFlush)
{
    EXPECT_FALSE(GetTARNOLogFile(0, kDropFolder));
    EXPECT_TRUE(LogHas("Info    : status=0x00001069")) << "ERROR_WMI_INSTANCE_NOT_FOUND";
    EXPECT_FALSE(LogHas("Enter   : CFlushTrace::CallMakecab"));
    EXPECT_FALSE(Exists(std::string(kDropFolder) + "\\TARNOCOM.cab"));
    // A current system does not start the session itself.
    EXPECT_FALSE(GetTARNOLogFile(0, kDropFolder));
}

// Windows XP (5.1) starts no session at boot: the library starts one after each capture.
class OldSystemSupportTest : public NoSessionSupportTest
{
  protected:
    winsim::machine::MachineConfig Config() override
    {
        winsim::machine::MachineConfig config;
        config.majorVersion = 5;
        config.minorVersion = 1;
        config.buildNumber = 2600;
        return config;
    }
};

TEST_F(OldSystemSupportTest, TheFirstCaptureStartsTheSessionForTheNext)
{
    EXPECT_FALSE(GetTARNOLogFile(0, kDropFolder));
    EXPECT_TRUE(LogHas("Info    : status=0x00001069"));
    EXPECT_FALSE(LogHas("GetVertionEx Failed")) << "the version test holds";
    EXPECT_FALSE(LogHas("StartTrace Failed"));

    // The session runs now, so the next capture succeeds and starts it again in vain.
    Plug(u"TR0002");
    ASSERT_TRUE(GetTARNOLogFile(0, kDropFolder));
    EXPECT_TRUE(LogHas("ErrInfo : StartTrace Failed. Session is already exists."));
    std::string cabinet = std::string(kDropFolder) + "\\TARNOCOM.cab";
    EXPECT_EQ(CabinetFiles(cabinet), std::vector<std::string>{"TARNOCOM.etl"});
    // Enabled without flags, the driver's trace points (each tests a flag) record nothing.
    EXPECT_TRUE(DecodedCabinet(cabinet).empty());
}

// --- device reload ------------------------------------------------------------------------------

TEST_F(SupportTest, ReloadRestartsBothReadersOfAProductId)
{
    Plug(u"TR0002");
    ASSERT_TRUE(machine->DeviceByComName(u"COM4"));
    machine->ClearEventLog();

    EXPECT_TRUE(Reload(TARNO_PRODUCT_ID_TEXT, 0));

    EXPECT_EQ(CountEvents(kLeftD0), 2u);
    EXPECT_EQ(CountEvents(kEnteredD0), 2u);
    EXPECT_TRUE(machine->DeviceByComName(u"COM3"));
    EXPECT_TRUE(machine->DeviceByComName(u"COM4"));
    EXPECT_TRUE(LogHas("Info    : rwReloadTARNODriver = True"));
}

// The COM names the SERIALCOMM map holds, in any order.
std::vector<std::string> SerialCommPorts()
{
    std::vector<std::string> ports;
    HKEY key = NULL;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, "HARDWARE\\DEVICEMAP\\SERIALCOMM", 0, KEY_READ, &key) !=
        ERROR_SUCCESS)
    {
        return ports;
    }
    for (DWORD index = 0;; ++index)
    {
        char name[256];
        char data[256] = {0};
        DWORD cchName = sizeof(name);
        DWORD cbData = sizeof(data) - 1;
        if (RegEnumValueA(key, index, name, &cchName, NULL, NULL, reinterpret_cast<BYTE*>(data), &cbData) !=
            ERROR_SUCCESS)
        {
            break;
        }
        ports.push_back(data);
    }
    RegCloseKey(key);
    std::sort(ports.begin(), ports.end());
    return ports;
}

TEST_F(SupportTest, DisabledReadersStayDisabledUntilEnabled)
{
    winsim::machine::Device second = Plug(u"TR0002");
    // The machine's own serial ports are COM1 and COM2.
    ASSERT_EQ(SerialCommPorts(), (std::vector<std::string>{"COM1", "COM2", "COM3", "COM4"}));

    ASSERT_TRUE(Reload(TARNO_PRODUCT_ID_TEXT, 1));
    EXPECT_EQ(device.State(), winsim::machine::DeviceState::Disabled);
    EXPECT_EQ(second.State(), winsim::machine::DeviceState::Disabled);
    EXPECT_EQ(SerialCommPorts(), (std::vector<std::string>{"COM1", "COM2"}));
    EXPECT_EQ(CreateFileA("\\\\.\\COM3", GENERIC_READ, 0, NULL, OPEN_EXISTING, 0, NULL),
              INVALID_HANDLE_VALUE);
    // A second disable changes nothing and still succeeds.
    EXPECT_TRUE(Reload(TARNO_PRODUCT_ID_TEXT, 1));
    EXPECT_EQ(device.State(), winsim::machine::DeviceState::Disabled);

    ASSERT_TRUE(Reload(TARNO_PRODUCT_ID_TEXT, 2));
    EXPECT_EQ(device.State(), winsim::machine::DeviceState::Started);
    EXPECT_EQ(second.State(), winsim::machine::DeviceState::Started);
    EXPECT_EQ(SerialCommPorts(), (std::vector<std::string>{"COM1", "COM2", "COM3", "COM4"}));
}

TEST_F(SupportTest, AReaderHeldOpenMakesTheReloadAskForARestartAndSkipTheEnable)
{
    winsim::machine::Device second = Plug(u"TR0002");
    HANDLE port = CreateFileA("\\\\.\\COM3", GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING, 0, NULL);
    ASSERT_NE(port, INVALID_HANDLE_VALUE);
    machine->ClearEventLog();

    EXPECT_FALSE(Reload(TARNO_PRODUCT_ID_TEXT, 0));
    EXPECT_TRUE(LogHas("Info    : rwReloadTARNODriver = false"));
    // The open reader vetoed its removal and runs on; the other was disabled, and stays so: the
    // restart request ends the reload before its enable.
    EXPECT_EQ(device.State(), winsim::machine::DeviceState::Started);
    EXPECT_EQ(second.State(), winsim::machine::DeviceState::Disabled);
    EXPECT_EQ(CountEvents(kLeftD0), 1u);
    EXPECT_EQ(CountEvents(kEnteredD0), 0u);
    DCB dcb = {};
    dcb.DCBlength = sizeof(dcb);
    EXPECT_TRUE(GetCommState(port, &dcb)) << "the open port still works";
    CloseHandle(port);
}

// Which present readers a product ID addresses: each case disables (command 1) and enables again.
TEST_F(SupportTest, ProductIdsMatchWithoutRegardToCaseAndWithStars)
{
    winsim::machine::ReaderSpec other;
    other.productId = 0x07AB;
    other.serialNumber = u"TR0100";
    winsim::machine::Device lettered = machine->Attach(other);
    struct Case
    {
        std::string productId;
        bool result;
        bool reader0730; // the fixture's reader is disabled
        bool reader07AB;
    };
    const Case cases[] = {
        {"0730", true, true, false},
        {"07ab", true, false, true},
        {"07AB", true, false, true},
        {"07*", true, true, true},
        {"*", true, true, true},
        {"*B", true, false, true},
        {"", true, false, false},                             // "USB\\VID_xxxx&PID_" is no device's ID
        {"0731", true, false, false},                         // no such reader: nothing to do
        {"0730" + std::string(42, '*'), true, true, false},   // 46 characters: the longest that fits
        {"0730" + std::string(43, '*'), false, false, false}, // 47 characters: refused
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE("product ID \"" + c.productId + "\"");
        EXPECT_EQ(Reload(c.productId.c_str(), 1) != FALSE, c.result);
        EXPECT_EQ(device.State() == winsim::machine::DeviceState::Disabled, c.reader0730);
        EXPECT_EQ(lettered.State() == winsim::machine::DeviceState::Disabled, c.reader07AB);
        ASSERT_TRUE(Reload("*", 2));
        ASSERT_NE(device.State(), winsim::machine::DeviceState::Disabled);
        ASSERT_NE(lettered.State(), winsim::machine::DeviceState::Disabled);
    }
}

// Calls refused before anything is looked at: only the call's frame is logged.
TEST_F(SupportTest, ABadCommandOrANonAdministratorChangesNothing)
{
    struct Case
    {
        const char* name;
        const char* productId;
        DWORD command;
        bool administrator;
    };
    const Case cases[] = {
        {"command 3", TARNO_PRODUCT_ID_TEXT, 3, true},
        {"no product ID", NULL, 0, true},
        {"a standard user", TARNO_PRODUCT_ID_TEXT, 1, false},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.name);
        std::filesystem::remove(m_folder / "Ostrix.log");
        winsim::machine::SetProcessAdministrator(c.administrator);
        EXPECT_FALSE(Reload(c.productId, c.command));
        winsim::machine::SetProcessAdministrator(true);
        EXPECT_EQ(device.State(), winsim::machine::DeviceState::Started);
        EXPECT_EQ(CallLog("rwReloadTARNODriver"), (std::vector<std::string>{
                                                      "Enter   : rwReloadTARNODriver",
                                                      "CSLock  : rwReloadTARNODriver",
                                                      "CSUnlock: rwReloadTARNODriver",
                                                      "Info    : rwReloadTARNODriver = false",
                                                      "Exit    : rwReloadTARNODriver",
                                                  }));
    }
}

// A 32-bit process leaves both jobs to the 64-bit console tool in the system folder.
TEST_F(SupportTest, A32BitProcessStartsTheToolWithTheJobsArguments)
{
    winsim::machine::SetProcessWow64(true);
    EXPECT_TRUE(GetTARNOLogFile(0, "C:\\Support")) << "the tool could be started";
    EXPECT_TRUE(LogHas("ErrInfo : C:\\Windows\\System32\\Heskor_x64.exe /f C:\\Support"));
    EXPECT_TRUE(Reload(TARNO_PRODUCT_ID_TEXT, 2));
    EXPECT_TRUE(LogHas("ErrInfo : C:\\Windows\\System32\\Heskor_x64.exe /r " TARNO_PRODUCT_ID_TEXT " 2"));
    // Neither job ran in this process.
    EXPECT_FALSE(LogHas("Enter   : CFlushTraceDll::DllFlushTrace"));
    EXPECT_EQ(device.State(), winsim::machine::DeviceState::Started);
    // Without the tool the start fails, and so does the call.
    std::filesystem::remove(Host("C:\\Windows\\System32\\Heskor_x64.exe"));
    EXPECT_FALSE(GetTARNOLogFile(0, "C:\\Support"));
    EXPECT_TRUE(LogHas("ErrInfo : Failed to CreateProcess GetLastError = 0x2"));
}

} // namespace
