// The object manager's namespace as far as devices need it: named device objects (\Device\...),
// symbolic links (\DosDevices\COM3, which is \GLOBAL??\COM3) and device interfaces.
#pragma once

#include <wdm.h>

#include <map>
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

    // Follows links (at most a few levels) and finds the named device.
    PDEVICE_OBJECT Lookup(std::u16string_view name) const;

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

    static std::u16string CanonicalLinkName(std::u16string_view link);

  private:
    mutable std::mutex m_lock;
    std::map<std::u16string, std::pair<std::u16string, PDEVICE_OBJECT>> m_devices; // upper-cased name
    std::map<std::u16string, std::pair<std::u16string, std::u16string>> m_links; // upper-cased canonical name
    std::vector<DeviceInterfaceInstance> m_interfaces;
};

std::u16string GuidToText(const GUID& guid);

} // namespace winsim::kernel
