// The framework's USB target on a reader of the machine's bus: configuration and pipes, requests
// the driver formats and sends, the targets' states, cancellation and time-outs, the device's own
// requests, and the continuous reader.
#include "FxUsbSupport.h"

#include <string.h>

#include <mutex>
#include <string>
#include <thread>

using namespace fxtest;

namespace
{

class FxUsbTest : public FxTest
{
};

// --- configuration ------------------------------------------------------------------------------

struct PipeExpectation
{
    UCHAR interfaceIndex;
    UCHAR endpointAddress;
    WDF_USB_PIPE_TYPE type;
    ULONG maximumPacketSize;
};

struct ConfigCase
{
    const char* name;
    ReaderLayout layout;
    ReaderSpeed speed;
    bool remoteWake;
    bool withPairs; // select through WDF_USB_INTERFACE_SETTING_PAIRs rather than "every interface"
    UCHAR interfaces;
    std::vector<PipeExpectation> pipes;
    ULONG traits;
};
using winsimtest::PrintTo;

class FxUsbConfigTest : public FxTest, public ::testing::WithParamInterface<ConfigCase>
{
};

TEST_P(FxUsbConfigTest, SelectingTheConfigurationMakesEachInterfacesPipes)
{
    const ConfigCase& c = GetParam();
    ReaderSpec model;
    model.layout = c.layout;
    model.speed = c.speed;
    model.remoteWake = c.remoteWake;
    Device device = m_machine.Plug(model);
    ASSERT_EQ(device.State(), DeviceState::Started);
    WDFUSBDEVICE usb = nullptr;
    ASSERT_EQ(WdfUsbTargetDeviceCreate(FxMachine::DeviceOf(device), WDF_NO_OBJECT_ATTRIBUTES, &usb),
              STATUS_SUCCESS);
    ASSERT_EQ(WdfUsbTargetDeviceGetNumInterfaces(usb), c.interfaces);

    WDF_USB_DEVICE_SELECT_CONFIG_PARAMS params;
    std::vector<WDF_USB_INTERFACE_SETTING_PAIR> pairs;
    if (c.withPairs)
    {
        for (UCHAR i = 0; i < c.interfaces; ++i)
        {
            pairs.push_back({WdfUsbTargetDeviceGetInterface(usb, i), 0});
        }
        WDF_USB_DEVICE_SELECT_CONFIG_PARAMS_INIT_MULTIPLE_INTERFACES(&params, c.interfaces, pairs.data());
        EXPECT_EQ(params.Type, WdfUsbTargetDeviceSelectConfigTypeInterfacesPairs);
    }
    else if (c.interfaces == 1)
    {
        WDF_USB_DEVICE_SELECT_CONFIG_PARAMS_INIT_SINGLE_INTERFACE(&params);
    }
    else
    {
        WDF_USB_DEVICE_SELECT_CONFIG_PARAMS_INIT_MULTIPLE_INTERFACES(&params, 0, nullptr);
        EXPECT_EQ(params.Type, WdfUsbTargetDeviceSelectConfigTypeMultiInterface);
    }
    ASSERT_EQ(WdfUsbTargetDeviceSelectConfig(usb, WDF_NO_OBJECT_ATTRIBUTES, &params), STATUS_SUCCESS);
    if (params.Type == WdfUsbTargetDeviceSelectConfigTypeSingleInterface)
    {
        EXPECT_EQ(params.Types.SingleInterface.ConfiguredUsbInterface,
                  WdfUsbTargetDeviceGetInterface(usb, 0));
        EXPECT_EQ(params.Types.SingleInterface.NumberConfiguredPipes, c.pipes.size());
    }
    else
    {
        EXPECT_EQ(params.Types.MultiInterface.NumberOfConfiguredInterfaces, c.interfaces);
    }

    size_t seen = 0;
    for (UCHAR i = 0; i < c.interfaces; ++i)
    {
        WDFUSBINTERFACE usbInterface = WdfUsbTargetDeviceGetInterface(usb, i);
        EXPECT_EQ(WdfUsbInterfaceGetInterfaceNumber(usbInterface), i);
        UCHAR configured = WdfUsbInterfaceGetNumConfiguredPipes(usbInterface);
        EXPECT_EQ(WdfUsbInterfaceGetNumEndpoints(usbInterface, 0), configured);
        for (UCHAR p = 0; p < configured; ++p, ++seen)
        {
            ASSERT_LT(seen, c.pipes.size());
            const PipeExpectation& expected = c.pipes[seen];
            WDF_USB_PIPE_INFORMATION info;
            WDF_USB_PIPE_INFORMATION_INIT(&info);
            WDFUSBPIPE pipe = WdfUsbInterfaceGetConfiguredPipe(usbInterface, p, &info);
            EXPECT_EQ(i, expected.interfaceIndex);
            EXPECT_EQ(info.EndpointAddress, expected.endpointAddress);
            EXPECT_EQ(info.PipeType, expected.type);
            EXPECT_EQ(info.MaximumPacketSize, expected.maximumPacketSize);
            EXPECT_EQ(WdfUsbTargetPipeGetType(pipe), expected.type);
            bool in = (expected.endpointAddress & 0x80) != 0;
            EXPECT_EQ(WdfUsbTargetPipeIsInEndpoint(pipe), in ? TRUE : FALSE);
            EXPECT_EQ(WdfUsbTargetPipeIsOutEndpoint(pipe), in ? FALSE : TRUE);
            WDF_USB_PIPE_INFORMATION again;
            WDF_USB_PIPE_INFORMATION_INIT(&again);
            WdfUsbTargetPipeGetInformation(pipe, &again);
            EXPECT_EQ(again.EndpointAddress, info.EndpointAddress);
            EXPECT_EQ(WdfIoTargetGetState(WdfUsbTargetPipeGetIoTarget(pipe)), WdfIoTargetStarted);
        }
        EXPECT_EQ(WdfUsbInterfaceGetConfiguredPipe(usbInterface, configured, nullptr), nullptr);
    }
    EXPECT_EQ(seen, c.pipes.size());

    WDF_USB_DEVICE_INFORMATION information;
    WDF_USB_DEVICE_INFORMATION_INIT(&information);
    ASSERT_EQ(WdfUsbTargetDeviceRetrieveInformation(usb, &information), STATUS_SUCCESS);
    EXPECT_EQ(information.Traits, c.traits);
}

const ConfigCase kConfigCases[] = {
    {"OneInterfaceAtFullSpeed",
     ReaderLayout::SingleInterface,
     ReaderSpeed::Full,
     true,
     false,
     1,
     {{0, kInterruptIn, WdfUsbPipeTypeInterrupt, 16},
      {0, kBulkIn, WdfUsbPipeTypeBulk, 64},
      {0, kBulkOut, WdfUsbPipeTypeBulk, 64}},
     WDF_USB_DEVICE_TRAIT_REMOTE_WAKE_CAPABLE},
    {"OneInterfaceAtHighSpeedWithoutRemoteWake",
     ReaderLayout::SingleInterface,
     ReaderSpeed::High,
     false,
     false,
     1,
     {{0, kInterruptIn, WdfUsbPipeTypeInterrupt, 16},
      {0, kBulkIn, WdfUsbPipeTypeBulk, 512},
      {0, kBulkOut, WdfUsbPipeTypeBulk, 512}},
     WDF_USB_DEVICE_TRAIT_AT_HIGH_SPEED},
    {"TwoInterfacesEveryOneAtSettingZero",
     ReaderLayout::TwoInterfaces,
     ReaderSpeed::Full,
     true,
     false,
     2,
     {{0, kInterruptIn, WdfUsbPipeTypeInterrupt, 16},
      {1, kBulkIn, WdfUsbPipeTypeBulk, 64},
      {1, kBulkOut, WdfUsbPipeTypeBulk, 64}},
     WDF_USB_DEVICE_TRAIT_REMOTE_WAKE_CAPABLE},
    {"TwoInterfacesByPairsAtHighSpeed",
     ReaderLayout::TwoInterfaces,
     ReaderSpeed::High,
     true,
     true,
     2,
     {{0, kInterruptIn, WdfUsbPipeTypeInterrupt, 16},
      {1, kBulkIn, WdfUsbPipeTypeBulk, 512},
      {1, kBulkOut, WdfUsbPipeTypeBulk, 512}},
     WDF_USB_DEVICE_TRAIT_REMOTE_WAKE_CAPABLE | WDF_USB_DEVICE_TRAIT_AT_HIGH_SPEED},
    {"OneInterfaceWithoutItsInterruptPipe",
     ReaderLayout::NoInterruptPipe,
     ReaderSpeed::Full,
     true,
     false,
     1,
     {{0, kBulkIn, WdfUsbPipeTypeBulk, 64}, {0, kBulkOut, WdfUsbPipeTypeBulk, 64}},
     WDF_USB_DEVICE_TRAIT_REMOTE_WAKE_CAPABLE},
};
INSTANTIATE_TEST_SUITE_P(Layouts, FxUsbConfigTest, ::testing::ValuesIn(kConfigCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(FxUsbTest, SingleInterfaceSelectionIsRefusedForTwoInterfaces)
{
    ReaderSpec model;
    model.layout = ReaderLayout::TwoInterfaces;
    Device device = m_machine.Plug(model);
    WDFUSBDEVICE usb = nullptr;
    ASSERT_EQ(WdfUsbTargetDeviceCreate(FxMachine::DeviceOf(device), WDF_NO_OBJECT_ATTRIBUTES, &usb),
              STATUS_SUCCESS);
    WDF_USB_DEVICE_SELECT_CONFIG_PARAMS params;
    WDF_USB_DEVICE_SELECT_CONFIG_PARAMS_INIT_SINGLE_INTERFACE(&params);
    EXPECT_EQ(WdfUsbTargetDeviceSelectConfig(usb, WDF_NO_OBJECT_ATTRIBUTES, &params),
              STATUS_INVALID_PARAMETER);
    EXPECT_EQ(WdfUsbInterfaceGetNumConfiguredPipes(WdfUsbTargetDeviceGetInterface(usb, 1)), 0);
}

TEST_F(FxUsbTest, DescriptorsAreTheReadersOwn)
{
    UsbDevice usb = OpenUsbDevice(m_machine);
    USB_DEVICE_DESCRIPTOR device;
    WdfUsbTargetDeviceGetDeviceDescriptor(usb.usb, &device);
    EXPECT_EQ(device.idVendor, kVendorId);
    EXPECT_EQ(device.idProduct, kProductId);
    USHORT length = 0;
    EXPECT_EQ(WdfUsbTargetDeviceRetrieveConfigDescriptor(usb.usb, nullptr, &length), STATUS_BUFFER_TOO_SMALL);
    ASSERT_GT(length, sizeof(USB_CONFIGURATION_DESCRIPTOR));
    std::vector<UCHAR> config(length);
    EXPECT_EQ(WdfUsbTargetDeviceRetrieveConfigDescriptor(usb.usb, config.data(), &length), STATUS_SUCCESS);
    auto* header = reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(config.data());
    EXPECT_EQ(header->wTotalLength, length);
    EXPECT_EQ(header->bNumInterfaces, 1);
}

struct PipeContext
{
    ULONG marks[4];
};
WDF_DECLARE_CONTEXT_TYPE(PipeContext);

TEST_F(FxUsbTest, EveryPipeGetsAZeroedContextOfThePipeAttributes)
{
    WDF_OBJECT_ATTRIBUTES attributes;
    WDF_OBJECT_ATTRIBUTES_INIT_CONTEXT_TYPE(&attributes, PipeContext);
    ReaderSpec model;
    model.layout = ReaderLayout::TwoInterfaces;
    UsbDevice usb = OpenUsbDevice(m_machine, model, &attributes);
    for (UCHAR address : {kInterruptIn, kBulkIn, kBulkOut})
    {
        WDFUSBPIPE pipe = usb.Pipe(address);
        ASSERT_NE(pipe, nullptr);
        PipeContext* context = WdfObjectGet_PipeContext(pipe);
        ASSERT_NE(context, nullptr);
        const ULONG zero[4] = {};
        EXPECT_EQ(memcmp(context->marks, zero, sizeof(zero)), 0);
        context->marks[0] = address;
    }
    EXPECT_EQ(WdfObjectGet_PipeContext(usb.Pipe(kBulkOut))->marks[0], kBulkOut);
}

// --- requests the driver sends ----------------------------------------------------------------

TEST_F(FxUsbTest, WriteGoesOutAndCompletesWithItsParameters)
{
    UsbDevice usb = OpenUsbDevice(m_machine);
    WDFUSBPIPE pipe = usb.Pipe(kBulkOut);
    DriverRequest out(usb.wdf, WdfUsbTargetPipeGetIoTarget(pipe), 16);
    memcpy(out.buffer, "xxABCDE", 7);
    WDFMEMORY_OFFSET offset{2, 5};
    ASSERT_EQ(WdfUsbTargetPipeFormatRequestForWrite(pipe, out.request, out.memory, &offset), STATUS_SUCCESS);
    Completion completion;
    WdfRequestSetCompletionRoutine(out.request, RecordCompletion, &completion);
    ASSERT_EQ(WdfRequestSend(out.request, WdfUsbTargetPipeGetIoTarget(pipe), WDF_NO_SEND_OPTIONS), TRUE);
    completion.Wait();

    EXPECT_EQ(completion.calls.load(), 1);
    EXPECT_EQ(completion.status, STATUS_SUCCESS);
    EXPECT_EQ(completion.requestStatus, STATUS_SUCCESS);
    EXPECT_EQ(completion.target, WdfUsbTargetPipeGetIoTarget(pipe));
    EXPECT_EQ(completion.type, WdfRequestTypeUsb);
    EXPECT_EQ(completion.usbType, WdfUsbRequestTypePipeWrite);
    EXPECT_EQ(completion.usbdStatus, USBD_STATUS_SUCCESS);
    EXPECT_EQ(completion.buffer, out.memory);
    EXPECT_EQ(completion.length, 5u);
    EXPECT_EQ(completion.offset, 2u);
    std::vector<UCHAR> written = usb.reader.TakeBulkOut();
    EXPECT_EQ(std::string(written.begin(), written.end()), "ABCDE");

    WDF_REQUEST_COMPLETION_PARAMS params;
    WDF_REQUEST_COMPLETION_PARAMS_INIT(&params);
    WdfRequestGetCompletionParams(out.request, &params);
    EXPECT_EQ(params.Parameters.Usb.Completion->Parameters.PipeWrite.Length, 5u);
    EXPECT_EQ(WdfRequestGetStatus(out.request), STATUS_SUCCESS);
}

TEST_F(FxUsbTest, ReadStaysPendingUntilTheReaderSendsAndCompletesAtDispatchLevel)
{
    UsbDevice usb = OpenUsbDevice(m_machine);
    WDFUSBPIPE pipe = usb.Pipe(kBulkIn);
    DriverRequest in(usb.wdf, WdfUsbTargetPipeGetIoTarget(pipe), 64);
    ASSERT_EQ(WdfUsbTargetPipeFormatRequestForRead(pipe, in.request, in.memory, nullptr), STATUS_SUCCESS);
    Completion completion;
    WdfRequestSetCompletionRoutine(in.request, RecordCompletion, &completion);
    ASSERT_EQ(WdfRequestSend(in.request, WdfUsbTargetPipeGetIoTarget(pipe), WDF_NO_SEND_OPTIONS), TRUE);
    m_machine.SettleWaiters();
    EXPECT_EQ(WdfRequestGetStatus(in.request), STATUS_PENDING);
    EXPECT_EQ(usb.reader.OutstandingBulkInReads(), 1u);
    EXPECT_FALSE(completion.Happened());

    usb.reader.PushBulkIn("hello");
    completion.Wait();
    EXPECT_EQ(completion.status, STATUS_SUCCESS);
    EXPECT_EQ(completion.usbType, WdfUsbRequestTypePipeRead);
    EXPECT_EQ(completion.length, 5u);
    EXPECT_EQ(completion.irql, DISPATCH_LEVEL);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(in.buffer), 5), "hello");
}

struct FormatCase
{
    const char* name;
    UCHAR endpoint;
    bool read;
    size_t length;
    bool checkOff; // WdfUsbTargetPipeSetNoMaximumPacketSizeCheck first
    NTSTATUS expected;
};

class FxUsbFormatTest : public FxTest, public ::testing::WithParamInterface<FormatCase>
{
};

TEST_P(FxUsbFormatTest, FormatChecksDirectionAndPacketSize)
{
    const FormatCase& c = GetParam();
    UsbDevice usb = OpenUsbDevice(m_machine);
    WDFUSBPIPE pipe = usb.Pipe(c.endpoint);
    if (c.checkOff)
    {
        WdfUsbTargetPipeSetNoMaximumPacketSizeCheck(pipe);
    }
    DriverRequest request(usb.wdf, WDF_NO_HANDLE, 256);
    WDFMEMORY_OFFSET offset{0, c.length};
    NTSTATUS status =
        c.read ? WdfUsbTargetPipeFormatRequestForRead(pipe, request.request, request.memory, &offset)
               : WdfUsbTargetPipeFormatRequestForWrite(pipe, request.request, request.memory, &offset);
    EXPECT_EQ(status, c.expected);
}

const FormatCase kFormatCases[] = {
    {"ReadOfWholePackets", kBulkIn, true, 128, false, STATUS_SUCCESS},
    {"ReadOfAPartPacket", kBulkIn, true, 10, false, STATUS_INVALID_BUFFER_SIZE},
    {"ReadOfAPartPacketWithoutTheCheck", kBulkIn, true, 10, true, STATUS_SUCCESS},
    {"WriteOfAnyLength", kBulkOut, false, 10, false, STATUS_SUCCESS},
    {"ReadFromAnOutPipe", kBulkOut, true, 64, false, STATUS_INVALID_DEVICE_REQUEST},
    {"WriteToAnInPipe", kBulkIn, false, 64, false, STATUS_INVALID_DEVICE_REQUEST},
    {"RangeBeyondTheBuffer", kBulkOut, false, 512, false, STATUS_INVALID_BUFFER_SIZE},
};
INSTANTIATE_TEST_SUITE_P(Formats, FxUsbFormatTest, ::testing::ValuesIn(kFormatCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(FxUsbTest, RequestSentToAStoppedTargetWaitsForItsStart)
{
    UsbDevice usb = OpenUsbDevice(m_machine);
    WDFUSBPIPE pipe = usb.Pipe(kBulkOut);
    WDFIOTARGET target = WdfUsbTargetPipeGetIoTarget(pipe);
    WdfIoTargetStop(target, WdfIoTargetCancelSentIo);
    EXPECT_EQ(WdfIoTargetGetState(target), WdfIoTargetStopped);

    DriverRequest out(usb.wdf, target, 8);
    WDFMEMORY_OFFSET offset{0, 3};
    ASSERT_EQ(WdfUsbTargetPipeFormatRequestForWrite(pipe, out.request, out.memory, &offset), STATUS_SUCCESS);
    memcpy(out.buffer, "abc", 3);
    Completion completion;
    WdfRequestSetCompletionRoutine(out.request, RecordCompletion, &completion);
    ASSERT_EQ(WdfRequestSend(out.request, target, WDF_NO_SEND_OPTIONS), TRUE);
    usb.reader.WaitForCompletions();
    EXPECT_EQ(WdfRequestGetStatus(out.request), STATUS_PENDING);
    EXPECT_TRUE(usb.reader.TakeBulkOut().empty());
    EXPECT_FALSE(completion.Happened());

    EXPECT_EQ(WdfIoTargetStart(target), STATUS_SUCCESS);
    completion.Wait();
    EXPECT_EQ(completion.status, STATUS_SUCCESS);
    std::vector<UCHAR> written = usb.reader.TakeBulkOut();
    EXPECT_EQ(std::string(written.begin(), written.end()), "abc");
}

TEST_F(FxUsbTest, RequestThatIgnoresTheTargetStateGoesToAStoppedTarget)
{
    UsbDevice usb = OpenUsbDevice(m_machine);
    WDFUSBPIPE pipe = usb.Pipe(kBulkOut);
    WDFIOTARGET target = WdfUsbTargetPipeGetIoTarget(pipe);
    WdfIoTargetStop(target, WdfIoTargetLeaveSentIoPending);
    DriverRequest out(usb.wdf, target, 8);
    WDFMEMORY_OFFSET offset{0, 2};
    memcpy(out.buffer, "hi", 2);
    ASSERT_EQ(WdfUsbTargetPipeFormatRequestForWrite(pipe, out.request, out.memory, &offset), STATUS_SUCCESS);
    WDF_REQUEST_SEND_OPTIONS options;
    WDF_REQUEST_SEND_OPTIONS_INIT(&options, WDF_REQUEST_SEND_OPTION_SYNCHRONOUS |
                                                WDF_REQUEST_SEND_OPTION_IGNORE_TARGET_STATE);
    EXPECT_EQ(WdfRequestSend(out.request, target, &options), TRUE);
    EXPECT_EQ(WdfRequestGetStatus(out.request), STATUS_SUCCESS);
    std::vector<UCHAR> written = usb.reader.TakeBulkOut();
    EXPECT_EQ(std::string(written.begin(), written.end()), "hi");
    EXPECT_EQ(WdfIoTargetGetState(target), WdfIoTargetStopped);
}

struct StopCaseOfTarget
{
    const char* name;
    WDF_IO_TARGET_SENT_IO_ACTION action;
    bool readEndsAtStop;
    NTSTATUS statusAtStop;
};

class FxUsbStopTest : public FxTest, public ::testing::WithParamInterface<StopCaseOfTarget>
{
};

TEST_P(FxUsbStopTest, StopDealsWithWhatIsOutAsItsActionSays)
{
    const StopCaseOfTarget& c = GetParam();
    UsbDevice usb = OpenUsbDevice(m_machine);
    WDFUSBPIPE pipe = usb.Pipe(kBulkIn);
    WDFIOTARGET target = WdfUsbTargetPipeGetIoTarget(pipe);
    DriverRequest in(usb.wdf, target, 64);
    ASSERT_EQ(WdfUsbTargetPipeFormatRequestForRead(pipe, in.request, in.memory, nullptr), STATUS_SUCCESS);
    Completion completion;
    WdfRequestSetCompletionRoutine(in.request, RecordCompletion, &completion);
    ASSERT_EQ(WdfRequestSend(in.request, target, WDF_NO_SEND_OPTIONS), TRUE);
    if (c.action == WdfIoTargetWaitForSentIoToComplete)
    {
        // The stop waits; the reader's bytes end the read while it does.
        std::thread stopper([&] { WdfIoTargetStop(target, c.action); });
        m_machine.SettleWaiters();
        usb.reader.PushBulkIn("z");
        stopper.join();
    }
    else
    {
        WdfIoTargetStop(target, c.action);
    }
    EXPECT_EQ(completion.Happened(), c.readEndsAtStop);
    if (c.readEndsAtStop)
    {
        EXPECT_EQ(completion.status, c.statusAtStop);
    }
    else
    {
        EXPECT_EQ(WdfRequestGetStatus(in.request), STATUS_PENDING);
        EXPECT_EQ(WdfRequestCancelSentRequest(in.request), TRUE);
        completion.Wait();
        EXPECT_EQ(completion.status, STATUS_CANCELLED);
    }
}

const StopCaseOfTarget kStopCases[] = {
    {"CancelSentIo", WdfIoTargetCancelSentIo, true, STATUS_CANCELLED},
    {"WaitForSentIoToComplete", WdfIoTargetWaitForSentIoToComplete, true, STATUS_SUCCESS},
    {"LeaveSentIoPending", WdfIoTargetLeaveSentIoPending, false, STATUS_SUCCESS},
};
INSTANTIATE_TEST_SUITE_P(Actions, FxUsbStopTest, ::testing::ValuesIn(kStopCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(FxUsbTest, CancelSentRequestEndsAPendingReadOnce)
{
    UsbDevice usb = OpenUsbDevice(m_machine);
    WDFUSBPIPE pipe = usb.Pipe(kBulkIn);
    WDFIOTARGET target = WdfUsbTargetPipeGetIoTarget(pipe);
    DriverRequest in(usb.wdf, target, 64);
    ASSERT_EQ(WdfUsbTargetPipeFormatRequestForRead(pipe, in.request, in.memory, nullptr), STATUS_SUCCESS);
    Completion completion;
    WdfRequestSetCompletionRoutine(in.request, RecordCompletion, &completion);
    EXPECT_EQ(WdfRequestCancelSentRequest(in.request), FALSE); // not sent yet
    ASSERT_EQ(WdfRequestSend(in.request, target, WDF_NO_SEND_OPTIONS), TRUE);
    EXPECT_EQ(WdfRequestCancelSentRequest(in.request), TRUE);
    completion.Wait();
    EXPECT_EQ(completion.status, STATUS_CANCELLED);
    EXPECT_EQ(completion.usbdStatus, USBD_STATUS_CANCELED);
    EXPECT_EQ(WdfRequestCancelSentRequest(in.request), FALSE);
    usb.reader.WaitForCompletions();
    EXPECT_EQ(completion.calls.load(), 1);
    EXPECT_EQ(usb.reader.OutstandingBulkInReads(), 0u);
}

TEST_F(FxUsbTest, ReadThatOutlivesItsTimeOutEndsWithIoTimeout)
{
    UsbDevice usb = OpenUsbDevice(m_machine);
    WDFUSBPIPE pipe = usb.Pipe(kBulkIn);
    WDFIOTARGET target = WdfUsbTargetPipeGetIoTarget(pipe);
    DriverRequest in(usb.wdf, target, 64);
    ASSERT_EQ(WdfUsbTargetPipeFormatRequestForRead(pipe, in.request, in.memory, nullptr), STATUS_SUCCESS);
    Completion completion;
    WdfRequestSetCompletionRoutine(in.request, RecordCompletion, &completion);
    WDF_REQUEST_SEND_OPTIONS options;
    WDF_REQUEST_SEND_OPTIONS_INIT(&options, 0);
    WDF_REQUEST_SEND_OPTIONS_SET_TIMEOUT(&options, WDF_REL_TIMEOUT_IN_MS(100));
    ASSERT_EQ(WdfRequestSend(in.request, target, &options), TRUE);
    m_machine.AdvanceClockTicks(Ms(99));
    usb.reader.WaitForCompletions();
    EXPECT_FALSE(completion.Happened());
    m_machine.AdvanceClockTicks(Ms(1));
    completion.Wait();
    EXPECT_EQ(completion.status, STATUS_IO_TIMEOUT);
    EXPECT_EQ(completion.usbdStatus, USBD_STATUS_CANCELED);
}

TEST_F(FxUsbTest, ReadThatCompletesInTimeKeepsItsStatus)
{
    UsbDevice usb = OpenUsbDevice(m_machine);
    WDFUSBPIPE pipe = usb.Pipe(kBulkIn);
    WDFIOTARGET target = WdfUsbTargetPipeGetIoTarget(pipe);
    DriverRequest in(usb.wdf, target, 64);
    ASSERT_EQ(WdfUsbTargetPipeFormatRequestForRead(pipe, in.request, in.memory, nullptr), STATUS_SUCCESS);
    Completion completion;
    WdfRequestSetCompletionRoutine(in.request, RecordCompletion, &completion);
    WDF_REQUEST_SEND_OPTIONS options;
    WDF_REQUEST_SEND_OPTIONS_INIT(&options, 0);
    WDF_REQUEST_SEND_OPTIONS_SET_TIMEOUT(&options, WDF_REL_TIMEOUT_IN_MS(100));
    ASSERT_EQ(WdfRequestSend(in.request, target, &options), TRUE);
    usb.reader.PushBulkIn("ok");
    completion.Wait();
    EXPECT_EQ(completion.status, STATUS_SUCCESS);
    // The time-out's timer went with the completion.
    EXPECT_FALSE(m_machine.NextDeadline().has_value());
}

TEST_F(FxUsbTest, ReuseSetsTheStatusAndForgetsTheCompletionRoutine)
{
    UsbDevice usb = OpenUsbDevice(m_machine);
    WDFUSBPIPE pipe = usb.Pipe(kBulkOut);
    WDFIOTARGET target = WdfUsbTargetPipeGetIoTarget(pipe);
    DriverRequest out(usb.wdf, target, 4);
    ASSERT_EQ(WdfUsbTargetPipeFormatRequestForWrite(pipe, out.request, out.memory, nullptr), STATUS_SUCCESS);
    Completion first;
    WdfRequestSetCompletionRoutine(out.request, RecordCompletion, &first);
    ASSERT_EQ(WdfRequestSend(out.request, target, WDF_NO_SEND_OPTIONS), TRUE);
    first.Wait();

    WDF_REQUEST_REUSE_PARAMS reuse;
    WDF_REQUEST_REUSE_PARAMS_INIT(&reuse, WDF_REQUEST_REUSE_NO_FLAGS, STATUS_NOT_SUPPORTED);
    ASSERT_EQ(WdfRequestReuse(out.request, &reuse), STATUS_SUCCESS);
    EXPECT_EQ(WdfRequestGetStatus(out.request), STATUS_NOT_SUPPORTED);
    ASSERT_EQ(WdfUsbTargetPipeFormatRequestForWrite(pipe, out.request, out.memory, nullptr), STATUS_SUCCESS);
    WDF_REQUEST_SEND_OPTIONS options;
    WDF_REQUEST_SEND_OPTIONS_INIT(&options, WDF_REQUEST_SEND_OPTION_SYNCHRONOUS);
    ASSERT_EQ(WdfRequestSend(out.request, target, &options), TRUE);
    EXPECT_EQ(WdfRequestGetStatus(out.request), STATUS_SUCCESS);
    EXPECT_EQ(first.calls.load(), 1);
    EXPECT_EQ(usb.reader.TakeBulkOut().size(), 8u);
}

// --- the device's own requests ----------------------------------------------------------------

TEST_F(FxUsbTest, ClassRequestsGoOutWithTheirSetupPacketAndData)
{
    UsbDevice usb = OpenUsbDevice(m_machine);
    WDF_USB_CONTROL_SETUP_PACKET packet;
    WDF_USB_CONTROL_SETUP_PACKET_INIT_CLASS(&packet, BmRequestHostToDevice, BmRequestToInterface, 0x22,
                                            0x0003, 0);
    EXPECT_EQ(packet.Packet.bm.Byte, 0x21);
    ULONG transferred = 99;
    EXPECT_EQ(WdfUsbTargetDeviceSendControlTransferSynchronously(usb.usb, WDF_NO_HANDLE, WDF_NO_SEND_OPTIONS,
                                                                 &packet, nullptr, &transferred),
              STATUS_SUCCESS);
    EXPECT_EQ(transferred, 0u);

    UCHAR coding[7] = {0x80, 0x25, 0x00, 0x00, 0x00, 0x00, 0x08}; // 9600 8N1
    WDF_MEMORY_DESCRIPTOR descriptor;
    WDF_MEMORY_DESCRIPTOR_INIT_BUFFER(&descriptor, coding, sizeof(coding));
    WDF_USB_CONTROL_SETUP_PACKET_INIT_CLASS(&packet, BmRequestHostToDevice, BmRequestToInterface, 0x20, 0, 0);
    EXPECT_EQ(WdfUsbTargetDeviceSendControlTransferSynchronously(usb.usb, WDF_NO_HANDLE, WDF_NO_SEND_OPTIONS,
                                                                 &packet, &descriptor, &transferred),
              STATUS_SUCCESS);
    EXPECT_EQ(transferred, sizeof(coding));

    auto requests = usb.reader.ControlRequests();
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(requests[0].bmRequestType, 0x21);
    EXPECT_EQ(requests[0].bRequest, 0x22);
    EXPECT_EQ(requests[0].wValue, 0x0003);
    EXPECT_EQ(requests[0].wLength, 0);
    EXPECT_EQ(requests[1].bRequest, 0x20);
    EXPECT_EQ(requests[1].wLength, sizeof(coding));
    EXPECT_EQ(requests[1].data, std::vector<UCHAR>(coding, coding + sizeof(coding)));
}

TEST_F(FxUsbTest, ControlTransferThatOutlivesItsTimeOutIsCancelled)
{
    UsbDevice usb = OpenUsbDevice(m_machine);
    usb.reader.IgnoreClassRequests();
    NTSTATUS status = STATUS_SUCCESS;
    std::thread caller([&] {
        WDF_USB_CONTROL_SETUP_PACKET packet;
        WDF_USB_CONTROL_SETUP_PACKET_INIT_CLASS(&packet, BmRequestHostToDevice, BmRequestToInterface, 0x22, 1,
                                                0);
        WDF_REQUEST_SEND_OPTIONS options;
        WDF_REQUEST_SEND_OPTIONS_INIT(&options, 0);
        WDF_REQUEST_SEND_OPTIONS_SET_TIMEOUT(&options, WDF_REL_TIMEOUT_IN_MS(500));
        status = WdfUsbTargetDeviceSendControlTransferSynchronously(usb.usb, WDF_NO_HANDLE, &options, &packet,
                                                                    nullptr, nullptr);
    });
    // The caller waits on the clock: the time-out is the only deadline.
    while (!m_machine.NextDeadline().has_value())
    {
        std::this_thread::yield();
    }
    EXPECT_EQ(*m_machine.NextDeadline(), std::chrono::milliseconds(500));
    m_machine.AdvanceClockTicks(Ms(500));
    caller.join();
    EXPECT_EQ(status, STATUS_IO_TIMEOUT);
    ASSERT_EQ(usb.reader.ControlRequests().size(), 1u);
    EXPECT_EQ(usb.reader.Transfers().back().status, STATUS_CANCELLED);
}

TEST_F(FxUsbTest, IsConnectedFollowsThePort)
{
    UsbDevice usb = OpenUsbDevice(m_machine);
    EXPECT_EQ(WdfUsbTargetDeviceIsConnectedSynchronous(usb.usb), STATUS_SUCCESS);
    usb.reader.Disconnect();
    EXPECT_EQ(WdfUsbTargetDeviceIsConnectedSynchronous(usb.usb), STATUS_DEVICE_DOES_NOT_EXIST);
}

TEST_F(FxUsbTest, PortResetReachesTheHubAndReportsItsFailure)
{
    UsbDevice usb = OpenUsbDevice(m_machine);
    EXPECT_EQ(WdfUsbTargetDeviceResetPortSynchronously(usb.usb), STATUS_SUCCESS);
    EXPECT_EQ(usb.reader.PortResets(), 1u);
    usb.reader.FailPortResets(1, STATUS_UNSUCCESSFUL);
    EXPECT_EQ(WdfUsbTargetDeviceResetPortSynchronously(usb.usb), STATUS_UNSUCCESSFUL);
}

TEST_F(FxUsbTest, PipeResetClearsAStallAndAbortEndsWhatIsOut)
{
    UsbDevice usb = OpenUsbDevice(m_machine);
    WDFUSBPIPE pipe = usb.Pipe(kBulkIn);
    usb.reader.Stall(ReaderEndpoint::BulkIn);
    UCHAR buffer[64];
    WDF_MEMORY_DESCRIPTOR descriptor;
    WDF_MEMORY_DESCRIPTOR_INIT_BUFFER(&descriptor, buffer, sizeof(buffer));
    ULONG read = 0;
    EXPECT_EQ(WdfUsbTargetPipeReadSynchronously(pipe, WDF_NO_HANDLE, WDF_NO_SEND_OPTIONS, &descriptor, &read),
              STATUS_UNSUCCESSFUL);
    EXPECT_EQ(WdfUsbTargetPipeResetSynchronously(pipe, WDF_NO_HANDLE, WDF_NO_SEND_OPTIONS), STATUS_SUCCESS);
    EXPECT_FALSE(usb.reader.Stalled(ReaderEndpoint::BulkIn));
    EXPECT_EQ(usb.reader.PipeResets(ReaderEndpoint::BulkIn), 1u);

    DriverRequest in(usb.wdf, WdfUsbTargetPipeGetIoTarget(pipe), 64);
    ASSERT_EQ(WdfUsbTargetPipeFormatRequestForRead(pipe, in.request, in.memory, nullptr), STATUS_SUCCESS);
    Completion completion;
    WdfRequestSetCompletionRoutine(in.request, RecordCompletion, &completion);
    ASSERT_EQ(WdfRequestSend(in.request, WdfUsbTargetPipeGetIoTarget(pipe), WDF_NO_SEND_OPTIONS), TRUE);
    EXPECT_EQ(WdfUsbTargetPipeAbortSynchronously(pipe, WDF_NO_HANDLE, WDF_NO_SEND_OPTIONS), STATUS_SUCCESS);
    completion.Wait();
    EXPECT_EQ(completion.status, STATUS_CANCELLED);
    EXPECT_EQ(completion.usbdStatus, USBD_STATUS_CANCELED);
}

TEST_F(FxUsbTest, SynchronousTransfersReportTheBytesMoved)
{
    UsbDevice usb = OpenUsbDevice(m_machine);
    WDF_MEMORY_DESCRIPTOR descriptor;
    char text[] = "data";
    WDF_MEMORY_DESCRIPTOR_INIT_BUFFER(&descriptor, text, 4);
    ULONG moved = 0;
    EXPECT_EQ(WdfUsbTargetPipeWriteSynchronously(usb.Pipe(kBulkOut), WDF_NO_HANDLE, WDF_NO_SEND_OPTIONS,
                                                 &descriptor, &moved),
              STATUS_SUCCESS);
    EXPECT_EQ(moved, 4u);

    usb.reader.PushBulkIn("xyz");
    WDFMEMORY memory = nullptr;
    ASSERT_EQ(WdfMemoryCreate(WDF_NO_OBJECT_ATTRIBUTES, NonPagedPool, 0, 64, &memory, nullptr),
              STATUS_SUCCESS);
    WDF_MEMORY_DESCRIPTOR_INIT_HANDLE(&descriptor, memory, nullptr);
    EXPECT_EQ(WdfUsbTargetPipeReadSynchronously(usb.Pipe(kBulkIn), WDF_NO_HANDLE, WDF_NO_SEND_OPTIONS,
                                                &descriptor, &moved),
              STATUS_SUCCESS);
    EXPECT_EQ(moved, 3u);
    EXPECT_EQ(std::string(static_cast<char*>(WdfMemoryGetBuffer(memory, nullptr)), 3), "xyz");
    WdfObjectDelete(memory);
}

TEST_F(FxUsbTest, MemoryIsTakenFromPoolWithItsTag)
{
    ASSERT_EQ(m_machine.Plug().State(), DeviceState::Started);
    EXPECT_EQ(m_machine.LivePoolAllocations('mTxF'), 0u);
    WDFMEMORY first = nullptr;
    WDFMEMORY second = nullptr;
    ASSERT_EQ(WdfMemoryCreate(WDF_NO_OBJECT_ATTRIBUTES, NonPagedPool, 'mTxF', 32, &first, nullptr),
              STATUS_SUCCESS);
    ASSERT_EQ(WdfMemoryCreate(WDF_NO_OBJECT_ATTRIBUTES, NonPagedPool, 'mTxF', 32, &second, nullptr),
              STATUS_SUCCESS);
    EXPECT_EQ(m_machine.LivePoolAllocations('mTxF'), 2u);
    WdfObjectDelete(first);
    EXPECT_EQ(m_machine.LivePoolAllocations('mTxF'), 1u);
    WdfObjectDelete(second);
    EXPECT_EQ(m_machine.LivePoolAllocations('mTxF'), 0u);
}

TEST_F(FxUsbTest, LocalTargetIsTheDeviceBelow)
{
    UsbDevice usb = OpenUsbDevice(m_machine);
    WDFIOTARGET local = WdfDeviceGetIoTarget(usb.wdf);
    ASSERT_NE(local, nullptr);
    EXPECT_EQ(WdfDeviceGetIoTarget(usb.wdf), local);
    EXPECT_EQ(WdfIoTargetGetState(local), WdfIoTargetStarted);
    EXPECT_EQ(WdfIoTargetWdmGetTargetDeviceObject(local), usb.device.PhysicalDeviceObject());
    EXPECT_EQ(WdfIoTargetGetDevice(local), usb.wdf);
}

// --- the continuous reader --------------------------------------------------------------------

struct ReaderLog
{
    std::mutex lock;
    std::string bytes;
    int reads = 0;
    KIRQL irql = PASSIVE_LEVEL;
    int failures = 0;
    NTSTATUS failedStatus = STATUS_SUCCESS;
    USBD_STATUS failedUsbdStatus = 0;
    BOOLEAN restart = TRUE;
    KEVENT delivered;
    KEVENT failed;
    ReaderLog()
    {
        KeInitializeEvent(&delivered, SynchronizationEvent, FALSE);
        KeInitializeEvent(&failed, NotificationEvent, FALSE);
    }
};
ReaderLog* g_log = nullptr;

VOID LogRead(WDFUSBPIPE, WDFMEMORY buffer, size_t bytes, WDFCONTEXT context)
{
    auto* log = static_cast<ReaderLog*>(context);
    {
        std::lock_guard<std::mutex> guard(log->lock);
        log->irql = KeGetCurrentIrql();
        log->reads++;
        // The transfer follows the header the reader was configured with.
        log->bytes.append(static_cast<char*>(WdfMemoryGetBuffer(buffer, nullptr)) + 4, bytes);
    }
    KeSetEvent(&log->delivered, IO_NO_INCREMENT, FALSE);
}

BOOLEAN LogFailure(WDFUSBPIPE, NTSTATUS status, USBD_STATUS usbdStatus)
{
    BOOLEAN restart;
    {
        std::lock_guard<std::mutex> guard(g_log->lock);
        g_log->failures++;
        g_log->failedStatus = status;
        g_log->failedUsbdStatus = usbdStatus;
        g_log->irql = KeGetCurrentIrql();
        restart = g_log->restart;
    }
    KeSetEvent(&g_log->failed, IO_NO_INCREMENT, FALSE);
    return restart;
}

class FxContinuousReaderTest : public FxTest
{
  protected:
    void Configure(UCHAR reads, bool readersFailed)
    {
        g_log = &m_log;
        m_usb = OpenUsbDevice(m_machine);
        m_pipe = m_usb.Pipe(kBulkIn);
        WDF_USB_CONTINUOUS_READER_CONFIG config;
        WDF_USB_CONTINUOUS_READER_CONFIG_INIT(&config, LogRead, &m_log, 64);
        config.HeaderLength = 4;
        config.NumPendingReads = reads;
        config.EvtUsbTargetPipeReadersFailed = readersFailed ? LogFailure : nullptr;
        ASSERT_EQ(WdfUsbTargetPipeConfigContinuousReader(m_pipe, &config), STATUS_SUCCESS);
    }
    WDFIOTARGET Target() { return WdfUsbTargetPipeGetIoTarget(m_pipe); }

    void TearDown() override
    {
        m_machine.UnplugAll();
        g_log = nullptr;
    }

    ReaderLog m_log;
    UsbDevice m_usb;
    WDFUSBPIPE m_pipe = nullptr;
};

TEST_F(FxContinuousReaderTest, ReadsOnlyWhileItsTargetIsStarted)
{
    Configure(0, true);
    m_usb.reader.WaitForCompletions();
    EXPECT_EQ(m_usb.reader.OutstandingBulkInReads(), 0u);
    ASSERT_EQ(WdfIoTargetStart(Target()), STATUS_SUCCESS);
    EXPECT_EQ(m_usb.reader.OutstandingBulkInReads(), 2u); // the framework's default
    WdfIoTargetStop(Target(), WdfIoTargetLeaveSentIoPending);
    EXPECT_EQ(m_usb.reader.OutstandingBulkInReads(), 0u); // a reader's reads are always taken back
    EXPECT_EQ(WdfIoTargetGetState(Target()), WdfIoTargetStopped);
    ASSERT_EQ(WdfIoTargetStart(Target()), STATUS_SUCCESS);
    EXPECT_EQ(m_usb.reader.OutstandingBulkInReads(), 2u);
    WdfIoTargetStop(Target(), WdfIoTargetCancelSentIo);
    m_usb.reader.WaitForCompletions();
    std::lock_guard<std::mutex> guard(m_log.lock);
    EXPECT_EQ(m_log.failures, 0);
    EXPECT_EQ(m_log.reads, 0);
}

TEST_F(FxContinuousReaderTest, KeepsTheNumberOfReadsItWasGiven)
{
    Configure(3, true);
    ASSERT_EQ(WdfIoTargetStart(Target()), STATUS_SUCCESS);
    EXPECT_EQ(m_usb.reader.OutstandingBulkInReads(), 3u);
    WdfIoTargetStop(Target(), WdfIoTargetCancelSentIo);
}

TEST_F(FxContinuousReaderTest, DeliversWhatTheReaderSendsAtDispatchLevelAndReadsAgain)
{
    Configure(0, true);
    ULONG tag = 'rDxF';
    ASSERT_EQ(WdfIoTargetStart(Target()), STATUS_SUCCESS);
    EXPECT_EQ(m_machine.LivePoolAllocations(tag), 2u); // one buffer a read
    m_usb.reader.PushBulkIn("first");
    KeWaitForSingleObject(&m_log.delivered, Executive, KernelMode, FALSE, nullptr);
    m_usb.reader.PushBulkIn("second");
    KeWaitForSingleObject(&m_log.delivered, Executive, KernelMode, FALSE, nullptr);
    m_usb.reader.WaitForCompletions();
    {
        std::lock_guard<std::mutex> guard(m_log.lock);
        EXPECT_EQ(m_log.bytes, "firstsecond");
        EXPECT_EQ(m_log.reads, 2);
        EXPECT_EQ(m_log.irql, DISPATCH_LEVEL);
    }
    EXPECT_EQ(m_usb.reader.OutstandingBulkInReads(), 2u);
    WdfIoTargetStop(Target(), WdfIoTargetCancelSentIo);
    EXPECT_EQ(m_machine.LivePoolAllocations(tag), 0u); // the buffers went with their reads
}

struct FailureCase
{
    const char* name;
    BOOLEAN restart;
    unsigned pipeResets;
    size_t bulkInTransfers; // ended by the time the target stopped
};

class FxReadersFailedTest : public FxContinuousReaderTest, public ::testing::WithParamInterface<FailureCase>
{
};

TEST_P(FxReadersFailedTest, ReadersFailedDecidesWhetherThePipeIsResetAndTheReadsRestart)
{
    const FailureCase& c = GetParam();
    Configure(2, true);
    m_log.restart = c.restart;
    ASSERT_EQ(WdfIoTargetStart(Target()), STATUS_SUCCESS);
    m_usb.reader.FailTransfers(ReaderEndpoint::BulkIn, 1, STATUS_UNSUCCESSFUL, USBD_STATUS_STALL_PID);
    KeWaitForSingleObject(&m_log.failed, Executive, KernelMode, FALSE, nullptr);
    {
        std::lock_guard<std::mutex> guard(m_log.lock);
        EXPECT_EQ(m_log.failures, 1);
        EXPECT_EQ(m_log.failedStatus, STATUS_UNSUCCESSFUL);
        EXPECT_EQ(m_log.failedUsbdStatus, USBD_STATUS_STALL_PID);
        EXPECT_EQ(m_log.irql, PASSIVE_LEVEL);
    }
    // The stop waits for the failure's handling, then takes back whatever it sent again.
    WdfIoTargetStop(Target(), WdfIoTargetCancelSentIo);
    m_usb.reader.WaitForCompletions();
    EXPECT_EQ(m_usb.reader.PipeResets(ReaderEndpoint::BulkIn), c.pipeResets);
    size_t bulkIn = 0;
    for (const auto& transfer : m_usb.reader.Transfers())
    {
        bulkIn += transfer.endpoint == ReaderEndpoint::BulkIn ? 1 : 0;
    }
    EXPECT_EQ(bulkIn, c.bulkInTransfers);
    std::lock_guard<std::mutex> guard(m_log.lock);
    EXPECT_EQ(m_log.failures, 1); // the stop's cancellations are no failures
}

const FailureCase kFailureCases[] = {
    // The failed read and the one the reader cancelled, then two more after the reset.
    {"TrueResetsAndRestarts", TRUE, 1, 4},
    {"FalseDoesNeither", FALSE, 0, 2},
};
INSTANTIATE_TEST_SUITE_P(Answers, FxReadersFailedTest, ::testing::ValuesIn(kFailureCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(FxContinuousReaderTest, WithoutReadersFailedThePipeIsResetAndTheReadsRestart)
{
    Configure(2, false);
    ASSERT_EQ(WdfIoTargetStart(Target()), STATUS_SUCCESS);
    m_usb.reader.FailTransfers(ReaderEndpoint::BulkIn, 1, STATUS_UNSUCCESSFUL, USBD_STATUS_STALL_PID);
    m_usb.reader.WaitForCompletions();
    m_usb.reader.PushBulkIn("again");
    KeWaitForSingleObject(&m_log.delivered, Executive, KernelMode, FALSE, nullptr);
    EXPECT_EQ(m_usb.reader.PipeResets(ReaderEndpoint::BulkIn), 1u);
    std::lock_guard<std::mutex> guard(m_log.lock);
    EXPECT_EQ(m_log.bytes, "again");
}

TEST_F(FxUsbTest, ContinuousReaderIsOnlyForInPipesOfWholePackets)
{
    UsbDevice usb = OpenUsbDevice(m_machine);
    WDF_USB_CONTINUOUS_READER_CONFIG config;
    WDF_USB_CONTINUOUS_READER_CONFIG_INIT(&config, LogRead, nullptr, 64);
    EXPECT_EQ(WdfUsbTargetPipeConfigContinuousReader(usb.Pipe(kBulkOut), &config),
              STATUS_INVALID_DEVICE_REQUEST);
    config.TransferLength = 100;
    EXPECT_EQ(WdfUsbTargetPipeConfigContinuousReader(usb.Pipe(kBulkIn), &config), STATUS_INVALID_BUFFER_SIZE);
    config.TransferLength = 16;
    EXPECT_EQ(WdfUsbTargetPipeConfigContinuousReader(usb.Pipe(kInterruptIn), &config), STATUS_SUCCESS);
    EXPECT_EQ(WdfUsbTargetPipeConfigContinuousReader(usb.Pipe(kInterruptIn), &config),
              STATUS_INVALID_DEVICE_STATE);
}

} // namespace
