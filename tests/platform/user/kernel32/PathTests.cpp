// Windows paths on the host, the current directory, full path names and module file names.
#include <windows.h>
#include <winsim/user.h>

#include <gtest/gtest.h>

#include <limits.h>
#include <stdlib.h>

#include "TestSupport.h"

namespace
{

class PathTest : public ::testing::Test
{
  protected:
    void SetUp() override
    {
        char real[PATH_MAX];
        ASSERT_NE(realpath(m_dir.Path().c_str(), real), nullptr);
        m_host = real;
        ASSERT_GT(GetCurrentDirectoryA(MAX_PATH, m_saved), 0u);
        ASSERT_TRUE(SetCurrentDirectoryA(winsim::ToWindowsPath(m_host).c_str()));
    }
    void TearDown() override { SetCurrentDirectoryA(m_saved); }
    testsupport::TempDir m_dir;
    std::string m_host;
    char m_saved[MAX_PATH];
};

TEST_F(PathTest, WindowsPathsMapToHostPaths)
{
    std::string parent = m_host.substr(0, m_host.find_last_of('/'));
    struct Case
    {
        std::string windows;
        std::string host;
    } cases[] = {
        {"Z:\\usr\\lib", "/usr/lib"},
        {"z:/usr/lib/", "/usr/lib/"}, // a trailing separator stays
        {"Z:\\", "/"},
        {"\\usr\\lib", "/usr/lib"},            // root of the current drive
        {"Z:\\a\\.\\b\\..\\c", "/a/c"},        // "." and ".." fold
        {"Z:\\..\\..\\etc", "/etc"},           // ".." stops at the root
        {".\\file.txt", m_host + "/file.txt"}, // relative to the current directory
        {"file.txt", m_host + "/file.txt"},
        {"sub\\file.txt", m_host + "/sub/file.txt"},
        {"..\\file.txt", parent + "/file.txt"},
        {"Z:file.txt", m_host + "/file.txt"}, // drive-relative on the current drive
        {"\\\\?\\Z:\\usr", "/usr"},
        // Drive C: is the machine's drive.
        {"C:\\Windows\\win.ini", winsim::MachineDirectory() + "/drive_c/Windows/win.ini"},
        {"c:/", winsim::MachineDirectory() + "/drive_c"},
    };
    for (const Case& c : cases)
    {
        std::string host;
        unsigned error = 0;
        EXPECT_TRUE(winsim::ToHostPath(c.windows, host, error)) << c.windows;
        EXPECT_EQ(host, c.host) << c.windows;
    }
}

TEST_F(PathTest, PathsWithoutAHostFileFail)
{
    struct Case
    {
        const char* windows;
        unsigned error;
    } cases[] = {
        {"Q:\\Windows\\win.ini", ERROR_PATH_NOT_FOUND}, // no such drive
        {"\\\\server\\share\\x", ERROR_BAD_NETPATH},
        {"\\\\.\\COM3", ERROR_FILE_NOT_FOUND}, // devices are not files
        {"", ERROR_PATH_NOT_FOUND},
    };
    for (const Case& c : cases)
    {
        std::string host;
        unsigned error = 0;
        EXPECT_FALSE(winsim::ToHostPath(c.windows, host, error)) << c.windows;
        EXPECT_EQ(error, c.error) << c.windows;
    }
    HANDLE file = CreateFileA("\\\\.\\COM3", GENERIC_READ, 0, NULL, OPEN_EXISTING, 0, NULL);
    EXPECT_EQ(file, INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
}

TEST_F(PathTest, HostPathsMapToDriveZ)
{
    EXPECT_EQ(winsim::ToWindowsPath("/tmp/a b/c.txt"), "Z:\\tmp\\a b\\c.txt");
    EXPECT_EQ(winsim::ToWindowsPath("/"), "Z:\\");
    EXPECT_EQ(winsim::ToWindowsPath("/usr/"), "Z:\\usr");
    // The machine's drive C: wins over Z: for the files in it.
    EXPECT_EQ(winsim::ToWindowsPath(winsim::MachineDirectory() + "/drive_c/Windows/INF"), "C:\\Windows\\INF");
    EXPECT_EQ(winsim::ToWindowsPath(winsim::MachineDirectory() + "/drive_c"), "C:\\");
}

TEST_F(PathTest, CurrentDirectoryRoundTripsAndReportsTheSizeItNeeds)
{
    std::string expected = winsim::ToWindowsPath(m_host);
    char buffer[MAX_PATH];
    EXPECT_EQ(GetCurrentDirectoryA(MAX_PATH, buffer), expected.size());
    EXPECT_EQ(std::string(buffer), expected);
    // Too small: the size needed, NUL included, and the buffer untouched.
    char small[4] = {'#', '#', '#', '#'};
    EXPECT_EQ(GetCurrentDirectoryA(sizeof(small), small), expected.size() + 1);
    EXPECT_EQ(small[0], '#');

    std::string sub = m_dir.Sub("inner");
    EXPECT_TRUE(SetCurrentDirectoryA("inner"));
    EXPECT_EQ(GetCurrentDirectoryA(MAX_PATH, buffer), expected.size() + 6);
    EXPECT_EQ(std::string(buffer), expected + "\\inner");
    EXPECT_FALSE(SetCurrentDirectoryA("Z:\\does\\not\\exist"));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
}

TEST_F(PathTest, FullPathNamesPointAtTheFilePart)
{
    char buffer[MAX_PATH];
    LPSTR filePart = nullptr;
    std::string expected = winsim::ToWindowsPath(m_host) + "\\dir\\name.txt";
    EXPECT_EQ(GetFullPathNameA("dir\\.\\name.txt", MAX_PATH, buffer, &filePart), expected.size());
    EXPECT_EQ(std::string(buffer), expected);
    ASSERT_NE(filePart, nullptr);
    EXPECT_STREQ(filePart, "name.txt");
    EXPECT_EQ(GetFullPathNameA("dir\\name.txt", 5, buffer, &filePart), expected.size() + 1);
}

TEST_F(PathTest, ModuleFileNameIsTheExecutableAndTruncatesLikeWindows)
{
    char real[PATH_MAX];
    ASSERT_NE(realpath("/proc/self/exe", real), nullptr);
    std::string expected = winsim::ToWindowsPath(real);
    char buffer[MAX_PATH + 1];
    EXPECT_EQ(GetModuleFileNameA(NULL, buffer, MAX_PATH), expected.size());
    EXPECT_EQ(std::string(buffer), expected);
    // Too small: truncated, NUL-terminated, the size as result and ERROR_INSUFFICIENT_BUFFER.
    char small[6];
    SetLastError(0);
    EXPECT_EQ(GetModuleFileNameA(NULL, small, sizeof(small)), sizeof(small));
    EXPECT_EQ(std::string(small), expected.substr(0, 5));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
}

TEST_F(PathTest, FilesOpenWithWindowsDispositions)
{
    std::string name = winsim::ToWindowsPath(m_host) + "\\f.txt";
    HANDLE h = CreateFileA(name.c_str(), GENERIC_READ, 0, NULL, OPEN_EXISTING, 0, NULL);
    EXPECT_EQ(h, INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    h = CreateFileA("missing\\f.txt", GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, 0, NULL);
    EXPECT_EQ(h, INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PATH_NOT_FOUND));

    // OPEN_ALWAYS: a new file reports 0, an existing one ERROR_ALREADY_EXISTS.
    for (int round = 0; round < 2; ++round)
    {
        h = CreateFileA(name.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL, OPEN_ALWAYS,
                        FILE_ATTRIBUTE_NORMAL, NULL);
        ASSERT_NE(h, INVALID_HANDLE_VALUE);
        EXPECT_EQ(GetLastError(), round == 0 ? 0u : static_cast<DWORD>(ERROR_ALREADY_EXISTS));
        DWORD written = 0;
        EXPECT_TRUE(WriteFile(h, "ab\r\n", 4, &written, NULL));
        EXPECT_EQ(written, 4u);
        EXPECT_TRUE(CloseHandle(h));
    }
    // Append-only access keeps appending.
    EXPECT_EQ(testsupport::ReadAll(m_host + "/f.txt"), "ab\r\nab\r\n");
    h = CreateFileA(name.c_str(), GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING, 0, NULL);
    char data[16];
    DWORD read = 0;
    EXPECT_TRUE(ReadFile(h, data, sizeof(data), &read, NULL));
    EXPECT_EQ(read, 8u);
    EXPECT_FALSE(WriteFile(h, "x", 1, &read, NULL));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    CloseHandle(h);
    EXPECT_TRUE(DeleteFileA("f.txt"));
    EXPECT_FALSE(DeleteFileA("f.txt"));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
}

} // namespace

namespace
{

TEST(WindowsFolderTest, SystemRootAndItsFoldersAreOnTheMachinesDriveC)
{
    char buffer[MAX_PATH];
    EXPECT_EQ(GetWindowsDirectoryA(buffer, sizeof(buffer)), 10u);
    EXPECT_STREQ(buffer, "C:\\Windows");
    EXPECT_EQ(GetSystemDirectoryA(buffer, sizeof(buffer)), 19u);
    EXPECT_STREQ(buffer, "C:\\Windows\\System32");
    EXPECT_EQ(GetSystemDirectoryA(buffer, 19), 20u) << "too small: the size needed, terminator included";

    EXPECT_EQ(GetEnvironmentVariableA("systemroot", buffer, sizeof(buffer)), 10u);
    EXPECT_STREQ(buffer, "C:\\Windows");
    EXPECT_EQ(GetEnvironmentVariableA("WINSIM_NO_SUCH_VARIABLE", buffer, sizeof(buffer)), 0u);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ENVVAR_NOT_FOUND));

    struct Case
    {
        const char* source;
        const char* expanded;
    } cases[] = {
        {"%SystemRoot%\\System32\\makecab.exe", "C:\\Windows\\System32\\makecab.exe"},
        {"%windir%", "C:\\Windows"},
        {"%WINSIM_NO_SUCH_VARIABLE%\\x", "%WINSIM_NO_SUCH_VARIABLE%\\x"}, // unknown names stay
        {"100%", "100%"},
        {"%%SystemDrive%", "%C:"},
    };
    for (const Case& c : cases)
    {
        char expanded[MAX_PATH];
        DWORD count = ExpandEnvironmentStringsA(c.source, expanded, sizeof(expanded));
        EXPECT_STREQ(expanded, c.expanded) << c.source;
        EXPECT_EQ(count, strlen(c.expanded) + 1) << c.source;
    }
    // The files setup copies to the Windows folder are there for a program too.
    std::string host;
    unsigned error = 0;
    ASSERT_TRUE(winsim::ToHostPath("C:\\Windows\\System32", host, error));
    EXPECT_EQ(host, winsim::MachineDirectory() + "/drive_c/Windows/System32");
}

} // namespace
