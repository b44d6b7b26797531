// Device notification: RegisterDeviceNotification and the WM_DEVICECHANGE broadcasts.
//
// The kernel's Plug and Play manager keeps the events of devices and device interfaces for the
// process once it has a window (NtOpenPlugPlayEventQueue). There is no thread of user32's own:
// whichever thread of the process enters a message function first takes the waiting events
// (DeliverDeviceEvents) and hands each, as a sent message, to the threads of the windows that get
// it:
// - a device of the Ports class with a PortName: DBT_DEVICEARRIVAL when its stack started,
//   DBT_DEVICEREMOVECOMPLETE when its removal finished, with a DEV_BROADCAST_PORT_A naming the
//   port, to every top-level window of the process (message-only windows get no broadcasts);
// - a device interface enabled or disabled: the same events with a DEV_BROADCAST_DEVICEINTERFACE_A
//   to each window registered for its class (or for all classes), once per registration.
// The port name is read from the device's registry keys when the event is delivered. Each message
// carries its own copy of the structure, which its queue frees once the window procedure returned.
// drainLock keeps the events in order when several threads pump at once; it is taken before the
// user lock.
#include "internal.h"
#include "ntdll/ntdll.h"
#include "user32/user32.h"

#include <stddef.h>
#include <strings.h>

#include <algorithm>
#include <optional>

namespace winsim::user32
{
namespace
{

// The Ports setup class (GUID_DEVCLASS_PORTS), as the Enum key's ClassGUID names it.
constexpr char PortsClassGuid[] = "{4D36E978-E325-11CE-BFC1-08002BE10318}";
constexpr char16_t EnumKey[] = u"\\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Enum\\";
constexpr ULONG EventsPerCall = 8;

std::vector<DeviceNotification*>& Registrations()
{
    static auto* registrations = new std::vector<DeviceNotification*>;
    return *registrations;
}

std::mutex& DrainLock()
{
    static auto* lock = new std::mutex;
    return *lock;
}

// The pending-events handle of the current machine (user lock).
HANDLE g_pending = nullptr;
uint64_t g_pendingGeneration = 0;

// A REG_SZ value of a key of the machine's registry, or none.
std::optional<std::string> RegistryString(const std::u16string& keyPath, const char16_t* valueName)
{
    UNICODE_STRING keyName = ntdll::CountedString(keyPath);
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &keyName, OBJ_CASE_INSENSITIVE, nullptr, nullptr);
    HANDLE key = nullptr;
    if (!NT_SUCCESS(NtOpenKey(&key, KEY_QUERY_VALUE, &attributes)))
    {
        return std::nullopt;
    }
    std::u16string name(valueName);
    UNICODE_STRING counted = ntdll::CountedString(name);
    alignas(8) UCHAR buffer[sizeof(KEY_VALUE_PARTIAL_INFORMATION) + 512];
    ULONG length = 0;
    NTSTATUS status =
        NtQueryValueKey(key, &counted, KeyValuePartialInformation, buffer, sizeof(buffer), &length);
    NtClose(key);
    const auto* info = reinterpret_cast<const KEY_VALUE_PARTIAL_INFORMATION*>(buffer);
    if (!NT_SUCCESS(status) || info->Type != REG_SZ)
    {
        return std::nullopt;
    }
    std::u16string_view text(reinterpret_cast<const char16_t*>(info->Data), info->DataLength / sizeof(WCHAR));
    text = text.substr(0, text.find(u'\0'));
    return user::AnsiFromWide(text);
}

// The COM name of a device of the Ports class, or none for another device.
std::optional<std::string> PortNameOf(std::u16string_view instancePath)
{
    std::u16string enumKey = std::u16string(EnumKey) + std::u16string(instancePath);
    std::optional<std::string> classGuid = RegistryString(enumKey, u"ClassGUID");
    if (!classGuid || strcasecmp(classGuid->c_str(), PortsClassGuid) != 0)
    {
        return std::nullopt;
    }
    std::optional<std::string> portName = RegistryString(enumKey + u"\\Device Parameters", u"PortName");
    if (!portName || portName->empty())
    {
        return std::nullopt;
    }
    return portName;
}

std::vector<BYTE> PortBroadcast(const std::string& portName)
{
    std::vector<BYTE> data(std::max(offsetof(DEV_BROADCAST_PORT_A, dbcp_name) + portName.size() + 1,
                                    sizeof(DEV_BROADCAST_PORT_A)));
    auto* port = reinterpret_cast<DEV_BROADCAST_PORT_A*>(data.data());
    port->dbcp_size = static_cast<DWORD>(offsetof(DEV_BROADCAST_PORT_A, dbcp_name) + portName.size() + 1);
    port->dbcp_devicetype = DBT_DEVTYP_PORT;
    memcpy(port->dbcp_name, portName.c_str(), portName.size() + 1);
    return data;
}

// The user-mode name of an interface's symbolic link: \\?\ where the kernel has \??\.
std::vector<BYTE> InterfaceBroadcast(const GUID& classGuid, std::u16string_view link)
{
    std::string name = user::AnsiFromWide(link);
    if (name.compare(0, 4, "\\??\\") == 0)
    {
        name[1] = '\\';
    }
    std::vector<BYTE> data(std::max(offsetof(DEV_BROADCAST_DEVICEINTERFACE_A, dbcc_name) + name.size() + 1,
                                    sizeof(DEV_BROADCAST_DEVICEINTERFACE_A)));
    auto* broadcast = reinterpret_cast<DEV_BROADCAST_DEVICEINTERFACE_A*>(data.data());
    broadcast->dbcc_size =
        static_cast<DWORD>(offsetof(DEV_BROADCAST_DEVICEINTERFACE_A, dbcc_name) + name.size() + 1);
    broadcast->dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
    broadcast->dbcc_classguid = classGuid;
    memcpy(broadcast->dbcc_name, name.c_str(), name.size() + 1);
    return data;
}

// Queues WM_DEVICECHANGE for a window with its own copy of the data (user lock held).
void SendBroadcast(Window& window, WPARAM event, const std::vector<BYTE>& data)
{
    if (window.queue->ended)
    {
        return;
    }
    auto* message = new SentMessage;
    message->hwnd = window.handle;
    message->message = WM_DEVICECHANGE;
    message->wParam = event;
    message->data = data;
    message->lParam = reinterpret_cast<LPARAM>(message->data.data());
    QueueSentMessage(*window.queue, message);
}

void Deliver(const syscall::PLUGPLAY_EVENT_RECORD& record)
{
    std::u16string_view instancePath(reinterpret_cast<const char16_t*>(record.InstancePath));
    switch (record.Kind)
    {
    case syscall::PlugPlayDeviceArrival:
    case syscall::PlugPlayDeviceRemoveComplete: {
        std::optional<std::string> portName = PortNameOf(instancePath);
        if (!portName)
        {
            return;
        }
        WPARAM event =
            record.Kind == syscall::PlugPlayDeviceArrival ? DBT_DEVICEARRIVAL : DBT_DEVICEREMOVECOMPLETE;
        std::vector<BYTE> data = PortBroadcast(*portName);
        std::lock_guard<std::mutex> guard(UserLock());
        for (Window* window : AllWindows())
        {
            if (IsTopLevel(*window))
            {
                SendBroadcast(*window, event, data);
            }
        }
        return;
    }
    case syscall::PlugPlayInterfaceArrival:
    case syscall::PlugPlayInterfaceRemoval: {
        WPARAM event =
            record.Kind == syscall::PlugPlayInterfaceArrival ? DBT_DEVICEARRIVAL : DBT_DEVICEREMOVECOMPLETE;
        std::vector<BYTE> data =
            InterfaceBroadcast(record.InterfaceClassGuid,
                               std::u16string_view(reinterpret_cast<const char16_t*>(record.SymbolicLink)));
        std::lock_guard<std::mutex> guard(UserLock());
        for (DeviceNotification* registration : Registrations())
        {
            Window* window = WindowOf(registration->hwnd);
            if (window != nullptr &&
                (registration->allClasses || IsEqualGUID(registration->classGuid, record.InterfaceClassGuid)))
            {
                SendBroadcast(*window, event, data);
            }
        }
        return;
    }
    }
}

BOOL Fail(DWORD error)
{
    SetLastError(error);
    return FALSE;
}

} // namespace

HANDLE DeviceEventsPending()
{
    uint64_t generation = ntdll::MachineGeneration();
    {
        std::lock_guard<std::mutex> guard(UserLock());
        // Once subscribed, events are taken also while no window exists: they reach nobody.
        if (g_pending != nullptr && g_pendingGeneration == generation)
        {
            return g_pending;
        }
        if (AllWindows().empty())
        {
            return nullptr;
        }
    }
    HANDLE pending = nullptr;
    if (!NT_SUCCESS(NtOpenPlugPlayEventQueue(&pending)))
    {
        return nullptr;
    }
    std::lock_guard<std::mutex> guard(UserLock());
    g_pending = pending;
    g_pendingGeneration = ntdll::MachineGeneration();
    return pending;
}

void DeliverDeviceEvents()
{
    if (DeviceEventsPending() == nullptr)
    {
        return;
    }
    std::lock_guard<std::mutex> drain(DrainLock());
    static syscall::PLUGPLAY_EVENT_RECORD records[EventsPerCall]; // drainLock
    for (;;)
    {
        ULONG taken = 0;
        NTSTATUS status = NtGetPlugPlayEvents(records, EventsPerCall, &taken);
        for (ULONG i = 0; i < taken; ++i)
        {
            Deliver(records[i]);
        }
        if (status != STATUS_MORE_ENTRIES)
        {
            return;
        }
    }
}

} // namespace winsim::user32

using namespace winsim::user32;

extern "C"
{

    HDEVNOTIFY WINAPI RegisterDeviceNotificationA(HANDLE hRecipient, LPVOID NotificationFilter, DWORD Flags)
    {
        if ((Flags & ~(DEVICE_NOTIFY_SERVICE_HANDLE | DEVICE_NOTIFY_ALL_INTERFACE_CLASSES)) != 0)
        {
            Fail(ERROR_INVALID_PARAMETER);
            return nullptr;
        }
        if ((Flags & DEVICE_NOTIFY_SERVICE_HANDLE) != 0)
        {
            // No service runs on this machine, so no handle is a service status handle.
            Fail(ERROR_INVALID_HANDLE);
            return nullptr;
        }
        const auto* header = static_cast<const DEV_BROADCAST_HDR*>(NotificationFilter);
        if (header == nullptr)
        {
            Fail(ERROR_INVALID_DATA);
            return nullptr;
        }
        if ((Flags & DEVICE_NOTIFY_ALL_INTERFACE_CLASSES) != 0 &&
            header->dbch_devicetype != DBT_DEVTYP_DEVICEINTERFACE)
        {
            Fail(ERROR_INVALID_PARAMETER);
            return nullptr;
        }
        if (header->dbch_devicetype == DBT_DEVTYP_HANDLE)
        {
            // Events of an opened device (query remove and the like) are not sent on this machine.
            Fail(ERROR_NOT_SUPPORTED);
            return nullptr;
        }
        if (header->dbch_devicetype != DBT_DEVTYP_DEVICEINTERFACE)
        {
            Fail(ERROR_INVALID_DATA);
            return nullptr;
        }
        if (header->dbch_size < sizeof(DEV_BROADCAST_DEVICEINTERFACE_A))
        {
            Fail(ERROR_INVALID_DATA);
            return nullptr;
        }
        const auto* filter = static_cast<const DEV_BROADCAST_DEVICEINTERFACE_A*>(NotificationFilter);
        auto* registration = new DeviceNotification;
        registration->hwnd = static_cast<HWND>(hRecipient);
        registration->allClasses = (Flags & DEVICE_NOTIFY_ALL_INTERFACE_CLASSES) != 0;
        registration->classGuid = filter->dbcc_classguid;
        std::lock_guard<std::mutex> guard(UserLock());
        if (WindowOf(registration->hwnd) == nullptr)
        {
            delete registration;
            Fail(ERROR_INVALID_WINDOW_HANDLE);
            return nullptr;
        }
        Registrations().push_back(registration);
        return registration;
    }

    BOOL WINAPI UnregisterDeviceNotification(HDEVNOTIFY Handle)
    {
        std::lock_guard<std::mutex> guard(UserLock());
        auto& registrations = Registrations();
        auto it =
            std::find(registrations.begin(), registrations.end(), static_cast<DeviceNotification*>(Handle));
        if (Handle == nullptr || it == registrations.end())
        {
            return Fail(ERROR_INVALID_HANDLE);
        }
        delete *it;
        registrations.erase(it);
        return TRUE;
    }

} // extern "C"
