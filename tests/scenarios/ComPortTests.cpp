// A program opens the reader's COM port the way a terminal program does: CreateFileA on \\.\COM3,
// an I/O control, a write and a read, and CloseHandle; the driver sees each request.
#include "ReaderMachine.h"

#include <ntddser.h>

namespace scenario
{
namespace
{

using ComPortTest = ReaderMachineTest;

TEST_F(ComPortTest, AProgramOpensThePortSendsRequestsAndClosesItAndTheDriverSeesEach)
{
    size_t before = DriverTrace("COM3: Evt").size();
    HANDLE port =
        CreateFileA("\\\\.\\COM3", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(port, INVALID_HANDLE_VALUE);

    // The port answers: its rate, a write the reader receives, and a read that returns at once
    // with what has arrived (nothing) under "return immediately" time-outs.
    SERIAL_BAUD_RATE baud{};
    DWORD count = 99;
    ASSERT_TRUE(
        DeviceIoControl(port, IOCTL_SERIAL_GET_BAUD_RATE, nullptr, 0, &baud, sizeof(baud), &count, nullptr));
    EXPECT_EQ(count, static_cast<DWORD>(sizeof(baud)));
    EXPECT_EQ(baud.BaudRate, 1200u) << "the driver's default rate";
    EXPECT_TRUE(WriteFile(port, "ATZ\r\n", 5, &count, nullptr)) << "error " << GetLastError();
    EXPECT_EQ(count, 5u);
    winsim::machine::Reader reader = machine->ReaderOf(device);
    reader.WaitForCompletions();
    std::vector<UCHAR> sent = reader.TakeBulkOut();
    EXPECT_EQ(std::string(sent.begin(), sent.end()), "ATZ\r\n");
    COMMTIMEOUTS immediate = {MAXDWORD, 0, 0, 0, 0};
    ASSERT_TRUE(SetCommTimeouts(port, &immediate));
    char answer[16];
    count = 99;
    EXPECT_TRUE(ReadFile(port, answer, sizeof(answer), &count, nullptr)) << "error " << GetLastError();
    EXPECT_EQ(count, 0u);

    // The port is exclusive: while it is open nobody else opens it.
    EXPECT_EQ(CreateFileA("\\\\.\\COM3", GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr),
              INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    EXPECT_TRUE(CloseHandle(port));

    std::vector<std::string> expected = {
        "COM3: EvtDeviceFileCreate", "COM3: EvtIoWrite 5 bytes", "COM3: EvtIoRead 16 bytes",
        "COM3: EvtFileCleanup",      "COM3: EvtFileClose",
    };
    std::vector<std::string> seen = DriverTrace("COM3: Evt");
    seen.erase(seen.begin(), seen.begin() + static_cast<std::ptrdiff_t>(before));
    EXPECT_EQ(seen, expected);

    // Closed, it opens again, also by its DOS device name alone.
    port = CreateFileA("COM3", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    EXPECT_NE(port, INVALID_HANDLE_VALUE);
    EXPECT_TRUE(CloseHandle(port));
}

TEST_F(ComPortTest, PortsThatDoNotExistAreNotFound)
{
    for (const char* name : {"\\\\.\\COM4", "COM4", "\\\\.\\ZTSerial0"})
    {
        EXPECT_EQ(CreateFileA(name, GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr),
                  INVALID_HANDLE_VALUE)
            << name;
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND)) << name;
    }
    EXPECT_TRUE(DriverTrace("EvtDeviceFileCreate").empty());
}

} // namespace
} // namespace scenario
