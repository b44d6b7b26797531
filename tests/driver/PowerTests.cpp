// Power: the machine's sleep, hibernation, shutdown and restart seen from a running reader, waking
// up, and idle power-down through USB selective suspend.
#include "DriverTestSupport.h"

#include "TableCases.h"
#include "TarnoMessages.h"

namespace tarnocom::testing
{
namespace
{

using winsim::machine::Reader;
using winsimtest::PrintTo;

template <typename Case>
std::string CaseName(const ::testing::TestParamInfo<Case>& info)
{
    return info.param.name;
}

class PowerTest : public DriverMachineTest
{
  protected:
    void Start(MachineConfig config = {}, bool selectiveSuspend = false)
    {
        Boot(std::move(config));
        if (selectiveSuspend)
        {
            SetParameterForNextLoad(u"EnableSelectiveSuspend", 1);
        }
        device = Plug(u"TR0001");
        ASSERT_EQ(device.State(), DeviceState::Started) << device.Problem();
        context = ContextOf(device);
        reader = ReaderOf(device);
    }

    void OpenChain()
    {
        WriteBooleanNoFence(&context->PortOpen, TRUE);
        ASSERT_EQ(StartBulkInRead(context), STATUS_SUCCESS);
    }

    void TearDown() override
    {
        if (context != nullptr && device.State() == DeviceState::Started)
        {
            WriteBooleanNoFence(&context->PortOpen, FALSE);
            StopBulkInRead(context);
        }
        DriverMachineTest::TearDown();
    }

    // The entries written since the log was cleared.
    std::vector<EventLogRecord> Since() { return Events(); }

    Device device;
    PDEVICE_CONTEXT context = nullptr;
    Reader reader;
};

// --- system power transitions --------------------------------------------------------------------

struct SystemCase
{
    const char* name;
    NTSTATUS (winsim::machine::Machine::*transition)();
    NTSTATUS message;
    POWER_ACTION action;
    bool wakes;
};

class SystemPowerTest : public PowerTest, public ::testing::WithParamInterface<SystemCase>
{
};

TEST_P(SystemPowerTest, LogsTheTransitionWithItsActionAndWakingRestartsTheReader)
{
    const SystemCase& c = GetParam();
    Start();
    OpenChain();
    machine->ClearEventLog();

    ASSERT_EQ(((*machine).*c.transition)(), STATUS_SUCCESS);
    std::vector<EventLogRecord> events = Events();
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].code, c.message);
    EXPECT_EQ(events[0].Packet().UniqueErrorValue, 4u);
    ASSERT_GE(events[0].dumpData.size(), 1u);
    EXPECT_EQ(events[0].dumpData[0], ULONG(c.action));
    // The interrupt reader and the read chain are stopped.
    EXPECT_EQ(reader.OutstandingBulkInReads(), 0u);
    EXPECT_FALSE(GetPipeContext(FindPipe(context, PIPE_KIND_INTERRUPT))->Started);

    if (!c.wakes)
    {
        return;
    }
    machine->ClearEventLog();
    ASSERT_EQ(machine->Wake(), STATUS_SUCCESS);
    machine->WaitForSystemThreads();
    events = Events();
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].code, TARNO_D3_TO_D0);
    EXPECT_EQ(reader.OutstandingBulkInReads(), 1u) << "the open port's chain restarts";
    EXPECT_TRUE(GetPipeContext(FindPipe(context, PIPE_KIND_INTERRUPT))->Started);
    reader.PushSerialState(0x0001);
    reader.WaitForCompletions();
    EXPECT_EQ(context->ModemStatus, ULONG(SERIAL_CTS_STATE | SERIAL_DCD_STATE));
}

INSTANTIATE_TEST_SUITE_P(Transitions, SystemPowerTest,
                         ::testing::Values(SystemCase{"Sleep", &winsim::machine::Machine::Sleep,
                                                      TARNO_D0_TO_D3_SLEEP, PowerActionSleep, true},
                                           SystemCase{"Hibernate", &winsim::machine::Machine::Hibernate,
                                                      TARNO_D0_TO_D3_HIBERNATE, PowerActionHibernate, true},
                                           SystemCase{"Shutdown", &winsim::machine::Machine::Shutdown,
                                                      TARNO_D0_TO_D3_SHUTDOWN, PowerActionShutdownOff, false},
                                           SystemCase{"Restart", &winsim::machine::Machine::Restart,
                                                      TARNO_D0_TO_D3_REBOOT, PowerActionShutdownReset,
                                                      false}),
                         CaseName<SystemCase>);

TEST_F(PowerTest, OrderlyRemovalLogsRemoveWithNoAction)
{
    Start();
    machine->ClearEventLog();
    ASSERT_EQ(machine->RemoveDevice(device), STATUS_SUCCESS);
    std::vector<EventLogRecord> events = Events();
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].code, TARNO_D0_TO_D3_REMOVE);
    EXPECT_EQ(events[0].dumpData.at(0), ULONG(PowerActionNone));
    context = nullptr;
}

// --- selective suspend ---------------------------------------------------------------------------

TEST_F(PowerTest, AnIdleReaderSuspendsAfterTenSecondsAndARequestWakesIt)
{
    Start({}, true);
    EXPECT_TRUE(context->RemoteWakeCapable);
    EXPECT_TRUE(device.IdlePowerDownEnabled());
    machine->ClearEventLog();

    machine->AdvanceClock(std::chrono::milliseconds(9999));
    machine->WaitForSystemThreads();
    EXPECT_EQ(device.PowerState(), PowerDeviceD0);
    EXPECT_TRUE(Events().empty());
    machine->AdvanceClock(std::chrono::milliseconds(1));
    machine->WaitForSystemThreads();
    EXPECT_EQ(device.PowerState(), PowerDeviceD3);
    EXPECT_TRUE(device.IdlePoweredDown());
    std::vector<EventLogRecord> events = Events();
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].code, TARNO_D0_TO_D3_REMOVE);
    EXPECT_EQ(events[0].dumpData.at(0), ULONG(PowerActionNone));

    // An application's request arrives on a power-managed queue: the reader comes back.
    machine->ClearEventLog();
    HANDLE port =
        CreateFileA("\\\\.\\COM3", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(port, INVALID_HANDLE_VALUE);
    DWORD modemStatus = 0;
    DWORD returned = 0;
    DeviceIoControl(port, IOCTL_SERIAL_GET_MODEMSTATUS, nullptr, 0, &modemStatus, sizeof(modemStatus),
                    &returned, nullptr);
    EXPECT_EQ(device.PowerState(), PowerDeviceD0);
    events = Events();
    ASSERT_FALSE(events.empty());
    EXPECT_EQ(events[0].code, TARNO_D3_TO_D0);
    CloseHandle(port);
}

TEST_F(PowerTest, WithoutSelectiveSuspendTheReaderStaysInD0)
{
    Start();
    machine->AdvanceClock(std::chrono::seconds(60));
    machine->WaitForSystemThreads();
    EXPECT_EQ(device.PowerState(), PowerDeviceD0);
    EXPECT_FALSE(device.IdlePowerDownEnabled());
}

TEST_F(PowerTest, AControllerWithoutSelectiveSuspendGetsIdleSettingsTheUserMustTurnOn)
{
    MachineConfig config;
    config.usbSelectiveSuspend = false;
    Start(std::move(config), true);
    EXPECT_FALSE(device.IdlePowerDownEnabled()) << "the fallback leaves idle power-down off";
    machine->AdvanceClock(std::chrono::seconds(60));
    machine->WaitForSystemThreads();
    EXPECT_EQ(device.PowerState(), PowerDeviceD0);
}

TEST_F(PowerTest, AReaderWithoutRemoteWakeStillIdles)
{
    Boot();
    SetParameterForNextLoad(u"EnableSelectiveSuspend", 1);
    winsim::machine::ReaderSpec plugged;
    plugged.remoteWake = false;
    device = Plug(plugged);
    ASSERT_EQ(device.State(), DeviceState::Started);
    context = ContextOf(device);
    EXPECT_FALSE(context->RemoteWakeCapable);
    machine->AdvanceClock(std::chrono::seconds(10));
    machine->WaitForSystemThreads();
    EXPECT_EQ(device.PowerState(), PowerDeviceD3);
}

} // namespace
} // namespace tarnocom::testing
