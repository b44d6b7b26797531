// Power transitions, selective suspend and recovery of the reader.
#include "Driver.h"

#include "TarnoMessages.h"
#include "Power.tmh"

// The dump data of a D0 exit entry: its unique error value.
#define D0_EXIT_UNIQUE_VALUE 4
// The pause after a port reset (100-ns units, relative).
#define PORT_RESET_PAUSE (-20000000LL)
// The idle time before selective suspend.
#define IDLE_TIMEOUT_MS 10000

static EVT_WDF_WORKITEM RecoveryWorkItem;

static const char* PowerStateName(WDF_POWER_DEVICE_STATE State)
/*++
Routine Description:
    The name a framework device power state is traced by.
IRQL:
    Any.
Return Value:
    "WdfPowerDeviceInvalid" to "WdfPowerDeviceMaximum".
--*/
{
    static const char* const names[] = {"WdfPowerDeviceInvalid",
                                        "WdfPowerDeviceD0",
                                        "WdfPowerDeviceD1",
                                        "WdfPowerDeviceD2",
                                        "WdfPowerDeviceD3",
                                        "WdfPowerDeviceD3Final",
                                        "WdfPowerDevicePrepareForHibernation",
                                        "WdfPowerDeviceMaximum"};
    return (ULONG)State < ARRAYSIZE(names) ? names[State] : "WdfPowerDeviceInvalid";
}

static const char* PowerActionName(POWER_ACTION Action)
/*++
Routine Description:
    The name a system power action is traced by.
IRQL:
    Any.
Return Value:
    "PowerActionNone" to "PowerActionWarmEject".
--*/
{
    static const char* const names[] = {
        "PowerActionNone",     "PowerActionReserved",      "PowerActionSleep",       "PowerActionHibernate",
        "PowerActionShutdown", "PowerActionShutdownReset", "PowerActionShutdownOff", "PowerActionWarmEject"};
    return (ULONG)Action < ARRAYSIZE(names) ? names[Action] : "PowerActionNone";
}

NTSTATUS EvtDeviceD0Entry(WDFDEVICE Device, WDF_POWER_DEVICE_STATE PreviousState)
/*++
Routine Description:
    The device enters D0: logs the transition, restarts the bulk-in read chain when the port is
    open, and starts the interrupt pipe with its continuous reader.
IRQL:
    PASSIVE_LEVEL. It runs on the power-up path, which must not page, so it is not pageable.
Return Value:
    STATUS_SUCCESS, or the failure of restarting the read chain or the interrupt pipe.
--*/
{
    PDEVICE_CONTEXT context = GetDeviceContext(Device);
    TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_FLAG_GENERAL, "%ws: EvtDeviceD0Entry from %s",
                PortNameOf(context), PowerStateName(PreviousState));
    WriteEventLog(WdfDeviceWdmGetDeviceObject(Device), TARNO_D3_TO_D0, STATUS_SUCCESS, 0, NULL, 0);

    NTSTATUS status = STATUS_SUCCESS;
    if (ReadBooleanNoFence(&context->PortOpen))
    {
        status = StartBulkInRead(context);
    }
    if (NT_SUCCESS(status))
    {
        status = StartPipe(context, PIPE_KIND_INTERRUPT);
    }
    TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_FLAG_GENERAL, "%ws: EvtDeviceD0Entry: Exit 0x%x",
                PortNameOf(context), status);
    return status;
}

static NTSTATUS D0ExitMessage(WDF_POWER_DEVICE_STATE TargetState, POWER_ACTION Action)
/*++
Routine Description:
    The event-log message of a D0 exit.
IRQL:
    Any.
Return Value:
    The message code, or 0 when the transition is not logged.
--*/
{
    switch (TargetState)
    {
    case WdfPowerDeviceD1:
        return TARNO_D0_TO_D1;
    case WdfPowerDeviceD2:
        return TARNO_D0_TO_D2;
    case WdfPowerDeviceD3:
    case WdfPowerDeviceD3Final:
        switch (Action)
        {
        case PowerActionSleep:
            return TARNO_D0_TO_D3_SLEEP;
        case PowerActionHibernate:
            return TARNO_D0_TO_D3_HIBERNATE;
        case PowerActionShutdown:
        case PowerActionShutdownReset:
            return TARNO_D0_TO_D3_REBOOT;
        case PowerActionShutdownOff:
            return TARNO_D0_TO_D3_SHUTDOWN;
        default:
            return TARNO_D0_TO_D3_REMOVE;
        }
    default:
        return 0;
    }
}

NTSTATUS EvtDeviceD0Exit(WDFDEVICE Device, WDF_POWER_DEVICE_STATE TargetState)
/*++
Routine Description:
    The device leaves D0: logs the transition with the system power action as dump data, stops
    the interrupt pipe and the bulk-in read chain.
IRQL:
    PASSIVE_LEVEL.
Return Value:
    STATUS_SUCCESS: leaving D0 never fails.
--*/
{
    PAGED_CODE();

    PDEVICE_CONTEXT context = GetDeviceContext(Device);
    POWER_ACTION action = WdfDeviceGetSystemPowerAction(Device);
    TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_FLAG_GENERAL, "%ws: EvtDeviceD0Exit to %s, %s",
                PortNameOf(context), PowerStateName(TargetState), PowerActionName(action));
    NTSTATUS message = D0ExitMessage(TargetState, action);
    if (message != 0)
    {
        ULONG dump = (ULONG)action;
        WriteEventLog(WdfDeviceWdmGetDeviceObject(Device), message, STATUS_SUCCESS, D0_EXIT_UNIQUE_VALUE,
                      &dump, sizeof(dump));
    }
    StopPipe(context, PIPE_KIND_INTERRUPT);
    NTSTATUS status = StopBulkInRead(context);
    TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_FLAG_GENERAL, "%ws: EvtDeviceD0Exit: read chain stopped 0x%x",
                PortNameOf(context), status);
    return STATUS_SUCCESS;
}

VOID EvtDeviceSurpriseRemoval(WDFDEVICE Device)
/*++
Routine Description:
    The reader was pulled out: logs it, marks the device gone, so that no transfer is sent any
    more, and records DSR and break in the event history; a pending wait for either completes
    with them.
IRQL:
    PASSIVE_LEVEL.
Return Value:
    None.
--*/
{
    PAGED_CODE();

    PDEVICE_CONTEXT context = GetDeviceContext(Device);
    TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_FLAG_GENERAL, "%ws: EvtDeviceSurpriseRemoval",
                PortNameOf(context));
    WriteEventLog(WdfDeviceWdmGetDeviceObject(Device), TARNO_SURPRISE_REMOVAL, STATUS_SUCCESS, 0, NULL, 0);
    WriteBooleanNoFence(&context->DeviceGone, TRUE);
    // A client waiting for DSR or a break hears of the removal.
    WdfSpinLockAcquire(context->QueueLock);
    context->EventHistory |= SERIAL_EV_DSR | SERIAL_EV_BREAK;
    ULONG events = context->EventHistory & context->WaitMask;
    if (events != 0 && context->CurrentWait != NULL && NT_SUCCESS(DisarmCancelLocked(context->CurrentWait)))
    {
        context->EventHistory = 0;
        DeliverEventsLocked(context, events);
        return;
    }
    WdfSpinLockRelease(context->QueueLock);
}

VOID AssignPowerSettings(WDFDEVICE Device)
/*++
Routine Description:
    The selective suspend and wake settings: wake from the deepest state when the reader can
    wake remotely, and idle power-down after 10 s through USB selective suspend, or, when the
    host controller refuses it, idle power-down that the user must turn on. Failures are traced
    only.
IRQL:
    PASSIVE_LEVEL.
Return Value:
    None.
--*/
{
    PAGED_CODE();

    PDEVICE_CONTEXT context = GetDeviceContext(Device);
    WDF_USB_DEVICE_INFORMATION information;
    WDF_USB_DEVICE_INFORMATION_INIT(&information);
    NTSTATUS status = WdfUsbTargetDeviceRetrieveInformation(context->UsbDevice, &information);
    if (!NT_SUCCESS(status))
    {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_FLAG_GENERAL,
                    "%ws: WdfUsbTargetDeviceRetrieveInformation failed 0x%x", PortNameOf(context), status);
        return;
    }
    context->RemoteWakeCapable = (information.Traits & WDF_USB_DEVICE_TRAIT_REMOTE_WAKE_CAPABLE) != 0;
    TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_FLAG_GENERAL, "%ws: remote wake %s", PortNameOf(context),
                context->RemoteWakeCapable ? "TRUE" : "FALSE");

    if (context->RemoteWakeCapable)
    {
        WDF_DEVICE_POWER_POLICY_WAKE_SETTINGS wake;
        WDF_DEVICE_POWER_POLICY_WAKE_SETTINGS_INIT(&wake);
        wake.DxState = PowerDeviceMaximum;
        wake.UserControlOfWakeSettings = WakeAllowUserControl;
        wake.Enabled = WdfUseDefault;
        wake.ArmForWakeIfChildrenAreArmedForWake = FALSE;
        wake.IndicateChildWakeOnParentWake = FALSE;
        status = WdfDeviceAssignSxWakeSettings(Device, &wake);
        if (!NT_SUCCESS(status))
        {
            TraceEvents(TRACE_LEVEL_ERROR, TRACE_FLAG_GENERAL,
                        "%ws: WdfDeviceAssignSxWakeSettings failed 0x%x", PortNameOf(context), status);
        }
    }

    WDF_DEVICE_POWER_POLICY_IDLE_SETTINGS idle;
    WDF_DEVICE_POWER_POLICY_IDLE_SETTINGS_INIT(&idle, IdleUsbSelectiveSuspend);
    idle.DxState = PowerDeviceMaximum;
    idle.IdleTimeout = IDLE_TIMEOUT_MS;
    idle.UserControlOfIdleSettings = IdleAllowUserControl;
    idle.Enabled = WdfUseDefault;
    idle.PowerUpIdleDeviceOnSystemWake = WdfUseDefault;
    idle.IdleTimeoutType = DriverManagedIdleTimeout;
    idle.ExcludeD3Cold = WdfUseDefault;
    status = WdfDeviceAssignS0IdleSettings(Device, &idle);
    if (status == STATUS_POWER_STATE_INVALID)
    {
        // The host controller cannot suspend the reader: idle power-down without wake, off unless
        // the user turns it on.
        TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_FLAG_GENERAL,
                    "%ws: selective suspend refused, idle settings without wake", PortNameOf(context));
        idle.IdleCaps = IdleCannotWakeFromS0;
        idle.Enabled = WdfFalse;
        status = WdfDeviceAssignS0IdleSettings(Device, &idle);
    }
    if (!NT_SUCCESS(status))
    {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_FLAG_GENERAL, "%ws: WdfDeviceAssignS0IdleSettings failed 0x%x",
                    PortNameOf(context), status);
    }
}

VOID RequestRecovery(WDFDEVICE Device)
/*++
Routine Description:
    Queues one recovery pass on a work item unless one is queued or running; further requests
    are absorbed meanwhile.
IRQL:
    <= DISPATCH_LEVEL. It takes RecoveryLock.
Return Value:
    None.
--*/
{
    PDEVICE_CONTEXT context = GetDeviceContext(Device);
    WdfSpinLockAcquire(context->RecoveryLock);
    if (!context->RecoveryInProgress)
    {
        WORKITEM_CONTEXT values;
        values.Device = Device;
        values.Pipe = NULL;
        if (NT_SUCCESS(QueueDeferred(Device, &values, RecoveryWorkItem)))
        {
            context->RecoveryInProgress = TRUE;
        }
    }
    WdfSpinLockRelease(context->RecoveryLock);
    TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_FLAG_GENERAL, "%ws: RequestRecovery", PortNameOf(context));
}

static NTSTATUS ResetMarkedPipes(PDEVICE_CONTEXT Context)
/*++
Routine Description:
    Resets every pipe marked for reset, up to RetryRecovery times each, in collection order.
    A reset that finds the reader gone marks the device gone and ends the loop; a pipe whose
    every reset failed ends it too. With RetryRecovery 0 nothing is reset and the marks stay.
IRQL:
    PASSIVE_LEVEL.
Return Value:
    STATUS_SUCCESS, or the last failed reset of the pipe that could not be reset.
--*/
{
    PAGED_CODE();

    NTSTATUS lastStatus = STATUS_SUCCESS;
    ULONG count = WdfCollectionGetCount(Context->Pipes);
    for (ULONG i = 0; i < count; i++)
    {
        WDFUSBPIPE pipe = (WDFUSBPIPE)WdfCollectionGetItem(Context->Pipes, i);
        PPIPE_CONTEXT pipeContext = GetPipeContext(pipe);
        if (!ReadBooleanNoFence(&pipeContext->ResetRequested) || DriverParameters.RetryRecovery == 0)
        {
            continue;
        }
        for (ULONG attempt = 1; attempt <= DriverParameters.RetryRecovery; attempt++)
        {
            lastStatus = ResetPipe(pipe);
            if (NT_SUCCESS(lastStatus))
            {
                WriteBooleanNoFence(&pipeContext->ResetRequested, FALSE);
                break;
            }
            if (lastStatus == STATUS_NO_SUCH_DEVICE || lastStatus == STATUS_DEVICE_NOT_CONNECTED ||
                lastStatus == STATUS_DEVICE_DOES_NOT_EXIST)
            {
                WriteBooleanNoFence(&Context->DeviceGone, TRUE);
                return lastStatus;
            }
        }
        if (!NT_SUCCESS(lastStatus))
        {
            return lastStatus;
        }
    }
    return lastStatus;
}

static VOID RecoveryWorkItem(WDFWORKITEM WorkItem)
/*++
Routine Description:
    One recovery pass: resets the pipes marked for reset, escalates to a port reset when a pipe
    cannot be reset, and restarts the interrupt reader and the read chain. A reader found gone
    ends the pass with RecoveryInProgress left set, so no further pass is queued.
IRQL:
    PASSIVE_LEVEL.
Return Value:
    None.
--*/
{
    PAGED_CODE();

    PDEVICE_CONTEXT context = GetDeviceContext(GetWorkItemContext(WorkItem)->Device);
    TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_FLAG_GENERAL, "%ws: recovery: Entry", PortNameOf(context));
    NTSTATUS status = ResetMarkedPipes(context);
    if (ReadBooleanNoFence(&context->DeviceGone))
    {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_FLAG_GENERAL, "%ws: recovery: device gone", PortNameOf(context));
    }
    else if (!NT_SUCCESS(status))
    {
        status = ResetPort(context);
        if (NT_SUCCESS(status))
        {
            ULONG count = WdfCollectionGetCount(context->Pipes);
            for (ULONG i = 0; i < count; i++)
            {
                WriteBooleanNoFence(
                    &GetPipeContext((WDFUSBPIPE)WdfCollectionGetItem(context->Pipes, i))->ResetRequested,
                    FALSE);
            }
            if (ReadBooleanNoFence(&context->PortOpen))
            {
                StartBulkInRead(context);
            }
        }
    }
    else
    {
        WdfSpinLockAcquire(context->RecoveryLock);
        context->RecoveryInProgress = FALSE;
        WdfSpinLockRelease(context->RecoveryLock);
        if (!ReadBooleanNoFence(&context->DeviceGone))
        {
            StartPipe(context, PIPE_KIND_INTERRUPT);
            if (ReadBooleanNoFence(&context->PortOpen))
            {
                StartBulkInRead(context);
            }
        }
    }
    TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_FLAG_GENERAL, "%ws: recovery: Exit 0x%x", PortNameOf(context),
                status);
    WdfObjectDelete(WorkItem);
}

NTSTATUS ResetPort(PDEVICE_CONTEXT Context)
/*++
Routine Description:
    The USB port reset: stops every pipe, resets the port when the reader is still connected,
    pauses 2 seconds, and restarts the pipes when the reset succeeded.
IRQL:
    PASSIVE_LEVEL: it waits.
Return Value:
    The status of the connection check or of the reset.
--*/
{
    PAGED_CODE();

    TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_FLAG_GENERAL, "%ws: ResetPort: Entry", PortNameOf(Context));
    // RequestRecovery reads the flag under RecoveryLock from completion routines; it is written
    // under the lock here too, so that the two never race.
    WdfSpinLockAcquire(Context->RecoveryLock);
    Context->RecoveryInProgress = TRUE;
    WdfSpinLockRelease(Context->RecoveryLock);
    StopAllPipes(Context);
    NTSTATUS status = WdfUsbTargetDeviceIsConnectedSynchronous(Context->UsbDevice);
    if (!NT_SUCCESS(status))
    {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_FLAG_GENERAL,
                    "%ws: WdfUsbTargetDeviceIsConnectedSynchronous 0x%x", PortNameOf(Context), status);
    }
    else
    {
        status = WdfUsbTargetDeviceResetPortSynchronously(Context->UsbDevice);
        if (!NT_SUCCESS(status))
        {
            TraceEvents(TRACE_LEVEL_ERROR, TRACE_FLAG_GENERAL,
                        "%ws: WdfUsbTargetDeviceResetPortSynchronously failed 0x%x", PortNameOf(Context),
                        status);
        }
    }
    LARGE_INTEGER pause;
    pause.QuadPart = PORT_RESET_PAUSE;
    KeDelayExecutionThread(KernelMode, FALSE, &pause);
    WdfSpinLockAcquire(Context->RecoveryLock);
    Context->RecoveryInProgress = FALSE;
    WdfSpinLockRelease(Context->RecoveryLock);
    if (NT_SUCCESS(status))
    {
        StartAllPipes(Context);
    }
    TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_FLAG_GENERAL, "%ws: ResetPort: Exit 0x%x", PortNameOf(Context),
                status);
    return status;
}
