// LoadLibraryA, GetProcAddress, FreeLibrary and DLL entry points.
#include <windows.h>
#include <winsim/user.h>

#include <gtest/gtest.h>

#include <thread>

#include "TestSupport.h"

namespace
{

typedef int (*ProbeAnswerFn)();

struct EntryCall
{
    std::string reason;
    DWORD thread;
    std::string kind;
    std::string instance;
};

std::vector<EntryCall> ReadEntryCalls(const std::string& path)
{
    std::vector<EntryCall> calls;
    for (const std::string& line : testsupport::SplitLines(testsupport::ReadAll(path)))
    {
        char reason[16];
        char kind[16];
        char instance[32];
        unsigned thread = 0;
        if (sscanf(line.c_str(), "%15s %u %15s %31s", reason, &thread, kind, instance) == 4)
        {
            calls.push_back(EntryCall{reason, thread, kind, instance});
        }
    }
    return calls;
}

std::string PointerText(const void* p)
{
    char text[32];
    snprintf(text, sizeof(text), "%p", p);
    return text;
}

class ModuleTest : public ::testing::Test
{
  protected:
    void SetUp() override
    {
        setenv("WINSIM_PROBE_LOG", m_log.c_str(), 1);
        ASSERT_GT(GetCurrentDirectoryA(MAX_PATH, m_saved), 0u);
    }
    void TearDown() override
    {
        SetCurrentDirectoryA(m_saved);
        unsetenv("WINSIM_PROBE_LOG");
    }
    testsupport::TempDir m_dir;
    std::string m_log = m_dir / "entry.log";
    std::string m_probe = winsim::ToWindowsPath(std::string(PROBE_DIR) + "/WinsimProbe.dll");
    char m_saved[MAX_PATH];
};

TEST_F(ModuleTest, ExportsAreFoundByNameAndOnlyInTheModuleItself)
{
    HMODULE module = LoadLibraryA(m_probe.c_str());
    ASSERT_NE(module, nullptr);
    auto answer =
        reinterpret_cast<ProbeAnswerFn>(reinterpret_cast<void*>(GetProcAddress(module, "ProbeAnswer")));
    ASSERT_NE(answer, nullptr);
    EXPECT_EQ(answer(), 42);
    const char* missing[] = {"ProbeQuestion", "DllMain", "GetLastError", "Record"};
    for (const char* name : missing)
    {
        SetLastError(0);
        EXPECT_EQ(GetProcAddress(module, name), nullptr) << name;
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PROC_NOT_FOUND)) << name;
    }
    // Loading it again gives the same module; it stays until the last FreeLibrary.
    EXPECT_EQ(LoadLibraryA(m_probe.c_str()), module);
    EXPECT_TRUE(FreeLibrary(module));
    EXPECT_NE(GetProcAddress(module, "ProbeAnswer"), nullptr);
    EXPECT_TRUE(FreeLibrary(module));
    EXPECT_FALSE(FreeLibrary(module));
    std::vector<EntryCall> calls = ReadEntryCalls(m_log);
    ASSERT_EQ(calls.size(), 2u);
    EXPECT_EQ(calls[0].reason, "attach");
    EXPECT_EQ(calls[1].reason, "detach");
    EXPECT_EQ(calls[0].instance, PointerText(module));
}

TEST_F(ModuleTest, ModuleHandlesAreFoundByNameWithoutAReference)
{
    EXPECT_NE(GetModuleHandleA(NULL), nullptr) << "the executable";
    // The system's DLLs, by any spelling: one module on the machine, holding their exports.
    HMODULE kernel32 = GetModuleHandleA("kernel32");
    ASSERT_NE(kernel32, nullptr);
    EXPECT_EQ(GetModuleHandleA("KERNEL32.DLL"), kernel32);
    EXPECT_EQ(GetModuleHandleA("advapi32.dll"), kernel32);
    EXPECT_NE(GetProcAddress(kernel32, "IsWow64Process"), nullptr);

    SetLastError(0);
    EXPECT_EQ(GetModuleHandleA("WinsimProbe.dll"), nullptr) << "not loaded yet";
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_MOD_NOT_FOUND));
    HMODULE module = LoadLibraryA(m_probe.c_str());
    ASSERT_NE(module, nullptr);
    EXPECT_EQ(GetModuleHandleA("WinsimProbe.dll"), module);
    EXPECT_EQ(GetModuleHandleA("winsimprobe"), module) << "the extension is .dll when left out";
    EXPECT_EQ(GetModuleHandleA(m_probe.c_str()), module);
    // No reference was taken: one FreeLibrary unloads it.
    EXPECT_TRUE(FreeLibrary(module));
    EXPECT_EQ(GetModuleHandleA("WinsimProbe.dll"), nullptr);
}

TEST_F(ModuleTest, EntryPointRunsOnTheLoadingAndTheUnloadingThread)
{
    HMODULE module = nullptr;
    DWORD loader = 0;
    std::thread load([&] {
        loader = GetCurrentThreadId();
        module = LoadLibraryA(m_probe.c_str());
    });
    load.join();
    ASSERT_NE(module, nullptr);
    DWORD unloader = 0;
    std::thread unload([&] {
        unloader = GetCurrentThreadId();
        FreeLibrary(module);
    });
    unload.join();
    std::vector<EntryCall> calls = ReadEntryCalls(m_log);
    ASSERT_EQ(calls.size(), 2u);
    EXPECT_EQ(calls[0].reason, "attach");
    EXPECT_EQ(calls[0].thread, loader);
    EXPECT_EQ(calls[0].kind, "dynamic");
    EXPECT_EQ(calls[1].reason, "detach");
    EXPECT_EQ(calls[1].thread, unloader);
    EXPECT_EQ(calls[1].kind, "dynamic");
}

TEST_F(ModuleTest, FailingEntryPointFailsTheLoadAfterItsDetachCall)
{
    std::string failing = winsim::ToWindowsPath(std::string(PROBE_DIR) + "/WinsimProbeFail.dll");
    EXPECT_EQ(LoadLibraryA(failing.c_str()), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_DLL_INIT_FAILED));
    std::vector<EntryCall> calls = ReadEntryCalls(m_log);
    ASSERT_EQ(calls.size(), 2u);
    EXPECT_EQ(calls[0].reason, "attach");
    EXPECT_EQ(calls[1].reason, "detach");
}

TEST_F(ModuleTest, ModulesTheProcessIsLinkedWithStartBeforeMainAndStopAtExit)
{
    testsupport::RunResult r =
        testsupport::Run({USER_TEST_CHILD, "module"}, m_dir.Path(), {{"WINSIM_PROBE_LOG", m_log}});
    EXPECT_EQ(r.exitCode, 0);
    std::vector<EntryCall> calls = ReadEntryCalls(m_log);
    ASSERT_EQ(calls.size(), 2u);
    EXPECT_EQ(calls[0].reason, "attach");
    EXPECT_EQ(calls[0].kind, "static");
    EXPECT_EQ(calls[1].reason, "detach");
    EXPECT_EQ(calls[1].kind, "static");
    // Both on the process's main thread.
    EXPECT_EQ(calls[0].thread, calls[1].thread);
}

struct SearchCase
{
    const char* name;        // as passed to LoadLibraryA
    bool besideExecutable;   // the DLL lies next to the program
    bool inCurrentDirectory; // the DLL lies in the current directory
    const char* expected;    // what the program prints
};

TEST_F(ModuleTest, RelativeNamesWithAFolderPartUseTheCurrentDirectoryOnly)
{
    const SearchCase cases[] = {
        {".\\WinsimProbe.dll", true, false, "error 126"},
        {".\\WinsimProbe.dll", false, true, "ok"},
        {"sub\\..\\WinsimProbe.dll", true, false, "error 126"},
        {"WinsimProbe.dll", true, false, "ok"}, // a bare name also searches the program's folder
        {"WinsimProbe.dll", false, true, "ok"},
        {"WinsimProbe", false, true, "ok"},         // ".dll" is added to a name without extension
        {"WinsimProbe.", false, true, "error 126"}, // ... unless it ends in a dot
        {"Missing.dll", true, true, "error 126"},
        {"NotAModule.dll", false, true, "error 193"},
    };
    std::string probe = std::string(PROBE_DIR) + "/WinsimProbe.dll";
    for (const SearchCase& c : cases)
    {
        testsupport::TempDir programDir;
        testsupport::TempDir currentDir;
        testsupport::CopyInto(USER_TEST_CHILD, programDir.Path());
        if (c.besideExecutable)
        {
            testsupport::CopyInto(probe, programDir.Path());
        }
        if (c.inCurrentDirectory)
        {
            testsupport::CopyInto(probe, currentDir.Path());
        }
        testsupport::WriteAll(currentDir / "NotAModule.dll", "MZ this is no module");
        testsupport::RunResult r =
            testsupport::Run({programDir / "user_test_child", "load", c.name}, currentDir.Path());
        EXPECT_EQ(r.output, std::string(c.expected) + "\n") << c.name << " beside=" << c.besideExecutable;
    }
}

} // namespace
