// Window classes: registered per module (hInstance), found by name without regard to case or by
// their atom. A class atom comes from the machine's atom table, which registered window messages
// share, as on Windows.
#include "internal.h"
#include "ntdll/ntdll.h"
#include "user32/user32.h"

#include <strings.h>

namespace winsim::user32
{
namespace
{

std::vector<WindowClass*>& Classes()
{
    static auto* classes = new std::vector<WindowClass*>;
    return *classes;
}

} // namespace

bool ClassMatches(const WindowClass& c, LPCSTR name)
{
    if (IsAtomName(name))
    {
        return c.atom == static_cast<ATOM>(reinterpret_cast<ULONG_PTR>(name));
    }
    return SameName(c.name, name);
}

bool ClassExists(LPCSTR name)
{
    for (WindowClass* c : Classes())
    {
        if (ClassMatches(*c, name))
        {
            return true;
        }
    }
    return false;
}

namespace
{

WindowClass* FindOwnClass(LPCSTR name, HINSTANCE instance)
{
    for (WindowClass* c : Classes())
    {
        if (c->instance == instance && ClassMatches(*c, name))
        {
            return c;
        }
    }
    return nullptr;
}

ATOM Register(const WNDCLASSEXA& wc)
{
    if (wc.lpszClassName == nullptr || wc.lpfnWndProc == nullptr || wc.cbClsExtra < 0 || wc.cbWndExtra < 0 ||
        (!IsAtomName(wc.lpszClassName) && (wc.lpszClassName[0] == 0 || strlen(wc.lpszClassName) > 255)))
    {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    auto* c = new WindowClass;
    ATOM atom = 0;
    if (IsAtomName(wc.lpszClassName))
    {
        atom = static_cast<ATOM>(reinterpret_cast<ULONG_PTR>(wc.lpszClassName));
        c->name = "#" + std::to_string(atom);
    }
    else
    {
        c->name = wc.lpszClassName;
        std::u16string wide = user::WideFromAnsi(c->name);
        NTSTATUS status = NtAddAtom(reinterpret_cast<PWSTR>(wide.data()),
                                    static_cast<ULONG>(wide.size() * sizeof(WCHAR)), &atom);
        if (!NT_SUCCESS(status))
        {
            delete c;
            ntdll::FailWith(status);
            return 0;
        }
    }
    c->atom = atom;
    c->instance = wc.hInstance;
    c->style = wc.style;
    c->proc = wc.lpfnWndProc;
    c->classExtra = wc.cbClsExtra;
    c->windowExtra = wc.cbWndExtra;
    c->icon = wc.hIcon;
    c->smallIcon = wc.hIconSm;
    c->cursor = wc.hCursor;
    c->background = wc.hbrBackground;
    c->menuName = wc.lpszMenuName;

    std::lock_guard<std::mutex> guard(UserLock());
    if (FindOwnClass(wc.lpszClassName, wc.hInstance) != nullptr)
    {
        delete c;
        SetLastError(ERROR_CLASS_ALREADY_EXISTS);
        return 0;
    }
    Classes().push_back(c);
    return atom;
}

} // namespace

bool SameName(const std::string& a, LPCSTR b)
{
    return b != nullptr && strcasecmp(a.c_str(), b) == 0;
}

WindowClass* FindClass(LPCSTR name, HINSTANCE instance)
{
    if (WindowClass* own = FindOwnClass(name, instance))
    {
        return own;
    }
    for (WindowClass* c : Classes())
    {
        if ((c->style & CS_GLOBALCLASS) != 0 && ClassMatches(*c, name))
        {
            return c;
        }
    }
    return nullptr;
}

} // namespace winsim::user32

using namespace winsim::user32;

extern "C"
{

    ATOM WINAPI RegisterClassA(const WNDCLASSA* lpWndClass)
    {
        if (lpWndClass == nullptr)
        {
            SetLastError(ERROR_INVALID_PARAMETER);
            return 0;
        }
        WNDCLASSEXA ex{};
        ex.cbSize = sizeof(ex);
        ex.style = lpWndClass->style;
        ex.lpfnWndProc = lpWndClass->lpfnWndProc;
        ex.cbClsExtra = lpWndClass->cbClsExtra;
        ex.cbWndExtra = lpWndClass->cbWndExtra;
        ex.hInstance = lpWndClass->hInstance;
        ex.hIcon = lpWndClass->hIcon;
        ex.hCursor = lpWndClass->hCursor;
        ex.hbrBackground = lpWndClass->hbrBackground;
        ex.lpszMenuName = lpWndClass->lpszMenuName;
        ex.lpszClassName = lpWndClass->lpszClassName;
        return Register(ex);
    }

    ATOM WINAPI RegisterClassExA(const WNDCLASSEXA* lpWndClass)
    {
        if (lpWndClass == nullptr || lpWndClass->cbSize != sizeof(WNDCLASSEXA))
        {
            SetLastError(ERROR_INVALID_PARAMETER);
            return 0;
        }
        return Register(*lpWndClass);
    }

    BOOL WINAPI UnregisterClassA(LPCSTR lpClassName, HINSTANCE hInstance)
    {
        if (lpClassName == nullptr)
        {
            SetLastError(ERROR_CLASS_DOES_NOT_EXIST);
            return FALSE;
        }
        std::lock_guard<std::mutex> guard(UserLock());
        auto& classes = Classes();
        for (auto it = classes.begin(); it != classes.end(); ++it)
        {
            if ((*it)->instance == hInstance && ClassMatches(**it, lpClassName))
            {
                if ((*it)->windows != 0)
                {
                    SetLastError(ERROR_CLASS_HAS_WINDOWS);
                    return FALSE;
                }
                delete *it;
                classes.erase(it);
                return TRUE;
            }
        }
        SetLastError(ERROR_CLASS_DOES_NOT_EXIST);
        return FALSE;
    }

    BOOL WINAPI GetClassInfoA(HINSTANCE hInstance, LPCSTR lpClassName, LPWNDCLASSA lpWndClass)
    {
        if (lpClassName == nullptr || lpWndClass == nullptr)
        {
            SetLastError(ERROR_INVALID_PARAMETER);
            return FALSE;
        }
        std::lock_guard<std::mutex> guard(UserLock());
        WindowClass* c = FindClass(lpClassName, hInstance);
        if (c == nullptr)
        {
            SetLastError(ERROR_CLASS_DOES_NOT_EXIST);
            return FALSE;
        }
        lpWndClass->style = c->style;
        lpWndClass->lpfnWndProc = c->proc;
        lpWndClass->cbClsExtra = c->classExtra;
        lpWndClass->cbWndExtra = c->windowExtra;
        lpWndClass->hInstance = c->instance;
        lpWndClass->hIcon = c->icon;
        lpWndClass->hCursor = c->cursor;
        lpWndClass->hbrBackground = c->background;
        lpWndClass->lpszMenuName = c->menuName;
        lpWndClass->lpszClassName = lpClassName;
        return TRUE;
    }

} // extern "C"
