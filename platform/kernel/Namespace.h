// The object manager's namespace: named device objects (\Device\...), symbolic links
// (\DosDevices\COM3, which is \GLOBAL??\COM3), the named objects user mode creates
// (\BaseNamedObjects\...), the object directories that hold them, and device interfaces.
//
// DOS device names come in two directories. \GLOBAL?? holds the names of kernel-mode code (a
// driver's \DosDevices\COM3) and is what \?? and \DosDevices name in kernel mode. The machine's
// user processes all belong to one logon session, whose own DosDevices directory
// (syscall::LogonSessionDosDevices) holds the names they define: in user mode \??\X names the
// session's X when it has one and the global X otherwise, and a name user mode creates under \??
// goes into the session's directory. See docs/port-names.md.
#pragma once

#include <wdm.h>

#include "Handles.h"

#include "syscall/Syscalls.h"

#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace winsim::kernel
{

struct DeviceInterfaceInstance
{
    GUID classGuid;
    std::u16string symbolicLink; // \??\USB#VID_...#{guid}
    std::u16string instancePath; // USB\VID_...\serial
    PDEVICE_OBJECT pdo;
    bool enabled;
};

class ObjectNamespace
{
  public:
    // Named device objects. Names are compared without case.
    NTSTATUS InsertDevice(std::u16string_view name, PDEVICE_OBJECT device);
    void RemoveDevice(PDEVICE_OBJECT device);
    std::optional<std::u16string> DeviceName(PDEVICE_OBJECT device) const;

    // Symbolic links. \DosDevices\X, \??\X and \GLOBAL??\X name the same link.
    NTSTATUS CreateLink(std::u16string_view link, std::u16string_view target);
    NTSTATUS DeleteLink(std::u16string_view link);
    std::optional<std::u16string> LinkTarget(std::u16string_view link) const;

    // Follows links (at most a few levels) and finds the named device. A link's target may hold
    // several NUL-separated names (DefineDosDevice stacks them); the first is the current one.
    PDEVICE_OBJECT Lookup(std::u16string_view name) const;

    // Named objects of user mode (events, mutants). An object stays in the namespace while
    // something refers to it; Insert fails with STATUS_OBJECT_NAME_COLLISION when the name is
    // taken, and with STATUS_OBJECT_PATH_NOT_FOUND when its directory does not exist.
    NTSTATUS InsertObject(std::u16string_view name, const std::shared_ptr<KernelObject>& object);
    std::shared_ptr<KernelObject> FindObject(std::u16string_view name) const;

    // Object directories (\GLOBAL??, \Device, \BaseNamedObjects): whether one exists, and the
    // names directly in it with their object type names, sorted.
    static bool IsDirectory(std::u16string_view path);
    std::vector<std::pair<std::u16string, std::u16string>> DirectoryEntries(std::u16string_view path) const;

    // For people and tests: all named devices and all links, sorted by name.
    std::vector<std::pair<std::u16string, PDEVICE_OBJECT>> Devices() const;
    std::vector<std::pair<std::u16string, std::u16string>> Links() const;

    // Device interfaces.
    NTSTATUS RegisterInterface(PDEVICE_OBJECT pdo, std::u16string_view instancePath, const GUID& classGuid,
                               std::u16string_view referenceString, std::u16string* symbolicLink);
    NTSTATUS SetInterfaceState(std::u16string_view symbolicLink, bool enable);
    // Disables and forgets every interface of a physical device object (the device went away).
    void RemoveInterfacesOf(PDEVICE_OBJECT pdo);
    std::vector<DeviceInterfaceInstance> Interfaces(const GUID& classGuid) const;
    // The interfaces of every class, in the order they were registered.
    std::vector<DeviceInterfaceInstance> Interfaces() const;

    static std::u16string CanonicalLinkName(std::u16string_view link);

    // User mode's view of \??: the link a name under \?? (or \DosDevices) stands for, the
    // session's when it has one, otherwise the global one (in canonical form either way); other
    // names come back as they are. UserCreatedLinkName: where user mode's new link of that name
    // goes.
    std::u16string UserLinkName(std::u16string_view name) const;
    static std::u16string UserCreatedLinkName(std::u16string_view name);
    // The names user mode lists in \??: the session's, then the global ones it does not hide.
    std::vector<std::pair<std::u16string, std::u16string>> UserDosDeviceEntries() const;

    // A test's fault: creating or deleting a DOS device name (a link of that last component in the
    // session's directory or in \GLOBAL??) from user mode fails with STATUS_ACCESS_DENIED, as a
    // security descriptor on the entry would have it.
    void DenyDosName(std::u16string_view dosName);
    void ClearDeniedDosNames();
    bool DosNameDenied(std::u16string_view linkName) const;

  private:
    mutable std::mutex m_lock;
    std::map<std::u16string, std::pair<std::u16string, PDEVICE_OBJECT>> m_devices; // upper-cased name
    std::map<std::u16string, std::pair<std::u16string, std::u16string>> m_links; // upper-cased canonical name
    std::vector<DeviceInterfaceInstance> m_interfaces;
    std::map<std::u16string, std::pair<std::u16string, std::weak_ptr<KernelObject>>> m_objects; // upper-cased
    std::vector<std::u16string> m_deniedDosNames;                                               // upper-cased
};

std::u16string GuidToText(const GUID& guid);

} // namespace winsim::kernel
