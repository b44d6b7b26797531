#include "EventLog.h"

#include "Io.h"
#include "Registry.h"
#include "Scheduler.h"
#include "System.h"
#include "Thread.h"
#include "Verifier.h"

#include "base/resources.h"
#include "base/unicode.h"

#include <stddef.h>
#include <string.h>

namespace winsim::kernel
{

namespace
{

// The packet must lie within the entry IoAllocateErrorLogEntry gave out: its dump data, and the
// insertion strings when it says it has some. The error log thread copies the strings from
// StringOffset to the end of the entry and the event log service reads DumpDataSize bytes of dump
// data, so a packet that claims more than its entry holds makes them read past it. The machine
// stops at the write, where the driver's mistake is.
void CheckPacketFitsEntry(const void* entry, size_t entrySize)
{
    IO_ERROR_LOG_PACKET packet;
    memcpy(&packet, entry, sizeof(packet));
    constexpr size_t dumpDataAt = offsetof(IO_ERROR_LOG_PACKET, DumpData);
    if (packet.DumpDataSize % sizeof(ULONG) != 0)
    {
        VerifierStop(VerifierRule::ObjectMisuse,
                     "IoWriteErrorLogEntry(%p): DumpDataSize %u is not a multiple of sizeof(ULONG)", entry,
                     static_cast<unsigned>(packet.DumpDataSize));
    }
    const size_t dumpDataEnd = dumpDataAt + packet.DumpDataSize;
    if (dumpDataEnd > entrySize)
    {
        VerifierStop(VerifierRule::ObjectMisuse,
                     "IoWriteErrorLogEntry(%p): DumpDataSize %u ends the dump data at byte %zu, past the end "
                     "of the %zu-byte entry",
                     entry, static_cast<unsigned>(packet.DumpDataSize), dumpDataEnd, entrySize);
    }
    if (packet.NumberOfStrings == 0)
    {
        return; // StringOffset means nothing then (it may be zero)
    }
    if (packet.StringOffset < dumpDataEnd)
    {
        VerifierStop(
            VerifierRule::ObjectMisuse,
            "IoWriteErrorLogEntry(%p): StringOffset %u lies inside the packet or its dump data, which "
            "end at byte %zu",
            entry, static_cast<unsigned>(packet.StringOffset), dumpDataEnd);
    }
    const auto* bytes = static_cast<const uint8_t*>(entry);
    size_t at = packet.StringOffset;
    for (unsigned index = 1; index <= packet.NumberOfStrings; ++index)
    {
        // Each string runs to its terminating null, which must be inside the entry as well.
        for (;;)
        {
            if (at + sizeof(WCHAR) > entrySize)
            {
                VerifierStop(
                    VerifierRule::ObjectMisuse,
                    "IoWriteErrorLogEntry(%p): insertion string %u of %u (StringOffset %u) runs past "
                    "the end of the %zu-byte entry",
                    entry, index, static_cast<unsigned>(packet.NumberOfStrings),
                    static_cast<unsigned>(packet.StringOffset), entrySize);
            }
            const bool terminator = bytes[at] == 0 && bytes[at + 1] == 0;
            at += sizeof(WCHAR);
            if (terminator)
            {
                break;
            }
        }
    }
}

} // namespace

const char* EventLogEntry::LevelName() const
{
    switch ((static_cast<ULONG>(Packet().ErrorCode) >> 30) & 3)
    {
    case 0:
        return "Success";
    case 1:
        return "Information";
    case 2:
        return "Warning";
    default:
        return "Error";
    }
}

PVOID EventLog::AllocateEntry(PVOID ioObject, UCHAR entrySize)
{
    RequireIrqlAtMost(DISPATCH_LEVEL, "IoAllocateErrorLogEntry");
    if (ioObject == nullptr || entrySize < sizeof(IO_ERROR_LOG_PACKET) || entrySize > ERROR_LOG_MAXIMUM_SIZE)
    {
        return nullptr;
    }
    Pending pending;
    pending.size = entrySize;
    CSHORT type = *static_cast<CSHORT*>(ioObject);
    IoManager& io = System::Current().Io();
    if (type == IO_TYPE_DEVICE)
    {
        auto* device = static_cast<PDEVICE_OBJECT>(ioObject);
        pending.source = io.ServiceName(device->DriverObject);
        pending.deviceName = IoManager::Info(device).name;
    }
    else if (type == IO_TYPE_DRIVER)
    {
        pending.source = io.ServiceName(static_cast<PDRIVER_OBJECT>(ioObject));
    }
    else
    {
        VerifierStop(VerifierRule::ObjectMisuse,
                     "IoAllocateErrorLogEntry needs a device or driver object, got an object of type %d",
                     type);
    }
    std::lock_guard<std::mutex> guard(m_lock);
    if (m_failNext > 0)
    {
        --m_failNext;
        return nullptr;
    }
    void* entry = ::operator new(entrySize);
    memset(entry, 0, entrySize);
    m_pending[entry] = std::move(pending);
    return entry;
}

void EventLog::WriteEntry(PVOID entry)
{
    RequireIrqlAtMost(DISPATCH_LEVEL, "IoWriteErrorLogEntry");
    LONGLONG now = System::Current().GetScheduler().SystemTime();
    std::lock_guard<std::mutex> guard(m_lock);
    auto it = m_pending.find(entry);
    if (it == m_pending.end())
    {
        VerifierStop(VerifierRule::ObjectMisuse,
                     "IoWriteErrorLogEntry(%p): not an entry from IoAllocateErrorLogEntry", entry);
    }
    CheckPacketFitsEntry(entry, it->second.size);
    EventLogEntry written;
    written.recordNumber = m_nextRecord++;
    written.timeGenerated = now;
    written.source = it->second.source;
    written.deviceName = it->second.deviceName;
    written.packet.assign(static_cast<uint8_t*>(entry), static_cast<uint8_t*>(entry) + it->second.size);
    m_entries.push_back(std::move(written));
    m_pending.erase(it);
    ::operator delete(entry);
}

void EventLog::FreeEntry(PVOID entry)
{
    std::lock_guard<std::mutex> guard(m_lock);
    if (m_pending.erase(entry) == 0)
    {
        VerifierStop(VerifierRule::ObjectMisuse, "IoFreeErrorLogEntry(%p): not a pending entry", entry);
    }
    ::operator delete(entry);
}

std::vector<EventLogEntry> EventLog::Entries() const
{
    std::lock_guard<std::mutex> guard(m_lock);
    return m_entries;
}

void EventLog::Clear()
{
    std::lock_guard<std::mutex> guard(m_lock);
    m_entries.clear();
}

void EventLog::FailNextAllocations(unsigned count)
{
    std::lock_guard<std::mutex> guard(m_lock);
    m_failNext = count;
}

void EventLog::SetMessageTableReader(MessageTableReader reader)
{
    std::lock_guard<std::mutex> guard(m_lock);
    m_reader = std::move(reader);
}

std::optional<std::u16string> EventLog::Render(const EventLogEntry& entry, USHORT language) const
{
    MessageTableReader reader;
    {
        std::lock_guard<std::mutex> guard(m_lock);
        reader = m_reader;
    }
    if (!reader)
    {
        return std::nullopt;
    }
    auto sourceKey = System::Current().GetRegistry().OpenKey(std::u16string(ServicesKeyPath) +
                                                             u"\\EventLog\\System\\" + entry.source);
    if (!sourceKey)
    {
        return std::nullopt;
    }
    std::optional<std::u16string> file = sourceKey->GetString(u"EventMessageFile");
    if (!file)
    {
        return std::nullopt;
    }
    std::optional<std::vector<uint8_t>> table = reader(*file, language);
    if (!table)
    {
        return std::nullopt;
    }
    std::optional<std::u16string> text = FindMessage(*table, static_cast<ULONG>(entry.Packet().ErrorCode));
    if (!text)
    {
        return std::nullopt;
    }
    // Insertion %1 is the device name; the message's own line end is not part of what is shown.
    std::u16string rendered;
    for (size_t i = 0; i < text->size(); ++i)
    {
        if ((*text)[i] == u'%' && i + 1 < text->size() && (*text)[i + 1] == u'1')
        {
            rendered += entry.deviceName;
            ++i;
        }
        else
        {
            rendered.push_back((*text)[i]);
        }
    }
    while (!rendered.empty() && (rendered.back() == u'\n' || rendered.back() == u'\r'))
    {
        rendered.pop_back();
    }
    return rendered;
}

} // namespace winsim::kernel

using namespace winsim::kernel;

extern "C"
{

    PVOID IoAllocateErrorLogEntry(PVOID IoObject, UCHAR EntrySize)
    {
        return System::Current().GetEventLog().AllocateEntry(IoObject, EntrySize);
    }

    VOID IoWriteErrorLogEntry(PVOID ElEntry)
    {
        System::Current().GetEventLog().WriteEntry(ElEntry);
    }

    VOID IoFreeErrorLogEntry(PVOID ElEntry)
    {
        System::Current().GetEventLog().FreeEntry(ElEntry);
    }

} // extern "C"
