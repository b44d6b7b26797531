// Application framework: window objects with message maps.
//
// A CWindow is a C++ object bound to one window of the thread that creates it. The framework's
// window procedure finds the object of a window and hands each message to the first handler its
// class's message map (or a base class's) lists for it; messages without a handler go to
// DefWindowProcA. A message map names fixed messages and registered messages, the latter by the
// variable that holds the number RegisterWindowMessageA gave:
//
//   class CMyWindow : public CWindow
//   {
//       LRESULT OnDeviceChange(WPARAM wParam, LPARAM lParam);
//       DECLARE_MESSAGE_MAP()
//   };
//
//   BEGIN_MESSAGE_MAP(CMyWindow, CWindow)
//       ON_MESSAGE(WM_DEVICECHANGE, &CMyWindow::OnDeviceChange)
//       ON_REGISTERED_MESSAGE(g_uMyMessage, &CMyWindow::OnMyMessage)
//   END_MESSAGE_MAP()
//
// Handlers run on the window's thread, from its message loop (or from a SendMessage of that
// thread).
#pragma once

#include <windows.h>

class CWindow;

typedef LRESULT (CWindow::*FW_MSG_HANDLER)(WPARAM wParam, LPARAM lParam);

struct FW_MSGMAP_ENTRY
{
    UINT nMessage;                   // a fixed message, or 0 when pnRegisteredMessage is used
    const UINT* pnRegisteredMessage; // the variable holding a registered message's number
    FW_MSG_HANDLER pfnHandler;       // NULL ends the table
};

struct FW_MSGMAP
{
    const FW_MSGMAP* pBaseMap;
    const FW_MSGMAP_ENTRY* pEntries;
};

#define DECLARE_MESSAGE_MAP()                                                                                \
  protected:                                                                                                 \
    static const FW_MSGMAP_ENTRY s_messageEntries[];                                                         \
    static const FW_MSGMAP s_messageMap;                                                                     \
    const FW_MSGMAP* GetMessageMap() const override                                                          \
    {                                                                                                        \
        return &s_messageMap;                                                                                \
    }                                                                                                        \
                                                                                                             \
  public:

#define BEGIN_MESSAGE_MAP(theClass, baseClass)                                                               \
    const FW_MSGMAP theClass::s_messageMap = {&baseClass::s_messageMap, theClass::s_messageEntries};         \
    const FW_MSGMAP_ENTRY theClass::s_messageEntries[] = {

#define ON_MESSAGE(message, memberFxn) {(message), NULL, static_cast<FW_MSG_HANDLER>(memberFxn)},
#define ON_REGISTERED_MESSAGE(nMessageVariable, memberFxn)                                                   \
    {0, &(nMessageVariable), static_cast<FW_MSG_HANDLER>(memberFxn)},

#define END_MESSAGE_MAP()                                                                                    \
    {                                                                                                        \
        0, NULL, NULL                                                                                        \
    }                                                                                                        \
    }                                                                                                        \
    ;

class CWindow
{
  public:
    CWindow();
    // Destroys the window if it still exists (only possible on its own thread).
    virtual ~CWindow();
    CWindow(const CWindow&) = delete;
    CWindow& operator=(const CWindow&) = delete;

    // Registers (once per set of attributes) a window class of the module whose window procedure
    // is the framework's, and returns its name. The name stays valid for the module's life.
    static LPCSTR RegisterWndClass(UINT nClassStyle, HCURSOR hCursor = NULL, HBRUSH hbrBackground = NULL,
                                   HICON hIcon = NULL);

    // Creates the window and binds it to this object; TRUE on success.
    BOOL CreateEx(DWORD dwExStyle, LPCSTR lpszClassName, LPCSTR lpszWindowName, DWORD dwStyle, int x, int y,
                  int nWidth, int nHeight, HWND hWndParent, HMENU hMenu);
    BOOL DestroyWindow();

    HWND GetSafeHwnd() const { return m_hWnd; }

    HWND m_hWnd;

  protected:
    // The message map of the object's class; a class with DECLARE_MESSAGE_MAP overrides it.
    virtual const FW_MSGMAP* GetMessageMap() const { return &s_messageMap; }
    static const FW_MSGMAP s_messageMap;

    // The handler for a message, or NULL.
    FW_MSG_HANDLER FindHandler(UINT nMessage) const;
    virtual LRESULT WindowProc(UINT nMessage, WPARAM wParam, LPARAM lParam);

  private:
    static LRESULT CALLBACK FwWndProc(HWND hWnd, UINT nMessage, WPARAM wParam, LPARAM lParam);
};
