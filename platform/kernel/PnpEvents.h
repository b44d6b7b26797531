// The Plug and Play manager's events for user mode: a device's stack started (arrival), its
// removal finished (remove complete), a device interface was enabled or disabled. user32 turns
// them into WM_DEVICECHANGE broadcasts.
//
// The machine has one user-mode process, and the queue keeps events only once that process has
// subscribed (NtOpenPlugPlayEventQueue), so a machine nobody listens to keeps nothing. While events
// wait, the queue's notification event is signalled; taking the last one resets it. A waiting
// thread therefore waits on it in the kernel's dispatcher like on any event.
//
// Posted at PASSIVE_LEVEL by the Plug and Play manager and the object namespace; taken by the
// system service on a user thread. m_lock guards everything below; the event is set and reset
// under it, so its state always matches whether events wait.
#pragma once

#include "syscall/Syscalls.h"

#include <deque>
#include <memory>
#include <mutex>
#include <string_view>

namespace winsim::kernel
{

class EventObject;

class PnpEventQueue
{
  public:
    // The process subscribes; every later call returns the same event.
    std::shared_ptr<EventObject> Subscribe();

    void DeviceArrived(std::u16string_view instancePath);
    void DeviceRemoveCompleted(std::u16string_view instancePath);
    void InterfaceChanged(const GUID& classGuid, std::u16string_view symbolicLink,
                          std::u16string_view instancePath, bool enabled);

    // Moves up to count waiting events into records, oldest first; returns how many, and whether
    // more wait. STATUS_INVALID_DEVICE_STATE when nobody subscribed.
    NTSTATUS Take(syscall::PLUGPLAY_EVENT_RECORD* records, ULONG count, ULONG* taken);

  private:
    void Post(const syscall::PLUGPLAY_EVENT_RECORD& record);

    std::mutex m_lock;
    std::shared_ptr<EventObject> m_pending; // null until the process subscribed
    std::deque<syscall::PLUGPLAY_EVENT_RECORD> m_events;
};

} // namespace winsim::kernel
