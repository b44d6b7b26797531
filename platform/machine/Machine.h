// One simulated Windows computer: its kernel, its folder (drive C: is its drive_c folder; what its
// processes share lives beside it), the USB bus readers are plugged into, and the installation of
// driver packages. This is the harness the tests, the demo and the launcher drive.
//
// While a machine runs, the user mode of this process runs on it: Win32 calls reach its kernel
// through the system-call seam. A test looks at the machine the way an application does, through
// Win32 (CreateFileA("\\.\COM3"), DeviceIoControl, RegOpenKeyExA, QueryDosDeviceA...), and at what
// Win32 does not show through the small facade below: views of the devices, the event log, the
// trace sessions, the pool and the registry as the kernel keeps them, and the fault injection a
// test of failure paths arms. The facade hands out views and plain Windows types only; the
// platform's internals stay behind it.
#pragma once

#include <wdm.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <iosfwd>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

// WDFDEVICE, as <wdf.h> declares it (DECLARE_HANDLE); a driver test includes <wdf.h> to use it.
struct WDFDEVICE__;

namespace winsim::kernel
{
class System;
class Registry;
struct DeviceNode;
struct DriverImage;
} // namespace winsim::kernel

namespace winsim::usb
{
class UsbBus;
class ReaderModel;
} // namespace winsim::usb

namespace winsim::machine
{

class Setup;
class BuiltInDevices;

// A trace session the machine starts as it boots, before any driver loads, as a support
// technician's autologger setting would: it writes C:\Windows\System32\<name>.etl and enables one
// provider (a driver's, which is enabled as it registers).
struct BootTraceSession
{
    std::u16string name;
    GUID provider{};
    UCHAR level = 5; // TRACE_LEVEL_VERBOSE
    ULONG flags = 0xFFFFFFFF;
    ULONG bufferSizeKb = 64;
    ULONG maximumFileSizeMb = 0; // 0: no limit
    ULONG logFileMode = 1;       // EVENT_TRACE_FILE_MODE_SEQUENTIAL
};

struct MachineConfig
{
    // The Windows version the machine reports (RtlGetVersion, PsGetVersion, the CurrentVersion
    // key): 10.0.19045 by default; 6.1.7601 is Windows 7.
    ULONG majorVersion = 10;
    ULONG minorVersion = 0;
    ULONG buildNumber = 19045;
    // System routines MmGetSystemRoutineAddress does not find, as on a system without them.
    std::set<std::string> unavailableRoutines;
    // Whether the clock follows the host's clock instead of moving only when told to.
    bool realTimeClock = false;
    // On virtual time: whether the clock moves on to the next deadline by itself whenever every
    // thread of the machine waits, the thread that boots it included (a program's own machine; see
    // Scheduler::AdvanceWhenIdle). Off, only the test moves it.
    bool advanceClockWhenIdle = false;
    // The machine's folder. Empty: a fresh temporary folder, removed with the machine.
    std::filesystem::path root;
    // COM numbers the machine's own serial ports hold (they appear in SERIALCOMM and the COM-name
    // database, and as the device nodes ACPI\PNP0501\1, \2...). A new reader gets the lowest
    // number not claimed.
    std::vector<unsigned> builtInComPorts = {1, 2};
    // Registry editor files (.reg) imported after the machine's own keys, to seed its registry.
    std::vector<std::filesystem::path> registryFiles;
    // Whether the USB host controller lets devices suspend selectively (and wake themselves from
    // it). Off, the hub reports that its devices cannot wake (Services\USB\DisableSelectiveSuspend).
    bool usbSelectiveSuspend = true;
    // A trace session to start at boot.
    std::optional<BootTraceSession> bootTraceSession;
    // The ANSI code page of the machine's programs (its OEM code page is the same): UTF-8 (65001),
    // which the whole project is written for, or Japanese Shift-JIS (932). Kept where Windows keeps
    // it (Control\Nls\CodePage, ACP and OEMCP), where user mode reads it.
    unsigned ansiCodePage = 65001;
    // The language of the user interface (a LANGID): the default UI language of every thread,
    // which resources are looked up in. Kept in Control\Nls\Language (Default, InstallLanguage).
    uint16_t uiLanguage = 0x0409;
};

// Settings of this process on the machine, passed on to every program it starts
// (they travel in the environment: WINSIM_TOKEN=standard, WINSIM_WOW64=1). A process runs
// elevated as an administrator by default; SetProcessAdministrator(false) makes it (and the
// programs it starts from then on) a standard user's. SetProcessWow64(true) makes it a 32-bit
// process on 64-bit Windows, as IsWow64Process reports.
void SetProcessAdministrator(bool administrator);
void SetProcessWow64(bool wow64);

// How a reader's one configuration is laid out (endpoint addresses: interrupt IN 0x81, bulk IN
// 0x82, bulk OUT 0x02).
enum class ReaderLayout
{
    SingleInterface, // interface 0 (CDC, abstract control model): interrupt IN, bulk IN, bulk OUT
    TwoInterfaces,   // communication interface 0 (interrupt IN), data interface 1 (bulk IN, bulk OUT)
    NoInterruptPipe, // the single interface without one of its endpoints
    NoBulkIn,
    NoBulkOut,
};

enum class ReaderSpeed
{
    Full, // bulk packets of 64 bytes
    High, // bulk packets of 512 bytes
};

// A reader model to plug in.
struct ReaderSpec
{
    USHORT vendorId = 0;  // 0: the project's vendor ID
    USHORT productId = 0; // 0: the project's reader model
    std::u16string serialNumber = u"TR0001";
    // A COM name to give the port instead of one from the COM-name database (as if a tool had
    // written it), for names the database would never hand out.
    std::optional<std::u16string> portName;
    ReaderLayout layout = ReaderLayout::SingleInterface;
    ReaderSpeed speed = ReaderSpeed::Full;
    // The configuration's remote wake-up attribute.
    bool remoteWake = true;
    // Bytes written to bulk OUT come back on bulk IN (otherwise the reader keeps them for the test).
    bool loopback = false;
    // Bulk IN bytes arrive at lineRate / 10 bytes a second of the machine's clock; 0: at once.
    ULONG lineRate = 0;
    // SET_CONTROL_LINE_STATE is answered as a loopback plug would: a SERIAL_STATE notification
    // with carrier (bit 0) when DTR or RTS is set and DSR (bit 1) when DTR is set.
    bool answerLineState = false;
    // Called with the reader once it is on the bus, before Plug and Play starts its device: to arm
    // the faults a start should meet.
    std::function<void(class Reader)> beforeStart;
};

// An endpoint of a reader; the default control pipe counts as one.
enum class ReaderEndpoint
{
    Default,
    Interrupt,
    BulkIn,
    BulkOut,
};

// A transfer the reader's driver sent, as it ended (a failed submission included).
struct ReaderTransfer
{
    ULONGLONG submitted = 0; // the machine's interrupt time (100-ns units since boot)
    ULONGLONG ended = 0;
    ReaderEndpoint endpoint = ReaderEndpoint::Default;
    bool in = false;
    ULONG length = 0;      // the length asked for
    ULONG transferred = 0; // the bytes that moved
    NTSTATUS status = STATUS_SUCCESS;
    LONG usbdStatus = 0; // USBD_STATUS
};

// A control transfer the reader received on its default pipe.
struct ReaderControlRequest
{
    ULONGLONG time = 0; // interrupt time of its arrival
    UCHAR bmRequestType = 0;
    UCHAR bRequest = 0;
    USHORT wValue = 0;
    USHORT wIndex = 0;
    USHORT wLength = 0;
    std::vector<UCHAR> data; // the data stage of a request to the device
};

// The reader model behind a device on the machine's bus: what it sends, what it received, and
// the faults a test arms. A small handle to copy freely; valid while the machine runs.
class Reader
{
  public:
    Reader() = default;
    explicit operator bool() const { return m_model != nullptr; }

    // Bytes the reader sends on bulk IN (through the line, at its rate).
    void PushBulkIn(const std::vector<UCHAR>& bytes);
    void PushBulkIn(std::string_view bytes);
    // The next `reads` bulk IN reads end at once with their whole length of `fill` bytes: a reader
    // that delivers as fast as it is read. 0 stops a flood under way.
    void Flood(unsigned reads, UCHAR fill = 0x55);
    // A SERIAL_STATE notification (0x20) with its 2-byte bitmap, or any other notification, on the
    // interrupt pipe; each goes into the next interrupt read.
    void PushSerialState(USHORT bitmap);
    void PushNotification(UCHAR code, USHORT value, const std::vector<UCHAR>& data);
    // The bytes written to bulk OUT since the last call.
    std::vector<UCHAR> TakeBulkOut();
    std::vector<ReaderControlRequest> ControlRequests();
    std::vector<ReaderTransfer> Transfers();
    // The reader as a person would look at it: endpoints, configured pipes, resets, pending
    // transfers and the class requests it received.
    std::string Describe();
    // Bulk IN reads sent and not completed yet, and the most there ever were at once.
    unsigned OutstandingBulkInReads();
    unsigned MostBulkInReadsOutstanding();
    unsigned PipeResets(ReaderEndpoint endpoint);
    unsigned PortResets();
    // Idle callbacks the hub made for idle notifications.
    unsigned IdleCallbacks();

    // --- faults ---
    // The next `count` transfers of the endpoint (those pending first) end with these statuses.
    void FailTransfers(ReaderEndpoint endpoint, unsigned count, NTSTATUS status, LONG usbdStatus);
    // The endpoint halts until its pipe is reset (the default pipe: until the port is reset); its
    // transfers end STATUS_UNSUCCESSFUL with USBD_STATUS_STALL_PID.
    void Stall(ReaderEndpoint endpoint);
    bool Stalled(ReaderEndpoint endpoint);
    // The next `count` pipe resets, or port resets, fail with this status.
    void FailPipeResets(unsigned count, NTSTATUS status);
    void FailPortResets(unsigned count, NTSTATUS status);
    // Class requests stay pending (until cancelled) instead of being answered.
    void IgnoreClassRequests(bool ignore = true);
    // The endpoint's transfers stay pending (cancelable) until released. With evenWhenCancelled a
    // cancelled transfer stays pending too, and ends cancelled at Release.
    void Hold(ReaderEndpoint endpoint, bool evenWhenCancelled = false);
    void Release(ReaderEndpoint endpoint);
    // The reader stops answering as if pulled out, before Plug and Play notices: its transfers end
    // STATUS_NO_SUCH_DEVICE with USBD_STATUS_DEVICE_GONE and its port no longer reports it.
    void Disconnect();
    bool Connected();

    // Returns once every transfer the reader has ended so far has been completed to its driver.
    void WaitForCompletions();

  private:
    friend class Machine;
    explicit Reader(usb::ReaderModel* model) : m_model(model) {}
    usb::ReaderModel* m_model = nullptr;
};

// Where a device is in Plug and Play, as Device Manager would tell.
enum class DeviceState
{
    Enumerated, // reported by its bus, no driver yet
    Added,      // the function driver's AddDevice succeeded
    Started,
    Failed,   // installation, driver load, AddDevice or the start failed (see Problem)
    Removed,  // gone from its bus, or removed in an orderly way
    Disabled, // on its bus without a driver stack: a user disabled it (Device Manager, setupapi)
};
std::ostream& operator<<(std::ostream& out, DeviceState state);

// A device the machine's bus reported: a small handle to copy freely. It stays valid while the
// machine runs; a device that was pulled out stays known, in the Removed state. An empty handle
// (no such device) tests false.
class Device
{
  public:
    Device() = default;
    explicit operator bool() const { return m_node != nullptr; }
    bool operator==(const Device& other) const { return m_node == other.m_node; }

    DeviceState State() const;
    // Why it failed (STATUS_NOT_FOUND: no driver package matches; otherwise the status of the
    // driver's load, AddDevice or start); STATUS_SUCCESS unless it failed.
    NTSTATUS Problem() const;
    // The device's power state as its framework driver keeps it (PowerDeviceD0..PowerDeviceD3);
    // PowerDeviceUnspecified for a device without a framework device.
    DEVICE_POWER_STATE PowerState() const;
    // Whether it is in a low-power state because it was idle (its driver's S0 idle settings).
    bool IdlePoweredDown() const;
    // Whether its driver's idle power-down is enabled, as the framework keeps the setting (the
    // driver's, or the user's IdleInWorkingState).
    bool IdlePowerDownEnabled() const;
    // USB\VID_2B4E&PID_0730\TR0001
    std::u16string InstancePath() const;
    std::vector<std::u16string> HardwareIds() const;
    std::vector<std::u16string> CompatibleIds() const;
    // The device object on top of its stack, which receives its requests: its function driver's
    // once added (the bus driver's before); null once it is removed.
    PDEVICE_OBJECT DeviceObject() const;
    // The bus driver's physical device object at the bottom of the stack; null once removed.
    PDEVICE_OBJECT PhysicalDeviceObject() const;
    // That device object's kernel name (\Device\ZTSerial0); empty when it has none.
    std::u16string KernelName() const;
    // The framework device (WDFDEVICE) of a framework driver's device object, for the driver's
    // own context accessors; null when the device has none.
    WDFDEVICE__* FrameworkDevice() const;

  private:
    friend class Machine;
    explicit Device(kernel::DeviceNode* node) : m_node(node) {}
    kernel::DeviceNode* m_node = nullptr;
};

// A registry value as the kernel stores it: its type and its bytes.
struct RegistryValue
{
    ULONG type = REG_NONE;
    std::vector<uint8_t> data;

    static RegistryValue Dword(ULONG value);
    // The text and its terminator, as REG_SZ (or REG_EXPAND_SZ).
    static RegistryValue String(std::u16string_view text, ULONG type = REG_SZ);
    // Exactly these bytes (a string without its terminator, a value of the wrong length...).
    static RegistryValue Bytes(ULONG type, const void* data, size_t size);
};

// An entry of the system event log, as a driver wrote it (IoWriteErrorLogEntry).
struct EventLogRecord
{
    std::u16string source;     // the driver's service name
    std::u16string deviceName; // the device object it was written for (insertion %1); may be empty
    ULONG eventId = 0;         // Event Viewer's event ID: the code's low 16 bits
    NTSTATUS code = 0;         // the whole code: severity, facility, event ID
    std::string level;         // Event Viewer's level from the severity: Success, Information, Warning, Error
    NTSTATUS finalStatus = 0;
    std::vector<ULONG> dumpData; // DumpDataSize bytes of dump data
    std::vector<uint8_t> packet; // the whole IO_ERROR_LOG_PACKET as the driver filled it
    const IO_ERROR_LOG_PACKET& Packet() const
    {
        return *reinterpret_cast<const IO_ERROR_LOG_PACKET*>(packet.data());
    }
};

// A message of a trace session, rendered through a trace format file.
struct TraceLine
{
    std::string text;   // the message with its arguments, UTF-8
    bool known = false; // the format file has the message
    int level = -1;     // TRACE_LEVEL_* of the trace point; -1 when unknown
};

// A live pool allocation, as the pool records it.
struct PoolBlock
{
    const void* address = nullptr;
    size_t size = 0;
    ULONG tag = 0;
    POOL_TYPE type = NonPagedPool;
};

// A device interface registered for a device (IoRegisterDeviceInterface).
struct DeviceInterface
{
    std::u16string symbolicLink; // \??\USB#VID_2B4E&PID_0730#TR0001#{guid}
    std::u16string instancePath; // the device's
    bool enabled = false;
};

// The outcome of a request sent straight to a driver.
struct RequestResult
{
    NTSTATUS status = STATUS_SUCCESS;
    ULONG_PTR information = 0;
};

class Machine
{
  public:
    Machine();
    explicit Machine(MachineConfig config);
    ~Machine();
    Machine(const Machine&) = delete;
    Machine& operator=(const Machine&) = delete;

    // The host path of a Windows path on drive C: (C:\..., \SystemRoot\..., %SystemRoot%\...,
    // or a path relative to the Windows folder such as System32\drivers\x.sys).
    std::filesystem::path HostPath(std::u16string_view windowsPath) const;
    // The machine's folder, and the folder standing for drive C: in it.
    const std::filesystem::path& Root() const { return m_root; }
    std::filesystem::path SystemDrive() const { return m_root / "drive_c"; }

    // Installs a driver package from its .inf file (and the files beside it). Throws
    // std::runtime_error when the package is malformed or a file it names is missing.
    void InstallPackage(const std::filesystem::path& infFile);

    // Drivers linked into the test program instead of loaded from their image file: an image whose
    // file name matches is "loaded" by calling this entry point.
    void UseBuiltInDriver(const std::u16string& imageFileName, PDRIVER_INITIALIZE entry);

    // Plugs a reader in: the bus reports it, Plug and Play installs, adds and starts it. A device
    // whose start failed is Failed, with the start's status as its problem. A reader that is
    // plugged in already (the same vendor, product and serial number) cannot be plugged in twice:
    // std::invalid_argument.
    Device Attach(const ReaderSpec& reader = {});
    // Pulls a reader out: it stops answering (its pending transfers end as the device's gone), then
    // Plug and Play sends the surprise removal, and the removal once no handle to it is open.
    void Detach(Device device);
    // Removes a started device in an orderly way, as "Safely Remove Hardware" does: its driver
    // may refuse (the status of the refusal); the reader stays plugged in, without a driver.
    NTSTATUS RemoveDevice(Device device);
    // The reader model behind a device the bus reported (an empty handle for another device).
    Reader ReaderOf(Device device);
    // Every device the bus reported, in order, the removed ones included (not the machine's own
    // devices of boot: its serial ports, USB host controller and root hub).
    std::vector<Device> Devices();

    // --- the machine's clock: virtual, unless the machine runs on real time ---
    // Moves the clock on, firing the timers and ending the waits that fall due on the way. The
    // clock counts in 100-ns units; a finer span is cut down to them.
    void AdvanceClock(std::chrono::nanoseconds span);
    // Moves the clock to the earliest deadline of a timer or a timed wait; false when there is none.
    bool AdvanceToNextDeadline();
    // How far away that deadline is, or none.
    std::optional<std::chrono::milliseconds> NextDeadline();
    // Returns once every thread waiting in the machine has seen the latest change and either
    // returned or gone back to sleep (so a test can tell that a wait did not end).
    void SettleWaiters();
    // Returns once the machine is quiescent: every live thread started with CreateThread (other than
    // the caller) sleeps in a wait of the machine (a wait function, Sleep, a suspended start, a
    // synchronous request) that has looked at the latest signal and clock movement and is not
    // satisfied, or has ended; every other thread waiting in the machine has looked likewise; and
    // no DPC or system work item is queued or running (a work item asleep in such a wait aside).
    // A thread whose wait was just satisfied counts as running until it has run and gone back to
    // sleep; a thread blocked outside the machine (a critical section) counts as running too, so
    // this does not return while one is. Call it after AdvanceClock, or after signalling a
    // program's thread, to know that what it set off is done: a thread that polls every 100 ms
    // has finished its poll and sleeps again.
    void WaitForQuiescence();
    // Returns once no DPC and no system work item is queued or running (what a timer that fell
    // due set off has finished).
    void WaitForSystemThreads();
    // Lets the DPCs and work items run to rest like WaitForSystemThreads, moving the clock on to
    // the next deadline whenever every running work item waits on it (a pause in a recovery).
    void RunSystemThreadsToRest();

    // --- the machine's power ---
    // The system power state: PowerSystemWorking (S0), PowerSystemSleeping3, PowerSystemHibernate
    // or PowerSystemShutdown.
    SYSTEM_POWER_STATE SystemPowerState();
    // Sleep (S3, PowerActionSleep), hibernate (S4, PowerActionHibernate), shut down (S5,
    // PowerActionShutdownOff) or restart (S5, PowerActionShutdownReset): every started device's
    // stack gets the system power request and leaves D0. Wake returns a sleeping or hibernating
    // machine to S0. STATUS_INVALID_DEVICE_STATE when the machine is not in a state to do it (an
    // off machine does not wake); a device's refusal of sleep or hibernation is returned as is.
    NTSTATUS Sleep();
    NTSTATUS Hibernate();
    NTSTATUS Shutdown();
    NTSTATUS Restart();
    NTSTATUS Wake();

    // --- what a test may look at and set up besides what Win32 shows ---

    // The registry as the kernel keeps it. Key paths are NT paths (\Registry\Machine\...) or begin
    // with HKEY_LOCAL_MACHINE (HKLM). A value or key that is not there: none, false.
    std::optional<RegistryValue> StoredRegistryValue(std::u16string_view keyPath, std::u16string_view name);
    // A value read as the machine's own code reads it: a REG_DWORD of four bytes; a REG_SZ or
    // REG_EXPAND_SZ up to its first NUL. None for a value of another type or size.
    std::optional<ULONG> RegistryDword(std::u16string_view keyPath, std::u16string_view name);
    std::optional<std::u16string> RegistryString(std::u16string_view keyPath, std::u16string_view name);
    bool RegistryKeyExists(std::u16string_view keyPath);
    // Creates a key and its missing parents, as setup or a technician would.
    void CreateRegistryKey(std::u16string_view keyPath);
    // Stores a value, creating its key when missing.
    void SetRegistryValue(std::u16string_view keyPath, std::u16string_view name, const RegistryValue& value);
    bool DeleteRegistryValue(std::u16string_view keyPath, std::u16string_view name);

    // The device whose port has this COM name (its PortName), or none.
    Device DeviceByComName(std::u16string_view comName);
    // The interfaces of a class (GUID_DEVINTERFACE_COMPORT...) registered for present devices.
    std::vector<DeviceInterface> DeviceInterfaces(const GUID& interfaceClass);

    // The driver object of a loaded driver (by its service name), or null.
    PDRIVER_OBJECT LoadedDriver(std::u16string_view service);
    // Loads a service's driver without a device, as for a driver that is not Plug and Play; the
    // status of its load (DriverEntry's). The driver object goes to *driver when given.
    NTSTATUS LoadDriver(const std::u16string& service, PDRIVER_OBJECT* driver = nullptr);
    void UnloadDriver(const std::u16string& service);

    // The system event log, oldest first, and an entry's message in a language (0x0409 English,
    // 0x0411 Japanese) as Event Viewer shows it.
    std::vector<EventLogRecord> EventLogEntries();
    std::u16string EventText(const EventLogRecord& record, USHORT language) const;
    void ClearEventLog();
    // The next `count` entries drivers allocate fail (IoAllocateErrorLogEntry returns NULL).
    void FailEventLogEntries(unsigned count);

    // Starts a trace session that records a provider, as a technician's trace settings would, or
    // sets the level and flags of a running one.
    void StartTrace(const std::u16string& session, const GUID& provider, UCHAR level, ULONG flags);
    // The session's messages so far, rendered through a trace format file.
    std::vector<TraceLine> TraceLines(const std::u16string& session, const std::filesystem::path& formatFile);
    // Every trace message call of every provider so far, recorded by a session or not: what tracing
    // cost while nobody listened.
    ULONGLONG TraceMessageCalls();
    bool TraceProviderRegistered(const GUID& provider);
    // Flushes or stops a session as its controller would; false when it does not run.
    bool FlushTrace(const std::u16string& session);
    bool StopTrace(const std::u16string& session);
    // The Windows path of a boot session's log file: C:\Windows\System32\<session>.etl.
    static std::u16string BootTraceFile(std::u16string_view session);
    // The messages of a trace log file on drive C:, one line each as Windows' trace formatting tool
    // prints them, rendered through trace format files. Throws std::runtime_error when a file
    // cannot be read or the log file is damaged.
    std::vector<std::string> DecodeTraceFile(std::u16string_view windowsPath,
                                             const std::vector<std::filesystem::path>& formatFiles);

    // Pool allocations still live, of one tag (0: of every tag).
    size_t LivePoolAllocations(ULONG tag = 0);
    // Pool allocations made since boot, freed or not: what a path costs in allocations.
    ULONGLONG PoolAllocationsMade();
    // The framework objects a loaded framework driver (by its service name) still has, the driver
    // object included; 0 when the driver is not loaded.
    size_t LiveFrameworkObjects(std::u16string_view service);
    // Allocations with this tag fail until another tag is set (0: none fail).
    void FailPoolAllocationsWithTag(ULONG tag);
    // The live allocation that begins at an address, or none; the next `count` allocations fail.
    std::optional<PoolBlock> PoolAllocationAt(const void* address);
    void FailNextPoolAllocations(unsigned count);
    // The spin locks the calling thread holds, as the kernel counts them.
    static int SpinLocksHeldByThisThread();

    // The framework's object creations: the one after `skip` further creations of a kind (its
    // handle type, "WDFWAITLOCK"; empty: of any kind) fails with STATUS_INSUFFICIENT_RESOURCES,
    // before any of the object exists. Armed once at a time for the process; the machine disarms
    // it when it shuts down. Throws std::invalid_argument for a kind the framework does not have.
    void FailFrameworkObjectCreation(unsigned skip = 0, std::string_view kind = {});
    // Whether the armed failure happened; disarming it.
    bool FrameworkObjectCreationFailed();
    void ClearFrameworkObjectCreationFault();

    // Requests straight to the driver of a file this process opened (CreateFileA), as a
    // kernel-mode caller builds them: without the I/O manager's own answers and length checks that
    // NtQueryInformationFile applies first. For tests of a driver's answers to the classes and
    // lengths user mode cannot send.
    RequestResult QueryFileInformation(HANDLE file, FILE_INFORMATION_CLASS infoClass, void* buffer,
                                       ULONG length);
    RequestResult SetFileInformation(HANDLE file, FILE_INFORMATION_CLASS infoClass, const void* buffer,
                                     ULONG length);
    // IRP_MJ_INTERNAL_DEVICE_CONTROL, as another kernel component sends it to the device behind a
    // handle (METHOD_BUFFERED), waiting for its completion.
    RequestResult InternalDeviceControl(HANDLE file, ULONG code, const void* input, ULONG inputLength,
                                        void* output, ULONG outputLength);

    // --- views for people ---
    std::string DescribeDevices();
    std::string DescribeSerialComm();
    std::string DescribeEventLog(USHORT language);
    // A key and everything below it in the registry editor's format, as text or saved to a file
    // (a key such as HKEY_LOCAL_MACHINE\SOFTWARE\Tarno).
    std::string RegistryText(std::u16string_view keyPath);
    void SaveRegistry(const std::filesystem::path& file, std::u16string_view keyPath = u"HKEY_LOCAL_MACHINE");

  private:
    kernel::Registry& KernelRegistry();
    NTSTATUS LoadImage(const std::u16string& imagePath, kernel::DriverImage* image);
    void SeedRegistry();
    void StartBootTraceSession(const BootTraceSession& boot);

    MachineConfig m_config;
    std::filesystem::path m_root;
    bool m_ownsRoot = false;
    std::unique_ptr<kernel::System> m_system;
    std::unique_ptr<usb::UsbBus> m_bus;
    std::unique_ptr<BuiltInDevices> m_boardDevices; // present from boot
    std::map<kernel::DeviceNode*, usb::ReaderModel*> m_readers;
    std::unique_ptr<Setup> m_setup;
    std::map<std::u16string, PDRIVER_INITIALIZE> m_builtIn; // upper-cased file name
    unsigned m_loadCount = 0;
    std::string m_rootText; // the folder, and drive C:, as user mode is told them
    std::string m_systemDriveText;
};

} // namespace winsim::machine
