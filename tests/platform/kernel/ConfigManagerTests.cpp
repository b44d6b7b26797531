// The configuration manager's key services as a user-mode system call reaches them: each checks
// the access the handle was granted, and a kernel-mode caller is trusted whatever its handle holds.
#include "RegistryTestSupport.h"

#include "kernel/ConfigManager.h"

#include "TableCases.h"

using namespace winsim::kernel;
using registrytest::RegistryTest;

namespace
{

using winsimtest::PrintTo;

constexpr char16_t KeyPath[] = u"\\Registry\\Machine\\SOFTWARE\\Access";
constexpr char16_t LeafPath[] = u"\\Registry\\Machine\\SOFTWARE\\Access\\Leaf";

// One service, the right it needs, and what it must have done when it was allowed.
struct AccessCase
{
    const char* name;
    const char16_t* target; // the key the handle refers to
    ACCESS_MASK required;   // 0: the service needs no right
    NTSTATUS (*call)(ConfigManager& cm, KPROCESSOR_MODE mode, const RegistryKeyObject& key);
    // Whether the service did its work on the registry (nullptr: it changes nothing).
    bool (*done)(Registry& registry);
};

NTSTATUS QueryPartial(ConfigManager& cm, KPROCESSOR_MODE mode, const RegistryKeyObject& key)
{
    alignas(8) UCHAR buffer[64];
    ULONG result = 0;
    return cm.QueryValue(mode, key, u"Value", KeyValuePartialInformation, buffer, sizeof(buffer), &result);
}

NTSTATUS EnumerateFirstValue(ConfigManager& cm, KPROCESSOR_MODE mode, const RegistryKeyObject& key)
{
    alignas(8) UCHAR buffer[64];
    ULONG result = 0;
    return cm.EnumerateValue(mode, key, 0, KeyValueBasicInformation, buffer, sizeof(buffer), &result);
}

NTSTATUS EnumerateFirstKey(ConfigManager& cm, KPROCESSOR_MODE mode, const RegistryKeyObject& key)
{
    alignas(8) UCHAR buffer[128];
    ULONG result = 0;
    return cm.EnumerateKey(mode, key, 0, KeyBasicInformation, buffer, sizeof(buffer), &result);
}

template <KEY_INFORMATION_CLASS infoClass>
NTSTATUS QueryKeyClass(ConfigManager& cm, KPROCESSOR_MODE mode, const RegistryKeyObject& key)
{
    alignas(8) UCHAR buffer[256];
    ULONG result = 0;
    return cm.QueryKey(mode, key, infoClass, buffer, sizeof(buffer), &result);
}

NTSTATUS SetNewValue(ConfigManager& cm, KPROCESSOR_MODE mode, const RegistryKeyObject& key)
{
    const ULONG data = 7;
    return cm.SetValue(mode, key, u"Written", REG_DWORD, &data, sizeof(data));
}

NTSTATUS DeleteTheValue(ConfigManager& cm, KPROCESSOR_MODE mode, const RegistryKeyObject& key)
{
    return cm.DeleteValue(mode, key, u"Value");
}

NTSTATUS DeleteTheKey(ConfigManager& cm, KPROCESSOR_MODE mode, const RegistryKeyObject& key)
{
    return cm.DeleteKey(mode, key);
}

NTSTATUS Flush(ConfigManager& cm, KPROCESSOR_MODE mode, const RegistryKeyObject& key)
{
    return cm.FlushKey(mode, key);
}

NTSTATUS CreateNewSubkey(ConfigManager& cm, KPROCESSOR_MODE mode, const RegistryKeyObject& key)
{
    std::shared_ptr<RegistryKeyObject> created;
    return cm.CreateKey(mode, &key, u"Created", KEY_READ, u"", 0, &created, nullptr);
}

NTSTATUS CreateExistingSubkey(ConfigManager& cm, KPROCESSOR_MODE mode, const RegistryKeyObject& key)
{
    std::shared_ptr<RegistryKeyObject> opened;
    ULONG disposition = 0;
    NTSTATUS status = cm.CreateKey(mode, &key, u"Leaf", KEY_READ, u"", 0, &opened, &disposition);
    return NT_SUCCESS(status) && disposition != REG_OPENED_EXISTING_KEY ? STATUS_UNSUCCESSFUL : status;
}

NTSTATUS OpenSubkey(ConfigManager& cm, KPROCESSOR_MODE mode, const RegistryKeyObject& key)
{
    std::shared_ptr<RegistryKeyObject> opened;
    return cm.OpenKey(mode, &key, u"Leaf", KEY_READ, &opened);
}

const AccessCase AccessCases[] = {
    {"QueryValue", KeyPath, KEY_QUERY_VALUE, QueryPartial, nullptr},
    {"EnumerateValue", KeyPath, KEY_QUERY_VALUE, EnumerateFirstValue, nullptr},
    {"SetValue", KeyPath, KEY_SET_VALUE, SetNewValue,
     [](Registry& r) { return r.OpenKey(KeyPath)->GetDword(u"Written") == 7u; }},
    {"DeleteValue", KeyPath, KEY_SET_VALUE, DeleteTheValue,
     [](Registry& r) { return !r.OpenKey(KeyPath)->GetValue(u"Value").has_value(); }},
    {"EnumerateKey", KeyPath, KEY_ENUMERATE_SUB_KEYS, EnumerateFirstKey, nullptr},
    {"QueryKeyFull", KeyPath, KEY_QUERY_VALUE, QueryKeyClass<KeyFullInformation>, nullptr},
    {"QueryKeyBasic", KeyPath, KEY_QUERY_VALUE, QueryKeyClass<KeyBasicInformation>, nullptr},
    {"QueryKeyName", KeyPath, 0, QueryKeyClass<KeyNameInformation>, nullptr},
    {"DeleteKey", LeafPath, DELETE, DeleteTheKey, [](Registry& r) { return r.OpenKey(LeafPath) == nullptr; }},
    {"FlushKey", KeyPath, 0, Flush, nullptr},
    {"CreateKeyBelowRoot", KeyPath, KEY_CREATE_SUB_KEY, CreateNewSubkey,
     [](Registry& r) { return r.OpenKey(std::u16string(KeyPath) + u"\\Created") != nullptr; }},
    {"CreateKeyOpensExistingBelowRoot", KeyPath, 0, CreateExistingSubkey, nullptr},
    {"OpenKeyBelowRoot", KeyPath, 0, OpenSubkey, nullptr},
};

class ConfigManagerAccessTest : public RegistryTest, public ::testing::WithParamInterface<AccessCase>
{
  protected:
    void SetUp() override
    {
        auto key = Create(KeyPath);
        key->SetDword(u"Value", 1);
        key->CreateSubkey(u"Leaf", false, nullptr);
    }

    ConfigManager& Cm() { return m_system.GetConfigManager(); }

    RegistryKeyObject Object(ACCESS_MASK granted)
    {
        return RegistryKeyObject(m_registry.OpenKey(GetParam().target), granted);
    }

    bool Done() { return GetParam().done != nullptr && GetParam().done(m_registry); }
};

TEST_P(ConfigManagerAccessTest, UserModeCallerWithoutTheRightIsDeniedAndNothingChanges)
{
    const AccessCase& c = GetParam();
    if (c.required == 0)
    {
        // Nothing to withhold: even a handle granted no access at all may do it.
        EXPECT_EQ(c.call(Cm(), UserMode, Object(0)), STATUS_SUCCESS);
        return;
    }
    EXPECT_EQ(c.call(Cm(), UserMode, Object(KEY_ALL_ACCESS & ~c.required)), STATUS_ACCESS_DENIED);
    EXPECT_FALSE(Done());
}

TEST_P(ConfigManagerAccessTest, UserModeCallerWithJustTheRightSucceeds)
{
    const AccessCase& c = GetParam();
    EXPECT_EQ(c.call(Cm(), UserMode, Object(c.required)), STATUS_SUCCESS);
    if (c.done != nullptr)
    {
        EXPECT_TRUE(Done());
    }
}

TEST_P(ConfigManagerAccessTest, KernelModeCallerIsNotChecked)
{
    const AccessCase& c = GetParam();
    EXPECT_EQ(c.call(Cm(), KernelMode, Object(0)), STATUS_SUCCESS);
    if (c.done != nullptr)
    {
        EXPECT_TRUE(Done());
    }
}

INSTANTIATE_TEST_SUITE_P(Services, ConfigManagerAccessTest, ::testing::ValuesIn(AccessCases),
                         [](const ::testing::TestParamInfo<AccessCase>& info) { return info.param.name; });

class ConfigManagerTest : public RegistryTest
{
  protected:
    ConfigManager& Cm() { return m_system.GetConfigManager(); }
};

TEST_F(ConfigManagerTest, UserModeOpenGrantsTheGenericRightsAsKeyRights)
{
    Create(KeyPath)->SetDword(u"Value", 1);
    struct Case
    {
        const char* name;
        ACCESS_MASK desired;
        bool mayQuery;
        bool maySet;
    };
    const Case cases[] = {
        {"GENERIC_READ", GENERIC_READ, true, false},
        {"GENERIC_WRITE", GENERIC_WRITE, false, true},
        {"KEY_READ", KEY_READ, true, false},
        {"MAXIMUM_ALLOWED", MAXIMUM_ALLOWED, true, true},
        {"GENERIC_ALL", GENERIC_ALL, true, true},
        {"STANDARD_RIGHTS_ALL", STANDARD_RIGHTS_ALL, false, false},
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.name);
        std::shared_ptr<RegistryKeyObject> key;
        ASSERT_EQ(Cm().OpenKey(UserMode, nullptr, KeyPath, c.desired, &key), STATUS_SUCCESS);
        EXPECT_EQ(QueryPartial(Cm(), UserMode, *key), c.mayQuery ? STATUS_SUCCESS : STATUS_ACCESS_DENIED);
        EXPECT_EQ(SetNewValue(Cm(), UserMode, *key), c.maySet ? STATUS_SUCCESS : STATUS_ACCESS_DENIED);
        // The same handle from kernel mode may do both.
        EXPECT_EQ(QueryPartial(Cm(), KernelMode, *key), STATUS_SUCCESS);
        EXPECT_EQ(SetNewValue(Cm(), KernelMode, *key), STATUS_SUCCESS);
    }
}

TEST_F(ConfigManagerTest, AccessIsCheckedBeforeTheKeyIsLookedAt)
{
    // A user-mode caller without the right learns nothing about the key, not even that it is gone.
    Create(LeafPath);
    RegistryKeyObject leaf(m_registry.OpenKey(LeafPath), KEY_READ);
    ASSERT_EQ(Cm().DeleteKey(KernelMode, leaf), STATUS_SUCCESS);
    EXPECT_EQ(SetNewValue(Cm(), UserMode, leaf), STATUS_ACCESS_DENIED);
    EXPECT_EQ(QueryPartial(Cm(), UserMode, leaf), STATUS_KEY_DELETED);
}

} // namespace
