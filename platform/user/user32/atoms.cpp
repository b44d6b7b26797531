// Registered window messages: a name (compared without regard to case) gets a number from 0xC000
// through 0xFFFF in the machine's atom table, the same in every process of the machine.
#include "internal.h"
#include "ntdll/ntdll.h"

#include <string.h>

extern "C"
{

    UINT WINAPI RegisterWindowMessageA(LPCSTR lpString)
    {
        if (lpString == nullptr || lpString[0] == 0 || strlen(lpString) > 255)
        {
            SetLastError(ERROR_INVALID_PARAMETER);
            return 0;
        }
        std::u16string name = winsim::user::WideFromAnsi(lpString);
        winsim::syscall::RTL_ATOM atom = 0;
        NTSTATUS status = NtAddAtom(reinterpret_cast<PWSTR>(name.data()),
                                    static_cast<ULONG>(name.size() * sizeof(WCHAR)), &atom);
        if (!NT_SUCCESS(status))
        {
            winsim::ntdll::FailWith(status);
            return 0;
        }
        return atom;
    }

} // extern "C"
