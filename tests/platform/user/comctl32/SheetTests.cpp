// Property sheets: the pages' dialogs, the notifications OK, Apply and Cancel send them, the sheet
// messages, and the release of every page when the sheet goes.
#include <windows.h>
#include <commctrl.h>
#include <prsht.h>

#include <gtest/gtest.h>

#include "TableCases.h"

#include <string>
#include <vector>

namespace
{

using winsimtest::PrintTo;

// What happened to the pages, in order, as "<page>:<event>".
std::vector<std::string>& Events()
{
    static std::vector<std::string> events;
    return events;
}

// One page's data (its PROPSHEETPAGE lParam) and how it answers.
struct PageRecord
{
    std::string name;
    UINT createAnswer = 1;                // PSPCB_CREATE
    LRESULT killActiveAnswer = FALSE;     // PSN_KILLACTIVE
    LRESULT applyAnswer = PSNRET_NOERROR; // PSN_APPLY
    HWND dialog = nullptr;                // set by WM_INITDIALOG
    PROPSHEETPAGEA* initParam = nullptr;  // WM_INITDIALOG's lParam
    HWND sheetAtInit = nullptr;           // GetParent of the page at WM_INITDIALOG
};

void Record(const PageRecord* page, const std::string& event)
{
    Events().push_back(page->name + ":" + event);
}

std::string NotificationName(UINT code, LPARAM lParam)
{
    switch (code)
    {
    case PSN_SETACTIVE:
        return "SETACTIVE";
    case PSN_KILLACTIVE:
        return "KILLACTIVE";
    case PSN_APPLY:
        return lParam ? "APPLY(OK)" : "APPLY";
    case PSN_RESET:
        return "RESET";
    case PSN_QUERYCANCEL:
        return "QUERYCANCEL";
    default:
        return "NOTIFY";
    }
}

INT_PTR CALLBACK PageProc(HWND hDlg, UINT message, WPARAM, LPARAM lParam)
{
    if (message == WM_INITDIALOG)
    {
        auto* psp = reinterpret_cast<PROPSHEETPAGEA*>(lParam);
        auto* page = reinterpret_cast<PageRecord*>(psp->lParam);
        SetWindowLongPtrA(hDlg, DWLP_USER, psp->lParam);
        page->dialog = hDlg;
        page->initParam = psp;
        page->sheetAtInit = GetParent(hDlg);
        Record(page, "INITDIALOG");
        return TRUE;
    }
    auto* page = reinterpret_cast<PageRecord*>(GetWindowLongPtrA(hDlg, DWLP_USER));
    if (page == nullptr || message != WM_NOTIFY)
    {
        return FALSE;
    }
    auto* notify = reinterpret_cast<PSHNOTIFY*>(lParam);
    EXPECT_EQ(notify->hdr.hwndFrom, GetParent(hDlg));
    Record(page, NotificationName(notify->hdr.code, notify->lParam));
    LRESULT answer = 0;
    if (notify->hdr.code == PSN_KILLACTIVE)
    {
        answer = page->killActiveAnswer;
    }
    else if (notify->hdr.code == PSN_APPLY)
    {
        answer = page->applyAnswer;
    }
    SetWindowLongPtrA(hDlg, DWLP_MSGRESULT, answer);
    return TRUE;
}

UINT CALLBACK PageCallback(HWND, UINT message, PROPSHEETPAGEA* ppsp)
{
    auto* page = reinterpret_cast<PageRecord*>(ppsp->lParam);
    switch (message)
    {
    case PSPCB_CREATE:
        Record(page, "CREATE");
        return page->createAnswer;
    case PSPCB_RELEASE:
        Record(page, "RELEASE");
        return 0;
    default:
        return 1;
    }
}

// A page template with no controls, with the caption and styles a page's resource usually has.
#pragma pack(push, 2)
struct PageTemplate
{
    DWORD style;
    DWORD exStyle;
    WORD items;
    short x, y, cx, cy;
    WORD menu, windowClass, title;
};
#pragma pack(pop)
const PageTemplate g_pageTemplate = {WS_CHILD | WS_DISABLED | WS_CAPTION, 0, 0, 0, 0, 195, 127, 0, 0, 0};

PROPSHEETPAGEA PageFor(PageRecord* page)
{
    PROPSHEETPAGEA psp{};
    psp.dwSize = sizeof(psp);
    psp.dwFlags = PSP_USECALLBACK | PSP_DLGINDIRECT;
    psp.pResource = &g_pageTemplate;
    psp.pfnDlgProc = PageProc;
    psp.lParam = reinterpret_cast<LPARAM>(page);
    psp.pfnCallback = PageCallback;
    return psp;
}

// Dispatches what the thread's queue holds (posted button presses, the sheet's own posts).
void PumpMessages()
{
    MSG msg;
    while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE))
    {
        TranslateMessage(&msg);
        DispatchMessageA(&msg);
    }
}

class SheetTest : public ::testing::Test
{
  protected:
    void SetUp() override
    {
        Events().clear();
        first.name = "first";
        second.name = "second";
    }
    void TearDown() override
    {
        if (sheet != nullptr && IsWindow(sheet))
        {
            DestroyWindow(sheet);
        }
    }

    // A modeless sheet of the two pages.
    HWND OpenModeless(DWORD flags = PSH_PROPTITLE, UINT startPage = 0)
    {
        PROPSHEETPAGEA psp1 = PageFor(&first);
        PROPSHEETPAGEA psp2 = PageFor(&second);
        pages[0] = CreatePropertySheetPageA(&psp1);
        pages[1] = CreatePropertySheetPageA(&psp2);
        PROPSHEETHEADERA header{};
        header.dwSize = sizeof(header);
        header.dwFlags = PSH_MODELESS | flags;
        header.pszCaption = "Reader";
        header.nPages = 2;
        header.nStartPage = startPage;
        header.phpage = pages;
        sheet = reinterpret_cast<HWND>(PropertySheetA(&header));
        return sheet;
    }

    std::string Title()
    {
        char text[128] = {};
        GetWindowTextA(sheet, text, sizeof(text));
        return text;
    }

    PageRecord first;
    PageRecord second;
    HPROPSHEETPAGE pages[2] = {};
    HWND sheet = nullptr;
};

TEST_F(SheetTest, AModelessSheetShowsItsStartPageAtOnce)
{
    ASSERT_NE(OpenModeless(), nullptr);
    EXPECT_EQ(Events(), (std::vector<std::string>{"first:CREATE", "first:INITDIALOG", "first:SETACTIVE"}));
    // WM_INITDIALOG points at the page's copy of its PROPSHEETPAGE, whose lParam is the page data.
    ASSERT_NE(first.initParam, nullptr);
    EXPECT_EQ(first.initParam->lParam, reinterpret_cast<LPARAM>(&first));
    EXPECT_EQ(first.initParam->pfnDlgProc, PageProc);
    EXPECT_EQ(first.sheetAtInit, sheet);
    EXPECT_EQ(GetParent(first.dialog), sheet);
    EXPECT_EQ(PropSheet_GetCurrentPageHwnd(sheet), first.dialog);
    EXPECT_EQ(Title(), "Reader Properties");
    // The page is a visible, enabled child of the sheet, whatever its template said.
    LONG_PTR style = GetWindowLongPtrA(first.dialog, GWL_STYLE);
    EXPECT_EQ(style & (WS_CHILD | WS_CAPTION | WS_DISABLED), static_cast<LONG_PTR>(WS_CHILD));
    EXPECT_TRUE(IsWindowVisible(first.dialog));
}

TEST_F(SheetTest, ASheetStartsOnTheStartPageTheHeaderNames)
{
    ASSERT_NE(OpenModeless(PSH_PROPTITLE, 1), nullptr);
    EXPECT_EQ(Events(), (std::vector<std::string>{"second:CREATE", "second:INITDIALOG", "second:SETACTIVE"}));
    EXPECT_EQ(PropSheet_GetCurrentPageHwnd(sheet), second.dialog);
}

TEST_F(SheetTest, SelectingAPageMakesItsDialogTheFirstTimeOnly)
{
    ASSERT_NE(OpenModeless(), nullptr);
    Events().clear();
    EXPECT_TRUE(PropSheet_SetCurSel(sheet, nullptr, 1));
    EXPECT_EQ(Events(), (std::vector<std::string>{"first:KILLACTIVE", "second:CREATE", "second:INITDIALOG",
                                                  "second:SETACTIVE"}));
    EXPECT_EQ(PropSheet_GetCurrentPageHwnd(sheet), second.dialog);
    EXPECT_FALSE(IsWindowVisible(first.dialog));
    Events().clear();
    EXPECT_TRUE(PropSheet_SetCurSel(sheet, pages[0], 0));
    EXPECT_EQ(Events(), (std::vector<std::string>{"second:KILLACTIVE", "first:SETACTIVE"}));
}

TEST_F(SheetTest, APageThatKeepsTheFocusIsNotLeft)
{
    first.killActiveAnswer = TRUE;
    ASSERT_NE(OpenModeless(), nullptr);
    EXPECT_FALSE(PropSheet_SetCurSel(sheet, nullptr, 1));
    EXPECT_EQ(PropSheet_GetCurrentPageHwnd(sheet), first.dialog);
    EXPECT_EQ(second.dialog, nullptr);
}

TEST_F(SheetTest, APageWhoseCallbackRefusesGetsNoDialog)
{
    second.createAnswer = 0;
    ASSERT_NE(OpenModeless(), nullptr);
    EXPECT_FALSE(PropSheet_SetCurSel(sheet, nullptr, 1));
    EXPECT_EQ(second.dialog, nullptr);
    EXPECT_EQ(PropSheet_GetCurrentPageHwnd(sheet), first.dialog);
}

TEST_F(SheetTest, OkAppliesEveryPageWithADialogAndTheSheetReleasesEveryPageOnce)
{
    ASSERT_NE(OpenModeless(), nullptr);
    Events().clear();
    PropSheet_PressButton(sheet, PSBTN_OK);
    PumpMessages();
    // The second page was never shown: it has no dialog to apply.
    EXPECT_EQ(Events(), (std::vector<std::string>{"first:KILLACTIVE", "first:APPLY(OK)"}));
    EXPECT_EQ(PropSheet_GetCurrentPageHwnd(sheet), nullptr);
    EXPECT_TRUE(IsWindow(sheet));
    Events().clear();
    EXPECT_TRUE(DestroyWindow(sheet));
    EXPECT_EQ(Events(), (std::vector<std::string>{"first:RELEASE", "second:RELEASE"}));
    // The pages were the sheet's: they are gone.
    EXPECT_FALSE(DestroyPropertySheetPage(pages[0]));
}

TEST_F(SheetTest, CancelResetsThePagesWithADialog)
{
    ASSERT_NE(OpenModeless(), nullptr);
    ASSERT_TRUE(PropSheet_SetCurSel(sheet, nullptr, 1));
    Events().clear();
    SendMessageA(sheet, PSM_PRESSBUTTON, PSBTN_CANCEL, 0);
    EXPECT_EQ(Events(), (std::vector<std::string>{"second:QUERYCANCEL", "first:RESET", "second:RESET"}));
    EXPECT_EQ(PropSheet_GetCurrentPageHwnd(sheet), nullptr);
}

struct ApplyCase
{
    const char* name;
    LRESULT secondAnswer; // the second page's PSN_APPLY answer
    bool closed;
    int currentAfter; // the page shown after OK: 0 or 1
    std::vector<std::string> events;
};

class SheetApplyTest : public SheetTest, public ::testing::WithParamInterface<ApplyCase>
{
};

TEST_P(SheetApplyTest, OkClosesTheSheetOnlyWhenEveryPageTookItsChanges)
{
    const ApplyCase& c = GetParam();
    second.applyAnswer = c.secondAnswer;
    ASSERT_NE(OpenModeless(), nullptr);
    ASSERT_TRUE(PropSheet_SetCurSel(sheet, nullptr, 1));
    ASSERT_TRUE(PropSheet_SetCurSel(sheet, nullptr, 0));
    Events().clear();
    SendMessageA(sheet, PSM_PRESSBUTTON, PSBTN_OK, 0);
    EXPECT_EQ(Events(), c.events);
    HWND current = PropSheet_GetCurrentPageHwnd(sheet);
    if (c.closed)
    {
        EXPECT_EQ(current, nullptr);
    }
    else
    {
        EXPECT_EQ(current, c.currentAfter == 0 ? first.dialog : second.dialog);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Answers, SheetApplyTest,
    ::testing::Values(
        ApplyCase{
            "NoError", PSNRET_NOERROR, true, 0, {"first:KILLACTIVE", "first:APPLY(OK)", "second:APPLY(OK)"}},
        ApplyCase{"Invalid",
                  PSNRET_INVALID,
                  false,
                  1,
                  {"first:KILLACTIVE", "first:APPLY(OK)", "second:APPLY(OK)", "first:KILLACTIVE",
                   "second:SETACTIVE"}},
        ApplyCase{"InvalidNoChangePage",
                  PSNRET_INVALID_NOCHANGEPAGE,
                  false,
                  0,
                  {"first:KILLACTIVE", "first:APPLY(OK)", "second:APPLY(OK)"}}),
    [](const ::testing::TestParamInfo<ApplyCase>& info) { return std::string(info.param.name); });

TEST_F(SheetTest, ApplyIsEnabledWhileAPageHasChanges)
{
    ASSERT_NE(OpenModeless(), nullptr);
    HWND apply = GetDlgItem(sheet, ID_APPLY_NOW);
    ASSERT_NE(apply, nullptr);
    EXPECT_FALSE(IsWindowEnabled(apply));
    Events().clear();
    // A press of a disabled Apply does nothing.
    SendMessageA(sheet, PSM_PRESSBUTTON, PSBTN_APPLYNOW, 0);
    EXPECT_EQ(Events(), std::vector<std::string>{});

    PropSheet_Changed(sheet, first.dialog);
    EXPECT_TRUE(IsWindowEnabled(apply));
    PropSheet_UnChanged(sheet, first.dialog);
    EXPECT_FALSE(IsWindowEnabled(apply));

    PropSheet_Changed(sheet, first.dialog);
    SendMessageA(sheet, PSM_PRESSBUTTON, PSBTN_APPLYNOW, 0);
    EXPECT_EQ(Events(), (std::vector<std::string>{"first:KILLACTIVE", "first:APPLY"}));
    EXPECT_FALSE(IsWindowEnabled(apply));
    // Apply leaves the sheet open.
    EXPECT_EQ(PropSheet_GetCurrentPageHwnd(sheet), first.dialog);
}

TEST_F(SheetTest, PsmApplyAppliesWithoutClosing)
{
    second.applyAnswer = PSNRET_INVALID_NOCHANGEPAGE;
    ASSERT_NE(OpenModeless(), nullptr);
    EXPECT_TRUE(PropSheet_Apply(sheet));
    ASSERT_TRUE(PropSheet_SetCurSel(sheet, nullptr, 1));
    EXPECT_FALSE(PropSheet_Apply(sheet));
    EXPECT_EQ(PropSheet_GetCurrentPageHwnd(sheet), second.dialog);
}

TEST_F(SheetTest, ASheetWithoutApplyNowHasOnlyOkAndCancel)
{
    ASSERT_NE(OpenModeless(PSH_NOAPPLYNOW), nullptr);
    EXPECT_EQ(GetDlgItem(sheet, ID_APPLY_NOW), nullptr);
    EXPECT_NE(GetDlgItem(sheet, IDOK), nullptr);
    EXPECT_NE(GetDlgItem(sheet, IDCANCEL), nullptr);
    // Without PSH_PROPTITLE the caption is the title.
    EXPECT_EQ(Title(), "Reader");
}

TEST_F(SheetTest, TheTitleCanBeSetWithOrWithoutTheProperties)
{
    ASSERT_NE(OpenModeless(), nullptr);
    PropSheet_SetTitle(sheet, 0, "COM7");
    EXPECT_EQ(Title(), "COM7");
    PropSheet_SetTitle(sheet, PSH_PROPTITLE, "COM7");
    EXPECT_EQ(Title(), "COM7 Properties");
}

TEST_F(SheetTest, PagesAreReleasedWithTheSheetAfterAPageRenamedIt)
{
    ASSERT_NE(OpenModeless(), nullptr);
    // What a page does with its sheet's title: GetParent and the window text.
    char text[64] = {};
    GetWindowTextA(GetParent(first.dialog), text, sizeof(text));
    EXPECT_STREQ(text, "Reader Properties");
    SetWindowTextA(GetParent(first.dialog), "Reader (COM7) Properties");
    EXPECT_EQ(Title(), "Reader (COM7) Properties");
    Events().clear();
    DestroyWindow(sheet);
    EXPECT_EQ(Events(), (std::vector<std::string>{"first:RELEASE", "second:RELEASE"}));
}

TEST_F(SheetTest, PagesOfAFailedSheetRemainTheCallers)
{
    PROPSHEETPAGEA psp = PageFor(&first);
    HPROPSHEETPAGE page = CreatePropertySheetPageA(&psp);
    PROPSHEETHEADERA header{};
    header.dwSize = sizeof(header) + 4;
    header.dwFlags = PSH_MODELESS;
    header.nPages = 1;
    header.phpage = &page;
    EXPECT_EQ(PropertySheetA(&header), -1);
    EXPECT_EQ(Events(), std::vector<std::string>{});
    EXPECT_TRUE(DestroyPropertySheetPage(page));
    EXPECT_EQ(Events(), std::vector<std::string>{"first:RELEASE"});
}

TEST_F(SheetTest, ASheetOfPageRecordsMakesAndReleasesItsOwnPages)
{
    PROPSHEETPAGEA records[2] = {PageFor(&first), PageFor(&second)};
    PROPSHEETHEADERA header{};
    header.dwSize = PROPSHEETHEADERA_V1_SIZE;
    header.dwFlags = PSH_MODELESS | PSH_PROPSHEETPAGE;
    header.nPages = 2;
    header.ppsp = records;
    sheet = reinterpret_cast<HWND>(PropertySheetA(&header));
    ASSERT_NE(sheet, nullptr);
    EXPECT_EQ(first.initParam->lParam, reinterpret_cast<LPARAM>(&first));
    EXPECT_NE(first.initParam, &records[0]);
    Events().clear();
    DestroyWindow(sheet);
    EXPECT_EQ(Events(), (std::vector<std::string>{"first:RELEASE", "second:RELEASE"}));
}

// A modal sheet: the page presses a button as soon as it is shown, and PropertySheetA returns
// when the sheet closes.
WPARAM g_modalButton = PSBTN_OK;

INT_PTR CALLBACK PressingPageProc(HWND hDlg, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (message == WM_INITDIALOG)
    {
        PropSheet_PressButton(GetParent(hDlg), g_modalButton);
    }
    return PageProc(hDlg, message, wParam, lParam);
}

struct ModalCase
{
    const char* name;
    WPARAM button;
    INT_PTR result;
    std::vector<std::string> events;
};

class ModalSheetTest : public SheetTest, public ::testing::WithParamInterface<ModalCase>
{
};

TEST_P(ModalSheetTest, AModalSheetReturnsWhetherChangesWereApplied)
{
    const ModalCase& c = GetParam();
    g_modalButton = c.button;
    PROPSHEETPAGEA psp = PageFor(&first);
    psp.pfnDlgProc = PressingPageProc;
    HPROPSHEETPAGE page = CreatePropertySheetPageA(&psp);
    PROPSHEETHEADERA header{};
    header.dwSize = sizeof(header);
    header.pszCaption = "Reader";
    header.nPages = 1;
    header.phpage = &page;
    EXPECT_EQ(PropertySheetA(&header), c.result);
    EXPECT_EQ(Events(), c.events);
    EXPECT_FALSE(IsWindow(first.dialog));
}

INSTANTIATE_TEST_SUITE_P(
    Buttons, ModalSheetTest,
    ::testing::Values(ModalCase{"Ok",
                                PSBTN_OK,
                                1,
                                {"first:CREATE", "first:INITDIALOG", "first:SETACTIVE", "first:KILLACTIVE",
                                 "first:APPLY(OK)", "first:RELEASE"}},
                      ModalCase{"Cancel",
                                PSBTN_CANCEL,
                                0,
                                {"first:CREATE", "first:INITDIALOG", "first:SETACTIVE", "first:QUERYCANCEL",
                                 "first:RESET", "first:RELEASE"}}),
    [](const ::testing::TestParamInfo<ModalCase>& info) { return std::string(info.param.name); });

} // namespace
