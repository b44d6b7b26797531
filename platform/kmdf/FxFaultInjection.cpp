// Fault injection for the creation of framework objects.
#include "FxFaultInjection.h"

#include <mutex>

namespace winsim::wdf
{

namespace
{
struct ArmedFailure
{
    bool armed = false;
    bool hit = false;
    unsigned skip = 0;
    std::optional<FxType> kind;
};

std::mutex g_lock;
ArmedFailure g_failure;
} // namespace

void FailObjectCreation(unsigned skip, std::optional<FxType> kind)
{
    std::lock_guard<std::mutex> guard(g_lock);
    g_failure = ArmedFailure{true, false, skip, kind};
}

void ClearObjectCreationFault()
{
    std::lock_guard<std::mutex> guard(g_lock);
    g_failure = ArmedFailure{};
}

bool ObjectCreationFaultHit()
{
    std::lock_guard<std::mutex> guard(g_lock);
    return g_failure.hit;
}

bool ObjectCreationFails(FxType kind)
{
    std::lock_guard<std::mutex> guard(g_lock);
    if (!g_failure.armed || (g_failure.kind && *g_failure.kind != kind))
    {
        return false;
    }
    if (g_failure.skip > 0)
    {
        --g_failure.skip;
        return false;
    }
    g_failure.armed = false;
    g_failure.hit = true;
    return true;
}

} // namespace winsim::wdf
