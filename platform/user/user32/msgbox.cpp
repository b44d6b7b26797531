// Message boxes. The machine has no screen: a box is not drawn, its answer comes from the script a
// test or a demo set (winsim::SetMessageBoxAnswers), and every box shown is recorded for them to
// read (winsim::ShownMessageBoxes).
//
// The checks are Windows': a type with an unknown button set, icon, default button or modality,
// MB_SERVICE_NOTIFICATION with an owner, or an owner that is no window, fails the call (0) with
// ERROR_INVALID_PARAMETER or ERROR_INVALID_WINDOW_HANDLE, and nothing is shown. A default button
// past the box's buttons falls back to the first, as on Windows. The script's answer must be
// one of the box's buttons; one that is not is a mistake of the script, and stops the process.
//
// The script and the record are guarded by one lock of their own; the script's callback is called
// without it, on the thread that shows the box.
#include "user32.h"

#include "internal.h"

#include <winsim/user.h>

#include "base/unicode.h"

#include <stdio.h>
#include <stdlib.h>

#include <algorithm>

namespace winsim::user32
{
namespace
{

struct MessageBoxState
{
    std::mutex lock;
    MessageBoxScript script;
    std::vector<ShownMessageBox> shown;
};

MessageBoxState& State()
{
    static auto* state = new MessageBoxState; // never freed (see internal.h)
    return *state;
}

// The buttons of a box, left to right; none for an unknown button set.
std::vector<int> ButtonsOf(UINT type)
{
    switch (type & MB_TYPEMASK)
    {
    case MB_OK:
        return {IDOK};
    case MB_OKCANCEL:
        return {IDOK, IDCANCEL};
    case MB_ABORTRETRYIGNORE:
        return {IDABORT, IDRETRY, IDIGNORE};
    case MB_YESNOCANCEL:
        return {IDYES, IDNO, IDCANCEL};
    case MB_YESNO:
        return {IDYES, IDNO};
    case MB_RETRYCANCEL:
        return {IDRETRY, IDCANCEL};
    case MB_CANCELTRYCONTINUE:
        return {IDCANCEL, IDTRYAGAIN, IDCONTINUE};
    default:
        return {};
    }
}

bool ValidType(HWND owner, UINT type)
{
    UINT icon = type & MB_ICONMASK;
    bool knownIcon = icon == 0 || icon == MB_ICONHAND || icon == MB_ICONQUESTION ||
                     icon == MB_ICONEXCLAMATION || icon == MB_ICONASTERISK || icon == MB_USERICON;
    return !ButtonsOf(type).empty() && knownIcon && (type & MB_DEFMASK) <= MB_DEFBUTTON4 &&
           (type & MB_MODEMASK) != (MB_SYSTEMMODAL | MB_TASKMODAL) &&
           !((type & MB_SERVICE_NOTIFICATION) != 0 && owner != nullptr);
}

std::string Utf8OfAnsi(const std::string& text)
{
    if (text.empty())
    {
        return text;
    }
    int length = MultiByteToWideChar(CP_ACP, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    std::u16string wide(static_cast<size_t>(length), u'\0');
    MultiByteToWideChar(CP_ACP, 0, text.data(), static_cast<int>(text.size()),
                        reinterpret_cast<LPWSTR>(wide.data()), length);
    return ToUtf8(wide);
}

const char* ButtonName(int id)
{
    static const char* const names[] = {"0",     "IDOK", "IDCANCEL", "IDABORT", "IDRETRY",    "IDIGNORE",
                                        "IDYES", "IDNO", "IDCLOSE",  "IDHELP",  "IDTRYAGAIN", "IDCONTINUE"};
    return id >= 0 && id <= IDCONTINUE ? names[id] : "an unknown answer";
}

// The script's answer for a box (its callback, rules, default answer), or the box's default button.
int AnswerFor(const ShownMessageBox& box)
{
    std::function<int(const ShownMessageBox&)> callback;
    {
        std::lock_guard<std::mutex> guard(State().lock);
        callback = State().script.callback;
    }
    int answer = callback ? callback(box) : 0;
    std::lock_guard<std::mutex> guard(State().lock);
    const MessageBoxScript& script = State().script;
    for (const MessageBoxScript::Rule& rule : script.rules)
    {
        if (answer == 0 && box.textUtf8.find(rule.containing) != std::string::npos)
        {
            answer = rule.answer;
        }
    }
    if (answer == 0)
    {
        answer = script.defaultAnswer;
    }
    if (answer == 0)
    {
        std::vector<int> buttons = ButtonsOf(box.type);
        size_t index = (box.type & MB_DEFMASK) >> 8;
        answer = buttons[index < buttons.size() ? index : 0];
    }
    return answer;
}

} // namespace
} // namespace winsim::user32

using namespace winsim::user32;

namespace winsim
{

void SetMessageBoxAnswers(MessageBoxScript script)
{
    std::lock_guard<std::mutex> guard(State().lock);
    State().script = std::move(script);
}

std::vector<ShownMessageBox> ShownMessageBoxes()
{
    std::lock_guard<std::mutex> guard(State().lock);
    return State().shown;
}

void ClearShownMessageBoxes()
{
    std::lock_guard<std::mutex> guard(State().lock);
    State().shown.clear();
}

} // namespace winsim

extern "C"
{

    int WINAPI MessageBoxExA(HWND hWnd, LPCSTR lpText, LPCSTR lpCaption, UINT uType, WORD wLanguageId)
    {
        if (!ValidType(hWnd, uType))
        {
            SetLastError(ERROR_INVALID_PARAMETER);
            return 0;
        }
        if (hWnd != nullptr && !IsWindow(hWnd))
        {
            SetLastError(ERROR_INVALID_WINDOW_HANDLE);
            return 0;
        }
        winsim::ShownMessageBox box;
        box.owner = hWnd;
        box.text = lpText != nullptr ? lpText : "";
        box.caption = lpCaption != nullptr ? lpCaption : "Error";
        box.textUtf8 = Utf8OfAnsi(box.text);
        box.captionUtf8 = Utf8OfAnsi(box.caption);
        box.type = uType;
        box.language = wLanguageId;
        box.answer = AnswerFor(box);
        std::vector<int> buttons = ButtonsOf(uType);
        if (std::find(buttons.begin(), buttons.end(), box.answer) == buttons.end())
        {
            fprintf(
                stderr,
                "*** MESSAGE BOX SCRIPT: the answer %d (%s) is not a button of the box \"%s\" (type 0x%X)\n",
                box.answer, ButtonName(box.answer), box.textUtf8.c_str(), uType);
            fflush(stderr);
            abort();
        }
        std::lock_guard<std::mutex> guard(State().lock);
        State().shown.push_back(box);
        return box.answer;
    }

    int WINAPI MessageBoxA(HWND hWnd, LPCSTR lpText, LPCSTR lpCaption, UINT uType)
    {
        return MessageBoxExA(hWnd, lpText, lpCaption, uType, 0);
    }

} // extern "C"
