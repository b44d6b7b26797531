// The framework's USB target objects: the USB device (WDFUSBDEVICE), its interfaces
// (WDFUSBINTERFACE) and their pipes (WDFUSBPIPE), the requests a driver formats for them, and the
// continuous reader of an IN pipe, as far as the machine implements them.
#pragma once

#include <wdf.h>

#include <usb.h>
#include <usbspec.h>

WINSIM_EXTERN_C_BEGIN

// ---------------------------------------------------------------------------------------------
// Pipes' information, control setup packets and completion parameters

typedef enum _WDF_USB_PIPE_TYPE
{
    WdfUsbPipeTypeInvalid = 0,
    WdfUsbPipeTypeControl,
    WdfUsbPipeTypeIsochronous,
    WdfUsbPipeTypeBulk,
    WdfUsbPipeTypeInterrupt,
} WDF_USB_PIPE_TYPE, *PWDF_USB_PIPE_TYPE;

typedef struct _WDF_USB_PIPE_INFORMATION
{
    ULONG Size;
    ULONG MaximumPacketSize;
    UCHAR EndpointAddress;
    UCHAR Interval;
    UCHAR SettingIndex;
    WDF_USB_PIPE_TYPE PipeType;
    ULONG MaximumTransferSize;
} WDF_USB_PIPE_INFORMATION, *PWDF_USB_PIPE_INFORMATION;

typedef enum _WDF_USB_REQUEST_TYPE
{
    WdfUsbRequestTypeInvalid = 0,
    WdfUsbRequestTypeNoFormat,
    WdfUsbRequestTypeDeviceString,
    WdfUsbRequestTypeDeviceControlTransfer,
    WdfUsbRequestTypeDeviceUrb,
    WdfUsbRequestTypePipeWrite,
    WdfUsbRequestTypePipeRead,
    WdfUsbRequestTypePipeAbort,
    WdfUsbRequestTypePipeReset,
    WdfUsbRequestTypePipeUrb,
} WDF_USB_REQUEST_TYPE, *PWDF_USB_REQUEST_TYPE;

typedef enum _WDF_USB_BMREQUEST_DIRECTION
{
    BmRequestHostToDevice = 0,
    BmRequestDeviceToHost = 1,
} WDF_USB_BMREQUEST_DIRECTION;

typedef enum _WDF_USB_BMREQUEST_TYPE
{
    BmRequestStandard = 0,
    BmRequestClass = 1,
    BmRequestVendor = 2,
} WDF_USB_BMREQUEST_TYPE;

typedef enum _WDF_USB_BMREQUEST_RECIPIENT
{
    BmRequestToDevice = 0,
    BmRequestToInterface = 1,
    BmRequestToEndpoint = 2,
    BmRequestToOther = 3,
} WDF_USB_BMREQUEST_RECIPIENT;

// The eight bytes of a control transfer's setup stage, with bmRequestType's fields by name.
typedef union _WDF_USB_CONTROL_SETUP_PACKET {
    struct
    {
        union {
            struct
            {
                UCHAR Recipient : 2;
                UCHAR Reserved : 3;
                UCHAR Type : 2;
                UCHAR Dir : 1;
            } Request;
            UCHAR Byte;
        } bm;
        UCHAR bRequest;
        union {
            struct
            {
                UCHAR LowByte;
                UCHAR HiByte;
            } Bytes;
            USHORT Value;
        } wValue;
        union {
            struct
            {
                UCHAR LowByte;
                UCHAR HiByte;
            } Bytes;
            USHORT Value;
        } wIndex;
        USHORT wLength;
    } Packet;
    struct
    {
        UCHAR Bytes[8];
    } Generic;
} WDF_USB_CONTROL_SETUP_PACKET, *PWDF_USB_CONTROL_SETUP_PACKET;

typedef struct _WDF_USB_REQUEST_COMPLETION_PARAMS
{
    USBD_STATUS UsbdStatus;
    WDF_USB_REQUEST_TYPE Type;
    union {
        struct
        {
            WDFMEMORY Buffer;
            USHORT LangID;
            UCHAR StringIndex;
            UCHAR RequiredSize;
        } DeviceString;
        struct
        {
            WDFMEMORY Buffer;
            WDF_USB_CONTROL_SETUP_PACKET SetupPacket;
            ULONG Length;
        } DeviceControlTransfer;
        struct
        {
            WDFMEMORY Buffer;
        } DeviceUrb;
        struct
        {
            WDFMEMORY Buffer;
            size_t Length;
            size_t Offset;
        } PipeWrite;
        struct
        {
            WDFMEMORY Buffer;
            size_t Length;
            size_t Offset;
        } PipeRead;
        struct
        {
            WDFMEMORY Buffer;
        } PipeUrb;
    } Parameters;
} WDF_USB_REQUEST_COMPLETION_PARAMS;

WINSIM_EXTERN_C_END

inline VOID WDF_USB_PIPE_INFORMATION_INIT(PWDF_USB_PIPE_INFORMATION Info)
{
    __builtin_memset(Info, 0, sizeof(WDF_USB_PIPE_INFORMATION));
    Info->Size = sizeof(WDF_USB_PIPE_INFORMATION);
}

inline VOID WDF_USB_CONTROL_SETUP_PACKET_INIT(PWDF_USB_CONTROL_SETUP_PACKET Packet,
                                              WDF_USB_BMREQUEST_DIRECTION Direction,
                                              WDF_USB_BMREQUEST_RECIPIENT Recipient, UCHAR Request,
                                              USHORT Value, USHORT Index)
{
    __builtin_memset(Packet, 0, sizeof(WDF_USB_CONTROL_SETUP_PACKET));
    Packet->Packet.bm.Request.Dir = (UCHAR)Direction;
    Packet->Packet.bm.Request.Type = (UCHAR)BmRequestStandard;
    Packet->Packet.bm.Request.Recipient = (UCHAR)Recipient;
    Packet->Packet.bRequest = Request;
    Packet->Packet.wValue.Value = Value;
    Packet->Packet.wIndex.Value = Index;
}

inline VOID WDF_USB_CONTROL_SETUP_PACKET_INIT_CLASS(PWDF_USB_CONTROL_SETUP_PACKET Packet,
                                                    WDF_USB_BMREQUEST_DIRECTION Direction,
                                                    WDF_USB_BMREQUEST_RECIPIENT Recipient, UCHAR Request,
                                                    USHORT Value, USHORT Index)
{
    WDF_USB_CONTROL_SETUP_PACKET_INIT(Packet, Direction, Recipient, Request, Value, Index);
    Packet->Packet.bm.Request.Type = (UCHAR)BmRequestClass;
}

inline VOID WDF_USB_CONTROL_SETUP_PACKET_INIT_VENDOR(PWDF_USB_CONTROL_SETUP_PACKET Packet,
                                                     WDF_USB_BMREQUEST_DIRECTION Direction,
                                                     WDF_USB_BMREQUEST_RECIPIENT Recipient, UCHAR Request,
                                                     USHORT Value, USHORT Index)
{
    WDF_USB_CONTROL_SETUP_PACKET_INIT(Packet, Direction, Recipient, Request, Value, Index);
    Packet->Packet.bm.Request.Type = (UCHAR)BmRequestVendor;
}

WINSIM_EXTERN_C_BEGIN

// ---------------------------------------------------------------------------------------------
// The USB device

typedef enum _WDF_USB_DEVICE_TRAITS
{
    WDF_USB_DEVICE_TRAIT_SELF_POWERED = 0x00000001,
    WDF_USB_DEVICE_TRAIT_REMOTE_WAKE_CAPABLE = 0x00000002,
    WDF_USB_DEVICE_TRAIT_AT_HIGH_SPEED = 0x00000004,
} WDF_USB_DEVICE_TRAITS;

typedef struct _WDF_USB_DEVICE_INFORMATION
{
    ULONG Size;
    USBD_VERSION_INFORMATION UsbdVersionInformation;
    ULONG HcdPortCapabilities;
    ULONG Traits; // WDF_USB_DEVICE_TRAIT_*
} WDF_USB_DEVICE_INFORMATION, *PWDF_USB_DEVICE_INFORMATION;

typedef struct _WDF_USB_DEVICE_CREATE_CONFIG
{
    ULONG Size;
    ULONG USBDClientContractVersion;
} WDF_USB_DEVICE_CREATE_CONFIG, *PWDF_USB_DEVICE_CREATE_CONFIG;

typedef enum _WdfUsbTargetDeviceSelectConfigType
{
    WdfUsbTargetDeviceSelectConfigTypeInvalid = 0,
    WdfUsbTargetDeviceSelectConfigTypeDeconfig = 1,
    WdfUsbTargetDeviceSelectConfigTypeSingleInterface = 2,
    WdfUsbTargetDeviceSelectConfigTypeMultiInterface = 3,
    WdfUsbTargetDeviceSelectConfigTypeInterfacesPairs = 4,
    WdfUsbTargetDeviceSelectConfigTypeInterfacesDescriptor = 5,
    WdfUsbTargetDeviceSelectConfigTypeUrb = 6,
} WdfUsbTargetDeviceSelectConfigType;

typedef struct _WDF_USB_INTERFACE_SETTING_PAIR
{
    WDFUSBINTERFACE UsbInterface;
    UCHAR SettingIndex;
} WDF_USB_INTERFACE_SETTING_PAIR, *PWDF_USB_INTERFACE_SETTING_PAIR;

typedef struct _WDF_USB_DEVICE_SELECT_CONFIG_PARAMS
{
    ULONG Size;
    WdfUsbTargetDeviceSelectConfigType Type;
    union {
        struct
        {
            PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor;
            PUSB_INTERFACE_DESCRIPTOR* InterfaceDescriptors;
            ULONG NumInterfaceDescriptors;
        } Descriptor;
        struct
        {
            PURB Urb;
        } Urb;
        struct
        {
            UCHAR NumberConfiguredPipes;            // out
            WDFUSBINTERFACE ConfiguredUsbInterface; // out
        } SingleInterface;
        struct
        {
            UCHAR NumberInterfaces;
            PWDF_USB_INTERFACE_SETTING_PAIR Pairs;
            UCHAR NumberOfConfiguredInterfaces; // out
        } MultiInterface;
    } Types;
} WDF_USB_DEVICE_SELECT_CONFIG_PARAMS, *PWDF_USB_DEVICE_SELECT_CONFIG_PARAMS;

WINSIM_EXTERN_C_END

inline VOID WDF_USB_DEVICE_INFORMATION_INIT(PWDF_USB_DEVICE_INFORMATION Info)
{
    __builtin_memset(Info, 0, sizeof(WDF_USB_DEVICE_INFORMATION));
    Info->Size = sizeof(WDF_USB_DEVICE_INFORMATION);
}

inline VOID WDF_USB_DEVICE_CREATE_CONFIG_INIT(PWDF_USB_DEVICE_CREATE_CONFIG Config,
                                              ULONG USBDClientContractVersion)
{
    __builtin_memset(Config, 0, sizeof(WDF_USB_DEVICE_CREATE_CONFIG));
    Config->Size = sizeof(WDF_USB_DEVICE_CREATE_CONFIG);
    Config->USBDClientContractVersion = USBDClientContractVersion;
}

inline VOID WDF_USB_DEVICE_SELECT_CONFIG_PARAMS_INIT_SINGLE_INTERFACE(
    PWDF_USB_DEVICE_SELECT_CONFIG_PARAMS Params)
{
    __builtin_memset(Params, 0, sizeof(WDF_USB_DEVICE_SELECT_CONFIG_PARAMS));
    Params->Size = sizeof(WDF_USB_DEVICE_SELECT_CONFIG_PARAMS);
    Params->Type = WdfUsbTargetDeviceSelectConfigTypeSingleInterface;
}

// With no pairs, every interface is configured at its setting 0.
inline VOID WDF_USB_DEVICE_SELECT_CONFIG_PARAMS_INIT_MULTIPLE_INTERFACES(
    PWDF_USB_DEVICE_SELECT_CONFIG_PARAMS Params, UCHAR NumberInterfaces,
    PWDF_USB_INTERFACE_SETTING_PAIR SettingPairs)
{
    __builtin_memset(Params, 0, sizeof(WDF_USB_DEVICE_SELECT_CONFIG_PARAMS));
    Params->Size = sizeof(WDF_USB_DEVICE_SELECT_CONFIG_PARAMS);
    if (SettingPairs != NULL && NumberInterfaces != 0)
    {
        Params->Type = WdfUsbTargetDeviceSelectConfigTypeInterfacesPairs;
        Params->Types.MultiInterface.NumberInterfaces = NumberInterfaces;
        Params->Types.MultiInterface.Pairs = SettingPairs;
    }
    else
    {
        Params->Type = WdfUsbTargetDeviceSelectConfigTypeMultiInterface;
    }
}

inline VOID WDF_USB_DEVICE_SELECT_CONFIG_PARAMS_INIT_DECONFIG(PWDF_USB_DEVICE_SELECT_CONFIG_PARAMS Params)
{
    __builtin_memset(Params, 0, sizeof(WDF_USB_DEVICE_SELECT_CONFIG_PARAMS));
    Params->Size = sizeof(WDF_USB_DEVICE_SELECT_CONFIG_PARAMS);
    Params->Type = WdfUsbTargetDeviceSelectConfigTypeDeconfig;
}

WINSIM_EXTERN_C_BEGIN

WINSIM_API NTSTATUS imp_WdfUsbTargetDeviceCreate(PWDF_DRIVER_GLOBALS DriverGlobals, WDFDEVICE Device,
                                                 PWDF_OBJECT_ATTRIBUTES Attributes, WDFUSBDEVICE* UsbDevice);
static FORCEINLINE NTSTATUS WdfUsbTargetDeviceCreate(WDFDEVICE Device, PWDF_OBJECT_ATTRIBUTES Attributes,
                                                     WDFUSBDEVICE* UsbDevice)
{
    return imp_WdfUsbTargetDeviceCreate(WdfDriverGlobals, Device, Attributes, UsbDevice);
}

WINSIM_API NTSTATUS imp_WdfUsbTargetDeviceCreateWithParameters(PWDF_DRIVER_GLOBALS DriverGlobals,
                                                               WDFDEVICE Device,
                                                               PWDF_USB_DEVICE_CREATE_CONFIG Config,
                                                               PWDF_OBJECT_ATTRIBUTES Attributes,
                                                               WDFUSBDEVICE* UsbDevice);
static FORCEINLINE NTSTATUS WdfUsbTargetDeviceCreateWithParameters(WDFDEVICE Device,
                                                                   PWDF_USB_DEVICE_CREATE_CONFIG Config,
                                                                   PWDF_OBJECT_ATTRIBUTES Attributes,
                                                                   WDFUSBDEVICE* UsbDevice)
{
    return imp_WdfUsbTargetDeviceCreateWithParameters(WdfDriverGlobals, Device, Config, Attributes,
                                                      UsbDevice);
}

WINSIM_API VOID imp_WdfUsbTargetDeviceGetDeviceDescriptor(PWDF_DRIVER_GLOBALS DriverGlobals,
                                                          WDFUSBDEVICE UsbDevice,
                                                          PUSB_DEVICE_DESCRIPTOR UsbDeviceDescriptor);
static FORCEINLINE VOID WdfUsbTargetDeviceGetDeviceDescriptor(WDFUSBDEVICE UsbDevice,
                                                              PUSB_DEVICE_DESCRIPTOR UsbDeviceDescriptor)
{
    imp_WdfUsbTargetDeviceGetDeviceDescriptor(WdfDriverGlobals, UsbDevice, UsbDeviceDescriptor);
}

WINSIM_API NTSTATUS imp_WdfUsbTargetDeviceRetrieveConfigDescriptor(PWDF_DRIVER_GLOBALS DriverGlobals,
                                                                   WDFUSBDEVICE UsbDevice,
                                                                   PVOID ConfigDescriptor,
                                                                   PUSHORT ConfigDescriptorLength);
static FORCEINLINE NTSTATUS WdfUsbTargetDeviceRetrieveConfigDescriptor(WDFUSBDEVICE UsbDevice,
                                                                       PVOID ConfigDescriptor,
                                                                       PUSHORT ConfigDescriptorLength)
{
    return imp_WdfUsbTargetDeviceRetrieveConfigDescriptor(WdfDriverGlobals, UsbDevice, ConfigDescriptor,
                                                          ConfigDescriptorLength);
}

WINSIM_API NTSTATUS imp_WdfUsbTargetDeviceRetrieveInformation(PWDF_DRIVER_GLOBALS DriverGlobals,
                                                              WDFUSBDEVICE UsbDevice,
                                                              PWDF_USB_DEVICE_INFORMATION Information);
static FORCEINLINE NTSTATUS WdfUsbTargetDeviceRetrieveInformation(WDFUSBDEVICE UsbDevice,
                                                                  PWDF_USB_DEVICE_INFORMATION Information)
{
    return imp_WdfUsbTargetDeviceRetrieveInformation(WdfDriverGlobals, UsbDevice, Information);
}

WINSIM_API UCHAR imp_WdfUsbTargetDeviceGetNumInterfaces(PWDF_DRIVER_GLOBALS DriverGlobals,
                                                        WDFUSBDEVICE UsbDevice);
static FORCEINLINE UCHAR WdfUsbTargetDeviceGetNumInterfaces(WDFUSBDEVICE UsbDevice)
{
    return imp_WdfUsbTargetDeviceGetNumInterfaces(WdfDriverGlobals, UsbDevice);
}

WINSIM_API WDFUSBINTERFACE imp_WdfUsbTargetDeviceGetInterface(PWDF_DRIVER_GLOBALS DriverGlobals,
                                                              WDFUSBDEVICE UsbDevice, UCHAR InterfaceIndex);
static FORCEINLINE WDFUSBINTERFACE WdfUsbTargetDeviceGetInterface(WDFUSBDEVICE UsbDevice,
                                                                  UCHAR InterfaceIndex)
{
    return imp_WdfUsbTargetDeviceGetInterface(WdfDriverGlobals, UsbDevice, InterfaceIndex);
}

WINSIM_API WDFIOTARGET imp_WdfUsbTargetDeviceGetIoTarget(PWDF_DRIVER_GLOBALS DriverGlobals,
                                                         WDFUSBDEVICE UsbDevice);
static FORCEINLINE WDFIOTARGET WdfUsbTargetDeviceGetIoTarget(WDFUSBDEVICE UsbDevice)
{
    return imp_WdfUsbTargetDeviceGetIoTarget(WdfDriverGlobals, UsbDevice);
}

WINSIM_API NTSTATUS imp_WdfUsbTargetDeviceSelectConfig(PWDF_DRIVER_GLOBALS DriverGlobals,
                                                       WDFUSBDEVICE UsbDevice,
                                                       PWDF_OBJECT_ATTRIBUTES PipeAttributes,
                                                       PWDF_USB_DEVICE_SELECT_CONFIG_PARAMS Params);
static FORCEINLINE NTSTATUS WdfUsbTargetDeviceSelectConfig(WDFUSBDEVICE UsbDevice,
                                                           PWDF_OBJECT_ATTRIBUTES PipeAttributes,
                                                           PWDF_USB_DEVICE_SELECT_CONFIG_PARAMS Params)
{
    return imp_WdfUsbTargetDeviceSelectConfig(WdfDriverGlobals, UsbDevice, PipeAttributes, Params);
}

WINSIM_API NTSTATUS imp_WdfUsbTargetDeviceSendControlTransferSynchronously(
    PWDF_DRIVER_GLOBALS DriverGlobals, WDFUSBDEVICE UsbDevice, WDFREQUEST Request,
    PWDF_REQUEST_SEND_OPTIONS RequestOptions, PWDF_USB_CONTROL_SETUP_PACKET SetupPacket,
    PWDF_MEMORY_DESCRIPTOR MemoryDescriptor, PULONG BytesTransferred);
static FORCEINLINE NTSTATUS WdfUsbTargetDeviceSendControlTransferSynchronously(
    WDFUSBDEVICE UsbDevice, WDFREQUEST Request, PWDF_REQUEST_SEND_OPTIONS RequestOptions,
    PWDF_USB_CONTROL_SETUP_PACKET SetupPacket, PWDF_MEMORY_DESCRIPTOR MemoryDescriptor,
    PULONG BytesTransferred)
{
    return imp_WdfUsbTargetDeviceSendControlTransferSynchronously(WdfDriverGlobals, UsbDevice, Request,
                                                                  RequestOptions, SetupPacket,
                                                                  MemoryDescriptor, BytesTransferred);
}

WINSIM_API NTSTATUS imp_WdfUsbTargetDeviceFormatRequestForControlTransfer(
    PWDF_DRIVER_GLOBALS DriverGlobals, WDFUSBDEVICE UsbDevice, WDFREQUEST Request,
    PWDF_USB_CONTROL_SETUP_PACKET SetupPacket, WDFMEMORY TransferMemory, PWDFMEMORY_OFFSET TransferOffset);
static FORCEINLINE NTSTATUS WdfUsbTargetDeviceFormatRequestForControlTransfer(
    WDFUSBDEVICE UsbDevice, WDFREQUEST Request, PWDF_USB_CONTROL_SETUP_PACKET SetupPacket,
    WDFMEMORY TransferMemory, PWDFMEMORY_OFFSET TransferOffset)
{
    return imp_WdfUsbTargetDeviceFormatRequestForControlTransfer(WdfDriverGlobals, UsbDevice, Request,
                                                                 SetupPacket, TransferMemory, TransferOffset);
}

WINSIM_API NTSTATUS imp_WdfUsbTargetDeviceIsConnectedSynchronous(PWDF_DRIVER_GLOBALS DriverGlobals,
                                                                 WDFUSBDEVICE UsbDevice);
static FORCEINLINE NTSTATUS WdfUsbTargetDeviceIsConnectedSynchronous(WDFUSBDEVICE UsbDevice)
{
    return imp_WdfUsbTargetDeviceIsConnectedSynchronous(WdfDriverGlobals, UsbDevice);
}

WINSIM_API NTSTATUS imp_WdfUsbTargetDeviceResetPortSynchronously(PWDF_DRIVER_GLOBALS DriverGlobals,
                                                                 WDFUSBDEVICE UsbDevice);
static FORCEINLINE NTSTATUS WdfUsbTargetDeviceResetPortSynchronously(WDFUSBDEVICE UsbDevice)
{
    return imp_WdfUsbTargetDeviceResetPortSynchronously(WdfDriverGlobals, UsbDevice);
}

// ---------------------------------------------------------------------------------------------
// Interfaces

WINSIM_API UCHAR imp_WdfUsbInterfaceGetInterfaceNumber(PWDF_DRIVER_GLOBALS DriverGlobals,
                                                       WDFUSBINTERFACE UsbInterface);
static FORCEINLINE UCHAR WdfUsbInterfaceGetInterfaceNumber(WDFUSBINTERFACE UsbInterface)
{
    return imp_WdfUsbInterfaceGetInterfaceNumber(WdfDriverGlobals, UsbInterface);
}

WINSIM_API UCHAR imp_WdfUsbInterfaceGetNumEndpoints(PWDF_DRIVER_GLOBALS DriverGlobals,
                                                    WDFUSBINTERFACE UsbInterface, UCHAR SettingIndex);
static FORCEINLINE UCHAR WdfUsbInterfaceGetNumEndpoints(WDFUSBINTERFACE UsbInterface, UCHAR SettingIndex)
{
    return imp_WdfUsbInterfaceGetNumEndpoints(WdfDriverGlobals, UsbInterface, SettingIndex);
}

WINSIM_API UCHAR imp_WdfUsbInterfaceGetNumSettings(PWDF_DRIVER_GLOBALS DriverGlobals,
                                                   WDFUSBINTERFACE UsbInterface);
static FORCEINLINE UCHAR WdfUsbInterfaceGetNumSettings(WDFUSBINTERFACE UsbInterface)
{
    return imp_WdfUsbInterfaceGetNumSettings(WdfDriverGlobals, UsbInterface);
}

WINSIM_API VOID imp_WdfUsbInterfaceGetDescriptor(PWDF_DRIVER_GLOBALS DriverGlobals,
                                                 WDFUSBINTERFACE UsbInterface, UCHAR SettingIndex,
                                                 PUSB_INTERFACE_DESCRIPTOR InterfaceDescriptor);
static FORCEINLINE VOID WdfUsbInterfaceGetDescriptor(WDFUSBINTERFACE UsbInterface, UCHAR SettingIndex,
                                                     PUSB_INTERFACE_DESCRIPTOR InterfaceDescriptor)
{
    imp_WdfUsbInterfaceGetDescriptor(WdfDriverGlobals, UsbInterface, SettingIndex, InterfaceDescriptor);
}

WINSIM_API UCHAR imp_WdfUsbInterfaceGetConfiguredSettingIndex(PWDF_DRIVER_GLOBALS DriverGlobals,
                                                              WDFUSBINTERFACE Interface);
static FORCEINLINE UCHAR WdfUsbInterfaceGetConfiguredSettingIndex(WDFUSBINTERFACE Interface)
{
    return imp_WdfUsbInterfaceGetConfiguredSettingIndex(WdfDriverGlobals, Interface);
}

WINSIM_API UCHAR imp_WdfUsbInterfaceGetNumConfiguredPipes(PWDF_DRIVER_GLOBALS DriverGlobals,
                                                          WDFUSBINTERFACE UsbInterface);
static FORCEINLINE UCHAR WdfUsbInterfaceGetNumConfiguredPipes(WDFUSBINTERFACE UsbInterface)
{
    return imp_WdfUsbInterfaceGetNumConfiguredPipes(WdfDriverGlobals, UsbInterface);
}

WINSIM_API WDFUSBPIPE imp_WdfUsbInterfaceGetConfiguredPipe(PWDF_DRIVER_GLOBALS DriverGlobals,
                                                           WDFUSBINTERFACE UsbInterface, UCHAR PipeIndex,
                                                           PWDF_USB_PIPE_INFORMATION PipeInfo);
static FORCEINLINE WDFUSBPIPE WdfUsbInterfaceGetConfiguredPipe(WDFUSBINTERFACE UsbInterface, UCHAR PipeIndex,
                                                               PWDF_USB_PIPE_INFORMATION PipeInfo)
{
    return imp_WdfUsbInterfaceGetConfiguredPipe(WdfDriverGlobals, UsbInterface, PipeIndex, PipeInfo);
}

// ---------------------------------------------------------------------------------------------
// Pipes

WINSIM_API VOID imp_WdfUsbTargetPipeGetInformation(PWDF_DRIVER_GLOBALS DriverGlobals, WDFUSBPIPE Pipe,
                                                   PWDF_USB_PIPE_INFORMATION PipeInformation);
static FORCEINLINE VOID WdfUsbTargetPipeGetInformation(WDFUSBPIPE Pipe,
                                                       PWDF_USB_PIPE_INFORMATION PipeInformation)
{
    imp_WdfUsbTargetPipeGetInformation(WdfDriverGlobals, Pipe, PipeInformation);
}

WINSIM_API BOOLEAN imp_WdfUsbTargetPipeIsInEndpoint(PWDF_DRIVER_GLOBALS DriverGlobals, WDFUSBPIPE Pipe);
static FORCEINLINE BOOLEAN WdfUsbTargetPipeIsInEndpoint(WDFUSBPIPE Pipe)
{
    return imp_WdfUsbTargetPipeIsInEndpoint(WdfDriverGlobals, Pipe);
}

WINSIM_API BOOLEAN imp_WdfUsbTargetPipeIsOutEndpoint(PWDF_DRIVER_GLOBALS DriverGlobals, WDFUSBPIPE Pipe);
static FORCEINLINE BOOLEAN WdfUsbTargetPipeIsOutEndpoint(WDFUSBPIPE Pipe)
{
    return imp_WdfUsbTargetPipeIsOutEndpoint(WdfDriverGlobals, Pipe);
}

WINSIM_API WDF_USB_PIPE_TYPE imp_WdfUsbTargetPipeGetType(PWDF_DRIVER_GLOBALS DriverGlobals, WDFUSBPIPE Pipe);
static FORCEINLINE WDF_USB_PIPE_TYPE WdfUsbTargetPipeGetType(WDFUSBPIPE Pipe)
{
    return imp_WdfUsbTargetPipeGetType(WdfDriverGlobals, Pipe);
}

WINSIM_API VOID imp_WdfUsbTargetPipeSetNoMaximumPacketSizeCheck(PWDF_DRIVER_GLOBALS DriverGlobals,
                                                                WDFUSBPIPE Pipe);
static FORCEINLINE VOID WdfUsbTargetPipeSetNoMaximumPacketSizeCheck(WDFUSBPIPE Pipe)
{
    imp_WdfUsbTargetPipeSetNoMaximumPacketSizeCheck(WdfDriverGlobals, Pipe);
}

WINSIM_API WDFIOTARGET imp_WdfUsbTargetPipeGetIoTarget(PWDF_DRIVER_GLOBALS DriverGlobals, WDFUSBPIPE Pipe);
static FORCEINLINE WDFIOTARGET WdfUsbTargetPipeGetIoTarget(WDFUSBPIPE Pipe)
{
    return imp_WdfUsbTargetPipeGetIoTarget(WdfDriverGlobals, Pipe);
}

WINSIM_API USBD_PIPE_HANDLE imp_WdfUsbTargetPipeWdmGetPipeHandle(PWDF_DRIVER_GLOBALS DriverGlobals,
                                                                 WDFUSBPIPE UsbPipe);
static FORCEINLINE USBD_PIPE_HANDLE WdfUsbTargetPipeWdmGetPipeHandle(WDFUSBPIPE UsbPipe)
{
    return imp_WdfUsbTargetPipeWdmGetPipeHandle(WdfDriverGlobals, UsbPipe);
}

WINSIM_API NTSTATUS imp_WdfUsbTargetPipeFormatRequestForRead(PWDF_DRIVER_GLOBALS DriverGlobals,
                                                             WDFUSBPIPE Pipe, WDFREQUEST Request,
                                                             WDFMEMORY ReadMemory,
                                                             PWDFMEMORY_OFFSET ReadOffset);
static FORCEINLINE NTSTATUS WdfUsbTargetPipeFormatRequestForRead(WDFUSBPIPE Pipe, WDFREQUEST Request,
                                                                 WDFMEMORY ReadMemory,
                                                                 PWDFMEMORY_OFFSET ReadOffset)
{
    return imp_WdfUsbTargetPipeFormatRequestForRead(WdfDriverGlobals, Pipe, Request, ReadMemory, ReadOffset);
}

WINSIM_API NTSTATUS imp_WdfUsbTargetPipeFormatRequestForWrite(PWDF_DRIVER_GLOBALS DriverGlobals,
                                                              WDFUSBPIPE Pipe, WDFREQUEST Request,
                                                              WDFMEMORY WriteMemory,
                                                              PWDFMEMORY_OFFSET WriteOffset);
static FORCEINLINE NTSTATUS WdfUsbTargetPipeFormatRequestForWrite(WDFUSBPIPE Pipe, WDFREQUEST Request,
                                                                  WDFMEMORY WriteMemory,
                                                                  PWDFMEMORY_OFFSET WriteOffset)
{
    return imp_WdfUsbTargetPipeFormatRequestForWrite(WdfDriverGlobals, Pipe, Request, WriteMemory,
                                                     WriteOffset);
}

WINSIM_API NTSTATUS imp_WdfUsbTargetPipeReadSynchronously(PWDF_DRIVER_GLOBALS DriverGlobals, WDFUSBPIPE Pipe,
                                                          WDFREQUEST Request,
                                                          PWDF_REQUEST_SEND_OPTIONS RequestOptions,
                                                          PWDF_MEMORY_DESCRIPTOR MemoryDescriptor,
                                                          PULONG BytesRead);
static FORCEINLINE NTSTATUS WdfUsbTargetPipeReadSynchronously(WDFUSBPIPE Pipe, WDFREQUEST Request,
                                                              PWDF_REQUEST_SEND_OPTIONS RequestOptions,
                                                              PWDF_MEMORY_DESCRIPTOR MemoryDescriptor,
                                                              PULONG BytesRead)
{
    return imp_WdfUsbTargetPipeReadSynchronously(WdfDriverGlobals, Pipe, Request, RequestOptions,
                                                 MemoryDescriptor, BytesRead);
}

WINSIM_API NTSTATUS imp_WdfUsbTargetPipeWriteSynchronously(PWDF_DRIVER_GLOBALS DriverGlobals, WDFUSBPIPE Pipe,
                                                           WDFREQUEST Request,
                                                           PWDF_REQUEST_SEND_OPTIONS RequestOptions,
                                                           PWDF_MEMORY_DESCRIPTOR MemoryDescriptor,
                                                           PULONG BytesWritten);
static FORCEINLINE NTSTATUS WdfUsbTargetPipeWriteSynchronously(WDFUSBPIPE Pipe, WDFREQUEST Request,
                                                               PWDF_REQUEST_SEND_OPTIONS RequestOptions,
                                                               PWDF_MEMORY_DESCRIPTOR MemoryDescriptor,
                                                               PULONG BytesWritten)
{
    return imp_WdfUsbTargetPipeWriteSynchronously(WdfDriverGlobals, Pipe, Request, RequestOptions,
                                                  MemoryDescriptor, BytesWritten);
}

WINSIM_API NTSTATUS imp_WdfUsbTargetPipeAbortSynchronously(PWDF_DRIVER_GLOBALS DriverGlobals, WDFUSBPIPE Pipe,
                                                           WDFREQUEST Request,
                                                           PWDF_REQUEST_SEND_OPTIONS RequestOptions);
static FORCEINLINE NTSTATUS WdfUsbTargetPipeAbortSynchronously(WDFUSBPIPE Pipe, WDFREQUEST Request,
                                                               PWDF_REQUEST_SEND_OPTIONS RequestOptions)
{
    return imp_WdfUsbTargetPipeAbortSynchronously(WdfDriverGlobals, Pipe, Request, RequestOptions);
}

WINSIM_API NTSTATUS imp_WdfUsbTargetPipeResetSynchronously(PWDF_DRIVER_GLOBALS DriverGlobals, WDFUSBPIPE Pipe,
                                                           WDFREQUEST Request,
                                                           PWDF_REQUEST_SEND_OPTIONS RequestOptions);
static FORCEINLINE NTSTATUS WdfUsbTargetPipeResetSynchronously(WDFUSBPIPE Pipe, WDFREQUEST Request,
                                                               PWDF_REQUEST_SEND_OPTIONS RequestOptions)
{
    return imp_WdfUsbTargetPipeResetSynchronously(WdfDriverGlobals, Pipe, Request, RequestOptions);
}

// ---------------------------------------------------------------------------------------------
// The continuous reader of an IN pipe

typedef VOID EVT_WDF_USB_READER_COMPLETION_ROUTINE(WDFUSBPIPE Pipe, WDFMEMORY Buffer,
                                                   size_t NumBytesTransferred, WDFCONTEXT Context);
typedef EVT_WDF_USB_READER_COMPLETION_ROUTINE* PFN_WDF_USB_READER_COMPLETION_ROUTINE;
typedef BOOLEAN EVT_WDF_USB_READERS_FAILED(WDFUSBPIPE Pipe, NTSTATUS Status, USBD_STATUS UsbdStatus);
typedef EVT_WDF_USB_READERS_FAILED* PFN_WDF_USB_READERS_FAILED;

typedef struct _WDF_USB_CONTINUOUS_READER_CONFIG
{
    ULONG Size;
    size_t TransferLength;
    size_t HeaderLength;
    size_t TrailerLength;
    UCHAR NumPendingReads; // 0: the framework's default
    PWDF_OBJECT_ATTRIBUTES BufferAttributes;
    PFN_WDF_USB_READER_COMPLETION_ROUTINE EvtUsbTargetPipeReadComplete;
    WDFCONTEXT EvtUsbTargetPipeReadCompleteContext;
    PFN_WDF_USB_READERS_FAILED EvtUsbTargetPipeReadersFailed;
} WDF_USB_CONTINUOUS_READER_CONFIG, *PWDF_USB_CONTINUOUS_READER_CONFIG;

WINSIM_EXTERN_C_END

inline VOID WDF_USB_CONTINUOUS_READER_CONFIG_INIT(
    PWDF_USB_CONTINUOUS_READER_CONFIG Config,
    PFN_WDF_USB_READER_COMPLETION_ROUTINE EvtUsbTargetPipeReadComplete,
    WDFCONTEXT EvtUsbTargetPipeReadCompleteContext, size_t TransferLength)
{
    __builtin_memset(Config, 0, sizeof(WDF_USB_CONTINUOUS_READER_CONFIG));
    Config->Size = sizeof(WDF_USB_CONTINUOUS_READER_CONFIG);
    Config->EvtUsbTargetPipeReadComplete = EvtUsbTargetPipeReadComplete;
    Config->EvtUsbTargetPipeReadCompleteContext = EvtUsbTargetPipeReadCompleteContext;
    Config->TransferLength = TransferLength;
}

WINSIM_EXTERN_C_BEGIN

WINSIM_API NTSTATUS imp_WdfUsbTargetPipeConfigContinuousReader(PWDF_DRIVER_GLOBALS DriverGlobals,
                                                               WDFUSBPIPE Pipe,
                                                               PWDF_USB_CONTINUOUS_READER_CONFIG Config);
static FORCEINLINE NTSTATUS WdfUsbTargetPipeConfigContinuousReader(WDFUSBPIPE Pipe,
                                                                   PWDF_USB_CONTINUOUS_READER_CONFIG Config)
{
    return imp_WdfUsbTargetPipeConfigContinuousReader(WdfDriverGlobals, Pipe, Config);
}

WINSIM_EXTERN_C_END
