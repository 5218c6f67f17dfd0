#include "win/local_route.h"

#include "win/win_handles.h"

namespace portlink {

uint32_t connectUdp(SOCKET socket, uint32_t peer, uint16_t port) {
    if (socket == INVALID_SOCKET || peer == INADDR_NONE || peer == 0)
        return 0;
    sockaddr_in remote = {};
    remote.sin_family = AF_INET;
    remote.sin_port = htons(port);
    remote.sin_addr.s_addr = peer;
    if (connect(socket, reinterpret_cast<const sockaddr *>(&remote), sizeof remote) != 0)
        return 0;
    sockaddr_in local = {};
    int length = sizeof local;
    if (getsockname(socket, reinterpret_cast<sockaddr *>(&local), &length) != 0 ||
        local.sin_family != AF_INET)
        return 0;
    return local.sin_addr.s_addr;
}

uint32_t localAddressTowards(uint32_t peer) {
    UniqueSocket probe(socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP));
    // Any port will do.
    return probe.valid() ? connectUdp(probe.get(), peer, 9) : 0;
}

} // namespace portlink
