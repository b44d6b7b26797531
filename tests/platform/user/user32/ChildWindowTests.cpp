// Child windows and owned windows: parents, siblings, destruction order, window state and the
// window text that GetWindowTextA reads.
#include <windows.h>

#include <gtest/gtest.h>

#include "TableCases.h"

#include <atomic>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace
{

using winsimtest::PrintTo;

// What the windows of a test saw: the window's name (its creation title) and the message, in the
// order they came.
struct Journal
{
    std::mutex lock;
    std::vector<std::pair<std::string, UINT>> entries;

    void Add(const std::string& who, UINT message)
    {
        std::lock_guard<std::mutex> guard(lock);
        entries.emplace_back(who, message);
    }
    std::vector<std::pair<std::string, UINT>> Take()
    {
        std::lock_guard<std::mutex> guard(lock);
        return std::exchange(entries, {});
    }
};

Journal g_journal;

// Keeps its creation title (a name for the journal) in GWLP_USERDATA and journals the messages
// of destruction and state; answers WM_USER + 1 with its thread.
LRESULT CALLBACK JournalProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (message == WM_NCCREATE)
    {
        auto* cs = reinterpret_cast<CREATESTRUCTA*>(lParam);
        SetWindowLongPtrA(hwnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(new std::string(cs->lpszName)));
    }
    auto* name = reinterpret_cast<std::string*>(GetWindowLongPtrA(hwnd, GWLP_USERDATA));
    switch (message)
    {
    case WM_DESTROY:
    case WM_ENABLE:
    case WM_SHOWWINDOW:
    case WM_GETTEXT:
        g_journal.Add(*name, message);
        break;
    case WM_NCDESTROY:
        g_journal.Add(*name, message);
        delete name;
        break;
    case WM_USER + 1:
        return static_cast<LRESULT>(GetCurrentThreadId());
    default:
        break;
    }
    return DefWindowProcA(hwnd, message, wParam, lParam);
}

constexpr char ClassName[] = "ChildWindowTests.Journal";

class ChildWindowTest : public ::testing::Test
{
  protected:
    static void SetUpTestSuite()
    {
        static const ATOM atom = [] {
            WNDCLASSA wc{};
            wc.lpfnWndProc = JournalProc;
            wc.lpszClassName = ClassName;
            return RegisterClassA(&wc);
        }();
        ASSERT_NE(atom, 0);
    }
    void SetUp() override { g_journal.Take(); }

    static HWND Make(const char* name, DWORD style = 0, HWND parent = nullptr, int id = 0)
    {
        return CreateWindowExA(0, ClassName, name, style, 0, 0, 10, 10, parent,
                               reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)), nullptr, nullptr);
    }
};

TEST_F(ChildWindowTest, ChildrenKnowTheirParentTheirSiblingsAndTheirId)
{
    HWND top = Make("top");
    ASSERT_NE(top, nullptr);
    HWND first = Make("first", WS_CHILD, top, 10);
    HWND second = Make("second", WS_CHILD, top, 11);
    HWND third = Make("third", WS_CHILD, top, 12);
    HWND nested = Make("nested", WS_CHILD, second, 20);
    ASSERT_NE(nested, nullptr);

    EXPECT_EQ(GetParent(second), top);
    EXPECT_EQ(GetParent(nested), second);
    EXPECT_EQ(GetParent(top), nullptr);
    EXPECT_EQ(GetWindowLongPtrA(third, GWLP_HWNDPARENT), reinterpret_cast<LONG_PTR>(top));
    EXPECT_EQ(GetDlgCtrlID(second), 11);
    EXPECT_EQ(GetDlgCtrlID(nested), 20);

    // Siblings in the order they were made.
    EXPECT_EQ(GetWindow(top, GW_CHILD), first);
    EXPECT_EQ(GetWindow(first, GW_HWNDNEXT), second);
    EXPECT_EQ(GetWindow(second, GW_HWNDNEXT), third);
    EXPECT_EQ(GetWindow(third, GW_HWNDNEXT), nullptr);
    EXPECT_EQ(GetWindow(third, GW_HWNDPREV), second);
    EXPECT_EQ(GetWindow(second, GW_HWNDFIRST), first);
    EXPECT_EQ(GetWindow(first, GW_HWNDLAST), third);
    EXPECT_EQ(GetWindow(second, GW_CHILD), nested);
    EXPECT_EQ(GetWindow(third, GW_CHILD), nullptr);

    EXPECT_TRUE(IsChild(top, second));
    EXPECT_TRUE(IsChild(top, nested)); // a descendant
    EXPECT_FALSE(IsChild(first, second));
    EXPECT_FALSE(IsChild(top, top));
    EXPECT_FALSE(IsChild(nested, top));

    // Children are no top-level windows: FindWindow does not see them.
    EXPECT_EQ(FindWindowA(ClassName, "second"), nullptr);
    EXPECT_EQ(FindWindowA(ClassName, "top"), top);
    ASSERT_TRUE(DestroyWindow(top));
}

TEST_F(ChildWindowTest, APopUpsParentIsItsOwnerAnOverlappedWindowHasNone)
{
    HWND owner = Make("owner");
    HWND popup = Make("popup", WS_POPUP, owner);
    HWND overlapped = Make("overlapped", 0, owner);
    ASSERT_NE(overlapped, nullptr);
    EXPECT_EQ(GetParent(popup), owner);
    EXPECT_EQ(GetParent(overlapped), nullptr);
    EXPECT_EQ(GetWindow(overlapped, GW_OWNER), owner);
    EXPECT_EQ(GetWindow(popup, GW_OWNER), owner);
    EXPECT_EQ(GetWindow(owner, GW_OWNER), nullptr);
    EXPECT_FALSE(IsChild(owner, popup));
    ASSERT_TRUE(DestroyWindow(owner));
    EXPECT_FALSE(IsWindow(popup));
    EXPECT_FALSE(IsWindow(overlapped));
}

struct RefusedChild
{
    const char* name;
    bool parentGone; // the parent is a destroyed window, else none is given
    DWORD error;
};

TEST_F(ChildWindowTest, AChildNeedsAParentThatExists)
{
    HWND gone = Make("gone");
    ASSERT_TRUE(DestroyWindow(gone));
    const RefusedChild cases[] = {
        {"no parent", false, ERROR_TLW_WITH_WSCHILD},
        {"destroyed parent", true, ERROR_INVALID_WINDOW_HANDLE},
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.name);
        SetLastError(0);
        EXPECT_EQ(Make("child", WS_CHILD, c.parentGone ? gone : nullptr, 1), nullptr);
        EXPECT_EQ(GetLastError(), c.error);
    }
    EXPECT_EQ(GetParent(gone), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_WINDOW_HANDLE));
    EXPECT_EQ(GetDlgCtrlID(gone), 0);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_WINDOW_HANDLE));
}

TEST_F(ChildWindowTest, DestroyingAWindowDestroysOwnedWindowsThenItselfAndItsChildren)
{
    HWND top = Make("top");
    HWND a = Make("a", WS_CHILD, top, 1);
    Make("a1", WS_CHILD, a, 2);
    Make("b", WS_CHILD, top, 3);
    Make("owned", WS_POPUP, top);
    g_journal.Take();

    ASSERT_TRUE(DestroyWindow(top));
    // Owned windows go whole first; then WM_DESTROY from the window down, first child to last,
    // and WM_NCDESTROY from the children up.
    using Entries = std::vector<std::pair<std::string, UINT>>;
    EXPECT_EQ(g_journal.Take(), (Entries{{"owned", WM_DESTROY},
                                         {"owned", WM_NCDESTROY},
                                         {"top", WM_DESTROY},
                                         {"a", WM_DESTROY},
                                         {"a1", WM_DESTROY},
                                         {"b", WM_DESTROY},
                                         {"a1", WM_NCDESTROY},
                                         {"a", WM_NCDESTROY},
                                         {"b", WM_NCDESTROY},
                                         {"top", WM_NCDESTROY}}));
    EXPECT_FALSE(IsWindow(a));
}

TEST_F(ChildWindowTest, DestroyingAChildLeavesItsSiblings)
{
    HWND top = Make("top");
    HWND a = Make("a", WS_CHILD, top, 1);
    HWND b = Make("b", WS_CHILD, top, 2);
    ASSERT_TRUE(DestroyWindow(a));
    EXPECT_EQ(GetWindow(top, GW_CHILD), b);
    EXPECT_EQ(GetWindow(b, GW_HWNDPREV), nullptr);
    EXPECT_EQ(GetParent(b), top);
    ASSERT_TRUE(DestroyWindow(top));
    EXPECT_FALSE(IsWindow(b));
}

TEST_F(ChildWindowTest, EnablingAndShowingChangeTheStyleAndTellTheWindowOnce)
{
    HWND top = Make("top", WS_VISIBLE);
    HWND child = Make("child", WS_CHILD, top, 1);
    g_journal.Take();

    EXPECT_TRUE(IsWindowEnabled(child));
    EXPECT_FALSE(EnableWindow(child, FALSE)); // was enabled
    EXPECT_TRUE(EnableWindow(child, FALSE));  // already disabled: nothing sent
    EXPECT_FALSE(IsWindowEnabled(child));
    EXPECT_NE(GetWindowLongPtrA(child, GWL_STYLE) & WS_DISABLED, 0);
    EXPECT_TRUE(EnableWindow(child, TRUE));
    EXPECT_TRUE(IsWindowEnabled(child));

    EXPECT_FALSE(IsWindowVisible(child));
    EXPECT_FALSE(ShowWindow(child, SW_SHOW));
    EXPECT_TRUE(IsWindowVisible(child));
    EXPECT_TRUE(ShowWindow(top, SW_HIDE));
    EXPECT_FALSE(IsWindowVisible(child)); // its parent is hidden
    EXPECT_NE(GetWindowLongPtrA(child, GWL_STYLE) & WS_VISIBLE, 0);

    using Entries = std::vector<std::pair<std::string, UINT>>;
    EXPECT_EQ(
        g_journal.Take(),
        (Entries{
            {"child", WM_ENABLE}, {"child", WM_ENABLE}, {"child", WM_SHOWWINDOW}, {"top", WM_SHOWWINDOW}}));
    ASSERT_TRUE(DestroyWindow(top));
}

struct TextCase
{
    const char* name;
    const char* title;
    int bufferSize;
    int result;
    const char* text; // what the buffer holds afterwards
};

TEST_F(ChildWindowTest, GetWindowTextTruncatesToTheBufferAndCountsWhatItCopied)
{
    const TextCase cases[] = {
        {"no room at all", "COM3 port", 0, 0, "untouched"},
        {"room for the NUL only", "COM3 port", 1, 0, ""},
        {"cut", "COM3 port", 5, 4, "COM3"},
        {"one short", "COM3 port", 9, 8, "COM3 por"},
        {"exactly", "COM3 port", 10, 9, "COM3 port"},
        {"larger", "COM3 port", 64, 9, "COM3 port"},
        {"empty title", "", 64, 0, ""},
        // "ポート" is nine bytes; a cut falls between characters.
        {"cut between characters", "\xe3\x83\x9d\xe3\x83\xbc\xe3\x83\x88", 6, 3, "\xe3\x83\x9d"},
        {"room for two characters", "\xe3\x83\x9d\xe3\x83\xbc\xe3\x83\x88", 7, 6, "\xe3\x83\x9d\xe3\x83\xbc"},
    };
    HWND top = Make("top");
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.name);
        HWND child = Make("child", WS_CHILD, top, 1);
        ASSERT_TRUE(SetWindowTextA(child, c.title));
        EXPECT_EQ(GetWindowTextLengthA(child), static_cast<int>(strlen(c.title)));
        char buffer[64] = "untouched";
        EXPECT_EQ(GetWindowTextA(child, buffer, c.bufferSize), c.result);
        EXPECT_EQ(std::string(buffer), c.text);
        DestroyWindow(child);
    }
    ASSERT_TRUE(DestroyWindow(top));
}

TEST_F(ChildWindowTest, WindowTextGoesThroughTheWindowsProcedure)
{
    HWND top = Make("top");
    g_journal.Take();
    char buffer[16] = {};
    EXPECT_EQ(GetWindowTextA(top, buffer, sizeof(buffer)), 3);
    EXPECT_EQ(std::string(buffer), "top");
    using Entries = std::vector<std::pair<std::string, UINT>>;
    EXPECT_EQ(g_journal.Take(), (Entries{{"top", WM_GETTEXT}}));
    ASSERT_TRUE(DestroyWindow(top));

    SetLastError(0);
    EXPECT_EQ(GetWindowTextA(top, buffer, sizeof(buffer)), 0);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_WINDOW_HANDLE));
    EXPECT_EQ(GetWindowTextLengthA(top), 0);
    EXPECT_FALSE(SetWindowTextA(top, "x"));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_WINDOW_HANDLE));
}

TEST_F(ChildWindowTest, TheTextOfAWindowOfAnotherThreadIsAskedOnThatThread)
{
    std::atomic<HWND> hwnd{nullptr};
    std::thread other([&] {
        HWND mine = Make("elsewhere");
        hwnd = mine;
        MSG msg;
        while (GetMessageA(&msg, nullptr, 0, 0) > 0)
        {
            DispatchMessageA(&msg);
        }
        DestroyWindow(mine);
    });
    while (hwnd.load() == nullptr)
    {
        std::this_thread::yield();
    }
    char buffer[6] = {};
    EXPECT_EQ(GetWindowTextA(hwnd, buffer, sizeof(buffer)), 5);
    EXPECT_EQ(std::string(buffer), "elsew");
    EXPECT_EQ(GetWindowTextLengthA(hwnd), 9);
    ASSERT_TRUE(SetWindowTextA(hwnd, "renamed"));
    EXPECT_EQ(GetWindowTextA(hwnd, buffer, sizeof(buffer)), 5);
    EXPECT_EQ(std::string(buffer), "renam");
    DWORD otherThread = static_cast<DWORD>(SendMessageA(hwnd, WM_USER + 1, 0, 0));
    EXPECT_NE(otherThread, GetCurrentThreadId());
    PostThreadMessageA(otherThread, WM_QUIT, 0, 0);
    other.join();
    EXPECT_FALSE(IsWindow(hwnd));
}

} // namespace
