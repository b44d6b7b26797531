// ntdll of the simulated user mode: the process's connection to its machine, the native system
// services (each a call through the system-call seam) and the translation of their statuses into
// Win32 errors. Every Win32 function that reaches the kernel goes through here.
#pragma once

#include <windows.h>
#include <winternl.h>

#include "syscall/Syscalls.h"

#include <stdint.h>
#include <string>

namespace winsim::ntdll
{

// The machine this process runs on. When no machine has connected yet, this boots the machine of
// the process's machine folder (see MachineRootDirectory) in the process, as a stand-in for
// connecting to a machine that runs elsewhere.
const syscall::MachineConnection& Machine();
inline const syscall::SystemServices& Kernel()
{
    return *Machine().services;
}

// Increases each time a machine connects. Handles that user mode took from one machine mean
// nothing to the next.
uint64_t MachineGeneration();

// The machine's host folder and its drive C: folder, without booting a machine: those of the
// connected machine, otherwise the folder named by WINSIM_ROOT (or /tmp/winsim-<uid>).
std::string MachineRootDirectory();
std::string SystemDriveDirectory();

// Sets the calling thread's last error from a status (RtlNtStatusToDosError) and returns FALSE,
// the way a Win32 function fails through a native service.
BOOL FailWith(NTSTATUS status);

// The two steps of a thread's start (see the seam's threads section): the kernel's thread object,
// made by the creating thread, and the new host thread's binding to it, which returns once the
// thread is not suspended.
NTSTATUS CreateUserThread(PHANDLE threadHandle, bool suspended, DWORD* threadId);
NTSTATUS StartUserThread(DWORD threadId);

// The second step of a child process's start (see the seam's child processes section): the kernel's
// objects for a host process the caller has just started.
NTSTATUS CreateChildProcess(int hostProcessId, PHANDLE processHandle, PHANDLE threadHandle, DWORD* threadId);

// A counted string over UTF-16 text (which must outlive it).
UNICODE_STRING CountedString(const std::u16string& text);

// The Plug and Play queries of the seam (syscall/Syscalls.h), which stand for cfgmgr32's calls of
// the Plug and Play service; setupapi and the WMI provider list devices through them.
NTSTATUS PlugPlayQueryDeviceList(BOOLEAN PresentOnly, PWSTR Buffer, ULONG BufferLength, PULONG ReturnLength);
NTSTATUS PlugPlayQueryInterfaceList(const GUID* InterfaceClassGuid, BOOLEAN EnabledOnly, PWSTR Buffer,
                                    ULONG BufferLength, PULONG ReturnLength);

// --- Plug and Play device state (the seam's section of the same name) ---
// A node's DN_* status and CM_PROB_* problem, and Device Manager's disable, enable and restart of a
// node; cfgmgr32's part of setupapi calls them.
NTSTATUS PlugPlayQueryDeviceStatus(const std::u16string& instancePath, ULONG* status, ULONG* problem);
NTSTATUS PlugPlayControlDevice(const std::u16string& instancePath, syscall::PLUGPLAY_DEVICE_CONTROL control,
                               ULONG flags, syscall::PLUGPLAY_VETO* veto);

// --- event tracing ---
// The trace control functions of the seam (NtTraceControl with one TRACE_SESSION_INFORMATION in
// and out), for advapi32's trace controllers; and whether the kernel holds a host file open in a
// way that denies an access (a running session's log file), for kernel32's file functions.
NTSTATUS TraceControl(ULONG function, syscall::TRACE_SESSION_INFORMATION* information);
// A process with no machine connected holds nothing open in one (and boots none to ask).
NTSTATUS CheckHeldFileAccess(const char* hostPath, ACCESS_MASK desiredAccess);
bool MachineConnected();

} // namespace winsim::ntdll

WINSIM_EXTERN_C_BEGIN

// Native system services besides those winternl.h declares. Each forwards to the machine's kernel.
WINSIM_API NTSTATUS NTAPI NtReadFile(HANDLE FileHandle, HANDLE Event, PIO_APC_ROUTINE ApcRoutine,
                                     PVOID ApcContext, PIO_STATUS_BLOCK IoStatusBlock, PVOID Buffer,
                                     ULONG Length, PLARGE_INTEGER ByteOffset, PULONG Key);
WINSIM_API NTSTATUS NTAPI NtWriteFile(HANDLE FileHandle, HANDLE Event, PIO_APC_ROUTINE ApcRoutine,
                                      PVOID ApcContext, PIO_STATUS_BLOCK IoStatusBlock, PVOID Buffer,
                                      ULONG Length, PLARGE_INTEGER ByteOffset, PULONG Key);
WINSIM_API NTSTATUS NTAPI NtFlushBuffersFile(HANDLE FileHandle, PIO_STATUS_BLOCK IoStatusBlock);
WINSIM_API NTSTATUS NTAPI NtCancelIoFile(HANDLE FileHandle, PIO_STATUS_BLOCK IoStatusBlock);
WINSIM_API NTSTATUS NTAPI NtCancelIoFileEx(HANDLE FileHandle, PIO_STATUS_BLOCK IoRequestToCancel,
                                           PIO_STATUS_BLOCK IoStatusBlock);
WINSIM_API NTSTATUS NTAPI NtCreateEvent(PHANDLE EventHandle, ACCESS_MASK DesiredAccess,
                                        POBJECT_ATTRIBUTES ObjectAttributes, EVENT_TYPE EventType,
                                        BOOLEAN InitialState);
WINSIM_API NTSTATUS NTAPI NtOpenEvent(PHANDLE EventHandle, ACCESS_MASK DesiredAccess,
                                      POBJECT_ATTRIBUTES ObjectAttributes);
WINSIM_API NTSTATUS NTAPI NtSetEvent(HANDLE EventHandle, PLONG PreviousState);
WINSIM_API NTSTATUS NTAPI NtResetEvent(HANDLE EventHandle, PLONG PreviousState);
WINSIM_API NTSTATUS NTAPI NtCreateMutant(PHANDLE MutantHandle, ACCESS_MASK DesiredAccess,
                                         POBJECT_ATTRIBUTES ObjectAttributes, BOOLEAN InitialOwner);
WINSIM_API NTSTATUS NTAPI NtOpenMutant(PHANDLE MutantHandle, ACCESS_MASK DesiredAccess,
                                       POBJECT_ATTRIBUTES ObjectAttributes);
WINSIM_API NTSTATUS NTAPI NtReleaseMutant(HANDLE MutantHandle, PLONG PreviousCount);
WINSIM_API NTSTATUS NTAPI NtWaitForMultipleObjects(ULONG Count, HANDLE* Handles, WAIT_TYPE WaitType,
                                                   BOOLEAN Alertable, PLARGE_INTEGER Timeout);
WINSIM_API NTSTATUS NTAPI NtDelayExecution(BOOLEAN Alertable, PLARGE_INTEGER DelayInterval);
// Ends the thread's kernel life; for the calling thread (NtCurrentThread) no later notice at its
// host end follows.
WINSIM_API NTSTATUS NTAPI NtTerminateThread(HANDLE ThreadHandle, NTSTATUS ExitStatus);
WINSIM_API NTSTATUS NTAPI NtSuspendThread(HANDLE ThreadHandle, PULONG PreviousSuspendCount);
WINSIM_API NTSTATUS NTAPI NtResumeThread(HANDLE ThreadHandle, PULONG PreviousSuspendCount);
// ThreadInformationClass: ThreadBasicInformation (winsim::syscall::THREAD_BASIC_INFORMATION).
WINSIM_API NTSTATUS NTAPI NtQueryInformationThread(HANDLE ThreadHandle, ULONG ThreadInformationClass,
                                                   PVOID ThreadInformation, ULONG ThreadInformationLength,
                                                   PULONG ReturnLength);
WINSIM_API NTSTATUS NTAPI NtCreateSymbolicLinkObject(PHANDLE LinkHandle, ACCESS_MASK DesiredAccess,
                                                     POBJECT_ATTRIBUTES ObjectAttributes,
                                                     PUNICODE_STRING LinkTarget);
WINSIM_API NTSTATUS NTAPI NtOpenSymbolicLinkObject(PHANDLE LinkHandle, ACCESS_MASK DesiredAccess,
                                                   POBJECT_ATTRIBUTES ObjectAttributes);
WINSIM_API NTSTATUS NTAPI NtQuerySymbolicLinkObject(HANDLE LinkHandle, PUNICODE_STRING LinkTarget,
                                                    PULONG ReturnedLength);
WINSIM_API NTSTATUS NTAPI NtMakeTemporaryObject(HANDLE Handle);
WINSIM_API NTSTATUS NTAPI NtOpenDirectoryObject(PHANDLE DirectoryHandle, ACCESS_MASK DesiredAccess,
                                                POBJECT_ATTRIBUTES ObjectAttributes);
WINSIM_API NTSTATUS NTAPI NtQueryDirectoryObject(HANDLE DirectoryHandle, PVOID Buffer, ULONG Length,
                                                 BOOLEAN ReturnSingleEntry, BOOLEAN RestartScan,
                                                 PULONG Context, PULONG ReturnLength);
WINSIM_API NTSTATUS NTAPI NtOpenKey(PHANDLE KeyHandle, ACCESS_MASK DesiredAccess,
                                    POBJECT_ATTRIBUTES ObjectAttributes);
WINSIM_API NTSTATUS NTAPI NtCreateKey(PHANDLE KeyHandle, ACCESS_MASK DesiredAccess,
                                      POBJECT_ATTRIBUTES ObjectAttributes, ULONG TitleIndex,
                                      PUNICODE_STRING Class, ULONG CreateOptions, PULONG Disposition);
WINSIM_API NTSTATUS NTAPI NtEnumerateKey(HANDLE KeyHandle, ULONG Index,
                                         KEY_INFORMATION_CLASS KeyInformationClass, PVOID KeyInformation,
                                         ULONG Length, PULONG ResultLength);
WINSIM_API NTSTATUS NTAPI NtEnumerateValueKey(HANDLE KeyHandle, ULONG Index,
                                              KEY_VALUE_INFORMATION_CLASS KeyValueInformationClass,
                                              PVOID KeyValueInformation, ULONG Length, PULONG ResultLength);
WINSIM_API NTSTATUS NTAPI NtQueryKey(HANDLE KeyHandle, KEY_INFORMATION_CLASS KeyInformationClass,
                                     PVOID KeyInformation, ULONG Length, PULONG ResultLength);
WINSIM_API NTSTATUS NTAPI NtQueryValueKey(HANDLE KeyHandle, PUNICODE_STRING ValueName,
                                          KEY_VALUE_INFORMATION_CLASS KeyValueInformationClass,
                                          PVOID KeyValueInformation, ULONG Length, PULONG ResultLength);
WINSIM_API NTSTATUS NTAPI NtSetValueKey(HANDLE KeyHandle, PUNICODE_STRING ValueName, ULONG TitleIndex,
                                        ULONG Type, PVOID Data, ULONG DataSize);
WINSIM_API NTSTATUS NTAPI NtDeleteValueKey(HANDLE KeyHandle, PUNICODE_STRING ValueName);
WINSIM_API NTSTATUS NTAPI NtDeleteKey(HANDLE KeyHandle);
WINSIM_API NTSTATUS NTAPI NtAddAtom(PWSTR AtomName, ULONG Length, winsim::syscall::PRTL_ATOM Atom);
WINSIM_API NTSTATUS NTAPI NtOpenPlugPlayEventQueue(PHANDLE PendingEventHandle);
WINSIM_API NTSTATUS NTAPI NtGetPlugPlayEvents(winsim::syscall::PPLUGPLAY_EVENT_RECORD Buffer, ULONG Count,
                                              PULONG Returned);
// --- child processes (CreateProcess) ---
// ProcessInformationClass: ProcessBasicInformation (winsim::syscall::PROCESS_BASIC_INFORMATION).
WINSIM_API NTSTATUS NTAPI NtQueryInformationProcess(HANDLE ProcessHandle, ULONG ProcessInformationClass,
                                                    PVOID ProcessInformation, ULONG ProcessInformationLength,
                                                    PULONG ReturnLength);

WINSIM_EXTERN_C_END
