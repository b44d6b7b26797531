// Property sheet pages on their own: what CreatePropertySheetPageA accepts and copies, and the
// page callback's PSPCB_ADDREF and PSPCB_RELEASE over a page's life outside any sheet.
#include <windows.h>
#include <commctrl.h>
#include <prsht.h>

#include <gtest/gtest.h>

#include "TableCases.h"

#include <string.h>

#include <string>
#include <vector>

namespace
{

using winsimtest::PrintTo;

// One call of the page callback, as it was seen.
struct CallbackCall
{
    UINT message;
    PROPSHEETPAGEA* copy;
    LPARAM lParam;
    std::string title;
    DWORD extra; // the first DWORD behind the PROPSHEETPAGEA, when the record carries one
};

std::vector<CallbackCall>& Calls()
{
    static std::vector<CallbackCall> calls;
    return calls;
}

UINT CALLBACK RecordingCallback(HWND hwnd, UINT message, PROPSHEETPAGEA* ppsp)
{
    EXPECT_EQ(hwnd, nullptr);
    DWORD extra = 0;
    if (ppsp->dwSize >= sizeof(PROPSHEETPAGEA) + sizeof(DWORD))
    {
        memcpy(&extra, reinterpret_cast<BYTE*>(ppsp) + sizeof(PROPSHEETPAGEA), sizeof(extra));
    }
    std::string title = (ppsp->dwFlags & PSP_USETITLE) != 0 ? ppsp->pszTitle : "";
    Calls().push_back(CallbackCall{message, ppsp, ppsp->lParam, title, extra});
    // The callback may change the copy's lParam; the next call sees the change.
    ppsp->lParam += 1;
    return 1;
}

INT_PTR CALLBACK UnusedDialogProc(HWND, UINT, WPARAM, LPARAM)
{
    return FALSE;
}

// A page record with data of its caller behind it, counted in dwSize.
struct PageWithData
{
    PROPSHEETPAGEA psp;
    DWORD extra[4];
};

PageWithData Record(DWORD size)
{
    PageWithData record{};
    record.psp.dwSize = size;
    record.psp.dwFlags = PSP_USECALLBACK | PSP_DLGINDIRECT;
    record.psp.pfnDlgProc = UnusedDialogProc;
    record.psp.pfnCallback = RecordingCallback;
    record.psp.lParam = 100;
    record.extra[0] = 0xC0FFEE;
    return record;
}

std::vector<UINT> Messages()
{
    std::vector<UINT> messages;
    for (const CallbackCall& call : Calls())
    {
        messages.push_back(call.message);
    }
    return messages;
}

class PageTest : public ::testing::Test
{
  protected:
    void SetUp() override { Calls().clear(); }
};

struct SizeCase
{
    const char* name;
    DWORD size;
    bool created;
    std::vector<UINT> atCreation; // the callback's calls by CreatePropertySheetPageA
};

class PageSizeTest : public PageTest, public ::testing::WithParamInterface<SizeCase>
{
};

TEST_P(PageSizeTest, APageOfADocumentedSizeIsCreatedAndReleasedOnce)
{
    const SizeCase& c = GetParam();
    PageWithData record = Record(c.size);
    HPROPSHEETPAGE page = CreatePropertySheetPageA(&record.psp);
    EXPECT_EQ(page != nullptr, c.created);
    EXPECT_EQ(Messages(), c.atCreation);
    if (page == nullptr)
    {
        return;
    }
    EXPECT_TRUE(DestroyPropertySheetPage(page));
    std::vector<UINT> all = c.atCreation;
    all.push_back(PSPCB_RELEASE);
    EXPECT_EQ(Messages(), all);
}

INSTANTIATE_TEST_SUITE_P(
    Sizes, PageSizeTest,
    ::testing::Values(SizeCase{"Zero", 0, false, {}},
                      SizeCase{"ShortOfVersion1", PROPSHEETPAGEA_V1_SIZE - 1, false, {}},
                      SizeCase{"Version1", PROPSHEETPAGEA_V1_SIZE, true, {}},
                      SizeCase{"Version2", PROPSHEETPAGEA_V2_SIZE, true, {PSPCB_ADDREF}},
                      SizeCase{"Version3", PROPSHEETPAGEA_V3_SIZE, true, {PSPCB_ADDREF}},
                      SizeCase{"Version4", PROPSHEETPAGEA_V4_SIZE, true, {PSPCB_ADDREF}},
                      SizeCase{"WithCallerData", sizeof(PageWithData), true, {PSPCB_ADDREF}}),
    [](const ::testing::TestParamInfo<SizeCase>& info) { return std::string(info.param.name); });

TEST_F(PageTest, TheCallbackSeesOneCopyOfTheRecordWithTheCallersDataBehindIt)
{
    PageWithData record = Record(sizeof(PageWithData));
    HPROPSHEETPAGE page = CreatePropertySheetPageA(&record.psp);
    ASSERT_NE(page, nullptr);
    // The caller's record may go away at once: the page has its own.
    memset(&record, 0, sizeof(record));
    ASSERT_TRUE(DestroyPropertySheetPage(page));

    ASSERT_EQ(Calls().size(), 2u);
    EXPECT_NE(Calls()[0].copy, &record.psp);
    EXPECT_EQ(Calls()[1].copy, Calls()[0].copy);
    EXPECT_EQ(Calls()[0].extra, 0xC0FFEEu);
    EXPECT_EQ(Calls()[1].extra, 0xC0FFEEu);
    // The ADDREF call's change of lParam is in the copy the RELEASE call gets.
    EXPECT_EQ(Calls()[0].lParam, 100);
    EXPECT_EQ(Calls()[1].lParam, 101);
}

TEST_F(PageTest, ThePageKeepsItsTitleWhenTheCallersStringChanges)
{
    char title[16] = "Port Settings";
    PageWithData record = Record(PROPSHEETPAGEA_V4_SIZE);
    record.psp.dwFlags |= PSP_USETITLE;
    record.psp.pszTitle = title;
    HPROPSHEETPAGE page = CreatePropertySheetPageA(&record.psp);
    ASSERT_NE(page, nullptr);
    strcpy(title, "Changed");
    ASSERT_TRUE(DestroyPropertySheetPage(page));
    ASSERT_EQ(Calls().size(), 2u);
    EXPECT_EQ(Calls()[1].title, "Port Settings");
}

TEST_F(PageTest, APageCountsItselfInItsParentsReferenceWhileItLives)
{
    UINT references = 0;
    PageWithData record = Record(PROPSHEETPAGEA_V1_SIZE);
    record.psp.dwFlags |= PSP_USEREFPARENT;
    record.psp.pcRefParent = &references;
    HPROPSHEETPAGE first = CreatePropertySheetPageA(&record.psp);
    HPROPSHEETPAGE second = CreatePropertySheetPageA(&record.psp);
    ASSERT_NE(first, nullptr);
    ASSERT_NE(second, nullptr);
    EXPECT_EQ(references, 2u);
    EXPECT_TRUE(DestroyPropertySheetPage(first));
    EXPECT_EQ(references, 1u);
    EXPECT_TRUE(DestroyPropertySheetPage(second));
    EXPECT_EQ(references, 0u);
}

TEST_F(PageTest, APageWithoutTheCallbackFlagGetsNoCallbackCalls)
{
    PageWithData record = Record(PROPSHEETPAGEA_V4_SIZE);
    record.psp.dwFlags &= ~PSP_USECALLBACK;
    HPROPSHEETPAGE page = CreatePropertySheetPageA(&record.psp);
    ASSERT_NE(page, nullptr);
    EXPECT_TRUE(DestroyPropertySheetPage(page));
    EXPECT_EQ(Messages(), std::vector<UINT>{});
}

TEST_F(PageTest, ADestroyedPageCannotBeDestroyedAgain)
{
    PageWithData record = Record(PROPSHEETPAGEA_V4_SIZE);
    HPROPSHEETPAGE page = CreatePropertySheetPageA(&record.psp);
    ASSERT_NE(page, nullptr);
    EXPECT_TRUE(DestroyPropertySheetPage(page));
    EXPECT_FALSE(DestroyPropertySheetPage(page));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(Messages(), (std::vector<UINT>{PSPCB_ADDREF, PSPCB_RELEASE}));
}

TEST(CommonControlsTest, InitialisationChecksTheStructureSize)
{
    INITCOMMONCONTROLSEX init{sizeof(INITCOMMONCONTROLSEX), ICC_STANDARD_CLASSES};
    EXPECT_TRUE(InitCommonControlsEx(&init));
    init.dwSize = sizeof(INITCOMMONCONTROLSEX) + 1;
    EXPECT_FALSE(InitCommonControlsEx(&init));
    EXPECT_FALSE(InitCommonControlsEx(nullptr));
}

} // namespace
