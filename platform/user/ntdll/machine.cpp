// The process's connection to its machine.
//
// A machine publishes its system services when it boots in this process (ConnectMachine) and takes
// them back when it shuts down. A process that calls into the kernel before any machine connected
// (a Windows program started by itself or by the launcher) boots the machine of its machine folder
// in the process: the machine library's WinsimHostMachine, found in the process or loaded from the
// build. The connection records are never freed, so a thread still holding one while a machine
// goes away reads stale but valid memory, and the generation number tells it so.
#include "ntdll.h"

#include <dlfcn.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include <atomic>
#include <mutex>
#include <vector>

namespace winsim::ntdll
{
namespace
{

struct Connection
{
    syscall::MachineConnection published{};
    std::string root;
    std::string systemDrive;
};

// Every connection the process has had, so that none is ever unreachable.
struct ConnectionList
{
    std::mutex lock;
    std::vector<Connection*> all;
};

ConnectionList& Connections()
{
    static auto* connections = new ConnectionList;
    return *connections;
}

std::atomic<Connection*> g_connection{nullptr};
std::atomic<uint64_t> g_generation{0};

std::mutex& BootLock()
{
    static std::mutex* lock = new std::mutex;
    return *lock;
}

std::string ConfiguredRoot()
{
    const char* root = getenv("WINSIM_ROOT");
    std::string path = root != nullptr && root[0] != 0 ? root : "/tmp/winsim-" + std::to_string(getuid());
    while (path.size() > 1 && path.back() == '/')
    {
        path.pop_back();
    }
    return path;
}

using HostMachine = int (*)(const char* rootDirectory);

HostMachine FindMachineHost()
{
    auto host = reinterpret_cast<HostMachine>(dlsym(RTLD_DEFAULT, "WinsimHostMachine"));
    if (host != nullptr)
    {
        return host;
    }
    void* library = dlopen(WINSIM_MACHINE_LIBRARY, RTLD_NOW | RTLD_GLOBAL);
    if (library == nullptr)
    {
        fprintf(stderr, "winsim: cannot load the machine (%s)\n", dlerror());
        return nullptr;
    }
    return reinterpret_cast<HostMachine>(dlsym(library, "WinsimHostMachine"));
}

} // namespace

const syscall::MachineConnection& Machine()
{
    Connection* connection = g_connection.load(std::memory_order_acquire);
    if (connection != nullptr)
    {
        return connection->published;
    }
    std::lock_guard<std::mutex> guard(BootLock());
    connection = g_connection.load(std::memory_order_acquire);
    if (connection == nullptr)
    {
        std::string root = ConfiguredRoot();
        HostMachine host = FindMachineHost();
        if (host == nullptr || host(root.c_str()) != 0 ||
            (connection = g_connection.load(std::memory_order_acquire)) == nullptr)
        {
            fprintf(stderr, "winsim: no machine runs at %s, and none could be started there\n", root.c_str());
            abort();
        }
    }
    return connection->published;
}

bool MachineConnected()
{
    return g_connection.load(std::memory_order_acquire) != nullptr;
}

uint64_t MachineGeneration()
{
    return g_generation.load(std::memory_order_acquire);
}

std::string MachineRootDirectory()
{
    Connection* connection = g_connection.load(std::memory_order_acquire);
    return connection != nullptr ? connection->root : ConfiguredRoot();
}

std::string SystemDriveDirectory()
{
    Connection* connection = g_connection.load(std::memory_order_acquire);
    return connection != nullptr ? connection->systemDrive : ConfiguredRoot() + "/drive_c";
}

} // namespace winsim::ntdll

namespace winsim::syscall
{

void ConnectMachine(const MachineConnection& machine)
{
    auto* connection = new ntdll::Connection;
    connection->root = machine.rootDirectory;
    connection->systemDrive = machine.systemDrive;
    connection->published =
        MachineConnection{machine.services, connection->root.c_str(), connection->systemDrive.c_str()};
    {
        ntdll::ConnectionList& list = ntdll::Connections();
        std::lock_guard<std::mutex> guard(list.lock);
        list.all.push_back(connection);
    }
    ntdll::g_generation.fetch_add(1, std::memory_order_acq_rel);
    ntdll::g_connection.store(connection, std::memory_order_release);
}

void DisconnectMachine()
{
    // The record stays allocated (see above); the next machine gets a new generation.
    ntdll::g_connection.store(nullptr, std::memory_order_release);
    ntdll::g_generation.fetch_add(1, std::memory_order_acq_rel);
}

} // namespace winsim::syscall

namespace winsim
{

std::string MachineDirectory()
{
    return ntdll::MachineRootDirectory();
}

} // namespace winsim
