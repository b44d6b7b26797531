// System message texts (FormatMessageA) and local memory.
#include <windows.h>
#include <winsim/user.h>

#include <gtest/gtest.h>

#include <string.h>

#include <string>
#include <thread>

namespace
{

const DWORD kSystemFlags =
    FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS | FORMAT_MESSAGE_ALLOCATE_BUFFER;

std::string SystemText(DWORD code, DWORD language = MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT))
{
    LPSTR text = nullptr;
    DWORD n = FormatMessageA(kSystemFlags, NULL, code, language, reinterpret_cast<LPSTR>(&text), 0, NULL);
    std::string result = n != 0 && text != nullptr ? std::string(text, n) : std::string();
    EXPECT_EQ(LocalFree(text), nullptr);
    return result;
}

TEST(FormatMessageTest, SystemTextsAreWindowsEnglishTextsWithCrLf)
{
    struct Case
    {
        DWORD code;
        const char* text;
    } cases[] = {
        {ERROR_SUCCESS, "The operation completed successfully.\r\n"},
        {ERROR_FILE_NOT_FOUND, "The system cannot find the file specified.\r\n"},
        {ERROR_PATH_NOT_FOUND, "The system cannot find the path specified.\r\n"},
        {ERROR_ACCESS_DENIED, "Access is denied.\r\n"},
        {ERROR_INVALID_HANDLE, "The handle is invalid.\r\n"},
        {ERROR_INVALID_PARAMETER, "The parameter is incorrect.\r\n"},
        {ERROR_INSUFFICIENT_BUFFER, "The data area passed to a system call is too small.\r\n"},
        {ERROR_MOD_NOT_FOUND, "The specified module could not be found.\r\n"},
        {ERROR_PROC_NOT_FOUND, "The specified procedure could not be found.\r\n"},
        {ERROR_ALREADY_EXISTS, "Cannot create a file when that file already exists.\r\n"},
        {ERROR_NOT_OWNER, "Attempt to release mutex not owned by caller.\r\n"},
        {ERROR_BAD_EXE_FORMAT, "%1 is not a valid Win32 application.\r\n"}, // inserts stay as they are
        {ERROR_DLL_INIT_FAILED, "A dynamic link library (DLL) initialization routine failed.\r\n"},
        {WAIT_TIMEOUT, "The wait operation timed out.\r\n"},
    };
    for (const Case& c : cases)
    {
        EXPECT_EQ(SystemText(c.code), c.text) << c.code;
        EXPECT_EQ(SystemText(c.code, 0), c.text) << c.code;
        EXPECT_EQ(SystemText(c.code, MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US)), c.text) << c.code;
    }
}

TEST(FormatMessageTest, FailuresSetTheirErrors)
{
    LPSTR text = nullptr;
    EXPECT_EQ(FormatMessageA(kSystemFlags, NULL, 0x2345, 0, reinterpret_cast<LPSTR>(&text), 0, NULL), 0u);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_MR_MID_NOT_FOUND));
    EXPECT_EQ(text, nullptr);
    EXPECT_EQ(FormatMessageA(kSystemFlags, NULL, ERROR_ACCESS_DENIED,
                             MAKELANGID(LANG_JAPANESE, SUBLANG_JAPANESE_JAPAN),
                             reinterpret_cast<LPSTR>(&text), 0, NULL),
              0u);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_RESOURCE_LANG_NOT_FOUND));
}

TEST(FormatMessageTest, CallerBufferMustHoldTextAndNul)
{
    const DWORD flags = FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS;
    const std::string expected = "Access is denied.\r\n";
    char buffer[64];
    EXPECT_EQ(FormatMessageA(flags, NULL, ERROR_ACCESS_DENIED, 0, buffer,
                             static_cast<DWORD>(expected.size() + 1), NULL),
              expected.size());
    EXPECT_EQ(std::string(buffer), expected);
    EXPECT_EQ(FormatMessageA(flags, NULL, ERROR_ACCESS_DENIED, 0, buffer, static_cast<DWORD>(expected.size()),
                             NULL),
              0u);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
}

TEST(LastErrorTest, IsPerThread)
{
    SetLastError(ERROR_ACCESS_DENIED);
    DWORD other = 1;
    std::thread t([&] { other = GetLastError(); });
    t.join();
    EXPECT_EQ(other, 0u);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
}

TEST(LocalMemoryTest, LiveBlocksCountWhatLocalFreeHasNotTakenBack)
{
    long before = winsim::LiveLocalAllocations();
    HLOCAL zeroed = LocalAlloc(LPTR, 24);
    HLOCAL plain = LocalAlloc(LMEM_FIXED, 0);
    ASSERT_NE(zeroed, nullptr);
    ASSERT_NE(plain, nullptr);
    EXPECT_EQ(memcmp(zeroed, std::string(24, '\0').data(), 24), 0);
    EXPECT_EQ(winsim::LiveLocalAllocations(), before + 2);

    EXPECT_EQ(LocalFree(zeroed), nullptr);
    EXPECT_EQ(LocalFree(nullptr), nullptr); // frees nothing
    EXPECT_EQ(winsim::LiveLocalAllocations(), before + 1);
    EXPECT_EQ(LocalFree(plain), nullptr);
    EXPECT_EQ(winsim::LiveLocalAllocations(), before);
}

} // namespace
