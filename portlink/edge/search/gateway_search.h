#pragma once
// The gateway search: SSDP over IPv4, with the PCP and NAT-PMP probes beside it.
#include <functional>

#include "gateway_types.h"

namespace portlink {

// Searches for the gateway for at most 15 s, out of every adapter that has a default
// gateway, then reads the description of the device whose answer won (the preferred
// adapter's first).  Writes nothing: what it found is the caller's to publish.  `stopped` is
// asked before every send and after every poll: once it answers true, the search ends at
// once, sends nothing more and finds nothing (the extension was finalized meanwhile).
FoundGateway searchGateway(const std::function<bool()> &stopped);

} // namespace portlink
