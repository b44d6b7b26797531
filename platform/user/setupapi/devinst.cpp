// setupapi's device information sets: SetupDiGetClassDevs builds one from the machine's device
// nodes (through the Plug and Play queries of the seam), the other functions read its members and
// open their registry keys through the registry services.
//
// A set is an object of this process: HDEVINFO points at it, and setupapi keeps the sets it gave
// out so that a handle it does not know fails with ERROR_INVALID_HANDLE. A member holds its node's
// instance ID, so a set built before a node was disabled, enabled or restarted still names it. A
// member's DevInst is cfgmgr32's handle of its node (DevInstOf), and its Reserved field points at
// the member, so a member of another set is told apart (ERROR_INVALID_PARAMETER). A member also
// holds the device interfaces the set took in for it (DIGCF_DEVICEINTERFACE,
// SetupDiOpenDeviceInterface); an SP_DEVICE_INTERFACE_DATA's Reserved field points at one.
//
// Each set and each member carries its device install parameters (SP_DEVINSTALL_PARAMS) and its
// class install parameters (only DIF_PROPERTYCHANGE's). The set's lock guards its members, their
// interfaces and all those parameters, as Windows locks a set for each call; SetCall takes it for
// an export. Members and interfaces only grow (SetupDiGetClassDevsEx into an existing set,
// SetupDiOpenDeviceInterface), in deques so that they never move.
#include <setupapi.h>

#include "base/unicode.h"
#include "internal.h"
#include "ntdll/ntdll.h"
#include "setupapi/devnodes.h"
#include "setupapi/proppages.h"

#include <ctype.h>
#include <stddef.h>
#include <string.h>

#include <deque>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

namespace winsim::user
{
namespace
{

// Install parameters of a set or of one member (guarded by the set's lock).
struct InstallParams
{
    DWORD flags = 0;                                // DI_*
    std::optional<SP_PROPCHANGE_PARAMS> propChange; // set by SetupDiSetClassInstallParams
    // What SetupDiSetDeviceInstallParams keeps for the caller and the installers; the machine
    // acts on none of it.
    DWORD flagsEx = 0; // DI_FLAGSEX_*
    HWND parent = nullptr;
    PSP_FILE_CALLBACK_A messageHandler = nullptr;
    PVOID messageHandlerContext = nullptr;
    ULONG_PTR classInstallReserved = 0;
    std::string driverPath;
};

// The flags of SP_DEVINSTALL_PARAMS a caller may set: the documented writable ones.
constexpr DWORD WritableInstallFlags =
    DI_SHOWOEM | DI_NOVCP | DI_NEEDRESTART | DI_NEEDREBOOT | DI_NOBROWSE | DI_RESOURCEPAGE_ADDED |
    DI_PROPERTIES_CHANGE | DI_INF_IS_SORTED | DI_ENUMSINGLEINF | DI_DONOTCALLCONFIGMG | DI_INSTALLDISABLED |
    DI_COMPAT_FROM_CLASS | DI_CLASSINSTALLPARAMS | DI_NODI_DEFAULTACTION | DI_QUIETINSTALL | DI_NOFILECOPY |
    DI_DRIVERPAGE_ADDED | DI_USECI_SELECTSTRINGS | DI_NOWRITE_IDS;
// The flags only setupapi sets. A caller that hands them back does not change them.
constexpr DWORD SetupapiInstallFlags = DI_DIDCOMPAT | DI_DIDCLASS | DI_MULTMFGS;

// A device interface a set holds for one of its members (guarded by the set's lock).
struct InterfaceInfo
{
    GUID classGuid;
    std::u16string symbolicLink; // the kernel's form: \??\USB#VID_2B4E&PID_0730#TR0001#{guid}
    DWORD flags;                 // SPINT_ACTIVE when it was enabled as the set last looked
};

struct DeviceInfo
{
    std::u16string instanceId;
    GUID classGuid; // the node's setup class (its ClassGUID value), or all zeros
    InstallParams params;
    std::deque<InterfaceInfo> interfaces; // in the order the set took them in; they never move
};

struct DevInfoSet
{
    GUID classGuid{}; // the class the set was built for, or all zeros
    std::deque<DeviceInfo> members;
    InstallParams params; // the set's own, for calls without a member
    std::mutex lock;      // guards the members and every InstallParams of the set
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

DeviceInfo* FindMember(DevInfoSet* set, std::u16string_view instanceId)
{
    for (DeviceInfo& member : set->members)
    {
        if (member.instanceId == instanceId)
        {
            return &member;
        }
    }
    return nullptr;
}

// A new member of a set. Built in place: GCC's optimiser takes the install parameters of a braced
// temporary for uninitialised.
DeviceInfo& AddMember(DevInfoSet* set, const std::u16string& instanceId, const GUID& classGuid)
{
    DeviceInfo& member = set->members.emplace_back();
    member.instanceId = instanceId;
    member.classGuid = classGuid;
    return member;
}

// Takes an interface into a set: into its device's member, which joins the set when it is not
// one yet. An interface the member holds already only has its flags brought up to date.
InterfaceInfo* AddInterface(DevInfoSet* set, const DeviceInterfaceEntry& entry, DWORD flags)
{
    DeviceInfo* member = FindMember(set, entry.instanceId);
    if (member == nullptr)
    {
        member = &AddMember(set, entry.instanceId, SetupClassOf(entry.instanceId));
    }
    for (InterfaceInfo& known : member->interfaces)
    {
        if (UpperCase(known.symbolicLink) == UpperCase(entry.symbolicLink))
        {
            known.flags = flags;
            return &known;
        }
    }
    member->interfaces.push_back(InterfaceInfo{entry.classGuid, entry.symbolicLink, flags});
    return &member->interfaces.back();
}

// The path user mode opens an interface by: \\?\ and the rest of the kernel's link in lower case,
// as Windows gives it (\\?\usb#vid_2b4e&pid_0730#tr0001#{a5dcbf10-6530-11d2-901f-00c04fb951ed}).
std::string DevicePathOf(const std::u16string& symbolicLink)
{
    std::string path = "\\\\?\\" + AnsiFromWide(std::u16string_view(symbolicLink).substr(4));
    for (size_t i = 4; i < path.size(); ++i)
    {
        path[i] = static_cast<char>(tolower(static_cast<unsigned char>(path[i])));
    }
    return path;
}

void DescribeMember(const DeviceInfo& member, PSP_DEVINFO_DATA data)
{
    data->ClassGuid = member.classGuid;
    data->DevInst = DevInstOf(member.instanceId);
    data->Reserved = reinterpret_cast<ULONG_PTR>(&member);
}

// The member a caller's SP_DEVINFO_DATA names, or null with the last error set.
DeviceInfo* MemberOf(DevInfoSet* set, PSP_DEVINFO_DATA data)
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
    for (DeviceInfo& member : set->members)
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

// Adds the devices SetupDiGetClassDevs lists to a set, skipping those it holds already. False,
// with the last error set, when the flags or the query fail.
bool AddClassDevs(DevInfoSet* set, const GUID* ClassGuid, PCSTR Enumerator, DWORD Flags)
{
    if ((Flags & ~KnownClassDevsFlags) != 0)
    {
        SetLastError(ERROR_INVALID_FLAGS);
        return false;
    }
    bool allClasses = (Flags & DIGCF_ALLCLASSES) != 0;
    bool interfaces = (Flags & DIGCF_DEVICEINTERFACE) != 0;
    bool present = (Flags & DIGCF_PRESENT) != 0;
    if (ClassGuid == nullptr && !allClasses)
    {
        SetLastError(ERROR_INVALID_PARAMETER);
        return false;
    }
    std::u16string enumerator = Enumerator != nullptr ? WideFromAnsi(Enumerator) : std::u16string();
    NTSTATUS status = STATUS_SUCCESS;
    if (interfaces)
    {
        // The devices with an interface of the class (of any class with DIGCF_ALLCLASSES), each
        // with those interfaces, in the order the kernel lists them; with DIGCF_PRESENT only the
        // enabled ones. An enumerator names one device here.
        const GUID* interfaceClass = allClasses ? nullptr : ClassGuid;
        std::vector<DeviceInterfaceEntry> entries;
        std::vector<DeviceInterfaceEntry> enabled;
        if (!ListDeviceInterfaces(interfaceClass, present, &entries, &status) ||
            (!present && !ListDeviceInterfaces(interfaceClass, true, &enabled, &status)))
        {
            ntdll::FailWith(status);
            return false;
        }
        for (const DeviceInterfaceEntry& entry : entries)
        {
            if (!enumerator.empty() && UpperCase(enumerator) != entry.instanceId)
            {
                continue;
            }
            bool active = present;
            for (const DeviceInterfaceEntry& on : enabled)
            {
                active = active || on.symbolicLink == entry.symbolicLink;
            }
            AddInterface(set, entry, active ? SPINT_ACTIVE : 0);
        }
        return true;
    }
    // The devices of a setup class, or of every class; an enumerator names a bus (USB).
    std::vector<std::u16string> ids;
    if (!ListDeviceIds(present, &ids, &status))
    {
        ntdll::FailWith(status);
        return false;
    }
    for (const std::u16string& id : ids)
    {
        GUID setupClass = SetupClassOf(id);
        bool inClass = allClasses || IsEqualGUID(setupClass, *ClassGuid);
        if (inClass && FindMember(set, id) == nullptr &&
            (enumerator.empty() || StartsWithEnumerator(id, enumerator)))
        {
            AddMember(set, id, setupClass);
        }
    }
    return true;
}

// The Enum key value behind a device registry property this machine keeps, or null.
const char16_t* PropertyValueName(DWORD property)
{
    switch (property)
    {
    case SPDRP_DEVICEDESC:
        return u"DeviceDesc";
    case SPDRP_HARDWAREID:
        return u"HardwareID";
    case SPDRP_COMPATIBLEIDS:
        return u"CompatibleIDs";
    case SPDRP_FRIENDLYNAME:
        return u"FriendlyName";
    default:
        return nullptr;
    }
}

// A string or multi-string value's UTF-16 bytes in the ANSI form the A functions return: each
// string with its NUL, and for a multi-string the closing NUL. Other types pass through as stored.
std::vector<uint8_t> AnsiPropertyData(ULONG type, const std::vector<uint8_t>& data)
{
    if (type != REG_SZ && type != REG_EXPAND_SZ && type != REG_MULTI_SZ)
    {
        return data;
    }
    std::u16string text(data.size() / sizeof(WCHAR), u'\0');
    memcpy(text.data(), data.data(), text.size() * sizeof(WCHAR));
    std::vector<std::u16string> strings;
    size_t at = 0;
    while (at < text.size() && text[at] != 0)
    {
        size_t end = text.find(u'\0', at);
        end = end == std::u16string::npos ? text.size() : end;
        strings.push_back(text.substr(at, end - at));
        at = end + 1;
        if (type != REG_MULTI_SZ)
        {
            break;
        }
    }
    std::string ansi;
    for (const std::u16string& one : strings)
    {
        ansi += AnsiFromWide(one);
        ansi.push_back('\0');
    }
    if (type == REG_MULTI_SZ)
    {
        ansi.push_back('\0');
    }
    else if (strings.empty())
    {
        ansi.push_back('\0');
    }
    return std::vector<uint8_t>(ansi.begin(), ansi.end());
}

// Writes (or, with no data, deletes) a value of a node's Enum key through the registry services.
NTSTATUS WriteDeviceValue(const std::u16string& instanceId, const char16_t* valueName,
                          const std::u16string* text)
{
    std::u16string path = EnumKeyPath(instanceId);
    UNICODE_STRING name = ntdll::CountedString(path);
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &name, OBJ_CASE_INSENSITIVE, nullptr, nullptr);
    HANDLE key = nullptr;
    NTSTATUS status = NtOpenKey(&key, KEY_SET_VALUE, &attributes);
    if (!NT_SUCCESS(status))
    {
        return status;
    }
    std::u16string value(valueName);
    UNICODE_STRING counted = ntdll::CountedString(value);
    if (text == nullptr)
    {
        status = NtDeleteValueKey(key, &counted);
        status = status == STATUS_OBJECT_NAME_NOT_FOUND ? STATUS_SUCCESS : status;
    }
    else
    {
        std::u16string terminated = *text + u'\0';
        status = NtSetValueKey(key, &counted, 0, REG_SZ, terminated.data(),
                               static_cast<ULONG>(terminated.size() * sizeof(WCHAR)));
    }
    NtClose(key);
    return status;
}

// One call's hold on a set: the set its handle names, locked for the call (as Windows locks a set
// for each call), and the members its SP_DEVINFO_DATA arguments name. A handle setupapi did not
// give out leaves the call without a set: the last error is ERROR_INVALID_HANDLE and Member and
// Params return null.
class SetCall
{
  public:
    explicit SetCall(HDEVINFO handle) : m_set(SetOf(handle))
    {
        if (m_set == nullptr)
        {
            SetLastError(ERROR_INVALID_HANDLE);
            return;
        }
        m_guard = std::unique_lock<std::mutex>(m_set->lock);
    }

    explicit operator bool() const { return m_set != nullptr; }
    DevInfoSet* Set() const { return m_set; }
    DevInfoSet* operator->() const { return m_set; }

    // The member a caller's SP_DEVINFO_DATA names, or null with the last error set.
    DeviceInfo* Member(PSP_DEVINFO_DATA data) const
    {
        return m_set == nullptr ? nullptr : MemberOf(m_set, data);
    }

    // The install parameters a call names: a member's, or the set's without one. Null, with the
    // last error set, for a member of another set.
    InstallParams* Params(PSP_DEVINFO_DATA data) const
    {
        if (m_set == nullptr)
        {
            return nullptr;
        }
        if (data == nullptr)
        {
            return &m_set->params;
        }
        DeviceInfo* member = MemberOf(m_set, data);
        return member == nullptr ? nullptr : &member->params;
    }

    // The interface a caller's SP_DEVICE_INTERFACE_DATA names, and the member that holds it; null,
    // with the last error set, for none of this set's.
    InterfaceInfo* Interface(PSP_DEVICE_INTERFACE_DATA data, DeviceInfo** owner) const
    {
        if (m_set == nullptr)
        {
            return nullptr;
        }
        if (data == nullptr)
        {
            SetLastError(ERROR_INVALID_PARAMETER);
            return nullptr;
        }
        if (data->cbSize != sizeof(SP_DEVICE_INTERFACE_DATA))
        {
            SetLastError(ERROR_INVALID_USER_BUFFER);
            return nullptr;
        }
        for (DeviceInfo& member : m_set->members)
        {
            for (InterfaceInfo& one : member.interfaces)
            {
                if (reinterpret_cast<ULONG_PTR>(&one) == data->Reserved)
                {
                    *owner = &member;
                    return &one;
                }
            }
        }
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }

    // Lets the set go while the call waits on the kernel, and takes it again.
    void Unlock() { m_guard.unlock(); }
    void Lock() { m_guard.lock(); }

  private:
    DevInfoSet* m_set;
    std::unique_lock<std::mutex> m_guard; // holds m_set->lock
};

// Whether a caller's SP_DEVINSTALL_PARAMS_A is one (else the last error is set).
bool IsInstallParamsBuffer(PSP_DEVINSTALL_PARAMS_A params)
{
    if (params == nullptr)
    {
        SetLastError(ERROR_INVALID_PARAMETER);
        return false;
    }
    if (params->cbSize != sizeof(SP_DEVINSTALL_PARAMS_A))
    {
        SetLastError(ERROR_INVALID_USER_BUFFER);
        return false;
    }
    return true;
}

HDEVINFO Publish(std::unique_ptr<DevInfoSet> set)
{
    std::lock_guard<std::mutex> guard(SetsLock());
    Sets().insert(set.get());
    return set.release();
}

} // namespace
} // namespace winsim::user

using namespace winsim;
using namespace winsim::user;

extern "C"
{

    HDEVINFO WINAPI SetupDiGetClassDevsA(const GUID* ClassGuid, PCSTR Enumerator, HWND, DWORD Flags)
    {
        return SetupDiGetClassDevsExA(ClassGuid, Enumerator, nullptr, Flags, nullptr, nullptr, nullptr);
    }

    HDEVINFO WINAPI SetupDiGetClassDevsExA(const GUID* ClassGuid, PCSTR Enumerator, HWND, DWORD Flags,
                                           HDEVINFO DeviceInfoSet, PCSTR MachineName, PVOID Reserved)
    {
        if (Reserved != nullptr)
        {
            SetLastError(ERROR_INVALID_PARAMETER);
            return INVALID_HANDLE_VALUE;
        }
        // Windows no longer reaches the devices of another computer; only the local one is named.
        if (MachineName != nullptr && *MachineName != '\0')
        {
            SetLastError(ERROR_INVALID_MACHINENAME);
            return INVALID_HANDLE_VALUE;
        }
        if (DeviceInfoSet != nullptr)
        {
            // The devices join a set of the caller's, which the call returns.
            SetCall call(DeviceInfoSet);
            if (!call)
            {
                return INVALID_HANDLE_VALUE;
            }
            return AddClassDevs(call.Set(), ClassGuid, Enumerator, Flags) ? DeviceInfoSet
                                                                          : INVALID_HANDLE_VALUE;
        }
        auto set = std::make_unique<DevInfoSet>();
        // A set of one setup class is that class's; a set of every class or of interfaces is none's.
        if (ClassGuid != nullptr && (Flags & (DIGCF_ALLCLASSES | DIGCF_DEVICEINTERFACE)) == 0)
        {
            set->classGuid = *ClassGuid;
        }
        if (!AddClassDevs(set.get(), ClassGuid, Enumerator, Flags))
        {
            return INVALID_HANDLE_VALUE;
        }
        return Publish(std::move(set));
    }

    BOOL WINAPI SetupDiGetDeviceInfoListDetailA(HDEVINFO DeviceInfoSet,
                                                PSP_DEVINFO_LIST_DETAIL_DATA_A DeviceInfoSetDetailData)
    {
        SetCall call(DeviceInfoSet);
        if (!call)
        {
            return FALSE;
        }
        if (DeviceInfoSetDetailData == nullptr)
        {
            SetLastError(ERROR_INVALID_PARAMETER);
            return FALSE;
        }
        if (DeviceInfoSetDetailData->cbSize != sizeof(SP_DEVINFO_LIST_DETAIL_DATA_A))
        {
            SetLastError(ERROR_INVALID_USER_BUFFER);
            return FALSE;
        }
        // Every set is of the local machine: no machine handle, an empty name.
        DeviceInfoSetDetailData->ClassGuid = call->classGuid;
        DeviceInfoSetDetailData->RemoteMachineHandle = nullptr;
        memset(DeviceInfoSetDetailData->RemoteMachineName, 0,
               sizeof(DeviceInfoSetDetailData->RemoteMachineName));
        return TRUE;
    }

    BOOL WINAPI SetupDiEnumDeviceInfo(HDEVINFO DeviceInfoSet, DWORD MemberIndex,
                                      PSP_DEVINFO_DATA DeviceInfoData)
    {
        SetCall call(DeviceInfoSet);
        if (!call)
        {
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
        if (MemberIndex >= call->members.size())
        {
            SetLastError(ERROR_NO_MORE_ITEMS);
            return FALSE;
        }
        DescribeMember(call->members[MemberIndex], DeviceInfoData);
        return TRUE;
    }

    BOOL WINAPI SetupDiGetDeviceInstanceIdA(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData,
                                            PSTR DeviceInstanceId, DWORD DeviceInstanceIdSize,
                                            PDWORD RequiredSize)
    {
        SetCall call(DeviceInfoSet);
        const DeviceInfo* member = call.Member(DeviceInfoData);
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
        SetCall call(DeviceInfoSet);
        if (!call)
        {
            return failed;
        }
        if ((Scope != DICS_FLAG_GLOBAL && Scope != DICS_FLAG_CONFIGSPECIFIC) ||
            (KeyType != DIREG_DEV && KeyType != DIREG_DRV))
        {
            SetLastError(ERROR_INVALID_FLAGS);
            return failed;
        }
        const DeviceInfo* member = call.Member(DeviceInfoData);
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
        // The page providers loaded for the set's property sheets go with it.
        ReleasePropertyPageProviders(DeviceInfoSet);
        return TRUE;
    }

    BOOL WINAPI SetupDiEnumDeviceInterfaces(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData,
                                            const GUID* InterfaceClassGuid, DWORD MemberIndex,
                                            PSP_DEVICE_INTERFACE_DATA DeviceInterfaceData)
    {
        SetCall call(DeviceInfoSet);
        if (!call)
        {
            return FALSE;
        }
        // One member's interfaces, or those of every member in the set's order.
        DeviceInfo* only = DeviceInfoData != nullptr ? call.Member(DeviceInfoData) : nullptr;
        if (DeviceInfoData != nullptr && only == nullptr)
        {
            return FALSE;
        }
        if (InterfaceClassGuid == nullptr || DeviceInterfaceData == nullptr)
        {
            SetLastError(ERROR_INVALID_PARAMETER);
            return FALSE;
        }
        if (DeviceInterfaceData->cbSize != sizeof(SP_DEVICE_INTERFACE_DATA))
        {
            SetLastError(ERROR_INVALID_USER_BUFFER);
            return FALSE;
        }
        DWORD index = 0;
        for (DeviceInfo& member : call->members)
        {
            for (InterfaceInfo& one : member.interfaces)
            {
                if ((only != nullptr && only != &member) ||
                    !IsEqualGUID(one.classGuid, *InterfaceClassGuid) || index++ != MemberIndex)
                {
                    continue;
                }
                DeviceInterfaceData->InterfaceClassGuid = one.classGuid;
                DeviceInterfaceData->Flags = one.flags;
                DeviceInterfaceData->Reserved = reinterpret_cast<ULONG_PTR>(&one);
                return TRUE;
            }
        }
        SetLastError(ERROR_NO_MORE_ITEMS);
        return FALSE;
    }

    BOOL WINAPI SetupDiGetDeviceInterfaceDetailA(HDEVINFO DeviceInfoSet,
                                                 PSP_DEVICE_INTERFACE_DATA DeviceInterfaceData,
                                                 PSP_DEVICE_INTERFACE_DETAIL_DATA_A DeviceInterfaceDetailData,
                                                 DWORD DeviceInterfaceDetailDataSize, PDWORD RequiredSize,
                                                 PSP_DEVINFO_DATA DeviceInfoData)
    {
        SetCall call(DeviceInfoSet);
        DeviceInfo* owner = nullptr;
        const InterfaceInfo* one = call.Interface(DeviceInterfaceData, &owner);
        if (one == nullptr)
        {
            return FALSE;
        }
        // A buffer holds at least the fixed part and one NUL; no buffer comes with size 0.
        constexpr DWORD pathAt = offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_A, DevicePath);
        if ((DeviceInterfaceDetailData == nullptr && DeviceInterfaceDetailDataSize != 0) ||
            (DeviceInterfaceDetailData != nullptr &&
             (DeviceInterfaceDetailDataSize < pathAt + 1 ||
              DeviceInterfaceDetailData->cbSize != sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A))) ||
            (DeviceInfoData != nullptr && DeviceInfoData->cbSize != sizeof(SP_DEVINFO_DATA)))
        {
            SetLastError(ERROR_INVALID_USER_BUFFER);
            return FALSE;
        }
        std::string path = DevicePathOf(one->symbolicLink);
        DWORD needed = static_cast<DWORD>(pathAt + path.size() + 1);
        if (RequiredSize != nullptr)
        {
            *RequiredSize = needed;
        }
        // The device is described even when the path does not fit, so that a call without a
        // buffer can ask for it alone.
        if (DeviceInfoData != nullptr)
        {
            DescribeMember(*owner, DeviceInfoData);
        }
        if (DeviceInterfaceDetailDataSize < needed)
        {
            SetLastError(ERROR_INSUFFICIENT_BUFFER);
            return FALSE;
        }
        memcpy(DeviceInterfaceDetailData->DevicePath, path.c_str(), path.size() + 1);
        return TRUE;
    }

    BOOL WINAPI SetupDiOpenDeviceInterfaceA(HDEVINFO DeviceInfoSet, PCSTR DevicePath, DWORD OpenFlags,
                                            PSP_DEVICE_INTERFACE_DATA DeviceInterfaceData)
    {
        SetCall call(DeviceInfoSet);
        if (!call)
        {
            return FALSE;
        }
        if (DevicePath == nullptr)
        {
            SetLastError(ERROR_INVALID_PARAMETER);
            return FALSE;
        }
        if ((OpenFlags & ~DIODI_NO_ADD) != 0)
        {
            SetLastError(ERROR_INVALID_FLAGS);
            return FALSE;
        }
        // Any registered interface of any class, named as SetupDiGetDeviceInterfaceDetail gives it.
        std::vector<DeviceInterfaceEntry> all;
        std::vector<DeviceInterfaceEntry> enabled;
        NTSTATUS status = STATUS_SUCCESS;
        if (!ListDeviceInterfaces(nullptr, false, &all, &status) ||
            !ListDeviceInterfaces(nullptr, true, &enabled, &status))
        {
            return ntdll::FailWith(status);
        }
        std::string wanted = UpperCase(std::string(DevicePath));
        const DeviceInterfaceEntry* found = nullptr;
        for (const DeviceInterfaceEntry& entry : all)
        {
            found =
                found == nullptr && UpperCase(DevicePathOf(entry.symbolicLink)) == wanted ? &entry : found;
        }
        if (found == nullptr ||
            ((OpenFlags & DIODI_NO_ADD) != 0 && FindMember(call.Set(), found->instanceId) == nullptr))
        {
            SetLastError(ERROR_NO_SUCH_DEVICE_INTERFACE);
            return FALSE;
        }
        bool active = false;
        for (const DeviceInterfaceEntry& on : enabled)
        {
            active = active || on.symbolicLink == found->symbolicLink;
        }
        InterfaceInfo* one = AddInterface(call.Set(), *found, active ? SPINT_ACTIVE : 0);
        // The interface is the set's now, even when the caller's structure cannot take it.
        if (DeviceInterfaceData == nullptr)
        {
            return TRUE;
        }
        if (DeviceInterfaceData->cbSize != sizeof(SP_DEVICE_INTERFACE_DATA))
        {
            SetLastError(ERROR_INVALID_USER_BUFFER);
            return FALSE;
        }
        DeviceInterfaceData->InterfaceClassGuid = one->classGuid;
        DeviceInterfaceData->Flags = one->flags;
        DeviceInterfaceData->Reserved = reinterpret_cast<ULONG_PTR>(one);
        return TRUE;
    }

    BOOL WINAPI SetupDiGetDeviceRegistryPropertyA(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData,
                                                  DWORD Property, PDWORD PropertyRegDataType,
                                                  PBYTE PropertyBuffer, DWORD PropertyBufferSize,
                                                  PDWORD RequiredSize)
    {
        SetCall call(DeviceInfoSet);
        const DeviceInfo* member = call.Member(DeviceInfoData);
        if (member == nullptr)
        {
            return FALSE;
        }
        if (Property >= SPDRP_MAXIMUM_PROPERTY)
        {
            SetLastError(ERROR_INVALID_REG_PROPERTY);
            return FALSE;
        }
        if (PropertyBuffer == nullptr && PropertyBufferSize != 0)
        {
            SetLastError(ERROR_INVALID_USER_BUFFER);
            return FALSE;
        }
        // A property the node does not have (or one this machine does not keep) is no data.
        const char16_t* valueName = PropertyValueName(Property);
        ULONG type = REG_NONE;
        std::vector<uint8_t> stored;
        if (valueName == nullptr || !DeviceRegistryValue(member->instanceId, valueName, &type, &stored))
        {
            SetLastError(ERROR_INVALID_DATA);
            return FALSE;
        }
        std::vector<uint8_t> data = AnsiPropertyData(type, stored);
        if (PropertyRegDataType != nullptr)
        {
            *PropertyRegDataType = type;
        }
        if (RequiredSize != nullptr)
        {
            *RequiredSize = static_cast<DWORD>(data.size());
        }
        if (PropertyBufferSize < data.size())
        {
            SetLastError(ERROR_INSUFFICIENT_BUFFER);
            return FALSE;
        }
        memcpy(PropertyBuffer, data.data(), data.size());
        return TRUE;
    }

    BOOL WINAPI SetupDiSetDeviceRegistryPropertyA(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData,
                                                  DWORD Property, const BYTE* PropertyBuffer,
                                                  DWORD PropertyBufferSize)
    {
        SetCall call(DeviceInfoSet);
        const DeviceInfo* member = call.Member(DeviceInfoData);
        if (member == nullptr)
        {
            return FALSE;
        }
        // Only the two texts a user may change are written here.
        if (Property != SPDRP_DEVICEDESC && Property != SPDRP_FRIENDLYNAME)
        {
            SetLastError(ERROR_INVALID_REG_PROPERTY);
            return FALSE;
        }
        if (PropertyBuffer == nullptr && PropertyBufferSize != 0)
        {
            SetLastError(ERROR_INVALID_USER_BUFFER);
            return FALSE;
        }
        NTSTATUS status = STATUS_SUCCESS;
        if (PropertyBuffer == nullptr)
        {
            // No data deletes the property.
            status = WriteDeviceValue(member->instanceId, PropertyValueName(Property), nullptr);
        }
        else
        {
            const char* text = reinterpret_cast<const char*>(PropertyBuffer);
            std::u16string wide = WideFromAnsi(std::string(text, strnlen(text, PropertyBufferSize)));
            status = WriteDeviceValue(member->instanceId, PropertyValueName(Property), &wide);
        }
        if (!NT_SUCCESS(status))
        {
            return ntdll::FailWith(status);
        }
        return TRUE;
    }

    BOOL WINAPI SetupDiSetClassInstallParamsA(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData,
                                              PSP_CLASSINSTALL_HEADER ClassInstallParams,
                                              DWORD ClassInstallParamsSize)
    {
        SetCall call(DeviceInfoSet);
        InstallParams* params = call.Params(DeviceInfoData);
        if (params == nullptr)
        {
            return FALSE;
        }
        // Every parameter is checked before anything changes.
        if (ClassInstallParams == nullptr)
        {
            if (ClassInstallParamsSize != 0)
            {
                SetLastError(ERROR_INVALID_PARAMETER);
                return FALSE;
            }
            params->propChange.reset();
            params->flags &= ~DI_CLASSINSTALLPARAMS;
            return TRUE;
        }
        if (ClassInstallParamsSize < sizeof(SP_CLASSINSTALL_HEADER) ||
            ClassInstallParams->cbSize != sizeof(SP_CLASSINSTALL_HEADER))
        {
            SetLastError(ERROR_INVALID_USER_BUFFER);
            return FALSE;
        }
        if (ClassInstallParams->InstallFunction != DIF_PROPERTYCHANGE ||
            ClassInstallParamsSize != sizeof(SP_PROPCHANGE_PARAMS))
        {
            SetLastError(ERROR_INVALID_PARAMETER);
            return FALSE;
        }
        const auto* change = reinterpret_cast<const SP_PROPCHANGE_PARAMS*>(ClassInstallParams);
        if (change->StateChange < DICS_ENABLE || change->StateChange > DICS_STOP ||
            (change->Scope != DICS_FLAG_GLOBAL && change->Scope != DICS_FLAG_CONFIGSPECIFIC))
        {
            SetLastError(ERROR_INVALID_FLAGS);
            return FALSE;
        }
        params->propChange = *change;
        params->flags |= DI_CLASSINSTALLPARAMS;
        return TRUE;
    }

    BOOL WINAPI SetupDiCallClassInstaller(DI_FUNCTION InstallFunction, HDEVINFO DeviceInfoSet,
                                          PSP_DEVINFO_DATA DeviceInfoData)
    {
        SetCall call(DeviceInfoSet);
        if (!call)
        {
            return FALSE;
        }
        // The machine's class installers do what Windows' default handlers do, for the one
        // installation request implemented here (see docs/setupapi-and-wmi.md).
        if (InstallFunction != DIF_PROPERTYCHANGE || DeviceInfoData == nullptr)
        {
            SetLastError(ERROR_INVALID_PARAMETER);
            return FALSE;
        }
        DeviceInfo* member = call.Member(DeviceInfoData);
        if (member == nullptr)
        {
            return FALSE;
        }
        // The member's parameters, or else the set's.
        const InstallParams& params = member->params.propChange ? member->params : call->params;
        if (!params.propChange || (params.flags & DI_CLASSINSTALLPARAMS) == 0)
        {
            // Without a state change the request only tells the installers that the device's
            // properties changed (Device Manager sends it so, with DI_PROPERTIES_CHANGE, after a
            // property page changed something): there is nothing for the default handler to do.
            if (((member->params.flags | call->params.flags) & DI_PROPERTIES_CHANGE) != 0)
            {
                return TRUE;
            }
            SetLastError(ERROR_NO_CLASSINSTALL_PARAMS);
            return FALSE;
        }
        SP_PROPCHANGE_PARAMS change = *params.propChange;
        std::u16string instanceId = member->instanceId;
        call.Unlock();

        if (change.Scope == DICS_FLAG_CONFIGSPECIFIC && change.HwProfile > 1)
        {
            SetLastError(ERROR_INVALID_HWPROFILE);
            return FALSE;
        }
        ULONG scope =
            change.Scope == DICS_FLAG_GLOBAL ? PLUGPLAY_CONTROL_GLOBAL : PLUGPLAY_CONTROL_CONFIGSPECIFIC;
        syscall::PLUGPLAY_VETO veto{};
        NTSTATUS status = STATUS_SUCCESS;
        switch (change.StateChange)
        {
        case DICS_ENABLE:
            status = ntdll::PlugPlayControlDevice(instanceId, syscall::PlugPlayEnableDevice, scope, &veto);
            break;
        case DICS_DISABLE:
            status = ntdll::PlugPlayControlDevice(instanceId, syscall::PlugPlayDisableDevice, scope, &veto);
            break;
        case DICS_PROPCHANGE:
            status = ntdll::PlugPlayControlDevice(instanceId, syscall::PlugPlayRestartDevice, 0, &veto);
            break;
        default:
            // DICS_START and DICS_STOP are not for callers of the default handler.
            SetLastError(ERROR_INVALID_FLAGS);
            return FALSE;
        }
        if (status == STATUS_PLUGPLAY_QUERY_VETOED)
        {
            // The device could not be stopped now: the change waits for the machine's restart.
            call.Lock();
            member->params.flags |= DI_NEEDRESTART;
            return TRUE;
        }
        if (status == STATUS_NO_SUCH_DEVICE)
        {
            SetLastError(ERROR_NO_SUCH_DEVINST);
            return FALSE;
        }
        if (!NT_SUCCESS(status))
        {
            return ntdll::FailWith(status);
        }
        return TRUE;
    }

    BOOL WINAPI SetupDiGetDeviceInstallParamsA(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData,
                                               PSP_DEVINSTALL_PARAMS_A DeviceInstallParams)
    {
        SetCall call(DeviceInfoSet);
        InstallParams* params = call.Params(DeviceInfoData);
        if (params == nullptr || !IsInstallParamsBuffer(DeviceInstallParams))
        {
            return FALSE;
        }
        memset(DeviceInstallParams, 0, sizeof(*DeviceInstallParams));
        DeviceInstallParams->cbSize = sizeof(SP_DEVINSTALL_PARAMS_A);
        DeviceInstallParams->Flags = params->flags;
        DeviceInstallParams->FlagsEx = params->flagsEx;
        DeviceInstallParams->hwndParent = params->parent;
        DeviceInstallParams->InstallMsgHandler = params->messageHandler;
        DeviceInstallParams->InstallMsgHandlerContext = params->messageHandlerContext;
        DeviceInstallParams->ClassInstallReserved = params->classInstallReserved;
        memcpy(DeviceInstallParams->DriverPath, params->driverPath.c_str(), params->driverPath.size() + 1);
        return TRUE;
    }

    BOOL WINAPI SetupDiSetDeviceInstallParamsA(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData,
                                               PSP_DEVINSTALL_PARAMS_A DeviceInstallParams)
    {
        // Every parameter is checked before anything changes.
        SetCall call(DeviceInfoSet);
        InstallParams* params = call.Params(DeviceInfoData);
        if (params == nullptr || !IsInstallParamsBuffer(DeviceInstallParams))
        {
            return FALSE;
        }
        // Reserved, obsolete and undefined flags are refused. The machine has no file queues, so
        // neither a queue nor DI_NOVCP, which asks for the caller's queue, can be given.
        DWORD flags = DeviceInstallParams->Flags;
        if ((flags & ~(WritableInstallFlags | SetupapiInstallFlags)) != 0 || (flags & DI_NOVCP) != 0)
        {
            SetLastError(ERROR_INVALID_FLAGS);
            return FALSE;
        }
        if (DeviceInstallParams->FileQueue != nullptr &&
            DeviceInstallParams->FileQueue != INVALID_HANDLE_VALUE)
        {
            SetLastError(ERROR_INVALID_PARAMETER);
            return FALSE;
        }
        const char* driverPath = DeviceInstallParams->DriverPath;
        size_t driverPathLength = strnlen(driverPath, sizeof(DeviceInstallParams->DriverPath));
        if (driverPathLength == sizeof(DeviceInstallParams->DriverPath))
        {
            SetLastError(ERROR_INVALID_PARAMETER);
            return FALSE;
        }
        // The flags only setupapi sets keep the values it gave them.
        params->flags = (flags & WritableInstallFlags) | (params->flags & SetupapiInstallFlags);
        params->flagsEx = DeviceInstallParams->FlagsEx;
        params->parent = DeviceInstallParams->hwndParent;
        params->messageHandler = DeviceInstallParams->InstallMsgHandler;
        params->messageHandlerContext = DeviceInstallParams->InstallMsgHandlerContext;
        params->classInstallReserved = DeviceInstallParams->ClassInstallReserved;
        params->driverPath.assign(driverPath, driverPathLength);
        return TRUE;
    }

} // extern "C"
