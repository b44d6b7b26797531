// The serial port's data paths as an application sees them, each against a baseline measured in
// the same run:
//
//  - Receive: the reader sends 4096-byte chunks through the bulk-in completion, and the
//    application takes them with ReadFile, against a memcpy of the same bytes into a ring and out
//    again. The application keeps an overlapped read of several chunks waiting, as a program that
//    streams from a port does, so the chunks go straight into the read's buffer; it also enlarges
//    the port's receive queue with SetupComm first, so that bytes arriving between two reads
//    would wait in the ring. A second case leaves no read waiting: the chunks land in the ring,
//    and a read that returns at once takes them out, as a program that polls does.
//  - End to end: WriteFile, the driver, a loopback reader, the driver again and ReadFile, one
//    chunk at a time, against a Linux pseudo-terminal pair in raw mode moving the same chunks.
//
// Each case also reports the pool allocations one transfer costs once the port is open.
#include <windows.h>

#include "Driver.h"

#include <wdfldr.h>

#include "machine/Machine.h"

#include <benchmark/benchmark.h>

#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <termios.h>
#include <unistd.h>

#include <filesystem>
#include <map>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

namespace
{

constexpr size_t kChunk = 4096;         // one bulk-in transfer of the reader
constexpr unsigned kChunksPerRead = 16; // the chunks one waiting read takes
constexpr unsigned kRingChunks = 15;    // the chunks that fit the enlarged ring (it refuses to fill)
constexpr DWORD kQueueSize = 65536;     // the receive queue the application asks for
const size_t kEndToEndSizes[] = {64, 512, 4096};

// --- the machine: one reader that loops back what it is sent, its port open on COM3 -----------

struct Port
{
    std::unique_ptr<winsim::machine::Machine> machine;
    winsim::machine::Reader reader;
    HANDLE handle = INVALID_HANDLE_VALUE;
    HANDLE readDone = nullptr;
    HANDLE writeDone = nullptr;
};

Port& OpenPort()
{
    static Port port = [] {
        Port p;
        p.machine = std::make_unique<winsim::machine::Machine>();
        p.machine->UseBuiltInDriver(u"TARNOCOM.sys", FxDriverEntry);
        p.machine->InstallPackage(std::filesystem::path(TARNOCOM_PACKAGE_DIR) / "TARNOCOM.inf");
        winsim::machine::ReaderSpec plugged;
        plugged.loopback = true;
        winsim::machine::Device device = p.machine->Attach(plugged);
        p.reader = p.machine->ReaderOf(device);
        p.handle = CreateFileA("\\\\.\\COM3", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                               FILE_FLAG_OVERLAPPED, nullptr);
        if (p.handle == INVALID_HANDLE_VALUE)
        {
            throw std::runtime_error("COM3 does not open: error " + std::to_string(GetLastError()));
        }
        if (!SetupComm(p.handle, kQueueSize, kQueueSize))
        {
            throw std::runtime_error("SetupComm fails: error " + std::to_string(GetLastError()));
        }
        p.readDone = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        p.writeDone = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        return p;
    }();
    return port;
}

void SetTimeouts(HANDLE handle, DWORD interval, DWORD multiplier, DWORD constant)
{
    COMMTIMEOUTS timeouts = {interval, multiplier, constant, 0, 0};
    if (!SetCommTimeouts(handle, &timeouts))
    {
        throw std::runtime_error("SetCommTimeouts fails: error " + std::to_string(GetLastError()));
    }
}

// Starts an overlapped read or write; false when it failed at once.
bool Start(BOOL started)
{
    return started || GetLastError() == ERROR_IO_PENDING;
}

// Waits for an overlapped request; the bytes it moved, or -1 when it failed.
long Finish(HANDLE handle, OVERLAPPED* overlapped)
{
    DWORD moved = 0;
    return GetOverlappedResult(handle, overlapped, &moved, TRUE) ? static_cast<long>(moved) : -1;
}

// The pool allocations per transfer over a run, from the count before it.
void CountAllocations(benchmark::State& state, ULONGLONG before, int64_t transfers)
{
    ULONGLONG made = OpenPort().machine->PoolAllocationsMade() - before;
    state.counters["pool_allocs_per_transfer"] =
        benchmark::Counter(transfers > 0 ? static_cast<double>(made) / static_cast<double>(transfers) : 0);
}

// --- receive --------------------------------------------------------------------------------

// A read of kChunksPerRead chunks waits; the reader sends them; the read completes when full.
void BM_ReceiveIntoWaitingRead(benchmark::State& state)
{
    Port& port = OpenPort();
    SetTimeouts(port.handle, 0, 0, 0); // a read waits for all its bytes
    std::vector<unsigned char> buffer(kChunk * kChunksPerRead);
    ULONGLONG before = port.machine->PoolAllocationsMade();
    for (auto _ : state)
    {
        OVERLAPPED overlapped = {};
        overlapped.hEvent = port.readDone;
        ResetEvent(port.readDone);
        if (!Start(ReadFile(port.handle, buffer.data(), static_cast<DWORD>(buffer.size()), nullptr,
                            &overlapped)))
        {
            state.SkipWithError("ReadFile failed");
            break;
        }
        port.reader.Flood(kChunksPerRead, 0x5A);
        if (Finish(port.handle, &overlapped) != static_cast<long>(buffer.size()) || buffer.back() != 0x5A)
        {
            state.SkipWithError("the read did not get its bytes");
            break;
        }
        buffer.back() = 0;
    }
    int64_t transfers = static_cast<int64_t>(state.iterations()) * kChunksPerRead;
    CountAllocations(state, before, transfers);
    state.SetBytesProcessed(transfers * static_cast<int64_t>(kChunk));
}

// The reader fills the ring with kRingChunks chunks; a read that returns at once takes them.
void BM_ReceiveThroughRing(benchmark::State& state)
{
    Port& port = OpenPort();
    SetTimeouts(port.handle, MAXDWORD, 0, 0); // a read takes what the ring holds and returns
    std::vector<unsigned char> buffer(kChunk * kRingChunks);
    ULONGLONG before = port.machine->PoolAllocationsMade();
    for (auto _ : state)
    {
        port.reader.Flood(kRingChunks, 0x5A);
        port.reader.WaitForCompletions();
        OVERLAPPED overlapped = {};
        overlapped.hEvent = port.readDone;
        ResetEvent(port.readDone);
        if (!Start(ReadFile(port.handle, buffer.data(), static_cast<DWORD>(buffer.size()), nullptr,
                            &overlapped)) ||
            Finish(port.handle, &overlapped) != static_cast<long>(buffer.size()) || buffer.back() != 0x5A)
        {
            state.SkipWithError("the read did not get the ring's bytes");
            break;
        }
        buffer.back() = 0;
    }
    int64_t transfers = static_cast<int64_t>(state.iterations()) * kRingChunks;
    CountAllocations(state, before, transfers);
    state.SetBytesProcessed(transfers * static_cast<int64_t>(kChunk));
}

// The same bytes copied into a ring of the same size and out again, chunk by chunk.
void BM_MemcpyThroughRing(benchmark::State& state)
{
    std::vector<unsigned char> source(kChunk, 0x5A);
    std::vector<unsigned char> ring(kQueueSize);
    std::vector<unsigned char> buffer(kChunk * kChunksPerRead);
    size_t put = 0;
    for (auto _ : state)
    {
        for (unsigned i = 0; i < kChunksPerRead; i++)
        {
            memcpy(ring.data() + put, source.data(), kChunk);
            benchmark::ClobberMemory();
            memcpy(buffer.data() + i * kChunk, ring.data() + put, kChunk);
            benchmark::ClobberMemory();
            put = (put + kChunk) % ring.size();
        }
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * kChunksPerRead *
                            static_cast<int64_t>(kChunk));
}

// --- end to end -----------------------------------------------------------------------------

// One chunk written to COM3 comes back through the loopback reader and is read.
void BM_EndToEndPort(benchmark::State& state)
{
    Port& port = OpenPort();
    SetTimeouts(port.handle, 0, 0, 0); // a read waits for all its bytes
    const size_t size = static_cast<size_t>(state.range(0));
    std::vector<unsigned char> out(size);
    std::vector<unsigned char> in(size);
    unsigned char mark = 0;
    ULONGLONG before = port.machine->PoolAllocationsMade();
    for (auto _ : state)
    {
        out.front() = out.back() = ++mark;
        OVERLAPPED write = {};
        write.hEvent = port.writeDone;
        ResetEvent(port.writeDone);
        if (!Start(WriteFile(port.handle, out.data(), static_cast<DWORD>(size), nullptr, &write)) ||
            Finish(port.handle, &write) != static_cast<long>(size))
        {
            state.SkipWithError("WriteFile failed");
            break;
        }
        OVERLAPPED read = {};
        read.hEvent = port.readDone;
        ResetEvent(port.readDone);
        if (!Start(ReadFile(port.handle, in.data(), static_cast<DWORD>(size), nullptr, &read)) ||
            Finish(port.handle, &read) != static_cast<long>(size) || in.front() != mark || in.back() != mark)
        {
            state.SkipWithError("the bytes did not come back");
            break;
        }
    }
    CountAllocations(state, before, static_cast<int64_t>(state.iterations()));
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(size));
}

// The same chunks written to a pseudo-terminal's master and read from its slave, in raw mode.
struct Pty
{
    int master = -1;
    int slave = -1;
    Pty()
    {
        master = posix_openpt(O_RDWR | O_NOCTTY);
        if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0)
        {
            throw std::runtime_error("no pseudo-terminal");
        }
        slave = open(ptsname(master), O_RDWR | O_NOCTTY);
        termios raw;
        if (slave < 0 || tcgetattr(slave, &raw) != 0)
        {
            throw std::runtime_error("the pseudo-terminal's slave does not open");
        }
        cfmakeraw(&raw);
        raw.c_cc[VMIN] = 1;
        raw.c_cc[VTIME] = 0;
        tcsetattr(slave, TCSANOW, &raw);
    }
    ~Pty()
    {
        close(slave);
        close(master);
    }
};

void BM_EndToEndPty(benchmark::State& state)
{
    static Pty pty;
    const size_t size = static_cast<size_t>(state.range(0));
    std::vector<unsigned char> out(size);
    std::vector<unsigned char> in(size);
    unsigned char mark = 0;
    for (auto _ : state)
    {
        out.front() = out.back() = ++mark;
        if (write(pty.master, out.data(), size) != static_cast<ssize_t>(size))
        {
            state.SkipWithError("write to the master failed");
            break;
        }
        size_t got = 0;
        while (got < size)
        {
            ssize_t n = read(pty.slave, in.data() + got, size - got);
            if (n <= 0)
            {
                break;
            }
            got += static_cast<size_t>(n);
        }
        if (got != size || in.front() != mark || in.back() != mark)
        {
            state.SkipWithError("the bytes did not come through");
            break;
        }
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(size));
}

void EndToEndSizes(benchmark::internal::Benchmark* bench)
{
    for (size_t size : kEndToEndSizes)
    {
        bench->Arg(static_cast<int64_t>(size));
    }
}

BENCHMARK(BM_MemcpyThroughRing)->UseRealTime()->MinTime(0.2)->Repetitions(5);
BENCHMARK(BM_ReceiveIntoWaitingRead)->UseRealTime()->MinTime(0.2)->Repetitions(5);
BENCHMARK(BM_ReceiveThroughRing)->UseRealTime()->MinTime(0.2)->Repetitions(5);
BENCHMARK(BM_EndToEndPty)->Apply(EndToEndSizes)->UseRealTime()->MinTime(0.2)->Repetitions(5);
BENCHMARK(BM_EndToEndPort)->Apply(EndToEndSizes)->UseRealTime()->MinTime(0.2)->Repetitions(5);

// The best repetition of each case (other work on the machine only ever makes a run slower): its
// time per iteration and the rest of what it reported.
struct Best
{
    double time = 0; // ns per iteration
    double bytesPerSecond = 0;
    double allocations = 0;
};

class BestReporter : public benchmark::ConsoleReporter
{
  public:
    // Colours only for a person at a terminal, not in a log.
    BestReporter() : ConsoleReporter(isatty(STDOUT_FILENO) ? OO_Defaults : OO_Tabular) {}
    void ReportRuns(const std::vector<Run>& runs) override
    {
        for (const Run& run : runs)
        {
            if (run.run_type != Run::RT_Iteration || run.error_occurred)
            {
                continue;
            }
            std::string name = run.run_name.function_name;
            if (!run.run_name.args.empty())
            {
                name += "/" + run.run_name.args;
            }
            double time = run.GetAdjustedRealTime();
            if (m_best.count(name) != 0 && m_best[name].time <= time)
            {
                continue;
            }
            Best best;
            best.time = time;
            auto bytes = run.counters.find("bytes_per_second");
            best.bytesPerSecond = bytes != run.counters.end() ? bytes->second.value : 0;
            auto allocations = run.counters.find("pool_allocs_per_transfer");
            best.allocations = allocations != run.counters.end() ? allocations->second.value : 0;
            m_best[name] = best;
        }
        ConsoleReporter::ReportRuns(runs);
    }
    std::map<std::string, Best> m_best;
};

double Mb(double bytesPerSecond)
{
    return bytesPerSecond / 1e6;
}

} // namespace

int main(int argc, char** argv)
{
    std::vector<char*> args(argv, argv + argc);
    char interleave[] = "--benchmark_enable_random_interleaving=true";
    args.insert(args.begin() + 1, interleave);
    int count = static_cast<int>(args.size());
    args.push_back(nullptr);
    benchmark::Initialize(&count, args.data());
    BestReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();

    std::map<std::string, Best>& best = reporter.m_best;
    const Best& copy = best["BM_MemcpyThroughRing"];
    for (const char* name : {"BM_ReceiveIntoWaitingRead", "BM_ReceiveThroughRing"})
    {
        const Best& receive = best[name];
        if (receive.bytesPerSecond > 0 && copy.bytesPerSecond > 0)
        {
            printf(
                "%s: %.0f MB/s, memcpy into a ring and out %.0f MB/s: %.1f times the copy's time per byte; "
                "%.2f pool allocations per transfer\n",
                name + 3, Mb(receive.bytesPerSecond), Mb(copy.bytesPerSecond),
                copy.bytesPerSecond / receive.bytesPerSecond, receive.allocations);
        }
    }
    for (size_t size : kEndToEndSizes)
    {
        const Best& port = best["BM_EndToEndPort/" + std::to_string(size)];
        const Best& pty = best["BM_EndToEndPty/" + std::to_string(size)];
        if (port.bytesPerSecond > 0 && pty.bytesPerSecond > 0)
        {
            printf("End to end, %zu-byte chunks: COM3 through a loopback reader %.1f MB/s (%.1f us a chunk), "
                   "pseudo-terminal pair %.1f MB/s (%.1f us): ratio %.2f of the pair's throughput; "
                   "%.2f pool allocations per chunk\n",
                   size, Mb(port.bytesPerSecond), port.time / 1000.0, Mb(pty.bytesPerSecond),
                   pty.time / 1000.0, port.bytesPerSecond / pty.bytesPerSecond, port.allocations);
        }
    }

    Port& port = OpenPort();
    CloseHandle(port.handle);
    CloseHandle(port.readDone);
    CloseHandle(port.writeDone);
    // The machine goes before the program's exit takes the threads' state away.
    port.machine.reset();
    return 0;
}
