// Out of memory on the way: every framework object creation and pool allocation that opening,
// configuring, reading and writing make fails in turn. Each failure ends the operation with
// STATUS_INSUFFICIENT_RESOURCES and leaves the port as it was, and the port works afterwards.
#include "SerialTestSupport.h"

#include <algorithm>
#include <functional>

namespace tarnocom::testing
{
namespace
{

class FaultTest : public SerialPortTest
{
  protected:
    // The port still does its job: a write goes out and received bytes are read.
    void ExpectPortWorks(const std::string& when)
    {
        EXPECT_EQ(As<SERIAL_STATUS>(Call(IOCTL_SERIAL_GET_COMMSTATUS, {}, 20).output).AmountInOutQueue, 0u)
            << when << ": a failed write leaves nothing counted";
        std::shared_ptr<PendingIo> write = Write("ok");
        Settle();
        ASSERT_TRUE(write->Done()) << when;
        EXPECT_EQ(write->Status(), STATUS_SUCCESS) << when;
        std::vector<UCHAR> sent = reader.TakeBulkOut();
        EXPECT_EQ(std::string(sent.begin(), sent.end()), "ok") << when;
        SetTimeouts(MAXULONG, 0, 0);
        Receive("in");
        std::shared_ptr<PendingIo> read = Read(2);
        Settle();
        ASSERT_TRUE(read->Done()) << when;
        EXPECT_EQ(read->Text(), "in") << when;
    }

    // Runs the operation once for each framework object creation it makes, failing that one;
    // the operation reports its status, which must be STATUS_INSUFFICIENT_RESOURCES or one of
    // `alsoAllowed` (a step whose failure the driver reports otherwise, or ignores). Returns how
    // many creations it made.
    unsigned FailEachCreation(const std::string& name, const std::function<NTSTATUS()>& operation,
                              std::vector<NTSTATUS> alsoAllowed = {})
    {
        for (unsigned skip = 0; skip < 50; ++skip)
        {
            machine->FailFrameworkObjectCreation(skip);
            NTSTATUS status = operation();
            bool failed = machine->FrameworkObjectCreationFailed();
            machine->ClearFrameworkObjectCreationFault();
            if (!failed)
            {
                EXPECT_EQ(status, STATUS_SUCCESS) << name << " without a failure";
                return skip;
            }
            std::string when = name + " with creation " + std::to_string(skip) + " failing";
            alsoAllowed.push_back(STATUS_INSUFFICIENT_RESOURCES);
            EXPECT_NE(std::find(alsoAllowed.begin(), alsoAllowed.end(), status), alsoAllowed.end())
                << when << ": status 0x" << std::hex << status;
            ExpectPortWorks(when);
            if (::testing::Test::HasFailure())
            {
                return skip;
            }
        }
        ADD_FAILURE() << name << " never ran out of creations to fail";
        return 0;
    }
};

TEST_F(FaultTest, OpenSurvivesEveryFailedCreation)
{
    CloseHandle(port);
    port = INVALID_HANDLE_VALUE;
    Settle();
    unsigned creations = FailEachCreation(
        "open",
        [&] {
            if (port != INVALID_HANDLE_VALUE)
            {
                CloseHandle(port);
                Settle();
            }
            port = OpenPort();
            if (port == INVALID_HANDLE_VALUE)
            {
                EXPECT_FALSE(context->PortOpen);
                EXPECT_EQ(context->OpenCount, 0u);
                port = OpenPort();
                EXPECT_NE(port, INVALID_HANDLE_VALUE);
                return STATUS_INSUFFICIENT_RESOURCES;
            }
            return STATUS_SUCCESS;
        },
        // The line coding and RTS that open sends are best effort: a class request that cannot be
        // built leaves the port open.
        {STATUS_SUCCESS});
    EXPECT_GE(creations, 1u) << "opening creates the file object and the create request";
}

TEST_F(FaultTest, ReadsAndWritesSurviveEveryFailedCreation)
{
    SetTimeouts(MAXULONG, 0, 0);
    unsigned reads = FailEachCreation("read", [&] {
        Receive("r");
        std::shared_ptr<PendingIo> read = Read(1);
        Settle();
        EXPECT_TRUE(read->Done());
        if (read->Status() != STATUS_SUCCESS)
        {
            // The byte stays for the next read.
            std::shared_ptr<PendingIo> again = Read(1);
            Settle();
            EXPECT_EQ(again->Text(), "r");
        }
        return read->Status();
    });
    EXPECT_GE(reads, 1u);
    unsigned writes = FailEachCreation("write", [&] {
        std::shared_ptr<PendingIo> write = Write("w");
        Settle();
        EXPECT_TRUE(write->Done());
        reader.TakeBulkOut();
        return write->Status();
    });
    EXPECT_GE(writes, 1u);
}

TEST_F(FaultTest, ControlsSurviveEveryFailedCreation)
{
    unsigned creations =
        FailEachCreation("set baud rate",
                         [&] {
                             std::shared_ptr<PendingIo> control =
                                 Control(IOCTL_SERIAL_SET_BAUD_RATE, Bytes<ULONG>(19200), 0);
                             Settle();
                             EXPECT_TRUE(control->Done());
                             return control->Status();
                         },
                         // A line coding that cannot be sent fails the control as the reader's refusal does.
                         {STATUS_INVALID_PARAMETER});
    EXPECT_GE(creations, 1u);
    EXPECT_EQ(As<ULONG>(Call(IOCTL_SERIAL_GET_BAUD_RATE, {}, 4).output), 19200u);
}

TEST_F(FaultTest, ARingThatCannotBeAllocatedLeavesTheOldOne)
{
    Receive("keep");
    machine->FailPoolAllocationsWithTag(TARNO_TAG_RX_REPLACE);
    SERIAL_QUEUE_SIZE size{8192, 0};
    ControlResult result = Call(IOCTL_SERIAL_SET_QUEUE_SIZE, Bytes(size));
    machine->FailPoolAllocationsWithTag(0);
    EXPECT_EQ(result.status, STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(context->RxSize, 4096u);
    EXPECT_EQ(As<SERIAL_STATUS>(Call(IOCTL_SERIAL_GET_COMMSTATUS, {}, 20).output).AmountInInQueue, 4u);
    EXPECT_EQ(Call(IOCTL_SERIAL_SET_QUEUE_SIZE, Bytes(size)).status, STATUS_SUCCESS);
    EXPECT_EQ(context->RxSize, 8192u);
    SetTimeouts(MAXULONG, 0, 0);
    std::shared_ptr<PendingIo> read = Read(10);
    Settle();
    EXPECT_EQ(read->Text(), "keep");
}

} // namespace
} // namespace tarnocom::testing
