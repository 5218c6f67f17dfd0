#pragma once
// The IPv4 default gateways of this host's adapters.
#include <cstdint>
#include <vector>

namespace portlink {

// The next hop of every IPv4 default route (0.0.0.0/0) in the route table, each once, in the
// table's order; network order.  Empty when the table cannot be read.
std::vector<uint32_t> defaultGateways();

// The IPv4 address (network order) of every adapter that has a default gateway, most
// preferred first, as searchAdapters orders them: read from the route table, the adapters'
// interface metrics and their unicast addresses as they stand now.  Empty when the route
// table or the addresses cannot be read.
std::vector<uint32_t> gatewayAdapterAddresses();

} // namespace portlink
