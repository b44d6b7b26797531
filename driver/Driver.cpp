// Driver entry, the driver-wide parameters from the service's Parameters key, and the small
// registry routines the other units use.
#include <initguid.h>

#include "Driver.h"

#include "Driver.tmh"

DRIVER_PARAMETERS DriverParameters;
WDFWAITLOCK InstanceLock;

static const char* EnabledText(BOOLEAN Value)
/*++
Routine Description:
    Names a flag for the trace.
IRQL:
    Any.
Return Value:
    "Enable" or "Disable".
--*/
{
    return Value ? "Enable" : "Disable";
}

static const char* SetText(BOOLEAN Value)
/*++
Routine Description:
    Names for the trace whether a line default is set.
IRQL:
    Any.
Return Value:
    "set" or "not set".
--*/
{
    return Value ? "set" : "not set";
}

static BOOLEAN ReadParameterULong(WDFDRIVER Driver, PCWSTR Name, PULONG Value)
/*++
Routine Description:
    Reads a 4-byte value of the Parameters key into Value. Value is left as it was when the
    read fails, so that it keeps its default.
IRQL:
    PASSIVE_LEVEL.
Return Value:
    TRUE when the read succeeded.
--*/
{
    PAGED_CODE();

    ULONG stored = 0;
    if (!NT_SUCCESS(ReadDriverParameter(Driver, Name, sizeof(stored), &stored)))
    {
        return FALSE;
    }
    *Value = stored;
    return TRUE;
}

static VOID ReadDriverParameters(WDFDRIVER Driver)
/*++
Routine Description:
    Fills DriverParameters from the Parameters key and traces the result. A value that is
    missing or cannot be read takes its default.
IRQL:
    PASSIVE_LEVEL.
Return Value:
    None.
--*/
{
    PAGED_CODE();

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
/*++
Routine Description:
    The driver's entry point: registers the trace provider, opts in to non-executable
    non-paged pool, creates the framework driver object, reads the Parameters key, forgets the
    instance numbers claimed during the previous load and creates InstanceLock.
IRQL:
    PASSIVE_LEVEL.
Return Value:
    STATUS_SUCCESS, or the failure of WdfDriverCreate or WdfWaitLockCreate. A failing write
    of UseInstance is traced and does not fail the load.
--*/
{
    PAGED_CODE();

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
/*++
Routine Description:
    Cleanup of the framework driver object: stops the trace provider.
IRQL:
    PASSIVE_LEVEL.
Return Value:
    None.
--*/
{
    PAGED_CODE();

    TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_FLAG_GENERAL, "DriverContextCleanup: Entry");
    WPP_CLEANUP(WdfDriverWdmGetDriverObject((WDFDRIVER)DriverObject));
}

// --- registry routines ------------------------------------------------------------------------
// Each routine opens its key, does one operation, closes the key and returns the status of the
// step that failed; every failure is traced.

static NTSTATUS KeyOpened(NTSTATUS Status, const char* Key, PCWSTR Name)
/*++
Routine Description:
    Traces a failure to open the key that holds the value Name.
IRQL:
    PASSIVE_LEVEL.
Return Value:
    Status, unchanged.
--*/
{
    PAGED_CODE();

    if (!NT_SUCCESS(Status))
    {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_FLAG_GENERAL, "opening the %s key for %ws failed 0x%x", Key,
                    Name, Status);
    }
    return Status;
}

static NTSTATUS CloseKey(WDFKEY Key, NTSTATUS Status, const char* Operation, PCWSTR Name)
/*++
Routine Description:
    Traces a failed Operation on the value Name, then closes Key.
IRQL:
    PASSIVE_LEVEL.
Return Value:
    Status, unchanged.
--*/
{
    PAGED_CODE();

    if (!NT_SUCCESS(Status))
    {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_FLAG_GENERAL, "%s %ws failed 0x%x", Operation, Name, Status);
    }
    WdfRegistryClose(Key);
    return Status;
}

NTSTATUS ReadDriverParameter(WDFDRIVER Driver, PCWSTR Name, ULONG Length, PVOID Out)
/*++
Routine Description:
    Reads Length bytes of the value Name of the Parameters key into Out.
IRQL:
    PASSIVE_LEVEL.
Return Value:
    STATUS_INVALID_PARAMETER for a NULL Name or Out; otherwise the status of the open or
    of the query, which fails for a missing value or one longer than Length.
--*/
{
    PAGED_CODE();

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
/*++
Routine Description:
    Writes the value Name of the Parameters key: Type, and Length bytes at Data.
IRQL:
    PASSIVE_LEVEL.
Return Value:
    STATUS_INVALID_PARAMETER for a NULL Name; otherwise the status of the open or of the
    write.
--*/
{
    PAGED_CODE();

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
/*++
Routine Description:
    Reads at most Length bytes of the value Name of the device's hardware key into Out, and
    the stored length into OutLength unless it is NULL.
IRQL:
    PASSIVE_LEVEL.
Return Value:
    STATUS_INVALID_PARAMETER for a NULL Name or Out; otherwise the status of the open or of
    the query (STATUS_BUFFER_OVERFLOW for a value longer than Length).
--*/
{
    PAGED_CODE();

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

static NTSTATUS OpenDeviceInitKey(PWDFDEVICE_INIT DeviceInit, PCWSTR Name, WDFKEY* Key)
/*++
Routine Description:
    Opens the hardware key of the device being added, before WdfDeviceCreate.
IRQL:
    PASSIVE_LEVEL.
Return Value:
    The status of WdfFdoInitOpenRegistryKey, traced when it failed.
--*/
{
    PAGED_CODE();

    return KeyOpened(WdfFdoInitOpenRegistryKey(DeviceInit, PLUGPLAY_REGKEY_DEVICE, STANDARD_RIGHTS_ALL,
                                               WDF_NO_OBJECT_ATTRIBUTES, Key),
                     "device", Name);
}

NTSTATUS ReadDeviceInitULong(PWDFDEVICE_INIT DeviceInit, PCWSTR Name, PULONG Out)
/*++
Routine Description:
    Reads the ULONG value Name of the hardware key of the device being added. *Out is 0
    unless the read succeeds.
IRQL:
    PASSIVE_LEVEL.
Return Value:
    STATUS_INVALID_PARAMETER for a NULL Name or Out; otherwise the status of the open or of
    the query.
--*/
{
    PAGED_CODE();

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
/*++
Routine Description:
    Writes the ULONG value Name to the hardware key of the device being added.
IRQL:
    PASSIVE_LEVEL.
Return Value:
    STATUS_INVALID_PARAMETER for a NULL Name; otherwise the status of the open or of the
    write.
--*/
{
    PAGED_CODE();

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

NTSTATUS FormatUnicodeString(PUNICODE_STRING String, PCWSTR Format, ...)
/*++
Routine Description:
    Formats into String's own buffer. Length counts the characters written, without a
    terminator.
IRQL:
    PASSIVE_LEVEL (the formats take wide-string arguments).
Return Value:
    STATUS_INVALID_PARAMETER for a NULL String or Format, or an inconsistent String (an odd
    length, Length above MaximumLength, MaximumLength 0xFFFF, a length without a buffer);
    STATUS_BUFFER_OVERFLOW when the text does not fit, with Length set to MaximumLength;
    otherwise STATUS_SUCCESS.
--*/
{
    PAGED_CODE();

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
