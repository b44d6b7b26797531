#include "Machine.h"

#include "RegFile.h"
#include "Setup.h"

#include "kernel/EventLog.h"
#include "kernel/Io.h"
#include "kernel/Namespace.h"
#include "kernel/Registry.h"
#include "kernel/Process.h"
#include "kernel/Scheduler.h"
#include "kernel/Syscalls.h"
#include "kernel/Tracing.h"

#include "base/resources.h"
#include "base/tracefmt.h"
#include "base/unicode.h"

#include "ProductConstants.h"

#include <dlfcn.h>
#include <elf.h>
#include <link.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include <fstream>
#include <sstream>
#include <stdexcept>

namespace winsim::machine
{

namespace
{

std::filesystem::path MakeTemporaryRoot()
{
    const char* base = getenv("TMPDIR");
    std::string pattern =
        std::string(base != nullptr && *base != 0 ? base : "/tmp") + "/winsim-machine-XXXXXX";
    std::vector<char> buffer(pattern.begin(), pattern.end());
    buffer.push_back(0);
    if (mkdtemp(buffer.data()) == nullptr)
    {
        throw std::runtime_error("cannot create a folder for the machine's drive C:");
    }
    return std::filesystem::path(buffer.data());
}

// Finds an existing entry of a folder whose name matches without case.
std::filesystem::path MatchCase(const std::filesystem::path& folder, const std::string& name)
{
    std::filesystem::path exact = folder / name;
    if (std::filesystem::exists(exact) || !std::filesystem::is_directory(folder))
    {
        return exact;
    }
    for (const auto& entry : std::filesystem::directory_iterator(folder))
    {
        if (EqualsNoCase(entry.path().filename().string(), name))
        {
            return entry.path();
        }
    }
    return exact;
}

// The entry point an ELF image's header names, relocated to where the image was mapped; none when
// the header names none.
PDRIVER_INITIALIZE HeaderEntryPoint(void* handle, const std::filesystem::path& file)
{
    Elf64_Ehdr header{};
    std::ifstream in(file, std::ios::binary);
    if (!in.read(reinterpret_cast<char*>(&header), sizeof(header)) || header.e_entry == 0)
    {
        return nullptr;
    }
    struct link_map* map = nullptr;
    if (dlinfo(handle, RTLD_DI_LINKMAP, &map) != 0 || map == nullptr)
    {
        return nullptr;
    }
    return reinterpret_cast<PDRIVER_INITIALIZE>(map->l_addr + header.e_entry);
}

std::string FormatTime(LONGLONG systemTime)
{
    // 100-ns units since 1601 to seconds since 1970.
    time_t seconds = static_cast<time_t>(systemTime / 10000000LL - 11644473600LL);
    struct tm parts;
    gmtime_r(&seconds, &parts);
    char text[32];
    strftime(text, sizeof(text), "%Y-%m-%d %H:%M:%S", &parts);
    return text;
}

} // namespace

Machine::Machine() : Machine(MachineConfig()) {}

Machine::Machine(MachineConfig config) : m_config(std::move(config))
{
    m_root = m_config.root;
    if (m_root.empty())
    {
        m_root = MakeTemporaryRoot();
        m_ownsRoot = true;
    }
    std::filesystem::create_directories(SystemDrive() / "Windows" / "System32" / "drivers");
    std::filesystem::create_directories(SystemDrive() / "Windows" / "INF");
    std::filesystem::create_directories(m_root / "images");

    kernel::SystemConfig system = m_config.system;
    system.machineDirectory = m_root.string();
    m_system = std::make_unique<kernel::System>(system);
    m_setup = std::make_unique<Setup>(*this);
    SeedRegistry();
    for (const auto& file : m_config.registryFiles)
    {
        ImportRegFile(Registry(), file);
    }
    m_bus = std::make_unique<usb::UsbBus>();

    kernel::PnpManager& pnp = m_system->Pnp();
    pnp.SetImageLoader(
        [this](const std::u16string& path, kernel::DriverImage* image) { return LoadImage(path, image); });
    pnp.SetInstaller([this](kernel::DeviceNode& node) { return m_setup->InstallDevice(node); });
    // From now on this process's user mode runs on this machine.
    m_rootText = m_root.string();
    m_systemDriveText = SystemDrive().string();
    syscall::ConnectMachine(syscall::MachineConnection{&kernel::SystemServiceTable(), m_rootText.c_str(),
                                                       m_systemDriveText.c_str()});
    m_system->GetEventLog().SetMessageTableReader(
        [this](const std::u16string& files, USHORT language) -> std::optional<std::vector<uint8_t>> {
            // EventMessageFile may list several files, separated by semicolons.
            size_t start = 0;
            while (start <= files.size())
            {
                size_t end = files.find(u';', start);
                std::u16string file =
                    files.substr(start, end == std::u16string::npos ? std::u16string::npos : end - start);
                std::optional<ResourceSet> resources = ResourceSet::FromElfFile(HostPath(file).string());
                if (resources)
                {
                    if (const Resource* table = resources->Find(kResourceTypeMessageTable, 1, language))
                    {
                        return table->data;
                    }
                }
                if (end == std::u16string::npos)
                {
                    break;
                }
                start = end + 1;
            }
            return std::nullopt;
        });
}

Machine::~Machine()
{
    // The user-mode process ends (its handles close while the devices are there), readers come
    // out, drivers unload (with the verifier's leak checks), then the kernel stops.
    m_system->Process().Rundown();
    for (kernel::DeviceNode* node : m_system->Pnp().Nodes())
    {
        if (node->pdo != nullptr)
        {
            Detach(node);
        }
    }
    m_system->GetScheduler().WaitForIdle();
    m_system->Pnp().UnloadAll();
    m_bus.reset();
    m_setup.reset();
    syscall::DisconnectMachine();
    m_system.reset();
    if (m_ownsRoot)
    {
        std::error_code ignored;
        std::filesystem::remove_all(m_root, ignored);
    }
}

kernel::Registry& Machine::Registry()
{
    return m_system->GetRegistry();
}

void Machine::SeedRegistry()
{
    kernel::Registry& registry = Registry();
    registry.CreateKey(kernel::ServicesKeyPath);
    registry.CreateKey(std::u16string(kernel::ServicesKeyPath) + u"\\EventLog\\System");
    registry.CreateKey(kernel::EnumKeyPath);
    registry.CreateKey(std::u16string(kernel::ControlKeyPath) + u"\\Class");
    auto version = registry.CreateKey(kernel::WindowsNtKeyPath);
    version->SetString(u"SystemRoot", u"C:\\Windows");
    version->SetString(u"CurrentVersion", ToUtf16(std::to_string(m_config.system.majorVersion) + "." +
                                                  std::to_string(m_config.system.minorVersion)));
    version->SetString(u"CurrentBuildNumber", ToUtf16(std::to_string(m_config.system.buildNumber)));
    // The hardware map is volatile: it exists only while the machine runs.
    registry.CreateKey(u"\\Registry\\Machine\\HARDWARE", true);
    registry.CreateKey(kernel::DeviceMapKeyPath, true);
    auto serialComm = registry.CreateKey(std::u16string(kernel::DeviceMapKeyPath) + u"\\SERIALCOMM", true);
    unsigned index = 0;
    for (unsigned number : m_config.builtInComPorts)
    {
        serialComm->SetString(u"\\Device\\Serial" + ToUtf16(std::to_string(index++)),
                              u"COM" + ToUtf16(std::to_string(number)));
        m_setup->ClaimComPort(number);
    }
}

std::filesystem::path Machine::HostPath(std::u16string_view windowsPath) const
{
    std::u16string path(windowsPath);
    auto stripPrefix = [&path](std::u16string_view prefix) {
        if (path.size() >= prefix.size() &&
            EqualsNoCase(std::u16string_view(path).substr(0, prefix.size()), prefix))
        {
            path = path.substr(prefix.size());
            return true;
        }
        return false;
    };
    stripPrefix(u"\\??\\");
    if (stripPrefix(u"\\SystemRoot\\") || stripPrefix(u"%SystemRoot%\\") || stripPrefix(u"%windir%\\"))
    {
        path = u"Windows\\" + path;
    }
    else if (stripPrefix(u"C:\\"))
    {
    }
    else if (!path.empty() && path[0] != u'\\')
    {
        // Relative to the Windows folder, as service image paths are.
        path = u"Windows\\" + path;
    }
    std::filesystem::path host = SystemDrive();
    size_t start = 0;
    while (start < path.size())
    {
        size_t end = path.find(u'\\', start);
        std::u16string part =
            path.substr(start, end == std::u16string::npos ? std::u16string::npos : end - start);
        if (!part.empty())
        {
            host = MatchCase(host, ToUtf8(part));
        }
        if (end == std::u16string::npos)
        {
            break;
        }
        start = end + 1;
    }
    return host;
}

void Machine::SaveRegistry(const std::filesystem::path& file, std::u16string_view keyPath)
{
    ExportRegFile(Registry(), file, keyPath);
}

void Machine::InstallPackage(const std::filesystem::path& infFile)
{
    m_setup->InstallPackage(infFile);
}

void Machine::UseBuiltInDriver(const std::u16string& imageFileName, PDRIVER_INITIALIZE entry)
{
    m_builtIn[UpperCase(imageFileName)] = entry;
}

NTSTATUS Machine::LoadImage(const std::u16string& imagePath, kernel::DriverImage* image)
{
    std::u16string fileName = imagePath.substr(imagePath.find_last_of(u'\\') + 1);
    auto builtIn = m_builtIn.find(UpperCase(fileName));
    if (builtIn != m_builtIn.end())
    {
        image->entry = builtIn->second;
        return STATUS_SUCCESS;
    }
    std::filesystem::path file = HostPath(imagePath);
    if (!std::filesystem::exists(file))
    {
        return STATUS_OBJECT_NAME_NOT_FOUND;
    }
    // Every load maps a fresh image, as Windows does after an unload: the loader is given a copy
    // under a name of its own, so that the image's global state starts from scratch.
    std::filesystem::path copy =
        m_root / "images" / ("loaded-" + std::to_string(m_loadCount++) + "-" + file.filename().string());
    std::filesystem::copy_file(file, copy, std::filesystem::copy_options::overwrite_existing);
    void* handle = dlopen(copy.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (handle == nullptr)
    {
        fprintf(stderr, "cannot load %s: %s\n", copy.c_str(), dlerror());
        return STATUS_INVALID_IMAGE_FORMAT;
    }
    // The entry point is the one the image header names (a framework driver's is the framework's
    // stub, FxDriverEntry); an image whose header names none starts at its DriverEntry export.
    PDRIVER_INITIALIZE entry = HeaderEntryPoint(handle, copy);
    if (entry == nullptr)
    {
        entry = reinterpret_cast<PDRIVER_INITIALIZE>(dlsym(handle, "DriverEntry"));
    }
    if (entry == nullptr)
    {
        dlclose(handle);
        return STATUS_PROCEDURE_NOT_FOUND;
    }
    image->entry = entry;
    image->unload = [handle, copy]() {
        dlclose(handle);
        std::error_code ignored;
        std::filesystem::remove(copy, ignored);
    };
    return STATUS_SUCCESS;
}

kernel::DeviceNode* Machine::Attach(const ReaderSpec& reader)
{
    usb::DeviceIdentity identity;
    identity.vendorId = reader.vendorId != 0 ? reader.vendorId : TARNO_VENDOR_ID;
    identity.productId = reader.productId != 0
                             ? reader.productId
                             : static_cast<USHORT>(strtoul(TARNO_PRODUCT_ID_TEXT, nullptr, 16));
    identity.serialNumber = reader.serialNumber;
    usb::Connection connection = m_bus->Connect(identity);
    if (reader.portName)
    {
        m_setup->SetPortNameHint(connection.instancePath, *reader.portName);
    }
    return m_system->Pnp().ReportDevice(connection.pdo, connection.instancePath, connection.hardwareIds,
                                        connection.compatibleIds, identity.description, connection.location);
}

void Machine::Detach(kernel::DeviceNode* node)
{
    if (node == nullptr || node->pdo == nullptr)
    {
        return;
    }
    m_bus->Disconnect(node->pdo);
    m_system->Pnp().RemoveDevice(node);
}

std::vector<kernel::DeviceNode*> Machine::Devices()
{
    return m_system->Pnp().Nodes();
}

std::u16string Machine::RenderEvent(const kernel::EventLogEntry& entry, USHORT language) const
{
    std::optional<std::u16string> text = m_system->GetEventLog().Render(entry, language);
    if (text)
    {
        return *text;
    }
    char fallback[160];
    snprintf(fallback, sizeof(fallback), "The description for Event ID %u from source %s cannot be found.",
             entry.EventId(), ToUtf8(entry.source).c_str());
    return ToUtf16(fallback);
}

void Machine::AdvanceClock(std::chrono::milliseconds span)
{
    m_system->GetScheduler().Advance(static_cast<ULONGLONG>(span.count()) * 10000);
}

bool Machine::AdvanceToNextDeadline()
{
    return m_system->GetScheduler().AdvanceToNextDeadline();
}

std::optional<std::chrono::milliseconds> Machine::NextDeadline()
{
    kernel::Scheduler& scheduler = m_system->GetScheduler();
    std::optional<ULONGLONG> next = scheduler.NextDeadline();
    if (!next)
    {
        return std::nullopt;
    }
    ULONGLONG now = scheduler.InterruptTime();
    return std::chrono::milliseconds(*next > now ? (*next - now) / 10000 : 0);
}

void Machine::SettleWaiters()
{
    m_system->GetScheduler().WaitForWaitersToSettle();
}

std::optional<Machine::StoredValue> Machine::StoredRegistryValue(std::u16string_view keyPath,
                                                                 std::u16string_view name)
{
    auto key = Registry().OpenKey(keyPath);
    std::optional<kernel::RegistryValue> value = key ? key->GetValue(name) : std::nullopt;
    if (!value)
    {
        return std::nullopt;
    }
    return StoredValue{value->type, value->data};
}

bool Machine::RegistryKeyExists(std::u16string_view keyPath)
{
    return Registry().OpenKey(keyPath) != nullptr;
}

kernel::DeviceNode* Machine::DeviceByComName(std::u16string_view comName)
{
    for (kernel::DeviceNode* node : Devices())
    {
        auto parameters = Registry().OpenKey(kernel::PnpManager::HardwareKeyPathOf(*node));
        std::optional<std::u16string> port = parameters ? parameters->GetString(u"PortName") : std::nullopt;
        if (node->pdo != nullptr && port && EqualsNoCase(*port, comName))
        {
            return node;
        }
    }
    return nullptr;
}

void Machine::StartTrace(const std::u16string& session, const GUID& provider, UCHAR level, ULONG flags)
{
    kernel::TraceHub& tracing = m_system->Tracing();
    if (!tracing.IsSessionRunning(session) && tracing.StartSession(session) == 0)
    {
        throw std::runtime_error("cannot start the trace session " + ToUtf8(session));
    }
    tracing.EnableProvider(session, provider, level, flags, true);
}

std::vector<std::string> Machine::TraceLines(const std::u16string& session,
                                             const std::filesystem::path& formatFile)
{
    std::string error;
    std::optional<TraceFormats> formats = TraceFormats::Load(formatFile.string(), &error);
    if (!formats)
    {
        throw std::runtime_error("cannot read the trace format file: " + error);
    }
    std::vector<std::string> lines;
    for (const auto& message : m_system->Tracing().Messages(session))
    {
        winsim::TraceMessage recorded;
        recorded.guid.Data1 = message.messageGuid.Data1;
        recorded.guid.Data2 = message.messageGuid.Data2;
        recorded.guid.Data3 = message.messageGuid.Data3;
        memcpy(recorded.guid.Data4, message.messageGuid.Data4, sizeof(recorded.guid.Data4));
        recorded.number = message.messageNumber;
        recorded.arguments = message.arguments;
        lines.push_back(formats->Render(recorded).text);
    }
    return lines;
}

std::string Machine::DescribeDevices()
{
    std::ostringstream out;
    kernel::Registry& registry = Registry();
    kernel::ObjectNamespace& names = m_system->Namespace();
    for (kernel::DeviceNode* node : Devices())
    {
        out << ToUtf8(node->instancePath) << "\n";
        out << "    state:        " << kernel::DeviceNodeStateName(node->state);
        if (node->state == kernel::DeviceNodeState::Failed)
        {
            char status[16];
            snprintf(status, sizeof(status), "0x%08X", static_cast<unsigned>(node->problem));
            out << " (" << status << ")";
        }
        out << "\n";
        out << "    hardware IDs:";
        for (const auto& id : node->hardwareIds)
        {
            out << " " << ToUtf8(id);
        }
        out << "\n";
        auto enumKey = registry.OpenKey(kernel::PnpManager::EnumKeyPathOf(*node));
        if (enumKey)
        {
            if (auto friendly = enumKey->GetString(u"FriendlyName"))
            {
                out << "    friendly name: " << ToUtf8(*friendly) << "\n";
            }
        }
        auto parameters = registry.OpenKey(kernel::PnpManager::HardwareKeyPathOf(*node));
        if (parameters)
        {
            if (auto port = parameters->GetString(u"PortName"))
            {
                out << "    COM name:     " << ToUtf8(*port) << "\n";
            }
            if (auto instance = parameters->GetDword(u"InstanceNumber"))
            {
                out << "    instance:     " << *instance << "\n";
            }
        }
        if (node->pdo != nullptr)
        {
            PDEVICE_OBJECT top = kernel::IoManager::TopOfStack(node->pdo);
            if (top != node->pdo)
            {
                if (auto name = names.DeviceName(top))
                {
                    out << "    kernel name:  " << ToUtf8(*name) << "\n";
                }
            }
        }
        for (const auto& [link, target] : names.Links())
        {
            PDEVICE_OBJECT device = names.Lookup(link);
            if (device != nullptr && node->pdo != nullptr &&
                device == kernel::IoManager::TopOfStack(node->pdo) &&
                link.find(u"#{") == std::u16string::npos)
            {
                std::u16string shown =
                    link.rfind(u"\\GLOBAL??\\", 0) == 0 ? u"\\DosDevices\\" + link.substr(10) : link;
                out << "    link:         " << ToUtf8(shown) << " -> " << ToUtf8(target) << "\n";
            }
        }
    }
    return out.str();
}

std::string Machine::DescribeSerialComm()
{
    std::ostringstream out;
    auto key = Registry().OpenKey(std::u16string(kernel::DeviceMapKeyPath) + u"\\SERIALCOMM");
    if (!key)
    {
        return "(no SERIALCOMM key)\n";
    }
    for (const kernel::RegistryValue& value : key->Values())
    {
        std::u16string data(reinterpret_cast<const char16_t*>(value.data.data()), value.data.size() / 2);
        while (!data.empty() && data.back() == 0)
        {
            data.pop_back();
        }
        out << "    " << ToUtf8(value.name) << " = " << ToUtf8(data) << "\n";
    }
    return out.str();
}

std::string Machine::DescribeEventLog(USHORT language)
{
    std::ostringstream out;
    for (const kernel::EventLogEntry& entry : m_system->GetEventLog().Entries())
    {
        char head[160];
        snprintf(head, sizeof(head), "%s  %-11s  %-8s  %5u  ", FormatTime(entry.timeGenerated).c_str(),
                 entry.LevelName(), ToUtf8(entry.source).c_str(), entry.EventId());
        out << head << ToUtf8(RenderEvent(entry, language));
        if (entry.Packet().FinalStatus != 0)
        {
            char status[48];
            snprintf(status, sizeof(status), "  [status 0x%08X]",
                     static_cast<unsigned>(entry.Packet().FinalStatus));
            out << status;
        }
        out << "\n";
    }
    return out.str();
}

} // namespace winsim::machine
