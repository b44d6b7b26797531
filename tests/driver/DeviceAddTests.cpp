// Device add: instance numbers, kernel names and the SERIALCOMM map across plugging and loads.
#include "DriverTestSupport.h"

namespace tarnocom::testing
{
namespace
{

class InstanceNumberTest : public DriverMachineTest
{
  protected:
    void SetUp() override { Boot(); }

    // Stores an instance number in a reader's hardware key before it is first plugged in.
    void PreStore(const std::u16string& serial, ULONG number)
    {
        machine->SetRegistryValue(HardwareKeyPath(serial), u"InstanceNumber", RegistryValue::Dword(number));
    }
};

TEST_F(InstanceNumberTest, NewReadersGetTheLowestFreeNumbers)
{
    Device first = Plug(u"TR0001");
    ASSERT_EQ(first.State(), DeviceState::Started);
    EXPECT_EQ(first.KernelName(), u"\\Device\\ZTSerial0");
    EXPECT_EQ(StoredInstance(u"TR0001").value_or(99), 0u);
    EXPECT_EQ(ParameterDword(u"UseInstance").value_or(0), 1u);
    EXPECT_EQ(ContextOf(first)->InstanceNumber, 0u);

    Device second = Plug(u"TR0002");
    ASSERT_EQ(second.State(), DeviceState::Started);
    EXPECT_EQ(second.KernelName(), u"\\Device\\ZTSerial1");
    EXPECT_EQ(StoredInstance(u"TR0002").value_or(99), 1u);
    EXPECT_EQ(ParameterDword(u"UseInstance").value_or(0), 3u);
}

TEST_F(InstanceNumberTest, StoredNumberIsKept)
{
    PreStore(u"TR0005", 5);
    Device node = Plug(u"TR0005");
    ASSERT_EQ(node.State(), DeviceState::Started);
    EXPECT_EQ(node.KernelName(), u"\\Device\\ZTSerial5");
    EXPECT_EQ(ParameterDword(u"UseInstance").value_or(0), 1u << 5);
    EXPECT_EQ(StoredInstance(u"TR0005").value_or(99), 5u);
}

TEST_F(InstanceNumberTest, SecondReaderWithTheSameStoredNumberMovesToTheLowestFree)
{
    PreStore(u"TR0001", 5);
    PreStore(u"TR0002", 5);
    Device first = Plug(u"TR0001");
    Device second = Plug(u"TR0002");
    EXPECT_EQ(first.KernelName(), u"\\Device\\ZTSerial5");
    EXPECT_EQ(second.KernelName(), u"\\Device\\ZTSerial0");
    EXPECT_EQ(StoredInstance(u"TR0002").value_or(99), 0u);
    EXPECT_EQ(ParameterDword(u"UseInstance").value_or(0), (1u << 5) | 1u);
}

TEST_F(InstanceNumberTest, StoredNumberHeldInSerialCommByAnotherPortMoves)
{
    machine->SetRegistryValue(SerialCommKey, u"\\Device\\ZTSerial5", RegistryValue::String(u"COM9"));
    PreStore(u"TR0005", 5);
    Device node = Plug(u"TR0005");
    ASSERT_EQ(node.State(), DeviceState::Started);
    EXPECT_EQ(node.KernelName(), u"\\Device\\ZTSerial0");
    EXPECT_EQ(StoredInstance(u"TR0005").value_or(99), 0u);
    // Bit 5 was claimed when the stored number was read; it stays claimed.
    EXPECT_EQ(ParameterDword(u"UseInstance").value_or(0), (1u << 5) | 1u);
}

TEST_F(InstanceNumberTest, SerialCommValueTooLongToReadKeepsTheStoredNumber)
{
    // 13 characters and a terminator do not fit the 20-byte buffer of the lookup.
    machine->SetRegistryValue(SerialCommKey, u"\\Device\\ZTSerial5", RegistryValue::String(u"COM1234567890"));
    PreStore(u"TR0005", 5);
    Device node = Plug(u"TR0005");
    EXPECT_EQ(node.KernelName(), u"\\Device\\ZTSerial5");
}

TEST_F(InstanceNumberTest, NumberAbove31ClaimsItsBitModulo32ButKeepsItsName)
{
    PreStore(u"TR0037", 37);
    Device node = Plug(u"TR0037");
    ASSERT_EQ(node.State(), DeviceState::Started);
    EXPECT_EQ(node.KernelName(), u"\\Device\\ZTSerial37");
    EXPECT_EQ(ParameterDword(u"UseInstance").value_or(0), 1u << 5);
    // The next new reader does not get 5: its bit is taken.
    PreStore(u"TR0005", 5);
    Device other = Plug(u"TR0005");
    EXPECT_EQ(other.KernelName(), u"\\Device\\ZTSerial5")
        << "a stored number is kept even when its bit is set";
    Device fresh = Plug(u"TR0099");
    EXPECT_EQ(fresh.KernelName(), u"\\Device\\ZTSerial0");
}

TEST_F(InstanceNumberTest, AllNumbersClaimedFailsWithInternalError)
{
    ASSERT_EQ(Plug(u"TR0001").State(), DeviceState::Started);
    machine->SetRegistryValue(ParametersKey, u"UseInstance", RegistryValue::Dword(0xFFFFFFFF));
    size_t eventsBefore = Events().size();
    Device node = Plug(u"TR0002");
    EXPECT_EQ(node.State(), DeviceState::Failed);
    EXPECT_EQ(node.Problem(), STATUS_INTERNAL_ERROR);
    EXPECT_FALSE(StoredInstance(u"TR0002").has_value());
    // The failure came before the device existed: no event is written.
    EXPECT_EQ(Events().size(), eventsBefore);
}

TEST_F(InstanceNumberTest, ReplugKeepsTheNumberAndTheComName)
{
    Device first = Plug(u"TR0001");
    Plug(u"TR0002");
    auto portBefore = machine->RegistryString(HardwareKeyPath(u"TR0001"), u"PortName");
    machine->Detach(first);
    EXPECT_FALSE(SerialComm(u"\\Device\\ZTSerial0").has_value());
    // The number stays claimed while the driver stays loaded.
    EXPECT_EQ(ParameterDword(u"UseInstance").value_or(0), 3u);
    Device again = Plug(u"TR0001");
    ASSERT_EQ(again.State(), DeviceState::Started);
    EXPECT_EQ(again.KernelName(), u"\\Device\\ZTSerial0");
    EXPECT_EQ(machine->RegistryString(HardwareKeyPath(u"TR0001"), u"PortName"), portBefore);
    EXPECT_EQ(SerialComm(u"\\Device\\ZTSerial0"), portBefore);
}

TEST_F(InstanceNumberTest, UnplugDeletesSerialCommAndLeavesTheBit)
{
    Device first = Plug(u"TR0001");
    Plug(u"TR0002");
    ASSERT_EQ(SerialComm(u"\\Device\\ZTSerial0").value_or(u""), u"COM3");
    machine->Detach(first);
    EXPECT_FALSE(SerialComm(u"\\Device\\ZTSerial0").has_value());
    EXPECT_EQ(SerialComm(u"\\Device\\ZTSerial1").value_or(u""), u"COM4");
    EXPECT_EQ(ParameterDword(u"UseInstance").value_or(0), 3u);
    EXPECT_EQ(StoredInstance(u"TR0001").value_or(99), 0u);
}

TEST_F(InstanceNumberTest, UnplugOfAReaderWhoseStoredNumberChangedReleasesItsOwnBit)
{
    Device first = Plug(u"TR0001");
    Device second = Plug(u"TR0002");
    ASSERT_EQ(ParameterDword(u"UseInstance").value_or(0), 3u);
    // The reader's key now names another number: at cleanup the driver reads it through the
    // device's key and gives back the number the device was using (0), not the stored one.
    machine->SetRegistryValue(HardwareKeyPath(u"TR0001"), u"InstanceNumber", RegistryValue::Dword(7));
    machine->Detach(first);
    EXPECT_EQ(ParameterDword(u"UseInstance").value_or(0), 2u);
    // A reader whose stored number is unchanged keeps its bit claimed.
    machine->Detach(second);
    EXPECT_EQ(ParameterDword(u"UseInstance").value_or(0), 2u);
}

TEST_F(InstanceNumberTest, NewLoadForgetsClaimedNumbers)
{
    Device first = Plug(u"TR0001");
    Device second = Plug(u"TR0002");
    machine->Detach(first);
    machine->Detach(second);
    // Both devices gone: the driver unloads. The next reader loads it again.
    ASSERT_TRUE(WaitForDriverUnload());
    Device third = Plug(u"TR0003");
    EXPECT_EQ(third.KernelName(), u"\\Device\\ZTSerial0") << "number 0 was forgotten at the new load";
    EXPECT_EQ(ParameterDword(u"UseInstance").value_or(0), 1u);
    // The first reader comes back: its stored 0 is taken in SERIALCOMM, so it moves.
    Device back = Plug(u"TR0001");
    EXPECT_EQ(back.KernelName(), u"\\Device\\ZTSerial1");
    EXPECT_EQ(StoredInstance(u"TR0001").value_or(99), 1u);
}

TEST_F(InstanceNumberTest, DeviceObjectIsAnExclusiveSerialPort)
{
    Device node = Plug(u"TR0001");
    PDEVICE_OBJECT fdo = node.DeviceObject();
    EXPECT_EQ(fdo->DeviceType, static_cast<DEVICE_TYPE>(FILE_DEVICE_SERIAL_PORT));
    EXPECT_NE(fdo->Flags & DO_EXCLUSIVE, 0u);
    EXPECT_NE(fdo->Flags & DO_BUFFERED_IO, 0u);
    EXPECT_EQ(fdo->Flags & DO_DEVICE_INITIALIZING, 0u);
    PDEVICE_CONTEXT context = ContextOf(node);
    EXPECT_EQ(context->RxSize, 4096u);
    EXPECT_EQ(context->BulkInBufferLength, 4096u);
    EXPECT_NE(context->ReadQueue, nullptr);
    EXPECT_NE(context->PurgeQueue, nullptr);
    EXPECT_NE(context->WriteTotalTimer, nullptr);
    EXPECT_NE(context->OpenLock, nullptr);
    EXPECT_NE(context->UsbDevice, nullptr) << "the start opened the reader as a USB target";
}

TEST_F(InstanceNumberTest, MultipleOpenParameterMakesTheDeviceShared)
{
    machine->Detach(Plug(u"TR0001"));
    machine->SetRegistryValue(ParametersKey, u"EnableMultipleOpen", RegistryValue::Dword(1));
    // The reader is installed already, so its return only loads the driver again.
    Device node = Plug(u"TR0001");
    PDEVICE_OBJECT fdo = node.DeviceObject();
    EXPECT_EQ(fdo->Flags & DO_EXCLUSIVE, 0u);
}

} // namespace
} // namespace tarnocom::testing
