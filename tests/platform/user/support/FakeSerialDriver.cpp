#include "FakeSerialDriver.h"

#include <string.h>

#include <fstream>
#include <map>

namespace fakeserial
{
namespace
{

struct Extension
{
    PDEVICE_OBJECT lower;
};

// Guards the controls, the failures and the requests held below; the port's state is touched
// under it by the driver. One device at a time.
KSPIN_LOCK g_lock = 0;
PIRP g_wait = nullptr;  // the WAIT_ON_MASK waiting, if any
PIRP g_write = nullptr; // the write held, if any

std::vector<Control>& Received()
{
    static std::vector<Control> received;
    return received;
}

std::map<ULONG, NTSTATUS>& Failures()
{
    static std::map<ULONG, NTSTATUS> failures;
    return failures;
}

PortState& State()
{
    static PortState state;
    return state;
}

void ResetState()
{
    PortState& port = State();
    port = PortState{};
    port.baud.BaudRate = 9600;
    port.line.WordLength = 8;
    port.line.Parity = NO_PARITY;
    port.line.StopBits = STOP_BIT_1;
    port.chars.XonChar = 0x11;
    port.chars.XoffChar = 0x13;
    port.handflow.ControlHandShake = SERIAL_DTR_CONTROL;
    port.handflow.FlowReplace = SERIAL_RTS_CONTROL;
    port.handflow.XonLimit = 2048;
    port.handflow.XoffLimit = 512;
    port.dtr = true;
    port.rts = true;
    port.writeStatus = STATUS_SUCCESS;
    port.writeCount = ~0u; // all of it
    port.properties.PacketLength = sizeof(SERIAL_COMMPROP);
    port.properties.PacketVersion = 2;
}

UNICODE_STRING Text(const wchar_t* text)
{
    UNICODE_STRING s;
    RtlInitUnicodeString(&s, text);
    return s;
}

NTSTATUS Complete(PIRP irp, NTSTATUS status, ULONG_PTR information = 0)
{
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = information;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

// Takes a held request out of its slot and out of the cancel routine's reach; null if none.
PIRP Take(PIRP& slot)
{
    KIRQL irql;
    KeAcquireSpinLock(&g_lock, &irql);
    PIRP taken = slot;
    if (taken != nullptr && IoSetCancelRoutine(taken, nullptr) != nullptr)
    {
        slot = nullptr;
    }
    else
    {
        taken = nullptr;
    }
    KeReleaseSpinLock(&g_lock, irql);
    return taken;
}

VOID Cancel(PDEVICE_OBJECT, PIRP irp)
{
    IoReleaseCancelSpinLock(irp->CancelIrql);
    KIRQL irql;
    KeAcquireSpinLock(&g_lock, &irql);
    if (g_wait == irp)
    {
        g_wait = nullptr;
    }
    if (g_write == irp)
    {
        g_write = nullptr;
    }
    KeReleaseSpinLock(&g_lock, irql);
    Complete(irp, STATUS_CANCELLED);
}

// Holds a request in a slot, cancelable; the caller holds g_lock.
NTSTATUS HoldLocked(PIRP& slot, PIRP irp)
{
    IoSetCancelRoutine(irp, Cancel);
    if (irp->Cancel && IoSetCancelRoutine(irp, nullptr) != nullptr)
    {
        return STATUS_CANCELLED;
    }
    IoMarkIrpPending(irp);
    slot = irp;
    return STATUS_PENDING;
}

NTSTATUS DispatchCreateClose(PDEVICE_OBJECT, PIRP irp)
{
    return Complete(irp, STATUS_SUCCESS);
}

NTSTATUS DispatchCleanup(PDEVICE_OBJECT, PIRP irp)
{
    for (PIRP* slot : {&g_wait, &g_write})
    {
        if (PIRP held = Take(*slot))
        {
            Complete(held, STATUS_CANCELLED);
        }
    }
    return Complete(irp, STATUS_SUCCESS);
}

NTSTATUS DispatchRead(PDEVICE_OBJECT, PIRP irp)
{
    ULONG length = IoGetCurrentIrpStackLocation(irp)->Parameters.Read.Length;
    PortState& port = State();
    ULONG moved = port.readData.size() < length ? static_cast<ULONG>(port.readData.size()) : length;
    memcpy(irp->AssociatedIrp.SystemBuffer, port.readData.data(), moved);
    port.readData.erase(0, moved);
    return Complete(irp, moved < length && port.readTimesOut ? STATUS_TIMEOUT : STATUS_SUCCESS, moved);
}

NTSTATUS DispatchWrite(PDEVICE_OBJECT, PIRP irp)
{
    ULONG length = IoGetCurrentIrpStackLocation(irp)->Parameters.Write.Length;
    PortState& port = State();
    if (port.holdWrites)
    {
        KIRQL irql;
        KeAcquireSpinLock(&g_lock, &irql);
        NTSTATUS status = g_write == nullptr ? HoldLocked(g_write, irp) : STATUS_DEVICE_BUSY;
        KeReleaseSpinLock(&g_lock, irql);
        return status == STATUS_PENDING ? status : Complete(irp, status);
    }
    ULONG count = port.writeCount < length ? port.writeCount : length;
    return Complete(irp, port.writeStatus, NT_SUCCESS(port.writeStatus) ? count : 0);
}

// Whether the handshake owns DTR or RTS, so that a client may not switch it.
bool DtrHandshake(const PortState& port)
{
    return (port.handflow.ControlHandShake & SERIAL_DTR_MASK) == SERIAL_DTR_HANDSHAKE;
}

bool RtsHandshake(const PortState& port)
{
    ULONG rts = port.handflow.FlowReplace & SERIAL_RTS_MASK;
    return rts == SERIAL_RTS_HANDSHAKE || rts == SERIAL_TRANSMIT_TOGGLE;
}

constexpr ULONG AllEvents = 0x1FFF;
constexpr ULONG AllPurges =
    SERIAL_PURGE_TXABORT | SERIAL_PURGE_RXABORT | SERIAL_PURGE_TXCLEAR | SERIAL_PURGE_RXCLEAR;

// One control on the port's state; returns the status and the bytes answered.
NTSTATUS Answer(ULONG code, UCHAR* buffer, ULONG in, ULONG out, ULONG_PTR& information)
{
    PortState& port = State();
    auto input = [&](auto& target) {
        if (in < sizeof(target))
        {
            return false;
        }
        memcpy(&target, buffer, sizeof(target));
        return true;
    };
    auto output = [&](const auto& source) {
        if (out < sizeof(source))
        {
            return STATUS_BUFFER_TOO_SMALL;
        }
        memcpy(buffer, &source, sizeof(source));
        information = sizeof(source);
        return STATUS_SUCCESS;
    };
    switch (code)
    {
    case IOCTL_SERIAL_SET_BAUD_RATE: {
        SERIAL_BAUD_RATE baud;
        if (!input(baud))
        {
            return STATUS_BUFFER_TOO_SMALL;
        }
        if (baud.BaudRate == 0)
        {
            return STATUS_INVALID_PARAMETER;
        }
        port.baud = baud;
        return STATUS_SUCCESS;
    }
    case IOCTL_SERIAL_GET_BAUD_RATE:
        return output(port.baud);
    case IOCTL_SERIAL_SET_LINE_CONTROL: {
        SERIAL_LINE_CONTROL line;
        if (!input(line))
        {
            return STATUS_BUFFER_TOO_SMALL;
        }
        if (line.WordLength < 5 || line.WordLength > 8 || line.Parity > SPACE_PARITY ||
            line.StopBits > STOP_BITS_2)
        {
            return STATUS_INVALID_PARAMETER;
        }
        port.line = line;
        return STATUS_SUCCESS;
    }
    case IOCTL_SERIAL_GET_LINE_CONTROL:
        return output(port.line);
    case IOCTL_SERIAL_SET_CHARS:
        return input(port.chars) ? STATUS_SUCCESS : STATUS_BUFFER_TOO_SMALL;
    case IOCTL_SERIAL_GET_CHARS:
        return output(port.chars);
    case IOCTL_SERIAL_SET_HANDFLOW: {
        SERIAL_HANDFLOW handflow;
        if (!input(handflow))
        {
            return STATUS_BUFFER_TOO_SMALL;
        }
        if ((handflow.ControlHandShake & SERIAL_CONTROL_INVALID) ||
            (handflow.FlowReplace & SERIAL_FLOW_INVALID) ||
            (handflow.ControlHandShake & SERIAL_DTR_MASK) == SERIAL_DTR_MASK)
        {
            return STATUS_INVALID_PARAMETER;
        }
        port.handflow = handflow;
        // The handshake sets the lines it enables, as the inbox driver does.
        if (handflow.ControlHandShake & SERIAL_DTR_CONTROL)
        {
            port.dtr = true;
        }
        if ((handflow.FlowReplace & SERIAL_RTS_MASK) == SERIAL_RTS_CONTROL)
        {
            port.rts = true;
        }
        return STATUS_SUCCESS;
    }
    case IOCTL_SERIAL_GET_HANDFLOW:
        return output(port.handflow);
    case IOCTL_SERIAL_SET_TIMEOUTS:
        return input(port.timeouts) ? STATUS_SUCCESS : STATUS_BUFFER_TOO_SMALL;
    case IOCTL_SERIAL_GET_TIMEOUTS:
        return output(port.timeouts);
    case IOCTL_SERIAL_SET_QUEUE_SIZE:
        return input(port.queueSize) ? STATUS_SUCCESS : STATUS_BUFFER_TOO_SMALL;
    case IOCTL_SERIAL_SET_DTR:
    case IOCTL_SERIAL_CLR_DTR:
        if (DtrHandshake(port))
        {
            return STATUS_INVALID_PARAMETER;
        }
        port.dtr = code == IOCTL_SERIAL_SET_DTR;
        return STATUS_SUCCESS;
    case IOCTL_SERIAL_SET_RTS:
    case IOCTL_SERIAL_CLR_RTS:
        if (RtsHandshake(port))
        {
            return STATUS_INVALID_PARAMETER;
        }
        port.rts = code == IOCTL_SERIAL_SET_RTS;
        return STATUS_SUCCESS;
    case IOCTL_SERIAL_SET_BREAK_ON:
    case IOCTL_SERIAL_SET_BREAK_OFF:
        port.breakOn = code == IOCTL_SERIAL_SET_BREAK_ON;
        return STATUS_SUCCESS;
    case IOCTL_SERIAL_SET_XOFF:
    case IOCTL_SERIAL_SET_XON:
        port.xoffSent = code == IOCTL_SERIAL_SET_XOFF;
        return STATUS_SUCCESS;
    case IOCTL_SERIAL_RESET_DEVICE:
        ++port.resets;
        return STATUS_SUCCESS;
    case IOCTL_SERIAL_IMMEDIATE_CHAR: {
        UCHAR c;
        if (!input(c))
        {
            return STATUS_BUFFER_TOO_SMALL;
        }
        port.immediate.push_back(c);
        return STATUS_SUCCESS;
    }
    case IOCTL_SERIAL_PURGE: {
        ULONG flags;
        if (!input(flags))
        {
            return STATUS_BUFFER_TOO_SMALL;
        }
        if (flags == 0 || (flags & ~AllPurges) != 0)
        {
            return STATUS_INVALID_PARAMETER;
        }
        port.purged = flags;
        return STATUS_SUCCESS;
    }
    case IOCTL_SERIAL_GET_WAIT_MASK:
        return output(port.waitMask);
    case IOCTL_SERIAL_GET_MODEMSTATUS:
        return output(port.modemStatus);
    case IOCTL_SERIAL_GET_COMMSTATUS: {
        NTSTATUS status = output(port.status);
        if (NT_SUCCESS(status))
        {
            port.status.Errors = 0;
        }
        return status;
    }
    case IOCTL_SERIAL_GET_PROPERTIES:
        return output(port.properties);
    default:
        return STATUS_INVALID_DEVICE_REQUEST;
    }
}

NTSTATUS DispatchDeviceControl(PDEVICE_OBJECT, PIRP irp)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    ULONG code = stack->Parameters.DeviceIoControl.IoControlCode;
    ULONG in = stack->Parameters.DeviceIoControl.InputBufferLength;
    ULONG out = stack->Parameters.DeviceIoControl.OutputBufferLength;
    auto* buffer = static_cast<UCHAR*>(irp->AssociatedIrp.SystemBuffer);

    KIRQL irql;
    KeAcquireSpinLock(&g_lock, &irql);
    Received().push_back(Control{code, std::vector<UCHAR>(buffer, buffer + in)});
    auto failure = Failures().find(code);
    NTSTATUS failed = failure != Failures().end() ? failure->second : STATUS_SUCCESS;
    PortState& port = State();
    PIRP finished = nullptr; // a wait that SET_WAIT_MASK ends
    NTSTATUS status;
    ULONG_PTR information = 0;
    if (!NT_SUCCESS(failed))
    {
        status = failed;
    }
    else if (code == IOCTL_SERIAL_SET_WAIT_MASK)
    {
        ULONG mask = 0;
        if (in < sizeof(mask))
        {
            status = STATUS_BUFFER_TOO_SMALL;
        }
        else if (memcpy(&mask, buffer, sizeof(mask)), (mask & ~AllEvents) != 0)
        {
            status = STATUS_INVALID_PARAMETER;
        }
        else
        {
            port.waitMask = mask;
            port.pendingEvents = 0;
            if (g_wait != nullptr && IoSetCancelRoutine(g_wait, nullptr) != nullptr)
            {
                finished = g_wait;
                g_wait = nullptr;
            }
            status = STATUS_SUCCESS;
        }
    }
    else if (code == IOCTL_SERIAL_WAIT_ON_MASK)
    {
        if (out < sizeof(ULONG))
        {
            status = STATUS_BUFFER_TOO_SMALL;
        }
        else if (port.waitMask == 0 || g_wait != nullptr)
        {
            status = STATUS_INVALID_PARAMETER;
        }
        else if (ULONG events = port.pendingEvents & port.waitMask)
        {
            port.pendingEvents = 0;
            memcpy(buffer, &events, sizeof(events));
            information = sizeof(events);
            status = STATUS_SUCCESS;
        }
        else
        {
            status = HoldLocked(g_wait, irp);
        }
    }
    else
    {
        status = Answer(code, buffer, in, out, information);
    }
    KeReleaseSpinLock(&g_lock, irql);
    if (finished != nullptr)
    {
        ULONG none = 0;
        memcpy(finished->AssociatedIrp.SystemBuffer, &none, sizeof(none));
        Complete(finished, STATUS_SUCCESS, sizeof(none));
    }
    return status == STATUS_PENDING ? status : Complete(irp, status, information);
}

NTSTATUS DispatchPnp(PDEVICE_OBJECT device, PIRP irp)
{
    auto* extension = static_cast<Extension*>(device->DeviceExtension);
    UCHAR minor = IoGetCurrentIrpStackLocation(irp)->MinorFunction;
    PDEVICE_OBJECT lower = extension->lower;
    if (minor == IRP_MN_REMOVE_DEVICE)
    {
        UNICODE_STRING link = Text(L"\\DosDevices\\COM8");
        IoDeleteSymbolicLink(&link);
        for (PIRP* slot : {&g_wait, &g_write})
        {
            if (PIRP held = Take(*slot))
            {
                Complete(held, STATUS_DELETE_PENDING);
            }
        }
    }
    IoSkipCurrentIrpStackLocation(irp);
    NTSTATUS status = IoCallDriver(lower, irp);
    if (minor == IRP_MN_REMOVE_DEVICE)
    {
        IoDetachDevice(lower);
        IoDeleteDevice(device);
    }
    return status;
}

NTSTATUS AddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo)
{
    UNICODE_STRING name = Text(L"\\Device\\FakeSerial0");
    PDEVICE_OBJECT device = nullptr;
    NTSTATUS status =
        IoCreateDevice(driver, sizeof(Extension), &name, FILE_DEVICE_SERIAL_PORT, 0, FALSE, &device);
    if (!NT_SUCCESS(status))
    {
        return status;
    }
    auto* extension = static_cast<Extension*>(device->DeviceExtension);
    extension->lower = IoAttachDeviceToDeviceStack(device, pdo);
    UNICODE_STRING link = Text(L"\\DosDevices\\COM8");
    status = IoCreateSymbolicLink(&link, &name);
    if (!NT_SUCCESS(status))
    {
        IoDetachDevice(extension->lower);
        IoDeleteDevice(device);
        return status;
    }
    device->Flags |= DO_BUFFERED_IO;
    device->Flags &= ~DO_DEVICE_INITIALIZING;
    return STATUS_SUCCESS;
}

} // namespace

NTSTATUS DriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING)
{
    ResetState();
    ClearControls();
    ClearFailures();
    driver->DriverExtension->AddDevice = AddDevice;
    driver->MajorFunction[IRP_MJ_CREATE] = DispatchCreateClose;
    driver->MajorFunction[IRP_MJ_CLOSE] = DispatchCreateClose;
    driver->MajorFunction[IRP_MJ_CLEANUP] = DispatchCleanup;
    driver->MajorFunction[IRP_MJ_READ] = DispatchRead;
    driver->MajorFunction[IRP_MJ_WRITE] = DispatchWrite;
    driver->MajorFunction[IRP_MJ_DEVICE_CONTROL] = DispatchDeviceControl;
    driver->MajorFunction[IRP_MJ_PNP] = DispatchPnp;
    return STATUS_SUCCESS;
}

PortState& Port()
{
    return State();
}

std::vector<Control> Controls()
{
    KIRQL irql;
    KeAcquireSpinLock(&g_lock, &irql);
    std::vector<Control> copy = Received();
    KeReleaseSpinLock(&g_lock, irql);
    return copy;
}

void ClearControls()
{
    KIRQL irql;
    KeAcquireSpinLock(&g_lock, &irql);
    Received().clear();
    KeReleaseSpinLock(&g_lock, irql);
}

void Fail(ULONG code, NTSTATUS status)
{
    KIRQL irql;
    KeAcquireSpinLock(&g_lock, &irql);
    Failures()[code] = status;
    KeReleaseSpinLock(&g_lock, irql);
}

void ClearFailures()
{
    KIRQL irql;
    KeAcquireSpinLock(&g_lock, &irql);
    Failures().clear();
    KeReleaseSpinLock(&g_lock, irql);
}

void SignalEvents(ULONG events)
{
    KIRQL irql;
    KeAcquireSpinLock(&g_lock, &irql);
    PortState& port = State();
    ULONG matched = events & port.waitMask;
    PIRP wait = nullptr;
    if (matched != 0 && g_wait != nullptr && IoSetCancelRoutine(g_wait, nullptr) != nullptr)
    {
        wait = g_wait;
        g_wait = nullptr;
    }
    else
    {
        port.pendingEvents |= matched;
    }
    KeReleaseSpinLock(&g_lock, irql);
    if (wait != nullptr)
    {
        memcpy(wait->AssociatedIrp.SystemBuffer, &matched, sizeof(matched));
        Complete(wait, STATUS_SUCCESS, sizeof(matched));
    }
}

bool WaitPending()
{
    KIRQL irql;
    KeAcquireSpinLock(&g_lock, &irql);
    bool pending = g_wait != nullptr;
    KeReleaseSpinLock(&g_lock, irql);
    return pending;
}

bool CompleteHeldWrite(NTSTATUS status, ULONG count)
{
    PIRP write = Take(g_write);
    if (write == nullptr)
    {
        return false;
    }
    Complete(write, status, count);
    return true;
}

std::filesystem::path WritePackage(const std::filesystem::path& folder)
{
    std::filesystem::create_directories(folder);
    std::ofstream(folder / "FakeSerial.sys") << "built into the test\n";
    std::filesystem::path inf = folder / "FakeSerial.inf";
    std::ofstream file(inf);
    file << "[Version]\r\n"
            "Signature = \"$WINDOWS NT$\"\r\n"
            "Class = System\r\n"
            "ClassGuid = {4D36E97D-E325-11CE-BFC1-08002BE10318}\r\n"
            "Provider = %Tests%\r\n"
            "DriverVer = 12/08/2026,1.0.0.0\r\n"
            "[DestinationDirs]\r\nDefaultDestDir = 12\r\n"
            "[SourceDisksNames]\r\n1 = %Tests%,,,\"\"\r\n"
            "[SourceDisksFiles]\r\nFakeSerial.sys = 1,,\r\n"
            "[Manufacturer]\r\n%Tests% = Tests,NTamd64\r\n"
            "[Tests.NTamd64]\r\n%Device% = FakeSerial_Install, USB\\VID_1209&PID_5343\r\n"
            "[FakeSerial_Install.NT]\r\nCopyFiles = FakeSerial.Files\r\n"
            "[FakeSerial.Files]\r\nFakeSerial.sys\r\n"
            "[FakeSerial_Install.NT.Services]\r\nAddService = FakeSerial, 0x00000002, FakeSerial_Service\r\n"
            "[FakeSerial_Service]\r\nServiceType = 1\r\nStartType = 3\r\nErrorControl = 1\r\n"
            "ServiceBinary = %12%\\FakeSerial.sys\r\n"
            "[Strings]\r\nTests = \"Tests\"\r\nDevice = \"Fake serial test port\"\r\n";
    return inf;
}

} // namespace fakeserial
