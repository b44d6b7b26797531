// Collecting a trace the way a client library does: StartTraceA with a log file, EnableTrace for
// the driver's provider, FlushTraceA, ControlTraceA and StopTraceA, then the .etl file decoded
// through the driver's trace format file, in this process and by winsim-tracefmt as a process.
#include <windows.h>

#include <evntrace.h>

#include "machine/Machine.h"

#include "ProductConstants.h"
#include "TableCases.h"

#include <gtest/gtest.h>

#include <stdio.h>
#include <string.h>
#include <sys/wait.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

namespace
{

using winsimtest::PrintTo;

const GUID kDriverProvider = {TARNO_TRACE_GUID_INITIALIZER};
constexpr GUID kTestProvider = {0x5d0c9e21, 0x7a44, 0x4c1e, {0x8b, 0x13, 0x2f, 0x6a, 0x90, 0x11, 0xd4, 0x07}};
constexpr GUID kTestMessages = {0x5d0c9e21, 0x7a44, 0x4c1e, {0x8b, 0x13, 0x2f, 0x6a, 0x90, 0x11, 0xd4, 0x08}};
constexpr char kSession[] = "OstrixTrace";

// EVENT_TRACE_PROPERTIES with room for the session's and the log file's names after it.
struct Properties
{
    EVENT_TRACE_PROPERTIES block;
    char loggerName[256];
    char logFileName[256];
};

Properties MakeProperties(const char* logFile, ULONG mode = EVENT_TRACE_FILE_MODE_SEQUENTIAL,
                          ULONG bufferKb = 4, ULONG maximumMb = 0)
{
    Properties p;
    memset(&p, 0, sizeof(p));
    p.block.Wnode.BufferSize = sizeof(p);
    p.block.Wnode.Flags = WNODE_FLAG_TRACED_GUID;
    p.block.Wnode.ClientContext = 1;
    p.block.BufferSize = bufferKb;
    p.block.MaximumFileSize = maximumMb;
    p.block.LogFileMode = mode;
    p.block.LoggerNameOffset = offsetof(Properties, loggerName);
    p.block.LogFileNameOffset = logFile != nullptr ? offsetof(Properties, logFileName) : 0;
    if (logFile != nullptr)
    {
        strcpy(p.logFileName, logFile);
    }
    return p;
}

// A block to ask about a session with: room for its names, none given.
Properties QueryProperties()
{
    Properties p = MakeProperties(nullptr);
    p.block.LogFileNameOffset = offsetof(Properties, logFileName);
    return p;
}

std::string RunProcess(const std::string& command, int* exitCode)
{
    std::string output;
    FILE* pipe = popen(command.c_str(), "r");
    char chunk[512];
    size_t read = 0;
    while ((read = fread(chunk, 1, sizeof(chunk), pipe)) > 0)
    {
        output.append(chunk, read);
    }
    int status = pclose(pipe);
    *exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return output;
}

class EventTracingTest : public ::testing::Test
{
  protected:
    void SetUp() override { machine = std::make_unique<winsim::machine::Machine>(); }
    void TearDown() override
    {
        if (registration != 0)
        {
            EtwUnregister(registration);
        }
        winsim::machine::SetProcessAdministrator(true);
        machine.reset();
    }

    // A provider of the test's own, for exact control of what a session records.
    void RegisterTestProvider()
    {
        ASSERT_EQ(EtwRegisterClassicProvider(&kTestProvider, 0, TestCallback, this, &registration),
                  STATUS_SUCCESS);
    }
    static VOID NTAPI TestCallback(LPCGUID, UCHAR code, PVOID enableContext, PVOID context)
    {
        auto* test = static_cast<EventTracingTest*>(context);
        test->logger =
            code == EVENT_CONTROL_CODE_ENABLE_PROVIDER ? *static_cast<TRACEHANDLE*>(enableContext) : 0;
    }
    // A message numbered `number` with one argument of `size` bytes.
    void LogTestMessage(USHORT number, size_t size = 4)
    {
        std::vector<UCHAR> argument(size, static_cast<UCHAR>(number));
        ASSERT_EQ(WmiTraceMessage(logger,
                                  TRACE_MESSAGE_SEQUENCE | TRACE_MESSAGE_GUID | TRACE_MESSAGE_TIMESTAMP |
                                      TRACE_MESSAGE_SYSTEMINFO,
                                  &kTestMessages, number, argument.data(), argument.size(), nullptr),
                  STATUS_SUCCESS);
    }
    // A format file for the test provider's messages 1..count: "message N: %d".
    std::filesystem::path WriteTestFormats(USHORT count)
    {
        std::filesystem::path path = machine->Root() / "test.tmf";
        std::ofstream out(path);
        out << "#winsim-tmf 1\n";
        for (USHORT n = 1; n <= count; ++n)
        {
            out << "5d0c9e21-7a44-4c1e-8b13-2f6a9011d408\t" << n
                << "\tTRACE_LEVEL_INFORMATION\tTRACE_FLAG_GENERAL\t"
                << "test.cpp\t" << n << "\tmessage " << n << ": %d\n";
        }
        return path;
    }
    uintmax_t HostFileSize(const char16_t* windowsPath)
    {
        return std::filesystem::file_size(machine->HostPath(windowsPath));
    }
    std::vector<std::string> Decode(const char16_t* windowsPath, const std::filesystem::path& formats)
    {
        return machine->DecodeTraceFile(windowsPath, {formats});
    }

    std::unique_ptr<winsim::machine::Machine> machine;
    REGHANDLE registration = 0;
    TRACEHANDLE logger = 0;
};

TEST_F(EventTracingTest, ASessionStartsOnceIsQueriedFlushedAndStoppedByNameOrHandle)
{
    Properties start = MakeProperties("C:\\Windows\\Temp\\ostrix.etl");
    std::filesystem::create_directories(machine->HostPath(u"C:\\Windows\\Temp"));
    TRACEHANDLE session = 0;
    ASSERT_EQ(StartTraceA(&session, kSession, &start.block), static_cast<ULONG>(ERROR_SUCCESS));
    EXPECT_NE(session, 0u);
    EXPECT_STREQ(start.loggerName, kSession) << "the name is copied to its offset";
    EXPECT_EQ(start.block.BuffersWritten, 1u) << "the header buffer";

    Properties again = MakeProperties("C:\\Windows\\Temp\\other.etl");
    TRACEHANDLE second = 0;
    EXPECT_EQ(StartTraceA(&second, kSession, &again.block), static_cast<ULONG>(ERROR_ALREADY_EXISTS));
    Properties sameFile = MakeProperties("C:\\Windows\\Temp\\ostrix.etl");
    EXPECT_EQ(StartTraceA(&second, "OtherSession", &sameFile.block), static_cast<ULONG>(ERROR_BAD_PATHNAME))
        << "another session writes that file";

    Properties query = QueryProperties();
    ASSERT_EQ(ControlTraceA(0, kSession, &query.block, EVENT_TRACE_CONTROL_QUERY),
              static_cast<ULONG>(ERROR_SUCCESS));
    EXPECT_STREQ(query.loggerName, kSession);
    EXPECT_STREQ(query.logFileName, "C:\\Windows\\Temp\\ostrix.etl");
    EXPECT_EQ(query.block.BufferSize, 4u);
    EXPECT_EQ(query.block.LogFileMode, static_cast<ULONG>(EVENT_TRACE_FILE_MODE_SEQUENTIAL));
    EXPECT_EQ(query.block.Wnode.HistoricalContext, session);

    Properties flush = QueryProperties();
    EXPECT_EQ(FlushTraceA(session, nullptr, &flush.block), static_cast<ULONG>(ERROR_SUCCESS));
    Properties stop = QueryProperties();
    EXPECT_EQ(StopTraceA(session, nullptr, &stop.block), static_cast<ULONG>(ERROR_SUCCESS));
    EXPECT_STREQ(stop.loggerName, kSession);

    // Once stopped, the session is not found by any call, by name or handle.
    Properties after = QueryProperties();
    EXPECT_EQ(QueryTraceA(0, kSession, &after.block), static_cast<ULONG>(ERROR_WMI_INSTANCE_NOT_FOUND));
    EXPECT_EQ(QueryTraceA(session, nullptr, &after.block), static_cast<ULONG>(ERROR_WMI_INSTANCE_NOT_FOUND));
    EXPECT_EQ(FlushTraceA(0, kSession, &after.block), static_cast<ULONG>(ERROR_WMI_INSTANCE_NOT_FOUND));
    EXPECT_EQ(StopTraceA(session, nullptr, &after.block), static_cast<ULONG>(ERROR_WMI_INSTANCE_NOT_FOUND));
    EXPECT_EQ(EnableTrace(TRUE, 1, 5, &kDriverProvider, session),
              static_cast<ULONG>(ERROR_WMI_INSTANCE_NOT_FOUND));
}

TEST_F(EventTracingTest, ControlCallsCheckTheirArgumentsAndTheCallersRights)
{
    Properties p = MakeProperties(nullptr, EVENT_TRACE_REAL_TIME_MODE);
    TRACEHANDLE session = 0;
    EXPECT_EQ(StartTraceA(nullptr, kSession, &p.block), static_cast<ULONG>(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(StartTraceA(&session, nullptr, &p.block), static_cast<ULONG>(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(StartTraceA(&session, kSession, nullptr), static_cast<ULONG>(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(ControlTraceA(0, kSession, nullptr, EVENT_TRACE_CONTROL_QUERY),
              static_cast<ULONG>(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(ControlTraceA(0, nullptr, &p.block, EVENT_TRACE_CONTROL_QUERY),
              static_cast<ULONG>(ERROR_INVALID_PARAMETER))
        << "neither a handle nor a name";
    EXPECT_EQ(ControlTraceA(0, kSession, &p.block, 7), static_cast<ULONG>(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(EnableTrace(TRUE, 1, 5, nullptr, 1), static_cast<ULONG>(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(EnableTrace(TRUE, 1, 5, &kDriverProvider, 0), static_cast<ULONG>(ERROR_INVALID_PARAMETER));

    // A standard user's process controls no session.
    ASSERT_EQ(StartTraceA(&session, kSession, &p.block), static_cast<ULONG>(ERROR_SUCCESS));
    winsim::machine::SetProcessAdministrator(false);
    Properties other = MakeProperties(nullptr, EVENT_TRACE_REAL_TIME_MODE);
    TRACEHANDLE denied = 0;
    EXPECT_EQ(StartTraceA(&denied, "Another", &other.block), static_cast<ULONG>(ERROR_ACCESS_DENIED));
    Properties query = QueryProperties();
    EXPECT_EQ(QueryTraceA(session, nullptr, &query.block), static_cast<ULONG>(ERROR_ACCESS_DENIED));
    EXPECT_EQ(StopTraceA(0, kSession, &query.block), static_cast<ULONG>(ERROR_ACCESS_DENIED));
    EXPECT_EQ(EnableTrace(TRUE, 1, 5, &kDriverProvider, session), static_cast<ULONG>(ERROR_ACCESS_DENIED));
    winsim::machine::SetProcessAdministrator(true);
    EXPECT_EQ(StopTraceA(0, kSession, &query.block), static_cast<ULONG>(ERROR_SUCCESS));
}

// One flaw in an otherwise good properties block, and the error StartTraceA gives for it.
struct BlockCase
{
    const char* name;
    void (*spoil)(Properties&);
    ULONG error;
};

class PropertiesBlockTest : public EventTracingTest, public ::testing::WithParamInterface<BlockCase>
{
};

TEST_P(PropertiesBlockTest, StartTraceRefusesTheBlock)
{
    Properties p = MakeProperties("C:\\ostrix.etl");
    GetParam().spoil(p);
    TRACEHANDLE session = 0;
    EXPECT_EQ(StartTraceA(&session, kSession, &p.block), GetParam().error);
    EXPECT_EQ(session, 0u);
    EXPECT_FALSE(std::filesystem::exists(machine->HostPath(u"C:\\ostrix.etl"))) << "no file was made";
}

const BlockCase kBlockCases[] = {
    {"BufferSizeBelowTheStructure",
     [](Properties& p) { p.block.Wnode.BufferSize = sizeof(EVENT_TRACE_PROPERTIES) - 1; }, ERROR_BAD_LENGTH},
    {"NoRoomForTheSessionName",
     [](Properties& p) { p.block.Wnode.BufferSize = offsetof(Properties, loggerName) + 4; },
     ERROR_BAD_LENGTH},
    {"LogFileNameRunsPastTheBlock",
     [](Properties& p) {
         p.block.Wnode.BufferSize = offsetof(Properties, logFileName) + 4;
         p.block.LoggerNameOffset = 0;
     },
     ERROR_BAD_LENGTH},
    {"SessionNameOffsetInsideTheStructure", [](Properties& p) { p.block.LoggerNameOffset = 100; },
     ERROR_INVALID_PARAMETER},
    {"LogFileNameOffsetInsideTheStructure", [](Properties& p) { p.block.LogFileNameOffset = 16; },
     ERROR_INVALID_PARAMETER},
    {"NoTracedGuidFlag", [](Properties& p) { p.block.Wnode.Flags = 0; }, ERROR_INVALID_PARAMETER},
    {"CircularWithoutAMaximumSize",
     [](Properties& p) { p.block.LogFileMode = EVENT_TRACE_FILE_MODE_CIRCULAR; }, ERROR_INVALID_PARAMETER},
    {"SequentialAndCircular",
     [](Properties& p) {
         p.block.LogFileMode = EVENT_TRACE_FILE_MODE_SEQUENTIAL | EVENT_TRACE_FILE_MODE_CIRCULAR;
         p.block.MaximumFileSize = 1;
     },
     ERROR_INVALID_PARAMETER},
    {"NeitherAFileNorRealTime", [](Properties& p) { p.block.LogFileNameOffset = 0; },
     ERROR_INVALID_PARAMETER},
    {"UnknownMode", [](Properties& p) { p.block.LogFileMode = 0x40000000; }, ERROR_INVALID_PARAMETER},
    {"FolderThatDoesNotExist", [](Properties& p) { strcpy(p.logFileName, "C:\\NoSuchFolder\\ostrix.etl"); },
     ERROR_PATH_NOT_FOUND},
};

INSTANTIATE_TEST_SUITE_P(Blocks, PropertiesBlockTest, ::testing::ValuesIn(kBlockCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(EventTracingTest, TheDriversMessagesGoToTheLogFileAndDecodeIntoItsTraceLines)
{
    Properties p = MakeProperties("C:\\driver.etl", EVENT_TRACE_FILE_MODE_SEQUENTIAL, 64);
    TRACEHANDLE session = 0;
    ASSERT_EQ(StartTraceA(&session, kSession, &p.block), static_cast<ULONG>(ERROR_SUCCESS));
    ASSERT_EQ(EnableTrace(TRUE, 0x1, TRACE_LEVEL_INFORMATION, &kDriverProvider, session),
              static_cast<ULONG>(ERROR_SUCCESS));
    machine->InstallPackage(std::filesystem::path(TARNOCOM_PACKAGE_DIR) / "TARNOCOM.inf");
    machine->Attach();
    HANDLE port =
        CreateFileA("\\\\.\\COM3", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(port, INVALID_HANDLE_VALUE);
    CloseHandle(port);
    Properties stop = QueryProperties();
    ASSERT_EQ(StopTraceA(session, nullptr, &stop.block), static_cast<ULONG>(ERROR_SUCCESS));
    EXPECT_EQ(stop.block.EventsLost, 0u);
    EXPECT_GE(stop.block.BuffersWritten, 2u);

    std::vector<std::string> lines = Decode(u"C:\\driver.etl", TARNOCOM_TMF);
    ASSERT_FALSE(lines.empty());
    size_t opened = 0;
    for (const std::string& line : lines)
    {
        EXPECT_EQ(line.find("Unknown("), std::string::npos) << line;
        opened += line.find("[OpenClose]COM3: EvtDeviceFileCreate") != std::string::npos ? 1 : 0;
    }
    EXPECT_EQ(opened, 1u) << "the open, rendered through the driver's format file with its module prefix: "
                          << lines.back();
}

TEST_F(EventTracingTest, ABufferReachesTheFileWhenFlushedOrFullAndTheRestAtTheStop)
{
    RegisterTestProvider();
    Properties p = MakeProperties("C:\\flush.etl", EVENT_TRACE_FILE_MODE_SEQUENTIAL, 1);
    TRACEHANDLE session = 0;
    ASSERT_EQ(StartTraceA(&session, kSession, &p.block), static_cast<ULONG>(ERROR_SUCCESS));
    ASSERT_EQ(EnableTrace(TRUE, 1, 5, &kTestProvider, session), static_cast<ULONG>(ERROR_SUCCESS));
    ASSERT_NE(logger, 0u);
    std::filesystem::path formats = WriteTestFormats(20);
    for (USHORT n = 1; n <= 3; ++n)
    {
        LogTestMessage(n);
    }
    EXPECT_EQ(HostFileSize(u"C:\\flush.etl"), 1024u) << "only the header buffer so far";
    EXPECT_TRUE(Decode(u"C:\\flush.etl", formats).empty());

    Properties flush = QueryProperties();
    ASSERT_EQ(FlushTraceA(session, nullptr, &flush.block), static_cast<ULONG>(ERROR_SUCCESS));
    EXPECT_EQ(flush.block.BuffersWritten, 2u);
    std::vector<std::string> lines = Decode(u"C:\\flush.etl", formats);
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_NE(lines[2].find("[test]message 3: 50529027"), std::string::npos) << lines[2];

    // 20-byte arguments make 72-byte records: 13 fill a 1 KB buffer, the 14th starts the next.
    for (USHORT n = 1; n <= 20; ++n)
    {
        LogTestMessage(n, 20);
    }
    EXPECT_EQ(HostFileSize(u"C:\\flush.etl"), 3u * 1024) << "a full buffer went to the file by itself";
    Properties stop = QueryProperties();
    ASSERT_EQ(StopTraceA(session, nullptr, &stop.block), static_cast<ULONG>(ERROR_SUCCESS));
    EXPECT_EQ(stop.block.BuffersWritten, 4u);
    EXPECT_EQ(Decode(u"C:\\flush.etl", formats).size(), 23u);
}

TEST_F(EventTracingTest, ACircularFileKeepsItsHeaderAndTheNewestBuffers)
{
    RegisterTestProvider();
    Properties p = MakeProperties("C:\\circular.etl", EVENT_TRACE_FILE_MODE_CIRCULAR, 1, 1);
    TRACEHANDLE session = 0;
    ASSERT_EQ(StartTraceA(&session, kSession, &p.block), static_cast<ULONG>(ERROR_SUCCESS));
    ASSERT_EQ(EnableTrace(TRUE, 1, 5, &kTestProvider, session), static_cast<ULONG>(ERROR_SUCCESS));
    // A 900-byte argument fills a 1 KB buffer: one message a buffer, 1023 buffers after the header.
    constexpr USHORT kMessages = 1100;
    for (USHORT n = 1; n <= kMessages; ++n)
    {
        LogTestMessage(n, 900);
    }
    Properties stop = QueryProperties();
    ASSERT_EQ(StopTraceA(session, nullptr, &stop.block), static_cast<ULONG>(ERROR_SUCCESS));
    EXPECT_EQ(HostFileSize(u"C:\\circular.etl"), 1024u * 1024) << "the file stays at its maximum size";

    std::vector<std::string> lines = Decode(u"C:\\circular.etl", WriteTestFormats(1));
    ASSERT_EQ(lines.size(), 1023u);
    EXPECT_NE(lines.front().find("Unknown( 5d0c9e21-7a44-4c1e-8b13-2f6a9011d408 78 )"), std::string::npos)
        << "the oldest kept is message 1100 - 1023 + 1 = 78: " << lines.front().substr(0, 80);
    EXPECT_NE(lines.back().find("Unknown( 5d0c9e21-7a44-4c1e-8b13-2f6a9011d408 1100 )"), std::string::npos);
}

TEST_F(EventTracingTest, TheLogFileCannotBeDeletedWhileItsSessionRunsButCanBeRead)
{
    Properties p = MakeProperties("C:\\held.etl");
    TRACEHANDLE session = 0;
    ASSERT_EQ(StartTraceA(&session, kSession, &p.block), static_cast<ULONG>(ERROR_SUCCESS));
    SetLastError(0);
    EXPECT_FALSE(DeleteFileA("C:\\held.etl"));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
    EXPECT_TRUE(CopyFileA("C:\\held.etl", "C:\\copy.etl", FALSE)) << "reading is shared";
    HANDLE reading = CreateFileA("C:\\held.etl", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                 OPEN_EXISTING, 0, nullptr);
    EXPECT_NE(reading, INVALID_HANDLE_VALUE);
    CloseHandle(reading);

    Properties stop = QueryProperties();
    ASSERT_EQ(StopTraceA(session, nullptr, &stop.block), static_cast<ULONG>(ERROR_SUCCESS));
    EXPECT_TRUE(DeleteFileA("C:\\held.etl")) << "the stop let the file go";
    EXPECT_FALSE(std::filesystem::exists(machine->HostPath(u"C:\\held.etl")));
}

TEST_F(EventTracingTest, TheDecoderPrintsWhatTheMachineDecodesAndRefusesADamagedFile)
{
    RegisterTestProvider();
    Properties p = MakeProperties("C:\\tool.etl");
    TRACEHANDLE session = 0;
    ASSERT_EQ(StartTraceA(&session, kSession, &p.block), static_cast<ULONG>(ERROR_SUCCESS));
    ASSERT_EQ(EnableTrace(TRUE, 1, 5, &kTestProvider, session), static_cast<ULONG>(ERROR_SUCCESS));
    LogTestMessage(1);
    LogTestMessage(2);
    Properties stop = QueryProperties();
    ASSERT_EQ(StopTraceA(session, nullptr, &stop.block), static_cast<ULONG>(ERROR_SUCCESS));
    std::filesystem::path formats = WriteTestFormats(2);
    std::string file = machine->HostPath(u"C:\\tool.etl").string();

    int exitCode = -1;
    std::string output =
        RunProcess(std::string(WINSIM_TRACEFMT) + " " + file + " " + formats.string(), &exitCode);
    EXPECT_EQ(exitCode, 0);
    std::string expected;
    for (const std::string& line : Decode(u"C:\\tool.etl", formats))
    {
        expected += line + "\n";
    }
    EXPECT_EQ(output, expected);
    EXPECT_NE(output.find("[test]message 2: 33686018\n"), std::string::npos) << output;

    std::filesystem::resize_file(file, std::filesystem::file_size(file) - 1);
    output =
        RunProcess(std::string(WINSIM_TRACEFMT) + " " + file + " " + formats.string() + " 2>&1", &exitCode);
    EXPECT_EQ(exitCode, 1);
    EXPECT_NE(output.find("buffer boundary"), std::string::npos) << output;
}

TEST(BootTraceSessionTest, TheMachineRecordsTheDriverFromBootIntoItsSystemFolder)
{
    winsim::machine::MachineConfig config;
    winsim::machine::BootTraceSession boot;
    boot.name = u"TarnoBoot";
    boot.provider = kDriverProvider;
    boot.level = TRACE_LEVEL_INFORMATION;
    boot.flags = 0x1;
    config.bootTraceSession = boot;
    winsim::machine::Machine machine(config);

    Properties query = QueryProperties();
    ASSERT_EQ(QueryTraceA(0, "TarnoBoot", &query.block), static_cast<ULONG>(ERROR_SUCCESS));
    EXPECT_STREQ(query.logFileName, "C:\\Windows\\System32\\TarnoBoot.etl");
    EXPECT_EQ(query.block.EnableFlags, 0x1u);

    machine.InstallPackage(std::filesystem::path(TARNOCOM_PACKAGE_DIR) / "TARNOCOM.inf");
    machine.Attach();
    ASSERT_TRUE(machine.StopTrace(u"TarnoBoot"));
    std::vector<std::string> lines =
        machine.DecodeTraceFile(winsim::machine::Machine::BootTraceFile(u"TarnoBoot"), {TARNOCOM_TMF});
    ASSERT_FALSE(lines.empty()) << "the driver's start was recorded from its first line";
    EXPECT_EQ(lines.front().find("Unknown("), std::string::npos) << lines.front();
}

} // namespace
