// The library loaded by a host process: settings beside the executable, load and unload log lines,
// the library object's settings, port tables and registered message.
#include <windows.h>
#include <winsim/user.h>

#include "machine/DebugOutputListener.h"

#include <gtest/gtest.h>

#include "LogTestSupport.h"
#include "OstrixApp.h"
#include "TestSupport.h"

namespace
{

const char kEmptyTableLine[] =
    "Info    : m_pPortStatus = 0000000000000000 m_pPortStatusWmi = 0000000000000000";

// A host program copied into a folder of its own ("app"), run from another folder ("run").
class LibraryLoadTest : public ::testing::Test
{
  protected:
    void SetUp() override
    {
        m_app = m_dir.Sub("app");
        m_run = m_dir.Sub("run");
        testsupport::CopyInto(OSTRIX_HOST, m_app);
        m_dll = winsim::ToWindowsPath(OSTRIX_DLL);
    }
    void Settings(const std::string& ini) { testsupport::WriteAll(m_app + "/Ostrix.ini", ini); }
    testsupport::RunResult Host(const std::vector<std::string>& args)
    {
        std::vector<std::string> argv = {m_app + "/ostrix_host"};
        argv.insert(argv.end(), args.begin(), args.end());
        return testsupport::Run(argv, m_run);
    }
    // Runs "load" and returns the host's process and thread ids.
    std::pair<unsigned, unsigned> Load(const char* command = "load")
    {
        testsupport::RunResult r = Host({command, m_dll});
        EXPECT_EQ(r.exitCode, 0) << r.output;
        unsigned pid = 0;
        unsigned tid = 0;
        EXPECT_EQ(sscanf(r.output.c_str(), "pid %u tid %u", &pid, &tid), 2) << r.output;
        return {pid, tid};
    }
    std::vector<std::string> LogLines(const std::string& name = "Ostrix.log")
    {
        return testsupport::SplitLines(testsupport::ReadAll(m_run + "/" + name));
    }
    // Files in the two folders, apart from the host and its settings.
    std::vector<std::string> StrayFiles()
    {
        std::vector<std::string> files;
        for (const std::string& folder : {m_app, m_run})
        {
            for (const auto& entry : std::filesystem::directory_iterator(folder))
            {
                std::string name = entry.path().filename().string();
                if (name != "ostrix_host" && name != "Ostrix.ini")
                {
                    files.push_back(name);
                }
            }
        }
        return files;
    }
    testsupport::TempDir m_dir;
    std::string m_app;
    std::string m_run;
    std::string m_dll;
};

TEST_F(LibraryLoadTest, LoadWritesTheTableAndThreadLinesAndUnloadOneEmptyLine)
{
    Settings("[Log]\r\nLogging=0\r\n");
    auto [pid, tid] = Load();
    std::string content = testsupport::ReadAll(m_run + "/Ostrix.log");
    std::vector<std::string> lines = testsupport::SplitLines(content);
    ASSERT_EQ(lines.size(), 1u + OSTRIX_PORT_TABLE_SIZE + 1u + 1u);
    EXPECT_EQ(content.substr(content.size() - 4), "\r\n\r\n");
    std::vector<LogLine> parsed;
    for (size_t i = 0; i + 1 < lines.size(); ++i)
    {
        ASSERT_EQ(lines[i].back(), '\r');
        LogLine line;
        ASSERT_TRUE(ParseLogLine(lines[i].substr(0, lines[i].size() - 1), line)) << lines[i];
        EXPECT_EQ(line.pid, Width5(pid));
        EXPECT_EQ(line.tid, Width5(tid));
        EXPECT_EQ(line.mark, "Inf");
        parsed.push_back(line);
    }
    EXPECT_EQ(parsed.front().message, "Info    : m_dwMainThreadID = 0");
    for (size_t i = 1; i <= OSTRIX_PORT_TABLE_SIZE; ++i)
    {
        EXPECT_EQ(parsed[i].message, kEmptyTableLine) << i;
        EXPECT_EQ(parsed[i].site, parsed[1].site);
    }
    EXPECT_EQ(parsed.back().message, "Info    : Mainthread ID = " + std::to_string(tid));
    EXPECT_NE(parsed.front().site, parsed[1].site);
    EXPECT_NE(parsed.back().site, parsed[1].site);
    EXPECT_EQ(lines.back(), "\r");
}

TEST_F(LibraryLoadTest, EveryLoadAppendsToTheLog)
{
    Settings("[Log]\r\nLogging=0\r\n");
    Load();
    Load("load-exit"); // unloaded at process exit
    std::vector<std::string> lines = LogLines();
    const size_t perLoad = OSTRIX_PORT_TABLE_SIZE + 3;
    ASSERT_EQ(lines.size(), 2 * perLoad);
    EXPECT_EQ(lines[perLoad - 1], "\r");
    EXPECT_EQ(lines[2 * perLoad - 1], "\r");
    EXPECT_NE(lines[perLoad].find("m_dwMainThreadID = 0"), std::string::npos);
}

struct OutputCase
{
    const char* ini;
    const char* logFile;  // where the log goes (in the run folder), or nullptr for no file
    size_t fileLines;     // lines in it
    size_t debugMessages; // messages to the debugger output
};

TEST_F(LibraryLoadTest, SettingsDecideWhereTheLogGoes)
{
    const size_t all = OSTRIX_PORT_TABLE_SIZE + 3;
    const OutputCase cases[] = {
        {nullptr, nullptr, 0, 0}, // no settings file: no log
        {"[Log]\nLogging=-1\n", nullptr, 0, 0},
        {"[Log]\nLogging=5\n", nullptr, 0, 0},
        {"[Log]\nLogging=-3\n", nullptr, 0, 0},
        {"[Log]\nLogging=0\n", "Ostrix.log", all, 0},
        {"[Log]\nLogging=1\n", "Ostrix.log", 1, 0}, // only the closing empty line
        {"[Log]\nLogging=2\n", nullptr, 0, all},
        {"[Log]\nLogging=3\n", nullptr, 0, 1},
        {"[Log]\nLogging=0\nLogFileName=\n", nullptr, 0, 0}, // empty name: nothing at all
        {"[Log]\nLogging=2\nLogFileName=\n", nullptr, 0, 0},
        {"[Log]\nLogging=0\nLogFileName=.\\other.log\n", "other.log", all, 0},
        {"[LOG]\nlogging=0\nlogfilename=other.log\n", "other.log", all, 0},
        {"[Wmi]\nPollingInterval=1\n", nullptr, 0, 0},
    };
    for (const OutputCase& c : cases)
    {
        SCOPED_TRACE(c.ini != nullptr ? c.ini : "(no settings file)");
        std::filesystem::remove_all(m_run);
        std::filesystem::create_directories(m_run);
        std::filesystem::remove(m_app + "/Ostrix.ini");
        if (c.ini != nullptr)
        {
            Settings(c.ini);
        }
        winsim::machine::DebugOutputListener listener;
        Load();
        std::vector<winsim::machine::DebugOutputListener::Message> messages = listener.Collect();
        EXPECT_EQ(messages.size(), c.debugMessages);
        if (c.debugMessages > 0)
        {
            EXPECT_EQ(messages.back().text, "\n");
        }
        if (c.logFile == nullptr)
        {
            EXPECT_TRUE(StrayFiles().empty());
        }
        else
        {
            EXPECT_EQ(LogLines(c.logFile).size(), c.fileLines);
            EXPECT_EQ(StrayFiles().size(), 1u);
        }
    }
}

TEST_F(LibraryLoadTest, SettingsInTheCurrentDirectoryAreNotRead)
{
    testsupport::WriteAll(m_run + "/Ostrix.ini", "[Log]\nLogging=0\n");
    Load();
    EXPECT_FALSE(testsupport::Exists(m_run + "/Ostrix.log"));
}

TEST_F(LibraryLoadTest, AbsoluteLogFileName)
{
    std::string target = m_dir / "elsewhere.log";
    Settings("[Log]\nLogging=1\nLogFileName=" + winsim::ToWindowsPath(target) + "\n");
    Load();
    EXPECT_EQ(testsupport::ReadAll(target), "\r\n");
}

TEST_F(LibraryLoadTest, WithoutEitherLogMutexTheLibraryWritesNothing)
{
    Settings("[Log]\nLogging=0\n");
    testsupport::RunResult r = Host({"load-blocked", m_dll});
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_NE(r.output.find("freed"), std::string::npos);
    EXPECT_TRUE(StrayFiles().empty());
}

struct ValueCase
{
    const char* ini;
    int mode;
    unsigned interval;
};

TEST_F(LibraryLoadTest, LibraryObjectReadsModeAndPollingInterval)
{
    const ValueCase cases[] = {
        {nullptr, -1, 100},
        {"[Log]\nLogging=3\n[Wmi]\nPollingInterval=250\n", 3, 250},
        {"[Log]\nLogging=4\n", -1, 100},
        {"[Log]\nLogging=-2\n[wmi]\npollinginterval=0\n", -1, 0},
        {"[Log]\nLogging=1\n", 1, 100},
    };
    for (const ValueCase& c : cases)
    {
        SCOPED_TRACE(c.ini != nullptr ? c.ini : "(no settings file)");
        std::filesystem::remove(m_app + "/Ostrix.ini");
        if (c.ini != nullptr)
        {
            Settings(c.ini);
        }
        testsupport::RunResult r = Host({"settings"});
        ASSERT_EQ(r.exitCode, 0);
        int mode = 0;
        unsigned interval = 0;
        unsigned message = 0;
        unsigned thread = 0;
        ASSERT_EQ(sscanf(r.output.c_str(), "mode %d interval %u message %u thread %u", &mode, &interval,
                         &message, &thread),
                  4);
        EXPECT_EQ(mode, c.mode);
        EXPECT_EQ(interval, c.interval);
        EXPECT_NE(thread, 0u);
    }
}

TEST_F(LibraryLoadTest, RegisteredMessageIsTheMachineWideNumberOfItsName)
{
    testsupport::RunResult r = Host({"settings"});
    unsigned message = 0;
    ASSERT_EQ(sscanf(r.output.c_str(), "mode %*d interval %*u message %u", &message), 1) << r.output;
    EXPECT_GE(message, 0xC000u);
    EXPECT_LE(message, 0xFFFFu);
    EXPECT_EQ(RegisterWindowMessageA("OSTRIX.DLL:EVENT:Qv7pLm2XrT9sWd4KbN8e"), message);
    EXPECT_NE(RegisterWindowMessageA("OSTRIX.DLL:EVENT:other"), message);
}

TEST_F(LibraryLoadTest, UnloadReportsAndDeletesObjectsLeftInThePortTables)
{
    Settings("[Log]\nLogging=0\n");
    testsupport::RunResult r = Host({"tables", "7"});
    ASSERT_EQ(r.exitCode, 0);
    char comm[32] = {};
    char wmi[32] = {};
    ASSERT_EQ(sscanf(r.output.c_str(), "%31s %31s", comm, wmi), 2);
    std::vector<std::string> lines = LogLines();
    // Each report comes before its object's destructor lines, the closing blank line last.
    auto find = [&](const std::string& text, size_t from) {
        for (size_t i = from; i < lines.size(); ++i)
        {
            if (lines[i].find(text) != std::string::npos)
            {
                return i;
            }
        }
        return lines.size();
    };
    size_t comm7 =
        find(std::string("Info    : m_pPortStatus[7] not NULL!! m_pPortStatus = ") + comm + "\r", 0);
    ASSERT_LT(comm7, lines.size());
    size_t commGone = find("Info    : Do UnregisterDeviceNotification!! m_Handle = ", comm7);
    EXPECT_LT(commGone, lines.size());
    size_t wmi7 =
        find(std::string("Info    : m_pPortStatusWmi[7] not NULL!! m_pPortStatusWmi = ") + wmi + "\r", comm7);
    ASSERT_LT(wmi7, lines.size());
    EXPECT_LT(find("Info    : DestroyWindow bRet = 1", wmi7), lines.size());
    EXPECT_EQ(find("not NULL!!", wmi7 + 1), lines.size()) << "only the two objects of port 7";
    EXPECT_EQ(lines.back(), "\r");
}

} // namespace
