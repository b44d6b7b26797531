// Cassel.dll: the "ポートの設定" page that Device Manager shows for the reader's COM port. The
// page lists COM1 to COM256, marks the numbers the COM-name database holds for other devices, and
// on apply renames the port everywhere Windows keeps its name (Rename.cpp).
//
// Everything here runs on the property sheet's window thread; nothing is shared between pages.
#pragma once

#include <windows.h>
#include <prsht.h>
#include <setupapi.h>

// Bytes of a COM name as the page keeps it, terminator included ("COM256" needs 7).
#define PORT_NAME_BYTES 20
// COM numbers the page offers: COM1 .. COM256.
#define MAX_COM_PORTS 256
// The COM-name database's usage bitmap for 256 ports, one bit per port.
#define COMDB_BITMAP_BYTES (MAX_COM_PORTS / 8)

// One per page: allocated zero-filled by the provider, freed when the sheet releases the page.
struct PortPageData
{
    CHAR szCurrentName[PORT_NAME_BYTES]; // PortName when the page was made, "COMX" when unreadable
    CHAR szNewName[PORT_NAME_BYTES];     // "COM%d", filled by the rename
    HDEVINFO hDevInfo;                   // borrowed from the device installer, never freed here
    PSP_DEVINFO_DATA pDevInfoData;       // borrowed likewise
};

// Module-wide state, set when the process attaches the DLL.
extern HINSTANCE g_hModule;
extern CHAR g_szOutOfMemory[200]; // string 0: the fallback box's text
extern CHAR g_szShortCaption[30]; // string 2: the fallback box's caption

// Writes a formatted line to the debugger.
void DebugPrint(LPCSTR pszFormat, ...);

// The number of a port name: the decimal digits after the first three characters ("COM"), up to
// the first non-digit; 0 when there are none.
int PortNumberOf(LPCSTR pszName);

// Whether the usage bitmap marks COM nPort as claimed.
BOOL IsComPortClaimed(const BYTE* pbBitmap, int nPort);

// The device's hardware key, opened for reading and writing; INVALID_HANDLE_VALUE on failure.
HKEY OpenDeviceHardwareKey(HDEVINFO hDevInfo, PSP_DEVINFO_DATA pDevInfoData);

// Fills the page's list with COM1 .. COM256 and selects the device's own number.
BOOL BuildComPortNumberComboBox(HWND hComboBox, PortPageData* pData);

// Rename.cpp: what an apply of the page does.
void SaveSettings(HWND hDlg, PortPageData* pData);
BOOL EnactComNameChanges(HWND hDlg, PortPageData* pData, HKEY hDeviceKey, int nNewNumber);
// Restarts the first present USB device whose PortName holds nNewNumber and that is the device
// with the given instance ID (any such device when the ID is empty).
void RestartPortDevice(int nNewNumber, int nCurrentNumber, LPCSTR pszOwnInstanceId);
int ShowPageMessage(HWND hwnd, UINT idText, UINT idCaption, UINT uType, ...);
void ReplaceInSheetTitle(HWND hSheet, LPCSTR pszOldName, LPCSTR pszNewName);

// The three exports.
extern "C"
{
    BOOL WINAPI ZT730kCasselProvider(PSP_PROPSHEETPAGE_REQUEST pRequest, LPFNADDPROPSHEETPAGE lpfnAddPage,
                                     LPARAM lParam);
    INT_PTR CALLBACK ZT730kDlgProc(HWND hDlg, UINT uMsg, WPARAM wParam, LPARAM lParam);
    UINT CALLBACK ZT730kPropSheetPageProc(HWND hwnd, UINT uMsg, LPPROPSHEETPAGEA ppsp);
}
