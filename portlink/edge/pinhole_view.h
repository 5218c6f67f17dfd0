#pragma once
// What this host's IPv6 side offers for pinholes at the moment: which of its addresses get
// one, and where and how they are asked for.
#include <cstdint>
#include <string>
#include <vector>

#include "pinhole_exchange.h"
#include "pinhole_keeper.h"

namespace portlink {

struct PinholeView {
    std::vector<PinholeAddress> addresses; // stable global addresses of the gateway's adapter
    std::vector<PinholeWay> ways;          // in order of preference; empty: nothing is asked
    PinholeRoute route;
    uint32_t ifIndex = 0;
    bool searched = false;     // an IPv6 search found the gateway (route.upnpGateway is its answer)
    uint64_t searchedAtMs = 0; // when the last IPv6 search ran
};

// Looks again at the adapter that holds `localIpv4` (the one that leads to the gateway).  A
// host without a stable global IPv6 address there gets no ways, and nothing is sent.  The
// gateway's IPv6 address: its IPv6 default router where the route table names one (for PCP),
// and the sender of an answer to an IPv6 search, sent from the first chosen address, whose
// device uuid is `deviceUuid`, the one the IPv4 answer carried (for UPnP, and for PCP where no
// router is known): a host that did not answer is never asked.  The search runs only while
// that answer is missing, at most once per minute.  `ipv4Way` comes first among the ways
// where it offers something for IPv6: UPnP needs the firewall service of the description and
// an IPv6 address of the gateway, PCP an IPv6 address of the gateway and a gateway that maps
// by PCP or has answered over IPv6.
PinholeView lookAtIpv6(uint64_t nowMs, uint32_t localIpv4, MappingWay ipv4Way,
                       const ControlPoint &firewall, const std::wstring &deviceUuid,
                       const PinholeView &before);

} // namespace portlink
