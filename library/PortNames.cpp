// Port enumeration: the reader's installed ports from the device registry, and the presence test
// through the setup API's present USB devices. Nothing here opens a port.
#include <windows.h>
#include <oleauto.h>
#include <setupapi.h>

#include <Ostrix.h>

#include <strsafe.h>
#include <string.h>

#include <string>

#include "LogWriter.h"
#include "OstrixApp.h"
#include "ProductConstants.h"

namespace
{
// GUID_DEVINTERFACE_USB_DEVICE {A5DCBF10-6530-11D2-901F-00C04FB951ED}: every USB device the hub
// reports exposes it.
const GUID kUsbDeviceInterface = {
    0xA5DCBF10, 0x6530, 0x11D2, {0x90, 0x1F, 0x00, 0xC0, 0x4F, 0xB9, 0x51, 0xED}};

const char kEnumPathPrefix[] = "SYSTEM\\CurrentControlSet\\Enum\\USB\\VID_" TARNO_VENDOR_ID_TEXT "&PID_";
const char kPortNameValue[] = "PortName";

// Buffers of the enumeration.
const DWORD kMaxKeyName = 260;
const DWORD kMaxValueName = 260;
const DWORD kMaxValueData = 4096;
// The presence test reads "PortName" into this many bytes.
const DWORD kPresenceBuffer = 20;
} // namespace

LONG COstrix::GetLineStateProc(LPCSTR strPortNo, SHORT* piPortOnLine)
{
    static const char szLabel[] = "GetLineStateProc";
    char szError[256] = "";
    LONG lResult = 0;
    OSTRIX_LOG(LOG_LEVEL_INFO, LOG_TAG_ENTER, szLabel);
    *piPortOnLine = 0;

    HDEVINFO hDevInfo =
        SetupDiGetClassDevsA(&kUsbDeviceInterface, NULL, NULL, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    if (hDevInfo == INVALID_HANDLE_VALUE)
    {
        StringCchPrintfA(szError, sizeof(szError), "SetupDiGetClassDevs ERR!! GetLastError = %lu ",
                         static_cast<unsigned long>(GetLastError()));
        goto Failed;
    }

    for (DWORD dwIndex = 0;; ++dwIndex)
    {
        SP_DEVINFO_DATA devInfo;
        ZeroMemory(&devInfo, sizeof(devInfo));
        devInfo.cbSize = sizeof(devInfo);
        if (!SetupDiEnumDeviceInfo(hDevInfo, dwIndex, &devInfo))
        {
            DWORD dwError = GetLastError();
            if (dwError == ERROR_NO_MORE_ITEMS)
            {
                lResult = 1;
            }
            else
            {
                StringCchPrintfA(szError, sizeof(szError), "SetupDiEnumDeviceInfo ERR!! GetLastError = %lu ",
                                 static_cast<unsigned long>(dwError));
            }
            break;
        }
        HKEY hKey = SetupDiOpenDevRegKey(hDevInfo, &devInfo, DICS_FLAG_GLOBAL, 0, DIREG_DEV, KEY_READ);
        if (hKey == INVALID_HANDLE_VALUE)
        {
            StringCchPrintfA(szError, sizeof(szError), "SetupDiOpenDevRegKey ERR!! GetLastError = %lu ",
                             static_cast<unsigned long>(GetLastError()));
            break;
        }
        // One byte more than the value may fill, so that the text always ends.
        char szPortName[kPresenceBuffer + 1] = {0};
        DWORD cbData = kPresenceBuffer;
        DWORD dwType = 0;
        LONG lRet = RegQueryValueExA(hKey, kPortNameValue, NULL, &dwType,
                                     reinterpret_cast<LPBYTE>(szPortName), &cbData);
        if (lRet != ERROR_SUCCESS)
        {
            OSTRIX_LOG(LOG_LEVEL_INFO, LOG_TAG_INFO, "RegQueryValueEx ERR!! Return = %ld", lRet);
            RegCloseKey(hKey);
            continue;
        }
        RegCloseKey(hKey);
        if (strcmp(szPortName, strPortNo) == 0)
        {
            *piPortOnLine = 1;
            lResult = 1;
            break;
        }
    }
    SetupDiDestroyDeviceInfoList(hDevInfo);
    if (lResult == 1)
    {
        OSTRIX_LOG(LOG_LEVEL_INFO, LOG_TAG_EXIT, szLabel);
        return 1;
    }

Failed:
    *piPortOnLine = 0;
    OSTRIX_LOG(LOG_LEVEL_ERROR, LOG_TAG_ERRINFO, "%s", szError);
    OSTRIX_LOG(LOG_LEVEL_INFO, LOG_TAG_ERREXIT, szLabel);
    return 0;
}

extern "C" LONG WINAPI rwGetUSBPortNames(LPCSTR ProductID, BSTR* bpPortNames, BSTR* bpPortOnLine,
                                         SHORT* piNumOfPort)
{
    static const char szLabel[] = "rwGetUSBPortNames";
    if (theApp == NULL)
    {
        return 0;
    }
    std::string strInstancePath = std::string(kEnumPathPrefix) + (ProductID != NULL ? ProductID : "");
    OSTRIX_LOG(LOG_LEVEL_INFO, LOG_TAG_ENTER, szLabel);
    EnterCriticalSection(&sgCSLock);
    OSTRIX_LOG(LOG_LEVEL_INFO, LOG_TAG_CSLOCK, szLabel);

    char szError[256] = "";
    LONG lResult = 0;
    HKEY hInstances = NULL;
    HKEY hParameters = NULL;
    std::string strPortList;
    std::string strOnLineList;
    SHORT iNumOfPort = 0;

    if (ProductID == NULL || ProductID[0] == 0)
    {
        StringCchCopyA(szError, sizeof(szError), "ProductID is NULL!!");
        goto Done;
    }
    if (bpPortNames == NULL)
    {
        StringCchPrintfA(szError, sizeof(szError), "bpPortNames ERR!! bpPortNames = %p ", bpPortNames);
        goto Done;
    }
    if (bpPortOnLine == NULL)
    {
        StringCchPrintfA(szError, sizeof(szError), "bpPortOnLine ERR!! bpPortOnLine = %p ", bpPortOnLine);
        goto Done;
    }
    if (piNumOfPort == NULL)
    {
        StringCchPrintfA(szError, sizeof(szError), "piNumOfPort ERR!! piNumOfPort = %p ", piNumOfPort);
        goto Done;
    }

    SysFreeString(*bpPortNames);
    SysFreeString(*bpPortOnLine);
    *bpPortNames = NULL;
    *bpPortOnLine = NULL;
    *piNumOfPort = 0;

    {
        LONG lRet = RegOpenKeyExA(HKEY_LOCAL_MACHINE, strInstancePath.c_str(), 0, KEY_READ, &hInstances);
        if (lRet != ERROR_SUCCESS)
        {
            hInstances = NULL;
            StringCchPrintfA(szError, sizeof(szError), "RegOpenKeyEx ERR!! lRet = %ld GetLastError = %lu ",
                             lRet, static_cast<unsigned long>(GetLastError()));
            goto Done;
        }
    }

    for (DWORD dwIndex = 0;; ++dwIndex)
    {
        char szSubKey[kMaxKeyName + 1] = {0};
        DWORD cchSubKey = kMaxKeyName;
        LONG lEnum = RegEnumKeyExA(hInstances, dwIndex, szSubKey, &cchSubKey, NULL, NULL, NULL, NULL);
        if (lEnum == ERROR_NO_MORE_ITEMS)
        {
            break;
        }
        if (lEnum != ERROR_SUCCESS)
        {
            StringCchPrintfA(szError, sizeof(szError),
                             "RegEnumKeyEx ERR!! dwResult = %lu GetLastError = %lu ",
                             static_cast<unsigned long>(lEnum), static_cast<unsigned long>(GetLastError()));
            goto Done;
        }

        std::string strParameters = strInstancePath + "\\" + szSubKey + "\\Device Parameters";
        LONG lRet = RegOpenKeyExA(HKEY_LOCAL_MACHINE, strParameters.c_str(), 0, KEY_READ, &hParameters);
        if (lRet != ERROR_SUCCESS)
        {
            hParameters = NULL;
            StringCchPrintfA(szError, sizeof(szError), "RegOpenKeyEx ERR!! lRet = %ld GetLastError = %lu ",
                             lRet, static_cast<unsigned long>(GetLastError()));
            goto Done;
        }
        for (DWORD dwValue = 0;; ++dwValue)
        {
            char szValueName[kMaxValueName + 1];
            // One byte more than the data may fill, so that a string always ends.
            BYTE abData[kMaxValueData + 2];
            ZeroMemory(szValueName, sizeof(szValueName));
            ZeroMemory(abData, sizeof(abData));
            DWORD cchValueName = kMaxValueName;
            DWORD cbData = kMaxValueData;
            DWORD dwType = 0;
            lRet = RegEnumValueA(hParameters, dwValue, szValueName, &cchValueName, NULL, &dwType, abData,
                                 &cbData);
            if (lRet == ERROR_NO_MORE_ITEMS)
            {
                break;
            }
            if (lRet != ERROR_SUCCESS)
            {
                StringCchPrintfA(szError, sizeof(szError),
                                 "RegEnumValue ERR!! lRet = %ld GetLastError = %lu ", lRet,
                                 static_cast<unsigned long>(GetLastError()));
                goto Done;
            }
            if (strcmp(szValueName, kPortNameValue) != 0)
            {
                continue;
            }
            LPCSTR pszPortName = reinterpret_cast<LPCSTR>(abData);
            SHORT iPortOnLine = 0;
            if (!theApp->GetLineStateProc(pszPortName, &iPortOnLine))
            {
                StringCchCopyA(szError, sizeof(szError), "GetLineStateProc ERR!!");
                goto Done;
            }
            if (iNumOfPort > 0)
            {
                strPortList += ",";
                strOnLineList += ",";
            }
            strPortList += pszPortName;
            strOnLineList += iPortOnLine ? "1" : "0";
            ++iNumOfPort;
        }
        RegCloseKey(hParameters);
        hParameters = NULL;
    }

    RegCloseKey(hInstances);
    hInstances = NULL;
    *piNumOfPort = iNumOfPort;
    if (!strPortList.empty())
    {
        *bpPortNames = SysAllocStringByteLen(strPortList.c_str(), static_cast<UINT>(strPortList.size()));
    }
    if (!strOnLineList.empty())
    {
        *bpPortOnLine = SysAllocStringByteLen(strOnLineList.c_str(), static_cast<UINT>(strOnLineList.size()));
    }
    OSTRIX_LOG(LOG_LEVEL_INFO, LOG_TAG_INFO, "iNumOfPort = %d", iNumOfPort);
    OSTRIX_LOG(LOG_LEVEL_INFO, LOG_TAG_EXIT, szLabel);
    lResult = 1;

Done:
    if (hParameters != NULL)
    {
        RegCloseKey(hParameters);
    }
    if (hInstances != NULL)
    {
        RegCloseKey(hInstances);
    }
    if (lResult == 0)
    {
        OSTRIX_LOG(LOG_LEVEL_ERROR, LOG_TAG_ERRINFO, "%s", szError);
        OSTRIX_LOG(LOG_LEVEL_INFO, LOG_TAG_ERREXIT, szLabel);
    }
    OSTRIX_LOG(LOG_LEVEL_INFO, LOG_TAG_CSUNLOCK, szLabel);
    LeaveCriticalSection(&sgCSLock);
    return lResult;
}
