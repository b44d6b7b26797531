// The USB bus the readers are plugged into: the hub's driver, which creates a physical device
// object for each connected device, reports it to Plug and Play and answers the bus side of the
// Plug and Play requests.
#pragma once

#include <wdm.h>

#include <mutex>
#include <string>
#include <vector>

namespace winsim::usb
{

// What a connected reader says about itself.
struct DeviceIdentity
{
    USHORT vendorId = 0;
    USHORT productId = 0;
    USHORT revision = 0x0100;
    std::u16string serialNumber; // also the last part of the instance path
    UCHAR deviceClass = 0x02;    // communications
    UCHAR deviceSubClass = 0x02; // abstract control model
    UCHAR deviceProtocol = 0x01; // AT commands (V.250)
    std::u16string description = u"USB Serial Device";
};

struct Connection
{
    PDEVICE_OBJECT pdo = nullptr;
    std::u16string instancePath;
    std::vector<std::u16string> hardwareIds;
    std::vector<std::u16string> compatibleIds;
    std::u16string location;
};

class UsbBus
{
  public:
    UsbBus();
    ~UsbBus();
    UsbBus(const UsbBus&) = delete;
    UsbBus& operator=(const UsbBus&) = delete;

    // Creates the physical device object of a device plugged into the next free port.
    Connection Connect(const DeviceIdentity& identity);
    // The device left the bus; its physical device object goes away with the removal request.
    void Disconnect(PDEVICE_OBJECT pdo);
    bool IsPresent(PDEVICE_OBJECT pdo) const;

  private:
    static NTSTATUS Dispatch(PDEVICE_OBJECT device, PIRP irp);
    PDRIVER_OBJECT m_driver = nullptr;
    ULONG m_nextPort = 1;
    ULONG m_nextPdo = 0;
};

} // namespace winsim::usb
