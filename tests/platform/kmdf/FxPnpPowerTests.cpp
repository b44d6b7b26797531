// Plug and Play and power in the framework: the order of the driver's callbacks at start, removal,
// surprise removal and the system's power transitions; a failed start; power-managed queues and
// EvtIoStop; idle power-down on the virtual clock and the wake for a request; and the power policy
// settings the framework accepts or refuses.
#include "FxTestSupport.h"

#include <chrono>
#include <mutex>
#include <thread>
#include <vector>

using namespace fxtest;

namespace
{

using fxtest::PrintTo;
using std::chrono::milliseconds;
using winsim::machine::MachineConfig;
using winsim::machine::RegistryValue;
using Events = std::vector<std::string>;

constexpr char16_t kDeviceName[] = u"\\Device\\FxPower0";
constexpr char16_t kHardwareKey[] =
    u"\\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Enum\\USB\\VID_1209&PID_4658\\0001\\Device Parameters";
constexpr ULONG kIoctl = 0x222000;

const Events kStart = {"PrepareHardware", "D0Entry(D3Final, None)", "SelfManagedIoInit"};
const Events kRemovalRelease = {"ReleaseHardware", "SelfManagedIoFlush", "SelfManagedIoCleanup"};

Events Concat(std::initializer_list<Events> parts)
{
    Events all;
    for (const Events& part : parts)
    {
        all.insert(all.end(), part.begin(), part.end());
    }
    return all;
}

// --- what the test driver's queue does with the requests it is given --------------------------

enum class IoMode
{
    Complete,   // completes each request at once
    Hold,       // keeps it until the test completes it
    Cancelable, // keeps it, marked cancelable
};

struct Held
{
    std::mutex lock;
    IoMode mode = IoMode::Complete;
    std::vector<WDFREQUEST> requests;

    size_t Count()
    {
        std::lock_guard<std::mutex> guard(lock);
        return requests.size();
    }
    void WaitFor(size_t count)
    {
        while (Count() < count)
        {
            std::this_thread::yield();
        }
    }
    WDFREQUEST Take()
    {
        std::lock_guard<std::mutex> guard(lock);
        WDFREQUEST request = requests.empty() ? nullptr : requests.back();
        if (!requests.empty())
        {
            requests.pop_back();
        }
        return request;
    }
};
Held g_held;

VOID CancelHeld(WDFREQUEST request)
{
    {
        std::lock_guard<std::mutex> guard(g_held.lock);
        std::erase(g_held.requests, request);
    }
    WdfRequestComplete(request, STATUS_CANCELLED);
}

VOID DeviceControl(WDFQUEUE, WDFREQUEST request, size_t, size_t, ULONG)
{
    TestPnpPowerLog().Add("Io");
    IoMode mode;
    {
        std::lock_guard<std::mutex> guard(g_held.lock);
        mode = g_held.mode;
    }
    if (mode == IoMode::Complete)
    {
        WdfRequestComplete(request, STATUS_SUCCESS);
        return;
    }
    if (mode == IoMode::Cancelable)
    {
        ASSERT_EQ(WdfRequestMarkCancelableEx(request, CancelHeld), STATUS_SUCCESS);
    }
    std::lock_guard<std::mutex> guard(g_held.lock);
    g_held.requests.push_back(request);
}

// Records the stop; on a purge the request is completed (cancelled), on a suspension acknowledged
// and kept.
VOID StopHeld(WDFQUEUE queue, WDFREQUEST request, ULONG flags)
{
    RecordIoStop(queue, request, flags);
    if ((flags & WdfRequestStopActionPurge) != 0)
    {
        if ((flags & WdfRequestStopRequestCancelable) != 0 &&
            WdfRequestUnmarkCancelable(request) == STATUS_CANCELLED)
        {
            return;
        }
        {
            std::lock_guard<std::mutex> guard(g_held.lock);
            std::erase(g_held.requests, request);
        }
        WdfRequestComplete(request, STATUS_CANCELLED);
        return;
    }
    WdfRequestStopAcknowledge(request, FALSE);
}

// The device the tests plug: named, with the recording callbacks and a power-managed parallel
// default queue; `init` and `configure` add to it before and after WdfDeviceCreate.
void UseRecordingDevice(FxMachine& machine, std::function<void(PWDFDEVICE_INIT)> init = {},
                        std::function<void(WDFDEVICE)> configure = {})
{
    machine.hooks.deviceAdd = [init, configure](WDFDRIVER, PWDFDEVICE_INIT deviceInit) {
        std::u16string name(kDeviceName);
        UNICODE_STRING deviceName{static_cast<USHORT>(name.size() * 2), static_cast<USHORT>(name.size() * 2),
                                  reinterpret_cast<PWCH>(name.data())};
        WdfDeviceInitAssignName(deviceInit, &deviceName);
        RecordPnpPower(deviceInit);
        if (init)
        {
            init(deviceInit);
        }
        WDFDEVICE device = nullptr;
        NTSTATUS status = WdfDeviceCreate(&deviceInit, WDF_NO_OBJECT_ATTRIBUTES, &device);
        if (!NT_SUCCESS(status))
        {
            return status;
        }
        WDF_IO_QUEUE_CONFIG config;
        WDF_IO_QUEUE_CONFIG_INIT_DEFAULT_QUEUE(&config, WdfIoQueueDispatchParallel);
        config.EvtIoDeviceControl = DeviceControl;
        config.EvtIoStop = StopHeld;
        config.EvtIoResume = RecordIoResume;
        status = WdfIoQueueCreate(device, &config, WDF_NO_OBJECT_ATTRIBUTES, WDF_NO_HANDLE);
        if (NT_SUCCESS(status) && configure)
        {
            configure(device);
        }
        return status;
    };
}

void ResetLog()
{
    PnpPowerLog& log = TestPnpPowerLog();
    log.Take();
    log.prepareHardware = STATUS_SUCCESS;
    log.d0Entry = STATUS_SUCCESS;
    log.selfManagedIoInit = STATUS_SUCCESS;
    log.queryRemove = STATUS_SUCCESS;
    std::lock_guard<std::mutex> guard(g_held.lock);
    g_held.mode = IoMode::Complete;
    g_held.requests.clear();
}

// Idle settings with a time-out, for a device that cannot wake itself unless caps say otherwise.
std::function<void(WDFDEVICE)> IdleAfter(ULONG timeoutMs,
                                         WDF_POWER_POLICY_S0_IDLE_CAPABILITIES caps = IdleCannotWakeFromS0)
{
    return [timeoutMs, caps](WDFDEVICE device) {
        WDF_DEVICE_POWER_POLICY_IDLE_SETTINGS settings;
        WDF_DEVICE_POWER_POLICY_IDLE_SETTINGS_INIT(&settings, caps);
        settings.IdleTimeout = timeoutMs;
        EXPECT_EQ(WdfDeviceAssignS0IdleSettings(device, &settings), STATUS_SUCCESS);
    };
}

class FxPnpPowerTest : public FxTest
{
  protected:
    void SetUp() override { ResetLog(); }
    void TearDown() override
    {
        for (auto& sender : m_senders)
        {
            sender.join();
        }
        m_file.Close();
        m_machine.UnplugAll();
        EXPECT_FALSE(m_machine.Loaded());
    }

    Device Plug(std::function<void(WDFDEVICE)> configure = {}, std::function<void(PWDFDEVICE_INIT)> init = {})
    {
        UseRecordingDevice(m_machine, init, configure);
        Device node = m_machine.Plug();
        EXPECT_EQ(node.State(), DeviceState::Started);
        return node;
    }

    void Open() { ASSERT_EQ(m_file.Open(kDeviceName, GENERIC_READ | GENERIC_WRITE), STATUS_SUCCESS); }

    // A device control request from a helper thread (the call waits until it completes).
    void Send()
    {
        m_senders.emplace_back([this] { m_result = m_file.DeviceControl(kIoctl); });
    }
    IoResult JoinSender()
    {
        m_senders.back().join();
        m_senders.pop_back();
        return m_result;
    }

    // Moves the clock on and lets what fell due finish.
    void Advance(milliseconds span)
    {
        m_machine.AdvanceClock(span);
        m_machine.WaitForSystemThreads();
    }

    Events Take() { return TestPnpPowerLog().Take(); }

    AppFile m_file;
    std::vector<std::thread> m_senders;
    IoResult m_result{};
};

TEST_F(FxPnpPowerTest, StartPreparesTheHardwareAndEntersD0FromD3Final)
{
    Device node = Plug();
    EXPECT_EQ(Take(), kStart);
    EXPECT_EQ(node.PowerState(), PowerDeviceD0);
    EXPECT_FALSE(node.IdlePoweredDown());
    // The power-managed queue runs once the device is in D0.
    Open();
    Send();
    EXPECT_EQ(JoinSender().status, STATUS_SUCCESS);
    EXPECT_EQ(Take(), Events{"Io"});
}

// --- the order of the callbacks ---------------------------------------------------------------

struct SequenceCase
{
    const char* name;
    void (*act)(FxMachine& machine, Device node);
    Events expected;
    DEVICE_POWER_STATE powerAfter;
    SYSTEM_POWER_STATE systemAfter;
};

const SequenceCase kSequences[] = {
    {"OrderlyRemoval",
     [](FxMachine& machine, Device node) { EXPECT_EQ(machine.RemoveDevice(node), STATUS_SUCCESS); },
     Concat({{"QueryRemove", "SelfManagedIoSuspend", "D0Exit(D3Final, None)"}, kRemovalRelease}),
     PowerDeviceUnspecified, PowerSystemWorking},
    {"SurpriseRemoval", [](FxMachine& machine, Device node) { machine.Unplug(node); },
     Concat({{"SurpriseRemoval", "SelfManagedIoSuspend", "D0Exit(D3Final, None)"}, kRemovalRelease}),
     PowerDeviceUnspecified, PowerSystemWorking},
    {"Sleep",
     [](FxMachine& machine, Device) { EXPECT_EQ(machine.Sleep(), STATUS_SUCCESS); },
     {"SelfManagedIoSuspend", "D0Exit(D3, Sleep)"},
     PowerDeviceD3,
     PowerSystemSleeping3},
    {"SleepAndWake",
     [](FxMachine& machine, Device) {
         EXPECT_EQ(machine.Sleep(), STATUS_SUCCESS);
         EXPECT_EQ(machine.Wake(), STATUS_SUCCESS);
     },
     {"SelfManagedIoSuspend", "D0Exit(D3, Sleep)", "D0Entry(D3, Sleep)", "SelfManagedIoRestart"},
     PowerDeviceD0,
     PowerSystemWorking},
    {"HibernateAndWake",
     [](FxMachine& machine, Device) {
         EXPECT_EQ(machine.Hibernate(), STATUS_SUCCESS);
         EXPECT_EQ(machine.Wake(), STATUS_SUCCESS);
     },
     {"SelfManagedIoSuspend", "D0Exit(D3, Hibernate)", "D0Entry(D3, Hibernate)", "SelfManagedIoRestart"},
     PowerDeviceD0,
     PowerSystemWorking},
    {"Shutdown",
     [](FxMachine& machine, Device) {
         EXPECT_EQ(machine.Shutdown(), STATUS_SUCCESS);
         // An off machine does not wake.
         EXPECT_EQ(machine.Wake(), STATUS_INVALID_DEVICE_STATE);
     },
     {"SelfManagedIoSuspend", "D0Exit(D3Final, ShutdownOff)"},
     PowerDeviceD3,
     PowerSystemShutdown},
    {"Restart",
     [](FxMachine& machine, Device) { EXPECT_EQ(machine.Restart(), STATUS_SUCCESS); },
     {"SelfManagedIoSuspend", "D0Exit(D3Final, ShutdownReset)"},
     PowerDeviceD3,
     PowerSystemShutdown},
};

class FxSequenceTest : public FxPnpPowerTest, public ::testing::WithParamInterface<SequenceCase>
{
};

TEST_P(FxSequenceTest, CallbacksComeInTheDocumentedOrder)
{
    const SequenceCase& c = GetParam();
    Device node = Plug();
    ASSERT_EQ(Take(), kStart);
    c.act(m_machine, node);
    EXPECT_EQ(Take(), c.expected);
    EXPECT_EQ(node.PowerState(), c.powerAfter);
    EXPECT_EQ(m_machine.SystemPowerState(), c.systemAfter);
}

INSTANTIATE_TEST_SUITE_P(Transitions, FxSequenceTest, ::testing::ValuesIn(kSequences),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(FxPnpPowerTest, SurpriseRemovalWaitsForTheLastHandleBeforeTheRemoval)
{
    Device node = Plug();
    Open();
    Take();
    m_machine.Unplug(node);
    EXPECT_EQ(Take(), Concat({{"SurpriseRemoval", "SelfManagedIoSuspend", "D0Exit(D3Final, None)"},
                              kRemovalRelease}));
    // The framework device stays until its handle closes; the driver stays loaded with it.
    EXPECT_EQ(node.State(), DeviceState::Removed);
    EXPECT_NE(m_machine.DeviceOf(node), nullptr);
    EXPECT_TRUE(m_machine.Loaded());
    // I/O on the gone device fails without reaching the driver.
    Send();
    EXPECT_EQ(JoinSender().status, STATUS_INVALID_DEVICE_STATE);
    EXPECT_EQ(m_file.Close(), STATUS_SUCCESS);
    EXPECT_EQ(node.DeviceObject(), nullptr);
    EXPECT_FALSE(m_machine.Loaded());
    EXPECT_EQ(Take(), Events{});
}

TEST_F(FxPnpPowerTest, RefusedQueryRemoveKeepsTheDeviceStarted)
{
    Device node = Plug();
    Take();
    TestPnpPowerLog().queryRemove = STATUS_DEVICE_BUSY;
    EXPECT_EQ(m_machine.RemoveDevice(node), STATUS_DEVICE_BUSY);
    EXPECT_EQ(Take(), Events{"QueryRemove"});
    EXPECT_EQ(node.State(), DeviceState::Started);
    EXPECT_EQ(node.PowerState(), PowerDeviceD0);
}

// --- a start that fails --------------------------------------------------------------------

struct FailedStartCase
{
    const char* name;
    NTSTATUS PnpPowerLog::*callbackStatus;
    Events expected;
};

const FailedStartCase kFailedStarts[] = {
    {"PrepareHardware", &PnpPowerLog::prepareHardware, {"PrepareHardware"}},
    {"D0Entry", &PnpPowerLog::d0Entry, {"PrepareHardware", "D0Entry(D3Final, None)", "ReleaseHardware"}},
};

class FxFailedStartTest : public FxPnpPowerTest, public ::testing::WithParamInterface<FailedStartCase>
{
};

TEST_P(FxFailedStartTest, LeavesTheDeviceFailedWithTheStatusAndNothingBehind)
{
    const FailedStartCase& c = GetParam();
    TestPnpPowerLog().*c.callbackStatus = STATUS_DEVICE_NOT_READY;
    UseRecordingDevice(m_machine);
    Device node = m_machine.Plug();
    EXPECT_EQ(node.State(), DeviceState::Failed);
    EXPECT_EQ(node.Problem(), STATUS_DEVICE_NOT_READY);
    EXPECT_EQ(Take(), c.expected);
    // The stack is removed (the driver unloads with its last device, its leak checks passed) and
    // the device stays on its bus without it.
    EXPECT_EQ(node.DeviceObject(), node.PhysicalDeviceObject());
    EXPECT_FALSE(m_machine.Loaded());
    EXPECT_EQ(m_machine.LivePoolAllocations(), 0u);
    EXPECT_NE(m_machine.DescribeDevices().find("state:        failed (0xC00000A3)"), std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(Callbacks, FxFailedStartTest, ::testing::ValuesIn(kFailedStarts),
                         [](const auto& info) { return std::string(info.param.name); });

// --- power-managed queues and EvtIoStop -----------------------------------------------------

struct StopCase
{
    const char* name;
    IoMode mode;
    bool removal; // removed in an orderly way rather than put to sleep
    Events expected;
};

const StopCase kStops[] = {
    {"SleepWithARequest",
     IoMode::Hold,
     false,
     {"IoStop(Suspend)", "SelfManagedIoSuspend", "D0Exit(D3, Sleep)"}},
    {"SleepWithACancelableRequest",
     IoMode::Cancelable,
     false,
     {"IoStop(Suspend, Cancelable)", "SelfManagedIoSuspend", "D0Exit(D3, Sleep)"}},
    {"RemovalWithARequest", IoMode::Hold, true,
     Concat({{"QueryRemove", "SelfManagedIoSuspend", "IoStop(Purge)", "D0Exit(D3Final, None)"},
             kRemovalRelease})},
    {"RemovalWithACancelableRequest", IoMode::Cancelable, true,
     Concat({{"QueryRemove", "SelfManagedIoSuspend", "IoStop(Purge, Cancelable)", "D0Exit(D3Final, None)"},
             kRemovalRelease})},
};

class FxIoStopTest : public FxPnpPowerTest, public ::testing::WithParamInterface<StopCase>
{
};

TEST_P(FxIoStopTest, TheDriverHearsOfEachRequestItOwns)
{
    const StopCase& c = GetParam();
    Device node = Plug();
    g_held.mode = c.mode;
    Open();
    Send();
    g_held.WaitFor(1);
    Take();
    if (c.removal)
    {
        EXPECT_EQ(m_machine.RemoveDevice(node), STATUS_SUCCESS);
        EXPECT_EQ(Take(), c.expected);
        EXPECT_EQ(JoinSender().status, STATUS_CANCELLED);
        return;
    }
    EXPECT_EQ(m_machine.Sleep(), STATUS_SUCCESS);
    EXPECT_EQ(Take(), c.expected);
    // Acknowledged, the request stays the driver's; it resumes it when the device is back.
    EXPECT_EQ(m_machine.Wake(), STATUS_SUCCESS);
    EXPECT_EQ(Take(), (Events{"D0Entry(D3, Sleep)", "IoResume", "SelfManagedIoRestart"}));
    WDFREQUEST request = g_held.Take();
    ASSERT_NE(request, nullptr);
    if (c.mode == IoMode::Cancelable)
    {
        ASSERT_EQ(WdfRequestUnmarkCancelable(request), STATUS_SUCCESS);
    }
    WdfRequestComplete(request, STATUS_SUCCESS);
    EXPECT_EQ(JoinSender().status, STATUS_SUCCESS);
}

INSTANTIATE_TEST_SUITE_P(Actions, FxIoStopTest, ::testing::ValuesIn(kStops),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(FxPnpPowerTest, RequestsWaitInThePowerManagedQueueWhileTheSystemSleeps)
{
    Device node = Plug();
    Open();
    EXPECT_EQ(m_machine.Sleep(), STATUS_SUCCESS);
    Take();
    // The request is queued, not presented, until the device is back in D0.
    Send();
    WDFQUEUE queue = WdfDeviceGetDefaultQueue(m_machine.DeviceOf(node));
    ULONG queued = 0;
    while (queued == 0)
    {
        WdfIoQueueGetState(queue, &queued, nullptr);
        std::this_thread::yield();
    }
    EXPECT_NE(WdfIoQueueGetState(queue, nullptr, nullptr) & WdfIoQueuePnpHeld, 0u);
    EXPECT_EQ(Take(), Events{});
    EXPECT_EQ(m_machine.Wake(), STATUS_SUCCESS);
    EXPECT_EQ(JoinSender().status, STATUS_SUCCESS);
    EXPECT_EQ(Take(), (Events{"D0Entry(D3, Sleep)", "Io", "SelfManagedIoRestart"}));
}

// --- idle power-down in the working state ---------------------------------------------------

TEST_F(FxPnpPowerTest, IdleTimeOutCountsOnTheVirtualClock)
{
    Device node = Plug(IdleAfter(10000));
    Take();
    Advance(milliseconds(9900));
    EXPECT_EQ(node.PowerState(), PowerDeviceD0);
    EXPECT_EQ(Take(), Events{});
    Advance(milliseconds(100));
    EXPECT_EQ(node.PowerState(), PowerDeviceD3);
    EXPECT_TRUE(node.IdlePoweredDown());
    EXPECT_EQ(Take(), (Events{"SelfManagedIoSuspend", "D0Exit(D3, None)"}));
}

TEST_F(FxPnpPowerTest, ARequestWakesTheIdleDeviceAndIsThenDelivered)
{
    Device node = Plug(IdleAfter(10000));
    Open();
    Advance(milliseconds(10000));
    ASSERT_TRUE(node.IdlePoweredDown());
    Take();
    Send();
    EXPECT_EQ(JoinSender().status, STATUS_SUCCESS);
    // The request may complete before the power-up that delivered it has finished on its worker.
    m_machine.WaitForSystemThreads();
    EXPECT_EQ(Take(), (Events{"D0Entry(D3, None)", "Io", "SelfManagedIoRestart"}));
    EXPECT_EQ(node.PowerState(), PowerDeviceD0);
    EXPECT_FALSE(node.IdlePoweredDown());
    // The count starts again once the device is idle again.
    Advance(milliseconds(9999));
    EXPECT_EQ(node.PowerState(), PowerDeviceD0);
    Advance(milliseconds(1));
    EXPECT_EQ(node.PowerState(), PowerDeviceD3);
}

TEST_F(FxPnpPowerTest, APendingRequestKeepsTheDeviceInD0AndRestartsTheCount)
{
    Device node = Plug(IdleAfter(10000));
    Open();
    Advance(milliseconds(5000));
    g_held.mode = IoMode::Hold;
    Send();
    g_held.WaitFor(1);
    Advance(milliseconds(20000));
    EXPECT_EQ(node.PowerState(), PowerDeviceD0);
    WdfRequestComplete(g_held.Take(), STATUS_SUCCESS);
    EXPECT_EQ(JoinSender().status, STATUS_SUCCESS);
    Advance(milliseconds(9900));
    EXPECT_EQ(node.PowerState(), PowerDeviceD0);
    Advance(milliseconds(100));
    EXPECT_EQ(node.PowerState(), PowerDeviceD3);
}

TEST_F(FxPnpPowerTest, SelectiveSuspendIdlesInTheStateTheDeviceWakesFrom)
{
    Device node = Plug(IdleAfter(2000, IdleUsbSelectiveSuspend));
    Open();
    Take();
    Advance(milliseconds(2000));
    EXPECT_EQ(node.PowerState(), PowerDeviceD3);
    EXPECT_EQ(Take(), (Events{"SelfManagedIoSuspend", "D0Exit(D3, None)"}));
    Send();
    EXPECT_EQ(JoinSender().status, STATUS_SUCCESS);
    // The request may complete before the power-up that delivered it has finished on its worker.
    m_machine.WaitForSystemThreads();
    EXPECT_EQ(Take(), (Events{"D0Entry(D3, None)", "Io", "SelfManagedIoRestart"}));
}

TEST_F(FxPnpPowerTest, AnIdleDeviceStaysInItsLowPowerStateAcrossSleep)
{
    Device node = Plug(IdleAfter(1000));
    Advance(milliseconds(1000));
    ASSERT_TRUE(node.IdlePoweredDown());
    Take();
    EXPECT_EQ(m_machine.Sleep(), STATUS_SUCCESS);
    EXPECT_EQ(m_machine.Wake(), STATUS_SUCCESS);
    EXPECT_EQ(Take(), Events{});
    EXPECT_TRUE(node.IdlePoweredDown());
}

TEST_F(FxPnpPowerTest, StopIdleBringsTheDeviceBackAndHoldsItInD0)
{
    WDFDEVICE device = nullptr;
    Device node = Plug([&device](WDFDEVICE created) {
        device = created;
        IdleAfter(1000)(created);
    });
    Advance(milliseconds(1000));
    ASSERT_TRUE(node.IdlePoweredDown());
    Take();
    EXPECT_EQ(WdfDeviceStopIdle(device, TRUE), STATUS_SUCCESS);
    EXPECT_EQ(node.PowerState(), PowerDeviceD0);
    EXPECT_EQ(Take(), (Events{"D0Entry(D3, None)", "SelfManagedIoRestart"}));
    Advance(milliseconds(5000));
    EXPECT_EQ(node.PowerState(), PowerDeviceD0);
    WdfDeviceResumeIdle(device);
    Advance(milliseconds(1000));
    EXPECT_EQ(node.PowerState(), PowerDeviceD3);
}

// --- power policy settings ------------------------------------------------------------------

struct SettingsCase
{
    const char* name;
    bool selectiveSuspend; // the USB controller's setting
    bool policyOwner;
    WDF_POWER_POLICY_S0_IDLE_CAPABILITIES caps;
    DEVICE_POWER_STATE dxState; // PowerDeviceUnspecified: as the INIT function sets it
    ULONG sizeDelta;
    NTSTATUS expected;
};

const SettingsCase kIdleSettings[] = {
    {"Accepted", true, true, IdleCannotWakeFromS0, PowerDeviceUnspecified, 0, STATUS_SUCCESS},
    {"WrongSize", true, true, IdleCannotWakeFromS0, PowerDeviceUnspecified, 4, STATUS_INFO_LENGTH_MISMATCH},
    {"NotThePowerPolicyOwner", true, false, IdleCannotWakeFromS0, PowerDeviceUnspecified, 0,
     STATUS_INVALID_DEVICE_REQUEST},
    {"InvalidCaps", true, true, IdleCapsInvalid, PowerDeviceD3, 0, STATUS_INVALID_PARAMETER},
    {"D0IsNoLowPowerState", true, true, IdleCannotWakeFromS0, PowerDeviceD0, 0, STATUS_POWER_STATE_INVALID},
    {"SelectiveSuspendWhereTheControllerHasIt", true, true, IdleUsbSelectiveSuspend, PowerDeviceUnspecified,
     0, STATUS_SUCCESS},
    {"SelectiveSuspendWhereTheControllerLacksIt", false, true, IdleUsbSelectiveSuspend,
     PowerDeviceUnspecified, 0, STATUS_POWER_STATE_INVALID},
    {"CannotWakeWhereTheControllerLacksSelectiveSuspend", false, true, IdleCannotWakeFromS0,
     PowerDeviceUnspecified, 0, STATUS_SUCCESS},
    // The hub lets its devices wake from D3, the deepest state; without selective suspend, from none.
    {"WakeFromD3WhereTheDeviceCan", true, true, IdleCanWakeFromS0, PowerDeviceD3, 0, STATUS_SUCCESS},
    {"WakeWhereTheDeviceCannot", false, true, IdleCanWakeFromS0, PowerDeviceD3, 0,
     STATUS_POWER_STATE_INVALID},
};

class FxIdleSettingsTest : public ::testing::TestWithParam<SettingsCase>
{
};

TEST_P(FxIdleSettingsTest, AssignmentIsCheckedAsDocumented)
{
    const SettingsCase& c = GetParam();
    ResetLog();
    MachineConfig config;
    config.usbSelectiveSuspend = c.selectiveSuspend;
    FxMachine machine(config);
    NTSTATUS assigned = STATUS_PENDING;
    UseRecordingDevice(
        machine, [&c](PWDFDEVICE_INIT init) { WdfDeviceInitSetPowerPolicyOwnership(init, c.policyOwner); },
        [&c, &assigned](WDFDEVICE device) {
            WDF_DEVICE_POWER_POLICY_IDLE_SETTINGS settings;
            WDF_DEVICE_POWER_POLICY_IDLE_SETTINGS_INIT(&settings, c.caps);
            if (c.dxState != PowerDeviceUnspecified)
            {
                settings.DxState = c.dxState;
            }
            settings.Size += c.sizeDelta;
            assigned = WdfDeviceAssignS0IdleSettings(device, &settings);
        });
    Device node = machine.Plug();
    EXPECT_EQ(assigned, c.expected);
    EXPECT_EQ(node.IdlePowerDownEnabled(), NT_SUCCESS(c.expected));
    machine.UnplugAll();
}

INSTANTIATE_TEST_SUITE_P(Cases, FxIdleSettingsTest, ::testing::ValuesIn(kIdleSettings),
                         [](const auto& info) { return std::string(info.param.name); });

struct WakeSettingsCase
{
    const char* name;
    bool selectiveSuspend;
    bool policyOwner;
    ULONG sizeDelta;
    NTSTATUS expected;
};

const WakeSettingsCase kWakeSettings[] = {
    {"Accepted", true, true, 0, STATUS_SUCCESS},
    {"WrongSize", true, true, 8, STATUS_INFO_LENGTH_MISMATCH},
    {"NotThePowerPolicyOwner", true, false, 0, STATUS_INVALID_DEVICE_REQUEST},
    {"TheBusSaysTheDeviceCannotWake", false, true, 0, STATUS_POWER_STATE_INVALID},
};

class FxWakeSettingsTest : public ::testing::TestWithParam<WakeSettingsCase>
{
};

TEST_P(FxWakeSettingsTest, AssignmentIsCheckedAsDocumented)
{
    const WakeSettingsCase& c = GetParam();
    ResetLog();
    MachineConfig config;
    config.usbSelectiveSuspend = c.selectiveSuspend;
    FxMachine machine(config);
    NTSTATUS assigned = STATUS_PENDING;
    UseRecordingDevice(
        machine, [&c](PWDFDEVICE_INIT init) { WdfDeviceInitSetPowerPolicyOwnership(init, c.policyOwner); },
        [&c, &assigned](WDFDEVICE device) {
            WDF_DEVICE_POWER_POLICY_WAKE_SETTINGS settings;
            WDF_DEVICE_POWER_POLICY_WAKE_SETTINGS_INIT(&settings);
            settings.Size += c.sizeDelta;
            assigned = WdfDeviceAssignSxWakeSettings(device, &settings);
        });
    machine.Plug();
    EXPECT_EQ(assigned, c.expected);
    machine.UnplugAll();
}

INSTANTIATE_TEST_SUITE_P(Cases, FxWakeSettingsTest, ::testing::ValuesIn(kWakeSettings),
                         [](const auto& info) { return std::string(info.param.name); });

// The user's choice (IdleInWorkingState, which the power management page writes) or the INF's
// default (Device Parameters\WDF\WdfDefaultIdleInWorkingState) decide when the driver lets them.
struct UserIdleCase
{
    const char* name;
    const char16_t* subkey; // under the hardware key; empty: the key itself
    const char16_t* value;
    ULONG data;
    WDF_POWER_POLICY_S0_IDLE_USER_CONTROL control;
    bool enabled;
};

const UserIdleCase kUserIdle[] = {
    {"UserTurnedItOff", u"", u"IdleInWorkingState", 0, IdleAllowUserControl, false},
    {"UserTurnedItOn", u"", u"IdleInWorkingState", 1, IdleAllowUserControl, true},
    {"InfDefaultOff", u"\\WDF", u"WdfDefaultIdleInWorkingState", 0, IdleAllowUserControl, false},
    {"UserMayNotDecide", u"", u"IdleInWorkingState", 0, IdleDoNotAllowUserControl, true},
};

class FxUserIdleTest : public ::testing::TestWithParam<UserIdleCase>
{
};

TEST_P(FxUserIdleTest, DecidesWhetherTheDeviceIdles)
{
    const UserIdleCase& c = GetParam();
    ResetLog();
    FxMachine machine;
    machine.SetRegistryValue(std::u16string(kHardwareKey) + c.subkey, c.value, RegistryValue::Dword(c.data));
    UseRecordingDevice(machine, {}, [&c](WDFDEVICE device) {
        WDF_DEVICE_POWER_POLICY_IDLE_SETTINGS settings;
        WDF_DEVICE_POWER_POLICY_IDLE_SETTINGS_INIT(&settings, IdleCannotWakeFromS0);
        settings.UserControlOfIdleSettings = c.control;
        settings.IdleTimeout = 1000;
        EXPECT_EQ(WdfDeviceAssignS0IdleSettings(device, &settings), STATUS_SUCCESS);
    });
    Device node = machine.Plug();
    EXPECT_EQ(node.IdlePowerDownEnabled(), c.enabled);
    machine.AdvanceClock(milliseconds(1000));
    machine.WaitForSystemThreads();
    EXPECT_EQ(node.IdlePoweredDown(), c.enabled);
    machine.UnplugAll();
}

INSTANTIATE_TEST_SUITE_P(Registry, FxUserIdleTest, ::testing::ValuesIn(kUserIdle),
                         [](const auto& info) { return std::string(info.param.name); });

} // namespace
