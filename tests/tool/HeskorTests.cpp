// Heskor_x64.exe: every text and exit code, with stand-ins of the library that return what the
// test chooses and record the arguments they get.
#include <winsim/user.h>

#include <gtest/gtest.h>

#include "TestSupport.h"

#include <chrono>
#include <filesystem>

namespace
{

const char kUsage[] = "---USAGE---\n"
                      "FlushTrace: Heskor /f [FolderPath]\n"
                      "ReloadUSB : Heskor /r [ProductID] [option]\n"
                      "            option 0 -> Reload USB Device\n"
                      "            option 1 -> Disable USB Device\n"
                      "            option 2 -> Enable USB Device\n"
                      "-----------\n";

enum class Library
{
    None,    // no Ostrix_x64.dll in the current directory
    Fake,    // both exports
    Partial, // only rwGetTARNOLogFile
    Real,    // the real library
};

struct ToolCase
{
    std::vector<std::string> args;
    Library library;
    bool libraryResult;   // what the stand-in returns
    int exitCode;         // as the process reports it, modulo 256
    std::string output;   // standard output
    std::string recorded; // the stand-in's record of its calls
};

class HeskorTest : public ::testing::Test
{
  protected:
    testsupport::RunResult RunTool(const ToolCase& c, std::string* recorded)
    {
        testsupport::TempDir dir;
        std::string toolDir = dir.Sub("tool");
        std::string runDir = dir.Sub("run");
        testsupport::CopyInto(HESKOR_EXE, toolDir);
        const char* library = c.library == Library::Fake      ? FAKE_OSTRIX
                              : c.library == Library::Partial ? PARTIAL_OSTRIX
                              : c.library == Library::Real    ? REAL_OSTRIX
                                                              : nullptr;
        if (library != nullptr)
        {
            testsupport::CopyInto(library, runDir);
        }
        std::vector<std::string> argv = {toolDir + "/Heskor_x64.exe"};
        argv.insert(argv.end(), c.args.begin(), c.args.end());
        std::string record = dir / "record.txt";
        testsupport::RunResult r = testsupport::Run(
            argv, runDir,
            {{"FAKE_OSTRIX_RESULT", c.libraryResult ? "1" : "0"}, {"FAKE_OSTRIX_RECORD", record}});
        *recorded = testsupport::ReadAll(record);
        return r;
    }
    void Check(const std::vector<ToolCase>& cases)
    {
        for (const ToolCase& c : cases)
        {
            std::string line;
            for (const std::string& a : c.args)
            {
                line += " [" + a + "]";
            }
            SCOPED_TRACE("Heskor" + line);
            std::string recorded;
            testsupport::RunResult r = RunTool(c, &recorded);
            EXPECT_EQ(r.exitCode, c.exitCode);
            EXPECT_EQ(r.output, c.output);
            EXPECT_EQ(recorded, c.recorded);
        }
    }
};

TEST_F(HeskorTest, UsageWithoutArgumentsNeedsNoLibrary)
{
    Check({
        {{}, Library::None, true, 0, kUsage, ""},
        {{}, Library::Fake, true, 0, kUsage, ""},
    });
}

TEST_F(HeskorTest, UnknownSwitchesShowTheUsageAfterLoadingTheLibrary)
{
    Check({
        {{"/F", "C:\\out"}, Library::Fake, true, 0, kUsage, ""},
        {{"-f", "C:\\out"}, Library::Fake, true, 0, kUsage, ""},
        {{"/flush", "C:\\out"}, Library::Fake, true, 0, kUsage, ""},
        {{"/R", "0001"}, Library::Fake, true, 0, kUsage, ""},
        {{"/r0001"}, Library::Fake, true, 0, kUsage, ""},
        {{""}, Library::Fake, true, 0, kUsage, ""},
        {{"/F", "C:\\out"}, Library::None, true, 255, "LoadLibrary Error (7e)\n", ""},
    });
}

TEST_F(HeskorTest, FlushTrace)
{
    Check({
        {{"/f", "C:\\out"},
         Library::Fake,
         true,
         0,
         "execFlushTrace Success\n",
         "rwGetTARNOLogFile 0 C:\\out\n"},
        {{"/f", "C:\\out"},
         Library::Fake,
         false,
         256 - 5,
         "execFlushTrace Error\n",
         "rwGetTARNOLogFile 0 C:\\out\n"},
        {{"/f", "%TEMP%\\x", "ignored"},
         Library::Fake,
         true,
         0,
         "execFlushTrace Success\n",
         "rwGetTARNOLogFile 0 %TEMP%\\x\n"},
        {{"/f"}, Library::Fake, true, 256 - 6, "rwGetTARNOLogFile Parameter Error\n", ""},
    });
}

TEST_F(HeskorTest, ReloadWithoutOption)
{
    Check({
        {{"/r", "0001"},
         Library::Fake,
         true,
         0,
         "execReloadVELORUSB Success\n",
         "rwReloadTARNODriver 0001 0\n"},
        {{"/r", "0001"},
         Library::Fake,
         false,
         256 - 7,
         "execReloadVELORUSB Error\n",
         "rwReloadTARNODriver 0001 0\n"},
        {{"/r"}, Library::Fake, true, 256 - 10, "rwReloadTARNODriver Parameter Error\n", ""},
    });
}

TEST_F(HeskorTest, ReloadWithOption)
{
    Check({
        {{"/r", "0001", "1"},
         Library::Fake,
         true,
         0,
         "execReloadVELORUSB Success\n",
         "rwReloadTARNODriver 0001 1\n"},
        {{"/r", "0730", "2"},
         Library::Fake,
         false,
         256 - 8,
         "execReloadVELORUSB Error\n",
         "rwReloadTARNODriver 0730 2\n"},
        {{"/r", "0001", "0"},
         Library::Fake,
         false,
         256 - 8,
         "execReloadVELORUSB Error\n",
         "rwReloadTARNODriver 0001 0\n"},
        // atoi: not a number gives 0 (and the "option given" failure code), leading digits count.
        {{"/r", "0001", "x"},
         Library::Fake,
         false,
         256 - 8,
         "execReloadVELORUSB Error\n",
         "rwReloadTARNODriver 0001 0\n"},
        {{"/r", "0001", "2abc"},
         Library::Fake,
         true,
         0,
         "execReloadVELORUSB Success\n",
         "rwReloadTARNODriver 0001 2\n"},
        {{"/r", "0001", "3"}, Library::Fake, true, 256 - 9, "rwReloadTARNODriver Parameter Error\n", ""},
        {{"/r", "0001", "-1"}, Library::Fake, true, 256 - 9, "rwReloadTARNODriver Parameter Error\n", ""},
        {{"/r", "0001", "1", "extra"},
         Library::Fake,
         true,
         256 - 10,
         "rwReloadTARNODriver Parameter Error\n",
         ""},
    });
}

TEST_F(HeskorTest, MissingLibraryOrExports)
{
    Check({
        {{"/f", "C:\\out"}, Library::None, true, 255, "LoadLibrary Error (7e)\n", ""},
        {{"/f", "C:\\out"},
         Library::Partial,
         true,
         256 - 3,
         "rwReloadTARNODriver: 127:The specified procedure could not be found.\r\n\n",
         ""},
        // The real library on a machine whose trace session does not run: the capture fails.
        {{"/f", "C:\\out"}, Library::Real, true, 256 - 5, "execFlushTrace Error\n", ""},
    });
}

struct ExitLogCase
{
    const char* name;
    bool absolute; // LogFileName is a full path, otherwise relative to the current directory
};

// The tool never unloads the library: the library's unload runs at process exit, after the tool's
// own teardown, and still writes the empty line that closes its log.
TEST_F(HeskorTest, TheRealLibraryClosesItsLogWithAnEmptyLineAtExit)
{
    const ExitLogCase cases[] = {
        {"absolute log file name", true},
        {"relative log file name", false},
    };
    for (const ExitLogCase& c : cases)
    {
        SCOPED_TRACE(c.name);
        testsupport::TempDir dir;
        std::string toolDir = dir.Sub("tool");
        std::string runDir = dir.Sub("run");
        testsupport::CopyInto(HESKOR_EXE, toolDir);
        testsupport::CopyInto(REAL_OSTRIX, runDir);
        std::string log = c.absolute ? dir / "ostrix.log" : runDir + "/ostrix.log";
        std::string logName = c.absolute ? winsim::ToWindowsPath(log) : ".\\ostrix.log";
        // The settings file sits beside the executable of the process that loads the library.
        testsupport::WriteAll(toolDir + "/Ostrix.ini",
                              "[Log]\r\nLogging=0\r\nLogFileName=" + logName + "\r\n");
        testsupport::RunResult r = testsupport::Run({toolDir + "/Heskor_x64.exe", "/f", "C:\\out"}, runDir);
        EXPECT_EQ(r.exitCode, 256 - 5);
        EXPECT_EQ(r.output, "execFlushTrace Error\n");
        std::vector<std::string> lines = testsupport::SplitLines(testsupport::ReadAll(log));
        ASSERT_GE(lines.size(), 2u);
        // The load's lines, then the one empty line of the unload, last.
        for (size_t i = 0; i + 1 < lines.size(); ++i)
        {
            EXPECT_GT(lines[i].size(), 1u) << "line " << i;
            EXPECT_EQ(lines[i].back(), '\r') << "line " << i;
        }
        EXPECT_NE(lines.front().find("Info    : m_dwMainThreadID = 0"), std::string::npos) << lines.front();
        EXPECT_EQ(lines.back(), "\r");
    }
}

TEST_F(HeskorTest, LibraryBesideTheToolIsNotLoadedFromAnotherFolder)
{
    testsupport::TempDir dir;
    std::string toolDir = dir.Sub("tool");
    std::string runDir = dir.Sub("run");
    testsupport::CopyInto(HESKOR_EXE, toolDir);
    testsupport::CopyInto(FAKE_OSTRIX, toolDir);
    testsupport::RunResult r = testsupport::Run({toolDir + "/Heskor_x64.exe", "/f", "C:\\out"}, runDir);
    EXPECT_EQ(r.exitCode, 255);
    EXPECT_EQ(r.output, "LoadLibrary Error (7e)\n");
    // Run from the tool's own folder, the same library is found.
    r = testsupport::Run({toolDir + "/Heskor_x64.exe", "/f", "C:\\out"}, toolDir,
                         {{"FAKE_OSTRIX_RESULT", "1"}});
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(r.output, "execFlushTrace Success\n");
}

// --- the real library on a machine of the tool's own, started with the launcher -----------------

// A run of the tool on a machine with the driver package and a reader, on the virtual clock that
// moves on whenever every thread waits: the library's one-second pause in a reload costs no time.
class HeskorOnAMachineTest : public ::testing::Test
{
  protected:
    void SetUp() override
    {
        m_toolDir = m_dir.Sub("tool");
        m_runDir = m_dir.Sub("run");
        m_root = m_dir / "machine";
        testsupport::CopyInto(HESKOR_EXE, m_toolDir);
        testsupport::CopyInto(REAL_OSTRIX, m_runDir);
        testsupport::WriteAll(m_toolDir + "/Ostrix.ini",
                              "[Log]\r\nLogging=0\r\nLogFileName=" + winsim::ToWindowsPath(Log()) + "\r\n");
        // The folder the capture is dropped into, on the machine's drive C:.
        std::filesystem::create_directories(m_root + "/drive_c/Support");
    }

    testsupport::RunResult RunTool(const std::vector<std::string>& launcherOptions,
                                   const std::vector<std::string>& args,
                                   const std::vector<std::pair<std::string, std::string>>& env = {})
    {
        std::vector<std::string> argv = {WINSIM_RUN, "--root", m_root, "--clock", "virtual"};
        argv.insert(argv.end(), launcherOptions.begin(), launcherOptions.end());
        argv.push_back("--");
        argv.push_back(m_toolDir + "/Heskor_x64.exe");
        argv.insert(argv.end(), args.begin(), args.end());
        return testsupport::Run(argv, m_runDir, env);
    }

    std::string Log() const { return m_dir / "ostrix.log"; }
    bool LogHas(const std::string& text) const
    {
        return testsupport::ReadAll(Log()).find(text) != std::string::npos;
    }
    std::string Cabinet() const { return m_root + "/drive_c/Support/TARNOCOM.cab"; }

    // The driver's trace lines the boot session wrote, decoded.
    std::vector<std::string> TraceLines() const
    {
        testsupport::RunResult decoded = testsupport::Run(
            {WINSIM_TRACEFMT, m_root + "/drive_c/Windows/System32/TARNOCOM.etl", TARNOCOM_TMF}, m_dir.Path());
        EXPECT_EQ(decoded.exitCode, 0);
        return testsupport::SplitLines(decoded.output);
    }

    testsupport::TempDir m_dir;
    std::string m_toolDir;
    std::string m_runDir;
    std::string m_root;
};

// A program's own machine on the virtual clock: a Sleep ends as soon as every thread waits, and the
// program's clock readings show the whole pause passed, to the millisecond.
TEST(ProgramMachineClockTest, ASleepOnTheVirtualClockPassesWithoutTheWait)
{
    const char* const pauses[] = {"0", "1000", "60000"};
    for (const char* pause : pauses)
    {
        SCOPED_TRACE(std::string("Sleep(") + pause + ")");
        testsupport::TempDir dir;
        auto started = std::chrono::steady_clock::now();
        testsupport::RunResult r = testsupport::Run(
            {WINSIM_RUN, "--root", dir / "machine", "--clock", "virtual", "--", SLEEP_CLOCK_EXE, pause},
            dir.Path());
        auto took = std::chrono::steady_clock::now() - started;
        EXPECT_EQ(r.exitCode, 0);
        EXPECT_EQ(r.output, std::string(pause) + "\n");
        // A minute's pause takes the time the machine needs to boot, not a minute.
        EXPECT_LT(took, std::chrono::seconds(30));
    }
}

TEST_F(HeskorOnAMachineTest, CaptureDropsTheBootSessionsLogInACabinet)
{
    testsupport::RunResult r = RunTool({"--trace-session", "TARNOCOM"}, {"/f", "C:\\Support"});
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(r.output, "execFlushTrace Success\n");
    std::string cabextract = testsupport::FindProgram("cabextract");
    ASSERT_FALSE(cabextract.empty()) << "cabextract is not installed";
    testsupport::RunResult listed = testsupport::Run({cabextract, "-q", "-l", Cabinet()}, m_dir.Path());
    EXPECT_EQ(listed.exitCode, 0) << listed.output;
    // The listing's rows follow a line of dashes; the name is the last column.
    std::vector<std::string> names;
    bool rows = false;
    for (const std::string& line : testsupport::SplitLines(listed.output))
    {
        if (rows && line.rfind("| ") != std::string::npos)
        {
            names.push_back(line.substr(line.rfind("| ") + 2));
        }
        rows = rows || line.rfind("-----", 0) == 0;
    }
    EXPECT_EQ(names, std::vector<std::string>{"TARNOCOM.etl"}) << listed.output;
}

TEST_F(HeskorOnAMachineTest, CaptureWithoutARunningSessionFailsAndDropsNothing)
{
    testsupport::RunResult r = RunTool({}, {"/f", "C:\\Support"});
    EXPECT_EQ(r.exitCode, 256 - 5);
    EXPECT_EQ(r.output, "execFlushTrace Error\n");
    EXPECT_FALSE(testsupport::Exists(Cabinet()));
    EXPECT_TRUE(LogHas("Info    : status=0x00001069")) << "ERROR_WMI_INSTANCE_NOT_FOUND";
}

struct MachineReloadCase
{
    const char* option; // nullptr: none
    bool administrator;
    int exitCode;
    const char* output;
    const char* logged;
};

// A reload changes the reader's device: the driver traces what a reload of a reader's product ID
// does to it, which a reload of a product ID no reader has leaves out.
TEST_F(HeskorOnAMachineTest, ReloadChangesTheReadersDeviceAndAStandardUserCannot)
{
    const MachineReloadCase cases[] = {
        {"0", true, 0, "execReloadVELORUSB Success\n", "rwReloadTARNODriver = True"},
        {"1", true, 0, "execReloadVELORUSB Success\n", "rwReloadTARNODriver = True"},
        {"2", true, 0, "execReloadVELORUSB Success\n", "rwReloadTARNODriver = True"},
        {nullptr, false, 256 - 7, "execReloadVELORUSB Error\n", "rwReloadTARNODriver = false"},
        {"0", false, 256 - 8, "execReloadVELORUSB Error\n", "rwReloadTARNODriver = false"},
    };
    // What the driver traces on a machine whose tool reloads a product ID no reader has.
    ASSERT_EQ(RunTool({"--trace-session", "TARNOCOM"}, {"/r", "FFFF", "0"}).exitCode, 0);
    const size_t untouched = TraceLines().size();
    ASSERT_GT(untouched, 0u);
    for (const MachineReloadCase& c : cases)
    {
        SCOPED_TRACE(std::string("option ") + (c.option != nullptr ? c.option : "none") +
                     (c.administrator ? ", administrator" : ", standard user"));
        std::filesystem::remove(Log());
        std::vector<std::string> args = {"/r", "0730"};
        if (c.option != nullptr)
        {
            args.push_back(c.option);
        }
        std::vector<std::pair<std::string, std::string>> env;
        if (!c.administrator)
        {
            env.push_back({"WINSIM_TOKEN", "standard"});
        }
        testsupport::RunResult r = RunTool({"--trace-session", "TARNOCOM"}, args, env);
        EXPECT_EQ(r.exitCode, c.exitCode);
        EXPECT_EQ(r.output, c.output);
        EXPECT_TRUE(LogHas(c.logged)) << testsupport::ReadAll(Log());
        // Enabling a started reader changes nothing; disabling it does, and so does a standard
        // user's refused reload not.
        const bool changed = c.administrator && c.option != std::string("2");
        EXPECT_EQ(TraceLines().size() > untouched, changed);
    }
}

} // namespace
