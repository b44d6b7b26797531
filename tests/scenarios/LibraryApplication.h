// The fixture of an application of the client library: the test process loads the real
// Ostrix_x64.dll on its main thread after the machine booted and calls only its exports (through
// GetProcAddress, with the public header's types). The library's settings sit beside the test's
// executable; its log goes to the test's own current folder.
#pragma once

#include <windows.h>

#include <Ostrix.h>
#include <winsim/user.h>

#include "ReaderMachine.h"
#include "TestSupport.h"

#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

namespace scenario
{

class LibraryApplicationFixture : public ReaderMachineTest
{
  protected:
    void SetUp() override
    {
        ReaderMachineTest::SetUp();
        if (HasFatalFailure())
        {
            return;
        }
        // The settings are the same for every test process, so writing them races harmlessly.
        std::string settings = ExecutableFolder() + "/Ostrix.ini";
        std::string staged = settings + "." + std::to_string(getpid());
        testsupport::WriteAll(staged, "[Log]\r\nLogging=0\r\nLogFileName=.\\Ostrix.log\r\n"
                                      "[Wmi]\r\nPollingInterval=100\r\n");
        std::filesystem::rename(staged, settings);
        ASSERT_TRUE(SetCurrentDirectoryA(winsim::ToWindowsPath(m_folder.Path()).c_str()));

        m_library = LoadLibraryA(winsim::ToWindowsPath(OSTRIX_DLL).c_str());
        ASSERT_NE(m_library, nullptr) << GetLastError();
    }

    void TearDown() override
    {
        if (m_library != nullptr)
        {
            FreeLibrary(m_library);
        }
        ReaderMachineTest::TearDown();
    }

    template <typename T>
    T Export(const char* name)
    {
        FARPROC address = GetProcAddress(m_library, name);
        EXPECT_NE(address, nullptr) << name;
        return reinterpret_cast<T>(reinterpret_cast<void*>(address));
    }

    winsim::machine::Device Plug(const std::u16string& serialNumber)
    {
        winsim::machine::ReaderSpec reader;
        reader.serialNumber = serialNumber;
        return machine->Attach(reader);
    }

    std::vector<std::string> LogLines()
    {
        return testsupport::SplitLines(testsupport::ReadAll(m_folder / "Ostrix.log"));
    }
    bool LogHas(const std::string& text)
    {
        for (const std::string& line : LogLines())
        {
            if (line.find(text) != std::string::npos)
            {
                return true;
            }
        }
        return false;
    }

    // The folder of this test's executable, where the library looks for its settings.
    static std::string ExecutableFolder()
    {
        return std::filesystem::read_symlink("/proc/self/exe").parent_path().string();
    }

    testsupport::TempDir m_folder;
    HMODULE m_library = nullptr;
};

} // namespace scenario
