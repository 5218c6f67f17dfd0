#pragma once
// The gateway search: SSDP over IPv4, with the PCP and NAT-PMP probes beside it.
#include <functional>

#include "gateway_types.h"

namespace portlink {

// Searches for the gateway for at most 15 s, then reads its description.  Writes nothing:
// what it found is the caller's to publish.  `stopped` is asked before every send and after
// every poll: once it answers true, the search ends at once, sends nothing more and finds
// nothing (the extension was finalized meanwhile).
FoundGateway searchGateway(const std::function<bool()> &stopped);

} // namespace portlink
