// Framework requests as a serial driver uses them, driven by an application's handle on the device:
// requests cancelled while they wait in a manual queue (EvtIoCanceledOnQueue), finding a request
// of a kind in a manual queue and retrieving it ahead of the others, the request's buffers as
// pointers and as memory objects, marking and unmarking a request cancelable, zero-length reads
// and writes, and references that keep a completed request's object.
#include "FxTestSupport.h"

#include <winternl.h>

#include <atomic>
#include <cstring>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

using namespace fxtest;

namespace
{

using fxtest::PrintTo;

constexpr char16_t kDeviceName[] = u"\\Device\\FxRequest0";
// The information the driver's EvtIoCanceledOnQueue completes a request with, so that a caller can
// tell the driver's completion from the framework's (which reports none).
constexpr ULONG_PTR kDriverCancelMark = 7;

// How the device is made.
struct BenchConfig
{
    bool canceledOnQueue = false; // the manual queue has EvtIoCanceledOnQueue
    bool manualIsDefault = false; // requests arrive in the manual queue without the driver
    BOOLEAN allowZeroLength = FALSE;
    WDF_SYNCHRONIZATION_SCOPE scope = WdfSynchronizationScopeNone;
};

// What the driver does and saw. The default queue forwards each request to the manual queue unless
// the test handles requests itself (onRequest).
struct Bench
{
    WDFQUEUE manual = nullptr;
    std::function<void(WDFREQUEST)> onRequest;
    std::atomic<int> presented{0};
    std::atomic<int> canceledOnQueue{0};
    std::atomic<int> spinLocksInCanceled{-1};
    std::atomic<int> cancelCallbacks{0};

    std::mutex lock;
    std::vector<WDFREQUEST> held;
    void Hold(WDFREQUEST request)
    {
        std::lock_guard<std::mutex> guard(lock);
        held.push_back(request);
    }
    WDFREQUEST WaitHeld(size_t index)
    {
        for (;;)
        {
            {
                std::lock_guard<std::mutex> guard(lock);
                if (held.size() > index)
                {
                    return held[index];
                }
            }
            std::this_thread::yield();
        }
    }
};
Bench* g_bench = nullptr;

void Route(WDFREQUEST request)
{
    ++g_bench->presented;
    if (g_bench->onRequest)
    {
        g_bench->onRequest(request);
        return;
    }
    NTSTATUS status = WdfRequestForwardToIoQueue(request, g_bench->manual);
    if (!NT_SUCCESS(status))
    {
        WdfRequestComplete(request, status);
    }
}

VOID OnRead(WDFQUEUE, WDFREQUEST request, size_t)
{
    Route(request);
}

VOID OnWrite(WDFQUEUE, WDFREQUEST request, size_t)
{
    Route(request);
}

VOID OnControl(WDFQUEUE, WDFREQUEST request, size_t, size_t, ULONG)
{
    Route(request);
}

VOID CanceledOnQueue(WDFQUEUE queue, WDFREQUEST request)
{
    EXPECT_EQ(queue, g_bench->manual);
    g_bench->spinLocksInCanceled = SpinLocksHeldByCurrentThread();
    ++g_bench->canceledOnQueue;
    WdfRequestCompleteWithInformation(request, STATUS_CANCELLED, kDriverCancelMark);
}

VOID OnCancel(WDFREQUEST)
{
    ++g_bench->cancelCallbacks;
}

class FxRequestTest : public FxTest
{
  protected:
    void SetUp() override { g_bench = &m_bench; }
    void TearDown() override
    {
        JoinSenders();
        m_file.Close();
        m_machine.UnplugAll();
        EXPECT_FALSE(m_machine.Loaded());
        g_bench = nullptr;
    }

    void PlugDevice(BenchConfig config)
    {
        m_machine.hooks.deviceAdd = [config](WDFDRIVER, PWDFDEVICE_INIT init) {
            std::u16string name(kDeviceName);
            UNICODE_STRING deviceName{static_cast<USHORT>(name.size() * 2),
                                      static_cast<USHORT>(name.size() * 2),
                                      reinterpret_cast<PWCH>(name.data())};
            WdfDeviceInitAssignName(init, &deviceName);
            WDF_OBJECT_ATTRIBUTES attributes;
            WDF_OBJECT_ATTRIBUTES_INIT(&attributes);
            attributes.SynchronizationScope = config.scope;
            WDFDEVICE device = nullptr;
            NTSTATUS status = WdfDeviceCreate(&init, &attributes, &device);
            if (!NT_SUCCESS(status))
            {
                return status;
            }
            if (!config.manualIsDefault)
            {
                WDF_IO_QUEUE_CONFIG queue;
                WDF_IO_QUEUE_CONFIG_INIT_DEFAULT_QUEUE(&queue, WdfIoQueueDispatchParallel);
                queue.EvtIoRead = OnRead;
                queue.EvtIoWrite = OnWrite;
                queue.EvtIoDeviceControl = OnControl;
                queue.AllowZeroLengthRequests = config.allowZeroLength;
                status = WdfIoQueueCreate(device, &queue, WDF_NO_OBJECT_ATTRIBUTES, nullptr);
                if (!NT_SUCCESS(status))
                {
                    return status;
                }
            }
            WDF_IO_QUEUE_CONFIG manual;
            if (config.manualIsDefault)
            {
                WDF_IO_QUEUE_CONFIG_INIT_DEFAULT_QUEUE(&manual, WdfIoQueueDispatchManual);
            }
            else
            {
                WDF_IO_QUEUE_CONFIG_INIT(&manual, WdfIoQueueDispatchManual);
            }
            manual.EvtIoCanceledOnQueue = config.canceledOnQueue ? CanceledOnQueue : nullptr;
            return WdfIoQueueCreate(device, &manual, WDF_NO_OBJECT_ATTRIBUTES, &g_bench->manual);
        };
        m_node = m_machine.Plug();
        ASSERT_NE(m_machine.DeviceOf(m_node), nullptr);
    }

    void Open(AppFile& file)
    {
        ASSERT_EQ(file.Open(kDeviceName, GENERIC_READ | GENERIC_WRITE), STATUS_SUCCESS);
    }

    // Runs a blocking call of the application on a helper thread; its result lands in the slot.
    void Send(std::function<IoResult()> call, size_t slot)
    {
        m_senders.emplace_back([this, call, slot] { m_results[slot] = call(); });
    }

    void JoinSenders()
    {
        for (auto& sender : m_senders)
        {
            sender.join();
        }
        m_senders.clear();
    }

    // Yields until the queue holds `queued` requests and the driver owns `owned`.
    static void WaitForState(WDFQUEUE queue, ULONG queued, ULONG owned)
    {
        for (;;)
        {
            ULONG q = 0;
            ULONG o = 0;
            WdfIoQueueGetState(queue, &q, &o);
            if (q == queued && o == owned)
            {
                return;
            }
            std::this_thread::yield();
        }
    }

    Bench m_bench;
    Device m_node;
    AppFile m_file;
    std::vector<std::thread> m_senders;
    std::vector<IoResult> m_results = std::vector<IoResult>(6);
};

// --- requests cancelled while they wait in a manual queue --------------------------------------

enum class CancelBy
{
    Purge,      // WdfIoQueuePurge
    CancelIoEx, // CancelIoEx(handle, NULL) from another thread
    CancelIo,   // CancelIo on the thread that sent the request
    ThreadEnd,  // the thread that sent the request ends
    Cleanup,    // the handle is closed: IRP_MJ_CLEANUP of its file object
};

struct CancelCase
{
    const char* name;
    CancelBy by;
    bool callback;        // the manual queue has EvtIoCanceledOnQueue
    bool manualIsDefault; // the request reached the queue without the driver
    WDF_SYNCHRONIZATION_SCOPE scope;
    bool driverHearsOfIt; // EvtIoCanceledOnQueue runs for the request
};

class FxCanceledOnQueueTest : public FxRequestTest, public ::testing::WithParamInterface<CancelCase>
{
};

TEST_P(FxCanceledOnQueueTest, WaitingRequestIsCancelledThroughTheDriverWhenItHadTheRequest)
{
    const CancelCase& c = GetParam();
    PlugDevice({c.callback, c.manualIsDefault, FALSE, c.scope});
    Open(m_file);
    constexpr ULONG code = 0x222010;
    IoResult result{STATUS_PENDING, 0};
    if (c.by == CancelBy::ThreadEnd || c.by == CancelBy::CancelIo)
    {
        // The request is sent without waiting; the thread then cancels its requests or ends, and
        // the request is done by the time CancelIo or the thread's end returns.
        IO_STATUS_BLOCK iosb{};
        iosb.Status = STATUS_PENDING;
        bool cancelMine = c.by == CancelBy::CancelIo;
        std::thread sender([this, &iosb, cancelMine] {
            NTSTATUS status = NtDeviceIoControlFile(m_file.Handle(), nullptr, nullptr, nullptr, &iosb, code,
                                                    nullptr, 0, nullptr, 0);
            EXPECT_EQ(status, STATUS_PENDING);
            WaitForState(m_bench.manual, 1, 0);
            if (cancelMine)
            {
                EXPECT_TRUE(m_file.CancelMine());
            }
        });
        sender.join();
        result = IoResult{iosb.Status, iosb.Information};
    }
    else
    {
        Send([this] { return m_file.DeviceControl(code); }, 0);
        WaitForState(m_bench.manual, 1, 0);
        switch (c.by)
        {
        case CancelBy::Purge:
            WdfIoQueuePurge(m_bench.manual, nullptr, nullptr);
            break;
        case CancelBy::CancelIoEx:
            EXPECT_TRUE(m_file.CancelAll());
            break;
        case CancelBy::Cleanup:
            EXPECT_EQ(m_file.Close(), STATUS_SUCCESS);
            break;
        default:
            break;
        }
        JoinSenders();
        result = m_results[0];
    }
    EXPECT_EQ(result.status, STATUS_CANCELLED);
    EXPECT_EQ(result.information, c.driverHearsOfIt ? kDriverCancelMark : 0u)
        << "who completed the request: the driver reports its mark, the framework nothing";
    EXPECT_EQ(m_bench.canceledOnQueue.load(), c.driverHearsOfIt ? 1 : 0);
    if (c.driverHearsOfIt)
    {
        EXPECT_EQ(m_bench.spinLocksInCanceled.load(), c.scope == WdfSynchronizationScopeDevice ? 1 : 0)
            << "the callback runs under the device's synchronisation lock when the queue has device scope";
    }
    ULONG queued = 1;
    ULONG owned = 1;
    WdfIoQueueGetState(m_bench.manual, &queued, &owned);
    EXPECT_EQ(queued, 0u);
    EXPECT_EQ(owned, 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Cancellation, FxCanceledOnQueueTest,
    ::testing::Values(
        CancelCase{"PurgeTellsTheDriver", CancelBy::Purge, true, false, WdfSynchronizationScopeNone, true},
        CancelCase{"PurgeWithoutCallback", CancelBy::Purge, false, false, WdfSynchronizationScopeNone, false},
        CancelCase{"CancelIoExTellsTheDriverUnderTheDeviceLock", CancelBy::CancelIoEx, true, false,
                   WdfSynchronizationScopeDevice, true},
        CancelCase{"CancelIoExWithoutCallback", CancelBy::CancelIoEx, false, false,
                   WdfSynchronizationScopeNone, false},
        CancelCase{"CancelIoTellsTheDriver", CancelBy::CancelIo, true, false, WdfSynchronizationScopeNone,
                   true},
        CancelCase{"ThreadEndTellsTheDriver", CancelBy::ThreadEnd, true, false, WdfSynchronizationScopeNone,
                   true},
        CancelCase{"CleanupTellsTheDriver", CancelBy::Cleanup, true, false, WdfSynchronizationScopeNone,
                   true},
        CancelCase{"CleanupWithoutCallback", CancelBy::Cleanup, false, false, WdfSynchronizationScopeNone,
                   false},
        CancelCase{"NeverDeliveredCancelledByTheFramework", CancelBy::CancelIoEx, true, true,
                   WdfSynchronizationScopeNone, false},
        CancelCase{"NeverDeliveredPurgedByTheFramework", CancelBy::Purge, true, true,
                   WdfSynchronizationScopeNone, false}),
    [](const ::testing::TestParamInfo<CancelCase>& info) { return std::string(info.param.name); });

// --- finding a request in a manual queue ----------------------------------------------------

WDF_REQUEST_TYPE TypeOf(WDFREQUEST request)
{
    WDF_REQUEST_PARAMETERS parameters;
    WDF_REQUEST_PARAMETERS_INIT(&parameters);
    WdfRequestGetParameters(request, &parameters);
    return parameters.Type;
}

TEST_F(FxRequestTest, FindRequestWalksTheQueueAndRetrieveFoundTakesAControlRequestAheadOfWrites)
{
    PlugDevice({});
    Open(m_file);
    AppFile other;
    Open(other);
    const char first[] = "w1";
    const char second[] = "w22";
    Send([&] { return m_file.Write(first, 2); }, 0);
    WaitForState(m_bench.manual, 1, 0);
    Send([&] { return m_file.Write(second, 3); }, 1);
    WaitForState(m_bench.manual, 2, 0);
    Send([this] { return m_file.DeviceControl(0x222040); }, 2);
    WaitForState(m_bench.manual, 3, 0);
    Send([&other] { return other.DeviceControl(0x222044); }, 3);
    WaitForState(m_bench.manual, 4, 0);

    // A walk over the queue, each found request referenced until the next is found.
    std::vector<std::string> walk;
    WDFREQUEST previous = nullptr;
    WDFREQUEST otherRequest = nullptr;
    for (;;)
    {
        WDF_REQUEST_PARAMETERS parameters;
        WDF_REQUEST_PARAMETERS_INIT(&parameters);
        WDFREQUEST found = reinterpret_cast<WDFREQUEST>(1);
        NTSTATUS status = WdfIoQueueFindRequest(m_bench.manual, previous, nullptr, &parameters, &found);
        if (previous != nullptr)
        {
            WdfObjectDereference(previous);
        }
        if (status == STATUS_NO_MORE_ENTRIES)
        {
            EXPECT_EQ(found, nullptr);
            break;
        }
        ASSERT_EQ(status, STATUS_SUCCESS);
        if (parameters.Type == WdfRequestTypeWrite)
        {
            walk.push_back("write " + std::to_string(parameters.Parameters.Write.Length));
        }
        else
        {
            char text[32];
            snprintf(text, sizeof(text), "control %lx",
                     static_cast<unsigned long>(parameters.Parameters.DeviceIoControl.IoControlCode));
            walk.push_back(text);
            if (parameters.Parameters.DeviceIoControl.IoControlCode == 0x222044)
            {
                otherRequest = found;
            }
        }
        previous = found;
    }
    EXPECT_EQ(walk, (std::vector<std::string>{"write 2", "write 3", "control 222040", "control 222044"}));
    ASSERT_NE(otherRequest, nullptr);

    // Only the other handle's request, when its file object is given.
    WDFFILEOBJECT otherFile = WdfRequestGetFileObject(otherRequest);
    WDFREQUEST found = nullptr;
    ASSERT_EQ(WdfIoQueueFindRequest(m_bench.manual, nullptr, otherFile, nullptr, &found), STATUS_SUCCESS);
    EXPECT_EQ(found, otherRequest);
    WDFREQUEST next = nullptr;
    EXPECT_EQ(WdfIoQueueFindRequest(m_bench.manual, found, otherFile, nullptr, &next),
              STATUS_NO_MORE_ENTRIES);
    WdfObjectDereference(found);

    // The first control request, retrieved ahead of the writes before it.
    WDFREQUEST control = nullptr;
    WDFREQUEST candidate = nullptr;
    while (WdfIoQueueFindRequest(m_bench.manual, candidate, nullptr, nullptr, &next) == STATUS_SUCCESS)
    {
        if (candidate != nullptr)
        {
            WdfObjectDereference(candidate);
        }
        candidate = next;
        if (TypeOf(candidate) == WdfRequestTypeDeviceControl)
        {
            break;
        }
    }
    ASSERT_EQ(TypeOf(candidate), WdfRequestTypeDeviceControl);
    EXPECT_EQ(WdfIoQueueRetrieveFoundRequest(m_bench.manual, candidate, &control), STATUS_SUCCESS);
    EXPECT_EQ(control, candidate);
    WaitForState(m_bench.manual, 3, 1);
    // Retrieved, it is no longer the queue's to find or hand out.
    EXPECT_EQ(WdfIoQueueFindRequest(m_bench.manual, candidate, nullptr, nullptr, &next), STATUS_NOT_FOUND);
    WDFREQUEST again = reinterpret_cast<WDFREQUEST>(1);
    EXPECT_EQ(WdfIoQueueRetrieveFoundRequest(m_bench.manual, candidate, &again), STATUS_NOT_FOUND);
    EXPECT_EQ(again, nullptr);
    WdfObjectDereference(candidate);
    WdfRequestCompleteWithInformation(control, STATUS_SUCCESS, 40);

    // The rest come out in arrival order.
    std::vector<ULONG_PTR> lengths;
    WDFREQUEST request = nullptr;
    while (WdfIoQueueRetrieveNextRequest(m_bench.manual, &request) == STATUS_SUCCESS)
    {
        WDF_REQUEST_PARAMETERS parameters;
        WDF_REQUEST_PARAMETERS_INIT(&parameters);
        WdfRequestGetParameters(request, &parameters);
        ULONG_PTR length = parameters.Type == WdfRequestTypeWrite ? parameters.Parameters.Write.Length : 99;
        lengths.push_back(length);
        WdfRequestCompleteWithInformation(request, STATUS_SUCCESS, length);
    }
    EXPECT_EQ(lengths, (std::vector<ULONG_PTR>{2, 3, 99}));
    JoinSenders();
    EXPECT_EQ(m_results[0].information, 2u);
    EXPECT_EQ(m_results[1].information, 3u);
    EXPECT_EQ(m_results[2].information, 40u);
    EXPECT_EQ(m_results[3].information, 99u);
    other.Close();
}

// A request found and then cancelled: the driver's reference keeps its handle good, and the queue
// says it no longer has it.
TEST_F(FxRequestTest, FoundRequestCancelledBeforeRetrievalIsNotFound)
{
    PlugDevice({true, false, FALSE, WdfSynchronizationScopeNone});
    Open(m_file);
    Send([this] { return m_file.DeviceControl(0x222050); }, 0);
    WaitForState(m_bench.manual, 1, 0);
    WDFREQUEST found = nullptr;
    ASSERT_EQ(WdfIoQueueFindRequest(m_bench.manual, nullptr, nullptr, nullptr, &found), STATUS_SUCCESS);
    EXPECT_TRUE(m_file.CancelAll());
    JoinSenders();
    EXPECT_EQ(m_results[0].status, STATUS_CANCELLED);
    EXPECT_EQ(m_bench.canceledOnQueue.load(), 1);
    WDFREQUEST retrieved = reinterpret_cast<WDFREQUEST>(1);
    EXPECT_EQ(WdfIoQueueRetrieveFoundRequest(m_bench.manual, found, &retrieved), STATUS_NOT_FOUND);
    EXPECT_EQ(retrieved, nullptr);
    WdfObjectDereference(found);
}

// --- the request's buffers ---------------------------------------------------------------------

struct BufferCase
{
    const char* name;
    WDF_REQUEST_TYPE type;
    ULONG inputLength;
    ULONG outputLength;
    size_t minimum; // asked of WdfRequestRetrieveInputBuffer and ...OutputBuffer
    NTSTATUS inputBuffer;
    NTSTATUS outputBuffer;
    NTSTATUS inputMemory;
    NTSTATUS outputMemory;
};

struct BufferSeen
{
    WDF_REQUEST_PARAMETERS parameters;
    NTSTATUS inputBuffer = STATUS_PENDING;
    NTSTATUS outputBuffer = STATUS_PENDING;
    NTSTATUS inputMemory = STATUS_PENDING;
    NTSTATUS outputMemory = STATUS_PENDING;
    size_t inputLength = 0;
    size_t inputMemoryLength = 0;
    size_t outputMemoryLength = 0;
    std::string input;
    bool sameBuffer = false;
    bool hasFile = false;
};

class FxRequestBufferTest : public FxRequestTest, public ::testing::WithParamInterface<BufferCase>
{
};

TEST_P(FxRequestBufferTest, BuffersAndMemoryObjectsOverTheSystemBuffer)
{
    const BufferCase& c = GetParam();
    BufferSeen seen;
    m_bench.onRequest = [&seen, &c](WDFREQUEST request) {
        WDF_REQUEST_PARAMETERS_INIT(&seen.parameters);
        WdfRequestGetParameters(request, &seen.parameters);
        seen.hasFile = WdfRequestGetFileObject(request) != nullptr;
        PVOID input = nullptr;
        PVOID output = nullptr;
        size_t outputLength = 0;
        seen.inputBuffer = WdfRequestRetrieveInputBuffer(request, c.minimum, &input, &seen.inputLength);
        seen.outputBuffer = WdfRequestRetrieveOutputBuffer(request, c.minimum, &output, &outputLength);
        WDFMEMORY inputMemory = nullptr;
        WDFMEMORY outputMemory = nullptr;
        seen.inputMemory = WdfRequestRetrieveInputMemory(request, &inputMemory);
        seen.outputMemory = WdfRequestRetrieveOutputMemory(request, &outputMemory);
        PVOID inputBytes = nullptr;
        PVOID outputBytes = nullptr;
        if (NT_SUCCESS(seen.inputMemory))
        {
            inputBytes = WdfMemoryGetBuffer(inputMemory, &seen.inputMemoryLength);
            seen.input.assign(static_cast<const char*>(inputBytes), seen.inputMemoryLength);
        }
        ULONG_PTR written = 0;
        if (NT_SUCCESS(seen.outputMemory))
        {
            outputBytes = WdfMemoryGetBuffer(outputMemory, &seen.outputMemoryLength);
            memset(outputBytes, 'x', seen.outputMemoryLength);
            written = seen.outputMemoryLength;
        }
        seen.sameBuffer = inputBytes != nullptr && inputBytes == outputBytes;
        WdfRequestCompleteWithInformation(request, STATUS_SUCCESS, written);
    };
    PlugDevice({});
    Open(m_file);
    std::string input = std::string("abcdefgh").substr(0, c.inputLength);
    std::string output(c.outputLength, '.');
    IoResult result{};
    switch (c.type)
    {
    case WdfRequestTypeRead:
        result = m_file.Read(output.data(), c.outputLength);
        break;
    case WdfRequestTypeWrite:
        result = m_file.Write(input.data(), c.inputLength);
        break;
    default:
        result = m_file.DeviceControl(0x222060, input.data(), c.inputLength, output.data(), c.outputLength);
        break;
    }
    ASSERT_EQ(result.status, STATUS_SUCCESS);
    EXPECT_EQ(seen.parameters.Type, c.type);
    switch (c.type)
    {
    case WdfRequestTypeRead:
        EXPECT_EQ(seen.parameters.Parameters.Read.Length, c.outputLength);
        break;
    case WdfRequestTypeWrite:
        EXPECT_EQ(seen.parameters.Parameters.Write.Length, c.inputLength);
        break;
    default:
        EXPECT_EQ(seen.parameters.Parameters.DeviceIoControl.IoControlCode, 0x222060u);
        EXPECT_EQ(seen.parameters.Parameters.DeviceIoControl.InputBufferLength, c.inputLength);
        EXPECT_EQ(seen.parameters.Parameters.DeviceIoControl.OutputBufferLength, c.outputLength);
        break;
    }
    EXPECT_TRUE(seen.hasFile) << "a request on a handle carries its file object";
    EXPECT_EQ(seen.inputBuffer, c.inputBuffer);
    EXPECT_EQ(seen.outputBuffer, c.outputBuffer);
    EXPECT_EQ(seen.inputMemory, c.inputMemory);
    EXPECT_EQ(seen.outputMemory, c.outputMemory);
    if (NT_SUCCESS(c.inputBuffer))
    {
        EXPECT_EQ(seen.inputLength, c.inputLength);
    }
    if (NT_SUCCESS(c.inputMemory))
    {
        EXPECT_EQ(seen.input, input) << "the input memory holds the caller's bytes";
    }
    if (NT_SUCCESS(c.outputMemory))
    {
        EXPECT_EQ(seen.outputMemoryLength, c.outputLength);
        EXPECT_EQ(result.information, c.outputLength);
        EXPECT_EQ(output, std::string(c.outputLength, 'x')) << "the output went back to the caller";
    }
    EXPECT_EQ(seen.sameBuffer, NT_SUCCESS(c.inputMemory) && NT_SUCCESS(c.outputMemory))
        << "buffered I/O: input and output share the system buffer";
}

INSTANTIATE_TEST_SUITE_P(
    Buffers, FxRequestBufferTest,
    ::testing::Values(
        BufferCase{"ControlWithBothBuffers", WdfRequestTypeDeviceControl, 4, 6, 4, STATUS_SUCCESS,
                   STATUS_SUCCESS, STATUS_SUCCESS, STATUS_SUCCESS},
        BufferCase{"ControlInputShorterThanTheMinimum", WdfRequestTypeDeviceControl, 3, 6, 4,
                   STATUS_BUFFER_TOO_SMALL, STATUS_SUCCESS, STATUS_SUCCESS, STATUS_SUCCESS},
        BufferCase{"ControlWithoutOutput", WdfRequestTypeDeviceControl, 4, 0, 0, STATUS_SUCCESS,
                   STATUS_BUFFER_TOO_SMALL, STATUS_SUCCESS, STATUS_BUFFER_TOO_SMALL},
        BufferCase{"ControlWithoutBuffers", WdfRequestTypeDeviceControl, 0, 0, 0, STATUS_BUFFER_TOO_SMALL,
                   STATUS_BUFFER_TOO_SMALL, STATUS_BUFFER_TOO_SMALL, STATUS_BUFFER_TOO_SMALL},
        BufferCase{"ReadHasOnlyAnOutputBuffer", WdfRequestTypeRead, 0, 5, 1, STATUS_INVALID_DEVICE_REQUEST,
                   STATUS_SUCCESS, STATUS_INVALID_DEVICE_REQUEST, STATUS_SUCCESS},
        BufferCase{"WriteHasOnlyAnInputBuffer", WdfRequestTypeWrite, 5, 0, 5, STATUS_SUCCESS,
                   STATUS_INVALID_DEVICE_REQUEST, STATUS_SUCCESS, STATUS_INVALID_DEVICE_REQUEST}),
    [](const ::testing::TestParamInfo<BufferCase>& info) { return std::string(info.param.name); });

// --- cancelable requests -----------------------------------------------------------------------

TEST_F(FxRequestTest, MarkCancelableExRefusesARequestCancelledBeforeAndLeavesItToTheDriver)
{
    m_bench.onRequest = [](WDFREQUEST request) { g_bench->Hold(request); };
    PlugDevice({});
    Open(m_file);
    Send([this] { return m_file.DeviceControl(0x222070); }, 0);
    WDFREQUEST request = m_bench.WaitHeld(0);
    EXPECT_TRUE(m_file.CancelAll()) << "the request is the handle's, cancelable or not";
    EXPECT_EQ(WdfRequestMarkCancelableEx(request, OnCancel), STATUS_CANCELLED);
    EXPECT_EQ(m_bench.cancelCallbacks.load(), 0) << "the cancel callback is not called";
    WdfRequestCompleteWithInformation(request, STATUS_CANCELLED, 3);
    JoinSenders();
    EXPECT_EQ(m_results[0].status, STATUS_CANCELLED);
    EXPECT_EQ(m_results[0].information, 3u);
}

TEST_F(FxRequestTest, UnmarkCancelableReportsACancelWhoseCallbackRan)
{
    m_bench.onRequest = [](WDFREQUEST request) { g_bench->Hold(request); };
    PlugDevice({});
    Open(m_file);
    Send([this] { return m_file.DeviceControl(0x222074); }, 0);
    WDFREQUEST request = m_bench.WaitHeld(0);
    EXPECT_EQ(WdfRequestMarkCancelableEx(request, OnCancel), STATUS_SUCCESS);
    EXPECT_TRUE(m_file.CancelAll());
    EXPECT_EQ(m_bench.cancelCallbacks.load(), 1);
    EXPECT_EQ(WdfRequestUnmarkCancelable(request), STATUS_CANCELLED);
    WdfRequestComplete(request, STATUS_CANCELLED);
    JoinSenders();
    EXPECT_EQ(m_results[0].status, STATUS_CANCELLED);
}

TEST_F(FxRequestTest, UnmarkedRequestIsNoLongerCancelled)
{
    m_bench.onRequest = [](WDFREQUEST request) { g_bench->Hold(request); };
    PlugDevice({});
    Open(m_file);
    Send([this] { return m_file.DeviceControl(0x222078); }, 0);
    WDFREQUEST request = m_bench.WaitHeld(0);
    EXPECT_EQ(WdfRequestMarkCancelableEx(request, OnCancel), STATUS_SUCCESS);
    EXPECT_EQ(WdfRequestUnmarkCancelable(request), STATUS_SUCCESS);
    EXPECT_TRUE(m_file.CancelAll());
    EXPECT_EQ(m_bench.cancelCallbacks.load(), 0);
    WdfRequestCompleteWithInformation(request, STATUS_SUCCESS, 5);
    JoinSenders();
    EXPECT_EQ(m_results[0].status, STATUS_SUCCESS);
    EXPECT_EQ(m_results[0].information, 5u);
}

// --- zero-length reads and writes --------------------------------------------------------------

struct ZeroLengthCase
{
    const char* name;
    BOOLEAN allow;
    bool read;
    ULONG length;
    int presented;
};

class FxZeroLengthTest : public FxRequestTest, public ::testing::WithParamInterface<ZeroLengthCase>
{
};

TEST_P(FxZeroLengthTest, QueueThatRefusesZeroLengthRequestsLeavesThemToTheFramework)
{
    const ZeroLengthCase& c = GetParam();
    // The driver answers what it sees with a status of its own.
    m_bench.onRequest = [](WDFREQUEST request) { WdfRequestComplete(request, STATUS_TIMEOUT); };
    PlugDevice({false, false, c.allow, WdfSynchronizationScopeNone});
    Open(m_file);
    char buffer[4] = {};
    IoResult result = c.read ? m_file.Read(buffer, c.length) : m_file.Write(buffer, c.length);
    EXPECT_EQ(m_bench.presented.load(), c.presented);
    EXPECT_EQ(result.status, c.presented != 0 ? STATUS_TIMEOUT : STATUS_SUCCESS);
    EXPECT_EQ(result.information, 0u);
}

INSTANTIATE_TEST_SUITE_P(
    ZeroLength, FxZeroLengthTest,
    ::testing::Values(ZeroLengthCase{"ReadCompletedByTheFramework", FALSE, true, 0, 0},
                      ZeroLengthCase{"WriteCompletedByTheFramework", FALSE, false, 0, 0},
                      ZeroLengthCase{"ReadOfOneByteReachesTheDriver", FALSE, true, 1, 1},
                      ZeroLengthCase{"ReadReachesADriverThatAllowsIt", TRUE, true, 0, 1},
                      ZeroLengthCase{"WriteReachesADriverThatAllowsIt", TRUE, false, 0, 1}),
    [](const ::testing::TestParamInfo<ZeroLengthCase>& info) { return std::string(info.param.name); });

// --- references on completed requests ----------------------------------------------------------

TEST_F(FxRequestTest, TaggedReferenceKeepsACompletedRequestsObjectUntilItIsDropped)
{
    m_bench.onRequest = [](WDFREQUEST request) { g_bench->Hold(request); };
    PlugDevice({});
    Open(m_file);
    Send([this] { return m_file.DeviceControl(0x222080); }, 0);
    WDFREQUEST request = m_bench.WaitHeld(0);
    PVOID tag = reinterpret_cast<PVOID>(0x52656631);
    WdfObjectReferenceWithTag(request, tag);
    WdfRequestCompleteWithInformation(request, STATUS_DEVICE_BUSY, 0);
    JoinSenders();
    EXPECT_EQ(m_results[0].status, STATUS_DEVICE_BUSY);
    // The object is still there: its status can be read, and the reference dropped.
    EXPECT_EQ(WdfRequestGetStatus(request), STATUS_DEVICE_BUSY);
    WdfObjectDereferenceWithTag(request, tag);
}

} // namespace
