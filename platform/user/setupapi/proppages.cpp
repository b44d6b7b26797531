// SetupDiGetClassDevPropertySheetsA: the property pages of a device or of a setup class, gathered
// from the property page providers the registry names.
//
// A provider is an entry "module,function" of the EnumPropPages32 value (advanced pages) or the
// BasicProperties32 value (basic pages) of the class key
// (HKLM\SYSTEM\CurrentControlSet\Control\Class\{class}) and, for a device, of its driver key. The
// class key's provider is asked first, then the device's. Each is loaded with LoadLibraryA, its
// function called with an SP_PROPSHEETPAGE_REQUEST and an add-page callback that appends the page
// to the header's page list while it has room. The modules stay loaded until the set is
// destroyed, since their pages call into them.
//
// The class installer's own pages (DIF_ADDPROPERTYPAGE_ADVANCED: Windows' "Port Settings" page of
// the Ports class, the driver and details pages of Device Manager) are not built on this machine.
//
// Everything here goes through the public functions of setupapi, advapi32 and kernel32.
#include <setupapi.h>

#include "setupapi/proppages.h"

#include <stdio.h>
#include <string.h>

#include <map>
#include <mutex>
#include <string>
#include <vector>

namespace winsim::user
{
namespace
{

// The modules loaded for each set, allocated once and never freed (see internal.h).
std::mutex& ProvidersLock()
{
    static auto* lock = new std::mutex;
    return *lock;
}

std::map<HDEVINFO, std::vector<HMODULE>>& Providers()
{
    static auto* providers = new std::map<HDEVINFO, std::vector<HMODULE>>;
    return *providers;
}

// The add-page callback's state: the caller's header, the room in its page list, and the pages
// offered that found no room.
struct PageList
{
    LPPROPSHEETHEADERA header;
    DWORD capacity;
    DWORD refused = 0;
};

BOOL CALLBACK AddPage(HPROPSHEETPAGE page, LPARAM lParam)
{
    auto* list = reinterpret_cast<PageList*>(lParam);
    if (page == nullptr)
    {
        return FALSE;
    }
    if (list->header->nPages >= list->capacity)
    {
        list->refused++;
        return FALSE;
    }
    list->header->phpage[list->header->nPages++] = page;
    return TRUE;
}

std::string ClassKeyPath(const GUID& guid)
{
    char text[96];
    snprintf(text, sizeof(text),
             "SYSTEM\\CurrentControlSet\\Control\\Class\\{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}",
             static_cast<unsigned>(guid.Data1), guid.Data2, guid.Data3, guid.Data4[0], guid.Data4[1],
             guid.Data4[2], guid.Data4[3], guid.Data4[4], guid.Data4[5], guid.Data4[6], guid.Data4[7]);
    return text;
}

// The provider entry a key's value names, or an empty string.
std::string ProviderOf(HKEY key, const char* valueName)
{
    char text[MAX_PATH * 2] = {};
    DWORD type = 0;
    DWORD size = sizeof(text) - 1;
    if (RegQueryValueExA(key, valueName, nullptr, &type, reinterpret_cast<BYTE*>(text), &size) !=
            ERROR_SUCCESS ||
        (type != REG_SZ && type != REG_EXPAND_SZ))
    {
        return std::string();
    }
    return std::string(text);
}

std::string Trimmed(const std::string& text)
{
    size_t first = text.find_first_not_of(" \t");
    size_t last = text.find_last_not_of(" \t");
    return first == std::string::npos ? std::string() : text.substr(first, last - first + 1);
}

// Loads one provider and lets it add its pages. A provider that does not load or has no such
// function adds nothing, and the others are still asked.
void CallProvider(HDEVINFO set, const std::string& entry, SP_PROPSHEETPAGE_REQUEST* request, PageList* list)
{
    size_t comma = entry.find(',');
    if (comma == std::string::npos)
    {
        return;
    }
    std::string moduleName = Trimmed(entry.substr(0, comma));
    std::string function = Trimmed(entry.substr(comma + 1));
    HMODULE module = LoadLibraryA(moduleName.c_str());
    if (module == nullptr)
    {
        return;
    }
    auto provider = reinterpret_cast<PSP_ENUM_PROPSHEETPAGES>(
        reinterpret_cast<void*>(GetProcAddress(module, function.c_str())));
    if (provider == nullptr)
    {
        FreeLibrary(module);
        return;
    }
    {
        std::lock_guard<std::mutex> guard(ProvidersLock());
        Providers()[set].push_back(module);
    }
    provider(request, AddPage, reinterpret_cast<LPARAM>(list));
}

} // namespace

void ReleasePropertyPageProviders(HDEVINFO set)
{
    std::vector<HMODULE> modules;
    {
        std::lock_guard<std::mutex> guard(ProvidersLock());
        auto it = Providers().find(set);
        if (it == Providers().end())
        {
            return;
        }
        modules.swap(it->second);
        Providers().erase(it);
    }
    for (HMODULE module : modules)
    {
        FreeLibrary(module);
    }
}

} // namespace winsim::user

using namespace winsim::user;

extern "C"
{

    BOOL WINAPI SetupDiGetClassDevPropertySheetsA(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData,
                                                  LPPROPSHEETHEADERA PropertySheetHeader,
                                                  DWORD PropertySheetHeaderPageListSize, PDWORD RequiredSize,
                                                  DWORD PropertySheetType)
    {
        // The set (and the member) first: the detail call fails an unknown set with
        // ERROR_INVALID_HANDLE, the instance ID call a member of another set or of a wrong size.
        SP_DEVINFO_LIST_DETAIL_DATA_A detail{};
        detail.cbSize = sizeof(detail);
        if (!SetupDiGetDeviceInfoListDetailA(DeviceInfoSet, &detail))
        {
            return FALSE;
        }
        char instanceId[MAX_PATH];
        if (DeviceInfoData != nullptr &&
            !SetupDiGetDeviceInstanceIdA(DeviceInfoSet, DeviceInfoData, instanceId, sizeof(instanceId),
                                         nullptr))
        {
            return FALSE;
        }
        if (PropertySheetHeader == nullptr || PropertySheetHeader->nPages > PropertySheetHeaderPageListSize ||
            (PropertySheetHeader->phpage == nullptr && PropertySheetHeaderPageListSize != 0))
        {
            SetLastError(ERROR_INVALID_PARAMETER);
            return FALSE;
        }
        // The header lists page handles, never PROPSHEETPAGE records; remote machines are not
        // reachable from this one.
        if ((PropertySheetHeader->dwFlags & PSH_PROPSHEETPAGE) != 0 ||
            (PropertySheetType != DIGCDP_FLAG_ADVANCED && PropertySheetType != DIGCDP_FLAG_BASIC))
        {
            SetLastError(ERROR_INVALID_FLAGS);
            return FALSE;
        }
        GUID setupClass = DeviceInfoData != nullptr ? DeviceInfoData->ClassGuid : detail.ClassGuid;
        if (DeviceInfoData == nullptr && IsEqualGUID(setupClass, GUID{}))
        {
            SetLastError(ERROR_NO_ASSOCIATED_CLASS);
            return FALSE;
        }

        bool advanced = PropertySheetType == DIGCDP_FLAG_ADVANCED;
        const char* valueName = advanced ? "EnumPropPages32" : "BasicProperties32";
        SP_PROPSHEETPAGE_REQUEST request{};
        request.cbSize = sizeof(request);
        request.PageRequested =
            advanced ? SPPSR_ENUM_ADV_DEVICE_PROPERTIES : SPPSR_ENUM_BASIC_DEVICE_PROPERTIES;
        request.DeviceInfoSet = DeviceInfoSet;
        request.DeviceInfoData = DeviceInfoData;

        std::vector<std::string> entries;
        HKEY classKey = nullptr;
        if (!IsEqualGUID(setupClass, GUID{}) &&
            RegOpenKeyExA(HKEY_LOCAL_MACHINE, ClassKeyPath(setupClass).c_str(), 0, KEY_READ, &classKey) ==
                ERROR_SUCCESS)
        {
            entries.push_back(ProviderOf(classKey, valueName));
            RegCloseKey(classKey);
        }
        if (DeviceInfoData != nullptr)
        {
            HKEY driverKey =
                SetupDiOpenDevRegKey(DeviceInfoSet, DeviceInfoData, DICS_FLAG_GLOBAL, 0, DIREG_DRV, KEY_READ);
            if (driverKey != INVALID_HANDLE_VALUE)
            {
                entries.push_back(ProviderOf(driverKey, valueName));
                RegCloseKey(driverKey);
            }
        }

        PageList list{PropertySheetHeader, PropertySheetHeaderPageListSize};
        for (const std::string& entry : entries)
        {
            if (!entry.empty())
            {
                CallProvider(DeviceInfoSet, entry, &request, &list);
            }
        }
        if (RequiredSize != nullptr)
        {
            *RequiredSize = PropertySheetHeader->nPages + list.refused;
        }
        if (list.refused != 0)
        {
            SetLastError(ERROR_INSUFFICIENT_BUFFER);
            return FALSE;
        }
        return TRUE;
    }
}
