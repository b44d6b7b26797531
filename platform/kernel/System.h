// One running Windows kernel: the executive's state for one simulated machine. Exactly one System
// is current in a process at a time; kernel routines called by a driver act on it.
#pragma once

#include <wdm.h>

#include <memory>
#include <set>
#include <string>

namespace winsim::kernel
{

class Registry;
class HandleTable;

struct SystemConfig
{
    // The Windows version RtlGetVersion and PsGetVersion report. 10.0 by default; 6.1 is Windows 7.
    ULONG majorVersion = 10;
    ULONG minorVersion = 0;
    ULONG buildNumber = 19045;
    // Whether the system zeroes pool allocations natively (reported to NtQuerySystemInformation).
    bool poolZeroingNative = true;
    // System routines MmGetSystemRoutineAddress does not find (as on older systems).
    std::set<std::string> unavailableRoutines;
};

class System
{
  public:
    explicit System(SystemConfig config = {});
    ~System();
    System(const System&) = delete;
    System& operator=(const System&) = delete;

    // The current system; a verifier stop when no machine is running.
    static System& Current();
    static System* TryCurrent();

    const SystemConfig& Config() const { return m_config; }
    bool IsRoutineAvailable(const char* name) const;

    Registry& GetRegistry() { return *m_registry; }
    HandleTable& Handles() { return *m_handles; }

  private:
    SystemConfig m_config;
    std::unique_ptr<Registry> m_registry;
    std::unique_ptr<HandleTable> m_handles;
};

// Well-known registry paths.
inline constexpr char16_t MachineKeyPath[] = u"\\Registry\\Machine";
inline constexpr char16_t ServicesKeyPath[] = u"\\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Services";
inline constexpr char16_t ControlKeyPath[] = u"\\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Control";
inline constexpr char16_t EnumKeyPath[] = u"\\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Enum";
inline constexpr char16_t DeviceMapKeyPath[] = u"\\Registry\\Machine\\HARDWARE\\DEVICEMAP";
inline constexpr char16_t WindowsNtKeyPath[] = u"\\Registry\\Machine\\SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion";

} // namespace winsim::kernel
