#pragma once
// The gateway search: SSDP over IPv4, with the PCP and NAT-PMP probes beside it.
#include "gateway_types.h"

namespace portlink {

// Searches for the gateway for at most 15 s, then reads its description.  Writes nothing:
// what it found is the caller's to publish.
FoundGateway searchGateway();

} // namespace portlink
