// Driver entry: the Parameters key, the non-executable pool opt-in, the instance bookkeeping reset
// and FormatUnicodeString.
#include "DriverTestSupport.h"

#include <vector>

namespace tarnocom::testing
{
namespace
{

// A value of the Parameters key.
struct StoredValue
{
    const char16_t* name;
    RegistryValue value;
};

StoredValue Dword(const char16_t* name, ULONG value)
{
    return StoredValue{name, RegistryValue::Dword(value)};
}

class DriverEntryTest : public DriverMachineTest
{
  protected:
    // Creates the service with the given Parameters values and loads the driver.
    void LoadWith(const std::vector<StoredValue>& values)
    {
        SetImagePath();
        machine->CreateRegistryKey(ParametersKey);
        for (const StoredValue& stored : values)
        {
            machine->SetRegistryValue(ParametersKey, stored.name, stored.value);
        }
        ASSERT_EQ(machine->LoadDriver(u"TARNOCOM"), STATUS_SUCCESS);
    }

    // The driver's service, as setup writes it.
    void SetImagePath()
    {
        machine->SetRegistryValue(
            ServiceKey, u"ImagePath",
            RegistryValue::String(u"\\SystemRoot\\System32\\drivers\\TARNOCOM.sys", REG_EXPAND_SZ));
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
    EXPECT_EQ(DriverParameters.RetryRecovery, expected.RetryRecovery);
    EXPECT_EQ(DriverParameters.LogLevel, expected.LogLevel);
    EXPECT_EQ(DriverParameters.IsTestDevice, expected.IsTestDevice);
    EXPECT_EQ(DriverParameters.DefaultControlLines, expected.DefaultControlLines);
    EXPECT_EQ(DriverParameters.DefaultModemStatus, expected.DefaultModemStatus);
    EXPECT_EQ(DriverParameters.EnableMultipleOpen, expected.EnableMultipleOpen);
    EXPECT_EQ(DriverParameters.EnableSelectiveSuspend, expected.EnableSelectiveSuspend);
    EXPECT_EQ(DriverParameters.ResetTarget, expected.ResetTarget);
    EXPECT_EQ(DriverParameters.ResetTiming, expected.ResetTiming);
    EXPECT_EQ(DriverParameters.IntBufferSetting, expected.IntBufferSetting);
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
        ParameterCase{
            "EightByteValueIsUnreadable",
            {StoredValue{u"RetryRecovery", RegistryValue{REG_QWORD, std::vector<uint8_t>(8, 0x01)}},
             StoredValue{u"EnableMultipleOpen", RegistryValue{REG_BINARY, std::vector<uint8_t>(5, 0x01)}}},
            Defaults()},
        // The registry type is not checked: four bytes of text read as a number.
        ParameterCase{"TypeIsNotChecked",
                      {StoredValue{u"ResetTiming", RegistryValue::String(u"5")}},
                      With([](DRIVER_PARAMETERS& p) { p.ResetTiming = 0x35; })}),
    [](const ::testing::TestParamInfo<ParameterCase>& info) { return info.param.name; });

TEST_F(DriverEntryTest, EntryForgetsClaimedInstanceNumbers)
{
    Boot();
    LoadWith({Dword(u"UseInstance", 0x25)});
    EXPECT_EQ(ParameterDword(u"UseInstance").value_or(99), 0u);
}

TEST_F(DriverEntryTest, EntryCreatesTheInstanceLockUnderTheDriver)
{
    Boot();
    InstanceLock = nullptr;
    LoadWith({});
    ASSERT_NE(InstanceLock, nullptr);
    EXPECT_EQ(WdfWaitLockAcquire(InstanceLock, nullptr), STATUS_SUCCESS);
    WdfWaitLockRelease(InstanceLock);
}

// When creating the instance lock fails, DriverEntry fails after WdfDriverCreate. The framework
// then deletes the driver: its cleanup callback stops the driver's tracing, and nothing of the
// driver is left (the verifier checks framework objects and pool).
TEST_F(DriverEntryTest, EntryFailingAfterWdfDriverCreateStopsTracingAndLeavesNothing)
{
    Boot();
    const GUID traceGuid = {TARNO_TRACE_GUID_INITIALIZER};
    SetImagePath();
    machine->FailFrameworkObjectCreation(0, "WDFWAITLOCK");
    EXPECT_EQ(machine->LoadDriver(u"TARNOCOM"), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_TRUE(machine->FrameworkObjectCreationFailed());
    EXPECT_EQ(machine->LoadedDriver(u"TARNOCOM"), nullptr);
    EXPECT_FALSE(machine->TraceProviderRegistered(traceGuid)) << "the driver's cleanup stopped it";
    EXPECT_EQ(machine->LivePoolAllocations(), 0u);

    // The next load starts afresh.
    ASSERT_EQ(machine->LoadDriver(u"TARNOCOM"), STATUS_SUCCESS);
    EXPECT_TRUE(machine->TraceProviderRegistered(traceGuid));
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
    MachineConfig config;
    config.majorVersion = GetParam().major;
    config.minorVersion = GetParam().minor;
    config.buildNumber = GetParam().build;
    Boot(config);
    // The driver is linked into the test, so its image globals survive from earlier loads; a
    // freshly mapped image starts with these values.
    ExDefaultNonPagedPoolType = NonPagedPool;
    ExDefaultMdlProtection = 0;
    ExPoolZeroingNativelySupported = FALSE;
    LoadWith({});
    EXPECT_EQ(ExDefaultNonPagedPoolType, GetParam().expectedPool);
    EXPECT_EQ(ExDefaultMdlProtection, GetParam().expectedMdlProtection);
    EXPECT_EQ(ExPoolZeroingNativelySupported, GetParam().expectedNativeZeroing);
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
        EXPECT_EQ(FormatUnicodeString(&text, L"%ws", L"x"), STATUS_INVALID_PARAMETER)
            << "length " << c.length << " maximum " << c.maximum;
        EXPECT_EQ(text.Length, c.length);
    }
    EXPECT_EQ(FormatUnicodeString(nullptr, L"x"), STATUS_INVALID_PARAMETER);
}

TEST(FormatUnicodeStringTest, FormatsIntoTheExistingBuffer)
{
    WCHAR buffer[128];
    UNICODE_STRING text{0, sizeof(buffer), buffer};
    ASSERT_EQ(FormatUnicodeString(&text, L"%ws%u", L"\\Device\\ZTSerial", 37u), STATUS_SUCCESS);
    EXPECT_EQ(View(text.Buffer, text.Length / 2), u"\\Device\\ZTSerial37");
    EXPECT_EQ(text.Length, 36);
}

TEST(FormatUnicodeStringTest, TextTooLongFillsTheBufferAndOverflows)
{
    WCHAR buffer[4];
    UNICODE_STRING text{0, sizeof(buffer), buffer};
    EXPECT_EQ(FormatUnicodeString(&text, L"%ws", L"COM10"), STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(text.Length, sizeof(buffer));
    EXPECT_EQ(View(buffer, 4), u"COM1");
}

TEST(FormatUnicodeStringTest, ExactFitTakesTheWholeBufferWithoutTerminator)
{
    // A heap buffer of exactly 256 bytes: writing a terminator past it would be caught.
    std::vector<WCHAR> buffer(128, 0xFFFF);
    UNICODE_STRING text{0, 256, buffer.data()};
    std::u16string full(128, u'a');
    full.push_back(0);
    ASSERT_EQ(FormatUnicodeString(&text, L"%ws", reinterpret_cast<const wchar_t*>(full.data())),
              STATUS_SUCCESS);
    EXPECT_EQ(text.Length, 256);
    EXPECT_EQ(buffer[127], u'a');

    std::u16string longer(129, u'b');
    longer.push_back(0);
    EXPECT_EQ(FormatUnicodeString(&text, L"%ws", reinterpret_cast<const wchar_t*>(longer.data())),
              STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(text.Length, 256);
}

} // namespace
} // namespace tarnocom::testing
