#include "winprintf.h"

#include "unicode.h"

#include <stdint.h>
#include <stdio.h>
#include <string.h>

#include <string>

namespace winsim
{
namespace
{

// Counted strings as the kernel lays them out (%Z and %wZ).
struct CountedNarrow
{
    uint16_t Length;
    uint16_t MaximumLength;
    char* Buffer;
};
struct CountedWide
{
    uint16_t Length;
    uint16_t MaximumLength;
    wchar_t* Buffer;
};

enum class Size
{
    Default,
    Char,  // hh
    Short, // h
    Long,  // l, I32, w (for integers)
    Quad,  // ll, I64
    Ptr,   // I, z, t, j
};

struct Directive
{
    std::string flags;
    int width = -1;
    int precision = -1;
    Size size = Size::Default;
    bool wideModifier = false;   // 'w' or 'l' in front of s/c/Z
    bool narrowModifier = false; // 'h' in front of s/c
    char conversion = 0;
};

template <typename CharT>
class Output
{
  public:
    Output(CharT* out, size_t capacity) : m_out(out), m_capacity(capacity) {}

    void Put(char32_t c)
    {
        if constexpr (sizeof(CharT) == 1)
        {
            if (c < 0x80)
            {
                PutUnit(static_cast<CharT>(c));
            }
            else
            {
                // Re-encode as UTF-8.
                char16_t unit[2];
                size_t n = 0;
                if (c >= 0x10000)
                {
                    unit[n++] = static_cast<char16_t>(0xD800 + ((c - 0x10000) >> 10));
                    unit[n++] = static_cast<char16_t>(0xDC00 + ((c - 0x10000) & 0x3FF));
                }
                else
                {
                    unit[n++] = static_cast<char16_t>(c);
                }
                std::string utf8 = ToUtf8(reinterpret_cast<const wchar_t*>(unit), n);
                for (char b : utf8)
                {
                    PutUnit(static_cast<CharT>(b));
                }
            }
        }
        else
        {
            PutUnit(static_cast<CharT>(c));
        }
    }

    void PutUnit(CharT c)
    {
        if (m_length < m_capacity)
        {
            m_out[m_length] = c;
        }
        ++m_length;
    }

    void PutAscii(const char* text, size_t length)
    {
        for (size_t i = 0; i < length; ++i)
        {
            PutUnit(static_cast<CharT>(static_cast<unsigned char>(text[i])));
        }
    }

    size_t Length() const { return m_length; }

  private:
    CharT* m_out;
    size_t m_capacity;
    size_t m_length = 0;
};

template <typename CharT>
void PutPadded(Output<CharT>& out, const Directive& directive, const std::u16string& text)
{
    size_t width = directive.width > 0 ? static_cast<size_t>(directive.width) : 0;
    bool left = directive.flags.find('-') != std::string::npos;
    size_t pad = width > text.size() ? width - text.size() : 0;
    if (!left)
    {
        for (size_t i = 0; i < pad; ++i)
        {
            out.PutUnit(static_cast<CharT>(' '));
        }
    }
    if constexpr (sizeof(CharT) == 1)
    {
        std::string utf8 = ToUtf8(reinterpret_cast<const wchar_t*>(text.data()), text.size());
        out.PutAscii(utf8.data(), utf8.size());
    }
    else
    {
        for (char16_t c : text)
        {
            out.PutUnit(static_cast<CharT>(c));
        }
    }
    if (left)
    {
        for (size_t i = 0; i < pad; ++i)
        {
            out.PutUnit(static_cast<CharT>(' '));
        }
    }
}

std::u16string NarrowToText(const char* s, size_t length)
{
    return ToUtf16(std::string_view(s, length));
}

size_t BoundedLength(const char* s, int precision)
{
    size_t n = 0;
    while ((precision < 0 || n < static_cast<size_t>(precision)) && s[n] != 0)
    {
        ++n;
    }
    return n;
}

size_t BoundedLength(const wchar_t* s, int precision)
{
    size_t n = 0;
    while ((precision < 0 || n < static_cast<size_t>(precision)) && s[n] != 0)
    {
        ++n;
    }
    return n;
}

template <typename CharT>
size_t FormatImpl(CharT* buffer, size_t capacity, const CharT* format, va_list args)
{
    constexpr bool wideFormat = sizeof(CharT) == 2;
    Output<CharT> out(buffer, capacity);
    va_list ap;
    va_copy(ap, args);
    const CharT* p = format;
    while (*p != 0)
    {
        if (*p != '%')
        {
            out.PutUnit(*p++);
            continue;
        }
        ++p;
        if (*p == '%')
        {
            out.PutUnit(*p++);
            continue;
        }
        Directive directive;
        while (*p == '-' || *p == '+' || *p == ' ' || *p == '#' || *p == '0')
        {
            directive.flags.push_back(static_cast<char>(*p++));
        }
        if (*p == '*')
        {
            directive.width = va_arg(ap, int);
            if (directive.width < 0)
            {
                directive.flags.push_back('-');
                directive.width = -directive.width;
            }
            ++p;
        }
        else
        {
            while (*p >= '0' && *p <= '9')
            {
                directive.width = (directive.width < 0 ? 0 : directive.width) * 10 + (*p++ - '0');
            }
        }
        if (*p == '.')
        {
            ++p;
            directive.precision = 0;
            if (*p == '*')
            {
                directive.precision = va_arg(ap, int);
                ++p;
            }
            else
            {
                while (*p >= '0' && *p <= '9')
                {
                    directive.precision = directive.precision * 10 + (*p++ - '0');
                }
            }
        }
        // Size prefixes.
        for (;;)
        {
            if (*p == 'l')
            {
                if (p[1] == 'l')
                {
                    directive.size = Size::Quad;
                    p += 2;
                }
                else
                {
                    directive.size = Size::Long;
                    directive.wideModifier = true;
                    ++p;
                }
            }
            else if (*p == 'h')
            {
                if (p[1] == 'h')
                {
                    directive.size = Size::Char;
                    p += 2;
                }
                else
                {
                    directive.size = Size::Short;
                    directive.narrowModifier = true;
                    ++p;
                }
            }
            else if (*p == 'w')
            {
                directive.wideModifier = true;
                directive.size = Size::Long;
                ++p;
            }
            else if (*p == 'I')
            {
                if (p[1] == '6' && p[2] == '4')
                {
                    directive.size = Size::Quad;
                    p += 3;
                }
                else if (p[1] == '3' && p[2] == '2')
                {
                    directive.size = Size::Long;
                    p += 3;
                }
                else
                {
                    directive.size = Size::Ptr;
                    ++p;
                }
            }
            else if (*p == 'z' || *p == 't' || *p == 'j')
            {
                directive.size = Size::Ptr;
                ++p;
            }
            else if (*p == 'L')
            {
                ++p;
            }
            else
            {
                break;
            }
        }
        directive.conversion = static_cast<char>(*p);
        if (*p != 0)
        {
            ++p;
        }
        switch (directive.conversion)
        {
        case 'd':
        case 'i':
        case 'u':
        case 'x':
        case 'X':
        case 'o': {
            bool isSigned = directive.conversion == 'd' || directive.conversion == 'i';
            unsigned long long bits = 0;
            long long value = 0;
            switch (directive.size)
            {
            case Size::Quad:
            case Size::Ptr:
                bits = va_arg(ap, unsigned long long);
                value = static_cast<long long>(bits);
                break;
            case Size::Short: {
                unsigned raw = va_arg(ap, unsigned);
                bits = static_cast<unsigned short>(raw);
                value = static_cast<short>(raw);
                break;
            }
            case Size::Char: {
                unsigned raw = va_arg(ap, unsigned);
                bits = static_cast<unsigned char>(raw);
                value = static_cast<signed char>(raw);
                break;
            }
            default: {
                unsigned raw = va_arg(ap, unsigned);
                bits = raw;
                value = static_cast<int>(raw);
                break;
            }
            }
            std::string cspec = "%" + directive.flags;
            if (directive.width >= 0)
            {
                cspec += std::to_string(directive.width);
            }
            if (directive.precision >= 0)
            {
                cspec += '.';
                cspec += std::to_string(directive.precision);
            }
            cspec += "ll";
            cspec.push_back(directive.conversion);
            char tmp[128];
            int n = isSigned ? snprintf(tmp, sizeof(tmp), cspec.c_str(), value)
                             : snprintf(tmp, sizeof(tmp), cspec.c_str(), bits);
            if (n > 0)
            {
                out.PutAscii(tmp,
                             static_cast<size_t>(n) < sizeof(tmp) ? static_cast<size_t>(n) : sizeof(tmp) - 1);
            }
            break;
        }
        case 'p': {
            void* ptr = va_arg(ap, void*);
            char tmp[32];
            int n = snprintf(tmp, sizeof(tmp), "%016llX",
                             static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(ptr)));
            std::u16string text = NarrowToText(tmp, static_cast<size_t>(n));
            PutPadded(out, directive, text);
            break;
        }
        case 'e':
        case 'E':
        case 'f':
        case 'F':
        case 'g':
        case 'G':
        case 'a':
        case 'A': {
            double value = va_arg(ap, double);
            std::string cspec = "%" + directive.flags;
            if (directive.width >= 0)
            {
                cspec += std::to_string(directive.width);
            }
            if (directive.precision >= 0)
            {
                cspec += '.';
                cspec += std::to_string(directive.precision);
            }
            cspec.push_back(directive.conversion);
            char tmp[512];
            int n = snprintf(tmp, sizeof(tmp), cspec.c_str(), value);
            if (n > 0)
            {
                out.PutAscii(tmp,
                             static_cast<size_t>(n) < sizeof(tmp) ? static_cast<size_t>(n) : sizeof(tmp) - 1);
            }
            break;
        }
        case 'c':
        case 'C': {
            unsigned raw = va_arg(ap, unsigned);
            bool wideChar = (directive.conversion == 'C') != wideFormat;
            if (directive.wideModifier)
            {
                wideChar = true;
            }
            if (directive.narrowModifier)
            {
                wideChar = false;
            }
            std::u16string text;
            if (wideChar)
            {
                text.push_back(static_cast<char16_t>(raw));
            }
            else
            {
                text.push_back(static_cast<char16_t>(static_cast<unsigned char>(raw)));
            }
            PutPadded(out, directive, text);
            break;
        }
        case 's':
        case 'S': {
            bool wideText = (directive.conversion == 'S') != wideFormat;
            if (directive.wideModifier)
            {
                wideText = true;
            }
            if (directive.narrowModifier)
            {
                wideText = false;
            }
            std::u16string text;
            if (wideText)
            {
                const wchar_t* s = va_arg(ap, const wchar_t*);
                if (s == nullptr)
                {
                    text = u"(null)";
                }
                else
                {
                    text.assign(reinterpret_cast<const char16_t*>(s), BoundedLength(s, directive.precision));
                }
            }
            else
            {
                const char* s = va_arg(ap, const char*);
                if (s == nullptr)
                {
                    text = u"(null)";
                }
                else
                {
                    text = NarrowToText(s, BoundedLength(s, directive.precision));
                }
            }
            PutPadded(out, directive, text);
            break;
        }
        case 'Z': {
            std::u16string text;
            if (directive.wideModifier)
            {
                const CountedWide* s = va_arg(ap, const CountedWide*);
                if (s == nullptr || s->Buffer == nullptr)
                {
                    text = u"(null)";
                }
                else
                {
                    text.assign(reinterpret_cast<const char16_t*>(s->Buffer), s->Length / 2);
                }
            }
            else
            {
                const CountedNarrow* s = va_arg(ap, const CountedNarrow*);
                if (s == nullptr || s->Buffer == nullptr)
                {
                    text = u"(null)";
                }
                else
                {
                    text = NarrowToText(s->Buffer, s->Length);
                }
            }
            PutPadded(out, directive, text);
            break;
        }
        case 'n':
            // Not supported, as in the secure Windows runtime: the argument is skipped.
            (void)va_arg(ap, void*);
            break;
        default:
            // Unknown conversion: copy it through.
            out.PutUnit(static_cast<CharT>('%'));
            if (directive.conversion != 0)
            {
                out.PutUnit(static_cast<CharT>(directive.conversion));
            }
            break;
        }
    }
    va_end(ap);
    size_t length = out.Length();
    if (length < capacity)
    {
        buffer[length] = 0;
    }
    return length;
}

} // namespace

size_t FormatNarrow(char* out, size_t capacity, const char* format, va_list args)
{
    return FormatImpl<char>(out, capacity, format, args);
}

size_t FormatWide(wchar_t* out, size_t capacity, const wchar_t* format, va_list args)
{
    return FormatImpl<wchar_t>(out, capacity, format, args);
}

} // namespace winsim
