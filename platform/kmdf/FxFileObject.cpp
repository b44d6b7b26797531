// Framework file objects and WdfFileObject*.
#include "FxFileObject.h"

#include "FxDevice.h"

using namespace winsim::wdf;

extern "C"
{

    WDFDEVICE WdfFileObjectGetDevice(WDFFILEOBJECT FileObject)
    {
        return reinterpret_cast<WDFDEVICE>(
            FxObject::Get<FxFileObject>(FileObject, FxType::FileObject, "WdfFileObjectGetDevice")
                ->Device()
                ->Handle());
    }

    PFILE_OBJECT WdfFileObjectWdmGetFileObject(WDFFILEOBJECT FileObject)
    {
        return FxObject::Get<FxFileObject>(FileObject, FxType::FileObject, "WdfFileObjectWdmGetFileObject")
            ->Wdm();
    }

} // extern "C"
