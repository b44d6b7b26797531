#include "System.h"

#include "Atoms.h"
#include "ConfigManager.h"
#include "DebugOutput.h"
#include "EventLog.h"
#include "FileIo.h"
#include "Handles.h"
#include "Io.h"
#include "Namespace.h"
#include "Pnp.h"
#include "Power.h"
#include "Pool.h"
#include "Process.h"
#include "Registry.h"
#include "Scheduler.h"
#include "Tracing.h"
#include "Verifier.h"

#include <atomic>
#include <string_view>

namespace winsim::kernel
{

static std::atomic<System*> g_current{nullptr};

System::System(SystemConfig config) : m_config(std::move(config))
{
    System* expected = nullptr;
    if (!g_current.compare_exchange_strong(expected, this))
    {
        VerifierStop(VerifierRule::ObjectMisuse, "a second simulated machine was started in this process");
    }
    m_scheduler =
        std::make_unique<Scheduler>(m_config.bootSystemTime, m_config.processors, m_config.realTimeClock);
    m_registry = std::make_unique<Registry>();
    m_configManager = std::make_unique<ConfigManager>(*m_registry);
    m_handles = std::make_unique<HandleTable>();
    m_pool = std::make_unique<Pool>();
    m_namespace = std::make_unique<ObjectNamespace>();
    m_eventLog = std::make_unique<EventLog>();
    m_tracing = std::make_unique<TraceHub>();
    m_io = std::make_unique<IoManager>();
    m_pnp = std::make_unique<PnpManager>();
    m_power = std::make_unique<PowerManager>();
    m_files = std::make_unique<FileIo>();
    m_process = std::make_unique<UserProcess>();
    m_atoms = std::make_unique<AtomTable>(m_config.machineDirectory);
    m_debugOutput = std::make_unique<DebugChannel>(m_config.machineDirectory);
}

System::~System()
{
    // Whatever the user-mode process still holds goes while the dispatcher runs (the machine runs
    // the process down before this, with its devices still there).
    m_process.reset();
    // The worker and DPC threads stop next, while everything they might touch still exists.
    m_scheduler.reset();
    m_debugOutput.reset();
    m_atoms.reset();
    m_files.reset();
    m_power.reset();
    m_pnp.reset();
    m_io.reset();
    m_tracing.reset();
    m_eventLog.reset();
    m_namespace.reset();
    m_pool.reset();
    m_handles.reset();
    m_configManager.reset();
    m_registry.reset();
    g_current.store(nullptr);
}

System& System::Current()
{
    System* system = g_current.load();
    if (system == nullptr)
    {
        VerifierStop(VerifierRule::NoMachine,
                     "a kernel routine was called while no simulated machine is running");
    }
    return *system;
}

System* System::TryCurrent()
{
    return g_current.load();
}

namespace
{

bool IsWindows8OrLater(const SystemConfig& config)
{
    return config.majorVersion > 6 || (config.majorVersion == 6 && config.minorVersion >= 2);
}

// Windows 10 version 2004 (build 19041) brought ExAllocatePool2 and the pool zeroing class.
bool IsWindows10Version2004OrLater(const SystemConfig& config)
{
    return config.majorVersion > 10 || (config.majorVersion == 10 && config.buildNumber >= 19041);
}

} // namespace

bool System::IsRoutineAvailable(const char* name) const
{
    if (m_config.unavailableRoutines.count(name) != 0)
    {
        return false;
    }
    // Routines that a Windows version does not have at all.
    std::string_view routine(name);
    if (routine == "RtlQueryRegistryValuesEx")
    {
        return IsWindows8OrLater(m_config);
    }
    if (routine == "ExAllocatePool2")
    {
        return m_config.majorVersion >= 10 && m_config.buildNumber >= 19041;
    }
    return true;
}

NTSTATUS System::QueryInformation(ULONG infoClass, PVOID buffer, ULONG length, PULONG returnLength) const
{
    if (infoClass == SystemPoolZeroingInformation && IsWindows10Version2004OrLater(m_config))
    {
        if (returnLength != nullptr)
        {
            *returnLength = sizeof(SYSTEM_POOL_ZEROING_INFORMATION);
        }
        if (length < sizeof(SYSTEM_POOL_ZEROING_INFORMATION))
        {
            return STATUS_INFO_LENGTH_MISMATCH;
        }
        static_cast<PSYSTEM_POOL_ZEROING_INFORMATION>(buffer)->PoolZeroingSupportPresent =
            m_config.poolZeroingNative ? TRUE : FALSE;
        return STATUS_SUCCESS;
    }
    return STATUS_INVALID_INFO_CLASS;
}

} // namespace winsim::kernel
