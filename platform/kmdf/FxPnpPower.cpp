// Plug and Play and power in the framework, for a device whose driver owns its power policy: the
// start and removal sequences, surprise removal, the system's sleep, hibernation and shutdown
// turned into the device's power transitions, idle power-down in the working state and the wake
// from it, and WdfDeviceAssignS0IdleSettings, WdfDeviceAssignSxWakeSettings,
// WdfDeviceGetSystemPowerAction, WdfDeviceStopIdle and WdfDeviceResumeIdle.
//
// The sequences are KMDF's ("PnP and Power Management Scenarios"):
//   start:            EvtDevicePrepareHardware, EvtDeviceD0Entry(D3Final), power-managed queues
//                     started, EvtDeviceSelfManagedIoInit
//   leaving D0:       power-managed queues stopped (EvtIoStop, WdfRequestStopActionSuspend),
//                     EvtDeviceSelfManagedIoSuspend, EvtDeviceD0Exit(target)
//   returning to D0:  EvtDeviceD0Entry(previous), queues started (EvtIoResume for acknowledged
//                     requests), EvtDeviceSelfManagedIoRestart
//   orderly removal:  EvtDeviceSelfManagedIoSuspend, queues purged (EvtIoStop with
//                     WdfRequestStopActionPurge), EvtDeviceD0Exit(D3Final), EvtDeviceReleaseHardware,
//                     EvtDeviceSelfManagedIoFlush, EvtDeviceSelfManagedIoCleanup
//   surprise removal: EvtDeviceSurpriseRemoval, then (in D0) queues purged,
//                     EvtDeviceSelfManagedIoSuspend, EvtDeviceD0Exit(D3Final); then
//                     EvtDeviceReleaseHardware, EvtDeviceSelfManagedIoFlush and -Cleanup
//
// Threads: Plug and Play and system power IRPs arrive at PASSIVE_LEVEL on the thread of the Plug
// and Play or power manager; the idle timer's DPC runs on a DPC thread and hands the power-down to a
// system worker thread (IoQueueWorkItem), as does a request that wakes an idle device. Every
// transition runs under m_transition at PASSIVE_LEVEL.
#include "FxDevice.h"

#include "FxDriver.h"
#include "FxIoQueue.h"
#include "FxVerifier.h"

#include <string.h>

namespace winsim::wdf
{

namespace
{

// The idle time-out a driver gets with IdleTimeoutDefaultValue.
constexpr ULONG DefaultIdleTimeoutMs = 5000;

WDF_POWER_DEVICE_STATE FrameworkStateOf(DEVICE_POWER_STATE state)
{
    switch (state)
    {
    case PowerDeviceD1:
        return WdfPowerDeviceD1;
    case PowerDeviceD2:
        return WdfPowerDeviceD2;
    default:
        return WdfPowerDeviceD3;
    }
}

DEVICE_POWER_STATE DeviceStateOf(WDF_POWER_DEVICE_STATE state)
{
    switch (state)
    {
    case WdfPowerDeviceD0:
        return PowerDeviceD0;
    case WdfPowerDeviceD1:
        return PowerDeviceD1;
    case WdfPowerDeviceD2:
        return PowerDeviceD2;
    default:
        return PowerDeviceD3;
    }
}

NTSTATUS SignalSent(PDEVICE_OBJECT, PIRP, PVOID context)
{
    KeSetEvent(static_cast<PKEVENT>(context), IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

// A power work item and what it is to do.
struct PowerWorkItem
{
    FxDevice* device;
    bool powerUp;
    PIO_WORKITEM item;
};

UNICODE_STRING Name(const wchar_t* text)
{
    // WCHAR is 16 bits on the machine: the host's wcslen does not apply.
    size_t length = 0;
    while (text[length] != 0)
    {
        ++length;
    }
    UNICODE_STRING name;
    name.Buffer = const_cast<wchar_t*>(text);
    name.Length = static_cast<USHORT>(length * sizeof(wchar_t));
    name.MaximumLength = name.Length;
    return name;
}

} // namespace

// --- bookkeeping shared with the queues ------------------------------------------------------

void FxDevice::AddQueue(FxIoQueue* queue)
{
    std::lock_guard<std::mutex> guard(m_lock);
    m_queues.push_back(queue);
}

void FxDevice::RemoveQueue(FxIoQueue* queue)
{
    std::lock_guard<std::mutex> guard(m_lock);
    std::erase(m_queues, queue);
}

bool FxDevice::InWorkingState()
{
    std::lock_guard<std::mutex> guard(m_stateLock);
    return m_power == PowerDeviceD0 && m_powerCause == PowerCause::None;
}

DEVICE_POWER_STATE FxDevice::PowerState()
{
    std::lock_guard<std::mutex> guard(m_stateLock);
    return m_power;
}

bool FxDevice::IdlePoweredDown()
{
    std::lock_guard<std::mutex> guard(m_stateLock);
    return m_powerCause == PowerCause::Idle && m_power != PowerDeviceD0;
}

POWER_ACTION FxDevice::SystemPowerAction()
{
    std::lock_guard<std::mutex> guard(m_stateLock);
    return m_systemAction;
}

bool FxDevice::IdleEnabled()
{
    std::lock_guard<std::mutex> guard(m_stateLock);
    return m_idle.enabled;
}

void FxDevice::PowerReference()
{
    bool powerUp = false;
    {
        std::lock_guard<std::mutex> guard(m_stateLock);
        ++m_pendingIo;
        EvaluateIdleLocked();
        if (m_pnp == PnpState::Started && m_powerCause == PowerCause::Idle && !m_systemAsleep &&
            !m_powerUpQueued)
        {
            m_powerUpQueued = true;
            powerUp = true;
        }
    }
    if (powerUp)
    {
        QueuePowerWork(true);
    }
}

void FxDevice::PowerDereference()
{
    std::lock_guard<std::mutex> guard(m_stateLock);
    --m_pendingIo;
    EvaluateIdleLocked();
}

// --- the idle timer ------------------------------------------------------------------------

void FxDevice::EvaluateIdleLocked()
{
    bool idle = m_idle.enabled && m_pnp == PnpState::Started && m_power == PowerDeviceD0 &&
                m_powerCause == PowerCause::None && m_pendingIo == 0 && m_stopIdle == 0;
    if (idle && !m_timerArmed)
    {
        m_timerArmed = true;
        ULONGLONG span = static_cast<ULONGLONG>(m_idle.timeoutMs) * 10000;
        m_idleDeadline = KeQueryInterruptTime() + span;
        LARGE_INTEGER due;
        due.QuadPart = -static_cast<LONGLONG>(span);
        KeSetTimer(&m_idleTimer, due, &m_idleDpc);
    }
    else if (!idle && m_timerArmed)
    {
        m_timerArmed = false;
        KeCancelTimer(&m_idleTimer);
    }
}

VOID FxDevice::IdleTimerDpc(PKDPC, PVOID context, PVOID, PVOID)
{
    auto* device = static_cast<FxDevice*>(context);
    {
        std::lock_guard<std::mutex> guard(device->m_stateLock);
        // A DPC of a timer since cancelled, or re-armed for a later deadline, has nothing to do.
        if (!device->m_timerArmed || KeQueryInterruptTime() < device->m_idleDeadline)
        {
            return;
        }
        device->m_timerArmed = false;
    }
    device->QueuePowerWork(false);
}

void FxDevice::QueuePowerWork(bool powerUp)
{
    PIO_WORKITEM item = IoAllocateWorkItem(m_fdo);
    if (item == nullptr)
    {
        std::lock_guard<std::mutex> guard(m_stateLock);
        m_powerUpQueued = false;
        return;
    }
    {
        std::lock_guard<std::mutex> guard(m_stateLock);
        if (m_powerWork++ == 0)
        {
            KeClearEvent(&m_powerWorkDone);
        }
    }
    IoQueueWorkItem(item, PowerWork, DelayedWorkQueue, new PowerWorkItem{this, powerUp, item});
}

VOID FxDevice::PowerWork(PDEVICE_OBJECT, PVOID context)
{
    auto* work = static_cast<PowerWorkItem*>(context);
    FxDevice* device = work->device;
    if (work->powerUp)
    {
        device->IdlePowerUp();
    }
    else
    {
        device->IdlePowerDown();
    }
    IoFreeWorkItem(work->item);
    delete work;
    std::lock_guard<std::mutex> guard(device->m_stateLock);
    if (--device->m_powerWork == 0)
    {
        KeSetEvent(&device->m_powerWorkDone, IO_NO_INCREMENT, FALSE);
    }
}

void FxDevice::DrainPowerWork()
{
    KeCancelTimer(&m_idleTimer);
    KeFlushQueuedDpcs();
    KeWaitForSingleObject(&m_powerWorkDone, Executive, KernelMode, FALSE, nullptr);
}

// The idle time-out passed: the device goes to its idle D-state. (For IdleUsbSelectiveSuspend
// KMDF first submits the USB idle notification to the hub and powers down in its callback; the
// simulation powers down directly.)
void FxDevice::IdlePowerDown()
{
    std::lock_guard<std::mutex> transition(m_transition);
    WDF_POWER_DEVICE_STATE target;
    {
        std::lock_guard<std::mutex> guard(m_stateLock);
        bool idle = m_idle.enabled && m_pnp == PnpState::Started && m_power == PowerDeviceD0 &&
                    m_powerCause == PowerCause::None && m_pendingIo == 0 && m_stopIdle == 0 &&
                    !m_timerArmed && !m_systemAsleep;
        if (!idle)
        {
            return;
        }
        m_powerCause = PowerCause::Idle;
        target = FrameworkStateOf(m_idle.dxState);
    }
    LeaveD0(target, false, false);
}

// A request (or WdfDeviceStopIdle, or the idle setting turned off) wants the idle device back in D0.
void FxDevice::IdlePowerUp()
{
    std::lock_guard<std::mutex> transition(m_transition);
    WDF_POWER_DEVICE_STATE previous;
    {
        std::lock_guard<std::mutex> guard(m_stateLock);
        m_powerUpQueued = false;
        if (m_pnp != PnpState::Started || m_powerCause != PowerCause::Idle || m_power == PowerDeviceD0 ||
            m_systemAsleep)
        {
            return;
        }
        previous = m_lowState;
    }
    EnterD0(previous);
}

// --- transitions -----------------------------------------------------------------------------

void FxDevice::StopPowerManagedQueues(bool purge)
{
    std::vector<FxIoQueue*> queues;
    {
        std::lock_guard<std::mutex> guard(m_lock);
        queues = m_queues;
    }
    for (FxIoQueue* queue : queues)
    {
        if (queue->PowerManaged())
        {
            queue->PowerStop(purge);
        }
    }
}

NTSTATUS FxDevice::EnterD0(WDF_POWER_DEVICE_STATE previous)
{
    auto self = reinterpret_cast<WDFDEVICE>(Handle());
    const WDF_PNPPOWER_EVENT_CALLBACKS& callbacks = m_init.pnpPower;
    NTSTATUS status = STATUS_SUCCESS;
    if (callbacks.EvtDeviceD0Entry != nullptr)
    {
        status = callbacks.EvtDeviceD0Entry(self, previous);
        if (!NT_SUCCESS(status))
        {
            return status;
        }
    }
    {
        std::lock_guard<std::mutex> guard(m_stateLock);
        m_power = PowerDeviceD0;
        m_powerCause = PowerCause::None;
    }
    std::vector<FxIoQueue*> queues;
    {
        std::lock_guard<std::mutex> guard(m_lock);
        queues = m_queues;
    }
    for (FxIoQueue* queue : queues)
    {
        if (queue->PowerManaged())
        {
            queue->PowerStart();
        }
    }
    if (!m_selfManagedIoStarted)
    {
        m_selfManagedIoStarted = true;
        if (callbacks.EvtDeviceSelfManagedIoInit != nullptr)
        {
            status = callbacks.EvtDeviceSelfManagedIoInit(self);
        }
    }
    else if (callbacks.EvtDeviceSelfManagedIoRestart != nullptr)
    {
        status = callbacks.EvtDeviceSelfManagedIoRestart(self);
    }
    std::lock_guard<std::mutex> guard(m_stateLock);
    EvaluateIdleLocked();
    return status;
}

void FxDevice::LeaveD0(WDF_POWER_DEVICE_STATE target, bool purge, bool suspendFirst)
{
    auto self = reinterpret_cast<WDFDEVICE>(Handle());
    const WDF_PNPPOWER_EVENT_CALLBACKS& callbacks = m_init.pnpPower;
    auto suspend = [&]() {
        if (m_selfManagedIoStarted && callbacks.EvtDeviceSelfManagedIoSuspend != nullptr)
        {
            callbacks.EvtDeviceSelfManagedIoSuspend(self);
        }
    };
    {
        std::lock_guard<std::mutex> guard(m_stateLock);
        EvaluateIdleLocked();
    }
    if (suspendFirst)
    {
        suspend();
    }
    StopPowerManagedQueues(purge);
    if (!suspendFirst)
    {
        suspend();
    }
    if (callbacks.EvtDeviceD0Exit != nullptr)
    {
        callbacks.EvtDeviceD0Exit(self, target);
    }
    std::lock_guard<std::mutex> guard(m_stateLock);
    m_power = DeviceStateOf(target);
    m_lowState = target;
}

// The bus started the device: the driver prepares the hardware and the device enters D0. A failure
// undoes what was done, and the start fails with it.
NTSTATUS FxDevice::StartDevice()
{
    RequireIrqlAtMost(PASSIVE_LEVEL, "the device's start");
    std::lock_guard<std::mutex> transition(m_transition);
    auto self = reinterpret_cast<WDFDEVICE>(Handle());
    const WDF_PNPPOWER_EVENT_CALLBACKS& callbacks = m_init.pnpPower;
    NTSTATUS status = STATUS_SUCCESS;
    if (callbacks.EvtDevicePrepareHardware != nullptr)
    {
        status = callbacks.EvtDevicePrepareHardware(self, reinterpret_cast<WDFCMRESLIST>(&m_resourcesRaw),
                                                    reinterpret_cast<WDFCMRESLIST>(&m_resourcesTranslated));
    }
    if (NT_SUCCESS(status))
    {
        {
            std::lock_guard<std::mutex> guard(m_stateLock);
            m_pnp = PnpState::Started;
        }
        status = EnterD0(WdfPowerDeviceD3Final);
        if (!NT_SUCCESS(status))
        {
            // D0 entry failed (the device never reached D0), or self-managed I/O did not start
            // (the device leaves D0 again).
            if (InWorkingState())
            {
                LeaveD0(WdfPowerDeviceD3Final, true, false);
            }
            if (callbacks.EvtDeviceReleaseHardware != nullptr)
            {
                callbacks.EvtDeviceReleaseHardware(self,
                                                   reinterpret_cast<WDFCMRESLIST>(&m_resourcesTranslated));
            }
        }
    }
    std::lock_guard<std::mutex> guard(m_stateLock);
    m_pnp = NT_SUCCESS(status) ? PnpState::Started : PnpState::Failed;
    EvaluateIdleLocked();
    return status;
}

// Releases what the start prepared, after the device left D0 for good.
void FxDevice::ReleaseStarted()
{
    auto self = reinterpret_cast<WDFDEVICE>(Handle());
    const WDF_PNPPOWER_EVENT_CALLBACKS& callbacks = m_init.pnpPower;
    if (callbacks.EvtDeviceReleaseHardware != nullptr)
    {
        callbacks.EvtDeviceReleaseHardware(self, reinterpret_cast<WDFCMRESLIST>(&m_resourcesTranslated));
    }
    if (m_selfManagedIoStarted)
    {
        if (callbacks.EvtDeviceSelfManagedIoFlush != nullptr)
        {
            callbacks.EvtDeviceSelfManagedIoFlush(self);
        }
        if (callbacks.EvtDeviceSelfManagedIoCleanup != nullptr)
        {
            callbacks.EvtDeviceSelfManagedIoCleanup(self);
        }
    }
}

void FxDevice::SurpriseRemove()
{
    RequireIrqlAtMost(PASSIVE_LEVEL, "surprise removal");
    bool started = false;
    {
        std::lock_guard<std::mutex> guard(m_stateLock);
        started = m_pnp == PnpState::Started;
        if (m_pnp != PnpState::Removed)
        {
            m_pnp = PnpState::SurpriseRemoved;
        }
        EvaluateIdleLocked();
    }
    if (m_init.pnpPower.EvtDeviceSurpriseRemoval != nullptr)
    {
        m_init.pnpPower.EvtDeviceSurpriseRemoval(reinterpret_cast<WDFDEVICE>(Handle()));
    }
    if (!started)
    {
        return;
    }
    std::lock_guard<std::mutex> transition(m_transition);
    bool inD0 = PowerState() == PowerDeviceD0;
    if (inD0)
    {
        LeaveD0(WdfPowerDeviceD3Final, true, false);
    }
    else
    {
        StopPowerManagedQueues(true);
    }
    ReleaseStarted();
}

void FxDevice::RemoveStarted()
{
    std::lock_guard<std::mutex> transition(m_transition);
    if (PowerState() == PowerDeviceD0)
    {
        LeaveD0(WdfPowerDeviceD3Final, true, true);
    }
    else
    {
        StopPowerManagedQueues(true);
    }
    ReleaseStarted();
}

// IRP_MN_REMOVE_DEVICE: an orderly removal of a started device runs its power-down and release
// sequence first; a surprise-removed or never started one has nothing left to undo.
void FxDevice::PrepareRemoval()
{
    bool started = false;
    {
        std::lock_guard<std::mutex> guard(m_stateLock);
        started = m_pnp == PnpState::Started;
        m_pnp = PnpState::Removed;
        EvaluateIdleLocked();
    }
    DrainPowerWork();
    if (started)
    {
        RemoveStarted();
    }
}

void FxDevice::SetSystemPower(SYSTEM_POWER_STATE state, POWER_ACTION action)
{
    RequireIrqlAtMost(PASSIVE_LEVEL, "a system power transition");
    std::lock_guard<std::mutex> transition(m_transition);
    if (state == PowerSystemWorking)
    {
        bool powerUp = false;
        WDF_POWER_DEVICE_STATE previous = WdfPowerDeviceD3;
        {
            std::lock_guard<std::mutex> guard(m_stateLock);
            m_systemAsleep = false;
            if (m_pnp == PnpState::Started && m_power != PowerDeviceD0)
            {
                // A device the system took down returns; one that was idle before stays in its
                // low-power state unless the driver asked otherwise or a request waits for it.
                powerUp =
                    m_powerCause == PowerCause::System ||
                    (m_powerCause == PowerCause::Idle && (m_idle.powerUpOnSystemWake || m_pendingIo > 0));
                previous = m_lowState;
            }
        }
        if (powerUp)
        {
            EnterD0(previous);
        }
        std::lock_guard<std::mutex> guard(m_stateLock);
        m_systemAction = PowerActionNone;
        EvaluateIdleLocked();
        return;
    }
    bool leave = false;
    {
        std::lock_guard<std::mutex> guard(m_stateLock);
        m_systemAsleep = true;
        m_systemAction = action;
        if (m_pnp == PnpState::Started && m_power == PowerDeviceD0)
        {
            leave = true;
            m_powerCause = PowerCause::System;
        }
        EvaluateIdleLocked();
    }
    if (!leave)
    {
        return;
    }
    WDF_POWER_DEVICE_STATE target = WdfPowerDeviceD3;
    if (action == PowerActionShutdown || action == PowerActionShutdownOff ||
        action == PowerActionShutdownReset)
    {
        target = WdfPowerDeviceD3Final;
    }
    else if (m_capsKnown && state < PowerSystemMaximum && m_caps.DeviceState[state] > PowerDeviceD0 &&
             m_caps.DeviceState[state] < PowerDeviceMaximum)
    {
        target = FrameworkStateOf(m_caps.DeviceState[state]);
    }
    LeaveD0(target, false, false);
}

// --- IRPs ------------------------------------------------------------------------------------

// Learns the device's capabilities from its bus, as KMDF does when the device is added: whether
// and from which D-state it can wake, and the D-state for each system state.
NTSTATUS FxDevice::QueryCapabilities()
{
    PIRP irp = IoAllocateIrp(m_lower->StackSize, FALSE);
    if (irp == nullptr)
    {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    DEVICE_CAPABILITIES capabilities;
    memset(&capabilities, 0, sizeof(capabilities));
    capabilities.Size = sizeof(DEVICE_CAPABILITIES);
    capabilities.Version = 1;
    capabilities.Address = static_cast<ULONG>(-1);
    capabilities.UINumber = static_cast<ULONG>(-1);
    irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = IRP_MJ_PNP;
    next->MinorFunction = IRP_MN_QUERY_CAPABILITIES;
    next->Parameters.DeviceCapabilities.Capabilities = &capabilities;
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    IoSetCompletionRoutine(irp, SignalSent, &done, TRUE, TRUE, TRUE);
    IoCallDriver(m_lower, irp);
    KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
    NTSTATUS status = irp->IoStatus.Status;
    IoFreeIrp(irp);
    if (NT_SUCCESS(status))
    {
        std::lock_guard<std::mutex> guard(m_stateLock);
        m_caps = capabilities;
        m_capsKnown = true;
    }
    return status;
}

NTSTATUS FxDevice::DispatchPower(PIRP irp)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    if (stack->MinorFunction == IRP_MN_SET_POWER && stack->Parameters.Power.Type == SystemPowerState)
    {
        SYSTEM_POWER_STATE state = stack->Parameters.Power.State.SystemState;
        POWER_ACTION action = stack->Parameters.Power.ShutdownType;
        if (state == PowerSystemWorking)
        {
            // On the way up the bus powers first, then the device returns to D0.
            NTSTATUS status = ForwardAndWait(irp);
            SetSystemPower(state, action);
            return CompleteIrp(irp, status, irp->IoStatus.Information);
        }
        // On the way down the device leaves D0 before the bus.
        SetSystemPower(state, action);
        irp->IoStatus.Status = STATUS_SUCCESS;
    }
    return ForwardAndForget(irp);
}

// --- power policy settings -------------------------------------------------------------------

std::optional<ULONG> FxDevice::ReadHardwareDword(const wchar_t* subkey, const wchar_t* name)
{
    if (KeGetCurrentIrql() != PASSIVE_LEVEL)
    {
        return std::nullopt;
    }
    HANDLE hardware = nullptr;
    if (!NT_SUCCESS(IoOpenDeviceRegistryKey(m_pdo, PLUGPLAY_REGKEY_DEVICE, KEY_READ, &hardware)))
    {
        return std::nullopt;
    }
    HANDLE key = hardware;
    if (subkey != nullptr)
    {
        UNICODE_STRING subkeyName = Name(subkey);
        OBJECT_ATTRIBUTES attributes;
        InitializeObjectAttributes(&attributes, &subkeyName, OBJ_KERNEL_HANDLE | OBJ_CASE_INSENSITIVE,
                                   hardware, nullptr);
        if (!NT_SUCCESS(ZwOpenKey(&key, KEY_READ, &attributes)))
        {
            key = nullptr;
        }
    }
    std::optional<ULONG> value;
    if (key != nullptr)
    {
        UNICODE_STRING valueName = Name(name);
        UCHAR buffer[sizeof(KEY_VALUE_PARTIAL_INFORMATION) + sizeof(ULONG)];
        ULONG length = 0;
        NTSTATUS status =
            ZwQueryValueKey(key, &valueName, KeyValuePartialInformation, buffer, sizeof(buffer), &length);
        auto* info = reinterpret_cast<PKEY_VALUE_PARTIAL_INFORMATION>(buffer);
        if (NT_SUCCESS(status) && info->Type == REG_DWORD && info->DataLength == sizeof(ULONG))
        {
            ULONG data;
            memcpy(&data, info->Data, sizeof(data));
            value = data;
        }
        if (key != hardware)
        {
            ZwClose(key);
        }
    }
    ZwClose(hardware);
    return value;
}

NTSTATUS FxDevice::AssignS0IdleSettings(const WDF_DEVICE_POWER_POLICY_IDLE_SETTINGS& settings)
{
    if (!IsPowerPolicyOwner())
    {
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    if (settings.Size != sizeof(WDF_DEVICE_POWER_POLICY_IDLE_SETTINGS))
    {
        return STATUS_INFO_LENGTH_MISMATCH;
    }
    if (settings.IdleCaps <= IdleCapsInvalid || settings.IdleCaps > IdleUsbSelectiveSuspend ||
        settings.UserControlOfIdleSettings <= IdleUserControlInvalid ||
        settings.UserControlOfIdleSettings > IdleAllowUserControl || settings.Enabled > WdfUseDefault ||
        settings.PowerUpIdleDeviceOnSystemWake > WdfUseDefault ||
        settings.IdleTimeoutType > SystemManagedIdleTimeoutWithHint || settings.ExcludeD3Cold > WdfUseDefault)
    {
        return STATUS_INVALID_PARAMETER;
    }
    DEVICE_POWER_STATE dxState = settings.DxState;
    if (dxState <= PowerDeviceD0 || dxState > PowerDeviceMaximum)
    {
        return STATUS_POWER_STATE_INVALID;
    }
    DEVICE_POWER_STATE deviceWake = PowerDeviceUnspecified;
    {
        std::lock_guard<std::mutex> guard(m_stateLock);
        if (m_capsKnown)
        {
            deviceWake = m_caps.DeviceWake;
        }
    }
    if (settings.IdleCaps == IdleCanWakeFromS0 || settings.IdleCaps == IdleUsbSelectiveSuspend)
    {
        // A device that is to wake itself must be able to, as its bus reported; and it cannot
        // sleep deeper than the state it wakes from.
        if (deviceWake <= PowerDeviceD0 || deviceWake >= PowerDeviceMaximum)
        {
            return STATUS_POWER_STATE_INVALID;
        }
        if (dxState == PowerDeviceMaximum)
        {
            dxState = deviceWake;
        }
        else if (dxState > deviceWake)
        {
            return STATUS_POWER_STATE_INVALID;
        }
    }
    else if (dxState == PowerDeviceMaximum)
    {
        dxState = PowerDeviceD3;
    }

    bool first = false;
    {
        std::lock_guard<std::mutex> guard(m_stateLock);
        first = !m_idle.assigned;
        if (first)
        {
            m_idle.userControl = settings.UserControlOfIdleSettings;
            m_idle.timeoutType = settings.IdleTimeoutType;
        }
    }
    // The first assignment that lets the user decide reads the user's choice (IdleInWorkingState,
    // which the device's power management page writes) or, failing it, the default the INF set
    // (Device Parameters\WDF\WdfDefaultIdleInWorkingState).
    bool enabled = settings.Enabled != WdfFalse;
    if (first && settings.UserControlOfIdleSettings == IdleAllowUserControl && settings.Enabled != WdfFalse)
    {
        std::optional<ULONG> user = ReadHardwareDword(nullptr, L"IdleInWorkingState");
        if (!user)
        {
            user = ReadHardwareDword(L"WDF", L"WdfDefaultIdleInWorkingState");
        }
        if (user)
        {
            enabled = *user != 0;
        }
    }
    bool powerUp = false;
    {
        std::lock_guard<std::mutex> guard(m_stateLock);
        m_idle.assigned = true;
        m_idle.caps = settings.IdleCaps;
        m_idle.dxState = dxState;
        m_idle.timeoutMs =
            settings.IdleTimeout == IdleTimeoutDefaultValue ? DefaultIdleTimeoutMs : settings.IdleTimeout;
        m_idle.powerUpOnSystemWake = settings.PowerUpIdleDeviceOnSystemWake == WdfTrue;
        m_idle.enabled = enabled;
        // New settings restart the count; a device idle in a low-power state whose idling was
        // turned off returns to D0.
        if (m_timerArmed)
        {
            m_timerArmed = false;
            KeCancelTimer(&m_idleTimer);
        }
        EvaluateIdleLocked();
        if (!enabled && m_powerCause == PowerCause::Idle && m_pnp == PnpState::Started && !m_powerUpQueued)
        {
            m_powerUpQueued = true;
            powerUp = true;
        }
    }
    if (powerUp)
    {
        QueuePowerWork(true);
    }
    return STATUS_SUCCESS;
}

NTSTATUS FxDevice::AssignSxWakeSettings(const WDF_DEVICE_POWER_POLICY_WAKE_SETTINGS& settings)
{
    if (!IsPowerPolicyOwner())
    {
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    if (settings.Size != sizeof(WDF_DEVICE_POWER_POLICY_WAKE_SETTINGS))
    {
        return STATUS_INFO_LENGTH_MISMATCH;
    }
    if (settings.UserControlOfWakeSettings <= WakeUserControlInvalid ||
        settings.UserControlOfWakeSettings > WakeAllowUserControl || settings.Enabled > WdfUseDefault)
    {
        return STATUS_INVALID_PARAMETER;
    }
    DEVICE_POWER_STATE dxState = settings.DxState;
    if (dxState <= PowerDeviceD0 || dxState > PowerDeviceMaximum)
    {
        return STATUS_POWER_STATE_INVALID;
    }
    DEVICE_POWER_STATE deviceWake = PowerDeviceUnspecified;
    SYSTEM_POWER_STATE systemWake = PowerSystemUnspecified;
    {
        std::lock_guard<std::mutex> guard(m_stateLock);
        if (m_capsKnown)
        {
            deviceWake = m_caps.DeviceWake;
            systemWake = m_caps.SystemWake;
        }
    }
    // The bus must report that the device can signal a wake from a sleeping system.
    if (deviceWake <= PowerDeviceD0 || deviceWake >= PowerDeviceMaximum || systemWake <= PowerSystemWorking)
    {
        return STATUS_POWER_STATE_INVALID;
    }
    if (dxState == PowerDeviceMaximum)
    {
        dxState = deviceWake;
    }
    else if (dxState > deviceWake)
    {
        return STATUS_POWER_STATE_INVALID;
    }
    bool enabled = settings.Enabled != WdfFalse;
    bool first = false;
    {
        std::lock_guard<std::mutex> guard(m_stateLock);
        first = !m_wake.assigned;
    }
    if (first && settings.UserControlOfWakeSettings == WakeAllowUserControl && settings.Enabled != WdfFalse)
    {
        std::optional<ULONG> user = ReadHardwareDword(nullptr, L"WakeFromSleepState");
        if (!user)
        {
            user = ReadHardwareDword(L"WDF", L"WdfDefaultWakeFromSleepState");
        }
        if (user)
        {
            enabled = *user != 0;
        }
    }
    std::lock_guard<std::mutex> guard(m_stateLock);
    if (first)
    {
        m_wake.userControl = settings.UserControlOfWakeSettings;
    }
    m_wake.assigned = true;
    m_wake.dxState = dxState;
    m_wake.enabled = enabled;
    return STATUS_SUCCESS;
}

NTSTATUS FxDevice::StopIdle(bool waitForD0)
{
    bool powerUp = false;
    {
        std::lock_guard<std::mutex> guard(m_stateLock);
        if (m_pnp != PnpState::Started && m_pnp != PnpState::Added)
        {
            return STATUS_INVALID_DEVICE_STATE;
        }
        ++m_stopIdle;
        EvaluateIdleLocked();
        if (m_powerCause == PowerCause::Idle && !m_powerUpQueued && !waitForD0)
        {
            m_powerUpQueued = true;
            powerUp = true;
        }
    }
    if (waitForD0)
    {
        // The caller waits anyway: the device returns to D0 on its thread.
        IdlePowerUp();
        return STATUS_SUCCESS;
    }
    if (powerUp)
    {
        QueuePowerWork(true);
    }
    return InWorkingState() ? STATUS_SUCCESS : STATUS_PENDING;
}

void FxDevice::ResumeIdle()
{
    std::lock_guard<std::mutex> guard(m_stateLock);
    if (m_stopIdle == 0)
    {
        VerifierStop(VerifierRule::ObjectMisuse, "WdfDeviceResumeIdle without a WdfDeviceStopIdle before it");
    }
    --m_stopIdle;
    EvaluateIdleLocked();
}

} // namespace winsim::wdf

using namespace winsim::wdf;

namespace
{
FxDevice* PowerDeviceOf(WDFDEVICE device, const char* routine)
{
    return FxObject::Get<FxDevice>(device, FxType::Device, routine);
}
} // namespace

extern "C"
{

    NTSTATUS imp_WdfDeviceAssignS0IdleSettings(PWDF_DRIVER_GLOBALS, WDFDEVICE Device,
                                               PWDF_DEVICE_POWER_POLICY_IDLE_SETTINGS Settings)
    {
        RequireIrqlAtMost(DISPATCH_LEVEL, "WdfDeviceAssignS0IdleSettings");
        return PowerDeviceOf(Device, "WdfDeviceAssignS0IdleSettings")->AssignS0IdleSettings(*Settings);
    }

    NTSTATUS imp_WdfDeviceAssignSxWakeSettings(PWDF_DRIVER_GLOBALS, WDFDEVICE Device,
                                               PWDF_DEVICE_POWER_POLICY_WAKE_SETTINGS Settings)
    {
        RequireIrqlAtMost(DISPATCH_LEVEL, "WdfDeviceAssignSxWakeSettings");
        return PowerDeviceOf(Device, "WdfDeviceAssignSxWakeSettings")->AssignSxWakeSettings(*Settings);
    }

    POWER_ACTION imp_WdfDeviceGetSystemPowerAction(PWDF_DRIVER_GLOBALS, WDFDEVICE Device)
    {
        return PowerDeviceOf(Device, "WdfDeviceGetSystemPowerAction")->SystemPowerAction();
    }

    NTSTATUS imp_WdfDeviceStopIdleNoTrack(PWDF_DRIVER_GLOBALS, WDFDEVICE Device, BOOLEAN WaitForD0)
    {
        RequireIrqlAtMost(WaitForD0 ? PASSIVE_LEVEL : DISPATCH_LEVEL, "WdfDeviceStopIdle");
        return PowerDeviceOf(Device, "WdfDeviceStopIdle")->StopIdle(WaitForD0 != FALSE);
    }

    VOID imp_WdfDeviceResumeIdleNoTrack(PWDF_DRIVER_GLOBALS, WDFDEVICE Device)
    {
        RequireIrqlAtMost(DISPATCH_LEVEL, "WdfDeviceResumeIdle");
        PowerDeviceOf(Device, "WdfDeviceResumeIdle")->ResumeIdle();
    }

} // extern "C"
