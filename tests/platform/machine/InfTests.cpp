// Setup information files: sections, entries, quoting and string substitution.
#include "machine/Inf.h"

#include <gtest/gtest.h>

#include <stdexcept>

namespace
{

using winsim::machine::InfFile;

const char* const Sample = "; a comment line\r\n"
                           "[Version]\r\n"
                           "Signature = \"$WINDOWS NT$\"   ; trailing comment\r\n"
                           "Class=Ports\r\n"
                           "\r\n"
                           "[Models.NTamd64]\r\n"
                           "%Desc% = Install, USB\\VID_1234&PID_0001, USB\\Class_02\r\n"
                           "[Install.AddReg]\r\n"
                           "HKR,,EnumPropPages32,,\"Page.dll,Provider\"\r\n"
                           "HKR,,Quoted,,\"say \"\"hi\"\"; not a comment\"\r\n"
                           "HKR,Parameters,Percent,,\"%%SystemRoot%%\\x.sys\"\r\n"
                           "HKR,,Continued,%REG_DWORD%,\\\r\n"
                           "    7\r\n"
                           "[Strings]\r\n"
                           "Desc = \"Reader, the first\"\r\n"
                           "REG_DWORD = 0x00010001\r\n";

TEST(InfFileTest, ParsesSectionsEntriesAndStrings)
{
    InfFile inf = InfFile::Parse(Sample, "sample.inf");
    EXPECT_EQ("$WINDOWS NT$", inf.Value("version", "SIGNATURE").value_or(""));
    EXPECT_EQ("Ports", inf.Value("Version", "Class").value_or(""));
    ASSERT_EQ(1u, inf.Section("Models.NTamd64").size());
    const auto& model = inf.Section("models.ntamd64")[0];
    EXPECT_EQ("Reader, the first", model.key);
    ASSERT_EQ(3u, model.values.size());
    EXPECT_EQ("Install", model.values[0]);
    EXPECT_EQ("USB\\VID_1234&PID_0001", model.values[1]);
    EXPECT_EQ(7, model.lineNumber);
}

TEST(InfFileTest, QuotesKeepCommasSemicolonsAndDoubledQuotes)
{
    InfFile inf = InfFile::Parse(Sample, "sample.inf");
    const auto& lines = inf.Section("Install.AddReg");
    ASSERT_EQ(4u, lines.size());
    ASSERT_EQ(5u, lines[0].values.size());
    EXPECT_EQ("Page.dll,Provider", lines[0].values[4]);
    EXPECT_EQ("say \"hi\"; not a comment", lines[1].values[4]);
    EXPECT_EQ("%SystemRoot%\\x.sys", lines[2].values[4]);
    // A trailing backslash continues the line; the entry keeps the number of its first line.
    EXPECT_EQ("0x00010001", lines[3].values[3]);
    EXPECT_EQ("7", lines[3].values[4]);
    EXPECT_EQ(12, lines[3].lineNumber);
}

TEST(InfFileTest, MissingSectionsAreEmpty)
{
    InfFile inf = InfFile::Parse(Sample, "sample.inf");
    EXPECT_FALSE(inf.HasSection("Nothing"));
    EXPECT_TRUE(inf.Section("Nothing").empty());
    EXPECT_FALSE(inf.Value("Version", "Provider").has_value());
}

TEST(InfFileTest, MalformedLinesNameTheirLine)
{
    struct Case
    {
        const char* text;
        const char* message;
    };
    for (Case c : {Case{"[Version\r\nA=B\r\n", "bad.inf:1: section header without ']'"},
                   Case{"A=B\r\n", "bad.inf:1: entry outside any section"},
                   Case{"[Strings]\r\nNoEquals\r\n", "bad.inf:2: string without '='"},
                   Case{"[S]\r\n\r\nA=%Unclosed\r\n", "bad.inf:3: unmatched %"}})
    {
        try
        {
            InfFile::Parse(c.text, "bad.inf");
            ADD_FAILURE() << "no error for: " << c.text;
        }
        catch (const std::runtime_error& error)
        {
            EXPECT_EQ(std::string(c.message), error.what());
        }
    }
}

} // namespace
