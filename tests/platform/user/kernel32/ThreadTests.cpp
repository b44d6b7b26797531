// Threads a program starts with CreateThread: known to the machine's kernel, waited for through
// their handles, suspended at their start, and asleep on the machine's clock, so that a test moves
// the clock and waits for quiescence instead of sleeping.
#include "Win32Machine.h"

#include <atomic>
#include <thread>

namespace win32test
{
namespace
{

using namespace std::chrono_literals;
using ThreadTest = Win32MachineTest;
using winsimtest::PrintTo;

// What a thread saw of itself, and the code it returns.
struct SelfView
{
    std::atomic<DWORD> currentThreadId{0};
    std::atomic<DWORD> idOfCurrentThread{0};
    std::atomic<DWORD> exitCodeWhileRunning{0};
};

DWORD WINAPI LookAtSelf(LPVOID parameter)
{
    auto* view = static_cast<SelfView*>(parameter);
    view->currentThreadId = GetCurrentThreadId();
    view->idOfCurrentThread = GetThreadId(GetCurrentThread());
    DWORD code = 0;
    GetExitCodeThread(GetCurrentThread(), &code);
    view->exitCodeWhileRunning = code;
    return 42;
}

TEST_F(ThreadTest, ACreatedThreadRunsUnderTheIdCreateThreadReportedAndEndsWithItsReturnValue)
{
    SelfView view;
    DWORD id = 0;
    HANDLE thread = CreateThread(nullptr, 0, LookAtSelf, &view, 0, &id);
    ASSERT_NE(thread, nullptr);
    EXPECT_NE(id, 0u);
    EXPECT_NE(id, GetCurrentThreadId());
    EXPECT_EQ(GetThreadId(thread), id);
    EXPECT_EQ(WaitForSingleObject(thread, INFINITE), WAIT_OBJECT_0);
    EXPECT_EQ(view.currentThreadId.load(), id);
    EXPECT_EQ(view.idOfCurrentThread.load(), id);
    EXPECT_EQ(view.exitCodeWhileRunning.load(), STILL_ACTIVE);
    DWORD code = 0;
    EXPECT_TRUE(GetExitCodeThread(thread, &code));
    EXPECT_EQ(code, 42u);
    EXPECT_EQ(WaitForSingleObject(thread, 0), WAIT_OBJECT_0) << "an ended thread stays signalled";
    EXPECT_EQ(GetThreadId(GetCurrentThread()), GetCurrentThreadId()) << "a thread the test did not create";
    EXPECT_TRUE(CloseHandle(thread));

    // A second thread gets an id of its own, and a large stack where it asks for one.
    DWORD second = 0;
    thread = CreateThread(nullptr, 4 << 20, LookAtSelf, &view, 0, &second);
    ASSERT_NE(thread, nullptr);
    EXPECT_EQ(WaitForSingleObject(thread, INFINITE), WAIT_OBJECT_0);
    EXPECT_NE(second, id);
    EXPECT_EQ(view.currentThreadId.load(), second);
    CloseHandle(thread);
}

// A thread that counts its runs and then waits for an event nobody sets until the test ends.
struct Gate
{
    HANDLE release = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    std::atomic<int> runs{0};
    ~Gate() { CloseHandle(release); }
};

DWORD WINAPI RunThenWait(LPVOID parameter)
{
    auto* gate = static_cast<Gate*>(parameter);
    ++gate->runs;
    WaitForSingleObject(gate->release, INFINITE);
    return 7;
}

TEST_F(ThreadTest, ASuspendedThreadWaitsUntilItsLastResume)
{
    Gate gate;
    HANDLE thread = CreateThread(nullptr, 0, RunThenWait, &gate, CREATE_SUSPENDED, nullptr);
    ASSERT_NE(thread, nullptr);
    machine->WaitForQuiescence();
    EXPECT_EQ(gate.runs.load(), 0) << "created suspended";
    DWORD code = 0;
    EXPECT_TRUE(GetExitCodeThread(thread, &code));
    EXPECT_EQ(code, STILL_ACTIVE);
    EXPECT_EQ(WaitForSingleObject(thread, 0), static_cast<DWORD>(WAIT_TIMEOUT));

    EXPECT_EQ(SuspendThread(thread), 1u) << "the previous count";
    EXPECT_EQ(ResumeThread(thread), 2u);
    machine->WaitForQuiescence();
    EXPECT_EQ(gate.runs.load(), 0) << "still suspended once";
    EXPECT_EQ(ResumeThread(thread), 1u);
    machine->WaitForQuiescence();
    EXPECT_EQ(gate.runs.load(), 1) << "the thread ran to its wait";
    EXPECT_EQ(ResumeThread(thread), 0u) << "a running thread is not suspended";
    EXPECT_EQ(SuspendThread(thread), static_cast<DWORD>(-1)) << "a running thread cannot be stopped here";
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_SUPPORTED));

    SetEvent(gate.release);
    EXPECT_EQ(WaitForSingleObject(thread, INFINITE), WAIT_OBJECT_0);
    EXPECT_TRUE(GetExitCodeThread(thread, &code));
    EXPECT_EQ(code, 7u);
    EXPECT_EQ(ResumeThread(thread), 0u) << "an ended thread resumes as one never suspended";
    EXPECT_EQ(SuspendThread(thread), static_cast<DWORD>(-1));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED)) << "an ended thread";
    EXPECT_EQ(gate.runs.load(), 1);
    CloseHandle(thread);
}

// A handle that names no thread, for each function that takes one.
struct BadHandleCase
{
    const char* name;
    HANDLE (*make)(); // the handle (an event's is closed by the case)
};

HANDLE NoHandle()
{
    return nullptr;
}

HANDLE NeverOpened()
{
    return reinterpret_cast<HANDLE>(static_cast<uintptr_t>(0x7FF0));
}

HANDLE AnEvent()
{
    return CreateEventA(nullptr, TRUE, FALSE, nullptr);
}

HANDLE AClosedThread()
{
    HANDLE thread = CreateThread(
        nullptr, 0, [](LPVOID) -> DWORD { return 0; }, nullptr, 0, nullptr);
    WaitForSingleObject(thread, INFINITE);
    CloseHandle(thread);
    return thread;
}

class ThreadBadHandleTest : public Win32MachineTest, public ::testing::WithParamInterface<BadHandleCase>
{
};

TEST_P(ThreadBadHandleTest, EveryThreadFunctionFailsWithInvalidHandle)
{
    HANDLE handle = GetParam().make();
    SetLastError(0);
    EXPECT_EQ(ResumeThread(handle), static_cast<DWORD>(-1));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    SetLastError(0);
    EXPECT_EQ(SuspendThread(handle), static_cast<DWORD>(-1));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    SetLastError(0);
    DWORD code = 12345;
    EXPECT_FALSE(GetExitCodeThread(handle, &code));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    EXPECT_EQ(code, 12345u) << "left as it was";
    SetLastError(0);
    EXPECT_EQ(GetThreadId(handle), 0u);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    if (GetParam().make == AnEvent)
    {
        CloseHandle(handle);
    }
}

INSTANTIATE_TEST_SUITE_P(Handles, ThreadBadHandleTest,
                         ::testing::Values(BadHandleCase{"Null", NoHandle},
                                           BadHandleCase{"NeverOpened", NeverOpened},
                                           BadHandleCase{"AnEvent", AnEvent},
                                           BadHandleCase{"AClosedThread", AClosedThread}),
                         [](const ::testing::TestParamInfo<BadHandleCase>& info) { return info.param.name; });

TEST_F(ThreadTest, ExitThreadEndsTheThreadThereAndAbandonsItsMutex)
{
    struct Exiting
    {
        HANDLE mutex = CreateMutexA(nullptr, FALSE, nullptr);
        std::atomic<bool> afterExit{false};
    } exiting;
    HANDLE thread = CreateThread(
        nullptr, 0,
        [](LPVOID parameter) -> DWORD {
            auto* e = static_cast<Exiting*>(parameter);
            WaitForSingleObject(e->mutex, INFINITE);
            ExitThread(5);
            e->afterExit = true;
            return 6;
        },
        &exiting, 0, nullptr);
    ASSERT_NE(thread, nullptr);
    EXPECT_EQ(WaitForSingleObject(thread, INFINITE), WAIT_OBJECT_0);
    DWORD code = 0;
    EXPECT_TRUE(GetExitCodeThread(thread, &code));
    EXPECT_EQ(code, 5u);
    EXPECT_FALSE(exiting.afterExit.load());
    EXPECT_EQ(WaitForSingleObject(exiting.mutex, 0), WAIT_ABANDONED)
        << "its owner ended without releasing it";
    EXPECT_TRUE(ReleaseMutex(exiting.mutex));
    CloseHandle(exiting.mutex);
    CloseHandle(thread);
}

TEST_F(ThreadTest, ClosingTheHandleLeavesTheThreadRunning)
{
    Gate gate;
    HANDLE done = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    struct Work
    {
        Gate* gate;
        HANDLE done;
    } work{&gate, done};
    HANDLE thread = CreateThread(
        nullptr, 0,
        [](LPVOID parameter) -> DWORD {
            auto* w = static_cast<Work*>(parameter);
            RunThenWait(w->gate);
            SetEvent(w->done);
            return 0;
        },
        &work, 0, nullptr);
    ASSERT_NE(thread, nullptr);
    EXPECT_TRUE(CloseHandle(thread));
    EXPECT_EQ(WaitForSingleObject(thread, 0), WAIT_FAILED) << "the handle is gone";
    SetEvent(gate.release);
    EXPECT_EQ(WaitForSingleObject(done, INFINITE), WAIT_OBJECT_0) << "the thread went on";
    machine->WaitForQuiescence();
    CloseHandle(done);
}

TEST_F(ThreadTest, WaitForMultipleObjectsOnThreadsNamesTheOneThatEndedOrWaitsForAll)
{
    Gate first;
    Gate second;
    HANDLE threads[2] = {CreateThread(nullptr, 0, RunThenWait, &first, 0, nullptr),
                         CreateThread(nullptr, 0, RunThenWait, &second, 0, nullptr)};
    machine->WaitForQuiescence();
    EXPECT_EQ(WaitForMultipleObjects(2, threads, FALSE, 0), static_cast<DWORD>(WAIT_TIMEOUT));
    SetEvent(second.release);
    EXPECT_EQ(WaitForMultipleObjects(2, threads, FALSE, INFINITE), WAIT_OBJECT_0 + 1);
    EXPECT_EQ(WaitForMultipleObjects(2, threads, TRUE, 0), static_cast<DWORD>(WAIT_TIMEOUT))
        << "the first still runs";
    SetEvent(first.release);
    EXPECT_EQ(WaitForMultipleObjects(2, threads, TRUE, INFINITE), WAIT_OBJECT_0);
    for (HANDLE thread : threads)
    {
        CloseHandle(thread);
    }
}

// The client library's poller: a round, then 100 ms of sleep, until told to stop.
struct Poller
{
    std::atomic<bool> stop{false};
    std::atomic<int> rounds{0};
};

DWORD WINAPI Poll(LPVOID parameter)
{
    auto* poller = static_cast<Poller*>(parameter);
    while (!poller->stop)
    {
        ++poller->rounds;
        Sleep(100);
    }
    return 0;
}

TEST_F(ThreadTest, AThreadSleeping100MsMakesOneRoundPer100MsOfTheMachinesClock)
{
    Poller poller;
    HANDLE thread = CreateThread(nullptr, 0, Poll, &poller, CREATE_SUSPENDED, nullptr);
    ASSERT_NE(thread, nullptr);
    EXPECT_EQ(ResumeThread(thread), 1u);
    machine->WaitForQuiescence();
    EXPECT_EQ(poller.rounds.load(), 1) << "the first round, then asleep";
    constexpr int N = 25;
    for (int i = 1; i <= N; ++i)
    {
        machine->AdvanceClock(99ms);
        machine->WaitForQuiescence();
        EXPECT_EQ(poller.rounds.load(), i) << "99 ms are not enough";
        machine->AdvanceClock(1ms);
        machine->WaitForQuiescence();
        EXPECT_EQ(poller.rounds.load(), i + 1);
    }
    poller.stop = true;
    machine->WaitForQuiescence();
    EXPECT_EQ(WaitForSingleObject(thread, 0), static_cast<DWORD>(WAIT_TIMEOUT))
        << "asleep until the clock moves";
    machine->AdvanceClock(100ms);
    EXPECT_EQ(WaitForSingleObject(thread, INFINITE), WAIT_OBJECT_0);
    EXPECT_EQ(poller.rounds.load(), N + 1);
    CloseHandle(thread);
}

TEST_F(ThreadTest, StoppingAPollerWithATimedWaitEndsAtItsNextWakeWhileAHelperRunsTheClock)
{
    Poller poller;
    HANDLE thread = CreateThread(nullptr, 0, Poll, &poller, 0, nullptr);
    ASSERT_NE(thread, nullptr);
    machine->WaitForQuiescence();
    poller.stop = true;
    // The test's thread blocks in the wait below; a helper moves the clock to each deadline once
    // everything sleeps, as a person's clock would run on.
    std::atomic<bool> finished{false};
    std::thread clock([&] {
        while (!finished)
        {
            machine->WaitForQuiescence();
            if (!finished)
            {
                machine->AdvanceToNextDeadline();
            }
        }
    });
    DWORD result = WaitForSingleObject(thread, 500);
    finished = true;
    clock.join();
    EXPECT_EQ(result, WAIT_OBJECT_0) << "the poller saw the flag when its sleep ended, within 500 ms";
    EXPECT_EQ(poller.rounds.load(), 1);
    CloseHandle(thread);
}

// A thread that, each time it is woken, does some work and goes back to sleep.
struct Worker
{
    HANDLE wake = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    std::atomic<bool> stop{false};
    std::atomic<int> done{0};
    ~Worker() { CloseHandle(wake); }
};

DWORD WINAPI WorkWhenWoken(LPVOID parameter)
{
    auto* worker = static_cast<Worker*>(parameter);
    while (WaitForSingleObject(worker->wake, INFINITE) == WAIT_OBJECT_0 && !worker->stop)
    {
        // Long enough for a quiescence check that does not wait for it to lose the race.
        for (int i = 0; i < 20; ++i)
        {
            std::this_thread::yield();
        }
        ++worker->done;
    }
    return 0;
}

TEST_F(ThreadTest, QuiescenceWaitsForAWokenThreadToDoItsWorkAndSleepAgain)
{
    Worker worker;
    HANDLE thread = CreateThread(nullptr, 0, WorkWhenWoken, &worker, 0, nullptr);
    ASSERT_NE(thread, nullptr);
    constexpr int Rounds = 300;
    for (int i = 1; i <= Rounds; ++i)
    {
        SetEvent(worker.wake);
        machine->WaitForQuiescence();
        ASSERT_EQ(worker.done.load(), i) << "round " << i;
    }
    worker.stop = true;
    SetEvent(worker.wake);
    EXPECT_EQ(WaitForSingleObject(thread, INFINITE), WAIT_OBJECT_0);
    CloseHandle(thread);
}

TEST_F(ThreadTest, QuiescenceWaitsForEveryPollerAfterEachMoveOfTheClock)
{
    constexpr int Pollers = 3;
    Poller pollers[Pollers];
    HANDLE threads[Pollers];
    for (int i = 0; i < Pollers; ++i)
    {
        threads[i] = CreateThread(nullptr, 0, Poll, &pollers[i], 0, nullptr);
    }
    machine->WaitForQuiescence();
    constexpr int Rounds = 100;
    for (int round = 2; round <= Rounds; ++round)
    {
        machine->AdvanceClock(100ms);
        machine->WaitForQuiescence();
        for (const Poller& poller : pollers)
        {
            ASSERT_EQ(poller.rounds.load(), round);
        }
    }
    for (Poller& poller : pollers)
    {
        poller.stop = true;
    }
    machine->AdvanceClock(100ms);
    EXPECT_EQ(WaitForMultipleObjects(Pollers, threads, TRUE, INFINITE), WAIT_OBJECT_0);
    for (HANDLE thread : threads)
    {
        CloseHandle(thread);
    }
}

TEST_F(ThreadTest, ACreatedThreadWaitingForQuiescenceDoesNotWaitForItself)
{
    struct Inner
    {
        winsim::machine::Machine* machine;
        Worker worker;
        std::atomic<int> seen{-1};
    } inner{machine.get(), {}, {-1}};
    HANDLE workerThread = CreateThread(nullptr, 0, WorkWhenWoken, &inner.worker, 0, nullptr);
    HANDLE asker = CreateThread(
        nullptr, 0,
        [](LPVOID parameter) -> DWORD {
            auto* in = static_cast<Inner*>(parameter);
            SetEvent(in->worker.wake);
            in->machine->WaitForQuiescence();
            in->seen = in->worker.done.load();
            return 0;
        },
        &inner, 0, nullptr);
    EXPECT_EQ(WaitForSingleObject(asker, INFINITE), WAIT_OBJECT_0);
    EXPECT_EQ(inner.seen.load(), 1) << "the asker saw the worker's round done";
    inner.worker.stop = true;
    SetEvent(inner.worker.wake);
    EXPECT_EQ(WaitForSingleObject(workerThread, INFINITE), WAIT_OBJECT_0);
    CloseHandle(asker);
    CloseHandle(workerThread);
}

} // namespace
} // namespace win32test
