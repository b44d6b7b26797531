// The capture of the driver's trace as a support engineer runs it, against a plain cabinet maker
// packing the same log file, both measured in the same run:
//
//  - Capture: rwGetTARNOLogFile(0, "C:\Support") of the real Ostrix_x64.dll, loaded on the machine:
//    it flushes the "TARNOCOM" session, copies its 16 MiB log file into the current directory,
//    runs the machine's makecab.exe on it as a child process, deletes the local log and copies the
//    cabinet into the folder.
//  - Baseline: `gcab -c -z out.cab TARNOCOM.etl` on a copy of the same log file, run as a child
//    process and waited for. gcab must be installed (Debian's package gcab); without it the
//    program says so and fails.
//
// How the log file gets its 16 MiB: the machine boots with a sequential "TARNOCOM" session of
// 1024 KB buffers and a 16 MB maximum file size, recording the driver at verbose level with every
// flag. An application then moves data through a loopback reader on COM3 (a write, the read of
// the same bytes, a ClearCommError), so that every round trip adds the driver's own messages (the
// device control, the read waiting, the write done...), until the session's file holds its 16
// buffers: the header buffer and 15 full buffers of real messages. The file is then full and stays
// 16 MiB; the messages of later buffers are counted as lost. Before the timing the log file is
// decoded through the driver's trace format file, which checks every record.
//
// Each side runs kRepetitions times; the medians are compared. Two steps of the capture are also
// timed alone, to show where its time goes: one CopyFileA of the log file, and makecab.exe run on
// the local copy as the library runs it.
#include <windows.h>
#include <evntrace.h>

#include <Ostrix.h>
#include <winsim/user.h>

#include "ProductConstants.h"
#include "TestSupport.h"
#include "machine/Machine.h"

#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace
{

using Clock = std::chrono::steady_clock;
using winsim::machine::Machine;

typedef BOOLEAN(WINAPI* PFN_GETTARNOLOGFILE)(SHORT, LPCSTR);

constexpr int kRepetitions = 7;
constexpr ULONG kBufferSizeKb = 1024;
constexpr ULONG kLogFileMb = 16;
constexpr uintmax_t kLogFileBytes = uintmax_t{kLogFileMb} * 1024 * 1024;
constexpr DWORD kRoundTrip = 256; // bytes written and read back per round trip
constexpr long kMaxRoundTrips = 5000000;

const char kSystemLog[] = "C:\\Windows\\System32\\TARNOCOM.etl";
const char kWorkFolder[] = "C:\\Bench";           // the application's current directory
const char kDropFolder[] = "C:\\Support";         // where the capture puts its cabinet
const char kGcabFolder[] = "C:\\GcabBench";       // gcab's copy of the log and its cabinet
const char kMakecabFolder[] = "C:\\MakecabBench"; // makecab.exe run alone

double Seconds(Clock::duration d)
{
    return std::chrono::duration<double>(d).count();
}

double Median(std::vector<double> samples)
{
    std::sort(samples.begin(), samples.end());
    return samples[samples.size() / 2];
}

// Runs a host program in a folder and waits for it, its output discarded; its exit code, or -1.
int RunHost(const std::string& program, const std::vector<std::string>& args,
            const std::filesystem::path& folder)
{
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(program.c_str()));
    for (const std::string& arg : args)
    {
        argv.push_back(const_cast<char*>(arg.c_str()));
    }
    argv.push_back(nullptr);
    pid_t pid = fork();
    if (pid == 0)
    {
        int null = open("/dev/null", O_WRONLY);
        if (null < 0 || dup2(null, STDOUT_FILENO) < 0 || chdir(folder.c_str()) != 0)
        {
            _exit(127);
        }
        execv(program.c_str(), argv.data());
        _exit(127);
    }
    int status = 0;
    if (pid < 0 || waitpid(pid, &status, 0) != pid || !WIFEXITED(status))
    {
        return -1;
    }
    return WEXITSTATUS(status);
}

// Runs a program of the machine as the library runs makecab.exe (hidden, no window, waited for);
// its exit code, or -1 when it does not start.
long RunOnMachine(const std::string& commandLine)
{
    std::vector<char> line(commandLine.begin(), commandLine.end());
    line.push_back('\0');
    STARTUPINFOA si;
    PROCESS_INFORMATION pi;
    ZeroMemory(&si, sizeof(si));
    ZeroMemory(&pi, sizeof(pi));
    si.cb = sizeof(si);
    si.dwFlags = STARTF_USESHOWWINDOW;
    si.wShowWindow = SW_HIDE;
    if (!CreateProcessA(NULL, line.data(), NULL, NULL, FALSE, CREATE_NO_WINDOW, NULL, NULL, &si, &pi))
    {
        return -1;
    }
    WaitForSingleObject(pi.hProcess, INFINITE);
    DWORD exitCode = 0;
    GetExitCodeProcess(pi.hProcess, &exitCode);
    CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);
    return static_cast<long>(exitCode);
}

// Moves data through COM3's loopback reader until the session's log file is full; the round
// trips it took, or -1 when the port failed.
long FillTraceLog(Machine& machine)
{
    std::filesystem::path log = machine.HostPath(u"C:\\Windows\\System32\\TARNOCOM.etl");
    HANDLE port = CreateFileA("\\\\.\\COM3", GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING, 0, NULL);
    if (port == INVALID_HANDLE_VALUE)
    {
        fprintf(stderr, "COM3 does not open (%lu)\n", static_cast<unsigned long>(GetLastError()));
        return -1;
    }
    COMMTIMEOUTS timeouts = {0, 0, 0, 0, 0}; // a read waits for all its bytes
    SetCommTimeouts(port, &timeouts);
    std::vector<unsigned char> out(kRoundTrip);
    std::vector<unsigned char> in(kRoundTrip);
    long trips = 0;
    for (; trips < kMaxRoundTrips && std::filesystem::file_size(log) < kLogFileBytes; ++trips)
    {
        out.front() = out.back() = static_cast<unsigned char>(trips);
        DWORD written = 0;
        DWORD read = 0;
        DWORD errors = 0;
        COMSTAT stat;
        if (!WriteFile(port, out.data(), kRoundTrip, &written, NULL) || written != kRoundTrip ||
            !ReadFile(port, in.data(), kRoundTrip, &read, NULL) || read != kRoundTrip || in != out ||
            !ClearCommError(port, &errors, &stat))
        {
            fprintf(stderr, "round trip %ld through COM3 failed (%lu)\n", trips,
                    static_cast<unsigned long>(GetLastError()));
            CloseHandle(port);
            return -1;
        }
    }
    CloseHandle(port);
    return trips;
}

} // namespace

int main()
{
    std::string gcab = testsupport::FindProgram("gcab");
    if (gcab.empty())
    {
        fprintf(stderr, "gcab is not installed (not found on PATH): this benchmark compares the capture "
                        "against `gcab -c -z`; install it (Debian: apt-get install gcab)\n");
        return 1;
    }

    std::filesystem::path self = std::filesystem::read_symlink("/proc/self/exe");
    {
        std::ofstream ini(self.parent_path() / "Ostrix.ini", std::ios::binary);
        ini << "[Log]\r\nLogging=-1\r\n";
    }

    winsim::machine::MachineConfig config;
    winsim::machine::BootTraceSession session;
    session.name = u"TARNOCOM";
    session.provider = GUID{TARNO_TRACE_GUID_INITIALIZER};
    session.level = TRACE_LEVEL_VERBOSE;
    session.flags = 0xFFFFFFFF;
    session.bufferSizeKb = kBufferSizeKb;
    session.maximumFileSizeMb = kLogFileMb;
    session.logFileMode = EVENT_TRACE_FILE_MODE_SEQUENTIAL;
    config.bootTraceSession = session;
    Machine machine(config);
    machine.InstallPackage(std::string(TARNOCOM_PACKAGE_DIR) + "/TARNOCOM.inf");
    winsim::machine::ReaderSpec reader;
    reader.loopback = true;
    winsim::machine::Device device = machine.Attach(reader);

    Clock::time_point fillStart = Clock::now();
    long trips = FillTraceLog(machine);
    double fillSeconds = Seconds(Clock::now() - fillStart);
    if (trips < 0)
    {
        return 1;
    }
    std::filesystem::path systemLog = machine.HostPath(u"C:\\Windows\\System32\\TARNOCOM.etl");
    uintmax_t logBytes = std::filesystem::file_size(systemLog);
    if (logBytes != kLogFileBytes)
    {
        fprintf(stderr, "the session's log file has %ju bytes after %ld round trips, not %ju\n", logBytes,
                trips, kLogFileBytes);
        return 1;
    }
    size_t messages = machine.DecodeTraceFile(u"C:\\Windows\\System32\\TARNOCOM.etl", {TARNOCOM_TMF}).size();

    if (!CreateDirectoryA(kWorkFolder, NULL) || !CreateDirectoryA(kDropFolder, NULL) ||
        !CreateDirectoryA(kGcabFolder, NULL) || !CreateDirectoryA(kMakecabFolder, NULL) ||
        !SetCurrentDirectoryA(kWorkFolder))
    {
        fprintf(stderr, "the benchmark's folders cannot be made (%lu)\n",
                static_cast<unsigned long>(GetLastError()));
        return 1;
    }
    HMODULE module = LoadLibraryA(winsim::ToWindowsPath(OSTRIX_DLL).c_str());
    if (module == NULL)
    {
        fprintf(stderr, "Ostrix_x64.dll did not load (%lu)\n", static_cast<unsigned long>(GetLastError()));
        return 1;
    }
    auto getLogFile = reinterpret_cast<PFN_GETTARNOLOGFILE>(
        reinterpret_cast<void*>(GetProcAddress(module, "rwGetTARNOLogFile")));

    // The same log file for gcab, copied out once.
    std::filesystem::path gcabFolder = machine.HostPath(u"C:\\GcabBench");
    std::filesystem::copy_file(systemLog, gcabFolder / "TARNOCOM.etl");

    // The capture and gcab, repetition by repetition, so that a slow patch of the host falls on
    // both.
    std::vector<double> capture;
    std::vector<double> baseline;
    for (int i = 0; i < kRepetitions; ++i)
    {
        Clock::time_point start = Clock::now();
        BOOLEAN captured = getLogFile(0, kDropFolder);
        capture.push_back(Seconds(Clock::now() - start));
        if (!captured)
        {
            fprintf(stderr, "rwGetTARNOLogFile failed (repetition %d)\n", i + 1);
            return 1;
        }
        start = Clock::now();
        int exitCode = RunHost(gcab, {"-c", "-z", "out.cab", "TARNOCOM.etl"}, gcabFolder);
        baseline.push_back(Seconds(Clock::now() - start));
        if (exitCode != 0)
        {
            fprintf(stderr, "gcab -c -z failed with exit code %d\n", exitCode);
            return 1;
        }
    }

    // Two of the capture's steps alone: one copy of the log file, and makecab.exe on a local copy.
    std::vector<double> copies;
    std::vector<double> makecab;
    std::string localLog = std::string(kMakecabFolder) + "\\TARNOCOM.etl";
    std::string makecabLine = std::string("C:\\Windows\\System32\\makecab.exe ") + localLog + " " +
                              kMakecabFolder + "\\TARNOCOM.cab";
    for (int i = 0; i < kRepetitions; ++i)
    {
        Clock::time_point start = Clock::now();
        BOOL copied = CopyFileA(kSystemLog, localLog.c_str(), FALSE);
        copies.push_back(Seconds(Clock::now() - start));
        start = Clock::now();
        long exitCode = RunOnMachine(makecabLine);
        makecab.push_back(Seconds(Clock::now() - start));
        if (!copied || exitCode != 0)
        {
            fprintf(stderr, "the copy (%d) or makecab.exe (exit code %ld) failed\n", copied, exitCode);
            return 1;
        }
    }
    FreeLibrary(module);

    uintmax_t captureCab = std::filesystem::file_size(machine.HostPath(u"C:\\Support\\TARNOCOM.cab"));
    uintmax_t gcabCab = std::filesystem::file_size(gcabFolder / "out.cab");
    double captureMedian = Median(capture);
    double gcabMedian = Median(baseline);
    printf("trace capture (%d repetitions; medians)\n", kRepetitions);
    printf("  %-52s %10ju bytes\n", "TARNOCOM.etl (session's log file)", logBytes);
    printf("  %-52s %10zu (%ld round trips on COM3, %.1f s)\n", "  driver messages in it", messages, trips,
           fillSeconds);
    printf("  %-52s %10ju bytes\n", "TARNOCOM.cab from the capture", captureCab);
    printf("  %-52s %10ju bytes\n", "out.cab from gcab -c -z", gcabCab);
    printf("  %-52s %10.1f ms\n", "gcab -c -z (baseline)", gcabMedian * 1000.0);
    printf("  %-52s %10.1f ms\n", "rwGetTARNOLogFile into a folder", captureMedian * 1000.0);
    printf("  %-52s %10.2f (aim: at most 1.20)\n", "ratio to the baseline", captureMedian / gcabMedian);
    printf("  %-52s %10.1f ms\n", "of its steps alone: CopyFileA of the log file", Median(copies) * 1000.0);
    printf("  %-52s %10.1f ms\n", "of its steps alone: makecab.exe on a local copy",
           Median(makecab) * 1000.0);
    machine.Detach(device);
    return 0;
}
