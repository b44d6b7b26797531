// Waits, sleeping and named objects over the machine's dispatcher: time-outs run on the machine's
// clock, so the tests move it instead of sleeping.
#include "Win32Machine.h"

#include <atomic>
#include <chrono>
#include <thread>

namespace win32test
{
namespace
{

using namespace std::chrono_literals;
using WaitTest = Win32MachineTest;

// Returns once a thread's timed wait of that length is registered with the dispatcher.
void AwaitDeadline(winsim::machine::Machine& machine, std::chrono::milliseconds span)
{
    while (machine.NextDeadline() != span)
    {
        std::this_thread::yield();
    }
}

TEST_F(WaitTest, SleepAndTimedWaitsEndWhenTheMachinesClockGetsThere)
{
    HANDLE never = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    std::atomic<bool> slept{false};
    std::thread sleeper([&] {
        Sleep(2000);
        slept = true;
    });
    AwaitDeadline(*machine, 2000ms);
    machine->AdvanceClock(1999ms);
    machine->SettleWaiters();
    EXPECT_FALSE(slept) << "1999 ms are not enough";
    machine->AdvanceClock(1ms);
    sleeper.join();
    EXPECT_TRUE(slept);

    DWORD result = 0;
    std::thread waiter([&] { result = WaitForSingleObject(never, 500); });
    AwaitDeadline(*machine, 500ms);
    machine->AdvanceClock(499ms);
    machine->SettleWaiters();
    EXPECT_EQ(machine->NextDeadline(), 1ms) << "the wait is still there a millisecond short of its time-out";
    machine->AdvanceClock(1ms);
    waiter.join();
    EXPECT_EQ(result, static_cast<DWORD>(WAIT_TIMEOUT));
    EXPECT_EQ(WaitForSingleObject(never, 0), static_cast<DWORD>(WAIT_TIMEOUT))
        << "a zero time-out only looks";
    CloseHandle(never);
}

TEST_F(WaitTest, WaitForMultipleObjectsTakesAnyOrAll)
{
    HANDLE events[3];
    for (HANDLE& event : events)
    {
        event = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    }
    SetEvent(events[2]);
    EXPECT_EQ(WaitForMultipleObjects(3, events, FALSE, 0), WAIT_OBJECT_0 + 2);
    EXPECT_EQ(WaitForMultipleObjects(3, events, FALSE, 0), static_cast<DWORD>(WAIT_TIMEOUT)) << "auto-reset";
    SetEvent(events[0]);
    SetEvent(events[1]);
    EXPECT_EQ(WaitForMultipleObjects(3, events, TRUE, 0), static_cast<DWORD>(WAIT_TIMEOUT))
        << "a wait for all takes none until all are set";
    EXPECT_EQ(WaitForSingleObject(events[0], 0), WAIT_OBJECT_0) << "and left the set ones as they were";
    SetEvent(events[0]);
    SetEvent(events[2]);
    EXPECT_EQ(WaitForMultipleObjects(3, events, TRUE, 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForMultipleObjects(3, events, FALSE, 0), static_cast<DWORD>(WAIT_TIMEOUT));
    HANDLE twice[2] = {events[0], events[0]};
    EXPECT_EQ(WaitForMultipleObjects(2, twice, TRUE, 0), WAIT_FAILED);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(WaitForMultipleObjects(0, events, FALSE, 0), WAIT_FAILED);
    for (HANDLE event : events)
    {
        CloseHandle(event);
    }
}

TEST_F(WaitTest, AMutexItsOwnerLeftBehindIsAbandonedToTheNextWaiter)
{
    HANDLE mutex = CreateMutexA(nullptr, FALSE, "Local\\wait-test-abandoned");
    ASSERT_NE(mutex, nullptr);
    std::thread owner([&] { EXPECT_EQ(WaitForSingleObject(mutex, INFINITE), WAIT_OBJECT_0); });
    owner.join();
    EXPECT_EQ(WaitForSingleObject(mutex, 0), WAIT_ABANDONED);
    EXPECT_TRUE(ReleaseMutex(mutex));
    EXPECT_EQ(WaitForSingleObject(mutex, 0), WAIT_OBJECT_0) << "abandoned once only";
    EXPECT_TRUE(ReleaseMutex(mutex));
    CloseHandle(mutex);
}

TEST_F(WaitTest, NamedObjectsOpenByNameAndKeepTheirType)
{
    HANDLE event = CreateEventA(nullptr, TRUE, FALSE, "wait-test-event");
    ASSERT_NE(event, nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SUCCESS));
    HANDLE same = CreateEventA(nullptr, FALSE, TRUE, "Global\\wait-test-event");
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ALREADY_EXISTS));
    EXPECT_EQ(WaitForSingleObject(event, 0), static_cast<DWORD>(WAIT_TIMEOUT))
        << "opening an existing event keeps its state";
    HANDLE opened = OpenEventA(EVENT_ALL_ACCESS, FALSE, "wait-test-event");
    ASSERT_NE(opened, nullptr);
    SetEvent(opened);
    EXPECT_EQ(WaitForSingleObject(same, 0), WAIT_OBJECT_0);

    EXPECT_EQ(CreateMutexA(nullptr, FALSE, "wait-test-event"), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE)) << "the name belongs to an event";
    EXPECT_EQ(OpenMutexA(MUTEX_ALL_ACCESS, FALSE, "wait-test-event"), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    EXPECT_EQ(OpenEventA(EVENT_ALL_ACCESS, FALSE, "wait-test-nothing"), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    EXPECT_EQ(CreateEventA(nullptr, TRUE, FALSE, "no-such-directory\\event"), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PATH_NOT_FOUND));

    // The name goes with the last handle.
    CloseHandle(opened);
    CloseHandle(same);
    CloseHandle(event);
    EXPECT_EQ(OpenEventA(EVENT_ALL_ACCESS, FALSE, "wait-test-event"), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
}

} // namespace
} // namespace win32test
