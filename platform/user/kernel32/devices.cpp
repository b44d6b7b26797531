// Devices: I/O controls, the results of overlapped requests and their cancellation. Each is a thin
// call of the kernel's native service; the OVERLAPPED is the request's I/O status block.
#include "internal.h"
#include "ntdll/ntdll.h"

namespace
{

PIO_STATUS_BLOCK StatusBlockOf(LPOVERLAPPED overlapped)
{
    return reinterpret_cast<PIO_STATUS_BLOCK>(overlapped);
}

// The status of an overlapped request, read as the kernel publishes it.
NTSTATUS StatusOf(LPOVERLAPPED overlapped)
{
    return static_cast<NTSTATUS>(__atomic_load_n(&overlapped->Internal, __ATOMIC_ACQUIRE));
}

} // namespace

using namespace winsim::user;

extern "C"
{

    BOOL WINAPI DeviceIoControl(HANDLE hDevice, DWORD dwIoControlCode, LPVOID lpInBuffer, DWORD nInBufferSize,
                                LPVOID lpOutBuffer, DWORD nOutBufferSize, LPDWORD lpBytesReturned,
                                LPOVERLAPPED lpOverlapped)
    {
        if (IsLocalHandle(hDevice))
        {
            // Files of the host's disk answer no control codes.
            SetLastError(HostFileOf(hDevice) >= 0 ? ERROR_INVALID_FUNCTION : ERROR_INVALID_HANDLE);
            return FALSE;
        }
        NTSTATUS status;
        if (lpOverlapped != nullptr)
        {
            lpOverlapped->Internal = STATUS_PENDING;
            lpOverlapped->InternalHigh = 0;
            status = NtDeviceIoControlFile(hDevice, lpOverlapped->hEvent, nullptr, nullptr,
                                           StatusBlockOf(lpOverlapped), dwIoControlCode, lpInBuffer,
                                           nInBufferSize, lpOutBuffer, nOutBufferSize);
            if (status == STATUS_PENDING)
            {
                SetLastError(ERROR_IO_PENDING);
                return FALSE;
            }
            if (lpBytesReturned != nullptr)
            {
                *lpBytesReturned = static_cast<DWORD>(lpOverlapped->InternalHigh);
            }
            return NT_SUCCESS(status) ? TRUE : winsim::ntdll::FailWith(status);
        }
        IO_STATUS_BLOCK iosb{};
        status = NtDeviceIoControlFile(hDevice, nullptr, nullptr, nullptr, &iosb, dwIoControlCode, lpInBuffer,
                                       nInBufferSize, lpOutBuffer, nOutBufferSize);
        if (status == STATUS_PENDING)
        {
            // An overlapped handle used without an OVERLAPPED: wait for the file's I/O.
            status = NtWaitForSingleObject(hDevice, FALSE, nullptr);
            if (NT_SUCCESS(status))
            {
                status = __atomic_load_n(&iosb.Status, __ATOMIC_ACQUIRE);
            }
        }
        if (lpBytesReturned != nullptr)
        {
            *lpBytesReturned = static_cast<DWORD>(iosb.Information);
        }
        return NT_SUCCESS(status) ? TRUE : winsim::ntdll::FailWith(status);
    }

    BOOL WINAPI GetOverlappedResult(HANDLE hFile, LPOVERLAPPED lpOverlapped,
                                    LPDWORD lpNumberOfBytesTransferred, BOOL bWait)
    {
        if (StatusOf(lpOverlapped) == STATUS_PENDING)
        {
            if (!bWait)
            {
                SetLastError(ERROR_IO_INCOMPLETE);
                return FALSE;
            }
            // The request's event, or without one the file's own, is set when it completes.
            HANDLE signal = lpOverlapped->hEvent != nullptr ? lpOverlapped->hEvent : hFile;
            while (StatusOf(lpOverlapped) == STATUS_PENDING)
            {
                NTSTATUS waited = NtWaitForSingleObject(signal, FALSE, nullptr);
                if (!NT_SUCCESS(waited))
                {
                    return winsim::ntdll::FailWith(waited);
                }
            }
        }
        NTSTATUS status = StatusOf(lpOverlapped);
        *lpNumberOfBytesTransferred = static_cast<DWORD>(lpOverlapped->InternalHigh);
        return NT_SUCCESS(status) ? TRUE : winsim::ntdll::FailWith(status);
    }

    BOOL WINAPI CancelIo(HANDLE hFile)
    {
        if (IsLocalHandle(hFile))
        {
            // Requests on host files complete at once: there is never one to cancel.
            return HostFileOf(hFile) >= 0 ? TRUE : FALSE;
        }
        IO_STATUS_BLOCK iosb{};
        NTSTATUS status = NtCancelIoFile(hFile, &iosb);
        return NT_SUCCESS(status) ? TRUE : winsim::ntdll::FailWith(status);
    }

    BOOL WINAPI CancelIoEx(HANDLE hFile, LPOVERLAPPED lpOverlapped)
    {
        if (IsLocalHandle(hFile))
        {
            SetLastError(HostFileOf(hFile) >= 0 ? ERROR_NOT_FOUND : ERROR_INVALID_HANDLE);
            return FALSE;
        }
        IO_STATUS_BLOCK iosb{};
        NTSTATUS status =
            NtCancelIoFileEx(hFile, lpOverlapped != nullptr ? StatusBlockOf(lpOverlapped) : nullptr, &iosb);
        return NT_SUCCESS(status) ? TRUE : winsim::ntdll::FailWith(status);
    }

} // extern "C"
