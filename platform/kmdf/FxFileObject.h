// The framework file object (WDFFILEOBJECT): one for each open of a framework device, created at
// IRP_MJ_CREATE and deleted at IRP_MJ_CLOSE or when the create is refused.
#pragma once

#include "FxObject.h"

namespace winsim::wdf
{

class FxDevice;

class FxFileObject : public FxObject
{
  public:
    FxFileObject(FxDriver* driver, FxDevice* device, PFILE_OBJECT wdm)
        : FxObject(FxType::FileObject, driver), m_device(device), m_wdm(wdm)
    {
    }
    FxDevice* Device() const { return m_device; }
    PFILE_OBJECT Wdm() const { return m_wdm; }

  protected:
    bool DriverMayDelete() const override { return false; }

  private:
    FxDevice* m_device;
    PFILE_OBJECT m_wdm;
};

} // namespace winsim::wdf
