// Window classes, hidden top-level windows and their message loops.
#include <windows.h>

#include <gtest/gtest.h>

#include "TableCases.h"

#include <algorithm>
#include <atomic>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace
{

// What a window's procedure saw, kept where WM_NCCREATE's create parameter points (the way a
// framework keeps its window object in GWLP_USERDATA).
struct Recorder
{
    std::mutex lock;
    std::vector<UINT> messages;
    LRESULT ncCreateResult = TRUE;
    LRESULT createResult = 0;
    CREATESTRUCTA created{};
    std::string createdClass;
    std::vector<DWORD> threads; // the thread of each call
    bool quitOnDestroy = false;
    std::vector<std::string> settingChanges; // the section names of WM_SETTINGCHANGE, as read

    std::vector<UINT> Messages()
    {
        std::lock_guard<std::mutex> guard(lock);
        return messages;
    }
};

LRESULT CALLBACK RecordingProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (message == WM_NCCREATE)
    {
        SetWindowLongPtrA(
            hwnd, GWLP_USERDATA,
            reinterpret_cast<LONG_PTR>(reinterpret_cast<CREATESTRUCTA*>(lParam)->lpCreateParams));
    }
    auto* recorder = reinterpret_cast<Recorder*>(GetWindowLongPtrA(hwnd, GWLP_USERDATA));
    if (recorder == nullptr)
    {
        return DefWindowProcA(hwnd, message, wParam, lParam);
    }
    {
        std::lock_guard<std::mutex> guard(recorder->lock);
        recorder->messages.push_back(message);
        recorder->threads.push_back(GetCurrentThreadId());
    }
    switch (message)
    {
    case WM_NCCREATE:
        recorder->created = *reinterpret_cast<CREATESTRUCTA*>(lParam);
        recorder->createdClass = recorder->created.lpszClass;
        return recorder->ncCreateResult;
    case WM_CREATE:
        return recorder->createResult;
    case WM_DESTROY:
        if (recorder->quitOnDestroy)
        {
            PostQuitMessage(7);
        }
        return 0;
    case WM_USER + 1:
        return static_cast<LRESULT>(wParam + lParam);
    case WM_USER + 9: // holds the window's thread until the event that wParam names is set
        WaitForSingleObject(reinterpret_cast<HANDLE>(wParam), INFINITE);
        return 0;
    case WM_SETTINGCHANGE: {
        std::lock_guard<std::mutex> guard(recorder->lock);
        recorder->settingChanges.push_back(reinterpret_cast<const char*>(lParam));
        return 0;
    }
    default:
        return DefWindowProcA(hwnd, message, wParam, lParam);
    }
}

constexpr char ClassName[] = "WindowTests.Recording";

class WindowTest : public ::testing::Test
{
  protected:
    static void SetUpTestSuite()
    {
        // Once per process: the class outlives a suite run repeated.
        static const ATOM atom = [] {
            WNDCLASSA wc{};
            wc.style = CS_CLASSDC;
            wc.lpfnWndProc = RecordingProc;
            wc.lpszClassName = ClassName;
            return RegisterClassA(&wc);
        }();
        ASSERT_NE(atom, 0);
    }

    HWND Create(Recorder* recorder, HWND parent = nullptr, const char* title = "")
    {
        return CreateWindowExA(0, ClassName, title, 0, CW_USEDEFAULT, 0, CW_USEDEFAULT, 0, parent, nullptr,
                               nullptr, recorder);
    }
};

TEST_F(WindowTest, CreationSendsNcCreateThenCreateAndDestructionDestroyThenNcDestroy)
{
    Recorder recorder;
    HWND hwnd = CreateWindowExA(WS_EX_TOOLWINDOW, ClassName, "Hidden", 0, CW_USEDEFAULT, 5, CW_USEDEFAULT, 9,
                                nullptr, nullptr, nullptr, &recorder);
    ASSERT_NE(hwnd, nullptr);
    EXPECT_EQ(recorder.Messages(), (std::vector<UINT>{WM_NCCREATE, WM_CREATE}));
    EXPECT_EQ(recorder.created.lpCreateParams, &recorder);
    EXPECT_EQ(recorder.created.hwndParent, nullptr);
    EXPECT_EQ(recorder.created.style, 0);
    EXPECT_EQ(recorder.created.dwExStyle, static_cast<DWORD>(WS_EX_TOOLWINDOW));
    EXPECT_EQ(recorder.createdClass, ClassName);
    EXPECT_EQ(std::string(recorder.created.lpszName), "Hidden");
    EXPECT_TRUE(IsWindow(hwnd));
    EXPECT_EQ(GetWindowLongPtrA(hwnd, GWL_STYLE), 0); // not visible

    ASSERT_TRUE(DestroyWindow(hwnd));
    EXPECT_EQ(recorder.Messages(), (std::vector<UINT>{WM_NCCREATE, WM_CREATE, WM_DESTROY, WM_NCDESTROY}));
    EXPECT_FALSE(IsWindow(hwnd));
    SetLastError(0);
    EXPECT_EQ(GetWindowLongPtrA(hwnd, GWLP_USERDATA), 0);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_WINDOW_HANDLE));
    EXPECT_FALSE(DestroyWindow(hwnd));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_WINDOW_HANDLE));
}

struct RefusedCreation
{
    const char* name;
    LRESULT ncCreateResult;
    LRESULT createResult;
    std::vector<UINT> messages;
};

TEST_F(WindowTest, CreationFailsWhenTheProcedureRefusesIt)
{
    const RefusedCreation cases[] = {
        {"WM_NCCREATE returns FALSE", FALSE, 0, {WM_NCCREATE, WM_NCDESTROY}},
        {"WM_CREATE returns -1", TRUE, -1, {WM_NCCREATE, WM_CREATE, WM_DESTROY, WM_NCDESTROY}},
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.name);
        Recorder recorder;
        recorder.ncCreateResult = c.ncCreateResult;
        recorder.createResult = c.createResult;
        EXPECT_EQ(Create(&recorder), nullptr);
        EXPECT_EQ(recorder.Messages(), c.messages);
    }
}

TEST_F(WindowTest, ClassesAreCheckedAtRegistrationAndRemoval)
{
    WNDCLASSA again{};
    again.lpfnWndProc = RecordingProc;
    again.lpszClassName = "windowtests.RECORDING"; // the same name without regard to case
    EXPECT_EQ(RegisterClassA(&again), 0);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_CLASS_ALREADY_EXISTS));

    WNDCLASSEXA ex{};
    ex.cbSize = sizeof(ex) - 1;
    ex.lpfnWndProc = RecordingProc;
    ex.lpszClassName = "WindowTests.Ex";
    EXPECT_EQ(RegisterClassExA(&ex), 0);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    ex.cbSize = sizeof(ex);
    ex.cbWndExtra = sizeof(LONG_PTR);
    ATOM atom = RegisterClassExA(&ex);
    ASSERT_NE(atom, 0);

    // The atom names the class too, and the window has its extra bytes.
    HWND hwnd =
        CreateWindowExA(0, MAKEINTATOM(atom), nullptr, 0, 0, 0, 0, 0, nullptr, nullptr, nullptr, nullptr);
    ASSERT_NE(hwnd, nullptr);
    EXPECT_EQ(SetWindowLongPtrA(hwnd, 0, 0x1234), 0);
    EXPECT_EQ(GetWindowLongPtrA(hwnd, 0), 0x1234);
    EXPECT_EQ(GetWindowLongPtrA(hwnd, 1), 0);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_INDEX));
    WNDCLASSA info{};
    ASSERT_TRUE(GetClassInfoA(nullptr, "WindowTests.Ex", &info));
    EXPECT_EQ(info.cbWndExtra, static_cast<int>(sizeof(LONG_PTR)));
    EXPECT_EQ(info.lpfnWndProc, RecordingProc);

    EXPECT_FALSE(UnregisterClassA("WindowTests.Ex", nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_CLASS_HAS_WINDOWS));
    ASSERT_TRUE(DestroyWindow(hwnd));
    EXPECT_TRUE(UnregisterClassA("WindowTests.Ex", nullptr));
    EXPECT_FALSE(UnregisterClassA("WindowTests.Ex", nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_CLASS_DOES_NOT_EXIST));
    EXPECT_EQ(
        CreateWindowExA(0, "WindowTests.Ex", nullptr, 0, 0, 0, 0, 0, nullptr, nullptr, nullptr, nullptr),
        nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_CANNOT_FIND_WND_CLASS));
}

LRESULT CALLBACK DoublingProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (message == WM_USER + 1)
    {
        return static_cast<LRESULT>(2 * (wParam + lParam));
    }
    return DefWindowProcA(hwnd, message, wParam, lParam);
}

TEST_F(WindowTest, WindowDataHoldsTheFrameworkObjectAndTheProcedure)
{
    Recorder recorder;
    HWND hwnd = Create(&recorder);
    ASSERT_NE(hwnd, nullptr);
    EXPECT_EQ(GetWindowLongPtrA(hwnd, GWLP_USERDATA), reinterpret_cast<LONG_PTR>(&recorder));
    EXPECT_EQ(SendMessageA(hwnd, WM_USER + 1, 2, 3), 5);

    // Subclassing: the new procedure gets the messages; the old one is returned.
    LONG_PTR old = SetWindowLongPtrA(hwnd, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(DoublingProc));
    EXPECT_EQ(old, reinterpret_cast<LONG_PTR>(RecordingProc));
    EXPECT_EQ(GetWindowLongPtrA(hwnd, GWLP_WNDPROC), reinterpret_cast<LONG_PTR>(DoublingProc));
    EXPECT_EQ(SendMessageA(hwnd, WM_USER + 1, 2, 3), 10);
    SetWindowLongPtrA(hwnd, GWLP_WNDPROC, old);

    EXPECT_EQ(GetWindowLongPtrA(hwnd, 12345), 0);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_INDEX));
    DWORD process = 0;
    EXPECT_EQ(GetWindowThreadProcessId(hwnd, &process), GetCurrentThreadId());
    EXPECT_EQ(process, GetCurrentProcessId());
    EXPECT_TRUE(DestroyWindow(hwnd));
    EXPECT_EQ(GetWindowThreadProcessId(hwnd, &process), 0u);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_WINDOW_HANDLE));
}

TEST_F(WindowTest, OnlyTheOwningThreadDestroysAWindow)
{
    Recorder recorder;
    HWND hwnd = Create(&recorder);
    ASSERT_NE(hwnd, nullptr);
    BOOL destroyed = TRUE;
    DWORD error = 0;
    std::thread([&] {
        destroyed = DestroyWindow(hwnd);
        error = GetLastError();
    }).join();
    EXPECT_FALSE(destroyed);
    EXPECT_EQ(error, static_cast<DWORD>(ERROR_ACCESS_DENIED));
    EXPECT_TRUE(IsWindow(hwnd));
    EXPECT_TRUE(DestroyWindow(hwnd));
}

TEST_F(WindowTest, FindWindowFindsTopLevelWindowsButNotMessageOnlyOnes)
{
    Recorder a;
    Recorder b;
    HWND visible = Create(&a, nullptr, "WindowTests Finder");
    HWND messageOnly = Create(&b, HWND_MESSAGE, "WindowTests Hidden");
    ASSERT_NE(visible, nullptr);
    ASSERT_NE(messageOnly, nullptr);
    EXPECT_EQ(FindWindowA(ClassName, "windowtests finder"), visible);
    EXPECT_EQ(FindWindowA(nullptr, "WindowTests Finder"), visible);
    EXPECT_EQ(FindWindowA(ClassName, "WindowTests Hidden"), nullptr);
    EXPECT_EQ(FindWindowA("WindowTests.NoSuchClass", nullptr), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_CANNOT_FIND_WND_CLASS));
    DestroyWindow(visible);
    DestroyWindow(messageOnly);
}

// --- message queues ---

TEST_F(WindowTest, PostedMessagesComeInOrderAndQuitComesLast)
{
    Recorder recorder;
    HWND hwnd = Create(&recorder);
    ASSERT_NE(hwnd, nullptr);
    ASSERT_TRUE(PostMessageA(hwnd, WM_USER + 2, 1, 0));
    PostQuitMessage(3);
    ASSERT_TRUE(PostMessageA(hwnd, WM_USER + 3, 2, 0));
    ASSERT_TRUE(PostThreadMessageA(GetCurrentThreadId(), WM_APP, 4, 0));

    MSG msg{};
    std::vector<UINT> got;
    BOOL result;
    while ((result = GetMessageA(&msg, nullptr, 0, 0)) > 0)
    {
        got.push_back(msg.message);
        DispatchMessageA(&msg);
    }
    EXPECT_EQ(result, FALSE);
    EXPECT_EQ(msg.message, static_cast<UINT>(WM_QUIT));
    EXPECT_EQ(msg.wParam, 3u);
    EXPECT_EQ(got, (std::vector<UINT>{WM_USER + 2, WM_USER + 3, WM_APP}));
    // Dispatched to the window: the two window messages; the thread message has no window.
    EXPECT_EQ(recorder.Messages(), (std::vector<UINT>{WM_NCCREATE, WM_CREATE, WM_USER + 2, WM_USER + 3}));
    EXPECT_FALSE(PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)); // the quit was taken
    DestroyWindow(hwnd);
}

struct PeekCase
{
    const char* name;
    int filter; // 0: none, 1: the window, 2: thread messages only (-1)
    UINT first;
    UINT last;
    UINT expected; // WM_NULL: nothing
};

TEST_F(WindowTest, PeekMessageFiltersByWindowAndRange)
{
    const PeekCase cases[] = {
        {"everything", 0, 0, 0, WM_USER + 5},
        {"the window", 1, 0, 0, WM_USER + 5},
        {"thread messages only", 2, 0, 0, WM_APP + 1},
        {"a range", 0, WM_APP, WM_APP + 10, WM_APP + 1},
        {"an empty range", 0, WM_USER + 100, WM_USER + 200, WM_NULL},
    };
    Recorder recorder;
    HWND hwnd = Create(&recorder);
    ASSERT_NE(hwnd, nullptr);
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.name);
        ASSERT_TRUE(PostMessageA(hwnd, WM_USER + 5, 0, 0));
        ASSERT_TRUE(PostMessageA(nullptr, WM_APP + 1, 0, 0));
        HWND filter = c.filter == 0 ? nullptr : c.filter == 1 ? hwnd : reinterpret_cast<HWND>(-1);
        MSG msg{};
        BOOL found = PeekMessageA(&msg, filter, c.first, c.last, PM_NOREMOVE);
        EXPECT_EQ(found ? msg.message : static_cast<UINT>(WM_NULL), c.expected);
        // PM_NOREMOVE left it there: PM_REMOVE gets the same one.
        MSG again{};
        EXPECT_EQ(PeekMessageA(&again, filter, c.first, c.last, PM_REMOVE), found);
        EXPECT_EQ(again.message, msg.message);
        while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE))
        {
        }
    }
    DestroyWindow(hwnd);
}

TEST_F(WindowTest, BadWindowsAndThreadsAreRefused)
{
    Recorder recorder;
    HWND hwnd = Create(&recorder);
    ASSERT_TRUE(DestroyWindow(hwnd));
    MSG msg{};
    EXPECT_EQ(GetMessageA(&msg, hwnd, 0, 0), -1);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_WINDOW_HANDLE));
    EXPECT_FALSE(PostMessageA(hwnd, WM_USER, 0, 0));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_WINDOW_HANDLE));
    EXPECT_EQ(SendMessageA(hwnd, WM_USER, 0, 0), 0);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_WINDOW_HANDLE));
    EXPECT_FALSE(PostThreadMessageA(0x7ffffff0, WM_USER, 0, 0));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_THREAD_ID));
}

// A thread with a window of its own and a message loop, until its window is destroyed.
struct WindowThread
{
    Recorder recorder;
    std::atomic<HWND> hwnd{nullptr};
    std::atomic<DWORD> threadId{0};
    std::atomic<int> exitCode{-1};
    std::thread thread;

    explicit WindowThread(const char* className)
    {
        recorder.quitOnDestroy = true;
        std::atomic<bool> ready{false};
        thread = std::thread([this, className, &ready] {
            threadId = GetCurrentThreadId();
            hwnd = CreateWindowExA(0, className, "", 0, 0, 0, 0, 0, nullptr, nullptr, nullptr, &recorder);
            ready = true;
            MSG msg;
            while (GetMessageA(&msg, nullptr, 0, 0) > 0)
            {
                DispatchMessageA(&msg);
            }
            exitCode = static_cast<int>(msg.wParam);
        });
        while (!ready)
        {
            std::this_thread::yield();
        }
    }
    ~WindowThread()
    {
        if (thread.joinable())
        {
            thread.join();
        }
    }
};

TEST_F(WindowTest, SendMessageToAnotherThreadRunsThereAndReturnsItsResult)
{
    WindowThread other(ClassName);
    ASSERT_NE(other.hwnd.load(), nullptr);
    EXPECT_EQ(SendMessageA(other.hwnd, WM_USER + 1, 40, 2), 42);
    EXPECT_TRUE(SendNotifyMessageA(other.hwnd, WM_USER + 4, 0, 0));
    // WM_CLOSE posted: the default procedure destroys the window there, whose WM_DESTROY quits.
    ASSERT_TRUE(PostMessageA(other.hwnd, WM_CLOSE, 0, 0));
    other.thread.join();
    EXPECT_EQ(other.exitCode.load(), 7);
    EXPECT_FALSE(IsWindow(other.hwnd));
    std::vector<UINT> messages = other.recorder.Messages();
    EXPECT_EQ(messages, (std::vector<UINT>{WM_NCCREATE, WM_CREATE, WM_USER + 1, WM_USER + 4, WM_CLOSE,
                                           WM_DESTROY, WM_NCDESTROY}));
    // Every call ran on the window's thread.
    for (DWORD thread : other.recorder.threads)
    {
        EXPECT_EQ(thread, other.threadId.load());
    }
}

TEST_F(WindowTest, ABroadcastSettingChangeReachesEveryThreadsWindowsWithoutWaitingAndCarriesItsSection)
{
    Recorder mine;
    HWND own = Create(&mine);
    ASSERT_NE(own, nullptr);
    WindowThread other(ClassName);
    ASSERT_NE(other.hwnd.load(), nullptr);
    // The other thread is busy in its window procedure until the event is set.
    HANDLE release = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    ASSERT_TRUE(PostMessageA(other.hwnd, WM_USER + 9, reinterpret_cast<WPARAM>(release), 0));
    for (std::vector<UINT> seen; std::find(seen.begin(), seen.end(), WM_USER + 9) == seen.end();)
    {
        std::this_thread::yield();
        seen = other.recorder.Messages();
    }

    std::vector<char> section = {'P', 'o', 'r', 't', 's', 0};
    EXPECT_TRUE(
        SendNotifyMessageA(HWND_BROADCAST, WM_WININICHANGE, 0, reinterpret_cast<LPARAM>(section.data())));
    // This thread's window had it at once; the busy thread's has not had it, and the call did not
    // wait for it. The sender's string may change or go now.
    EXPECT_EQ(mine.settingChanges, std::vector<std::string>{"Ports"});
    {
        std::lock_guard<std::mutex> guard(other.recorder.lock);
        EXPECT_TRUE(other.recorder.settingChanges.empty());
    }
    section.assign({'X', 'X', 'X', 0});
    section.shrink_to_fit();

    SetEvent(release);
    ASSERT_TRUE(PostMessageA(other.hwnd, WM_CLOSE, 0, 0));
    other.thread.join();
    EXPECT_EQ(other.recorder.settingChanges, std::vector<std::string>{"Ports"});
    CloseHandle(release);
    DestroyWindow(own);
}

// The window of the test thread answers WM_USER + 6 by sending WM_USER + 1 to the window its
// wParam names (on another thread) and adding one.
LRESULT CALLBACK SendingBackProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (message == WM_USER + 6)
    {
        return SendMessageA(reinterpret_cast<HWND>(wParam), WM_USER + 1, 10, lParam) + 1;
    }
    return DefWindowProcA(hwnd, message, wParam, lParam);
}

LRESULT CALLBACK AskingProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (message == WM_USER + 7)
    {
        // Sends to the test thread's window, which sends back here while this thread waits.
        return SendMessageA(reinterpret_cast<HWND>(wParam), WM_USER + 6, reinterpret_cast<WPARAM>(hwnd),
                            lParam);
    }
    if (message == WM_USER + 1)
    {
        return static_cast<LRESULT>(wParam + lParam);
    }
    return DefWindowProcA(hwnd, message, wParam, lParam);
}

TEST_F(WindowTest, ThreadsThatSendToEachOtherWhileWaitingDoNotDeadlock)
{
    static const bool registered = [] {
        WNDCLASSA wc{};
        wc.lpfnWndProc = SendingBackProc;
        wc.lpszClassName = "WindowTests.SendingBack";
        WNDCLASSA asking{};
        asking.lpfnWndProc = AskingProc;
        asking.lpszClassName = "WindowTests.Asking";
        return RegisterClassA(&wc) != 0 && RegisterClassA(&asking) != 0;
    }();
    ASSERT_TRUE(registered);
    HWND mine =
        CreateWindowExA(0, "WindowTests.SendingBack", "", 0, 0, 0, 0, 0, nullptr, nullptr, nullptr, nullptr);
    ASSERT_NE(mine, nullptr);
    std::atomic<HWND> theirs{nullptr};
    std::thread other([&] {
        theirs =
            CreateWindowExA(0, "WindowTests.Asking", "", 0, 0, 0, 0, 0, nullptr, nullptr, nullptr, nullptr);
        MSG msg;
        while (GetMessageA(&msg, nullptr, 0, 0) > 0)
        {
            DispatchMessageA(&msg);
        }
        DestroyWindow(theirs);
    });
    while (theirs.load() == nullptr)
    {
        std::this_thread::yield();
    }
    // Here -> there (WM_USER + 7) -> here (WM_USER + 6) -> there (WM_USER + 1): 10 + 5, plus one.
    EXPECT_EQ(SendMessageA(theirs, WM_USER + 7, reinterpret_cast<WPARAM>(mine), 5), 16);
    PostThreadMessageA(GetWindowThreadProcessId(theirs, nullptr), WM_QUIT, 0, 0);
    other.join();
    DestroyWindow(mine);
}

TEST_F(WindowTest, MsgWaitForMultipleObjectsReturnsForInputOrForAHandle)
{
    Recorder recorder;
    HWND hwnd = Create(&recorder);
    ASSERT_NE(hwnd, nullptr);
    HANDLE event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    EXPECT_EQ(MsgWaitForMultipleObjects(1, &event, FALSE, 0, QS_ALLINPUT), static_cast<DWORD>(WAIT_TIMEOUT));
    ASSERT_TRUE(PostMessageA(hwnd, WM_USER + 8, 0, 0));
    EXPECT_EQ(MsgWaitForMultipleObjects(1, &event, FALSE, 0, QS_ALLINPUT),
              static_cast<DWORD>(WAIT_OBJECT_0 + 1));
    // A mask without posted messages does not count them.
    SetEvent(event);
    EXPECT_EQ(MsgWaitForMultipleObjects(1, &event, FALSE, 0, QS_SENDMESSAGE),
              static_cast<DWORD>(WAIT_OBJECT_0));
    MSG msg;
    while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE))
    {
    }
    CloseHandle(event);
    DestroyWindow(hwnd);
}

TEST_F(WindowTest, AThreadThatExitsTakesItsWindowsAndQueueAlong)
{
    Recorder recorder;
    HWND hwnd = nullptr;
    DWORD threadId = 0;
    std::thread([&] {
        threadId = GetCurrentThreadId();
        hwnd = Create(&recorder);
    }).join();
    ASSERT_NE(hwnd, nullptr);
    EXPECT_FALSE(IsWindow(hwnd));
    EXPECT_FALSE(PostThreadMessageA(threadId, WM_USER, 0, 0));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_THREAD_ID));
}

} // namespace
