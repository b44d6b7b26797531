// The user-mode process the native system services serve: its handle table, its threads' end and
// its rundown. Until a machine runs in a process of its own, the Linux process that runs the
// machine is also its one user-mode process.
#pragma once

#include <wdm.h>

#include "Handles.h"

#include <memory>

namespace winsim::kernel
{

class UserProcess
{
  public:
    UserProcess() : m_handles(false) {}

    HandleTable& Handles() { return m_handles; }
    ULONG Id() const;

    // Closes a handle as NtClose does: a file's cleanup request goes to its driver first.
    NTSTATUS CloseHandle(HANDLE handle);
    // The process ends: every handle it still has is closed, files first.
    void Rundown();
    // One of its threads ended.
    void ThreadEnded(void* thread);

  private:
    HandleTable m_handles;
};

} // namespace winsim::kernel
