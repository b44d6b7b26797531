// The Rtl registry helpers: RtlQueryRegistryValues(Ex) with its flags, defaults and direct
// buffers, the write/delete/create/check routines and the RelativeTo key paths.
#include "RegistryTestSupport.h"

#include "kernel/Pool.h"

#include <cstring>

using namespace winsim::kernel;
using registrytest::OpenHandle;
using registrytest::RegistryTest;

namespace
{

constexpr wchar_t SerialComm[] = L"\\Registry\\Machine\\HARDWARE\\DEVICEMAP\\SERIALCOMM";

NTSTATUS Query(bool ex, ULONG relativeTo, const wchar_t* path, RTL_QUERY_REGISTRY_TABLE* table,
               PVOID context = nullptr, PVOID environment = nullptr)
{
    return ex ? RtlQueryRegistryValuesEx(relativeTo, path, table, context, environment)
              : RtlQueryRegistryValues(relativeTo, path, table, context, environment);
}

// A one-entry RTL_QUERY_REGISTRY_DIRECT table.
NTSTATUS QueryDirect(bool ex, const wchar_t* path, const wchar_t* name, ULONG flags, PVOID destination,
                     ULONG defaultType = REG_NONE, PVOID defaultData = nullptr, ULONG defaultLength = 0)
{
    RTL_QUERY_REGISTRY_TABLE table[2] = {};
    table[0].Flags = RTL_QUERY_REGISTRY_DIRECT | flags;
    table[0].Name = const_cast<PWSTR>(name);
    table[0].EntryContext = destination;
    table[0].DefaultType = defaultType;
    table[0].DefaultData = defaultData;
    table[0].DefaultLength = defaultLength;
    return Query(ex, RTL_REGISTRY_ABSOLUTE, path, table);
}

class RtlRegistryTest : public RegistryTest
{
  protected:
    void SetUp() override
    {
        auto serialComm = Create(u"\\Registry\\Machine\\HARDWARE\\DEVICEMAP\\SERIALCOMM");
        serialComm->SetString(u"Short", u"COM3");                 // 10 bytes with the NUL
        serialComm->SetString(u"Exact", u"COM123456");            // 20 bytes with the NUL
        serialComm->SetString(u"Long", u"COM256 on a long name"); // 44 bytes
        serialComm->SetDword(u"Number", 0x1F);
    }
};

// RTL_QUERY_REGISTRY_DIRECT of a REG_SZ into a caller's UNICODE_STRING with a 20-byte buffer, the
// way a driver asks whether a port name is in SERIALCOMM. The string fits only if its terminating
// NUL fits too. When it does not, the plain routine carries on as if nothing happened while the
// Ex routine says STATUS_BUFFER_TOO_SMALL; neither touches the caller's string then.
TEST_F(RtlRegistryTest, DirectStringIntoCallersBuffer)
{
    struct Case
    {
        const char* label;
        bool ex;
        const wchar_t* name;
        ULONG flags;
        USHORT maximumLength;
        NTSTATUS expected;
        const wchar_t* expectedText; // nullptr: the string must be left as it was
    };
    const ULONG typecheckSz = RTL_QUERY_REGISTRY_TYPECHECK;
    const Case cases[] = {
        {"Ex short", true, L"Short", 0, 20, STATUS_SUCCESS, L"COM3"},
        {"Ex exact fit", true, L"Exact", 0, 20, STATUS_SUCCESS, L"COM123456"},
        {"plain exact fit", false, L"Exact", 0, 20, STATUS_SUCCESS, L"COM123456"},
        {"Ex exact with typecheck", true, L"Exact", typecheckSz, 20, STATUS_SUCCESS, L"COM123456"},
        {"Ex no room for the NUL", true, L"Exact", 0, 18, STATUS_BUFFER_TOO_SMALL, nullptr},
        {"Ex too long", true, L"Long", 0, 20, STATUS_BUFFER_TOO_SMALL, nullptr},
        {"plain too long", false, L"Long", 0, 20, STATUS_SUCCESS, nullptr},
        {"Ex missing", true, L"Missing", 0, 20, STATUS_SUCCESS, nullptr},
        {"Ex missing required", true, L"Missing", RTL_QUERY_REGISTRY_REQUIRED, 20,
         STATUS_OBJECT_NAME_NOT_FOUND, nullptr},
        {"plain missing required", false, L"Missing", RTL_QUERY_REGISTRY_REQUIRED, 20,
         STATUS_OBJECT_NAME_NOT_FOUND, nullptr},
        {"Ex long required", true, L"Long", RTL_QUERY_REGISTRY_REQUIRED, 20, STATUS_BUFFER_TOO_SMALL,
         nullptr},
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.label);
        WCHAR storage[16];
        for (auto& unit : storage)
        {
            unit = L'x';
        }
        UNICODE_STRING text = {0, c.maximumLength, storage};
        ULONG defaultType = (c.flags & RTL_QUERY_REGISTRY_TYPECHECK) != 0
                                ? (REG_SZ << RTL_QUERY_REGISTRY_TYPECHECK_SHIFT)
                                : REG_NONE;
        EXPECT_EQ(QueryDirect(c.ex, SerialComm, c.name, c.flags, &text, defaultType), c.expected);
        EXPECT_EQ(text.MaximumLength, c.maximumLength);
        EXPECT_EQ(text.Buffer, storage);
        if (c.expectedText == nullptr)
        {
            EXPECT_EQ(text.Length, 0u);
            EXPECT_EQ(storage[0], L'x');
            continue;
        }
        size_t length = 0;
        while (c.expectedText[length] != 0)
        {
            ++length;
        }
        EXPECT_EQ(text.Length, length * sizeof(WCHAR));
        EXPECT_EQ(std::memcmp(storage, c.expectedText, length * sizeof(WCHAR)), 0);
        EXPECT_EQ(storage[length], L'\0');
    }
}

TEST_F(RtlRegistryTest, DirectStringWithoutABufferGetsOneFromThePool)
{
    Pool& pool = m_system.GetPool();
    const size_t before = pool.LiveCount();
    UNICODE_STRING text = {0, 0, nullptr};
    ASSERT_EQ(QueryDirect(true, SerialComm, L"Long", 0, &text), STATUS_SUCCESS);
    ASSERT_NE(text.Buffer, nullptr);
    EXPECT_EQ(text.Length, 42u);
    EXPECT_EQ(text.MaximumLength, 44u);
    EXPECT_EQ(std::memcmp(text.Buffer, L"COM256 on a long name", 44), 0);
    EXPECT_EQ(pool.LiveCount(), before + 1);
    RtlFreeUnicodeString(&text);
    EXPECT_EQ(pool.LiveCount(), before);

    pool.FailNextAllocations(1);
    UNICODE_STRING none = {0, 0, nullptr};
    EXPECT_EQ(QueryDirect(true, SerialComm, L"Long", 0, &none), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(none.Buffer, nullptr);
}

TEST_F(RtlRegistryTest, DirectNonStringData)
{
    auto key = m_registry.OpenKey(u"\\Registry\\Machine\\HARDWARE\\DEVICEMAP\\SERIALCOMM");
    const uint8_t eight[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    key->SetValue(u"Eight", REG_BINARY, eight, sizeof(eight));
    const uint8_t two[2] = {0xAB, 0xCD};
    key->SetValue(u"Two", REG_BINARY, two, sizeof(two));

    // Up to four bytes go straight into EntryContext.
    ULONG number = 0;
    EXPECT_EQ(QueryDirect(true, SerialComm, L"Number", 0, &number), STATUS_SUCCESS);
    EXPECT_EQ(number, 0x1Fu);
    ULONG partial = 0x11111111;
    EXPECT_EQ(QueryDirect(true, SerialComm, L"Two", 0, &partial), STATUS_SUCCESS);
    EXPECT_EQ(partial, 0x1111CDABu);

    // More: a negative leading LONG gives the buffer size and asks for the data alone...
    LONG raw[4] = {-16, 0, 0, 0};
    EXPECT_EQ(QueryDirect(true, SerialComm, L"Eight", 0, raw), STATUS_SUCCESS);
    EXPECT_EQ(std::memcmp(raw, eight, sizeof(eight)), 0);
    // ...a positive one asks for the length and the type in front of the data.
    ULONG framed[5] = {20, 0, 0, 0, 0};
    EXPECT_EQ(QueryDirect(true, SerialComm, L"Eight", 0, framed), STATUS_SUCCESS);
    EXPECT_EQ(framed[0], 8u);
    EXPECT_EQ(framed[1], ULONG(REG_BINARY));
    EXPECT_EQ(std::memcmp(&framed[2], eight, sizeof(eight)), 0);
    // Too small either way: the Ex routine says so, the plain one leaves the buffer alone.
    LONG small[2] = {-6, 0x22};
    EXPECT_EQ(QueryDirect(true, SerialComm, L"Eight", 0, small), STATUS_BUFFER_TOO_SMALL);
    ULONG tight[3] = {12, 0x33, 0x44};
    EXPECT_EQ(QueryDirect(false, SerialComm, L"Eight", 0, tight), STATUS_SUCCESS);
    EXPECT_EQ(small[0], -6);
    EXPECT_EQ(tight[0], 12u);
    EXPECT_EQ(tight[1], 0x33u);
}

TEST_F(RtlRegistryTest, TypecheckRefusesAValueOfAnotherType)
{
    ULONG number = 0xAAAA;
    EXPECT_EQ(QueryDirect(true, SerialComm, L"Short", RTL_QUERY_REGISTRY_TYPECHECK, &number,
                          (REG_DWORD << RTL_QUERY_REGISTRY_TYPECHECK_SHIFT) | REG_NONE),
              STATUS_OBJECT_TYPE_MISMATCH);
    EXPECT_EQ(number, 0xAAAAu);
    EXPECT_EQ(QueryDirect(false, SerialComm, L"Number", RTL_QUERY_REGISTRY_TYPECHECK, &number,
                          (REG_DWORD << RTL_QUERY_REGISTRY_TYPECHECK_SHIFT) | REG_NONE),
              STATUS_SUCCESS);
    EXPECT_EQ(number, 0x1Fu);
}

TEST_F(RtlRegistryTest, DefaultsStandInForMissingValues)
{
    ULONG fallback = 42;
    ULONG number = 0;
    EXPECT_EQ(QueryDirect(true, SerialComm, L"Missing", 0, &number, REG_DWORD, &fallback, sizeof(fallback)),
              STATUS_SUCCESS);
    EXPECT_EQ(number, 42u);
    // A present value wins over the default.
    EXPECT_EQ(QueryDirect(true, SerialComm, L"Number", 0, &number, REG_DWORD, &fallback, sizeof(fallback)),
              STATUS_SUCCESS);
    EXPECT_EQ(number, 0x1Fu);
    // A string default of length 0 is measured up to its NUL.
    WCHAR storage[16] = {};
    UNICODE_STRING text = {0, sizeof(storage), storage};
    EXPECT_EQ(QueryDirect(true, SerialComm, L"Missing", 0, &text, REG_SZ, const_cast<wchar_t*>(L"COM9"), 0),
              STATUS_SUCCESS);
    EXPECT_EQ(text.Length, 8u);
    EXPECT_EQ(std::memcmp(storage, L"COM9", 10), 0);
    // REQUIRED wins over a default.
    number = 7;
    EXPECT_EQ(QueryDirect(true, SerialComm, L"Missing", RTL_QUERY_REGISTRY_REQUIRED, &number, REG_DWORD,
                          &fallback, sizeof(fallback)),
              STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(number, 7u);
}

struct Call
{
    std::u16string name;
    bool hasName;
    ULONG type;
    std::vector<uint8_t> data;
    PVOID context;
    PVOID entryContext;
};

struct Recorder
{
    std::vector<Call> calls;
    NTSTATUS answer = STATUS_SUCCESS;
};

NTSTATUS NTAPI Record(PWSTR valueName, ULONG valueType, PVOID valueData, ULONG valueLength, PVOID context,
                      PVOID entryContext)
{
    auto* recorder = static_cast<Recorder*>(context);
    Call call;
    call.hasName = valueName != nullptr;
    if (valueName != nullptr)
    {
        size_t length = 0;
        while (valueName[length] != 0)
        {
            ++length;
        }
        call.name = registrytest::U16(valueName, length);
    }
    call.type = valueType;
    const uint8_t* bytes = static_cast<const uint8_t*>(valueData);
    call.data.assign(bytes, bytes + valueLength);
    call.context = context;
    call.entryContext = entryContext;
    recorder->calls.push_back(std::move(call));
    return recorder->answer;
}

TEST_F(RtlRegistryTest, QueryRoutinesSeeExpandedAndSplitValuesUnlessNoExpand)
{
    auto key = Create(u"\\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Services\\Tarn\\Parameters");
    key->SetMultiString(u"Multi", {u"one", u"two"});
    key->SetString(u"Path", u"%SystemRoot%\\inf", REG_EXPAND_SZ);
    key->SetDword(u"Count", 3);

    int tags[6] = {};
    RTL_QUERY_REGISTRY_TABLE table[7] = {};
    table[0] = {Record, 0, const_cast<PWSTR>(L"Multi"), &tags[0], REG_NONE, nullptr, 0};
    table[1] = {Record, RTL_QUERY_REGISTRY_NOEXPAND, const_cast<PWSTR>(L"Multi"), &tags[1], REG_NONE, nullptr,
                0};
    table[2] = {Record, 0, const_cast<PWSTR>(L"Path"), &tags[2], REG_NONE, nullptr, 0};
    table[3] = {Record, RTL_QUERY_REGISTRY_NOEXPAND, const_cast<PWSTR>(L"Path"), &tags[3], REG_NONE, nullptr,
                0};
    table[4] = {Record, 0, nullptr, &tags[4], REG_NONE, nullptr, 0}; // every value
    table[5] = {Record, RTL_QUERY_REGISTRY_NOVALUE, nullptr, &tags[5], REG_NONE, nullptr, 0};
    Recorder recorder;
    ASSERT_EQ(RtlQueryRegistryValues(RTL_REGISTRY_SERVICES, L"Tarn\\Parameters", table, &recorder, nullptr),
              STATUS_SUCCESS);

    using registrytest::Bytes;
    struct Expected
    {
        const char16_t* name;
        ULONG type;
        std::vector<uint8_t> data;
        int tag;
    };
    std::vector<uint8_t> rawMulti = Bytes(u"one");
    for (auto b : Bytes(u"two"))
    {
        rawMulti.push_back(b);
    }
    rawMulti.push_back(0);
    rawMulti.push_back(0);
    const std::vector<Expected> expected = {
        {u"Multi", REG_SZ, Bytes(u"one"), 0},
        {u"Multi", REG_SZ, Bytes(u"two"), 0},
        {u"Multi", REG_MULTI_SZ, rawMulti, 1},
        {u"Path", REG_SZ, Bytes(u"C:\\Windows\\inf"), 2},
        {u"Path", REG_EXPAND_SZ, Bytes(u"%SystemRoot%\\inf"), 3},
        {u"Multi", REG_SZ, Bytes(u"one"), 4},
        {u"Multi", REG_SZ, Bytes(u"two"), 4},
        {u"Path", REG_SZ, Bytes(u"C:\\Windows\\inf"), 4},
        {u"Count", REG_DWORD, {3, 0, 0, 0}, 4},
    };
    ASSERT_EQ(recorder.calls.size(), expected.size() + 1);
    for (size_t i = 0; i < expected.size(); ++i)
    {
        SCOPED_TRACE(i);
        EXPECT_EQ(recorder.calls[i].name, expected[i].name);
        EXPECT_EQ(recorder.calls[i].type, expected[i].type);
        EXPECT_EQ(recorder.calls[i].data, expected[i].data);
        EXPECT_EQ(recorder.calls[i].context, &recorder);
        EXPECT_EQ(recorder.calls[i].entryContext, &tags[expected[i].tag]);
    }
    const Call& novalue = recorder.calls.back();
    EXPECT_FALSE(novalue.hasName);
    EXPECT_EQ(novalue.type, ULONG(REG_NONE));
    EXPECT_TRUE(novalue.data.empty());
    EXPECT_EQ(novalue.entryContext, &tags[5]);

    // The caller's environment block replaces the system's.
    const wchar_t environment[] = L"SYSTEMROOT=D:\\Win\0Other=1\0";
    RTL_QUERY_REGISTRY_TABLE one[2] = {};
    one[0] = table[2];
    recorder.calls.clear();
    ASSERT_EQ(RtlQueryRegistryValues(RTL_REGISTRY_SERVICES, L"Tarn\\Parameters", one, &recorder,
                                     const_cast<wchar_t*>(environment)),
              STATUS_SUCCESS);
    ASSERT_EQ(recorder.calls.size(), 1u);
    EXPECT_EQ(recorder.calls[0].data, Bytes(u"D:\\Win\\inf"));
}

TEST_F(RtlRegistryTest, QueryRoutineErrorsStopTheTableExceptBufferTooSmall)
{
    RTL_QUERY_REGISTRY_TABLE table[3] = {};
    table[0] = {Record, 0, const_cast<PWSTR>(L"Short"), nullptr, REG_NONE, nullptr, 0};
    table[1] = {Record, 0, const_cast<PWSTR>(L"Number"), nullptr, REG_NONE, nullptr, 0};

    Recorder failing;
    failing.answer = STATUS_INSUFFICIENT_RESOURCES;
    EXPECT_EQ(RtlQueryRegistryValues(RTL_REGISTRY_ABSOLUTE, SerialComm, table, &failing, nullptr),
              STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(failing.calls.size(), 1u);

    Recorder tooSmall;
    tooSmall.answer = STATUS_BUFFER_TOO_SMALL;
    EXPECT_EQ(RtlQueryRegistryValuesEx(RTL_REGISTRY_ABSOLUTE, SerialComm, table, &tooSmall, nullptr),
              STATUS_SUCCESS);
    EXPECT_EQ(tooSmall.calls.size(), 2u);

    // An entry that needs a routine or a name and has neither.
    RTL_QUERY_REGISTRY_TABLE invalid[2] = {};
    invalid[0].Flags = RTL_QUERY_REGISTRY_DIRECT;
    EXPECT_EQ(RtlQueryRegistryValues(RTL_REGISTRY_ABSOLUTE, SerialComm, invalid, nullptr, nullptr),
              STATUS_INVALID_PARAMETER);
}

TEST_F(RtlRegistryTest, SubkeyTopkeyDeleteAndOptionalKeys)
{
    auto service = Create(u"\\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Services\\Tarn");
    service->SetDword(u"Start", 3);
    auto parameters = service->CreateSubkey(u"Parameters", false, nullptr);
    parameters->SetDword(u"Start", 9);
    parameters->SetDword(u"Once", 1);

    ULONG fromSubkey = 0;
    ULONG fromTop = 0;
    ULONG once = 0;
    RTL_QUERY_REGISTRY_TABLE table[5] = {};
    table[0].Flags = RTL_QUERY_REGISTRY_SUBKEY;
    table[0].Name = const_cast<PWSTR>(L"Parameters");
    table[1] = {
        nullptr, RTL_QUERY_REGISTRY_DIRECT, const_cast<PWSTR>(L"Start"), &fromSubkey, REG_NONE, nullptr, 0};
    table[2] = {nullptr,
                RTL_QUERY_REGISTRY_DIRECT | RTL_QUERY_REGISTRY_DELETE,
                const_cast<PWSTR>(L"Once"),
                &once,
                REG_NONE,
                nullptr,
                0};
    table[3] = {nullptr,
                RTL_QUERY_REGISTRY_DIRECT | RTL_QUERY_REGISTRY_TOPKEY,
                const_cast<PWSTR>(L"Start"),
                &fromTop,
                REG_NONE,
                nullptr,
                0};
    ASSERT_EQ(RtlQueryRegistryValuesEx(RTL_REGISTRY_SERVICES, L"Tarn", table, nullptr, nullptr),
              STATUS_SUCCESS);
    EXPECT_EQ(fromSubkey, 9u);
    EXPECT_EQ(fromTop, 3u);
    EXPECT_EQ(once, 1u);
    EXPECT_FALSE(parameters->GetValue(u"Once").has_value()); // RTL_QUERY_REGISTRY_DELETE

    // A subkey that is not there.
    table[0].Name = const_cast<PWSTR>(L"Missing");
    EXPECT_EQ(RtlQueryRegistryValuesEx(RTL_REGISTRY_SERVICES, L"Tarn", table, nullptr, nullptr),
              STATUS_OBJECT_NAME_NOT_FOUND);

    // A key that is not there, plain and optional.
    ULONG untouched = 5;
    RTL_QUERY_REGISTRY_TABLE direct[2] = {};
    direct[0] = {nullptr,
                 RTL_QUERY_REGISTRY_DIRECT,
                 const_cast<PWSTR>(L"Start"),
                 &untouched,
                 REG_DWORD,
                 &fromSubkey,
                 sizeof(ULONG)};
    EXPECT_EQ(RtlQueryRegistryValuesEx(RTL_REGISTRY_SERVICES, L"Absent", direct, nullptr, nullptr),
              STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(RtlQueryRegistryValuesEx(RTL_REGISTRY_SERVICES | RTL_REGISTRY_OPTIONAL, L"Absent", direct,
                                       nullptr, nullptr),
              STATUS_SUCCESS);
    EXPECT_EQ(untouched, 5u);
}

TEST_F(RtlRegistryTest, QueryThroughAHandle)
{
    HANDLE readOnly = OpenHandle(SerialComm, KEY_READ);
    ULONG number = 0;
    RTL_QUERY_REGISTRY_TABLE table[2] = {};
    table[0] = {nullptr, RTL_QUERY_REGISTRY_DIRECT, const_cast<PWSTR>(L"Number"), &number, REG_NONE, nullptr,
                0};
    EXPECT_EQ(RtlQueryRegistryValuesEx(RTL_REGISTRY_HANDLE, reinterpret_cast<PCWSTR>(readOnly), table,
                                       nullptr, nullptr),
              STATUS_SUCCESS);
    EXPECT_EQ(number, 0x1Fu);
    // DELETE removes what it read, through the kernel handle whatever access it was opened with.
    table[0].Flags |= RTL_QUERY_REGISTRY_DELETE;
    EXPECT_EQ(RtlQueryRegistryValuesEx(RTL_REGISTRY_HANDLE, reinterpret_cast<PCWSTR>(readOnly), table,
                                       nullptr, nullptr),
              STATUS_SUCCESS);
    EXPECT_FALSE(
        m_registry.OpenKey(u"HKLM\\HARDWARE\\DEVICEMAP\\SERIALCOMM")->GetValue(u"Number").has_value());
    // The handle stays open.
    EXPECT_EQ(ZwClose(readOnly), STATUS_SUCCESS);
}

TEST_F(RtlRegistryTest, WriteRegistryValueNeedsAnExistingKey)
{
    ULONG value = 0x1234;
    ASSERT_EQ(RtlWriteRegistryValue(RTL_REGISTRY_DEVICEMAP, L"SERIALCOMM", L"\\Device\\TNC0", REG_SZ,
                                    const_cast<wchar_t*>(L"COM5"), 10),
              STATUS_SUCCESS);
    EXPECT_EQ(m_registry.OpenKey(u"HKLM\\HARDWARE\\DEVICEMAP\\SERIALCOMM")->GetString(u"\\device\\tnc0"),
              u"COM5");
    // Rewriting replaces the data and the type.
    ASSERT_EQ(RtlWriteRegistryValue(RTL_REGISTRY_ABSOLUTE, SerialComm, L"\\Device\\TNC0", REG_DWORD, &value,
                                    sizeof(value)),
              STATUS_SUCCESS);
    EXPECT_EQ(m_registry.OpenKey(u"HKLM\\HARDWARE\\DEVICEMAP\\SERIALCOMM")->GetDword(u"\\Device\\TNC0"),
              0x1234u);

    // A missing key is not created.
    EXPECT_EQ(RtlWriteRegistryValue(RTL_REGISTRY_DEVICEMAP, L"SERIALCOMM\\Missing", L"V", REG_DWORD, &value,
                                    sizeof(value)),
              STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(m_registry.OpenKey(u"HKLM\\HARDWARE\\DEVICEMAP\\SERIALCOMM\\Missing"), nullptr);

    // Through a handle.
    HANDLE readOnly = OpenHandle(SerialComm, KEY_READ);
    HANDLE writable = OpenHandle(SerialComm, KEY_WRITE);
    EXPECT_EQ(RtlWriteRegistryValue(RTL_REGISTRY_HANDLE, reinterpret_cast<PCWSTR>(readOnly), L"ViaReadHandle",
                                    REG_DWORD, &value, sizeof(value)),
              STATUS_SUCCESS);
    EXPECT_EQ(RtlWriteRegistryValue(RTL_REGISTRY_HANDLE, reinterpret_cast<PCWSTR>(writable), L"ViaHandle",
                                    REG_DWORD, &value, sizeof(value)),
              STATUS_SUCCESS);
    EXPECT_TRUE(
        m_registry.OpenKey(u"HKLM\\HARDWARE\\DEVICEMAP\\SERIALCOMM")->GetValue(u"ViaHandle").has_value());
    ZwClose(readOnly);
    ZwClose(writable);
}

TEST_F(RtlRegistryTest, DeleteRegistryValue)
{
    EXPECT_EQ(RtlDeleteRegistryValue(RTL_REGISTRY_DEVICEMAP, L"SERIALCOMM", L"short"), STATUS_SUCCESS);
    EXPECT_FALSE(
        m_registry.OpenKey(u"HKLM\\HARDWARE\\DEVICEMAP\\SERIALCOMM")->GetValue(u"Short").has_value());
    EXPECT_TRUE(m_registry.OpenKey(u"HKLM\\HARDWARE\\DEVICEMAP\\SERIALCOMM")->GetValue(u"Long").has_value());
    EXPECT_EQ(RtlDeleteRegistryValue(RTL_REGISTRY_DEVICEMAP, L"SERIALCOMM", L"Short"),
              STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(RtlDeleteRegistryValue(RTL_REGISTRY_DEVICEMAP, L"Nowhere", L"Long"),
              STATUS_OBJECT_NAME_NOT_FOUND);
}

TEST_F(RtlRegistryTest, CreateAndCheckRegistryKey)
{
    Create(u"\\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Services");
    EXPECT_EQ(RtlCheckRegistryKey(RTL_REGISTRY_SERVICES, const_cast<PWSTR>(L"Tarn")),
              STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(RtlCreateRegistryKey(RTL_REGISTRY_SERVICES, const_cast<PWSTR>(L"Tarn")), STATUS_SUCCESS);
    EXPECT_EQ(RtlCheckRegistryKey(RTL_REGISTRY_SERVICES, const_cast<PWSTR>(L"TARN")), STATUS_SUCCESS);
    EXPECT_EQ(RtlCreateRegistryKey(RTL_REGISTRY_SERVICES, const_cast<PWSTR>(L"Tarn")),
              STATUS_SUCCESS); // exists
    // Only the last key is created.
    EXPECT_EQ(RtlCreateRegistryKey(RTL_REGISTRY_SERVICES, const_cast<PWSTR>(L"Tarn\\A\\B")),
              STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(m_registry.OpenKey(u"HKLM\\SYSTEM\\CurrentControlSet\\Services\\Tarn\\A"), nullptr);
    EXPECT_EQ(RtlCreateRegistryKey(RTL_REGISTRY_SERVICES, const_cast<PWSTR>(L"Tarn\\A")), STATUS_SUCCESS);
    EXPECT_NE(m_registry.OpenKey(u"HKLM\\SYSTEM\\CurrentControlSet\\Services\\Tarn\\A"), nullptr);

    // Checking a handle closes it.
    HANDLE handle = OpenHandle(L"\\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Services\\Tarn", KEY_READ);
    EXPECT_EQ(RtlCheckRegistryKey(RTL_REGISTRY_HANDLE, reinterpret_cast<PWSTR>(handle)), STATUS_SUCCESS);
    EXPECT_EQ(ZwClose(handle), STATUS_INVALID_HANDLE);
}

TEST_F(RtlRegistryTest, RelativeToNamesTheWellKnownKeys)
{
    struct Case
    {
        ULONG relativeTo;
        const char16_t* base;
    };
    const Case cases[] = {
        {RTL_REGISTRY_SERVICES, u"\\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Services"},
        {RTL_REGISTRY_CONTROL, u"\\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Control"},
        {RTL_REGISTRY_WINDOWS_NT, u"\\Registry\\Machine\\SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion"},
        {RTL_REGISTRY_DEVICEMAP, u"\\Registry\\Machine\\HARDWARE\\DEVICEMAP"},
        {RTL_REGISTRY_USER, u"\\Registry\\User\\.Default"},
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.relativeTo);
        auto probe = Create(std::u16string(c.base) + u"\\Probe");
        ULONG value = c.relativeTo + 100;
        EXPECT_EQ(RtlWriteRegistryValue(c.relativeTo, L"Probe", L"Mark", REG_DWORD, &value, sizeof(value)),
                  STATUS_SUCCESS);
        EXPECT_EQ(probe->GetDword(u"Mark"), value);
        // A leading separator in the relative path changes nothing.
        EXPECT_EQ(RtlCheckRegistryKey(c.relativeTo, const_cast<PWSTR>(L"\\Probe")), STATUS_SUCCESS);
        EXPECT_EQ(RtlDeleteRegistryValue(c.relativeTo, L"Probe", L"Mark"), STATUS_SUCCESS);
        EXPECT_FALSE(probe->GetValue(u"Mark").has_value());
    }
    ULONG value = 1;
    EXPECT_EQ(RtlWriteRegistryValue(RTL_REGISTRY_ABSOLUTE, L"\\Registry\\User\\.Default\\Probe", L"Abs",
                                    REG_DWORD, &value, sizeof(value)),
              STATUS_SUCCESS);
    EXPECT_TRUE(m_registry.OpenKey(u"HKU\\.Default\\Probe")->GetValue(u"Abs").has_value());
    EXPECT_EQ(RtlWriteRegistryValue(RTL_REGISTRY_MAXIMUM, L"Probe", L"X", REG_DWORD, &value, sizeof(value)),
              STATUS_INVALID_PARAMETER);
    // An absolute path must be one.
    EXPECT_EQ(RtlWriteRegistryValue(RTL_REGISTRY_ABSOLUTE, L"Probe", L"X", REG_DWORD, &value, sizeof(value)),
              STATUS_OBJECT_PATH_SYNTAX_BAD);
}

} // namespace
