// winsim-rc: string tables, dialog templates and the styles each control keyword implies, its
// diagnostics, and its bytes against the MinGW resource compiler's, through the real executable.
#include "base/resources.h"
#include "base/unicode.h"

#include "DialogTemplateView.h"
#include "ToolTestSupport.h"

#include <gtest/gtest.h>

#include <map>
#include <tuple>

#include "TableCases.h"

namespace
{

using toolstest::DialogTemplateView;
using toolstest::ReadBytes;
using toolstest::RunTool;
using toolstest::StringResource;
using toolstest::TempDir;
using toolstest::WriteText;
using winsimtest::PrintTo;

constexpr uint16_t kEnglishUs = 0x0409;
constexpr uint16_t kJapanese = 0x0411;

// Compiles a script written into a fresh folder (with a header "ids.h" beside it) and reads back
// the resources it produced.
struct Compiled
{
    int exitCode = -1;
    std::string errors;
    std::optional<winsim::ResourceSet> resources;
};

Compiled CompileScript(const std::string& script, const std::string& header = std::string())
{
    TempDir dir;
    WriteText(dir / "test.rc", script);
    WriteText(dir / "ids.h", header);
    Compiled compiled;
    toolstest::RunResult run =
        RunTool(WINSIM_RC, {"--container", (dir / "test.bin").string(), (dir / "test.rc").string()},
                dir / "errors.txt");
    compiled.exitCode = run.exitCode;
    compiled.errors = run.errors;
    if (run.exitCode == 0)
    {
        compiled.resources = winsim::ResourceSet::FromSection(ReadBytes(dir / "test.bin"));
    }
    return compiled;
}

// ---- String tables -----------------------------------------------------------------------------

struct StringCase
{
    const char* name;
    const char* table; // the body of a STRINGTABLE
    uint32_t id;
    std::u16string text;
};

class StringTableTest : public ::testing::TestWithParam<StringCase>
{
};

TEST_P(StringTableTest, EachStringIsStoredAsTheResourceCompilerStoresIt)
{
    const StringCase& c = GetParam();
    Compiled compiled = CompileScript("#pragma code_page(65001)\n#include \"ids.h\"\nSTRINGTABLE\nBEGIN\n" +
                                          std::string(c.table) + "\nEND\n",
                                      "#define IDS_BASE 30\n");
    ASSERT_EQ(compiled.exitCode, 0) << compiled.errors;
    ASSERT_TRUE(compiled.resources.has_value());
    EXPECT_EQ(StringResource(*compiled.resources, kEnglishUs, c.id), std::optional<std::u16string>(c.text));
}

INSTANTIATE_TEST_SUITE_P(
    Strings, StringTableTest,
    ::testing::Values(StringCase{"Plain", "5 \"plain\"", 5, u"plain"},
                      StringCase{"CommaAfterId", "5, \"comma\"", 5, u"comma"},
                      StringCase{"ControlEscapes", R"(1 "a\tb\r\nc")", 1, u"a\tb\r\nc"},
                      StringCase{"Backslash", R"(1 "a\\b")", 1, u"a\\b"},
                      StringCase{"DoubledQuote", R"(1 "say ""hi""")", 1, u"say \"hi\""},
                      StringCase{"BackslashQuote", R"(1 "say \"hi\"")", 1, u"say \"hi\""},
                      StringCase{"AdjacentStringsJoin", "1 \"ab\" \"cd\"", 1, u"abcd"},
                      StringCase{"WideString", "1 L\"wide\"", 1, u"wide"},
                      StringCase{"Utf8Text", "1 \"ポート\"", 1, u"ポート"},
                      StringCase{"IdFromHeader", "IDS_BASE + 2 \"defined\"", 32, u"defined"},
                      StringCase{"HexId", "0x11 \"hex\"", 17, u"hex"},
                      StringCase{"EmptyString", "3 \"\"\n4 \"x\"", 3, u""}),
    [](const ::testing::TestParamInfo<StringCase>& info) { return std::string(info.param.name); });

TEST(StringTableLayout, StringsAreGroupedInBlocksOfSixteenPerLanguage)
{
    Compiled compiled =
        CompileScript("LANGUAGE 0x11, 1\n"
                      "STRINGTABLE\nBEGIN\n 15 \"last of block one\"\n 16 \"ab\"\n 40 \"c\"\nEND\n"
                      "STRINGTABLE\nLANGUAGE 9, 1\nBEGIN\n 16 \"en\"\nEND\n");
    ASSERT_EQ(compiled.exitCode, 0) << compiled.errors;
    const winsim::ResourceSet& set = *compiled.resources;
    std::vector<std::tuple<uint32_t, uint32_t, uint16_t>> found;
    for (const winsim::Resource& resource : set.All())
    {
        found.emplace_back(resource.type, resource.id, resource.language);
    }
    std::sort(found.begin(), found.end());
    const std::vector<std::tuple<uint32_t, uint32_t, uint16_t>> expected = {
        {winsim::kResourceTypeString, 1, kJapanese},
        {winsim::kResourceTypeString, 2, kEnglishUs},
        {winsim::kResourceTypeString, 2, kJapanese},
        {winsim::kResourceTypeString, 3, kJapanese},
    };
    EXPECT_EQ(found, expected);
    // Block 2 holds strings 16 to 31: a count and the units of each, empty ones as a zero count.
    const winsim::Resource* block = set.FindExact(winsim::kResourceTypeString, 2, kJapanese);
    ASSERT_NE(block, nullptr);
    std::vector<uint8_t> expectedBytes = {2, 0, 'a', 0, 'b', 0};
    expectedBytes.resize(6 + 15 * 2, 0);
    EXPECT_EQ(block->data, expectedBytes);
    EXPECT_EQ(StringResource(set, kJapanese, 15), std::optional<std::u16string>(u"last of block one"));
    EXPECT_EQ(StringResource(set, kJapanese, 40), std::optional<std::u16string>(u"c"));
    EXPECT_EQ(StringResource(set, kEnglishUs, 16), std::optional<std::u16string>(u"en"));
}

// ---- Dialogs -------------------------------------------------------------------------------------

struct ControlCase
{
    const char* name;
    const char* statement;
    uint32_t style;
    uint32_t exStyle;
    uint16_t classAtom; // 0: a named class
    std::u16string className;
    std::u16string text;
};

class DialogControlTest : public ::testing::TestWithParam<ControlCase>
{
};

// The styles are those the MinGW resource compiler gives each keyword: without a style its
// default, with one the style applied to the keyword's base, always with WS_CHILD | WS_VISIBLE.
TEST_P(DialogControlTest, EachControlKeywordImpliesItsClassAndStyles)
{
    const ControlCase& c = GetParam();
    Compiled compiled = CompileScript("#include <windows.h>\n1 DIALOGEX 0, 0, 100, 100\nBEGIN\n    " +
                                      std::string(c.statement) + "\nEND\n");
    ASSERT_EQ(compiled.exitCode, 0) << compiled.errors;
    const winsim::Resource* resource =
        compiled.resources->FindExact(winsim::kResourceTypeDialog, 1, kEnglishUs);
    ASSERT_NE(resource, nullptr);
    std::optional<DialogTemplateView> dialog = DialogTemplateView::Parse(resource->data);
    ASSERT_TRUE(dialog.has_value());
    ASSERT_EQ(dialog->items.size(), 1u);
    const DialogTemplateView::Item& item = dialog->items[0];
    EXPECT_EQ(item.style, c.style);
    EXPECT_EQ(item.exStyle, c.exStyle);
    EXPECT_EQ(item.classAtom, c.classAtom);
    EXPECT_EQ(item.className, c.className);
    EXPECT_EQ(item.text, c.text);
    EXPECT_EQ(item.id, 7u);
    EXPECT_EQ(std::make_tuple(item.x, item.y, item.cx, item.cy), std::make_tuple(1, 2, 3, 4));
}

INSTANTIATE_TEST_SUITE_P(
    Controls, DialogControlTest,
    ::testing::Values(
        ControlCase{"Ltext", "LTEXT \"t\", 7, 1, 2, 3, 4", 0x50020000, 0, 0x82, u"", u"t"},
        ControlCase{"Rtext", "RTEXT \"t\", 7, 1, 2, 3, 4", 0x50020002, 0, 0x82, u"", u"t"},
        ControlCase{"Ctext", "CTEXT \"t\", 7, 1, 2, 3, 4", 0x50020001, 0, 0x82, u"", u"t"},
        ControlCase{"LtextWithStyleHasNoGroup", "LTEXT \"t\", 7, 1, 2, 3, 4, SS_NOTIFY", 0x50000100, 0, 0x82,
                    u"", u"t"},
        ControlCase{"LtextNotGroup", "LTEXT \"t\", 7, 1, 2, 3, 4, NOT WS_GROUP", 0x50000000, 0, 0x82, u"",
                    u"t"},
        ControlCase{"Combobox", "COMBOBOX 7, 1, 2, 3, 4", 0x50010001, 0, 0x85, u"", u""},
        ControlCase{"ComboboxWithStyle", "COMBOBOX 7, 1, 2, 3, 4, CBS_DROPDOWNLIST | WS_VSCROLL", 0x50200003,
                    0, 0x85, u"", u""},
        ControlCase{"Edittext", "EDITTEXT 7, 1, 2, 3, 4", 0x50810000, 0, 0x81, u"", u""},
        ControlCase{"EdittextKeepsBorderAndTab", "EDITTEXT 7, 1, 2, 3, 4, ES_NUMBER, WS_EX_CLIENTEDGE",
                    0x50812000, 0x200, 0x81, u"", u""},
        ControlCase{"Pushbutton", "PUSHBUTTON \"p\", 7, 1, 2, 3, 4", 0x50010000, 0, 0x80, u"", u"p"},
        ControlCase{"PushbuttonNotTabstop", "PUSHBUTTON \"p\", 7, 1, 2, 3, 4, NOT WS_TABSTOP", 0x50000000, 0,
                    0x80, u"", u"p"},
        ControlCase{"Defpushbutton", "DEFPUSHBUTTON \"d\", 7, 1, 2, 3, 4", 0x50010001, 0, 0x80, u"", u"d"},
        ControlCase{"ControlClassInCapitals", "CONTROL \"c\", 7, \"Button\", BS_AUTOCHECKBOX, 1, 2, 3, 4",
                    0x50000003, 0, 0, u"BUTTON", u"c"},
        ControlCase{"ControlExStyle", "CONTROL \"\", 7, \"SysListView32\", NOT WS_VISIBLE, 1, 2, 3, 4, 0x200",
                    0x40000000, 0x200, 0, u"SYSLISTVIEW32", u""},
        ControlCase{"ExpressionsInPlaces", "LTEXT \"t\", 5 + 2, 2 - 1, (2 | 0), 0x3, 4 & 0xFF", 0x50020000, 0,
                    0x82, u"", u"t"}),
    [](const ::testing::TestParamInfo<ControlCase>& info) { return std::string(info.param.name); });

struct DialogStyleCase
{
    const char* name;
    const char* statements; // between the DIALOGEX line and BEGIN
    uint32_t style;
    uint16_t pointSize;
    uint8_t charset;
};

class DialogStyleTest : public ::testing::TestWithParam<DialogStyleCase>
{
};

TEST_P(DialogStyleTest, CaptionFontAndStyleAddUpAsTheResourceCompilerAddsThem)
{
    const DialogStyleCase& c = GetParam();
    Compiled compiled = CompileScript("#include <windows.h>\n1 DIALOGEX 0, 0, 10, 10\n" +
                                      std::string(c.statements) + "\nBEGIN\nEND\n");
    ASSERT_EQ(compiled.exitCode, 0) << compiled.errors;
    const winsim::Resource* resource =
        compiled.resources->FindExact(winsim::kResourceTypeDialog, 1, kEnglishUs);
    ASSERT_NE(resource, nullptr);
    std::optional<DialogTemplateView> dialog = DialogTemplateView::Parse(resource->data);
    ASSERT_TRUE(dialog.has_value());
    EXPECT_EQ(dialog->style, c.style);
    EXPECT_EQ(dialog->pointSize, c.pointSize);
    EXPECT_EQ(dialog->charset, c.charset);
}

INSTANTIATE_TEST_SUITE_P(
    Styles, DialogStyleTest,
    ::testing::Values(DialogStyleCase{"NoStyleIsAPopupWithBorderAndMenu", "", 0x80880000, 0, 0},
                      DialogStyleCase{"CaptionAddsCaption", "CAPTION \"c\"", 0x80C80000, 0, 0},
                      DialogStyleCase{"FontAddsSetFont", "FONT 8, \"f\"", 0x80880040, 8, 1},
                      DialogStyleCase{"StyleReplacesThePopup", "STYLE WS_CHILD", 0x40000000, 0, 0},
                      DialogStyleCase{"CaptionBeforeStyleStays", "CAPTION \"c\"\nSTYLE WS_CHILD", 0x40C00000,
                                      0, 0},
                      DialogStyleCase{"TwoStylesAddUp", "STYLE WS_CHILD\nSTYLE WS_VISIBLE", 0x50000000, 0, 0},
                      DialogStyleCase{"SetFontWithoutFont", "STYLE WS_CHILD | DS_SETFONT", 0x40000040, 0, 0},
                      DialogStyleCase{"FontWithCharset", "FONT 9, \"f\", 400, 0, 128", 0x80880040, 9, 128}),
    [](const ::testing::TestParamInfo<DialogStyleCase>& info) { return std::string(info.param.name); });

TEST(DialogTemplate, AClassicDialogUsesWordIdsAndNoExtendedFields)
{
    Compiled compiled = CompileScript("#include <windows.h>\n"
                                      "LANGUAGE LANG_JAPANESE, SUBLANG_DEFAULT\n"
                                      "9 DIALOG 1, 2, 30, 40\nSTYLE WS_POPUP\nFONT 8, \"F\"\n"
                                      "BEGIN\n  LTEXT \"L\", -1, 1, 2, 3, 4\nEND\n");
    ASSERT_EQ(compiled.exitCode, 0) << compiled.errors;
    const winsim::Resource* resource =
        compiled.resources->FindExact(winsim::kResourceTypeDialog, 9, kJapanese);
    ASSERT_NE(resource, nullptr);
    const std::vector<uint8_t> expected = {
        0x40, 0x00, 0x00, 0x80,                         // style: WS_POPUP | DS_SETFONT
        0x00, 0x00, 0x00, 0x00,                         // extended style
        0x01, 0x00,                                     // one item
        0x01, 0x00, 0x02, 0x00, 0x1E, 0x00, 0x28, 0x00, // 1, 2, 30, 40
        0x00, 0x00, 0x00, 0x00, 0x00, 0x00,             // no menu, the dialog class, no caption
        0x08, 0x00, 'F',  0x00, 0x00, 0x00,             // 8 points, "F"
        0x00, 0x00,                                     // to a DWORD boundary
        0x00, 0x00, 0x02, 0x50,                         // the item: WS_CHILD | WS_VISIBLE | WS_GROUP
        0x00, 0x00, 0x00, 0x00,                         // extended style
        0x01, 0x00, 0x02, 0x00, 0x03, 0x00, 0x04, 0x00, // 1, 2, 3, 4
        0xFF, 0xFF,                                     // id -1 as a WORD
        0xFF, 0xFF, 0x82, 0x00,                         // class: the static control's atom
        'L',  0x00, 0x00, 0x00,                         // "L"
        0x00, 0x00};                                    // no creation data
    EXPECT_EQ(resource->data, expected);
}

// ---- Diagnostics ---------------------------------------------------------------------------------

struct ErrorCase
{
    const char* name;
    const char* script;
    const char* error; // what stderr must contain
};

class ResourceCompilerErrorTest : public ::testing::TestWithParam<ErrorCase>
{
};

TEST_P(ResourceCompilerErrorTest, AnUnsupportedScriptFailsAtItsFileAndLine)
{
    const ErrorCase& c = GetParam();
    Compiled compiled = CompileScript(c.script);
    EXPECT_EQ(compiled.exitCode, 1);
    EXPECT_NE(compiled.errors.find(c.error), std::string::npos) << compiled.errors;
}

INSTANTIATE_TEST_SUITE_P(
    Errors, ResourceCompilerErrorTest,
    ::testing::Values(
        ErrorCase{"OtherCodePage", "\n#pragma code_page(932)\n",
                  "test.rc:2: error: #pragma code_page(932) is not supported"},
        ErrorCase{"TextNotAsciiWithoutCodePage", "STRINGTABLE\nBEGIN\n 1 \"ポート\"\nEND\n",
                  "test.rc:3: error: text that is not ASCII needs #pragma code_page(65001)"},
        ErrorCase{"UnknownName", "STRINGTABLE\nBEGIN\n IDS_NOWHERE \"x\"\nEND\n",
                  "test.rc:3: error: unknown name IDS_NOWHERE"},
        ErrorCase{"ConstantWithoutWindowsHeader", "1 DIALOG 0,0,1,1\nSTYLE WS_CHILD\nBEGIN\nEND\n",
                  "test.rc:2: error: unknown name WS_CHILD (is #include <windows.h> missing?)"},
        ErrorCase{"UnsupportedControl",
                  "#include <windows.h>\n1 DIALOG 0,0,1,1\nBEGIN\n LISTBOX 1, 0, 0, 1, 1\nEND\n",
                  "test.rc:4: error: unsupported control LISTBOX"},
        ErrorCase{"NamedResource", "MAINDIALOG DIALOG 0,0,1,1\nBEGIN\nEND\n",
                  "test.rc:1: error: named resources are not supported"},
        ErrorCase{"UnsupportedResourceType", "\n1 ICON \"app.ico\"\n",
                  "test.rc:2: error: unsupported resource type ICON"},
        ErrorCase{"MissingInclude", "#include \"nowhere.h\"\n",
                  "test.rc:1: error: cannot find the included file"},
        ErrorCase{"StringTwice", "STRINGTABLE\nBEGIN\n 1 \"a\"\n 1 \"b\"\nEND\n",
                  "test.rc:4: error: string 1 is defined twice"},
        ErrorCase{"UnknownEscape", "STRINGTABLE\nBEGIN\n 1 \"a\\qb\"\nEND\n",
                  "test.rc:3: error: unsupported escape \\q"},
        ErrorCase{"UnclosedString", "STRINGTABLE\nBEGIN\n 1 \"abc\nEND\n",
                  "test.rc:3: error: the string has no closing quote"},
        ErrorCase{"ConditionalDirective", "#ifdef X\n#endif\n",
                  "test.rc:1: error: unsupported preprocessor directive #ifdef"},
        ErrorCase{"MenuInDialog", "1 DIALOG 0,0,1,1\nMENU 5\nBEGIN\nEND\n",
                  "test.rc:2: error: unsupported dialog statement MENU"}),
    [](const ::testing::TestParamInfo<ErrorCase>& info) { return std::string(info.param.name); });

// ---- The same bytes as the MinGW resource compiler -------------------------------------------------

// The resources of a .res file: (type, id, language) to data, numbered ones only.
using ResourceMap = std::map<std::tuple<uint32_t, uint32_t, uint16_t>, std::vector<uint8_t>>;

ResourceMap ReadResFile(const std::vector<uint8_t>& file)
{
    ResourceMap resources;
    auto u16 = [&](size_t at) { return static_cast<uint32_t>(file[at] | (file[at + 1] << 8)); };
    auto u32 = [&](size_t at) { return u16(at) | (u16(at + 2) << 16); };
    size_t at = 0;
    while (at + 32 <= file.size())
    {
        const uint32_t dataSize = u32(at);
        const uint32_t headerSize = u32(at + 4);
        size_t field = at + 8;
        uint32_t numbers[2] = {};
        for (uint32_t& number : numbers)
        {
            if (u16(field) == 0xFFFF)
            {
                number = u16(field + 2);
                field += 4;
            }
            else
            {
                number = 0xFFFFFFFF; // a name
                while (u16(field) != 0)
                {
                    field += 2;
                }
                field += 2;
            }
        }
        field = (field + 3) & ~size_t(3);
        const uint16_t language = static_cast<uint16_t>(u16(field + 6));
        if (dataSize != 0)
        {
            resources[{numbers[0], numbers[1], language}] =
                std::vector<uint8_t>(file.begin() + static_cast<long>(at + headerSize),
                                     file.begin() + static_cast<long>(at + headerSize + dataSize));
        }
        at = (at + headerSize + dataSize + 3) & ~size_t(3);
    }
    return resources;
}

struct WindresCase
{
    const char* name;
    const char* script;
};

class WindresComparisonTest : public ::testing::TestWithParam<WindresCase>
{
};

TEST_P(WindresComparisonTest, EveryResourceHasTheBytesTheMinGwResourceCompilerWrites)
{
    const std::string windres = toolstest::FindProgram("x86_64-w64-mingw32-windres");
    if (windres.empty())
    {
        GTEST_SKIP() << "x86_64-w64-mingw32-windres is not installed";
    }
    const std::filesystem::path script = GetParam().script;
    TempDir dir;
    toolstest::RunResult reference = RunTool(windres,
                                             {"-O", "res", "-I", script.parent_path().string(), "-i",
                                              script.string(), "-o", (dir / "reference.res").string()},
                                             dir / "windres-errors.txt");
    ASSERT_EQ(reference.exitCode, 0) << reference.errors;
    toolstest::RunResult ours =
        RunTool(WINSIM_RC, {"--container", (dir / "ours.bin").string(), script.string()}, dir / "errors.txt");
    ASSERT_EQ(ours.exitCode, 0) << ours.errors;

    const ResourceMap expected = ReadResFile(ReadBytes(dir / "reference.res"));
    std::optional<winsim::ResourceSet> set = winsim::ResourceSet::FromSection(ReadBytes(dir / "ours.bin"));
    ASSERT_TRUE(set.has_value());
    ResourceMap actual;
    for (const winsim::Resource& resource : set->All())
    {
        actual[{resource.type, resource.id, resource.language}] = resource.data;
    }
    EXPECT_FALSE(expected.empty());
    EXPECT_EQ(actual, expected);
}

INSTANTIATE_TEST_SUITE_P(Scripts, WindresComparisonTest,
                         ::testing::Values(WindresCase{"EveryStatement", TEST_DATA_DIR "/controls.rc"},
                                           WindresCase{"PortPage", PORTPAGE_DIR "/Cassel.rc"}),
                         [](const ::testing::TestParamInfo<WindresCase>& info) {
                             return std::string(info.param.name);
                         });

} // namespace
