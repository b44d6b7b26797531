// Resources of a module: FindResourceA, FindResourceExA, LoadResource, LockResource,
// SizeofResource, FreeResource.
//
// A module's resources are the containers in the "winsim_rsrc" section of its ELF file (see
// base/resources.h). The section is read from the module's file the first time a resource of the
// module is asked for and kept for the life of the process: an HRSRC points at a resource of that
// copy and the HGLOBAL of LoadResource at its data, so both stay valid as long as the module is
// loaded (and, unlike on Windows, after it; nothing reads them then).
//
// Lookup. Types and names are numbers, given as MAKEINTRESOURCEA values or "#number" strings; the
// containers have no named resources, so any other string is not found. FindResourceA, and
// FindResourceExA with LANG_NEUTRAL, look for the thread's UI language with the fallback of
// ResourceSet::Find (that language, its primary language, neutral, English) and then take the
// first language the module has, as Windows does. FindResourceExA with a language looks for it with
// the same fallback but not for any other language. Errors are Windows': no resource section
// (ERROR_RESOURCE_DATA_NOT_FOUND), no resource of the type (ERROR_RESOURCE_TYPE_NOT_FOUND), none of
// that name (ERROR_RESOURCE_NAME_NOT_FOUND), not in that language (ERROR_RESOURCE_LANG_NOT_FOUND).
#include "internal.h"

#include "base/resources.h"

#include <dlfcn.h>
#include <limits.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <map>
#include <mutex>
#include <string>
#include <tuple>

namespace winsim::user
{
namespace
{

// The resources read from one file, identified by its path and its state on disk, so that a module
// rebuilt under the same name is read again.
struct ModuleFileKey
{
    std::string path;
    dev_t device = 0;
    ino_t inode = 0;
    int64_t modified = 0;

    bool operator<(const ModuleFileKey& other) const
    {
        return std::tie(path, device, inode, modified) <
               std::tie(other.path, other.device, other.inode, other.modified);
    }
};

struct ResourceCache
{
    std::mutex lock;
    // Never erased: HRSRC and HGLOBAL values point into these sets.
    std::map<ModuleFileKey, const ResourceSet*> sets;
};

ResourceCache& Cache()
{
    static auto* cache = new ResourceCache;
    return *cache;
}

// The host file of a module handle: the executable for NULL, otherwise the file mapped at that
// base address. Empty when the handle is no module's.
std::string ModuleFile(HMODULE module)
{
    char real[PATH_MAX];
    // The program's own file is named by /proc (the loader knows it only by the name it was started
    // under, which may be relative to another directory).
    if (module == nullptr || module == GetModuleHandleA(nullptr))
    {
        ssize_t n = readlink("/proc/self/exe", real, sizeof(real) - 1);
        return n > 0 ? std::string(real, static_cast<size_t>(n)) : std::string();
    }
    Dl_info info;
    if (dladdr(module, &info) == 0 || info.dli_fbase != static_cast<void*>(module) ||
        info.dli_fname == nullptr)
    {
        return std::string();
    }
    return realpath(info.dli_fname, real) != nullptr ? std::string(real) : std::string(info.dli_fname);
}

// The resources of a module, or null (with the last error set) when it has none.
const ResourceSet* ResourcesOf(HMODULE module)
{
    ModuleFileKey key;
    key.path = ModuleFile(module);
    struct stat st;
    if (key.path.empty() || stat(key.path.c_str(), &st) != 0)
    {
        SetLastError(ERROR_RESOURCE_DATA_NOT_FOUND);
        return nullptr;
    }
    key.device = st.st_dev;
    key.inode = st.st_ino;
    key.modified = static_cast<int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;

    ResourceCache& cache = Cache();
    std::lock_guard<std::mutex> guard(cache.lock);
    auto it = cache.sets.find(key);
    if (it == cache.sets.end())
    {
        std::optional<ResourceSet> read = ResourceSet::FromElfFile(key.path);
        it = cache.sets.emplace(key, read ? new ResourceSet(std::move(*read)) : nullptr).first;
    }
    if (it->second == nullptr || it->second->All().empty())
    {
        SetLastError(ERROR_RESOURCE_DATA_NOT_FOUND);
        return nullptr;
    }
    return it->second;
}

// The number a resource type or name stands for: a MAKEINTRESOURCEA value or "#number". False for
// a name, which no resource of this machine has.
bool ResourceNumber(LPCSTR name, uint32_t& number)
{
    if (IS_INTRESOURCE(name))
    {
        number = static_cast<uint32_t>(reinterpret_cast<ULONG_PTR>(name));
        return true;
    }
    if (name[0] != '#' || name[1] == 0)
    {
        return false;
    }
    uint32_t value = 0;
    for (const char* p = name + 1; *p != 0; ++p)
    {
        if (*p < '0' || *p > '9' || value > 0xFFFF)
        {
            return false;
        }
        value = value * 10 + static_cast<uint32_t>(*p - '0');
    }
    number = value & 0xFFFF;
    return true;
}

// Finds a resource; `anyLanguage` takes the first language the module has when the fallback finds
// none. Null with the last error set when there is none.
const Resource* FindIn(HMODULE module, LPCSTR type, LPCSTR name, LANGID language, bool anyLanguage)
{
    const ResourceSet* set = ResourcesOf(module);
    if (set == nullptr)
    {
        return nullptr;
    }
    uint32_t typeNumber = 0;
    uint32_t id = 0;
    bool typeIsNumber = ResourceNumber(type, typeNumber);
    bool nameIsNumber = ResourceNumber(name, id);
    bool typeFound = false;
    const Resource* first = nullptr;
    for (const Resource& resource : set->All())
    {
        if (!typeIsNumber || resource.type != typeNumber)
        {
            continue;
        }
        typeFound = true;
        if (nameIsNumber && resource.id == id && first == nullptr)
        {
            first = &resource;
        }
    }
    if (!typeFound)
    {
        SetLastError(ERROR_RESOURCE_TYPE_NOT_FOUND);
        return nullptr;
    }
    if (first == nullptr)
    {
        SetLastError(ERROR_RESOURCE_NAME_NOT_FOUND);
        return nullptr;
    }
    if (const Resource* resource = set->Find(typeNumber, id, language))
    {
        return resource;
    }
    if (anyLanguage)
    {
        return first;
    }
    SetLastError(ERROR_RESOURCE_LANG_NOT_FOUND);
    return nullptr;
}

} // namespace
} // namespace winsim::user

using namespace winsim::user;

extern "C"
{

    HRSRC WINAPI FindResourceA(HMODULE hModule, LPCSTR lpName, LPCSTR lpType)
    {
        return reinterpret_cast<HRSRC>(
            const_cast<winsim::Resource*>(FindIn(hModule, lpType, lpName, ThreadUiLanguage(), true)));
    }

    HRSRC WINAPI FindResourceExA(HMODULE hModule, LPCSTR lpType, LPCSTR lpName, WORD wLanguage)
    {
        bool neutral = wLanguage == MAKELANGID(LANG_NEUTRAL, SUBLANG_NEUTRAL);
        const winsim::Resource* resource =
            FindIn(hModule, lpType, lpName, neutral ? ThreadUiLanguage() : wLanguage, neutral);
        return reinterpret_cast<HRSRC>(const_cast<winsim::Resource*>(resource));
    }

    HGLOBAL WINAPI LoadResource(HMODULE hModule, HRSRC hResInfo)
    {
        (void)hModule;
        if (hResInfo == nullptr)
        {
            return nullptr;
        }
        auto* resource = reinterpret_cast<const winsim::Resource*>(hResInfo);
        return const_cast<uint8_t*>(resource->data.data());
    }

    LPVOID WINAPI LockResource(HGLOBAL hResData)
    {
        return hResData;
    }

    DWORD WINAPI SizeofResource(HMODULE hModule, HRSRC hResInfo)
    {
        (void)hModule;
        if (hResInfo == nullptr)
        {
            return 0;
        }
        return static_cast<DWORD>(reinterpret_cast<const winsim::Resource*>(hResInfo)->data.size());
    }

    BOOL WINAPI FreeResource(HGLOBAL hResData)
    {
        // Resources stay loaded as long as their module: there is nothing to free.
        (void)hResData;
        return FALSE;
    }

} // extern "C"
