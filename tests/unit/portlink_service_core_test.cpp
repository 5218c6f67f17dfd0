#include "service_core.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

#include "result_codes.h"

using namespace portlink;

namespace {

constexpr uint32_t kGateway = 0x0100a8c0;   // 192.168.0.1
constexpr uint32_t kOtherGw = 0x0101a8c0;   // 192.168.1.1
constexpr uint32_t kHost = 0x1400a8c0;      // 192.168.0.20
const Ipv6Address kHost6 = {0x20, 0x01, 0x0d, 0xb8, 0, 0x77, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x20};
const Ipv6Address kGw6 = {0x20, 0x01, 0x0d, 0xb8, 0, 0x77, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x01};
const Ipv6Address kRouter6 = {0xfe, 0x80, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x01};
constexpr uint32_t kPublic = 0x4d040808;    // 8.8.4.77
constexpr uint32_t kWan = 0x0201a8c0;       // 192.168.1.2, behind another NAT
constexpr uint32_t kWanLater = 0x0901a8c0;  // 192.168.1.9
constexpr uint32_t kOuter = 0x0101a8c0;     // 192.168.1.1

ExchangeResult granted(uint16_t port = 0, uint32_t lifetime = 0) {
    ExchangeResult r;
    r.outcome = ExchangeOutcome::Granted;
    r.externalPort = port;
    r.lifetime = lifetime;
    return r;
}

PinholeResult holeGranted(uint16_t id) {
    PinholeResult r;
    r.outcome = ExchangeOutcome::Granted;
    r.uniqueId = id;
    r.lifetime = 3600;
    return r;
}

// A service with a gateway, a clock and this host's IPv6 side; it carries out what it is
// handed with the answers a test gives.
struct Rig {
    uint64_t now = 5000000;
    uint8_t drawn = 0;
    ServiceCore core{[this](MappingNonce &n) {
        n.fill(++drawn);
        return true;
    }};

    void found(MappingWay way, bool firewall = true, uint32_t address = kGateway) {
        GatewayFacts f;
        f.way = way;
        f.address = address;
        f.deviceUuid = L"dev-ip";
        f.deviceUdns = {L"root", L"dev-ip"};
        f.hasFirewall = firewall;
        f.hostHasIpv6 = true;
        core.gatewayFound(now, f);
        core.networkSeen(now, {address}, kHost);
    }
    // The adapter with one stable global address; `router` adds an IPv6 default router.
    void ipv6(bool router, bool answerSearch) {
        Ipv6Facts facts;
        facts.readable = true;
        facts.ifIndex = 7;
        HostIpv6Address a;
        a.adapterIndex = 7;
        a.address = kHost6;
        a.prefixOrigin = PrefixOrigin::RouterAdvertisement;
        a.suffixOrigin = SuffixOrigin::LinkLayerAddress;
        a.dadState = DadState::Preferred;
        a.preferredLifetime = 0xffffffff;
        a.validLifetime = 0xffffffff;
        facts.addresses = {a};
        facts.hasRouter = router;
        facts.router = kRouter6;
        core.ipv6Seen(now, facts);
        if (core.ipv6SearchDue(now))
            core.ipv6Searched(now, answerSearch, kGw6);
    }
    // An application add, answered by `answer`; a clean-up delete is answered `cleanUp`.
    int32_t add(uint16_t internal, uint16_t external, ExchangeResult answer,
                ExchangeResult cleanUp = granted(), uint8_t transport = kProtocolTcp) {
        const CallPlan plan = core.beginAdd(now, transport, internal, external, kHost);
        if (plan.refusal != 0)
            return plan.refusal;
        if (answer.outcome == ExchangeOutcome::Granted && answer.externalPort == 0)
            answer.externalPort = external;
        const AddOutcome out = core.finishAdd(now, plan.exchange, answer, false);
        if (out.cleanUp) {
            cleanUps.push_back(out.cleanUpExchange);
            core.finishMapping(now, out.cleanUpExchange, cleanUp, false);
        }
        return out.code;
    }
    // An application remove; its closes answered at once.
    RemovePlan remove(uint16_t external, uint8_t transport = kProtocolTcp) {
        RemovePlan plan = core.beginRemove(now, transport, external, kHost);
        if (plan.refusal != 0)
            return plan;
        for (const PinholeExchange &close : plan.closes)
            core.finishPinhole(now, close, holeGranted(close.uniqueId));
        if (plan.upstream.ticket != 0) {
            upstreamSent.push_back(plan.upstream);
            core.finishUpstream(now, plan.upstream, granted());
        }
        RemoveStep step = core.finishRemove(now, plan.exchange, granted(), false);
        while (step.more)
            step = core.finishRemove(now, step.next, granted(), false);
        return plan;
    }
    // The keeper thread's jobs due now, answered: mappings granted, pinholes opened.
    std::vector<KeeperJob> runDue(uint32_t lifetime = 600) {
        std::vector<KeeperJob> done;
        KeeperJob job;
        while (done.size() < 50 && core.nextJob(now, job)) {
            done.push_back(job);
            if (job.pinhole) {
                core.finishPinhole(now, job.hole, holeGranted(static_cast<uint16_t>(40 + done.size())));
            } else if (job.learn) {
                core.finishStep(now, job.step, step(job.step));
            } else if (job.upstream) {
                upstreamSent.push_back(job.mapping);
                ExchangeResult a = job.mapping.job == ExchangeJob::Check ? outerCheck : granted();
                if (a.outcome == ExchangeOutcome::Granted && job.mapping.way == MappingWay::Pcp) {
                    a.externalPort = job.mapping.externalPort;
                    a.lifetime = lifetime;
                }
                core.finishUpstream(now, job.mapping, a);
            } else
                core.finishMapping(now, job.mapping, granted(job.mapping.externalPort, lifetime),
                                   false);
        }
        return done;
    }
    // What lies beyond the gateway: its external address, the probe's answer, how the next
    // router maps; what that router answers a check.
    UpstreamAnswer step(const UpstreamJob &job) const {
        UpstreamAnswer a;
        a.answered = true;
        a.address = job.step == UpstreamStep::ExternalAddress ? wanAddress : kOuter;
        a.way = outerWay;
        return a;
    }
    std::vector<ServiceCore::Port> wanted() const { return core.wantedPinholes(); }
    std::vector<Exchange> cleanUps;
    uint32_t wanAddress = kPublic;
    MappingWay outerWay = MappingWay::Upnp;
    ExchangeResult outerCheck = granted();
    std::vector<Exchange> upstreamSent;
};

ServiceCore::Port tcp(uint16_t port) { return {kProtocolTcp, port}; }

} // namespace

// Pinholes are wanted exactly while a kept mapping names their internal port.
TEST(ServiceCoreWanted, FollowTheKeptMappingsByInternalPort) {
    Rig r;
    r.found(MappingWay::Upnp);
    r.ipv6(false, true);
    ASSERT_EQ(r.add(8080, 80, granted()), RESULT_OK);
    ASSERT_EQ(r.add(8080, 81, granted()), RESULT_OK);
    r.runDue(); // the pinhole opens
    EXPECT_EQ(r.wanted(), std::vector<ServiceCore::Port>{tcp(8080)});
    // 80 still maps to 8080: removing 81 closes nothing.
    EXPECT_TRUE(r.remove(81).closes.empty());
    EXPECT_EQ(r.wanted(), std::vector<ServiceCore::Port>{tcp(8080)});
    // The last mapping of 8080 goes: its pinhole closes beside the delete.
    const RemovePlan last = r.remove(80);
    ASSERT_EQ(last.closes.size(), 1u);
    EXPECT_EQ(last.closes[0].job, PinholeJob::Close);
    EXPECT_EQ(last.closes[0].port, 8080);
    EXPECT_TRUE(r.wanted().empty());

    // External 6000 re-added with another internal port: the old port's pinhole goes.
    ASSERT_EQ(r.add(7000, 6000, granted()), RESULT_OK);
    ASSERT_EQ(r.add(7001, 6000, granted()), RESULT_OK);
    EXPECT_EQ(r.wanted(), std::vector<ServiceCore::Port>{tcp(7001)});
    EXPECT_EQ(r.core.inFlight(), 0u);
}

// An application call is handed only its own exchanges; the keeper's stay with the keeper.
TEST(ServiceCoreCalls, CarryOutOnlyTheirOwnExchanges) {
    Rig r;
    r.found(MappingWay::Pcp);
    ASSERT_EQ(r.add(9000, 90, granted(90, 600)), RESULT_OK);
    r.now += 400000; // the renewal of 9000 is due now
    // A grant on another port: the clean-up delete is the call's, and the renewal stays due.
    EXPECT_EQ(r.add(8080, 80, granted(1234, 600)), ERR_OTHER_PORT);
    ASSERT_EQ(r.cleanUps.size(), 1u);
    EXPECT_EQ(r.cleanUps[0].job, ExchangeJob::Delete);
    EXPECT_EQ(r.cleanUps[0].externalPort, 1234);
    bool renewed = false;
    for (const KeeperJob &job : r.runDue())
        renewed = renewed || (!job.pinhole && job.mapping.job == ExchangeJob::Map &&
                              job.mapping.internalPort == 9000);
    EXPECT_TRUE(renewed);
    EXPECT_EQ(r.core.inFlight(), 0u);
}

TEST(ServiceCoreCalls, RemoveLeavesOtherPinholeWorkToTheKeeper) {
    Rig r;
    r.found(MappingWay::Upnp);
    r.ipv6(false, true);
    ASSERT_EQ(r.add(8080, 80, granted()), RESULT_OK);
    r.runDue();
    ASSERT_EQ(r.add(8081, 81, granted()), RESULT_OK); // its open is due, not yet sent
    const RemovePlan plan = r.remove(80);
    ASSERT_EQ(plan.closes.size(), 1u);
    EXPECT_EQ(plan.closes[0].port, 8080);
    EXPECT_TRUE(plan.targets.upnp);
    // The open of 8081 was not touched: the keeper thread still sends it.
    bool opened = false;
    for (const KeeperJob &job : r.runDue())
        opened = opened || (job.pinhole && job.hole.job == PinholeJob::Open && job.hole.port == 8081);
    EXPECT_TRUE(opened);
}

// Keeping starts and stops with the runtime's contexts, the finalizer and the adds.
TEST(ServiceCoreLifecycle, FinalizerStopsKeepingUntilTheNextAdd) {
    struct Row {
        const char *name;
        const char *events; // before the search ends: "o" opens, "f" finalizes, a context each
        std::vector<uintptr_t> contexts;
        bool wantedAfterSearch;
    };
    const Row rows[] = {
        {"no finalizer: learn the IPv6 side", "", {}, true},
        {"extension finalizer during the search", "f", {0}, false},
        {"last context finalized during the search", "ooff", {11, 12, 11, 12}, false},
        {"one of two contexts finalized", "oof", {11, 12, 12}, true},
        {"a context never opened", "of", {11, 99}, true},
        {"a new context after the finalizer", "ofo", {11, 11, 12}, true},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        Rig r;
        for (size_t i = 0; row.events[i] != 0; ++i) {
            if (row.events[i] == 'o')
                r.core.contextOpened(row.contexts[i]);
            else
                r.core.finalizerCalled(row.contexts[i]);
        }
        EXPECT_EQ(r.core.finalized(), !row.wantedAfterSearch); // a search still running ends
        r.found(MappingWay::Upnp);
        EXPECT_EQ(r.core.keepingWanted(), row.wantedAfterSearch);
        if (!row.wantedAfterSearch) {
            EXPECT_FALSE(r.core.ipv6SearchDue(r.now));
            // Only a later add starts keeping again.
            ASSERT_EQ(r.add(8080, 80, granted()), RESULT_OK);
            EXPECT_TRUE(r.core.keepingWanted());
        }
    }
}

TEST(ServiceCoreLifecycle, NothingIsHandedToTheThreadAfterTheFinalizer) {
    Rig r;
    r.found(MappingWay::Pcp);
    ASSERT_EQ(r.add(8080, 80, granted(80, 600)), RESULT_OK);
    r.core.finalizerCalled(0);
    r.now += 400000;
    KeeperJob job;
    EXPECT_FALSE(r.core.keepingWanted());
    EXPECT_FALSE(r.core.nextJob(r.now, job));
    EXPECT_FALSE(r.core.networkSeen(r.now, {kOtherGw}, kHost));
}

// When the network is looked at, and which gateway lists call for a new search.
TEST(ServiceCoreNetwork, SearchesOnlyForAnotherGatewayOrALongAbsence) {
    struct Row {
        const char *name;
        std::vector<std::pair<uint64_t, std::vector<uint32_t>>> looks; // ms after start, list
        std::vector<bool> search;
    };
    const Row rows[] = {
        {"same list", {{0, {kGateway}}, {2000, {kGateway}}}, {false, false}},
        {"empty for a moment", {{0, {kGateway}}, {1000, {}}, {3000, {kGateway}}}, {false, false, false}},
        {"another default", {{0, {kGateway}}, {1000, {}}, {2000, {kOtherGw}}}, {false, false, true}},
        {"order only", {{0, {kGateway, kOtherGw}}, {1000, {kOtherGw, kGateway}}}, {false, false}},
        {"none for 60 s", {{0, {kGateway}}, {1000, {}}, {60000, {}}, {61000, {}}, {121500, {}}},
         {false, false, false, true, true}},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        NetworkLook look;
        for (size_t i = 0; i < row.looks.size(); ++i)
            EXPECT_EQ(look.gatewaysSeen(1000000 + row.looks[i].first, row.looks[i].second),
                      row.search[i])
                << "look " << i;
    }
}

TEST(ServiceCoreNetwork, LooksAtOnceWhenAskedElseWithinTheGapOrTheMinute) {
    NetworkLook look;
    EXPECT_TRUE(look.due(0));
    look.gatewaysSeen(10000, {kGateway});
    EXPECT_FALSE(look.due(10500));
    look.changed();
    EXPECT_FALSE(look.due(10999));
    EXPECT_TRUE(look.due(11000));
    look.gatewaysSeen(11000, {kGateway});
    EXPECT_FALSE(look.due(70999));
    EXPECT_TRUE(look.due(71000));
    look.now();
    EXPECT_TRUE(look.due(11001));
}

// A NOTIFY counts only from one of the gateway's own devices.
TEST(ServiceCoreNotices, OnlyTheGatewaysDevicesCount) {
    struct Row {
        const char *uuid;
        bool counts;
    };
    const Row rows[] = {{"root", true}, {"dev-ip", true}, {"media", false}, {"", false}};
    for (const Row &row : rows) {
        SCOPED_TRACE(row.uuid);
        Rig r;
        GatewayFacts f;
        f.way = MappingWay::Upnp;
        f.address = kGateway;
        f.hasBootId = true;
        f.bootId = 1;
        f.deviceUuid = L"dev-ip";
        f.deviceUdns = {L"root", L"dev-ip"};
        r.core.gatewayFound(r.now, f);
        r.core.networkSeen(r.now, {kGateway}, kHost);
        ASSERT_EQ(r.add(8080, 80, granted()), RESULT_OK);
        r.now += 10000;
        const std::string u = row.uuid;
        r.core.ssdpHeard(r.now, kGateway, SsdpNoticeKind::Alive, true, 2,
                         std::wstring(u.begin(), u.end()));
        const std::vector<KeeperJob> due = r.runDue();
        const bool checked = !due.empty() && due[0].mapping.job == ExchangeJob::Check;
        EXPECT_EQ(checked, row.counts);
    }
}

// UPnP pinholes go only to the host that answered the IPv6 search as the gateway's device;
// PCP ones to the IPv6 default router, else to that host.
TEST(ServiceCorePinholeRoute, UpnpOnlyToTheSearchedDevice) {
    struct Row {
        const char *name;
        MappingWay way;
        bool router, answered;
        std::vector<PinholeWay> ways;
    };
    const Row rows[] = {
        {"UPnP, answered, no router", MappingWay::Upnp, false, true, {PinholeWay::Upnp, PinholeWay::Pcp}},
        {"UPnP, router only", MappingWay::Upnp, true, false, {PinholeWay::Pcp}},
        {"UPnP, neither", MappingWay::Upnp, false, false, {}},
        {"PCP, router", MappingWay::Pcp, true, false, {PinholeWay::Pcp}},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        Rig r;
        r.found(row.way);
        r.ipv6(row.router, row.answered);
        ASSERT_EQ(r.add(8080, 80, granted(80, 600)), RESULT_OK);
        std::vector<PinholeWay> used;
        for (const KeeperJob &job : r.runDue()) {
            if (!job.pinhole)
                continue;
            used.push_back(job.hole.way);
            if (job.hole.way == PinholeWay::Upnp) {
                EXPECT_TRUE(job.targets.upnp);
                EXPECT_EQ(job.targets.upnpGateway, kGw6);
            } else {
                EXPECT_EQ(job.targets.pcpGateway, row.router ? kRouter6 : kGw6);
            }
        }
        // The first way that is offered opens the pinhole.
        EXPECT_EQ(used.empty(), row.ways.empty());
        if (!used.empty())
            EXPECT_EQ(used[0], row.ways[0]);
    }
}

// Behind another NAT the keeper thread finds the next router after the add and makes the
// second mapping there: the same external port, to the gateway's external address on that
// port; it is checked every two minutes, made again when missing, and deleted beside the
// first by the remove.
TEST(ServiceCoreSecondNat, MadeKeptAndRemovedWithTheFirst) {
    for (const MappingWay outer : {MappingWay::Upnp, MappingWay::Pcp}) {
        Rig r;
        r.wanAddress = kWan;
        r.outerWay = outer;
        r.found(MappingWay::Upnp, false);
        ASSERT_EQ(r.add(8080, 80, granted()), RESULT_OK);
        std::vector<UpstreamStep> steps;
        for (const KeeperJob &job : r.runDue())
            if (job.learn)
                steps.push_back(job.step.step);
        EXPECT_EQ(steps, (std::vector<UpstreamStep>{UpstreamStep::ExternalAddress,
                                                    UpstreamStep::FindNextRouter,
                                                    UpstreamStep::SearchNextRouter}));
        ASSERT_EQ(r.upstreamSent.size(), 1u);
        const Exchange second = r.upstreamSent[0];
        EXPECT_EQ(second.job, ExchangeJob::Map);
        EXPECT_EQ(second.way, outer);
        EXPECT_EQ(second.externalPort, 80);
        EXPECT_EQ(second.internalPort, 80);
        EXPECT_EQ(second.clientAddress, kWan);

        // Checked (UPnP) or renewed (PCP) within two minutes: the outer router restarted and
        // lost it, so it is made again.
        r.outerCheck.outcome = ExchangeOutcome::Refused;
        r.now += kUpnpCheckEveryMs;
        r.upstreamSent.clear();
        r.runDue();
        const auto remade = std::find_if(r.upstreamSent.begin(), r.upstreamSent.end(),
                                         [](const Exchange &x) { return x.job == ExchangeJob::Map; });
        ASSERT_NE(remade, r.upstreamSent.end());
        EXPECT_EQ(remade->clientAddress, kWan);

        // The remove deletes both; the call answers from the first.
        r.upstreamSent.clear();
        const RemovePlan plan = r.remove(80);
        EXPECT_EQ(plan.upstream.job, ExchangeJob::Delete);
        EXPECT_EQ(plan.upstream.externalPort, 80);
        for (const MappingKeeper::Held &h : r.core.upstreamMappings().held())
            EXPECT_TRUE(h.removing);
        EXPECT_TRUE(r.runDue().empty());
        EXPECT_EQ(r.core.inFlight(), 0u);
    }
}

// A public external address: nothing beyond the gateway; a new private one makes every second
// mapping again for it; the gateway's external address turning public forgets them.
TEST(ServiceCoreSecondNat, FollowsTheGatewaysExternalAddress) {
    Rig pub;
    pub.found(MappingWay::Upnp, false);
    ASSERT_EQ(pub.add(8080, 80, granted()), RESULT_OK);
    for (int minute = 0; minute < 30; ++minute, pub.now += 60000)
        for (const KeeperJob &job : pub.runDue())
            EXPECT_TRUE(!job.learn || job.step.step == UpstreamStep::ExternalAddress);
    EXPECT_TRUE(pub.upstreamSent.empty());

    Rig r;
    r.wanAddress = kWan;
    r.found(MappingWay::Upnp, false);
    ASSERT_EQ(r.add(8080, 80, granted()), RESULT_OK);
    ASSERT_EQ(r.add(9090, 90, granted(), granted(), kProtocolUdp), RESULT_OK);
    r.runDue();
    ASSERT_EQ(r.upstreamSent.size(), 2u);
    r.upstreamSent.clear();
    r.wanAddress = kWanLater;
    r.now += kExternalAddressEveryMs;
    r.runDue();
    std::vector<std::pair<ExchangeJob, uint32_t>> sent;
    for (const Exchange &x : r.upstreamSent)
        if (x.job != ExchangeJob::Check)
            sent.push_back({x.job, x.clientAddress});
    // UPnP names no client in a delete: the old mapping goes first, then the new one.
    EXPECT_EQ(sent, (std::vector<std::pair<ExchangeJob, uint32_t>>{
                        {ExchangeJob::Delete, kWanLater}, {ExchangeJob::Map, kWanLater},
                        {ExchangeJob::Delete, kWanLater}, {ExchangeJob::Map, kWanLater}}));

    r.wanAddress = kPublic;
    r.now += kExternalAddressEveryMs;
    r.runDue();
    r.upstreamSent.clear();
    for (int minute = 0; minute < 30; ++minute, r.now += 60000)
        r.runDue();
    EXPECT_TRUE(r.upstreamSent.empty());
    EXPECT_FALSE(r.core.upstreamFinder().found());
    EXPECT_TRUE(r.core.upstreamMappings().empty());
}

// Application calls wait for the keeper's exchanges, but not for the probe and the search
// beyond the gateway.
TEST(ServiceCoreSecondNat, OnlyExchangesHoldTheCallsTurn) {
    KeeperJob job;
    EXPECT_TRUE(holdsExchangeTurn(job)); // a mapping exchange
    job.pinhole = true;
    EXPECT_TRUE(holdsExchangeTurn(job));
    job = KeeperJob();
    job.upstream = true;
    EXPECT_TRUE(holdsExchangeTurn(job));
    job = KeeperJob();
    job.learn = true;
    const std::pair<UpstreamStep, bool> steps[] = {{UpstreamStep::ExternalAddress, true},
                                                   {UpstreamStep::FindNextRouter, false},
                                                   {UpstreamStep::SearchNextRouter, false}};
    for (const auto &s : steps) {
        job.step.step = s.first;
        EXPECT_EQ(holdsExchangeTurn(job), s.second);
    }
}

// The PCP gateway's MAP answer names its external address: the search beyond begins from it.
TEST(ServiceCoreSecondNat, LearnsFromAPcpGrant) {
    Rig r;
    r.found(MappingWay::Pcp, false);
    ExchangeResult answer = granted(80, 600);
    answer.externalAddress = kWan;
    ASSERT_EQ(r.add(8080, 80, answer), RESULT_OK);
    r.runDue();
    EXPECT_TRUE(r.core.upstreamFinder().found());
    ASSERT_EQ(r.upstreamSent.size(), 1u);
    EXPECT_EQ(r.upstreamSent[0].clientAddress, kWan);
}
