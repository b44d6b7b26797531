// Debugger output. OutputDebugStringA sends the text, with the sender's process id, as datagrams
// to the machine's debugger-output endpoint (an abstract Unix socket named after the state folder).
// Nothing is sent anywhere when no listener has bound the endpoint. Like the DBWIN buffer of
// Windows, one message carries at most 4095 bytes of text; longer texts arrive in pieces.
#include "internal.h"

#include <winsim/user.h>

#include <errno.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <condition_variable>
#include <mutex>
#include <thread>

namespace
{

const size_t kMaxText = 4095;
const uint32_t kControlSender = 0xFFFFFFFFu;

socklen_t EndpointAddress(sockaddr_un& address)
{
    std::string folder = winsim::StateDirectory();
    uint64_t h = 1469598103934665603ull;
    for (char c : folder)
    {
        h = (h ^ static_cast<unsigned char>(c)) * 1099511628211ull;
    }
    memset(&address, 0, sizeof(address));
    address.sun_family = AF_UNIX;
    int n = snprintf(address.sun_path + 1, sizeof(address.sun_path) - 1, "winsim-dbwin-%016llx",
                     static_cast<unsigned long long>(h));
    return static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + static_cast<size_t>(n));
}

void SendDatagram(int fd, uint32_t sender, const char* text, size_t length)
{
    sockaddr_un address;
    socklen_t size = EndpointAddress(address);
    char packet[4 + kMaxText];
    memcpy(packet, &sender, 4);
    memcpy(packet + 4, text, length);
    while (sendto(fd, packet, 4 + length, 0, reinterpret_cast<sockaddr*>(&address), size) < 0 &&
           errno == EINTR)
    {
    }
}

struct Sender
{
    std::mutex lock;
    int fd = -1;
};

Sender& TheSender()
{
    static Sender* sender = new Sender;
    return *sender;
}

} // namespace

extern "C"
{

    void WINAPI OutputDebugStringA(LPCSTR lpOutputString)
    {
        if (lpOutputString == nullptr)
        {
            return;
        }
        Sender& sender = TheSender();
        std::lock_guard<std::mutex> guard(sender.lock);
        if (sender.fd < 0)
        {
            sender.fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
            if (sender.fd < 0)
            {
                return;
            }
            // A listener that stops reading holds the sender up for at most ten seconds, as a debugger
            // that does not answer does on Windows.
            struct timeval limit = {10, 0};
            setsockopt(sender.fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof(limit));
        }
        uint32_t pid = static_cast<uint32_t>(getpid());
        size_t length = strlen(lpOutputString);
        size_t offset = 0;
        do
        {
            size_t piece = length - offset > kMaxText ? kMaxText : length - offset;
            SendDatagram(sender.fd, pid, lpOutputString + offset, piece);
            offset += piece;
        } while (offset < length);
    }

} // extern "C"

namespace winsim
{

struct DebugOutputListener::Impl
{
    int fd = -1;
    std::thread reader;
    std::mutex lock;
    std::condition_variable changed;
    std::vector<Message> messages;
    uint64_t marksSent = 0;
    uint64_t marksSeen = 0;

    void Read()
    {
        char packet[4 + kMaxText + 1];
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
            if (sender == kControlSender)
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
            SendDatagram(out, kControlSender, what, strlen(what));
            close(out);
        }
    }
};

DebugOutputListener::DebugOutputListener() : m_impl(new Impl)
{
    int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_un address;
    socklen_t size = EndpointAddress(address);
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

} // namespace winsim
