// The Plug and Play manager: device nodes reported by bus drivers, their registry keys, the
// installation of a driver for them, loading and unloading driver images, AddDevice, start and
// removal of device stacks.
#pragma once

#include <wdm.h>

#include "PnpEvents.h"

#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace winsim::kernel
{

class RegistryKeyObject;

enum class DeviceNodeState
{
    Enumerated, // reported by its bus, no driver yet
    Added,      // the function driver's AddDevice succeeded
    Started,
    Failed,  // installation, driver load, AddDevice or the start failed
    Removed, // gone from its bus, or removed in an orderly way
    // On its bus, without a driver stack, because a user disabled it (ConfigFlags or the current
    // profile's CSConfigFlags carry the disabled bit); problem CM_PROB_DISABLED for user mode.
    Disabled,
};

const char* DeviceNodeStateName(DeviceNodeState state);

struct DeviceNode
{
    std::u16string instancePath; // USB\VID_2B4E&PID_0730\0001
    std::vector<std::u16string> hardwareIds;
    std::vector<std::u16string> compatibleIds;
    std::u16string description; // as the bus reports it
    std::u16string location;
    PDEVICE_OBJECT pdo = nullptr;
    std::u16string service; // function driver's service, once installed
    DeviceNodeState state = DeviceNodeState::Enumerated;
    NTSTATUS problem = STATUS_SUCCESS; // why the node failed
    // Surprise-removed while files were open on its stack: IRP_MN_REMOVE_DEVICE waits for the
    // last of them to close. Guarded by the Plug and Play manager's lock.
    bool removePending = false;
};

// A loaded driver image: its entry point, and how to let go of the image again.
struct DriverImage
{
    PDRIVER_INITIALIZE entry = nullptr;
    std::function<void()> unload;
};

// Why a removal that Plug and Play asked for was refused (see the seam's PLUGPLAY_VETO).
struct PnpVeto
{
    syscall::PLUGPLAY_VETO_KIND kind = syscall::PlugPlayVetoNone;
    std::u16string name; // the device's instance path
};

class PnpManager
{
  public:
    // Loads the image a service's ImagePath names (a Windows path).
    using ImageLoader = std::function<NTSTATUS(const std::u16string& imagePath, DriverImage* image)>;
    // Installs a driver for a new node: chooses the service and writes the node's keys. Returns
    // STATUS_NOT_FOUND when no installed driver package matches.
    using Installer = std::function<NTSTATUS(DeviceNode& node)>;

    void SetImageLoader(ImageLoader loader);
    void SetInstaller(Installer installer);

    // A bus reports a new physical device object. The node is installed when needed, its driver
    // loaded and its AddDevice called. Returns the node (also when a step failed; see its state).
    DeviceNode* ReportDevice(PDEVICE_OBJECT pdo, std::u16string instancePath,
                             std::vector<std::u16string> hardwareIds,
                             std::vector<std::u16string> compatibleIds, std::u16string description,
                             std::u16string location);
    // A device of the machine's own whose drivers the simulation does not run (a built-in serial
    // port, the USB host controller and its root hub): its node and the Enum key values the bus
    // reports, Started at once, with no driver installed, loaded or called. Its physical device
    // object answers the requests Plug and Play and the power manager send it. PASSIVE_LEVEL.
    DeviceNode* ReportBuiltInDevice(PDEVICE_OBJECT pdo, std::u16string instancePath,
                                    std::vector<std::u16string> hardwareIds,
                                    std::vector<std::u16string> compatibleIds, std::u16string description,
                                    std::u16string location);
    // The machine shuts down: a built-in device's physical device object goes.
    void ForgetBuiltInDevice(DeviceNode* node);
    // Sends IRP_MN_START_DEVICE to the node's stack. When a driver fails it, the node fails with
    // that status as its problem and its stack is removed (IRP_MN_REMOVE_DEVICE), as Windows does;
    // the driver unloads when it has no device left.
    NTSTATUS StartDevice(DeviceNode* node);
    // The device left its bus: surprise removal (when started), then removal of the stack, which
    // waits until no file is open on the stack any more. The driver is unloaded when it has no
    // device left.
    void RemoveDevice(DeviceNode* node);
    // An orderly removal (a user's "safely remove"): IRP_MN_QUERY_REMOVE_DEVICE, which a driver may
    // refuse (IRP_MN_CANCEL_REMOVE_DEVICE follows, and its status is returned), then
    // IRP_MN_REMOVE_DEVICE. The device stays on its bus, without a driver stack. PASSIVE_LEVEL.
    NTSTATUS RemoveOrderly(DeviceNode* node);
    // Device Manager's disable: the node is marked disabled (ConfigFlags when global, the current
    // profile's CSConfigFlags otherwise), then its stack is removed as in RemoveOrderly, after a
    // check that no handle is open on it; the node stays present, Disabled. A refused removal
    // returns STATUS_PLUGPLAY_QUERY_VETOED with *veto and leaves the stack as it was, the mark kept
    // for the machine's next start. PASSIVE_LEVEL.
    NTSTATUS DisableDevice(DeviceNode* node, bool global, PnpVeto* veto);
    // Device Manager's enable: the mark of that scope is cleared; when no mark is left, a Disabled
    // node gets AddDevice and its start again. PASSIVE_LEVEL.
    NTSTATUS EnableDevice(DeviceNode* node, bool global);
    // A property change: a started node's stack is removed (refusals as for DisableDevice), then
    // added and started again. PASSIVE_LEVEL.
    NTSTATUS RestartDevice(DeviceNode* node, PnpVeto* veto);
    // Whether the node's keys mark it disabled (globally or in the current profile).
    static bool MarkedDisabled(const DeviceNode& node);
    // The node's status for user mode: DN_* flags and a CM_PROB_* problem code.
    void DeviceStatus(const DeviceNode& node, ULONG* status, ULONG* problem);

    // The last file open on a device stack closed (the I/O manager tells, with the bottom of the
    // stack): a removal waiting for it goes ahead. True when the stack was removed.
    bool StackClosed(PDEVICE_OBJECT bottom);
    // A deleted device object of a driver was freed (its last file closed): a Plug and Play driver
    // left without device objects unloads.
    void DeviceObjectReleased(PDRIVER_OBJECT driver);

    std::vector<DeviceNode*> Nodes();
    // Whether a node's device is on its bus now: it has its physical device object, and is
    // neither removed safely nor waiting (pulled out) for its removal.
    bool IsPresent(const DeviceNode& node);
    // The instance paths of the present nodes (or of every node), in the order they arrived.
    std::vector<std::u16string> InstancePaths(bool presentOnly);
    DeviceNode* NodeOf(PDEVICE_OBJECT pdo);
    DeviceNode* NodeByInstancePath(std::u16string_view instancePath);

    PDRIVER_OBJECT LoadedDriver(std::u16string_view service);
    NTSTATUS LoadDriver(const std::u16string& service, PDRIVER_OBJECT* driver);
    void UnloadDriver(const std::u16string& service);
    // Unloads every loaded driver (machine shutdown, after the devices are gone).
    void UnloadAll();

    // IoOpenDeviceRegistryKey for a physical device object: its node's hardware key
    // (PLUGPLAY_REGKEY_DEVICE, created when missing) or its driver key (PLUGPLAY_REGKEY_DRIVER;
    // STATUS_INVALID_DEVICE_REQUEST while the node has no driver installed), opened for a
    // kernel-mode caller. PASSIVE_LEVEL.
    NTSTATUS OpenDeviceRegistryKey(PDEVICE_OBJECT pdo, ULONG keyType, ACCESS_MASK desiredAccess,
                                   std::shared_ptr<RegistryKeyObject>* key);
    // IoGetDeviceProperty for a physical device object: what the bus reported for its node, or
    // what setup wrote to its Enum key. *resultLength is always the property's size; a buffer too
    // small for it gets nothing (STATUS_BUFFER_TOO_SMALL). PASSIVE_LEVEL.
    NTSTATUS GetDeviceProperty(PDEVICE_OBJECT pdo, DEVICE_REGISTRY_PROPERTY property, ULONG bufferLength,
                               PVOID buffer, PULONG resultLength);

    // What user mode hears of devices coming and going.
    PnpEventQueue& Events() { return m_events; }

    static std::u16string EnumKeyPathOf(const DeviceNode& node);
    static std::u16string HardwareKeyPathOf(const DeviceNode& node);
    // The driver (software) key named by the node's Driver value, or empty when not installed.
    static std::u16string SoftwareKeyPathOf(const DeviceNode& node);

  private:
    NTSTATUS AddDeviceToNode(DeviceNode* node);
    bool NoDriverLoaded();
    // IRP_MN_REMOVE_DEVICE to the node's stack; the bus deletes a physical device object that
    // left it. The driver unloads when it has no device left. A node that had started tells user
    // mode its removal is complete.
    void FinishRemoval(DeviceNode* node, bool wasStarted);
    void UnloadIfUnused(const std::u16string& service);
    // The removal of a started stack that a user asked for: refused while a handle is open on it,
    // or when its driver fails IRP_MN_QUERY_REMOVE_DEVICE; otherwise removed, the node left in
    // `after`, user mode told the removal is complete.
    NTSTATUS RemoveStackOnRequest(DeviceNode* node, DeviceNodeState after, PnpVeto* veto);
    // AddDevice and the start of a present node without a stack; the node's state tells how it went.
    void AddAndStart(DeviceNode* node);
    // Sets or clears the disabled mark of a scope.
    static void MarkDisabled(const DeviceNode& node, bool global, bool disabled);
    NTSTATUS SendPnpIrp(PDEVICE_OBJECT device, UCHAR minor);

    struct LoadedImage
    {
        PDRIVER_OBJECT driver;
        DriverImage image;
    };

    std::recursive_mutex m_lock;
    std::vector<std::unique_ptr<DeviceNode>> m_nodes;
    std::map<std::u16string, LoadedImage> m_drivers; // upper-cased service name
    ImageLoader m_loader;
    Installer m_installer;
    PnpEventQueue m_events;
};

} // namespace winsim::kernel
