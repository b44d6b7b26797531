// The system event log: entries drivers write with IoWriteErrorLogEntry, and their rendering
// through the message table of the source's registered message file, as Event Viewer shows them.
#pragma once

#include <wdm.h>

#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

namespace winsim::kernel
{

struct EventLogEntry
{
    ULONG recordNumber;
    LONGLONG timeGenerated;      // system time
    std::u16string source;       // the driver's service name
    std::u16string deviceName;   // the device object's name, when the entry was made for a device
    std::vector<uint8_t> packet; // the IO_ERROR_LOG_PACKET as the driver filled it, EntrySize bytes

    const IO_ERROR_LOG_PACKET& Packet() const
    {
        return *reinterpret_cast<const IO_ERROR_LOG_PACKET*>(packet.data());
    }
    // Event Viewer's view of the code: the low 16 bits, and the level from the severity bits.
    ULONG EventId() const { return static_cast<ULONG>(Packet().ErrorCode) & 0xFFFF; }
    const char* LevelName() const;
};

class EventLog
{
  public:
    PVOID AllocateEntry(PVOID ioObject, UCHAR entrySize);
    // Records the entry and frees it. A verifier stop when the packet claims more than the size it
    // was allocated with holds: dump data (DumpDataSize, a multiple of sizeof(ULONG)) past the
    // end, or NumberOfStrings insertion strings from StringOffset that overlap the dump data or
    // are not all terminated within the entry.
    void WriteEntry(PVOID entry);
    void FreeEntry(PVOID entry);

    std::vector<EventLogEntry> Entries() const;
    void Clear();

    // Fault injection: the next `count` entry allocations fail.
    void FailNextAllocations(unsigned count);

    // The entry's message in the given language (LANGID 0x0409 English, 0x0411 Japanese), taken
    // from the message file registered for the source under
    // HKLM\SYSTEM\CurrentControlSet\Services\EventLog\System\<source>. Insertion %1 is the device
    // name. nullopt when the source, its file or the message is missing.
    std::optional<std::u16string> Render(const EventLogEntry& entry, USHORT language) const;

    // Reads a message table resource out of a module file. Installed by the machine layer, which
    // knows how modules carry their resources.
    using MessageTableReader = std::function<std::optional<std::vector<uint8_t>>(
        const std::u16string& windowsPath, USHORT language)>;
    void SetMessageTableReader(MessageTableReader reader);

  private:
    struct Pending
    {
        std::u16string source;
        std::u16string deviceName;
        size_t size;
    };
    mutable std::mutex m_lock;
    std::unordered_map<void*, Pending> m_pending;
    std::vector<EventLogEntry> m_entries;
    ULONG m_nextRecord = 1;
    unsigned m_failNext = 0;
    MessageTableReader m_reader;
};

} // namespace winsim::kernel
