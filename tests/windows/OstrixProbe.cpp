// A Windows console program that drives Ostrix_x64.dll the way an application does: it loads the
// library from its own folder, calls the exports a command names and prints each result.
//   OstrixProbe ports <product ID>     rwGetUSBPortNames: "result <r> count <n>"
//   OstrixProbe checks                 the parameter checks of the registration exports, one
//                                      "<case> <result>" line each
//   OstrixProbe init <port> <times>    rwInitializeEvent <times> times: "init <result>" each
//   OstrixProbe reload <product ID> <command>
//                                      rwReloadTARNODriver: "reload <result>"
#include <windows.h>
#include <oleauto.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

typedef SHORT(CALLBACK* PFN_EVENTPROC)(LONG lPortNo, LONG lEvent, LONG_PTR pParam);
typedef LONG(WINAPI* PFN_GETUSBPORTNAMES)(LPCSTR, BSTR*, BSTR*, SHORT*);
typedef SHORT(WINAPI* PFN_SETLINEEVENTPROC)(LPCSTR, PFN_EVENTPROC, LONG_PTR, LONG, SHORT*);
typedef SHORT(WINAPI* PFN_INITIALIZEEVENT)(LPCSTR);
typedef BOOLEAN(WINAPI* PFN_RELOADTARNODRIVER)(LPCSTR, DWORD);

static SHORT CALLBACK OnLineEvent(LONG, LONG, LONG_PTR)
{
    return 0;
}

int main(int argc, char* argv[])
{
    if (argc < 2)
    {
        return 2;
    }
    HMODULE hLibrary = LoadLibraryA(".\\Ostrix_x64.dll");
    if (hLibrary == NULL)
    {
        printf("LoadLibrary %lu\n", GetLastError());
        return 3;
    }
    PFN_GETUSBPORTNAMES pGetUSBPortNames = reinterpret_cast<PFN_GETUSBPORTNAMES>(
        reinterpret_cast<void*>(GetProcAddress(hLibrary, "rwGetUSBPortNames")));
    PFN_SETLINEEVENTPROC pSetLineEventProc = reinterpret_cast<PFN_SETLINEEVENTPROC>(
        reinterpret_cast<void*>(GetProcAddress(hLibrary, "rwSetUSBCOMLineEventProc")));
    PFN_SETLINEEVENTPROC pSetWmiLineEventProc = reinterpret_cast<PFN_SETLINEEVENTPROC>(
        reinterpret_cast<void*>(GetProcAddress(hLibrary, "rwSetUSBCOMWMILineEventProc")));
    PFN_INITIALIZEEVENT pInitializeEvent = reinterpret_cast<PFN_INITIALIZEEVENT>(
        reinterpret_cast<void*>(GetProcAddress(hLibrary, "rwInitializeEvent")));
    PFN_RELOADTARNODRIVER pReloadTARNODriver = reinterpret_cast<PFN_RELOADTARNODRIVER>(
        reinterpret_cast<void*>(GetProcAddress(hLibrary, "rwReloadTARNODriver")));
    if (pGetUSBPortNames == NULL || pSetLineEventProc == NULL || pSetWmiLineEventProc == NULL ||
        pInitializeEvent == NULL || pReloadTARNODriver == NULL)
    {
        printf("GetProcAddress\n");
        return 4;
    }

    if (strcmp(argv[1], "ports") == 0 && argc == 3)
    {
        BSTR bstrNames = NULL;
        BSTR bstrOnLine = NULL;
        SHORT iCount = -1;
        LONG lResult = pGetUSBPortNames(argv[2], &bstrNames, &bstrOnLine, &iCount);
        printf("result %ld count %d names %s\n", lResult, iCount, bstrNames == NULL ? "null" : "set");
    }
    else if (strcmp(argv[1], "checks") == 0)
    {
        SHORT iStatus = 0;
        const PFN_SETLINEEVENTPROC apfn[] = {pSetLineEventProc, pSetWmiLineEventProc};
        const char* const aszName[] = {"notify", "wmi"};
        for (int i = 0; i < 2; ++i)
        {
            printf("%s null-port %d\n", aszName[i], apfn[i](NULL, OnLineEvent, 0, 3, &iStatus));
            printf("%s empty-port %d\n", aszName[i], apfn[i]("", OnLineEvent, 0, 3, &iStatus));
            printf("%s LPT1 %d\n", aszName[i], apfn[i]("LPT1", OnLineEvent, 0, 3, &iStatus));
            printf("%s COM0 %d\n", aszName[i], apfn[i]("COM0", OnLineEvent, 0, 3, &iStatus));
            printf("%s COM257 %d\n", aszName[i], apfn[i]("COM257", OnLineEvent, 0, 3, &iStatus));
            printf("%s COMX %d\n", aszName[i], apfn[i]("COMX", OnLineEvent, 0, 3, &iStatus));
            printf("%s mask-0 %d\n", aszName[i], apfn[i]("COM5", OnLineEvent, 0, 0, &iStatus));
            printf("%s mask-4 %d\n", aszName[i], apfn[i]("COM5", OnLineEvent, 0, 4, &iStatus));
            printf("%s null-status %d\n", aszName[i], apfn[i]("COM5", OnLineEvent, 0, 3, NULL));
        }
        printf("init COM0 %d\n", pInitializeEvent("COM0"));
        printf("init null %d\n", pInitializeEvent(NULL));
    }
    else if (strcmp(argv[1], "init") == 0 && argc == 4)
    {
        int cTimes = atoi(argv[3]);
        for (int i = 0; i < cTimes; ++i)
        {
            printf("init %d\n", pInitializeEvent(argv[2]));
        }
    }
    else if (strcmp(argv[1], "reload") == 0 && argc == 4)
    {
        printf("reload %d\n", pReloadTARNODriver(argv[2], strtoul(argv[3], NULL, 10)));
    }
    else
    {
        return 2;
    }
    FreeLibrary(hLibrary);
    return 0;
}
