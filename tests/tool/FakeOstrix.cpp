// A stand-in for Ostrix_x64.dll with the two exports the console tool calls. Each call appends
// "<function> <arguments>" as a line to the file named by FAKE_OSTRIX_RECORD and returns what
// FAKE_OSTRIX_RESULT says ("1": true, anything else: false).
#include <windows.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

static BOOLEAN Result()
{
    const char* result = getenv("FAKE_OSTRIX_RESULT");
    return result != NULL && strcmp(result, "1") == 0 ? 1 : 0;
}

static void Record(const char* function, const char* first, const char* second)
{
    const char* path = getenv("FAKE_OSTRIX_RECORD");
    if (path == NULL)
    {
        return;
    }
    FILE* f = fopen(path, "a");
    if (f != NULL)
    {
        fprintf(f, "%s %s %s\n", function, first, second);
        fclose(f);
    }
}

extern "C" BOOLEAN WINAPI rwGetTARNOLogFile(SHORT iParameter, LPCSTR lpFileSavePath)
{
    char parameter[16];
    snprintf(parameter, sizeof(parameter), "%d", static_cast<int>(iParameter));
    Record("rwGetTARNOLogFile", parameter, lpFileSavePath);
    return Result();
}

extern "C" BOOLEAN WINAPI rwReloadTARNODriver(LPCSTR ProductID, DWORD cmdPara)
{
    char command[16];
    snprintf(command, sizeof(command), "%u", static_cast<unsigned>(cmdPara));
    Record("rwReloadTARNODriver", ProductID, command);
    return Result();
}
