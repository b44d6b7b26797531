// Property sheets: PropertySheetA and the sheet window.
//
// A sheet is a dialog (class #32770) that comctl32 builds from a template of its own: a caption and
// the OK, Cancel and Apply buttons (no Apply with PSH_NOAPPLYNOW). Nothing is drawn, so there is no
// tab control: the pages are child dialogs of the sheet, one shown at a time. The sheet's state
// (its pages, the current one, the pages that reported changes) lives in a Sheet object that the
// sheet's DWLP_USER points at. Like every window, a sheet and its pages belong to the thread that
// made them; nothing here is shared with other threads but the page table (comctl32.h).
//
// A page's dialog is made the first time the page is shown: the start page's when the sheet is
// made. PSPCB_CREATE goes first, and a page whose callback answers 0 gets no dialog. Notifications
// go to the pages as WM_NOTIFY with a PSHNOTIFY from the sheet; a page answers through
// DWLP_MSGRESULT, which the dialog manager returns. OK and Apply send PSN_KILLACTIVE to the current
// page and then PSN_APPLY to every page that has a dialog, in order; Cancel sends PSN_RESET to
// those. A modal sheet then ends its loop; a modeless one stays until its owner destroys it, and
// from then on answers PSM_GETCURRENTPAGEHWND with NULL. When the sheet window is destroyed, every
// page it took gets PSPCB_RELEASE, shown or not.
#include "comctl32/comctl32.h"
#include "internal.h"

#include <commctrl.h>

#include <string.h>

#include <set>
#include <string>
#include <vector>

namespace winsim::comctl32
{
namespace
{

struct Sheet
{
    HWND window = nullptr;
    DWORD flags = 0; // PSH_*
    std::vector<HPROPSHEETPAGE> pages;
    int current = -1;       // the page shown, -1 before the first
    std::set<HWND> changed; // pages that sent PSM_CHANGED since the last apply
    bool closed = false;    // OK or Cancel pressed
    bool applied = false;   // some apply went through (a modal sheet's result)
    INT_PTR restart = 0;    // ID_PSRESTARTWINDOWS or ID_PSREBOOTSYSTEM once asked for
};

Sheet* SheetOf(HWND hwnd)
{
    return reinterpret_cast<Sheet*>(GetWindowLongPtrA(hwnd, DWLP_USER));
}

bool IsIntResource(LPCSTR name)
{
    return (reinterpret_cast<ULONG_PTR>(name) >> 16) == 0;
}

// The title of a sheet with PSH_PROPTITLE, in the thread's user interface language: Japanese
// puts "のプロパティ" (in the ANSI code page) behind the caption, every other language " Properties".
std::string PropertiesTitle(const char* caption)
{
    std::string text = caption != nullptr && !IsIntResource(caption) ? caption : "";
    if (PRIMARYLANGID(GetThreadUILanguage()) == LANG_JAPANESE)
    {
        return text + winsim::user::AnsiFromWide(u"\u306E\u30D7\u30ED\u30D1\u30C6\u30A3");
    }
    return text + " Properties";
}

// --- the sheet's own template --------------------------------------------------------------------

// A DLGTEMPLATE with its items, built word by word.
class TemplateBuilder
{
  public:
    void Dialog(DWORD style, short cx, short cy, WORD items)
    {
        Dword(style);
        Dword(0);
        Word(items);
        Word(0);
        Word(0);
        Word(static_cast<WORD>(cx));
        Word(static_cast<WORD>(cy));
        Word(0); // no menu
        Word(0); // the dialog class
        Word(0); // the caption is set afterwards
    }
    void Button(WORD id, const char* text, short x, short y, DWORD style)
    {
        while (m_words.size() % 2 != 0)
        {
            Word(0);
        }
        Dword(WS_CHILD | WS_VISIBLE | WS_TABSTOP | style);
        Dword(0);
        Word(static_cast<WORD>(x));
        Word(static_cast<WORD>(y));
        Word(50);
        Word(14);
        Word(id);
        Word(0xFFFF);
        Word(0x0080); // Button
        for (const char* c = text; *c != '\0'; ++c)
        {
            Word(static_cast<WORD>(*c));
        }
        Word(0);
        Word(0); // no creation data
    }
    const DLGTEMPLATE* Template() const { return reinterpret_cast<const DLGTEMPLATE*>(m_words.data()); }

  private:
    void Word(WORD value) { m_words.push_back(value); }
    void Dword(DWORD value)
    {
        Word(static_cast<WORD>(value & 0xFFFF));
        Word(static_cast<WORD>(value >> 16));
    }
    std::vector<WORD> m_words;
};

// --- page templates ------------------------------------------------------------------------------

// A walker over a dialog template in memory, to find its length.
class TemplateReader
{
  public:
    explicit TemplateReader(const void* data) : m_base(static_cast<const BYTE*>(data)) {}
    WORD Word()
    {
        WORD value;
        memcpy(&value, m_base + m_offset, sizeof(value));
        m_offset += sizeof(value);
        return value;
    }
    DWORD Dword()
    {
        DWORD value;
        memcpy(&value, m_base + m_offset, sizeof(value));
        m_offset += sizeof(value);
        return value;
    }
    void Skip(size_t bytes) { m_offset += bytes; }
    void AlignDword() { m_offset = (m_offset + 3) & ~static_cast<size_t>(3); }
    // A string or an ordinal (0xFFFF and a WORD), or nothing (a single 0).
    void SkipNameOrOrdinal()
    {
        WORD first = Word();
        if (first == 0xFFFF)
        {
            Word();
            return;
        }
        while (first != 0)
        {
            first = Word();
        }
    }
    void SkipString()
    {
        while (Word() != 0)
        {
        }
    }
    size_t Offset() const { return m_offset; }

  private:
    const BYTE* m_base;
    size_t m_offset = 0;
};

// The byte length of a DLGTEMPLATE or DLGTEMPLATEEX with its items.
size_t TemplateLength(const void* data)
{
    TemplateReader reader(data);
    bool extended = reader.Word() == 1 && reader.Word() == 0xFFFF;
    reader = TemplateReader(data);
    DWORD style = 0;
    WORD items = 0;
    if (extended)
    {
        reader.Skip(4 + 4 + 4); // version and signature, help ID, extended style
        style = reader.Dword();
        items = reader.Word();
        reader.Skip(8);
    }
    else
    {
        style = reader.Dword();
        reader.Skip(4);
        items = reader.Word();
        reader.Skip(8);
    }
    reader.SkipNameOrOrdinal(); // menu
    reader.SkipNameOrOrdinal(); // class
    reader.SkipString();        // caption
    if ((style & DS_SETFONT) != 0)
    {
        reader.Skip(extended ? 6 : 2); // point size (weight, italic, character set)
        reader.SkipString();
    }
    for (WORD i = 0; i < items; ++i)
    {
        reader.AlignDword();
        reader.Skip(extended ? 24 : 18);
        reader.SkipNameOrOrdinal(); // class
        reader.SkipNameOrOrdinal(); // title
        WORD extra = reader.Word();
        reader.Skip(extra);
    }
    return reader.Offset();
}

// A page's template made fit to be a child of the sheet: a hidden, enabled control parent without
// a frame of its own, as Windows makes it.
std::vector<uint64_t> PageTemplate(const void* data)
{
    size_t length = TemplateLength(data);
    std::vector<uint64_t> copy((length + sizeof(uint64_t) - 1) / sizeof(uint64_t));
    memcpy(copy.data(), data, length);
    auto* bytes = reinterpret_cast<BYTE*>(copy.data());
    WORD signature = 0;
    memcpy(&signature, bytes + 2, sizeof(signature));
    size_t styleOffset = signature == 0xFFFF ? 12 : 0;
    size_t exStyleOffset = signature == 0xFFFF ? 8 : 4;
    DWORD style = 0;
    DWORD exStyle = 0;
    memcpy(&style, bytes + styleOffset, sizeof(style));
    memcpy(&exStyle, bytes + exStyleOffset, sizeof(exStyle));
    style |= WS_CHILD | WS_TABSTOP | DS_CONTROL;
    style &= ~static_cast<DWORD>(DS_MODALFRAME | WS_CAPTION | WS_SYSMENU | WS_POPUP | WS_DISABLED |
                                 WS_VISIBLE | WS_THICKFRAME);
    exStyle |= WS_EX_CONTROLPARENT;
    memcpy(bytes + styleOffset, &style, sizeof(style));
    memcpy(bytes + exStyleOffset, &exStyle, sizeof(exStyle));
    return copy;
}

// Makes a page's dialog, once. False when its callback refuses or its template is missing.
bool MakePageDialog(Sheet* sheet, HPROPSHEETPAGE page)
{
    if (page->dialog != nullptr)
    {
        return true;
    }
    PROPSHEETPAGEA* copy = page->Copy();
    if ((copy->dwFlags & PSP_USECALLBACK) != 0 && copy->pfnCallback != nullptr &&
        copy->pfnCallback(nullptr, PSPCB_CREATE, copy) == 0)
    {
        return false;
    }
    const void* data = nullptr;
    if ((copy->dwFlags & PSP_DLGINDIRECT) != 0)
    {
        data = copy->pResource;
    }
    else
    {
        HRSRC resource = FindResourceA(copy->hInstance, copy->pszTemplate, RT_DIALOG);
        HGLOBAL loaded = resource != nullptr ? LoadResource(copy->hInstance, resource) : nullptr;
        data = loaded != nullptr ? LockResource(loaded) : nullptr;
    }
    if (data == nullptr)
    {
        return false;
    }
    std::vector<uint64_t> pageTemplate = PageTemplate(data);
    page->dialog =
        CreateDialogIndirectParamA(copy->hInstance, reinterpret_cast<const DLGTEMPLATE*>(pageTemplate.data()),
                                   sheet->window, copy->pfnDlgProc, reinterpret_cast<LPARAM>(copy));
    return page->dialog != nullptr;
}

// --- notifications -------------------------------------------------------------------------------

LRESULT Notify(Sheet* sheet, HWND page, UINT code, LPARAM lParam)
{
    PSHNOTIFY notify{};
    notify.hdr.hwndFrom = sheet->window;
    notify.hdr.idFrom = 0;
    notify.hdr.code = code;
    notify.lParam = lParam;
    return SendMessageA(page, WM_NOTIFY, 0, reinterpret_cast<LPARAM>(&notify));
}

HWND CurrentDialog(Sheet* sheet)
{
    return sheet->current >= 0 ? sheet->pages[static_cast<size_t>(sheet->current)]->dialog : nullptr;
}

void UpdateApplyButton(Sheet* sheet)
{
    HWND apply = GetDlgItem(sheet->window, ID_APPLY_NOW);
    if (apply != nullptr)
    {
        EnableWindow(apply, sheet->changed.empty() ? FALSE : TRUE);
    }
}

// Shows another page: the current one may refuse to let go (PSN_KILLACTIVE answered TRUE).
bool SelectPage(Sheet* sheet, int index)
{
    if (index < 0 || static_cast<size_t>(index) >= sheet->pages.size())
    {
        return false;
    }
    HWND old = CurrentDialog(sheet);
    if (index == sheet->current)
    {
        return true;
    }
    if (old != nullptr && Notify(sheet, old, PSN_KILLACTIVE, 0) != FALSE)
    {
        return false;
    }
    HPROPSHEETPAGE page = sheet->pages[static_cast<size_t>(index)];
    if (!MakePageDialog(sheet, page))
    {
        return false;
    }
    if (old != nullptr)
    {
        ShowWindow(old, SW_HIDE);
    }
    sheet->current = index;
    Notify(sheet, page->dialog, PSN_SETACTIVE, 0);
    ShowWindow(page->dialog, SW_SHOW);
    return true;
}

// OK (ok TRUE) or Apply: true when every page took its changes.
bool Apply(Sheet* sheet, BOOL ok)
{
    HWND current = CurrentDialog(sheet);
    if (current != nullptr && Notify(sheet, current, PSN_KILLACTIVE, 0) != FALSE)
    {
        return false;
    }
    for (size_t i = 0; i < sheet->pages.size(); ++i)
    {
        HWND dialog = sheet->pages[i]->dialog;
        if (dialog == nullptr)
        {
            continue;
        }
        LRESULT result = Notify(sheet, dialog, PSN_APPLY, ok);
        if (result == PSNRET_INVALID)
        {
            SelectPage(sheet, static_cast<int>(i));
            return false;
        }
        if (result == PSNRET_INVALID_NOCHANGEPAGE)
        {
            return false;
        }
    }
    sheet->changed.clear();
    sheet->applied = true;
    UpdateApplyButton(sheet);
    return true;
}

void Close(Sheet* sheet)
{
    sheet->closed = true;
}

void PressOk(Sheet* sheet)
{
    if (Apply(sheet, TRUE))
    {
        Close(sheet);
    }
}

void PressCancel(Sheet* sheet, BOOL closeBox)
{
    HWND current = CurrentDialog(sheet);
    if (current != nullptr && Notify(sheet, current, PSN_QUERYCANCEL, 0) != FALSE)
    {
        return;
    }
    for (HPROPSHEETPAGE page : sheet->pages)
    {
        if (page->dialog != nullptr)
        {
            Notify(sheet, page->dialog, PSN_RESET, closeBox);
        }
    }
    Close(sheet);
}

int IndexOf(Sheet* sheet, HPROPSHEETPAGE page)
{
    for (size_t i = 0; i < sheet->pages.size(); ++i)
    {
        if (sheet->pages[i] == page)
        {
            return static_cast<int>(i);
        }
    }
    return -1;
}

int IndexOfDialog(Sheet* sheet, HWND dialog)
{
    for (size_t i = 0; i < sheet->pages.size(); ++i)
    {
        if (dialog != nullptr && sheet->pages[i]->dialog == dialog)
        {
            return static_cast<int>(i);
        }
    }
    return -1;
}

// The sheet's messages; the dialog manager returns `result` for them.
bool SheetMessage(Sheet* sheet, UINT message, WPARAM wParam, LPARAM lParam, LRESULT* result)
{
    *result = 0;
    switch (message)
    {
    case WM_COMMAND:
        switch (LOWORD(wParam))
        {
        case IDOK:
            PressOk(sheet);
            return true;
        case IDCANCEL:
            PressCancel(sheet, FALSE);
            return true;
        case ID_APPLY_NOW:
            Apply(sheet, FALSE);
            return true;
        default:
            return false;
        }
    case WM_CLOSE:
        PressCancel(sheet, TRUE);
        return true;
    case PSM_SETCURSEL: {
        auto* page = reinterpret_cast<HPROPSHEETPAGE>(lParam);
        int index = page != nullptr ? IndexOf(sheet, page) : static_cast<int>(wParam);
        *result = SelectPage(sheet, index) ? TRUE : FALSE;
        return true;
    }
    case PSM_CHANGED:
        if (IndexOfDialog(sheet, reinterpret_cast<HWND>(wParam)) >= 0)
        {
            sheet->changed.insert(reinterpret_cast<HWND>(wParam));
            UpdateApplyButton(sheet);
        }
        return true;
    case PSM_UNCHANGED:
        sheet->changed.erase(reinterpret_cast<HWND>(wParam));
        UpdateApplyButton(sheet);
        return true;
    case PSM_APPLY:
        *result = Apply(sheet, FALSE) ? TRUE : FALSE;
        return true;
    case PSM_PRESSBUTTON:
        switch (wParam)
        {
        case PSBTN_OK:
            PressOk(sheet);
            break;
        case PSBTN_CANCEL:
            PressCancel(sheet, FALSE);
            break;
        case PSBTN_APPLYNOW: {
            // As a click on the button: nothing while it is disabled or missing.
            HWND apply = GetDlgItem(sheet->window, ID_APPLY_NOW);
            if (apply != nullptr && IsWindowEnabled(apply))
            {
                Apply(sheet, FALSE);
            }
            break;
        }
        default:
            break;
        }
        return true;
    case PSM_SETTITLEA: {
        auto text = reinterpret_cast<LPCSTR>(lParam);
        std::string title = (wParam & PSH_PROPTITLE) != 0
                                ? PropertiesTitle(text)
                                : (text != nullptr && !IsIntResource(text) ? text : "");
        SetWindowTextA(sheet->window, title.c_str());
        return true;
    }
    case PSM_GETCURRENTPAGEHWND:
        *result = sheet->closed ? 0 : reinterpret_cast<LRESULT>(CurrentDialog(sheet));
        return true;
    case PSM_ISDIALOGMESSAGE:
        *result = IsDialogMessageA(sheet->window, reinterpret_cast<LPMSG>(lParam));
        return true;
    case PSM_RESTARTWINDOWS:
        sheet->restart |= ID_PSRESTARTWINDOWS;
        return true;
    case PSM_REBOOTSYSTEM:
        sheet->restart |= ID_PSREBOOTSYSTEM;
        return true;
    case PSM_INDEXTOHWND:
        *result = wParam < sheet->pages.size() ? reinterpret_cast<LRESULT>(sheet->pages[wParam]->dialog) : 0;
        return true;
    case PSM_HWNDTOINDEX:
        *result = IndexOfDialog(sheet, reinterpret_cast<HWND>(wParam));
        return true;
    case PSM_INDEXTOPAGE:
        *result = wParam < sheet->pages.size() ? reinterpret_cast<LRESULT>(sheet->pages[wParam]) : 0;
        return true;
    case PSM_PAGETOINDEX:
        *result = IndexOf(sheet, reinterpret_cast<HPROPSHEETPAGE>(lParam));
        return true;
    default:
        return false;
    }
}

// The sheet's dialog procedure. WM_INITDIALOG's parameter is the Sheet.
INT_PTR CALLBACK SheetProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (message == WM_INITDIALOG)
    {
        auto* sheet = reinterpret_cast<Sheet*>(lParam);
        sheet->window = hwnd;
        SetWindowLongPtrA(hwnd, DWLP_USER, lParam);
        return FALSE;
    }
    Sheet* sheet = SheetOf(hwnd);
    if (sheet == nullptr)
    {
        return FALSE;
    }
    if (message == WM_DESTROY)
    {
        // The pages' dialogs go first, then every page the sheet took, shown or not.
        for (HPROPSHEETPAGE page : sheet->pages)
        {
            if (page->dialog != nullptr && IsWindow(page->dialog))
            {
                DestroyWindow(page->dialog);
            }
            page->dialog = nullptr;
        }
        SetWindowLongPtrA(hwnd, DWLP_USER, 0);
        for (HPROPSHEETPAGE page : sheet->pages)
        {
            ReleasePage(page);
        }
        delete sheet;
        return FALSE;
    }
    LRESULT result = 0;
    if (!SheetMessage(sheet, message, wParam, lParam, &result))
    {
        return FALSE;
    }
    SetWindowLongPtrA(hwnd, DWLP_MSGRESULT, result);
    return TRUE;
}

// The pages a header lists: its page handles, or pages made from its PROPSHEETPAGE records.
std::vector<HPROPSHEETPAGE> PagesOf(LPCPROPSHEETHEADERA header)
{
    std::vector<HPROPSHEETPAGE> pages;
    UINT count = header->nPages < MAXPROPPAGES ? header->nPages : MAXPROPPAGES;
    if ((header->dwFlags & PSH_PROPSHEETPAGE) != 0)
    {
        auto* record = reinterpret_cast<const BYTE*>(header->ppsp);
        for (UINT i = 0; i < count && record != nullptr; ++i)
        {
            auto* psp = reinterpret_cast<LPCPROPSHEETPAGEA>(record);
            HPROPSHEETPAGE page = CreatePropertySheetPageA(psp);
            if (page != nullptr)
            {
                pages.push_back(page);
            }
            record += psp->dwSize;
        }
        return pages;
    }
    for (UINT i = 0; i < count && header->phpage != nullptr; ++i)
    {
        if (IsPage(header->phpage[i]))
        {
            pages.push_back(header->phpage[i]);
        }
    }
    return pages;
}

} // namespace
} // namespace winsim::comctl32

using namespace winsim::comctl32;

extern "C"
{

    INT_PTR WINAPI PropertySheetA(LPCPROPSHEETHEADERA lppsph)
    {
        constexpr DWORD wizard = PSH_WIZARD | PSH_WIZARD97 | PSH_WIZARD_LITE | PSH_AEROWIZARD;
        if (lppsph == nullptr ||
            (lppsph->dwSize != PROPSHEETHEADERA_V1_SIZE && lppsph->dwSize != PROPSHEETHEADERA_V2_SIZE) ||
            (lppsph->dwFlags & wizard) != 0)
        {
            return -1;
        }
        bool modeless = (lppsph->dwFlags & PSH_MODELESS) != 0;
        auto* sheet = new Sheet;
        sheet->flags = lppsph->dwFlags;
        bool withApply = (lppsph->dwFlags & PSH_NOAPPLYNOW) == 0;

        TemplateBuilder builder;
        builder.Dialog(WS_POPUP | WS_CAPTION | WS_SYSMENU | DS_MODALFRAME | DS_3DLOOK |
                           (modeless ? WS_VISIBLE : 0),
                       240, 230, withApply ? 3 : 2);
        builder.Button(IDOK, "OK", withApply ? 77 : 131, 210, BS_DEFPUSHBUTTON);
        builder.Button(IDCANCEL, "Cancel", withApply ? 131 : 185, 210, BS_PUSHBUTTON);
        if (withApply)
        {
            builder.Button(ID_APPLY_NOW, "&Apply", 185, 210, BS_PUSHBUTTON);
        }

        if ((lppsph->dwFlags & PSH_USECALLBACK) != 0 && lppsph->pfnCallback != nullptr)
        {
            lppsph->pfnCallback(nullptr, PSCB_PRECREATE, reinterpret_cast<LPARAM>(builder.Template()));
        }
        HWND hwnd = CreateDialogIndirectParamA(lppsph->hInstance, builder.Template(), lppsph->hwndParent,
                                               SheetProc, reinterpret_cast<LPARAM>(sheet));
        if (hwnd == nullptr)
        {
            delete sheet;
            return -1;
        }
        // The sheet takes its pages now: from here on it releases them.
        for (HPROPSHEETPAGE page : PagesOf(lppsph))
        {
            if (TakePage(page, hwnd))
            {
                sheet->pages.push_back(page);
            }
        }
        UpdateApplyButton(sheet);
        std::string caption =
            lppsph->pszCaption != nullptr && !IsIntResource(lppsph->pszCaption) ? lppsph->pszCaption : "";
        SetWindowTextA(hwnd, (lppsph->dwFlags & PSH_PROPTITLE) != 0 ? PropertiesTitle(caption.c_str()).c_str()
                                                                    : caption.c_str());
        if ((lppsph->dwFlags & PSH_USECALLBACK) != 0 && lppsph->pfnCallback != nullptr)
        {
            lppsph->pfnCallback(hwnd, PSCB_INITIALIZED, 0);
        }
        int start = 0;
        if ((lppsph->dwFlags & PSH_USEPSTARTPAGE) == 0 && lppsph->nStartPage < sheet->pages.size())
        {
            start = static_cast<int>(lppsph->nStartPage);
        }
        SelectPage(sheet, start);
        if (modeless)
        {
            return reinterpret_cast<INT_PTR>(hwnd);
        }

        // Modal: the owner is disabled while the sheet's own loop runs.
        HWND owner = lppsph->hwndParent;
        BOOL ownerWasDisabled = owner != nullptr ? EnableWindow(owner, FALSE) : FALSE;
        ShowWindow(hwnd, SW_SHOW);
        MSG msg;
        bool quit = false;
        WPARAM quitCode = 0;
        while (!sheet->closed)
        {
            if (GetMessageA(&msg, nullptr, 0, 0) <= 0)
            {
                quit = true;
                quitCode = msg.wParam;
                PressCancel(sheet, TRUE);
                break;
            }
            if (!IsDialogMessageA(hwnd, &msg))
            {
                TranslateMessage(&msg);
                DispatchMessageA(&msg);
            }
        }
        INT_PTR result = sheet->restart != 0 ? sheet->restart : (sheet->applied ? 1 : 0);
        if (owner != nullptr && !ownerWasDisabled)
        {
            EnableWindow(owner, TRUE);
        }
        DestroyWindow(hwnd);
        if (quit)
        {
            PostQuitMessage(static_cast<int>(quitCode));
        }
        return result;
    }
}
