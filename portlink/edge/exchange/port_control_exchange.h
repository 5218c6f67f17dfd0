#pragma once
// One PCP or NAT-PMP exchange of the keeper with the gateway's port 5351.
#include <cstdint>

#include "mapping_keeper.h"

namespace portlink {

// Carries out a Map (lifetime kMappingLifetime) or a Delete (lifetime 0) of `exchange` with
// `gateway` (network order), PCP or NAT-PMP as its way says, or an Epoch: a PCP ANNOUNCE or a
// NAT-PMP external address request, whose answer (success or error) is Granted or Refused and
// counts for its epoch only.  The PCP client address is the local address of the socket
// connected to the gateway.  A PCP request answered in NAT-PMP's "unsupported version" form is
// asked again in NAT-PMP form at once, and `spokeNatPmp` is set: the server speaks only
// NAT-PMP.  Every answer that belongs to the request is reported with its epoch.
ExchangeResult carryOutPortControl(const Exchange &exchange, uint32_t gateway, bool &spokeNatPmp);

} // namespace portlink
