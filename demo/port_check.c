/* A Windows program of one's own: finds the reader's COM port in the registry, opens it, asks it
   for its baud rate and closes it, printing what it learns. The demo and the tests build it with
   scripts/winsim-cc and run it with winsim-run, on a machine with the driver and a reader. */
#include <windows.h>
#include <winioctl.h>
#include <ntddser.h>
#include <stdio.h>

int main(int argc, char** argv)
{
    const char* instance = argc > 1 ? argv[1] : "TR0001";
    char path[200];
    char portName[20];
    char device[80];
    char open[32];
    HKEY key;
    DWORD size = sizeof(portName);
    DWORD type = 0;
    LSTATUS result;
    HANDLE port;
    SERIAL_BAUD_RATE baud;
    DWORD returned = 0;

    snprintf(path, sizeof(path),
             "SYSTEM\\CurrentControlSet\\Enum\\USB\\VID_2B4E&PID_0730\\%s\\Device Parameters", instance);
    result = RegOpenKeyExA(HKEY_LOCAL_MACHINE, path, 0, KEY_READ, &key);
    if (result != ERROR_SUCCESS)
    {
        printf("no reader %s (%ld)\n", instance, (long)result);
        return 2;
    }
    result = RegQueryValueExA(key, "PortName", NULL, &type, (BYTE*)portName, &size);
    RegCloseKey(key);
    if (result != ERROR_SUCCESS || type != REG_SZ)
    {
        printf("no PortName (%ld)\n", (long)result);
        return 3;
    }
    printf("port %s\n", portName);
    if (QueryDosDeviceA(portName, device, sizeof(device)) == 0)
    {
        printf("no DOS device (%lu)\n", (unsigned long)GetLastError());
        return 4;
    }
    printf("device %s\n", device);
    snprintf(open, sizeof(open), "\\\\.\\%s", portName);
    port = CreateFileA(open, GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING, 0, NULL);
    if (port == INVALID_HANDLE_VALUE)
    {
        printf("open failed (%lu)\n", (unsigned long)GetLastError());
        return 5;
    }
    if (!DeviceIoControl(port, IOCTL_SERIAL_GET_BAUD_RATE, NULL, 0, &baud, sizeof(baud), &returned, NULL))
    {
        printf("baud rate: error %lu\n", (unsigned long)GetLastError());
    }
    else
    {
        printf("baud rate %lu\n", (unsigned long)baud.BaudRate);
    }
    CloseHandle(port);
    return 0;
}
