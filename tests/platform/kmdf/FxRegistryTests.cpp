// Framework registry keys: the driver's Parameters key, values read into buffers that are too
// small, and typed reads of values of another type.
#include "FxTestSupport.h"

#include <string.h>

#include <algorithm>

#include <vector>

using namespace fxtest;

namespace
{

using fxtest::PrintTo;

class FxRegistryTest : public FxTest
{
  protected:
    void SetUp() override
    {
        ASSERT_EQ(m_machine.Plug().State(), DeviceState::Started) << "the driver is loaded";
        ASSERT_EQ(WdfDriverOpenParametersRegistryKey(m_machine.Driver(), KEY_ALL_ACCESS,
                                                     WDF_NO_OBJECT_ATTRIBUTES, &m_key),
                  STATUS_SUCCESS);
    }
    void TearDown() override
    {
        if (m_key != nullptr)
        {
            WdfRegistryClose(m_key);
        }
    }

    static std::u16string ParametersPath()
    {
        return std::u16string(u"\\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Services\\") + kService +
               u"\\Parameters";
    }

    WDFKEY m_key = nullptr;
};

TEST_F(FxRegistryTest, OpeningTheParametersKeyCreatesIt)
{
    ASSERT_TRUE(m_machine.RegistryKeyExists(ParametersPath()))
        << "the Parameters key exists once the driver opened it";
    UNICODE_STRING name = Us(L"PollInterval");
    ASSERT_EQ(WdfRegistryAssignULong(m_key, &name, 250), STATUS_SUCCESS);
    auto stored = m_machine.StoredRegistryValue(ParametersPath(), u"PollInterval");
    ASSERT_TRUE(stored.has_value()) << "written through to the registry";
    EXPECT_EQ(stored->type, static_cast<ULONG>(REG_DWORD));
    EXPECT_EQ(stored->data, (std::vector<uint8_t>{250, 0, 0, 0}));
    ULONG value = 0;
    EXPECT_EQ(WdfRegistryQueryULong(m_key, &name, &value), STATUS_SUCCESS);
    EXPECT_EQ(value, 250u);
    UNICODE_STRING missing = Us(L"Missing");
    EXPECT_EQ(WdfRegistryQueryULong(m_key, &missing, &value), STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(WdfRegistryRemoveValue(m_key, &name), STATUS_SUCCESS);
    EXPECT_FALSE(m_machine.StoredRegistryValue(ParametersPath(), u"PollInterval").has_value());
}

TEST_F(FxRegistryTest, KeyIsDeletedWithTheDriver)
{
    // A key left open is closed when its parent, the driver, goes; the unload's leak check
    // would stop otherwise.
    m_key = nullptr;
    m_machine.UnplugAll();
    EXPECT_FALSE(m_machine.Loaded());
}

// WdfRegistryQueryValue copies a value only when all of it fits the caller's buffer; otherwise
// (no buffer and an empty buffer included) it reports STATUS_BUFFER_OVERFLOW with the length and
// type the value has, and the buffer is left as it was.
struct QueryValueCase
{
    const char* name;
    bool withBuffer;
    ULONG bufferLength;
    NTSTATUS expected;
};

class FxRegistryQueryValueTest : public FxRegistryTest, public ::testing::WithParamInterface<QueryValueCase>
{
};

TEST_P(FxRegistryQueryValueTest, CopiesTheWholeValueOrNothing)
{
    const QueryValueCase& c = GetParam();
    const unsigned char data[10] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10};
    UNICODE_STRING name = Us(L"Blob");
    ASSERT_EQ(
        WdfRegistryAssignValue(m_key, &name, REG_BINARY, sizeof(data), const_cast<unsigned char*>(data)),
        STATUS_SUCCESS);

    unsigned char buffer[16];
    memset(buffer, 0xEE, sizeof(buffer));
    ULONG length = 0;
    ULONG type = REG_NONE;
    EXPECT_EQ(
        WdfRegistryQueryValue(m_key, &name, c.bufferLength, c.withBuffer ? buffer : nullptr, &length, &type),
        c.expected);
    EXPECT_EQ(length, sizeof(data)) << "the length of the whole value";
    EXPECT_EQ(type, static_cast<ULONG>(REG_BINARY));
    if (c.expected == STATUS_SUCCESS)
    {
        EXPECT_EQ(memcmp(buffer, data, sizeof(data)), 0);
        EXPECT_EQ(buffer[sizeof(data)], 0xEE) << "nothing beyond the value is written";
    }
    else
    {
        EXPECT_EQ(std::count(buffer, buffer + sizeof(buffer), 0xEE), 16) << "nothing is copied";
    }
}

INSTANTIATE_TEST_SUITE_P(Buffers, FxRegistryQueryValueTest,
                         ::testing::Values(QueryValueCase{"NoBuffer", false, 0, STATUS_BUFFER_OVERFLOW},
                                           QueryValueCase{"EmptyBuffer", true, 0, STATUS_BUFFER_OVERFLOW},
                                           QueryValueCase{"FourBytes", true, 4, STATUS_BUFFER_OVERFLOW},
                                           QueryValueCase{"OneByteShort", true, 9, STATUS_BUFFER_OVERFLOW},
                                           QueryValueCase{"Exact", true, 10, STATUS_SUCCESS},
                                           QueryValueCase{"Larger", true, 16, STATUS_SUCCESS}),
                         [](const ::testing::TestParamInfo<QueryValueCase>& info) {
                             return std::string(info.param.name);
                         });

TEST_F(FxRegistryTest, QueryValueOfAnEmptyOrMissingValue)
{
    UNICODE_STRING name = Us(L"Empty");
    ASSERT_EQ(WdfRegistryAssignValue(m_key, &name, REG_BINARY, 0, nullptr), STATUS_SUCCESS);
    ULONG length = 99;
    EXPECT_EQ(WdfRegistryQueryValue(m_key, &name, 0, nullptr, &length, nullptr), STATUS_SUCCESS)
        << "an empty value fits any buffer";
    EXPECT_EQ(length, 0u);
    unsigned char buffer[4] = {};
    UNICODE_STRING missing = Us(L"Nothing");
    EXPECT_EQ(WdfRegistryQueryValue(m_key, &missing, sizeof(buffer), buffer, &length, nullptr),
              STATUS_OBJECT_NAME_NOT_FOUND);
}

// WdfRegistryQueryULong reads REG_DWORD values only.
struct TypeCase
{
    const char* name;
    ULONG type;
    std::vector<unsigned char> data;
    NTSTATUS expected;
};

class FxRegistryTypeTest : public FxRegistryTest, public ::testing::WithParamInterface<TypeCase>
{
};

TEST_P(FxRegistryTypeTest, QueryULong)
{
    const TypeCase& c = GetParam();
    UNICODE_STRING name = Us(L"Typed");
    std::vector<unsigned char> data = c.data;
    ASSERT_EQ(WdfRegistryAssignValue(m_key, &name, c.type, static_cast<ULONG>(data.size()), data.data()),
              STATUS_SUCCESS);
    ULONG value = 0xCCCCCCCC;
    EXPECT_EQ(WdfRegistryQueryULong(m_key, &name, &value), c.expected);
    if (c.expected == STATUS_SUCCESS)
    {
        EXPECT_EQ(value, 0x04030201u);
    }
    else
    {
        EXPECT_EQ(value, 0xCCCCCCCCu) << "a failed read leaves the output alone";
    }
}

INSTANTIATE_TEST_SUITE_P(
    Types, FxRegistryTypeTest,
    ::testing::Values(TypeCase{"Dword", REG_DWORD, {1, 2, 3, 4}, STATUS_SUCCESS},
                      TypeCase{"String", REG_SZ, {'1', 0, 0, 0}, STATUS_OBJECT_TYPE_MISMATCH},
                      TypeCase{"FourBinaryBytes", REG_BINARY, {1, 2, 3, 4}, STATUS_OBJECT_TYPE_MISMATCH},
                      TypeCase{"Qword", REG_QWORD, {1, 2, 3, 4, 0, 0, 0, 0}, STATUS_OBJECT_TYPE_MISMATCH}),
    [](const ::testing::TestParamInfo<TypeCase>& info) { return std::string(info.param.name); });

// The counted string leaves the stored terminator out; the byte length reported counts it.
TEST_F(FxRegistryTest, QueryUnicodeStringCountsTheTerminatorOnlyInTheReportedLength)
{
    UNICODE_STRING name = Us(L"Label");
    UNICODE_STRING text = Us(L"COM7");
    ASSERT_EQ(WdfRegistryAssignUnicodeString(m_key, &name, &text), STATUS_SUCCESS);
    WCHAR buffer[16];
    UNICODE_STRING value{0, sizeof(buffer), buffer};
    USHORT bytes = 0;
    ASSERT_EQ(WdfRegistryQueryUnicodeString(m_key, &name, &bytes, &value), STATUS_SUCCESS);
    EXPECT_EQ(bytes, 10u) << "four characters and the terminating null";
    EXPECT_EQ(value.Length, 8u);
    EXPECT_EQ(Text(&value), u"COM7");
    bytes = 0;
    EXPECT_EQ(WdfRegistryQueryUnicodeString(m_key, &name, &bytes, nullptr), STATUS_SUCCESS)
        << "without a string only the size is returned";
    EXPECT_EQ(bytes, 10u);
    WCHAR tiny[2];
    UNICODE_STRING small{0, sizeof(tiny), tiny};
    EXPECT_EQ(WdfRegistryQueryUnicodeString(m_key, &name, &bytes, &small), STATUS_BUFFER_OVERFLOW);
    ULONG number = 0;
    EXPECT_EQ(WdfRegistryQueryULong(m_key, &name, &number), STATUS_OBJECT_TYPE_MISMATCH);
}

// A device's key belongs to the driver unless the driver names another parent, so the device's
// cleanup callback can open it.
TEST_F(FxRegistryTest, DeviceKeyCanBeOpenedInTheDeviceCleanupCallback)
{
    static NTSTATUS opened;
    static ULONG stored;
    opened = STATUS_UNSUCCESSFUL;
    stored = 0;
    m_machine.hooks.deviceAdd = [](WDFDRIVER, PWDFDEVICE_INIT init) {
        WDF_OBJECT_ATTRIBUTES attributes;
        WDF_OBJECT_ATTRIBUTES_INIT(&attributes);
        attributes.EvtCleanupCallback = [](WDFOBJECT device) {
            WDFKEY key = nullptr;
            opened = WdfDeviceOpenRegistryKey(static_cast<WDFDEVICE>(device), PLUGPLAY_REGKEY_DEVICE,
                                              KEY_READ, WDF_NO_OBJECT_ATTRIBUTES, &key);
            if (NT_SUCCESS(opened))
            {
                UNICODE_STRING name = Us(L"Marker");
                WdfRegistryQueryULong(key, &name, &stored);
                WdfRegistryClose(key);
            }
        };
        WDFDEVICE device = nullptr;
        NTSTATUS status = WdfDeviceCreate(&init, &attributes, &device);
        WDFKEY key = nullptr;
        if (NT_SUCCESS(status))
        {
            status = WdfDeviceOpenRegistryKey(device, PLUGPLAY_REGKEY_DEVICE, KEY_WRITE,
                                              WDF_NO_OBJECT_ATTRIBUTES, &key);
        }
        if (NT_SUCCESS(status))
        {
            UNICODE_STRING name = Us(L"Marker");
            status = WdfRegistryAssignULong(key, &name, 0x5eed);
            WdfRegistryClose(key);
        }
        return status;
    };
    Device node = m_machine.Plug(u"KEY1");
    ASSERT_EQ(node.State(), DeviceState::Started);
    WdfRegistryClose(m_key); // the driver unloads with its devices
    m_key = nullptr;
    m_machine.UnplugAll();
    EXPECT_EQ(opened, STATUS_SUCCESS);
    EXPECT_EQ(stored, 0x5eedu);
}

TEST_F(FxRegistryTest, RegistryMethodsRefuseDispatchLevel)
{
    UNICODE_STRING name = Us(L"Any");
    ULONG value = 0;
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    EXPECT_EQ(WdfRegistryQueryULong(m_key, &name, &value), STATUS_INVALID_DEVICE_REQUEST);
    EXPECT_EQ(WdfRegistryAssignULong(m_key, &name, 1), STATUS_INVALID_DEVICE_REQUEST);
    KeLowerIrql(old);
    EXPECT_EQ(WdfRegistryQueryULong(m_key, &name, &value), STATUS_OBJECT_NAME_NOT_FOUND)
        << "the refused assignment wrote nothing";
}

} // namespace
