// CopyFileA, DeleteFileA, CreateDirectoryA, ExpandEnvironmentStringsA and SetEnvironmentVariableA.
#include "TestSupport.h"
#include "TableCases.h"

#include <windows.h>
#include <winsim/user.h>

#include <gtest/gtest.h>

#include <stdlib.h>
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

// --- ExpandEnvironmentStringsA ---

struct ExpandCase
{
    const char* name;
    const char* source;
    DWORD bufferSize;
    const char* expanded; // what the buffer holds afterwards: the result, or untouched ("xyz")
    DWORD result;         // characters with the terminator, or the size needed
};

class ExpandEnvironmentStringsTest : public ::testing::TestWithParam<ExpandCase>
{
  protected:
    void SetUp() override { setenv("WINSIM_EXPAND_TEST", "value", 1); }
    void TearDown() override { unsetenv("WINSIM_EXPAND_TEST"); }
};

TEST_P(ExpandEnvironmentStringsTest, ExpandsKnownNamesAndCountsTheTerminator)
{
    const ExpandCase& c = GetParam();
    char buffer[64] = "xyz";
    EXPECT_EQ(ExpandEnvironmentStringsA(c.source, buffer, c.bufferSize), c.result);
    EXPECT_EQ(std::string(buffer), c.expanded);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ExpandEnvironmentStringsTest,
    ::testing::Values(ExpandCase{"SystemRoot", "%SystemRoot%\\System32", 64, "C:\\Windows\\System32", 20},
                      ExpandCase{"NameInAnyCase", "%SYSTEMROOT%|%windir%|%systemdrive%", 64,
                                 "C:\\Windows|C:\\Windows|C:", 25},
                      ExpandCase{"ProcessVariableInAnyCase", "<%winsim_expand_test%>", 64, "<value>", 8},
                      ExpandCase{"ExactFit", "%SystemRoot%", 11, "C:\\Windows", 11},
                      ExpandCase{"ShortByOneAsksForRoom", "%SystemRoot%", 10, "xyz", 11},
                      ExpandCase{"UnknownLeftAsWritten", "%NoSuchVariable_1%", 64, "%NoSuchVariable_1%", 19},
                      ExpandCase{"UnknownThenKnown", "%NoSuch_1%SystemRoot%", 64, "%NoSuch_1C:\\Windows", 20},
                      ExpandCase{"DoublePercentStays", "100%% %SystemDrive%", 64, "100%% C:", 9},
                      ExpandCase{"LonePercentStays", "50% off", 64, "50% off", 8}),
    [](const ::testing::TestParamInfo<ExpandCase>& info) { return std::string(info.param.name); });

// --- DeleteFileA ---

struct DeleteCase
{
    const char* name;
    const char* target; // under the test's folder, which holds file.txt, readonly.txt and folder/
    BOOL expected;
    DWORD error;
};

class DeleteFileTest : public ::testing::TestWithParam<DeleteCase>
{
};

TEST_P(DeleteFileTest, DeletesAFileOrFailsWithTheDocumentedError)
{
    const DeleteCase& c = GetParam();
    testsupport::TempDir dir;
    testsupport::WriteAll(dir / "file.txt", "x");
    testsupport::WriteAll(dir / "readonly.txt", "x");
    chmod((dir / "readonly.txt").c_str(), 0444);
    mkdir((dir / "folder").c_str(), 0755);
    SetLastError(0);
    EXPECT_EQ(DeleteFileA(winsim::ToWindowsPath(dir / c.target).c_str()), c.expected);
    if (c.expected)
    {
        EXPECT_FALSE(testsupport::Exists(dir / c.target));
    }
    else
    {
        EXPECT_EQ(GetLastError(), c.error);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, DeleteFileTest,
    ::testing::Values(DeleteCase{"File", "file.txt", TRUE, 0},
                      DeleteCase{"MissingFile", "nothing.txt", FALSE, ERROR_FILE_NOT_FOUND},
                      DeleteCase{"MissingFolder", "nowhere/file.txt", FALSE, ERROR_PATH_NOT_FOUND},
                      DeleteCase{"Folder", "folder", FALSE, ERROR_ACCESS_DENIED},
                      DeleteCase{"ReadOnlyFile", "readonly.txt", FALSE, ERROR_ACCESS_DENIED}),
    [](const ::testing::TestParamInfo<DeleteCase>& info) { return std::string(info.param.name); });

TEST(CreateDirectoryTest, CreatesOneLevelOrFailsWithTheDocumentedError)
{
    testsupport::TempDir dir;
    std::string folder = winsim::ToWindowsPath(dir / "logs");
    EXPECT_TRUE(CreateDirectoryA(folder.c_str(), NULL));
    EXPECT_TRUE(std::filesystem::is_directory(dir / "logs"));
    SetLastError(0);
    EXPECT_FALSE(CreateDirectoryA(folder.c_str(), NULL));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ALREADY_EXISTS));
    std::string deeper = winsim::ToWindowsPath(dir / "missing") + "\\logs";
    EXPECT_FALSE(CreateDirectoryA(deeper.c_str(), NULL));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PATH_NOT_FOUND));
}

TEST(EnvironmentVariableTest, SetReplacesAnySpellingAndNullRemoves)
{
    ASSERT_TRUE(SetEnvironmentVariableA("Winsim_Test_Drop", "C:\\One"));
    ASSERT_TRUE(SetEnvironmentVariableA("WINSIM_TEST_DROP", "C:\\Two"));
    char value[64];
    EXPECT_EQ(GetEnvironmentVariableA("winsim_test_drop", value, sizeof(value)), 6u);
    EXPECT_STREQ(value, "C:\\Two");
    EXPECT_EQ(ExpandEnvironmentStringsA("%WINSIM_TEST_DROP%\\x", value, sizeof(value)), 9u);
    EXPECT_STREQ(value, "C:\\Two\\x");

    EXPECT_TRUE(SetEnvironmentVariableA("winsim_test_drop", NULL));
    SetLastError(0);
    EXPECT_EQ(GetEnvironmentVariableA("WINSIM_TEST_DROP", value, sizeof(value)), 0u);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ENVVAR_NOT_FOUND));

    EXPECT_FALSE(SetEnvironmentVariableA("A=B", "x"));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_FALSE(SetEnvironmentVariableA("", "x"));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
}

} // namespace
