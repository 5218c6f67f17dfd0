#pragma once
// When the keeper thread looks at the network, and which changes of the default gateways call
// for a new search.  Pure: the caller hands in the time (ms, monotonic) and what it read.
#include <cstdint>
#include <vector>

namespace portlink {

constexpr uint64_t kNetworkLookGapMs = 1000;    // looks asked for by notices: at most so often
constexpr uint64_t kNetworkLookEveryMs = 60000; // and at least so often without any
constexpr uint64_t kNoGatewaySearchMs = 60000;  // no default gateway so long: search again

class NetworkLook {
  public:
    // Something changed (a route or address notice): a look is due within kNetworkLookGapMs.
    void changed() { changed_ = true; }
    // A look is due at once, gap or not (a gateway was found, a new port is to be opened).
    void now() { immediate_ = true; }
    bool due(uint64_t nowMs) const;
    // When the next look falls due if nothing asks for one.
    uint64_t nextDueMs() const;

    // The default gateways read at `nowMs` (any order).  True when a search is to run: the
    // list names other gateways than the last list that named any, or none has been seen for
    // kNoGatewaySearchMs (then at most once per that time).  A list that is empty for a
    // moment starts nothing.  The first list read is only recorded.
    bool gatewaysSeen(uint64_t nowMs, std::vector<uint32_t> gateways);

  private:
    bool looked_ = false;
    uint64_t lastLookMs_ = 0;
    bool changed_ = false;
    bool immediate_ = false;
    bool known_ = false;
    std::vector<uint32_t> lastNonEmpty_;
    bool empty_ = false;
    uint64_t emptySinceMs_ = 0;
};

} // namespace portlink
