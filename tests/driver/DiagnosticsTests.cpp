// The system event log entries the driver writes and its trace points.
#include "DriverTestSupport.h"

#include "TarnoMessages.h"

#include "base/tracefmt.h"

#include <string.h>

namespace tarnocom::testing
{
namespace
{

const GUID TraceGuid = {TARNO_TRACE_GUID_INITIALIZER};

class EventLogTest : public DriverMachineTest
{
  protected:
    void SetUp() override
    {
        Boot();
        node = Plug(u"TR0001");
        ASSERT_EQ(DeviceNodeState::Added, node->state);
        fdo = winsim::kernel::IoManager::TopOfStack(node->pdo);
        System().GetEventLog().Clear();
    }

    DeviceNode* node = nullptr;
    PDEVICE_OBJECT fdo = nullptr;
};

TEST_F(EventLogTest, PacketFieldByField)
{
    ULONG action = PowerActionSleep;
    WriteEventLog(fdo, TARNO_D0_TO_D3_SLEEP, 0, 4, &action, sizeof(action));
    auto events = Events();
    ASSERT_EQ(1u, events.size());
    const auto& entry = events[0];
    ASSERT_EQ(68u, entry.packet.size());
    const IO_ERROR_LOG_PACKET& packet = entry.Packet();
    EXPECT_EQ(0, packet.MajorFunctionCode);
    EXPECT_EQ(0, packet.RetryCount);
    EXPECT_EQ(20, packet.DumpDataSize);
    EXPECT_EQ(0, packet.NumberOfStrings);
    EXPECT_EQ(0, packet.StringOffset);
    EXPECT_EQ(0, packet.EventCategory);
    EXPECT_EQ(static_cast<NTSTATUS>(0x40770002), packet.ErrorCode);
    EXPECT_EQ(4u, packet.UniqueErrorValue);
    EXPECT_EQ(0, packet.FinalStatus);
    EXPECT_EQ(0u, packet.SequenceNumber);
    EXPECT_EQ(0u, packet.IoControlCode);
    EXPECT_EQ(0, packet.DeviceOffset.QuadPart);
    EXPECT_EQ(2u, packet.DumpData[0]);
    EXPECT_EQ(0u, packet.DumpData[1]);
    EXPECT_EQ(0u, packet.DumpData[2]);
    EXPECT_EQ(0u, packet.DumpData[3]);
    EXPECT_EQ(0xFEFEFEFEu, packet.DumpData[4]);
    EXPECT_EQ(u"TARNOCOM", entry.source);
    EXPECT_EQ(u"\\Device\\ZTSerial0", entry.deviceName);
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
    ASSERT_EQ(2u, events.size());
    const auto* dump = reinterpret_cast<const UCHAR*>(events[0].Packet().DumpData);
    EXPECT_EQ(0, memcmp(dump, twenty, 16));
    EXPECT_EQ(0xFEFEFEFEu, events[0].Packet().DumpData[4]);
    EXPECT_EQ(STATUS_UNSUCCESSFUL, events[0].Packet().FinalStatus);
    EXPECT_EQ(0x00030201u, events[1].Packet().DumpData[0]);
    EXPECT_EQ(0u, events[1].Packet().DumpData[1]);
}

TEST_F(EventLogTest, NothingIsWrittenWithoutAnObjectOrAnEntry)
{
    WriteEventLog(nullptr, TARNO_D3_TO_D0, 0, 0, nullptr, 0);
    System().GetEventLog().FailNextAllocations(1);
    WriteEventLog(fdo, TARNO_D3_TO_D0, 0, 0, nullptr, 0);
    EXPECT_TRUE(Events().empty());
    WriteEventLog(fdo, TARNO_D3_TO_D0, 0, 0, nullptr, 0);
    EXPECT_EQ(1u, Events().size());
}

struct MessageCase
{
    NTSTATUS code;
    const char* english;
    const char* japanese;
    const char* level;
};

class MessageTableTest : public EventLogTest, public ::testing::WithParamInterface<MessageCase>
{
};

TEST_P(MessageTableTest, RendersInEnglishAndJapanese)
{
    WriteEventLog(fdo, GetParam().code, 0, 0, nullptr, 0);
    auto events = Events();
    ASSERT_EQ(1u, events.size());
    EXPECT_EQ(static_cast<ULONG>(GetParam().code) & 0xFFFF, events[0].EventId());
    EXPECT_STREQ(GetParam().level, events[0].LevelName());
    EXPECT_EQ(winsim::ToUtf8(machine->RenderEvent(events[0], 0x0409)), GetParam().english);
    EXPECT_EQ(winsim::ToUtf8(machine->RenderEvent(events[0], 0x0411)), GetParam().japanese);
}

INSTANTIATE_TEST_SUITE_P(
    Messages, MessageTableTest,
    ::testing::Values(
        MessageCase{TARNO_D0_TO_D3_REMOVE,
                    "Device status changed from D0 to D3. (Remove or Selective Suspend)",
                    "デバイスステータスがD0からD3に遷移しました。(切断 or Selective Suspend)", "Information"},
        MessageCase{TARNO_D0_TO_D3_SLEEP, "Device status changed from D0 to D3. (Sleep)",
                    "デバイスステータスがD0からD3に遷移しました。(スリープ)", "Information"},
        MessageCase{TARNO_D0_TO_D3_HIBERNATE, "Device status changed from D0 to D3. (Hibernate)",
                    "デバイスステータスがD0からD3に遷移しました。(休止)", "Information"},
        MessageCase{TARNO_D0_TO_D3_REBOOT, "Device status changed from D0 to D3. (Reboot)",
                    "デバイスステータスがD0からD3に遷移しました。(再起動)", "Information"},
        MessageCase{TARNO_D0_TO_D3_SHUTDOWN, "Device status changed from D0 to D3. (Shutdown)",
                    "デバイスステータスがD0からD3に遷移しました。(シャットダウン)", "Information"},
        MessageCase{TARNO_D0_TO_D1, "Device status changed from D0 to D1.",
                    "デバイスステータスがD0からD1に遷移しました。", "Information"},
        MessageCase{TARNO_D0_TO_D2, "Device status changed from D0 to D2.",
                    "デバイスステータスがD0からD2に遷移しました。", "Information"},
        MessageCase{TARNO_D3_TO_D0, "Device status changed from D3 to D0.",
                    "デバイスステータスがD3からD0に遷移しました。", "Information"},
        MessageCase{TARNO_SURPRISE_REMOVAL, "Device was removed suddenly.", "デバイスが切断されました。",
                    "Information"},
        MessageCase{TARNO_PLUG_AND_PLAY_COMPLETED, "Plug and play completed successfully.",
                    "Plug and Play処理が正常に完了しました。", "Information"},
        MessageCase{TARNO_FAILED_DEVICE_ADD, "Failed to plug and play (DeviceAdd).",
                    "Plug and Play処理に失敗しました。(DeviceAdd)", "Error"},
        MessageCase{TARNO_FAILED_PREPARE_HARDWARE, "Failed to plug and play (PrepareHardware).",
                    "Plug and Play処理に失敗しました。(PrepareHardware)", "Error"}));

TEST(MessageCodesTest, UseFacility077AndTheirSeverity)
{
    EXPECT_EQ(0x40770001, TARNO_D0_TO_D3_REMOVE);
    EXPECT_EQ(0x40770008, TARNO_D3_TO_D0);
    EXPECT_EQ(0x40770009, TARNO_SURPRISE_REMOVAL);
    EXPECT_EQ(0x4077000C, TARNO_PLUG_AND_PLAY_COMPLETED);
    EXPECT_EQ(static_cast<NTSTATUS>(0xC077000A), TARNO_FAILED_DEVICE_ADD);
    EXPECT_EQ(static_cast<NTSTATUS>(0xC077000B), TARNO_FAILED_PREPARE_HARDWARE);
}

// --- tracing ---

class TraceTest : public DriverMachineTest
{
  protected:
    // A trace session enabling the driver's provider, started before the driver loads.
    void StartSession(UCHAR level, ULONG flags)
    {
        ASSERT_NE(0, System().Tracing().StartSession(u"TARNOCOM"));
        ASSERT_TRUE(System().Tracing().EnableProvider(u"TARNOCOM", TraceGuid, level, flags, true));
    }

    std::vector<winsim::RenderedTrace> Rendered()
    {
        std::string error;
        std::optional<winsim::TraceFormats> formats = winsim::TraceFormats::Load(TARNOCOM_TMF, &error);
        EXPECT_TRUE(formats.has_value()) << error;
        std::vector<winsim::RenderedTrace> lines;
        for (const auto& message : System().Tracing().Messages(u"TARNOCOM"))
        {
            winsim::TraceMessage recorded;
            recorded.guid.Data1 = message.messageGuid.Data1;
            recorded.guid.Data2 = message.messageGuid.Data2;
            recorded.guid.Data3 = message.messageGuid.Data3;
            memcpy(recorded.guid.Data4, message.messageGuid.Data4, sizeof(recorded.guid.Data4));
            recorded.number = message.messageNumber;
            recorded.arguments = message.arguments;
            lines.push_back(formats->Render(recorded));
        }
        return lines;
    }

    static bool Contains(const std::vector<winsim::RenderedTrace>& lines, const std::string& text)
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
    ASSERT_EQ(DeviceNodeState::Added, Plug(u"TR0001")->state);
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
    ASSERT_EQ(DeviceNodeState::Added, Plug(u"TR0001")->state);
    EXPECT_EQ(0u, System().Tracing().MessageCalls());
}

TEST_F(TraceTest, SessionLevelAndFlagFilterTracePoints)
{
    Boot();
    // Bit 0 is the driver's only flag: enabling another bit traces nothing.
    StartSession(TRACE_LEVEL_INFORMATION, 0x2);
    ASSERT_EQ(DeviceNodeState::Added, Plug(u"TR0001")->state);
    EXPECT_EQ(0u, System().Tracing().MessageCalls());
    // Errors only: the entry and exit lines of a successful add are gone; what remains are the
    // failures it tolerates (a new reader has no stored instance number yet).
    System().Tracing().EnableProvider(u"TARNOCOM", TraceGuid, TRACE_LEVEL_ERROR, 1, true);
    ASSERT_EQ(DeviceNodeState::Added, Plug(u"TR0002")->state);
    EXPECT_TRUE(Contains(Rendered(), "reading device value InstanceNumber failed 0xc0000034"));
    ASSERT_EQ(DeviceNodeState::Failed, Plug(u"TR0003", u"COM10000")->state);
    auto lines = Rendered();
    ASSERT_FALSE(lines.empty());
    for (const auto& line : lines)
    {
        EXPECT_EQ(TRACE_LEVEL_ERROR, line.levelValue) << line.text;
    }
    EXPECT_TRUE(Contains(lines, "reading device value PortName failed 0x80000005"));
}

TEST_F(TraceTest, OlderRegistrationPathTracesToo)
{
    winsim::kernel::SystemConfig system;
    system.unavailableRoutines = {"EtwRegisterClassicProvider"};
    Boot(system);
    StartSession(TRACE_LEVEL_INFORMATION, 1);
    ASSERT_EQ(DeviceNodeState::Added, Plug(u"TR0001")->state);
    EXPECT_TRUE(Contains(Rendered(), "COM3: published as \\Device\\ZTSerial0"));
}

TEST_F(TraceTest, ProviderIsRegisteredWhileTheDriverIsLoaded)
{
    Boot();
    EXPECT_FALSE(System().Tracing().IsProviderRegistered(TraceGuid));
    DeviceNode* node = Plug(u"TR0001");
    EXPECT_TRUE(System().Tracing().IsProviderRegistered(TraceGuid));
    machine->Detach(node);
    EXPECT_FALSE(System().Tracing().IsProviderRegistered(TraceGuid))
        << "stopped when the driver object went away";
}

TEST_F(TraceTest, DumpOf35BytesGivesTwoFullLinesAndOneOfThree)
{
    Boot();
    StartSession(TRACE_LEVEL_INFORMATION, 1);
    // The provider registers with the driver; a device keeps it loaded.
    ASSERT_EQ(DeviceNodeState::Added, Plug(u"TR0001")->state);
    ULONGLONG before = System().Tracing().MessageCalls();
    size_t recorded = System().Tracing().Messages(u"TARNOCOM").size();

    DEVICE_CONTEXT context{};
    memcpy(context.PortName, L"COM9", sizeof(L"COM9"));
    UCHAR data[35];
    for (int i = 0; i < 35; ++i)
    {
        data[i] = static_cast<UCHAR>(i);
    }
    TraceDataDump(&context, data, sizeof(data));
    EXPECT_EQ(before + 3, System().Tracing().MessageCalls());
    auto lines = Rendered();
    ASSERT_EQ(recorded + 3, lines.size());
    EXPECT_EQ("COM9: 00 01 02 03 04 05 06 07 08 09 0a 0b 0c 0d 0e 0f", lines[recorded].text);
    EXPECT_EQ("COM9: 10 11 12 13 14 15 16 17 18 19 1a 1b 1c 1d 1e 1f", lines[recorded + 1].text);
    EXPECT_EQ("COM9: 20 21 22", lines[recorded + 2].text);

    TraceDataDump(&context, data, 0);
    TraceDataDump(&context, nullptr, 35);
    EXPECT_EQ(before + 3, System().Tracing().MessageCalls());
    TraceDataDump(&context, data, 16);
    EXPECT_EQ(before + 4, System().Tracing().MessageCalls());
}

} // namespace
} // namespace tarnocom::testing
