// strsafe.h: results and truncation, formats with Windows semantics.
#include <windows.h>
#include <strsafe.h>

#include <gtest/gtest.h>

namespace
{

TEST(StrsafeTest, PrintfReportsTruncationAndAlwaysTerminates)
{
    char buffer[8];
    EXPECT_EQ(StringCchPrintfA(buffer, 8, "%s", "1234567"), S_OK); // exactly fits
    EXPECT_STREQ(buffer, "1234567");
    EXPECT_EQ(StringCchPrintfA(buffer, 8, "%s", "12345678"), STRSAFE_E_INSUFFICIENT_BUFFER);
    EXPECT_STREQ(buffer, "1234567");
    EXPECT_EQ(StringCchPrintfA(buffer, 0, "%s", "x"), STRSAFE_E_INVALID_PARAMETER);
    EXPECT_EQ(StringCchPrintfA(buffer, 1, "%s", "x"), STRSAFE_E_INSUFFICIENT_BUFFER);
    EXPECT_STREQ(buffer, "");
}

TEST(StrsafeTest, FormatsFollowTheWindowsRuntime)
{
    struct Case
    {
        std::string actual;
        const char* expected;
    };
    char buffer[64];
    auto format = [&](const char* fmt, auto... args) {
        StringCchPrintfA(buffer, sizeof(buffer), fmt, args...);
        return std::string(buffer);
    };
    const Case cases[] = {
        {format("%lu", static_cast<DWORD>(0xFFFFFFFFu)), "4294967295"},
        {format("%ld", static_cast<LONG>(-5)), "-5"},
        {format("%p", reinterpret_cast<void*>(0xABCDEFull)), "0000000000ABCDEF"},
        {format("%p", static_cast<void*>(nullptr)), "0000000000000000"},
        {format("%I64d", static_cast<long long>(-1234567890123ll)), "-1234567890123"},
        {format("%lld", static_cast<long long>(1) << 40), "1099511627776"},
        {format("%5d|%-3d|%03u", 42, 7, 5u), "   42|7  |005"},
        {format("%x %X", 255u, 255u), "ff FF"},
    };
    for (const Case& c : cases)
    {
        EXPECT_EQ(c.actual, c.expected);
    }
}

TEST(StrsafeTest, CopyAndCatTruncateToTheBuffer)
{
    char buffer[6];
    EXPECT_EQ(StringCchCopyA(buffer, sizeof(buffer), "abc"), S_OK);
    EXPECT_EQ(StringCchCatA(buffer, sizeof(buffer), "de"), S_OK);
    EXPECT_STREQ(buffer, "abcde");
    EXPECT_EQ(StringCchCatA(buffer, sizeof(buffer), "f"), STRSAFE_E_INSUFFICIENT_BUFFER);
    EXPECT_STREQ(buffer, "abcde");
    EXPECT_EQ(StringCchCopyA(buffer, sizeof(buffer), "abcdefgh"), STRSAFE_E_INSUFFICIENT_BUFFER);
    EXPECT_STREQ(buffer, "abcde");
    size_t length = 99;
    EXPECT_EQ(StringCchLengthA("abc", 10, &length), S_OK);
    EXPECT_EQ(length, 3u);
    EXPECT_EQ(StringCchLengthA("abc", 3, &length), STRSAFE_E_INVALID_PARAMETER);
}

} // namespace
