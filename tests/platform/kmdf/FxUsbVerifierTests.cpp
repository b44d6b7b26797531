// The verifier's stops for misuse of sent requests and USB targets: synchronous sends above
// PASSIVE_LEVEL, a request sent, reused or deleted while it is out at a target, and
// WdfRequestComplete on a request the driver created.
#include "FxUsbSupport.h"

using namespace fxtest;

namespace
{

// A machine with a configured test device and a read the reader leaves pending on bulk IN (each
// case runs in its own process).
#define PENDING_READ                                                                                         \
    FxMachine machine;                                                                                       \
    UsbDevice usb = OpenUsbDevice(machine);                                                                  \
    WDFUSBPIPE pipe = usb.Pipe(kBulkIn);                                                                     \
    WDFIOTARGET target = WdfUsbTargetPipeGetIoTarget(pipe);                                                  \
    DriverRequest in(usb.wdf, target, 64);                                                                   \
    WdfUsbTargetPipeFormatRequestForRead(pipe, in.request, in.memory, nullptr);                              \
    WdfRequestSend(in.request, target, WDF_NO_SEND_OPTIONS)

const StopCase kSendStops[] = {
    {"SynchronousSendAtDispatchLevel",
     [] {
         FxMachine machine;
         UsbDevice usb = OpenUsbDevice(machine);
         WDFUSBPIPE pipe = usb.Pipe(kBulkOut);
         DriverRequest out(usb.wdf, WdfUsbTargetPipeGetIoTarget(pipe), 8);
         WdfUsbTargetPipeFormatRequestForWrite(pipe, out.request, out.memory, nullptr);
         WDF_REQUEST_SEND_OPTIONS options;
         WDF_REQUEST_SEND_OPTIONS_INIT(&options, WDF_REQUEST_SEND_OPTION_SYNCHRONOUS);
         KIRQL old;
         KeRaiseIrql(DISPATCH_LEVEL, &old);
         WdfRequestSend(out.request, WdfUsbTargetPipeGetIoTarget(pipe), &options);
     },
     "VERIFIER STOP IRQL_TOO_HIGH: WdfRequestSend\\(WDF_REQUEST_SEND_OPTION_SYNCHRONOUS\\) called at IRQL 2"},
    {"PipeResetAtDispatchLevel",
     [] {
         FxMachine machine;
         UsbDevice usb = OpenUsbDevice(machine);
         KIRQL old;
         KeRaiseIrql(DISPATCH_LEVEL, &old);
         WdfUsbTargetPipeResetSynchronously(usb.Pipe(kBulkIn), WDF_NO_HANDLE, WDF_NO_SEND_OPTIONS);
     },
     "VERIFIER STOP IRQL_TOO_HIGH: WdfUsbTargetPipeResetSynchronously called at IRQL 2"},
    {"ControlTransferAtDispatchLevel",
     [] {
         FxMachine machine;
         UsbDevice usb = OpenUsbDevice(machine);
         WDF_USB_CONTROL_SETUP_PACKET packet;
         WDF_USB_CONTROL_SETUP_PACKET_INIT_CLASS(&packet, BmRequestHostToDevice, BmRequestToInterface, 0x22,
                                                 0, 0);
         KIRQL old;
         KeRaiseIrql(DISPATCH_LEVEL, &old);
         WdfUsbTargetDeviceSendControlTransferSynchronously(usb.usb, WDF_NO_HANDLE, WDF_NO_SEND_OPTIONS,
                                                            &packet, nullptr, nullptr);
     },
     "VERIFIER STOP IRQL_TOO_HIGH: WdfUsbTargetDeviceSendControlTransferSynchronously called at IRQL 2"},
    {"RequestSentAgainWhileOut",
     [] {
         PENDING_READ;
         WdfRequestSend(in.request, target, WDF_NO_SEND_OPTIONS);
     },
     "VERIFIER STOP OBJECT_MISUSE: WdfRequestSend: WDFREQUEST 0x[0-9a-f]+ was sent to WDFIOTARGET "
     "0x[0-9a-f]+ "
     "and has not completed"},
    {"RequestReusedWhileOut",
     [] {
         PENDING_READ;
         WDF_REQUEST_REUSE_PARAMS reuse;
         WDF_REQUEST_REUSE_PARAMS_INIT(&reuse, WDF_REQUEST_REUSE_NO_FLAGS, STATUS_SUCCESS);
         WdfRequestReuse(in.request, &reuse);
     },
     "VERIFIER STOP OBJECT_MISUSE: WdfRequestReuse: WDFREQUEST 0x[0-9a-f]+ was sent to WDFIOTARGET "
     "0x[0-9a-f]+ and has not completed"},
    {"RequestDeletedWhileOut",
     [] {
         PENDING_READ;
         WdfObjectDelete(in.request);
     },
     "VERIFIER STOP OBJECT_MISUSE: WDFREQUEST 0x[0-9a-f]+ is deleted while it is out at WDFIOTARGET "
     "0x[0-9a-f]+"},
    {"CreatedRequestCompleted",
     [] {
         FxMachine machine;
         ASSERT_EQ(machine.Plug().State(), DeviceState::Started);
         WDFREQUEST request = nullptr;
         WdfRequestCreate(WDF_NO_OBJECT_ATTRIBUTES, WDF_NO_HANDLE, &request);
         WdfRequestComplete(request, STATUS_SUCCESS);
     },
     "VERIFIER STOP OBJECT_MISUSE: WdfRequestComplete: WDFREQUEST 0x[0-9a-f]+ was created by the driver; a "
     "driver deletes the requests it created"},
};

INSTANTIATE_TEST_SUITE_P(SentRequests, FxVerifierDeathTest, ::testing::ValuesIn(kSendStops), StopCaseName);

} // namespace
