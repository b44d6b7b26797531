// Heskor_x64.exe: trace capture and device reload of the client library, on the command line.
//
//   Heskor /f <folder>                  rwGetTARNOLogFile(0, folder)
//   Heskor /r <product ID> [option]     rwReloadTARNODriver(product ID, option 0..2)
#include <windows.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

typedef BOOLEAN(WINAPI* PFN_GETTARNOLOGFILE)(SHORT iParameter, LPCSTR lpFileSavePath);
typedef BOOLEAN(WINAPI* PFN_RELOADTARNODRIVER)(LPCSTR ProductID, DWORD cmdPara);

static const char szLibraryName[] = ".\\Ostrix_x64.dll";
static const char szGetTARNOLogFile[] = "rwGetTARNOLogFile";
static const char szReloadTARNODriver[] = "rwReloadTARNODriver";

static void PrintUsage()
{
    printf("---USAGE---\n");
    printf("FlushTrace: Heskor /f [FolderPath]\n");
    printf("ReloadUSB : Heskor /r [ProductID] [option]\n");
    printf("            option 0 -> Reload USB Device\n");
    printf("            option 1 -> Disable USB Device\n");
    printf("            option 2 -> Enable USB Device\n");
    printf("-----------\n");
}

// Prints "<name>: <error>:<system text>" for a failed export lookup.
static void PrintLookupError(LPCSTR pszName)
{
    DWORD dwError = GetLastError();
    LPSTR pszMessage = NULL;
    FormatMessageA(
        FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS | FORMAT_MESSAGE_ALLOCATE_BUFFER, NULL,
        dwError, MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT), reinterpret_cast<LPSTR>(&pszMessage), 0, NULL);
    printf("%s: %d:%s\n", pszName, static_cast<int>(dwError), pszMessage != NULL ? pszMessage : "");
    LocalFree(pszMessage);
}

int main(int argc, char* argv[])
{
    if (argc < 2)
    {
        PrintUsage();
        return 0;
    }

    // Relative to the current directory: the library beside the tool is not the one meant.
    HMODULE hLibrary = LoadLibraryA(szLibraryName);
    if (hLibrary == NULL)
    {
        printf("LoadLibrary Error (%x)\n", static_cast<unsigned int>(GetLastError()));
        return -1;
    }
    PFN_GETTARNOLOGFILE pfnGetTARNOLogFile = reinterpret_cast<PFN_GETTARNOLOGFILE>(
        reinterpret_cast<void*>(GetProcAddress(hLibrary, szGetTARNOLogFile)));
    if (pfnGetTARNOLogFile == NULL)
    {
        PrintLookupError(szGetTARNOLogFile);
        return -2;
    }
    PFN_RELOADTARNODRIVER pfnReloadTARNODriver = reinterpret_cast<PFN_RELOADTARNODRIVER>(
        reinterpret_cast<void*>(GetProcAddress(hLibrary, szReloadTARNODriver)));
    if (pfnReloadTARNODriver == NULL)
    {
        PrintLookupError(szReloadTARNODriver);
        return -3;
    }

    // The switches are compared with their terminating NUL: exactly "/f" or "/r".
    if (strncmp(argv[1], "/f", 3) == 0)
    {
        if (argc < 3)
        {
            printf("rwGetTARNOLogFile Parameter Error\n");
            return -6;
        }
        if (pfnGetTARNOLogFile(0, argv[2]))
        {
            printf("execFlushTrace Success\n");
            return 0;
        }
        printf("execFlushTrace Error\n");
        return -5;
    }
    if (strncmp(argv[1], "/r", 3) == 0)
    {
        BOOLEAN bResult;
        int iFailure;
        if (argc == 3)
        {
            bResult = pfnReloadTARNODriver(argv[2], 0);
            iFailure = -7;
        }
        else if (argc == 4)
        {
            int iOption = atoi(argv[3]);
            if (static_cast<unsigned int>(iOption) > 2)
            {
                printf("rwReloadTARNODriver Parameter Error\n");
                return -9;
            }
            bResult = pfnReloadTARNODriver(argv[2], static_cast<DWORD>(iOption));
            iFailure = -8;
        }
        else
        {
            printf("rwReloadTARNODriver Parameter Error\n");
            return -10;
        }
        if (bResult)
        {
            printf("execReloadVELORUSB Success\n");
            return 0;
        }
        printf("execReloadVELORUSB Error\n");
        return iFailure;
    }
    PrintUsage();
    return 0;
}
