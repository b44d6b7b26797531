// The process's rights and platform: membership of BUILTIN\Administrators, WOW64, and version
// checks against the machine's Windows version.
#include "Win32Machine.h"

#include <memory>

namespace
{

PSID NewSid(BYTE count, DWORD rid0, DWORD rid1)
{
    SID_IDENTIFIER_AUTHORITY nt = SECURITY_NT_AUTHORITY;
    PSID sid = nullptr;
    EXPECT_TRUE(AllocateAndInitializeSid(&nt, count, rid0, rid1, 0, 0, 0, 0, 0, 0, &sid));
    return sid;
}

BOOL IsMember(PSID sid)
{
    BOOL member = 2;
    EXPECT_TRUE(CheckTokenMembership(nullptr, sid, &member));
    return member;
}

TEST(SecurityTest, AdministratorsMembershipFollowsTheProcessSetting)
{
    PSID admins = NewSid(2, SECURITY_BUILTIN_DOMAIN_RID, DOMAIN_ALIAS_RID_ADMINS);
    PSID users = NewSid(2, SECURITY_BUILTIN_DOMAIN_RID, DOMAIN_ALIAS_RID_USERS);
    PSID other = NewSid(2, SECURITY_BUILTIN_DOMAIN_RID, 0x999);
    EXPECT_EQ(IsMember(admins), TRUE);
    EXPECT_EQ(IsMember(users), TRUE);
    EXPECT_EQ(IsMember(other), FALSE);
    winsim::machine::SetProcessAdministrator(false);
    EXPECT_EQ(IsMember(admins), FALSE);
    EXPECT_EQ(IsMember(users), TRUE);
    winsim::machine::SetProcessAdministrator(true);
    EXPECT_EQ(IsMember(admins), TRUE);
    EXPECT_EQ(FreeSid(admins), nullptr);
    FreeSid(users);
    FreeSid(other);
}

TEST(SecurityTest, MembershipRejectsABadSidAndAForeignToken)
{
    BYTE garbage[16] = {9, 1};
    BOOL member = FALSE;
    EXPECT_FALSE(CheckTokenMembership(nullptr, garbage, &member));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    SID_IDENTIFIER_AUTHORITY nt = SECURITY_NT_AUTHORITY;
    PSID sid = nullptr;
    EXPECT_FALSE(AllocateAndInitializeSid(&nt, 9, 0, 0, 0, 0, 0, 0, 0, 0, &sid));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
}

TEST(SecurityTest, Wow64FollowsTheProcessSetting)
{
    BOOL wow64 = 2;
    EXPECT_TRUE(IsWow64Process(GetCurrentProcess(), &wow64));
    EXPECT_EQ(wow64, FALSE);
    winsim::machine::SetProcessWow64(true);
    EXPECT_TRUE(IsWow64Process(GetCurrentProcess(), &wow64));
    EXPECT_EQ(wow64, TRUE);
    winsim::machine::SetProcessWow64(false);
    EXPECT_TRUE(IsWow64Process(GetCurrentProcess(), &wow64));
    EXPECT_EQ(wow64, FALSE);
}

struct VersionCase
{
    const char* name;
    ULONG machineMajor;
    ULONG machineMinor;
    DWORD major;
    DWORD minor;
    BYTE condition;
    BOOL expected;
};
using winsimtest::PrintTo;

class VersionTest : public ::testing::TestWithParam<VersionCase>
{
};

TEST_P(VersionTest, VerifyVersionInfoComparesMajorThenMinor)
{
    const VersionCase& c = GetParam();
    winsim::machine::MachineConfig config;
    config.majorVersion = c.machineMajor;
    config.minorVersion = c.machineMinor;
    config.buildNumber = c.machineMajor == 5 ? 2600 : 19045;
    winsim::machine::Machine machine(config);
    OSVERSIONINFOEXA wanted{};
    wanted.dwOSVersionInfoSize = sizeof(wanted);
    wanted.dwMajorVersion = c.major;
    wanted.dwMinorVersion = c.minor;
    ULONGLONG mask = VerSetConditionMask(0, VER_MAJORVERSION, c.condition);
    mask = VerSetConditionMask(mask, VER_MINORVERSION, c.condition);
    SetLastError(0);
    EXPECT_EQ(VerifyVersionInfoA(&wanted, VER_MAJORVERSION | VER_MINORVERSION, mask), c.expected);
    EXPECT_EQ(GetLastError(),
              c.expected ? static_cast<DWORD>(ERROR_SUCCESS) : static_cast<DWORD>(ERROR_OLD_WIN_VERSION));
}

INSTANTIATE_TEST_SUITE_P(
    Versions, VersionTest,
    ::testing::Values(VersionCase{"Xp_AtLeastXp", 5, 1, 5, 1, VER_GREATER_EQUAL, TRUE},
                      VersionCase{"Xp_AtLeastVista", 5, 1, 6, 0, VER_GREATER_EQUAL, FALSE},
                      VersionCase{"Xp_AtLeast2000", 5, 1, 5, 0, VER_GREATER_EQUAL, TRUE},
                      VersionCase{"Xp_AtLeastWin10", 5, 1, 10, 0, VER_GREATER_EQUAL, FALSE},
                      VersionCase{"Xp_Below6", 5, 1, 6, 0, VER_LESS, TRUE},
                      VersionCase{"Win10_AtLeastXp", 10, 0, 5, 1, VER_GREATER_EQUAL, TRUE},
                      VersionCase{"Win10_AtLeastWin10", 10, 0, 10, 0, VER_GREATER_EQUAL, TRUE},
                      VersionCase{"Win10_EqualXp", 10, 0, 5, 1, VER_EQUAL, FALSE},
                      VersionCase{"Win10_GreaterThan6_3", 10, 0, 6, 3, VER_GREATER, TRUE},
                      VersionCase{"Win10_GreaterThanItself", 10, 0, 10, 0, VER_GREATER, FALSE}),
    [](const ::testing::TestParamInfo<VersionCase>& info) { return std::string(info.param.name); });

TEST(VersionMaskTest, ConditionMaskHoldsThreeBitsAField)
{
    EXPECT_EQ(VerSetConditionMask(0, VER_MINORVERSION, VER_EQUAL), 1ULL);
    EXPECT_EQ(VerSetConditionMask(0, VER_MAJORVERSION, VER_GREATER_EQUAL), 3ULL << 3);
    EXPECT_EQ(VerSetConditionMask(0, VER_BUILDNUMBER, VER_LESS), 4ULL << 6);
    EXPECT_EQ(VerSetConditionMask(0, VER_MAJORVERSION | VER_MINORVERSION, VER_GREATER), (2ULL << 3) | 2ULL);
}

} // namespace
