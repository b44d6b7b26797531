// The machine's code pages and UI language as its programs see them: GetACP, GetOEMCP, the UI
// language functions, the conversions of CP_ACP on a Japanese (932) machine, and the A functions,
// which convert through the machine's ANSI code page.
#include <windows.h>

#include "machine/Machine.h"

#include "TableCases.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <fstream>
#include <memory>
#include <string>

namespace
{

using winsimtest::PrintTo;

// "ポート" in code page 932 and in UTF-8.
const char kPortShiftJis[] = "\x83\x7C\x81\x5B\x83\x67";
const char kPortUtf8[] = "\xE3\x83\x9D\xE3\x83\xBC\xE3\x83\x88";
const WCHAR kPortWide[] = {0x30DD, 0x30FC, 0x30C8, 0};

// A machine of the test's own with a code page and a UI language, and a registry value holding
// "ポート" (seeded from a registry file, as the registry editor would import it).
class CodePageMachine
{
  public:
    CodePageMachine(unsigned codePage, LANGID uiLanguage)
    {
        std::ofstream reg(m_dir / "seed.reg", std::ios::binary);
        reg << "Windows Registry Editor Version 5.00\r\n\r\n"
               "[HKEY_LOCAL_MACHINE\\SOFTWARE\\CodePageTest]\r\n"
               "\"Text\"=\""
            << kPortUtf8 << "\"\r\n";
        reg.close();
        winsim::machine::MachineConfig config;
        config.ansiCodePage = codePage;
        config.uiLanguage = uiLanguage;
        config.registryFiles.push_back(m_dir / "seed.reg");
        m_machine = std::make_unique<winsim::machine::Machine>(config);
    }

  private:
    testsupport::TempDir m_dir;
    std::unique_ptr<winsim::machine::Machine> m_machine;
};

std::string QueryString(const char* keyPath, const char* valueName)
{
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, keyPath, 0, KEY_READ, &key) != ERROR_SUCCESS)
    {
        return "(no key)";
    }
    char data[64] = {};
    DWORD size = sizeof(data);
    DWORD type = 0;
    LSTATUS status = RegQueryValueExA(key, valueName, nullptr, &type, reinterpret_cast<BYTE*>(data), &size);
    RegCloseKey(key);
    return status == ERROR_SUCCESS && type == REG_SZ ? std::string(data) : "(no value)";
}

struct MachineCase
{
    const char* name;
    unsigned codePage;
    LANGID uiLanguage;
    const char* registryText; // "ポート" as RegQueryValueExA returns it
    BOOL leadByte81;
};

class CodePageMachineTest : public ::testing::TestWithParam<MachineCase>
{
};

TEST_P(CodePageMachineTest, ProgramsSeeTheMachinesCodePageAndLanguage)
{
    const MachineCase& c = GetParam();
    CodePageMachine machine(c.codePage, c.uiLanguage);
    EXPECT_EQ(GetACP(), c.codePage);
    EXPECT_EQ(GetOEMCP(), c.codePage);
    EXPECT_EQ(QueryString("SYSTEM\\CurrentControlSet\\Control\\Nls\\CodePage", "ACP"),
              std::to_string(c.codePage));
    EXPECT_EQ(GetUserDefaultUILanguage(), c.uiLanguage);
    EXPECT_EQ(GetThreadUILanguage(), c.uiLanguage);
    EXPECT_EQ(IsDBCSLeadByte(0x81), c.leadByte81);
    // advapi32's A functions hand out text in the ANSI code page.
    EXPECT_EQ(QueryString("SOFTWARE\\CodePageTest", "Text"), std::string(c.registryText));
}

INSTANTIATE_TEST_SUITE_P(Machines, CodePageMachineTest,
                         ::testing::Values(MachineCase{"Utf8English", CP_UTF8, 0x0409, kPortUtf8, FALSE},
                                           MachineCase{"ShiftJisJapanese", 932, 0x0411, kPortShiftJis, TRUE}),
                         [](const ::testing::TestParamInfo<MachineCase>& info) {
                             return std::string(info.param.name);
                         });

class JapaneseMachineTest : public ::testing::Test
{
  protected:
    CodePageMachine machine{932, 0x0411};
};

TEST_F(JapaneseMachineTest, AnsiTextRoundTripsThroughShiftJis)
{
    WCHAR wide[16] = {};
    EXPECT_EQ(MultiByteToWideChar(CP_ACP, 0, kPortShiftJis, -1, wide, 16), 4);
    EXPECT_EQ(std::u16string(reinterpret_cast<const char16_t*>(wide)),
              std::u16string(reinterpret_cast<const char16_t*>(kPortWide)));
    char narrow[16] = {};
    EXPECT_EQ(WideCharToMultiByte(CP_ACP, 0, kPortWide, -1, narrow, sizeof(narrow), nullptr, nullptr), 7);
    EXPECT_EQ(std::string(narrow), std::string(kPortShiftJis));
    // The size a result needs, and a buffer one byte short.
    EXPECT_EQ(WideCharToMultiByte(CP_ACP, 0, kPortWide, -1, nullptr, 0, nullptr, nullptr), 7);
    SetLastError(0);
    EXPECT_EQ(WideCharToMultiByte(CP_ACP, 0, kPortWide, -1, narrow, 6, nullptr, nullptr), 0);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    // Text written through an A function reads back the same.
    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\CodePageTest", 0, nullptr, 0, KEY_ALL_ACCESS,
                              nullptr, &key, nullptr),
              ERROR_SUCCESS);
    EXPECT_EQ(RegSetValueExA(key, kPortShiftJis, 0, REG_SZ, reinterpret_cast<const BYTE*>(kPortShiftJis),
                             sizeof(kPortShiftJis)),
              ERROR_SUCCESS);
    RegCloseKey(key);
    EXPECT_EQ(QueryString("SOFTWARE\\CodePageTest", kPortShiftJis), std::string(kPortShiftJis));
}

struct DecodeCase
{
    const char* name;
    std::string bytes;
    std::u16string text; // without MB_ERR_INVALID_CHARS
    bool valid;          // whether MB_ERR_INVALID_CHARS converts it too
};

class ShiftJisDecodeTest : public JapaneseMachineTest, public ::testing::WithParamInterface<DecodeCase>
{
};

TEST_P(ShiftJisDecodeTest, InvalidSequencesBecomeTheDefaultCharacterOrFail)
{
    const DecodeCase& c = GetParam();
    WCHAR wide[16] = {};
    int count = MultiByteToWideChar(932, 0, c.bytes.data(), static_cast<int>(c.bytes.size()), wide, 16);
    EXPECT_EQ(std::u16string(reinterpret_cast<const char16_t*>(wide), static_cast<size_t>(count)), c.text);
    SetLastError(0);
    int strict = MultiByteToWideChar(932, MB_ERR_INVALID_CHARS, c.bytes.data(),
                                     static_cast<int>(c.bytes.size()), wide, 16);
    EXPECT_EQ(strict, c.valid ? static_cast<int>(c.text.size()) : 0);
    EXPECT_EQ(GetLastError(),
              c.valid ? static_cast<DWORD>(0) : static_cast<DWORD>(ERROR_NO_UNICODE_TRANSLATION));
}

INSTANTIATE_TEST_SUITE_P(
    Sequences, ShiftJisDecodeTest,
    ::testing::Values(DecodeCase{"AsciiAndBackslash", "a\\~", u"a\\~", true},
                      DecodeCase{"HalfWidthKatakana", "\xB1\xDF", u"\uFF71\uFF9F", true},
                      DecodeCase{"NecSpecialCharacter", "\x87\x40", u"\u2460", true},
                      DecodeCase{"WindowsSingleBytes", "\x80\xA0\xFD", u"\u0080\uF8F0\uF8F1", true},
                      DecodeCase{"LeadByteAtTheEnd", "a\x83", u"a\u30FB", false},
                      DecodeCase{"LeadByteBeforeANonTrail", "\x83 b", u"\u30FB b", false},
                      DecodeCase{"UnassignedPair", "\x85\x40", u"\u30FB", false}),
    [](const ::testing::TestParamInfo<DecodeCase>& info) { return std::string(info.param.name); });

TEST_F(JapaneseMachineTest, CharactersWithoutShiftJisBytesUseTheDefaultCharacter)
{
    const WCHAR text[] = {'A', 0x20AC, 0x30DD, 0}; // "A€ポ": the euro sign is not in 932
    char narrow[16] = {};
    BOOL usedDefault = FALSE;
    EXPECT_EQ(WideCharToMultiByte(932, 0, text, -1, narrow, sizeof(narrow), nullptr, &usedDefault), 5);
    EXPECT_EQ(std::string(narrow), std::string("A?\x83\x7C"));
    EXPECT_EQ(usedDefault, TRUE);
    EXPECT_EQ(WideCharToMultiByte(932, 0, text, -1, narrow, sizeof(narrow), "*", &usedDefault), 5);
    EXPECT_EQ(std::string(narrow), std::string("A*\x83\x7C"));
    EXPECT_EQ(WideCharToMultiByte(932, 0, kPortWide, -1, narrow, sizeof(narrow), "*", &usedDefault), 7);
    EXPECT_EQ(usedDefault, FALSE);
    // WC_ERR_INVALID_CHARS belongs to UTF-8.
    SetLastError(0);
    EXPECT_EQ(
        WideCharToMultiByte(932, WC_ERR_INVALID_CHARS, text, -1, narrow, sizeof(narrow), nullptr, nullptr),
        0);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_FLAGS));
}

TEST_F(JapaneseMachineTest, AThreadSetsItsOwnUiLanguage)
{
    EXPECT_EQ(SetThreadUILanguage(0x0409), 0x0409);
    EXPECT_EQ(GetThreadUILanguage(), 0x0409);
    EXPECT_EQ(GetUserDefaultUILanguage(), 0x0411);
    SetThreadUILanguage(0);
    EXPECT_EQ(GetThreadUILanguage(), 0x0411);
}

} // namespace
