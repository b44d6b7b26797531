// SleepClock.exe: sleeps for the milliseconds its argument gives and prints how far the machine's
// clock moved meanwhile, in milliseconds, as NtQuerySystemTime reads it before and after.
#include <windows.h>
#include <winternl.h>

#include <stdio.h>
#include <stdlib.h>

int main(int argc, char** argv)
{
    if (argc != 2)
    {
        fprintf(stderr, "usage: SleepClock MILLISECONDS\n");
        return 2;
    }
    LARGE_INTEGER before;
    LARGE_INTEGER after;
    NtQuerySystemTime(&before);
    Sleep(static_cast<DWORD>(strtoul(argv[1], NULL, 10)));
    NtQuerySystemTime(&after);
    printf("%lld\n", static_cast<long long>((after.QuadPart - before.QuadPart) / 10000));
    return 0;
}
