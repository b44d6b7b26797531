#include "Setup.h"

#include "Machine.h"
#include "WinIni.h"

#include "kernel/Registry.h"
#include "kernel/System.h"

#include "base/unicode.h"

#include <stdio.h>
#include <stdlib.h>

#include <stdexcept>

namespace winsim::machine
{

namespace
{

constexpr char16_t ComNameArbiterPath[] =
    u"\\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Control\\COM Name Arbiter";
constexpr size_t ComDbBytes = 32; // 256 COM numbers

// Registry flags of an AddReg line.
constexpr unsigned long FlgAddRegBinValueType = 0x00000001;
constexpr unsigned long FlgAddRegNoClobber = 0x00000002;
constexpr unsigned long FlgAddRegDelVal = 0x00000004;
constexpr unsigned long FlgAddRegKeyOnly = 0x00000010;
constexpr unsigned long FlgAddRegTypeMask = 0xFFFF0000 | FlgAddRegBinValueType;
constexpr unsigned long FlgAddRegTypeSz = 0x00000000;
constexpr unsigned long FlgAddRegTypeMultiSz = 0x00010000;
constexpr unsigned long FlgAddRegTypeExpandSz = 0x00020000;
constexpr unsigned long FlgAddRegTypeBinary = 0x00000001;
constexpr unsigned long FlgAddRegTypeDword = 0x00010001;

constexpr unsigned long SpsvcinstAssocService = 0x00000002;

unsigned long Number(const std::string& text)
{
    return text.empty() ? 0 : strtoul(text.c_str(), nullptr, 0);
}

std::vector<std::string> SplitList(const std::string& text)
{
    std::vector<std::string> items;
    std::string current;
    for (char c : text)
    {
        if (c == ',')
        {
            if (!current.empty())
            {
                items.push_back(current);
            }
            current.clear();
        }
        else if (c != ' ' && c != '\t')
        {
            current.push_back(c);
        }
    }
    if (!current.empty())
    {
        items.push_back(current);
    }
    return items;
}

} // namespace

Setup::Setup(Machine& machine, kernel::Registry& registry) : m_machine(machine), m_registry(registry) {}

void Setup::InstallPackage(const std::filesystem::path& infFile)
{
    InfFile inf = InfFile::Load(infFile);
    if (!EqualsNoCase(inf.Value("Version", "Signature").value_or(""), "$WINDOWS NT$") &&
        !EqualsNoCase(inf.Value("Version", "Signature").value_or(""), "$Chicago$"))
    {
        throw std::runtime_error(infFile.string() + ": not a Windows setup information file");
    }
    // Copy the package's files to their destination folders (directory ids of DestinationDirs).
    std::filesystem::path source = infFile.parent_path();
    for (const InfLine& line : inf.Section("SourceDisksFiles"))
    {
        std::string file = line.key.empty() ? line.values.front() : line.key;
        std::filesystem::path from = source / file;
        if (!std::filesystem::exists(from))
        {
            throw std::runtime_error(infFile.string() + ": the file " + file +
                                     " the package names is missing");
        }
    }
    for (const InfLine& destination : inf.Section("DestinationDirs"))
    {
        std::string section = destination.key;
        std::u16string folder = ResolveDirIds("%" + destination.values.front() + "%");
        if (EqualsNoCase(section, "DefaultDestDir"))
        {
            continue;
        }
        for (const InfLine& entry : inf.Section(section))
        {
            std::string file = entry.values.front();
            std::filesystem::path target = m_machine.HostPath(folder + u"\\" + ToUtf16(file));
            std::filesystem::create_directories(target.parent_path());
            std::filesystem::copy_file(source / file, target,
                                       std::filesystem::copy_options::overwrite_existing);
        }
    }
    // The driver store keeps the INF as oemN.inf.
    std::u16string name = u"oem" + ToUtf16(std::to_string(m_packages.size())) + u".inf";
    std::filesystem::path stored = m_machine.HostPath(u"C:\\Windows\\INF\\" + name);
    std::filesystem::create_directories(stored.parent_path());
    std::filesystem::copy_file(infFile, stored, std::filesystem::copy_options::overwrite_existing);
    m_packages.push_back(Package{std::move(inf), name});
}

std::u16string Setup::ResolveDirIds(const std::string& text) const
{
    static const std::map<std::string, std::string> dirIds = {
        {"10", "C:\\Windows"},
        {"11", "C:\\Windows\\System32"},
        {"12", "C:\\Windows\\System32\\drivers"},
        {"17", "C:\\Windows\\INF"},
    };
    std::string out;
    for (size_t i = 0; i < text.size(); ++i)
    {
        if (text[i] == '%')
        {
            size_t close = text.find('%', i + 1);
            if (close != std::string::npos)
            {
                auto it = dirIds.find(text.substr(i + 1, close - i - 1));
                if (it != dirIds.end())
                {
                    out += it->second;
                    i = close;
                    continue;
                }
            }
        }
        out.push_back(text[i]);
    }
    return ToUtf16(out);
}

std::string Setup::DecoratedSection(const InfFile& inf, const std::string& section) const
{
    for (const char* suffix : {".NTamd64", ".NT", ""})
    {
        if (inf.HasSection(section + suffix))
        {
            return section + suffix;
        }
    }
    return {};
}

bool Setup::FindDriver(const kernel::DeviceNode& node, Match* match) const
{
    // Hardware IDs first, then compatible IDs, each in order: the first match wins.
    std::vector<std::u16string> ids = node.hardwareIds;
    ids.insert(ids.end(), node.compatibleIds.begin(), node.compatibleIds.end());
    for (const std::u16string& id : ids)
    {
        for (const Package& package : m_packages)
        {
            for (const InfLine& manufacturer : package.inf.Section("Manufacturer"))
            {
                std::string models = manufacturer.values.front();
                std::vector<std::string> sections;
                for (size_t i = 1; i < manufacturer.values.size(); ++i)
                {
                    sections.push_back(models + "." + manufacturer.values[i]);
                }
                sections.push_back(models);
                for (const std::string& section : sections)
                {
                    for (const InfLine& model : package.inf.Section(section))
                    {
                        for (size_t i = 1; i < model.values.size(); ++i)
                        {
                            if (EqualsNoCase(ToUtf16(model.values[i]), id))
                            {
                                match->package = &package;
                                match->description = model.key;
                                match->installSection = model.values.front();
                                match->matchingId = model.values[i];
                                return true;
                            }
                        }
                    }
                }
            }
        }
    }
    return false;
}

void Setup::ApplyAddReg(const InfFile& inf, const std::string& addRegSections, const std::u16string& hkr)
{
    kernel::Registry& registry = m_registry;
    for (const std::string& section : SplitList(addRegSections))
    {
        for (const InfLine& line : inf.Section(section))
        {
            std::vector<std::string> fields = line.values;
            if (!line.key.empty())
            {
                fields.insert(fields.begin(), line.key);
            }
            fields.resize(std::max<size_t>(fields.size(), 5));
            std::u16string root;
            if (EqualsNoCase(fields[0], "HKR"))
            {
                root = hkr;
            }
            else if (EqualsNoCase(fields[0], "HKLM"))
            {
                root = u"\\Registry\\Machine";
            }
            else
            {
                throw std::runtime_error(inf.Path().string() + ":" + std::to_string(line.lineNumber) +
                                         ": registry root " + fields[0] + " is not supported");
            }
            std::u16string keyPath = fields[1].empty() ? root : root + u"\\" + ToUtf16(fields[1]);
            auto key = registry.CreateKey(keyPath);
            unsigned long flags = Number(fields[3]);
            if ((flags & FlgAddRegKeyOnly) != 0)
            {
                continue;
            }
            std::u16string valueName = ToUtf16(fields[2]);
            if ((flags & FlgAddRegDelVal) != 0)
            {
                key->DeleteValue(valueName);
                continue;
            }
            if ((flags & FlgAddRegNoClobber) != 0 && key->GetValue(valueName))
            {
                continue;
            }
            switch (flags & FlgAddRegTypeMask)
            {
            case FlgAddRegTypeDword:
                key->SetDword(valueName, static_cast<ULONG>(Number(fields[4])));
                break;
            case FlgAddRegTypeBinary: {
                std::vector<uint8_t> bytes;
                for (size_t i = 4; i < fields.size(); ++i)
                {
                    if (!fields[i].empty())
                    {
                        bytes.push_back(static_cast<uint8_t>(strtoul(fields[i].c_str(), nullptr, 16)));
                    }
                }
                key->SetValue(valueName, REG_BINARY, bytes.data(), bytes.size());
                break;
            }
            case FlgAddRegTypeMultiSz: {
                std::vector<std::u16string> texts;
                for (size_t i = 4; i < fields.size(); ++i)
                {
                    if (!fields[i].empty())
                    {
                        texts.push_back(ToUtf16(fields[i]));
                    }
                }
                key->SetMultiString(valueName, texts);
                break;
            }
            case FlgAddRegTypeExpandSz:
                key->SetString(valueName, ToUtf16(fields[4]), REG_EXPAND_SZ);
                break;
            case FlgAddRegTypeSz:
                key->SetString(valueName, ToUtf16(fields[4]));
                break;
            default:
                throw std::runtime_error(inf.Path().string() + ":" + std::to_string(line.lineNumber) +
                                         ": registry type flags are not supported");
            }
        }
    }
}

void Setup::ApplyServices(const InfFile& inf, const std::string& section, kernel::DeviceNode& node,
                          std::u16string* associatedService)
{
    kernel::Registry& registry = m_registry;
    for (const InfLine& line : inf.Section(section))
    {
        if (!EqualsNoCase(line.key, "AddService"))
        {
            continue;
        }
        std::vector<std::string> fields = line.values;
        fields.resize(std::max<size_t>(fields.size(), 6));
        std::u16string service = ToUtf16(fields[0]);
        unsigned long flags = Number(fields[1]);
        const std::string& install = fields[2];
        std::u16string serviceKey = std::u16string(kernel::ServicesKeyPath) + u"\\" + service;
        auto key = registry.CreateKey(serviceKey);
        key->SetDword(u"Type", static_cast<ULONG>(Number(inf.Value(install, "ServiceType").value_or("1"))));
        key->SetDword(u"Start", static_cast<ULONG>(Number(inf.Value(install, "StartType").value_or("3"))));
        key->SetDword(u"ErrorControl",
                      static_cast<ULONG>(Number(inf.Value(install, "ErrorControl").value_or("1"))));
        if (auto display = inf.Value(install, "DisplayName"))
        {
            key->SetString(u"DisplayName", ToUtf16(*display));
        }
        if (auto binary = inf.Value(install, "ServiceBinary"))
        {
            // Drivers under the Windows folder are recorded relative to it.
            std::u16string path = ResolveDirIds(*binary);
            std::u16string windows = u"C:\\Windows\\";
            if (path.size() > windows.size() && EqualsNoCase(path.substr(0, windows.size()), windows))
            {
                path = u"\\SystemRoot\\" + path.substr(windows.size());
            }
            key->SetString(u"ImagePath", path, REG_EXPAND_SZ);
        }
        if (auto addReg = inf.Value(install, "AddReg"))
        {
            ApplyAddReg(inf, *addReg, serviceKey);
        }
        if (!fields[3].empty())
        {
            std::u16string log = fields[4].empty() ? u"System" : ToUtf16(fields[4]);
            std::u16string source = fields[5].empty() ? service : ToUtf16(fields[5]);
            std::u16string eventKey =
                std::u16string(kernel::ServicesKeyPath) + u"\\EventLog\\" + log + u"\\" + source;
            registry.CreateKey(eventKey);
            for (const std::string& addReg : inf.ValuesOf(fields[3], "AddReg"))
            {
                ApplyAddReg(inf, addReg, eventKey);
            }
        }
        if ((flags & SpsvcinstAssocService) != 0)
        {
            *associatedService = service;
        }
    }
    (void)node;
}

std::u16string Setup::NextDriverKey(const std::u16string& classGuid)
{
    kernel::Registry& registry = m_registry;
    std::u16string classKey = std::u16string(kernel::ControlKeyPath) + u"\\Class\\" + classGuid;
    registry.CreateKey(classKey);
    for (unsigned n = 0;; ++n)
    {
        char name[8];
        snprintf(name, sizeof(name), "%04u", n);
        std::u16string candidate = classKey + u"\\" + ToUtf16(name);
        if (!registry.OpenKey(candidate))
        {
            registry.CreateKey(candidate);
            return classGuid + u"\\" + ToUtf16(name);
        }
    }
}

NTSTATUS Setup::InstallDevice(kernel::DeviceNode& node)
{
    Match match;
    if (!FindDriver(node, &match))
    {
        return STATUS_NOT_FOUND;
    }
    const InfFile& inf = match.package->inf;
    kernel::Registry& registry = m_registry;
    std::u16string classGuid = ToUtf16(inf.Value("Version", "ClassGuid").value_or(""));
    std::u16string className = ToUtf16(inf.Value("Version", "Class").value_or(""));
    std::string install = DecoratedSection(inf, match.installSection);
    if (install.empty())
    {
        return STATUS_NOT_FOUND;
    }

    // The driver (software) key.
    std::u16string driverKeyName = NextDriverKey(classGuid);
    std::u16string driverKey = std::u16string(kernel::ControlKeyPath) + u"\\Class\\" + driverKeyName;
    auto software = registry.OpenKey(driverKey);
    software->SetString(u"DriverDesc", ToUtf16(match.description));
    software->SetString(u"ProviderName", ToUtf16(inf.Value("Version", "Provider").value_or("")));
    software->SetString(u"DriverVersion", ToUtf16(inf.Value("Version", "DriverVer").value_or("")));
    software->SetString(u"InfPath", match.package->installedName);
    software->SetString(u"InfSection", ToUtf16(install));
    software->SetString(u"MatchingDeviceId", ToUtf16(match.matchingId));
    for (const std::string& addReg : inf.ValuesOf(install, "AddReg"))
    {
        ApplyAddReg(inf, addReg, driverKey);
    }

    // The hardware key.
    std::u16string hardwareKey = kernel::PnpManager::HardwareKeyPathOf(node);
    registry.CreateKey(hardwareKey);
    for (const std::string& addReg : inf.ValuesOf(install + ".HW", "AddReg"))
    {
        ApplyAddReg(inf, addReg, hardwareKey);
    }

    std::u16string service;
    ApplyServices(inf, install + ".Services", node, &service);
    if (service.empty())
    {
        return STATUS_NOT_FOUND;
    }

    auto enumKey = registry.CreateKey(kernel::PnpManager::EnumKeyPathOf(node));
    enumKey->SetString(u"Service", service);
    enumKey->SetString(u"ClassGUID", classGuid);
    enumKey->SetString(u"Class", className);
    enumKey->SetString(u"Driver", driverKeyName);
    enumKey->SetString(u"DeviceDesc", ToUtf16(match.description));
    enumKey->SetString(u"Mfg", ToUtf16(inf.Value("Version", "Provider").value_or("")));
    enumKey->SetDword(u"ConfigFlags", 0);

    // The Ports class installer gives the port its COM name.
    if (EqualsNoCase(className, u"Ports"))
    {
        auto parameters = registry.OpenKey(hardwareKey);
        std::optional<std::u16string> portName = parameters->GetString(u"PortName");
        auto hint = m_portNameHints.find(UpperCase(node.instancePath));
        if (hint != m_portNameHints.end())
        {
            portName = hint->second;
        }
        else if (!portName)
        {
            unsigned number = ClaimNextComPort();
            if (number == 0)
            {
                return STATUS_INSUFFICIENT_RESOURCES;
            }
            portName = u"COM" + ToUtf16(std::to_string(number));
        }
        parameters->SetString(u"PortName", *portName);
        AddPortsLine(*portName);
        enumKey->SetString(u"FriendlyName", ToUtf16(match.description) + u" (" + *portName + u")");
    }
    return STATUS_SUCCESS;
}

void Setup::SetPortNameHint(const std::u16string& instancePath, const std::u16string& portName)
{
    m_portNameHints[UpperCase(instancePath)] = portName;
}

std::vector<uint8_t> Setup::ReadComDb()
{
    auto key = m_registry.CreateKey(ComNameArbiterPath);
    std::optional<kernel::RegistryValue> value = key->GetValue(u"ComDB");
    std::vector<uint8_t> bits = value ? value->data : std::vector<uint8_t>();
    bits.resize(ComDbBytes, 0);
    return bits;
}

void Setup::WriteComDb(const std::vector<uint8_t>& bits)
{
    auto key = m_registry.CreateKey(ComNameArbiterPath);
    key->SetValue(u"ComDB", REG_BINARY, bits.data(), bits.size());
}

void Setup::ClaimComPort(unsigned number)
{
    std::vector<uint8_t> bits = ReadComDb();
    bits[(number - 1) / 8] |= static_cast<uint8_t>(1u << ((number - 1) % 8));
    WriteComDb(bits);
}

bool Setup::IsComPortClaimed(unsigned number)
{
    std::vector<uint8_t> bits = ReadComDb();
    return (bits[(number - 1) / 8] & (1u << ((number - 1) % 8))) != 0;
}

// Windows' Ports class installer gives a new port the default settings of the [Ports] section
// (which Windows keeps in the registry for win.ini); this machine keeps them in the file itself.
void Setup::AddPortsLine(const std::u16string& portName)
{
    machine::AddPortsLine(m_machine.SystemDrive() / "Windows" / "win.ini", ToUtf8(portName));
}

unsigned Setup::ClaimNextComPort()
{
    for (unsigned number = 1; number <= ComDbBytes * 8; ++number)
    {
        if (!IsComPortClaimed(number))
        {
            ClaimComPort(number);
            return number;
        }
    }
    return 0;
}

} // namespace winsim::machine
