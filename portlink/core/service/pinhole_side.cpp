#include "pinhole_side.h"

namespace portlink {

void PinholeSide::reset() {
    *this = PinholeSide();
}

void PinholeSide::seen(uint64_t /*nowMs*/, const Ipv6Facts &facts) {
    addresses_ = facts.readable ? choosePinholeAddresses(facts.addresses, facts.ifIndex)
                                : std::vector<PinholeAddress>();
    if (addresses_.empty())
        return;
    if (known_ && facts.ifIndex != ifIndex_) {
        // Another adapter leads to the gateway now: its answer must be heard again there.
        answered_ = false;
        searchSent_ = false;
    }
    known_ = true;
    ifIndex_ = facts.ifIndex;
    hasRouter_ = facts.hasRouter;
    router_ = facts.router;
}

bool PinholeSide::searchDue(uint64_t nowMs, const std::wstring &deviceUuid) const {
    if (deviceUuid.empty() || answered_ || searchFrom() == Ipv6Address{})
        return false;
    return !searchSent_ || nowMs - searchedAtMs_ >= kIpv6SearchEveryMs;
}

Ipv6Address PinholeSide::searchFrom() const {
    for (const PinholeAddress &a : addresses_)
        if (a.preferred)
            return a.address;
    return Ipv6Address{};
}

void PinholeSide::searched(uint64_t nowMs, bool found, const Ipv6Address &source) {
    searchSent_ = true;
    searchedAtMs_ = nowMs;
    if (found) {
        answered_ = true;
        answeredBy_ = source;
    }
}

PinholeTargets PinholeSide::targets(bool hasFirewall) const {
    PinholeTargets t;
    if (!known_)
        return t;
    t.upnp = hasFirewall && answered_;
    t.upnpGateway = answeredBy_;
    t.upnpScope = ifIndex_;
    t.pcp = hasRouter_ || answered_;
    t.pcpGateway = hasRouter_ ? router_ : answeredBy_;
    t.pcpScope = ifIndex_;
    return t;
}

std::vector<PinholeWay> PinholeSide::ways(MappingWay ipv4Way, bool hasFirewall) const {
    const PinholeTargets t = targets(hasFirewall);
    std::vector<PinholeWay> ways;
    const bool pcpFirst = ipv4Way != MappingWay::Upnp;
    if (pcpFirst ? t.pcp : t.upnp)
        ways.push_back(pcpFirst ? PinholeWay::Pcp : PinholeWay::Upnp);
    if (pcpFirst ? t.upnp : t.pcp)
        ways.push_back(pcpFirst ? PinholeWay::Upnp : PinholeWay::Pcp);
    return ways;
}

} // namespace portlink
