#pragma once
// One pinhole exchange of the keeper with the gateway, over IPv6 from the address it opens.
#include <cstdint>

#include "ipv6_text.h"
#include "gateway_types.h"
#include "pinhole_keeper.h"

namespace portlink {

// Where pinholes are asked for: the gateway's IPv6 address for each way (with the scope of a
// link-local one), and the firewall service of its description for UPnP.
struct PinholeRoute {
    bool upnp = false;
    Ipv6Address upnpGateway{};
    uint32_t upnpScope = 0;
    ControlPoint firewall; // the service's control URL (its path and port serve over IPv6)
    bool pcp = false;
    Ipv6Address pcpGateway{};
    uint32_t pcpScope = 0;
};

// Carries out `exchange` through its way on `route`.  Every answer is read by the core's
// readers: an AddPinhole answer counts only with a UniqueID of 0-65535, a PCP answer only when
// it belongs to the request and opens this very address and port.  The connect of a UPnP
// exchange is bounded by `connectLimitMs` as httpExchange takes it (0: unbounded; the keeper
// thread passes kKeeperConnectLimitMs); PCP sends datagrams and has no connect.
PinholeResult carryOutPinhole(const PinholeExchange &exchange, const PinholeRoute &route,
                              int32_t connectLimitMs);

} // namespace portlink
