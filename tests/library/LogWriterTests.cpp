// CLogWriter: line format, levels and tags, modes, file and debugger output, the log mutex.
#include <windows.h>
#include <winsim/user.h>

#include "machine/DebugOutputListener.h"

#include <gtest/gtest.h>

#include <sys/syscall.h>
#include <time.h>

#include <fstream>
#include <map>

#include "LogTestSupport.h"
#include "LogWriter.h"
#include "TestSupport.h"

namespace
{

std::string Format(const SYSTEMTIME& st, DWORD pid, DWORD tid, LONG site, LONG level, const char* tag,
                   const char* text)
{
    char line[LOG_MAX_LINE];
    size_t n = CLogWriter::FormatLine(line, sizeof(line), ':', st, pid, tid, site, level, tag, text);
    EXPECT_EQ(n, strlen(line));
    return line;
}

SYSTEMTIME Time(WORD ms)
{
    SYSTEMTIME st = {};
    st.wYear = 2022;
    st.wMonth = 4;
    st.wDay = 8;
    st.wHour = 5;
    st.wMinute = 45;
    st.wSecond = 48;
    st.wMilliseconds = ms;
    return st;
}

// The host's wall clock in milliseconds, truncated as a log line truncates it.
long long HostMilliseconds()
{
    struct timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    return static_cast<long long>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

// The moment a log line names, in the host's milliseconds.
long long LineMilliseconds(const LogLine& line)
{
    struct tm tm = {};
    tm.tm_year = line.year - 1900;
    tm.tm_mon = line.month - 1;
    tm.tm_mday = line.day;
    tm.tm_hour = line.hour;
    tm.tm_min = line.minute;
    tm.tm_sec = line.second;
    tm.tm_isdst = -1;
    return static_cast<long long>(mktime(&tm)) * 1000 + std::stoi(line.millis);
}

TEST(LogLineTest, MatchesTheDocumentedExample)
{
    EXPECT_EQ(Format(Time(7), 1234, 5678, 606, 0, LOG_TAG_ENTER, "rwGetUSBPortNames"),
              "2022:04:08:05:45:48:  7: 1234: 5678:  606:Inf:Enter   : rwGetUSBPortNames");
}

TEST(LogLineTest, NumericFieldsAreBlankPaddedNotZeroPadded)
{
    struct Case
    {
        WORD ms;
        DWORD pid;
        DWORD tid;
        LONG site;
        const char* expectedPrefix;
    } cases[] = {
        {0, 1, 2, 3, "2022:04:08:05:45:48:  0:    1:    2:    3:"},
        {7, 12, 34, 56, "2022:04:08:05:45:48:  7:   12:   34:   56:"},
        {42, 123, 456, 789, "2022:04:08:05:45:48: 42:  123:  456:  789:"},
        {999, 12345, 67890, 99999, "2022:04:08:05:45:48:999:12345:67890:99999:"},
        {100, 1234567, 7654321, 123456, "2022:04:08:05:45:48:100:1234567:7654321:123456:"}, // wider: not cut
        {5, 0xFFFFFFFF, 0x80000000, -42, "2022:04:08:05:45:48:  5:   -1:-2147483648:  -42:"}, // signed
    };
    for (const Case& c : cases)
    {
        std::string line = Format(Time(c.ms), c.pid, c.tid, c.site, 0, LOG_TAG_INFO, "x");
        EXPECT_EQ(line.substr(0, strlen(c.expectedPrefix)), c.expectedPrefix);
    }
    SYSTEMTIME st = Time(5);
    st.wYear = 2031;
    st.wMonth = 12;
    st.wDay = 31;
    st.wHour = 23;
    st.wMinute = 9;
    st.wSecond = 0;
    EXPECT_EQ(Format(st, 1, 1, 1, 1, LOG_TAG_ERRINFO, "t").substr(0, 20), "2031:12:31:23:09:00:");
}

TEST(LogLineTest, LevelMarksAndTags)
{
    struct Case
    {
        LONG level;
        const char* tag;
        const char* expectedEnd;
    } cases[] = {
        {0, LOG_TAG_ENTER, ":Inf:Enter   : text"},
        {0, LOG_TAG_EXIT, ":Inf:Exit    : text"},
        {0, LOG_TAG_INFO, ":Inf:Info    : text"},
        {1, LOG_TAG_ERRINFO, ":Err:ErrInfo : text"},
        {0, LOG_TAG_ERREXIT, ":Inf:ErrExit : text"},
        {0, LOG_TAG_CSLOCK, ":Inf:CSLock  : text"},
        {0, LOG_TAG_CSUNLOCK, ":Inf:CSUnlock: text"},
        {2, LOG_TAG_INFO, "::Info    : text"}, // levels above 1 carry no mark
        {3, LOG_TAG_INFO, "::Info    : text"},
    };
    for (const Case& c : cases)
    {
        EXPECT_EQ(strlen(c.tag), 8u);
        std::string line = Format(Time(1), 10, 20, 30, c.level, c.tag, "text");
        std::string end = c.expectedEnd;
        ASSERT_GE(line.size(), end.size());
        EXPECT_EQ(line.substr(line.size() - end.size()), end) << c.tag;
        EXPECT_EQ(line.find("   30"), 36u);
    }
}

TEST(LogLineTest, LinesAreCutToTheBuffer)
{
    const std::string full = "2022:04:08:05:45:48:  7: 1234: 5678:  606:Inf:Enter   : rwGetUSBPortNames";
    // Buffer sizes that cut the line inside each kind of field: number, separator, padding, level
    // mark, tag, the ": " after it and the message; and sizes that just fit it or leave room.
    const size_t sizes[] = {
        1, 2, 8, 21, 22, 24, 26, 31, 44, 46, 50, 56, 57, 60, full.size(), full.size() + 1, full.size() + 20};
    for (size_t cchLine : sizes)
    {
        std::string expected = full.substr(0, std::min(cchLine - 1, full.size()));
        std::string buffer(cchLine + 8, '#');
        size_t n = CLogWriter::FormatLine(buffer.data(), cchLine, ':', Time(7), 1234, 5678, 606, 0,
                                          LOG_TAG_ENTER, "rwGetUSBPortNames");
        EXPECT_EQ(n, expected.size()) << cchLine;
        EXPECT_EQ(std::string(buffer.c_str()), expected) << cchLine;
        // Nothing is written past the buffer.
        EXPECT_EQ(buffer.substr(cchLine), std::string(8, '#')) << cchLine;
    }
    // A message longer than the longest line: the line is cut to LOG_MAX_LINE - 1 characters.
    std::string text(3 * LOG_MAX_LINE, 'x');
    std::string line = Format(Time(7), 1234, 5678, 606, 0, LOG_TAG_INFO, text.c_str());
    EXPECT_EQ(line.size(), static_cast<size_t>(LOG_MAX_LINE - 1));
    EXPECT_EQ(line.substr(0, 56), "2022:04:08:05:45:48:  7: 1234: 5678:  606:Inf:Info    : ");
    EXPECT_EQ(line.find_first_not_of('x', 56), std::string::npos);
}

class LogWriterTest : public ::testing::Test
{
  protected:
    void SetUp() override { m_path = m_dir / "test.log"; }
    std::string Content() { return testsupport::ReadAll(m_path); }
    std::string WindowsPath() { return winsim::ToWindowsPath(m_path); }
    testsupport::TempDir m_dir;
    std::string m_path;
};

TEST_F(LogWriterTest, FileLinesCarryTimeProcessThreadAndCallSiteAndEndInCrLf)
{
    CLogWriter writer(WindowsPath().c_str(), LOG_MODE_FILE_INFO);
    long long before = HostMilliseconds();
    EXPECT_EQ(writer.Write(LOG_LEVEL_INFO, "rwGetUSBPortNames", LOG_TAG_ENTER, 606), 1);
    EXPECT_EQ(writer.Write(LOG_LEVEL_ERROR, "failed iRet = 3", LOG_TAG_ERRINFO, 7), 1);
    long long after = HostMilliseconds();
    std::string content = Content();
    std::vector<std::string> lines = testsupport::SplitLines(content);
    ASSERT_EQ(lines.size(), 2u);
    for (const std::string& line : lines)
    {
        ASSERT_FALSE(line.empty());
        EXPECT_EQ(line.back(), '\r');
    }
    EXPECT_EQ(content.size(), lines[0].size() + lines[1].size() + 2);

    LogLine first;
    ASSERT_TRUE(ParseLogLine(lines[0].substr(0, lines[0].size() - 1), first)) << lines[0];
    EXPECT_EQ(first.pid, Width5(GetCurrentProcessId()));
    EXPECT_EQ(first.tid, Width5(GetCurrentThreadId()));
    EXPECT_EQ(first.site, "  606");
    EXPECT_EQ(first.mark, "Inf");
    EXPECT_EQ(first.message, "Enter   : rwGetUSBPortNames");
    EXPECT_GE(LineMilliseconds(first), before);
    EXPECT_LE(LineMilliseconds(first), after);

    LogLine second;
    ASSERT_TRUE(ParseLogLine(lines[1].substr(0, lines[1].size() - 1), second));
    EXPECT_EQ(second.site, "    7");
    EXPECT_EQ(second.mark, "Err");
    EXPECT_EQ(second.message, "ErrInfo : failed iRet = 3");
}

struct ModeCase
{
    int mode;
    bool toFile[5];     // levels 0..4 reach the file
    bool toDebugger[5]; // levels 0..4 reach the debugger output
};

TEST_F(LogWriterTest, ModesFilterLevelsAndChooseTheOutput)
{
    const ModeCase cases[] = {
        {-1, {0, 0, 0, 0, 0}, {0, 0, 0, 0, 0}}, {0, {1, 1, 1, 1, 0}, {0, 0, 0, 0, 0}},
        {1, {0, 1, 1, 1, 0}, {0, 0, 0, 0, 0}},  {2, {0, 0, 0, 0, 0}, {1, 1, 1, 1, 0}},
        {3, {0, 0, 0, 0, 0}, {0, 1, 1, 1, 0}},  {4, {0, 0, 0, 0, 0}, {0, 0, 0, 0, 0}},
        {5, {0, 0, 0, 0, 0}, {0, 0, 0, 0, 0}},  {-3, {0, 0, 0, 0, 0}, {0, 0, 0, 0, 0}},
        {-2, {0, 0, 0, 0, 0}, {0, 0, 0, 0, 0}},
    };
    winsim::machine::DebugOutputListener listener;
    ASSERT_TRUE(listener.Listening());
    size_t seen = 0;
    for (const ModeCase& c : cases)
    {
        std::string path = m_dir / ("mode" + std::to_string(c.mode + 10) + ".log");
        // Expected message and level mark of every line.
        std::vector<std::pair<std::string, std::string>> expectedFile;
        std::vector<std::pair<std::string, std::string>> expectedDebug;
        {
            CLogWriter writer(winsim::ToWindowsPath(path).c_str(), c.mode);
            for (LONG level = 0; level < 5; ++level)
            {
                std::string text = "level " + std::to_string(level);
                int result = writer.Write(level, text.c_str(), LOG_TAG_INFO, 100 + level);
                bool expected = c.toFile[level] || c.toDebugger[level];
                EXPECT_EQ(result, expected ? 1 : 0) << "mode " << c.mode << " level " << level;
                std::string mark = level == 0 ? "Inf" : (level == 1 ? "Err" : "");
                if (c.toFile[level])
                {
                    expectedFile.emplace_back("Info    : " + text, mark);
                }
                if (c.toDebugger[level])
                {
                    expectedDebug.emplace_back("Info    : " + text, mark);
                }
            }
        }
        // The writer's end adds a blank line at the mode's level.
        std::vector<std::string> fileLines = testsupport::SplitLines(testsupport::ReadAll(path));
        ASSERT_EQ(fileLines.size(), expectedFile.empty() ? 0u : expectedFile.size() + 1) << "mode " << c.mode;
        for (size_t i = 0; i < expectedFile.size(); ++i)
        {
            LogLine line;
            ASSERT_TRUE(ParseLogLine(fileLines[i].substr(0, fileLines[i].size() - 1), line));
            EXPECT_EQ(line.message, expectedFile[i].first);
            EXPECT_EQ(line.mark, expectedFile[i].second);
        }
        if (!expectedFile.empty())
        {
            EXPECT_EQ(fileLines.back(), "\r");
        }
        else
        {
            EXPECT_FALSE(testsupport::Exists(path)) << "mode " << c.mode;
        }
        std::vector<winsim::machine::DebugOutputListener::Message> messages = listener.Collect();
        std::vector<std::string> debugLines;
        for (size_t i = seen; i < messages.size(); ++i)
        {
            debugLines.push_back(messages[i].text);
        }
        seen = messages.size();
        ASSERT_EQ(debugLines.size(), expectedDebug.empty() ? 0u : expectedDebug.size() + 1)
            << "mode " << c.mode;
        for (size_t i = 0; i < expectedDebug.size(); ++i)
        {
            ASSERT_EQ(debugLines[i].back(), '\n');
            LogLine line;
            ASSERT_TRUE(ParseLogLine(debugLines[i].substr(0, debugLines[i].size() - 1), line))
                << debugLines[i];
            EXPECT_EQ(line.message, expectedDebug[i].first);
            EXPECT_EQ(line.mark, expectedDebug[i].second);
        }
        if (!expectedDebug.empty())
        {
            EXPECT_EQ(debugLines.back(), "\n");
        }
    }
}

TEST_F(LogWriterTest, EmptyFileNameSilencesEveryMode)
{
    winsim::machine::DebugOutputListener listener;
    for (int mode = 0; mode <= 3; ++mode)
    {
        CLogWriter writer("", mode);
        EXPECT_EQ(writer.Write(LOG_LEVEL_ERROR, "x", LOG_TAG_ERRINFO, 1), 0) << mode;
        EXPECT_EQ(writer.WriteBlankLine(LOG_LEVEL_ERROR), 0) << mode;
    }
    EXPECT_TRUE(listener.Collect().empty());
}

TEST_F(LogWriterTest, AFileThatCannotBeOpenedDropsTheLineAndTheNextWriteTriesAgain)
{
    std::string path = m_dir / "later/test.log";
    CLogWriter writer(winsim::ToWindowsPath(path).c_str(), LOG_MODE_FILE_INFO);
    EXPECT_EQ(writer.Write(LOG_LEVEL_INFO, "dropped", LOG_TAG_INFO, 1), 0);
    m_dir.Sub("later");
    EXPECT_EQ(writer.Write(LOG_LEVEL_INFO, "kept", LOG_TAG_INFO, 2), 1);
    std::vector<std::string> lines = testsupport::SplitLines(testsupport::ReadAll(path));
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_NE(lines[0].find("Info    : kept"), std::string::npos);
}

TEST_F(LogWriterTest, RelativeFileNameFollowsTheCurrentDirectoryAtEachWrite)
{
    char saved[MAX_PATH];
    GetCurrentDirectoryA(MAX_PATH, saved);
    std::string a = m_dir.Sub("a");
    std::string b = m_dir.Sub("b");
    {
        CLogWriter writer(".\\relative.log", LOG_MODE_FILE_INFO);
        ASSERT_TRUE(SetCurrentDirectoryA(winsim::ToWindowsPath(a).c_str()));
        writer.Write(LOG_LEVEL_INFO, "in a", LOG_TAG_INFO, 1);
        ASSERT_TRUE(SetCurrentDirectoryA(winsim::ToWindowsPath(b).c_str()));
        writer.Write(LOG_LEVEL_INFO, "in b", LOG_TAG_INFO, 2);
        // The writer's closing empty line goes where the current directory is when it ends.
    }
    SetCurrentDirectoryA(saved);
    std::vector<std::string> inA = testsupport::SplitLines(testsupport::ReadAll(a + "/relative.log"));
    std::vector<std::string> inB = testsupport::SplitLines(testsupport::ReadAll(b + "/relative.log"));
    ASSERT_EQ(inA.size(), 1u);
    EXPECT_NE(inA[0].find("Info    : in a\r"), std::string::npos) << inA[0];
    ASSERT_EQ(inB.size(), 2u);
    EXPECT_NE(inB[0].find("Info    : in b\r"), std::string::npos) << inB[0];
    EXPECT_EQ(inB[1], "\r");
}

TEST_F(LogWriterTest, BlankLinesFollowTheSameRules)
{
    {
        CLogWriter writer(WindowsPath().c_str(), LOG_MODE_FILE_ERROR);
        EXPECT_EQ(writer.WriteBlankLine(LOG_LEVEL_INFO), 0);
        EXPECT_EQ(writer.WriteBlankLine(LOG_LEVEL_ERROR), 1);
        EXPECT_EQ(Content(), "\r\n");
    }
    // The writer's end added one more, at the mode's level.
    EXPECT_EQ(Content(), "\r\n\r\n");
    winsim::machine::DebugOutputListener listener;
    {
        CLogWriter writer(WindowsPath().c_str(), LOG_MODE_DEBUG_ERROR);
        EXPECT_EQ(writer.WriteBlankLine(LOG_LEVEL_ERROR), 1);
    }
    std::vector<winsim::machine::DebugOutputListener::Message> messages = listener.Collect();
    ASSERT_EQ(messages.size(), 2u);
    EXPECT_EQ(messages[0].text, "\n");
    EXPECT_EQ(messages[1].text, "\n");
    EXPECT_EQ(Content(), "\r\n\r\n");
}

TEST_F(LogWriterTest, EveryLineCarriesTheTimeOfItsOwnWrite)
{
    // Two lines in one second, then one in the next: a time looked up once, or once a second
    // without asking the clock, shows in the last line.
    CLogWriter writer(WindowsPath().c_str(), LOG_MODE_FILE_INFO);
    std::vector<std::pair<long long, long long>> spans; // host time before and after each write
    for (int i = 0; i < 3; ++i)
    {
        if (i == 2)
        {
            long long now = HostMilliseconds();
            long long wait = (now / 1000 + 1) * 1000 - now + 1;
            struct timespec pause = {static_cast<time_t>(wait / 1000),
                                     static_cast<long>(wait % 1000) * 1000000};
            nanosleep(&pause, nullptr);
        }
        long long before = HostMilliseconds();
        ASSERT_EQ(writer.Write(LOG_LEVEL_INFO, "tick", LOG_TAG_INFO, i), 1);
        spans.emplace_back(before, HostMilliseconds());
    }
    ASSERT_GT(spans[2].first / 1000, spans[1].second / 1000);
    std::vector<std::string> lines = testsupport::SplitLines(Content());
    ASSERT_EQ(lines.size(), 3u);
    for (size_t i = 0; i < lines.size(); ++i)
    {
        LogLine line;
        ASSERT_TRUE(ParseLogLine(lines[i].substr(0, lines[i].size() - 1), line)) << lines[i];
        EXPECT_GE(LineMilliseconds(line), spans[i].first) << lines[i];
        EXPECT_LE(LineMilliseconds(line), spans[i].second) << lines[i];
    }
}

TEST_F(LogWriterTest, LoggingLeavesTheLastErrorAlone)
{
    CLogWriter writer(WindowsPath().c_str(), LOG_MODE_FILE_INFO);
    SetLastError(ERROR_PROC_NOT_FOUND);
    writer.Write(LOG_LEVEL_INFO, "x", LOG_TAG_INFO, 1);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PROC_NOT_FOUND));
}

TEST_F(LogWriterTest, FallbackMutexNameServesWhenTheFirstIsTaken)
{
    HANDLE squatter = CreateEventA(NULL, TRUE, FALSE, LOG_MUTEX_NAME);
    ASSERT_NE(squatter, nullptr);
    {
        CLogWriter writer(WindowsPath().c_str(), LOG_MODE_FILE_INFO);
        EXPECT_TRUE(writer.HasMutex());
        HANDLE fallback = CreateMutexA(NULL, FALSE, LOG_MUTEX_FALLBACK_NAME);
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ALREADY_EXISTS));
        CloseHandle(fallback);
        EXPECT_EQ(writer.Write(LOG_LEVEL_INFO, "x", LOG_TAG_INFO, 1), 1);
    }
    CloseHandle(squatter);
}

TEST_F(LogWriterTest, WithoutEitherMutexNothingIsWritten)
{
    HANDLE first = CreateEventA(NULL, TRUE, FALSE, LOG_MUTEX_NAME);
    HANDLE second = CreateEventA(NULL, TRUE, FALSE, LOG_MUTEX_FALLBACK_NAME);
    winsim::machine::DebugOutputListener listener;
    {
        CLogWriter writer(WindowsPath().c_str(), LOG_MODE_FILE_INFO);
        EXPECT_FALSE(writer.HasMutex());
        EXPECT_EQ(writer.Write(LOG_LEVEL_ERROR, "x", LOG_TAG_ERRINFO, 1), 0);
        EXPECT_EQ(writer.WriteBlankLine(LOG_LEVEL_INFO), 0);
        CLogWriter debugWriter(WindowsPath().c_str(), LOG_MODE_DEBUG_INFO);
        EXPECT_EQ(debugWriter.Write(LOG_LEVEL_ERROR, "x", LOG_TAG_ERRINFO, 1), 0);
    }
    EXPECT_FALSE(testsupport::Exists(m_path));
    EXPECT_TRUE(listener.Collect().empty());
    CloseHandle(first);
    CloseHandle(second);
}

// The state letter of a process ('R', 'S', 'D', 'Z', ...) from /proc.
char ProcessState(pid_t pid)
{
    std::string stat = testsupport::ReadAll("/proc/" + std::to_string(pid) + "/stat");
    size_t close = stat.rfind(')');
    return close != std::string::npos && close + 2 < stat.size() ? stat[close + 2] : '?';
}

// Watches a child until it sleeps in a futex wait (where a process waits for a mutex another
// process owns) or has ended. True for the wait.
bool ComesToWaitOnAMutex(pid_t pid)
{
    const std::string futexWait = std::to_string(SYS_futex) + " ";
    for (int i = 0; i < 100000; ++i)
    {
        if (testsupport::ReadAll("/proc/" + std::to_string(pid) + "/syscall").rfind(futexWait, 0) == 0)
        {
            return true;
        }
        if (ProcessState(pid) == 'Z')
        {
            return false;
        }
        sched_yield();
    }
    return false;
}

// Appends text to a file the way any program may, without the log writer.
void AppendRaw(const std::string& path, const std::string& text)
{
    std::ofstream out(path, std::ios::binary | std::ios::app);
    out << text;
}

TEST_F(LogWriterTest, WritesWaitForTheLogMutexHeldByAnotherProcess)
{
    HANDLE mutex = CreateMutexA(NULL, FALSE, LOG_MUTEX_NAME);
    ASSERT_EQ(WaitForSingleObject(mutex, INFINITE), WAIT_OBJECT_0);
    testsupport::Child child({OSTRIX_HOST, "log-one", WindowsPath()}, m_dir.Path());
    ASSERT_EQ(child.ReadLine(), "ready");
    // The child goes to sleep in its write; it must not finish while this process owns the mutex.
    EXPECT_TRUE(ComesToWaitOnAMutex(child.Pid()));
    AppendRaw(m_path, "parent\r\n");
    EXPECT_EQ(Content(), "parent\r\n");
    ReleaseMutex(mutex);
    EXPECT_EQ(child.Finish(), 0);
    // The child's line, then the empty line its writer adds when it goes away.
    std::vector<std::string> lines = testsupport::SplitLines(Content());
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[0], "parent\r");
    EXPECT_NE(lines[1].find("Info    : child"), std::string::npos);
    EXPECT_EQ(lines[2], "\r");
    CloseHandle(mutex);
}

TEST_F(LogWriterTest, ProcessesLoggingToOneFileTakeTurnsThroughTheLogMutex)
{
    // Appending a whole line at once would keep lines whole without any mutex. So this process
    // takes the log mutex and writes a line of its own in two parts, the second only once two
    // other processes logging to the file are waiting for the mutex: no line of theirs may land
    // in the middle of it, and afterwards they write every line whole and in order.
    HANDLE mutex = CreateMutexA(NULL, FALSE, LOG_MUTEX_NAME);
    ASSERT_EQ(WaitForSingleObject(mutex, INFINITE), WAIT_OBJECT_0);
    AppendRaw(m_path, "parent: written ");
    const int kLines = 300;
    std::string count = std::to_string(kLines);
    testsupport::Child first({OSTRIX_HOST, "log", WindowsPath(), "0", count}, m_dir.Path());
    testsupport::Child second({OSTRIX_HOST, "log", WindowsPath(), "0", count}, m_dir.Path());
    first.Send("go");
    second.Send("go");
    EXPECT_TRUE(ComesToWaitOnAMutex(first.Pid()));
    EXPECT_TRUE(ComesToWaitOnAMutex(second.Pid()));
    AppendRaw(m_path, "in two parts\r\n");
    ReleaseMutex(mutex);
    CloseHandle(mutex);
    EXPECT_EQ(first.Finish(), 0);
    EXPECT_EQ(second.Finish(), 0);
    std::vector<std::string> lines = testsupport::SplitLines(Content());
    // This process's line, then the two processes' lines, each writer also adding an empty line
    // when it goes away.
    ASSERT_EQ(lines.size(), 1u + 2u * kLines + 2u);
    ASSERT_EQ(lines[0], "parent: written in two parts\r");
    std::map<std::string, int> next; // per process: the next line number expected
    int emptyLines = 0;
    for (const std::string& raw : std::vector<std::string>(lines.begin() + 1, lines.end()))
    {
        ASSERT_FALSE(raw.empty());
        ASSERT_EQ(raw.back(), '\r') << raw;
        if (raw == "\r")
        {
            ++emptyLines;
            continue;
        }
        LogLine line;
        ASSERT_TRUE(ParseLogLine(raw.substr(0, raw.size() - 1), line)) << raw;
        std::string pid = line.pid.substr(line.pid.find_first_not_of(' '));
        int& expected = next[pid];
        EXPECT_EQ(line.message, "Info    : line " + std::to_string(expected) + " of " + pid);
        EXPECT_EQ(std::stoi(line.site), expected);
        ++expected;
    }
    EXPECT_EQ(emptyLines, 2);
    ASSERT_EQ(next.size(), 2u);
    for (const auto& [pid, n] : next)
    {
        EXPECT_EQ(n, kLines) << pid;
    }
}

} // namespace
