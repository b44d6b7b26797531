// Debugger output. OutputDebugStringA hands the text to the kernel's debugger service (ntdll's
// DebugPrint), which passes it to the machine's debugger-output channel, as Windows does for a
// process that no user-mode debugger watches.
#include "internal.h"
#include "ntdll/ntdll.h"

#include <string.h>

extern "C"
{

    void WINAPI OutputDebugStringA(LPCSTR lpOutputString)
    {
        if (lpOutputString == nullptr)
        {
            return;
        }
        DWORD error = GetLastError();
        STRING text;
        size_t length = strlen(lpOutputString);
        // A counted string holds at most 65535 bytes; longer texts go in pieces.
        size_t offset = 0;
        do
        {
            size_t piece = length - offset > 0xFFFF ? 0xFFFF : length - offset;
            text.Buffer = const_cast<PCHAR>(lpOutputString + offset);
            text.Length = static_cast<USHORT>(piece);
            text.MaximumLength = static_cast<USHORT>(piece);
            winsim::ntdll::Kernel().DebugPrint(&text, 0, 0);
            offset += piece;
        } while (offset < length);
        SetLastError(error);
    }

} // extern "C"
