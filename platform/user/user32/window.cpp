// Windows: top-level windows (owned ones included), child windows and message-only windows of the
// process, each owned by the thread that created it. Nothing is drawn: a window is its procedure,
// its data, its text, its place among its parent's children and in the message queues. Handles are
// never reused, so a destroyed window's handle stays invalid.
//
// Siblings are kept in creation order: a child is created at the bottom of the Z order, so the
// first child created is GW_CHILD and the dialog manager's tab order is the template's order.
#include "internal.h"
#include "user32/user32.h"

#include <algorithm>
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
// messages and loses the focus if the window had it. User lock held.
void Unlink(Window* window)
{
    Windows().erase(window->handle);
    if (window->queue->focus == window->handle)
    {
        window->queue->focus = nullptr;
    }
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

std::vector<Window*> ChildrenOf(HWND parent)
{
    std::vector<Window*> children;
    for (const auto& [handle, window] : Windows())
    {
        if (window->parent == parent && parent != nullptr)
        {
            children.push_back(window);
        }
    }
    return children;
}

bool IsSelfOrDescendant(HWND ancestor, HWND hwnd)
{
    for (Window* window = WindowOf(hwnd); window != nullptr; window = WindowOf(window->parent))
    {
        if (window->handle == ancestor)
        {
            return true;
        }
    }
    return false;
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

namespace
{

// The siblings of a window, in GetWindow's order: a parent's children first to last; top-level
// windows newest first (a new top-level window comes at the top of the Z order); message-only
// windows among themselves. User lock held.
std::vector<Window*> SiblingsOf(const Window& window)
{
    if (window.parent != nullptr)
    {
        return ChildrenOf(window.parent);
    }
    std::vector<Window*> siblings;
    for (Window* other : AllWindows())
    {
        if (other->parent == nullptr && other->messageOnly == window.messageOnly)
        {
            siblings.insert(siblings.begin(), other);
        }
    }
    return siblings;
}

// WM_DESTROY goes to a window first, then to its children as they are destroyed, first to last.
void SendDestroy(HWND hwnd)
{
    SendMessageA(hwnd, WM_DESTROY, 0, 0);
    std::vector<HWND> children;
    {
        std::lock_guard<std::mutex> guard(UserLock());
        for (Window* child : ChildrenOf(hwnd))
        {
            child->destroying = true;
            children.push_back(child->handle);
        }
    }
    for (HWND child : children)
    {
        SendDestroy(child);
    }
}

// WM_NCDESTROY goes to the children first (first to last), then to the window, which is gone once
// its procedure returned.
void Release(HWND hwnd)
{
    std::vector<HWND> children;
    {
        std::lock_guard<std::mutex> guard(UserLock());
        for (Window* child : ChildrenOf(hwnd))
        {
            children.push_back(child->handle);
        }
    }
    for (HWND child : children)
    {
        Release(child);
    }
    SendMessageA(hwnd, WM_NCDESTROY, 0, 0);
    std::lock_guard<std::mutex> guard(UserLock());
    if (Window* window = WindowOf(hwnd))
    {
        Unlink(window);
    }
}

// A window of the process, or null with ERROR_INVALID_WINDOW_HANDLE. User lock held.
Window* Existing(HWND hwnd)
{
    Window* window = WindowOf(hwnd);
    if (window == nullptr)
    {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    }
    return window;
}

} // namespace

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
        bool child = (dwStyle & WS_CHILD) != 0;
        RegisterSystemClasses();
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
            window->owner = messageOnly || child ? nullptr : hWndParent;
            window->parent = child ? hWndParent : nullptr;
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
        bool overlapped = (dwStyle & (WS_POPUP | WS_CHILD)) == 0;
        CREATESTRUCTA cs{};
        cs.lpCreateParams = lpParam;
        cs.hInstance = hInstance;
        cs.hMenu = hMenu;
        cs.hwndParent = hWndParent;
        cs.x = X == CW_USEDEFAULT ? 0 : X;
        cs.y = X == CW_USEDEFAULT ? 0 : Y;
        cs.cx = nWidth == CW_USEDEFAULT ? (overlapped ? DefaultWidth : 0) : nWidth;
        cs.cy = nWidth == CW_USEDEFAULT ? (overlapped ? DefaultHeight : 0) : nHeight;
        {
            std::lock_guard<std::mutex> guard(UserLock());
            window->x = cs.x;
            window->y = cs.y;
            window->width = cs.cx;
            window->height = cs.cy;
        }
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
        // Owned windows go first; then the window and its children: WM_DESTROY from the window
        // down, WM_NCDESTROY from the children up.
        for (HWND other : owned)
        {
            DestroyWindow(other);
        }
        SendDestroy(hWnd);
        Release(hWnd);
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
            // The text is cut between characters, never inside one (UTF-8 continuation bytes).
            while (length < window->title.size() && length > 0 &&
                   (static_cast<unsigned char>(window->title[length]) & 0xC0) == 0x80)
            {
                length--;
            }
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
            return reinterpret_cast<LONG_PTR>(window->parent != nullptr ? window->parent : window->owner);
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

    HWND WINAPI GetParent(HWND hWnd)
    {
        std::lock_guard<std::mutex> guard(UserLock());
        Window* window = Existing(hWnd);
        if (window == nullptr)
        {
            return nullptr;
        }
        // A child's parent; a pop-up's owner; nothing for an overlapped window.
        if ((window->style & WS_CHILD) != 0)
        {
            return window->parent;
        }
        return (window->style & WS_POPUP) != 0 ? window->owner : nullptr;
    }

    HWND WINAPI GetWindow(HWND hWnd, UINT uCmd)
    {
        std::lock_guard<std::mutex> guard(UserLock());
        Window* window = Existing(hWnd);
        if (window == nullptr)
        {
            return nullptr;
        }
        if (uCmd == GW_OWNER)
        {
            return window->owner;
        }
        if (uCmd == GW_CHILD)
        {
            std::vector<Window*> children = ChildrenOf(hWnd);
            return children.empty() ? nullptr : children.front()->handle;
        }
        std::vector<Window*> siblings = SiblingsOf(*window);
        auto self = std::find(siblings.begin(), siblings.end(), window);
        switch (uCmd)
        {
        case GW_HWNDFIRST:
            return siblings.front()->handle;
        case GW_HWNDLAST:
            return siblings.back()->handle;
        case GW_HWNDNEXT:
            return self + 1 != siblings.end() ? (*(self + 1))->handle : nullptr;
        case GW_HWNDPREV:
            return self != siblings.begin() ? (*(self - 1))->handle : nullptr;
        default:
            SetLastError(ERROR_INVALID_PARAMETER);
            return nullptr;
        }
    }

    BOOL WINAPI IsChild(HWND hWndParent, HWND hWnd)
    {
        std::lock_guard<std::mutex> guard(UserLock());
        Window* window = WindowOf(hWnd);
        return window != nullptr && window->parent != nullptr && hWndParent != hWnd &&
                       IsSelfOrDescendant(hWndParent, hWnd)
                   ? TRUE
                   : FALSE;
    }

    int WINAPI GetDlgCtrlID(HWND hWnd)
    {
        std::lock_guard<std::mutex> guard(UserLock());
        Window* window = Existing(hWnd);
        return window != nullptr ? static_cast<int>(window->id) : 0;
    }

    BOOL WINAPI EnableWindow(HWND hWnd, BOOL bEnable)
    {
        bool wasDisabled = false;
        {
            std::lock_guard<std::mutex> guard(UserLock());
            Window* window = Existing(hWnd);
            if (window == nullptr)
            {
                return FALSE;
            }
            wasDisabled = (window->style & WS_DISABLED) != 0;
            if (wasDisabled == (bEnable == FALSE))
            {
                return wasDisabled ? TRUE : FALSE;
            }
            window->style = bEnable ? (window->style & ~WS_DISABLED) : (window->style | WS_DISABLED);
        }
        SendMessageA(hWnd, WM_ENABLE, bEnable ? TRUE : FALSE, 0);
        return wasDisabled ? TRUE : FALSE;
    }

    BOOL WINAPI IsWindowEnabled(HWND hWnd)
    {
        std::lock_guard<std::mutex> guard(UserLock());
        Window* window = Existing(hWnd);
        return window != nullptr && (window->style & WS_DISABLED) == 0 ? TRUE : FALSE;
    }

    BOOL WINAPI ShowWindow(HWND hWnd, int nCmdShow)
    {
        bool show = nCmdShow != SW_HIDE;
        bool wasVisible = false;
        {
            std::lock_guard<std::mutex> guard(UserLock());
            Window* window = Existing(hWnd);
            if (window == nullptr)
            {
                return FALSE;
            }
            wasVisible = (window->style & WS_VISIBLE) != 0;
            if (wasVisible == show)
            {
                return wasVisible ? TRUE : FALSE;
            }
            window->style = show ? (window->style | WS_VISIBLE) : (window->style & ~WS_VISIBLE);
        }
        SendMessageA(hWnd, WM_SHOWWINDOW, show ? TRUE : FALSE, 0);
        return wasVisible ? TRUE : FALSE;
    }

    BOOL WINAPI IsWindowVisible(HWND hWnd)
    {
        std::lock_guard<std::mutex> guard(UserLock());
        Window* window = WindowOf(hWnd);
        if (window == nullptr)
        {
            return FALSE;
        }
        // Visible when it and every ancestor have WS_VISIBLE.
        for (; window != nullptr; window = WindowOf(window->parent))
        {
            if ((window->style & WS_VISIBLE) == 0)
            {
                return FALSE;
            }
        }
        return TRUE;
    }

    HWND WINAPI SetFocus(HWND hWnd)
    {
        ThreadQueue& queue = CurrentQueue();
        HWND previous = nullptr;
        {
            std::lock_guard<std::mutex> guard(UserLock());
            previous = queue.focus;
            if (hWnd != nullptr)
            {
                Window* window = Existing(hWnd);
                if (window == nullptr)
                {
                    return nullptr;
                }
                if (window->queue != &queue)
                {
                    // Only a window of the calling thread takes its focus.
                    SetLastError(ERROR_ACCESS_DENIED);
                    return nullptr;
                }
            }
            if (previous == hWnd)
            {
                return previous;
            }
            queue.focus = hWnd;
        }
        if (previous != nullptr)
        {
            SendMessageA(previous, WM_KILLFOCUS, reinterpret_cast<WPARAM>(hWnd), 0);
        }
        if (hWnd != nullptr)
        {
            SendMessageA(hWnd, WM_SETFOCUS, reinterpret_cast<WPARAM>(previous), 0);
        }
        return previous;
    }

    HWND WINAPI GetFocus(void)
    {
        ThreadQueue& queue = CurrentQueue();
        std::lock_guard<std::mutex> guard(UserLock());
        return queue.focus;
    }

    BOOL WINAPI SetWindowTextA(HWND hWnd, LPCSTR lpString)
    {
        {
            std::lock_guard<std::mutex> guard(UserLock());
            if (Existing(hWnd) == nullptr)
            {
                return FALSE;
            }
        }
        // The combo box answers CB_ERR (negative) where it has no text of its own to set.
        LRESULT result = SendMessageA(hWnd, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(lpString));
        return result > 0 ? TRUE : FALSE;
    }

    int WINAPI GetWindowTextA(HWND hWnd, LPSTR lpString, int nMaxCount)
    {
        {
            std::lock_guard<std::mutex> guard(UserLock());
            if (Existing(hWnd) == nullptr)
            {
                return 0;
            }
        }
        if (lpString == nullptr || nMaxCount <= 0)
        {
            return 0;
        }
        // A window of this process is asked, whichever thread it belongs to.
        lpString[0] = 0;
        LRESULT length = SendMessageA(hWnd, WM_GETTEXT, static_cast<WPARAM>(nMaxCount),
                                      reinterpret_cast<LPARAM>(lpString));
        return length > 0 ? static_cast<int>(length) : 0;
    }

    int WINAPI GetWindowTextLengthA(HWND hWnd)
    {
        {
            std::lock_guard<std::mutex> guard(UserLock());
            if (Existing(hWnd) == nullptr)
            {
                return 0;
            }
        }
        LRESULT length = SendMessageA(hWnd, WM_GETTEXTLENGTH, 0, 0);
        return length > 0 ? static_cast<int>(length) : 0;
    }

} // extern "C"
