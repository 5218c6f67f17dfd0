#include "pinhole_choice.h"

#include <algorithm>

namespace portlink {

namespace {

bool getsPinhole(const HostIpv6Address &a, uint32_t adapterIndex) {
    return a.adapterIndex == adapterIndex && isGlobalUnicast(a.address) &&
           a.dadState == DadState::Preferred && a.preferredLifetime > 0 &&
           a.suffixOrigin != SuffixOrigin::Random;
}

} // namespace

std::vector<Ipv6Address> choosePinholeAddresses(const std::vector<HostIpv6Address> &addresses,
                                                uint32_t adapterIndex) {
    std::vector<Ipv6Address> chosen;
    for (const HostIpv6Address &a : addresses) {
        if (getsPinhole(a, adapterIndex) &&
            std::find(chosen.begin(), chosen.end(), a.address) == chosen.end())
            chosen.push_back(a.address);
    }
    return chosen;
}

} // namespace portlink
