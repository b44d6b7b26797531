// The Windows folders and the environment of a process on the machine. The process's variables
// are the host process's, except those that name the machine's own folders: SystemRoot and windir
// are C:\Windows, SystemDrive is C:, as on Windows.
#include "internal.h"

#include "base/unicode.h"

#include <stdlib.h>
#include <string.h>

#include <string>

extern char** environ;

namespace winsim::user
{
namespace
{

// The value of a variable, or false when the environment has none.
bool Lookup(std::string_view name, std::string& value)
{
    static const struct
    {
        const char* name;
        const char* value;
    } machine[] = {
        {"SystemRoot", "C:\\Windows"},
        {"windir", "C:\\Windows"},
        {"SystemDrive", "C:"},
    };
    for (const auto& entry : machine)
    {
        if (EqualsNoCase(name, entry.name))
        {
            value = entry.value;
            return true;
        }
    }
    // Names are case-insensitive on Windows: the first variable of the host's environment whose
    // name matches in any case.
    for (char** entry = environ; *entry != nullptr; ++entry)
    {
        std::string_view text(*entry);
        size_t equals = text.find('=');
        if (equals != std::string_view::npos && EqualsNoCase(text.substr(0, equals), name))
        {
            value = text.substr(equals + 1);
            return true;
        }
    }
    return false;
}

// Copies a text as the Get*Directory and GetEnvironmentVariable functions do: its length when it
// fits with its terminator, otherwise the size it needs, terminator included.
DWORD Store(const std::string& text, LPSTR buffer, DWORD size)
{
    if (buffer == nullptr || size <= text.size())
    {
        return static_cast<DWORD>(text.size() + 1);
    }
    memcpy(buffer, text.c_str(), text.size() + 1);
    return static_cast<DWORD>(text.size());
}

} // namespace
} // namespace winsim::user

using namespace winsim::user;

extern "C"
{

    UINT WINAPI GetWindowsDirectoryA(LPSTR lpBuffer, UINT uSize)
    {
        return Store("C:\\Windows", lpBuffer, uSize);
    }

    UINT WINAPI GetSystemDirectoryA(LPSTR lpBuffer, UINT uSize)
    {
        return Store("C:\\Windows\\System32", lpBuffer, uSize);
    }

    BOOL WINAPI SetEnvironmentVariableA(LPCSTR lpName, LPCSTR lpValue)
    {
        if (lpName == nullptr || lpName[0] == 0 || strchr(lpName, '=') != nullptr)
        {
            SetLastError(ERROR_INVALID_PARAMETER);
            return FALSE;
        }
        // One variable per name in any case: the old spelling goes.
        for (bool removed = true; removed;)
        {
            removed = false;
            for (char** entry = environ; *entry != nullptr; ++entry)
            {
                std::string_view text(*entry);
                size_t equals = text.find('=');
                if (equals != std::string_view::npos && winsim::EqualsNoCase(text.substr(0, equals), lpName))
                {
                    unsetenv(std::string(text.substr(0, equals)).c_str());
                    removed = true;
                    break;
                }
            }
        }
        if (lpValue != nullptr && setenv(lpName, lpValue, 1) != 0)
        {
            SetLastError(ERROR_NOT_ENOUGH_MEMORY);
            return FALSE;
        }
        return TRUE;
    }

    DWORD WINAPI GetEnvironmentVariableA(LPCSTR lpName, LPSTR lpBuffer, DWORD nSize)
    {
        std::string value;
        if (lpName == nullptr || !Lookup(lpName, value))
        {
            SetLastError(ERROR_ENVVAR_NOT_FOUND);
            return 0;
        }
        return Store(value, lpBuffer, nSize);
    }

    DWORD WINAPI ExpandEnvironmentStringsA(LPCSTR lpSrc, LPSTR lpDst, DWORD nSize)
    {
        if (lpSrc == nullptr)
        {
            SetLastError(ERROR_INVALID_PARAMETER);
            return 0;
        }
        // %NAME% becomes the variable's value. A percent sign that opens no known name stays as it
        // is and the text goes on after it, so its closing sign may open the next reference.
        std::string out;
        std::string_view source(lpSrc);
        size_t pos = 0;
        while (pos < source.size())
        {
            size_t open = source.find('%', pos);
            size_t close = open == std::string_view::npos ? open : source.find('%', open + 1);
            if (close == std::string_view::npos)
            {
                out.append(source.substr(pos));
                break;
            }
            out.append(source.substr(pos, open - pos));
            std::string value;
            if (close > open + 1 && Lookup(source.substr(open + 1, close - open - 1), value))
            {
                out += value;
                pos = close + 1;
            }
            else
            {
                out += '%';
                pos = open + 1;
            }
        }
        // The count includes the terminator, whether or not it all fit.
        DWORD needed = static_cast<DWORD>(out.size() + 1);
        if (lpDst != nullptr && nSize >= needed)
        {
            memcpy(lpDst, out.c_str(), needed);
        }
        return needed;
    }

} // extern "C"
