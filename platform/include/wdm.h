// Kernel-mode interfaces of the simulated Windows machine: the part of the Windows Driver Kit's
// wdm.h that the machine implements, with the real names, constants, layouts and signatures.
#pragma once

#include <winsim/base.h>
#include <winsim/nttypes.h>
#include <ntstatus.h>

WINSIM_EXTERN_C_BEGIN

// ---------------------------------------------------------------------------------------------
// Interrupt request levels

#define PASSIVE_LEVEL  0
#define LOW_LEVEL      0
#define APC_LEVEL      1
#define DISPATCH_LEVEL 2
#define HIGH_LEVEL     15

WINSIM_API KIRQL KeGetCurrentIrql(void);
WINSIM_API VOID KeRaiseIrql(KIRQL NewIrql, PKIRQL OldIrql);
WINSIM_API VOID KeLowerIrql(KIRQL NewIrql);
WINSIM_API KIRQL KeRaiseIrqlToDpcLevel(void);

// PAGED_CODE(): pageable code states that it runs at or below APC_LEVEL. The kit's macro checks
// this in checked builds only; the simulated machine checks it in every build, and a caller above
// APC_LEVEL is a verifier stop that names the routine.
WINSIM_API VOID WinsimCheckPagedCode(PCSTR Routine);
#define PAGED_CODE() WinsimCheckPagedCode(__func__)

// ---------------------------------------------------------------------------------------------
// Processor modes, wait reasons

typedef enum _MODE
{
    KernelMode,
    UserMode,
    MaximumMode
} MODE;

typedef enum _KWAIT_REASON
{
    Executive = 0,
    FreePage,
    PageIn,
    PoolAllocation,
    DelayExecution,
    Suspended,
    UserRequest,
    WrExecutive,
    MaximumWaitReason = 41
} KWAIT_REASON;

// ---------------------------------------------------------------------------------------------
// Memory

typedef enum _POOL_TYPE
{
    NonPagedPool = 0,
    NonPagedPoolExecute = 0,
    PagedPool = 1,
    NonPagedPoolMustSucceed = 2,
    DontUseThisType = 3,
    NonPagedPoolCacheAligned = 4,
    PagedPoolCacheAligned = 5,
    NonPagedPoolCacheAlignedMustS = 6,
    MaxPoolType = 7,
    NonPagedPoolBase = 0,
    NonPagedPoolNx = 512,
    NonPagedPoolNxCacheAligned = 516,
    NonPagedPoolSessionNx = 544,
} POOL_TYPE;

typedef ULONG64 POOL_FLAGS;
#define POOL_FLAG_USE_QUOTA         0x0000000000000001ULL
#define POOL_FLAG_UNINITIALIZED     0x0000000000000002ULL
#define POOL_FLAG_SESSION           0x0000000000000004ULL
#define POOL_FLAG_CACHE_ALIGNED     0x0000000000000008ULL
#define POOL_FLAG_RAISE_ON_FAILURE  0x0000000000000020ULL
#define POOL_FLAG_NON_PAGED         0x0000000000000040ULL
#define POOL_FLAG_NON_PAGED_EXECUTE 0x0000000000000080ULL
#define POOL_FLAG_PAGED             0x0000000000000100ULL

WINSIM_API PVOID ExAllocatePoolWithTag(POOL_TYPE PoolType, SIZE_T NumberOfBytes, ULONG Tag);
WINSIM_API PVOID ExAllocatePool2(POOL_FLAGS Flags, SIZE_T NumberOfBytes, ULONG Tag);
WINSIM_API PVOID ExAllocatePoolZero(POOL_TYPE PoolType, SIZE_T NumberOfBytes, ULONG Tag);
WINSIM_API VOID ExFreePoolWithTag(PVOID P, ULONG Tag);
WINSIM_API VOID ExFreePool(PVOID P);

#define RtlCopyMemory(Destination, Source, Length)  __builtin_memcpy((Destination), (Source), (Length))
#define RtlMoveMemory(Destination, Source, Length)  __builtin_memmove((Destination), (Source), (Length))
#define RtlFillMemory(Destination, Length, Fill)    __builtin_memset((Destination), (Fill), (Length))
#define RtlZeroMemory(Destination, Length)          __builtin_memset((Destination), 0, (Length))
#define RtlEqualMemory(Destination, Source, Length) (!__builtin_memcmp((Destination), (Source), (Length)))
WINSIM_API SIZE_T RtlCompareMemory(const VOID* Source1, const VOID* Source2, SIZE_T Length);

typedef enum _MM_PAGE_PRIORITY
{
    LowPagePriority,
    NormalPagePriority = 16,
    HighPagePriority = 32
} MM_PAGE_PRIORITY;
#define MdlMappingNoWrite   0x80000000
#define MdlMappingNoExecute 0x40000000

WINSIM_API PVOID MmGetSystemRoutineAddress(PUNICODE_STRING SystemRoutineName);

// ---------------------------------------------------------------------------------------------
// Version information

typedef struct _OSVERSIONINFOW
{
    ULONG dwOSVersionInfoSize;
    ULONG dwMajorVersion;
    ULONG dwMinorVersion;
    ULONG dwBuildNumber;
    ULONG dwPlatformId;
    WCHAR szCSDVersion[128];
} OSVERSIONINFOW, *POSVERSIONINFOW, *LPOSVERSIONINFOW, RTL_OSVERSIONINFOW, *PRTL_OSVERSIONINFOW;

typedef struct _OSVERSIONINFOEXW
{
    ULONG dwOSVersionInfoSize;
    ULONG dwMajorVersion;
    ULONG dwMinorVersion;
    ULONG dwBuildNumber;
    ULONG dwPlatformId;
    WCHAR szCSDVersion[128];
    USHORT wServicePackMajor;
    USHORT wServicePackMinor;
    USHORT wSuiteMask;
    UCHAR wProductType;
    UCHAR wReserved;
} OSVERSIONINFOEXW, *POSVERSIONINFOEXW, RTL_OSVERSIONINFOEXW, *PRTL_OSVERSIONINFOEXW;

WINSIM_API NTSTATUS RtlGetVersion(PRTL_OSVERSIONINFOW lpVersionInformation);
WINSIM_API BOOLEAN PsGetVersion(PULONG MajorVersion, PULONG MinorVersion, PULONG BuildNumber,
                                PUNICODE_STRING CSDVersion);

// ---------------------------------------------------------------------------------------------
// Driver runtime initialisation (non-executable pool opt-in)

typedef enum _SYSTEM_INFORMATION_CLASS_FOR_RUNTIME
{
    SystemPoolZeroingInformation = 227
} SYSTEM_INFORMATION_CLASS_FOR_RUNTIME;

typedef struct _SYSTEM_POOL_ZEROING_INFORMATION
{
    BOOLEAN PoolZeroingSupportPresent;
} SYSTEM_POOL_ZEROING_INFORMATION, *PSYSTEM_POOL_ZEROING_INFORMATION;

typedef NTSTATUS(NTAPI* PFN_NT_QUERY_SYSTEM_INFORMATION)(ULONG SystemInformationClass,
                                                         PVOID SystemInformation,
                                                         ULONG SystemInformationLength, PULONG ReturnLength);

#define DrvRtPoolNxOptIn 0x00000001

WINSIM_EXTERN_C_END

#ifdef __cplusplus
// The defaults a driver's allocations use; the runtime opt-in below changes them. They live in the
// driver image itself, as the kit's headers arrange.
inline POOL_TYPE ExDefaultNonPagedPoolType = NonPagedPool;
inline ULONG ExDefaultMdlProtection = 0;
inline BOOLEAN ExPoolZeroingNativelySupported = FALSE;

inline VOID ExInitializeDriverRuntime(ULONG RuntimeFlags)
{
    UNICODE_STRING name;
    name.Buffer = (PWCH)L"NtQuerySystemInformation";
    name.Length = (USHORT)(sizeof(L"NtQuerySystemInformation") - sizeof(WCHAR));
    name.MaximumLength = (USHORT)sizeof(L"NtQuerySystemInformation");
    PFN_NT_QUERY_SYSTEM_INFORMATION query = (PFN_NT_QUERY_SYSTEM_INFORMATION)MmGetSystemRoutineAddress(&name);
    if (query != NULL)
    {
        SYSTEM_POOL_ZEROING_INFORMATION info = {FALSE};
        if (NT_SUCCESS(query(SystemPoolZeroingInformation, &info, sizeof(info), NULL)) &&
            info.PoolZeroingSupportPresent)
        {
            ExPoolZeroingNativelySupported = TRUE;
        }
    }
    if ((RuntimeFlags & DrvRtPoolNxOptIn) != 0)
    {
        RTL_OSVERSIONINFOW version;
        __builtin_memset(&version, 0, sizeof(version));
        version.dwOSVersionInfoSize = sizeof(version);
        if (!NT_SUCCESS(RtlGetVersion(&version)))
        {
            version.dwMajorVersion = 5;
            version.dwMinorVersion = 0;
        }
        if (version.dwMajorVersion > 6 || (version.dwMajorVersion == 6 && version.dwMinorVersion >= 2))
        {
            ExDefaultNonPagedPoolType = NonPagedPoolNx;
            ExDefaultMdlProtection = MdlMappingNoExecute;
        }
    }
}
#endif

WINSIM_EXTERN_C_BEGIN

// ---------------------------------------------------------------------------------------------
// Strings

WINSIM_API VOID RtlInitUnicodeString(PUNICODE_STRING DestinationString, PCWSTR SourceString);
WINSIM_API VOID RtlInitAnsiString(PANSI_STRING DestinationString, PCSTR SourceString);
WINSIM_API VOID RtlCopyUnicodeString(PUNICODE_STRING DestinationString, PCUNICODE_STRING SourceString);
WINSIM_API LONG RtlCompareUnicodeString(PCUNICODE_STRING String1, PCUNICODE_STRING String2,
                                        BOOLEAN CaseInSensitive);
WINSIM_API BOOLEAN RtlEqualUnicodeString(PCUNICODE_STRING String1, PCUNICODE_STRING String2,
                                         BOOLEAN CaseInSensitive);
WINSIM_API NTSTATUS RtlAppendUnicodeToString(PUNICODE_STRING Destination, PCWSTR Source);
WINSIM_API NTSTATUS RtlAppendUnicodeStringToString(PUNICODE_STRING Destination, PCUNICODE_STRING Source);
WINSIM_API NTSTATUS RtlStringFromGUID(REFGUID Guid, PUNICODE_STRING GuidString);
WINSIM_API VOID RtlFreeUnicodeString(PUNICODE_STRING UnicodeString);

// The kernel's own printf family (Windows semantics: %ws wide, %s narrow in a narrow format).
WINSIM_API int _vsnwprintf(wchar_t* buffer, size_t count, const wchar_t* format, va_list argptr);
WINSIM_API int _snwprintf(wchar_t* buffer, size_t count, const wchar_t* format, ...);
WINSIM_API int _vsnprintf(char* buffer, size_t count, const char* format, va_list argptr);
WINSIM_API int _snprintf(char* buffer, size_t count, const char* format, ...);

#define DECLARE_CONST_UNICODE_STRING(_var, _string)                                                          \
    const WCHAR _var##_buffer[] = _string;                                                                   \
    const UNICODE_STRING _var = {sizeof(_string) - sizeof(WCHAR), sizeof(_string), (PWCH)_var##_buffer}
#define DECLARE_UNICODE_STRING_SIZE(_var, _size)                                                             \
    WCHAR _var##_buffer[_size];                                                                              \
    UNICODE_STRING _var = {0, (_size) * sizeof(WCHAR), _var##_buffer}

// ---------------------------------------------------------------------------------------------
// Interlocked operations

#include <winsim/interlocked.h>

// Plain flags that several processors touch without a lock: single loads and stores the compiler
// may neither tear nor elide, with no ordering beyond that.
inline BOOLEAN ReadBooleanNoFence(const volatile BOOLEAN* Source)
{
    return __atomic_load_n(Source, __ATOMIC_RELAXED);
}
inline VOID WriteBooleanNoFence(volatile BOOLEAN* Destination, BOOLEAN Value)
{
    __atomic_store_n(Destination, Value, __ATOMIC_RELAXED);
}

// ---------------------------------------------------------------------------------------------
// Doubly linked lists

WINSIM_EXTERN_C_END

#ifdef __cplusplus
inline VOID InitializeListHead(PLIST_ENTRY ListHead)
{
    ListHead->Flink = ListHead->Blink = ListHead;
}
inline BOOLEAN IsListEmpty(const LIST_ENTRY* ListHead)
{
    return (BOOLEAN)(ListHead->Flink == ListHead);
}
inline BOOLEAN RemoveEntryList(PLIST_ENTRY Entry)
{
    PLIST_ENTRY next = Entry->Flink;
    PLIST_ENTRY prev = Entry->Blink;
    prev->Flink = next;
    next->Blink = prev;
    return (BOOLEAN)(next == prev);
}
inline PLIST_ENTRY RemoveHeadList(PLIST_ENTRY ListHead)
{
    PLIST_ENTRY entry = ListHead->Flink;
    RemoveEntryList(entry);
    return entry;
}
inline VOID InsertTailList(PLIST_ENTRY ListHead, PLIST_ENTRY Entry)
{
    PLIST_ENTRY last = ListHead->Blink;
    Entry->Flink = ListHead;
    Entry->Blink = last;
    last->Flink = Entry;
    ListHead->Blink = Entry;
}
inline VOID InsertHeadList(PLIST_ENTRY ListHead, PLIST_ENTRY Entry)
{
    PLIST_ENTRY first = ListHead->Flink;
    Entry->Flink = first;
    Entry->Blink = ListHead;
    first->Blink = Entry;
    ListHead->Flink = Entry;
}
#endif

WINSIM_EXTERN_C_BEGIN

// ---------------------------------------------------------------------------------------------
// Spin locks

typedef ULONG_PTR KSPIN_LOCK;
typedef KSPIN_LOCK* PKSPIN_LOCK;

WINSIM_API VOID KeInitializeSpinLock(PKSPIN_LOCK SpinLock);
WINSIM_API KIRQL KeAcquireSpinLockRaiseToDpc(PKSPIN_LOCK SpinLock);
WINSIM_API VOID KeReleaseSpinLock(PKSPIN_LOCK SpinLock, KIRQL NewIrql);
WINSIM_API VOID KeAcquireSpinLockAtDpcLevel(PKSPIN_LOCK SpinLock);
WINSIM_API VOID KeReleaseSpinLockFromDpcLevel(PKSPIN_LOCK SpinLock);
#define KeAcquireSpinLock(SpinLock, OldIrql) *(OldIrql) = KeAcquireSpinLockRaiseToDpc(SpinLock)

// ---------------------------------------------------------------------------------------------
// Dispatcher objects: events, waits, time

typedef struct _DISPATCHER_HEADER
{
    UCHAR Type;
    UCHAR Signalling;
    UCHAR Size;
    UCHAR Reserved1;
    LONG SignalState;
    LIST_ENTRY WaitListHead;
} DISPATCHER_HEADER;

typedef struct _KEVENT
{
    DISPATCHER_HEADER Header;
} KEVENT, *PKEVENT, *PRKEVENT;

typedef LONG KPRIORITY;
#define IO_NO_INCREMENT     0
#define IO_SERIAL_INCREMENT 2
#define EVENT_INCREMENT     1

// A mutex (mutant): owned by one thread at a time, recursively; SignalState is 1 while free and
// goes down by one for each acquisition by its owner.
typedef struct _KMUTANT
{
    DISPATCHER_HEADER Header;
    LIST_ENTRY MutantListEntry;
    struct _KTHREAD* OwnerThread;
    BOOLEAN Abandoned;
    UCHAR ApcDisable;
} KMUTANT, *PKMUTANT, *PRKMUTANT, KMUTEX, *PKMUTEX, *PRKMUTEX;

WINSIM_API VOID KeInitializeEvent(PRKEVENT Event, EVENT_TYPE Type, BOOLEAN State);
WINSIM_API LONG KeSetEvent(PRKEVENT Event, KPRIORITY Increment, BOOLEAN Wait);
WINSIM_API VOID KeClearEvent(PRKEVENT Event);
WINSIM_API LONG KeResetEvent(PRKEVENT Event);
WINSIM_API LONG KeReadStateEvent(PRKEVENT Event);
WINSIM_API VOID KeInitializeMutex(PRKMUTEX Mutex, ULONG Level);
WINSIM_API LONG KeReleaseMutex(PRKMUTEX Mutex, BOOLEAN Wait);
WINSIM_API LONG KeReadStateMutex(PRKMUTEX Mutex);
WINSIM_API NTSTATUS KeWaitForSingleObject(PVOID Object, KWAIT_REASON WaitReason, KPROCESSOR_MODE WaitMode,
                                          BOOLEAN Alertable, PLARGE_INTEGER Timeout);
WINSIM_API NTSTATUS KeDelayExecutionThread(KPROCESSOR_MODE WaitMode, BOOLEAN Alertable,
                                           PLARGE_INTEGER Interval);

// The calling thread's kernel thread object (opaque to drivers).
typedef struct _KTHREAD* PKTHREAD;
typedef struct _KTHREAD* PRKTHREAD;
WINSIM_API PKTHREAD KeGetCurrentThread(void);

WINSIM_API VOID KeQuerySystemTime(PLARGE_INTEGER CurrentTime);
WINSIM_API VOID KeQuerySystemTimePrecise(PLARGE_INTEGER CurrentTime);
WINSIM_API ULONGLONG KeQueryInterruptTime(void);

// ---------------------------------------------------------------------------------------------
// Deferred procedure calls and timers

struct _KDPC;
typedef VOID KDEFERRED_ROUTINE(struct _KDPC* Dpc, PVOID DeferredContext, PVOID SystemArgument1,
                               PVOID SystemArgument2);
typedef KDEFERRED_ROUTINE* PKDEFERRED_ROUTINE;

typedef struct _KDPC
{
    UCHAR Type;
    UCHAR Importance;
    USHORT Number;
    LIST_ENTRY DpcListEntry;
    PKDEFERRED_ROUTINE DeferredRoutine;
    PVOID DeferredContext;
    PVOID SystemArgument1;
    PVOID SystemArgument2;
    PVOID DpcData;
} KDPC, *PKDPC, *PRKDPC;

typedef struct _KTIMER
{
    DISPATCHER_HEADER Header;
    ULARGE_INTEGER DueTime;
    LIST_ENTRY TimerListEntry;
    struct _KDPC* Dpc;
    ULONG Processor;
    LONG Period;
} KTIMER, *PKTIMER, *PRKTIMER;

typedef enum _TIMER_TYPE
{
    NotificationTimer,
    SynchronizationTimer
} TIMER_TYPE;

WINSIM_API VOID KeInitializeDpc(PRKDPC Dpc, PKDEFERRED_ROUTINE DeferredRoutine, PVOID DeferredContext);
WINSIM_API BOOLEAN KeInsertQueueDpc(PRKDPC Dpc, PVOID SystemArgument1, PVOID SystemArgument2);
WINSIM_API BOOLEAN KeRemoveQueueDpc(PRKDPC Dpc);
WINSIM_API VOID KeFlushQueuedDpcs(void);
WINSIM_API VOID KeInitializeTimer(PKTIMER Timer);
WINSIM_API VOID KeInitializeTimerEx(PKTIMER Timer, TIMER_TYPE Type);
WINSIM_API BOOLEAN KeSetTimer(PKTIMER Timer, LARGE_INTEGER DueTime, PKDPC Dpc);
WINSIM_API BOOLEAN KeSetTimerEx(PKTIMER Timer, LARGE_INTEGER DueTime, LONG Period, PKDPC Dpc);
WINSIM_API BOOLEAN KeCancelTimer(PKTIMER Timer);
WINSIM_API BOOLEAN KeReadStateTimer(PKTIMER Timer);

// ---------------------------------------------------------------------------------------------
// Objects, handles, registry

WINSIM_API NTSTATUS ZwClose(HANDLE Handle);
WINSIM_API VOID ObfReferenceObject(PVOID Object);
WINSIM_API VOID ObfDereferenceObject(PVOID Object);
#define ObReferenceObject(Object)   ObfReferenceObject(Object)
#define ObDereferenceObject(Object) ObfDereferenceObject(Object)

WINSIM_API NTSTATUS ZwOpenKey(PHANDLE KeyHandle, ACCESS_MASK DesiredAccess,
                              POBJECT_ATTRIBUTES ObjectAttributes);
WINSIM_API NTSTATUS ZwCreateKey(PHANDLE KeyHandle, ACCESS_MASK DesiredAccess,
                                POBJECT_ATTRIBUTES ObjectAttributes, ULONG TitleIndex, PUNICODE_STRING Class,
                                ULONG CreateOptions, PULONG Disposition);
WINSIM_API NTSTATUS ZwQueryValueKey(HANDLE KeyHandle, PUNICODE_STRING ValueName,
                                    KEY_VALUE_INFORMATION_CLASS KeyValueInformationClass,
                                    PVOID KeyValueInformation, ULONG Length, PULONG ResultLength);
WINSIM_API NTSTATUS ZwSetValueKey(HANDLE KeyHandle, PUNICODE_STRING ValueName, ULONG TitleIndex, ULONG Type,
                                  PVOID Data, ULONG DataSize);
WINSIM_API NTSTATUS ZwDeleteValueKey(HANDLE KeyHandle, PUNICODE_STRING ValueName);
WINSIM_API NTSTATUS ZwDeleteKey(HANDLE KeyHandle);
WINSIM_API NTSTATUS ZwEnumerateKey(HANDLE KeyHandle, ULONG Index, KEY_INFORMATION_CLASS KeyInformationClass,
                                   PVOID KeyInformation, ULONG Length, PULONG ResultLength);
WINSIM_API NTSTATUS ZwEnumerateValueKey(HANDLE KeyHandle, ULONG Index,
                                        KEY_VALUE_INFORMATION_CLASS KeyValueInformationClass,
                                        PVOID KeyValueInformation, ULONG Length, PULONG ResultLength);
WINSIM_API NTSTATUS ZwQueryKey(HANDLE KeyHandle, KEY_INFORMATION_CLASS KeyInformationClass,
                               PVOID KeyInformation, ULONG Length, PULONG ResultLength);
WINSIM_API NTSTATUS ZwFlushKey(HANDLE KeyHandle);

#define RTL_REGISTRY_ABSOLUTE   0
#define RTL_REGISTRY_SERVICES   1
#define RTL_REGISTRY_CONTROL    2
#define RTL_REGISTRY_WINDOWS_NT 3
#define RTL_REGISTRY_DEVICEMAP  4
#define RTL_REGISTRY_USER       5
#define RTL_REGISTRY_MAXIMUM    6
#define RTL_REGISTRY_HANDLE     0x40000000
#define RTL_REGISTRY_OPTIONAL   0x80000000

typedef NTSTATUS(NTAPI RTL_QUERY_REGISTRY_ROUTINE)(PWSTR ValueName, ULONG ValueType, PVOID ValueData,
                                                   ULONG ValueLength, PVOID Context, PVOID EntryContext);
typedef RTL_QUERY_REGISTRY_ROUTINE* PRTL_QUERY_REGISTRY_ROUTINE;

typedef struct _RTL_QUERY_REGISTRY_TABLE
{
    PRTL_QUERY_REGISTRY_ROUTINE QueryRoutine;
    ULONG Flags;
    PWSTR Name;
    PVOID EntryContext;
    ULONG DefaultType;
    PVOID DefaultData;
    ULONG DefaultLength;
} RTL_QUERY_REGISTRY_TABLE, *PRTL_QUERY_REGISTRY_TABLE;

#define RTL_QUERY_REGISTRY_SUBKEY          0x00000001
#define RTL_QUERY_REGISTRY_TOPKEY          0x00000002
#define RTL_QUERY_REGISTRY_REQUIRED        0x00000004
#define RTL_QUERY_REGISTRY_NOVALUE         0x00000008
#define RTL_QUERY_REGISTRY_NOEXPAND        0x00000010
#define RTL_QUERY_REGISTRY_DIRECT          0x00000020
#define RTL_QUERY_REGISTRY_DELETE          0x00000040
#define RTL_QUERY_REGISTRY_NOSTRING        0x00000080
#define RTL_QUERY_REGISTRY_TYPECHECK       0x00000100
#define RTL_QUERY_REGISTRY_TYPECHECK_SHIFT 24
#define RTL_QUERY_REGISTRY_TYPECHECK_MASK  (0xff << RTL_QUERY_REGISTRY_TYPECHECK_SHIFT)

WINSIM_API NTSTATUS RtlQueryRegistryValues(ULONG RelativeTo, PCWSTR Path,
                                           PRTL_QUERY_REGISTRY_TABLE QueryTable, PVOID Context,
                                           PVOID Environment);
WINSIM_API NTSTATUS RtlQueryRegistryValuesEx(ULONG RelativeTo, PCWSTR Path,
                                             PRTL_QUERY_REGISTRY_TABLE QueryTable, PVOID Context,
                                             PVOID Environment);
WINSIM_API NTSTATUS RtlWriteRegistryValue(ULONG RelativeTo, PCWSTR Path, PCWSTR ValueName, ULONG ValueType,
                                          PVOID ValueData, ULONG ValueLength);
WINSIM_API NTSTATUS RtlDeleteRegistryValue(ULONG RelativeTo, PCWSTR Path, PCWSTR ValueName);
WINSIM_API NTSTATUS RtlCreateRegistryKey(ULONG RelativeTo, PWSTR Path);
WINSIM_API NTSTATUS RtlCheckRegistryKey(ULONG RelativeTo, PWSTR Path);

#define PLUGPLAY_REGKEY_DEVICE            1
#define PLUGPLAY_REGKEY_DRIVER            2
#define PLUGPLAY_REGKEY_CURRENT_HWPROFILE 4

WINSIM_EXTERN_C_END

#include <winsim/wdm_io.h>

WINSIM_EXTERN_C_BEGIN

// ---------------------------------------------------------------------------------------------
// System worker threads: work items the I/O manager runs at PASSIVE_LEVEL

typedef enum _WORK_QUEUE_TYPE
{
    CriticalWorkQueue,
    DelayedWorkQueue,
    HyperCriticalWorkQueue,
    NormalWorkQueue,
    BackgroundWorkQueue,
    RealTimeWorkQueue,
    SuperCriticalWorkQueue,
    MaximumWorkQueue,
    CustomPriorityWorkQueue = 32
} WORK_QUEUE_TYPE;

typedef struct _IO_WORKITEM* PIO_WORKITEM;

typedef VOID IO_WORKITEM_ROUTINE(PDEVICE_OBJECT DeviceObject, PVOID Context);
typedef IO_WORKITEM_ROUTINE* PIO_WORKITEM_ROUTINE;
typedef VOID IO_WORKITEM_ROUTINE_EX(PVOID IoObject, PVOID Context, PIO_WORKITEM IoWorkItem);
typedef IO_WORKITEM_ROUTINE_EX* PIO_WORKITEM_ROUTINE_EX;

WINSIM_API PIO_WORKITEM IoAllocateWorkItem(PDEVICE_OBJECT DeviceObject);
WINSIM_API VOID IoFreeWorkItem(PIO_WORKITEM IoWorkItem);
WINSIM_API VOID IoQueueWorkItem(PIO_WORKITEM IoWorkItem, PIO_WORKITEM_ROUTINE WorkerRoutine,
                                WORK_QUEUE_TYPE QueueType, PVOID Context);
WINSIM_API VOID IoQueueWorkItemEx(PIO_WORKITEM IoWorkItem, PIO_WORKITEM_ROUTINE_EX WorkerRoutine,
                                  WORK_QUEUE_TYPE QueueType, PVOID Context);

WINSIM_EXTERN_C_END
