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
        Registry().CreateKey(HardwareKeyPath(serial))->SetDword(u"InstanceNumber", number);
    }
};

TEST_F(InstanceNumberTest, NewReadersGetTheLowestFreeNumbers)
{
    DeviceNode* first = Plug(u"TR0001");
    ASSERT_EQ(DeviceNodeState::Added, first->state);
    EXPECT_EQ(u"\\Device\\ZTSerial0", KernelName(first));
    EXPECT_EQ(0u, StoredInstance(u"TR0001").value_or(99));
    EXPECT_EQ(1u, ParameterDword(u"UseInstance").value_or(0));
    EXPECT_EQ(0u, ContextOf(first)->InstanceNumber);

    DeviceNode* second = Plug(u"TR0002");
    ASSERT_EQ(DeviceNodeState::Added, second->state);
    EXPECT_EQ(u"\\Device\\ZTSerial1", KernelName(second));
    EXPECT_EQ(1u, StoredInstance(u"TR0002").value_or(99));
    EXPECT_EQ(3u, ParameterDword(u"UseInstance").value_or(0));
}

TEST_F(InstanceNumberTest, StoredNumberIsKept)
{
    PreStore(u"TR0005", 5);
    DeviceNode* node = Plug(u"TR0005");
    ASSERT_EQ(DeviceNodeState::Added, node->state);
    EXPECT_EQ(u"\\Device\\ZTSerial5", KernelName(node));
    EXPECT_EQ(1u << 5, ParameterDword(u"UseInstance").value_or(0));
    EXPECT_EQ(5u, StoredInstance(u"TR0005").value_or(99));
}

TEST_F(InstanceNumberTest, SecondReaderWithTheSameStoredNumberMovesToTheLowestFree)
{
    PreStore(u"TR0001", 5);
    PreStore(u"TR0002", 5);
    DeviceNode* first = Plug(u"TR0001");
    DeviceNode* second = Plug(u"TR0002");
    EXPECT_EQ(u"\\Device\\ZTSerial5", KernelName(first));
    EXPECT_EQ(u"\\Device\\ZTSerial0", KernelName(second));
    EXPECT_EQ(0u, StoredInstance(u"TR0002").value_or(99));
    EXPECT_EQ((1u << 5) | 1u, ParameterDword(u"UseInstance").value_or(0));
}

TEST_F(InstanceNumberTest, StoredNumberHeldInSerialCommByAnotherPortMoves)
{
    Registry().OpenKey(SerialCommKey)->SetString(u"\\Device\\ZTSerial5", u"COM9");
    PreStore(u"TR0005", 5);
    DeviceNode* node = Plug(u"TR0005");
    ASSERT_EQ(DeviceNodeState::Added, node->state);
    EXPECT_EQ(u"\\Device\\ZTSerial0", KernelName(node));
    EXPECT_EQ(0u, StoredInstance(u"TR0005").value_or(99));
    // Bit 5 was claimed when the stored number was read; it stays claimed.
    EXPECT_EQ((1u << 5) | 1u, ParameterDword(u"UseInstance").value_or(0));
}

TEST_F(InstanceNumberTest, SerialCommValueTooLongToReadKeepsTheStoredNumber)
{
    // 13 characters and a terminator do not fit the 20-byte buffer of the lookup.
    Registry().OpenKey(SerialCommKey)->SetString(u"\\Device\\ZTSerial5", u"COM1234567890");
    PreStore(u"TR0005", 5);
    DeviceNode* node = Plug(u"TR0005");
    EXPECT_EQ(u"\\Device\\ZTSerial5", KernelName(node));
}

TEST_F(InstanceNumberTest, NumberAbove31ClaimsItsBitModulo32ButKeepsItsName)
{
    PreStore(u"TR0037", 37);
    DeviceNode* node = Plug(u"TR0037");
    ASSERT_EQ(DeviceNodeState::Added, node->state);
    EXPECT_EQ(u"\\Device\\ZTSerial37", KernelName(node));
    EXPECT_EQ(1u << 5, ParameterDword(u"UseInstance").value_or(0));
    // The next new reader does not get 5: its bit is taken.
    PreStore(u"TR0005", 5);
    DeviceNode* other = Plug(u"TR0005");
    EXPECT_EQ(u"\\Device\\ZTSerial5", KernelName(other))
        << "a stored number is kept even when its bit is set";
    DeviceNode* fresh = Plug(u"TR0099");
    EXPECT_EQ(u"\\Device\\ZTSerial0", KernelName(fresh));
}

TEST_F(InstanceNumberTest, AllNumbersClaimedFailsWithInternalError)
{
    ASSERT_EQ(DeviceNodeState::Added, Plug(u"TR0001")->state);
    Registry().OpenKey(ParametersKey)->SetDword(u"UseInstance", 0xFFFFFFFF);
    size_t eventsBefore = Events().size();
    DeviceNode* node = Plug(u"TR0002");
    EXPECT_EQ(DeviceNodeState::Failed, node->state);
    EXPECT_EQ(STATUS_INTERNAL_ERROR, node->problem);
    EXPECT_FALSE(StoredInstance(u"TR0002").has_value());
    // The failure came before the device existed: no event is written.
    EXPECT_EQ(eventsBefore, Events().size());
}

TEST_F(InstanceNumberTest, ReplugKeepsTheNumberAndTheComName)
{
    DeviceNode* first = Plug(u"TR0001");
    Plug(u"TR0002");
    auto portBefore = Registry().OpenKey(HardwareKeyPath(u"TR0001"))->GetString(u"PortName");
    machine->Detach(first);
    EXPECT_FALSE(SerialComm(u"\\Device\\ZTSerial0").has_value());
    // The number stays claimed while the driver stays loaded.
    EXPECT_EQ(3u, ParameterDword(u"UseInstance").value_or(0));
    DeviceNode* again = Plug(u"TR0001");
    ASSERT_EQ(DeviceNodeState::Added, again->state);
    EXPECT_EQ(u"\\Device\\ZTSerial0", KernelName(again));
    EXPECT_EQ(portBefore, Registry().OpenKey(HardwareKeyPath(u"TR0001"))->GetString(u"PortName"));
    EXPECT_EQ(portBefore, SerialComm(u"\\Device\\ZTSerial0"));
}

TEST_F(InstanceNumberTest, UnplugDeletesSerialCommAndLeavesTheBit)
{
    DeviceNode* first = Plug(u"TR0001");
    Plug(u"TR0002");
    ASSERT_EQ(u"COM3", SerialComm(u"\\Device\\ZTSerial0").value_or(u""));
    machine->Detach(first);
    EXPECT_FALSE(SerialComm(u"\\Device\\ZTSerial0").has_value());
    EXPECT_EQ(u"COM4", SerialComm(u"\\Device\\ZTSerial1").value_or(u""));
    EXPECT_EQ(3u, ParameterDword(u"UseInstance").value_or(0));
    EXPECT_EQ(0u, StoredInstance(u"TR0001").value_or(99));
}

TEST_F(InstanceNumberTest, UnplugOfAReaderWhoseStoredNumberChangedReleasesItsOwnBit)
{
    DeviceNode* first = Plug(u"TR0001");
    DeviceNode* second = Plug(u"TR0002");
    ASSERT_EQ(ParameterDword(u"UseInstance").value_or(0), 3u);
    // The reader's key now names another number: at cleanup the driver reads it through the
    // device's key and gives back the number the device was using (0), not the stored one.
    Registry().OpenKey(HardwareKeyPath(u"TR0001"))->SetDword(u"InstanceNumber", 7);
    machine->Detach(first);
    EXPECT_EQ(ParameterDword(u"UseInstance").value_or(0), 2u);
    // A reader whose stored number is unchanged keeps its bit claimed.
    machine->Detach(second);
    EXPECT_EQ(ParameterDword(u"UseInstance").value_or(0), 2u);
}

TEST_F(InstanceNumberTest, NewLoadForgetsClaimedNumbers)
{
    DeviceNode* first = Plug(u"TR0001");
    DeviceNode* second = Plug(u"TR0002");
    machine->Detach(first);
    machine->Detach(second);
    // Both devices gone: the driver unloaded. The next reader loads it again.
    ASSERT_EQ(nullptr, System().Pnp().LoadedDriver(u"TARNOCOM"));
    DeviceNode* third = Plug(u"TR0003");
    EXPECT_EQ(u"\\Device\\ZTSerial0", KernelName(third)) << "number 0 was forgotten at the new load";
    EXPECT_EQ(1u, ParameterDword(u"UseInstance").value_or(0));
    // The first reader comes back: its stored 0 is taken in SERIALCOMM, so it moves.
    DeviceNode* back = Plug(u"TR0001");
    EXPECT_EQ(u"\\Device\\ZTSerial1", KernelName(back));
    EXPECT_EQ(1u, StoredInstance(u"TR0001").value_or(99));
}

TEST_F(InstanceNumberTest, DeviceObjectIsAnExclusiveSerialPort)
{
    DeviceNode* node = Plug(u"TR0001");
    PDEVICE_OBJECT fdo = winsim::kernel::IoManager::TopOfStack(node->pdo);
    EXPECT_EQ(static_cast<DEVICE_TYPE>(FILE_DEVICE_SERIAL_PORT), fdo->DeviceType);
    EXPECT_NE(0u, fdo->Flags & DO_EXCLUSIVE);
    EXPECT_NE(0u, fdo->Flags & DO_BUFFERED_IO);
    EXPECT_EQ(0u, fdo->Flags & DO_DEVICE_INITIALIZING);
    PDEVICE_CONTEXT context = ContextOf(node);
    EXPECT_EQ(4096u, context->RxSize);
    EXPECT_EQ(4096u, context->BulkInBufferLength);
    EXPECT_NE(nullptr, context->ReadQueue);
    EXPECT_NE(nullptr, context->PurgeQueue);
    EXPECT_NE(nullptr, context->WriteTotalTimer);
    EXPECT_NE(nullptr, context->OpenLock);
    EXPECT_EQ(nullptr, context->UsbDevice);
}

TEST_F(InstanceNumberTest, MultipleOpenParameterMakesTheDeviceShared)
{
    machine->Detach(Plug(u"TR0001"));
    Registry().OpenKey(ParametersKey)->SetDword(u"EnableMultipleOpen", 1);
    // The reader is installed already, so its return only loads the driver again.
    DeviceNode* node = Plug(u"TR0001");
    PDEVICE_OBJECT fdo = winsim::kernel::IoManager::TopOfStack(node->pdo);
    EXPECT_EQ(0u, fdo->Flags & DO_EXCLUSIVE);
}

} // namespace
} // namespace tarnocom::testing
