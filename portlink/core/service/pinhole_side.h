#pragma once
// This host's IPv6 side as the keeper sees it: which addresses get pinholes, where pinholes
// are asked for and in which order of ways.  The edge reads the adapter and runs the IPv6
// search when told to; every decision is made here.  Pure: the caller hands in the time.
#include <cstdint>
#include <string>
#include <vector>

#include "ipv6_text.h"
#include "pinhole_choice.h"
#include "pinhole_keeper.h"

namespace portlink {

constexpr uint64_t kIpv6SearchEveryMs = 60000; // an unanswered IPv6 search is repeated so often

// What the edge read of the adapter that leads to the gateway.
struct Ipv6Facts {
    bool readable = false; // the adapter was found and its list read
    uint32_t ifIndex = 0;
    std::vector<HostIpv6Address> addresses;
    bool hasRouter = false; // its IPv6 default router, where the route table names one
    Ipv6Address router{};
};

// Where pinholes are asked for, by way.  UPnP goes only to an address that answered the IPv6
// search with the gateway's own device uuid; PCP goes to the IPv6 default router, else to
// that same address.  Scopes are the adapter's index (used only with link-local addresses).
struct PinholeTargets {
    bool upnp = false;
    Ipv6Address upnpGateway{};
    uint32_t upnpScope = 0;
    bool pcp = false;
    Ipv6Address pcpGateway{};
    uint32_t pcpScope = 0;
};

class PinholeSide {
  public:
    // A new gateway: whatever was learned of the old one's IPv6 side no longer holds.
    void reset();
    // The adapter as read now.  An unreadable read, or one that offers no address, leaves
    // the targets as they were: a blip must not close what is open (the keeper judges the
    // addresses' absence by its own rule).
    void seen(uint64_t nowMs, const Ipv6Facts &facts);
    // The addresses to open, as chosen from the last read (empty after an empty read).
    const std::vector<PinholeAddress> &addresses() const { return addresses_; }

    // An IPv6 search for `deviceUuid` is due: there is an address to send it from, no answer
    // with that uuid has come yet, and none was sent in the last kIpv6SearchEveryMs.
    bool searchDue(uint64_t nowMs, const std::wstring &deviceUuid) const;
    // Where the search goes out from: the first preferred address and the adapter.
    Ipv6Address searchFrom() const;
    uint32_t ifIndex() const { return ifIndex_; }
    // The search ran at `nowMs`; `found` when a host answered with the gateway's uuid.
    void searched(uint64_t nowMs, bool found, const Ipv6Address &source);

    PinholeTargets targets(bool hasFirewall) const;
    // The ways offered, the IPv4 way's own protocol first.
    std::vector<PinholeWay> ways(MappingWay ipv4Way, bool hasFirewall) const;

  private:
    std::vector<PinholeAddress> addresses_;
    bool known_ = false; // an adapter with addresses to open was read since the reset
    uint32_t ifIndex_ = 0;
    bool hasRouter_ = false;
    Ipv6Address router_{};
    bool answered_ = false;
    Ipv6Address answeredBy_{};
    bool searchSent_ = false;
    uint64_t searchedAtMs_ = 0;
};

} // namespace portlink
