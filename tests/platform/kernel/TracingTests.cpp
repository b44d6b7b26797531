// Event tracing: classic and WMI provider registration, sessions that enable and disable them,
// WmiTraceMessage records, and the WPP runtime a driver compiles in.
#include "KernelTestSupport.h"

#include "kernel/Tracing.h"

#include <wpp/WppKm.h>

#include <string.h>

#include <vector>

using namespace kerneltest;
using winsim::kernel::TraceHub;
using winsim::kernel::TraceMessage;

namespace
{

using kerneltest::PrintTo;

constexpr GUID kProvider = {0x1c7e2a43, 0x5b19, 0x4d7e, {0x9a, 0x21, 0x6f, 0x30, 0x8e, 0x41, 0xc2, 0x55}};
constexpr GUID kOtherProvider = {
    0x1c7e2a43, 0x5b19, 0x4d7e, {0x9a, 0x21, 0x6f, 0x30, 0x8e, 0x41, 0xc2, 0x56}};
constexpr GUID kMessages = {0x77aa0001, 0x0002, 0x0003, {0, 1, 2, 3, 4, 5, 6, 7}};

TRACE_ENABLE_CONTEXT ContextOf(TRACEHANDLE handle)
{
    TRACE_ENABLE_CONTEXT context;
    memcpy(&context, &handle, sizeof(context));
    return context;
}

class TracingTest : public KernelTest
{
  protected:
    TraceHub& Hub() { return m_system.Tracing(); }

    struct Call
    {
        UCHAR controlCode;
        TRACEHANDLE handle;
        PVOID context;
    };

    static VOID NTAPI Classic(LPCGUID guid, UCHAR controlCode, PVOID enableContext, PVOID callbackContext)
    {
        auto* test = static_cast<TracingTest*>(callbackContext);
        EXPECT_TRUE(IsEqualGUID(*guid, kProvider));
        TRACEHANDLE handle = enableContext != nullptr ? *static_cast<TRACEHANDLE*>(enableContext) : 0;
        test->m_calls.push_back(Call{controlCode, handle, callbackContext});
    }

    std::vector<Call> m_calls;
};

TEST_F(TracingTest, ClassicProviderIsEnabledWhenASessionEnablesItsGuid)
{
    REGHANDLE registration = 0;
    ASSERT_EQ(EtwRegisterClassicProvider(&kProvider, 0, Classic, this, &registration), STATUS_SUCCESS);
    EXPECT_NE(registration, 0u);
    EXPECT_TRUE(Hub().IsProviderRegistered(kProvider));
    EXPECT_TRUE(m_calls.empty()) << "no session enables it yet";

    USHORT logger = Hub().StartSession(u"TestSession");
    ASSERT_NE(logger, 0);
    EXPECT_EQ(Hub().StartSession(u"TestSession"), 0) << "a session name runs once";
    ASSERT_TRUE(Hub().EnableProvider(u"TestSession", kProvider, TRACE_LEVEL_INFORMATION, 0x6, true));
    ASSERT_EQ(m_calls.size(), 1u);
    EXPECT_EQ(m_calls[0].controlCode, EVENT_CONTROL_CODE_ENABLE_PROVIDER);
    EXPECT_EQ(m_calls[0].context, this);
    TRACE_ENABLE_CONTEXT enabled = ContextOf(m_calls[0].handle);
    EXPECT_EQ(enabled.LoggerId, logger);
    EXPECT_EQ(enabled.Level, TRACE_LEVEL_INFORMATION);
    EXPECT_EQ(enabled.EnableFlags, 0x6u);

    // The logger handle answers the WMI queries for its flags and level.
    ULONG flags = 0;
    ULONG level = 0;
    ULONG required = 0;
    TRACEHANDLE handle = m_calls[0].handle;
    EXPECT_EQ(WmiQueryTraceInformation(TraceEnableFlagsClass, &flags, sizeof(flags), &required, &handle),
              STATUS_SUCCESS);
    EXPECT_EQ(WmiQueryTraceInformation(TraceEnableLevelClass, &level, sizeof(level), nullptr, &handle),
              STATUS_SUCCESS);
    EXPECT_EQ(flags, 0x6u);
    EXPECT_EQ(level, static_cast<ULONG>(TRACE_LEVEL_INFORMATION));
    EXPECT_EQ(required, sizeof(ULONG));

    // Another provider's enabling does not reach this one.
    Hub().EnableProvider(u"TestSession", kOtherProvider, TRACE_LEVEL_VERBOSE, 1, true);
    EXPECT_EQ(m_calls.size(), 1u);

    ASSERT_TRUE(Hub().StopSession(u"TestSession"));
    ASSERT_EQ(m_calls.size(), 2u);
    EXPECT_EQ(m_calls[1].controlCode, EVENT_CONTROL_CODE_DISABLE_PROVIDER);
    EXPECT_FALSE(Hub().IsSessionRunning(u"TestSession"));
    EXPECT_FALSE(Hub().StopSession(u"TestSession"));

    EXPECT_EQ(EtwUnregister(registration), STATUS_SUCCESS);
    EXPECT_FALSE(Hub().IsProviderRegistered(kProvider));
    EXPECT_EQ(EtwUnregister(registration), STATUS_INVALID_HANDLE);
}

TEST_F(TracingTest, ProviderRegisteringIntoARunningSessionIsEnabledAtOnce)
{
    USHORT logger = Hub().StartSession(u"Early");
    Hub().EnableProvider(u"Early", kProvider, TRACE_LEVEL_VERBOSE, 0xFF, true);
    REGHANDLE registration = 0;
    ASSERT_EQ(EtwRegisterClassicProvider(&kProvider, 0, Classic, this, &registration), STATUS_SUCCESS);
    ASSERT_EQ(m_calls.size(), 1u);
    EXPECT_EQ(m_calls[0].controlCode, EVENT_CONTROL_CODE_ENABLE_PROVIDER);
    EXPECT_EQ(ContextOf(m_calls[0].handle).LoggerId, logger);
    EXPECT_EQ(ContextOf(m_calls[0].handle).EnableFlags, 0xFFu);
    // After unregistering, the session's changes no longer call back.
    EtwUnregister(registration);
    Hub().StopSession(u"Early");
    EXPECT_EQ(m_calls.size(), 1u);
}

// A WMI provider: a block whose first field is its WMI entry point, registered with
// IoWMIRegistrationControl and WMIREG_FLAG_CALLBACK.
struct WmiProvider
{
    PWMIENTRY entry;
    std::vector<UCHAR> actions;
    std::vector<TRACEHANDLE> handles;
    std::vector<ULONG> headerFlags;
};

NTSTATUS WmiEntry(UCHAR action, PVOID, ULONG bufferSize, PVOID buffer, PVOID context, PULONG size)
{
    auto* provider = static_cast<WmiProvider*>(context);
    provider->actions.push_back(action);
    if (action == IRP_MN_REGINFO)
    {
        if (bufferSize < sizeof(WMIREGINFOW))
        {
            return STATUS_BUFFER_TOO_SMALL;
        }
        auto* info = static_cast<PWMIREGINFOW>(buffer);
        memset(info, 0, sizeof(WMIREGINFOW));
        info->BufferSize = sizeof(WMIREGINFOW);
        info->GuidCount = 1;
        info->WmiRegGuid[0].Guid = kProvider;
        info->WmiRegGuid[0].Flags = WMIREG_FLAG_TRACE_CONTROL_GUID | WMIREG_FLAG_TRACED_GUID;
        *size = sizeof(WMIREGINFOW);
        return STATUS_SUCCESS;
    }
    auto* header = static_cast<PWNODE_HEADER>(buffer);
    provider->handles.push_back(header->HistoricalContext);
    provider->headerFlags.push_back(header->Flags);
    *size = 0;
    return STATUS_SUCCESS;
}

TEST_F(TracingTest, WmiProviderAnswersRegInfoThenEnableAndDisable)
{
    WmiProvider provider{WmiEntry, {}, {}, {}};
    auto* block = reinterpret_cast<PDEVICE_OBJECT>(&provider);
    EXPECT_EQ(IoWMIRegistrationControl(block, WMIREG_ACTION_REGISTER), STATUS_NOT_SUPPORTED)
        << "only callback registrations are provided";
    ASSERT_EQ(IoWMIRegistrationControl(block, WMIREG_ACTION_REGISTER | WMIREG_FLAG_CALLBACK), STATUS_SUCCESS);
    EXPECT_EQ(provider.actions, std::vector<UCHAR>{IRP_MN_REGINFO});
    EXPECT_TRUE(Hub().IsProviderRegistered(kProvider))
        << "the GUID comes from the provider's registration info";

    USHORT logger = Hub().StartSession(u"WmiSession");
    Hub().EnableProvider(u"WmiSession", kProvider, TRACE_LEVEL_WARNING, 0x10, true);
    ASSERT_EQ(provider.actions, (std::vector<UCHAR>{IRP_MN_REGINFO, IRP_MN_ENABLE_EVENTS}));
    TRACEHANDLE handle = provider.handles.back();
    EXPECT_EQ(ContextOf(handle).LoggerId, logger);
    EXPECT_NE(provider.headerFlags.back() & WNODE_FLAG_TRACED_GUID, 0u);
    ULONG flags = 0;
    WmiQueryTraceInformation(TraceEnableFlagsClass, &flags, sizeof(flags), nullptr, &handle);
    EXPECT_EQ(flags, 0x10u);

    Hub().StopSession(u"WmiSession");
    EXPECT_EQ(provider.actions.back(), IRP_MN_DISABLE_EVENTS);

    ASSERT_EQ(IoWMIRegistrationControl(block, WMIREG_ACTION_DEREGISTER | WMIREG_FLAG_CALLBACK),
              STATUS_SUCCESS);
    EXPECT_FALSE(Hub().IsProviderRegistered(kProvider));
}

TEST_F(TracingTest, MessagesGoOnlyToTheSessionTheLoggerHandleNames)
{
    USHORT quiet = Hub().StartSession(u"Quiet");
    USHORT busy = Hub().StartSession(u"Busy");
    ASSERT_NE(quiet, busy);
    REGHANDLE registration = 0;
    EtwRegisterClassicProvider(&kProvider, 0, Classic, this, &registration);
    Hub().EnableProvider(u"Busy", kProvider, TRACE_LEVEL_VERBOSE, 1, true);
    ASSERT_EQ(m_calls.size(), 1u);
    TRACEHANDLE logger = m_calls[0].handle;
    Clock().Advance(Ms(42));

    ULONG number = 0x01020304;
    const char text[] = "abc";
    ASSERT_EQ(WmiTraceMessage(logger, TRACE_MESSAGE_SEQUENCE | TRACE_MESSAGE_GUID, &kMessages, 12, &number,
                              sizeof(number), text, sizeof(text), nullptr),
              STATUS_SUCCESS);
    ASSERT_EQ(WmiTraceMessage(logger, TRACE_MESSAGE_GUID, &kMessages, 13, nullptr), STATUS_SUCCESS);

    EXPECT_TRUE(Hub().Messages(u"Quiet").empty());
    std::vector<TraceMessage> messages = Hub().Messages(u"Busy");
    ASSERT_EQ(messages.size(), 2u);
    EXPECT_TRUE(IsEqualGUID(messages[0].messageGuid, kMessages));
    EXPECT_EQ(messages[0].messageNumber, 12);
    EXPECT_EQ(messages[0].messageFlags, static_cast<ULONG>(TRACE_MESSAGE_SEQUENCE | TRACE_MESSAGE_GUID));
    ASSERT_EQ(messages[0].arguments.size(), 2u);
    EXPECT_EQ(messages[0].arguments[0], (std::vector<uint8_t>{4, 3, 2, 1}));
    EXPECT_EQ(messages[0].arguments[1], (std::vector<uint8_t>{'a', 'b', 'c', 0}));
    EXPECT_EQ(messages[0].timestamp, m_system.Config().bootSystemTime + static_cast<LONGLONG>(Ms(42)));
    EXPECT_EQ(messages[1].messageNumber, 13);
    EXPECT_TRUE(messages[1].arguments.empty());
    EXPECT_LT(messages[0].sequence, messages[1].sequence);

    // No session, no record: a zero handle, then the old handle of a stopped session.
    const ULONGLONG callsBefore = Hub().MessageCalls();
    EXPECT_NE(WmiTraceMessage(0, TRACE_MESSAGE_GUID, &kMessages, 14, nullptr), STATUS_SUCCESS);
    Hub().StopSession(u"Busy");
    EXPECT_EQ(m_calls.back().controlCode, EVENT_CONTROL_CODE_DISABLE_PROVIDER);
    EXPECT_NE(WmiTraceMessage(logger, TRACE_MESSAGE_GUID, &kMessages, 15, nullptr), STATUS_SUCCESS);
    EXPECT_TRUE(Hub().Messages(u"Quiet").empty());
    EXPECT_EQ(Hub().MessageCalls(), callsBefore + 2) << "every call is counted, logged or not";
    EtwUnregister(registration);
}

// The WPP runtime chooses its registration path from what the system offers: the classic ETW
// provider on Windows Vista and later, the WMI registration where EtwRegisterClassicProvider is
// missing or the system reports version 5.
struct WppCase
{
    const char* name;
    ULONG major;
    ULONG minor;
    const char* unavailable;
    bool classic;
};

class WppRuntimeTest : public ::testing::TestWithParam<WppCase>
{
  protected:
    static SystemConfig ConfigFor(const WppCase& c)
    {
        SystemConfig config;
        config.majorVersion = c.major;
        config.minorVersion = c.minor;
        if (c.unavailable != nullptr)
        {
            config.unavailableRoutines.insert(c.unavailable);
        }
        return config;
    }
};

TEST_P(WppRuntimeTest, RegistersEnablesAndTraces)
{
    const WppCase& c = GetParam();
    System system(ConfigFor(c));
    TestDriver driver(u"WppDrv");
    UNICODE_STRING registryPath = Us(L"\\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Services\\WppDrv");
    WppInitKm(driver.Object(), &registryPath, kProvider);
    EXPECT_EQ(WPP_MAIN_CB.Classic != FALSE, c.classic);
    EXPECT_TRUE(system.Tracing().IsProviderRegistered(kProvider));
    EXPECT_FALSE(WppEnabled(TRACE_LEVEL_ERROR, 0x1)) << "nothing is enabled before a session asks";

    USHORT logger = system.Tracing().StartSession(u"WppSession");
    system.Tracing().EnableProvider(u"WppSession", kProvider, TRACE_LEVEL_INFORMATION, 0x2 | 0x8, true);
    EXPECT_EQ(ContextOf(WppCurrentLogger()).LoggerId, logger);
    EXPECT_TRUE(WppEnabled(TRACE_LEVEL_INFORMATION, 0x2));
    EXPECT_TRUE(WppEnabled(TRACE_LEVEL_ERROR, 0x8)) << "a more severe level passes";
    EXPECT_FALSE(WppEnabled(TRACE_LEVEL_VERBOSE, 0x2)) << "a less severe level is filtered";
    EXPECT_FALSE(WppEnabled(TRACE_LEVEL_INFORMATION, 0x4)) << "a flag the session did not set is filtered";

    WppTrace(&kMessages, 21, 42, "text");
    std::vector<TraceMessage> messages = system.Tracing().Messages(u"WppSession");
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages[0].messageNumber, 21);
    EXPECT_EQ(messages[0].messageFlags, static_cast<ULONG>(WPP_MESSAGE_FLAGS));
    ASSERT_EQ(messages[0].arguments.size(), 2u);
    EXPECT_EQ(messages[0].arguments[0], (std::vector<uint8_t>{42, 0, 0, 0}));
    EXPECT_EQ(messages[0].arguments[1], (std::vector<uint8_t>{'t', 'e', 'x', 't', 0}));

    system.Tracing().StopSession(u"WppSession");
    EXPECT_FALSE(WppEnabled(TRACE_LEVEL_CRITICAL, 0xFFFFFFFF)) << "the session's end disables the provider";
    WppCleanupKm(driver.Object());
    EXPECT_FALSE(system.Tracing().IsProviderRegistered(kProvider));
}

INSTANTIATE_TEST_SUITE_P(
    Versions, WppRuntimeTest,
    ::testing::Values(WppCase{"Windows10", 10, 0, nullptr, true}, WppCase{"Windows7", 6, 1, nullptr, true},
                      WppCase{"NoClassicRegistration", 10, 0, "EtwRegisterClassicProvider", false},
                      WppCase{"WindowsXp", 5, 1, nullptr, false}),
    [](const ::testing::TestParamInfo<WppCase>& info) { return std::string(info.param.name); });

} // namespace
