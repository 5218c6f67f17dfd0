#include "local_route.h"

#include <winsock2.h>

#include "win_handles.h"

namespace portlink {

uint32_t localAddressTowards(uint32_t peer) {
    UniqueSocket probe(socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP));
    if (!probe.valid() || peer == INADDR_NONE || peer == 0)
        return 0;
    sockaddr_in remote = {};
    remote.sin_family = AF_INET;
    // Any port will do: a UDP connect only chooses the route and the local address.
    remote.sin_port = htons(9);
    remote.sin_addr.s_addr = peer;
    if (connect(probe.get(), reinterpret_cast<const sockaddr *>(&remote), sizeof remote) != 0)
        return 0;
    sockaddr_in local = {};
    int length = sizeof local;
    if (getsockname(probe.get(), reinterpret_cast<sockaddr *>(&local), &length) != 0 ||
        local.sin_family != AF_INET)
        return 0;
    return local.sin_addr.s_addr;
}

} // namespace portlink
