// Device Manager's properties of a device, as the Device Manager snap-in opens them: a device
// information set with the device, the pages its providers add (SetupDiGetClassDevPropertySheetsA,
// advanced pages), and a modeless sheet titled with the device's name.
//
// Device Manager runs the sheet in its own message loop and destroys it once the sheet says it is
// done (PSM_GETCURRENTPAGEHWND answers NULL after OK or Cancel). Here the sheet's window procedure
// is subclassed to do the same on the sheet's thread: after a message that can close the sheet it
// posts itself a request to be destroyed, and when the window is gone the device information set
// (and with it the provider modules) goes too.
#include <windows.h>
#include <prsht.h>
#include <setupapi.h>

#include <winsim/user.h>

#include <strings.h>

#include <map>
#include <mutex>
#include <string>
#include <vector>

namespace
{

struct OpenProperties
{
    HDEVINFO set;
    // The device as its pages' providers were given it: they keep the pointer for the sheet's life,
    // as the device installer's own record lives as long as its set on Windows.
    SP_DEVINFO_DATA* device;
    WNDPROC sheetProc; // the sheet's own procedure
    bool closing;      // the request to destroy the sheet is posted
};

// The sheets open, allocated once and never freed (see internal.h).
std::mutex& SheetsLock()
{
    static auto* lock = new std::mutex;
    return *lock;
}

std::map<HWND, OpenProperties>& Sheets()
{
    static auto* sheets = new std::map<HWND, OpenProperties>;
    return *sheets;
}

UINT DestroySheetMessage()
{
    static UINT message = RegisterWindowMessageA("WinsimDeviceManagerDestroySheet");
    return message;
}

bool CanCloseTheSheet(UINT message)
{
    return message == WM_COMMAND || message == WM_CLOSE || message == PSM_PRESSBUTTON;
}

LRESULT CALLBACK DevicePropertiesProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam)
{
    OpenProperties open{};
    {
        std::lock_guard<std::mutex> guard(SheetsLock());
        auto it = Sheets().find(hwnd);
        if (it == Sheets().end())
        {
            return DefWindowProcA(hwnd, message, wParam, lParam);
        }
        open = it->second;
    }
    if (message == DestroySheetMessage())
    {
        DestroyWindow(hwnd);
        return 0;
    }
    LRESULT result = CallWindowProcA(open.sheetProc, hwnd, message, wParam, lParam);
    if (message == WM_NCDESTROY)
    {
        {
            std::lock_guard<std::mutex> guard(SheetsLock());
            Sheets().erase(hwnd);
        }
        SetupDiDestroyDeviceInfoList(open.set);
        delete open.device;
        return result;
    }
    if (!open.closing && CanCloseTheSheet(message) && PropSheet_GetCurrentPageHwnd(hwnd) == nullptr)
    {
        {
            std::lock_guard<std::mutex> guard(SheetsLock());
            Sheets()[hwnd].closing = true;
        }
        PostMessageA(hwnd, DestroySheetMessage(), 0, 0);
    }
    return result;
}

// The member of a set of every device with that instance ID; false when there is none.
bool FindDevice(HDEVINFO set, const char* deviceInstanceId, SP_DEVINFO_DATA* device)
{
    device->cbSize = sizeof(*device);
    for (DWORD i = 0; SetupDiEnumDeviceInfo(set, i, device); ++i)
    {
        char id[MAX_PATH];
        if (SetupDiGetDeviceInstanceIdA(set, device, id, sizeof(id), nullptr) &&
            strcasecmp(id, deviceInstanceId) == 0)
        {
            return true;
        }
    }
    SetLastError(ERROR_NO_SUCH_DEVINST);
    return false;
}

std::string DeviceName(HDEVINFO set, SP_DEVINFO_DATA* device)
{
    char name[MAX_PATH] = {};
    if (SetupDiGetDeviceRegistryPropertyA(set, device, SPDRP_FRIENDLYNAME, nullptr,
                                          reinterpret_cast<BYTE*>(name), sizeof(name) - 1, nullptr) ||
        SetupDiGetDeviceRegistryPropertyA(set, device, SPDRP_DEVICEDESC, nullptr,
                                          reinterpret_cast<BYTE*>(name), sizeof(name) - 1, nullptr))
    {
        return name;
    }
    return std::string();
}

} // namespace

namespace winsim
{

HWND OpenDeviceProperties(const char* deviceInstanceId)
{
    if (deviceInstanceId == nullptr)
    {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    HDEVINFO set = SetupDiGetClassDevsA(nullptr, nullptr, nullptr, DIGCF_ALLCLASSES);
    if (set == INVALID_HANDLE_VALUE)
    {
        return nullptr;
    }
    auto* device = new SP_DEVINFO_DATA{};
    std::vector<HPROPSHEETPAGE> pages(MAXPROPPAGES);
    PROPSHEETHEADERA header{};
    header.dwSize = sizeof(header);
    header.dwFlags = PSH_MODELESS | PSH_PROPTITLE;
    header.phpage = pages.data();
    if (!FindDevice(set, deviceInstanceId, device) ||
        !SetupDiGetClassDevPropertySheetsA(set, device, &header, MAXPROPPAGES, nullptr, DIGCDP_FLAG_ADVANCED))
    {
        DWORD error = GetLastError();
        for (UINT i = 0; i < header.nPages; ++i)
        {
            DestroyPropertySheetPage(pages[i]);
        }
        SetupDiDestroyDeviceInfoList(set);
        delete device;
        SetLastError(error);
        return nullptr;
    }
    if (header.nPages == 0)
    {
        SetupDiDestroyDeviceInfoList(set);
        delete device;
        SetLastError(ERROR_NOT_FOUND);
        return nullptr;
    }
    std::string caption = DeviceName(set, device);
    header.pszCaption = caption.c_str();
    auto sheet = reinterpret_cast<HWND>(PropertySheetA(&header));
    if (sheet == nullptr || reinterpret_cast<INT_PTR>(sheet) == -1)
    {
        // The pages stay the caller's when no sheet took them.
        for (UINT i = 0; i < header.nPages; ++i)
        {
            DestroyPropertySheetPage(pages[i]);
        }
        SetupDiDestroyDeviceInfoList(set);
        delete device;
        SetLastError(ERROR_INVALID_DATA);
        return nullptr;
    }
    {
        std::lock_guard<std::mutex> guard(SheetsLock());
        Sheets()[sheet] = OpenProperties{set, device, nullptr, false};
    }
    auto sheetProc = reinterpret_cast<WNDPROC>(
        SetWindowLongPtrA(sheet, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(DevicePropertiesProc)));
    {
        std::lock_guard<std::mutex> guard(SheetsLock());
        Sheets()[sheet].sheetProc = sheetProc;
    }
    return sheet;
}

} // namespace winsim
