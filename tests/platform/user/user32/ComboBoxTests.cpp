// The combo box: its list, its selection and the text that follows it, and a person's choice.
#include <windows.h>
#include <winsim/user.h>

#include <gtest/gtest.h>

#include "TableCases.h"

#include <string>
#include <vector>

namespace
{

using winsimtest::PrintTo;

constexpr int ComboId = 1001;

// The parent: records the combo box's notifications and, at each, the selection then.
struct Notification
{
    WORD id;
    WORD code;
    HWND from;
    LRESULT selection;

    bool operator==(const Notification&) const = default;
};
std::vector<Notification> g_notifications;

LRESULT CALLBACK ParentProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (message == WM_COMMAND)
    {
        auto from = reinterpret_cast<HWND>(lParam);
        g_notifications.push_back(
            {LOWORD(wParam), HIWORD(wParam), from, SendMessageA(from, CB_GETCURSEL, 0, 0)});
        return 0;
    }
    return DefWindowProcA(hwnd, message, wParam, lParam);
}

class ComboBoxTest : public ::testing::Test
{
  protected:
    void SetUp() override
    {
        static const ATOM atom = [] {
            WNDCLASSA wc{};
            wc.lpfnWndProc = ParentProc;
            wc.lpszClassName = "ComboBoxTests.Parent";
            return RegisterClassA(&wc);
        }();
        ASSERT_NE(atom, 0);
        parent = CreateWindowExA(0, "ComboBoxTests.Parent", "parent", 0, 0, 0, 100, 100, nullptr, nullptr,
                                 nullptr, nullptr);
        ASSERT_NE(parent, nullptr);
        g_notifications.clear();
    }
    void TearDown() override { DestroyWindow(parent); }

    HWND MakeCombo(DWORD style)
    {
        return CreateWindowExA(0, "ComboBox", "initial", WS_CHILD | WS_VISIBLE | style, 0, 0, 80, 76, parent,
                               reinterpret_cast<HMENU>(ComboId), nullptr, nullptr);
    }

    HWND parent = nullptr;
};

std::string TextOf(HWND hwnd)
{
    char buffer[64] = {};
    GetWindowTextA(hwnd, buffer, sizeof(buffer));
    return buffer;
}

// One message to the combo box and what it leaves.
struct Step
{
    const char* name;
    UINT message;
    WPARAM wParam;
    const char* string; // lParam, a string (or null)
    LRESULT result;
    LRESULT selection; // CB_GETCURSEL afterwards
    const char* text;  // the window text afterwards
};

TEST_F(ComboBoxTest, ADropDownListKeepsItsItemsAndItsSelectionAndShowsTheSelection)
{
    const Step steps[] = {
        {"a new list has no text", CB_GETCOUNT, 0, nullptr, 0, CB_ERR, ""},
        {"add appends", CB_ADDSTRING, 0, "COM3", 0, CB_ERR, ""},
        {"add appends again", CB_ADDSTRING, 0, "COM1", 1, CB_ERR, ""},
        {"unsorted: no order", CB_ADDSTRING, 0, "COM10", 2, CB_ERR, ""},
        {"count", CB_GETCOUNT, 0, nullptr, 3, CB_ERR, ""},
        {"select", CB_SETCURSEL, 1, nullptr, 1, 1, "COM1"},
        {"select past the end clears", CB_SETCURSEL, 3, nullptr, CB_ERR, CB_ERR, ""},
        {"select again", CB_SETCURSEL, 2, nullptr, 2, 2, "COM10"},
        {"select -1 clears", CB_SETCURSEL, static_cast<WPARAM>(-1), nullptr, CB_ERR, CB_ERR, ""},
        {"select the last", CB_SETCURSEL, 2, nullptr, 2, 2, "COM10"},
        {"insert before the selection moves it along", CB_INSERTSTRING, 0, "COM0", 0, 3, "COM10"},
        {"insert at -1 appends", CB_INSERTSTRING, static_cast<WPARAM>(-1), "COM9", 4, 3, "COM10"},
        {"insert past the end", CB_INSERTSTRING, 6, "COM7", CB_ERR, 3, "COM10"},
        {"insert at the end", CB_INSERTSTRING, 5, "COM5", 5, 3, "COM10"},
        {"text length", CB_GETLBTEXTLEN, 3, nullptr, 5, 3, "COM10"},
        {"text length past the end", CB_GETLBTEXTLEN, 6, nullptr, CB_ERR, 3, "COM10"},
        {"find exact, any case", CB_FINDSTRINGEXACT, static_cast<WPARAM>(-1), "com1", 2, 3, "COM10"},
        {"find exact wraps round to the start", CB_FINDSTRINGEXACT, 2, "COM1", 2, 3, "COM10"},
        {"find exact: a prefix is no match", CB_FINDSTRINGEXACT, static_cast<WPARAM>(-1), "COM", CB_ERR, 3,
         "COM10"},
        {"find a prefix", CB_FINDSTRING, static_cast<WPARAM>(-1), "COM1", 2, 3, "COM10"},
        {"find a prefix after the start", CB_FINDSTRING, 2, "COM1", 3, 3, "COM10"},
        {"data past the end", CB_SETITEMDATA, 9, nullptr, CB_ERR, 3, "COM10"},
        {"data of a bad index", CB_GETITEMDATA, 9, nullptr, CB_ERR, 3, "COM10"},
        {"deleting the selection clears it", CB_DELETESTRING, 3, nullptr, 5, CB_ERR, ""},
        {"delete past the end", CB_DELETESTRING, 5, nullptr, CB_ERR, CB_ERR, ""},
        {"select COM5", CB_SETCURSEL, 4, nullptr, 4, 4, "COM5"},
        {"deleting before the selection moves it back", CB_DELETESTRING, 0, nullptr, 4, 3, "COM5"},
        {"no text of its own to set", WM_SETTEXT, 0, "typed", CB_ERR, 3, "COM5"},
        {"select by prefix", CB_SELECTSTRING, static_cast<WPARAM>(-1), "com9", 2, 2, "COM9"},
        {"select by a prefix that matches nothing", CB_SELECTSTRING, static_cast<WPARAM>(-1), "LPT", CB_ERR,
         2, "COM9"},
        {"reset", CB_RESETCONTENT, 0, nullptr, CB_OKAY, CB_ERR, ""},
        {"reset leaves nothing", CB_GETCOUNT, 0, nullptr, 0, CB_ERR, ""},
    };
    HWND combo = MakeCombo(CBS_DROPDOWNLIST);
    ASSERT_NE(combo, nullptr);
    for (const auto& step : steps)
    {
        SCOPED_TRACE(step.name);
        EXPECT_EQ(SendMessageA(combo, step.message, step.wParam, reinterpret_cast<LPARAM>(step.string)),
                  step.result);
        EXPECT_EQ(SendMessageA(combo, CB_GETCURSEL, 0, 0), step.selection);
        EXPECT_EQ(TextOf(combo), step.text);
    }
    // A program's changes are not a person's: the parent heard nothing.
    EXPECT_TRUE(g_notifications.empty());
}

TEST_F(ComboBoxTest, ItemTextAndDataAreReadByIndex)
{
    HWND combo = MakeCombo(CBS_DROPDOWNLIST);
    ASSERT_EQ(SendMessageA(combo, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>("COM3")), 0);
    ASSERT_EQ(SendMessageA(combo, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>("COM12")), 1);
    EXPECT_EQ(SendMessageA(combo, CB_SETITEMDATA, 1, 12), TRUE);
    EXPECT_EQ(SendMessageA(combo, CB_GETITEMDATA, 1, 0), 12);
    EXPECT_EQ(SendMessageA(combo, CB_GETITEMDATA, 0, 0), 0);
    // Data stays with its item when an item is inserted before it.
    ASSERT_EQ(SendMessageA(combo, CB_INSERTSTRING, 0, reinterpret_cast<LPARAM>("COM1")), 0);
    EXPECT_EQ(SendMessageA(combo, CB_GETITEMDATA, 2, 0), 12);

    char text[16] = "untouched";
    EXPECT_EQ(SendMessageA(combo, CB_GETLBTEXT, 2, reinterpret_cast<LPARAM>(text)), 5);
    EXPECT_EQ(std::string(text), "COM12");
    strcpy(text, "untouched");
    EXPECT_EQ(SendMessageA(combo, CB_GETLBTEXT, 3, reinterpret_cast<LPARAM>(text)), CB_ERR);
    EXPECT_EQ(SendMessageA(combo, CB_GETLBTEXT, static_cast<WPARAM>(-1), reinterpret_cast<LPARAM>(text)),
              CB_ERR);
    EXPECT_EQ(std::string(text), "untouched");
}

struct SortCase
{
    const char* name;
    const char* text;
    LRESULT index;
};

TEST_F(ComboBoxTest, ASortedListPutsEachStringInPlaceWithoutRegardToCase)
{
    const SortCase cases[] = {
        {"first", "COM3", 0},
        {"before, in lower case", "com1", 0},
        {"between", "COM2", 1},
        {"a longer name after its prefix", "COM10", 1},
        {"equal names keep their order", "Com2", 3},
        {"last", "LPT1", 5},
    };
    HWND combo = MakeCombo(CBS_DROPDOWNLIST | CBS_SORT);
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(SendMessageA(combo, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(c.text)), c.index);
    }
    std::vector<std::string> order;
    for (int i = 0; i < SendMessageA(combo, CB_GETCOUNT, 0, 0); ++i)
    {
        char text[16] = {};
        SendMessageA(combo, CB_GETLBTEXT, static_cast<WPARAM>(i), reinterpret_cast<LPARAM>(text));
        order.push_back(text);
    }
    EXPECT_EQ(order, (std::vector<std::string>{"com1", "COM10", "COM2", "Com2", "COM3", "LPT1"}));
    // The selection stays on its item as others come before it.
    ASSERT_EQ(SendMessageA(combo, CB_SETCURSEL, 4, 0), 4);
    EXPECT_EQ(SendMessageA(combo, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>("COM0")), 0);
    EXPECT_EQ(SendMessageA(combo, CB_GETCURSEL, 0, 0), 5);
    EXPECT_EQ(TextOf(combo), "COM3");
}

TEST_F(ComboBoxTest, ADropDownComboBoxHasAnEditFieldThatTheSelectionFills)
{
    HWND combo = MakeCombo(CBS_DROPDOWN);
    EXPECT_EQ(TextOf(combo), "initial");
    SendMessageA(combo, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>("COM1"));
    EXPECT_TRUE(SetWindowTextA(combo, "COM77"));
    EXPECT_EQ(TextOf(combo), "COM77");
    EXPECT_EQ(SendMessageA(combo, CB_GETCURSEL, 0, 0), CB_ERR);
    EXPECT_EQ(SendMessageA(combo, CB_SETCURSEL, 0, 0), 0);
    EXPECT_EQ(TextOf(combo), "COM1");
    // A drop-down list refuses text that is not its selection's.
    HWND list = MakeCombo(CBS_DROPDOWNLIST);
    EXPECT_EQ(TextOf(list), "");
    EXPECT_FALSE(SetWindowTextA(list, "COM77"));
    EXPECT_EQ(TextOf(list), "");
}

struct ChoiceCase
{
    const char* name;
    DWORD style;
    std::vector<WORD> codes;
};

TEST_F(ComboBoxTest, APersonsChoiceSelectsTheItemAndTellsTheParent)
{
    const ChoiceCase cases[] = {
        {"drop-down list", CBS_DROPDOWNLIST, {CBN_DROPDOWN, CBN_SELCHANGE, CBN_SELENDOK, CBN_CLOSEUP}},
        {"drop-down", CBS_DROPDOWN, {CBN_DROPDOWN, CBN_SELCHANGE, CBN_SELENDOK, CBN_CLOSEUP}},
        {"simple: the list is always open", CBS_SIMPLE, {CBN_SELENDOK, CBN_SELCHANGE}},
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.name);
        HWND combo = MakeCombo(c.style);
        for (const char* name : {"COM1", "COM2", "COM3"})
        {
            SendMessageA(combo, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(name));
        }
        SendMessageA(combo, CB_SETCURSEL, 0, 0);
        g_notifications.clear();

        EXPECT_EQ(winsim::ChooseComboBoxItem(combo, 2), 2);
        EXPECT_EQ(SendMessageA(combo, CB_GETCURSEL, 0, 0), 2);
        EXPECT_EQ(TextOf(combo), "COM3");
        // Every notification names the combo box and finds the new selection in place.
        std::vector<Notification> expected;
        for (WORD code : c.codes)
        {
            expected.push_back({ComboId, code, combo, 2});
        }
        EXPECT_EQ(g_notifications, expected);
        DestroyWindow(combo);
    }
}

TEST_F(ComboBoxTest, AChoiceNobodyCanMakeChangesNothing)
{
    HWND combo = MakeCombo(CBS_DROPDOWNLIST);
    SendMessageA(combo, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>("COM1"));
    SendMessageA(combo, CB_SETCURSEL, 0, 0);
    EXPECT_EQ(winsim::ChooseComboBoxItem(combo, 1), CB_ERR);
    EXPECT_EQ(winsim::ChooseComboBoxItem(combo, -1), CB_ERR);
    EnableWindow(combo, FALSE);
    EXPECT_EQ(winsim::ChooseComboBoxItem(combo, 0), CB_ERR);
    EXPECT_EQ(SendMessageA(combo, CB_GETCURSEL, 0, 0), 0);
    EXPECT_TRUE(g_notifications.empty());
    EXPECT_EQ(winsim::ChooseComboBoxItem(parent, 0), CB_ERR);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_WINDOW_HANDLE));
}

} // namespace
