// Private profile reading: GetPrivateProfileStringA and GetPrivateProfileIntA.
#include <windows.h>
#include <winsim/user.h>

#include <gtest/gtest.h>

#include "TestSupport.h"

namespace
{

const char kProfile[] = "; settings of the tests\r\n"
                        "[Log]\r\n"
                        "Logging = 0\r\n"
                        "LogFileName=  .\\logs\\Ostrix.log  \r\n"
                        "Quoted=\"  two words  \"\r\n"
                        "Single='x'\r\n"
                        "Empty=\r\n"
                        "\r\n"
                        "  [ Wmi ]  \r\n"
                        "PollingInterval=250\r\n"
                        "Negative=-3\r\n"
                        "Hex=0x1F\r\n"
                        "Trailing=12abc\r\n"
                        "Word=abc\r\n"
                        "Plus= +7\r\n"
                        "[log]\r\n"
                        "Logging=9\r\n"
                        "Late=1\r\n";

class ProfileTest : public ::testing::Test
{
  protected:
    void SetUp() override
    {
        testsupport::WriteAll(m_dir / "test.ini", kProfile);
        m_file = winsim::ToWindowsPath(m_dir / "test.ini");
    }
    std::string Get(const char* section, const char* key, const char* def, DWORD size = 260)
    {
        std::vector<char> buffer(size + 1, '#');
        DWORD n = GetPrivateProfileStringA(section, key, def, buffer.data(), size, m_file.c_str());
        m_lastCount = n;
        return std::string(buffer.data(), n);
    }
    testsupport::TempDir m_dir;
    std::string m_file;
    DWORD m_lastCount = 0;
};

struct StringCase
{
    const char* section;
    const char* key;
    const char* def;
    const char* expected;
};

TEST_F(ProfileTest, StringValuesAreTrimmedUnquotedAndFoundWithoutRegardToCase)
{
    const StringCase cases[] = {
        {"Log", "Logging", "d", "0"},
        {"LOG", "LOGGING", "d", "0"}, // case-insensitive section and key
        {"log", "logfilename", "d", ".\\logs\\Ostrix.log"},
        {"Log", "Quoted", "d", "  two words  "}, // enclosing quotes go, the blanks inside stay
        {"Log", "Single", "d", "x"},
        {"Log", "Empty", "d", ""},              // present but empty: not the default
        {"Wmi", "PollingInterval", "d", "250"}, // blanks around the section name
        {"Log", "Late", "d", "d"}, // the first [Log] section wins; keys of a later one are not seen
        {"Log", "Missing", "fallback", "fallback"},
        {"Log", "Missing", "fallback   ", "fallback"}, // trailing blanks of the default go
        {"Log", "Missing", nullptr, ""},
        {"Nope", "Logging", "d", "d"},
        {"Log", "; settings of the tests", "d", "d"}, // comment lines are no keys
    };
    for (const StringCase& c : cases)
    {
        EXPECT_EQ(Get(c.section, c.key, c.def), c.expected) << c.section << "/" << c.key;
    }
}

TEST_F(ProfileTest, ValuesAreTruncatedToTheBuffer)
{
    // "0123456789" does not fit in 5 characters: 4 characters and the NUL, result 4.
    testsupport::WriteAll(m_dir / "test.ini", "[S]\nK=0123456789\n");
    char buffer[8];
    memset(buffer, '#', sizeof(buffer));
    EXPECT_EQ(GetPrivateProfileStringA("S", "K", "", buffer, 5, m_file.c_str()), 4u);
    EXPECT_STREQ(buffer, "0123");
    EXPECT_EQ(buffer[5], '#');
    // Exactly fitting: all characters and the NUL.
    EXPECT_EQ(GetPrivateProfileStringA("S", "K", "", buffer, 8, m_file.c_str()), 7u);
    EXPECT_EQ(Get("S", "K", "", 11), "0123456789");
    EXPECT_EQ(m_lastCount, 10u);
    // The default is truncated the same way.
    EXPECT_EQ(GetPrivateProfileStringA("S", "None", "abcdefgh", buffer, 3, m_file.c_str()), 2u);
    EXPECT_STREQ(buffer, "ab");
    EXPECT_EQ(GetPrivateProfileStringA("S", "K", "", buffer, 0, m_file.c_str()), 0u);
}

TEST_F(ProfileTest, ListsOfSectionsAndKeysEndInTwoNuls)
{
    std::string sections = Get(nullptr, nullptr, "", 100);
    EXPECT_EQ(sections, std::string("Log\0Wmi\0log\0", 12));
    std::string keys = Get("wmi", nullptr, "", 100);
    EXPECT_EQ(keys, std::string("PollingInterval\0Negative\0Hex\0Trailing\0Word\0Plus\0", 48));
    // A list that does not fit is cut at size - 2 and still ends in two NULs.
    char buffer[8];
    memset(buffer, '#', sizeof(buffer));
    EXPECT_EQ(GetPrivateProfileStringA(nullptr, nullptr, "", buffer, 6, m_file.c_str()), 4u);
    EXPECT_EQ(std::string(buffer, 6), std::string("Log\0\0\0", 6));
}

TEST_F(ProfileTest, IntegersAreConvertedLikeRtlCharToInteger)
{
    struct IntCase
    {
        const char* section;
        const char* key;
        INT def;
        UINT expected;
    } cases[] = {
        {"Log", "Logging", -1, 0u},
        {"Wmi", "PollingInterval", 100, 250u},
        {"Wmi", "Negative", -1, static_cast<UINT>(-3)},
        {"Wmi", "Hex", 0, 31u},
        {"Wmi", "Trailing", 0, 12u},
        {"Wmi", "Word", 5, 0u},
        {"Wmi", "Plus", 0, 7u},
        {"Log", "Empty", 77, 77u},
        {"Log", "Missing", -1, static_cast<UINT>(-1)},
        {"Missing", "Missing", 100, 100u},
    };
    for (const IntCase& c : cases)
    {
        EXPECT_EQ(GetPrivateProfileIntA(c.section, c.key, c.def, m_file.c_str()), c.expected) << c.key;
    }
}

TEST_F(ProfileTest, MissingFileGivesDefaultsAndFileNotFound)
{
    std::string missing = winsim::ToWindowsPath(m_dir / "none.ini");
    char buffer[16];
    SetLastError(0);
    EXPECT_EQ(GetPrivateProfileStringA("Log", "Logging", "dflt", buffer, sizeof(buffer), missing.c_str()),
              4u);
    EXPECT_STREQ(buffer, "dflt");
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    EXPECT_EQ(GetPrivateProfileIntA("Log", "Logging", -1, missing.c_str()), static_cast<UINT>(-1));
}

TEST_F(ProfileTest, RelativeFileNamesFollowTheCurrentDirectory)
{
    char saved[MAX_PATH];
    ASSERT_GT(GetCurrentDirectoryA(MAX_PATH, saved), 0u);
    ASSERT_TRUE(SetCurrentDirectoryA(winsim::ToWindowsPath(m_dir.Path()).c_str()));
    EXPECT_EQ(GetPrivateProfileIntA("Wmi", "PollingInterval", 1, ".\\test.ini"), 250u);
    // A name without any folder refers to the Windows folder, not the current directory.
    EXPECT_EQ(GetPrivateProfileIntA("Wmi", "PollingInterval", 1, "test.ini"), 1u);
    SetCurrentDirectoryA(saved);
}

} // namespace
