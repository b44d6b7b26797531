// National language support as far as the simulated machine implements it: conversions between
// UTF-16 and the code pages, and the UI languages. The machine's ANSI and OEM code pages are UTF-8
// (65001) or Japanese Shift-JIS (932).
#pragma once

#include <winsim/base.h>
#include <windef.h>

#define CP_ACP        0
#define CP_OEMCP      1
#define CP_MACCP      2
#define CP_THREAD_ACP 3
#define CP_UTF8       65001

#define MB_PRECOMPOSED       0x00000001
#define MB_ERR_INVALID_CHARS 0x00000008
#define WC_NO_BEST_FIT_CHARS 0x00000400
#define WC_ERR_INVALID_CHARS 0x00000080

WINSIM_EXTERN_C_BEGIN

WINSIM_API int WINAPI MultiByteToWideChar(UINT CodePage, DWORD dwFlags, LPCCH lpMultiByteStr, int cbMultiByte,
                                          LPWSTR lpWideCharStr, int cchWideChar);
WINSIM_API int WINAPI WideCharToMultiByte(UINT CodePage, DWORD dwFlags, LPCWCH lpWideCharStr, int cchWideChar,
                                          LPSTR lpMultiByteStr, int cbMultiByte, LPCCH lpDefaultChar,
                                          LPBOOL lpUsedDefaultChar);
WINSIM_API UINT WINAPI GetACP(void);
WINSIM_API UINT WINAPI GetOEMCP(void);
// Whether a byte starts a double-byte character in a code page (the ANSI one for IsDBCSLeadByte).
WINSIM_API BOOL WINAPI IsDBCSLeadByteEx(UINT CodePage, BYTE TestChar);
WINSIM_API BOOL WINAPI IsDBCSLeadByte(BYTE TestChar);

// The languages of the user interface: the machine's, and the calling thread's (the machine's until
// the thread sets its own), in which resources are looked up.
WINSIM_API LANGID WINAPI GetUserDefaultUILanguage(void);
WINSIM_API LANGID WINAPI GetSystemDefaultUILanguage(void);
WINSIM_API LANGID WINAPI GetThreadUILanguage(void);
WINSIM_API LANGID WINAPI SetThreadUILanguage(LANGID LangId);

WINSIM_EXTERN_C_END
