// setupapi's device information sets: SetupDiGetClassDevs builds one from the machine's device
// nodes (through the Plug and Play queries of the seam), the other functions read its members and
// open their registry keys through the registry services.
//
// A set is an object of this process: HDEVINFO points at it, and setupapi keeps the sets it gave
// out so that a handle it does not know fails with ERROR_INVALID_HANDLE. A member's DevInst is
// its position in the set plus one, and its Reserved field points at the member, so a member of
// another set is told apart (ERROR_INVALID_PARAMETER).
#include <setupapi.h>

#include "base/unicode.h"
#include "internal.h"
#include "ntdll/ntdll.h"
#include "setupapi/devnodes.h"

#include <string.h>

#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

namespace winsim::user
{
namespace
{

struct DeviceInfo
{
    std::u16string instanceId;
    GUID classGuid; // the node's setup class (its ClassGUID value), or all zeros
};

struct DevInfoSet
{
    std::vector<DeviceInfo> members;
};

// The sets this process holds, allocated once and never freed (see internal.h).
std::mutex& SetsLock()
{
    static auto* lock = new std::mutex;
    return *lock;
}

std::set<DevInfoSet*>& Sets()
{
    static auto* sets = new std::set<DevInfoSet*>;
    return *sets;
}

DevInfoSet* SetOf(HDEVINFO handle)
{
    std::lock_guard<std::mutex> guard(SetsLock());
    auto it = Sets().find(static_cast<DevInfoSet*>(handle));
    return it == Sets().end() ? nullptr : *it;
}

constexpr DWORD KnownClassDevsFlags =
    DIGCF_PRESENT | DIGCF_ALLCLASSES | DIGCF_PROFILE | DIGCF_DEVICEINTERFACE;

GUID SetupClassOf(const std::u16string& instanceId)
{
    GUID guid{};
    std::optional<std::u16string> text = DeviceRegistryString(instanceId, u"ClassGUID");
    if (text && !ParseGuid(*text, &guid))
    {
        guid = GUID{};
    }
    return guid;
}

bool StartsWithEnumerator(std::u16string_view instanceId, std::u16string_view enumerator)
{
    return instanceId.size() > enumerator.size() && instanceId[enumerator.size()] == u'\\' &&
           UpperCase(instanceId.substr(0, enumerator.size())) == UpperCase(enumerator);
}

// The member a caller's SP_DEVINFO_DATA names, or null with the last error set.
const DeviceInfo* MemberOf(DevInfoSet* set, PSP_DEVINFO_DATA data)
{
    if (data == nullptr)
    {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    if (data->cbSize != sizeof(SP_DEVINFO_DATA))
    {
        SetLastError(ERROR_INVALID_USER_BUFFER);
        return nullptr;
    }
    for (const DeviceInfo& member : set->members)
    {
        if (reinterpret_cast<ULONG_PTR>(&member) == data->Reserved)
        {
            return &member;
        }
    }
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
}

HKEY OpenKey(const std::u16string& path, REGSAM access)
{
    UNICODE_STRING name = ntdll::CountedString(path);
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &name, OBJ_CASE_INSENSITIVE, nullptr, nullptr);
    HANDLE key = nullptr;
    NTSTATUS status = NtOpenKey(&key, access, &attributes);
    if (status == STATUS_OBJECT_NAME_NOT_FOUND || status == STATUS_OBJECT_PATH_NOT_FOUND)
    {
        SetLastError(ERROR_KEY_DOES_NOT_EXIST);
        return static_cast<HKEY>(INVALID_HANDLE_VALUE);
    }
    if (!NT_SUCCESS(status))
    {
        ntdll::FailWith(status);
        return static_cast<HKEY>(INVALID_HANDLE_VALUE);
    }
    return static_cast<HKEY>(key);
}

} // namespace
} // namespace winsim::user

using namespace winsim;
using namespace winsim::user;

extern "C"
{

    HDEVINFO WINAPI SetupDiGetClassDevsA(const GUID* ClassGuid, PCSTR Enumerator, HWND, DWORD Flags)
    {
        if ((Flags & ~KnownClassDevsFlags) != 0)
        {
            SetLastError(ERROR_INVALID_FLAGS);
            return INVALID_HANDLE_VALUE;
        }
        bool allClasses = (Flags & DIGCF_ALLCLASSES) != 0;
        bool interfaces = (Flags & DIGCF_DEVICEINTERFACE) != 0;
        bool present = (Flags & DIGCF_PRESENT) != 0;
        if (ClassGuid == nullptr && !allClasses)
        {
            SetLastError(ERROR_INVALID_PARAMETER);
            return INVALID_HANDLE_VALUE;
        }
        std::u16string enumerator = Enumerator != nullptr ? WideFromAnsi(Enumerator) : std::u16string();
        auto set = std::make_unique<DevInfoSet>();
        NTSTATUS status = STATUS_SUCCESS;
        if (interfaces && !allClasses)
        {
            // The devices with an interface of the class; an enumerator names one device here.
            std::vector<DeviceInterfaceEntry> entries;
            if (!ListDeviceInterfaces(*ClassGuid, present, &entries, &status))
            {
                ntdll::FailWith(status);
                return INVALID_HANDLE_VALUE;
            }
            for (const DeviceInterfaceEntry& entry : entries)
            {
                bool known = false;
                for (const DeviceInfo& member : set->members)
                {
                    known = known || member.instanceId == entry.instanceId;
                }
                if (!known && (enumerator.empty() || UpperCase(enumerator) == entry.instanceId))
                {
                    set->members.push_back(DeviceInfo{entry.instanceId, SetupClassOf(entry.instanceId)});
                }
            }
        }
        else
        {
            // The devices of a setup class, or of every class; an enumerator names a bus (USB).
            std::vector<std::u16string> ids;
            if (!ListDeviceIds(present, &ids, &status))
            {
                ntdll::FailWith(status);
                return INVALID_HANDLE_VALUE;
            }
            for (const std::u16string& id : ids)
            {
                GUID setupClass = SetupClassOf(id);
                bool inClass = allClasses || IsEqualGUID(setupClass, *ClassGuid);
                if (inClass && (enumerator.empty() || StartsWithEnumerator(id, enumerator)))
                {
                    set->members.push_back(DeviceInfo{id, setupClass});
                }
            }
        }
        std::lock_guard<std::mutex> guard(SetsLock());
        Sets().insert(set.get());
        return set.release();
    }

    BOOL WINAPI SetupDiEnumDeviceInfo(HDEVINFO DeviceInfoSet, DWORD MemberIndex,
                                      PSP_DEVINFO_DATA DeviceInfoData)
    {
        DevInfoSet* set = SetOf(DeviceInfoSet);
        if (set == nullptr)
        {
            SetLastError(ERROR_INVALID_HANDLE);
            return FALSE;
        }
        if (DeviceInfoData == nullptr)
        {
            SetLastError(ERROR_INVALID_PARAMETER);
            return FALSE;
        }
        if (DeviceInfoData->cbSize != sizeof(SP_DEVINFO_DATA))
        {
            SetLastError(ERROR_INVALID_USER_BUFFER);
            return FALSE;
        }
        if (MemberIndex >= set->members.size())
        {
            SetLastError(ERROR_NO_MORE_ITEMS);
            return FALSE;
        }
        const DeviceInfo& member = set->members[MemberIndex];
        DeviceInfoData->ClassGuid = member.classGuid;
        DeviceInfoData->DevInst = MemberIndex + 1;
        DeviceInfoData->Reserved = reinterpret_cast<ULONG_PTR>(&member);
        return TRUE;
    }

    BOOL WINAPI SetupDiGetDeviceInstanceIdA(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData,
                                            PSTR DeviceInstanceId, DWORD DeviceInstanceIdSize,
                                            PDWORD RequiredSize)
    {
        DevInfoSet* set = SetOf(DeviceInfoSet);
        if (set == nullptr)
        {
            SetLastError(ERROR_INVALID_HANDLE);
            return FALSE;
        }
        const DeviceInfo* member = MemberOf(set, DeviceInfoData);
        if (member == nullptr)
        {
            return FALSE;
        }
        if (DeviceInstanceId == nullptr && DeviceInstanceIdSize != 0)
        {
            SetLastError(ERROR_INVALID_USER_BUFFER);
            return FALSE;
        }
        std::string id = AnsiFromWide(member->instanceId);
        DWORD needed = static_cast<DWORD>(id.size() + 1);
        if (RequiredSize != nullptr)
        {
            *RequiredSize = needed;
        }
        if (DeviceInstanceIdSize < needed)
        {
            SetLastError(ERROR_INSUFFICIENT_BUFFER);
            return FALSE;
        }
        memcpy(DeviceInstanceId, id.c_str(), needed);
        return TRUE;
    }

    HKEY WINAPI SetupDiOpenDevRegKey(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData, DWORD Scope,
                                     DWORD HwProfile, DWORD KeyType, REGSAM samDesired)
    {
        HKEY failed = static_cast<HKEY>(INVALID_HANDLE_VALUE);
        DevInfoSet* set = SetOf(DeviceInfoSet);
        if (set == nullptr)
        {
            SetLastError(ERROR_INVALID_HANDLE);
            return failed;
        }
        if ((Scope != DICS_FLAG_GLOBAL && Scope != DICS_FLAG_CONFIGSPECIFIC) ||
            (KeyType != DIREG_DEV && KeyType != DIREG_DRV))
        {
            SetLastError(ERROR_INVALID_FLAGS);
            return failed;
        }
        const DeviceInfo* member = MemberOf(set, DeviceInfoData);
        if (member == nullptr)
        {
            return failed;
        }
        // The machine has one hardware profile, the current one (0 names it, as does 1).
        if (Scope == DICS_FLAG_CONFIGSPECIFIC && HwProfile > 1)
        {
            SetLastError(ERROR_INVALID_HWPROFILE);
            return failed;
        }
        std::u16string root =
            Scope == DICS_FLAG_GLOBAL
                ? std::u16string(u"\\Registry\\Machine\\SYSTEM\\CurrentControlSet")
                : std::u16string(u"\\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Hardware "
                                 u"Profiles\\Current\\System\\CurrentControlSet");
        std::u16string path;
        if (KeyType == DIREG_DEV)
        {
            path = root + u"\\Enum\\" + member->instanceId + u"\\Device Parameters";
        }
        else
        {
            std::optional<std::u16string> driver = DeviceRegistryString(member->instanceId, u"Driver");
            if (!driver || driver->empty())
            {
                SetLastError(ERROR_KEY_DOES_NOT_EXIST);
                return failed;
            }
            path = root + u"\\Control\\Class\\" + *driver;
        }
        return OpenKey(path, samDesired);
    }

    BOOL WINAPI SetupDiDestroyDeviceInfoList(HDEVINFO DeviceInfoSet)
    {
        DevInfoSet* set = nullptr;
        {
            std::lock_guard<std::mutex> guard(SetsLock());
            auto it = Sets().find(static_cast<DevInfoSet*>(DeviceInfoSet));
            if (it != Sets().end())
            {
                set = *it;
                Sets().erase(it);
            }
        }
        if (set == nullptr)
        {
            SetLastError(ERROR_INVALID_HANDLE);
            return FALSE;
        }
        delete set;
        return TRUE;
    }

} // extern "C"
