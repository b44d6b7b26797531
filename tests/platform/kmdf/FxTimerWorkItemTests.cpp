// Framework timers on the virtual clock, their automatic serialisation under the device's
// synchronisation lock, and work items at PASSIVE_LEVEL.
#include "FxTestSupport.h"

#include <atomic>
#include <chrono>
#include <mutex>
#include <thread>

using namespace fxtest;
using namespace std::chrono_literals;

namespace
{

using fxtest::PrintTo;

class FxDeviceTest : public FxTest
{
  protected:
    // Plugs a device created with the given synchronisation scope (and a name, so it can be opened).
    void PlugDevice(WDF_SYNCHRONIZATION_SCOPE scope)
    {
        m_machine.hooks.deviceAdd = [scope](WDFDRIVER, PWDFDEVICE_INIT init) {
            UNICODE_STRING name = Us(L"\\Device\\FxTimed0");
            NTSTATUS status = WdfDeviceInitAssignName(init, &name);
            if (!NT_SUCCESS(status))
            {
                return status;
            }
            WDF_OBJECT_ATTRIBUTES attributes;
            WDF_OBJECT_ATTRIBUTES_INIT(&attributes);
            attributes.SynchronizationScope = scope;
            WDFDEVICE device = nullptr;
            return WdfDeviceCreate(&init, &attributes, &device);
        };
        m_node = m_machine.Plug();
        m_device = m_machine.DeviceOf(m_node);
        ASSERT_NE(m_device, nullptr);
    }

    Device m_node;
    WDFDEVICE m_device = nullptr;
};

struct TimerRecord
{
    std::atomic<int> fired{0};
    KIRQL irql = PASSIVE_LEVEL;
    int spinLocksHeld = -1;
    std::thread::id thread;
    WDFOBJECT parent = nullptr;
    long shared = 0; // touched by the timer and the I/O callbacks without a lock of their own
};
TimerRecord* g_timer = nullptr;

VOID OnTimer(WDFTIMER timer)
{
    g_timer->irql = KeGetCurrentIrql();
    g_timer->spinLocksHeld = SpinLocksHeldByCurrentThread();
    g_timer->thread = std::this_thread::get_id();
    g_timer->parent = WdfTimerGetParentObject(timer);
    ++g_timer->shared;
    ++g_timer->fired;
}

struct SerialisationCase
{
    const char* name;
    WDF_SYNCHRONIZATION_SCOPE deviceScope;
    BOOLEAN automaticSerialization;
    int spinLocksHeld; // in the callback: 1 when it runs under the device's lock
};

class FxTimerFixture : public FxDeviceTest
{
  protected:
    void SetUp() override { g_timer = &m_record; }
    void TearDown() override
    {
        if (m_node)
        {
            m_machine.Unplug(m_node);
        }
        g_timer = nullptr;
    }

    WDFTIMER CreateTimer(ULONG period, BOOLEAN automaticSerialization)
    {
        WDF_TIMER_CONFIG config;
        WDF_TIMER_CONFIG_INIT(&config, OnTimer);
        config.Period = period;
        config.AutomaticSerialization = automaticSerialization;
        WDF_OBJECT_ATTRIBUTES attributes;
        WDF_OBJECT_ATTRIBUTES_INIT(&attributes);
        attributes.ParentObject = m_device;
        WDFTIMER timer = nullptr;
        EXPECT_EQ(WdfTimerCreate(&config, &attributes, &timer), STATUS_SUCCESS);
        return timer;
    }

    int Fired()
    {
        KeFlushQueuedDpcs();
        return m_record.fired.load();
    }

    TimerRecord m_record;
};

class FxTimerTest : public FxTimerFixture, public ::testing::WithParamInterface<SerialisationCase>
{
  protected:
    WDFTIMER CreateTimer(ULONG period)
    {
        return FxTimerFixture::CreateTimer(period, GetParam().automaticSerialization);
    }
};

TEST_P(FxTimerTest, OneShotTimerStartStopAndSerialisation)
{
    PlugDevice(GetParam().deviceScope);
    WDFTIMER timer = CreateTimer(0);
    EXPECT_FALSE(WdfTimerStart(timer, RelativeMs(10)));
    EXPECT_TRUE(WdfTimerStart(timer, RelativeMs(10))) << "the timer was already in the timer queue";
    m_machine.AdvanceClockTicks(Ms(10) - 1);
    EXPECT_EQ(Fired(), 0);
    m_machine.AdvanceClockTicks(1);
    EXPECT_EQ(Fired(), 1);
    EXPECT_EQ(m_record.irql, DISPATCH_LEVEL);
    EXPECT_EQ(m_record.spinLocksHeld, GetParam().spinLocksHeld);
    EXPECT_NE(m_record.thread, std::this_thread::get_id());
    EXPECT_EQ(m_record.parent, static_cast<WDFOBJECT>(m_device));

    EXPECT_FALSE(WdfTimerStart(timer, RelativeMs(10)));
    EXPECT_TRUE(WdfTimerStop(timer, FALSE)) << "the timer was in the queue";
    EXPECT_FALSE(WdfTimerStop(timer, TRUE));
    m_machine.AdvanceClock(100ms);
    EXPECT_EQ(Fired(), 1) << "a stopped timer does not fire";
}

TEST_P(FxTimerTest, PeriodicTimerFiresEachPeriodUntilStopped)
{
    PlugDevice(GetParam().deviceScope);
    WDFTIMER timer = CreateTimer(5);
    WdfTimerStart(timer, RelativeMs(5));
    for (int period = 1; period <= 3; ++period)
    {
        m_machine.AdvanceClock(5ms);
        EXPECT_EQ(Fired(), period);
    }
    WdfTimerStop(timer, TRUE);
    m_machine.AdvanceClock(50ms);
    EXPECT_EQ(Fired(), 3);
}

// A callback that stays in until the test lets it go.
std::atomic<bool> g_inCallback{false};
std::atomic<bool> g_mayLeave{false};

VOID OnTimerHeld(WDFTIMER)
{
    g_inCallback = true;
    while (!g_mayLeave.load())
    {
        std::this_thread::yield();
    }
    ++g_timer->fired;
}

// A timer whose callback is running is out of the timer queue: stopping it without waiting says it
// was not pending, and the callback finishes on its own.
TEST_F(FxTimerFixture, StoppingATimerWhoseCallbackRunsSaysItWasNotPending)
{
    PlugDevice(WdfSynchronizationScopeNone);
    g_inCallback = false;
    g_mayLeave = false;
    WDF_TIMER_CONFIG config;
    WDF_TIMER_CONFIG_INIT(&config, OnTimerHeld);
    WDF_OBJECT_ATTRIBUTES attributes;
    WDF_OBJECT_ATTRIBUTES_INIT(&attributes);
    attributes.ParentObject = m_device;
    WDFTIMER timer = nullptr;
    ASSERT_EQ(WdfTimerCreate(&config, &attributes, &timer), STATUS_SUCCESS);
    EXPECT_FALSE(WdfTimerStart(timer, RelativeMs(5)));
    m_machine.AdvanceClock(5ms);
    while (!g_inCallback.load())
    {
        std::this_thread::yield();
    }
    EXPECT_FALSE(WdfTimerStop(timer, FALSE));
    g_mayLeave = true;
    EXPECT_EQ(Fired(), 1);
    // Started again and stopped while pending, it never fires.
    EXPECT_FALSE(WdfTimerStart(timer, RelativeMs(5)));
    EXPECT_TRUE(WdfTimerStop(timer, FALSE));
    m_machine.AdvanceClock(20ms);
    EXPECT_EQ(Fired(), 1);
}

VOID CountIo(WDFQUEUE, WDFREQUEST request, size_t, size_t, ULONG)
{
    ++g_timer->shared;
    WdfRequestCompleteWithInformation(request, STATUS_SUCCESS, 0);
}

// With device scope, the timer callback and the queue's callbacks never overlap: they share a
// counter without a lock of their own (ThreadSanitizer checks the claim under the tsan preset).
TEST_F(FxTimerFixture, TimerAndQueueCallbacksShareTheDeviceLock)
{
    PlugDevice(WdfSynchronizationScopeDevice);
    WDF_IO_QUEUE_CONFIG config;
    WDF_IO_QUEUE_CONFIG_INIT_DEFAULT_QUEUE(&config, WdfIoQueueDispatchParallel);
    config.EvtIoDeviceControl = CountIo;
    ASSERT_EQ(WdfIoQueueCreate(m_device, &config, WDF_NO_OBJECT_ATTRIBUTES, nullptr), STATUS_SUCCESS);
    WDFTIMER timer = CreateTimer(1, TRUE);
    WdfTimerStart(timer, RelativeMs(1));
    AppFile file;
    ASSERT_EQ(file.Open(u"\\Device\\FxTimed0", GENERIC_READ), STATUS_SUCCESS);
    constexpr int Rounds = 50;
    for (int i = 0; i < Rounds; ++i)
    {
        m_machine.AdvanceClock(1ms);
        EXPECT_EQ(file.DeviceControl(0x222000).status, STATUS_SUCCESS);
    }
    WdfTimerStop(timer, TRUE);
    file.Close();
    EXPECT_GT(m_record.fired.load(), 0);
    EXPECT_EQ(m_record.shared, m_record.fired.load() + Rounds);
}

INSTANTIATE_TEST_SUITE_P(
    Scopes, FxTimerTest,
    ::testing::Values(SerialisationCase{"SerialisedWithTheDevice", WdfSynchronizationScopeDevice, TRUE, 1},
                      SerialisationCase{"SerialisationOff", WdfSynchronizationScopeDevice, FALSE, 0},
                      SerialisationCase{"DeviceWithoutScope", WdfSynchronizationScopeNone, TRUE, 0}),
    [](const ::testing::TestParamInfo<SerialisationCase>& info) { return std::string(info.param.name); });

class FxWorkItemTest : public FxDeviceTest
{
  protected:
    void SetUp() override
    {
        s_runs = 0;
        PlugDevice(WdfSynchronizationScopeNone);
    }

    static VOID OnWork(WDFWORKITEM item)
    {
        s_irql = KeGetCurrentIrql();
        s_thread = std::this_thread::get_id();
        s_parent = WdfWorkItemGetParentObject(item);
        ++s_runs;
    }

    static inline std::atomic<int> s_runs{0};
    static inline KIRQL s_irql = HIGH_LEVEL;
    static inline std::thread::id s_thread;
    static inline WDFOBJECT s_parent = nullptr;
};

TEST_F(FxWorkItemTest, RunsAtPassiveLevelOnAWorkerThread)
{
    WDF_WORKITEM_CONFIG config;
    WDF_WORKITEM_CONFIG_INIT(&config, OnWork);
    WDF_OBJECT_ATTRIBUTES attributes;
    WDF_OBJECT_ATTRIBUTES_INIT(&attributes);
    attributes.ParentObject = m_device;
    WDFWORKITEM item = nullptr;
    ASSERT_EQ(WdfWorkItemCreate(&config, &attributes, &item), STATUS_SUCCESS);
    EXPECT_EQ(WdfWorkItemGetParentObject(item), static_cast<WDFOBJECT>(m_device));

    // Queued from DISPATCH_LEVEL, as a DPC would; it still runs at PASSIVE_LEVEL.
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    WdfWorkItemEnqueue(item);
    KeLowerIrql(old);
    WdfWorkItemFlush(item);
    EXPECT_EQ(s_runs.load(), 1);
    EXPECT_EQ(s_irql, PASSIVE_LEVEL);
    EXPECT_NE(s_thread, std::this_thread::get_id());
    EXPECT_EQ(s_parent, static_cast<WDFOBJECT>(m_device));
    WdfWorkItemEnqueue(item);
    WdfWorkItemFlush(item);
    EXPECT_EQ(s_runs.load(), 2);
    WdfObjectDelete(item);
}

// AutomaticSerialization needs a parent at PASSIVE_LEVEL; with no synchronisation scope it has
// no effect.
struct WorkItemCase
{
    const char* name;
    WDF_SYNCHRONIZATION_SCOPE scope;
    WDF_EXECUTION_LEVEL level;
    BOOLEAN automaticSerialization;
    NTSTATUS expected;
};

class FxWorkItemParentTest : public FxWorkItemTest, public ::testing::WithParamInterface<WorkItemCase>
{
};

TEST_P(FxWorkItemParentTest, CreationChecksTheParent)
{
    const WorkItemCase& c = GetParam();
    WDF_OBJECT_ATTRIBUTES parentAttributes;
    WDF_OBJECT_ATTRIBUTES_INIT(&parentAttributes);
    parentAttributes.ParentObject = m_device;
    parentAttributes.SynchronizationScope = c.scope;
    parentAttributes.ExecutionLevel = c.level;
    WDFOBJECT parent = nullptr;
    ASSERT_EQ(WdfObjectCreate(&parentAttributes, &parent), STATUS_SUCCESS);
    WDF_WORKITEM_CONFIG config;
    WDF_WORKITEM_CONFIG_INIT(&config, OnWork);
    config.AutomaticSerialization = c.automaticSerialization;
    WDF_OBJECT_ATTRIBUTES attributes;
    WDF_OBJECT_ATTRIBUTES_INIT(&attributes);
    attributes.ParentObject = parent;
    WDFWORKITEM item = nullptr;
    EXPECT_EQ(WdfWorkItemCreate(&config, &attributes, &item), c.expected);
    EXPECT_EQ(item != nullptr, NT_SUCCESS(c.expected));
    WdfObjectDelete(parent);
}

INSTANTIATE_TEST_SUITE_P(
    Parents, FxWorkItemParentTest,
    ::testing::Values(WorkItemCase{"DispatchParentSerialised", WdfSynchronizationScopeDevice,
                                   WdfExecutionLevelDispatch, TRUE, STATUS_WDF_INCOMPATIBLE_EXECUTION_LEVEL},
                      WorkItemCase{"PassiveParentSerialised", WdfSynchronizationScopeDevice,
                                   WdfExecutionLevelPassive, TRUE, STATUS_SUCCESS},
                      WorkItemCase{"DispatchParentNotSerialised", WdfSynchronizationScopeDevice,
                                   WdfExecutionLevelDispatch, FALSE, STATUS_SUCCESS},
                      WorkItemCase{"DispatchParentWithoutScope", WdfSynchronizationScopeNone,
                                   WdfExecutionLevelDispatch, TRUE, STATUS_SUCCESS}),
    [](const ::testing::TestParamInfo<WorkItemCase>& info) { return std::string(info.param.name); });

TEST_F(FxWorkItemTest, ParentMustLeadToADevice)
{
    WDF_WORKITEM_CONFIG config;
    WDF_WORKITEM_CONFIG_INIT(&config, OnWork);
    WDFWORKITEM item = nullptr;
    EXPECT_EQ(WdfWorkItemCreate(&config, WDF_NO_OBJECT_ATTRIBUTES, &item), STATUS_WDF_PARENT_NOT_SPECIFIED);
    WDFOBJECT unrelated = nullptr;
    ASSERT_EQ(WdfObjectCreate(WDF_NO_OBJECT_ATTRIBUTES, &unrelated), STATUS_SUCCESS);
    WDF_OBJECT_ATTRIBUTES attributes;
    WDF_OBJECT_ATTRIBUTES_INIT(&attributes);
    attributes.ParentObject = unrelated;
    EXPECT_EQ(WdfWorkItemCreate(&config, &attributes, &item), STATUS_INVALID_DEVICE_REQUEST)
        << "a parent owned by the driver, not a device";
    WdfObjectDelete(unrelated);
    WDF_TIMER_CONFIG timerConfig;
    WDF_TIMER_CONFIG_INIT(&timerConfig, OnTimer);
    WDFTIMER timer = nullptr;
    EXPECT_EQ(WdfTimerCreate(&timerConfig, WDF_NO_OBJECT_ATTRIBUTES, &timer),
              STATUS_WDF_PARENT_NOT_SPECIFIED);
}

} // namespace
