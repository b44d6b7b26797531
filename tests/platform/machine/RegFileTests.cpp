// Registry editor files: the export format, import of every entry kind, round trips and the
// errors a malformed file gets.
#include "machine/RegFile.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <fstream>
#include <iterator>

#include <unistd.h>

using namespace winsim::kernel;
using winsim::machine::ExportRegFile;
using winsim::machine::ExportRegText;
using winsim::machine::ImportRegFile;
using winsim::machine::ImportRegText;

namespace
{

std::filesystem::path TempFile(const char* name)
{
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    return std::filesystem::path(::testing::TempDir()) /
           (std::string("winsim_registry_") + info->name() + "_" + std::to_string(::getpid()) + "_" + name);
}

std::string ReadAll(const std::filesystem::path& file)
{
    std::ifstream in(file, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

void WriteAll(const std::filesystem::path& file, const std::string& bytes)
{
    std::ofstream out(file, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

// UTF-16LE of ASCII text, for writing test files the way the registry editor does.
std::string Utf16Le(const std::string& ascii)
{
    std::string out;
    for (char c : ascii)
    {
        out.push_back(c);
        out.push_back('\0');
    }
    return out;
}

// The bytes of a string value as the registry holds it: UTF-16LE, terminated unless asked not to.
std::vector<uint8_t> Bytes(std::u16string_view text, bool terminate = true)
{
    std::vector<uint8_t> data((text.size() + (terminate ? 1 : 0)) * 2, 0);
    for (size_t i = 0; i < text.size(); ++i)
    {
        data[2 * i] = static_cast<uint8_t>(text[i] & 0xFF);
        data[2 * i + 1] = static_cast<uint8_t>(text[i] >> 8);
    }
    return data;
}

// Two subtrees hold the same keys (names spelled alike) and the same values in the same order.
void ExpectSameTree(const std::shared_ptr<RegistryKey>& expected, const std::shared_ptr<RegistryKey>& actual)
{
    ASSERT_NE(actual, nullptr) << "missing key for "
                               << std::string(expected->Name().begin(), expected->Name().end());
    EXPECT_EQ(actual->Name(), expected->Name());
    auto expectedValues = expected->Values();
    auto actualValues = actual->Values();
    ASSERT_EQ(actualValues.size(), expectedValues.size());
    for (size_t i = 0; i < expectedValues.size(); ++i)
    {
        SCOPED_TRACE(i);
        EXPECT_EQ(actualValues[i].name, expectedValues[i].name);
        EXPECT_EQ(actualValues[i].type, expectedValues[i].type);
        EXPECT_EQ(actualValues[i].data, expectedValues[i].data);
    }
    ASSERT_EQ(actual->SubkeyNames(), expected->SubkeyNames());
    for (const auto& name : expected->SubkeyNames())
    {
        ExpectSameTree(expected->OpenSubkey(name), actual->OpenSubkey(name));
    }
}

// Each test works on a registry of its own; no machine needs to run for registry editor files.
class RegFileTest : public ::testing::Test
{
  protected:
    Registry m_registry;

    std::shared_ptr<RegistryKey> Create(std::u16string_view path)
    {
        auto key = m_registry.CreateKey(path);
        EXPECT_NE(key, nullptr) << "creating a test key";
        return key;
    }

    std::shared_ptr<RegistryKey> BuildSampleTree()
    {
        auto key = Create(u"\\Registry\\Machine\\SOFTWARE\\RoundTrip");
        key->SetString(u"", u"the default");
        key->SetString(u"Quoted", u"say \"hi\" to C:\\Temp\\ \u65e5\u672c");
        key->SetString(u"Na\"me\\with", u"escaped name");
        key->SetString(u"@", u"a value named @");
        key->SetDword(u"Dword", 0xDEADBEEF);
        std::vector<uint8_t> binary(100);
        for (size_t i = 0; i < binary.size(); ++i)
        {
            binary[i] = static_cast<uint8_t>(i * 7);
        }
        key->SetValue(u"Binary", REG_BINARY, binary.data(), binary.size());
        key->SetMultiString(u"Multi", {u"first", u"second"});
        key->SetString(u"Expand", u"%SystemRoot%\\system32", REG_EXPAND_SZ);
        const ULONGLONG qword = 0x0102030405060708ULL;
        key->SetValue(u"Qword", REG_QWORD, &qword, sizeof(qword));
        key->SetValue(u"None", REG_NONE, nullptr, 0);
        key->SetValue(u"Unterminated", REG_SZ, u"ab", 4);
        key->SetString(u"Lines", u"one\r\ntwo");
        const uint8_t odd[3] = {1, 2, 3};
        key->SetValue(u"Custom", 0x12345, odd, sizeof(odd));
        key->SetValue(u"ShortDword", REG_DWORD, odd, 2);
        auto sub = key->CreateSubkey(u"Sub Key", false, nullptr);
        sub->SetDword(u"Inner", 1);
        sub->CreateSubkey(u"Deeper", false, nullptr)->SetString(u"Leaf", u"");
        key->CreateSubkey(u"\u30ad\u30fc", false, nullptr);
        key->CreateSubkey(u"alpha", false, nullptr);
        return key;
    }
};

TEST_F(RegFileTest, ExportedFileImportsToTheSameTree)
{
    auto original = BuildSampleTree();
    auto file = TempFile("export.reg");
    ExportRegFile(m_registry, file, u"HKEY_LOCAL_MACHINE\\SOFTWARE\\RoundTrip");

    Registry other;
    ImportRegFile(other, file);
    ExpectSameTree(original, other.OpenKey(u"\\Registry\\Machine\\SOFTWARE\\RoundTrip"));
    std::filesystem::remove(file);

    // The same through the UTF-8 text.
    Registry third;
    ImportRegText(third, ExportRegText(m_registry, u"\\Registry\\Machine\\SOFTWARE\\RoundTrip"));
    ExpectSameTree(original, third.OpenKey(u"\\Registry\\Machine\\SOFTWARE\\RoundTrip"));
}

TEST_F(RegFileTest, ExportLooksLikeTheRegistryEditors)
{
    auto key = Create(u"\\Registry\\Machine\\SOFTWARE\\Fmt");
    key->SetString(u"Name", u"a\"b\\c");
    key->SetString(u"", u"default");
    key->SetDword(u"Dw", 0x1f);
    std::vector<uint8_t> binary(60);
    for (size_t i = 0; i < binary.size(); ++i)
    {
        binary[i] = static_cast<uint8_t>(i);
    }
    key->SetValue(u"Bin", REG_BINARY, binary.data(), binary.size());
    key->SetMultiString(u"Multi", {u"A"});
    key->SetValue(u"Empty", REG_BINARY, nullptr, 0);
    Create(u"\\Registry\\Machine\\SOFTWARE\\Fmt\\Sub");

    // Hex lines break after the comma that takes them past 76 columns.
    const std::string expected =
        "Windows Registry Editor Version 5.00\n"
        "\n"
        "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Fmt]\n"
        "\"Name\"=\"a\\\"b\\\\c\"\n"
        "@=\"default\"\n"
        "\"Dw\"=dword:0000001f\n"
        "\"Bin\"=hex:00,01,02,03,04,05,06,07,08,09,0a,0b,0c,0d,0e,0f,10,11,12,13,14,15,16,\\\n"
        "  17,18,19,1a,1b,1c,1d,1e,1f,20,21,22,23,24,25,26,27,28,29,2a,2b,2c,2d,2e,2f,\\\n"
        "  30,31,32,33,34,35,36,37,38,39,3a,3b\n"
        "\"Multi\"=hex(7):41,00,00,00,00,00\n"
        "\"Empty\"=hex:\n"
        "\n"
        "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Fmt\\Sub]\n"
        "\n";
    EXPECT_EQ(ExportRegText(m_registry, u"HKLM\\SOFTWARE\\Fmt"), expected);

    // The file is the same text in UTF-16LE with a byte-order mark and CR LF line ends.
    auto file = TempFile("fmt.reg");
    ExportRegFile(m_registry, file, u"\\Registry\\Machine\\SOFTWARE\\Fmt");
    std::string crlf;
    for (char c : expected)
    {
        if (c == '\n')
        {
            crlf.push_back('\r');
        }
        crlf.push_back(c);
    }
    EXPECT_EQ(ReadAll(file), "\xFF\xFE" + Utf16Le(crlf));
    std::filesystem::remove(file);

    EXPECT_THROW(ExportRegText(m_registry, u"HKLM\\SOFTWARE\\Missing"), std::runtime_error);
}

TEST_F(RegFileTest, ImportUnderstandsEveryEntryKind)
{
    Create(u"\\Registry\\Machine\\SOFTWARE\\Imp\\Old\\Older")->SetDword(u"X", 1);
    Create(u"\\Registry\\Machine\\SOFTWARE\\Imp")->SetDword(u"Stale", 1);
    ImportRegText(m_registry, "Windows Registry Editor Version 5.00\r\n"
                              "\r\n"
                              "; a comment line\r\n"
                              "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Imp]\r\n"
                              "\"Text\"=\"C:\\\\dir\\\\\\\"q\\\"\"\r\n"
                              "@=\"default\"\r\n"
                              "\"Count\"=dword:0000001F\r\n"
                              "\"Short\"=dword:7\r\n"
                              "\"Bytes\"=hex:01, 02 ,ff\r\n"
                              "\"Path\"=hex(2):25,00,41,00,\\\r\n"
                              "    25,00,00,00\r\n"
                              "\"Q\"=hex(b):08,07,06,05,04,03,02,01\r\n"
                              "\"Stale\"=-\r\n"
                              "\r\n"
                              "[-HKEY_LOCAL_MACHINE\\SOFTWARE\\Imp\\Old]\r\n"
                              "\"Ignored\"=dword:1\r\n"
                              "[HKLM\\SOFTWARE\\Imp\\New]\r\n");
    auto key = m_registry.OpenKey(u"\\Registry\\Machine\\SOFTWARE\\Imp");
    ASSERT_NE(key, nullptr);
    EXPECT_EQ(key->GetString(u"Text"), u"C:\\dir\\\"q\"");
    EXPECT_EQ(key->GetString(u""), u"default");
    EXPECT_EQ(key->GetDword(u"Count"), 0x1Fu);
    EXPECT_EQ(key->GetDword(u"Short"), 7u);
    EXPECT_EQ(key->GetValue(u"Bytes")->data, (std::vector<uint8_t>{1, 2, 0xff}));
    EXPECT_EQ(key->GetValue(u"Path")->type, ULONG(REG_EXPAND_SZ));
    EXPECT_EQ(key->GetString(u"Path"), u"%A%");
    EXPECT_EQ(key->GetValue(u"Q")->type, ULONG(REG_QWORD));
    EXPECT_EQ(key->GetValue(u"Q")->data, (std::vector<uint8_t>{8, 7, 6, 5, 4, 3, 2, 1}));
    EXPECT_FALSE(key->GetValue(u"Stale").has_value());
    EXPECT_EQ(m_registry.OpenKey(u"\\Registry\\Machine\\SOFTWARE\\Imp\\Old"), nullptr);
    EXPECT_NE(m_registry.OpenKey(u"\\Registry\\Machine\\SOFTWARE\\Imp\\New"), nullptr);
}

TEST_F(RegFileTest, ImportReadsRegedit4AndEveryEncoding)
{
    // REGEDIT4 keeps hex(2) and hex(7) strings in the ANSI code page, one byte a character.
    ImportRegText(m_registry, "REGEDIT4\n"
                              "\n"
                              "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Four]\n"
                              "\"Expand\"=hex(2):25,41,25,00\n"
                              "\"Multi\"=hex(7):61,00,62,00,00\n");
    auto four = m_registry.OpenKey(u"HKLM\\SOFTWARE\\Four");
    ASSERT_NE(four, nullptr);
    EXPECT_EQ(four->GetValue(u"Expand")->data, Bytes(u"%A%"));
    EXPECT_EQ(four->GetValue(u"Multi")->data, Bytes(std::u16string(u"a\0b\0", 4)));

    const std::string body = "Windows Registry Editor Version 5.00\r\n\r\n"
                             "[HKEY_USERS\\.DEFAULT\\Enc]\r\n"
                             "\"V\"=\"\xE6\x97\xA5\"\r\n";
    auto utf8Bom = TempFile("utf8.reg");
    WriteAll(utf8Bom, "\xEF\xBB\xBF" + body);
    ImportRegFile(m_registry, utf8Bom);
    EXPECT_EQ(m_registry.OpenKey(u"\\Registry\\User\\.DEFAULT\\Enc")->GetString(u"V"), u"\u65e5");
    std::filesystem::remove(utf8Bom);

    auto utf16 = TempFile("utf16.reg");
    // U+65E5 in UTF-16LE is E5 65.
    WriteAll(utf16,
             "\xFF\xFE" +
                 Utf16Le("Windows Registry Editor Version 5.00\r\n\r\n[HKEY_USERS\\.DEFAULT\\Enc16]\r\n"
                         "\"V\"=\"") +
                 std::string("\xE5\x65", 2) + Utf16Le("\"\r\n"));
    ImportRegFile(m_registry, utf16);
    EXPECT_EQ(m_registry.OpenKey(u"\\Registry\\User\\.DEFAULT\\Enc16")->GetString(u"V"), u"\u65e5");
    std::filesystem::remove(utf16);
}

TEST_F(RegFileTest, MalformedFilesNameTheLine)
{
    const std::string header =
        "Windows Registry Editor Version 5.00\n\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Bad]\n";
    struct Case
    {
        std::string text;
        int line;
    };
    const Case cases[] = {
        {"REGEDIT5\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Bad]\n", 1},
        {"", 1},
        {"\n\nREGEDIT 4\n", 3},
        {"Windows Registry Editor Version 5.00\n\n\"V\"=dword:1\n", 3},
        {"Windows Registry Editor Version 5.00\n\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Bad\n", 3},
        {"Windows Registry Editor Version 5.00\n\n[HKEY_CURRENT_CONFIG\\Bad]\n", 3},
        {header + "\"V\"=dword:xyz\n", 4},
        {header + "\"V\"=dword:123456789\n", 4},
        {header + "\"V\"=dword:\n", 4},
        {header + "\"V\"=\"unterminated\n", 4},
        {header + "\"V\"=\"x\" trailing\n", 4},
        {header + "\"Unterminated=dword:1\n", 4},
        {header + "\"V\" dword:1\n", 4},
        {header + "\"V\"=hex:01,zz\n", 4},
        {header + "\"V\"=hex:01,100\n", 4},
        {header + "\"V\"=hex(z):01\n", 4},
        {header + "\"V\"=text\n", 4},
        {header + "\n\"A\"=dword:1\n\"V\"=hex:01,02,\\\n  03,0g\n", 6},
        {header + "\"V\"=hex:01,\\\n", 4},
        {header + "hello\n", 4},
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.text);
        Registry fresh;
        try
        {
            ImportRegText(fresh, c.text);
            ADD_FAILURE() << "no error";
        }
        catch (const std::runtime_error& error)
        {
            EXPECT_THAT(error.what(), ::testing::StartsWith("line " + std::to_string(c.line) + ": "));
        }
    }

    // A file names itself as well as the line.
    auto file = TempFile("bad.reg");
    WriteAll(file, header + "\"V\"=dword:xyz\n");
    try
    {
        ImportRegFile(m_registry, file);
        ADD_FAILURE() << "no error";
    }
    catch (const std::runtime_error& error)
    {
        EXPECT_THAT(error.what(), ::testing::HasSubstr(file.string() + ": line 4: "));
    }
    std::filesystem::remove(file);
    EXPECT_THROW(ImportRegFile(m_registry, TempFile("does-not-exist.reg")), std::runtime_error);
}

} // namespace
