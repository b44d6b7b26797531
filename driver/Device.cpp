// Device add: the device object with its persistent instance number, its queues, timers and locks,
// and the serial port published under the COM name; device cleanup; the three WDM requests the
// driver answers before the framework sees them.
#include "Driver.h"
#include "TarnoMessages.h"

#include "Device.tmh"

typedef NTSTATUS(NTAPI* PFN_QUERY_REGISTRY_VALUES)(ULONG RelativeTo, PCWSTR Path,
                                                   PRTL_QUERY_REGISTRY_TABLE QueryTable, PVOID Context,
                                                   PVOID Environment);

static BOOLEAN SerialCommNameTaken(PCWSTR DeviceName)
/*++
Routine Description:
    Looks the kernel name DeviceName up in the SERIALCOMM map, through
    RtlQueryRegistryValuesEx where the system has it, to learn whether another port holds it.
IRQL:
    PASSIVE_LEVEL.
Return Value:
    TRUE when the value exists with a non-empty COM name. A value too long for the
    20-byte buffer of the lookup counts as not taken.
--*/
{
    PAGED_CODE();

    UNICODE_STRING routineName;
    RtlInitUnicodeString(&routineName, L"RtlQueryRegistryValuesEx");
    PFN_QUERY_REGISTRY_VALUES query = (PFN_QUERY_REGISTRY_VALUES)MmGetSystemRoutineAddress(&routineName);
    if (query == NULL)
    {
        query = RtlQueryRegistryValues;
    }
    WCHAR buffer[10];
    UNICODE_STRING portName;
    portName.Buffer = buffer;
    portName.Length = 0;
    portName.MaximumLength = sizeof(buffer);
    RTL_QUERY_REGISTRY_TABLE table[2];
    RtlZeroMemory(table, sizeof(table));
    table[0].Flags = RTL_QUERY_REGISTRY_DIRECT | RTL_QUERY_REGISTRY_REQUIRED;
    table[0].Name = (PWSTR)DeviceName;
    table[0].EntryContext = &portName;
    NTSTATUS status = query(RTL_REGISTRY_DEVICEMAP, L"SERIALCOMM", table, NULL, NULL);
    TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_FLAG_GENERAL, "SERIALCOMM lookup of %ws: 0x%x, %u bytes",
                DeviceName, status, (ULONG)portName.Length);
    return status == STATUS_SUCCESS && portName.Length != 0;
}

static NTSTATUS AllocateInstanceNumber(PWDFDEVICE_INIT DeviceInit, PULONG InUse, PULONG Number)
/*++
Routine Description:
    Claims the lowest instance number whose bit is clear in InUse: sets its bit and records
    the number in the hardware key of the device being added (a failure to record it is
    ignored). The caller holds InstanceLock.
IRQL:
    PASSIVE_LEVEL.
Return Value:
    STATUS_SUCCESS with the number in Number, or STATUS_INTERNAL_ERROR when all are claimed.
--*/
{
    PAGED_CODE();

    for (ULONG k = 0; k < MAX_INSTANCE_NUMBERS; ++k)
    {
        if ((*InUse & (1u << k)) == 0)
        {
            *InUse |= 1u << k;
            *Number = k;
            // A failure to record the number is ignored; the number is still used for this add.
            NTSTATUS status = WriteDeviceInitULong(DeviceInit, L"InstanceNumber", k);
            TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_FLAG_GENERAL,
                        "allocated instance number %u (write 0x%x)", k, status);
            return STATUS_SUCCESS;
        }
    }
    TraceEvents(TRACE_LEVEL_ERROR, TRACE_FLAG_GENERAL, "all %u instance numbers are claimed",
                MAX_INSTANCE_NUMBERS);
    return STATUS_INTERNAL_ERROR;
}

static NTSTATUS ClaimInstanceNumber(WDFDRIVER Driver, PWDFDEVICE_INIT DeviceInit, PULONG Number)
/*++
Routine Description:
    Decides, under InstanceLock, the instance number of the device being added: the number
    stored in its hardware key, unless another port holds that name in SERIALCOMM, or else the
    lowest free one. Writes the in-use set back to UseInstance. A number claimed here stays
    claimed when a later step of device add fails.
IRQL:
    PASSIVE_LEVEL.
Return Value:
    STATUS_SUCCESS with the number in Number, STATUS_INTERNAL_ERROR when all numbers are
    claimed, or the failure of the lock, of reading or writing UseInstance, or of formatting the
    name.
--*/
{
    PAGED_CODE();

    NTSTATUS status = WdfWaitLockAcquire(InstanceLock, NULL);
    if (!NT_SUCCESS(status))
    {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_FLAG_GENERAL, "InstanceLock failed 0x%x", status);
        return status;
    }
    ULONG inUse = 0;
    status = ReadDriverParameter(Driver, L"UseInstance", sizeof(inUse), &inUse);
    if (!NT_SUCCESS(status))
    {
        WdfWaitLockRelease(InstanceLock);
        return status;
    }
    TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_FLAG_GENERAL, "instance numbers in use 0x%08x", inUse);

    ULONG stored = 0;
    if (!NT_SUCCESS(ReadDeviceInitULong(DeviceInit, L"InstanceNumber", &stored)))
    {
        // A new device.
        status = AllocateInstanceNumber(DeviceInit, &inUse, Number);
        if (!NT_SUCCESS(status))
        {
            WdfWaitLockRelease(InstanceLock);
            return status;
        }
    }
    else
    {
        TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_FLAG_GENERAL, "stored instance number %u", stored);
        inUse |= 1u << (stored % MAX_INSTANCE_NUMBERS);
        WCHAR nameBuffer[NAME_BUFFER_BYTES / sizeof(WCHAR)];
        UNICODE_STRING name;
        name.Buffer = nameBuffer;
        name.Length = 0;
        name.MaximumLength = sizeof(nameBuffer) - sizeof(WCHAR);
        status = FormatUnicodeString(&name, L"%ws%u", DEVICE_NAME_PREFIX, stored);
        if (!NT_SUCCESS(status))
        {
            WdfWaitLockRelease(InstanceLock);
            return status;
        }
        nameBuffer[name.Length / sizeof(WCHAR)] = 0;
        if (SerialCommNameTaken(nameBuffer))
        {
            // Another device holds this name: move this one to the lowest free number.
            status = AllocateInstanceNumber(DeviceInit, &inUse, Number);
            if (!NT_SUCCESS(status))
            {
                WdfWaitLockRelease(InstanceLock);
                return status;
            }
        }
        else
        {
            *Number = stored;
        }
    }

    status = WriteDriverParameter(Driver, L"UseInstance", REG_DWORD, sizeof(inUse), &inUse);
    WdfWaitLockRelease(InstanceLock);
    if (!NT_SUCCESS(status))
    {
        return status;
    }
    TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_FLAG_GENERAL, "instance number %u chosen, in use 0x%08x",
                *Number, inUse);
    return STATUS_SUCCESS;
}

static NTSTATUS CreateSerialDevice(WDFDRIVER Driver, PWDFDEVICE_INIT DeviceInit, WDFDEVICE* Device)
/*++
Routine Description:
    Creates the device object: its instance number and kernel name, security descriptor,
    exclusivity, serial port type and request context, its Plug and Play and power callbacks,
    power policy ownership, file object callbacks and WDM preprocessing. Stores Driver and
    InstanceNumber in the new context.
IRQL:
    PASSIVE_LEVEL.
Return Value:
    STATUS_SUCCESS with the device in Device, or the failure of the step that failed.
    Device is left alone until WdfDeviceCreate succeeds.
--*/
{
    PAGED_CODE();

    ULONG instance = 0;
    NTSTATUS status = ClaimInstanceNumber(Driver, DeviceInit, &instance);
    if (!NT_SUCCESS(status))
    {
        return status;
    }

    WCHAR nameBuffer[NAME_BUFFER_BYTES / sizeof(WCHAR)];
    UNICODE_STRING deviceName;
    deviceName.Buffer = nameBuffer;
    deviceName.Length = 0;
    deviceName.MaximumLength = sizeof(nameBuffer);
    status = FormatUnicodeString(&deviceName, L"%ws%u", DEVICE_NAME_PREFIX, instance);
    if (!NT_SUCCESS(status))
    {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_FLAG_GENERAL, "formatting the device name failed 0x%x", status);
        return status;
    }
    status = WdfDeviceInitAssignName(DeviceInit, &deviceName);
    if (!NT_SUCCESS(status))
    {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_FLAG_GENERAL, "WdfDeviceInitAssignName failed 0x%x", status);
        return status;
    }

    DECLARE_CONST_UNICODE_STRING(sddl, L"D:P(A;;GA;;;SY)(A;;GA;;;BA)(A;;GA;;;WD)(A;;GA;;;RC)");
    status = WdfDeviceInitAssignSDDLString(DeviceInit, &sddl);
    if (!NT_SUCCESS(status))
    {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_FLAG_GENERAL, "WdfDeviceInitAssignSDDLString failed 0x%x",
                    status);
        return status;
    }

    if (!DriverParameters.EnableMultipleOpen)
    {
        WdfDeviceInitSetExclusive(DeviceInit, TRUE);
    }
    WdfDeviceInitSetDeviceType(DeviceInit, FILE_DEVICE_SERIAL_PORT);
    WDF_OBJECT_ATTRIBUTES requestAttributes;
    WDF_OBJECT_ATTRIBUTES_INIT_CONTEXT_TYPE(&requestAttributes, REQUEST_CONTEXT);
    WdfDeviceInitSetRequestAttributes(DeviceInit, &requestAttributes);

    WDF_PNPPOWER_EVENT_CALLBACKS pnpPower;
    WDF_PNPPOWER_EVENT_CALLBACKS_INIT(&pnpPower);
    pnpPower.EvtDevicePrepareHardware = EvtDevicePrepareHardware;
    pnpPower.EvtDeviceReleaseHardware = EvtDeviceReleaseHardware;
    pnpPower.EvtDeviceD0Entry = EvtDeviceD0Entry;
    pnpPower.EvtDeviceD0Exit = EvtDeviceD0Exit;
    pnpPower.EvtDeviceSurpriseRemoval = EvtDeviceSurpriseRemoval;
    WdfDeviceInitSetPnpPowerEventCallbacks(DeviceInit, &pnpPower);

    ULONG relinquish = 0;
    ReadDeviceInitULong(DeviceInit, L"SerialRelinquishPowerPolicy", &relinquish);
    if (relinquish != 0)
    {
        WdfDeviceInitSetPowerPolicyOwnership(DeviceInit, FALSE);
    }

    WDF_FILEOBJECT_CONFIG fileConfig;
    WDF_FILEOBJECT_CONFIG_INIT(&fileConfig, EvtDeviceFileCreate, EvtFileClose, EvtFileCleanup);
    fileConfig.AutoForwardCleanupClose = WdfUseDefault;
    fileConfig.FileObjectClass = WdfFileObjectWdfCannotUseFsContexts;
    WDF_OBJECT_ATTRIBUTES fileAttributes;
    WDF_OBJECT_ATTRIBUTES_INIT(&fileAttributes);
    fileAttributes.SynchronizationScope = WdfSynchronizationScopeNone;
    WdfDeviceInitSetFileObjectConfig(DeviceInit, &fileConfig, &fileAttributes);

    status = WdfDeviceInitAssignWdmIrpPreprocessCallback(DeviceInit, PreprocessFlushBuffers,
                                                         IRP_MJ_FLUSH_BUFFERS, NULL, 0);
    if (NT_SUCCESS(status))
    {
        status = WdfDeviceInitAssignWdmIrpPreprocessCallback(DeviceInit, PreprocessQueryInformation,
                                                             IRP_MJ_QUERY_INFORMATION, NULL, 0);
    }
    if (NT_SUCCESS(status))
    {
        status = WdfDeviceInitAssignWdmIrpPreprocessCallback(DeviceInit, PreprocessSetInformation,
                                                             IRP_MJ_SET_INFORMATION, NULL, 0);
    }
    if (!NT_SUCCESS(status))
    {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_FLAG_GENERAL, "assigning the IRP preprocessing failed 0x%x",
                    status);
        return status;
    }

    WDF_OBJECT_ATTRIBUTES deviceAttributes;
    WDF_OBJECT_ATTRIBUTES_INIT_CONTEXT_TYPE(&deviceAttributes, DEVICE_CONTEXT);
    deviceAttributes.EvtCleanupCallback = EvtDeviceCleanup;
    deviceAttributes.SynchronizationScope = WdfSynchronizationScopeDevice;
    status = WdfDeviceCreate(&DeviceInit, &deviceAttributes, Device);
    if (!NT_SUCCESS(status))
    {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_FLAG_GENERAL, "WdfDeviceCreate failed 0x%x", status);
        return status;
    }
    PDEVICE_CONTEXT context = GetDeviceContext(*Device);
    context->Driver = Driver;
    context->InstanceNumber = instance;
    return STATUS_SUCCESS;
}

static NTSTATUS CreateQueues(PDEVICE_CONTEXT Context)
/*++
Routine Description:
    Creates the four manual queues and the parallel default queue.
IRQL:
    PASSIVE_LEVEL.
Return Value:
    STATUS_SUCCESS, or the failure of WdfIoQueueCreate.
--*/
{
    PAGED_CODE();

    WDFQUEUE* manualQueues[] = {&Context->ReadQueue, &Context->WriteQueue, &Context->MaskQueue,
                                &Context->PurgeQueue};
    for (WDFQUEUE* queue : manualQueues)
    {
        WDF_IO_QUEUE_CONFIG config;
        WDF_IO_QUEUE_CONFIG_INIT(&config, WdfIoQueueDispatchManual);
        config.PowerManaged = WdfUseDefault;
        config.EvtIoStop = StopCurrent;
        config.EvtIoCanceledOnQueue = CanceledInQueue;
        NTSTATUS status = WdfIoQueueCreate(Context->Device, &config, WDF_NO_OBJECT_ATTRIBUTES, queue);
        if (!NT_SUCCESS(status))
        {
            TraceEvents(TRACE_LEVEL_ERROR, TRACE_FLAG_GENERAL, "%ws: creating a manual queue failed 0x%x",
                        PortNameOf(Context), status);
            return status;
        }
    }

    WDF_IO_QUEUE_CONFIG config;
    WDF_IO_QUEUE_CONFIG_INIT_DEFAULT_QUEUE(&config, WdfIoQueueDispatchParallel);
    config.PowerManaged = WdfUseDefault;
    config.AllowZeroLengthRequests = FALSE;
    config.EvtIoRead = EvtIoRead;
    config.EvtIoWrite = EvtIoWrite;
    config.EvtIoDeviceControl = EvtIoDeviceControl;
    config.EvtIoInternalDeviceControl = EvtIoInternalDeviceControl;
    config.EvtIoStop = StopCurrent;
    WDF_OBJECT_ATTRIBUTES attributes;
    WDF_OBJECT_ATTRIBUTES_INIT(&attributes);
    attributes.ExecutionLevel = WdfExecutionLevelPassive;
    attributes.SynchronizationScope = WdfSynchronizationScopeNone;
    WDFQUEUE defaultQueue = NULL;
    NTSTATUS status = WdfIoQueueCreate(Context->Device, &config, &attributes, &defaultQueue);
    if (!NT_SUCCESS(status))
    {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_FLAG_GENERAL, "%ws: creating the default queue failed 0x%x",
                    PortNameOf(Context), status);
    }
    return status;
}

static NTSTATUS CreateTimersAndLocks(PDEVICE_CONTEXT Context)
/*++
Routine Description:
    Creates the two one-shot total timers and the device's five spin locks, parented to the
    device.
IRQL:
    PASSIVE_LEVEL.
Return Value:
    STATUS_SUCCESS, or the failure of WdfTimerCreate or WdfSpinLockCreate.
--*/
{
    PAGED_CODE();

    PFN_WDF_TIMER callbacks[] = {ReadTotalTimerCallback, WriteTotalTimerCallback};
    WDFTIMER* timers[] = {&Context->ReadTotalTimer, &Context->WriteTotalTimer};
    for (int i = 0; i < 2; ++i)
    {
        WDF_TIMER_CONFIG config;
        WDF_TIMER_CONFIG_INIT(&config, callbacks[i]);
        config.Period = 0;
        config.AutomaticSerialization = TRUE;
        config.TolerableDelay = 0;
        WDF_OBJECT_ATTRIBUTES attributes;
        WDF_OBJECT_ATTRIBUTES_INIT(&attributes);
        attributes.ParentObject = Context->Device;
        NTSTATUS status = WdfTimerCreate(&config, &attributes, timers[i]);
        if (!NT_SUCCESS(status))
        {
            TraceEvents(TRACE_LEVEL_ERROR, TRACE_FLAG_GENERAL, "%ws: WdfTimerCreate failed 0x%x",
                        PortNameOf(Context), status);
            return status;
        }
    }

    WDFSPINLOCK* locks[] = {&Context->SettingsLock, &Context->QueueLock, &Context->RecoveryLock,
                            &Context->RxLock, &Context->OpenLock};
    for (WDFSPINLOCK* lock : locks)
    {
        WDF_OBJECT_ATTRIBUTES attributes;
        WDF_OBJECT_ATTRIBUTES_INIT(&attributes);
        attributes.ParentObject = Context->Device;
        NTSTATUS status = WdfSpinLockCreate(&attributes, lock);
        if (!NT_SUCCESS(status))
        {
            TraceEvents(TRACE_LEVEL_ERROR, TRACE_FLAG_GENERAL, "%ws: WdfSpinLockCreate failed 0x%x",
                        PortNameOf(Context), status);
            return status;
        }
    }
    return STATUS_SUCCESS;
}

static NTSTATUS PublishPort(PDEVICE_CONTEXT Context)
/*++
Routine Description:
    Publishes the port under its COM name: takes the kernel name into DeviceName, reads
    PortName from the hardware key (16 bytes at most, its terminator included), creates the
    \DosDevices\ link, writes the SERIALCOMM value (REG_SZ, the bytes PortName has in the key)
    and registers the COM-port interface. When a step fails, a SERIALCOMM value already written
    is deleted again and DeviceName is dropped, so that device cleanup leaves the map alone.
IRQL:
    PASSIVE_LEVEL.
Return Value:
    STATUS_SUCCESS; STATUS_OBJECT_NAME_NOT_FOUND when PortName is missing,
    STATUS_BUFFER_OVERFLOW when it does not fit with its terminator, or the failure of the step
    that failed.
--*/
{
    PAGED_CODE();

    WDF_OBJECT_ATTRIBUTES attributes;
    WDF_OBJECT_ATTRIBUTES_INIT(&attributes);
    attributes.ParentObject = Context->Device;
    WDFSTRING nameString = NULL;
    NTSTATUS status = WdfStringCreate(NULL, &attributes, &nameString);
    if (NT_SUCCESS(status))
    {
        status = WdfDeviceRetrieveDeviceName(Context->Device, nameString);
    }
    if (!NT_SUCCESS(status))
    {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_FLAG_GENERAL, "retrieving the device name failed 0x%x", status);
        return status;
    }
    WdfStringGetUnicodeString(nameString, &Context->DeviceName);

    ULONG storedLength = 0;
    status = ReadDeviceValue(Context->Device, L"PortName", sizeof(Context->PortName), Context->PortName,
                             &storedLength);
    if (NT_SUCCESS(status) && Context->PortName[RTL_NUMBER_OF(Context->PortName) - 1] != 0)
    {
        // Sixteen bytes without a terminator is a name too long for the port name field.
        status = STATUS_BUFFER_OVERFLOW;
    }
    if (!NT_SUCCESS(status))
    {
        // A name that did not fit may have been stored in part; it must not be used as text.
        RtlZeroMemory(Context->PortName, sizeof(Context->PortName));
    }
    if (NT_SUCCESS(status))
    {
        WCHAR linkBuffer[NAME_BUFFER_BYTES / sizeof(WCHAR)];
        UNICODE_STRING linkName;
        linkName.Buffer = linkBuffer;
        linkName.Length = 0;
        linkName.MaximumLength = sizeof(linkBuffer);
        status = FormatUnicodeString(&linkName, L"%ws%ws", DOS_DEVICES_PREFIX, Context->PortName);
        if (NT_SUCCESS(status))
        {
            status = WdfDeviceCreateSymbolicLink(Context->Device, &linkName);
        }
        if (!NT_SUCCESS(status))
        {
            TraceEvents(TRACE_LEVEL_ERROR, TRACE_FLAG_GENERAL,
                        "%ws: creating the DOS device link failed 0x%x", PortNameOf(Context), status);
        }
    }
    else
    {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_FLAG_GENERAL, "reading PortName failed 0x%x", status);
    }
    if (NT_SUCCESS(status))
    {
        status = RtlWriteRegistryValue(RTL_REGISTRY_DEVICEMAP, L"SERIALCOMM", Context->DeviceName.Buffer,
                                       REG_SZ, Context->PortName, storedLength);
        if (NT_SUCCESS(status))
        {
            Context->SerialCommWritten = TRUE;
        }
        else
        {
            TraceEvents(TRACE_LEVEL_ERROR, TRACE_FLAG_GENERAL, "%ws: writing SERIALCOMM failed 0x%x",
                        PortNameOf(Context), status);
        }
    }
    if (NT_SUCCESS(status))
    {
        status = WdfDeviceCreateDeviceInterface(Context->Device, &GUID_DEVINTERFACE_COMPORT, NULL);
        if (!NT_SUCCESS(status))
        {
            TraceEvents(TRACE_LEVEL_ERROR, TRACE_FLAG_GENERAL,
                        "%ws: creating the COM port interface failed 0x%x", PortNameOf(Context), status);
        }
    }
    if (!NT_SUCCESS(status))
    {
        if (Context->SerialCommWritten)
        {
            RtlDeleteRegistryValue(RTL_REGISTRY_DEVICEMAP, L"SERIALCOMM", Context->DeviceName.Buffer);
            Context->SerialCommWritten = FALSE;
        }
        // Device cleanup must not touch the map again.
        Context->DeviceName.Buffer = NULL;
        return status;
    }
    TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_FLAG_GENERAL, "%ws: published as %ws", PortNameOf(Context),
                Context->DeviceName.Buffer);
    return STATUS_SUCCESS;
}

NTSTATUS EvtDriverDeviceAdd(WDFDRIVER Driver, PWDFDEVICE_INIT DeviceInit)
/*++
Routine Description:
    Device add: creates the device object, initialises its context, creates its queues,
    timers and locks, and publishes the port. A failure once the device exists writes the
    DeviceAdd event; the framework then deletes the device and device cleanup runs.
IRQL:
    PASSIVE_LEVEL.
Return Value:
    STATUS_SUCCESS, or the failure of the step that failed.
--*/
{
    PAGED_CODE();

    TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_FLAG_GENERAL, "EvtDriverDeviceAdd: Entry");
    WDFDEVICE device = NULL;
    NTSTATUS status = CreateSerialDevice(Driver, DeviceInit, &device);
    if (!NT_SUCCESS(status))
    {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_FLAG_GENERAL, "EvtDriverDeviceAdd: Exit 0x%x", status);
        return status;
    }

    PDEVICE_CONTEXT context = GetDeviceContext(device);
    context->Device = device;
    context->RxSize = 4096;
    context->BulkInBufferLength = 4096;
    context->UsbDevice = NULL;
    context->OpenCount = 0;
    context->TxQueueSize = 0;
    context->EventHistory = 0;
    context->PortOpen = FALSE;
    context->RecoveryInProgress = FALSE;
    context->DeviceGone = FALSE;
    RtlZeroMemory(context->PortName, sizeof(context->PortName));

    status = CreateQueues(context);
    if (NT_SUCCESS(status))
    {
        status = CreateTimersAndLocks(context);
    }
    if (NT_SUCCESS(status))
    {
        status = PublishPort(context);
    }
    if (!NT_SUCCESS(status))
    {
        WriteEventLog(WdfDeviceWdmGetDeviceObject(device), TARNO_FAILED_DEVICE_ADD, status, 0, NULL, 0);
    }
    TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_FLAG_GENERAL, "%ws: EvtDriverDeviceAdd: Exit 0x%x",
                PortNameOf(context), status);
    return status;
}

VOID EvtDeviceCleanup(WDFOBJECT Device)
/*++
Routine Description:
    Cleanup of the device object: frees the receive ring, deletes the SERIALCOMM value, and
    under InstanceLock releases the instance number when the hardware key names another one by
    now. Failures are traced.
IRQL:
    PASSIVE_LEVEL.
Return Value:
    None.
--*/
{
    PAGED_CODE();

    PDEVICE_CONTEXT context = GetDeviceContext(Device);
    TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_FLAG_GENERAL, "%ws: EvtDeviceCleanup: Entry",
                PortNameOf(context));

    if (context->RxRing != NULL)
    {
        ExFreePoolWithTag(context->RxRing, context->RxRingTag);
        context->RxRing = NULL;
    }

    if (context->DeviceName.Buffer != NULL && context->SerialCommWritten)
    {
        NTSTATUS status =
            RtlDeleteRegistryValue(RTL_REGISTRY_DEVICEMAP, L"SERIALCOMM", context->DeviceName.Buffer);
        if (NT_SUCCESS(status))
        {
            context->DeviceName.Buffer = NULL;
            context->SerialCommWritten = FALSE;
        }
        else
        {
            TraceEvents(TRACE_LEVEL_ERROR, TRACE_FLAG_GENERAL, "%ws: deleting SERIALCOMM failed 0x%x",
                        PortNameOf(context), status);
        }
    }

    NTSTATUS status = WdfWaitLockAcquire(InstanceLock, NULL);
    if (!NT_SUCCESS(status))
    {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_FLAG_GENERAL, "%ws: InstanceLock failed 0x%x",
                    PortNameOf(context), status);
        return;
    }
    ULONG stored = 0;
    status = ReadDeviceValue((WDFDEVICE)Device, L"InstanceNumber", sizeof(stored), &stored, NULL);
    if (NT_SUCCESS(status) && stored != context->InstanceNumber)
    {
        // The key names another number now: this device's number is free again.
        ULONG inUse = 0;
        status = ReadDriverParameter(context->Driver, L"UseInstance", sizeof(inUse), &inUse);
        if (NT_SUCCESS(status))
        {
            inUse &= ~(1u << (context->InstanceNumber % MAX_INSTANCE_NUMBERS));
            WriteDriverParameter(context->Driver, L"UseInstance", REG_DWORD, sizeof(inUse), &inUse);
        }
    }
    WdfWaitLockRelease(InstanceLock);
    TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_FLAG_GENERAL, "%ws: EvtDeviceCleanup: Exit",
                PortNameOf(context));
}

// --- WDM requests answered before the framework ------------------------------------------------

NTSTATUS PreprocessFlushBuffers(WDFDEVICE Device, PIRP Irp)
/*++
Routine Description:
    IRP_MJ_FLUSH_BUFFERS, answered before the framework sees it: stops WriteQueue under
    QueueLock and starts it again, without waiting for writes in progress, and completes the
    flush.
IRQL:
    PASSIVE_LEVEL. It takes QueueLock itself, so it is not pageable.
Return Value:
    STATUS_SUCCESS, the status the flush is completed with.
--*/
{
    PDEVICE_CONTEXT context = GetDeviceContext(Device);
    TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_FLAG_GENERAL, "%ws: IRP_MJ_FLUSH_BUFFERS",
                PortNameOf(context));
    WdfSpinLockAcquire(context->QueueLock);
    WdfIoQueueStop(context->WriteQueue, NULL, NULL);
    WdfSpinLockRelease(context->QueueLock);
    WdfIoQueueStart(context->WriteQueue);
    Irp->IoStatus.Status = STATUS_SUCCESS;
    Irp->IoStatus.Information = 0;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    return STATUS_SUCCESS;
}

NTSTATUS PreprocessQueryInformation(WDFDEVICE Device, PIRP Irp)
/*++
Routine Description:
    IRP_MJ_QUERY_INFORMATION, answered before the framework sees it:
    FileStandardInformation and FilePositionInformation are all zero.
IRQL:
    PASSIVE_LEVEL.
Return Value:
    The status the request is completed with: STATUS_SUCCESS, STATUS_BUFFER_TOO_SMALL for a
    buffer too short for the class, STATUS_INVALID_PARAMETER for any other class.
--*/
{
    PAGED_CODE();

    PDEVICE_CONTEXT context = GetDeviceContext(Device);
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    FILE_INFORMATION_CLASS infoClass = stack->Parameters.QueryFile.FileInformationClass;
    ULONG length = stack->Parameters.QueryFile.Length;
    NTSTATUS status = STATUS_INVALID_PARAMETER;
    ULONG_PTR information = 0;
    if (infoClass == FileStandardInformation)
    {
        if (length >= sizeof(FILE_STANDARD_INFORMATION))
        {
            RtlZeroMemory(Irp->AssociatedIrp.SystemBuffer, sizeof(FILE_STANDARD_INFORMATION));
            information = sizeof(FILE_STANDARD_INFORMATION);
            status = STATUS_SUCCESS;
        }
        else
        {
            status = STATUS_BUFFER_TOO_SMALL;
        }
    }
    else if (infoClass == FilePositionInformation)
    {
        if (length >= sizeof(FILE_POSITION_INFORMATION))
        {
            ((PFILE_POSITION_INFORMATION)Irp->AssociatedIrp.SystemBuffer)->CurrentByteOffset.QuadPart = 0;
            information = sizeof(FILE_POSITION_INFORMATION);
            status = STATUS_SUCCESS;
        }
        else
        {
            status = STATUS_BUFFER_TOO_SMALL;
        }
    }
    TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_FLAG_GENERAL,
                "%ws: IRP_MJ_QUERY_INFORMATION class %u length %u: 0x%x", PortNameOf(context),
                (ULONG)infoClass, length, status);
    Irp->IoStatus.Status = status;
    Irp->IoStatus.Information = information;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    return status;
}

NTSTATUS PreprocessSetInformation(WDFDEVICE Device, PIRP Irp)
/*++
Routine Description:
    IRP_MJ_SET_INFORMATION, answered before the framework sees it:
    FileAllocationInformation and FileEndOfFileInformation succeed and change nothing.
IRQL:
    PASSIVE_LEVEL.
Return Value:
    The status the request is completed with: STATUS_SUCCESS, or STATUS_INVALID_PARAMETER
    for any other class.
--*/
{
    PAGED_CODE();

    PDEVICE_CONTEXT context = GetDeviceContext(Device);
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    FILE_INFORMATION_CLASS infoClass = stack->Parameters.SetFile.FileInformationClass;
    NTSTATUS status = (infoClass == FileAllocationInformation || infoClass == FileEndOfFileInformation)
                          ? STATUS_SUCCESS
                          : STATUS_INVALID_PARAMETER;
    TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_FLAG_GENERAL, "%ws: IRP_MJ_SET_INFORMATION class %u: 0x%x",
                PortNameOf(context), (ULONG)infoClass, status);
    Irp->IoStatus.Status = status;
    Irp->IoStatus.Information = 0;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    return status;
}
