// msports' COM-name database functions, with the names, constants and signatures of the Windows
// header of the same name.
#pragma once

#include <windows.h>

WINSIM_EXTERN_C_BEGIN

// A handle to the COM-name database, from ComDBOpen.
DECLARE_HANDLE(HCOMDB);
typedef HCOMDB* PHCOMDB;
#define HCOMDB_INVALID_HANDLE_VALUE ((HCOMDB)INVALID_HANDLE_VALUE)

// The number of COM names the database arbitrates: ComDBResizeDatabase's limits.
#define COMDB_MIN_PORTS_ARBITRATED 256
#define COMDB_MAX_PORTS_ARBITRATED 4096

// ComDBGetCurrentPortUsage report types.
#define CDB_REPORT_BITS  0x0
#define CDB_REPORT_BYTES 0x1

WINSIM_API LONG WINAPI ComDBOpen(PHCOMDB PHComDB);
WINSIM_API LONG WINAPI ComDBClose(HCOMDB HComDB);
WINSIM_API LONG WINAPI ComDBGetCurrentPortUsage(HCOMDB HComDB, PBYTE Buffer, DWORD BufferSize,
                                                ULONG ReportType, LPDWORD MaxPortsReported);
WINSIM_API LONG WINAPI ComDBClaimNextFreePort(HCOMDB HComDB, LPDWORD ComNumber);
WINSIM_API LONG WINAPI ComDBClaimPort(HCOMDB HComDB, DWORD ComNumber, BOOL ForceClaim, PBOOL Forced);
WINSIM_API LONG WINAPI ComDBReleasePort(HCOMDB HComDB, DWORD ComNumber);
WINSIM_API LONG WINAPI ComDBResizeDatabase(HCOMDB HComDB, DWORD NewSize);

WINSIM_EXTERN_C_END
