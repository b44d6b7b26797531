#include "LoopbackDriver.h"

#include <string.h>

#include <deque>
#include <fstream>

namespace loopback
{
namespace
{

struct Extension
{
    PDEVICE_OBJECT lower;
    KSPIN_LOCK lock;
};

// The requests waiting in the device, guarded by the extension's lock. One device at a time.
std::deque<PIRP>& Waiting()
{
    static std::deque<PIRP> waiting;
    return waiting;
}

KSPIN_LOCK g_lock = 0;

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

VOID Cancel(PDEVICE_OBJECT, PIRP irp)
{
    KIRQL cancelIrql = irp->CancelIrql;
    IoReleaseCancelSpinLock(cancelIrql);
    KIRQL irql;
    KeAcquireSpinLock(&g_lock, &irql);
    auto& waiting = Waiting();
    for (auto it = waiting.begin(); it != waiting.end(); ++it)
    {
        if (*it == irp)
        {
            waiting.erase(it);
            break;
        }
    }
    KeReleaseSpinLock(&g_lock, irql);
    Complete(irp, STATUS_CANCELLED);
}

NTSTATUS Pend(PIRP irp)
{
    KIRQL irql;
    KeAcquireSpinLock(&g_lock, &irql);
    IoSetCancelRoutine(irp, Cancel);
    if (irp->Cancel && IoSetCancelRoutine(irp, nullptr) != nullptr)
    {
        KeReleaseSpinLock(&g_lock, irql);
        return Complete(irp, STATUS_CANCELLED);
    }
    IoMarkIrpPending(irp);
    Waiting().push_back(irp);
    KeReleaseSpinLock(&g_lock, irql);
    return STATUS_PENDING;
}

// Takes the oldest waiting request that matches, out of the cancel routine's reach; null if none.
template <typename Match>
PIRP TakeWaiting(Match match)
{
    KIRQL irql;
    KeAcquireSpinLock(&g_lock, &irql);
    auto& waiting = Waiting();
    PIRP taken = nullptr;
    for (auto it = waiting.begin(); it != waiting.end(); ++it)
    {
        if (match(*it) && IoSetCancelRoutine(*it, nullptr) != nullptr)
        {
            taken = *it;
            waiting.erase(it);
            break;
        }
    }
    KeReleaseSpinLock(&g_lock, irql);
    return taken;
}

NTSTATUS DispatchCreateClose(PDEVICE_OBJECT, PIRP irp)
{
    return Complete(irp, STATUS_SUCCESS);
}

NTSTATUS DispatchCleanup(PDEVICE_OBJECT, PIRP irp)
{
    PFILE_OBJECT file = IoGetCurrentIrpStackLocation(irp)->FileObject;
    while (PIRP mine = TakeWaiting(
               [file](PIRP waiting) { return IoGetCurrentIrpStackLocation(waiting)->FileObject == file; }))
    {
        Complete(mine, STATUS_CANCELLED);
    }
    return Complete(irp, STATUS_SUCCESS);
}

NTSTATUS DispatchRead(PDEVICE_OBJECT, PIRP irp)
{
    return Pend(irp);
}

NTSTATUS DispatchWrite(PDEVICE_OBJECT, PIRP irp)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    ULONG length = stack->Parameters.Write.Length;
    PIRP read = TakeWaiting(
        [](PIRP waiting) { return IoGetCurrentIrpStackLocation(waiting)->MajorFunction == IRP_MJ_READ; });
    if (read == nullptr)
    {
        return Complete(irp, STATUS_DEVICE_NOT_READY);
    }
    ULONG room = IoGetCurrentIrpStackLocation(read)->Parameters.Read.Length;
    ULONG moved = length < room ? length : room;
    memcpy(read->AssociatedIrp.SystemBuffer, irp->AssociatedIrp.SystemBuffer, moved);
    Complete(read, STATUS_SUCCESS, moved);
    return Complete(irp, STATUS_SUCCESS, length);
}

NTSTATUS DispatchDeviceControl(PDEVICE_OBJECT, PIRP irp)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    ULONG in = stack->Parameters.DeviceIoControl.InputBufferLength;
    ULONG out = stack->Parameters.DeviceIoControl.OutputBufferLength;
    auto* buffer = static_cast<UCHAR*>(irp->AssociatedIrp.SystemBuffer);
    switch (stack->Parameters.DeviceIoControl.IoControlCode)
    {
    case IoctlReverse: {
        ULONG answered = in < out ? in : out;
        for (ULONG i = 0; i < in / 2; ++i)
        {
            UCHAR swap = buffer[i];
            buffer[i] = buffer[in - 1 - i];
            buffer[in - 1 - i] = swap;
        }
        return Complete(irp, answered < in ? STATUS_BUFFER_OVERFLOW : STATUS_SUCCESS, answered);
    }
    case IoctlHold:
        return Pend(irp);
    case IoctlOverreport:
        return Complete(irp, STATUS_SUCCESS, out + 1);
    case IoctlWriteOnly:
        return Complete(irp, STATUS_SUCCESS);
    default:
        return Complete(irp, STATUS_INVALID_DEVICE_REQUEST);
    }
}

std::vector<InformationRequest>& Information()
{
    static std::vector<InformationRequest> requests;
    return requests;
}

NTSTATUS DispatchInformation(PDEVICE_OBJECT, PIRP irp)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    bool query = stack->MajorFunction == IRP_MJ_QUERY_INFORMATION;
    InformationRequest request{stack->MajorFunction,
                               query ? stack->Parameters.QueryFile.FileInformationClass
                                     : stack->Parameters.SetFile.FileInformationClass,
                               query ? stack->Parameters.QueryFile.Length : stack->Parameters.SetFile.Length};
    KIRQL irql;
    KeAcquireSpinLock(&g_lock, &irql);
    Information().push_back(request);
    KeReleaseSpinLock(&g_lock, irql);
    if (!query)
    {
        return Complete(irp, STATUS_SUCCESS);
    }
    if (request.length != 0)
    {
        memset(irp->AssociatedIrp.SystemBuffer, InformationFill, request.length);
    }
    return Complete(irp, STATUS_SUCCESS, request.length);
}

NTSTATUS DispatchPnp(PDEVICE_OBJECT device, PIRP irp)
{
    auto* extension = static_cast<Extension*>(device->DeviceExtension);
    UCHAR minor = IoGetCurrentIrpStackLocation(irp)->MinorFunction;
    PDEVICE_OBJECT lower = extension->lower;
    if (minor == IRP_MN_REMOVE_DEVICE)
    {
        UNICODE_STRING link = Text(L"\\DosDevices\\LOOPBACK");
        IoDeleteSymbolicLink(&link);
        while (PIRP waiting = TakeWaiting([](PIRP) { return true; }))
        {
            Complete(waiting, STATUS_DELETE_PENDING);
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
    UNICODE_STRING name = Text(L"\\Device\\Loopback0");
    PDEVICE_OBJECT device = nullptr;
    NTSTATUS status =
        IoCreateDevice(driver, sizeof(Extension), &name, FILE_DEVICE_UNKNOWN, 0, FALSE, &device);
    if (!NT_SUCCESS(status))
    {
        return status;
    }
    auto* extension = static_cast<Extension*>(device->DeviceExtension);
    extension->lower = IoAttachDeviceToDeviceStack(device, pdo);
    UNICODE_STRING link = Text(L"\\DosDevices\\LOOPBACK");
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
    Information().clear();
    driver->DriverExtension->AddDevice = AddDevice;
    driver->MajorFunction[IRP_MJ_CREATE] = DispatchCreateClose;
    driver->MajorFunction[IRP_MJ_CLOSE] = DispatchCreateClose;
    driver->MajorFunction[IRP_MJ_CLEANUP] = DispatchCleanup;
    driver->MajorFunction[IRP_MJ_READ] = DispatchRead;
    driver->MajorFunction[IRP_MJ_WRITE] = DispatchWrite;
    driver->MajorFunction[IRP_MJ_DEVICE_CONTROL] = DispatchDeviceControl;
    driver->MajorFunction[IRP_MJ_QUERY_INFORMATION] = DispatchInformation;
    driver->MajorFunction[IRP_MJ_SET_INFORMATION] = DispatchInformation;
    driver->MajorFunction[IRP_MJ_PNP] = DispatchPnp;
    return STATUS_SUCCESS;
}

std::vector<InformationRequest> InformationRequests()
{
    KIRQL irql;
    KeAcquireSpinLock(&g_lock, &irql);
    std::vector<InformationRequest> requests = Information();
    KeReleaseSpinLock(&g_lock, irql);
    return requests;
}

void ClearInformationRequests()
{
    KIRQL irql;
    KeAcquireSpinLock(&g_lock, &irql);
    Information().clear();
    KeReleaseSpinLock(&g_lock, irql);
}

size_t PendingRequests()
{
    KIRQL irql;
    KeAcquireSpinLock(&g_lock, &irql);
    size_t count = Waiting().size();
    KeReleaseSpinLock(&g_lock, irql);
    return count;
}

std::filesystem::path WritePackage(const std::filesystem::path& folder)
{
    std::filesystem::create_directories(folder);
    std::ofstream(folder / "Loopback.sys") << "built into the test\n";
    std::filesystem::path inf = folder / "Loopback.inf";
    std::ofstream file(inf);
    file << "[Version]\r\n"
            "Signature = \"$WINDOWS NT$\"\r\n"
            "Class = System\r\n"
            "ClassGuid = {4D36E97D-E325-11CE-BFC1-08002BE10318}\r\n"
            "Provider = %Tests%\r\n"
            "DriverVer = 12/08/2026,1.0.0.0\r\n"
            "[DestinationDirs]\r\nDefaultDestDir = 12\r\n"
            "[SourceDisksNames]\r\n1 = %Tests%,,,\"\"\r\n"
            "[SourceDisksFiles]\r\nLoopback.sys = 1,,\r\n"
            "[Manufacturer]\r\n%Tests% = Tests,NTamd64\r\n"
            "[Tests.NTamd64]\r\n%Device% = Loopback_Install, USB\\VID_1209&PID_4C42\r\n"
            "[Loopback_Install.NT]\r\nCopyFiles = Loopback.Files\r\n"
            "[Loopback.Files]\r\nLoopback.sys\r\n"
            "[Loopback_Install.NT.Services]\r\nAddService = Loopback, 0x00000002, Loopback_Service\r\n"
            "[Loopback_Service]\r\nServiceType = 1\r\nStartType = 3\r\nErrorControl = 1\r\n"
            "ServiceBinary = %12%\\Loopback.sys\r\n"
            "[Strings]\r\nTests = \"Tests\"\r\nDevice = \"Loopback test device\"\r\n";
    return inf;
}

} // namespace loopback
