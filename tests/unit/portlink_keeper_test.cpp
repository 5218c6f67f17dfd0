#include "mapping_keeper.h"
#include "result_codes.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <map>
#include <tuple>
#include <vector>

using namespace portlink;

namespace {

const uint32_t kGateway = 0x014da8c0; // 192.168.77.1 in network order
const uint32_t kClient = 0x144da8c0;  // 192.168.77.20
const uint32_t kClient2 = 0x154da8c0; // 192.168.77.21
const int32_t kRefusedCode = -77;

ExchangeResult answer(ExchangeOutcome outcome, uint16_t port = 0, uint32_t lifetime = 0) {
    ExchangeResult r;
    r.outcome = outcome;
    r.code = outcome == ExchangeOutcome::Granted ? 0 : kRefusedCode;
    r.externalPort = port;
    r.lifetime = lifetime;
    return r;
}
ExchangeResult granted(uint16_t port = 0, uint32_t lifetime = kMappingLifetime) {
    return answer(ExchangeOutcome::Granted, port, lifetime);
}
ExchangeResult withEpoch(ExchangeResult r, uint32_t epoch) {
    r.hasEpoch = true;
    r.epoch = epoch;
    return r;
}
const ExchangeResult kUnanswered = answer(ExchangeOutcome::Unanswered);

// One keeper on a scripted clock; the keeper thread's loop answers with `reply`.
struct Bench {
    uint64_t now = 1000000;
    uint8_t drawn = 0;
    bool noncesLeft = true;
    MappingKeeper k{[this](MappingNonce &n) {
        n.fill(++drawn);
        return noncesLeft;
    }};
    std::function<ExchangeResult(const Exchange &)> reply = [](const Exchange &x) {
        return granted(x.externalPort);
    };
    std::vector<std::pair<uint64_t, Exchange>> sent; // (time after start, exchange); no Epochs
    std::vector<uint64_t> epochs;                    // when an Epoch went, after start
    uint64_t start = now;

    explicit Bench(MappingWay way = MappingWay::Pcp) { k.setGateway(now, way, kGateway); }
    CallPlan begin(uint16_t internal, uint16_t external, uint8_t tr = kProtocolTcp) {
        return k.beginAdd(now, tr, internal, external, kClient);
    }
    int32_t add(uint16_t internal, uint16_t external, const ExchangeResult &r) {
        const CallPlan p = begin(internal, external);
        return p.refusal != 0 ? p.refusal : k.finishAdd(now, p.exchange, r);
    }
    void hold(uint16_t internal, uint16_t external) {
        ASSERT_EQ(add(internal, external, granted(external)), 0);
    }
    // A remove whose exchanges are all answered `r`: the Check of a port not held, then the
    // Delete it may lead to.
    int32_t remove(uint16_t external, const ExchangeResult &r) {
        const CallPlan p = k.beginRemove(now, kProtocolTcp, external);
        if (p.refusal != 0)
            return p.refusal;
        removeJobs.assign(1, p.exchange.job);
        Exchange next;
        int32_t code = k.finishRemove(now, p.exchange, r, &next);
        while (next.ticket != 0) {
            removeJobs.push_back(next.job);
            const Exchange sentNext = next;
            code = k.finishRemove(now, sentNext, r, &next);
        }
        return code;
    }
    std::vector<ExchangeJob> removeJobs; // the last remove's exchanges
    // Runs the keeper thread until `untilMs` after the start of this run.
    void run(uint64_t untilMs) {
        start = now;
        sent.clear();
        epochs.clear();
        Exchange x;
        while (now <= start + untilMs) {
            if (k.nextExchange(now, x)) {
                if (x.job == ExchangeJob::Epoch)
                    epochs.push_back(now - start);
                else
                    sent.emplace_back(now - start, x);
                k.finish(now, x, reply(x));
            } else {
                now = k.nextWakeMs(now) + (k.nextWakeMs(now) == now);
            }
        }
    }
    std::vector<uint64_t> times(bool onlyDeletes = false) const {
        std::vector<uint64_t> t;
        for (const auto &s : sent)
            if (!onlyDeletes || s.second.job == ExchangeJob::Delete)
                t.push_back(s.first);
        return t;
    }
    std::vector<std::pair<uint64_t, ExchangeJob>> jobs() const {
        std::vector<std::pair<uint64_t, ExchangeJob>> j;
        for (const auto &s : sent)
            j.emplace_back(s.first, s.second.job);
        return j;
    }
};

auto key(const MappingKeeper::Held &h) {
    return std::make_tuple(h.way, h.transport, h.internalPort, h.externalPort, h.nonce,
                           h.clientAddress, h.removing, h.granted, h.expiresAtMs);
}

struct Case {
    const char *name;
    std::function<void()> run;
};

void runCases(const std::vector<Case> &cases) {
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        c.run();
    }
}

} // namespace

TEST(PortlinkKeeper, Bookkeeping) {
    runCases({
        {"a failed add leaves the live mapping as it was",
         [] {
             for (MappingWay way : {MappingWay::Pcp, MappingWay::Upnp}) {
                 Bench b(way);
                 b.hold(8080, 40000);
                 b.now += 1000;
                 const auto before = key(b.k.held().at(0));
                 const uint64_t wake = b.k.nextWakeMs(b.now);
                 EXPECT_EQ(b.add(8080, 40000, answer(ExchangeOutcome::Refused)), kRefusedCode);
                 EXPECT_EQ(b.add(8080, 40000, kUnanswered), kRefusedCode);
                 ASSERT_EQ(b.k.held().size(), 1u);
                 EXPECT_EQ(key(b.k.held()[0]), before);
                 EXPECT_EQ(b.k.nextWakeMs(b.now), wake);
             }
         }},
        {"an unanswered remove is retried 2, 4, 8 ... 60 s apart, and a later remove sends again",
         [] {
             for (MappingWay way : {MappingWay::Pcp, MappingWay::Upnp}) {
                 Bench b(way);
                 b.hold(8080, 40000);
                 const MappingNonce nonce = b.k.held()[0].nonce;
                 const uint64_t expiry = b.k.held()[0].expiresAtMs;
                 b.reply = [](const Exchange &) { return kUnanswered; };
                 EXPECT_EQ(b.remove(40000, kUnanswered), kRefusedCode);
                 b.run(250000); // past the renewal time: no renewal follows
                 EXPECT_EQ(b.times(), (std::vector<uint64_t>{2000, 6000, 14000, 30000, 62000,
                                                             122000, 182000, 242000}));
                 for (const auto &s : b.sent)
                     EXPECT_TRUE(s.second.job == ExchangeJob::Delete && s.second.nonce == nonce);
                 ASSERT_EQ(b.k.held().size(), 1u);
                 EXPECT_TRUE(b.k.held()[0].removing);
                 const CallPlan again = b.k.beginRemove(b.now, kProtocolTcp, 40000);
                 EXPECT_EQ(again.exchange.job, ExchangeJob::Delete);
                 EXPECT_EQ(b.k.finishRemove(b.now, again.exchange, kUnanswered), kRefusedCode);
                 // No count limit: UPnP goes on while the gateway stays; PCP until the expiry.
                 b.run(3600000);
                 ASSERT_FALSE(b.sent.empty());
                 if (way == MappingWay::Pcp)
                     EXPECT_TRUE(b.start + b.sent.back().first < expiry && b.k.empty());
                 else
                     EXPECT_GT(b.sent.back().first, 3500000u);
                 b.k.setGateway(b.now, way, kClient2);
                 b.run(3600000);
                 EXPECT_TRUE(b.sent.empty());
             }
         }},
        {"other unanswered deletes are retried on the same steps",
         [] {
             const std::vector<uint64_t> steps{2000, 6000, 14000, 30000, 62000, 122000};
             Bench stray;
             const CallPlan p = stray.begin(8080, 40000);
             Exchange cleanUp;
             EXPECT_EQ(stray.k.finishAdd(stray.now, p.exchange, granted(40005), &cleanUp),
                       ERR_OTHER_PORT);
             stray.k.finish(stray.now, cleanUp, kUnanswered);
             stray.reply = [](const Exchange &) { return kUnanswered; };
             stray.run(130000);
             EXPECT_EQ(stray.times(), steps);
             Bench moved(MappingWay::Upnp); // the old mapping of an address change
             moved.hold(8080, 40000);
             moved.k.localAddressSeen(moved.now, kClient2);
             moved.reply = [](const Exchange &) { return kUnanswered; };
             moved.run(130000);
             std::vector<uint64_t> first{0};
             first.insert(first.end(), steps.begin(), steps.end());
             EXPECT_EQ(moved.times(), first);
         }},
        {"a delete that a retry got through still answers a later remove",
         [] {
             Bench b;
             b.hold(8080, 40000);
             EXPECT_EQ(b.remove(40000, kUnanswered), kRefusedCode);
             b.run(2000); // the first retry is granted
             EXPECT_EQ(b.times(), (std::vector<uint64_t>{2000}));
             const CallPlan again = b.k.beginRemove(b.now, kProtocolTcp, 40000);
             ASSERT_EQ(again.refusal, 0);
             EXPECT_EQ(again.exchange.nonce, b.sent[0].second.nonce);
             EXPECT_EQ(b.k.finishRemove(b.now, again.exchange, granted()), 0);
             EXPECT_TRUE(b.k.empty());
             // Being removed, it no longer holds its internal port for another external one.
             b.hold(8080, 40000);
             EXPECT_EQ(b.remove(40000, kUnanswered), kRefusedCode);
             EXPECT_EQ(b.begin(8080, 40002).refusal, 0);
         }},
        {"delete retries last only while the lifetime does",
         [] {
             Bench b;
             ASSERT_EQ(b.add(8080, 40000, granted(40000, 6)), 0);
             b.reply = [](const Exchange &) { return kUnanswered; };
             EXPECT_EQ(b.remove(40000, kUnanswered), kRefusedCode);
             b.run(60000);
             EXPECT_EQ(b.times(), (std::vector<uint64_t>{2000}));
             EXPECT_TRUE(b.k.empty()); // gone from the gateway at its expiry
         }},
        {"removes that end it, and calls refused at once",
         [] {
             Bench b;
             b.hold(8080, 40000);
             b.hold(8081, 40001);
             EXPECT_EQ(b.remove(40000, granted()), 0);
             EXPECT_EQ(b.remove(40001, answer(ExchangeOutcome::Refused)), kRefusedCode);
             EXPECT_TRUE(b.k.empty());
             EXPECT_EQ(b.remove(40001, granted()), ERR_NOT_MAPPED_HERE);
             b.hold(8080, 40000);
             const CallPlan taken = b.begin(8080, 40002);
             EXPECT_EQ(taken.refusal, ERR_PORT_TAKEN_HERE);
             Exchange x;
             EXPECT_FALSE(b.k.nextExchange(b.now, x));
             EXPECT_EQ(b.k.beginAdd(b.now, kProtocolTcp, 1, 2, 0x0100000b).refusal,
                       ERR_NOT_LAN_ADDRESS); // 11.0.0.1
             b.noncesLeft = false;
             EXPECT_EQ(b.begin(9000, 9000).refusal, ERR_NO_NONCE);
             MappingKeeper none([](MappingNonce &) { return true; });
             EXPECT_EQ(none.beginAdd(0, kProtocolTcp, 1, 2, kClient).refusal, ERR_NO_GATEWAY);
             EXPECT_EQ(none.beginRemove(0, kProtocolTcp, 2).refusal, ERR_NO_GATEWAY);
         }},
        {"SUCCESS with lifetime 0 is a refusal; a grant on another port is deleted",
         [] {
             Bench b;
             EXPECT_EQ(b.add(8080, 40000, granted(40000, 0)), ERR_MAPPING_REFUSED);
             EXPECT_TRUE(b.k.empty());
             const CallPlan p = b.begin(8080, 40000);
             EXPECT_EQ(b.k.finishAdd(b.now, p.exchange, granted(40005)), ERR_OTHER_PORT);
             EXPECT_TRUE(b.k.held().empty());
             b.run(0);
             ASSERT_EQ(b.sent.size(), 1u);
             const Exchange &x = b.sent[0].second;
             EXPECT_EQ(std::make_tuple(x.job, x.externalPort, x.internalPort, x.nonce),
                       std::make_tuple(ExchangeJob::Delete, uint16_t{40005}, uint16_t{8080},
                                       p.exchange.nonce));
             EXPECT_TRUE(b.k.empty());
         }},
        {"the delete of a grant on another port goes with the call; a renewal due stays due",
         [] {
             Bench b;
             b.hold(8081, 40001);
             b.now += 400000; // its renewal is overdue
             const CallPlan p = b.begin(8080, 40000);
             Exchange cleanUp;
             EXPECT_EQ(b.k.finishAdd(b.now, p.exchange, granted(40005), &cleanUp), ERR_OTHER_PORT);
             EXPECT_NE(cleanUp.ticket, 0u);
             EXPECT_EQ(std::make_tuple(cleanUp.job, cleanUp.externalPort, cleanUp.nonce),
                       std::make_tuple(ExchangeJob::Delete, uint16_t{40005}, p.exchange.nonce));
             b.run(0); // the stray is in flight: only the renewal is handed out
             ASSERT_EQ(b.sent.size(), 1u);
             EXPECT_EQ(std::make_tuple(b.sent[0].second.job, b.sent[0].second.externalPort),
                       std::make_tuple(ExchangeJob::Map, uint16_t{40001}));
             b.k.finish(b.now, cleanUp, granted());
             b.run(0);
             EXPECT_TRUE(b.sent.empty());
             const CallPlan q = b.begin(8082, 40002);
             EXPECT_EQ(b.k.finishAdd(b.now, q.exchange, granted(40002), &cleanUp), 0);
             EXPECT_EQ(cleanUp.ticket, 0u);
         }},
    });
}

TEST(PortlinkKeeper, RenewalTiming) {
    struct Row {
        uint32_t lifetime;
        std::vector<uint64_t> firstSends; // ms after the grant; all unanswered
    };
    const Row rows[] = {
        {6, {3000, 4500, 5500, 6500, 7500, 9500, 13500, 21500, 37500, 69500, 129500, 189500}},
        {600, {300000, 450000, 525000, 562500}},
        {1, {1000, 2000, 4000}},
        {200000, {43200000, 64800000, 75600000, 81000000}}, // counts as 86400 s
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.lifetime);
        Bench b;
        ASSERT_EQ(b.add(8080, 40000, granted(40000, row.lifetime)), 0);
        const MappingNonce nonce = b.k.held()[0].nonce;
        b.reply = [](const Exchange &) { return kUnanswered; };
        const uint64_t expiry = std::min(row.lifetime, kLongestLifetimeSeconds) * 1000;
        EXPECT_EQ(b.k.held()[0].expiresAtMs, b.now + expiry);
        b.run(expiry + 400000);
        const std::vector<uint64_t> t = b.times();
        ASSERT_GE(t.size(), row.firstSends.size());
        EXPECT_EQ(std::vector<uint64_t>(t.begin(), t.begin() + row.firstSends.size()),
                  row.firstSends);
        size_t inTime = 0;
        for (size_t i = 0; i < t.size(); ++i) {
            inTime += t[i] < expiry;
            EXPECT_EQ(b.sent[i].second.nonce, nonce);
            if (i > 0) {
                EXPECT_GE(t[i] - t[i - 1], kShortestRetryGapMs);
                if (t[i - 1] >= expiry)
                    EXPECT_LE(t[i] - t[i - 1], kLapsedRetryMaxMs);
            }
        }
        if (row.lifetime >= 6)
            EXPECT_GE(inTime, kRenewalTriesBeforeExpiry);
    }
}

TEST(PortlinkKeeper, Restarts) {
    using Event = std::function<void(Bench &)>;
    const auto pcpAddEpoch = [](uint32_t epoch) {
        return [epoch](Bench &b) { b.add(9000, 9000, withEpoch(granted(9000), epoch)); };
    };
    const auto alive = [](bool hasId, uint32_t id, uint32_t from = kGateway) {
        return [=](Bench &b) { b.k.ssdpNotice(b.now, from, SsdpNoticeKind::Alive, hasId, id); };
    };
    const Event byebye = [](Bench &b) {
        b.k.ssdpNotice(b.now, kGateway, SsdpNoticeKind::ByeBye, true, 1);
    };
    const auto announce = [](uint32_t from, uint16_t port) {
        return [=](Bench &b) { b.k.portControlAnnouncement(b.now, from, port, 50); };
    };
    struct Row {
        const char *name;
        MappingWay way;
        std::vector<Event> before, after; // `after` comes 10 s later
        bool dueAtOnce;
    };
    const Row rows[] = {
        {"announcement from the gateway", MappingWay::Pcp, {}, {announce(kGateway, 5351)}, true},
        {"announcement from another address",
         MappingWay::Pcp,
         {},
         {announce(kClient2, 5351)},
         false},
        {"announcement from another port", MappingWay::Pcp, {}, {announce(kGateway, 5350)}, false},
        {"epoch lost", MappingWay::Pcp, {pcpAddEpoch(100)}, {pcpAddEpoch(100)}, true},
        {"epoch kept", MappingWay::Pcp, {pcpAddEpoch(100)}, {pcpAddEpoch(110)}, false},
        {"BOOTID changed", MappingWay::Upnp, {alive(true, 5)}, {alive(true, 6)}, true},
        {"BOOTID same", MappingWay::Upnp, {alive(true, 5)}, {alive(true, 5)}, false},
        {"first BOOTID is recorded", MappingWay::Upnp, {}, {alive(true, 5)}, false},
        {"alive after byebye", MappingWay::Upnp, {alive(true, 5), byebye}, {alive(true, 5)}, true},
        {"alive without BOOTID", MappingWay::Upnp, {}, {alive(false, 0)}, true},
        {"foreign source", MappingWay::Upnp, {}, {alive(false, 0, kClient2)}, false},
        {"SSDP while PCP", MappingWay::Pcp, {}, {alive(false, 0)}, false},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        Bench b(row.way);
        b.hold(8080, 40000);
        b.hold(8081, 40001);
        for (const Event &e : row.before)
            e(b);
        b.now += 10000;
        for (const Event &e : row.after)
            e(b);
        b.run(0);
        EXPECT_EQ(b.sent.size(), row.dueAtOnce ? 2u : 0u); // 9000 was granted just now
    }
    // A restart right after the add is acted on at once: the gap counts from notices only.
    for (MappingWay way : {MappingWay::Upnp, MappingWay::Pcp}) {
        Bench b(way);
        b.hold(8080, 40000);
        b.k.ssdpNotice(b.now, kGateway, SsdpNoticeKind::Alive, false, 0);
        b.k.portControlAnnouncement(b.now, kGateway, kPortControlPort, 7);
        b.run(0);
        EXPECT_EQ(b.sent.size(), 1u) << static_cast<int>(way);
    }
}

TEST(PortlinkKeeper, UpnpChecksAndNoticeFloods) {
    struct Row {
        ExchangeOutcome checkAnswer;
        std::vector<std::pair<uint64_t, ExchangeJob>> sends; // within 130 s of the check
    };
    const Row rows[] = {
        {ExchangeOutcome::Granted, {{0, ExchangeJob::Check}, {120000, ExchangeJob::Check}}},
        {ExchangeOutcome::Refused, {{0, ExchangeJob::Check}, {0, ExchangeJob::Map}}},
        {ExchangeOutcome::Unsupported,
         {{0, ExchangeJob::Check}, {0, ExchangeJob::Map}, {120000, ExchangeJob::Map}}},
        {ExchangeOutcome::Unanswered,
         {{0, ExchangeJob::Check}, {15000, ExchangeJob::Check}, {30000, ExchangeJob::Check}}},
    };
    for (const Row &row : rows) {
        Bench b(MappingWay::Upnp);
        b.hold(8080, 40000);
        b.now += kUpnpCheckEveryMs;
        b.reply = [&row](const Exchange &x) {
            return answer(x.job == ExchangeJob::Check ? row.checkAnswer : ExchangeOutcome::Granted);
        };
        b.run(row.sends.back().first);
        std::vector<std::pair<uint64_t, ExchangeJob>> got;
        for (const auto &s : b.sent)
            got.emplace_back(s.first, s.second.job);
        EXPECT_EQ(got, row.sends) << static_cast<int>(row.checkAnswer);
    }
    for (MappingWay way : {MappingWay::Upnp, MappingWay::Pcp}) {
        Bench b(way);
        b.hold(8080, 40000);
        b.hold(8081, 40001);
        std::map<uint16_t, uint64_t> last; // external port -> when last sent
        Exchange x;
        for (int i = 0; i < 10000; ++i, ++b.now) {
            b.k.ssdpNotice(b.now, kGateway, SsdpNoticeKind::Alive, false, 0);
            b.k.portControlAnnouncement(b.now, kGateway, kPortControlPort, 7);
            while (b.k.nextExchange(b.now, x)) {
                if (last.count(x.externalPort))
                    EXPECT_GE(b.now - last[x.externalPort], kNoticeCheckGapMs);
                last[x.externalPort] = b.now;
                b.k.finish(b.now, x, granted(x.externalPort));
            }
        }
        EXPECT_EQ(last.size(), 2u);
    }
}

TEST(PortlinkKeeper, NetworkChanges) {
    for (MappingWay way : {MappingWay::Upnp, MappingWay::Pcp}) {
        SCOPED_TRACE(static_cast<int>(way));
        Bench b(way);
        b.hold(8080, 40000);
        const MappingNonce old = b.k.held()[0].nonce;
        b.k.localAddressSeen(b.now, kClient2);
        b.run(0);
        std::vector<std::pair<ExchangeJob, uint32_t>> got;
        for (const auto &s : b.sent) {
            got.emplace_back(s.second.job, s.second.clientAddress);
            EXPECT_EQ(s.second.nonce == old, way == MappingWay::Upnp);
        }
        using P = std::pair<ExchangeJob, uint32_t>;
        std::vector<P> want{{ExchangeJob::Map, kClient2}};
        if (way == MappingWay::Upnp)
            want.insert(want.begin(), P{ExchangeJob::Delete, kClient2});
        EXPECT_EQ(got, want);
    }
    // Another gateway, then another way: re-keyed (two UPnP mappings of one internal port
    // leave one PCP mapping), remade at once with a new nonce; the same again changes nothing.
    Bench b(MappingWay::Upnp);
    b.hold(8080, 40000);
    b.hold(8080, 40001);
    b.k.setGateway(b.now, MappingWay::Upnp, kClient2);
    b.run(0);
    EXPECT_EQ(b.sent.size(), 2u);
    b.k.setGateway(b.now, MappingWay::Pcp, kClient2);
    b.k.setGateway(b.now, MappingWay::Pcp, kClient2);
    b.run(0);
    ASSERT_EQ(b.sent.size(), 1u);
    EXPECT_EQ(b.sent[0].second.way, MappingWay::Pcp);
    EXPECT_NE(b.sent[0].second.nonce, MappingNonce{});
    ASSERT_EQ(b.k.held().size(), 1u);
    EXPECT_TRUE(b.k.held()[0].granted);
    EXPECT_LE(b.k.nextWakeMs(b.now), b.now + kKeeperLongestWaitMs);
    // A PCP server that turns out to speak only NAT-PMP keeps its mappings and their times.
    Bench n(MappingWay::Pcp);
    n.hold(8080, 40000);
    const uint64_t heldAt = n.now;
    n.k.setGateway(n.now, MappingWay::NatPmp, kGateway);
    n.run(0);
    EXPECT_TRUE(n.sent.empty());
    ASSERT_EQ(n.k.held().size(), 1u);
    EXPECT_EQ(n.k.held()[0].way, MappingWay::NatPmp);
    EXPECT_TRUE(n.k.held()[0].granted);
    n.run(300 * 1000);
    ASSERT_FALSE(n.sent.empty());
    EXPECT_EQ(n.sent[0].second.way, MappingWay::NatPmp);
    EXPECT_EQ(n.start + n.sent[0].first - heldAt, 300 * 1000u); // half of 600 s, as before
    EXPECT_EQ(MappingKeeper([](MappingNonce &) { return true; }).nextWakeMs(5), 5 + 60000u);
}

// An unanswered UPnP add may have been made: checked, and deleted when it forwards to us.
TEST(PortlinkKeeper, UnansweredUpnpAdds) {
    using J = ExchangeJob;
    struct Row {
        ExchangeOutcome check, del;
        std::vector<std::pair<uint64_t, ExchangeJob>> sends; // within 40 s of the add
    };
    const Row rows[] = {
        {ExchangeOutcome::Granted, ExchangeOutcome::Granted, {{2000, J::Check}, {2000, J::Delete}}},
        {ExchangeOutcome::Granted,
         ExchangeOutcome::Unanswered,
         {{2000, J::Check},
          {2000, J::Delete},
          {4000, J::Delete},
          {8000, J::Delete},
          {16000, J::Delete},
          {32000, J::Delete}}},
        {ExchangeOutcome::Refused, ExchangeOutcome::Granted, {{2000, J::Check}}},
        {ExchangeOutcome::Unsupported, ExchangeOutcome::Granted, {{2000, J::Check}}},
        {ExchangeOutcome::Unanswered,
         ExchangeOutcome::Granted,
         {{2000, J::Check}, {6000, J::Check}, {14000, J::Check}, {30000, J::Check}}},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(static_cast<int>(row.check) * 10 + static_cast<int>(row.del));
        Bench b(MappingWay::Upnp);
        EXPECT_EQ(b.add(8080, 40000, kUnanswered), kRefusedCode);
        EXPECT_TRUE(b.k.held().empty()); // a note, not a kept mapping
        b.reply = [&row](const Exchange &x) {
            return answer(x.job == J::Check ? row.check : row.del);
        };
        b.run(40000);
        EXPECT_EQ(b.jobs(), row.sends);
        const Exchange &check = b.sent.at(0).second;
        EXPECT_EQ(std::make_tuple(check.externalPort, check.internalPort, check.clientAddress),
                  std::make_tuple(uint16_t{40000}, uint16_t{8080}, kClient));
    }
    // A later add's answer replaces the note; a later remove takes its place with its delete.
    Bench again(MappingWay::Upnp);
    EXPECT_EQ(again.add(8080, 40000, kUnanswered), kRefusedCode);
    again.hold(8081, 40000);
    again.run(60000);
    EXPECT_TRUE(again.sent.empty());
    // A remove asks the gateway first; unanswered, it deletes nothing and the note is checked
    // again.
    Bench removed(MappingWay::Upnp);
    EXPECT_EQ(removed.add(8080, 40000, kUnanswered), kRefusedCode);
    EXPECT_EQ(removed.remove(40000, kUnanswered), kRefusedCode);
    EXPECT_EQ(removed.removeJobs, std::vector<J>{J::Check});
    removed.reply = [](const Exchange &) { return kUnanswered; };
    removed.run(7000);
    EXPECT_EQ(removed.jobs(),
              (std::vector<std::pair<uint64_t, J>>{{2000, J::Check}, {6000, J::Check}}));
}

// A remove deletes only this host's mapping: a port this process does not hold is asked
// about first, and deleted only when the entry names this host or the gateway cannot tell.
TEST(PortlinkKeeper, RemovesAskBeforeDeletingWhatIsNotHeld) {
    using J = ExchangeJob;
    using O = ExchangeOutcome;
    struct Row {
        const char *name;
        bool held;        // granted to this process
        O checkFinds;     // what the first exchange's answer says
        std::vector<J> jobs;
        int32_t code;
    };
    const Row rows[] = {
        {"held: deleted as before", true, O::Granted, {J::Delete}, 0},
        {"the entry names this host", false, O::Granted, {J::Check, J::Delete}, 0},
        {"another client's entry, or none", false, O::Refused, {J::Check}, ERR_NOT_MAPPED_HERE},
        {"the gateway knows no such action", false, O::Unsupported, {J::Check, J::Delete}, 0},
        {"no answer", false, O::Unanswered, {J::Check}, kRefusedCode},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        Bench b(MappingWay::Upnp);
        if (row.held)
            b.hold(8080, 81);
        const CallPlan p = b.k.beginRemove(b.now, kProtocolTcp, 81);
        ASSERT_EQ(p.refusal, 0);
        std::vector<J> jobs{p.exchange.job};
        if (p.exchange.job == J::Check)
            EXPECT_EQ(std::make_tuple(p.exchange.internalPort, p.exchange.clientAddress),
                      std::make_tuple(uint16_t{0}, row.held ? kClient : b.k.localAddress()));
        Exchange next;
        int32_t code = b.k.finishRemove(b.now, p.exchange, answer(row.checkFinds), &next);
        if (next.ticket != 0) {
            jobs.push_back(next.job);
            EXPECT_EQ(next.externalPort, 81);
            code = b.k.finishRemove(b.now, next, granted(), &next);
            EXPECT_EQ(next.ticket, 0u);
        }
        EXPECT_EQ(jobs, row.jobs);
        EXPECT_EQ(code, row.code);
        EXPECT_TRUE(b.k.held().empty());
    }
    // A mapping found since to name another client is no longer held as this host's.
    Bench taken(MappingWay::Upnp);
    taken.hold(8080, 81);
    taken.reply = [](const Exchange &) { return answer(O::Refused); };
    taken.run(130000); // the 120 s check finds another client's entry; the re-add is refused
    EXPECT_EQ(taken.remove(81, answer(O::Refused)), ERR_NOT_MAPPED_HERE);
    EXPECT_EQ(taken.removeJobs, std::vector<J>{J::Check});
}

TEST(PortlinkKeeper, EpochChecks) {
    struct Row {
        const char *name;
        MappingWay way;
        bool removeIt;
        uint32_t laterEpoch; // the server's epoch in an Epoch answer 120 s after the add at 1000
        std::vector<uint64_t> epochs;
        size_t mapsAt120s;
    };
    const Row rows[] = {
        {"PCP, epoch as expected", MappingWay::Pcp, false, 1120, {120000, 240000}, 0},
        {"NAT-PMP", MappingWay::NatPmp, false, 1120, {120000, 240000}, 0},
        {"PCP, epoch lost", MappingWay::Pcp, false, 5, {120000, 240000}, 1},
        {"PCP, nothing kept", MappingWay::Pcp, true, 1120, {}, 0},
        {"UPnP", MappingWay::Upnp, false, 1120, {}, 0},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        Bench b(row.way);
        ASSERT_EQ(b.add(8080, 40000, withEpoch(granted(40000), 1000)), 0);
        if (row.removeIt)
            EXPECT_EQ(b.remove(40000, granted()), 0);
        b.reply = [&](const Exchange &x) {
            EXPECT_EQ(x.way, row.way);
            return x.job == ExchangeJob::Epoch ? withEpoch(granted(), row.laterEpoch)
                                               : granted(x.externalPort);
        };
        b.run(250000);
        EXPECT_EQ(b.epochs, row.epochs);
        EXPECT_EQ(std::count_if(b.sent.begin(), b.sent.end(),
                                [](const auto &s) {
                                    return s.first == 120000 && s.second.job == ExchangeJob::Map;
                                }),
                  static_cast<long>(row.mapsAt120s));
    }
    // An unanswered Epoch is asked again 120 s after it went.
    Bench b(MappingWay::Pcp);
    b.hold(8080, 40000);
    b.reply = [](const Exchange &) { return kUnanswered; };
    b.run(250000);
    EXPECT_EQ(b.epochs, (std::vector<uint64_t>{120000, 240000}));
}

// The keeper's own Map granted on another port: the stray is deleted, the mapping has lapsed
// and is tried again with the lapsed back-off, not at once and not at half the time left.
TEST(PortlinkKeeper, KeeperMapsGrantedOnAnotherPort) {
    for (bool renumbered : {false, true}) {
        SCOPED_TRACE(renumbered);
        Bench b;
        b.hold(8080, 40000);
        if (renumbered)
            b.k.localAddressSeen(b.now, kClient2);
        b.reply = [](const Exchange &x) {
            return x.job == ExchangeJob::Map ? granted(x.externalPort + 1) : granted();
        };
        b.run(500000);
        std::vector<uint64_t> maps, deletes;
        for (const auto &s : b.sent)
            (s.second.job == ExchangeJob::Map ? maps : deletes).push_back(s.first);
        ASSERT_GE(maps.size(), 9u);
        EXPECT_EQ(deletes, maps); // each stray is deleted at once
        const std::vector<uint64_t> gaps{1000, 2000, 4000, 8000, 16000, 32000, 60000, 60000};
        for (size_t i = 0; i < gaps.size(); ++i)
            EXPECT_EQ(maps[i + 1] - maps[i], gaps[i]) << i;
        EXPECT_EQ(maps[0], renumbered ? 0u : 300000u);
        EXPECT_FALSE(b.k.held()[0].granted);
    }
}

// Mappings the keeper makes on its own (keep) and lets go (release).
TEST(PortlinkKeeper, KeptAndReleasedWithoutACall) {
    const uint32_t kShared = 0x01004064; // 100.64.0.1: a client need not be private here
    runCases({
        {"kept: made at once for the address seen, failures back off",
         [&] {
             Bench b(MappingWay::Upnp);
             EXPECT_FALSE(b.k.keep(b.now, kProtocolTcp, 80, 80)); // no address yet
             b.k.localAddressSeen(b.now, kShared);
             b.reply = [](const Exchange &) { return answer(ExchangeOutcome::Refused); };
             ASSERT_TRUE(b.k.keep(b.now, kProtocolTcp, 80, 80));
             b.run(7500);
             EXPECT_EQ(b.times(), (std::vector<uint64_t>{0, 1000, 3000, 7000}));
             EXPECT_EQ(b.sent[0].second.clientAddress, kShared);
         }},
        {"released before any grant: PCP dropped unsent, UPnP deleted in case it was made",
         [&] {
             for (const MappingWay way : {MappingWay::Pcp, MappingWay::Upnp}) {
                 Bench b(way);
                 b.k.localAddressSeen(b.now, kShared);
                 ASSERT_TRUE(b.k.keep(b.now, kProtocolTcp, 80, 80));
                 Exchange map;
                 ASSERT_TRUE(b.k.nextExchange(b.now, map));
                 if (way == MappingWay::Pcp)
                     b.k.finish(b.now, map, kUnanswered);
                 b.k.release(b.now, kProtocolTcp, 80);
                 if (way == MappingWay::Upnp)
                     b.k.finish(b.now, map, granted(80)); // the add was made after all
                 b.run(5000);
                 EXPECT_EQ(b.jobs().size(), way == MappingWay::Upnp ? 1u : 0u);
                 EXPECT_TRUE(b.k.empty());
             }
         }},
        {"released with the delete handed out now; unanswered, retried by the keeper",
         [&] {
             Bench b(MappingWay::Upnp);
             b.k.localAddressSeen(b.now, kShared);
             ASSERT_TRUE(b.k.keep(b.now, kProtocolTcp, 80, 80));
             b.run(0);
             Exchange now;
             b.k.release(b.now, kProtocolTcp, 80, &now);
             ASSERT_EQ(now.job, ExchangeJob::Delete);
             b.k.finish(b.now, now, kUnanswered);
             b.run(2500);
             EXPECT_EQ(b.jobs(), (std::vector<std::pair<uint64_t, ExchangeJob>>{
                                     {2000, ExchangeJob::Delete}}));
             EXPECT_TRUE(b.k.empty());
         }},
    });
}
