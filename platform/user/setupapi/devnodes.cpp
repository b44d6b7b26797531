#include "setupapi/devnodes.h"

#include "base/unicode.h"
#include "internal.h"
#include "ntdll/ntdll.h"

#include <stdio.h>
#include <string.h>

#include <mutex>

namespace winsim::user
{
namespace
{

// Runs a Plug and Play query into a buffer that grows until the list fits, and splits the
// multi-string it returns.
template <typename Query>
bool QueryMultiString(Query query, std::vector<std::u16string>* texts, NTSTATUS* status)
{
    std::u16string buffer(64, u'\0');
    for (;;)
    {
        ULONG needed = 0;
        *status = query(reinterpret_cast<PWSTR>(buffer.data()),
                        static_cast<ULONG>(buffer.size() * sizeof(WCHAR)), &needed);
        if (*status == STATUS_BUFFER_TOO_SMALL)
        {
            buffer.assign(needed / sizeof(WCHAR) + 1, u'\0');
            continue;
        }
        if (!NT_SUCCESS(*status))
        {
            return false;
        }
        texts->clear();
        size_t at = 0;
        while (at < buffer.size() && buffer[at] != 0)
        {
            size_t end = buffer.find(u'\0', at);
            texts->push_back(buffer.substr(at, end - at));
            at = end + 1;
        }
        return true;
    }
}

} // namespace

bool ListDeviceIds(bool presentOnly, std::vector<std::u16string>* ids, NTSTATUS* status)
{
    return QueryMultiString(
        [presentOnly](PWSTR buffer, ULONG length, PULONG needed) {
            return ntdll::PlugPlayQueryDeviceList(presentOnly ? TRUE : FALSE, buffer, length, needed);
        },
        ids, status);
}

bool ListDeviceInterfaces(const GUID* interfaceClass, bool enabledOnly,
                          std::vector<DeviceInterfaceEntry>* entries, NTSTATUS* status)
{
    std::vector<std::u16string> texts;
    bool listed = QueryMultiString(
        [interfaceClass, enabledOnly](PWSTR buffer, ULONG length, PULONG needed) {
            return ntdll::PlugPlayQueryInterfaceList(interfaceClass, enabledOnly ? TRUE : FALSE, buffer,
                                                     length, needed);
        },
        &texts, status);
    if (!listed)
    {
        return false;
    }
    entries->clear();
    for (size_t i = 0; i + 1 < texts.size(); i += 2)
    {
        // \??\<device>#{class}, or \??\<device>#{class}\<reference string>.
        const std::u16string& link = texts[i + 1];
        size_t classAt = link.rfind(u"#{");
        GUID classGuid{};
        if (classAt == std::u16string::npos ||
            !ParseGuid(std::u16string_view(link).substr(classAt + 1, 38), &classGuid))
        {
            classGuid = GUID{};
        }
        entries->push_back(DeviceInterfaceEntry{texts[i], link, classGuid});
    }
    return true;
}

std::u16string EnumKeyPath(std::u16string_view instanceId)
{
    return u"\\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Enum\\" + std::u16string(instanceId);
}

bool DeviceRegistryValue(std::u16string_view instanceId, std::u16string_view valueName, ULONG* type,
                         std::vector<uint8_t>* data)
{
    std::u16string path = EnumKeyPath(instanceId);
    UNICODE_STRING name = ntdll::CountedString(path);
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &name, OBJ_CASE_INSENSITIVE, nullptr, nullptr);
    HANDLE key = nullptr;
    if (!NT_SUCCESS(NtOpenKey(&key, KEY_QUERY_VALUE, &attributes)))
    {
        return false;
    }
    std::u16string value(valueName);
    UNICODE_STRING counted = ntdll::CountedString(value);
    std::vector<uint8_t> buffer(256);
    ULONG needed = 0;
    NTSTATUS status = STATUS_SUCCESS;
    for (;;)
    {
        status = NtQueryValueKey(key, &counted, KeyValuePartialInformation, buffer.data(),
                                 static_cast<ULONG>(buffer.size()), &needed);
        if (status != STATUS_BUFFER_OVERFLOW && status != STATUS_BUFFER_TOO_SMALL)
        {
            break;
        }
        buffer.resize(needed);
    }
    NtClose(key);
    if (!NT_SUCCESS(status))
    {
        return false;
    }
    const auto* info = reinterpret_cast<const KEY_VALUE_PARTIAL_INFORMATION*>(buffer.data());
    *type = info->Type;
    data->assign(info->Data, info->Data + info->DataLength);
    return true;
}

std::optional<std::u16string> DeviceRegistryString(std::u16string_view instanceId,
                                                   std::u16string_view valueName)
{
    ULONG type = REG_NONE;
    std::vector<uint8_t> data;
    if (!DeviceRegistryValue(instanceId, valueName, &type, &data) ||
        (type != REG_SZ && type != REG_EXPAND_SZ))
    {
        return std::nullopt;
    }
    std::u16string text(data.size() / sizeof(WCHAR), u'\0');
    memcpy(text.data(), data.data(), text.size() * sizeof(WCHAR));
    return text.substr(0, text.find(u'\0'));
}

namespace
{
// The instance IDs handed out as device node handles; a handle is its position plus one. Allocated
// once and never freed (see internal.h).
std::mutex& DevInstLock()
{
    static auto* lock = new std::mutex;
    return *lock;
}

std::vector<std::u16string>& DevInstIds()
{
    static auto* ids = new std::vector<std::u16string>;
    return *ids;
}
} // namespace

DWORD DevInstOf(std::u16string_view instanceId)
{
    std::u16string id = UpperCase(instanceId);
    std::lock_guard<std::mutex> guard(DevInstLock());
    std::vector<std::u16string>& ids = DevInstIds();
    for (size_t i = 0; i < ids.size(); ++i)
    {
        if (ids[i] == id)
        {
            return static_cast<DWORD>(i + 1);
        }
    }
    ids.push_back(id);
    return static_cast<DWORD>(ids.size());
}

std::optional<std::u16string> InstanceIdOfDevInst(DWORD devInst)
{
    std::lock_guard<std::mutex> guard(DevInstLock());
    const std::vector<std::u16string>& ids = DevInstIds();
    if (devInst == 0 || devInst > ids.size())
    {
        return std::nullopt;
    }
    return ids[devInst - 1];
}

bool ParseGuid(std::u16string_view text, GUID* guid)
{
    std::string ansi = AnsiFromWide(text);
    unsigned int d1 = 0;
    unsigned int d2 = 0;
    unsigned int d3 = 0;
    unsigned int b[8] = {};
    int consumed = 0;
    if (ansi.size() != 38 ||
        sscanf(ansi.c_str(), "{%8x-%4x-%4x-%2x%2x-%2x%2x%2x%2x%2x%2x}%n", &d1, &d2, &d3, &b[0], &b[1], &b[2],
               &b[3], &b[4], &b[5], &b[6], &b[7], &consumed) != 11 ||
        consumed != 38)
    {
        return false;
    }
    guid->Data1 = d1;
    guid->Data2 = static_cast<unsigned short>(d2);
    guid->Data3 = static_cast<unsigned short>(d3);
    for (int i = 0; i < 8; ++i)
    {
        guid->Data4[i] = static_cast<unsigned char>(b[i]);
    }
    return true;
}

} // namespace winsim::user
