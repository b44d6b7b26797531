#include "Window.h"

#include <strsafe.h>

#include "Application.h"

const FW_MSGMAP CWindow::s_messageMap = {NULL, NULL};

CWindow::CWindow() : m_hWnd(NULL) {}

CWindow::~CWindow()
{
    if (m_hWnd != NULL)
    {
        ::DestroyWindow(m_hWnd);
    }
}

namespace
{
HINSTANCE ModuleInstance()
{
    CApplication* pApp = FwGetApp();
    return pApp != NULL ? pApp->m_hInstance : NULL;
}
} // namespace

LPCSTR CWindow::RegisterWndClass(UINT nClassStyle, HCURSOR hCursor, HBRUSH hbrBackground, HICON hIcon)
{
    // One name per set of attributes, so that equal requests share one class.
    static char s_szClassName[96];
    StringCchPrintfA(s_szClassName, sizeof(s_szClassName), "FwWnd:%p:%x:%p:%p:%p", ModuleInstance(),
                     nClassStyle, hCursor, hbrBackground, hIcon);
    WNDCLASSA wc;
    ZeroMemory(&wc, sizeof(wc));
    wc.style = nClassStyle;
    wc.lpfnWndProc = FwWndProc;
    wc.hInstance = ModuleInstance();
    wc.hCursor = hCursor;
    wc.hbrBackground = hbrBackground;
    wc.hIcon = hIcon;
    wc.lpszClassName = s_szClassName;
    if (RegisterClassA(&wc) == 0 && GetLastError() != ERROR_CLASS_ALREADY_EXISTS)
    {
        return NULL;
    }
    return s_szClassName;
}

BOOL CWindow::CreateEx(DWORD dwExStyle, LPCSTR lpszClassName, LPCSTR lpszWindowName, DWORD dwStyle, int x,
                       int y, int nWidth, int nHeight, HWND hWndParent, HMENU hMenu)
{
    if (lpszClassName == NULL)
    {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    // The window procedure binds the window to this object at WM_NCCREATE.
    HWND hWnd = CreateWindowExA(dwExStyle, lpszClassName, lpszWindowName, dwStyle, x, y, nWidth, nHeight,
                                hWndParent, hMenu, ModuleInstance(), this);
    return hWnd != NULL;
}

BOOL CWindow::DestroyWindow()
{
    if (m_hWnd == NULL)
    {
        return FALSE;
    }
    return ::DestroyWindow(m_hWnd);
}

FW_MSG_HANDLER CWindow::FindHandler(UINT nMessage) const
{
    for (const FW_MSGMAP* pMap = GetMessageMap(); pMap != NULL; pMap = pMap->pBaseMap)
    {
        for (const FW_MSGMAP_ENTRY* pEntry = pMap->pEntries; pEntry != NULL && pEntry->pfnHandler != NULL;
             ++pEntry)
        {
            UINT nEntryMessage =
                pEntry->pnRegisteredMessage != NULL ? *pEntry->pnRegisteredMessage : pEntry->nMessage;
            // A registered message whose registration failed (0) matches nothing.
            if (nEntryMessage != 0 && nEntryMessage == nMessage)
            {
                return pEntry->pfnHandler;
            }
        }
    }
    return NULL;
}

LRESULT CWindow::WindowProc(UINT nMessage, WPARAM wParam, LPARAM lParam)
{
    FW_MSG_HANDLER pfnHandler = FindHandler(nMessage);
    if (pfnHandler != NULL)
    {
        return (this->*pfnHandler)(wParam, lParam);
    }
    return DefWindowProcA(m_hWnd, nMessage, wParam, lParam);
}

LRESULT CALLBACK CWindow::FwWndProc(HWND hWnd, UINT nMessage, WPARAM wParam, LPARAM lParam)
{
    CWindow* pWnd = reinterpret_cast<CWindow*>(GetWindowLongPtrA(hWnd, GWLP_USERDATA));
    if (pWnd == NULL && nMessage == WM_NCCREATE)
    {
        const CREATESTRUCTA* pcs = reinterpret_cast<const CREATESTRUCTA*>(lParam);
        pWnd = static_cast<CWindow*>(pcs->lpCreateParams);
        if (pWnd != NULL)
        {
            pWnd->m_hWnd = hWnd;
            SetWindowLongPtrA(hWnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(pWnd));
        }
    }
    if (pWnd == NULL)
    {
        return DefWindowProcA(hWnd, nMessage, wParam, lParam);
    }
    LRESULT lResult = pWnd->WindowProc(nMessage, wParam, lParam);
    if (nMessage == WM_NCDESTROY)
    {
        // The window is gone; the object lives on unbound.
        SetWindowLongPtrA(hWnd, GWLP_USERDATA, 0);
        pWnd->m_hWnd = NULL;
    }
    return lResult;
}
