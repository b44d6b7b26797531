// Shared internals of the simulated user mode (ntdll, kernel32, advapi32, user32).
//
// No state of user mode is ever destroyed, per thread or per process: DLLs unloaded at process exit
// call into it after the C++ destructors of the process (thread-local ones first) have run. Keep it
// in plain data or in objects allocated once and never freed.
//
// Handles: everything that lives in the machine (devices opened as files, events, mutexes, keys,
// symbolic links) is named by the handle the kernel's native services gave out, as on Windows.
// Files on the host's disk are the one thing user mode keeps itself: they get handles of their
// own range from the table below, so a function can tell the two apart by the value.
#pragma once

#include <windows.h>

#include <string>
#include <string_view>

namespace winsim::user
{

// The process's table of host-disk files: a handle of that range stands for an open host file
// descriptor. InsertHostFile returns the new handle; HostFileOf returns the descriptor, or -1 (and
// sets ERROR_INVALID_HANDLE) for a handle of that range that is not open; RemoveHostFile takes it
// out of the table and returns it (-1 likewise) for the caller to close.
HANDLE InsertHostFile(int fd);
int HostFileOf(HANDLE handle);
int RemoveHostFile(HANDLE handle);
// Whether a handle value belongs to that table rather than to the machine's kernel.
bool IsLocalHandle(HANDLE handle);

// The process's settings the machine passes to its programs in the environment: whether the
// process runs elevated as an administrator (WINSIM_TOKEN=standard: as a standard user), and
// whether it is a 32-bit process on 64-bit Windows (WINSIM_WOW64=1).
bool ProcessRunsAsAdministrator();
bool ProcessIsWow64();

// The Win32 error closest to a host errno value.
DWORD ErrorFromErrno(int error);

// Thread id the way GetCurrentThreadId reports it: the id the kernel gave a thread CreateThread
// started (set by the thread as it starts, before anything else), the host's id of any other.
DWORD CurrentThreadId();
void SetCurrentThreadId(DWORD id);

// Host path of a file name given to a Win32 function; sets the last error and returns false when
// the path names no host file.
bool HostPathOf(LPCSTR windowsPath, std::string& hostPath);
// The same for a caller that uses the host path at once: returns it, in storage or in a buffer of
// the thread that the thread's next call may change, or null with the last error set.
LPCSTR HostPathFor(LPCSTR windowsPath, std::string& storage);

// The NT object name of a Win32 device path ("\\.\COM3" or a DOS device name such as "COM3"), or
// an empty string when the path names a file on a disk.
std::u16string DeviceObjectName(LPCSTR path);

// Text in the process's ANSI code page (the machine's: UTF-8 or 932; see kernel32/locale.cpp) and
// UTF-16. Every A function converts its text through these.
std::u16string WideFromAnsi(std::string_view text);
std::string AnsiFromWide(std::u16string_view text);

// The language resources are looked up in for the calling thread (its UI language).
LANGID ThreadUiLanguage();

// A relative NT time-out for a Win32 one in milliseconds; null for INFINITE.
PLARGE_INTEGER TimeoutOf(DWORD milliseconds, LARGE_INTEGER& storage);

} // namespace winsim::user
