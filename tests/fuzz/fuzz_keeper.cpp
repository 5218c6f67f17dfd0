// The mapping keeper driven by a sequence of events over a small port space: time steps,
// application adds and removes, outcomes of whatever was handed out, announcements and
// notices from the gateway or elsewhere, address and gateway changes.  After every step the
// table and the timing must keep their promises; at the end every exchange still out is
// reported, and then none may be left in flight.
#include "fuzz_input.h"
#include "mapping_keeper.h"
#include "result_codes.h"

#include <algorithm>
#include <cstddef>
#include <map>
#include <set>
#include <tuple>
#include <vector>

using fuzzing::require;
using namespace portlink;

namespace {

const uint32_t kGateways[] = {0x014da8c0, 0x0100000a};                 // 192.168.77.1, 10.0.0.1
const uint32_t kAddresses[] = {0x144da8c0, 0x154da8c0, 0, 0x0100000b}; // the last is public
const uint32_t kLifetimes[] = {0, 1, 2, 3, 6, 60, kMappingLifetime, 0xffffffff};

struct Bytes {
    const uint8_t *data;
    size_t size;
    uint8_t take() { return size > 0 ? (--size, *data++) : 0; }
};

using Key = std::tuple<uint8_t, uint16_t>;             // transport and the port the way names by
using Stray = std::tuple<uint8_t, uint16_t, uint16_t>; // transport, internal, external
using Note = std::tuple<uint8_t, uint16_t>;            // UPnP: transport, external

bool portControl(MappingWay way) {
    return way != MappingWay::Upnp;
}

Key keyOf(MappingWay way, uint8_t transport, uint16_t internal, uint16_t external) {
    return {transport, way == MappingWay::Upnp ? external : internal};
}
template <typename T> Key keyOf(const T &x) {
    return keyOf(x.way, x.transport, x.internalPort, x.externalPort);
}

struct Pending {
    Exchange x;
    uint64_t generation;              // address and gateway changes seen before it was handed out
    uint64_t goneAtMs = ~uint64_t{0}; // a stray's delete: when the stray's lifetime ends,
    uint32_t strayGrants = 0;         // and how often it had been granted then
    bool forHeld = false;             // it named a mapping held then
};

struct StrayGrant {
    uint64_t expiresAtMs = 0; // of the last grant
    uint32_t grants = 0;
};

struct Run {
    uint64_t now = 1000000;
    MappingNonce lastNonce{};
    bool noncesLeft = true;
    // Each nonce drawn differs from the one before (its first byte counts up).
    bool draw(MappingNonce &n) {
        ++lastNonce[0];
        n = lastNonce;
        return noncesLeft;
    }
    MappingKeeper k{[this](MappingNonce &n) { return draw(n); }};
    uint64_t generation = 0;
    std::vector<Pending> keeperOut, adds, removes;
    std::map<Stray, StrayGrant> strays;  // grants on other ports that were reported
    std::set<Note> notes;                // UPnP adds reported unanswered
    std::map<Key, uint64_t> looseExpiry; // a due time at the expiry is allowed there
    // Epochs: whether PCP/NAT-PMP mappings were kept after the last step, the gateway then,
    // and when the next Epoch must be handed out at the latest.
    bool keptPortControl = false;
    std::tuple<bool, MappingWay, uint32_t> gatewaySeen{false, MappingWay::Upnp, 0};
    uint64_t epochLatest = 0;

    const MappingKeeper::Held *find(const Key &key, std::vector<MappingKeeper::Held> &all) {
        for (const auto &h : all)
            if (keyOf(h) == key)
                return &h;
        return nullptr;
    }
    ExchangeResult outcome(Bytes &in, const Exchange &x);
    bool keeps() const;
    void handedOut(const Exchange &x);
    void handOut(const Exchange &x);
    void addAnswered(const Exchange &x, int32_t code,
                     const std::vector<MappingKeeper::Held> &before);
    void reported(const Exchange &x, const ExchangeResult &r,
                  const std::vector<MappingKeeper::Held> &before);
    void step(Bytes &in);
    void report(Bytes &in, std::vector<Pending> &list, size_t index, int kind);
    void check();
    void checkTiming(const MappingKeeper::Held &h);
};

// A mapping kept (not being removed) through PCP or NAT-PMP.
bool Run::keeps() const {
    if (!k.hasGateway() || !portControl(k.way()))
        return false;
    for (const auto &h : k.held())
        if (!h.removing)
            return true;
    return false;
}

ExchangeResult Run::outcome(Bytes &in, const Exchange &x) {
    const uint8_t b = in.take();
    ExchangeResult r;
    r.outcome = static_cast<ExchangeOutcome>(b % 4);
    r.code = r.outcome == ExchangeOutcome::Granted ? 0 : -1;
    r.externalPort = static_cast<uint16_t>(b & 0x10 ? x.externalPort % 4 + 1 : x.externalPort);
    r.lifetime = kLifetimes[b >> 5];
    r.hasEpoch = b & 0x80;
    r.epoch = in.take();
    if (x.way != MappingWay::Upnp && r.outcome == ExchangeOutcome::Granted && r.lifetime > 0 &&
        r.externalPort != x.externalPort) {
        StrayGrant &g = strays[{x.transport, x.internalPort, r.externalPort}];
        g.expiresAtMs = now + uint64_t{std::min(r.lifetime, kLongestLifetimeSeconds)} * 1000;
        ++g.grants;
    }
    return r;
}

// Only what the table holds is asked for, a mapping being removed only by a Delete, and a
// PCP/NAT-PMP Map names the mapping's own port and nonce from the current address.
// An Epoch only while PCP/NAT-PMP mappings are kept, one at a time; a note of an unanswered
// UPnP add only checked or deleted.
void Run::handedOut(const Exchange &x) {
    require(x.ticket != 0 && x.way == k.way());
    if (x.job == ExchangeJob::Epoch) {
        require(keeps());
        for (const Pending &p : keeperOut)
            require(p.x.job != ExchangeJob::Epoch || p.generation < generation);
        epochLatest = now + kEpochCheckEveryMs;
        return;
    }
    // Nothing is handed out twice: a second exchange of one mapping only after a change that
    // made the one still out count for nothing, once the mapping it named is gone, or once
    // the stray it deletes has lapsed (a grant of it since may have shortened its lifetime).
    std::vector<MappingKeeper::Held> all = k.held();
    const Stray triple{x.transport, x.internalPort, x.externalPort};
    for (const Pending &p : keeperOut) {
        const bool strayGone = p.goneAtMs <= now || (p.goneAtMs != ~uint64_t{0} &&
                                                     strays[triple].grants != p.strayGrants);
        const MappingKeeper::Held *named = find(keyOf(p.x), all);
        const bool mappingGone = p.forHeld && (!named || named->externalPort != p.x.externalPort);
        require(p.generation < generation || strayGone || mappingGone ||
                std::tie(p.x.transport, p.x.internalPort, p.x.externalPort) != triple);
    }
    const MappingKeeper::Held *h = find(keyOf(x), all);
    if (!h || h->externalPort != x.externalPort) {
        const bool stray = x.job == ExchangeJob::Delete &&
                           strays.count({x.transport, x.internalPort, x.externalPort});
        const bool note = x.way == MappingWay::Upnp &&
                          (x.job == ExchangeJob::Delete || x.job == ExchangeJob::Check) &&
                          notes.count({x.transport, x.externalPort});
        require(stray || note);
        return;
    }
    require(!h->removing || x.job == ExchangeJob::Delete);
    if (x.job == ExchangeJob::Map)
        require(x.clientAddress == k.localAddress() &&
                (x.way != MappingWay::Pcp || x.nonce == h->nonce));
}

void Run::handOut(const Exchange &x) {
    handedOut(x);
    Pending p{x, generation};
    std::vector<MappingKeeper::Held> all = k.held();
    const MappingKeeper::Held *h = find(keyOf(x), all);
    p.forHeld = x.job != ExchangeJob::Epoch && h && h->externalPort == x.externalPort;
    const auto stray = strays.find({x.transport, x.internalPort, x.externalPort});
    if (x.job == ExchangeJob::Delete && (!h || h->externalPort != x.externalPort) &&
        stray != strays.end()) {
        p.goneAtMs = stray->second.expiresAtMs;
        p.strayGrants = stray->second.grants;
    }
    keeperOut.push_back(p);
}

// A failed add leaves what was held under its key as it was; a grant may replace it, and a
// replacement is a new mapping that the keeper may ask for while the old exchange is out.
void Run::addAnswered(const Exchange &x, int32_t code,
                      const std::vector<MappingKeeper::Held> &before) {
    generation += code == 0;
    std::vector<MappingKeeper::Held> all = k.held(), old = before;
    const MappingKeeper::Held *was = find(keyOf(x), old);
    if (code == 0 || !was || (was->way != MappingWay::Upnp && was->expiresAtMs <= now))
        return;
    const MappingKeeper::Held *h = find(keyOf(x), all);
    require(h && std::tie(h->externalPort, h->internalPort, h->nonce, h->clientAddress, h->removing,
                          h->granted, h->expiresAtMs) ==
                     std::tie(was->externalPort, was->internalPort, was->nonce, was->clientAddress,
                              was->removing, was->granted, was->expiresAtMs));
}

// After an outcome: a new grant, or a failed renewal within the shortest gap of the expiry,
// may leave the next try at the expiry itself.
void Run::reported(const Exchange &x, const ExchangeResult &r,
                   const std::vector<MappingKeeper::Held> &before) {
    std::vector<MappingKeeper::Held> all = k.held(), old = before;
    const MappingKeeper::Held *h = find(keyOf(x), all);
    const MappingKeeper::Held *was = find(keyOf(x), old);
    if (!h || h->way == MappingWay::Upnp)
        return;
    const bool fresh = !was || was->expiresAtMs != h->expiresAtMs;
    if (fresh && r.lifetime == 1)
        looseExpiry[keyOf(x)] = h->expiresAtMs;
    if (!fresh && h->expiresAtMs <= now + kShortestRetryGapMs)
        looseExpiry[keyOf(x)] = h->expiresAtMs;
}

// A kept mapping is due again within its lifetime (a failed renewal's try may fall less
// than the shortest gap past it), within a minute when lapsed or failing, and a UPnP one that
// stands within the check interval; a lifetime never counts for more than a day.
void Run::checkTiming(const MappingKeeper::Held &h) {
    if (h.removing || h.inFlight)
        return;
    if (portControl(h.way) && h.granted) {
        require(h.expiresAtMs <= now + uint64_t{kLongestLifetimeSeconds} * 1000);
        require(h.dueAtMs < h.expiresAtMs + kShortestRetryGapMs);
    } else if (h.way == MappingWay::Upnp && h.granted) {
        require(h.dueAtMs <= now + kUpnpCheckEveryMs);
    } else {
        require(h.dueAtMs <= now + kLapsedRetryMaxMs);
    }
}

void Run::check() {
    const std::vector<MappingKeeper::Held> all = k.held();
    const uint64_t wake = k.nextWakeMs(now);
    require(wake >= now && wake <= now + kKeeperLongestWaitMs);
    std::set<Key> keys;
    for (const auto &h : all) {
        require(keys.insert(keyOf(h)).second && h.way == k.way());
        checkTiming(h);
        bool out = false;
        for (const Pending &p : keeperOut)
            out = out || (p.x.job != ExchangeJob::Epoch && keyOf(p.x) == keyOf(h));
        // Only an exchange not yet reported keeps a mapping in flight, and one that is not
        // sees its due time woken for.
        require(out || !h.inFlight);
        if (!h.inFlight)
            require(wake <= std::max(now, h.dueAtMs));
        if (h.way == MappingWay::Upnp || !h.granted || h.removing || out || now >= h.expiresAtMs)
            continue;
        const auto loose = looseExpiry.find(keyOf(h));
        const bool atExpiryAllowed = loose != looseExpiry.end() && loose->second == h.expiresAtMs;
        require(atExpiryAllowed ? wake <= h.expiresAtMs : wake < h.expiresAtMs);
    }
    // Epochs: due kEpochCheckEveryMs after the last one went, after mappings came to be kept
    // there, or after a new gateway (a PCP server found to speak NAT-PMP is not one).
    const std::tuple<bool, MappingWay, uint32_t> gateway{k.hasGateway(), k.way(),
                                                         k.gatewayAddress()};
    const bool sameServer = std::get<1>(gatewaySeen) == MappingWay::Pcp &&
                            std::get<1>(gateway) == MappingWay::NatPmp &&
                            std::get<2>(gatewaySeen) == std::get<2>(gateway);
    const bool kept = keeps();
    if ((kept && !keptPortControl) || (gateway != gatewaySeen && !sameServer))
        epochLatest = now + kEpochCheckEveryMs;
    keptPortControl = kept;
    gatewaySeen = gateway;
    bool epochOut = false;
    for (const Pending &p : keeperOut)
        epochOut = epochOut || p.x.job == ExchangeJob::Epoch;
    if (kept && !epochOut)
        require(wake <= std::max(now, epochLatest));
}

void Run::step(Bytes &in) {
    const uint8_t op = in.take();
    const uint8_t a = in.take();
    const uint8_t transport = a & 1 ? kProtocolUdp : kProtocolTcp;
    const uint16_t internal = static_cast<uint16_t>((a >> 1) % 3 + 1);
    const uint16_t external = static_cast<uint16_t>((a >> 3) % 4 + 1);
    switch (op % 11) {
    case 0:
        now += uint64_t{a} * 100;
        break;
    case 1:
        now = k.nextWakeMs(now) + a % 3;
        break;
    case 2: {
        noncesLeft = (a >> 5) != 7;
        const uint32_t local = k.localAddress();
        const CallPlan p = k.beginAdd(now, transport, internal, external, kAddresses[a >> 6]);
        generation += k.localAddress() != local;
        if (p.refusal == 0) {
            require(p.exchange.job == ExchangeJob::Map && p.exchange.externalPort == external &&
                    p.exchange.clientAddress == k.localAddress());
            adds.push_back({p.exchange, generation});
        }
        break;
    }
    case 3: {
        const CallPlan p = k.beginRemove(now, transport, external);
        if (p.refusal == 0)
            removes.push_back({p.exchange, generation});
        break;
    }
    case 4: {
        Exchange x;
        if (keeperOut.size() < 3 && k.nextExchange(now, x)) {
            handOut(x);
        }
        break;
    }
    case 5:
    case 6:
    case 7: {
        std::vector<Pending> &list = op % 11 == 5 ? keeperOut : op % 11 == 6 ? adds : removes;
        if (!list.empty())
            report(in, list, a % list.size(), op % 11 - 5 + (a & 0x80 ? 3 : 0));
        break;
    }
    case 8:
        k.portControlAnnouncement(now, kGateways[a & 1], a & 2 ? 5350 : kPortControlPort,
                                  in.take());
        break;
    case 9:
        k.ssdpNotice(now, kGateways[a & 1], a & 2 ? SsdpNoticeKind::ByeBye : SsdpNoticeKind::Alive,
                     a & 4, a >> 6);
        break;
    default:
        if (a & 1) {
            const uint32_t local = k.localAddress();
            k.localAddressSeen(now, kAddresses[(a >> 1) % 3]);
            generation += k.localAddress() != local;
        } else {
            k.setGateway(now, static_cast<MappingWay>((a >> 1) % 3), kGateways[(a >> 3) & 1]);
            ++generation;
        }
        break;
    }
}

// Reports the outcome of list[index]: kind 0 (or 3) a keeper's exchange, 1 an add, 4 an add
// whose clean-up delete is handed to it, 2 (or 5) a remove.
void Run::report(Bytes &in, std::vector<Pending> &list, size_t index, int kind) {
    const Pending p = list[index];
    list.erase(list.begin() + static_cast<std::ptrdiff_t>(index));
    const ExchangeResult r = outcome(in, p.x);
    const std::vector<MappingKeeper::Held> before = k.held();
    if (kind % 3 == 0) {
        k.finish(now, p.x, r);
    } else if (kind % 3 == 1) {
        Exchange cleanUp;
        cleanUp.ticket = 12345; // must be overwritten
        const int32_t code = k.finishAdd(now, p.x, r, kind == 4 ? &cleanUp : nullptr);
        require((code == 0) == (r.outcome == ExchangeOutcome::Granted &&
                                (p.x.way == MappingWay::Upnp ||
                                 (r.lifetime > 0 && r.externalPort == p.x.externalPort))));
        if (r.outcome == ExchangeOutcome::Unanswered && p.x.way == MappingWay::Upnp)
            notes.insert({p.x.transport, p.x.externalPort});
        // A UPnP add's answer replaces a note of its key, whose check may still be out.
        generation += p.x.way == MappingWay::Upnp;
        addAnswered(p.x, code, before);
        if (kind == 4 && cleanUp.ticket != 0) {
            require(code == ERR_OTHER_PORT && cleanUp.job == ExchangeJob::Delete &&
                    cleanUp.externalPort == r.externalPort &&
                    cleanUp.internalPort == p.x.internalPort);
            handOut(cleanUp);
        } else if (kind == 4) {
            require(cleanUp.ticket == 0);
        }
    } else {
        // A remove's Check decides whether its Delete follows: only for this host's entry, or
        // a gateway that knows no such action.
        Exchange next;
        const int32_t code = k.finishRemove(now, p.x, r, &next);
        if (p.x.job == ExchangeJob::Check) {
            const bool ours = r.outcome == ExchangeOutcome::Granted ||
                              r.outcome == ExchangeOutcome::Unsupported;
            require(p.x.way == MappingWay::Upnp && p.x.internalPort == 0);
            require(next.ticket == 0 || (ours && code == 0 && next.job == ExchangeJob::Delete &&
                                         next.transport == p.x.transport &&
                                         next.externalPort == p.x.externalPort));
            require(next.ticket != 0 || code != 0);
        } else {
            require(next.ticket == 0 && (code == 0) == (r.outcome == ExchangeOutcome::Granted));
        }
        if (next.ticket != 0)
            list.push_back({next, generation});
        // Unanswered, what the table held under the key becomes a note, checked later.
        if (p.x.job == ExchangeJob::Check && r.outcome == ExchangeOutcome::Unanswered)
            notes.insert({p.x.transport, p.x.externalPort});
    }
    reported(p.x, r, before);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    Bytes in{data, size};
    Run run;
    for (int steps = 0; in.size > 0 && steps < 2000; ++steps) {
        run.step(in);
        run.check();
    }
    // Every exchange still out is reported, in the order the remaining bytes pick (then
    // unanswered): afterwards nothing may stay in flight.
    for (std::vector<Pending> *list : {&run.adds, &run.removes, &run.keeperOut}) {
        while (!list->empty()) {
            const int kind = list == &run.keeperOut ? 0 : list == &run.adds ? 4 : 2;
            run.report(in, *list, in.take() % list->size(), kind);
            run.check();
        }
    }
    for (const auto &h : run.k.held())
        require(!h.inFlight);
    // The application removes everything and the gateway grants whatever is asked: every
    // stray, note and delete still owed must then go out and settle, so the keeper empties.
    MappingKeeper &k = run.k;
    for (int left = 50; left > 0 && !k.held().empty(); --left) {
        const MappingKeeper::Held h = k.held()[0];
        // Refused only for one whose lifetime ran out: beginRemove's look drops it.
        const CallPlan p = k.beginRemove(run.now, h.transport, h.externalPort);
        Exchange next;
        if (p.refusal == 0)
            k.finishRemove(run.now, p.exchange, ExchangeResult{ExchangeOutcome::Granted}, &next);
        if (next.ticket != 0)
            k.finishRemove(run.now, next, ExchangeResult{ExchangeOutcome::Granted});
    }
    Exchange x;
    for (int wakes = 0; wakes < 20 && !k.empty(); ++wakes) {
        run.now = k.nextWakeMs(run.now);
        while (k.nextExchange(run.now, x)) {
            ExchangeResult granted{ExchangeOutcome::Granted};
            granted.externalPort = x.externalPort;
            granted.lifetime = kMappingLifetime;
            k.finish(run.now, x, granted);
        }
    }
    require(k.empty());
    return 0;
}
