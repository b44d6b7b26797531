// TARNOCOM: private declarations shared by the driver's source units — the driver-wide
// parameters, the context structures of the device, its requests, pipes and work items, and the
// routines one unit offers the others.
//
// Lock order. A lock may be taken only while every lock held comes earlier in this list; nothing
// waits while it holds a spin lock.
//   1. InstanceLock: the driver-wide wait lock, taken at PASSIVE_LEVEL by device add and device
//      cleanup only. No other lock of the driver is held with it.
//   2. The framework's device synchronisation lock: the framework holds it around the callbacks
//      of the objects in the device's synchronisation scope (the manual queues and the two total
//      timers). The driver never takes it itself, and calls nothing that takes it while it holds
//      one of its own locks.
//   3. RxLock.
//   4. QueueLock: may be taken while RxLock is held, never the reverse.
// SettingsLock, OpenLock, RecoveryLock and each pipe's Lock are never held together with another
// lock of the driver. Every spin lock is taken at <= DISPATCH_LEVEL.
#pragma once

#include <ntddk.h>
#include <wdf.h>
#include <usb.h>
#include <wdfusb.h>
#include <ntddser.h>
#include <ntstrsafe.h>

#include "Trace.h"

// --- pool tags (four characters in memory order) -------------------------------------------------

#define TARNO_TAG_BULK_IN    '00TZ' // "ZT00": the bulk-in read buffer
#define TARNO_TAG_PAIRS      '10TZ' // "ZT01": interface setting pairs during configuration
#define TARNO_TAG_RX_RING    'XMOC' // "COMX": the receive ring
#define TARNO_TAG_RX_REPLACE '1CWD' // "DWC1": a larger receive ring waiting to replace the current one

// --- the driver's own serial controls ------------------------------------------------------------

// Abort, or reset, every pipe of the reader (the reset also restarts the bulk-in reading).
#define IOCTL_SERIAL_ABORT_PIPE CTL_CODE(FILE_DEVICE_SERIAL_PORT, 98, METHOD_BUFFERED, FILE_ANY_ACCESS)
#define IOCTL_SERIAL_RESET_PIPE CTL_CODE(FILE_DEVICE_SERIAL_PORT, 99, METHOD_BUFFERED, FILE_ANY_ACCESS)

// --- driver-wide parameters ----------------------------------------------------------------------

// Written once by DriverEntry (PASSIVE_LEVEL) before any device exists; read without a lock at
// any IRQL afterwards.
typedef struct _DRIVER_PARAMETERS
{
    ULONG RetryRecovery;            // pipe-reset attempts per pipe in a recovery pass
    ULONG LogLevel;                 // LOG_LEVEL_DATA_DUMP: hex dumps of transferred data
    BOOLEAN IsTestDevice;           // traced at entry only
    UCHAR DefaultControlLines;      // SERIAL_DTR_STATE, SERIAL_RTS_STATE: the lines a start restores
    ULONG DefaultModemStatus;       // SERIAL_CTS_STATE, SERIAL_DSR_STATE: the status a start restores
    BOOLEAN EnableMultipleOpen;     // FALSE: the device is exclusive
    BOOLEAN EnableSelectiveSuspend; // the USB idle power-down and wake settings are assigned
    ULONG ResetTarget;              // traced at entry only
    ULONG ResetTiming;              // traced at entry only
    ULONG IntBufferSetting;         // copied to each device's FixedRxBuffer
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

// --- contexts ------------------------------------------------------------------------------------

// Pipe kinds as traced by name.
#define PIPE_KIND_INTERRUPT 0
#define PIPE_KIND_BULK_IN   1
#define PIPE_KIND_BULK_OUT  2

// Reference bits of a request (REQUEST_CONTEXT.RefBits).
#define REF_PATH   1 // owned by the receive, transmit or event path
#define REF_CANCEL 2 // cancel routine armed
#define REF_TIMER  4 // total timer armed

typedef struct _DEVICE_CONTEXT DEVICE_CONTEXT, *PDEVICE_CONTEXT;

// The context of the device object, one per reader. The framework allocates it zeroed with the
// device and frees it with the device.
struct _DEVICE_CONTEXT
{
    // --- the device and its published name: set at device add, cleared at device cleanup ---------
    // Both run at PASSIVE_LEVEL, when no other path touches these fields; no lock.
    WDFDEVICE Device;
    UNICODE_STRING DeviceName; // \Device\ZTSerialN, also the name of the SERIALCOMM value; its buffer
                               // belongs to a framework string under the device. Buffer is NULL
                               // once the value is deleted or when publishing failed.
    BOOLEAN SerialCommWritten; // the SERIALCOMM value exists

    // --- open state: guarded by OpenLock; written at PASSIVE_LEVEL, read at <= DISPATCH_LEVEL ----
    BOOLEAN PortOpen; // set by the first open, cleared by the last close and by hardware preparation

    // --- manual queues: created at device add and never replaced; no lock ------------------------
    WDFQUEUE ReadQueue;  // reads, and IOCTL_SERIAL_SET_QUEUE_SIZE
    WDFQUEUE WriteQueue; // writes, and IOCTL_SERIAL_IMMEDIATE_CHAR
    WDFQUEUE MaskQueue;  // IOCTL_SERIAL_SET_WAIT_MASK and IOCTL_SERIAL_WAIT_ON_MASK
    WDFQUEUE PurgeQueue; // IOCTL_SERIAL_PURGE

    // --- current requests: guarded by QueueLock; touched at <= DISPATCH_LEVEL --------------------
    // The request of each queue that is being served, or NULL.
    WDFREQUEST CurrentRead;
    WDFREQUEST CurrentWrite;
    WDFREQUEST CurrentMask;
    WDFREQUEST CurrentPurge;
    WDFREQUEST CurrentWait; // the one pending IOCTL_SERIAL_WAIT_ON_MASK; it has no queue

    // --- receive ring: guarded by RxLock; touched at <= DISPATCH_LEVEL ---------------------------
    PUCHAR RxRing;   // TARNO_TAG_RX_RING; NULL while the port is closed
    PUCHAR RxDest;   // where received bytes go: RxRing, or the current read's buffer while it waits
    ULONG RxCount;   // bytes at RxDest not yet consumed; below RxSize while RxDest is the ring
    PUCHAR RxPut;    // where the next received byte goes
    PUCHAR RxLast;   // the last byte of RxDest
    PUCHAR RxFirst;  // the first unread byte of the ring
    ULONG RxSize;    // bytes of RxRing; it never shrinks
    ULONG RxRingTag; // the pool tag RxRing was allocated with: TARNO_TAG_RX_RING at open,
                     // TARNO_TAG_RX_REPLACE once a larger ring replaced it

    // --- sizes and the current read: touched at <= DISPATCH_LEVEL --------------------------------
    ULONG TxQueueSize; // only stored and reported; one ULONG, read and written whole without a lock
    ULONG RxHighWater; // the fill level that raises SERIAL_EV_RX80FULL; written with RxSize under
                       // RxLock and at hardware preparation, read without a lock
    ULONG ReadWanted;  // bytes the current read still needs; guarded by RxLock once the read waits

    // --- wait events: guarded by QueueLock; touched at <= DISPATCH_LEVEL -------------------------
    ULONG WaitMask;     // SERIAL_EV_* bits the client waits for
    ULONG EventHistory; // SERIAL_EV_* bits that occurred and are not yet reported

    // --- line status: guarded by SettingsLock; touched at <= DISPATCH_LEVEL ----------------------
    // IOCTL_SERIAL_GET_COMMSTATUS takes them together, and clears ErrorWord, in one hold.
    ULONG ErrorWord;          // SERIAL_ERROR_* bits
    ULONG TxPending;          // bytes accepted for sending and not yet sent, 1 per immediate character
    BOOLEAN ImmediatePending; // an immediate character is queued or being sent
    ULONG ReadDirect;         // bytes the receive path put straight into the waiting read;
                              // guarded by RxLock
    BOOLEAN TxEmptied;        // the last write handed to the bulk-out pipe has completed and no
                              // write was accepted since; guarded by QueueLock

    // --- serial settings: guarded by SettingsLock; touched at <= DISPATCH_LEVEL ------------------
    // Each structure is copied in or out whole under the lock.
    ULONG BaudRate; // one ULONG, read and written whole without the lock
    SERIAL_TIMEOUTS Timeouts;
    SERIAL_CHARS SpecialChars;
    SERIAL_HANDFLOW HandFlow;
    SERIALPERF_STATS PerfStats;
    SERIAL_LINE_CONTROL LineControl;
    BOOLEAN BreakOn; // a break is asserted on the line; one flag, read and written without the lock

    // --- total timers: created at device add -----------------------------------------------------
    // Their callbacks run at DISPATCH_LEVEL under the framework's device synchronisation lock.
    WDFTIMER ReadTotalTimer;
    WDFTIMER WriteTotalTimer;

    // --- port name: filled at device add before the port is published; read without a lock -------
    WCHAR PortName[8]; // the COM name with its terminator; all zero when there is none

    // --- line state: each value read and written whole without a lock, at <= DISPATCH_LEVEL ------
    UCHAR ControlLines; // output lines as last set: SERIAL_DTR_STATE, SERIAL_RTS_STATE
    ULONG ModemStatus;  // input lines, SERIAL_*_STATE; rewritten whole on every line-state report

    // --- set at device add, constant afterwards --------------------------------------------------
    ULONG BulkInBufferLength; // bytes of the bulk-in read buffer

    // --- the device's spin locks (order at the top of this header) and the recovery flag ---------
    // The locks are created at device add and never replaced.
    WDFSPINLOCK QueueLock;
    BOOLEAN RecoveryInProgress; // a recovery work item is queued or a port reset runs;
                                // guarded by RecoveryLock
    WDFSPINLOCK RecoveryLock;
    WDFSPINLOCK SettingsLock;
    WDFSPINLOCK RxLock;

    // --- USB side: set at hardware preparation (PASSIVE_LEVEL), read without a lock --------------
    BOOLEAN RemoteWakeCapable; // from the USB device traits
    WDFUSBDEVICE UsbDevice;    // NULL until hardware preparation creates it
    WDFCOLLECTION Pipes;       // the configured WDFUSBPIPEs, each with a PIPE_CONTEXT
    BOOLEAN DeviceGone;        // the reader is detached and no transfer is sent any more; any path may
                               // set it, at <= DISPATCH_LEVEL, and nothing clears it

    // --- instance bookkeeping: set at device add, read at device cleanup (PASSIVE_LEVEL) ---------
    WDFDRIVER Driver;     // to reopen the Parameters key at device cleanup
    ULONG InstanceNumber; // the N of \Device\ZTSerialN

    // --- open count: guarded by OpenLock; touched at PASSIVE_LEVEL (create and close) ------------
    ULONG OpenCount;      // open file objects
    WDFSPINLOCK OpenLock; // guards OpenCount and PortOpen
    ULONG FixedRxBuffer;  // IntBufferSetting, copied at hardware preparation and read without a lock;
                          // nonzero makes IOCTL_SERIAL_SET_QUEUE_SIZE keep the current ring
};

WDF_DECLARE_CONTEXT_TYPE_WITH_NAME(DEVICE_CONTEXT, GetDeviceContext)

// The context of every request the framework delivers and of the pipes' own requests. Every field
// is touched at <= DISPATCH_LEVEL. RefBits, CancelRoutine and Completing are guarded by the
// device's QueueLock; the rest is written by whoever holds the request at the time (the I/O
// callback before the request is queued, then the path that holds REF_PATH) and read without a
// lock.
typedef struct _REQUEST_CONTEXT
{
    ULONG_PTR Information;                // byte count to complete with
    NTSTATUS Status;                      // status to complete with
    ULONG Length;                         // bytes asked for; 1 for an immediate character
    LONG_PTR RefBits;                     // REF_* references still held; it completes at none
    PVOID RequestBuffer;                  // the request's system buffer
    UCHAR MajorFunction;                  // the request's IRP_MJ_* code
    PFN_WDF_REQUEST_CANCEL CancelRoutine; // the armed cancel routine (REF_CANCEL), or NULL
    PUCHAR NewRing;                       // SET_QUEUE_SIZE: the larger ring to swap in
    PDEVICE_CONTEXT OwnerDevice;          // the device the request belongs to
    ULONG IoControlCode;                  // IOCTL_SERIAL_IMMEDIATE_CHAR for an immediate character
    BOOLEAN TxCancelSent;                 // the write's bulk-out transfer was cancelled (cancel or time-out)
    BOOLEAN Completing;                   // handed to completion; it completes once
    BOOLEAN TimerFired;                   // the total timer's callback is done with this request, so
                                          // the rundown may drop REF_TIMER for it
    NTSTATUS PathStatus;                  // the status the path passed when it let the request go

    // --- the bulk-out pipe's own request only: the write being sent ------------------------------
    // One chunk is on the wire at a time: the write path fills these before it sends a chunk and
    // the bulk-out completion reads them, in turn and without a lock.
    WDFMEMORY TxMemory; // the input memory of the write
    size_t TxOffset;    // bytes of it already sent
    size_t TxRemaining; // bytes of it not yet sent
    ULONG TxChunkMax;   // the largest bulk-out transfer
} REQUEST_CONTEXT, *PREQUEST_CONTEXT;

WDF_DECLARE_CONTEXT_TYPE_WITH_NAME(REQUEST_CONTEXT, GetRequestContext)

// The context of every configured USB pipe, zeroed at allocation.
typedef struct _PIPE_CONTEXT
{
    // --- the pipe: set at configuration selection (PASSIVE_LEVEL), read-only afterwards ----------
    WDFDEVICE Device;     // the device that owns the pipe
    UCHAR InterfaceIndex; // index of the pipe's interface in the configuration
    UCHAR PipeIndex;      // index of the pipe in its interface
    ULONG PipeKind;       // PIPE_KIND_*
    WDF_USB_PIPE_INFORMATION PipeInfo;
    WDFREQUEST Request; // the pipe's own transfer request (bulk pipes), with a REQUEST_CONTEXT
    WDFSPINLOCK Lock;   // guards Started, TransferActive and RequestUsed

    // --- transfer state: guarded by Lock; touched at <= DISPATCH_LEVEL ---------------------------
    BOOLEAN Started;        // this driver started the pipe's I/O target
    BOOLEAN TransferActive; // the bulk-in read is outstanding or about to be sent
    BOOLEAN RequestUsed;    // Request was sent before and is reused before it is sent again

    // --- recovery and rundown: no lock -----------------------------------------------------------
    BOOLEAN ResetRequested; // a transfer failed: the next recovery pass resets the pipe. Any path
                            // may set it at <= DISPATCH_LEVEL; only recovery (PASSIVE_LEVEL) clears it
    KEVENT TransferDone;    // notification event: cleared when a transfer is sent, set at
                            // <= DISPATCH_LEVEL when one ends with none to follow; waited on at
                            // PASSIVE_LEVEL only

    // --- the bulk-in read buffer (bulk-in pipe only): set at hardware preparation ----------------
    WDFMEMORY Memory; // TARNO_TAG_BULK_IN
    PUCHAR Buffer;    // the bytes of Memory
} PIPE_CONTEXT, *PPIPE_CONTEXT;

WDF_DECLARE_CONTEXT_TYPE_WITH_NAME(PIPE_CONTEXT, GetPipeContext)

// The context of the driver's work items (recovery, completing a cancelled write): filled before
// the work item is queued and read by its callback at PASSIVE_LEVEL; no lock.
typedef struct _WORKITEM_CONTEXT
{
    WDFDEVICE Device;
    WDFUSBPIPE Pipe;
} WORKITEM_CONTEXT, *PWORKITEM_CONTEXT;

WDF_DECLARE_CONTEXT_TYPE_WITH_NAME(WORKITEM_CONTEXT, GetWorkItemContext)

inline const WCHAR* PortNameOf(PDEVICE_CONTEXT Context)
/*++
Routine Description:
    The device's port name for the first argument of its trace lines.
IRQL:
    Any.
Return Value:
    The COM name, or NULL when there is no device or no name yet.
--*/
{
    return (Context != NULL && Context->PortName[0] != 0) ? Context->PortName : NULL;
}

// --- driver entry and registry (Driver.cpp) ------------------------------------------------------

extern "C" DRIVER_INITIALIZE DriverEntry;
EVT_WDF_OBJECT_CONTEXT_CLEANUP DriverContextCleanup;

NTSTATUS ReadDriverParameter(WDFDRIVER Driver, PCWSTR Name, ULONG Length, PVOID Out);
NTSTATUS WriteDriverParameter(WDFDRIVER Driver, PCWSTR Name, ULONG Type, ULONG Length, PVOID Data);
NTSTATUS ReadDeviceValue(WDFDEVICE Device, PCWSTR Name, ULONG Length, PVOID Out, PULONG OutLength);
NTSTATUS ReadDeviceInitULong(PWDFDEVICE_INIT DeviceInit, PCWSTR Name, PULONG Out);
NTSTATUS WriteDeviceInitULong(PWDFDEVICE_INIT DeviceInit, PCWSTR Name, ULONG Value);
NTSTATUS FormatUnicodeString(PUNICODE_STRING String, PCWSTR Format, ...);

// --- device add and naming (Device.cpp) ----------------------------------------------------------

EVT_WDF_DRIVER_DEVICE_ADD EvtDriverDeviceAdd;
EVT_WDF_OBJECT_CONTEXT_CLEANUP EvtDeviceCleanup;
EVT_WDFDEVICE_WDM_IRP_PREPROCESS PreprocessFlushBuffers;
EVT_WDFDEVICE_WDM_IRP_PREPROCESS PreprocessQueryInformation;
EVT_WDFDEVICE_WDM_IRP_PREPROCESS PreprocessSetInformation;

// --- USB configuration and pipes (Usb.cpp) -------------------------------------------------------

EVT_WDF_DEVICE_PREPARE_HARDWARE EvtDevicePrepareHardware;
EVT_WDF_DEVICE_RELEASE_HARDWARE EvtDeviceReleaseHardware;

BOOLEAN IsDeviceGoneStatus(NTSTATUS Status, USBD_STATUS UsbdStatus);
WDFUSBPIPE FindPipe(PDEVICE_CONTEXT Context, ULONG Kind);
UCHAR GetInterfaceIndex(PDEVICE_CONTEXT Context, ULONG Kind);
NTSTATUS StartPipe(PDEVICE_CONTEXT Context, ULONG Kind);
NTSTATUS StartAllPipes(PDEVICE_CONTEXT Context);
VOID StopPipe(PDEVICE_CONTEXT Context, ULONG Kind);
VOID StopAllPipes(PDEVICE_CONTEXT Context);
NTSTATUS ResetPipe(WDFUSBPIPE Pipe);
NTSTATUS AbortPipe(WDFUSBPIPE Pipe);
NTSTATUS StartBulkInRead(PDEVICE_CONTEXT Context);
NTSTATUS StopBulkInRead(PDEVICE_CONTEXT Context);
NTSTATUS SendClassRequest(PDEVICE_CONTEXT Context, PWDF_USB_CONTROL_SETUP_PACKET SetupPacket, PVOID Data,
                          ULONG Length, PULONG BytesTransferred);
NTSTATUS SetLineCoding(PDEVICE_CONTEXT Context, UCHAR LineCoding[7]);
NTSTATUS SetControlLineState(PDEVICE_CONTEXT Context, UCHAR Bits);
NTSTATUS SendBreak(PDEVICE_CONTEXT Context, USHORT Duration);
// SET_LINE_CODING with the current baud rate and line control.
NTSTATUS SendCurrentLineCoding(PDEVICE_CONTEXT Context);

// --- power and recovery (Power.cpp) --------------------------------------------------------------

EVT_WDF_DEVICE_D0_ENTRY EvtDeviceD0Entry;
EVT_WDF_DEVICE_D0_EXIT EvtDeviceD0Exit;
EVT_WDF_DEVICE_SURPRISE_REMOVAL EvtDeviceSurpriseRemoval;

VOID AssignPowerSettings(WDFDEVICE Device);
// Queues one recovery pass unless one is queued or running. <= DISPATCH_LEVEL.
VOID RequestRecovery(WDFDEVICE Device);
NTSTATUS ResetPort(PDEVICE_CONTEXT Context);

// --- event log and tracing (Diagnostics.cpp) -----------------------------------------------------

VOID WriteEventLog(PVOID IoObject, NTSTATUS ErrorCode, NTSTATUS FinalStatus, ULONG UniqueErrorValue,
                   const VOID* DumpData, ULONG DumpLength);
// Traces a buffer at information level as lines of 16 byte values and one line of the rest.
VOID TraceDataDump(PDEVICE_CONTEXT Context, const UCHAR* Buffer, ULONG Length);

// --- serial state (Serial.cpp) -------------------------------------------------------------------

VOID SetSerialDefaults(PDEVICE_CONTEXT Context);
ULONG ComputeRxHighWater(ULONG RxSize);

// --- I/O callbacks and timers (Receive.cpp, ComWrite.cpp, Ioctl.cpp), open and close
// (OpenClose.cpp), queue callbacks (Utils.cpp) ---------------------------------------------------

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

// The receive side (Receive.cpp): each bulk-in chunk and each SERIAL_STATE bitmap. <= DISPATCH_LEVEL.
VOID ReceiveChunk(PDEVICE_CONTEXT Context, const UCHAR* Bytes, ULONG Length);
VOID LineStateChanged(PDEVICE_CONTEXT Context, UCHAR StateBits);

// --- the serial request machinery (Utils.cpp) -----------------------------------------------------
//
// Each manual queue has a current-request slot in the device context. A request either becomes
// the current one of its queue (when the queue is idle) and its start routine serves it, or it
// waits in the queue. The current request completes once every reference bit (REF_*) is dropped;
// CompleteCurrent then hands the next waiting request to the start routine.

// Serves the current request of a queue (and each next one it is handed). <= DISPATCH_LEVEL.
typedef VOID SERIAL_START_ROUTINE(PDEVICE_CONTEXT Context);
typedef SERIAL_START_ROUTINE* PSERIAL_START_ROUTINE;
// Runs before a request completes, to take it back from the path that holds it (RxLock or
// QueueLock as the routine needs). <= DISPATCH_LEVEL.
typedef VOID SERIAL_GRAB_ROUTINE(PDEVICE_CONTEXT Context, WDFREQUEST Request);
typedef SERIAL_GRAB_ROUTINE* PSERIAL_GRAB_ROUTINE;
// Empties Slot and moves the next request of Queue into it (*Next, or NULL); when CompleteCurrent
// is TRUE it then completes the request that was in the slot with its Status and Information.
typedef VOID SERIAL_GET_NEXT_ROUTINE(WDFREQUEST* Slot, WDFQUEUE Queue, WDFREQUEST* Next,
                                     BOOLEAN CompleteCurrent, PDEVICE_CONTEXT Context);
typedef SERIAL_GET_NEXT_ROUTINE* PSERIAL_GET_NEXT_ROUTINE;

VOID StartOrQueue(PDEVICE_CONTEXT Context, WDFREQUEST Request, WDFQUEUE Queue, WDFREQUEST* Slot,
                  PSERIAL_START_ROUTINE Start);
VOID CompleteCurrent(PDEVICE_CONTEXT Context, PSERIAL_GRAB_ROUTINE Grab, NTSTATUS Status, WDFREQUEST* Slot,
                     WDFQUEUE Queue, WDFTIMER Timer, PSERIAL_START_ROUTINE Start,
                     PSERIAL_GET_NEXT_ROUTINE GetNextRoutine, LONG_PTR RefBit);
SERIAL_GET_NEXT_ROUTINE GetNext;
// Cancels the requests waiting in Queue (without a file object) and the current one (of
// FileObject only, when one is given). <= DISPATCH_LEVEL.
VOID KillAll(PDEVICE_CONTEXT Context, WDFQUEUE Queue, WDFREQUEST* Slot, WDFFILEOBJECT FileObject);
// WdfRequestMarkCancelableEx; on success REF_CANCEL is set and the routine remembered. Takes
// QueueLock: call it without.
NTSTATUS MarkCancelable(WDFREQUEST Request, PFN_WDF_REQUEST_CANCEL CancelRoutine);
// WdfRequestUnmarkCancelable; on success REF_CANCEL is cleared. STATUS_CANCELLED: the cancel
// routine runs and owns the request. Takes QueueLock: call it without.
NTSTATUS DisarmCancel(WDFREQUEST Request);
// The same, for a caller that holds QueueLock.
NTSTATUS DisarmCancelLocked(WDFREQUEST Request);
VOID CompleteRequest(WDFREQUEST Request, NTSTATUS Status, ULONG_PTR Information);
// The request in Slot, read under QueueLock.
WDFREQUEST CurrentRequest(PDEVICE_CONTEXT Context, WDFREQUEST* Slot);
// The error-abort state: SERIAL_ERROR_ABORT is set in the handshake and an error is recorded.
BOOLEAN ErrorAbortActive(PDEVICE_CONTEXT Context);
// The start routines of the mask and purge queues, and the completion of the pending wait
// (a CompleteCurrent on CurrentWait with REF_PATH).
SERIAL_START_ROUTINE MaskStart;
SERIAL_START_ROUTINE PurgeStart;
VOID CompleteWait(PDEVICE_CONTEXT Context);
// Reports EventHistory to the pending wait and clears it. Called with QueueLock held, after the
// wait's cancel routine was disarmed; releases QueueLock and completes the wait.
VOID DeliverEventsLocked(PDEVICE_CONTEXT Context, ULONG Events);

// The read and write queues' routines (Receive.cpp, ComWrite.cpp).
SERIAL_START_ROUTINE ReadStart;
SERIAL_START_ROUTINE WriteStart;
SERIAL_GET_NEXT_ROUTINE GetNextWrite;
EVT_WDF_REQUEST_CANCEL ReadCancel;
EVT_WDF_REQUEST_CANCEL WriteCancel;
EVT_WDF_REQUEST_CANCEL WaitCancel;
// SERIAL_EV_TXEMPTY once the write queue drained. <= DISPATCH_LEVEL; takes QueueLock.
VOID CheckTxEmpty(PDEVICE_CONTEXT Context);

// Work items (Utils.cpp): creates a work item under the device with the two values in its
// WORKITEM_CONTEXT and enqueues it; the callback deletes its work item. <= DISPATCH_LEVEL.
NTSTATUS QueueDeferred(WDFDEVICE Device, const WORKITEM_CONTEXT* Values, PFN_WDF_WORKITEM Callback);
