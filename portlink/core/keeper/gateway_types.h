#pragma once
// The small types that the search, the exchanges and the keepers hand one another: how the
// gateway is spoken to, where its UPnP actions go, and what one search found.
#include <cstdint>
#include <string>
#include <vector>

namespace portlink {

// How the gateway is spoken to.
enum class MappingWay : uint8_t { Upnp, Pcp, NatPmp };

// A UPnP service of the gateway: where its actions go and the service type they name.
struct ControlPoint {
    std::wstring controlUrl;
    std::wstring serviceType;
};

// What one search found: a UPnP connection service (its control URL not empty), or else,
// when `portControl`, a gateway that maps through PCP or NAT-PMP, with the epoch it answered.
struct FoundGateway {
    ControlPoint upnp;
    bool portControl = false;
    MappingWay way = MappingWay::Upnp;
    uint32_t portControlAddress = 0; // network order
    uint32_t epoch = 0;
    bool hasBootId = false; // the UPnP answer's BOOTID.UPNP.ORG
    uint32_t bootId = 0;
    std::wstring deviceUuid; // the UPnP answer's device, which an IPv6 answer must name too
    ControlPoint firewall;   // the description's IPv6 firewall service, where it has one
    std::vector<std::wstring> deviceUdns; // the devices the description lists (deviceUdnsOf)
};

} // namespace portlink
