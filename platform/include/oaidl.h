// The automation variant, as in the Windows header of the same name.
#pragma once

#include <winsim/base.h>
#include <unknwn.h>
#include <wtypes.h>

struct IRecordInfo;

// 24 bytes on 64-bit Windows: the type and three reserved words, then the value.
typedef struct tagVARIANT
{
    VARTYPE vt;
    WORD wReserved1;
    WORD wReserved2;
    WORD wReserved3;
    union {
        LONGLONG llVal;
        LONG lVal;
        BYTE bVal;
        SHORT iVal;
        FLOAT fltVal;
        DOUBLE dblVal;
        VARIANT_BOOL boolVal;
        SCODE scode;
        BSTR bstrVal;
        IUnknown* punkVal;
        CHAR cVal;
        USHORT uiVal;
        ULONG ulVal;
        ULONGLONG ullVal;
        INT intVal;
        UINT uintVal;
        PVOID byref;
        struct
        {
            PVOID pvRecord;
            struct IRecordInfo* pRecInfo;
        };
    };
} VARIANT, *LPVARIANT, VARIANTARG, *LPVARIANTARG;
static_assert(sizeof(VARIANT) == 24, "VARIANT as on 64-bit Windows");

#define V_VT(X)      ((X)->vt)
#define V_I4(X)      ((X)->lVal)
#define V_BSTR(X)    ((X)->bstrVal)
#define V_UNKNOWN(X) ((X)->punkVal)
