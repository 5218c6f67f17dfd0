#pragma once
// One read of a non-blocking UDP socket, with the errors that only cost one datagram told
// apart from an empty queue.
#include <winsock2.h>

#include <cstddef>

namespace portlink {

enum class Received {
    Datagram, // `length` bytes (0 for an empty datagram) from `sender`
    Lost,     // one datagram too long for the buffer (WSAEMSGSIZE), or the port-unreachable
              // report of an earlier send (WSAECONNRESET): the next one may be read
    None,     // nothing is waiting, or the socket failed
};

// `sender` may be null (a connected socket).
Received receiveDatagram(SOCKET socket, char *buffer, size_t size, int &length,
                         sockaddr_in *sender);

} // namespace portlink
