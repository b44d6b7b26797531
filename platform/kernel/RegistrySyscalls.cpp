// The registry services of user mode (NtOpenKey and the others): a key handle of the calling
// process names a key object; a user-mode caller may do with it only what the handle's granted
// access allows.
#include "Registry.h"
#include "Syscalls.h"
#include "System.h"
#include "Process.h"
#include "Thread.h"

namespace winsim::kernel
{
namespace RegistryServices
{
namespace
{

HandleTable& UserHandles()
{
    return System::Current().Process().Handles();
}

NTSTATUS KeyOf(HANDLE handle, ACCESS_MASK needed, std::shared_ptr<RegistryKeyObject>* key)
{
    std::shared_ptr<KernelObject> object = UserHandles().Lookup(handle);
    if (object == nullptr)
    {
        return STATUS_INVALID_HANDLE;
    }
    *key = std::dynamic_pointer_cast<RegistryKeyObject>(object);
    if (*key == nullptr)
    {
        return STATUS_OBJECT_TYPE_MISMATCH;
    }
    return ((*key)->GrantedAccess() & needed) == needed ? STATUS_SUCCESS : STATUS_ACCESS_DENIED;
}

// A kernel handle for the same key, for the duration of one call.
struct KernelKey
{
    HANDLE handle = nullptr;
    explicit KernelKey(const std::shared_ptr<RegistryKeyObject>& key)
        : handle(key ? InsertKeyHandle(key->Key(), KEY_ALL_ACCESS) : nullptr)
    {
    }
    ~KernelKey()
    {
        if (handle != nullptr)
        {
            ZwClose(handle);
        }
    }
};

// Moves a key the kernel opened into the process's table with the access the caller asked for.
NTSTATUS Publish(HANDLE kernelHandle, ACCESS_MASK access, PHANDLE keyHandle)
{
    auto opened = System::Current().Handles().LookupAs<RegistryKeyObject>(kernelHandle);
    ZwClose(kernelHandle);
    *keyHandle = UserHandles().Insert(std::make_shared<RegistryKeyObject>(opened->Key(), access));
    return STATUS_SUCCESS;
}

ACCESS_MASK Granted(ACCESS_MASK desired)
{
    ACCESS_MASK granted =
        desired & ~(GENERIC_READ | GENERIC_WRITE | GENERIC_EXECUTE | GENERIC_ALL | MAXIMUM_ALLOWED);
    if (desired & GENERIC_READ)
    {
        granted |= KEY_READ;
    }
    if (desired & GENERIC_WRITE)
    {
        granted |= KEY_WRITE;
    }
    if (desired & GENERIC_EXECUTE)
    {
        granted |= KEY_EXECUTE;
    }
    if (desired & (GENERIC_ALL | MAXIMUM_ALLOWED))
    {
        granted |= KEY_ALL_ACCESS;
    }
    return granted;
}

} // namespace

NTSTATUS NTAPI NtOpenKey(PHANDLE KeyHandle, ACCESS_MASK DesiredAccess, POBJECT_ATTRIBUTES ObjectAttributes)
{
    std::shared_ptr<RegistryKeyObject> root;
    if (ObjectAttributes->RootDirectory != nullptr)
    {
        NTSTATUS status = KeyOf(ObjectAttributes->RootDirectory, 0, &root);
        if (!NT_SUCCESS(status))
        {
            return status;
        }
    }
    KernelKey base(root);
    OBJECT_ATTRIBUTES attributes = *ObjectAttributes;
    attributes.RootDirectory = base.handle;
    HANDLE opened = nullptr;
    NTSTATUS status = ZwOpenKey(&opened, DesiredAccess, &attributes);
    return NT_SUCCESS(status) ? Publish(opened, Granted(DesiredAccess), KeyHandle) : status;
}

NTSTATUS NTAPI NtCreateKey(PHANDLE KeyHandle, ACCESS_MASK DesiredAccess, POBJECT_ATTRIBUTES ObjectAttributes,
                           ULONG TitleIndex, PUNICODE_STRING Class, ULONG CreateOptions, PULONG Disposition)
{
    std::shared_ptr<RegistryKeyObject> root;
    if (ObjectAttributes->RootDirectory != nullptr)
    {
        NTSTATUS status = KeyOf(ObjectAttributes->RootDirectory, KEY_CREATE_SUB_KEY, &root);
        if (!NT_SUCCESS(status))
        {
            return status;
        }
    }
    KernelKey base(root);
    OBJECT_ATTRIBUTES attributes = *ObjectAttributes;
    attributes.RootDirectory = base.handle;
    HANDLE opened = nullptr;
    NTSTATUS status =
        ZwCreateKey(&opened, DesiredAccess, &attributes, TitleIndex, Class, CreateOptions, Disposition);
    return NT_SUCCESS(status) ? Publish(opened, Granted(DesiredAccess), KeyHandle) : status;
}

NTSTATUS NTAPI NtEnumerateKey(HANDLE KeyHandle, ULONG Index, KEY_INFORMATION_CLASS KeyInformationClass,
                              PVOID KeyInformation, ULONG Length, PULONG ResultLength)
{
    std::shared_ptr<RegistryKeyObject> key;
    NTSTATUS status = KeyOf(KeyHandle, KEY_ENUMERATE_SUB_KEYS, &key);
    if (!NT_SUCCESS(status))
    {
        return status;
    }
    KernelKey kernel(key);
    return ZwEnumerateKey(kernel.handle, Index, KeyInformationClass, KeyInformation, Length, ResultLength);
}

NTSTATUS NTAPI NtEnumerateValueKey(HANDLE KeyHandle, ULONG Index,
                                   KEY_VALUE_INFORMATION_CLASS KeyValueInformationClass,
                                   PVOID KeyValueInformation, ULONG Length, PULONG ResultLength)
{
    std::shared_ptr<RegistryKeyObject> key;
    NTSTATUS status = KeyOf(KeyHandle, KEY_QUERY_VALUE, &key);
    if (!NT_SUCCESS(status))
    {
        return status;
    }
    KernelKey kernel(key);
    return ZwEnumerateValueKey(kernel.handle, Index, KeyValueInformationClass, KeyValueInformation, Length,
                               ResultLength);
}

NTSTATUS NTAPI NtQueryKey(HANDLE KeyHandle, KEY_INFORMATION_CLASS KeyInformationClass, PVOID KeyInformation,
                          ULONG Length, PULONG ResultLength)
{
    std::shared_ptr<RegistryKeyObject> key;
    NTSTATUS status = KeyOf(KeyHandle, KeyInformationClass == KeyNameInformation ? 0 : KEY_QUERY_VALUE, &key);
    if (!NT_SUCCESS(status))
    {
        return status;
    }
    KernelKey kernel(key);
    return ZwQueryKey(kernel.handle, KeyInformationClass, KeyInformation, Length, ResultLength);
}

NTSTATUS NTAPI NtQueryValueKey(HANDLE KeyHandle, PUNICODE_STRING ValueName,
                               KEY_VALUE_INFORMATION_CLASS KeyValueInformationClass,
                               PVOID KeyValueInformation, ULONG Length, PULONG ResultLength)
{
    std::shared_ptr<RegistryKeyObject> key;
    NTSTATUS status = KeyOf(KeyHandle, KEY_QUERY_VALUE, &key);
    if (!NT_SUCCESS(status))
    {
        return status;
    }
    KernelKey kernel(key);
    return ZwQueryValueKey(kernel.handle, ValueName, KeyValueInformationClass, KeyValueInformation, Length,
                           ResultLength);
}

NTSTATUS NTAPI NtSetValueKey(HANDLE KeyHandle, PUNICODE_STRING ValueName, ULONG TitleIndex, ULONG Type,
                             PVOID Data, ULONG DataSize)
{
    std::shared_ptr<RegistryKeyObject> key;
    NTSTATUS status = KeyOf(KeyHandle, KEY_SET_VALUE, &key);
    if (!NT_SUCCESS(status))
    {
        return status;
    }
    KernelKey kernel(key);
    return ZwSetValueKey(kernel.handle, ValueName, TitleIndex, Type, Data, DataSize);
}

NTSTATUS NTAPI NtDeleteValueKey(HANDLE KeyHandle, PUNICODE_STRING ValueName)
{
    std::shared_ptr<RegistryKeyObject> key;
    NTSTATUS status = KeyOf(KeyHandle, KEY_SET_VALUE, &key);
    if (!NT_SUCCESS(status))
    {
        return status;
    }
    KernelKey kernel(key);
    return ZwDeleteValueKey(kernel.handle, ValueName);
}

NTSTATUS NTAPI NtDeleteKey(HANDLE KeyHandle)
{
    std::shared_ptr<RegistryKeyObject> key;
    NTSTATUS status = KeyOf(KeyHandle, DELETE, &key);
    if (!NT_SUCCESS(status))
    {
        return status;
    }
    KernelKey kernel(key);
    return ZwDeleteKey(kernel.handle);
}

} // namespace RegistryServices
} // namespace winsim::kernel
