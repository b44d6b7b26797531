// The system event log as drivers write it: entry size limits, packets that must fit their entry,
// the packet kept byte for byte with its source and device, and fault injection on the allocation.
#include "KernelTestSupport.h"

#include "kernel/EventLog.h"

#include <stddef.h>
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
    packet->NumberOfStrings = 0; // StringOffset then means nothing, whatever it holds
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

// How a driver lays out its packet in an entry of a given size: the dump data after the fixed
// part (DumpData starts at byte 40), then insertion strings (UTF-16, each with its null) at
// StringOffset.
struct Layout
{
    const char* name;
    int entrySize;
    USHORT dumpDataSize;
    USHORT numberOfStrings;
    USHORT stringOffset;
    std::u16string_view strings; // copied to StringOffset as they are, nulls included
};

constexpr size_t DumpDataAt = offsetof(IO_ERROR_LOG_PACKET, DumpData);
static_assert(DumpDataAt == 40 && sizeof(IO_ERROR_LOG_PACKET) == 48);

// Allocates an entry for the object, fills it as the layout says and writes it.
void WriteLayout(PVOID ioObject, const Layout& layout)
{
    const size_t stringBytes = layout.strings.size() * sizeof(char16_t);
    ASSERT_TRUE(stringBytes == 0 ||
                layout.stringOffset + stringBytes <= static_cast<size_t>(layout.entrySize))
        << "the test's strings do not fit its entry";
    auto* packet = static_cast<PIO_ERROR_LOG_PACKET>(
        IoAllocateErrorLogEntry(ioObject, static_cast<UCHAR>(layout.entrySize)));
    ASSERT_NE(packet, nullptr);
    packet->ErrorCode = static_cast<NTSTATUS>(0xC0040003);
    packet->DumpDataSize = layout.dumpDataSize;
    packet->NumberOfStrings = layout.numberOfStrings;
    packet->StringOffset = layout.stringOffset;
    auto* bytes = reinterpret_cast<unsigned char*>(packet);
    for (size_t i = 0; i < layout.dumpDataSize && DumpDataAt + i < static_cast<size_t>(layout.entrySize); ++i)
    {
        bytes[DumpDataAt + i] = static_cast<unsigned char>(0xA0 + i);
    }
    if (stringBytes != 0)
    {
        memcpy(bytes + layout.stringOffset, layout.strings.data(), stringBytes);
    }
    IoWriteErrorLogEntry(packet);
}

class PacketLayoutTest : public EventLogTest, public ::testing::WithParamInterface<Layout>
{
};

// Packets that fit their entry are recorded as they are.
TEST_P(PacketLayoutTest, PacketThatFitsItsEntryIsRecorded)
{
    const Layout& layout = GetParam();
    WriteLayout(m_device, layout);
    std::vector<EventLogEntry> entries = Log().Entries();
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(entries[0].packet.size(), static_cast<size_t>(layout.entrySize));
    EXPECT_EQ(entries[0].Packet().DumpDataSize, layout.dumpDataSize);
    EXPECT_EQ(entries[0].Packet().NumberOfStrings, layout.numberOfStrings);
    const size_t stringBytes = layout.strings.size() * sizeof(char16_t);
    if (stringBytes != 0)
    {
        EXPECT_EQ(memcmp(entries[0].packet.data() + layout.stringOffset, layout.strings.data(), stringBytes),
                  0);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Fits, PacketLayoutTest,
    ::testing::Values(
        Layout{"NoDumpDataNoStrings", sizeof(IO_ERROR_LOG_PACKET), 0, 0, 0, u""},
        // The fixed part ends at byte 40; the 8 bytes after it are the packet's own DumpData and padding.
        Layout{"DumpDataInThePacketsTail", sizeof(IO_ERROR_LOG_PACKET), 8, 0, 0, u""},
        Layout{"DumpDataUpToTheLastByte", sizeof(IO_ERROR_LOG_PACKET) + 8, 16, 0, 0, u""},
        Layout{"TwoStringsAfterThePacket", sizeof(IO_ERROR_LOG_PACKET) + 14, 0, 2,
               sizeof(IO_ERROR_LOG_PACKET), std::u16string_view(u"COM3\0A\0", 7)},
        Layout{"StringRightAfterTheDumpData", sizeof(IO_ERROR_LOG_PACKET), 4, 1, DumpDataAt + 4,
               std::u16string_view(u"X\0", 2)},
        Layout{"StringOffsetIgnoredWithoutStrings", sizeof(IO_ERROR_LOG_PACKET), 4, 0, 0xFFFF, u""}),
    [](const ::testing::TestParamInfo<Layout>& info) { return std::string(info.param.name); });

// Packets that claim more than their entry holds. Each body writes one on a driver of its own.
template <int entrySize, USHORT dumpDataSize, USHORT numberOfStrings, USHORT stringOffset, size_t length>
void WriteBadPacket(const char16_t (&strings)[length])
{
    TestDriver driver(u"ElogBad");
    WriteLayout(driver.Object(), Layout{"bad", entrySize, dumpDataSize, numberOfStrings, stringOffset,
                                        std::u16string_view(strings, length - 1)});
}

const StopCase kPacketStops[] = {
    {"DumpDataSizeNotAMultipleOfUlong", [] { WriteBadPacket<sizeof(IO_ERROR_LOG_PACKET) + 8, 6, 0, 0>(u""); },
     "VERIFIER STOP OBJECT_MISUSE: IoWriteErrorLogEntry\\(0x[0-9a-f]+\\): DumpDataSize 6 is not a multiple "
     "of "
     "sizeof\\(ULONG\\)"},
    {"DumpDataPastTheEntry", [] { WriteBadPacket<sizeof(IO_ERROR_LOG_PACKET), 12, 0, 0>(u""); },
     "VERIFIER STOP OBJECT_MISUSE: IoWriteErrorLogEntry\\(0x[0-9a-f]+\\): DumpDataSize 12 ends the dump data "
     "at "
     "byte 52, past the end of the 48-byte entry"},
    {"StringOffsetInsideTheDumpData",
     [] { WriteBadPacket<sizeof(IO_ERROR_LOG_PACKET) + 16, 8, 1, DumpDataAt + 4>(u"A"); },
     "VERIFIER STOP OBJECT_MISUSE: IoWriteErrorLogEntry\\(0x[0-9a-f]+\\): StringOffset 44 lies inside the "
     "packet "
     "or its dump data, which end at byte 48"},
    {"StringOffsetInsideTheFixedPart", [] { WriteBadPacket<sizeof(IO_ERROR_LOG_PACKET) + 4, 0, 1, 8>(u""); },
     "VERIFIER STOP OBJECT_MISUSE: IoWriteErrorLogEntry\\(0x[0-9a-f]+\\): StringOffset 8 lies inside the "
     "packet "
     "or its dump data, which end at byte 40"},
    {"StringOffsetAtTheEndOfTheEntry",
     [] { WriteBadPacket<sizeof(IO_ERROR_LOG_PACKET), 0, 1, sizeof(IO_ERROR_LOG_PACKET)>(u""); },
     "VERIFIER STOP OBJECT_MISUSE: IoWriteErrorLogEntry\\(0x[0-9a-f]+\\): insertion string 1 of 1 "
     "\\(StringOffset 48\\) runs past the end of the 48-byte entry"},
    {"StringOffsetFarPastTheEntry", [] { WriteBadPacket<sizeof(IO_ERROR_LOG_PACKET), 0, 1, 0x1000>(u""); },
     "VERIFIER STOP OBJECT_MISUSE: IoWriteErrorLogEntry\\(0x[0-9a-f]+\\): insertion string 1 of 1 "
     "\\(StringOffset 4096\\) runs past the end of the 48-byte entry"},
    {"StringWithoutItsNull",
     [] { WriteBadPacket<sizeof(IO_ERROR_LOG_PACKET) + 4, 0, 1, sizeof(IO_ERROR_LOG_PACKET)>(u"AB"); },
     "VERIFIER STOP OBJECT_MISUSE: IoWriteErrorLogEntry\\(0x[0-9a-f]+\\): insertion string 1 of 1 "
     "\\(StringOffset 48\\) runs past the end of the 52-byte entry"},
    {"FewerStringsThanItCounts",
     [] { WriteBadPacket<sizeof(IO_ERROR_LOG_PACKET) + 6, 0, 2, sizeof(IO_ERROR_LOG_PACKET)>(u"A\0B"); },
     "VERIFIER STOP OBJECT_MISUSE: IoWriteErrorLogEntry\\(0x[0-9a-f]+\\): insertion string 2 of 2 "
     "\\(StringOffset 48\\) runs past the end of the 54-byte entry"},
};

INSTANTIATE_TEST_SUITE_P(Packet, KernelVerifierDeathTest, ::testing::ValuesIn(kPacketStops), StopCaseName);

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
