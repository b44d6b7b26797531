// Event tracing: the definitions kernel-mode providers use, and the controller's part of Win32
// (advapi32): starting, querying, flushing and stopping trace sessions and enabling providers in
// them.
#pragma once

#include <winsim/base.h>
#include <wmistr.h>

#define TRACE_LEVEL_NONE        0
#define TRACE_LEVEL_CRITICAL    1
#define TRACE_LEVEL_FATAL       1
#define TRACE_LEVEL_ERROR       2
#define TRACE_LEVEL_WARNING     3
#define TRACE_LEVEL_INFORMATION 4
#define TRACE_LEVEL_VERBOSE     5

#define TRACE_MESSAGE_SEQUENCE              1
#define TRACE_MESSAGE_GUID                  2
#define TRACE_MESSAGE_COMPONENTID           4
#define TRACE_MESSAGE_TIMESTAMP             8
#define TRACE_MESSAGE_PERFORMANCE_TIMESTAMP 16
#define TRACE_MESSAGE_SYSTEMINFO            32

// The logger handle a session hands to an enabled provider carries the session's logger id,
// level and enable flags in this layout.
typedef struct _TRACE_ENABLE_CONTEXT
{
    USHORT LoggerId;
    UCHAR Level;
    UCHAR InternalFlag;
    ULONG EnableFlags;
} TRACE_ENABLE_CONTEXT, *PTRACE_ENABLE_CONTEXT;

// --- controllers (advapi32) ------------------------------------------------------------------

#define EVENT_TRACE_CONTROL_QUERY  0
#define EVENT_TRACE_CONTROL_STOP   1
#define EVENT_TRACE_CONTROL_UPDATE 2
#define EVENT_TRACE_CONTROL_FLUSH  3

#define EVENT_TRACE_FILE_MODE_NONE        0x00000000
#define EVENT_TRACE_FILE_MODE_SEQUENTIAL  0x00000001
#define EVENT_TRACE_FILE_MODE_CIRCULAR    0x00000002
#define EVENT_TRACE_FILE_MODE_APPEND      0x00000004
#define EVENT_TRACE_FILE_MODE_NEWFILE     0x00000008
#define EVENT_TRACE_FILE_MODE_PREALLOCATE 0x00000020
#define EVENT_TRACE_REAL_TIME_MODE        0x00000100
#define EVENT_TRACE_BUFFERING_MODE        0x00000400

// Largest session name and log file name, in characters with the terminator.
#define MAX_TRACE_SESSION_NAME 1024
#define MAX_TRACE_LOGFILE_NAME 1024

typedef struct _EVENT_TRACE_PROPERTIES
{
    WNODE_HEADER Wnode;
    ULONG BufferSize; // KB
    ULONG MinimumBuffers;
    ULONG MaximumBuffers;
    ULONG MaximumFileSize; // MB
    ULONG LogFileMode;
    ULONG FlushTimer;
    ULONG EnableFlags;
    union {
        LONG AgeLimit;
        LONG FlushThreshold;
    };
    ULONG NumberOfBuffers;
    ULONG FreeBuffers;
    ULONG EventsLost;
    ULONG BuffersWritten;
    ULONG LogBuffersLost;
    ULONG RealTimeBuffersLost;
    HANDLE LoggerThreadId;
    ULONG LogFileNameOffset;
    ULONG LoggerNameOffset;
} EVENT_TRACE_PROPERTIES, *PEVENT_TRACE_PROPERTIES;

#ifdef __cplusplus
static_assert(sizeof(EVENT_TRACE_PROPERTIES) == 120, "EVENT_TRACE_PROPERTIES is 120 bytes on x64");
static_assert(__builtin_offsetof(EVENT_TRACE_PROPERTIES, LoggerThreadId) == 104, "x64 layout");
static_assert(__builtin_offsetof(EVENT_TRACE_PROPERTIES, LogFileNameOffset) == 112, "x64 layout");
#endif

WINSIM_EXTERN_C_BEGIN

WINSIM_API ULONG WINAPI StartTraceA(PTRACEHANDLE TraceHandle, LPCSTR InstanceName,
                                    PEVENT_TRACE_PROPERTIES Properties);
WINSIM_API ULONG WINAPI ControlTraceA(TRACEHANDLE TraceHandle, LPCSTR InstanceName,
                                      PEVENT_TRACE_PROPERTIES Properties, ULONG ControlCode);
WINSIM_API ULONG WINAPI StopTraceA(TRACEHANDLE TraceHandle, LPCSTR InstanceName,
                                   PEVENT_TRACE_PROPERTIES Properties);
WINSIM_API ULONG WINAPI QueryTraceA(TRACEHANDLE TraceHandle, LPCSTR InstanceName,
                                    PEVENT_TRACE_PROPERTIES Properties);
WINSIM_API ULONG WINAPI FlushTraceA(TRACEHANDLE TraceHandle, LPCSTR InstanceName,
                                    PEVENT_TRACE_PROPERTIES Properties);
WINSIM_API ULONG WINAPI EnableTrace(ULONG Enable, ULONG EnableFlag, ULONG EnableLevel, LPCGUID ControlGuid,
                                    TRACEHANDLE TraceHandle);

WINSIM_EXTERN_C_END
