// System message texts (FormatMessageA) and local memory (LocalAlloc, LocalFree).
//
// The texts are the English texts of the Windows system message table, with their CR LF ending,
// for the error codes this machine reports.
#include "internal.h"

#include <winsim/user.h>

#include <stdlib.h>
#include <string.h>

#include <atomic>

namespace winsim::user
{
namespace
{

// Blocks LocalAlloc gave that LocalFree has not taken back.
std::atomic<long> g_liveLocalBlocks{0};

struct SystemMessage
{
    DWORD code;
    const char* text;
};

const SystemMessage kSystemMessages[] = {
    {ERROR_SUCCESS, "The operation completed successfully.\r\n"},
    {ERROR_INVALID_FUNCTION, "Incorrect function.\r\n"},
    {ERROR_FILE_NOT_FOUND, "The system cannot find the file specified.\r\n"},
    {ERROR_PATH_NOT_FOUND, "The system cannot find the path specified.\r\n"},
    {ERROR_TOO_MANY_OPEN_FILES, "The system cannot open the file.\r\n"},
    {ERROR_ACCESS_DENIED, "Access is denied.\r\n"},
    {ERROR_INVALID_HANDLE, "The handle is invalid.\r\n"},
    {ERROR_NOT_ENOUGH_MEMORY, "Not enough memory resources are available to process this command.\r\n"},
    {ERROR_INVALID_DATA, "The data is invalid.\r\n"},
    {ERROR_OUTOFMEMORY, "Not enough memory resources are available to complete this operation.\r\n"},
    {ERROR_GEN_FAILURE, "A device attached to the system is not functioning.\r\n"},
    {ERROR_SHARING_VIOLATION,
     "The process cannot access the file because it is being used by another process.\r\n"},
    {ERROR_NOT_SUPPORTED, "The request is not supported.\r\n"},
    {ERROR_BAD_NETPATH, "The network path was not found.\r\n"},
    {ERROR_FILE_EXISTS, "The file exists.\r\n"},
    {ERROR_INVALID_PARAMETER, "The parameter is incorrect.\r\n"},
    {ERROR_DISK_FULL, "There is not enough space on the disk.\r\n"},
    {ERROR_CALL_NOT_IMPLEMENTED, "This function is not supported on this system.\r\n"},
    {ERROR_INSUFFICIENT_BUFFER, "The data area passed to a system call is too small.\r\n"},
    {ERROR_INVALID_NAME, "The filename, directory name, or volume label syntax is incorrect.\r\n"},
    {ERROR_MOD_NOT_FOUND, "The specified module could not be found.\r\n"},
    {ERROR_PROC_NOT_FOUND, "The specified procedure could not be found.\r\n"},
    {ERROR_DIR_NOT_EMPTY, "The directory is not empty.\r\n"},
    {ERROR_ALREADY_EXISTS, "Cannot create a file when that file already exists.\r\n"},
    {ERROR_BAD_EXE_FORMAT, "%1 is not a valid Win32 application.\r\n"},
    {ERROR_ENVVAR_NOT_FOUND, "The system could not find the environment option that was entered.\r\n"},
    {ERROR_FILENAME_EXCED_RANGE, "The filename or extension is too long.\r\n"},
    {ERROR_MORE_DATA, "More data is available.\r\n"},
    {WAIT_TIMEOUT, "The wait operation timed out.\r\n"},
    {ERROR_NO_MORE_ITEMS, "No more data is available.\r\n"},
    {ERROR_NOT_OWNER, "Attempt to release mutex not owned by caller.\r\n"},
    {ERROR_MR_MID_NOT_FOUND,
     "The system cannot find message text for message number 0x%1 in the message file for %2.\r\n"},
    {ERROR_IO_PENDING, "Overlapped I/O operation is in progress.\r\n"},
    {ERROR_DLL_INIT_FAILED, "A dynamic link library (DLL) initialization routine failed.\r\n"},
    {ERROR_NOT_FOUND, "Element not found.\r\n"},
    {ERROR_TIMEOUT, "This operation returned because the timeout period expired.\r\n"},
};

const char* FindSystemMessage(DWORD code)
{
    for (const SystemMessage& m : kSystemMessages)
    {
        if (m.code == code)
        {
            return m.text;
        }
    }
    return nullptr;
}

bool LanguageAvailable(DWORD language)
{
    // Neutral (the user's default) and any English variant: the machine has English texts only.
    return language == 0 || language == MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT) ||
           PRIMARYLANGID(language) == LANG_ENGLISH;
}

} // namespace
} // namespace winsim::user

using namespace winsim::user;

extern "C"
{

    DWORD WINAPI FormatMessageA(DWORD dwFlags, LPCVOID lpSource, DWORD dwMessageId, DWORD dwLanguageId,
                                LPSTR lpBuffer, DWORD nSize, va_list* Arguments)
    {
        (void)lpSource;
        if (!(dwFlags & FORMAT_MESSAGE_FROM_SYSTEM) ||
            (dwFlags & (FORMAT_MESSAGE_FROM_STRING | FORMAT_MESSAGE_FROM_HMODULE)) || lpBuffer == nullptr)
        {
            SetLastError(ERROR_INVALID_PARAMETER);
            return 0;
        }
        if (!LanguageAvailable(dwLanguageId))
        {
            SetLastError(ERROR_RESOURCE_LANG_NOT_FOUND);
            return 0;
        }
        const char* text = FindSystemMessage(dwMessageId);
        if (text == nullptr)
        {
            SetLastError(ERROR_MR_MID_NOT_FOUND);
            return 0;
        }
        if (!(dwFlags & FORMAT_MESSAGE_IGNORE_INSERTS) && strchr(text, '%') != nullptr &&
            Arguments == nullptr)
        {
            SetLastError(ERROR_INVALID_PARAMETER);
            return 0;
        }
        size_t length = strlen(text);
        if (dwFlags & FORMAT_MESSAGE_ALLOCATE_BUFFER)
        {
            size_t bytes = length + 1 > nSize ? length + 1 : nSize;
            char* memory = static_cast<char*>(LocalAlloc(LMEM_FIXED, bytes));
            if (memory == nullptr)
            {
                SetLastError(ERROR_NOT_ENOUGH_MEMORY);
                return 0;
            }
            memcpy(memory, text, length + 1);
            *reinterpret_cast<LPSTR*>(lpBuffer) = memory;
            return static_cast<DWORD>(length);
        }
        if (length + 1 > nSize)
        {
            SetLastError(ERROR_INSUFFICIENT_BUFFER);
            return 0;
        }
        memcpy(lpBuffer, text, length + 1);
        return static_cast<DWORD>(length);
    }

    HLOCAL WINAPI LocalAlloc(UINT uFlags, SIZE_T uBytes)
    {
        void* memory =
            (uFlags & LMEM_ZEROINIT) ? calloc(1, uBytes == 0 ? 1 : uBytes) : malloc(uBytes == 0 ? 1 : uBytes);
        if (memory == nullptr)
        {
            SetLastError(ERROR_NOT_ENOUGH_MEMORY);
            return nullptr;
        }
        winsim::user::g_liveLocalBlocks.fetch_add(1, std::memory_order_relaxed);
        return memory;
    }

    HLOCAL WINAPI LocalFree(HLOCAL hMem)
    {
        if (hMem != nullptr)
        {
            winsim::user::g_liveLocalBlocks.fetch_sub(1, std::memory_order_relaxed);
            free(hMem);
        }
        return nullptr;
    }

} // extern "C"

long winsim::LiveLocalAllocations()
{
    return winsim::user::g_liveLocalBlocks.load(std::memory_order_relaxed);
}
