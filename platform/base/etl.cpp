#include "etl.h"

#include <stdio.h>
#include <string.h>
#include <time.h>

#include <algorithm>
#include <fstream>
#include <iterator>

namespace winsim::etl
{
namespace
{

// Offsets in the buffer header.
constexpr size_t kOffBufferSize = 0;
constexpr size_t kOffSavedOffset = 4;
constexpr size_t kOffCurrentOffset = 8;
constexpr size_t kOffTimestamp = 16;
constexpr size_t kOffSequence = 24;
constexpr size_t kOffLoggerId = 42;
constexpr size_t kOffOffset = 48;
constexpr size_t kOffBufferType = 54;

// Offsets in the TRACE_LOGFILE_HEADER.
constexpr size_t kOffLfBufferSize = 0;
constexpr size_t kOffLfVersion = 4;
constexpr size_t kOffLfProviderVersion = 8;
constexpr size_t kOffLfProcessors = 12;
constexpr size_t kOffLfEndTime = 16;
constexpr size_t kOffLfTimerResolution = 24;
constexpr size_t kOffLfMaximumFileSize = 28;
constexpr size_t kOffLfLogFileMode = 32;
constexpr size_t kOffLfBuffersWritten = 36;
constexpr size_t kOffLfStartBuffers = 40;
constexpr size_t kOffLfPointerSize = 44;
constexpr size_t kOffLfEventsLost = 48;
constexpr size_t kOffLfCpuSpeed = 52;
constexpr size_t kOffLfBootTime = 248;
constexpr size_t kOffLfPerfFreq = 256;
constexpr size_t kOffLfStartTime = 264;
constexpr size_t kOffLfReservedFlags = 272;
constexpr size_t kOffLfBuffersLost = 276;

template <typename T>
void Put(std::vector<uint8_t>& bytes, size_t offset, T value)
{
    memcpy(bytes.data() + offset, &value, sizeof(T));
}

template <typename T>
void Append(std::vector<uint8_t>& bytes, T value)
{
    const auto* raw = reinterpret_cast<const uint8_t*>(&value);
    bytes.insert(bytes.end(), raw, raw + sizeof(T));
}

void AppendName(std::vector<uint8_t>& bytes, const std::u16string& name)
{
    for (char16_t c : name)
    {
        Append<uint16_t>(bytes, c);
    }
    Append<uint16_t>(bytes, 0);
}

uint32_t AlignUp(uint32_t value)
{
    return (value + kRecordAlignment - 1) & ~(kRecordAlignment - 1);
}

void PutBufferHeader(std::vector<uint8_t>& bytes, const BufferHeader& header)
{
    memset(bytes.data(), 0, kBufferHeaderSize);
    Put<uint32_t>(bytes, kOffBufferSize, header.bufferSize);
    Put<uint32_t>(bytes, kOffSavedOffset, header.savedOffset);
    Put<uint32_t>(bytes, kOffCurrentOffset, header.savedOffset);
    Put<int64_t>(bytes, kOffTimestamp, header.timestamp);
    Put<uint64_t>(bytes, kOffSequence, header.sequence);
    Put<uint16_t>(bytes, kOffLoggerId, header.loggerId);
    Put<uint32_t>(bytes, kOffOffset, header.savedOffset);
    Put<uint16_t>(bytes, kOffBufferType, header.bufferType);
}

// A bounded view of the file that fails instead of reading past its end.
class Cursor
{
  public:
    Cursor(std::span<const uint8_t> bytes, size_t base) : m_bytes(bytes), m_base(base) {}

    template <typename T>
    bool Read(T* value)
    {
        if (m_bytes.size() - m_at < sizeof(T))
        {
            return false;
        }
        memcpy(value, m_bytes.data() + m_at, sizeof(T));
        m_at += sizeof(T);
        return true;
    }
    bool Take(size_t count, std::span<const uint8_t>* taken)
    {
        if (m_bytes.size() - m_at < count)
        {
            return false;
        }
        *taken = m_bytes.subspan(m_at, count);
        m_at += count;
        return true;
    }
    bool Name(std::u16string* name)
    {
        for (;;)
        {
            uint16_t c = 0;
            if (!Read(&c))
            {
                return false;
            }
            if (c == 0)
            {
                return true;
            }
            name->push_back(static_cast<char16_t>(c));
        }
    }
    size_t Offset() const { return m_base + m_at; }
    size_t Left() const { return m_bytes.size() - m_at; }

  private:
    std::span<const uint8_t> m_bytes;
    size_t m_base;
    size_t m_at = 0;
};

template <typename T>
T Get(std::span<const uint8_t> bytes, size_t offset)
{
    T value;
    memcpy(&value, bytes.data() + offset, sizeof(T));
    return value;
}

bool Fail(std::string* error, size_t offset, const std::string& what)
{
    if (error != nullptr)
    {
        *error = "offset " + std::to_string(offset) + ": " + what;
    }
    return false;
}

bool ParseBufferHeader(std::span<const uint8_t> buffer, size_t base, uint32_t bufferSize,
                       BufferHeader* header, std::string* error)
{
    header->bufferSize = Get<uint32_t>(buffer, kOffBufferSize);
    header->savedOffset = Get<uint32_t>(buffer, kOffSavedOffset);
    header->timestamp = Get<int64_t>(buffer, kOffTimestamp);
    header->sequence = Get<uint64_t>(buffer, kOffSequence);
    header->loggerId = Get<uint16_t>(buffer, kOffLoggerId);
    header->bufferType = Get<uint16_t>(buffer, kOffBufferType);
    if (header->bufferSize != bufferSize)
    {
        return Fail(error, base,
                    "buffer size " + std::to_string(header->bufferSize) + " differs from the file's " +
                        std::to_string(bufferSize));
    }
    if (header->savedOffset < kBufferHeaderSize || header->savedOffset > bufferSize ||
        Get<uint32_t>(buffer, kOffCurrentOffset) != header->savedOffset)
    {
        return Fail(error, base + kOffSavedOffset, "buffer's used length is out of range");
    }
    if (header->bufferType != kBufferTypeEvents && header->bufferType != kBufferTypeHeader)
    {
        return Fail(error, base + kOffBufferType, "unknown buffer type");
    }
    return true;
}

bool ParseHeaderRecord(std::span<const uint8_t> buffer, size_t base, LogFileHeader* header,
                       std::string* error)
{
    Cursor cursor(buffer.subspan(kBufferHeaderSize), base + kBufferHeaderSize);
    uint32_t marker = 0;
    uint16_t size = 0;
    uint16_t hook = 0;
    if (!cursor.Read(&marker) || marker != kSystemHeaderMarker)
    {
        return Fail(error, base + kBufferHeaderSize,
                    "the first buffer does not begin with the log file header");
    }
    cursor.Read(&size);
    cursor.Read(&hook);
    if (size < kSystemHeaderSize + kLogFileHeaderSize + 4 || kBufferHeaderSize + size > buffer.size() ||
        hook != 0)
    {
        return Fail(error, base + kBufferHeaderSize + 4, "log file header record has a bad size or kind");
    }
    std::span<const uint8_t> record =
        buffer.subspan(kBufferHeaderSize + kSystemHeaderSize, size - kSystemHeaderSize);
    header->bufferSize = Get<uint32_t>(record, kOffLfBufferSize);
    header->version = Get<uint32_t>(record, kOffLfVersion);
    header->providerVersion = Get<uint32_t>(record, kOffLfProviderVersion);
    header->processors = Get<uint32_t>(record, kOffLfProcessors);
    header->endTime = Get<int64_t>(record, kOffLfEndTime);
    header->timerResolution = Get<uint32_t>(record, kOffLfTimerResolution);
    header->maximumFileSize = Get<uint32_t>(record, kOffLfMaximumFileSize);
    header->logFileMode = Get<uint32_t>(record, kOffLfLogFileMode);
    header->buffersWritten = Get<uint32_t>(record, kOffLfBuffersWritten);
    header->startBuffers = Get<uint32_t>(record, kOffLfStartBuffers);
    header->pointerSize = Get<uint32_t>(record, kOffLfPointerSize);
    header->eventsLost = Get<uint32_t>(record, kOffLfEventsLost);
    header->cpuSpeedInMHz = Get<uint32_t>(record, kOffLfCpuSpeed);
    header->bootTime = Get<int64_t>(record, kOffLfBootTime);
    header->perfFreq = Get<int64_t>(record, kOffLfPerfFreq);
    header->startTime = Get<int64_t>(record, kOffLfStartTime);
    header->clockType = Get<uint32_t>(record, kOffLfReservedFlags);
    header->buffersLost = Get<uint32_t>(record, kOffLfBuffersLost);
    Cursor names(record.subspan(kLogFileHeaderSize),
                 base + kBufferHeaderSize + kSystemHeaderSize + kLogFileHeaderSize);
    if (!names.Name(&header->loggerName) || !names.Name(&header->logFileName))
    {
        return Fail(error, names.Offset(), "a name in the log file header has no terminator");
    }
    if (header->pointerSize != 4 && header->pointerSize != 8)
    {
        return Fail(error, base + kBufferHeaderSize + kSystemHeaderSize + kOffLfPointerSize,
                    "bad pointer size");
    }
    if (kBufferHeaderSize + AlignUp(size) != Get<uint32_t>(buffer, kOffSavedOffset))
    {
        return Fail(error, base + kOffSavedOffset, "the header buffer holds more than the log file header");
    }
    return true;
}

bool ParseMessage(std::span<const uint8_t> record, size_t base, MessageRecord* message, std::string* error)
{
    Cursor cursor(record, base);
    uint32_t marker = 0;
    uint16_t size = 0;
    cursor.Read(&marker);
    cursor.Read(&size);
    cursor.Read(&message->number);
    message->flags = marker & ~kMessageMarkerMask;
    if ((message->flags & kFlagGuid) != 0 && (message->flags & kFlagComponentId) != 0)
    {
        return Fail(error, base, "message has both a GUID and a component id");
    }
    bool ok = true;
    if ((message->flags & kFlagSequence) != 0)
    {
        ok = ok && cursor.Read(&message->sequence);
    }
    if ((message->flags & kFlagComponentId) != 0)
    {
        ok = ok && cursor.Read(&message->componentId);
    }
    if ((message->flags & kFlagGuid) != 0)
    {
        ok = ok && cursor.Read(&message->guid);
    }
    if ((message->flags & (kFlagTimestamp | kFlagPerformanceTimestamp)) != 0)
    {
        ok = ok && cursor.Read(&message->timestamp);
    }
    if ((message->flags & kFlagSystemInfo) != 0)
    {
        ok = ok && cursor.Read(&message->threadId) && cursor.Read(&message->processId);
    }
    if (!ok)
    {
        return Fail(error, cursor.Offset(), "message record too short for its flags");
    }
    while (cursor.Left() != 0)
    {
        uint32_t length = 0;
        std::span<const uint8_t> data;
        if (!cursor.Read(&length) || !cursor.Take(length, &data))
        {
            return Fail(error, cursor.Offset(), "argument runs past the end of its record");
        }
        message->arguments.emplace_back(data.begin(), data.end());
    }
    return true;
}

bool ParseDataBuffer(std::span<const uint8_t> buffer, size_t base, const BufferHeader& header,
                     std::vector<MessageRecord>* messages, std::string* error)
{
    uint32_t at = kBufferHeaderSize;
    while (at < header.savedOffset)
    {
        if (header.savedOffset - at < kMessageHeaderSize)
        {
            return Fail(error, base + at, "record header crosses the end of the buffer's data");
        }
        uint32_t marker = Get<uint32_t>(buffer, at);
        uint16_t size = Get<uint16_t>(buffer, at + 4);
        if ((marker & kMessageMarkerMask) != kMessageMarker)
        {
            return Fail(error, base + at, "unknown record marker");
        }
        if (size < kMessageHeaderSize || size > header.savedOffset - at)
        {
            return Fail(error, base + at + 4, "record size out of range");
        }
        MessageRecord message;
        if (!ParseMessage(buffer.subspan(at, size), base + at, &message, error))
        {
            return false;
        }
        messages->push_back(std::move(message));
        at += AlignUp(size);
    }
    if (at != header.savedOffset)
    {
        return Fail(error, base + at, "the last record is not padded to the buffer's used length");
    }
    return true;
}

} // namespace

std::vector<uint8_t> EncodeHeaderBuffer(const LogFileHeader& header, uint16_t loggerId, int64_t written)
{
    std::vector<uint8_t> record(kSystemHeaderSize + kLogFileHeaderSize, 0);
    AppendName(record, header.loggerName);
    AppendName(record, header.logFileName);
    Put<uint32_t>(record, 0, kSystemHeaderMarker);
    Put<uint16_t>(record, 4, static_cast<uint16_t>(record.size()));
    Put<uint16_t>(record, 6, 0); // group: header, type: information
    Put<int64_t>(record, 16, written);
    const size_t lf = kSystemHeaderSize;
    Put<uint32_t>(record, lf + kOffLfBufferSize, header.bufferSize);
    Put<uint32_t>(record, lf + kOffLfVersion, header.version);
    Put<uint32_t>(record, lf + kOffLfProviderVersion, header.providerVersion);
    Put<uint32_t>(record, lf + kOffLfProcessors, header.processors);
    Put<int64_t>(record, lf + kOffLfEndTime, header.endTime);
    Put<uint32_t>(record, lf + kOffLfTimerResolution, header.timerResolution);
    Put<uint32_t>(record, lf + kOffLfMaximumFileSize, header.maximumFileSize);
    Put<uint32_t>(record, lf + kOffLfLogFileMode, header.logFileMode);
    Put<uint32_t>(record, lf + kOffLfBuffersWritten, header.buffersWritten);
    Put<uint32_t>(record, lf + kOffLfStartBuffers, header.startBuffers);
    Put<uint32_t>(record, lf + kOffLfPointerSize, header.pointerSize);
    Put<uint32_t>(record, lf + kOffLfEventsLost, header.eventsLost);
    Put<uint32_t>(record, lf + kOffLfCpuSpeed, header.cpuSpeedInMHz);
    Put<int64_t>(record, lf + kOffLfBootTime, header.bootTime);
    Put<int64_t>(record, lf + kOffLfPerfFreq, header.perfFreq);
    Put<int64_t>(record, lf + kOffLfStartTime, header.startTime);
    Put<uint32_t>(record, lf + kOffLfReservedFlags, header.clockType);
    Put<uint32_t>(record, lf + kOffLfBuffersLost, header.buffersLost);

    std::vector<uint8_t> buffer(header.bufferSize, 0xFF);
    BufferHeader bufferHeader;
    bufferHeader.bufferSize = header.bufferSize;
    bufferHeader.savedOffset = kBufferHeaderSize + AlignUp(static_cast<uint32_t>(record.size()));
    bufferHeader.timestamp = written;
    bufferHeader.sequence = 0;
    bufferHeader.loggerId = loggerId;
    bufferHeader.bufferType = kBufferTypeHeader;
    if (bufferHeader.savedOffset > buffer.size())
    {
        return {};
    }
    PutBufferHeader(buffer, bufferHeader);
    memcpy(buffer.data() + kBufferHeaderSize, record.data(), record.size());
    memset(buffer.data() + kBufferHeaderSize + record.size(), 0,
           bufferHeader.savedOffset - kBufferHeaderSize - record.size());
    return buffer;
}

std::vector<uint8_t> EncodeMessage(const MessageRecord& message)
{
    std::vector<uint8_t> record;
    // Room for the largest header at once (this also keeps GCC 12 at -O3 from a false
    // stringop-overflow warning about the vector's first growths).
    record.reserve(64);
    Append<uint32_t>(record, kMessageMarker | (message.flags & ~kMessageMarkerMask));
    Append<uint16_t>(record, 0); // size, below
    Append<uint16_t>(record, message.number);
    if ((message.flags & kFlagSequence) != 0)
    {
        Append(record, message.sequence);
    }
    if ((message.flags & kFlagComponentId) != 0)
    {
        Append(record, message.componentId);
    }
    else if ((message.flags & kFlagGuid) != 0)
    {
        Append(record, message.guid);
    }
    if ((message.flags & (kFlagTimestamp | kFlagPerformanceTimestamp)) != 0)
    {
        Append(record, message.timestamp);
    }
    if ((message.flags & kFlagSystemInfo) != 0)
    {
        Append(record, message.threadId);
        Append(record, message.processId);
    }
    for (const auto& argument : message.arguments)
    {
        Append<uint32_t>(record, static_cast<uint32_t>(argument.size()));
        record.insert(record.end(), argument.begin(), argument.end());
    }
    if (record.size() > 0xFFFF)
    {
        return {};
    }
    Put<uint16_t>(record, 4, static_cast<uint16_t>(record.size()));
    return record;
}

BufferBuilder::BufferBuilder(uint32_t bufferSize) : m_bytes(bufferSize, 0xFF) {}

bool BufferBuilder::Append(std::span<const uint8_t> record)
{
    uint32_t padded = AlignUp(static_cast<uint32_t>(record.size()));
    if (record.empty() || padded > m_bytes.size() - m_used)
    {
        return false;
    }
    memcpy(m_bytes.data() + m_used, record.data(), record.size());
    memset(m_bytes.data() + m_used + record.size(), 0, padded - record.size());
    m_used += padded;
    ++m_records;
    return true;
}

std::vector<uint8_t> BufferBuilder::Seal(uint64_t sequence, uint16_t loggerId, int64_t written)
{
    BufferHeader header;
    header.bufferSize = static_cast<uint32_t>(m_bytes.size());
    header.savedOffset = m_used;
    header.timestamp = written;
    header.sequence = sequence;
    header.loggerId = loggerId;
    header.bufferType = kBufferTypeEvents;
    PutBufferHeader(m_bytes, header);
    std::vector<uint8_t> sealed(m_bytes.size(), 0xFF);
    sealed.swap(m_bytes);
    m_used = kBufferHeaderSize;
    m_records = 0;
    return sealed;
}

std::optional<LogFile> ParseLogFile(std::span<const uint8_t> bytes, std::string* error)
{
    if (bytes.size() < kBufferHeaderSize)
    {
        Fail(error, 0, "file too short for a buffer header");
        return std::nullopt;
    }
    uint32_t bufferSize = Get<uint32_t>(bytes, kOffBufferSize);
    if (bufferSize < kBufferHeaderSize + kSystemHeaderSize + kLogFileHeaderSize ||
        bufferSize % kRecordAlignment != 0)
    {
        Fail(error, 0, "bad buffer size " + std::to_string(bufferSize));
        return std::nullopt;
    }
    if (bytes.size() % bufferSize != 0)
    {
        Fail(error, bytes.size() - bytes.size() % bufferSize, "the file does not end on a buffer boundary");
        return std::nullopt;
    }
    LogFile file;
    std::vector<std::pair<uint64_t, size_t>> dataBuffers; // sequence, offset
    for (size_t base = 0; base < bytes.size(); base += bufferSize)
    {
        std::span<const uint8_t> buffer = bytes.subspan(base, bufferSize);
        BufferHeader header;
        if (!ParseBufferHeader(buffer, base, bufferSize, &header, error))
        {
            return std::nullopt;
        }
        bool first = base == 0;
        if (first != (header.bufferType == kBufferTypeHeader))
        {
            Fail(error, base + kOffBufferType,
                 first ? "the first buffer is not the header buffer" : "a header buffer after the first");
            return std::nullopt;
        }
        if (first)
        {
            if (!ParseHeaderRecord(buffer, base, &file.header, error))
            {
                return std::nullopt;
            }
            if (file.header.bufferSize != bufferSize)
            {
                Fail(error, base + kBufferHeaderSize + kSystemHeaderSize,
                     "log file header's buffer size differs");
                return std::nullopt;
            }
        }
        else
        {
            for (const auto& [sequence, offset] : dataBuffers)
            {
                if (sequence == header.sequence)
                {
                    Fail(error, base + kOffSequence, "two buffers with one sequence number");
                    return std::nullopt;
                }
            }
            if (header.sequence == 0)
            {
                Fail(error, base + kOffSequence, "data buffer with sequence number 0");
                return std::nullopt;
            }
            dataBuffers.emplace_back(header.sequence, base);
        }
        file.buffers.push_back(header);
    }
    std::sort(dataBuffers.begin(), dataBuffers.end());
    for (const auto& [sequence, base] : dataBuffers)
    {
        std::span<const uint8_t> buffer = bytes.subspan(base, bufferSize);
        BufferHeader header = file.buffers[base / bufferSize];
        if (!ParseDataBuffer(buffer, base, header, &file.messages, error))
        {
            return std::nullopt;
        }
    }
    return file;
}

std::optional<LogFile> ReadLogFile(const std::string& path, std::string* error)
{
    std::ifstream in(path, std::ios::binary);
    if (!in)
    {
        if (error != nullptr)
        {
            *error = "cannot open " + path;
        }
        return std::nullopt;
    }
    std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    return ParseLogFile(bytes, error);
}

std::string FormatMessageLine(const MessageRecord& message, const TraceFormats& formats)
{
    TraceMessage recorded;
    recorded.guid = message.guid;
    recorded.number = message.number;
    recorded.arguments = message.arguments;
    RenderedTrace rendered = formats.Render(recorded);

    // 100-ns units since 1601 to a UTC calendar time with milliseconds.
    int64_t units = message.timestamp;
    time_t seconds = static_cast<time_t>(units / 10000000LL - 11644473600LL);
    unsigned milliseconds = static_cast<unsigned>((units % 10000000LL) / 10000LL);
    struct tm parts;
    gmtime_r(&seconds, &parts);
    char when[48];
    snprintf(when, sizeof(when), "%02d/%02d/%04d-%02d:%02d:%02d.%03u", parts.tm_mon + 1, parts.tm_mday,
             parts.tm_year + 1900, parts.tm_hour, parts.tm_min, parts.tm_sec, milliseconds);
    std::string module = rendered.file;
    size_t dot = module.rfind('.');
    if (dot != std::string::npos)
    {
        module.resize(dot);
    }
    char prefix[96];
    snprintf(prefix, sizeof(prefix), "[0]%04X.%04X::%s [%s]", message.processId, message.threadId, when,
             module.c_str());
    return prefix + rendered.text;
}

} // namespace winsim::etl
