// The driver's software tracing: its provider control GUID, the one trace flag, and the trace
// point macro. Every trace point checks the flag and the session's level before it does any work.
#pragma once

#include <ntddk.h>

#include "ProductConstants.h"

#define WPP_CONTROL_GUID_VALUE                                                                               \
    {                                                                                                        \
        TARNO_TRACE_GUID_INITIALIZER                                                                         \
    }
#include <wpp/WppKm.h>

// Bit 0 of the enable flags: the one flag every trace point uses.
#define TRACE_FLAG_GENERAL 0x00000001

// TraceEvents(level, flag, "format", arguments...): the format is kept in the trace format file
// the build writes; the driver sends only the module's message GUID, the trace point's number
// (its line) and the arguments. A trace line about a device passes its port name first.
#define TraceEvents(Level, Flags, Msg, ...)                                                                  \
    do                                                                                                       \
    {                                                                                                        \
        if (WppEnabled((Level), (Flags)))                                                                    \
        {                                                                                                    \
            WppTrace(&WPP_ThisModuleGuid, (USHORT)__LINE__ __VA_OPT__(, ) __VA_ARGS__);                      \
        }                                                                                                    \
    } while (0)
