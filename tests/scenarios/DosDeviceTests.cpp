// DOS device names: the driver's COM3 and the names a program defines and removes, as Device
// Manager's port page does when it gives a port another COM number. A program's names are its
// logon session's and hide the global names of drivers for it.
#include "ReaderMachine.h"

#include <setupapi.h>

#include <string.h>

#include <stdlib.h>

#include <algorithm>
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

const char kDeviceParameters[] =
    "SYSTEM\\CurrentControlSet\\Enum\\USB\\VID_2B4E&PID_0730\\TR0001\\Device Parameters";

// Restarts the reader as Device Manager does after a change of its settings (DICS_PROPCHANGE).
void RestartReader()
{
    HDEVINFO set = SetupDiGetClassDevsA(nullptr, "USB", nullptr, DIGCF_ALLCLASSES | DIGCF_PRESENT);
    ASSERT_NE(set, INVALID_HANDLE_VALUE);
    SP_DEVINFO_DATA data{};
    data.cbSize = sizeof(data);
    bool restarted = false;
    for (DWORD index = 0; !restarted && SetupDiEnumDeviceInfo(set, index, &data); ++index)
    {
        char id[256];
        if (SetupDiGetDeviceInstanceIdA(set, &data, id, sizeof(id), nullptr) &&
            std::string(id).find("TR0001") != std::string::npos)
        {
            SP_PROPCHANGE_PARAMS params{};
            params.ClassInstallHeader.cbSize = sizeof(SP_CLASSINSTALL_HEADER);
            params.ClassInstallHeader.InstallFunction = DIF_PROPERTYCHANGE;
            params.StateChange = DICS_PROPCHANGE;
            params.Scope = DICS_FLAG_CONFIGSPECIFIC;
            ASSERT_TRUE(
                SetupDiSetClassInstallParamsA(set, &data, &params.ClassInstallHeader, sizeof(params)));
            ASSERT_TRUE(SetupDiCallClassInstaller(DIF_PROPERTYCHANGE, set, &data));
            restarted = true;
        }
    }
    SetupDiDestroyDeviceInfoList(set);
    EXPECT_TRUE(restarted);
}

// The port's name in its device key, where the driver reads it as it starts.
void SetPortName(const char* name)
{
    HKEY key = nullptr;
    ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, kDeviceParameters, 0, KEY_SET_VALUE, &key), ERROR_SUCCESS);
    EXPECT_EQ(RegSetValueExA(key, "PortName", 0, REG_SZ, reinterpret_cast<const BYTE*>(name),
                             static_cast<DWORD>(strlen(name) + 1)),
              ERROR_SUCCESS);
    RegCloseKey(key);
}

bool Opens(const char* path)
{
    HANDLE port = CreateFileA(path, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (port == INVALID_HANDLE_VALUE)
    {
        return false;
    }
    CloseHandle(port);
    return true;
}

std::vector<std::string> Targets(const char* name)
{
    char target[256];
    DWORD count = QueryDosDeviceA(name, target, sizeof(target));
    return count == 0 ? std::vector<std::string>{} : Strings(target, count);
}

TEST_F(DosDeviceTest, AfterARenameTheRestartedDriversNewLinkDoesNotCollideWithTheSessionsName)
{
    ASSERT_TRUE(DefineDosDeviceA(DDD_REMOVE_DEFINITION, "COM3", nullptr));
    ASSERT_TRUE(DefineDosDeviceA(DDD_RAW_TARGET_PATH, "COM5", "\\Device\\ZTSerial0"));
    SetPortName("COM5");
    RestartReader();

    // The driver made \DosDevices\COM5 as it started again: the machine knows the port by it.
    ASSERT_EQ(device.State(), winsim::machine::DeviceState::Started);
    EXPECT_TRUE(machine->DeviceByComName(u"COM5"));
    EXPECT_NE(machine->DescribeDevices().find("\\DosDevices\\COM5 -> \\Device\\ZTSerial0"), std::string::npos)
        << machine->DescribeDevices();
    EXPECT_EQ(Targets("COM5"), std::vector<std::string>{"\\Device\\ZTSerial0"});
    EXPECT_TRUE(Opens("\\\\.\\COM5"));
    EXPECT_FALSE(Opens("\\\\.\\COM3"));

    // The session's name goes; the driver's global one is still there.
    ASSERT_TRUE(DefineDosDeviceA(DDD_REMOVE_DEFINITION, "COM5", nullptr));
    EXPECT_EQ(Targets("COM5"), std::vector<std::string>{"\\Device\\ZTSerial0"});
    EXPECT_TRUE(Opens("\\\\.\\COM5"));
}

TEST_F(DosDeviceTest, ASessionsNameHidesTheGlobalOneUntilItIsRemoved)
{
    ASSERT_TRUE(DefineDosDeviceA(DDD_RAW_TARGET_PATH, "COM3", "\\Device\\Elsewhere"));
    // The session's link starts from the global definitions, its own on top.
    EXPECT_EQ(Targets("COM3"), (std::vector<std::string>{"\\Device\\Elsewhere", "\\Device\\ZTSerial0"}));
    EXPECT_FALSE(Opens("\\\\.\\COM3")); // \Device\Elsewhere does not exist

    std::vector<char> all(65536);
    DWORD count = QueryDosDeviceA(nullptr, all.data(), static_cast<DWORD>(all.size()));
    std::vector<std::string> names = Strings(all.data(), count);
    EXPECT_EQ(std::count(names.begin(), names.end(), "COM3"), 1) << "listed once though in both directories";

    ASSERT_TRUE(DefineDosDeviceA(DDD_REMOVE_DEFINITION | DDD_EXACT_MATCH_ON_REMOVE | DDD_RAW_TARGET_PATH,
                                 "COM3", "\\Device\\Elsewhere"));
    EXPECT_EQ(Targets("COM3"), std::vector<std::string>{"\\Device\\ZTSerial0"});
    EXPECT_TRUE(Opens("\\\\.\\COM3"));
    // The session's link still holds the driver's definition; removing it leaves the driver's own.
    ASSERT_TRUE(DefineDosDeviceA(DDD_REMOVE_DEFINITION, "COM3", nullptr));
    EXPECT_EQ(Targets("COM3"), std::vector<std::string>{"\\Device\\ZTSerial0"});
    EXPECT_TRUE(Opens("\\\\.\\COM3"));
}

TEST_F(DosDeviceTest, AStandardUserCannotRemoveADriversName)
{
    setenv("WINSIM_TOKEN", "standard", 1);
    BOOL removed = DefineDosDeviceA(DDD_REMOVE_DEFINITION, "COM3", nullptr);
    DWORD error = GetLastError();
    unsetenv("WINSIM_TOKEN");
    EXPECT_EQ(removed, FALSE);
    EXPECT_EQ(error, static_cast<DWORD>(ERROR_ACCESS_DENIED));
    EXPECT_EQ(Targets("COM3"), std::vector<std::string>{"\\Device\\ZTSerial0"});
}

TEST_F(DosDeviceTest, AMoveThatIsDeniedIsPutBack)
{
    machine->DenyDosDeviceName(u"COM5");
    // The port page's move: COM3 goes, COM5 is refused, COM3 comes back.
    ASSERT_TRUE(DefineDosDeviceA(DDD_REMOVE_DEFINITION, "COM3", nullptr));
    EXPECT_FALSE(DefineDosDeviceA(DDD_RAW_TARGET_PATH, "COM5", "\\Device\\ZTSerial0"));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    EXPECT_EQ(Targets("COM5"), std::vector<std::string>{});
    ASSERT_TRUE(DefineDosDeviceA(DDD_RAW_TARGET_PATH, "COM3", "\\Device\\ZTSerial0"));
    EXPECT_EQ(Targets("COM3"), std::vector<std::string>{"\\Device\\ZTSerial0"});
    EXPECT_TRUE(Opens("\\\\.\\COM3"));

    // Cleared, the name can be defined.
    machine->ClearDosDeviceNameFaults();
    EXPECT_TRUE(DefineDosDeviceA(DDD_RAW_TARGET_PATH, "COM5", "\\Device\\ZTSerial0"));
    EXPECT_TRUE(Opens("\\\\.\\COM5"));
}

} // namespace
} // namespace scenario
