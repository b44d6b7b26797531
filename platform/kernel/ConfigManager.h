// The configuration manager's key services: opening and creating keys by name, querying,
// enumerating, setting and deleting values, enumerating, querying and deleting keys, each with the
// buffer rules of the Nt/Zw registry system services.
//
// Who calls: the kernel's Zw* routines, with a previous mode of KernelMode, and (through the
// system-call seam) user mode's Nt* calls, with UserMode. The services work on key objects, never
// on handles: the caller looks its handle up in the handle table it owns (the system's for a
// driver, a process's for user mode) and hands the object in.
//
// Access: for a UserMode caller each service checks the access the handle was granted, as the
// object manager does when it references a handle, and fails with STATUS_ACCESS_DENIED:
//
//   QueryValue, EnumerateValue          KEY_QUERY_VALUE
//   SetValue, DeleteValue               KEY_SET_VALUE
//   EnumerateKey                        KEY_ENUMERATE_SUB_KEYS
//   QueryKey                            KEY_QUERY_VALUE (KeyNameInformation: none)
//   DeleteKey                           DELETE
//   FlushKey                            none
//   OpenKey relative to a root key      none on the root (the name is only traversed)
//   CreateKey relative to a root key    KEY_CREATE_SUB_KEY on the root, when a key is created
//
// The machine's registry keeps no security descriptors, so an open grants the access asked for.
// KernelMode callers are not checked at all: Windows does not check a kernel handle's granted
// access for a caller whose previous mode is KernelMode, and drivers rely on that (the framework's
// samples read values through keys opened with STANDARD_RIGHTS_ALL).
//
// IRQL: PASSIVE_LEVEL; the callers check it. Each service holds the registry lock for its whole
// duration, so a key cannot be deleted half way through an operation on it.
#pragma once

#include <wdm.h>

#include "Handles.h"
#include "Registry.h"

#include <memory>
#include <string_view>

namespace winsim::kernel
{

// What a handle to a registry key refers to: the key and the access granted at open.
class RegistryKeyObject : public KernelObject
{
  public:
    RegistryKeyObject(std::shared_ptr<RegistryKey> key, ACCESS_MASK grantedAccess)
        : m_key(std::move(key)), m_access(grantedAccess)
    {
    }
    const char* TypeName() const override { return "Key"; }
    const std::shared_ptr<RegistryKey>& Key() const { return m_key; }
    ACCESS_MASK GrantedAccess() const { return m_access; }

  private:
    std::shared_ptr<RegistryKey> m_key;
    ACCESS_MASK m_access;
};

// Generic rights mapped to the key rights they stand for (GENERIC_READ to KEY_READ, ...);
// MAXIMUM_ALLOWED and GENERIC_ALL to KEY_ALL_ACCESS.
ACCESS_MASK MapGenericKeyAccess(ACCESS_MASK desired);

// The key object behind a kernel handle in the system's handle table, for the kernel's own
// routines: STATUS_INVALID_HANDLE when the handle is not open, STATUS_OBJECT_TYPE_MISMATCH when it
// does not refer to a key. A deleted key is still found; the services refuse it.
NTSTATUS ReferenceKernelKey(HANDLE handle, std::shared_ptr<RegistryKeyObject>* key);

class ConfigManager
{
  public:
    explicit ConfigManager(Registry& registry);
    ConfigManager(const ConfigManager&) = delete;
    ConfigManager& operator=(const ConfigManager&) = delete;

    // --- keys by name ---
    // Opens the key a name leads to: an absolute name (\Registry\...) when root is null, otherwise
    // a name relative to root's key (empty: the root key itself).
    NTSTATUS OpenKey(KPROCESSOR_MODE mode, const RegistryKeyObject* root, std::u16string_view name,
                     ACCESS_MASK desiredAccess, std::shared_ptr<RegistryKeyObject>* opened);
    // Opens the key, creating the last key of the name when it is missing (every key above it must
    // exist). createOptions: REG_OPTION_VOLATILE and the other REG_OPTION_* flags ZwCreateKey
    // takes. className is kept with a key that is created. disposition may be null.
    NTSTATUS CreateKey(KPROCESSOR_MODE mode, const RegistryKeyObject* root, std::u16string_view name,
                       ACCESS_MASK desiredAccess, std::u16string_view className, ULONG createOptions,
                       std::shared_ptr<RegistryKeyObject>* opened, ULONG* disposition);

    // --- values ---
    // The information classes copy out by the rules all the query services share: *resultLength
    // is always the full size; a buffer too small for the fixed part gets nothing
    // (STATUS_BUFFER_TOO_SMALL); one too small for the names and data gets the fixed part and as
    // much of the rest as fits (STATUS_BUFFER_OVERFLOW).
    NTSTATUS QueryValue(KPROCESSOR_MODE mode, const RegistryKeyObject& key, std::u16string_view name,
                        KEY_VALUE_INFORMATION_CLASS infoClass, PVOID buffer, ULONG length,
                        PULONG resultLength);
    // Values in the order they were created; STATUS_NO_MORE_ENTRIES past the last.
    NTSTATUS EnumerateValue(KPROCESSOR_MODE mode, const RegistryKeyObject& key, ULONG index,
                            KEY_VALUE_INFORMATION_CLASS infoClass, PVOID buffer, ULONG length,
                            PULONG resultLength);
    NTSTATUS SetValue(KPROCESSOR_MODE mode, const RegistryKeyObject& key, std::u16string_view name,
                      ULONG type, const void* data, ULONG dataSize);
    NTSTATUS DeleteValue(KPROCESSOR_MODE mode, const RegistryKeyObject& key, std::u16string_view name);

    // --- keys ---
    // Subkeys in the order of their upper-cased names; STATUS_NO_MORE_ENTRIES past the last.
    NTSTATUS EnumerateKey(KPROCESSOR_MODE mode, const RegistryKeyObject& key, ULONG index,
                          KEY_INFORMATION_CLASS infoClass, PVOID buffer, ULONG length, PULONG resultLength);
    NTSTATUS QueryKey(KPROCESSOR_MODE mode, const RegistryKeyObject& key, KEY_INFORMATION_CLASS infoClass,
                      PVOID buffer, ULONG length, PULONG resultLength);
    // Deletes a key without subkeys. Handles to it stay open but refuse everything from then on
    // (STATUS_KEY_DELETED); the caller still closes them.
    NTSTATUS DeleteKey(KPROCESSOR_MODE mode, const RegistryKeyObject& key);
    // The registry lives in memory: nothing to write back, but the key must still be there.
    NTSTATUS FlushKey(KPROCESSOR_MODE mode, const RegistryKeyObject& key);

  private:
    Registry& m_registry;
};

} // namespace winsim::kernel
