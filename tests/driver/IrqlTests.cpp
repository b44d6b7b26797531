// The IRQL contract of the driver's passive-level routines: each states it with PAGED_CODE(), so
// entering one at DISPATCH_LEVEL stops the machine before the routine touches anything.
#include "DriverTestSupport.h"

#include "TableCases.h"

namespace tarnocom::testing
{
namespace
{

using winsimtest::PrintTo;
using winsimtest::StopCase;
using winsimtest::StopCaseName;

void RaiseToDispatch()
{
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
}

const StopCase kPassiveRoutines[] = {
    {"DeviceAdd",
     [] {
         RaiseToDispatch();
         EvtDriverDeviceAdd(nullptr, nullptr);
     },
     "VERIFIER STOP IRQL_TOO_HIGH: EvtDriverDeviceAdd called at IRQL 2; it must run at or below IRQL 1"},
    {"DeviceCleanup",
     [] {
         RaiseToDispatch();
         EvtDeviceCleanup(nullptr);
     },
     "VERIFIER STOP IRQL_TOO_HIGH: EvtDeviceCleanup called at IRQL 2"},
    {"ReadDriverParameter",
     [] {
         ULONG value = 0;
         RaiseToDispatch();
         ReadDriverParameter(nullptr, L"LogLevel", sizeof(value), &value);
     },
     "VERIFIER STOP IRQL_TOO_HIGH: ReadDriverParameter called at IRQL 2"},
    {"FormatUnicodeString",
     [] {
         WCHAR buffer[16];
         UNICODE_STRING text;
         text.Buffer = buffer;
         text.Length = 0;
         text.MaximumLength = sizeof(buffer);
         RaiseToDispatch();
         FormatUnicodeString(&text, L"%ws", L"COM3");
     },
     "VERIFIER STOP IRQL_TOO_HIGH: FormatUnicodeString called at IRQL 2"},
    {"FileCreate",
     [] {
         RaiseToDispatch();
         EvtDeviceFileCreate(nullptr, nullptr, nullptr);
     },
     "VERIFIER STOP IRQL_TOO_HIGH: EvtDeviceFileCreate called at IRQL 2"},
};

class PassiveRoutineDeathTest : public ::testing::TestWithParam<StopCase>
{
};

TEST_P(PassiveRoutineDeathTest, StopsAtDispatchLevel)
{
    EXPECT_DEATH(GetParam().body(), GetParam().diagnostic);
}

INSTANTIATE_TEST_SUITE_P(Driver, PassiveRoutineDeathTest, ::testing::ValuesIn(kPassiveRoutines),
                         StopCaseName);

} // namespace
} // namespace tarnocom::testing
