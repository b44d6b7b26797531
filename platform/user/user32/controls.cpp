// The system classes: the dialog class (#32770, served by DefDlgProcA in dialog.cpp) and the
// controls a dialog template names: Static, Button and ComboBox. They are global classes of
// user32's own module, registered the first time the process creates a window.
//
// A control keeps its state (font, a combo box's items and selection) in its window's ClassState,
// under the user lock. Notifications to the parent (WM_COMMAND) are sent after the lock is
// released. Nothing is drawn: a static and a button are their text; a combo box is its list, its
// selection and the text that follows the selection.
#include "internal.h"
#include "user32/user32.h"

#include <winsim/user.h>

#include <strings.h>

#include <algorithm>

namespace winsim::user32
{
namespace
{

struct ComboItem
{
    std::string text;
    ULONG_PTR data = 0;
};

struct ControlState : ClassState
{
    ControlState() : ClassState(Kind::Control) {}
    HFONT font = nullptr; // WM_SETFONT
    // A combo box's list and selection (-1: none).
    std::vector<ComboItem> items;
    int selection = -1;
};

// The module of the system classes: an address of user32's own stands for it.
char g_moduleTag;

ControlState* ControlOf(HWND hwnd, Window** windowOut = nullptr)
{
    Window* window = WindowOf(hwnd);
    if (windowOut != nullptr)
    {
        *windowOut = window;
    }
    if (window == nullptr || window->state == nullptr || window->state->kind != ClassState::Kind::Control)
    {
        return nullptr;
    }
    return static_cast<ControlState*>(window->state.get());
}

// Messages every control of this file answers the same way.
bool CommonMessage(HWND hwnd, UINT message, WPARAM wParam, LRESULT& result)
{
    switch (message)
    {
    case WM_NCCREATE: {
        std::lock_guard<std::mutex> guard(UserLock());
        if (Window* window = WindowOf(hwnd))
        {
            window->state = std::make_unique<ControlState>();
        }
        result = TRUE;
        return true;
    }
    case WM_SETFONT: {
        std::lock_guard<std::mutex> guard(UserLock());
        if (ControlState* control = ControlOf(hwnd))
        {
            control->font = reinterpret_cast<HFONT>(wParam);
        }
        result = 0;
        return true;
    }
    case WM_GETFONT: {
        std::lock_guard<std::mutex> guard(UserLock());
        ControlState* control = ControlOf(hwnd);
        result = control != nullptr ? reinterpret_cast<LRESULT>(control->font) : 0;
        return true;
    }
    default:
        return false;
    }
}

LRESULT CALLBACK StaticProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam)
{
    LRESULT result = 0;
    if (CommonMessage(hwnd, message, wParam, result))
    {
        return message == WM_NCCREATE ? DefWindowProcA(hwnd, message, wParam, lParam) : result;
    }
    return DefWindowProcA(hwnd, message, wParam, lParam);
}

// --- combo box ---

bool IsDropDownList(const Window& window)
{
    return (window.style & 0x3) == CBS_DROPDOWNLIST;
}

// The text of the combo box after its selection changed. A drop-down list shows the selection and
// nothing else; the edit field of the other styles takes the selected item's text.
void TakeSelectionText(Window& window, const ControlState& combo)
{
    window.title = combo.selection >= 0 ? combo.items[static_cast<size_t>(combo.selection)].text : "";
}

// Where CB_ADDSTRING puts a string: at the end, or with CBS_SORT after the items that sort before
// it or equal it, compared without regard to case.
size_t AddPosition(const Window& window, const ControlState& combo, const std::string& text)
{
    if ((window.style & CBS_SORT) == 0)
    {
        return combo.items.size();
    }
    auto it = std::upper_bound(combo.items.begin(), combo.items.end(), text,
                               [](const std::string& value, const ComboItem& item) {
                                   return strcasecmp(value.c_str(), item.text.c_str()) < 0;
                               });
    return static_cast<size_t>(it - combo.items.begin());
}

// CB_FINDSTRING and CB_FINDSTRINGEXACT: from the item after `start` (-1: from the first) to the
// end, then from the first back to `start`; without regard to case.
LRESULT Find(const ControlState& combo, WPARAM start, LPCSTR text, bool exact)
{
    if (text == nullptr)
    {
        return CB_ERR;
    }
    int count = static_cast<int>(combo.items.size());
    int first = static_cast<int>(start);
    if (first < -1 || first >= count)
    {
        first = -1;
    }
    size_t length = strlen(text);
    for (int n = 1; n <= count; ++n)
    {
        const std::string& item = combo.items[static_cast<size_t>((first + n) % count)].text;
        bool match = exact ? strcasecmp(item.c_str(), text) == 0
                           : item.size() >= length && strncasecmp(item.c_str(), text, length) == 0;
        if (match)
        {
            return (first + n) % count;
        }
    }
    return CB_ERR;
}

UINT ChooseMessage()
{
    static const UINT message = RegisterWindowMessageA("winsim.ComboBox.ChooseItem");
    return message;
}

// The combo box's answer to a message, user lock held. Sets `notify` when the parent hears of a
// person's choice.
LRESULT ComboMessageLocked(Window& window, ControlState& combo, UINT message, WPARAM wParam, LPARAM lParam,
                           bool& handled, bool& chosen)
{
    handled = true;
    int count = static_cast<int>(combo.items.size());
    int index = static_cast<int>(wParam);
    bool inRange = index >= 0 && index < count;
    switch (message)
    {
    case CB_ADDSTRING:
    case CB_INSERTSTRING: {
        std::string text = lParam != 0 ? reinterpret_cast<LPCSTR>(lParam) : "";
        size_t at = 0;
        if (message == CB_ADDSTRING)
        {
            at = AddPosition(window, combo, text);
        }
        else if (index == -1)
        {
            at = combo.items.size();
        }
        else if (index < 0 || index > count)
        {
            return CB_ERR;
        }
        else
        {
            at = static_cast<size_t>(index);
        }
        try
        {
            combo.items.insert(combo.items.begin() + static_cast<std::ptrdiff_t>(at), ComboItem{text, 0});
        }
        catch (const std::bad_alloc&)
        {
            return CB_ERRSPACE;
        }
        // The selection stays on its item.
        if (combo.selection >= 0 && static_cast<int>(at) <= combo.selection)
        {
            combo.selection++;
        }
        return static_cast<LRESULT>(at);
    }
    case CB_DELETESTRING:
        if (!inRange)
        {
            return CB_ERR;
        }
        combo.items.erase(combo.items.begin() + index);
        if (combo.selection == index)
        {
            combo.selection = -1;
            if (IsDropDownList(window))
            {
                TakeSelectionText(window, combo);
            }
        }
        else if (combo.selection > index)
        {
            combo.selection--;
        }
        return static_cast<LRESULT>(combo.items.size());
    case CB_RESETCONTENT:
        combo.items.clear();
        combo.selection = -1;
        window.title.clear();
        return CB_OKAY;
    case CB_GETCOUNT:
        return count;
    case CB_SETCURSEL:
        // Out of range (-1 included): the selection is cleared and the answer is CB_ERR.
        combo.selection = inRange ? index : -1;
        TakeSelectionText(window, combo);
        return inRange ? index : CB_ERR;
    case CB_GETCURSEL:
        return combo.selection >= 0 ? combo.selection : CB_ERR;
    case CB_GETLBTEXTLEN:
        return inRange ? static_cast<LRESULT>(combo.items[static_cast<size_t>(index)].text.size()) : CB_ERR;
    case CB_GETLBTEXT: {
        if (!inRange || lParam == 0)
        {
            return CB_ERR;
        }
        const std::string& text = combo.items[static_cast<size_t>(index)].text;
        memcpy(reinterpret_cast<char*>(lParam), text.c_str(), text.size() + 1);
        return static_cast<LRESULT>(text.size());
    }
    case CB_FINDSTRING:
    case CB_FINDSTRINGEXACT:
        return Find(combo, wParam, reinterpret_cast<LPCSTR>(lParam), message == CB_FINDSTRINGEXACT);
    case CB_SELECTSTRING: {
        LRESULT found = Find(combo, wParam, reinterpret_cast<LPCSTR>(lParam), false);
        if (found != CB_ERR)
        {
            combo.selection = static_cast<int>(found);
            TakeSelectionText(window, combo);
        }
        return found;
    }
    case CB_SETITEMDATA:
        if (!inRange)
        {
            return CB_ERR;
        }
        combo.items[static_cast<size_t>(index)].data = static_cast<ULONG_PTR>(lParam);
        return TRUE;
    case CB_GETITEMDATA:
        return inRange ? static_cast<LRESULT>(combo.items[static_cast<size_t>(index)].data) : CB_ERR;
    case CB_GETDROPPEDSTATE:
        return FALSE; // the list is never left open
    case WM_SETTEXT:
        if (IsDropDownList(window))
        {
            return CB_ERR; // no edit field to take the text
        }
        window.title = lParam != 0 ? reinterpret_cast<LPCSTR>(lParam) : "";
        return TRUE;
    default:
        if (message == ChooseMessage())
        {
            if (!inRange || (window.style & WS_DISABLED) != 0)
            {
                return CB_ERR;
            }
            combo.selection = index;
            TakeSelectionText(window, combo);
            chosen = true;
            return index;
        }
        handled = false;
        return 0;
    }
}

void Notify(HWND parent, HWND combo, int id, int code)
{
    SendMessageA(parent, WM_COMMAND, MAKEWPARAM(id, code), reinterpret_cast<LPARAM>(combo));
}

LRESULT CALLBACK ComboBoxProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam)
{
    LRESULT result = 0;
    if (CommonMessage(hwnd, message, wParam, result))
    {
        if (message != WM_NCCREATE)
        {
            return result;
        }
        // A drop-down list has no text but its selection's.
        std::lock_guard<std::mutex> guard(UserLock());
        if (Window* window = WindowOf(hwnd); window != nullptr && IsDropDownList(*window))
        {
            window->title.clear();
        }
        return TRUE;
    }
    bool handled = false;
    bool chosen = false;
    HWND parent = nullptr;
    int id = 0;
    bool simple = false;
    {
        std::lock_guard<std::mutex> guard(UserLock());
        Window* window = nullptr;
        ControlState* combo = ControlOf(hwnd, &window);
        if (combo == nullptr)
        {
            return DefWindowProcA(hwnd, message, wParam, lParam);
        }
        result = ComboMessageLocked(*window, *combo, message, wParam, lParam, handled, chosen);
        parent = window->parent;
        id = static_cast<int>(window->id);
        simple = (window->style & 0x3) == CBS_SIMPLE;
    }
    if (!handled)
    {
        return DefWindowProcA(hwnd, message, wParam, lParam);
    }
    if (chosen && parent != nullptr)
    {
        // A click: a simple combo box's list is always open; the others drop theirs down first
        // and close it once the item is taken.
        if (simple)
        {
            Notify(parent, hwnd, id, CBN_SELENDOK);
            Notify(parent, hwnd, id, CBN_SELCHANGE);
        }
        else
        {
            Notify(parent, hwnd, id, CBN_DROPDOWN);
            Notify(parent, hwnd, id, CBN_SELCHANGE);
            Notify(parent, hwnd, id, CBN_SELENDOK);
            Notify(parent, hwnd, id, CBN_CLOSEUP);
        }
    }
    return result;
}

bool RegisterSystemClass(LPCSTR name, WNDPROC proc, int windowExtra)
{
    WNDCLASSEXA wc{};
    wc.cbSize = sizeof(wc);
    wc.style = CS_GLOBALCLASS | CS_DBLCLKS | CS_PARENTDC;
    wc.lpfnWndProc = proc;
    wc.cbWndExtra = windowExtra;
    wc.hInstance = User32Instance();
    wc.lpszClassName = name;
    return RegisterClassExA(&wc) != 0 || GetLastError() == ERROR_CLASS_ALREADY_EXISTS;
}

} // namespace

HINSTANCE User32Instance()
{
    return reinterpret_cast<HINSTANCE>(&g_moduleTag);
}

void RegisterSystemClasses()
{
    static std::mutex once;
    static bool registered = false;
    std::lock_guard<std::mutex> guard(once);
    if (registered)
    {
        return;
    }
    DWORD error = GetLastError();
    registered = RegisterSystemClass(WC_DIALOG, DefDlgProcA, DLGWINDOWEXTRA) &&
                 RegisterSystemClass("Static", StaticProc, 0) &&
                 RegisterSystemClass("Button", StaticProc, 0) &&
                 RegisterSystemClass("ComboBox", ComboBoxProc, 0);
    SetLastError(error);
}

} // namespace winsim::user32

namespace winsim
{

int ChooseComboBoxItem(HWND comboBox, int index)
{
    {
        std::lock_guard<std::mutex> guard(user32::UserLock());
        user32::Window* window = user32::WindowOf(comboBox);
        if (window == nullptr || window->windowClass->proc != user32::ComboBoxProc)
        {
            SetLastError(ERROR_INVALID_WINDOW_HANDLE);
            return CB_ERR;
        }
    }
    return static_cast<int>(SendMessageA(comboBox, user32::ChooseMessage(), static_cast<WPARAM>(index), 0));
}

} // namespace winsim
