// The framework's USB pipe (WDFUSBPIPE): one configured endpoint of an interface, and an I/O target
// of its own. A driver formats reads and writes for it, aborts and resets it, and can give an IN
// pipe a continuous reader (FxContinuousReader.h), which runs while the pipe's target is started.
#pragma once

#include "FxIoTarget.h"

#include <usb.h>
#include <wdfusb.h>

#include <memory>

namespace winsim::wdf
{

class FxContinuousReader;
class FxMemory;
class FxUsbDevice;
class FxUsbInterface;

class FxUsbPipe : public FxIoTarget
{
  public:
    FxUsbPipe(FxDriver* driver, FxUsbDevice* usbDevice, FxUsbInterface* usbInterface,
              const USBD_PIPE_INFORMATION& info, UCHAR settingIndex);

    static FxUsbPipe* FromHandle(WDFUSBPIPE handle, const char* routine);

    FxUsbDevice* UsbDevice() const { return m_usbDevice; }
    FxUsbInterface* Interface() const { return m_interface; }
    const USBD_PIPE_INFORMATION& Info() const { return m_info; }
    void GetInformation(PWDF_USB_PIPE_INFORMATION information) const;
    WDF_USB_PIPE_TYPE PipeType() const;
    bool IsIn() const { return USB_ENDPOINT_DIRECTION_IN(m_info.EndpointAddress) != 0; }
    void SetNoMaximumPacketSizeCheck() { m_checkPacketSize = false; }
    bool ChecksPacketSize() const { return m_checkPacketSize; }

    NTSTATUS FormatTransfer(FxRequest* request, bool read, void* buffer, ULONG length, FxMemory* memory,
                            size_t offset, const char* routine);
    NTSTATUS FormatPipeRequest(FxRequest* request, USHORT function, WDF_USB_REQUEST_TYPE type,
                               const char* routine);
    // Resets the pipe as the framework's own call, whatever the target's state.
    NTSTATUS ResetForReader();

    NTSTATUS ConfigContinuousReader(const WDF_USB_CONTINUOUS_READER_CONFIG& config);

  protected:
    ~FxUsbPipe() override;
    void OnStarted() override;
    void OnStopping() override;
    bool ForcesCancelOnStop() const override { return m_reader != nullptr; }
    void WaitForOwnWork() override;

  private:
    FxUsbDevice* m_usbDevice;
    FxUsbInterface* m_interface;
    USBD_PIPE_INFORMATION m_info;
    UCHAR m_settingIndex;
    bool m_checkPacketSize = true;
    std::unique_ptr<FxContinuousReader> m_reader;
};

} // namespace winsim::wdf
