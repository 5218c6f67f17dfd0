#pragma once
// The search of the router beyond the gateway: that one address, and nothing else.
#include <cstdint>

#include "gateway_types.h"

namespace portlink {

// How long the search waits for the router's SSDP answer.
constexpr int32_t kUpstreamSearchWaitMs = 1500;

// What the search found: a router that maps by UPnP, with the connection service it
// describes, or by PCP.
struct UpstreamRouter {
    bool found = false;
    MappingWay way = MappingWay::Upnp; // Upnp or Pcp, never NatPmp
    ControlPoint upnp;                 // way Upnp: its control URL lies on the router
};

// Searches `router` (network order), the router beyond the gateway, and sends to no other
// address:
// 1. each of the three search targets in one M-SEARCH to router:1900 (HOST naming the router),
//    then up to kUpstreamSearchWaitMs for a usable answer from the router itself whose
//    LOCATION names the router's dotted address exactly (a name, or any other address, does
//    not count); its description is read and its connection service chosen as the gateway
//    search chooses, and the control URL must lie on the router's dotted address too;
// 2. without such a service, a PCP ANNOUNCE to router:5351 that names `clientAddress` (the
//    gateway's external address: the source the router sees after the gateway's NAT) as the
//    PCP client, sent at most four times; a success answer finds PCP.
// The HTTP connects are bounded by `connectLimitMs` as httpExchange takes it.  At most
// kSearchDatagrams datagrams go out.
UpstreamRouter searchNextRouter(uint32_t router, uint32_t clientAddress, int32_t connectLimitMs);

} // namespace portlink
