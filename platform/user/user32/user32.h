// The process's window manager: window classes, windows and the message queues of its threads.
//
// Design. Like Windows' window manager, it keeps all of its state under one lock, the user lock
// (UserLock), and never calls a window procedure or waits while holding it. Calls into the kernel
// that do not wait (setting an event, reading the registry) may happen under it: the kernel never
// calls back into user32.
//
// A thread gets a message queue the first time it creates a window or calls a message function.
// A queue has two kernel events of the machine it was made on: `wake`, an auto-reset event set by
// whoever puts something into the queue, and `reply`, set when a message the thread sent to
// another thread has been answered. A thread that finds nothing to do waits on them (and on the
// Plug and Play manager's pending-events event) in the kernel's dispatcher, so the machine knows
// it waits. It looks at its queue again after every wait; the auto-reset event keeps a wake that
// comes between its look and its wait.
//
// As everything of user mode, none of this is ever freed at process exit (see internal.h): the
// state is allocated once; queues outlive their threads.
#pragma once

#include <windows.h>
#include <dbt.h>

#include <stdint.h>

#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace winsim::user32
{

struct ThreadQueue;

struct WindowClass
{
    std::string name;
    ATOM atom = 0;
    HINSTANCE instance = nullptr;
    UINT style = 0;
    WNDPROC proc = nullptr;
    int classExtra = 0;
    int windowExtra = 0;
    HICON icon = nullptr;
    HICON smallIcon = nullptr;
    HCURSOR cursor = nullptr;
    HBRUSH background = nullptr;
    LPCSTR menuName = nullptr;
    unsigned windows = 0; // windows of the class that exist
};

// What a system class (dialog, static, combo box) keeps of a window of its own besides the
// window's data; user lock held to touch it.
struct ClassState
{
    enum class Kind
    {
        Dialog,  // dialog.cpp: a window DefDlgProcA serves
        Control, // controls.cpp: a static, button or combo box
    };
    explicit ClassState(Kind k) : kind(k) {}
    virtual ~ClassState() = default;
    const Kind kind;
};

struct Window
{
    HWND handle = nullptr;
    WindowClass* windowClass = nullptr;
    WNDPROC proc = nullptr;
    LONG_PTR userData = 0;
    DWORD style = 0;
    DWORD exStyle = 0;
    HINSTANCE instance = nullptr;
    LONG_PTR id = 0;       // the hMenu argument: a child window's control ID
    HWND owner = nullptr;  // a top-level window's owner
    HWND parent = nullptr; // a child window's parent (WS_CHILD); null for a top-level window
    int x = 0;             // position (relative to the parent's client area) and size in pixels
    int y = 0;
    int width = 0;
    int height = 0;
    bool messageOnly = false; // parent HWND_MESSAGE: no broadcasts, FindWindow skips it
    bool destroying = false;  // DestroyWindow is under way
    std::string title;
    ThreadQueue* queue = nullptr; // of the thread that created it, which owns it
    DWORD threadId = 0;
    std::vector<BYTE> extra; // cbWndExtra bytes
    std::unique_ptr<ClassState> state;
};

// A message sent to a window of another thread, waiting in that thread's queue. A sender waits
// for `done`; a notification (SendNotifyMessage, a device broadcast) has no sender, and the queue
// deletes it once the window procedure returned. `data` holds what lParam points to when the
// queue owns it (a broadcast's DEV_BROADCAST_* structure).
struct SentMessage
{
    HWND hwnd = nullptr;
    UINT message = 0;
    WPARAM wParam = 0;
    LPARAM lParam = 0;
    LRESULT result = 0;
    bool done = false;
    ThreadQueue* sender = nullptr;
    std::vector<BYTE> data;
};

struct ThreadQueue
{
    DWORD threadId = 0;
    bool ended = false; // the thread exited; nothing is put into the queue any more
    std::deque<MSG> posted;
    std::deque<SentMessage*> sent;
    bool quit = false; // PostQuitMessage was called and WM_QUIT not yet removed
    int quitCode = 0;
    // Kernel events of the machine of generation `generation` (see ntdll's MachineGeneration).
    HANDLE wake = nullptr;
    HANDLE reply = nullptr;
    uint64_t generation = 0;
    HWND focus = nullptr; // the window with the keyboard focus (SetFocus), of this thread
};

// Registrations of RegisterDeviceNotification.
struct DeviceNotification
{
    HWND hwnd = nullptr;
    bool allClasses = false;
    GUID classGuid{};
};

std::mutex& UserLock();

// --- under the user lock ---
// The window a handle names, or null (a destroyed window's handle names none).
Window* WindowOf(HWND hwnd);
// The windows of the process, in the order they were created.
std::vector<Window*> AllWindows();
// The queue of a thread that has one and has not ended.
ThreadQueue* QueueOfThread(DWORD threadId);
// Sets a queue's wake event.
void WakeQueue(ThreadQueue& queue);
// Puts a sent message into a queue and wakes its thread.
void QueueSentMessage(ThreadQueue& queue, SentMessage* message);
// Whether a window gets broadcasts: a top-level window that is not message-only.
inline bool IsTopLevel(const Window& window)
{
    return !window.messageOnly && window.parent == nullptr;
}
// The child windows of a window, first to last (in the order they were created).
std::vector<Window*> ChildrenOf(HWND parent);
// Whether `window` is `ancestor` or a descendant of it through parents.
bool IsSelfOrDescendant(HWND ancestor, HWND window);

// --- without the user lock ---
// The calling thread's queue, made on the first call; its events are those of the current machine.
ThreadQueue& CurrentQueue();
// Calls a window's procedure on the calling thread; 0 when the window is gone.
LRESULT CallWindow(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);

// Device broadcasts (devnotify.cpp): turns the Plug and Play events waiting in the kernel into
// WM_DEVICECHANGE messages sent to the windows' threads. Called on entry to every message function.
void DeliverDeviceEvents();
// The kernel's event signalled while Plug and Play events wait, or null while the process has
// not subscribed to them: it does so with its first window (of each machine).
HANDLE DeviceEventsPending();

// Text compared the way window and class names are: without regard to case.
bool SameName(const std::string& a, LPCSTR b);
// A class name argument: an atom (MAKEINTATOM) or a string.
inline bool IsAtomName(LPCSTR name)
{
    return (reinterpret_cast<ULONG_PTR>(name) >> 16) == 0;
}
// Finds a class for CreateWindowEx and GetClassInfo (user lock held): one registered by the
// module, else a global class (CS_GLOBALCLASS).
WindowClass* FindClass(LPCSTR name, HINSTANCE instance);
// Whether any module registered a class of that name or atom (user lock held).
bool ClassExists(LPCSTR name);
// A class matches a name argument (a name or an atom).
bool ClassMatches(const WindowClass& windowClass, LPCSTR name);
// The windows of a thread that exited go, without messages (user lock held).
void DestroyWindowsOfEndedThread(ThreadQueue* queue);

// The system classes (controls.cpp): the dialog class, Static, Button and ComboBox, registered once
// per process as global classes of user32's own module. Without the user lock.
void RegisterSystemClasses();
// The module that owns the system classes.
HINSTANCE User32Instance();

} // namespace winsim::user32
