// Conversions between UTF-16 (WCHAR text) and UTF-8 (the simulated ANSI code page) and the
// small string helpers the platform uses on UTF-16 text.
#pragma once

#include <stddef.h>
#include <string>
#include <string_view>

namespace winsim
{

// Length of a NUL-terminated UTF-16 string, in code units.
size_t WideLength(const wchar_t* text);

// UTF-16 to UTF-8; unpaired surrogates become U+FFFD.
std::string ToUtf8(const wchar_t* text, size_t length);
std::string ToUtf8(const wchar_t* text);
inline std::string ToUtf8(const std::u16string& text)
{
    return ToUtf8(reinterpret_cast<const wchar_t*>(text.data()), text.size());
}

// UTF-8 to UTF-16; malformed sequences become U+FFFD.
std::u16string ToUtf16(std::string_view text);

// Case-insensitive comparison the way the object manager and the registry compare names
// (simple upper-casing of ASCII and Latin-1 letters).
bool EqualsNoCase(std::u16string_view a, std::u16string_view b);
bool EqualsNoCase(std::string_view a, std::string_view b);
std::u16string UpperCase(std::u16string_view text);
std::string UpperCase(std::string_view text);

inline std::u16string_view View(const wchar_t* text, size_t length)
{
    return std::u16string_view(reinterpret_cast<const char16_t*>(text), length);
}
inline std::u16string_view View(const wchar_t* text)
{
    return View(text, WideLength(text));
}
inline const wchar_t* WideData(const std::u16string& text)
{
    return reinterpret_cast<const wchar_t*>(text.c_str());
}

} // namespace winsim
