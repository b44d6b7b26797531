// Services of the simulated user mode that tests and tools use directly (not part of Win32).
#pragma once

#include <winsim/base.h>

#include <stdint.h>
#include <string>
#include <string_view>
#include <vector>

namespace winsim
{

// Folder holding the state that the processes of one simulated machine share (named mutexes,
// the registered-message atoms, the debugger-output endpoint): $WINSIM_ROOT when set, otherwise
// /tmp/winsim-<uid>. Created on first use.
WINSIM_API std::string StateDirectory();

// Windows path <-> host path. Drive Z: is the host's root, as under Wine. ToHostPath resolves a
// relative path against the current directory and folds "." and ".."; it returns false with a
// Win32 error code for paths that name no host file (unknown drive, UNC or device paths).
WINSIM_API bool ToHostPath(std::string_view windowsPath, std::string& hostPath, unsigned& error);
WINSIM_API std::string ToWindowsPath(std::string_view hostPath);

// Receives what the processes of this machine send with OutputDebugStringA while it exists, the
// way a debug-output viewer does. Debugger output goes nowhere when no listener exists.
class WINSIM_API DebugOutputListener
{
  public:
    struct Message
    {
        uint32_t processId;
        std::string text;
    };

    DebugOutputListener();
    ~DebugOutputListener();
    DebugOutputListener(const DebugOutputListener&) = delete;
    DebugOutputListener& operator=(const DebugOutputListener&) = delete;

    // False when another listener of this machine already exists.
    bool Listening() const;

    // Waits until everything sent before this call has been received, then returns all messages
    // received so far.
    std::vector<Message> Collect();

  private:
    struct Impl;
    Impl* m_impl;
};

} // namespace winsim
