#include "ReaderModel.h"

#include "kernel/Scheduler.h"
#include "kernel/System.h"
#include "kernel/Thread.h"

#include <string.h>

#include <algorithm>

namespace winsim::usb
{

using kernel::RequireIrqlAtMost;

namespace
{

// 100-ns units in a second, times the ten bits a byte takes on the line.
constexpr ULONGLONG LineUnitsPerByteBaud = 10ULL * 10'000'000ULL;

// The pending IRP's owner while the hub holds it (its DriverContext is the bus driver's to use).
ReaderModel*& OwnerOf(PIRP irp)
{
    return reinterpret_cast<ReaderModel*&>(irp->Tail.Overlay.DriverContext[0]);
}

NTSTATUS CompleteAtOnce(PIRP irp, NTSTATUS status)
{
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = 0;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

bool IsControl(PURB urb)
{
    return urb->UrbHeader.Function == URB_FUNCTION_CONTROL_TRANSFER ||
           urb->UrbHeader.Function == URB_FUNCTION_CONTROL_TRANSFER_EX;
}

// The setup packet of either control transfer layout (they keep it at different offsets).
USB_DEFAULT_PIPE_SETUP_PACKET SetupOf(PURB urb)
{
    USB_DEFAULT_PIPE_SETUP_PACKET setup;
    const UCHAR* bytes = urb->UrbHeader.Function == URB_FUNCTION_CONTROL_TRANSFER_EX
                             ? urb->UrbControlTransferEx.SetupPacket
                             : urb->UrbControlTransfer.SetupPacket;
    memcpy(setup.Bytes, bytes, sizeof(setup.Bytes));
    return setup;
}

// The fields the transfer layouts share, at the same offsets in each.
struct _URB_HEADER_AND_BUFFER
{
    struct _URB_HEADER Hdr;
    USBD_PIPE_HANDLE PipeHandle;
    ULONG TransferFlags;
    ULONG TransferBufferLength;
    PVOID TransferBuffer;
    PMDL TransferBufferMDL;
};
static_assert(offsetof(_URB_BULK_OR_INTERRUPT_TRANSFER, TransferBufferMDL) ==
              offsetof(_URB_HEADER_AND_BUFFER, TransferBufferMDL));
static_assert(offsetof(_URB_CONTROL_TRANSFER, TransferBufferMDL) ==
              offsetof(_URB_HEADER_AND_BUFFER, TransferBufferMDL));
static_assert(offsetof(_URB_CONTROL_TRANSFER_EX, TransferBufferMDL) ==
              offsetof(_URB_HEADER_AND_BUFFER, TransferBufferMDL));

_URB_HEADER_AND_BUFFER& TransferOf(PURB urb)
{
    return *reinterpret_cast<_URB_HEADER_AND_BUFFER*>(urb);
}

USHORT MinimumLength(USHORT function)
{
    switch (function)
    {
    case URB_FUNCTION_CONTROL_TRANSFER:
        return sizeof(_URB_CONTROL_TRANSFER);
    case URB_FUNCTION_CONTROL_TRANSFER_EX:
        return sizeof(_URB_CONTROL_TRANSFER_EX);
    case URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER:
        return sizeof(_URB_BULK_OR_INTERRUPT_TRANSFER);
    case URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE:
        return sizeof(_URB_CONTROL_DESCRIPTOR_REQUEST);
    case URB_FUNCTION_SELECT_CONFIGURATION:
        return sizeof(_URB_SELECT_CONFIGURATION);
    default:
        return sizeof(_URB_PIPE_REQUEST);
    }
}

struct IdleWorkContext
{
    ReaderModel* model;
    PIO_WORKITEM item;
    PIRP irp;
};

} // namespace

ReaderModel::ReaderModel(const DeviceIdentity& identity, const ReaderOptions& options)
    : m_identity(identity), m_options(options),
      m_layout(LayoutOf(options.layout, options.speed, options.remoteWake)),
      m_deviceDescriptor(DeviceDescriptorOf(identity, options.speed)),
      m_configurationDescriptor(ConfigurationDescriptorOf(m_layout))
{
    KeInitializeDpc(&m_completionDpc, CompletionDpc, this);
    KeInitializeDpc(&m_lineDpc, LineDpc, this);
    KeInitializeTimer(&m_lineTimer);
    for (const InterfaceLayout& interface : m_layout.interfaces)
    {
        for (const EndpointLayout& endpoint : interface.endpoints)
        {
            m_pipes[static_cast<int>(endpoint.endpoint)].layout = &endpoint;
        }
    }
}

ReaderModel::~ReaderModel()
{
    KeCancelTimer(&m_lineTimer);
    KeRemoveQueueDpc(&m_lineDpc);
    // The DPCs and the idle work item refer to the model: let them run out first.
    kernel::System::Current().GetScheduler().WaitForIdle();
}

// --- the hub's side ---------------------------------------------------------------------------

NTSTATUS ReaderModel::SubmitUrb(PDEVICE_OBJECT pdo, PIRP irp, PURB urb)
{
    if (urb == nullptr)
    {
        return CompleteAtOnce(irp, STATUS_INVALID_PARAMETER);
    }
    USHORT function = urb->UrbHeader.Function;
    if (urb->UrbHeader.Length < MinimumLength(function))
    {
        urb->UrbHeader.Status = USBD_STATUS_INVALID_PARAMETER;
        return CompleteAtOnce(irp, STATUS_INVALID_PARAMETER);
    }
    NTSTATUS status;
    switch (function)
    {
    case URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER:
    case URB_FUNCTION_CONTROL_TRANSFER:
    case URB_FUNCTION_CONTROL_TRANSFER_EX:
        return QueueTransfer(pdo, irp, urb);
    case URB_FUNCTION_ABORT_PIPE:
        return AbortPipe(pdo, irp, urb);
    case URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE:
        status = GetDescriptor(urb);
        break;
    case URB_FUNCTION_SELECT_CONFIGURATION:
        RequireIrqlAtMost(PASSIVE_LEVEL, "URB_FUNCTION_SELECT_CONFIGURATION");
        status = SelectConfiguration(urb);
        break;
    case URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL:
    case URB_FUNCTION_SYNC_RESET_PIPE:
    case URB_FUNCTION_SYNC_CLEAR_STALL:
        RequireIrqlAtMost(PASSIVE_LEVEL, "URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL");
        status = ResetPipe(urb);
        break;
    default:
        urb->UrbHeader.Status = USBD_STATUS_INVALID_URB_FUNCTION;
        status = STATUS_NOT_SUPPORTED;
        break;
    }
    return CompleteAtOnce(irp, status);
}

NTSTATUS ReaderModel::GetDescriptor(PURB urb)
{
    _URB_CONTROL_DESCRIPTOR_REQUEST& request = urb->UrbControlDescriptorRequest;
    {
        std::lock_guard<std::mutex> guard(m_lock);
        if (!m_connected)
        {
            request.TransferBufferLength = 0;
            request.Hdr.Status = USBD_STATUS_DEVICE_GONE;
            return STATUS_NO_SUCH_DEVICE;
        }
    }
    if (request.TransferBuffer == nullptr && request.TransferBufferLength != 0)
    {
        request.Hdr.Status = USBD_STATUS_INVALID_PARAMETER;
        return STATUS_INVALID_PARAMETER;
    }
    std::vector<UCHAR> bytes;
    switch (request.DescriptorType)
    {
    case USB_DEVICE_DESCRIPTOR_TYPE:
        bytes.resize(sizeof(m_deviceDescriptor));
        memcpy(bytes.data(), &m_deviceDescriptor, sizeof(m_deviceDescriptor));
        break;
    case USB_CONFIGURATION_DESCRIPTOR_TYPE:
        if (request.Index == 0)
        {
            bytes = m_configurationDescriptor;
        }
        break;
    case USB_STRING_DESCRIPTOR_TYPE:
        bytes = StringDescriptorOf(m_identity, request.Index);
        break;
    default:
        break;
    }
    if (bytes.empty())
    {
        // The device stalls a request for a descriptor it does not have.
        request.TransferBufferLength = 0;
        request.Hdr.Status = USBD_STATUS_STALL_PID;
        return STATUS_UNSUCCESSFUL;
    }
    ULONG length = std::min<ULONG>(request.TransferBufferLength, static_cast<ULONG>(bytes.size()));
    if (length != 0)
    {
        memcpy(request.TransferBuffer, bytes.data(), length);
    }
    request.TransferBufferLength = length;
    request.Hdr.Status = USBD_STATUS_SUCCESS;
    return STATUS_SUCCESS;
}

NTSTATUS ReaderModel::SelectConfiguration(PURB urb)
{
    _URB_SELECT_CONFIGURATION& select = urb->UrbSelectConfiguration;
    std::lock_guard<std::mutex> guard(m_lock);
    if (!m_connected)
    {
        select.Hdr.Status = USBD_STATUS_DEVICE_GONE;
        return STATUS_NO_SUCH_DEVICE;
    }
    auto invalid = [&select]() {
        select.Hdr.Status = USBD_STATUS_INVALID_PARAMETER;
        return STATUS_INVALID_PARAMETER;
    };
    // Check every interface entry before changing anything.
    UCHAR* const begin = reinterpret_cast<UCHAR*>(&select.Interface);
    UCHAR* const end = reinterpret_cast<UCHAR*>(urb) + select.Hdr.Length;
    std::vector<std::pair<PUSBD_INTERFACE_INFORMATION, const InterfaceLayout*>> entries;
    if (select.ConfigurationDescriptor != nullptr)
    {
        const USB_CONFIGURATION_DESCRIPTOR* descriptor = select.ConfigurationDescriptor;
        if (descriptor->bDescriptorType != USB_CONFIGURATION_DESCRIPTOR_TYPE ||
            descriptor->bConfigurationValue != ConfigurationValue)
        {
            return invalid();
        }
        UCHAR* next = begin;
        while (entries.size() < m_layout.interfaces.size() &&
               next + offsetof(USBD_INTERFACE_INFORMATION, Pipes) <= end)
        {
            auto* info = reinterpret_cast<PUSBD_INTERFACE_INFORMATION>(next);
            auto found =
                std::find_if(m_layout.interfaces.begin(), m_layout.interfaces.end(),
                             [info](const InterfaceLayout& i) { return i.number == info->InterfaceNumber; });
            if (found == m_layout.interfaces.end() || info->AlternateSetting != 0)
            {
                return invalid();
            }
            size_t size = GET_USBD_INTERFACE_SIZE(found->endpoints.size());
            if (info->Length < size || next + size > end)
            {
                return invalid();
            }
            entries.emplace_back(info, &*found);
            next += info->Length;
        }
        if (entries.empty())
        {
            return invalid();
        }
    }

    // The pipes of the configuration left behind go, with the transfers still on them.
    for (int i = static_cast<int>(Endpoint::Interrupt); i < EndpointCount; ++i)
    {
        Pipe& pipe = m_pipes[i];
        for (size_t k = 0; k < pipe.pending.size();)
        {
            Pending pending = pipe.pending[k];
            if (TakeLocked(pipe.pending, k))
            {
                FinishLocked(pending, STATUS_CANCELLED, USBD_STATUS_CANCELED, 0);
            }
            else
            {
                ++k;
            }
        }
        pipe.configured = false;
        pipe.stalled = false;
    }
    m_configured = false;
    select.ConfigurationHandle = nullptr;
    for (auto& [info, layout] : entries)
    {
        info->Class = layout->interfaceClass;
        info->SubClass = layout->subClass;
        info->Protocol = layout->protocol;
        info->Reserved = 0;
        info->InterfaceHandle = &m_interfaceTags[layout->number];
        info->NumberOfPipes = static_cast<ULONG>(layout->endpoints.size());
        for (size_t p = 0; p < layout->endpoints.size(); ++p)
        {
            const EndpointLayout& endpoint = layout->endpoints[p];
            Pipe& pipe = m_pipes[static_cast<int>(endpoint.endpoint)];
            USBD_PIPE_INFORMATION& out = info->Pipes[p];
            out.MaximumPacketSize = endpoint.maxPacket;
            out.EndpointAddress = endpoint.address;
            out.Interval = endpoint.interval;
            out.PipeType =
                endpoint.attributes == USB_ENDPOINT_TYPE_BULK ? UsbdPipeTypeBulk : UsbdPipeTypeInterrupt;
            out.PipeHandle = &pipe;
            pipe.configured = true;
        }
        m_configured = true;
    }
    if (m_configured)
    {
        select.ConfigurationHandle = &m_configurationTag;
    }
    select.Hdr.Status = USBD_STATUS_SUCCESS;
    ScheduleCompletionsLocked();
    return STATUS_SUCCESS;
}

NTSTATUS ReaderModel::ResetPipe(PURB urb)
{
    std::lock_guard<std::mutex> guard(m_lock);
    Pipe* pipe = PipeOfHandleLocked(urb->UrbPipeRequest.PipeHandle);
    if (pipe == nullptr)
    {
        urb->UrbHeader.Status = USBD_STATUS_INVALID_PIPE_HANDLE;
        return STATUS_INVALID_PARAMETER;
    }
    pipe->resets++;
    if (!m_connected)
    {
        urb->UrbHeader.Status = USBD_STATUS_DEVICE_GONE;
        return STATUS_NO_SUCH_DEVICE;
    }
    if (m_pipeResetFailures != 0)
    {
        m_pipeResetFailures--;
        urb->UrbHeader.Status = m_pipeResetStatus == STATUS_NO_SUCH_DEVICE ? USBD_STATUS_DEVICE_GONE
                                                                           : USBD_STATUS_DEV_NOT_RESPONDING;
        return m_pipeResetStatus;
    }
    pipe->stalled = false;
    PumpLocked(pipe->layout->endpoint);
    ScheduleCompletionsLocked();
    urb->UrbHeader.Status = USBD_STATUS_SUCCESS;
    return STATUS_SUCCESS;
}

NTSTATUS ReaderModel::QueueTransfer(PDEVICE_OBJECT, PIRP irp, PURB urb)
{
    _URB_HEADER_AND_BUFFER& transfer = TransferOf(urb);
    std::unique_lock<std::mutex> lock(m_lock);
    Pending pending{irp, urb, Endpoint::Default, KeQueryInterruptTime()};
    NTSTATUS status = STATUS_SUCCESS;
    USBD_STATUS usbdStatus = USBD_STATUS_SUCCESS;
    if (IsControl(urb))
    {
        // The default pipe: no handle, and the flag that says so (the reader has no other control pipe).
        if (transfer.PipeHandle != nullptr || (transfer.TransferFlags & USBD_DEFAULT_PIPE_TRANSFER) == 0)
        {
            status = STATUS_INVALID_PARAMETER;
            usbdStatus = USBD_STATUS_INVALID_PIPE_HANDLE;
        }
    }
    else if (Pipe* pipe = PipeOfHandleLocked(transfer.PipeHandle))
    {
        pending.endpoint = pipe->layout->endpoint;
    }
    else
    {
        status = STATUS_INVALID_PARAMETER;
        usbdStatus = USBD_STATUS_INVALID_PIPE_HANDLE;
    }
    if (NT_SUCCESS(status) && transfer.TransferBufferLength != 0 && transfer.TransferBuffer == nullptr)
    {
        // The machine's buffers are always virtual addresses; it has no MDLs.
        status = STATUS_INVALID_PARAMETER;
        usbdStatus = USBD_STATUS_INVALID_PARAMETER;
    }
    if (NT_SUCCESS(status) && !m_connected)
    {
        status = STATUS_NO_SUCH_DEVICE;
        usbdStatus = USBD_STATUS_DEVICE_GONE;
    }
    bool in = pending.endpoint == Endpoint::BulkIn || pending.endpoint == Endpoint::Interrupt ||
              (pending.endpoint == Endpoint::Default && (SetupOf(urb).s.bmRequestType & 0x80) != 0);
    if (!NT_SUCCESS(status))
    {
        ULONGLONG now = KeQueryInterruptTime();
        m_transfers.push_back(TransferRecord{pending.submitted, now, pending.endpoint, in,
                                             transfer.TransferBufferLength, 0, status, usbdStatus});
        lock.unlock();
        transfer.TransferBufferLength = 0;
        transfer.Hdr.Status = usbdStatus;
        return CompleteAtOnce(irp, status);
    }

    if (pending.endpoint == Endpoint::Default)
    {
        ControlRecord record;
        record.time = pending.submitted;
        USB_DEFAULT_PIPE_SETUP_PACKET setup = SetupOf(urb);
        memcpy(record.setup.data(), setup.Bytes, sizeof(setup.Bytes));
        if (!in && transfer.TransferBuffer != nullptr)
        {
            const auto* data = static_cast<const UCHAR*>(transfer.TransferBuffer);
            record.data.assign(data, data + transfer.TransferBufferLength);
        }
        m_controlRecords.push_back(std::move(record));
    }
    else if (pending.endpoint == Endpoint::BulkIn)
    {
        m_bulkInOutstanding++;
        m_bulkInMost = std::max(m_bulkInMost, m_bulkInOutstanding);
    }
    IoMarkIrpPending(irp);
    transfer.Hdr.Status = USBD_STATUS_PENDING;
    PendLocked(irp, m_pipes[static_cast<int>(pending.endpoint)].pending, pending);
    PumpLocked(pending.endpoint);
    ScheduleCompletionsLocked();
    return STATUS_PENDING;
}

NTSTATUS ReaderModel::AbortPipe(PDEVICE_OBJECT, PIRP irp, PURB urb)
{
    std::unique_lock<std::mutex> lock(m_lock);
    Pipe* pipe = PipeOfHandleLocked(urb->UrbPipeRequest.PipeHandle);
    if (pipe == nullptr)
    {
        lock.unlock();
        urb->UrbHeader.Status = USBD_STATUS_INVALID_PIPE_HANDLE;
        return CompleteAtOnce(irp, STATUS_INVALID_PARAMETER);
    }
    for (size_t k = 0; k < pipe->pending.size();)
    {
        Pending pending = pipe->pending[k];
        if (TakeLocked(pipe->pending, k))
        {
            FinishLocked(pending, STATUS_CANCELLED, USBD_STATUS_CANCELED, 0);
        }
        else
        {
            ++k;
        }
    }
    // The abort itself completes after the transfers it ended, as the hub completes it only once
    // they are back.
    IoMarkIrpPending(irp);
    urb->UrbHeader.Status = USBD_STATUS_SUCCESS;
    m_finished.push_back(Finished{irp, urb, STATUS_SUCCESS, USBD_STATUS_SUCCESS, {}, false, false});
    ScheduleCompletionsLocked();
    return STATUS_PENDING;
}

ULONG ReaderModel::PortStatus()
{
    RequireIrqlAtMost(PASSIVE_LEVEL, "IOCTL_INTERNAL_USB_GET_PORT_STATUS");
    std::lock_guard<std::mutex> guard(m_lock);
    return m_connected ? USBD_PORT_ENABLED | USBD_PORT_CONNECTED : 0;
}

NTSTATUS ReaderModel::ResetPort()
{
    RequireIrqlAtMost(PASSIVE_LEVEL, "IOCTL_INTERNAL_USB_RESET_PORT");
    std::lock_guard<std::mutex> guard(m_lock);
    m_portResets++;
    if (!m_connected)
    {
        return STATUS_NO_SUCH_DEVICE;
    }
    if (m_portResetFailures != 0)
    {
        m_portResetFailures--;
        return m_portResetStatus;
    }
    // The device comes back from its reset with every endpoint's halt cleared.
    for (int i = 0; i < EndpointCount; ++i)
    {
        m_pipes[i].stalled = false;
        PumpLocked(static_cast<Endpoint>(i));
    }
    ScheduleCompletionsLocked();
    return STATUS_SUCCESS;
}

NTSTATUS ReaderModel::SubmitIdleNotification(PDEVICE_OBJECT pdo, PIRP irp, const USB_IDLE_CALLBACK_INFO* info,
                                             ULONG inputLength)
{
    RequireIrqlAtMost(PASSIVE_LEVEL, "IOCTL_INTERNAL_USB_SUBMIT_IDLE_NOTIFICATION");
    if (info == nullptr || inputLength < sizeof(USB_IDLE_CALLBACK_INFO) || info->IdleCallback == nullptr)
    {
        return CompleteAtOnce(irp, STATUS_INVALID_PARAMETER);
    }
    std::unique_lock<std::mutex> lock(m_lock);
    NTSTATUS status = STATUS_PENDING;
    if (!m_connected)
    {
        status = STATUS_NO_SUCH_DEVICE;
    }
    else if (!m_idle.empty())
    {
        // One idle notification at a time.
        status = STATUS_DEVICE_BUSY;
    }
    if (status != STATUS_PENDING)
    {
        lock.unlock();
        return CompleteAtOnce(irp, status);
    }
    IoMarkIrpPending(irp);
    m_idleCallback = *info;
    PendLocked(irp, m_idle, Pending{irp, nullptr, Endpoint::Default, KeQueryInterruptTime()});
    if (!m_idle.empty())
    {
        // The hub calls back at PASSIVE_LEVEL once it may suspend the port: at once here, as the
        // reader is the only device on its port.
        auto* context = new IdleWorkContext{this, IoAllocateWorkItem(pdo), irp};
        IoQueueWorkItem(context->item, IdleWork, DelayedWorkQueue, context);
    }
    ScheduleCompletionsLocked();
    return STATUS_PENDING;
}

void ReaderModel::IdleWork(PDEVICE_OBJECT, PVOID context)
{
    auto* work = static_cast<IdleWorkContext*>(context);
    ReaderModel* model = work->model;
    PIRP irp = work->irp;
    IoFreeWorkItem(work->item);
    delete work;
    USB_IDLE_CALLBACK_INFO callback{};
    {
        std::lock_guard<std::mutex> guard(model->m_lock);
        if (model->m_idle.empty() || model->m_idle.front().irp != irp)
        {
            return; // cancelled before the hub got to it
        }
        callback = model->m_idleCallback;
        model->m_idleCallbacks++;
    }
    callback.IdleCallback(callback.IdleContext);
}

void ReaderModel::EndAllPending()
{
    std::lock_guard<std::mutex> guard(m_lock);
    EndEverythingLocked(STATUS_NO_SUCH_DEVICE, USBD_STATUS_DEVICE_GONE);
    for (Pipe& pipe : m_pipes)
    {
        pipe.configured = false;
    }
    m_configured = false;
    ScheduleCompletionsLocked();
}

void ReaderModel::CancelRoutine(PDEVICE_OBJECT, PIRP irp)
{
    IoReleaseCancelSpinLock(irp->CancelIrql);
    ReaderModel* model = OwnerOf(irp);
    std::lock_guard<std::mutex> guard(model->m_lock);
    model->CancelLocked(irp);
    model->ScheduleCompletionsLocked();
}

void ReaderModel::CancelLocked(PIRP irp)
{
    for (Pipe& pipe : m_pipes)
    {
        for (size_t k = 0; k < pipe.pending.size(); ++k)
        {
            if (pipe.pending[k].irp == irp)
            {
                if (pipe.held && pipe.deaf)
                {
                    pipe.pending[k].cancelled = true;
                    return;
                }
                Pending pending = pipe.pending[k];
                pipe.pending.erase(pipe.pending.begin() + static_cast<std::ptrdiff_t>(k));
                FinishLocked(pending, STATUS_CANCELLED, USBD_STATUS_CANCELED, 0);
                return;
            }
        }
    }
    if (!m_idle.empty() && m_idle.front().irp == irp)
    {
        m_idle.clear();
        FinishRequestLocked(irp, STATUS_CANCELLED);
    }
}

// --- pending transfers ------------------------------------------------------------------------

ReaderModel::Pipe* ReaderModel::PipeOfHandleLocked(USBD_PIPE_HANDLE handle)
{
    for (int i = static_cast<int>(Endpoint::Interrupt); i < EndpointCount; ++i)
    {
        Pipe& pipe = m_pipes[i];
        if (handle == &pipe && pipe.layout != nullptr && pipe.configured)
        {
            return &pipe;
        }
    }
    return nullptr;
}

void ReaderModel::PendLocked(PIRP irp, std::deque<Pending>& list, const Pending& pending)
{
    OwnerOf(irp) = this;
    list.push_back(pending);
    IoSetCancelRoutine(irp, CancelRoutine);
    if (__atomic_load_n(&irp->Cancel, __ATOMIC_SEQ_CST) && IoSetCancelRoutine(irp, nullptr) != nullptr)
    {
        // Cancelled before it could pend: it ends at once (through the DPC all the same).
        list.pop_back();
        if (pending.urb != nullptr)
        {
            FinishLocked(pending, STATUS_CANCELLED, USBD_STATUS_CANCELED, 0);
        }
        else
        {
            FinishRequestLocked(irp, STATUS_CANCELLED);
        }
    }
}

bool ReaderModel::TakeLocked(std::deque<Pending>& list, size_t index)
{
    if (list[index].cancelled)
    {
        // Its cancel routine ran already and left it to us.
        list.erase(list.begin() + static_cast<std::ptrdiff_t>(index));
        return true;
    }
    if (IoSetCancelRoutine(list[index].irp, nullptr) == nullptr)
    {
        return false; // its cancel routine is about to run and will end it
    }
    list.erase(list.begin() + static_cast<std::ptrdiff_t>(index));
    return true;
}

void ReaderModel::FinishLocked(const Pending& pending, NTSTATUS status, USBD_STATUS usbdStatus,
                               ULONG transferred)
{
    _URB_HEADER_AND_BUFFER& transfer = TransferOf(pending.urb);
    TransferRecord record{
        pending.submitted,
        0,
        pending.endpoint,
        pending.endpoint == Endpoint::BulkIn || pending.endpoint == Endpoint::Interrupt ||
            (pending.endpoint == Endpoint::Default && (SetupOf(pending.urb).s.bmRequestType & 0x80) != 0),
        transfer.TransferBufferLength,
        transferred,
        status,
        usbdStatus};
    transfer.TransferBufferLength = transferred;
    transfer.Hdr.Status = usbdStatus;
    m_finished.push_back(Finished{pending.irp, pending.urb, status, usbdStatus, record, true,
                                  pending.endpoint == Endpoint::BulkIn});
}

void ReaderModel::FinishRequestLocked(PIRP irp, NTSTATUS status)
{
    m_finished.push_back(Finished{irp, nullptr, status, USBD_STATUS_SUCCESS, {}, false, false});
}

void ReaderModel::PumpLocked(Endpoint endpoint)
{
    Pipe& pipe = m_pipes[static_cast<int>(endpoint)];
    // Faults first, in this order: the device gone, a halted endpoint, injected failures.
    for (size_t k = 0; k < pipe.pending.size();)
    {
        NTSTATUS status;
        USBD_STATUS usbdStatus;
        if (!m_connected)
        {
            status = STATUS_NO_SUCH_DEVICE;
            usbdStatus = USBD_STATUS_DEVICE_GONE;
        }
        else if (pipe.stalled)
        {
            status = STATUS_UNSUCCESSFUL;
            usbdStatus = USBD_STATUS_STALL_PID;
        }
        else if (pipe.failCount != 0)
        {
            status = pipe.failStatus;
            usbdStatus = pipe.failUsbdStatus;
        }
        else
        {
            break;
        }
        Pending pending = pipe.pending[k];
        if (!TakeLocked(pipe.pending, k))
        {
            ++k;
            continue;
        }
        if (m_connected && !pipe.stalled)
        {
            pipe.failCount--;
        }
        FinishLocked(pending, status, usbdStatus, 0);
    }
    if (!m_connected || pipe.held)
    {
        return;
    }
    switch (endpoint)
    {
    case Endpoint::Default:
        PumpControlLocked();
        break;
    case Endpoint::Interrupt:
        PumpInterruptLocked();
        break;
    case Endpoint::BulkIn:
        PumpBulkInLocked();
        break;
    case Endpoint::BulkOut:
        PumpBulkOutLocked();
        break;
    }
}

void ReaderModel::PumpControlLocked()
{
    Pipe& pipe = m_pipes[static_cast<int>(Endpoint::Default)];
    for (size_t k = 0; k < pipe.pending.size();)
    {
        Pending pending = pipe.pending[k];
        bool classRequest = (SetupOf(pending.urb).s.bmRequestType & 0x60) == 0x20;
        if ((m_ignoreControl && classRequest) || !TakeLocked(pipe.pending, k))
        {
            ++k;
            continue;
        }
        AnswerControlLocked(pending);
    }
}

void ReaderModel::AnswerControlLocked(const Pending& pending)
{
    USB_DEFAULT_PIPE_SETUP_PACKET setup = SetupOf(pending.urb);
    ULONG length = TransferOf(pending.urb).TransferBufferLength;
    bool known = false;
    if (setup.s.bmRequestType == CdcRequestType && setup.s.wIndex == CommunicationInterface)
    {
        switch (setup.s.bRequest)
        {
        case SetLineCoding:
            known = setup.s.wLength == 7 && length >= 7;
            break;
        case SetControlLineState:
        case SendBreak:
            known = setup.s.wLength == 0;
            break;
        default:
            break;
        }
    }
    if (!known)
    {
        // A request the reader does not know: it stalls the default pipe for this request.
        FinishLocked(pending, STATUS_UNSUCCESSFUL, USBD_STATUS_STALL_PID, 0);
        return;
    }
    FinishLocked(pending, STATUS_SUCCESS, USBD_STATUS_SUCCESS, setup.s.wLength);
    if (setup.s.bRequest == SetControlLineState && m_options.answerLineState)
    {
        const USHORT dtr = 0x0001, rts = 0x0002;
        USHORT bitmap = static_cast<USHORT>(((setup.s.wValue & (dtr | rts)) != 0 ? 0x0001 : 0) |
                                            ((setup.s.wValue & dtr) != 0 ? 0x0002 : 0));
        QueueNotificationLocked(SerialStateNotification, 0,
                                {static_cast<UCHAR>(bitmap & 0xFF), static_cast<UCHAR>(bitmap >> 8)});
    }
}

void ReaderModel::PumpBulkInLocked()
{
    Pipe& pipe = m_pipes[static_cast<int>(Endpoint::BulkIn)];
    while (m_floodLeft != 0 && !pipe.pending.empty())
    {
        Pending pending = pipe.pending.front();
        if (!TakeLocked(pipe.pending, 0))
        {
            return;
        }
        m_floodLeft--;
        _URB_HEADER_AND_BUFFER& transfer = TransferOf(pending.urb);
        memset(transfer.TransferBuffer, m_floodFill, transfer.TransferBufferLength);
        if (!EndReadLocked(pending, transfer.TransferBufferLength))
        {
            return;
        }
    }
    for (size_t k = 0; k < pipe.pending.size() && !m_bulkInData.empty();)
    {
        Pending pending = pipe.pending[k];
        if (!TakeLocked(pipe.pending, k))
        {
            ++k;
            continue;
        }
        _URB_HEADER_AND_BUFFER& transfer = TransferOf(pending.urb);
        ULONG length =
            std::min<ULONG>(transfer.TransferBufferLength, static_cast<ULONG>(m_bulkInData.size()));
        auto* buffer = static_cast<UCHAR*>(transfer.TransferBuffer);
        std::copy_n(m_bulkInData.begin(), length, buffer);
        m_bulkInData.erase(m_bulkInData.begin(), m_bulkInData.begin() + length);
        if (!EndReadLocked(pending, length))
        {
            return;
        }
    }
}

void ReaderModel::PumpInterruptLocked()
{
    Pipe& pipe = m_pipes[static_cast<int>(Endpoint::Interrupt)];
    for (size_t k = 0; k < pipe.pending.size() && !m_notifications.empty();)
    {
        Pending pending = pipe.pending[k];
        if (!TakeLocked(pipe.pending, k))
        {
            ++k;
            continue;
        }
        std::vector<UCHAR> notification = std::move(m_notifications.front());
        m_notifications.pop_front();
        _URB_HEADER_AND_BUFFER& transfer = TransferOf(pending.urb);
        ULONG size = static_cast<ULONG>(notification.size());
        if (size > transfer.TransferBufferLength)
        {
            // The reader sends more than the host asked for: the notification is lost.
            FinishLocked(pending, STATUS_UNSUCCESSFUL, USBD_STATUS_BABBLE_DETECTED, 0);
            continue;
        }
        memcpy(transfer.TransferBuffer, notification.data(), size);
        if (!EndReadLocked(pending, size))
        {
            return;
        }
    }
}

bool ReaderModel::EndReadLocked(const Pending& pending, ULONG length)
{
    // What arrived ends the transfer with a short packet. Without USBD_SHORT_TRANSFER_OK the host
    // controller (as a UHCI or OHCI controller does) fails the transfer and halts the endpoint
    // until its pipe is reset; the bytes that came are still the transfer's.
    const _URB_HEADER_AND_BUFFER& transfer = TransferOf(pending.urb);
    if (length == transfer.TransferBufferLength || (transfer.TransferFlags & USBD_SHORT_TRANSFER_OK) != 0)
    {
        FinishLocked(pending, STATUS_SUCCESS, USBD_STATUS_SUCCESS, length);
        return true;
    }
    FinishLocked(pending, STATUS_UNSUCCESSFUL, USBD_STATUS_ERROR_SHORT_TRANSFER, length);
    m_pipes[static_cast<int>(pending.endpoint)].stalled = true;
    PumpLocked(pending.endpoint); // the halt ends the transfers behind it
    return false;
}

void ReaderModel::PumpBulkOutLocked()
{
    Pipe& pipe = m_pipes[static_cast<int>(Endpoint::BulkOut)];
    std::vector<UCHAR> looped;
    for (size_t k = 0; k < pipe.pending.size();)
    {
        Pending pending = pipe.pending[k];
        if (!TakeLocked(pipe.pending, k))
        {
            ++k;
            continue;
        }
        _URB_HEADER_AND_BUFFER& transfer = TransferOf(pending.urb);
        const auto* data = static_cast<const UCHAR*>(transfer.TransferBuffer);
        std::vector<UCHAR>& sink = m_options.loopback ? looped : m_bulkOut;
        if (data != nullptr)
        {
            sink.insert(sink.end(), data, data + transfer.TransferBufferLength);
        }
        FinishLocked(pending, STATUS_SUCCESS, USBD_STATUS_SUCCESS, transfer.TransferBufferLength);
    }
    if (!looped.empty())
    {
        ArriveLocked(looped.data(), looped.size());
    }
}

// --- bytes and notifications from the reader --------------------------------------------------

void ReaderModel::ArriveLocked(const UCHAR* data, size_t length)
{
    if (m_options.lineRate == 0)
    {
        m_bulkInData.insert(m_bulkInData.end(), data, data + length);
        PumpLocked(Endpoint::BulkIn);
        return;
    }
    if (m_line.empty())
    {
        m_burstStart = KeQueryInterruptTime();
        m_burstArrived = 0;
    }
    m_line.insert(m_line.end(), data, data + length);
    LineTickLocked();
}

void ReaderModel::LineTickLocked()
{
    if (m_line.empty())
    {
        return;
    }
    ULONGLONG now = KeQueryInterruptTime();
    auto arrivedBy = [this](ULONGLONG time) {
        return static_cast<ULONGLONG>(static_cast<unsigned __int128>(time - m_burstStart) *
                                      m_options.lineRate / LineUnitsPerByteBaud);
    };
    ULONGLONG arrived = std::min<ULONGLONG>(arrivedBy(now) - m_burstArrived, m_line.size());
    if (arrived != 0)
    {
        m_bulkInData.insert(m_bulkInData.end(), m_line.begin(),
                            m_line.begin() + static_cast<std::ptrdiff_t>(arrived));
        m_line.erase(m_line.begin(), m_line.begin() + static_cast<std::ptrdiff_t>(arrived));
        m_burstArrived += arrived;
        PumpLocked(Endpoint::BulkIn);
    }
    if (!m_line.empty())
    {
        // The next byte is in when (arrived + 1) * 10 / B seconds of the burst have passed.
        auto span = static_cast<unsigned __int128>(m_burstArrived + 1) * LineUnitsPerByteBaud;
        ULONGLONG next =
            m_burstStart + static_cast<ULONGLONG>((span + m_options.lineRate - 1) / m_options.lineRate);
        LARGE_INTEGER due;
        due.QuadPart = -static_cast<LONGLONG>(std::max<ULONGLONG>(next - now, 1));
        KeSetTimer(&m_lineTimer, due, &m_lineDpc);
    }
}

void ReaderModel::QueueNotificationLocked(UCHAR code, USHORT value, const std::vector<UCHAR>& data)
{
    if (m_pipes[static_cast<int>(Endpoint::Interrupt)].layout == nullptr)
    {
        return; // a reader without an interrupt pipe has nowhere to send it
    }
    auto length = static_cast<USHORT>(data.size());
    std::vector<UCHAR> bytes = {
        CdcNotificationType,    code, static_cast<UCHAR>(value & 0xFF),  static_cast<UCHAR>(value >> 8),
        CommunicationInterface, 0,    static_cast<UCHAR>(length & 0xFF), static_cast<UCHAR>(length >> 8)};
    bytes.insert(bytes.end(), data.begin(), data.end());
    m_notifications.push_back(std::move(bytes));
    PumpLocked(Endpoint::Interrupt);
}

void ReaderModel::EndEverythingLocked(NTSTATUS status, USBD_STATUS usbdStatus)
{
    for (Pipe& pipe : m_pipes)
    {
        for (size_t k = 0; k < pipe.pending.size();)
        {
            Pending pending = pipe.pending[k];
            if (TakeLocked(pipe.pending, k))
            {
                FinishLocked(pending, status, usbdStatus, 0);
            }
            else
            {
                ++k;
            }
        }
    }
    if (!m_idle.empty())
    {
        PIRP irp = m_idle.front().irp;
        if (TakeLocked(m_idle, 0))
        {
            FinishRequestLocked(irp, status);
        }
    }
}

// --- completion -------------------------------------------------------------------------------

void ReaderModel::ScheduleCompletionsLocked()
{
    // A completion DPC that is running takes what finishes meanwhile: it looks at the list again,
    // under the lock, after each completion. Queueing another one would only wake a processor to
    // find it busy.
    if (!m_finished.empty() && !m_completing)
    {
        KeInsertQueueDpc(&m_completionDpc, nullptr, nullptr);
    }
}

void ReaderModel::CompletionDpc(PKDPC, PVOID context, PVOID, PVOID)
{
    static_cast<ReaderModel*>(context)->CompleteFinished();
}

void ReaderModel::LineDpc(PKDPC, PVOID context, PVOID, PVOID)
{
    auto* model = static_cast<ReaderModel*>(context);
    std::lock_guard<std::mutex> guard(model->m_lock);
    model->LineTickLocked();
    model->ScheduleCompletionsLocked();
}

void ReaderModel::CompleteFinished()
{
    std::unique_lock<std::mutex> lock(m_lock);
    if (m_completing)
    {
        return; // the DPC running on the other processor completes these too, in order
    }
    m_completing = true;
    while (!m_finished.empty())
    {
        Finished finished = m_finished.front();
        m_finished.pop_front();
        if (finished.recorded)
        {
            finished.record.ended = KeQueryInterruptTime();
            m_transfers.push_back(finished.record);
        }
        if (finished.bulkInRead)
        {
            m_bulkInOutstanding--;
        }
        lock.unlock();
        CompleteAtOnce(finished.irp, finished.status);
        lock.lock();
    }
    m_completing = false;
    m_completed.notify_all();
}

void ReaderModel::WaitForCompletions()
{
    kernel::System::Current().GetScheduler().WaitForDpcsIdle();
    std::unique_lock<std::mutex> lock(m_lock);
    m_completed.wait(lock, [this] { return m_finished.empty() && !m_completing; });
}

// --- the test's side --------------------------------------------------------------------------

void ReaderModel::PushBulkIn(const UCHAR* data, size_t length)
{
    std::lock_guard<std::mutex> guard(m_lock);
    ArriveLocked(data, length);
    ScheduleCompletionsLocked();
}

void ReaderModel::PushNotification(UCHAR code, USHORT value, const std::vector<UCHAR>& data)
{
    std::lock_guard<std::mutex> guard(m_lock);
    QueueNotificationLocked(code, value, data);
    ScheduleCompletionsLocked();
}

std::vector<UCHAR> ReaderModel::TakeBulkOut()
{
    std::lock_guard<std::mutex> guard(m_lock);
    std::vector<UCHAR> taken;
    taken.swap(m_bulkOut);
    return taken;
}

std::vector<ControlRecord> ReaderModel::ControlRequests()
{
    std::lock_guard<std::mutex> guard(m_lock);
    return m_controlRecords;
}

std::vector<TransferRecord> ReaderModel::Transfers()
{
    std::lock_guard<std::mutex> guard(m_lock);
    return m_transfers;
}

unsigned ReaderModel::OutstandingBulkInReads()
{
    std::lock_guard<std::mutex> guard(m_lock);
    return m_bulkInOutstanding;
}

unsigned ReaderModel::MostBulkInReadsOutstanding()
{
    std::lock_guard<std::mutex> guard(m_lock);
    return m_bulkInMost;
}

unsigned ReaderModel::PipeResets(Endpoint endpoint)
{
    std::lock_guard<std::mutex> guard(m_lock);
    return m_pipes[static_cast<int>(endpoint)].resets;
}

unsigned ReaderModel::PortResets()
{
    std::lock_guard<std::mutex> guard(m_lock);
    return m_portResets;
}

unsigned ReaderModel::IdleCallbacks()
{
    std::lock_guard<std::mutex> guard(m_lock);
    return m_idleCallbacks;
}

void ReaderModel::FailTransfers(Endpoint endpoint, unsigned count, NTSTATUS status, USBD_STATUS usbdStatus)
{
    std::lock_guard<std::mutex> guard(m_lock);
    Pipe& pipe = m_pipes[static_cast<int>(endpoint)];
    pipe.failCount = count;
    pipe.failStatus = status;
    pipe.failUsbdStatus = usbdStatus;
    PumpLocked(endpoint);
    ScheduleCompletionsLocked();
}

void ReaderModel::Stall(Endpoint endpoint)
{
    std::lock_guard<std::mutex> guard(m_lock);
    m_pipes[static_cast<int>(endpoint)].stalled = true;
    PumpLocked(endpoint);
    ScheduleCompletionsLocked();
}

bool ReaderModel::Stalled(Endpoint endpoint)
{
    std::lock_guard<std::mutex> guard(m_lock);
    return m_pipes[static_cast<int>(endpoint)].stalled;
}

void ReaderModel::FailPipeResets(unsigned count, NTSTATUS status)
{
    std::lock_guard<std::mutex> guard(m_lock);
    m_pipeResetFailures = count;
    m_pipeResetStatus = status;
}

void ReaderModel::FailPortResets(unsigned count, NTSTATUS status)
{
    std::lock_guard<std::mutex> guard(m_lock);
    m_portResetFailures = count;
    m_portResetStatus = status;
}

void ReaderModel::IgnoreControlRequests(bool ignore)
{
    std::lock_guard<std::mutex> guard(m_lock);
    m_ignoreControl = ignore;
    PumpLocked(Endpoint::Default);
    ScheduleCompletionsLocked();
}

void ReaderModel::Flood(unsigned reads, UCHAR fill)
{
    std::lock_guard<std::mutex> guard(m_lock);
    m_floodLeft = reads;
    m_floodFill = fill;
    PumpLocked(Endpoint::BulkIn);
    ScheduleCompletionsLocked();
}

void ReaderModel::Hold(Endpoint endpoint, bool evenWhenCancelled)
{
    std::lock_guard<std::mutex> guard(m_lock);
    m_pipes[static_cast<int>(endpoint)].held = true;
    m_pipes[static_cast<int>(endpoint)].deaf = evenWhenCancelled;
}

void ReaderModel::Release(Endpoint endpoint)
{
    std::lock_guard<std::mutex> guard(m_lock);
    Pipe& pipe = m_pipes[static_cast<int>(endpoint)];
    pipe.held = false;
    pipe.deaf = false;
    for (size_t k = 0; k < pipe.pending.size();)
    {
        if (pipe.pending[k].cancelled)
        {
            Pending pending = pipe.pending[k];
            pipe.pending.erase(pipe.pending.begin() + static_cast<std::ptrdiff_t>(k));
            FinishLocked(pending, STATUS_CANCELLED, USBD_STATUS_CANCELED, 0);
        }
        else
        {
            ++k;
        }
    }
    PumpLocked(endpoint);
    ScheduleCompletionsLocked();
}

void ReaderModel::Disconnect()
{
    std::lock_guard<std::mutex> guard(m_lock);
    if (!m_connected)
    {
        return;
    }
    m_connected = false;
    KeCancelTimer(&m_lineTimer);
    m_line.clear();
    EndEverythingLocked(STATUS_NO_SUCH_DEVICE, USBD_STATUS_DEVICE_GONE);
    ScheduleCompletionsLocked();
}

bool ReaderModel::Connected()
{
    std::lock_guard<std::mutex> guard(m_lock);
    return m_connected;
}

} // namespace winsim::usb

namespace winsim::usb
{

std::string ReaderModel::Describe()
{
    static const char* const names[] = {"default", "interrupt IN", "bulk IN", "bulk OUT"};
    static const char* const types[] = {"control", "isochronous", "bulk", "interrupt"};
    std::lock_guard<std::mutex> guard(m_lock);
    std::string text;
    char line[160];
    for (int i = 0; i < EndpointCount; ++i)
    {
        const Pipe& pipe = m_pipes[i];
        if (i != static_cast<int>(Endpoint::Default) && pipe.layout == nullptr)
        {
            continue;
        }
        if (pipe.layout != nullptr)
        {
            snprintf(
                line, sizeof(line),
                "  %-12s endpoint 0x%02X, %s, %u-byte packets: %s, %u reset(s), %zu transfer(s) pending\n",
                names[i], pipe.layout->address, types[pipe.layout->attributes & USB_ENDPOINT_TYPE_MASK],
                pipe.layout->maxPacket, pipe.configured ? "configured" : "not configured", pipe.resets,
                pipe.pending.size());
        }
        else
        {
            snprintf(line, sizeof(line), "  %-12s endpoint 0x00, control: %zu transfer(s) pending\n",
                     names[i], pipe.pending.size());
        }
        text += line;
    }
    snprintf(line, sizeof(line), "  port resets: %u\n", m_portResets);
    text += line;
    if (m_controlRecords.empty())
    {
        text += "  class requests: none\n";
    }
    for (const ControlRecord& record : m_controlRecords)
    {
        snprintf(line, sizeof(line), "  class request at %.3f s: %02X %02X %02X%02X %02X%02X %02X%02X",
                 static_cast<double>(record.time) / 1e7, record.setup[0], record.setup[1], record.setup[3],
                 record.setup[2], record.setup[5], record.setup[4], record.setup[7], record.setup[6]);
        text += line;
        for (UCHAR byte : record.data)
        {
            snprintf(line, sizeof(line), " %02X", byte);
            text += line;
        }
        text += "\n";
    }
    return text;
}

} // namespace winsim::usb
