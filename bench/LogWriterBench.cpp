// CLogWriter::Write in file mode against the least a log line costs: opening the file for appending,
// writing the line and closing it again, as the writer must do for every line. Both write the
// same lines into files of their own; the result is the writer's speed relative to the plain loop.
#include <windows.h>
#include <winsim/user.h>

#include <benchmark/benchmark.h>

#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "LogWriter.h"

namespace
{

const char kText[] = "m_pPortStatus = 0000000000000000 m_pPortStatusWmi = 0000000000000000";

std::string g_folder;

std::string FreshFile(const char* name)
{
    std::string path = g_folder + "/" + name;
    unlink(path.c_str());
    return path;
}

void BM_LogWriterWrite(benchmark::State& state)
{
    std::string path = FreshFile("writer.log");
    CLogWriter writer(winsim::ToWindowsPath(path).c_str(), LOG_MODE_FILE_INFO);
    for (auto _ : state)
    {
        benchmark::DoNotOptimize(writer.Write(LOG_LEVEL_INFO, kText, LOG_TAG_INFO, 60));
    }
}

void BM_PlainOpenAppendClose(benchmark::State& state)
{
    std::string path = FreshFile("plain.log");
    SYSTEMTIME st;
    GetLocalTime(&st);
    char line[LOG_MAX_LINE + 2];
    size_t length = CLogWriter::FormatLine(line, LOG_MAX_LINE, ':', st, GetCurrentProcessId(),
                                           GetCurrentThreadId(), 60, LOG_LEVEL_INFO, LOG_TAG_INFO, kText);
    line[length++] = '\r';
    line[length++] = '\n';
    for (auto _ : state)
    {
        int fd = open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
        benchmark::DoNotOptimize(write(fd, line, length));
        close(fd);
    }
}

BENCHMARK(BM_PlainOpenAppendClose)->MinTime(0.5)->Repetitions(5);
BENCHMARK(BM_LogWriterWrite)->MinTime(0.5)->Repetitions(5);

class RatioReporter : public benchmark::ConsoleReporter
{
  public:
    void ReportRuns(const std::vector<Run>& runs) override
    {
        // The best of the repetitions: other work on the machine only ever makes a run slower.
        for (const Run& run : runs)
        {
            if (run.run_type != Run::RT_Iteration)
            {
                continue;
            }
            std::string name = run.benchmark_name();
            name = name.substr(0, name.find('/'));
            double cpu = run.GetAdjustedCPUTime();
            double real = run.GetAdjustedRealTime();
            m_cpu[name] = m_cpu.count(name) != 0 && m_cpu[name] < cpu ? m_cpu[name] : cpu;
            m_real[name] = m_real.count(name) != 0 && m_real[name] < real ? m_real[name] : real;
        }
        ConsoleReporter::ReportRuns(runs);
    }
    std::map<std::string, double> m_cpu;
    std::map<std::string, double> m_real;
};

} // namespace

int main(int argc, char** argv)
{
    char pattern[] = "/tmp/logwriter-bench-XXXXXX";
    if (mkdtemp(pattern) == nullptr)
    {
        return 1;
    }
    g_folder = pattern;
    // A machine of its own, so the log mutex is not shared with anything else.
    setenv("WINSIM_ROOT", (g_folder + "/machine").c_str(), 1);
    // The two benchmarks' repetitions run interleaved, so changing load on the machine hits both alike.
    std::vector<char*> args(argv, argv + argc);
    char interleave[] = "--benchmark_enable_random_interleaving=true";
    args.insert(args.begin() + 1, interleave);
    int count = static_cast<int>(args.size());
    args.push_back(nullptr);
    benchmark::Initialize(&count, args.data());
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    std::error_code ec;
    std::filesystem::remove_all(g_folder, ec);
    // Speed relative to the plain loop = its best time per line / the writer's best time per line. CPU time
    // is the steadier measure on a shared machine; wall-clock time is shown beside it.
    const char* writer = "BM_LogWriterWrite";
    const char* plain = "BM_PlainOpenAppendClose";
    if (reporter.m_cpu.count(writer) == 0 || reporter.m_cpu.count(plain) == 0 ||
        reporter.m_cpu[writer] <= 0 || reporter.m_real[writer] <= 0)
    {
        return 0;
    }
    printf("CLogWriter::Write speed relative to a plain open-append-close loop: %.2f (CPU time), %.2f (wall "
           "clock)\n",
           reporter.m_cpu[plain] / reporter.m_cpu[writer], reporter.m_real[plain] / reporter.m_real[writer]);
    return 0;
}
