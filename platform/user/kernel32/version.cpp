// Version checks: VerifyVersionInfoA and VerSetConditionMask, against the Windows version of the
// machine, which user mode reads from the machine's CurrentVersion key (CurrentVersion "major.minor"
// and CurrentBuildNumber, written as the machine boots). The machine has no service pack, is
// Windows NT and a workstation. It answers every program as Windows answers one whose manifest
// declares the machine's version, so a check for 10.0 on a 10.0 machine succeeds.
#include "internal.h"

#include <winreg.h>

#include <stdlib.h>

namespace winsim::user
{
namespace
{

struct MachineVersion
{
    DWORD major = 0;
    DWORD minor = 0;
    DWORD build = 0;
};

bool ReadMachineVersion(MachineVersion& version)
{
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion", 0, KEY_READ,
                      &key) != ERROR_SUCCESS)
    {
        return false;
    }
    char text[64] = {};
    DWORD size = sizeof(text) - 1;
    bool ok = RegQueryValueExA(key, "CurrentVersion", nullptr, nullptr, reinterpret_cast<LPBYTE>(text),
                               &size) == ERROR_SUCCESS;
    if (ok)
    {
        char* dot = nullptr;
        version.major = static_cast<DWORD>(strtoul(text, &dot, 10));
        version.minor = *dot == '.' ? static_cast<DWORD>(strtoul(dot + 1, nullptr, 10)) : 0;
        char build[32] = {};
        size = sizeof(build) - 1;
        ok = RegQueryValueExA(key, "CurrentBuildNumber", nullptr, nullptr, reinterpret_cast<LPBYTE>(build),
                              &size) == ERROR_SUCCESS;
        version.build = static_cast<DWORD>(strtoul(build, nullptr, 10));
    }
    RegCloseKey(key);
    return ok;
}

// The condition VerSetConditionMask recorded for one field (a VER_* type bit).
BYTE ConditionOf(ULONGLONG mask, DWORD type)
{
    unsigned index = static_cast<unsigned>(__builtin_ctz(type));
    return static_cast<BYTE>((mask >> (index * 3)) & 7);
}

bool Compare(DWORD actual, DWORD wanted, BYTE condition)
{
    switch (condition)
    {
    case VER_EQUAL:
        return actual == wanted;
    case VER_GREATER:
        return actual > wanted;
    case VER_GREATER_EQUAL:
        return actual >= wanted;
    case VER_LESS:
        return actual < wanted;
    case VER_LESS_EQUAL:
        return actual <= wanted;
    case VER_AND:
        return (actual & wanted) == wanted;
    case VER_OR:
        return (actual & wanted) != 0;
    default:
        return false;
    }
}

} // namespace
} // namespace winsim::user

using namespace winsim::user;

extern "C"
{

    ULONGLONG WINAPI VerSetConditionMask(ULONGLONG ConditionMask, DWORD TypeMask, BYTE Condition)
    {
        if (TypeMask == 0 || Condition == 0 || Condition > VER_OR)
        {
            return ConditionMask;
        }
        for (DWORD type = VER_MINORVERSION; type <= VER_PRODUCT_TYPE; type <<= 1)
        {
            if ((TypeMask & type) != 0)
            {
                unsigned shift = static_cast<unsigned>(__builtin_ctz(type)) * 3;
                ConditionMask =
                    (ConditionMask & ~(7ULL << shift)) | (static_cast<ULONGLONG>(Condition) << shift);
            }
        }
        return ConditionMask;
    }

    BOOL WINAPI VerifyVersionInfoA(LPOSVERSIONINFOEXA lpVersionInformation, DWORD dwTypeMask,
                                   DWORDLONG dwlConditionMask)
    {
        if (lpVersionInformation == nullptr || dwTypeMask == 0 || dwlConditionMask == 0)
        {
            SetLastError(ERROR_BAD_ARGUMENTS);
            return FALSE;
        }
        for (DWORD type = VER_MINORVERSION; type <= VER_PRODUCT_TYPE; type <<= 1)
        {
            if ((dwTypeMask & type) != 0 && ConditionOf(dwlConditionMask, type) == 0)
            {
                SetLastError(ERROR_BAD_ARGUMENTS);
                return FALSE;
            }
        }
        MachineVersion machine;
        if (!ReadMachineVersion(machine))
        {
            return FALSE;
        }
        const OSVERSIONINFOEXA& wanted = *lpVersionInformation;
        bool satisfied = true;
        // Major, minor, service pack major and minor compare as one number, most significant
        // first: the first tested field whose value differs decides with its own condition; when
        // every tested field is equal, the condition of the last one decides.
        struct Field
        {
            DWORD type;
            DWORD actual;
            DWORD wanted;
        } const ordered[] = {
            {VER_MAJORVERSION, machine.major, wanted.dwMajorVersion},
            {VER_MINORVERSION, machine.minor, wanted.dwMinorVersion},
            {VER_SERVICEPACKMAJOR, 0, wanted.wServicePackMajor},
            {VER_SERVICEPACKMINOR, 0, wanted.wServicePackMinor},
        };
        for (const Field& field : ordered)
        {
            if ((dwTypeMask & field.type) == 0)
            {
                continue;
            }
            BYTE condition = ConditionOf(dwlConditionMask, field.type);
            satisfied = Compare(field.actual, field.wanted, condition);
            if (field.actual != field.wanted)
            {
                break;
            }
        }
        // The other fields each stand alone.
        struct Single
        {
            DWORD type;
            DWORD actual;
            DWORD wanted;
        } const singles[] = {
            {VER_BUILDNUMBER, machine.build, wanted.dwBuildNumber},
            {VER_PLATFORMID, VER_PLATFORM_WIN32_NT, wanted.dwPlatformId},
            {VER_SUITENAME, 0, wanted.wSuiteMask},
            {VER_PRODUCT_TYPE, VER_NT_WORKSTATION, wanted.wProductType},
        };
        for (const Single& field : singles)
        {
            if (satisfied && (dwTypeMask & field.type) != 0)
            {
                satisfied = Compare(field.actual, field.wanted, ConditionOf(dwlConditionMask, field.type));
            }
        }
        if (!satisfied)
        {
            SetLastError(ERROR_OLD_WIN_VERSION);
            return FALSE;
        }
        SetLastError(ERROR_SUCCESS);
        return TRUE;
    }

} // extern "C"
