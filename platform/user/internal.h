// Shared internals of the simulated user mode (kernel32, user32).
//
// No state of user mode is ever destroyed, per thread or per process: DLLs unloaded at process exit
// call into it after the C++ destructors of the process (thread-local ones first) have run. Keep it
// in plain data or in objects allocated once and never freed.
#pragma once

#include <windows.h>

#include <memory>
#include <string>
#include <string_view>

namespace winsim::user
{

// Kernel objects reachable through handles.
enum class ObjectType
{
    Mutex,
    Event,
    File,
};

struct Object
{
    explicit Object(ObjectType t) : type(t) {}
    virtual ~Object() = default;
    const ObjectType type;
    std::string name; // empty for unnamed objects
};

// The process's handle table. Insert returns the new handle; Lookup sets ERROR_INVALID_HANDLE and
// returns null for a handle that is not open.
HANDLE InsertHandle(std::shared_ptr<Object> object);
std::shared_ptr<Object> LookupHandle(HANDLE handle);
bool RemoveHandle(HANDLE handle);

// Named objects of this process: the object registered under name, or null. Register replaces an
// entry whose object no longer exists.
std::shared_ptr<Object> FindNamed(const std::string& name);
void RegisterNamed(const std::string& name, const std::shared_ptr<Object>& object);

// The Win32 error closest to a host errno value.
DWORD ErrorFromErrno(int error);

// Thread id the way GetCurrentThreadId reports it.
DWORD CurrentThreadId();

// Host path of a file name given to a Win32 function; sets the last error and returns false when
// the path names no host file.
bool HostPathOf(LPCSTR windowsPath, std::string& hostPath);
// The same for a caller that uses the host path at once: returns it, in storage or in a buffer of
// the thread that the thread's next call may change, or null with the last error set.
LPCSTR HostPathFor(LPCSTR windowsPath, std::string& storage);

// Creates the folder (and its parents) if missing.
void MakeDirectories(const std::string& path);

// A file name made of the characters a host file name may hold, for an object name.
std::string EscapeName(std::string_view name);

} // namespace winsim::user
