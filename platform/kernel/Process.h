// The user-mode process the native system services serve: its handle table, its threads and
// its rundown. Until a machine runs in a process of its own, the Linux process that runs the
// machine is also its one user-mode process.
//
// A thread the process creates (CreateThread) comes to be in two steps, since user mode starts the
// host thread itself: the kernel makes the thread object first (CreateThread), then the new host
// thread binds itself to it (StartThread) and waits in the dispatcher while the thread is
// suspended. The thread's kernel life ends when it terminates itself (NtTerminateThread).
//
// A child process (CreateProcess) likewise: user mode starts the host process, then the kernel
// makes its process object and the object of its first thread (CreateChildProcess), and the
// process's child watcher, a host thread the process owns, signals both when the host process
// ends. The watcher stops, and is joined, when the process goes (before the dispatcher does).
#pragma once

#include <wdm.h>

#include "Handles.h"

#include <sys/types.h>

#include <map>
#include <memory>
#include <mutex>
#include <thread>

namespace winsim::kernel
{

// A thread of the process, as its handles show it. The object is a dispatcher object, signalled
// for good when the thread ends; a wait on a thread handle waits for that.
class ThreadObject : public KernelObject
{
  public:
    // suspendCount: 1 for a thread created suspended, 0 otherwise.
    ThreadObject(ULONG id, ULONG suspendCount);
    const char* TypeName() const override { return "Thread"; }
    DISPATCHER_HEADER* WaitableHeader() override { return &m_header; }
    ULONG Id() const { return m_id; }
    // STATUS_PENDING (STILL_ACTIVE) until the thread ends, then its exit status.
    NTSTATUS ExitStatus() const;

  private:
    friend class UserProcess;

    // What the thread is in its life; guarded by m_lock.
    enum class State
    {
        Created,  // the host thread has not bound itself yet
        Starting, // bound, waiting in the dispatcher while suspended
        Running,  // runs its start routine
        Ended,
    };

    const ULONG m_id;
    DISPATCHER_HEADER m_header{}; // signalled when the thread ends
    KEVENT m_resumed{};           // notification event, set while the suspend count is 0
    mutable std::mutex m_lock;    // guards the fields below; taken before the dispatcher's lock
    State m_state = State::Created;
    ULONG m_suspendCount;
    NTSTATUS m_exitStatus = STATUS_PENDING;
};

// A child process, as its handles show it: a dispatcher object signalled for good when the host
// process ends.
class ProcessObject : public KernelObject
{
  public:
    ProcessObject(pid_t pid);
    const char* TypeName() const override { return "Process"; }
    DISPATCHER_HEADER* WaitableHeader() override { return &m_exited.Header; }
    pid_t HostId() const { return m_pid; }
    // STATUS_PENDING (STILL_ACTIVE) until the process ends, then its exit code.
    NTSTATUS ExitStatus() const;

  private:
    friend class UserProcess;

    const pid_t m_pid;
    KEVENT m_exited{};         // notification event, set when the process ends
    mutable std::mutex m_lock; // guards m_exitStatus
    NTSTATUS m_exitStatus = STATUS_PENDING;
};

// The first thread of a child process. A host process's threads are beyond the machine's reach:
// the object only tells when the thread ended, which is when its process did.
class ChildThreadObject : public KernelObject
{
  public:
    ChildThreadObject(ULONG id, std::shared_ptr<ProcessObject> process)
        : m_id(id), m_process(std::move(process))
    {
    }
    const char* TypeName() const override { return "Thread"; }
    DISPATCHER_HEADER* WaitableHeader() override { return m_process->WaitableHeader(); }
    ULONG Id() const { return m_id; }
    const ProcessObject& Process() const { return *m_process; }

  private:
    const ULONG m_id;
    const std::shared_ptr<ProcessObject> m_process;
};

class UserProcess
{
  public:
    UserProcess() : m_handles(false) {}
    // Stops and joins the child watcher; children still running are left to run.
    ~UserProcess();
    UserProcess(const UserProcess&) = delete;
    UserProcess& operator=(const UserProcess&) = delete;

    HandleTable& Handles() { return m_handles; }
    ULONG Id() const;

    // Closes a handle as NtClose does: a file's cleanup request goes to its driver first.
    NTSTATUS CloseHandle(HANDLE handle);
    // The process ends: every handle it still has is closed, files first.
    void Rundown();
    // One of its threads ended: its I/O is cancelled and its mutants abandoned. For a created
    // thread (the calling one) its object also gets its exit status and is signalled.
    void ThreadEnded(void* thread, NTSTATUS exitStatus);

    // --- created threads ---
    // The live created thread of that id, or null.
    std::shared_ptr<ThreadObject> Thread(ULONG id);
    // Makes the object of a new thread, suspended or not; *thread gets it.
    NTSTATUS CreateThread(bool suspended, std::shared_ptr<ThreadObject>* thread);
    // Binds the calling host thread to the live thread of that id and waits while it is suspended.
    // STATUS_INVALID_PARAMETER for no such thread (or one already bound), STATUS_THREAD_IS_TERMINATING
    // when it ended before it could run.
    NTSTATUS StartThread(ULONG id);
    // The suspend count goes up or down by one; *previous gets the count before. Suspending a thread
    // that runs its start routine is not supported (STATUS_NOT_SUPPORTED); an ended thread cannot be
    // suspended (STATUS_THREAD_IS_TERMINATING) and resumes as one never suspended.
    NTSTATUS SuspendThread(ThreadObject& thread, ULONG* previous);
    NTSTATUS ResumeThread(ThreadObject& thread, ULONG* previous);
    // Ends a thread that has not begun its start routine (STATUS_NOT_SUPPORTED for one that has).
    NTSTATUS TerminateOther(ThreadObject& thread, NTSTATUS exitStatus);

    // --- child processes ---
    // Makes the objects of a host process user mode has just started as a child of this one, and
    // watches it. STATUS_INVALID_PARAMETER when pid is no child of this host process.
    NTSTATUS CreateChildProcess(pid_t pid, std::shared_ptr<ProcessObject>* process,
                                std::shared_ptr<ChildThreadObject>* thread);

  private:
    // The watcher's loop: waits on the children's process descriptors and on m_wakeFd, and reaps
    // and signals each child that ends.
    void WatchChildren();
    // Exit code of a host process's wait status. A Linux process leaves only the low 8 bits of what
    // it returns; one that a signal ended gets the NTSTATUS of the fault the signal stands for.
    static NTSTATUS ExitCodeOf(int waitStatus);

    HandleTable m_handles;
    std::mutex m_threadsLock;
    std::map<ULONG, std::shared_ptr<ThreadObject>> m_threads; // the live created threads
    // Ids of created threads: multiples of four above every host thread id (a host's pid_max is at
    // most 2^22), so none is ever the id of a thread the process did not create.
    ULONG m_nextThreadId = 0x00400004;

    // --- the child watcher: m_childrenLock guards the fields below ---
    std::mutex m_childrenLock;
    std::map<int, std::shared_ptr<ProcessObject>> m_children; // by process descriptor (pidfd)
    int m_wakeFd = -1;                                        // eventfd: the table changed, or stop
    bool m_stopping = false;
    std::thread m_watcher; // started with the first child
};

} // namespace winsim::kernel
