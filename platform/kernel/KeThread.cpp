// The calling thread's kernel thread object. The simulated kernel keeps its per-thread state (IRQL,
// spin locks held) in the thread's ThreadState; a PKTHREAD names it, opaque to drivers.
#include "Thread.h"

using namespace winsim::kernel;

extern "C"
{

    PKTHREAD KeGetCurrentThread(void)
    {
        return reinterpret_cast<PKTHREAD>(&CurrentThread());
    }

} // extern "C"
