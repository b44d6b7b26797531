#include "FxUsbSupport.h"

namespace fxtest
{

WDFUSBPIPE UsbDevice::Pipe(UCHAR endpointAddress) const
{
    for (UCHAR i = 0; i < WdfUsbTargetDeviceGetNumInterfaces(usb); ++i)
    {
        WDFUSBINTERFACE usbInterface = WdfUsbTargetDeviceGetInterface(usb, i);
        for (UCHAR p = 0; p < WdfUsbInterfaceGetNumConfiguredPipes(usbInterface); ++p)
        {
            WDF_USB_PIPE_INFORMATION info;
            WDF_USB_PIPE_INFORMATION_INIT(&info);
            WDFUSBPIPE pipe = WdfUsbInterfaceGetConfiguredPipe(usbInterface, p, &info);
            if (info.EndpointAddress == endpointAddress)
            {
                return pipe;
            }
        }
    }
    return nullptr;
}

UsbDevice OpenUsbDevice(FxMachine& machine, const ReaderSpec& model, PWDF_OBJECT_ATTRIBUTES pipeAttributes)
{
    UsbDevice opened;
    opened.device = machine.Plug(model);
    EXPECT_EQ(opened.device.State(), DeviceState::Started);
    opened.reader = machine.ReaderOf(opened.device);
    opened.wdf = FxMachine::DeviceOf(opened.device);
    EXPECT_EQ(WdfUsbTargetDeviceCreate(opened.wdf, WDF_NO_OBJECT_ATTRIBUTES, &opened.usb), STATUS_SUCCESS);
    WDF_USB_DEVICE_SELECT_CONFIG_PARAMS params;
    WDF_USB_DEVICE_SELECT_CONFIG_PARAMS_INIT_MULTIPLE_INTERFACES(&params, 0, nullptr);
    EXPECT_EQ(WdfUsbTargetDeviceSelectConfig(opened.usb, pipeAttributes, &params), STATUS_SUCCESS);
    return opened;
}

VOID RecordCompletion(WDFREQUEST request, WDFIOTARGET target, PWDF_REQUEST_COMPLETION_PARAMS params,
                      WDFCONTEXT context)
{
    auto* completion = static_cast<Completion*>(context);
    completion->irql = KeGetCurrentIrql();
    completion->target = target;
    completion->status = params->IoStatus.Status;
    completion->requestStatus = WdfRequestGetStatus(request);
    completion->type = params->Type;
    if (params->Type == WdfRequestTypeUsb)
    {
        PWDF_USB_REQUEST_COMPLETION_PARAMS usb = params->Parameters.Usb.Completion;
        completion->usbdStatus = usb->UsbdStatus;
        completion->usbType = usb->Type;
        completion->buffer = usb->Parameters.PipeRead.Buffer;
        completion->length = usb->Parameters.PipeRead.Length;
        completion->offset = usb->Parameters.PipeRead.Offset;
    }
    completion->calls++;
    KeSetEvent(&completion->done, IO_NO_INCREMENT, FALSE);
}

DriverRequest::DriverRequest(WDFDEVICE device, WDFIOTARGET target, size_t size)
{
    WDF_OBJECT_ATTRIBUTES attributes;
    WDF_OBJECT_ATTRIBUTES_INIT(&attributes);
    attributes.ParentObject = device;
    EXPECT_EQ(WdfRequestCreate(&attributes, target, &request), STATUS_SUCCESS);
    EXPECT_EQ(
        WdfMemoryCreate(&attributes, NonPagedPool, 'tsTU', size, &memory, reinterpret_cast<PVOID*>(&buffer)),
        STATUS_SUCCESS);
}

} // namespace fxtest
