// The devices a machine has from boot besides the readers, as Device Manager shows them on a
// Windows computer: the serial ports of its board (ACPI\PNP0501), its USB host controller (an
// Intel xHCI controller on PCI) and the controller's root hub. Their drivers (serial, usbxhci,
// usbhub3) are not simulated: each node carries what setup would have written for it, is Started,
// and its physical device object (owned by a bus driver object of this unit) answers Plug and
// Play and power requests with success. They register no device interfaces and create no device
// objects of their own, so COM1 is a name in SERIALCOMM and the COM-name database, not a port.
#pragma once

#include <wdm.h>

#include <string>
#include <vector>

namespace winsim::kernel
{
struct DeviceNode;
}

namespace winsim::machine
{

class BuiltInDevices
{
  public:
    // Reports the devices to Plug and Play and writes their keys: one serial port for each COM
    // number (in order: ACPI\PNP0501\1 is the first), the host controller, its root hub.
    explicit BuiltInDevices(const std::vector<unsigned>& comPorts);
    // Deletes the physical device objects; the nodes stay known, removed.
    ~BuiltInDevices();
    BuiltInDevices(const BuiltInDevices&) = delete;
    BuiltInDevices& operator=(const BuiltInDevices&) = delete;

  private:
    struct BoardDevice
    {
        std::u16string instancePath;
        std::vector<std::u16string> hardwareIds;
        std::vector<std::u16string> compatibleIds;
        std::u16string description;
        std::u16string location;
        std::u16string className;
        std::u16string classGuid;
        std::u16string service;
        std::u16string manufacturer;
    };

    kernel::DeviceNode* Report(PDRIVER_OBJECT bus, const BoardDevice& device);
    static NTSTATUS Dispatch(PDEVICE_OBJECT device, PIRP irp);

    PDRIVER_OBJECT m_acpi = nullptr; // the buses that own the physical device objects
    PDRIVER_OBJECT m_pci = nullptr;
    PDRIVER_OBJECT m_xhci = nullptr;
    std::vector<kernel::DeviceNode*> m_nodes;
};

} // namespace winsim::machine
