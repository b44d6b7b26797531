// The native system services of ntdll: each forwards to the machine's kernel through the
// system-call seam.
//
// The kernel learns that a thread has ended (its mutants are abandoned, its I/O cancelled) from
// the thread-specific key below, whose destructor runs when a thread that called into the kernel
// exits. The process's main thread never gets that notice: it ends with the process, after the
// DLLs' detach code, which may still call into the kernel.
#include "ntdll.h"

#include <pthread.h>

namespace winsim::ntdll
{
namespace
{

pthread_key_t CreateThreadKey()
{
    pthread_key_t key;
    pthread_key_create(&key, [](void* value) {
        // The value is the machine generation the thread first called into, plus one.
        uint64_t generation = reinterpret_cast<uintptr_t>(value) - 1;
        if (generation == MachineGeneration())
        {
            Kernel().NtTerminateThread(syscall::CurrentThreadHandle(), STATUS_SUCCESS);
        }
    });
    return key;
}

pthread_key_t ThreadEndKey();

// The services, with the calling thread made known for its end.
const syscall::SystemServices& Services()
{
    const syscall::SystemServices& services = Kernel();
    const pthread_key_t key = ThreadEndKey();
    uintptr_t mark = static_cast<uintptr_t>(MachineGeneration()) + 1;
    if (reinterpret_cast<uintptr_t>(pthread_getspecific(key)) != mark)
    {
        pthread_setspecific(key, reinterpret_cast<void*>(mark));
    }
    return services;
}

pthread_key_t ThreadEndKey()
{
    static const pthread_key_t key = CreateThreadKey();
    return key;
}

} // namespace

NTSTATUS CreateUserThread(PHANDLE threadHandle, bool suspended, DWORD* threadId)
{
    ULONG id = 0;
    NTSTATUS status = Services().CreateUserThread(threadHandle, suspended ? TRUE : FALSE, &id);
    *threadId = id;
    return status;
}

NTSTATUS StartUserThread(DWORD threadId)
{
    return Services().StartUserThread(threadId);
}

// --- child processes (CreateProcess) -------------------------------------------------------------

NTSTATUS CreateChildProcess(int hostProcessId, PHANDLE processHandle, PHANDLE threadHandle, DWORD* threadId)
{
    ULONG id = 0;
    NTSTATUS status =
        Services().CreateChildProcess(static_cast<ULONG>(hostProcessId), processHandle, threadHandle, &id);
    *threadId = id;
    return status;
}

// -------------------------------------------------------------------------------------------------

UNICODE_STRING CountedString(const std::u16string& text)
{
    UNICODE_STRING s;
    s.Buffer = reinterpret_cast<PWCH>(const_cast<char16_t*>(text.data()));
    s.Length = static_cast<USHORT>(text.size() * sizeof(WCHAR));
    s.MaximumLength = s.Length;
    return s;
}

NTSTATUS PlugPlayQueryDeviceList(BOOLEAN PresentOnly, PWSTR Buffer, ULONG BufferLength, PULONG ReturnLength)
{
    return Services().NtPlugPlayQueryDeviceList(PresentOnly, Buffer, BufferLength, ReturnLength);
}

NTSTATUS PlugPlayQueryInterfaceList(const GUID* InterfaceClassGuid, BOOLEAN EnabledOnly, PWSTR Buffer,
                                    ULONG BufferLength, PULONG ReturnLength)
{
    return Services().NtPlugPlayQueryInterfaceList(InterfaceClassGuid, EnabledOnly, Buffer, BufferLength,
                                                   ReturnLength);
}

// --- Plug and Play device state ---------------------------------------------------------------

NTSTATUS PlugPlayQueryDeviceStatus(const std::u16string& instancePath, ULONG* status, ULONG* problem)
{
    UNICODE_STRING path = CountedString(instancePath);
    return Services().NtPlugPlayQueryDeviceStatus(&path, status, problem);
}

NTSTATUS PlugPlayControlDevice(const std::u16string& instancePath, syscall::PLUGPLAY_DEVICE_CONTROL control,
                               ULONG flags, syscall::PLUGPLAY_VETO* veto)
{
    UNICODE_STRING path = CountedString(instancePath);
    return Services().NtPlugPlayControlDevice(&path, control, flags, veto);
}

// --- event tracing ---

NTSTATUS TraceControl(ULONG function, syscall::TRACE_SESSION_INFORMATION* information)
{
    return Services().NtTraceControl(function, information, sizeof(*information), information,
                                     sizeof(*information), nullptr);
}

NTSTATUS CheckHeldFileAccess(const char* hostPath, ACCESS_MASK desiredAccess)
{
    if (!MachineConnected())
    {
        return STATUS_SUCCESS;
    }
    return Services().CheckHeldFileAccess(hostPath, desiredAccess);
}

BOOL FailWith(NTSTATUS status)
{
    SetLastError(RtlNtStatusToDosError(status));
    return FALSE;
}

} // namespace winsim::ntdll

using winsim::ntdll::Services;

extern "C"
{

    NTSTATUS NTAPI NtCreateFile(PHANDLE FileHandle, ACCESS_MASK DesiredAccess,
                                POBJECT_ATTRIBUTES ObjectAttributes, PIO_STATUS_BLOCK IoStatusBlock,
                                PLARGE_INTEGER AllocationSize, ULONG FileAttributes, ULONG ShareAccess,
                                ULONG CreateDisposition, ULONG CreateOptions, PVOID EaBuffer, ULONG EaLength)
    {
        return Services().NtCreateFile(FileHandle, DesiredAccess, ObjectAttributes, IoStatusBlock,
                                       AllocationSize, FileAttributes, ShareAccess, CreateDisposition,
                                       CreateOptions, EaBuffer, EaLength);
    }

    NTSTATUS NTAPI NtOpenFile(PHANDLE FileHandle, ACCESS_MASK DesiredAccess,
                              POBJECT_ATTRIBUTES ObjectAttributes, PIO_STATUS_BLOCK IoStatusBlock,
                              ULONG ShareAccess, ULONG OpenOptions)
    {
        return Services().NtCreateFile(FileHandle, DesiredAccess, ObjectAttributes, IoStatusBlock, nullptr, 0,
                                       ShareAccess, FILE_OPEN, OpenOptions, nullptr, 0);
    }

    NTSTATUS NTAPI NtReadFile(HANDLE FileHandle, HANDLE Event, PIO_APC_ROUTINE ApcRoutine, PVOID ApcContext,
                              PIO_STATUS_BLOCK IoStatusBlock, PVOID Buffer, ULONG Length,
                              PLARGE_INTEGER ByteOffset, PULONG Key)
    {
        return Services().NtReadFile(FileHandle, Event, ApcRoutine, ApcContext, IoStatusBlock, Buffer, Length,
                                     ByteOffset, Key);
    }

    NTSTATUS NTAPI NtWriteFile(HANDLE FileHandle, HANDLE Event, PIO_APC_ROUTINE ApcRoutine, PVOID ApcContext,
                               PIO_STATUS_BLOCK IoStatusBlock, PVOID Buffer, ULONG Length,
                               PLARGE_INTEGER ByteOffset, PULONG Key)
    {
        return Services().NtWriteFile(FileHandle, Event, ApcRoutine, ApcContext, IoStatusBlock, Buffer,
                                      Length, ByteOffset, Key);
    }

    NTSTATUS NTAPI NtDeviceIoControlFile(HANDLE FileHandle, HANDLE Event, PIO_APC_ROUTINE ApcRoutine,
                                         PVOID ApcContext, PIO_STATUS_BLOCK IoStatusBlock,
                                         ULONG IoControlCode, PVOID InputBuffer, ULONG InputBufferLength,
                                         PVOID OutputBuffer, ULONG OutputBufferLength)
    {
        return Services().NtDeviceIoControlFile(FileHandle, Event, ApcRoutine, ApcContext, IoStatusBlock,
                                                IoControlCode, InputBuffer, InputBufferLength, OutputBuffer,
                                                OutputBufferLength);
    }

    NTSTATUS NTAPI NtFlushBuffersFile(HANDLE FileHandle, PIO_STATUS_BLOCK IoStatusBlock)
    {
        return Services().NtFlushBuffersFile(FileHandle, IoStatusBlock);
    }

    NTSTATUS NTAPI NtCancelIoFile(HANDLE FileHandle, PIO_STATUS_BLOCK IoStatusBlock)
    {
        return Services().NtCancelIoFile(FileHandle, IoStatusBlock);
    }

    NTSTATUS NTAPI NtCancelIoFileEx(HANDLE FileHandle, PIO_STATUS_BLOCK IoRequestToCancel,
                                    PIO_STATUS_BLOCK IoStatusBlock)
    {
        return Services().NtCancelIoFileEx(FileHandle, IoRequestToCancel, IoStatusBlock);
    }

    NTSTATUS NTAPI NtQueryInformationFile(HANDLE FileHandle, PIO_STATUS_BLOCK IoStatusBlock,
                                          PVOID FileInformation, ULONG Length,
                                          FILE_INFORMATION_CLASS FileInformationClass)
    {
        return Services().NtQueryInformationFile(FileHandle, IoStatusBlock, FileInformation, Length,
                                                 FileInformationClass);
    }

    NTSTATUS NTAPI NtSetInformationFile(HANDLE FileHandle, PIO_STATUS_BLOCK IoStatusBlock,
                                        PVOID FileInformation, ULONG Length,
                                        FILE_INFORMATION_CLASS FileInformationClass)
    {
        return Services().NtSetInformationFile(FileHandle, IoStatusBlock, FileInformation, Length,
                                               FileInformationClass);
    }

    NTSTATUS NTAPI NtClose(HANDLE Handle)
    {
        return Services().NtClose(Handle);
    }

    NTSTATUS NTAPI NtCreateEvent(PHANDLE EventHandle, ACCESS_MASK DesiredAccess,
                                 POBJECT_ATTRIBUTES ObjectAttributes, EVENT_TYPE EventType,
                                 BOOLEAN InitialState)
    {
        return Services().NtCreateEvent(EventHandle, DesiredAccess, ObjectAttributes, EventType,
                                        InitialState);
    }

    NTSTATUS NTAPI NtOpenEvent(PHANDLE EventHandle, ACCESS_MASK DesiredAccess,
                               POBJECT_ATTRIBUTES ObjectAttributes)
    {
        return Services().NtOpenEvent(EventHandle, DesiredAccess, ObjectAttributes);
    }

    NTSTATUS NTAPI NtSetEvent(HANDLE EventHandle, PLONG PreviousState)
    {
        return Services().NtSetEvent(EventHandle, PreviousState);
    }

    NTSTATUS NTAPI NtResetEvent(HANDLE EventHandle, PLONG PreviousState)
    {
        return Services().NtResetEvent(EventHandle, PreviousState);
    }

    NTSTATUS NTAPI NtCreateMutant(PHANDLE MutantHandle, ACCESS_MASK DesiredAccess,
                                  POBJECT_ATTRIBUTES ObjectAttributes, BOOLEAN InitialOwner)
    {
        return Services().NtCreateMutant(MutantHandle, DesiredAccess, ObjectAttributes, InitialOwner);
    }

    NTSTATUS NTAPI NtOpenMutant(PHANDLE MutantHandle, ACCESS_MASK DesiredAccess,
                                POBJECT_ATTRIBUTES ObjectAttributes)
    {
        return Services().NtOpenMutant(MutantHandle, DesiredAccess, ObjectAttributes);
    }

    NTSTATUS NTAPI NtReleaseMutant(HANDLE MutantHandle, PLONG PreviousCount)
    {
        return Services().NtReleaseMutant(MutantHandle, PreviousCount);
    }

    NTSTATUS NTAPI NtWaitForSingleObject(HANDLE Handle, BOOLEAN Alertable, PLARGE_INTEGER Timeout)
    {
        return Services().NtWaitForSingleObject(Handle, Alertable, Timeout);
    }

    NTSTATUS NTAPI NtWaitForMultipleObjects(ULONG Count, HANDLE* Handles, WAIT_TYPE WaitType,
                                            BOOLEAN Alertable, PLARGE_INTEGER Timeout)
    {
        return Services().NtWaitForMultipleObjects(Count, Handles, WaitType, Alertable, Timeout);
    }

    NTSTATUS NTAPI NtDelayExecution(BOOLEAN Alertable, PLARGE_INTEGER DelayInterval)
    {
        return Services().NtDelayExecution(Alertable, DelayInterval);
    }

    NTSTATUS NTAPI NtTerminateThread(HANDLE ThreadHandle, NTSTATUS ExitStatus)
    {
        NTSTATUS status = Services().NtTerminateThread(ThreadHandle, ExitStatus);
        if (NT_SUCCESS(status) && ThreadHandle == winsim::syscall::CurrentThreadHandle())
        {
            // The kernel knows already: the thread's end needs no second notice.
            pthread_setspecific(winsim::ntdll::ThreadEndKey(), nullptr);
        }
        return status;
    }

    NTSTATUS NTAPI NtSuspendThread(HANDLE ThreadHandle, PULONG PreviousSuspendCount)
    {
        return Services().NtSuspendThread(ThreadHandle, PreviousSuspendCount);
    }

    NTSTATUS NTAPI NtResumeThread(HANDLE ThreadHandle, PULONG PreviousSuspendCount)
    {
        return Services().NtResumeThread(ThreadHandle, PreviousSuspendCount);
    }

    NTSTATUS NTAPI NtQueryInformationThread(HANDLE ThreadHandle, ULONG ThreadInformationClass,
                                            PVOID ThreadInformation, ULONG ThreadInformationLength,
                                            PULONG ReturnLength)
    {
        return Services().NtQueryInformationThread(ThreadHandle, ThreadInformationClass, ThreadInformation,
                                                   ThreadInformationLength, ReturnLength);
    }

    NTSTATUS NTAPI NtQuerySystemTime(PLARGE_INTEGER SystemTime)
    {
        return Services().NtQuerySystemTime(SystemTime);
    }

    NTSTATUS NTAPI NtCreateSymbolicLinkObject(PHANDLE LinkHandle, ACCESS_MASK DesiredAccess,
                                              POBJECT_ATTRIBUTES ObjectAttributes, PUNICODE_STRING LinkTarget)
    {
        return Services().NtCreateSymbolicLinkObject(LinkHandle, DesiredAccess, ObjectAttributes, LinkTarget);
    }

    NTSTATUS NTAPI NtOpenSymbolicLinkObject(PHANDLE LinkHandle, ACCESS_MASK DesiredAccess,
                                            POBJECT_ATTRIBUTES ObjectAttributes)
    {
        return Services().NtOpenSymbolicLinkObject(LinkHandle, DesiredAccess, ObjectAttributes);
    }

    NTSTATUS NTAPI NtQuerySymbolicLinkObject(HANDLE LinkHandle, PUNICODE_STRING LinkTarget,
                                             PULONG ReturnedLength)
    {
        return Services().NtQuerySymbolicLinkObject(LinkHandle, LinkTarget, ReturnedLength);
    }

    NTSTATUS NTAPI NtMakeTemporaryObject(HANDLE Handle)
    {
        return Services().NtMakeTemporaryObject(Handle);
    }

    NTSTATUS NTAPI NtOpenDirectoryObject(PHANDLE DirectoryHandle, ACCESS_MASK DesiredAccess,
                                         POBJECT_ATTRIBUTES ObjectAttributes)
    {
        return Services().NtOpenDirectoryObject(DirectoryHandle, DesiredAccess, ObjectAttributes);
    }

    NTSTATUS NTAPI NtQueryDirectoryObject(HANDLE DirectoryHandle, PVOID Buffer, ULONG Length,
                                          BOOLEAN ReturnSingleEntry, BOOLEAN RestartScan, PULONG Context,
                                          PULONG ReturnLength)
    {
        return Services().NtQueryDirectoryObject(DirectoryHandle, Buffer, Length, ReturnSingleEntry,
                                                 RestartScan, Context, ReturnLength);
    }

    NTSTATUS NTAPI NtOpenKey(PHANDLE KeyHandle, ACCESS_MASK DesiredAccess,
                             POBJECT_ATTRIBUTES ObjectAttributes)
    {
        return Services().NtOpenKey(KeyHandle, DesiredAccess, ObjectAttributes);
    }

    NTSTATUS NTAPI NtCreateKey(PHANDLE KeyHandle, ACCESS_MASK DesiredAccess,
                               POBJECT_ATTRIBUTES ObjectAttributes, ULONG TitleIndex, PUNICODE_STRING Class,
                               ULONG CreateOptions, PULONG Disposition)
    {
        return Services().NtCreateKey(KeyHandle, DesiredAccess, ObjectAttributes, TitleIndex, Class,
                                      CreateOptions, Disposition);
    }

    NTSTATUS NTAPI NtEnumerateKey(HANDLE KeyHandle, ULONG Index, KEY_INFORMATION_CLASS KeyInformationClass,
                                  PVOID KeyInformation, ULONG Length, PULONG ResultLength)
    {
        return Services().NtEnumerateKey(KeyHandle, Index, KeyInformationClass, KeyInformation, Length,
                                         ResultLength);
    }

    NTSTATUS NTAPI NtEnumerateValueKey(HANDLE KeyHandle, ULONG Index,
                                       KEY_VALUE_INFORMATION_CLASS KeyValueInformationClass,
                                       PVOID KeyValueInformation, ULONG Length, PULONG ResultLength)
    {
        return Services().NtEnumerateValueKey(KeyHandle, Index, KeyValueInformationClass, KeyValueInformation,
                                              Length, ResultLength);
    }

    NTSTATUS NTAPI NtQueryKey(HANDLE KeyHandle, KEY_INFORMATION_CLASS KeyInformationClass,
                              PVOID KeyInformation, ULONG Length, PULONG ResultLength)
    {
        return Services().NtQueryKey(KeyHandle, KeyInformationClass, KeyInformation, Length, ResultLength);
    }

    NTSTATUS NTAPI NtQueryValueKey(HANDLE KeyHandle, PUNICODE_STRING ValueName,
                                   KEY_VALUE_INFORMATION_CLASS KeyValueInformationClass,
                                   PVOID KeyValueInformation, ULONG Length, PULONG ResultLength)
    {
        return Services().NtQueryValueKey(KeyHandle, ValueName, KeyValueInformationClass, KeyValueInformation,
                                          Length, ResultLength);
    }

    NTSTATUS NTAPI NtSetValueKey(HANDLE KeyHandle, PUNICODE_STRING ValueName, ULONG TitleIndex, ULONG Type,
                                 PVOID Data, ULONG DataSize)
    {
        return Services().NtSetValueKey(KeyHandle, ValueName, TitleIndex, Type, Data, DataSize);
    }

    NTSTATUS NTAPI NtDeleteValueKey(HANDLE KeyHandle, PUNICODE_STRING ValueName)
    {
        return Services().NtDeleteValueKey(KeyHandle, ValueName);
    }

    NTSTATUS NTAPI NtDeleteKey(HANDLE KeyHandle)
    {
        return Services().NtDeleteKey(KeyHandle);
    }

    NTSTATUS NTAPI NtAddAtom(PWSTR AtomName, ULONG Length, winsim::syscall::PRTL_ATOM Atom)
    {
        return Services().NtAddAtom(AtomName, Length, Atom);
    }

    NTSTATUS NTAPI NtOpenPlugPlayEventQueue(PHANDLE PendingEventHandle)
    {
        return Services().NtOpenPlugPlayEventQueue(PendingEventHandle);
    }

    NTSTATUS NTAPI NtGetPlugPlayEvents(winsim::syscall::PPLUGPLAY_EVENT_RECORD Buffer, ULONG Count,
                                       PULONG Returned)
    {
        return Services().NtGetPlugPlayEvents(Buffer, Count, Returned);
    }

    // --- child processes (CreateProcess) ---

    NTSTATUS NTAPI NtQueryInformationProcess(HANDLE ProcessHandle, ULONG ProcessInformationClass,
                                             PVOID ProcessInformation, ULONG ProcessInformationLength,
                                             PULONG ReturnLength)
    {
        return Services().NtQueryInformationProcess(ProcessHandle, ProcessInformationClass,
                                                    ProcessInformation, ProcessInformationLength,
                                                    ReturnLength);
    }

} // extern "C"
