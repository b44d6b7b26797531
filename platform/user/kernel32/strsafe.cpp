// Safe string functions with the results of the Windows header.
#include <windows.h>
#include <strsafe.h>

#include "base/winprintf.h"

#include <string.h>

extern "C"
{

    HRESULT StringCchCopyA(STRSAFE_LPSTR pszDest, size_t cchDest, STRSAFE_LPCSTR pszSrc)
    {
        if (cchDest == 0 || cchDest > STRSAFE_MAX_CCH)
        {
            return STRSAFE_E_INVALID_PARAMETER;
        }
        size_t i = 0;
        while (i < cchDest - 1 && pszSrc[i] != 0)
        {
            pszDest[i] = pszSrc[i];
            ++i;
        }
        pszDest[i] = 0;
        return pszSrc[i] == 0 ? S_OK : STRSAFE_E_INSUFFICIENT_BUFFER;
    }

    HRESULT StringCchCatA(STRSAFE_LPSTR pszDest, size_t cchDest, STRSAFE_LPCSTR pszSrc)
    {
        if (cchDest == 0 || cchDest > STRSAFE_MAX_CCH)
        {
            return STRSAFE_E_INVALID_PARAMETER;
        }
        size_t used = 0;
        while (used < cchDest && pszDest[used] != 0)
        {
            ++used;
        }
        if (used == cchDest)
        {
            // The destination holds no terminator within its size.
            return STRSAFE_E_INVALID_PARAMETER;
        }
        return StringCchCopyA(pszDest + used, cchDest - used, pszSrc);
    }

    HRESULT StringCchLengthA(STRSAFE_LPCSTR psz, size_t cchMax, size_t* pcchLength)
    {
        if (psz == nullptr || cchMax > STRSAFE_MAX_CCH)
        {
            if (pcchLength != nullptr)
            {
                *pcchLength = 0;
            }
            return STRSAFE_E_INVALID_PARAMETER;
        }
        size_t n = 0;
        while (n < cchMax && psz[n] != 0)
        {
            ++n;
        }
        if (n == cchMax)
        {
            if (pcchLength != nullptr)
            {
                *pcchLength = 0;
            }
            return STRSAFE_E_INVALID_PARAMETER;
        }
        if (pcchLength != nullptr)
        {
            *pcchLength = n;
        }
        return S_OK;
    }

    HRESULT StringCchVPrintfA(STRSAFE_LPSTR pszDest, size_t cchDest, STRSAFE_LPCSTR pszFormat,
                              va_list argList)
    {
        if (cchDest == 0 || cchDest > STRSAFE_MAX_CCH)
        {
            return STRSAFE_E_INVALID_PARAMETER;
        }
        size_t needed = winsim::FormatNarrow(pszDest, cchDest, pszFormat, argList);
        if (needed >= cchDest)
        {
            pszDest[cchDest - 1] = 0;
            return STRSAFE_E_INSUFFICIENT_BUFFER;
        }
        return S_OK;
    }

    HRESULT StringCchPrintfA(STRSAFE_LPSTR pszDest, size_t cchDest, STRSAFE_LPCSTR pszFormat, ...)
    {
        va_list args;
        va_start(args, pszFormat);
        HRESULT hr = StringCchVPrintfA(pszDest, cchDest, pszFormat, args);
        va_end(args);
        return hr;
    }

} // extern "C"
