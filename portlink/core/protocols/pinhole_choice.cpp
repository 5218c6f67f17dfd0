#include "pinhole_choice.h"

#include <algorithm>

namespace portlink {

namespace {

bool stableGlobal(const HostIpv6Address &a, uint32_t adapterIndex) {
    return a.adapterIndex == adapterIndex && isGlobalUnicast(a.address) &&
           a.suffixOrigin != SuffixOrigin::Random;
}

bool preferred(const HostIpv6Address &a) {
    return a.dadState == DadState::Preferred && a.preferredLifetime > 0;
}

bool deprecated(const HostIpv6Address &a) {
    return (a.dadState == DadState::Deprecated || a.dadState == DadState::Preferred) &&
           a.validLifetime > 0;
}

} // namespace

std::vector<PinholeAddress> choosePinholeAddresses(const std::vector<HostIpv6Address> &addresses,
                                                   uint32_t adapterIndex) {
    std::vector<PinholeAddress> chosen;
    for (const HostIpv6Address &a : addresses) {
        if (!stableGlobal(a, adapterIndex) || !(preferred(a) || deprecated(a)))
            continue;
        const auto same = [&](const PinholeAddress &c) { return c.address == a.address; };
        const auto at = std::find_if(chosen.begin(), chosen.end(), same);
        if (at == chosen.end())
            chosen.push_back(PinholeAddress{a.address, preferred(a)});
        else
            at->preferred = at->preferred || preferred(a);
    }
    return chosen;
}

} // namespace portlink
