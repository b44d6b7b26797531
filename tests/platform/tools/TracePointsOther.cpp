// A second module for winsim-wpp: its trace points have a message GUID of their own.
#include <guiddef.h>

#include "TracePoints.h"

#include "TracePointsOther.tmh"

// clang-format off
#define TraceEvents(level, flag, ...) RecordTracePoint(recorded, &WPP_ThisModuleGuid, __LINE__, #level, #flag, __VA_ARGS__)
// clang-format on

std::vector<RecordedTracePoint> RunOtherTracePoints()
{
    std::vector<RecordedTracePoint> recorded;
    TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_FLAG_GENERAL, "from the other module");
    return recorded;
}
