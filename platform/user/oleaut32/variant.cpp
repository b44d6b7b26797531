// oleaut32's variants: initialisation, and clearing, which frees what a variant owns.
#include <oleauto.h>

extern "C"
{

    void WINAPI VariantInit(VARIANTARG* pvarg)
    {
        pvarg->vt = VT_EMPTY;
    }

    HRESULT WINAPI VariantClear(VARIANTARG* pvarg)
    {
        if (pvarg == nullptr)
        {
            return E_INVALIDARG;
        }
        // A reference owns nothing; its type is checked as a value's.
        switch (pvarg->vt & ~VT_BYREF)
        {
        case VT_EMPTY:
        case VT_NULL:
        case VT_I1:
        case VT_I2:
        case VT_I4:
        case VT_I8:
        case VT_UI1:
        case VT_UI2:
        case VT_UI4:
        case VT_UI8:
        case VT_INT:
        case VT_UINT:
        case VT_R4:
        case VT_R8:
        case VT_BOOL:
        case VT_ERROR:
            break;
        case VT_BSTR:
            if ((pvarg->vt & VT_BYREF) == 0)
            {
                SysFreeString(pvarg->bstrVal);
            }
            break;
        case VT_UNKNOWN:
            if ((pvarg->vt & VT_BYREF) == 0 && pvarg->punkVal != nullptr)
            {
                pvarg->punkVal->Release();
            }
            break;
        default:
            // Arrays and the types this machine does not implement are left alone.
            return DISP_E_BADVARTYPE;
        }
        pvarg->vt = VT_EMPTY;
        return S_OK;
    }

} // extern "C"
