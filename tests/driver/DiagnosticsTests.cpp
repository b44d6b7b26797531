// The system event log entries the driver writes and its trace points.
#include "DriverTestSupport.h"

#include "TarnoMessages.h"

#include <string.h>

namespace tarnocom::testing
{
namespace
{

using winsim::machine::TraceLine;

const GUID TraceGuid = {TARNO_TRACE_GUID_INITIALIZER};

class EventLogTest : public DriverMachineTest
{
  protected:
    void SetUp() override
    {
        Boot();
        node = Plug(u"TR0001");
        ASSERT_EQ(node.State(), DeviceState::Started);
        fdo = node.DeviceObject();
        machine->ClearEventLog();
    }

    Device node;
    PDEVICE_OBJECT fdo = nullptr;
};

TEST_F(EventLogTest, PacketFieldByField)
{
    ULONG action = PowerActionSleep;
    WriteEventLog(fdo, TARNO_D0_TO_D3_SLEEP, 0, 4, &action, sizeof(action));
    auto events = Events();
    ASSERT_EQ(events.size(), 1u);
    const auto& entry = events[0];
    ASSERT_EQ(entry.packet.size(), 68u);
    const IO_ERROR_LOG_PACKET& packet = entry.Packet();
    EXPECT_EQ(packet.MajorFunctionCode, 0);
    EXPECT_EQ(packet.RetryCount, 0);
    EXPECT_EQ(packet.DumpDataSize, 20);
    EXPECT_EQ(packet.NumberOfStrings, 0);
    EXPECT_EQ(packet.StringOffset, 0);
    EXPECT_EQ(packet.EventCategory, 0);
    EXPECT_EQ(packet.ErrorCode, static_cast<NTSTATUS>(0x40770002));
    EXPECT_EQ(entry.code, static_cast<NTSTATUS>(0x40770002));
    EXPECT_EQ(entry.eventId, 2u);
    EXPECT_EQ(packet.UniqueErrorValue, 4u);
    EXPECT_EQ(packet.FinalStatus, 0);
    EXPECT_EQ(entry.finalStatus, 0);
    EXPECT_EQ(packet.SequenceNumber, 0u);
    EXPECT_EQ(packet.IoControlCode, 0u);
    EXPECT_EQ(packet.DeviceOffset.QuadPart, 0);
    EXPECT_EQ(entry.dumpData, (std::vector<ULONG>{2, 0, 0, 0, 0xFEFEFEFE}));
    EXPECT_EQ(entry.source, u"TARNOCOM");
    EXPECT_EQ(entry.deviceName, u"\\Device\\ZTSerial0");
}

TEST_F(EventLogTest, DumpDataIsCutAt16BytesAndPaddedWithZero)
{
    UCHAR twenty[20];
    for (int i = 0; i < 20; ++i)
    {
        twenty[i] = static_cast<UCHAR>(0xA0 + i);
    }
    WriteEventLog(fdo, TARNO_D3_TO_D0, STATUS_UNSUCCESSFUL, 0, twenty, sizeof(twenty));
    UCHAR three[3] = {1, 2, 3};
    WriteEventLog(fdo, TARNO_D3_TO_D0, 0, 0, three, sizeof(three));
    auto events = Events();
    ASSERT_EQ(events.size(), 2u);
    ASSERT_EQ(events[0].dumpData.size(), 5u);
    EXPECT_EQ(memcmp(events[0].dumpData.data(), twenty, 16), 0);
    EXPECT_EQ(events[0].dumpData[4], 0xFEFEFEFEu);
    EXPECT_EQ(events[0].finalStatus, STATUS_UNSUCCESSFUL);
    ASSERT_EQ(events[1].dumpData.size(), 5u);
    EXPECT_EQ(events[1].dumpData[0], 0x00030201u);
    EXPECT_EQ(events[1].dumpData[1], 0u);
}

TEST_F(EventLogTest, NothingIsWrittenWithoutAnObjectOrAnEntry)
{
    WriteEventLog(nullptr, TARNO_D3_TO_D0, 0, 0, nullptr, 0);
    machine->FailEventLogEntries(1);
    WriteEventLog(fdo, TARNO_D3_TO_D0, 0, 0, nullptr, 0);
    EXPECT_TRUE(Events().empty());
    WriteEventLog(fdo, TARNO_D3_TO_D0, 0, 0, nullptr, 0);
    EXPECT_EQ(Events().size(), 1u);
}

struct MessageCase
{
    NTSTATUS code;
    const char16_t* english;
    const char16_t* japanese;
    const char* level;
};

class MessageTableTest : public EventLogTest, public ::testing::WithParamInterface<MessageCase>
{
};

TEST_P(MessageTableTest, RendersInEnglishAndJapanese)
{
    WriteEventLog(fdo, GetParam().code, 0, 0, nullptr, 0);
    auto events = Events();
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].eventId, static_cast<ULONG>(GetParam().code) & 0xFFFF);
    EXPECT_EQ(events[0].level, GetParam().level);
    EXPECT_EQ(machine->EventText(events[0], 0x0409), GetParam().english);
    EXPECT_EQ(machine->EventText(events[0], 0x0411), GetParam().japanese);
}

INSTANTIATE_TEST_SUITE_P(
    Messages, MessageTableTest,
    ::testing::Values(
        MessageCase{
            TARNO_D0_TO_D3_REMOVE, u"Device status changed from D0 to D3. (Remove or Selective Suspend)",
            u"デバイスステータスがD0からD3に遷移しました。(切断 or Selective Suspend)", "Information"},
        MessageCase{TARNO_D0_TO_D3_SLEEP, u"Device status changed from D0 to D3. (Sleep)",
                    u"デバイスステータスがD0からD3に遷移しました。(スリープ)", "Information"},
        MessageCase{TARNO_D0_TO_D3_HIBERNATE, u"Device status changed from D0 to D3. (Hibernate)",
                    u"デバイスステータスがD0からD3に遷移しました。(休止)", "Information"},
        MessageCase{TARNO_D0_TO_D3_REBOOT, u"Device status changed from D0 to D3. (Reboot)",
                    u"デバイスステータスがD0からD3に遷移しました。(再起動)", "Information"},
        MessageCase{TARNO_D0_TO_D3_SHUTDOWN, u"Device status changed from D0 to D3. (Shutdown)",
                    u"デバイスステータスがD0からD3に遷移しました。(シャットダウン)", "Information"},
        MessageCase{TARNO_D0_TO_D1, u"Device status changed from D0 to D1.",
                    u"デバイスステータスがD0からD1に遷移しました。", "Information"},
        MessageCase{TARNO_D0_TO_D2, u"Device status changed from D0 to D2.",
                    u"デバイスステータスがD0からD2に遷移しました。", "Information"},
        MessageCase{TARNO_D3_TO_D0, u"Device status changed from D3 to D0.",
                    u"デバイスステータスがD3からD0に遷移しました。", "Information"},
        MessageCase{TARNO_SURPRISE_REMOVAL, u"Device was removed suddenly.", u"デバイスが切断されました。",
                    "Information"},
        MessageCase{TARNO_PLUG_AND_PLAY_COMPLETED, u"Plug and play completed successfully.",
                    u"Plug and Play処理が正常に完了しました。", "Information"},
        MessageCase{TARNO_FAILED_DEVICE_ADD, u"Failed to plug and play (DeviceAdd).",
                    u"Plug and Play処理に失敗しました。(DeviceAdd)", "Error"},
        MessageCase{TARNO_FAILED_PREPARE_HARDWARE, u"Failed to plug and play (PrepareHardware).",
                    u"Plug and Play処理に失敗しました。(PrepareHardware)", "Error"}));

TEST(MessageCodesTest, UseFacility077AndTheirSeverity)
{
    EXPECT_EQ(TARNO_D0_TO_D3_REMOVE, 0x40770001);
    EXPECT_EQ(TARNO_D3_TO_D0, 0x40770008);
    EXPECT_EQ(TARNO_SURPRISE_REMOVAL, 0x40770009);
    EXPECT_EQ(TARNO_PLUG_AND_PLAY_COMPLETED, 0x4077000C);
    EXPECT_EQ(TARNO_FAILED_DEVICE_ADD, static_cast<NTSTATUS>(0xC077000A));
    EXPECT_EQ(TARNO_FAILED_PREPARE_HARDWARE, static_cast<NTSTATUS>(0xC077000B));
}

// --- tracing ---

class TraceTest : public DriverMachineTest
{
  protected:
    // A trace session enabling the driver's provider, started before the driver loads.
    void StartSession(UCHAR level, ULONG flags) { machine->StartTrace(u"TARNOCOM", TraceGuid, level, flags); }

    std::vector<TraceLine> Rendered() { return machine->TraceLines(u"TARNOCOM", TARNOCOM_TMF); }

    static bool Contains(const std::vector<TraceLine>& lines, const std::string& text)
    {
        for (const auto& line : lines)
        {
            if (line.text.find(text) != std::string::npos)
            {
                return true;
            }
        }
        return false;
    }
};

TEST_F(TraceTest, DeviceTraceLinesCarryThePortNameFirst)
{
    Boot();
    StartSession(TRACE_LEVEL_INFORMATION, 1);
    ASSERT_EQ(Plug(u"TR0001").State(), DeviceState::Started);
    auto lines = Rendered();
    ASSERT_FALSE(lines.empty());
    for (const auto& line : lines)
    {
        EXPECT_TRUE(line.known) << line.text;
    }
    EXPECT_TRUE(Contains(lines, "DriverEntry: Entry"));
    EXPECT_TRUE(Contains(lines, "RetryRecovery 3, ResetTarget 0, ResetTiming 0"));
    EXPECT_TRUE(Contains(lines, "COM3: published as \\Device\\ZTSerial0"));
    EXPECT_TRUE(Contains(lines, "instance number 0 chosen, in use 0x00000001"));
}

TEST_F(TraceTest, DisabledProviderDoesNoTraceWork)
{
    Boot();
    ASSERT_EQ(Plug(u"TR0001").State(), DeviceState::Started);
    EXPECT_EQ(machine->TraceMessageCalls(), 0u);
}

TEST_F(TraceTest, SessionLevelAndFlagFilterTracePoints)
{
    Boot();
    // Bit 0 is the driver's only flag: enabling another bit traces nothing.
    StartSession(TRACE_LEVEL_INFORMATION, 0x2);
    ASSERT_EQ(Plug(u"TR0001").State(), DeviceState::Started);
    EXPECT_EQ(machine->TraceMessageCalls(), 0u);
    // Errors only: the entry and exit lines of a successful add are gone; what remains are the
    // failures it tolerates (a new reader has no stored instance number yet).
    StartSession(TRACE_LEVEL_ERROR, 1);
    ASSERT_EQ(Plug(u"TR0002").State(), DeviceState::Started);
    EXPECT_TRUE(Contains(Rendered(), "reading device value InstanceNumber failed 0xc0000034"));
    ASSERT_EQ(Plug(u"TR0003", u"COM10000").State(), DeviceState::Failed);
    auto lines = Rendered();
    ASSERT_FALSE(lines.empty());
    for (const auto& line : lines)
    {
        EXPECT_EQ(line.level, TRACE_LEVEL_ERROR) << line.text;
    }
    EXPECT_TRUE(Contains(lines, "reading device value PortName failed 0x80000005"));
}

TEST_F(TraceTest, OlderRegistrationPathTracesToo)
{
    MachineConfig config;
    config.unavailableRoutines = {"EtwRegisterClassicProvider"};
    Boot(config);
    StartSession(TRACE_LEVEL_INFORMATION, 1);
    ASSERT_EQ(Plug(u"TR0001").State(), DeviceState::Started);
    EXPECT_TRUE(Contains(Rendered(), "COM3: published as \\Device\\ZTSerial0"));
}

TEST_F(TraceTest, ProviderIsRegisteredWhileTheDriverIsLoaded)
{
    Boot();
    EXPECT_FALSE(machine->TraceProviderRegistered(TraceGuid));
    Device node = Plug(u"TR0001");
    EXPECT_TRUE(machine->TraceProviderRegistered(TraceGuid));
    machine->Detach(node);
    EXPECT_FALSE(machine->TraceProviderRegistered(TraceGuid)) << "stopped when the driver object went away";
}

TEST_F(TraceTest, DumpOf35BytesGivesTwoFullLinesAndOneOfThree)
{
    Boot();
    StartSession(TRACE_LEVEL_INFORMATION, 1);
    // The provider registers with the driver; a device keeps it loaded.
    ASSERT_EQ(Plug(u"TR0001").State(), DeviceState::Started);
    ULONGLONG before = machine->TraceMessageCalls();
    size_t recorded = Rendered().size();

    DEVICE_CONTEXT context{};
    memcpy(context.PortName, L"COM9", sizeof(L"COM9"));
    UCHAR data[35];
    for (int i = 0; i < 35; ++i)
    {
        data[i] = static_cast<UCHAR>(i);
    }
    TraceDataDump(&context, data, sizeof(data));
    EXPECT_EQ(machine->TraceMessageCalls(), before + 3);
    auto lines = Rendered();
    ASSERT_EQ(lines.size(), recorded + 3);
    EXPECT_EQ(lines[recorded].text, "COM9: 00 01 02 03 04 05 06 07 08 09 0a 0b 0c 0d 0e 0f");
    EXPECT_EQ(lines[recorded + 1].text, "COM9: 10 11 12 13 14 15 16 17 18 19 1a 1b 1c 1d 1e 1f");
    EXPECT_EQ(lines[recorded + 2].text, "COM9: 20 21 22");

    TraceDataDump(&context, data, 0);
    TraceDataDump(&context, nullptr, 35);
    EXPECT_EQ(machine->TraceMessageCalls(), before + 3);
    TraceDataDump(&context, data, 16);
    EXPECT_EQ(machine->TraceMessageCalls(), before + 4);
}

} // namespace
} // namespace tarnocom::testing
