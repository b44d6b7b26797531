// The subset of the Security Descriptor Definition Language that device objects take: "D:P" and
// then allow entries "(A;;Access;;;SID)", the access as "0x<hex>" or two-letter rights (GA GR GW
// GX RC SD WD WO), the SID as a well-known two-letter name or "S-1-...". The framework checks the
// string a driver assigns for its device (WdfDeviceInitAssignSDDLString) when it creates the
// device object, as Windows does through IoCreateDeviceSecure; a string outside the subset fails
// the creation.
#pragma once

#include <wdm.h>

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace winsim::wdf
{

struct FxSddlAce
{
    ACCESS_MASK access;
    std::u16string sid; // as written
};

// The allow entries of the string's discretionary ACL (none for "D:P"); nothing when the string is
// not in the subset.
std::optional<std::vector<FxSddlAce>> ParseDeviceSddl(std::u16string_view text);

} // namespace winsim::wdf
