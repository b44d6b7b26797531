// Trace points compiled into the tools' tests, recorded by a trace macro of the tests' own so that
// the .tmf that winsim-wpp writes can be checked against what the compiler makes of each one.
#pragma once

#include <stddef.h>
#include <string.h>

#include <string>
#include <vector>

struct RecordedTracePoint
{
    unsigned char guid[16]; // the module's WPP_ThisModuleGuid, in memory
    int line;               // __LINE__ at the trace point
    std::string level;      // the level argument as written
    std::string flag;
    std::string format; // the format string as the compiler joined it
    size_t arguments;   // after the format
};

// What the tests' trace macro calls: the module GUID, __LINE__, the level and flag as written and
// the format as compiled.
template <typename... Args>
void RecordTracePoint(std::vector<RecordedTracePoint>& out, const void* guid, int line, const char* level,
                      const char* flag, const char* format, const Args&...)
{
    RecordedTracePoint point;
    memcpy(point.guid, guid, sizeof(point.guid));
    point.line = line;
    point.level = level;
    point.flag = flag;
    point.format = format;
    point.arguments = sizeof...(Args);
    out.push_back(point);
}

// Runs every trace point of TracePoints.cpp and TracePointsOther.cpp once, in order.
std::vector<RecordedTracePoint> RunTracePoints();
std::vector<RecordedTracePoint> RunOtherTracePoints();

// Number of trace points in each of those files.
inline constexpr size_t kTracePointCount = 12;
inline constexpr size_t kOtherTracePointCount = 1;
