#pragma once
// Which local address this host would send from to reach a peer.
#include <cstdint>

namespace portlink {

// The local IPv4 address (network order) of the route to `peer` (network order), as it
// stands now: a UDP socket is connected to the peer, which sends nothing, and asked for its
// local address.  0 when there is no route or no socket.
uint32_t localAddressTowards(uint32_t peer);

} // namespace portlink
