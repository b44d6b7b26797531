// An application on the test machine: what this process's user mode does with the test driver's
// devices, through the machine's native system services as a program's own calls would go.
#pragma once

#include <winternl.h>

#include <optional>
#include <string>
#include <string_view>

namespace fxtest
{

// How a request ended: its final status and the information the driver reported.
struct IoResult
{
    NTSTATUS status;
    ULONG_PTR information;
};

// A handle on a device, opened by its object name (\Device\FxQueue0, \??\FXL9) with NtCreateFile
// for overlapped I/O, so that several threads may have requests outstanding on it at once. Closed
// with the object (NtClose: IRP_MJ_CLEANUP, then IRP_MJ_CLOSE once its last request is done).
class AppFile
{
  public:
    AppFile() = default;
    ~AppFile() { Close(); }
    AppFile(const AppFile&) = delete;
    AppFile& operator=(const AppFile&) = delete;

    NTSTATUS Open(std::u16string_view name, ACCESS_MASK access);
    // A device control request without buffers; waits (in the machine) until it completes.
    IoResult DeviceControl(ULONG code) const;
    // The same with buffers: the input is copied in, at most Information bytes of the output out.
    IoResult DeviceControl(ULONG code, const void* input, ULONG inputLength, void* output,
                           ULONG outputLength) const;
    IoResult Read(void* buffer, ULONG length) const;
    IoResult Write(const void* buffer, ULONG length) const;
    // CancelIoEx(handle, NULL): every request on the handle, of any thread; false when there was none.
    bool CancelAll() const;
    // CancelIo: the calling thread's requests on the handle.
    bool CancelMine() const;
    HANDLE Handle() const { return m_handle; }
    // STATUS_INVALID_HANDLE when the file is not open.
    NTSTATUS Close();

    explicit operator bool() const { return m_handle != nullptr; }

  private:
    HANDLE m_handle = nullptr;
};

// What a DOS device name (FXL9, or an interface's USB#VID_...#{guid}) stands for, as
// QueryDosDevice lists it first; none when the name is not defined.
std::optional<std::u16string> DosDeviceTarget(const std::string& name);

} // namespace fxtest
