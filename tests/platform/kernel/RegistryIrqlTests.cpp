// Registry routines are PASSIVE_LEVEL only: the verifier stops a driver that calls one above it.
#include "RegistryTestSupport.h"

using registrytest::RegistryTest;

namespace
{

class RegistryIrqlDeathTest : public RegistryTest
{
  protected:
    void SetUp() override
    {
        GTEST_FLAG_SET(death_test_style, "threadsafe");
        Create(u"\\Registry\\Machine\\HARDWARE\\DEVICEMAP\\SERIALCOMM");
    }
};

TEST_F(RegistryIrqlDeathTest, RegistryRoutinesStopAtDispatchLevel)
{
    struct Case
    {
        const char* routine;
        void (*call)();
    };
    const Case cases[] = {
        {"RtlWriteRegistryValue",
         [] {
             ULONG value = 1;
             RtlWriteRegistryValue(RTL_REGISTRY_DEVICEMAP, L"SERIALCOMM", L"V", REG_DWORD, &value,
                                   sizeof(value));
         }},
        {"RtlQueryRegistryValuesEx",
         [] {
             RTL_QUERY_REGISTRY_TABLE table[1] = {};
             RtlQueryRegistryValuesEx(RTL_REGISTRY_DEVICEMAP, L"SERIALCOMM", table, nullptr, nullptr);
         }},
        {"ZwOpenKey",
         [] {
             UNICODE_STRING name = registrytest::Us(L"\\Registry\\Machine");
             OBJECT_ATTRIBUTES attributes;
             InitializeObjectAttributes(&attributes, &name, OBJ_KERNEL_HANDLE, nullptr, nullptr);
             HANDLE handle;
             ZwOpenKey(&handle, KEY_READ, &attributes);
         }},
    };
    for (const auto& c : cases)
    {
        EXPECT_DEATH(
            {
                KIRQL old;
                KeRaiseIrql(DISPATCH_LEVEL, &old);
                c.call();
            },
            std::string("IRQL_TOO_HIGH: ") + c.routine + " called at IRQL 2");
    }
    // At PASSIVE_LEVEL the same calls are fine.
    for (const auto& c : cases)
    {
        c.call();
    }
    EXPECT_TRUE(m_registry.OpenKey(u"HKLM\\HARDWARE\\DEVICEMAP\\SERIALCOMM")->GetValue(u"V").has_value());
}

} // namespace
