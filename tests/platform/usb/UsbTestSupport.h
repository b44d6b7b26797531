// Shared pieces of the hub's tests: a machine with one reader on its bus (no driver installed, so
// the test is the reader's client), requests sent to the reader's physical device object as a USB
// client driver sends them (an IRP of its own with a completion routine that takes it back), and
// the request blocks such a driver builds.
#pragma once

#include <wdm.h>
#include <usb.h>
#include <usbioctl.h>

#include "machine/Machine.h"

#include "TableCases.h"

#include <gtest/gtest.h>

#include <atomic>
#include <string.h>
#include <thread>
#include <vector>

namespace usbtest
{

using winsim::machine::Device;
using winsim::machine::Machine;
using winsim::machine::Reader;
using winsim::machine::ReaderEndpoint;
using winsim::machine::ReaderLayout;
using winsim::machine::ReaderSpec;
using winsim::machine::ReaderSpeed;
using winsimtest::PrintTo;

// One internal device control to the hub. Build the request block, Send, then Wait (or look at
// whether it completed). The IRP is the sender's own: its completion routine takes it back.
class HubRequest
{
  public:
    explicit HubRequest(PDEVICE_OBJECT pdo) : m_pdo(pdo), m_irp(IoAllocateIrp(pdo->StackSize, FALSE))
    {
        KeInitializeEvent(&m_done, NotificationEvent, FALSE);
    }
    ~HubRequest()
    {
        if (m_sent && !Completed())
        {
            ADD_FAILURE() << "a request to the hub is still pending at the end of the test";
            IoCancelIrp(m_irp);
            Wait();
        }
        IoFreeIrp(m_irp);
    }
    HubRequest(const HubRequest&) = delete;
    HubRequest& operator=(const HubRequest&) = delete;

    // IOCTL_INTERNAL_USB_SUBMIT_URB and the other controls that take Argument1.
    NTSTATUS Send(ULONG code, PVOID argument1)
    {
        PIO_STACK_LOCATION stack = Prepare(code);
        stack->Parameters.Others.Argument1 = argument1;
        return Call();
    }
    NTSTATUS SendUrb(URB& urb) { return Send(IOCTL_INTERNAL_USB_SUBMIT_URB, &urb); }
    // IOCTL_INTERNAL_USB_SUBMIT_IDLE_NOTIFICATION: the callback information in Type3InputBuffer.
    NTSTATUS SendIdle(USB_IDLE_CALLBACK_INFO* info)
    {
        PIO_STACK_LOCATION stack = Prepare(IOCTL_INTERNAL_USB_SUBMIT_IDLE_NOTIFICATION);
        stack->Parameters.DeviceIoControl.InputBufferLength = sizeof(*info);
        stack->Parameters.DeviceIoControl.Type3InputBuffer = info;
        return Call();
    }

    NTSTATUS Wait()
    {
        KeWaitForSingleObject(&m_done, Executive, KernelMode, FALSE, nullptr);
        return m_irp->IoStatus.Status;
    }
    bool Completed() { return KeReadStateEvent(&m_done) != 0; }
    BOOLEAN Cancel() { return IoCancelIrp(m_irp); }

    NTSTATUS Status() const { return m_irp->IoStatus.Status; }
    KIRQL CompletionIrql() const { return m_irql; }
    std::thread::id CompletionThread() const { return m_thread; }
    int Completions() const { return m_completions.load(); }

  private:
    PIO_STACK_LOCATION Prepare(ULONG code)
    {
        m_sent = true;
        PIO_STACK_LOCATION stack = IoGetNextIrpStackLocation(m_irp);
        stack->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
        stack->Parameters.DeviceIoControl.IoControlCode = code;
        return stack;
    }
    NTSTATUS Call()
    {
        m_irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
        IoSetCompletionRoutine(m_irp, Done, this, TRUE, TRUE, TRUE);
        return IoCallDriver(m_pdo, m_irp);
    }
    static NTSTATUS Done(PDEVICE_OBJECT, PIRP, PVOID context)
    {
        auto* self = static_cast<HubRequest*>(context);
        self->m_irql = KeGetCurrentIrql();
        self->m_thread = std::this_thread::get_id();
        self->m_completions++;
        KeSetEvent(&self->m_done, IO_NO_INCREMENT, FALSE);
        return STATUS_MORE_PROCESSING_REQUIRED;
    }

    PDEVICE_OBJECT m_pdo;
    PIRP m_irp;
    KEVENT m_done;
    bool m_sent = false;
    KIRQL m_irql = HIGH_LEVEL;
    std::thread::id m_thread;
    std::atomic<int> m_completions{0};
};

// --- request blocks, as a client driver builds them --------------------------------------------

inline URB DescriptorRequest(UCHAR type, UCHAR index, void* buffer, ULONG length)
{
    URB urb{};
    urb.UrbHeader.Length = sizeof(_URB_CONTROL_DESCRIPTOR_REQUEST);
    urb.UrbHeader.Function = URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE;
    urb.UrbControlDescriptorRequest.DescriptorType = type;
    urb.UrbControlDescriptorRequest.Index = index;
    urb.UrbControlDescriptorRequest.TransferBuffer = buffer;
    urb.UrbControlDescriptorRequest.TransferBufferLength = length;
    return urb;
}

inline URB BulkTransfer(USBD_PIPE_HANDLE pipe, void* buffer, ULONG length, ULONG flags)
{
    URB urb{};
    urb.UrbHeader.Length = sizeof(_URB_BULK_OR_INTERRUPT_TRANSFER);
    urb.UrbHeader.Function = URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER;
    urb.UrbBulkOrInterruptTransfer.PipeHandle = pipe;
    urb.UrbBulkOrInterruptTransfer.TransferFlags = flags;
    urb.UrbBulkOrInterruptTransfer.TransferBuffer = buffer;
    urb.UrbBulkOrInterruptTransfer.TransferBufferLength = length;
    return urb;
}

inline URB ReadTransfer(USBD_PIPE_HANDLE pipe, void* buffer, ULONG length)
{
    return BulkTransfer(pipe, buffer, length, USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK);
}

inline URB WriteTransfer(USBD_PIPE_HANDLE pipe, const void* buffer, ULONG length)
{
    return BulkTransfer(pipe, const_cast<void*>(buffer), length, USBD_TRANSFER_DIRECTION_OUT);
}

inline URB PipeRequest(USHORT function, USBD_PIPE_HANDLE pipe)
{
    URB urb{};
    urb.UrbHeader.Length = sizeof(_URB_PIPE_REQUEST);
    urb.UrbHeader.Function = function;
    urb.UrbPipeRequest.PipeHandle = pipe;
    return urb;
}

// A control transfer on the default pipe (CONTROL_TRANSFER, or CONTROL_TRANSFER_EX when ex).
inline URB ControlTransfer(UCHAR requestType, UCHAR request, USHORT value, USHORT index, void* buffer,
                           USHORT length, bool ex = true)
{
    URB urb{};
    USB_DEFAULT_PIPE_SETUP_PACKET setup{};
    setup.s.bmRequestType = requestType;
    setup.s.bRequest = request;
    setup.s.wValue = value;
    setup.s.wIndex = index;
    setup.s.wLength = length;
    ULONG flags = USBD_DEFAULT_PIPE_TRANSFER | ((requestType & 0x80) != 0 ? USBD_TRANSFER_DIRECTION_IN : 0);
    if (ex)
    {
        urb.UrbHeader.Length = sizeof(_URB_CONTROL_TRANSFER_EX);
        urb.UrbHeader.Function = URB_FUNCTION_CONTROL_TRANSFER_EX;
        urb.UrbControlTransferEx.TransferFlags = flags;
        urb.UrbControlTransferEx.TransferBuffer = buffer;
        urb.UrbControlTransferEx.TransferBufferLength = length;
        memcpy(urb.UrbControlTransferEx.SetupPacket, setup.Bytes, 8);
    }
    else
    {
        urb.UrbHeader.Length = sizeof(_URB_CONTROL_TRANSFER);
        urb.UrbHeader.Function = URB_FUNCTION_CONTROL_TRANSFER;
        urb.UrbControlTransfer.TransferFlags = flags;
        urb.UrbControlTransfer.TransferBuffer = buffer;
        urb.UrbControlTransfer.TransferBufferLength = length;
        memcpy(urb.UrbControlTransfer.SetupPacket, setup.Bytes, 8);
    }
    return urb;
}

// The interface and endpoint descriptors of a configuration descriptor, in order.
struct ParsedInterface
{
    USB_INTERFACE_DESCRIPTOR descriptor;
    std::vector<USB_ENDPOINT_DESCRIPTOR> endpoints;
};

inline std::vector<ParsedInterface> ParseConfiguration(const std::vector<UCHAR>& bytes)
{
    std::vector<ParsedInterface> interfaces;
    for (size_t offset = 0; offset + 2 <= bytes.size() && bytes[offset] != 0; offset += bytes[offset])
    {
        if (bytes[offset + 1] == USB_INTERFACE_DESCRIPTOR_TYPE)
        {
            ParsedInterface parsed{};
            memcpy(&parsed.descriptor, &bytes[offset], sizeof(parsed.descriptor));
            interfaces.push_back(parsed);
        }
        else if (bytes[offset + 1] == USB_ENDPOINT_DESCRIPTOR_TYPE && !interfaces.empty())
        {
            USB_ENDPOINT_DESCRIPTOR endpoint;
            memcpy(&endpoint, &bytes[offset], sizeof(endpoint));
            interfaces.back().endpoints.push_back(endpoint);
        }
    }
    return interfaces;
}

// A select-configuration request block as USBD_CreateConfigurationRequestEx builds it: one entry
// per interface of the descriptor, each with its Length, InterfaceNumber and AlternateSetting.
class SelectConfigurationRequest
{
  public:
    explicit SelectConfigurationRequest(std::vector<UCHAR> descriptor) : m_descriptor(std::move(descriptor))
    {
        std::vector<ParsedInterface> interfaces = ParseConfiguration(m_descriptor);
        size_t pipes = 0;
        for (const ParsedInterface& i : interfaces)
        {
            pipes += i.endpoints.size();
        }
        size_t size = GET_SELECT_CONFIGURATION_REQUEST_SIZE(interfaces.size(), pipes);
        m_storage.assign((size + sizeof(ULONG_PTR) - 1) / sizeof(ULONG_PTR), 0);
        Urb().UrbHeader.Length = static_cast<USHORT>(size);
        Urb().UrbHeader.Function = URB_FUNCTION_SELECT_CONFIGURATION;
        Urb().UrbSelectConfiguration.ConfigurationDescriptor =
            reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(m_descriptor.data());
        auto* entry = reinterpret_cast<UCHAR*>(&Urb().UrbSelectConfiguration.Interface);
        for (const ParsedInterface& i : interfaces)
        {
            auto* info = reinterpret_cast<PUSBD_INTERFACE_INFORMATION>(entry);
            info->Length = static_cast<USHORT>(GET_USBD_INTERFACE_SIZE(i.endpoints.size()));
            info->InterfaceNumber = i.descriptor.bInterfaceNumber;
            info->AlternateSetting = 0;
            m_interfaces.push_back(info);
            entry += info->Length;
        }
    }

    URB& Urb() { return *reinterpret_cast<URB*>(m_storage.data()); }
    const std::vector<PUSBD_INTERFACE_INFORMATION>& Interfaces() const { return m_interfaces; }
    // The handle of the pipe with this endpoint address, or null.
    USBD_PIPE_HANDLE Pipe(UCHAR address) const
    {
        for (PUSBD_INTERFACE_INFORMATION info : m_interfaces)
        {
            for (ULONG p = 0; p < info->NumberOfPipes; ++p)
            {
                if (info->Pipes[p].EndpointAddress == address)
                {
                    return info->Pipes[p].PipeHandle;
                }
            }
        }
        return nullptr;
    }

  private:
    std::vector<UCHAR> m_descriptor;
    std::vector<ULONG_PTR> m_storage;
    std::vector<PUSBD_INTERFACE_INFORMATION> m_interfaces;
};

constexpr UCHAR InterruptIn = 0x81;
constexpr UCHAR BulkIn = 0x82;
constexpr UCHAR BulkOut = 0x02;

// A machine with one reader plugged in, configured by the test as a client driver would.
class HubTest : public ::testing::Test
{
  protected:
    void Plug(const ReaderSpec& spec = {})
    {
        m_device = m_machine.Attach(spec);
        m_pdo = m_device.PhysicalDeviceObject();
        m_reader = m_machine.ReaderOf(m_device);
        ASSERT_NE(m_pdo, nullptr);
        ASSERT_TRUE(m_reader);
    }

    // The whole configuration descriptor, read as a client does: its header first, then all.
    std::vector<UCHAR> ConfigurationDescriptor()
    {
        USB_CONFIGURATION_DESCRIPTOR header{};
        URB urb = DescriptorRequest(USB_CONFIGURATION_DESCRIPTOR_TYPE, 0, &header, sizeof(header));
        HubRequest request(m_pdo);
        EXPECT_EQ(request.SendUrb(urb), STATUS_SUCCESS);
        std::vector<UCHAR> bytes(header.wTotalLength);
        URB all = DescriptorRequest(USB_CONFIGURATION_DESCRIPTOR_TYPE, 0, bytes.data(), header.wTotalLength);
        HubRequest second(m_pdo);
        EXPECT_EQ(second.SendUrb(all), STATUS_SUCCESS);
        return bytes;
    }

    // Plugs a reader in and selects its configuration; the pipes are then at hand.
    void PlugConfigured(const ReaderSpec& spec = {})
    {
        Plug(spec);
        m_select = std::make_unique<SelectConfigurationRequest>(ConfigurationDescriptor());
        HubRequest request(m_pdo);
        ASSERT_EQ(request.SendUrb(m_select->Urb()), STATUS_SUCCESS);
    }
    USBD_PIPE_HANDLE Pipe(UCHAR address) const { return m_select->Pipe(address); }

    Machine m_machine;
    Device m_device;
    PDEVICE_OBJECT m_pdo = nullptr;
    Reader m_reader;
    std::unique_ptr<SelectConfigurationRequest> m_select;
};

} // namespace usbtest
