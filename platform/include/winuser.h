// user32 as far as the simulated machine implements it: window classes, hidden top-level windows,
// per-thread message queues and loops, registered messages and device notification.
#pragma once

#include <winsim/base.h>
#include <windef.h>

#include <stddef.h>

WINSIM_EXTERN_C_BEGIN

typedef LRESULT(CALLBACK* WNDPROC)(HWND, UINT, WPARAM, LPARAM);
typedef INT_PTR(CALLBACK* DLGPROC)(HWND, UINT, WPARAM, LPARAM);
typedef PVOID HDEVNOTIFY;

#define MAKEINTATOM(i) ((LPSTR)((ULONG_PTR)((WORD)(i))))

// --- resources: numeric names and the predefined types ---
#define IS_INTRESOURCE(r)   ((((ULONG_PTR)(r)) >> 16) == 0)
#define MAKEINTRESOURCEA(i) ((LPSTR)((ULONG_PTR)((WORD)(i))))
#define MAKEINTRESOURCE     MAKEINTRESOURCEA
#define RT_DIALOG           MAKEINTRESOURCE(5)
#define RT_STRING           MAKEINTRESOURCE(6)
#define RT_MESSAGETABLE     MAKEINTRESOURCE(11)

// --- show commands (ShowWindow, STARTUPINFO's wShowWindow) ---
#define SW_HIDE       0
#define SW_SHOWNORMAL 1

// --- window messages ---
#define WM_NULL            0x0000
#define WM_CREATE          0x0001
#define WM_DESTROY         0x0002
#define WM_MOVE            0x0003
#define WM_SIZE            0x0005
#define WM_ACTIVATE        0x0006
#define WM_SETFOCUS        0x0007
#define WM_KILLFOCUS       0x0008
#define WM_ENABLE          0x000A
#define WM_SETTEXT         0x000C
#define WM_GETTEXT         0x000D
#define WM_GETTEXTLENGTH   0x000E
#define WM_PAINT           0x000F
#define WM_CLOSE           0x0010
#define WM_QUERYENDSESSION 0x0011
#define WM_QUIT            0x0012
#define WM_ENDSESSION      0x0016
#define WM_SHOWWINDOW      0x0018
#define WM_NOTIFY          0x004E
#define WM_NCCREATE        0x0081
#define WM_NCDESTROY       0x0082
#define WM_KEYFIRST        0x0100
#define WM_KEYDOWN         0x0100
#define WM_KEYUP           0x0101
#define WM_CHAR            0x0102
#define WM_DEADCHAR        0x0103
#define WM_SYSKEYDOWN      0x0104
#define WM_SYSKEYUP        0x0105
#define WM_SYSCHAR         0x0106
#define WM_SYSDEADCHAR     0x0107
#define WM_KEYLAST         0x0109
#define WM_INITDIALOG      0x0110
#define WM_COMMAND         0x0111
#define WM_SYSCOMMAND      0x0112
#define WM_TIMER           0x0113
#define WM_MOUSEFIRST      0x0200
#define WM_MOUSELAST       0x020E
#define WM_DEVICECHANGE    0x0219
#define WM_USER            0x0400
#define WM_APP             0x8000

// What a window answers WM_DEVICECHANGE's query events with to refuse them.
#define BROADCAST_QUERY_DENY 0x424D5144

// --- window styles ---
#define WS_OVERLAPPED   0x00000000L
#define WS_POPUP        0x80000000L
#define WS_CHILD        0x40000000L
#define WS_MINIMIZE     0x20000000L
#define WS_VISIBLE      0x10000000L
#define WS_DISABLED     0x08000000L
#define WS_CLIPSIBLINGS 0x04000000L
#define WS_CLIPCHILDREN 0x02000000L
#define WS_MAXIMIZE     0x01000000L
#define WS_CAPTION      0x00C00000L
#define WS_BORDER       0x00800000L
#define WS_DLGFRAME     0x00400000L
#define WS_VSCROLL      0x00200000L
#define WS_HSCROLL      0x00100000L
#define WS_SYSMENU      0x00080000L
#define WS_THICKFRAME   0x00040000L
#define WS_MINIMIZEBOX  0x00020000L
#define WS_MAXIMIZEBOX  0x00010000L
#define WS_OVERLAPPEDWINDOW                                                                                  \
    (WS_OVERLAPPED | WS_CAPTION | WS_SYSMENU | WS_THICKFRAME | WS_MINIMIZEBOX | WS_MAXIMIZEBOX)
#define WS_POPUPWINDOW (WS_POPUP | WS_BORDER | WS_SYSMENU)

#define WS_EX_TOOLWINDOW 0x00000080L
#define WS_EX_APPWINDOW  0x00040000L

// --- class styles ---
#define CS_VREDRAW         0x0001
#define CS_HREDRAW         0x0002
#define CS_DBLCLKS         0x0008
#define CS_OWNDC           0x0020
#define CS_CLASSDC         0x0040
#define CS_PARENTDC        0x0080
#define CS_NOCLOSE         0x0200
#define CS_SAVEBITS        0x0800
#define CS_BYTEALIGNCLIENT 0x1000
#define CS_BYTEALIGNWINDOW 0x2000
#define CS_GLOBALCLASS     0x4000

#define CW_USEDEFAULT ((int)0x80000000)

#define HWND_BROADCAST ((HWND)0xffff)
#define HWND_MESSAGE   ((HWND)-3)

// --- window data (Get/SetWindowLongPtr) ---
#define GWLP_WNDPROC    (-4)
#define GWLP_HINSTANCE  (-6)
#define GWLP_HWNDPARENT (-8)
#define GWLP_ID         (-12)
#define GWL_STYLE       (-16)
#define GWL_EXSTYLE     (-20)
#define GWLP_USERDATA   (-21)

// --- PeekMessage ---
#define PM_NOREMOVE 0x0000
#define PM_REMOVE   0x0001
#define PM_NOYIELD  0x0002

// --- queue status (MsgWaitForMultipleObjects) ---
#define QS_KEY            0x0001
#define QS_MOUSEMOVE      0x0002
#define QS_MOUSEBUTTON    0x0004
#define QS_POSTMESSAGE    0x0008
#define QS_TIMER          0x0010
#define QS_PAINT          0x0020
#define QS_SENDMESSAGE    0x0040
#define QS_HOTKEY         0x0080
#define QS_ALLPOSTMESSAGE 0x0100
#define QS_RAWINPUT       0x0400
#define QS_MOUSE          (QS_MOUSEMOVE | QS_MOUSEBUTTON)
#define QS_INPUT          (QS_MOUSE | QS_KEY | QS_RAWINPUT)
#define QS_ALLEVENTS      (QS_INPUT | QS_POSTMESSAGE | QS_TIMER | QS_PAINT | QS_HOTKEY)
#define QS_ALLINPUT       (QS_INPUT | QS_POSTMESSAGE | QS_TIMER | QS_PAINT | QS_HOTKEY | QS_SENDMESSAGE)

// --- device notification ---
#define DEVICE_NOTIFY_WINDOW_HANDLE         0x00000000
#define DEVICE_NOTIFY_SERVICE_HANDLE        0x00000001
#define DEVICE_NOTIFY_ALL_INTERFACE_CLASSES 0x00000004

typedef struct tagMSG
{
    HWND hwnd;
    UINT message;
    WPARAM wParam;
    LPARAM lParam;
    DWORD time;
    POINT pt;
} MSG, *PMSG, *LPMSG;

typedef struct tagWNDCLASSA
{
    UINT style;
    WNDPROC lpfnWndProc;
    int cbClsExtra;
    int cbWndExtra;
    HINSTANCE hInstance;
    HICON hIcon;
    HCURSOR hCursor;
    HBRUSH hbrBackground;
    LPCSTR lpszMenuName;
    LPCSTR lpszClassName;
} WNDCLASSA, *PWNDCLASSA, *LPWNDCLASSA;

typedef struct tagWNDCLASSEXA
{
    UINT cbSize;
    UINT style;
    WNDPROC lpfnWndProc;
    int cbClsExtra;
    int cbWndExtra;
    HINSTANCE hInstance;
    HICON hIcon;
    HCURSOR hCursor;
    HBRUSH hbrBackground;
    LPCSTR lpszMenuName;
    LPCSTR lpszClassName;
    HICON hIconSm;
} WNDCLASSEXA, *PWNDCLASSEXA, *LPWNDCLASSEXA;

typedef struct tagCREATESTRUCTA
{
    LPVOID lpCreateParams;
    HINSTANCE hInstance;
    HMENU hMenu;
    HWND hwndParent;
    int cy;
    int cx;
    int y;
    int x;
    LONG style;
    LPCSTR lpszName;
    LPCSTR lpszClass;
    DWORD dwExStyle;
} CREATESTRUCTA, *LPCREATESTRUCTA;

// The header of every WM_NOTIFY notification: the control that sends it, its ID and the code.
typedef struct tagNMHDR
{
    HWND hwndFrom;
    UINT_PTR idFrom;
    UINT code;
} NMHDR, *LPNMHDR;

// The layouts of x64 Windows.
#ifdef __cplusplus
static_assert(sizeof(MSG) == 48, "MSG");
static_assert(sizeof(NMHDR) == 24 && offsetof(NMHDR, code) == 16, "NMHDR");
static_assert(offsetof(MSG, time) == 32 && offsetof(MSG, pt) == 36, "MSG");
static_assert(sizeof(WNDCLASSA) == 72 && offsetof(WNDCLASSA, hInstance) == 24, "WNDCLASSA");
static_assert(sizeof(WNDCLASSEXA) == 80 && offsetof(WNDCLASSEXA, hInstance) == 24, "WNDCLASSEXA");
static_assert(offsetof(WNDCLASSEXA, hIconSm) == 72, "WNDCLASSEXA");
static_assert(sizeof(CREATESTRUCTA) == 80 && offsetof(CREATESTRUCTA, cy) == 32, "CREATESTRUCTA");
static_assert(offsetof(CREATESTRUCTA, style) == 48 && offsetof(CREATESTRUCTA, dwExStyle) == 72,
              "CREATESTRUCTA");
#else
_Static_assert(sizeof(MSG) == 48, "MSG");
_Static_assert(sizeof(NMHDR) == 24 && offsetof(NMHDR, code) == 16, "NMHDR");
_Static_assert(offsetof(MSG, time) == 32 && offsetof(MSG, pt) == 36, "MSG");
_Static_assert(sizeof(WNDCLASSA) == 72 && offsetof(WNDCLASSA, hInstance) == 24, "WNDCLASSA");
_Static_assert(sizeof(WNDCLASSEXA) == 80 && offsetof(WNDCLASSEXA, hInstance) == 24, "WNDCLASSEXA");
_Static_assert(offsetof(WNDCLASSEXA, hIconSm) == 72, "WNDCLASSEXA");
_Static_assert(sizeof(CREATESTRUCTA) == 80 && offsetof(CREATESTRUCTA, cy) == 32, "CREATESTRUCTA");
_Static_assert(offsetof(CREATESTRUCTA, style) == 48 && offsetof(CREATESTRUCTA, dwExStyle) == 72,
               "CREATESTRUCTA");
#endif

// --- window classes ---
WINSIM_API ATOM WINAPI RegisterClassA(const WNDCLASSA* lpWndClass);
WINSIM_API ATOM WINAPI RegisterClassExA(const WNDCLASSEXA* lpWndClass);
WINSIM_API BOOL WINAPI UnregisterClassA(LPCSTR lpClassName, HINSTANCE hInstance);
WINSIM_API BOOL WINAPI GetClassInfoA(HINSTANCE hInstance, LPCSTR lpClassName, LPWNDCLASSA lpWndClass);

// --- windows ---
WINSIM_API HWND WINAPI CreateWindowExA(DWORD dwExStyle, LPCSTR lpClassName, LPCSTR lpWindowName,
                                       DWORD dwStyle, int X, int Y, int nWidth, int nHeight, HWND hWndParent,
                                       HMENU hMenu, HINSTANCE hInstance, LPVOID lpParam);
#define CreateWindowA(lpClassName, lpWindowName, dwStyle, x, y, nWidth, nHeight, hWndParent, hMenu,          \
                      hInstance, lpParam)                                                                    \
    CreateWindowExA(0L, lpClassName, lpWindowName, dwStyle, x, y, nWidth, nHeight, hWndParent, hMenu,        \
                    hInstance, lpParam)
WINSIM_API BOOL WINAPI DestroyWindow(HWND hWnd);
WINSIM_API LRESULT WINAPI DefWindowProcA(HWND hWnd, UINT Msg, WPARAM wParam, LPARAM lParam);
WINSIM_API LRESULT WINAPI CallWindowProcA(WNDPROC lpPrevWndFunc, HWND hWnd, UINT Msg, WPARAM wParam,
                                          LPARAM lParam);
WINSIM_API BOOL WINAPI IsWindow(HWND hWnd);
WINSIM_API DWORD WINAPI GetWindowThreadProcessId(HWND hWnd, LPDWORD lpdwProcessId);
WINSIM_API LONG_PTR WINAPI GetWindowLongPtrA(HWND hWnd, int nIndex);
WINSIM_API LONG_PTR WINAPI SetWindowLongPtrA(HWND hWnd, int nIndex, LONG_PTR dwNewLong);
WINSIM_API HWND WINAPI FindWindowA(LPCSTR lpClassName, LPCSTR lpWindowName);

// --- messages ---
WINSIM_API BOOL WINAPI GetMessageA(LPMSG lpMsg, HWND hWnd, UINT wMsgFilterMin, UINT wMsgFilterMax);
WINSIM_API BOOL WINAPI PeekMessageA(LPMSG lpMsg, HWND hWnd, UINT wMsgFilterMin, UINT wMsgFilterMax,
                                    UINT wRemoveMsg);
WINSIM_API BOOL WINAPI TranslateMessage(const MSG* lpMsg);
WINSIM_API LRESULT WINAPI DispatchMessageA(const MSG* lpMsg);
WINSIM_API BOOL WINAPI PostMessageA(HWND hWnd, UINT Msg, WPARAM wParam, LPARAM lParam);
WINSIM_API BOOL WINAPI PostThreadMessageA(DWORD idThread, UINT Msg, WPARAM wParam, LPARAM lParam);
WINSIM_API LRESULT WINAPI SendMessageA(HWND hWnd, UINT Msg, WPARAM wParam, LPARAM lParam);
WINSIM_API BOOL WINAPI SendNotifyMessageA(HWND hWnd, UINT Msg, WPARAM wParam, LPARAM lParam);
WINSIM_API VOID WINAPI PostQuitMessage(int nExitCode);
WINSIM_API DWORD WINAPI MsgWaitForMultipleObjects(DWORD nCount, const HANDLE* pHandles, BOOL fWaitAll,
                                                  DWORD dwMilliseconds, DWORD dwWakeMask);

// Registered window messages: the same name (compared without regard to case) gives the same
// number, in the range 0xC000 through 0xFFFF, in every process of the machine.
WINSIM_API UINT WINAPI RegisterWindowMessageA(LPCSTR lpString);

// --- device notification ---
WINSIM_API HDEVNOTIFY WINAPI RegisterDeviceNotificationA(HANDLE hRecipient, LPVOID NotificationFilter,
                                                         DWORD Flags);
WINSIM_API BOOL WINAPI UnregisterDeviceNotification(HDEVNOTIFY Handle);

WINSIM_EXTERN_C_END
