// The checks the framework makes on its callers, as KMDF's verifier makes them: a broken rule is a
// verifier stop. The framework learns the caller's IRQL from KeGetCurrentIrql, as a driver would.
#pragma once

#include <wdm.h>

#include "kernel/Verifier.h"

namespace winsim::wdf
{

using winsim::VerifierRule;
using winsim::VerifierStop;

// A verifier stop when the caller runs above the given IRQL.
void RequireIrqlAtMost(KIRQL maximum, const char* routine);

// Whether the caller runs at PASSIVE_LEVEL (the registry routines refuse others with a status).
inline bool AtPassive()
{
    return KeGetCurrentIrql() == PASSIVE_LEVEL;
}

} // namespace winsim::wdf
