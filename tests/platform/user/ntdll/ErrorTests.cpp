// RtlNtStatusToDosError: the one translation from the kernel's statuses to Win32 errors.
#include <windows.h>
#include <winternl.h>

#include "TableCases.h"

#include <gtest/gtest.h>

namespace
{

struct Mapping
{
    const char* name;
    NTSTATUS status;
    ULONG error;
};

void PrintTo(const Mapping& mapping, std::ostream* out)
{
    *out << mapping.name;
}

class StatusToErrorTest : public ::testing::TestWithParam<Mapping>
{
};

TEST_P(StatusToErrorTest, MapsAsWindowsDoes)
{
    EXPECT_EQ(RtlNtStatusToDosError(GetParam().status), GetParam().error);
}

INSTANTIATE_TEST_SUITE_P(
    Statuses, StatusToErrorTest,
    ::testing::Values(
        Mapping{"Success", STATUS_SUCCESS, ERROR_SUCCESS},
        Mapping{"TimeoutIsASuccessWithItsOwnError", STATUS_TIMEOUT, ERROR_TIMEOUT},
        Mapping{"Pending", STATUS_PENDING, ERROR_IO_PENDING},
        Mapping{"BufferOverflowIsMoreData", STATUS_BUFFER_OVERFLOW, ERROR_MORE_DATA},
        Mapping{"NoMoreEntries", STATUS_NO_MORE_ENTRIES, ERROR_NO_MORE_ITEMS},
        Mapping{"Cancelled", STATUS_CANCELLED, ERROR_OPERATION_ABORTED},
        Mapping{"BufferTooSmall", STATUS_BUFFER_TOO_SMALL, ERROR_INSUFFICIENT_BUFFER},
        Mapping{"NameNotFound", STATUS_OBJECT_NAME_NOT_FOUND, ERROR_FILE_NOT_FOUND},
        Mapping{"PathNotFound", STATUS_OBJECT_PATH_NOT_FOUND, ERROR_PATH_NOT_FOUND},
        Mapping{"NameCollision", STATUS_OBJECT_NAME_COLLISION, ERROR_ALREADY_EXISTS},
        Mapping{"ExclusiveDeviceOpen", STATUS_ACCESS_DENIED, ERROR_ACCESS_DENIED},
        Mapping{"SharingViolation", STATUS_SHARING_VIOLATION, ERROR_SHARING_VIOLATION},
        Mapping{"DeletePending", STATUS_DELETE_PENDING, ERROR_ACCESS_DENIED},
        Mapping{"InvalidParameter", STATUS_INVALID_PARAMETER, ERROR_INVALID_PARAMETER},
        Mapping{"InvalidHandle", STATUS_INVALID_HANDLE, ERROR_INVALID_HANDLE},
        Mapping{"TypeMismatch", STATUS_OBJECT_TYPE_MISMATCH, ERROR_INVALID_HANDLE},
        Mapping{"NotSupported", STATUS_NOT_SUPPORTED, ERROR_NOT_SUPPORTED},
        Mapping{"InvalidDeviceRequest", STATUS_INVALID_DEVICE_REQUEST, ERROR_INVALID_FUNCTION},
        Mapping{"InvalidDeviceState", STATUS_INVALID_DEVICE_STATE, ERROR_BAD_COMMAND},
        Mapping{"InfoLengthMismatch", STATUS_INFO_LENGTH_MISMATCH, ERROR_BAD_LENGTH},
        Mapping{"DeviceNotReady", STATUS_DEVICE_NOT_READY, ERROR_NOT_READY},
        Mapping{"IoTimeout", STATUS_IO_TIMEOUT, ERROR_SEM_TIMEOUT},
        Mapping{"MutantNotOwned", STATUS_MUTANT_NOT_OWNED, ERROR_NOT_OWNER},
        Mapping{"InsufficientResources", STATUS_INSUFFICIENT_RESOURCES, ERROR_NO_SYSTEM_RESOURCES},
        Mapping{"DeviceRemoved", STATUS_DEVICE_REMOVED, ERROR_DEV_NOT_EXIST},
        Mapping{"CustomerCodesPassThrough", static_cast<NTSTATUS>(0xE0001234), 0xE0001234},
        Mapping{"Win32ErrorsCarriedInAStatus", static_cast<NTSTATUS>(0xC0070057), ERROR_INVALID_PARAMETER},
        Mapping{"UnknownStatus", static_cast<NTSTATUS>(0xC0FFEE00), ERROR_MR_MID_NOT_FOUND}),
    [](const ::testing::TestParamInfo<Mapping>& info) { return std::string(info.param.name); });

} // namespace
