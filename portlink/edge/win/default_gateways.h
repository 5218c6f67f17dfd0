#pragma once
// The IPv4 default gateways of this host's adapters.
#include <cstdint>
#include <vector>

namespace portlink {

// The next hop of every IPv4 default route (0.0.0.0/0) in the route table, each once, in the
// table's order; network order.  Empty when the table cannot be read.
std::vector<uint32_t> defaultGateways();

} // namespace portlink
