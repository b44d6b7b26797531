// The registry functions of advapi32: each is a call of the kernel's registry services.
//
// A predefined key (HKEY_LOCAL_MACHINE and the others) stands for its absolute path below
// \Registry, so a call on one names the key absolutely; any other HKEY is a handle of the kernel.
// The ANSI functions convert names, and the data of string values, between the ANSI code page
// (UTF-8 on this machine) and the UTF-16 the registry keeps. Like Windows' they return their error
// and leave the thread's last error alone.
#include "internal.h"
#include "ntdll/ntdll.h"

#include <string.h>

#include <vector>

namespace winsim::user
{
namespace
{

// The path a predefined key stands for; null for a key handle.
const char16_t* PredefinedPath(HKEY key)
{
    if (key == HKEY_LOCAL_MACHINE)
    {
        return u"\\Registry\\Machine";
    }
    if (key == HKEY_USERS)
    {
        return u"\\Registry\\User";
    }
    if (key == HKEY_CURRENT_USER)
    {
        return u"\\Registry\\User\\.DEFAULT";
    }
    if (key == HKEY_CLASSES_ROOT)
    {
        return u"\\Registry\\Machine\\SOFTWARE\\Classes";
    }
    if (key == HKEY_CURRENT_CONFIG)
    {
        return u"\\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Hardware Profiles\\Current";
    }
    return nullptr;
}

bool IsPredefined(HKEY key)
{
    return PredefinedPath(key) != nullptr || key == HKEY_PERFORMANCE_DATA;
}

LSTATUS ErrorOf(NTSTATUS status)
{
    return NT_SUCCESS(status) ? ERROR_SUCCESS : static_cast<LSTATUS>(RtlNtStatusToDosError(status));
}

bool IsStringType(DWORD type)
{
    return type == REG_SZ || type == REG_EXPAND_SZ || type == REG_MULTI_SZ;
}

// Object attributes naming a subkey of a key: the absolute path below a predefined key, the
// relative name below a key handle.
struct KeyName
{
    std::u16string text;
    UNICODE_STRING counted{};
    OBJECT_ATTRIBUTES attributes{};

    KeyName(HKEY key, LPCSTR subKey)
    {
        const char16_t* root = PredefinedPath(key);
        std::u16string relative = subKey != nullptr ? WideFromAnsi(subKey) : std::u16string();
        text = root != nullptr
                   ? (relative.empty() ? std::u16string(root) : std::u16string(root) + u"\\" + relative)
                   : relative;
        counted = ntdll::CountedString(text);
        InitializeObjectAttributes(&attributes, &counted, OBJ_CASE_INSENSITIVE,
                                   root != nullptr ? nullptr : key, nullptr);
    }
};

LSTATUS CheckKey(HKEY key)
{
    if (key == nullptr)
    {
        return ERROR_INVALID_HANDLE;
    }
    return key == HKEY_PERFORMANCE_DATA ? ERROR_INVALID_FUNCTION : ERROR_SUCCESS;
}

// UTF-16 registry data as the ANSI functions report it.
std::string AnsiData(const uint8_t* data, ULONG length)
{
    return AnsiFromWide(std::u16string_view(reinterpret_cast<const char16_t*>(data), length / sizeof(WCHAR)));
}

// Copies a value's data out as RegQueryValueExA and RegEnumValueA do: the size is always reported;
// the data only when the buffer holds all of it.
LSTATUS StoreData(DWORD type, const uint8_t* data, ULONG length, LPBYTE target, LPDWORD targetSize)
{
    std::string converted;
    if (IsStringType(type))
    {
        converted = AnsiData(data, length);
        data = reinterpret_cast<const uint8_t*>(converted.data());
        length = static_cast<ULONG>(converted.size());
    }
    LSTATUS result = ERROR_SUCCESS;
    if (target != nullptr)
    {
        if (*targetSize < length)
        {
            result = ERROR_MORE_DATA;
        }
        else
        {
            memcpy(target, data, length);
        }
    }
    if (targetSize != nullptr)
    {
        *targetSize = length;
    }
    return result;
}

// Runs a call on a key handle: a predefined key is opened for it first (with the access the call
// needs) and closed after, as advapi32 does.
template <typename Call>
LSTATUS OnKeyHandle(HKEY key, REGSAM access, Call call)
{
    LSTATUS check = CheckKey(key);
    if (check != ERROR_SUCCESS)
    {
        return check;
    }
    if (!IsPredefined(key))
    {
        return call(key);
    }
    HKEY opened = nullptr;
    LSTATUS result = RegOpenKeyExA(key, nullptr, 0, access, &opened);
    if (result == ERROR_SUCCESS)
    {
        result = call(opened);
        RegCloseKey(opened);
    }
    return result;
}

// Calls an enumeration or query service with a buffer that grows until the answer fits.
template <typename Call>
NTSTATUS WithBuffer(std::vector<uint8_t>& buffer, Call call)
{
    buffer.resize(512);
    for (;;)
    {
        ULONG needed = 0;
        NTSTATUS status = call(buffer.data(), static_cast<ULONG>(buffer.size()), &needed);
        if ((status != STATUS_BUFFER_OVERFLOW && status != STATUS_BUFFER_TOO_SMALL) ||
            needed <= buffer.size())
        {
            return status;
        }
        buffer.resize(needed);
    }
}

} // namespace
} // namespace winsim::user

using namespace winsim::user;

extern "C"
{

    LSTATUS WINAPI RegOpenKeyExA(HKEY hKey, LPCSTR lpSubKey, DWORD ulOptions, REGSAM samDesired,
                                 PHKEY phkResult)
    {
        (void)ulOptions;
        if (phkResult == nullptr)
        {
            return ERROR_INVALID_PARAMETER;
        }
        LSTATUS check = CheckKey(hKey);
        if (check != ERROR_SUCCESS)
        {
            return check;
        }
        if (lpSubKey != nullptr && lpSubKey[0] == '\\')
        {
            return ERROR_BAD_PATHNAME;
        }
        KeyName name(hKey, lpSubKey);
        HANDLE key = nullptr;
        NTSTATUS status =
            NtOpenKey(&key, samDesired & ~(KEY_WOW64_32KEY | KEY_WOW64_64KEY), &name.attributes);
        if (NT_SUCCESS(status))
        {
            *phkResult = static_cast<HKEY>(key);
        }
        return ErrorOf(status);
    }

    LSTATUS WINAPI RegCreateKeyExA(HKEY hKey, LPCSTR lpSubKey, DWORD Reserved, LPSTR lpClass, DWORD dwOptions,
                                   REGSAM samDesired, const LPSECURITY_ATTRIBUTES lpSecurityAttributes,
                                   PHKEY phkResult, LPDWORD lpdwDisposition)
    {
        (void)lpSecurityAttributes;
        if (phkResult == nullptr || Reserved != 0 || lpSubKey == nullptr)
        {
            return ERROR_INVALID_PARAMETER;
        }
        LSTATUS check = CheckKey(hKey);
        if (check != ERROR_SUCCESS)
        {
            return check;
        }
        if (lpSubKey[0] == '\\')
        {
            return ERROR_BAD_PATHNAME;
        }
        // The missing keys of the path are created one after another, as advapi32 does; only the
        // last one gets the class, the options and the caller's access.
        std::u16string className = lpClass != nullptr ? WideFromAnsi(lpClass) : std::u16string();
        UNICODE_STRING classString = winsim::ntdll::CountedString(className);
        std::string path(lpSubKey);
        HKEY parent = hKey;
        HANDLE key = nullptr;
        ULONG disposition = 0;
        NTSTATUS status = STATUS_SUCCESS;
        size_t start = 0;
        for (;;)
        {
            size_t end = path.find('\\', start);
            bool last = end == std::string::npos;
            std::string part = path.substr(start, last ? std::string::npos : end - start);
            KeyName name(parent, part.c_str());
            HANDLE created = nullptr;
            status = last ? NtCreateKey(&created, samDesired & ~(KEY_WOW64_32KEY | KEY_WOW64_64KEY),
                                        &name.attributes, 0, lpClass != nullptr ? &classString : nullptr,
                                        dwOptions, &disposition)
                          : NtCreateKey(&created, KEY_CREATE_SUB_KEY, &name.attributes, 0, nullptr,
                                        dwOptions & REG_OPTION_VOLATILE, nullptr);
            if (parent != hKey)
            {
                NtClose(parent);
            }
            if (!NT_SUCCESS(status) || last)
            {
                key = created;
                break;
            }
            parent = static_cast<HKEY>(created);
            start = end + 1;
        }
        if (NT_SUCCESS(status))
        {
            *phkResult = static_cast<HKEY>(key);
            if (lpdwDisposition != nullptr)
            {
                *lpdwDisposition = disposition;
            }
        }
        return ErrorOf(status);
    }

    LSTATUS WINAPI RegEnumKeyExA(HKEY hKey, DWORD dwIndex, LPSTR lpName, LPDWORD lpcchName,
                                 LPDWORD lpReserved, LPSTR lpClass, LPDWORD lpcchClass,
                                 PFILETIME lpftLastWriteTime)
    {
        if (lpName == nullptr || lpcchName == nullptr || lpReserved != nullptr ||
            (lpClass != nullptr && lpcchClass == nullptr))
        {
            return ERROR_INVALID_PARAMETER;
        }
        return OnKeyHandle(hKey, KEY_ENUMERATE_SUB_KEYS, [&](HKEY key) -> LSTATUS {
            std::vector<uint8_t> buffer;
            NTSTATUS status = WithBuffer(buffer, [&](void* data, ULONG length, PULONG needed) {
                return NtEnumerateKey(key, dwIndex, KeyNodeInformation, data, length, needed);
            });
            if (!NT_SUCCESS(status))
            {
                return ErrorOf(status);
            }
            auto* node = reinterpret_cast<KEY_NODE_INFORMATION*>(buffer.data());
            std::string name = AnsiData(reinterpret_cast<const uint8_t*>(node->Name), node->NameLength);
            std::string className = AnsiData(buffer.data() + node->ClassOffset, node->ClassLength);
            if (name.size() >= *lpcchName || (lpClass != nullptr && className.size() >= *lpcchClass))
            {
                return ERROR_MORE_DATA;
            }
            memcpy(lpName, name.c_str(), name.size() + 1);
            *lpcchName = static_cast<DWORD>(name.size());
            if (lpClass != nullptr)
            {
                memcpy(lpClass, className.c_str(), className.size() + 1);
                *lpcchClass = static_cast<DWORD>(className.size());
            }
            if (lpftLastWriteTime != nullptr)
            {
                lpftLastWriteTime->dwLowDateTime = node->LastWriteTime.LowPart;
                lpftLastWriteTime->dwHighDateTime = static_cast<DWORD>(node->LastWriteTime.HighPart);
            }
            return ERROR_SUCCESS;
        });
    }

    LSTATUS WINAPI RegEnumValueA(HKEY hKey, DWORD dwIndex, LPSTR lpValueName, LPDWORD lpcchValueName,
                                 LPDWORD lpReserved, LPDWORD lpType, LPBYTE lpData, LPDWORD lpcbData)
    {
        if (lpValueName == nullptr || lpcchValueName == nullptr || lpReserved != nullptr ||
            (lpData != nullptr && lpcbData == nullptr))
        {
            return ERROR_INVALID_PARAMETER;
        }
        return OnKeyHandle(hKey, KEY_QUERY_VALUE, [&](HKEY key) -> LSTATUS {
            std::vector<uint8_t> buffer;
            NTSTATUS status = WithBuffer(buffer, [&](void* data, ULONG length, PULONG needed) {
                return NtEnumerateValueKey(key, dwIndex, KeyValueFullInformation, data, length, needed);
            });
            if (!NT_SUCCESS(status))
            {
                return ErrorOf(status);
            }
            auto* full = reinterpret_cast<KEY_VALUE_FULL_INFORMATION*>(buffer.data());
            std::string name = AnsiData(reinterpret_cast<const uint8_t*>(full->Name), full->NameLength);
            if (name.size() >= *lpcchValueName)
            {
                return ERROR_MORE_DATA;
            }
            memcpy(lpValueName, name.c_str(), name.size() + 1);
            *lpcchValueName = static_cast<DWORD>(name.size());
            if (lpType != nullptr)
            {
                *lpType = full->Type;
            }
            return StoreData(full->Type, buffer.data() + full->DataOffset, full->DataLength, lpData,
                             lpcbData);
        });
    }

    LSTATUS WINAPI RegQueryValueExA(HKEY hKey, LPCSTR lpValueName, LPDWORD lpReserved, LPDWORD lpType,
                                    LPBYTE lpData, LPDWORD lpcbData)
    {
        if (lpReserved != nullptr || (lpData != nullptr && lpcbData == nullptr))
        {
            return ERROR_INVALID_PARAMETER;
        }
        return OnKeyHandle(hKey, KEY_QUERY_VALUE, [&](HKEY key) -> LSTATUS {
            std::u16string name = lpValueName != nullptr ? WideFromAnsi(lpValueName) : std::u16string();
            UNICODE_STRING valueName = winsim::ntdll::CountedString(name);
            std::vector<uint8_t> buffer;
            NTSTATUS status = WithBuffer(buffer, [&](void* data, ULONG length, PULONG needed) {
                return NtQueryValueKey(key, &valueName, KeyValuePartialInformation, data, length, needed);
            });
            if (!NT_SUCCESS(status))
            {
                return ErrorOf(status);
            }
            auto* partial = reinterpret_cast<KEY_VALUE_PARTIAL_INFORMATION*>(buffer.data());
            if (lpType != nullptr)
            {
                *lpType = partial->Type;
            }
            return StoreData(partial->Type, partial->Data, partial->DataLength, lpData, lpcbData);
        });
    }

    LSTATUS WINAPI RegSetValueExA(HKEY hKey, LPCSTR lpValueName, DWORD Reserved, DWORD dwType,
                                  const BYTE* lpData, DWORD cbData)
    {
        (void)Reserved;
        if (lpData == nullptr && cbData != 0)
        {
            return ERROR_NOACCESS;
        }
        return OnKeyHandle(hKey, KEY_SET_VALUE, [&](HKEY key) -> LSTATUS {
            std::u16string name = lpValueName != nullptr ? WideFromAnsi(lpValueName) : std::u16string();
            UNICODE_STRING valueName = winsim::ntdll::CountedString(name);
            // String data is converted byte for byte, the terminator included when the caller counted it.
            std::u16string wide;
            const void* data = lpData;
            ULONG length = cbData;
            if (IsStringType(dwType))
            {
                wide = WideFromAnsi(std::string_view(reinterpret_cast<const char*>(lpData), cbData));
                data = wide.data();
                length = static_cast<ULONG>(wide.size() * sizeof(WCHAR));
            }
            return ErrorOf(NtSetValueKey(key, &valueName, 0, dwType, const_cast<void*>(data), length));
        });
    }

    LSTATUS WINAPI RegDeleteValueA(HKEY hKey, LPCSTR lpValueName)
    {
        return OnKeyHandle(hKey, KEY_SET_VALUE, [&](HKEY key) -> LSTATUS {
            std::u16string name = lpValueName != nullptr ? WideFromAnsi(lpValueName) : std::u16string();
            UNICODE_STRING valueName = winsim::ntdll::CountedString(name);
            return ErrorOf(NtDeleteValueKey(key, &valueName));
        });
    }

    LSTATUS WINAPI RegDeleteKeyA(HKEY hKey, LPCSTR lpSubKey)
    {
        if (lpSubKey == nullptr)
        {
            return ERROR_INVALID_PARAMETER;
        }
        HKEY key = nullptr;
        LSTATUS result = RegOpenKeyExA(hKey, lpSubKey, 0, DELETE, &key);
        if (result != ERROR_SUCCESS)
        {
            return result;
        }
        result = ErrorOf(NtDeleteKey(key));
        RegCloseKey(key);
        return result;
    }

    LSTATUS WINAPI RegCloseKey(HKEY hKey)
    {
        if (hKey == nullptr)
        {
            return ERROR_INVALID_HANDLE;
        }
        if (IsPredefined(hKey))
        {
            return ERROR_SUCCESS;
        }
        return ErrorOf(NtClose(hKey));
    }

} // extern "C"
