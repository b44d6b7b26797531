// Start-up code linked into every DLL: calls the DLL's DllMain with DLL_PROCESS_ATTACH when the
// module is mapped (on the thread that loads it, after the module's C++ initialisers) and with
// DLL_PROCESS_DETACH when it is unmapped, by FreeLibrary or at process exit.
#include "dllstart.h"

#include <dlfcn.h>

// A DLL without an entry point of its own gets this one, as with the Windows C runtime.
extern "C" __attribute__((weak)) BOOL WINAPI DllMain(HINSTANCE hinstDLL, DWORD fdwReason, LPVOID lpvReserved)
{
    (void)hinstDLL;
    (void)fdwReason;
    (void)lpvReserved;
    return TRUE;
}

namespace
{

bool g_attached = false;

HINSTANCE ThisModule()
{
    Dl_info info;
    if (dladdr(reinterpret_cast<void*>(&ThisModule), &info) == 0)
    {
        return nullptr;
    }
    return static_cast<HINSTANCE>(info.dli_fbase);
}

__attribute__((constructor)) void ProcessAttach()
{
    HINSTANCE module = ThisModule();
    BOOL result = DllMain(module, DLL_PROCESS_ATTACH, WinsimDllReserved(TRUE));
    if (result)
    {
        g_attached = true;
    }
    else
    {
        // A failed attach is followed at once by the detach call, as on Windows.
        DllMain(module, DLL_PROCESS_DETACH, nullptr);
    }
    WinsimDllAttached(module, result);
}

__attribute__((destructor)) void ProcessDetach()
{
    if (g_attached)
    {
        g_attached = false;
        DllMain(ThisModule(), DLL_PROCESS_DETACH, WinsimDllReserved(FALSE));
    }
}

} // namespace
