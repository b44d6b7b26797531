// Windows: top-level windows (owned ones included) and message-only windows of the process, each
// owned by the thread that created it. Nothing is drawn: a window is its procedure, its data and
// its place in the message queues. Handles are never reused, so a destroyed window's handle stays
// invalid.
#include "internal.h"
#include "user32/user32.h"

#include <map>

namespace winsim::user32
{
namespace
{

// The window table, in creation order (the keys grow).
std::map<HWND, Window*>& Windows()
{
    static auto* windows = new std::map<HWND, Window*>;
    return *windows;
}

HWND NewHandle()
{
    static ULONG_PTR next = 0x10010;
    next += 2;
    return reinterpret_cast<HWND>(next);
}

// Default geometry where the caller asks for it (CW_USEDEFAULT) on an overlapped window.
constexpr int DefaultWidth = 800;
constexpr int DefaultHeight = 600;

BOOL Fail(DWORD error)
{
    SetLastError(error);
    return FALSE;
}

// Takes a window out of the table once its last message was sent; its queue forgets its posted
// messages. User lock held.
void Unlink(Window* window)
{
    Windows().erase(window->handle);
    window->windowClass->windows--;
    auto& posted = window->queue->posted;
    for (auto it = posted.begin(); it != posted.end();)
    {
        it = it->hwnd == window->handle ? posted.erase(it) : std::next(it);
    }
    delete window;
}

} // namespace

std::mutex& UserLock()
{
    static auto* lock = new std::mutex;
    return *lock;
}

Window* WindowOf(HWND hwnd)
{
    auto it = Windows().find(hwnd);
    return it == Windows().end() ? nullptr : it->second;
}

std::vector<Window*> AllWindows()
{
    std::vector<Window*> all;
    for (const auto& [handle, window] : Windows())
    {
        all.push_back(window);
    }
    return all;
}

LRESULT CallWindow(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam)
{
    WNDPROC proc = nullptr;
    {
        std::lock_guard<std::mutex> guard(UserLock());
        Window* window = WindowOf(hwnd);
        if (window == nullptr)
        {
            return 0;
        }
        proc = window->proc;
    }
    return proc != nullptr ? proc(hwnd, message, wParam, lParam) : 0;
}

// A thread ended (see message.cpp): its windows go without messages, as Windows destroys the
// windows of a thread that exits. User lock held.
void DestroyWindowsOfEndedThread(ThreadQueue* queue)
{
    for (Window* window : AllWindows())
    {
        if (window->queue == queue)
        {
            Unlink(window);
        }
    }
}

} // namespace winsim::user32

using namespace winsim::user32;

extern "C"
{

    HWND WINAPI CreateWindowExA(DWORD dwExStyle, LPCSTR lpClassName, LPCSTR lpWindowName, DWORD dwStyle,
                                int X, int Y, int nWidth, int nHeight, HWND hWndParent, HMENU hMenu,
                                HINSTANCE hInstance, LPVOID lpParam)
    {
        if (lpClassName == nullptr)
        {
            Fail(ERROR_CANNOT_FIND_WND_CLASS);
            return nullptr;
        }
        bool messageOnly = hWndParent == HWND_MESSAGE;
        if ((dwStyle & WS_CHILD) != 0 && (hWndParent == nullptr || messageOnly))
        {
            Fail(ERROR_TLW_WITH_WSCHILD);
            return nullptr;
        }
        if ((dwStyle & WS_CHILD) != 0)
        {
            // Child windows are not part of this machine's window manager.
            Fail(ERROR_INVALID_PARAMETER);
            return nullptr;
        }
        ThreadQueue& queue = CurrentQueue();
        auto* window = new Window;
        {
            std::lock_guard<std::mutex> guard(UserLock());
            if (hWndParent != nullptr && !messageOnly && WindowOf(hWndParent) == nullptr)
            {
                delete window;
                Fail(ERROR_INVALID_WINDOW_HANDLE);
                return nullptr;
            }
            WindowClass* windowClass = FindClass(lpClassName, hInstance);
            if (windowClass == nullptr)
            {
                delete window;
                Fail(ERROR_CANNOT_FIND_WND_CLASS);
                return nullptr;
            }
            windowClass->windows++;
            window->handle = NewHandle();
            window->windowClass = windowClass;
            window->proc = windowClass->proc;
            window->style = dwStyle;
            window->exStyle = dwExStyle;
            window->instance = hInstance;
            window->id = reinterpret_cast<LONG_PTR>(hMenu);
            window->owner = messageOnly ? nullptr : hWndParent;
            window->messageOnly = messageOnly;
            window->title = lpWindowName != nullptr ? lpWindowName : "";
            window->queue = &queue;
            window->threadId = queue.threadId;
            window->extra.assign(static_cast<size_t>(windowClass->windowExtra), 0);
            Windows()[window->handle] = window;
        }
        // The process hears of devices from now on.
        DeviceEventsPending();

        HWND hwnd = window->handle;
        bool overlapped = (dwStyle & WS_POPUP) == 0;
        CREATESTRUCTA cs{};
        cs.lpCreateParams = lpParam;
        cs.hInstance = hInstance;
        cs.hMenu = hMenu;
        cs.hwndParent = hWndParent;
        cs.x = X == CW_USEDEFAULT ? 0 : X;
        cs.y = X == CW_USEDEFAULT ? 0 : Y;
        cs.cx = nWidth == CW_USEDEFAULT ? (overlapped ? DefaultWidth : 0) : nWidth;
        cs.cy = nWidth == CW_USEDEFAULT ? (overlapped ? DefaultHeight : 0) : nHeight;
        cs.style = static_cast<LONG>(dwStyle);
        cs.lpszName = lpWindowName;
        cs.lpszClass = lpClassName;
        cs.dwExStyle = dwExStyle;
        LPARAM create = reinterpret_cast<LPARAM>(&cs);

        if (CallWindow(hwnd, WM_NCCREATE, 0, create) == FALSE)
        {
            // The window never existed for its caller; its procedure still hears the end.
            CallWindow(hwnd, WM_NCDESTROY, 0, 0);
            std::lock_guard<std::mutex> guard(UserLock());
            if (Window* w = WindowOf(hwnd))
            {
                Unlink(w);
            }
            return nullptr;
        }
        if (CallWindow(hwnd, WM_CREATE, 0, create) == -1)
        {
            DestroyWindow(hwnd);
            return nullptr;
        }
        std::lock_guard<std::mutex> guard(UserLock());
        return WindowOf(hwnd) != nullptr ? hwnd : nullptr;
    }

    BOOL WINAPI DestroyWindow(HWND hWnd)
    {
        std::vector<HWND> owned;
        {
            std::lock_guard<std::mutex> guard(UserLock());
            Window* window = WindowOf(hWnd);
            if (window == nullptr)
            {
                return Fail(ERROR_INVALID_WINDOW_HANDLE);
            }
            if (window->threadId != winsim::user::CurrentThreadId())
            {
                return Fail(ERROR_ACCESS_DENIED);
            }
            if (window->destroying)
            {
                return TRUE;
            }
            window->destroying = true;
            for (Window* other : AllWindows())
            {
                if (other->owner == hWnd && other->threadId == window->threadId)
                {
                    owned.push_back(other->handle);
                }
            }
        }
        // Owned windows go first.
        for (HWND other : owned)
        {
            DestroyWindow(other);
        }
        CallWindow(hWnd, WM_DESTROY, 0, 0);
        CallWindow(hWnd, WM_NCDESTROY, 0, 0);
        std::lock_guard<std::mutex> guard(UserLock());
        if (Window* window = WindowOf(hWnd))
        {
            Unlink(window);
        }
        return TRUE;
    }

    LRESULT WINAPI DefWindowProcA(HWND hWnd, UINT Msg, WPARAM wParam, LPARAM lParam)
    {
        switch (Msg)
        {
        case WM_NCCREATE:
            return TRUE;
        case WM_CLOSE:
            DestroyWindow(hWnd);
            return 0;
        case WM_QUERYENDSESSION:
        case WM_DEVICECHANGE:
            return TRUE;
        case WM_SETTEXT: {
            std::lock_guard<std::mutex> guard(UserLock());
            Window* window = WindowOf(hWnd);
            if (window == nullptr)
            {
                return FALSE;
            }
            window->title = lParam != 0 ? reinterpret_cast<LPCSTR>(lParam) : "";
            return TRUE;
        }
        case WM_GETTEXTLENGTH:
        case WM_GETTEXT: {
            std::lock_guard<std::mutex> guard(UserLock());
            Window* window = WindowOf(hWnd);
            if (window == nullptr)
            {
                return 0;
            }
            if (Msg == WM_GETTEXTLENGTH)
            {
                return static_cast<LRESULT>(window->title.size());
            }
            if (wParam == 0 || lParam == 0)
            {
                return 0;
            }
            size_t length = window->title.size() < wParam - 1 ? window->title.size() : wParam - 1;
            memcpy(reinterpret_cast<char*>(lParam), window->title.data(), length);
            reinterpret_cast<char*>(lParam)[length] = 0;
            return static_cast<LRESULT>(length);
        }
        default:
            return 0;
        }
    }

    LRESULT WINAPI CallWindowProcA(WNDPROC lpPrevWndFunc, HWND hWnd, UINT Msg, WPARAM wParam, LPARAM lParam)
    {
        return lpPrevWndFunc != nullptr ? lpPrevWndFunc(hWnd, Msg, wParam, lParam) : 0;
    }

    BOOL WINAPI IsWindow(HWND hWnd)
    {
        std::lock_guard<std::mutex> guard(UserLock());
        return WindowOf(hWnd) != nullptr ? TRUE : FALSE;
    }

    DWORD WINAPI GetWindowThreadProcessId(HWND hWnd, LPDWORD lpdwProcessId)
    {
        DWORD threadId = 0;
        {
            std::lock_guard<std::mutex> guard(UserLock());
            Window* window = WindowOf(hWnd);
            if (window == nullptr)
            {
                Fail(ERROR_INVALID_WINDOW_HANDLE);
                return 0;
            }
            threadId = window->threadId;
        }
        if (lpdwProcessId != nullptr)
        {
            *lpdwProcessId = GetCurrentProcessId();
        }
        return threadId;
    }

    LONG_PTR WINAPI GetWindowLongPtrA(HWND hWnd, int nIndex)
    {
        std::lock_guard<std::mutex> guard(UserLock());
        Window* window = WindowOf(hWnd);
        if (window == nullptr)
        {
            Fail(ERROR_INVALID_WINDOW_HANDLE);
            return 0;
        }
        switch (nIndex)
        {
        case GWLP_WNDPROC:
            return reinterpret_cast<LONG_PTR>(window->proc);
        case GWLP_HINSTANCE:
            return reinterpret_cast<LONG_PTR>(window->instance);
        case GWLP_HWNDPARENT:
            return reinterpret_cast<LONG_PTR>(window->owner);
        case GWLP_ID:
            return window->id;
        case GWL_STYLE:
            return static_cast<LONG_PTR>(window->style);
        case GWL_EXSTYLE:
            return static_cast<LONG_PTR>(window->exStyle);
        case GWLP_USERDATA:
            return window->userData;
        default:
            break;
        }
        if (nIndex < 0 || static_cast<size_t>(nIndex) + sizeof(LONG_PTR) > window->extra.size())
        {
            Fail(ERROR_INVALID_INDEX);
            return 0;
        }
        LONG_PTR value;
        memcpy(&value, window->extra.data() + nIndex, sizeof(value));
        return value;
    }

    LONG_PTR WINAPI SetWindowLongPtrA(HWND hWnd, int nIndex, LONG_PTR dwNewLong)
    {
        std::lock_guard<std::mutex> guard(UserLock());
        Window* window = WindowOf(hWnd);
        if (window == nullptr)
        {
            Fail(ERROR_INVALID_WINDOW_HANDLE);
            return 0;
        }
        LONG_PTR previous = 0;
        switch (nIndex)
        {
        case GWLP_WNDPROC:
            previous = reinterpret_cast<LONG_PTR>(window->proc);
            window->proc = reinterpret_cast<WNDPROC>(dwNewLong);
            return previous;
        case GWLP_HINSTANCE:
            previous = reinterpret_cast<LONG_PTR>(window->instance);
            window->instance = reinterpret_cast<HINSTANCE>(dwNewLong);
            return previous;
        case GWLP_HWNDPARENT:
            previous = reinterpret_cast<LONG_PTR>(window->owner);
            window->owner = reinterpret_cast<HWND>(dwNewLong);
            return previous;
        case GWLP_ID:
            previous = window->id;
            window->id = dwNewLong;
            return previous;
        case GWL_STYLE:
            previous = static_cast<LONG_PTR>(window->style);
            window->style = static_cast<DWORD>(dwNewLong);
            return previous;
        case GWL_EXSTYLE:
            previous = static_cast<LONG_PTR>(window->exStyle);
            window->exStyle = static_cast<DWORD>(dwNewLong);
            return previous;
        case GWLP_USERDATA:
            previous = window->userData;
            window->userData = dwNewLong;
            return previous;
        default:
            break;
        }
        if (nIndex < 0 || static_cast<size_t>(nIndex) + sizeof(LONG_PTR) > window->extra.size())
        {
            Fail(ERROR_INVALID_INDEX);
            return 0;
        }
        memcpy(&previous, window->extra.data() + nIndex, sizeof(previous));
        memcpy(window->extra.data() + nIndex, &dwNewLong, sizeof(dwNewLong));
        return previous;
    }

    HWND WINAPI FindWindowA(LPCSTR lpClassName, LPCSTR lpWindowName)
    {
        std::lock_guard<std::mutex> guard(UserLock());
        if (lpClassName != nullptr && !ClassExists(lpClassName))
        {
            Fail(ERROR_CANNOT_FIND_WND_CLASS);
            return nullptr;
        }
        for (Window* window : AllWindows())
        {
            if (!IsTopLevel(*window))
            {
                continue;
            }
            bool classMatches = lpClassName == nullptr || ClassMatches(*window->windowClass, lpClassName);
            if (classMatches && (lpWindowName == nullptr || SameName(window->title, lpWindowName)))
            {
                return window->handle;
            }
        }
        return nullptr;
    }

} // extern "C"
