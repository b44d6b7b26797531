// A DLL that reports its entry-point calls: each DllMain call appends a line
// "<reason> <thread id> <static|dynamic> <instance handle>" to the file named by WINSIM_PROBE_LOG.
#include <windows.h>

#include <stdio.h>
#include <stdlib.h>

#ifndef PROBE_ATTACH_RESULT
#define PROBE_ATTACH_RESULT TRUE
#endif

extern "C" int ProbeAnswer()
{
    return 42;
}

static void Record(const char* reason, HINSTANCE hinstDLL, LPVOID lpvReserved)
{
    const char* path = getenv("WINSIM_PROBE_LOG");
    if (path == NULL)
    {
        return;
    }
    FILE* f = fopen(path, "a");
    if (f != NULL)
    {
        fprintf(f, "%s %u %s %p\n", reason, static_cast<unsigned>(GetCurrentThreadId()),
                lpvReserved != NULL ? "static" : "dynamic", static_cast<void*>(hinstDLL));
        fclose(f);
    }
}

extern "C" BOOL WINAPI DllMain(HINSTANCE hinstDLL, DWORD fdwReason, LPVOID lpvReserved)
{
    if (fdwReason == DLL_PROCESS_ATTACH)
    {
        Record("attach", hinstDLL, lpvReserved);
        return PROBE_ATTACH_RESULT;
    }
    if (fdwReason == DLL_PROCESS_DETACH)
    {
        Record("detach", hinstDLL, lpvReserved);
    }
    return TRUE;
}
