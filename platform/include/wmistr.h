// WMI data structures shared by the kernel and WMI providers (as far as the machine implements them).
#pragma once

#include <winsim/base.h>

typedef struct _WNODE_HEADER
{
    ULONG BufferSize;
    ULONG ProviderId;
    union {
        ULONG64 HistoricalContext;
        struct
        {
            ULONG Version;
            ULONG Linkage;
        };
    };
    union {
        ULONG CountLost;
        HANDLE KernelHandle;
        LARGE_INTEGER TimeStamp;
    };
    GUID Guid;
    ULONG ClientContext;
    ULONG Flags;
} WNODE_HEADER, *PWNODE_HEADER;

#ifdef __cplusplus
static_assert(sizeof(WNODE_HEADER) == 48, "WNODE_HEADER is 48 bytes on x64");
#endif

#define WNODE_FLAG_ALL_DATA        0x00000001
#define WNODE_FLAG_SINGLE_INSTANCE 0x00000002
#define WNODE_FLAG_TRACED_GUID     0x00020000
#define WNODE_FLAG_LOG_WNODE       0x00040000
#define WNODE_FLAG_USE_GUID_PTR    0x00080000
#define WNODE_FLAG_USE_MOF_PTR     0x00100000

typedef struct
{
    GUID Guid;
    ULONG Flags;
    ULONG InstanceCount;
    union {
        ULONG InstanceNameList;
        ULONG BaseNameOffset;
        ULONG_PTR Pdo;
        ULONG_PTR InstanceInfo;
    };
} WMIREGGUIDW, *PWMIREGGUIDW;

typedef struct
{
    ULONG BufferSize;
    ULONG NextWmiRegInfo;
    ULONG RegistryPath;
    ULONG MofResourceName;
    ULONG GuidCount;
    WMIREGGUIDW WmiRegGuid[1];
} WMIREGINFOW, *PWMIREGINFOW;
typedef WMIREGINFOW WMIREGINFO;
typedef PWMIREGINFOW PWMIREGINFO;

#define WMIREG_FLAG_TRACED_GUID        0x00080000
#define WMIREG_FLAG_TRACE_CONTROL_GUID 0x00001000
