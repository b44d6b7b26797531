#include "System.h"

#include "Handles.h"
#include "Registry.h"
#include "Verifier.h"

#include <atomic>

namespace winsim::kernel
{

static std::atomic<System*> g_current{nullptr};

System::System(SystemConfig config) : m_config(std::move(config))
{
    m_registry = std::make_unique<Registry>();
    m_handles = std::make_unique<HandleTable>();
    System* expected = nullptr;
    if (!g_current.compare_exchange_strong(expected, this))
    {
        VerifierStop(VerifierRule::ObjectMisuse, "a second simulated machine was started in this process");
    }
}

System::~System()
{
    g_current.store(nullptr);
}

System& System::Current()
{
    System* system = g_current.load();
    if (system == nullptr)
    {
        VerifierStop(VerifierRule::NoMachine, "a kernel routine was called while no simulated machine is running");
    }
    return *system;
}

System* System::TryCurrent()
{
    return g_current.load();
}

bool System::IsRoutineAvailable(const char* name) const
{
    return m_config.unavailableRoutines.count(name) == 0;
}

} // namespace winsim::kernel
