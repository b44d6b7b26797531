// The published port: COM names, the \DosDevices\ link, SERIALCOMM, the COM-port interface, the
// failures of publishing, and the requests the driver answers before the framework.
#include "DriverTestSupport.h"

#include "TableCases.h"
#include "TarnoMessages.h"

namespace tarnocom::testing
{
namespace
{

using winsim::kernel::IoResult;
using winsim::kernel::OpenFile;
using winsimtest::PrintTo;

// Names a table case after its name field.
template <typename Case>
std::string CaseName(const ::testing::TestParamInfo<Case>& info)
{
    return info.param.name;
}

class PortTest : public DriverMachineTest
{
  protected:
    void SetUp() override { Boot(); }

    bool LinkExists(const std::u16string& comName)
    {
        return System().Namespace().LinkTarget(u"\\DosDevices\\" + comName).has_value();
    }

    size_t ComPortInterfaces() { return System().Namespace().Interfaces(GUID_DEVINTERFACE_COMPORT).size(); }

    const winsim::kernel::EventLogEntry* LastEvent()
    {
        static winsim::kernel::EventLogEntry last;
        auto events = Events();
        if (events.empty())
        {
            return nullptr;
        }
        last = events.back();
        return &last;
    }
};

TEST_F(PortTest, PublishesTheComName)
{
    DeviceNode* node = Plug(u"TR0001");
    ASSERT_EQ(DeviceNodeState::Added, node->state);
    EXPECT_EQ(u"COM3", winsim::View(ContextOf(node)->PortName));
    EXPECT_EQ(u"\\Device\\ZTSerial0", System().Namespace().LinkTarget(u"\\DosDevices\\COM3").value_or(u""));
    EXPECT_EQ(u"COM3", SerialComm(u"\\Device\\ZTSerial0").value_or(u""));
    auto interfaces = System().Namespace().Interfaces(GUID_DEVINTERFACE_COMPORT);
    ASSERT_EQ(1u, interfaces.size());
    EXPECT_EQ(node->pdo, interfaces[0].pdo);
    EXPECT_TRUE(ContextOf(node)->SerialCommWritten);
}

TEST_F(PortTest, SevenCharacterNameFits)
{
    DeviceNode* node = Plug(u"TR0001", u"COM1000");
    ASSERT_EQ(DeviceNodeState::Added, node->state);
    EXPECT_TRUE(LinkExists(u"COM1000"));
    EXPECT_EQ(u"COM1000", SerialComm(u"\\Device\\ZTSerial0").value_or(u""));
}

TEST_F(PortTest, EightCharacterNameFailsDeviceAddWithAnEvent)
{
    DeviceNode* node = Plug(u"TR0001", u"COM10000");
    EXPECT_EQ(DeviceNodeState::Failed, node->state);
    EXPECT_EQ(STATUS_BUFFER_OVERFLOW, node->problem);
    EXPECT_FALSE(LinkExists(u"COM10000"));
    EXPECT_FALSE(SerialComm(u"\\Device\\ZTSerial0").has_value());
    EXPECT_EQ(0u, ComPortInterfaces());
    const auto* event = LastEvent();
    ASSERT_NE(nullptr, event);
    EXPECT_EQ(static_cast<NTSTATUS>(TARNO_FAILED_DEVICE_ADD), event->Packet().ErrorCode);
    EXPECT_EQ(STATUS_BUFFER_OVERFLOW, event->Packet().FinalStatus);
    EXPECT_EQ(u"\\Device\\ZTSerial0", event->deviceName);
    // The instance number stays claimed although device add failed.
    EXPECT_EQ(1u, ParameterDword(u"UseInstance").value_or(0));
    // The device is gone again: its kernel name is free.
    EXPECT_EQ(nullptr, System().Namespace().Lookup(u"\\Device\\ZTSerial0"));
}

// The value as it sits in the reader's hardware key: raw bytes, terminated or not.
struct StoredPortNameCase
{
    const char* name;
    std::u16string text;
    bool terminated;
};

class TooLongPortNameTest : public PortTest, public ::testing::WithParamInterface<StoredPortNameCase>
{
  protected:
    // Installs the reader once, unplugs it and rewrites its PortName as the case stores it, so
    // that the next plug-in only adds the device again and the driver reads that value.
    DeviceNode* ReplugWithStoredName()
    {
        machine->Detach(Plug(u"TR0001"));
        std::u16string bytes = GetParam().text;
        if (GetParam().terminated)
        {
            bytes.push_back(u'\0');
        }
        Registry()
            .OpenKey(HardwareKeyPath(u"TR0001"))
            ->SetValue(u"PortName", REG_SZ, bytes.data(), bytes.size() * sizeof(char16_t));
        return Plug(u"TR0001");
    }
};

// Sixteen bytes is the whole port name field: a name needs one of them for its terminator.
TEST_P(TooLongPortNameTest, FailsDeviceAddWithBufferOverflow)
{
    DeviceNode* node = ReplugWithStoredName();
    EXPECT_EQ(node->state, DeviceNodeState::Failed);
    EXPECT_EQ(node->problem, STATUS_BUFFER_OVERFLOW);
    EXPECT_FALSE(LinkExists(GetParam().text));
    EXPECT_FALSE(SerialComm(u"\\Device\\ZTSerial0").has_value());
    EXPECT_EQ(ComPortInterfaces(), 0u);
    const auto* event = LastEvent();
    ASSERT_NE(nullptr, event);
    EXPECT_EQ(event->Packet().ErrorCode, static_cast<NTSTATUS>(TARNO_FAILED_DEVICE_ADD));
    EXPECT_EQ(event->Packet().FinalStatus, STATUS_BUFFER_OVERFLOW);
}

INSTANTIATE_TEST_SUITE_P(Names, TooLongPortNameTest,
                         ::testing::Values(StoredPortNameCase{"EightCharactersTerminated", u"COM10000", true},
                                           StoredPortNameCase{"EightCharactersUnterminated", u"COM10000",
                                                              false}),
                         CaseName<StoredPortNameCase>);

TEST_F(PortTest, MissingPortNameFailsDeviceAdd)
{
    DeviceNode* node = Plug(u"TR0001");
    Plug(u"TR0002");
    machine->Detach(node);
    Registry().OpenKey(HardwareKeyPath(u"TR0001"))->DeleteValue(u"PortName");
    DeviceNode* again = Plug(u"TR0001");
    EXPECT_EQ(DeviceNodeState::Failed, again->state);
    EXPECT_EQ(STATUS_OBJECT_NAME_NOT_FOUND, again->problem);
    const auto* event = LastEvent();
    ASSERT_NE(nullptr, event);
    EXPECT_EQ(static_cast<NTSTATUS>(TARNO_FAILED_DEVICE_ADD), event->Packet().ErrorCode);
    EXPECT_EQ(STATUS_OBJECT_NAME_NOT_FOUND, event->Packet().FinalStatus);
}

// Other programs read the SERIALCOMM value as a string: it must be REG_SZ and carry its
// terminator, whatever name the port has.
struct SerialCommCase
{
    const char* name;
    std::u16string portName;
};

class SerialCommValueTest : public PortTest, public ::testing::WithParamInterface<SerialCommCase>
{
};

TEST_P(SerialCommValueTest, IsTheTerminatedComName)
{
    DeviceNode* node = Plug(u"TR0001", GetParam().portName);
    ASSERT_EQ(DeviceNodeState::Added, node->state);
    auto value = Registry().OpenKey(SerialCommKey)->GetValue(u"\\Device\\ZTSerial0");
    ASSERT_TRUE(value.has_value());
    EXPECT_EQ(value->type, static_cast<ULONG>(REG_SZ));
    std::u16string expected = GetParam().portName;
    expected.push_back(u'\0');
    ASSERT_EQ(value->data.size(), expected.size() * sizeof(char16_t));
    EXPECT_EQ(std::u16string(reinterpret_cast<const char16_t*>(value->data.data()), expected.size()),
              expected);
}

INSTANTIATE_TEST_SUITE_P(Names, SerialCommValueTest,
                         ::testing::Values(SerialCommCase{"OneDigit", u"COM3"},
                                           SerialCommCase{"TwoDigits", u"COM12"},
                                           SerialCommCase{"SevenCharacters", u"COM1000"}),
                         CaseName<SerialCommCase>);

TEST_F(PortTest, FailureAfterSerialCommRemovesTheValueAgain)
{
    // The interface registration is the step after the SERIALCOMM write; make it fail.
    System().GetPool().FailAllocationsWithTag('dPnP');
    DeviceNode* node = Plug(u"TR0001");
    System().GetPool().FailAllocationsWithTag(0);
    EXPECT_EQ(DeviceNodeState::Failed, node->state);
    EXPECT_EQ(STATUS_INSUFFICIENT_RESOURCES, node->problem);
    EXPECT_FALSE(SerialComm(u"\\Device\\ZTSerial0").has_value());
    EXPECT_FALSE(LinkExists(u"COM3")) << "the link goes with the deleted device";
    const auto* event = LastEvent();
    ASSERT_NE(nullptr, event);
    EXPECT_EQ(static_cast<NTSTATUS>(TARNO_FAILED_DEVICE_ADD), event->Packet().ErrorCode);
    EXPECT_EQ(STATUS_INSUFFICIENT_RESOURCES, event->Packet().FinalStatus);
}

TEST_F(PortTest, LinkCollisionFailsDeviceAdd)
{
    // Another device already answers to COM3.
    System().Namespace().CreateLink(u"\\DosDevices\\COM5", u"\\Device\\Serial9");
    DeviceNode* node = Plug(u"TR0001", u"COM5");
    EXPECT_EQ(DeviceNodeState::Failed, node->state);
    EXPECT_EQ(STATUS_OBJECT_NAME_COLLISION, node->problem);
    EXPECT_FALSE(SerialComm(u"\\Device\\ZTSerial0").has_value());
}

// --- requests answered before the framework ---

class PortRequestTest : public PortTest
{
  protected:
    void SetUp() override
    {
        PortTest::SetUp();
        node = Plug(u"TR0001");
        ASSERT_EQ(DeviceNodeState::Added, node->state);
        ASSERT_EQ(STATUS_SUCCESS, Io().Open(u"\\??\\COM3", GENERIC_READ | GENERIC_WRITE, 0, &file));
    }
    void TearDown() override
    {
        if (file && !file->closed)
        {
            Io().Close(file);
        }
        PortTest::TearDown();
    }
    winsim::kernel::IoManager& Io() { return System().Io(); }

    DeviceNode* node = nullptr;
    std::shared_ptr<OpenFile> file;
};

TEST_F(PortRequestTest, ExclusiveDeviceRefusesASecondOpen)
{
    std::shared_ptr<OpenFile> second;
    EXPECT_EQ(STATUS_ACCESS_DENIED, Io().Open(u"\\??\\COM3", GENERIC_READ, 0, &second));
    Io().Close(file);
    EXPECT_EQ(STATUS_SUCCESS, Io().Open(u"\\??\\COM3", GENERIC_READ, 0, &second));
    Io().Close(second);
}

struct QueryCase
{
    const char* name;
    FILE_INFORMATION_CLASS infoClass;
    ULONG length;
    NTSTATUS status;
    ULONG_PTR information;
};

class QueryInformationTest : public PortRequestTest, public ::testing::WithParamInterface<QueryCase>
{
};

TEST_P(QueryInformationTest, AnswersByClassAndLength)
{
    std::vector<uint8_t> buffer(64, 0xAA);
    IoResult result = Io().QueryInformation(file, GetParam().infoClass, buffer.data(), GetParam().length);
    EXPECT_EQ(GetParam().status, result.status);
    EXPECT_EQ(GetParam().information, result.information);
    for (size_t i = 0; i < result.information; ++i)
    {
        EXPECT_EQ(0, buffer[i]) << "byte " << i;
    }
    EXPECT_EQ(0xAA, buffer[result.information]) << "nothing past what was reported";
}

INSTANTIATE_TEST_SUITE_P(
    Classes, QueryInformationTest,
    ::testing::Values(QueryCase{"StandardExact", FileStandardInformation, 24, STATUS_SUCCESS, 24},
                      QueryCase{"StandardLarger", FileStandardInformation, 40, STATUS_SUCCESS, 24},
                      QueryCase{"StandardShort", FileStandardInformation, 23, STATUS_BUFFER_TOO_SMALL, 0},
                      QueryCase{"PositionExact", FilePositionInformation, 8, STATUS_SUCCESS, 8},
                      QueryCase{"PositionShort", FilePositionInformation, 7, STATUS_BUFFER_TOO_SMALL, 0},
                      QueryCase{"OtherClass", FileBasicInformation, 40, STATUS_INVALID_PARAMETER, 0}),
    CaseName<QueryCase>);

TEST_F(PortRequestTest, SetInformationAcceptsOnlyAllocationAndEndOfFile)
{
    LARGE_INTEGER value;
    value.QuadPart = 100;
    struct Case
    {
        FILE_INFORMATION_CLASS infoClass;
        NTSTATUS status;
    };
    for (Case c :
         {Case{FileAllocationInformation, STATUS_SUCCESS}, Case{FileEndOfFileInformation, STATUS_SUCCESS},
          Case{FileBasicInformation, STATUS_INVALID_PARAMETER},
          Case{FilePositionInformation, STATUS_INVALID_PARAMETER}})
    {
        IoResult result = Io().SetInformation(file, c.infoClass, &value, sizeof(value));
        EXPECT_EQ(c.status, result.status) << "class " << c.infoClass;
        EXPECT_EQ(0u, result.information);
    }
}

TEST_F(PortRequestTest, FlushSucceedsAndLeavesTheWriteQueueRunning)
{
    PDEVICE_CONTEXT context = ContextOf(node);
    WdfIoQueueStop(context->WriteQueue, nullptr, nullptr);
    IoResult result = Io().Flush(file);
    EXPECT_EQ(STATUS_SUCCESS, result.status);
    EXPECT_EQ(0u, result.information);
    WDF_IO_QUEUE_STATE state = WdfIoQueueGetState(context->WriteQueue, nullptr, nullptr);
    EXPECT_NE(0, state & WdfIoQueueDispatchRequests);
    EXPECT_NE(0, state & WdfIoQueueAcceptRequests);
}

} // namespace
} // namespace tarnocom::testing
