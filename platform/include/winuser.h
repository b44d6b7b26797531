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

#define MAKEWPARAM(l, h) ((WPARAM)(DWORD)MAKELONG(l, h))
#define MAKELPARAM(l, h) ((LPARAM)(DWORD)MAKELONG(l, h))

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
#define SW_NORMAL     1
#define SW_SHOW       5

// --- GetWindow ---
#define GW_HWNDFIRST 0
#define GW_HWNDLAST  1
#define GW_HWNDNEXT  2
#define GW_HWNDPREV  3
#define GW_OWNER     4
#define GW_CHILD     5

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
#define WM_WININICHANGE    0x001A
#define WM_SETTINGCHANGE   WM_WININICHANGE
#define WM_VKEYTOITEM      0x002E
#define WM_CHARTOITEM      0x002F
#define WM_SETFONT         0x0030
#define WM_GETFONT         0x0031
#define WM_QUERYDRAGICON   0x0037
#define WM_COMPAREITEM     0x0039
#define WM_NOTIFY          0x004E
#define WM_HELP            0x0053
#define WM_CONTEXTMENU     0x007B
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

// Messages a dialog procedure answers directly (see DefDlgProcA).
#define WM_CTLCOLORMSGBOX    0x0132
#define WM_CTLCOLOREDIT      0x0133
#define WM_CTLCOLORLISTBOX   0x0134
#define WM_CTLCOLORBTN       0x0135
#define WM_CTLCOLORDLG       0x0136
#define WM_CTLCOLORSCROLLBAR 0x0137
#define WM_CTLCOLORSTATIC    0x0138

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
#define WS_GROUP        0x00020000L
#define WS_TABSTOP      0x00010000L
#define WS_OVERLAPPEDWINDOW                                                                                  \
    (WS_OVERLAPPED | WS_CAPTION | WS_SYSMENU | WS_THICKFRAME | WS_MINIMIZEBOX | WS_MAXIMIZEBOX)
#define WS_POPUPWINDOW (WS_POPUP | WS_BORDER | WS_SYSMENU)

#define WS_EX_NOPARENTNOTIFY 0x00000004L
#define WS_EX_TOOLWINDOW     0x00000080L
#define WS_EX_CONTROLPARENT  0x00010000L
#define WS_EX_APPWINDOW      0x00040000L

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

// --- dialog boxes ---
#define DS_ABSALIGN      0x0001L
#define DS_SYSMODAL      0x0002L
#define DS_3DLOOK        0x0004L
#define DS_FIXEDSYS      0x0008L
#define DS_NOFAILCREATE  0x0010L
#define DS_LOCALEDIT     0x0020L
#define DS_SETFONT       0x0040L
#define DS_MODALFRAME    0x0080L
#define DS_NOIDLEMSG     0x0100L
#define DS_SETFOREGROUND 0x0200L
#define DS_CONTROL       0x0400L
#define DS_CENTER        0x0800L
#define DS_CENTERMOUSE   0x1000L
#define DS_CONTEXTHELP   0x2000L
#define DS_SHELLFONT     (DS_SETFONT | DS_FIXEDSYS)

// The dialog class and the window data of a dialog (cbWndExtra of a private dialog class: at least
// DLGWINDOWEXTRA). The offsets are those of 64-bit Windows.
#define WC_DIALOG      (MAKEINTATOM(0x8002))
#define DLGWINDOWEXTRA 30
#define DWLP_MSGRESULT 0
#define DWLP_DLGPROC   (DWLP_MSGRESULT + sizeof(LRESULT))
#define DWLP_USER      (DWLP_DLGPROC + sizeof(DLGPROC))

// Command identifiers of the standard buttons.
#define IDOK     1
#define IDCANCEL 2

// --- static controls ---
#define SS_LEFT     0x00000000L
#define SS_CENTER   0x00000001L
#define SS_RIGHT    0x00000002L
#define SS_NOPREFIX 0x00000080L
#define SS_NOTIFY   0x00000100L

// --- buttons ---
#define BS_PUSHBUTTON    0x00000000L
#define BS_DEFPUSHBUTTON 0x00000001L
#define BN_CLICKED       0

// --- combo boxes ---
#define CBS_SIMPLE            0x0001L
#define CBS_DROPDOWN          0x0002L
#define CBS_DROPDOWNLIST      0x0003L
#define CBS_OWNERDRAWFIXED    0x0010L
#define CBS_OWNERDRAWVARIABLE 0x0020L
#define CBS_AUTOHSCROLL       0x0040L
#define CBS_OEMCONVERT        0x0080L
#define CBS_SORT              0x0100L
#define CBS_HASSTRINGS        0x0200L
#define CBS_NOINTEGRALHEIGHT  0x0400L
#define CBS_DISABLENOSCROLL   0x0800L
#define CBS_UPPERCASE         0x2000L
#define CBS_LOWERCASE         0x4000L

#define CB_OKAY     0
#define CB_ERR      (-1)
#define CB_ERRSPACE (-2)

#define CB_ADDSTRING       0x0143
#define CB_DELETESTRING    0x0144
#define CB_GETCOUNT        0x0146
#define CB_GETCURSEL       0x0147
#define CB_GETLBTEXT       0x0148
#define CB_GETLBTEXTLEN    0x0149
#define CB_INSERTSTRING    0x014A
#define CB_RESETCONTENT    0x014B
#define CB_FINDSTRING      0x014C
#define CB_SELECTSTRING    0x014D
#define CB_SETCURSEL       0x014E
#define CB_GETITEMDATA     0x0150
#define CB_SETITEMDATA     0x0151
#define CB_GETDROPPEDSTATE 0x0157
#define CB_FINDSTRINGEXACT 0x0158

// Notification codes of a combo box, in WM_COMMAND's HIWORD(wParam).
#define CBN_ERRSPACE     (-1)
#define CBN_SELCHANGE    1
#define CBN_DBLCLK       2
#define CBN_SETFOCUS     3
#define CBN_KILLFOCUS    4
#define CBN_EDITCHANGE   5
#define CBN_EDITUPDATE   6
#define CBN_DROPDOWN     7
#define CBN_CLOSEUP      8
#define CBN_SELENDOK     9
#define CBN_SELENDCANCEL 10

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

// The header of WM_NOTIFY's lParam.
typedef struct tagNMHDR
{
    HWND hwndFrom;
    UINT_PTR idFrom;
    UINT code;
} NMHDR, *LPNMHDR;

// Dialog templates in memory (2-byte packing, as in the resource). A DLGTEMPLATE is followed by
// the menu, class and title (each an ordinal 0xFFFF nnnn or a NUL-terminated UTF-16 string), with
// DS_SETFONT the point size and face name, then the items, each on a DWORD boundary. A
// DLGTEMPLATEEX (dlgVer 1, signature 0xFFFF) has no declaration in this header, as on Windows.
#pragma pack(push, 2)
typedef struct
{
    DWORD style;
    DWORD dwExtendedStyle;
    WORD cdit;
    short x;
    short y;
    short cx;
    short cy;
} DLGTEMPLATE;
typedef struct
{
    DWORD style;
    DWORD dwExtendedStyle;
    short x;
    short y;
    short cx;
    short cy;
    WORD id;
} DLGITEMTEMPLATE;
#pragma pack(pop)
typedef DLGTEMPLATE* LPDLGTEMPLATEA;
typedef const DLGTEMPLATE* LPCDLGTEMPLATEA;
typedef DLGITEMTEMPLATE* LPDLGITEMTEMPLATEA;

// The layouts of x64 Windows.
#ifdef __cplusplus
static_assert(sizeof(MSG) == 48, "MSG");
static_assert(offsetof(MSG, time) == 32 && offsetof(MSG, pt) == 36, "MSG");
static_assert(sizeof(WNDCLASSA) == 72 && offsetof(WNDCLASSA, hInstance) == 24, "WNDCLASSA");
static_assert(sizeof(WNDCLASSEXA) == 80 && offsetof(WNDCLASSEXA, hInstance) == 24, "WNDCLASSEXA");
static_assert(offsetof(WNDCLASSEXA, hIconSm) == 72, "WNDCLASSEXA");
static_assert(sizeof(CREATESTRUCTA) == 80 && offsetof(CREATESTRUCTA, cy) == 32, "CREATESTRUCTA");
static_assert(offsetof(CREATESTRUCTA, style) == 48 && offsetof(CREATESTRUCTA, dwExStyle) == 72,
              "CREATESTRUCTA");
static_assert(sizeof(NMHDR) == 24 && offsetof(NMHDR, code) == 16, "NMHDR");
static_assert(sizeof(DLGTEMPLATE) == 18 && sizeof(DLGITEMTEMPLATE) == 18, "DLGTEMPLATE");
static_assert(DWLP_DLGPROC == 8 && DWLP_USER == 16 && DWLP_USER + sizeof(LONG_PTR) <= DLGWINDOWEXTRA, "DWLP");
#else
_Static_assert(sizeof(MSG) == 48, "MSG");
_Static_assert(offsetof(MSG, time) == 32 && offsetof(MSG, pt) == 36, "MSG");
_Static_assert(sizeof(WNDCLASSA) == 72 && offsetof(WNDCLASSA, hInstance) == 24, "WNDCLASSA");
_Static_assert(sizeof(WNDCLASSEXA) == 80 && offsetof(WNDCLASSEXA, hInstance) == 24, "WNDCLASSEXA");
_Static_assert(offsetof(WNDCLASSEXA, hIconSm) == 72, "WNDCLASSEXA");
_Static_assert(sizeof(CREATESTRUCTA) == 80 && offsetof(CREATESTRUCTA, cy) == 32, "CREATESTRUCTA");
_Static_assert(offsetof(CREATESTRUCTA, style) == 48 && offsetof(CREATESTRUCTA, dwExStyle) == 72,
               "CREATESTRUCTA");
_Static_assert(sizeof(NMHDR) == 24 && offsetof(NMHDR, code) == 16, "NMHDR");
_Static_assert(sizeof(DLGTEMPLATE) == 18 && sizeof(DLGITEMTEMPLATE) == 18, "DLGTEMPLATE");
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

// --- child windows, owners and window state ---
WINSIM_API HWND WINAPI GetParent(HWND hWnd);
WINSIM_API HWND WINAPI GetWindow(HWND hWnd, UINT uCmd);
WINSIM_API BOOL WINAPI IsChild(HWND hWndParent, HWND hWnd);
WINSIM_API int WINAPI GetDlgCtrlID(HWND hWnd);
WINSIM_API BOOL WINAPI EnableWindow(HWND hWnd, BOOL bEnable);
WINSIM_API BOOL WINAPI IsWindowEnabled(HWND hWnd);
WINSIM_API BOOL WINAPI ShowWindow(HWND hWnd, int nCmdShow);
WINSIM_API BOOL WINAPI IsWindowVisible(HWND hWnd);
WINSIM_API HWND WINAPI SetFocus(HWND hWnd);
WINSIM_API HWND WINAPI GetFocus(void);

// --- window text ---
WINSIM_API BOOL WINAPI SetWindowTextA(HWND hWnd, LPCSTR lpString);
WINSIM_API int WINAPI GetWindowTextA(HWND hWnd, LPSTR lpString, int nMaxCount);
WINSIM_API int WINAPI GetWindowTextLengthA(HWND hWnd);

// --- dialog boxes ---
WINSIM_API HWND WINAPI CreateDialogIndirectParamA(HINSTANCE hInstance, LPCDLGTEMPLATEA lpTemplate,
                                                  HWND hWndParent, DLGPROC lpDialogFunc, LPARAM dwInitParam);
#define CreateDialogIndirectA(hInstance, lpTemplate, hWndParent, lpDialogFunc)                               \
    CreateDialogIndirectParamA(hInstance, lpTemplate, hWndParent, lpDialogFunc, 0L)
WINSIM_API HWND WINAPI CreateDialogParamA(HINSTANCE hInstance, LPCSTR lpTemplateName, HWND hWndParent,
                                          DLGPROC lpDialogFunc, LPARAM dwInitParam);
#define CreateDialogA(hInstance, lpName, hWndParent, lpDialogFunc)                                           \
    CreateDialogParamA(hInstance, lpName, hWndParent, lpDialogFunc, 0L)
WINSIM_API INT_PTR WINAPI DialogBoxParamA(HINSTANCE hInstance, LPCSTR lpTemplateName, HWND hWndParent,
                                          DLGPROC lpDialogFunc, LPARAM dwInitParam);
#define DialogBoxA(hInstance, lpTemplate, hWndParent, lpDialogFunc)                                          \
    DialogBoxParamA(hInstance, lpTemplate, hWndParent, lpDialogFunc, 0L)
WINSIM_API INT_PTR WINAPI DialogBoxIndirectParamA(HINSTANCE hInstance, LPCDLGTEMPLATEA hDialogTemplate,
                                                  HWND hWndParent, DLGPROC lpDialogFunc, LPARAM dwInitParam);
#define DialogBoxIndirectA(hInstance, lpTemplate, hWndParent, lpDialogFunc)                                  \
    DialogBoxIndirectParamA(hInstance, lpTemplate, hWndParent, lpDialogFunc, 0L)
WINSIM_API BOOL WINAPI EndDialog(HWND hDlg, INT_PTR nResult);
WINSIM_API LRESULT WINAPI DefDlgProcA(HWND hDlg, UINT Msg, WPARAM wParam, LPARAM lParam);
WINSIM_API BOOL WINAPI IsDialogMessageA(HWND hDlg, LPMSG lpMsg);
WINSIM_API BOOL WINAPI MapDialogRect(HWND hDlg, LPRECT lpRect);
WINSIM_API LONG WINAPI GetDialogBaseUnits(void);
WINSIM_API HWND WINAPI GetDlgItem(HWND hDlg, int nIDDlgItem);
WINSIM_API LRESULT WINAPI SendDlgItemMessageA(HWND hDlg, int nIDDlgItem, UINT Msg, WPARAM wParam,
                                              LPARAM lParam);
WINSIM_API UINT WINAPI GetDlgItemTextA(HWND hDlg, int nIDDlgItem, LPSTR lpString, int cchMax);
WINSIM_API BOOL WINAPI SetDlgItemTextA(HWND hDlg, int nIDDlgItem, LPCSTR lpString);

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

// String resources of a module (the RT_STRING blocks), in the thread's UI language. cchBufferMax
// counts the terminator; LoadStringW with cchBufferMax 0 stores a read-only pointer to the string.
WINSIM_API int WINAPI LoadStringA(HINSTANCE hInstance, UINT uID, LPSTR lpBuffer, int cchBufferMax);
WINSIM_API int WINAPI LoadStringW(HINSTANCE hInstance, UINT uID, LPWSTR lpBuffer, int cchBufferMax);

// The next character of an ANSI text: a lead byte and its trail byte are one character; at the
// terminator the pointer stays.
WINSIM_API LPSTR WINAPI CharNextA(LPCSTR lpsz);
// Message boxes: the buttons (MB_TYPEMASK), the icon (MB_ICONMASK), the default button
// (MB_DEFMASK), the modality (MB_MODEMASK) and other flags of uType, and the answers.
#define MB_OK                   0x00000000L
#define MB_OKCANCEL             0x00000001L
#define MB_ABORTRETRYIGNORE     0x00000002L
#define MB_YESNOCANCEL          0x00000003L
#define MB_YESNO                0x00000004L
#define MB_RETRYCANCEL          0x00000005L
#define MB_CANCELTRYCONTINUE    0x00000006L
#define MB_ICONHAND             0x00000010L
#define MB_ICONQUESTION         0x00000020L
#define MB_ICONEXCLAMATION      0x00000030L
#define MB_ICONASTERISK         0x00000040L
#define MB_USERICON             0x00000080L
#define MB_ICONWARNING          MB_ICONEXCLAMATION
#define MB_ICONERROR            MB_ICONHAND
#define MB_ICONINFORMATION      MB_ICONASTERISK
#define MB_ICONSTOP             MB_ICONHAND
#define MB_DEFBUTTON1           0x00000000L
#define MB_DEFBUTTON2           0x00000100L
#define MB_DEFBUTTON3           0x00000200L
#define MB_DEFBUTTON4           0x00000300L
#define MB_APPLMODAL            0x00000000L
#define MB_SYSTEMMODAL          0x00001000L
#define MB_TASKMODAL            0x00002000L
#define MB_HELP                 0x00004000L
#define MB_NOFOCUS              0x00008000L
#define MB_SETFOREGROUND        0x00010000L
#define MB_DEFAULT_DESKTOP_ONLY 0x00020000L
#define MB_TOPMOST              0x00040000L
#define MB_RIGHT                0x00080000L
#define MB_RTLREADING           0x00100000L
#define MB_SERVICE_NOTIFICATION 0x00200000L
#define MB_TYPEMASK             0x0000000FL
#define MB_ICONMASK             0x000000F0L
#define MB_DEFMASK              0x00000F00L
#define MB_MODEMASK             0x00003000L
#define MB_MISCMASK             0x0000C000L

#define IDOK       1
#define IDCANCEL   2
#define IDABORT    3
#define IDRETRY    4
#define IDIGNORE   5
#define IDYES      6
#define IDNO       7
#define IDCLOSE    8
#define IDHELP     9
#define IDTRYAGAIN 10
#define IDCONTINUE 11

WINSIM_API int WINAPI MessageBoxA(HWND hWnd, LPCSTR lpText, LPCSTR lpCaption, UINT uType);
WINSIM_API int WINAPI MessageBoxExA(HWND hWnd, LPCSTR lpText, LPCSTR lpCaption, UINT uType, WORD wLanguageId);

WINSIM_EXTERN_C_END
