// CreateProcessA on the machine: programs found where Windows looks for them and run as real child
// processes, their exit codes, their current folder and environment, waits on their handles with
// time-outs on the machine's clock, and the calls that fail.
#include "TestSupport.h"
#include "Win32Machine.h"

#include <winsim/user.h>

#include <stdlib.h>
#include <sys/stat.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <thread>

namespace win32test
{
namespace
{

using namespace std::chrono_literals;
using winsimtest::PrintTo;

class ProcessTest : public Win32MachineTest
{
  protected:
    void SetUp() override
    {
        Win32MachineTest::SetUp();
        std::filesystem::path system32 = machine->HostPath(u"C:\\Windows\\System32");
        std::filesystem::copy_file(PROCESS_TEST_CHILD, system32 / "proctest.exe",
                                   std::filesystem::copy_options::overwrite_existing);
        std::filesystem::copy_file(PROCESS_TEST_CHILD, here / "here.exe");
        char previous[MAX_PATH];
        ASSERT_NE(GetCurrentDirectoryA(MAX_PATH, previous), 0u);
        saved = previous;
        ASSERT_TRUE(SetCurrentDirectoryA(Windows(here.Path()).c_str()));
    }
    void TearDown() override
    {
        SetCurrentDirectoryA(saved.c_str());
        Win32MachineTest::TearDown();
    }

    static std::string Windows(const std::string& hostPath) { return winsim::ToWindowsPath(hostPath); }

    // Starts a command line as a program would: a writable copy, no window, a hidden show state.
    BOOL Start(const std::string& commandLine, PROCESS_INFORMATION& pi, LPCSTR folder = nullptr,
               LPCSTR application = nullptr, DWORD flags = CREATE_NO_WINDOW | NORMAL_PRIORITY_CLASS)
    {
        std::string line = commandLine;
        STARTUPINFOA si{};
        si.cb = sizeof(si);
        si.dwFlags = STARTF_USESHOWWINDOW;
        si.wShowWindow = SW_HIDE;
        pi = PROCESS_INFORMATION{};
        return CreateProcessA(application, line.empty() ? nullptr : line.data(), nullptr, nullptr, FALSE,
                              flags, nullptr, folder, &si, &pi);
    }

    // Waits for the child's end and returns its exit code; both handles are closed.
    static DWORD Finish(PROCESS_INFORMATION& pi)
    {
        EXPECT_EQ(WaitForSingleObject(pi.hProcess, INFINITE), WAIT_OBJECT_0);
        EXPECT_EQ(WaitForSingleObject(pi.hThread, 0), WAIT_OBJECT_0);
        DWORD code = STILL_ACTIVE;
        EXPECT_TRUE(GetExitCodeProcess(pi.hProcess, &code));
        DWORD threadCode = STILL_ACTIVE;
        EXPECT_TRUE(GetExitCodeThread(pi.hThread, &threadCode));
        EXPECT_EQ(threadCode, code);
        EXPECT_TRUE(CloseHandle(pi.hThread));
        EXPECT_TRUE(CloseHandle(pi.hProcess));
        return code;
    }

    testsupport::TempDir here;
    std::string saved;
};

// --- which program runs, and its exit code ---

struct CommandCase
{
    const char* name;
    const char* commandLine;
    DWORD exitCode;
};

class ProcessCommandTest : public ProcessTest, public ::testing::WithParamInterface<CommandCase>
{
};

TEST_P(ProcessCommandTest, RunsTheProgramTheFirstTokenNamesToItsExitCode)
{
    PROCESS_INFORMATION pi;
    ASSERT_TRUE(Start(GetParam().commandLine, pi)) << GetLastError();
    EXPECT_NE(pi.hProcess, nullptr);
    EXPECT_NE(pi.hThread, nullptr);
    EXPECT_NE(pi.dwProcessId, GetCurrentProcessId());
    EXPECT_NE(pi.dwThreadId, pi.dwProcessId);
    EXPECT_EQ(GetProcessId(pi.hProcess), pi.dwProcessId);
    EXPECT_EQ(GetThreadId(pi.hThread), pi.dwThreadId);
    EXPECT_EQ(Finish(pi), GetParam().exitCode);
}

INSTANTIATE_TEST_SUITE_P(
    Commands, ProcessCommandTest,
    ::testing::Values(CommandCase{"InSystemFolder", "proctest.exe exit 7", 7},
                      CommandCase{"ExeAddedToABareName", "proctest exit 8", 8},
                      CommandCase{"QuotedName", "\"proctest.exe\" exit 9", 9},
                      CommandCase{"InCurrentFolder", "here.exe exit 10", 10},
                      CommandCase{"QuotedInCurrentFolderExeAdded", "\"here\" exit 11", 11},
                      CommandCase{"FullPath", "C:\\Windows\\System32\\proctest.exe exit 12", 12},
                      CommandCase{"BlanksBeforeTheName", "  proctest exit 13", 13},
                      CommandCase{"ZeroExit", "proctest exit 0", 0},
                      // A Linux process leaves only the low 8 bits of what it returns.
                      CommandCase{"WideExitCodeKeepsItsLowByte", "proctest exit 0x1234", 0x34}),
    [](const ::testing::TestParamInfo<CommandCase>& info) { return std::string(info.param.name); });

TEST_F(ProcessTest, ApplicationNameIsRunWithTheCommandLineAsItsArguments)
{
    PROCESS_INFORMATION pi;
    ASSERT_TRUE(Start("anything exit 21", pi, nullptr, "here.exe")) << GetLastError();
    EXPECT_EQ(Finish(pi), 21u);
    ASSERT_TRUE(Start("", pi, nullptr, "C:\\Windows\\System32\\proctest.exe")) << GetLastError();
    EXPECT_EQ(Finish(pi), 0u) << "no arguments: the program's own default";
}

// --- what the child inherits ---

// A console child shares the caller's console; one started without a console window writes into
// a console of its own that nobody sees.
TEST_F(ProcessTest, OnlyAChildWithAConsoleWritesIntoTheCallersOutput)
{
    std::string captured = here / "stdout.txt";
    fflush(stdout);
    int saved = dup(1);
    int file = open(captured.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    ASSERT_GE(file, 0);
    dup2(file, 1);
    close(file);
    PROCESS_INFORMATION pi;
    BOOL hidden = Start("proctest say hidden", pi);
    DWORD hiddenCode = hidden ? Finish(pi) : 99;
    BOOL shown = Start("proctest say shown", pi, nullptr, nullptr, NORMAL_PRIORITY_CLASS);
    DWORD shownCode = shown ? Finish(pi) : 99;
    fflush(stdout);
    dup2(saved, 1);
    close(saved);
    EXPECT_EQ(hiddenCode, 0u);
    EXPECT_EQ(shownCode, 0u);
    EXPECT_EQ(testsupport::ReadAll(captured), "shown\n");
}

TEST_F(ProcessTest, ChildRunsInTheCallersCurrentFolderOrInTheOneGiven)
{
    std::string out = Windows(here / "cwd.txt");
    PROCESS_INFORMATION pi;
    ASSERT_TRUE(Start("proctest cwd " + out, pi));
    EXPECT_EQ(Finish(pi), 0u);
    EXPECT_EQ(testsupport::ReadAll(here / "cwd.txt"), Windows(here.Path()));

    ASSERT_TRUE(Start("proctest cwd " + out, pi, "C:\\Windows"));
    EXPECT_EQ(Finish(pi), 0u);
    EXPECT_EQ(testsupport::ReadAll(here / "cwd.txt"), "C:\\Windows");
}

TEST_F(ProcessTest, ChildInheritsTheEnvironmentAndFindsTheCallersMachine)
{
    setenv("PROCTEST_MARK", "inherited", 1);
    std::string out = Windows(here / "env.txt");
    PROCESS_INFORMATION pi;
    ASSERT_TRUE(Start("proctest env PROCTEST_MARK " + out, pi));
    EXPECT_EQ(Finish(pi), 0u);
    EXPECT_EQ(testsupport::ReadAll(here / "env.txt"), "inherited");
    unsetenv("PROCTEST_MARK");

    ASSERT_TRUE(Start("proctest env WINSIM_ROOT " + out, pi));
    EXPECT_EQ(Finish(pi), 0u);
    EXPECT_EQ(std::filesystem::path(testsupport::ReadAll(here / "env.txt")), machine->Root());
}

// --- a running child: its state and waits with time-outs ---

class RunningChildTest : public ProcessTest
{
  protected:
    void SetUp() override
    {
        ProcessTest::SetUp();
        ASSERT_EQ(mkfifo((here / "go").c_str(), 0600), 0);
        ASSERT_TRUE(Start("proctest wait " + Windows(here / "go") + " 5", pi)) << GetLastError();
    }
    // Lets the child end: it returns 5 once it has read a line from its pipe.
    void Release()
    {
        HANDLE go =
            CreateFileA(Windows(here / "go").c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
        ASSERT_NE(go, INVALID_HANDLE_VALUE);
        DWORD written = 0;
        EXPECT_TRUE(WriteFile(go, "go\n", 3, &written, nullptr));
        CloseHandle(go);
    }
    PROCESS_INFORMATION pi{};
};

TEST_F(RunningChildTest, IsStillActiveUntilItEndsThenHasItsExitCode)
{
    DWORD code = 0;
    EXPECT_TRUE(GetExitCodeProcess(pi.hProcess, &code));
    EXPECT_EQ(code, STILL_ACTIVE);
    EXPECT_TRUE(GetExitCodeThread(pi.hThread, &code));
    EXPECT_EQ(code, STILL_ACTIVE);
    EXPECT_EQ(WaitForSingleObject(pi.hProcess, 0), static_cast<DWORD>(WAIT_TIMEOUT));
    EXPECT_EQ(WaitForSingleObject(pi.hThread, 0), static_cast<DWORD>(WAIT_TIMEOUT));
    Release();
    EXPECT_EQ(Finish(pi), 5u);
}

TEST_F(RunningChildTest, TimedWaitEndsWhenTheMachinesClockGetsThere)
{
    std::atomic<DWORD> result{WAIT_FAILED};
    std::atomic<bool> done{false};
    std::thread waiter([&] {
        result = WaitForSingleObject(pi.hProcess, 1000);
        done = true;
    });
    while (machine->NextDeadline() != 1000ms)
    {
        std::this_thread::yield();
    }
    machine->AdvanceClock(999ms);
    machine->SettleWaiters();
    EXPECT_FALSE(done) << "999 ms are not enough";
    machine->AdvanceClock(1ms);
    waiter.join();
    EXPECT_EQ(result, static_cast<DWORD>(WAIT_TIMEOUT));
    Release();
    // The clock stands still: the child's end, not a time-out, ends this wait.
    EXPECT_EQ(WaitForSingleObject(pi.hProcess, 60000), WAIT_OBJECT_0);
    EXPECT_EQ(Finish(pi), 5u);
}

TEST_F(RunningChildTest, WaitForAnyOfProcessAndEventTellsWhichEnded)
{
    HANDLE event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    HANDLE both[] = {event, pi.hProcess};
    EXPECT_EQ(WaitForMultipleObjects(2, both, FALSE, 0), static_cast<DWORD>(WAIT_TIMEOUT));
    Release();
    EXPECT_EQ(WaitForMultipleObjects(2, both, FALSE, INFINITE), WAIT_OBJECT_0 + 1);
    CloseHandle(event);
    EXPECT_EQ(Finish(pi), 5u);
}

// --- calls that fail ---

struct FailureCase
{
    const char* name;
    const char* application; // null: none
    const char* commandLine; // null: none
    bool startupInfo;
    bool processInformation;
    DWORD error;
};

class ProcessFailureTest : public ProcessTest, public ::testing::WithParamInterface<FailureCase>
{
};

TEST_P(ProcessFailureTest, FailsWithTheErrorWindowsGives)
{
    const FailureCase& c = GetParam();
    std::string line = c.commandLine != nullptr ? c.commandLine : "";
    STARTUPINFOA si{};
    si.cb = sizeof(si);
    PROCESS_INFORMATION pi{};
    SetLastError(ERROR_SUCCESS);
    EXPECT_FALSE(CreateProcessA(c.application, c.commandLine != nullptr ? line.data() : nullptr, nullptr,
                                nullptr, FALSE, 0, nullptr, nullptr, c.startupInfo ? &si : nullptr,
                                c.processInformation ? &pi : nullptr));
    EXPECT_EQ(GetLastError(), c.error);
    EXPECT_EQ(pi.hProcess, nullptr);
}

INSTANTIATE_TEST_SUITE_P(
    Failures, ProcessFailureTest,
    ::testing::Values(
        FailureCase{"MissingProgram", nullptr, "nosuchprogram exit 1", true, true, ERROR_FILE_NOT_FOUND},
        FailureCase{"MissingApplication", "nosuchprogram.exe", "x", true, true, ERROR_FILE_NOT_FOUND},
        // With a folder in the name no ".exe" is added.
        FailureCase{"PathWithoutExtension", nullptr, "C:\\Windows\\System32\\proctest exit 1", true, true,
                    ERROR_FILE_NOT_FOUND},
        // An application name is taken as given: not searched for.
        FailureCase{"ApplicationNotSearched", "proctest.exe", "proctest", true, true, ERROR_FILE_NOT_FOUND},
        FailureCase{"NoNameAtAll", nullptr, nullptr, true, true, ERROR_INVALID_PARAMETER},
        FailureCase{"NoStartupInfo", nullptr, "proctest", false, true, ERROR_INVALID_PARAMETER},
        FailureCase{"NoProcessInformation", nullptr, "proctest", true, false, ERROR_INVALID_PARAMETER}),
    [](const ::testing::TestParamInfo<FailureCase>& info) { return std::string(info.param.name); });

TEST_F(ProcessTest, CurrentFolderThatDoesNotExistFailsWithErrorDirectory)
{
    PROCESS_INFORMATION pi;
    EXPECT_FALSE(Start("proctest exit 1", pi, "C:\\no such folder"));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_DIRECTORY));
}

// --- the machine's own programs ---

TEST_F(ProcessTest, MachinePlacesItsConsoleToolBesideMakecabAtBoot)
{
    std::filesystem::path system32 = machine->HostPath(u"C:\\Windows\\System32");
    for (const char* program : {"makecab.exe", "Heskor_x64.exe"})
    {
        std::error_code ec;
        EXPECT_TRUE(std::filesystem::is_regular_file(system32 / program, ec)) << program;
        EXPECT_EQ(access((system32 / program).c_str(), X_OK), 0) << program;
    }
}

} // namespace
} // namespace win32test
