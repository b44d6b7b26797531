#include "Verifier.h"

#include <stdarg.h>
#include <execinfo.h>
#include <stdio.h>
#include <unistd.h>
#include <stdlib.h>

namespace winsim
{

const char* VerifierRuleName(VerifierRule rule)
{
    switch (rule)
    {
    case VerifierRule::IrqlTooHigh:
        return "IRQL_TOO_HIGH";
    case VerifierRule::IrqlNotLowered:
        return "IRQL_NOT_LOWERED";
    case VerifierRule::SpinLockMisuse:
        return "SPIN_LOCK_MISUSE";
    case VerifierRule::WaitAtDispatch:
        return "WAIT_AT_DISPATCH_LEVEL";
    case VerifierRule::LockOrder:
        return "LOCK_ORDER_INVERSION";
    case VerifierRule::InvalidHandle:
        return "INVALID_HANDLE";
    case VerifierRule::RequestCompletedTwice:
        return "REQUEST_COMPLETED_TWICE";
    case VerifierRule::RequestStillCancelable:
        return "REQUEST_STILL_CANCELABLE";
    case VerifierRule::RequestUsedAfterCompletion:
        return "REQUEST_USED_AFTER_COMPLETION";
    case VerifierRule::RequestLeaked:
        return "REQUEST_LEAKED";
    case VerifierRule::PoolLeak:
        return "POOL_LEAK";
    case VerifierRule::PoolCorruption:
        return "POOL_CORRUPTION";
    case VerifierRule::ObjectLeak:
        return "OBJECT_LEAK";
    case VerifierRule::ObjectMisuse:
        return "OBJECT_MISUSE";
    case VerifierRule::IrpMisuse:
        return "IRP_MISUSE";
    case VerifierRule::NoMachine:
        return "NO_MACHINE";
    }
    return "UNKNOWN_RULE";
}

void VerifierStop(VerifierRule rule, const char* format, ...)
{
    char detail[2048];
    va_list args;
    va_start(args, format);
    vsnprintf(detail, sizeof(detail), format, args);
    va_end(args);
    fprintf(stderr, "\n*** VERIFIER STOP %s: %s\n", VerifierRuleName(rule), detail);
    // Where the rule was broken, as a debugger attached at the stop would show it.
    void* frames[48];
    int count = backtrace(frames, 48);
    backtrace_symbols_fd(frames, count, STDERR_FILENO);
    fflush(stderr);
    abort();
}

} // namespace winsim
