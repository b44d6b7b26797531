// The machine's debugger-output channel: what the processes of the machine send with
// OutputDebugString (through ntdll's DebugPrint) goes, with the sender's process id, as datagrams
// to an endpoint named after the machine's folder (an abstract Unix socket). A debug-output viewer
// (winsim-dbgview, the machine's DebugOutputListener) binds the endpoint; when none does, the
// text goes nowhere. Like the DBWIN buffer of Windows, one message carries at most 4095 bytes of
// text; longer texts arrive in pieces.
#pragma once

#include <stddef.h>
#include <stdint.h>
#include <string>

#include <sys/socket.h>
#include <sys/un.h>

namespace winsim::kernel
{

inline constexpr size_t kDebugTextMax = 4095;
// The sender id of the listener's own control datagrams.
inline constexpr uint32_t kDebugControlSender = 0xFFFFFFFFu;

// The endpoint of a machine's channel.
socklen_t DebugOutputEndpoint(const std::string& machineDirectory, sockaddr_un& address);

class DebugChannel
{
  public:
    explicit DebugChannel(std::string machineDirectory);
    ~DebugChannel();
    DebugChannel(const DebugChannel&) = delete;
    DebugChannel& operator=(const DebugChannel&) = delete;

    void Print(uint32_t processId, const char* text, size_t length);

  private:
    std::string m_directory;
    int m_socket = -1;
};

// Sends one datagram (sender id, then text) to an endpoint.
void SendDebugDatagram(int socket, const sockaddr_un& address, socklen_t size, uint32_t sender,
                       const char* text, size_t length);

} // namespace winsim::kernel
