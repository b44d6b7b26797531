// The driver verifier of the simulated machine: where the real platform would bug-check or stop
// in the verifier (a wait at dispatch level, a request completed twice, a leak at unload...), the
// machine prints a clear diagnostic naming the broken rule and stops the process.
#pragma once

namespace winsim
{

// Rules the verifier enforces; the name appears in the diagnostic.
enum class VerifierRule
{
    IrqlTooHigh,    // a routine that needs a lower IRQL was called above it
    IrqlNotLowered, // KeLowerIrql to a higher level, or a lock released at the wrong level
    SpinLockMisuse, // released a spin lock that is not held, or acquired one already held
    WaitAtDispatch, // a wait with a non-zero time-out at DISPATCH_LEVEL
    LockOrder,      // two named locks taken in both orders
    InvalidHandle,  // a handle that does not name a live object of the right type
    RequestCompletedTwice,
    RequestStillCancelable,
    RequestUsedAfterCompletion,
    RequestLeaked,
    PoolLeak,
    PoolCorruption, // double free, wrong tag on free, free of a foreign pointer
    ObjectLeak,
    ObjectMisuse, // an operation the framework refuses on this object or in this state
    IrpMisuse,
    NoMachine, // a kernel routine ran with no simulated machine booted
};

const char* VerifierRuleName(VerifierRule rule);

// Stops with a diagnostic. Never returns.
[[noreturn]] void VerifierStop(VerifierRule rule, const char* format, ...)
    __attribute__((format(printf, 2, 3)));

} // namespace winsim
