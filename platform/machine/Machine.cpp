#include "Machine.h"

#include "BuiltInDevices.h"
#include "RegFile.h"
#include "Setup.h"

#include "kernel/EventLog.h"
#include "kernel/FileIo.h"
#include "kernel/Io.h"
#include "kernel/Namespace.h"
#include "kernel/Pnp.h"
#include "kernel/Power.h"
#include "kernel/Pool.h"
#include "kernel/Registry.h"
#include "kernel/Process.h"
#include "kernel/Scheduler.h"
#include "kernel/Syscalls.h"
#include "kernel/System.h"
#include "kernel/Thread.h"
#include "kernel/Tracing.h"
#include "kmdf/FxDevice.h"
#include "kmdf/FxDriver.h"
#include "kmdf/FxFaultInjection.h"
#include "kmdf/FxObject.h"
#include "usb/UsbBus.h"

#include "base/etl.h"
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
#include <unistd.h>

#include <fstream>
#include <ostream>
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

// An entry's message as Event Viewer shows it, also when the source's message file lacks it.
std::u16string EventMessage(const kernel::EventLog& log, const kernel::EventLogEntry& entry, USHORT language)
{
    std::optional<std::u16string> text = log.Render(entry, language);
    if (text)
    {
        return *text;
    }
    char fallback[160];
    snprintf(fallback, sizeof(fallback), "The description for Event ID %u from source %s cannot be found.",
             static_cast<unsigned>(entry.EventId()), ToUtf8(entry.source).c_str());
    return ToUtf16(fallback);
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

// A name into a fixed field of a trace control request, cut to fit with its terminator.
template <size_t N>
void CopyTraceName(std::u16string_view name, WCHAR (&field)[N])
{
    size_t count = std::min(name.size(), N - 1);
    for (size_t i = 0; i < count; ++i)
    {
        field[i] = static_cast<WCHAR>(name[i]);
    }
    field[count] = 0;
}

// Places the machine's own programs in C:\Windows\System32 (the folder exists): a symbolic link
// to the program the build made, so that every machine runs the current build. The link is made
// under a name of this process's own and renamed over the old one, so that machines booting on one
// folder at the same time each leave a whole link behind.
void PlaceSystemPrograms(const std::filesystem::path& system32)
{
    const std::pair<const char*, const char*> programs[] = {
        {"makecab.exe", WINSIM_MAKECAB_EXE},
        {"Heskor_x64.exe", WINSIM_HESKOR_EXE},
    };
    for (const auto& [name, built] : programs)
    {
        std::filesystem::path target = system32 / name;
        std::error_code ec;
        if (std::filesystem::read_symlink(target, ec) == built)
        {
            continue;
        }
        std::filesystem::path staging = system32 / (std::string(name) + "." + std::to_string(getpid()));
        std::filesystem::remove(staging, ec);
        std::filesystem::create_symlink(built, staging);
        std::filesystem::rename(staging, target);
    }
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
    PlaceSystemPrograms(SystemDrive() / "Windows" / "System32");

    kernel::SystemConfig system;
    system.majorVersion = m_config.majorVersion;
    system.minorVersion = m_config.minorVersion;
    system.buildNumber = m_config.buildNumber;
    system.unavailableRoutines = m_config.unavailableRoutines;
    system.realTimeClock = m_config.realTimeClock;
    system.machineDirectory = m_root.string();
    system.systemDrive = SystemDrive().string();
    m_system = std::make_unique<kernel::System>(system);
    if (m_config.advanceClockWhenIdle && !m_config.realTimeClock)
    {
        m_system->GetScheduler().AdvanceWhenIdle();
    }
    m_setup = std::make_unique<Setup>(*this, KernelRegistry());
    SeedRegistry();
    for (const auto& file : m_config.registryFiles)
    {
        ImportRegFile(KernelRegistry(), file);
    }
    if (m_config.bootTraceSession)
    {
        StartBootTraceSession(*m_config.bootTraceSession);
    }
    m_bus = std::make_unique<usb::UsbBus>();
    m_boardDevices = std::make_unique<BuiltInDevices>(m_config.builtInComPorts);

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
        if (node->pdo != nullptr && m_readers.count(node) != 0)
        {
            Detach(Device(node));
        }
    }
    m_system->GetScheduler().WaitForIdle();
    m_system->Pnp().UnloadAll();
    m_boardDevices.reset();
    m_bus.reset();
    m_setup.reset();
    syscall::DisconnectMachine();
    m_system.reset();
    // A failure a test armed and did not reach stays with this machine.
    wdf::ClearObjectCreationFault();
    if (m_ownsRoot)
    {
        std::error_code ignored;
        std::filesystem::remove_all(m_root, ignored);
    }
}

kernel::Registry& Machine::KernelRegistry()
{
    return m_system->GetRegistry();
}

void Machine::SeedRegistry()
{
    kernel::Registry& registry = KernelRegistry();
    registry.CreateKey(kernel::ServicesKeyPath);
    // The USB stack's global switch for selective suspend.
    auto usb = registry.CreateKey(std::u16string(kernel::ServicesKeyPath) + u"\\USB");
    usb->SetDword(u"DisableSelectiveSuspend", m_config.usbSelectiveSuspend ? 0 : 1);
    registry.CreateKey(std::u16string(kernel::ServicesKeyPath) + u"\\EventLog\\System");
    registry.CreateKey(kernel::EnumKeyPath);
    registry.CreateKey(std::u16string(kernel::ControlKeyPath) + u"\\Class");
    auto version = registry.CreateKey(kernel::WindowsNtKeyPath);
    version->SetString(u"SystemRoot", u"C:\\Windows");
    version->SetString(u"CurrentVersion", ToUtf16(std::to_string(m_config.majorVersion) + "." +
                                                  std::to_string(m_config.minorVersion)));
    version->SetString(u"CurrentBuildNumber", ToUtf16(std::to_string(m_config.buildNumber)));
    // National language support: the code pages in decimal, the languages as four hex digits.
    auto codePage = registry.CreateKey(std::u16string(kernel::ControlKeyPath) + u"\\Nls\\CodePage");
    codePage->SetString(u"ACP", ToUtf16(std::to_string(m_config.ansiCodePage)));
    codePage->SetString(u"OEMCP", ToUtf16(std::to_string(m_config.ansiCodePage)));
    char language[8];
    snprintf(language, sizeof(language), "%04x", static_cast<unsigned>(m_config.uiLanguage));
    auto languages = registry.CreateKey(std::u16string(kernel::ControlKeyPath) + u"\\Nls\\Language");
    languages->SetString(u"Default", ToUtf16(language));
    languages->SetString(u"InstallLanguage", ToUtf16(language));
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

Device Machine::Attach(const ReaderSpec& reader)
{
    usb::DeviceIdentity identity;
    identity.vendorId = reader.vendorId != 0 ? reader.vendorId : TARNO_VENDOR_ID;
    identity.productId = reader.productId != 0
                             ? reader.productId
                             : static_cast<USHORT>(strtoul(TARNO_PRODUCT_ID_TEXT, nullptr, 16));
    identity.serialNumber = reader.serialNumber;
    usb::ReaderOptions options;
    options.layout = static_cast<usb::Layout>(reader.layout);
    options.speed = reader.speed == ReaderSpeed::High ? usb::Speed::High : usb::Speed::Full;
    options.remoteWake = reader.remoteWake;
    options.loopback = reader.loopback;
    options.lineRate = reader.lineRate;
    options.answerLineState = reader.answerLineState;
    usb::Connection connection = m_bus->Connect(identity, options);
    // One device can be in one port at a time: a second reader with the same identity would take
    // over the first one's device node under its driver.
    kernel::DeviceNode* present = m_system->Pnp().NodeByInstancePath(connection.instancePath);
    if (present != nullptr && present->pdo != nullptr && present->pdo != connection.pdo)
    {
        m_bus->Disconnect(connection.pdo);
        throw std::invalid_argument("the reader " + ToUtf8(connection.instancePath) +
                                    " is plugged in already; pull it out before plugging it in again");
    }
    if (reader.beforeStart)
    {
        reader.beforeStart(Reader(connection.reader));
    }
    if (reader.portName)
    {
        m_setup->SetPortNameHint(connection.instancePath, *reader.portName);
    }
    kernel::DeviceNode* node =
        m_system->Pnp().ReportDevice(connection.pdo, connection.instancePath, connection.hardwareIds,
                                     connection.compatibleIds, identity.description, connection.location);
    m_readers[node] = connection.reader;
    // Plug and Play starts what it added.
    if (node->state == kernel::DeviceNodeState::Added)
    {
        m_system->Pnp().StartDevice(node);
    }
    return Device(node);
}

void Machine::Detach(Device device)
{
    kernel::DeviceNode* node = device.m_node;
    if (node == nullptr || node->pdo == nullptr || m_readers.count(node) == 0)
    {
        return;
    }
    // The reader stops answering first (its pending transfers end as the device's gone), then
    // Plug and Play learns it left.
    m_bus->Disconnect(node->pdo);
    m_system->Pnp().RemoveDevice(node);
}

Reader Machine::ReaderOf(Device device)
{
    auto found = m_readers.find(device.m_node);
    return found != m_readers.end() ? Reader(found->second) : Reader();
}

// --- the reader model behind a device ---------------------------------------------------------

namespace
{
usb::Endpoint EndpointOf(ReaderEndpoint endpoint)
{
    return static_cast<usb::Endpoint>(endpoint);
}
static_assert(static_cast<int>(ReaderLayout::NoBulkOut) == static_cast<int>(usb::Layout::NoBulkOut));
static_assert(static_cast<int>(ReaderEndpoint::BulkOut) == static_cast<int>(usb::Endpoint::BulkOut));
} // namespace

void Reader::PushBulkIn(const std::vector<UCHAR>& bytes)
{
    m_model->PushBulkIn(bytes.data(), bytes.size());
}

void Reader::PushBulkIn(std::string_view bytes)
{
    m_model->PushBulkIn(reinterpret_cast<const UCHAR*>(bytes.data()), bytes.size());
}

void Reader::PushSerialState(USHORT bitmap)
{
    m_model->PushNotification(usb::SerialStateNotification, 0,
                              {static_cast<UCHAR>(bitmap & 0xFF), static_cast<UCHAR>(bitmap >> 8)});
}

void Reader::PushNotification(UCHAR code, USHORT value, const std::vector<UCHAR>& data)
{
    m_model->PushNotification(code, value, data);
}

std::vector<UCHAR> Reader::TakeBulkOut()
{
    return m_model->TakeBulkOut();
}

std::vector<ReaderControlRequest> Reader::ControlRequests()
{
    std::vector<ReaderControlRequest> requests;
    for (const usb::ControlRecord& record : m_model->ControlRequests())
    {
        USB_DEFAULT_PIPE_SETUP_PACKET setup;
        memcpy(setup.Bytes, record.setup.data(), sizeof(setup.Bytes));
        requests.push_back(ReaderControlRequest{record.time, setup.s.bmRequestType, setup.s.bRequest,
                                                setup.s.wValue, setup.s.wIndex, setup.s.wLength,
                                                record.data});
    }
    return requests;
}

std::vector<ReaderTransfer> Reader::Transfers()
{
    std::vector<ReaderTransfer> transfers;
    for (const usb::TransferRecord& record : m_model->Transfers())
    {
        transfers.push_back(
            ReaderTransfer{record.submitted, record.ended, static_cast<ReaderEndpoint>(record.endpoint),
                           record.in, record.length, record.transferred, record.status, record.usbdStatus});
    }
    return transfers;
}

unsigned Reader::OutstandingBulkInReads()
{
    return m_model->OutstandingBulkInReads();
}

unsigned Reader::MostBulkInReadsOutstanding()
{
    return m_model->MostBulkInReadsOutstanding();
}

unsigned Reader::PipeResets(ReaderEndpoint endpoint)
{
    return m_model->PipeResets(EndpointOf(endpoint));
}

unsigned Reader::PortResets()
{
    return m_model->PortResets();
}

unsigned Reader::IdleCallbacks()
{
    return m_model->IdleCallbacks();
}

void Reader::FailTransfers(ReaderEndpoint endpoint, unsigned count, NTSTATUS status, LONG usbdStatus)
{
    m_model->FailTransfers(EndpointOf(endpoint), count, status, usbdStatus);
}

void Reader::Stall(ReaderEndpoint endpoint)
{
    m_model->Stall(EndpointOf(endpoint));
}

bool Reader::Stalled(ReaderEndpoint endpoint)
{
    return m_model->Stalled(EndpointOf(endpoint));
}

void Reader::FailPipeResets(unsigned count, NTSTATUS status)
{
    m_model->FailPipeResets(count, status);
}

void Reader::FailPortResets(unsigned count, NTSTATUS status)
{
    m_model->FailPortResets(count, status);
}

void Reader::IgnoreClassRequests(bool ignore)
{
    m_model->IgnoreControlRequests(ignore);
}

void Reader::Hold(ReaderEndpoint endpoint, bool evenWhenCancelled)
{
    m_model->Hold(EndpointOf(endpoint), evenWhenCancelled);
}

std::string Reader::Describe()
{
    return m_model->Describe();
}

void Reader::Flood(unsigned reads, UCHAR fill)
{
    m_model->Flood(reads, fill);
}

void Reader::Release(ReaderEndpoint endpoint)
{
    m_model->Release(EndpointOf(endpoint));
}

void Reader::Disconnect()
{
    m_model->Disconnect();
}

bool Reader::Connected()
{
    return m_model->Connected();
}

void Reader::WaitForCompletions()
{
    m_model->WaitForCompletions();
}

NTSTATUS Machine::RemoveDevice(Device device)
{
    if (!device)
    {
        return STATUS_INVALID_DEVICE_STATE;
    }
    return m_system->Pnp().RemoveOrderly(device.m_node);
}

std::vector<Device> Machine::Devices()
{
    std::vector<Device> devices;
    for (kernel::DeviceNode* node : m_system->Pnp().Nodes())
    {
        if (m_readers.count(node) != 0)
        {
            devices.push_back(Device(node));
        }
    }
    return devices;
}

void Machine::AdvanceClock(std::chrono::nanoseconds span)
{
    m_system->GetScheduler().Advance(static_cast<ULONGLONG>(span.count()) / 100);
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

void Machine::WaitForQuiescence()
{
    m_system->GetScheduler().WaitForQuiescence();
}

void Machine::WaitForSystemThreads()
{
    m_system->GetScheduler().WaitForIdle();
}

void Machine::RunSystemThreadsToRest()
{
    m_system->GetScheduler().RunUntilIdle();
}

// --- power ---

SYSTEM_POWER_STATE Machine::SystemPowerState()
{
    return m_system->Power().State();
}

NTSTATUS Machine::Sleep()
{
    return m_system->Power().EnterSleepState(PowerSystemSleeping3, PowerActionSleep);
}

NTSTATUS Machine::Hibernate()
{
    return m_system->Power().EnterSleepState(PowerSystemHibernate, PowerActionHibernate);
}

NTSTATUS Machine::Shutdown()
{
    return m_system->Power().EnterSleepState(PowerSystemShutdown, PowerActionShutdownOff);
}

NTSTATUS Machine::Restart()
{
    return m_system->Power().EnterSleepState(PowerSystemShutdown, PowerActionShutdownReset);
}

NTSTATUS Machine::Wake()
{
    return m_system->Power().Wake();
}

// --- the registry ---

std::optional<RegistryValue> Machine::StoredRegistryValue(std::u16string_view keyPath,
                                                          std::u16string_view name)
{
    auto key = KernelRegistry().OpenKey(keyPath);
    std::optional<kernel::RegistryValue> value = key ? key->GetValue(name) : std::nullopt;
    if (!value)
    {
        return std::nullopt;
    }
    return RegistryValue{value->type, value->data};
}

std::optional<ULONG> Machine::RegistryDword(std::u16string_view keyPath, std::u16string_view name)
{
    auto key = KernelRegistry().OpenKey(keyPath);
    return key ? key->GetDword(name) : std::nullopt;
}

std::optional<std::u16string> Machine::RegistryString(std::u16string_view keyPath, std::u16string_view name)
{
    auto key = KernelRegistry().OpenKey(keyPath);
    return key ? key->GetString(name) : std::nullopt;
}

bool Machine::RegistryKeyExists(std::u16string_view keyPath)
{
    return KernelRegistry().OpenKey(keyPath) != nullptr;
}

void Machine::CreateRegistryKey(std::u16string_view keyPath)
{
    if (KernelRegistry().CreateKey(keyPath) == nullptr)
    {
        throw std::invalid_argument("cannot create the registry key " + ToUtf8(std::u16string(keyPath)));
    }
}

void Machine::SetRegistryValue(std::u16string_view keyPath, std::u16string_view name,
                               const RegistryValue& value)
{
    auto key = KernelRegistry().CreateKey(keyPath);
    if (key == nullptr)
    {
        throw std::invalid_argument("cannot create the registry key " + ToUtf8(std::u16string(keyPath)));
    }
    key->SetValue(name, value.type, value.data.data(), value.data.size());
}

bool Machine::DeleteRegistryValue(std::u16string_view keyPath, std::u16string_view name)
{
    auto key = KernelRegistry().OpenKey(keyPath);
    return key != nullptr && key->DeleteValue(name);
}

RegistryValue RegistryValue::Dword(ULONG value)
{
    return Bytes(REG_DWORD, &value, sizeof(value));
}

RegistryValue RegistryValue::String(std::u16string_view text, ULONG type)
{
    std::u16string terminated(text);
    terminated.push_back(u'\0');
    return Bytes(type, terminated.data(), terminated.size() * sizeof(char16_t));
}

RegistryValue RegistryValue::Bytes(ULONG type, const void* data, size_t size)
{
    const auto* bytes = static_cast<const uint8_t*>(data);
    return RegistryValue{type, std::vector<uint8_t>(bytes, bytes + size)};
}

// --- devices and drivers ---

std::ostream& operator<<(std::ostream& out, DeviceState state)
{
    return out << kernel::DeviceNodeStateName(static_cast<kernel::DeviceNodeState>(state));
}

static_assert(
    static_cast<int>(DeviceState::Enumerated) == static_cast<int>(kernel::DeviceNodeState::Enumerated) &&
        static_cast<int>(DeviceState::Added) == static_cast<int>(kernel::DeviceNodeState::Added) &&
        static_cast<int>(DeviceState::Started) == static_cast<int>(kernel::DeviceNodeState::Started) &&
        static_cast<int>(DeviceState::Failed) == static_cast<int>(kernel::DeviceNodeState::Failed) &&
        static_cast<int>(DeviceState::Removed) == static_cast<int>(kernel::DeviceNodeState::Removed) &&
        static_cast<int>(DeviceState::Disabled) == static_cast<int>(kernel::DeviceNodeState::Disabled),
    "a device's state is the Plug and Play manager's state of its node");

DeviceState Device::State() const
{
    return static_cast<DeviceState>(m_node->state);
}

NTSTATUS Device::Problem() const
{
    return m_node->problem;
}

std::u16string Device::InstancePath() const
{
    return m_node->instancePath;
}

std::vector<std::u16string> Device::HardwareIds() const
{
    return m_node->hardwareIds;
}

std::vector<std::u16string> Device::CompatibleIds() const
{
    return m_node->compatibleIds;
}

PDEVICE_OBJECT Device::PhysicalDeviceObject() const
{
    return m_node->pdo;
}

PDEVICE_OBJECT Device::DeviceObject() const
{
    return m_node->pdo != nullptr ? kernel::IoManager::TopOfStack(m_node->pdo) : nullptr;
}

std::u16string Device::KernelName() const
{
    PDEVICE_OBJECT top = DeviceObject();
    return top != nullptr ? kernel::System::Current().Namespace().DeviceName(top).value_or(u"") : u"";
}

namespace
{
wdf::FxDevice* FrameworkDeviceOf(kernel::DeviceNode* node)
{
    PDEVICE_OBJECT top = node->pdo != nullptr ? kernel::IoManager::TopOfStack(node->pdo) : nullptr;
    if (top == nullptr || wdf::FxDriver::FromWdm(top->DriverObject) == nullptr)
    {
        return nullptr;
    }
    return wdf::FxDevice::FromWdm(top);
}
} // namespace

DEVICE_POWER_STATE Device::PowerState() const
{
    wdf::FxDevice* device = FrameworkDeviceOf(m_node);
    return device != nullptr ? device->PowerState() : PowerDeviceUnspecified;
}

bool Device::IdlePoweredDown() const
{
    wdf::FxDevice* device = FrameworkDeviceOf(m_node);
    return device != nullptr && device->IdlePoweredDown();
}

bool Device::IdlePowerDownEnabled() const
{
    wdf::FxDevice* device = FrameworkDeviceOf(m_node);
    return device != nullptr && device->IdleEnabled();
}

WDFDEVICE__* Device::FrameworkDevice() const
{
    PDEVICE_OBJECT top = DeviceObject();
    if (top == nullptr || wdf::FxDriver::FromWdm(top->DriverObject) == nullptr)
    {
        return nullptr;
    }
    return reinterpret_cast<WDFDEVICE__*>(wdf::FxDevice::FromWdm(top)->Handle());
}

Device Machine::DeviceByComName(std::u16string_view comName)
{
    for (kernel::DeviceNode* node : m_system->Pnp().Nodes())
    {
        auto parameters = KernelRegistry().OpenKey(kernel::PnpManager::HardwareKeyPathOf(*node));
        std::optional<std::u16string> port = parameters ? parameters->GetString(u"PortName") : std::nullopt;
        if (node->pdo != nullptr && port && EqualsNoCase(*port, comName))
        {
            return Device(node);
        }
    }
    return Device();
}

std::vector<DeviceInterface> Machine::DeviceInterfaces(const GUID& interfaceClass)
{
    std::vector<DeviceInterface> interfaces;
    for (const kernel::DeviceInterfaceInstance& instance : m_system->Namespace().Interfaces(interfaceClass))
    {
        interfaces.push_back(DeviceInterface{instance.symbolicLink, instance.instancePath, instance.enabled});
    }
    return interfaces;
}

PDRIVER_OBJECT Machine::LoadedDriver(std::u16string_view service)
{
    return m_system->Pnp().LoadedDriver(service);
}

NTSTATUS Machine::LoadDriver(const std::u16string& service, PDRIVER_OBJECT* driver)
{
    PDRIVER_OBJECT loaded = nullptr;
    NTSTATUS status = m_system->Pnp().LoadDriver(service, &loaded);
    if (driver != nullptr)
    {
        *driver = loaded;
    }
    return status;
}

void Machine::UnloadDriver(const std::u16string& service)
{
    m_system->Pnp().UnloadDriver(service);
}

// --- the event log ---

std::vector<EventLogRecord> Machine::EventLogEntries()
{
    std::vector<EventLogRecord> records;
    for (const kernel::EventLogEntry& entry : m_system->GetEventLog().Entries())
    {
        EventLogRecord record;
        record.source = entry.source;
        record.deviceName = entry.deviceName;
        record.eventId = entry.EventId();
        record.code = entry.Packet().ErrorCode;
        record.level = entry.LevelName();
        record.finalStatus = entry.Packet().FinalStatus;
        record.dumpData.assign(entry.Packet().DumpData,
                               entry.Packet().DumpData + entry.Packet().DumpDataSize / sizeof(ULONG));
        record.packet = entry.packet;
        records.push_back(std::move(record));
    }
    return records;
}

std::u16string Machine::EventText(const EventLogRecord& record, USHORT language) const
{
    kernel::EventLogEntry entry{0, 0, record.source, record.deviceName, record.packet};
    return EventMessage(m_system->GetEventLog(), entry, language);
}

void Machine::ClearEventLog()
{
    m_system->GetEventLog().Clear();
}

void Machine::FailEventLogEntries(unsigned count)
{
    m_system->GetEventLog().FailNextAllocations(count);
}

// --- tracing ---

void Machine::StartBootTraceSession(const BootTraceSession& boot)
{
    syscall::TRACE_SESSION_INFORMATION info{};
    CopyTraceName(boot.name, info.LoggerName);
    CopyTraceName(BootTraceFile(boot.name), info.LogFileName);
    info.BufferSize = boot.bufferSizeKb;
    info.MaximumFileSize = boot.maximumFileSizeMb;
    info.LogFileMode = boot.logFileMode;
    kernel::TraceHub& tracing = m_system->Tracing();
    if (!NT_SUCCESS(tracing.Control(syscall::TraceControlStartSession, &info)) ||
        !tracing.EnableProvider(boot.name, boot.provider, boot.level, boot.flags, true))
    {
        throw std::runtime_error("cannot start the boot trace session " + ToUtf8(boot.name));
    }
}

void Machine::StartTrace(const std::u16string& session, const GUID& provider, UCHAR level, ULONG flags)
{
    kernel::TraceHub& tracing = m_system->Tracing();
    if (!tracing.IsSessionRunning(session) && tracing.StartSession(session) == 0)
    {
        throw std::runtime_error("cannot start the trace session " + ToUtf8(session));
    }
    if (!tracing.EnableProvider(session, provider, level, flags, true))
    {
        throw std::runtime_error("cannot enable the provider in the trace session " + ToUtf8(session));
    }
}

std::vector<TraceLine> Machine::TraceLines(const std::u16string& session,
                                           const std::filesystem::path& formatFile)
{
    std::string error;
    std::optional<TraceFormats> formats = TraceFormats::Load(formatFile.string(), &error);
    if (!formats)
    {
        throw std::runtime_error("cannot read the trace format file: " + error);
    }
    std::vector<TraceLine> lines;
    for (const auto& message : m_system->Tracing().Messages(session))
    {
        winsim::TraceMessage recorded;
        recorded.guid.Data1 = message.messageGuid.Data1;
        recorded.guid.Data2 = message.messageGuid.Data2;
        recorded.guid.Data3 = message.messageGuid.Data3;
        memcpy(recorded.guid.Data4, message.messageGuid.Data4, sizeof(recorded.guid.Data4));
        recorded.number = message.messageNumber;
        recorded.arguments = message.arguments;
        RenderedTrace rendered = formats->Render(recorded);
        lines.push_back(TraceLine{rendered.text, rendered.known, rendered.levelValue});
    }
    return lines;
}

bool Machine::FlushTrace(const std::u16string& session)
{
    syscall::TRACE_SESSION_INFORMATION info{};
    CopyTraceName(session, info.LoggerName);
    return NT_SUCCESS(m_system->Tracing().Control(syscall::TraceControlFlushSession, &info));
}

bool Machine::StopTrace(const std::u16string& session)
{
    syscall::TRACE_SESSION_INFORMATION info{};
    CopyTraceName(session, info.LoggerName);
    return NT_SUCCESS(m_system->Tracing().Control(syscall::TraceControlStopSession, &info));
}

std::u16string Machine::BootTraceFile(std::u16string_view session)
{
    return u"C:\\Windows\\System32\\" + std::u16string(session) + u".etl";
}

std::vector<std::string> Machine::DecodeTraceFile(std::u16string_view windowsPath,
                                                  const std::vector<std::filesystem::path>& formatFiles)
{
    TraceFormats formats;
    for (const auto& formatFile : formatFiles)
    {
        std::string error;
        std::optional<TraceFormats> loaded = TraceFormats::Load(formatFile.string(), &error);
        if (!loaded)
        {
            throw std::runtime_error("cannot read the trace format file: " + error);
        }
        formats.Merge(*loaded);
    }
    std::string error;
    std::optional<etl::LogFile> file = etl::ReadLogFile(HostPath(windowsPath).string(), &error);
    if (!file)
    {
        throw std::runtime_error("cannot read the trace log file: " + error);
    }
    std::vector<std::string> lines;
    for (const etl::MessageRecord& message : file->messages)
    {
        lines.push_back(etl::FormatMessageLine(message, formats));
    }
    return lines;
}

ULONGLONG Machine::TraceMessageCalls()
{
    return m_system->Tracing().MessageCalls();
}

bool Machine::TraceProviderRegistered(const GUID& provider)
{
    return m_system->Tracing().IsProviderRegistered(provider);
}

// --- pool ---

size_t Machine::LiveFrameworkObjects(std::u16string_view service)
{
    PDRIVER_OBJECT driver = LoadedDriver(service);
    wdf::FxDriver* framework = driver != nullptr ? wdf::FxDriver::FromWdm(driver) : nullptr;
    return framework != nullptr ? wdf::LiveObjectsOf(framework).size() : 0;
}

size_t Machine::LivePoolAllocations(ULONG tag)
{
    if (tag == 0)
    {
        return m_system->GetPool().LiveCount();
    }
    size_t count = 0;
    for (const kernel::PoolAllocation& allocation : m_system->GetPool().Live())
    {
        count += allocation.tag == tag ? 1 : 0;
    }
    return count;
}

ULONGLONG Machine::PoolAllocationsMade()
{
    return m_system->GetPool().AllocationsMade();
}

void Machine::FailPoolAllocationsWithTag(ULONG tag)
{
    m_system->GetPool().FailAllocationsWithTag(tag);
}

std::optional<PoolBlock> Machine::PoolAllocationAt(const void* address)
{
    kernel::PoolAllocation found{};
    if (!m_system->GetPool().Find(address, &found))
    {
        return std::nullopt;
    }
    return PoolBlock{found.address, found.size, found.tag, found.type};
}

void Machine::FailNextPoolAllocations(unsigned count)
{
    m_system->GetPool().FailNextAllocations(count);
}

int Machine::SpinLocksHeldByThisThread()
{
    return kernel::CurrentThread().spinLocksHeld;
}

// --- the framework ---

void Machine::FailFrameworkObjectCreation(unsigned skip, std::string_view kind)
{
    if (kind.empty())
    {
        wdf::FailObjectCreation(skip);
        return;
    }
    for (int type = static_cast<int>(wdf::FxType::Object); type <= static_cast<int>(wdf::FxType::UsbPipe);
         ++type)
    {
        if (kind == wdf::FxTypeName(static_cast<wdf::FxType>(type)))
        {
            wdf::FailObjectCreation(skip, static_cast<wdf::FxType>(type));
            return;
        }
    }
    throw std::invalid_argument("the framework has no object kind " + std::string(kind));
}

bool Machine::FrameworkObjectCreationFailed()
{
    return wdf::ObjectCreationFaultHit();
}

void Machine::ClearFrameworkObjectCreationFault()
{
    wdf::ClearObjectCreationFault();
}

// --- requests straight to a driver ---

namespace
{

// The open device behind a file handle of this process, or a std::invalid_argument.
std::shared_ptr<kernel::OpenFile> OpenDeviceOf(kernel::System& system, HANDLE handle)
{
    auto file = system.Process().Handles().LookupAs<kernel::UserFile>(handle);
    if (file == nullptr)
    {
        throw std::invalid_argument("the handle is not a device opened by this process");
    }
    return file->Open();
}

} // namespace

RequestResult Machine::QueryFileInformation(HANDLE file, FILE_INFORMATION_CLASS infoClass, void* buffer,
                                            ULONG length)
{
    kernel::IoResult result =
        m_system->Io().QueryInformation(OpenDeviceOf(*m_system, file), infoClass, buffer, length);
    return RequestResult{result.status, result.information};
}

RequestResult Machine::SetFileInformation(HANDLE file, FILE_INFORMATION_CLASS infoClass, const void* buffer,
                                          ULONG length)
{
    kernel::IoResult result =
        m_system->Io().SetInformation(OpenDeviceOf(*m_system, file), infoClass, buffer, length);
    return RequestResult{result.status, result.information};
}

RequestResult Machine::InternalDeviceControl(HANDLE file, ULONG code, const void* input, ULONG inputLength,
                                             void* output, ULONG outputLength)
{
    kernel::IoResult result = m_system->Io().DeviceControl(OpenDeviceOf(*m_system, file), code, input,
                                                           inputLength, output, outputLength, true);
    return RequestResult{result.status, result.information};
}

// --- views for people ---

std::string Machine::RegistryText(std::u16string_view keyPath)
{
    return ExportRegText(KernelRegistry(), keyPath);
}

void Machine::SaveRegistry(const std::filesystem::path& file, std::u16string_view keyPath)
{
    ExportRegFile(KernelRegistry(), file, keyPath);
}

std::string Machine::DescribeDevices()
{
    std::ostringstream out;
    kernel::Registry& registry = KernelRegistry();
    kernel::ObjectNamespace& names = m_system->Namespace();
    for (kernel::DeviceNode* node : m_system->Pnp().Nodes())
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
        if (wdf::FxDevice* device = FrameworkDeviceOf(node))
        {
            DEVICE_POWER_STATE power = device->PowerState();
            out << "    power:        D" << (static_cast<int>(power) - static_cast<int>(PowerDeviceD0))
                << (device->IdlePoweredDown() ? " (idle)" : "") << "\n";
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
    auto key = KernelRegistry().OpenKey(std::u16string(kernel::DeviceMapKeyPath) + u"\\SERIALCOMM");
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
        out << head << ToUtf8(EventMessage(m_system->GetEventLog(), entry, language));
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

void SetProcessAdministrator(bool administrator)
{
    if (administrator)
    {
        unsetenv("WINSIM_TOKEN");
    }
    else
    {
        setenv("WINSIM_TOKEN", "standard", 1);
    }
}

void SetProcessWow64(bool wow64)
{
    if (wow64)
    {
        setenv("WINSIM_WOW64", "1", 1);
    }
    else
    {
        unsetenv("WINSIM_WOW64");
    }
}

} // namespace winsim::machine
