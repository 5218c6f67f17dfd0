#pragma once
// Which local address this host would send from to reach a peer.
#include <winsock2.h>

#include <cstdint>

namespace portlink {

// Connects the UDP socket to peer:port (both network order; a UDP connect sends nothing, it
// only chooses the route and the local address) and returns the local IPv4 address it was
// given (network order).  0, and the socket unusable, when there is no route.
uint32_t connectUdp(SOCKET socket, uint32_t peer, uint16_t port);

// The local IPv4 address (network order) of the route to `peer` (network order), as it
// stands now, read by connectUdp on a socket of its own.  0 when there is no route or no
// socket.
uint32_t localAddressTowards(uint32_t peer);

} // namespace portlink
