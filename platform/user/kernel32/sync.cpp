// Mutexes, events, waits, sleeping and critical sections.
//
// Mutexes and events are objects of the machine's kernel, reached through its native services:
// a named one lives in the machine's \BaseNamedObjects directory, where every thread of the
// process, and for a mutex every process of the machine, finds it by name. Waits and Sleep wait in
// the kernel's dispatcher, on the machine's clock. Critical sections are the process's own.
#include "internal.h"
#include "ntdll/ntdll.h"

#include <pthread.h>
#include <string.h>

namespace winsim::user
{
namespace
{

// The kernel name of a Win32 object name. "Local\" and "Global\" select the session or the global
// namespace, which are one namespace on this machine. Returns false (with the last error set) for
// a name that is too long.
bool ObjectNameOf(LPCSTR lpName, std::u16string& name)
{
    name.clear();
    if (lpName == nullptr || lpName[0] == 0)
    {
        return true;
    }
    std::string_view n(lpName);
    if (n.size() > MAX_PATH)
    {
        SetLastError(ERROR_FILENAME_EXCED_RANGE);
        return false;
    }
    if (n.substr(0, 6) == "Local\\")
    {
        n.remove_prefix(6);
    }
    else if (n.substr(0, 7) == "Global\\")
    {
        n.remove_prefix(7);
    }
    name = u"\\BaseNamedObjects\\" + WideFromAnsi(n);
    return true;
}

// Object attributes naming an object (or none for an unnamed one).
struct NamedAttributes
{
    UNICODE_STRING counted{};
    OBJECT_ATTRIBUTES attributes{};

    NamedAttributes(const std::u16string& name, ULONG flags)
    {
        counted = ntdll::CountedString(name);
        InitializeObjectAttributes(&attributes, name.empty() ? nullptr : &counted, flags, nullptr, nullptr);
    }
};

// Finishes a Create*/Open* call: the handle, with ERROR_ALREADY_EXISTS when the name existed, or
// null with the error of the failure.
HANDLE Created(NTSTATUS status, HANDLE handle)
{
    if (!NT_SUCCESS(status))
    {
        ntdll::FailWith(status);
        return nullptr;
    }
    SetLastError(status == STATUS_OBJECT_NAME_EXISTS ? ERROR_ALREADY_EXISTS : ERROR_SUCCESS);
    return handle;
}

// The name an Open* call needs; false (with the last error set) when there is none or it is bad.
bool NameToOpen(LPCSTR lpName, std::u16string& name)
{
    if (lpName == nullptr || lpName[0] == 0)
    {
        SetLastError(ERROR_INVALID_PARAMETER);
        return false;
    }
    return ObjectNameOf(lpName, name);
}

// CreateMutexA and CreateEventA: the object under its name (opened when it exists), or unnamed.
template <typename Create>
HANDLE CreateNamedObject(LPCSTR lpName, Create create)
{
    std::u16string name;
    if (!ObjectNameOf(lpName, name))
    {
        return nullptr;
    }
    NamedAttributes named(name, OBJ_OPENIF);
    HANDLE handle = nullptr;
    NTSTATUS status = create(&handle, &named.attributes);
    return Created(status, handle);
}

// OpenMutexA and OpenEventA.
template <typename Open>
HANDLE OpenNamedObject(LPCSTR lpName, Open open)
{
    std::u16string name;
    if (!NameToOpen(lpName, name))
    {
        return nullptr;
    }
    NamedAttributes named(name, 0);
    HANDLE handle = nullptr;
    NTSTATUS status = open(&handle, &named.attributes);
    return Created(status, handle);
}

// A wait's status as Win32 reports it.
DWORD WaitResult(NTSTATUS status)
{
    if (status == STATUS_TIMEOUT)
    {
        return WAIT_TIMEOUT;
    }
    if (status >= STATUS_ABANDONED_WAIT_0 && status < STATUS_ABANDONED_WAIT_0 + MAXIMUM_WAIT_OBJECTS)
    {
        return WAIT_ABANDONED_0 + static_cast<DWORD>(status - STATUS_ABANDONED_WAIT_0);
    }
    if (status >= STATUS_WAIT_0 && status < STATUS_WAIT_0 + MAXIMUM_WAIT_OBJECTS)
    {
        return WAIT_OBJECT_0 + static_cast<DWORD>(status - STATUS_WAIT_0);
    }
    ntdll::FailWith(status);
    return WAIT_FAILED;
}

pthread_mutex_t* CriticalSectionLock(LPCRITICAL_SECTION cs)
{
    return reinterpret_cast<pthread_mutex_t*>(cs->DebugInfo);
}

} // namespace
} // namespace winsim::user

using namespace winsim::user;

extern "C"
{

    HANDLE WINAPI CreateMutexA(LPSECURITY_ATTRIBUTES lpMutexAttributes, BOOL bInitialOwner, LPCSTR lpName)
    {
        (void)lpMutexAttributes;
        return CreateNamedObject(lpName, [&](PHANDLE handle, POBJECT_ATTRIBUTES attributes) {
            return NtCreateMutant(handle, MUTEX_ALL_ACCESS, attributes, bInitialOwner ? TRUE : FALSE);
        });
    }

    HANDLE WINAPI OpenMutexA(DWORD dwDesiredAccess, BOOL bInheritHandle, LPCSTR lpName)
    {
        (void)bInheritHandle;
        return OpenNamedObject(lpName, [&](PHANDLE handle, POBJECT_ATTRIBUTES attributes) {
            return NtOpenMutant(handle, dwDesiredAccess, attributes);
        });
    }

    BOOL WINAPI ReleaseMutex(HANDLE hMutex)
    {
        NTSTATUS status = NtReleaseMutant(hMutex, nullptr);
        return NT_SUCCESS(status) ? TRUE : winsim::ntdll::FailWith(status);
    }

    HANDLE WINAPI CreateEventA(LPSECURITY_ATTRIBUTES lpEventAttributes, BOOL bManualReset, BOOL bInitialState,
                               LPCSTR lpName)
    {
        (void)lpEventAttributes;
        return CreateNamedObject(lpName, [&](PHANDLE handle, POBJECT_ATTRIBUTES attributes) {
            return NtCreateEvent(handle, EVENT_ALL_ACCESS, attributes,
                                 bManualReset ? NotificationEvent : SynchronizationEvent,
                                 bInitialState ? TRUE : FALSE);
        });
    }

    HANDLE WINAPI OpenEventA(DWORD dwDesiredAccess, BOOL bInheritHandle, LPCSTR lpName)
    {
        (void)bInheritHandle;
        return OpenNamedObject(lpName, [&](PHANDLE handle, POBJECT_ATTRIBUTES attributes) {
            return NtOpenEvent(handle, dwDesiredAccess, attributes);
        });
    }

    BOOL WINAPI SetEvent(HANDLE hEvent)
    {
        NTSTATUS status = NtSetEvent(hEvent, nullptr);
        return NT_SUCCESS(status) ? TRUE : winsim::ntdll::FailWith(status);
    }

    BOOL WINAPI ResetEvent(HANDLE hEvent)
    {
        NTSTATUS status = NtResetEvent(hEvent, nullptr);
        return NT_SUCCESS(status) ? TRUE : winsim::ntdll::FailWith(status);
    }

    DWORD WINAPI WaitForSingleObject(HANDLE hHandle, DWORD dwMilliseconds)
    {
        if (IsLocalHandle(hHandle))
        {
            // Requests on files of the host's disk complete at once: there is nothing to wait for.
            SetLastError(ERROR_INVALID_HANDLE);
            return WAIT_FAILED;
        }
        LARGE_INTEGER timeout;
        return WaitResult(NtWaitForSingleObject(hHandle, FALSE, TimeoutOf(dwMilliseconds, timeout)));
    }

    DWORD WINAPI WaitForMultipleObjects(DWORD nCount, const HANDLE* lpHandles, BOOL bWaitAll,
                                        DWORD dwMilliseconds)
    {
        if (nCount == 0 || nCount > MAXIMUM_WAIT_OBJECTS || lpHandles == nullptr)
        {
            SetLastError(ERROR_INVALID_PARAMETER);
            return WAIT_FAILED;
        }
        HANDLE handles[MAXIMUM_WAIT_OBJECTS];
        for (DWORD i = 0; i < nCount; ++i)
        {
            if (IsLocalHandle(lpHandles[i]))
            {
                SetLastError(ERROR_INVALID_HANDLE);
                return WAIT_FAILED;
            }
            handles[i] = lpHandles[i];
        }
        LARGE_INTEGER timeout;
        return WaitResult(NtWaitForMultipleObjects(nCount, handles, bWaitAll ? WaitAll : WaitAny, FALSE,
                                                   TimeoutOf(dwMilliseconds, timeout)));
    }

    void WINAPI Sleep(DWORD dwMilliseconds)
    {
        LARGE_INTEGER interval;
        if (TimeoutOf(dwMilliseconds, interval) == nullptr)
        {
            // Sleep(INFINITE) never returns: a wait on an event nobody sets.
            HANDLE never = CreateEventA(nullptr, TRUE, FALSE, nullptr);
            WaitForSingleObject(never, INFINITE);
            return;
        }
        NtDelayExecution(FALSE, &interval);
    }

    void WINAPI InitializeCriticalSection(LPCRITICAL_SECTION lpCriticalSection)
    {
        auto* lock = new pthread_mutex_t;
        pthread_mutexattr_t attributes;
        pthread_mutexattr_init(&attributes);
        pthread_mutexattr_settype(&attributes, PTHREAD_MUTEX_RECURSIVE);
        pthread_mutex_init(lock, &attributes);
        pthread_mutexattr_destroy(&attributes);
        lpCriticalSection->DebugInfo = reinterpret_cast<PRTL_CRITICAL_SECTION_DEBUG>(lock);
        lpCriticalSection->LockCount = -1;
        lpCriticalSection->RecursionCount = 0;
        lpCriticalSection->OwningThread = nullptr;
        lpCriticalSection->LockSemaphore = nullptr;
        lpCriticalSection->SpinCount = 0;
    }

    void WINAPI EnterCriticalSection(LPCRITICAL_SECTION lpCriticalSection)
    {
        pthread_mutex_lock(CriticalSectionLock(lpCriticalSection));
        lpCriticalSection->OwningThread = reinterpret_cast<HANDLE>(static_cast<uintptr_t>(CurrentThreadId()));
        ++lpCriticalSection->RecursionCount;
    }

    BOOL WINAPI TryEnterCriticalSection(LPCRITICAL_SECTION lpCriticalSection)
    {
        if (pthread_mutex_trylock(CriticalSectionLock(lpCriticalSection)) != 0)
        {
            return FALSE;
        }
        lpCriticalSection->OwningThread = reinterpret_cast<HANDLE>(static_cast<uintptr_t>(CurrentThreadId()));
        ++lpCriticalSection->RecursionCount;
        return TRUE;
    }

    void WINAPI LeaveCriticalSection(LPCRITICAL_SECTION lpCriticalSection)
    {
        if (--lpCriticalSection->RecursionCount == 0)
        {
            lpCriticalSection->OwningThread = nullptr;
        }
        pthread_mutex_unlock(CriticalSectionLock(lpCriticalSection));
    }

    void WINAPI DeleteCriticalSection(LPCRITICAL_SECTION lpCriticalSection)
    {
        pthread_mutex_t* lock = CriticalSectionLock(lpCriticalSection);
        if (lock != nullptr)
        {
            pthread_mutex_destroy(lock);
            delete lock;
        }
        lpCriticalSection->DebugInfo = nullptr;
    }

} // extern "C"
