// Framework registry keys and WdfRegistry*.
#include "FxRegKey.h"

#include "FxDriver.h"

#include <string.h>

#include <vector>

namespace winsim::wdf
{

void FxRegKey::OnDispose()
{
    ZwClose(m_handle);
}

NTSTATUS FxRegKey::Open(HANDLE handle, PWDF_OBJECT_ATTRIBUTES attributes, FxObject* defaultParent,
                        WDFKEY* key, const char* routine)
{
    auto* fx = new FxRegKey(defaultParent->Driver(), handle);
    NTSTATUS status = Publish(fx, attributes, defaultParent, routine);
    if (!NT_SUCCESS(status))
    {
        ZwClose(handle);
        return status;
    }
    *key = reinterpret_cast<WDFKEY>(fx->Handle());
    return STATUS_SUCCESS;
}

} // namespace winsim::wdf

using namespace winsim::wdf;

namespace
{
// Reads a whole value through ZwQueryValueKey.
NTSTATUS QueryRaw(WDFKEY Key, PCUNICODE_STRING ValueName, std::vector<uint8_t>& data, ULONG* type,
                  const char* routine)
{
    FxRegKey* key = KeyOf(Key, routine);
    ULONG needed = 0;
    NTSTATUS status = ZwQueryValueKey(key->KeyHandle(), const_cast<PUNICODE_STRING>(ValueName),
                                      KeyValuePartialInformation, nullptr, 0, &needed);
    if (status != STATUS_BUFFER_TOO_SMALL && status != STATUS_BUFFER_OVERFLOW)
    {
        return NT_SUCCESS(status) ? STATUS_UNSUCCESSFUL : status;
    }
    std::vector<uint8_t> buffer(needed);
    status = ZwQueryValueKey(key->KeyHandle(), const_cast<PUNICODE_STRING>(ValueName),
                             KeyValuePartialInformation, buffer.data(), needed, &needed);
    if (!NT_SUCCESS(status))
    {
        return status;
    }
    auto* info = reinterpret_cast<PKEY_VALUE_PARTIAL_INFORMATION>(buffer.data());
    data.assign(info->Data, info->Data + info->DataLength);
    *type = info->Type;
    return STATUS_SUCCESS;
}
} // namespace

extern "C"
{

    VOID imp_WdfRegistryClose(PWDF_DRIVER_GLOBALS, WDFKEY Key)
    {
        RequireIrqlAtMost(PASSIVE_LEVEL, "WdfRegistryClose");
        KeyOf(Key, "WdfRegistryClose")->DisposeTree();
    }

    NTSTATUS imp_WdfRegistryQueryValue(PWDF_DRIVER_GLOBALS, WDFKEY Key, PCUNICODE_STRING ValueName,
                                       ULONG ValueLength, PVOID Value, PULONG ValueLengthQueried,
                                       PULONG ValueType)
    {
        if (!AtPassive())
        {
            return STATUS_INVALID_DEVICE_REQUEST;
        }
        if (ValueName == nullptr)
        {
            return STATUS_INVALID_PARAMETER;
        }
        std::vector<uint8_t> data;
        ULONG type = REG_NONE;
        NTSTATUS status = QueryRaw(Key, ValueName, data, &type, "WdfRegistryQueryValue");
        if (!NT_SUCCESS(status))
        {
            return status;
        }
        if (ValueLengthQueried != nullptr)
        {
            *ValueLengthQueried = static_cast<ULONG>(data.size());
        }
        if (ValueType != nullptr)
        {
            *ValueType = type;
        }
        // The framework reads the value into room for the caller's buffer: unless all of it fits,
        // the read reports STATUS_BUFFER_OVERFLOW and nothing is copied. A caller without a buffer
        // (or with an empty one) learns the length that way.
        size_t room = Value != nullptr ? ValueLength : 0;
        if (data.size() > room)
        {
            return STATUS_BUFFER_OVERFLOW;
        }
        if (!data.empty())
        {
            memcpy(Value, data.data(), data.size());
        }
        return STATUS_SUCCESS;
    }

    NTSTATUS imp_WdfRegistryQueryULong(PWDF_DRIVER_GLOBALS, WDFKEY Key, PCUNICODE_STRING ValueName,
                                       PULONG Value)
    {
        if (!AtPassive())
        {
            return STATUS_INVALID_DEVICE_REQUEST;
        }
        if (ValueName == nullptr || Value == nullptr)
        {
            return STATUS_INVALID_PARAMETER;
        }
        std::vector<uint8_t> data;
        ULONG type = REG_NONE;
        NTSTATUS status = QueryRaw(Key, ValueName, data, &type, "WdfRegistryQueryULong");
        if (!NT_SUCCESS(status))
        {
            return status;
        }
        if (type != REG_DWORD || data.size() != sizeof(ULONG))
        {
            return STATUS_OBJECT_TYPE_MISMATCH;
        }
        memcpy(Value, data.data(), sizeof(ULONG));
        return STATUS_SUCCESS;
    }

    NTSTATUS imp_WdfRegistryQueryUnicodeString(PWDF_DRIVER_GLOBALS, WDFKEY Key, PCUNICODE_STRING ValueName,
                                               PUSHORT ValueByteLength, PUNICODE_STRING Value)
    {
        if (!AtPassive())
        {
            return STATUS_INVALID_DEVICE_REQUEST;
        }
        std::vector<uint8_t> data;
        ULONG type = REG_NONE;
        NTSTATUS status = QueryRaw(Key, ValueName, data, &type, "WdfRegistryQueryUnicodeString");
        if (!NT_SUCCESS(status))
        {
            return status;
        }
        if (type != REG_SZ && type != REG_EXPAND_SZ)
        {
            return STATUS_OBJECT_TYPE_MISMATCH;
        }
        // The stored terminator is not part of the counted string.
        size_t bytes = data.size();
        if (bytes >= sizeof(WCHAR) && data[bytes - 1] == 0 && data[bytes - 2] == 0)
        {
            bytes -= sizeof(WCHAR);
        }
        // ValueByteLength counts the terminating null as well, as Windows documents it.
        if (ValueByteLength != nullptr)
        {
            *ValueByteLength = static_cast<USHORT>(bytes + sizeof(WCHAR));
        }
        if (Value == nullptr)
        {
            return STATUS_SUCCESS;
        }
        if (Value->MaximumLength < bytes)
        {
            return STATUS_BUFFER_OVERFLOW;
        }
        memcpy(Value->Buffer, data.data(), bytes);
        Value->Length = static_cast<USHORT>(bytes);
        return STATUS_SUCCESS;
    }

    NTSTATUS imp_WdfRegistryAssignValue(PWDF_DRIVER_GLOBALS, WDFKEY Key, PCUNICODE_STRING ValueName,
                                        ULONG ValueType, ULONG ValueLength, PVOID Value)
    {
        if (!AtPassive())
        {
            return STATUS_INVALID_DEVICE_REQUEST;
        }
        return ZwSetValueKey(KeyOf(Key, "WdfRegistryAssignValue")->KeyHandle(),
                             const_cast<PUNICODE_STRING>(ValueName), 0, ValueType, Value, ValueLength);
    }

    NTSTATUS imp_WdfRegistryAssignULong(PWDF_DRIVER_GLOBALS DriverGlobals, WDFKEY Key,
                                        PCUNICODE_STRING ValueName, ULONG Value)
    {
        return imp_WdfRegistryAssignValue(DriverGlobals, Key, ValueName, REG_DWORD, sizeof(ULONG), &Value);
    }

    NTSTATUS imp_WdfRegistryAssignUnicodeString(PWDF_DRIVER_GLOBALS DriverGlobals, WDFKEY Key,
                                                PCUNICODE_STRING ValueName, PCUNICODE_STRING Value)
    {
        std::vector<WCHAR> text(Value->Buffer, Value->Buffer + Value->Length / sizeof(WCHAR));
        text.push_back(0);
        return imp_WdfRegistryAssignValue(DriverGlobals, Key, ValueName, REG_SZ,
                                          static_cast<ULONG>(text.size() * sizeof(WCHAR)), text.data());
    }

    NTSTATUS imp_WdfRegistryRemoveValue(PWDF_DRIVER_GLOBALS, WDFKEY Key, PCUNICODE_STRING ValueName)
    {
        if (!AtPassive())
        {
            return STATUS_INVALID_DEVICE_REQUEST;
        }
        return ZwDeleteValueKey(KeyOf(Key, "WdfRegistryRemoveValue")->KeyHandle(),
                                const_cast<PUNICODE_STRING>(ValueName));
    }

} // extern "C"
