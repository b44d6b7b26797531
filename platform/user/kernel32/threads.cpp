// Threads: CreateThread and what a program does with a thread's handle.
//
// A thread is the kernel's as well as the process's. CreateThread first asks the kernel for the
// thread's object (CreateUserThread: a handle, an id, a suspend count), then starts a host thread
// that, before anything else, takes the id as its own and binds itself to that object
// (StartUserThread). The binding returns once the thread is not suspended, so a thread created
// suspended waits in the kernel's dispatcher, where the machine sees it wait. The thread ends its
// kernel life when its start routine returns or it calls ExitThread (NtTerminateThread): its I/O
// is cancelled, its mutexes abandoned, and its object signalled with the exit code.
//
// Host threads are detached: a program learns of a thread's end from its handle, as on Windows,
// and closing the handle leaves the thread running.
#include "internal.h"
#include "ntdll/ntdll.h"

#include <pthread.h>
#include <unistd.h>

namespace winsim::user
{
namespace
{

using syscall::THREAD_BASIC_INFORMATION;

// What the new host thread needs, handed over once (it frees it).
struct StartBlock
{
    LPTHREAD_START_ROUTINE routine;
    LPVOID parameter;
    DWORD id;
};

void* ThreadMain(void* argument)
{
    StartBlock start = *static_cast<StartBlock*>(argument);
    delete static_cast<StartBlock*>(argument);
    SetCurrentThreadId(start.id);
    if (!NT_SUCCESS(ntdll::StartUserThread(start.id)))
    {
        return nullptr; // the kernel ended it before it could start
    }
    ExitThread(start.routine(start.parameter));
}

// The thread's basic information; false with the last error set on failure.
bool QueryThread(HANDLE hThread, THREAD_BASIC_INFORMATION* info)
{
    NTSTATUS status =
        NtQueryInformationThread(hThread, syscall::ThreadBasicInformation, info, sizeof(*info), nullptr);
    return NT_SUCCESS(status) || ntdll::FailWith(status);
}

} // namespace
} // namespace winsim::user

using namespace winsim::user;

extern "C"
{

    HANDLE WINAPI CreateThread(LPSECURITY_ATTRIBUTES lpThreadAttributes, SIZE_T dwStackSize,
                               LPTHREAD_START_ROUTINE lpStartAddress, LPVOID lpParameter,
                               DWORD dwCreationFlags, LPDWORD lpThreadId)
    {
        (void)lpThreadAttributes;
        if (lpStartAddress == nullptr)
        {
            SetLastError(ERROR_INVALID_PARAMETER);
            return nullptr;
        }
        HANDLE thread = nullptr;
        DWORD id = 0;
        NTSTATUS status =
            winsim::ntdll::CreateUserThread(&thread, (dwCreationFlags & CREATE_SUSPENDED) != 0, &id);
        if (!NT_SUCCESS(status))
        {
            winsim::ntdll::FailWith(status);
            return nullptr;
        }
        pthread_attr_t attributes;
        pthread_attr_init(&attributes);
        pthread_attr_setdetachstate(&attributes, PTHREAD_CREATE_DETACHED);
        // dwStackSize (commit or reserve) only ever makes the stack larger than the host's default.
        size_t stack = 0;
        pthread_attr_getstacksize(&attributes, &stack);
        if (dwStackSize > stack)
        {
            size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
            pthread_attr_setstacksize(&attributes, (dwStackSize + page - 1) / page * page);
        }
        auto* start = new StartBlock{lpStartAddress, lpParameter, id};
        pthread_t host;
        int error = pthread_create(&host, &attributes, ThreadMain, start);
        pthread_attr_destroy(&attributes);
        if (error != 0)
        {
            delete start;
            NtTerminateThread(thread, STATUS_NO_MEMORY);
            NtClose(thread);
            SetLastError(ERROR_NOT_ENOUGH_MEMORY);
            return nullptr;
        }
        if (lpThreadId != nullptr)
        {
            *lpThreadId = id;
        }
        return thread;
    }

    DWORD WINAPI ResumeThread(HANDLE hThread)
    {
        ULONG previous = 0;
        NTSTATUS status = NtResumeThread(hThread, &previous);
        return NT_SUCCESS(status) ? previous : (winsim::ntdll::FailWith(status), static_cast<DWORD>(-1));
    }

    DWORD WINAPI SuspendThread(HANDLE hThread)
    {
        ULONG previous = 0;
        NTSTATUS status = NtSuspendThread(hThread, &previous);
        return NT_SUCCESS(status) ? previous : (winsim::ntdll::FailWith(status), static_cast<DWORD>(-1));
    }

    void WINAPI ExitThread(DWORD dwExitCode)
    {
        NtTerminateThread(GetCurrentThread(), static_cast<NTSTATUS>(dwExitCode));
        pthread_exit(nullptr);
    }

    BOOL WINAPI GetExitCodeThread(HANDLE hThread, LPDWORD lpExitCode)
    {
        THREAD_BASIC_INFORMATION info;
        if (!QueryThread(hThread, &info))
        {
            return FALSE;
        }
        *lpExitCode = static_cast<DWORD>(info.ExitStatus);
        return TRUE;
    }

    HANDLE WINAPI GetCurrentThread(void)
    {
        return winsim::syscall::CurrentThreadHandle();
    }

    DWORD WINAPI GetThreadId(HANDLE Thread)
    {
        THREAD_BASIC_INFORMATION info;
        if (!QueryThread(Thread, &info))
        {
            return 0;
        }
        return static_cast<DWORD>(reinterpret_cast<ULONG_PTR>(info.ClientId.UniqueThread));
    }

} // extern "C"
