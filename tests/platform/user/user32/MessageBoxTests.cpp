// Message boxes: answered from the script a test sets, recorded as shown, and refused for the
// types Windows refuses.
#include <windows.h>
#include <winsim/user.h>

#include <gtest/gtest.h>

#include "TableCases.h"

#include <string>
#include <vector>

namespace
{

using winsimtest::PrintTo;

class MessageBoxTest : public ::testing::Test
{
  protected:
    void SetUp() override
    {
        winsim::SetMessageBoxAnswers({});
        winsim::ClearShownMessageBoxes();
    }
    void TearDown() override
    {
        winsim::SetMessageBoxAnswers({});
        winsim::ClearShownMessageBoxes();
    }
};

TEST_F(MessageBoxTest, RulesAnswerByTheTextAndEveryBoxIsRecorded)
{
    winsim::MessageBoxScript script;
    script.rules = {{"in use", IDNO}, {"COM5", IDYES}};
    script.defaultAnswer = IDCANCEL;
    winsim::SetMessageBoxAnswers(script);

    EXPECT_EQ(MessageBoxA(nullptr, "COM5 is in use. Use it anyway?", "Port", MB_YESNO | MB_ICONINFORMATION),
              IDNO);
    EXPECT_EQ(MessageBoxExA(nullptr, "Rename to COM5?", "Port", MB_YESNOCANCEL | MB_SYSTEMMODAL, 0x0411),
              IDYES);
    EXPECT_EQ(MessageBoxA(nullptr, "Something else", nullptr, MB_OKCANCEL | MB_ICONWARNING), IDCANCEL);

    std::vector<winsim::ShownMessageBox> shown = winsim::ShownMessageBoxes();
    ASSERT_EQ(shown.size(), 3u);
    EXPECT_EQ(shown[0].text, "COM5 is in use. Use it anyway?");
    EXPECT_EQ(shown[0].caption, "Port");
    EXPECT_EQ(shown[0].type, static_cast<UINT>(MB_YESNO | MB_ICONINFORMATION));
    EXPECT_EQ(shown[0].language, 0);
    EXPECT_EQ(shown[0].answer, IDNO);
    EXPECT_EQ(shown[1].type, static_cast<UINT>(MB_YESNOCANCEL | MB_SYSTEMMODAL));
    EXPECT_EQ(shown[1].language, 0x0411);
    EXPECT_EQ(shown[1].answer, IDYES);
    EXPECT_EQ(shown[2].caption, "Error"); // no caption: the one Windows shows
    EXPECT_EQ(shown[2].answer, IDCANCEL);

    winsim::ClearShownMessageBoxes();
    EXPECT_TRUE(winsim::ShownMessageBoxes().empty());
}

TEST_F(MessageBoxTest, TextsAreKeptAsGivenAndAsUtf8)
{
    const char text[] = "\xE3\x83\x9D\xE3\x83\xBC\xE3\x83\x88 COM3"; // the ANSI code page is UTF-8
    EXPECT_EQ(MessageBoxA(nullptr, text, "\xC3\x84nderung", MB_OK), IDOK);
    std::vector<winsim::ShownMessageBox> shown = winsim::ShownMessageBoxes();
    ASSERT_EQ(shown.size(), 1u);
    EXPECT_EQ(shown[0].text, text);
    EXPECT_EQ(shown[0].textUtf8, text);
    EXPECT_EQ(shown[0].captionUtf8, "\xC3\x84nderung");
}

TEST_F(MessageBoxTest, TheCallbackIsAskedFirstAndSeesTheBoxAndItsOwner)
{
    WNDCLASSA wc{};
    wc.lpfnWndProc = DefWindowProcA;
    wc.lpszClassName = "MessageBoxTests.Owner";
    ASSERT_NE(RegisterClassA(&wc), 0);
    HWND owner = CreateWindowExA(0, wc.lpszClassName, "", 0, 0, 0, 0, 0, nullptr, nullptr, nullptr, nullptr);
    ASSERT_NE(owner, nullptr);

    std::vector<std::string> asked;
    winsim::MessageBoxScript script;
    script.rules = {{"Rename", IDNO}};
    script.callback = [&asked, owner](const winsim::ShownMessageBox& box) {
        asked.push_back(box.caption);
        EXPECT_EQ(box.owner, owner);
        return box.text == "Rename now?" ? IDYES : 0; // 0: leave it to the rules
    };
    winsim::SetMessageBoxAnswers(script);
    EXPECT_EQ(MessageBoxA(owner, "Rename now?", "First", MB_YESNO), IDYES);
    EXPECT_EQ(MessageBoxA(owner, "Rename later?", "Second", MB_YESNO), IDNO);
    EXPECT_EQ(asked, (std::vector<std::string>{"First", "Second"}));
    EXPECT_EQ(winsim::ShownMessageBoxes().at(1).owner, owner);

    DestroyWindow(owner);
    UnregisterClassA(wc.lpszClassName, nullptr);
}

struct DefaultCase
{
    const char* name;
    UINT type;
    int expected;
};

class MessageBoxDefaultTest : public MessageBoxTest, public ::testing::WithParamInterface<DefaultCase>
{
};

TEST_P(MessageBoxDefaultTest, WithoutAScriptTheDefaultButtonAnswers)
{
    EXPECT_EQ(MessageBoxA(nullptr, "text", "caption", GetParam().type), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, MessageBoxDefaultTest,
    ::testing::Values(DefaultCase{"Ok", MB_OK, IDOK}, DefaultCase{"YesNo", MB_YESNO, IDYES},
                      DefaultCase{"YesNoSecond", MB_YESNO | MB_DEFBUTTON2, IDNO},
                      DefaultCase{"YesNoCancelThird", MB_YESNOCANCEL | MB_DEFBUTTON3, IDCANCEL},
                      DefaultCase{"PastTheButtonsIsTheFirst", MB_YESNO | MB_DEFBUTTON3, IDYES},
                      DefaultCase{"AbortRetryIgnoreSecond", MB_ABORTRETRYIGNORE | MB_DEFBUTTON2, IDRETRY},
                      DefaultCase{"RetryCancel", MB_RETRYCANCEL, IDRETRY},
                      DefaultCase{"CancelTryContinueThird", MB_CANCELTRYCONTINUE | MB_DEFBUTTON3, IDCONTINUE},
                      DefaultCase{"OkCancelSecond", MB_OKCANCEL | MB_DEFBUTTON2 | MB_TASKMODAL, IDCANCEL}),
    [](const auto& info) { return std::string(info.param.name); });

struct InvalidCase
{
    const char* name;
    bool withOwner;
    UINT type;
    DWORD error;
};

class MessageBoxInvalidTest : public MessageBoxTest, public ::testing::WithParamInterface<InvalidCase>
{
};

TEST_P(MessageBoxInvalidTest, ATypeWindowsRefusesShowsNothing)
{
    const InvalidCase& c = GetParam();
    // An owner that is no window: the type is checked first.
    HWND owner = c.withOwner ? reinterpret_cast<HWND>(static_cast<ULONG_PTR>(0x7FFF0000)) : nullptr;
    SetLastError(0);
    EXPECT_EQ(MessageBoxA(owner, "text", "caption", c.type), 0);
    EXPECT_EQ(GetLastError(), c.error);
    EXPECT_TRUE(winsim::ShownMessageBoxes().empty());
}

INSTANTIATE_TEST_SUITE_P(
    Cases, MessageBoxInvalidTest,
    ::testing::Values(InvalidCase{"UnknownButtons", false, 7, ERROR_INVALID_PARAMETER},
                      InvalidCase{"UnknownIcon", false, MB_OK | 0x50, ERROR_INVALID_PARAMETER},
                      InvalidCase{"FifthDefaultButton", false, MB_OK | 0x400, ERROR_INVALID_PARAMETER},
                      InvalidCase{"SystemAndTaskModal", false, MB_OK | MB_SYSTEMMODAL | MB_TASKMODAL,
                                  ERROR_INVALID_PARAMETER},
                      InvalidCase{"ServiceNotificationWithAnOwner", true, MB_OK | MB_SERVICE_NOTIFICATION,
                                  ERROR_INVALID_PARAMETER},
                      InvalidCase{"AnOwnerThatIsNoWindow", true, MB_OK, ERROR_INVALID_WINDOW_HANDLE}),
    [](const auto& info) { return std::string(info.param.name); });

void AnswerAYesNoBoxWithRetry()
{
    winsim::MessageBoxScript script;
    script.rules = {{"COM", IDRETRY}};
    winsim::SetMessageBoxAnswers(script);
    MessageBoxA(nullptr, "Use COM5?", "Port", MB_YESNO);
}

TEST(MessageBoxDeathTest, AScriptAnswerThatIsNotAButtonStopsTheProcess)
{
    EXPECT_DEATH(AnswerAYesNoBoxWithRetry(), "\\*\\*\\* MESSAGE BOX SCRIPT: the answer 4 \\(IDRETRY\\) is "
                                             "not a button of the box \"Use COM5\\?\"");
}

} // namespace
