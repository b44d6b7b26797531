// LoadStringA and LoadStringW over a DLL whose string table was compiled from a resource script
// (support/Strings.rc), on machines with different code pages and UI languages.
#include <windows.h>
#include <winsim/user.h>

#include "machine/Machine.h"

#include "StringIds.h"
#include "TableCases.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

namespace
{

using winsimtest::PrintTo;

const char kPortShiftJis[] = "\x83\x7C\x81\x5B\x83\x67";         // ポート
const char kPortUtf8[] = "\xE3\x83\x9D\xE3\x83\xBC\xE3\x83\x88"; // ポート
const char kPropertiesShiftJis[] = "\x90\xDA\x91\xB1\x83\x7C\x81\x5B\x83\x67\x82\xCC\x83\x76\x83\x8D\x83\x70"
                                   "\x83\x65\x83\x42"; // 接続ポートのプロパティ
const char kLastShiftJis[] = "\x8D\xC5\x8C\xE3";       // 最後

// A machine of the test's own, and the string probe loaded into this process.
class StringMachine
{
  public:
    StringMachine(unsigned codePage, LANGID uiLanguage)
    {
        winsim::machine::MachineConfig config;
        config.ansiCodePage = codePage;
        config.uiLanguage = uiLanguage;
        m_machine = std::make_unique<winsim::machine::Machine>(config);
        module = LoadLibraryA(winsim::ToWindowsPath(std::string(PROBE_DIR) + "/WinsimStrings.dll").c_str());
    }
    ~StringMachine()
    {
        if (module != nullptr)
        {
            FreeLibrary(module);
        }
    }

    HMODULE module = nullptr;

  private:
    std::unique_ptr<winsim::machine::Machine> m_machine;
};

struct LoadCase
{
    const char* name;
    unsigned codePage;
    LANGID uiLanguage;
    UINT id;
    int capacity;
    std::string text;
};

class LoadStringATest : public ::testing::TestWithParam<LoadCase>
{
};

TEST_P(LoadStringATest, TheStringComesInTheThreadsLanguageAndTheMachinesCodePage)
{
    const LoadCase& c = GetParam();
    StringMachine machine(c.codePage, c.uiLanguage);
    ASSERT_NE(machine.module, nullptr);
    char buffer[64];
    memset(buffer, 'x', sizeof(buffer));
    EXPECT_EQ(LoadStringA(machine.module, c.id, buffer, c.capacity), static_cast<int>(c.text.size()));
    EXPECT_EQ(std::string(buffer), c.text);
}

INSTANTIATE_TEST_SUITE_P(
    Strings, LoadStringATest,
    ::testing::Values(
        LoadCase{"JapaneseMachineShiftJis", 932, 0x0411, IDS_PORT, 64, kPortShiftJis},
        LoadCase{"JapaneseUiOnUtf8", CP_UTF8, 0x0411, IDS_PORT, 64, kPortUtf8},
        LoadCase{"EnglishUi", CP_UTF8, 0x0409, IDS_PORT, 64, "Port"},
        // The language is chosen per block of 16: English has block 1 (with one string only), block
        // 2 exists in Japanese alone.
        LoadCase{"EnglishBlockHidesAJapaneseOnlyString", CP_UTF8, 0x0409, IDS_JAPANESE, 64, ""},
        LoadCase{"EnglishUiFallsBackToAJapaneseBlock", CP_UTF8, 0x0409, IDS_LAST, 64,
                 "\xE6\x9C\x80\xE5\xBE\x8C"},
        LoadCase{"JapaneseOnlyString", 932, 0x0411, IDS_JAPANESE, 64, kPropertiesShiftJis},
        LoadCase{"SecondBlock", 932, 0x0411, IDS_LAST, 64, kLastShiftJis},
        // cchBufferMax counts the terminator; a cut never splits a character.
        LoadCase{"CutToTheBuffer", CP_UTF8, 0x0409, IDS_PORT, 3, "Po"},
        LoadCase{"CutBetweenDoubleBytes", 932, 0x0411, IDS_PORT, 4, "\x83\x7C"},
        LoadCase{"CutBetweenUtf8Sequences", CP_UTF8, 0x0411, IDS_PORT, 7, "\xE3\x83\x9D\xE3\x83\xBC"},
        LoadCase{"ExactFit", 932, 0x0411, IDS_PORT, 7, kPortShiftJis}),
    [](const ::testing::TestParamInfo<LoadCase>& info) { return std::string(info.param.name); });

struct MissingCase
{
    const char* name;
    UINT id;
};

class MissingStringTest : public ::testing::TestWithParam<MissingCase>
{
};

TEST_P(MissingStringTest, AStringThatIsNotThereLoadsAsNothing)
{
    StringMachine machine(932, 0x0411);
    char narrow[16] = "unchanged";
    SetLastError(0);
    EXPECT_EQ(LoadStringA(machine.module, GetParam().id, narrow, sizeof(narrow)), 0);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_RESOURCE_NAME_NOT_FOUND));
    EXPECT_EQ(narrow[0], 0);
    WCHAR wide[16] = {'u', 0};
    SetLastError(0);
    EXPECT_EQ(LoadStringW(machine.module, GetParam().id, wide, 16), 0);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_RESOURCE_NAME_NOT_FOUND));
    EXPECT_EQ(wide[0], 0);
}

INSTANTIATE_TEST_SUITE_P(Missing, MissingStringTest,
                         ::testing::Values(MissingCase{"EmptyInItsBlock", IDS_MISSING},
                                           MissingCase{"BlockMissing", 100}),
                         [](const ::testing::TestParamInfo<MissingCase>& info) {
                             return std::string(info.param.name);
                         });

TEST(LoadStringW, WithoutABufferSizeItGivesAPointerIntoTheResource)
{
    StringMachine machine(932, 0x0411);
    const WCHAR* text = nullptr;
    EXPECT_EQ(LoadStringW(machine.module, IDS_PORT, reinterpret_cast<LPWSTR>(&text), 0), 3);
    ASSERT_NE(text, nullptr);
    EXPECT_EQ(std::u16string(reinterpret_cast<const char16_t*>(text), 3), u"ポート");
    // Copied, cut to the buffer with its terminator.
    WCHAR copy[3] = {};
    EXPECT_EQ(LoadStringW(machine.module, IDS_PORT, copy, 3), 2);
    EXPECT_EQ(std::u16string(reinterpret_cast<const char16_t*>(copy)), u"ポー");
    // A thread that sets its own UI language gets the English text.
    SetThreadUILanguage(MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US));
    WCHAR english[8] = {};
    EXPECT_EQ(LoadStringW(machine.module, IDS_PORT, english, 8), 4);
    EXPECT_EQ(std::u16string(reinterpret_cast<const char16_t*>(english)), u"Port");
    SetThreadUILanguage(0);
}

} // namespace

namespace
{

// CharNextA steps over whole characters of the machine's code page: a Shift-JIS lead byte takes
// its trail byte along (even one that looks like an ASCII letter), UTF-8 goes byte by byte.
TEST(CharNextA, StepsOverWholeCharactersOfTheCodePage)
{
    struct Case
    {
        const char* name;
        unsigned codePage;
        const char* text;
        std::vector<size_t> steps; // the offsets CharNextA visits from 0 to the terminator
    };
    const Case cases[] = {
        {"ASCII", 932, "COM3", {1, 2, 3, 4, 4}},
        {"lead and trail bytes", 932, "\x83\x43OM", {2, 3, 4, 4}}, // 0x43 is both 'C' and a trail byte
        {"a lead byte before the terminator", 932, "A\x83", {1, 2, 2}},
        {"UTF-8 byte by byte", 65001, kPortUtf8, {1, 2, 3, 4, 5, 6, 7, 8, 9, 9}},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.name);
        StringMachine machine(c.codePage, MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US));
        std::vector<size_t> steps;
        const char* p = c.text;
        for (size_t i = 0; i < c.steps.size(); ++i)
        {
            p = CharNextA(p);
            steps.push_back(static_cast<size_t>(p - c.text));
        }
        EXPECT_EQ(steps, c.steps);
    }
}

} // namespace
