// What a reader on the bus looks like to the host: the identity it reports, the interfaces and
// endpoints of its one configuration in each layout the machine can plug in, and the descriptors
// built from them (device, configuration with its interfaces, class-specific and endpoint
// descriptors, strings). See docs/usb-reader-model.md for the layouts side by side.
#pragma once

#include <wdm.h>
#include <usbspec.h>

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
    std::u16string manufacturer = u"Tarno";
};

enum class Layout
{
    SingleInterface, // interface 0: interrupt IN, bulk IN, bulk OUT
    TwoInterfaces,   // CDC: communication interface 0 (interrupt IN), data interface 1 (bulk IN, bulk OUT)
    NoInterruptPipe, // the single interface without its interrupt IN endpoint
    NoBulkIn,        // ... without its bulk IN endpoint
    NoBulkOut,       // ... without its bulk OUT endpoint
};

enum class Speed
{
    Full, // 12 Mbit/s: bulk packets of 64 bytes
    High, // 480 Mbit/s: bulk packets of 512 bytes
};

// The reader's endpoints; the default control pipe counts as one (for faults and records).
enum class Endpoint
{
    Default,
    Interrupt,
    BulkIn,
    BulkOut,
};
constexpr int EndpointCount = 4;

constexpr UCHAR InterruptInAddress = 0x81;
constexpr UCHAR BulkInAddress = 0x82;
constexpr UCHAR BulkOutAddress = 0x02;
constexpr USHORT InterruptMaxPacket = 16;
constexpr USHORT ControlMaxPacket = 64;
constexpr UCHAR ConfigurationValue = 1;
constexpr UCHAR CommunicationInterface = 0;

// String descriptor indexes of the device descriptor.
constexpr UCHAR ManufacturerString = 1;
constexpr UCHAR ProductString = 2;
constexpr UCHAR SerialNumberString = 3;

struct EndpointLayout
{
    Endpoint endpoint;
    UCHAR address;
    UCHAR attributes; // USB_ENDPOINT_TYPE_*
    USHORT maxPacket;
    UCHAR interval;
};

struct InterfaceLayout
{
    UCHAR number;
    UCHAR interfaceClass;
    UCHAR subClass;
    UCHAR protocol;
    std::vector<EndpointLayout> endpoints;
};

struct ConfigurationLayout
{
    std::vector<InterfaceLayout> interfaces;
    bool remoteWake = true;
};

ConfigurationLayout LayoutOf(Layout layout, Speed speed, bool remoteWake);

USB_DEVICE_DESCRIPTOR DeviceDescriptorOf(const DeviceIdentity& identity, Speed speed);
// The configuration descriptor and everything after it, wTotalLength bytes.
std::vector<UCHAR> ConfigurationDescriptorOf(const ConfigurationLayout& configuration);
// String descriptor `index` (0: the language list), or empty when the device has none.
std::vector<UCHAR> StringDescriptorOf(const DeviceIdentity& identity, UCHAR index);

} // namespace winsim::usb
