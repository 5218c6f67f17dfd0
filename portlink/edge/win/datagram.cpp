#include "win/datagram.h"

namespace portlink {

Received receiveDatagram(SOCKET socket, char *buffer, size_t size, int &length,
                         sockaddr_in *sender) {
    int senderLength = sizeof *sender;
    if (sender != nullptr)
        *sender = {};
    length = recvfrom(socket, buffer, static_cast<int>(size), 0,
                      reinterpret_cast<sockaddr *>(sender), sender ? &senderLength : nullptr);
    if (length >= 0)
        return Received::Datagram;
    const int error = WSAGetLastError();
    return error == WSAEMSGSIZE || error == WSAECONNRESET ? Received::Lost : Received::None;
}

} // namespace portlink
