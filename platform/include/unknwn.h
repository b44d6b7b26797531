// IUnknown, the root of every COM interface, as in the Windows header of the same name. An
// interface is a class of pure virtual methods in the order of its vtable, IUnknown's first.
#pragma once

#include <winsim/base.h>
#include <windef.h>
#include <winerror.h>

WINSIM_EXTERN_C WINSIM_API const IID IID_IUnknown;

#ifdef __cplusplus
struct IUnknown
{
    virtual HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppvObject) = 0;
    virtual ULONG STDMETHODCALLTYPE AddRef() = 0;
    virtual ULONG STDMETHODCALLTYPE Release() = 0;
};
#else
typedef struct IUnknown IUnknown;
#endif
typedef IUnknown* LPUNKNOWN;
