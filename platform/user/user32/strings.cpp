// String resources (LoadStringA, LoadStringW) and stepping through ANSI texts (CharNextA).
//
// A string is found as Windows finds it: in the RT_STRING block uID / 16 + 1 of the module, in the
// language FindResourceA picks for the calling thread (its UI language, with the fallback), at
// index uID % 16 of the block, where each string is a WORD count of UTF-16 units and the units.
// A string of length 0 is a string that is not there.
//
// Buffer rules. cchBufferMax counts the terminator; a longer string is cut to cchBufferMax - 1
// characters and terminated, and the count of characters copied (without the terminator) is
// returned. LoadStringW with cchBufferMax 0 stores a read-only pointer to the string in the resource
// (not terminated) at lpBuffer and returns its length. LoadStringA converts to the process's ANSI
// code page and cuts only between characters (never inside a double-byte or UTF-8 sequence); with
// cchBufferMax 0 it copies nothing and returns 0, which the documentation leaves open. A string
// that is not there returns 0 with ERROR_RESOURCE_NAME_NOT_FOUND (or FindResourceA's error when the
// module has no string table, or no resources at all).
#include "internal.h"

#include <string.h>

#include <string>

namespace winsim::user
{
namespace
{

// The string's units in the loaded resource, or null (with the last error set).
const WCHAR* FindString(HINSTANCE instance, UINT id, size_t& length)
{
    HRSRC info = FindResourceA(instance, MAKEINTRESOURCEA((LOWORD(id) >> 4) + 1), RT_STRING);
    if (info == nullptr)
    {
        return nullptr;
    }
    auto* units = static_cast<const WCHAR*>(LockResource(LoadResource(instance, info)));
    size_t remaining = SizeofResource(instance, info) / sizeof(WCHAR);
    for (UINT index = 0; units != nullptr && remaining > 0; ++index)
    {
        size_t count = units[0];
        if (count + 1 > remaining)
        {
            break; // a damaged block
        }
        if (index == (id & 0x0F))
        {
            if (count == 0)
            {
                break;
            }
            length = count;
            return units + 1;
        }
        units += count + 1;
        remaining -= count + 1;
    }
    SetLastError(ERROR_RESOURCE_NAME_NOT_FOUND);
    return nullptr;
}

// The ANSI text of `text` that fits in `capacity` bytes, cut between characters.
std::string AnsiPrefix(std::u16string_view text, size_t capacity)
{
    std::string out;
    for (size_t i = 0; i < text.size();)
    {
        size_t units = (text[i] >= 0xD800 && text[i] <= 0xDBFF && i + 1 < text.size()) ? 2 : 1;
        std::string character = AnsiFromWide(text.substr(i, units));
        if (out.size() + character.size() > capacity)
        {
            break;
        }
        out += character;
        i += units;
    }
    return out;
}

} // namespace
} // namespace winsim::user

using namespace winsim::user;

extern "C"
{

    int WINAPI LoadStringW(HINSTANCE hInstance, UINT uID, LPWSTR lpBuffer, int cchBufferMax)
    {
        if (lpBuffer == nullptr || cchBufferMax < 0)
        {
            SetLastError(ERROR_INVALID_PARAMETER);
            return 0;
        }
        size_t length = 0;
        const WCHAR* text = FindString(hInstance, uID, length);
        if (cchBufferMax == 0)
        {
            *reinterpret_cast<const WCHAR**>(lpBuffer) = text;
            return text != nullptr ? static_cast<int>(length) : 0;
        }
        if (text == nullptr)
        {
            lpBuffer[0] = 0;
            return 0;
        }
        size_t copied =
            length < static_cast<size_t>(cchBufferMax) ? length : static_cast<size_t>(cchBufferMax) - 1;
        memcpy(lpBuffer, text, copied * sizeof(WCHAR));
        lpBuffer[copied] = 0;
        return static_cast<int>(copied);
    }

    int WINAPI LoadStringA(HINSTANCE hInstance, UINT uID, LPSTR lpBuffer, int cchBufferMax)
    {
        if (lpBuffer == nullptr || cchBufferMax < 0)
        {
            SetLastError(ERROR_INVALID_PARAMETER);
            return 0;
        }
        if (cchBufferMax == 0)
        {
            return 0;
        }
        size_t length = 0;
        const WCHAR* text = FindString(hInstance, uID, length);
        if (text == nullptr)
        {
            lpBuffer[0] = 0;
            return 0;
        }
        std::string ansi = AnsiPrefix(std::u16string_view(reinterpret_cast<const char16_t*>(text), length),
                                      static_cast<size_t>(cchBufferMax) - 1);
        memcpy(lpBuffer, ansi.data(), ansi.size());
        lpBuffer[ansi.size()] = 0;
        return static_cast<int>(ansi.size());
    }

    LPSTR WINAPI CharNextA(LPCSTR lpsz)
    {
        if (*lpsz == 0)
        {
            return const_cast<LPSTR>(lpsz);
        }
        // A lead byte without its trail byte is a character of its own.
        if (IsDBCSLeadByte(static_cast<BYTE>(*lpsz)) && lpsz[1] != 0)
        {
            return const_cast<LPSTR>(lpsz + 2);
        }
        return const_cast<LPSTR>(lpsz + 1);
    }

} // extern "C"
