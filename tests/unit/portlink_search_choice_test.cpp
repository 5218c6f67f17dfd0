#include "search_choice.h"

#include <gtest/gtest.h>

#include <vector>

using namespace portlink;

namespace {

// 192.168.<c>.<d> in network order, as the edge hands addresses over.
uint32_t lan(unsigned c, unsigned d) {
    uint32_t value = 0;
    auto *bytes = reinterpret_cast<unsigned char *>(&value);
    bytes[0] = 192;
    bytes[1] = 168;
    bytes[2] = static_cast<unsigned char>(c);
    bytes[3] = static_cast<unsigned char>(d);
    return value;
}

const uint32_t kLan = lan(77, 20);  // the LAN adapter
const uint32_t kVpn = lan(8, 2);    // an adapter whose default route is preferred
const uint32_t kOther = lan(99, 2); // an adapter the search did not go out of

} // namespace

TEST(PortlinkSearchChoice, AdaptersOrderedByRouteAndInterfaceMetric) {
    const struct {
        const char *what;
        std::vector<DefaultRoute> routes;
        std::vector<AdapterAddress> addresses;
        std::vector<uint32_t> expected;
    } rows[] = {
        {"one adapter", {{4, lan(77, 1), 0, 25}}, {{4, kLan, 24}}, {kLan}},
        {"no default route", {}, {{4, kLan, 24}}, {}},
        {"a route without a next hop is on-link, not a gateway",
         {{4, 0, 0, 25}, {4, ~0u, 0, 25}},
         {{4, kLan, 24}},
         {}},
        {"the sum decides, not the route metric alone",
         {{4, lan(77, 1), 0, 100}, {9, lan(8, 1), 10, 5}},
         {{4, kLan, 24}, {9, kVpn, 24}},
         {kVpn, kLan}},
        {"the interface metric can outweigh a lower route metric",
         {{9, lan(8, 1), 0, 50}, {4, lan(77, 1), 20, 10}},
         {{4, kLan, 24}, {9, kVpn, 24}},
         {kLan, kVpn}},
        {"ties keep the table's order",
         {{9, lan(8, 1), 5, 5}, {4, lan(77, 1), 5, 5}},
         {{4, kLan, 24}, {9, kVpn, 24}},
         {kVpn, kLan}},
        {"an adapter with two default routes is listed once, at its best",
         {{4, lan(77, 1), 300, 0}, {9, lan(8, 1), 100, 0}, {4, lan(77, 1), 50, 0}},
         {{4, kLan, 24}, {9, kVpn, 24}},
         {kLan, kVpn}},
        {"an adapter without an IPv4 address is left out",
         {{9, lan(8, 1), 0, 5}, {4, lan(77, 1), 0, 25}},
         {{4, kLan, 24}},
         {kLan}},
        {"the address on the next hop's network, not the adapter's first",
         {{4, lan(77, 1), 0, 25}},
         {{4, kOther, 24}, {4, kLan, 24}},
         {kLan}},
        {"the first address when none holds the next hop",
         {{4, lan(77, 1), 0, 25}},
         {{4, kOther, 24}, {4, kVpn, 24}},
         {kOther}},
    };
    for (const auto &row : rows)
        EXPECT_EQ(searchAdapters(row.routes, row.addresses), row.expected) << row.what;
}

TEST(PortlinkSearchChoice, WinnerAndEnd) {
    const std::vector<uint32_t> two = {kLan, kVpn};
    const struct {
        const char *what;
        std::vector<uint32_t> adapters;
        std::vector<HeardAnswer> answers;
        size_t winner;
        uint64_t endsAtMs; // the first poll time (1000, 2000, ...) at which it may end; 0: never
    } rows[] = {
        {"nothing heard", two, {}, kNoAnswer, 0},
        {"one adapter: the first answer wins and ends it at once",
         {kLan},
         {{kLan, 1000}, {kLan, 1000}},
         0,
         1000},
        {"one adapter: an answer on another way still ends it at once",
         {kLan},
         {{kOther, 1000}, {kLan, 1000}},
         0,
         1000},
        {"no adapter read: the first answer, at once", {}, {{kOther, 1000}}, 0, 1000},
        {"the preferred adapter's answer ends it at once", two, {{kLan, 1000}}, 0, 1000},
        {"the preferred adapter wins over an earlier answer elsewhere",
         two,
         {{kVpn, 1000}, {kVpn, 1000}, {kLan, 1000}},
         2,
         1000},
        {"among the preferred adapter's answers the first arrived",
         two,
         {{kVpn, 1000}, {kLan, 2000}, {kLan, 2000}},
         1,
         2000},
        {"another adapter's answer waits one poll for the preferred one",
         two,
         {{kVpn, 1000}},
         0,
         2000},
        {"an adapter the search did not go out of ranks last",
         two,
         {{kOther, 1000}, {kVpn, 1000}},
         1,
         2000},
        {"the wait counts from the first answer", two, {{kOther, 3000}, {kVpn, 4000}}, 1, 4000},
    };
    for (const auto &row : rows) {
        EXPECT_EQ(chooseSearchAnswer(row.answers, row.adapters), row.winner) << row.what;
        uint64_t endsAt = 0;
        for (uint64_t now = 1000; now <= 15000 && endsAt == 0; now += 1000) {
            std::vector<HeardAnswer> read; // what a poll at `now` has read
            for (const HeardAnswer &answer : row.answers)
                if (answer.atMs <= now)
                    read.push_back(answer);
            if (searchMayEnd(read, row.adapters, now))
                endsAt = now;
        }
        EXPECT_EQ(endsAt, row.endsAtMs) << row.what;
    }
}
