#include "FxTestSupport.h"

#include <wdfldr.h>

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
    ClearFrameworkObjectCreationFault();
}

Device FxMachine::Plug(const std::u16string& serial)
{
    winsim::machine::ReaderSpec reader;
    reader.serialNumber = serial;
    return Plug(reader);
}

Device FxMachine::Plug(winsim::machine::ReaderSpec reader)
{
    reader.vendorId = kVendorId;
    reader.productId = kProductId;
    Device device = Attach(reader);
    if (device.State() == DeviceState::Added)
    {
        EXPECT_EQ(StartDevice(device), STATUS_SUCCESS);
    }
    return device;
}

void FxMachine::Unplug(Device device)
{
    Detach(device);
}

void FxMachine::UnplugAll()
{
    for (Device device : Devices())
    {
        Detach(device);
    }
}

WDFDEVICE FxMachine::DeviceOf(Device device)
{
    return device ? device.FrameworkDevice() : nullptr;
}

bool FxMachine::Loaded()
{
    return LoadedDriver(kService) != nullptr;
}

} // namespace fxtest
