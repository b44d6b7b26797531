// Code-page conversions. The machine's ANSI, OEM and thread code pages are all UTF-8, so every
// code page these functions accept converts as UTF-8 does; unknown code pages fail. Lead bytes are
// known for UTF-8 (none: it is not a double-byte code page) and for Japanese (932).
//
// The buffer rules are Windows': a source length of -1 takes the text through its terminator
// (which the result counts); a destination size of 0 asks for the size the result needs; a
// destination too small fails with ERROR_INSUFFICIENT_BUFFER and an unspecified partial result.
#include "internal.h"

#include "base/unicode.h"

namespace winsim::user
{
namespace
{

bool KnownCodePage(UINT codePage)
{
    switch (codePage)
    {
    case CP_ACP:
    case CP_OEMCP:
    case CP_MACCP:
    case CP_THREAD_ACP:
    case CP_UTF8:
        return true;
    default:
        return false;
    }
}

// Copies a converted result out under the buffer rules; the number of units, or 0.
template <typename Unit>
int StoreResult(const Unit* result, size_t units, Unit* destination, int capacity)
{
    if (units > static_cast<size_t>(0x7FFFFFFF))
    {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    if (capacity == 0)
    {
        return static_cast<int>(units);
    }
    if (units > static_cast<size_t>(capacity))
    {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return 0;
    }
    for (size_t i = 0; i < units; ++i)
    {
        destination[i] = result[i];
    }
    return static_cast<int>(units);
}

} // namespace

LANGID ThreadUiLanguage()
{
    return MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US);
}

} // namespace winsim::user

using namespace winsim::user;

extern "C"
{

    UINT WINAPI GetACP(void)
    {
        return CP_UTF8;
    }

    BOOL WINAPI IsDBCSLeadByteEx(UINT CodePage, BYTE TestChar)
    {
        if (CodePage == 932)
        {
            return (TestChar >= 0x81 && TestChar <= 0x9F) || (TestChar >= 0xE0 && TestChar <= 0xFC);
        }
        if (!KnownCodePage(CodePage))
        {
            SetLastError(ERROR_INVALID_PARAMETER);
        }
        return FALSE;
    }

    BOOL WINAPI IsDBCSLeadByte(BYTE TestChar)
    {
        return IsDBCSLeadByteEx(GetACP(), TestChar);
    }

    int WINAPI MultiByteToWideChar(UINT CodePage, DWORD dwFlags, LPCCH lpMultiByteStr, int cbMultiByte,
                                   LPWSTR lpWideCharStr, int cchWideChar)
    {
        (void)dwFlags;
        if (!KnownCodePage(CodePage) || lpMultiByteStr == nullptr || cbMultiByte == 0 || cbMultiByte < -1 ||
            cchWideChar < 0 || (cchWideChar > 0 && lpWideCharStr == nullptr) ||
            (lpWideCharStr != nullptr && static_cast<const void*>(lpWideCharStr) == lpMultiByteStr))
        {
            SetLastError(ERROR_INVALID_PARAMETER);
            return 0;
        }
        size_t length = cbMultiByte == -1 ? strlen(lpMultiByteStr) + 1 : static_cast<size_t>(cbMultiByte);
        std::u16string wide = winsim::ToUtf16(std::string_view(lpMultiByteStr, length));
        return StoreResult(reinterpret_cast<const WCHAR*>(wide.data()), wide.size(), lpWideCharStr,
                           cchWideChar);
    }

    int WINAPI WideCharToMultiByte(UINT CodePage, DWORD dwFlags, LPCWCH lpWideCharStr, int cchWideChar,
                                   LPSTR lpMultiByteStr, int cbMultiByte, LPCCH lpDefaultChar,
                                   LPBOOL lpUsedDefaultChar)
    {
        (void)dwFlags;
        // UTF-8 takes no default character.
        if (!KnownCodePage(CodePage) || lpWideCharStr == nullptr || cchWideChar == 0 || cchWideChar < -1 ||
            cbMultiByte < 0 || (cbMultiByte > 0 && lpMultiByteStr == nullptr) ||
            (CodePage == CP_UTF8 && (lpDefaultChar != nullptr || lpUsedDefaultChar != nullptr)) ||
            (lpMultiByteStr != nullptr && static_cast<const void*>(lpMultiByteStr) == lpWideCharStr))
        {
            SetLastError(ERROR_INVALID_PARAMETER);
            return 0;
        }
        if (lpUsedDefaultChar != nullptr)
        {
            *lpUsedDefaultChar = FALSE;
        }
        size_t length =
            cchWideChar == -1 ? winsim::WideLength(lpWideCharStr) + 1 : static_cast<size_t>(cchWideChar);
        std::string narrow = winsim::ToUtf8(lpWideCharStr, length);
        return StoreResult(narrow.data(), narrow.size(), lpMultiByteStr, cbMultiByte);
    }
}
