// Profile files: reading (GetPrivateProfileStringA, GetPrivateProfileIntA), writing
// (WritePrivateProfileStringA) and win.ini (GetProfileStringA, WriteProfileStringA, GetProfileIntA).
#include <windows.h>
#include <winsim/user.h>

#include <gtest/gtest.h>

#include <filesystem>

#include "TableCases.h"
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

struct WriteCase
{
    const char* name;
    const char* before; // nullptr: no file
    const char* section;
    const char* key;
    const char* value;
    const char* after; // nullptr: still no file
};

using winsimtest::PrintTo;

class ProfileWriteTest : public ::testing::TestWithParam<WriteCase>
{
  protected:
    testsupport::TempDir m_dir;
};

TEST_P(ProfileWriteTest, TheChangeTouchesOnlyItsLines)
{
    const WriteCase& c = GetParam();
    std::string host = m_dir / "w.ini";
    if (c.before != nullptr)
    {
        testsupport::WriteAll(host, c.before);
    }
    SetLastError(12345);
    EXPECT_EQ(WritePrivateProfileStringA(c.section, c.key, c.value, winsim::ToWindowsPath(host).c_str()),
              TRUE);
    if (c.after == nullptr)
    {
        EXPECT_FALSE(testsupport::Exists(host));
    }
    else
    {
        EXPECT_EQ(testsupport::ReadAll(host), c.after);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ProfileWriteTest,
    ::testing::Values(
        WriteCase{"ReplaceKeepsTheKeysSpellingAndTheOtherBytes",
                  "; top\r\n[Ports]\r\nCOM1:  =  9600,n,8,1 \r\n  Com3: = 1200\r\n\r\n[Other]\r\nx=1",
                  "PORTS", "COM3:", "19200,e,7,2",
                  "; top\r\n[Ports]\r\nCOM1:  =  9600,n,8,1 \r\nCom3:=19200,e,7,2\r\n\r\n[Other]\r\nx=1"},
        WriteCase{"ANewKeyFollowsTheLastKeyOfItsSection",
                  "[Ports]\r\nCOM1:=9600\r\n; note\r\n\r\n[Other]\r\n", "Ports", "COM5:", "9600,n,8,1",
                  "[Ports]\r\nCOM1:=9600\r\nCOM5:=9600,n,8,1\r\n; note\r\n\r\n[Other]\r\n"},
        WriteCase{"ANewKeyOfAnEmptySectionFollowsItsHeader", "[Ports]\r\n[Other]\r\n", "Ports", "COM5:", "x",
                  "[Ports]\r\nCOM5:=x\r\n[Other]\r\n"},
        WriteCase{"ANewSectionGoesAtTheEnd", "[A]\r\nk=v\r\n", "Ports", "COM5:", "9600,n,8,1",
                  "[A]\r\nk=v\r\n[Ports]\r\nCOM5:=9600,n,8,1\r\n"},
        WriteCase{"ALastLineWithoutABreakGetsOne", "[A]\r\nk=v", "A", "n", "w", "[A]\r\nk=v\r\nn=w\r\n"},
        WriteCase{"AFileOfLineFeedsGetsLineFeeds", "[A]\nk=v\n", "B", "n", "w", "[A]\nk=v\n[B]\nn=w\n"},
        WriteCase{"ANewFileHasCarriageReturns", nullptr, "Ports", "COM5:", "9600,n,8,1",
                  "[Ports]\r\nCOM5:=9600,n,8,1\r\n"},
        WriteCase{"AnEmptyValueIsAValue", "[A]\r\nk=v\r\n", "A", "k", "", "[A]\r\nk=\r\n"},
        WriteCase{"NoValueDeletesTheKeyLine", "[Ports]\r\nCOM1:=1\r\nCOM3:=2\r\nCOM4:=3\r\n", "Ports",
                  "com3:", nullptr, "[Ports]\r\nCOM1:=1\r\nCOM4:=3\r\n"},
        WriteCase{"OnlyTheFirstMatchingKeyGoes", "[A]\r\nk=1\r\nk=2\r\n", "A", "K", nullptr,
                  "[A]\r\nk=2\r\n"},
        WriteCase{"NoKeyDeletesTheSectionWithItsComments",
                  "[A]\r\nk=1\r\n; about B\r\n[B]\r\nj=2\r\n\r\n[C]\r\n", "b", nullptr, nullptr,
                  "[A]\r\nk=1\r\n; about B\r\n[C]\r\n"},
        WriteCase{"DeletingAMissingKeyChangesNothing", "[A]\r\nk=1", "A", "none", nullptr, "[A]\r\nk=1"},
        WriteCase{"DeletingAMissingSectionChangesNothing", "[A]\r\nk=1", "Z", nullptr, nullptr, "[A]\r\nk=1"},
        WriteCase{"DeletingFromAMissingFileCreatesNone", nullptr, "A", "k", nullptr, nullptr}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(ProfileTest, WrittenValuesReadBack)
{
    ASSERT_TRUE(WritePrivateProfileStringA("Wmi", "PollingInterval", "500", m_file.c_str()));
    ASSERT_TRUE(WritePrivateProfileStringA("New", "Key", "  spaced  ", m_file.c_str()));
    EXPECT_EQ(GetPrivateProfileIntA("Wmi", "PollingInterval", 0, m_file.c_str()), 500u);
    EXPECT_EQ(Get("New", "Key", "d"), "spaced");
    EXPECT_EQ(Get("Log", "LogFileName", "d"), ".\\logs\\Ostrix.log");
}

TEST_F(ProfileTest, WritesThatCannotBeDoneFail)
{
    std::string inMissingFolder = winsim::ToWindowsPath(m_dir / "none") + "\\x.ini";
    SetLastError(0);
    EXPECT_EQ(WritePrivateProfileStringA("A", "k", "v", inMissingFolder.c_str()), FALSE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PATH_NOT_FOUND));
    // No section: only a flush of the cache, which reports FALSE and changes nothing.
    std::string before = testsupport::ReadAll(m_dir / "test.ini");
    EXPECT_EQ(WritePrivateProfileStringA(nullptr, nullptr, nullptr, m_file.c_str()), FALSE);
    EXPECT_EQ(WritePrivateProfileStringA(nullptr, "k", "v", m_file.c_str()), FALSE);
    EXPECT_EQ(testsupport::ReadAll(m_dir / "test.ini"), before);
}

TEST(WinIniTest, ProfileFunctionsUseWinIniOfTheWindowsFolder)
{
    std::string host;
    unsigned error = 0;
    ASSERT_TRUE(winsim::ToHostPath("C:\\Windows\\win.ini", host, error));
    std::filesystem::create_directories(std::filesystem::path(host).parent_path());
    testsupport::WriteAll(host, "[Ports]\r\nCOM1:=9600,n,8,1\r\nCOM3:=9600,n,8,1\r\n");

    char buffer[81];
    EXPECT_EQ(GetProfileStringA("Ports", "COM3:", "", buffer, sizeof(buffer)), 10u);
    EXPECT_STREQ(buffer, "9600,n,8,1");
    // The port page's rename: COM3's line becomes COM5's.
    EXPECT_TRUE(WriteProfileStringA("Ports", "COM5:", buffer));
    EXPECT_TRUE(WriteProfileStringA("Ports", "COM3:", nullptr));
    EXPECT_EQ(testsupport::ReadAll(host), "[Ports]\r\nCOM1:=9600,n,8,1\r\nCOM5:=9600,n,8,1\r\n");
    EXPECT_EQ(GetProfileStringA("Ports", "COM3:", "gone", buffer, sizeof(buffer)), 4u);
    EXPECT_STREQ(buffer, "gone");
    EXPECT_EQ(GetPrivateProfileIntA("Ports", "COM5:", -1, "win.ini"), 9600u);
    EXPECT_EQ(GetProfileIntA("Ports", "COM5:", -1), 9600u);
    EXPECT_EQ(GetProfileIntA("Ports", "COM9:", -1), static_cast<UINT>(-1));
    std::filesystem::remove(host);
}

} // namespace
