// The system event log entries and the trace dumps of transferred data.
#include "Driver.h"

#include "Diagnostics.tmh"

// The entry: the packet with room for five dump words (DumpData[0..4]).
#define EVENT_LOG_ENTRY_SIZE     ((UCHAR)(sizeof(IO_ERROR_LOG_PACKET) + 5 * sizeof(ULONG)))
#define EVENT_LOG_DUMP_DATA_SIZE 20
#define EVENT_LOG_DUMP_MARKER    0xFEFEFEFE
C_ASSERT(sizeof(IO_ERROR_LOG_PACKET) + 5 * sizeof(ULONG) == 68);

VOID WriteEventLog(PVOID IoObject, NTSTATUS ErrorCode, NTSTATUS FinalStatus, ULONG UniqueErrorValue,
                   const VOID* DumpData, ULONG DumpLength)
/*++
Routine Description:
    Writes one system event-log entry for IoObject (a device or driver object): the message
    ErrorCode, FinalStatus and UniqueErrorValue, up to 16 bytes of DumpData in the first four
    dump words and a marker in the fifth.
IRQL:
    <= DISPATCH_LEVEL.
Return Value:
    None. Without an object, or when no entry can be allocated, nothing is written.
--*/
{
    if (IoObject == NULL)
    {
        return;
    }
    PIO_ERROR_LOG_PACKET packet =
        (PIO_ERROR_LOG_PACKET)IoAllocateErrorLogEntry(IoObject, EVENT_LOG_ENTRY_SIZE);
    if (packet == NULL)
    {
        return;
    }
    RtlZeroMemory(packet, EVENT_LOG_ENTRY_SIZE);
    packet->MajorFunctionCode = 0;
    packet->RetryCount = 0;
    packet->DumpDataSize = EVENT_LOG_DUMP_DATA_SIZE;
    packet->NumberOfStrings = 0;
    packet->StringOffset = 0;
    packet->EventCategory = 0;
    packet->ErrorCode = ErrorCode;
    packet->UniqueErrorValue = UniqueErrorValue;
    packet->FinalStatus = FinalStatus;
    packet->SequenceNumber = 0;
    packet->IoControlCode = 0;
    packet->DeviceOffset.QuadPart = 0;
    if (DumpData != NULL && DumpLength != 0)
    {
        RtlCopyMemory(packet->DumpData, DumpData, DumpLength < 16 ? DumpLength : 16);
    }
    packet->DumpData[4] = EVENT_LOG_DUMP_MARKER;
    IoWriteErrorLogEntry(packet);
}

static VOID TraceDumpLine(const WCHAR* Port, const UCHAR* b, ULONG Count)
/*++
Routine Description:
    Traces one line of Count byte values (1 to 16) for the port Port.
IRQL:
    <= DISPATCH_LEVEL.
Return Value:
    None.
--*/
{
    switch (Count)
    {
    case 1:
        TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_FLAG_GENERAL, "%ws: %02x", Port, b[0]);
        break;
    case 2:
        TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_FLAG_GENERAL, "%ws: %02x %02x", Port, b[0], b[1]);
        break;
    case 3:
        TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_FLAG_GENERAL, "%ws: %02x %02x %02x", Port, b[0], b[1],
                    b[2]);
        break;
    case 4:
        TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_FLAG_GENERAL, "%ws: %02x %02x %02x %02x", Port, b[0], b[1],
                    b[2], b[3]);
        break;
    case 5:
        TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_FLAG_GENERAL, "%ws: %02x %02x %02x %02x %02x", Port, b[0],
                    b[1], b[2], b[3], b[4]);
        break;
    case 6:
        TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_FLAG_GENERAL, "%ws: %02x %02x %02x %02x %02x %02x", Port,
                    b[0], b[1], b[2], b[3], b[4], b[5]);
        break;
    case 7:
        TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_FLAG_GENERAL, "%ws: %02x %02x %02x %02x %02x %02x %02x",
                    Port, b[0], b[1], b[2], b[3], b[4], b[5], b[6]);
        break;
    case 8:
        TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_FLAG_GENERAL,
                    "%ws: %02x %02x %02x %02x %02x %02x %02x %02x", Port, b[0], b[1], b[2], b[3], b[4], b[5],
                    b[6], b[7]);
        break;
    case 9:
        TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_FLAG_GENERAL,
                    "%ws: %02x %02x %02x %02x %02x %02x %02x %02x %02x", Port, b[0], b[1], b[2], b[3], b[4],
                    b[5], b[6], b[7], b[8]);
        break;
    case 10:
        TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_FLAG_GENERAL,
                    "%ws: %02x %02x %02x %02x %02x %02x %02x %02x %02x %02x", Port, b[0], b[1], b[2], b[3],
                    b[4], b[5], b[6], b[7], b[8], b[9]);
        break;
    case 11:
        TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_FLAG_GENERAL,
                    "%ws: %02x %02x %02x %02x %02x %02x %02x %02x %02x %02x %02x", Port, b[0], b[1], b[2],
                    b[3], b[4], b[5], b[6], b[7], b[8], b[9], b[10]);
        break;
    case 12:
        TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_FLAG_GENERAL,
                    "%ws: %02x %02x %02x %02x %02x %02x %02x %02x %02x %02x %02x %02x", Port, b[0], b[1],
                    b[2], b[3], b[4], b[5], b[6], b[7], b[8], b[9], b[10], b[11]);
        break;
    case 13:
        TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_FLAG_GENERAL,
                    "%ws: %02x %02x %02x %02x %02x %02x %02x %02x %02x %02x %02x %02x %02x", Port, b[0], b[1],
                    b[2], b[3], b[4], b[5], b[6], b[7], b[8], b[9], b[10], b[11], b[12]);
        break;
    case 14:
        TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_FLAG_GENERAL,
                    "%ws: %02x %02x %02x %02x %02x %02x %02x %02x %02x %02x %02x %02x %02x %02x", Port, b[0],
                    b[1], b[2], b[3], b[4], b[5], b[6], b[7], b[8], b[9], b[10], b[11], b[12], b[13]);
        break;
    case 15:
        TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_FLAG_GENERAL,
                    "%ws: %02x %02x %02x %02x %02x %02x %02x %02x %02x %02x %02x %02x %02x %02x %02x", Port,
                    b[0], b[1], b[2], b[3], b[4], b[5], b[6], b[7], b[8], b[9], b[10], b[11], b[12], b[13],
                    b[14]);
        break;
    case 16:
        TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_FLAG_GENERAL,
                    "%ws: %02x %02x %02x %02x %02x %02x %02x %02x %02x %02x %02x %02x %02x %02x %02x %02x",
                    Port, b[0], b[1], b[2], b[3], b[4], b[5], b[6], b[7], b[8], b[9], b[10], b[11], b[12],
                    b[13], b[14], b[15]);
        break;
    default:
        break;
    }
}

VOID TraceDataDump(PDEVICE_CONTEXT Context, const UCHAR* Buffer, ULONG Length)
/*++
Routine Description:
    Traces Buffer at information level as lines of 16 byte values and one line of the rest,
    when a session records information-level traces.
IRQL:
    <= DISPATCH_LEVEL.
Return Value:
    None.
--*/
{
    if (Buffer == NULL || Length == 0 || !WppEnabled(TRACE_LEVEL_INFORMATION, TRACE_FLAG_GENERAL))
    {
        return;
    }
    const WCHAR* port = PortNameOf(Context);
    ULONG offset = 0;
    for (; offset + 16 <= Length; offset += 16)
    {
        TraceDumpLine(port, Buffer + offset, 16);
    }
    if (offset < Length)
    {
        TraceDumpLine(port, Buffer + offset, Length - offset);
    }
}
