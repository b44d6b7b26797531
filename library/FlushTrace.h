// Trace capture: flushes the driver's running trace session, packs its log file with the system's
// cabinet tool and copies the cabinet into the caller's folder.
#pragma once

#include <windows.h>

#define OSTRIX_TRACE_LOGGER_NAME  "TARNOCOM"
#define OSTRIX_TRACE_LOG_FILE     "TARNOCOM.etl"
#define OSTRIX_TRACE_CABINET_FILE "TARNOCOM.cab"
#define OSTRIX_CABINET_TOOL_FILE  "makecab.exe"

// The properties block the library hands to the trace controller: the record, then the log file
// name and the logger name in text areas of their own.
#define OSTRIX_TRACE_NAME_AREA       1024
#define OSTRIX_TRACE_LOG_FILE_OFFSET sizeof(EVENT_TRACE_PROPERTIES)
#define OSTRIX_TRACE_LOGGER_OFFSET   (OSTRIX_TRACE_LOG_FILE_OFFSET + OSTRIX_TRACE_NAME_AREA)
#define OSTRIX_TRACE_PROPERTIES_SIZE (OSTRIX_TRACE_LOGGER_OFFSET + OSTRIX_TRACE_NAME_AREA)

// The steps of one capture. Each returns a Win32 error code, 0 on success.
class CFlushTrace
{
  public:
    // Flush, pack, copy; stops at the first failure.
    DWORD FlushTraceController(LPCSTR lpLogFilePath, LPCSTR lpLoggerName, LPCSTR lpDestinationFolder);
    // Flushes the session addressed by its name.
    DWORD FlushTraceExec(const GUID& sessionGuid, LPCSTR lpLogFilePath, LPCSTR lpLoggerName);
    // Moves the log file into the current directory, packs it there and writes the cabinet's full
    // path (MAX_PATH characters) into pszCabPath.
    DWORD CallMakecab(LPCSTR lpLogFilePath, LPSTR pszCabPath);
    // Copies a file over its destination and deletes the source once copied. A source that could
    // not be copied is kept.
    DWORD LogFileCopy(LPCSTR lpSourcePath, LPCSTR lpDestinationPath);
};

class CFlushTraceDll
{
  public:
    // A capture in this process into the folder (environment references allowed). TRUE when the
    // cabinet was written there.
    static BOOL DllFlushTrace(LPCSTR lpFileSavePath);
};

// Starts the driver's trace session with its provider enabled (the old system generation does not
// start it at boot). Only failures are logged.
void StartTraceSession();

// The driver's trace provider.
extern const GUID OstrixTraceProviderGuid;
