// The published port: COM names, the \DosDevices\ link, SERIALCOMM, the COM-port interface, the
// failures of publishing, and the requests the driver answers before the framework.
#include "DriverTestSupport.h"

#include <winternl.h>

#include "TableCases.h"
#include "TarnoMessages.h"

namespace tarnocom::testing
{
namespace
{

using winsim::machine::RequestResult;
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

    // Whether a COM name is a DOS device name (the driver's \DosDevices\ link).
    static bool LinkExists(const std::u16string& comName)
    {
        return !DosDeviceTargets(std::string(comName.begin(), comName.end())).empty();
    }

    size_t ComPortInterfaces() { return machine->DeviceInterfaces(GUID_DEVINTERFACE_COMPORT).size(); }

    std::optional<EventLogRecord> LastEvent()
    {
        auto events = Events();
        return events.empty() ? std::nullopt : std::optional<EventLogRecord>(events.back());
    }

    // The status of opening a device by its kernel name, as a program can with NtOpenFile.
    static NTSTATUS OpenByKernelName(const std::u16string& kernelName)
    {
        UNICODE_STRING name;
        name.Buffer = reinterpret_cast<PWSTR>(const_cast<char16_t*>(kernelName.c_str()));
        name.Length = static_cast<USHORT>(kernelName.size() * sizeof(WCHAR));
        name.MaximumLength = name.Length;
        OBJECT_ATTRIBUTES attributes;
        InitializeObjectAttributes(&attributes, &name, OBJ_CASE_INSENSITIVE, nullptr, nullptr);
        HANDLE file = nullptr;
        IO_STATUS_BLOCK iosb;
        NTSTATUS status = NtOpenFile(&file, GENERIC_READ, &attributes, &iosb, 0, 0);
        if (NT_SUCCESS(status))
        {
            NtClose(file);
        }
        return status;
    }
};

TEST_F(PortTest, PublishesTheComName)
{
    Device node = Plug(u"TR0001");
    ASSERT_EQ(node.State(), DeviceState::Started);
    EXPECT_EQ(View(ContextOf(node)->PortName), u"COM3");
    EXPECT_EQ(DosDeviceTargets("COM3"), std::vector<std::string>{"\\Device\\ZTSerial0"});
    EXPECT_EQ(SerialComm(u"\\Device\\ZTSerial0").value_or(u""), u"COM3");
    auto interfaces = machine->DeviceInterfaces(GUID_DEVINTERFACE_COMPORT);
    ASSERT_EQ(interfaces.size(), 1u);
    EXPECT_EQ(interfaces[0].instancePath, node.InstancePath());
    EXPECT_TRUE(ContextOf(node)->SerialCommWritten);
}

TEST_F(PortTest, SevenCharacterNameFits)
{
    Device node = Plug(u"TR0001", u"COM1000");
    ASSERT_EQ(node.State(), DeviceState::Started);
    EXPECT_TRUE(LinkExists(u"COM1000"));
    EXPECT_EQ(SerialComm(u"\\Device\\ZTSerial0").value_or(u""), u"COM1000");
}

TEST_F(PortTest, EightCharacterNameFailsDeviceAddWithAnEvent)
{
    Device node = Plug(u"TR0001", u"COM10000");
    EXPECT_EQ(node.State(), DeviceState::Failed);
    EXPECT_EQ(node.Problem(), STATUS_BUFFER_OVERFLOW);
    EXPECT_FALSE(LinkExists(u"COM10000"));
    EXPECT_FALSE(SerialComm(u"\\Device\\ZTSerial0").has_value());
    EXPECT_EQ(ComPortInterfaces(), 0u);
    auto event = LastEvent();
    ASSERT_TRUE(event.has_value());
    EXPECT_EQ(event->code, static_cast<NTSTATUS>(TARNO_FAILED_DEVICE_ADD));
    EXPECT_EQ(event->finalStatus, STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(event->deviceName, u"\\Device\\ZTSerial0");
    // The instance number stays claimed although device add failed.
    EXPECT_EQ(ParameterDword(u"UseInstance").value_or(0), 1u);
    // The device is gone again: its kernel name is free.
    EXPECT_EQ(OpenByKernelName(u"\\Device\\ZTSerial0"), STATUS_OBJECT_NAME_NOT_FOUND);
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
    Device ReplugWithStoredName()
    {
        machine->Detach(Plug(u"TR0001"));
        std::u16string bytes = GetParam().text;
        if (GetParam().terminated)
        {
            bytes.push_back(u'\0');
        }
        machine->SetRegistryValue(
            HardwareKeyPath(u"TR0001"), u"PortName",
            RegistryValue::Bytes(REG_SZ, bytes.data(), bytes.size() * sizeof(char16_t)));
        return Plug(u"TR0001");
    }
};

// Sixteen bytes is the whole port name field: a name needs one of them for its terminator.
TEST_P(TooLongPortNameTest, FailsDeviceAddWithBufferOverflow)
{
    Device node = ReplugWithStoredName();
    EXPECT_EQ(node.State(), DeviceState::Failed);
    EXPECT_EQ(node.Problem(), STATUS_BUFFER_OVERFLOW);
    EXPECT_FALSE(LinkExists(GetParam().text));
    EXPECT_FALSE(SerialComm(u"\\Device\\ZTSerial0").has_value());
    EXPECT_EQ(ComPortInterfaces(), 0u);
    auto event = LastEvent();
    ASSERT_TRUE(event.has_value());
    EXPECT_EQ(event->code, static_cast<NTSTATUS>(TARNO_FAILED_DEVICE_ADD));
    EXPECT_EQ(event->finalStatus, STATUS_BUFFER_OVERFLOW);
}

INSTANTIATE_TEST_SUITE_P(Names, TooLongPortNameTest,
                         ::testing::Values(StoredPortNameCase{"EightCharactersTerminated", u"COM10000", true},
                                           StoredPortNameCase{"EightCharactersUnterminated", u"COM10000",
                                                              false}),
                         CaseName<StoredPortNameCase>);

TEST_F(PortTest, MissingPortNameFailsDeviceAdd)
{
    Device node = Plug(u"TR0001");
    Plug(u"TR0002");
    machine->Detach(node);
    ASSERT_TRUE(machine->DeleteRegistryValue(HardwareKeyPath(u"TR0001"), u"PortName"));
    Device again = Plug(u"TR0001");
    EXPECT_EQ(again.State(), DeviceState::Failed);
    EXPECT_EQ(again.Problem(), STATUS_OBJECT_NAME_NOT_FOUND);
    auto event = LastEvent();
    ASSERT_TRUE(event.has_value());
    EXPECT_EQ(event->code, static_cast<NTSTATUS>(TARNO_FAILED_DEVICE_ADD));
    EXPECT_EQ(event->finalStatus, STATUS_OBJECT_NAME_NOT_FOUND);
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
    Device node = Plug(u"TR0001", GetParam().portName);
    ASSERT_EQ(node.State(), DeviceState::Started);
    auto value = machine->StoredRegistryValue(SerialCommKey, u"\\Device\\ZTSerial0");
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
    machine->FailPoolAllocationsWithTag('dPnP');
    Device node = Plug(u"TR0001");
    machine->FailPoolAllocationsWithTag(0);
    EXPECT_EQ(node.State(), DeviceState::Failed);
    EXPECT_EQ(node.Problem(), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_FALSE(SerialComm(u"\\Device\\ZTSerial0").has_value());
    EXPECT_FALSE(LinkExists(u"COM3")) << "the link goes with the deleted device";
    auto event = LastEvent();
    ASSERT_TRUE(event.has_value());
    EXPECT_EQ(event->code, static_cast<NTSTATUS>(TARNO_FAILED_DEVICE_ADD));
    EXPECT_EQ(event->finalStatus, STATUS_INSUFFICIENT_RESOURCES);
}

TEST_F(PortTest, LinkCollisionFailsDeviceAdd)
{
    // Another device's driver already answers to COM5 in the global DOS device names. (A name a
    // program defines is its logon session's and collides with no driver's.)
    Device first = Plug(u"TR0001", u"COM5");
    ASSERT_EQ(first.State(), DeviceState::Started);
    Device node = Plug(u"TR0002", u"COM5");
    EXPECT_EQ(node.State(), DeviceState::Failed);
    EXPECT_EQ(node.Problem(), STATUS_OBJECT_NAME_COLLISION);
    EXPECT_FALSE(SerialComm(u"\\Device\\ZTSerial1").has_value());
    EXPECT_EQ(SerialComm(u"\\Device\\ZTSerial0").value_or(u""), u"COM5");
}

// --- requests answered before the framework ---

class PortRequestTest : public PortTest
{
  protected:
    void SetUp() override
    {
        PortTest::SetUp();
        node = Plug(u"TR0001");
        ASSERT_EQ(node.State(), DeviceState::Started);
        file = Open(GENERIC_READ | GENERIC_WRITE);
        ASSERT_NE(file, INVALID_HANDLE_VALUE) << "error " << GetLastError();
    }
    void TearDown() override
    {
        if (file != INVALID_HANDLE_VALUE)
        {
            CloseHandle(file);
        }
        PortTest::TearDown();
    }
    static HANDLE Open(DWORD access)
    {
        return CreateFileA("\\\\.\\COM3", access, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    }

    Device node;
    HANDLE file = INVALID_HANDLE_VALUE;
};

TEST_F(PortRequestTest, ExclusiveDeviceRefusesASecondOpen)
{
    EXPECT_EQ(Open(GENERIC_READ), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    CloseHandle(file);
    file = INVALID_HANDLE_VALUE;
    HANDLE second = Open(GENERIC_READ);
    EXPECT_NE(second, INVALID_HANDLE_VALUE) << "error " << GetLastError();
    CloseHandle(second);
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
    RequestResult result =
        machine->QueryFileInformation(file, GetParam().infoClass, buffer.data(), GetParam().length);
    EXPECT_EQ(result.status, GetParam().status);
    EXPECT_EQ(result.information, GetParam().information);
    for (size_t i = 0; i < result.information; ++i)
    {
        EXPECT_EQ(buffer[i], 0) << "byte " << i;
    }
    EXPECT_EQ(buffer[result.information], 0xAA) << "nothing past what was reported";
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
        RequestResult result = machine->SetFileInformation(file, c.infoClass, &value, sizeof(value));
        EXPECT_EQ(result.status, c.status) << "class " << c.infoClass;
        EXPECT_EQ(result.information, 0u);
    }
}

TEST_F(PortRequestTest, FlushSucceedsAndLeavesTheWriteQueueRunning)
{
    PDEVICE_CONTEXT context = ContextOf(node);
    WdfIoQueueStop(context->WriteQueue, nullptr, nullptr);
    EXPECT_TRUE(FlushFileBuffers(file)) << "error " << GetLastError();
    WDF_IO_QUEUE_STATE state = WdfIoQueueGetState(context->WriteQueue, nullptr, nullptr);
    EXPECT_NE(state & WdfIoQueueDispatchRequests, 0);
    EXPECT_NE(state & WdfIoQueueAcceptRequests, 0);
}

} // namespace
} // namespace tarnocom::testing
