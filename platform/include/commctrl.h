// comctl32, the common controls, as far as the simulated machine implements them: the property
// sheets of prsht.h and the initialisation call, as in the Windows header of the same name.
#pragma once

#include <windows.h>
#include <prsht.h>

WINSIM_EXTERN_C_BEGIN

typedef struct tagINITCOMMONCONTROLSEX
{
    DWORD dwSize; // sizeof(INITCOMMONCONTROLSEX)
    DWORD dwICC;  // ICC_*
} INITCOMMONCONTROLSEX, *LPINITCOMMONCONTROLSEX;

#define ICC_LISTVIEW_CLASSES   0x00000001
#define ICC_TREEVIEW_CLASSES   0x00000002
#define ICC_BAR_CLASSES        0x00000004
#define ICC_TAB_CLASSES        0x00000008
#define ICC_UPDOWN_CLASS       0x00000010
#define ICC_PROGRESS_CLASS     0x00000020
#define ICC_HOTKEY_CLASS       0x00000040
#define ICC_ANIMATE_CLASS      0x00000080
#define ICC_WIN95_CLASSES      0x000000FF
#define ICC_DATE_CLASSES       0x00000100
#define ICC_USEREX_CLASSES     0x00000200
#define ICC_COOL_CLASSES       0x00000400
#define ICC_INTERNET_CLASSES   0x00000800
#define ICC_PAGESCROLLER_CLASS 0x00001000
#define ICC_NATIVEFNTCTL_CLASS 0x00002000
#define ICC_STANDARD_CLASSES   0x00004000
#define ICC_LINK_CLASS         0x00008000

// Nothing to register here: the controls this machine has are always there.
WINSIM_API void WINAPI InitCommonControls(void);
WINSIM_API BOOL WINAPI InitCommonControlsEx(const INITCOMMONCONTROLSEX* picce);

WINSIM_EXTERN_C_END
