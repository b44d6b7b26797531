// Win32 device I/O through the machine's I/O manager: opening devices by their DOS names, reads,
// writes and I/O controls on synchronous and overlapped handles, their results, cancellation, and
// what closing a handle does to the requests it still has.
#include "Win32Machine.h"

#include <string.h>

#include <string>
#include <thread>

namespace win32test
{
namespace
{

using DeviceIoTest = Win32MachineTest;

TEST_F(DeviceIoTest, OpensByDeviceNameAndFailsForNamesThatDoNotExist)
{
    HANDLE device = Open();
    ASSERT_NE(device, INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SUCCESS));
    // The device is not exclusive: a second open works.
    HANDLE second = Open();
    EXPECT_NE(second, INVALID_HANDLE_VALUE);
    EXPECT_TRUE(CloseHandle(second));
    EXPECT_TRUE(CloseHandle(device));
    EXPECT_FALSE(CloseHandle(device));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));

    struct Case
    {
        const char* path;
        DWORD creation;
        DWORD error;
    } cases[] = {
        {"\\\\.\\NOSUCHDEVICE", OPEN_EXISTING, ERROR_FILE_NOT_FOUND},
        {"COM9", OPEN_EXISTING, ERROR_FILE_NOT_FOUND}, // a DOS device name that no device holds
        {"\\\\.\\LOOPBACK", CREATE_NEW, ERROR_ALREADY_EXISTS},
    };
    for (const Case& c : cases)
    {
        EXPECT_EQ(CreateFileA(c.path, GENERIC_READ, 0, nullptr, c.creation, 0, nullptr), INVALID_HANDLE_VALUE)
            << c.path;
        EXPECT_EQ(GetLastError(), c.error) << c.path;
    }
}

TEST_F(DeviceIoTest, OverlappedReadPendsUntilAWriteSuppliesItsBytes)
{
    HANDLE reader = Open(GENERIC_READ | GENERIC_WRITE, FILE_FLAG_OVERLAPPED);
    HANDLE writer = Open();
    ASSERT_NE(reader, INVALID_HANDLE_VALUE);
    ASSERT_NE(writer, INVALID_HANDLE_VALUE);
    char buffer[16] = {};
    Overlapped request;
    DWORD count = 99;
    EXPECT_FALSE(ReadFile(reader, buffer, sizeof(buffer), &count, &request));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_IO_PENDING));
    EXPECT_FALSE(HasOverlappedIoCompleted(&request));
    EXPECT_EQ(WaitForSingleObject(request.hEvent, 0), static_cast<DWORD>(WAIT_TIMEOUT));
    EXPECT_FALSE(GetOverlappedResult(reader, &request, &count, FALSE));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_IO_INCOMPLETE));

    DWORD written = 0;
    ASSERT_TRUE(WriteFile(writer, "hello", 5, &written, nullptr));
    EXPECT_EQ(written, 5u);
    EXPECT_EQ(WaitForSingleObject(request.hEvent, 0), WAIT_OBJECT_0);
    EXPECT_TRUE(GetOverlappedResult(reader, &request, &count, TRUE));
    EXPECT_EQ(count, 5u);
    EXPECT_EQ(std::string(buffer, 5), "hello");
    EXPECT_EQ(buffer[5], 0) << "only the bytes the driver reported are copied back";
    CloseHandle(writer);
    CloseHandle(reader);
}

TEST_F(DeviceIoTest, SynchronousReadWaitsInTheKernelForItsData)
{
    HANDLE reader = Open();
    HANDLE writer = Open();
    char buffer[8] = {};
    DWORD count = 0;
    std::thread waiting([&] { EXPECT_TRUE(ReadFile(reader, buffer, sizeof(buffer), &count, nullptr)); });
    // The write succeeds only once the read waits in the device.
    DWORD written = 0;
    while (!WriteFile(writer, "abc", 3, &written, nullptr))
    {
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_READY));
        std::this_thread::yield();
    }
    waiting.join();
    EXPECT_EQ(count, 3u);
    EXPECT_EQ(std::string(buffer, 3), "abc");
    CloseHandle(writer);
    CloseHandle(reader);
}

TEST_F(DeviceIoTest, CancelIoAbortsTheThreadsRequestsAndReportsOperationAborted)
{
    HANDLE device = Open(GENERIC_READ | GENERIC_WRITE, FILE_FLAG_OVERLAPPED);
    char buffer[4];
    Overlapped read;
    Overlapped hold;
    EXPECT_FALSE(ReadFile(device, buffer, sizeof(buffer), nullptr, &read));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_IO_PENDING));
    EXPECT_FALSE(DeviceIoControl(device, loopback::IoctlHold, nullptr, 0, nullptr, 0, nullptr, &hold));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_IO_PENDING));
    EXPECT_EQ(loopback::PendingRequests(), 2u);

    EXPECT_TRUE(CancelIo(device));
    // CancelIo returns once the requests are done.
    EXPECT_EQ(loopback::PendingRequests(), 0u);
    for (Overlapped* request : {&read, &hold})
    {
        DWORD count = 99;
        EXPECT_FALSE(GetOverlappedResult(device, request, &count, FALSE));
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_OPERATION_ABORTED));
        EXPECT_EQ(count, 0u);
    }
    CloseHandle(device);
}

TEST_F(DeviceIoTest, CancelIoTouchesOnlyTheCallingThreadsRequests)
{
    HANDLE device = Open(GENERIC_READ | GENERIC_WRITE, FILE_FLAG_OVERLAPPED);
    char buffer[4];
    Overlapped mine;
    Overlapped theirs;
    EXPECT_FALSE(ReadFile(device, buffer, sizeof(buffer), nullptr, &mine));
    std::thread other([&] { EXPECT_FALSE(ReadFile(device, buffer, sizeof(buffer), nullptr, &theirs)); });
    other.join(); // the other thread ended: its request went with it
    DWORD count = 0;
    EXPECT_FALSE(GetOverlappedResult(device, &theirs, &count, TRUE));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_OPERATION_ABORTED));
    EXPECT_FALSE(GetOverlappedResult(device, &mine, &count, FALSE));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_IO_INCOMPLETE))
        << "a thread's end cancels its own only";

    std::thread canceller([&] { EXPECT_TRUE(CancelIo(device)); });
    canceller.join();
    EXPECT_FALSE(GetOverlappedResult(device, &mine, &count, FALSE));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_IO_INCOMPLETE)) << "CancelIo on another thread";
    EXPECT_TRUE(CancelIo(device));
    EXPECT_FALSE(GetOverlappedResult(device, &mine, &count, TRUE));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_OPERATION_ABORTED));
    CloseHandle(device);
}

TEST_F(DeviceIoTest, CancelIoExCancelsOneRequestOfAnyThread)
{
    HANDLE device = Open(GENERIC_READ | GENERIC_WRITE, FILE_FLAG_OVERLAPPED);
    char first[4];
    char second[4];
    Overlapped one;
    Overlapped two;
    EXPECT_FALSE(ReadFile(device, first, sizeof(first), nullptr, &one));
    EXPECT_FALSE(ReadFile(device, second, sizeof(second), nullptr, &two));
    std::thread other([&] { EXPECT_TRUE(CancelIoEx(device, &two)); });
    other.join();
    DWORD count = 0;
    EXPECT_FALSE(GetOverlappedResult(device, &two, &count, TRUE));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_OPERATION_ABORTED));
    EXPECT_FALSE(GetOverlappedResult(device, &one, &count, FALSE));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_IO_INCOMPLETE));
    // Nothing left to match: ERROR_NOT_FOUND.
    EXPECT_FALSE(CancelIoEx(device, &two));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_FOUND));
    EXPECT_TRUE(CancelIoEx(device, nullptr));
    EXPECT_FALSE(GetOverlappedResult(device, &one, &count, TRUE));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_OPERATION_ABORTED));
    CloseHandle(device);
}

TEST_F(DeviceIoTest, ClosingTheHandleCleansUpItsWaitingRequests)
{
    HANDLE device = Open(GENERIC_READ | GENERIC_WRITE, FILE_FLAG_OVERLAPPED);
    char buffer[4];
    Overlapped read;
    EXPECT_FALSE(ReadFile(device, buffer, sizeof(buffer), nullptr, &read));
    EXPECT_TRUE(CloseHandle(device));
    // The driver's cleanup completed the read; its event and status block tell the caller.
    EXPECT_EQ(WaitForSingleObject(read.hEvent, 0), WAIT_OBJECT_0);
    EXPECT_EQ(static_cast<NTSTATUS>(read.Internal), STATUS_CANCELLED);
    EXPECT_EQ(loopback::PendingRequests(), 0u);
}

TEST_F(DeviceIoTest, BufferedControlCopiesInAndAtMostTheReportedBytesOut)
{
    HANDLE device = Open();
    char output[8];
    memset(output, '.', sizeof(output));
    DWORD returned = 0;
    ASSERT_TRUE(DeviceIoControl(device, loopback::IoctlReverse, const_cast<char*>("abcd"), 4, output,
                                sizeof(output), &returned, nullptr));
    EXPECT_EQ(returned, 4u);
    EXPECT_EQ(std::string(output, sizeof(output)), "dcba....");

    // A warning status: the call fails with the mapped error and still reports the bytes.
    memset(output, '.', sizeof(output));
    EXPECT_FALSE(DeviceIoControl(device, loopback::IoctlReverse, const_cast<char*>("abcdef"), 6, output, 2,
                                 &returned, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_MORE_DATA));
    EXPECT_EQ(returned, 2u);
    EXPECT_EQ(std::string(output, 4), "fe..");

    EXPECT_FALSE(DeviceIoControl(device, 0x22FFFC, nullptr, 0, nullptr, 0, &returned, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_FUNCTION));
    CloseHandle(device);
}

TEST_F(DeviceIoTest, TheHandlesAccessDecidesWhatItMayDo)
{
    HANDLE readOnly = Open(GENERIC_READ);
    ASSERT_NE(readOnly, INVALID_HANDLE_VALUE);
    DWORD count = 0;
    EXPECT_FALSE(WriteFile(readOnly, "x", 1, &count, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    EXPECT_FALSE(
        DeviceIoControl(readOnly, loopback::IoctlWriteOnly, nullptr, 0, nullptr, 0, &count, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    EXPECT_TRUE(DeviceIoControl(readOnly, loopback::IoctlReverse, nullptr, 0, nullptr, 0, &count, nullptr));
    CloseHandle(readOnly);

    HANDLE writeOnly = Open(GENERIC_WRITE);
    char buffer[2];
    EXPECT_FALSE(ReadFile(writeOnly, buffer, sizeof(buffer), &count, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    EXPECT_TRUE(
        DeviceIoControl(writeOnly, loopback::IoctlWriteOnly, nullptr, 0, nullptr, 0, &count, nullptr));
    CloseHandle(writeOnly);
}

TEST_F(DeviceIoTest, WaitingOnTheFileHandleWaitsForItsIo)
{
    HANDLE device = Open(GENERIC_READ | GENERIC_WRITE, FILE_FLAG_OVERLAPPED);
    HANDLE writer = Open();
    char buffer[4];
    OVERLAPPED request{}; // no event: the file's own tells the completion
    EXPECT_FALSE(ReadFile(device, buffer, sizeof(buffer), nullptr, &request));
    EXPECT_EQ(WaitForSingleObject(device, 0), static_cast<DWORD>(WAIT_TIMEOUT));
    DWORD count = 0;
    EXPECT_TRUE(WriteFile(writer, "zz", 2, &count, nullptr));
    EXPECT_EQ(WaitForSingleObject(device, 0), WAIT_OBJECT_0);
    EXPECT_TRUE(GetOverlappedResult(device, &request, &count, TRUE));
    EXPECT_EQ(count, 2u);
    CloseHandle(writer);
    CloseHandle(device);
}

using DeviceIoDeathTest = Win32MachineTest;

TEST_F(DeviceIoDeathTest, ADriverReportingMoreBytesThanTheBufferHoldsIsAVerifierStop)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_DEATH(
        {
            HANDLE device = Open();
            char output[4];
            DWORD returned = 0;
            DeviceIoControl(device, loopback::IoctlOverreport, nullptr, 0, output, sizeof(output), &returned,
                            nullptr);
        },
        "VERIFIER STOP IRP_MISUSE: .* Information 5, more than the 4 bytes");
}

} // namespace
} // namespace win32test
