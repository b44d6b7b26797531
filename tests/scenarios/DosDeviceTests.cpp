// DOS device names: the driver's COM3 and the names a program defines and removes, as Device
// Manager's port page does when it gives a port another COM number.
#include "ReaderMachine.h"

#include <string.h>

#include <set>

namespace scenario
{
namespace
{

using DosDeviceTest = ReaderMachineTest;

// The strings of a QueryDosDevice answer.
std::vector<std::string> Strings(const char* buffer, DWORD count)
{
    std::vector<std::string> strings;
    for (DWORD i = 0; i + 1 < count;)
    {
        std::string one(buffer + i);
        strings.push_back(one);
        i += static_cast<DWORD>(one.size()) + 1;
    }
    return strings;
}

TEST_F(DosDeviceTest, TheDriversPortNameLeadsToItsDevice)
{
    char target[80];
    DWORD count = QueryDosDeviceA("COM3", target, sizeof(target));
    EXPECT_EQ(count, 19u) << "\\Device\\ZTSerial0, its terminator and the list's";
    EXPECT_EQ(Strings(target, count), std::vector<std::string>{"\\Device\\ZTSerial0"});
    EXPECT_EQ(target[18], 0);

    // Too small for the list: nothing, and ERROR_INSUFFICIENT_BUFFER.
    EXPECT_EQ(QueryDosDeviceA("COM3", target, 18), 0u);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    EXPECT_EQ(QueryDosDeviceA("COM4", target, sizeof(target)), 0u);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
}

TEST_F(DosDeviceTest, AllNamesAreListedWithoutADeviceName)
{
    std::vector<char> buffer(65536);
    DWORD count = QueryDosDeviceA(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
    ASSERT_GT(count, 0u);
    std::vector<std::string> names = Strings(buffer.data(), count);
    std::set<std::string> all(names.begin(), names.end());
    EXPECT_EQ(all.count("COM3"), 1u);
    EXPECT_EQ(all.count("COM4"), 0u);
}

TEST_F(DosDeviceTest, MovingThePortsNameKeepsItsDevice)
{
    // What the port page does: remove the current name, define the new one with the same target.
    EXPECT_TRUE(DefineDosDeviceA(DDD_REMOVE_DEFINITION, "COM3", nullptr));
    EXPECT_TRUE(DefineDosDeviceA(DDD_RAW_TARGET_PATH, "COM5", "\\Device\\ZTSerial0"));
    char target[80];
    EXPECT_EQ(QueryDosDeviceA("COM3", target, sizeof(target)), 0u);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    DWORD count = QueryDosDeviceA("COM5", target, sizeof(target));
    EXPECT_EQ(Strings(target, count), std::vector<std::string>{"\\Device\\ZTSerial0"});
    // The device answers to its new name.
    HANDLE port =
        CreateFileA("\\\\.\\COM5", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    EXPECT_NE(port, INVALID_HANDLE_VALUE);
    CloseHandle(port);
    EXPECT_EQ(CreateFileA("\\\\.\\COM3", GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr),
              INVALID_HANDLE_VALUE);
}

TEST_F(DosDeviceTest, DefinitionsStackAndComeOffInTheOrderAsked)
{
    ASSERT_TRUE(DefineDosDeviceA(DDD_RAW_TARGET_PATH, "TESTDEV", "\\Device\\First"));
    ASSERT_TRUE(DefineDosDeviceA(DDD_RAW_TARGET_PATH, "TESTDEV", "\\Device\\Second"));
    ASSERT_TRUE(DefineDosDeviceA(DDD_RAW_TARGET_PATH, "TESTDEV", "\\Device\\Third"));
    char target[128];
    DWORD count = QueryDosDeviceA("TESTDEV", target, sizeof(target));
    std::vector<std::string> all = {"\\Device\\Third", "\\Device\\Second", "\\Device\\First"};
    EXPECT_EQ(Strings(target, count), all) << "newest first";

    // An exact match removes that one; a prefix match the first it fits; no target the newest.
    EXPECT_FALSE(DefineDosDeviceA(DDD_REMOVE_DEFINITION | DDD_RAW_TARGET_PATH | DDD_EXACT_MATCH_ON_REMOVE,
                                  "TESTDEV", "\\Device\\Sec"));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    EXPECT_TRUE(DefineDosDeviceA(DDD_REMOVE_DEFINITION | DDD_RAW_TARGET_PATH, "TESTDEV", "\\Device\\Sec"));
    count = QueryDosDeviceA("TESTDEV", target, sizeof(target));
    EXPECT_EQ(Strings(target, count), (std::vector<std::string>{"\\Device\\Third", "\\Device\\First"}));
    EXPECT_TRUE(DefineDosDeviceA(DDD_REMOVE_DEFINITION, "TESTDEV", nullptr));
    count = QueryDosDeviceA("TESTDEV", target, sizeof(target));
    EXPECT_EQ(Strings(target, count), std::vector<std::string>{"\\Device\\First"});
    EXPECT_TRUE(DefineDosDeviceA(DDD_REMOVE_DEFINITION, "TESTDEV", nullptr));
    EXPECT_EQ(QueryDosDeviceA("TESTDEV", target, sizeof(target)), 0u);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    EXPECT_FALSE(DefineDosDeviceA(DDD_REMOVE_DEFINITION, "TESTDEV", nullptr));
}

TEST_F(DosDeviceTest, ADosPathTargetNamesTheFileSystemPath)
{
    ASSERT_TRUE(DefineDosDeviceA(0, "Q:", "C:\\Windows\\INF"));
    char target[80];
    DWORD count = QueryDosDeviceA("Q:", target, sizeof(target));
    EXPECT_EQ(Strings(target, count), std::vector<std::string>{"\\??\\C:\\Windows\\INF"});
    EXPECT_FALSE(DefineDosDeviceA(0, "NOTARGET", nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
}

} // namespace
} // namespace scenario
