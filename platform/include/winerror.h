// Win32 error codes and HRESULT helpers, with the values of the Windows header.
#pragma once

#include <winsim/base.h>

#define ERROR_SUCCESS                 0L
#define NO_ERROR                      0L
#define ERROR_INVALID_FUNCTION        1L
#define ERROR_FILE_NOT_FOUND          2L
#define ERROR_PATH_NOT_FOUND          3L
#define ERROR_TOO_MANY_OPEN_FILES     4L
#define ERROR_ACCESS_DENIED           5L
#define ERROR_INVALID_HANDLE          6L
#define ERROR_NOT_ENOUGH_MEMORY       8L
#define ERROR_INVALID_ACCESS          12L
#define ERROR_INVALID_DATA            13L
#define ERROR_OUTOFMEMORY             14L
#define ERROR_INVALID_DRIVE           15L
#define ERROR_NO_MORE_FILES           18L
#define ERROR_NOT_READY               21L
#define ERROR_BAD_COMMAND             22L
#define ERROR_CRC                     23L
#define ERROR_BAD_LENGTH              24L
#define ERROR_WRITE_FAULT             29L
#define ERROR_READ_FAULT              30L
#define ERROR_GEN_FAILURE             31L
#define ERROR_SHARING_VIOLATION       32L
#define ERROR_LOCK_VIOLATION          33L
#define ERROR_HANDLE_EOF              38L
#define ERROR_NOT_SUPPORTED           50L
#define ERROR_BAD_NETPATH             53L
#define ERROR_DEV_NOT_EXIST           55L
#define ERROR_FILE_EXISTS             80L
#define ERROR_INVALID_PARAMETER       87L
#define ERROR_BROKEN_PIPE             109L
#define ERROR_DISK_FULL               112L
#define ERROR_CALL_NOT_IMPLEMENTED    120L
#define ERROR_SEM_TIMEOUT             121L
#define ERROR_INSUFFICIENT_BUFFER     122L
#define ERROR_INVALID_NAME            123L
#define ERROR_INVALID_LEVEL           124L
#define ERROR_MOD_NOT_FOUND           126L
#define ERROR_PROC_NOT_FOUND          127L
#define ERROR_NEGATIVE_SEEK           131L
#define ERROR_DIR_NOT_EMPTY           145L
#define ERROR_SIGNAL_REFUSED          156L
#define ERROR_BAD_ARGUMENTS           160L
#define ERROR_BAD_PATHNAME            161L
#define ERROR_BUSY                    170L
#define ERROR_ALREADY_EXISTS          183L
#define ERROR_BAD_EXE_FORMAT          193L
#define ERROR_ENVVAR_NOT_FOUND        203L
#define ERROR_FILENAME_EXCED_RANGE    206L
#define ERROR_NO_DATA                 232L
#define ERROR_MORE_DATA               234L
#define WAIT_TIMEOUT                  258L
#define ERROR_NO_MORE_ITEMS           259L
#define ERROR_DIRECTORY               267L
#define ERROR_NOT_OWNER               288L
#define ERROR_PARTIAL_COPY            299L
#define ERROR_DELETE_PENDING          303L
#define ERROR_MR_MID_NOT_FOUND        317L
#define ERROR_INVALID_ADDRESS         487L
#define ERROR_ARITHMETIC_OVERFLOW     534L
#define ERROR_MUTANT_LIMIT_EXCEEDED   587L
#define ERROR_PLUGPLAY_QUERY_VETOED   683L
#define ERROR_ABANDONED_WAIT_0        735L
#define ERROR_OPERATION_ABORTED       995L
#define ERROR_IO_INCOMPLETE           996L
#define ERROR_IO_PENDING              997L
#define ERROR_NOACCESS                998L
#define ERROR_INVALID_FLAGS           1004L
#define ERROR_BADKEY                  1010L
#define ERROR_CANTOPEN                1011L
#define ERROR_CANTREAD                1012L
#define ERROR_CANTWRITE               1013L
#define ERROR_REGISTRY_CORRUPT        1015L
#define ERROR_KEY_DELETED             1018L
#define ERROR_KEY_HAS_CHILDREN        1020L
#define ERROR_CHILD_MUST_BE_VOLATILE  1021L
#define ERROR_DLL_INIT_FAILED         1114L
#define ERROR_IO_DEVICE               1117L
#define ERROR_OLD_WIN_VERSION         1150L
#define ERROR_DEVICE_NOT_CONNECTED    1167L
#define ERROR_NOT_FOUND               1168L
#define ERROR_CANCELLED               1223L
#define ERROR_PRIVILEGE_NOT_HELD      1314L
#define ERROR_INTERNAL_ERROR          1359L
#define ERROR_INVALID_WINDOW_HANDLE   1400L
#define ERROR_TLW_WITH_WSCHILD        1406L
#define ERROR_CANNOT_FIND_WND_CLASS   1407L
#define ERROR_WINDOW_OF_OTHER_THREAD  1408L
#define ERROR_CLASS_ALREADY_EXISTS    1410L
#define ERROR_CLASS_DOES_NOT_EXIST    1411L
#define ERROR_CLASS_HAS_WINDOWS       1412L
#define ERROR_INVALID_INDEX           1413L
#define ERROR_INVALID_THREAD_ID       1444L
#define ERROR_NO_SYSTEM_RESOURCES     1450L
#define ERROR_TIMEOUT                 1460L
#define ERROR_DEVICE_REMOVED          1617L
#define RPC_S_SERVER_UNAVAILABLE      1722L
#define ERROR_INVALID_USER_BUFFER     1784L
#define ERROR_RESOURCE_DATA_NOT_FOUND 1812L
#define ERROR_RESOURCE_TYPE_NOT_FOUND 1813L
#define ERROR_RESOURCE_NAME_NOT_FOUND 1814L
#define ERROR_RESOURCE_LANG_NOT_FOUND 1815L
#define ERROR_WMI_GUID_NOT_FOUND      4200L
#define ERROR_WMI_INSTANCE_NOT_FOUND  4201L

#define S_OK           ((HRESULT)0L)
#define S_FALSE        ((HRESULT)1L)
#define E_NOTIMPL      ((HRESULT)0x80004001L)
#define E_NOINTERFACE  ((HRESULT)0x80004002L)
#define E_POINTER      ((HRESULT)0x80004003L)
#define E_FAIL         ((HRESULT)0x80004005L)
#define E_UNEXPECTED   ((HRESULT)0x8000FFFFL)
#define E_ACCESSDENIED ((HRESULT)0x80070005L)
#define E_HANDLE       ((HRESULT)0x80070006L)
#define E_OUTOFMEMORY  ((HRESULT)0x8007000EL)
#define E_INVALIDARG   ((HRESULT)0x80070057L)

// COM and automation.
#define RPC_E_CHANGED_MODE    ((HRESULT)0x80010106L)
#define RPC_E_TOO_LATE        ((HRESULT)0x80010119L)
#define DISP_E_BADVARTYPE     ((HRESULT)0x80020008L)
#define CLASS_E_NOAGGREGATION ((HRESULT)0x80040110L)
#define REGDB_E_CLASSNOTREG   ((HRESULT)0x80040154L)
#define CO_E_NOTINITIALIZED   ((HRESULT)0x800401F0L)
#define CO_E_CLASSSTRING      ((HRESULT)0x800401F3L)
#define NOERROR               0

#define FACILITY_WIN32       7
#define SUCCEEDED(hr)        (((HRESULT)(hr)) >= 0)
#define FAILED(hr)           (((HRESULT)(hr)) < 0)
#define HRESULT_CODE(hr)     ((hr)&0xFFFF)
#define HRESULT_FACILITY(hr) (((hr) >> 16) & 0x1fff)
#define HRESULT_FROM_WIN32(x)                                                                                \
    ((HRESULT)(x) <= 0 ? ((HRESULT)(x)) : ((HRESULT)(((x)&0x0000FFFF) | (FACILITY_WIN32 << 16) | 0x80000000)))
