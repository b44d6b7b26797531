// makecab.exe, the machine's cabinet maker, run as a process from C:\Windows\System32 of a machine,
// the way a program of the machine runs it. Its cabinets are read back with cabextract.
#include <windows.h>

#include "machine/Machine.h"

#include <gtest/gtest.h>

#include "TableCases.h"
#include "TestSupport.h"

#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

namespace
{

using winsim::machine::Machine;
using winsimtest::PrintTo;

// One file as `cabextract -l` lists it.
struct Entry
{
    unsigned long long size;
    std::string date; // "DD.MM.YYYY HH:MM:SS"
    std::string name;
};

// Bytes that compress somewhat but not entirely: text runs with a changing counter.
std::string Content(size_t size)
{
    std::string content;
    unsigned long long state = 0x9E3779B97F4A7C15ULL;
    while (content.size() < size)
    {
        state = state * 6364136223846793005ULL + 1442695040888963407ULL;
        content +=
            "line " + std::to_string(content.size()) + " value " + std::to_string(state >> 40) + "\r\n";
    }
    content.resize(size);
    return content;
}

class MakecabTest : public ::testing::Test
{
  protected:
    void SetUp() override
    {
        m_cabextract = testsupport::FindProgram("cabextract");
        if (m_cabextract.empty())
        {
            GTEST_SKIP() << "cabextract is not installed (scripts/install-deps.sh installs it)";
        }
    }

    std::string Program() const
    {
        return (m_machine.SystemDrive() / "Windows" / "System32" / "makecab.exe").string();
    }

    // Runs makecab.exe with the arguments in the host folder cwd, on this test's machine, with
    // local time nine hours ahead of UTC.
    testsupport::RunResult Makecab(const std::vector<std::string>& args, const std::string& cwd) const
    {
        std::vector<std::string> argv = {Program()};
        argv.insert(argv.end(), args.begin(), args.end());
        return testsupport::Run(argv, cwd, {{"WINSIM_ROOT", m_machine.Root().string()}, {"TZ", "JST-9"}});
    }

    // The files `cabextract -l` lists in a cabinet; fails the test when it cannot read it.
    std::vector<Entry> List(const std::string& cabinet) const
    {
        testsupport::RunResult r = testsupport::Run({m_cabextract, "-l", cabinet}, m_work.Path());
        EXPECT_EQ(r.exitCode, 0) << r.output;
        std::vector<Entry> entries;
        bool table = false;
        for (const std::string& line : testsupport::SplitLines(r.output))
        {
            if (line.rfind("-----------+", 0) == 0)
            {
                table = true;
                continue;
            }
            if (!table || line.empty())
            {
                table = table && !line.empty();
                continue;
            }
            size_t bar1 = line.find(" | ");
            size_t bar2 = line.find(" | ", bar1 + 3);
            if (bar1 == std::string::npos || bar2 == std::string::npos)
            {
                ADD_FAILURE() << "unexpected listing line: " << line;
                continue;
            }
            entries.push_back({std::stoull(line.substr(0, bar1)), line.substr(bar1 + 3, bar2 - bar1 - 3),
                               line.substr(bar2 + 3)});
        }
        return entries;
    }

    // Extracts a cabinet into a fresh folder and returns that folder.
    std::string Extract(const std::string& cabinet, const std::string& folder) const
    {
        std::string out = m_work.Sub(folder);
        testsupport::RunResult r = testsupport::Run({m_cabextract, "-q", "-d", out, cabinet}, m_work.Path());
        EXPECT_EQ(r.exitCode, 0) << r.output;
        return out;
    }

    Machine m_machine;
    testsupport::TempDir m_work;
    std::string m_cabextract;
};

struct SizeCase
{
    const char* name;
    size_t size;
};

class MakecabSizeTest : public MakecabTest, public ::testing::WithParamInterface<SizeCase>
{
};

TEST_P(MakecabSizeTest, CabinetHoldsTheOneFileWithItsBytes)
{
    const std::string content = Content(GetParam().size);
    std::string run = m_work.Sub("run");
    testsupport::WriteAll(run + "/TARNOCOM.etl", content);

    testsupport::RunResult r = Makecab({"TARNOCOM.etl", "TARNOCOM.cab"}, run);
    ASSERT_EQ(r.exitCode, 0) << r.output;
    EXPECT_NE(r.output.find("TARNOCOM.cab"), std::string::npos) << r.output;

    const std::string cabinet = run + "/TARNOCOM.cab";
    std::string image = testsupport::ReadAll(cabinet);
    ASSERT_GE(image.size(), 44u);
    EXPECT_EQ(image.substr(0, 4), "MSCF");
    // The first folder's compression type (CFFOLDER.typeCompress, after the 36-byte header):
    // 1 is MSZIP.
    EXPECT_EQ(static_cast<unsigned char>(image[42]) | (static_cast<unsigned char>(image[43]) << 8), 1);

    std::vector<Entry> entries = List(cabinet);
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(entries[0].name, "TARNOCOM.etl");
    EXPECT_EQ(entries[0].size, content.size());
    std::string out = Extract(cabinet, "out");
    EXPECT_TRUE(testsupport::ReadAll(out + "/TARNOCOM.etl") == content);
}

INSTANTIATE_TEST_SUITE_P(Sizes, MakecabSizeTest,
                         ::testing::Values(SizeCase{"Small", 37}, SizeCase{"OneMebibyte", 1 << 20}),
                         [](const ::testing::TestParamInfo<SizeCase>& info) { return info.param.name; });

TEST_F(MakecabTest, CabinetKeepsTheFilesModificationTimeInLocalTime)
{
    std::string run = m_work.Sub("run");
    testsupport::WriteAll(run + "/trace.etl", Content(100));
    // 2021-03-04 05:06:08 UTC, 14:06:08 local time (cabinet times count in two-second steps).
    struct timespec times[2] = {{1614834368, 0}, {1614834368, 0}};
    ASSERT_EQ(utimensat(AT_FDCWD, (run + "/trace.etl").c_str(), times, 0), 0);

    ASSERT_EQ(Makecab({"trace.etl", "trace.cab"}, run).exitCode, 0);
    std::vector<Entry> entries = List(run + "/trace.cab");
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(entries[0].date, "04.03.2021 14:06:08");
}

TEST_F(MakecabTest, WithoutADestinationTheSourceNameEndsInAnUnderscore)
{
    std::string run = m_work.Sub("run");
    m_work.Sub("run/logs");
    testsupport::WriteAll(run + "/logs/TARNOCOM.etl", Content(500));

    ASSERT_EQ(Makecab({"logs\\TARNOCOM.etl"}, run).exitCode, 0);
    // In the current directory, not beside the source.
    EXPECT_FALSE(testsupport::Exists(run + "/logs/TARNOCOM.et_"));
    std::vector<Entry> entries = List(run + "/TARNOCOM.et_");
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(entries[0].name, "TARNOCOM.etl");
}

TEST_F(MakecabTest, RelativePathsResolveAgainstTheCurrentDirectory)
{
    std::string run = m_work.Sub("run");
    m_work.Sub("run/in");
    m_work.Sub("run/out");
    const std::string content = Content(2000);
    testsupport::WriteAll(run + "/in/data.txt", content);

    ASSERT_EQ(Makecab({"in\\data.txt", ".\\out\\data.cab"}, run).exitCode, 0);
    std::vector<Entry> entries = List(run + "/out/data.cab");
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(entries[0].name, "data.txt");
    EXPECT_TRUE(testsupport::ReadAll(Extract(run + "/out/data.cab", "x") + "/data.txt") == content);
}

TEST_F(MakecabTest, DrivePathsNameTheMachinesDrive)
{
    std::filesystem::path logs = m_machine.SystemDrive() / "Logs";
    std::filesystem::create_directories(logs);
    testsupport::WriteAll((logs / "TARNOCOM.etl").string(), Content(3000));
    std::string elsewhere = m_work.Sub("elsewhere");

    testsupport::RunResult r =
        Makecab({"C:\\Logs\\TARNOCOM.etl", "/L", "C:\\Logs", "TARNOCOM.cab"}, elsewhere);
    ASSERT_EQ(r.exitCode, 0) << r.output;
    EXPECT_FALSE(testsupport::Exists(elsewhere + "/TARNOCOM.cab"));
    std::vector<Entry> entries = List((logs / "TARNOCOM.cab").string());
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(entries[0].name, "TARNOCOM.etl");
    EXPECT_EQ(entries[0].size, 3000u);
}

TEST_F(MakecabTest, AnExistingDestinationIsReplaced)
{
    std::string run = m_work.Sub("run");
    const std::string content = Content(4000);
    testsupport::WriteAll(run + "/TARNOCOM.etl", content);
    testsupport::WriteAll(run + "/TARNOCOM.cab", std::string(300000, 'x'));

    ASSERT_EQ(Makecab({"TARNOCOM.etl", "TARNOCOM.cab"}, run).exitCode, 0);
    std::vector<Entry> entries = List(run + "/TARNOCOM.cab");
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(entries[0].size, content.size());
    EXPECT_LT(std::filesystem::file_size(run + "/TARNOCOM.cab"), 300000u);
    EXPECT_TRUE(testsupport::ReadAll(Extract(run + "/TARNOCOM.cab", "out") + "/TARNOCOM.etl") == content);
}

struct FailureCase
{
    const char* name;
    std::vector<std::string> args;
    int exitCode;
    const char* message; // a part of what the program prints
};

class MakecabFailureTest : public MakecabTest, public ::testing::WithParamInterface<FailureCase>
{
};

// The run folder holds present.etl and an old cabinet old.cab; a failing run leaves both as they
// are and writes nothing else.
TEST_P(MakecabFailureTest, FailsWithItsExitCodeAndWritesNothing)
{
    const FailureCase& c = GetParam();
    std::string run = m_work.Sub("run");
    testsupport::WriteAll(run + "/present.etl", Content(100));
    testsupport::WriteAll(run + "/old.cab", "old cabinet");

    testsupport::RunResult r = Makecab(c.args, run);
    EXPECT_EQ(r.exitCode, c.exitCode) << r.output;
    EXPECT_NE(r.output.find(c.message), std::string::npos) << r.output;
    std::vector<std::string> files;
    for (const auto& entry : std::filesystem::directory_iterator(run))
    {
        files.push_back(entry.path().filename().string());
    }
    std::sort(files.begin(), files.end());
    EXPECT_EQ(files, (std::vector<std::string>{"old.cab", "present.etl"}));
    EXPECT_EQ(testsupport::ReadAll(run + "/old.cab"), "old cabinet");
}

INSTANTIATE_TEST_SUITE_P(
    Failures, MakecabFailureTest,
    ::testing::Values(
        FailureCase{
            "MissingSource", {"absent.etl", "old.cab"}, 2, "ERROR: cannot find source file absent.etl"},
        FailureCase{"SourceIsAFolder", {".", "old.cab"}, 2, "ERROR: cannot find source file ."},
        FailureCase{"DestinationFolderMissing",
                    {"present.etl", "nowhere\\x.cab"},
                    3,
                    "ERROR: cannot write cabinet nowhere\\x.cab"},
        FailureCase{"NoArguments", {}, 1, "ERROR: no source file given"},
        FailureCase{"UnknownSwitch", {"/Q", "present.etl", "old.cab"}, 1, "ERROR: unknown switch '/Q'"},
        FailureCase{"ThirdFileName",
                    {"present.etl", "old.cab", "more.cab"},
                    1,
                    "ERROR: unexpected argument 'more.cab'"},
        FailureCase{"FolderSwitchWithoutFolder", {"present.etl", "/L"}, 1, "ERROR: /L needs a value"},
        FailureCase{"UnsupportedCompression",
                    {"/D", "CompressionType=LZX", "present.etl", "old.cab"},
                    1,
                    "ERROR: CompressionType LZX is not supported"},
        FailureCase{"DirectiveFile", {"/F", "list.ddf"}, 1, "ERROR: directive files (/F) are not supported"}),
    [](const ::testing::TestParamInfo<FailureCase>& info) { return info.param.name; });

TEST_F(MakecabTest, CompressionCanBeTurnedOff)
{
    std::string run = m_work.Sub("run");
    const std::string content = Content(5000);
    testsupport::WriteAll(run + "/a.txt", content);

    ASSERT_EQ(Makecab({"/V1", "/D", "CompressionType=NONE", "a.txt", "a.cab"}, run).exitCode, 0);
    std::string image = testsupport::ReadAll(run + "/a.cab");
    ASSERT_GE(image.size(), 44u);
    EXPECT_EQ(static_cast<unsigned char>(image[42]) | (static_cast<unsigned char>(image[43]) << 8), 0);
    EXPECT_NE(image.find(content), std::string::npos);
    EXPECT_TRUE(testsupport::ReadAll(Extract(run + "/a.cab", "out") + "/a.txt") == content);
}

} // namespace
