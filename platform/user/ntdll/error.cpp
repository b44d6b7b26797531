// RtlNtStatusToDosError: the one place where user mode turns a status from the kernel into the
// Win32 error a program reads with GetLastError. The pairs are Windows' own for the statuses this
// machine's kernel and drivers return.
#include "ntdll.h"

namespace
{

ULONG MapStatus(NTSTATUS status)
{
    switch (status)
    {
    case STATUS_SUCCESS:
        return ERROR_SUCCESS;
    // Success and warning codes a caller may pass on.
    case STATUS_TIMEOUT:
        return ERROR_TIMEOUT;
    case STATUS_PENDING:
        return ERROR_IO_PENDING;
    case STATUS_MORE_ENTRIES:
    case STATUS_BUFFER_OVERFLOW:
        return ERROR_MORE_DATA;
    case STATUS_OBJECT_NAME_EXISTS:
        return ERROR_ALREADY_EXISTS;
    case STATUS_NO_MORE_ENTRIES:
        return ERROR_NO_MORE_ITEMS;
    case STATUS_PLUGPLAY_QUERY_VETOED:
        return ERROR_PLUGPLAY_QUERY_VETOED;
    case STATUS_DATATYPE_MISALIGNMENT:
    case STATUS_ACCESS_VIOLATION:
        return ERROR_NOACCESS;
    // Errors.
    case STATUS_UNSUCCESSFUL:
        return ERROR_GEN_FAILURE;
    case STATUS_NOT_IMPLEMENTED:
    case STATUS_INVALID_DEVICE_REQUEST:
        return ERROR_INVALID_FUNCTION;
    case STATUS_INVALID_INFO_CLASS:
    case STATUS_INVALID_PARAMETER:
    case STATUS_INVALID_PARAMETER_1:
    case STATUS_INVALID_PARAMETER_2:
    case STATUS_INVALID_PARAMETER_3:
    case STATUS_INVALID_PARAMETER_MIX:
        return ERROR_INVALID_PARAMETER;
    case STATUS_INFO_LENGTH_MISMATCH:
        return ERROR_BAD_LENGTH;
    case STATUS_INVALID_HANDLE:
    case STATUS_OBJECT_TYPE_MISMATCH:
        return ERROR_INVALID_HANDLE;
    case STATUS_NO_SUCH_DEVICE:
    case STATUS_NO_SUCH_FILE:
    case STATUS_OBJECT_NAME_NOT_FOUND:
        return ERROR_FILE_NOT_FOUND;
    case STATUS_OBJECT_PATH_NOT_FOUND:
        return ERROR_PATH_NOT_FOUND;
    case STATUS_OBJECT_NAME_INVALID:
        return ERROR_INVALID_NAME;
    case STATUS_NAME_TOO_LONG:
        return ERROR_FILENAME_EXCED_RANGE;
    case STATUS_OBJECT_PATH_INVALID:
    case STATUS_OBJECT_PATH_SYNTAX_BAD:
        return ERROR_BAD_PATHNAME;
    case STATUS_OBJECT_NAME_COLLISION:
        return ERROR_ALREADY_EXISTS;
    case STATUS_END_OF_FILE:
        return ERROR_HANDLE_EOF;
    case STATUS_NO_MEMORY:
        return ERROR_NOT_ENOUGH_MEMORY;
    case STATUS_INSUFFICIENT_RESOURCES:
        return ERROR_NO_SYSTEM_RESOURCES;
    // An exclusive device that is already open answers STATUS_ACCESS_DENIED; a file opened by
    // someone who does not share it, STATUS_SHARING_VIOLATION.
    case STATUS_ACCESS_DENIED:
    case STATUS_DELETE_PENDING:
    case STATUS_CANNOT_DELETE:
    case STATUS_THREAD_IS_TERMINATING:
        return ERROR_ACCESS_DENIED;
    case STATUS_SUSPEND_COUNT_EXCEEDED:
        return ERROR_SIGNAL_REFUSED;
    case STATUS_SHARING_VIOLATION:
        return ERROR_SHARING_VIOLATION;
    case STATUS_WMI_INSTANCE_NOT_FOUND:
        return ERROR_WMI_INSTANCE_NOT_FOUND;
    case STATUS_PRIVILEGE_NOT_HELD:
        return ERROR_PRIVILEGE_NOT_HELD;
    case STATUS_BUFFER_TOO_SMALL:
        return ERROR_INSUFFICIENT_BUFFER;
    case STATUS_INVALID_BUFFER_SIZE:
        return ERROR_INVALID_USER_BUFFER;
    case STATUS_MUTANT_NOT_OWNED:
        return ERROR_NOT_OWNER;
    case STATUS_MUTANT_LIMIT_EXCEEDED:
        return ERROR_MUTANT_LIMIT_EXCEEDED;
    case STATUS_CANCELLED:
        return ERROR_OPERATION_ABORTED;
    case STATUS_IO_TIMEOUT:
        return ERROR_SEM_TIMEOUT;
    case STATUS_NOT_SUPPORTED:
        return ERROR_NOT_SUPPORTED;
    case STATUS_NOT_FOUND:
        return ERROR_NOT_FOUND;
    case STATUS_INTERNAL_ERROR:
        return ERROR_INTERNAL_ERROR;
    case STATUS_INVALID_DEVICE_STATE:
        return ERROR_BAD_COMMAND;
    case STATUS_DEVICE_NOT_READY:
    case STATUS_DEVICE_POWER_FAILURE:
    case STATUS_POWER_STATE_INVALID:
        return ERROR_NOT_READY;
    case STATUS_IO_DEVICE_ERROR:
    case STATUS_DEVICE_PROTOCOL_ERROR:
    case STATUS_DRIVER_INTERNAL_ERROR:
        return ERROR_IO_DEVICE;
    case STATUS_DEVICE_REMOVED:
    case STATUS_DEVICE_DOES_NOT_EXIST:
        return ERROR_DEV_NOT_EXIST;
    case STATUS_DEVICE_NOT_CONNECTED:
        return ERROR_DEVICE_NOT_CONNECTED;
    case STATUS_DEVICE_BUSY:
        return ERROR_BUSY;
    case STATUS_KEY_DELETED:
        return ERROR_KEY_DELETED;
    case STATUS_CHILD_MUST_BE_VOLATILE:
        return ERROR_CHILD_MUST_BE_VOLATILE;
    case STATUS_REGISTRY_CORRUPT:
        return ERROR_REGISTRY_CORRUPT;
    case STATUS_DLL_NOT_FOUND:
        return ERROR_MOD_NOT_FOUND;
    case STATUS_PROCEDURE_NOT_FOUND:
        return ERROR_PROC_NOT_FOUND;
    case STATUS_INVALID_IMAGE_FORMAT:
        return ERROR_BAD_EXE_FORMAT;
    default:
        return ERROR_MR_MID_NOT_FOUND;
    }
}

} // namespace

extern "C" ULONG NTAPI RtlNtStatusToDosError(NTSTATUS Status)
{
    // Codes a customer defined, and Win32 errors carried in a status (FACILITY_NTWIN32), pass
    // through as they are.
    if ((static_cast<ULONG>(Status) & 0x20000000u) != 0)
    {
        return static_cast<ULONG>(Status);
    }
    if ((static_cast<ULONG>(Status) & 0x0FFF0000u) == 0x00070000u &&
        (static_cast<ULONG>(Status) & 0xC0000000u) != 0)
    {
        return static_cast<ULONG>(Status) & 0xFFFFu;
    }
    return MapStatus(Status);
}
