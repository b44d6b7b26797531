// The machine's device nodes as user mode sees them (cfgmgr32's part of setupapi): the device
// instance IDs and interfaces the Plug and Play queries of the seam list, and the values of a
// node's Enum key read through the registry services. setupapi's device information sets and the
// WMI provider's Win32_PnPEntity rows are built from these.
#pragma once

#include <windows.h>

#include <stdint.h>

#include <optional>
#include <string>
#include <vector>

namespace winsim::user
{

struct DeviceInterfaceEntry
{
    std::u16string instanceId;   // USB\VID_2B4E&PID_0730\TR0001
    std::u16string symbolicLink; // \??\USB#VID_2B4E&PID_0730#TR0001#{guid}
    GUID classGuid;              // the interface class, which the link ends with
};

// The instance IDs of the present device nodes (or of every node the machine knows), upper-cased.
// False, with *status, when the query failed.
bool ListDeviceIds(bool presentOnly, std::vector<std::u16string>* ids, NTSTATUS* status);
// The interfaces of a class (of every class without one): the enabled ones, or every registered
// one, in the order the kernel registered them.
bool ListDeviceInterfaces(const GUID* interfaceClass, bool enabledOnly,
                          std::vector<DeviceInterfaceEntry>* entries, NTSTATUS* status);

// The NT path of a node's Enum key (\Registry\Machine\SYSTEM\CurrentControlSet\Enum\<id>).
std::u16string EnumKeyPath(std::u16string_view instanceId);
// A string value (REG_SZ or REG_EXPAND_SZ, up to its first NUL) of a node's Enum key; none when
// the key or the value is missing or of another type.
std::optional<std::u16string> DeviceRegistryString(std::u16string_view instanceId,
                                                   std::u16string_view valueName);

// A value of a node's Enum key as stored: its type and bytes. False when the key or the value is
// missing.
bool DeviceRegistryValue(std::u16string_view instanceId, std::u16string_view valueName, ULONG* type,
                         std::vector<uint8_t>* data);

// cfgmgr32's device node handles (DEVINST): one number per instance ID for the life of the
// process, never 0, so that a handle from an older device information set still names its node.
DWORD DevInstOf(std::u16string_view instanceId);
// The instance ID a handle names; none for a number no call gave out.
std::optional<std::u16string> InstanceIdOfDevInst(DWORD devInst);

// A GUID in its registry form ({4d36e978-e325-11ce-bfc1-08002be10318}, any case).
bool ParseGuid(std::u16string_view text, GUID* guid);

} // namespace winsim::user
