// Modules: LoadLibraryA, GetProcAddress, FreeLibrary, GetModuleFileNameA, GetModuleHandleA.
//
// A module handle is the base address of the mapped module, as on Windows. Each DLL is an ELF
// shared object under its Windows file name; dllstart.cpp, linked into it, runs its DllMain.
#include "internal.h"
#include "dllstart.h"
#include "ntdll/ntdll.h"

#include <winsim/user.h>

#include <dlfcn.h>
#include <fcntl.h>
#include <link.h>
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <map>
#include <vector>
#include <mutex>

namespace winsim::user
{
namespace
{

struct Module
{
    void* handle = nullptr;
    unsigned references = 0;
};

struct ModuleList
{
    std::mutex lock;
    std::map<uintptr_t, Module> modules;
};

ModuleList& Modules()
{
    static ModuleList* list = new ModuleList;
    return *list;
}

thread_local int t_loading = 0;
thread_local int t_unloading = 0;
thread_local bool t_attachFailed = false;

bool FileExists(const std::string& path)
{
    struct stat st;
    return stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

std::string HostFolderOf(const std::string& path)
{
    size_t slash = path.find_last_of('/');
    if (slash == std::string::npos)
    {
        return ".";
    }
    return slash == 0 ? "/" : path.substr(0, slash);
}

std::string ExecutablePath()
{
    char buffer[PATH_MAX];
    ssize_t n = readlink("/proc/self/exe", buffer, sizeof(buffer) - 1);
    if (n <= 0)
    {
        return std::string();
    }
    return std::string(buffer, static_cast<size_t>(n));
}

bool IsElf(const std::string& path)
{
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
    {
        return false;
    }
    char magic[4] = {};
    bool elf = read(fd, magic, 4) == 4 && memcmp(magic,
                                                 "\x7F"
                                                 "ELF",
                                                 4) == 0;
    close(fd);
    return elf;
}

// Finds the file LoadLibraryA means. A name with a folder part (a backslash, a slash, a drive or a
// leading ".") is taken relative to the current directory only. A bare name is searched as
// Windows' standard search order (safe DLL search mode) has it: the executable's folder, the
// system folder (C:\Windows\System32), the Windows folder, then the current directory.
bool ResolveModule(LPCSTR lpLibFileName, std::string& hostPath)
{
    std::string name(lpLibFileName);
    size_t lastSeparator = name.find_last_of("\\/");
    std::string last = lastSeparator == std::string::npos ? name : name.substr(lastSeparator + 1);
    if (!last.empty() && last.back() == '.')
    {
        name.pop_back();
    }
    else if (last.find('.') == std::string::npos)
    {
        name += ".dll";
    }
    bool hasFolder = name.find_first_of("\\/:") != std::string::npos || name[0] == '.';
    std::vector<std::string> candidates;
    if (hasFolder)
    {
        std::string host;
        if (!HostPathOf(name.c_str(), host))
        {
            SetLastError(ERROR_MOD_NOT_FOUND);
            return false;
        }
        candidates.push_back(host);
    }
    else
    {
        candidates.push_back(HostFolderOf(ExecutablePath()) + "/" + name);
        std::string drive = ntdll::SystemDriveDirectory();
        if (!drive.empty())
        {
            candidates.push_back(drive + "/Windows/System32/" + name);
            candidates.push_back(drive + "/Windows/" + name);
        }
        std::string host;
        if (HostPathOf(name.c_str(), host))
        {
            candidates.push_back(host);
        }
    }
    for (const std::string& candidate : candidates)
    {
        if (FileExists(candidate))
        {
            char real[PATH_MAX];
            hostPath = realpath(candidate.c_str(), real) != nullptr ? real : candidate;
            return true;
        }
    }
    SetLastError(ERROR_MOD_NOT_FOUND);
    return false;
}

uintptr_t BaseOf(void* handle)
{
    struct link_map* map = nullptr;
    if (dlinfo(handle, RTLD_DI_LINKMAP, &map) != 0 || map == nullptr)
    {
        return 0;
    }
    Dl_info info;
    if (dladdr(map->l_ld, &info) == 0)
    {
        return 0;
    }
    return reinterpret_cast<uintptr_t>(info.dli_fbase);
}

// The system's own DLLs: on the machine their code is the platform's user-mode library, one module
// for all of them.
bool IsSystemDll(std::string name)
{
    size_t slash = name.find_last_of("\\/");
    if (slash != std::string::npos)
    {
        name = name.substr(slash + 1);
    }
    for (char& c : name)
    {
        c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
    }
    if (name.size() > 4 && name.compare(name.size() - 4, 4, ".dll") == 0)
    {
        name.resize(name.size() - 4);
    }
    static const char* const systemDlls[] = {"kernel32", "kernelbase", "ntdll",    "advapi32",
                                             "user32",   "setupapi",   "ole32",    "oleaut32",
                                             "msports",  "comctl32",   "wbemprox", "cfgmgr32"};
    for (const char* dll : systemDlls)
    {
        if (name == dll)
        {
            return true;
        }
    }
    return false;
}

// Whether a module's file has this name (a bare name matches any folder; the case is ignored).
bool ModuleHasName(void* handle, const std::string& name)
{
    struct link_map* map = nullptr;
    if (dlinfo(handle, RTLD_DI_LINKMAP, &map) != 0 || map == nullptr || map->l_name == nullptr)
    {
        return false;
    }
    std::string file = winsim::ToWindowsPath(map->l_name);
    std::string wanted = name;
    if (wanted.find_first_of("\\/:") == std::string::npos)
    {
        size_t slash = file.find_last_of('\\');
        file = slash != std::string::npos ? file.substr(slash + 1) : file;
    }
    if (wanted.find('.') == std::string::npos)
    {
        wanted += ".dll";
    }
    return strcasecmp(file.c_str(), wanted.c_str()) == 0;
}

} // namespace
} // namespace winsim::user

using namespace winsim::user;

extern "C"
{

    LPVOID WinsimDllReserved(BOOL attach)
    {
        bool dynamic = attach ? t_loading > 0 : t_unloading > 0;
        return dynamic ? nullptr : reinterpret_cast<LPVOID>(1);
    }

    void WinsimDllAttached(HINSTANCE hinstDLL, BOOL result)
    {
        if (result)
        {
            return;
        }
        if (t_loading > 0)
        {
            t_attachFailed = true;
            return;
        }
        char name[MAX_PATH];
        DWORD length = GetModuleFileNameA(hinstDLL, name, MAX_PATH);
        fprintf(stderr, "The process cannot start: the initialisation of %s failed.\n",
                length != 0 ? name : "a DLL");
        _exit(0x42);
    }

    HMODULE WINAPI LoadLibraryA(LPCSTR lpLibFileName)
    {
        if (lpLibFileName == nullptr || lpLibFileName[0] == 0)
        {
            SetLastError(ERROR_INVALID_PARAMETER);
            return nullptr;
        }
        std::string host;
        if (!ResolveModule(lpLibFileName, host))
        {
            return nullptr;
        }
        bool savedFailure = t_attachFailed;
        t_attachFailed = false;
        ++t_loading;
        void* handle = dlopen(host.c_str(), RTLD_NOW | RTLD_LOCAL);
        --t_loading;
        bool attachFailed = t_attachFailed;
        t_attachFailed = savedFailure;
        if (handle == nullptr)
        {
            SetLastError(IsElf(host) ? ERROR_MOD_NOT_FOUND : ERROR_BAD_EXE_FORMAT);
            return nullptr;
        }
        if (attachFailed)
        {
            ++t_unloading;
            dlclose(handle);
            --t_unloading;
            SetLastError(ERROR_DLL_INIT_FAILED);
            return nullptr;
        }
        uintptr_t base = BaseOf(handle);
        ModuleList& list = Modules();
        std::lock_guard<std::mutex> guard(list.lock);
        Module& module = list.modules[base];
        module.handle = handle;
        ++module.references;
        return reinterpret_cast<HMODULE>(base);
    }

    BOOL WINAPI FreeLibrary(HMODULE hLibModule)
    {
        void* handle = nullptr;
        {
            ModuleList& list = Modules();
            std::lock_guard<std::mutex> guard(list.lock);
            auto it = list.modules.find(reinterpret_cast<uintptr_t>(hLibModule));
            if (it == list.modules.end())
            {
                SetLastError(ERROR_MOD_NOT_FOUND);
                return FALSE;
            }
            handle = it->second.handle;
            if (--it->second.references == 0)
            {
                list.modules.erase(it);
            }
        }
        ++t_unloading;
        dlclose(handle);
        --t_unloading;
        return TRUE;
    }

    FARPROC WINAPI GetProcAddress(HMODULE hModule, LPCSTR lpProcName)
    {
        if ((reinterpret_cast<uintptr_t>(lpProcName) >> 16) == 0)
        {
            // Exports by ordinal do not exist on this machine.
            SetLastError(ERROR_PROC_NOT_FOUND);
            return nullptr;
        }
        void* handle = nullptr;
        bool own = false;
        if (hModule == nullptr)
        {
            handle = dlopen(nullptr, RTLD_NOW);
            own = true;
        }
        else
        {
            ModuleList& list = Modules();
            std::lock_guard<std::mutex> guard(list.lock);
            auto it = list.modules.find(reinterpret_cast<uintptr_t>(hModule));
            if (it != list.modules.end())
            {
                handle = it->second.handle;
            }
        }
        if (handle == nullptr)
        {
            // A module the process was linked with.
            Dl_info info;
            if (dladdr(hModule, &info) == 0 || info.dli_fbase != static_cast<void*>(hModule))
            {
                SetLastError(ERROR_MOD_NOT_FOUND);
                return nullptr;
            }
            handle = dlopen(info.dli_fname, RTLD_NOW | RTLD_NOLOAD);
            own = true;
            if (handle == nullptr)
            {
                SetLastError(ERROR_MOD_NOT_FOUND);
                return nullptr;
            }
        }
        void* symbol = dlsym(handle, lpProcName);
        uintptr_t base = hModule != nullptr ? reinterpret_cast<uintptr_t>(hModule) : BaseOf(handle);
        if (own)
        {
            dlclose(handle);
        }
        // dlsym also searches the module's dependencies; an export must be the module's own.
        Dl_info info;
        if (symbol == nullptr || dladdr(symbol, &info) == 0 ||
            reinterpret_cast<uintptr_t>(info.dli_fbase) != base)
        {
            SetLastError(ERROR_PROC_NOT_FOUND);
            return nullptr;
        }
        return reinterpret_cast<FARPROC>(symbol);
    }

    HMODULE WINAPI GetModuleHandleA(LPCSTR lpModuleName)
    {
        if (lpModuleName == nullptr)
        {
            void* self = dlopen(nullptr, RTLD_NOW);
            uintptr_t base = self != nullptr ? BaseOf(self) : 0;
            if (self != nullptr)
            {
                dlclose(self);
            }
            return reinterpret_cast<HMODULE>(base);
        }
        if (IsSystemDll(lpModuleName))
        {
            Dl_info info;
            if (dladdr(reinterpret_cast<void*>(&GetModuleHandleA), &info) != 0)
            {
                return static_cast<HMODULE>(info.dli_fbase);
            }
        }
        else
        {
            ModuleList& list = Modules();
            std::lock_guard<std::mutex> guard(list.lock);
            for (const auto& [base, module] : list.modules)
            {
                if (ModuleHasName(module.handle, lpModuleName))
                {
                    return reinterpret_cast<HMODULE>(base);
                }
            }
        }
        SetLastError(ERROR_MOD_NOT_FOUND);
        return nullptr;
    }

    DWORD WINAPI GetModuleFileNameA(HMODULE hModule, LPSTR lpFilename, DWORD nSize)
    {
        std::string host;
        if (hModule == nullptr)
        {
            host = ExecutablePath();
        }
        else
        {
            Dl_info info;
            if (dladdr(hModule, &info) == 0 || info.dli_fbase != static_cast<void*>(hModule) ||
                info.dli_fname == nullptr)
            {
                SetLastError(ERROR_MOD_NOT_FOUND);
                return 0;
            }
            char real[PATH_MAX];
            host = realpath(info.dli_fname, real) != nullptr ? real : info.dli_fname;
        }
        std::string path = winsim::ToWindowsPath(host);
        if (nSize == 0 || lpFilename == nullptr)
        {
            SetLastError(ERROR_INSUFFICIENT_BUFFER);
            return 0;
        }
        if (path.size() >= nSize)
        {
            memcpy(lpFilename, path.data(), nSize - 1);
            lpFilename[nSize - 1] = 0;
            SetLastError(ERROR_INSUFFICIENT_BUFFER);
            return nSize;
        }
        memcpy(lpFilename, path.c_str(), path.size() + 1);
        return static_cast<DWORD>(path.size());
    }

} // extern "C"
