// Framework queues and file objects, driven by an application's handle on the device: parallel and
// sequential presentation, manual retrieval, stop, start and purge, and the file create, cleanup
// and close callbacks.
#include "FxTestSupport.h"

#include <algorithm>
#include <atomic>
#include <mutex>
#include <thread>
#include <vector>

using namespace fxtest;

namespace
{

using fxtest::PrintTo;

constexpr char16_t kDeviceName[] = u"\\Device\\FxQueue0";

// Requests the queue callbacks presented, held until the test completes them.
struct Held
{
    std::mutex lock;
    std::vector<WDFREQUEST> requests;
    std::vector<ULONG> codes;
    std::vector<WDFFILEOBJECT> files;

    size_t Count()
    {
        std::lock_guard<std::mutex> guard(lock);
        return requests.size();
    }
    WDFREQUEST At(size_t index)
    {
        std::lock_guard<std::mutex> guard(lock);
        return requests.at(index);
    }
    ULONG CodeAt(size_t index)
    {
        std::lock_guard<std::mutex> guard(lock);
        return codes.at(index);
    }
    WDFFILEOBJECT FileAt(size_t index)
    {
        std::lock_guard<std::mutex> guard(lock);
        return files.at(index);
    }
    // The queue counts a request as presented just before its callback records it.
    void WaitFor(size_t count)
    {
        while (Count() < count)
        {
            std::this_thread::yield();
        }
    }
};
Held* g_held = nullptr;

VOID HoldIo(WDFQUEUE, WDFREQUEST request, size_t, size_t, ULONG code)
{
    std::lock_guard<std::mutex> guard(g_held->lock);
    g_held->requests.push_back(request);
    g_held->codes.push_back(code);
    g_held->files.push_back(WdfRequestGetFileObject(request));
}

class FxQueueTest : public FxTest
{
  protected:
    void SetUp() override { g_held = &m_held; }
    void TearDown() override
    {
        if (HasFailure())
        {
            // A failed test may have left requests its senders wait for; rather than hang, let
            // the removal below report them (a verifier stop makes the failure plain).
            for (auto& sender : m_senders)
            {
                sender.detach();
            }
            m_senders.clear();
        }
        JoinSenders();
        m_file.Close();
        // The device goes, and with its last device the driver.
        m_machine.UnplugAll();
        EXPECT_FALSE(m_machine.Loaded());
        g_held = nullptr;
    }

    // Plugs a named device; configure creates its queues.
    void PlugDevice(std::function<void(WDFDEVICE)> configure, std::function<void(PWDFDEVICE_INIT)> init = {})
    {
        m_machine.hooks.deviceAdd = [configure, init](WDFDRIVER, PWDFDEVICE_INIT deviceInit) {
            std::u16string name(kDeviceName);
            UNICODE_STRING deviceName{static_cast<USHORT>(name.size() * 2),
                                      static_cast<USHORT>(name.size() * 2),
                                      reinterpret_cast<PWCH>(name.data())};
            WdfDeviceInitAssignName(deviceInit, &deviceName);
            if (init)
            {
                init(deviceInit);
            }
            WDFDEVICE device = nullptr;
            NTSTATUS status = WdfDeviceCreate(&deviceInit, WDF_NO_OBJECT_ATTRIBUTES, &device);
            if (NT_SUCCESS(status) && configure)
            {
                configure(device);
            }
            return status;
        };
        m_node = m_machine.Plug();
        m_device = m_machine.DeviceOf(m_node);
        ASSERT_NE(m_device, nullptr);
    }

    static WDFQUEUE CreateQueue(WDFDEVICE device, WDF_IO_QUEUE_DISPATCH_TYPE type, bool isDefault,
                                PFN_WDF_IO_QUEUE_IO_DEVICE_CONTROL control)
    {
        WDF_IO_QUEUE_CONFIG config;
        if (isDefault)
        {
            WDF_IO_QUEUE_CONFIG_INIT_DEFAULT_QUEUE(&config, type);
        }
        else
        {
            WDF_IO_QUEUE_CONFIG_INIT(&config, type);
        }
        config.EvtIoDeviceControl = control;
        WDFQUEUE queue = nullptr;
        EXPECT_EQ(WdfIoQueueCreate(device, &config, WDF_NO_OBJECT_ATTRIBUTES, &queue), STATUS_SUCCESS);
        return queue;
    }

    void Open() { ASSERT_EQ(m_file.Open(kDeviceName, GENERIC_READ | GENERIC_WRITE), STATUS_SUCCESS); }

    // Sends a device control request from a helper thread (the call blocks until it completes).
    void Send(ULONG code, size_t slot)
    {
        m_senders.emplace_back([this, code, slot] { m_results[slot] = m_file.DeviceControl(code); });
    }

    // Waits (yielding) until the requests sent so far have reached the queue, then checks how
    // many it holds and how many the driver owns.
    void WaitForState(WDFQUEUE queue, ULONG queued, ULONG owned)
    {
        ULONG q = 0;
        ULONG o = 0;
        for (;;)
        {
            WdfIoQueueGetState(queue, &q, &o);
            if (q + o == queued + owned)
            {
                break;
            }
            std::this_thread::yield();
        }
        EXPECT_EQ(q, queued) << "requests waiting in the queue";
        EXPECT_EQ(o, owned) << "requests the driver owns";
    }

    void JoinSenders()
    {
        for (auto& sender : m_senders)
        {
            sender.join();
        }
        m_senders.clear();
    }

    Held m_held;
    Device m_node;
    WDFDEVICE m_device = nullptr;
    AppFile m_file;
    std::vector<std::thread> m_senders;
    std::vector<IoResult> m_results = std::vector<IoResult>(4); // one slot per sender, sized up front
};

struct PresentationCase
{
    const char* name;
    WDF_IO_QUEUE_DISPATCH_TYPE type;
    size_t presentedAtOnce;
};

class FxPresentationTest : public FxQueueTest, public ::testing::WithParamInterface<PresentationCase>
{
};

TEST_P(FxPresentationTest, RequestsPresentedWhileOthersAreOutstanding)
{
    const PresentationCase& c = GetParam();
    WDFQUEUE queue = nullptr;
    PlugDevice([&](WDFDEVICE device) { queue = CreateQueue(device, c.type, true, HoldIo); });
    EXPECT_EQ(WdfDeviceGetDefaultQueue(m_device), queue);
    EXPECT_EQ(WdfIoQueueGetDevice(queue), m_device);
    Open();
    Send(0x222004, 0);
    WaitForState(queue, 0, 1);
    m_held.WaitFor(1);
    Send(0x222008, 1);
    WaitForState(queue, 2 - static_cast<ULONG>(c.presentedAtOnce), static_cast<ULONG>(c.presentedAtOnce));
    m_held.WaitFor(c.presentedAtOnce);
    ASSERT_EQ(m_held.Count(), c.presentedAtOnce);
    ULONG state = WdfIoQueueGetState(queue, nullptr, nullptr);
    EXPECT_NE(state & WdfIoQueueAcceptRequests, 0u);
    EXPECT_NE(state & WdfIoQueueDispatchRequests, 0u);
    EXPECT_EQ(state & WdfIoQueueDriverNoRequests, 0u);
    EXPECT_EQ((state & WdfIoQueueNoRequests) != 0, c.presentedAtOnce == 2);

    WDF_REQUEST_PARAMETERS parameters;
    WDF_REQUEST_PARAMETERS_INIT(&parameters);
    WdfRequestGetParameters(m_held.At(0), &parameters);
    EXPECT_EQ(parameters.Type, WdfRequestTypeDeviceControl);
    EXPECT_EQ(parameters.Parameters.DeviceIoControl.IoControlCode, 0x222004u);
    EXPECT_EQ(WdfRequestGetIoQueue(m_held.At(0)), queue);

    WdfRequestCompleteWithInformation(m_held.At(0), STATUS_SUCCESS, 11);
    // A sequential queue presents its next request once the first is done.
    WaitForState(queue, 0, 1);
    m_held.WaitFor(2);
    EXPECT_EQ(m_held.CodeAt(1), 0x222008u);
    WdfRequestCompleteWithInformation(m_held.At(1), STATUS_SUCCESS, 22);
    JoinSenders();
    EXPECT_EQ(m_results[0].status, STATUS_SUCCESS);
    EXPECT_EQ(m_results[0].information, 11u);
    EXPECT_EQ(m_results[1].information, 22u);
    EXPECT_EQ(static_cast<ULONG>(WdfIoQueueGetState(queue, nullptr, nullptr)),
              static_cast<ULONG>(WdfIoQueueAcceptRequests | WdfIoQueueDispatchRequests |
                                 WdfIoQueueNoRequests | WdfIoQueueDriverNoRequests));
}

INSTANTIATE_TEST_SUITE_P(Dispatch, FxPresentationTest,
                         ::testing::Values(PresentationCase{"Parallel", WdfIoQueueDispatchParallel, 2},
                                           PresentationCase{"Sequential", WdfIoQueueDispatchSequential, 1}),
                         [](const ::testing::TestParamInfo<PresentationCase>& info) {
                             return std::string(info.param.name);
                         });

// The default queue forwards every request to a manual queue, from which the test retrieves them.
class FxManualQueueTest : public FxQueueTest
{
  protected:
    static inline WDFQUEUE s_manual = nullptr;
    static inline std::atomic<NTSTATUS> s_forwardStatus{STATUS_SUCCESS};

    static VOID Forward(WDFQUEUE, WDFREQUEST request, size_t, size_t, ULONG)
    {
        NTSTATUS status = WdfRequestForwardToIoQueue(request, s_manual);
        s_forwardStatus = status;
        if (!NT_SUCCESS(status))
        {
            WdfRequestComplete(request, status);
        }
    }

    static VOID CountState(WDFQUEUE, WDFCONTEXT context) { ++*static_cast<std::atomic<int>*>(context); }

    void SetUp() override
    {
        FxQueueTest::SetUp();
        PlugDevice([](WDFDEVICE device) {
            CreateQueue(device, WdfIoQueueDispatchParallel, true, Forward);
            s_manual = CreateQueue(device, WdfIoQueueDispatchManual, false, nullptr);
        });
        Open();
    }

    WDFREQUEST Retrieve()
    {
        WDFREQUEST request = nullptr;
        EXPECT_EQ(WdfIoQueueRetrieveNextRequest(s_manual, &request), STATUS_SUCCESS);
        return request;
    }
};

TEST_F(FxManualQueueTest, RetrieveNextHandsOutRequestsInArrivalOrder)
{
    WDFREQUEST none = reinterpret_cast<WDFREQUEST>(1);
    EXPECT_EQ(WdfIoQueueRetrieveNextRequest(s_manual, &none), STATUS_NO_MORE_ENTRIES);
    EXPECT_EQ(none, nullptr);
    Send(0x222010, 0);
    WaitForState(s_manual, 1, 0);
    Send(0x222014, 1);
    WaitForState(s_manual, 2, 0);
    WDFREQUEST first = Retrieve();
    WDF_REQUEST_PARAMETERS parameters;
    WDF_REQUEST_PARAMETERS_INIT(&parameters);
    WdfRequestGetParameters(first, &parameters);
    EXPECT_EQ(parameters.Parameters.DeviceIoControl.IoControlCode, 0x222010u);
    EXPECT_EQ(WdfRequestGetIoQueue(first), s_manual);
    WaitForState(s_manual, 1, 1);
    WDFREQUEST second = Retrieve();
    EXPECT_EQ(WdfIoQueueRetrieveNextRequest(s_manual, &none), STATUS_NO_MORE_ENTRIES);
    WdfRequestCompleteWithInformation(second, STATUS_SUCCESS, 2);
    WdfRequestCompleteWithInformation(first, STATUS_SUCCESS, 1);
    JoinSenders();
    EXPECT_EQ(m_results[0].information, 1u);
    EXPECT_EQ(m_results[1].information, 2u);
}

TEST_F(FxManualQueueTest, StopStartAndPurge)
{
    std::atomic<int> stopped{0};
    std::atomic<int> purged{0};
    Send(0x222020, 0);
    WaitForState(s_manual, 1, 0);
    Send(0x222024, 1);
    WaitForState(s_manual, 2, 0);

    WdfIoQueueStop(s_manual, CountState, &stopped);
    EXPECT_EQ(stopped.load(), 1) << "nothing is driver-owned, so the queue is stopped at once";
    ULONG state = WdfIoQueueGetState(s_manual, nullptr, nullptr);
    EXPECT_NE(state & WdfIoQueueAcceptRequests, 0u) << "a stopped queue still accepts requests";
    EXPECT_EQ(state & WdfIoQueueDispatchRequests, 0u);
    WDFREQUEST request = nullptr;
    EXPECT_EQ(WdfIoQueueRetrieveNextRequest(s_manual, &request), STATUS_WDF_PAUSED);

    WdfIoQueueStart(s_manual);
    EXPECT_NE(WdfIoQueueGetState(s_manual, nullptr, nullptr) & WdfIoQueueDispatchRequests, 0u);
    WDFREQUEST first = Retrieve();
    WdfIoQueueStop(s_manual, CountState, &stopped);
    EXPECT_EQ(stopped.load(), 1) << "stop completes once the driver's request is done";
    WdfRequestComplete(first, STATUS_SUCCESS);
    EXPECT_EQ(stopped.load(), 2);

    WdfIoQueuePurge(s_manual, CountState, &purged);
    JoinSenders();
    EXPECT_EQ(purged.load(), 1);
    EXPECT_EQ(m_results[0].status, STATUS_SUCCESS);
    EXPECT_EQ(m_results[1].status, STATUS_CANCELLED) << "the queued request is cancelled";
    state = WdfIoQueueGetState(s_manual, nullptr, nullptr);
    EXPECT_EQ(state & (WdfIoQueueAcceptRequests | WdfIoQueueDispatchRequests), 0u);
    EXPECT_NE(state & WdfIoQueueNoRequests, 0u);

    // A purged queue refuses requests forwarded to it.
    EXPECT_EQ(m_file.DeviceControl(0x222028).status, STATUS_WDF_BUSY);
    EXPECT_EQ(s_forwardStatus.load(), STATUS_WDF_BUSY);
    WdfIoQueueStart(s_manual);
    Send(0x22202C, 2);
    WaitForState(s_manual, 1, 0);
    WdfRequestComplete(Retrieve(), STATUS_SUCCESS);
    JoinSenders();
    EXPECT_EQ(m_results[2].status, STATUS_SUCCESS);
}

// A request sent down the way a driver sends one of its own (IoCallDriver, no file object), without
// waiting for it.
struct SentIrp
{
    bool completed = false;
    NTSTATUS status = STATUS_PENDING;

    static NTSTATUS Completed(PDEVICE_OBJECT, PIRP irp, PVOID context)
    {
        auto* sent = static_cast<SentIrp*>(context);
        sent->completed = true;
        sent->status = irp->IoStatus.Status;
        IoFreeIrp(irp);
        return STATUS_MORE_PROCESSING_REQUIRED;
    }
};

// A purged queue refuses what arrives: the framework completes the request before the call that
// brought it returns. A queue that took it would leave it pending, and the test fails at once
// rather than waiting for a completion that never comes.
TEST_F(FxQueueTest, PurgedQueueCompletesNewRequestsAsInvalidDeviceState)
{
    WDFQUEUE queue = nullptr;
    PlugDevice(
        [&](WDFDEVICE device) { queue = CreateQueue(device, WdfIoQueueDispatchParallel, true, HoldIo); });
    Open();
    WdfIoQueuePurgeSynchronously(queue);
    PDEVICE_OBJECT fdo = WdfDeviceWdmGetDeviceObject(m_device);
    PIRP irp = IoAllocateIrp(fdo->StackSize, FALSE);
    PIO_STACK_LOCATION stack = IoGetNextIrpStackLocation(irp);
    stack->MajorFunction = IRP_MJ_DEVICE_CONTROL;
    stack->Parameters.DeviceIoControl.IoControlCode = 0x222030;
    SentIrp sent;
    IoSetCompletionRoutine(irp, SentIrp::Completed, &sent, TRUE, TRUE, TRUE);
    IoCallDriver(fdo, irp);
    if (!sent.completed)
    {
        // Give a presented request back so that the test ends; one left in the queue makes the
        // removal at the end stop the machine with a verifier stop.
        if (m_held.Count() != 0)
        {
            WdfRequestComplete(m_held.At(0), STATUS_CANCELLED);
        }
        FAIL() << "the purged queue took the request";
    }
    EXPECT_EQ(sent.status, STATUS_INVALID_DEVICE_STATE);
    EXPECT_EQ(m_held.Count(), 0u);

    WdfIoQueueStart(queue);
    Send(0x222034, 0);
    m_held.WaitFor(1);
    WdfRequestComplete(m_held.At(0), STATUS_SUCCESS);
    JoinSenders();
    EXPECT_EQ(m_results[0].status, STATUS_SUCCESS);
    WDFREQUEST none = reinterpret_cast<WDFREQUEST>(1);
    EXPECT_EQ(WdfIoQueueRetrieveNextRequest(queue, &none), STATUS_INVALID_DEVICE_STATE)
        << "a parallel queue hands out no requests on demand";
    EXPECT_EQ(none, nullptr);
}

// File objects: the create, cleanup and close callbacks of one open, in that order.
struct FileContext
{
    ULONG opens;
};
WDF_DECLARE_CONTEXT_TYPE_WITH_NAME(FileContext, GetFileContext)

struct FileEvents
{
    std::vector<std::string> log;
    std::vector<WDFFILEOBJECT> files;
    PFILE_OBJECT wdmFile = nullptr;
    WDFDEVICE device = nullptr;
    bool contextZeroed = false;
    NTSTATUS createStatus = STATUS_SUCCESS;
};
FileEvents* g_files = nullptr;

VOID FileCreate(WDFDEVICE device, WDFREQUEST request, WDFFILEOBJECT file)
{
    g_files->log.push_back("create");
    g_files->files.push_back(file);
    g_files->wdmFile = WdfFileObjectWdmGetFileObject(file);
    g_files->device = WdfFileObjectGetDevice(file);
    g_files->contextZeroed = GetFileContext(file) != nullptr && GetFileContext(file)->opens == 0;
    EXPECT_EQ(device, g_files->device);
    EXPECT_EQ(WdfRequestGetFileObject(request), file);
    WdfRequestComplete(request, g_files->createStatus);
}

VOID FileCleanup(WDFFILEOBJECT file)
{
    g_files->log.push_back("cleanup");
    g_files->files.push_back(file);
}

VOID FileClose(WDFFILEOBJECT file)
{
    g_files->log.push_back("close");
    g_files->files.push_back(file);
}

// The file object's own cleanup callback: the framework deletes the object.
VOID FileObjectDeleted(WDFOBJECT)
{
    g_files->log.push_back("deleted");
}

class FxFileTest : public FxQueueTest
{
  protected:
    void SetUp() override
    {
        FxQueueTest::SetUp();
        g_files = &m_events;
        PlugDevice([](WDFDEVICE device) { CreateQueue(device, WdfIoQueueDispatchParallel, true, HoldIo); },
                   [](PWDFDEVICE_INIT init) {
                       WDF_FILEOBJECT_CONFIG config;
                       WDF_FILEOBJECT_CONFIG_INIT(&config, FileCreate, FileClose, FileCleanup);
                       WDF_OBJECT_ATTRIBUTES attributes;
                       WDF_OBJECT_ATTRIBUTES_INIT_CONTEXT_TYPE(&attributes, FileContext);
                       attributes.EvtCleanupCallback = FileObjectDeleted;
                       WdfDeviceInitSetFileObjectConfig(init, &config, &attributes);
                   });
    }
    void TearDown() override
    {
        FxQueueTest::TearDown();
        g_files = nullptr;
    }

    FileEvents m_events;
};

TEST_F(FxFileTest, CreateCleanupAndCloseFollowTheHandle)
{
    Open();
    ASSERT_EQ(m_events.log, std::vector<std::string>{"create"});
    WDFFILEOBJECT file = m_events.files[0];
    EXPECT_NE(m_events.wdmFile, nullptr);
    EXPECT_EQ(m_events.device, m_device);
    EXPECT_TRUE(m_events.contextZeroed) << "the file object carries its zeroed context";

    // Requests on the handle carry its file object: the framework's, and in their IRPs the I/O
    // manager's file object that the framework's wraps.
    Send(0x222040, 0);
    m_held.WaitFor(1);
    EXPECT_EQ(m_held.FileAt(0), file);
    EXPECT_EQ(IoGetCurrentIrpStackLocation(WdfRequestWdmGetIrp(m_held.At(0)))->FileObject, m_events.wdmFile);
    WdfRequestComplete(m_held.At(0), STATUS_SUCCESS);
    JoinSenders();

    ASSERT_EQ(m_file.Close(), STATUS_SUCCESS);
    EXPECT_EQ(m_events.log, (std::vector<std::string>{"create", "cleanup", "close", "deleted"}));
    EXPECT_EQ(m_events.files, (std::vector<WDFFILEOBJECT>{file, file, file}));
}

// A create the driver refuses leaves no file object: the framework deletes it at once, and it
// gets no cleanup or close.
TEST_F(FxFileTest, RefusedCreateLeavesNoFileObject)
{
    m_events.createStatus = STATUS_ACCESS_DENIED;
    AppFile refused;
    EXPECT_EQ(refused.Open(kDeviceName, GENERIC_READ), STATUS_ACCESS_DENIED);
    EXPECT_EQ(m_events.log, (std::vector<std::string>{"create", "deleted"}));
    m_events.createStatus = STATUS_SUCCESS;
    Open();
    EXPECT_EQ(m_events.log, (std::vector<std::string>{"create", "deleted", "create"}));
    EXPECT_NE(m_events.files[1], nullptr);
}

} // namespace
