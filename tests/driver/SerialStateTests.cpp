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
        Device node = Plug(u"TR0001");
        EXPECT_EQ(node.State(), DeviceState::Started);
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

    EXPECT_EQ(context->BaudRate, 1200u);
    EXPECT_EQ(context->LineControl.StopBits, STOP_BIT_1);
    EXPECT_EQ(context->LineControl.Parity, NO_PARITY);
    EXPECT_EQ(context->LineControl.WordLength, 7);
    EXPECT_EQ(context->SpecialChars.XonChar, 0x11);
    EXPECT_EQ(context->SpecialChars.XoffChar, 0x13);
    // The other four special characters keep their values.
    EXPECT_EQ(context->SpecialChars.EofChar, 0x1A);
    EXPECT_EQ(context->SpecialChars.ErrorChar, 0x3F);
    EXPECT_EQ(context->SpecialChars.BreakChar, 0x02);
    EXPECT_EQ(context->SpecialChars.EventChar, 0x0D);
    EXPECT_EQ(context->HandFlow.ControlHandShake, SERIAL_DTR_CONTROL);
    EXPECT_EQ(context->HandFlow.FlowReplace, SERIAL_RTS_CONTROL);
    EXPECT_EQ(context->HandFlow.XonLimit, 0);
    EXPECT_EQ(context->HandFlow.XoffLimit, 0);
    EXPECT_EQ(context->Timeouts.ReadIntervalTimeout, 0u);
    EXPECT_EQ(context->Timeouts.WriteTotalTimeoutConstant, 0u);
    EXPECT_FALSE(context->BreakOn);
    EXPECT_EQ(context->RxHighWater, 3328u);
    // No registry line defaults: no control lines, no modem status.
    EXPECT_EQ(context->ControlLines, 0);
    EXPECT_EQ(context->ModemStatus, 0u);
    EXPECT_EQ(context->FixedRxBuffer, 0u);
}

TEST_F(SerialDefaultsTest, KeepsAnEnlargedReceiveBuffer)
{
    Boot();
    PDEVICE_CONTEXT context = PluggedContext();
    context->RxSize = 8192;
    SetSerialDefaults(context);
    EXPECT_EQ(context->RxSize, 8192u);
    EXPECT_EQ(context->RxHighWater, 3u * 2048 + 512);
}

TEST_F(SerialDefaultsTest, LineDefaultsComeFromTheParameters)
{
    Boot();
    machine->Detach(Plug(u"TR0001"));
    for (const char16_t* name : {u"DefaultDTR", u"DefaultRTS", u"DefaultDSR", u"IntBufferSetting"})
    {
        machine->SetRegistryValue(ParametersKey, name, RegistryValue::Dword(1));
    }
    PDEVICE_CONTEXT context = PluggedContext();
    SetSerialDefaults(context);
    EXPECT_EQ(context->ControlLines, SERIAL_DTR_STATE | SERIAL_RTS_STATE);
    EXPECT_EQ(context->ModemStatus, SERIAL_DSR_STATE);
    EXPECT_EQ(context->FixedRxBuffer, 1u);
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
        EXPECT_EQ(ComputeRxHighWater(c.size), c.highWater) << c.size;
    }
}

TEST(SerialStateTest, ContextFieldsHaveTheirWindowsWidths)
{
    EXPECT_EQ(sizeof(DEVICE_CONTEXT::PortName), 16u);
    EXPECT_EQ(sizeof(SERIAL_LINE_CONTROL), 3u);
    EXPECT_EQ(sizeof(SERIAL_CHARS), 6u);
    EXPECT_EQ(sizeof(SERIAL_HANDFLOW), 16u);
    EXPECT_EQ(sizeof(SERIAL_TIMEOUTS), 20u);
    EXPECT_EQ(sizeof(SERIALPERF_STATS), 24u);
    // The request context fields come in their declared order.
    EXPECT_LT(offsetof(REQUEST_CONTEXT, Information), offsetof(REQUEST_CONTEXT, Status));
    EXPECT_LT(offsetof(REQUEST_CONTEXT, RefBits), offsetof(REQUEST_CONTEXT, RequestBuffer));
    EXPECT_LT(offsetof(REQUEST_CONTEXT, OwnerDevice), offsetof(REQUEST_CONTEXT, IoControlCode));
    EXPECT_LT(offsetof(REQUEST_CONTEXT, Completing), offsetof(REQUEST_CONTEXT, TxMemory));
    EXPECT_LT(offsetof(REQUEST_CONTEXT, TxRemaining), offsetof(REQUEST_CONTEXT, TxChunkMax));
}

} // namespace
} // namespace tarnocom::testing
