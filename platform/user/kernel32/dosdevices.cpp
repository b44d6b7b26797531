// DOS device names: the symbolic links of the machine's \?? directory (COM3 -> \Device\ZTSerial0).
//
// DefineDosDevice keeps earlier definitions of a name under the new one, as Windows does: the
// link's target holds the definitions, newest first, separated by NULs, and the name resolves to
// the first. QueryDosDevice returns them all, one string each, ended by an empty string.
//
// The processes of this machine are not LocalSystem: the names they define go into their logon
// session's DosDevices directory, which hides the global directory (\GLOBAL??, where drivers'
// names live) for them. A new definition of a name the session does not have yet starts the
// session's link from the global name's definitions, if any, without touching the global link.
// Removing a definition of a name the session does not have changes the global link: an
// administrator may do that (the port page removes a driver's COM3 so), a standard user gets
// ERROR_ACCESS_DENIED. See docs/port-names.md.
#include "internal.h"
#include "ntdll/ntdll.h"

#include "base/unicode.h"

#include <string.h>

#include <algorithm>
#include <vector>

namespace winsim::user
{
namespace
{

constexpr size_t kTargetMax = 0x7FFF; // UTF-16 units a counted string can hold

std::u16string LinkNameOf(std::string_view dosName)
{
    return u"\\??\\" + WideFromAnsi(dosName);
}

std::u16string SessionLinkNameOf(std::string_view dosName)
{
    return std::u16string(syscall::LogonSessionDosDevices) + u"\\" + WideFromAnsi(dosName);
}

std::u16string GlobalLinkNameOf(std::string_view dosName)
{
    return u"\\GLOBAL??\\" + WideFromAnsi(dosName);
}

// Opens a DOS device name's link; the status of the open.
NTSTATUS OpenLink(const std::u16string& linkName, HANDLE* link)
{
    UNICODE_STRING name = ntdll::CountedString(linkName);
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &name, OBJ_CASE_INSENSITIVE, nullptr, nullptr);
    return NtOpenSymbolicLinkObject(link, SYMBOLIC_LINK_QUERY, &attributes);
}

// The definitions of an open link, newest first.
NTSTATUS Definitions(HANDLE link, std::vector<std::u16string>* definitions)
{
    std::vector<WCHAR> buffer(kTargetMax + 1);
    UNICODE_STRING target;
    target.Buffer = buffer.data();
    target.Length = 0;
    target.MaximumLength = static_cast<USHORT>(kTargetMax * sizeof(WCHAR));
    NTSTATUS status = NtQuerySymbolicLinkObject(link, &target, nullptr);
    if (!NT_SUCCESS(status))
    {
        return status;
    }
    std::u16string all(reinterpret_cast<const char16_t*>(buffer.data()), target.Length / sizeof(WCHAR));
    definitions->clear();
    size_t start = 0;
    while (start < all.size())
    {
        size_t end = all.find(u'\0', start);
        if (end == std::u16string::npos)
        {
            end = all.size();
        }
        if (end > start)
        {
            definitions->push_back(all.substr(start, end - start));
        }
        start = end + 1;
    }
    return STATUS_SUCCESS;
}

// Replaces a name's link by one holding the given definitions (none: the name goes).
NTSTATUS Redefine(const std::u16string& linkName, HANDLE existing,
                  const std::vector<std::u16string>& definitions)
{
    if (existing != nullptr)
    {
        NTSTATUS status = NtMakeTemporaryObject(existing);
        NtClose(existing);
        if (!NT_SUCCESS(status))
        {
            return status;
        }
    }
    if (definitions.empty())
    {
        return STATUS_SUCCESS;
    }
    std::u16string joined;
    for (size_t i = 0; i < definitions.size(); ++i)
    {
        joined += (i == 0 ? u"" : std::u16string(1, u'\0')) + definitions[i];
    }
    if (joined.size() > kTargetMax)
    {
        return STATUS_INVALID_PARAMETER;
    }
    UNICODE_STRING name = ntdll::CountedString(linkName);
    UNICODE_STRING target = ntdll::CountedString(joined);
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &name, OBJ_CASE_INSENSITIVE | OBJ_PERMANENT, nullptr, nullptr);
    HANDLE link = nullptr;
    NTSTATUS status = NtCreateSymbolicLinkObject(&link, SYMBOLIC_LINK_ALL_ACCESS, &attributes, &target);
    if (NT_SUCCESS(status))
    {
        NtClose(link);
    }
    return status;
}

// Copies strings into a QueryDosDevice buffer: each ended by a NUL, the list by one more. Returns
// the characters stored, or 0 with ERROR_INSUFFICIENT_BUFFER.
DWORD StoreList(const std::vector<std::string>& strings, LPSTR buffer, DWORD capacity)
{
    size_t needed = 1;
    for (const auto& s : strings)
    {
        needed += s.size() + 1;
    }
    if (buffer == nullptr || needed > capacity)
    {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return 0;
    }
    char* out = buffer;
    for (const auto& s : strings)
    {
        memcpy(out, s.c_str(), s.size() + 1);
        out += s.size() + 1;
    }
    *out = 0;
    return static_cast<DWORD>(needed);
}

} // namespace
} // namespace winsim::user

using namespace winsim::user;

extern "C"
{

    DWORD WINAPI QueryDosDeviceA(LPCSTR lpDeviceName, LPSTR lpTargetPath, DWORD ucchMax)
    {
        std::vector<std::string> strings;
        if (lpDeviceName != nullptr)
        {
            HANDLE link = nullptr;
            NTSTATUS status = OpenLink(LinkNameOf(lpDeviceName), &link);
            std::vector<std::u16string> definitions;
            if (NT_SUCCESS(status))
            {
                status = Definitions(link, &definitions);
                NtClose(link);
            }
            if (!NT_SUCCESS(status))
            {
                winsim::ntdll::FailWith(status);
                return 0;
            }
            for (const auto& definition : definitions)
            {
                strings.push_back(AnsiFromWide(definition));
            }
            return StoreList(strings, lpTargetPath, ucchMax);
        }
        // Every DOS device name of the machine.
        std::u16string directoryName = u"\\??";
        UNICODE_STRING name = winsim::ntdll::CountedString(directoryName);
        OBJECT_ATTRIBUTES attributes;
        InitializeObjectAttributes(&attributes, &name, OBJ_CASE_INSENSITIVE, nullptr, nullptr);
        HANDLE directory = nullptr;
        NTSTATUS status = NtOpenDirectoryObject(&directory, DIRECTORY_QUERY, &attributes);
        if (!NT_SUCCESS(status))
        {
            winsim::ntdll::FailWith(status);
            return 0;
        }
        std::vector<uint8_t> buffer(4096);
        ULONG context = 0;
        for (;;)
        {
            status = NtQueryDirectoryObject(directory, buffer.data(), static_cast<ULONG>(buffer.size()), TRUE,
                                            FALSE, &context, nullptr);
            if (status == STATUS_NO_MORE_ENTRIES || !NT_SUCCESS(status))
            {
                break;
            }
            auto* entry = reinterpret_cast<winsim::syscall::OBJECT_DIRECTORY_INFORMATION*>(buffer.data());
            strings.push_back(AnsiFromWide(std::u16string_view(
                reinterpret_cast<const char16_t*>(entry->Name.Buffer), entry->Name.Length / sizeof(WCHAR))));
        }
        NtClose(directory);
        if (status != STATUS_NO_MORE_ENTRIES)
        {
            winsim::ntdll::FailWith(status);
            return 0;
        }
        return StoreList(strings, lpTargetPath, ucchMax);
    }

    BOOL WINAPI DefineDosDeviceA(DWORD dwFlags, LPCSTR lpDeviceName, LPCSTR lpTargetPath)
    {
        if (lpDeviceName == nullptr || lpDeviceName[0] == 0 ||
            (dwFlags & ~(DDD_RAW_TARGET_PATH | DDD_REMOVE_DEFINITION | DDD_EXACT_MATCH_ON_REMOVE |
                         DDD_NO_BROADCAST_SYSTEM | DDD_LUID_BROADCAST_DRIVE)) != 0)
        {
            SetLastError(ERROR_INVALID_PARAMETER);
            return FALSE;
        }
        bool remove = (dwFlags & DDD_REMOVE_DEFINITION) != 0;
        bool hasTarget = lpTargetPath != nullptr && lpTargetPath[0] != 0;
        if (!remove && !hasTarget)
        {
            SetLastError(ERROR_INVALID_PARAMETER);
            return FALSE;
        }
        // Without DDD_RAW_TARGET_PATH the target is a DOS path, which names \??\<full path>.
        std::u16string target;
        if (hasTarget)
        {
            if ((dwFlags & DDD_RAW_TARGET_PATH) != 0)
            {
                target = WideFromAnsi(lpTargetPath);
            }
            else
            {
                char full[MAX_PATH];
                DWORD length = GetFullPathNameA(lpTargetPath, MAX_PATH, full, nullptr);
                if (length == 0 || length >= MAX_PATH)
                {
                    SetLastError(length == 0 ? GetLastError() : ERROR_FILENAME_EXCED_RANGE);
                    return FALSE;
                }
                target = u"\\??\\" + WideFromAnsi(full);
            }
        }
        // The session's link of the name, else the global one.
        std::u16string linkName = SessionLinkNameOf(lpDeviceName);
        HANDLE link = nullptr;
        std::vector<std::u16string> definitions;
        NTSTATUS status = OpenLink(linkName, &link);
        bool global = false;
        if (status == STATUS_OBJECT_NAME_NOT_FOUND)
        {
            global = true;
            status = OpenLink(GlobalLinkNameOf(lpDeviceName), &link);
        }
        if (NT_SUCCESS(status))
        {
            status = Definitions(link, &definitions);
        }
        else if (!remove && status == STATUS_OBJECT_NAME_NOT_FOUND)
        {
            status = STATUS_SUCCESS;
        }
        if (NT_SUCCESS(status) && global && link != nullptr)
        {
            if (!remove)
            {
                // The session's new link shadows the global one, which stays as it is.
                NtClose(link);
                link = nullptr;
            }
            else if (!ProcessRunsAsAdministrator())
            {
                status = STATUS_ACCESS_DENIED;
            }
            else
            {
                linkName = GlobalLinkNameOf(lpDeviceName);
            }
        }
        if (NT_SUCCESS(status))
        {
            if (!remove)
            {
                definitions.insert(definitions.begin(), target);
            }
            else
            {
                // The first definition that matches (the whole target with DDD_EXACT_MATCH_ON_REMOVE,
                // otherwise its beginning), or without a target the newest one.
                auto matches = [&](const std::u16string& definition) {
                    if (!hasTarget)
                    {
                        return true;
                    }
                    if ((dwFlags & DDD_EXACT_MATCH_ON_REMOVE) != 0)
                    {
                        return winsim::EqualsNoCase(definition, target);
                    }
                    return definition.size() >= target.size() &&
                           winsim::EqualsNoCase(std::u16string_view(definition).substr(0, target.size()),
                                                target);
                };
                auto found = std::find_if(definitions.begin(), definitions.end(), matches);
                if (found == definitions.end())
                {
                    status = STATUS_OBJECT_NAME_NOT_FOUND;
                }
                else
                {
                    definitions.erase(found);
                }
            }
        }
        if (NT_SUCCESS(status))
        {
            status = Redefine(linkName, link, definitions);
            link = nullptr;
        }
        if (link != nullptr)
        {
            NtClose(link);
        }
        return NT_SUCCESS(status) ? TRUE : winsim::ntdll::FailWith(status);
    }

} // extern "C"
