// What an apply of the page does: rename the port everywhere Windows keeps its name, then restart
// the device so that the driver comes up under the new name.
//
// The places, in the order they change: the DOS device name, the SERIALCOMM device map, the
// COM-name database, the friendly name, the sheet's title, the "Ports" section of win.ini, the
// device's PortName and its install flags. A declined question or a DOS name that cannot be moved
// stops the rename before any of them changed.
#define INITGUID
#include "PortPage.h"

#include <cfgmgr32.h>
#include <msports.h>
#include <stdarg.h>
#include <string.h>
#include <strsafe.h>
#include <usbiodef.h>

#include "resource.h"

namespace
{
// Buffer sizes, terminators included.
const DWORD kDosTargetChars = 80;      // a DOS device name's target
const size_t kDevicePathChars = 20;    // "\\.\" and the current name
const DWORD kSerialCommNameChars = 81; // value names of the device map
const DWORD kSerialCommDataBytes = 81; // their data
const DWORD kDescriptionBytes = 256;   // the device description
const size_t kFriendlyNameChars = 81;  // the friendly name
const size_t kFormatChars = 81;        // string 6
const DWORD kProfileValueChars = 81;   // a "Ports" value of win.ini
const int kMessageChars = 520;         // a loaded text or caption
const size_t kFormattedMessageChars = 1039;
const size_t kTitleChars = 520; // the sheet's title

const char kSerialCommKey[] = "Hardware\\DeviceMap\\SerialComm";
const char kPortsSection[] = "Ports";
const char kDefaultPortSettings[] = "9600,n,8,1";

// The position of the first occurrence of pszFind in pszText that starts at a character boundary
// of the ANSI code page, or NULL.
LPSTR FindAtCharBoundary(LPSTR pszText, LPCSTR pszFind)
{
    size_t cchFind = strlen(pszFind);
    if (cchFind == 0)
    {
        return NULL;
    }
    for (LPSTR p = pszText; *p != 0; p = CharNextA(p))
    {
        if (strncmp(p, pszFind, cchFind) == 0)
        {
            return p;
        }
    }
    return NULL;
}

// The debug form of a device interface path: without its "\\?\" prefix, the first two "#" turned
// into "\", cut at the third.
void HwidOfDevicePath(LPCSTR pszPath, LPSTR pszHwid, size_t cchHwid)
{
    StringCchCopyA(pszHwid, cchHwid, strlen(pszPath) > 4 ? pszPath + 4 : "");
    int nHashes = 0;
    for (LPSTR p = pszHwid; *p != 0; ++p)
    {
        if (*p != '#')
        {
            continue;
        }
        if (++nHashes == 3)
        {
            *p = 0;
            break;
        }
        *p = '\\';
    }
}

// Whether two device instance IDs (ASCII) are the same, without regard to case.
BOOL SameInstanceId(LPCSTR pszA, LPCSTR pszB)
{
    for (;; ++pszA, ++pszB)
    {
        CHAR a = (*pszA >= 'a' && *pszA <= 'z') ? static_cast<CHAR>(*pszA - 'a' + 'A') : *pszA;
        CHAR b = (*pszB >= 'a' && *pszB <= 'z') ? static_cast<CHAR>(*pszB - 'a' + 'A') : *pszB;
        if (a != b)
        {
            return FALSE;
        }
        if (a == 0)
        {
            return TRUE;
        }
    }
}

// Whether a device of a list is the one with the given instance ID; any device when the ID is empty.
BOOL IsDevice(HDEVINFO hDevices, PSP_DEVINFO_DATA pDevInfo, LPCSTR pszInstanceId)
{
    if (pszInstanceId[0] == 0)
    {
        return TRUE;
    }
    CHAR szInstanceId[MAX_DEVICE_ID_LEN];
    return SetupDiGetDeviceInstanceIdA(hDevices, pDevInfo, szInstanceId, MAX_DEVICE_ID_LEN, NULL) &&
           SameInstanceId(szInstanceId, pszInstanceId);
}

// The fallback box, for when a message cannot be shown.
void ShowFallbackMessage(HWND hwnd)
{
    MessageBoxA(hwnd, g_szOutOfMemory, g_szShortCaption, MB_OK | MB_SYSTEMMODAL | MB_ICONERROR);
}

// Step 8: the device map's value that names the current port is set to the new name.
void RewriteSerialComm(LPCSTR pszCurrentName, LPCSTR pszNewName)
{
    DebugPrint("EnactComNameChanges rewrite registry\n");
    HKEY hMap = NULL;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kSerialCommKey, 0, KEY_READ | KEY_SET_VALUE | KEY_CREATE_SUB_KEY,
                      &hMap) != ERROR_SUCCESS)
    {
        return;
    }
    for (DWORD dwIndex = 0;; ++dwIndex)
    {
        CHAR szValueName[kSerialCommNameChars];
        DWORD cchValueName = kSerialCommNameChars;
        BYTE data[kSerialCommDataBytes + 1];
        DWORD cbData = kSerialCommDataBytes;
        DWORD dwType = 0;
        LONG lResult = RegEnumValueA(hMap, dwIndex, szValueName, &cchValueName, NULL, &dwType, data, &cbData);
        if (lResult == ERROR_MORE_DATA)
        {
            continue; // a value too long to be a COM name
        }
        if (lResult != ERROR_SUCCESS)
        {
            break;
        }
        data[cbData < kSerialCommDataBytes ? cbData : kSerialCommDataBytes] = 0;
        if (dwType == REG_SZ && strcmp(reinterpret_cast<LPCSTR>(data), pszCurrentName) == 0)
        {
            RegSetValueExA(hMap, szValueName, 0, REG_SZ, reinterpret_cast<const BYTE*>(pszNewName),
                           static_cast<DWORD>(strlen(pszNewName) + 1));
            DebugPrint("EnactComNameChanges rewrite registry %s -> %s\n", pszCurrentName, pszNewName);
            break;
        }
    }
    RegCloseKey(hMap);
}

// Step 10: "<description> (COMn)" as the device's friendly name.
void WriteFriendlyName(PortPageData* pData)
{
    CHAR szDescription[kDescriptionBytes + 1] = "";
    CHAR szFriendlyName[kFriendlyNameChars];
    if (SetupDiGetDeviceRegistryPropertyA(pData->hDevInfo, pData->pDevInfoData, SPDRP_DEVICEDESC, NULL,
                                          reinterpret_cast<PBYTE>(szDescription), kDescriptionBytes, NULL))
    {
        CHAR szFormat[kFormatChars];
        if (LoadStringA(g_hModule, IDS_FRIENDLY_NAME, szFormat, kFormatChars) != 0)
        {
            StringCchPrintfA(szFriendlyName, kFriendlyNameChars, szFormat, szDescription, pData->szNewName);
        }
        else
        {
            StringCchCopyA(szFriendlyName, kFriendlyNameChars, szDescription);
        }
    }
    else
    {
        StringCchCopyA(szFriendlyName, kFriendlyNameChars, pData->szNewName);
    }
    DWORD cbFriendlyName = static_cast<DWORD>(strlen(szFriendlyName) + 1);
    DebugPrint("EnactComNameChanges SetupDiSetDeviceRegistryProperty (%s), len:[%d]\n", szFriendlyName,
               static_cast<int>(cbFriendlyName));
    SetupDiSetDeviceRegistryPropertyA(pData->hDevInfo, pData->pDevInfoData, SPDRP_FRIENDLYNAME,
                                      reinterpret_cast<const BYTE*>(szFriendlyName), cbFriendlyName);
}

// Step 12: the port's line of win.ini's "Ports" section moves to the new name.
void MoveProfileEntry(LPCSTR pszCurrentName, LPCSTR pszNewName)
{
    CHAR szOldKey[PORT_NAME_BYTES + 1];
    CHAR szNewKey[PORT_NAME_BYTES + 1];
    StringCchPrintfA(szOldKey, PORT_NAME_BYTES + 1, "%s:", pszCurrentName);
    StringCchPrintfA(szNewKey, PORT_NAME_BYTES + 1, "%s:", pszNewName);

    CHAR szValue[kProfileValueChars];
    GetProfileStringA(kPortsSection, szOldKey, "", szValue, kProfileValueChars);
    if (szValue[0] == 0)
    {
        StringCchCopyA(szValue, kProfileValueChars, kDefaultPortSettings);
    }
    WriteProfileStringA(kPortsSection, szNewKey, szValue);
    SendNotifyMessageA(HWND_BROADCAST, WM_WININICHANGE, 0, reinterpret_cast<LPARAM>(kPortsSection));
    WriteProfileStringA(kPortsSection, szOldKey, NULL);
}
} // namespace

int ShowPageMessage(HWND hwnd, UINT idText, UINT idCaption, UINT uType, ...)
{
    CHAR szText[kMessageChars];
    CHAR szCaption[kMessageChars];
    if (idText == 0 || LoadStringA(g_hModule, idText, szText, kMessageChars) == 0 ||
        LoadStringA(g_hModule, idCaption, szCaption, kMessageChars) == 0)
    {
        ShowFallbackMessage(hwnd);
        return 0;
    }
    CHAR szMessage[kFormattedMessageChars];
    va_list args;
    va_start(args, uType);
    StringCchVPrintfA(szMessage, kFormattedMessageChars, szText, args); // cut when longer
    va_end(args);
    int nButton = MessageBoxA(hwnd, szMessage, szCaption, uType);
    if (nButton == 0)
    {
        ShowFallbackMessage(hwnd);
    }
    return nButton;
}

void ReplaceInSheetTitle(HWND hSheet, LPCSTR pszOldName, LPCSTR pszNewName)
{
    CHAR szTitle[kTitleChars];
    if (GetWindowTextA(hSheet, szTitle, kTitleChars) == 0)
    {
        return;
    }
    LPSTR pszFound = FindAtCharBoundary(szTitle, pszOldName);
    if (pszFound == NULL)
    {
        return;
    }
    CHAR szNewTitle[kTitleChars];
    *pszFound = 0;
    StringCchCopyA(szNewTitle, kTitleChars, szTitle);
    StringCchCatA(szNewTitle, kTitleChars, pszNewName);
    StringCchCatA(szNewTitle, kTitleChars, pszFound + strlen(pszOldName));
    SetWindowTextA(hSheet, szNewTitle);
}

BOOL EnactComNameChanges(HWND hDlg, PortPageData* pData, HKEY hDeviceKey, int nNewNumber)
{
    int nCurrent = PortNumberOf(pData->szCurrentName);
    DebugPrint("EnactComNameChanges curComNum:[%d] a_new_com_num:[%d]\n", nCurrent, nNewNumber);

    HCOMDB hComDB = HCOMDB_INVALID_HANDLE_VALUE;
    if (ComDBOpen(&hComDB) != ERROR_SUCCESS)
    {
        return FALSE;
    }
    BYTE bitmap[COMDB_BITMAP_BYTES] = {0};
    DWORD dwMaxPorts = 0;
    LONG lUsage = ComDBGetCurrentPortUsage(hComDB, bitmap, COMDB_BITMAP_BYTES, CDB_REPORT_BITS, &dwMaxPorts);
    CHAR szBitmap[COMDB_BITMAP_BYTES * 3 + 1] = "";
    for (DWORD i = 0; i < COMDB_BITMAP_BYTES; ++i)
    {
        StringCchPrintfA(szBitmap + i * 3, 4, "%2.2X ", bitmap[i]);
    }
    DebugPrint("EnactComNameChanges ComDBGetCurrentPortUsage %s\n", szBitmap);

    // A usage that cannot be read may hide a holder of the number: ask as if it were held.
    if ((lUsage != ERROR_SUCCESS || IsComPortClaimed(bitmap, nNewNumber)) &&
        ShowPageMessage(hDlg, IDS_NAME_IN_USE, IDS_PROPERTIES_TITLE, MB_YESNO | MB_ICONINFORMATION) == IDNO)
    {
        ComDBClose(hComDB);
        return FALSE;
    }

    // A port with a DOS name is live: another program may hold it open.
    CHAR szTarget[kDosTargetChars];
    BOOL fLive = QueryDosDeviceA(pData->szCurrentName, szTarget, kDosTargetChars) != 0;
    if (fLive)
    {
        CHAR szDevicePath[kDevicePathChars];
        StringCchPrintfA(szDevicePath, kDevicePathChars, "\\\\.\\%s", pData->szCurrentName);
        DebugPrint("EnactComNameChanges open old device name [%s]\n", szDevicePath);
        HANDLE hPort =
            CreateFileA(szDevicePath, GENERIC_READ, 0, NULL, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, NULL);
        if (hPort != INVALID_HANDLE_VALUE)
        {
            CloseHandle(hPort);
        }
        else if (ShowPageMessage(hDlg, IDS_PORT_OPEN, IDS_PROPERTIES_TITLE, MB_YESNO | MB_ICONERROR) == IDNO)
        {
            ComDBClose(hComDB);
            return FALSE;
        }
    }

    StringCchPrintfA(pData->szNewName, PORT_NAME_BYTES, "COM%d", nNewNumber);
    int cchNewName = static_cast<int>(strlen(pData->szNewName));
    DebugPrint("EnactComNameChanges new COM name:[%s] len:[%d] strlen:[%d]\n", pData->szNewName,
               cchNewName + 1, cchNewName);

    if (fLive)
    {
        if (QueryDosDeviceA(pData->szCurrentName, szTarget, kDosTargetChars) == 0)
        {
            ShowPageMessage(hDlg, IDS_RENAME_FAILED, IDS_PROPERTIES_TITLE, MB_OK | MB_ICONERROR);
            ComDBClose(hComDB);
            return FALSE;
        }
        BOOL fRemoved = DefineDosDeviceA(DDD_REMOVE_DEFINITION, pData->szCurrentName, NULL);
        if (!DefineDosDeviceA(DDD_RAW_TARGET_PATH, pData->szNewName, szTarget))
        {
            if (fRemoved)
            {
                DefineDosDeviceA(DDD_RAW_TARGET_PATH, pData->szCurrentName, szTarget);
            }
            ShowPageMessage(hDlg, IDS_RENAME_FAILED, IDS_PROPERTIES_TITLE, MB_OK | MB_ICONERROR);
            ComDBClose(hComDB);
            return FALSE;
        }
    }

    RewriteSerialComm(pData->szCurrentName, pData->szNewName);

    BOOL fForced = FALSE;
    ComDBReleasePort(hComDB, static_cast<DWORD>(nCurrent));
    ComDBClaimPort(hComDB, static_cast<DWORD>(nNewNumber), TRUE, &fForced);

    WriteFriendlyName(pData);
    ReplaceInSheetTitle(GetParent(hDlg), pData->szCurrentName, pData->szNewName);
    MoveProfileEntry(pData->szCurrentName, pData->szNewName);

    RegSetValueExA(hDeviceKey, "PortName", 0, REG_SZ, reinterpret_cast<const BYTE*>(pData->szNewName),
                   static_cast<DWORD>(cchNewName + 1));

    SP_DEVINSTALL_PARAMS_A installParams;
    ZeroMemory(&installParams, sizeof(installParams));
    installParams.cbSize = sizeof(installParams);
    if (SetupDiGetDeviceInstallParamsA(pData->hDevInfo, pData->pDevInfoData, &installParams))
    {
        installParams.Flags |= DI_PROPERTIES_CHANGE;
        SetupDiSetDeviceInstallParamsA(pData->hDevInfo, pData->pDevInfoData, &installParams);
    }

    ComDBClose(hComDB);
    return TRUE;
}

void RestartPortDevice(int nNewNumber, int nCurrentNumber, LPCSTR pszOwnInstanceId)
{
    HDEVINFO hDevices = SetupDiGetClassDevsA(&GUID_DEVINTERFACE_USB_DEVICE, NULL, NULL,
                                             DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    if (hDevices == INVALID_HANDLE_VALUE)
    {
        return;
    }
    DebugPrint("SaveSettings curComNum:[%d] newComNum:[%d]\n", nCurrentNumber, nNewNumber);

    SP_DEVICE_INTERFACE_DATA interfaceData;
    interfaceData.cbSize = sizeof(interfaceData);
    for (DWORD dwIndex = 0;
         SetupDiEnumDeviceInterfaces(hDevices, NULL, &GUID_DEVINTERFACE_USB_DEVICE, dwIndex, &interfaceData);
         ++dwIndex)
    {
        DWORD cbDetail = 0;
        SetupDiGetDeviceInterfaceDetailA(hDevices, &interfaceData, NULL, 0, &cbDetail, NULL);
        PSP_DEVICE_INTERFACE_DETAIL_DATA_A pDetail =
            cbDetail != 0 ? static_cast<PSP_DEVICE_INTERFACE_DETAIL_DATA_A>(LocalAlloc(LPTR, cbDetail))
                          : NULL;
        if (pDetail != NULL)
        {
            pDetail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A);
            if (SetupDiGetDeviceInterfaceDetailA(hDevices, &interfaceData, pDetail, cbDetail, NULL, NULL))
            {
                CHAR szHwid[MAX_PATH];
                HwidOfDevicePath(pDetail->DevicePath, szHwid, MAX_PATH);
                DebugPrint("hwid = %s", szHwid);
            }
            LocalFree(pDetail);
        }

        SP_DEVINFO_DATA devInfo;
        devInfo.cbSize = sizeof(devInfo);
        if (!SetupDiEnumDeviceInfo(hDevices, dwIndex, &devInfo))
        {
            DebugPrint("SetupDiEnumDeviceInfo failed(%08x).", GetLastError());
            continue;
        }
        HKEY hKey = OpenDeviceHardwareKey(hDevices, &devInfo);
        if (hKey == INVALID_HANDLE_VALUE)
        {
            continue;
        }
        CHAR szPortName[PORT_NAME_BYTES + 1] = "";
        DWORD cbPortName = PORT_NAME_BYTES;
        if (RegQueryValueExA(hKey, "PortName", NULL, NULL, reinterpret_cast<LPBYTE>(szPortName),
                             &cbPortName) != ERROR_SUCCESS)
        {
            DebugPrint("RegQueryValueEx failed.");
            RegCloseKey(hKey);
            continue;
        }
        int nPort = PortNumberOf(szPortName);
        DebugPrint("port num = %d.", nPort);
        RegCloseKey(hKey);
        if (nPort != nNewNumber)
        {
            DebugPrint("port number not matched(newComNum = %d, tmpComNum = %d).", nNewNumber, nPort);
            continue;
        }
        // A number the user confirmed as a duplicate is also another device's: that one stays.
        if (!IsDevice(hDevices, &devInfo, pszOwnInstanceId))
        {
            DebugPrint("port number matched another device.");
            continue;
        }
        DebugPrint("port number matched.");
        DebugPrint("restart(%d)", static_cast<int>(dwIndex));

        SP_PROPCHANGE_PARAMS change;
        ZeroMemory(&change, sizeof(change));
        change.ClassInstallHeader.cbSize = sizeof(SP_CLASSINSTALL_HEADER);
        change.ClassInstallHeader.InstallFunction = DIF_PROPERTYCHANGE;
        change.StateChange = DICS_PROPCHANGE;
        change.Scope = DICS_FLAG_CONFIGSPECIFIC;
        change.HwProfile = 0;
        if (SetupDiSetClassInstallParamsA(hDevices, &devInfo, &change.ClassInstallHeader, sizeof(change)))
        {
            SetupDiCallClassInstaller(DIF_PROPERTYCHANGE, hDevices, &devInfo);
        }
        break; // only the first device with the number
    }
    SetupDiDestroyDeviceInfoList(hDevices);
}

void SaveSettings(HWND hDlg, PortPageData* pData)
{
    DebugPrint("OnApplyCode START");
    int nCurrent = PortNumberOf(pData->szCurrentName);
    LRESULT lSelection = SendMessageA(GetDlgItem(hDlg, IDC_COM_NUMBER), CB_GETCURSEL, 0, 0);
    int nNew = lSelection == CB_ERR ? nCurrent : static_cast<int>(lSelection) + 1;
    DebugPrint("SaveSettings curComNum:[%d] newComNum:[%d]\n", nCurrent, nNew);

    HKEY hKey = OpenDeviceHardwareKey(pData->hDevInfo, pData->pDevInfoData);
    if (hKey == INVALID_HANDLE_VALUE)
    {
        DebugPrint("SaveSettings SetupDiOpenDevRegKey failed\n");
        return;
    }
    if (nNew != nCurrent && EnactComNameChanges(hDlg, pData, hKey, nNew))
    {
        // Only a completed rename restarts a device, and only the page's own: after a declined or
        // failed one, or a confirmed duplicate, another device holds the chosen number too, and
        // the user never chose to restart it.
        CHAR szInstanceId[MAX_DEVICE_ID_LEN];
        if (!SetupDiGetDeviceInstanceIdA(pData->hDevInfo, pData->pDevInfoData, szInstanceId,
                                         MAX_DEVICE_ID_LEN, NULL))
        {
            szInstanceId[0] = 0;
        }
        RestartPortDevice(nNew, nCurrent, szInstanceId);
        // The page now shows the port under its new name, so that another apply starts from it
        // (and finds the moved win.ini line instead of writing the default over it).
        StringCchCopyA(pData->szCurrentName, PORT_NAME_BYTES, pData->szNewName);
    }
    RegCloseKey(hKey);
    SetupDiCallClassInstaller(DIF_PROPERTYCHANGE, pData->hDevInfo, pData->pDevInfoData);
}
