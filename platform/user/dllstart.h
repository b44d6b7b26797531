// The contract between a DLL's start-up code (dllstart.cpp, linked into every DLL) and the module
// loader of the simulated user mode. Not part of Win32.
#pragma once

#include <windows.h>

WINSIM_EXTERN_C_BEGIN

// lpReserved for DllMain: NULL while the module is loaded by LoadLibrary or unloaded by
// FreeLibrary, non-NULL when it is loaded with the process or unloaded at process exit.
WINSIM_API LPVOID WinsimDllReserved(BOOL attach);

// Reports what DllMain returned for DLL_PROCESS_ATTACH. A failure during LoadLibrary makes it fail
// with ERROR_DLL_INIT_FAILED; a failure of a module loaded with the process ends the process.
WINSIM_API void WinsimDllAttached(HINSTANCE hinstDLL, BOOL result);

WINSIM_EXTERN_C_END
