#include "Thread.h"

#include "Verifier.h"

namespace winsim::kernel
{

ThreadState& CurrentThread()
{
    static thread_local ThreadState state;
    return state;
}

void RequireIrqlAtMost(KIRQL maximum, const char* routine)
{
    KIRQL irql = CurrentIrql();
    if (irql > maximum)
    {
        VerifierStop(VerifierRule::IrqlTooHigh, "%s called at IRQL %u; it must run at or below IRQL %u",
                     routine, static_cast<unsigned>(irql), static_cast<unsigned>(maximum));
    }
}

} // namespace winsim::kernel

using namespace winsim;
using namespace winsim::kernel;

extern "C"
{

    KIRQL KeGetCurrentIrql(void)
    {
        return CurrentIrql();
    }

    VOID KeRaiseIrql(KIRQL NewIrql, PKIRQL OldIrql)
    {
        ThreadState& thread = CurrentThread();
        if (NewIrql < thread.irql)
        {
            VerifierStop(VerifierRule::IrqlNotLowered, "KeRaiseIrql to %u from the higher IRQL %u",
                         static_cast<unsigned>(NewIrql), static_cast<unsigned>(thread.irql));
        }
        *OldIrql = thread.irql;
        thread.irql = NewIrql;
    }

    VOID KeLowerIrql(KIRQL NewIrql)
    {
        ThreadState& thread = CurrentThread();
        if (NewIrql > thread.irql)
        {
            VerifierStop(VerifierRule::IrqlNotLowered, "KeLowerIrql to %u from the lower IRQL %u",
                         static_cast<unsigned>(NewIrql), static_cast<unsigned>(thread.irql));
        }
        thread.irql = NewIrql;
    }

    KIRQL KeRaiseIrqlToDpcLevel(void)
    {
        KIRQL old;
        KeRaiseIrql(DISPATCH_LEVEL, &old);
        return old;
    }

    // PAGED_CODE().
    VOID WinsimCheckPagedCode(PCSTR Routine)
    {
        RequireIrqlAtMost(APC_LEVEL, Routine);
    }

} // extern "C"
