// Driver entry, the driver-wide parameters from the service's Parameters key, and the small
// registry routines the other units use.
#include <initguid.h>

#include "Driver.h"

#include "Driver.tmh"

DRIVER_PARAMETERS DriverParameters;
WDFWAITLOCK InstanceLock;

static const char* EnabledText(BOOLEAN Value)
{
    return Value ? "Enable" : "Disable";
}

static const char* SetText(BOOLEAN Value)
{
    return Value ? "set" : "not set";
}

// Reads a 4-byte parameter. Returns TRUE when the read succeeded.
static BOOLEAN ReadParameterULong(WDFDRIVER Driver, PCWSTR Name, PULONG Value)
{
    ULONG stored = 0;
    if (!NT_SUCCESS(ReadDriverParameter(Driver, Name, sizeof(stored), &stored)))
    {
        return FALSE;
    }
    *Value = stored;
    return TRUE;
}

static VOID ReadDriverParameters(WDFDRIVER Driver)
{
    ULONG value = 0;
    DRIVER_PARAMETERS parameters;
    RtlZeroMemory(&parameters, sizeof(parameters));
    parameters.RetryRecovery = 3;

    // The four line defaults count when the read succeeds and the whole value is nonzero.
    BOOLEAN defaultRts = ReadParameterULong(Driver, L"DefaultRTS", &value) && value != 0;
    if (defaultRts)
    {
        parameters.DefaultControlLines |= (UCHAR)SERIAL_RTS_STATE;
    }
    BOOLEAN defaultDtr = ReadParameterULong(Driver, L"DefaultDTR", &value) && value != 0;
    if (defaultDtr)
    {
        parameters.DefaultControlLines |= (UCHAR)SERIAL_DTR_STATE;
    }
    BOOLEAN defaultCts = ReadParameterULong(Driver, L"DefaultCTS", &value) && value != 0;
    if (defaultCts)
    {
        parameters.DefaultModemStatus |= SERIAL_CTS_STATE;
    }
    BOOLEAN defaultDsr = ReadParameterULong(Driver, L"DefaultDSR", &value) && value != 0;
    if (defaultDsr)
    {
        parameters.DefaultModemStatus |= SERIAL_DSR_STATE;
    }
    // These take the stored value, zero included; the default applies only when the read fails.
    ReadParameterULong(Driver, L"RetryRecovery", &parameters.RetryRecovery);
    ReadParameterULong(Driver, L"LogLevel", &parameters.LogLevel);
    // The three flags keep only the low byte of the stored value.
    if (ReadParameterULong(Driver, L"EnableMultipleOpen", &value))
    {
        parameters.EnableMultipleOpen = (BOOLEAN)(value & 0xFF);
    }
    if (ReadParameterULong(Driver, L"EnableSelectiveSuspend", &value))
    {
        parameters.EnableSelectiveSuspend = (BOOLEAN)(value & 0xFF);
    }
    if (ReadParameterULong(Driver, L"IsTestDevice", &value))
    {
        parameters.IsTestDevice = (BOOLEAN)(value & 0xFF);
    }
    ReadParameterULong(Driver, L"ResetTarget", &parameters.ResetTarget);
    ReadParameterULong(Driver, L"ResetTiming", &parameters.ResetTiming);
    ReadParameterULong(Driver, L"IntBufferSetting", &parameters.IntBufferSetting);
    DriverParameters = parameters;

    TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_FLAG_GENERAL,
                "DefaultRTS %s, DefaultDTR %s, DefaultCTS %s, DefaultDSR %s", SetText(defaultRts),
                SetText(defaultDtr), SetText(defaultCts), SetText(defaultDsr));
    TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_FLAG_GENERAL,
                "RetryRecovery %u, ResetTarget %u, ResetTiming %u", parameters.RetryRecovery,
                parameters.ResetTarget, parameters.ResetTiming);
    TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_FLAG_GENERAL,
                "EnableMultipleOpen %s, EnableSelectiveSuspend %s, IsTestDevice %s, LogLevel 0x%x, "
                "IntBufferSetting %u",
                EnabledText(parameters.EnableMultipleOpen), EnabledText(parameters.EnableSelectiveSuspend),
                parameters.IsTestDevice ? "TRUE" : "FALSE", parameters.LogLevel, parameters.IntBufferSetting);
}

extern "C" NTSTATUS DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath)
{
    WPP_INIT_TRACING(DriverObject, RegistryPath);
    TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_FLAG_GENERAL, "DriverEntry: Entry");

    ExInitializeDriverRuntime(DrvRtPoolNxOptIn);

    WDF_DRIVER_CONFIG config;
    WDF_DRIVER_CONFIG_INIT(&config, EvtDriverDeviceAdd);
    WDF_OBJECT_ATTRIBUTES attributes;
    WDF_OBJECT_ATTRIBUTES_INIT(&attributes);
    attributes.EvtCleanupCallback = DriverContextCleanup;

    WDFDRIVER driver = NULL;
    NTSTATUS status = WdfDriverCreate(DriverObject, RegistryPath, &attributes, &config, &driver);
    if (!NT_SUCCESS(status))
    {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_FLAG_GENERAL, "WdfDriverCreate failed 0x%x", status);
        WPP_CLEANUP(DriverObject);
        return status;
    }

    ReadDriverParameters(driver);

    // A new load forgets the instance numbers claimed during the previous one.
    ULONG useInstance = 0;
    NTSTATUS writeStatus =
        WriteDriverParameter(driver, L"UseInstance", REG_DWORD, sizeof(useInstance), &useInstance);
    if (!NT_SUCCESS(writeStatus))
    {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_FLAG_GENERAL, "resetting UseInstance failed 0x%x", writeStatus);
    }

    WDF_OBJECT_ATTRIBUTES lockAttributes;
    WDF_OBJECT_ATTRIBUTES_INIT(&lockAttributes);
    lockAttributes.ParentObject = driver;
    status = WdfWaitLockCreate(&lockAttributes, &InstanceLock);
    if (!NT_SUCCESS(status))
    {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_FLAG_GENERAL, "WdfWaitLockCreate failed 0x%x", status);
        return status;
    }

    TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_FLAG_GENERAL, "DriverEntry: Exit 0x%x", status);
    return status;
}

VOID DriverContextCleanup(WDFOBJECT DriverObject)
{
    TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_FLAG_GENERAL, "DriverContextCleanup: Entry");
    WPP_CLEANUP(WdfDriverWdmGetDriverObject((WDFDRIVER)DriverObject));
}

// --- registry routines ------------------------------------------------------------------------
// Each routine opens its key, does one operation, closes the key and returns the status of the
// step that failed; every failure is traced.

static NTSTATUS KeyOpened(NTSTATUS Status, const char* Key, PCWSTR Name)
{
    if (!NT_SUCCESS(Status))
    {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_FLAG_GENERAL, "opening the %s key for %ws failed 0x%x", Key,
                    Name, Status);
    }
    return Status;
}

static NTSTATUS CloseKey(WDFKEY Key, NTSTATUS Status, const char* Operation, PCWSTR Name)
{
    if (!NT_SUCCESS(Status))
    {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_FLAG_GENERAL, "%s %ws failed 0x%x", Operation, Name, Status);
    }
    WdfRegistryClose(Key);
    return Status;
}

NTSTATUS ReadDriverParameter(WDFDRIVER Driver, PCWSTR Name, ULONG Length, PVOID Out)
{
    if (Name == NULL || Out == NULL)
    {
        return STATUS_INVALID_PARAMETER;
    }
    WDFKEY key = NULL;
    NTSTATUS status =
        KeyOpened(WdfDriverOpenParametersRegistryKey(Driver, KEY_READ, WDF_NO_OBJECT_ATTRIBUTES, &key),
                  "Parameters", Name);
    if (!NT_SUCCESS(status))
    {
        return status;
    }
    UNICODE_STRING valueName;
    RtlInitUnicodeString(&valueName, Name);
    return CloseKey(key, WdfRegistryQueryValue(key, &valueName, Length, Out, NULL, NULL), "reading parameter",
                    Name);
}

NTSTATUS WriteDriverParameter(WDFDRIVER Driver, PCWSTR Name, ULONG Type, ULONG Length, PVOID Data)
{
    if (Name == NULL)
    {
        return STATUS_INVALID_PARAMETER;
    }
    WDFKEY key = NULL;
    NTSTATUS status =
        KeyOpened(WdfDriverOpenParametersRegistryKey(Driver, KEY_WRITE, WDF_NO_OBJECT_ATTRIBUTES, &key),
                  "Parameters", Name);
    if (!NT_SUCCESS(status))
    {
        return status;
    }
    UNICODE_STRING valueName;
    RtlInitUnicodeString(&valueName, Name);
    return CloseKey(key, WdfRegistryAssignValue(key, &valueName, Type, Length, Data), "writing parameter",
                    Name);
}

NTSTATUS ReadDeviceValue(WDFDEVICE Device, PCWSTR Name, ULONG Length, PVOID Out, PULONG OutLength)
{
    if (Name == NULL || Out == NULL)
    {
        return STATUS_INVALID_PARAMETER;
    }
    WDFKEY key = NULL;
    NTSTATUS status = KeyOpened(WdfDeviceOpenRegistryKey(Device, PLUGPLAY_REGKEY_DEVICE, STANDARD_RIGHTS_ALL,
                                                         WDF_NO_OBJECT_ATTRIBUTES, &key),
                                "device", Name);
    if (!NT_SUCCESS(status))
    {
        return status;
    }
    UNICODE_STRING valueName;
    RtlInitUnicodeString(&valueName, Name);
    return CloseKey(key, WdfRegistryQueryValue(key, &valueName, Length, Out, OutLength, NULL),
                    "reading device value", Name);
}

// The device key while the device is being added (before WdfDeviceCreate).
static NTSTATUS OpenDeviceInitKey(PWDFDEVICE_INIT DeviceInit, PCWSTR Name, WDFKEY* Key)
{
    return KeyOpened(WdfFdoInitOpenRegistryKey(DeviceInit, PLUGPLAY_REGKEY_DEVICE, STANDARD_RIGHTS_ALL,
                                               WDF_NO_OBJECT_ATTRIBUTES, Key),
                     "device", Name);
}

NTSTATUS ReadDeviceInitULong(PWDFDEVICE_INIT DeviceInit, PCWSTR Name, PULONG Out)
{
    if (Name == NULL || Out == NULL)
    {
        return STATUS_INVALID_PARAMETER;
    }
    *Out = 0;
    WDFKEY key = NULL;
    NTSTATUS status = OpenDeviceInitKey(DeviceInit, Name, &key);
    if (!NT_SUCCESS(status))
    {
        return status;
    }
    UNICODE_STRING valueName;
    RtlInitUnicodeString(&valueName, Name);
    return CloseKey(key, WdfRegistryQueryULong(key, &valueName, Out), "reading device value", Name);
}

NTSTATUS WriteDeviceInitULong(PWDFDEVICE_INIT DeviceInit, PCWSTR Name, ULONG Value)
{
    if (Name == NULL)
    {
        return STATUS_INVALID_PARAMETER;
    }
    WDFKEY key = NULL;
    NTSTATUS status = OpenDeviceInitKey(DeviceInit, Name, &key);
    if (!NT_SUCCESS(status))
    {
        return status;
    }
    UNICODE_STRING valueName;
    RtlInitUnicodeString(&valueName, Name);
    return CloseKey(key, WdfRegistryAssignULong(key, &valueName, Value), "writing device value", Name);
}

// Formats into the string's own buffer. Length counts no terminator.
NTSTATUS FormatUnicodeString(PUNICODE_STRING String, PCWSTR Format, ...)
{
    if (String == NULL || Format == NULL || (String->Length & 1) != 0 || (String->MaximumLength & 1) != 0 ||
        String->MaximumLength < String->Length || String->MaximumLength == 0xFFFF ||
        (String->Buffer == NULL && (String->Length != 0 || String->MaximumLength != 0)))
    {
        return STATUS_INVALID_PARAMETER;
    }
    va_list args;
    va_start(args, Format);
    int written = _vsnwprintf(String->Buffer, String->MaximumLength / sizeof(WCHAR), Format, args);
    va_end(args);
    if (written < 0)
    {
        String->Length = (USHORT)(String->MaximumLength & ~1);
        return STATUS_BUFFER_OVERFLOW;
    }
    String->Length = (USHORT)(written * sizeof(WCHAR));
    return STATUS_SUCCESS;
}
