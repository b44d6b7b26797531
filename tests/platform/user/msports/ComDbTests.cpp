// The COM-name database of msports on a machine of the test's own: the machine claims COM1 and
// COM2 for its built-in ports at boot, and the database is the registry value its Ports class
// installer uses.
#include <windows.h>
#include <msports.h>

#include "machine/Machine.h"

#include "TableCases.h"

#include <gtest/gtest.h>

#include <stdlib.h>

#include <set>
#include <thread>
#include <vector>

namespace
{

using winsimtest::PrintTo;

const std::u16string kArbiterKey = u"HKLM\\SYSTEM\\CurrentControlSet\\Control\\COM Name Arbiter";

class ComDbTest : public ::testing::Test
{
  protected:
    void SetUp() override { ASSERT_EQ(ComDBOpen(&m_db), ERROR_SUCCESS); }
    void TearDown() override
    {
        if (m_db != HCOMDB_INVALID_HANDLE_VALUE)
        {
            EXPECT_EQ(ComDBClose(m_db), ERROR_SUCCESS);
        }
    }

    // The ComDB value as the registry stores it.
    std::vector<UCHAR> StoredBits()
    {
        auto value = m_machine.StoredRegistryValue(kArbiterKey, u"ComDB");
        return value ? value->data : std::vector<UCHAR>();
    }
    bool StoredClaim(unsigned number)
    {
        std::vector<UCHAR> bits = StoredBits();
        return (number - 1) / 8 < bits.size() && (bits[(number - 1) / 8] & (1u << ((number - 1) % 8))) != 0;
    }

    winsim::machine::Machine m_machine;
    HCOMDB m_db = HCOMDB_INVALID_HANDLE_VALUE;
};

struct UsageCase
{
    const char* name;
    bool withBuffer;
    DWORD bufferSize;
    ULONG reportType;
    LONG expectedResult;
    DWORD expectedReported;
    std::vector<BYTE> expectedBuffer; // the buffer's first bytes; the rest stay as they were (0xEE)
};

class ComDbUsageTest : public ComDbTest, public ::testing::WithParamInterface<UsageCase>
{
};

TEST_P(ComDbUsageTest, ReportsTheClaimedNumbersAsFarAsTheBufferAndTheDatabaseGo)
{
    const UsageCase& c = GetParam();
    // COM1 and COM2 are the machine's; COM5 and COM9 taken here.
    ASSERT_EQ(ComDBClaimPort(m_db, 5, FALSE, nullptr), ERROR_SUCCESS);
    ASSERT_EQ(ComDBClaimPort(m_db, 9, FALSE, nullptr), ERROR_SUCCESS);
    std::vector<BYTE> buffer(300, 0xEE);
    DWORD reported = 0xDEAD;
    EXPECT_EQ(ComDBGetCurrentPortUsage(m_db, c.withBuffer ? buffer.data() : nullptr, c.bufferSize,
                                       c.reportType, &reported),
              c.expectedResult);
    EXPECT_EQ(reported, c.expectedReported);
    if (c.expectedResult == ERROR_SUCCESS)
    {
        std::vector<BYTE> expected = c.expectedBuffer;
        expected.resize(buffer.size(), 0xEE);
        EXPECT_EQ(buffer, expected);
    }
}

// The report of COM1, COM2, COM5 and COM9 taken, as bits or as bytes, for the first numbers.
std::vector<BYTE> Bits(size_t bytes)
{
    std::vector<BYTE> bits(bytes, 0);
    bits[0] = 0x13;
    if (bytes > 1)
    {
        bits[1] = 0x01;
    }
    return bits;
}

std::vector<BYTE> Bytes(size_t numbers)
{
    std::vector<BYTE> bytes(numbers, 0);
    for (size_t number : {1, 2, 5, 9})
    {
        if (number <= numbers)
        {
            bytes[number - 1] = 1;
        }
    }
    return bytes;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ComDbUsageTest,
    ::testing::Values(
        UsageCase{"NoBufferGivesTheDatabaseSize", false, 0, CDB_REPORT_BITS, ERROR_SUCCESS, 256, {}},
        UsageCase{"NoBufferIgnoresTheReportType", false, 0, 7, ERROR_SUCCESS, 256, {}},
        UsageCase{"BitsOfTheWholeDatabase", true, 32, CDB_REPORT_BITS, ERROR_SUCCESS, 256, Bits(32)},
        UsageCase{"BitsCutToTheBuffer", true, 1, CDB_REPORT_BITS, ERROR_SUCCESS, 8, Bits(1)},
        UsageCase{"BitsCutToTheDatabase", true, 64, CDB_REPORT_BITS, ERROR_SUCCESS, 256, Bits(32)},
        UsageCase{"BytesOnePerNumber", true, 10, CDB_REPORT_BYTES, ERROR_SUCCESS, 10, Bytes(10)},
        UsageCase{"BytesCutToTheDatabase", true, 300, CDB_REPORT_BYTES, ERROR_SUCCESS, 256, Bytes(256)},
        UsageCase{"AnUnknownReportTypeFails", true, 32, 2, ERROR_INVALID_PARAMETER, 0xDEAD, {}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(ComDbTest, UsageWithNeitherBufferNorCountFails)
{
    EXPECT_EQ(ComDBGetCurrentPortUsage(m_db, nullptr, 0, CDB_REPORT_BITS, nullptr), ERROR_INVALID_PARAMETER);
}

TEST_F(ComDbTest, BytesReportEveryNumberOfALargeBuffer)
{
    std::vector<BYTE> buffer(256, 0xEE);
    DWORD reported = 0;
    ASSERT_EQ(ComDBGetCurrentPortUsage(m_db, buffer.data(), 256, CDB_REPORT_BYTES, &reported), ERROR_SUCCESS);
    EXPECT_EQ(reported, 256u);
    std::vector<BYTE> expected(256, 0);
    expected[0] = expected[1] = 1;
    EXPECT_EQ(buffer, expected);
}

TEST_F(ComDbTest, AClaimIsStoredInTheRegistryAndRefusedASecondTimeUnlessForced)
{
    BOOL forced = 7;
    ASSERT_EQ(ComDBClaimPort(m_db, 12, FALSE, &forced), ERROR_SUCCESS);
    EXPECT_EQ(forced, FALSE);
    EXPECT_TRUE(StoredClaim(12));
    EXPECT_EQ(StoredBits().size(), 32u);

    forced = 7;
    EXPECT_EQ(ComDBClaimPort(m_db, 12, FALSE, &forced), ERROR_SHARING_VIOLATION);
    EXPECT_EQ(forced, FALSE);
    EXPECT_EQ(ComDBClaimPort(m_db, 1, FALSE, nullptr), ERROR_SHARING_VIOLATION); // the machine's COM1

    EXPECT_EQ(ComDBClaimPort(m_db, 12, TRUE, &forced), ERROR_SUCCESS);
    EXPECT_EQ(forced, TRUE);
    EXPECT_TRUE(StoredClaim(12));
}

TEST_F(ComDbTest, ReleasingFreesTheNumberForTheNextClaim)
{
    ASSERT_EQ(ComDBClaimPort(m_db, 3, FALSE, nullptr), ERROR_SUCCESS);
    ASSERT_EQ(ComDBReleasePort(m_db, 3), ERROR_SUCCESS);
    EXPECT_FALSE(StoredClaim(3));
    EXPECT_TRUE(StoredClaim(2));                         // its neighbours stay
    EXPECT_EQ(ComDBReleasePort(m_db, 3), ERROR_SUCCESS); // a free number: nothing to do
    EXPECT_EQ(ComDBClaimPort(m_db, 3, FALSE, nullptr), ERROR_SUCCESS);
}

TEST_F(ComDbTest, TheNextFreeNumberIsTheLowestUntilNoneIsLeft)
{
    DWORD number = 0;
    ASSERT_EQ(ComDBClaimPort(m_db, 4, FALSE, nullptr), ERROR_SUCCESS);
    ASSERT_EQ(ComDBClaimNextFreePort(m_db, &number), ERROR_SUCCESS);
    EXPECT_EQ(number, 3u);
    ASSERT_EQ(ComDBClaimNextFreePort(m_db, &number), ERROR_SUCCESS);
    EXPECT_EQ(number, 5u);
    EXPECT_TRUE(StoredClaim(3));
    EXPECT_TRUE(StoredClaim(5));
    for (DWORD n = 6; n <= 256; ++n)
    {
        ASSERT_EQ(ComDBClaimPort(m_db, n, FALSE, nullptr), ERROR_SUCCESS) << n;
    }
    number = 0;
    EXPECT_EQ(ComDBClaimNextFreePort(m_db, &number), ERROR_NO_LOG_SPACE);
    EXPECT_EQ(number, 0u);
}

struct NumberCase
{
    const char* name;
    DWORD number;
    LONG claim;
    LONG release;
};

class ComDbNumberTest : public ComDbTest, public ::testing::WithParamInterface<NumberCase>
{
};

TEST_P(ComDbNumberTest, NumbersOutsideTheDatabaseAreRefused)
{
    const NumberCase& c = GetParam();
    EXPECT_EQ(ComDBReleasePort(m_db, c.number), c.release);
    EXPECT_EQ(ComDBClaimPort(m_db, c.number, FALSE, nullptr), c.claim);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ComDbNumberTest,
    ::testing::Values(NumberCase{"Zero", 0, ERROR_INVALID_PARAMETER, ERROR_INVALID_PARAMETER},
                      NumberCase{"TheLastOfTheDatabase", 256, ERROR_SUCCESS, ERROR_SUCCESS},
                      // A claim beyond the database grows it; a release there has nothing to free.
                      NumberCase{"BeyondTheDatabase", 257, ERROR_SUCCESS, ERROR_INVALID_PARAMETER},
                      NumberCase{"TheLastArbitrated", COMDB_MAX_PORTS_ARBITRATED, ERROR_SUCCESS,
                                 ERROR_INVALID_PARAMETER},
                      NumberCase{"BeyondTheLastArbitrated", COMDB_MAX_PORTS_ARBITRATED + 1,
                                 ERROR_INVALID_PARAMETER, ERROR_INVALID_PARAMETER}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(ComDbTest, AClaimBeyondTheDatabaseGrowsItToTheNextThousandAndTwentyFour)
{
    ASSERT_EQ(ComDBClaimPort(m_db, 300, FALSE, nullptr), ERROR_SUCCESS);
    DWORD size = 0;
    ASSERT_EQ(ComDBGetCurrentPortUsage(m_db, nullptr, 0, CDB_REPORT_BITS, &size), ERROR_SUCCESS);
    EXPECT_EQ(size, 1024u);
    EXPECT_EQ(StoredBits().size(), 128u);
    EXPECT_TRUE(StoredClaim(300));
    EXPECT_TRUE(StoredClaim(1));
}

struct ResizeCase
{
    const char* name;
    DWORD newSize;
    LONG expected;
    DWORD sizeAfter;
};

class ComDbResizeTest : public ComDbTest, public ::testing::WithParamInterface<ResizeCase>
{
};

TEST_P(ComDbResizeTest, TheDatabaseGrowsInStepsOf1024UpToTheLimit)
{
    const ResizeCase& c = GetParam();
    EXPECT_EQ(ComDBResizeDatabase(m_db, c.newSize), c.expected);
    DWORD size = 0;
    ASSERT_EQ(ComDBGetCurrentPortUsage(m_db, nullptr, 0, CDB_REPORT_BITS, &size), ERROR_SUCCESS);
    EXPECT_EQ(size, c.sizeAfter);
    EXPECT_EQ(StoredBits().size(), c.sizeAfter / 8);
    EXPECT_TRUE(StoredClaim(2)); // the claims stay
}

INSTANTIATE_TEST_SUITE_P(Cases, ComDbResizeTest,
                         ::testing::Values(ResizeCase{"To1024", 1024, ERROR_SUCCESS, 1024},
                                           ResizeCase{"ToTheLimit", 4096, ERROR_SUCCESS, 4096},
                                           ResizeCase{"NotAMultipleOf1024", 1000, ERROR_INVALID_PARAMETER,
                                                      256},
                                           ResizeCase{"BeyondTheLimit", 5120, ERROR_BAD_LENGTH, 256},
                                           ResizeCase{"Zero", 0, ERROR_BAD_LENGTH, 256}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(ComDbTest, ShrinkingOrKeepingTheSizeFails)
{
    ASSERT_EQ(ComDBResizeDatabase(m_db, 2048), ERROR_SUCCESS);
    EXPECT_EQ(ComDBResizeDatabase(m_db, 2048), ERROR_BAD_LENGTH);
    EXPECT_EQ(ComDBResizeDatabase(m_db, 1024), ERROR_BAD_LENGTH);
}

TEST_F(ComDbTest, AClosedHandleIsNoLongerAccepted)
{
    HCOMDB second = HCOMDB_INVALID_HANDLE_VALUE;
    ASSERT_EQ(ComDBOpen(&second), ERROR_SUCCESS);
    ASSERT_NE(second, HCOMDB_INVALID_HANDLE_VALUE);
    EXPECT_EQ(ComDBClose(second), ERROR_SUCCESS);
    DWORD number = 0;
    EXPECT_EQ(ComDBClose(second), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(ComDBClaimPort(second, 7, FALSE, nullptr), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(ComDBClaimNextFreePort(second, &number), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(ComDBReleasePort(second, 1), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(ComDBGetCurrentPortUsage(second, nullptr, 0, CDB_REPORT_BITS, &number),
              ERROR_INVALID_PARAMETER);
    EXPECT_EQ(ComDBResizeDatabase(second, 1024), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(ComDBClose(HCOMDB_INVALID_HANDLE_VALUE), ERROR_INVALID_PARAMETER);
    EXPECT_FALSE(StoredClaim(7));
}

TEST_F(ComDbTest, AStandardUserCannotOpenTheDatabase)
{
    setenv("WINSIM_TOKEN", "standard", 1);
    HCOMDB denied = nullptr;
    LONG result = ComDBOpen(&denied);
    unsetenv("WINSIM_TOKEN");
    EXPECT_EQ(result, ERROR_ACCESS_DENIED);
    EXPECT_EQ(denied, HCOMDB_INVALID_HANDLE_VALUE);
}

TEST_F(ComDbTest, ClaimsOfTheMachinesInstallerAndOfMsportsShareOneDatabase)
{
    // A claim the installer's value already holds is seen here, and one made here is seen there.
    std::vector<UCHAR> bits = StoredBits();
    bits[0] |= 0x40; // COM7
    m_machine.SetRegistryValue(kArbiterKey, u"ComDB",
                               winsim::machine::RegistryValue::Bytes(REG_BINARY, bits.data(), bits.size()));
    EXPECT_EQ(ComDBClaimPort(m_db, 7, FALSE, nullptr), ERROR_SHARING_VIOLATION);
    DWORD number = 0;
    ASSERT_EQ(ComDBClaimNextFreePort(m_db, &number), ERROR_SUCCESS);
    EXPECT_EQ(number, 3u);
    EXPECT_TRUE(StoredClaim(3));
}

TEST_F(ComDbTest, ClaimsFromSeveralThreadsWithHandlesOfTheirOwnAreNeverLost)
{
    constexpr int kThreads = 4;
    constexpr int kClaimsEach = 40;
    std::vector<std::vector<DWORD>> claimed(kThreads);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
    {
        threads.emplace_back([&claimed, t] {
            HCOMDB db = HCOMDB_INVALID_HANDLE_VALUE;
            if (ComDBOpen(&db) != ERROR_SUCCESS)
            {
                return;
            }
            for (int i = 0; i < kClaimsEach; ++i)
            {
                DWORD number = 0;
                if (ComDBClaimNextFreePort(db, &number) == ERROR_SUCCESS)
                {
                    claimed[t].push_back(number);
                }
            }
            ComDBClose(db);
        });
    }
    for (auto& thread : threads)
    {
        thread.join();
    }
    std::set<DWORD> all;
    for (const auto& numbers : claimed)
    {
        EXPECT_EQ(numbers.size(), static_cast<size_t>(kClaimsEach));
        all.insert(numbers.begin(), numbers.end());
    }
    EXPECT_EQ(all.size(), static_cast<size_t>(kThreads * kClaimsEach)); // no number given out twice
    EXPECT_EQ(*all.begin(), 3u);
    EXPECT_EQ(*all.rbegin(), static_cast<DWORD>(2 + kThreads * kClaimsEach));
    for (DWORD n : all)
    {
        EXPECT_TRUE(StoredClaim(n)) << n; // no claim overwritten by another thread's write
    }
}

} // namespace
