// The process itself: its pseudo-handle and its bitness, and the settings the machine gives it.
//
// The machine passes a process its settings in the environment, so that a program it starts
// inherits them: WINSIM_TOKEN=standard makes it a standard user's (see advapi32/security.cpp),
// WINSIM_WOW64=1 a 32-bit process on 64-bit Windows.
#include "internal.h"

#include <stdlib.h>
#include <string.h>

namespace winsim::user
{
namespace
{

// The pseudo-handle GetCurrentProcess returns.
HANDLE const kCurrentProcess = reinterpret_cast<HANDLE>(static_cast<intptr_t>(-1));

} // namespace

bool ProcessRunsAsAdministrator()
{
    const char* token = getenv("WINSIM_TOKEN");
    return token == nullptr || strcmp(token, "standard") != 0;
}

bool ProcessIsWow64()
{
    const char* wow64 = getenv("WINSIM_WOW64");
    return wow64 != nullptr && strcmp(wow64, "1") == 0;
}

} // namespace winsim::user

using namespace winsim::user;

extern "C"
{

    HANDLE WINAPI GetCurrentProcess(void)
    {
        return kCurrentProcess;
    }

    BOOL WINAPI IsWow64Process(HANDLE hProcess, PBOOL Wow64Process)
    {
        if (Wow64Process == nullptr)
        {
            SetLastError(ERROR_INVALID_PARAMETER);
            return FALSE;
        }
        // This machine has no handles of other processes to ask about.
        if (hProcess != kCurrentProcess)
        {
            SetLastError(ERROR_INVALID_HANDLE);
            return FALSE;
        }
        *Wow64Process = ProcessIsWow64() ? TRUE : FALSE;
        return TRUE;
    }

} // extern "C"
