// The dialog manager: dialogs from templates in memory, the dialog procedure's results, dialog
// units, modal and modeless dialogs.
#include <windows.h>

#include <gtest/gtest.h>

#include "DialogTemplate.h"
#include "TableCases.h"

#include <string>
#include <vector>

namespace
{

using dialogtest::AsTemplate;
using dialogtest::Build;
using dialogtest::Dialog;
using dialogtest::Item;
using winsimtest::PrintTo;

constexpr int ComNumberId = 1001;
constexpr DWORD NoId = 0xFFFFFFFF; // IDC_STATIC

// The port settings page: a caption, a font, a label and a drop-down list.
Dialog PortPage()
{
    Dialog d;
    d.style = DS_SETFONT | WS_CHILD | WS_DISABLED | WS_CAPTION;
    d.cx = 195;
    d.cy = 127;
    d.title = u"ポートの設定";
    d.points = 9;
    d.face = u"MS UI Gothic";
    Item label;
    label.style = WS_CHILD | WS_VISIBLE | WS_GROUP | SS_LEFT;
    label.x = 36;
    label.y = 54;
    label.cx = 46;
    label.cy = 8;
    label.id = NoId;
    label.classOrdinal = 0x0082;
    label.title = u"COMポート番号:";
    Item combo;
    combo.style = WS_CHILD | WS_VISIBLE | CBS_DROPDOWNLIST | WS_VSCROLL | WS_TABSTOP;
    combo.x = 110;
    combo.y = 52;
    combo.cx = 80;
    combo.cy = 76;
    combo.id = ComNumberId;
    combo.classOrdinal = 0x0085;
    d.items = {label, combo};
    return d;
}

// What the port page's dialog procedure saw.
struct PageRecord
{
    std::vector<UINT> messages;
    WPARAM initFocus = 0;
    LPARAM initParam = 0;
};

INT_PTR CALLBACK PortPageProc(HWND hDlg, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (message == WM_INITDIALOG)
    {
        // As the page does: the pointer at DWLP_USER, the combo box filled.
        SetWindowLongPtrA(hDlg, DWLP_USER, lParam);
    }
    auto* record = reinterpret_cast<PageRecord*>(GetWindowLongPtrA(hDlg, DWLP_USER));
    if (record == nullptr)
    {
        return FALSE; // WM_SETFONT comes before WM_INITDIALOG
    }
    record->messages.push_back(message);
    if (message == WM_INITDIALOG)
    {
        record->initFocus = wParam;
        record->initParam = lParam;
        HWND combo = GetDlgItem(hDlg, ComNumberId);
        for (const char* name : {"COM1", "COM2", "COM3", "COM4"})
        {
            SendMessageA(combo, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(name));
        }
        SendMessageA(combo, CB_SETCURSEL, 2, 0);
        return TRUE;
    }
    return FALSE;
}

// A top-level window standing for the property sheet.
LRESULT CALLBACK SheetProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam)
{
    return DefWindowProcA(hwnd, message, wParam, lParam);
}

HWND MakeSheet(const char* title)
{
    static const ATOM atom = [] {
        WNDCLASSA wc{};
        wc.lpfnWndProc = SheetProc;
        wc.lpszClassName = "DialogTests.Sheet";
        return RegisterClassA(&wc);
    }();
    EXPECT_NE(atom, 0);
    return CreateWindowExA(0, "DialogTests.Sheet", title, WS_POPUP, 0, 0, 100, 100, nullptr, nullptr, nullptr,
                           nullptr);
}

std::string TextOf(HWND hwnd)
{
    char buffer[256] = {};
    GetWindowTextA(hwnd, buffer, sizeof(buffer));
    return buffer;
}

TEST(DialogTest, ThePortPageIsMadeFromItsTemplateAndInitialisedByItsProcedure)
{
    HWND sheet = MakeSheet("接続ポートのプロパティ");
    ASSERT_NE(sheet, nullptr);
    auto bytes = Build(PortPage());
    PageRecord record;
    HWND page = CreateDialogIndirectParamA(nullptr, AsTemplate(bytes), sheet, PortPageProc,
                                           reinterpret_cast<LPARAM>(&record));
    ASSERT_NE(page, nullptr);

    // The procedure hears of nothing before WM_INITDIALOG but the font; it gets the init
    // parameter and the first tab stop, which takes the focus since it returned TRUE.
    HWND combo = GetDlgItem(page, ComNumberId);
    ASSERT_NE(combo, nullptr);
    EXPECT_EQ(record.messages, (std::vector<UINT>{WM_INITDIALOG}));
    EXPECT_EQ(record.initParam, reinterpret_cast<LPARAM>(&record));
    EXPECT_EQ(record.initFocus, reinterpret_cast<WPARAM>(combo));
    EXPECT_EQ(GetFocus(), combo);
    EXPECT_EQ(GetWindowLongPtrA(page, DWLP_USER), reinterpret_cast<LONG_PTR>(&record));
    EXPECT_EQ(GetWindowLongPtrA(page, DWLP_DLGPROC), reinterpret_cast<LONG_PTR>(PortPageProc));

    // The page is a child of the sheet; the sheet's text is the sheet's.
    EXPECT_EQ(GetParent(page), sheet);
    EXPECT_TRUE(IsChild(sheet, combo));
    EXPECT_EQ(TextOf(GetParent(page)), "接続ポートのプロパティ");
    ASSERT_TRUE(SetWindowTextA(GetParent(page), "COM3のプロパティ"));
    EXPECT_EQ(TextOf(sheet), "COM3のプロパティ");

    // The template's styles, caption and items.
    LONG_PTR style = GetWindowLongPtrA(page, GWL_STYLE);
    EXPECT_EQ(style & (WS_CHILD | WS_DISABLED | WS_VISIBLE), WS_CHILD | WS_DISABLED);
    EXPECT_EQ(TextOf(page), "ポートの設定");
    HWND label = GetWindow(page, GW_CHILD);
    EXPECT_EQ(GetDlgCtrlID(label), -1);
    EXPECT_EQ(GetWindow(label, GW_HWNDNEXT), combo);
    EXPECT_EQ(TextOf(label), "COMポート番号:");
    EXPECT_EQ(GetWindowLongPtrA(combo, GWL_STYLE) & (WS_CHILD | CBS_DROPDOWNLIST),
              WS_CHILD | CBS_DROPDOWNLIST);
    EXPECT_EQ(GetWindowLongPtrA(combo, GWL_EXSTYLE) & WS_EX_NOPARENTNOTIFY, WS_EX_NOPARENTNOTIFY);

    // The combo box as the procedure left it.
    EXPECT_EQ(SendDlgItemMessageA(page, ComNumberId, CB_GETCOUNT, 0, 0), 4);
    EXPECT_EQ(SendDlgItemMessageA(page, ComNumberId, CB_GETCURSEL, 0, 0), 2);
    char text[16] = {};
    EXPECT_EQ(GetDlgItemTextA(page, ComNumberId, text, sizeof(text)), 4u);
    EXPECT_EQ(std::string(text), "COM3");

    // DS_SETFONT: the dialog and each control have the template's font.
    auto font = reinterpret_cast<HFONT>(SendMessageA(page, WM_GETFONT, 0, 0));
    EXPECT_NE(font, nullptr);
    EXPECT_EQ(reinterpret_cast<HFONT>(SendMessageA(label, WM_GETFONT, 0, 0)), font);
    EXPECT_EQ(reinterpret_cast<HFONT>(SendMessageA(combo, WM_GETFONT, 0, 0)), font);

    ASSERT_TRUE(DestroyWindow(sheet));
    EXPECT_FALSE(IsWindow(page));
    EXPECT_FALSE(IsWindow(combo));
    EXPECT_EQ(GetFocus(), nullptr);
}

// What the result procedure does with the message it is told of.
struct Answer
{
    UINT message = 0;
    INT_PTR returns = FALSE;
    bool setsResult = false;
    LONG_PTR result = 0;
};
Answer g_answer;

INT_PTR CALLBACK AnsweringProc(HWND hDlg, UINT message, WPARAM, LPARAM)
{
    if (message != g_answer.message)
    {
        return message == WM_INITDIALOG ? TRUE : FALSE;
    }
    if (g_answer.setsResult)
    {
        SetWindowLongPtrA(hDlg, DWLP_MSGRESULT, g_answer.result);
    }
    return g_answer.returns;
}

struct ResultCase
{
    const char* name;
    Answer answer;
    LRESULT expected; // what SendMessageA returns
};

TEST(DialogTest, TheProcedureAnswersThroughDwlpMsgResultOrDirectlyForTheListedMessages)
{
    const ResultCase cases[] = {
        {"WM_NOTIFY handled", {WM_NOTIFY, TRUE, true, 0x51}, 0x51},
        {"WM_NOTIFY left to the manager", {WM_NOTIFY, FALSE, true, 0x51}, 0},
        {"WM_COMMAND handled", {WM_COMMAND, TRUE, true, 7}, 7},
        {"handled without a result: it was reset", {WM_USER + 3, TRUE, false, 0}, 0},
        {"a brush for a static is the answer itself", {WM_CTLCOLORSTATIC, 0x4321, true, 9}, 0x4321},
        {"WM_INITDIALOG's answer is its own", {WM_INITDIALOG, 5, true, 9}, 5},
        {"WM_GETTEXTLENGTH left to the manager", {WM_GETTEXTLENGTH, FALSE, false, 0}, 7},
    };
    Dialog d;
    d.title = u"Results";
    auto bytes = Build(d);
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.name);
        g_answer = Answer{};
        HWND dialog = CreateDialogIndirectParamA(nullptr, AsTemplate(bytes), nullptr, AnsweringProc, 0);
        ASSERT_NE(dialog, nullptr);
        g_answer = c.answer;
        SetWindowLongPtrA(dialog, DWLP_MSGRESULT, 0x77); // a stale result
        NMHDR header{dialog, 0, 0};
        EXPECT_EQ(SendMessageA(dialog, c.answer.message, 0, reinterpret_cast<LPARAM>(&header)), c.expected);
        DestroyWindow(dialog);
    }
}

// A control of the tests' own: records its CREATESTRUCT.
CREATESTRUCTA g_probeCreate;
std::string g_probeName;
std::vector<BYTE> g_probeData;

LRESULT CALLBACK ProbeProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (message == WM_CREATE)
    {
        g_probeCreate = *reinterpret_cast<CREATESTRUCTA*>(lParam);
        g_probeName = g_probeCreate.lpszName;
        const auto* data = static_cast<const BYTE*>(g_probeCreate.lpCreateParams);
        g_probeData.clear();
        if (data != nullptr)
        {
            WORD size;
            memcpy(&size, data, sizeof(size));
            g_probeData.assign(data, data + sizeof(size) + size);
        }
    }
    return DefWindowProcA(hwnd, message, wParam, lParam);
}

INT_PTR CALLBACK PlainProc(HWND, UINT message, WPARAM, LPARAM)
{
    return message == WM_INITDIALOG ? TRUE : FALSE;
}

TEST(DialogTest, AClassicTemplateMapsDialogUnitsWithTheSystemBaseUnitsAndPassesCreationData)
{
    static const ATOM atom = [] {
        WNDCLASSA wc{};
        wc.lpfnWndProc = ProbeProc;
        wc.lpszClassName = "DialogTests.Probe";
        return RegisterClassA(&wc);
    }();
    ASSERT_NE(atom, 0);
    Dialog d;
    d.extended = false;
    d.style = WS_POPUP | WS_VISIBLE;
    d.x = 2;
    d.y = 4;
    d.cx = 60;
    d.cy = 40;
    d.title = u"Classic";
    Item probe;
    probe.style = WS_VISIBLE;
    probe.x = 4;
    probe.y = 8;
    probe.cx = 40;
    probe.cy = 12;
    probe.id = 7;
    probe.className = u"DialogTests.Probe";
    probe.title = u"probe";
    probe.data = {1, 2, 3, 4};
    d.items = {probe};
    auto bytes = Build(d);
    g_probeCreate = CREATESTRUCTA{};

    HWND dialog = CreateDialogIndirectParamA(nullptr, AsTemplate(bytes), nullptr, PlainProc, 0);
    ASSERT_NE(dialog, nullptr);
    EXPECT_EQ(GetDialogBaseUnits(), MAKELONG(8, 16));
    // One horizontal unit is a quarter of the base width, a vertical one an eighth of its height.
    EXPECT_EQ(g_probeCreate.x, 8);
    EXPECT_EQ(g_probeCreate.y, 16);
    EXPECT_EQ(g_probeCreate.cx, 80);
    EXPECT_EQ(g_probeCreate.cy, 24);
    EXPECT_EQ(g_probeCreate.hwndParent, dialog);
    EXPECT_EQ(g_probeCreate.hMenu, reinterpret_cast<HMENU>(7));
    EXPECT_EQ(g_probeCreate.style & WS_CHILD, WS_CHILD);
    EXPECT_EQ(g_probeName, "probe");
    EXPECT_EQ(g_probeData, (std::vector<BYTE>{4, 0, 1, 2, 3, 4})); // the size, then the data
    RECT rect{2, 4, 62, 44};
    ASSERT_TRUE(MapDialogRect(dialog, &rect));
    EXPECT_EQ(rect.left, 4);
    EXPECT_EQ(rect.top, 8);
    EXPECT_EQ(rect.right, 124);
    EXPECT_EQ(rect.bottom, 88);

    // Shown once initialised; found by the dialog class's name.
    EXPECT_TRUE(IsWindowVisible(dialog));
    EXPECT_EQ(FindWindowA("#32770", "Classic"), dialog);
    EXPECT_EQ(FindWindowA(WC_DIALOG, "Classic"), dialog);
    // No tab stop: nothing takes the focus.
    EXPECT_EQ(GetFocus(), nullptr);
    DestroyWindow(dialog);
}

TEST(DialogTest, ADialogFontSetsTheBaseUnits)
{
    Dialog d = PortPage();
    d.style &= ~WS_CHILD;
    auto bytes = Build(d);
    HWND dialog = CreateDialogIndirectParamA(nullptr, AsTemplate(bytes), nullptr, PlainProc, 0);
    ASSERT_NE(dialog, nullptr);
    // 9 points: base units 7 x 15 (the 8-point 6 x 13 scaled, rounded as MulDiv rounds).
    RECT rect{36, 54, 82, 62};
    ASSERT_TRUE(MapDialogRect(dialog, &rect));
    EXPECT_EQ(rect.left, 63);
    EXPECT_EQ(rect.top, 101);
    EXPECT_EQ(rect.right, 144);
    EXPECT_EQ(rect.bottom, 116);
    DestroyWindow(dialog);
}

struct FailingItemCase
{
    const char* name;
    DWORD dialogStyle;
    bool made;
    int children;
};

TEST(DialogTest, AControlOfAnUnknownClassFailsTheDialogUnlessTheTemplateSaysNotTo)
{
    const FailingItemCase cases[] = {
        {"fails", 0, false, 0},
        {"DS_NOFAILCREATE", DS_NOFAILCREATE, true, 1},
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.name);
        Dialog d;
        d.style = c.dialogStyle;
        Item missing;
        missing.className = u"DialogTests.NoSuchClass";
        missing.id = 1;
        Item label;
        label.classOrdinal = 0x0082;
        label.id = 2;
        d.items = {missing, label};
        auto bytes = Build(d);
        SetLastError(0);
        HWND dialog = CreateDialogIndirectParamA(nullptr, AsTemplate(bytes), nullptr, PlainProc, 0);
        EXPECT_EQ(dialog != nullptr, c.made);
        if (dialog == nullptr)
        {
            EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_CANNOT_FIND_WND_CLASS));
            continue;
        }
        EXPECT_EQ(GetDlgItem(dialog, 1), nullptr);
        EXPECT_NE(GetDlgItem(dialog, 2), nullptr);
        DestroyWindow(dialog);
    }
}

TEST(DialogTest, DialogItemsAreFoundByIdAndDialogCallsCheckTheirWindow)
{
    auto bytes = Build(PortPage());
    HWND sheet = MakeSheet("sheet");
    PageRecord record;
    HWND page = CreateDialogIndirectParamA(nullptr, AsTemplate(bytes), sheet, PortPageProc,
                                           reinterpret_cast<LPARAM>(&record));
    ASSERT_NE(page, nullptr);
    HWND label = GetWindow(page, GW_CHILD);
    ASSERT_TRUE(SetDlgItemTextA(page, -1, "番号:"));
    EXPECT_EQ(TextOf(label), "番号:");
    char text[4] = "xyz";
    EXPECT_EQ(GetDlgItemTextA(page, -1, text, sizeof(text)), 3u); // one character and the NUL
    EXPECT_EQ(std::string(text), "番");

    EXPECT_EQ(GetDlgItem(page, 1234), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_CONTROL_ID_NOT_FOUND));
    EXPECT_EQ(SendDlgItemMessageA(page, 1234, CB_GETCOUNT, 0, 0), 0);
    EXPECT_EQ(GetDlgItemTextA(page, 1234, text, sizeof(text)), 0u);
    EXPECT_EQ(std::string(text), "");

    // The sheet is no dialog.
    RECT rect{0, 0, 4, 8};
    EXPECT_FALSE(MapDialogRect(sheet, &rect));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_WINDOW_NOT_DIALOG));
    EXPECT_FALSE(EndDialog(sheet, 1));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_WINDOW_NOT_DIALOG));
    DestroyWindow(sheet);
    EXPECT_EQ(GetDlgItem(page, ComNumberId), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_WINDOW_HANDLE));
    EXPECT_FALSE(EndDialog(page, 1));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_WINDOW_HANDLE));
}

// The modal dialog's procedure: ends the dialog at WM_INITDIALOG or at a message it posts itself.
struct ModalRecord
{
    HWND owner = nullptr;
    bool endAtInit = false;
    bool ownerEnabledWhileRunning = true;
    bool visibleWhileRunning = false;
};

INT_PTR CALLBACK ModalProc(HWND hDlg, UINT message, WPARAM, LPARAM lParam)
{
    if (message == WM_INITDIALOG)
    {
        SetWindowLongPtrA(hDlg, DWLP_USER, lParam);
        auto* record = reinterpret_cast<ModalRecord*>(lParam);
        if (record->endAtInit)
        {
            EndDialog(hDlg, 11);
        }
        else
        {
            PostMessageA(hDlg, WM_APP, 0, 0);
        }
        return TRUE;
    }
    if (message == WM_APP)
    {
        auto* record = reinterpret_cast<ModalRecord*>(GetWindowLongPtrA(hDlg, DWLP_USER));
        record->ownerEnabledWhileRunning = record->owner == nullptr || IsWindowEnabled(record->owner);
        record->visibleWhileRunning = IsWindowVisible(hDlg) != FALSE;
        EndDialog(hDlg, 42);
        return TRUE;
    }
    return FALSE;
}

TEST(DialogTest, AModalDialogDisablesItsOwnerUntilEndDialogAndReturnsItsResult)
{
    struct ModalCase
    {
        const char* name;
        bool endAtInit;
        INT_PTR result;
    };
    const ModalCase cases[] = {
        {"ended from its loop", false, 42},
        {"ended at WM_INITDIALOG", true, 11},
    };
    Dialog d;
    auto bytes = Build(d);
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.name);
        HWND owner = MakeSheet("owner");
        ModalRecord record;
        record.owner = owner;
        record.endAtInit = c.endAtInit;
        EXPECT_EQ(DialogBoxIndirectParamA(nullptr, AsTemplate(bytes), owner, ModalProc,
                                          reinterpret_cast<LPARAM>(&record)),
                  c.result);
        if (!c.endAtInit)
        {
            EXPECT_FALSE(record.ownerEnabledWhileRunning);
            EXPECT_TRUE(record.visibleWhileRunning);
        }
        EXPECT_TRUE(IsWindowEnabled(owner));
        EXPECT_EQ(FindWindowA("#32770", nullptr), nullptr); // the dialog is gone
        DestroyWindow(owner);
    }

    HWND gone = MakeSheet("gone");
    DestroyWindow(gone);
    EXPECT_EQ(DialogBoxIndirectParamA(nullptr, AsTemplate(bytes), gone, ModalProc, 0), 0);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_WINDOW_HANDLE));
    EXPECT_EQ(DialogBoxIndirectParamA(nullptr, nullptr, nullptr, ModalProc, 0), -1);
}

// A modeless dialog: closing it is its Cancel command, on which it destroys itself.
INT_PTR CALLBACK ModelessProc(HWND hDlg, UINT message, WPARAM wParam, LPARAM lParam)
{
    auto* commands = reinterpret_cast<std::vector<WPARAM>*>(GetWindowLongPtrA(hDlg, DWLP_USER));
    switch (message)
    {
    case WM_INITDIALOG:
        SetWindowLongPtrA(hDlg, DWLP_USER, lParam);
        return TRUE;
    case WM_COMMAND:
        commands->push_back(wParam);
        if (LOWORD(wParam) == IDCANCEL)
        {
            DestroyWindow(hDlg);
        }
        return TRUE;
    case WM_APP:
        commands->push_back(0xA99);
        return TRUE;
    default:
        return FALSE;
    }
}

TEST(DialogTest, AModelessDialogsLoopHandsItsMessagesToIsDialogMessage)
{
    auto bytes = Build(PortPage());
    HWND sheet = MakeSheet("sheet");
    std::vector<WPARAM> commands;
    Dialog d = PortPage();
    d.style = WS_POPUP | WS_VISIBLE;
    auto modeless = Build(d);
    HWND dialog = CreateDialogIndirectParamA(nullptr, AsTemplate(modeless), sheet, ModelessProc,
                                             reinterpret_cast<LPARAM>(&commands));
    ASSERT_NE(dialog, nullptr);

    PostMessageA(dialog, WM_APP, 0, 0);
    PostMessageA(sheet, WM_APP, 0, 0);
    PostMessageA(dialog, WM_CLOSE, 0, 0);
    std::vector<BOOL> taken;
    MSG msg;
    while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE))
    {
        BOOL dialogs = IsWindow(dialog) && IsDialogMessageA(dialog, &msg);
        taken.push_back(dialogs);
        if (!dialogs)
        {
            DispatchMessageA(&msg);
        }
    }
    // WM_APP and WM_CLOSE were the dialog's; WM_CLOSE posted its Cancel command, which the dialog
    // took once it had no other (the sheet's message was not the dialog's).
    EXPECT_EQ(taken, (std::vector<BOOL>{TRUE, FALSE, TRUE, TRUE}));
    EXPECT_EQ(commands, (std::vector<WPARAM>{0xA99, MAKEWPARAM(IDCANCEL, BN_CLICKED)}));
    EXPECT_FALSE(IsWindow(dialog));
    MSG none{};
    EXPECT_FALSE(IsDialogMessageA(sheet, &none));
    DestroyWindow(sheet);
}

} // namespace
