// The hub as a USB client driver sees it: descriptors, configuration, bulk and interrupt transfers
// that pend until the reader has something, their completion at DISPATCH_LEVEL from the hub's DPC,
// cancellation, aborting a pipe, and the port's status and reset.
#include "UsbTestSupport.h"

using namespace usbtest;

namespace
{

// --- descriptors ---------------------------------------------------------------------------------

struct ExpectedEndpoint
{
    UCHAR address;
    UCHAR attributes;
    USHORT maxPacket;
    UCHAR interval;
};

struct DescriptorCase
{
    const char* name;
    ReaderLayout layout;
    ReaderSpeed speed;
    bool remoteWake;
    USHORT bcdUSB;
    std::vector<UCHAR> interfaceClasses;
    std::vector<std::vector<ExpectedEndpoint>> endpoints; // per interface
};

const ExpectedEndpoint FullInterrupt{0x81, USB_ENDPOINT_TYPE_INTERRUPT, 16, 1};
const ExpectedEndpoint FullBulkIn{0x82, USB_ENDPOINT_TYPE_BULK, 64, 0};
const ExpectedEndpoint FullBulkOut{0x02, USB_ENDPOINT_TYPE_BULK, 64, 0};
const ExpectedEndpoint HighInterrupt{0x81, USB_ENDPOINT_TYPE_INTERRUPT, 16, 4};
const ExpectedEndpoint HighBulkIn{0x82, USB_ENDPOINT_TYPE_BULK, 512, 0};
const ExpectedEndpoint HighBulkOut{0x02, USB_ENDPOINT_TYPE_BULK, 512, 0};

const DescriptorCase DescriptorCases[] = {
    {"SingleInterfaceFullSpeed",
     ReaderLayout::SingleInterface,
     ReaderSpeed::Full,
     true,
     0x0110,
     {0x02},
     {{FullInterrupt, FullBulkIn, FullBulkOut}}},
    {"SingleInterfaceHighSpeed",
     ReaderLayout::SingleInterface,
     ReaderSpeed::High,
     true,
     0x0200,
     {0x02},
     {{HighInterrupt, HighBulkIn, HighBulkOut}}},
    {"TwoInterfacesFullSpeed",
     ReaderLayout::TwoInterfaces,
     ReaderSpeed::Full,
     true,
     0x0110,
     {0x02, 0x0A},
     {{FullInterrupt}, {FullBulkIn, FullBulkOut}}},
    {"TwoInterfacesHighSpeed",
     ReaderLayout::TwoInterfaces,
     ReaderSpeed::High,
     false,
     0x0200,
     {0x02, 0x0A},
     {{HighInterrupt}, {HighBulkIn, HighBulkOut}}},
    {"NoInterruptPipe",
     ReaderLayout::NoInterruptPipe,
     ReaderSpeed::Full,
     true,
     0x0110,
     {0x02},
     {{FullBulkIn, FullBulkOut}}},
    {"NoBulkIn",
     ReaderLayout::NoBulkIn,
     ReaderSpeed::Full,
     false,
     0x0110,
     {0x02},
     {{FullInterrupt, FullBulkOut}}},
    {"NoBulkOut",
     ReaderLayout::NoBulkOut,
     ReaderSpeed::High,
     true,
     0x0200,
     {0x02},
     {{HighInterrupt, HighBulkIn}}},
};

class DescriptorTest : public HubTest, public ::testing::WithParamInterface<DescriptorCase>
{
  protected:
    ReaderSpec Spec() const
    {
        ReaderSpec spec;
        spec.vendorId = 0x1234;
        spec.productId = 0x5678;
        spec.layout = GetParam().layout;
        spec.speed = GetParam().speed;
        spec.remoteWake = GetParam().remoteWake;
        return spec;
    }
};

TEST_P(DescriptorTest, DeviceDescriptorNamesTheReader)
{
    Plug(Spec());
    USB_DEVICE_DESCRIPTOR device{};
    URB urb = DescriptorRequest(USB_DEVICE_DESCRIPTOR_TYPE, 0, &device, sizeof(device));
    HubRequest request(m_pdo);
    EXPECT_EQ(request.SendUrb(urb), STATUS_SUCCESS);
    EXPECT_EQ(urb.UrbHeader.Status, USBD_STATUS_SUCCESS);
    EXPECT_EQ(urb.UrbControlDescriptorRequest.TransferBufferLength, sizeof(USB_DEVICE_DESCRIPTOR));
    EXPECT_EQ(device.bLength, sizeof(USB_DEVICE_DESCRIPTOR));
    EXPECT_EQ(device.bDescriptorType, USB_DEVICE_DESCRIPTOR_TYPE);
    EXPECT_EQ(USHORT{device.bcdUSB}, GetParam().bcdUSB);
    EXPECT_EQ(USHORT{device.idVendor}, 0x1234);
    EXPECT_EQ(USHORT{device.idProduct}, 0x5678);
    EXPECT_EQ(device.bDeviceClass, 0x02);
    EXPECT_EQ(device.bMaxPacketSize0, 64);
    EXPECT_EQ(device.bNumConfigurations, 1);
}

TEST_P(DescriptorTest, ConfigurationDescriptorListsInterfacesAndEndpoints)
{
    Plug(Spec());
    std::vector<UCHAR> bytes = ConfigurationDescriptor();
    ASSERT_GE(bytes.size(), sizeof(USB_CONFIGURATION_DESCRIPTOR));
    USB_CONFIGURATION_DESCRIPTOR header;
    memcpy(&header, bytes.data(), sizeof(header));
    EXPECT_EQ(header.bNumInterfaces, GetParam().interfaceClasses.size());
    EXPECT_EQ(header.bConfigurationValue, 1);
    EXPECT_EQ((header.bmAttributes & USB_CONFIG_REMOTE_WAKEUP) != 0, GetParam().remoteWake);
    EXPECT_EQ(header.bmAttributes & USB_CONFIG_BUS_POWERED, USB_CONFIG_BUS_POWERED);

    std::vector<ParsedInterface> interfaces = ParseConfiguration(bytes);
    ASSERT_EQ(interfaces.size(), GetParam().interfaceClasses.size());
    for (size_t i = 0; i < interfaces.size(); ++i)
    {
        SCOPED_TRACE("interface " + std::to_string(i));
        EXPECT_EQ(interfaces[i].descriptor.bInterfaceNumber, i);
        EXPECT_EQ(interfaces[i].descriptor.bInterfaceClass, GetParam().interfaceClasses[i]);
        EXPECT_EQ(interfaces[i].descriptor.bNumEndpoints, GetParam().endpoints[i].size());
        ASSERT_EQ(interfaces[i].endpoints.size(), GetParam().endpoints[i].size());
        for (size_t e = 0; e < interfaces[i].endpoints.size(); ++e)
        {
            const USB_ENDPOINT_DESCRIPTOR& actual = interfaces[i].endpoints[e];
            const ExpectedEndpoint& expected = GetParam().endpoints[i][e];
            EXPECT_EQ(actual.bEndpointAddress, expected.address);
            EXPECT_EQ(actual.bmAttributes, expected.attributes);
            EXPECT_EQ(USHORT{actual.wMaxPacketSize}, expected.maxPacket);
            EXPECT_EQ(actual.bInterval, expected.interval);
        }
    }
}

TEST_P(DescriptorTest, SelectConfigurationFillsInterfacesAndPipes)
{
    Plug(Spec());
    SelectConfigurationRequest select(ConfigurationDescriptor());
    HubRequest request(m_pdo);
    ASSERT_EQ(request.SendUrb(select.Urb()), STATUS_SUCCESS);
    EXPECT_EQ(select.Urb().UrbHeader.Status, USBD_STATUS_SUCCESS);
    EXPECT_NE(select.Urb().UrbSelectConfiguration.ConfigurationHandle, nullptr);
    ASSERT_EQ(select.Interfaces().size(), GetParam().interfaceClasses.size());
    std::vector<USBD_PIPE_HANDLE> handles;
    for (size_t i = 0; i < select.Interfaces().size(); ++i)
    {
        SCOPED_TRACE("interface " + std::to_string(i));
        PUSBD_INTERFACE_INFORMATION info = select.Interfaces()[i];
        EXPECT_EQ(info->Class, GetParam().interfaceClasses[i]);
        EXPECT_EQ(info->SubClass, info->Class == 0x02 ? 0x02 : 0x00);
        EXPECT_EQ(info->Protocol, info->Class == 0x02 ? 0x01 : 0x00);
        EXPECT_NE(info->InterfaceHandle, nullptr);
        ASSERT_EQ(info->NumberOfPipes, GetParam().endpoints[i].size());
        for (ULONG p = 0; p < info->NumberOfPipes; ++p)
        {
            const ExpectedEndpoint& expected = GetParam().endpoints[i][p];
            EXPECT_EQ(info->Pipes[p].EndpointAddress, expected.address);
            EXPECT_EQ(info->Pipes[p].MaximumPacketSize, expected.maxPacket);
            EXPECT_EQ(info->Pipes[p].Interval, expected.interval);
            EXPECT_EQ(info->Pipes[p].PipeType, expected.attributes == USB_ENDPOINT_TYPE_BULK
                                                   ? UsbdPipeTypeBulk
                                                   : UsbdPipeTypeInterrupt);
            EXPECT_NE(info->Pipes[p].PipeHandle, nullptr);
            handles.push_back(info->Pipes[p].PipeHandle);
        }
    }
    std::sort(handles.begin(), handles.end());
    EXPECT_EQ(std::unique(handles.begin(), handles.end()), handles.end()) << "pipe handles are distinct";
}

INSTANTIATE_TEST_SUITE_P(Layouts, DescriptorTest, ::testing::ValuesIn(DescriptorCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(HubTest, ConfigurationDescriptorIsCutToTheBufferGiven)
{
    Plug();
    std::vector<UCHAR> whole = ConfigurationDescriptor();
    UCHAR part[20] = {};
    URB urb = DescriptorRequest(USB_CONFIGURATION_DESCRIPTOR_TYPE, 0, part, sizeof(part));
    HubRequest request(m_pdo);
    EXPECT_EQ(request.SendUrb(urb), STATUS_SUCCESS);
    EXPECT_EQ(urb.UrbControlDescriptorRequest.TransferBufferLength, sizeof(part));
    EXPECT_EQ(std::vector<UCHAR>(part, part + sizeof(part)),
              std::vector<UCHAR>(whole.begin(), whole.begin() + 20));
    // A larger buffer gets the descriptor's wTotalLength bytes and no more.
    std::vector<UCHAR> large(whole.size() + 100, 0xEE);
    URB all = DescriptorRequest(USB_CONFIGURATION_DESCRIPTOR_TYPE, 0, large.data(),
                                static_cast<ULONG>(large.size()));
    HubRequest second(m_pdo);
    EXPECT_EQ(second.SendUrb(all), STATUS_SUCCESS);
    EXPECT_EQ(all.UrbControlDescriptorRequest.TransferBufferLength, whole.size());
    EXPECT_EQ(large[whole.size()], 0xEE);
}

TEST_F(HubTest, SerialNumberStringIsTheReaders)
{
    ReaderSpec spec;
    spec.serialNumber = u"AB12";
    Plug(spec);
    UCHAR buffer[64] = {};
    URB urb = DescriptorRequest(USB_STRING_DESCRIPTOR_TYPE, 3, buffer, sizeof(buffer));
    HubRequest request(m_pdo);
    EXPECT_EQ(request.SendUrb(urb), STATUS_SUCCESS);
    EXPECT_EQ(urb.UrbControlDescriptorRequest.TransferBufferLength, 10u);
    EXPECT_EQ(std::vector<UCHAR>(buffer, buffer + 10),
              (std::vector<UCHAR>{10, USB_STRING_DESCRIPTOR_TYPE, 'A', 0, 'B', 0, '1', 0, '2', 0}));
}

// --- requests the hub refuses ------------------------------------------------------------------

struct RefusalCase
{
    const char* name;
    URB (*build)(HubTest& test, UCHAR* buffer);
    NTSTATUS status;
    USBD_STATUS usbdStatus;
};

class RefusalTest : public HubTest, public ::testing::WithParamInterface<RefusalCase>
{
  public:
    USBD_PIPE_HANDLE PipeOf(UCHAR address) const { return Pipe(address); }
};

const RefusalCase RefusalCases[] = {
    {"UnknownFunction",
     [](HubTest&, UCHAR*) {
         URB urb{};
         urb.UrbHeader.Length = sizeof(_URB_PIPE_REQUEST);
         urb.UrbHeader.Function = 0x0025;
         return urb;
     },
     STATUS_NOT_SUPPORTED, USBD_STATUS_INVALID_URB_FUNCTION},
    {"DescriptorTheReaderLacks",
     [](HubTest&, UCHAR* buffer) { return DescriptorRequest(0x06, 0, buffer, 16); }, STATUS_UNSUCCESSFUL,
     USBD_STATUS_STALL_PID},
    {"TransferOnAPipeThatIsNotOne",
     [](HubTest&, UCHAR* buffer) {
         static int notAPipe;
         return ReadTransfer(&notAPipe, buffer, 16);
     },
     STATUS_INVALID_PARAMETER, USBD_STATUS_INVALID_PIPE_HANDLE},
    {"TransferWithoutABuffer",
     [](HubTest& test, UCHAR*) {
         return ReadTransfer(static_cast<RefusalTest&>(test).PipeOf(BulkIn), nullptr, 16);
     },
     STATUS_INVALID_PARAMETER, USBD_STATUS_INVALID_PARAMETER},
    {"RequestBlockTooShort",
     [](HubTest& test, UCHAR* buffer) {
         URB urb = ReadTransfer(static_cast<RefusalTest&>(test).PipeOf(BulkIn), buffer, 16);
         urb.UrbHeader.Length = sizeof(_URB_HEADER);
         return urb;
     },
     STATUS_INVALID_PARAMETER, USBD_STATUS_INVALID_PARAMETER},
};

TEST_P(RefusalTest, CompletesAtOnceWithTheStatuses)
{
    PlugConfigured();
    UCHAR buffer[64];
    URB urb = GetParam().build(*this, buffer);
    HubRequest request(m_pdo);
    EXPECT_EQ(request.SendUrb(urb), GetParam().status);
    EXPECT_TRUE(request.Completed());
    EXPECT_EQ(request.Status(), GetParam().status);
    EXPECT_EQ(urb.UrbHeader.Status, GetParam().usbdStatus);
}

INSTANTIATE_TEST_SUITE_P(Hub, RefusalTest, ::testing::ValuesIn(RefusalCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(HubTest, UnconfiguringTheDeviceInvalidatesItsPipes)
{
    PlugConfigured();
    USBD_PIPE_HANDLE bulkIn = Pipe(BulkIn);
    URB unconfigure{};
    unconfigure.UrbHeader.Length = sizeof(_URB_SELECT_CONFIGURATION);
    unconfigure.UrbHeader.Function = URB_FUNCTION_SELECT_CONFIGURATION;
    HubRequest request(m_pdo);
    EXPECT_EQ(request.SendUrb(unconfigure), STATUS_SUCCESS);
    EXPECT_EQ(unconfigure.UrbSelectConfiguration.ConfigurationHandle, nullptr);

    UCHAR buffer[16];
    URB read = ReadTransfer(bulkIn, buffer, sizeof(buffer));
    HubRequest transfer(m_pdo);
    EXPECT_EQ(transfer.SendUrb(read), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(read.UrbHeader.Status, USBD_STATUS_INVALID_PIPE_HANDLE);
}

// --- bulk and interrupt transfers --------------------------------------------------------------

TEST_F(HubTest, BulkInReadPendsUntilBytesArrive)
{
    PlugConfigured();
    UCHAR buffer[64] = {};
    URB read = ReadTransfer(Pipe(BulkIn), buffer, sizeof(buffer));
    HubRequest request(m_pdo);
    EXPECT_EQ(request.SendUrb(read), STATUS_PENDING);
    m_reader.WaitForCompletions();
    EXPECT_FALSE(request.Completed());
    EXPECT_EQ(m_reader.OutstandingBulkInReads(), 1u);

    m_reader.PushBulkIn("abc");
    EXPECT_EQ(request.Wait(), STATUS_SUCCESS);
    EXPECT_EQ(read.UrbHeader.Status, USBD_STATUS_SUCCESS);
    EXPECT_EQ(read.UrbBulkOrInterruptTransfer.TransferBufferLength, 3u);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(buffer), 3), "abc");
    EXPECT_EQ(m_reader.OutstandingBulkInReads(), 0u);
}

TEST_F(HubTest, ReadsTakeWhatIsThereUpToTheirLength)
{
    PlugConfigured();
    std::string sent(100, 'x');
    for (size_t i = 0; i < sent.size(); ++i)
    {
        sent[i] = static_cast<char>('a' + i % 26);
    }
    m_reader.PushBulkIn(sent);
    std::string received;
    for (ULONG expected : {64u, 36u})
    {
        UCHAR buffer[64];
        URB read = ReadTransfer(Pipe(BulkIn), buffer, sizeof(buffer));
        HubRequest request(m_pdo);
        EXPECT_EQ(request.SendUrb(read), STATUS_PENDING);
        EXPECT_EQ(request.Wait(), STATUS_SUCCESS);
        EXPECT_EQ(read.UrbBulkOrInterruptTransfer.TransferBufferLength, expected);
        received.append(reinterpret_cast<char*>(buffer),
                        read.UrbBulkOrInterruptTransfer.TransferBufferLength);
    }
    EXPECT_EQ(received, sent);
}

TEST_F(HubTest, ShortReadWithoutShortTransferOkIsAnError)
{
    PlugConfigured();
    m_reader.PushBulkIn("ab");
    UCHAR buffer[64];
    URB read = BulkTransfer(Pipe(BulkIn), buffer, sizeof(buffer), USBD_TRANSFER_DIRECTION_IN);
    HubRequest request(m_pdo);
    request.SendUrb(read);
    EXPECT_EQ(request.Wait(), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(read.UrbHeader.Status, USBD_STATUS_ERROR_SHORT_TRANSFER);
    EXPECT_EQ(read.UrbBulkOrInterruptTransfer.TransferBufferLength, 2u);
}

TEST_F(HubTest, BulkOutBytesAreKeptForTheTest)
{
    PlugConfigured();
    const char text[] = "hello";
    URB write = WriteTransfer(Pipe(BulkOut), text, 5);
    HubRequest request(m_pdo);
    EXPECT_EQ(request.SendUrb(write), STATUS_PENDING);
    EXPECT_EQ(request.Wait(), STATUS_SUCCESS);
    EXPECT_EQ(write.UrbBulkOrInterruptTransfer.TransferBufferLength, 5u);
    EXPECT_EQ(m_reader.TakeBulkOut(), (std::vector<UCHAR>{'h', 'e', 'l', 'l', 'o'}));
    EXPECT_EQ(m_reader.TakeBulkOut(), std::vector<UCHAR>{});
}

// Every transfer completes from the hub's DPC: at DISPATCH_LEVEL, on another thread than the
// sender's.
struct CompletionCase
{
    const char* name;
    UCHAR address; // 0: the default pipe
    void (*provoke)(Reader& reader);
};

const CompletionCase CompletionCases[] = {
    {"BulkIn", BulkIn, [](Reader& reader) { reader.PushBulkIn("z"); }},
    {"BulkOut", BulkOut, [](Reader&) {}},
    {"Interrupt", InterruptIn, [](Reader& reader) { reader.PushSerialState(0x0001); }},
    {"ClassRequest", 0, [](Reader&) {}},
    {"Failure", BulkIn,
     [](Reader& reader) {
         reader.FailTransfers(ReaderEndpoint::BulkIn, 1, STATUS_IO_TIMEOUT, USBD_STATUS_TIMEOUT);
     }},
};

class CompletionTest : public HubTest, public ::testing::WithParamInterface<CompletionCase>
{
};

TEST_P(CompletionTest, RunsAtDispatchLevelOnADpcThread)
{
    PlugConfigured();
    UCHAR buffer[16] = {'q'};
    URB urb = GetParam().address == 0 ? ControlTransfer(0x21, 0x22, 0x0001, 0, nullptr, 0)
              : GetParam().address == BulkOut
                  ? WriteTransfer(Pipe(BulkOut), buffer, 1)
                  : ReadTransfer(Pipe(GetParam().address), buffer, sizeof(buffer));
    HubRequest request(m_pdo);
    KIRQL old;
    // Sent at DISPATCH_LEVEL, as a client's completion routine or DPC would resend.
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    EXPECT_EQ(request.SendUrb(urb), STATUS_PENDING);
    KeLowerIrql(old);
    GetParam().provoke(m_reader);
    request.Wait();
    EXPECT_EQ(request.CompletionIrql(), DISPATCH_LEVEL);
    EXPECT_NE(request.CompletionThread(), std::this_thread::get_id());
    EXPECT_EQ(request.Completions(), 1);
}

INSTANTIATE_TEST_SUITE_P(Transfers, CompletionTest, ::testing::ValuesIn(CompletionCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(HubTest, CancelledReadEndsCancelled)
{
    PlugConfigured();
    UCHAR buffer[64];
    URB read = ReadTransfer(Pipe(BulkIn), buffer, sizeof(buffer));
    HubRequest request(m_pdo);
    EXPECT_EQ(request.SendUrb(read), STATUS_PENDING);
    EXPECT_TRUE(request.Cancel());
    EXPECT_EQ(request.Wait(), STATUS_CANCELLED);
    EXPECT_EQ(read.UrbHeader.Status, USBD_STATUS_CANCELED);
    EXPECT_EQ(read.UrbBulkOrInterruptTransfer.TransferBufferLength, 0u);
    EXPECT_EQ(request.CompletionIrql(), DISPATCH_LEVEL);
    EXPECT_EQ(m_reader.OutstandingBulkInReads(), 0u);
    // The bytes that come next go to the next read, not the cancelled one.
    m_reader.PushBulkIn("n");
    UCHAR next[8];
    URB again = ReadTransfer(Pipe(BulkIn), next, sizeof(next));
    HubRequest second(m_pdo);
    second.SendUrb(again);
    EXPECT_EQ(second.Wait(), STATUS_SUCCESS);
    EXPECT_EQ(next[0], 'n');
}

// A read cancelled while bytes arrive ends exactly once, with the bytes or cancelled; no byte is
// lost or delivered twice.
TEST_F(HubTest, CancelRacingArrivalCompletesEachReadOnce)
{
    PlugConfigured();
    size_t delivered = 0;
    const int rounds = 200;
    for (int round = 0; round < rounds; ++round)
    {
        UCHAR buffer[4];
        URB read = ReadTransfer(Pipe(BulkIn), buffer, 1);
        HubRequest request(m_pdo);
        ASSERT_EQ(request.SendUrb(read), STATUS_PENDING);
        std::thread pusher([this] { m_reader.PushBulkIn("x"); });
        request.Cancel();
        pusher.join();
        NTSTATUS status = request.Wait();
        m_reader.WaitForCompletions();
        ASSERT_EQ(request.Completions(), 1);
        if (status == STATUS_SUCCESS)
        {
            ASSERT_EQ(read.UrbBulkOrInterruptTransfer.TransferBufferLength, 1u);
            delivered++;
        }
        else
        {
            ASSERT_EQ(status, STATUS_CANCELLED);
        }
    }
    // What no read took is still there, byte for byte.
    std::vector<UCHAR> rest(rounds);
    URB drain = ReadTransfer(Pipe(BulkIn), rest.data(), rounds);
    HubRequest last(m_pdo);
    if (delivered < static_cast<size_t>(rounds))
    {
        last.SendUrb(drain);
        EXPECT_EQ(last.Wait(), STATUS_SUCCESS);
        EXPECT_EQ(drain.UrbBulkOrInterruptTransfer.TransferBufferLength, rounds - delivered);
    }
    EXPECT_EQ(m_reader.OutstandingBulkInReads(), 0u);
}

TEST_F(HubTest, AbortPipeEndsEveryPendingTransferBeforeItself)
{
    PlugConfigured();
    UCHAR first[16], second[16], other[16];
    URB read1 = ReadTransfer(Pipe(BulkIn), first, sizeof(first));
    URB read2 = ReadTransfer(Pipe(BulkIn), second, sizeof(second));
    URB interrupt = ReadTransfer(Pipe(InterruptIn), other, sizeof(other));
    HubRequest r1(m_pdo), r2(m_pdo), ri(m_pdo);
    r1.SendUrb(read1);
    r2.SendUrb(read2);
    ri.SendUrb(interrupt);
    EXPECT_EQ(m_reader.MostBulkInReadsOutstanding(), 2u);

    URB abort = PipeRequest(URB_FUNCTION_ABORT_PIPE, Pipe(BulkIn));
    HubRequest aborting(m_pdo);
    aborting.SendUrb(abort);
    EXPECT_EQ(aborting.Wait(), STATUS_SUCCESS);
    EXPECT_EQ(abort.UrbHeader.Status, USBD_STATUS_SUCCESS);
    // By the time the abort is back, so are the transfers it ended.
    EXPECT_TRUE(r1.Completed());
    EXPECT_TRUE(r2.Completed());
    EXPECT_EQ(r1.Status(), STATUS_CANCELLED);
    EXPECT_EQ(r2.Status(), STATUS_CANCELLED);
    EXPECT_EQ(read1.UrbHeader.Status, USBD_STATUS_CANCELED);
    EXPECT_EQ(read2.UrbHeader.Status, USBD_STATUS_CANCELED);
    // Another pipe's transfer is not touched.
    m_reader.WaitForCompletions();
    EXPECT_FALSE(ri.Completed());
    ri.Cancel();
    EXPECT_EQ(ri.Wait(), STATUS_CANCELLED);
}

TEST_F(HubTest, OutstandingReadsAreCountedWithTheirHighWaterMark)
{
    PlugConfigured();
    UCHAR buffers[3][8];
    std::vector<URB> reads;
    for (auto& buffer : buffers)
    {
        reads.push_back(ReadTransfer(Pipe(BulkIn), buffer, sizeof(buffer)));
    }
    HubRequest r0(m_pdo), r1(m_pdo), r2(m_pdo);
    r0.SendUrb(reads[0]);
    r1.SendUrb(reads[1]);
    r2.SendUrb(reads[2]);
    EXPECT_EQ(m_reader.OutstandingBulkInReads(), 3u);
    m_reader.PushBulkIn("12345678");
    EXPECT_EQ(r0.Wait(), STATUS_SUCCESS);
    m_reader.WaitForCompletions();
    EXPECT_EQ(m_reader.OutstandingBulkInReads(), 2u);
    EXPECT_EQ(m_reader.MostBulkInReadsOutstanding(), 3u);
    r1.Cancel();
    r2.Cancel();
    r1.Wait();
    r2.Wait();
    m_reader.WaitForCompletions();
    EXPECT_EQ(m_reader.OutstandingBulkInReads(), 0u);
    EXPECT_EQ(m_reader.MostBulkInReadsOutstanding(), 3u);
}

// --- the port ----------------------------------------------------------------------------------

TEST_F(HubTest, PortStatusTellsWhetherTheReaderIsThere)
{
    Plug();
    ULONG bits = 0;
    HubRequest before(m_pdo);
    EXPECT_EQ(before.Send(IOCTL_INTERNAL_USB_GET_PORT_STATUS, &bits), STATUS_SUCCESS);
    EXPECT_EQ(bits, ULONG(USBD_PORT_ENABLED | USBD_PORT_CONNECTED));
    m_reader.Disconnect();
    HubRequest after(m_pdo);
    EXPECT_EQ(after.Send(IOCTL_INTERNAL_USB_GET_PORT_STATUS, &bits), STATUS_SUCCESS);
    EXPECT_EQ(bits, 0u);
}

TEST_F(HubTest, PortResetClearsAStalledPipe)
{
    PlugConfigured();
    m_reader.Stall(ReaderEndpoint::BulkIn);
    m_reader.Stall(ReaderEndpoint::Default);
    HubRequest reset(m_pdo);
    EXPECT_EQ(reset.Send(IOCTL_INTERNAL_USB_RESET_PORT, nullptr), STATUS_SUCCESS);
    EXPECT_EQ(m_reader.PortResets(), 1u);
    EXPECT_FALSE(m_reader.Stalled(ReaderEndpoint::BulkIn));
    EXPECT_FALSE(m_reader.Stalled(ReaderEndpoint::Default));
}

} // namespace
