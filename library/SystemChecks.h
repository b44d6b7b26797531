// What both maintenance exports share: whether the caller may change the system, whether the
// library runs as a 32-bit process on 64-bit Windows (where it leaves the work to the 64-bit
// console tool), the system paths it builds, and the start of that tool.
#pragma once

#include <windows.h>

// The console tool in the system folder, run in the library's place from a 32-bit process.
#define OSTRIX_TOOL_FILE_NAME "Heskor_x64.exe"

// Non-zero when the calling thread's token is a member of the local Administrators group. Any
// failure counts as not an administrator.
BOOL IsUserAdmin();

// Non-zero when the library runs as a 32-bit process on 64-bit Windows.
BOOL IsWow64();

// "%Systemroot%\System32\<file>", printed from its format with doubled percent signs and
// expanded into pszPath (MAX_PATH characters). FALSE when it cannot be expanded or does not fit.
BOOL ExpandSystemPath(LPCSTR pszFileName, LPSTR pszPath);

// Starts a command line as a hidden child with no inherited handles, in this process's
// environment and current directory (CreateProcessA's result; the last error tells why not).
BOOL StartHidden(LPSTR pszCommandLine, DWORD dwCreationFlags, PROCESS_INFORMATION* pi);
// Waits for a started child without a time limit, closes its handles and returns its exit code.
DWORD WaitAndClose(PROCESS_INFORMATION& pi);

// Runs the console tool hidden with "/f" and the folder (empty when NULL) and waits for it.
// Non-zero when the tool could be started; its exit code does not count.
BOOL RunToolHidden(LPCSTR lpFileSavePath);

// Runs the console tool with "/r", the product ID and the command digit, and waits for it.
// Non-zero when the tool could be started; its exit code does not count.
BOOL RunToolHidden(LPCSTR ProductID, DWORD cmdPara);
