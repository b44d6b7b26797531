// The run-time library's registry routines: RtlQueryRegistryValues(Ex), RtlWriteRegistryValue,
// RtlDeleteRegistryValue, RtlCreateRegistryKey and RtlCheckRegistryKey. They run at PASSIVE_LEVEL
// in the caller's context and reach the registry only through the configuration manager's key
// services, as a kernel-mode caller (their handles are kernel handles).
#include <ntddk.h>

#include "ConfigManager.h"
#include "System.h"
#include "Thread.h"
#include "base/unicode.h"

#include <cstddef>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

namespace winsim::kernel
{

namespace
{

// Tag of the string buffers RtlQueryRegistryValues allocates for RTL_QUERY_REGISTRY_DIRECT.
constexpr ULONG QueryStringTag = 'R' | ('t' << 8) | ('l' << 16) | ('Q' << 24);

ConfigManager& Cm()
{
    return System::Current().GetConfigManager();
}

void PutBytes(std::vector<uint8_t>& image, size_t offset, const void* data, size_t length)
{
    if (length != 0)
    {
        std::memcpy(image.data() + offset, data, length);
    }
}

// ---------------------------------------------------------------------------------------------
// Reading values through the key services

// Reads one value in full (name, type and data) through a query that fills a
// KEY_VALUE_FULL_INFORMATION, growing the buffer until the value fits.
template <typename Query>
NTSTATUS ReadFullValue(Query query, RegistryValue* value)
{
    std::vector<ULONGLONG> buffer(32); // 8-byte aligned, as the information classes want
    for (;;)
    {
        ULONG needed = 0;
        NTSTATUS status =
            query(buffer.data(), static_cast<ULONG>(buffer.size() * sizeof(ULONGLONG)), &needed);
        if (status == STATUS_BUFFER_OVERFLOW || status == STATUS_BUFFER_TOO_SMALL)
        {
            buffer.resize((needed + sizeof(ULONGLONG) - 1) / sizeof(ULONGLONG));
            continue;
        }
        if (!NT_SUCCESS(status))
        {
            return status;
        }
        const auto* info = reinterpret_cast<const KEY_VALUE_FULL_INFORMATION*>(buffer.data());
        const auto* bytes = reinterpret_cast<const uint8_t*>(buffer.data());
        value->name.assign(reinterpret_cast<const char16_t*>(info->Name),
                           info->NameLength / sizeof(char16_t));
        value->type = info->Type;
        value->data.assign(bytes + info->DataOffset, bytes + info->DataOffset + info->DataLength);
        return STATUS_SUCCESS;
    }
}

// The value of that name; STATUS_OBJECT_NAME_NOT_FOUND when the key has none.
NTSTATUS ReadValue(const RegistryKeyObject& key, std::u16string_view name, RegistryValue* value)
{
    return ReadFullValue(
        [&](PVOID buffer, ULONG length, PULONG needed) {
            return Cm().QueryValue(KernelMode, key, name, KeyValueFullInformation, buffer, length, needed);
        },
        value);
}

// Every value of the key, in enumeration order, as the key holds them at the time of the call.
NTSTATUS ReadAllValues(const RegistryKeyObject& key, std::vector<RegistryValue>* values)
{
    values->clear();
    for (ULONG index = 0;; ++index)
    {
        RegistryValue value;
        NTSTATUS status = ReadFullValue(
            [&](PVOID buffer, ULONG length, PULONG needed) {
                return Cm().EnumerateValue(KernelMode, key, index, KeyValueFullInformation, buffer, length,
                                           needed);
            },
            &value);
        if (status == STATUS_NO_MORE_ENTRIES)
        {
            return STATUS_SUCCESS;
        }
        if (!NT_SUCCESS(status))
        {
            return status;
        }
        values->push_back(std::move(value));
    }
}

// ---------------------------------------------------------------------------------------------
// The key a RelativeTo and Path name

// The key path a RelativeTo value stands for (RTL_REGISTRY_ABSOLUTE: none).
NTSTATUS RelativeBase(ULONG relativeTo, std::u16string* base)
{
    switch (relativeTo & ~(RTL_REGISTRY_OPTIONAL | RTL_REGISTRY_HANDLE))
    {
    case RTL_REGISTRY_ABSOLUTE:
        base->clear();
        return STATUS_SUCCESS;
    case RTL_REGISTRY_SERVICES:
        *base = ServicesKeyPath;
        return STATUS_SUCCESS;
    case RTL_REGISTRY_CONTROL:
        *base = ControlKeyPath;
        return STATUS_SUCCESS;
    case RTL_REGISTRY_WINDOWS_NT:
        *base = WindowsNtKeyPath;
        return STATUS_SUCCESS;
    case RTL_REGISTRY_DEVICEMAP:
        *base = DeviceMapKeyPath;
        return STATUS_SUCCESS;
    case RTL_REGISTRY_USER:
        // The "current user" of the system process is the default user profile.
        *base = u"\\Registry\\User\\.Default";
        return STATUS_SUCCESS;
    default:
        return STATUS_INVALID_PARAMETER;
    }
}

// The key an Rtl routine works on: the handle in Path for RTL_REGISTRY_HANDLE, otherwise the
// path below the RelativeTo base. With create, the last key of the path is created when missing
// (only that one: its parent must exist).
NTSTATUS RtlKey(ULONG relativeTo, PCWSTR path, bool create, std::shared_ptr<RegistryKeyObject>* key)
{
    if ((relativeTo & RTL_REGISTRY_HANDLE) != 0)
    {
        NTSTATUS status = ReferenceKernelKey(reinterpret_cast<HANDLE>(const_cast<PWSTR>(path)), key);
        // A handle to a deleted key is refused here already, so that RtlCheckRegistryKey (which
        // calls no service on the key) reports it as the services would.
        if (NT_SUCCESS(status) && (*key)->Key()->IsDeleted())
        {
            status = STATUS_KEY_DELETED;
        }
        return status;
    }
    std::u16string full;
    NTSTATUS status = RelativeBase(relativeTo, &full);
    if (!NT_SUCCESS(status))
    {
        return status;
    }
    std::u16string_view relative = path != nullptr ? View(path) : std::u16string_view();
    if (full.empty())
    {
        full = relative;
    }
    else if (!relative.empty())
    {
        if (relative.front() != u'\\')
        {
            full += u'\\';
        }
        full += relative;
    }
    if (!create)
    {
        return Cm().OpenKey(KernelMode, nullptr, full, KEY_ALL_ACCESS, key);
    }
    return Cm().CreateKey(KernelMode, nullptr, full, KEY_ALL_ACCESS, std::u16string_view(),
                          REG_OPTION_NON_VOLATILE, key, nullptr);
}

// ---------------------------------------------------------------------------------------------
// RtlQueryRegistryValues(Ex)

std::vector<uint8_t> Terminated(std::u16string_view text)
{
    std::vector<uint8_t> data((text.size() + 1) * sizeof(char16_t), 0);
    PutBytes(data, 0, text.data(), text.size() * sizeof(char16_t));
    return data;
}

std::u16string TextOf(const std::vector<uint8_t>& data)
{
    std::u16string text(data.size() / sizeof(char16_t), u'\0');
    if (!text.empty())
    {
        std::memcpy(text.data(), data.data(), text.size() * sizeof(char16_t));
    }
    return text;
}

// An environment variable for REG_EXPAND_SZ expansion: from the caller's environment block
// ("NAME=value\0...\0\0") when there is one, otherwise the system's (Session Manager\Environment,
// with SystemRoot and its companions always defined).
bool LookupVariable(std::u16string_view name, PVOID environment, std::u16string* value)
{
    if (environment != nullptr)
    {
        const wchar_t* entry = static_cast<const wchar_t*>(environment);
        while (*entry != 0)
        {
            std::u16string_view text = View(entry);
            size_t equals = text.find(u'=', 1);
            if (equals != std::u16string_view::npos && EqualsNoCase(text.substr(0, equals), name))
            {
                *value = std::u16string(text.substr(equals + 1));
                return true;
            }
            entry += text.size() + 1;
        }
        return false;
    }
    std::u16string path = ControlKeyPath;
    path += u"\\Session Manager\\Environment";
    std::shared_ptr<RegistryKeyObject> key;
    RegistryValue variable;
    if (NT_SUCCESS(Cm().OpenKey(KernelMode, nullptr, path, KEY_READ, &key)) &&
        NT_SUCCESS(ReadValue(*key, name, &variable)) &&
        (variable.type == REG_SZ || variable.type == REG_EXPAND_SZ))
    {
        // Stored strings need not be terminated; the text ends at the first NUL if there is one.
        std::u16string text = TextOf(variable.data);
        *value = text.substr(0, text.find(u'\0'));
        return true;
    }
    if (EqualsNoCase(name, u"SystemRoot") || EqualsNoCase(name, u"windir"))
    {
        *value = u"C:\\Windows";
        return true;
    }
    if (EqualsNoCase(name, u"SystemDrive"))
    {
        *value = u"C:";
        return true;
    }
    return false;
}

// %NAME% references replaced by their values; unknown names stay as they are.
std::u16string ExpandVariables(std::u16string_view text, PVOID environment)
{
    std::u16string out;
    size_t i = 0;
    while (i < text.size())
    {
        size_t open = text.find(u'%', i);
        size_t close = open == std::u16string_view::npos ? open : text.find(u'%', open + 1);
        if (close == std::u16string_view::npos)
        {
            out += text.substr(i);
            break;
        }
        out += text.substr(i, open - i);
        std::u16string value;
        if (close > open + 1 && LookupVariable(text.substr(open + 1, close - open - 1), environment, &value))
        {
            out += value;
        }
        else
        {
            out += text.substr(open, close - open + 1);
        }
        i = close + 1;
    }
    return out;
}

struct QueryCall
{
    PRTL_QUERY_REGISTRY_TABLE entry;
    PVOID context;
    PVOID environment;
    bool ex;
};

// Stores one value for RTL_QUERY_REGISTRY_DIRECT into the caller's EntryContext.
NTSTATUS StoreDirect(PVOID destination, ULONG type, const std::vector<uint8_t>& data)
{
    if (destination == nullptr)
    {
        return STATUS_INVALID_PARAMETER;
    }
    const ULONG length = static_cast<ULONG>(data.size());
    if (type == REG_SZ || type == REG_EXPAND_SZ || type == REG_MULTI_SZ)
    {
        // Strings go to a UNICODE_STRING; the copy includes the terminating NUL, so it fits only
        // when MaximumLength covers it, and Length then excludes it.
        auto* text = static_cast<PUNICODE_STRING>(destination);
        if (length > 0xFFFF)
        {
            return STATUS_BUFFER_TOO_SMALL;
        }
        if (text->Buffer == nullptr)
        {
            // The caller frees this buffer with RtlFreeUnicodeString.
            void* buffer = length != 0 ? ExAllocatePoolWithTag(PagedPool, length, QueryStringTag) : nullptr;
            if (buffer == nullptr)
            {
                return length == 0 ? STATUS_SUCCESS : STATUS_INSUFFICIENT_RESOURCES;
            }
            text->Buffer = static_cast<PWCH>(buffer);
            text->MaximumLength = static_cast<USHORT>(length);
        }
        else if (length > text->MaximumLength)
        {
            return STATUS_BUFFER_TOO_SMALL;
        }
        if (length != 0)
        {
            std::memcpy(text->Buffer, data.data(), length);
        }
        text->Length = static_cast<USHORT>(length >= sizeof(WCHAR) ? length - sizeof(WCHAR) : 0);
        return STATUS_SUCCESS;
    }
    if (length <= sizeof(ULONG))
    {
        if (length != 0)
        {
            std::memcpy(destination, data.data(), length);
        }
        return STATUS_SUCCESS;
    }
    // Larger data: the buffer starts with a LONG giving its size. Negative: the data alone is
    // stored. Positive: the length and the type come first, then the data.
    LONG size;
    std::memcpy(&size, destination, sizeof(size));
    auto* bytes = static_cast<uint8_t*>(destination);
    if (size < 0)
    {
        if (length > static_cast<ULONG>(-static_cast<LONGLONG>(size)))
        {
            return STATUS_BUFFER_TOO_SMALL;
        }
        std::memcpy(bytes, data.data(), length);
        return STATUS_SUCCESS;
    }
    if (static_cast<ULONGLONG>(length) + 2 * sizeof(ULONG) > static_cast<ULONG>(size))
    {
        return STATUS_BUFFER_TOO_SMALL;
    }
    std::memcpy(bytes, &length, sizeof(ULONG));
    std::memcpy(bytes + sizeof(ULONG), &type, sizeof(ULONG));
    std::memcpy(bytes + 2 * sizeof(ULONG), data.data(), length);
    return STATUS_SUCCESS;
}

NTSTATUS DeliverOne(const QueryCall& call, const std::u16string* name, ULONG type,
                    const std::vector<uint8_t>& data)
{
    NTSTATUS status;
    if ((call.entry->Flags & RTL_QUERY_REGISTRY_DIRECT) != 0)
    {
        status = StoreDirect(call.entry->EntryContext, type, data);
        // The surprise of the two routines: RtlQueryRegistryValues treats a direct buffer that is
        // too small like a query routine's STATUS_BUFFER_TOO_SMALL, which it ignores, so the call
        // succeeds and the caller's buffer is left as it was. RtlQueryRegistryValuesEx reports
        // STATUS_BUFFER_TOO_SMALL, which tells "present but too long" apart from "not there".
        if (status == STATUS_BUFFER_TOO_SMALL && !call.ex)
        {
            status = STATUS_SUCCESS;
        }
        return status;
    }
    std::u16string nameCopy = name != nullptr ? *name : std::u16string();
    std::vector<uint8_t> dataCopy = data; // the routine gets its own copy, never the registry's
    status =
        call.entry->QueryRoutine(name != nullptr ? const_cast<PWSTR>(WideData(nameCopy)) : nullptr, type,
                                 dataCopy.empty() ? nullptr : dataCopy.data(),
                                 static_cast<ULONG>(dataCopy.size()), call.context, call.entry->EntryContext);
    // Documented exception: a query routine's STATUS_BUFFER_TOO_SMALL does not stop the table.
    return status == STATUS_BUFFER_TOO_SMALL ? STATUS_SUCCESS : status;
}

// Hands a value to the entry, preprocessing REG_EXPAND_SZ (expanded, passed as REG_SZ) and
// REG_MULTI_SZ (one REG_SZ per string) unless the entry asks for RTL_QUERY_REGISTRY_NOEXPAND.
NTSTATUS Deliver(const QueryCall& call, const std::u16string* name, ULONG type, std::vector<uint8_t> data)
{
    const bool noExpand = (call.entry->Flags & RTL_QUERY_REGISTRY_NOEXPAND) != 0;
    if (type == REG_SZ || type == REG_EXPAND_SZ)
    {
        // Strings reach the caller terminated even when stored without a NUL.
        std::u16string text = TextOf(data);
        if (text.empty() || text.back() != u'\0')
        {
            data = Terminated(text);
        }
    }
    if (type == REG_EXPAND_SZ && !noExpand)
    {
        std::u16string text = TextOf(data);
        size_t nul = text.find(u'\0');
        text.resize(nul == std::u16string::npos ? text.size() : nul);
        return DeliverOne(call, name, REG_SZ, Terminated(ExpandVariables(text, call.environment)));
    }
    if (type == REG_MULTI_SZ && !noExpand)
    {
        std::u16string all = TextOf(data);
        size_t start = 0;
        while (start < all.size())
        {
            size_t end = all.find(u'\0', start);
            end = end == std::u16string::npos ? all.size() : end;
            if (end == start)
            {
                break; // the empty string that ends the list
            }
            NTSTATUS status = DeliverOne(call, name, REG_SZ,
                                         Terminated(std::u16string_view(all).substr(start, end - start)));
            if (!NT_SUCCESS(status))
            {
                return status;
            }
            start = end + 1;
        }
        return STATUS_SUCCESS;
    }
    return DeliverOne(call, name, type, data);
}

std::vector<uint8_t> DefaultData(const RTL_QUERY_REGISTRY_TABLE& entry, ULONG type)
{
    if (entry.DefaultData == nullptr)
    {
        return {};
    }
    const uint8_t* bytes = static_cast<const uint8_t*>(entry.DefaultData);
    ULONG length = entry.DefaultLength;
    if (length == 0 && (type == REG_SZ || type == REG_EXPAND_SZ))
    {
        length = static_cast<ULONG>((WideLength(static_cast<const wchar_t*>(entry.DefaultData)) + 1) *
                                    sizeof(WCHAR));
    }
    else if (length == 0 && type == REG_MULTI_SZ)
    {
        // Up to and including the empty string that ends the list.
        const wchar_t* text = static_cast<const wchar_t*>(entry.DefaultData);
        size_t units = 0;
        while (text[units] != 0)
        {
            units += WideLength(text + units) + 1;
        }
        length = static_cast<ULONG>((units + 1) * sizeof(WCHAR));
    }
    return std::vector<uint8_t>(bytes, bytes + length);
}

bool IsTableEnd(const RTL_QUERY_REGISTRY_TABLE& entry)
{
    return entry.QueryRoutine == nullptr && entry.Name == nullptr &&
           (entry.Flags &
            (RTL_QUERY_REGISTRY_SUBKEY | RTL_QUERY_REGISTRY_TOPKEY | RTL_QUERY_REGISTRY_DIRECT)) == 0;
}

// Every value of the key, in enumeration order, to one entry's routine.
NTSTATUS DeliverAllValues(const QueryCall& call, const RegistryKeyObject& key, bool deleteAfter)
{
    std::vector<RegistryValue> values;
    NTSTATUS status = ReadAllValues(key, &values);
    if (!NT_SUCCESS(status))
    {
        return status;
    }
    if (values.empty())
    {
        // A key without values skips the entry, unless the entry is required.
        return (call.entry->Flags & RTL_QUERY_REGISTRY_REQUIRED) != 0 ? STATUS_OBJECT_NAME_NOT_FOUND
                                                                      : STATUS_SUCCESS;
    }
    for (auto& value : values)
    {
        status = Deliver(call, &value.name, value.type, value.data);
        if (!NT_SUCCESS(status))
        {
            return status;
        }
        if (deleteAfter)
        {
            Cm().DeleteValue(KernelMode, key, value.name);
        }
    }
    return STATUS_SUCCESS;
}

NTSTATUS QueryRegistryValues(const char* routine, bool ex, ULONG relativeTo, PCWSTR path,
                             PRTL_QUERY_REGISTRY_TABLE table, PVOID context, PVOID environment)
{
    RequireIrqlAtMost(PASSIVE_LEVEL, routine);
    if (table == nullptr)
    {
        return STATUS_INVALID_PARAMETER;
    }
    std::shared_ptr<RegistryKeyObject> top;
    NTSTATUS status = RtlKey(relativeTo, path, false, &top);
    if (status == STATUS_OBJECT_NAME_NOT_FOUND && (relativeTo & RTL_REGISTRY_OPTIONAL) != 0)
    {
        // An optional key that is not there: nothing to query and nothing wrong.
        return STATUS_SUCCESS;
    }
    if (!NT_SUCCESS(status))
    {
        return status;
    }

    // Each key service holds the registry lock only for its own call, never while the caller's
    // query routine runs.
    std::shared_ptr<RegistryKeyObject> current = top;
    for (PRTL_QUERY_REGISTRY_TABLE entry = table; !IsTableEnd(*entry); ++entry)
    {
        const ULONG flags = entry->Flags;
        const QueryCall call{entry, context, environment, ex};
        const bool deleteAfter = (flags & RTL_QUERY_REGISTRY_DELETE) != 0;
        if ((flags & RTL_QUERY_REGISTRY_TOPKEY) != 0)
        {
            current = top;
        }
        if ((flags & RTL_QUERY_REGISTRY_SUBKEY) != 0)
        {
            // Name is a path below the top key; the entries that follow work on that key.
            if (entry->Name == nullptr)
            {
                return STATUS_INVALID_PARAMETER;
            }
            status = Cm().OpenKey(KernelMode, top.get(), View(entry->Name), KEY_ALL_ACCESS, &current);
            if (!NT_SUCCESS(status))
            {
                return status;
            }
            if (entry->QueryRoutine != nullptr)
            {
                // A routine on a subkey entry sees every value of that subkey.
                status = DeliverAllValues(call, *current, deleteAfter);
                if (!NT_SUCCESS(status))
                {
                    return status;
                }
            }
            continue;
        }
        if ((flags & RTL_QUERY_REGISTRY_DIRECT) != 0)
        {
            if (entry->Name == nullptr)
            {
                return STATUS_INVALID_PARAMETER;
            }
        }
        else if (entry->QueryRoutine == nullptr)
        {
            if ((flags & RTL_QUERY_REGISTRY_TOPKEY) != 0)
            {
                continue; // an entry that only returns to the top key
            }
            return STATUS_INVALID_PARAMETER;
        }

        status = STATUS_SUCCESS;
        if (entry->Name == nullptr)
        {
            if ((flags & RTL_QUERY_REGISTRY_NOVALUE) != 0)
            {
                status = entry->QueryRoutine(nullptr, REG_NONE, nullptr, 0, context, entry->EntryContext);
                status = status == STATUS_BUFFER_TOO_SMALL ? STATUS_SUCCESS : status;
            }
            else
            {
                status = DeliverAllValues(call, *current, deleteAfter);
            }
            if (!NT_SUCCESS(status))
            {
                return status;
            }
            continue;
        }

        std::u16string name(View(entry->Name));
        std::optional<RegistryValue> value;
        RegistryValue found;
        status = ReadValue(*current, name, &found);
        if (NT_SUCCESS(status))
        {
            value = std::move(found);
        }
        else if (status != STATUS_OBJECT_NAME_NOT_FOUND)
        {
            return status;
        }
        status = STATUS_SUCCESS;
        if (value)
        {
            if ((flags & RTL_QUERY_REGISTRY_TYPECHECK) != 0 &&
                value->type != (entry->DefaultType >> RTL_QUERY_REGISTRY_TYPECHECK_SHIFT))
            {
                return STATUS_OBJECT_TYPE_MISMATCH;
            }
            status = Deliver(call, &name, value->type, value->data);
            if (NT_SUCCESS(status) && deleteAfter)
            {
                Cm().DeleteValue(KernelMode, *current, name);
            }
        }
        else if ((flags & RTL_QUERY_REGISTRY_REQUIRED) != 0)
        {
            return STATUS_OBJECT_NAME_NOT_FOUND;
        }
        else
        {
            // The low byte of DefaultType is the default's type; the high byte is the TYPECHECK type.
            const ULONG defaultType = entry->DefaultType & 0xFF;
            if (defaultType != REG_NONE)
            {
                status = Deliver(call, &name, defaultType, DefaultData(*entry, defaultType));
            }
        }
        if (!NT_SUCCESS(status))
        {
            return status;
        }
    }
    return STATUS_SUCCESS;
}

} // namespace

} // namespace winsim::kernel

using namespace winsim;
using namespace winsim::kernel;

// The routines below keep the C linkage of their declarations in wdm.h.

NTSTATUS RtlQueryRegistryValues(ULONG RelativeTo, PCWSTR Path, PRTL_QUERY_REGISTRY_TABLE QueryTable,
                                PVOID Context, PVOID Environment)
{
    return QueryRegistryValues("RtlQueryRegistryValues", false, RelativeTo, Path, QueryTable, Context,
                               Environment);
}

NTSTATUS RtlQueryRegistryValuesEx(ULONG RelativeTo, PCWSTR Path, PRTL_QUERY_REGISTRY_TABLE QueryTable,
                                  PVOID Context, PVOID Environment)
{
    return QueryRegistryValues("RtlQueryRegistryValuesEx", true, RelativeTo, Path, QueryTable, Context,
                               Environment);
}

NTSTATUS RtlWriteRegistryValue(ULONG RelativeTo, PCWSTR Path, PCWSTR ValueName, ULONG ValueType,
                               PVOID ValueData, ULONG ValueLength)
{
    RequireIrqlAtMost(PASSIVE_LEVEL, "RtlWriteRegistryValue");
    // The key must exist. (The routine's documentation speaks of creating "the key"; what it
    // creates is the value. A missing key fails with STATUS_OBJECT_NAME_NOT_FOUND.)
    std::shared_ptr<RegistryKeyObject> key;
    NTSTATUS status = RtlKey(RelativeTo, Path, false, &key);
    if (!NT_SUCCESS(status))
    {
        return status;
    }
    std::u16string_view name = ValueName != nullptr ? View(ValueName) : std::u16string_view();
    return Cm().SetValue(KernelMode, *key, name, ValueType, ValueData, ValueLength);
}

NTSTATUS RtlDeleteRegistryValue(ULONG RelativeTo, PCWSTR Path, PCWSTR ValueName)
{
    RequireIrqlAtMost(PASSIVE_LEVEL, "RtlDeleteRegistryValue");
    std::shared_ptr<RegistryKeyObject> key;
    NTSTATUS status = RtlKey(RelativeTo, Path, false, &key);
    if (!NT_SUCCESS(status))
    {
        return status;
    }
    std::u16string_view name = ValueName != nullptr ? View(ValueName) : std::u16string_view();
    return Cm().DeleteValue(KernelMode, *key, name);
}

NTSTATUS RtlCreateRegistryKey(ULONG RelativeTo, PWSTR Path)
{
    RequireIrqlAtMost(PASSIVE_LEVEL, "RtlCreateRegistryKey");
    // Only the last key of the path is created; a missing parent fails the call.
    std::shared_ptr<RegistryKeyObject> key;
    return RtlKey(RelativeTo, Path, true, &key);
}

NTSTATUS RtlCheckRegistryKey(ULONG RelativeTo, PWSTR Path)
{
    RequireIrqlAtMost(PASSIVE_LEVEL, "RtlCheckRegistryKey");
    std::shared_ptr<RegistryKeyObject> key;
    NTSTATUS status = RtlKey(RelativeTo, Path, false, &key);
    if ((RelativeTo & RTL_REGISTRY_HANDLE) != 0 && status != STATUS_INVALID_HANDLE &&
        status != STATUS_OBJECT_TYPE_MISMATCH)
    {
        // Documented side effect: with RTL_REGISTRY_HANDLE the routine closes the handle it checked.
        System::Current().Handles().Close(reinterpret_cast<HANDLE>(Path));
    }
    return status;
}
