#include "upstream_finder.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

using namespace portlink;

namespace {

uint32_t ip(uint8_t a, uint8_t b, uint8_t c, uint8_t d) {
    const uint8_t octets[4] = {a, b, c, d};
    uint32_t address;
    std::memcpy(&address, octets, sizeof address);
    return address;
}

const uint32_t kGateway = ip(192, 168, 77, 1);
const uint32_t kHost = ip(192, 168, 77, 20);
const uint32_t kWanPrivate = ip(192, 168, 1, 2);
const uint32_t kOuter = ip(192, 168, 1, 1);

// A finder for a UPnP gateway that keeps a mapping, and a world that answers its steps.
struct World {
    uint64_t now = 1000000;
    UpstreamFinder finder;
    uint32_t external = kWanPrivate;
    uint32_t probeAnswer = kOuter; // 0: nothing answers the probe
    bool routerMaps = true;
    std::vector<UpstreamJob> steps;

    explicit World(MappingWay way = MappingWay::Upnp) {
        finder.gatewayFound(now, way, kGateway, true);
        finder.localAddressSeen(kHost);
        finder.setWanted(true);
    }
    // Carries out every step due now.
    void run() {
        UpstreamJob job;
        while (steps.size() < 1000 && finder.nextJob(now, job)) {
            steps.push_back(job);
            UpstreamAnswer a;
            switch (job.step) {
            case UpstreamStep::ExternalAddress:
                a.answered = true;
                a.address = external;
                break;
            case UpstreamStep::FindNextRouter:
                a.answered = probeAnswer != 0;
                a.address = probeAnswer;
                break;
            case UpstreamStep::SearchNextRouter:
                a.answered = routerMaps;
                a.way = MappingWay::Upnp;
                break;
            }
            finder.finish(now, job, a);
        }
    }
    size_t count(UpstreamStep step) const {
        size_t n = 0;
        for (const UpstreamJob &j : steps)
            n += j.step == step;
        return n;
    }
};

} // namespace

TEST(UpstreamFinder, FindsTheNextRouterOnlyBehindAnotherNat) {
    struct Row {
        uint32_t external;
        bool behind;
    };
    for (const Row &row : {Row{kWanPrivate, true}, Row{ip(100, 72, 0, 9), true},
                           Row{ip(10, 0, 0, 2), true}, Row{ip(8, 8, 4, 77), false}}) {
        World w;
        w.external = row.external;
        w.run();
        EXPECT_EQ(w.finder.behindAnotherNat(), row.behind);
        EXPECT_EQ(w.finder.found(), row.behind);
        // A public address: not one probe or search, now or an hour on.
        for (int minute = 0; minute < 60; ++minute) {
            w.now += 60000;
            w.run();
        }
        EXPECT_EQ(w.count(UpstreamStep::FindNextRouter) > 0, row.behind);
        EXPECT_EQ(w.count(UpstreamStep::SearchNextRouter) > 0, row.behind);
        if (row.behind) {
            EXPECT_EQ(w.finder.nextRouter(), kOuter);
            // Found once: the external address is asked for every two minutes, nothing else.
            EXPECT_EQ(w.count(UpstreamStep::FindNextRouter), 1u);
            EXPECT_EQ(w.count(UpstreamStep::ExternalAddress), 31u);
        } else {
            EXPECT_EQ(w.count(UpstreamStep::ExternalAddress), 1u);
        }
    }
}

TEST(UpstreamFinder, OnlyAPrivateOrSharedNextRouterCounts) {
    struct Row {
        uint32_t answer;
        bool counts;
    };
    for (const Row &row : {Row{kOuter, true}, Row{ip(100, 64, 0, 1), true},
                           Row{ip(10, 1, 1, 1), true}, Row{ip(8, 8, 8, 8), false},
                           Row{kGateway, false}, Row{kHost, false}, Row{kWanPrivate, false},
                           Row{ip(192, 0, 0, 9), false}, Row{ip(169, 254, 0, 1), false},
                           Row{0, false}}) {
        World w;
        w.probeAnswer = row.answer;
        w.run();
        EXPECT_EQ(w.count(UpstreamStep::SearchNextRouter), row.counts ? 1u : 0u);
        for (const UpstreamJob &j : w.steps)
            if (j.step == UpstreamStep::SearchNextRouter)
                EXPECT_EQ(j.address, row.answer); // that address, and nothing else
    }
}

// Nothing answers: the probe and search are tried again no sooner than ten minutes after the
// last try began, and never more than twelve datagrams go upstream in any minute, also when
// the gateway is found again and again.
TEST(UpstreamFinder, RetriesAreBounded) {
    World w;
    w.routerMaps = false;
    w.run();
    ASSERT_EQ(w.count(UpstreamStep::SearchNextRouter), 1u);
    w.now += kUpstreamRetryMs - 1000;
    w.run();
    EXPECT_EQ(w.count(UpstreamStep::FindNextRouter), 1u);
    EXPECT_LE(w.finder.nextWakeMs(w.now), w.now + 1000);
    w.now += 1000;
    w.run();
    EXPECT_EQ(w.count(UpstreamStep::FindNextRouter), 2u);

    // A gateway found anew every second for ten minutes (each time another one).
    World churn;
    churn.routerMaps = false;
    std::vector<uint64_t> sends;
    for (int second = 0; second < 600; ++second) {
        churn.finder.gatewayFound(churn.now, MappingWay::Upnp, kGateway + (second % 2), true);
        const size_t before = churn.steps.size();
        churn.run();
        for (size_t i = before; i < churn.steps.size(); ++i) {
            const UpstreamStep s = churn.steps[i].step;
            const unsigned n = s == UpstreamStep::FindNextRouter   ? kProbeDatagrams
                               : s == UpstreamStep::SearchNextRouter ? kSearchDatagrams
                                                                     : 0;
            sends.insert(sends.end(), n, churn.now);
        }
        EXPECT_LE(churn.finder.sentWithinWindow(churn.now), kUpstreamDatagramsPerMinute);
        churn.now += 1000;
    }
    for (size_t i = 0; i + kUpstreamDatagramsPerMinute < sends.size(); ++i)
        EXPECT_GE(sends[i + kUpstreamDatagramsPerMinute] - sends[i], kUpstreamWindowMs);
    EXPECT_GE(sends.size(), 20u); // bounded, not stopped
}

// A PCP gateway names its external address in its MAP answers: it is never asked for it; an
// unanswered request to a UPnP gateway is asked again after a back-off.
TEST(UpstreamFinder, HowTheExternalAddressIsLearned) {
    World pcp(MappingWay::Pcp);
    pcp.run();
    EXPECT_TRUE(pcp.steps.empty());
    pcp.finder.externalAddressSeen(pcp.now, kWanPrivate);
    pcp.run();
    EXPECT_TRUE(pcp.finder.found());
    EXPECT_EQ(pcp.count(UpstreamStep::ExternalAddress), 0u);

    World upnp;
    UpstreamJob job;
    ASSERT_TRUE(upnp.finder.nextJob(upnp.now, job));
    upnp.finder.finish(upnp.now, job, UpstreamAnswer{});
    EXPECT_FALSE(upnp.finder.nextJob(upnp.now + kExternalAddressRetryMs - 1, job));
    EXPECT_TRUE(upnp.finder.nextJob(upnp.now + kExternalAddressRetryMs, job));

    // Not wanted (no mapping kept): nothing is asked at all.
    World idle;
    idle.finder.setWanted(false);
    idle.run();
    EXPECT_TRUE(idle.steps.empty());
}
