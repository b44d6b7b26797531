// FindResourceA, FindResourceExA, LoadResource, LockResource and SizeofResource over the resources
// a module carries: a probe DLL with a message table in English and Japanese.
#include <windows.h>
#include <winsim/user.h>

#include <gtest/gtest.h>

#include <string>
#include <string_view>

#include "TableCases.h"

namespace
{

using winsimtest::PrintTo;

const char16_t kEnglishText[] = u"Device status changed from D0 to D3. (Sleep)";
const char16_t kJapaneseText[] = u"デバイスステータスがD0からD3に遷移しました。(スリープ)";

// Whether the bytes of a resource hold a text in UTF-16.
bool HoldsText(const void* data, DWORD size, std::u16string_view text)
{
    std::string_view bytes(static_cast<const char*>(data), size);
    std::string_view wanted(reinterpret_cast<const char*>(text.data()), text.size() * sizeof(char16_t));
    return bytes.find(wanted) != std::string_view::npos;
}

class ResourceTest : public ::testing::Test
{
  protected:
    void SetUp() override
    {
        m_module = LoadLibraryA(m_path.c_str());
        ASSERT_NE(m_module, nullptr);
    }
    void TearDown() override
    {
        if (m_module != nullptr)
        {
            FreeLibrary(m_module);
        }
    }

    // The text of the message table FindResourceExA finds in a language: which of the two.
    std::u16string_view TableLanguageFound(WORD language)
    {
        HRSRC info = FindResourceExA(m_module, RT_MESSAGETABLE, MAKEINTRESOURCEA(1), language);
        if (info == nullptr)
        {
            return u"(none)";
        }
        const void* data = LockResource(LoadResource(m_module, info));
        DWORD size = SizeofResource(m_module, info);
        if (HoldsText(data, size, kEnglishText))
        {
            return u"English";
        }
        return HoldsText(data, size, kJapaneseText) ? u"Japanese" : u"(other)";
    }

    std::string m_path = winsim::ToWindowsPath(std::string(PROBE_DIR) + "/WinsimResources.dll");
    HMODULE m_module = nullptr;
};

TEST_F(ResourceTest, AResourceFoundByNumberIsLoadedWithItsSizeAndData)
{
    HRSRC info = FindResourceA(m_module, MAKEINTRESOURCEA(1), RT_MESSAGETABLE);
    ASSERT_NE(info, nullptr);
    HGLOBAL loaded = LoadResource(m_module, info);
    ASSERT_NE(loaded, nullptr);
    const void* data = LockResource(loaded);
    EXPECT_EQ(data, static_cast<const void*>(loaded));
    DWORD size = SizeofResource(m_module, info);
    EXPECT_EQ(size % 4, 0u);
    // The thread's UI language is English (United States) on a default machine.
    EXPECT_TRUE(HoldsText(data, size, kEnglishText));
    EXPECT_FALSE(HoldsText(data, size, kJapaneseText));
    EXPECT_EQ(FreeResource(loaded), FALSE);
}

TEST_F(ResourceTest, NumbersWrittenAsHashStringsNameTheSameResource)
{
    HRSRC byNumber = FindResourceA(m_module, MAKEINTRESOURCEA(1), RT_MESSAGETABLE);
    EXPECT_EQ(FindResourceA(m_module, "#1", "#11"), byNumber);
    EXPECT_EQ(FindResourceA(m_module, "#1", RT_MESSAGETABLE), byNumber);
    EXPECT_NE(byNumber, nullptr);
}

TEST_F(ResourceTest, TheModuleHandleFromGetModuleHandleFindsTheSameResources)
{
    HMODULE byName = GetModuleHandleA("WinsimResources.dll");
    EXPECT_EQ(byName, m_module);
    EXPECT_EQ(FindResourceA(byName, MAKEINTRESOURCEA(1), RT_MESSAGETABLE),
              FindResourceA(m_module, MAKEINTRESOURCEA(1), RT_MESSAGETABLE));
}

struct LanguageCase
{
    const char* name;
    WORD language;
    std::u16string_view found;
};

class ResourceLanguageTest : public ResourceTest, public ::testing::WithParamInterface<LanguageCase>
{
};

TEST_P(ResourceLanguageTest, FindResourceExFallsBackAsWindowsDoes)
{
    EXPECT_EQ(TableLanguageFound(GetParam().language), GetParam().found);
}

INSTANTIATE_TEST_SUITE_P(
    Languages, ResourceLanguageTest,
    ::testing::Values(
        LanguageCase{"Japanese", MAKELANGID(LANG_JAPANESE, SUBLANG_JAPANESE_JAPAN), u"Japanese"},
        LanguageCase{"EnglishUs", MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US), u"English"},
        // Neutral: the thread's UI language.
        LanguageCase{"NeutralIsTheThreadsLanguage", MAKELANGID(LANG_NEUTRAL, SUBLANG_NEUTRAL), u"English"},
        // German (Germany) is not there: English (United States) is the fallback.
        LanguageCase{"GermanFallsBackToEnglish", 0x0407, u"English"}),
    [](const ::testing::TestParamInfo<LanguageCase>& info) { return std::string(info.param.name); });

struct LookupFailure
{
    const char* name;
    bool program; // look in the program instead of the probe
    LPCSTR type;
    LPCSTR id;
    DWORD error;
};

class ResourceFailureTest : public ResourceTest, public ::testing::WithParamInterface<LookupFailure>
{
};

TEST_P(ResourceFailureTest, AResourceThatIsNotThereFailsWithWindowsError)
{
    const LookupFailure& c = GetParam();
    SetLastError(0);
    EXPECT_EQ(FindResourceA(c.program ? nullptr : m_module, c.id, c.type), nullptr);
    EXPECT_EQ(GetLastError(), c.error);
    SetLastError(0);
    EXPECT_EQ(FindResourceExA(c.program ? nullptr : m_module, c.type, c.id, 0), nullptr);
    EXPECT_EQ(GetLastError(), c.error);
}

INSTANTIATE_TEST_SUITE_P(
    Failures, ResourceFailureTest,
    ::testing::Values(
        LookupFailure{"TypeMissing", false, RT_STRING, MAKEINTRESOURCEA(1), ERROR_RESOURCE_TYPE_NOT_FOUND},
        LookupFailure{"TypeNamed", false, "MESSAGES", MAKEINTRESOURCEA(1), ERROR_RESOURCE_TYPE_NOT_FOUND},
        LookupFailure{"IdMissing", false, RT_MESSAGETABLE, MAKEINTRESOURCEA(2),
                      ERROR_RESOURCE_NAME_NOT_FOUND},
        LookupFailure{"IdAsHashStringMissing", false, RT_MESSAGETABLE, "#2", ERROR_RESOURCE_NAME_NOT_FOUND},
        LookupFailure{"IdNamed", false, RT_MESSAGETABLE, "TABLE", ERROR_RESOURCE_NAME_NOT_FOUND},
        // The test program carries no resource section.
        LookupFailure{"ProgramWithoutResources", true, RT_MESSAGETABLE, MAKEINTRESOURCEA(1),
                      ERROR_RESOURCE_DATA_NOT_FOUND}),
    [](const ::testing::TestParamInfo<LookupFailure>& info) { return std::string(info.param.name); });

} // namespace
