#include "SystemChecks.h"

#include <stdio.h>
#include <strsafe.h>

#include "LogWriter.h"

namespace
{
typedef BOOL(WINAPI* LPFN_ISWOW64PROCESS)(HANDLE hProcess, PBOOL Wow64Process);

// Looked up at each call; kept for the process.
LPFN_ISWOW64PROCESS fnIsWow64Process = NULL;

// Longest command line the library builds: the tool's path and its arguments.
const size_t kMaxCommandLine = 1024;

// Starts the console tool's command line hidden and waits for it. FALSE, with the error logged,
// when it could not be started.
BOOL StartHiddenAndWait(LPSTR pszCommandLine, DWORD dwCreationFlags)
{
    PROCESS_INFORMATION pi;
    if (!StartHidden(pszCommandLine, dwCreationFlags, &pi))
    {
        OSTRIX_LOG(LOG_LEVEL_ERROR, LOG_TAG_ERRINFO, "Failed to CreateProcess GetLastError = 0x%x",
                   static_cast<unsigned int>(GetLastError()));
        return FALSE;
    }
    WaitAndClose(pi);
    return TRUE;
}

// The tool's expanded path, or FALSE with the error logged.
BOOL ToolPath(LPSTR pszToolPath)
{
    if (!ExpandSystemPath(OSTRIX_TOOL_FILE_NAME, pszToolPath))
    {
        OSTRIX_LOG(LOG_LEVEL_ERROR, LOG_TAG_ERRINFO, "Failed to expand environment path 0x%x",
                   static_cast<unsigned int>(GetLastError()));
        return FALSE;
    }
    return TRUE;
}
} // namespace

BOOL StartHidden(LPSTR pszCommandLine, DWORD dwCreationFlags, PROCESS_INFORMATION* pi)
{
    STARTUPINFOA si;
    ZeroMemory(&si, sizeof(si));
    ZeroMemory(pi, sizeof(*pi));
    si.cb = sizeof(si);
    si.dwFlags = STARTF_USESHOWWINDOW;
    si.wShowWindow = SW_HIDE;
    return CreateProcessA(NULL, pszCommandLine, NULL, NULL, FALSE, dwCreationFlags, NULL, NULL, &si, pi);
}

DWORD WaitAndClose(PROCESS_INFORMATION& pi)
{
    WaitForSingleObject(pi.hProcess, INFINITE);
    DWORD dwExitCode = 0;
    GetExitCodeProcess(pi.hProcess, &dwExitCode);
    CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);
    return dwExitCode;
}

BOOL IsUserAdmin()
{
    SID_IDENTIFIER_AUTHORITY NtAuthority = SECURITY_NT_AUTHORITY;
    PSID pAdministrators = NULL;
    if (!AllocateAndInitializeSid(&NtAuthority, 2, SECURITY_BUILTIN_DOMAIN_RID, DOMAIN_ALIAS_RID_ADMINS, 0, 0,
                                  0, 0, 0, 0, &pAdministrators))
    {
        return FALSE;
    }
    BOOL bMember = FALSE;
    if (!CheckTokenMembership(NULL, pAdministrators, &bMember))
    {
        bMember = FALSE;
    }
    FreeSid(pAdministrators);
    return bMember;
}

BOOL IsWow64()
{
    static const char szLabel[] = "IsWow64";
    OSTRIX_LOG(LOG_LEVEL_INFO, LOG_TAG_ENTER, szLabel);
    BOOL bIsWow64 = FALSE;
    fnIsWow64Process = reinterpret_cast<LPFN_ISWOW64PROCESS>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleA("kernel32"), "IsWow64Process")));
    if (fnIsWow64Process != NULL && !fnIsWow64Process(GetCurrentProcess(), &bIsWow64))
    {
        OSTRIX_LOG(LOG_LEVEL_ERROR, LOG_TAG_ERRINFO, "handle error");
        bIsWow64 = FALSE;
    }
    OSTRIX_LOG(LOG_LEVEL_INFO, LOG_TAG_INFO, "bIsWow64=%d", bIsWow64);
    OSTRIX_LOG(LOG_LEVEL_INFO, LOG_TAG_EXIT, szLabel);
    return bIsWow64;
}

BOOL ExpandSystemPath(LPCSTR pszFileName, LPSTR pszPath)
{
    char szFormatted[1024];
    if (FAILED(StringCchPrintfA(szFormatted, ARRAYSIZE(szFormatted), "%%Systemroot%%\\System32\\%s",
                                pszFileName)))
    {
        return FALSE;
    }
    DWORD cchExpanded = ExpandEnvironmentStringsA(szFormatted, pszPath, MAX_PATH);
    return cchExpanded != 0 && cchExpanded <= MAX_PATH;
}

BOOL RunToolHidden(LPCSTR lpFileSavePath)
{
    char szToolPath[MAX_PATH];
    if (!ToolPath(szToolPath))
    {
        return FALSE;
    }
    char szCommandLine[kMaxCommandLine];
    StringCchPrintfA(szCommandLine, ARRAYSIZE(szCommandLine), "%s %s %s", szToolPath, "/f",
                     lpFileSavePath != NULL ? lpFileSavePath : "");
    OSTRIX_LOG(LOG_LEVEL_ERROR, LOG_TAG_ERRINFO, "%s", szCommandLine);
    return StartHiddenAndWait(szCommandLine, CREATE_NO_WINDOW);
}

BOOL RunToolHidden(LPCSTR ProductID, DWORD cmdPara)
{
    char szToolPath[MAX_PATH];
    if (!ToolPath(szToolPath))
    {
        return FALSE;
    }
    char szCommand[2] = {static_cast<char>('0' + cmdPara), 0};
    char szCommandLine[kMaxCommandLine];
    StringCchPrintfA(szCommandLine, ARRAYSIZE(szCommandLine), "%s %s %s %s", szToolPath, "/r", ProductID,
                     szCommand);
    OSTRIX_LOG(LOG_LEVEL_ERROR, LOG_TAG_ERRINFO, "%s", szCommandLine);
    return StartHiddenAndWait(szCommandLine, NORMAL_PRIORITY_CLASS);
}
