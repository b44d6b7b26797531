// A viewer of a machine's debugger output, as DebugView is on Windows: while it exists it receives
// what the machine's processes send with OutputDebugString (and nothing goes anywhere while none
// exists). One listener per machine.
#pragma once

#include <stdint.h>
#include <string>
#include <vector>

namespace winsim::machine
{

class DebugOutputListener
{
  public:
    struct Message
    {
        uint32_t processId;
        std::string text;
    };

    // machineDirectory: the machine's folder; empty for the machine of this process's WINSIM_ROOT.
    explicit DebugOutputListener(std::string machineDirectory = {});
    ~DebugOutputListener();
    DebugOutputListener(const DebugOutputListener&) = delete;
    DebugOutputListener& operator=(const DebugOutputListener&) = delete;

    // False when another listener of this machine already exists.
    bool Listening() const;
    const std::string& MachineDirectory() const { return m_directory; }

    // Waits until everything sent before this call has been received, then returns all messages
    // received so far.
    std::vector<Message> Collect();

  private:
    struct Impl;
    std::string m_directory;
    Impl* m_impl;
};

} // namespace winsim::machine
