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
class ConfigManager;
class HandleTable;
class Scheduler;
class Pool;
class ObjectNamespace;
class EventLog;
class TraceHub;
class IoManager;
class PnpManager;
class PowerManager;
class UserProcess;
class FileIo;
class AtomTable;
class DebugChannel;

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
    // System time at boot, 100 ns units since 1601 (the default is 2026-01-05 09:00:00 UTC).
    LONGLONG bootSystemTime = 134120772000000000LL;
    // Processors that run DPCs concurrently.
    unsigned processors = 2;
    // Whether the clock follows the host's clock instead of moving only when told to.
    bool realTimeClock = false;
    // Host folder where the state the machine shares with its other processes lives (named
    // mutants, the atom table, the debugger-output endpoint). Empty: this process alone.
    std::string machineDirectory;
    // Host folder standing for drive C: (where trace sessions write their log files). Empty: the
    // machine has no drive, and a session with a log file cannot start.
    std::string systemDrive;
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
    // Whether MmGetSystemRoutineAddress finds a routine: the configured Windows version has it and
    // the configuration does not take it away (unavailableRoutines).
    bool IsRoutineAvailable(const char* name) const;
    // NtQuerySystemInformation for the classes the machine knows; STATUS_INVALID_INFO_CLASS for a
    // class the configured version does not have.
    NTSTATUS QueryInformation(ULONG infoClass, PVOID buffer, ULONG length, PULONG returnLength) const;

    Registry& GetRegistry() { return *m_registry; }
    // The configuration manager's key services over the registry.
    ConfigManager& GetConfigManager() { return *m_configManager; }
    HandleTable& Handles() { return *m_handles; }
    Scheduler& GetScheduler() { return *m_scheduler; }
    Pool& GetPool() { return *m_pool; }
    ObjectNamespace& Namespace() { return *m_namespace; }
    EventLog& GetEventLog() { return *m_eventLog; }
    TraceHub& Tracing() { return *m_tracing; }
    IoManager& Io() { return *m_io; }
    PnpManager& Pnp() { return *m_pnp; }
    PowerManager& Power() { return *m_power; }
    // The user-mode process the system services serve, and the managers behind them.
    UserProcess& Process() { return *m_process; }
    FileIo& Files() { return *m_files; }
    AtomTable& Atoms() { return *m_atoms; }
    DebugChannel& DebugOutput() { return *m_debugOutput; }

  private:
    SystemConfig m_config;
    std::unique_ptr<Scheduler> m_scheduler;
    std::unique_ptr<Registry> m_registry;
    std::unique_ptr<ConfigManager> m_configManager;
    std::unique_ptr<HandleTable> m_handles;
    std::unique_ptr<Pool> m_pool;
    std::unique_ptr<ObjectNamespace> m_namespace;
    std::unique_ptr<EventLog> m_eventLog;
    std::unique_ptr<TraceHub> m_tracing;
    std::unique_ptr<IoManager> m_io;
    std::unique_ptr<PnpManager> m_pnp;
    std::unique_ptr<PowerManager> m_power;
    std::unique_ptr<FileIo> m_files;
    std::unique_ptr<UserProcess> m_process;
    std::unique_ptr<AtomTable> m_atoms;
    std::unique_ptr<DebugChannel> m_debugOutput;
};

// Well-known registry paths.
inline constexpr char16_t MachineKeyPath[] = u"\\Registry\\Machine";
inline constexpr char16_t ServicesKeyPath[] = u"\\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Services";
inline constexpr char16_t ControlKeyPath[] = u"\\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Control";
inline constexpr char16_t EnumKeyPath[] = u"\\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Enum";
inline constexpr char16_t DeviceMapKeyPath[] = u"\\Registry\\Machine\\HARDWARE\\DEVICEMAP";
inline constexpr char16_t WindowsNtKeyPath[] =
    u"\\Registry\\Machine\\SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion";

} // namespace winsim::kernel
