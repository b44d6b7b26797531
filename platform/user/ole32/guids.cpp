// The interface and class identifiers user mode provides storage for (uuid.lib and wbemuuid.lib
// on Windows), and the text form of a class identifier.
#include <objbase.h>
#include <wbemidl.h>

extern "C"
{
    const IID IID_IUnknown = {0x00000000, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};
    const CLSID CLSID_WbemLocator = {
        0x4590F811, 0x1D3A, 0x11D0, {0x89, 0x1F, 0x00, 0xAA, 0x00, 0x4B, 0x2E, 0x24}};
    const IID IID_IWbemLocator = {
        0xDC12A687, 0x737F, 0x11CF, {0x88, 0x4D, 0x00, 0xAA, 0x00, 0x4B, 0x2E, 0x24}};
    const IID IID_IWbemServices = {
        0x9556DC99, 0x828C, 0x11CF, {0xA3, 0x7E, 0x00, 0xAA, 0x00, 0x32, 0x40, 0xC7}};
    const IID IID_IEnumWbemClassObject = {
        0x027947E1, 0xD731, 0x11CE, {0xA3, 0x57, 0x00, 0x00, 0x00, 0x00, 0x00, 0x01}};
    const IID IID_IWbemClassObject = {
        0xDC12A681, 0x737F, 0x11CF, {0x88, 0x4D, 0x00, 0xAA, 0x00, 0x4B, 0x2E, 0x24}};
}

namespace
{
int HexDigit(OLECHAR c)
{
    if (c >= L'0' && c <= L'9')
    {
        return c - L'0';
    }
    if (c >= L'a' && c <= L'f')
    {
        return c - L'a' + 10;
    }
    if (c >= L'A' && c <= L'F')
    {
        return c - L'A' + 10;
    }
    return -1;
}

// Reads `digits` hex digits; false on anything else.
bool ReadHex(LPCOLESTR text, int digits, unsigned long long* value)
{
    *value = 0;
    for (int i = 0; i < digits; ++i)
    {
        int digit = HexDigit(text[i]);
        if (digit < 0)
        {
            return false;
        }
        *value = (*value << 4) | static_cast<unsigned>(digit);
    }
    return true;
}
} // namespace

extern "C" HRESULT WINAPI CLSIDFromString(LPCOLESTR lpsz, LPCLSID pclsid)
{
    if (pclsid == nullptr)
    {
        return E_INVALIDARG;
    }
    CLSID result = {};
    if (lpsz == nullptr)
    {
        *pclsid = result;
        return NOERROR;
    }
    // {xxxxxxxx-xxxx-xxxx-xxxx-xxxxxxxxxxxx}: 38 characters.
    static const int dashes[] = {9, 14, 19, 24};
    bool ok = lpsz[0] == L'{';
    for (int i = 1; ok && i < 38; ++i)
    {
        ok = lpsz[i] != 0;
    }
    ok = ok && lpsz[37] == L'}' && lpsz[38] == 0;
    for (int dash : dashes)
    {
        ok = ok && lpsz[dash] == L'-';
    }
    unsigned long long value = 0;
    ok = ok && ReadHex(lpsz + 1, 8, &value);
    result.Data1 = static_cast<unsigned long>(value);
    ok = ok && ReadHex(lpsz + 10, 4, &value);
    result.Data2 = static_cast<unsigned short>(value);
    ok = ok && ReadHex(lpsz + 15, 4, &value);
    result.Data3 = static_cast<unsigned short>(value);
    static const int byteAt[] = {20, 22, 25, 27, 29, 31, 33, 35};
    for (int i = 0; ok && i < 8; ++i)
    {
        ok = ReadHex(lpsz + byteAt[i], 2, &value);
        result.Data4[i] = static_cast<unsigned char>(value);
    }
    if (!ok)
    {
        *pclsid = CLSID{};
        return CO_E_CLASSSTRING;
    }
    *pclsid = result;
    return NOERROR;
}
