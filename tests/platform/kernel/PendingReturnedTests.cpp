// IoCompleteRequest's pending rule: while it walks up the stack it sets Irp->PendingReturned from
// the SL_PENDING_RETURNED bit of the location it leaves. A completion routine that runs sees it
// and marks its own location pending (the routine's duty); when no routine runs for the location,
// because none was set or its InvokeOnSuccess / InvokeOnError / InvokeOnCancel choice does not
// match how the IRP ended, IoCompleteRequest marks the next location up itself.
//
// The stack: the originator (the test, with its own completion routine), a top driver that passes
// the IRP down without a routine, a middle driver that passes it down with the routine under
// test, and a bottom driver that pends the IRP and completes it later (or completes it at once).
#include "KernelTestSupport.h"

#include <map>

using namespace kerneltest;

namespace
{

using kerneltest::PrintTo;

struct PendingCase
{
    const char* name;
    bool middleSetsRoutine;
    bool onSuccess, onError, onCancel; // the middle routine's InvokeOn... choice
    bool bottomPends;                  // false: the bottom completes in its dispatch routine
    NTSTATUS status;                   // how the bottom completes the IRP
    bool cancelled;                    // Irp->Cancel when it completes
    bool routineMarksPending;          // the middle routine follows the rule (or forgets it)
    bool middleRuns;                   // expected: the middle routine is called
    bool originatorSeesPending;        // expected: Irp->PendingReturned in the originator's routine
};

const PendingCase PendingCases[] = {
    {"SuccessRunsAnOnSuccessRoutine", true, true, false, false, true, STATUS_SUCCESS, false, true, true,
     true},
    {"ErrorSkipsAnOnSuccessRoutine", true, true, false, false, true, STATUS_DEVICE_NOT_CONNECTED, false, true,
     false, true},
    {"SuccessSkipsAnOnErrorRoutine", true, false, true, false, true, STATUS_SUCCESS, false, true, false,
     true},
    {"ErrorRunsAnOnErrorRoutine", true, false, true, false, true, STATUS_DEVICE_NOT_CONNECTED, false, true,
     true, true},
    {"CancelRunsAnOnCancelRoutine", true, false, false, true, true, STATUS_CANCELLED, true, true, true, true},
    {"CancelRunsAnOnCancelRoutineEvenOnSuccess", true, false, false, true, true, STATUS_SUCCESS, true, true,
     true, true},
    {"ErrorWithoutCancelSkipsAnOnCancelRoutine", true, false, false, true, true, STATUS_CANCELLED, false,
     true, false, true},
    {"RoutineAskingForNothingIsSkipped", true, false, false, false, true, STATUS_SUCCESS, false, true, false,
     true},
    {"NoRoutineAtAll", false, false, false, false, true, STATUS_DEVICE_NOT_CONNECTED, false, true, false,
     true},
    {"RoutineForEverythingOnError", true, true, true, true, true, STATUS_DEVICE_NOT_CONNECTED, false, true,
     true, true},
    // A routine that runs and does not mark its location pending breaks the chain: the I/O manager
    // leaves that to the routine.
    {"RoutineThatForgetsToMarkPending", true, true, true, true, true, STATUS_SUCCESS, false, false, true,
     false},
    // Nothing pended, so nothing is passed up, whichever routine runs or is skipped.
    {"CompletedAtOnceSkippedRoutine", true, true, false, false, false, STATUS_DEVICE_NOT_CONNECTED, false,
     true, false, false},
    {"CompletedAtOnceRoutineRuns", true, true, true, true, false, STATUS_SUCCESS, false, true, true, false},
};

class PendingReturnedTest : public KernelTest, public ::testing::WithParamInterface<PendingCase>
{
  protected:
    struct Seen
    {
        bool called = false;
        BOOLEAN pendingReturned = FALSE;
    };

    static NTSTATUS MiddleRoutine(PDEVICE_OBJECT, PIRP irp, PVOID context)
    {
        auto* test = static_cast<PendingReturnedTest*>(context);
        test->m_middleSeen = Seen{true, irp->PendingReturned};
        if (irp->PendingReturned && test->GetParam().routineMarksPending)
        {
            IoMarkIrpPending(irp);
        }
        return STATUS_SUCCESS; // let the completion go on up
    }

    static NTSTATUS OriginatorRoutine(PDEVICE_OBJECT, PIRP irp, PVOID context)
    {
        auto* test = static_cast<PendingReturnedTest*>(context);
        test->m_originatorSeen = Seen{true, irp->PendingReturned};
        return STATUS_MORE_PROCESSING_REQUIRED; // the IRP is the originator's own
    }

    void SetUp() override
    {
        const PendingCase& c = GetParam();
        m_bottomHandler = [this, c](PDEVICE_OBJECT, PIRP irp) {
            if (!c.bottomPends)
            {
                irp->Cancel = c.cancelled ? TRUE : FALSE;
                return Complete(irp, c.status);
            }
            IoMarkIrpPending(irp);
            m_pended = irp;
            return STATUS_PENDING;
        };
        m_middleHandler = [this, c](PDEVICE_OBJECT, PIRP irp) {
            IoCopyCurrentIrpStackLocationToNext(irp);
            if (c.middleSetsRoutine)
            {
                IoSetCompletionRoutine(irp, MiddleRoutine, this, c.onSuccess, c.onError, c.onCancel);
            }
            return IoCallDriver(m_bottom, irp);
        };
        m_topHandler = [this](PDEVICE_OBJECT, PIRP irp) {
            IoCopyCurrentIrpStackLocationToNext(irp);
            return IoCallDriver(m_middle, irp);
        };
        m_bottom = m_driver.CreateDevice(nullptr, &m_bottomHandler);
        m_middle = m_driver.CreateDevice(nullptr, &m_middleHandler);
        m_top = m_driver.CreateDevice(nullptr, &m_topHandler);
        ASSERT_EQ(IoAttachDeviceToDeviceStack(m_middle, m_bottom), m_bottom);
        ASSERT_EQ(IoAttachDeviceToDeviceStack(m_top, m_middle), m_middle);
    }

    TestDriver m_driver{u"PendDrv"};
    IrpHandler m_bottomHandler;
    IrpHandler m_middleHandler;
    IrpHandler m_topHandler;
    PDEVICE_OBJECT m_bottom = nullptr;
    PDEVICE_OBJECT m_middle = nullptr;
    PDEVICE_OBJECT m_top = nullptr;
    PIRP m_pended = nullptr;
    Seen m_middleSeen;
    Seen m_originatorSeen;
};

TEST_P(PendingReturnedTest, PendingIsPassedUpPastEveryLocationWhoseRoutineDoesNotRun)
{
    const PendingCase& c = GetParam();
    PIRP irp = IoAllocateIrp(m_top->StackSize, FALSE);
    ASSERT_NE(irp, nullptr);
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    IoSetCompletionRoutine(irp, OriginatorRoutine, this, TRUE, TRUE, TRUE);

    NTSTATUS returned = IoCallDriver(m_top, irp);
    if (c.bottomPends)
    {
        EXPECT_EQ(returned, STATUS_PENDING);
        ASSERT_EQ(m_pended, irp);
        EXPECT_FALSE(m_originatorSeen.called) << "nothing completes before the bottom driver does";
        irp->Cancel = c.cancelled ? TRUE : FALSE;
        Complete(irp, c.status);
    }
    else
    {
        EXPECT_EQ(returned, c.status);
    }

    EXPECT_EQ(m_middleSeen.called, c.middleRuns);
    if (c.middleRuns)
    {
        // The routine runs with PendingReturned saying whether the driver below it pended.
        EXPECT_EQ(m_middleSeen.pendingReturned != FALSE, c.bottomPends);
    }
    ASSERT_TRUE(m_originatorSeen.called);
    EXPECT_EQ(m_originatorSeen.pendingReturned != FALSE, c.originatorSeesPending);
    EXPECT_EQ(irp->IoStatus.Status, c.status);
    IoFreeIrp(irp);
}

INSTANTIATE_TEST_SUITE_P(Completion, PendingReturnedTest, ::testing::ValuesIn(PendingCases),
                         [](const ::testing::TestParamInfo<PendingCase>& info) { return info.param.name; });

} // namespace
