// A loopback device for the tests of Win32's device I/O: a small WDM function driver that the
// machine installs from a package of its own (LoopbackPackage) for a test device on the USB bus.
// Its device is \Device\Loopback0, reached as \\.\LOOPBACK (not exclusive):
// - a read waits (pended, cancelable) until a write supplies bytes; a write completes the oldest
//   waiting read with as much of its data as fits, or, with no read waiting, is refused;
// - IOCTL_LOOPBACK_REVERSE (buffered) answers its input reversed, as many bytes as the output holds;
// - IOCTL_LOOPBACK_HOLD pends until cancelled; IOCTL_LOOPBACK_OVERREPORT completes claiming one
//   byte more than the output buffer holds (a driver fault the verifier stops);
// - IRP_MJ_QUERY_INFORMATION and IRP_MJ_SET_INFORMATION are recorded (InformationRequests()):
//   a query answers a buffer filled with InformationFill of the length asked, a set succeeds;
// - cleanup of a file cancels the requests that file still has waiting.
#pragma once

#include <wdm.h>

#include <filesystem>
#include <vector>

namespace loopback
{

inline constexpr ULONG IoctlReverse = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x801, METHOD_BUFFERED, FILE_ANY_ACCESS);
inline constexpr ULONG IoctlHold = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x802, METHOD_BUFFERED, FILE_ANY_ACCESS);
inline constexpr ULONG IoctlOverreport =
    CTL_CODE(FILE_DEVICE_UNKNOWN, 0x803, METHOD_BUFFERED, FILE_ANY_ACCESS);
inline constexpr ULONG IoctlWriteOnly =
    CTL_CODE(FILE_DEVICE_UNKNOWN, 0x804, METHOD_BUFFERED, FILE_WRITE_ACCESS);

inline constexpr USHORT VendorId = 0x1209;
inline constexpr USHORT ProductId = 0x4C42;

// The driver's entry point, for Machine::UseBuiltInDriver(u"Loopback.sys", ...).
NTSTATUS DriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registryPath);

// Writes the package (Loopback.inf and a stand-in Loopback.sys) into a folder; returns the .inf.
std::filesystem::path WritePackage(const std::filesystem::path& folder);

inline constexpr UCHAR InformationFill = 0x5A;

// An information request the device received: its major function, class and buffer length.
struct InformationRequest
{
    UCHAR major;
    FILE_INFORMATION_CLASS infoClass;
    ULONG length;
};

// The information requests received so far, oldest first, and forgetting them.
std::vector<InformationRequest> InformationRequests();
void ClearInformationRequests();

// Requests the driver holds right now (waiting reads and held controls).
size_t PendingRequests();

} // namespace loopback
