// Gives every test process a machine of its own: WINSIM_ROOT points to a fresh folder (inherited
// by the processes the test starts) before anything of the simulated machine runs.
#include "TestSupport.h"

namespace
{

struct MachineRoot
{
    MachineRoot()
    {
        const char* existing = getenv("WINSIM_ROOT");
        if (existing != nullptr && existing[0] != 0)
        {
            return;
        }
        root = new testsupport::TempDir;
        setenv("WINSIM_ROOT", root->Path().c_str(), 1);
    }
    ~MachineRoot() { delete root; }
    testsupport::TempDir* root = nullptr;
};

MachineRoot g_machineRoot;

} // namespace
