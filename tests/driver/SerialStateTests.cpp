// The serial defaults a device start restores, and the per-request context.
#include "DriverTestSupport.h"

namespace tarnocom::testing
{
namespace
{

class SerialDefaultsTest : public DriverMachineTest
{
  protected:
    PDEVICE_CONTEXT PluggedContext()
    {
        DeviceNode* node = Plug(u"TR0001");
        EXPECT_EQ(DeviceNodeState::Added, node->state);
        return ContextOf(node);
    }
};

TEST_F(SerialDefaultsTest, RestoresTheSettingsOfAFreshPort)
{
    Boot();
    PDEVICE_CONTEXT context = PluggedContext();
    // What a client may have changed before a restart.
    context->BaudRate = 115200;
    context->LineControl = SERIAL_LINE_CONTROL{STOP_BITS_2, EVEN_PARITY, 8};
    context->SpecialChars = SERIAL_CHARS{0x1A, 0x3F, 0x02, 0x0D, 0x21, 0x23};
    context->HandFlow = SERIAL_HANDFLOW{SERIAL_CTS_HANDSHAKE, SERIAL_AUTO_RECEIVE, 100, 200};
    context->Timeouts = SERIAL_TIMEOUTS{1, 2, 3, 4, 5};
    context->BreakOn = TRUE;
    context->ControlLines = 0x3;
    context->ModemStatus = 0xF0;
    context->FixedRxBuffer = 9;

    SetSerialDefaults(context);

    EXPECT_EQ(1200u, context->BaudRate);
    EXPECT_EQ(STOP_BIT_1, context->LineControl.StopBits);
    EXPECT_EQ(NO_PARITY, context->LineControl.Parity);
    EXPECT_EQ(7, context->LineControl.WordLength);
    EXPECT_EQ(0x11, context->SpecialChars.XonChar);
    EXPECT_EQ(0x13, context->SpecialChars.XoffChar);
    // The other four special characters keep their values.
    EXPECT_EQ(0x1A, context->SpecialChars.EofChar);
    EXPECT_EQ(0x3F, context->SpecialChars.ErrorChar);
    EXPECT_EQ(0x02, context->SpecialChars.BreakChar);
    EXPECT_EQ(0x0D, context->SpecialChars.EventChar);
    EXPECT_EQ(SERIAL_DTR_CONTROL, context->HandFlow.ControlHandShake);
    EXPECT_EQ(SERIAL_RTS_CONTROL, context->HandFlow.FlowReplace);
    EXPECT_EQ(0, context->HandFlow.XonLimit);
    EXPECT_EQ(0, context->HandFlow.XoffLimit);
    EXPECT_EQ(0u, context->Timeouts.ReadIntervalTimeout);
    EXPECT_EQ(0u, context->Timeouts.WriteTotalTimeoutConstant);
    EXPECT_FALSE(context->BreakOn);
    EXPECT_EQ(3328u, context->RxHighWater);
    // No registry line defaults: no control lines, no modem status.
    EXPECT_EQ(0, context->ControlLines);
    EXPECT_EQ(0u, context->ModemStatus);
    EXPECT_EQ(0u, context->FixedRxBuffer);
}

TEST_F(SerialDefaultsTest, KeepsAnEnlargedReceiveBuffer)
{
    Boot();
    PDEVICE_CONTEXT context = PluggedContext();
    context->RxSize = 8192;
    SetSerialDefaults(context);
    EXPECT_EQ(8192u, context->RxSize);
    EXPECT_EQ(3u * 2048 + 512, context->RxHighWater);
}

TEST_F(SerialDefaultsTest, LineDefaultsComeFromTheParameters)
{
    Boot();
    machine->Detach(Plug(u"TR0001"));
    auto parameters = Registry().OpenKey(ParametersKey);
    parameters->SetDword(u"DefaultDTR", 1);
    parameters->SetDword(u"DefaultRTS", 1);
    parameters->SetDword(u"DefaultDSR", 1);
    parameters->SetDword(u"IntBufferSetting", 1);
    PDEVICE_CONTEXT context = PluggedContext();
    SetSerialDefaults(context);
    EXPECT_EQ(SERIAL_DTR_STATE | SERIAL_RTS_STATE, context->ControlLines);
    EXPECT_EQ(SERIAL_DSR_STATE, context->ModemStatus);
    EXPECT_EQ(1u, context->FixedRxBuffer);
}

TEST(SerialStateTest, HighWaterIsThreeQuartersPlusASixteenth)
{
    struct Case
    {
        ULONG size;
        ULONG highWater;
    };
    for (Case c : {Case{4096, 3328}, Case{16, 13}, Case{10, 6}, Case{65536, 53248}})
    {
        EXPECT_EQ(c.highWater, ComputeRxHighWater(c.size)) << c.size;
    }
}

TEST(SerialStateTest, ContextFieldsHaveTheirWindowsWidths)
{
    EXPECT_EQ(16u, sizeof(DEVICE_CONTEXT::PortName));
    EXPECT_EQ(3u, sizeof(SERIAL_LINE_CONTROL));
    EXPECT_EQ(6u, sizeof(SERIAL_CHARS));
    EXPECT_EQ(16u, sizeof(SERIAL_HANDFLOW));
    EXPECT_EQ(20u, sizeof(SERIAL_TIMEOUTS));
    EXPECT_EQ(24u, sizeof(SERIALPERF_STATS));
    // The request context fields come in their declared order.
    EXPECT_LT(offsetof(REQUEST_CONTEXT, Information), offsetof(REQUEST_CONTEXT, Status));
    EXPECT_LT(offsetof(REQUEST_CONTEXT, RefBits), offsetof(REQUEST_CONTEXT, RequestBuffer));
    EXPECT_LT(offsetof(REQUEST_CONTEXT, OwnerDevice), offsetof(REQUEST_CONTEXT, IoControlCode));
    EXPECT_LT(offsetof(REQUEST_CONTEXT, Completing), offsetof(REQUEST_CONTEXT, TxMemory));
    EXPECT_LT(offsetof(REQUEST_CONTEXT, TxRemaining), offsetof(REQUEST_CONTEXT, TxChunkMax));
}

} // namespace
} // namespace tarnocom::testing
