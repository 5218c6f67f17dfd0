#pragma once
// One PCP or NAT-PMP exchange of the keeper with port 5351 of the gateway, or of the router
// beyond it.
#include <cstdint>

#include "mapping_keeper.h"

namespace portlink {

// Carries out a Map (lifetime kMappingLifetime) or a Delete (lifetime 0) of `exchange` with
// `gateway` (network order), PCP or NAT-PMP as its way says, or an Epoch: a PCP ANNOUNCE or a
// NAT-PMP external address request, whose answer (success or error) is Granted or Refused and
// counts for its epoch only.  The PCP client address is the local address of the socket
// connected to the gateway.  A PCP request answered in NAT-PMP's "unsupported version" form is
// asked again in NAT-PMP form at once, and `spokeNatPmp` is set: the server speaks only
// NAT-PMP.  Every answer that belongs to the request is reported with its epoch, and a
// successful one with the external address it names (a PCP MAP's IPv4-mapped assigned
// address, the NAT-PMP external address answer's).
ExchangeResult carryOutPortControl(const Exchange &exchange, uint32_t gateway, bool &spokeNatPmp);

// The same exchange by PCP alone with the router beyond the gateway, `nextRouter` (network
// order), naming the exchange's clientAddress as the PCP client: after the gateway's NAT the
// request reaches that router from the gateway's external address, which may lie in the
// shared (carrier-grade NAT) space, so no private-address rule applies to it.  Never NAT-PMP:
// an answer in NAT-PMP's "unsupported version" form is Refused.  Nothing is sent, and the
// exchange is Unanswered, without a router or a client address, or for a way other than PCP.
ExchangeResult carryOutUpstreamPcp(const Exchange &exchange, uint32_t nextRouter);

} // namespace portlink
