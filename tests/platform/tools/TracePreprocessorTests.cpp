// winsim-wpp: the .tmf it wrote for this test program's own trace points (TracePoints.cpp) against
// what the compiler made of them, the module GUIDs in the .tmh files, and its diagnostics.
#include "base/tracefmt.h"

#include "ToolTestSupport.h"
#include "TracePoints.h"

#include <stdio.h>

#include <gtest/gtest.h>

#include <set>

namespace
{

using toolstest::ReadText;
using toolstest::RunTool;
using toolstest::TempDir;
using toolstest::WriteText;

winsim::TraceGuid GuidOf(const RecordedTracePoint& point)
{
    winsim::TraceGuid guid;
    static_assert(sizeof(guid) == sizeof(point.guid));
    memcpy(&guid, point.guid, sizeof(guid));
    return guid;
}

winsim::TraceFormats LoadTestTmf()
{
    std::string error;
    std::optional<winsim::TraceFormats> formats = winsim::TraceFormats::Load(TEST_TMF, &error);
    EXPECT_TRUE(formats) << error;
    return formats ? *formats : winsim::TraceFormats{};
}

TEST(TracePreprocessorTmf, EveryCompiledTracePointHasItsEntry)
{
    const winsim::TraceFormats formats = LoadTestTmf();
    const std::vector<RecordedTracePoint> points = RunTracePoints();
    ASSERT_EQ(points.size(), kTracePointCount);
    std::set<int> lines;
    for (const RecordedTracePoint& point : points)
    {
        SCOPED_TRACE("line " + std::to_string(point.line) + ": " + point.format);
        const winsim::TraceFormatEntry* entry =
            formats.Find(GuidOf(point), static_cast<uint32_t>(point.line));
        ASSERT_NE(entry, nullptr) << "no entry for the message number the compiler gives";
        EXPECT_EQ(entry->format, point.format);
        EXPECT_EQ(entry->level, point.level);
        EXPECT_EQ(entry->flag, point.flag);
        EXPECT_EQ(entry->file, "TracePoints.cpp");
        EXPECT_EQ(winsim::CountTraceArguments(entry->format), point.arguments);
        lines.insert(point.line);
    }
    EXPECT_EQ(lines.size(), points.size()) << "one message number per trace point";
}

TEST(TracePreprocessorTmf, NothingOutsideCodeIsTakenForATracePoint)
{
    // Only the trace points that ran are in the file: none from comments, strings or directives.
    const std::string tmf = ReadText(TEST_TMF);
    const std::vector<RecordedTracePoint> points = RunTracePoints();
    ASSERT_FALSE(points.empty());
    const std::string guid = winsim::FormatGuid(GuidOf(points.front()));
    size_t entries = 0;
    for (size_t at = tmf.find('\n' + guid); at != std::string::npos; at = tmf.find('\n' + guid, at + 1))
    {
        ++entries;
    }
    EXPECT_EQ(entries, kTracePointCount);
    for (const char* absent :
         {"inside a line comment", "inside a block comment", "inside a string", "in a macro body"})
    {
        EXPECT_EQ(tmf.find(absent), std::string::npos) << absent;
    }
}

TEST(TracePreprocessorTmf, EntriesCarryFileLineAndJoinedFormat)
{
    const winsim::TraceFormats formats = LoadTestTmf();
    const std::vector<RecordedTracePoint> points = RunTracePoints();
    ASSERT_EQ(points.size(), kTracePointCount);
    // The source's own lines, to find where each trace point stands.
    const std::string source = ReadText(TEST_TRACE_SOURCE);
    auto lineOf = [&](const std::string& text) {
        const size_t at = source.find(text);
        return at == std::string::npos
                   ? -1
                   : 1 + static_cast<int>(std::count(source.begin(), source.begin() + at, '\n'));
    };
    struct Case
    {
        size_t index;          // in RunTracePoints() order
        const char* macroText; // text on the macro name's line
        const char* format;
        const char* level;
    } cases[] = {
        {0, "\"%ws: instance number %u\", port, number", "%ws: instance number %u",
         "TRACE_LEVEL_INFORMATION"},
        {1, "\"joined \" \"from \" \"three literals %d\"", "joined from three literals %d",
         "TRACE_LEVEL_ERROR"},
        {2, "TraceEvents(TRACE_LEVEL_WARNING,", "written over %s lines", "TRACE_LEVEL_WARNING"},
        {3, "TraceEvents(TRACE_LEVEL_VERBOSE, TRACE_FLAG_GENERAL,",
         "escapes: tab\there, quote \" backslash \\ octal A hex B %s", "TRACE_LEVEL_VERBOSE"},
        {4, "R\"(raw", "raw \"text\" with \\n kept", "TRACE_LEVEL_INFORMATION"},
        {9, "\"after a \" /* comment */", "after a comment between literals", "TRACE_LEVEL_INFORMATION"},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.format);
        ASSERT_LT(c.index, points.size());
        const RecordedTracePoint& point = points[c.index];
        const winsim::TraceFormatEntry* entry =
            formats.Find(GuidOf(point), static_cast<uint32_t>(point.line));
        ASSERT_NE(entry, nullptr);
        EXPECT_EQ(entry->format, c.format);
        EXPECT_EQ(entry->level, c.level);
        EXPECT_EQ(static_cast<int>(entry->line), lineOf(c.macroText));
    }
}

TEST(TracePreprocessorTmf, ModulesHaveDifferentGuids)
{
    const winsim::TraceFormats formats = LoadTestTmf();
    const std::vector<RecordedTracePoint> points = RunTracePoints();
    const std::vector<RecordedTracePoint> other = RunOtherTracePoints();
    ASSERT_EQ(other.size(), kOtherTracePointCount);
    ASSERT_FALSE(points.empty());
    EXPECT_NE(GuidOf(points.front()), GuidOf(other.front()));
    const winsim::TraceFormatEntry* entry =
        formats.Find(GuidOf(other.front()), static_cast<uint32_t>(other.front().line));
    ASSERT_NE(entry, nullptr);
    EXPECT_EQ(entry->file, "TracePointsOther.cpp");
    EXPECT_EQ(entry->format, "from the other module");
    EXPECT_EQ(formats.size(), kTracePointCount + kOtherTracePointCount);
}

TEST(TracePreprocessorTmf, RendersACompiledTracePoint)
{
    const winsim::TraceFormats formats = LoadTestTmf();
    const std::vector<RecordedTracePoint> points = RunTracePoints();
    ASSERT_FALSE(points.empty());
    winsim::TraceMessage message;
    message.guid = GuidOf(points.front());
    message.number = static_cast<uint32_t>(points.front().line);
    message.arguments = {{'C', 0, 'O', 0, 'M', 0, '3', 0, 0, 0}, {7, 0, 0, 0}};
    const winsim::RenderedTrace rendered = formats.Render(message);
    EXPECT_TRUE(rendered.known);
    EXPECT_EQ(rendered.text, "COM3: instance number 7");
    EXPECT_EQ(rendered.levelValue, 4);
    EXPECT_EQ(rendered.file, "TracePoints.cpp");
}

// ---- Runs at test time ----------------------------------------------------------------------------

struct WppRun
{
    toolstest::RunResult run;
    std::string tmh;
    std::string tmf;
};

WppRun RunWpp(const TempDir& dir, const std::string& fileName, const std::string& source,
              std::vector<std::string> extra = {})
{
    WriteText(dir / fileName, source);
    std::vector<std::string> arguments = {"-o", (dir / "out").string(), "--tmf",
                                          (dir / "out" / "trace.tmf").string()};
    arguments.insert(arguments.end(), extra.begin(), extra.end());
    arguments.push_back((dir / fileName).string());
    WppRun result;
    result.run = RunTool(WINSIM_WPP, arguments, dir / "errors.txt");
    result.tmh = ReadText(dir / "out" / (std::filesystem::path(fileName).stem().string() + ".tmh"));
    result.tmf = ReadText(dir / "out" / "trace.tmf");
    return result;
}

// The GUID a .tmh defines, in the .tmf's text form.
std::string TmhGuid(const std::string& tmh)
{
    unsigned d1, d2, d3, b[8];
    const size_t at = tmh.find("WPP_ThisModuleGuid = {");
    if (at == std::string::npos ||
        sscanf(tmh.c_str() + at,
               "WPP_ThisModuleGuid = {0x%x, 0x%x, 0x%x, {0x%x, 0x%x, 0x%x, 0x%x, 0x%x, 0x%x, 0x%x, 0x%x}};",
               &d1, &d2, &d3, &b[0], &b[1], &b[2], &b[3], &b[4], &b[5], &b[6], &b[7]) != 11)
    {
        return {};
    }
    winsim::TraceGuid guid;
    guid.Data1 = d1;
    guid.Data2 = static_cast<uint16_t>(d2);
    guid.Data3 = static_cast<uint16_t>(d3);
    for (int i = 0; i < 8; ++i)
    {
        guid.Data4[i] = static_cast<uint8_t>(b[i]);
    }
    return winsim::FormatGuid(guid);
}

const char kOneTracePoint[] = "#include \"Driver.tmh\"\n"
                              "void F(int n)\n"
                              "{\n"
                              "    TraceEvents(TRACE_LEVEL_ERROR, TRACE_FLAG_GENERAL, \"value %d\", n);\n"
                              "}\n";

TEST(TracePreprocessorGuid, StableAcrossRunsAndDerivedFromTheFileName)
{
    TempDir first;
    TempDir second;
    TempDir renamed;
    const WppRun a = RunWpp(first, "Driver.cpp", kOneTracePoint);
    // The same name with other contents, in another folder.
    const WppRun b = RunWpp(second, "Driver.cpp", std::string("// changed\n\n") + kOneTracePoint);
    const WppRun again = RunWpp(first, "Driver.cpp", kOneTracePoint);
    const WppRun c = RunWpp(renamed, "Device.cpp", kOneTracePoint);
    for (const WppRun* run : {&a, &b, &again, &c})
    {
        ASSERT_EQ(run->run.exitCode, 0) << run->run.errors;
    }
    const std::string guid = TmhGuid(a.tmh);
    ASSERT_FALSE(guid.empty()) << a.tmh;
    EXPECT_EQ(TmhGuid(b.tmh), guid);
    EXPECT_EQ(TmhGuid(again.tmh), guid);
    EXPECT_NE(TmhGuid(c.tmh), guid);
    // The .tmf uses the same GUID, with the trace point's line as its number.
    EXPECT_NE(a.tmf.find(guid + "\t4\tTRACE_LEVEL_ERROR\tTRACE_FLAG_GENERAL\tDriver.cpp\t4\tvalue %d\n"),
              std::string::npos)
        << a.tmf;
    EXPECT_NE(b.tmf.find(guid + "\t6\t"), std::string::npos) << b.tmf;
    // A name-based GUID (RFC 4122 version 5, SHA-1) of "Driver.cpp" in the namespace
    // b1200f62-23d2-4b82-8ef2-edde87b77c9b, as any implementation of that derivation computes it;
    // it must not change between versions of the tool, or older .tmf files stop matching.
    EXPECT_EQ(guid, "e7f5bf5a-8d96-5d57-8c3c-4536d3823e79");
}

TEST(TracePreprocessorGuid, UnchangedHeaderIsNotRewritten)
{
    TempDir dir;
    ASSERT_EQ(RunWpp(dir, "Driver.cpp", kOneTracePoint).run.exitCode, 0);
    const std::filesystem::path tmh = dir / "out" / "Driver.tmh";
    const auto old = std::filesystem::file_time_type::clock::now() - std::chrono::hours(24);
    std::filesystem::last_write_time(tmh, old);
    // Another trace point: the .tmf changes, the .tmh does not.
    const WppRun run = RunWpp(dir, "Driver.cpp",
                              std::string(kOneTracePoint) + "void G() { TraceEvents(4, 1, \"more\"); }\n");
    ASSERT_EQ(run.run.exitCode, 0) << run.run.errors;
    EXPECT_EQ(std::filesystem::last_write_time(tmh), old);
    EXPECT_NE(run.tmf.find("\tmore\n"), std::string::npos) << run.tmf;
}

TEST(TracePreprocessorLines, MessageNumberFollowsTheCompilersLine)
{
    const std::string source = "void F(int n)\n"
                               "{\n"
                               "    TraceEvents(TRACE_LEVEL_ERROR,\n"
                               "                TRACE_FLAG_GENERAL,\n"
                               "                \"value %d\", n\n"
                               "    );\n"
                               "}\n";
    struct Case
    {
        const char* option;
        const char* expected; // number, then the line of the macro name
    } cases[] = {
        {"macro", "\t3\tTRACE_LEVEL_ERROR\tTRACE_FLAG_GENERAL\tMulti.cpp\t3\tvalue %d\n"},
        {"paren", "\t6\tTRACE_LEVEL_ERROR\tTRACE_FLAG_GENERAL\tMulti.cpp\t3\tvalue %d\n"},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.option);
        TempDir dir;
        const WppRun run = RunWpp(dir, "Multi.cpp", source, {"--line-of", c.option});
        ASSERT_EQ(run.run.exitCode, 0) << run.run.errors;
        EXPECT_NE(run.tmf.find(c.expected), std::string::npos) << run.tmf;
    }
}

TEST(TracePreprocessorLines, OtherMacroNames)
{
    TempDir dir;
    const WppRun run = RunWpp(
        dir, "Names.cpp", "void F() {\n  DoTrace(2, 1, \"first\");\n  TraceEvents(2, 1, \"second\");\n}\n",
        {"--macro", "DoTrace"});
    ASSERT_EQ(run.run.exitCode, 0) << run.run.errors;
    EXPECT_NE(run.tmf.find("\t2\t2\t1\tNames.cpp\t2\tfirst\n"), std::string::npos) << run.tmf;
    EXPECT_EQ(run.tmf.find("second"), std::string::npos) << run.tmf;
}

TEST(TracePreprocessorTmf, TextFieldsAreEscaped)
{
    TempDir dir;
    const WppRun run =
        RunWpp(dir, "Escapes.cpp", "void F() { TraceEvents(4, 1, \"a\\tb\\\\c\\r\\n\\x01\"); }\n");
    ASSERT_EQ(run.run.exitCode, 0) << run.run.errors;
    EXPECT_NE(run.tmf.find("\ta\\tb\\\\c\\r\\n\\x01\n"), std::string::npos) << run.tmf;
    std::string error;
    const std::optional<winsim::TraceFormats> formats =
        winsim::TraceFormats::Parse(run.tmf, "trace.tmf", &error);
    ASSERT_TRUE(formats) << error;
    ASSERT_EQ(formats->size(), 1u);
    const std::string guid = TmhGuid(run.tmh);
    const winsim::TraceFormatEntry* entry = formats->Find(*winsim::ParseGuid(guid), 1);
    ASSERT_NE(entry, nullptr);
    EXPECT_EQ(entry->format, "a\tb\\c\r\n\x01");
}

// ---- Diagnostics ----------------------------------------------------------------------------------

struct ErrorCase
{
    const char* name;
    const char* source;
    int line;
    const char* message;
};

TEST(TracePreprocessorErrors, StopWithFileLineAndMessage)
{
    const ErrorCase cases[] = {
        {"two trace points on one line",
         "void F()\n{\n    TraceEvents(4, 1, \"a\"); TraceEvents(4, 1, \"b\");\n}\n", 3,
         "second trace point with message number 3"},
        {"two trace points ending on one line with paren numbering",
         "void F()\n{\n    TraceEvents(4, 1, \"a\"\n); TraceEvents(4, 1, \"b\");\n}\n", 4,
         "second trace point with message number 4"},
        {"format not a literal", "void F(const char* f)\n{\n  TraceEvents(4, 1, f);\n}\n", 3,
         "must be string literals, found 'f'"},
        {"wide format", "void F()\n{\n  TraceEvents(4, 1, L\"wide\");\n}\n", 3, "narrow string literal"},
        {"too few arguments for the format", "void F()\n{\n  TraceEvents(4, 1, \"%d and %s\", 1);\n}\n", 3,
         "the format takes 2 argument(s) but the trace point passes 1"},
        {"too many arguments for the format", "void F()\n{\n  TraceEvents(4, 1, \"none\", 1);\n}\n", 3,
         "the format takes 0 argument(s) but the trace point passes 1"},
        {"no format", "void F()\n{\n\n  TraceEvents(4, 1);\n}\n", 4, "a level, a flag and a format string"},
        {"empty argument", "void F()\n{\n  TraceEvents(4, , \"x\");\n}\n", 3,
         "argument 2 of TraceEvents is empty"},
        {"not closed", "void F()\n{\n  TraceEvents(4, 1, \"x\"\n", 3, "TraceEvents( is not closed"},
        {"unbalanced", "void F()\n{\n  TraceEvents(4, 1, \"x\"\n}\n", 4, "unbalanced '}' in TraceEvents("},
        {"string not closed", "void F()\n{\n\n  TraceEvents(4, 1, \"x);\n}\n", 4,
         "string literal is not closed"},
        {"comment not closed", "void F()\n{\n  /* TraceEvents(4, 1, \"x\");\n}\n", 3,
         "comment is not closed"},
        {"bad escape", "void F()\n{\n  TraceEvents(4, 1, \"\\q\");\n}\n", 3, "unknown escape sequence"},
    };
    for (const ErrorCase& c : cases)
    {
        SCOPED_TRACE(c.name);
        TempDir dir;
        const bool paren = std::string(c.name).find("paren") != std::string::npos;
        const WppRun run =
            RunWpp(dir, "Bad.cpp", c.source,
                   paren ? std::vector<std::string>{"--line-of", "paren"} : std::vector<std::string>{});
        EXPECT_EQ(run.run.exitCode, 1);
        const std::string where = (dir / "Bad.cpp").string() + ":" + std::to_string(c.line) + ": error: ";
        EXPECT_NE(run.run.errors.find(where), std::string::npos) << run.run.errors;
        EXPECT_NE(run.run.errors.find(c.message), std::string::npos) << run.run.errors;
        EXPECT_FALSE(std::filesystem::exists(dir / "out" / "trace.tmf"));
        EXPECT_FALSE(std::filesystem::exists(dir / "out" / "Bad.tmh"));
    }
}

TEST(TracePreprocessorErrors, SameStemTwice)
{
    TempDir dir;
    std::filesystem::create_directories(dir / "a");
    std::filesystem::create_directories(dir / "b");
    WriteText(dir / "a" / "Driver.cpp", kOneTracePoint);
    WriteText(dir / "b" / "Driver.cpp", kOneTracePoint);
    const toolstest::RunResult run =
        RunTool(WINSIM_WPP,
                {"-o", (dir / "out").string(), "--tmf", (dir / "t.tmf").string(),
                 (dir / "a" / "Driver.cpp").string(), (dir / "b" / "Driver.cpp").string()},
                dir / "errors.txt");
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_NE(run.errors.find("would both use Driver.tmh"), std::string::npos) << run.errors;
}

} // namespace
