#include "FxTestSupport.h"

#include <wdfldr.h>

#include "kmdf/FxFaultInjection.h"

// What the machine's facade does not offer yet, taken from the kernel itself: starting a device
// and whether a driver is loaded (Plug and Play), a clock step finer than a millisecond (the
// scheduler), the pool's records, and the spin locks a thread holds.
#include "kernel/Pnp.h"
#include "kernel/Pool.h"
#include "kernel/Scheduler.h"
#include "kernel/Thread.h"

namespace fxtest
{

FxMachine::FxMachine() : hooks(TestDriverHooks())
{
    hooks = DriverHooks{};
    // Linked into the test: the framework's stub is its entry point, as in an image.
    UseBuiltInDriver(kImageFile, FxDriverEntry);
    InstallPackage(WritePackage(Root() / "fxtest-package"));
}

FxMachine::~FxMachine()
{
    winsim::wdf::ClearObjectCreationFault();
}

DeviceNode* FxMachine::Plug(const std::u16string& serial)
{
    winsim::machine::ReaderSpec device;
    device.vendorId = kVendorId;
    device.productId = kProductId;
    device.serialNumber = serial;
    DeviceNode* node = Attach(device);
    if (node->state == DeviceNodeState::Added)
    {
        EXPECT_EQ(System().Pnp().StartDevice(node), STATUS_SUCCESS);
    }
    return node;
}

void FxMachine::Unplug(DeviceNode* node)
{
    Detach(node);
}

void FxMachine::UnplugAll()
{
    for (DeviceNode* node : Devices())
    {
        Detach(node);
    }
}

WDFDEVICE FxMachine::DeviceOf(DeviceNode* node)
{
    if (node == nullptr || node->pdo == nullptr || node->pdo->AttachedDevice == nullptr)
    {
        return nullptr;
    }
    return WdfWdmDeviceGetWdfDeviceHandle(node->pdo->AttachedDevice);
}

bool FxMachine::Loaded()
{
    return System().Pnp().LoadedDriver(kService) != nullptr;
}

void FxMachine::AdvanceClockTicks(ULONGLONG ticks)
{
    System().GetScheduler().Advance(ticks);
}

size_t FxMachine::PoolLiveCount()
{
    return System().GetPool().LiveCount();
}

std::optional<PoolBlock> FxMachine::PoolBlockAt(const void* address)
{
    winsim::kernel::PoolAllocation found{};
    if (!System().GetPool().Find(address, &found))
    {
        return std::nullopt;
    }
    return PoolBlock{found.address, found.size, found.tag, found.type};
}

void FxMachine::FailNextPoolAllocations(unsigned count)
{
    System().GetPool().FailNextAllocations(count);
}

int SpinLocksHeldByCurrentThread()
{
    return winsim::kernel::CurrentThread().spinLocksHeld;
}

} // namespace fxtest
