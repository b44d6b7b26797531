// The framework driver (WDFDRIVER): created in DriverEntry on top of the WDM driver object, it
// takes over the driver's dispatch routines, AddDevice and unload, and owns every framework
// object the driver creates without naming another parent.
//
// Each driver image is bound to the framework by the stub it links (FxDriverEntry calls
// WdfVersionBind before the image's DriverEntry), which gives the image its driver globals. Every
// call the image makes passes them, so the framework always knows the calling driver, and two
// framework drivers on one machine never share objects. The stub unbinds the image after the
// driver unloaded, or when DriverEntry failed; a driver created by then is deleted as at unload.
#pragma once

#include "FxObject.h"
#include "FxVerifier.h"

#include <stddef.h>

#include <string>

namespace winsim::wdf
{

class FxDriver;

// What the framework keeps for one bound driver image.
struct FxDriverGlobals
{
    WDF_DRIVER_GLOBALS Public;  // what the image's WdfDriverGlobals points to
    FxDriver* Driver = nullptr; // from WdfDriverCreate until the driver is deleted

    // The bound image the globals belong to; a verifier stop when they are not a live binding.
    static FxDriverGlobals* Bound(PWDF_DRIVER_GLOBALS globals, const char* routine);
};
static_assert(offsetof(FxDriverGlobals, Public) == 0, "the public globals convert to the framework's");

class FxDriver : public FxObject
{
  public:
    FxDriver(FxDriverGlobals* globals, PDRIVER_OBJECT wdm, PCUNICODE_STRING registryPath,
             const WDF_DRIVER_CONFIG& config);

    // The driver of the calling image; a verifier stop when the image has not created it.
    static FxDriver* FromGlobals(PWDF_DRIVER_GLOBALS globals, const char* routine);
    static FxDriver* FromWdm(PDRIVER_OBJECT wdm);
    // Deletes the driver as the framework does when it unloads (or its DriverEntry failed):
    // cleanup callbacks run, and a framework object of the driver that outlives it is a
    // verifier stop.
    static void Teardown(FxDriver* driver, const char* when);

    PDRIVER_OBJECT Wdm() const { return m_wdm; }
    PWSTR RegistryPath() { return reinterpret_cast<PWSTR>(m_registryPath.data()); }
    const std::u16string& RegistryPathText() const { return m_registryPath; }
    const WDF_DRIVER_CONFIG& Config() const { return m_config; }

    static NTSTATUS Dispatch(PDEVICE_OBJECT device, PIRP irp);
    static NTSTATUS AddDevice(PDRIVER_OBJECT wdm, PDEVICE_OBJECT pdo);
    static VOID Unload(PDRIVER_OBJECT wdm);

  protected:
    bool DriverMayDelete() const override { return false; }

  private:
    FxDriverGlobals* m_globals;
    PDRIVER_OBJECT m_wdm;
    std::u16string m_registryPath;
    WDF_DRIVER_CONFIG m_config;
};

// Creates an object of the calling driver whose default parent is that driver, and hands out its
// handle.
template <typename T, typename Handle>
NTSTATUS CreateDriverOwned(PWDF_DRIVER_GLOBALS globals, PWDF_OBJECT_ATTRIBUTES attributes, Handle* handle,
                           const char* routine)
{
    RequireIrqlAtMost(DISPATCH_LEVEL, routine);
    FxDriver* driver = FxDriver::FromGlobals(globals, routine);
    auto* object = new T(driver);
    NTSTATUS status = Publish(object, attributes, driver, routine);
    if (NT_SUCCESS(status))
    {
        *handle = reinterpret_cast<Handle>(object->Handle());
    }
    return status;
}

} // namespace winsim::wdf
