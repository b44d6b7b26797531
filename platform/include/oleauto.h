// oleaut32's automation strings and variants as far as the simulated machine implements them,
// with the names and signatures of the Windows header of the same name.
#pragma once

#include <winsim/base.h>
#include <oaidl.h>

WINSIM_EXTERN_C_BEGIN

// A copy of a NUL-terminated string; NULL for NULL.
WINSIM_API BSTR WINAPI SysAllocString(const OLECHAR* psz);
// len bytes copied from psz (no conversion), or left uninitialised when psz is NULL; always
// followed by a 2-byte NUL.
WINSIM_API BSTR WINAPI SysAllocStringByteLen(LPCSTR psz, UINT len);
WINSIM_API void WINAPI SysFreeString(BSTR bstrString);
WINSIM_API UINT WINAPI SysStringLen(BSTR pbstr);
WINSIM_API UINT WINAPI SysStringByteLen(BSTR bstr);

WINSIM_API void WINAPI VariantInit(VARIANTARG* pvarg);
// Frees what the variant holds (a VT_BSTR's string, a VT_UNKNOWN's reference) and empties it;
// DISP_E_BADVARTYPE for a type it does not know.
WINSIM_API HRESULT WINAPI VariantClear(VARIANTARG* pvarg);

WINSIM_EXTERN_C_END
