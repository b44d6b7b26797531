// The framework's USB target device and interfaces, and WdfUsbTargetDevice* and WdfUsbInterface*.
#include "FxUsbDevice.h"

#include "FxDevice.h"
#include "FxDriver.h"
#include "FxMemory.h"
#include "FxRequest.h"
#include "FxUsbPipe.h"
#include "FxVerifier.h"

#include <usbioctl.h>

#include <string.h>

namespace winsim::wdf
{

namespace
{
// A bulk endpoint of 512 bytes exists only at high speed; a full-speed bulk endpoint has 64 at most.
constexpr USHORT HighSpeedBulkPacketSize = 512;
// What the framework reports of the bus's USB driver interface.
constexpr ULONG UsbdiVersion = 0x600;
constexpr ULONG SupportedUsbVersion = 0x200;
} // namespace

// --- memory the format calls describe ---------------------------------------------------------

NTSTATUS ResolveMemory(WDFMEMORY handle, PWDFMEMORY_OFFSET offsets, FxMemory** memory, void** buffer,
                       ULONG* length, size_t* offset, const char* routine)
{
    FxMemory* fx = FxMemory::FromHandle(handle, routine);
    size_t start = offsets != nullptr ? offsets->BufferOffset : 0;
    size_t size = fx->Size();
    if (start > size)
    {
        return STATUS_INVALID_BUFFER_SIZE;
    }
    size_t count = offsets != nullptr && offsets->BufferLength != 0 ? offsets->BufferLength : size - start;
    if (count > size - start || count > MAXULONG)
    {
        return STATUS_INVALID_BUFFER_SIZE;
    }
    *memory = fx;
    *buffer = static_cast<UCHAR*>(fx->Buffer()) + start;
    *length = static_cast<ULONG>(count);
    *offset = start;
    return STATUS_SUCCESS;
}

NTSTATUS ResolveDescriptor(PWDF_MEMORY_DESCRIPTOR descriptor, FxMemory** memory, void** buffer, ULONG* length,
                           size_t* offset, const char* routine)
{
    *memory = nullptr;
    *buffer = nullptr;
    *length = 0;
    *offset = 0;
    if (descriptor == nullptr)
    {
        return STATUS_SUCCESS;
    }
    switch (descriptor->Type)
    {
    case WdfMemoryDescriptorTypeBuffer:
        *buffer = descriptor->u.BufferType.Buffer;
        *length = descriptor->u.BufferType.Length;
        return STATUS_SUCCESS;
    case WdfMemoryDescriptorTypeHandle:
        return ResolveMemory(descriptor->u.HandleType.Memory, descriptor->u.HandleType.Offsets, memory,
                             buffer, length, offset, routine);
    case WdfMemoryDescriptorTypeMdl:
        // The machine's framework takes buffers and memory objects; MDLs are not simulated here.
        return STATUS_NOT_SUPPORTED;
    default:
        return STATUS_INVALID_PARAMETER;
    }
}

// --- the USB device ---------------------------------------------------------------------------

FxUsbDevice::FxUsbDevice(FxDriver* driver, FxDevice* device)
    : FxIoTarget(driver, device, device->Lower(), FxType::UsbDevice)
{
}

NTSTATUS FxUsbDevice::SendSynchronously(FxIoTarget* target, FxRequest* driverRequest,
                                        PWDF_REQUEST_SEND_OPTIONS options,
                                        const std::function<NTSTATUS(FxRequest*)>& format,
                                        const std::function<void(FxRequest*)>& done, const char* routine)
{
    RequireIrqlAtMost(PASSIVE_LEVEL, routine);
    if (options != nullptr && options->Size != sizeof(WDF_REQUEST_SEND_OPTIONS))
    {
        VerifierStop(VerifierRule::ObjectMisuse, "%s: WDF_REQUEST_SEND_OPTIONS has size %u, not %zu", routine,
                     options->Size, sizeof(WDF_REQUEST_SEND_OPTIONS));
    }
    FxRequest* request = driverRequest;
    if (request == nullptr)
    {
        request = new FxRequest(Driver(), target->StackSize());
        if (request->Irp() == nullptr)
        {
            FxObject::Discard(request);
            return STATUS_INSUFFICIENT_RESOURCES;
        }
        NTSTATUS status = Publish(request, nullptr, target, routine);
        if (!NT_SUCCESS(status))
        {
            return status;
        }
    }
    NTSTATUS status = format(request);
    if (NT_SUCCESS(status))
    {
        ULONG flags = options != nullptr ? options->Flags : 0;
        flags &= ~(WDF_REQUEST_SEND_OPTION_SYNCHRONOUS | WDF_REQUEST_SEND_OPTION_SEND_AND_FORGET);
        status = target->SendAndWait(request, options, flags | FxIoTarget::SendNoDriverRoutine);
        done(request);
    }
    if (driverRequest == nullptr)
    {
        request->DisposeTree();
    }
    return status;
}

NTSTATUS FxUsbDevice::GetDescriptor(UCHAR type, void* buffer, ULONG length, ULONG* transferred)
{
    return SendSynchronously(
        this, nullptr, nullptr,
        [&](FxRequest* request) {
            NTSTATUS status = request->PrepareFormat(this, "WdfUsbTargetDeviceCreate");
            if (!NT_SUCCESS(status))
            {
                return status;
            }
            request->FormatUsb(WdfUsbRequestTypeDeviceUrb);
            auto& urb = request->Urb().UrbControlDescriptorRequest;
            urb.Hdr.Length = sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST);
            urb.Hdr.Function = URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE;
            urb.TransferBuffer = buffer;
            urb.TransferBufferLength = length;
            urb.DescriptorType = type;
            urb.Index = 0;
            return STATUS_SUCCESS;
        },
        [&](FxRequest* request) {
            *transferred = request->Urb().UrbControlDescriptorRequest.TransferBufferLength;
        },
        "WdfUsbTargetDeviceCreate");
}

NTSTATUS FxUsbDevice::ReadDescriptors()
{
    ULONG transferred = 0;
    NTSTATUS status = GetDescriptor(USB_DEVICE_DESCRIPTOR_TYPE, &m_deviceDescriptor,
                                    sizeof(m_deviceDescriptor), &transferred);
    if (NT_SUCCESS(status) && transferred < sizeof(m_deviceDescriptor))
    {
        status = STATUS_DEVICE_PROTOCOL_ERROR;
    }
    if (!NT_SUCCESS(status))
    {
        return status;
    }
    USB_CONFIGURATION_DESCRIPTOR header{};
    status = GetDescriptor(USB_CONFIGURATION_DESCRIPTOR_TYPE, &header, sizeof(header), &transferred);
    if (NT_SUCCESS(status) && (transferred < sizeof(header) || header.wTotalLength < sizeof(header)))
    {
        status = STATUS_DEVICE_PROTOCOL_ERROR;
    }
    if (!NT_SUCCESS(status))
    {
        return status;
    }
    m_config.assign(header.wTotalLength, 0);
    status =
        GetDescriptor(USB_CONFIGURATION_DESCRIPTOR_TYPE, m_config.data(), header.wTotalLength, &transferred);
    if (NT_SUCCESS(status) && transferred < header.wTotalLength)
    {
        status = STATUS_DEVICE_PROTOCOL_ERROR;
    }
    if (!NT_SUCCESS(status))
    {
        return status;
    }
    // The interfaces, each with its alternate settings and their endpoints, in the configuration's
    // order.
    FxUsbInterface::Setting* setting = nullptr;
    for (size_t at = 0; at + sizeof(USB_COMMON_DESCRIPTOR) <= m_config.size();)
    {
        auto* common = reinterpret_cast<PUSB_COMMON_DESCRIPTOR>(&m_config[at]);
        if (common->bLength < sizeof(USB_COMMON_DESCRIPTOR) || at + common->bLength > m_config.size())
        {
            return STATUS_DEVICE_PROTOCOL_ERROR;
        }
        if (common->bDescriptorType == USB_INTERFACE_DESCRIPTOR_TYPE &&
            common->bLength >= sizeof(USB_INTERFACE_DESCRIPTOR))
        {
            auto* descriptor = reinterpret_cast<PUSB_INTERFACE_DESCRIPTOR>(common);
            FxUsbInterface* found = nullptr;
            for (FxUsbInterface* existing : m_interfaces)
            {
                if (existing->Number() == descriptor->bInterfaceNumber)
                {
                    found = existing;
                }
            }
            if (found == nullptr)
            {
                found = new FxUsbInterface(Driver(), this, descriptor->bInterfaceNumber);
                status = Publish(found, nullptr, this, "WdfUsbTargetDeviceCreate");
                if (!NT_SUCCESS(status))
                {
                    return status;
                }
                m_interfaces.push_back(found);
            }
            found->Settings().push_back(FxUsbInterface::Setting{at, {}});
            setting = &found->Settings().back();
        }
        else if (common->bDescriptorType == USB_ENDPOINT_DESCRIPTOR_TYPE &&
                 common->bLength >= sizeof(USB_ENDPOINT_DESCRIPTOR) && setting != nullptr)
        {
            setting->endpoints.push_back(at);
        }
        at += common->bLength;
    }
    return STATUS_SUCCESS;
}

ULONG FxUsbDevice::Traits() const
{
    ULONG traits = 0;
    if (m_config.size() >= sizeof(USB_CONFIGURATION_DESCRIPTOR))
    {
        UCHAR attributes = ConfigHeader()->bmAttributes;
        if ((attributes & USB_CONFIG_SELF_POWERED) != 0)
        {
            traits |= WDF_USB_DEVICE_TRAIT_SELF_POWERED;
        }
        if ((attributes & USB_CONFIG_REMOTE_WAKEUP) != 0)
        {
            traits |= WDF_USB_DEVICE_TRAIT_REMOTE_WAKE_CAPABLE;
        }
    }
    for (FxUsbInterface* usbInterface : m_interfaces)
    {
        for (const auto& setting : usbInterface->Settings())
        {
            for (size_t at : setting.endpoints)
            {
                auto* endpoint = reinterpret_cast<const USB_ENDPOINT_DESCRIPTOR*>(&m_config[at]);
                if ((endpoint->bmAttributes & USB_ENDPOINT_TYPE_MASK) == USB_ENDPOINT_TYPE_BULK &&
                    (endpoint->wMaxPacketSize & 0x7FF) >= HighSpeedBulkPacketSize)
                {
                    traits |= WDF_USB_DEVICE_TRAIT_AT_HIGH_SPEED;
                }
            }
        }
    }
    return traits;
}

NTSTATUS FxUsbDevice::SelectConfig(PWDF_OBJECT_ATTRIBUTES pipeAttributes,
                                   PWDF_USB_DEVICE_SELECT_CONFIG_PARAMS params)
{
    if (params->Size != sizeof(WDF_USB_DEVICE_SELECT_CONFIG_PARAMS))
    {
        return STATUS_INFO_LENGTH_MISMATCH;
    }
    std::vector<std::pair<FxUsbInterface*, UCHAR>> selection;
    switch (params->Type)
    {
    case WdfUsbTargetDeviceSelectConfigTypeDeconfig:
        break;
    case WdfUsbTargetDeviceSelectConfigTypeSingleInterface:
        if (m_interfaces.size() != 1)
        {
            return STATUS_INVALID_PARAMETER;
        }
        selection.emplace_back(m_interfaces[0], 0);
        break;
    case WdfUsbTargetDeviceSelectConfigTypeMultiInterface:
        for (FxUsbInterface* usbInterface : m_interfaces)
        {
            selection.emplace_back(usbInterface, 0);
        }
        break;
    case WdfUsbTargetDeviceSelectConfigTypeInterfacesPairs: {
        const auto& multi = params->Types.MultiInterface;
        if (multi.NumberInterfaces == 0 || multi.Pairs == nullptr ||
            multi.NumberInterfaces > m_interfaces.size())
        {
            return STATUS_INVALID_PARAMETER;
        }
        for (FxUsbInterface* usbInterface : m_interfaces)
        {
            selection.emplace_back(usbInterface, 0);
        }
        for (UCHAR i = 0; i < multi.NumberInterfaces; ++i)
        {
            auto* usbInterface = FxObject::Get<FxUsbInterface>(
                multi.Pairs[i].UsbInterface, FxType::UsbInterface, "WdfUsbTargetDeviceSelectConfig");
            if (usbInterface->UsbDevice() != this ||
                multi.Pairs[i].SettingIndex >= usbInterface->Settings().size())
            {
                return STATUS_INVALID_PARAMETER;
            }
            for (auto& chosen : selection)
            {
                if (chosen.first == usbInterface)
                {
                    chosen.second = multi.Pairs[i].SettingIndex;
                }
            }
        }
        break;
    }
    default:
        // Selection by descriptors or by a URB of the driver's own is not simulated.
        return STATUS_NOT_SUPPORTED;
    }
    NTSTATUS status = Configure(selection, pipeAttributes);
    if (!NT_SUCCESS(status))
    {
        return status;
    }
    if (params->Type == WdfUsbTargetDeviceSelectConfigTypeSingleInterface)
    {
        params->Types.SingleInterface.ConfiguredUsbInterface =
            reinterpret_cast<WDFUSBINTERFACE>(m_interfaces[0]->Handle());
        params->Types.SingleInterface.NumberConfiguredPipes = m_interfaces[0]->NumConfiguredPipes();
    }
    else if (params->Type != WdfUsbTargetDeviceSelectConfigTypeDeconfig)
    {
        params->Types.MultiInterface.NumberOfConfiguredInterfaces = static_cast<UCHAR>(selection.size());
    }
    return STATUS_SUCCESS;
}

// Builds the select-configuration request block as USBD_CreateConfigurationRequestEx does (one
// interface entry per selected interface, room for its setting's pipes), sends it and makes the
// pipes the bus configured.
NTSTATUS FxUsbDevice::Configure(const std::vector<std::pair<FxUsbInterface*, UCHAR>>& selection,
                                PWDF_OBJECT_ATTRIBUTES pipeAttributes)
{
    size_t size = sizeof(struct _URB_SELECT_CONFIGURATION);
    if (!selection.empty())
    {
        size -= sizeof(USBD_INTERFACE_INFORMATION);
        for (const auto& [usbInterface, setting] : selection)
        {
            size += GET_USBD_INTERFACE_SIZE(usbInterface->Settings()[setting].endpoints.size());
        }
    }
    std::vector<ULONGLONG> storage((size + sizeof(ULONGLONG) - 1) / sizeof(ULONGLONG), 0);
    auto* urb = reinterpret_cast<PURB>(storage.data());
    urb->UrbHeader.Length = static_cast<USHORT>(size);
    urb->UrbHeader.Function = URB_FUNCTION_SELECT_CONFIGURATION;
    urb->UrbSelectConfiguration.ConfigurationDescriptor = selection.empty() ? nullptr : ConfigHeader();
    auto* entry = reinterpret_cast<UCHAR*>(&urb->UrbSelectConfiguration.Interface);
    for (const auto& [usbInterface, setting] : selection)
    {
        auto* info = reinterpret_cast<PUSBD_INTERFACE_INFORMATION>(entry);
        ULONG pipes = static_cast<ULONG>(usbInterface->Settings()[setting].endpoints.size());
        info->Length = static_cast<USHORT>(GET_USBD_INTERFACE_SIZE(pipes));
        info->InterfaceNumber = usbInterface->Number();
        info->AlternateSetting = usbInterface->Descriptor(setting)->bAlternateSetting;
        info->NumberOfPipes = pipes;
        for (ULONG i = 0; i < pipes; ++i)
        {
            info->Pipes[i].MaximumTransferSize = USBD_DEFAULT_MAXIMUM_TRANSFER_SIZE;
        }
        entry += info->Length;
    }
    NTSTATUS status = SendSynchronously(
        this, nullptr, nullptr,
        [&](FxRequest* request) {
            NTSTATUS prepared = request->PrepareFormat(this, "WdfUsbTargetDeviceSelectConfig");
            if (NT_SUCCESS(prepared))
            {
                PIO_STACK_LOCATION next = request->NextStack();
                next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
                next->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB;
                next->Parameters.Others.Argument1 = urb;
            }
            return prepared;
        },
        [](FxRequest*) {}, "WdfUsbTargetDeviceSelectConfig");
    if (!NT_SUCCESS(status))
    {
        return status;
    }
    for (FxUsbInterface* usbInterface : m_interfaces)
    {
        usbInterface->DropPipes();
    }
    m_configuration = urb->UrbSelectConfiguration.ConfigurationHandle;
    entry = reinterpret_cast<UCHAR*>(&urb->UrbSelectConfiguration.Interface);
    for (const auto& [usbInterface, setting] : selection)
    {
        auto* info = reinterpret_cast<PUSBD_INTERFACE_INFORMATION>(entry);
        status = usbInterface->Configure(*info, setting, pipeAttributes);
        if (!NT_SUCCESS(status))
        {
            return status;
        }
        entry += info->Length;
    }
    return STATUS_SUCCESS;
}

NTSTATUS FxUsbDevice::FormatControlTransfer(FxRequest* request, const WDF_USB_CONTROL_SETUP_PACKET& packet,
                                            void* buffer, ULONG length, FxMemory* memory, size_t offset,
                                            const char* routine)
{
    if (length > 0xFFFF)
    {
        return STATUS_INVALID_PARAMETER;
    }
    NTSTATUS status = request->PrepareFormat(this, routine);
    if (!NT_SUCCESS(status))
    {
        return status;
    }
    WDF_USB_CONTROL_SETUP_PACKET setup = packet;
    setup.Packet.wLength = static_cast<USHORT>(length);
    bool in = setup.Packet.bm.Request.Dir == BmRequestDeviceToHost;
    request->FormatUsb(WdfUsbRequestTypeDeviceControlTransfer);
    auto& urb = request->Urb().UrbControlTransferEx;
    urb.Hdr.Length = sizeof(struct _URB_CONTROL_TRANSFER_EX);
    urb.Hdr.Function = URB_FUNCTION_CONTROL_TRANSFER_EX;
    urb.PipeHandle = nullptr;
    urb.TransferFlags = USBD_DEFAULT_PIPE_TRANSFER | (in ? USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK
                                                         : USBD_TRANSFER_DIRECTION_OUT);
    urb.TransferBufferLength = length;
    urb.TransferBuffer = buffer;
    urb.Timeout = 0;
    memcpy(urb.SetupPacket, setup.Generic.Bytes, sizeof(urb.SetupPacket));
    auto& params = request->UsbParams().Parameters.DeviceControlTransfer;
    params.Buffer = memory != nullptr ? reinterpret_cast<WDFMEMORY>(memory->Handle()) : nullptr;
    params.SetupPacket = setup;
    (void)offset;
    request->HoldMemory(memory);
    return STATUS_SUCCESS;
}

NTSTATUS FxUsbDevice::IsConnected()
{
    ULONG portStatus = 0;
    NTSTATUS status = SendSynchronously(
        this, nullptr, nullptr,
        [&](FxRequest* request) {
            NTSTATUS prepared = request->PrepareFormat(this, "WdfUsbTargetDeviceIsConnectedSynchronous");
            if (NT_SUCCESS(prepared))
            {
                request->PortStatus() = 0;
                PIO_STACK_LOCATION next = request->NextStack();
                next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
                next->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_GET_PORT_STATUS;
                next->Parameters.Others.Argument1 = &request->PortStatus();
            }
            return prepared;
        },
        [&](FxRequest* request) { portStatus = request->PortStatus(); },
        "WdfUsbTargetDeviceIsConnectedSynchronous");
    if (!NT_SUCCESS(status))
    {
        return status;
    }
    return (portStatus & USBD_PORT_CONNECTED) != 0 ? STATUS_SUCCESS : STATUS_DEVICE_DOES_NOT_EXIST;
}

NTSTATUS FxUsbDevice::ResetPort()
{
    return SendSynchronously(
        this, nullptr, nullptr,
        [&](FxRequest* request) {
            NTSTATUS prepared = request->PrepareFormat(this, "WdfUsbTargetDeviceResetPortSynchronously");
            if (NT_SUCCESS(prepared))
            {
                PIO_STACK_LOCATION next = request->NextStack();
                next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
                next->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_RESET_PORT;
            }
            return prepared;
        },
        [](FxRequest*) {}, "WdfUsbTargetDeviceResetPortSynchronously");
}

// --- interfaces -------------------------------------------------------------------------------

FxUsbInterface::FxUsbInterface(FxDriver* driver, FxUsbDevice* device, UCHAR number)
    : FxObject(FxType::UsbInterface, driver), m_device(device), m_number(number)
{
}

const USB_INTERFACE_DESCRIPTOR* FxUsbInterface::Descriptor(UCHAR settingIndex) const
{
    if (settingIndex >= m_settings.size())
    {
        return nullptr;
    }
    return reinterpret_cast<const USB_INTERFACE_DESCRIPTOR*>(
        &m_device->ConfigDescriptor()[m_settings[settingIndex].descriptor]);
}

NTSTATUS FxUsbInterface::Configure(const USBD_INTERFACE_INFORMATION& info, UCHAR settingIndex,
                                   PWDF_OBJECT_ATTRIBUTES pipeAttributes)
{
    m_configuredSetting = settingIndex;
    m_handle = info.InterfaceHandle;
    WDF_OBJECT_ATTRIBUTES attributes;
    if (pipeAttributes != nullptr)
    {
        attributes = *pipeAttributes;
    }
    else
    {
        WDF_OBJECT_ATTRIBUTES_INIT(&attributes);
    }
    // A pipe belongs to its interface, whatever the attributes say.
    attributes.ParentObject = Handle();
    for (ULONG i = 0; i < info.NumberOfPipes; ++i)
    {
        auto* pipe = new FxUsbPipe(Driver(), m_device, this, info.Pipes[i], settingIndex);
        NTSTATUS status = Publish(pipe, &attributes, this, "WdfUsbTargetDeviceSelectConfig");
        if (!NT_SUCCESS(status))
        {
            return status;
        }
        m_pipes.push_back(pipe);
    }
    return STATUS_SUCCESS;
}

void FxUsbInterface::DropPipes()
{
    std::vector<FxUsbPipe*> pipes;
    pipes.swap(m_pipes);
    for (FxUsbPipe* pipe : pipes)
    {
        pipe->DisposeTree();
    }
}

} // namespace winsim::wdf

using namespace winsim::wdf;

namespace
{
FxUsbDevice* UsbDeviceOf(WDFUSBDEVICE handle, const char* routine)
{
    return FxObject::Get<FxUsbDevice>(handle, FxType::UsbDevice, routine);
}

FxUsbInterface* InterfaceOf(WDFUSBINTERFACE handle, const char* routine)
{
    return FxObject::Get<FxUsbInterface>(handle, FxType::UsbInterface, routine);
}

NTSTATUS CreateUsbDevice(PWDF_DRIVER_GLOBALS globals, WDFDEVICE Device, PWDF_OBJECT_ATTRIBUTES Attributes,
                         WDFUSBDEVICE* UsbDevice, const char* routine)
{
    RequireIrqlAtMost(PASSIVE_LEVEL, routine);
    FxDriver* driver = FxDriver::FromGlobals(globals, routine);
    FxDevice* device = FxObject::Get<FxDevice>(Device, FxType::Device, routine);
    auto* usbDevice = new FxUsbDevice(driver, device);
    NTSTATUS status = Publish(usbDevice, Attributes, device, routine);
    if (!NT_SUCCESS(status))
    {
        return status;
    }
    status = usbDevice->ReadDescriptors();
    if (!NT_SUCCESS(status))
    {
        usbDevice->DisposeWithoutCallbacks();
        return status;
    }
    *UsbDevice = reinterpret_cast<WDFUSBDEVICE>(usbDevice->Handle());
    return STATUS_SUCCESS;
}
} // namespace

extern "C"
{

    NTSTATUS imp_WdfUsbTargetDeviceCreate(PWDF_DRIVER_GLOBALS DriverGlobals, WDFDEVICE Device,
                                          PWDF_OBJECT_ATTRIBUTES Attributes, WDFUSBDEVICE* UsbDevice)
    {
        return CreateUsbDevice(DriverGlobals, Device, Attributes, UsbDevice, "WdfUsbTargetDeviceCreate");
    }

    NTSTATUS imp_WdfUsbTargetDeviceCreateWithParameters(PWDF_DRIVER_GLOBALS DriverGlobals, WDFDEVICE Device,
                                                        PWDF_USB_DEVICE_CREATE_CONFIG Config,
                                                        PWDF_OBJECT_ATTRIBUTES Attributes,
                                                        WDFUSBDEVICE* UsbDevice)
    {
        if (Config == nullptr || Config->Size != sizeof(WDF_USB_DEVICE_CREATE_CONFIG))
        {
            return STATUS_INFO_LENGTH_MISMATCH;
        }
        return CreateUsbDevice(DriverGlobals, Device, Attributes, UsbDevice,
                               "WdfUsbTargetDeviceCreateWithParameters");
    }

    VOID imp_WdfUsbTargetDeviceGetDeviceDescriptor(PWDF_DRIVER_GLOBALS, WDFUSBDEVICE UsbDevice,
                                                   PUSB_DEVICE_DESCRIPTOR UsbDeviceDescriptor)
    {
        *UsbDeviceDescriptor =
            UsbDeviceOf(UsbDevice, "WdfUsbTargetDeviceGetDeviceDescriptor")->DeviceDescriptor();
    }

    NTSTATUS imp_WdfUsbTargetDeviceRetrieveConfigDescriptor(PWDF_DRIVER_GLOBALS, WDFUSBDEVICE UsbDevice,
                                                            PVOID ConfigDescriptor,
                                                            PUSHORT ConfigDescriptorLength)
    {
        const auto& config =
            UsbDeviceOf(UsbDevice, "WdfUsbTargetDeviceRetrieveConfigDescriptor")->ConfigDescriptor();
        USHORT available = *ConfigDescriptorLength;
        *ConfigDescriptorLength = static_cast<USHORT>(config.size());
        if (ConfigDescriptor == nullptr || available < config.size())
        {
            return STATUS_BUFFER_TOO_SMALL;
        }
        memcpy(ConfigDescriptor, config.data(), config.size());
        return STATUS_SUCCESS;
    }

    NTSTATUS imp_WdfUsbTargetDeviceRetrieveInformation(PWDF_DRIVER_GLOBALS, WDFUSBDEVICE UsbDevice,
                                                       PWDF_USB_DEVICE_INFORMATION Information)
    {
        FxUsbDevice* usbDevice = UsbDeviceOf(UsbDevice, "WdfUsbTargetDeviceRetrieveInformation");
        if (Information == nullptr || Information->Size != sizeof(WDF_USB_DEVICE_INFORMATION))
        {
            return STATUS_INFO_LENGTH_MISMATCH;
        }
        Information->UsbdVersionInformation.USBDI_Version = UsbdiVersion;
        Information->UsbdVersionInformation.Supported_USB_Version = SupportedUsbVersion;
        Information->HcdPortCapabilities = 0;
        Information->Traits = usbDevice->Traits();
        return STATUS_SUCCESS;
    }

    UCHAR imp_WdfUsbTargetDeviceGetNumInterfaces(PWDF_DRIVER_GLOBALS, WDFUSBDEVICE UsbDevice)
    {
        return UsbDeviceOf(UsbDevice, "WdfUsbTargetDeviceGetNumInterfaces")->NumInterfaces();
    }

    WDFUSBINTERFACE imp_WdfUsbTargetDeviceGetInterface(PWDF_DRIVER_GLOBALS, WDFUSBDEVICE UsbDevice,
                                                       UCHAR InterfaceIndex)
    {
        FxUsbInterface* usbInterface =
            UsbDeviceOf(UsbDevice, "WdfUsbTargetDeviceGetInterface")->Interface(InterfaceIndex);
        return usbInterface != nullptr ? reinterpret_cast<WDFUSBINTERFACE>(usbInterface->Handle()) : nullptr;
    }

    WDFIOTARGET imp_WdfUsbTargetDeviceGetIoTarget(PWDF_DRIVER_GLOBALS, WDFUSBDEVICE UsbDevice)
    {
        return reinterpret_cast<WDFIOTARGET>(
            UsbDeviceOf(UsbDevice, "WdfUsbTargetDeviceGetIoTarget")->Handle());
    }

    NTSTATUS imp_WdfUsbTargetDeviceSelectConfig(PWDF_DRIVER_GLOBALS, WDFUSBDEVICE UsbDevice,
                                                PWDF_OBJECT_ATTRIBUTES PipeAttributes,
                                                PWDF_USB_DEVICE_SELECT_CONFIG_PARAMS Params)
    {
        RequireIrqlAtMost(PASSIVE_LEVEL, "WdfUsbTargetDeviceSelectConfig");
        return UsbDeviceOf(UsbDevice, "WdfUsbTargetDeviceSelectConfig")->SelectConfig(PipeAttributes, Params);
    }

    NTSTATUS imp_WdfUsbTargetDeviceSendControlTransferSynchronously(
        PWDF_DRIVER_GLOBALS, WDFUSBDEVICE UsbDevice, WDFREQUEST Request,
        PWDF_REQUEST_SEND_OPTIONS RequestOptions, PWDF_USB_CONTROL_SETUP_PACKET SetupPacket,
        PWDF_MEMORY_DESCRIPTOR MemoryDescriptor, PULONG BytesTransferred)
    {
        const char* const routine = "WdfUsbTargetDeviceSendControlTransferSynchronously";
        RequireIrqlAtMost(PASSIVE_LEVEL, routine);
        FxUsbDevice* usbDevice = UsbDeviceOf(UsbDevice, routine);
        FxRequest* request = Request != nullptr ? RequestOf(Request, routine) : nullptr;
        FxMemory* memory = nullptr;
        void* buffer = nullptr;
        ULONG length = 0;
        size_t offset = 0;
        NTSTATUS status = ResolveDescriptor(MemoryDescriptor, &memory, &buffer, &length, &offset, routine);
        if (!NT_SUCCESS(status))
        {
            return status;
        }
        if (BytesTransferred != nullptr)
        {
            *BytesTransferred = 0;
        }
        return usbDevice->SendSynchronously(
            usbDevice, request, RequestOptions,
            [&](FxRequest* formatted) {
                return usbDevice->FormatControlTransfer(formatted, *SetupPacket, buffer, length, memory,
                                                        offset, routine);
            },
            [&](FxRequest* completed) {
                if (BytesTransferred != nullptr)
                {
                    *BytesTransferred = completed->Urb().UrbControlTransferEx.TransferBufferLength;
                }
            },
            routine);
    }

    NTSTATUS imp_WdfUsbTargetDeviceFormatRequestForControlTransfer(PWDF_DRIVER_GLOBALS,
                                                                   WDFUSBDEVICE UsbDevice, WDFREQUEST Request,
                                                                   PWDF_USB_CONTROL_SETUP_PACKET SetupPacket,
                                                                   WDFMEMORY TransferMemory,
                                                                   PWDFMEMORY_OFFSET TransferOffset)
    {
        const char* const routine = "WdfUsbTargetDeviceFormatRequestForControlTransfer";
        RequireIrqlAtMost(DISPATCH_LEVEL, routine);
        FxUsbDevice* usbDevice = UsbDeviceOf(UsbDevice, routine);
        FxRequest* request = RequestOf(Request, routine);
        FxMemory* memory = nullptr;
        void* buffer = nullptr;
        ULONG length = 0;
        size_t offset = 0;
        if (TransferMemory != nullptr)
        {
            NTSTATUS status =
                ResolveMemory(TransferMemory, TransferOffset, &memory, &buffer, &length, &offset, routine);
            if (!NT_SUCCESS(status))
            {
                return status;
            }
        }
        return usbDevice->FormatControlTransfer(request, *SetupPacket, buffer, length, memory, offset,
                                                routine);
    }

    NTSTATUS imp_WdfUsbTargetDeviceIsConnectedSynchronous(PWDF_DRIVER_GLOBALS, WDFUSBDEVICE UsbDevice)
    {
        RequireIrqlAtMost(PASSIVE_LEVEL, "WdfUsbTargetDeviceIsConnectedSynchronous");
        return UsbDeviceOf(UsbDevice, "WdfUsbTargetDeviceIsConnectedSynchronous")->IsConnected();
    }

    NTSTATUS imp_WdfUsbTargetDeviceResetPortSynchronously(PWDF_DRIVER_GLOBALS, WDFUSBDEVICE UsbDevice)
    {
        RequireIrqlAtMost(PASSIVE_LEVEL, "WdfUsbTargetDeviceResetPortSynchronously");
        return UsbDeviceOf(UsbDevice, "WdfUsbTargetDeviceResetPortSynchronously")->ResetPort();
    }

    UCHAR imp_WdfUsbInterfaceGetInterfaceNumber(PWDF_DRIVER_GLOBALS, WDFUSBINTERFACE UsbInterface)
    {
        return InterfaceOf(UsbInterface, "WdfUsbInterfaceGetInterfaceNumber")->Number();
    }

    UCHAR imp_WdfUsbInterfaceGetNumEndpoints(PWDF_DRIVER_GLOBALS, WDFUSBINTERFACE UsbInterface,
                                             UCHAR SettingIndex)
    {
        const USB_INTERFACE_DESCRIPTOR* descriptor =
            InterfaceOf(UsbInterface, "WdfUsbInterfaceGetNumEndpoints")->Descriptor(SettingIndex);
        return descriptor != nullptr ? descriptor->bNumEndpoints : 0;
    }

    UCHAR imp_WdfUsbInterfaceGetNumSettings(PWDF_DRIVER_GLOBALS, WDFUSBINTERFACE UsbInterface)
    {
        return static_cast<UCHAR>(
            InterfaceOf(UsbInterface, "WdfUsbInterfaceGetNumSettings")->Settings().size());
    }

    VOID imp_WdfUsbInterfaceGetDescriptor(PWDF_DRIVER_GLOBALS, WDFUSBINTERFACE UsbInterface,
                                          UCHAR SettingIndex, PUSB_INTERFACE_DESCRIPTOR InterfaceDescriptor)
    {
        const USB_INTERFACE_DESCRIPTOR* descriptor =
            InterfaceOf(UsbInterface, "WdfUsbInterfaceGetDescriptor")->Descriptor(SettingIndex);
        if (descriptor != nullptr)
        {
            *InterfaceDescriptor = *descriptor;
        }
        else
        {
            memset(InterfaceDescriptor, 0, sizeof(USB_INTERFACE_DESCRIPTOR));
        }
    }

    UCHAR imp_WdfUsbInterfaceGetConfiguredSettingIndex(PWDF_DRIVER_GLOBALS, WDFUSBINTERFACE Interface)
    {
        return InterfaceOf(Interface, "WdfUsbInterfaceGetConfiguredSettingIndex")->ConfiguredSetting();
    }

    UCHAR imp_WdfUsbInterfaceGetNumConfiguredPipes(PWDF_DRIVER_GLOBALS, WDFUSBINTERFACE UsbInterface)
    {
        return InterfaceOf(UsbInterface, "WdfUsbInterfaceGetNumConfiguredPipes")->NumConfiguredPipes();
    }

    WDFUSBPIPE imp_WdfUsbInterfaceGetConfiguredPipe(PWDF_DRIVER_GLOBALS, WDFUSBINTERFACE UsbInterface,
                                                    UCHAR PipeIndex, PWDF_USB_PIPE_INFORMATION PipeInfo)
    {
        FxUsbPipe* pipe = InterfaceOf(UsbInterface, "WdfUsbInterfaceGetConfiguredPipe")->Pipe(PipeIndex);
        if (pipe == nullptr)
        {
            return nullptr;
        }
        if (PipeInfo != nullptr)
        {
            pipe->GetInformation(PipeInfo);
        }
        return reinterpret_cast<WDFUSBPIPE>(pipe->Handle());
    }

} // extern "C"
