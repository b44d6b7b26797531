// One simulated Windows computer: its kernel, its folder (drive C: is its drive_c folder; what its
// processes share lives beside it), the USB bus readers are plugged into, and the installation of
// driver packages. This is the harness the tests, the demo and the launcher drive.
//
// While a machine runs, the user mode of this process runs on it: Win32 calls reach its kernel
// through the system-call seam.
#pragma once

#include "kernel/Pnp.h"
#include "kernel/System.h"
#include "usb/UsbBus.h"

#include <chrono>
#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace winsim::kernel
{
struct EventLogEntry;
}

namespace winsim::machine
{

class Setup;

struct MachineConfig
{
    kernel::SystemConfig system;
    // The machine's folder. Empty: a fresh temporary folder, removed with the machine.
    std::filesystem::path root;
    // COM numbers the machine's own serial ports hold (they appear in SERIALCOMM and the COM-name
    // database). A new reader gets the lowest number not claimed.
    std::vector<unsigned> builtInComPorts = {1, 2};
    // Registry editor files (.reg) imported after the machine's own keys, to seed its registry.
    std::vector<std::filesystem::path> registryFiles;
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
};

class Machine
{
  public:
    Machine();
    explicit Machine(MachineConfig config);
    ~Machine();
    Machine(const Machine&) = delete;
    Machine& operator=(const Machine&) = delete;

    kernel::System& System() { return *m_system; }
    kernel::Registry& Registry();

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

    // Plugs a reader in: the bus reports it, Plug and Play installs and adds it (not started).
    kernel::DeviceNode* Attach(const ReaderSpec& reader = {});
    // Pulls a reader out.
    void Detach(kernel::DeviceNode* node);
    std::vector<kernel::DeviceNode*> Devices();

    // Saves a key and everything below it as a registry editor file (for example HKEY_LOCAL_MACHINE).
    void SaveRegistry(const std::filesystem::path& file, std::u16string_view keyPath = u"HKEY_LOCAL_MACHINE");

    // Event log entries rendered as Event Viewer shows them, in a language (0x409, 0x411).
    std::u16string RenderEvent(const kernel::EventLogEntry& entry, USHORT language) const;

    // --- the machine's clock: virtual, unless the machine runs on real time ---
    // Moves the clock on, firing the timers and ending the waits that fall due on the way.
    void AdvanceClock(std::chrono::milliseconds span);
    // Moves the clock to the earliest deadline of a timer or a timed wait; false when there is none.
    bool AdvanceToNextDeadline();
    // How far away that deadline is, or none.
    std::optional<std::chrono::milliseconds> NextDeadline();
    // Returns once every thread waiting in the machine has seen the latest change and either
    // returned or gone back to sleep (so a test can tell that a wait did not end).
    void SettleWaiters();

    // --- what a test may look at besides what Win32 shows ---
    // A registry value as the kernel keeps it, or none; whether a key exists. Paths are NT paths
    // (\Registry\Machine\...) or begin with HKEY_LOCAL_MACHINE.
    struct StoredValue
    {
        ULONG type;
        std::vector<uint8_t> data;
    };
    std::optional<StoredValue> StoredRegistryValue(std::u16string_view keyPath, std::u16string_view name);
    bool RegistryKeyExists(std::u16string_view keyPath);
    // The device whose port has this COM name (its PortName), or null.
    kernel::DeviceNode* DeviceByComName(std::u16string_view comName);
    // Starts a trace session that records a provider, as a technician's trace settings would.
    void StartTrace(const std::u16string& session, const GUID& provider, UCHAR level, ULONG flags);
    // The session's messages so far, rendered through a trace format file, one text each.
    std::vector<std::string> TraceLines(const std::u16string& session,
                                        const std::filesystem::path& formatFile);

    // --- views for people ---
    std::string DescribeDevices();
    std::string DescribeSerialComm();
    std::string DescribeEventLog(USHORT language);

  private:
    NTSTATUS LoadImage(const std::u16string& imagePath, kernel::DriverImage* image);
    void SeedRegistry();

    MachineConfig m_config;
    std::filesystem::path m_root;
    bool m_ownsRoot = false;
    std::unique_ptr<kernel::System> m_system;
    std::unique_ptr<usb::UsbBus> m_bus;
    std::unique_ptr<Setup> m_setup;
    std::map<std::u16string, PDRIVER_INITIALIZE> m_builtIn; // upper-cased file name
    unsigned m_loadCount = 0;
    std::string m_rootText; // the folder, and drive C:, as user mode is told them
    std::string m_systemDriveText;
};

} // namespace winsim::machine
