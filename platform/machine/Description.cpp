#include "Description.h"

#include "base/tracefmt.h"
#include "base/unicode.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <fstream>
#include <sstream>
#include <stdexcept>

namespace winsim::machine
{
namespace
{

unsigned long Number(const std::string& value, unsigned long largest, unsigned line, const char* what)
{
    char* end = nullptr;
    unsigned long number = strtoul(value.c_str(), &end, 0);
    if (value.empty() || *end != 0 || number > largest)
    {
        throw std::runtime_error("machine.ini line " + std::to_string(line) + ": " + what);
    }
    return number;
}

std::string Trim(const std::string& text)
{
    size_t first = text.find_first_not_of(" \t\r");
    size_t last = text.find_last_not_of(" \t\r");
    return first == std::string::npos ? std::string() : text.substr(first, last - first + 1);
}

} // namespace

ReaderSpec ParseReaderSpec(const std::string& text)
{
    ReaderSpec reader;
    std::istringstream parts(text);
    std::string vendor, product, serial;
    if (!std::getline(parts, vendor, ':') || !std::getline(parts, product, ':'))
    {
        throw std::runtime_error("a reader is VID:PID[:SERIAL], not \"" + text + "\"");
    }
    std::getline(parts, serial);
    auto id = [&](const std::string& digits) {
        char* end = nullptr;
        unsigned long value = strtoul(digits.c_str(), &end, 16);
        if (digits.empty() || *end != 0 || value > 0xFFFF)
        {
            throw std::runtime_error("vendor and product IDs are hexadecimal numbers up to FFFF, not \"" +
                                     digits + "\"");
        }
        return static_cast<USHORT>(value);
    };
    reader.vendorId = id(vendor);
    reader.productId = id(product);
    if (!serial.empty())
    {
        reader.serialNumber = ToUtf16(serial);
    }
    return reader;
}

std::optional<MachineDescription> MachineDescription::Read(const std::filesystem::path& root)
{
    std::ifstream file(root / "machine.ini");
    if (!file)
    {
        return std::nullopt;
    }
    MachineDescription description;
    std::string section;
    std::string text;
    unsigned line = 0;
    while (std::getline(file, text))
    {
        ++line;
        text = Trim(text);
        if (text.empty() || text[0] == ';')
        {
            continue;
        }
        if (text.front() == '[' && text.back() == ']')
        {
            section = UpperCase(text.substr(1, text.size() - 2));
            continue;
        }
        size_t equals = text.find('=');
        if (equals == std::string::npos)
        {
            throw std::runtime_error("machine.ini line " + std::to_string(line) + ": expected name=value");
        }
        std::string name = UpperCase(Trim(text.substr(0, equals)));
        std::string value = Trim(text.substr(equals + 1));
        if (section == "MACHINE" && name == "CLOCK")
        {
            if (value != "real" && value != "virtual")
            {
                throw std::runtime_error("machine.ini line " + std::to_string(line) +
                                         ": Clock is real or virtual");
            }
            description.realTime = value == "real";
        }
        else if (section == "PACKAGES")
        {
            description.packages.emplace_back(value);
        }
        else if (section == "READERS")
        {
            try
            {
                description.readers.push_back(ParseReaderSpec(value));
            }
            catch (const std::runtime_error& error)
            {
                throw std::runtime_error("machine.ini line " + std::to_string(line) + ": " + error.what());
            }
        }
        else if (section == "TRACESESSION")
        {
            BootTraceSession& session =
                description.traceSession ? *description.traceSession : description.traceSession.emplace();
            if (name == "NAME" && !value.empty())
            {
                session.name = ToUtf16(value);
            }
            else if (name == "PROVIDER")
            {
                std::optional<TraceGuid> guid = ParseGuid(value);
                if (!guid)
                {
                    throw std::runtime_error("machine.ini line " + std::to_string(line) +
                                             ": Provider is a GUID");
                }
                session.provider.Data1 = guid->Data1;
                session.provider.Data2 = guid->Data2;
                session.provider.Data3 = guid->Data3;
                memcpy(session.provider.Data4, guid->Data4, sizeof(guid->Data4));
            }
            else if (name == "LEVEL")
            {
                session.level = static_cast<UCHAR>(Number(value, 0xFF, line, "Level is a number up to 255"));
            }
            else if (name == "FLAGS")
            {
                session.flags =
                    static_cast<ULONG>(Number(value, 0xFFFFFFFF, line, "Flags is a 32-bit number"));
            }
            else
            {
                throw std::runtime_error("machine.ini line " + std::to_string(line) + ": unknown entry");
            }
        }
        else
        {
            throw std::runtime_error("machine.ini line " + std::to_string(line) + ": unknown entry");
        }
    }
    return description;
}

void MachineDescription::Write(const std::filesystem::path& root) const
{
    std::filesystem::create_directories(root);
    std::ofstream file(root / "machine.ini", std::ios::trunc);
    file << "; The machine a Windows program started on this folder runs on.\n";
    file << "[Machine]\nClock=" << (realTime ? "real" : "virtual") << "\n";
    file << "[Packages]\n";
    for (size_t i = 0; i < packages.size(); ++i)
    {
        file << i + 1 << "=" << packages[i].string() << "\n";
    }
    file << "[Readers]\n";
    for (size_t i = 0; i < readers.size(); ++i)
    {
        char ids[16];
        snprintf(ids, sizeof(ids), "%04X:%04X", readers[i].vendorId, readers[i].productId);
        file << i + 1 << "=" << ids << ":" << ToUtf8(readers[i].serialNumber) << "\n";
    }
    if (traceSession)
    {
        TraceGuid guid;
        guid.Data1 = traceSession->provider.Data1;
        guid.Data2 = traceSession->provider.Data2;
        guid.Data3 = traceSession->provider.Data3;
        memcpy(guid.Data4, traceSession->provider.Data4, sizeof(guid.Data4));
        char flags[16];
        snprintf(flags, sizeof(flags), "0x%X", traceSession->flags);
        file << "[TraceSession]\nName=" << ToUtf8(traceSession->name) << "\nProvider={" << FormatGuid(guid)
             << "}\nLevel=" << unsigned(traceSession->level) << "\nFlags=" << flags << "\n";
    }
    if (!file)
    {
        throw std::runtime_error("cannot write " + (root / "machine.ini").string());
    }
}

std::unique_ptr<Machine> BootDescribed(const std::filesystem::path& root)
{
    MachineDescription description = MachineDescription::Read(root).value_or(MachineDescription{});
    MachineConfig config;
    config.root = root;
    config.realTimeClock = description.realTime;
    // A program's machine has no test to move a virtual clock: it moves on whenever all waits.
    config.advanceClockWhenIdle = !description.realTime;
    if (description.traceSession && description.traceSession->name.empty())
    {
        throw std::runtime_error("machine.ini: the trace session has no Name");
    }
    config.bootTraceSession = description.traceSession;
    auto machine = std::make_unique<Machine>(config);
    for (const auto& package : description.packages)
    {
        machine->InstallPackage(package);
    }
    for (const auto& reader : description.readers)
    {
        machine->Attach(reader);
    }
    return machine;
}

} // namespace winsim::machine

// The process's machine, booted the first time the process calls into a kernel with none running.
// It runs until the process ends: the DLLs' detach code still calls into it then.
extern "C" int WinsimHostMachine(const char* rootDirectory)
{
    try
    {
        static winsim::machine::Machine* hosted = nullptr;
        static std::u16string bootSession;
        if (hosted == nullptr)
        {
            hosted = winsim::machine::BootDescribed(rootDirectory).release();
            // The machine goes down with the process: its boot session writes out what its buffers
            // hold, as a session stopping at shutdown does, so that its log file has the run's trace.
            std::optional<winsim::machine::MachineDescription> description =
                winsim::machine::MachineDescription::Read(rootDirectory);
            if (description && description->traceSession)
            {
                bootSession = description->traceSession->name;
                atexit([] { hosted->FlushTrace(bootSession); });
            }
        }
        return 0;
    }
    catch (const std::exception& error)
    {
        fprintf(stderr, "winsim: cannot boot the machine at %s: %s\n", rootDirectory, error.what());
        return 1;
    }
}
