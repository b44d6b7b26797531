#include "Namespace.h"

#include "Pnp.h"
#include "Registry.h"
#include "System.h"
#include "Thread.h"

#include "base/unicode.h"

#include <stdio.h>

#include <algorithm>

namespace winsim::kernel
{

std::u16string GuidToText(const GUID& guid)
{
    char text[40];
    snprintf(text, sizeof(text), "{%08x-%04x-%04x-%02x%02x-%02x%02x%02x%02x%02x%02x}", guid.Data1, guid.Data2,
             guid.Data3, guid.Data4[0], guid.Data4[1], guid.Data4[2], guid.Data4[3], guid.Data4[4],
             guid.Data4[5], guid.Data4[6], guid.Data4[7]);
    return ToUtf16(text);
}

static bool StartsWithNoCase(std::u16string_view text, std::u16string_view prefix)
{
    return text.size() >= prefix.size() && EqualsNoCase(text.substr(0, prefix.size()), prefix);
}

std::u16string ObjectNamespace::CanonicalLinkName(std::u16string_view link)
{
    static constexpr std::u16string_view aliases[] = {u"\\DosDevices\\", u"\\??\\", u"\\GLOBAL??\\"};
    for (auto alias : aliases)
    {
        if (StartsWithNoCase(link, alias))
        {
            return u"\\GLOBAL??\\" + std::u16string(link.substr(alias.size()));
        }
    }
    return std::u16string(link);
}

NTSTATUS ObjectNamespace::InsertDevice(std::u16string_view name, PDEVICE_OBJECT device)
{
    std::lock_guard<std::mutex> guard(m_lock);
    std::u16string key = UpperCase(name);
    if (m_devices.count(key) != 0 || m_links.count(UpperCase(CanonicalLinkName(name))) != 0)
    {
        return STATUS_OBJECT_NAME_COLLISION;
    }
    m_devices[key] = {std::u16string(name), device};
    return STATUS_SUCCESS;
}

void ObjectNamespace::RemoveDevice(PDEVICE_OBJECT device)
{
    std::lock_guard<std::mutex> guard(m_lock);
    for (auto it = m_devices.begin(); it != m_devices.end();)
    {
        it = it->second.second == device ? m_devices.erase(it) : std::next(it);
    }
}

std::optional<std::u16string> ObjectNamespace::DeviceName(PDEVICE_OBJECT device) const
{
    std::lock_guard<std::mutex> guard(m_lock);
    for (const auto& [key, entry] : m_devices)
    {
        if (entry.second == device)
        {
            return entry.first;
        }
    }
    return std::nullopt;
}

NTSTATUS ObjectNamespace::CreateLink(std::u16string_view link, std::u16string_view target)
{
    RequireIrqlAtMost(PASSIVE_LEVEL, "IoCreateSymbolicLink");
    std::lock_guard<std::mutex> guard(m_lock);
    std::u16string canonical = CanonicalLinkName(link);
    std::u16string key = UpperCase(canonical);
    if (m_links.count(key) != 0 || m_devices.count(key) != 0)
    {
        return STATUS_OBJECT_NAME_COLLISION;
    }
    m_links[key] = {canonical, std::u16string(target)};
    return STATUS_SUCCESS;
}

NTSTATUS ObjectNamespace::DeleteLink(std::u16string_view link)
{
    RequireIrqlAtMost(PASSIVE_LEVEL, "IoDeleteSymbolicLink");
    std::lock_guard<std::mutex> guard(m_lock);
    return m_links.erase(UpperCase(CanonicalLinkName(link))) != 0 ? STATUS_SUCCESS
                                                                  : STATUS_OBJECT_NAME_NOT_FOUND;
}

std::optional<std::u16string> ObjectNamespace::LinkTarget(std::u16string_view link) const
{
    std::lock_guard<std::mutex> guard(m_lock);
    auto it = m_links.find(UpperCase(CanonicalLinkName(link)));
    if (it == m_links.end())
    {
        return std::nullopt;
    }
    return it->second.second;
}

PDEVICE_OBJECT ObjectNamespace::Lookup(std::u16string_view name) const
{
    std::u16string current = UserLinkName(name);
    for (int depth = 0; depth < 8; ++depth)
    {
        {
            std::lock_guard<std::mutex> guard(m_lock);
            auto device = m_devices.find(UpperCase(current));
            if (device != m_devices.end())
            {
                return device->second.second;
            }
        }
        std::optional<std::u16string> target = LinkTarget(current);
        if (!target)
        {
            return nullptr;
        }
        current = UserLinkName(target->substr(0, target->find(u'\0')));
    }
    return nullptr;
}

namespace
{

std::u16string_view SessionDirectory()
{
    return syscall::LogonSessionDosDevices;
}

// The part of a name under \?? or \DosDevices after that prefix; empty for another name.
std::u16string_view DosPart(std::u16string_view name)
{
    for (std::u16string_view alias : {std::u16string_view(u"\\??\\"), std::u16string_view(u"\\DosDevices\\")})
    {
        if (StartsWithNoCase(name, alias))
        {
            return name.substr(alias.size());
        }
    }
    return {};
}

} // namespace

std::u16string ObjectNamespace::UserLinkName(std::u16string_view name) const
{
    std::u16string_view dosName = DosPart(name);
    if (dosName.empty())
    {
        return std::u16string(name);
    }
    std::u16string local = std::u16string(SessionDirectory()) + u"\\" + std::u16string(dosName);
    std::lock_guard<std::mutex> guard(m_lock);
    return m_links.count(UpperCase(local)) != 0 ? local : CanonicalLinkName(name);
}

std::u16string ObjectNamespace::UserCreatedLinkName(std::u16string_view name)
{
    std::u16string_view dosName = DosPart(name);
    return dosName.empty() ? std::u16string(name)
                           : std::u16string(SessionDirectory()) + u"\\" + std::u16string(dosName);
}

std::vector<std::pair<std::u16string, std::u16string>> ObjectNamespace::UserDosDeviceEntries() const
{
    std::vector<std::pair<std::u16string, std::u16string>> entries = DirectoryEntries(SessionDirectory());
    std::vector<std::u16string> hidden;
    for (const auto& entry : entries)
    {
        hidden.push_back(UpperCase(entry.first));
    }
    for (auto& entry : DirectoryEntries(u"\\GLOBAL??"))
    {
        if (std::find(hidden.begin(), hidden.end(), UpperCase(entry.first)) == hidden.end())
        {
            entries.push_back(std::move(entry));
        }
    }
    return entries;
}

void ObjectNamespace::DenyDosName(std::u16string_view dosName)
{
    std::lock_guard<std::mutex> guard(m_lock);
    m_deniedDosNames.push_back(UpperCase(dosName));
}

void ObjectNamespace::ClearDeniedDosNames()
{
    std::lock_guard<std::mutex> guard(m_lock);
    m_deniedDosNames.clear();
}

bool ObjectNamespace::DosNameDenied(std::u16string_view linkName) const
{
    std::u16string canonical = CanonicalLinkName(linkName);
    size_t slash = canonical.find_last_of(u'\\');
    if (slash == std::u16string::npos)
    {
        return false;
    }
    std::u16string_view directory = std::u16string_view(canonical).substr(0, slash);
    if (!EqualsNoCase(directory, u"\\GLOBAL??") && !EqualsNoCase(directory, SessionDirectory()))
    {
        return false;
    }
    std::u16string leaf = UpperCase(std::u16string_view(canonical).substr(slash + 1));
    std::lock_guard<std::mutex> guard(m_lock);
    return std::find(m_deniedDosNames.begin(), m_deniedDosNames.end(), leaf) != m_deniedDosNames.end();
}

std::vector<std::pair<std::u16string, PDEVICE_OBJECT>> ObjectNamespace::Devices() const
{
    std::lock_guard<std::mutex> guard(m_lock);
    std::vector<std::pair<std::u16string, PDEVICE_OBJECT>> all;
    for (const auto& [key, entry] : m_devices)
    {
        all.push_back(entry);
    }
    return all;
}

namespace
{

// The directories of the root, and the ones below them that lead to the logon session's DOS devices.
constexpr std::u16string_view kDirectories[] = {u"\\GLOBAL??", u"\\Device", u"\\BaseNamedObjects",
                                                u"\\Sessions"};
constexpr std::u16string_view kSessionDirectories[] = {u"\\Sessions\\0", u"\\Sessions\\0\\DosDevices",
                                                       syscall::LogonSessionDosDevices};

// The directory part of a full object name ("\\BaseNamedObjects\\x" -> "\\BaseNamedObjects").
std::u16string_view DirectoryOf(std::u16string_view name)
{
    size_t slash = name.find_last_of(u'\\');
    return slash == std::u16string_view::npos || slash == 0 ? std::u16string_view(u"\\")
                                                            : name.substr(0, slash);
}

} // namespace

bool ObjectNamespace::IsDirectory(std::u16string_view path)
{
    if (path == u"\\" || EqualsNoCase(path, u"\\??"))
    {
        return true;
    }
    for (auto directory : kDirectories)
    {
        if (EqualsNoCase(path, directory))
        {
            return true;
        }
    }
    for (auto directory : kSessionDirectories)
    {
        if (EqualsNoCase(path, directory))
        {
            return true;
        }
    }
    return false;
}

NTSTATUS ObjectNamespace::InsertObject(std::u16string_view name, const std::shared_ptr<KernelObject>& object)
{
    if (!IsDirectory(DirectoryOf(name)))
    {
        return STATUS_OBJECT_PATH_NOT_FOUND;
    }
    std::lock_guard<std::mutex> guard(m_lock);
    std::u16string key = UpperCase(name);
    auto existing = m_objects.find(key);
    if ((existing != m_objects.end() && !existing->second.second.expired()) || m_devices.count(key) != 0 ||
        m_links.count(UpperCase(CanonicalLinkName(name))) != 0)
    {
        return STATUS_OBJECT_NAME_COLLISION;
    }
    m_objects[key] = {std::u16string(name), object};
    return STATUS_SUCCESS;
}

std::shared_ptr<KernelObject> ObjectNamespace::FindObject(std::u16string_view name) const
{
    std::lock_guard<std::mutex> guard(m_lock);
    auto it = m_objects.find(UpperCase(name));
    return it == m_objects.end() ? nullptr : it->second.second.lock();
}

std::vector<std::pair<std::u16string, std::u16string>> ObjectNamespace::DirectoryEntries(
    std::u16string_view path) const
{
    std::u16string directory = UpperCase(CanonicalLinkName(std::u16string(path) + u"\\"));
    directory.pop_back();
    std::vector<std::pair<std::u16string, std::u16string>> entries;
    auto take = [&](const std::u16string& name, std::u16string_view type) {
        if (DirectoryOf(name).size() == directory.size() && EqualsNoCase(DirectoryOf(name), directory))
        {
            entries.emplace_back(name.substr(directory.size() + 1), std::u16string(type));
        }
    };
    {
        std::lock_guard<std::mutex> guard(m_lock);
        for (const auto& [key, entry] : m_devices)
        {
            take(entry.first, u"Device");
        }
        for (const auto& [key, entry] : m_links)
        {
            take(entry.first, u"SymbolicLink");
        }
        for (const auto& [key, entry] : m_objects)
        {
            if (auto object = entry.second.lock())
            {
                take(entry.first, ToUtf16(object->TypeName()));
            }
        }
    }
    if (directory == u"\\")
    {
        for (auto name : kDirectories)
        {
            entries.emplace_back(std::u16string(name.substr(1)), u"Directory");
        }
    }
    for (auto name : kSessionDirectories)
    {
        if (DirectoryOf(name).size() == directory.size() && EqualsNoCase(DirectoryOf(name), directory))
        {
            entries.emplace_back(std::u16string(name.substr(directory.size() + 1)), u"Directory");
        }
    }
    std::sort(entries.begin(), entries.end(),
              [](const auto& a, const auto& b) { return UpperCase(a.first) < UpperCase(b.first); });
    return entries;
}

std::vector<std::pair<std::u16string, std::u16string>> ObjectNamespace::Links() const
{
    std::lock_guard<std::mutex> guard(m_lock);
    std::vector<std::pair<std::u16string, std::u16string>> all;
    for (const auto& [key, entry] : m_links)
    {
        all.push_back(entry);
    }
    return all;
}

// The interface's symbolic link is built from the device instance path ("\" becomes "#") and the
// class GUID, as Windows names them: \??\USB#VID_2B4E&PID_0730#0001#{86e0d1e0-...}.
NTSTATUS ObjectNamespace::RegisterInterface(PDEVICE_OBJECT pdo, std::u16string_view instancePath,
                                            const GUID& classGuid, std::u16string_view referenceString,
                                            std::u16string* symbolicLink)
{
    RequireIrqlAtMost(PASSIVE_LEVEL, "IoRegisterDeviceInterface");
    std::u16string mangled(instancePath);
    for (auto& c : mangled)
    {
        if (c == u'\\')
        {
            c = u'#';
        }
    }
    std::u16string link = u"\\??\\" + mangled + u"#" + GuidToText(classGuid);
    if (!referenceString.empty())
    {
        link += u"\\" + std::u16string(referenceString);
    }
    {
        std::lock_guard<std::mutex> guard(m_lock);
        bool known = false;
        for (const auto& instance : m_interfaces)
        {
            known = known || EqualsNoCase(instance.symbolicLink, link);
        }
        if (!known)
        {
            m_interfaces.push_back(
                DeviceInterfaceInstance{classGuid, link, std::u16string(instancePath), pdo, false});
        }
    }
    // The persistent part of the registration: DeviceClasses\{guid}\##?#instance#{guid}.
    Registry& registry = System::Current().GetRegistry();
    std::u16string classKey = std::u16string(ControlKeyPath) + u"\\DeviceClasses\\" + GuidToText(classGuid);
    std::u16string instanceKeyName = u"##?#" + mangled + u"#" + GuidToText(classGuid);
    auto key = registry.CreateKey(classKey + u"\\" + instanceKeyName);
    if (key)
    {
        key->SetString(u"DeviceInstance", instancePath);
        registry.CreateKey(classKey + u"\\" + instanceKeyName + u"\\#");
    }
    *symbolicLink = link;
    return STATUS_SUCCESS;
}

NTSTATUS ObjectNamespace::SetInterfaceState(std::u16string_view symbolicLink, bool enable)
{
    RequireIrqlAtMost(PASSIVE_LEVEL, "IoSetDeviceInterfaceState");
    DeviceInterfaceInstance found{};
    {
        std::lock_guard<std::mutex> guard(m_lock);
        DeviceInterfaceInstance* instance = nullptr;
        for (auto& candidate : m_interfaces)
        {
            if (EqualsNoCase(candidate.symbolicLink, symbolicLink))
            {
                instance = &candidate;
            }
        }
        if (instance == nullptr)
        {
            return STATUS_OBJECT_NAME_NOT_FOUND;
        }
        if (instance->enabled == enable)
        {
            // Nothing changes. Windows reports a repeated enable with the informational
            // STATUS_OBJECT_NAME_EXISTS, and fails the disable of an interface that is not enabled.
            return enable ? STATUS_OBJECT_NAME_EXISTS : STATUS_OBJECT_NAME_NOT_FOUND;
        }
        instance->enabled = enable;
        found = *instance;
    }
    // While enabled, the link names the physical device, and the class key shows it as linked.
    std::u16string target = DeviceName(found.pdo).value_or(u"");
    if (enable)
    {
        CreateLink(found.symbolicLink, target);
    }
    else
    {
        DeleteLink(found.symbolicLink);
    }
    std::u16string mangled = found.instancePath;
    for (auto& c : mangled)
    {
        if (c == u'\\')
        {
            c = u'#';
        }
    }
    Registry& registry = System::Current().GetRegistry();
    std::u16string controlKey = std::u16string(ControlKeyPath) + u"\\DeviceClasses\\" +
                                GuidToText(found.classGuid) + u"\\##?#" + mangled + u"#" +
                                GuidToText(found.classGuid) + u"\\#\\Control";
    if (enable)
    {
        auto key = registry.CreateKey(controlKey, true);
        if (key)
        {
            key->SetDword(u"Linked", 1);
        }
    }
    else
    {
        registry.DeleteTree(controlKey);
    }
    System::Current().Pnp().Events().InterfaceChanged(found.classGuid, found.symbolicLink, found.instancePath,
                                                      enable);
    return STATUS_SUCCESS;
}

void ObjectNamespace::RemoveInterfacesOf(PDEVICE_OBJECT pdo)
{
    std::vector<std::u16string> enabled;
    {
        std::lock_guard<std::mutex> guard(m_lock);
        for (const auto& instance : m_interfaces)
        {
            if (instance.pdo == pdo && instance.enabled)
            {
                enabled.push_back(instance.symbolicLink);
            }
        }
    }
    for (const auto& link : enabled)
    {
        SetInterfaceState(link, false);
    }
    std::lock_guard<std::mutex> guard(m_lock);
    for (auto it = m_interfaces.begin(); it != m_interfaces.end();)
    {
        it = it->pdo == pdo ? m_interfaces.erase(it) : std::next(it);
    }
}

std::vector<DeviceInterfaceInstance> ObjectNamespace::Interfaces(const GUID& classGuid) const
{
    std::lock_guard<std::mutex> guard(m_lock);
    std::vector<DeviceInterfaceInstance> all;
    for (const auto& instance : m_interfaces)
    {
        if (IsEqualGUID(instance.classGuid, classGuid))
        {
            all.push_back(instance);
        }
    }
    return all;
}

std::vector<DeviceInterfaceInstance> ObjectNamespace::Interfaces() const
{
    std::lock_guard<std::mutex> guard(m_lock);
    return m_interfaces;
}

} // namespace winsim::kernel
