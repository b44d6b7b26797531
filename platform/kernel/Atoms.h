// The machine's atom table as far as registered window messages need it: a name (compared without
// case) gets a number from 0xC000 up, the same in every process of the machine.
#pragma once

#include <wdm.h>

#include <map>
#include <mutex>
#include <string>

namespace winsim::kernel
{

class AtomTable
{
  public:
    // machineDirectory: where the table the machine's processes share lives; empty for a table of
    // this process alone.
    explicit AtomTable(std::string machineDirectory) : m_directory(std::move(machineDirectory)) {}

    // The atom of a name, added when missing. STATUS_INSUFFICIENT_RESOURCES when the table is full.
    NTSTATUS Add(std::u16string_view name, USHORT* atom);

  private:
    std::string m_directory;
    std::mutex m_lock;
    std::map<std::u16string, USHORT> m_known; // upper-cased name
};

} // namespace winsim::kernel
