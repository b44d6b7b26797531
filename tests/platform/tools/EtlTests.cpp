// The trace log file unit: what the writer's pieces make reads back whole, and a damaged file is
// an error with its offset, never a crash.
#include "base/etl.h"

#include "TableCases.h"

#include <gtest/gtest.h>

#include <string.h>

#include <functional>
#include <vector>

namespace
{

using namespace winsim::etl;
using winsimtest::PrintTo;

constexpr uint32_t kBuffer = 1024;

MessageRecord Message(uint16_t number)
{
    MessageRecord message;
    message.flags = kFlagSequence | kFlagGuid | kFlagTimestamp | kFlagSystemInfo;
    message.number = number;
    message.sequence = number;
    message.guid.Data1 = 0x11223344;
    message.timestamp = 134120772000000000LL + number;
    message.threadId = 7;
    message.processId = 9;
    message.arguments = {{1, 2, 3, 4}, {'h', 'i', 0}};
    return message;
}

// A header buffer and two data buffers (written out of order, as a circular file may hold them).
std::vector<uint8_t> GoodFile()
{
    LogFileHeader header;
    header.bufferSize = kBuffer;
    header.buffersWritten = 3;
    header.loggerName = u"Session";
    header.logFileName = u"C:\\trace.etl";
    std::vector<uint8_t> file = EncodeHeaderBuffer(header, 1, 5);
    BufferBuilder second(kBuffer);
    second.Append(EncodeMessage(Message(3)));
    BufferBuilder first(kBuffer);
    first.Append(EncodeMessage(Message(1)));
    first.Append(EncodeMessage(Message(2)));
    for (auto* builder : {&second, &first})
    {
        std::vector<uint8_t> bytes = builder->Seal(builder == &first ? 1 : 2, 1, 6);
        file.insert(file.end(), bytes.begin(), bytes.end());
    }
    return file;
}

TEST(EtlTest, WhatTheWriterMakesReadsBackInSequenceOrder)
{
    std::string error;
    std::optional<LogFile> file = ParseLogFile(GoodFile(), &error);
    ASSERT_TRUE(file) << error;
    EXPECT_EQ(file->header.loggerName, u"Session");
    EXPECT_EQ(file->header.logFileName, u"C:\\trace.etl");
    EXPECT_EQ(file->header.buffersWritten, 3u);
    ASSERT_EQ(file->messages.size(), 3u);
    for (uint16_t i = 0; i < 3; ++i)
    {
        EXPECT_EQ(file->messages[i].number, i + 1);
    }
    EXPECT_EQ(file->messages[1].arguments, (std::vector<std::vector<uint8_t>>{{1, 2, 3, 4}, {'h', 'i', 0}}));
    EXPECT_EQ(file->messages[1].processId, 9u);
    EXPECT_EQ(file->messages[1].timestamp, 134120772000000002LL);
}

struct DamageCase
{
    const char* name;
    std::function<void(std::vector<uint8_t>&)> damage;
};

class EtlDamageTest : public ::testing::TestWithParam<DamageCase>
{
};

TEST_P(EtlDamageTest, IsAnErrorNotACrash)
{
    std::vector<uint8_t> bytes = GoodFile();
    GetParam().damage(bytes);
    std::string error;
    EXPECT_FALSE(ParseLogFile(bytes, &error));
    EXPECT_NE(error.find("offset "), std::string::npos) << error;
}

void Poke32(std::vector<uint8_t>& bytes, size_t offset, uint32_t value)
{
    memcpy(bytes.data() + offset, &value, sizeof(value));
}

// Buffer 1 (the first data buffer) begins at kBuffer; its first record at kBuffer + 72.
const DamageCase kDamageCases[] = {
    {"Empty", [](auto& b) { b.clear(); }},
    {"CutInsideTheBufferHeader", [](auto& b) { b.resize(40); }},
    {"CutInsideTheHeaderBuffer", [](auto& b) { b.resize(kBuffer - 1); }},
    {"CutInsideADataBuffer", [](auto& b) { b.resize(2 * kBuffer + 100); }},
    {"OneByteMore", [](auto& b) { b.push_back(0); }},
    {"BufferSizeOfZero", [](auto& b) { Poke32(b, 0, 0); }},
    {"DataBufferOfAnotherSize", [](auto& b) { Poke32(b, kBuffer, 2 * kBuffer); }},
    {"UsedLengthPastTheBuffer", [](auto& b) { Poke32(b, kBuffer + 4, kBuffer + 8); }},
    {"UsedLengthInsideItsHeader", [](auto& b) { Poke32(b, kBuffer + 4, 8); }},
    {"HeaderRecordMarker", [](auto& b) { Poke32(b, 72, 0x12345678); }},
    {"HeaderRecordTooBig", [](auto& b) { b[72 + 5] = 0x7F; }},
    {"NameWithoutTerminator",
     [](auto& b) {
         // The log file name's terminator is the record's last two bytes before its padding.
         uint16_t size = 0;
         memcpy(&size, b.data() + 72 + 4, 2);
         b[72 + size - 2] = 'x';
     }},
    {"UnknownRecordMarker", [](auto& b) { Poke32(b, kBuffer + 72, 0x12345678); }},
    {"RecordSizeBelowItsHeader", [](auto& b) { b[kBuffer + 72 + 4] = 4, b[kBuffer + 72 + 5] = 0; }},
    {"RecordSizePastTheData", [](auto& b) { b[kBuffer + 72 + 5] = 0x20; }},
    {"ArgumentLengthPastTheRecord", [](auto& b) { Poke32(b, kBuffer + 72 + 44, 5000); }},
    {"FlagsAskForMoreThanTheRecordHolds", [](auto& b) { b[kBuffer + 72 + 4] = 12; }},
    {"TwoBuffersOneSequence", [](auto& b) { Poke32(b, kBuffer + 24, 1); }},
    {"DataBufferWithSequenceZero", [](auto& b) { Poke32(b, kBuffer + 24, 0); }},
    {"HeaderBufferTypeOnADataBuffer", [](auto& b) { b[kBuffer + 54] = 1; }},
    {"UnknownBufferType", [](auto& b) { b[kBuffer + 54] = 9; }},
};

INSTANTIATE_TEST_SUITE_P(Damage, EtlDamageTest, ::testing::ValuesIn(kDamageCases),
                         [](const auto& info) { return std::string(info.param.name); });

} // namespace
