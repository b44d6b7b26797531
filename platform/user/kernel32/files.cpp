// Files: create/open, read, write, flush, delete. A path names either a file of a disk (a Windows
// path, see paths.cpp, served from the host's file system here in user mode) or a device of the
// machine ("\\.\COM3", or a DOS device name such as "COM3"), opened through the kernel's NtCreateFile.
// Reads and writes go to whichever the handle stands for.
#include "internal.h"
#include "ntdll/ntdll.h"

#include "base/unicode.h"

#include <errno.h>
#include <strings.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace winsim::user
{
namespace
{

// ENOENT means "file not found" when the folder exists, "path not found" when it does not.
DWORD OpenError(int error, std::string_view hostPath)
{
    if (error == ENOENT)
    {
        size_t slash = hostPath.find_last_of('/');
        std::string folder(slash == 0 ? "/" : hostPath.substr(0, slash));
        struct stat st;
        if (stat(folder.c_str(), &st) != 0 || !S_ISDIR(st.st_mode))
        {
            return ERROR_PATH_NOT_FOUND;
        }
        return ERROR_FILE_NOT_FOUND;
    }
    return ErrorFromErrno(error);
}

bool IsReservedDeviceName(std::string_view name)
{
    auto is = [&](const char* reserved) {
        return name.size() == strlen(reserved) && strncasecmp(name.data(), reserved, name.size()) == 0;
    };
    auto numbered = [&](const char* prefix) {
        return name.size() == 4 && strncasecmp(name.data(), prefix, 3) == 0 && name[3] >= '1' &&
               name[3] <= '9';
    };
    return numbered("COM") || numbered("LPT") || is("NUL") || is("CON") || is("AUX") || is("PRN");
}

ULONG NtDisposition(DWORD creationDisposition)
{
    switch (creationDisposition)
    {
    case CREATE_NEW:
        return FILE_CREATE;
    case CREATE_ALWAYS:
        return FILE_OVERWRITE_IF;
    case OPEN_ALWAYS:
        return FILE_OPEN_IF;
    case TRUNCATE_EXISTING:
        return FILE_OVERWRITE;
    default:
        return FILE_OPEN;
    }
}

HANDLE OpenDevice(const std::u16string& objectName, DWORD desiredAccess, DWORD shareMode,
                  DWORD creationDisposition, DWORD flagsAndAttributes)
{
    UNICODE_STRING name = winsim::ntdll::CountedString(objectName);
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &name, OBJ_CASE_INSENSITIVE, nullptr, nullptr);
    ULONG options = FILE_NON_DIRECTORY_FILE;
    if ((flagsAndAttributes & FILE_FLAG_OVERLAPPED) == 0)
    {
        options |= FILE_SYNCHRONOUS_IO_NONALERT;
    }
    IO_STATUS_BLOCK iosb{};
    HANDLE handle = nullptr;
    NTSTATUS status = NtCreateFile(&handle, desiredAccess | SYNCHRONIZE | FILE_READ_ATTRIBUTES, &attributes,
                                   &iosb, nullptr, flagsAndAttributes & 0xFFFF, shareMode,
                                   NtDisposition(creationDisposition), options, nullptr, 0);
    if (!NT_SUCCESS(status))
    {
        winsim::ntdll::FailWith(status);
        return INVALID_HANDLE_VALUE;
    }
    SetLastError(ERROR_SUCCESS);
    return handle;
}

// The I/O status block the kernel fills for an overlapped request is the OVERLAPPED itself.
PIO_STATUS_BLOCK StatusBlockOf(LPOVERLAPPED overlapped)
{
    return reinterpret_cast<PIO_STATUS_BLOCK>(overlapped);
}

using NativeTransfer = NTSTATUS (*)(HANDLE, HANDLE, PIO_APC_ROUTINE, PVOID, PIO_STATUS_BLOCK, PVOID, ULONG,
                                    PLARGE_INTEGER, PULONG);

// ReadFile and WriteFile on a handle of the machine.
BOOL DeviceTransfer(NativeTransfer transfer, HANDLE file, void* buffer, DWORD length, LPDWORD done,
                    LPOVERLAPPED overlapped)
{
    NTSTATUS status;
    if (overlapped != nullptr)
    {
        overlapped->Internal = STATUS_PENDING;
        overlapped->InternalHigh = 0;
        LARGE_INTEGER offset;
        offset.LowPart = overlapped->Offset;
        offset.HighPart = static_cast<LONG>(overlapped->OffsetHigh);
        status = transfer(file, overlapped->hEvent, nullptr, nullptr, StatusBlockOf(overlapped), buffer,
                          length, &offset, nullptr);
        if (status == STATUS_PENDING)
        {
            SetLastError(ERROR_IO_PENDING);
            return FALSE;
        }
        if (done != nullptr)
        {
            *done = static_cast<DWORD>(overlapped->InternalHigh);
        }
        return NT_SUCCESS(status) ? TRUE : winsim::ntdll::FailWith(status);
    }
    IO_STATUS_BLOCK iosb{};
    status = transfer(file, nullptr, nullptr, nullptr, &iosb, buffer, length, nullptr, nullptr);
    if (status == STATUS_PENDING)
    {
        // An overlapped handle used without an OVERLAPPED: wait for the file's I/O.
        status = NtWaitForSingleObject(file, FALSE, nullptr);
        if (NT_SUCCESS(status))
        {
            status = __atomic_load_n(&iosb.Status, __ATOMIC_ACQUIRE);
        }
    }
    if (done != nullptr)
    {
        *done = static_cast<DWORD>(iosb.Information);
    }
    return NT_SUCCESS(status) ? TRUE : winsim::ntdll::FailWith(status);
}

// Completes an overlapped request on a host file the way the machine completes one: the status,
// the count and the event.
BOOL FinishHostOverlapped(LPOVERLAPPED overlapped, DWORD count)
{
    overlapped->InternalHigh = count;
    overlapped->Internal = STATUS_SUCCESS;
    if (overlapped->hEvent != nullptr)
    {
        SetEvent(overlapped->hEvent);
    }
    return TRUE;
}

} // namespace

std::u16string DeviceObjectName(LPCSTR path)
{
    std::string_view p(path);
    auto isSeparator = [](char c) { return c == '\\' || c == '/'; };
    if (p.size() > 4 && isSeparator(p[0]) && isSeparator(p[1]) && p[2] == '.' && isSeparator(p[3]))
    {
        return u"\\??\\" + WideFromAnsi(p.substr(4));
    }
    // The DOS device names of MS-DOS stand for their devices wherever they are named alone.
    std::string_view name = p;
    if (!name.empty() && name.back() == ':')
    {
        name.remove_suffix(1);
    }
    if (IsReservedDeviceName(name))
    {
        return u"\\??\\" + WideFromAnsi(name);
    }
    return std::u16string();
}

} // namespace winsim::user

using namespace winsim::user;

extern "C"
{

    HANDLE WINAPI CreateFileA(LPCSTR lpFileName, DWORD dwDesiredAccess, DWORD dwShareMode,
                              LPSECURITY_ATTRIBUTES lpSecurityAttributes, DWORD dwCreationDisposition,
                              DWORD dwFlagsAndAttributes, HANDLE hTemplateFile)
    {
        (void)lpSecurityAttributes;
        (void)hTemplateFile;
        if (lpFileName == nullptr)
        {
            SetLastError(ERROR_INVALID_PARAMETER);
            return INVALID_HANDLE_VALUE;
        }
        if (dwCreationDisposition < CREATE_NEW || dwCreationDisposition > TRUNCATE_EXISTING)
        {
            SetLastError(ERROR_INVALID_PARAMETER);
            return INVALID_HANDLE_VALUE;
        }
        std::u16string device = DeviceObjectName(lpFileName);
        if (!device.empty())
        {
            return OpenDevice(device, dwDesiredAccess, dwShareMode, dwCreationDisposition,
                              dwFlagsAndAttributes);
        }
        (void)dwShareMode;
        // The host path is used at once and not copied: a log writer opens its file for every line.
        std::string storage;
        LPCSTR host = HostPathFor(lpFileName, storage);
        if (host == nullptr)
        {
            return INVALID_HANDLE_VALUE;
        }
        DWORD access = dwDesiredAccess;
        if (access & GENERIC_READ)
        {
            access |= FILE_READ_DATA;
        }
        if (access & GENERIC_WRITE)
        {
            access |= FILE_WRITE_DATA | FILE_APPEND_DATA;
        }
        if (access & GENERIC_ALL)
        {
            access |= FILE_READ_DATA | FILE_WRITE_DATA | FILE_APPEND_DATA;
        }
        bool reads = (access & FILE_READ_DATA) != 0;
        bool writes = (access & (FILE_WRITE_DATA | FILE_APPEND_DATA)) != 0;
        int flags = O_CLOEXEC;
        flags |= reads && writes ? O_RDWR : (writes ? O_WRONLY : O_RDONLY);
        // Append-only access writes every block at the end of the file, whoever else writes to it.
        if ((access & FILE_APPEND_DATA) && !(access & FILE_WRITE_DATA))
        {
            flags |= O_APPEND;
        }

        int fd = -1;
        bool existed = false;
        switch (dwCreationDisposition)
        {
        case CREATE_NEW:
            fd = open(host, flags | O_CREAT | O_EXCL, 0644);
            break;
        case CREATE_ALWAYS:
            fd = open(host, flags, 0644);
            existed = fd >= 0;
            if (fd >= 0)
            {
                if (ftruncate(fd, 0) != 0)
                {
                    int error = errno;
                    close(fd);
                    SetLastError(ErrorFromErrno(error));
                    return INVALID_HANDLE_VALUE;
                }
            }
            else if (errno == ENOENT)
            {
                fd = open(host, flags | O_CREAT | O_EXCL, 0644);
            }
            break;
        case OPEN_EXISTING:
            fd = open(host, flags, 0644);
            break;
        case OPEN_ALWAYS:
            fd = open(host, flags, 0644);
            existed = fd >= 0;
            if (fd < 0 && errno == ENOENT)
            {
                fd = open(host, flags | O_CREAT, 0644);
            }
            break;
        case TRUNCATE_EXISTING:
            fd = open(host, flags | O_TRUNC, 0644);
            break;
        }
        if (fd < 0)
        {
            SetLastError(OpenError(errno, host));
            return INVALID_HANDLE_VALUE;
        }
        // Opening a folder for writing fails by itself; only a read-only open can meet one.
        struct stat st;
        if (!writes && fstat(fd, &st) == 0 && S_ISDIR(st.st_mode))
        {
            close(fd);
            SetLastError(ERROR_ACCESS_DENIED);
            return INVALID_HANDLE_VALUE;
        }
        HANDLE handle = InsertHostFile(fd);
        SetLastError(existed ? ERROR_ALREADY_EXISTS : ERROR_SUCCESS);
        return handle;
    }

    BOOL WINAPI WriteFile(HANDLE hFile, LPCVOID lpBuffer, DWORD nNumberOfBytesToWrite,
                          LPDWORD lpNumberOfBytesWritten, LPOVERLAPPED lpOverlapped)
    {
        if (lpNumberOfBytesWritten != nullptr)
        {
            *lpNumberOfBytesWritten = 0;
        }
        if (!IsLocalHandle(hFile))
        {
            return DeviceTransfer(NtWriteFile, hFile, const_cast<void*>(lpBuffer), nNumberOfBytesToWrite,
                                  lpNumberOfBytesWritten, lpOverlapped);
        }
        int fd = HostFileOf(hFile);
        if (fd < 0)
        {
            return FALSE;
        }
        const char* data = static_cast<const char*>(lpBuffer);
        off_t offset = lpOverlapped != nullptr
                           ? static_cast<off_t>((static_cast<uint64_t>(lpOverlapped->OffsetHigh) << 32) |
                                                lpOverlapped->Offset)
                           : 0;
        DWORD done = 0;
        while (done < nNumberOfBytesToWrite)
        {
            ssize_t n = lpOverlapped != nullptr
                            ? pwrite(fd, data + done, nNumberOfBytesToWrite - done, offset + done)
                            : write(fd, data + done, nNumberOfBytesToWrite - done);
            if (n < 0)
            {
                if (errno == EINTR)
                {
                    continue;
                }
                SetLastError(errno == EBADF ? ERROR_ACCESS_DENIED : ErrorFromErrno(errno));
                return FALSE;
            }
            done += static_cast<DWORD>(n);
        }
        if (lpNumberOfBytesWritten != nullptr)
        {
            *lpNumberOfBytesWritten = done;
        }
        return lpOverlapped != nullptr ? FinishHostOverlapped(lpOverlapped, done) : TRUE;
    }

    BOOL WINAPI ReadFile(HANDLE hFile, LPVOID lpBuffer, DWORD nNumberOfBytesToRead,
                         LPDWORD lpNumberOfBytesRead, LPOVERLAPPED lpOverlapped)
    {
        if (lpNumberOfBytesRead != nullptr)
        {
            *lpNumberOfBytesRead = 0;
        }
        if (!IsLocalHandle(hFile))
        {
            return DeviceTransfer(NtReadFile, hFile, lpBuffer, nNumberOfBytesToRead, lpNumberOfBytesRead,
                                  lpOverlapped);
        }
        int fd = HostFileOf(hFile);
        if (fd < 0)
        {
            return FALSE;
        }
        ssize_t n;
        do
        {
            n = lpOverlapped != nullptr
                    ? pread(fd, lpBuffer, nNumberOfBytesToRead,
                            static_cast<off_t>((static_cast<uint64_t>(lpOverlapped->OffsetHigh) << 32) |
                                               lpOverlapped->Offset))
                    : read(fd, lpBuffer, nNumberOfBytesToRead);
        } while (n < 0 && errno == EINTR);
        if (n < 0)
        {
            SetLastError(errno == EBADF ? ERROR_ACCESS_DENIED : ErrorFromErrno(errno));
            return FALSE;
        }
        if (lpNumberOfBytesRead != nullptr)
        {
            *lpNumberOfBytesRead = static_cast<DWORD>(n);
        }
        return lpOverlapped != nullptr ? FinishHostOverlapped(lpOverlapped, static_cast<DWORD>(n)) : TRUE;
    }

    BOOL WINAPI FlushFileBuffers(HANDLE hFile)
    {
        if (!IsLocalHandle(hFile))
        {
            IO_STATUS_BLOCK iosb{};
            NTSTATUS status = NtFlushBuffersFile(hFile, &iosb);
            return NT_SUCCESS(status) ? TRUE : winsim::ntdll::FailWith(status);
        }
        int fd = HostFileOf(hFile);
        if (fd < 0)
        {
            return FALSE;
        }
        if (fsync(fd) != 0)
        {
            SetLastError(errno == EBADF || errno == EINVAL ? ERROR_ACCESS_DENIED : ErrorFromErrno(errno));
            return FALSE;
        }
        return TRUE;
    }

    HANDLE WINAPI CreateFileW(LPCWSTR lpFileName, DWORD dwDesiredAccess, DWORD dwShareMode,
                              LPSECURITY_ATTRIBUTES lpSecurityAttributes, DWORD dwCreationDisposition,
                              DWORD dwFlagsAndAttributes, HANDLE hTemplateFile)
    {
        if (lpFileName == nullptr)
        {
            SetLastError(ERROR_INVALID_PARAMETER);
            return INVALID_HANDLE_VALUE;
        }
        std::string name = AnsiFromWide(winsim::View(lpFileName));
        return CreateFileA(name.c_str(), dwDesiredAccess, dwShareMode, lpSecurityAttributes,
                           dwCreationDisposition, dwFlagsAndAttributes, hTemplateFile);
    }

    BOOL WINAPI CreateDirectoryA(LPCSTR lpPathName, LPSECURITY_ATTRIBUTES lpSecurityAttributes)
    {
        (void)lpSecurityAttributes;
        std::string host;
        if (!HostPathOf(lpPathName, host))
        {
            return FALSE;
        }
        if (mkdir(host.c_str(), 0755) != 0)
        {
            SetLastError(errno == EEXIST ? ERROR_ALREADY_EXISTS : OpenError(errno, host));
            return FALSE;
        }
        return TRUE;
    }

    BOOL WINAPI DeleteFileA(LPCSTR lpFileName)
    {
        std::string host;
        if (!HostPathOf(lpFileName, host))
        {
            return FALSE;
        }
        // A folder, and a read-only file (no write permission here), cannot be deleted.
        struct stat st;
        if (stat(host.c_str(), &st) == 0 && (S_ISDIR(st.st_mode) || (st.st_mode & S_IWUSR) == 0))
        {
            SetLastError(ERROR_ACCESS_DENIED);
            return FALSE;
        }
        // A file the kernel holds open (a trace session's log file) shares no deletion.
        if (NTSTATUS held = winsim::ntdll::CheckHeldFileAccess(host.c_str(), DELETE); !NT_SUCCESS(held))
        {
            return winsim::ntdll::FailWith(held);
        }
        if (unlink(host.c_str()) != 0)
        {
            SetLastError(OpenError(errno, host));
            return FALSE;
        }
        return TRUE;
    }

    BOOL WINAPI CopyFileA(LPCSTR lpExistingFileName, LPCSTR lpNewFileName, BOOL bFailIfExists)
    {
        // The copy takes the source's attributes (its mode here); an existing target is replaced
        // unless bFailIfExists, and a read-only target is never replaced.
        std::string source;
        std::string target;
        if (!HostPathOf(lpExistingFileName, source) || !HostPathOf(lpNewFileName, target))
        {
            return FALSE;
        }
        int in = open(source.c_str(), O_RDONLY | O_CLOEXEC);
        if (in < 0)
        {
            SetLastError(OpenError(errno, source));
            return FALSE;
        }
        struct stat st;
        if (fstat(in, &st) != 0 || S_ISDIR(st.st_mode))
        {
            close(in);
            SetLastError(ERROR_ACCESS_DENIED);
            return FALSE;
        }
        struct stat existing;
        if (stat(target.c_str(), &existing) == 0)
        {
            if (bFailIfExists)
            {
                close(in);
                SetLastError(ERROR_FILE_EXISTS);
                return FALSE;
            }
            if (S_ISDIR(existing.st_mode) || (existing.st_mode & S_IWUSR) == 0)
            {
                close(in);
                SetLastError(ERROR_ACCESS_DENIED);
                return FALSE;
            }
        }
        int out = open(target.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, st.st_mode & 07777);
        if (out < 0)
        {
            DWORD error = OpenError(errno, target);
            close(in);
            SetLastError(error);
            return FALSE;
        }
        char buffer[65536];
        ssize_t n = 0;
        bool ok = true;
        while (ok && (n = read(in, buffer, sizeof(buffer))) != 0)
        {
            if (n < 0)
            {
                ok = errno == EINTR;
                continue;
            }
            for (ssize_t done = 0; ok && done < n;)
            {
                ssize_t written = write(out, buffer + done, static_cast<size_t>(n - done));
                if (written < 0 && errno != EINTR)
                {
                    ok = false;
                }
                done += written > 0 ? written : 0;
            }
        }
        DWORD error = ok ? ERROR_SUCCESS : ErrorFromErrno(errno);
        fchmod(out, st.st_mode & 07777);
        close(in);
        if (close(out) != 0 && ok)
        {
            ok = false;
            error = ErrorFromErrno(errno);
        }
        if (!ok)
        {
            unlink(target.c_str());
            SetLastError(error);
            return FALSE;
        }
        return TRUE;
    }

} // extern "C"
