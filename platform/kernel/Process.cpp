#include "Process.h"

#include "FileIo.h"
#include "Scheduler.h"
#include "System.h"
#include "Thread.h"

#include <errno.h>
#include <poll.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <vector>

namespace winsim::kernel
{
namespace
{

// MAXIMUM_SUSPEND_COUNT: the most times a thread can be suspended at once.
constexpr ULONG MaximumSuspendCount = 127;

} // namespace

ULONG UserProcess::Id() const
{
    return static_cast<ULONG>(getpid());
}

NTSTATUS UserProcess::CloseHandle(HANDLE handle)
{
    std::shared_ptr<KernelObject> object = m_handles.Lookup(handle);
    if (object == nullptr || !m_handles.Close(handle))
    {
        return STATUS_INVALID_HANDLE;
    }
    if (auto file = std::dynamic_pointer_cast<UserFile>(object))
    {
        System::Current().Files().HandleClosed(file);
    }
    return STATUS_SUCCESS;
}

void UserProcess::Rundown()
{
    std::vector<std::shared_ptr<KernelObject>> objects = m_handles.TakeAll();
    for (const auto& object : objects)
    {
        if (auto file = std::dynamic_pointer_cast<UserFile>(object))
        {
            System::Current().Files().HandleClosed(file);
        }
    }
}

void UserProcess::ThreadEnded(void* thread, NTSTATUS exitStatus)
{
    System& system = System::Current();
    system.Files().ThreadEnded(thread);
    system.GetScheduler().AbandonMutantsOf(thread);
    // A created thread: its object learns the exit status and is signalled, once its I/O and
    // mutants are done with.
    ThreadState& state = *static_cast<ThreadState*>(thread);
    ThreadObject* object = state.object;
    if (object == nullptr)
    {
        return;
    }
    state.object = nullptr;
    {
        std::lock_guard<std::mutex> guard(object->m_lock);
        object->m_state = ThreadObject::State::Ended;
        object->m_exitStatus = exitStatus;
    }
    std::shared_ptr<ThreadObject> held;
    {
        std::lock_guard<std::mutex> guard(m_threadsLock);
        auto found = m_threads.find(object->Id());
        if (found != m_threads.end())
        {
            held = std::move(found->second);
            m_threads.erase(found);
        }
    }
    system.GetScheduler().ThreadEnded(&object->m_header, true);
}

// --- created threads ---------------------------------------------------------------------------

ThreadObject::ThreadObject(ULONG id, ULONG suspendCount) : m_id(id), m_suspendCount(suspendCount)
{
    Scheduler& scheduler = System::Current().GetScheduler();
    scheduler.InitializeThread(&m_header);
    scheduler.InitializeEvent(&m_resumed, NotificationEvent, suspendCount == 0);
}

NTSTATUS ThreadObject::ExitStatus() const
{
    std::lock_guard<std::mutex> guard(m_lock);
    return m_exitStatus;
}

std::shared_ptr<ThreadObject> UserProcess::Thread(ULONG id)
{
    std::lock_guard<std::mutex> guard(m_threadsLock);
    auto found = m_threads.find(id);
    return found != m_threads.end() ? found->second : nullptr;
}

NTSTATUS UserProcess::CreateThread(bool suspended, std::shared_ptr<ThreadObject>* thread)
{
    std::lock_guard<std::mutex> guard(m_threadsLock);
    ULONG id = m_nextThreadId;
    m_nextThreadId += 4;
    auto created = std::make_shared<ThreadObject>(id, suspended ? 1 : 0);
    m_threads[id] = created;
    System::Current().GetScheduler().ThreadCreated();
    *thread = std::move(created);
    return STATUS_SUCCESS;
}

NTSTATUS UserProcess::StartThread(ULONG id)
{
    std::shared_ptr<ThreadObject> thread;
    {
        std::lock_guard<std::mutex> guard(m_threadsLock);
        auto found = m_threads.find(id);
        if (found == m_threads.end())
        {
            return STATUS_INVALID_PARAMETER;
        }
        thread = found->second;
    }
    ThreadState& self = CurrentThread();
    {
        std::lock_guard<std::mutex> guard(thread->m_lock);
        if (thread->m_state != ThreadObject::State::Created || self.object != nullptr)
        {
            return STATUS_INVALID_PARAMETER;
        }
        thread->m_state = ThreadObject::State::Starting;
    }
    self.object = thread.get();
    Scheduler& scheduler = System::Current().GetScheduler();
    scheduler.BindCreatedThread();
    // A SuspendThread may come between the wake-up and the look at the count: wait again then.
    for (;;)
    {
        scheduler.WaitForObject(&thread->m_resumed.Header, std::nullopt);
        std::lock_guard<std::mutex> guard(thread->m_lock);
        if (thread->m_suspendCount == 0)
        {
            thread->m_state = ThreadObject::State::Running;
            return STATUS_SUCCESS;
        }
    }
}

NTSTATUS UserProcess::SuspendThread(ThreadObject& thread, ULONG* previous)
{
    std::lock_guard<std::mutex> guard(thread.m_lock);
    switch (thread.m_state)
    {
    case ThreadObject::State::Ended:
        return STATUS_THREAD_IS_TERMINATING;
    case ThreadObject::State::Running:
        return STATUS_NOT_SUPPORTED; // a host thread cannot be stopped where it runs
    default:
        break;
    }
    if (thread.m_suspendCount == MaximumSuspendCount)
    {
        return STATUS_SUSPEND_COUNT_EXCEEDED;
    }
    *previous = thread.m_suspendCount;
    if (thread.m_suspendCount++ == 0)
    {
        System::Current().GetScheduler().ResetEvent(&thread.m_resumed);
    }
    return STATUS_SUCCESS;
}

NTSTATUS UserProcess::ResumeThread(ThreadObject& thread, ULONG* previous)
{
    std::lock_guard<std::mutex> guard(thread.m_lock);
    *previous = thread.m_suspendCount;
    if (thread.m_suspendCount != 0 && --thread.m_suspendCount == 0)
    {
        System::Current().GetScheduler().SetEvent(&thread.m_resumed);
    }
    return STATUS_SUCCESS;
}

NTSTATUS UserProcess::TerminateOther(ThreadObject& thread, NTSTATUS exitStatus)
{
    std::shared_ptr<ThreadObject> held;
    {
        std::lock_guard<std::mutex> guard(thread.m_lock);
        if (thread.m_state == ThreadObject::State::Ended)
        {
            return STATUS_SUCCESS;
        }
        if (thread.m_state != ThreadObject::State::Created)
        {
            return STATUS_NOT_SUPPORTED;
        }
        thread.m_state = ThreadObject::State::Ended;
        thread.m_exitStatus = exitStatus;
    }
    {
        std::lock_guard<std::mutex> guard(m_threadsLock);
        auto found = m_threads.find(thread.Id());
        if (found != m_threads.end())
        {
            held = std::move(found->second);
            m_threads.erase(found);
        }
    }
    System::Current().GetScheduler().ThreadEnded(&thread.m_header, false);
    return STATUS_SUCCESS;
}

// --- child processes ---------------------------------------------------------------------------

ProcessObject::ProcessObject(pid_t pid) : m_pid(pid)
{
    System::Current().GetScheduler().InitializeEvent(&m_exited, NotificationEvent, false);
}

NTSTATUS ProcessObject::ExitStatus() const
{
    std::lock_guard<std::mutex> guard(m_lock);
    return m_exitStatus;
}

UserProcess::~UserProcess()
{
    {
        std::lock_guard<std::mutex> guard(m_childrenLock);
        m_stopping = true;
    }
    if (m_watcher.joinable())
    {
        uint64_t one = 1;
        (void)!write(m_wakeFd, &one, sizeof(one));
        m_watcher.join();
    }
    for (const auto& [pidfd, process] : m_children)
    {
        close(pidfd);
    }
    if (m_wakeFd >= 0)
    {
        close(m_wakeFd);
    }
}

NTSTATUS UserProcess::CreateChildProcess(pid_t pid, std::shared_ptr<ProcessObject>* process,
                                         std::shared_ptr<ChildThreadObject>* thread)
{
    // The child stays a zombie until the watcher reaps it, so its descriptor can be opened even when
    // it has ended already.
    int pidfd = static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
    siginfo_t info{};
    if (pidfd < 0 || waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT) != 0)
    {
        if (pidfd >= 0)
        {
            close(pidfd);
        }
        return STATUS_INVALID_PARAMETER;
    }
    ULONG threadId = 0;
    {
        std::lock_guard<std::mutex> guard(m_threadsLock);
        threadId = m_nextThreadId;
        m_nextThreadId += 4;
    }
    auto created = std::make_shared<ProcessObject>(pid);
    {
        std::lock_guard<std::mutex> guard(m_childrenLock);
        if (m_wakeFd < 0)
        {
            m_wakeFd = eventfd(0, EFD_CLOEXEC);
        }
        m_children[pidfd] = created;
        if (!m_watcher.joinable())
        {
            m_watcher = std::thread([this] { WatchChildren(); });
        }
    }
    System::Current().GetScheduler().ChildProcessStarted();
    uint64_t one = 1;
    (void)!write(m_wakeFd, &one, sizeof(one));
    *thread = std::make_shared<ChildThreadObject>(threadId, created);
    *process = std::move(created);
    return STATUS_SUCCESS;
}

void UserProcess::WatchChildren()
{
    std::vector<pollfd> watched;
    for (;;)
    {
        watched.clear();
        {
            std::lock_guard<std::mutex> guard(m_childrenLock);
            if (m_stopping)
            {
                return;
            }
            watched.push_back(pollfd{m_wakeFd, POLLIN, 0});
            for (const auto& [pidfd, process] : m_children)
            {
                watched.push_back(pollfd{pidfd, POLLIN, 0});
            }
        }
        if (poll(watched.data(), watched.size(), -1) < 0)
        {
            continue; // EINTR
        }
        if ((watched[0].revents & POLLIN) != 0)
        {
            uint64_t count = 0;
            (void)!read(m_wakeFd, &count, sizeof(count));
        }
        for (size_t i = 1; i < watched.size(); ++i)
        {
            if (watched[i].revents == 0)
            {
                continue;
            }
            std::shared_ptr<ProcessObject> process;
            {
                std::lock_guard<std::mutex> guard(m_childrenLock);
                if (m_stopping)
                {
                    return;
                }
                auto found = m_children.find(watched[i].fd);
                if (found == m_children.end())
                {
                    continue;
                }
                int status = 0;
                pid_t reaped = 0;
                while ((reaped = waitpid(found->second->HostId(), &status, WNOHANG)) < 0 && errno == EINTR)
                {
                }
                if (reaped == 0)
                {
                    continue; // not ended after all
                }
                process = std::move(found->second);
                m_children.erase(found);
                close(watched[i].fd);
                // Signalled while the lock keeps the process from going: teardown waits for this.
                {
                    std::lock_guard<std::mutex> exitGuard(process->m_lock);
                    process->m_exitStatus = reaped > 0 ? ExitCodeOf(status) : STATUS_UNSUCCESSFUL;
                }
                System::Current().GetScheduler().SetEvent(&process->m_exited);
                System::Current().GetScheduler().ChildProcessEnded();
            }
        }
    }
}

NTSTATUS UserProcess::ExitCodeOf(int waitStatus)
{
    if (WIFEXITED(waitStatus))
    {
        return static_cast<NTSTATUS>(WEXITSTATUS(waitStatus));
    }
    switch (WIFSIGNALED(waitStatus) ? WTERMSIG(waitStatus) : 0)
    {
    case SIGSEGV:
    case SIGBUS:
        return STATUS_ACCESS_VIOLATION;
    case SIGILL:
        return STATUS_ILLEGAL_INSTRUCTION;
    case SIGFPE:
        return STATUS_INTEGER_DIVIDE_BY_ZERO;
    case SIGABRT:
        return 3; // what the C runtime's abort() exits with
    case SIGINT:
        return STATUS_CONTROL_C_EXIT;
    default:
        return 1; // ended from outside, as TerminateProcess(process, 1) leaves it
    }
}

} // namespace winsim::kernel
