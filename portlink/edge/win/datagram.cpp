#include "win/datagram.h"

#include "win/socket_buffer.h"

namespace portlink {

const sockaddr_in *Datagram::senderIpv4() const {
    return sender.ss_family == AF_INET ? reinterpret_cast<const sockaddr_in *>(&sender) : nullptr;
}

const sockaddr_in6 *Datagram::senderIpv6() const {
    return sender.ss_family == AF_INET6 ? reinterpret_cast<const sockaddr_in6 *>(&sender)
                                        : nullptr;
}

int drainDatagrams(SOCKET socket, int maxReads,
                   const std::function<bool(const Datagram &)> &take) {
    char buffer[kBufferSize];
    int reads = 0;
    while (reads < maxReads) {
        sockaddr_storage sender = {};
        int senderLength = sizeof sender;
        const int received = recvfrom(socket, buffer, static_cast<int>(sizeof buffer), 0,
                                      reinterpret_cast<sockaddr *>(&sender), &senderLength);
        if (received < 0) {
            const int error = WSAGetLastError();
            if (error != WSAEMSGSIZE && error != WSAECONNRESET)
                break;
            ++reads;
            continue;
        }
        ++reads;
        if (!take({buffer, static_cast<size_t>(received), sender}))
            break;
    }
    return reads;
}

} // namespace portlink
