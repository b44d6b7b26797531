// USB request blocks (URBs): what a USB client driver sends its bus driver in
// IOCTL_INTERNAL_USB_SUBMIT_URB, with the USBD status codes, in the layout of the Windows header of
// the same name. The machine's framework builds them and its USB hub answers them.
#pragma once

#include <wdm.h>
#include <usbspec.h>

WINSIM_EXTERN_C_BEGIN

// --- USBD status: the bus's own status of a request block, beside its NTSTATUS ---------------

typedef LONG USBD_STATUS;

#define USBD_SUCCESS(Status) ((USBD_STATUS)(Status) >= 0)
#define USBD_PENDING(Status) ((ULONG)(Status) >> 30 == 1)
#define USBD_ERROR(Status)   ((USBD_STATUS)(Status) < 0)

#define USBD_STATUS_SUCCESS              ((USBD_STATUS)0x00000000L)
#define USBD_STATUS_PENDING              ((USBD_STATUS)0x40000000L)
#define USBD_STATUS_CRC                  ((USBD_STATUS)0xC0000001L)
#define USBD_STATUS_BTSTUFF              ((USBD_STATUS)0xC0000002L)
#define USBD_STATUS_STALL_PID            ((USBD_STATUS)0xC0000004L)
#define USBD_STATUS_DEV_NOT_RESPONDING   ((USBD_STATUS)0xC0000005L)
#define USBD_STATUS_XACT_ERROR           ((USBD_STATUS)0xC0000011L)
#define USBD_STATUS_BABBLE_DETECTED      ((USBD_STATUS)0xC0000012L)
#define USBD_STATUS_ENDPOINT_HALTED      ((USBD_STATUS)0xC0000030L)
#define USBD_STATUS_INVALID_URB_FUNCTION ((USBD_STATUS)0x80000200L)
#define USBD_STATUS_INVALID_PARAMETER    ((USBD_STATUS)0x80000300L)
#define USBD_STATUS_INVALID_PIPE_HANDLE  ((USBD_STATUS)0x80000600L)
#define USBD_STATUS_BUFFER_TOO_SMALL     ((USBD_STATUS)0xC0003000L)
#define USBD_STATUS_TIMEOUT              ((USBD_STATUS)0xC0006000L)
#define USBD_STATUS_DEVICE_GONE          ((USBD_STATUS)0xC0007000L)
#define USBD_STATUS_CANCELED             ((USBD_STATUS)0xC0010000L)
#define USBD_STATUS_ERROR_SHORT_TRANSFER ((USBD_STATUS)0xC0000900L)

// --- handles and the configuration a select-configuration request returns --------------------

typedef PVOID USBD_PIPE_HANDLE;
typedef PVOID USBD_CONFIGURATION_HANDLE;
typedef PVOID USBD_INTERFACE_HANDLE;

typedef enum _USBD_PIPE_TYPE
{
    UsbdPipeTypeControl,
    UsbdPipeTypeIsochronous,
    UsbdPipeTypeBulk,
    UsbdPipeTypeInterrupt
} USBD_PIPE_TYPE;

#define USBD_DEFAULT_MAXIMUM_TRANSFER_SIZE 0xFFFFFFFF

typedef struct _USBD_PIPE_INFORMATION
{
    USHORT MaximumPacketSize;
    UCHAR EndpointAddress;
    UCHAR Interval;
    USBD_PIPE_TYPE PipeType;
    USBD_PIPE_HANDLE PipeHandle;
    ULONG MaximumTransferSize;
    ULONG PipeFlags;
} USBD_PIPE_INFORMATION, *PUSBD_PIPE_INFORMATION;

typedef struct _USBD_INTERFACE_INFORMATION
{
    USHORT Length;
    UCHAR InterfaceNumber;
    UCHAR AlternateSetting;
    UCHAR Class;
    UCHAR SubClass;
    UCHAR Protocol;
    UCHAR Reserved;
    USBD_INTERFACE_HANDLE InterfaceHandle;
    ULONG NumberOfPipes;
    USBD_PIPE_INFORMATION Pipes[1];
} USBD_INTERFACE_INFORMATION, *PUSBD_INTERFACE_INFORMATION;

// The size of an interface's information with room for `pipes` pipes.
#define GET_USBD_INTERFACE_SIZE(pipes)                                                                       \
    (sizeof(USBD_INTERFACE_INFORMATION) + sizeof(USBD_PIPE_INFORMATION) * ((pipes)-1))

// --- request block functions ---------------------------------------------------------------------

#define URB_FUNCTION_SELECT_CONFIGURATION            0x0000
#define URB_FUNCTION_SELECT_INTERFACE                0x0001
#define URB_FUNCTION_ABORT_PIPE                      0x0002
#define URB_FUNCTION_CONTROL_TRANSFER                0x0008
#define URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER      0x0009
#define URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE      0x000B
#define URB_FUNCTION_CLASS_INTERFACE                 0x001B
#define URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL 0x001E
#define URB_FUNCTION_SYNC_RESET_PIPE                 0x0030
#define URB_FUNCTION_SYNC_CLEAR_STALL                0x0031
#define URB_FUNCTION_CONTROL_TRANSFER_EX             0x0032

// TransferFlags
#define USBD_TRANSFER_DIRECTION_OUT 0
#define USBD_TRANSFER_DIRECTION_IN  1
#define USBD_SHORT_TRANSFER_OK      2
#define USBD_DEFAULT_PIPE_TRANSFER  8

struct _URB_HEADER
{
    USHORT Length;
    USHORT Function;
    USBD_STATUS Status;
    PVOID UsbdDeviceHandle;
    ULONG UsbdFlags;
};

struct _URB_HCD_AREA
{
    PVOID Reserved8[8];
};

struct _URB_SELECT_CONFIGURATION
{
    struct _URB_HEADER Hdr;
    PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor; // NULL: unconfigure the device
    USBD_CONFIGURATION_HANDLE ConfigurationHandle;
    USBD_INTERFACE_INFORMATION Interface; // the first of the configuration's interfaces
};

struct _URB_PIPE_REQUEST
{
    struct _URB_HEADER Hdr;
    USBD_PIPE_HANDLE PipeHandle;
    ULONG Reserved;
};

struct _URB_BULK_OR_INTERRUPT_TRANSFER
{
    struct _URB_HEADER Hdr;
    USBD_PIPE_HANDLE PipeHandle;
    ULONG TransferFlags;
    ULONG TransferBufferLength;
    PVOID TransferBuffer;
    PMDL TransferBufferMDL;
    union _URB* UrbLink;
    struct _URB_HCD_AREA hca;
};

struct _URB_CONTROL_TRANSFER
{
    struct _URB_HEADER Hdr;
    USBD_PIPE_HANDLE PipeHandle; // NULL with USBD_DEFAULT_PIPE_TRANSFER
    ULONG TransferFlags;
    ULONG TransferBufferLength;
    PVOID TransferBuffer;
    PMDL TransferBufferMDL;
    union _URB* UrbLink;
    struct _URB_HCD_AREA hca;
    UCHAR SetupPacket[8];
};

struct _URB_CONTROL_TRANSFER_EX
{
    struct _URB_HEADER Hdr;
    USBD_PIPE_HANDLE PipeHandle;
    ULONG TransferFlags;
    ULONG TransferBufferLength;
    PVOID TransferBuffer;
    PMDL TransferBufferMDL;
    ULONG Timeout; // milliseconds; 0: none
    ULONG Pad;
    struct _URB_HCD_AREA hca;
    UCHAR SetupPacket[8];
};

struct _URB_CONTROL_DESCRIPTOR_REQUEST
{
    struct _URB_HEADER Hdr;
    PVOID Reserved;
    ULONG Reserved0;
    ULONG TransferBufferLength;
    PVOID TransferBuffer;
    PMDL TransferBufferMDL;
    union _URB* UrbLink;
    struct _URB_HCD_AREA hca;
    USHORT Reserved1;
    UCHAR Index;
    UCHAR DescriptorType;
    USHORT LanguageId;
    USHORT Reserved2;
};

typedef union _URB {
    struct _URB_HEADER UrbHeader;
    struct _URB_SELECT_CONFIGURATION UrbSelectConfiguration;
    struct _URB_PIPE_REQUEST UrbPipeRequest;
    struct _URB_BULK_OR_INTERRUPT_TRANSFER UrbBulkOrInterruptTransfer;
    struct _URB_CONTROL_TRANSFER UrbControlTransfer;
    struct _URB_CONTROL_TRANSFER_EX UrbControlTransferEx;
    struct _URB_CONTROL_DESCRIPTOR_REQUEST UrbControlDescriptorRequest;
} URB, *PURB;

// The version of the USB driver interface, and the USB version the bus supports.
typedef struct _USBD_VERSION_INFORMATION
{
    ULONG USBDI_Version;
    ULONG Supported_USB_Version; // BCD: 0x0200 for USB 2.0
} USBD_VERSION_INFORMATION, *PUSBD_VERSION_INFORMATION;

// The size of a select-configuration request block with interfaces and pipes after it.
#define GET_SELECT_CONFIGURATION_REQUEST_SIZE(totalInterfaces, totalPipes)                                   \
    (sizeof(struct _URB_SELECT_CONFIGURATION) + ((totalInterfaces)-1) * sizeof(USBD_INTERFACE_INFORMATION) + \
     ((totalPipes) - (totalInterfaces)) * sizeof(USBD_PIPE_INFORMATION))

WINSIM_EXTERN_C_END
