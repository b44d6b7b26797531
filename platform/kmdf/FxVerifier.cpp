// The framework's checks on its callers.
#include "FxVerifier.h"

namespace winsim::wdf
{

void RequireIrqlAtMost(KIRQL maximum, const char* routine)
{
    KIRQL irql = KeGetCurrentIrql();
    if (irql > maximum)
    {
        VerifierStop(VerifierRule::IrqlTooHigh, "%s called at IRQL %u; it must run at or below IRQL %u",
                     routine, static_cast<unsigned>(irql), static_cast<unsigned>(maximum));
    }
}

} // namespace winsim::wdf
