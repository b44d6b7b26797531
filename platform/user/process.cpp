// Per-process state of the simulated user mode: last error, handle table, named objects, ids, time.
//
// The state lives in objects that are never destroyed: DLL entry points run at process exit after
// the C++ static destructors of this library, and they still call into it.
#include "internal.h"

#include <winsim/user.h>

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
#include <unordered_map>

namespace winsim::user
{
namespace
{

thread_local DWORD t_lastError = 0;

struct HandleTable
{
    std::mutex lock;
    uintptr_t next = 4;
    std::unordered_map<uintptr_t, std::shared_ptr<Object>> handles;
    std::unordered_map<std::string, std::weak_ptr<Object>> named;
};

HandleTable& Table()
{
    static HandleTable* table = new HandleTable;
    return *table;
}

} // namespace

HANDLE InsertHandle(std::shared_ptr<Object> object)
{
    HandleTable& t = Table();
    std::lock_guard<std::mutex> guard(t.lock);
    // Handles are multiples of four, as on Windows.
    while (t.handles.count(t.next) != 0 || t.next == 0)
    {
        t.next += 4;
    }
    uintptr_t value = t.next;
    t.next += 4;
    t.handles.emplace(value, std::move(object));
    return reinterpret_cast<HANDLE>(value);
}

std::shared_ptr<Object> LookupHandle(HANDLE handle)
{
    HandleTable& t = Table();
    std::lock_guard<std::mutex> guard(t.lock);
    auto it = t.handles.find(reinterpret_cast<uintptr_t>(handle));
    if (it == t.handles.end())
    {
        t_lastError = ERROR_INVALID_HANDLE;
        return nullptr;
    }
    return it->second;
}

bool RemoveHandle(HANDLE handle)
{
    std::shared_ptr<Object> object;
    HandleTable& t = Table();
    {
        std::lock_guard<std::mutex> guard(t.lock);
        auto it = t.handles.find(reinterpret_cast<uintptr_t>(handle));
        if (it == t.handles.end())
        {
            t_lastError = ERROR_INVALID_HANDLE;
            return false;
        }
        object = std::move(it->second);
        t.handles.erase(it);
    }
    // The object may be destroyed here, outside the table lock.
    object.reset();
    return true;
}

std::shared_ptr<Object> FindNamed(const std::string& name)
{
    HandleTable& t = Table();
    std::lock_guard<std::mutex> guard(t.lock);
    auto it = t.named.find(name);
    if (it == t.named.end())
    {
        return nullptr;
    }
    std::shared_ptr<Object> object = it->second.lock();
    if (!object)
    {
        t.named.erase(it);
    }
    return object;
}

void RegisterNamed(const std::string& name, const std::shared_ptr<Object>& object)
{
    HandleTable& t = Table();
    std::lock_guard<std::mutex> guard(t.lock);
    t.named[name] = object;
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

DWORD CurrentThreadId()
{
    thread_local DWORD id = static_cast<DWORD>(syscall(SYS_gettid));
    return id;
}

void MakeDirectories(const std::string& path)
{
    if (path.empty())
    {
        return;
    }
    struct stat st;
    if (stat(path.c_str(), &st) == 0)
    {
        return;
    }
    size_t slash = path.find_last_of('/');
    if (slash != std::string::npos && slash > 0)
    {
        MakeDirectories(path.substr(0, slash));
    }
    mkdir(path.c_str(), 0700);
}

std::string EscapeName(std::string_view name)
{
    static const char hex[] = "0123456789ABCDEF";
    std::string out;
    for (char c : name)
    {
        unsigned char u = static_cast<unsigned char>(c);
        if ((u >= 'A' && u <= 'Z') || (u >= 'a' && u <= 'z') || (u >= '0' && u <= '9') || u == '.' ||
            u == '-' || u == '_')
        {
            out.push_back(c);
        }
        else
        {
            out.push_back('%');
            out.push_back(hex[u >> 4]);
            out.push_back(hex[u & 15]);
        }
    }
    if (out.size() > 200 || out == "." || out == "..")
    {
        // Long names: a hash keeps the file name within the host's limit.
        uint64_t h = 1469598103934665603ull;
        for (char c : name)
        {
            h = (h ^ static_cast<unsigned char>(c)) * 1099511628211ull;
        }
        char buffer[40];
        snprintf(buffer, sizeof(buffer), "%%long-%016llx", static_cast<unsigned long long>(h));
        out = out.substr(0, 120) + buffer;
    }
    return out;
}

} // namespace winsim::user

namespace winsim
{

std::string StateDirectory()
{
    static const std::string* directory = [] {
        const char* root = getenv("WINSIM_ROOT");
        std::string path;
        if (root != nullptr && root[0] != 0)
        {
            path = root;
        }
        else
        {
            path = "/tmp/winsim-" + std::to_string(getuid());
        }
        while (path.size() > 1 && path.back() == '/')
        {
            path.pop_back();
        }
        user::MakeDirectories(path);
        return new std::string(path);
    }();
    return *directory;
}

} // namespace winsim

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
        return RemoveHandle(hObject) ? TRUE : FALSE;
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
