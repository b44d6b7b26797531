// setupapi's device information functions as far as the simulated machine implements them, with
// the names, constants, structure layouts and signatures of the Windows header of the same name.
#pragma once

#include <windows.h>

WINSIM_EXTERN_C_BEGIN

#define WINSETUPAPI DECLSPEC_IMPORT

// A device information set: an object of setupapi in the calling process.
typedef PVOID HDEVINFO;

typedef struct _SP_DEVINFO_DATA
{
    DWORD cbSize; // sizeof(SP_DEVINFO_DATA), set by the caller
    GUID ClassGuid;
    DWORD DevInst;
    ULONG_PTR Reserved;
} SP_DEVINFO_DATA, *PSP_DEVINFO_DATA;
static_assert(sizeof(SP_DEVINFO_DATA) == 32, "SP_DEVINFO_DATA as on 64-bit Windows");

// SetupDiGetClassDevs flags.
#define DIGCF_PRESENT         0x00000002
#define DIGCF_ALLCLASSES      0x00000004
#define DIGCF_PROFILE         0x00000008
#define DIGCF_DEVICEINTERFACE 0x00000010

// SetupDiOpenDevRegKey scopes and key types.
#define DICS_FLAG_GLOBAL         0x00000001
#define DICS_FLAG_CONFIGSPECIFIC 0x00000002
#define DIREG_DEV                0x00000001
#define DIREG_DRV                0x00000002

// setupapi's own error codes (customer bit and error severity set).
#define APPLICATION_ERROR_MASK   0x20000000
#define ERROR_SEVERITY_ERROR     0xC0000000
#define ERROR_KEY_DOES_NOT_EXIST (APPLICATION_ERROR_MASK | ERROR_SEVERITY_ERROR | 0x204)
#define ERROR_INVALID_HWPROFILE  (APPLICATION_ERROR_MASK | ERROR_SEVERITY_ERROR | 0x210)

WINSIM_API HDEVINFO WINAPI SetupDiGetClassDevsA(const GUID* ClassGuid, PCSTR Enumerator, HWND hwndParent,
                                                DWORD Flags);
WINSIM_API BOOL WINAPI SetupDiEnumDeviceInfo(HDEVINFO DeviceInfoSet, DWORD MemberIndex,
                                             PSP_DEVINFO_DATA DeviceInfoData);
WINSIM_API BOOL WINAPI SetupDiGetDeviceInstanceIdA(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData,
                                                   PSTR DeviceInstanceId, DWORD DeviceInstanceIdSize,
                                                   PDWORD RequiredSize);
WINSIM_API HKEY WINAPI SetupDiOpenDevRegKey(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData,
                                            DWORD Scope, DWORD HwProfile, DWORD KeyType, REGSAM samDesired);
WINSIM_API BOOL WINAPI SetupDiDestroyDeviceInfoList(HDEVINFO DeviceInfoSet);

WINSIM_EXTERN_C_END
