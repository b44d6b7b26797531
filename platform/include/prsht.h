// comctl32's property sheets as far as the simulated machine implements them: property sheet pages
// (CreatePropertySheetPageA, DestroyPropertySheetPage) and sheets (PropertySheetA), with the names,
// constants, structure layouts and signatures of the Windows header of the same name (ANSI side).
#pragma once

#include <windows.h>

#include <stddef.h>

WINSIM_EXTERN_C_BEGIN

#ifndef SNDMSG
#define SNDMSG SendMessageA
#endif

// A page created by CreatePropertySheetPage: an object of comctl32 in the calling process.
struct _PSP;
typedef struct _PSP* HPROPSHEETPAGE;

struct _PROPSHEETPAGEA;
typedef UINT(CALLBACK* LPFNPSPCALLBACKA)(HWND hwnd, UINT uMsg, struct _PROPSHEETPAGEA* ppsp);

// A dialog template in memory (PSP_DLGINDIRECT), DLGTEMPLATE or DLGTEMPLATEEX.
typedef const void* PROPSHEETPAGE_RESOURCE;

// The byte count of a structure up to and including one of its members, as the versioned sizes
// below count them.
#define CCSIZEOF_STRUCT(structname, member) (offsetof(structname, member) + sizeof(((structname*)0)->member))

// One page of a sheet. dwSize says which version the caller filled in (the _SIZE constants below);
// a caller may append data of its own, counted in dwSize: the sheet's copy carries it too.
typedef struct _PROPSHEETPAGEA
{
    DWORD dwSize;
    DWORD dwFlags; // PSP_*
    HINSTANCE hInstance;
    union {
        LPCSTR pszTemplate;               // a dialog resource of hInstance
        PROPSHEETPAGE_RESOURCE pResource; // with PSP_DLGINDIRECT
    };
    union {
        HICON hIcon;
        LPCSTR pszIcon;
    };
    LPCSTR pszTitle;
    DLGPROC pfnDlgProc;
    LPARAM lParam;                // the caller's, in the copy WM_INITDIALOG points at
    LPFNPSPCALLBACKA pfnCallback; // with PSP_USECALLBACK
    UINT* pcRefParent;            // with PSP_USEREFPARENT: counts the pages alive
    LPCSTR pszHeaderTitle;        // version 2 on
    LPCSTR pszHeaderSubTitle;     // version 2 on
    HANDLE hActCtx;               // version 3 on
    union                         // version 4
    {
        HBITMAP hbmHeader;
        LPCSTR pszbmHeader;
    };
} PROPSHEETPAGEA, *LPPROPSHEETPAGEA;
typedef const PROPSHEETPAGEA* LPCPROPSHEETPAGEA;
typedef PROPSHEETPAGEA PROPSHEETPAGEA_V4;
typedef LPPROPSHEETPAGEA LPPROPSHEETPAGEA_V4;
typedef LPCPROPSHEETPAGEA LPCPROPSHEETPAGEA_V4;

#define PROPSHEETPAGEA_V1_SIZE CCSIZEOF_STRUCT(PROPSHEETPAGEA, pcRefParent)
#define PROPSHEETPAGEA_V2_SIZE CCSIZEOF_STRUCT(PROPSHEETPAGEA, pszHeaderSubTitle)
#define PROPSHEETPAGEA_V3_SIZE CCSIZEOF_STRUCT(PROPSHEETPAGEA, hActCtx)
#define PROPSHEETPAGEA_V4_SIZE sizeof(PROPSHEETPAGEA_V4)

// PROPSHEETPAGE's dwFlags.
#define PSP_DEFAULT           0x00000000
#define PSP_DLGINDIRECT       0x00000001
#define PSP_USEHICON          0x00000002
#define PSP_USEICONID         0x00000004
#define PSP_USETITLE          0x00000008
#define PSP_RTLREADING        0x00000010
#define PSP_HASHELP           0x00000020
#define PSP_USEREFPARENT      0x00000040
#define PSP_USECALLBACK       0x00000080
#define PSP_PREMATURE         0x00000400
#define PSP_HIDEHEADER        0x00000800
#define PSP_USEHEADERTITLE    0x00001000
#define PSP_USEHEADERSUBTITLE 0x00002000
#define PSP_USEFUSIONCONTEXT  0x00004000

// The page callback's uMsg.
#define PSPCB_ADDREF  0
#define PSPCB_RELEASE 1
#define PSPCB_CREATE  2

typedef int(CALLBACK* PFNPROPSHEETCALLBACK)(HWND hwndDlg, UINT uMsg, LPARAM lParam);

// The sheet: its caption, its pages (PROPSHEETPAGE records with PSH_PROPSHEETPAGE, otherwise page
// handles) and the page it opens on.
typedef struct _PROPSHEETHEADERA
{
    DWORD dwSize;
    DWORD dwFlags; // PSH_*
    HWND hwndParent;
    HINSTANCE hInstance;
    union {
        HICON hIcon;
        LPCSTR pszIcon;
    };
    LPCSTR pszCaption;
    UINT nPages;
    union {
        UINT nStartPage;
        LPCSTR pStartPage; // with PSH_USEPSTARTPAGE
    };
    union {
        LPCPROPSHEETPAGEA ppsp; // with PSH_PROPSHEETPAGE
        HPROPSHEETPAGE* phpage;
    };
    PFNPROPSHEETCALLBACK pfnCallback; // with PSH_USECALLBACK
    union                             // version 2 on (wizards)
    {
        HBITMAP hbmWatermark;
        LPCSTR pszbmWatermark;
    };
    HPALETTE hplWatermark;
    union {
        HBITMAP hbmHeader;
        LPCSTR pszbmHeader;
    };
} PROPSHEETHEADERA, *LPPROPSHEETHEADERA;
typedef const PROPSHEETHEADERA* LPCPROPSHEETHEADERA;
typedef PROPSHEETHEADERA PROPSHEETHEADERA_V2;
typedef LPPROPSHEETHEADERA LPPROPSHEETHEADERA_V2;
typedef LPCPROPSHEETHEADERA LPCPROPSHEETHEADERA_V2;

#define PROPSHEETHEADERA_V1_SIZE CCSIZEOF_STRUCT(PROPSHEETHEADERA, pfnCallback)
#define PROPSHEETHEADERA_V2_SIZE sizeof(PROPSHEETHEADERA)

// PROPSHEETHEADER's dwFlags.
#define PSH_DEFAULT           0x00000000
#define PSH_PROPTITLE         0x00000001
#define PSH_USEHICON          0x00000002
#define PSH_USEICONID         0x00000004
#define PSH_PROPSHEETPAGE     0x00000008
#define PSH_WIZARDHASFINISH   0x00000010
#define PSH_WIZARD            0x00000020
#define PSH_USEPSTARTPAGE     0x00000040
#define PSH_NOAPPLYNOW        0x00000080
#define PSH_USECALLBACK       0x00000100
#define PSH_HASHELP           0x00000200
#define PSH_MODELESS          0x00000400
#define PSH_RTLREADING        0x00000800
#define PSH_WIZARDCONTEXTHELP 0x00001000
#define PSH_AEROWIZARD        0x00004000
#define PSH_WATERMARK         0x00008000
#define PSH_USEHBMWATERMARK   0x00010000
#define PSH_USEHPLWATERMARK   0x00020000
#define PSH_STRETCHWATERMARK  0x00040000
#define PSH_HEADER            0x00080000
#define PSH_USEHBMHEADER      0x00100000
#define PSH_USEPAGELANG       0x00200000
#define PSH_WIZARD_LITE       0x00400000
#define PSH_WIZARD97          0x01000000
#define PSH_NOCONTEXTHELP     0x02000000
#define PSH_RESIZABLE         0x04000000
#define PSH_HEADERBITMAP      0x08000000
#define PSH_NOMARGIN          0x10000000

// The sheet callback's uMsg.
#define PSCB_INITIALIZED 1
#define PSCB_PRECREATE   2

// What an add-page callback (a property page provider's caller) is given.
typedef BOOL(CALLBACK* LPFNADDPROPSHEETPAGE)(HPROPSHEETPAGE, LPARAM);
typedef BOOL(CALLBACK* LPFNADDPROPSHEETPAGES)(LPVOID, LPFNADDPROPSHEETPAGE, LPARAM);

// Notifications a sheet sends its pages (WM_NOTIFY, NMHDR.code) and what they answer through
// DWLP_MSGRESULT.
#define PSN_FIRST                (0U - 200U)
#define PSN_LAST                 (0U - 299U)
#define PSN_SETACTIVE            (PSN_FIRST - 0)
#define PSN_KILLACTIVE           (PSN_FIRST - 1)
#define PSN_APPLY                (PSN_FIRST - 2)
#define PSN_RESET                (PSN_FIRST - 3)
#define PSN_HELP                 (PSN_FIRST - 5)
#define PSN_WIZBACK              (PSN_FIRST - 6)
#define PSN_WIZNEXT              (PSN_FIRST - 7)
#define PSN_WIZFINISH            (PSN_FIRST - 8)
#define PSN_QUERYCANCEL          (PSN_FIRST - 9)
#define PSN_GETOBJECT            (PSN_FIRST - 10)
#define PSN_TRANSLATEACCELERATOR (PSN_FIRST - 12)
#define PSN_QUERYINITIALFOCUS    (PSN_FIRST - 13)

#define PSNRET_NOERROR              0
#define PSNRET_INVALID              1
#define PSNRET_INVALID_NOCHANGEPAGE 2
#define PSNRET_MESSAGEHANDLED       3

// A sheet's notification: PSN_APPLY's lParam is TRUE for OK, FALSE for Apply; PSN_RESET's is TRUE
// when the sheet is closed by its close box.
typedef struct _PSHNOTIFY
{
    NMHDR hdr;
    LPARAM lParam;
} PSHNOTIFY, *LPPSHNOTIFY;

// Messages to a sheet.
#define PSM_SETCURSEL          (WM_USER + 101)
#define PSM_REMOVEPAGE         (WM_USER + 102)
#define PSM_ADDPAGE            (WM_USER + 103)
#define PSM_CHANGED            (WM_USER + 104)
#define PSM_RESTARTWINDOWS     (WM_USER + 105)
#define PSM_REBOOTSYSTEM       (WM_USER + 106)
#define PSM_CANCELTOCLOSE      (WM_USER + 107)
#define PSM_QUERYSIBLINGS      (WM_USER + 108)
#define PSM_UNCHANGED          (WM_USER + 109)
#define PSM_APPLY              (WM_USER + 110)
#define PSM_SETTITLEA          (WM_USER + 111)
#define PSM_SETWIZBUTTONS      (WM_USER + 112)
#define PSM_PRESSBUTTON        (WM_USER + 113)
#define PSM_SETCURSELID        (WM_USER + 114)
#define PSM_SETFINISHTEXTA     (WM_USER + 115)
#define PSM_GETTABCONTROL      (WM_USER + 116)
#define PSM_ISDIALOGMESSAGE    (WM_USER + 117)
#define PSM_GETCURRENTPAGEHWND (WM_USER + 118)
#define PSM_INSERTPAGE         (WM_USER + 119)
#define PSM_HWNDTOINDEX        (WM_USER + 129)
#define PSM_INDEXTOHWND        (WM_USER + 130)
#define PSM_PAGETOINDEX        (WM_USER + 131)
#define PSM_INDEXTOPAGE        (WM_USER + 132)
#define PSM_GETRESULT          (WM_USER + 135)

// PSM_PRESSBUTTON's buttons.
#define PSBTN_BACK     0
#define PSBTN_NEXT     1
#define PSBTN_FINISH   2
#define PSBTN_OK       3
#define PSBTN_APPLYNOW 4
#define PSBTN_CANCEL   5
#define PSBTN_HELP     6
#define PSBTN_MAX      6

// The IDs of a sheet's own buttons (the dialog's OK and Cancel are IDOK and IDCANCEL).
#define ID_APPLY_NOW 0x3021
#define IDD_HELP     0x0009

// What a modal PropertySheet returns after PSM_RESTARTWINDOWS or PSM_REBOOTSYSTEM.
#define ID_PSRESTARTWINDOWS 0x2
#define ID_PSREBOOTSYSTEM   (ID_PSRESTARTWINDOWS | 0x1)

#define MAXPROPPAGES 100

#define PropSheet_SetCurSel(hDlg, hpage, index) SNDMSG(hDlg, PSM_SETCURSEL, (WPARAM)(index), (LPARAM)(hpage))
#define PropSheet_RemovePage(hDlg, index, hpage)                                                             \
    SNDMSG(hDlg, PSM_REMOVEPAGE, (WPARAM)(index), (LPARAM)(hpage))
#define PropSheet_AddPage(hDlg, hpage)  SNDMSG(hDlg, PSM_ADDPAGE, 0, (LPARAM)(hpage))
#define PropSheet_Changed(hDlg, hwnd)   SNDMSG(hDlg, PSM_CHANGED, (WPARAM)(hwnd), 0L)
#define PropSheet_UnChanged(hDlg, hwnd) SNDMSG(hDlg, PSM_UNCHANGED, (WPARAM)(hwnd), 0L)
#define PropSheet_RestartWindows(hDlg)  SNDMSG(hDlg, PSM_RESTARTWINDOWS, 0, 0L)
#define PropSheet_RebootSystem(hDlg)    SNDMSG(hDlg, PSM_REBOOTSYSTEM, 0, 0L)
#define PropSheet_CancelToClose(hDlg)   PostMessageA(hDlg, PSM_CANCELTOCLOSE, 0, 0L)
#define PropSheet_QuerySiblings(hDlg, wParam, lParam)                                                        \
    SNDMSG(hDlg, PSM_QUERYSIBLINGS, (WPARAM)(wParam), (LPARAM)(lParam))
#define PropSheet_Apply(hDlg) SNDMSG(hDlg, PSM_APPLY, 0, 0L)
#define PropSheet_SetTitle(hDlg, wStyle, lpszText)                                                           \
    SNDMSG(hDlg, PSM_SETTITLEA, (WPARAM)(wStyle), (LPARAM)(LPCSTR)(lpszText))
#define PropSheet_PressButton(hDlg, iButton)  PostMessageA(hDlg, PSM_PRESSBUTTON, (WPARAM)(iButton), 0)
#define PropSheet_IsDialogMessage(hDlg, pMsg) (BOOL) SNDMSG(hDlg, PSM_ISDIALOGMESSAGE, 0, (LPARAM)(pMsg))
#define PropSheet_GetCurrentPageHwnd(hDlg)    (HWND) SNDMSG(hDlg, PSM_GETCURRENTPAGEHWND, 0, 0L)
#define PropSheet_HwndToIndex(hDlg, hwnd)     (int)SNDMSG(hDlg, PSM_HWNDTOINDEX, (WPARAM)(hwnd), 0)
#define PropSheet_IndexToHwnd(hDlg, i)        (HWND) SNDMSG(hDlg, PSM_INDEXTOHWND, (WPARAM)(i), 0)
#define PropSheet_GetResult(hDlg)             SNDMSG(hDlg, PSM_GETRESULT, 0, 0)

WINSIM_API HPROPSHEETPAGE WINAPI CreatePropertySheetPageA(LPCPROPSHEETPAGEA constPropSheetPagePointer);
WINSIM_API BOOL WINAPI DestroyPropertySheetPage(HPROPSHEETPAGE hPSPage);
WINSIM_API INT_PTR WINAPI PropertySheetA(LPCPROPSHEETHEADERA lppsph);

// The layouts of x64 Windows.
#ifdef __cplusplus
static_assert(PROPSHEETPAGEA_V1_SIZE == 72 && PROPSHEETPAGEA_V2_SIZE == 88, "PROPSHEETPAGEA");
static_assert(PROPSHEETPAGEA_V3_SIZE == 96 && PROPSHEETPAGEA_V4_SIZE == 104, "PROPSHEETPAGEA");
static_assert(offsetof(PROPSHEETPAGEA, pfnDlgProc) == 40 && offsetof(PROPSHEETPAGEA, lParam) == 48,
              "PROPSHEETPAGEA");
static_assert(PROPSHEETHEADERA_V1_SIZE == 72 && PROPSHEETHEADERA_V2_SIZE == 96, "PROPSHEETHEADERA");
static_assert(offsetof(PROPSHEETHEADERA, nPages) == 40 && offsetof(PROPSHEETHEADERA, phpage) == 56,
              "PROPSHEETHEADERA");
static_assert(sizeof(PSHNOTIFY) == 32, "PSHNOTIFY");
#endif

WINSIM_EXTERN_C_END
