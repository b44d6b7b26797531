#include "PnpEvents.h"

#include "Objects.h"
#include "Scheduler.h"
#include "System.h"
#include "Thread.h"

#include <string.h>

namespace winsim::kernel
{
namespace
{

// Copies text into a fixed field, cut to fit and always NUL-terminated.
template <size_t N>
void CopyText(WCHAR (&field)[N], std::u16string_view text)
{
    size_t length = text.size() < N - 1 ? text.size() : N - 1;
    memcpy(field, text.data(), length * sizeof(WCHAR));
    field[length] = 0;
}

syscall::PLUGPLAY_EVENT_RECORD DeviceRecord(syscall::PLUGPLAY_EVENT_KIND kind,
                                            std::u16string_view instancePath)
{
    syscall::PLUGPLAY_EVENT_RECORD record{};
    record.Kind = kind;
    CopyText(record.InstancePath, instancePath);
    return record;
}

} // namespace

std::shared_ptr<EventObject> PnpEventQueue::Subscribe()
{
    std::lock_guard<std::mutex> guard(m_lock);
    if (m_pending == nullptr)
    {
        m_pending = std::make_shared<EventObject>(NotificationEvent, false);
    }
    return m_pending;
}

void PnpEventQueue::DeviceArrived(std::u16string_view instancePath)
{
    Post(DeviceRecord(syscall::PlugPlayDeviceArrival, instancePath));
}

void PnpEventQueue::DeviceRemoveCompleted(std::u16string_view instancePath)
{
    Post(DeviceRecord(syscall::PlugPlayDeviceRemoveComplete, instancePath));
}

void PnpEventQueue::InterfaceChanged(const GUID& classGuid, std::u16string_view symbolicLink,
                                     std::u16string_view instancePath, bool enabled)
{
    syscall::PLUGPLAY_EVENT_RECORD record = DeviceRecord(
        enabled ? syscall::PlugPlayInterfaceArrival : syscall::PlugPlayInterfaceRemoval, instancePath);
    record.InterfaceClassGuid = classGuid;
    CopyText(record.SymbolicLink, symbolicLink);
    Post(record);
}

void PnpEventQueue::Post(const syscall::PLUGPLAY_EVENT_RECORD& record)
{
    RequireIrqlAtMost(PASSIVE_LEVEL, "a Plug and Play event");
    std::lock_guard<std::mutex> guard(m_lock);
    if (m_pending == nullptr)
    {
        return;
    }
    m_events.push_back(record);
    System::Current().GetScheduler().SetEvent(m_pending->Event());
}

NTSTATUS PnpEventQueue::Take(syscall::PLUGPLAY_EVENT_RECORD* records, ULONG count, ULONG* taken)
{
    std::lock_guard<std::mutex> guard(m_lock);
    *taken = 0;
    if (m_pending == nullptr)
    {
        return STATUS_INVALID_DEVICE_STATE;
    }
    while (*taken < count && !m_events.empty())
    {
        records[(*taken)++] = m_events.front();
        m_events.pop_front();
    }
    if (m_events.empty())
    {
        System::Current().GetScheduler().ResetEvent(m_pending->Event());
    }
    if (*taken == 0)
    {
        return STATUS_NO_MORE_ENTRIES;
    }
    return m_events.empty() ? STATUS_SUCCESS : STATUS_MORE_ENTRIES;
}

} // namespace winsim::kernel
