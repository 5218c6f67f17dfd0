#pragma once
// Which of this host's IPv6 addresses get an inbound pinhole: the stable global addresses of
// the adapter that reaches the gateway.  The records carry what GetAdaptersAddresses reports
// for a unicast address, with the same numbers, so the edge copies fields without mapping
// them.  No state; any thread.
#include <cstdint>
#include <vector>

#include "ipv6_text.h"

namespace portlink {

// IP_PREFIX_ORIGIN.
enum class PrefixOrigin : int32_t {
    Other = 0,
    Manual = 1,
    WellKnown = 2,
    Dhcp = 3,
    RouterAdvertisement = 4,
    Unchanged = 16,
};

// IP_SUFFIX_ORIGIN.  Random marks a temporary (privacy) address, RFC 8981.
enum class SuffixOrigin : int32_t {
    Other = 0,
    Manual = 1,
    WellKnown = 2,
    Dhcp = 3,
    LinkLayerAddress = 4,
    Random = 5,
    Unchanged = 16,
};

// IP_DAD_STATE.
enum class DadState : int32_t {
    Invalid = 0,
    Tentative = 1,
    Duplicate = 2,
    Deprecated = 3,
    Preferred = 4,
};

struct HostIpv6Address {
    uint32_t adapterIndex = 0; // the adapter's IfIndex
    Ipv6Address address{};
    PrefixOrigin prefixOrigin = PrefixOrigin::Other;
    SuffixOrigin suffixOrigin = SuffixOrigin::Other;
    DadState dadState = DadState::Invalid;
    uint32_t preferredLifetime = 0; // seconds; 0xffffffff is infinite
    uint32_t validLifetime = 0;     // seconds; 0xffffffff is infinite
};

// An address that gets a pinhole, and whether a new pinhole may be asked for from it.
struct PinholeAddress {
    Ipv6Address address{};
    bool preferred = false; // false: deprecated; its open pinholes are kept, no new one opened
};

inline bool operator==(const PinholeAddress &a, const PinholeAddress &b) {
    return a.address == b.address && a.preferred == b.preferred;
}

// The addresses that get a pinhole, in the order of `addresses`, each once: global unicast
// (2000::/3, so neither link-local nor ULA), on adapter `adapterIndex`, not temporary
// (SuffixOrigin other than Random: a temporary address changes within hours and is not what
// a peer is told to reach), and past the duplicate check.  Preferred: DadState Preferred with
// a preferred lifetime above 0.  Not preferred: DadState Deprecated, or Preferred with the
// preferred lifetime spent, while a valid lifetime is left.  Tentative, duplicate and invalid
// ones never.  An address listed twice is preferred when either record says so.
std::vector<PinholeAddress> choosePinholeAddresses(const std::vector<HostIpv6Address> &addresses,
                                                   uint32_t adapterIndex);

} // namespace portlink
