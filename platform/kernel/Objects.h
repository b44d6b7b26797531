// The objects user mode reaches through handles besides files and keys: events, mutants (a named
// one shared with the machine's other processes), symbolic links and object directories, and the
// waits on them. Files opened on devices live in FileIo.h, registry keys in Registry.h.
#pragma once

#include <wdm.h>

#include "Handles.h"
#include "SharedState.h"

#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace winsim::kernel
{

class Scheduler;

class EventObject : public KernelObject
{
  public:
    EventObject(EVENT_TYPE type, bool signalled);
    const char* TypeName() const override { return "Event"; }
    DISPATCHER_HEADER* WaitableHeader() override { return &m_event.Header; }
    KEVENT* Event() { return &m_event; }

  private:
    KEVENT m_event{};
};

class MutantObject : public KernelObject
{
  public:
    // shared: the machine-wide part of a named mutant, or null for one this process alone sees.
    MutantObject(bool ownedByCaller, std::unique_ptr<SharedMutex> shared);
    ~MutantObject() override;
    const char* TypeName() const override { return "Mutant"; }
    DISPATCHER_HEADER* WaitableHeader() override { return &m_mutant.Header; }
    KMUTANT* Mutant() { return &m_mutant; }
    SharedMutex* Shared() const { return m_shared.get(); }

    // Releases the caller's ownership once (STATUS_MUTANT_NOT_OWNED when it owns none).
    NTSTATUS Release(LONG* previousCount);

  private:
    KMUTANT m_mutant{};
    std::unique_ptr<SharedMutex> m_shared;
};

// A symbolic link opened or created by user mode. A link created without OBJ_PERMANENT, or made
// temporary, leaves the namespace when this handle's object goes.
class SymbolicLinkObject : public KernelObject
{
  public:
    SymbolicLinkObject(std::u16string name, bool temporary) : m_name(std::move(name)), m_temporary(temporary)
    {
    }
    ~SymbolicLinkObject() override;
    const char* TypeName() const override { return "SymbolicLink"; }
    const std::u16string& Name() const { return m_name; }
    void MakeTemporary() { m_temporary = true; }

  private:
    std::u16string m_name;
    bool m_temporary;
};

class DirectoryObject : public KernelObject
{
  public:
    explicit DirectoryObject(std::u16string path) : m_path(std::move(path)) {}
    const char* TypeName() const override { return "Directory"; }
    const std::u16string& Path() const { return m_path; }

  private:
    std::u16string m_path;
};

// Waits for events, mutants and files (their I/O) as NtWaitForMultipleObjects does: in the dispatcher first, then, for
// a named mutant the caller has just come to own, for its machine-wide part. deadline is interrupt
// time. Returns STATUS_WAIT_0 + i, STATUS_ABANDONED_WAIT_0 + i or STATUS_TIMEOUT; an object that
// cannot be waited on gives STATUS_OBJECT_TYPE_MISMATCH.
// The caller keeps the objects alive; at most 64.
NTSTATUS WaitForObjects(KernelObject* const* objects, ULONG count, WAIT_TYPE type,
                        std::optional<ULONGLONG> deadline);

} // namespace winsim::kernel
