#include "network_look.h"

#include <algorithm>

namespace portlink {

bool NetworkLook::due(uint64_t nowMs) const {
    if (!looked_ || immediate_)
        return true;
    const uint64_t since = nowMs - lastLookMs_;
    return since >= kNetworkLookEveryMs || (changed_ && since >= kNetworkLookGapMs);
}

uint64_t NetworkLook::nextDueMs() const {
    if (!looked_ || immediate_)
        return 0;
    return lastLookMs_ + (changed_ ? kNetworkLookGapMs : kNetworkLookEveryMs);
}

bool NetworkLook::gatewaysSeen(uint64_t nowMs, std::vector<uint32_t> gateways) {
    looked_ = true;
    lastLookMs_ = nowMs;
    changed_ = false;
    immediate_ = false;
    std::sort(gateways.begin(), gateways.end());
    gateways.erase(std::unique(gateways.begin(), gateways.end()), gateways.end());
    if (gateways.empty()) {
        if (!empty_) {
            empty_ = true;
            emptySinceMs_ = nowMs;
            return false;
        }
        if (nowMs - emptySinceMs_ < kNoGatewaySearchMs)
            return false;
        emptySinceMs_ = nowMs; // the next search of this absence comes a full period later
        return true;
    }
    empty_ = false;
    const bool moved = known_ && gateways != lastNonEmpty_;
    known_ = true;
    lastNonEmpty_ = std::move(gateways);
    return moved;
}

} // namespace portlink
