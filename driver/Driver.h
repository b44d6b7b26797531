// TARNOCOM: private declarations shared by the driver's source units — the driver-wide
// parameters, the context structures of the device, its requests, pipes and work items, and the
// routines one unit offers the others.
#pragma once

#include <ntddk.h>
#include <wdf.h>
#include <wdfusb.h>
#include <ntddser.h>
#include <ntstrsafe.h>

#include "Trace.h"

// --- pool tags (four characters in memory order) ------------------------------------------------

#define TARNO_TAG_BULK_IN    '00TZ' // "ZT00": the bulk-in read buffer
#define TARNO_TAG_PAIRS      '10TZ' // "ZT01": interface setting pairs during configuration
#define TARNO_TAG_RX_RING    '20TZ' // "ZT02": the receive ring
#define TARNO_TAG_RX_REPLACE '30TZ' // "ZT03": a larger receive ring waiting to replace the current one

// --- driver-wide parameters -----------------------------------------------------------------

typedef struct _DRIVER_PARAMETERS
{
    ULONG RetryRecovery;
    ULONG LogLevel;
    BOOLEAN IsTestDevice;
    UCHAR DefaultControlLines;
    ULONG DefaultModemStatus;
    BOOLEAN EnableMultipleOpen;
    BOOLEAN EnableSelectiveSuspend;
    ULONG ResetTarget;
    ULONG ResetTiming;
    ULONG IntBufferSetting;
} DRIVER_PARAMETERS, *PDRIVER_PARAMETERS;

// Bit 7 of LogLevel: hex dumps of transferred data in the trace.
#define LOG_LEVEL_DATA_DUMP 0x80

extern DRIVER_PARAMETERS DriverParameters;
// Serialises the allocation and release of instance numbers (device add and device cleanup).
extern WDFWAITLOCK InstanceLock;

// Instance numbers 0..31 can be claimed; bit k of UseInstance is set while k is claimed.
#define MAX_INSTANCE_NUMBERS 32
#define DEVICE_NAME_PREFIX   L"\\Device\\ZTSerial"
#define DOS_DEVICES_PREFIX   L"\\DosDevices\\"
#define NAME_BUFFER_BYTES    256

// --- contexts ---------------------------------------------------------------------------------

// Pipe kinds as traced by name.
#define PIPE_KIND_INTERRUPT 0
#define PIPE_KIND_BULK_IN   1
#define PIPE_KIND_BULK_OUT  2

// Reference bits of a request (REQUEST_CONTEXT.RefBits).
#define REF_PATH   1 // owned by the receive, transmit or event path
#define REF_CANCEL 2 // cancel routine armed
#define REF_TIMER  4 // total timer armed

typedef struct _DEVICE_CONTEXT DEVICE_CONTEXT, *PDEVICE_CONTEXT;

struct _DEVICE_CONTEXT
{
    WDFDEVICE Device;
    UNICODE_STRING DeviceName;
    BOOLEAN SerialCommWritten;
    BOOLEAN PortOpen;

    WDFQUEUE ReadQueue;
    WDFQUEUE WriteQueue;
    WDFQUEUE MaskQueue;
    WDFQUEUE PurgeQueue;

    WDFREQUEST CurrentRead;
    WDFREQUEST CurrentWrite;
    WDFREQUEST CurrentMask;
    WDFREQUEST CurrentPurge;
    WDFREQUEST CurrentWait;

    PUCHAR RxRing;
    PUCHAR RxDest;
    ULONG RxCount;
    PUCHAR RxPut;
    PUCHAR RxLast;
    PUCHAR RxFirst;
    ULONG RxSize;
    ULONG TxQueueSize;
    ULONG RxHighWater;
    ULONG ReadWanted;
    ULONG WaitMask;
    ULONG EventHistory;
    ULONG ErrorWord;
    ULONG TxPending;
    BOOLEAN ImmediatePending;
    ULONG ReadDirect;
    ULONG BaudRate;
    SERIAL_TIMEOUTS Timeouts;
    SERIAL_CHARS SpecialChars;
    SERIAL_HANDFLOW HandFlow;
    SERIALPERF_STATS PerfStats;
    SERIAL_LINE_CONTROL LineControl;
    BOOLEAN BreakOn;
    WDFTIMER ReadTotalTimer;
    WDFTIMER WriteTotalTimer;

    WCHAR PortName[8];
    UCHAR ControlLines;
    ULONG ModemStatus;
    ULONG BulkInBufferLength;
    WDFSPINLOCK QueueLock;
    BOOLEAN RecoveryInProgress;
    WDFSPINLOCK RecoveryLock;
    WDFSPINLOCK SettingsLock;
    WDFSPINLOCK RxLock;
    BOOLEAN RemoteWakeCapable;
    WDFUSBDEVICE UsbDevice;
    WDFCOLLECTION Pipes;
    BOOLEAN DeviceGone;
    WDFDRIVER Driver;
    ULONG InstanceNumber;
    ULONG OpenCount;
    WDFSPINLOCK OpenLock;
    ULONG FixedRxBuffer;
};

WDF_DECLARE_CONTEXT_TYPE_WITH_NAME(DEVICE_CONTEXT, GetDeviceContext)

typedef struct _REQUEST_CONTEXT
{
    ULONG_PTR Information;
    NTSTATUS Status;
    ULONG Length;
    LONG_PTR RefBits;
    PVOID RequestBuffer;
    UCHAR MajorFunction;
    PFN_WDF_REQUEST_CANCEL CancelRoutine;
    PUCHAR NewRing;
    PDEVICE_CONTEXT OwnerDevice;
    ULONG IoControlCode;
    BOOLEAN TxCancelSent;
    BOOLEAN Completing;
    WDFMEMORY TxMemory;
    size_t TxOffset;
    size_t TxRemaining;
    ULONG TxChunkMax;
} REQUEST_CONTEXT, *PREQUEST_CONTEXT;

WDF_DECLARE_CONTEXT_TYPE_WITH_NAME(REQUEST_CONTEXT, GetRequestContext)

typedef struct _PIPE_CONTEXT
{
    WDFDEVICE Device;
    UCHAR InterfaceIndex;
    UCHAR PipeIndex;
    ULONG PipeKind;
    WDF_USB_PIPE_INFORMATION PipeInfo;
    WDFREQUEST Request;
    WDFSPINLOCK Lock;
    BOOLEAN Started;
    BOOLEAN TransferActive;
    BOOLEAN RequestUsed;
    BOOLEAN ResetRequested;
    KEVENT TransferDone;
    WDFMEMORY Memory;
    PUCHAR Buffer;
} PIPE_CONTEXT, *PPIPE_CONTEXT;

WDF_DECLARE_CONTEXT_TYPE_WITH_NAME(PIPE_CONTEXT, GetPipeContext)

typedef struct _WORKITEM_CONTEXT
{
    WDFDEVICE Device;
    WDFUSBPIPE Pipe;
} WORKITEM_CONTEXT, *PWORKITEM_CONTEXT;

WDF_DECLARE_CONTEXT_TYPE_WITH_NAME(WORKITEM_CONTEXT, GetWorkItemContext)

// The device's port name for trace lines, or NULL when there is no device yet.
inline const WCHAR* PortNameOf(PDEVICE_CONTEXT Context)
{
    return (Context != NULL && Context->PortName[0] != 0) ? Context->PortName : NULL;
}

// --- driver entry and registry (Driver.cpp) ---------------------------------------------------

extern "C" DRIVER_INITIALIZE DriverEntry;
EVT_WDF_OBJECT_CONTEXT_CLEANUP DriverContextCleanup;

NTSTATUS ReadDriverParameter(WDFDRIVER Driver, PCWSTR Name, ULONG Length, PVOID Out);
NTSTATUS WriteDriverParameter(WDFDRIVER Driver, PCWSTR Name, ULONG Type, ULONG Length, PVOID Data);
NTSTATUS ReadDeviceValue(WDFDEVICE Device, PCWSTR Name, ULONG Length, PVOID Out, PULONG OutLength);
NTSTATUS ReadDeviceInitULong(PWDFDEVICE_INIT DeviceInit, PCWSTR Name, PULONG Out);
NTSTATUS WriteDeviceInitULong(PWDFDEVICE_INIT DeviceInit, PCWSTR Name, ULONG Value);
NTSTATUS FormatUnicodeString(PUNICODE_STRING String, PCWSTR Format, ...);

// --- device add and naming (Device.cpp) -------------------------------------------------------

EVT_WDF_DRIVER_DEVICE_ADD EvtDriverDeviceAdd;
EVT_WDF_OBJECT_CONTEXT_CLEANUP EvtDeviceCleanup;
EVT_WDFDEVICE_WDM_IRP_PREPROCESS PreprocessFlushBuffers;
EVT_WDFDEVICE_WDM_IRP_PREPROCESS PreprocessQueryInformation;
EVT_WDFDEVICE_WDM_IRP_PREPROCESS PreprocessSetInformation;

// --- USB configuration and pipes (Usb.cpp) ----------------------------------------------------

EVT_WDF_DEVICE_PREPARE_HARDWARE EvtDevicePrepareHardware;
EVT_WDF_DEVICE_RELEASE_HARDWARE EvtDeviceReleaseHardware;

// --- power and recovery (Power.cpp) -----------------------------------------------------------

EVT_WDF_DEVICE_D0_ENTRY EvtDeviceD0Entry;
EVT_WDF_DEVICE_D0_EXIT EvtDeviceD0Exit;
EVT_WDF_DEVICE_SURPRISE_REMOVAL EvtDeviceSurpriseRemoval;

// --- event log and tracing (Diagnostics.cpp) --------------------------------------------------

VOID WriteEventLog(PVOID IoObject, NTSTATUS ErrorCode, NTSTATUS FinalStatus, ULONG UniqueErrorValue,
                   const VOID* DumpData, ULONG DumpLength);
// Traces a buffer at information level as lines of 16 byte values and one line of the rest.
VOID TraceDataDump(PDEVICE_CONTEXT Context, const UCHAR* Buffer, ULONG Length);

// --- serial state (Serial.cpp) ----------------------------------------------------------------

VOID SetSerialDefaults(PDEVICE_CONTEXT Context);
ULONG ComputeRxHighWater(ULONG RxSize);

// --- I/O callbacks, open and close, queues and timers (Io.cpp, OpenClose.cpp, Utils.cpp) ------

EVT_WDF_IO_QUEUE_IO_READ EvtIoRead;
EVT_WDF_IO_QUEUE_IO_WRITE EvtIoWrite;
EVT_WDF_IO_QUEUE_IO_DEVICE_CONTROL EvtIoDeviceControl;
EVT_WDF_IO_QUEUE_IO_INTERNAL_DEVICE_CONTROL EvtIoInternalDeviceControl;
EVT_WDF_IO_QUEUE_IO_STOP StopCurrent;
EVT_WDF_IO_QUEUE_IO_CANCELED_ON_QUEUE CanceledInQueue;
EVT_WDF_TIMER ReadTotalTimerCallback;
EVT_WDF_TIMER WriteTotalTimerCallback;
EVT_WDF_DEVICE_FILE_CREATE EvtDeviceFileCreate;
EVT_WDF_FILE_CLOSE EvtFileClose;
EVT_WDF_FILE_CLEANUP EvtFileCleanup;
