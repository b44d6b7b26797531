// A person's own Windows program on the machine: built with the project's one command
// (scripts/winsim-cc) and run with the launcher (winsim-run) on a machine that has the driver
// package installed and a reader plugged in, as a separate process.
#include "TestSupport.h"

#include <gtest/gtest.h>

namespace
{

class OwnProgramTest : public ::testing::Test
{
  protected:
    static void SetUpTestSuite()
    {
        s_folder = new testsupport::TempDir;
        s_program = *s_folder / "port_check.exe";
        testsupport::RunResult built =
            testsupport::Run({"/bin/sh", "-c",
                              std::string(WINSIM_CC) + " --build " + testsupport::BuildDir() + " " +
                                  PROGRAM_SOURCE + " -o " + s_program + " 2>&1"},
                             s_folder->Path());
        s_buildOutput = built.output;
        s_built = built.exitCode == 0;
    }
    static void TearDownTestSuite() { delete s_folder; }

    void SetUp() override { ASSERT_TRUE(s_built) << s_buildOutput; }

    // Runs the program with the launcher; stderr is part of the output.
    static testsupport::RunResult Launch(const std::string& options, const std::string& arguments = "")
    {
        return testsupport::Run(
            {"/bin/sh", "-c",
             std::string(WINSIM_RUN) + " " + options + " " + s_program + " " + arguments + " 2>&1"},
            s_folder->Path());
    }

    static inline testsupport::TempDir* s_folder = nullptr;
    static inline std::string s_program;
    static inline std::string s_buildOutput;
    static inline bool s_built = false;
};

TEST_F(OwnProgramTest, RunsOnAMachineWithTheDriverAndAReader)
{
    testsupport::RunResult run = Launch("");
    EXPECT_EQ(run.exitCode, 0) << run.output;
    // The driver answers with the rate a freshly started port has.
    EXPECT_EQ(run.output, "port COM3\ndevice \\Device\\ZTSerial0\nbaud rate 1200\n");
}

TEST_F(OwnProgramTest, TheLaunchersOptionsChooseTheReaders)
{
    testsupport::RunResult run = Launch("--reader 2B4E:0730:TR0001 --reader 2b4e:0730:TR0002", "TR0002");
    EXPECT_EQ(run.exitCode, 0) << run.output;
    EXPECT_EQ(run.output, "port COM4\ndevice \\Device\\ZTSerial1\nbaud rate 1200\n");

    run = Launch("--no-reader");
    EXPECT_EQ(run.exitCode, 2);
    EXPECT_EQ(run.output, "no reader TR0001 (2)\n");

    // A package the machine does not have is no device of a reader's either.
    run = Launch("--no-package");
    EXPECT_EQ(run.exitCode, 2) << run.output;
}

TEST_F(OwnProgramTest, TheLauncherRefusesWhatItCannotFollow)
{
    testsupport::RunResult run = Launch("--reader 2B4E");
    EXPECT_EQ(run.exitCode, 125);
    EXPECT_EQ(run.output, "winsim-run: --reader: a reader is VID:PID[:SERIAL], not \"2B4E\"\n");
    run = Launch("--clock sometimes");
    EXPECT_EQ(run.exitCode, 125);
    EXPECT_EQ(run.output, "winsim-run: --clock is real or virtual\n");
    run = testsupport::Run(
        {"/bin/sh", "-c", std::string(WINSIM_RUN) + " --no-reader /nonexistent/program 2>&1"},
        s_folder->Path());
    EXPECT_EQ(run.exitCode, 127);
}

} // namespace
