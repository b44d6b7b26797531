// winsim-mc: the header it writes, the binary message tables, the resource script and its
// diagnostics, through the real executable.
#include "base/resources.h"
#include "base/unicode.h"

#include "ToolTestSupport.h"

#include <gtest/gtest.h>

#include <type_traits>

// The message file names this type as its MessageIdTypedef.
typedef unsigned int TEST_MESSAGE_ID;
#include "test_messages.h"

namespace
{

using toolstest::ReadBytes;
using toolstest::ReadText;
using toolstest::RunTool;
using toolstest::TempDir;
using toolstest::WriteText;

// ---- The header of data/test_messages.mc, compiled into this test --------------------------------

struct HeaderCase
{
    const char* symbol;
    TEST_MESSAGE_ID value;
    uint32_t severity;
    uint32_t facility;
    uint32_t code;
};

TEST(MessageCompilerHeader, CodesCombineSeverityFacilityAndNumber)
{
    static_assert(std::is_same_v<std::remove_cv_t<decltype(TEST_POWER_DOWN)>, TEST_MESSAGE_ID>,
                  "the codes are cast to the MessageIdTypedef");
    const HeaderCase cases[] = {
        {"TEST_POWER_DOWN", TEST_POWER_DOWN, 1, 0x077, 0x0001},
        {"TEST_POWER_UP", TEST_POWER_UP, 1, 0x077, 0x0002}, // MessageId= without value: previous + 1
        {"TEST_ADD_FAILED", TEST_ADD_FAILED, 3, 0x077, 0x000A},
        {"TEST_TWO_LINES", TEST_TWO_LINES, 3, 0x077, 0x000C}, // MessageId=+2
        {"TEST_SYSTEM_WARNING", TEST_SYSTEM_WARNING, 2, 0x000, 0x0005},
    };
    for (const HeaderCase& c : cases)
    {
        SCOPED_TRACE(c.symbol);
        EXPECT_EQ(c.value >> 30, c.severity);
        EXPECT_EQ((c.value >> 28) & 3u, 0u) << "customer and reserved bits stay clear without -c";
        EXPECT_EQ((c.value >> 16) & 0xFFFu, c.facility);
        EXPECT_EQ(c.value & 0xFFFFu, c.code);
    }
    EXPECT_EQ(TEST_POWER_DOWN, 0x40770001u);
    EXPECT_EQ(TEST_ADD_FAILED, 0xC077000Au);
}

TEST(MessageCompilerHeader, DefinesFacilityAndSeveritySymbols)
{
    EXPECT_EQ(FACILITY_SERIAL_TEST, 0x77);
    EXPECT_EQ(FACILITY_SYSTEM, 0x0);
    EXPECT_EQ(STATUS_SEVERITY_INFORMATIONAL, 0x1);
    EXPECT_EQ(STATUS_SEVERITY_ERROR, 0x3);
    EXPECT_EQ(static_cast<uint32_t>(TEST_ADD_FAILED) >> 30, static_cast<uint32_t>(STATUS_SEVERITY_ERROR));
}

TEST(MessageCompilerHeader, WritesDefinesAndCommentsInFileOrder)
{
    const std::string header = ReadText(std::string(TEST_MC_OUT_DIR) + "/test_messages.h");
    const size_t intro = header.find("// Messages of the tools' test module");
    const size_t first = header.find("#define TEST_POWER_DOWN ((TEST_MESSAGE_ID)0x40770001L)\n");
    const size_t comment = header.find("// The next one takes its number from the one before.");
    const size_t second = header.find("#define TEST_POWER_UP ((TEST_MESSAGE_ID)0x40770002L)\n");
    const size_t last = header.find("#define TEST_SYSTEM_WARNING ((TEST_MESSAGE_ID)0x80000005L)\n");
    ASSERT_NE(intro, std::string::npos);
    ASSERT_NE(first, std::string::npos);
    ASSERT_NE(comment, std::string::npos);
    ASSERT_NE(second, std::string::npos);
    ASSERT_NE(last, std::string::npos);
    EXPECT_LT(intro, first);
    EXPECT_LT(first, comment);
    EXPECT_LT(comment, second);
    EXPECT_LT(second, last);
    // The text of the first language is shown above each define, one comment line per text line.
    EXPECT_NE(
        header.find("// First line of two.\n// Second line, after a CR LF.\n//\n#define TEST_TWO_LINES"),
        std::string::npos);
}

TEST(MessageCompilerResourceScript, NamesOneBinaryTablePerLanguage)
{
    const std::string rc = ReadText(std::string(TEST_MC_OUT_DIR) + "/test_messages.rc");
    const size_t english = rc.find("LANGUAGE 0x9,0x1\n1 11 \"MSG00409.bin\"\n");
    const size_t japanese = rc.find("LANGUAGE 0x11,0x1\n1 11 \"MSG00411.bin\"\n");
    ASSERT_NE(english, std::string::npos) << rc;
    ASSERT_NE(japanese, std::string::npos) << rc;
    EXPECT_LT(english, japanese);
    EXPECT_FALSE(ReadBytes(std::string(TEST_MC_OUT_DIR) + "/MSG00409.bin").empty());
    EXPECT_FALSE(ReadBytes(std::string(TEST_MC_OUT_DIR) + "/MSG00411.bin").empty());
}

// ---- Small files compiled at test time ------------------------------------------------------------

struct Compiled
{
    toolstest::RunResult run;
    std::string header;
    std::string rc;
};

Compiled Compile(const TempDir& dir, const std::string& mc, std::vector<std::string> options = {})
{
    WriteText(dir / "small.mc", mc);
    options.insert(options.end(),
                   {"-h", dir.path().string(), "-r", dir.path().string(), (dir / "small.mc").string()});
    Compiled compiled;
    compiled.run = RunTool(WINSIM_MC, options, dir / "errors.txt");
    compiled.header = ReadText(dir / "small.h");
    compiled.rc = ReadText(dir / "small.rc");
    return compiled;
}

const char kGapTable[] = "LanguageNames=(English=0x409:MSG00409)\n"
                         "MessageId=1\nSymbolicName=A_ONE\nLanguage=English\nA\n.\n"
                         "MessageId=2\nSymbolicName=A_TWO\nLanguage=English\nab\n.\n"
                         "MessageId=4\nSymbolicName=A_FOUR\nLanguage=English\nHi!\n.\n";

TEST(MessageCompilerTable, SplitsBlocksOnGapsAndPadsEntries)
{
    TempDir dir;
    const Compiled compiled = Compile(dir, kGapTable);
    ASSERT_EQ(compiled.run.exitCode, 0) << compiled.run.errors;

    // clang-format off
    const std::vector<uint8_t> expected = {
        2, 0, 0, 0,                 // NumberOfBlocks
        1, 0, 0, 0,  2, 0, 0, 0,  28, 0, 0, 0,  // ids 1..2, entries at 28
        4, 0, 0, 0,  4, 0, 0, 0,  56, 0, 0, 0,  // id 4 alone, entries at 56
        // id 1: "A\r\n" and NUL = 8 bytes, entry 12
        12, 0, 1, 0,  'A', 0, '\r', 0, '\n', 0, 0, 0,
        // id 2: "ab\r\n" and NUL = 10 bytes, padded to 12, entry 16
        16, 0, 1, 0,  'a', 0, 'b', 0, '\r', 0, '\n', 0, 0, 0, 0, 0,
        // id 4: "Hi!\r\n" and NUL = 12 bytes, entry 16
        16, 0, 1, 0,  'H', 0, 'i', 0, '!', 0, '\r', 0, '\n', 0, 0, 0,
    };
    // clang-format on
    EXPECT_EQ(ReadBytes(dir / "MSG00409.bin"), expected);
    EXPECT_NE(compiled.rc.find("LANGUAGE 0x9,0x1\n1 11 \"MSG00409.bin\"\n"), std::string::npos)
        << compiled.rc;
    EXPECT_NE(compiled.header.find("#define A_FOUR 0x00000004L\n"), std::string::npos) << compiled.header;
}

TEST(MessageCompilerTable, EmbeddingSourceCarriesTheSameTables)
{
    TempDir dir;
    WriteText(dir / "small.mc", kGapTable);
    const toolstest::RunResult run =
        RunTool(WINSIM_MC,
                {"-h", dir.path().string(), "-r", dir.path().string(), "--cpp", (dir / "small.cpp").string(),
                 "--symbol", "my_table", (dir / "small.mc").string()},
                dir / "errors.txt");
    ASSERT_EQ(run.exitCode, 0) << run.errors;
    const std::vector<winsim::Resource> resources = {
        {winsim::kResourceTypeMessageTable, 1, 0x409, ReadBytes(dir / "MSG00409.bin")}};
    const std::vector<uint8_t> container = winsim::BuildResourceContainer(resources);
    EXPECT_EQ(ReadText(dir / "small.cpp"),
              winsim::ResourceContainerSource(container, "my_table", "small.mc"));
}

TEST(MessageCompilerTable, JapaneseTextIsUtf16WithCrLf)
{
    TempDir dir;
    const Compiled compiled = Compile(dir, "LanguageNames=(English=0x409:MSG00409)\n"
                                           "LanguageNames=(Japanese=0x411:MSG00411)\n"
                                           "MessageId=7\nSymbolicName=J\n"
                                           "Language=English\nTwo\nlines\n.\n"
                                           "Language=Japanese\n休止\n𠀋\n.\n");
    ASSERT_EQ(compiled.run.exitCode, 0) << compiled.run.errors;
    const std::optional<std::u16string> english = winsim::FindMessage(ReadBytes(dir / "MSG00409.bin"), 7);
    const std::optional<std::u16string> japanese = winsim::FindMessage(ReadBytes(dir / "MSG00411.bin"), 7);
    ASSERT_TRUE(english && japanese);
    EXPECT_EQ(*english, u"Two\r\nlines\r\n");
    EXPECT_EQ(*japanese, u"休止\r\n𠀋\r\n"); // the last one needs a surrogate pair
    EXPECT_NE(compiled.rc.find("LANGUAGE 0x11,0x1\n1 11 \"MSG00411.bin\"\n"), std::string::npos);
}

struct OptionCase
{
    const char* name;
    const char* mc;
    std::vector<std::string> options;
    const char* expectedDefine;
};

TEST(MessageCompilerHeader, OptionsAndDefaults)
{
    const OptionCase cases[] = {
        {"customer bit",
         "MessageIdTypedef=DWORD\nMessageId=3\nSeverity=Warning\nSymbolicName=C\nLanguage=English\nc\n.\n",
         {"-c"},
         "#define C ((DWORD)0xA0000003L)\n"},
        {"decimal output",
         "OutputBase=10\nMessageId=0x10\nSeverity=Error\nFacility=Application\nSymbolicName=D\n"
         "Language=English\nd\n.\n",
         {},
         "#define D 3489595408L\n"},
        {"severity and facility carry over",
         "FacilityNames=(Mine=0x123)\nMessageId=1\nSeverity=Error\nFacility=Mine\n"
         "SymbolicName=E1\nLanguage=English\ne\n.\n"
         "MessageId=\nSymbolicName=E2\nLanguage=English\ne\n.\n",
         {},
         "#define E2 0xC1230002L\n"},
        {"numbers counted per facility",
         "FacilityNames=(F1=0x1 F2=0x2)\n"
         "MessageId=5\nFacility=F1\nSymbolicName=G1\nLanguage=English\ng\n.\n"
         "MessageId=9\nFacility=F2\nSymbolicName=G2\nLanguage=English\ng\n.\n"
         "MessageId=\nFacility=F1\nSymbolicName=G3\nLanguage=English\ng\n.\n",
         {},
         "#define G3 0x00010006L\n"},
        {"keywords ignore case",
         "messageid=0x20\nseverity=Informational\nsymbolicname=H\nlanguage=English\nh\n.\n",
         {},
         "#define H 0x40000020L\n"},
    };
    for (const OptionCase& c : cases)
    {
        SCOPED_TRACE(c.name);
        TempDir dir;
        const Compiled compiled = Compile(dir, c.mc, c.options);
        ASSERT_EQ(compiled.run.exitCode, 0) << compiled.run.errors;
        EXPECT_NE(compiled.header.find(c.expectedDefine), std::string::npos) << compiled.header;
    }
}

TEST(MessageCompilerTable, DefaultLanguageIsEnglishInMsg00001)
{
    TempDir dir;
    const Compiled compiled = Compile(dir, "MessageId=1\nSymbolicName=X\nLanguage=English\nx\n.\n");
    ASSERT_EQ(compiled.run.exitCode, 0) << compiled.run.errors;
    EXPECT_NE(compiled.rc.find("LANGUAGE 0x9,0x1\n1 11 \"MSG00001.bin\"\n"), std::string::npos)
        << compiled.rc;
    EXPECT_EQ(winsim::FindMessage(ReadBytes(dir / "MSG00001.bin"), 1), std::u16string(u"x\r\n"));
}

// ---- Diagnostics ----------------------------------------------------------------------------------

struct ErrorCase
{
    const char* name;
    const char* mc;
    int line;
    const char* message; // part of the diagnostic
};

TEST(MessageCompilerErrors, StopWithFileLineAndMessage)
{
    const ErrorCase cases[] = {
        {"unknown keyword", "MessageId=1\nSymbolicName=A\nColour=Red\nLanguage=English\na\n.\n", 3,
         "unknown keyword 'Colour'"},
        {"unknown severity", "MessageId=1\n\nSeverity=Fatal\nLanguage=English\na\n.\n", 3,
         "unknown severity 'Fatal'"},
        {"unknown facility", "MessageId=1\nFacility=Nowhere\nLanguage=English\na\n.\n", 2,
         "unknown facility 'Nowhere'"},
        {"unknown language", "MessageId=1\nLanguage=Klingon\na\n.\n", 2, "unknown language 'Klingon'"},
        {"text not ended", "MessageId=1\nSymbolicName=A\nLanguage=English\nno end\n", 3, "single '.'"},
        {"severity too large", "SeverityNames=(Bad=0x4)\n", 1, "does not fit in 2 bits"},
        {"facility too large", "\nFacilityNames=(Big=0x1000)\n", 2, "does not fit in 12 bits"},
        {"message number too large", "MessageId=0x10000\nLanguage=English\na\n.\n", 1,
         "does not fit in 16 bits"},
        {"duplicate code", "MessageId=1\nLanguage=English\na\n.\n\nMessageId=1\nLanguage=English\nb\n.\n", 6,
         "already used by the message at line 1"},
        {"duplicate symbol",
         "MessageId=1\nSymbolicName=S\nLanguage=English\na\n.\nMessageId=2\nSymbolicName=S\n"
         "Language=English\nb\n.\n",
         6, "SymbolicName S is already used"},
        {"missing language text",
         "LanguageNames=(English=0x409:MSG00409 Japanese=0x411:MSG00411)\n"
         "MessageId=1\nSymbolicName=A\nLanguage=English\na\n.\nLanguage=Japanese\nb\n.\n"
         "MessageId=2\nSymbolicName=B\nLanguage=English\nc\n.\n",
         10, "has no text for language Japanese"},
        {"statement outside a message", ";// comment\nSeverity=Error\n", 2, "outside a message definition"},
        {"language without file", "LanguageNames=(English=0x409)\n", 1, "needs a file name"},
        {"list not closed", "SeverityNames=(A=1\nB=2\n", 1, "missing ')'"},
        {"symbol not an identifier", "MessageId=1\nSymbolicName=1ABC\nLanguage=English\na\n.\n", 2,
         "not a C identifier"},
        {"bad number", "MessageId=12z\nLanguage=English\na\n.\n", 1, "not a message number"},
        {"message without text", "MessageId=1\nSymbolicName=A\nMessageId=2\nLanguage=English\na\n.\n", 1,
         "has no Language= text"},
        {"invalid UTF-8", "MessageId=1\nLanguage=English\n\xC3\x28\n.\n", 2, "not valid UTF-8"},
    };
    for (const ErrorCase& c : cases)
    {
        SCOPED_TRACE(c.name);
        TempDir dir;
        const Compiled compiled = Compile(dir, c.mc);
        EXPECT_EQ(compiled.run.exitCode, 1);
        const std::string where = (dir / "small.mc").string() + ":" + std::to_string(c.line) + ": error: ";
        EXPECT_NE(compiled.run.errors.find(where), std::string::npos) << compiled.run.errors;
        EXPECT_NE(compiled.run.errors.find(c.message), std::string::npos) << compiled.run.errors;
        // Nothing is written for a file with errors.
        EXPECT_FALSE(std::filesystem::exists(dir / "small.h"));
        EXPECT_FALSE(std::filesystem::exists(dir / "small.rc"));
    }
}

TEST(MessageCompilerErrors, MissingInputAndBadOptions)
{
    TempDir dir;
    const toolstest::RunResult missing =
        RunTool(WINSIM_MC, {(dir / "absent.mc").string()}, dir / "errors.txt");
    EXPECT_EQ(missing.exitCode, 1);
    EXPECT_NE(missing.errors.find("absent.mc: error: cannot open the file"), std::string::npos)
        << missing.errors;
    const toolstest::RunResult usage = RunTool(WINSIM_MC, {"--frobnicate"}, dir / "errors.txt");
    EXPECT_EQ(usage.exitCode, 2);
    EXPECT_NE(usage.errors.find("usage: winsim-mc"), std::string::npos) << usage.errors;
}

} // namespace
