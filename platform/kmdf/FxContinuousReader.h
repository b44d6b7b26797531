// The continuous reader of a USB IN pipe (WdfUsbTargetPipeConfigContinuousReader): a fixed set of
// reads the framework keeps pending on the pipe while its target is started. Each read gets a fresh
// buffer (a WDFMEMORY from pool, header + transfer + trailer); a read that completes successfully
// goes to EvtUsbTargetPipeReadComplete (on the completing thread: DISPATCH_LEVEL on the machine's
// DPC threads) and is sent again. A read that fails while the target is started makes the reader
// cancel the others and, once none is out, report the failure at PASSIVE_LEVEL to
// EvtUsbTargetPipeReadersFailed: TRUE (or no callback) resets the pipe and restarts the reads,
// FALSE leaves them stopped until the target is started again. Reads cancelled because the target
// stops are not failures.
//
// Locks: m_lock guards the reads' bookkeeping; nothing is called out to while it is held.
#pragma once

#include <wdfusb.h>

#include <mutex>
#include <optional>
#include <vector>

namespace winsim::wdf
{

class FxMemory;
class FxRequest;
class FxUsbPipe;

class FxContinuousReader
{
  public:
    FxContinuousReader(FxUsbPipe* pipe, const WDF_USB_CONTINUOUS_READER_CONFIG& config);
    ~FxContinuousReader();
    FxContinuousReader(const FxContinuousReader&) = delete;
    FxContinuousReader& operator=(const FxContinuousReader&) = delete;

    // Makes the reads' requests and the failure report's work item.
    NTSTATUS Create();

    // The pipe's target started: the reads that are not out go out.
    void Start();
    // The pipe's target is stopping: no read goes out again until it starts.
    void Stopping();
    // Waits for a failure report in progress (PASSIVE_LEVEL).
    void WaitForReport();

    // The framework's default number of reads, and the most it keeps out.
    static constexpr UCHAR DefaultReads = 2;
    static constexpr UCHAR MaximumReads = 10;

  private:
    struct Read
    {
        FxContinuousReader* reader;
        FxRequest* request;
        FxMemory* memory; // the buffer of the read that is out
        bool out;
    };

    void Submit(Read& read);
    void Ended(Read& read, bool failed, NTSTATUS status, USBD_STATUS usbdStatus);
    static EVT_WDF_REQUEST_COMPLETION_ROUTINE ReadCompleted;
    static IO_WORKITEM_ROUTINE_EX ReportFailure;

    FxUsbPipe* m_pipe;
    WDF_USB_CONTINUOUS_READER_CONFIG m_config;
    std::optional<WDF_OBJECT_ATTRIBUTES> m_bufferAttributes;
    std::vector<Read> m_reads;
    PIO_WORKITEM m_work = nullptr;
    KEVENT m_reportDone{};

    std::mutex m_lock;
    bool m_stopping = true;   // until the target starts
    bool m_failing = false;   // a read failed; the others are coming back
    bool m_reporting = false; // the failure's report is queued or running
    bool m_startedWhileFailing = false;
    unsigned m_out = 0;
    NTSTATUS m_failStatus = STATUS_SUCCESS;
    USBD_STATUS m_failUsbdStatus = USBD_STATUS_SUCCESS;
};

} // namespace winsim::wdf
