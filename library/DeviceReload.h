// Device reload: disables and enables the reader's USB devices through the setup API, as Device
// Manager does, which unloads and loads the driver for them.
#pragma once

#include <windows.h>
#include <setupapi.h>

// Results of SetDeviceState (and of ForEachMatchingDevice, whose action may add its own).
#define OSTRIX_STATE_DONE         0 // done, also when no present device matched
#define OSTRIX_STATE_NEED_RESTART 1 // a device reports that the system must be restarted
#define OSTRIX_STATE_NO_LIST      2 // the device list could not be built
#define OSTRIX_STATE_NO_PATTERN   3 // no pattern was given

// Characters of a hardware-ID pattern, the terminator included.
#define OSTRIX_ID_PATTERN_SIZE 64

struct DeviceStateContext
{
    DWORD dwStateChange; // DICS_ENABLE or DICS_DISABLE
    DWORD dwChanged;     // devices changed so far
    DWORD dwNeedRestart; // non-zero once a device asks for a restart
};

// Called for each matching device; a non-zero result ends the pass with it.
typedef DWORD (*DEVICE_ACTION)(HDEVINFO hDevInfo, PSP_DEVINFO_DATA pDevInfoData, PVOID pContext);

DWORD SetDeviceState(LPCSTR pszPattern, DWORD dwStateChange);
DWORD ForEachMatchingDevice(LPCSTR* ppszPatterns, DWORD dwCount, DEVICE_ACTION action, PVOID pContext);

// Case-insensitive and aware of double-byte characters; each "*" matches any run of characters.
BOOL MatchIdPattern(LPCSTR pszId, LPCSTR pszPattern);
