// Per-process state of the simulated user mode: last error, the host-disk handle table, ids, time.
//
// The state lives in objects that are never destroyed: DLL entry points run at process exit after
// the C++ static destructors of this library, and they still call into it.
#include "internal.h"
#include "ntdll/ntdll.h"

#include "base/unicode.h"

#include <errno.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <mutex>
#include <pthread.h>
#include <type_traits>
#include <vector>

namespace winsim::user
{
namespace
{

thread_local DWORD t_lastError = 0;

// Host-disk handles run from 0x10000000 in steps of four, far above the kernel's handles; each
// names a slot of the table, which holds the file's descriptor (-1 while the slot is free).
constexpr uintptr_t kFirstLocalHandle = 0x10000000;
constexpr uintptr_t kLastLocalHandle = 0x1FFFFFFC;

struct HostFiles
{
    std::mutex lock;
    std::vector<int> slots;
    std::vector<size_t> free;
};

HostFiles& Table()
{
    static HostFiles* table = new HostFiles;
    return *table;
}

// The slot a handle names, or -1.
ptrdiff_t SlotOf(HANDLE handle)
{
    auto value = reinterpret_cast<uintptr_t>(handle);
    if (value < kFirstLocalHandle || value > kLastLocalHandle || (value & 3) != 0)
    {
        return -1;
    }
    return static_cast<ptrdiff_t>((value - kFirstLocalHandle) / 4);
}

} // namespace

bool IsLocalHandle(HANDLE handle)
{
    auto value = reinterpret_cast<uintptr_t>(handle);
    return value >= kFirstLocalHandle && value <= kLastLocalHandle;
}

HANDLE InsertHostFile(int fd)
{
    HostFiles& t = Table();
    std::lock_guard<std::mutex> guard(t.lock);
    size_t slot;
    if (!t.free.empty())
    {
        slot = t.free.back();
        t.free.pop_back();
    }
    else
    {
        slot = t.slots.size();
        t.slots.push_back(-1);
    }
    t.slots[slot] = fd;
    return reinterpret_cast<HANDLE>(kFirstLocalHandle + slot * 4);
}

int HostFileOf(HANDLE handle)
{
    HostFiles& t = Table();
    ptrdiff_t slot = SlotOf(handle);
    {
        std::lock_guard<std::mutex> guard(t.lock);
        if (slot >= 0 && static_cast<size_t>(slot) < t.slots.size() && t.slots[slot] >= 0)
        {
            return t.slots[slot];
        }
    }
    t_lastError = ERROR_INVALID_HANDLE;
    return -1;
}

int RemoveHostFile(HANDLE handle)
{
    HostFiles& t = Table();
    ptrdiff_t slot = SlotOf(handle);
    {
        std::lock_guard<std::mutex> guard(t.lock);
        if (slot >= 0 && static_cast<size_t>(slot) < t.slots.size() && t.slots[slot] >= 0)
        {
            int fd = t.slots[slot];
            t.slots[slot] = -1;
            t.free.push_back(static_cast<size_t>(slot));
            return fd;
        }
    }
    t_lastError = ERROR_INVALID_HANDLE;
    return -1;
}

DWORD ErrorFromErrno(int error)
{
    switch (error)
    {
    case 0:
        return ERROR_SUCCESS;
    case ENOENT:
        return ERROR_FILE_NOT_FOUND;
    case ENOTDIR:
        return ERROR_PATH_NOT_FOUND;
    case EACCES:
    case EPERM:
    case EISDIR:
    case EROFS:
        return ERROR_ACCESS_DENIED;
    case EEXIST:
        return ERROR_FILE_EXISTS;
    case EMFILE:
    case ENFILE:
        return ERROR_TOO_MANY_OPEN_FILES;
    case ENOMEM:
        return ERROR_NOT_ENOUGH_MEMORY;
    case ENOSPC:
        return ERROR_DISK_FULL;
    case ENAMETOOLONG:
        return ERROR_FILENAME_EXCED_RANGE;
    case EBADF:
        return ERROR_INVALID_HANDLE;
    case EINVAL:
        return ERROR_INVALID_PARAMETER;
    case ENOTEMPTY:
        return ERROR_DIR_NOT_EMPTY;
    case EPIPE:
        return ERROR_BROKEN_PIPE;
    default:
        return ERROR_GEN_FAILURE;
    }
}

namespace
{
thread_local DWORD t_threadId = 0;
} // namespace

DWORD CurrentThreadId()
{
    if (t_threadId == 0)
    {
        t_threadId = static_cast<DWORD>(::syscall(SYS_gettid));
    }
    return t_threadId;
}

void SetCurrentThreadId(DWORD id)
{
    t_threadId = id;
}

PLARGE_INTEGER TimeoutOf(DWORD milliseconds, LARGE_INTEGER& storage)
{
    if (milliseconds == INFINITE)
    {
        return nullptr;
    }
    storage.QuadPart = -static_cast<LONGLONG>(milliseconds) * 10000;
    return &storage;
}

} // namespace winsim::user

using namespace winsim::user;

extern "C"
{

    DWORD WINAPI GetLastError(void)
    {
        return t_lastError;
    }

    void WINAPI SetLastError(DWORD dwErrCode)
    {
        t_lastError = dwErrCode;
    }

    BOOL WINAPI CloseHandle(HANDLE hObject)
    {
        if (IsLocalHandle(hObject))
        {
            int fd = RemoveHostFile(hObject);
            if (fd < 0)
            {
                return FALSE;
            }
            close(fd);
            return TRUE;
        }
        NTSTATUS status = NtClose(hObject);
        return NT_SUCCESS(status) ? TRUE : winsim::ntdll::FailWith(status);
    }

    DWORD WINAPI GetCurrentProcessId(void)
    {
        // Cached: the log writes it on every line. A forked child looks it up afresh.
        static std::atomic<DWORD> cached{0};
        static std::once_flag registered;
        std::call_once(registered, [] { pthread_atfork(nullptr, nullptr, [] { cached = 0; }); });
        DWORD pid = cached.load(std::memory_order_relaxed);
        if (pid == 0)
        {
            pid = static_cast<DWORD>(getpid());
            cached.store(pid, std::memory_order_relaxed);
        }
        return pid;
    }

    DWORD WINAPI GetCurrentThreadId(void)
    {
        return CurrentThreadId();
    }

    void WINAPI GetLocalTime(LPSYSTEMTIME lpSystemTime)
    {
        struct timespec now;
        clock_gettime(CLOCK_REALTIME, &now);
        // The clock is read on every call; its conversion to local time is remembered per thread
        // for the second it was made for (a log writes many lines a second). Plain data: it must
        // outlive the thread's destructors (see internal.h).
        struct LastSecond
        {
            time_t seconds;
            struct tm local;
        };
        static_assert(std::is_trivially_destructible_v<LastSecond>);
        thread_local LastSecond last = {-1, {}};
        if (now.tv_sec != last.seconds)
        {
            time_t seconds = now.tv_sec;
            localtime_r(&seconds, &last.local);
            last.seconds = seconds;
        }
        const struct tm& local = last.local;
        lpSystemTime->wYear = static_cast<WORD>(local.tm_year + 1900);
        lpSystemTime->wMonth = static_cast<WORD>(local.tm_mon + 1);
        lpSystemTime->wDayOfWeek = static_cast<WORD>(local.tm_wday);
        lpSystemTime->wDay = static_cast<WORD>(local.tm_mday);
        lpSystemTime->wHour = static_cast<WORD>(local.tm_hour);
        lpSystemTime->wMinute = static_cast<WORD>(local.tm_min);
        lpSystemTime->wSecond = static_cast<WORD>(local.tm_sec);
        lpSystemTime->wMilliseconds = static_cast<WORD>(now.tv_nsec / 1000000);
    }

} // extern "C"
