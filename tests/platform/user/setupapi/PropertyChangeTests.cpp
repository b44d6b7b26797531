// Device Manager's disable, enable and restart of readers through setupapi's property change
// (SetupDiSetClassInstallParams with SP_PROPCHANGE_PARAMS, then SetupDiCallClassInstaller with
// DIF_PROPERTYCHANGE): what the driver, the ports and cfgmgr32's node status show afterwards, a
// reader held open that cannot be stopped, a property change announced without a state change,
// and the checks of the calls' parameters and of the device install parameters.
#include <windows.h>
#include <cfgmgr32.h>
#include <regstr.h>
#include <setupapi.h>

#include "ReaderPortMachine.h"
#include "TableCases.h"
#include "TarnoMessages.h"

#include <string.h>

#include <algorithm>
#include <string>
#include <vector>

namespace
{

using win32test::ReaderPortMachineTest;
using winsimtest::PrintTo;

const GUID PortsClass = {0x4D36E978, 0xE325, 0x11CE, {0xBF, 0xC1, 0x08, 0x00, 0x2B, 0xE1, 0x03, 0x18}};

bool FindMember(HDEVINFO set, const std::string& id, SP_DEVINFO_DATA* data)
{
    data->cbSize = sizeof(*data);
    for (DWORD index = 0; SetupDiEnumDeviceInfo(set, index, data); ++index)
    {
        char found[256];
        if (SetupDiGetDeviceInstanceIdA(set, data, found, sizeof(found), nullptr) && id == found)
        {
            return true;
        }
    }
    return false;
}

// Sets the member's property change parameters and calls the class installer.
BOOL ChangeState(HDEVINFO set, SP_DEVINFO_DATA* data, DWORD stateChange, DWORD scope, DWORD profile = 0)
{
    SP_PROPCHANGE_PARAMS params{};
    params.ClassInstallHeader.cbSize = sizeof(SP_CLASSINSTALL_HEADER);
    params.ClassInstallHeader.InstallFunction = DIF_PROPERTYCHANGE;
    params.StateChange = stateChange;
    params.Scope = scope;
    params.HwProfile = profile;
    if (!SetupDiSetClassInstallParamsA(set, data, &params.ClassInstallHeader, sizeof(params)))
    {
        return FALSE;
    }
    return SetupDiCallClassInstaller(DIF_PROPERTYCHANGE, set, data);
}

DWORD InstallFlags(HDEVINFO set, SP_DEVINFO_DATA* data)
{
    SP_DEVINSTALL_PARAMS_A params{};
    params.cbSize = sizeof(params);
    EXPECT_TRUE(SetupDiGetDeviceInstallParamsA(set, data, &params));
    return params.Flags;
}

// A node's status as Device Manager reads it.
struct NodeStatus
{
    CONFIGRET result = CR_SUCCESS;
    ULONG status = 0;
    ULONG problem = 0;
};

NodeStatus StatusOf(const std::string& id)
{
    NodeStatus node;
    DEVINST devInst = 0;
    node.result = CM_Locate_DevNodeA(&devInst, const_cast<char*>(id.c_str()), CM_LOCATE_DEVNODE_NORMAL);
    if (node.result == CR_SUCCESS)
    {
        node.result = CM_Get_DevNode_Status(&node.status, &node.problem, devInst, 0);
    }
    return node;
}

// The COM names in SERIALCOMM, in order of their names (the key keeps them in the order the
// driver wrote them).
std::vector<std::string> SerialCommPorts()
{
    std::vector<std::string> ports;
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, "HARDWARE\\DEVICEMAP\\SERIALCOMM", 0, KEY_READ, &key) !=
        ERROR_SUCCESS)
    {
        return ports;
    }
    for (DWORD index = 0;; ++index)
    {
        char name[256];
        DWORD nameLength = sizeof(name);
        char port[32] = {};
        DWORD size = sizeof(port);
        if (RegEnumValueA(key, index, name, &nameLength, nullptr, nullptr, reinterpret_cast<BYTE*>(port),
                          &size) != ERROR_SUCCESS)
        {
            break;
        }
        ports.push_back(port);
    }
    RegCloseKey(key);
    std::sort(ports.begin(), ports.end());
    return ports;
}

// Whether the port opens; the error when it does not.
DWORD OpenError(const char* port)
{
    HANDLE file = CreateFileA(port, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE)
    {
        return GetLastError();
    }
    CloseHandle(file);
    return ERROR_SUCCESS;
}

class PropertyChangeTest : public ReaderPortMachineTest
{
  protected:
    void SetUp() override
    {
        ReaderPortMachineTest::SetUp();
        second = machine->Attach(Reader(u"TR0002"));
        ASSERT_EQ(second.State(), winsim::machine::DeviceState::Started);
        set = SetupDiGetClassDevsExA(nullptr, nullptr, nullptr, DIGCF_ALLCLASSES | DIGCF_PRESENT, nullptr,
                                     nullptr, nullptr);
        ASSERT_NE(set, INVALID_HANDLE_VALUE);
        ASSERT_TRUE(FindMember(set, InstanceId("TR0001"), &first));
        ASSERT_TRUE(FindMember(set, InstanceId("TR0002"), &other));
        machine->ClearEventLog();
    }
    void TearDown() override
    {
        SetupDiDestroyDeviceInfoList(set);
        ReaderPortMachineTest::TearDown();
    }

    // The driver's event-log entries of one message, for any device.
    size_t Events(NTSTATUS code)
    {
        size_t count = 0;
        for (const winsim::machine::EventLogRecord& record : machine->EventLogEntries())
        {
            count += record.code == code ? 1 : 0;
        }
        return count;
    }

    std::u16string EnumKey(const winsim::machine::Device& device)
    {
        return u"HKLM\\SYSTEM\\CurrentControlSet\\Enum\\" + device.InstancePath();
    }
    std::u16string ProfileKey(const winsim::machine::Device& device)
    {
        return u"HKLM\\SYSTEM\\CurrentControlSet\\Hardware "
               u"Profiles\\Current\\System\\CurrentControlSet\\Enum\\" +
               device.InstancePath();
    }

    winsim::machine::Device second; // TR0002, COM4
    HDEVINFO set = INVALID_HANDLE_VALUE;
    SP_DEVINFO_DATA first{};
    SP_DEVINFO_DATA other{};
};

TEST_F(PropertyChangeTest, DisablingBothReadersRemovesTheirStacksAndEnablingStartsThemAgain)
{
    EXPECT_EQ(SerialCommPorts(), (std::vector<std::string>{"COM1", "COM2", "COM3", "COM4"}));

    // One globally, one in the current hardware profile.
    ASSERT_TRUE(ChangeState(set, &first, DICS_DISABLE, DICS_FLAG_GLOBAL));
    ASSERT_TRUE(ChangeState(set, &other, DICS_DISABLE, DICS_FLAG_CONFIGSPECIFIC, 0));

    EXPECT_EQ(reader.State(), winsim::machine::DeviceState::Disabled);
    EXPECT_EQ(second.State(), winsim::machine::DeviceState::Disabled);
    EXPECT_EQ(Events(TARNO_D0_TO_D3_REMOVE), 2u) << "each left D0 for its removal";
    EXPECT_EQ(machine->LoadedDriver(u"TARNOCOM"), nullptr) << "the driver unloads with its last device";
    EXPECT_EQ(SerialCommPorts(), (std::vector<std::string>{"COM1", "COM2"}));
    EXPECT_EQ(OpenError("\\\\.\\COM3"), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    EXPECT_EQ(OpenError("\\\\.\\COM4"), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    for (const std::string& id : {InstanceId("TR0001"), InstanceId("TR0002")})
    {
        NodeStatus node = StatusOf(id);
        EXPECT_EQ(node.result, static_cast<CONFIGRET>(CR_SUCCESS)) << "a disabled device is still present";
        EXPECT_EQ(node.problem, static_cast<ULONG>(CM_PROB_DISABLED));
        EXPECT_EQ(node.status & (DN_HAS_PROBLEM | DN_STARTED), static_cast<ULONG>(DN_HAS_PROBLEM));
    }
    // The disabled mark is kept where Windows keeps it for each scope.
    EXPECT_EQ(machine->RegistryDword(EnumKey(reader), u"ConfigFlags").value_or(0) & CONFIGFLAG_DISABLED,
              static_cast<ULONG>(CONFIGFLAG_DISABLED));
    EXPECT_EQ(machine->RegistryDword(ProfileKey(second), u"CSConfigFlags").value_or(0) &
                  CSCONFIGFLAG_DISABLED,
              static_cast<ULONG>(CSCONFIGFLAG_DISABLED));
    EXPECT_EQ(machine->RegistryDword(EnumKey(second), u"ConfigFlags").value_or(0) & CONFIGFLAG_DISABLED, 0u);

    // The list built before the change still names both.
    ASSERT_TRUE(ChangeState(set, &first, DICS_ENABLE, DICS_FLAG_GLOBAL));
    ASSERT_TRUE(ChangeState(set, &other, DICS_ENABLE, DICS_FLAG_CONFIGSPECIFIC, 0));

    EXPECT_EQ(reader.State(), winsim::machine::DeviceState::Started);
    EXPECT_EQ(second.State(), winsim::machine::DeviceState::Started);
    EXPECT_EQ(Events(TARNO_D3_TO_D0), 2u) << "each entered D0 again";
    EXPECT_EQ(SerialCommPorts(), (std::vector<std::string>{"COM1", "COM2", "COM3", "COM4"}));
    EXPECT_EQ(OpenError("\\\\.\\COM3"), static_cast<DWORD>(ERROR_SUCCESS));
    EXPECT_EQ(OpenError("\\\\.\\COM4"), static_cast<DWORD>(ERROR_SUCCESS));
    NodeStatus node = StatusOf(InstanceId("TR0002"));
    EXPECT_EQ(node.problem, 0u);
    EXPECT_EQ(node.status & (DN_HAS_PROBLEM | DN_STARTED), static_cast<ULONG>(DN_STARTED));
    EXPECT_EQ(machine->RegistryDword(EnumKey(reader), u"ConfigFlags").value_or(0) & CONFIGFLAG_DISABLED, 0u);
    EXPECT_EQ(InstallFlags(set, &first) & (DI_NEEDRESTART | DI_NEEDREBOOT), 0u);
}

TEST_F(PropertyChangeTest, ADisabledReaderPluggedInAgainStaysDisabled)
{
    ASSERT_TRUE(ChangeState(set, &first, DICS_DISABLE, DICS_FLAG_GLOBAL));
    machine->Detach(reader);
    EXPECT_EQ(StatusOf(InstanceId("TR0001")).result, static_cast<CONFIGRET>(CR_NO_SUCH_DEVNODE));

    winsim::machine::Device again = machine->Attach(Reader(u"TR0001"));
    EXPECT_EQ(again.State(), winsim::machine::DeviceState::Disabled);
    EXPECT_EQ(StatusOf(InstanceId("TR0001")).problem, static_cast<ULONG>(CM_PROB_DISABLED));
    EXPECT_EQ(OpenError("\\\\.\\COM3"), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));

    ASSERT_TRUE(ChangeState(set, &first, DICS_ENABLE, DICS_FLAG_GLOBAL));
    EXPECT_EQ(again.State(), winsim::machine::DeviceState::Started);
    EXPECT_EQ(OpenError("\\\\.\\COM3"), static_cast<DWORD>(ERROR_SUCCESS));
}

struct VetoCase
{
    const char* name;
    DWORD stateChange;
    DWORD scope;
};

class HeldOpenReader : public PropertyChangeTest, public ::testing::WithParamInterface<VetoCase>
{
};

TEST_P(HeldOpenReader, CannotBeStoppedNowAndNeedsARestart)
{
    const VetoCase& c = GetParam();
    HANDLE port =
        CreateFileA("\\\\.\\COM3", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(port, INVALID_HANDLE_VALUE);

    EXPECT_TRUE(ChangeState(set, &first, c.stateChange, c.scope));
    EXPECT_EQ(InstallFlags(set, &first) & DI_NEEDRESTART, static_cast<DWORD>(DI_NEEDRESTART));
    EXPECT_EQ(InstallFlags(set, &other) & DI_NEEDRESTART, 0u) << "only the member asked for";
    // Nothing happened to the device: no driver heard of it, and the open port still works.
    EXPECT_EQ(reader.State(), winsim::machine::DeviceState::Started);
    EXPECT_EQ(Events(TARNO_D0_TO_D3_REMOVE), 0u);
    EXPECT_EQ(StatusOf(InstanceId("TR0001")).problem, 0u);
    DWORD modem = 0;
    EXPECT_TRUE(GetCommModemStatus(port, &modem));
    CloseHandle(port);
}

INSTANTIATE_TEST_SUITE_P(PropertyChange, HeldOpenReader,
                         ::testing::Values(VetoCase{"Disable", DICS_DISABLE, DICS_FLAG_GLOBAL},
                                           VetoCase{"PropertyChange", DICS_PROPCHANGE,
                                                    DICS_FLAG_CONFIGSPECIFIC}),
                         [](const ::testing::TestParamInfo<VetoCase>& info) { return info.param.name; });

TEST_F(PropertyChangeTest, APropertyChangeRestartsAStartedReader)
{
    ASSERT_TRUE(ChangeState(set, &first, DICS_PROPCHANGE, DICS_FLAG_CONFIGSPECIFIC));
    EXPECT_EQ(Events(TARNO_D0_TO_D3_REMOVE), 1u);
    EXPECT_EQ(Events(TARNO_D3_TO_D0), 1u);
    EXPECT_EQ(reader.State(), winsim::machine::DeviceState::Started);
    EXPECT_EQ(second.State(), winsim::machine::DeviceState::Started) << "the other reader is left alone";
    EXPECT_EQ(SerialCommPorts(), (std::vector<std::string>{"COM1", "COM2", "COM3", "COM4"}));
    EXPECT_EQ(OpenError("\\\\.\\COM3"), static_cast<DWORD>(ERROR_SUCCESS));
    EXPECT_EQ(InstallFlags(set, &first) & DI_NEEDRESTART, 0u);
}

TEST_F(PropertyChangeTest, TheListDetailNamesTheLocalMachineAndTheSetsClass)
{
    SP_DEVINFO_LIST_DETAIL_DATA_A detail{};
    detail.cbSize = sizeof(detail);
    memset(detail.RemoteMachineName, 'x', sizeof(detail.RemoteMachineName));
    detail.RemoteMachineHandle = reinterpret_cast<HANDLE>(1);
    ASSERT_TRUE(SetupDiGetDeviceInfoListDetailA(set, &detail));
    EXPECT_TRUE(IsEqualGUID(detail.ClassGuid, GUID{}));
    EXPECT_EQ(detail.RemoteMachineHandle, nullptr);
    EXPECT_EQ(std::string(detail.RemoteMachineName), "");

    HDEVINFO ports =
        SetupDiGetClassDevsExA(&PortsClass, nullptr, nullptr, DIGCF_PRESENT, nullptr, nullptr, nullptr);
    ASSERT_TRUE(SetupDiGetDeviceInfoListDetailA(ports, &detail));
    EXPECT_TRUE(IsEqualGUID(detail.ClassGuid, PortsClass));
    SetupDiDestroyDeviceInfoList(ports);

    detail.cbSize = sizeof(detail) - 1;
    EXPECT_FALSE(SetupDiGetDeviceInfoListDetailA(set, &detail));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_USER_BUFFER));
}

TEST_F(PropertyChangeTest, AnotherComputersDevicesAreNotReached)
{
    SetLastError(0);
    EXPECT_EQ(SetupDiGetClassDevsExA(nullptr, nullptr, nullptr, DIGCF_ALLCLASSES | DIGCF_PRESENT, nullptr,
                                     "\\\\FRONTDESK", nullptr),
              INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_MACHINENAME));
}

TEST_F(PropertyChangeTest, DevicesAddedToAnExistingSetJoinItOnce)
{
    HDEVINFO ports =
        SetupDiGetClassDevsExA(&PortsClass, "USB", nullptr, DIGCF_PRESENT, nullptr, nullptr, nullptr);
    ASSERT_NE(ports, INVALID_HANDLE_VALUE);
    EXPECT_EQ(SetupDiGetClassDevsExA(nullptr, nullptr, nullptr, DIGCF_ALLCLASSES | DIGCF_PRESENT, ports,
                                     nullptr, nullptr),
              ports);
    SP_DEVINFO_DATA data{};
    data.cbSize = sizeof(data);
    DWORD count = 0;
    while (SetupDiEnumDeviceInfo(ports, count, &data))
    {
        ++count;
    }
    SP_DEVINFO_DATA probe{};
    EXPECT_TRUE(FindMember(ports, InstanceId("TR0002"), &probe));
    HDEVINFO all = SetupDiGetClassDevsA(nullptr, nullptr, nullptr, DIGCF_ALLCLASSES | DIGCF_PRESENT);
    DWORD allCount = 0;
    while (SetupDiEnumDeviceInfo(all, allCount, &data))
    {
        ++allCount;
    }
    EXPECT_EQ(count, allCount) << "the readers already in the set are not listed twice";
    SetupDiDestroyDeviceInfoList(all);
    SetupDiDestroyDeviceInfoList(ports);
}

// --- the checks of the parameters ------------------------------------------------------------------

struct BadParamsCase
{
    const char* name;
    DWORD headerSize;
    DI_FUNCTION function;
    DWORD stateChange;
    DWORD scope;
    DWORD bufferSize;
    bool noBuffer;
    DWORD error;
};

class ClassInstallParamsFailures : public PropertyChangeTest,
                                   public ::testing::WithParamInterface<BadParamsCase>
{
};

TEST_P(ClassInstallParamsFailures, AreRefusedAndLeaveNothingToInstall)
{
    const BadParamsCase& c = GetParam();
    SP_PROPCHANGE_PARAMS params{};
    params.ClassInstallHeader.cbSize = c.headerSize;
    params.ClassInstallHeader.InstallFunction = c.function;
    params.StateChange = c.stateChange;
    params.Scope = c.scope;
    SetLastError(0);
    EXPECT_FALSE(SetupDiSetClassInstallParamsA(set, &first, c.noBuffer ? nullptr : &params.ClassInstallHeader,
                                               c.bufferSize));
    EXPECT_EQ(GetLastError(), c.error);
    EXPECT_EQ(InstallFlags(set, &first) & DI_CLASSINSTALLPARAMS, 0u);
    EXPECT_FALSE(SetupDiCallClassInstaller(DIF_PROPERTYCHANGE, set, &first));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_CLASSINSTALL_PARAMS));
    EXPECT_EQ(reader.State(), winsim::machine::DeviceState::Started);
}

constexpr DWORD HeaderSize = sizeof(SP_CLASSINSTALL_HEADER);
constexpr DWORD ParamsSize = sizeof(SP_PROPCHANGE_PARAMS);

INSTANTIATE_TEST_SUITE_P(
    SetupDiSetClassInstallParamsA, ClassInstallParamsFailures,
    ::testing::Values(
        BadParamsCase{"HeaderSizeOfTheWholeStructure", ParamsSize, DIF_PROPERTYCHANGE, DICS_DISABLE,
                      DICS_FLAG_GLOBAL, ParamsSize, false, ERROR_INVALID_USER_BUFFER},
        BadParamsCase{"BufferShorterThanTheHeader", HeaderSize, DIF_PROPERTYCHANGE, DICS_DISABLE,
                      DICS_FLAG_GLOBAL, HeaderSize - 1, false, ERROR_INVALID_USER_BUFFER},
        BadParamsCase{"BufferShorterThanTheParameters", HeaderSize, DIF_PROPERTYCHANGE, DICS_DISABLE,
                      DICS_FLAG_GLOBAL, ParamsSize - 4, false, ERROR_INVALID_PARAMETER},
        BadParamsCase{"AnotherInstallFunction", HeaderSize, 0x1 /* DIF_SELECTDEVICE */, DICS_DISABLE,
                      DICS_FLAG_GLOBAL, ParamsSize, false, ERROR_INVALID_PARAMETER},
        BadParamsCase{"UnknownStateChange", HeaderSize, DIF_PROPERTYCHANGE, 9, DICS_FLAG_GLOBAL, ParamsSize,
                      false, ERROR_INVALID_FLAGS},
        BadParamsCase{"UnknownScope", HeaderSize, DIF_PROPERTYCHANGE, DICS_DISABLE, 4, ParamsSize, false,
                      ERROR_INVALID_FLAGS},
        BadParamsCase{"NoBufferWithASize", HeaderSize, DIF_PROPERTYCHANGE, DICS_DISABLE, DICS_FLAG_GLOBAL,
                      ParamsSize, true, ERROR_INVALID_PARAMETER}),
    [](const ::testing::TestParamInfo<BadParamsCase>& info) { return info.param.name; });

TEST_F(PropertyChangeTest, ClearedParametersLeaveNothingToInstall)
{
    SP_PROPCHANGE_PARAMS params{};
    params.ClassInstallHeader.cbSize = sizeof(SP_CLASSINSTALL_HEADER);
    params.ClassInstallHeader.InstallFunction = DIF_PROPERTYCHANGE;
    params.StateChange = DICS_DISABLE;
    params.Scope = DICS_FLAG_GLOBAL;
    ASSERT_TRUE(SetupDiSetClassInstallParamsA(set, &first, &params.ClassInstallHeader, sizeof(params)));
    EXPECT_EQ(InstallFlags(set, &first) & DI_CLASSINSTALLPARAMS, static_cast<DWORD>(DI_CLASSINSTALLPARAMS));
    ASSERT_TRUE(SetupDiSetClassInstallParamsA(set, &first, nullptr, 0));
    EXPECT_EQ(InstallFlags(set, &first) & DI_CLASSINSTALLPARAMS, 0u);
    EXPECT_FALSE(SetupDiCallClassInstaller(DIF_PROPERTYCHANGE, set, &first));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_CLASSINSTALL_PARAMS));
    EXPECT_EQ(reader.State(), winsim::machine::DeviceState::Started);
}

TEST_F(PropertyChangeTest, InstallerCallsAreChecked)
{
    // An unknown hardware profile: the machine has only the current one.
    EXPECT_FALSE(ChangeState(set, &first, DICS_DISABLE, DICS_FLAG_CONFIGSPECIFIC, 7));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HWPROFILE));
    EXPECT_EQ(reader.State(), winsim::machine::DeviceState::Started);

    // DICS_STOP is not for callers of the default handler.
    EXPECT_FALSE(ChangeState(set, &first, DICS_STOP, DICS_FLAG_CONFIGSPECIFIC));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_FLAGS));

    // A member is needed, and a set setupapi knows.
    EXPECT_FALSE(SetupDiCallClassInstaller(DIF_PROPERTYCHANGE, set, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    int notASet = 0;
    EXPECT_FALSE(SetupDiCallClassInstaller(DIF_PROPERTYCHANGE, &notASet, &first));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));

    SP_DEVINSTALL_PARAMS_A params{};
    params.cbSize = sizeof(params) - 8;
    EXPECT_FALSE(SetupDiGetDeviceInstallParamsA(set, &first, &params));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_USER_BUFFER));
    EXPECT_FALSE(SetupDiGetDeviceInstallParamsA(set, &first, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
}

// SetupDiSetDeviceInstallParamsA with one parameter out of place: nothing changes.
struct BadInstallParamsCase
{
    const char* name;
    void (*spoil)(SP_DEVINSTALL_PARAMS_A* params);
    bool noBuffer;
    DWORD error;
};

class InstallParamsFailures : public PropertyChangeTest,
                              public ::testing::WithParamInterface<BadInstallParamsCase>
{
};

TEST_P(InstallParamsFailures, AreRefusedAndChangeNothing)
{
    const BadInstallParamsCase& c = GetParam();
    SP_DEVINSTALL_PARAMS_A params{};
    params.cbSize = sizeof(params);
    params.Flags = DI_PROPERTIES_CHANGE;
    c.spoil(&params);
    SetLastError(0);
    EXPECT_FALSE(SetupDiSetDeviceInstallParamsA(set, &first, c.noBuffer ? nullptr : &params));
    EXPECT_EQ(GetLastError(), c.error);
    EXPECT_EQ(InstallFlags(set, &first), 0u);
}

INSTANTIATE_TEST_SUITE_P(
    SetupDiSetDeviceInstallParamsA, InstallParamsFailures,
    ::testing::Values(
        BadInstallParamsCase{"NoParameters", [](SP_DEVINSTALL_PARAMS_A*) {}, true, ERROR_INVALID_PARAMETER},
        BadInstallParamsCase{"ShortSize", [](SP_DEVINSTALL_PARAMS_A* p) { p->cbSize -= 8; }, false,
                             ERROR_INVALID_USER_BUFFER},
        // DI_SHOWCLASS is reserved, DI_NOSELECTICONS obsolete, the top bit but one undefined.
        BadInstallParamsCase{"ReservedFlag", [](SP_DEVINSTALL_PARAMS_A* p) { p->Flags |= 0x00000004; }, false,
                             ERROR_INVALID_FLAGS},
        BadInstallParamsCase{"ObsoleteFlag", [](SP_DEVINSTALL_PARAMS_A* p) { p->Flags |= 0x40000000; }, false,
                             ERROR_INVALID_FLAGS},
        // The machine has no file queues for a caller's queue to be one of.
        BadInstallParamsCase{"CallersCopyQueue", [](SP_DEVINSTALL_PARAMS_A* p) { p->Flags |= DI_NOVCP; },
                             false, ERROR_INVALID_FLAGS},
        BadInstallParamsCase{
            "UnknownFileQueue",
            [](SP_DEVINSTALL_PARAMS_A* p) { p->FileQueue = reinterpret_cast<HSPFILEQ>(0x40); }, false,
            ERROR_INVALID_PARAMETER},
        BadInstallParamsCase{
            "DriverPathWithoutItsNul",
            [](SP_DEVINSTALL_PARAMS_A* p) { memset(p->DriverPath, 'a', sizeof(p->DriverPath)); }, false,
            ERROR_INVALID_PARAMETER}),
    [](const ::testing::TestParamInfo<BadInstallParamsCase>& info) { return info.param.name; });

TEST_F(PropertyChangeTest, InstallParamsKeepWhatTheCallerMaySet)
{
    SP_DEVINSTALL_PARAMS_A params{};
    params.cbSize = sizeof(params);
    ASSERT_TRUE(SetupDiGetDeviceInstallParamsA(set, &first, &params));
    // DI_DIDCLASS is setupapi's own: handed in, it does not stick.
    params.Flags |= DI_QUIETINSTALL | DI_PROPERTIES_CHANGE | DI_DIDCLASS;
    params.FlagsEx = 0x00000400; // DI_FLAGSEX_PROPCHANGE_PENDING
    params.hwndParent = reinterpret_cast<HWND>(0x1234);
    strcpy(params.DriverPath, "C:\\Drivers\\tarnocom.inf");
    ASSERT_TRUE(SetupDiSetDeviceInstallParamsA(set, &first, &params));

    SP_DEVINSTALL_PARAMS_A read{};
    read.cbSize = sizeof(read);
    ASSERT_TRUE(SetupDiGetDeviceInstallParamsA(set, &first, &read));
    EXPECT_EQ(read.Flags, static_cast<DWORD>(DI_QUIETINSTALL | DI_PROPERTIES_CHANGE));
    EXPECT_EQ(read.FlagsEx, 0x00000400u);
    EXPECT_EQ(read.hwndParent, reinterpret_cast<HWND>(0x1234));
    EXPECT_EQ(std::string(read.DriverPath), "C:\\Drivers\\tarnocom.inf");
    // The other member's parameters and the set's own are apart.
    EXPECT_EQ(InstallFlags(set, &other), 0u);
    EXPECT_EQ(InstallFlags(set, nullptr), 0u);

    // Flags are replaced, not added to.
    read.Flags = DI_NEEDREBOOT;
    ASSERT_TRUE(SetupDiSetDeviceInstallParamsA(set, &first, &read));
    EXPECT_EQ(InstallFlags(set, &first), static_cast<DWORD>(DI_NEEDREBOOT));
}

TEST_F(PropertyChangeTest, APropertyChangeWithoutAStateChangeOnlyAnnouncesIt)
{
    // What the property page does on its own reader when a setting changed.
    SP_DEVINSTALL_PARAMS_A params{};
    params.cbSize = sizeof(params);
    ASSERT_TRUE(SetupDiGetDeviceInstallParamsA(set, &first, &params));
    params.Flags |= DI_PROPERTIES_CHANGE;
    ASSERT_TRUE(SetupDiSetDeviceInstallParamsA(set, &first, &params));
    EXPECT_TRUE(SetupDiCallClassInstaller(DIF_PROPERTYCHANGE, set, &first));

    // Nothing to change: the reader was neither stopped nor started, and its port stays.
    EXPECT_EQ(Events(TARNO_D0_TO_D3_REMOVE), 0u);
    EXPECT_EQ(Events(TARNO_D3_TO_D0), 0u);
    EXPECT_EQ(reader.State(), winsim::machine::DeviceState::Started);
    EXPECT_EQ(OpenError("\\\\.\\COM3"), static_cast<DWORD>(ERROR_SUCCESS));
    EXPECT_EQ(InstallFlags(set, &first), static_cast<DWORD>(DI_PROPERTIES_CHANGE)) << "the flag stays";

    // A member that announced nothing and asked for nothing has no parameters to install.
    EXPECT_FALSE(SetupDiCallClassInstaller(DIF_PROPERTYCHANGE, set, &other));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_CLASSINSTALL_PARAMS));
}

} // namespace
