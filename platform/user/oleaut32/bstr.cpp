// oleaut32's automation strings. A BSTR's block holds, in order: 4 bytes of padding (so that the
// text is 8-byte aligned, as on 64-bit Windows), the 4-byte length prefix (the text's size in bytes,
// its terminator not counted), the text, and a 2-byte NUL. The BSTR points at the text.
#include <oleauto.h>

#include <stdlib.h>
#include <string.h>

namespace
{

constexpr size_t HeaderBytes = 8; // padding and the length prefix
constexpr UINT MostBytes = 0x7FFFFFF0u;

BSTR Allocate(UINT bytes)
{
    if (bytes > MostBytes)
    {
        return nullptr;
    }
    auto* block = static_cast<unsigned char*>(malloc(HeaderBytes + bytes + sizeof(OLECHAR)));
    if (block == nullptr)
    {
        return nullptr;
    }
    memset(block, 0, HeaderBytes - sizeof(DWORD));
    DWORD prefix = bytes;
    memcpy(block + HeaderBytes - sizeof(DWORD), &prefix, sizeof(prefix));
    // Terminated whatever the length: two NUL bytes right after the data.
    block[HeaderBytes + bytes] = 0;
    block[HeaderBytes + bytes + 1] = 0;
    return reinterpret_cast<BSTR>(block + HeaderBytes);
}

DWORD PrefixOf(BSTR text)
{
    DWORD prefix = 0;
    memcpy(&prefix, reinterpret_cast<const unsigned char*>(text) - sizeof(DWORD), sizeof(prefix));
    return prefix;
}

} // namespace

extern "C"
{

    BSTR WINAPI SysAllocString(const OLECHAR* psz)
    {
        if (psz == nullptr)
        {
            return nullptr;
        }
        size_t length = 0;
        while (psz[length] != 0)
        {
            ++length;
        }
        if (length > MostBytes / sizeof(OLECHAR))
        {
            return nullptr;
        }
        BSTR text = Allocate(static_cast<UINT>(length * sizeof(OLECHAR)));
        if (text != nullptr)
        {
            memcpy(text, psz, length * sizeof(OLECHAR));
        }
        return text;
    }

    BSTR WINAPI SysAllocStringByteLen(LPCSTR psz, UINT len)
    {
        BSTR text = Allocate(len);
        if (text != nullptr && psz != nullptr)
        {
            memcpy(text, psz, len);
        }
        return text;
    }

    void WINAPI SysFreeString(BSTR bstrString)
    {
        if (bstrString != nullptr)
        {
            free(reinterpret_cast<unsigned char*>(bstrString) - HeaderBytes);
        }
    }

    UINT WINAPI SysStringByteLen(BSTR bstr)
    {
        return bstr == nullptr ? 0 : PrefixOf(bstr);
    }

    UINT WINAPI SysStringLen(BSTR pbstr)
    {
        return pbstr == nullptr ? 0 : PrefixOf(pbstr) / sizeof(OLECHAR);
    }

} // extern "C"
