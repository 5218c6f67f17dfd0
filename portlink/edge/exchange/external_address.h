#pragma once
// The gateway's external address, asked of the gateway: how the service learns whether the
// gateway sits behind another NAT.
#include <cstdint>

#include "gateway_types.h"
#include "upstream_finder.h"

namespace portlink {

// GetExternalIPAddress on the gateway's connection service `gateway`, its connect bounded by
// `connectLimitMs` as httpExchange takes it.  Answered by a success; its address only when it
// names a dotted IPv4 address (readExternalAddress), else 0.
UpstreamAnswer askExternalAddressUpnp(const ControlPoint &gateway, int32_t connectLimitMs);

// The NAT-PMP external address request to `gateway`'s port 5351 (network order): the Epoch
// exchange of way NatPmp.  Answered by a success, which names the address.
UpstreamAnswer askExternalAddressNatPmp(uint32_t gateway);

} // namespace portlink
