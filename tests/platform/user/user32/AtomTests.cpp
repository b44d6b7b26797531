// Registered window messages.
#include <windows.h>

#include <gtest/gtest.h>

#include "TestSupport.h"

namespace
{

TEST(RegisterWindowMessageTest, SameNameSameNumberWithoutRegardToCase)
{
    UINT first = RegisterWindowMessageA("Atom.Test:First");
    EXPECT_GE(first, 0xC000u);
    EXPECT_LE(first, 0xFFFFu);
    EXPECT_EQ(RegisterWindowMessageA("ATOM.TEST:FIRST"), first);
    EXPECT_EQ(RegisterWindowMessageA("atom.test:first"), first);
    UINT second = RegisterWindowMessageA("Atom.Test:Second");
    EXPECT_GE(second, 0xC000u);
    EXPECT_NE(second, first);
}

TEST(RegisterWindowMessageTest, EveryProcessOfTheMachineGetsTheSameNumber)
{
    testsupport::TempDir dir;
    // Registered first by another process, then here.
    testsupport::RunResult r =
        testsupport::Run({USER_TEST_CHILD, "register", "Atom.Test:Shared"}, dir.Path());
    ASSERT_EQ(r.exitCode, 0);
    UINT theirs = static_cast<UINT>(std::stoul(r.output));
    EXPECT_EQ(RegisterWindowMessageA("atom.test:SHARED"), theirs);
    // Registered here first, then by another process; a new name gets a new number there.
    UINT mine = RegisterWindowMessageA("Atom.Test:Mine");
    EXPECT_NE(mine, theirs);
    r = testsupport::Run({USER_TEST_CHILD, "register", "ATOM.TEST:MINE"}, dir.Path());
    EXPECT_EQ(static_cast<UINT>(std::stoul(r.output)), mine);
    r = testsupport::Run({USER_TEST_CHILD, "register", "Atom.Test:Theirs"}, dir.Path());
    UINT another = static_cast<UINT>(std::stoul(r.output));
    EXPECT_NE(another, mine);
    EXPECT_NE(another, theirs);
    EXPECT_GE(another, 0xC000u);
}

TEST(RegisterWindowMessageTest, EmptyNameFails)
{
    EXPECT_EQ(RegisterWindowMessageA(""), 0u);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(RegisterWindowMessageA(nullptr), 0u);
}

} // namespace
