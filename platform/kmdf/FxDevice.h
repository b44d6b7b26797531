// The framework device (WDFDEVICE) and its initialisation (WDFDEVICE_INIT): device creation on
// top of the WDM device stack, the dispatch of IRPs to framework callbacks and queues, file
// objects, symbolic links and device interfaces (FxDevice.cpp), and Plug and Play and power as the
// power policy owner (FxPnpPower.cpp): start, removal and surprise removal, system sleep and
// wake, and idle power-down in the working state.
#pragma once

#include "FxLock.h"
#include "FxObject.h"

#include <map>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

// What WdfDeviceInit* calls record until WdfDeviceCreate uses it.
struct WDFDEVICE_INIT
{
    winsim::wdf::FxDriver* driver = nullptr;
    PDEVICE_OBJECT pdo = nullptr;
    std::optional<std::u16string> name;
    std::optional<std::u16string> sddl;
    bool exclusive = false;
    DEVICE_TYPE deviceType = FILE_DEVICE_UNKNOWN;
    WDF_DEVICE_IO_TYPE ioType = WdfDeviceIoBuffered;
    std::optional<WDF_OBJECT_ATTRIBUTES> requestAttributes;
    WDF_PNPPOWER_EVENT_CALLBACKS pnpPower{};
    bool powerPolicyOwner = true;
    WDF_FILEOBJECT_CONFIG fileConfig{};
    std::optional<WDF_OBJECT_ATTRIBUTES> fileAttributes;
    struct Preprocess
    {
        PFN_WDFDEVICE_WDM_IRP_PREPROCESS callback = nullptr;
        std::vector<UCHAR> minors;
    };
    std::map<UCHAR, Preprocess> preprocess;
    bool deviceCreated = false;
    winsim::wdf::FxDevice** createdDevice = nullptr;
};

namespace winsim::wdf
{

class FxIoQueue;
class FxRequest;
class FxFileObject;

class FxDevice : public FxObject
{
  public:
    FxDevice(FxDriver* driver, WDFDEVICE_INIT& init);

    static FxDevice* FromWdm(PDEVICE_OBJECT wdm);

    PDEVICE_OBJECT Fdo() const { return m_fdo; }
    PDEVICE_OBJECT Pdo() const { return m_pdo; }
    PDEVICE_OBJECT Lower() const { return m_lower; }
    FxSyncLock& SyncLock() { return m_sync; }
    FxIoQueue* DefaultQueue() const { return m_defaultQueue; }
    void SetDefaultQueue(FxIoQueue* queue) { m_defaultQueue = queue; }
    const WDFDEVICE_INIT& Init() const { return m_init; }

    NTSTATUS CreateWdm(const WDFDEVICE_INIT& init);
    NTSTATUS Dispatch(PIRP irp, bool allowPreprocess);

    NTSTATUS CreateSymbolicLink(PCUNICODE_STRING name);
    NTSTATUS CreateDeviceInterface(const GUID* guid, PCUNICODE_STRING reference);

    // Removal as Plug and Play drives it: the framework deletes the device (and, unless the
    // caller does it, detaches and deletes the WDM device object).
    void RemoveByFramework(bool deleteWdm = true);
    void DropFile(FxFileObject* file);
    // Requests that belong to this device and have not been completed.
    void TrackRequest(FxRequest* request, bool live);

    // --- Plug and Play and power (FxPnpPower.cpp) ---------------------------------------------
    bool IsPowerPolicyOwner() const { return m_init.powerPolicyOwner; }
    // The queues of the device, for the power transitions that stop and start them.
    void AddQueue(FxIoQueue* queue);
    void RemoveQueue(FxIoQueue* queue);
    // Whether the device is in D0 with its power-managed queues running.
    bool InWorkingState();
    // A request entered (or left) one of the power-managed queues: the device is not idle while
    // any is there. One that arrives while the device is idle in a low-power state brings it back
    // to D0. Any IRQL up to DISPATCH_LEVEL.
    void PowerReference();
    void PowerDereference();
    // What the framework knows of the device's power: its D-state, whether it is in a low-power
    // state because it was idle, the system power action under way.
    DEVICE_POWER_STATE PowerState();
    bool IdlePoweredDown();
    POWER_ACTION SystemPowerAction();
    bool IdleEnabled();
    NTSTATUS AssignS0IdleSettings(const WDF_DEVICE_POWER_POLICY_IDLE_SETTINGS& settings);
    NTSTATUS AssignSxWakeSettings(const WDF_DEVICE_POWER_POLICY_WAKE_SETTINGS& settings);
    NTSTATUS StopIdle(bool waitForD0);
    void ResumeIdle();

  protected:
    bool DriverMayDelete() const override { return false; }

  private:
    NTSTATUS DispatchCreate(PIRP irp);
    NTSTATUS DispatchCleanupClose(PIRP irp, bool close);
    NTSTATUS DispatchIo(PIRP irp);
    FxFileObject* FindFile(PFILE_OBJECT wdm);
    FxRequest* PendRequest(PIRP irp, FxFileObject* file, const char* routine);
    NTSTATUS DispatchPnp(PIRP irp);
    NTSTATUS DispatchPower(PIRP irp);
    NTSTATUS ForwardAndWait(PIRP irp);
    NTSTATUS ForwardAndForget(PIRP irp);
    NTSTATUS CompleteIrp(PIRP irp, NTSTATUS status, ULONG_PTR information = 0);

    WDFDEVICE_INIT m_init;
    PDEVICE_OBJECT m_fdo = nullptr;
    PDEVICE_OBJECT m_pdo = nullptr;
    PDEVICE_OBJECT m_lower = nullptr;
    FxSyncLock m_sync;
    FxIoQueue* m_defaultQueue = nullptr;
    std::vector<std::u16string> m_links;
    std::vector<std::u16string> m_interfaces;
    std::mutex m_lock;
    std::unordered_map<PFILE_OBJECT, FxFileObject*> m_files;
    std::vector<FxRequest*> m_requests;
    bool m_started = false; // the first start enabled the interfaces

    // --- Plug and Play and power (FxPnpPower.cpp) ---------------------------------------------
    enum class PnpState
    {
        Added,           // created, not started yet
        Started,         // hardware prepared; in D0 or a low-power state
        SurpriseRemoved, // gone from its bus; waits for the removal
        Failed,          // its start failed; waits for the removal
        Removed,
    };
    enum class PowerCause
    {
        None,   // in D0
        Idle,   // powered down after the idle time-out
        System, // powered down for a system sleep, hibernation or shutdown
    };
    struct IdleSettings
    {
        bool assigned = false;
        bool enabled = false;
        WDF_POWER_POLICY_S0_IDLE_CAPABILITIES caps = IdleCapsInvalid;
        DEVICE_POWER_STATE dxState = PowerDeviceD3; // resolved: never PowerDeviceMaximum
        ULONG timeoutMs = 0;
        WDF_POWER_POLICY_S0_IDLE_USER_CONTROL userControl = IdleUserControlInvalid;
        bool powerUpOnSystemWake = false;
        WDF_POWER_POLICY_IDLE_TIMEOUT_TYPE timeoutType = DriverManagedIdleTimeout;
    };
    struct WakeSettings
    {
        bool assigned = false;
        bool enabled = false;
        DEVICE_POWER_STATE dxState = PowerDeviceUnspecified;
        WDF_POWER_POLICY_SX_WAKE_USER_CONTROL userControl = WakeUserControlInvalid;
    };

    NTSTATUS QueryCapabilities();
    NTSTATUS StartDevice();
    void SurpriseRemove();
    void PrepareRemoval();
    void RemoveStarted();
    void ReleaseStarted();
    // The device leaves D0 for a D-state (its power-managed queues stop, purging when it is
    // removed), or returns to D0 from one. Called with m_transition held, at PASSIVE_LEVEL.
    NTSTATUS EnterD0(WDF_POWER_DEVICE_STATE previous);
    void LeaveD0(WDF_POWER_DEVICE_STATE target, bool purge, bool suspendFirst);
    void StopPowerManagedQueues(bool purge);
    void SetSystemPower(SYSTEM_POWER_STATE state, POWER_ACTION action);
    // Arms or disarms the idle timer as the device's state now asks. Called with m_stateLock held.
    void EvaluateIdleLocked();
    void QueuePowerWork(bool powerUp);
    static VOID IdleTimerDpc(PKDPC dpc, PVOID context, PVOID, PVOID);
    static VOID PowerWork(PDEVICE_OBJECT, PVOID context);
    void IdlePowerDown();
    void IdlePowerUp();
    // Cancels the idle timer and waits for the power work items queued so far.
    void DrainPowerWork();
    // A DWORD of the device's hardware key (or of a subkey of it); none when absent. PASSIVE_LEVEL.
    std::optional<ULONG> ReadHardwareDword(const wchar_t* subkey, const wchar_t* name);

    // m_transition serialises the transitions (start, removal, system and idle power changes); the
    // driver's PnP and power callbacks run under it, at PASSIVE_LEVEL. m_stateLock guards the
    // fields below it and is never held while the framework calls out.
    std::mutex m_transition;
    std::vector<FxIoQueue*> m_queues; // guarded by m_lock
    std::mutex m_stateLock;
    PnpState m_pnp = PnpState::Added;
    DEVICE_POWER_STATE m_power = PowerDeviceD3;
    WDF_POWER_DEVICE_STATE m_lowState = WdfPowerDeviceD3Final; // the state D0 was left for
    PowerCause m_powerCause = PowerCause::System;
    POWER_ACTION m_systemAction = PowerActionNone;
    bool m_selfManagedIoStarted = false; // touched under m_transition only
    LONG m_pendingIo = 0;                // requests in power-managed queues
    LONG m_stopIdle = 0;                 // WdfDeviceStopIdle references
    bool m_timerArmed = false;
    ULONGLONG m_idleDeadline = 0; // interrupt time at which the armed idle timer expires
    bool m_systemAsleep = false;  // the system left S0
    LONG m_powerWork = 0;         // queued power work items not finished yet
    bool m_powerUpQueued = false;
    KEVENT m_powerWorkDone; // signalled while m_powerWork is 0
    IdleSettings m_idle;
    WakeSettings m_wake;
    DEVICE_CAPABILITIES m_caps{};
    bool m_capsKnown = false;
    KTIMER m_idleTimer;
    KDPC m_idleDpc;
    // The resource lists hardware preparation receives: a USB device has no resources.
    struct ResourceList
    {
        ULONG count = 0;
    } m_resourcesRaw, m_resourcesTranslated;
};

// The nearest device above an object in its parent chain.
FxDevice* DeviceAbove(FxObject* object);

} // namespace winsim::wdf
