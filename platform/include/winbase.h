// kernel32 as far as the simulated machine implements it: errors, handles, synchronisation,
// processes and threads, time, files, communications devices, profile files, modules, message texts
// and local memory.
// Names, constants, structure layouts and signatures are those of the Windows SDK.
#pragma once

#include <winsim/base.h>
#include <windef.h>
#include <winerror.h>
#include <winsim/nttypes.h>

#include <string.h>

#define INVALID_HANDLE_VALUE ((HANDLE)(LONG_PTR)-1)
#define INFINITE             0xFFFFFFFF

#define WAIT_OBJECT_0    ((DWORD)0x00000000L)
#define WAIT_ABANDONED   ((DWORD)0x00000080L)
#define WAIT_ABANDONED_0 ((DWORD)0x00000080L)
#define WAIT_FAILED      ((DWORD)0xFFFFFFFF)

// Reasons passed to a DLL's entry point.
#define DLL_PROCESS_DETACH 0
#define DLL_PROCESS_ATTACH 1
#define DLL_THREAD_ATTACH  2
#define DLL_THREAD_DETACH  3

// File sharing, creation and attributes (the access rights are in winsim/nttypes.h).
#define FILE_SHARE_READ   0x00000001
#define FILE_SHARE_WRITE  0x00000002
#define FILE_SHARE_DELETE 0x00000004

#define CREATE_NEW        1
#define CREATE_ALWAYS     2
#define OPEN_EXISTING     3
#define OPEN_ALWAYS       4
#define TRUNCATE_EXISTING 5

#define FILE_ATTRIBUTE_READONLY  0x00000001
#define FILE_ATTRIBUTE_HIDDEN    0x00000002
#define FILE_ATTRIBUTE_SYSTEM    0x00000004
#define FILE_ATTRIBUTE_DIRECTORY 0x00000010
#define FILE_ATTRIBUTE_ARCHIVE   0x00000020
#define FILE_ATTRIBUTE_NORMAL    0x00000080
#define FILE_FLAG_WRITE_THROUGH  0x80000000
#define FILE_FLAG_OVERLAPPED     0x40000000
#define FILE_FLAG_NO_BUFFERING   0x20000000

// An overlapped request is done once the I/O manager has replaced the pending status in Internal.
#define HasOverlappedIoCompleted(lpOverlapped) (((DWORD)(lpOverlapped)->Internal) != 0x00000103L)

#define MAXIMUM_WAIT_OBJECTS 64

// DefineDosDevice flags.
#define DDD_RAW_TARGET_PATH       0x00000001
#define DDD_REMOVE_DEFINITION     0x00000002
#define DDD_EXACT_MATCH_ON_REMOVE 0x00000004
#define DDD_NO_BROADCAST_SYSTEM   0x00000008
#define DDD_LUID_BROADCAST_DRIVE  0x00000010

// Mutex access rights.
#define MUTANT_QUERY_STATE 0x0001
#define MUTANT_ALL_ACCESS  (STANDARD_RIGHTS_REQUIRED | SYNCHRONIZE | MUTANT_QUERY_STATE)
#define MUTEX_ALL_ACCESS   MUTANT_ALL_ACCESS
#define EVENT_MODIFY_STATE 0x0002
#define EVENT_ALL_ACCESS   (STANDARD_RIGHTS_REQUIRED | SYNCHRONIZE | 0x3)

// Threads: creation flags, access rights and the exit code of a thread that has not ended.
#define CREATE_SUSPENDED                  0x00000004
#define STACK_SIZE_PARAM_IS_A_RESERVATION 0x00010000
#define THREAD_TERMINATE                  0x0001
#define THREAD_SUSPEND_RESUME             0x0002
#define THREAD_QUERY_INFORMATION          0x0040
#define THREAD_QUERY_LIMITED_INFORMATION  0x0800
#define THREAD_ALL_ACCESS                 (STANDARD_RIGHTS_REQUIRED | SYNCHRONIZE | 0xFFFF)
#define STILL_ACTIVE                      ((DWORD)0x00000103L) // STATUS_PENDING

// Processes: creation flags, STARTUPINFO flags, and what CreateProcess fills in.
#define DEBUG_PROCESS              0x00000001
#define DEBUG_ONLY_THIS_PROCESS    0x00000002
#define DETACHED_PROCESS           0x00000008
#define CREATE_NEW_CONSOLE         0x00000010
#define NORMAL_PRIORITY_CLASS      0x00000020
#define IDLE_PRIORITY_CLASS        0x00000040
#define HIGH_PRIORITY_CLASS        0x00000080
#define REALTIME_PRIORITY_CLASS    0x00000100
#define CREATE_NEW_PROCESS_GROUP   0x00000200
#define CREATE_UNICODE_ENVIRONMENT 0x00000400
#define CREATE_NO_WINDOW           0x08000000
#define STARTF_USESHOWWINDOW       0x00000001
#define STARTF_USESTDHANDLES       0x00000100

typedef struct _STARTUPINFOA
{
    DWORD cb;
    LPSTR lpReserved;
    LPSTR lpDesktop;
    LPSTR lpTitle;
    DWORD dwX;
    DWORD dwY;
    DWORD dwXSize;
    DWORD dwYSize;
    DWORD dwXCountChars;
    DWORD dwYCountChars;
    DWORD dwFillAttribute;
    DWORD dwFlags;
    WORD wShowWindow;
    WORD cbReserved2;
    LPBYTE lpReserved2;
    HANDLE hStdInput;
    HANDLE hStdOutput;
    HANDLE hStdError;
} STARTUPINFOA, *LPSTARTUPINFOA;

typedef struct _PROCESS_INFORMATION
{
    HANDLE hProcess;
    HANDLE hThread;
    DWORD dwProcessId;
    DWORD dwThreadId;
} PROCESS_INFORMATION, *PPROCESS_INFORMATION, *LPPROCESS_INFORMATION;

#ifndef DECLSPEC_NORETURN
#define DECLSPEC_NORETURN __attribute__((noreturn))
#endif

typedef DWORD(WINAPI* PTHREAD_START_ROUTINE)(LPVOID lpThreadParameter);
typedef PTHREAD_START_ROUTINE LPTHREAD_START_ROUTINE;

// FormatMessage flags.
#define FORMAT_MESSAGE_ALLOCATE_BUFFER 0x00000100
#define FORMAT_MESSAGE_IGNORE_INSERTS  0x00000200
#define FORMAT_MESSAGE_FROM_STRING     0x00000400
#define FORMAT_MESSAGE_FROM_HMODULE    0x00000800
#define FORMAT_MESSAGE_FROM_SYSTEM     0x00001000
#define FORMAT_MESSAGE_ARGUMENT_ARRAY  0x00002000
#define FORMAT_MESSAGE_MAX_WIDTH_MASK  0x000000FF

// Local memory flags.
#define LMEM_FIXED    0x0000
#define LMEM_MOVEABLE 0x0002
#define LMEM_ZEROINIT 0x0040
#define LHND          (LMEM_MOVEABLE | LMEM_ZEROINIT)
#define LPTR          (LMEM_FIXED | LMEM_ZEROINIT)

// Communications: the device-control block, time-outs, status and properties of a serial port,
// and the values of their fields (the serial driver's own are in ntddser.h).
#define NOPARITY    0
#define ODDPARITY   1
#define EVENPARITY  2
#define MARKPARITY  3
#define SPACEPARITY 4

#define ONESTOPBIT   0
#define ONE5STOPBITS 1
#define TWOSTOPBITS  2

#define CBR_110    110
#define CBR_300    300
#define CBR_600    600
#define CBR_1200   1200
#define CBR_2400   2400
#define CBR_4800   4800
#define CBR_9600   9600
#define CBR_14400  14400
#define CBR_19200  19200
#define CBR_38400  38400
#define CBR_56000  56000
#define CBR_57600  57600
#define CBR_115200 115200
#define CBR_128000 128000
#define CBR_256000 256000

#define DTR_CONTROL_DISABLE   0x0
#define DTR_CONTROL_ENABLE    0x1
#define DTR_CONTROL_HANDSHAKE 0x2

#define RTS_CONTROL_DISABLE   0x0
#define RTS_CONTROL_ENABLE    0x1
#define RTS_CONTROL_HANDSHAKE 0x2
#define RTS_CONTROL_TOGGLE    0x3

// Errors ClearCommError reports.
#define CE_RXOVER   0x0001
#define CE_OVERRUN  0x0002
#define CE_RXPARITY 0x0004
#define CE_FRAME    0x0008
#define CE_BREAK    0x0010
#define CE_TXFULL   0x0100
#define CE_PTO      0x0200
#define CE_IOE      0x0400
#define CE_DNS      0x0800
#define CE_OOP      0x1000
#define CE_MODE     0x8000

// Events of SetCommMask and WaitCommEvent.
#define EV_RXCHAR   0x0001
#define EV_RXFLAG   0x0002
#define EV_TXEMPTY  0x0004
#define EV_CTS      0x0008
#define EV_DSR      0x0010
#define EV_RLSD     0x0020
#define EV_BREAK    0x0040
#define EV_ERR      0x0080
#define EV_RING     0x0100
#define EV_PERR     0x0200
#define EV_RX80FULL 0x0400
#define EV_EVENT1   0x0800
#define EV_EVENT2   0x1000

// EscapeCommFunction functions.
#define SETXOFF  1
#define SETXON   2
#define SETRTS   3
#define CLRRTS   4
#define SETDTR   5
#define CLRDTR   6
#define RESETDEV 7
#define SETBREAK 8
#define CLRBREAK 9

#define PURGE_TXABORT 0x0001
#define PURGE_RXABORT 0x0002
#define PURGE_TXCLEAR 0x0004
#define PURGE_RXCLEAR 0x0008

#define MS_CTS_ON  ((DWORD)0x0010)
#define MS_DSR_ON  ((DWORD)0x0020)
#define MS_RING_ON ((DWORD)0x0040)
#define MS_RLSD_ON ((DWORD)0x0080)

// COMMPROP values.
#define SP_SERIALCOMM ((DWORD)0x00000001)

#define PST_UNSPECIFIED    ((DWORD)0x00000000)
#define PST_RS232          ((DWORD)0x00000001)
#define PST_PARALLELPORT   ((DWORD)0x00000002)
#define PST_RS422          ((DWORD)0x00000003)
#define PST_RS423          ((DWORD)0x00000004)
#define PST_RS449          ((DWORD)0x00000005)
#define PST_MODEM          ((DWORD)0x00000006)
#define PST_FAX            ((DWORD)0x00000021)
#define PST_SCANNER        ((DWORD)0x00000022)
#define PST_NETWORK_BRIDGE ((DWORD)0x00000100)
#define PST_LAT            ((DWORD)0x00000101)
#define PST_TCPIP_TELNET   ((DWORD)0x00000102)
#define PST_X25            ((DWORD)0x00000103)

#define PCF_DTRDSR        ((DWORD)0x0001)
#define PCF_RTSCTS        ((DWORD)0x0002)
#define PCF_RLSD          ((DWORD)0x0004)
#define PCF_PARITY_CHECK  ((DWORD)0x0008)
#define PCF_XONXOFF       ((DWORD)0x0010)
#define PCF_SETXCHAR      ((DWORD)0x0020)
#define PCF_TOTALTIMEOUTS ((DWORD)0x0040)
#define PCF_INTTIMEOUTS   ((DWORD)0x0080)
#define PCF_SPECIALCHARS  ((DWORD)0x0100)
#define PCF_16BITMODE     ((DWORD)0x0200)

#define SP_PARITY       ((DWORD)0x0001)
#define SP_BAUD         ((DWORD)0x0002)
#define SP_DATABITS     ((DWORD)0x0004)
#define SP_STOPBITS     ((DWORD)0x0008)
#define SP_HANDSHAKING  ((DWORD)0x0010)
#define SP_PARITY_CHECK ((DWORD)0x0020)
#define SP_RLSD         ((DWORD)0x0040)

#define BAUD_075    ((DWORD)0x00000001)
#define BAUD_110    ((DWORD)0x00000002)
#define BAUD_134_5  ((DWORD)0x00000004)
#define BAUD_150    ((DWORD)0x00000008)
#define BAUD_300    ((DWORD)0x00000010)
#define BAUD_600    ((DWORD)0x00000020)
#define BAUD_1200   ((DWORD)0x00000040)
#define BAUD_1800   ((DWORD)0x00000080)
#define BAUD_2400   ((DWORD)0x00000100)
#define BAUD_4800   ((DWORD)0x00000200)
#define BAUD_7200   ((DWORD)0x00000400)
#define BAUD_9600   ((DWORD)0x00000800)
#define BAUD_14400  ((DWORD)0x00001000)
#define BAUD_19200  ((DWORD)0x00002000)
#define BAUD_38400  ((DWORD)0x00004000)
#define BAUD_56K    ((DWORD)0x00008000)
#define BAUD_128K   ((DWORD)0x00010000)
#define BAUD_115200 ((DWORD)0x00020000)
#define BAUD_57600  ((DWORD)0x00040000)
#define BAUD_USER   ((DWORD)0x10000000)

#define DATABITS_5   ((WORD)0x0001)
#define DATABITS_6   ((WORD)0x0002)
#define DATABITS_7   ((WORD)0x0004)
#define DATABITS_8   ((WORD)0x0008)
#define DATABITS_16  ((WORD)0x0010)
#define DATABITS_16X ((WORD)0x0020)

#define STOPBITS_10  ((WORD)0x0001)
#define STOPBITS_15  ((WORD)0x0002)
#define STOPBITS_20  ((WORD)0x0004)
#define PARITY_NONE  ((WORD)0x0100)
#define PARITY_ODD   ((WORD)0x0200)
#define PARITY_EVEN  ((WORD)0x0400)
#define PARITY_MARK  ((WORD)0x0800)
#define PARITY_SPACE ((WORD)0x1000)

// A COMMPROP whose wPacketLength gives the size of the caller's buffer says so in dwProvSpec1.
#define COMMPROP_INITIALIZED ((DWORD)0xE73CF52E)

typedef struct _SECURITY_ATTRIBUTES
{
    DWORD nLength;
    LPVOID lpSecurityDescriptor;
    BOOL bInheritHandle;
} SECURITY_ATTRIBUTES, *PSECURITY_ATTRIBUTES, *LPSECURITY_ATTRIBUTES;

typedef struct _OVERLAPPED
{
    ULONG_PTR Internal;
    ULONG_PTR InternalHigh;
    union {
        struct
        {
            DWORD Offset;
            DWORD OffsetHigh;
        };
        PVOID Pointer;
    };
    HANDLE hEvent;
} OVERLAPPED, *LPOVERLAPPED;

typedef struct _SYSTEMTIME
{
    WORD wYear;
    WORD wMonth;
    WORD wDayOfWeek;
    WORD wDay;
    WORD wHour;
    WORD wMinute;
    WORD wSecond;
    WORD wMilliseconds;
} SYSTEMTIME, *PSYSTEMTIME, *LPSYSTEMTIME;

typedef struct _DCB
{
    DWORD DCBlength;
    DWORD BaudRate;
    DWORD fBinary : 1;
    DWORD fParity : 1;
    DWORD fOutxCtsFlow : 1;
    DWORD fOutxDsrFlow : 1;
    DWORD fDtrControl : 2;
    DWORD fDsrSensitivity : 1;
    DWORD fTXContinueOnXoff : 1;
    DWORD fOutX : 1;
    DWORD fInX : 1;
    DWORD fErrorChar : 1;
    DWORD fNull : 1;
    DWORD fRtsControl : 2;
    DWORD fAbortOnError : 1;
    DWORD fDummy2 : 17;
    WORD wReserved;
    WORD XonLim;
    WORD XoffLim;
    BYTE ByteSize;
    BYTE Parity;
    BYTE StopBits;
    char XonChar;
    char XoffChar;
    char ErrorChar;
    char EofChar;
    char EvtChar;
    WORD wReserved1;
} DCB, *LPDCB;

typedef struct _COMMTIMEOUTS
{
    DWORD ReadIntervalTimeout;
    DWORD ReadTotalTimeoutMultiplier;
    DWORD ReadTotalTimeoutConstant;
    DWORD WriteTotalTimeoutMultiplier;
    DWORD WriteTotalTimeoutConstant;
} COMMTIMEOUTS, *LPCOMMTIMEOUTS;

typedef struct _COMSTAT
{
    DWORD fCtsHold : 1;
    DWORD fDsrHold : 1;
    DWORD fRlsdHold : 1;
    DWORD fXoffHold : 1;
    DWORD fXoffSent : 1;
    DWORD fEof : 1;
    DWORD fTxim : 1;
    DWORD fReserved : 25;
    DWORD cbInQue;
    DWORD cbOutQue;
} COMSTAT, *LPCOMSTAT;

typedef struct _COMMPROP
{
    WORD wPacketLength;
    WORD wPacketVersion;
    DWORD dwServiceMask;
    DWORD dwReserved1;
    DWORD dwMaxTxQueue;
    DWORD dwMaxRxQueue;
    DWORD dwMaxBaud;
    DWORD dwProvSubType;
    DWORD dwProvCapabilities;
    DWORD dwSettableParams;
    DWORD dwSettableBaud;
    WORD wSettableData;
    WORD wSettableStopParity;
    DWORD dwCurrentTxQueue;
    DWORD dwCurrentRxQueue;
    DWORD dwProvSpec1;
    DWORD dwProvSpec2;
    WCHAR wcProvChar[1];
} COMMPROP, *LPCOMMPROP;

#ifdef __cplusplus
static_assert(sizeof(DCB) == 28, "DCB as the Windows SDK lays it out");
static_assert(sizeof(COMSTAT) == 12, "COMSTAT as the Windows SDK lays it out");
static_assert(sizeof(COMMTIMEOUTS) == 20, "COMMTIMEOUTS as the Windows SDK lays it out");
static_assert(sizeof(COMMPROP) == 64, "COMMPROP as the Windows SDK lays it out");
#endif

// Version checks (winnt.h on Windows): the fields VerifyVersionInfo compares, and the conditions
// VerSetConditionMask records for them, three bits a field.
#define VER_MINORVERSION     0x0000001
#define VER_MAJORVERSION     0x0000002
#define VER_BUILDNUMBER      0x0000004
#define VER_PLATFORMID       0x0000008
#define VER_SERVICEPACKMINOR 0x0000010
#define VER_SERVICEPACKMAJOR 0x0000020
#define VER_SUITENAME        0x0000040
#define VER_PRODUCT_TYPE     0x0000080

#define VER_EQUAL         1
#define VER_GREATER       2
#define VER_GREATER_EQUAL 3
#define VER_LESS          4
#define VER_LESS_EQUAL    5
#define VER_AND           6
#define VER_OR            7

#define VER_PLATFORM_WIN32_NT 2
#define VER_NT_WORKSTATION    0x0000001

typedef struct _OSVERSIONINFOEXA
{
    DWORD dwOSVersionInfoSize;
    DWORD dwMajorVersion;
    DWORD dwMinorVersion;
    DWORD dwBuildNumber;
    DWORD dwPlatformId;
    CHAR szCSDVersion[128];
    WORD wServicePackMajor;
    WORD wServicePackMinor;
    WORD wSuiteMask;
    BYTE wProductType;
    BYTE wReserved;
} OSVERSIONINFOEXA, *POSVERSIONINFOEXA, *LPOSVERSIONINFOEXA;

// Security identifiers (winnt.h on Windows).
typedef PVOID PSID;

typedef struct _SID_IDENTIFIER_AUTHORITY
{
    BYTE Value[6];
} SID_IDENTIFIER_AUTHORITY, *PSID_IDENTIFIER_AUTHORITY;

#define SID_MAX_SUB_AUTHORITIES 15
#define SECURITY_WORLD_SID_AUTHORITY                                                                         \
    {                                                                                                        \
        0, 0, 0, 0, 0, 1                                                                                     \
    }
#define SECURITY_NT_AUTHORITY                                                                                \
    {                                                                                                        \
        0, 0, 0, 0, 0, 5                                                                                     \
    }
#define SECURITY_WORLD_RID              0x00000000L
#define SECURITY_AUTHENTICATED_USER_RID 0x0000000BL
#define SECURITY_BUILTIN_DOMAIN_RID     0x00000020L
#define DOMAIN_ALIAS_RID_ADMINS         0x00000220L
#define DOMAIN_ALIAS_RID_USERS          0x00000221L

struct _RTL_CRITICAL_SECTION_DEBUG;
typedef struct _RTL_CRITICAL_SECTION_DEBUG* PRTL_CRITICAL_SECTION_DEBUG;

typedef struct _RTL_CRITICAL_SECTION
{
    PRTL_CRITICAL_SECTION_DEBUG DebugInfo;
    LONG LockCount;
    LONG RecursionCount;
    HANDLE OwningThread;
    HANDLE LockSemaphore;
    ULONG_PTR SpinCount;
} RTL_CRITICAL_SECTION, *PRTL_CRITICAL_SECTION;
typedef RTL_CRITICAL_SECTION CRITICAL_SECTION;
typedef PRTL_CRITICAL_SECTION PCRITICAL_SECTION;
typedef PRTL_CRITICAL_SECTION LPCRITICAL_SECTION;

WINSIM_EXTERN_C_BEGIN

// Errors.
WINSIM_API DWORD WINAPI GetLastError(void);
WINSIM_API void WINAPI SetLastError(DWORD dwErrCode);

// Handles and synchronisation objects.
WINSIM_API BOOL WINAPI CloseHandle(HANDLE hObject);
WINSIM_API HANDLE WINAPI CreateMutexA(LPSECURITY_ATTRIBUTES lpMutexAttributes, BOOL bInitialOwner,
                                      LPCSTR lpName);
WINSIM_API BOOL WINAPI ReleaseMutex(HANDLE hMutex);
WINSIM_API HANDLE WINAPI CreateEventA(LPSECURITY_ATTRIBUTES lpEventAttributes, BOOL bManualReset,
                                      BOOL bInitialState, LPCSTR lpName);
WINSIM_API BOOL WINAPI SetEvent(HANDLE hEvent);
WINSIM_API BOOL WINAPI ResetEvent(HANDLE hEvent);
WINSIM_API HANDLE WINAPI OpenMutexA(DWORD dwDesiredAccess, BOOL bInheritHandle, LPCSTR lpName);
WINSIM_API HANDLE WINAPI OpenEventA(DWORD dwDesiredAccess, BOOL bInheritHandle, LPCSTR lpName);
WINSIM_API DWORD WINAPI WaitForSingleObject(HANDLE hHandle, DWORD dwMilliseconds);
WINSIM_API DWORD WINAPI WaitForMultipleObjects(DWORD nCount, const HANDLE* lpHandles, BOOL bWaitAll,
                                               DWORD dwMilliseconds);
WINSIM_API void WINAPI Sleep(DWORD dwMilliseconds);

WINSIM_API void WINAPI InitializeCriticalSection(LPCRITICAL_SECTION lpCriticalSection);
WINSIM_API void WINAPI EnterCriticalSection(LPCRITICAL_SECTION lpCriticalSection);
WINSIM_API BOOL WINAPI TryEnterCriticalSection(LPCRITICAL_SECTION lpCriticalSection);
WINSIM_API void WINAPI LeaveCriticalSection(LPCRITICAL_SECTION lpCriticalSection);
WINSIM_API void WINAPI DeleteCriticalSection(LPCRITICAL_SECTION lpCriticalSection);

// Processes, threads and time.
WINSIM_API DWORD WINAPI GetCurrentProcessId(void);
WINSIM_API DWORD WINAPI GetCurrentThreadId(void);
WINSIM_API HANDLE WINAPI CreateThread(LPSECURITY_ATTRIBUTES lpThreadAttributes, SIZE_T dwStackSize,
                                      LPTHREAD_START_ROUTINE lpStartAddress, LPVOID lpParameter,
                                      DWORD dwCreationFlags, LPDWORD lpThreadId);
WINSIM_API DWORD WINAPI ResumeThread(HANDLE hThread);
WINSIM_API DWORD WINAPI SuspendThread(HANDLE hThread);
DECLSPEC_NORETURN WINSIM_API void WINAPI ExitThread(DWORD dwExitCode);
WINSIM_API BOOL WINAPI GetExitCodeThread(HANDLE hThread, LPDWORD lpExitCode);
WINSIM_API HANDLE WINAPI GetCurrentThread(void);
WINSIM_API DWORD WINAPI GetThreadId(HANDLE Thread);
WINSIM_API void WINAPI GetLocalTime(LPSYSTEMTIME lpSystemTime);
WINSIM_API HANDLE WINAPI GetCurrentProcess(void);
WINSIM_API BOOL WINAPI IsWow64Process(HANDLE hProcess, PBOOL Wow64Process);
WINSIM_API BOOL WINAPI CreateProcessA(LPCSTR lpApplicationName, LPSTR lpCommandLine,
                                      LPSECURITY_ATTRIBUTES lpProcessAttributes,
                                      LPSECURITY_ATTRIBUTES lpThreadAttributes, BOOL bInheritHandles,
                                      DWORD dwCreationFlags, LPVOID lpEnvironment, LPCSTR lpCurrentDirectory,
                                      LPSTARTUPINFOA lpStartupInfo,
                                      LPPROCESS_INFORMATION lpProcessInformation);
WINSIM_API BOOL WINAPI GetExitCodeProcess(HANDLE hProcess, LPDWORD lpExitCode);
WINSIM_API DWORD WINAPI GetProcessId(HANDLE Process);

// Version checks against the machine's Windows version.
WINSIM_API BOOL WINAPI VerifyVersionInfoA(LPOSVERSIONINFOEXA lpVersionInformation, DWORD dwTypeMask,
                                          DWORDLONG dwlConditionMask);
WINSIM_API ULONGLONG WINAPI VerSetConditionMask(ULONGLONG ConditionMask, DWORD TypeMask, BYTE Condition);
#define VER_SET_CONDITION(_m_, _t_, _c_) ((_m_) = VerSetConditionMask((_m_), (_t_), (_c_)))

// Security identifiers and the process's token (advapi32).
WINSIM_API BOOL WINAPI AllocateAndInitializeSid(PSID_IDENTIFIER_AUTHORITY pIdentifierAuthority,
                                                BYTE nSubAuthorityCount, DWORD nSubAuthority0,
                                                DWORD nSubAuthority1, DWORD nSubAuthority2,
                                                DWORD nSubAuthority3, DWORD nSubAuthority4,
                                                DWORD nSubAuthority5, DWORD nSubAuthority6,
                                                DWORD nSubAuthority7, PSID* pSid);
WINSIM_API PVOID WINAPI FreeSid(PSID pSid);
WINSIM_API BOOL WINAPI CheckTokenMembership(HANDLE TokenHandle, PSID SidToCheck, PBOOL IsMember);

// Debugger output.
WINSIM_API void WINAPI OutputDebugStringA(LPCSTR lpOutputString);

// Files and directories.
WINSIM_API HANDLE WINAPI CreateFileA(LPCSTR lpFileName, DWORD dwDesiredAccess, DWORD dwShareMode,
                                     LPSECURITY_ATTRIBUTES lpSecurityAttributes, DWORD dwCreationDisposition,
                                     DWORD dwFlagsAndAttributes, HANDLE hTemplateFile);
WINSIM_API BOOL WINAPI WriteFile(HANDLE hFile, LPCVOID lpBuffer, DWORD nNumberOfBytesToWrite,
                                 LPDWORD lpNumberOfBytesWritten, LPOVERLAPPED lpOverlapped);
WINSIM_API BOOL WINAPI ReadFile(HANDLE hFile, LPVOID lpBuffer, DWORD nNumberOfBytesToRead,
                                LPDWORD lpNumberOfBytesRead, LPOVERLAPPED lpOverlapped);
WINSIM_API HANDLE WINAPI CreateFileW(LPCWSTR lpFileName, DWORD dwDesiredAccess, DWORD dwShareMode,
                                     LPSECURITY_ATTRIBUTES lpSecurityAttributes, DWORD dwCreationDisposition,
                                     DWORD dwFlagsAndAttributes, HANDLE hTemplateFile);
WINSIM_API BOOL WINAPI DeleteFileA(LPCSTR lpFileName);
WINSIM_API BOOL WINAPI CreateDirectoryA(LPCSTR lpPathName, LPSECURITY_ATTRIBUTES lpSecurityAttributes);
WINSIM_API BOOL WINAPI CopyFileA(LPCSTR lpExistingFileName, LPCSTR lpNewFileName, BOOL bFailIfExists);
WINSIM_API BOOL WINAPI FlushFileBuffers(HANDLE hFile);

// Devices: I/O control, overlapped results, cancellation, DOS device names.
WINSIM_API BOOL WINAPI DeviceIoControl(HANDLE hDevice, DWORD dwIoControlCode, LPVOID lpInBuffer,
                                       DWORD nInBufferSize, LPVOID lpOutBuffer, DWORD nOutBufferSize,
                                       LPDWORD lpBytesReturned, LPOVERLAPPED lpOverlapped);
WINSIM_API BOOL WINAPI GetOverlappedResult(HANDLE hFile, LPOVERLAPPED lpOverlapped,
                                           LPDWORD lpNumberOfBytesTransferred, BOOL bWait);
WINSIM_API BOOL WINAPI CancelIo(HANDLE hFile);
WINSIM_API BOOL WINAPI CancelIoEx(HANDLE hFile, LPOVERLAPPED lpOverlapped);
WINSIM_API DWORD WINAPI QueryDosDeviceA(LPCSTR lpDeviceName, LPSTR lpTargetPath, DWORD ucchMax);
WINSIM_API BOOL WINAPI DefineDosDeviceA(DWORD dwFlags, LPCSTR lpDeviceName, LPCSTR lpTargetPath);
WINSIM_API DWORD WINAPI GetCurrentDirectoryA(DWORD nBufferLength, LPSTR lpBuffer);
WINSIM_API BOOL WINAPI SetCurrentDirectoryA(LPCSTR lpPathName);
WINSIM_API DWORD WINAPI GetFullPathNameA(LPCSTR lpFileName, DWORD nBufferLength, LPSTR lpBuffer,
                                         LPSTR* lpFilePart);

// The Windows folders and the environment. %SystemRoot% and %windir% are the machine's Windows
// folder, C:\Windows.
WINSIM_API UINT WINAPI GetWindowsDirectoryA(LPSTR lpBuffer, UINT uSize);
WINSIM_API UINT WINAPI GetSystemDirectoryA(LPSTR lpBuffer, UINT uSize);
WINSIM_API DWORD WINAPI GetEnvironmentVariableA(LPCSTR lpName, LPSTR lpBuffer, DWORD nSize);
// A NULL value removes the variable.
WINSIM_API BOOL WINAPI SetEnvironmentVariableA(LPCSTR lpName, LPCSTR lpValue);
WINSIM_API DWORD WINAPI ExpandEnvironmentStringsA(LPCSTR lpSrc, LPSTR lpDst, DWORD nSize);

// Communications devices: each a thin call of the serial port's I/O controls.
WINSIM_API BOOL WINAPI GetCommState(HANDLE hFile, LPDCB lpDCB);
WINSIM_API BOOL WINAPI SetCommState(HANDLE hFile, LPDCB lpDCB);
WINSIM_API BOOL WINAPI GetCommTimeouts(HANDLE hFile, LPCOMMTIMEOUTS lpCommTimeouts);
WINSIM_API BOOL WINAPI SetCommTimeouts(HANDLE hFile, LPCOMMTIMEOUTS lpCommTimeouts);
WINSIM_API BOOL WINAPI SetCommMask(HANDLE hFile, DWORD dwEvtMask);
WINSIM_API BOOL WINAPI GetCommMask(HANDLE hFile, LPDWORD lpEvtMask);
WINSIM_API BOOL WINAPI WaitCommEvent(HANDLE hFile, LPDWORD lpEvtMask, LPOVERLAPPED lpOverlapped);
WINSIM_API BOOL WINAPI PurgeComm(HANDLE hFile, DWORD dwFlags);
WINSIM_API BOOL WINAPI ClearCommError(HANDLE hFile, LPDWORD lpErrors, LPCOMSTAT lpStat);
WINSIM_API BOOL WINAPI EscapeCommFunction(HANDLE hFile, DWORD dwFunc);
WINSIM_API BOOL WINAPI SetCommBreak(HANDLE hFile);
WINSIM_API BOOL WINAPI ClearCommBreak(HANDLE hFile);
WINSIM_API BOOL WINAPI TransmitCommChar(HANDLE hFile, char cChar);
WINSIM_API BOOL WINAPI GetCommModemStatus(HANDLE hFile, LPDWORD lpModemStat);
WINSIM_API BOOL WINAPI GetCommProperties(HANDLE hFile, LPCOMMPROP lpCommProp);
WINSIM_API BOOL WINAPI SetupComm(HANDLE hFile, DWORD dwInQueue, DWORD dwOutQueue);
WINSIM_API BOOL WINAPI BuildCommDCBA(LPCSTR lpDef, LPDCB lpDCB);

// Profile (.ini) files.
WINSIM_API UINT WINAPI GetPrivateProfileIntA(LPCSTR lpAppName, LPCSTR lpKeyName, INT nDefault,
                                             LPCSTR lpFileName);
WINSIM_API DWORD WINAPI GetPrivateProfileStringA(LPCSTR lpAppName, LPCSTR lpKeyName, LPCSTR lpDefault,
                                                 LPSTR lpReturnedString, DWORD nSize, LPCSTR lpFileName);

// Modules.
WINSIM_API HMODULE WINAPI LoadLibraryA(LPCSTR lpLibFileName);
WINSIM_API BOOL WINAPI FreeLibrary(HMODULE hLibModule);
WINSIM_API FARPROC WINAPI GetProcAddress(HMODULE hModule, LPCSTR lpProcName);
WINSIM_API DWORD WINAPI GetModuleFileNameA(HMODULE hModule, LPSTR lpFilename, DWORD nSize);
// A module loaded into the process, by name, without a new reference; NULL: the executable. The
// system's DLLs ("kernel32", "advapi32", ...) are one module on the machine.
WINSIM_API HMODULE WINAPI GetModuleHandleA(LPCSTR lpModuleName);

// Resources of a module (NULL: the executable). Types and names are numbers (MAKEINTRESOURCEA) or
// "#number" strings.
WINSIM_API HRSRC WINAPI FindResourceA(HMODULE hModule, LPCSTR lpName, LPCSTR lpType);
WINSIM_API HRSRC WINAPI FindResourceExA(HMODULE hModule, LPCSTR lpType, LPCSTR lpName, WORD wLanguage);
WINSIM_API HGLOBAL WINAPI LoadResource(HMODULE hModule, HRSRC hResInfo);
WINSIM_API LPVOID WINAPI LockResource(HGLOBAL hResData);
WINSIM_API DWORD WINAPI SizeofResource(HMODULE hModule, HRSRC hResInfo);
WINSIM_API BOOL WINAPI FreeResource(HGLOBAL hResData);

// System message texts and local memory.
WINSIM_API DWORD WINAPI FormatMessageA(DWORD dwFlags, LPCVOID lpSource, DWORD dwMessageId, DWORD dwLanguageId,
                                       LPSTR lpBuffer, DWORD nSize, va_list* Arguments);
WINSIM_API HLOCAL WINAPI LocalAlloc(UINT uFlags, SIZE_T uBytes);
WINSIM_API HLOCAL WINAPI LocalFree(HLOCAL hMem);

WINSIM_EXTERN_C_END

// Memory blocks (winnt.h and minwinbase.h on Windows).
#ifndef ZeroMemory
#define ZeroMemory(Destination, Length)         memset((Destination), 0, (Length))
#define FillMemory(Destination, Length, Fill)   memset((Destination), (Fill), (Length))
#define CopyMemory(Destination, Source, Length) memcpy((Destination), (Source), (Length))
#define MoveMemory(Destination, Source, Length) memmove((Destination), (Source), (Length))
#endif
