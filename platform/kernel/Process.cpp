#include "Process.h"

#include "FileIo.h"
#include "Scheduler.h"
#include "System.h"

#include <unistd.h>

namespace winsim::kernel
{

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

void UserProcess::ThreadEnded(void* thread)
{
    System& system = System::Current();
    system.Files().ThreadEnded(thread);
    system.GetScheduler().AbandonMutantsOf(thread);
}

} // namespace winsim::kernel
