// Second process for the user-mode tests. Commands (first argument):
//   mutex-hold <name>   own the named mutex, print "held"; on "release" from stdin release it and
//                       print "released"; exit at end of input
//   mutex-try <name>    print the result of WaitForSingleObject(mutex, 0) and the last error
//                       CreateMutexA left
//   register <name>     print RegisterWindowMessageA(name)
//   debug <text>        OutputDebugStringA(text), then print "sent"
//   load <path>         print "ok" or "error <code>" for LoadLibraryA(path)
//   module              print GetModuleFileNameA(NULL)
// The program is linked with WinsimLinkedProbe.dll, whose entry point reports its calls.
#include <windows.h>

#include <stdio.h>
#include <string.h>

extern "C" int ProbeAnswer();

int main(int argc, char* argv[])
{
    setvbuf(stdout, NULL, _IONBF, 0);
    if (argc < 2)
    {
        return 2;
    }
    const char* command = argv[1];
    const char* arg = argc > 2 ? argv[2] : "";
    if (strcmp(command, "mutex-hold") == 0)
    {
        HANDLE mutex = CreateMutexA(NULL, FALSE, arg);
        if (mutex == NULL || WaitForSingleObject(mutex, INFINITE) != WAIT_OBJECT_0)
        {
            return 3;
        }
        printf("held\n");
        char line[64];
        while (fgets(line, sizeof(line), stdin) != NULL)
        {
            if (strncmp(line, "release", 7) == 0)
            {
                ReleaseMutex(mutex);
                printf("released\n");
            }
        }
        CloseHandle(mutex);
        return 0;
    }
    if (strcmp(command, "mutex-try") == 0)
    {
        HANDLE mutex = CreateMutexA(NULL, FALSE, arg);
        DWORD created = GetLastError();
        printf("%u %u\n", static_cast<unsigned>(WaitForSingleObject(mutex, 0)),
               static_cast<unsigned>(created));
        return 0;
    }
    if (strcmp(command, "register") == 0)
    {
        printf("%u\n", RegisterWindowMessageA(arg));
        return 0;
    }
    if (strcmp(command, "debug") == 0)
    {
        OutputDebugStringA(arg);
        printf("sent\n");
        return 0;
    }
    if (strcmp(command, "load") == 0)
    {
        HMODULE module = LoadLibraryA(arg);
        if (module == NULL)
        {
            printf("error %u\n", static_cast<unsigned>(GetLastError()));
        }
        else
        {
            printf("ok\n");
        }
        return 0;
    }
    if (strcmp(command, "module") == 0)
    {
        char path[MAX_PATH];
        GetModuleFileNameA(NULL, path, MAX_PATH);
        printf("%s\n", path);
        return ProbeAnswer() == 42 ? 0 : 4;
    }
    return 2;
}
