// Code-page conversions: the ANSI code page is UTF-8; Windows' buffer rules.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>

namespace
{

TEST(LocaleTest, WideToNarrowFollowsTheBufferRules)
{
    const WCHAR text[] = L"COM\x00e9\x3042"; // é (2 bytes in UTF-8), あ (3 bytes)
    // -1 counts the terminator; a size of 0 asks for the size.
    EXPECT_EQ(WideCharToMultiByte(CP_ACP, 0, text, -1, NULL, 0, NULL, NULL), 3 + 2 + 3 + 1);
    EXPECT_EQ(WideCharToMultiByte(CP_THREAD_ACP, 0, text, 3, NULL, 0, NULL, NULL), 3);

    char buffer[16];
    memset(buffer, 'x', sizeof(buffer));
    EXPECT_EQ(WideCharToMultiByte(CP_THREAD_ACP, 0, text, -1, buffer, sizeof(buffer), NULL, NULL), 9);
    EXPECT_EQ(std::string(buffer), "COM\xc3\xa9\xe3\x81\x82");
    // An explicit length converts no terminator.
    memset(buffer, 'x', sizeof(buffer));
    EXPECT_EQ(WideCharToMultiByte(CP_ACP, 0, text, 3, buffer, sizeof(buffer), NULL, NULL), 3);
    EXPECT_EQ(buffer[3], 'x');

    SetLastError(0);
    EXPECT_EQ(WideCharToMultiByte(CP_ACP, 0, text, -1, buffer, 8, NULL, NULL), 0);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
}

TEST(LocaleTest, NarrowToWideRoundTrips)
{
    const char text[] = "Port \xc3\xa9";
    WCHAR wide[16];
    int count = MultiByteToWideChar(CP_UTF8, 0, text, -1, wide, 16);
    EXPECT_EQ(count, 7);
    EXPECT_EQ(wide[5], static_cast<WCHAR>(0x00e9));
    EXPECT_EQ(wide[6], static_cast<WCHAR>(0));
    char back[16];
    EXPECT_EQ(WideCharToMultiByte(CP_UTF8, 0, wide, -1, back, sizeof(back), NULL, NULL), 8);
    EXPECT_STREQ(back, text);
    EXPECT_EQ(GetACP(), static_cast<UINT>(CP_UTF8));
}

TEST(LocaleTest, BadArgumentsFailWithInvalidParameter)
{
    WCHAR wide[4];
    char narrow[4];
    BOOL used = FALSE;
    struct Case
    {
        const char* name;
        int result;
    };
    const Case cases[] = {
        {"unknown code page", WideCharToMultiByte(1234, 0, L"a", -1, narrow, 4, NULL, NULL)},
        {"zero source length", WideCharToMultiByte(CP_ACP, 0, L"a", 0, narrow, 4, NULL, NULL)},
        {"null source", WideCharToMultiByte(CP_ACP, 0, NULL, -1, narrow, 4, NULL, NULL)},
        {"negative size", WideCharToMultiByte(CP_ACP, 0, L"a", -1, narrow, -2, NULL, NULL)},
        {"UTF-8 with a default-used flag", WideCharToMultiByte(CP_UTF8, 0, L"a", -1, narrow, 4, NULL, &used)},
        {"null destination with a size", MultiByteToWideChar(CP_ACP, 0, "a", -1, NULL, 4)},
        {"zero narrow length", MultiByteToWideChar(CP_ACP, 0, "a", 0, wide, 4)},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(c.result, 0);
    }
    SetLastError(0);
    EXPECT_EQ(MultiByteToWideChar(CP_ACP, 0, NULL, -1, wide, 4), 0);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
}

} // namespace

namespace
{

TEST(LocaleTest, LeadBytesAreThoseOfTheCodePage)
{
    struct Case
    {
        UINT codePage;
        BYTE byte;
        BOOL lead;
    };
    const Case cases[] = {
        {932, 0x80, FALSE}, {932, 0x81, TRUE},      {932, 0x9F, TRUE},     {932, 0xA0, FALSE},
        {932, 0xDF, FALSE}, {932, 0xE0, TRUE},      {932, 0xFC, TRUE},     {932, 0xFD, FALSE},
        {932, 'A', FALSE},  {CP_UTF8, 0xE3, FALSE}, {CP_ACP, 0x81, FALSE},
    };
    for (const Case& c : cases)
    {
        EXPECT_EQ(IsDBCSLeadByteEx(c.codePage, c.byte), c.lead)
            << c.codePage << " 0x" << std::hex << int{c.byte};
    }
    // The machine's ANSI code page is UTF-8, which has no lead bytes.
    EXPECT_FALSE(IsDBCSLeadByte(0x81));
}

} // namespace
