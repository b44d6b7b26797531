// The machine's registry: a tree of keys holding typed values, with the naming rules of the
// Windows configuration manager (case-insensitive names, "\"-separated paths under \Registry) and
// volatile keys that vanish at boot. The key services drivers and programs reach it through are the
// configuration manager's (ConfigManager.h); registry editor files are the machine's
// (machine/RegFile.h).
#pragma once

#include <wdm.h>

#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace winsim::kernel
{

struct RegistryValue
{
    std::u16string name; // empty: the key's default value
    ULONG type = REG_NONE;
    std::vector<uint8_t> data;
};

class Registry;

class RegistryKey
{
  public:
    RegistryKey(Registry& owner, RegistryKey* parent, std::u16string name, bool isVolatile);
    RegistryKey(const RegistryKey&) = delete;
    RegistryKey& operator=(const RegistryKey&) = delete;

    const std::u16string& Name() const { return m_name; }
    // Full path, for example \Registry\Machine\SYSTEM\CurrentControlSet.
    std::u16string Path() const;
    bool IsVolatile() const { return m_volatile; }
    // A key deleted while handles to it were open stays alive for them but refuses every operation.
    bool IsDeleted() const;
    LONGLONG LastWriteTime() const;

    // Subkeys. Names are compared without case; enumeration is in the order Windows uses
    // (sorted by upper-cased name).
    std::shared_ptr<RegistryKey> OpenSubkey(std::u16string_view name) const;
    // Creates the subkey if missing. A non-volatile key cannot be created under a volatile one:
    // the call then returns nullptr and sets *status to STATUS_CHILD_MUST_BE_VOLATILE.
    std::shared_ptr<RegistryKey> CreateSubkey(std::u16string_view name, bool isVolatile, bool* created,
                                              NTSTATUS* status = nullptr);
    std::vector<std::u16string> SubkeyNames() const;

    // Values. Enumeration is in creation order, as on Windows.
    std::optional<RegistryValue> GetValue(std::u16string_view name) const;
    void SetValue(std::u16string_view name, ULONG type, const void* data, size_t length);
    bool DeleteValue(std::u16string_view name);
    std::vector<RegistryValue> Values() const;

    // Convenience for the machine's own code.
    void SetString(std::u16string_view name, std::u16string_view text, ULONG type = REG_SZ);
    void SetMultiString(std::u16string_view name, const std::vector<std::u16string>& texts);
    void SetDword(std::u16string_view name, ULONG value);
    std::optional<std::u16string> GetString(std::u16string_view name) const;
    std::optional<ULONG> GetDword(std::u16string_view name) const;

    // The class string ZwCreateKey was given when the key was created (empty when none).
    std::u16string ClassName() const;
    void SetClassName(std::u16string_view className);

  private:
    friend class Registry;
    // Called with the registry lock held.
    void TouchLocked();
    void MarkDeletedLocked();
    RegistryValue* FindValueLocked(std::u16string_view name);

    Registry& m_owner;
    // Cut when the key is deleted; m_deletedPath keeps the path for diagnostics.
    RegistryKey* m_parent;
    std::u16string m_name;
    std::u16string m_class;
    std::u16string m_deletedPath;
    bool m_volatile;
    bool m_deleted = false;
    LONGLONG m_lastWrite = 0;
    // Upper-cased name -> key.
    std::map<std::u16string, std::shared_ptr<RegistryKey>> m_subkeys;
    std::vector<RegistryValue> m_values;
};

class Registry
{
  public:
    Registry();
    Registry(const Registry&) = delete;
    Registry& operator=(const Registry&) = delete;

    // The root key \Registry with its children Machine and User.
    std::shared_ptr<RegistryKey> Root() const;

    // Absolute NT paths (\Registry\Machine\...). Registry-editor root names are accepted as well:
    // HKEY_LOCAL_MACHINE or HKLM for \Registry\Machine, HKEY_USERS or HKU for \Registry\User.
    std::shared_ptr<RegistryKey> OpenKey(std::u16string_view path) const;
    // Creates the key and any missing parents. Returns nullptr for a malformed path.
    std::shared_ptr<RegistryKey> CreateKey(std::u16string_view path, bool isVolatile = false,
                                           bool* created = nullptr);
    // Deletes a key that has no subkeys. Returns STATUS_CANNOT_DELETE for a key with subkeys.
    NTSTATUS DeleteKey(const std::shared_ptr<RegistryKey>& key);
    // Deletes a key and everything below it (the machine's own housekeeping, not a kernel API).
    void DeleteTree(std::u16string_view path);

    // Drops every volatile key, as a reboot does.
    void ClearVolatile();

    // The lock that serialises all access to the tree. RegistryKey methods take it themselves.
    std::recursive_mutex& Lock() const { return m_lock; }

    // Virtual time stamp for LastWriteTime; the machine sets it from its clock.
    void SetTimeSource(LONGLONG (*now)());

  private:
    friend class RegistryKey;
    LONGLONG Now() const;
    // Walks the components of a path below \Registry; nullptr when one is missing or malformed.
    std::shared_ptr<RegistryKey> WalkLocked(std::u16string_view normalizedPath) const;
    static bool IsHiveRoot(const RegistryKey& key);
    mutable std::recursive_mutex m_lock;
    std::shared_ptr<RegistryKey> m_root;
    LONGLONG (*m_now)() = nullptr;
};

// Maps a registry-editor style path ("HKEY_LOCAL_MACHINE\SYSTEM\...") or an NT path to the NT path.
// Returns an empty string for a path that names no registry key.
std::u16string NormalizeRegistryPath(std::u16string_view path);

} // namespace winsim::kernel
