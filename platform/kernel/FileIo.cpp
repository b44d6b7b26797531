#include "FileIo.h"

#include "Io.h"
#include "Namespace.h"
#include "Objects.h"
#include "Scheduler.h"
#include "System.h"
#include "Thread.h"
#include "Verifier.h"

#include <string.h>

#include <algorithm>

namespace winsim::kernel
{

// One request of user mode in the driver's hands.
struct UserRequest
{
    std::shared_ptr<UserFile> file;
    void* thread = nullptr;             // the thread that issued it
    PIO_STATUS_BLOCK iosb = nullptr;    // the caller's I/O status block
    std::shared_ptr<EventObject> event; // the caller's event, or null
    std::vector<uint8_t> systemBuffer;
    void* output = nullptr; // where the system buffer's result goes
    ULONG outputLength = 0;
    bool advancesPosition = false; // a read or write of a synchronous file moves its position
    PIRP irp = nullptr;
    KEVENT done{};
    IO_STATUS_BLOCK result{};

    ~UserRequest()
    {
        if (irp != nullptr)
        {
            System::Current().Io().FreeSystemIrp(irp);
        }
    }
};

namespace
{

Scheduler& Dispatcher()
{
    return System::Current().GetScheduler();
}

bool HasAccess(const UserFile& file, ACCESS_MASK needed)
{
    return (file.Access() & needed) == needed;
}

// What NtQueryInformationFile or NtSetInformationFile requires of a class: the smallest buffer
// (0: the service does not take the class) and the rights the handle must have (any of them).
struct ClassRule
{
    ULONG minimum;
    ACCESS_MASK access;
};

// The name and link structures end in a one-character name: ULONG (and, for a rename, a BOOLEAN
// and a root handle) before it, padded to the structure's alignment.
constexpr ULONG NameInformationLength = 8;
constexpr ULONG RenameInformationLength = 24;
// FILE_ALL_INFORMATION: basic, standard, internal, EA, access, position, mode, alignment and name.
constexpr ULONG AllInformationLength = 104;

ClassRule QueryRule(FILE_INFORMATION_CLASS infoClass)
{
    switch (infoClass)
    {
    case FileBasicInformation:
        return {sizeof(FILE_BASIC_INFORMATION), FILE_READ_ATTRIBUTES};
    case FileStandardInformation:
        return {sizeof(FILE_STANDARD_INFORMATION), 0};
    case FileInternalInformation:
        return {sizeof(LARGE_INTEGER), 0};
    case FileEaInformation:
    case FileAccessInformation:
    case FileModeInformation:
    case FileAlignmentInformation:
        return {sizeof(ULONG), 0};
    case FileNameInformation:
        return {NameInformationLength, 0};
    case FilePositionInformation:
        return {sizeof(FILE_POSITION_INFORMATION), 0};
    case FileAllInformation:
        return {AllInformationLength, FILE_READ_ATTRIBUTES};
    default:
        return {0, 0};
    }
}

ClassRule SetRule(FILE_INFORMATION_CLASS infoClass)
{
    switch (infoClass)
    {
    case FileBasicInformation:
        return {sizeof(FILE_BASIC_INFORMATION), FILE_WRITE_ATTRIBUTES};
    case FileRenameInformation:
    case FileLinkInformation:
        return {RenameInformationLength, DELETE};
    case FileDispositionInformation:
        return {sizeof(BOOLEAN), DELETE};
    case FilePositionInformation:
        return {sizeof(FILE_POSITION_INFORMATION), FILE_READ_DATA | FILE_WRITE_DATA};
    case FileModeInformation:
        return {sizeof(ULONG), 0};
    case FileAllocationInformation:
        return {sizeof(FILE_ALLOCATION_INFORMATION), FILE_WRITE_DATA};
    case FileEndOfFileInformation:
        return {sizeof(FILE_END_OF_FILE_INFORMATION), FILE_WRITE_DATA};
    default:
        return {0, 0};
    }
}

// The classes past those the headers declare: the simulation has no table of them and lets them
// through to the driver unchecked.
bool Unlisted(FILE_INFORMATION_CLASS infoClass)
{
    return infoClass > FileEndOfFileInformation && infoClass < FileMaximumInformation;
}

// Checks a request against its class's rule: the class, then the length, then the handle's rights.
NTSTATUS CheckInformationRequest(const UserFile& file, FILE_INFORMATION_CLASS infoClass, ULONG length,
                                 ClassRule rule)
{
    if (Unlisted(infoClass))
    {
        return STATUS_SUCCESS;
    }
    if (rule.minimum == 0)
    {
        return STATUS_INVALID_INFO_CLASS;
    }
    if (length < rule.minimum)
    {
        return STATUS_INFO_LENGTH_MISMATCH;
    }
    if (rule.access != 0 && (file.Access() & rule.access) == 0)
    {
        return STATUS_ACCESS_DENIED;
    }
    return STATUS_SUCCESS;
}

// The mode flags an open keeps, and those FileModeInformation may set.
constexpr ULONG SynchronousModes = FILE_SYNCHRONOUS_IO_ALERT | FILE_SYNCHRONOUS_IO_NONALERT;
constexpr ULONG KeptModes = FILE_WRITE_THROUGH | FILE_SEQUENTIAL_ONLY | SynchronousModes;

} // namespace

UserFile::UserFile(std::shared_ptr<OpenFile> open, ACCESS_MASK access, ULONG mode)
    : m_open(std::move(open)), m_access(access), m_synchronous((mode & SynchronousModes) != 0), m_mode(mode)
{
    Dispatcher().InitializeEvent(&m_completion, NotificationEvent, false);
}

UserFile::~UserFile()
{
    // The file object goes when nothing refers to it any more; that may be a request completing at
    // DISPATCH_LEVEL, and IRP_MJ_CLOSE is sent at PASSIVE_LEVEL.
    System* system = System::TryCurrent();
    if (system == nullptr || m_open == nullptr || m_open->fileObject == nullptr)
    {
        return;
    }
    std::shared_ptr<OpenFile> open = m_open;
    if (CurrentIrql() == PASSIVE_LEVEL)
    {
        system->Io().ReleaseFile(open);
    }
    else
    {
        system->GetScheduler().QueueWork([open] { System::Current().Io().ReleaseFile(open); });
    }
}

NTSTATUS FileIo::Create(std::u16string_view name, ACCESS_MASK access, ULONG shareAccess, ULONG disposition,
                        ULONG options, std::shared_ptr<UserFile>* file)
{
    if (disposition != FILE_OPEN && disposition != FILE_OPEN_IF)
    {
        // Devices exist or do not; nothing here creates or replaces one.
        return System::Current().Namespace().Lookup(name) != nullptr ? STATUS_OBJECT_NAME_COLLISION
                                                                     : STATUS_OBJECT_NAME_NOT_FOUND;
    }
    if ((shareAccess & ~FILE_SHARE_VALID_FLAGS) != 0)
    {
        return STATUS_INVALID_PARAMETER;
    }
    // Generic rights become the file rights they stand for.
    ACCESS_MASK granted = access & ~(GENERIC_READ | GENERIC_WRITE | GENERIC_EXECUTE | GENERIC_ALL);
    if (access & GENERIC_READ)
    {
        granted |= FILE_GENERIC_READ;
    }
    if (access & GENERIC_WRITE)
    {
        granted |= FILE_GENERIC_WRITE;
    }
    if (access & GENERIC_ALL)
    {
        granted |= FILE_ALL_ACCESS;
    }
    std::shared_ptr<OpenFile> open;
    NTSTATUS status = System::Current().Io().Open(name, access, shareAccess, &open, options);
    if (!NT_SUCCESS(status))
    {
        return status;
    }
    *file = std::make_shared<UserFile>(std::move(open), granted, options & KeptModes);
    return STATUS_SUCCESS;
}

void FileIo::HandleClosed(const std::shared_ptr<UserFile>& file)
{
    System::Current().Io().Cleanup(file->Open());
}

NTSTATUS FileIo::Start(const std::shared_ptr<UserRequest>& request,
                       const std::function<void(PIRP, PIO_STACK_LOCATION)>& prepare)
{
    IoManager& io = System::Current().Io();
    Scheduler& scheduler = Dispatcher();
    const std::shared_ptr<OpenFile>& open = request->file->Open();
    PDEVICE_OBJECT top = IoManager::TopOfStack(open->namedDevice);
    request->thread = &CurrentThread();
    scheduler.InitializeEvent(&request->done, NotificationEvent, false);
    if (request->event)
    {
        scheduler.ResetEvent(request->event->Event());
    }
    scheduler.ResetEvent(request->file->CompletionEvent());
    request->irp = io.AllocateSystemIrp(top->StackSize, [this, request](PIRP irp) { Finish(request, irp); });
    PIRP irp = request->irp;
    irp->RequestorMode = UserMode;
    irp->Tail.Overlay.OriginalFileObject = open->fileObject;
    irp->Tail.Overlay.Thread = request->thread;
    irp->UserIosb = request->iosb;
    irp->UserEvent = request->event ? request->event->Event() : nullptr;
    irp->AssociatedIrp.SystemBuffer = request->systemBuffer.empty() ? nullptr : request->systemBuffer.data();
    irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
    PIO_STACK_LOCATION stack = IoGetNextIrpStackLocation(irp);
    stack->FileObject = open->fileObject;
    prepare(irp, stack);
    {
        std::lock_guard<std::mutex> guard(m_lock);
        m_pending.push_back(request);
    }
    NTSTATUS returned = io.CallDriver(top, irp);
    if (request->file->Synchronous() || returned != STATUS_PENDING)
    {
        // A synchronous file waits for its request; a request the driver did not pend has been
        // completed already, and the wait ends at once.
        scheduler.WaitForObject(&request->done.Header, std::nullopt);
        return request->result.Status;
    }
    return STATUS_PENDING;
}

void FileIo::Finish(const std::shared_ptr<UserRequest>& request, PIRP irp)
{
    IO_STATUS_BLOCK result{};
    result.Status = irp->IoStatus.Status;
    result.Information = irp->IoStatus.Information;
    if (request->output != nullptr && !NT_ERROR(result.Status))
    {
        if (result.Information > request->outputLength)
        {
            VerifierStop(
                VerifierRule::IrpMisuse,
                "IRP %p was completed with Information %llu, more than the %lu bytes of the caller's "
                "buffer",
                static_cast<void*>(irp), static_cast<unsigned long long>(result.Information),
                static_cast<unsigned long>(request->outputLength));
        }
        if (result.Information != 0)
        {
            memcpy(request->output, request->systemBuffer.data(), result.Information);
        }
    }
    if (request->advancesPosition && NT_SUCCESS(result.Status))
    {
        request->file->Open()->fileObject->CurrentByteOffset.QuadPart +=
            static_cast<LONGLONG>(result.Information);
    }
    request->result = result;
    if (request->iosb != nullptr)
    {
        // The caller may be polling its I/O status block (HasOverlappedIoCompleted): the status goes
        // last, with release order.
        request->iosb->Information = result.Information;
        __atomic_store_n(&request->iosb->Status, result.Status, __ATOMIC_RELEASE);
    }
    Scheduler& scheduler = Dispatcher();
    if (request->event)
    {
        scheduler.SetEvent(request->event->Event());
    }
    scheduler.SetEvent(request->file->CompletionEvent());
    {
        std::lock_guard<std::mutex> guard(m_lock);
        std::erase(m_pending, request);
    }
    scheduler.SetEvent(&request->done);
}

NTSTATUS FileIo::Read(const std::shared_ptr<UserFile>& file, const std::shared_ptr<EventObject>& event,
                      PIO_STATUS_BLOCK iosb, void* buffer, ULONG length, PLARGE_INTEGER byteOffset)
{
    if (!HasAccess(*file, FILE_READ_DATA))
    {
        return STATUS_ACCESS_DENIED;
    }
    auto request = std::make_shared<UserRequest>();
    request->file = file;
    request->iosb = iosb;
    request->event = event;
    request->systemBuffer.resize(length);
    request->output = buffer;
    request->outputLength = length;
    request->advancesPosition = file->Synchronous();
    LARGE_INTEGER offset = byteOffset != nullptr ? *byteOffset : file->Open()->fileObject->CurrentByteOffset;
    return Start(request, [&](PIRP irp, PIO_STACK_LOCATION stack) {
        stack->MajorFunction = IRP_MJ_READ;
        stack->Parameters.Read.Length = length;
        stack->Parameters.Read.ByteOffset = offset;
        irp->UserBuffer = buffer;
        irp->Flags = IRP_BUFFERED_IO | IRP_INPUT_OPERATION;
    });
}

NTSTATUS FileIo::Write(const std::shared_ptr<UserFile>& file, const std::shared_ptr<EventObject>& event,
                       PIO_STATUS_BLOCK iosb, const void* buffer, ULONG length, PLARGE_INTEGER byteOffset)
{
    if (!HasAccess(*file, FILE_WRITE_DATA) && !HasAccess(*file, FILE_APPEND_DATA))
    {
        return STATUS_ACCESS_DENIED;
    }
    auto request = std::make_shared<UserRequest>();
    request->file = file;
    request->iosb = iosb;
    request->event = event;
    request->systemBuffer.assign(static_cast<const uint8_t*>(buffer),
                                 static_cast<const uint8_t*>(buffer) + length);
    request->advancesPosition = file->Synchronous();
    LARGE_INTEGER offset = byteOffset != nullptr ? *byteOffset : file->Open()->fileObject->CurrentByteOffset;
    return Start(request, [&](PIRP irp, PIO_STACK_LOCATION stack) {
        stack->MajorFunction = IRP_MJ_WRITE;
        stack->Parameters.Write.Length = length;
        stack->Parameters.Write.ByteOffset = offset;
        irp->Flags = IRP_BUFFERED_IO;
    });
}

NTSTATUS FileIo::DeviceControl(const std::shared_ptr<UserFile>& file,
                               const std::shared_ptr<EventObject>& event, PIO_STATUS_BLOCK iosb, ULONG code,
                               const void* input, ULONG inputLength, void* output, ULONG outputLength)
{
    // The access bits of the control code name the rights the caller's handle must have.
    ULONG requiredAccess = (code >> 14) & 3;
    if (((requiredAccess & FILE_READ_ACCESS) != 0 && !HasAccess(*file, FILE_READ_DATA)) ||
        ((requiredAccess & FILE_WRITE_ACCESS) != 0 && !HasAccess(*file, FILE_WRITE_DATA)))
    {
        return STATUS_ACCESS_DENIED;
    }
    auto request = std::make_shared<UserRequest>();
    request->file = file;
    request->iosb = iosb;
    request->event = event;
    request->systemBuffer.assign(std::max(inputLength, outputLength), 0);
    if (inputLength != 0)
    {
        memcpy(request->systemBuffer.data(), input, inputLength);
    }
    request->output = outputLength != 0 ? output : nullptr;
    request->outputLength = outputLength;
    return Start(request, [&](PIRP irp, PIO_STACK_LOCATION stack) {
        stack->MajorFunction = IRP_MJ_DEVICE_CONTROL;
        stack->Parameters.DeviceIoControl.IoControlCode = code;
        stack->Parameters.DeviceIoControl.InputBufferLength = inputLength;
        stack->Parameters.DeviceIoControl.OutputBufferLength = outputLength;
        irp->UserBuffer = output;
        irp->Flags = IRP_BUFFERED_IO | (outputLength != 0 ? IRP_INPUT_OPERATION : 0);
    });
}

NTSTATUS FileIo::Flush(const std::shared_ptr<UserFile>& file, PIO_STATUS_BLOCK iosb)
{
    if (!HasAccess(*file, FILE_WRITE_DATA) && !HasAccess(*file, FILE_APPEND_DATA))
    {
        return STATUS_ACCESS_DENIED;
    }
    auto request = std::make_shared<UserRequest>();
    request->file = file;
    request->iosb = iosb;
    NTSTATUS status =
        Start(request, [](PIRP, PIO_STACK_LOCATION stack) { stack->MajorFunction = IRP_MJ_FLUSH_BUFFERS; });
    if (status == STATUS_PENDING)
    {
        // A flush returns when the buffers are out, whatever the file's mode.
        Dispatcher().WaitForObject(&request->done.Header, std::nullopt);
        status = request->result.Status;
    }
    return status;
}

NTSTATUS FileIo::QueryInformation(const std::shared_ptr<UserFile>& file, PIO_STATUS_BLOCK iosb, void* buffer,
                                  ULONG length, FILE_INFORMATION_CLASS infoClass)
{
    NTSTATUS status = CheckInformationRequest(*file, infoClass, length, QueryRule(infoClass));
    if (!NT_SUCCESS(status))
    {
        return status;
    }
    auto answer = [&](const void* data, ULONG size) {
        memcpy(buffer, data, size);
        iosb->Information = size;
        iosb->Status = STATUS_SUCCESS;
        return STATUS_SUCCESS;
    };
    switch (infoClass)
    {
    case FilePositionInformation:
        // The I/O manager keeps the position of a synchronous file only; for any other the driver
        // answers.
        if (file->Synchronous())
        {
            FILE_POSITION_INFORMATION position{file->Open()->fileObject->CurrentByteOffset};
            return answer(&position, sizeof(position));
        }
        break;
    case FileModeInformation: {
        ULONG mode = file->Mode();
        return answer(&mode, sizeof(mode));
    }
    case FileAccessInformation: {
        ULONG access = file->Access();
        return answer(&access, sizeof(access));
    }
    case FileAlignmentInformation: {
        // No device of the machine asks for aligned buffers: FILE_BYTE_ALIGNMENT.
        ULONG alignment = 0;
        return answer(&alignment, sizeof(alignment));
    }
    default:
        break;
    }
    auto request = std::make_shared<UserRequest>();
    request->file = file;
    request->iosb = iosb;
    request->systemBuffer.resize(length);
    request->output = buffer;
    request->outputLength = length;
    status = Start(request, [&](PIRP irp, PIO_STACK_LOCATION stack) {
        stack->MajorFunction = IRP_MJ_QUERY_INFORMATION;
        stack->Parameters.QueryFile.Length = length;
        stack->Parameters.QueryFile.FileInformationClass = infoClass;
        irp->Flags = IRP_BUFFERED_IO | IRP_INPUT_OPERATION;
    });
    if (status == STATUS_PENDING)
    {
        Dispatcher().WaitForObject(&request->done.Header, std::nullopt);
        status = request->result.Status;
    }
    return status;
}

NTSTATUS FileIo::SetInformation(const std::shared_ptr<UserFile>& file, PIO_STATUS_BLOCK iosb,
                                const void* buffer, ULONG length, FILE_INFORMATION_CLASS infoClass)
{
    NTSTATUS status = CheckInformationRequest(*file, infoClass, length, SetRule(infoClass));
    if (!NT_SUCCESS(status))
    {
        return status;
    }
    auto done = [&](NTSTATUS result) {
        if (NT_SUCCESS(result))
        {
            iosb->Information = 0;
            iosb->Status = result;
        }
        return result;
    };
    switch (infoClass)
    {
    case FilePositionInformation:
        if (file->Synchronous())
        {
            FILE_POSITION_INFORMATION position;
            memcpy(&position, buffer, sizeof(position));
            if (position.CurrentByteOffset.QuadPart < 0)
            {
                return STATUS_INVALID_PARAMETER;
            }
            file->Open()->fileObject->CurrentByteOffset = position.CurrentByteOffset;
            return done(STATUS_SUCCESS);
        }
        break;
    case FileModeInformation: {
        // Write-through and sequential access may change; synchronous I/O stays as the file was
        // opened, and only one kind of it at a time.
        ULONG mode;
        memcpy(&mode, buffer, sizeof(mode));
        ULONG synchronous = mode & SynchronousModes;
        if ((mode & ~KeptModes) != 0 || synchronous == SynchronousModes ||
            (synchronous != 0) != file->Synchronous())
        {
            return STATUS_INVALID_PARAMETER;
        }
        file->SetMode(mode);
        return done(STATUS_SUCCESS);
    }
    default:
        break;
    }
    auto request = std::make_shared<UserRequest>();
    request->file = file;
    request->iosb = iosb;
    request->systemBuffer.assign(static_cast<const uint8_t*>(buffer),
                                 static_cast<const uint8_t*>(buffer) + length);
    status = Start(request, [&](PIRP irp, PIO_STACK_LOCATION stack) {
        stack->MajorFunction = IRP_MJ_SET_INFORMATION;
        stack->Parameters.SetFile.Length = length;
        stack->Parameters.SetFile.FileInformationClass = infoClass;
        irp->Flags = IRP_BUFFERED_IO;
    });
    if (status == STATUS_PENDING)
    {
        Dispatcher().WaitForObject(&request->done.Header, std::nullopt);
        status = request->result.Status;
    }
    return status;
}

void FileIo::CancelAndWait(const std::vector<std::shared_ptr<UserRequest>>& requests)
{
    for (const auto& request : requests)
    {
        IoCancelIrp(request->irp);
    }
    for (const auto& request : requests)
    {
        Dispatcher().WaitForObject(&request->done.Header, std::nullopt);
    }
}

NTSTATUS FileIo::CancelThreadRequests(const std::shared_ptr<UserFile>& file)
{
    std::vector<std::shared_ptr<UserRequest>> mine;
    void* thread = &CurrentThread();
    {
        std::lock_guard<std::mutex> guard(m_lock);
        for (const auto& request : m_pending)
        {
            if (request->file == file && request->thread == thread)
            {
                mine.push_back(request);
            }
        }
    }
    CancelAndWait(mine);
    return STATUS_SUCCESS;
}

NTSTATUS FileIo::CancelRequests(const std::shared_ptr<UserFile>& file, PIO_STATUS_BLOCK which)
{
    std::vector<std::shared_ptr<UserRequest>> chosen;
    {
        std::lock_guard<std::mutex> guard(m_lock);
        for (const auto& request : m_pending)
        {
            if (request->file == file && (which == nullptr || request->iosb == which))
            {
                chosen.push_back(request);
            }
        }
    }
    if (chosen.empty())
    {
        return STATUS_NOT_FOUND;
    }
    for (const auto& request : chosen)
    {
        IoCancelIrp(request->irp);
    }
    return STATUS_SUCCESS;
}

void FileIo::ThreadEnded(void* thread)
{
    std::vector<std::shared_ptr<UserRequest>> theirs;
    {
        std::lock_guard<std::mutex> guard(m_lock);
        for (const auto& request : m_pending)
        {
            if (request->thread == thread)
            {
                theirs.push_back(request);
            }
        }
    }
    CancelAndWait(theirs);
}

} // namespace winsim::kernel
