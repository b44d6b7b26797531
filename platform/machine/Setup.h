// Device installation as Windows setup does it: driver packages (INF files) in the driver store,
// matching a new device's hardware IDs against their models, writing the device's registry keys,
// the driver's service, the event-log source, and, for ports, the COM name from the COM-name
// database.
#pragma once

#include "Inf.h"

#include "kernel/Pnp.h"
#include "kernel/Registry.h"

#include <filesystem>
#include <map>
#include <string>
#include <vector>

namespace winsim::machine
{

class Machine;

class Setup
{
  public:
    // Setup of a machine, writing to the machine's registry.
    Setup(Machine& machine, kernel::Registry& registry);

    void InstallPackage(const std::filesystem::path& infFile);
    // Plug and Play's installer: chooses a driver for a new node and writes its keys.
    NTSTATUS InstallDevice(kernel::DeviceNode& node);

    // The COM name a device gets instead of one from the database.
    void SetPortNameHint(const std::u16string& instancePath, const std::u16string& portName);

    // The COM-name database (HKLM\SYSTEM\CurrentControlSet\Control\COM Name Arbiter, ComDB): one
    // bit per COM number 1..256.
    void ClaimComPort(unsigned number);
    unsigned ClaimNextComPort();
    bool IsComPortClaimed(unsigned number);
    // The port's line of win.ini's [Ports] section ("COM3:=9600,n,8,1"), written when the file has
    // none for it yet.
    void AddPortsLine(const std::u16string& portName);

  private:
    struct Package
    {
        InfFile inf;
        std::u16string installedName; // oemN.inf
    };
    struct Match
    {
        const Package* package = nullptr;
        std::string description;
        std::string installSection;
        std::string matchingId;
    };

    bool FindDriver(const kernel::DeviceNode& node, Match* match) const;
    std::string DecoratedSection(const InfFile& inf, const std::string& section) const;
    void ApplyAddReg(const InfFile& inf, const std::string& addRegSections, const std::u16string& hkr);
    void ApplyServices(const InfFile& inf, const std::string& section, kernel::DeviceNode& node,
                       std::u16string* associatedService);
    std::u16string ResolveDirIds(const std::string& text) const;
    std::u16string NextDriverKey(const std::u16string& classGuid);
    std::vector<uint8_t> ReadComDb();
    void WriteComDb(const std::vector<uint8_t>& bits);

    Machine& m_machine;
    kernel::Registry& m_registry;
    std::vector<Package> m_packages;
    std::map<std::u16string, std::u16string> m_portNameHints; // upper-cased instance path
};

} // namespace winsim::machine
