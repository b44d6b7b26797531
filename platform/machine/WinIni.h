// win.ini, the profile of the machine's Windows folder, as the machine's own setup code writes it:
// through kernel32's profile functions, as the user-mode installers of Windows do.
#pragma once

#include <filesystem>
#include <string>

namespace winsim::machine
{

// Writes "<port>:=9600,n,8,1" into the [Ports] section of the win.ini at that host path, unless the
// section has a line for the port already (its settings stay as they are).
void AddPortsLine(const std::filesystem::path& winIni, const std::string& portName);

} // namespace winsim::machine
