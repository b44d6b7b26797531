#include "Syscalls.h"

#include "Atoms.h"
#include "DebugOutput.h"
#include "FileIo.h"
#include "Namespace.h"
#include "Objects.h"
#include "Pnp.h"
#include "Process.h"
#include "Scheduler.h"
#include "SharedState.h"
#include "System.h"
#include "Thread.h"
#include "Tracing.h"

#include "base/unicode.h"

#include <string.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <typeinfo>

namespace winsim::kernel
{
namespace
{

using syscall::OBJECT_DIRECTORY_INFORMATION;

System& Kernel()
{
    return System::Current();
}

HandleTable& Handles()
{
    return Kernel().Process().Handles();
}

std::u16string TextOf(PCUNICODE_STRING text)
{
    if (text == nullptr || text->Buffer == nullptr)
    {
        return std::u16string();
    }
    return std::u16string(reinterpret_cast<const char16_t*>(text->Buffer), text->Length / sizeof(WCHAR));
}

// The object a handle of the calling process refers to, as the type the service needs.
template <typename T>
NTSTATUS Reference(HANDLE handle, std::shared_ptr<T>* object)
{
    std::shared_ptr<KernelObject> found = Handles().Lookup(handle);
    if (found == nullptr)
    {
        return STATUS_INVALID_HANDLE;
    }
    if (typeid(*found) != typeid(T))
    {
        return STATUS_OBJECT_TYPE_MISMATCH;
    }
    *object = std::static_pointer_cast<T>(std::move(found));
    return STATUS_SUCCESS;
}

// The full object name of a call's object attributes: relative to a directory handle, or absolute.
NTSTATUS NameOf(POBJECT_ATTRIBUTES attributes, std::u16string* name)
{
    if (attributes == nullptr || attributes->ObjectName == nullptr)
    {
        return STATUS_INVALID_PARAMETER;
    }
    std::u16string text = TextOf(attributes->ObjectName);
    if (attributes->RootDirectory != nullptr)
    {
        std::shared_ptr<DirectoryObject> directory;
        NTSTATUS status = Reference(attributes->RootDirectory, &directory);
        if (!NT_SUCCESS(status))
        {
            return status;
        }
        if (text.empty() || text[0] == u'\\')
        {
            return STATUS_OBJECT_NAME_INVALID;
        }
        text = directory->Path() + u"\\" + text;
    }
    else if (text.empty() || text[0] != u'\\')
    {
        return STATUS_OBJECT_PATH_SYNTAX_BAD;
    }
    *name = std::move(text);
    return STATUS_SUCCESS;
}

std::optional<ULONGLONG> DeadlineOf(PLARGE_INTEGER timeout)
{
    if (timeout == nullptr)
    {
        return std::nullopt;
    }
    return Kernel().GetScheduler().DeadlineFromTimeout(timeout->QuadPart);
}

NTSTATUS Publish(const std::shared_ptr<KernelObject>& object, PHANDLE handle)
{
    *handle = Handles().Insert(object);
    return STATUS_SUCCESS;
}

// Creates a named or unnamed event or mutant, or opens the one already under that name.
// STATUS_OBJECT_NAME_EXISTS (a success) tells the caller the name was taken.
template <typename T>
NTSTATUS CreateNamed(
    POBJECT_ATTRIBUTES attributes, PHANDLE handle,
    const std::function<NTSTATUS(const std::u16string& name, std::shared_ptr<T>*, bool* existed)>& make)
{
    std::u16string name;
    if (attributes != nullptr && attributes->ObjectName != nullptr && attributes->ObjectName->Length != 0)
    {
        NTSTATUS status = NameOf(attributes, &name);
        if (!NT_SUCCESS(status))
        {
            return status;
        }
    }
    ObjectNamespace& names = Kernel().Namespace();
    for (;;)
    {
        if (!name.empty())
        {
            if (std::shared_ptr<KernelObject> existing = names.FindObject(name))
            {
                auto typed = std::dynamic_pointer_cast<T>(existing);
                if (typed == nullptr)
                {
                    return STATUS_OBJECT_TYPE_MISMATCH;
                }
                if (attributes->Attributes & OBJ_EXCLUSIVE)
                {
                    return STATUS_OBJECT_NAME_COLLISION;
                }
                Publish(typed, handle);
                return STATUS_OBJECT_NAME_EXISTS;
            }
        }
        std::shared_ptr<T> object;
        bool existed = false;
        NTSTATUS status = make(name, &object, &existed);
        if (!NT_SUCCESS(status))
        {
            return status;
        }
        if (!name.empty())
        {
            status = names.InsertObject(name, object);
            if (status == STATUS_OBJECT_NAME_COLLISION)
            {
                continue; // another thread created it meanwhile: open that one
            }
            if (!NT_SUCCESS(status))
            {
                return status;
            }
        }
        Publish(object, handle);
        return existed ? STATUS_OBJECT_NAME_EXISTS : STATUS_SUCCESS;
    }
}

template <typename T>
NTSTATUS OpenNamed(POBJECT_ATTRIBUTES attributes, PHANDLE handle)
{
    std::u16string name;
    NTSTATUS status = NameOf(attributes, &name);
    if (!NT_SUCCESS(status))
    {
        return status;
    }
    std::shared_ptr<KernelObject> existing = Kernel().Namespace().FindObject(name);
    if (existing == nullptr)
    {
        return ObjectNamespace::IsDirectory(name.substr(0, name.find_last_of(u'\\')))
                   ? STATUS_OBJECT_NAME_NOT_FOUND
                   : STATUS_OBJECT_PATH_NOT_FOUND;
    }
    auto typed = std::dynamic_pointer_cast<T>(existing);
    if (typed == nullptr)
    {
        return STATUS_OBJECT_TYPE_MISMATCH;
    }
    return Publish(typed, handle);
}

// The file and the event (none, or an event) of an I/O request. Completion routines (ReadFileEx
// and the like) are not delivered here.
NTSTATUS RequestTargets(HANDLE fileHandle, HANDLE eventHandle, PIO_APC_ROUTINE apcRoutine,
                        std::shared_ptr<UserFile>* file, std::shared_ptr<EventObject>* event)
{
    NTSTATUS status = Reference(fileHandle, file);
    if (NT_SUCCESS(status) && eventHandle != nullptr)
    {
        status = Reference(eventHandle, event);
    }
    if (NT_SUCCESS(status) && apcRoutine != nullptr)
    {
        status = STATUS_NOT_SUPPORTED;
    }
    return status;
}

// --- files and devices ---------------------------------------------------------------------------

NTSTATUS NTAPI NtCreateFile(PHANDLE FileHandle, ACCESS_MASK DesiredAccess,
                            POBJECT_ATTRIBUTES ObjectAttributes, PIO_STATUS_BLOCK IoStatusBlock,
                            PLARGE_INTEGER, ULONG, ULONG ShareAccess, ULONG CreateDisposition,
                            ULONG CreateOptions, PVOID, ULONG)
{
    RequireIrqlAtMost(PASSIVE_LEVEL, "NtCreateFile");
    std::u16string name;
    NTSTATUS status = NameOf(ObjectAttributes, &name);
    if (!NT_SUCCESS(status))
    {
        return status;
    }
    std::shared_ptr<UserFile> file;
    status =
        Kernel().Files().Create(name, DesiredAccess, ShareAccess, CreateDisposition, CreateOptions, &file);
    if (!NT_SUCCESS(status))
    {
        return status;
    }
    IoStatusBlock->Status = STATUS_SUCCESS;
    IoStatusBlock->Information = FILE_OPENED;
    return Publish(file, FileHandle);
}

NTSTATUS NTAPI NtReadFile(HANDLE FileHandle, HANDLE Event, PIO_APC_ROUTINE ApcRoutine, PVOID,
                          PIO_STATUS_BLOCK IoStatusBlock, PVOID Buffer, ULONG Length,
                          PLARGE_INTEGER ByteOffset, PULONG)
{
    std::shared_ptr<UserFile> file;
    std::shared_ptr<EventObject> event;
    NTSTATUS status = RequestTargets(FileHandle, Event, ApcRoutine, &file, &event);
    if (!NT_SUCCESS(status))
    {
        return status;
    }
    return Kernel().Files().Read(file, event, IoStatusBlock, Buffer, Length, ByteOffset);
}

NTSTATUS NTAPI NtWriteFile(HANDLE FileHandle, HANDLE Event, PIO_APC_ROUTINE ApcRoutine, PVOID,
                           PIO_STATUS_BLOCK IoStatusBlock, PVOID Buffer, ULONG Length,
                           PLARGE_INTEGER ByteOffset, PULONG)
{
    std::shared_ptr<UserFile> file;
    std::shared_ptr<EventObject> event;
    NTSTATUS status = RequestTargets(FileHandle, Event, ApcRoutine, &file, &event);
    if (!NT_SUCCESS(status))
    {
        return status;
    }
    return Kernel().Files().Write(file, event, IoStatusBlock, Buffer, Length, ByteOffset);
}

NTSTATUS NTAPI NtDeviceIoControlFile(HANDLE FileHandle, HANDLE Event, PIO_APC_ROUTINE ApcRoutine, PVOID,
                                     PIO_STATUS_BLOCK IoStatusBlock, ULONG IoControlCode, PVOID InputBuffer,
                                     ULONG InputBufferLength, PVOID OutputBuffer, ULONG OutputBufferLength)
{
    std::shared_ptr<UserFile> file;
    std::shared_ptr<EventObject> event;
    NTSTATUS status = RequestTargets(FileHandle, Event, ApcRoutine, &file, &event);
    if (!NT_SUCCESS(status))
    {
        return status;
    }
    return Kernel().Files().DeviceControl(file, event, IoStatusBlock, IoControlCode, InputBuffer,
                                          InputBufferLength, OutputBuffer, OutputBufferLength);
}

NTSTATUS NTAPI NtFlushBuffersFile(HANDLE FileHandle, PIO_STATUS_BLOCK IoStatusBlock)
{
    std::shared_ptr<UserFile> file;
    NTSTATUS status = Reference(FileHandle, &file);
    return NT_SUCCESS(status) ? Kernel().Files().Flush(file, IoStatusBlock) : status;
}

NTSTATUS NTAPI NtCancelIoFile(HANDLE FileHandle, PIO_STATUS_BLOCK IoStatusBlock)
{
    std::shared_ptr<UserFile> file;
    NTSTATUS status = Reference(FileHandle, &file);
    if (NT_SUCCESS(status))
    {
        status = Kernel().Files().CancelThreadRequests(file);
        IoStatusBlock->Status = status;
        IoStatusBlock->Information = 0;
    }
    return status;
}

NTSTATUS NTAPI NtCancelIoFileEx(HANDLE FileHandle, PIO_STATUS_BLOCK IoRequestToCancel,
                                PIO_STATUS_BLOCK IoStatusBlock)
{
    std::shared_ptr<UserFile> file;
    NTSTATUS status = Reference(FileHandle, &file);
    if (NT_SUCCESS(status))
    {
        status = Kernel().Files().CancelRequests(file, IoRequestToCancel);
        IoStatusBlock->Status = status;
        IoStatusBlock->Information = 0;
    }
    return status;
}

NTSTATUS NTAPI NtQueryInformationFile(HANDLE FileHandle, PIO_STATUS_BLOCK IoStatusBlock,
                                      PVOID FileInformation, ULONG Length,
                                      FILE_INFORMATION_CLASS FileInformationClass)
{
    std::shared_ptr<UserFile> file;
    NTSTATUS status = Reference(FileHandle, &file);
    return NT_SUCCESS(status) ? Kernel().Files().QueryInformation(file, IoStatusBlock, FileInformation,
                                                                  Length, FileInformationClass)
                              : status;
}

NTSTATUS NTAPI NtSetInformationFile(HANDLE FileHandle, PIO_STATUS_BLOCK IoStatusBlock, PVOID FileInformation,
                                    ULONG Length, FILE_INFORMATION_CLASS FileInformationClass)
{
    std::shared_ptr<UserFile> file;
    NTSTATUS status = Reference(FileHandle, &file);
    return NT_SUCCESS(status) ? Kernel().Files().SetInformation(file, IoStatusBlock, FileInformation, Length,
                                                                FileInformationClass)
                              : status;
}

// --- handles and dispatcher objects --------------------------------------------------------------

NTSTATUS NTAPI NtClose(HANDLE Handle)
{
    return Kernel().Process().CloseHandle(Handle);
}

NTSTATUS NTAPI NtCreateEvent(PHANDLE EventHandle, ACCESS_MASK, POBJECT_ATTRIBUTES ObjectAttributes,
                             EVENT_TYPE EventType, BOOLEAN InitialState)
{
    if (EventType != NotificationEvent && EventType != SynchronizationEvent)
    {
        return STATUS_INVALID_PARAMETER;
    }
    return CreateNamed<EventObject>(ObjectAttributes, EventHandle,
                                    [&](const std::u16string&, std::shared_ptr<EventObject>* event, bool*) {
                                        *event =
                                            std::make_shared<EventObject>(EventType, InitialState != FALSE);
                                        return STATUS_SUCCESS;
                                    });
}

NTSTATUS NTAPI NtOpenEvent(PHANDLE EventHandle, ACCESS_MASK, POBJECT_ATTRIBUTES ObjectAttributes)
{
    return OpenNamed<EventObject>(ObjectAttributes, EventHandle);
}

NTSTATUS NTAPI NtSetEvent(HANDLE EventHandle, PLONG PreviousState)
{
    std::shared_ptr<EventObject> event;
    NTSTATUS status = Reference(EventHandle, &event);
    if (NT_SUCCESS(status))
    {
        LONG previous = Kernel().GetScheduler().SetEvent(event->Event());
        if (PreviousState != nullptr)
        {
            *PreviousState = previous;
        }
    }
    return status;
}

NTSTATUS NTAPI NtResetEvent(HANDLE EventHandle, PLONG PreviousState)
{
    std::shared_ptr<EventObject> event;
    NTSTATUS status = Reference(EventHandle, &event);
    if (NT_SUCCESS(status))
    {
        LONG previous = Kernel().GetScheduler().ResetEvent(event->Event());
        if (PreviousState != nullptr)
        {
            *PreviousState = previous;
        }
    }
    return status;
}

NTSTATUS NTAPI NtCreateMutant(PHANDLE MutantHandle, ACCESS_MASK, POBJECT_ATTRIBUTES ObjectAttributes,
                              BOOLEAN InitialOwner)
{
    const std::string& machine = Kernel().Config().machineDirectory;
    return CreateNamed<MutantObject>(
        ObjectAttributes, MutantHandle,
        [&](const std::u16string& name, std::shared_ptr<MutantObject>* mutant, bool* existed) {
            std::unique_ptr<SharedMutex> shared;
            if (!name.empty() && !machine.empty())
            {
                NTSTATUS status = STATUS_SUCCESS;
                shared = SharedMutex::Open(machine, name, existed, &status);
                if (shared == nullptr)
                {
                    return status;
                }
            }
            // Opening a mutant that exists elsewhere never takes it.
            *mutant = std::make_shared<MutantObject>(InitialOwner != FALSE && !*existed, std::move(shared));
            return STATUS_SUCCESS;
        });
}

NTSTATUS NTAPI NtOpenMutant(PHANDLE MutantHandle, ACCESS_MASK, POBJECT_ATTRIBUTES ObjectAttributes)
{
    return OpenNamed<MutantObject>(ObjectAttributes, MutantHandle);
}

NTSTATUS NTAPI NtReleaseMutant(HANDLE MutantHandle, PLONG PreviousCount)
{
    std::shared_ptr<MutantObject> mutant;
    NTSTATUS status = Reference(MutantHandle, &mutant);
    return NT_SUCCESS(status) ? mutant->Release(PreviousCount) : status;
}

NTSTATUS NTAPI NtWaitForMultipleObjects(ULONG Count, HANDLE* Handles, WAIT_TYPE WaitType, BOOLEAN,
                                        PLARGE_INTEGER Timeout)
{
    RequireIrqlAtMost(PASSIVE_LEVEL, "NtWaitForMultipleObjects");
    if (Count == 0 || Count > 64 || (WaitType != WaitAll && WaitType != WaitAny))
    {
        return STATUS_INVALID_PARAMETER;
    }
    std::shared_ptr<KernelObject> held[64];
    KernelObject* objects[64];
    for (ULONG i = 0; i < Count; ++i)
    {
        held[i] = ::winsim::kernel::Handles().Lookup(Handles[i]);
        if (held[i] == nullptr)
        {
            return STATUS_INVALID_HANDLE;
        }
        objects[i] = held[i].get();
        // A wait for all names each object once.
        for (ULONG j = 0; j < i; ++j)
        {
            if (WaitType == WaitAll && objects[j] == objects[i])
            {
                return STATUS_INVALID_PARAMETER_MIX;
            }
        }
    }
    return WaitForObjects(objects, Count, WaitType, DeadlineOf(Timeout));
}

NTSTATUS NTAPI NtWaitForSingleObject(HANDLE Handle, BOOLEAN, PLARGE_INTEGER Timeout)
{
    RequireIrqlAtMost(PASSIVE_LEVEL, "NtWaitForSingleObject");
    std::shared_ptr<KernelObject> object = Handles().Lookup(Handle);
    if (object == nullptr)
    {
        return STATUS_INVALID_HANDLE;
    }
    KernelObject* one = object.get();
    return WaitForObjects(&one, 1, WaitAny, DeadlineOf(Timeout));
}

NTSTATUS NTAPI NtDelayExecution(BOOLEAN, PLARGE_INTEGER DelayInterval)
{
    RequireIrqlAtMost(PASSIVE_LEVEL, "NtDelayExecution");
    Scheduler& scheduler = Kernel().GetScheduler();
    scheduler.DelayUntil(scheduler.DeadlineFromTimeout(DelayInterval->QuadPart));
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI NtQuerySystemTime(PLARGE_INTEGER SystemTime)
{
    SystemTime->QuadPart = Kernel().GetScheduler().SystemTime();
    return STATUS_SUCCESS;
}

// --- threads -------------------------------------------------------------------------------------

NTSTATUS QueryChildThread(HANDLE handle, PVOID information, PULONG returnLength);

// The thread a handle names: *thread gets the object, or null for the pseudo-handle of a calling
// thread that was not created by CreateThread.
NTSTATUS ReferenceThread(HANDLE handle, std::shared_ptr<ThreadObject>* thread)
{
    if (handle == syscall::CurrentThreadHandle())
    {
        ThreadObject* self = CurrentThread().object;
        *thread = self != nullptr ? Kernel().Process().Thread(self->Id()) : nullptr;
        return STATUS_SUCCESS;
    }
    return Reference(handle, thread);
}

NTSTATUS NTAPI NtTerminateThread(HANDLE ThreadHandle, NTSTATUS ExitStatus)
{
    std::shared_ptr<ThreadObject> thread;
    NTSTATUS status = ReferenceThread(ThreadHandle, &thread);
    if (!NT_SUCCESS(status))
    {
        return status;
    }
    if (thread == nullptr || thread.get() == CurrentThread().object)
    {
        Kernel().Process().ThreadEnded(&CurrentThread(), ExitStatus);
        return STATUS_SUCCESS;
    }
    return Kernel().Process().TerminateOther(*thread, ExitStatus);
}

NTSTATUS NTAPI CreateUserThread(PHANDLE ThreadHandle, BOOLEAN CreateSuspended, PULONG ThreadId)
{
    RequireIrqlAtMost(PASSIVE_LEVEL, "CreateUserThread");
    std::shared_ptr<ThreadObject> thread;
    NTSTATUS status = Kernel().Process().CreateThread(CreateSuspended != FALSE, &thread);
    if (!NT_SUCCESS(status))
    {
        return status;
    }
    *ThreadId = thread->Id();
    return Publish(thread, ThreadHandle);
}

NTSTATUS NTAPI StartUserThread(ULONG ThreadId)
{
    RequireIrqlAtMost(PASSIVE_LEVEL, "StartUserThread");
    return Kernel().Process().StartThread(ThreadId);
}

NTSTATUS NTAPI NtSuspendThread(HANDLE ThreadHandle, PULONG PreviousSuspendCount)
{
    std::shared_ptr<ThreadObject> thread;
    NTSTATUS status = ReferenceThread(ThreadHandle, &thread);
    if (!NT_SUCCESS(status))
    {
        return status;
    }
    if (thread == nullptr)
    {
        return STATUS_NOT_SUPPORTED; // the caller runs
    }
    ULONG previous = 0;
    status = Kernel().Process().SuspendThread(*thread, &previous);
    if (NT_SUCCESS(status) && PreviousSuspendCount != nullptr)
    {
        *PreviousSuspendCount = previous;
    }
    return status;
}

NTSTATUS NTAPI NtResumeThread(HANDLE ThreadHandle, PULONG PreviousSuspendCount)
{
    std::shared_ptr<ThreadObject> thread;
    NTSTATUS status = ReferenceThread(ThreadHandle, &thread);
    if (!NT_SUCCESS(status))
    {
        return status;
    }
    ULONG previous = 0;
    if (thread != nullptr)
    {
        status = Kernel().Process().ResumeThread(*thread, &previous);
    }
    if (NT_SUCCESS(status) && PreviousSuspendCount != nullptr)
    {
        *PreviousSuspendCount = previous;
    }
    return status;
}

NTSTATUS NTAPI NtQueryInformationThread(HANDLE ThreadHandle, ULONG ThreadInformationClass,
                                        PVOID ThreadInformation, ULONG ThreadInformationLength,
                                        PULONG ReturnLength)
{
    using syscall::THREAD_BASIC_INFORMATION;
    if (ThreadInformationClass != syscall::ThreadBasicInformation)
    {
        return STATUS_INVALID_INFO_CLASS;
    }
    if (ThreadInformationLength != sizeof(THREAD_BASIC_INFORMATION))
    {
        return STATUS_INFO_LENGTH_MISMATCH;
    }
    std::shared_ptr<ThreadObject> thread;
    NTSTATUS status = ReferenceThread(ThreadHandle, &thread);
    if (status == STATUS_OBJECT_TYPE_MISMATCH)
    {
        return QueryChildThread(ThreadHandle, ThreadInformation, ReturnLength);
    }
    if (!NT_SUCCESS(status))
    {
        return status;
    }
    THREAD_BASIC_INFORMATION info{};
    info.ExitStatus = thread != nullptr ? thread->ExitStatus() : STATUS_PENDING;
    info.ClientId.UniqueProcess = reinterpret_cast<HANDLE>(static_cast<ULONG_PTR>(Kernel().Process().Id()));
    // A thread the process did not create goes by its host id, as GetCurrentThreadId reports it.
    ULONG id = thread != nullptr ? thread->Id() : static_cast<ULONG>(::syscall(SYS_gettid));
    info.ClientId.UniqueThread = reinterpret_cast<HANDLE>(static_cast<ULONG_PTR>(id));
    info.AffinityMask = 1;
    info.Priority = info.BasePriority = 8; // THREAD_PRIORITY_NORMAL in a normal-priority process
    memcpy(ThreadInformation, &info, sizeof(info));
    if (ReturnLength != nullptr)
    {
        *ReturnLength = sizeof(info);
    }
    return STATUS_SUCCESS;
}

// --- object namespace ----------------------------------------------------------------------------

NTSTATUS NTAPI NtCreateSymbolicLinkObject(PHANDLE LinkHandle, ACCESS_MASK,
                                          POBJECT_ATTRIBUTES ObjectAttributes, PUNICODE_STRING LinkTarget)
{
    std::u16string name;
    NTSTATUS status = NameOf(ObjectAttributes, &name);
    if (!NT_SUCCESS(status))
    {
        return status;
    }
    if (LinkTarget == nullptr || LinkTarget->Length == 0)
    {
        return STATUS_INVALID_PARAMETER;
    }
    // A DOS device name user mode defines is its logon session's.
    name = ObjectNamespace::UserCreatedLinkName(name);
    if (!ObjectNamespace::IsDirectory(name.substr(0, name.find_last_of(u'\\'))))
    {
        return STATUS_OBJECT_PATH_NOT_FOUND;
    }
    if (Kernel().Namespace().DosNameDenied(name))
    {
        return STATUS_ACCESS_DENIED;
    }
    status = Kernel().Namespace().CreateLink(name, TextOf(LinkTarget));
    if (!NT_SUCCESS(status))
    {
        return status;
    }
    bool permanent = (ObjectAttributes->Attributes & OBJ_PERMANENT) != 0;
    return Publish(std::make_shared<SymbolicLinkObject>(name, !permanent), LinkHandle);
}

NTSTATUS NTAPI NtOpenSymbolicLinkObject(PHANDLE LinkHandle, ACCESS_MASK, POBJECT_ATTRIBUTES ObjectAttributes)
{
    std::u16string name;
    NTSTATUS status = NameOf(ObjectAttributes, &name);
    if (!NT_SUCCESS(status))
    {
        return status;
    }
    // The logon session's link of a DOS device name hides the global one.
    std::u16string canonical = ObjectNamespace::CanonicalLinkName(Kernel().Namespace().UserLinkName(name));
    if (!Kernel().Namespace().LinkTarget(canonical))
    {
        return ObjectNamespace::IsDirectory(canonical.substr(0, canonical.find_last_of(u'\\')))
                   ? STATUS_OBJECT_NAME_NOT_FOUND
                   : STATUS_OBJECT_PATH_NOT_FOUND;
    }
    return Publish(std::make_shared<SymbolicLinkObject>(canonical, false), LinkHandle);
}

NTSTATUS NTAPI NtQuerySymbolicLinkObject(HANDLE LinkHandle, PUNICODE_STRING LinkTarget, PULONG ReturnedLength)
{
    std::shared_ptr<SymbolicLinkObject> link;
    NTSTATUS status = Reference(LinkHandle, &link);
    if (!NT_SUCCESS(status))
    {
        return status;
    }
    std::optional<std::u16string> target = Kernel().Namespace().LinkTarget(link->Name());
    if (!target)
    {
        return STATUS_OBJECT_NAME_NOT_FOUND; // deleted since it was opened
    }
    ULONG bytes = static_cast<ULONG>(target->size() * sizeof(WCHAR));
    // The target comes with a terminating NUL when there is room for one, and that counts.
    bool terminated = LinkTarget->MaximumLength >= bytes + sizeof(WCHAR);
    if (ReturnedLength != nullptr)
    {
        *ReturnedLength = bytes + (terminated || LinkTarget->MaximumLength < bytes ? sizeof(WCHAR) : 0);
    }
    if (LinkTarget->MaximumLength < bytes)
    {
        return STATUS_BUFFER_TOO_SMALL;
    }
    memcpy(LinkTarget->Buffer, target->data(), bytes);
    LinkTarget->Length = static_cast<USHORT>(bytes);
    if (terminated)
    {
        LinkTarget->Buffer[target->size()] = 0;
    }
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI NtMakeTemporaryObject(HANDLE Handle)
{
    std::shared_ptr<SymbolicLinkObject> link;
    NTSTATUS status = Reference(Handle, &link);
    if (NT_SUCCESS(status) && Kernel().Namespace().DosNameDenied(link->Name()))
    {
        status = STATUS_ACCESS_DENIED;
    }
    if (NT_SUCCESS(status))
    {
        link->MakeTemporary();
    }
    return status;
}

NTSTATUS NTAPI NtOpenDirectoryObject(PHANDLE DirectoryHandle, ACCESS_MASK,
                                     POBJECT_ATTRIBUTES ObjectAttributes)
{
    std::u16string name;
    NTSTATUS status = NameOf(ObjectAttributes, &name);
    if (!NT_SUCCESS(status))
    {
        return status;
    }
    if (!ObjectNamespace::IsDirectory(name))
    {
        return STATUS_OBJECT_NAME_NOT_FOUND;
    }
    return Publish(std::make_shared<DirectoryObject>(name), DirectoryHandle);
}

// The buffer holds the entries, an empty entry closing the array, then their names and type names.
NTSTATUS NTAPI NtQueryDirectoryObject(HANDLE DirectoryHandle, PVOID Buffer, ULONG Length,
                                      BOOLEAN ReturnSingleEntry, BOOLEAN RestartScan, PULONG Context,
                                      PULONG ReturnLength)
{
    std::shared_ptr<DirectoryObject> directory;
    NTSTATUS status = Reference(DirectoryHandle, &directory);
    if (!NT_SUCCESS(status))
    {
        return status;
    }
    // User mode's \?? lists its logon session's DOS device names and the global ones they leave visible.
    auto entries = EqualsNoCase(directory->Path(), u"\\??")
                       ? Kernel().Namespace().UserDosDeviceEntries()
                       : Kernel().Namespace().DirectoryEntries(directory->Path());
    ULONG first = RestartScan ? 0 : *Context;
    if (first >= entries.size())
    {
        return STATUS_NO_MORE_ENTRIES;
    }
    auto sizeFor = [&](ULONG count) {
        size_t size = (count + 1) * sizeof(OBJECT_DIRECTORY_INFORMATION);
        for (ULONG i = first; i < first + count; ++i)
        {
            size += (entries[i].first.size() + 1 + entries[i].second.size() + 1) * sizeof(WCHAR);
        }
        return size;
    };
    ULONG count = 0;
    ULONG wanted = ReturnSingleEntry ? 1 : static_cast<ULONG>(entries.size() - first);
    while (count < wanted && sizeFor(count + 1) <= Length)
    {
        ++count;
    }
    if (count == 0)
    {
        if (ReturnLength != nullptr)
        {
            *ReturnLength = static_cast<ULONG>(sizeFor(1));
        }
        return STATUS_BUFFER_TOO_SMALL;
    }
    auto* info = static_cast<OBJECT_DIRECTORY_INFORMATION*>(Buffer);
    auto* text = reinterpret_cast<WCHAR*>(info + count + 1);
    auto put = [&text](const std::u16string& value, UNICODE_STRING* into) {
        memcpy(text, value.data(), value.size() * sizeof(WCHAR));
        text[value.size()] = 0;
        into->Buffer = text;
        into->Length = static_cast<USHORT>(value.size() * sizeof(WCHAR));
        into->MaximumLength = static_cast<USHORT>(into->Length + sizeof(WCHAR));
        text += value.size() + 1;
    };
    for (ULONG i = 0; i < count; ++i)
    {
        put(entries[first + i].first, &info[i].Name);
        put(entries[first + i].second, &info[i].TypeName);
    }
    memset(&info[count], 0, sizeof(OBJECT_DIRECTORY_INFORMATION));
    *Context = first + count;
    if (ReturnLength != nullptr)
    {
        *ReturnLength = static_cast<ULONG>(sizeFor(count));
    }
    return first + count < entries.size() && !ReturnSingleEntry ? STATUS_MORE_ENTRIES : STATUS_SUCCESS;
}

// --- Plug and Play queries ---------------------------------------------------------------------

// Copies a list of texts into the caller's buffer as a multi-string, all or nothing.
NTSTATUS ReturnMultiString(const std::vector<std::u16string>& texts, PWSTR buffer, ULONG bufferLength,
                           PULONG returnLength)
{
    if (returnLength == nullptr || (buffer == nullptr && bufferLength != 0))
    {
        return STATUS_INVALID_PARAMETER;
    }
    std::u16string joined;
    for (const auto& text : texts)
    {
        joined += text;
        joined.push_back(0);
    }
    joined.push_back(0);
    ULONG bytes = static_cast<ULONG>(joined.size() * sizeof(WCHAR));
    *returnLength = bytes;
    if (bufferLength < bytes)
    {
        return STATUS_BUFFER_TOO_SMALL;
    }
    memcpy(buffer, joined.data(), bytes);
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI NtPlugPlayQueryDeviceList(BOOLEAN PresentOnly, PWSTR Buffer, ULONG BufferLength,
                                         PULONG ReturnLength)
{
    RequireIrqlAtMost(PASSIVE_LEVEL, "NtPlugPlayQueryDeviceList");
    std::vector<std::u16string> ids;
    for (const auto& path : Kernel().Pnp().InstancePaths(PresentOnly != FALSE))
    {
        ids.push_back(UpperCase(path));
    }
    return ReturnMultiString(ids, Buffer, BufferLength, ReturnLength);
}

NTSTATUS NTAPI NtPlugPlayQueryInterfaceList(const GUID* InterfaceClassGuid, BOOLEAN EnabledOnly, PWSTR Buffer,
                                            ULONG BufferLength, PULONG ReturnLength)
{
    RequireIrqlAtMost(PASSIVE_LEVEL, "NtPlugPlayQueryInterfaceList");
    std::vector<std::u16string> texts;
    ObjectNamespace& objects = Kernel().Namespace();
    for (const DeviceInterfaceInstance& instance :
         InterfaceClassGuid != nullptr ? objects.Interfaces(*InterfaceClassGuid) : objects.Interfaces())
    {
        if (instance.enabled || !EnabledOnly)
        {
            texts.push_back(UpperCase(instance.instancePath));
            texts.push_back(instance.symbolicLink);
        }
    }
    return ReturnMultiString(texts, Buffer, BufferLength, ReturnLength);
}

// --- atoms ---------------------------------------------------------------------------------------

NTSTATUS NTAPI NtAddAtom(PWSTR AtomName, ULONG Length, syscall::PRTL_ATOM Atom)
{
    if (AtomName == nullptr || Length == 0 || Length > 255 * sizeof(WCHAR))
    {
        return STATUS_INVALID_PARAMETER;
    }
    return Kernel().Atoms().Add(
        std::u16string_view(reinterpret_cast<const char16_t*>(AtomName), Length / sizeof(WCHAR)), Atom);
}

// --- Plug and Play events ----------------------------------------------------------------------

NTSTATUS NTAPI NtOpenPlugPlayEventQueue(PHANDLE PendingEventHandle)
{
    if (PendingEventHandle == nullptr)
    {
        return STATUS_INVALID_PARAMETER;
    }
    return Publish(Kernel().Pnp().Events().Subscribe(), PendingEventHandle);
}

NTSTATUS NTAPI NtGetPlugPlayEvents(syscall::PPLUGPLAY_EVENT_RECORD Buffer, ULONG Count, PULONG Returned)
{
    if (Buffer == nullptr || Count == 0 || Returned == nullptr)
    {
        return STATUS_INVALID_PARAMETER;
    }
    return Kernel().Pnp().Events().Take(Buffer, Count, Returned);
}

// --- Plug and Play device state: Device Manager's disable, enable and restart ---------------------

// The node an instance path of the caller's names, or null.
DeviceNode* NodeNamed(PUNICODE_STRING instancePath)
{
    if (instancePath == nullptr || instancePath->Buffer == nullptr || instancePath->Length == 0)
    {
        return nullptr;
    }
    return Kernel().Pnp().NodeByInstancePath(TextOf(instancePath));
}

NTSTATUS NTAPI NtPlugPlayQueryDeviceStatus(PUNICODE_STRING InstancePath, PULONG Status, PULONG Problem)
{
    RequireIrqlAtMost(PASSIVE_LEVEL, "NtPlugPlayQueryDeviceStatus");
    if (Status == nullptr || Problem == nullptr)
    {
        return STATUS_INVALID_PARAMETER;
    }
    DeviceNode* node = NodeNamed(InstancePath);
    if (node == nullptr)
    {
        return STATUS_NO_SUCH_DEVICE;
    }
    Kernel().Pnp().DeviceStatus(*node, Status, Problem);
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI NtPlugPlayControlDevice(PUNICODE_STRING InstancePath, syscall::PLUGPLAY_DEVICE_CONTROL Control,
                                       ULONG Flags, syscall::PPLUGPLAY_VETO Veto)
{
    RequireIrqlAtMost(PASSIVE_LEVEL, "NtPlugPlayControlDevice");
    bool stateChange = Control == syscall::PlugPlayDisableDevice || Control == syscall::PlugPlayEnableDevice;
    bool flagsValid = stateChange
                          ? (Flags == PLUGPLAY_CONTROL_GLOBAL || Flags == PLUGPLAY_CONTROL_CONFIGSPECIFIC)
                          : (Control == syscall::PlugPlayRestartDevice && Flags == 0);
    if (!flagsValid)
    {
        return STATUS_INVALID_PARAMETER;
    }
    DeviceNode* node = NodeNamed(InstancePath);
    if (node == nullptr)
    {
        return STATUS_NO_SUCH_DEVICE;
    }
    PnpVeto veto;
    NTSTATUS status = STATUS_SUCCESS;
    bool global = Flags == PLUGPLAY_CONTROL_GLOBAL;
    switch (Control)
    {
    case syscall::PlugPlayDisableDevice:
        status = Kernel().Pnp().DisableDevice(node, global, &veto);
        break;
    case syscall::PlugPlayEnableDevice:
        status = Kernel().Pnp().EnableDevice(node, global);
        break;
    case syscall::PlugPlayRestartDevice:
        status = Kernel().Pnp().RestartDevice(node, &veto);
        break;
    }
    if (Veto != nullptr)
    {
        Veto->Kind = veto.kind;
        size_t length = std::min<size_t>(veto.name.size(), PLUGPLAY_MAX_INSTANCE_PATH - 1);
        memcpy(Veto->Name, veto.name.data(), length * sizeof(WCHAR));
        Veto->Name[length] = 0;
    }
    return status;
}

// --- debugger output -----------------------------------------------------------------------------

NTSTATUS NTAPI DebugPrint(PSTRING Output, ULONG, ULONG)
{
    Kernel().DebugOutput().Print(Kernel().Process().Id(), Output->Buffer, Output->Length);
    return STATUS_SUCCESS;
}

// --- child processes (CreateProcess) -------------------------------------------------------------

NTSTATUS NTAPI CreateChildProcess(ULONG HostProcessId, PHANDLE ProcessHandle, PHANDLE ThreadHandle,
                                  PULONG ThreadId)
{
    RequireIrqlAtMost(PASSIVE_LEVEL, "CreateChildProcess");
    if (ProcessHandle == nullptr || ThreadHandle == nullptr || ThreadId == nullptr)
    {
        return STATUS_INVALID_PARAMETER;
    }
    std::shared_ptr<ProcessObject> process;
    std::shared_ptr<ChildThreadObject> thread;
    NTSTATUS status =
        Kernel().Process().CreateChildProcess(static_cast<pid_t>(HostProcessId), &process, &thread);
    if (!NT_SUCCESS(status))
    {
        return status;
    }
    *ThreadId = thread->Id();
    Publish(process, ProcessHandle);
    return Publish(thread, ThreadHandle);
}

NTSTATUS NTAPI NtQueryInformationProcess(HANDLE ProcessHandle, ULONG ProcessInformationClass,
                                         PVOID ProcessInformation, ULONG ProcessInformationLength,
                                         PULONG ReturnLength)
{
    using syscall::PROCESS_BASIC_INFORMATION;
    if (ProcessInformationClass != syscall::ProcessBasicInformation)
    {
        return STATUS_INVALID_INFO_CLASS;
    }
    if (ProcessInformationLength != sizeof(PROCESS_BASIC_INFORMATION))
    {
        return STATUS_INFO_LENGTH_MISMATCH;
    }
    std::shared_ptr<ProcessObject> process;
    NTSTATUS status = Reference(ProcessHandle, &process);
    if (!NT_SUCCESS(status))
    {
        return status;
    }
    PROCESS_BASIC_INFORMATION info{};
    info.ExitStatus = process->ExitStatus();
    info.AffinityMask = 1;
    info.BasePriority = 8; // NORMAL_PRIORITY_CLASS
    info.UniqueProcessId = static_cast<ULONG_PTR>(process->HostId());
    info.InheritedFromUniqueProcessId = Kernel().Process().Id();
    memcpy(ProcessInformation, &info, sizeof(info));
    if (ReturnLength != nullptr)
    {
        *ReturnLength = sizeof(info);
    }
    return STATUS_SUCCESS;
}

// NtQueryInformationThread of a child process's first thread: its state is its process's.
NTSTATUS QueryChildThread(HANDLE handle, PVOID information, PULONG returnLength)
{
    std::shared_ptr<ChildThreadObject> thread;
    NTSTATUS status = Reference(handle, &thread);
    if (!NT_SUCCESS(status))
    {
        return status;
    }
    syscall::THREAD_BASIC_INFORMATION info{};
    info.ExitStatus = thread->Process().ExitStatus();
    info.ClientId.UniqueProcess =
        reinterpret_cast<HANDLE>(static_cast<ULONG_PTR>(thread->Process().HostId()));
    info.ClientId.UniqueThread = reinterpret_cast<HANDLE>(static_cast<ULONG_PTR>(thread->Id()));
    info.AffinityMask = 1;
    info.Priority = info.BasePriority = 8;
    memcpy(information, &info, sizeof(info));
    if (returnLength != nullptr)
    {
        *returnLength = sizeof(info);
    }
    return STATUS_SUCCESS;
}

// --- event tracing -------------------------------------------------------------------------

NTSTATUS NTAPI NtTraceControl(ULONG FunctionCode, PVOID InBuffer, ULONG InBufferLength, PVOID OutBuffer,
                              ULONG OutBufferLength, PULONG ReturnLength)
{
    if (InBuffer == nullptr || OutBuffer == nullptr)
    {
        return STATUS_INVALID_PARAMETER;
    }
    if (InBufferLength != sizeof(syscall::TRACE_SESSION_INFORMATION) ||
        OutBufferLength != sizeof(syscall::TRACE_SESSION_INFORMATION))
    {
        return STATUS_INFO_LENGTH_MISMATCH;
    }
    syscall::TRACE_SESSION_INFORMATION info;
    memcpy(&info, InBuffer, sizeof(info));
    NTSTATUS status = Kernel().Tracing().Control(FunctionCode, &info);
    if (NT_SUCCESS(status))
    {
        memcpy(OutBuffer, &info, sizeof(info));
    }
    if (ReturnLength != nullptr)
    {
        *ReturnLength = NT_SUCCESS(status) ? sizeof(info) : 0;
    }
    return status;
}

NTSTATUS NTAPI CheckHeldFileAccess(PCSTR HostPath, ACCESS_MASK DesiredAccess)
{
    if (HostPath == nullptr)
    {
        return STATUS_INVALID_PARAMETER;
    }
    return Kernel().Tracing().CheckHeldFileAccess(HostPath, DesiredAccess);
}

} // namespace

const syscall::SystemServices& SystemServiceTable()
{
    static const syscall::SystemServices table = {
        .NtCreateFile = NtCreateFile,
        .NtReadFile = NtReadFile,
        .NtWriteFile = NtWriteFile,
        .NtDeviceIoControlFile = NtDeviceIoControlFile,
        .NtFlushBuffersFile = NtFlushBuffersFile,
        .NtCancelIoFile = NtCancelIoFile,
        .NtCancelIoFileEx = NtCancelIoFileEx,
        .NtQueryInformationFile = NtQueryInformationFile,
        .NtSetInformationFile = NtSetInformationFile,
        .NtClose = NtClose,
        .NtCreateEvent = NtCreateEvent,
        .NtOpenEvent = NtOpenEvent,
        .NtSetEvent = NtSetEvent,
        .NtResetEvent = NtResetEvent,
        .NtCreateMutant = NtCreateMutant,
        .NtOpenMutant = NtOpenMutant,
        .NtReleaseMutant = NtReleaseMutant,
        .NtWaitForSingleObject = NtWaitForSingleObject,
        .NtWaitForMultipleObjects = NtWaitForMultipleObjects,
        .NtDelayExecution = NtDelayExecution,
        .NtQuerySystemTime = NtQuerySystemTime,
        .NtTerminateThread = NtTerminateThread,
        .CreateUserThread = CreateUserThread,
        .StartUserThread = StartUserThread,
        .NtSuspendThread = NtSuspendThread,
        .NtResumeThread = NtResumeThread,
        .NtQueryInformationThread = NtQueryInformationThread,
        .NtCreateSymbolicLinkObject = NtCreateSymbolicLinkObject,
        .NtOpenSymbolicLinkObject = NtOpenSymbolicLinkObject,
        .NtQuerySymbolicLinkObject = NtQuerySymbolicLinkObject,
        .NtMakeTemporaryObject = NtMakeTemporaryObject,
        .NtOpenDirectoryObject = NtOpenDirectoryObject,
        .NtQueryDirectoryObject = NtQueryDirectoryObject,
        .NtOpenKey = RegistryServices::NtOpenKey,
        .NtCreateKey = RegistryServices::NtCreateKey,
        .NtEnumerateKey = RegistryServices::NtEnumerateKey,
        .NtEnumerateValueKey = RegistryServices::NtEnumerateValueKey,
        .NtQueryKey = RegistryServices::NtQueryKey,
        .NtQueryValueKey = RegistryServices::NtQueryValueKey,
        .NtSetValueKey = RegistryServices::NtSetValueKey,
        .NtDeleteValueKey = RegistryServices::NtDeleteValueKey,
        .NtDeleteKey = RegistryServices::NtDeleteKey,
        .NtPlugPlayQueryDeviceList = NtPlugPlayQueryDeviceList,
        .NtPlugPlayQueryInterfaceList = NtPlugPlayQueryInterfaceList,
        .NtAddAtom = NtAddAtom,
        .NtOpenPlugPlayEventQueue = NtOpenPlugPlayEventQueue,
        .NtGetPlugPlayEvents = NtGetPlugPlayEvents,
        .NtPlugPlayQueryDeviceStatus = NtPlugPlayQueryDeviceStatus,
        .NtPlugPlayControlDevice = NtPlugPlayControlDevice,
        .DebugPrint = DebugPrint,
        // child processes
        .CreateChildProcess = CreateChildProcess,
        .NtQueryInformationProcess = NtQueryInformationProcess,

        // event tracing
        .NtTraceControl = NtTraceControl,
        .CheckHeldFileAccess = CheckHeldFileAccess,
    };
    return table;
}

} // namespace winsim::kernel
