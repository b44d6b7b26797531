#include "DebugOutputListener.h"

#include "kernel/DebugOutput.h"

#include <winsim/user.h>

#include <errno.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <condition_variable>
#include <mutex>
#include <thread>

namespace winsim::machine
{

using kernel::kDebugControlSender;
using kernel::kDebugTextMax;

struct DebugOutputListener::Impl
{
    std::string directory;
    int fd = -1;
    std::thread reader;
    std::mutex lock;
    std::condition_variable changed;
    std::vector<Message> messages;
    uint64_t marksSent = 0;
    uint64_t marksSeen = 0;

    void Read()
    {
        char packet[4 + kDebugTextMax + 1];
        for (;;)
        {
            ssize_t n = recv(fd, packet, sizeof(packet), 0);
            if (n < 0)
            {
                if (errno == EINTR)
                {
                    continue;
                }
                return;
            }
            if (n < 4)
            {
                continue;
            }
            uint32_t sender;
            memcpy(&sender, packet, 4);
            std::string text(packet + 4, static_cast<size_t>(n) - 4);
            std::lock_guard<std::mutex> guard(lock);
            if (sender == kDebugControlSender)
            {
                if (text == "stop")
                {
                    return;
                }
                ++marksSeen;
                changed.notify_all();
                continue;
            }
            messages.push_back(Message{sender, std::move(text)});
        }
    }

    void Control(const char* what)
    {
        int out = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        if (out >= 0)
        {
            sockaddr_un address;
            socklen_t size = kernel::DebugOutputEndpoint(directory, address);
            kernel::SendDebugDatagram(out, address, size, kDebugControlSender, what, strlen(what));
            close(out);
        }
    }
};

DebugOutputListener::DebugOutputListener(std::string machineDirectory)
    : m_directory(machineDirectory.empty() ? winsim::MachineDirectory() : std::move(machineDirectory)),
      m_impl(new Impl)
{
    m_impl->directory = m_directory;
    int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_un address;
    socklen_t size = kernel::DebugOutputEndpoint(m_directory, address);
    if (fd >= 0 && bind(fd, reinterpret_cast<sockaddr*>(&address), size) == 0)
    {
        m_impl->fd = fd;
        m_impl->reader = std::thread([impl = m_impl] { impl->Read(); });
    }
    else if (fd >= 0)
    {
        close(fd);
    }
}

DebugOutputListener::~DebugOutputListener()
{
    if (m_impl->fd >= 0)
    {
        m_impl->Control("stop");
        m_impl->reader.join();
        close(m_impl->fd);
    }
    delete m_impl;
}

bool DebugOutputListener::Listening() const
{
    return m_impl->fd >= 0;
}

std::vector<DebugOutputListener::Message> DebugOutputListener::Collect()
{
    if (m_impl->fd < 0)
    {
        return {};
    }
    uint64_t mark;
    {
        std::lock_guard<std::mutex> guard(m_impl->lock);
        mark = ++m_impl->marksSent;
    }
    // Datagrams are queued in the order they were sent, so once the mark arrives everything sent
    // before it has been received.
    m_impl->Control("mark");
    std::unique_lock<std::mutex> guard(m_impl->lock);
    m_impl->changed.wait(guard, [&] { return m_impl->marksSeen >= mark; });
    return m_impl->messages;
}

} // namespace winsim::machine
