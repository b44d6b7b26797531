// A running reader under random transfer faults, line-state reports and unplugs, from a seed so
// that a failing schedule can be replayed. The verifier stops the test on a request completed
// twice; unloading the driver at the end stops it on a leaked work item or request.
#include "DriverTestSupport.h"

#include <random>

namespace tarnocom::testing
{
namespace
{

using winsim::machine::Reader;
using winsim::machine::ReaderEndpoint;

class UsbStressTest : public DriverMachineTest, public ::testing::WithParamInterface<unsigned>
{
};

TEST_P(UsbStressTest, EndsRecoveredOrGone)
{
    std::mt19937 random(GetParam());
    Boot();
    Device device = Plug(u"TR0001");
    ASSERT_EQ(device.State(), DeviceState::Started);
    PDEVICE_CONTEXT context = ContextOf(device);
    Reader reader = ReaderOf(device);
    WriteBooleanNoFence(&context->PortOpen, TRUE);
    ASSERT_EQ(StartBulkInRead(context), STATUS_SUCCESS);

    bool unplugged = false;
    for (int step = 0; step < 300 && !unplugged; step++)
    {
        switch (random() % 10)
        {
        case 0:
            reader.FailTransfers(ReaderEndpoint::BulkIn, 1 + random() % 2, STATUS_UNSUCCESSFUL,
                                 USBD_STATUS_STALL_PID);
            break;
        case 1:
            reader.FailTransfers(ReaderEndpoint::Interrupt, 1, STATUS_UNSUCCESSFUL, USBD_STATUS_XACT_ERROR);
            break;
        case 2:
            reader.FailPipeResets(random() % 4, STATUS_UNSUCCESSFUL);
            break;
        case 3:
            reader.PushSerialState(static_cast<USHORT>(random() & 0x0B));
            break;
        case 4:
            // Let a port reset's pause run out.
            machine->AdvanceClock(std::chrono::milliseconds(500 * (random() % 5)));
            break;
        case 5:
            if (random() % 40 == 0)
            {
                reader.Disconnect();
                unplugged = true;
            }
            break;
        default:
            reader.PushBulkIn(std::vector<UCHAR>(1 + random() % 4096, static_cast<UCHAR>(step)));
            break;
        }
        if (random() % 3 == 0)
        {
            reader.WaitForCompletions();
        }
    }

    // Quiet down: no more faults; let every pass and port reset finish.
    reader.FailPipeResets(0, STATUS_SUCCESS);
    for (int i = 0; i < 3; i++)
    {
        reader.WaitForCompletions();
        machine->RunSystemThreadsToRest();
    }

    if (unplugged)
    {
        // The driver learns the reader left from a transfer that ends device-gone, or, when none
        // was out, from Plug and Play: either way it ends gone, without a verifier stop.
        machine->Detach(device);
        EXPECT_EQ(device.State(), DeviceState::Removed);
    }
    else
    {
        // Recovered: not gone, no pass pending, and the chain brings bytes through again.
        EXPECT_FALSE(ReadBooleanNoFence(&context->DeviceGone));
        WdfSpinLockAcquire(context->RecoveryLock);
        bool recovering = context->RecoveryInProgress;
        WdfSpinLockRelease(context->RecoveryLock);
        EXPECT_FALSE(recovering);
        if (reader.OutstandingBulkInReads() == 0)
        {
            // The last failure left the pipe marked with no pass able to fix it (every reset and
            // the port reset failed, which restarts nothing): the next start of the chain does.
            ASSERT_EQ(StartBulkInRead(context), STATUS_SUCCESS);
            reader.WaitForCompletions();
        }
        EXPECT_EQ(reader.OutstandingBulkInReads(), 1u);
        EXPECT_EQ(reader.MostBulkInReadsOutstanding(), 1u);
        WriteBooleanNoFence(&context->PortOpen, FALSE);
        EXPECT_EQ(StopBulkInRead(context), STATUS_SUCCESS);
        machine->Detach(device);
    }
    EXPECT_EQ(machine->LoadedDriver(u"TARNOCOM"), nullptr) << "the driver unloads with its last device";
}

INSTANTIATE_TEST_SUITE_P(Seeds, UsbStressTest, ::testing::Range(1u, 9u));

} // namespace
} // namespace tarnocom::testing
