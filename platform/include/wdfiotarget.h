// The framework's I/O targets (WDFIOTARGET) and what a driver sends them: the device's local
// target, the states a target goes through, memory descriptors and the relative time-outs of send
// options. <wdf.h> includes this header after its own declarations.
#pragma once

#include <wdf.h>

// ---------------------------------------------------------------------------------------------
// Time-outs: negative values are relative, in 100-ns units

#define WDF_TIMEOUT_TO_SEC ((LONGLONG)1 * 10 * 1000 * 1000)
#define WDF_TIMEOUT_TO_MS  ((LONGLONG)1 * 10 * 1000)
#define WDF_TIMEOUT_TO_US  ((LONGLONG)1 * 10)

inline LONGLONG WDF_REL_TIMEOUT_IN_SEC(ULONGLONG Time)
{
    return (LONGLONG)Time * -1 * WDF_TIMEOUT_TO_SEC;
}

inline LONGLONG WDF_REL_TIMEOUT_IN_MS(ULONGLONG Time)
{
    return (LONGLONG)Time * -1 * WDF_TIMEOUT_TO_MS;
}

inline LONGLONG WDF_REL_TIMEOUT_IN_US(ULONGLONG Time)
{
    return (LONGLONG)Time * -1 * WDF_TIMEOUT_TO_US;
}

WINSIM_EXTERN_C_BEGIN

// ---------------------------------------------------------------------------------------------
// Memory descriptors: a buffer, or a framework memory object and a range of it

typedef struct _WDFMEMORY_OFFSET
{
    size_t BufferOffset;
    size_t BufferLength; // 0: the rest of the buffer from BufferOffset
} WDFMEMORY_OFFSET, *PWDFMEMORY_OFFSET;

typedef enum _WDF_MEMORY_DESCRIPTOR_TYPE
{
    WdfMemoryDescriptorTypeInvalid = 0,
    WdfMemoryDescriptorTypeBuffer,
    WdfMemoryDescriptorTypeMdl,
    WdfMemoryDescriptorTypeHandle,
} WDF_MEMORY_DESCRIPTOR_TYPE;

typedef struct _WDF_MEMORY_DESCRIPTOR
{
    WDF_MEMORY_DESCRIPTOR_TYPE Type;
    union {
        struct
        {
            PVOID Buffer;
            ULONG Length;
        } BufferType;
        struct
        {
            PMDL Mdl;
            ULONG BufferLength;
        } MdlType;
        struct
        {
            WDFMEMORY Memory;
            PWDFMEMORY_OFFSET Offsets;
        } HandleType;
    } u;
} WDF_MEMORY_DESCRIPTOR, *PWDF_MEMORY_DESCRIPTOR;

WINSIM_EXTERN_C_END

inline VOID WDF_MEMORY_DESCRIPTOR_INIT_BUFFER(PWDF_MEMORY_DESCRIPTOR Descriptor, PVOID Buffer,
                                              ULONG BufferLength)
{
    __builtin_memset(Descriptor, 0, sizeof(WDF_MEMORY_DESCRIPTOR));
    Descriptor->Type = WdfMemoryDescriptorTypeBuffer;
    Descriptor->u.BufferType.Buffer = Buffer;
    Descriptor->u.BufferType.Length = BufferLength;
}

inline VOID WDF_MEMORY_DESCRIPTOR_INIT_HANDLE(PWDF_MEMORY_DESCRIPTOR Descriptor, WDFMEMORY Memory,
                                              PWDFMEMORY_OFFSET Offsets)
{
    __builtin_memset(Descriptor, 0, sizeof(WDF_MEMORY_DESCRIPTOR));
    Descriptor->Type = WdfMemoryDescriptorTypeHandle;
    Descriptor->u.HandleType.Memory = Memory;
    Descriptor->u.HandleType.Offsets = Offsets;
}

WINSIM_EXTERN_C_BEGIN

// ---------------------------------------------------------------------------------------------
// I/O targets

typedef enum _WDF_IO_TARGET_STATE
{
    WdfIoTargetStateUndefined = 0,
    WdfIoTargetStarted,
    WdfIoTargetStopped,
    WdfIoTargetClosedForQueryRemove,
    WdfIoTargetClosed,
    WdfIoTargetDeleted,
    WdfIoTargetPurged,
} WDF_IO_TARGET_STATE, *PWDF_IO_TARGET_STATE;

typedef enum _WDF_IO_TARGET_SENT_IO_ACTION
{
    WdfIoTargetSentIoUndefined = 0,
    WdfIoTargetCancelSentIo,
    WdfIoTargetWaitForSentIoToComplete,
    WdfIoTargetLeaveSentIoPending,
} WDF_IO_TARGET_SENT_IO_ACTION;

WINSIM_API WDFIOTARGET imp_WdfDeviceGetIoTarget(PWDF_DRIVER_GLOBALS DriverGlobals, WDFDEVICE Device);
static FORCEINLINE WDFIOTARGET WdfDeviceGetIoTarget(WDFDEVICE Device)
{
    return imp_WdfDeviceGetIoTarget(WdfDriverGlobals, Device);
}

WINSIM_API NTSTATUS imp_WdfIoTargetStart(PWDF_DRIVER_GLOBALS DriverGlobals, WDFIOTARGET IoTarget);
static FORCEINLINE NTSTATUS WdfIoTargetStart(WDFIOTARGET IoTarget)
{
    return imp_WdfIoTargetStart(WdfDriverGlobals, IoTarget);
}

WINSIM_API VOID imp_WdfIoTargetStop(PWDF_DRIVER_GLOBALS DriverGlobals, WDFIOTARGET IoTarget,
                                    WDF_IO_TARGET_SENT_IO_ACTION Action);
static FORCEINLINE VOID WdfIoTargetStop(WDFIOTARGET IoTarget, WDF_IO_TARGET_SENT_IO_ACTION Action)
{
    imp_WdfIoTargetStop(WdfDriverGlobals, IoTarget, Action);
}

WINSIM_API WDF_IO_TARGET_STATE imp_WdfIoTargetGetState(PWDF_DRIVER_GLOBALS DriverGlobals,
                                                       WDFIOTARGET IoTarget);
static FORCEINLINE WDF_IO_TARGET_STATE WdfIoTargetGetState(WDFIOTARGET IoTarget)
{
    return imp_WdfIoTargetGetState(WdfDriverGlobals, IoTarget);
}

WINSIM_API WDFDEVICE imp_WdfIoTargetGetDevice(PWDF_DRIVER_GLOBALS DriverGlobals, WDFIOTARGET IoTarget);
static FORCEINLINE WDFDEVICE WdfIoTargetGetDevice(WDFIOTARGET IoTarget)
{
    return imp_WdfIoTargetGetDevice(WdfDriverGlobals, IoTarget);
}

WINSIM_API PDEVICE_OBJECT imp_WdfIoTargetWdmGetTargetDeviceObject(PWDF_DRIVER_GLOBALS DriverGlobals,
                                                                  WDFIOTARGET IoTarget);
static FORCEINLINE PDEVICE_OBJECT WdfIoTargetWdmGetTargetDeviceObject(WDFIOTARGET IoTarget)
{
    return imp_WdfIoTargetWdmGetTargetDeviceObject(WdfDriverGlobals, IoTarget);
}

WINSIM_EXTERN_C_END
