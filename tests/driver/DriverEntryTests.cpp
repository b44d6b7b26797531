// Driver entry: the Parameters key, the non-executable pool opt-in, the instance bookkeeping reset
// and FormatUnicodeString.
#include "DriverTestSupport.h"

#include <vector>

namespace tarnocom::testing
{
namespace
{

struct StoredValue
{
    const char16_t* name;
    ULONG type;
    std::vector<uint8_t> data;
};

StoredValue Dword(const char16_t* name, ULONG value)
{
    std::vector<uint8_t> data(4);
    memcpy(data.data(), &value, 4);
    return StoredValue{name, REG_DWORD, data};
}

class DriverEntryTest : public DriverMachineTest
{
  protected:
    // Creates the service with the given Parameters values and loads the driver.
    void LoadWith(const std::vector<StoredValue>& values)
    {
        auto service = Registry().CreateKey(ServiceKey);
        service->SetString(u"ImagePath", u"\\SystemRoot\\System32\\drivers\\TARNOCOM.sys", REG_EXPAND_SZ);
        auto parameters = Registry().CreateKey(ParametersKey);
        for (const StoredValue& value : values)
        {
            parameters->SetValue(value.name, value.type, value.data.data(), value.data.size());
        }
        PDRIVER_OBJECT driver = nullptr;
        ASSERT_EQ(STATUS_SUCCESS, System().Pnp().LoadDriver(u"TARNOCOM", &driver));
    }
};

struct ParameterCase
{
    const char* name;
    std::vector<StoredValue> stored;
    DRIVER_PARAMETERS expected;
};

DRIVER_PARAMETERS Defaults()
{
    DRIVER_PARAMETERS parameters{};
    parameters.RetryRecovery = 3;
    return parameters;
}

DRIVER_PARAMETERS With(void (*change)(DRIVER_PARAMETERS&))
{
    DRIVER_PARAMETERS parameters = Defaults();
    change(parameters);
    return parameters;
}

class ParameterTest : public DriverEntryTest, public ::testing::WithParamInterface<ParameterCase>
{
};

TEST_P(ParameterTest, ReadsParametersAsStored)
{
    Boot();
    LoadWith(GetParam().stored);
    const DRIVER_PARAMETERS& expected = GetParam().expected;
    EXPECT_EQ(expected.RetryRecovery, DriverParameters.RetryRecovery);
    EXPECT_EQ(expected.LogLevel, DriverParameters.LogLevel);
    EXPECT_EQ(expected.IsTestDevice, DriverParameters.IsTestDevice);
    EXPECT_EQ(expected.DefaultControlLines, DriverParameters.DefaultControlLines);
    EXPECT_EQ(expected.DefaultModemStatus, DriverParameters.DefaultModemStatus);
    EXPECT_EQ(expected.EnableMultipleOpen, DriverParameters.EnableMultipleOpen);
    EXPECT_EQ(expected.EnableSelectiveSuspend, DriverParameters.EnableSelectiveSuspend);
    EXPECT_EQ(expected.ResetTarget, DriverParameters.ResetTarget);
    EXPECT_EQ(expected.ResetTiming, DriverParameters.ResetTiming);
    EXPECT_EQ(expected.IntBufferSetting, DriverParameters.IntBufferSetting);
}

std::vector<uint8_t> Utf16Bytes(const char16_t* text)
{
    std::u16string value(text);
    value.push_back(0);
    const auto* bytes = reinterpret_cast<const uint8_t*>(value.data());
    return std::vector<uint8_t>(bytes, bytes + value.size() * 2);
}

INSTANTIATE_TEST_SUITE_P(
    Parameters, ParameterTest,
    ::testing::Values(
        ParameterCase{"EmptyKeyGivesDefaults", {}, Defaults()},
        ParameterCase{"RetryRecoveryZeroStaysZero",
                      {Dword(u"RetryRecovery", 0)},
                      With([](DRIVER_PARAMETERS& p) { p.RetryRecovery = 0; })},
        ParameterCase{"FlagsKeepOnlyTheLowByte",
                      {Dword(u"EnableMultipleOpen", 256), Dword(u"EnableSelectiveSuspend", 0x101),
                       Dword(u"IsTestDevice", 0x200)},
                      With([](DRIVER_PARAMETERS& p) { p.EnableSelectiveSuspend = 1; })},
        ParameterCase{"NonzeroDtrSetsOnlyBitZero", {Dword(u"DefaultDTR", 2)}, With([](DRIVER_PARAMETERS& p) {
                          p.DefaultControlLines = 0x01;
                      })},
        ParameterCase{"LineDefaults",
                      {Dword(u"DefaultRTS", 7), Dword(u"DefaultDTR", 1), Dword(u"DefaultCTS", 0x10),
                       Dword(u"DefaultDSR", 0xFFFFFFFF)},
                      With([](DRIVER_PARAMETERS& p) {
                          p.DefaultControlLines = 0x03;
                          p.DefaultModemStatus = 0x30;
                      })},
        ParameterCase{
            "ZeroLineDefaultsCountAsNotSet", {Dword(u"DefaultRTS", 0), Dword(u"DefaultCTS", 0)}, Defaults()},
        ParameterCase{"NumbersAsStored",
                      {Dword(u"LogLevel", 0x80), Dword(u"ResetTarget", 2), Dword(u"ResetTiming", 150),
                       Dword(u"IntBufferSetting", 1)},
                      With([](DRIVER_PARAMETERS& p) {
                          p.LogLevel = 0x80;
                          p.ResetTarget = 2;
                          p.ResetTiming = 150;
                          p.IntBufferSetting = 1;
                      })},
        // A value that is not 4 bytes long cannot be read as one and takes its default.
        ParameterCase{"EightByteValueIsUnreadable",
                      {StoredValue{u"RetryRecovery", REG_QWORD, std::vector<uint8_t>(8, 0x01)},
                       StoredValue{u"EnableMultipleOpen", REG_BINARY, std::vector<uint8_t>(5, 0x01)}},
                      Defaults()},
        // The registry type is not checked: four bytes of text read as a number.
        ParameterCase{"TypeIsNotChecked",
                      {StoredValue{u"ResetTiming", REG_SZ, Utf16Bytes(u"5")}},
                      With([](DRIVER_PARAMETERS& p) { p.ResetTiming = 0x35; })}),
    [](const ::testing::TestParamInfo<ParameterCase>& info) { return info.param.name; });

TEST_F(DriverEntryTest, EntryForgetsClaimedInstanceNumbers)
{
    Boot();
    LoadWith({Dword(u"UseInstance", 0x25)});
    EXPECT_EQ(0u, ParameterDword(u"UseInstance").value_or(99));
}

TEST_F(DriverEntryTest, EntryCreatesTheInstanceLockUnderTheDriver)
{
    Boot();
    InstanceLock = nullptr;
    LoadWith({});
    ASSERT_NE(nullptr, InstanceLock);
    EXPECT_EQ(STATUS_SUCCESS, WdfWaitLockAcquire(InstanceLock, nullptr));
    WdfWaitLockRelease(InstanceLock);
}

// When creating the instance lock fails, DriverEntry fails after WdfDriverCreate. The framework
// then deletes the driver: its cleanup callback stops the driver's tracing, and nothing of the
// driver is left (the verifier checks framework objects and pool).
TEST_F(DriverEntryTest, EntryFailingAfterWdfDriverCreateStopsTracingAndLeavesNothing)
{
    Boot();
    const GUID traceGuid = {TARNO_TRACE_GUID_INITIALIZER};
    Registry()
        .CreateKey(ServiceKey)
        ->SetString(u"ImagePath", u"\\SystemRoot\\System32\\drivers\\TARNOCOM.sys", REG_EXPAND_SZ);
    winsim::wdf::FailObjectCreation(0, winsim::wdf::FxType::WaitLock);
    PDRIVER_OBJECT driver = nullptr;
    EXPECT_EQ(System().Pnp().LoadDriver(u"TARNOCOM", &driver), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_TRUE(winsim::wdf::ObjectCreationFaultHit());
    EXPECT_EQ(System().Pnp().LoadedDriver(u"TARNOCOM"), nullptr);
    EXPECT_FALSE(System().Tracing().IsProviderRegistered(traceGuid)) << "the driver's cleanup stopped it";
    EXPECT_EQ(System().GetPool().LiveCount(), 0u);

    // The next load starts afresh.
    ASSERT_EQ(System().Pnp().LoadDriver(u"TARNOCOM", &driver), STATUS_SUCCESS);
    EXPECT_TRUE(System().Tracing().IsProviderRegistered(traceGuid));
}

struct PoolCase
{
    const char* name;
    ULONG major;
    ULONG minor;
    ULONG build;
    POOL_TYPE expectedPool;
    ULONG expectedMdlProtection;
    BOOLEAN expectedNativeZeroing;
};

class PoolOptInTest : public DriverEntryTest, public ::testing::WithParamInterface<PoolCase>
{
};

TEST_P(PoolOptInTest, DefaultPoolFollowsTheSystemVersion)
{
    winsim::kernel::SystemConfig system;
    system.majorVersion = GetParam().major;
    system.minorVersion = GetParam().minor;
    system.buildNumber = GetParam().build;
    Boot(system);
    // The driver is linked into the test, so its image globals survive from earlier loads; a
    // freshly mapped image starts with these values.
    ExDefaultNonPagedPoolType = NonPagedPool;
    ExDefaultMdlProtection = 0;
    ExPoolZeroingNativelySupported = FALSE;
    LoadWith({});
    EXPECT_EQ(GetParam().expectedPool, ExDefaultNonPagedPoolType);
    EXPECT_EQ(GetParam().expectedMdlProtection, ExDefaultMdlProtection);
    EXPECT_EQ(GetParam().expectedNativeZeroing, ExPoolZeroingNativelySupported);
}

INSTANTIATE_TEST_SUITE_P(
    Versions, PoolOptInTest,
    ::testing::Values(PoolCase{"Windows7", 6, 1, 7601, NonPagedPool, 0, FALSE},
                      PoolCase{"Windows8", 6, 2, 9200, NonPagedPoolNx, MdlMappingNoExecute, FALSE},
                      PoolCase{"Windows10_1809", 10, 0, 17763, NonPagedPoolNx, MdlMappingNoExecute, FALSE},
                      PoolCase{"Windows10_22H2", 10, 0, 19045, NonPagedPoolNx, MdlMappingNoExecute, TRUE}),
    [](const ::testing::TestParamInfo<PoolCase>& info) { return info.param.name; });

// --- FormatUnicodeString ---

TEST(FormatUnicodeStringTest, RefusesMalformedStrings)
{
    WCHAR buffer[16];
    struct Case
    {
        USHORT length;
        USHORT maximum;
        PWCH data;
    };
    const Case cases[] = {
        {1, 32, buffer},     // odd length
        {0, 31, buffer},     // odd maximum
        {8, 4, buffer},      // maximum below length
        {0, 0xFFFF, buffer}, // the reserved maximum
        {0, 32, nullptr},    // a maximum without a buffer
        {2, 0, nullptr},     // a length without a buffer
    };
    for (const Case& c : cases)
    {
        UNICODE_STRING text{c.length, c.maximum, c.data};
        EXPECT_EQ(STATUS_INVALID_PARAMETER, FormatUnicodeString(&text, L"%ws", L"x"))
            << "length " << c.length << " maximum " << c.maximum;
        EXPECT_EQ(c.length, text.Length);
    }
    EXPECT_EQ(STATUS_INVALID_PARAMETER, FormatUnicodeString(nullptr, L"x"));
}

TEST(FormatUnicodeStringTest, FormatsIntoTheExistingBuffer)
{
    WCHAR buffer[128];
    UNICODE_STRING text{0, sizeof(buffer), buffer};
    ASSERT_EQ(STATUS_SUCCESS, FormatUnicodeString(&text, L"%ws%u", L"\\Device\\ZTSerial", 37u));
    EXPECT_EQ(u"\\Device\\ZTSerial37", winsim::View(text.Buffer, text.Length / 2));
    EXPECT_EQ(36, text.Length);
}

TEST(FormatUnicodeStringTest, TextTooLongFillsTheBufferAndOverflows)
{
    WCHAR buffer[4];
    UNICODE_STRING text{0, sizeof(buffer), buffer};
    EXPECT_EQ(STATUS_BUFFER_OVERFLOW, FormatUnicodeString(&text, L"%ws", L"COM10"));
    EXPECT_EQ(sizeof(buffer), text.Length);
    EXPECT_EQ(u"COM1", winsim::View(buffer, 4));
}

TEST(FormatUnicodeStringTest, ExactFitTakesTheWholeBufferWithoutTerminator)
{
    // A heap buffer of exactly 256 bytes: writing a terminator past it would be caught.
    std::vector<WCHAR> buffer(128, 0xFFFF);
    UNICODE_STRING text{0, 256, buffer.data()};
    std::u16string full(128, u'a');
    full.push_back(0);
    ASSERT_EQ(STATUS_SUCCESS,
              FormatUnicodeString(&text, L"%ws", reinterpret_cast<const wchar_t*>(full.data())));
    EXPECT_EQ(256, text.Length);
    EXPECT_EQ(u'a', buffer[127]);

    std::u16string longer(129, u'b');
    longer.push_back(0);
    EXPECT_EQ(STATUS_BUFFER_OVERFLOW,
              FormatUnicodeString(&text, L"%ws", reinterpret_cast<const wchar_t*>(longer.data())));
    EXPECT_EQ(256, text.Length);
}

} // namespace
} // namespace tarnocom::testing
