// The system-call seam: every call user mode makes into the machine's kernel.
//
// User mode (platform/user, ntdll) never touches the kernel's objects; it calls the native system
// services below by their Windows names and shapes. A machine publishes its table of services when
// it boots (ntdll's ConnectMachine). In one process a call is a direct call into the kernel; a
// machine hosted in a process of its own would carry the same calls over a local socket. So only
// plain data crosses: handles, counted strings, flat structures and the caller's buffers, never a
// C++ object.
//
// Handles handed out here belong to the calling process's handle table in the kernel, not to the
// system handle table that kernel-mode Zw* calls use. Every service runs at PASSIVE_LEVEL on the
// calling thread; a service that blocks (a wait, synchronous I/O) waits in the kernel's dispatcher,
// so the machine knows the thread is waiting.
#pragma once

#include <winsim/base.h>
#include <winsim/nttypes.h>
#include <guiddef.h>
#include <ntstatus.h>

namespace winsim::syscall
{

typedef USHORT RTL_ATOM;
typedef RTL_ATOM* PRTL_ATOM;

// Entries of an object directory (NtQueryDirectoryObject).
typedef struct _OBJECT_DIRECTORY_INFORMATION
{
    UNICODE_STRING Name;
    UNICODE_STRING TypeName;
} OBJECT_DIRECTORY_INFORMATION, *POBJECT_DIRECTORY_INFORMATION;

// The DOS device directory of the logon session the machine's user processes run in: the
// directory of \Sessions\0\DosDevices named after the session's LUID (high and low part).
constexpr char16_t LogonSessionDosDevices[] = u"\\Sessions\\0\\DosDevices\\00000000-0002a4f1";

// Object-specific access rights the services check.
#define DIRECTORY_QUERY          0x0001
#define DIRECTORY_TRAVERSE       0x0002
#define SYMBOLIC_LINK_QUERY      0x0001
#define SYMBOLIC_LINK_ALL_ACCESS (STANDARD_RIGHTS_REQUIRED | 0x1)
#define EVENT_QUERY_STATE        0x0001

// A process and one of its threads, by id (NtQueryInformationThread).
typedef struct _CLIENT_ID
{
    HANDLE UniqueProcess;
    HANDLE UniqueThread;
} CLIENT_ID, *PCLIENT_ID;

// NtQueryInformationThread's one class here: ThreadBasicInformation (0).
constexpr ULONG ThreadBasicInformation = 0;

typedef struct _THREAD_BASIC_INFORMATION
{
    NTSTATUS ExitStatus; // STATUS_PENDING (STILL_ACTIVE) while the thread runs
    PVOID TebBaseAddress;
    CLIENT_ID ClientId;
    ULONG_PTR AffinityMask;
    KPRIORITY Priority;
    KPRIORITY BasePriority;
} THREAD_BASIC_INFORMATION, *PTHREAD_BASIC_INFORMATION;

// NtQueryInformationProcess's one class here: ProcessBasicInformation (0).
constexpr ULONG ProcessBasicInformation = 0;

typedef struct _PROCESS_BASIC_INFORMATION
{
    NTSTATUS ExitStatus; // STATUS_PENDING (STILL_ACTIVE) while the process runs
    PVOID PebBaseAddress;
    ULONG_PTR AffinityMask;
    KPRIORITY BasePriority;
    ULONG_PTR UniqueProcessId;
    ULONG_PTR InheritedFromUniqueProcessId;
} PROCESS_BASIC_INFORMATION, *PPROCESS_BASIC_INFORMATION;

// The pseudo-handle of the calling thread (NtCurrentThread).
inline HANDLE CurrentThreadHandle()
{
    return reinterpret_cast<HANDLE>(static_cast<LONG_PTR>(-2));
}

// A Plug and Play event the kernel keeps for user mode (NtGetPlugPlayEvents): a device's stack
// started or its removal finished, or a device interface was enabled or disabled.
enum PLUGPLAY_EVENT_KIND : ULONG
{
    PlugPlayDeviceArrival = 1,        // InstancePath
    PlugPlayDeviceRemoveComplete = 2, // InstancePath
    PlugPlayInterfaceArrival = 3,     // InstancePath, InterfaceClassGuid, SymbolicLink
    PlugPlayInterfaceRemoval = 4,     // likewise
};

#define PLUGPLAY_MAX_INSTANCE_PATH 200 // characters, with the terminating NUL (MAX_DEVICE_ID_LEN)
#define PLUGPLAY_MAX_SYMBOLIC_LINK 400

typedef struct _PLUGPLAY_EVENT_RECORD
{
    PLUGPLAY_EVENT_KIND Kind;
    GUID InterfaceClassGuid;                        // zero for a device event
    WCHAR InstancePath[PLUGPLAY_MAX_INSTANCE_PATH]; // USB\VID_2B4E&PID_0730\0001, NUL-terminated
    WCHAR SymbolicLink[PLUGPLAY_MAX_SYMBOLIC_LINK]; // \??\USB#...#{guid}, NUL-terminated; empty for a device
} PLUGPLAY_EVENT_RECORD, *PPLUGPLAY_EVENT_RECORD;

// Plug and Play device state changes (NtPlugPlayControlDevice): what cfgmgr32 asks the Plug and
// Play service for CM_Disable_DevNode, CM_Enable_DevNode and a stop and start of a node.
enum PLUGPLAY_DEVICE_CONTROL : ULONG
{
    PlugPlayDisableDevice = 1, // mark the node disabled, then remove its stack
    PlugPlayEnableDevice = 2,  // clear the mark; add and start the stack when no mark is left
    PlugPlayRestartDevice = 3, // remove the stack, then add and start it again
};

// Where the disabled mark of PlugPlayDisableDevice and PlugPlayEnableDevice goes.
#define PLUGPLAY_CONTROL_GLOBAL         0x00000001 // ConfigFlags of the node's Enum key
#define PLUGPLAY_CONTROL_CONFIGSPECIFIC 0x00000002 // CSConfigFlags in the current hardware profile

// Why a removal was refused: the values of PNP_VETO_TYPE (cfg.h) that this kernel reports.
enum PLUGPLAY_VETO_KIND : ULONG
{
    PlugPlayVetoNone = 0,            // PNP_VetoTypeUnknown
    PlugPlayVetoOutstandingOpen = 5, // PNP_VetoOutstandingOpen: a handle is open on the device
    PlugPlayVetoDevice = 6,          // PNP_VetoDevice: its driver failed IRP_MN_QUERY_REMOVE_DEVICE
};

typedef struct _PLUGPLAY_VETO
{
    PLUGPLAY_VETO_KIND Kind;
    WCHAR Name[PLUGPLAY_MAX_INSTANCE_PATH]; // the device's instance path, NUL-terminated
} PLUGPLAY_VETO, *PPLUGPLAY_VETO;

// --- event tracing -----------------------------------------------------------------------
// What advapi32's trace controller functions hand the kernel's trace sessions (NtTraceControl).
enum TRACE_CONTROL_FUNCTION : ULONG
{
    TraceControlStartSession = 1,
    TraceControlStopSession = 2,
    TraceControlQuerySession = 3,
    TraceControlFlushSession = 5,
    TraceControlEnableProvider = 6,
};

#define TRACE_SESSION_NAME_CHARS 1024 // with the terminator
#define TRACE_LOGFILE_NAME_CHARS 1024

// In and out of every trace control function. A session is named by LoggerId, or by LoggerName
// when LoggerId is 0. Start takes the settings and the names and returns the session's LoggerId;
// query, flush and stop return the session's settings, counters and names as they are after the
// call; enable takes the session's LoggerId and the provider's ControlGuid, Enable, EnableFlags
// and EnableLevel.
typedef struct _TRACE_SESSION_INFORMATION
{
    ULONG LoggerId;
    GUID Guid;             // the session's
    ULONG BufferSize;      // KB
    ULONG MaximumFileSize; // MB; 0: no limit (a sequential file)
    ULONG LogFileMode;     // EVENT_TRACE_FILE_MODE_* and EVENT_TRACE_*_MODE
    ULONG FlushTimer;
    ULONG ClientContext; // clock type
    ULONG EnableFlags;   // the flags of the last provider enabled in the session
    ULONG NumberOfBuffers;
    ULONG FreeBuffers;
    ULONG EventsLost;
    ULONG BuffersWritten; // the log file's header buffer included
    ULONG LogBuffersLost;
    ULONG RealTimeBuffersLost;
    ULONG LoggerThreadId;
    GUID ControlGuid;
    ULONG Enable;
    ULONG EnableLevel;
    WCHAR LoggerName[TRACE_SESSION_NAME_CHARS];  // NUL-terminated
    WCHAR LogFileName[TRACE_LOGFILE_NAME_CHARS]; // NUL-terminated full path on C:; empty: no file
} TRACE_SESSION_INFORMATION, *PTRACE_SESSION_INFORMATION;

struct SystemServices
{
    // --- files and devices ---
    NTSTATUS(NTAPI* NtCreateFile)
    (PHANDLE FileHandle, ACCESS_MASK DesiredAccess, POBJECT_ATTRIBUTES ObjectAttributes,
     PIO_STATUS_BLOCK IoStatusBlock, PLARGE_INTEGER AllocationSize, ULONG FileAttributes, ULONG ShareAccess,
     ULONG CreateDisposition, ULONG CreateOptions, PVOID EaBuffer, ULONG EaLength);
    NTSTATUS(NTAPI* NtReadFile)
    (HANDLE FileHandle, HANDLE Event, PIO_APC_ROUTINE ApcRoutine, PVOID ApcContext,
     PIO_STATUS_BLOCK IoStatusBlock, PVOID Buffer, ULONG Length, PLARGE_INTEGER ByteOffset, PULONG Key);
    NTSTATUS(NTAPI* NtWriteFile)
    (HANDLE FileHandle, HANDLE Event, PIO_APC_ROUTINE ApcRoutine, PVOID ApcContext,
     PIO_STATUS_BLOCK IoStatusBlock, PVOID Buffer, ULONG Length, PLARGE_INTEGER ByteOffset, PULONG Key);
    NTSTATUS(NTAPI* NtDeviceIoControlFile)
    (HANDLE FileHandle, HANDLE Event, PIO_APC_ROUTINE ApcRoutine, PVOID ApcContext,
     PIO_STATUS_BLOCK IoStatusBlock, ULONG IoControlCode, PVOID InputBuffer, ULONG InputBufferLength,
     PVOID OutputBuffer, ULONG OutputBufferLength);
    NTSTATUS(NTAPI* NtFlushBuffersFile)(HANDLE FileHandle, PIO_STATUS_BLOCK IoStatusBlock);
    NTSTATUS(NTAPI* NtCancelIoFile)(HANDLE FileHandle, PIO_STATUS_BLOCK IoStatusBlock);
    NTSTATUS(NTAPI* NtCancelIoFileEx)
    (HANDLE FileHandle, PIO_STATUS_BLOCK IoRequestToCancel, PIO_STATUS_BLOCK IoStatusBlock);
    NTSTATUS(NTAPI* NtQueryInformationFile)
    (HANDLE FileHandle, PIO_STATUS_BLOCK IoStatusBlock, PVOID FileInformation, ULONG Length,
     FILE_INFORMATION_CLASS FileInformationClass);
    NTSTATUS(NTAPI* NtSetInformationFile)
    (HANDLE FileHandle, PIO_STATUS_BLOCK IoStatusBlock, PVOID FileInformation, ULONG Length,
     FILE_INFORMATION_CLASS FileInformationClass);

    // --- handles and dispatcher objects ---
    NTSTATUS(NTAPI* NtClose)(HANDLE Handle);
    NTSTATUS(NTAPI* NtCreateEvent)
    (PHANDLE EventHandle, ACCESS_MASK DesiredAccess, POBJECT_ATTRIBUTES ObjectAttributes,
     EVENT_TYPE EventType, BOOLEAN InitialState);
    NTSTATUS(NTAPI* NtOpenEvent)
    (PHANDLE EventHandle, ACCESS_MASK DesiredAccess, POBJECT_ATTRIBUTES ObjectAttributes);
    NTSTATUS(NTAPI* NtSetEvent)(HANDLE EventHandle, PLONG PreviousState);
    NTSTATUS(NTAPI* NtResetEvent)(HANDLE EventHandle, PLONG PreviousState);
    NTSTATUS(NTAPI* NtCreateMutant)
    (PHANDLE MutantHandle, ACCESS_MASK DesiredAccess, POBJECT_ATTRIBUTES ObjectAttributes,
     BOOLEAN InitialOwner);
    NTSTATUS(NTAPI* NtOpenMutant)
    (PHANDLE MutantHandle, ACCESS_MASK DesiredAccess, POBJECT_ATTRIBUTES ObjectAttributes);
    NTSTATUS(NTAPI* NtReleaseMutant)(HANDLE MutantHandle, PLONG PreviousCount);
    NTSTATUS(NTAPI* NtWaitForSingleObject)(HANDLE Handle, BOOLEAN Alertable, PLARGE_INTEGER Timeout);
    NTSTATUS(NTAPI* NtWaitForMultipleObjects)
    (ULONG Count, HANDLE* Handles, WAIT_TYPE WaitType, BOOLEAN Alertable, PLARGE_INTEGER Timeout);
    NTSTATUS(NTAPI* NtDelayExecution)(BOOLEAN Alertable, PLARGE_INTEGER DelayInterval);
    NTSTATUS(NTAPI* NtQuerySystemTime)(PLARGE_INTEGER SystemTime);

    // --- threads ---
    // Ends the calling thread's life in the kernel (ThreadHandle is CurrentThreadHandle(), or a
    // handle to the caller's own thread): the mutants it owns are abandoned, the I/O it started is
    // cancelled, and a created thread's object gets ExitStatus and is signalled. Of another thread
    // only one that has not started yet can be ended (STATUS_NOT_SUPPORTED otherwise).
    NTSTATUS(NTAPI* NtTerminateThread)(HANDLE ThreadHandle, NTSTATUS ExitStatus);
    // A thread of the calling process comes to be in two steps, since user mode starts the host
    // thread itself. CreateUserThread makes the kernel's thread object: *ThreadHandle gets a handle
    // to it (a wait on it ends when the thread ends), *ThreadId its id; CreateSuspended gives it a
    // suspend count of 1. The thread counts as running from here on.
    NTSTATUS(NTAPI* CreateUserThread)(PHANDLE ThreadHandle, BOOLEAN CreateSuspended, PULONG ThreadId);
    // The new host thread's first call: binds it to the thread of that id and returns once the
    // thread's suspend count is 0, having waited in the dispatcher until then.
    // STATUS_INVALID_PARAMETER when there is no such thread waiting to start.
    NTSTATUS(NTAPI* StartUserThread)(ULONG ThreadId);
    // The suspend count goes up or down by one; *PreviousSuspendCount (when given) gets the count
    // before. Only a thread that has not begun its start routine can be suspended
    // (STATUS_NOT_SUPPORTED otherwise).
    NTSTATUS(NTAPI* NtSuspendThread)(HANDLE ThreadHandle, PULONG PreviousSuspendCount);
    NTSTATUS(NTAPI* NtResumeThread)(HANDLE ThreadHandle, PULONG PreviousSuspendCount);
    // ThreadBasicInformation only (STATUS_INVALID_INFO_CLASS for another class).
    NTSTATUS(NTAPI* NtQueryInformationThread)
    (HANDLE ThreadHandle, ULONG ThreadInformationClass, PVOID ThreadInformation,
     ULONG ThreadInformationLength, PULONG ReturnLength);

    // --- object namespace: symbolic links and directories ---
    NTSTATUS(NTAPI* NtCreateSymbolicLinkObject)
    (PHANDLE LinkHandle, ACCESS_MASK DesiredAccess, POBJECT_ATTRIBUTES ObjectAttributes,
     PUNICODE_STRING LinkTarget);
    NTSTATUS(NTAPI* NtOpenSymbolicLinkObject)
    (PHANDLE LinkHandle, ACCESS_MASK DesiredAccess, POBJECT_ATTRIBUTES ObjectAttributes);
    NTSTATUS(NTAPI* NtQuerySymbolicLinkObject)
    (HANDLE LinkHandle, PUNICODE_STRING LinkTarget, PULONG ReturnedLength);
    // Makes a permanent object temporary: it leaves the namespace when its last handle closes.
    NTSTATUS(NTAPI* NtMakeTemporaryObject)(HANDLE Handle);
    NTSTATUS(NTAPI* NtOpenDirectoryObject)
    (PHANDLE DirectoryHandle, ACCESS_MASK DesiredAccess, POBJECT_ATTRIBUTES ObjectAttributes);
    NTSTATUS(NTAPI* NtQueryDirectoryObject)
    (HANDLE DirectoryHandle, PVOID Buffer, ULONG Length, BOOLEAN ReturnSingleEntry, BOOLEAN RestartScan,
     PULONG Context, PULONG ReturnLength);

    // --- registry ---
    NTSTATUS(NTAPI* NtOpenKey)
    (PHANDLE KeyHandle, ACCESS_MASK DesiredAccess, POBJECT_ATTRIBUTES ObjectAttributes);
    NTSTATUS(NTAPI* NtCreateKey)
    (PHANDLE KeyHandle, ACCESS_MASK DesiredAccess, POBJECT_ATTRIBUTES ObjectAttributes, ULONG TitleIndex,
     PUNICODE_STRING Class, ULONG CreateOptions, PULONG Disposition);
    NTSTATUS(NTAPI* NtEnumerateKey)
    (HANDLE KeyHandle, ULONG Index, KEY_INFORMATION_CLASS KeyInformationClass, PVOID KeyInformation,
     ULONG Length, PULONG ResultLength);
    NTSTATUS(NTAPI* NtEnumerateValueKey)
    (HANDLE KeyHandle, ULONG Index, KEY_VALUE_INFORMATION_CLASS KeyValueInformationClass,
     PVOID KeyValueInformation, ULONG Length, PULONG ResultLength);
    NTSTATUS(NTAPI* NtQueryKey)
    (HANDLE KeyHandle, KEY_INFORMATION_CLASS KeyInformationClass, PVOID KeyInformation, ULONG Length,
     PULONG ResultLength);
    NTSTATUS(NTAPI* NtQueryValueKey)
    (HANDLE KeyHandle, PUNICODE_STRING ValueName, KEY_VALUE_INFORMATION_CLASS KeyValueInformationClass,
     PVOID KeyValueInformation, ULONG Length, PULONG ResultLength);
    NTSTATUS(NTAPI* NtSetValueKey)
    (HANDLE KeyHandle, PUNICODE_STRING ValueName, ULONG TitleIndex, ULONG Type, PVOID Data, ULONG DataSize);
    NTSTATUS(NTAPI* NtDeleteValueKey)(HANDLE KeyHandle, PUNICODE_STRING ValueName);
    NTSTATUS(NTAPI* NtDeleteKey)(HANDLE KeyHandle);

    // --- Plug and Play queries ---
    // What cfgmgr32 asks the Plug and Play service (CM_Get_Device_ID_List, CM_Get_Device_Interface_List).
    // Each fills the caller's buffer with a multi-string (strings, each with its NUL, then one more
    // NUL; an empty list is a lone NUL). *ReturnLength is always the size in bytes the list needs;
    // a buffer too small for it gets nothing and the call fails with STATUS_BUFFER_TOO_SMALL.
    // Instance IDs come upper-cased, as Windows writes them (USB\VID_2B4E&PID_0730\TR0001).
    //
    // The device instance IDs of the device nodes: with PresentOnly, those whose device is on its
    // bus now (not pulled out, not waiting for its removal, not removed safely); otherwise every
    // node the machine has known since it booted.
    NTSTATUS(NTAPI* NtPlugPlayQueryDeviceList)
    (BOOLEAN PresentOnly, PWSTR Buffer, ULONG BufferLength, PULONG ReturnLength);
    // The interfaces of one class, or of every class without one (with EnabledOnly, only those
    // enabled now), in the order they were registered: for each, two strings, its device's
    // instance ID and then its symbolic link in the kernel's form, which ends with its class
    // (\??\USB#VID_2B4E&PID_0730#TR0001#{a5dcbf10-6530-11d2-901f-00c04fb951ed}).
    NTSTATUS(NTAPI* NtPlugPlayQueryInterfaceList)
    (const GUID* InterfaceClassGuid, BOOLEAN EnabledOnly, PWSTR Buffer, ULONG BufferLength,
     PULONG ReturnLength);

    // --- atoms (registered window messages) ---
    NTSTATUS(NTAPI* NtAddAtom)(PWSTR AtomName, ULONG Length, PRTL_ATOM Atom);

    // --- Plug and Play events ---
    // Subscribes the calling process to the Plug and Play manager's events and returns a handle to
    // a notification event that is signalled while events wait for it. Events that happen before
    // the process subscribed are not kept for it.
    NTSTATUS(NTAPI* NtOpenPlugPlayEventQueue)(PHANDLE PendingEventHandle);
    // Takes up to Count waiting events, oldest first, into Buffer: STATUS_MORE_ENTRIES when more
    // wait, STATUS_NO_MORE_ENTRIES (and *Returned 0) when none did, STATUS_INVALID_PARAMETER for
    // no buffer, and STATUS_INVALID_DEVICE_STATE before the process subscribed.
    NTSTATUS(NTAPI* NtGetPlugPlayEvents)(PPLUGPLAY_EVENT_RECORD Buffer, ULONG Count, PULONG Returned);

    // --- Plug and Play device state: Device Manager's disable, enable and restart ---
    // A device node's status as cfgmgr32's CM_Get_DevNode_Status reports it: *Status gets its DN_*
    // flags (cfg.h), *Problem its CM_PROB_* code (0 without a problem). STATUS_NO_SUCH_DEVICE when
    // the machine knows no node of that instance path.
    NTSTATUS(NTAPI* NtPlugPlayQueryDeviceStatus)(PUNICODE_STRING InstancePath, PULONG Status, PULONG Problem);
    // Changes a node's state (see PLUGPLAY_DEVICE_CONTROL; Flags are PLUGPLAY_CONTROL_* for a
    // disable or an enable, 0 for a restart). A stack is removed as in an orderly removal: first
    // the kernel checks that no handle is open on it, then IRP_MN_QUERY_REMOVE_DEVICE, then
    // IRP_MN_REMOVE_DEVICE; the driver unloads when it has no device left. When the removal is
    // refused, the stack stays as it was and the call fails with STATUS_PLUGPLAY_QUERY_VETOED,
    // *Veto (when given) saying why; a disable keeps its mark then, for the machine's next start.
    // STATUS_NO_SUCH_DEVICE for a node that is not present, STATUS_INVALID_PARAMETER for a bad
    // control or flags.
    NTSTATUS(NTAPI* NtPlugPlayControlDevice)
    (PUNICODE_STRING InstancePath, PLUGPLAY_DEVICE_CONTROL Control, ULONG Flags, PPLUGPLAY_VETO Veto);

    // --- debugger output ---
    // What ntdll's DbgPrint hands the kernel's debugger service; OutputDebugString ends here when
    // no user-mode debugger takes it.
    NTSTATUS(NTAPI* DebugPrint)(PSTRING Output, ULONG ComponentId, ULONG Level);

    // --- child processes (CreateProcess) ---------------------------------------------------------
    // A child process comes to be in two steps, as a thread does: user mode starts the host process
    // (a program of the machine is a host executable), then CreateChildProcess makes the kernel's
    // objects for it. *ProcessHandle and *ThreadHandle get handles to the process and to its first
    // thread, each signalled for good when the host process ends; *ThreadId gets the thread's id.
    // STATUS_INVALID_PARAMETER when HostProcessId is not a child of the calling process.
    NTSTATUS(NTAPI* CreateChildProcess)
    (ULONG HostProcessId, PHANDLE ProcessHandle, PHANDLE ThreadHandle, PULONG ThreadId);
    // ProcessBasicInformation only (STATUS_INVALID_INFO_CLASS for another class); a handle to
    // another kind of object fails with STATUS_OBJECT_TYPE_MISMATCH.
    NTSTATUS(NTAPI* NtQueryInformationProcess)
    (HANDLE ProcessHandle, ULONG ProcessInformationClass, PVOID ProcessInformation,
     ULONG ProcessInformationLength, PULONG ReturnLength);

    // --- event tracing ---
    // The trace control functions (see TRACE_SESSION_INFORMATION): InBuffer and OutBuffer are one
    // TRACE_SESSION_INFORMATION each (STATUS_INFO_LENGTH_MISMATCH otherwise). A session that does
    // not run: STATUS_WMI_INSTANCE_NOT_FOUND; a name taken by a running session:
    // STATUS_OBJECT_NAME_COLLISION; a log file another session writes: STATUS_OBJECT_PATH_INVALID;
    // a log file whose folder is missing or not on C:: STATUS_OBJECT_PATH_NOT_FOUND.
    NTSTATUS(NTAPI* NtTraceControl)
    (ULONG FunctionCode, PVOID InBuffer, ULONG InBufferLength, PVOID OutBuffer, ULONG OutBufferLength,
     PULONG ReturnLength);
    // Whether the kernel holds a file (its host path) open in a way that denies this access to
    // others: STATUS_SHARING_VIOLATION when it does (a running session's log file is shared for
    // reading only), STATUS_SUCCESS otherwise.
    NTSTATUS(NTAPI* CheckHeldFileAccess)(PCSTR HostPath, ACCESS_MASK DesiredAccess);
};

// What user mode knows of the machine it runs on, besides its services.
struct MachineConnection
{
    const SystemServices* services;
    // Host folder of the machine: its shared state (named objects across processes, the atom table,
    // the debugger-output endpoint) lives below it.
    const char* rootDirectory;
    // Host folder standing for drive C:.
    const char* systemDrive;
};

// Implemented by user mode (ntdll): a machine connects when it boots and disconnects when it
// shuts down.
WINSIM_API void ConnectMachine(const MachineConnection& machine);
WINSIM_API void DisconnectMachine();

} // namespace winsim::syscall

// Implemented by the machine: boots the machine whose host folder is rootDirectory in this
// process and connects it. Returns 0 on success. User mode calls it when a process needs its
// machine and none has connected.
extern "C" WINSIM_API int WinsimHostMachine(const char* rootDirectory);
