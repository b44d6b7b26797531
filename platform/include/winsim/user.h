// Services of the simulated user mode that tests and tools use directly (not part of Win32).
#pragma once

#include <winsim/base.h>
#include <windef.h>

#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace winsim
{

// The folder of the machine this process runs on: the connected machine's, otherwise the one
// $WINSIM_ROOT names (by default /tmp/winsim-<uid>). Its processes share their named mutexes,
// registered messages and debugger output through it, and drive C: is its drive_c folder.
WINSIM_API std::string MachineDirectory();

// Windows path <-> host path. Drive C: is the machine's drive C: folder; drive Z: is the host's
// root, as under Wine. ToHostPath resolves a relative path against the current directory and folds
// "." and ".."; it returns false with a Win32 error code for paths that name no host file (unknown
// drive, UNC or device paths).
WINSIM_API bool ToHostPath(std::string_view windowsPath, std::string& hostPath, unsigned& error);
WINSIM_API std::string ToWindowsPath(std::string_view hostPath);

// The objects of the WMI client (locators, services, enumerators, class objects) alive in this
// process: each lives until its last reference is released.
WINSIM_API long LiveWmiObjects();

// The blocks of this process's local heap (LocalAlloc) that have not been freed.
WINSIM_API long LiveLocalAllocations();

// Message boxes. No box is drawn: MessageBox answers from a script that a test or a demo sets,
// and every box shown is recorded.
struct ShownMessageBox
{
    HWND owner = nullptr;
    std::string text;    // as given, in ANSI bytes ("" for none)
    std::string caption; // as given ("Error" for none, the caption Windows shows then)
    std::string textUtf8;
    std::string captionUtf8;
    UINT type = 0;     // every flag as given: buttons, icon, default button, modality...
    WORD language = 0; // MessageBoxEx's language; 0 for MessageBox
    int answer = 0;    // IDOK, IDYES...
};

// The script: the callback, when set, is asked first (0: no answer from it); then the first rule
// whose text occurs in the box's text (UTF-8); then the default answer; without one, the box's
// default button. An answer that is not one of the box's buttons stops the process with a
// diagnostic ("*** MESSAGE BOX SCRIPT: ...").
struct MessageBoxScript
{
    struct Rule
    {
        std::string containing;
        int answer;
    };
    std::vector<Rule> rules;
    int defaultAnswer = 0;
    std::function<int(const ShownMessageBox& box)> callback;
};

// Sets the script of this process's message boxes (an empty one: every box takes its default
// button), and reads or clears the record of the boxes shown, oldest first.
WINSIM_API void SetMessageBoxAnswers(MessageBoxScript script);
WINSIM_API std::vector<ShownMessageBox> ShownMessageBoxes();
WINSIM_API void ClearShownMessageBoxes();

// A person picks the item `index` of a combo box with the mouse, as a click on the item in its
// list does: the selection and the combo box's text change, and the parent hears of it by
// WM_COMMAND with CBN_DROPDOWN, CBN_SELCHANGE, CBN_SELENDOK and CBN_CLOSEUP (a CBS_SIMPLE combo
// box, whose list is always open: CBN_SELENDOK and CBN_SELCHANGE), sent on the combo box's
// thread. Returns the index, or CB_ERR (nothing changes, nobody hears of it) for an index out of
// range, a disabled combo box, or a window that is no combo box (ERROR_INVALID_WINDOW_HANDLE).
WINSIM_API int ChooseComboBoxItem(HWND comboBox, int index);

// Device Manager's properties of a device (the instance ID, any case): a modeless property sheet
// titled "<friendly name> Properties" (the device description when it has no friendly name) with
// the pages the device's property page providers add. Returns the sheet, or NULL (with the last
// error) when the device is unknown or no provider added a page. The sheet destroys itself once
// OK or Cancel closed it (on the next message its thread dispatches), and the device information
// set with it.
WINSIM_API HWND OpenDeviceProperties(const char* deviceInstanceId);

} // namespace winsim
