// The framework's USB target device (WDFUSBDEVICE) and its interfaces (WDFUSBINTERFACE): the
// device's descriptors, read from the bus when the driver creates the target, the selection of a
// configuration, which makes the configured interfaces' pipes (FxUsbPipe.h), and the device's own
// requests to its bus (control transfers, the port's status and reset).
//
// Every request goes to the bus as a Windows client driver's does: an IRP_MJ_INTERNAL_DEVICE_CONTROL
// IRP to the device's lower device object, IOCTL_INTERNAL_USB_SUBMIT_URB with a URB, or one of the
// port controls.
#pragma once

#include "FxIoTarget.h"

#include <usb.h>
#include <wdfusb.h>

#include <functional>
#include <vector>

namespace winsim::wdf
{

class FxMemory;
class FxRequest;
class FxUsbInterface;
class FxUsbPipe;

class FxUsbDevice : public FxIoTarget
{
  public:
    FxUsbDevice(FxDriver* driver, FxDevice* device);

    // Reads the device and configuration descriptors and makes the interface objects.
    NTSTATUS ReadDescriptors();

    const USB_DEVICE_DESCRIPTOR& DeviceDescriptor() const { return m_deviceDescriptor; }
    const std::vector<UCHAR>& ConfigDescriptor() const { return m_config; }
    PUSB_CONFIGURATION_DESCRIPTOR ConfigHeader() const
    {
        return reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(const_cast<UCHAR*>(m_config.data()));
    }
    UCHAR NumInterfaces() const { return static_cast<UCHAR>(m_interfaces.size()); }
    FxUsbInterface* Interface(UCHAR index) const
    {
        return index < m_interfaces.size() ? m_interfaces[index] : nullptr;
    }
    ULONG Traits() const;

    NTSTATUS SelectConfig(PWDF_OBJECT_ATTRIBUTES pipeAttributes, PWDF_USB_DEVICE_SELECT_CONFIG_PARAMS params);

    NTSTATUS FormatControlTransfer(FxRequest* request, const WDF_USB_CONTROL_SETUP_PACKET& packet,
                                   void* buffer, ULONG length, FxMemory* memory, size_t offset,
                                   const char* routine);
    NTSTATUS IsConnected();
    NTSTATUS ResetPort();

    // A synchronous request of the framework's own to a target of this device: the driver's
    // request when it gave one, else one the framework makes for the call. format fills it; done
    // reads it after it completed. Returns its completion status (or the format's failure).
    NTSTATUS SendSynchronously(FxIoTarget* target, FxRequest* driverRequest,
                               PWDF_REQUEST_SEND_OPTIONS options,
                               const std::function<NTSTATUS(FxRequest*)>& format,
                               const std::function<void(FxRequest*)>& done, const char* routine);

  private:
    NTSTATUS GetDescriptor(UCHAR type, void* buffer, ULONG length, ULONG* transferred);
    NTSTATUS Configure(const std::vector<std::pair<FxUsbInterface*, UCHAR>>& selection,
                       PWDF_OBJECT_ATTRIBUTES pipeAttributes);

    USB_DEVICE_DESCRIPTOR m_deviceDescriptor{};
    std::vector<UCHAR> m_config;               // the whole configuration descriptor
    std::vector<FxUsbInterface*> m_interfaces; // in the order the configuration lists them
    USBD_CONFIGURATION_HANDLE m_configuration = nullptr;
};

class FxUsbInterface : public FxObject
{
  public:
    FxUsbInterface(FxDriver* driver, FxUsbDevice* device, UCHAR number);

    struct Setting
    {
        size_t descriptor;             // offset of the interface descriptor in the configuration
        std::vector<size_t> endpoints; // offsets of its endpoint descriptors
    };

    FxUsbDevice* UsbDevice() const { return m_device; }
    UCHAR Number() const { return m_number; }
    std::vector<Setting>& Settings() { return m_settings; }
    const USB_INTERFACE_DESCRIPTOR* Descriptor(UCHAR settingIndex) const;
    UCHAR ConfiguredSetting() const { return m_configuredSetting; }

    UCHAR NumConfiguredPipes() const { return static_cast<UCHAR>(m_pipes.size()); }
    FxUsbPipe* Pipe(UCHAR index) const { return index < m_pipes.size() ? m_pipes[index] : nullptr; }

    // The configuration the bus selected: the interface's handle and pipes.
    NTSTATUS Configure(const USBD_INTERFACE_INFORMATION& info, UCHAR settingIndex,
                       PWDF_OBJECT_ATTRIBUTES pipeAttributes);
    // The configuration went: the pipes are removed and deleted.
    void DropPipes();

  protected:
    bool DriverMayDelete() const override { return false; }

  private:
    FxUsbDevice* m_device;
    UCHAR m_number;
    std::vector<Setting> m_settings;
    UCHAR m_configuredSetting = 0;
    USBD_INTERFACE_HANDLE m_handle = nullptr;
    std::vector<FxUsbPipe*> m_pipes;
};

// The memory a WDFMEMORY and an optional offset describe: a verifier stop for a bad handle,
// STATUS_INVALID_BUFFER_SIZE for a range outside the buffer.
NTSTATUS ResolveMemory(WDFMEMORY handle, PWDFMEMORY_OFFSET offsets, FxMemory** memory, void** buffer,
                       ULONG* length, size_t* offset, const char* routine);
// The same for a memory descriptor of a synchronous call (null: no data).
NTSTATUS ResolveDescriptor(PWDF_MEMORY_DESCRIPTOR descriptor, FxMemory** memory, void** buffer, ULONG* length,
                           size_t* offset, const char* routine);

} // namespace winsim::wdf
