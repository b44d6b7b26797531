// Registry value names and flags of the Plug and Play keys, as far as the simulated machine keeps
// them, with the names and values of the Windows header of the same name.
#pragma once

// ConfigFlags of a device's Enum key (every hardware profile).
#define REGSTR_VAL_CONFIGFLAGS "ConfigFlags"
#define CONFIGFLAG_DISABLED    0x00000001

// CSConfigFlags of a device's key in a hardware profile
// (SYSTEM\CurrentControlSet\Hardware Profiles\<profile>\System\CurrentControlSet\Enum\<id>).
#define REGSTR_VAL_CSCONFIGFLAGS "CSConfigFlags"
#define CSCONFIGFLAG_DISABLED    0x00000001
