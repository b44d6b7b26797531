// The registry tree itself: naming, enumeration order, volatile and deleted keys, locking.
#include "RegistryTestSupport.h"

#include <thread>

using namespace winsim::kernel;
using registrytest::RegistryTest;

namespace
{

TEST(NormalizeRegistryPathTest, MapsEditorRootsToNtPaths)
{
    struct Case
    {
        std::u16string_view input;
        std::u16string_view expected;
    };
    const Case cases[] = {
        {u"\\Registry\\Machine\\SYSTEM", u"\\Registry\\Machine\\SYSTEM"},
        {u"\\REGISTRY\\MACHINE\\SYSTEM", u"\\Registry\\MACHINE\\SYSTEM"},
        {u"HKEY_LOCAL_MACHINE\\SOFTWARE\\Vendor", u"\\Registry\\Machine\\SOFTWARE\\Vendor"},
        {u"hklm\\SOFTWARE", u"\\Registry\\Machine\\SOFTWARE"},
        {u"HKEY_LOCAL_MACHINE", u"\\Registry\\Machine"},
        {u"HKEY_USERS\\.DEFAULT", u"\\Registry\\User\\.DEFAULT"},
        {u"HKU\\S-1-5-18", u"\\Registry\\User\\S-1-5-18"},
        {u"HKEY_LOCAL_MACHINE\\SOFTWARE\\", u"\\Registry\\Machine\\SOFTWARE"},
        // Not registry paths.
        {u"HKEY_LOCAL_MACHINEX\\SOFTWARE", u""},
        {u"\\Device\\Serial0", u""},
        {u"\\RegistryX\\Machine", u""},
        {u"SOFTWARE\\Vendor", u""},
        {u"", u""},
    };
    for (const auto& c : cases)
    {
        EXPECT_EQ(NormalizeRegistryPath(c.input), c.expected) << std::string(c.input.begin(), c.input.end());
    }
}

TEST_F(RegistryTest, KeyAndValueNamesIgnoreCaseButKeepTheirSpelling)
{
    auto key = Create(u"\\Registry\\Machine\\SOFTWARE\\Vendor");
    EXPECT_EQ(m_registry.OpenKey(u"\\REGISTRY\\machine\\software\\VENDOR"), key);
    EXPECT_EQ(m_registry.OpenKey(u"HKLM\\Software\\vendor"), key);
    EXPECT_EQ(key->Name(), u"Vendor");
    EXPECT_EQ(key->Path(), u"\\Registry\\Machine\\SOFTWARE\\Vendor");

    // Creating with other case opens the same key.
    bool created = true;
    EXPECT_EQ(m_registry.CreateKey(u"\\Registry\\Machine\\software\\VENDOR", false, &created), key);
    EXPECT_FALSE(created);

    key->SetDword(u"BaudRate", 9600);
    key->SetDword(u"BAUDRATE", 115200);
    ASSERT_EQ(key->Values().size(), 1u);
    EXPECT_EQ(key->Values()[0].name, u"BaudRate");
    EXPECT_EQ(key->GetDword(u"baudrate"), 115200u);
    EXPECT_TRUE(key->DeleteValue(u"BAUDrate"));
    EXPECT_FALSE(key->GetValue(u"BaudRate").has_value());
}

TEST_F(RegistryTest, MalformedPathsAreRefused)
{
    EXPECT_EQ(m_registry.CreateKey(u"\\Registry\\Machine\\A\\\\B"), nullptr);
    EXPECT_EQ(m_registry.CreateKey(u"Machine\\A"), nullptr);
    std::u16string tooLong(256, u'x');
    EXPECT_EQ(m_registry.CreateKey(u"\\Registry\\Machine\\" + tooLong), nullptr);
    EXPECT_NE(m_registry.CreateKey(u"\\Registry\\Machine\\" + tooLong.substr(1)), nullptr);
}

TEST_F(RegistryTest, SubkeysEnumerateByUpperCasedNameValuesByCreation)
{
    auto key = Create(u"\\Registry\\Machine\\Order");
    // Created out of order; '_' sorts after the letters once they are upper-cased, before them
    // if they were lower-cased.
    for (auto name : {u"b", u"_x", u"A", u"a1"})
    {
        ASSERT_NE(key->CreateSubkey(name, false, nullptr), nullptr);
    }
    EXPECT_EQ(key->SubkeyNames(), (std::vector<std::u16string>{u"A", u"a1", u"b", u"_x"}));

    key->SetDword(u"z", 1);
    key->SetDword(u"a", 2);
    key->SetDword(u"m", 3);
    key->SetDword(u"A", 4); // rewriting keeps the place
    key->DeleteValue(u"z");
    key->SetDword(u"z", 5); // deleted and written again: now last
    std::vector<std::u16string> names;
    for (const auto& value : key->Values())
    {
        names.push_back(value.name);
    }
    EXPECT_EQ(names, (std::vector<std::u16string>{u"a", u"m", u"z"}));
    EXPECT_EQ(key->GetDword(u"a"), 4u);
}

TEST_F(RegistryTest, VolatileKeysOnlyHoldVolatileChildrenAndVanishAtReboot)
{
    auto stable = Create(u"\\Registry\\Machine\\HARDWARE\\Stable");
    auto transient = Create(u"\\Registry\\Machine\\HARDWARE\\DEVICEMAP", true);
    ASSERT_TRUE(transient->IsVolatile());

    NTSTATUS status = STATUS_SUCCESS;
    EXPECT_EQ(transient->CreateSubkey(u"SERIALCOMM", false, nullptr, &status), nullptr);
    EXPECT_EQ(status, STATUS_CHILD_MUST_BE_VOLATILE);
    auto child = transient->CreateSubkey(u"SERIALCOMM", true, nullptr, &status);
    ASSERT_NE(child, nullptr);
    EXPECT_EQ(status, STATUS_SUCCESS);
    // A volatile key may sit under a stable one.
    auto volatileUnderStable = stable->CreateSubkey(u"Now", true, nullptr, &status);
    ASSERT_NE(volatileUnderStable, nullptr);
    // Creating missing parents below a volatile key makes them volatile too.
    auto deep = m_registry.CreateKey(u"\\Registry\\Machine\\HARDWARE\\DEVICEMAP\\A\\B", true);
    ASSERT_NE(deep, nullptr);
    EXPECT_TRUE(m_registry.OpenKey(u"\\Registry\\Machine\\HARDWARE\\DEVICEMAP\\A")->IsVolatile());

    m_registry.ClearVolatile();
    EXPECT_EQ(m_registry.OpenKey(u"\\Registry\\Machine\\HARDWARE\\DEVICEMAP"), nullptr);
    EXPECT_TRUE(transient->IsDeleted());
    EXPECT_TRUE(child->IsDeleted());
    EXPECT_TRUE(deep->IsDeleted());
    EXPECT_TRUE(volatileUnderStable->IsDeleted());
    EXPECT_EQ(m_registry.OpenKey(u"\\Registry\\Machine\\HARDWARE\\Stable"), stable);
    EXPECT_FALSE(stable->IsDeleted());
    EXPECT_TRUE(stable->SubkeyNames().empty());
}

TEST_F(RegistryTest, DeletedKeysKeepTheirPathAndRefuseChanges)
{
    auto parent = Create(u"\\Registry\\Machine\\SOFTWARE\\Gone");
    auto child = Create(u"\\Registry\\Machine\\SOFTWARE\\Gone\\Child");
    child->SetDword(u"Kept", 1);

    EXPECT_EQ(m_registry.DeleteKey(parent), STATUS_CANNOT_DELETE);
    EXPECT_EQ(m_registry.DeleteKey(child), STATUS_SUCCESS);
    EXPECT_TRUE(child->IsDeleted());
    EXPECT_EQ(child->Path(), u"\\Registry\\Machine\\SOFTWARE\\Gone\\Child");
    EXPECT_TRUE(parent->SubkeyNames().empty());
    EXPECT_EQ(m_registry.DeleteKey(child), STATUS_KEY_DELETED);

    NTSTATUS status = STATUS_SUCCESS;
    EXPECT_EQ(child->CreateSubkey(u"Late", false, nullptr, &status), nullptr);
    EXPECT_EQ(status, STATUS_KEY_DELETED);
    child->SetDword(u"Late", 2);
    EXPECT_FALSE(child->GetValue(u"Late").has_value());
    EXPECT_FALSE(child->GetValue(u"Kept").has_value());

    // The hive roots stay.
    EXPECT_EQ(m_registry.DeleteKey(m_registry.OpenKey(u"\\Registry\\User")), STATUS_CANNOT_DELETE);
    EXPECT_EQ(m_registry.DeleteKey(m_registry.Root()), STATUS_CANNOT_DELETE);

    // A whole subtree goes with DeleteTree, and every key in it is marked deleted.
    auto grandchild = Create(u"\\Registry\\Machine\\SOFTWARE\\Gone\\Again\\Deeper");
    m_registry.DeleteTree(u"HKEY_LOCAL_MACHINE\\SOFTWARE\\Gone");
    EXPECT_EQ(m_registry.OpenKey(u"\\Registry\\Machine\\SOFTWARE\\Gone"), nullptr);
    EXPECT_TRUE(parent->IsDeleted());
    EXPECT_TRUE(grandchild->IsDeleted());
    EXPECT_EQ(grandchild->Path(), u"\\Registry\\Machine\\SOFTWARE\\Gone\\Again\\Deeper");
}

TEST_F(RegistryTest, WritesAdvanceTheLastWriteTimeOfTheMachineClock)
{
    static LONGLONG clock = 1000;
    m_registry.SetTimeSource([] { return clock; });
    auto key = Create(u"\\Registry\\Machine\\Timed");
    EXPECT_EQ(key->LastWriteTime(), 1000);
    clock = 2000;
    key->SetDword(u"V", 1);
    EXPECT_EQ(key->LastWriteTime(), 2000);
    clock = 3000;
    key->CreateSubkey(u"Sub", false, nullptr);
    EXPECT_EQ(key->LastWriteTime(), 3000);
    clock = 4000;
    EXPECT_TRUE(key->GetDword(u"V").has_value()); // reads change nothing
    EXPECT_EQ(key->LastWriteTime(), 3000);
}

TEST_F(RegistryTest, ConcurrentWritersAndReadersSeeAConsistentTree)
{
    auto key = Create(u"\\Registry\\Machine\\Busy");
    constexpr int Threads = 4;
    constexpr int PerThread = 50;
    std::vector<std::thread> workers;
    for (int t = 0; t < Threads; ++t)
    {
        workers.emplace_back([&, t] {
            for (int i = 0; i < PerThread; ++i)
            {
                std::u16string name =
                    u"T" + std::u16string(1, char16_t(u'a' + t)) + std::u16string(1, char16_t(0x100 + i));
                key->SetDword(name, static_cast<ULONG>(i));
                auto sub = key->CreateSubkey(name, false, nullptr);
                sub->SetDword(u"Index", static_cast<ULONG>(i));
                (void)key->Values();
                (void)m_registry.OpenKey(u"\\Registry\\Machine\\Busy\\" + name);
            }
        });
    }
    for (auto& worker : workers)
    {
        worker.join();
    }
    EXPECT_EQ(key->Values().size(), size_t(Threads * PerThread));
    EXPECT_EQ(key->SubkeyNames().size(), size_t(Threads * PerThread));
}

} // namespace
