// The program the CreateProcess tests start. Commands (first argument):
//   exit <code>          return <code> (decimal or 0x hexadecimal)
//   cwd <file>           write GetCurrentDirectoryA into <file> (a Windows path), return 0
//   env <name> <file>    write the variable's value (or "(none)") into <file>, return 0
//   wait <pipe> <code>   read a line from the named pipe <pipe> (a Windows path to a host FIFO),
//                        then return <code>
#include <windows.h>

#include <stdlib.h>
#include <stdio.h>
#include <string.h>

namespace
{

int WriteText(const char* file, const char* text)
{
    HANDLE out = CreateFileA(file, GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, 0, NULL);
    if (out == INVALID_HANDLE_VALUE)
    {
        return 100;
    }
    DWORD written = 0;
    BOOL ok = WriteFile(out, text, static_cast<DWORD>(strlen(text)), &written, NULL);
    CloseHandle(out);
    return ok ? 0 : 101;
}

int Code(const char* text)
{
    return static_cast<int>(strtoul(text, NULL, 0));
}

} // namespace

int main(int argc, char* argv[])
{
    if (argc < 2)
    {
        return 0;
    }
    const char* command = argv[1];
    if (strcmp(command, "exit") == 0 && argc == 3)
    {
        return Code(argv[2]);
    }
    if (strcmp(command, "say") == 0 && argc == 3)
    {
        printf("%s\n", argv[2]);
        fflush(stdout);
        return 0;
    }
    if (strcmp(command, "cwd") == 0 && argc == 3)
    {
        char folder[MAX_PATH];
        if (GetCurrentDirectoryA(MAX_PATH, folder) == 0)
        {
            return 102;
        }
        return WriteText(argv[2], folder);
    }
    if (strcmp(command, "env") == 0 && argc == 4)
    {
        char value[1024];
        DWORD length = GetEnvironmentVariableA(argv[2], value, sizeof(value));
        return WriteText(argv[3], length == 0 || length >= sizeof(value) ? "(none)" : value);
    }
    if (strcmp(command, "wait") == 0 && argc == 4)
    {
        HANDLE pipe = CreateFileA(argv[2], GENERIC_READ, 0, NULL, OPEN_EXISTING, 0, NULL);
        if (pipe == INVALID_HANDLE_VALUE)
        {
            return 103;
        }
        char line[16];
        DWORD read = 0;
        ReadFile(pipe, line, sizeof(line), &read, NULL);
        CloseHandle(pipe);
        return Code(argv[3]);
    }
    return 2;
}
