// The USB bus the readers are plugged into: the hub's driver, which creates a physical device
// object for each connected device, reports it to Plug and Play, answers the bus side of the
// Plug and Play requests, and passes the client driver's internal device controls (request
// blocks, port status and reset, the idle notification) to the reader model on the port.
#pragma once

#include "Descriptors.h"
#include "ReaderModel.h"

#include <wdm.h>

#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace winsim::usb
{

struct Connection
{
    PDEVICE_OBJECT pdo = nullptr;
    std::u16string instancePath;
    std::vector<std::u16string> hardwareIds;
    std::vector<std::u16string> compatibleIds;
    std::u16string location;
    ReaderModel* reader = nullptr; // owned by the bus; lives as long as the bus
};

class UsbBus
{
  public:
    UsbBus();
    ~UsbBus();
    UsbBus(const UsbBus&) = delete;
    UsbBus& operator=(const UsbBus&) = delete;

    // Creates the physical device object of a device plugged into the next free port.
    Connection Connect(const DeviceIdentity& identity, const ReaderOptions& options = {});
    // The device left the bus; its physical device object goes away with the removal request.
    void Disconnect(PDEVICE_OBJECT pdo);
    bool IsPresent(PDEVICE_OBJECT pdo) const;

  private:
    static NTSTATUS Dispatch(PDEVICE_OBJECT device, PIRP irp);
    static NTSTATUS DispatchInternalDeviceControl(PDEVICE_OBJECT device, PIRP irp);
    static void EnableDeviceInterface(PDEVICE_OBJECT device);
    PDRIVER_OBJECT m_driver = nullptr;
    std::vector<std::unique_ptr<ReaderModel>> m_readers;
    ULONG m_nextPort = 1;
    ULONG m_nextPdo = 0;
};

} // namespace winsim::usb
