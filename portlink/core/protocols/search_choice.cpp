#include "search_choice.h"

#include <algorithm>

namespace portlink {

namespace {

// Whether `address` lies in the network of `own` with that prefix length (network order).
bool sameNetwork(uint32_t own, uint8_t prefixLength, uint32_t address) {
    if (prefixLength == 0 || prefixLength > 32)
        return false;
    const auto hostOrder = [](uint32_t value) {
        const auto *bytes = reinterpret_cast<const unsigned char *>(&value);
        return (uint32_t{bytes[0]} << 24) | (uint32_t{bytes[1]} << 16) | (uint32_t{bytes[2]} << 8) |
               bytes[3];
    };
    const uint32_t mask = prefixLength == 32 ? ~0u : ~(~0u >> prefixLength);
    return (hostOrder(own) & mask) == (hostOrder(address) & mask);
}

// The address of adapter `ifIndex` that the search leaves from towards `nextHop`; 0 when the
// adapter has none.
uint32_t addressOf(uint32_t ifIndex, uint32_t nextHop,
                   const std::vector<AdapterAddress> &addresses) {
    uint32_t first = 0;
    for (const AdapterAddress &own : addresses) {
        if (own.ifIndex != ifIndex || own.address == 0)
            continue;
        if (sameNetwork(own.address, own.prefixLength, nextHop))
            return own.address;
        if (first == 0)
            first = own.address;
    }
    return first;
}

// The rank of the adapter an answer came in on: its place in `adapters`, after all of them
// when it is not there, and 0 for every answer of a search that had one adapter or none.
size_t rankOf(uint32_t adapter, const std::vector<uint32_t> &adapters) {
    if (adapters.size() <= 1)
        return 0;
    return static_cast<size_t>(std::find(adapters.begin(), adapters.end(), adapter) -
                               adapters.begin());
}

} // namespace

std::vector<uint32_t> searchAdapters(const std::vector<DefaultRoute> &routes,
                                     const std::vector<AdapterAddress> &addresses) {
    struct Candidate {
        uint32_t ifIndex;
        uint32_t nextHop;
        uint64_t metric;
    };
    std::vector<Candidate> best; // one per adapter, in the table's order of first appearance
    for (const DefaultRoute &route : routes) {
        if (route.nextHop == 0 || route.nextHop == ~0u)
            continue;
        const uint64_t metric = uint64_t{route.routeMetric} + route.interfaceMetric;
        const auto same = std::find_if(best.begin(), best.end(), [&](const Candidate &c) {
            return c.ifIndex == route.ifIndex;
        });
        if (same == best.end())
            best.push_back({route.ifIndex, route.nextHop, metric});
        else if (metric < same->metric)
            *same = {route.ifIndex, route.nextHop, metric};
    }
    std::stable_sort(best.begin(), best.end(),
                     [](const Candidate &a, const Candidate &b) { return a.metric < b.metric; });
    std::vector<uint32_t> chosen;
    for (const Candidate &candidate : best) {
        const uint32_t address = addressOf(candidate.ifIndex, candidate.nextHop, addresses);
        if (address != 0 && std::find(chosen.begin(), chosen.end(), address) == chosen.end())
            chosen.push_back(address);
    }
    return chosen;
}

size_t chooseSearchAnswer(const std::vector<HeardAnswer> &answers,
                          const std::vector<uint32_t> &adapters) {
    size_t winner = kNoAnswer;
    size_t winnerRank = 0;
    for (size_t i = 0; i < answers.size(); ++i) {
        const size_t rank = rankOf(answers[i].adapter, adapters);
        if (winner == kNoAnswer || rank < winnerRank) {
            winner = i;
            winnerRank = rank;
        }
    }
    return winner;
}

bool searchMayEnd(const std::vector<HeardAnswer> &answers, const std::vector<uint32_t> &adapters,
                  uint64_t nowMs) {
    const size_t winner = chooseSearchAnswer(answers, adapters);
    if (winner == kNoAnswer)
        return false;
    if (rankOf(answers[winner].adapter, adapters) == 0)
        return true;
    return nowMs >= answers.front().atMs + kPreferredAdapterWaitMs;
}

} // namespace portlink
