// Files: create/open, read, write, delete. Paths are Windows paths (see paths.cpp).
#include "internal.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace winsim::user
{
namespace
{

struct FileObject : Object
{
    FileObject() : Object(ObjectType::File) {}
    ~FileObject() override
    {
        if (fd >= 0)
        {
            close(fd);
        }
    }
    int fd = -1;
};

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

} // namespace
} // namespace winsim::user

using namespace winsim::user;

extern "C"
{

    HANDLE WINAPI CreateFileA(LPCSTR lpFileName, DWORD dwDesiredAccess, DWORD dwShareMode,
                              LPSECURITY_ATTRIBUTES lpSecurityAttributes, DWORD dwCreationDisposition,
                              DWORD dwFlagsAndAttributes, HANDLE hTemplateFile)
    {
        (void)dwShareMode;
        (void)lpSecurityAttributes;
        (void)dwFlagsAndAttributes;
        (void)hTemplateFile;
        // The host path is used at once and not copied: a log writer opens its file for every line.
        std::string storage;
        LPCSTR host = HostPathFor(lpFileName, storage);
        if (host == nullptr)
        {
            return INVALID_HANDLE_VALUE;
        }
        if (dwCreationDisposition < CREATE_NEW || dwCreationDisposition > TRUNCATE_EXISTING)
        {
            SetLastError(ERROR_INVALID_PARAMETER);
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
        auto file = std::make_shared<FileObject>();
        file->fd = fd;
        HANDLE handle = InsertHandle(std::move(file));
        SetLastError(existed ? ERROR_ALREADY_EXISTS : ERROR_SUCCESS);
        return handle;
    }

    BOOL WINAPI WriteFile(HANDLE hFile, LPCVOID lpBuffer, DWORD nNumberOfBytesToWrite,
                          LPDWORD lpNumberOfBytesWritten, LPOVERLAPPED lpOverlapped)
    {
        (void)lpOverlapped;
        if (lpNumberOfBytesWritten != nullptr)
        {
            *lpNumberOfBytesWritten = 0;
        }
        std::shared_ptr<Object> object = LookupHandle(hFile);
        if (!object)
        {
            return FALSE;
        }
        if (object->type != ObjectType::File)
        {
            SetLastError(ERROR_INVALID_HANDLE);
            return FALSE;
        }
        int fd = static_cast<FileObject&>(*object).fd;
        const char* data = static_cast<const char*>(lpBuffer);
        DWORD done = 0;
        while (done < nNumberOfBytesToWrite)
        {
            ssize_t n = write(fd, data + done, nNumberOfBytesToWrite - done);
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
        return TRUE;
    }

    BOOL WINAPI ReadFile(HANDLE hFile, LPVOID lpBuffer, DWORD nNumberOfBytesToRead,
                         LPDWORD lpNumberOfBytesRead, LPOVERLAPPED lpOverlapped)
    {
        (void)lpOverlapped;
        if (lpNumberOfBytesRead != nullptr)
        {
            *lpNumberOfBytesRead = 0;
        }
        std::shared_ptr<Object> object = LookupHandle(hFile);
        if (!object)
        {
            return FALSE;
        }
        if (object->type != ObjectType::File)
        {
            SetLastError(ERROR_INVALID_HANDLE);
            return FALSE;
        }
        ssize_t n;
        do
        {
            n = read(static_cast<FileObject&>(*object).fd, lpBuffer, nNumberOfBytesToRead);
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
        return TRUE;
    }

    BOOL WINAPI DeleteFileA(LPCSTR lpFileName)
    {
        std::string host;
        if (!HostPathOf(lpFileName, host))
        {
            return FALSE;
        }
        struct stat st;
        if (stat(host.c_str(), &st) == 0 && S_ISDIR(st.st_mode))
        {
            SetLastError(ERROR_ACCESS_DENIED);
            return FALSE;
        }
        if (unlink(host.c_str()) != 0)
        {
            SetLastError(OpenError(errno, host));
            return FALSE;
        }
        return TRUE;
    }

} // extern "C"
