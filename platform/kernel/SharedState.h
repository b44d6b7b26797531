// The state a machine shares between the Linux processes that run on it, until the machine runs in
// a process of its own: it lives in files below the machine's folder.
//
// - A named mutex is one robust, process-shared pthread mutex in a file of its own
//   (<machine>/objects/mutant/<name>), mapped into every process that opens the name. Taking it
//   costs no system call unless another process holds it, and a thread that ends while holding it
//   leaves it abandoned, as on Windows.
// - The atom table of registered window messages is one text file (<machine>/atoms), read and
//   extended under an exclusive lock, so every process gets the same number for the same name.
#pragma once

#include <wdm.h>

#include <chrono>
#include <memory>
#include <optional>
#include <string>

namespace winsim::kernel
{

class SharedMutex
{
  public:
    ~SharedMutex();
    SharedMutex(const SharedMutex&) = delete;
    SharedMutex& operator=(const SharedMutex&) = delete;

    // Opens (creating it if needed) the machine-wide part of a named mutex. *existed tells whether
    // another process has it open. Returns nullptr with a status when the file cannot be used.
    static std::unique_ptr<SharedMutex> Open(const std::string& machineDirectory, std::u16string_view name,
                                             bool* existed, NTSTATUS* status);

    enum class Result
    {
        Acquired,
        Abandoned, // its owner ended without releasing it; the caller owns it now
        TimedOut,
    };
    // Waits (on the host's clock) for the mutex; no limit when timeout is empty.
    Result Lock(std::optional<std::chrono::milliseconds> timeout);
    void Unlock();

  private:
    struct Mapped;
    SharedMutex(Mapped* mapped, int presence) : m_mapped(mapped), m_presence(presence) {}
    Mapped* m_mapped;
    int m_presence; // the mutex's file, share-locked while this process has it open
    bool m_held = false;
};

// Looks a name up in the machine's atom table, adding it when missing. Names compare without case;
// numbers run from 0xC000. Returns 0 when the table is full or cannot be used.
USHORT AddSharedAtom(const std::string& machineDirectory, std::u16string_view name);

// A host file name made of the characters a file name may hold, for an object name.
std::string HostFileNameOf(std::u16string_view name);

} // namespace winsim::kernel
