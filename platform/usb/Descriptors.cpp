#include "Descriptors.h"

#include <string.h>

namespace winsim::usb
{

namespace
{

constexpr UCHAR CdcDataClass = 0x0A;
constexpr UCHAR CsInterface = 0x24; // class-specific interface descriptor
constexpr UCHAR HeaderFunctional = 0x00;
constexpr UCHAR CallManagementFunctional = 0x01;
constexpr UCHAR AcmFunctional = 0x02;
constexpr UCHAR UnionFunctional = 0x06;
constexpr UCHAR MaxPower100mA = 50; // in 2 mA units

EndpointLayout InterruptEndpoint(Speed speed)
{
    // A polling interval of 1 ms: one frame at full speed, 2^(4-1) microframes at high speed.
    return {Endpoint::Interrupt, InterruptInAddress, USB_ENDPOINT_TYPE_INTERRUPT, InterruptMaxPacket,
            static_cast<UCHAR>(speed == Speed::High ? 4 : 1)};
}

EndpointLayout BulkEndpoint(Endpoint endpoint, Speed speed)
{
    return {endpoint, endpoint == Endpoint::BulkIn ? BulkInAddress : BulkOutAddress, USB_ENDPOINT_TYPE_BULK,
            static_cast<USHORT>(speed == Speed::High ? 512 : 64), 0};
}

void Append(std::vector<UCHAR>& bytes, std::initializer_list<UCHAR> more)
{
    bytes.insert(bytes.end(), more);
}

} // namespace

ConfigurationLayout LayoutOf(Layout layout, Speed speed, bool remoteWake)
{
    ConfigurationLayout configuration;
    configuration.remoteWake = remoteWake;
    InterfaceLayout communication{CommunicationInterface, 0x02, 0x02, 0x01, {}};
    if (layout == Layout::TwoInterfaces)
    {
        communication.endpoints.push_back(InterruptEndpoint(speed));
        InterfaceLayout data{1, CdcDataClass, 0x00, 0x00, {}};
        data.endpoints.push_back(BulkEndpoint(Endpoint::BulkIn, speed));
        data.endpoints.push_back(BulkEndpoint(Endpoint::BulkOut, speed));
        configuration.interfaces = {communication, data};
        return configuration;
    }
    if (layout != Layout::NoInterruptPipe)
    {
        communication.endpoints.push_back(InterruptEndpoint(speed));
    }
    if (layout != Layout::NoBulkIn)
    {
        communication.endpoints.push_back(BulkEndpoint(Endpoint::BulkIn, speed));
    }
    if (layout != Layout::NoBulkOut)
    {
        communication.endpoints.push_back(BulkEndpoint(Endpoint::BulkOut, speed));
    }
    configuration.interfaces = {communication};
    return configuration;
}

USB_DEVICE_DESCRIPTOR DeviceDescriptorOf(const DeviceIdentity& identity, Speed speed)
{
    USB_DEVICE_DESCRIPTOR descriptor{};
    descriptor.bLength = sizeof(USB_DEVICE_DESCRIPTOR);
    descriptor.bDescriptorType = USB_DEVICE_DESCRIPTOR_TYPE;
    descriptor.bcdUSB = speed == Speed::High ? 0x0200 : 0x0110;
    descriptor.bDeviceClass = identity.deviceClass;
    descriptor.bDeviceSubClass = identity.deviceSubClass;
    descriptor.bDeviceProtocol = identity.deviceProtocol;
    descriptor.bMaxPacketSize0 = ControlMaxPacket;
    descriptor.idVendor = identity.vendorId;
    descriptor.idProduct = identity.productId;
    descriptor.bcdDevice = identity.revision;
    descriptor.iManufacturer = ManufacturerString;
    descriptor.iProduct = ProductString;
    descriptor.iSerialNumber = SerialNumberString;
    descriptor.bNumConfigurations = 1;
    return descriptor;
}

std::vector<UCHAR> ConfigurationDescriptorOf(const ConfigurationLayout& configuration)
{
    std::vector<UCHAR> bytes(sizeof(USB_CONFIGURATION_DESCRIPTOR));
    UCHAR dataInterface = configuration.interfaces.back().number;
    for (const InterfaceLayout& interface : configuration.interfaces)
    {
        Append(bytes, {sizeof(USB_INTERFACE_DESCRIPTOR), USB_INTERFACE_DESCRIPTOR_TYPE, interface.number, 0,
                       static_cast<UCHAR>(interface.endpoints.size()), interface.interfaceClass,
                       interface.subClass, interface.protocol, 0});
        if (interface.number == CommunicationInterface)
        {
            // The CDC functional descriptors: class 1.10, call management over the data interface,
            // line coding, control line state and break supported, the union of the interfaces.
            Append(bytes, {5, CsInterface, HeaderFunctional, 0x10, 0x01});
            Append(bytes, {5, CsInterface, CallManagementFunctional, 0x00, dataInterface});
            Append(bytes, {4, CsInterface, AcmFunctional, 0x06});
            Append(bytes, {5, CsInterface, UnionFunctional, CommunicationInterface, dataInterface});
        }
        for (const EndpointLayout& endpoint : interface.endpoints)
        {
            Append(bytes, {sizeof(USB_ENDPOINT_DESCRIPTOR), USB_ENDPOINT_DESCRIPTOR_TYPE, endpoint.address,
                           endpoint.attributes, static_cast<UCHAR>(endpoint.maxPacket & 0xFF),
                           static_cast<UCHAR>(endpoint.maxPacket >> 8), endpoint.interval});
        }
    }
    USB_CONFIGURATION_DESCRIPTOR header{};
    header.bLength = sizeof(USB_CONFIGURATION_DESCRIPTOR);
    header.bDescriptorType = USB_CONFIGURATION_DESCRIPTOR_TYPE;
    header.wTotalLength = static_cast<USHORT>(bytes.size());
    header.bNumInterfaces = static_cast<UCHAR>(configuration.interfaces.size());
    header.bConfigurationValue = ConfigurationValue;
    header.iConfiguration = 0;
    header.bmAttributes = USB_CONFIG_BUS_POWERED | (configuration.remoteWake ? USB_CONFIG_REMOTE_WAKEUP : 0);
    header.MaxPower = MaxPower100mA;
    memcpy(bytes.data(), &header, sizeof(header));
    return bytes;
}

std::vector<UCHAR> StringDescriptorOf(const DeviceIdentity& identity, UCHAR index)
{
    std::u16string text;
    switch (index)
    {
    case 0:
        return {4, USB_STRING_DESCRIPTOR_TYPE, 0x09, 0x04}; // English (United States)
    case ManufacturerString:
        text = identity.manufacturer;
        break;
    case ProductString:
        text = identity.description;
        break;
    case SerialNumberString:
        text = identity.serialNumber;
        break;
    default:
        return {};
    }
    std::vector<UCHAR> bytes = {static_cast<UCHAR>(2 + text.size() * 2), USB_STRING_DESCRIPTOR_TYPE};
    for (char16_t c : text)
    {
        bytes.push_back(static_cast<UCHAR>(c & 0xFF));
        bytes.push_back(static_cast<UCHAR>(c >> 8));
    }
    return bytes;
}

} // namespace winsim::usb
