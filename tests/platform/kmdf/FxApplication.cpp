#include "FxApplication.h"

#include <windows.h>

#include <vector>

namespace fxtest
{

NTSTATUS AppFile::Open(std::u16string_view name, ACCESS_MASK access)
{
    Close();
    std::u16string text(name);
    UNICODE_STRING objectName;
    objectName.Buffer = reinterpret_cast<PWCH>(text.data());
    objectName.Length = static_cast<USHORT>(text.size() * sizeof(WCHAR));
    objectName.MaximumLength = objectName.Length;
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &objectName, OBJ_CASE_INSENSITIVE, nullptr, nullptr);
    IO_STATUS_BLOCK iosb{};
    HANDLE handle = nullptr;
    NTSTATUS status =
        NtCreateFile(&handle, access, &attributes, &iosb, nullptr, 0, 0, FILE_OPEN, 0, nullptr, 0);
    if (NT_SUCCESS(status))
    {
        m_handle = handle;
    }
    return status;
}

IoResult AppFile::DeviceControl(ULONG code) const
{
    return DeviceControl(code, nullptr, 0, nullptr, 0);
}

IoResult AppFile::DeviceControl(ULONG code, const void* input, ULONG inputLength, void* output,
                                ULONG outputLength) const
{
    HANDLE done = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    IO_STATUS_BLOCK iosb{};
    iosb.Status = STATUS_PENDING;
    NTSTATUS status = NtDeviceIoControlFile(m_handle, done, nullptr, nullptr, &iosb, code,
                                            const_cast<void*>(input), inputLength, output, outputLength);
    if (status == STATUS_PENDING)
    {
        WaitForSingleObject(done, INFINITE);
        status = iosb.Status;
    }
    CloseHandle(done);
    return IoResult{status, iosb.Information};
}

namespace
{
// Waits for an overlapped read or write and reads its status and information from the OVERLAPPED,
// where the I/O manager writes them.
IoResult Finish(BOOL started, OVERLAPPED& overlapped)
{
    if (!started && GetLastError() == ERROR_IO_PENDING)
    {
        WaitForSingleObject(overlapped.hEvent, INFINITE);
    }
    CloseHandle(overlapped.hEvent);
    return IoResult{static_cast<NTSTATUS>(overlapped.Internal), overlapped.InternalHigh};
}
} // namespace

IoResult AppFile::Read(void* buffer, ULONG length) const
{
    OVERLAPPED overlapped{};
    overlapped.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    return Finish(ReadFile(m_handle, buffer, length, nullptr, &overlapped), overlapped);
}

IoResult AppFile::Write(const void* buffer, ULONG length) const
{
    OVERLAPPED overlapped{};
    overlapped.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    return Finish(WriteFile(m_handle, buffer, length, nullptr, &overlapped), overlapped);
}

bool AppFile::CancelAll() const
{
    return CancelIoEx(m_handle, nullptr) != FALSE;
}

bool AppFile::CancelMine() const
{
    return CancelIo(m_handle) != FALSE;
}

NTSTATUS AppFile::Close()
{
    if (m_handle == nullptr)
    {
        return STATUS_INVALID_HANDLE;
    }
    HANDLE handle = m_handle;
    m_handle = nullptr;
    return NtClose(handle);
}

std::optional<std::u16string> DosDeviceTarget(const std::string& name)
{
    std::vector<char> targets(1024);
    if (QueryDosDeviceA(name.c_str(), targets.data(), static_cast<DWORD>(targets.size())) == 0)
    {
        return std::nullopt;
    }
    std::u16string first;
    for (const char* c = targets.data(); *c != 0; ++c)
    {
        first.push_back(static_cast<char16_t>(static_cast<unsigned char>(*c)));
    }
    return first;
}

} // namespace fxtest
