// setupapi's device registry properties of a reader: the IDs its bus reported and the texts setup
// wrote, read with the buffer rules every setupapi getter shares, and the texts a user may change.
#include <windows.h>
#include <setupapi.h>

#include "ReaderPortMachine.h"
#include "TableCases.h"

#include <string>
#include <vector>

namespace
{

using win32test::ReaderPortMachineTest;
using winsimtest::PrintTo;

// The member of a set of every present device whose instance ID is `id`.
bool FindMember(HDEVINFO set, const std::string& id, SP_DEVINFO_DATA* data)
{
    data->cbSize = sizeof(*data);
    for (DWORD index = 0; SetupDiEnumDeviceInfo(set, index, data); ++index)
    {
        char found[256];
        if (SetupDiGetDeviceInstanceIdA(set, data, found, sizeof(found), nullptr) && id == found)
        {
            return true;
        }
    }
    return false;
}

// Texts as the A functions return them: each with its NUL, and a closing NUL for a multi-string.
std::string AnsiMultiString(const std::vector<std::u16string>& texts)
{
    std::string joined;
    for (const std::u16string& text : texts)
    {
        joined += std::string(text.begin(), text.end()) + '\0';
    }
    return joined + '\0';
}

class RegistryPropertyTest : public ReaderPortMachineTest
{
  protected:
    void SetUp() override
    {
        ReaderPortMachineTest::SetUp();
        set = SetupDiGetClassDevsA(nullptr, nullptr, nullptr, DIGCF_ALLCLASSES | DIGCF_PRESENT);
        ASSERT_NE(set, INVALID_HANDLE_VALUE);
        ASSERT_TRUE(FindMember(set, InstanceId("TR0001"), &member));
    }
    void TearDown() override
    {
        SetupDiDestroyDeviceInfoList(set);
        ReaderPortMachineTest::TearDown();
    }

    // What the kernel keeps for the reader, in the form SetupDiGetDeviceRegistryPropertyA returns.
    std::string Expected(DWORD property)
    {
        std::u16string enumKey = u"HKLM\\SYSTEM\\CurrentControlSet\\Enum\\" + reader.InstancePath();
        switch (property)
        {
        case SPDRP_HARDWAREID:
            return AnsiMultiString(reader.HardwareIds());
        case SPDRP_COMPATIBLEIDS:
            return AnsiMultiString(reader.CompatibleIds());
        case SPDRP_DEVICEDESC: {
            std::u16string text = machine->RegistryString(enumKey, u"DeviceDesc").value_or(u"");
            return std::string(text.begin(), text.end()) + '\0';
        }
        default: {
            std::u16string text = machine->RegistryString(enumKey, u"FriendlyName").value_or(u"");
            return std::string(text.begin(), text.end()) + '\0';
        }
        }
    }

    HDEVINFO set = INVALID_HANDLE_VALUE;
    SP_DEVINFO_DATA member{};
};

enum class BufferKind
{
    None,  // no buffer, size 0: the size is asked for
    Short, // one byte short
    Exact,
};

struct PropertyCase
{
    const char* name;
    DWORD property;
    DWORD type;
    BufferKind buffer;
};

class RegistryPropertyBuffers : public RegistryPropertyTest,
                                public ::testing::WithParamInterface<PropertyCase>
{
};

TEST_P(RegistryPropertyBuffers, GiveTheSizeAndTypeAndFillOnlyABufferThatHoldsAll)
{
    const PropertyCase& c = GetParam();
    std::string expected = Expected(c.property);
    ASSERT_GT(expected.size(), 2u) << "the reader has the property";
    DWORD size = c.buffer == BufferKind::None    ? 0
                 : c.buffer == BufferKind::Short ? static_cast<DWORD>(expected.size() - 1)
                                                 : static_cast<DWORD>(expected.size());
    std::vector<BYTE> buffer(expected.size() + 8, 0xCC);
    DWORD type = 0;
    DWORD required = 0;
    SetLastError(0);
    BOOL ok = SetupDiGetDeviceRegistryPropertyA(set, &member, c.property, &type,
                                                c.buffer == BufferKind::None ? nullptr : buffer.data(), size,
                                                &required);
    EXPECT_EQ(required, static_cast<DWORD>(expected.size()));
    EXPECT_EQ(type, c.type);
    if (c.buffer == BufferKind::Exact)
    {
        ASSERT_TRUE(ok);
        EXPECT_EQ(std::string(buffer.begin(), buffer.begin() + expected.size()), expected);
        EXPECT_EQ(buffer[expected.size()], 0xCC) << "nothing written past the data";
    }
    else
    {
        EXPECT_FALSE(ok);
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
        EXPECT_EQ(buffer[0], 0xCC) << "a short buffer gets nothing";
    }
}

INSTANTIATE_TEST_SUITE_P(
    SetupDiGetDeviceRegistryPropertyA, RegistryPropertyBuffers,
    ::testing::Values(
        PropertyCase{"HardwareIdSize", SPDRP_HARDWAREID, REG_MULTI_SZ, BufferKind::None},
        PropertyCase{"HardwareIdShort", SPDRP_HARDWAREID, REG_MULTI_SZ, BufferKind::Short},
        PropertyCase{"HardwareIdExact", SPDRP_HARDWAREID, REG_MULTI_SZ, BufferKind::Exact},
        PropertyCase{"CompatibleIdsSize", SPDRP_COMPATIBLEIDS, REG_MULTI_SZ, BufferKind::None},
        PropertyCase{"CompatibleIdsShort", SPDRP_COMPATIBLEIDS, REG_MULTI_SZ, BufferKind::Short},
        PropertyCase{"CompatibleIdsExact", SPDRP_COMPATIBLEIDS, REG_MULTI_SZ, BufferKind::Exact},
        PropertyCase{"DeviceDescShort", SPDRP_DEVICEDESC, REG_SZ, BufferKind::Short},
        PropertyCase{"DeviceDescExact", SPDRP_DEVICEDESC, REG_SZ, BufferKind::Exact},
        PropertyCase{"FriendlyNameExact", SPDRP_FRIENDLYNAME, REG_SZ, BufferKind::Exact}),
    [](const ::testing::TestParamInfo<PropertyCase>& info) { return info.param.name; });

TEST_F(RegistryPropertyTest, TheReadersHardwareIdsNameItsVendorAndProduct)
{
    char ids[512] = {};
    ASSERT_TRUE(SetupDiGetDeviceRegistryPropertyA(set, &member, SPDRP_HARDWAREID, nullptr,
                                                  reinterpret_cast<BYTE*>(ids), sizeof(ids), nullptr));
    std::string first(ids);
    EXPECT_EQ(first, std::string("USB\\VID_") + TARNO_VENDOR_ID_TEXT + "&PID_" + TARNO_PRODUCT_ID_TEXT +
                         "&REV_" + first.substr(first.size() - 4));
}

TEST_F(RegistryPropertyTest, AFriendlyNameIsWrittenReadAndDeleted)
{
    const char name[] = "Front desk reader";
    ASSERT_TRUE(SetupDiSetDeviceRegistryPropertyA(set, &member, SPDRP_FRIENDLYNAME,
                                                  reinterpret_cast<const BYTE*>(name), sizeof(name)));
    EXPECT_EQ(machine->RegistryString(u"HKLM\\SYSTEM\\CurrentControlSet\\Enum\\" + reader.InstancePath(),
                                      u"FriendlyName"),
              std::u16string(u"Front desk reader"));
    char read[64] = {};
    DWORD type = 0;
    ASSERT_TRUE(SetupDiGetDeviceRegistryPropertyA(set, &member, SPDRP_FRIENDLYNAME, &type,
                                                  reinterpret_cast<BYTE*>(read), sizeof(read), nullptr));
    EXPECT_EQ(std::string(read), name);

    // No data deletes the property: the device has none any more.
    ASSERT_TRUE(SetupDiSetDeviceRegistryPropertyA(set, &member, SPDRP_FRIENDLYNAME, nullptr, 0));
    DWORD required = 0;
    EXPECT_FALSE(
        SetupDiGetDeviceRegistryPropertyA(set, &member, SPDRP_FRIENDLYNAME, &type, nullptr, 0, &required));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_DATA));

    const char description[] = "Card reader (bench)";
    ASSERT_TRUE(SetupDiSetDeviceRegistryPropertyA(
        set, &member, SPDRP_DEVICEDESC, reinterpret_cast<const BYTE*>(description), sizeof(description)));
    EXPECT_EQ(Expected(SPDRP_DEVICEDESC), std::string(description, sizeof(description)));
}

struct BadPropertyCase
{
    const char* name;
    bool getter; // SetupDiGetDeviceRegistryPropertyA, or the setter
    DWORD property;
    bool bufferWithoutData; // a NULL buffer with a size
    DWORD error;
};

class RegistryPropertyFailures : public RegistryPropertyTest,
                                 public ::testing::WithParamInterface<BadPropertyCase>
{
};

TEST_P(RegistryPropertyFailures, FailWithTheErrorWindowsGives)
{
    const BadPropertyCase& c = GetParam();
    BYTE buffer[64] = {'x', 0};
    BYTE* data = c.bufferWithoutData ? nullptr : buffer;
    SetLastError(0);
    BOOL ok = c.getter ? SetupDiGetDeviceRegistryPropertyA(set, &member, c.property, nullptr, data,
                                                           sizeof(buffer), nullptr)
                       : SetupDiSetDeviceRegistryPropertyA(set, &member, c.property, data, sizeof(buffer));
    EXPECT_FALSE(ok);
    EXPECT_EQ(GetLastError(), c.error);
}

INSTANTIATE_TEST_SUITE_P(
    DeviceRegistryProperty, RegistryPropertyFailures,
    ::testing::Values(
        BadPropertyCase{"GetBeyondTheLastProperty", true, SPDRP_MAXIMUM_PROPERTY, false,
                        ERROR_INVALID_REG_PROPERTY},
        BadPropertyCase{"GetIntoNoBuffer", true, SPDRP_HARDWAREID, true, ERROR_INVALID_USER_BUFFER},
        BadPropertyCase{"SetHardwareIds", false, SPDRP_HARDWAREID, false, ERROR_INVALID_REG_PROPERTY},
        BadPropertyCase{"SetFromNoBuffer", false, SPDRP_FRIENDLYNAME, true, ERROR_INVALID_USER_BUFFER}),
    [](const ::testing::TestParamInfo<BadPropertyCase>& info) { return info.param.name; });

TEST_F(ReaderPortMachineTest, ADeviceWithoutAFriendlyNameHasNoSuchData)
{
    winsim::machine::ReaderSpec unknown;
    unknown.vendorId = 0x1234;
    unknown.productId = 0x5678;
    unknown.serialNumber = u"X1";
    machine->Attach(unknown);
    HDEVINFO set = SetupDiGetClassDevsA(nullptr, "USB", nullptr, DIGCF_ALLCLASSES | DIGCF_PRESENT);
    SP_DEVINFO_DATA data{};
    ASSERT_TRUE(FindMember(set, "USB\\VID_1234&PID_5678\\X1", &data));
    DWORD required = 7;
    DWORD type = 7;
    EXPECT_FALSE(
        SetupDiGetDeviceRegistryPropertyA(set, &data, SPDRP_FRIENDLYNAME, &type, nullptr, 0, &required));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_DATA));
    // Its hardware IDs are there all the same.
    EXPECT_FALSE(
        SetupDiGetDeviceRegistryPropertyA(set, &data, SPDRP_HARDWAREID, &type, nullptr, 0, &required));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    EXPECT_EQ(type, static_cast<DWORD>(REG_MULTI_SZ));
    SetupDiDestroyDeviceInfoList(set);
}

} // namespace
