// Trace points for winsim-wpp, written the ways a driver writes them and around the things the
// tool must not take for trace points. The tests compare the .tmf with what the compiler records.
#include <guiddef.h>

#include "TracePoints.h"

#include "TracePoints.tmh"

// clang-format off
// The macro of the tests records each trace point; the tool must skip this definition.
#define TraceEvents(level, flag, ...) RecordTracePoint(recorded, &WPP_ThisModuleGuid, __LINE__, #level, #flag, __VA_ARGS__)

// A continued definition that uses the macro is skipped too.
#define TRACE_IN_A_MACRO(x)                                                                      \
    TraceEvents(TRACE_LEVEL_ERROR, TRACE_FLAG_GENERAL, "in a macro body %d", x)

// clang-format on

namespace
{

int Larger(int a, int b)
{
    return a > b ? a : b;
}

} // namespace

std::vector<RecordedTracePoint> RunTracePoints()
{
    std::vector<RecordedTracePoint> recorded;
    const int number = 7;
    const wchar_t* port = L"COM3";
    const char* text = "TraceEvents(TRACE_LEVEL_ERROR, TRACE_FLAG_GENERAL, \"inside a string\");";
    const char quote = '"';

    // clang-format off

    TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_FLAG_GENERAL, "%ws: instance number %u", port, number);
    TraceEvents(TRACE_LEVEL_ERROR, TRACE_FLAG_GENERAL, "joined " "from " "three literals %d", number);
    TraceEvents(TRACE_LEVEL_WARNING,
                TRACE_FLAG_GENERAL,
                "written over %s lines",
                "four");
    // TraceEvents(TRACE_LEVEL_ERROR, TRACE_FLAG_GENERAL, "inside a line comment");
    /* TraceEvents(TRACE_LEVEL_ERROR, TRACE_FLAG_GENERAL, "inside a block comment"); */
    TraceEvents(TRACE_LEVEL_VERBOSE, TRACE_FLAG_GENERAL,
                "escapes: tab\there, quote \" backslash \\ octal \101 hex \x42 %s", text);
    TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_FLAG_GENERAL, R"(raw "text" with \n kept)");
    TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_FLAG_GENERAL, "日本語のテキスト %I64u", static_cast<unsigned long long>(number));
    TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_FLAG_GENERAL, "no argument, 100%% sure");
    TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_FLAG_GENERAL, "nested argument %d", (number + 1) * Larger(2, 3));
    TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_FLAG_GENERAL, "characters %c %c %c", ')', ',', quote);
    TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_FLAG_GENERAL, "after a " /* comment */ "comment " // and another
                "between literals");
    TraceEvents(
        TRACE_LEVEL_ERROR, TRACE_FLAG_GENERAL, "status %!STATUS! and %08lx", 0xC0000001u, 0x10u);
    int values[2] = {1, 2};
    TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_FLAG_GENERAL, "braces %d", values[0] + int{values[1]});
    // clang-format on
    return recorded;
}
