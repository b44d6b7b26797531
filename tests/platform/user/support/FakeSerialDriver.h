// A fake serial port for the tests of Win32's communications functions: a small WDM function
// driver that the machine installs from a package of its own for a test device on the USB bus.
// Its device is \Device\FakeSerial0, reached as COM8. It answers the serial I/O controls from one
// state structure (Port()) that a test arranges and inspects, checks their parameters as the
// inbox serial driver does, and records every control it receives (Controls()):
// - the SET_ controls store their structure, the GET_ controls answer it; SET_DTR/CLR_DTR and
//   SET_RTS/CLR_RTS are refused (STATUS_INVALID_PARAMETER) while the handshake owns the line;
// - WAIT_ON_MASK completes at once when an event of the mask is waiting, otherwise it pends
//   (cancelable) until SignalEvents() brings one; SET_WAIT_MASK completes a waiting one with 0;
// - GET_COMMSTATUS reports Port().status and clears its errors, as the driver does once read;
// - a read completes at once with Port().readData (STATUS_TIMEOUT when that is shorter than the
//   read and Port().readTimesOut is set); a write completes with Port().writeStatus and
//   Port().writeCount, or, with Port().holdWrites, pends until CompleteHeldWrite();
// - Fail(code, status) makes every control of that code fail until ClearFailures().
#pragma once

#include <wdm.h>
#include <ntddser.h>

#include <filesystem>
#include <string>
#include <vector>

namespace fakeserial
{

inline constexpr USHORT VendorId = 0x1209;
inline constexpr USHORT ProductId = 0x5343;

struct PortState
{
    SERIAL_BAUD_RATE baud;
    SERIAL_LINE_CONTROL line;
    SERIAL_CHARS chars;
    SERIAL_HANDFLOW handflow;
    SERIAL_TIMEOUTS timeouts;
    SERIAL_QUEUE_SIZE queueSize;
    SERIAL_STATUS status;
    SERIAL_COMMPROP properties;
    ULONG waitMask;
    ULONG pendingEvents; // events that happened while no wait was waiting
    ULONG modemStatus;
    ULONG purged; // the flags of the last purge
    bool dtr;
    bool rts;
    bool breakOn;
    bool xoffSent; // SET_XOFF: as if XOFF had been received
    unsigned resets;
    std::vector<UCHAR> immediate; // characters sent with IMMEDIATE_CHAR
    std::string readData;
    bool readTimesOut;
    NTSTATUS writeStatus;
    ULONG writeCount;
    bool holdWrites;
};

// A control the device received: its code and its input bytes.
struct Control
{
    ULONG code;
    std::vector<UCHAR> input;
};

// The driver's entry point, for Machine::UseBuiltInDriver(u"FakeSerial.sys", ...).
NTSTATUS DriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registryPath);

// Writes the package (FakeSerial.inf and a stand-in FakeSerial.sys) into a folder; returns the .inf.
std::filesystem::path WritePackage(const std::filesystem::path& folder);

// The port's state, reset to a 9600 8N1 port with DTR and RTS enabled at each DriverEntry. A test
// changes it only while no request of its own is under way in the driver.
PortState& Port();

// The controls received so far, oldest first, and forgetting them.
std::vector<Control> Controls();
void ClearControls();

void Fail(ULONG code, NTSTATUS status);
void ClearFailures();

// Events happen: a waiting WAIT_ON_MASK whose mask holds one of them completes with those.
void SignalEvents(ULONG events);
// Whether a WAIT_ON_MASK is waiting in the driver.
bool WaitPending();
// Completes the held write with this status and count; false if none is held.
bool CompleteHeldWrite(NTSTATUS status, ULONG count);

} // namespace fakeserial
