// The COM-name database functions of msports.dll, which MinGW-w64 ships an import library for but
// no header. Declarations as Windows' own msports.h has them; used by the Windows build only.
#pragma once

#include <windows.h>

#ifdef __cplusplus
extern "C"
{
#endif

    DECLARE_HANDLE(HCOMDB);
    typedef HCOMDB* PHCOMDB;

#define HCOMDB_INVALID_HANDLE_VALUE ((HCOMDB)INVALID_HANDLE_VALUE)

#define COMDB_MIN_PORTS_ARBITRATED 256
#define COMDB_MAX_PORTS_ARBITRATED 4096

#define CDB_REPORT_BITS  0x0
#define CDB_REPORT_BYTES 0x1

    LONG WINAPI ComDBOpen(PHCOMDB PHComDB);
    LONG WINAPI ComDBClose(HCOMDB HComDB);
    LONG WINAPI ComDBGetCurrentPortUsage(HCOMDB HComDB, PBYTE Buffer, DWORD BufferSize, ULONG ReportType,
                                         LPDWORD MaxPortsReported);
    LONG WINAPI ComDBClaimNextFreePort(HCOMDB HComDB, LPDWORD ComNumber);
    LONG WINAPI ComDBClaimPort(HCOMDB HComDB, DWORD ComNumber, BOOL ForceClaim, PBOOL Forced);
    LONG WINAPI ComDBReleasePort(HCOMDB HComDB, DWORD ComNumber);
    LONG WINAPI ComDBResizeDatabase(HCOMDB HComDB, DWORD NewSize);

#ifdef __cplusplus
}
#endif
