#include "Pnp.h"

#include "ConfigManager.h"
#include "Io.h"
#include "Namespace.h"
#include "Pool.h"
#include "Registry.h"
#include "System.h"
#include "Thread.h"
#include "Verifier.h"

#include "base/unicode.h"

#include <string.h>

namespace winsim::kernel
{

namespace
{

NTSTATUS CopyProperty(const void* data, size_t size, ULONG bufferLength, PVOID buffer, PULONG resultLength)
{
    *resultLength = static_cast<ULONG>(size);
    if (bufferLength < size)
    {
        return STATUS_BUFFER_TOO_SMALL;
    }
    memcpy(buffer, data, size);
    return STATUS_SUCCESS;
}

std::vector<uint8_t> MultiString(const std::vector<std::u16string>& texts)
{
    std::u16string joined;
    for (const auto& text : texts)
    {
        joined += text;
        joined.push_back(0);
    }
    joined.push_back(0);
    const auto* bytes = reinterpret_cast<const uint8_t*>(joined.data());
    return std::vector<uint8_t>(bytes, bytes + joined.size() * sizeof(char16_t));
}

std::vector<uint8_t> SingleString(const std::u16string& text)
{
    std::u16string terminated = text;
    terminated.push_back(0);
    const auto* bytes = reinterpret_cast<const uint8_t*>(terminated.data());
    return std::vector<uint8_t>(bytes, bytes + terminated.size() * sizeof(char16_t));
}

} // namespace

const char* DeviceNodeStateName(DeviceNodeState state)
{
    switch (state)
    {
    case DeviceNodeState::Enumerated:
        return "enumerated";
    case DeviceNodeState::Added:
        return "added";
    case DeviceNodeState::Started:
        return "started";
    case DeviceNodeState::Failed:
        return "failed";
    case DeviceNodeState::Removed:
        return "removed";
    case DeviceNodeState::Disabled:
        return "disabled";
    }
    return "?";
}

void PnpManager::SetImageLoader(ImageLoader loader)
{
    std::lock_guard<std::recursive_mutex> guard(m_lock);
    m_loader = std::move(loader);
}

void PnpManager::SetInstaller(Installer installer)
{
    std::lock_guard<std::recursive_mutex> guard(m_lock);
    m_installer = std::move(installer);
}

std::u16string PnpManager::EnumKeyPathOf(const DeviceNode& node)
{
    return std::u16string(EnumKeyPath) + u"\\" + node.instancePath;
}

std::u16string PnpManager::HardwareKeyPathOf(const DeviceNode& node)
{
    return EnumKeyPathOf(node) + u"\\Device Parameters";
}

std::u16string PnpManager::SoftwareKeyPathOf(const DeviceNode& node)
{
    auto key = System::Current().GetRegistry().OpenKey(EnumKeyPathOf(node));
    if (!key)
    {
        return {};
    }
    std::optional<std::u16string> driver = key->GetString(u"Driver");
    if (!driver || driver->empty())
    {
        return {};
    }
    return std::u16string(ControlKeyPath) + u"\\Class\\" + *driver;
}

DeviceNode* PnpManager::ReportDevice(PDEVICE_OBJECT pdo, std::u16string instancePath,
                                     std::vector<std::u16string> hardwareIds,
                                     std::vector<std::u16string> compatibleIds, std::u16string description,
                                     std::u16string location)
{
    RequireIrqlAtMost(PASSIVE_LEVEL, "device enumeration");
    DeviceNode* node = nullptr;
    {
        std::lock_guard<std::recursive_mutex> guard(m_lock);
        node = NodeByInstancePath(instancePath);
        if (node == nullptr)
        {
            m_nodes.push_back(std::make_unique<DeviceNode>());
            node = m_nodes.back().get();
        }
        node->instancePath = std::move(instancePath);
        node->hardwareIds = std::move(hardwareIds);
        node->compatibleIds = std::move(compatibleIds);
        node->description = std::move(description);
        node->location = std::move(location);
        node->pdo = pdo;
        node->state = DeviceNodeState::Enumerated;
        node->problem = STATUS_SUCCESS;
    }
    IoManager::Info(pdo).node = node;

    // The node's Enum key: what the bus reports, refreshed at every arrival.
    Registry& registry = System::Current().GetRegistry();
    auto key = registry.CreateKey(EnumKeyPathOf(*node));
    key->SetMultiString(u"HardwareID", node->hardwareIds);
    key->SetMultiString(u"CompatibleIDs", node->compatibleIds);
    if (!key->GetString(u"DeviceDesc"))
    {
        key->SetString(u"DeviceDesc", node->description);
    }
    key->SetString(u"LocationInformation", node->location);
    std::optional<std::u16string> service = key->GetString(u"Service");
    if (!service || service->empty())
    {
        Installer installer;
        {
            std::lock_guard<std::recursive_mutex> guard(m_lock);
            installer = m_installer;
        }
        NTSTATUS status = installer ? installer(*node) : STATUS_NOT_FOUND;
        if (!NT_SUCCESS(status))
        {
            node->state = DeviceNodeState::Failed;
            node->problem = status;
            return node;
        }
        service = key->GetString(u"Service");
    }
    node->service = service.value_or(u"");
    // A device a user disabled stays without a driver stack when it comes back.
    if (MarkedDisabled(*node))
    {
        node->state = DeviceNodeState::Disabled;
        return node;
    }
    NTSTATUS status = AddDeviceToNode(node);
    if (!NT_SUCCESS(status))
    {
        node->state = DeviceNodeState::Failed;
        node->problem = status;
    }
    return node;
}

DeviceNode* PnpManager::ReportBuiltInDevice(PDEVICE_OBJECT pdo, std::u16string instancePath,
                                            std::vector<std::u16string> hardwareIds,
                                            std::vector<std::u16string> compatibleIds,
                                            std::u16string description, std::u16string location)
{
    RequireIrqlAtMost(PASSIVE_LEVEL, "device enumeration");
    DeviceNode* node = nullptr;
    {
        std::lock_guard<std::recursive_mutex> guard(m_lock);
        m_nodes.push_back(std::make_unique<DeviceNode>());
        node = m_nodes.back().get();
        node->instancePath = std::move(instancePath);
        node->hardwareIds = std::move(hardwareIds);
        node->compatibleIds = std::move(compatibleIds);
        node->description = std::move(description);
        node->location = std::move(location);
        node->pdo = pdo;
        node->state = DeviceNodeState::Started;
    }
    IoManager::Info(pdo).node = node;
    auto key = System::Current().GetRegistry().CreateKey(EnumKeyPathOf(*node));
    key->SetMultiString(u"HardwareID", node->hardwareIds);
    if (!node->compatibleIds.empty())
    {
        key->SetMultiString(u"CompatibleIDs", node->compatibleIds);
    }
    key->SetString(u"DeviceDesc", node->description);
    key->SetString(u"LocationInformation", node->location);
    return node;
}

void PnpManager::ForgetBuiltInDevice(DeviceNode* node)
{
    std::lock_guard<std::recursive_mutex> guard(m_lock);
    node->state = DeviceNodeState::Removed;
    node->pdo = nullptr;
}

NTSTATUS PnpManager::AddDeviceToNode(DeviceNode* node)
{
    PDRIVER_OBJECT driver = nullptr;
    NTSTATUS status = LoadDriver(node->service, &driver);
    if (!NT_SUCCESS(status))
    {
        return status;
    }
    PDRIVER_ADD_DEVICE addDevice = driver->DriverExtension->AddDevice;
    if (addDevice == nullptr)
    {
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    status = addDevice(driver, node->pdo);
    if (!NT_SUCCESS(status))
    {
        // A driver left without devices by a failed add is unloaded, as Windows does.
        if (System::Current().Io().DeviceCount(driver) == 0)
        {
            UnloadDriver(node->service);
        }
        return status;
    }
    node->state = DeviceNodeState::Added;
    return STATUS_SUCCESS;
}

NTSTATUS PnpManager::SendPnpIrp(PDEVICE_OBJECT device, UCHAR minor)
{
    IoResult result =
        System::Current().Io().SendSynchronous(device, nullptr, [minor](PIRP, PIO_STACK_LOCATION stack) {
            stack->MajorFunction = IRP_MJ_PNP;
            stack->MinorFunction = minor;
        });
    return result.status;
}

NTSTATUS PnpManager::StartDevice(DeviceNode* node)
{
    if (node->state != DeviceNodeState::Added)
    {
        return STATUS_INVALID_DEVICE_STATE;
    }
    NTSTATUS status = SendPnpIrp(node->pdo, IRP_MN_START_DEVICE);
    if (NT_SUCCESS(status))
    {
        node->state = DeviceNodeState::Started;
        m_events.DeviceArrived(node->instancePath);
        return status;
    }
    node->state = DeviceNodeState::Failed;
    node->problem = status;
    // A stack whose start failed is removed; the device stays on its bus, with its problem.
    System::Current().Namespace().RemoveInterfacesOf(node->pdo);
    SendPnpIrp(node->pdo, IRP_MN_REMOVE_DEVICE);
    UnloadIfUnused(node->service);
    return status;
}

void PnpManager::RemoveDevice(DeviceNode* node)
{
    RequireIrqlAtMost(PASSIVE_LEVEL, "device removal");
    PDEVICE_OBJECT pdo = node->pdo;
    if (pdo == nullptr)
    {
        return;
    }
    {
        std::lock_guard<std::recursive_mutex> guard(m_lock);
        if (node->removePending)
        {
            return;
        }
    }
    bool started = node->state == DeviceNodeState::Started;
    if (started)
    {
        SendPnpIrp(pdo, IRP_MN_SURPRISE_REMOVAL);
    }
    System::Current().Namespace().RemoveInterfacesOf(pdo);
    node->state = DeviceNodeState::Removed;
    // Windows sends the removal once the last handle to the device is closed.
    {
        std::lock_guard<std::recursive_mutex> guard(m_lock);
        if (started && System::Current().Io().OpenCountOfStack(pdo) != 0)
        {
            node->removePending = true;
            return;
        }
    }
    FinishRemoval(node, started);
}

NTSTATUS PnpManager::RemoveOrderly(DeviceNode* node)
{
    RequireIrqlAtMost(PASSIVE_LEVEL, "device removal");
    PDEVICE_OBJECT pdo = node->pdo;
    if (pdo == nullptr || node->state != DeviceNodeState::Started)
    {
        return STATUS_INVALID_DEVICE_STATE;
    }
    NTSTATUS status = SendPnpIrp(pdo, IRP_MN_QUERY_REMOVE_DEVICE);
    if (!NT_SUCCESS(status))
    {
        SendPnpIrp(pdo, IRP_MN_CANCEL_REMOVE_DEVICE);
        return status;
    }
    System::Current().Namespace().RemoveInterfacesOf(pdo);
    node->state = DeviceNodeState::Removed;
    SendPnpIrp(pdo, IRP_MN_REMOVE_DEVICE);
    UnloadIfUnused(node->service);
    m_events.DeviceRemoveCompleted(node->instancePath);
    return STATUS_SUCCESS;
}

// --- Device Manager's disable, enable and restart -------------------------------------------------

namespace
{
// The disabled bits of ConfigFlags (CONFIGFLAG_DISABLED) and CSConfigFlags (CSCONFIGFLAG_DISABLED).
constexpr ULONG ConfigFlagDisabled = 0x00000001;
constexpr ULONG CsConfigFlagDisabled = 0x00000001;
// The node status flags and problem codes of cfg.h that user mode reads.
constexpr ULONG DnDriverLoaded = 0x00000002;
constexpr ULONG DnStarted = 0x00000008;
constexpr ULONG DnHasProblem = 0x00000400;
constexpr ULONG DnDisableable = 0x00002000;
constexpr ULONG DnRemovable = 0x00004000;
constexpr ULONG ProblemFailedStart = 0x0A;
constexpr ULONG ProblemDisabled = 0x16;
constexpr ULONG ProblemFailedInstall = 0x1C;

std::u16string ProfileEnumKeyPath(const DeviceNode& node)
{
    return std::u16string(MachineKeyPath) +
           u"\\SYSTEM\\CurrentControlSet\\Hardware Profiles\\Current\\System\\CurrentControlSet\\Enum\\" +
           node.instancePath;
}
} // namespace

bool PnpManager::MarkedDisabled(const DeviceNode& node)
{
    Registry& registry = System::Current().GetRegistry();
    auto enumKey = registry.OpenKey(EnumKeyPathOf(node));
    if (enumKey && (enumKey->GetDword(u"ConfigFlags").value_or(0) & ConfigFlagDisabled) != 0)
    {
        return true;
    }
    auto profileKey = registry.OpenKey(ProfileEnumKeyPath(node));
    return profileKey && (profileKey->GetDword(u"CSConfigFlags").value_or(0) & CsConfigFlagDisabled) != 0;
}

void PnpManager::MarkDisabled(const DeviceNode& node, bool global, bool disabled)
{
    Registry& registry = System::Current().GetRegistry();
    const char16_t* valueName = global ? u"ConfigFlags" : u"CSConfigFlags";
    ULONG bit = global ? ConfigFlagDisabled : CsConfigFlagDisabled;
    auto key = registry.CreateKey(global ? EnumKeyPathOf(node) : ProfileEnumKeyPath(node));
    ULONG flags = key->GetDword(valueName).value_or(0);
    key->SetDword(valueName, disabled ? (flags | bit) : (flags & ~bit));
}

NTSTATUS PnpManager::RemoveStackOnRequest(DeviceNode* node, DeviceNodeState after, PnpVeto* veto)
{
    PDEVICE_OBJECT pdo = node->pdo;
    // Windows refuses the removal of a device with a handle open on it before any driver hears of it.
    if (System::Current().Io().OpenCountOfStack(pdo) != 0)
    {
        *veto = PnpVeto{syscall::PlugPlayVetoOutstandingOpen, node->instancePath};
        return STATUS_PLUGPLAY_QUERY_VETOED;
    }
    NTSTATUS status = SendPnpIrp(pdo, IRP_MN_QUERY_REMOVE_DEVICE);
    if (!NT_SUCCESS(status))
    {
        SendPnpIrp(pdo, IRP_MN_CANCEL_REMOVE_DEVICE);
        *veto = PnpVeto{syscall::PlugPlayVetoDevice, node->instancePath};
        return STATUS_PLUGPLAY_QUERY_VETOED;
    }
    System::Current().Namespace().RemoveInterfacesOf(pdo);
    node->state = after;
    SendPnpIrp(pdo, IRP_MN_REMOVE_DEVICE);
    UnloadIfUnused(node->service);
    m_events.DeviceRemoveCompleted(node->instancePath);
    return STATUS_SUCCESS;
}

void PnpManager::AddAndStart(DeviceNode* node)
{
    node->problem = STATUS_SUCCESS;
    if (node->service.empty())
    {
        node->state = DeviceNodeState::Failed;
        node->problem = STATUS_NOT_FOUND;
        return;
    }
    NTSTATUS status = AddDeviceToNode(node);
    if (!NT_SUCCESS(status))
    {
        node->state = DeviceNodeState::Failed;
        node->problem = status;
        return;
    }
    StartDevice(node);
}

NTSTATUS PnpManager::DisableDevice(DeviceNode* node, bool global, PnpVeto* veto)
{
    RequireIrqlAtMost(PASSIVE_LEVEL, "device disable");
    if (!IsPresent(*node))
    {
        return STATUS_NO_SUCH_DEVICE;
    }
    MarkDisabled(*node, global, true);
    switch (node->state)
    {
    case DeviceNodeState::Started:
        return RemoveStackOnRequest(node, DeviceNodeState::Disabled, veto);
    case DeviceNodeState::Added:
        // Added but never started: the stack goes without a query.
        System::Current().Namespace().RemoveInterfacesOf(node->pdo);
        node->state = DeviceNodeState::Disabled;
        SendPnpIrp(node->pdo, IRP_MN_REMOVE_DEVICE);
        UnloadIfUnused(node->service);
        return STATUS_SUCCESS;
    default:
        // No stack (no driver, a failed one, or disabled already).
        node->state = DeviceNodeState::Disabled;
        node->problem = STATUS_SUCCESS;
        return STATUS_SUCCESS;
    }
}

NTSTATUS PnpManager::EnableDevice(DeviceNode* node, bool global)
{
    RequireIrqlAtMost(PASSIVE_LEVEL, "device enable");
    if (!IsPresent(*node))
    {
        return STATUS_NO_SUCH_DEVICE;
    }
    MarkDisabled(*node, global, false);
    if (node->state == DeviceNodeState::Disabled && !MarkedDisabled(*node))
    {
        AddAndStart(node);
    }
    return STATUS_SUCCESS;
}

NTSTATUS PnpManager::RestartDevice(DeviceNode* node, PnpVeto* veto)
{
    RequireIrqlAtMost(PASSIVE_LEVEL, "device restart");
    if (!IsPresent(*node))
    {
        return STATUS_NO_SUCH_DEVICE;
    }
    if (node->state != DeviceNodeState::Started)
    {
        // Nothing runs that a restart would stop; a node that failed gets another try.
        if (node->state == DeviceNodeState::Failed && node->pdo != nullptr)
        {
            AddAndStart(node);
        }
        return STATUS_SUCCESS;
    }
    NTSTATUS status = RemoveStackOnRequest(node, DeviceNodeState::Enumerated, veto);
    if (!NT_SUCCESS(status))
    {
        return status;
    }
    AddAndStart(node);
    return STATUS_SUCCESS;
}

void PnpManager::DeviceStatus(const DeviceNode& node, ULONG* status, ULONG* problem)
{
    *status = DnDisableable | DnRemovable;
    *problem = 0;
    switch (node.state)
    {
    case DeviceNodeState::Started:
        *status |= DnDriverLoaded | DnStarted;
        break;
    case DeviceNodeState::Added:
        *status |= DnDriverLoaded;
        break;
    case DeviceNodeState::Disabled:
        *problem = ProblemDisabled;
        break;
    case DeviceNodeState::Failed:
        *problem = node.problem == STATUS_NOT_FOUND ? ProblemFailedInstall : ProblemFailedStart;
        break;
    case DeviceNodeState::Enumerated:
    case DeviceNodeState::Removed:
        break;
    }
    if (*problem != 0)
    {
        *status |= DnHasProblem;
    }
}

bool PnpManager::StackClosed(PDEVICE_OBJECT bottom)
{
    DeviceNode* node = IoManager::Info(bottom).node;
    if (node == nullptr)
    {
        return false;
    }
    {
        std::lock_guard<std::recursive_mutex> guard(m_lock);
        if (!node->removePending || System::Current().Io().OpenCountOfStack(bottom) != 0)
        {
            return false;
        }
        node->removePending = false;
    }
    FinishRemoval(node, true);
    return true;
}

void PnpManager::FinishRemoval(DeviceNode* node, bool wasStarted)
{
    // The removal goes to the whole stack; the bus driver deletes its physical device object.
    SendPnpIrp(node->pdo, IRP_MN_REMOVE_DEVICE);
    node->pdo = nullptr;
    UnloadIfUnused(node->service);
    if (wasStarted)
    {
        m_events.DeviceRemoveCompleted(node->instancePath);
    }
}

// A driver unloads once none of its device objects is left, as Windows unloads a driver only
// when its last device object is freed (a removed device whose file is still open keeps it).
void PnpManager::UnloadIfUnused(const std::u16string& service)
{
    if (service.empty())
    {
        return;
    }
    PDRIVER_OBJECT driver = LoadedDriver(service);
    if (driver != nullptr && System::Current().Io().DeviceObjectCount(driver) == 0)
    {
        UnloadDriver(service);
    }
}

void PnpManager::DeviceObjectReleased(PDRIVER_OBJECT driver)
{
    std::u16string service;
    {
        std::lock_guard<std::recursive_mutex> guard(m_lock);
        for (const auto& [key, loaded] : m_drivers)
        {
            if (loaded.driver == driver)
            {
                service = System::Current().Io().ServiceName(driver);
            }
        }
    }
    // Only a driver some node uses is unloaded here; one loaded without a device stays.
    for (DeviceNode* node : Nodes())
    {
        if (!service.empty() && EqualsNoCase(node->service, service))
        {
            UnloadIfUnused(service);
            return;
        }
    }
}

std::vector<DeviceNode*> PnpManager::Nodes()
{
    std::lock_guard<std::recursive_mutex> guard(m_lock);
    std::vector<DeviceNode*> all;
    for (auto& node : m_nodes)
    {
        all.push_back(node.get());
    }
    return all;
}

bool PnpManager::IsPresent(const DeviceNode& node)
{
    std::lock_guard<std::recursive_mutex> guard(m_lock);
    return node.pdo != nullptr && node.state != DeviceNodeState::Removed;
}

std::vector<std::u16string> PnpManager::InstancePaths(bool presentOnly)
{
    std::lock_guard<std::recursive_mutex> guard(m_lock);
    std::vector<std::u16string> paths;
    for (const auto& node : m_nodes)
    {
        if (!presentOnly || IsPresent(*node))
        {
            paths.push_back(node->instancePath);
        }
    }
    return paths;
}

DeviceNode* PnpManager::NodeOf(PDEVICE_OBJECT pdo)
{
    return IoManager::Info(pdo).node;
}

DeviceNode* PnpManager::NodeByInstancePath(std::u16string_view instancePath)
{
    std::lock_guard<std::recursive_mutex> guard(m_lock);
    for (auto& node : m_nodes)
    {
        if (EqualsNoCase(node->instancePath, instancePath))
        {
            return node.get();
        }
    }
    return nullptr;
}

PDRIVER_OBJECT PnpManager::LoadedDriver(std::u16string_view service)
{
    std::lock_guard<std::recursive_mutex> guard(m_lock);
    auto it = m_drivers.find(UpperCase(service));
    return it == m_drivers.end() ? nullptr : it->second.driver;
}

NTSTATUS PnpManager::LoadDriver(const std::u16string& service, PDRIVER_OBJECT* driver)
{
    if (PDRIVER_OBJECT loaded = LoadedDriver(service))
    {
        *driver = loaded;
        return STATUS_SUCCESS;
    }
    std::u16string registryPath = std::u16string(ServicesKeyPath) + u"\\" + service;
    auto serviceKey = System::Current().GetRegistry().OpenKey(registryPath);
    if (!serviceKey)
    {
        return STATUS_OBJECT_NAME_NOT_FOUND;
    }
    std::optional<std::u16string> imagePath = serviceKey->GetString(u"ImagePath");
    if (!imagePath)
    {
        imagePath = u"System32\\drivers\\" + service + u".sys";
    }
    ImageLoader loader;
    {
        std::lock_guard<std::recursive_mutex> guard(m_lock);
        loader = m_loader;
    }
    DriverImage image;
    NTSTATUS status = loader ? loader(*imagePath, &image) : STATUS_DLL_NOT_FOUND;
    if (!NT_SUCCESS(status))
    {
        return status;
    }
    PDRIVER_OBJECT created = System::Current().Io().CreateDriverObject(service);
    UNICODE_STRING path{static_cast<USHORT>(registryPath.size() * sizeof(WCHAR)),
                        static_cast<USHORT>(registryPath.size() * sizeof(WCHAR)),
                        reinterpret_cast<PWCH>(registryPath.data())};
    created->DriverInit = image.entry;
    status = image.entry(created, &path);
    if (!NT_SUCCESS(status))
    {
        // A driver whose entry fails is unloaded without its unload routine, as Windows does. The
        // pool does not know which driver allocated a block, so the leak check needs every other
        // driver gone (their blocks are live).
        if (NoDriverLoaded())
        {
            System::Current().GetPool().CheckNoLeaks("after a failed DriverEntry");
        }
        System::Current().Io().DeleteDriverObject(created);
        if (image.unload)
        {
            image.unload();
        }
        return status;
    }
    std::lock_guard<std::recursive_mutex> guard(m_lock);
    m_drivers[UpperCase(service)] = LoadedImage{created, std::move(image)};
    *driver = created;
    return STATUS_SUCCESS;
}

bool PnpManager::NoDriverLoaded()
{
    std::lock_guard<std::recursive_mutex> guard(m_lock);
    return m_drivers.empty();
}

void PnpManager::UnloadDriver(const std::u16string& service)
{
    LoadedImage loaded;
    {
        std::lock_guard<std::recursive_mutex> guard(m_lock);
        auto it = m_drivers.find(UpperCase(service));
        if (it == m_drivers.end())
        {
            return;
        }
        loaded = std::move(it->second);
        m_drivers.erase(it);
    }
    if (loaded.driver->DriverUnload != nullptr)
    {
        loaded.driver->DriverUnload(loaded.driver);
    }
    // As after a failed DriverEntry: checked once the last driver is gone.
    if (NoDriverLoaded())
    {
        std::string when = "when the driver " + ToUtf8(service) + " unloaded";
        System::Current().GetPool().CheckNoLeaks(when.c_str());
    }
    System::Current().Io().DeleteDriverObject(loaded.driver);
    if (loaded.image.unload)
    {
        loaded.image.unload();
    }
}

void PnpManager::UnloadAll()
{
    std::vector<std::u16string> services;
    {
        std::lock_guard<std::recursive_mutex> guard(m_lock);
        for (const auto& [key, loaded] : m_drivers)
        {
            services.push_back(System::Current().Io().ServiceName(loaded.driver));
        }
    }
    for (const auto& service : services)
    {
        UnloadDriver(service);
    }
}

// --- device keys and properties ---------------------------------------------------------------

NTSTATUS PnpManager::OpenDeviceRegistryKey(PDEVICE_OBJECT pdo, ULONG keyType, ACCESS_MASK desiredAccess,
                                           std::shared_ptr<RegistryKeyObject>* key)
{
    const DeviceNode& node = *NodeOf(pdo);
    std::u16string path;
    if (keyType == PLUGPLAY_REGKEY_DEVICE)
    {
        path = HardwareKeyPathOf(node);
    }
    else if (keyType == PLUGPLAY_REGKEY_DRIVER)
    {
        path = SoftwareKeyPathOf(node);
        if (path.empty())
        {
            return STATUS_INVALID_DEVICE_REQUEST;
        }
    }
    else
    {
        return STATUS_INVALID_PARAMETER;
    }
    return System::Current().GetConfigManager().CreateKey(KernelMode, nullptr, path, desiredAccess,
                                                          std::u16string_view(), REG_OPTION_NON_VOLATILE, key,
                                                          nullptr);
}

NTSTATUS PnpManager::GetDeviceProperty(PDEVICE_OBJECT pdo, DEVICE_REGISTRY_PROPERTY property,
                                       ULONG bufferLength, PVOID buffer, PULONG resultLength)
{
    const DeviceNode& node = *NodeOf(pdo);
    auto enumKey = System::Current().GetRegistry().OpenKey(EnumKeyPathOf(node));
    auto fromRegistry = [&](const char16_t* valueName) -> NTSTATUS {
        std::optional<RegistryValue> value = enumKey ? enumKey->GetValue(valueName) : std::nullopt;
        if (!value)
        {
            return STATUS_OBJECT_NAME_NOT_FOUND;
        }
        return CopyProperty(value->data.data(), value->data.size(), bufferLength, buffer, resultLength);
    };
    auto fromData = [&](const std::vector<uint8_t>& data) {
        return CopyProperty(data.data(), data.size(), bufferLength, buffer, resultLength);
    };
    switch (property)
    {
    case DevicePropertyHardwareID:
        return fromData(MultiString(node.hardwareIds));
    case DevicePropertyCompatibleIDs:
        return fromData(MultiString(node.compatibleIds));
    case DevicePropertyLocationInformation:
        return fromData(SingleString(node.location));
    case DevicePropertyEnumeratorName:
        return fromData(SingleString(node.instancePath.substr(0, node.instancePath.find(u'\\'))));
    case DevicePropertyPhysicalDeviceObjectName:
        return fromData(SingleString(IoManager::Info(pdo).name));
    case DevicePropertyDeviceDescription:
        return fromRegistry(u"DeviceDesc");
    case DevicePropertyFriendlyName:
        return fromRegistry(u"FriendlyName");
    case DevicePropertyDriverKeyName:
        return fromRegistry(u"Driver");
    case DevicePropertyClassName:
        return fromRegistry(u"Class");
    case DevicePropertyClassGuid:
        return fromRegistry(u"ClassGUID");
    case DevicePropertyManufacturer:
        return fromRegistry(u"Mfg");
    default:
        return STATUS_INVALID_PARAMETER_2;
    }
}

} // namespace winsim::kernel

using namespace winsim;
using namespace winsim::kernel;

namespace
{
DeviceNode* NodeOrStop(PDEVICE_OBJECT pdo, const char* routine)
{
    DeviceNode* node = pdo != nullptr ? IoManager::Info(pdo).node : nullptr;
    if (node == nullptr)
    {
        VerifierStop(VerifierRule::ObjectMisuse, "%s needs a physical device object, got %p", routine,
                     static_cast<void*>(pdo));
    }
    return node;
}

} // namespace

extern "C"
{

    NTSTATUS IoRegisterDeviceInterface(PDEVICE_OBJECT PhysicalDeviceObject, const GUID* InterfaceClassGuid,
                                       PUNICODE_STRING ReferenceString, PUNICODE_STRING SymbolicLinkName)
    {
        DeviceNode* node = NodeOrStop(PhysicalDeviceObject, "IoRegisterDeviceInterface");
        std::u16string reference;
        if (ReferenceString != nullptr && ReferenceString->Buffer != nullptr)
        {
            reference =
                std::u16string(View(ReferenceString->Buffer, ReferenceString->Length / sizeof(WCHAR)));
        }
        std::u16string link;
        NTSTATUS status = System::Current().Namespace().RegisterInterface(
            PhysicalDeviceObject, node->instancePath, *InterfaceClassGuid, reference, &link);
        if (!NT_SUCCESS(status))
        {
            return status;
        }
        // The caller frees the name with RtlFreeUnicodeString.
        size_t bytes = (link.size() + 1) * sizeof(WCHAR);
        auto* buffer = static_cast<PWCH>(System::Current().GetPool().Allocate(PagedPool, bytes, 'dPnP', false,
                                                                              "IoRegisterDeviceInterface"));
        if (buffer == nullptr)
        {
            return STATUS_INSUFFICIENT_RESOURCES;
        }
        memcpy(buffer, link.c_str(), bytes);
        SymbolicLinkName->Buffer = buffer;
        SymbolicLinkName->Length = static_cast<USHORT>(link.size() * sizeof(WCHAR));
        SymbolicLinkName->MaximumLength = static_cast<USHORT>(bytes);
        return STATUS_SUCCESS;
    }

    NTSTATUS IoSetDeviceInterfaceState(PUNICODE_STRING SymbolicLinkName, BOOLEAN Enable)
    {
        return System::Current().Namespace().SetInterfaceState(
            View(SymbolicLinkName->Buffer, SymbolicLinkName->Length / sizeof(WCHAR)), Enable != FALSE);
    }

    NTSTATUS IoOpenDeviceRegistryKey(PDEVICE_OBJECT DeviceObject, ULONG DevInstKeyType,
                                     ACCESS_MASK DesiredAccess, PHANDLE DeviceRegKey)
    {
        RequireIrqlAtMost(PASSIVE_LEVEL, "IoOpenDeviceRegistryKey");
        NodeOrStop(DeviceObject, "IoOpenDeviceRegistryKey");
        std::shared_ptr<RegistryKeyObject> key;
        NTSTATUS status =
            System::Current().Pnp().OpenDeviceRegistryKey(DeviceObject, DevInstKeyType, DesiredAccess, &key);
        if (NT_SUCCESS(status))
        {
            *DeviceRegKey = System::Current().Handles().Insert(std::move(key));
        }
        return status;
    }

    NTSTATUS IoGetDeviceProperty(PDEVICE_OBJECT DeviceObject, DEVICE_REGISTRY_PROPERTY DeviceProperty,
                                 ULONG BufferLength, PVOID PropertyBuffer, PULONG ResultLength)
    {
        RequireIrqlAtMost(PASSIVE_LEVEL, "IoGetDeviceProperty");
        NodeOrStop(DeviceObject, "IoGetDeviceProperty");
        return System::Current().Pnp().GetDeviceProperty(DeviceObject, DeviceProperty, BufferLength,
                                                         PropertyBuffer, ResultLength);
    }

} // extern "C"
