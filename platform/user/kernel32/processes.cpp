// Processes: the process itself (its pseudo-handle, its bitness and the settings the machine gives
// it) and the child processes it starts (CreateProcessA), their handles and exit codes.
//
// The machine passes a process its settings in the environment, so that a program it starts
// inherits them: WINSIM_TOKEN=standard makes it a standard user's (see advapi32/security.cpp),
// WINSIM_WOW64=1 a 32-bit process on 64-bit Windows.
//
// A program of the machine is a host executable under its Windows name (C:\Windows\System32\x.exe
// is drive_c/Windows/System32/x.exe in the machine's folder), so a child process is a real host
// process, started here with posix_spawn. Its process and thread handles name kernel objects
// (CreateChildProcess) that the kernel signals when the host process ends, so the waits on them,
// and their time-outs, are the machine's like any other. The child finds its machine through
// WINSIM_ROOT, which it gets set to this process's machine folder, as a program winsim-run starts
// does (see docs/simulated-machine.md for what that machine is).
#include "internal.h"
#include "ntdll/ntdll.h"

#include <winsim/user.h>

#include <errno.h>
#include <fcntl.h>
#include <spawn.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

extern char** environ;

namespace winsim::user
{
namespace
{

// The pseudo-handle GetCurrentProcess returns.
HANDLE const kCurrentProcess = reinterpret_cast<HANDLE>(static_cast<intptr_t>(-1));

// The creation flags a program of the machine can be started with: it has no windows and one
// priority class.
constexpr DWORD kSupportedCreationFlags = CREATE_NO_WINDOW | NORMAL_PRIORITY_CLASS;

bool IsBlank(char c)
{
    return c == ' ' || c == '\t';
}

// The arguments of a command line as the C runtime splits them: blanks separate, double quotes
// group, 2n backslashes before a quote stand for n backslashes, 2n+1 for n and a literal quote.
std::vector<std::string> SplitArguments(std::string_view line)
{
    std::vector<std::string> args;
    size_t i = 0;
    for (;;)
    {
        while (i < line.size() && IsBlank(line[i]))
        {
            ++i;
        }
        if (i >= line.size())
        {
            break;
        }
        std::string arg;
        bool quoted = false;
        while (i < line.size() && (quoted || !IsBlank(line[i])))
        {
            size_t slashes = 0;
            while (i < line.size() && line[i] == '\\')
            {
                ++slashes;
                ++i;
            }
            if (i < line.size() && line[i] == '"')
            {
                arg.append(slashes / 2, '\\');
                if (slashes % 2 == 1)
                {
                    arg.push_back('"');
                }
                else
                {
                    quoted = !quoted;
                }
                ++i;
            }
            else
            {
                arg.append(slashes, '\\');
                if (i < line.size() && (quoted || !IsBlank(line[i])))
                {
                    arg.push_back(line[i]);
                    ++i;
                }
            }
        }
        args.push_back(std::move(arg));
    }
    return args;
}

bool IsRegularFile(const std::string& hostPath)
{
    struct stat st;
    return stat(hostPath.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

bool HasFolder(std::string_view name)
{
    return name.find_first_of("\\/:") != std::string_view::npos;
}

bool HasExtension(std::string_view name)
{
    size_t folder = name.find_last_of("\\/:");
    size_t dot = name.find_last_of('.');
    return dot != std::string_view::npos && (folder == std::string_view::npos || dot > folder);
}

// The folders a bare program name is looked for in, in Windows' order: the folder of this
// process's program, the current folder, the system folder, the Windows folder, then the folders
// of PATH (a Windows PATH: separated by semicolons).
std::vector<std::string> SearchFolders()
{
    std::vector<std::string> folders;
    char self[4096];
    ssize_t length = readlink("/proc/self/exe", self, sizeof(self) - 1);
    if (length > 0)
    {
        std::string program(self, static_cast<size_t>(length));
        folders.push_back(program.substr(0, program.find_last_of('/')));
    }
    char cwd[4096];
    if (getcwd(cwd, sizeof(cwd)) != nullptr)
    {
        folders.push_back(cwd);
    }
    std::string drive = ntdll::SystemDriveDirectory();
    folders.push_back(drive + "/Windows/System32");
    folders.push_back(drive + "/Windows");
    char path[32767];
    DWORD size = GetEnvironmentVariableA("PATH", path, sizeof(path));
    std::string_view list(path, size < sizeof(path) ? size : 0);
    while (!list.empty())
    {
        size_t end = list.find(';');
        std::string_view entry = list.substr(0, end);
        std::string host;
        unsigned error = 0;
        if (!entry.empty() && winsim::ToHostPath(entry, host, error))
        {
            folders.push_back(host);
        }
        list.remove_prefix(end == std::string_view::npos ? list.size() : end + 1);
    }
    return folders;
}

// The host file of a program named by a command line's first token. As Windows documents it:
// ".exe" is added to a name without extension, unless the name ends in a period or has a folder in
// it; a name with a folder is taken as it is (relative to the current folder), a bare name is
// searched for (SearchFolders).
bool FindProgram(std::string name, std::string& hostPath)
{
    if (!name.empty() && name.back() == '.')
    {
        name.pop_back();
    }
    else if (!HasExtension(name) && !HasFolder(name))
    {
        name += ".exe";
    }
    if (name.empty())
    {
        return false;
    }
    if (HasFolder(name))
    {
        unsigned error = 0;
        return winsim::ToHostPath(name, hostPath, error) && IsRegularFile(hostPath);
    }
    for (const std::string& folder : SearchFolders())
    {
        if (IsRegularFile(folder + "/" + name))
        {
            hostPath = folder + "/" + name;
            return true;
        }
    }
    return false;
}

// The program a command line names when no application name is given: a quoted first token, or
// else, since an unquoted name may have blanks in it, each longer run up to the next blank in turn
// ("c:\program files\x.exe" tries c:\program, then c:\program files\x.exe).
bool ProgramOfCommandLine(std::string_view line, std::string& hostPath)
{
    while (!line.empty() && IsBlank(line.front()))
    {
        line.remove_prefix(1);
    }
    if (!line.empty() && line.front() == '"')
    {
        size_t close = line.find('"', 1);
        return FindProgram(std::string(line.substr(1, close == std::string_view::npos ? close : close - 1)),
                           hostPath);
    }
    size_t end = 0;
    for (;;)
    {
        end = line.find_first_of(" \t", end);
        if (FindProgram(std::string(line.substr(0, end)), hostPath))
        {
            return true;
        }
        if (end == std::string_view::npos)
        {
            return false;
        }
        ++end;
    }
}

// The child's environment: the caller's block (ANSI strings, each with its NUL, then one more) or
// this process's environment, with the machine's folder.
std::vector<std::string> ChildEnvironment(LPVOID block)
{
    std::vector<std::string> env;
    if (block != nullptr)
    {
        for (const char* entry = static_cast<const char*>(block); *entry != 0; entry += strlen(entry) + 1)
        {
            env.emplace_back(entry);
        }
    }
    else
    {
        for (char** entry = environ; *entry != nullptr; ++entry)
        {
            env.emplace_back(*entry);
        }
    }
    std::string root = "WINSIM_ROOT=" + ntdll::MachineRootDirectory();
    bool found = false;
    for (std::string& entry : env)
    {
        if (entry.compare(0, 12, "WINSIM_ROOT=") == 0)
        {
            entry = root;
            found = true;
        }
    }
    if (!found)
    {
        env.push_back(root);
    }
    return env;
}

std::vector<char*> PointersTo(std::vector<std::string>& strings)
{
    std::vector<char*> pointers;
    for (std::string& s : strings)
    {
        pointers.push_back(s.data());
    }
    pointers.push_back(nullptr);
    return pointers;
}

// Starts the host program with its arguments, environment and folder (empty: this one's). The child
// gets this process's standard input, output and error and no other descriptor; a child without a
// console (CREATE_NO_WINDOW) gets none of them: what it writes goes nowhere, as into the console
// Windows gives it without a window.
int Spawn(const std::string& program, std::vector<std::string>& args, std::vector<std::string>& env,
          const std::string& folder, bool noConsole, pid_t* pid)
{
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (noConsole)
    {
        posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
        posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
        posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    }
    if (!folder.empty())
    {
        posix_spawn_file_actions_addchdir_np(&actions, folder.c_str());
    }
    posix_spawn_file_actions_addclosefrom_np(&actions, 3);
    std::vector<char*> argv = PointersTo(args);
    std::vector<char*> envp = PointersTo(env);
    int error = posix_spawn(pid, program.c_str(), &actions, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    return error;
}

bool QueryProcess(HANDLE process, syscall::PROCESS_BASIC_INFORMATION* info)
{
    NTSTATUS status =
        NtQueryInformationProcess(process, syscall::ProcessBasicInformation, info, sizeof(*info), nullptr);
    return NT_SUCCESS(status) ? true : ntdll::FailWith(status) != FALSE;
}

} // namespace

bool ProcessRunsAsAdministrator()
{
    const char* token = getenv("WINSIM_TOKEN");
    return token == nullptr || strcmp(token, "standard") != 0;
}

bool ProcessIsWow64()
{
    const char* wow64 = getenv("WINSIM_WOW64");
    return wow64 != nullptr && strcmp(wow64, "1") == 0;
}

} // namespace winsim::user

using namespace winsim::user;

extern "C"
{

    HANDLE WINAPI GetCurrentProcess(void)
    {
        return kCurrentProcess;
    }

    BOOL WINAPI IsWow64Process(HANDLE hProcess, PBOOL Wow64Process)
    {
        if (Wow64Process == nullptr)
        {
            SetLastError(ERROR_INVALID_PARAMETER);
            return FALSE;
        }
        // The bitness of another process is not known to this machine.
        if (hProcess != kCurrentProcess)
        {
            SetLastError(ERROR_INVALID_HANDLE);
            return FALSE;
        }
        *Wow64Process = ProcessIsWow64() ? TRUE : FALSE;
        return TRUE;
    }

    BOOL WINAPI CreateProcessA(LPCSTR lpApplicationName, LPSTR lpCommandLine,
                               LPSECURITY_ATTRIBUTES lpProcessAttributes,
                               LPSECURITY_ATTRIBUTES lpThreadAttributes, BOOL bInheritHandles,
                               DWORD dwCreationFlags, LPVOID lpEnvironment, LPCSTR lpCurrentDirectory,
                               LPSTARTUPINFOA lpStartupInfo, LPPROCESS_INFORMATION lpProcessInformation)
    {
        (void)lpProcessAttributes;
        (void)lpThreadAttributes;
        if ((lpApplicationName == nullptr && (lpCommandLine == nullptr || *lpCommandLine == 0)) ||
            lpStartupInfo == nullptr || lpProcessInformation == nullptr)
        {
            SetLastError(ERROR_INVALID_PARAMETER);
            return FALSE;
        }
        // Inherited handles, other creation flags and standard handles of the caller's choice are
        // beyond this machine: refused, rather than ignored.
        if (bInheritHandles || (dwCreationFlags & ~kSupportedCreationFlags) != 0 ||
            (lpStartupInfo->dwFlags & STARTF_USESTDHANDLES) != 0)
        {
            SetLastError(ERROR_NOT_SUPPORTED);
            return FALSE;
        }
        std::string program;
        if (lpApplicationName != nullptr)
        {
            // Taken as it is, relative to the current folder: no search and no added extension.
            unsigned error = 0;
            if (!winsim::ToHostPath(lpApplicationName, program, error))
            {
                SetLastError(error);
                return FALSE;
            }
            if (!IsRegularFile(program))
            {
                SetLastError(ERROR_FILE_NOT_FOUND);
                return FALSE;
            }
        }
        else if (!ProgramOfCommandLine(lpCommandLine, program))
        {
            SetLastError(ERROR_FILE_NOT_FOUND);
            return FALSE;
        }
        std::vector<std::string> args =
            SplitArguments(lpCommandLine != nullptr ? lpCommandLine : lpApplicationName);
        if (args.empty())
        {
            args.emplace_back(lpApplicationName);
        }
        std::string folder;
        if (lpCurrentDirectory != nullptr)
        {
            unsigned error = 0;
            struct stat st;
            if (!winsim::ToHostPath(lpCurrentDirectory, folder, error) || stat(folder.c_str(), &st) != 0 ||
                !S_ISDIR(st.st_mode))
            {
                SetLastError(ERROR_DIRECTORY);
                return FALSE;
            }
        }
        std::vector<std::string> env = ChildEnvironment(lpEnvironment);

        pid_t pid = 0;
        int error = Spawn(program, args, env, folder, (dwCreationFlags & CREATE_NO_WINDOW) != 0, &pid);
        if (error != 0)
        {
            SetLastError(error == ENOEXEC ? ERROR_BAD_EXE_FORMAT : ErrorFromErrno(error));
            return FALSE;
        }
        HANDLE process = nullptr;
        HANDLE thread = nullptr;
        DWORD threadId = 0;
        NTSTATUS status = winsim::ntdll::CreateChildProcess(pid, &process, &thread, &threadId);
        if (!NT_SUCCESS(status))
        {
            return winsim::ntdll::FailWith(status);
        }
        lpProcessInformation->hProcess = process;
        lpProcessInformation->hThread = thread;
        lpProcessInformation->dwProcessId = static_cast<DWORD>(pid);
        lpProcessInformation->dwThreadId = threadId;
        return TRUE;
    }

    BOOL WINAPI GetExitCodeProcess(HANDLE hProcess, LPDWORD lpExitCode)
    {
        if (lpExitCode == nullptr)
        {
            SetLastError(ERROR_INVALID_PARAMETER);
            return FALSE;
        }
        if (hProcess == kCurrentProcess)
        {
            *lpExitCode = STILL_ACTIVE;
            return TRUE;
        }
        winsim::syscall::PROCESS_BASIC_INFORMATION info;
        if (!QueryProcess(hProcess, &info))
        {
            return FALSE;
        }
        *lpExitCode = static_cast<DWORD>(info.ExitStatus);
        return TRUE;
    }

    DWORD WINAPI GetProcessId(HANDLE Process)
    {
        if (Process == kCurrentProcess)
        {
            return GetCurrentProcessId();
        }
        winsim::syscall::PROCESS_BASIC_INFORMATION info;
        return QueryProcess(Process, &info) ? static_cast<DWORD>(info.UniqueProcessId) : 0;
    }

} // extern "C"
