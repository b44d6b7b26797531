// What the framework's USB tests share: a test device on the machine's bus whose USB target the
// test creates and configures (as a driver does in EvtDevicePrepareHardware), its pipes by
// endpoint, and a record of a sent request's completion.
#pragma once

#include <wdfusb.h>

#include "FxTestSupport.h"

#include <atomic>

namespace fxtest
{

using winsim::machine::Reader;
using winsim::machine::ReaderEndpoint;
using winsim::machine::ReaderLayout;
using winsim::machine::ReaderSpec;
using winsim::machine::ReaderSpeed;

// Endpoint addresses of the machine's reader model.
inline constexpr UCHAR kInterruptIn = 0x81;
inline constexpr UCHAR kBulkIn = 0x82;
inline constexpr UCHAR kBulkOut = 0x02;

// A test device, its reader model and its USB target, configured with every interface at setting
// 0 (or as `select` says).
struct UsbDevice
{
    Device device;
    Reader reader;
    WDFDEVICE wdf = nullptr;
    WDFUSBDEVICE usb = nullptr;

    // The pipe of an endpoint; null when the configuration has none.
    WDFUSBPIPE Pipe(UCHAR endpointAddress) const;
};

// Plugs a reader in and creates and configures its USB target; ASSERT-style failures end the test.
UsbDevice OpenUsbDevice(FxMachine& machine, const ReaderSpec& model = {},
                        PWDF_OBJECT_ATTRIBUTES pipeAttributes = WDF_NO_OBJECT_ATTRIBUTES);

// What a request's completion routine saw (RecordCompletion's context).
struct Completion
{
    Completion() { KeInitializeEvent(&done, NotificationEvent, FALSE); }
    // Waits for the completion routine (the calling thread blocks in the machine's kernel).
    void Wait() { KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr); }
    bool Happened() { return KeReadStateEvent(&done) != 0; }

    KEVENT done;
    std::atomic<int> calls{0};
    WDFIOTARGET target = nullptr;
    NTSTATUS status = STATUS_SUCCESS;        // the parameters' IoStatus.Status
    NTSTATUS requestStatus = STATUS_SUCCESS; // WdfRequestGetStatus in the routine
    WDF_REQUEST_TYPE type = WdfRequestTypeNoFormat;
    USBD_STATUS usbdStatus = 0;
    WDF_USB_REQUEST_TYPE usbType = WdfUsbRequestTypeInvalid;
    WDFMEMORY buffer = nullptr;
    size_t length = 0;
    size_t offset = 0;
    KIRQL irql = PASSIVE_LEVEL;
};

EVT_WDF_REQUEST_COMPLETION_ROUTINE RecordCompletion;

// A request of the driver's with a buffer of `size` bytes from pool, both children of the device.
struct DriverRequest
{
    DriverRequest(WDFDEVICE device, WDFIOTARGET target, size_t size);
    WDFREQUEST request = nullptr;
    WDFMEMORY memory = nullptr;
    UCHAR* buffer = nullptr;
};

} // namespace fxtest
