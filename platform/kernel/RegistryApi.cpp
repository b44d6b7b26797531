// The kernel's registry routines: the Zw* key and value services and the Rtl*Registry* helpers
// built on them. Every one of them runs at PASSIVE_LEVEL only.
#include <ntddk.h>

#include "Handles.h"
#include "Registry.h"
#include "System.h"
#include "Thread.h"
#include "base/unicode.h"

#include <algorithm>
#include <cstddef>
#include <cstring>

namespace winsim::kernel
{

namespace
{

// The configuration manager's limit on value names, in characters.
constexpr size_t MaxValueNameLength = 16383;
// Tag of the string buffers RtlQueryRegistryValues allocates for RTL_QUERY_REGISTRY_DIRECT.
constexpr ULONG QueryStringTag = 'R' | ('t' << 8) | ('l' << 16) | ('Q' << 24);

Registry& TheRegistry()
{
    return System::Current().GetRegistry();
}

ACCESS_MASK MapGenericKeyAccess(ACCESS_MASK desired)
{
    ACCESS_MASK granted =
        desired & ~(GENERIC_READ | GENERIC_WRITE | GENERIC_EXECUTE | GENERIC_ALL | MAXIMUM_ALLOWED);
    if ((desired & GENERIC_READ) != 0)
    {
        granted |= KEY_READ;
    }
    if ((desired & GENERIC_WRITE) != 0)
    {
        granted |= KEY_WRITE;
    }
    if ((desired & GENERIC_EXECUTE) != 0)
    {
        granted |= KEY_EXECUTE;
    }
    if ((desired & (GENERIC_ALL | MAXIMUM_ALLOWED)) != 0)
    {
        granted |= KEY_ALL_ACCESS;
    }
    return granted;
}

// A counted string from the caller; false when its length is not a whole number of characters.
bool ViewOf(PCUNICODE_STRING text, std::u16string_view* view)
{
    if (text == nullptr)
    {
        *view = std::u16string_view();
        return true;
    }
    if (text->Length % sizeof(WCHAR) != 0 || (text->Length != 0 && text->Buffer == nullptr))
    {
        return false;
    }
    *view = View(text->Buffer, text->Length / sizeof(WCHAR));
    return true;
}

bool SplitKeyPath(std::u16string_view path, std::vector<std::u16string_view>* parts)
{
    parts->clear();
    if (!path.empty() && path.back() == u'\\')
    {
        path.remove_suffix(1);
    }
    while (!path.empty())
    {
        size_t end = path.find(u'\\');
        std::u16string_view part = path.substr(0, end);
        if (part.empty() || part.size() > 255)
        {
            return false;
        }
        parts->push_back(part);
        if (end == std::u16string_view::npos)
        {
            break;
        }
        path.remove_prefix(end + 1);
        if (path.empty())
        {
            return false;
        }
    }
    return true;
}

// Where a name leads: the key it starts from and the components below it.
struct ParsedName
{
    std::shared_ptr<RegistryKey> base;
    std::vector<std::u16string_view> parts;
    // The handle the name is relative to, if any, and the access it was opened with.
    bool relativeToHandle = false;
};

// Resolves an absolute name (\Registry\...) or one relative to an open key. Call with the
// registry lock held.
NTSTATUS ParseName(HANDLE root, std::u16string_view name, ParsedName* parsed)
{
    if (root != nullptr)
    {
        auto object = System::Current().Handles().Lookup(root);
        if (!object)
        {
            return STATUS_INVALID_HANDLE;
        }
        auto keyObject = std::dynamic_pointer_cast<RegistryKeyObject>(object);
        if (!keyObject)
        {
            return STATUS_OBJECT_TYPE_MISMATCH;
        }
        if (keyObject->Key()->IsDeleted())
        {
            return STATUS_KEY_DELETED;
        }
        if (!name.empty() && name.front() == u'\\')
        {
            return STATUS_OBJECT_PATH_SYNTAX_BAD;
        }
        parsed->base = keyObject->Key();
        parsed->relativeToHandle = true;
        return SplitKeyPath(name, &parsed->parts) ? STATUS_SUCCESS : STATUS_OBJECT_NAME_INVALID;
    }
    if (name.empty() || name.front() != u'\\')
    {
        return STATUS_OBJECT_PATH_SYNTAX_BAD;
    }
    constexpr std::u16string_view rootName = u"\\Registry";
    if (name.size() < rootName.size() || !EqualsNoCase(name.substr(0, rootName.size()), rootName) ||
        (name.size() > rootName.size() && name[rootName.size()] != u'\\'))
    {
        // Not a name in the registry's part of the object namespace.
        return STATUS_OBJECT_NAME_NOT_FOUND;
    }
    parsed->base = TheRegistry().Root();
    std::u16string_view rest = name.substr(rootName.size());
    if (!rest.empty())
    {
        rest.remove_prefix(1);
    }
    return SplitKeyPath(rest, &parsed->parts) ? STATUS_SUCCESS : STATUS_OBJECT_NAME_INVALID;
}

// Opens parts [0, count) below base. Call with the registry lock held.
std::shared_ptr<RegistryKey> WalkDown(std::shared_ptr<RegistryKey> key,
                                      const std::vector<std::u16string_view>& parts, size_t count)
{
    for (size_t i = 0; i < count && key; ++i)
    {
        key = key->OpenSubkey(parts[i]);
    }
    return key;
}

// The key behind a handle, if not deleted. Call with the registry lock held, so that the key
// cannot be deleted before the operation is done.
NTSTATUS KeyFromHandle(HANDLE handle, std::shared_ptr<RegistryKey>* key)
{
    auto object = System::Current().Handles().Lookup(handle);
    if (!object)
    {
        return STATUS_INVALID_HANDLE;
    }
    auto keyObject = std::dynamic_pointer_cast<RegistryKeyObject>(object);
    if (!keyObject)
    {
        return STATUS_OBJECT_TYPE_MISMATCH;
    }
    // The Zw routines run with a previous mode of KernelMode, for which the object manager does not
    // check a handle's granted access: a driver may read values through a key it opened with
    // STANDARD_RIGHTS_ALL, as the framework's own samples do. The access is kept with the handle.
    if (keyObject->Key()->IsDeleted())
    {
        return STATUS_KEY_DELETED;
    }
    *key = keyObject->Key();
    return STATUS_SUCCESS;
}

ULONG AlignUp(ULONG value, ULONG alignment)
{
    return (value + alignment - 1) & ~(alignment - 1);
}

template <typename T>
void Put(std::vector<uint8_t>& image, size_t offset, const T& field)
{
    std::memcpy(image.data() + offset, &field, sizeof(field));
}

void PutBytes(std::vector<uint8_t>& image, size_t offset, const void* data, size_t length)
{
    if (length != 0)
    {
        std::memcpy(image.data() + offset, data, length);
    }
}

// Copies an information structure to the caller's buffer by the rules all the registry query
// routines share: *ResultLength is always the full size; a buffer too small for the fixed part
// gets nothing (STATUS_BUFFER_TOO_SMALL); one too small for the names and data gets the fixed part
// and as much of the rest as fits (STATUS_BUFFER_OVERFLOW).
NTSTATUS CopyOut(const std::vector<uint8_t>& image, size_t fixedLength, PVOID buffer, ULONG length,
                 PULONG resultLength)
{
    *resultLength = static_cast<ULONG>(image.size());
    if (length < fixedLength)
    {
        return STATUS_BUFFER_TOO_SMALL;
    }
    if (buffer == nullptr)
    {
        return STATUS_ACCESS_VIOLATION;
    }
    std::memcpy(buffer, image.data(), std::min<size_t>(length, image.size()));
    return length < image.size() ? STATUS_BUFFER_OVERFLOW : STATUS_SUCCESS;
}

NTSTATUS QueryValueInformation(const RegistryValue& value, KEY_VALUE_INFORMATION_CLASS infoClass,
                               PVOID buffer, ULONG length, PULONG resultLength)
{
    const ULONG nameBytes = static_cast<ULONG>(value.name.size() * sizeof(char16_t));
    const ULONG dataBytes = static_cast<ULONG>(value.data.size());
    const ULONG zero = 0;
    std::vector<uint8_t> image;
    size_t fixed = 0;
    switch (infoClass)
    {
    case KeyValueBasicInformation:
        fixed = offsetof(KEY_VALUE_BASIC_INFORMATION, Name);
        image.assign(fixed + nameBytes, 0);
        Put(image, offsetof(KEY_VALUE_BASIC_INFORMATION, TitleIndex), zero);
        Put(image, offsetof(KEY_VALUE_BASIC_INFORMATION, Type), value.type);
        Put(image, offsetof(KEY_VALUE_BASIC_INFORMATION, NameLength), nameBytes);
        PutBytes(image, fixed, value.name.data(), nameBytes);
        break;
    case KeyValueFullInformation:
    case KeyValueFullInformationAlign64: {
        fixed = offsetof(KEY_VALUE_FULL_INFORMATION, Name);
        // The data follows the name, aligned to 4 bytes, or to 8 for the Align64 class.
        const ULONG dataOffset =
            AlignUp(static_cast<ULONG>(fixed) + nameBytes, infoClass == KeyValueFullInformation ? 4 : 8);
        image.assign(dataOffset + dataBytes, 0);
        Put(image, offsetof(KEY_VALUE_FULL_INFORMATION, TitleIndex), zero);
        Put(image, offsetof(KEY_VALUE_FULL_INFORMATION, Type), value.type);
        Put(image, offsetof(KEY_VALUE_FULL_INFORMATION, DataOffset), dataOffset);
        Put(image, offsetof(KEY_VALUE_FULL_INFORMATION, DataLength), dataBytes);
        Put(image, offsetof(KEY_VALUE_FULL_INFORMATION, NameLength), nameBytes);
        PutBytes(image, fixed, value.name.data(), nameBytes);
        PutBytes(image, dataOffset, value.data.data(), dataBytes);
        break;
    }
    case KeyValuePartialInformation:
        fixed = offsetof(KEY_VALUE_PARTIAL_INFORMATION, Data);
        image.assign(fixed + dataBytes, 0);
        Put(image, offsetof(KEY_VALUE_PARTIAL_INFORMATION, TitleIndex), zero);
        Put(image, offsetof(KEY_VALUE_PARTIAL_INFORMATION, Type), value.type);
        Put(image, offsetof(KEY_VALUE_PARTIAL_INFORMATION, DataLength), dataBytes);
        PutBytes(image, fixed, value.data.data(), dataBytes);
        break;
    case KeyValuePartialInformationAlign64:
        // Unlike its 32-bit-aligned sibling this structure has no TitleIndex.
        fixed = offsetof(KEY_VALUE_PARTIAL_INFORMATION_ALIGN64, Data);
        image.assign(fixed + dataBytes, 0);
        Put(image, offsetof(KEY_VALUE_PARTIAL_INFORMATION_ALIGN64, Type), value.type);
        Put(image, offsetof(KEY_VALUE_PARTIAL_INFORMATION_ALIGN64, DataLength), dataBytes);
        PutBytes(image, fixed, value.data.data(), dataBytes);
        break;
    default:
        return STATUS_INVALID_PARAMETER;
    }
    return CopyOut(image, fixed, buffer, length, resultLength);
}

bool IsValueInformationClass(KEY_VALUE_INFORMATION_CLASS infoClass)
{
    return infoClass == KeyValueBasicInformation || infoClass == KeyValueFullInformation ||
           infoClass == KeyValuePartialInformation || infoClass == KeyValueFullInformationAlign64 ||
           infoClass == KeyValuePartialInformationAlign64;
}

// The Align64 classes need an 8-byte aligned buffer.
bool IsMisaligned(KEY_VALUE_INFORMATION_CLASS infoClass, PVOID buffer)
{
    return (infoClass == KeyValueFullInformationAlign64 || infoClass == KeyValuePartialInformationAlign64) &&
           (reinterpret_cast<uintptr_t>(buffer) & 7) != 0;
}

// The name ZwQueryKey reports: the full path, with the object manager's upper-case root names.
std::u16string ObjectName(const RegistryKey& key)
{
    std::u16string path = key.Path();
    // \Registry\Machine\... is reported as \REGISTRY\MACHINE\...
    size_t upTo = path.find(u'\\', 1);
    upTo = upTo == std::u16string::npos ? path.size() : path.find(u'\\', upTo + 1);
    upTo = upTo == std::u16string::npos ? path.size() : upTo;
    return UpperCase(std::u16string_view(path).substr(0, upTo)) + path.substr(upTo);
}

NTSTATUS QueryKeyInformation(const RegistryKey& key, KEY_INFORMATION_CLASS infoClass, PVOID buffer,
                             ULONG length, PULONG resultLength)
{
    const ULONG zero = 0;
    const ULONG noClass = 0xFFFFFFFF; // ClassOffset when the key has no class
    const std::u16string& name = key.Name();
    const ULONG nameBytes = static_cast<ULONG>(name.size() * sizeof(char16_t));
    const std::u16string className = key.ClassName();
    const ULONG classBytes = static_cast<ULONG>(className.size() * sizeof(char16_t));
    LARGE_INTEGER lastWrite;
    lastWrite.QuadPart = key.LastWriteTime();
    std::vector<uint8_t> image;
    size_t fixed = 0;
    switch (infoClass)
    {
    case KeyBasicInformation:
        fixed = offsetof(KEY_BASIC_INFORMATION, Name);
        image.assign(fixed + nameBytes, 0);
        Put(image, offsetof(KEY_BASIC_INFORMATION, LastWriteTime), lastWrite);
        Put(image, offsetof(KEY_BASIC_INFORMATION, TitleIndex), zero);
        Put(image, offsetof(KEY_BASIC_INFORMATION, NameLength), nameBytes);
        PutBytes(image, fixed, name.data(), nameBytes);
        break;
    case KeyNodeInformation: {
        fixed = offsetof(KEY_NODE_INFORMATION, Name);
        const ULONG classOffset = AlignUp(static_cast<ULONG>(fixed) + nameBytes, 4);
        image.assign(classBytes != 0 ? classOffset + classBytes : fixed + nameBytes, 0);
        Put(image, offsetof(KEY_NODE_INFORMATION, LastWriteTime), lastWrite);
        Put(image, offsetof(KEY_NODE_INFORMATION, TitleIndex), zero);
        Put(image, offsetof(KEY_NODE_INFORMATION, ClassOffset), classBytes != 0 ? classOffset : noClass);
        Put(image, offsetof(KEY_NODE_INFORMATION, ClassLength), classBytes);
        Put(image, offsetof(KEY_NODE_INFORMATION, NameLength), nameBytes);
        PutBytes(image, fixed, name.data(), nameBytes);
        PutBytes(image, classOffset, className.data(), classBytes);
        break;
    }
    case KeyFullInformation: {
        fixed = offsetof(KEY_FULL_INFORMATION, Class);
        ULONG maxNameLen = 0;
        ULONG maxClassLen = 0;
        std::vector<std::u16string> subkeys = key.SubkeyNames();
        for (const auto& subkeyName : subkeys)
        {
            maxNameLen =
                std::max<ULONG>(maxNameLen, static_cast<ULONG>(subkeyName.size() * sizeof(char16_t)));
            if (auto subkey = key.OpenSubkey(subkeyName))
            {
                maxClassLen = std::max<ULONG>(
                    maxClassLen, static_cast<ULONG>(subkey->ClassName().size() * sizeof(char16_t)));
            }
        }
        ULONG maxValueNameLen = 0;
        ULONG maxValueDataLen = 0;
        std::vector<RegistryValue> values = key.Values();
        for (const auto& value : values)
        {
            maxValueNameLen =
                std::max<ULONG>(maxValueNameLen, static_cast<ULONG>(value.name.size() * sizeof(char16_t)));
            maxValueDataLen = std::max<ULONG>(maxValueDataLen, static_cast<ULONG>(value.data.size()));
        }
        image.assign(fixed + classBytes, 0);
        Put(image, offsetof(KEY_FULL_INFORMATION, LastWriteTime), lastWrite);
        Put(image, offsetof(KEY_FULL_INFORMATION, TitleIndex), zero);
        Put(image, offsetof(KEY_FULL_INFORMATION, ClassOffset),
            classBytes != 0 ? static_cast<ULONG>(fixed) : noClass);
        Put(image, offsetof(KEY_FULL_INFORMATION, ClassLength), classBytes);
        Put(image, offsetof(KEY_FULL_INFORMATION, SubKeys), static_cast<ULONG>(subkeys.size()));
        Put(image, offsetof(KEY_FULL_INFORMATION, MaxNameLen), maxNameLen);
        Put(image, offsetof(KEY_FULL_INFORMATION, MaxClassLen), maxClassLen);
        Put(image, offsetof(KEY_FULL_INFORMATION, Values), static_cast<ULONG>(values.size()));
        Put(image, offsetof(KEY_FULL_INFORMATION, MaxValueNameLen), maxValueNameLen);
        Put(image, offsetof(KEY_FULL_INFORMATION, MaxValueDataLen), maxValueDataLen);
        PutBytes(image, fixed, className.data(), classBytes);
        break;
    }
    case KeyNameInformation: {
        fixed = offsetof(KEY_NAME_INFORMATION, Name);
        std::u16string fullName = ObjectName(key);
        const ULONG fullBytes = static_cast<ULONG>(fullName.size() * sizeof(char16_t));
        image.assign(fixed + fullBytes, 0);
        Put(image, offsetof(KEY_NAME_INFORMATION, NameLength), fullBytes);
        PutBytes(image, fixed, fullName.data(), fullBytes);
        break;
    }
    default:
        return STATUS_INVALID_PARAMETER;
    }
    return CopyOut(image, fixed, buffer, length, resultLength);
}

// ---------------------------------------------------------------------------------------------
// Rtl helpers

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
// (only that one: its parent must exist). Call with the registry lock held.
NTSTATUS RtlKey(ULONG relativeTo, PCWSTR path, bool create, std::shared_ptr<RegistryKey>* key)
{
    if ((relativeTo & RTL_REGISTRY_HANDLE) != 0)
    {
        return KeyFromHandle(reinterpret_cast<HANDLE>(const_cast<PWSTR>(path)), key);
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
    ParsedName parsed;
    status = ParseName(nullptr, full, &parsed);
    if (!NT_SUCCESS(status))
    {
        return status;
    }
    if (!create || parsed.parts.empty())
    {
        *key = WalkDown(parsed.base, parsed.parts, parsed.parts.size());
        return *key ? STATUS_SUCCESS : STATUS_OBJECT_NAME_NOT_FOUND;
    }
    std::shared_ptr<RegistryKey> parent = WalkDown(parsed.base, parsed.parts, parsed.parts.size() - 1);
    if (!parent)
    {
        return STATUS_OBJECT_NAME_NOT_FOUND;
    }
    *key = parent->CreateSubkey(parsed.parts.back(), false, nullptr, &status);
    return status;
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
    {
        Registry& registry = TheRegistry();
        std::lock_guard<std::recursive_mutex> guard(registry.Lock());
        std::u16string path = ControlKeyPath;
        path += u"\\Session Manager\\Environment";
        if (auto key = registry.OpenKey(path))
        {
            if (auto text = key->GetString(name))
            {
                *value = *text;
                return true;
            }
        }
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
NTSTATUS DeliverAllValues(const QueryCall& call, const std::shared_ptr<RegistryKey>& key, bool deleteAfter)
{
    std::vector<RegistryValue> values;
    {
        std::lock_guard<std::recursive_mutex> guard(TheRegistry().Lock());
        if (key->IsDeleted())
        {
            return STATUS_KEY_DELETED;
        }
        values = key->Values();
    }
    if (values.empty())
    {
        // A key without values skips the entry, unless the entry is required.
        return (call.entry->Flags & RTL_QUERY_REGISTRY_REQUIRED) != 0 ? STATUS_OBJECT_NAME_NOT_FOUND
                                                                      : STATUS_SUCCESS;
    }
    for (auto& value : values)
    {
        NTSTATUS status = Deliver(call, &value.name, value.type, value.data);
        if (!NT_SUCCESS(status))
        {
            return status;
        }
        if (deleteAfter)
        {
            key->DeleteValue(value.name);
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
    Registry& registry = TheRegistry();
    std::shared_ptr<RegistryKey> top;
    {
        std::lock_guard<std::recursive_mutex> guard(registry.Lock());
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
    }

    // The registry lock is held only while reading or changing the tree, never while the caller's
    // query routine runs.
    std::shared_ptr<RegistryKey> current = top;
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
            std::vector<std::u16string_view> parts;
            std::u16string subPath(View(entry->Name));
            if (!SplitKeyPath(subPath, &parts))
            {
                return STATUS_OBJECT_NAME_INVALID;
            }
            {
                std::lock_guard<std::recursive_mutex> guard(registry.Lock());
                if (top->IsDeleted())
                {
                    return STATUS_KEY_DELETED;
                }
                current = WalkDown(top, parts, parts.size());
            }
            if (!current)
            {
                return STATUS_OBJECT_NAME_NOT_FOUND;
            }
            if (entry->QueryRoutine != nullptr)
            {
                // A routine on a subkey entry sees every value of that subkey.
                NTSTATUS status = DeliverAllValues(call, current, deleteAfter);
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

        NTSTATUS status = STATUS_SUCCESS;
        if (entry->Name == nullptr)
        {
            if ((flags & RTL_QUERY_REGISTRY_NOVALUE) != 0)
            {
                status = entry->QueryRoutine(nullptr, REG_NONE, nullptr, 0, context, entry->EntryContext);
                status = status == STATUS_BUFFER_TOO_SMALL ? STATUS_SUCCESS : status;
            }
            else
            {
                status = DeliverAllValues(call, current, deleteAfter);
            }
            if (!NT_SUCCESS(status))
            {
                return status;
            }
            continue;
        }

        std::u16string name(View(entry->Name));
        std::optional<RegistryValue> value;
        {
            std::lock_guard<std::recursive_mutex> guard(registry.Lock());
            if (current->IsDeleted())
            {
                return STATUS_KEY_DELETED;
            }
            value = current->GetValue(name);
        }
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
                current->DeleteValue(name);
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

HANDLE InsertKeyHandle(std::shared_ptr<RegistryKey> key, ACCESS_MASK desiredAccess)
{
    return System::Current().Handles().Insert(
        std::make_shared<RegistryKeyObject>(std::move(key), MapGenericKeyAccess(desiredAccess)));
}

} // namespace winsim::kernel

using namespace winsim;
using namespace winsim::kernel;

// The routines below keep the C linkage of their declarations in wdm.h.

NTSTATUS ZwClose(HANDLE Handle)
{
    RequireIrqlAtMost(PASSIVE_LEVEL, "ZwClose");
    // Windows bug-checks (INVALID_KERNEL_HANDLE) when a driver closes a kernel handle that is not
    // open; the machine reports STATUS_INVALID_HANDLE so that a test can see the mistake.
    return System::Current().Handles().Close(Handle) ? STATUS_SUCCESS : STATUS_INVALID_HANDLE;
}

NTSTATUS ZwOpenKey(PHANDLE KeyHandle, ACCESS_MASK DesiredAccess, POBJECT_ATTRIBUTES ObjectAttributes)
{
    RequireIrqlAtMost(PASSIVE_LEVEL, "ZwOpenKey");
    if (KeyHandle == nullptr || ObjectAttributes == nullptr)
    {
        return STATUS_ACCESS_VIOLATION;
    }
    std::u16string_view name;
    if (!ViewOf(ObjectAttributes->ObjectName, &name))
    {
        return STATUS_OBJECT_NAME_INVALID;
    }
    Registry& registry = TheRegistry();
    std::lock_guard<std::recursive_mutex> guard(registry.Lock());
    ParsedName parsed;
    NTSTATUS status = ParseName(ObjectAttributes->RootDirectory, name, &parsed);
    if (!NT_SUCCESS(status))
    {
        return status;
    }
    std::shared_ptr<RegistryKey> key = WalkDown(parsed.base, parsed.parts, parsed.parts.size());
    if (!key)
    {
        return STATUS_OBJECT_NAME_NOT_FOUND;
    }
    *KeyHandle = InsertKeyHandle(std::move(key), DesiredAccess);
    return STATUS_SUCCESS;
}

NTSTATUS ZwCreateKey(PHANDLE KeyHandle, ACCESS_MASK DesiredAccess, POBJECT_ATTRIBUTES ObjectAttributes,
                     ULONG TitleIndex, PUNICODE_STRING Class, ULONG CreateOptions, PULONG Disposition)
{
    (void)TitleIndex;
    RequireIrqlAtMost(PASSIVE_LEVEL, "ZwCreateKey");
    if (KeyHandle == nullptr || ObjectAttributes == nullptr)
    {
        return STATUS_ACCESS_VIOLATION;
    }
    constexpr ULONG REG_OPTION_CREATE_LINK = 0x2;
    constexpr ULONG REG_OPTION_BACKUP_RESTORE = 0x4;
    constexpr ULONG REG_OPTION_OPEN_LINK = 0x8;
    if ((CreateOptions & ~(REG_OPTION_VOLATILE | REG_OPTION_CREATE_LINK | REG_OPTION_BACKUP_RESTORE |
                           REG_OPTION_OPEN_LINK)) != 0)
    {
        return STATUS_INVALID_PARAMETER;
    }
    if ((CreateOptions & REG_OPTION_CREATE_LINK) != 0)
    {
        return STATUS_NOT_IMPLEMENTED; // symbolic links are not part of the machine's registry
    }
    std::u16string_view name;
    std::u16string_view className;
    if (!ViewOf(ObjectAttributes->ObjectName, &name) || !ViewOf(Class, &className))
    {
        return STATUS_OBJECT_NAME_INVALID;
    }
    Registry& registry = TheRegistry();
    std::lock_guard<std::recursive_mutex> guard(registry.Lock());
    ParsedName parsed;
    NTSTATUS status = ParseName(ObjectAttributes->RootDirectory, name, &parsed);
    if (!NT_SUCCESS(status))
    {
        return status;
    }
    std::shared_ptr<RegistryKey> key;
    bool created = false;
    if (parsed.parts.empty())
    {
        key = parsed.base;
    }
    else
    {
        // Only the last key of the name is created; every key above it must exist.
        std::shared_ptr<RegistryKey> parent = WalkDown(parsed.base, parsed.parts, parsed.parts.size() - 1);
        if (!parent)
        {
            return STATUS_OBJECT_NAME_NOT_FOUND;
        }
        key = parent->OpenSubkey(parsed.parts.back());
        if (!key)
        {
            key = parent->CreateSubkey(parsed.parts.back(), (CreateOptions & REG_OPTION_VOLATILE) != 0,
                                       &created, &status);
            if (!key)
            {
                return status;
            }
            if (!className.empty())
            {
                key->SetClassName(className);
            }
        }
    }
    *KeyHandle = InsertKeyHandle(std::move(key), DesiredAccess);
    if (Disposition != nullptr)
    {
        *Disposition = created ? REG_CREATED_NEW_KEY : REG_OPENED_EXISTING_KEY;
    }
    return STATUS_SUCCESS;
}

NTSTATUS ZwQueryValueKey(HANDLE KeyHandle, PUNICODE_STRING ValueName,
                         KEY_VALUE_INFORMATION_CLASS KeyValueInformationClass, PVOID KeyValueInformation,
                         ULONG Length, PULONG ResultLength)
{
    RequireIrqlAtMost(PASSIVE_LEVEL, "ZwQueryValueKey");
    if (ResultLength == nullptr)
    {
        return STATUS_ACCESS_VIOLATION;
    }
    Registry& registry = TheRegistry();
    std::lock_guard<std::recursive_mutex> guard(registry.Lock());
    std::shared_ptr<RegistryKey> key;
    NTSTATUS status = KeyFromHandle(KeyHandle, &key);
    if (!NT_SUCCESS(status))
    {
        return status;
    }
    if (!IsValueInformationClass(KeyValueInformationClass))
    {
        return STATUS_INVALID_PARAMETER;
    }
    if (IsMisaligned(KeyValueInformationClass, KeyValueInformation))
    {
        return STATUS_DATATYPE_MISALIGNMENT;
    }
    std::u16string_view name;
    if (!ViewOf(ValueName, &name))
    {
        return STATUS_INVALID_PARAMETER;
    }
    std::optional<RegistryValue> value = key->GetValue(name);
    if (!value)
    {
        return STATUS_OBJECT_NAME_NOT_FOUND;
    }
    return QueryValueInformation(*value, KeyValueInformationClass, KeyValueInformation, Length, ResultLength);
}

NTSTATUS ZwEnumerateValueKey(HANDLE KeyHandle, ULONG Index,
                             KEY_VALUE_INFORMATION_CLASS KeyValueInformationClass, PVOID KeyValueInformation,
                             ULONG Length, PULONG ResultLength)
{
    RequireIrqlAtMost(PASSIVE_LEVEL, "ZwEnumerateValueKey");
    if (ResultLength == nullptr)
    {
        return STATUS_ACCESS_VIOLATION;
    }
    Registry& registry = TheRegistry();
    std::lock_guard<std::recursive_mutex> guard(registry.Lock());
    std::shared_ptr<RegistryKey> key;
    NTSTATUS status = KeyFromHandle(KeyHandle, &key);
    if (!NT_SUCCESS(status))
    {
        return status;
    }
    if (!IsValueInformationClass(KeyValueInformationClass))
    {
        return STATUS_INVALID_PARAMETER;
    }
    if (IsMisaligned(KeyValueInformationClass, KeyValueInformation))
    {
        return STATUS_DATATYPE_MISALIGNMENT;
    }
    std::vector<RegistryValue> values = key->Values();
    if (Index >= values.size())
    {
        return STATUS_NO_MORE_ENTRIES;
    }
    return QueryValueInformation(values[Index], KeyValueInformationClass, KeyValueInformation, Length,
                                 ResultLength);
}

NTSTATUS ZwEnumerateKey(HANDLE KeyHandle, ULONG Index, KEY_INFORMATION_CLASS KeyInformationClass,
                        PVOID KeyInformation, ULONG Length, PULONG ResultLength)
{
    RequireIrqlAtMost(PASSIVE_LEVEL, "ZwEnumerateKey");
    if (ResultLength == nullptr)
    {
        return STATUS_ACCESS_VIOLATION;
    }
    Registry& registry = TheRegistry();
    std::lock_guard<std::recursive_mutex> guard(registry.Lock());
    std::shared_ptr<RegistryKey> key;
    NTSTATUS status = KeyFromHandle(KeyHandle, &key);
    if (!NT_SUCCESS(status))
    {
        return status;
    }
    if (KeyInformationClass != KeyBasicInformation && KeyInformationClass != KeyNodeInformation &&
        KeyInformationClass != KeyFullInformation)
    {
        return STATUS_INVALID_PARAMETER;
    }
    std::vector<std::u16string> names = key->SubkeyNames();
    if (Index >= names.size())
    {
        return STATUS_NO_MORE_ENTRIES;
    }
    std::shared_ptr<RegistryKey> subkey = key->OpenSubkey(names[Index]);
    return QueryKeyInformation(*subkey, KeyInformationClass, KeyInformation, Length, ResultLength);
}

NTSTATUS ZwQueryKey(HANDLE KeyHandle, KEY_INFORMATION_CLASS KeyInformationClass, PVOID KeyInformation,
                    ULONG Length, PULONG ResultLength)
{
    RequireIrqlAtMost(PASSIVE_LEVEL, "ZwQueryKey");
    if (ResultLength == nullptr)
    {
        return STATUS_ACCESS_VIOLATION;
    }
    Registry& registry = TheRegistry();
    std::lock_guard<std::recursive_mutex> guard(registry.Lock());
    std::shared_ptr<RegistryKey> key;
    NTSTATUS status = KeyFromHandle(KeyHandle, &key);
    if (!NT_SUCCESS(status))
    {
        return status;
    }
    return QueryKeyInformation(*key, KeyInformationClass, KeyInformation, Length, ResultLength);
}

NTSTATUS ZwSetValueKey(HANDLE KeyHandle, PUNICODE_STRING ValueName, ULONG TitleIndex, ULONG Type, PVOID Data,
                       ULONG DataSize)
{
    (void)TitleIndex;
    RequireIrqlAtMost(PASSIVE_LEVEL, "ZwSetValueKey");
    Registry& registry = TheRegistry();
    std::lock_guard<std::recursive_mutex> guard(registry.Lock());
    std::shared_ptr<RegistryKey> key;
    NTSTATUS status = KeyFromHandle(KeyHandle, &key);
    if (!NT_SUCCESS(status))
    {
        return status;
    }
    std::u16string_view name;
    if (!ViewOf(ValueName, &name) || name.size() > MaxValueNameLength)
    {
        return STATUS_INVALID_PARAMETER;
    }
    if (Data == nullptr && DataSize != 0)
    {
        return STATUS_ACCESS_VIOLATION;
    }
    key->SetValue(name, Type, Data, DataSize);
    return STATUS_SUCCESS;
}

NTSTATUS ZwDeleteValueKey(HANDLE KeyHandle, PUNICODE_STRING ValueName)
{
    RequireIrqlAtMost(PASSIVE_LEVEL, "ZwDeleteValueKey");
    Registry& registry = TheRegistry();
    std::lock_guard<std::recursive_mutex> guard(registry.Lock());
    std::shared_ptr<RegistryKey> key;
    NTSTATUS status = KeyFromHandle(KeyHandle, &key);
    if (!NT_SUCCESS(status))
    {
        return status;
    }
    std::u16string_view name;
    if (!ViewOf(ValueName, &name))
    {
        return STATUS_INVALID_PARAMETER;
    }
    return key->DeleteValue(name) ? STATUS_SUCCESS : STATUS_OBJECT_NAME_NOT_FOUND;
}

NTSTATUS ZwDeleteKey(HANDLE KeyHandle)
{
    RequireIrqlAtMost(PASSIVE_LEVEL, "ZwDeleteKey");
    Registry& registry = TheRegistry();
    std::lock_guard<std::recursive_mutex> guard(registry.Lock());
    std::shared_ptr<RegistryKey> key;
    NTSTATUS status = KeyFromHandle(KeyHandle, &key);
    if (!NT_SUCCESS(status))
    {
        return status;
    }
    // The handle stays open (the caller still closes it) but refers to a deleted key from now on.
    return registry.DeleteKey(key);
}

NTSTATUS ZwFlushKey(HANDLE KeyHandle)
{
    RequireIrqlAtMost(PASSIVE_LEVEL, "ZwFlushKey");
    Registry& registry = TheRegistry();
    std::lock_guard<std::recursive_mutex> guard(registry.Lock());
    std::shared_ptr<RegistryKey> key;
    // The machine's registry lives in memory: there is nothing to write back.
    return KeyFromHandle(KeyHandle, &key);
}

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
    Registry& registry = TheRegistry();
    std::lock_guard<std::recursive_mutex> guard(registry.Lock());
    // The key must exist. (The routine's documentation speaks of creating "the key"; what it
    // creates is the value. A missing key fails with STATUS_OBJECT_NAME_NOT_FOUND.)
    std::shared_ptr<RegistryKey> key;
    NTSTATUS status = RtlKey(RelativeTo, Path, false, &key);
    if (!NT_SUCCESS(status))
    {
        return status;
    }
    std::u16string_view name = ValueName != nullptr ? View(ValueName) : std::u16string_view();
    if (name.size() > MaxValueNameLength)
    {
        return STATUS_INVALID_PARAMETER;
    }
    if (ValueData == nullptr && ValueLength != 0)
    {
        return STATUS_ACCESS_VIOLATION;
    }
    key->SetValue(name, ValueType, ValueData, ValueLength);
    return STATUS_SUCCESS;
}

NTSTATUS RtlDeleteRegistryValue(ULONG RelativeTo, PCWSTR Path, PCWSTR ValueName)
{
    RequireIrqlAtMost(PASSIVE_LEVEL, "RtlDeleteRegistryValue");
    Registry& registry = TheRegistry();
    std::lock_guard<std::recursive_mutex> guard(registry.Lock());
    std::shared_ptr<RegistryKey> key;
    NTSTATUS status = RtlKey(RelativeTo, Path, false, &key);
    if (!NT_SUCCESS(status))
    {
        return status;
    }
    std::u16string_view name = ValueName != nullptr ? View(ValueName) : std::u16string_view();
    return key->DeleteValue(name) ? STATUS_SUCCESS : STATUS_OBJECT_NAME_NOT_FOUND;
}

NTSTATUS RtlCreateRegistryKey(ULONG RelativeTo, PWSTR Path)
{
    RequireIrqlAtMost(PASSIVE_LEVEL, "RtlCreateRegistryKey");
    Registry& registry = TheRegistry();
    std::lock_guard<std::recursive_mutex> guard(registry.Lock());
    // Only the last key of the path is created; a missing parent fails the call.
    std::shared_ptr<RegistryKey> key;
    return RtlKey(RelativeTo, Path, true, &key);
}

NTSTATUS RtlCheckRegistryKey(ULONG RelativeTo, PWSTR Path)
{
    RequireIrqlAtMost(PASSIVE_LEVEL, "RtlCheckRegistryKey");
    Registry& registry = TheRegistry();
    std::lock_guard<std::recursive_mutex> guard(registry.Lock());
    std::shared_ptr<RegistryKey> key;
    NTSTATUS status = RtlKey(RelativeTo, Path, false, &key);
    if ((RelativeTo & RTL_REGISTRY_HANDLE) != 0 && status != STATUS_INVALID_HANDLE &&
        status != STATUS_OBJECT_TYPE_MISMATCH)
    {
        // Documented side effect: with RTL_REGISTRY_HANDLE the routine closes the handle it checked.
        System::Current().Handles().Close(reinterpret_cast<HANDLE>(Path));
    }
    return status;
}
