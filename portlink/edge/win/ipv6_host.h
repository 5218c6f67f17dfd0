#pragma once
// This host's IPv6 side: the adapter that leads to the gateway, its addresses and router, and
// the socket addresses that IPv6 sockets are bound and sent to.
#include <winsock2.h>
#include <ws2tcpip.h>

#include <cstdint>
#include <vector>

#include "pinhole_choice.h"

namespace portlink {

struct Ipv6Adapter {
    // IfIndex of the adapter: the scope of its link-local addresses.
    uint32_t ifIndex = 0;
    // Every IPv6 unicast address of it, in the list's order (adapterIndex = ifIndex).
    std::vector<HostIpv6Address> addresses;
    // Its IPv6 default router, from GetIpForwardTable2(AF_INET6) (::/0 on that interface),
    // when the table has one.
    bool hasRouter = false;
    Ipv6Address router{};
};

// The adapter that holds the IPv4 address `localIpv4` (network order): the one that leads to
// the gateway.  False when none does or the list cannot be read.  Of several default routes
// on the adapter, the one of the lowest metric (the first of equal ones) gives the router.
bool readIpv6Adapter(uint32_t localIpv4, Ipv6Adapter &adapter);

// [address%scopeId]:port (port in host order).  The scope goes only with an address whose
// meaning depends on the link, link-local unicast (fe80::/10) or multicast of link scope
// (ff02::c, ...); any other address gets scope 0.
sockaddr_in6 ipv6SocketAddress(const Ipv6Address &address, uint32_t scopeId, uint16_t port);

// Binds the socket to [address%scopeId]:0, a port of the system's choice.  True on success.
bool bindIpv6(SOCKET socket, const Ipv6Address &address, uint32_t scopeId);

} // namespace portlink
