// The registry tree: keys, values and the naming rules of the configuration manager.
#include "Registry.h"

#include "base/unicode.h"

#include <chrono>
#include <cstring>

namespace winsim::kernel
{

namespace
{

// The configuration manager refuses key names longer than this (in characters).
constexpr size_t MaxKeyNameLength = 255;

bool IsValidKeyName(std::u16string_view name)
{
    return !name.empty() && name.size() <= MaxKeyNameLength && name.find(u'\\') == std::u16string_view::npos;
}

// Splits "A\B\C" into its components. Fails on an empty component ("A\\B").
bool SplitComponents(std::u16string_view path, std::vector<std::u16string_view>* parts)
{
    parts->clear();
    if (path.empty())
    {
        return true;
    }
    size_t start = 0;
    while (true)
    {
        size_t end = path.find(u'\\', start);
        std::u16string_view part = path.substr(start, end == std::u16string_view::npos ? end : end - start);
        if (part.empty())
        {
            return false;
        }
        parts->push_back(part);
        if (end == std::u16string_view::npos)
        {
            return true;
        }
        start = end + 1;
    }
}

// Wall-clock time as a FILETIME (100 ns units since 1601), used until the machine installs its clock.
LONGLONG WallClockNow()
{
    constexpr LONGLONG UnixEpochAsFileTime = 116444736000000000LL;
    auto sinceEpoch = std::chrono::system_clock::now().time_since_epoch();
    return UnixEpochAsFileTime +
           std::chrono::duration_cast<std::chrono::nanoseconds>(sinceEpoch).count() / 100;
}

std::u16string BytesToText(const std::vector<uint8_t>& data)
{
    std::u16string text(data.size() / sizeof(char16_t), u'\0');
    if (!text.empty())
    {
        std::memcpy(text.data(), data.data(), text.size() * sizeof(char16_t));
    }
    return text;
}

void AppendText(std::vector<uint8_t>& data, std::u16string_view text)
{
    size_t offset = data.size();
    data.resize(offset + (text.size() + 1) * sizeof(char16_t), 0);
    if (!text.empty())
    {
        std::memcpy(data.data() + offset, text.data(), text.size() * sizeof(char16_t));
    }
}

} // namespace

// ---------------------------------------------------------------------------------------------
// RegistryKey

RegistryKey::RegistryKey(Registry& owner, RegistryKey* parent, std::u16string name, bool isVolatile)
    : m_owner(owner), m_parent(parent), m_name(std::move(name)), m_volatile(isVolatile),
      m_lastWrite(owner.Now())
{
}

std::u16string RegistryKey::Path() const
{
    std::lock_guard<std::recursive_mutex> guard(m_owner.m_lock);
    if (m_deleted)
    {
        return m_deletedPath;
    }
    std::vector<const RegistryKey*> chain;
    for (const RegistryKey* key = this; key != nullptr; key = key->m_parent)
    {
        chain.push_back(key);
    }
    std::u16string path;
    for (auto it = chain.rbegin(); it != chain.rend(); ++it)
    {
        path += u'\\';
        path += (*it)->m_name;
    }
    return path;
}

bool RegistryKey::IsDeleted() const
{
    std::lock_guard<std::recursive_mutex> guard(m_owner.m_lock);
    return m_deleted;
}

LONGLONG RegistryKey::LastWriteTime() const
{
    std::lock_guard<std::recursive_mutex> guard(m_owner.m_lock);
    return m_lastWrite;
}

std::shared_ptr<RegistryKey> RegistryKey::OpenSubkey(std::u16string_view name) const
{
    std::lock_guard<std::recursive_mutex> guard(m_owner.m_lock);
    if (m_deleted)
    {
        return nullptr;
    }
    auto it = m_subkeys.find(UpperCase(name));
    return it == m_subkeys.end() ? nullptr : it->second;
}

std::shared_ptr<RegistryKey> RegistryKey::CreateSubkey(std::u16string_view name, bool isVolatile,
                                                       bool* created, NTSTATUS* status)
{
    std::lock_guard<std::recursive_mutex> guard(m_owner.m_lock);
    NTSTATUS ignored;
    NTSTATUS& result = status != nullptr ? *status : ignored;
    if (created != nullptr)
    {
        *created = false;
    }
    if (m_deleted)
    {
        result = STATUS_KEY_DELETED;
        return nullptr;
    }
    if (!IsValidKeyName(name))
    {
        result = STATUS_OBJECT_NAME_INVALID;
        return nullptr;
    }
    std::u16string upper = UpperCase(name);
    auto it = m_subkeys.find(upper);
    if (it != m_subkeys.end())
    {
        // An existing key is opened as it is, whatever volatility the caller asked for.
        result = STATUS_SUCCESS;
        return it->second;
    }
    if (m_volatile && !isVolatile)
    {
        result = STATUS_CHILD_MUST_BE_VOLATILE;
        return nullptr;
    }
    auto key = std::make_shared<RegistryKey>(m_owner, this, std::u16string(name), isVolatile);
    m_subkeys.emplace(std::move(upper), key);
    TouchLocked();
    if (created != nullptr)
    {
        *created = true;
    }
    result = STATUS_SUCCESS;
    return key;
}

std::vector<std::u16string> RegistryKey::SubkeyNames() const
{
    std::lock_guard<std::recursive_mutex> guard(m_owner.m_lock);
    std::vector<std::u16string> names;
    names.reserve(m_subkeys.size());
    for (const auto& entry : m_subkeys)
    {
        names.push_back(entry.second->m_name);
    }
    return names;
}

RegistryValue* RegistryKey::FindValueLocked(std::u16string_view name)
{
    for (auto& value : m_values)
    {
        if (EqualsNoCase(value.name, name))
        {
            return &value;
        }
    }
    return nullptr;
}

std::optional<RegistryValue> RegistryKey::GetValue(std::u16string_view name) const
{
    std::lock_guard<std::recursive_mutex> guard(m_owner.m_lock);
    if (m_deleted)
    {
        return std::nullopt;
    }
    const RegistryValue* value = const_cast<RegistryKey*>(this)->FindValueLocked(name);
    if (value == nullptr)
    {
        return std::nullopt;
    }
    return *value;
}

void RegistryKey::SetValue(std::u16string_view name, ULONG type, const void* data, size_t length)
{
    std::lock_guard<std::recursive_mutex> guard(m_owner.m_lock);
    if (m_deleted)
    {
        return;
    }
    const uint8_t* bytes = static_cast<const uint8_t*>(data);
    std::vector<uint8_t> copy =
        length == 0 ? std::vector<uint8_t>() : std::vector<uint8_t>(bytes, bytes + length);
    RegistryValue* existing = FindValueLocked(name);
    if (existing != nullptr)
    {
        // A value keeps its place in the enumeration (and the spelling of its name) when rewritten.
        existing->type = type;
        existing->data = std::move(copy);
    }
    else
    {
        m_values.push_back(RegistryValue{std::u16string(name), type, std::move(copy)});
    }
    TouchLocked();
}

bool RegistryKey::DeleteValue(std::u16string_view name)
{
    std::lock_guard<std::recursive_mutex> guard(m_owner.m_lock);
    if (m_deleted)
    {
        return false;
    }
    for (auto it = m_values.begin(); it != m_values.end(); ++it)
    {
        if (EqualsNoCase(it->name, name))
        {
            m_values.erase(it);
            TouchLocked();
            return true;
        }
    }
    return false;
}

std::vector<RegistryValue> RegistryKey::Values() const
{
    std::lock_guard<std::recursive_mutex> guard(m_owner.m_lock);
    return m_values;
}

void RegistryKey::SetString(std::u16string_view name, std::u16string_view text, ULONG type)
{
    std::vector<uint8_t> data;
    AppendText(data, text);
    SetValue(name, type, data.data(), data.size());
}

void RegistryKey::SetMultiString(std::u16string_view name, const std::vector<std::u16string>& texts)
{
    std::vector<uint8_t> data;
    for (const auto& text : texts)
    {
        AppendText(data, text);
    }
    AppendText(data, u"");
    SetValue(name, REG_MULTI_SZ, data.data(), data.size());
}

void RegistryKey::SetDword(std::u16string_view name, ULONG value)
{
    SetValue(name, REG_DWORD, &value, sizeof(value));
}

std::optional<std::u16string> RegistryKey::GetString(std::u16string_view name) const
{
    auto value = GetValue(name);
    if (!value || (value->type != REG_SZ && value->type != REG_EXPAND_SZ))
    {
        return std::nullopt;
    }
    // Stored strings need not be terminated; the text ends at the first NUL if there is one.
    std::u16string text = BytesToText(value->data);
    size_t nul = text.find(u'\0');
    if (nul != std::u16string::npos)
    {
        text.resize(nul);
    }
    return text;
}

std::optional<ULONG> RegistryKey::GetDword(std::u16string_view name) const
{
    auto value = GetValue(name);
    if (!value || value->type != REG_DWORD || value->data.size() != sizeof(ULONG))
    {
        return std::nullopt;
    }
    ULONG result;
    std::memcpy(&result, value->data.data(), sizeof(result));
    return result;
}

std::u16string RegistryKey::ClassName() const
{
    std::lock_guard<std::recursive_mutex> guard(m_owner.m_lock);
    return m_class;
}

void RegistryKey::SetClassName(std::u16string_view className)
{
    std::lock_guard<std::recursive_mutex> guard(m_owner.m_lock);
    m_class = std::u16string(className);
}

void RegistryKey::TouchLocked()
{
    m_lastWrite = m_owner.Now();
}

void RegistryKey::MarkDeletedLocked()
{
    // Children first: their paths are still complete while this key is linked to its parent.
    for (auto& entry : m_subkeys)
    {
        entry.second->MarkDeletedLocked();
    }
    m_deletedPath = Path();
    m_deleted = true;
    m_parent = nullptr;
    m_subkeys.clear();
    m_values.clear();
}

// ---------------------------------------------------------------------------------------------
// Registry

Registry::Registry()
{
    m_root = std::make_shared<RegistryKey>(*this, nullptr, u"Registry", false);
    m_root->CreateSubkey(u"Machine", false, nullptr);
    m_root->CreateSubkey(u"User", false, nullptr);
}

std::shared_ptr<RegistryKey> Registry::Root() const
{
    return m_root;
}

bool Registry::IsHiveRoot(const RegistryKey& key)
{
    // \Registry itself and its direct children (Machine, User) hold the hives and cannot go away.
    return key.m_parent == nullptr || key.m_parent->m_parent == nullptr;
}

std::shared_ptr<RegistryKey> Registry::WalkLocked(std::u16string_view normalizedPath) const
{
    constexpr std::u16string_view rootPrefix = u"\\Registry";
    if (normalizedPath.size() < rootPrefix.size())
    {
        return nullptr;
    }
    std::u16string_view rest = normalizedPath.substr(rootPrefix.size());
    if (!rest.empty())
    {
        rest.remove_prefix(1); // the separator after \Registry
    }
    std::vector<std::u16string_view> parts;
    if (!SplitComponents(rest, &parts))
    {
        return nullptr;
    }
    std::shared_ptr<RegistryKey> key = m_root;
    for (auto part : parts)
    {
        key = key->OpenSubkey(part);
        if (!key)
        {
            return nullptr;
        }
    }
    return key;
}

std::shared_ptr<RegistryKey> Registry::OpenKey(std::u16string_view path) const
{
    std::u16string normalized = NormalizeRegistryPath(path);
    if (normalized.empty())
    {
        return nullptr;
    }
    std::lock_guard<std::recursive_mutex> guard(m_lock);
    return WalkLocked(normalized);
}

std::shared_ptr<RegistryKey> Registry::CreateKey(std::u16string_view path, bool isVolatile, bool* created)
{
    if (created != nullptr)
    {
        *created = false;
    }
    std::u16string normalized = NormalizeRegistryPath(path);
    if (normalized.empty())
    {
        return nullptr;
    }
    std::u16string_view rest =
        std::u16string_view(normalized).substr(std::u16string_view(u"\\Registry").size());
    if (!rest.empty())
    {
        rest.remove_prefix(1);
    }
    std::vector<std::u16string_view> parts;
    if (!SplitComponents(rest, &parts))
    {
        return nullptr;
    }
    std::lock_guard<std::recursive_mutex> guard(m_lock);
    std::shared_ptr<RegistryKey> key = m_root;
    for (size_t i = 0; i < parts.size(); ++i)
    {
        bool last = i + 1 == parts.size();
        // Missing parents are created non-volatile unless they must be volatile themselves.
        bool wantVolatile = last ? isVolatile : key->IsVolatile();
        bool made = false;
        key = key->CreateSubkey(parts[i], wantVolatile, &made);
        if (!key)
        {
            return nullptr;
        }
        if (last && created != nullptr)
        {
            *created = made;
        }
    }
    return key;
}

NTSTATUS Registry::DeleteKey(const std::shared_ptr<RegistryKey>& key)
{
    if (!key)
    {
        return STATUS_INVALID_PARAMETER;
    }
    std::lock_guard<std::recursive_mutex> guard(m_lock);
    if (key->m_deleted)
    {
        return STATUS_KEY_DELETED;
    }
    if (IsHiveRoot(*key) || !key->m_subkeys.empty())
    {
        return STATUS_CANNOT_DELETE;
    }
    RegistryKey* parent = key->m_parent;
    parent->m_subkeys.erase(UpperCase(key->m_name));
    key->MarkDeletedLocked();
    parent->TouchLocked();
    return STATUS_SUCCESS;
}

void Registry::DeleteTree(std::u16string_view path)
{
    std::lock_guard<std::recursive_mutex> guard(m_lock);
    std::shared_ptr<RegistryKey> key = OpenKey(path);
    if (!key || IsHiveRoot(*key))
    {
        return;
    }
    RegistryKey* parent = key->m_parent;
    parent->m_subkeys.erase(UpperCase(key->m_name));
    key->MarkDeletedLocked();
    parent->TouchLocked();
}

void Registry::ClearVolatile()
{
    std::lock_guard<std::recursive_mutex> guard(m_lock);
    std::vector<RegistryKey*> pending{m_root.get()};
    while (!pending.empty())
    {
        RegistryKey* key = pending.back();
        pending.pop_back();
        for (auto it = key->m_subkeys.begin(); it != key->m_subkeys.end();)
        {
            if (it->second->m_volatile)
            {
                it->second->MarkDeletedLocked();
                it = key->m_subkeys.erase(it);
            }
            else
            {
                pending.push_back(it->second.get());
                ++it;
            }
        }
    }
}

void Registry::SetTimeSource(LONGLONG (*now)())
{
    std::lock_guard<std::recursive_mutex> guard(m_lock);
    m_now = now;
}

LONGLONG Registry::Now() const
{
    return m_now != nullptr ? m_now() : WallClockNow();
}

// ---------------------------------------------------------------------------------------------
// Paths

std::u16string NormalizeRegistryPath(std::u16string_view path)
{
    // A single trailing separator is tolerated ("HKEY_LOCAL_MACHINE\SOFTWARE\").
    if (path.size() > 1 && path.back() == u'\\')
    {
        path.remove_suffix(1);
    }
    size_t split = path.find(u'\\', path.empty() || path.front() != u'\\' ? 0 : 1);
    std::u16string_view first = path.substr(0, split);
    std::u16string_view rest =
        split == std::u16string_view::npos ? std::u16string_view() : path.substr(split);

    std::u16string_view root;
    if (EqualsNoCase(first, u"\\Registry"))
    {
        root = u"\\Registry";
    }
    else if (EqualsNoCase(first, u"HKEY_LOCAL_MACHINE") || EqualsNoCase(first, u"HKLM"))
    {
        root = u"\\Registry\\Machine";
    }
    else if (EqualsNoCase(first, u"HKEY_USERS") || EqualsNoCase(first, u"HKU"))
    {
        root = u"\\Registry\\User";
    }
    else if (EqualsNoCase(first, u"HKEY_CLASSES_ROOT") || EqualsNoCase(first, u"HKCR"))
    {
        root = u"\\Registry\\Machine\\SOFTWARE\\Classes";
    }
    else
    {
        return std::u16string();
    }
    std::u16string result(root);
    result += rest;
    return result;
}

} // namespace winsim::kernel
