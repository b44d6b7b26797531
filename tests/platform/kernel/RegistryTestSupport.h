// Shared pieces of the registry tests: a running machine per test and counted strings.
#pragma once

#include <ntddk.h>

#include "kernel/Registry.h"
#include "kernel/System.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace registrytest
{

// Each test runs on a freshly booted machine with an empty registry.
class RegistryTest : public ::testing::Test
{
  protected:
    winsim::kernel::System m_system;
    winsim::kernel::Registry& m_registry = m_system.GetRegistry();

    std::shared_ptr<winsim::kernel::RegistryKey> Create(std::u16string_view path, bool isVolatile = false)
    {
        auto key = m_registry.CreateKey(path, isVolatile);
        EXPECT_NE(key, nullptr) << "creating a test key";
        return key;
    }
};

// A UNICODE_STRING over a literal (the tests do not depend on the kernel's Rtl string routines).
inline UNICODE_STRING Us(const wchar_t* text)
{
    size_t length = 0;
    while (text[length] != 0)
    {
        ++length;
    }
    UNICODE_STRING s;
    s.Length = static_cast<USHORT>(length * sizeof(wchar_t));
    s.MaximumLength = static_cast<USHORT>(s.Length + sizeof(wchar_t));
    s.Buffer = const_cast<wchar_t*>(text);
    return s;
}

inline std::u16string U16(const wchar_t* text, size_t length)
{
    return std::u16string(reinterpret_cast<const char16_t*>(text), length);
}

inline std::vector<uint8_t> Bytes(std::u16string_view text, bool terminate = true)
{
    std::vector<uint8_t> data((text.size() + (terminate ? 1 : 0)) * 2, 0);
    for (size_t i = 0; i < text.size(); ++i)
    {
        data[2 * i] = static_cast<uint8_t>(text[i] & 0xFF);
        data[2 * i + 1] = static_cast<uint8_t>(text[i] >> 8);
    }
    return data;
}

// Opens (or creates) a key through the kernel API, failing the test if that does not work.
inline HANDLE OpenHandle(const wchar_t* path, ACCESS_MASK access, bool create = false, ULONG options = 0)
{
    UNICODE_STRING name = Us(path);
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &name, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, nullptr,
                               nullptr);
    HANDLE handle = nullptr;
    NTSTATUS status = create ? ZwCreateKey(&handle, access, &attributes, 0, nullptr, options, nullptr)
                             : ZwOpenKey(&handle, access, &attributes);
    EXPECT_EQ(status, STATUS_SUCCESS) << "opening a test key";
    return handle;
}

} // namespace registrytest
