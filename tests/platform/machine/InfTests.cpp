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
    EXPECT_EQ(inf.Value("version", "SIGNATURE").value_or(""), "$WINDOWS NT$");
    EXPECT_EQ(inf.Value("Version", "Class").value_or(""), "Ports");
    ASSERT_EQ(inf.Section("Models.NTamd64").size(), 1u);
    const auto& model = inf.Section("models.ntamd64")[0];
    EXPECT_EQ(model.key, "Reader, the first");
    ASSERT_EQ(model.values.size(), 3u);
    EXPECT_EQ(model.values[0], "Install");
    EXPECT_EQ(model.values[1], "USB\\VID_1234&PID_0001");
    EXPECT_EQ(model.lineNumber, 7);
}

TEST(InfFileTest, QuotesKeepCommasSemicolonsAndDoubledQuotes)
{
    InfFile inf = InfFile::Parse(Sample, "sample.inf");
    const auto& lines = inf.Section("Install.AddReg");
    ASSERT_EQ(lines.size(), 4u);
    ASSERT_EQ(lines[0].values.size(), 5u);
    EXPECT_EQ(lines[0].values[4], "Page.dll,Provider");
    EXPECT_EQ(lines[1].values[4], "say \"hi\"; not a comment");
    EXPECT_EQ(lines[2].values[4], "%SystemRoot%\\x.sys");
    // A trailing backslash continues the line; the entry keeps the number of its first line.
    EXPECT_EQ(lines[3].values[3], "0x00010001");
    EXPECT_EQ(lines[3].values[4], "7");
    EXPECT_EQ(lines[3].lineNumber, 12);
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
            EXPECT_EQ(error.what(), std::string(c.message));
        }
    }
}

} // namespace
