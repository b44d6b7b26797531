// Mutexes (also between processes), events, waits and critical sections.
#include <windows.h>

#include <gtest/gtest.h>

#include <thread>

#include "TestSupport.h"

namespace
{

// Runs f on another thread and returns its result.
template <typename F>
auto OnOtherThread(F f) -> decltype(f())
{
    decltype(f()) result{};
    std::thread t([&] { result = f(); });
    t.join();
    return result;
}

TEST(MutexTest, OwnerMayAcquireRecursivelyAndMustReleaseAsOften)
{
    HANDLE m = CreateMutexA(NULL, FALSE, NULL);
    ASSERT_NE(m, nullptr);
    EXPECT_EQ(WaitForSingleObject(m, INFINITE), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(m, 0), WAIT_OBJECT_0);
    EXPECT_TRUE(ReleaseMutex(m));
    // Still owned once: another thread cannot take it.
    EXPECT_EQ(OnOtherThread([&] { return WaitForSingleObject(m, 0); }), static_cast<DWORD>(WAIT_TIMEOUT));
    EXPECT_TRUE(ReleaseMutex(m));
    EXPECT_FALSE(ReleaseMutex(m));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_OWNER));
    // Free now: another thread takes it (and releases it).
    EXPECT_EQ(OnOtherThread([&] {
                  DWORD r = WaitForSingleObject(m, 0);
                  ReleaseMutex(m);
                  return r;
              }),
              WAIT_OBJECT_0);
    EXPECT_TRUE(CloseHandle(m));
}

TEST(MutexTest, ReleaseByAThreadThatDoesNotOwnItFails)
{
    HANDLE m = CreateMutexA(NULL, TRUE, NULL);
    ASSERT_NE(m, nullptr);
    DWORD error = OnOtherThread([&] { return ReleaseMutex(m) ? 0u : GetLastError(); });
    EXPECT_EQ(error, static_cast<DWORD>(ERROR_NOT_OWNER));
    EXPECT_TRUE(ReleaseMutex(m));
    CloseHandle(m);
}

TEST(MutexTest, AWaitingThreadGetsTheMutexWhenItIsReleased)
{
    HANDLE m = CreateMutexA(NULL, TRUE, NULL);
    HANDLE started = CreateEventA(NULL, TRUE, FALSE, NULL);
    DWORD result = WAIT_FAILED;
    std::thread waiter([&] {
        SetEvent(started);
        result = WaitForSingleObject(m, INFINITE);
        ReleaseMutex(m);
    });
    WaitForSingleObject(started, INFINITE);
    EXPECT_TRUE(ReleaseMutex(m));
    waiter.join();
    EXPECT_EQ(result, WAIT_OBJECT_0);
    CloseHandle(started);
    CloseHandle(m);
}

TEST(MutexTest, NamesAreSharedAndTypesAreChecked)
{
    SetLastError(1234);
    HANDLE a = CreateMutexA(NULL, FALSE, "sync-test-shared");
    ASSERT_NE(a, nullptr);
    EXPECT_EQ(GetLastError(), 0u);
    HANDLE b = CreateMutexA(NULL, TRUE, "Local\\sync-test-shared");
    ASSERT_NE(b, nullptr);
    EXPECT_NE(a, b);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ALREADY_EXISTS));
    // Opening an existing mutex does not take it: another thread still can.
    EXPECT_EQ(OnOtherThread([&] {
                  DWORD r = WaitForSingleObject(b, 0);
                  ReleaseMutex(b);
                  return r;
              }),
              WAIT_OBJECT_0);
    // Both handles are the same mutex.
    EXPECT_EQ(WaitForSingleObject(a, 0), WAIT_OBJECT_0);
    EXPECT_EQ(OnOtherThread([&] { return WaitForSingleObject(b, 0); }), static_cast<DWORD>(WAIT_TIMEOUT));
    EXPECT_TRUE(ReleaseMutex(b));

    HANDLE e = CreateEventA(NULL, TRUE, FALSE, "sync-test-event");
    ASSERT_NE(e, nullptr);
    EXPECT_EQ(CreateMutexA(NULL, FALSE, "sync-test-event"), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    EXPECT_EQ(CreateEventA(NULL, TRUE, FALSE, "sync-test-shared"), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    EXPECT_EQ(CreateMutexA(NULL, FALSE, "a\\b"), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PATH_NOT_FOUND));

    // Once every handle is closed the name is free for another type.
    CloseHandle(a);
    CloseHandle(b);
    HANDLE e2 = CreateEventA(NULL, TRUE, FALSE, "sync-test-shared");
    EXPECT_NE(e2, nullptr);
    CloseHandle(e2);
    CloseHandle(e);
}

TEST(MutexTest, NamedMutexSerialisesSeparateProcessesAndIsAbandonedWhenItsOwnerEnds)
{
    testsupport::TempDir dir;
    HANDLE m = CreateMutexA(NULL, FALSE, "sync-test-cross");
    ASSERT_NE(m, nullptr);
    {
        testsupport::Child holder({USER_TEST_CHILD, "mutex-hold", "sync-test-cross"}, dir.Path());
        ASSERT_EQ(holder.ReadLine(), "held");
        EXPECT_EQ(WaitForSingleObject(m, 0), static_cast<DWORD>(WAIT_TIMEOUT));
        holder.Send("release");
        ASSERT_EQ(holder.ReadLine(), "released");
        EXPECT_EQ(WaitForSingleObject(m, 0), WAIT_OBJECT_0);
        // Now this process owns it: the other one cannot take it.
        testsupport::RunResult r =
            testsupport::Run({USER_TEST_CHILD, "mutex-try", "sync-test-cross"}, dir.Path());
        EXPECT_EQ(r.output, std::to_string(WAIT_TIMEOUT) + " 183\n"); // exists: ERROR_ALREADY_EXISTS
        EXPECT_TRUE(ReleaseMutex(m));
        EXPECT_EQ(holder.Finish(), 0);
    }
    // The other process takes it and ends without releasing it: the mutex is abandoned, and the
    // next wait owns it with WAIT_ABANDONED.
    testsupport::RunResult r =
        testsupport::Run({USER_TEST_CHILD, "mutex-try", "sync-test-cross"}, dir.Path());
    EXPECT_EQ(r.output, "0 183\n");
    EXPECT_EQ(WaitForSingleObject(m, 0), WAIT_ABANDONED);
    EXPECT_EQ(OnOtherThread([&] { return WaitForSingleObject(m, 0); }), static_cast<DWORD>(WAIT_TIMEOUT));
    EXPECT_TRUE(ReleaseMutex(m));
    EXPECT_EQ(WaitForSingleObject(m, 0), WAIT_OBJECT_0);
    // Different names do not exclude each other.
    r = testsupport::Run({USER_TEST_CHILD, "mutex-try", "sync-test-other"}, dir.Path());
    EXPECT_EQ(r.output, "0 0\n");
    ReleaseMutex(m);
    // Once the last handle is closed the mutex is gone: the next process creates a new one.
    CloseHandle(m);
    r = testsupport::Run({USER_TEST_CHILD, "mutex-try", "sync-test-cross"}, dir.Path());
    EXPECT_EQ(r.output, "0 0\n");
}

TEST(EventTest, AutoResetReleasesOneWaitManualResetStaysSignalled)
{
    HANDLE autoReset = CreateEventA(NULL, FALSE, TRUE, NULL);
    EXPECT_EQ(WaitForSingleObject(autoReset, 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(autoReset, 0), static_cast<DWORD>(WAIT_TIMEOUT));
    EXPECT_TRUE(SetEvent(autoReset));
    EXPECT_EQ(WaitForSingleObject(autoReset, 0), WAIT_OBJECT_0);

    HANDLE manual = CreateEventA(NULL, TRUE, FALSE, NULL);
    EXPECT_EQ(WaitForSingleObject(manual, 0), static_cast<DWORD>(WAIT_TIMEOUT));
    EXPECT_TRUE(SetEvent(manual));
    EXPECT_EQ(WaitForSingleObject(manual, 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(manual, 0), WAIT_OBJECT_0);
    EXPECT_TRUE(ResetEvent(manual));
    EXPECT_EQ(WaitForSingleObject(manual, 0), static_cast<DWORD>(WAIT_TIMEOUT));
    CloseHandle(autoReset);
    CloseHandle(manual);
}

TEST(HandleTest, ClosedAndUnknownHandlesAreInvalid)
{
    HANDLE e = CreateEventA(NULL, TRUE, FALSE, NULL);
    EXPECT_TRUE(CloseHandle(e));
    EXPECT_FALSE(CloseHandle(e));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    EXPECT_EQ(WaitForSingleObject(e, 0), WAIT_FAILED);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    HANDLE m = CreateMutexA(NULL, FALSE, NULL);
    EXPECT_FALSE(SetEvent(m));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    CloseHandle(m);
}

TEST(CriticalSectionTest, IsRecursiveForItsOwnerAndExcludesOthers)
{
    CRITICAL_SECTION cs;
    InitializeCriticalSection(&cs);
    EnterCriticalSection(&cs);
    EXPECT_TRUE(TryEnterCriticalSection(&cs));
    EXPECT_EQ(cs.RecursionCount, 2);
    EXPECT_FALSE(OnOtherThread([&] { return TryEnterCriticalSection(&cs); }));
    LeaveCriticalSection(&cs);
    EXPECT_FALSE(OnOtherThread([&] { return TryEnterCriticalSection(&cs); }));
    LeaveCriticalSection(&cs);
    EXPECT_TRUE(OnOtherThread([&] {
        BOOL entered = TryEnterCriticalSection(&cs);
        if (entered)
        {
            LeaveCriticalSection(&cs);
        }
        return entered;
    }));
    DeleteCriticalSection(&cs);
}

TEST(ThreadTest, IdsDifferBetweenThreadsAndProcessIdIsShared)
{
    DWORD mine = GetCurrentThreadId();
    DWORD other = OnOtherThread([] { return GetCurrentThreadId(); });
    EXPECT_NE(mine, other);
    EXPECT_EQ(OnOtherThread([] { return GetCurrentProcessId(); }), GetCurrentProcessId());
    EXPECT_EQ(GetCurrentProcessId(), static_cast<DWORD>(getpid()));
    // The main thread's id is the process id on this machine's host.
    EXPECT_EQ(mine, static_cast<DWORD>(getpid()));
}

TEST(TimeTest, LocalTimeMatchesTheHostClock)
{
    // The bounds come from the clock GetLocalTime reads: time() may lag it by a tick and still
    // show the previous second.
    struct timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    time_t before = now.tv_sec;
    SYSTEMTIME st;
    GetLocalTime(&st);
    clock_gettime(CLOCK_REALTIME, &now);
    time_t after = now.tv_sec;
    struct tm tm = {};
    tm.tm_year = st.wYear - 1900;
    tm.tm_mon = st.wMonth - 1;
    tm.tm_mday = st.wDay;
    tm.tm_hour = st.wHour;
    tm.tm_min = st.wMinute;
    tm.tm_sec = st.wSecond;
    tm.tm_isdst = -1;
    time_t t = mktime(&tm);
    EXPECT_GE(t, before);
    EXPECT_LE(t, after);
    EXPECT_LT(st.wMilliseconds, 1000);
    struct tm check;
    localtime_r(&t, &check);
    EXPECT_EQ(st.wDayOfWeek, check.tm_wday);
}

} // namespace
