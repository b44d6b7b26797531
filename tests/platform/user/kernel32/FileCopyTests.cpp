// CopyFileA and ExpandEnvironmentStringsA.
#include "TestSupport.h"
#include "TableCases.h"

#include <windows.h>
#include <winsim/user.h>

#include <gtest/gtest.h>

#include <sys/stat.h>

namespace
{

struct CopyCase
{
    const char* name;
    bool sourceExists;
    bool targetExists;
    bool targetReadOnly;
    BOOL failIfExists;
    BOOL expected;
    DWORD error;
};
using winsimtest::PrintTo;

class CopyFileTest : public ::testing::TestWithParam<CopyCase>
{
};

TEST_P(CopyFileTest, CopiesOrFailsWithTheDocumentedError)
{
    const CopyCase& c = GetParam();
    testsupport::TempDir dir;
    if (c.sourceExists)
    {
        testsupport::WriteAll(dir / "from.txt", "new content");
    }
    if (c.targetExists)
    {
        testsupport::WriteAll(dir / "to.txt", "old");
        if (c.targetReadOnly)
        {
            chmod((dir / "to.txt").c_str(), 0444);
        }
    }
    SetLastError(0);
    BOOL copied = CopyFileA(winsim::ToWindowsPath(dir / "from.txt").c_str(),
                            winsim::ToWindowsPath(dir / "to.txt").c_str(), c.failIfExists);
    EXPECT_EQ(copied, c.expected);
    if (c.expected)
    {
        EXPECT_EQ(testsupport::ReadAll(dir / "to.txt"), "new content");
        EXPECT_EQ(testsupport::ReadAll(dir / "from.txt"), "new content");
    }
    else
    {
        EXPECT_EQ(GetLastError(), c.error);
        if (c.targetExists)
        {
            EXPECT_EQ(testsupport::ReadAll(dir / "to.txt"), "old");
        }
    }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, CopyFileTest,
    ::testing::Values(CopyCase{"NewTarget", true, false, false, TRUE, TRUE, 0},
                      CopyCase{"ReplacesTarget", true, true, false, FALSE, TRUE, 0},
                      CopyCase{"KeepsTarget", true, true, false, TRUE, FALSE, ERROR_FILE_EXISTS},
                      CopyCase{"ReadOnlyTarget", true, true, true, FALSE, FALSE, ERROR_ACCESS_DENIED},
                      CopyCase{"MissingSource", false, false, false, FALSE, FALSE, ERROR_FILE_NOT_FOUND}),
    [](const ::testing::TestParamInfo<CopyCase>& info) { return std::string(info.param.name); });

TEST(ExpandEnvironmentStringsTest, CountsTheTerminatorAndAsksForRoomWhenShort)
{
    const char* source = "%SystemRoot%\\System32";
    const std::string expanded = "C:\\Windows\\System32";
    char buffer[64];
    EXPECT_EQ(ExpandEnvironmentStringsA(source, buffer, sizeof(buffer)), expanded.size() + 1);
    EXPECT_EQ(std::string(buffer), expanded);
    char small[4] = "xyz";
    EXPECT_EQ(ExpandEnvironmentStringsA(source, small, sizeof(small)), expanded.size() + 1);
    EXPECT_EQ(ExpandEnvironmentStringsA("%NoSuchVariable_1%", buffer, sizeof(buffer)), 19u);
    EXPECT_EQ(std::string(buffer), "%NoSuchVariable_1%");
}

} // namespace
