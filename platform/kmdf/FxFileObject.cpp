// Framework file objects and WdfFileObject*.
#include "FxFileObject.h"

#include "FxDevice.h"

using namespace winsim::wdf;

extern "C"
{

    WDFDEVICE imp_WdfFileObjectGetDevice(PWDF_DRIVER_GLOBALS, WDFFILEOBJECT FileObject)
    {
        return reinterpret_cast<WDFDEVICE>(
            FxObject::Get<FxFileObject>(FileObject, FxType::FileObject, "WdfFileObjectGetDevice")
                ->Device()
                ->Handle());
    }

    PFILE_OBJECT imp_WdfFileObjectWdmGetFileObject(PWDF_DRIVER_GLOBALS, WDFFILEOBJECT FileObject)
    {
        return FxObject::Get<FxFileObject>(FileObject, FxType::FileObject, "WdfFileObjectWdmGetFileObject")
            ->Wdm();
    }

} // extern "C"
