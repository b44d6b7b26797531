// The system event log as drivers write it: entry size limits, the packet kept byte for byte with
// its source and device, and fault injection on the allocation.
#include "KernelTestSupport.h"

#include "kernel/EventLog.h"

#include <string.h>

#include <vector>

using namespace kerneltest;
using winsim::kernel::EventLog;
using winsim::kernel::EventLogEntry;

namespace
{

using kerneltest::PrintTo;

class EventLogTest : public KernelTest
{
  protected:
    void SetUp() override { m_device = m_driver.CreateDevice(L"\\Device\\ElogPort0", &m_complete); }

    EventLog& Log() { return m_system.GetEventLog(); }

    TestDriver m_driver{u"ElogDrv"};
    IrpHandler m_complete = CompleteEverything();
    PDEVICE_OBJECT m_device = nullptr;
};

struct SizeCase
{
    const char* name;
    int entrySize;
    bool allocated;
};

class EntrySizeTest : public EventLogTest, public ::testing::WithParamInterface<SizeCase>
{
};

TEST_P(EntrySizeTest, AllocationHonoursTheSizeLimits)
{
    const SizeCase& c = GetParam();
    PVOID entry = IoAllocateErrorLogEntry(m_device, static_cast<UCHAR>(c.entrySize));
    EXPECT_EQ(entry != nullptr, c.allocated) << "entry size " << c.entrySize;
    if (entry != nullptr)
    {
        IoFreeErrorLogEntry(entry);
    }
    EXPECT_TRUE(Log().Entries().empty()) << "a freed entry is never written";
}

INSTANTIATE_TEST_SUITE_P(
    Limits, EntrySizeTest,
    ::testing::Values(SizeCase{"BelowThePacket", static_cast<int>(sizeof(IO_ERROR_LOG_PACKET)) - 1, false},
                      SizeCase{"ExactlyThePacket", static_cast<int>(sizeof(IO_ERROR_LOG_PACKET)), true},
                      SizeCase{"WithDumpData", static_cast<int>(sizeof(IO_ERROR_LOG_PACKET)) + 12, true},
                      SizeCase{"Maximum", ERROR_LOG_MAXIMUM_SIZE, true},
                      SizeCase{"AboveMaximum", ERROR_LOG_MAXIMUM_SIZE + 1, false},
                      SizeCase{"Zero", 0, false}),
    [](const ::testing::TestParamInfo<SizeCase>& info) { return std::string(info.param.name); });

TEST_F(EventLogTest, WrittenPacketIsRecordedByteForByte)
{
    const UCHAR size = sizeof(IO_ERROR_LOG_PACKET) + 3 * sizeof(ULONG);
    Clock().Advance(Ms(1234));
    auto* packet = static_cast<PIO_ERROR_LOG_PACKET>(IoAllocateErrorLogEntry(m_device, size));
    ASSERT_NE(packet, nullptr);
    auto* bytes = reinterpret_cast<unsigned char*>(packet);
    for (UCHAR i = 0; i < size; ++i)
    {
        bytes[i] = static_cast<unsigned char>(0x30 + i);
    }
    packet->ErrorCode = static_cast<NTSTATUS>(0xC0040007);
    packet->UniqueErrorValue = 0x1234;
    packet->DumpDataSize = 4 * sizeof(ULONG);
    packet->DumpData[3] = 0xDEADBEEF;
    std::vector<unsigned char> expected(bytes, bytes + size);
    IoWriteErrorLogEntry(packet);

    std::vector<EventLogEntry> entries = Log().Entries();
    ASSERT_EQ(entries.size(), 1u);
    const EventLogEntry& entry = entries[0];
    EXPECT_EQ(entry.packet, expected);
    EXPECT_EQ(entry.source, u"ElogDrv") << "the source is the driver's service";
    EXPECT_EQ(entry.deviceName, u"\\Device\\ElogPort0");
    EXPECT_EQ(entry.timeGenerated, m_system.Config().bootSystemTime + static_cast<LONGLONG>(Ms(1234)));
    EXPECT_EQ(entry.EventId(), 7u);
    EXPECT_STREQ(entry.LevelName(), "Error");
    EXPECT_EQ(entry.Packet().UniqueErrorValue, 0x1234u);

    // A second entry, made for the driver object rather than a device, gets the next record number.
    auto* second = static_cast<PIO_ERROR_LOG_PACKET>(
        IoAllocateErrorLogEntry(m_driver.Object(), sizeof(IO_ERROR_LOG_PACKET)));
    ASSERT_NE(second, nullptr);
    second->ErrorCode = static_cast<NTSTATUS>(0x40040002);
    IoWriteErrorLogEntry(second);
    entries = Log().Entries();
    ASSERT_EQ(entries.size(), 2u);
    EXPECT_EQ(entries[1].recordNumber, entries[0].recordNumber + 1);
    EXPECT_EQ(entries[1].source, u"ElogDrv");
    EXPECT_TRUE(entries[1].deviceName.empty());
    EXPECT_EQ(entries[1].packet.size(), sizeof(IO_ERROR_LOG_PACKET));
    EXPECT_STREQ(entries[1].LevelName(), "Information");
}

// Event Viewer's level comes from the two severity bits of the code.
TEST_F(EventLogTest, LevelFollowsTheSeverityBits)
{
    const struct
    {
        ULONG code;
        const char* level;
    } cases[] = {
        {0x00040001, "Success"}, {0x40040001, "Information"}, {0x80040001, "Warning"}, {0xC0040001, "Error"}};
    for (const auto& c : cases)
    {
        auto* packet =
            static_cast<PIO_ERROR_LOG_PACKET>(IoAllocateErrorLogEntry(m_device, sizeof(IO_ERROR_LOG_PACKET)));
        ASSERT_NE(packet, nullptr);
        packet->ErrorCode = static_cast<NTSTATUS>(c.code);
        IoWriteErrorLogEntry(packet);
        EXPECT_STREQ(Log().Entries().back().LevelName(), c.level) << std::hex << c.code;
    }
}

TEST_F(EventLogTest, FaultInjectionFailsTheNextAllocations)
{
    Log().FailNextAllocations(2);
    EXPECT_EQ(IoAllocateErrorLogEntry(m_device, sizeof(IO_ERROR_LOG_PACKET)), nullptr);
    EXPECT_EQ(IoAllocateErrorLogEntry(m_device, sizeof(IO_ERROR_LOG_PACKET)), nullptr);
    PVOID entry = IoAllocateErrorLogEntry(m_device, sizeof(IO_ERROR_LOG_PACKET));
    ASSERT_NE(entry, nullptr);
    IoWriteErrorLogEntry(entry);
    EXPECT_EQ(Log().Entries().size(), 1u);
}

TEST_F(EventLogTest, EntriesCanBeWrittenAtDispatchLevel)
{
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    PVOID entry = IoAllocateErrorLogEntry(m_device, sizeof(IO_ERROR_LOG_PACKET));
    ASSERT_NE(entry, nullptr);
    IoWriteErrorLogEntry(entry);
    KeLowerIrql(old);
    EXPECT_EQ(Log().Entries().size(), 1u);
}

const StopCase kEventLogStops[] = {
    {"WriteOfAnEntryNotAllocated",
     [] {
         alignas(8) unsigned char fake[sizeof(IO_ERROR_LOG_PACKET)] = {};
         IoWriteErrorLogEntry(fake);
     },
     "VERIFIER STOP OBJECT_MISUSE: IoWriteErrorLogEntry\\(0x[0-9a-f]+\\): not an entry from "
     "IoAllocateErrorLogEntry"},
    {"EntryWrittenTwice",
     [] {
         TestDriver driver(u"ElogTwice");
         PVOID entry = IoAllocateErrorLogEntry(driver.Object(), sizeof(IO_ERROR_LOG_PACKET));
         IoWriteErrorLogEntry(entry);
         IoWriteErrorLogEntry(entry);
     },
     "VERIFIER STOP OBJECT_MISUSE: IoWriteErrorLogEntry\\(0x[0-9a-f]+\\): not an entry"},
};

INSTANTIATE_TEST_SUITE_P(EventLog, KernelVerifierDeathTest, ::testing::ValuesIn(kEventLogStops),
                         StopCaseName);

} // namespace
