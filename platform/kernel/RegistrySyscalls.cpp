// The registry's system services for user mode (NtOpenKey and the others): each resolves its key
// handle in the calling process's handle table and calls the configuration manager with a previous
// mode of UserMode, so every handle may do only what it was opened for.
#include "ConfigManager.h"
#include "Process.h"
#include "Syscalls.h"
#include "System.h"
#include "Thread.h"

namespace winsim::kernel
{
namespace RegistryServices
{
namespace
{

ConfigManager& Cm()
{
    return System::Current().GetConfigManager();
}

HandleTable& UserHandles()
{
    return System::Current().Process().Handles();
}

// The key object behind a handle of the process.
NTSTATUS KeyOf(HANDLE handle, std::shared_ptr<RegistryKeyObject>* key)
{
    std::shared_ptr<KernelObject> object = UserHandles().Lookup(handle);
    if (object == nullptr)
    {
        return STATUS_INVALID_HANDLE;
    }
    *key = std::dynamic_pointer_cast<RegistryKeyObject>(object);
    return *key != nullptr ? STATUS_SUCCESS : STATUS_OBJECT_TYPE_MISMATCH;
}

// A counted string from user mode; false when its length is not a whole number of characters.
bool ViewOf(PCUNICODE_STRING text, std::u16string_view* view)
{
    if (text == nullptr || text->Length == 0)
    {
        *view = std::u16string_view();
        return text == nullptr || (text->Length % sizeof(WCHAR)) == 0;
    }
    if ((text->Length % sizeof(WCHAR)) != 0 || text->Buffer == nullptr)
    {
        return false;
    }
    *view = std::u16string_view(reinterpret_cast<const char16_t*>(text->Buffer), text->Length / sizeof(WCHAR));
    return true;
}

// The name and the root key of a call's object attributes.
NTSTATUS NameOf(POBJECT_ATTRIBUTES attributes, std::u16string_view* name, std::shared_ptr<RegistryKeyObject>* root)
{
    if (attributes == nullptr)
    {
        return STATUS_ACCESS_VIOLATION;
    }
    if (!ViewOf(attributes->ObjectName, name))
    {
        return STATUS_OBJECT_NAME_INVALID;
    }
    return attributes->RootDirectory != nullptr ? KeyOf(attributes->RootDirectory, root) : STATUS_SUCCESS;
}

} // namespace

NTSTATUS NTAPI NtOpenKey(PHANDLE KeyHandle, ACCESS_MASK DesiredAccess, POBJECT_ATTRIBUTES ObjectAttributes)
{
    RequireIrqlAtMost(PASSIVE_LEVEL, "NtOpenKey");
    std::u16string_view name;
    std::shared_ptr<RegistryKeyObject> root;
    NTSTATUS status = NameOf(ObjectAttributes, &name, &root);
    std::shared_ptr<RegistryKeyObject> opened;
    if (NT_SUCCESS(status))
    {
        status = Cm().OpenKey(UserMode, root.get(), name, DesiredAccess, &opened);
    }
    if (NT_SUCCESS(status))
    {
        *KeyHandle = UserHandles().Insert(std::move(opened));
    }
    return status;
}

NTSTATUS NTAPI NtCreateKey(PHANDLE KeyHandle, ACCESS_MASK DesiredAccess, POBJECT_ATTRIBUTES ObjectAttributes,
                           ULONG, PUNICODE_STRING Class, ULONG CreateOptions, PULONG Disposition)
{
    RequireIrqlAtMost(PASSIVE_LEVEL, "NtCreateKey");
    std::u16string_view name;
    std::u16string_view className;
    std::shared_ptr<RegistryKeyObject> root;
    NTSTATUS status = NameOf(ObjectAttributes, &name, &root);
    if (NT_SUCCESS(status) && !ViewOf(Class, &className))
    {
        status = STATUS_OBJECT_NAME_INVALID;
    }
    std::shared_ptr<RegistryKeyObject> opened;
    if (NT_SUCCESS(status))
    {
        status = Cm().CreateKey(UserMode, root.get(), name, DesiredAccess, className, CreateOptions, &opened,
                                Disposition);
    }
    if (NT_SUCCESS(status))
    {
        *KeyHandle = UserHandles().Insert(std::move(opened));
    }
    return status;
}

NTSTATUS NTAPI NtEnumerateKey(HANDLE KeyHandle, ULONG Index, KEY_INFORMATION_CLASS KeyInformationClass,
                              PVOID KeyInformation, ULONG Length, PULONG ResultLength)
{
    std::shared_ptr<RegistryKeyObject> key;
    NTSTATUS status = KeyOf(KeyHandle, &key);
    return NT_SUCCESS(status)
               ? Cm().EnumerateKey(UserMode, *key, Index, KeyInformationClass, KeyInformation, Length, ResultLength)
               : status;
}

NTSTATUS NTAPI NtEnumerateValueKey(HANDLE KeyHandle, ULONG Index,
                                   KEY_VALUE_INFORMATION_CLASS KeyValueInformationClass, PVOID KeyValueInformation,
                                   ULONG Length, PULONG ResultLength)
{
    std::shared_ptr<RegistryKeyObject> key;
    NTSTATUS status = KeyOf(KeyHandle, &key);
    return NT_SUCCESS(status) ? Cm().EnumerateValue(UserMode, *key, Index, KeyValueInformationClass,
                                                    KeyValueInformation, Length, ResultLength)
                              : status;
}

NTSTATUS NTAPI NtQueryKey(HANDLE KeyHandle, KEY_INFORMATION_CLASS KeyInformationClass, PVOID KeyInformation,
                          ULONG Length, PULONG ResultLength)
{
    std::shared_ptr<RegistryKeyObject> key;
    NTSTATUS status = KeyOf(KeyHandle, &key);
    return NT_SUCCESS(status)
               ? Cm().QueryKey(UserMode, *key, KeyInformationClass, KeyInformation, Length, ResultLength)
               : status;
}

NTSTATUS NTAPI NtQueryValueKey(HANDLE KeyHandle, PUNICODE_STRING ValueName,
                               KEY_VALUE_INFORMATION_CLASS KeyValueInformationClass, PVOID KeyValueInformation,
                               ULONG Length, PULONG ResultLength)
{
    std::shared_ptr<RegistryKeyObject> key;
    std::u16string_view name;
    NTSTATUS status = KeyOf(KeyHandle, &key);
    if (NT_SUCCESS(status) && !ViewOf(ValueName, &name))
    {
        status = STATUS_OBJECT_NAME_INVALID;
    }
    return NT_SUCCESS(status) ? Cm().QueryValue(UserMode, *key, name, KeyValueInformationClass, KeyValueInformation,
                                                Length, ResultLength)
                              : status;
}

NTSTATUS NTAPI NtSetValueKey(HANDLE KeyHandle, PUNICODE_STRING ValueName, ULONG, ULONG Type, PVOID Data,
                             ULONG DataSize)
{
    std::shared_ptr<RegistryKeyObject> key;
    std::u16string_view name;
    NTSTATUS status = KeyOf(KeyHandle, &key);
    if (NT_SUCCESS(status) && !ViewOf(ValueName, &name))
    {
        status = STATUS_OBJECT_NAME_INVALID;
    }
    return NT_SUCCESS(status) ? Cm().SetValue(UserMode, *key, name, Type, Data, DataSize) : status;
}

NTSTATUS NTAPI NtDeleteValueKey(HANDLE KeyHandle, PUNICODE_STRING ValueName)
{
    std::shared_ptr<RegistryKeyObject> key;
    std::u16string_view name;
    NTSTATUS status = KeyOf(KeyHandle, &key);
    if (NT_SUCCESS(status) && !ViewOf(ValueName, &name))
    {
        status = STATUS_OBJECT_NAME_INVALID;
    }
    return NT_SUCCESS(status) ? Cm().DeleteValue(UserMode, *key, name) : status;
}

NTSTATUS NTAPI NtDeleteKey(HANDLE KeyHandle)
{
    std::shared_ptr<RegistryKeyObject> key;
    NTSTATUS status = KeyOf(KeyHandle, &key);
    return NT_SUCCESS(status) ? Cm().DeleteKey(UserMode, *key) : status;
}

} // namespace RegistryServices
} // namespace winsim::kernel
