// The client library's line events and port list as an application meets them: it pumps messages
// on the thread that loaded the library, and plugs and pulls readers.
#include <windows.h>
#include <oleauto.h>

#include <Ostrix.h>
#include <winsim/user.h>

#include "LibraryApplication.h"
#include "TestSupport.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

namespace
{

using namespace std::chrono_literals;

typedef LONG(WINAPI* PFN_GETUSBPORTNAMES)(LPCSTR, BSTR*, BSTR*, SHORT*);
typedef SHORT(WINAPI* PFN_SETLINEEVENTPROC)(LPCSTR, USBCOMEventProc*, LONG_PTR, LONG, SHORT*);
typedef SHORT(WINAPI* PFN_INITIALIZEEVENT)(LPCSTR);

// One callback as the application saw it.
struct Call
{
    LONG port;
    LONG event;
    LONG_PTR param;
    DWORD thread;
    bool operator==(const Call& other) const
    {
        return port == other.port && event == other.event && param == other.param && thread == other.thread;
    }
};

std::ostream& operator<<(std::ostream& out, const Call& call)
{
    return out << "{port " << call.port << ", event " << call.event << ", param " << call.param << ", thread "
               << call.thread << "}";
}

std::mutex g_callsLock;
std::vector<Call> g_calls;

SHORT CALLBACK RecordEvent(LONG lPortNo, LONG lEvent, LONG_PTR pParam)
{
    std::lock_guard<std::mutex> guard(g_callsLock);
    g_calls.push_back({lPortNo, lEvent, pParam, GetCurrentThreadId()});
    return 7;
}

std::vector<Call> TakeCalls()
{
    std::lock_guard<std::mutex> guard(g_callsLock);
    std::vector<Call> calls;
    calls.swap(g_calls);
    return calls;
}

class LibraryApplicationTest : public scenario::LibraryApplicationFixture
{
  protected:
    void SetUp() override
    {
        LibraryApplicationFixture::SetUp();
        if (HasFatalFailure())
        {
            return;
        }
        GetUSBPortNames = Export<PFN_GETUSBPORTNAMES>("rwGetUSBPortNames");
        SetLineEventProc = Export<PFN_SETLINEEVENTPROC>("rwSetUSBCOMLineEventProc");
        SetWmiLineEventProc = Export<PFN_SETLINEEVENTPROC>("rwSetUSBCOMWMILineEventProc");
        InitializeEvent = Export<PFN_INITIALIZEEVENT>("rwInitializeEvent");
        TakeCalls();
    }

    // Runs the messages that wait for this thread, the system's broadcasts among them.
    void Pump()
    {
        MSG msg;
        while (PeekMessageA(&msg, NULL, 0, 0, PM_REMOVE))
        {
            TranslateMessage(&msg);
            DispatchMessageA(&msg);
        }
    }

    // Lets every polling thread finish what it does now, then runs the messages.
    void Settle()
    {
        machine->WaitForQuiescence();
        Pump();
    }

    // Lets the polling threads make `polls` more polls (the interval is 100 ms), pumping after each.
    void Poll(int polls = 1)
    {
        Settle();
        for (int i = 0; i < polls; ++i)
        {
            machine->AdvanceClock(100ms);
            Settle();
        }
    }

    // The reader's registry keys: its Enum key and its hardware key below it.
    std::u16string EnumKey()
    {
        return u"\\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Enum\\" + device.InstancePath();
    }
    std::u16string HardwareKey() { return EnumKey() + u"\\Device Parameters"; }

    PFN_GETUSBPORTNAMES GetUSBPortNames = nullptr;
    PFN_SETLINEEVENTPROC SetLineEventProc = nullptr;
    PFN_SETLINEEVENTPROC SetWmiLineEventProc = nullptr;
    PFN_INITIALIZEEVENT InitializeEvent = nullptr;
    const DWORD m_mainThread = GetCurrentThreadId();
};

// --- port enumeration ---------------------------------------------------------------------------

TEST_F(LibraryApplicationTest, ListsAPresentAndAnUnpluggedPortWithByteLengthPrefixes)
{
    winsim::machine::Device second = Plug(u"TR0002");
    ASSERT_TRUE(machine->DeviceByComName(u"COM4"));
    machine->Detach(second);

    BSTR names = SysAllocString(L"left over");
    BSTR online = NULL;
    SHORT count = -1;
    ASSERT_EQ(GetUSBPortNames(TARNO_PRODUCT_ID_TEXT, &names, &online, &count), 1);
    EXPECT_EQ(count, 2);
    ASSERT_NE(names, nullptr);
    ASSERT_NE(online, nullptr);
    EXPECT_EQ(SysStringByteLen(names), 9u);
    EXPECT_EQ(SysStringByteLen(online), 3u);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(names), SysStringByteLen(names)), "COM3,COM4");
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(online), SysStringByteLen(online)), "1,0");
    EXPECT_TRUE(LogHas("Inf:Info    : iNumOfPort = 2"));
    SysFreeString(names);
    SysFreeString(online);
}

TEST_F(LibraryApplicationTest, FailuresLeaveNothingAndSayWhyInTheLog)
{
    BSTR names = NULL;
    BSTR online = NULL;
    SHORT count = 5;
    // A product that was never installed has no instance key.
    EXPECT_EQ(GetUSBPortNames("9999", &names, &online, &count), 0);
    EXPECT_EQ(count, 0);
    EXPECT_EQ(names, nullptr);
    EXPECT_TRUE(LogHas(":Err:ErrInfo : RegOpenKeyEx ERR!! lRet = 2 "));
    // Argument checks leave the caller's variables alone.
    count = 5;
    EXPECT_EQ(GetUSBPortNames("", &names, &online, &count), 0);
    EXPECT_EQ(count, 5);
    EXPECT_TRUE(LogHas("ErrInfo : ProductID is NULL!!"));
    EXPECT_EQ(GetUSBPortNames(TARNO_PRODUCT_ID_TEXT, &names, NULL, &count), 0);
    EXPECT_TRUE(LogHas("ErrInfo : bpPortOnLine ERR!! bpPortOnLine = 0000000000000000 "));
    EXPECT_EQ(GetUSBPortNames(TARNO_PRODUCT_ID_TEXT, &names, &online, NULL), 0);
    EXPECT_TRUE(LogHas("ErrInfo : piNumOfPort ERR!! piNumOfPort = 0000000000000000 "));
}

TEST_F(LibraryApplicationTest, PresenceComparesThePortNameExactly)
{
    SHORT online = -1;
    EXPECT_EQ(SetLineEventProc("COM3", RecordEvent, 1, 3, &online), 0);
    EXPECT_EQ(online, 1);
    online = -1;
    EXPECT_EQ(SetLineEventProc("com3", RecordEvent, 1, 3, &online), 0);
    EXPECT_EQ(online, 0);
    // A port name that does not fit the presence test's 20-byte buffer never counts as present.
    std::u16string parameters = HardwareKey();
    const char16_t longName[] = u"COM3-ABCDEFGHIJKLMNOP"; // 21 characters
    machine->SetRegistryValue(parameters, u"PortName", winsim::machine::RegistryValue::String(longName));
    online = -1;
    EXPECT_EQ(SetLineEventProc("COM3-ABCDEFGHIJKLMNOP", RecordEvent, 1, 3, &online), 0);
    EXPECT_EQ(online, 0);
    EXPECT_TRUE(LogHas("Info    : RegQueryValueEx ERR!! Return = 234"));
}

// --- line events by device notification ---------------------------------------------------------

TEST_F(LibraryApplicationTest, PullingAndPluggingCallsBackOnTheLoadingThread)
{
    SHORT online = -1;
    ASSERT_EQ(SetLineEventProc("COM3", RecordEvent, 0x1234, EVT_USB_OFFLINE | EVT_USB_ONLINE, &online), 0);
    EXPECT_EQ(online, 1);
    Pump();
    EXPECT_TRUE(TakeCalls().empty()) << "the state at registration comes back in iUSBONLineStatus only";

    machine->Detach(device);
    Pump();
    EXPECT_EQ(TakeCalls(), std::vector<Call>({{3, EVT_USB_OFFLINE, 0x1234, m_mainThread}}));
    EXPECT_TRUE(LogHas("Info    : Recieve DBT_DEVICEREMOVECOMPLETE"));
    EXPECT_TRUE(LogHas("Info    : CallbackFunk Start!! iRet = 7"));

    device = Plug(u"TR0001");
    Pump();
    EXPECT_EQ(TakeCalls(), std::vector<Call>({{3, EVT_USB_ONLINE, 0x1234, m_mainThread}}));
}

TEST_F(LibraryApplicationTest, TheMaskSelectsTheEvents)
{
    SHORT online = 0;
    ASSERT_EQ(SetLineEventProc("COM3", RecordEvent, 1, EVT_USB_OFFLINE, &online), 0);
    machine->Detach(device);
    Pump();
    device = Plug(u"TR0001");
    Pump();
    EXPECT_EQ(TakeCalls(), std::vector<Call>({{3, EVT_USB_OFFLINE, 1, m_mainThread}}));
    EXPECT_TRUE(LogHas("Info    : EVT_USB_ONLINE not Set!! m_lEvent = 1 iType = 32768"));

    // Registering again replaces callback, value and mask.
    ASSERT_EQ(SetLineEventProc("COM3", RecordEvent, 2, EVT_USB_ONLINE, &online), 0);
    machine->Detach(device);
    Pump();
    device = Plug(u"TR0001");
    Pump();
    EXPECT_EQ(TakeCalls(), std::vector<Call>({{3, EVT_USB_ONLINE, 2, m_mainThread}}));
    EXPECT_TRUE(LogHas("Info    : EVT_USB_OFFLINE not Set!! m_lEvent = 2 iType = 32772"));
}

TEST_F(LibraryApplicationTest, ALowerCaseNameOrAReleasedCallbackHearsNothing)
{
    SHORT online = 0;
    ASSERT_EQ(SetLineEventProc("com3", RecordEvent, 1, 3, &online), 0);
    ASSERT_EQ(SetLineEventProc("COM4", RecordEvent, 4, 3, &online), 0);
    ASSERT_EQ(SetLineEventProc("COM4", NULL, 0, 3, &online), 0);
    winsim::machine::Device second = Plug(u"TR0002");
    Pump();
    machine->Detach(second);
    machine->Detach(device);
    Pump();
    EXPECT_TRUE(TakeCalls().empty());
    EXPECT_TRUE(LogHas("Info    : dbcp_name = COM3"));
    EXPECT_TRUE(LogHas("Info    : dbcp_name = COM4"));
}

TEST_F(LibraryApplicationTest, ParametersAreChecked)
{
    SHORT online = 0;
    struct Case
    {
        const char* port;
        LONG mask;
        SHORT* status;
        const char* logged;
    };
    const Case cases[] = {
        {NULL, 3, &online, "strPortNo is NULL!!"},
        {"", 3, &online, "strPortNo is NULL!!"},
        {"LPT1", 3, &online, "PortName ERR!! PortName = LPT1"},
        {"COM0", 3, &online, "iPortNo ERR!! iPortNo = 0"},
        {"COM257", 3, &online, "iPortNo ERR!! iPortNo = 257"},
        {"COMX", 3, &online, "iPortNo ERR!! iPortNo = 0"},
        {"COM3", 0, &online, "lEvent ERR!! lEvent = 0"},
        {"COM3", 4, &online, "lEvent ERR!! lEvent = 4"},
        {"COM3", 3, NULL, "iUSBONLineStatus ERR!! iUSBONLineStatus = 0000000000000000"},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.logged);
        EXPECT_EQ(SetLineEventProc(c.port, RecordEvent, 0, c.mask, c.status), 100);
        EXPECT_EQ(SetWmiLineEventProc(c.port, RecordEvent, 0, c.mask, c.status), 100);
        EXPECT_TRUE(LogHas("Err:ErrInfo : " + std::string(c.logged)));
    }
    EXPECT_EQ(InitializeEvent("COM257"), 100);
    EXPECT_EQ(InitializeEvent("COM5"), 0);
    EXPECT_EQ(InitializeEvent("COM5"), 101);
}

TEST_F(LibraryApplicationTest, AFirstRegistrationFromAnotherThreadNeedsTheObject)
{
    SHORT online = 0;
    SHORT result = -1;
    std::thread([&] { result = SetLineEventProc("COM3", RecordEvent, 9, 3, &online); }).join();
    EXPECT_EQ(result, 1);
    EXPECT_TRUE(LogHas("Err:ErrInfo : MainThread ID check ERR!! myThread = "));

    ASSERT_EQ(InitializeEvent("COM3"), 0);
    std::thread([&] { result = SetLineEventProc("COM3", RecordEvent, 9, 3, &online); }).join();
    EXPECT_EQ(result, 0);
    // The callback still runs on the loading thread.
    machine->Detach(device);
    Pump();
    EXPECT_EQ(TakeCalls(), std::vector<Call>({{3, EVT_USB_OFFLINE, 9, m_mainThread}}));
}

TEST_F(LibraryApplicationTest, OnePortHasACallbackInOneMechanismAtATime)
{
    SHORT online = 0;
    ASSERT_EQ(SetLineEventProc("COM3", RecordEvent, 1, 3, &online), 0);
    EXPECT_EQ(SetWmiLineEventProc("COM3", RecordEvent, 1, 3, &online), 140);
    EXPECT_TRUE(LogHas("Err:ErrInfo : Another callback is already registerd for iPortNo = 3"));
    ASSERT_EQ(SetLineEventProc("COM3", NULL, 0, 3, &online), 0);
    ASSERT_EQ(SetWmiLineEventProc("COM3", RecordEvent, 1, 3, &online), 0);
    Settle();
    EXPECT_EQ(SetLineEventProc("COM3", RecordEvent, 1, 3, &online), 140);
    EXPECT_EQ(InitializeEvent("COM3"), 140);
    ASSERT_EQ(SetWmiLineEventProc("COM3", NULL, 0, 3, &online), 0);
    EXPECT_EQ(InitializeEvent("COM3"), 101) << "the object exists since the first registration";
    EXPECT_EQ(SetLineEventProc("COM3", RecordEvent, 1, 3, &online), 0);
}

// A callback that registers while another thread registers: neither waits for the other.
TEST_F(LibraryApplicationTest, ACallbackThatRegistersDoesNotDeadlockWithAnotherThread)
{
    struct Shared
    {
        PFN_SETLINEEVENTPROC setLineEventProc;
        std::mutex lock;
        std::condition_variable changed;
        bool go = false;
        bool otherDone = false;
        SHORT otherResult = -1;
        SHORT innerResult = -1;
    };
    static Shared* s_shared;
    Shared shared;
    shared.setLineEventProc = SetLineEventProc;
    s_shared = &shared;

    std::thread other([&] {
        std::unique_lock<std::mutex> guard(shared.lock);
        shared.changed.wait(guard, [&] { return shared.go; });
        guard.unlock();
        SHORT online = 0;
        SHORT result = SetLineEventProc("COM3", RecordEvent, 2, 3, &online);
        guard.lock();
        shared.otherResult = result;
        shared.otherDone = true;
        shared.changed.notify_all();
    });

    USBCOMEventProc* callback = [](LONG, LONG, LONG_PTR) -> SHORT {
        Shared& s = *s_shared;
        std::unique_lock<std::mutex> guard(s.lock);
        s.go = true;
        s.changed.notify_all();
        // The other thread registers the same port while this callback runs; it must finish.
        bool finished = s.changed.wait_for(guard, 30s, [&] { return s.otherDone; });
        guard.unlock();
        SHORT online = 0;
        s.innerResult = finished ? s.setLineEventProc("COM3", RecordEvent, 3, 3, &online) : -2;
        return 0;
    };
    SHORT online = 0;
    ASSERT_EQ(SetLineEventProc("COM3", callback, 1, 3, &online), 0);
    machine->Detach(device);
    Pump();
    other.join();
    EXPECT_EQ(shared.otherResult, 0);
    EXPECT_EQ(shared.innerResult, 0) << "-2: the other thread's registration waited for the callback";
    s_shared = nullptr;
}

// Releases from another thread while callbacks run on the main thread: once a release returned,
// the released registration's callback never runs.
TEST_F(LibraryApplicationTest, NoCallbackRunsAfterItsReleaseReturned)
{
    static std::atomic<LONG_PTR> s_released{0};
    static std::atomic<int> s_releasesStarted{0};
    static std::atomic<int> s_late{0};
    static std::atomic<int> s_calls{0};
    s_released = 0;
    s_releasesStarted = 0;
    s_late = 0;
    s_calls = 0;
    USBCOMEventProc* callback = [](LONG, LONG, LONG_PTR pParam) -> SHORT {
        if (pParam <= s_released.load())
        {
            ++s_late;
        }
        // Stay until the registration's release has begun and has had time to finish, so that a
        // release that does not wait for this callback shows. The registrar may itself wait for
        // this thread (a message it sends here), so the stay is bounded; on a loaded machine each
        // yield can last a time slice, so the bound is kept small.
        int started = s_releasesStarted.load();
        for (int i = 0; i < 50000 && s_releasesStarted.load() == started; ++i)
        {
            std::this_thread::yield();
        }
        for (int i = 0; i < 2000; ++i)
        {
            std::this_thread::yield();
        }
        if (pParam <= s_released.load())
        {
            ++s_late;
        }
        ++s_calls;
        return 0;
    };
    SHORT online = 0;
    ASSERT_EQ(InitializeEvent("COM3"), 0);
    std::atomic<bool> stop{false};
    std::thread registrar([&] {
        SHORT status = 0;
        for (LONG_PTR generation = 1; !stop; ++generation)
        {
            SetLineEventProc("COM3", callback, generation, 3, &status);
            std::this_thread::yield();
            ++s_releasesStarted;
            SetLineEventProc("COM3", NULL, 0, 3, &status);
            s_released = generation;
        }
    });
    for (int cycle = 0; cycle < 40; ++cycle)
    {
        machine->Detach(device);
        Pump();
        device = Plug(u"TR0001");
        Pump();
    }
    stop = true;
    registrar.join();
    EXPECT_GT(s_calls.load(), 0) << "no callback ran while registered: the test proved nothing";
    EXPECT_EQ(s_late.load(), 0);
    (void)online;
}

// --- line events by WMI polling -----------------------------------------------------------------

TEST_F(LibraryApplicationTest, PollingReportsChangesAfterTheFirstPoll)
{
    SHORT online = -1;
    ASSERT_EQ(SetWmiLineEventProc("COM3", RecordEvent, 0x55, 3, &online), 0);
    EXPECT_EQ(online, 1);
    Poll(2);
    EXPECT_TRUE(TakeCalls().empty()) << "the first poll reports nothing";

    machine->Detach(device);
    Poll();
    EXPECT_EQ(TakeCalls(), std::vector<Call>({{3, EVT_USB_OFFLINE, 0x55, m_mainThread}}));
    EXPECT_TRUE(LogHas("Info    : OnEventNotify called"));

    device = Plug(u"TR0001");
    Poll();
    EXPECT_EQ(TakeCalls(), std::vector<Call>({{3, EVT_USB_ONLINE, 0x55, m_mainThread}}));

    ASSERT_EQ(SetWmiLineEventProc("COM3", NULL, 0, 3, &online), 0);
    EXPECT_TRUE(LogHas("Info    : delete m_pWmiPollingThread"));
    EXPECT_TRUE(LogHas("Info    : ThreadMain=0x0"));
}

TEST_F(LibraryApplicationTest, PollingMissesAPlugAndPullWithinOneInterval)
{
    SHORT online = -1;
    winsim::machine::ReaderSpec other;
    ASSERT_EQ(SetWmiLineEventProc("COM4", RecordEvent, 4, 3, &online), 0);
    EXPECT_EQ(online, 0);
    Poll(2);
    winsim::machine::Device second = Plug(u"TR0002");
    machine->Detach(second);
    Poll(2);
    EXPECT_TRUE(TakeCalls().empty());
    ASSERT_EQ(SetWmiLineEventProc("COM4", NULL, 0, 3, &online), 0);
}

TEST_F(LibraryApplicationTest, PollingHonoursTheMaskAndANewCallback)
{
    SHORT online = -1;
    ASSERT_EQ(SetWmiLineEventProc("COM3", RecordEvent, 1, EVT_USB_ONLINE, &online), 0);
    Poll();
    machine->Detach(device);
    Poll();
    EXPECT_TRUE(TakeCalls().empty()) << "mask 2: pulling out posts nothing";
    // A new registration while polling: the thread goes on, the next event goes to the new values.
    ASSERT_EQ(SetWmiLineEventProc("COM3", RecordEvent, 2, 3, &online), 0);
    device = Plug(u"TR0001");
    Poll();
    EXPECT_EQ(TakeCalls(), std::vector<Call>({{3, EVT_USB_ONLINE, 2, m_mainThread}}));
    ASSERT_EQ(SetWmiLineEventProc("COM3", NULL, 0, 3, &online), 0);
}

TEST_F(LibraryApplicationTest, ACaptionWithComBeforeThePortNeverMatches)
{
    // The reader's caption becomes "COMPORT (COM3)": from its first "COM" it reads "COMPORT (COM3".
    machine->SetRegistryValue(EnumKey(), u"FriendlyName",
                              winsim::machine::RegistryValue::String(u"COMPORT (COM3)"));
    SHORT online = -1;
    ASSERT_EQ(SetWmiLineEventProc("COM3", RecordEvent, 1, 3, &online), 0);
    Poll(2);
    machine->Detach(device);
    Poll(2);
    EXPECT_TRUE(TakeCalls().empty());
    ASSERT_EQ(SetWmiLineEventProc("COM3", NULL, 0, 3, &online), 0);
}

TEST_F(LibraryApplicationTest, UnloadingStopsAPollingThread)
{
    SHORT online = -1;
    ASSERT_EQ(SetWmiLineEventProc("COM3", RecordEvent, 1, 3, &online), 0);
    Poll();
    ASSERT_TRUE(FreeLibrary(m_library));
    m_library = nullptr;
    std::vector<std::string> lines = LogLines();
    bool stopped = false;
    for (const std::string& line : lines)
    {
        stopped = stopped || line.find("Info    : delete m_pWmiPollingThread") != std::string::npos;
    }
    EXPECT_TRUE(stopped);
    EXPECT_TRUE(LogHas("Info    : m_pPortStatusWmi[3] not NULL!!"));
    EXPECT_TRUE(TakeCalls().empty());
}

} // namespace
