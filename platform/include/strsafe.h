// Safe string functions with the return values of the Windows header: the result always ends with a
// NUL inside the buffer; S_OK when the whole text fits, STRSAFE_E_INSUFFICIENT_BUFFER when it was
// truncated to cchDest - 1 characters, STRSAFE_E_INVALID_PARAMETER for a zero or oversized buffer.
// Formats follow the Windows C runtime ("%l" is 32 bits, "%I64" 64 bits, "%p" 16 hex digits).
#pragma once

#include <winsim/base.h>
#include <winerror.h>

#define STRSAFE_MAX_CCH               2147483647
#define STRSAFE_E_INSUFFICIENT_BUFFER ((HRESULT)0x8007007AL)
#define STRSAFE_E_INVALID_PARAMETER   ((HRESULT)0x80070057L)
#define STRSAFE_E_END_OF_FILE         ((HRESULT)0x80070026L)

typedef char* STRSAFE_LPSTR;
typedef const char* STRSAFE_LPCSTR;

WINSIM_EXTERN_C_BEGIN

WINSIM_API HRESULT StringCchCopyA(STRSAFE_LPSTR pszDest, size_t cchDest, STRSAFE_LPCSTR pszSrc);
WINSIM_API HRESULT StringCchCatA(STRSAFE_LPSTR pszDest, size_t cchDest, STRSAFE_LPCSTR pszSrc);
WINSIM_API HRESULT StringCchLengthA(STRSAFE_LPCSTR psz, size_t cchMax, size_t* pcchLength);
WINSIM_API HRESULT StringCchPrintfA(STRSAFE_LPSTR pszDest, size_t cchDest, STRSAFE_LPCSTR pszFormat, ...);
WINSIM_API HRESULT StringCchVPrintfA(STRSAFE_LPSTR pszDest, size_t cchDest, STRSAFE_LPCSTR pszFormat,
                                     va_list argList);

WINSIM_EXTERN_C_END
