// The trace log file (.etl) a trace session writes, and its strict reader. docs/event-tracing.md
// describes the layout byte by byte; in short:
//
// - The file is a run of buffers, each of the session's buffer size, each starting with a 72-byte
//   buffer header (BufferHeader). Records follow it, each starting on an 8-byte boundary, up to the
//   header's SavedOffset; the rest of the buffer is filled with 0xFF.
// - Buffer 0 holds one record, the log file header: a 32-byte system trace header and a
//   TRACE_LOGFILE_HEADER (280 bytes on x64), then the session name and the log file name, UTF-16
//   with their terminators. The session rewrites it as it flushes and stops (buffers written,
//   events lost, end time).
// - Every other record is a trace message: an 8-byte MESSAGE_TRACE_HEADER (a marker with the
//   message flags, the record's size, the message number), the fields the flags ask for in
//   Windows' order (sequence, message GUID, time stamp, thread and process ids), then the arguments,
//   each as a 4-byte length and its bytes.
//
// Writing and reading share this unit: the kernel's sessions write with it, the decoder
// (winsim-tracefmt) and the tests read with it.
#pragma once

#include "base/tracefmt.h"

#include <stdint.h>

#include <optional>
#include <span>
#include <string>
#include <vector>

namespace winsim::etl
{

inline constexpr uint32_t kBufferHeaderSize = 72;
inline constexpr uint32_t kSystemHeaderSize = 32;
inline constexpr uint32_t kLogFileHeaderSize = 280;
inline constexpr uint32_t kMessageHeaderSize = 8;
inline constexpr uint32_t kRecordAlignment = 8;

// The first ULONG of each record.
inline constexpr uint32_t kSystemHeaderMarker = 0xC0020002; // header flag, event trace, system64, version 2
inline constexpr uint32_t kMessageMarker = 0x90000000;      // header flag, trace message; low 16 bits: flags
inline constexpr uint32_t kMessageMarkerMask = 0xFFFF0000;

// Buffer types (the buffer header's BufferType).
inline constexpr uint16_t kBufferTypeEvents = 0;
inline constexpr uint16_t kBufferTypeHeader = 1;

// Message flags (TRACE_MESSAGE_* of evntrace.h).
inline constexpr uint32_t kFlagSequence = 0x01;
inline constexpr uint32_t kFlagGuid = 0x02;
inline constexpr uint32_t kFlagComponentId = 0x04;
inline constexpr uint32_t kFlagTimestamp = 0x08;
inline constexpr uint32_t kFlagPerformanceTimestamp = 0x10;
inline constexpr uint32_t kFlagSystemInfo = 0x20;

// Clock types of the header's ReservedFlags (the session's Wnode.ClientContext).
inline constexpr uint32_t kClockSystemTime = 2;

struct BufferHeader
{
    uint32_t bufferSize = 0;
    uint32_t savedOffset = 0; // bytes in use, the header included
    int64_t timestamp = 0;    // system time the buffer was written
    uint64_t sequence = 0;    // 0 for the header buffer; data buffers count from 1 in writing order
    uint16_t loggerId = 0;
    uint16_t bufferType = kBufferTypeEvents;
};

struct LogFileHeader
{
    uint32_t bufferSize = 0;      // bytes
    uint32_t version = 0;         // major, minor, sub-version, sub-minor version, low byte first
    uint32_t providerVersion = 0; // the system's build number
    uint32_t processors = 0;
    int64_t endTime = 0;          // system time the session stopped; 0 while it runs
    uint32_t timerResolution = 0; // 100-ns units
    uint32_t maximumFileSize = 0; // MB
    uint32_t logFileMode = 0;
    uint32_t buffersWritten = 0; // the header buffer included
    uint32_t startBuffers = 1;
    uint32_t pointerSize = 8;
    uint32_t eventsLost = 0;
    uint32_t cpuSpeedInMHz = 0;
    int64_t bootTime = 0;
    int64_t perfFreq = 0;
    int64_t startTime = 0;
    uint32_t clockType = kClockSystemTime;
    uint32_t buffersLost = 0;
    std::u16string loggerName;
    std::u16string logFileName;
};

struct MessageRecord
{
    uint32_t flags = 0; // TRACE_MESSAGE_* bits (the low 16 bits of the marker)
    uint16_t number = 0;
    uint32_t sequence = 0;
    TraceGuid guid;           // with kFlagGuid
    uint32_t componentId = 0; // with kFlagComponentId (instead of a GUID)
    int64_t timestamp = 0;
    uint32_t threadId = 0;
    uint32_t processId = 0;
    std::vector<std::vector<uint8_t>> arguments;
};

// --- writing ---
// The header buffer: buffer header and log file header record, filled to header.bufferSize.
std::vector<uint8_t> EncodeHeaderBuffer(const LogFileHeader& header, uint16_t loggerId, int64_t written);
// A message record, unpadded; empty when it cannot be one (over 65535 bytes).
std::vector<uint8_t> EncodeMessage(const MessageRecord& message);

// A data buffer being filled.
class BufferBuilder
{
  public:
    explicit BufferBuilder(uint32_t bufferSize);
    // Appends a record (padded to 8 bytes); false when it does not fit in what is left.
    bool Append(std::span<const uint8_t> record);
    bool Empty() const { return m_records == 0; }
    uint32_t Records() const { return m_records; }
    // The whole buffer with its header filled in; the builder starts over empty.
    std::vector<uint8_t> Seal(uint64_t sequence, uint16_t loggerId, int64_t written);
    // The most a record may take in one buffer.
    uint32_t Capacity() const { return static_cast<uint32_t>(m_bytes.size()) - kBufferHeaderSize; }

  private:
    std::vector<uint8_t> m_bytes;
    uint32_t m_used = kBufferHeaderSize;
    uint32_t m_records = 0;
};

// --- reading ---
struct LogFile
{
    LogFileHeader header;
    std::vector<BufferHeader> buffers;   // in file order
    std::vector<MessageRecord> messages; // data buffers in sequence order, records in buffer order
};

// Parses a whole file strictly: any inconsistency (a size that does not add up, a record that
// crosses its buffer's end, an unknown marker, a name without its terminator) is an error with
// the byte offset where it was found.
std::optional<LogFile> ParseLogFile(std::span<const uint8_t> bytes, std::string* error = nullptr);
std::optional<LogFile> ReadLogFile(const std::string& path, std::string* error = nullptr);

// One message as Windows' trace formatting tool prints it with the default prefix:
// [cpu]process.thread::yyyy/mm/dd-hh:mm:ss.fffffff [file] text, where text is the message
// rendered through the formats (the time is UTC).
std::string FormatMessageLine(const MessageRecord& message, const TraceFormats& formats);

} // namespace winsim::etl
