// NtQueryInformationFile and NtSetInformationFile on a device: what the I/O manager checks and
// answers itself before a request reaches the driver, and what it lets through. The loopback
// device records every information request it receives.
#include <windows.h>
#include <winternl.h>

#include "Win32Machine.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

namespace
{

using win32test::Win32MachineTest;
using winsimtest::PrintTo;

template <typename Case>
std::string CaseName(const ::testing::TestParamInfo<Case>& info)
{
    return info.param.name;
}

constexpr UCHAR Untouched = 0xAA;
constexpr ULONG_PTR UntouchedInformation = 0xDEADBEEF;

// One call of either service.
struct InfoCase
{
    const char* name;
    bool set; // NtSetInformationFile, otherwise NtQueryInformationFile
    FILE_INFORMATION_CLASS infoClass;
    ULONG length;
    NTSTATUS status;
};

class FileInformationTest : public Win32MachineTest
{
  protected:
    void SetUp() override
    {
        Win32MachineTest::SetUp();
        iosb.Status = STATUS_PENDING;
        iosb.Information = UntouchedInformation;
    }

    NTSTATUS Call(HANDLE file, bool set, FILE_INFORMATION_CLASS infoClass, void* buffer, ULONG length)
    {
        return set ? NtSetInformationFile(file, &iosb, buffer, length, infoClass)
                   : NtQueryInformationFile(file, &iosb, buffer, length, infoClass);
    }
    NTSTATUS QueryPosition(HANDLE file, LONGLONG* position)
    {
        FILE_POSITION_INFORMATION info{};
        NTSTATUS status = NtQueryInformationFile(file, &iosb, &info, sizeof(info), FilePositionInformation);
        *position = info.CurrentByteOffset.QuadPart;
        return status;
    }
    NTSTATUS SetPosition(HANDLE file, LONGLONG position)
    {
        FILE_POSITION_INFORMATION info{};
        info.CurrentByteOffset.QuadPart = position;
        return NtSetInformationFile(file, &iosb, &info, sizeof(info), FilePositionInformation);
    }
    NTSTATUS SetMode(HANDLE file, ULONG mode)
    {
        return NtSetInformationFile(file, &iosb, &mode, sizeof(mode), FileModeInformation);
    }
    NTSTATUS QueryMode(HANDLE file, ULONG* mode)
    {
        return NtQueryInformationFile(file, &iosb, mode, sizeof(*mode), FileModeInformation);
    }

    IO_STATUS_BLOCK iosb{};
};

// --- refused before the driver ---------------------------------------------------------------

class RefusedInformationTest : public FileInformationTest, public ::testing::WithParamInterface<InfoCase>
{
};

TEST_P(RefusedInformationTest, FailsWithoutTheDriverOrTheStatusBlock)
{
    const InfoCase& c = GetParam();
    HANDLE file = Open();
    ASSERT_NE(file, INVALID_HANDLE_VALUE) << "error " << GetLastError();
    std::vector<UCHAR> buffer(128, Untouched);

    EXPECT_EQ(Call(file, c.set, c.infoClass, buffer.data(), c.length), c.status);

    EXPECT_EQ(loopback::InformationRequests().size(), 0u);
    EXPECT_EQ(iosb.Status, STATUS_PENDING) << "a refused call leaves the I/O status block alone";
    EXPECT_EQ(iosb.Information, UntouchedInformation);
    EXPECT_EQ(std::count(buffer.begin(), buffer.end(), Untouched), 128);
    CloseHandle(file);
}

INSTANTIATE_TEST_SUITE_P(
    ShortBuffers, RefusedInformationTest,
    ::testing::Values(
        InfoCase{"QueryStandard", false, FileStandardInformation, 23, STATUS_INFO_LENGTH_MISMATCH},
        InfoCase{"QueryBasic", false, FileBasicInformation, 39, STATUS_INFO_LENGTH_MISMATCH},
        InfoCase{"QueryPosition", false, FilePositionInformation, 7, STATUS_INFO_LENGTH_MISMATCH},
        InfoCase{"QueryMode", false, FileModeInformation, 3, STATUS_INFO_LENGTH_MISMATCH},
        InfoCase{"QueryName", false, FileNameInformation, 7, STATUS_INFO_LENGTH_MISMATCH},
        InfoCase{"QueryAll", false, FileAllInformation, 103, STATUS_INFO_LENGTH_MISMATCH},
        InfoCase{"QueryEmpty", false, FileStandardInformation, 0, STATUS_INFO_LENGTH_MISMATCH},
        InfoCase{"SetBasic", true, FileBasicInformation, 39, STATUS_INFO_LENGTH_MISMATCH},
        InfoCase{"SetPosition", true, FilePositionInformation, 7, STATUS_INFO_LENGTH_MISMATCH},
        InfoCase{"SetEndOfFile", true, FileEndOfFileInformation, 7, STATUS_INFO_LENGTH_MISMATCH},
        InfoCase{"SetAllocation", true, FileAllocationInformation, 4, STATUS_INFO_LENGTH_MISMATCH},
        InfoCase{"SetMode", true, FileModeInformation, 3, STATUS_INFO_LENGTH_MISMATCH},
        InfoCase{"SetDisposition", true, FileDispositionInformation, 0, STATUS_INFO_LENGTH_MISMATCH}),
    CaseName<InfoCase>);

INSTANTIATE_TEST_SUITE_P(
    InvalidClasses, RefusedInformationTest,
    ::testing::Values(
        InfoCase{"QueryZero", false, static_cast<FILE_INFORMATION_CLASS>(0), 64, STATUS_INVALID_INFO_CLASS},
        InfoCase{"QueryDirectory", false, FileDirectoryInformation, 64, STATUS_INVALID_INFO_CLASS},
        InfoCase{"QueryRename", false, FileRenameInformation, 64, STATUS_INVALID_INFO_CLASS},
        InfoCase{"QueryEndOfFile", false, FileEndOfFileInformation, 64, STATUS_INVALID_INFO_CLASS},
        InfoCase{"QueryMaximum", false, FileMaximumInformation, 64, STATUS_INVALID_INFO_CLASS},
        InfoCase{"SetStandard", true, FileStandardInformation, 64, STATUS_INVALID_INFO_CLASS},
        InfoCase{"SetAccess", true, FileAccessInformation, 64, STATUS_INVALID_INFO_CLASS},
        InfoCase{"SetName", true, FileNameInformation, 64, STATUS_INVALID_INFO_CLASS},
        InfoCase{"SetAll", true, FileAllInformation, 128, STATUS_INVALID_INFO_CLASS},
        InfoCase{"SetMaximum", true, FileMaximumInformation, 64, STATUS_INVALID_INFO_CLASS}),
    CaseName<InfoCase>);

TEST_F(FileInformationTest, ClassesNeedingRightsTheHandleLacksAreDenied)
{
    HANDLE file = Open(GENERIC_READ);
    ASSERT_NE(file, INVALID_HANDLE_VALUE) << "error " << GetLastError();
    LARGE_INTEGER size{};
    size.QuadPart = 16;
    EXPECT_EQ(NtSetInformationFile(file, &iosb, &size, sizeof(size), FileEndOfFileInformation),
              STATUS_ACCESS_DENIED);
    EXPECT_EQ(NtSetInformationFile(file, &iosb, &size, sizeof(size), FileAllocationInformation),
              STATUS_ACCESS_DENIED);
    EXPECT_EQ(loopback::InformationRequests().size(), 0u);
    CloseHandle(file);
}

// --- let through to the driver ---------------------------------------------------------------

struct ThroughCase
{
    const char* name;
    bool set;
    FILE_INFORMATION_CLASS infoClass;
    ULONG length;
    DWORD flags; // of CreateFileA
};

class DriverInformationTest : public FileInformationTest, public ::testing::WithParamInterface<ThroughCase>
{
};

TEST_P(DriverInformationTest, ReachesTheDriverWithTheCallersClassAndLength)
{
    const ThroughCase& c = GetParam();
    HANDLE file = Open(GENERIC_READ | GENERIC_WRITE, c.flags);
    ASSERT_NE(file, INVALID_HANDLE_VALUE) << "error " << GetLastError();
    std::vector<UCHAR> buffer(c.length + 1, 0);

    EXPECT_EQ(Call(file, c.set, c.infoClass, buffer.data(), c.length), STATUS_SUCCESS);

    std::vector<loopback::InformationRequest> seen = loopback::InformationRequests();
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].major, c.set ? IRP_MJ_SET_INFORMATION : IRP_MJ_QUERY_INFORMATION);
    EXPECT_EQ(seen[0].infoClass, c.infoClass);
    EXPECT_EQ(seen[0].length, c.length);
    EXPECT_EQ(iosb.Status, STATUS_SUCCESS);
    EXPECT_EQ(iosb.Information, c.set ? 0u : c.length);
    if (!c.set)
    {
        // The driver's answer, and nothing past the caller's length.
        EXPECT_EQ(std::count(buffer.begin(), buffer.end(), loopback::InformationFill),
                  static_cast<std::ptrdiff_t>(c.length));
        EXPECT_EQ(buffer[c.length], 0);
    }
    CloseHandle(file);
}

INSTANTIATE_TEST_SUITE_P(
    Classes, DriverInformationTest,
    ::testing::Values(ThroughCase{"QueryStandard", false, FileStandardInformation, 24, 0},
                      ThroughCase{"QueryStandardLarger", false, FileStandardInformation, 40, 0},
                      ThroughCase{"QueryBasic", false, FileBasicInformation, 40, 0},
                      ThroughCase{"QueryName", false, FileNameInformation, 8, 0},
                      ThroughCase{"QueryPositionOfAnAsynchronousFile", false, FilePositionInformation, 8,
                                  FILE_FLAG_OVERLAPPED},
                      ThroughCase{"SetEndOfFile", true, FileEndOfFileInformation, 8, 0},
                      ThroughCase{"SetAllocation", true, FileAllocationInformation, 8, 0},
                      ThroughCase{"SetBasic", true, FileBasicInformation, 40, 0},
                      ThroughCase{"SetPositionOfAnAsynchronousFile", true, FilePositionInformation, 8,
                                  FILE_FLAG_OVERLAPPED}),
    CaseName<ThroughCase>);

// --- answered by the I/O manager -------------------------------------------------------------

TEST_F(FileInformationTest, KeepsThePositionOfASynchronousFileItself)
{
    HANDLE file = Open();
    ASSERT_NE(file, INVALID_HANDLE_VALUE) << "error " << GetLastError();
    LONGLONG position = -1;
    EXPECT_EQ(QueryPosition(file, &position), STATUS_SUCCESS);
    EXPECT_EQ(position, 0);

    EXPECT_EQ(SetPosition(file, 1234), STATUS_SUCCESS);
    EXPECT_EQ(iosb.Status, STATUS_SUCCESS);
    EXPECT_EQ(iosb.Information, 0u);
    EXPECT_EQ(QueryPosition(file, &position), STATUS_SUCCESS);
    EXPECT_EQ(position, 1234);
    EXPECT_EQ(iosb.Information, sizeof(FILE_POSITION_INFORMATION));

    EXPECT_EQ(SetPosition(file, -1), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(QueryPosition(file, &position), STATUS_SUCCESS);
    EXPECT_EQ(position, 1234) << "a refused position leaves the old one";

    EXPECT_EQ(loopback::InformationRequests().size(), 0u);
    CloseHandle(file);
}

TEST_F(FileInformationTest, AnswersTheModeAndLetsOnlyItsFreeFlagsChange)
{
    HANDLE sync = Open();
    HANDLE async = Open(GENERIC_READ | GENERIC_WRITE, FILE_FLAG_OVERLAPPED);
    ASSERT_NE(sync, INVALID_HANDLE_VALUE) << "error " << GetLastError();
    ASSERT_NE(async, INVALID_HANDLE_VALUE) << "error " << GetLastError();
    ULONG mode = 0xFFFFFFFF;
    EXPECT_EQ(QueryMode(sync, &mode), STATUS_SUCCESS);
    EXPECT_EQ(mode, static_cast<ULONG>(FILE_SYNCHRONOUS_IO_NONALERT));
    EXPECT_EQ(QueryMode(async, &mode), STATUS_SUCCESS);
    EXPECT_EQ(mode, 0u);

    EXPECT_EQ(SetMode(sync, FILE_SYNCHRONOUS_IO_NONALERT | FILE_WRITE_THROUGH | FILE_SEQUENTIAL_ONLY),
              STATUS_SUCCESS);
    EXPECT_EQ(QueryMode(sync, &mode), STATUS_SUCCESS);
    EXPECT_EQ(mode,
              static_cast<ULONG>(FILE_SYNCHRONOUS_IO_NONALERT | FILE_WRITE_THROUGH | FILE_SEQUENTIAL_ONLY));

    struct Refused
    {
        const char* what;
        HANDLE file;
        ULONG mode;
    };
    for (Refused r : {Refused{"synchronous I/O dropped", sync, FILE_WRITE_THROUGH},
                      Refused{"synchronous I/O asked late", async, FILE_SYNCHRONOUS_IO_NONALERT},
                      Refused{"both kinds of synchronous I/O", sync,
                              FILE_SYNCHRONOUS_IO_ALERT | FILE_SYNCHRONOUS_IO_NONALERT},
                      Refused{"a flag only an open may give", sync, FILE_SYNCHRONOUS_IO_NONALERT | 0x1000}})
    {
        EXPECT_EQ(SetMode(r.file, r.mode), STATUS_INVALID_PARAMETER) << r.what;
    }
    EXPECT_EQ(QueryMode(sync, &mode), STATUS_SUCCESS);
    EXPECT_EQ(mode,
              static_cast<ULONG>(FILE_SYNCHRONOUS_IO_NONALERT | FILE_WRITE_THROUGH | FILE_SEQUENTIAL_ONLY));

    EXPECT_EQ(loopback::InformationRequests().size(), 0u);
    CloseHandle(async);
    CloseHandle(sync);
}

TEST_F(FileInformationTest, AnswersTheGrantedAccessItself)
{
    // CreateFileA asks for FILE_READ_ATTRIBUTES with every handle, as Windows' does.
    struct Case
    {
        DWORD access;
        ACCESS_MASK granted;
    };
    for (Case c : {Case{GENERIC_READ, FILE_GENERIC_READ},
                   Case{GENERIC_WRITE, FILE_GENERIC_WRITE | FILE_READ_ATTRIBUTES},
                   Case{GENERIC_READ | GENERIC_WRITE, FILE_GENERIC_READ | FILE_GENERIC_WRITE}})
    {
        HANDLE file = Open(c.access);
        ASSERT_NE(file, INVALID_HANDLE_VALUE) << "error " << GetLastError();
        ACCESS_MASK granted = 0;
        EXPECT_EQ(NtQueryInformationFile(file, &iosb, &granted, sizeof(granted), FileAccessInformation),
                  STATUS_SUCCESS);
        EXPECT_EQ(granted, c.granted) << "access " << std::hex << c.access;
        CloseHandle(file);
    }
    EXPECT_EQ(loopback::InformationRequests().size(), 0u);
}

} // namespace
