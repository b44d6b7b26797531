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

} // namespace
