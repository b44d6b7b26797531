// The trace formatter: conversions read from argument blobs with Windows semantics, the .tmf
// reader, and messages it does not know.
#include "base/tracefmt.h"

#include <string.h>

#include <gtest/gtest.h>

namespace
{

using Blob = std::vector<uint8_t>;

Blob U32(uint32_t value)
{
    return {static_cast<uint8_t>(value), static_cast<uint8_t>(value >> 8), static_cast<uint8_t>(value >> 16),
            static_cast<uint8_t>(value >> 24)};
}

Blob U64(uint64_t value)
{
    Blob blob;
    for (int i = 0; i < 8; ++i)
    {
        blob.push_back(static_cast<uint8_t>(value >> (8 * i)));
    }
    return blob;
}

Blob Double(double value)
{
    Blob blob(8);
    memcpy(blob.data(), &value, 8);
    return blob;
}

// A wide string as the driver passes it: UTF-16 with its terminator.
Blob Wide(std::u16string_view text, bool terminator = true)
{
    Blob blob;
    for (char16_t c : text)
    {
        blob.push_back(static_cast<uint8_t>(c));
        blob.push_back(static_cast<uint8_t>(c >> 8));
    }
    if (terminator)
    {
        blob.insert(blob.end(), {0, 0});
    }
    return blob;
}

// A narrow string with its terminator.
Blob Narrow(std::string_view text)
{
    Blob blob(text.begin(), text.end());
    blob.push_back(0);
    return blob;
}

struct RenderCase
{
    const char* format;
    std::vector<Blob> arguments;
    const char* expected;
};

TEST(TraceFormatRender, ConversionsReadTheirBlobs)
{
    const RenderCase cases[] = {
        // 32-bit numbers, "l" included
        {"%d", {U32(static_cast<uint32_t>(-5))}, "-5"},
        {"%i", {U32(123)}, "123"},
        {"%u", {U32(0xFFFFFFFF)}, "4294967295"},
        {"%lu", {U32(7)}, "7"},
        {"%ld", {U32(0x80000000)}, "-2147483648"},
        {"%I32u", {U32(9)}, "9"},
        {"%x", {U32(0xBEEF)}, "beef"},
        {"%X", {U32(0xBEEF)}, "BEEF"},
        {"%lx", {U32(0xC0000001)}, "c0000001"},
        {"%o", {U32(8)}, "10"},
        // 64-bit numbers
        {"%I64d", {U64(static_cast<uint64_t>(-2))}, "-2"},
        {"%I64u", {U64(1ull << 40)}, "1099511627776"},
        {"%llx", {U64(0x123456789ABCDEFull)}, "123456789abcdef"},
        {"%lld", {U64(0x8000000000000000ull)}, "-9223372036854775808"},
        {"%Iu", {U64(5)}, "5"},
        {"%zu", {U64(6)}, "6"},
        {"%Ix", {U64(0xFFFFFFFFFFull)}, "ffffffffff"},
        // short and char sizes, passed either way
        {"%hu", {Blob{0x34, 0x12}}, "4660"},
        {"%hd", {U32(0xFFFF)}, "-1"},
        {"%hhu", {U32(0x1FF)}, "255"},
        // width, precision, flags
        {"%08x", {U32(0x1234)}, "00001234"},
        {"%#x", {U32(0x1234)}, "0x1234"},
        {"[%5d]", {U32(42)}, "[   42]"},
        {"[%-5d]", {U32(42)}, "[42   ]"},
        {"%+d", {U32(3)}, "+3"},
        {"%.4u", {U32(7)}, "0007"},
        {"[%*d]", {U32(6), U32(42)}, "[    42]"},
        {"[%-*d]", {U32(4), U32(1)}, "[1   ]"},
        // pointers, characters, floating point
        {"%p", {U64(0xFFFFF80012345678ull)}, "FFFFF80012345678"},
        {"%c", {Blob{'A'}}, "A"},
        {"%c", {U32('B')}, "B"},
        {"%C", {Blob{0x42, 0x30}}, "あ"},
        {"%wc", {U32(0x3042)}, "あ"},
        {"%.2f", {Double(3.14159)}, "3.14"},
        {"%e", {Double(1500.0)}, "1.500000e+03"},
        // strings: narrow, wide, counted
        {"%s", {Narrow("Started")}, "Started"},
        {"%hs", {Narrow("Interrupt")}, "Interrupt"},
        {"[%10s]", {Narrow("Started")}, "[   Started]"},
        {"[%-10s]", {Narrow("Started")}, "[Started   ]"},
        {"%.3s", {Narrow("Started")}, "Sta"},
        {"%s", {Blob{'n', 'o', ' ', 'n', 'u', 'l'}}, "no nul"},
        {"%ws", {Wide(u"COM3")}, "COM3"},
        {"%S", {Wide(u"COM4")}, "COM4"},
        {"%ls", {Wide(u"COM5")}, "COM5"},
        {"%ws", {Wide(u"ポート名")}, "ポート名"},
        {"[%6ws]", {Wide(u"COM3")}, "[  COM3]"},
        {"%.2ws", {Wide(u"ポート名")}, "ポー"},
        {"%wZ", {Wide(u"COM9", false)}, "COM9"},
        {"%Z", {Blob{'a', 'b'}}, "ab"},
        {"%ws", {Wide(u"")}, ""},
        // literal text
        {"100%% done", {}, "100% done"},
        {"%y stays", {}, "%y stays"},
        {"ends with %", {}, "ends with %"},
        // a whole driver line
        {"%ws: instance number %u, %s",
         {Wide(u"COM3"), U32(2), Narrow("Started")},
         "COM3: instance number 2, Started"},
    };
    for (const RenderCase& c : cases)
    {
        SCOPED_TRACE(c.format);
        EXPECT_EQ(winsim::RenderTraceFormat(c.format, c.arguments), c.expected);
    }
}

TEST(TraceFormatRender, BlobsOfTheWrongSizeAreShownInHex)
{
    const RenderCase cases[] = {
        {"%lu", {U64(7)}, "[07 00 00 00 00 00 00 00]"}, // "l" is 32 bits on Windows
        {"%d", {U64(1)}, "[01 00 00 00 00 00 00 00]"},
        {"%u", {Blob{1, 2}}, "[01 02]"},
        {"%I64u", {U32(1)}, "[01 00 00 00]"},
        {"%llx", {Blob{0xAB}}, "[ab]"},
        {"%zu", {U32(3)}, "[03 00 00 00]"},
        {"%p", {U32(0x1234)}, "[34 12 00 00]"},
        {"%ws", {Blob{'A', 0, 'B'}}, "[41 00 42]"}, // odd size cannot be UTF-16
        {"%c", {Blob{1, 2, 3}}, "[01 02 03]"},
        {"%f", {U32(1)}, "[01 00 00 00]"},
        {"%!STATUS!", {U32(0xC0000001)}, "[01 00 00 c0]"},
        {"%u then %u", {U32(1), Blob{}}, "1 then []"},
    };
    for (const RenderCase& c : cases)
    {
        SCOPED_TRACE(c.format);
        EXPECT_EQ(winsim::RenderTraceFormat(c.format, c.arguments), c.expected);
    }
}

TEST(TraceFormatRender, MissingAndExtraArguments)
{
    EXPECT_EQ(winsim::RenderTraceFormat("%u and %u", std::vector<Blob>{U32(1)}), "1 and <missing>");
    EXPECT_EQ(winsim::RenderTraceFormat("%u", std::vector<Blob>{U32(1), U32(2)}), "1");
}

TEST(TraceFormatParse, ConversionsAndArgumentCounts)
{
    const std::vector<winsim::FormatPiece> pieces = winsim::ParseTraceFormat("a%-08.3I64xb%%c%*ws%!HEX!");
    ASSERT_EQ(pieces.size(), 5u);
    EXPECT_FALSE(pieces[0].conversion);
    EXPECT_EQ(pieces[0].text, "a");
    EXPECT_TRUE(pieces[1].conversion);
    EXPECT_EQ(pieces[1].text, "%-08.3I64x");
    EXPECT_EQ(pieces[1].flags, "-0");
    EXPECT_EQ(pieces[1].width, 8);
    EXPECT_EQ(pieces[1].precision, 3);
    EXPECT_EQ(pieces[1].size, "I64");
    EXPECT_EQ(pieces[1].type, 'x');
    EXPECT_EQ(pieces[2].text, "b%c");
    EXPECT_TRUE(pieces[3].widthArgument);
    EXPECT_EQ(pieces[3].size, "w");
    EXPECT_EQ(pieces[3].type, 's');
    EXPECT_EQ(pieces[3].Arguments(), 2u);
    EXPECT_EQ(pieces[4].type, '!');
    EXPECT_EQ(pieces[4].extension, "HEX");

    const std::pair<const char*, size_t> counts[] = {
        {"none", 0}, {"%% no", 0}, {"%d %s", 2}, {"%*.*d", 3}, {"%!STATUS! %u", 2}, {"%q %u", 1}, {"%", 0},
    };
    for (const auto& [format, count] : counts)
    {
        EXPECT_EQ(winsim::CountTraceArguments(format), count) << format;
    }
}

// ---- .tmf files ---------------------------------------------------------------------------------

const char kTmf[] =
    "#winsim-tmf 1\n"
    "# a comment\n"
    "\n"
    "0a1b2c3d-0001-5002-8003-000000000004\t12\tTRACE_LEVEL_ERROR\tTRACE_FLAG_GENERAL\tDriver.cpp\t12\t"
    "%ws: failed with %08x\n"
    "0a1b2c3d-0001-5002-8003-000000000004\t40\tTRACE_LEVEL_INFORMATION\tTRACE_FLAG_GENERAL\tDriver.cpp\t"
    "39\tline\\tone\\\\two\n"
    "FFFFFFFF-0001-5002-8003-00000000000A\t12\t3\tTRACE_FLAG_GENERAL\tDevice.cpp\t12\tdevice %s\n";

winsim::TraceGuid DriverGuid()
{
    return *winsim::ParseGuid("0a1b2c3d-0001-5002-8003-000000000004");
}

TEST(TraceFormatFile, RendersKnownMessagesWithTheirTracePoint)
{
    std::string error;
    const std::optional<winsim::TraceFormats> formats = winsim::TraceFormats::Parse(kTmf, "test.tmf", &error);
    ASSERT_TRUE(formats) << error;
    EXPECT_EQ(formats->size(), 3u);

    winsim::TraceMessage message{DriverGuid(), 12, {Wide(u"COM3"), U32(0xC0000001)}};
    winsim::RenderedTrace rendered = formats->Render(message);
    EXPECT_TRUE(rendered.known);
    EXPECT_EQ(rendered.text, "COM3: failed with c0000001");
    EXPECT_EQ(rendered.level, "TRACE_LEVEL_ERROR");
    EXPECT_EQ(rendered.levelValue, 2);
    EXPECT_EQ(rendered.flag, "TRACE_FLAG_GENERAL");
    EXPECT_EQ(rendered.file, "Driver.cpp");
    EXPECT_EQ(rendered.line, 12u);

    rendered = formats->Render({DriverGuid(), 40, {}});
    EXPECT_EQ(rendered.text, "line\tone\\two");
    EXPECT_EQ(rendered.line, 39u);
    EXPECT_EQ(rendered.levelValue, 4);

    // Same number, other module; the GUID is read in upper case too.
    rendered =
        formats->Render({*winsim::ParseGuid("ffffffff-0001-5002-8003-00000000000a"), 12, {Narrow("on")}});
    EXPECT_EQ(rendered.text, "device on");
    EXPECT_EQ(rendered.file, "Device.cpp");
    EXPECT_EQ(rendered.levelValue, 3);
}

TEST(TraceFormatFile, UnknownMessagesShowGuidNumberAndArgumentsInHex)
{
    const std::optional<winsim::TraceFormats> formats = winsim::TraceFormats::Parse(kTmf, "test.tmf");
    ASSERT_TRUE(formats);
    const winsim::TraceGuid other = *winsim::ParseGuid("{11111111-2222-3333-4444-555555555555}");
    struct Case
    {
        winsim::TraceMessage message;
        const char* expected;
    } cases[] = {
        {{other, 12, {U32(7), Wide(u"A")}},
         "Unknown( 11111111-2222-3333-4444-555555555555 12 ) [07 00 00 00] [41 00 00 00]"},
        {{DriverGuid(), 13, {}}, "Unknown( 0a1b2c3d-0001-5002-8003-000000000004 13 )"},
    };
    for (const Case& c : cases)
    {
        const winsim::RenderedTrace rendered = formats->Render(c.message);
        EXPECT_FALSE(rendered.known);
        EXPECT_EQ(rendered.text, c.expected);
        EXPECT_TRUE(rendered.file.empty());
        EXPECT_EQ(rendered.levelValue, -1);
    }
}

TEST(TraceFormatFile, WriteThenParseKeepsEveryField)
{
    winsim::TraceFormatEntry entry;
    entry.guid = DriverGuid();
    entry.number = 77;
    entry.level = "TRACE_LEVEL_WARNING";
    entry.flag = "TRACE_FLAG_GENERAL | 2";
    entry.file = "Odd\tName.cpp";
    entry.line = 76;
    entry.format = "tab\there\r\n\x7f back\\slash 日本";
    const std::string text = winsim::TraceFormats::Write(std::vector{entry});
    std::string error;
    const std::optional<winsim::TraceFormats> formats = winsim::TraceFormats::Parse(text, "written", &error);
    ASSERT_TRUE(formats) << error << "\n" << text;
    const winsim::TraceFormatEntry* read = formats->Find(entry.guid, 77);
    ASSERT_NE(read, nullptr);
    EXPECT_EQ(read->level, entry.level);
    EXPECT_EQ(read->flag, entry.flag);
    EXPECT_EQ(read->file, entry.file);
    EXPECT_EQ(read->line, entry.line);
    EXPECT_EQ(read->format, entry.format);
}

TEST(TraceFormatFile, MergeAddsAndReplaces)
{
    std::optional<winsim::TraceFormats> formats = winsim::TraceFormats::Parse(kTmf, "a");
    const std::optional<winsim::TraceFormats> more = winsim::TraceFormats::Parse(
        "#winsim-tmf 1\n0a1b2c3d-0001-5002-8003-000000000004\t12\t2\t1\tDriver.cpp\t12\tnew text\n"
        "0a1b2c3d-0001-5002-8003-000000000004\t99\t2\t1\tDriver.cpp\t99\tadded\n",
        "b");
    ASSERT_TRUE(formats && more);
    formats->Merge(*more);
    EXPECT_EQ(formats->size(), 4u);
    EXPECT_EQ(formats->Render({DriverGuid(), 12, {}}).text, "new text");
    EXPECT_EQ(formats->Render({DriverGuid(), 99, {}}).text, "added");
}

struct BadTmf
{
    const char* name;
    const char* text;
    const char* message;
};

TEST(TraceFormatFile, MalformedFilesAreErrorsWithTheirLine)
{
    const std::string entry = "0a1b2c3d-0001-5002-8003-000000000004\t1\t2\t3\tF.cpp\t1\tx\n";
    const std::string twice = "#winsim-tmf 1\n" + entry + entry;
    const BadTmf cases[] = {
        {"no magic line", "0a1b2c3d-0001-5002-8003-000000000004\t1\t2\t3\tF.cpp\t1\tx\n",
         "test.tmf:1: not a trace format file"},
        {"empty", "", "test.tmf: empty trace format file"},
        {"six fields", "#winsim-tmf 1\n0a1b2c3d-0001-5002-8003-000000000004\t1\t2\t3\tF.cpp\t1\n",
         "test.tmf:2: expected 7 tab-separated fields, found 6"},
        {"bad GUID", "#winsim-tmf 1\n\n0a1b2c3d-0001-5002-8003-00000000000G\t1\t2\t3\tF.cpp\t1\tx\n",
         "test.tmf:3: bad message GUID"},
        {"bad number", "#winsim-tmf 1\n0a1b2c3d-0001-5002-8003-000000000004\t-1\t2\t3\tF.cpp\t1\tx\n",
         "test.tmf:2: bad message number"},
        {"bad escape", "#winsim-tmf 1\n0a1b2c3d-0001-5002-8003-000000000004\t1\t2\t3\tF.cpp\t1\tx\\q\n",
         "test.tmf:2: bad escape"},
        {"twice", twice.c_str(), "test.tmf:3: message"},
    };
    for (const BadTmf& c : cases)
    {
        SCOPED_TRACE(c.name);
        std::string error;
        EXPECT_FALSE(winsim::TraceFormats::Parse(c.text, "test.tmf", &error));
        EXPECT_NE(error.find(c.message), std::string::npos) << error;
    }
    std::string error;
    EXPECT_FALSE(winsim::TraceFormats::Load("/nonexistent/trace.tmf", &error));
    EXPECT_NE(error.find("cannot open"), std::string::npos);
}

TEST(TraceFormatFile, EscapesRoundTrip)
{
    const std::pair<const char*, const char*> cases[] = {
        {"plain", "plain"},
        {"a\tb", "a\\tb"},
        {"\\", "\\\\"},
        {"\r\n", "\\r\\n"},
        {"\x01\x1f\x7f", "\\x01\\x1F\\x7F"},
        {"ü日", "ü日"},
    };
    for (const auto& [raw, escaped] : cases)
    {
        EXPECT_EQ(winsim::EscapeTmfField(raw), escaped);
        EXPECT_EQ(winsim::UnescapeTmfField(escaped), std::string(raw));
    }
    for (const char* bad : {"\\", "\\x1", "\\xZZ", "\\a"})
    {
        EXPECT_EQ(winsim::UnescapeTmfField(bad), std::nullopt) << bad;
    }
}

TEST(TraceFormatGuid, FormatAndParse)
{
    winsim::TraceGuid guid;
    guid.Data1 = 0x0A1B2C3D;
    guid.Data2 = 0x0001;
    guid.Data3 = 0x5002;
    const uint8_t tail[8] = {0x80, 0x03, 0, 0, 0, 0, 0, 0x04};
    memcpy(guid.Data4, tail, 8);
    EXPECT_EQ(winsim::FormatGuid(guid), "0a1b2c3d-0001-5002-8003-000000000004");
    EXPECT_EQ(winsim::ParseGuid("0a1b2c3d-0001-5002-8003-000000000004"), guid);
    EXPECT_EQ(winsim::ParseGuid("{0A1B2C3D-0001-5002-8003-000000000004}"), guid);
    for (const char* bad : {"", "0a1b2c3d-0001-5002-8003-00000000000", "0a1b2c3d00001-5002-8003-000000000004",
                            "0a1b2c3d-0001-5002-8003-0000000000041", "{0a1b2c3d-0001-5002-8003-000000000004"})
    {
        EXPECT_EQ(winsim::ParseGuid(bad), std::nullopt) << bad;
    }
}

TEST(TraceFormatLevels, NamesAndNumbers)
{
    const std::pair<const char*, int> cases[] = {
        {"TRACE_LEVEL_CRITICAL", 1},
        {"TRACE_LEVEL_ERROR", 2},
        {"TRACE_LEVEL_WARNING", 3},
        {"TRACE_LEVEL_INFORMATION", 4},
        {"TRACE_LEVEL_VERBOSE", 5},
        {"4", 4},
        {"0x5", 5},
        {"MY_LEVEL", -1},
        {"", -1},
    };
    for (const auto& [text, value] : cases)
    {
        EXPECT_EQ(winsim::TraceLevelValue(text), value) << text;
    }
}

} // namespace
