#include <windows.h>
#include <evntrace.h>
#include <objbase.h>

#include <Ostrix.h>

#include <locale.h>
#include <string.h>
#include <strsafe.h>

#include <string>

#include "FlushTrace.h"
#include "LogWriter.h"
#include "OstrixApp.h"
#include "ProductConstants.h"
#include "SystemChecks.h"

static_assert(OSTRIX_TRACE_LOG_FILE_OFFSET == 120, "the log file name follows the 120-byte record");
static_assert(OSTRIX_TRACE_PROPERTIES_SIZE == 2168, "two name areas after the record");

const GUID OstrixTraceProviderGuid = {TARNO_TRACE_GUID_INITIALIZER};

namespace
{
// The provider's GUID in the text form the trace settings show.
const WCHAR kProviderGuidText[] = L"{" TARNO_TRACE_GUID_TEXT "}";

// A zeroed properties block with its names, sizes and offsets.
PEVENT_TRACE_PROPERTIES NewTraceProperties(LPCSTR lpLogFilePath, LPCSTR lpLoggerName)
{
    BYTE* pBlock = new BYTE[OSTRIX_TRACE_PROPERTIES_SIZE]();
    PEVENT_TRACE_PROPERTIES pProperties = reinterpret_cast<PEVENT_TRACE_PROPERTIES>(pBlock);
    pProperties->Wnode.BufferSize = OSTRIX_TRACE_PROPERTIES_SIZE;
    pProperties->LogFileNameOffset = OSTRIX_TRACE_LOG_FILE_OFFSET;
    pProperties->LoggerNameOffset = OSTRIX_TRACE_LOGGER_OFFSET;
    if (lpLogFilePath != NULL)
    {
        StringCchCopyA(reinterpret_cast<LPSTR>(pBlock + OSTRIX_TRACE_LOG_FILE_OFFSET), OSTRIX_TRACE_NAME_AREA,
                       lpLogFilePath);
    }
    if (lpLoggerName != NULL)
    {
        StringCchCopyA(reinterpret_cast<LPSTR>(pBlock + OSTRIX_TRACE_LOGGER_OFFSET), OSTRIX_TRACE_NAME_AREA,
                       lpLoggerName);
    }
    return pProperties;
}

void DeleteTraceProperties(PEVENT_TRACE_PROPERTIES pProperties)
{
    delete[] reinterpret_cast<BYTE*>(pProperties);
}

// The closing lines of every step: its status, then its exit.
DWORD LogStatusAndExit(LPCSTR pszLabel, DWORD status)
{
    OSTRIX_LOG(LOG_LEVEL_INFO, LOG_TAG_INFO, "status=0x%08X", static_cast<unsigned int>(status));
    OSTRIX_LOG(LOG_LEVEL_INFO, LOG_TAG_EXIT, pszLabel);
    return status;
}

// Replaces every occurrence of pszFind in pszText.
void ReplaceAll(LPSTR pszText, size_t cchText, LPCSTR pszFind, LPCSTR pszReplace)
{
    std::string text = pszText;
    size_t cchFind = strlen(pszFind);
    for (size_t at = text.find(pszFind); at != std::string::npos;
         at = text.find(pszFind, at + strlen(pszReplace)))
    {
        text.replace(at, cchFind, pszReplace);
    }
    StringCchCopyA(pszText, cchText, text.c_str());
}
} // namespace

DWORD CFlushTrace::FlushTraceController(LPCSTR lpLogFilePath, LPCSTR lpLoggerName, LPCSTR lpDestinationFolder)
{
    static const char szLabel[] = "CFlushTrace::FlushTraceController";
    OSTRIX_LOG(LOG_LEVEL_INFO, LOG_TAG_ENTER, szLabel);
    size_t cchFolder = lpDestinationFolder != NULL ? strlen(lpDestinationFolder) : 0;
    if (cchFolder + strlen("\\") + strlen(OSTRIX_TRACE_CABINET_FILE) + 1 > MAX_PATH)
    {
        return ERROR_INVALID_PARAMETER;
    }

    DWORD status = FlushTraceExec(OstrixTraceProviderGuid, lpLogFilePath, lpLoggerName);
    char szLocalCab[MAX_PATH] = "";
    if (status == ERROR_SUCCESS)
    {
        status = CallMakecab(lpLogFilePath, szLocalCab);
    }
    if (status == ERROR_SUCCESS && lpDestinationFolder != NULL)
    {
        // The separator is always appended, also after a folder that ends in one.
        char szTarget[MAX_PATH];
        StringCchPrintfA(szTarget, ARRAYSIZE(szTarget), "%s\\%s", lpDestinationFolder,
                         OSTRIX_TRACE_CABINET_FILE);
        status = LogFileCopy(szLocalCab, szTarget);
    }
    return LogStatusAndExit(szLabel, status);
}

DWORD CFlushTrace::FlushTraceExec(const GUID& sessionGuid, LPCSTR lpLogFilePath, LPCSTR lpLoggerName)
{
    static const char szLabel[] = "CFlushTrace::FlushTraceExec";
    OSTRIX_LOG(LOG_LEVEL_INFO, LOG_TAG_ENTER, szLabel);
    PEVENT_TRACE_PROPERTIES pProperties = NewTraceProperties(lpLogFilePath, lpLoggerName);
    pProperties->Wnode.Guid = sessionGuid;
    // Addressed by its name: the session was started elsewhere.
    DWORD status = FlushTraceA(0, lpLoggerName, pProperties);
    DeleteTraceProperties(pProperties);
    return LogStatusAndExit(szLabel, status);
}

DWORD CFlushTrace::CallMakecab(LPCSTR lpLogFilePath, LPSTR pszCabPath)
{
    static const char szLabel[] = "CFlushTrace::CallMakecab";
    OSTRIX_LOG(LOG_LEVEL_INFO, LOG_TAG_ENTER, szLabel);
    DWORD status = ERROR_SUCCESS;
    char szCurrentDirectory[MAX_PATH] = "";
    char szLocalLog[MAX_PATH] = "";
    char szToolPath[MAX_PATH] = "";
    GetCurrentDirectoryA(ARRAYSIZE(szCurrentDirectory), szCurrentDirectory);
    StringCchPrintfA(szLocalLog, ARRAYSIZE(szLocalLog), "%s\\%s", szCurrentDirectory, OSTRIX_TRACE_LOG_FILE);
    OSTRIX_LOG(LOG_LEVEL_INFO, LOG_TAG_INFO, "Current Directory and etl file = %s", szLocalLog);

    status = LogFileCopy(lpLogFilePath, szLocalLog);
    if (status != ERROR_SUCCESS)
    {
        OSTRIX_LOG(LOG_LEVEL_ERROR, LOG_TAG_ERRINFO, "LogFileCopy failed 0x%x",
                   static_cast<unsigned int>(GetLastError()));
    }
    else if (!ExpandSystemPath(OSTRIX_CABINET_TOOL_FILE, szToolPath))
    {
        OSTRIX_LOG(LOG_LEVEL_ERROR, LOG_TAG_ERRINFO, "Failed to expand environment path 0x%x",
                   static_cast<unsigned int>(GetLastError()));
        status = ERROR_PATH_NOT_FOUND;
    }
    else
    {
        // The file names are relative: the tool works in the directory it inherits.
        char szCommandLine[1024];
        StringCchPrintfA(szCommandLine, ARRAYSIZE(szCommandLine), "%s %s %s", szToolPath,
                         OSTRIX_TRACE_LOG_FILE, OSTRIX_TRACE_CABINET_FILE);
        PROCESS_INFORMATION pi;
        BOOL bStarted = StartHidden(szCommandLine, CREATE_NO_WINDOW, &pi);
        DWORD dwStartError = GetLastError();
        OSTRIX_LOG(LOG_LEVEL_INFO, LOG_TAG_INFO, "command param = %s", szCommandLine);
        if (bStarted)
        {
            status = WaitAndClose(pi);
            DeleteFileA(szLocalLog);
            StringCchCopyA(pszCabPath, MAX_PATH, szLocalLog);
            ReplaceAll(pszCabPath, MAX_PATH, OSTRIX_TRACE_LOG_FILE, OSTRIX_TRACE_CABINET_FILE);
        }
        else
        {
            status = dwStartError;
            OSTRIX_LOG(LOG_LEVEL_ERROR, LOG_TAG_ERRINFO, "CreateProcess failed 0x%x",
                       static_cast<unsigned int>(status));
        }
    }
    return LogStatusAndExit(szLabel, status);
}

DWORD CFlushTrace::LogFileCopy(LPCSTR lpSourcePath, LPCSTR lpDestinationPath)
{
    static const char szLabel[] = "CFlushTrace::LogFileCopy";
    OSTRIX_LOG(LOG_LEVEL_INFO, LOG_TAG_ENTER, szLabel);
    DWORD status = ERROR_SUCCESS;
    if (lpSourcePath == NULL || lpDestinationPath == NULL)
    {
        status = ERROR_INVALID_PARAMETER;
    }
    else
    {
        OSTRIX_LOG(LOG_LEVEL_INFO, LOG_TAG_INFO, "LogFileName=\"%s\",CopyDstPath=\"%s\"", lpSourcePath,
                   lpDestinationPath);
        if (!CopyFileA(lpSourcePath, lpDestinationPath, FALSE))
        {
            // The source stays: for the first copy it is the only log there is.
            status = GetLastError();
            OSTRIX_LOG(LOG_LEVEL_ERROR, LOG_TAG_ERRINFO, "CopyFileA failed 0x%x",
                       static_cast<unsigned int>(status));
        }
        else if (!DeleteFileA(lpSourcePath))
        {
            // The running session holds the system's log file open; a failed delete is only noted.
            OSTRIX_LOG(LOG_LEVEL_ERROR, LOG_TAG_ERRINFO, "DeleteFileA failed 0x%x",
                       static_cast<unsigned int>(GetLastError()));
        }
    }
    return LogStatusAndExit(szLabel, status);
}

BOOL CFlushTraceDll::DllFlushTrace(LPCSTR lpFileSavePath)
{
    static const char szLabel[] = "CFlushTraceDll::DllFlushTrace";
    CFlushTrace* pFlushTrace = new CFlushTrace;
    setlocale(LC_CTYPE, "jpn");
    OSTRIX_LOG(LOG_LEVEL_INFO, LOG_TAG_ENTER, szLabel);
    if (lpFileSavePath == NULL)
    {
        delete pFlushTrace;
        return FALSE;
    }

    DWORD status = ERROR_SUCCESS;
    char szFolder[MAX_PATH] = "";
    char szLogFile[MAX_PATH] = "";
    DWORD cchFolder = ExpandEnvironmentStringsA(lpFileSavePath, szFolder, ARRAYSIZE(szFolder));
    if (cchFolder == 0 || cchFolder > ARRAYSIZE(szFolder))
    {
        // A folder whose expansion does not fit is too long: never a success with a cut path.
        status = cchFolder == 0 ? GetLastError() : static_cast<DWORD>(ERROR_INVALID_PARAMETER);
        if (status == ERROR_SUCCESS)
        {
            status = ERROR_INVALID_PARAMETER;
        }
        OSTRIX_LOG(LOG_LEVEL_ERROR, LOG_TAG_ERRINFO, "ExpandEnvironmentStrings Failed. status=%x",
                   static_cast<unsigned int>(status));
    }
    else
    {
        if (!ExpandSystemPath(OSTRIX_TRACE_LOG_FILE, szLogFile))
        {
            status = ERROR_PATH_NOT_FOUND;
        }
        else
        {
            status = pFlushTrace->FlushTraceController(szLogFile, OSTRIX_TRACE_LOGGER_NAME, szFolder);
        }

        // The old system generation does not start the session at boot: start it for the next
        // capture.
        OSVERSIONINFOEXA osvi;
        ZeroMemory(&osvi, sizeof(osvi));
        osvi.dwOSVersionInfoSize = sizeof(osvi);
        osvi.dwMajorVersion = 5;
        osvi.dwMinorVersion = 1;
        DWORDLONG dwlConditionMask = 0;
        VER_SET_CONDITION(dwlConditionMask, VER_MAJORVERSION, VER_EQUAL);
        VER_SET_CONDITION(dwlConditionMask, VER_MINORVERSION, VER_GREATER_EQUAL);
        if (VerifyVersionInfoA(&osvi, VER_MAJORVERSION | VER_MINORVERSION, dwlConditionMask))
        {
            StartTraceSession();
        }
        else
        {
            OSTRIX_LOG(LOG_LEVEL_ERROR, LOG_TAG_ERRINFO, "GetVertionEx Failed. status=%x",
                       static_cast<unsigned int>(GetLastError()));
        }
    }

    OSTRIX_LOG(LOG_LEVEL_INFO, LOG_TAG_INFO, "status=0x%08X", static_cast<unsigned int>(status));
    OSTRIX_LOG(LOG_LEVEL_INFO, LOG_TAG_EXIT, szLabel);
    delete pFlushTrace;
    return status == ERROR_SUCCESS;
}

void StartTraceSession()
{
    PEVENT_TRACE_PROPERTIES pProperties = NewTraceProperties(NULL, OSTRIX_TRACE_LOGGER_NAME);
    LPSTR pszLogFile = reinterpret_cast<LPSTR>(pProperties) + OSTRIX_TRACE_LOG_FILE_OFFSET;
    if (!ExpandSystemPath(OSTRIX_TRACE_LOG_FILE, pszLogFile))
    {
        DeleteTraceProperties(pProperties);
        return;
    }
    pProperties->Wnode.Guid = OstrixTraceProviderGuid;
    pProperties->Wnode.ClientContext = 1; // performance-counter time stamps
    pProperties->Wnode.Flags = WNODE_FLAG_TRACED_GUID;
    pProperties->BufferSize = 1024; // kilobytes
    pProperties->MinimumBuffers = 0;
    pProperties->MaximumBuffers = 1;
    pProperties->MaximumFileSize = 1; // megabytes
    pProperties->LogFileMode = EVENT_TRACE_FILE_MODE_CIRCULAR;

    TRACEHANDLE hSession = 0;
    ULONG status = StartTraceA(&hSession, OSTRIX_TRACE_LOGGER_NAME, pProperties);
    DeleteTraceProperties(pProperties);
    if (status != ERROR_SUCCESS)
    {
        if (status == ERROR_ACCESS_DENIED)
        {
            OSTRIX_LOG(LOG_LEVEL_ERROR, LOG_TAG_ERRINFO, "StartTrace Failed. Access Denied.");
        }
        else if (status == ERROR_ALREADY_EXISTS)
        {
            OSTRIX_LOG(LOG_LEVEL_ERROR, LOG_TAG_ERRINFO, "StartTrace Failed. Session is already exists.");
        }
        else
        {
            OSTRIX_LOG(LOG_LEVEL_ERROR, LOG_TAG_ERRINFO, "StartTrace Failed. status=0x%x",
                       static_cast<unsigned int>(status));
        }
        return;
    }
    GUID providerGuid;
    if (FAILED(CLSIDFromString(kProviderGuidText, &providerGuid)))
    {
        return;
    }
    status = EnableTrace(TRUE, 0, TRACE_LEVEL_INFORMATION, &providerGuid, hSession);
    if (status != ERROR_SUCCESS)
    {
        OSTRIX_LOG(LOG_LEVEL_ERROR, LOG_TAG_ERRINFO, "EnableTrace Failed. status=0x%x",
                   static_cast<unsigned int>(status));
    }
}

extern "C" BOOLEAN WINAPI rwGetTARNOLogFile(SHORT iParameter, LPCSTR lpFileSavePath)
{
    static const char szLabel[] = "rwGetTARNOLogFile";
    OSTRIX_LOG(LOG_LEVEL_INFO, LOG_TAG_ENTER, szLabel);
    EnterCriticalSection(&sgCSLock);
    OSTRIX_LOG(LOG_LEVEL_INFO, LOG_TAG_CSLOCK, szLabel);
    OSTRIX_LOG(LOG_LEVEL_INFO, LOG_TAG_INFO, "rwGetTARNOLogFile iParameter = %d lpFileSavePath = %s",
               iParameter, lpFileSavePath != NULL ? lpFileSavePath : "(null)");

    BOOL bResult = FALSE;
    if (!IsUserAdmin())
    {
        bResult = FALSE;
    }
    else if (IsWow64())
    {
        bResult = RunToolHidden(lpFileSavePath);
    }
    else
    {
        bResult = CFlushTraceDll::DllFlushTrace(lpFileSavePath);
    }

    OSTRIX_LOG(LOG_LEVEL_INFO, LOG_TAG_CSUNLOCK, szLabel);
    LeaveCriticalSection(&sgCSLock);
    OSTRIX_LOG(LOG_LEVEL_INFO, LOG_TAG_INFO, "rwGetTARNOLogFile = %s", bResult ? "True" : "False");
    OSTRIX_LOG(LOG_LEVEL_INFO, LOG_TAG_EXIT, szLabel);
    return bResult ? TRUE : FALSE;
}
