// The reader behind one port of the hub: its endpoints, the transfers pending on them, the bytes
// and notifications it sends, the class requests it receives, the faults a test arms, and the
// record of everything the driver sent.
//
// Threads and locks. m_lock (a host mutex, the model's only lock) guards every field below it. The
// hub calls in from the client's thread at <= DISPATCH_LEVEL (SubmitUrb and the synchronous
// controls), cancel routines call in at DISPATCH_LEVEL, a test calls in from its own thread. No IRP
// is ever completed under m_lock or on the caller's stack: a transfer that ends moves to the
// finished list, and the model's DPC (m_completionDpc, the host controller's DPC) completes the
// finished IRPs in order at DISPATCH_LEVEL on one of the machine's DPC threads. Requests that can be
// answered at once (descriptors, select configuration, pipe and port resets, port status) are
// answered synchronously by the hub; every transfer pends.
//
// Cancellation. A pending IRP has the model's cancel routine set. Whoever ends it first wins: the
// model takes an IRP out of its pending lists only after clearing the cancel routine
// (IoSetCancelRoutine returns the old one); when that returns null the I/O manager is about to run
// the cancel routine, so the IRP stays listed for the cancel routine to find and end.
//
// Line rate. With a line rate of B baud the bytes a test pushes to bulk IN travel the line first:
// the k-th byte of a burst arrives k * 10 / B seconds after the burst began (virtual time, one
// start bit, eight data bits, one stop bit). A kernel timer fires at the next arrival; its DPC
// moves what arrived by then into the endpoint's buffer, whatever the DPC's delay.
#pragma once

#include "Descriptors.h"

#include <usb.h>
#include <usbioctl.h>

#include <array>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <string>
#include <vector>

namespace winsim::usb
{

struct ReaderOptions
{
    Layout layout = Layout::SingleInterface;
    Speed speed = Speed::Full;
    bool remoteWake = true;
    // Bulk OUT bytes come back on bulk IN instead of being kept for the test.
    bool loopback = false;
    // Bulk IN bytes arrive at lineRate / 10 bytes a second; 0: at once.
    ULONG lineRate = 0;
    // The reader answers SET_CONTROL_LINE_STATE like a loopback plug: a SERIAL_STATE notification
    // with carrier (bit 0) when DTR or RTS is set and DSR (bit 1) when DTR is set.
    bool answerLineState = false;
};

// A transfer as it ended (or a control transfer as it was received).
struct TransferRecord
{
    ULONGLONG submitted = 0; // interrupt time
    ULONGLONG ended = 0;
    Endpoint endpoint = Endpoint::Default;
    bool in = false;
    ULONG length = 0;      // the length the client asked for
    ULONG transferred = 0; // the bytes that moved
    NTSTATUS status = STATUS_SUCCESS;
    USBD_STATUS usbdStatus = USBD_STATUS_SUCCESS;
};

struct ControlRecord
{
    ULONGLONG time = 0; // interrupt time of its arrival
    std::array<UCHAR, 8> setup{};
    std::vector<UCHAR> data; // the data stage of an OUT request
};

// CDC class requests and notifications the reader knows.
constexpr UCHAR CdcRequestType = 0x21; // host to device, class, interface
constexpr UCHAR SetLineCoding = 0x20;
constexpr UCHAR SetControlLineState = 0x22;
constexpr UCHAR SendBreak = 0x23;
constexpr UCHAR CdcNotificationType = 0xA1; // device to host, class, interface
constexpr UCHAR SerialStateNotification = 0x20;

class ReaderModel
{
  public:
    ReaderModel(const DeviceIdentity& identity, const ReaderOptions& options);
    ~ReaderModel();
    ReaderModel(const ReaderModel&) = delete;
    ReaderModel& operator=(const ReaderModel&) = delete;

    const DeviceIdentity& Identity() const { return m_identity; }
    const ReaderOptions& Options() const { return m_options; }

    // --- the hub's side ---
    // IOCTL_INTERNAL_USB_SUBMIT_URB: answers at once (returns the status the IRP was completed
    // with) or marks the IRP pending and returns STATUS_PENDING. pdo: for the cancel routine.
    NTSTATUS SubmitUrb(PDEVICE_OBJECT pdo, PIRP irp, PURB urb);
    // IOCTL_INTERNAL_USB_GET_PORT_STATUS: the USBD_PORT_* bits.
    ULONG PortStatus();
    // IOCTL_INTERNAL_USB_RESET_PORT.
    NTSTATUS ResetPort();
    // IOCTL_INTERNAL_USB_SUBMIT_IDLE_NOTIFICATION: pends the IRP (or fails it at once).
    NTSTATUS SubmitIdleNotification(PDEVICE_OBJECT pdo, PIRP irp, const USB_IDLE_CALLBACK_INFO* info,
                                    ULONG inputLength);
    // The physical device object's removal: every IRP still pending ends as its device's gone.
    void EndAllPending();
    // The cancel routine of every pending IRP the hub holds for this reader.
    static void CancelRoutine(PDEVICE_OBJECT pdo, PIRP irp);

    // --- the test's side ---
    void PushBulkIn(const UCHAR* data, size_t length);
    // The next `reads` bulk IN reads end at once, full, with this byte: a reader that delivers as
    // fast as the host reads. 0 stops a flood under way.
    void Flood(unsigned reads, UCHAR fill = 0x55);
    // A notification on the interrupt pipe: bmRequestType 0xA1, the code, wValue, wIndex (the
    // communication interface), wLength and the data.
    void PushNotification(UCHAR code, USHORT value, const std::vector<UCHAR>& data);
    std::vector<UCHAR> TakeBulkOut();
    std::vector<ControlRecord> ControlRequests();
    std::vector<TransferRecord> Transfers();
    // The reader as a person would look at it: its endpoints, which pipes the host configured,
    // their resets and pending transfers, and the class requests it received.
    std::string Describe();
    unsigned OutstandingBulkInReads();
    unsigned MostBulkInReadsOutstanding();
    unsigned PipeResets(Endpoint endpoint);
    unsigned PortResets();
    unsigned IdleCallbacks();

    // Faults. The next `count` transfers of the endpoint (pending ones first) end with the statuses.
    void FailTransfers(Endpoint endpoint, unsigned count, NTSTATUS status, USBD_STATUS usbdStatus);
    // The endpoint stalls: its transfers end STATUS_UNSUCCESSFUL + USBD_STATUS_STALL_PID until a
    // pipe reset (a port reset for the default pipe).
    void Stall(Endpoint endpoint);
    bool Stalled(Endpoint endpoint);
    void FailPipeResets(unsigned count, NTSTATUS status);
    void FailPortResets(unsigned count, NTSTATUS status);
    // Control transfers stay pending (until cancelled) instead of being answered.
    void IgnoreControlRequests(bool ignore);
    // The endpoint's transfers stay pending until Release. With evenWhenCancelled, a cancelled
    // transfer stays too (a controller slow to give it back) and ends cancelled at Release.
    void Hold(Endpoint endpoint, bool evenWhenCancelled = false);
    void Release(Endpoint endpoint);
    // The reader leaves the bus (Plug and Play is told separately, by the machine).
    void Disconnect();
    bool Connected();
    // Returns once every IRP the model finished so far has been completed.
    void WaitForCompletions();

  private:
    struct Pending
    {
        PIRP irp;
        PURB urb;
        Endpoint endpoint;
        ULONGLONG submitted;
        bool cancelled = false; // cancelled while its pipe was held deaf: ends at Release
    };

    struct Finished
    {
        PIRP irp;
        PURB urb; // null for a request that is not a URB (idle notification)
        NTSTATUS status;
        USBD_STATUS usbdStatus;
        TransferRecord record;
        bool recorded;   // a transfer: goes into the record
        bool bulkInRead; // counts as an outstanding bulk IN read until completed
    };

    struct Pipe
    {
        const EndpointLayout* layout = nullptr; // null: the layout has no such endpoint
        bool configured = false;
        bool stalled = false;
        bool held = false;
        bool deaf = false; // held even against cancellation
        unsigned failCount = 0;
        NTSTATUS failStatus = STATUS_SUCCESS;
        USBD_STATUS failUsbdStatus = USBD_STATUS_SUCCESS;
        unsigned resets = 0;
        std::deque<Pending> pending;
    };

    // Answers of the synchronous URB functions.
    NTSTATUS GetDescriptor(PURB urb);
    NTSTATUS SelectConfiguration(PURB urb);
    NTSTATUS ResetPipe(PURB urb);
    NTSTATUS QueueTransfer(PDEVICE_OBJECT pdo, PIRP irp, PURB urb);
    NTSTATUS AbortPipe(PDEVICE_OBJECT pdo, PIRP irp, PURB urb);

    Pipe* PipeOfHandleLocked(USBD_PIPE_HANDLE handle);
    void PendLocked(PIRP irp, std::deque<Pending>& list, const Pending& pending);
    // Ends a listed IRP unless its cancellation is under way; false then.
    bool TakeLocked(std::deque<Pending>& list, size_t index);
    void FinishLocked(const Pending& pending, NTSTATUS status, USBD_STATUS usbdStatus, ULONG transferred);
    void FinishRequestLocked(PIRP irp, NTSTATUS status);
    // Moves the transfers of an endpoint along as far as its state allows.
    void PumpLocked(Endpoint endpoint);
    void PumpControlLocked();
    void PumpBulkInLocked();
    void PumpInterruptLocked();
    void PumpBulkOutLocked();
    // Ends a read with the bytes it got; false when that halted the endpoint.
    bool EndReadLocked(const Pending& pending, ULONG length);
    void AnswerControlLocked(const Pending& pending);
    void ArriveLocked(const UCHAR* data, size_t length);
    void LineTickLocked();
    void QueueNotificationLocked(UCHAR code, USHORT value, const std::vector<UCHAR>& data);
    void EndEverythingLocked(NTSTATUS status, USBD_STATUS usbdStatus);
    void CancelLocked(PIRP irp);
    unsigned m_floodLeft = 0;
    UCHAR m_floodFill = 0x55;
    void ScheduleCompletionsLocked();

    static KDEFERRED_ROUTINE CompletionDpc;
    static KDEFERRED_ROUTINE LineDpc;
    static IO_WORKITEM_ROUTINE IdleWork;
    void CompleteFinished();

    const DeviceIdentity m_identity;
    const ReaderOptions m_options;
    const ConfigurationLayout m_layout;
    const USB_DEVICE_DESCRIPTOR m_deviceDescriptor;
    const std::vector<UCHAR> m_configurationDescriptor;

    KDPC m_completionDpc;
    KDPC m_lineDpc;
    KTIMER m_lineTimer;
    // Handles the hub gives out: addresses of these tags.
    UCHAR m_configurationTag = 0;
    std::array<UCHAR, 2> m_interfaceTags{};

    std::mutex m_lock;
    std::condition_variable m_completed; // the finished list drained
    bool m_connected = true;
    bool m_configured = false;
    std::array<Pipe, EndpointCount> m_pipes;
    bool m_ignoreControl = false;
    std::deque<UCHAR> m_bulkInData; // arrived, waiting for a read
    std::deque<UCHAR> m_line;       // pushed, still on the line (line rate only)
    ULONGLONG m_burstStart = 0;     // interrupt time the current burst began
    ULONGLONG m_burstArrived = 0;   // bytes of the burst that have arrived
    std::deque<std::vector<UCHAR>> m_notifications;
    std::vector<UCHAR> m_bulkOut;
    std::vector<ControlRecord> m_controlRecords;
    std::vector<TransferRecord> m_transfers;
    unsigned m_bulkInOutstanding = 0;
    unsigned m_bulkInMost = 0;
    unsigned m_portResets = 0;
    unsigned m_pipeResetFailures = 0;
    NTSTATUS m_pipeResetStatus = STATUS_SUCCESS;
    unsigned m_portResetFailures = 0;
    NTSTATUS m_portResetStatus = STATUS_SUCCESS;
    std::deque<Finished> m_finished;
    bool m_completing = false; // a DPC is completing the finished list
    // The idle notification: at most one pends.
    std::deque<Pending> m_idle;
    USB_IDLE_CALLBACK_INFO m_idleCallback{};
    unsigned m_idleCallbacks = 0;
};

} // namespace winsim::usb
