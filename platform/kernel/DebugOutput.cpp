#include "DebugOutput.h"

#include <errno.h>
#include <stdio.h>
#include <string.h>
#include <sys/time.h>
#include <unistd.h>

namespace winsim::kernel
{

socklen_t DebugOutputEndpoint(const std::string& machineDirectory, sockaddr_un& address)
{
    uint64_t h = 1469598103934665603ull;
    for (char c : machineDirectory)
    {
        h = (h ^ static_cast<unsigned char>(c)) * 1099511628211ull;
    }
    memset(&address, 0, sizeof(address));
    address.sun_family = AF_UNIX;
    int n = snprintf(address.sun_path + 1, sizeof(address.sun_path) - 1, "winsim-dbwin-%016llx",
                     static_cast<unsigned long long>(h));
    return static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + static_cast<size_t>(n));
}

void SendDebugDatagram(int socket, const sockaddr_un& address, socklen_t size, uint32_t sender,
                       const char* text, size_t length)
{
    char packet[4 + kDebugTextMax];
    memcpy(packet, &sender, 4);
    memcpy(packet + 4, text, length);
    while (sendto(socket, packet, 4 + length, 0, reinterpret_cast<const sockaddr*>(&address), size) < 0 &&
           errno == EINTR)
    {
    }
}

DebugChannel::DebugChannel(std::string machineDirectory) : m_directory(std::move(machineDirectory))
{
    if (m_directory.empty())
    {
        return;
    }
    m_socket = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (m_socket >= 0)
    {
        // A viewer that stops reading holds the sender up for at most ten seconds, as a debugger
        // that does not answer does on Windows.
        struct timeval limit = {10, 0};
        setsockopt(m_socket, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof(limit));
    }
}

DebugChannel::~DebugChannel()
{
    if (m_socket >= 0)
    {
        close(m_socket);
    }
}

void DebugChannel::Print(uint32_t processId, const char* text, size_t length)
{
    if (m_socket < 0)
    {
        return;
    }
    sockaddr_un address;
    socklen_t size = DebugOutputEndpoint(m_directory, address);
    size_t offset = 0;
    do
    {
        size_t piece = length - offset > kDebugTextMax ? kDebugTextMax : length - offset;
        SendDebugDatagram(m_socket, address, size, processId, text + offset, piece);
        offset += piece;
    } while (offset < length);
}

} // namespace winsim::kernel
