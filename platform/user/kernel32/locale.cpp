// National language support: the process's code pages and UI language, and the code-page
// conversions (GetACP, GetOEMCP, MultiByteToWideChar, WideCharToMultiByte, IsDBCSLeadByte(Ex),
// GetUserDefaultUILanguage, GetSystemDefaultUILanguage, GetThreadUILanguage, SetThreadUILanguage).
//
// The machine keeps its code pages where Windows does, in the registry (Control\Nls\CodePage: ACP
// and OEMCP in decimal; Control\Nls\Language: Default, the UI language in four hex digits). A
// process reads them the first time it needs them on a machine and keeps them for as long as it
// runs on that machine. A process that runs on no machine yet (and is no machine's program, which
// would connect to its machine to ask) has the machine defaults: UTF-8 (65001) and English (United
// States).
//
// Code pages. UTF-8 (65001) and Japanese Shift-JIS (932) convert; CP_ACP, CP_OEMCP and
// CP_THREAD_ACP stand for the process's code page, CP_MACCP converts as UTF-8. Code page 932 is
// Microsoft's table (glibc's CP932, read into two tables at first use) with Windows' own single-byte
// additions: 0x80 is U+0080, 0xA0 U+F8F0 and 0xFD to 0xFF U+F8F1 to U+F8F3. A byte sequence that
// has no character (a lead byte without a trail byte, an unassigned pair) becomes U+30FB, the code
// page's default character, or fails the call with ERROR_NO_UNICODE_TRANSLATION under
// MB_ERR_INVALID_CHARS; a lead byte followed by a byte that cannot trail is taken alone. A character
// without a 932 byte sequence becomes the caller's default character, or '?', and sets
// *lpUsedDefaultChar.
//
// The buffer rules are Windows': a source length of -1 takes the text through its terminator
// (which the result counts); a destination size of 0 asks for the size the result needs; a
// destination too small fails with ERROR_INSUFFICIENT_BUFFER and an unspecified partial result.
#include "internal.h"
#include "ntdll/ntdll.h"

#include "base/unicode.h"

#include <iconv.h>
#include <stdlib.h>
#include <string.h>

#include <atomic>
#include <mutex>
#include <vector>

namespace winsim::user
{
namespace
{

constexpr UINT kShiftJis = 932;
constexpr WCHAR kShiftJisDefaultUnicode = 0x30FB; // KATAKANA MIDDLE DOT
constexpr char kShiftJisDefaultChar = '?';
constexpr LANGID kEnglishUs = MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US);

// ---- The process's settings ----------------------------------------------------------------------

struct NlsSettings
{
    UINT ansiCodePage = CP_UTF8;
    UINT oemCodePage = CP_UTF8;
    LANGID uiLanguage = kEnglishUs;
};

// The settings read from the machine of one generation (see ntdll::MachineGeneration); never freed.
struct NlsCache
{
    std::mutex lock;
    std::atomic<uint64_t> generation{0};
    std::atomic<UINT> ansiCodePage{CP_UTF8};
    std::atomic<UINT> oemCodePage{CP_UTF8};
    std::atomic<LANGID> uiLanguage{kEnglishUs};
};

NlsCache& Cache()
{
    static auto* cache = new NlsCache;
    return *cache;
}

// A REG_SZ value of a key under HKLM\SYSTEM\CurrentControlSet\Control, read through the native
// services (the A functions of advapi32 would convert through the code page being read).
std::u16string ReadControlValue(const char16_t* keyPath, const char16_t* valueName)
{
    std::u16string path =
        std::u16string(u"\\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Control\\") + keyPath;
    UNICODE_STRING name = ntdll::CountedString(path);
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &name, OBJ_CASE_INSENSITIVE, nullptr, nullptr);
    HANDLE key = nullptr;
    if (!NT_SUCCESS(NtOpenKey(&key, KEY_QUERY_VALUE, &attributes)))
    {
        return std::u16string();
    }
    std::u16string valueText(valueName);
    UNICODE_STRING value = ntdll::CountedString(valueText);
    alignas(8) uint8_t buffer[sizeof(KEY_VALUE_PARTIAL_INFORMATION) + 64] = {};
    ULONG needed = 0;
    NTSTATUS status =
        NtQueryValueKey(key, &value, KeyValuePartialInformation, buffer, sizeof(buffer), &needed);
    NtClose(key);
    auto* partial = reinterpret_cast<KEY_VALUE_PARTIAL_INFORMATION*>(buffer);
    if (!NT_SUCCESS(status) || partial->Type != REG_SZ)
    {
        return std::u16string();
    }
    std::u16string text(reinterpret_cast<const char16_t*>(partial->Data), partial->DataLength / 2);
    while (!text.empty() && text.back() == 0)
    {
        text.pop_back();
    }
    return text;
}

unsigned long NumberOf(const std::u16string& text, int base, unsigned long fallback)
{
    std::string narrow = ToUtf8(text);
    char* end = nullptr;
    unsigned long value = strtoul(narrow.c_str(), &end, base);
    return narrow.empty() || *end != 0 ? fallback : value;
}

NlsSettings Settings()
{
    NlsCache& cache = Cache();
    if (!ntdll::MachineConnected() && getenv("WINSIM_ROOT") == nullptr)
    {
        return NlsSettings{};
    }
    ntdll::Machine(); // a machine's program connects to its machine first
    uint64_t generation = ntdll::MachineGeneration();
    if (cache.generation.load(std::memory_order_acquire) != generation)
    {
        std::lock_guard<std::mutex> guard(cache.lock);
        if (cache.generation.load(std::memory_order_relaxed) != generation)
        {
            cache.ansiCodePage =
                static_cast<UINT>(NumberOf(ReadControlValue(u"Nls\\CodePage", u"ACP"), 10, CP_UTF8));
            cache.oemCodePage =
                static_cast<UINT>(NumberOf(ReadControlValue(u"Nls\\CodePage", u"OEMCP"), 10, CP_UTF8));
            cache.uiLanguage =
                static_cast<LANGID>(NumberOf(ReadControlValue(u"Nls\\Language", u"Default"), 16, kEnglishUs));
            cache.generation.store(generation, std::memory_order_release);
        }
    }
    NlsSettings settings;
    settings.ansiCodePage = cache.ansiCodePage.load();
    settings.oemCodePage = cache.oemCodePage.load();
    settings.uiLanguage = cache.uiLanguage.load();
    return settings;
}

thread_local LANGID t_threadUiLanguage = 0; // 0: the machine's

// ---- Code page 932 --------------------------------------------------------------------------------

bool IsShiftJisLead(uint8_t b)
{
    return (b >= 0x81 && b <= 0x9F) || (b >= 0xE0 && b <= 0xFC);
}

bool IsShiftJisTrail(uint8_t b)
{
    return b >= 0x40 && b <= 0xFC && b != 0x7F;
}

// The two directions of code page 932 as tables: single bytes, pairs by (lead << 8 | trail), and
// UTF-16 units to their byte sequence (one byte, or lead << 8 | trail); 0 for none (U+0000 and the
// byte 0 map to each other by hand).
struct ShiftJisTables
{
    WCHAR single[256] = {};
    std::vector<WCHAR> pairs = std::vector<WCHAR>(65536, 0);
    std::vector<uint16_t> fromUnicode = std::vector<uint16_t>(65536, 0);
};

const ShiftJisTables& ShiftJis()
{
    static const ShiftJisTables* tables = [] {
        auto* t = new ShiftJisTables;
        iconv_t decode = iconv_open("UTF-16LE", "CP932");
        iconv_t encode = iconv_open("CP932", "UTF-16LE");
        auto convert = [](iconv_t cd, const char* in, size_t inLength, char* out,
                          size_t outCapacity) -> size_t {
            iconv(cd, nullptr, nullptr, nullptr, nullptr);
            char* input = const_cast<char*>(in);
            char* output = out;
            size_t outLeft = outCapacity;
            if (iconv(cd, &input, &inLength, &output, &outLeft) == static_cast<size_t>(-1) || inLength != 0)
            {
                return 0;
            }
            return outCapacity - outLeft;
        };
        if (decode != reinterpret_cast<iconv_t>(-1))
        {
            for (unsigned b = 1; b < 256; ++b)
            {
                char in = static_cast<char>(b);
                char16_t out[2] = {};
                if (!IsShiftJisLead(static_cast<uint8_t>(b)) &&
                    convert(decode, &in, 1, reinterpret_cast<char*>(out), sizeof(out)) == 2)
                {
                    t->single[b] = out[0];
                }
            }
            for (unsigned lead = 0x81; lead <= 0xFC; ++lead)
            {
                if (!IsShiftJisLead(static_cast<uint8_t>(lead)))
                {
                    continue;
                }
                for (unsigned trail = 0x40; trail <= 0xFC; ++trail)
                {
                    char in[2] = {static_cast<char>(lead), static_cast<char>(trail)};
                    char16_t out[2] = {};
                    if (IsShiftJisTrail(static_cast<uint8_t>(trail)) &&
                        convert(decode, in, 2, reinterpret_cast<char*>(out), sizeof(out)) == 2)
                    {
                        t->pairs[(lead << 8) | trail] = out[0];
                    }
                }
            }
            iconv_close(decode);
        }
        // Windows' own single bytes, which glibc's table leaves out.
        const std::pair<uint8_t, WCHAR> extras[] = {
            {0x80, 0x0080}, {0xA0, 0xF8F0}, {0xFD, 0xF8F1}, {0xFE, 0xF8F2}, {0xFF, 0xF8F3}};
        for (const auto& [byte, unit] : extras)
        {
            t->single[byte] = unit;
        }
        if (encode != reinterpret_cast<iconv_t>(-1))
        {
            for (unsigned unit = 1; unit < 0x10000; ++unit)
            {
                if (unit >= 0xD800 && unit <= 0xDFFF)
                {
                    continue;
                }
                char16_t in = static_cast<char16_t>(unit);
                unsigned char out[4] = {};
                size_t n = convert(encode, reinterpret_cast<const char*>(&in), 2,
                                   reinterpret_cast<char*>(out), sizeof(out));
                if (n == 1)
                {
                    t->fromUnicode[unit] = out[0];
                }
                else if (n == 2)
                {
                    t->fromUnicode[unit] = static_cast<uint16_t>((out[0] << 8) | out[1]);
                }
            }
            iconv_close(encode);
        }
        for (const auto& [byte, unit] : extras)
        {
            t->fromUnicode[unit] = byte;
        }
        return t;
    }();
    return *tables;
}

// Decodes 932 text; false (with nothing decoded) when `strict` and a sequence has no character.
bool DecodeShiftJis(std::string_view text, bool strict, std::u16string& out)
{
    const ShiftJisTables& tables = ShiftJis();
    for (size_t i = 0; i < text.size(); ++i)
    {
        uint8_t b = static_cast<uint8_t>(text[i]);
        WCHAR unit = 0;
        if (b == 0)
        {
            out.push_back(0);
            continue;
        }
        if (IsShiftJisLead(b))
        {
            if (i + 1 < text.size() && IsShiftJisTrail(static_cast<uint8_t>(text[i + 1])))
            {
                unit = tables.pairs[(b << 8) | static_cast<uint8_t>(text[++i])];
            }
        }
        else
        {
            unit = tables.single[b];
        }
        if (unit == 0)
        {
            if (strict)
            {
                return false;
            }
            unit = kShiftJisDefaultUnicode;
        }
        out.push_back(static_cast<char16_t>(unit));
    }
    return true;
}

// Encodes UTF-16 text as 932; characters without a sequence become `defaultChar`.
std::string EncodeShiftJis(std::u16string_view text, std::string_view defaultChar, bool* usedDefault)
{
    const ShiftJisTables& tables = ShiftJis();
    std::string out;
    for (size_t i = 0; i < text.size(); ++i)
    {
        char16_t unit = text[i];
        uint16_t bytes = unit < 0xD800 || unit > 0xDFFF ? tables.fromUnicode[unit] : 0;
        if (unit == 0)
        {
            out.push_back(0);
        }
        else if (bytes == 0)
        {
            // A surrogate pair is one character.
            if (unit >= 0xD800 && unit <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 &&
                text[i + 1] <= 0xDFFF)
            {
                ++i;
            }
            out += defaultChar;
            if (usedDefault != nullptr)
            {
                *usedDefault = true;
            }
        }
        else if (bytes > 0xFF)
        {
            out.push_back(static_cast<char>(bytes >> 8));
            out.push_back(static_cast<char>(bytes & 0xFF));
        }
        else
        {
            out.push_back(static_cast<char>(bytes));
        }
    }
    return out;
}

// The code page a CP_* value stands for; 0 for one this machine cannot convert.
UINT ResolveCodePage(UINT codePage)
{
    switch (codePage)
    {
    case CP_ACP:
    case CP_THREAD_ACP:
        return Settings().ansiCodePage;
    case CP_OEMCP:
        return Settings().oemCodePage;
    case CP_MACCP:
    case CP_UTF8:
        return CP_UTF8;
    case kShiftJis:
        return kShiftJis;
    default:
        return 0;
    }
}

// Copies a converted result out under the buffer rules; the number of units, or 0.
template <typename Unit>
int StoreResult(const Unit* result, size_t units, Unit* destination, int capacity)
{
    if (units > static_cast<size_t>(0x7FFFFFFF))
    {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    if (capacity == 0)
    {
        return static_cast<int>(units);
    }
    if (units > static_cast<size_t>(capacity))
    {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return 0;
    }
    for (size_t i = 0; i < units; ++i)
    {
        destination[i] = result[i];
    }
    return static_cast<int>(units);
}

} // namespace

LANGID ThreadUiLanguage()
{
    return t_threadUiLanguage != 0 ? t_threadUiLanguage : Settings().uiLanguage;
}

std::u16string WideFromAnsi(std::string_view text)
{
    if (Settings().ansiCodePage == kShiftJis)
    {
        std::u16string wide;
        DecodeShiftJis(text, false, wide);
        return wide;
    }
    return ToUtf16(text);
}

std::string AnsiFromWide(std::u16string_view text)
{
    if (Settings().ansiCodePage == kShiftJis)
    {
        return EncodeShiftJis(text, std::string_view(&kShiftJisDefaultChar, 1), nullptr);
    }
    return ToUtf8(std::u16string(text));
}

} // namespace winsim::user

using namespace winsim::user;

extern "C"
{

    UINT WINAPI GetACP(void)
    {
        return Settings().ansiCodePage;
    }

    UINT WINAPI GetOEMCP(void)
    {
        return Settings().oemCodePage;
    }

    LANGID WINAPI GetUserDefaultUILanguage(void)
    {
        return Settings().uiLanguage;
    }

    LANGID WINAPI GetSystemDefaultUILanguage(void)
    {
        return Settings().uiLanguage;
    }

    LANGID WINAPI GetThreadUILanguage(void)
    {
        return ThreadUiLanguage();
    }

    LANGID WINAPI SetThreadUILanguage(LANGID LangId)
    {
        t_threadUiLanguage = LangId;
        return ThreadUiLanguage();
    }

    BOOL WINAPI IsDBCSLeadByteEx(UINT CodePage, BYTE TestChar)
    {
        UINT codePage = ResolveCodePage(CodePage);
        if (codePage == 0)
        {
            SetLastError(ERROR_INVALID_PARAMETER);
            return FALSE;
        }
        return codePage == kShiftJis && IsShiftJisLead(TestChar);
    }

    BOOL WINAPI IsDBCSLeadByte(BYTE TestChar)
    {
        return IsDBCSLeadByteEx(CP_ACP, TestChar);
    }

    int WINAPI MultiByteToWideChar(UINT CodePage, DWORD dwFlags, LPCCH lpMultiByteStr, int cbMultiByte,
                                   LPWSTR lpWideCharStr, int cchWideChar)
    {
        UINT codePage = ResolveCodePage(CodePage);
        if (codePage == 0 || lpMultiByteStr == nullptr || cbMultiByte == 0 || cbMultiByte < -1 ||
            cchWideChar < 0 || (cchWideChar > 0 && lpWideCharStr == nullptr) ||
            (lpWideCharStr != nullptr && static_cast<const void*>(lpWideCharStr) == lpMultiByteStr))
        {
            SetLastError(ERROR_INVALID_PARAMETER);
            return 0;
        }
        size_t length = cbMultiByte == -1 ? strlen(lpMultiByteStr) + 1 : static_cast<size_t>(cbMultiByte);
        std::u16string wide;
        if (codePage == kShiftJis)
        {
            if (!DecodeShiftJis(std::string_view(lpMultiByteStr, length),
                                (dwFlags & MB_ERR_INVALID_CHARS) != 0, wide))
            {
                SetLastError(ERROR_NO_UNICODE_TRANSLATION);
                return 0;
            }
        }
        else
        {
            wide = winsim::ToUtf16(std::string_view(lpMultiByteStr, length));
        }
        return StoreResult(reinterpret_cast<const WCHAR*>(wide.data()), wide.size(), lpWideCharStr,
                           cchWideChar);
    }

    int WINAPI WideCharToMultiByte(UINT CodePage, DWORD dwFlags, LPCWCH lpWideCharStr, int cchWideChar,
                                   LPSTR lpMultiByteStr, int cbMultiByte, LPCCH lpDefaultChar,
                                   LPBOOL lpUsedDefaultChar)
    {
        UINT codePage = ResolveCodePage(CodePage);
        // UTF-8 takes no default character.
        if (codePage == 0 || lpWideCharStr == nullptr || cchWideChar == 0 || cchWideChar < -1 ||
            cbMultiByte < 0 || (cbMultiByte > 0 && lpMultiByteStr == nullptr) ||
            (codePage == CP_UTF8 && (lpDefaultChar != nullptr || lpUsedDefaultChar != nullptr)) ||
            (lpMultiByteStr != nullptr && static_cast<const void*>(lpMultiByteStr) == lpWideCharStr))
        {
            SetLastError(ERROR_INVALID_PARAMETER);
            return 0;
        }
        // WC_ERR_INVALID_CHARS is UTF-8's alone.
        if (codePage == kShiftJis && (dwFlags & WC_ERR_INVALID_CHARS) != 0)
        {
            SetLastError(ERROR_INVALID_FLAGS);
            return 0;
        }
        size_t length =
            cchWideChar == -1 ? winsim::WideLength(lpWideCharStr) + 1 : static_cast<size_t>(cchWideChar);
        std::string narrow;
        if (codePage == kShiftJis)
        {
            bool usedDefault = false;
            std::string_view defaultChar =
                lpDefaultChar != nullptr
                    ? std::string_view(lpDefaultChar,
                                       IsShiftJisLead(static_cast<uint8_t>(*lpDefaultChar)) ? 2 : 1)
                    : std::string_view(&kShiftJisDefaultChar, 1);
            narrow =
                EncodeShiftJis(std::u16string_view(reinterpret_cast<const char16_t*>(lpWideCharStr), length),
                               defaultChar, &usedDefault);
            if (lpUsedDefaultChar != nullptr)
            {
                *lpUsedDefaultChar = usedDefault ? TRUE : FALSE;
            }
        }
        else
        {
            narrow = winsim::ToUtf8(lpWideCharStr, length);
        }
        return StoreResult(narrow.data(), narrow.size(), lpMultiByteStr, cbMultiByte);
    }
}
