// Windows paths on the host file system, current directory and full path names.
//
// Drive letters map to host folders: C: is the machine's drive C: folder (so a program sees the
// files the machine's kernel and setup see, C:\Windows\System32 included), and Z: is the host's
// root, as under Wine. The drive table below is the only place that knows the mapping.
#include "internal.h"
#include "ntdll/ntdll.h"

#include <winsim/user.h>

#include <errno.h>
#include <string.h>
#include <unistd.h>

#include <type_traits>
#include <vector>

namespace winsim::user
{
namespace
{

struct Drive
{
    char letter;
    std::string hostRoot; // without a trailing slash, except for the host's root itself
};

std::vector<Drive> Drives()
{
    return {{'C', ntdll::SystemDriveDirectory()}, {'Z', "/"}};
}

bool FindDrive(char letter, Drive& drive)
{
    char upper = (letter >= 'a' && letter <= 'z') ? static_cast<char>(letter - 'a' + 'A') : letter;
    for (Drive& d : Drives())
    {
        if (d.letter == upper)
        {
            drive = std::move(d);
            return true;
        }
    }
    return false;
}

bool IsSeparator(char c)
{
    return c == '\\' || c == '/';
}

std::vector<std::string> SplitComponents(std::string_view path)
{
    std::vector<std::string> parts;
    std::string current;
    for (char c : path)
    {
        if (IsSeparator(c))
        {
            if (!current.empty())
            {
                parts.push_back(current);
                current.clear();
            }
        }
        else
        {
            current.push_back(c);
        }
    }
    if (!current.empty())
    {
        parts.push_back(current);
    }
    return parts;
}

void Append(std::vector<std::string>& components, const std::vector<std::string>& more)
{
    for (const std::string& part : more)
    {
        if (part == ".")
        {
            continue;
        }
        if (part == "..")
        {
            if (!components.empty())
            {
                components.pop_back();
            }
            continue;
        }
        components.push_back(part);
    }
}

std::string HostCurrentDirectory()
{
    char buffer[4096];
    if (getcwd(buffer, sizeof(buffer)) == nullptr)
    {
        return "/";
    }
    return buffer;
}

// "Z:\folder\sub" for the process's current directory.
std::string WindowsCurrentDirectory()
{
    return winsim::ToWindowsPath(HostCurrentDirectory());
}

bool IsDevicePath(std::string_view p)
{
    return p.size() >= 4 && IsSeparator(p[0]) && IsSeparator(p[1]) && p[2] == '.' && IsSeparator(p[3]);
}

// Folds a Windows path into its full form "X:\a\b" (device paths stay as they are).
bool FullWindowsPath(std::string_view input, std::string& full, unsigned& error)
{
    std::string p(input);
    if (p.empty())
    {
        error = ERROR_PATH_NOT_FOUND;
        return false;
    }
    if (p.size() >= 4 && IsSeparator(p[0]) && IsSeparator(p[1]) && p[2] == '?' && IsSeparator(p[3]))
    {
        p = p.substr(4);
    }
    if (IsDevicePath(p))
    {
        full = p;
        for (char& c : full)
        {
            if (c == '/')
            {
                c = '\\';
            }
        }
        return true;
    }
    if (p.size() >= 2 && IsSeparator(p[0]) && IsSeparator(p[1]))
    {
        error = ERROR_BAD_NETPATH;
        return false;
    }
    // The current directory is looked up only for paths that depend on it.
    std::string current;
    auto currentDirectory = [&current]() -> const std::string& {
        if (current.empty())
        {
            current = WindowsCurrentDirectory();
        }
        return current;
    };
    char drive;
    std::vector<std::string> components;
    std::string_view rest;
    bool hasDrive =
        p.size() >= 2 && p[1] == ':' && ((p[0] >= 'A' && p[0] <= 'Z') || (p[0] >= 'a' && p[0] <= 'z'));
    if (hasDrive)
    {
        drive = (p[0] >= 'a' && p[0] <= 'z') ? static_cast<char>(p[0] - 'a' + 'A') : p[0];
        rest = std::string_view(p).substr(2);
        bool absolute = !rest.empty() && IsSeparator(rest[0]);
        if (!absolute && drive == currentDirectory()[0])
        {
            components = SplitComponents(std::string_view(currentDirectory()).substr(2));
        }
    }
    else
    {
        drive = currentDirectory()[0];
        rest = p;
        if (!IsSeparator(p[0]))
        {
            components = SplitComponents(std::string_view(currentDirectory()).substr(2));
        }
    }
    Append(components, SplitComponents(rest));
    full.assign(1, drive);
    full += ":\\";
    for (size_t i = 0; i < components.size(); ++i)
    {
        if (i > 0)
        {
            full += '\\';
        }
        full += components[i];
    }
    // A trailing separator of the input stays.
    if (!components.empty() && IsSeparator(p.back()))
    {
        full += '\\';
    }
    return true;
}

} // namespace

LPCSTR HostPathFor(LPCSTR windowsPath, std::string& storage)
{
    if (windowsPath == nullptr)
    {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    // Absolute paths do not depend on the current directory: the last one is remembered, as a log
    // writer opens the same file for every line, for as long as the same machine (whose drive C:
    // it may name) runs. Plain buffers, never destroyed: DLLs unloaded at process exit still open
    // files after the thread-local objects of the main thread are gone.
    struct LastPath
    {
        uint64_t machine;
        char windowsPath[MAX_PATH];
        char hostPath[MAX_PATH + 8];
    };
    static_assert(std::is_trivially_destructible_v<LastPath>);
    thread_local LastPath last = {};
    bool absolute = ((windowsPath[0] >= 'A' && windowsPath[0] <= 'Z') ||
                     (windowsPath[0] >= 'a' && windowsPath[0] <= 'z')) &&
                    windowsPath[1] == ':' && IsSeparator(windowsPath[2]);
    uint64_t machine = ntdll::MachineGeneration();
    if (absolute && last.machine == machine && strcmp(last.windowsPath, windowsPath) == 0)
    {
        return last.hostPath;
    }
    unsigned error = 0;
    if (!winsim::ToHostPath(windowsPath, storage, error))
    {
        SetLastError(error);
        return nullptr;
    }
    size_t windowsLength = strlen(windowsPath);
    if (absolute && windowsLength < sizeof(last.windowsPath) && storage.size() < sizeof(last.hostPath))
    {
        last.machine = machine;
        memcpy(last.windowsPath, windowsPath, windowsLength + 1);
        memcpy(last.hostPath, storage.c_str(), storage.size() + 1);
    }
    return storage.c_str();
}

bool HostPathOf(LPCSTR windowsPath, std::string& hostPath)
{
    LPCSTR host = HostPathFor(windowsPath, hostPath);
    if (host == nullptr)
    {
        return false;
    }
    if (host != hostPath.c_str())
    {
        hostPath = host;
    }
    return true;
}

} // namespace winsim::user

namespace winsim
{

bool ToHostPath(std::string_view windowsPath, std::string& hostPath, unsigned& error)
{
    std::string full;
    if (!user::FullWindowsPath(windowsPath, full, error))
    {
        return false;
    }
    if (user::IsDevicePath(full))
    {
        // Device names are served by the I/O manager, not the file system.
        error = ERROR_FILE_NOT_FOUND;
        return false;
    }
    user::Drive drive;
    if (!user::FindDrive(full[0], drive))
    {
        error = ERROR_PATH_NOT_FOUND;
        return false;
    }
    const std::string& root = drive.hostRoot;
    std::string rest = full.substr(3);
    for (char& c : rest)
    {
        if (c == '\\')
        {
            c = '/';
        }
    }
    if (root == "/")
    {
        hostPath = "/" + rest;
    }
    else
    {
        hostPath = rest.empty() ? root : root + "/" + rest;
    }
    return true;
}

std::string ToWindowsPath(std::string_view hostPath)
{
    std::vector<user::Drive> drives = user::Drives();
    const user::Drive* best = nullptr;
    size_t bestLength = 0;
    for (const user::Drive& d : drives)
    {
        std::string_view root = d.hostRoot;
        size_t length = root == "/" ? 0 : root.size();
        bool matches = root == "/" ? (!hostPath.empty() && hostPath[0] == '/')
                                   : (hostPath.substr(0, root.size()) == root &&
                                      (hostPath.size() == root.size() || hostPath[root.size()] == '/'));
        if (matches && (best == nullptr || length > bestLength))
        {
            best = &d;
            bestLength = length;
        }
    }
    std::string rest(hostPath.substr(bestLength));
    for (char& c : rest)
    {
        if (c == '/')
        {
            c = '\\';
        }
    }
    if (best == nullptr)
    {
        return rest;
    }
    while (rest.size() > 1 && rest.back() == '\\')
    {
        rest.pop_back();
    }
    if (rest.empty() || rest[0] != '\\')
    {
        rest.insert(rest.begin(), '\\');
    }
    return std::string(1, best->letter) + ":" + rest;
}

} // namespace winsim

using namespace winsim::user;

extern "C"
{

    DWORD WINAPI GetCurrentDirectoryA(DWORD nBufferLength, LPSTR lpBuffer)
    {
        std::string current = WindowsCurrentDirectory();
        DWORD length = static_cast<DWORD>(current.size());
        if (lpBuffer == nullptr || nBufferLength < length + 1)
        {
            return length + 1;
        }
        memcpy(lpBuffer, current.c_str(), length + 1);
        return length;
    }

    BOOL WINAPI SetCurrentDirectoryA(LPCSTR lpPathName)
    {
        std::string host;
        if (!HostPathOf(lpPathName, host))
        {
            return FALSE;
        }
        if (chdir(host.c_str()) != 0)
        {
            SetLastError(errno == ENOENT ? ERROR_FILE_NOT_FOUND : ErrorFromErrno(errno));
            return FALSE;
        }
        return TRUE;
    }

    DWORD WINAPI GetFullPathNameA(LPCSTR lpFileName, DWORD nBufferLength, LPSTR lpBuffer, LPSTR* lpFilePart)
    {
        if (lpFileName == nullptr)
        {
            SetLastError(ERROR_INVALID_PARAMETER);
            return 0;
        }
        std::string full;
        unsigned error = 0;
        if (!FullWindowsPath(lpFileName, full, error))
        {
            SetLastError(error);
            return 0;
        }
        DWORD length = static_cast<DWORD>(full.size());
        if (lpBuffer == nullptr || nBufferLength < length + 1)
        {
            return length + 1;
        }
        memcpy(lpBuffer, full.c_str(), length + 1);
        if (lpFilePart != nullptr)
        {
            size_t slash = full.find_last_of('\\');
            *lpFilePart =
                (slash == std::string::npos || slash + 1 == full.size()) ? nullptr : lpBuffer + slash + 1;
        }
        return length;
    }

} // extern "C"
