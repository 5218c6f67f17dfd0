#pragma once
// The gateway search on a host with several adapters: which adapters the search goes out of,
// which of the usable answers wins, and when the search may end.  Addresses are IPv4 in
// network order.  No state; any thread.
#include <cstddef>
#include <cstdint>
#include <vector>

namespace portlink {

// An IPv4 default route (0.0.0.0/0) as the route table lists it.
struct DefaultRoute {
    uint32_t ifIndex = 0;
    uint32_t nextHop = 0;
    uint32_t routeMetric = 0;
    uint32_t interfaceMetric = 0; // the metric of the route's adapter
};

// An IPv4 unicast address of an adapter.
struct AdapterAddress {
    uint32_t ifIndex = 0;
    uint32_t address = 0;
    uint8_t prefixLength = 0; // of the on-link network the address belongs to
};

// The local addresses the search goes out of, one per adapter that has a default route with
// a next hop, most preferred first: by the lowest routeMetric + interfaceMetric of the
// adapter's default routes, ties in the route table's order.  An adapter's address is the
// one whose on-link network holds the next hop of its best default route, else its first
// one; an adapter without an IPv4 address is left out.
std::vector<uint32_t> searchAdapters(const std::vector<DefaultRoute> &routes,
                                     const std::vector<AdapterAddress> &addresses);

// A usable answer to the search: the local address of the adapter it came in on (the
// host's address towards its sender) and when it was read.
struct HeardAnswer {
    uint32_t adapter = 0;
    uint64_t atMs = 0;
};

constexpr size_t kNoAnswer = static_cast<size_t>(-1);

// How long answers from other adapters wait for one from the preferred adapter: one poll
// of the search.
constexpr uint64_t kPreferredAdapterWaitMs = 1000;

// The winning answer among `answers` (in arrival order), as its index; kNoAnswer when there
// is none.  `adapters` are those the search went out of, most preferred first (as
// searchAdapters gives them).  The answers from the best adapter that answered win; among
// those, the first that arrived.  An answer on an adapter not in the list ranks after all
// of them.  With one adapter or none the search had no choice of ways: the first answer wins.
size_t chooseSearchAnswer(const std::vector<HeardAnswer> &answers,
                          const std::vector<uint32_t> &adapters);

// Whether the search may end at `nowMs` with the answers it has: at once when the winner
// came in on the preferred adapter (with one adapter or none, every answer), otherwise once
// the preferred adapter has had kPreferredAdapterWaitMs more since the first answer was
// read.  False without an answer.
bool searchMayEnd(const std::vector<HeardAnswer> &answers, const std::vector<uint32_t> &adapters,
                  uint64_t nowMs);

} // namespace portlink
