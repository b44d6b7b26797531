// What a machine folder says about the machine a process boots on it: the driver packages to
// install, the readers to plug in and the clock. The launcher (winsim-run) writes it; a Windows
// program started on the folder boots that machine in its process (WinsimHostMachine) when it first
// calls into the kernel. The file is machine.ini in the folder:
//
//   [Machine]
//   Clock=real            ; or virtual: moves on to the next deadline whenever every thread waits
//   [Packages]
//   1=/path/to/TARNOCOM.inf
//   [Readers]
//   1=2B4E:0730:TR0001    ; vendor ID, product ID (hexadecimal), serial number
//   [TraceSession]        ; a session started at boot (see BootTraceSession), when present
//   Name=TarnoTrace       ; it writes C:\Windows\System32\TarnoTrace.etl
//   Provider={xxxxxxxx-xxxx-xxxx-xxxx-xxxxxxxxxxxx}
//   Level=5
//   Flags=0x1
#pragma once

#include "Machine.h"

#include <filesystem>
#include <optional>
#include <vector>

namespace winsim::machine
{

struct MachineDescription
{
    std::vector<std::filesystem::path> packages;
    std::vector<ReaderSpec> readers;
    bool realTime = true;
    std::optional<BootTraceSession> traceSession;

    // Throws std::runtime_error naming the line of an entry it cannot read.
    static std::optional<MachineDescription> Read(const std::filesystem::path& root);
    void Write(const std::filesystem::path& root) const;
};

// A reader written VID:PID[:SERIAL] (hexadecimal IDs). Throws std::runtime_error saying what is
// wrong with it.
ReaderSpec ParseReaderSpec(const std::string& text);

// Boots the machine a folder describes, installs its packages and plugs its readers in.
std::unique_ptr<Machine> BootDescribed(const std::filesystem::path& root);

} // namespace winsim::machine
