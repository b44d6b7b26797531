// Requests racing with what ends them: a read's buffer filling, its timer firing and its cancel
// at the same moment; a write's transfer, timer and cancel; purges and closes against arriving
// data; the reader pulled out with every kind of request pending. Each race runs its actions on
// their own threads, released together, in an order and with delays drawn from the seed, so that
// a failing schedule can be replayed. The verifier stops a test on a request completed twice or
// touched after completion, and on anything left behind when the driver unloads.
#include "SerialTestSupport.h"

#include <atomic>
#include <functional>
#include <random>
#include <sstream>
#include <thread>

namespace tarnocom::testing
{
namespace
{

using std::chrono::milliseconds;
using winsim::machine::ReaderEndpoint;

// Runs the actions on threads of their own, each after a spin of a length drawn from the seed,
// all released at once.
void Race(std::mt19937& random, const std::vector<std::function<void()>>& actions)
{
    std::atomic<bool> go{false};
    std::vector<std::thread> threads;
    for (const std::function<void()>& action : actions)
    {
        unsigned spin = random() % 2000;
        threads.emplace_back([&go, &action, spin] {
            while (!go.load())
            {
                std::this_thread::yield();
            }
            for (unsigned i = 0; i < spin; ++i)
            {
                std::atomic_signal_fence(std::memory_order_seq_cst);
            }
            action();
        });
    }
    go.store(true);
    for (std::thread& thread : threads)
    {
        thread.join();
    }
}

class SerialRaceTest : public SerialPortTest, public ::testing::WithParamInterface<unsigned>
{
  protected:
    // The current write and its reference bits, and the reader's view, for a failure message.
    std::string WriteState()
    {
        std::ostringstream out;
        WDFREQUEST current = context->CurrentWrite;
        out << "current write " << current;
        if (current != nullptr)
        {
            PREQUEST_CONTEXT requestContext = GetRequestContext(current);
            out << " bits " << requestContext->RefBits << " timer done " << int(requestContext->TimerFired);
        }
        out << "\n" << reader.Describe();
        return out.str();
    }
    ULONG InRing()
    {
        return As<SERIAL_STATUS>(Call(IOCTL_SERIAL_GET_COMMSTATUS, {}, sizeof(SERIAL_STATUS)).output)
            .AmountInInQueue;
    }
};

TEST_P(SerialRaceTest, AReadFilledTimedOutAndCancelledAtOnceCompletesOnce)
{
    std::mt19937 random(GetParam());
    SetTimeouts(0, 0, 50);
    for (int round = 0; round < 10; ++round)
    {
        std::shared_ptr<PendingIo> read = Read(8);
        Settle();
        AwaitDeadlineWithin(milliseconds(50));
        ASSERT_FALSE(read->Done());
        std::string chunk = "0123456789AB";
        std::vector<std::function<void()>> actions = {
            [&] { reader.PushBulkIn(chunk); },
            [&] { machine->AdvanceClock(milliseconds(50)); },
            [&] { CancelIoEx(port, &read->overlapped); },
        };
        std::shuffle(actions.begin(), actions.end(), random);
        Race(random, actions);
        Settle();
        ASSERT_TRUE(read->Done()) << "round " << round;
        NTSTATUS status = read->Status();
        ULONG inRing = InRing();
        if (status == STATUS_CANCELLED)
        {
            EXPECT_EQ(read->Bytes(), 0u) << "round " << round;
            EXPECT_LE(inRing, chunk.size()) << "round " << round;
        }
        else
        {
            ASSERT_EQ(status, STATUS_SUCCESS) << "round " << round;
            EXPECT_EQ(read->Text() + std::string(chunk.end() - inRing, chunk.end()),
                      chunk.substr(0, read->Bytes() + inRing))
                << "round " << round << ": bytes neither lost nor repeated";
            EXPECT_EQ(read->Bytes() + inRing, chunk.size()) << "round " << round;
        }
        EXPECT_EQ(context->CurrentRead, nullptr);
        ASSERT_EQ(Call(IOCTL_SERIAL_PURGE, Bytes<ULONG>(SERIAL_PURGE_RXCLEAR)).status, STATUS_SUCCESS);
    }
}

TEST_P(SerialRaceTest, AWriteEndingTimingOutAndCancelledAtOnceCompletesOnce)
{
    std::mt19937 random(GetParam());
    SetTimeouts(0, 0, 0, 0, 40);
    for (int round = 0; round < 10; ++round)
    {
        reader.Hold(ReaderEndpoint::BulkOut);
        std::shared_ptr<PendingIo> write = Write("payload");
        std::shared_ptr<PendingIo> behind = Write("next");
        Settle();
        AwaitDeadlineWithin(milliseconds(40));
        std::vector<std::function<void()>> actions = {
            [&] { reader.Release(ReaderEndpoint::BulkOut); },
            [&] { machine->AdvanceClock(milliseconds(40)); },
            [&] { CancelIoEx(port, &write->overlapped); },
        };
        std::shuffle(actions.begin(), actions.end(), random);
        Race(random, actions);
        reader.Release(ReaderEndpoint::BulkOut);
        machine->RunSystemThreadsToRest();
        Settle();
        // The write behind may have met the timer too; let it end.
        machine->AdvanceClock(milliseconds(40));
        Settle();
        ASSERT_TRUE(write->Done()) << "round " << round << "\n" << WriteState();
        ASSERT_TRUE(behind->Done()) << "round " << round << "\n" << WriteState();
        NTSTATUS status = write->Status();
        EXPECT_TRUE(status == STATUS_SUCCESS || status == STATUS_TIMEOUT || status == STATUS_CANCELLED)
            << "round " << round << " status 0x" << std::hex << status;
        EXPECT_EQ(write->Bytes(), status == STATUS_SUCCESS ? 7u : 0u) << "round " << round;
        EXPECT_EQ(context->CurrentWrite, nullptr);
        EXPECT_EQ(As<SERIAL_STATUS>(Call(IOCTL_SERIAL_GET_COMMSTATUS, {}, 20).output).AmountInOutQueue, 0u);
        reader.TakeBulkOut();
    }
}

TEST_P(SerialRaceTest, PurgesAgainstArrivingDataLoseNothingTheyDoNotClear)
{
    std::mt19937 random(GetParam());
    std::string sent;
    std::string got;
    SetTimeouts(MAXULONG, 0, 0);
    for (int round = 0; round < 20; ++round)
    {
        std::string chunk(1 + random() % 300, static_cast<char>('a' + round % 26));
        std::shared_ptr<PendingIo> abort;
        std::vector<std::function<void()>> actions = {
            [&] { reader.PushBulkIn(chunk); },
            [&] {
                abort =
                    Control(IOCTL_SERIAL_PURGE, Bytes<ULONG>(SERIAL_PURGE_RXABORT | SERIAL_PURGE_TXABORT), 0);
            },
        };
        std::shuffle(actions.begin(), actions.end(), random);
        Race(random, actions);
        Settle();
        ASSERT_TRUE(abort->Done());
        EXPECT_EQ(abort->Status(), STATUS_SUCCESS);
        sent += chunk;
        std::shared_ptr<PendingIo> read = Read(4096);
        Settle();
        got += read->Text();
    }
    EXPECT_EQ(got, sent) << "an abort without a clear keeps the ring";
}

TEST_P(SerialRaceTest, ClosingAgainstArrivingDataLeavesNothingBehind)
{
    std::mt19937 random(GetParam());
    for (int round = 0; round < 5; ++round)
    {
        std::shared_ptr<PendingIo> read = Read(100);
        Settle();
        HANDLE closing = port;
        std::vector<std::function<void()>> actions = {
            [&] { reader.PushBulkIn(std::string(50 + random() % 100, 'x')); },
            [&] { CloseHandle(closing); },
        };
        std::shuffle(actions.begin(), actions.end(), random);
        Race(random, actions);
        port = INVALID_HANDLE_VALUE;
        Settle();
        ASSERT_TRUE(read->Done());
        EXPECT_TRUE(read->Status() == STATUS_SUCCESS || read->Status() == STATUS_CANCELLED);
        EXPECT_FALSE(context->PortOpen);
        EXPECT_EQ(machine->LivePoolAllocations(TARNO_TAG_RX_RING), 0u);
        port = OpenPort();
        ASSERT_NE(port, INVALID_HANDLE_VALUE);
    }
}

TEST_P(SerialRaceTest, PullingTheReaderOutEndsEveryPendingRequestOnce)
{
    std::mt19937 random(GetParam());
    SetWaitMask(SERIAL_EV_DSR | SERIAL_EV_CTS);
    reader.Hold(ReaderEndpoint::BulkOut);
    std::vector<std::shared_ptr<PendingIo>> pending;
    pending.push_back(Read(10));
    pending.push_back(Read(10));
    pending.push_back(Write("one"));
    pending.push_back(Write("two"));
    pending.push_back(Control(IOCTL_SERIAL_WAIT_ON_MASK, {}, 4));
    SERIAL_QUEUE_SIZE size{8192, 0};
    pending.push_back(Control(IOCTL_SERIAL_SET_QUEUE_SIZE, Bytes(size), 0));
    Settle();
    std::vector<std::function<void()>> actions = {
        [&] { machine->Detach(node); },
        [&] { reader.PushBulkIn("late"); },
        [&] { pending.push_back(Control(IOCTL_SERIAL_PURGE, Bytes<ULONG>(SERIAL_PURGE_RXCLEAR), 0)); },
    };
    std::shuffle(actions.begin(), actions.end(), random);
    Race(random, actions);
    Settle();

    ASSERT_TRUE(pending[4]->Done()) << "the wait hears of the removal";
    EXPECT_EQ(pending[4]->Status(), STATUS_SUCCESS);
    EXPECT_NE(As<ULONG>(pending[4]->buffer) & SERIAL_EV_DSR, 0u);

    // The application learns the reader is gone and closes; every request has ended by then.
    CloseHandle(port);
    port = INVALID_HANDLE_VALUE;
    machine->RunSystemThreadsToRest();
    Settle();
    for (size_t i = 0; i < pending.size(); ++i)
    {
        EXPECT_TRUE(pending[i]->Done()) << "request " << i;
    }
    EXPECT_EQ(node.State(), DeviceState::Removed);
    EXPECT_EQ(machine->LivePoolAllocations(TARNO_TAG_RX_RING), 0u);
    EXPECT_EQ(machine->LivePoolAllocations(TARNO_TAG_RX_REPLACE), 0u);
    EXPECT_EQ(machine->LiveFrameworkObjects(u"TARNOCOM"), 0u) << "the driver unloaded with nothing left";
}

INSTANTIATE_TEST_SUITE_P(Seeds, SerialRaceTest, ::testing::Range(1u, 9u));

} // namespace
} // namespace tarnocom::testing
