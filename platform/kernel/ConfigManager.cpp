// The configuration manager's key services (see ConfigManager.h): name parsing, the information
// classes of the query services and the access checks for user-mode callers.
#include <ntddk.h>

#include "ConfigManager.h"

#include "System.h"
#include "Thread.h"
#include "base/unicode.h"

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <mutex>
#include <optional>
#include <vector>

namespace winsim::kernel
{

namespace
{

// The configuration manager's limits on names, in characters.
constexpr size_t MaxKeyNameLength = 255;
constexpr size_t MaxValueNameLength = 16383;

// ZwCreateKey options beyond REG_OPTION_VOLATILE (wdm.h does not declare them all).
constexpr ULONG CreateLinkOption = 0x2;    // REG_OPTION_CREATE_LINK
constexpr ULONG BackupRestoreOption = 0x4; // REG_OPTION_BACKUP_RESTORE
constexpr ULONG OpenLinkOption = 0x8;      // REG_OPTION_OPEN_LINK

// The object manager's check when a handle is referenced: a caller from user mode needs the
// access the operation asks for; a kernel-mode caller is trusted.
NTSTATUS CheckAccess(KPROCESSOR_MODE mode, const RegistryKeyObject& key, ACCESS_MASK required)
{
    if (mode == KernelMode || (key.GrantedAccess() & required) == required)
    {
        return STATUS_SUCCESS;
    }
    return STATUS_ACCESS_DENIED;
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
        if (part.empty() || part.size() > MaxKeyNameLength)
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
};

// Resolves an absolute name (\Registry\...) or one relative to a root key. Call with the
// registry lock held.
NTSTATUS ParseName(const Registry& registry, const RegistryKeyObject* root, std::u16string_view name,
                   ParsedName* parsed)
{
    if (root != nullptr)
    {
        if (root->Key()->IsDeleted())
        {
            return STATUS_KEY_DELETED;
        }
        if (!name.empty() && name.front() == u'\\')
        {
            return STATUS_OBJECT_PATH_SYNTAX_BAD;
        }
        parsed->base = root->Key();
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
    parsed->base = registry.Root();
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

} // namespace

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

NTSTATUS ReferenceKernelKey(HANDLE handle, std::shared_ptr<RegistryKeyObject>* key)
{
    std::shared_ptr<KernelObject> object = System::Current().Handles().Lookup(handle);
    if (!object)
    {
        return STATUS_INVALID_HANDLE;
    }
    *key = std::dynamic_pointer_cast<RegistryKeyObject>(object);
    return *key ? STATUS_SUCCESS : STATUS_OBJECT_TYPE_MISMATCH;
}

ConfigManager::ConfigManager(Registry& registry) : m_registry(registry) {}

// --- keys by name -----------------------------------------------------------------------------

NTSTATUS ConfigManager::OpenKey(KPROCESSOR_MODE, const RegistryKeyObject* root, std::u16string_view name,
                                ACCESS_MASK desiredAccess, std::shared_ptr<RegistryKeyObject>* opened)
{
    std::lock_guard<std::recursive_mutex> guard(m_registry.Lock());
    ParsedName parsed;
    NTSTATUS status = ParseName(m_registry, root, name, &parsed);
    if (!NT_SUCCESS(status))
    {
        return status;
    }
    std::shared_ptr<RegistryKey> key = WalkDown(parsed.base, parsed.parts, parsed.parts.size());
    if (!key)
    {
        return STATUS_OBJECT_NAME_NOT_FOUND;
    }
    *opened = std::make_shared<RegistryKeyObject>(std::move(key), MapGenericKeyAccess(desiredAccess));
    return STATUS_SUCCESS;
}

NTSTATUS ConfigManager::CreateKey(KPROCESSOR_MODE mode, const RegistryKeyObject* root,
                                  std::u16string_view name, ACCESS_MASK desiredAccess,
                                  std::u16string_view className, ULONG createOptions,
                                  std::shared_ptr<RegistryKeyObject>* opened, ULONG* disposition)
{
    if ((createOptions & ~(REG_OPTION_VOLATILE | CreateLinkOption | BackupRestoreOption | OpenLinkOption)) !=
        0)
    {
        return STATUS_INVALID_PARAMETER;
    }
    if ((createOptions & CreateLinkOption) != 0)
    {
        return STATUS_NOT_IMPLEMENTED; // symbolic links are not part of the machine's registry
    }
    std::lock_guard<std::recursive_mutex> guard(m_registry.Lock());
    ParsedName parsed;
    NTSTATUS status = ParseName(m_registry, root, name, &parsed);
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
            if (root != nullptr)
            {
                status = CheckAccess(mode, *root, KEY_CREATE_SUB_KEY);
                if (!NT_SUCCESS(status))
                {
                    return status;
                }
            }
            key = parent->CreateSubkey(parsed.parts.back(), (createOptions & REG_OPTION_VOLATILE) != 0,
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
    *opened = std::make_shared<RegistryKeyObject>(std::move(key), MapGenericKeyAccess(desiredAccess));
    if (disposition != nullptr)
    {
        *disposition = created ? REG_CREATED_NEW_KEY : REG_OPENED_EXISTING_KEY;
    }
    return STATUS_SUCCESS;
}

// --- values -----------------------------------------------------------------------------------

NTSTATUS ConfigManager::QueryValue(KPROCESSOR_MODE mode, const RegistryKeyObject& key,
                                   std::u16string_view name, KEY_VALUE_INFORMATION_CLASS infoClass,
                                   PVOID buffer, ULONG length, PULONG resultLength)
{
    NTSTATUS status = CheckAccess(mode, key, KEY_QUERY_VALUE);
    if (!NT_SUCCESS(status))
    {
        return status;
    }
    std::lock_guard<std::recursive_mutex> guard(m_registry.Lock());
    if (key.Key()->IsDeleted())
    {
        return STATUS_KEY_DELETED;
    }
    if (!IsValueInformationClass(infoClass))
    {
        return STATUS_INVALID_PARAMETER;
    }
    if (IsMisaligned(infoClass, buffer))
    {
        return STATUS_DATATYPE_MISALIGNMENT;
    }
    std::optional<RegistryValue> value = key.Key()->GetValue(name);
    if (!value)
    {
        return STATUS_OBJECT_NAME_NOT_FOUND;
    }
    return QueryValueInformation(*value, infoClass, buffer, length, resultLength);
}

NTSTATUS ConfigManager::EnumerateValue(KPROCESSOR_MODE mode, const RegistryKeyObject& key, ULONG index,
                                       KEY_VALUE_INFORMATION_CLASS infoClass, PVOID buffer, ULONG length,
                                       PULONG resultLength)
{
    NTSTATUS status = CheckAccess(mode, key, KEY_QUERY_VALUE);
    if (!NT_SUCCESS(status))
    {
        return status;
    }
    std::lock_guard<std::recursive_mutex> guard(m_registry.Lock());
    if (key.Key()->IsDeleted())
    {
        return STATUS_KEY_DELETED;
    }
    if (!IsValueInformationClass(infoClass))
    {
        return STATUS_INVALID_PARAMETER;
    }
    if (IsMisaligned(infoClass, buffer))
    {
        return STATUS_DATATYPE_MISALIGNMENT;
    }
    std::vector<RegistryValue> values = key.Key()->Values();
    if (index >= values.size())
    {
        return STATUS_NO_MORE_ENTRIES;
    }
    return QueryValueInformation(values[index], infoClass, buffer, length, resultLength);
}

NTSTATUS ConfigManager::SetValue(KPROCESSOR_MODE mode, const RegistryKeyObject& key, std::u16string_view name,
                                 ULONG type, const void* data, ULONG dataSize)
{
    NTSTATUS status = CheckAccess(mode, key, KEY_SET_VALUE);
    if (!NT_SUCCESS(status))
    {
        return status;
    }
    std::lock_guard<std::recursive_mutex> guard(m_registry.Lock());
    if (key.Key()->IsDeleted())
    {
        return STATUS_KEY_DELETED;
    }
    if (name.size() > MaxValueNameLength)
    {
        return STATUS_INVALID_PARAMETER;
    }
    if (data == nullptr && dataSize != 0)
    {
        return STATUS_ACCESS_VIOLATION;
    }
    key.Key()->SetValue(name, type, data, dataSize);
    return STATUS_SUCCESS;
}

NTSTATUS ConfigManager::DeleteValue(KPROCESSOR_MODE mode, const RegistryKeyObject& key,
                                    std::u16string_view name)
{
    NTSTATUS status = CheckAccess(mode, key, KEY_SET_VALUE);
    if (!NT_SUCCESS(status))
    {
        return status;
    }
    std::lock_guard<std::recursive_mutex> guard(m_registry.Lock());
    if (key.Key()->IsDeleted())
    {
        return STATUS_KEY_DELETED;
    }
    return key.Key()->DeleteValue(name) ? STATUS_SUCCESS : STATUS_OBJECT_NAME_NOT_FOUND;
}

// --- keys -------------------------------------------------------------------------------------

NTSTATUS ConfigManager::EnumerateKey(KPROCESSOR_MODE mode, const RegistryKeyObject& key, ULONG index,
                                     KEY_INFORMATION_CLASS infoClass, PVOID buffer, ULONG length,
                                     PULONG resultLength)
{
    NTSTATUS status = CheckAccess(mode, key, KEY_ENUMERATE_SUB_KEYS);
    if (!NT_SUCCESS(status))
    {
        return status;
    }
    std::lock_guard<std::recursive_mutex> guard(m_registry.Lock());
    if (key.Key()->IsDeleted())
    {
        return STATUS_KEY_DELETED;
    }
    if (infoClass != KeyBasicInformation && infoClass != KeyNodeInformation &&
        infoClass != KeyFullInformation)
    {
        return STATUS_INVALID_PARAMETER;
    }
    std::vector<std::u16string> names = key.Key()->SubkeyNames();
    if (index >= names.size())
    {
        return STATUS_NO_MORE_ENTRIES;
    }
    std::shared_ptr<RegistryKey> subkey = key.Key()->OpenSubkey(names[index]);
    return QueryKeyInformation(*subkey, infoClass, buffer, length, resultLength);
}

NTSTATUS ConfigManager::QueryKey(KPROCESSOR_MODE mode, const RegistryKeyObject& key,
                                 KEY_INFORMATION_CLASS infoClass, PVOID buffer, ULONG length,
                                 PULONG resultLength)
{
    // The key's name is there for any handle; everything else about it needs KEY_QUERY_VALUE.
    NTSTATUS status = CheckAccess(mode, key, infoClass == KeyNameInformation ? 0 : KEY_QUERY_VALUE);
    if (!NT_SUCCESS(status))
    {
        return status;
    }
    std::lock_guard<std::recursive_mutex> guard(m_registry.Lock());
    if (key.Key()->IsDeleted())
    {
        return STATUS_KEY_DELETED;
    }
    return QueryKeyInformation(*key.Key(), infoClass, buffer, length, resultLength);
}

NTSTATUS ConfigManager::DeleteKey(KPROCESSOR_MODE mode, const RegistryKeyObject& key)
{
    NTSTATUS status = CheckAccess(mode, key, DELETE);
    if (!NT_SUCCESS(status))
    {
        return status;
    }
    return m_registry.DeleteKey(key.Key());
}

NTSTATUS ConfigManager::FlushKey(KPROCESSOR_MODE, const RegistryKeyObject& key)
{
    std::lock_guard<std::recursive_mutex> guard(m_registry.Lock());
    return key.Key()->IsDeleted() ? STATUS_KEY_DELETED : STATUS_SUCCESS;
}

} // namespace winsim::kernel

using namespace winsim;
using namespace winsim::kernel;

namespace
{

ConfigManager& Cm()
{
    return System::Current().GetConfigManager();
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

// The root key of a name in the caller's object attributes; null for an absolute name.
NTSTATUS LookupRoot(POBJECT_ATTRIBUTES attributes, std::shared_ptr<RegistryKeyObject>* root)
{
    if (attributes->RootDirectory == nullptr)
    {
        root->reset();
        return STATUS_SUCCESS;
    }
    return ReferenceKernelKey(attributes->RootDirectory, root);
}

} // namespace

// The routines below keep the C linkage of their declarations in wdm.h. Each runs at
// PASSIVE_LEVEL with a previous mode of KernelMode: its handles are kernel handles, in the
// system's handle table.

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
    std::shared_ptr<RegistryKeyObject> root;
    NTSTATUS status = LookupRoot(ObjectAttributes, &root);
    if (!NT_SUCCESS(status))
    {
        return status;
    }
    std::shared_ptr<RegistryKeyObject> opened;
    status = Cm().OpenKey(KernelMode, root.get(), name, DesiredAccess, &opened);
    if (NT_SUCCESS(status))
    {
        *KeyHandle = System::Current().Handles().Insert(std::move(opened));
    }
    return status;
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
    std::u16string_view name;
    std::u16string_view className;
    if (!ViewOf(ObjectAttributes->ObjectName, &name) || !ViewOf(Class, &className))
    {
        return STATUS_OBJECT_NAME_INVALID;
    }
    std::shared_ptr<RegistryKeyObject> root;
    NTSTATUS status = LookupRoot(ObjectAttributes, &root);
    if (!NT_SUCCESS(status))
    {
        return status;
    }
    std::shared_ptr<RegistryKeyObject> opened;
    status = Cm().CreateKey(KernelMode, root.get(), name, DesiredAccess, className, CreateOptions, &opened,
                            Disposition);
    if (NT_SUCCESS(status))
    {
        *KeyHandle = System::Current().Handles().Insert(std::move(opened));
    }
    return status;
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
    std::shared_ptr<RegistryKeyObject> key;
    NTSTATUS status = ReferenceKernelKey(KeyHandle, &key);
    if (!NT_SUCCESS(status))
    {
        return status;
    }
    std::u16string_view name;
    if (!ViewOf(ValueName, &name))
    {
        return STATUS_INVALID_PARAMETER;
    }
    return Cm().QueryValue(KernelMode, *key, name, KeyValueInformationClass, KeyValueInformation, Length,
                           ResultLength);
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
    std::shared_ptr<RegistryKeyObject> key;
    NTSTATUS status = ReferenceKernelKey(KeyHandle, &key);
    if (!NT_SUCCESS(status))
    {
        return status;
    }
    return Cm().EnumerateValue(KernelMode, *key, Index, KeyValueInformationClass, KeyValueInformation, Length,
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
    std::shared_ptr<RegistryKeyObject> key;
    NTSTATUS status = ReferenceKernelKey(KeyHandle, &key);
    if (!NT_SUCCESS(status))
    {
        return status;
    }
    return Cm().EnumerateKey(KernelMode, *key, Index, KeyInformationClass, KeyInformation, Length,
                             ResultLength);
}

NTSTATUS ZwQueryKey(HANDLE KeyHandle, KEY_INFORMATION_CLASS KeyInformationClass, PVOID KeyInformation,
                    ULONG Length, PULONG ResultLength)
{
    RequireIrqlAtMost(PASSIVE_LEVEL, "ZwQueryKey");
    if (ResultLength == nullptr)
    {
        return STATUS_ACCESS_VIOLATION;
    }
    std::shared_ptr<RegistryKeyObject> key;
    NTSTATUS status = ReferenceKernelKey(KeyHandle, &key);
    if (!NT_SUCCESS(status))
    {
        return status;
    }
    return Cm().QueryKey(KernelMode, *key, KeyInformationClass, KeyInformation, Length, ResultLength);
}

NTSTATUS ZwSetValueKey(HANDLE KeyHandle, PUNICODE_STRING ValueName, ULONG TitleIndex, ULONG Type, PVOID Data,
                       ULONG DataSize)
{
    (void)TitleIndex;
    RequireIrqlAtMost(PASSIVE_LEVEL, "ZwSetValueKey");
    std::shared_ptr<RegistryKeyObject> key;
    NTSTATUS status = ReferenceKernelKey(KeyHandle, &key);
    if (!NT_SUCCESS(status))
    {
        return status;
    }
    std::u16string_view name;
    if (!ViewOf(ValueName, &name))
    {
        return STATUS_INVALID_PARAMETER;
    }
    return Cm().SetValue(KernelMode, *key, name, Type, Data, DataSize);
}

NTSTATUS ZwDeleteValueKey(HANDLE KeyHandle, PUNICODE_STRING ValueName)
{
    RequireIrqlAtMost(PASSIVE_LEVEL, "ZwDeleteValueKey");
    std::shared_ptr<RegistryKeyObject> key;
    NTSTATUS status = ReferenceKernelKey(KeyHandle, &key);
    if (!NT_SUCCESS(status))
    {
        return status;
    }
    std::u16string_view name;
    if (!ViewOf(ValueName, &name))
    {
        return STATUS_INVALID_PARAMETER;
    }
    return Cm().DeleteValue(KernelMode, *key, name);
}

NTSTATUS ZwDeleteKey(HANDLE KeyHandle)
{
    RequireIrqlAtMost(PASSIVE_LEVEL, "ZwDeleteKey");
    std::shared_ptr<RegistryKeyObject> key;
    NTSTATUS status = ReferenceKernelKey(KeyHandle, &key);
    if (!NT_SUCCESS(status))
    {
        return status;
    }
    return Cm().DeleteKey(KernelMode, *key);
}

NTSTATUS ZwFlushKey(HANDLE KeyHandle)
{
    RequireIrqlAtMost(PASSIVE_LEVEL, "ZwFlushKey");
    std::shared_ptr<RegistryKeyObject> key;
    NTSTATUS status = ReferenceKernelKey(KeyHandle, &key);
    if (!NT_SUCCESS(status))
    {
        return status;
    }
    return Cm().FlushKey(KernelMode, *key);
}
