// The continuous reader of a USB IN pipe.
#include "FxContinuousReader.h"

#include "FxDevice.h"
#include "FxDriver.h"
#include "FxMemory.h"
#include "FxRequest.h"
#include "FxUsbPipe.h"
#include "FxVerifier.h"

namespace winsim::wdf
{

FxContinuousReader::FxContinuousReader(FxUsbPipe* pipe, const WDF_USB_CONTINUOUS_READER_CONFIG& config)
    : m_pipe(pipe), m_config(config)
{
    if (config.BufferAttributes != nullptr)
    {
        m_bufferAttributes = *config.BufferAttributes;
    }
    KeInitializeEvent(&m_reportDone, NotificationEvent, TRUE);
}

FxContinuousReader::~FxContinuousReader()
{
    if (m_work != nullptr)
    {
        IoFreeWorkItem(m_work);
    }
}

NTSTATUS FxContinuousReader::Create()
{
    UCHAR count = m_config.NumPendingReads;
    if (count == 0)
    {
        count = DefaultReads;
    }
    else if (count > MaximumReads)
    {
        count = MaximumReads;
    }
    m_work = IoAllocateWorkItem(m_pipe->Device()->Fdo());
    if (m_work == nullptr)
    {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    m_reads.reserve(count);
    for (UCHAR i = 0; i < count; ++i)
    {
        auto* request = new FxRequest(m_pipe->Driver(), m_pipe->StackSize());
        if (request->Irp() == nullptr)
        {
            FxObject::Discard(request);
            return STATUS_INSUFFICIENT_RESOURCES;
        }
        NTSTATUS status = Publish(request, nullptr, m_pipe, "WdfUsbTargetPipeConfigContinuousReader");
        if (!NT_SUCCESS(status))
        {
            return status;
        }
        m_reads.push_back(Read{this, request, nullptr, false});
    }
    return STATUS_SUCCESS;
}

void FxContinuousReader::Start()
{
    {
        std::lock_guard<std::mutex> guard(m_lock);
        m_stopping = false;
        if (m_failing)
        {
            // The failure's report sends the reads when it is over.
            m_startedWhileFailing = true;
            return;
        }
    }
    for (Read& read : m_reads)
    {
        Submit(read);
    }
}

void FxContinuousReader::Stopping()
{
    std::lock_guard<std::mutex> guard(m_lock);
    m_stopping = true;
}

void FxContinuousReader::WaitForReport()
{
    KeWaitForSingleObject(&m_reportDone, Executive, KernelMode, FALSE, nullptr);
}

// Sends a read with a fresh buffer, unless it is out already or the reader must not read now.
void FxContinuousReader::Submit(Read& read)
{
    {
        std::lock_guard<std::mutex> guard(m_lock);
        if (m_stopping || m_failing || read.out)
        {
            return;
        }
        read.out = true;
        ++m_out;
    }
    size_t size = m_config.HeaderLength + m_config.TransferLength + m_config.TrailerLength;
    WDF_OBJECT_ATTRIBUTES attributes;
    if (m_bufferAttributes)
    {
        attributes = *m_bufferAttributes;
    }
    FxMemory* memory = nullptr;
    NTSTATUS status = FxMemory::CreateFromPool(m_pipe->Driver(), NonPagedPool, 0, size,
                                               m_bufferAttributes ? &attributes : nullptr, m_pipe, &memory,
                                               "the continuous reader");
    if (NT_SUCCESS(status))
    {
        WDF_REQUEST_REUSE_PARAMS reuse;
        WDF_REQUEST_REUSE_PARAMS_INIT(&reuse, WDF_REQUEST_REUSE_NO_FLAGS, STATUS_NOT_SUPPORTED);
        read.request->Reuse(reuse);
        status = m_pipe->FormatTransfer(read.request, true,
                                        static_cast<UCHAR*>(memory->Buffer()) + m_config.HeaderLength,
                                        static_cast<ULONG>(m_config.TransferLength), memory,
                                        m_config.HeaderLength, "the continuous reader");
    }
    if (!NT_SUCCESS(status))
    {
        if (memory != nullptr)
        {
            read.request->HoldMemory(nullptr);
            memory->DisposeTree();
        }
        Ended(read, true, status, USBD_STATUS_SUCCESS);
        return;
    }
    read.memory = memory;
    read.request->SetCompletionRoutine(ReadCompleted, &read);
    if (!m_pipe->Send(read.request, nullptr, FxIoTarget::SendFailIfStopped))
    {
        // The target stopped meanwhile: the read waits for the next start.
        read.memory = nullptr;
        read.request->HoldMemory(nullptr);
        memory->DisposeTree();
        Ended(read, false, STATUS_SUCCESS, USBD_STATUS_SUCCESS);
    }
}

// A read came back (or never went out). A failure while the target runs stops the reader: the
// other reads are cancelled, and the last one back has the failure reported.
void FxContinuousReader::Ended(Read& read, bool failed, NTSTATUS status, USBD_STATUS usbdStatus)
{
    std::vector<FxRequest*> cancel;
    bool report = false;
    {
        std::lock_guard<std::mutex> guard(m_lock);
        read.out = false;
        --m_out;
        if (failed && !m_stopping && !m_failing)
        {
            m_failing = true;
            m_failStatus = status;
            m_failUsbdStatus = usbdStatus;
            for (Read& other : m_reads)
            {
                if (other.out)
                {
                    cancel.push_back(other.request);
                }
            }
        }
        if (m_failing && m_out == 0 && !m_reporting)
        {
            m_reporting = true;
            KeClearEvent(&m_reportDone);
            report = true;
        }
    }
    for (FxRequest* request : cancel)
    {
        m_pipe->Cancel(request);
    }
    if (report)
    {
        IoQueueWorkItemEx(m_work, ReportFailure, DelayedWorkQueue, this);
    }
}

void FxContinuousReader::ReadCompleted(WDFREQUEST, WDFIOTARGET, PWDF_REQUEST_COMPLETION_PARAMS params,
                                       WDFCONTEXT context)
{
    auto& read = *static_cast<Read*>(context);
    FxContinuousReader* reader = read.reader;
    FxMemory* memory = read.memory;
    read.memory = nullptr;
    NTSTATUS status = params->IoStatus.Status;
    const WDF_USB_REQUEST_COMPLETION_PARAMS* usb = params->Parameters.Usb.Completion;
    if (NT_SUCCESS(status))
    {
        reader->m_config.EvtUsbTargetPipeReadComplete(reinterpret_cast<WDFUSBPIPE>(reader->m_pipe->Handle()),
                                                      reinterpret_cast<WDFMEMORY>(memory->Handle()),
                                                      usb->Parameters.PipeRead.Length,
                                                      reader->m_config.EvtUsbTargetPipeReadCompleteContext);
    }
    // The buffer goes with the read, unless the driver took a reference on it to keep it.
    read.request->HoldMemory(nullptr);
    memory->DisposeTree();
    reader->Ended(read, !NT_SUCCESS(status), status, usb->UsbdStatus);
    if (NT_SUCCESS(status))
    {
        reader->Submit(read);
    }
}

void FxContinuousReader::ReportFailure(PVOID, PVOID context, PIO_WORKITEM)
{
    auto* reader = static_cast<FxContinuousReader*>(context);
    NTSTATUS status;
    USBD_STATUS usbdStatus;
    bool running;
    {
        std::lock_guard<std::mutex> guard(reader->m_lock);
        status = reader->m_failStatus;
        usbdStatus = reader->m_failUsbdStatus;
        running = !reader->m_stopping;
    }
    bool restart = false;
    if (running && reader->m_pipe->State() == WdfIoTargetStarted)
    {
        restart = true;
        if (reader->m_config.EvtUsbTargetPipeReadersFailed != nullptr)
        {
            restart =
                reader->m_config.EvtUsbTargetPipeReadersFailed(
                    reinterpret_cast<WDFUSBPIPE>(reader->m_pipe->Handle()), status, usbdStatus) != FALSE;
        }
        if (restart)
        {
            reader->m_pipe->ResetForReader();
        }
    }
    {
        std::lock_guard<std::mutex> guard(reader->m_lock);
        reader->m_failing = false;
        restart = restart || (reader->m_startedWhileFailing && !reader->m_stopping);
        reader->m_startedWhileFailing = false;
    }
    if (restart)
    {
        for (Read& read : reader->m_reads)
        {
            reader->Submit(read);
        }
    }
    // The report is over, unless a read the restart sent failed at once and nothing is out: that
    // failure is reported next, by this work item again.
    bool again = false;
    {
        std::lock_guard<std::mutex> guard(reader->m_lock);
        again = reader->m_failing && reader->m_out == 0;
        reader->m_reporting = again;
    }
    if (again)
    {
        IoQueueWorkItemEx(reader->m_work, ReportFailure, DelayedWorkQueue, reader);
    }
    else
    {
        // The last touch of the reader: a removal waiting for the report may free it at once.
        KeSetEvent(&reader->m_reportDone, IO_NO_INCREMENT, FALSE);
    }
}

} // namespace winsim::wdf
