#pragma once
// The gateway search over IPv6: SSDP to the link-scope group [ff02::c]:1900.
#include <cstdint>
#include <string>
#include <vector>

#include "ipv6_text.h"

namespace portlink {

struct Ipv6SearchAnswer {
    Ipv6Address source{};    // the address the answer came from, which its LOCATION names
    std::wstring deviceUuid; // deviceUuidOf the answer; empty when its USN names none
};

// Sends the M-SEARCH request of each of searchTargets (with the HOST line of the IPv6 group)
// once to [ff02::c%ifIndex]:1900, from a UDP socket bound to `from` (port chosen by the
// system; the scope ifIndex where `from` is link-local), and reads the answers for `waitMs`:
// every datagram that examineSearchAnswer6 finds Usable gives its sender and device uuid,
// each pair once, in arrival order.  Bounded: at most 64 datagrams read.  Empty when the
// socket cannot be made or bound.
// It ends early, at the answer of a device `wantedUuid` names, when that is not empty.
std::vector<Ipv6SearchAnswer> searchOverIpv6(const Ipv6Address &from, uint32_t ifIndex, int waitMs,
                                             const std::wstring &wantedUuid = std::wstring());

} // namespace portlink
