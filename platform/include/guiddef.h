// GUID type and helpers, as in the Windows header of the same name.
#pragma once

#ifndef GUID_DEFINED
#define GUID_DEFINED
typedef struct _GUID
{
    unsigned int Data1;
    unsigned short Data2;
    unsigned short Data3;
    unsigned char Data4[8];
} GUID;
#endif

typedef GUID* LPGUID;
typedef const GUID* LPCGUID;
typedef GUID IID;
typedef IID* LPIID;
typedef GUID CLSID;
typedef CLSID* LPCLSID;
#ifdef __cplusplus
#define REFGUID  const GUID&
#define REFIID   const IID&
#define REFCLSID const IID&
#else
#define REFGUID  const GUID*
#define REFIID   const IID*
#define REFCLSID const IID*
#endif

// Without INITGUID a GUID is only declared; the one unit that defines INITGUID before including the
// header that names the GUID provides its storage. Definitions are weak so that several units may
// do so, as selectany allows on Windows.
#ifdef __cplusplus
#define WINSIM_GUID_EXTERN extern "C"
#else
#define WINSIM_GUID_EXTERN extern
#endif
#undef DEFINE_GUID
#ifdef INITGUID
#define DEFINE_GUID(name, l, w1, w2, b1, b2, b3, b4, b5, b6, b7, b8)                                 \
    WINSIM_GUID_EXTERN const GUID name __attribute__((weak, visibility("hidden"))) = {                \
        l, w1, w2, {b1, b2, b3, b4, b5, b6, b7, b8}}
#else
#define DEFINE_GUID(name, l, w1, w2, b1, b2, b3, b4, b5, b6, b7, b8)                                 \
    WINSIM_GUID_EXTERN const GUID name __attribute__((visibility("hidden")))
#endif

#ifdef __cplusplus
inline bool IsEqualGUID(REFGUID a, REFGUID b)
{
    const unsigned char* pa = reinterpret_cast<const unsigned char*>(&a);
    const unsigned char* pb = reinterpret_cast<const unsigned char*>(&b);
    for (unsigned i = 0; i < sizeof(GUID); ++i)
    {
        if (pa[i] != pb[i])
        {
            return false;
        }
    }
    return true;
}
inline bool operator==(REFGUID a, REFGUID b) { return IsEqualGUID(a, b); }
inline bool operator!=(REFGUID a, REFGUID b) { return !IsEqualGUID(a, b); }
#define IsEqualIID(a, b) IsEqualGUID(a, b)
#endif
