// The dialog manager: dialogs made from templates in memory (DLGTEMPLATE and DLGTEMPLATEEX), their
// controls, the default dialog procedure and the modal loop.
//
// A dialog is a window of the dialog class (#32770, or a private class whose procedure calls
// DefDlgProcA) with DLGWINDOWEXTRA bytes of window data: the message result at DWLP_MSGRESULT, the
// dialog procedure at DWLP_DLGPROC and the program's pointer at DWLP_USER. What else the manager
// keeps of a dialog (its font, its base units, whether EndDialog was called) is the window's
// DialogState, under the user lock.
//
// Fonts are names only: there is no GDI. A dialog's font is a handle the manager makes for the
// template's face, size and weight, the same handle for the same font; the dialog and its controls
// get it by WM_SETFONT and answer it to WM_GETFONT. Dialog units are mapped to pixels with base
// units the manager decides (see DialogBaseUnits), not measured ones.
#include "internal.h"
#include "user32/user32.h"

#include <string.h>

namespace winsim::user32
{
namespace
{

// Base units of the system font (GetDialogBaseUnits), and of a dialog font of 8 points; a dialog
// font of another size scales the latter.
constexpr int SystemBaseX = 8;
constexpr int SystemBaseY = 16;
constexpr int FontBaseX = 6;
constexpr int FontBaseY = 13;
constexpr int FontBasePoints = 8;

struct DialogState : ClassState
{
    DialogState() : ClassState(Kind::Dialog) {}
    HFONT font = nullptr;
    int baseX = SystemBaseX;
    int baseY = SystemBaseY;
    bool ended = false; // EndDialog was called
    INT_PTR result = 0; // EndDialog's nResult
};

DialogState* DialogOf(HWND hwnd)
{
    Window* window = WindowOf(hwnd);
    if (window == nullptr || window->state == nullptr || window->state->kind != ClassState::Kind::Dialog)
    {
        return nullptr;
    }
    return static_cast<DialogState*>(window->state.get());
}

// --- fonts ---

struct Font
{
    std::string face;
    WORD points = 0;
    WORD weight = 0;
    BYTE italic = 0;
    BYTE charset = 0;
};

// The fonts dialogs asked for; a font's handle is its address. Never freed. User lock held.
HFONT FontHandle(const Font& font)
{
    static auto* fonts = new std::vector<Font*>;
    for (Font* known : *fonts)
    {
        if (known->face == font.face && known->points == font.points && known->weight == font.weight &&
            known->italic == font.italic && known->charset == font.charset)
        {
            return reinterpret_cast<HFONT>(known);
        }
    }
    fonts->push_back(new Font(font));
    return reinterpret_cast<HFONT>(fonts->back());
}

// MulDiv's rounding: halves away from zero.
LONG Scale(LONG value, int numerator, int denominator)
{
    long long product = static_cast<long long>(value) * numerator;
    long long half = denominator / 2;
    return static_cast<LONG>(product >= 0 ? (product + half) / denominator : (product - half) / denominator);
}

// --- templates ---

// A class, title or menu field: an ordinal (0xFFFF nnnn) or a string.
struct NameOrOrdinal
{
    bool isOrdinal = false;
    WORD ordinal = 0;
    std::string text; // ANSI (UTF-8)
};

struct ItemTemplate
{
    DWORD style = 0;
    DWORD exStyle = 0;
    short x = 0;
    short y = 0;
    short cx = 0;
    short cy = 0;
    DWORD id = 0;
    NameOrOrdinal windowClass;
    NameOrOrdinal title;
    const void* creationData = nullptr; // its size WORD, then the data; null when there is none
};

struct DialogTemplate
{
    DWORD style = 0;
    DWORD exStyle = 0;
    short x = 0;
    short y = 0;
    short cx = 0;
    short cy = 0;
    NameOrOrdinal windowClass;
    std::string title;
    bool hasFont = false;
    Font font;
    std::vector<ItemTemplate> items;
};

// Reads a template in resource layout: little-endian, UTF-16 strings, unaligned fields read
// byte-wise.
class TemplateReader
{
  public:
    explicit TemplateReader(const void* start) : m_start(static_cast<const BYTE*>(start)), m_at(m_start) {}

    WORD Word()
    {
        WORD value;
        memcpy(&value, m_at, sizeof(value));
        m_at += sizeof(value);
        return value;
    }
    DWORD Dword()
    {
        DWORD value;
        memcpy(&value, m_at, sizeof(value));
        m_at += sizeof(value);
        return value;
    }
    short Short() { return static_cast<short>(Word()); }
    BYTE Byte() { return *m_at++; }
    std::string String()
    {
        std::u16string text;
        for (WORD c = Word(); c != 0; c = Word())
        {
            text.push_back(static_cast<char16_t>(c));
        }
        return user::AnsiFromWide(text);
    }
    NameOrOrdinal NameOrOrdinalField()
    {
        NameOrOrdinal field;
        WORD first;
        memcpy(&first, m_at, sizeof(first));
        if (first == 0xFFFF)
        {
            Word();
            field.isOrdinal = true;
            field.ordinal = Word();
            return field;
        }
        field.text = String();
        return field;
    }
    const BYTE* Here() const { return m_at; }
    void Skip(size_t bytes) { m_at += bytes; }
    // To the next DWORD boundary from the template's start.
    void AlignDword()
    {
        size_t offset = static_cast<size_t>(m_at - m_start);
        m_at += (4 - offset % 4) % 4;
    }

  private:
    const BYTE* m_start;
    const BYTE* m_at;
};

DialogTemplate Parse(const void* data)
{
    TemplateReader reader(data);
    DialogTemplate dialog;
    const BYTE* start = static_cast<const BYTE*>(data);
    WORD version;
    WORD signature;
    memcpy(&version, start, sizeof(version));
    memcpy(&signature, start + 2, sizeof(signature));
    bool extended = version == 1 && signature == 0xFFFF;
    WORD count = 0;
    if (extended)
    {
        reader.Skip(4);
        reader.Dword(); // helpID
        dialog.exStyle = reader.Dword();
        dialog.style = reader.Dword();
    }
    else
    {
        dialog.style = reader.Dword();
        dialog.exStyle = reader.Dword();
    }
    count = reader.Word();
    dialog.x = reader.Short();
    dialog.y = reader.Short();
    dialog.cx = reader.Short();
    dialog.cy = reader.Short();
    reader.NameOrOrdinalField(); // the menu: this machine has no menus
    dialog.windowClass = reader.NameOrOrdinalField();
    dialog.title = reader.NameOrOrdinalField().text;
    if ((dialog.style & DS_SETFONT) != 0)
    {
        dialog.hasFont = true;
        dialog.font.points = reader.Word();
        if (extended)
        {
            dialog.font.weight = reader.Word();
            dialog.font.italic = reader.Byte();
            dialog.font.charset = reader.Byte();
        }
        dialog.font.face = reader.String();
    }
    for (WORD i = 0; i < count; ++i)
    {
        reader.AlignDword();
        ItemTemplate item;
        if (extended)
        {
            reader.Dword(); // helpID
            item.exStyle = reader.Dword();
            item.style = reader.Dword();
        }
        else
        {
            item.style = reader.Dword();
            item.exStyle = reader.Dword();
        }
        item.x = reader.Short();
        item.y = reader.Short();
        item.cx = reader.Short();
        item.cy = reader.Short();
        item.id = extended ? reader.Dword() : reader.Word();
        item.windowClass = reader.NameOrOrdinalField();
        item.title = reader.NameOrOrdinalField();
        const BYTE* sizeField = reader.Here();
        WORD extra = reader.Word();
        if (extra != 0)
        {
            item.creationData = sizeField;
            reader.Skip(extra);
        }
        dialog.items.push_back(item);
    }
    return dialog;
}

// The class a template names: the predefined ordinals 0x0080..0x0085, another atom, or a name.
std::string ClassNameOf(const NameOrOrdinal& field, LPCSTR& argument)
{
    static const char* const predefined[] = {"Button", "Edit", "Static", "ListBox", "ScrollBar", "ComboBox"};
    if (!field.isOrdinal)
    {
        argument = nullptr;
        return field.text;
    }
    if (field.ordinal >= 0x0080 && field.ordinal <= 0x0085)
    {
        argument = nullptr;
        return predefined[field.ordinal - 0x0080];
    }
    argument = MAKEINTATOM(field.ordinal);
    return std::string();
}

// The window data of a dialog at `offset`, if the window has it. User lock held.
bool ReadData(Window& window, int offset, LONG_PTR& value)
{
    if (static_cast<size_t>(offset) + sizeof(LONG_PTR) > window.extra.size())
    {
        return false;
    }
    memcpy(&value, window.extra.data() + offset, sizeof(value));
    return true;
}

void WriteData(Window& window, int offset, LONG_PTR value)
{
    if (static_cast<size_t>(offset) + sizeof(LONG_PTR) <= window.extra.size())
    {
        memcpy(window.extra.data() + offset, &value, sizeof(value));
    }
}

// The messages whose dialog procedure's answer is the result itself, not DWLP_MSGRESULT.
bool AnswersDirectly(UINT message)
{
    switch (message)
    {
    case WM_CHARTOITEM:
    case WM_COMPAREITEM:
    case WM_CTLCOLORBTN:
    case WM_CTLCOLORDLG:
    case WM_CTLCOLOREDIT:
    case WM_CTLCOLORLISTBOX:
    case WM_CTLCOLORSCROLLBAR:
    case WM_CTLCOLORSTATIC:
    case WM_INITDIALOG:
    case WM_QUERYDRAGICON:
    case WM_VKEYTOITEM:
        return true;
    default:
        return false;
    }
}

// The control that takes the focus first: the first visible, enabled control with WS_TABSTOP.
HWND FirstTabStop(HWND dialog)
{
    std::lock_guard<std::mutex> guard(UserLock());
    for (Window* child : ChildrenOf(dialog))
    {
        if ((child->style & (WS_TABSTOP | WS_VISIBLE | WS_DISABLED)) == (WS_TABSTOP | WS_VISIBLE))
        {
            return child->handle;
        }
    }
    return nullptr;
}

// Makes the dialog and its controls; the dialog procedure has WM_INITDIALOG when it returns.
// Null (last error set) when the dialog or a control could not be made.
HWND CreateFromTemplate(HINSTANCE instance, const void* data, HWND parent, DLGPROC proc, LPARAM init)
{
    if (data == nullptr)
    {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    DialogTemplate dialog = Parse(data);
    auto state = std::make_unique<DialogState>();
    if (dialog.hasFont)
    {
        int points = dialog.font.points != 0 ? dialog.font.points : FontBasePoints;
        state->baseX = static_cast<int>(Scale(FontBaseX, points, FontBasePoints));
        state->baseY = static_cast<int>(Scale(FontBaseY, points, FontBasePoints));
        std::lock_guard<std::mutex> guard(UserLock());
        state->font = FontHandle(dialog.font);
    }
    int baseX = state->baseX;
    int baseY = state->baseY;
    HFONT font = state->font;

    LPCSTR classArgument = nullptr;
    std::string className = dialog.windowClass.isOrdinal || !dialog.windowClass.text.empty()
                                ? ClassNameOf(dialog.windowClass, classArgument)
                                : std::string("#32770");
    if (classArgument == nullptr)
    {
        classArgument = className.c_str();
    }
    // Shown (WS_VISIBLE) only once WM_INITDIALOG has been answered.
    HWND hDlg =
        CreateWindowExA(dialog.exStyle, classArgument, dialog.title.c_str(), dialog.style & ~WS_VISIBLE,
                        Scale(dialog.x, baseX, 4), Scale(dialog.y, baseY, 8), Scale(dialog.cx, baseX, 4),
                        Scale(dialog.cy, baseY, 8), parent, nullptr, instance, nullptr);
    if (hDlg == nullptr)
    {
        return nullptr;
    }
    {
        std::lock_guard<std::mutex> guard(UserLock());
        Window* window = WindowOf(hDlg);
        if (window == nullptr)
        {
            return nullptr;
        }
        window->state = std::move(state);
        WriteData(*window, DWLP_DLGPROC, reinterpret_cast<LONG_PTR>(proc));
    }
    if (font != nullptr)
    {
        SendMessageA(hDlg, WM_SETFONT, reinterpret_cast<WPARAM>(font), FALSE);
    }
    for (const ItemTemplate& item : dialog.items)
    {
        LPCSTR itemClass = nullptr;
        std::string itemClassName = ClassNameOf(item.windowClass, itemClass);
        if (itemClass == nullptr)
        {
            itemClass = itemClassName.c_str();
        }
        // A title given as an ordinal (an icon's resource) is no text.
        HWND control = CreateWindowExA(
            item.exStyle | WS_EX_NOPARENTNOTIFY, itemClass,
            item.title.isOrdinal ? "" : item.title.text.c_str(), item.style | WS_CHILD,
            Scale(item.x, baseX, 4), Scale(item.y, baseY, 8), Scale(item.cx, baseX, 4),
            Scale(item.cy, baseY, 8), hDlg, reinterpret_cast<HMENU>(static_cast<ULONG_PTR>(item.id)),
            instance, const_cast<void*>(item.creationData));
        if (control == nullptr)
        {
            if ((dialog.style & DS_NOFAILCREATE) != 0)
            {
                continue;
            }
            DWORD error = GetLastError();
            DestroyWindow(hDlg);
            SetLastError(error);
            return nullptr;
        }
        if (font != nullptr)
        {
            SendMessageA(control, WM_SETFONT, reinterpret_cast<WPARAM>(font), FALSE);
        }
    }
    HWND focus = FirstTabStop(hDlg);
    if (SendMessageA(hDlg, WM_INITDIALOG, reinterpret_cast<WPARAM>(focus), init) != 0 && focus != nullptr &&
        IsWindow(focus))
    {
        SetFocus(focus);
    }
    if (!IsWindow(hDlg))
    {
        return nullptr;
    }
    if ((dialog.style & WS_VISIBLE) != 0)
    {
        ShowWindow(hDlg, SW_SHOWNORMAL);
    }
    return hDlg;
}

// The window a modal dialog disables: the top-level window of its parent.
HWND TopLevelOf(HWND hwnd)
{
    std::lock_guard<std::mutex> guard(UserLock());
    Window* window = WindowOf(hwnd);
    while (window != nullptr && window->parent != nullptr)
    {
        window = WindowOf(window->parent);
    }
    return window != nullptr ? window->handle : nullptr;
}

} // namespace
} // namespace winsim::user32

using namespace winsim::user32;

extern "C"
{

    LRESULT WINAPI DefDlgProcA(HWND hDlg, UINT Msg, WPARAM wParam, LPARAM lParam)
    {
        DLGPROC proc = nullptr;
        {
            std::lock_guard<std::mutex> guard(UserLock());
            Window* window = WindowOf(hDlg);
            if (window == nullptr)
            {
                SetLastError(ERROR_INVALID_WINDOW_HANDLE);
                return 0;
            }
            if (Msg == WM_NCCREATE && window->state == nullptr)
            {
                // A dialog made by CreateWindowEx rather than from a template.
                window->state = std::make_unique<DialogState>();
            }
            LONG_PTR value = 0;
            if (ReadData(*window, DWLP_DLGPROC, value))
            {
                proc = reinterpret_cast<DLGPROC>(value);
                WriteData(*window, DWLP_MSGRESULT, 0);
            }
        }
        if (proc != nullptr)
        {
            INT_PTR answer = proc(hDlg, Msg, wParam, lParam);
            if (answer != 0)
            {
                if (AnswersDirectly(Msg))
                {
                    return answer;
                }
                std::lock_guard<std::mutex> guard(UserLock());
                Window* window = WindowOf(hDlg);
                LONG_PTR result = 0;
                return window != nullptr && ReadData(*window, DWLP_MSGRESULT, result) ? result : 0;
            }
        }
        // The dialog procedure left the message to the manager.
        switch (Msg)
        {
        case WM_INITDIALOG:
            return 0;
        case WM_CLOSE:
            // Closing a dialog is pressing its Cancel button.
            PostMessageA(hDlg, WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED),
                         reinterpret_cast<LPARAM>(GetDlgItem(hDlg, IDCANCEL)));
            return 0;
        case WM_SETFONT:
        case WM_GETFONT: {
            std::lock_guard<std::mutex> guard(UserLock());
            DialogState* dialog = DialogOf(hDlg);
            if (dialog == nullptr)
            {
                return 0;
            }
            if (Msg == WM_SETFONT)
            {
                dialog->font = reinterpret_cast<HFONT>(wParam);
                return 0;
            }
            return reinterpret_cast<LRESULT>(dialog->font);
        }
        default:
            return DefWindowProcA(hDlg, Msg, wParam, lParam);
        }
    }

    HWND WINAPI CreateDialogIndirectParamA(HINSTANCE hInstance, LPCDLGTEMPLATEA lpTemplate, HWND hWndParent,
                                           DLGPROC lpDialogFunc, LPARAM dwInitParam)
    {
        return CreateFromTemplate(hInstance, lpTemplate, hWndParent, lpDialogFunc, dwInitParam);
    }

    INT_PTR WINAPI DialogBoxIndirectParamA(HINSTANCE hInstance, LPCDLGTEMPLATEA hDialogTemplate,
                                           HWND hWndParent, DLGPROC lpDialogFunc, LPARAM dwInitParam)
    {
        if (hWndParent != nullptr && !IsWindow(hWndParent))
        {
            SetLastError(ERROR_INVALID_WINDOW_HANDLE);
            return 0;
        }
        HWND hDlg = CreateFromTemplate(hInstance, hDialogTemplate, hWndParent, lpDialogFunc, dwInitParam);
        if (hDlg == nullptr)
        {
            return -1;
        }
        // The owner takes no input while the dialog runs.
        HWND owner = TopLevelOf(hWndParent);
        bool reenable = owner != nullptr && IsWindowEnabled(owner) && EnableWindow(owner, FALSE) == FALSE;
        auto ended = [hDlg](INT_PTR& result) {
            std::lock_guard<std::mutex> guard(UserLock());
            DialogState* dialog = DialogOf(hDlg);
            if (dialog == nullptr)
            {
                result = 0;
                return true;
            }
            result = dialog->result;
            return dialog->ended;
        };
        INT_PTR result = 0;
        if (!ended(result))
        {
            ShowWindow(hDlg, SW_SHOWNORMAL);
        }
        while (!ended(result))
        {
            MSG msg;
            BOOL got = GetMessageA(&msg, nullptr, 0, 0);
            if (got == 0)
            {
                // WM_QUIT ends the dialog and stays for the thread's own loop.
                PostQuitMessage(static_cast<int>(msg.wParam));
                result = 0;
                break;
            }
            if (got == -1)
            {
                result = -1;
                break;
            }
            if (!IsDialogMessageA(hDlg, &msg))
            {
                TranslateMessage(&msg);
                DispatchMessageA(&msg);
            }
        }
        if (reenable)
        {
            EnableWindow(owner, TRUE);
        }
        if (IsWindow(hDlg))
        {
            DestroyWindow(hDlg);
        }
        return result;
    }

    BOOL WINAPI EndDialog(HWND hDlg, INT_PTR nResult)
    {
        {
            std::lock_guard<std::mutex> guard(UserLock());
            if (WindowOf(hDlg) == nullptr)
            {
                SetLastError(ERROR_INVALID_WINDOW_HANDLE);
                return FALSE;
            }
            DialogState* dialog = DialogOf(hDlg);
            if (dialog == nullptr)
            {
                SetLastError(ERROR_WINDOW_NOT_DIALOG);
                return FALSE;
            }
            dialog->ended = true;
            dialog->result = nResult;
        }
        ShowWindow(hDlg, SW_HIDE);
        // A modal loop waiting for a message looks again.
        PostMessageA(hDlg, WM_NULL, 0, 0);
        return TRUE;
    }

    BOOL WINAPI IsDialogMessageA(HWND hDlg, LPMSG lpMsg)
    {
        if (lpMsg == nullptr)
        {
            return FALSE;
        }
        {
            std::lock_guard<std::mutex> guard(UserLock());
            if (WindowOf(hDlg) == nullptr || lpMsg->hwnd == nullptr || !IsSelfOrDescendant(hDlg, lpMsg->hwnd))
            {
                return FALSE;
            }
        }
        // No keyboard on this machine: nothing to navigate; the message goes to its window.
        DispatchMessageA(lpMsg);
        return TRUE;
    }

    BOOL WINAPI MapDialogRect(HWND hDlg, LPRECT lpRect)
    {
        int baseX = 0;
        int baseY = 0;
        {
            std::lock_guard<std::mutex> guard(UserLock());
            if (WindowOf(hDlg) == nullptr)
            {
                SetLastError(ERROR_INVALID_WINDOW_HANDLE);
                return FALSE;
            }
            DialogState* dialog = DialogOf(hDlg);
            if (dialog == nullptr)
            {
                SetLastError(ERROR_WINDOW_NOT_DIALOG);
                return FALSE;
            }
            baseX = dialog->baseX;
            baseY = dialog->baseY;
        }
        if (lpRect == nullptr)
        {
            SetLastError(ERROR_INVALID_PARAMETER);
            return FALSE;
        }
        lpRect->left = Scale(lpRect->left, baseX, 4);
        lpRect->right = Scale(lpRect->right, baseX, 4);
        lpRect->top = Scale(lpRect->top, baseY, 8);
        lpRect->bottom = Scale(lpRect->bottom, baseY, 8);
        return TRUE;
    }

    LONG WINAPI GetDialogBaseUnits(void)
    {
        return static_cast<LONG>(MAKELONG(SystemBaseX, SystemBaseY));
    }

    HWND WINAPI GetDlgItem(HWND hDlg, int nIDDlgItem)
    {
        std::lock_guard<std::mutex> guard(UserLock());
        if (WindowOf(hDlg) == nullptr)
        {
            SetLastError(ERROR_INVALID_WINDOW_HANDLE);
            return nullptr;
        }
        for (Window* child : ChildrenOf(hDlg))
        {
            if (static_cast<int>(child->id) == nIDDlgItem)
            {
                return child->handle;
            }
        }
        SetLastError(ERROR_CONTROL_ID_NOT_FOUND);
        return nullptr;
    }

    LRESULT WINAPI SendDlgItemMessageA(HWND hDlg, int nIDDlgItem, UINT Msg, WPARAM wParam, LPARAM lParam)
    {
        HWND item = GetDlgItem(hDlg, nIDDlgItem);
        return item != nullptr ? SendMessageA(item, Msg, wParam, lParam) : 0;
    }

    UINT WINAPI GetDlgItemTextA(HWND hDlg, int nIDDlgItem, LPSTR lpString, int cchMax)
    {
        HWND item = GetDlgItem(hDlg, nIDDlgItem);
        if (item == nullptr)
        {
            if (lpString != nullptr && cchMax > 0)
            {
                lpString[0] = 0;
            }
            return 0;
        }
        return static_cast<UINT>(GetWindowTextA(item, lpString, cchMax));
    }

    BOOL WINAPI SetDlgItemTextA(HWND hDlg, int nIDDlgItem, LPCSTR lpString)
    {
        HWND item = GetDlgItem(hDlg, nIDDlgItem);
        return item != nullptr ? SetWindowTextA(item, lpString) : FALSE;
    }

} // extern "C"
