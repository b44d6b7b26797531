// The framework driver (WDFDRIVER): created in DriverEntry on top of the WDM driver object, it
// takes over the driver's dispatch routines, AddDevice and unload, and owns every framework
// object the driver creates without naming another parent.
#pragma once

#include "FxObject.h"
#include "FxVerifier.h"

#include <string>

namespace winsim::wdf
{

class FxDriver : public FxObject
{
  public:
    FxDriver(PDRIVER_OBJECT wdm, PCUNICODE_STRING registryPath, const WDF_DRIVER_CONFIG& config);

    // The driver of the calling module (the machine loads one framework driver at a time).
    static FxDriver* Current(const char* routine);
    static FxDriver* FromWdm(PDRIVER_OBJECT wdm);

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
    PDRIVER_OBJECT m_wdm;
    std::u16string m_registryPath;
    WDF_DRIVER_CONFIG m_config;
};

// Creates an object whose default parent is the driver and hands out its handle.
template <typename T, typename Handle>
NTSTATUS CreateDriverOwned(PWDF_OBJECT_ATTRIBUTES attributes, Handle* handle, const char* routine)
{
    RequireIrqlAtMost(DISPATCH_LEVEL, routine);
    FxDriver* driver = FxDriver::Current(routine);
    auto* object = new T(driver);
    NTSTATUS status = Publish(object, attributes, driver, routine);
    if (NT_SUCCESS(status))
    {
        *handle = reinterpret_cast<Handle>(object->Handle());
    }
    return status;
}

} // namespace winsim::wdf
