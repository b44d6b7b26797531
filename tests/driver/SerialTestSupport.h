// An open COM3 on a machine with one reader: the fixture of the serial request tests. Requests go
// through the system services an application uses (an overlapped handle, so that a test can leave
// a request pending and look at it), and their results are read from the OVERLAPPED as the I/O
// manager filled it: the NTSTATUS and the byte count the driver completed with.
#pragma once

#include "DriverTestSupport.h"

#include <winternl.h>

#include "TableCases.h"

#include <cstring>
#include <memory>
#include <string>
#include <vector>

namespace tarnocom::testing
{

using winsimtest::PrintTo;

// Names a table case's instance after its name field.
template <typename Case>
std::string SerialCaseName(const ::testing::TestParamInfo<Case>& info)
{
    return info.param.name;
}

// One request issued on an overlapped handle.
class PendingIo
{
  public:
    PendingIo()
    {
        std::memset(&overlapped, 0, sizeof(overlapped));
        overlapped.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    }
    ~PendingIo() { CloseHandle(overlapped.hEvent); }
    PendingIo(const PendingIo&) = delete;
    PendingIo& operator=(const PendingIo&) = delete;

    // A request the I/O manager or the framework failed before it could pend never reaches
    // the OVERLAPPED: the call itself failed, with this Win32 error.
    bool Done() const { return error != 0 || WaitForSingleObject(overlapped.hEvent, 0) == WAIT_OBJECT_0; }
    NTSTATUS Status() const
    {
        if (error == ERROR_NO_SYSTEM_RESOURCES)
        {
            return STATUS_INSUFFICIENT_RESOURCES;
        }
        return error != 0 ? STATUS_UNSUCCESSFUL : static_cast<NTSTATUS>(overlapped.Internal);
    }
    ULONG_PTR Bytes() const { return overlapped.InternalHigh; }
    std::string Text() const { return std::string(buffer.begin(), buffer.begin() + Bytes()); }

    OVERLAPPED overlapped;
    std::vector<UCHAR> buffer;
    DWORD error = 0;
};

// The result of an I/O control: status, byte count and the output buffer as the caller saw it.
struct ControlResult
{
    NTSTATUS status = STATUS_PENDING;
    ULONG_PTR information = 0;
    std::vector<UCHAR> output;
};

class SerialPortTest : public DriverMachineTest
{
  protected:
    void SetUp() override
    {
        Boot();
        BeforePlug();
        node = Plug(ReaderToPlug());
        ASSERT_EQ(node.State(), DeviceState::Started);
        reader = ReaderOf(node);
        context = ContextOf(node);
        port = OpenPort();
        ASSERT_NE(port, INVALID_HANDLE_VALUE) << "error " << GetLastError();
    }
    void TearDown() override
    {
        if (port != INVALID_HANDLE_VALUE)
        {
            CloseHandle(port);
            port = INVALID_HANDLE_VALUE;
        }
        // Closing the port ended what was still pending; only now may the OVERLAPPEDs go.
        if (machine)
        {
            Settle();
        }
        issued.clear();
        DriverMachineTest::TearDown();
    }

    // Runs between the boot and the plug: the place to set the driver's parameters.
    virtual void BeforePlug() {}
    // The reader the fixture plugs in; a test class may plug another one.
    virtual winsim::machine::ReaderSpec ReaderToPlug()
    {
        winsim::machine::ReaderSpec plugged;
        plugged.serialNumber = u"TR0001";
        return plugged;
    }

    // Requests live until the test ends: the I/O manager writes into their OVERLAPPED when they
    // complete, which may be after the test let go of them.
    std::shared_ptr<PendingIo> Track(std::shared_ptr<PendingIo> io)
    {
        issued.push_back(io);
        return io;
    }

    static HANDLE OpenPort()
    {
        return CreateFileA("\\\\.\\COM3", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                           FILE_FLAG_OVERLAPPED, nullptr);
    }

    // Starts a read of `length` bytes; the buffer is filled with 0xEE first.
    std::shared_ptr<PendingIo> Read(ULONG length, HANDLE file = nullptr)
    {
        auto io = Track(std::make_shared<PendingIo>());
        io->buffer.assign(length, 0xEE);
        Issue(*io, ReadFile(file ? file : port, io->buffer.data(), length, nullptr, &io->overlapped));
        return io;
    }
    std::shared_ptr<PendingIo> Write(const std::string& bytes, HANDLE file = nullptr)
    {
        auto io = Track(std::make_shared<PendingIo>());
        io->buffer.assign(bytes.begin(), bytes.end());
        Issue(*io, WriteFile(file ? file : port, io->buffer.data(), static_cast<DWORD>(bytes.size()), nullptr,
                             &io->overlapped));
        return io;
    }
    // Starts an I/O control; its output buffer (outputLength bytes) is filled with 0xCC first.
    std::shared_ptr<PendingIo> Control(ULONG code, const std::vector<UCHAR>& input, ULONG outputLength,
                                       HANDLE file = nullptr)
    {
        auto io = Track(std::make_shared<PendingIo>());
        io->buffer.assign(outputLength, 0xCC);
        Issue(*io, DeviceIoControl(
                       file ? file : port, code, input.empty() ? nullptr : const_cast<UCHAR*>(input.data()),
                       static_cast<DWORD>(input.size()), outputLength ? io->buffer.data() : nullptr,
                       outputLength, nullptr, &io->overlapped));
        return io;
    }
    // An I/O control that the driver completes before it returns.
    ControlResult Call(ULONG code, const std::vector<UCHAR>& input = {}, ULONG outputLength = 0)
    {
        std::shared_ptr<PendingIo> io = Control(code, input, outputLength);
        Settle();
        ControlResult result;
        EXPECT_TRUE(io->Done()) << "control 0x" << std::hex << code << " still pending";
        if (io->Done())
        {
            result.status = io->Status();
            result.information = io->Bytes();
        }
        result.output = io->buffer;
        return result;
    }
    template <typename T>
    static std::vector<UCHAR> Bytes(const T& value)
    {
        const UCHAR* at = reinterpret_cast<const UCHAR*>(&value);
        return std::vector<UCHAR>(at, at + sizeof(T));
    }
    template <typename T>
    static T As(const std::vector<UCHAR>& bytes)
    {
        T value;
        std::memcpy(&value, bytes.data(), sizeof(T));
        return value;
    }

    void SetTimeouts(ULONG interval, ULONG multiplier, ULONG constant, ULONG writeMultiplier = 0,
                     ULONG writeConstant = 0)
    {
        SERIAL_TIMEOUTS timeouts{interval, multiplier, constant, writeMultiplier, writeConstant};
        ASSERT_EQ(Call(IOCTL_SERIAL_SET_TIMEOUTS, Bytes(timeouts)).status, STATUS_SUCCESS);
    }
    void SetWaitMask(ULONG mask)
    {
        ASSERT_EQ(Call(IOCTL_SERIAL_SET_WAIT_MASK, Bytes(mask)).status, STATUS_SUCCESS);
    }

    // The reader sends bytes; returns once the driver has taken them.
    void Receive(const std::string& bytes)
    {
        reader.PushBulkIn(bytes);
        Settle();
    }
    // Returns once what the reader and the machine's threads were doing has reached the driver
    // and every thread waiting in the machine has seen it.
    void Settle()
    {
        reader.WaitForCompletions();
        machine->WaitForSystemThreads();
        machine->SettleWaiters();
    }
    // Moves the virtual clock on and lets what fell due run.
    void Advance(std::chrono::milliseconds span)
    {
        machine->AdvanceClock(span);
        Settle();
    }

    // Records how the call went: pending or done (the OVERLAPPED tells), or failed at once.
    static void Issue(PendingIo& io, BOOL started)
    {
        if (!started && GetLastError() != ERROR_IO_PENDING)
        {
            io.error = GetLastError();
        }
    }

    Device node;
    winsim::machine::Reader reader;
    PDEVICE_CONTEXT context = nullptr;
    HANDLE port = INVALID_HANDLE_VALUE;
    std::vector<std::shared_ptr<PendingIo>> issued;
};

} // namespace tarnocom::testing
