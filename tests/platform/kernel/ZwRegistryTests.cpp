// The Zw* key and value services: handles, access, and the buffer rules of the query routines.
#include "RegistryTestSupport.h"

#include <cstring>

using namespace winsim::kernel;
using registrytest::OpenHandle;
using registrytest::RegistryTest;
using registrytest::Us;

namespace
{

class ZwRegistryTest : public RegistryTest
{
  protected:
    NTSTATUS Open(const wchar_t* path, ACCESS_MASK access, HANDLE* handle, HANDLE root = nullptr)
    {
        UNICODE_STRING name = Us(path);
        OBJECT_ATTRIBUTES attributes;
        InitializeObjectAttributes(&attributes, &name, OBJ_KERNEL_HANDLE, root, nullptr);
        return ZwOpenKey(handle, access, &attributes);
    }

    NTSTATUS CreateKey(const wchar_t* path, ULONG options, HANDLE* handle, ULONG* disposition,
                       HANDLE root = nullptr, ACCESS_MASK access = KEY_ALL_ACCESS)
    {
        UNICODE_STRING name = Us(path);
        OBJECT_ATTRIBUTES attributes;
        InitializeObjectAttributes(&attributes, &name, OBJ_KERNEL_HANDLE, root, nullptr);
        return ZwCreateKey(handle, access, &attributes, 0, nullptr, options, disposition);
    }

    NTSTATUS SetDword(HANDLE handle, const wchar_t* name, ULONG value)
    {
        UNICODE_STRING valueName = Us(name);
        return ZwSetValueKey(handle, &valueName, 0, REG_DWORD, &value, sizeof(value));
    }
};

TEST_F(ZwRegistryTest, CreateReportsDispositionAndOpenFindsTheKeyWithoutRegardToCase)
{
    HANDLE handle = nullptr;
    ULONG disposition = 0;
    ASSERT_EQ(CreateKey(L"\\Registry\\Machine\\SOFTWARE", 0, &handle, &disposition), STATUS_SUCCESS);
    EXPECT_EQ(disposition, ULONG(REG_CREATED_NEW_KEY));
    EXPECT_EQ(ZwClose(handle), STATUS_SUCCESS);
    ASSERT_EQ(CreateKey(L"\\REGISTRY\\MACHINE\\software", 0, &handle, &disposition), STATUS_SUCCESS);
    EXPECT_EQ(disposition, ULONG(REG_OPENED_EXISTING_KEY));

    // Relative to an open key.
    HANDLE child = nullptr;
    ASSERT_EQ(CreateKey(L"Vendor", 0, &child, &disposition, handle), STATUS_SUCCESS);
    EXPECT_EQ(disposition, ULONG(REG_CREATED_NEW_KEY));
    EXPECT_NE(m_registry.OpenKey(u"\\Registry\\Machine\\SOFTWARE\\Vendor"), nullptr);
    HANDLE reopened = nullptr;
    EXPECT_EQ(Open(L"\\Registry\\Machine\\Software\\VENDOR", KEY_READ, &reopened), STATUS_SUCCESS);

    // Name errors.
    HANDLE unused = nullptr;
    EXPECT_EQ(Open(L"\\Registry\\Machine\\SOFTWARE\\Missing", KEY_READ, &unused),
              STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(CreateKey(L"\\Registry\\Machine\\Missing\\Deeper", 0, &unused, &disposition),
              STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(m_registry.OpenKey(u"\\Registry\\Machine\\Missing"), nullptr);
    EXPECT_EQ(Open(L"SOFTWARE", KEY_READ, &unused), STATUS_OBJECT_PATH_SYNTAX_BAD);
    EXPECT_EQ(Open(L"\\Registry\\Machine\\\\SOFTWARE", KEY_READ, &unused), STATUS_OBJECT_NAME_INVALID);
    EXPECT_EQ(Open(L"Vendor", KEY_READ, &unused, reinterpret_cast<HANDLE>(0x1234)), STATUS_INVALID_HANDLE);

    EXPECT_EQ(ZwClose(reopened), STATUS_SUCCESS);
    EXPECT_EQ(ZwClose(child), STATUS_SUCCESS);
    EXPECT_EQ(ZwClose(handle), STATUS_SUCCESS);
    EXPECT_EQ(ZwClose(handle), STATUS_INVALID_HANDLE);
}

TEST_F(ZwRegistryTest, VolatileOptionAndTheChildMustBeVolatileRule)
{
    HANDLE map = nullptr;
    Create(u"\\Registry\\Machine\\HARDWARE");
    ASSERT_EQ(CreateKey(L"\\Registry\\Machine\\HARDWARE\\DEVICEMAP", REG_OPTION_VOLATILE, &map, nullptr),
              STATUS_SUCCESS);
    EXPECT_TRUE(m_registry.OpenKey(u"\\Registry\\Machine\\HARDWARE\\DEVICEMAP")->IsVolatile());
    HANDLE child = nullptr;
    EXPECT_EQ(CreateKey(L"SERIALCOMM", REG_OPTION_NON_VOLATILE, &child, nullptr, map),
              STATUS_CHILD_MUST_BE_VOLATILE);
    EXPECT_EQ(CreateKey(L"SERIALCOMM", REG_OPTION_VOLATILE, &child, nullptr, map), STATUS_SUCCESS);
    // Opening an existing key with other options opens it as it is.
    HANDLE again = nullptr;
    ULONG disposition = 0;
    EXPECT_EQ(CreateKey(L"SERIALCOMM", REG_OPTION_NON_VOLATILE, &again, &disposition, map), STATUS_SUCCESS);
    EXPECT_EQ(disposition, ULONG(REG_OPENED_EXISTING_KEY));
    EXPECT_EQ(CreateKey(L"Other", 0x100, &again, nullptr, map), STATUS_INVALID_PARAMETER);
    ZwClose(again);
    ZwClose(child);
    ZwClose(map);
}

TEST_F(ZwRegistryTest, KernelModeCallersAreNotHeldToTheGrantedAccess)
{
    // Drivers open device keys with STANDARD_RIGHTS_ALL and still read and write values: the Zw
    // routines do not check a kernel handle's granted access.
    Create(u"\\Registry\\Machine\\SOFTWARE\\Vendor")->SetDword(u"Existing", 1);
    HANDLE standard = OpenHandle(L"\\Registry\\Machine\\SOFTWARE\\Vendor", STANDARD_RIGHTS_ALL);
    UNICODE_STRING existing = Us(L"Existing");
    ULONG result = 0;
    UCHAR buffer[128];
    EXPECT_EQ(
        ZwQueryValueKey(standard, &existing, KeyValuePartialInformation, buffer, sizeof(buffer), &result),
        STATUS_SUCCESS);
    EXPECT_EQ(SetDword(standard, L"New", 2), STATUS_SUCCESS);
    EXPECT_EQ(m_registry.OpenKey(u"\\Registry\\Machine\\SOFTWARE\\Vendor")->GetDword(u"New"), 2u);
    HANDLE child = nullptr;
    EXPECT_EQ(CreateKey(L"Child", 0, &child, nullptr, standard), STATUS_SUCCESS);
    EXPECT_EQ(ZwDeleteValueKey(standard, &existing), STATUS_SUCCESS);
    EXPECT_FALSE(
        m_registry.OpenKey(u"\\Registry\\Machine\\SOFTWARE\\Vendor")->GetValue(u"Existing").has_value());
    ZwClose(child);
    ZwClose(standard);
}

TEST_F(ZwRegistryTest, DeletedKeyHandlesRefuseEverythingButClose)
{
    Create(u"\\Registry\\Machine\\SOFTWARE\\Gone")->SetDword(u"V", 1);
    HANDLE first = OpenHandle(L"\\Registry\\Machine\\SOFTWARE\\Gone", KEY_ALL_ACCESS);
    HANDLE second = OpenHandle(L"\\Registry\\Machine\\SOFTWARE\\Gone", KEY_READ);
    HANDLE parent = OpenHandle(L"\\Registry\\Machine\\SOFTWARE", KEY_ALL_ACCESS);
    EXPECT_EQ(ZwDeleteKey(parent), STATUS_CANNOT_DELETE); // it has a subkey
    ASSERT_EQ(ZwDeleteKey(first), STATUS_SUCCESS);
    EXPECT_EQ(m_registry.OpenKey(u"\\Registry\\Machine\\SOFTWARE\\Gone"), nullptr);

    UNICODE_STRING v = Us(L"V");
    ULONG result = 0;
    UCHAR buffer[64];
    HANDLE child = nullptr;
    EXPECT_EQ(ZwQueryValueKey(second, &v, KeyValuePartialInformation, buffer, sizeof(buffer), &result),
              STATUS_KEY_DELETED);
    EXPECT_EQ(SetDword(first, L"V", 2), STATUS_KEY_DELETED);
    EXPECT_EQ(ZwEnumerateValueKey(second, 0, KeyValueBasicInformation, buffer, sizeof(buffer), &result),
              STATUS_KEY_DELETED);
    EXPECT_EQ(ZwFlushKey(second), STATUS_KEY_DELETED);
    EXPECT_EQ(ZwDeleteKey(first), STATUS_KEY_DELETED);
    EXPECT_EQ(CreateKey(L"Child", 0, &child, nullptr, first), STATUS_KEY_DELETED);
    EXPECT_EQ(ZwFlushKey(parent), STATUS_SUCCESS);
    EXPECT_EQ(ZwDeleteKey(parent), STATUS_SUCCESS); // now empty
    EXPECT_EQ(ZwClose(first), STATUS_SUCCESS);
    EXPECT_EQ(ZwClose(second), STATUS_SUCCESS);
    EXPECT_EQ(ZwClose(parent), STATUS_SUCCESS);
}

// ZwQueryValueKey for each information class, at every buffer length that matters. The value is
// "Baud" = REG_DWORD 0x12345678: an 8-byte name and 4 bytes of data.
TEST_F(ZwRegistryTest, QueryValueBufferRulesForEveryClass)
{
    Create(u"\\Registry\\Machine\\SOFTWARE\\Rules")->SetDword(u"Baud", 0x12345678);
    HANDLE key = OpenHandle(L"\\Registry\\Machine\\SOFTWARE\\Rules", KEY_READ);
    UNICODE_STRING baud = Us(L"Baud");

    struct Case
    {
        const char* label;
        KEY_VALUE_INFORMATION_CLASS infoClass;
        ULONG fixed;  // size without the name and data
        ULONG full;   // size with everything
        ULONG typeAt; // offset of Type
        ULONG nameAt; // offset of the name, 0 when the class has none
        ULONG dataAt; // offset of the data, 0 when the class has none
    };
    const Case cases[] = {
        {"Basic", KeyValueBasicInformation, 12, 20, 4, 12, 0},
        {"Full", KeyValueFullInformation, 20, 32, 4, 20, 28},
        {"Partial", KeyValuePartialInformation, 12, 16, 4, 0, 12},
        // The data of the Align64 full class starts at the next 8-byte boundary after the name.
        {"FullAlign64", KeyValueFullInformationAlign64, 20, 36, 4, 20, 32},
        // The Align64 partial structure has no TitleIndex.
        {"PartialAlign64", KeyValuePartialInformationAlign64, 8, 12, 0, 0, 8},
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.label);
        for (ULONG length : {0u, c.fixed - 1, c.fixed, c.full - 1, c.full, c.full + 8})
        {
            SCOPED_TRACE(length);
            alignas(8) UCHAR buffer[64];
            std::memset(buffer, 0xCC, sizeof(buffer));
            ULONG result = 0;
            NTSTATUS status =
                ZwQueryValueKey(key, &baud, c.infoClass, length == 0 ? nullptr : buffer, length, &result);
            EXPECT_EQ(result, c.full);
            ULONG type = 0;
            std::memcpy(&type, buffer + c.typeAt, sizeof(type));
            if (length < c.fixed)
            {
                EXPECT_EQ(status, STATUS_BUFFER_TOO_SMALL);
                EXPECT_EQ(buffer[0], 0xCC); // nothing written
                continue;
            }
            EXPECT_EQ(type, ULONG(REG_DWORD));
            EXPECT_EQ(buffer[length], 0xCC); // never past the length given
            if (length < c.full)
            {
                EXPECT_EQ(status, STATUS_BUFFER_OVERFLOW);
                continue;
            }
            EXPECT_EQ(status, STATUS_SUCCESS);
            if (c.nameAt != 0)
            {
                EXPECT_EQ(std::memcmp(buffer + c.nameAt, L"Baud", 8), 0);
            }
            if (c.dataAt != 0)
            {
                ULONG data = 0;
                std::memcpy(&data, buffer + c.dataAt, sizeof(data));
                EXPECT_EQ(data, 0x12345678u);
            }
        }
    }

    // The Full class reports where its data is.
    alignas(8) UCHAR buffer[64];
    ULONG result = 0;
    ASSERT_EQ(ZwQueryValueKey(key, &baud, KeyValueFullInformationAlign64, buffer, sizeof(buffer), &result),
              STATUS_SUCCESS);
    auto* full = reinterpret_cast<KEY_VALUE_FULL_INFORMATION*>(buffer);
    EXPECT_EQ(full->DataOffset, 32u);
    EXPECT_EQ(full->DataLength, 4u);
    EXPECT_EQ(full->NameLength, 8u);
    // Align64 classes refuse a buffer that is not 8-byte aligned.
    EXPECT_EQ(ZwQueryValueKey(key, &baud, KeyValuePartialInformationAlign64, buffer + 4, 32, &result),
              STATUS_DATATYPE_MISALIGNMENT);
    // A missing value, a bad class.
    UNICODE_STRING missing = Us(L"Missing");
    EXPECT_EQ(ZwQueryValueKey(key, &missing, KeyValuePartialInformation, buffer, sizeof(buffer), &result),
              STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(ZwQueryValueKey(key, &baud, MaxKeyValueInfoClass, buffer, sizeof(buffer), &result),
              STATUS_INVALID_PARAMETER);
    ZwClose(key);
}

TEST_F(ZwRegistryTest, EnumerationAndKeyInformation)
{
    auto vendor = Create(u"\\Registry\\Machine\\SOFTWARE\\Vendor");
    vendor->CreateSubkey(u"beta", false, nullptr);
    vendor->CreateSubkey(u"Alpha", false, nullptr);
    vendor->CreateSubkey(u"Gamma12", false, nullptr);
    vendor->SetDword(u"Second", 2);
    vendor->SetString(u"LongestName", u"abc");
    HANDLE key = OpenHandle(L"\\Registry\\Machine\\SOFTWARE\\Vendor", KEY_READ);

    alignas(8) UCHAR buffer[256];
    ULONG result = 0;
    std::vector<std::u16string> subkeys;
    for (ULONG i = 0;; ++i)
    {
        NTSTATUS status = ZwEnumerateKey(key, i, KeyBasicInformation, buffer, sizeof(buffer), &result);
        if (status == STATUS_NO_MORE_ENTRIES)
        {
            break;
        }
        ASSERT_EQ(status, STATUS_SUCCESS);
        auto* info = reinterpret_cast<KEY_BASIC_INFORMATION*>(buffer);
        subkeys.push_back(registrytest::U16(info->Name, info->NameLength / 2));
        ASSERT_LT(i, 10u);
    }
    EXPECT_EQ(subkeys, (std::vector<std::u16string>{u"Alpha", u"beta", u"Gamma12"}));

    std::vector<std::u16string> values;
    for (ULONG i = 0; ZwEnumerateValueKey(key, i, KeyValueBasicInformation, buffer, sizeof(buffer),
                                          &result) == STATUS_SUCCESS;
         ++i)
    {
        auto* info = reinterpret_cast<KEY_VALUE_BASIC_INFORMATION*>(buffer);
        values.push_back(registrytest::U16(info->Name, info->NameLength / 2));
    }
    EXPECT_EQ(values, (std::vector<std::u16string>{u"Second", u"LongestName"}));
    EXPECT_EQ(ZwEnumerateValueKey(key, 2, KeyValueBasicInformation, buffer, sizeof(buffer), &result),
              STATUS_NO_MORE_ENTRIES);

    ASSERT_EQ(ZwQueryKey(key, KeyFullInformation, buffer, sizeof(buffer), &result), STATUS_SUCCESS);
    auto* full = reinterpret_cast<KEY_FULL_INFORMATION*>(buffer);
    EXPECT_EQ(full->SubKeys, 3u);
    EXPECT_EQ(full->Values, 2u);
    EXPECT_EQ(full->MaxNameLen, 14u);      // "Gamma12"
    EXPECT_EQ(full->MaxValueNameLen, 22u); // "LongestName"
    EXPECT_EQ(full->MaxValueDataLen, 8u);  // "abc" and its NUL
    EXPECT_EQ(full->ClassLength, 0u);

    ASSERT_EQ(ZwQueryKey(key, KeyNameInformation, buffer, sizeof(buffer), &result), STATUS_SUCCESS);
    auto* name = reinterpret_cast<KEY_NAME_INFORMATION*>(buffer);
    EXPECT_EQ(registrytest::U16(name->Name, name->NameLength / 2), u"\\REGISTRY\\MACHINE\\SOFTWARE\\Vendor");

    // Key information follows the same buffer rules: the fixed part of KEY_BASIC_INFORMATION is
    // 16 bytes, "Vendor" adds 12.
    std::memset(buffer, 0xCC, sizeof(buffer));
    EXPECT_EQ(ZwQueryKey(key, KeyBasicInformation, buffer, 15, &result), STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(result, 28u);
    EXPECT_EQ(buffer[0], 0xCC);
    EXPECT_EQ(ZwQueryKey(key, KeyBasicInformation, buffer, 16, &result), STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(reinterpret_cast<KEY_BASIC_INFORMATION*>(buffer)->NameLength, 12u);
    EXPECT_EQ(buffer[16], 0xCC);
    EXPECT_EQ(ZwQueryKey(key, KeyBasicInformation, buffer, 28, &result), STATUS_SUCCESS);
    EXPECT_EQ(ZwQueryKey(key, KeyVirtualizationInformation, buffer, sizeof(buffer), &result),
              STATUS_INVALID_PARAMETER);
    ZwClose(key);
}

TEST_F(ZwRegistryTest, SetAndDeleteValues)
{
    Create(u"\\Registry\\Machine\\SOFTWARE\\Values");
    HANDLE key = OpenHandle(L"\\Registry\\Machine\\SOFTWARE\\Values", KEY_ALL_ACCESS);
    UNICODE_STRING name = Us(L"PortName");
    const wchar_t text[] = L"COM3";
    ASSERT_EQ(ZwSetValueKey(key, &name, 0, REG_SZ, const_cast<wchar_t*>(text), sizeof(text)), STATUS_SUCCESS);
    EXPECT_EQ(m_registry.OpenKey(u"\\Registry\\Machine\\SOFTWARE\\Values")->GetString(u"portname"), u"COM3");
    // The default value has an empty name.
    UNICODE_STRING empty = Us(L"");
    ULONG zero = 0;
    ASSERT_EQ(ZwSetValueKey(key, &empty, 0, REG_DWORD, &zero, sizeof(zero)), STATUS_SUCCESS);
    EXPECT_TRUE(m_registry.OpenKey(u"\\Registry\\Machine\\SOFTWARE\\Values")->GetValue(u"").has_value());

    UNICODE_STRING upper = Us(L"PORTNAME");
    EXPECT_EQ(ZwDeleteValueKey(key, &upper), STATUS_SUCCESS);
    EXPECT_EQ(ZwDeleteValueKey(key, &upper), STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_FALSE(
        m_registry.OpenKey(u"\\Registry\\Machine\\SOFTWARE\\Values")->GetValue(u"PortName").has_value());
    ZwClose(key);
}

} // namespace
