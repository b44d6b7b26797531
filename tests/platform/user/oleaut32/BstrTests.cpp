// oleaut32's automation strings and variants: the length prefix before the text, the terminator
// after it, and what clearing a variant frees.
#include <windows.h>
#include <oleauto.h>

#include <gtest/gtest.h>

#include <string.h>

#include <string>

namespace
{

// The 4-byte prefix before a BSTR's text.
DWORD PrefixOf(BSTR text)
{
    DWORD prefix = 0;
    memcpy(&prefix, reinterpret_cast<const BYTE*>(text) - sizeof(DWORD), sizeof(prefix));
    return prefix;
}

struct ByteLenCase
{
    const char* name;
    const char* data; // null: uninitialised storage
    UINT length;
};

class SysAllocStringByteLenTest : public ::testing::TestWithParam<ByteLenCase>
{
};

TEST_P(SysAllocStringByteLenTest, PrefixesTheByteLengthAndTerminatesWithTwoNulBytes)
{
    const ByteLenCase& c = GetParam();
    BSTR text = SysAllocStringByteLen(c.data, c.length);
    ASSERT_NE(text, nullptr);
    EXPECT_EQ(PrefixOf(text), c.length);
    EXPECT_EQ(SysStringByteLen(text), c.length);
    EXPECT_EQ(SysStringLen(text), c.length / 2);
    const BYTE* bytes = reinterpret_cast<const BYTE*>(text);
    if (c.data != nullptr)
    {
        EXPECT_EQ(memcmp(bytes, c.data, c.length), 0);
    }
    EXPECT_EQ(bytes[c.length], 0);
    EXPECT_EQ(bytes[c.length + 1], 0);
    SysFreeString(text);
}

INSTANTIATE_TEST_SUITE_P(Lengths, SysAllocStringByteLenTest,
                         ::testing::Values(ByteLenCase{"Empty", "", 0}, ByteLenCase{"OddBytes", "abc", 3},
                                           ByteLenCase{"EmbeddedNul", "a\0b\0", 4},
                                           ByteLenCase{"PartOfLongerText", "COM3 and more", 4},
                                           ByteLenCase{"Uninitialised", nullptr, 7},
                                           ByteLenCase{"UninitialisedEmpty", nullptr, 0}),
                         [](const ::testing::TestParamInfo<ByteLenCase>& info) { return info.param.name; });

TEST(BstrTest, SysAllocStringCopiesTheTextAndCountsItsCharacters)
{
    BSTR text = SysAllocString(L"ROOT\\CIMV2");
    ASSERT_NE(text, nullptr);
    EXPECT_EQ(PrefixOf(text), 20u);
    EXPECT_EQ(SysStringLen(text), 10u);
    EXPECT_EQ(SysStringByteLen(text), 20u);
    EXPECT_EQ(std::u16string(reinterpret_cast<const char16_t*>(text)), u"ROOT\\CIMV2");
    // The text is 8-byte aligned, as on 64-bit Windows.
    EXPECT_EQ(reinterpret_cast<uintptr_t>(text) % 8, 0u);
    SysFreeString(text);

    BSTR empty = SysAllocString(L"");
    ASSERT_NE(empty, nullptr);
    EXPECT_EQ(SysStringLen(empty), 0u);
    EXPECT_EQ(empty[0], 0);
    SysFreeString(empty);
}

TEST(BstrTest, NullStringsHaveNoLengthAndFreeingOneIsHarmless)
{
    EXPECT_EQ(SysAllocString(nullptr), nullptr);
    EXPECT_EQ(SysStringLen(nullptr), 0u);
    EXPECT_EQ(SysStringByteLen(nullptr), 0u);
    SysFreeString(nullptr);
}

// Counts its references; tells when the last went.
struct CountedObject final : IUnknown
{
    ULONG references = 1;
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID, void** object) override
    {
        *object = nullptr;
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return ++references; }
    ULONG STDMETHODCALLTYPE Release() override { return --references; }
};

TEST(VariantTest, ClearingFreesAStringAndReleasesAnObjectButNotAReference)
{
    VARIANT value;
    VariantInit(&value);
    EXPECT_EQ(value.vt, VT_EMPTY);

    value.vt = VT_BSTR;
    value.bstrVal = SysAllocString(L"COM3");
    EXPECT_EQ(VariantClear(&value), S_OK); // ASan tells if the string were left behind
    EXPECT_EQ(value.vt, VT_EMPTY);

    CountedObject object;
    object.AddRef();
    value.vt = VT_UNKNOWN;
    value.punkVal = &object;
    EXPECT_EQ(VariantClear(&value), S_OK);
    EXPECT_EQ(object.references, 1u);

    value.vt = VT_UNKNOWN | VT_BYREF;
    IUnknown* pointer = &object;
    value.byref = &pointer;
    EXPECT_EQ(VariantClear(&value), S_OK);
    EXPECT_EQ(object.references, 1u);
    EXPECT_EQ(value.vt, VT_EMPTY);

    value.vt = VT_I4;
    value.lVal = 3;
    EXPECT_EQ(VariantClear(&value), S_OK);
    EXPECT_EQ(value.vt, VT_EMPTY);
}

TEST(VariantTest, AnUnknownTypeIsLeftAlone)
{
    VARIANT value;
    value.vt = 0x0FFF;
    EXPECT_EQ(VariantClear(&value), DISP_E_BADVARTYPE);
    EXPECT_EQ(value.vt, 0x0FFF);
}

} // namespace
