// printf-family formatting with the semantics of the Windows C runtime and kernel.
//
// The differences from the C library of Linux are the ones that matter to Windows code:
//   - "l" is a 32-bit integer size (LONG, ULONG, DWORD), "I64" and "ll" are 64 bits, "I" is the
//     pointer size, "I32" 32 bits;
//   - in a narrow format "%s" is a narrow string and "%S"/"%ls"/"%ws" a wide (UTF-16) one; in a wide
//     format "%s" is wide and "%S"/"%hs" narrow;
//   - "%Z" takes an ANSI_STRING* and "%wZ" a UNICODE_STRING*;
//   - "%p" prints the pointer as 16 upper-case hexadecimal digits.
// Narrow text is UTF-8, the simulated machine's ANSI code page.
#pragma once

#include <stdarg.h>
#include <stddef.h>

namespace winsim
{

// Formats into out[0..capacity) and returns the number of characters the whole text needs,
// not counting a terminator. A terminator is written only when the text and it both fit.
size_t FormatNarrow(char* out, size_t capacity, const char* format, va_list args);
size_t FormatWide(wchar_t* out, size_t capacity, const wchar_t* format, va_list args);

} // namespace winsim
