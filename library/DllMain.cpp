// Entry point of Ostrix_x64.dll.
#include <windows.h>

#include "OstrixApp.h"

extern "C" BOOL WINAPI DllMain(HINSTANCE hinstDLL, DWORD fdwReason, LPVOID lpvReserved)
{
    (void)lpvReserved;
    switch (fdwReason)
    {
    case DLL_PROCESS_ATTACH:
        return OstrixProcessAttach(hinstDLL);
    case DLL_PROCESS_DETACH:
        OstrixProcessDetach();
        break;
    default:
        break;
    }
    return TRUE;
}
