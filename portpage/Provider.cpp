// The property-page provider, the page's dialog procedure and its list of COM numbers.
#include "PortPage.h"

#include <msports.h>
#include <stdarg.h>
#include <string.h>
#include <strsafe.h>

#include "resource.h"

HINSTANCE g_hModule = NULL;
CHAR g_szOutOfMemory[200] = "";
CHAR g_szShortCaption[30] = "";

namespace
{
// Longest debug line the page writes, terminator included.
const size_t kDebugLineChars = 512;
// Longest in-use suffix, and the longest list entry ("COM256" and the suffix), terminators included.
const int kSuffixChars = 41;
const size_t kEntryChars = 256;
// The suffix when the string table does not give one.
const char kDefaultInUseSuffix[] = " (in use)";

int ClampPortNumber(int nPort)
{
    if (nPort <= 0)
    {
        return 1;
    }
    return nPort > MAX_COM_PORTS ? MAX_COM_PORTS : nPort;
}
} // namespace

void DebugPrint(LPCSTR pszFormat, ...)
{
    CHAR szLine[kDebugLineChars];
    va_list args;
    va_start(args, pszFormat);
    // A line too long for the buffer is written cut, as the buffer holds it.
    StringCchVPrintfA(szLine, kDebugLineChars, pszFormat, args);
    va_end(args);
    OutputDebugStringA(szLine);
}

int PortNumberOf(LPCSTR pszName)
{
    int nPort = 0;
    if (strlen(pszName) < 3)
    {
        return 0;
    }
    for (LPCSTR p = pszName + 3; *p >= '0' && *p <= '9'; ++p)
    {
        // Numbers past any COM number the database knows stop growing instead of overflowing.
        if (nPort < 100000)
        {
            nPort = nPort * 10 + (*p - '0');
        }
    }
    return nPort;
}

BOOL IsComPortClaimed(const BYTE* pbBitmap, int nPort)
{
    if (nPort < 1 || nPort > MAX_COM_PORTS)
    {
        return FALSE;
    }
    return (pbBitmap[(nPort - 1) / 8] & (1 << ((nPort - 1) % 8))) != 0;
}

HKEY OpenDeviceHardwareKey(HDEVINFO hDevInfo, PSP_DEVINFO_DATA pDevInfoData)
{
    return SetupDiOpenDevRegKey(hDevInfo, pDevInfoData, DICS_FLAG_GLOBAL, 0, DIREG_DEV,
                                KEY_READ | KEY_SET_VALUE | KEY_CREATE_SUB_KEY);
}

BOOL BuildComPortNumberComboBox(HWND hComboBox, PortPageData* pData)
{
    int nCurrent = PortNumberOf(pData->szCurrentName);
    DebugPrint("BuildComPortNumberComboBox nCurPortNum:[%d]\n", nCurrent);
    nCurrent = ClampPortNumber(nCurrent);

    CHAR szSuffix[kSuffixChars];
    if (LoadStringA(g_hModule, IDS_IN_USE_SUFFIX, szSuffix, kSuffixChars) == 0)
    {
        StringCchCopyA(szSuffix, kSuffixChars, kDefaultInUseSuffix);
    }

    HCOMDB hComDB = HCOMDB_INVALID_HANDLE_VALUE;
    if (ComDBOpen(&hComDB) != ERROR_SUCCESS)
    {
        return FALSE;
    }
    BYTE bitmap[COMDB_BITMAP_BYTES] = {0};
    DWORD dwMaxPorts = 0;
    if (ComDBGetCurrentPortUsage(hComDB, bitmap, COMDB_BITMAP_BYTES, CDB_REPORT_BITS, &dwMaxPorts) !=
        ERROR_SUCCESS)
    {
        ComDBClose(hComDB);
        return FALSE;
    }
    // The device's own number is never shown as taken.
    bitmap[(nCurrent - 1) / 8] &= static_cast<BYTE>(~(1 << ((nCurrent - 1) % 8)));

    for (int nPort = 1; nPort <= MAX_COM_PORTS; ++nPort)
    {
        CHAR szEntry[kEntryChars];
        StringCchPrintfA(szEntry, kEntryChars, "COM%d", nPort);
        if (IsComPortClaimed(bitmap, nPort))
        {
            StringCchCatA(szEntry, kEntryChars, szSuffix);
        }
        SendMessageA(hComboBox, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(szEntry));
    }
    // The list index is the port number minus one; the apply relies on it.
    SendMessageA(hComboBox, CB_SETCURSEL, static_cast<WPARAM>(nCurrent - 1), 0);
    ComDBClose(hComDB);
    return TRUE;
}

extern "C" BOOL WINAPI ZT730kCasselProvider(PSP_PROPSHEETPAGE_REQUEST pRequest,
                                            LPFNADDPROPSHEETPAGE lpfnAddPage, LPARAM lParam)
{
    if (pRequest == NULL || lpfnAddPage == NULL ||
        pRequest->PageRequested != SPPSR_ENUM_ADV_DEVICE_PROPERTIES || pRequest->DeviceInfoSet == NULL ||
        pRequest->DeviceInfoSet == INVALID_HANDLE_VALUE || pRequest->DeviceInfoData == NULL)
    {
        return FALSE;
    }

    PortPageData* pData = static_cast<PortPageData*>(LocalAlloc(LPTR, sizeof(PortPageData)));
    if (pData == NULL)
    {
        return FALSE;
    }
    pData->hDevInfo = pRequest->DeviceInfoSet;
    pData->pDevInfoData = pRequest->DeviceInfoData;

    HKEY hKey = OpenDeviceHardwareKey(pData->hDevInfo, pData->pDevInfoData);
    if (hKey != INVALID_HANDLE_VALUE)
    {
        DWORD dwType = 0;
        DWORD cbName = sizeof(pData->szCurrentName);
        LONG lResult = RegQueryValueExA(hKey, "PortName", NULL, &dwType,
                                        reinterpret_cast<LPBYTE>(pData->szCurrentName), &cbName);
        if (lResult != ERROR_SUCCESS || dwType != REG_SZ)
        {
            StringCchCopyA(pData->szCurrentName, PORT_NAME_BYTES, "COMX");
        }
        // A value of 20 bytes without its terminator is cut to 19.
        pData->szCurrentName[PORT_NAME_BYTES - 1] = 0;
        RegCloseKey(hKey);
    }
    DebugPrint("ZT730kCasselProvider set old name to [%s]\n", pData->szCurrentName);

    PROPSHEETPAGEA page;
    ZeroMemory(&page, sizeof(page));
    page.dwSize = sizeof(page);
    page.dwFlags = PSP_USECALLBACK; // the title is the template's caption
    page.hInstance = g_hModule;
    page.pszTemplate = MAKEINTRESOURCEA(IDD_PORT_SETTINGS);
    page.pfnDlgProc = ZT730kDlgProc;
    page.lParam = reinterpret_cast<LPARAM>(pData);
    page.pfnCallback = ZT730kPropSheetPageProc;
    page.pcRefParent = NULL;

    HPROPSHEETPAGE hPage = CreatePropertySheetPageA(&page);
    if (hPage == NULL)
    {
        LocalFree(pData);
        return FALSE;
    }
    if (lpfnAddPage(hPage, lParam))
    {
        return TRUE;
    }
    // Destroying the refused page releases it: its callback frees the data.
    DestroyPropertySheetPage(hPage);
    return FALSE;
}

extern "C" UINT CALLBACK ZT730kPropSheetPageProc(HWND hwnd, UINT uMsg, LPPROPSHEETPAGEA ppsp)
{
    (void)hwnd;
    if (uMsg == PSPCB_RELEASE)
    {
        if (ppsp != NULL && ppsp->lParam != 0)
        {
            LocalFree(reinterpret_cast<HLOCAL>(ppsp->lParam));
        }
        return 0;
    }
    return 1;
}

extern "C" INT_PTR CALLBACK ZT730kDlgProc(HWND hDlg, UINT uMsg, WPARAM wParam, LPARAM lParam)
{
    (void)wParam;
    switch (uMsg)
    {
    case WM_INITDIALOG: {
        const PROPSHEETPAGEA* pPage = reinterpret_cast<const PROPSHEETPAGEA*>(lParam);
        PortPageData* pData = reinterpret_cast<PortPageData*>(pPage->lParam);
        SetWindowLongPtrA(hDlg, DWLP_USER, reinterpret_cast<LONG_PTR>(pData));
        BuildComPortNumberComboBox(GetDlgItem(hDlg, IDC_COM_NUMBER), pData);
        return TRUE;
    }
    case WM_NOTIFY: {
        const NMHDR* pHeader = reinterpret_cast<const NMHDR*>(lParam);
        if (pHeader == NULL || pHeader->code != static_cast<UINT>(PSN_APPLY))
        {
            return FALSE;
        }
        PortPageData* pData = reinterpret_cast<PortPageData*>(GetWindowLongPtrA(hDlg, DWLP_USER));
        if (pData != NULL)
        {
            SaveSettings(hDlg, pData);
        }
        SetWindowLongPtrA(hDlg, DWLP_MSGRESULT, PSNRET_NOERROR);
        return TRUE;
    }
    case WM_COMMAND:
    case WM_HELP:
    case WM_CONTEXTMENU:
        return TRUE;
    default:
        return FALSE;
    }
}

extern "C" BOOL WINAPI DllMain(HINSTANCE hinstDLL, DWORD fdwReason, LPVOID lpvReserved)
{
    (void)lpvReserved;
    if (fdwReason == DLL_PROCESS_ATTACH)
    {
        g_hModule = hinstDLL;
        LoadStringA(hinstDLL, IDS_OUT_OF_MEMORY, g_szOutOfMemory, sizeof(g_szOutOfMemory));
        LoadStringA(hinstDLL, IDS_PORTS_CAPTION, g_szShortCaption, sizeof(g_szShortCaption));
    }
    return TRUE;
}
