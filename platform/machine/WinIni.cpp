#include "WinIni.h"

#include <windows.h>
#include <winsim/user.h>

namespace winsim::machine
{

namespace
{

constexpr char DefaultPortSettings[] = "9600,n,8,1"; // baud rate, parity, data bits, stop bits

} // namespace

void AddPortsLine(const std::filesystem::path& winIni, const std::string& portName)
{
    std::string file = winsim::ToWindowsPath(winIni.string());
    std::string key = portName + ":";
    char existing[2];
    if (GetPrivateProfileStringA("Ports", key.c_str(), "", existing, sizeof(existing), file.c_str()) == 0)
    {
        WritePrivateProfileStringA("Ports", key.c_str(), DefaultPortSettings, file.c_str());
    }
}

} // namespace winsim::machine
