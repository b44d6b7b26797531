#include "Process.h"

#include "FileIo.h"
#include "Scheduler.h"
#include "System.h"
#include "Thread.h"

#include <unistd.h>

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

} // namespace winsim::kernel
