// The resource reader: the embedded container, the ELF section reader on a real module built with
// winsim_message_table, lookup with the language fallback, and message-table decoding.
#include "base/resources.h"

#include "ToolTestSupport.h"

#include <dlfcn.h>

#include <gtest/gtest.h>

// The array that winsim_message_table embedded into this program, named after the message file.
extern "C" const unsigned char winsim_rsrc_test_messages[] __attribute__((visibility("hidden")));

namespace
{

using toolstest::ReadBytes;
using toolstest::TempDir;
using toolstest::WriteText;

constexpr uint16_t kEnglish = 0x0409;
constexpr uint16_t kJapanese = 0x0411;

struct MessageCase
{
    uint32_t id;
    const char16_t* english;
    const char16_t* japanese;
};

// The texts of data/test_messages.mc.
const MessageCase kMessages[] = {
    {0x40770001, u"Device status changed from D0 to D3. (Sleep)\r\n",
     u"デバイスステータスがD0からD3に遷移しました。(スリープ)\r\n"},
    {0x40770002, u"Device status changed from D3 to D0.\r\n",
     u"デバイスステータスがD3からD0に遷移しました。\r\n"},
    {0xC077000A, u"Failed to plug and play (DeviceAdd).\r\n",
     u"Plug and Play処理に失敗しました。(DeviceAdd)\r\n"},
    {0xC077000C, u"First line of two.\r\nSecond line, after a CR LF.\r\n",
     u"二行のうちの一行目。\r\n二行目。\r\n"},
    {0x80000005, u"A warning in another facility.\r\n", u"別のファシリティの警告。\r\n"},
};

TEST(ResourceModule, MessagesOfBothLanguagesReadBackFromTheModuleFile)
{
    std::string error;
    const std::optional<winsim::ResourceSet> set = winsim::ResourceSet::FromElfFile(TEST_MODULE, &error);
    ASSERT_TRUE(set) << error;
    EXPECT_EQ(set->All().size(), 2u);
    const winsim::Resource* english = set->Find(winsim::kResourceTypeMessageTable, 1, kEnglish);
    const winsim::Resource* japanese = set->Find(winsim::kResourceTypeMessageTable, 1, kJapanese);
    ASSERT_NE(english, nullptr);
    ASSERT_NE(japanese, nullptr);
    EXPECT_EQ(english->language, kEnglish);
    EXPECT_EQ(japanese->language, kJapanese);
    for (const MessageCase& c : kMessages)
    {
        SCOPED_TRACE(c.id);
        EXPECT_EQ(winsim::FindMessage(english->data, c.id), std::u16string(c.english));
        EXPECT_EQ(winsim::FindMessage(japanese->data, c.id), std::u16string(c.japanese));
    }
    // The embedded tables are the .bin files that the Windows resource script includes.
    EXPECT_EQ(english->data, ReadBytes(std::string(TEST_MC_OUT_DIR) + "/MSG00409.bin"));
    EXPECT_EQ(japanese->data, ReadBytes(std::string(TEST_MC_OUT_DIR) + "/MSG00411.bin"));
}

TEST(ResourceModule, IdentifiersNotInTheTableAreAbsent)
{
    const std::optional<winsim::ResourceSet> set = winsim::ResourceSet::FromElfFile(TEST_MODULE);
    ASSERT_TRUE(set);
    const winsim::Resource* english = set->Find(winsim::kResourceTypeMessageTable, 1, kEnglish);
    ASSERT_NE(english, nullptr);
    for (uint32_t id :
         {0x40770000u, 0x40770003u, 0xC0770009u, 0xC077000Bu, 0xC077000Du, 0x00000005u, 0xFFFFFFFFu})
    {
        SCOPED_TRACE(id);
        EXPECT_EQ(winsim::FindMessage(english->data, id), std::nullopt);
    }
    EXPECT_EQ(set->Find(winsim::kResourceTypeMessageTable, 2, kEnglish), nullptr);
    EXPECT_EQ(set->Find(winsim::kResourceTypeString, 1, kEnglish), nullptr);
}

TEST(ResourceModule, EachLoadedModuleSeesItsOwnSection)
{
    // This program embeds the same message file; the module's copy is another one.
    const std::span<const uint8_t> mine = winsim::ThisModuleResourceSection();
    ASSERT_FALSE(mine.empty());
    std::string error;
    const std::optional<std::vector<uint8_t>> onDisk =
        winsim::ReadElfSection("/proc/self/exe", "winsim_rsrc", &error);
    ASSERT_TRUE(onDisk) << error;
    EXPECT_EQ(std::vector<uint8_t>(mine.begin(), mine.end()), *onDisk);
    // The only container of this program's section, reachable by its symbol too.
    EXPECT_EQ(static_cast<const void*>(winsim_rsrc_test_messages), static_cast<const void*>(mine.data()));
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(winsim_rsrc_test_messages), 8), "WSIMRSRC");

    void* module = dlopen(TEST_MODULE, RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(module, nullptr) << dlerror();
    using SectionOf = void (*)(const unsigned char**, size_t*);
    auto sectionOf = reinterpret_cast<SectionOf>(dlsym(module, "winsim_tools_test_module_section"));
    ASSERT_NE(sectionOf, nullptr);
    const unsigned char* data = nullptr;
    size_t size = 0;
    sectionOf(&data, &size);
    const std::optional<std::vector<uint8_t>> moduleOnDisk =
        winsim::ReadElfSection(TEST_MODULE, "winsim_rsrc");
    ASSERT_TRUE(moduleOnDisk);
    ASSERT_NE(data, nullptr);
    EXPECT_NE(static_cast<const void*>(data), static_cast<const void*>(mine.data()));
    EXPECT_EQ(std::vector<uint8_t>(data, data + size), *moduleOnDisk);
    dlclose(module);
}

TEST(ResourceElf, FilesThatAreNotModulesAreErrors)
{
    TempDir dir;
    WriteText(dir / "text.txt", "this is not an ELF file at all, just text\n");
    const std::vector<uint8_t> module = ReadBytes(TEST_MODULE);
    ASSERT_GT(module.size(), 64u);
    WriteText(dir / "truncated.so", std::string(module.begin(), module.begin() + 40));
    std::vector<uint8_t> elf32 = module;
    elf32[4] = 1; // ELFCLASS32
    WriteText(dir / "elf32.so", std::string(elf32.begin(), elf32.end()));
    // Section headers cut off: the table lies past the end of the file.
    WriteText(dir / "cut.so", std::string(module.begin(), module.begin() + module.size() / 2));

    struct Case
    {
        std::string path;
        const char* message;
    } cases[] = {
        {(dir / "absent.so").string(), "cannot open"},
        {(dir / "text.txt").string(), "not an ELF file"},
        {(dir / "truncated.so").string(), "not an ELF file"},
        {(dir / "elf32.so").string(), "not a 64-bit"},
        {(dir / "cut.so").string(), "ELF section"},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.path);
        std::string error;
        EXPECT_FALSE(winsim::ResourceSet::FromElfFile(c.path, &error));
        EXPECT_NE(error.find(c.message), std::string::npos) << error;
    }
}

TEST(ResourceElf, ModuleWithoutResourcesHasNone)
{
    std::string error;
    const std::optional<winsim::ResourceSet> set = winsim::ResourceSet::FromElfFile(WINSIM_MC, &error);
    ASSERT_TRUE(set) << error;
    EXPECT_TRUE(set->All().empty());
}

// ---- Container --------------------------------------------------------------------------------

winsim::Resource Make(uint32_t type, uint32_t id, uint16_t language, std::string data)
{
    return {type, id, language, std::vector<uint8_t>(data.begin(), data.end())};
}

TEST(ResourceContainer, LayoutOfOneContainer)
{
    const std::vector<winsim::Resource> resources = {Make(11, 1, 0x409, "abc"), Make(6, 2, 0x411, "")};
    const std::vector<uint8_t> bytes = winsim::BuildResourceContainer(resources);
    // Header 24, directory 2 x 20 = 64; data of the first at 64 (8-aligned), the second (empty) at 72;
    // the whole padded to 80.
    ASSERT_EQ(bytes.size(), 80u);
    EXPECT_EQ(std::string(bytes.begin(), bytes.begin() + 8), "WSIMRSRC");
    auto u32 = [&](size_t at) {
        return bytes[at] | bytes[at + 1] << 8 | bytes[at + 2] << 16 | bytes[at + 3] << 24;
    };
    EXPECT_EQ(u32(8), 1);   // version
    EXPECT_EQ(u32(12), 2);  // count
    EXPECT_EQ(u32(16), 80); // size
    EXPECT_EQ(u32(24), 11);
    EXPECT_EQ(u32(28), 1);
    EXPECT_EQ(u32(32), 0x409);
    EXPECT_EQ(u32(36), 64);
    EXPECT_EQ(u32(40), 3);
    EXPECT_EQ(u32(44), 6);
    EXPECT_EQ(u32(52), 0x411);
    EXPECT_EQ(u32(56), 72);
    EXPECT_EQ(u32(60), 0);
    EXPECT_EQ(std::string(bytes.begin() + 64, bytes.begin() + 67), "abc");
}

TEST(ResourceContainer, SectionWithSeveralContainersAndPadding)
{
    std::vector<uint8_t> section = winsim::BuildResourceContainer(std::vector{Make(11, 1, 0x409, "first")});
    section.insert(section.end(), 32, 0); // padding a linker may leave between two arrays
    const std::vector<uint8_t> second =
        winsim::BuildResourceContainer(std::vector{Make(6, 7, 0x411, "second")});
    section.insert(section.end(), second.begin(), second.end());

    std::string error;
    const std::optional<winsim::ResourceSet> set = winsim::ResourceSet::FromSection(section, &error);
    ASSERT_TRUE(set) << error;
    ASSERT_EQ(set->All().size(), 2u);
    const winsim::Resource* first = set->FindExact(11, 1, 0x409);
    const winsim::Resource* found = set->FindExact(6, 7, 0x411);
    ASSERT_NE(first, nullptr);
    ASSERT_NE(found, nullptr);
    EXPECT_EQ(std::string(first->data.begin(), first->data.end()), "first");
    EXPECT_EQ(std::string(found->data.begin(), found->data.end()), "second");
}

TEST(ResourceContainer, DamagedContainersAreErrors)
{
    const std::vector<uint8_t> good = winsim::BuildResourceContainer(std::vector{Make(11, 1, 0x409, "data")});
    struct Case
    {
        const char* name;
        size_t at;
        uint8_t value;
    } cases[] = {
        {"version", 8, 2},
        {"size past the end", 17, 0x10},
        {"size not a multiple of 16", 16, 0x31},
        {"too many entries", 12, 0x40},
        {"data past the end", 36, 0xF0},
        {"length past the end", 40, 0xF0},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.name);
        std::vector<uint8_t> bad = good;
        bad[c.at] = c.value;
        std::string error;
        EXPECT_FALSE(winsim::ResourceSet::FromSection(bad, &error));
        EXPECT_FALSE(error.empty());
    }
    std::vector<uint8_t> truncated(good.begin(), good.begin() + 12);
    EXPECT_FALSE(winsim::ResourceSet::FromSection(truncated));
    ASSERT_TRUE(winsim::ResourceSet::FromSection(good));
}

// ---- Language fallback --------------------------------------------------------------------------

struct FallbackCase
{
    const char* name;
    std::vector<uint16_t> available;
    uint16_t requested;
    int expected; // the language found, or -1 for none
};

TEST(ResourceLookup, LanguageFallsBackToNeutralThenEnglish)
{
    const FallbackCase cases[] = {
        {"exact", {0x0409, 0x0411, 0x0000}, 0x0411, 0x0411},
        {"primary language, neutral sublanguage", {0x0007, 0x0000, 0x0409}, 0x0807, 0x0007},
        {"language neutral", {0x0000, 0x0409}, 0x040C, 0x0000},
        {"English (United States)", {0x0409, 0x0411}, 0x040C, 0x0409},
        {"English, neutral sublanguage", {0x0009, 0x0411}, 0x040C, 0x0009},
        {"another English is not taken", {0x0809, 0x0411}, 0x040C, -1},
        {"nothing that fits", {0x0411}, 0x040C, -1},
        {"neutral asked, English found", {0x0409, 0x0411}, 0x0000, 0x0409},
    };
    for (const FallbackCase& c : cases)
    {
        SCOPED_TRACE(c.name);
        std::vector<winsim::Resource> resources;
        for (uint16_t language : c.available)
        {
            resources.push_back(Make(11, 1, language, std::to_string(language)));
            resources.push_back(Make(6, 1, language, "a string table"));
        }
        const std::optional<winsim::ResourceSet> set =
            winsim::ResourceSet::FromSection(winsim::BuildResourceContainer(resources));
        ASSERT_TRUE(set);
        const winsim::Resource* found = set->Find(11, 1, c.requested);
        if (c.expected < 0)
        {
            EXPECT_EQ(found, nullptr);
            continue;
        }
        ASSERT_NE(found, nullptr);
        EXPECT_EQ(found->type, 11u);
        EXPECT_EQ(found->language, c.expected);
        EXPECT_EQ(std::string(found->data.begin(), found->data.end()), std::to_string(c.expected));
    }
}

// ---- Message tables -----------------------------------------------------------------------------

// A table written by hand: one block of ids 0x10..0x12 with an ANSI, a UTF-8 and a Unicode entry.
std::vector<uint8_t> HandTable()
{
    // clang-format off
    return {
        1, 0, 0, 0,
        0x10, 0, 0, 0,  0x12, 0, 0, 0,  16, 0, 0, 0,
        12, 0, 0, 0,  'a', 'n', 's', 'i', '\r', '\n', 0, 0,       // 0x10, ANSI
        12, 0, 2, 0,  0xC3, 0xA9, 't', 'e', 0, 0, 0, 0,           // 0x11, UTF-8 "éte"
        12, 0, 1, 0,  'w', 0, 'i', 0, 0, 0, 'x', 0,               // 0x12, Unicode, text ends at the NUL
    };
    // clang-format on
}

TEST(ResourceMessageTable, DecodesEveryEntryKind)
{
    const std::vector<uint8_t> table = HandTable();
    EXPECT_EQ(winsim::FindMessage(table, 0x10), std::u16string(u"ansi\r\n"));
    EXPECT_EQ(winsim::FindMessage(table, 0x11), std::u16string(u"éte"));
    EXPECT_EQ(winsim::FindMessage(table, 0x12), std::u16string(u"wi"));
    EXPECT_EQ(winsim::FindMessage(table, 0x0F), std::nullopt);
    EXPECT_EQ(winsim::FindMessage(table, 0x13), std::nullopt);
}

struct DamageCase
{
    const char* name;
    size_t at;
    uint8_t value;
    uint32_t id;
};

TEST(ResourceMessageTable, DamagedTablesFindNothing)
{
    const DamageCase cases[] = {
        {"block count too large", 0, 9, 0x10}, {"entries past the end", 12, 200, 0x10},
        {"entry length zero", 16, 0, 0x11},    {"entry length past the end", 28, 200, 0x11},
        {"unknown flags", 30, 7, 0x11},
    };
    for (const DamageCase& c : cases)
    {
        SCOPED_TRACE(c.name);
        std::vector<uint8_t> table = HandTable();
        ASSERT_TRUE(winsim::FindMessage(table, c.id)) << "the undamaged table has the message";
        table[c.at] = c.value;
        EXPECT_EQ(winsim::FindMessage(table, c.id), std::nullopt);
    }
    EXPECT_EQ(winsim::FindMessage(std::vector<uint8_t>{1, 0}, 0), std::nullopt);
}

TEST(ResourceMessageTable, BuiltTablesReadBack)
{
    std::vector<winsim::MessageTableEntry> entries;
    for (uint32_t id : {7u, 3u, 4u, 0x80000000u, 5u, 100u})
    {
        entries.push_back({id, u"message " + std::u16string(id % 4 + 1, u'x')});
    }
    const std::vector<uint8_t> table = winsim::BuildMessageTable(entries);
    EXPECT_EQ(table[0], 4); // blocks 3..5, 7, 100, 0x80000000
    for (const winsim::MessageTableEntry& entry : entries)
    {
        SCOPED_TRACE(entry.id);
        EXPECT_EQ(winsim::FindMessage(table, entry.id), entry.text);
    }
    EXPECT_EQ(winsim::FindMessage(table, 6), std::nullopt);
}

} // namespace
