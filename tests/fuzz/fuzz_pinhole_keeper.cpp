// The pinhole keeper driven by a sequence of events over three ports and three addresses:
// time steps, wants and unwants, outcomes of whatever was handed out, Closes taken by a
// remove, changes of the ways and of the addresses (deprecations, empty views of any length),
// gateway restarts.  After every step the table and the timing must keep their promises; at
// the end, with every port unwanted, the keeper must run empty.
#include "fuzz_input.h"
#include "pinhole_keeper.h"

#include <algorithm>
#include <map>
#include <set>
#include <tuple>
#include <vector>

using fuzzing::require;
using namespace portlink;

namespace {

const Ipv6Address kAddresses[] = {{0x20, 1, 0xd, 0xb8, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1},
                                  {0x20, 1, 0xd, 0xb8, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 2},
                                  {0x20, 1, 0xd, 0xb8, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 3}};
const uint32_t kLifetimes[] = {0, 1, 2, 3, 60, 3600};
const std::vector<PinholeWay> kWays[] = {{},
                                         {PinholeWay::Upnp},
                                         {PinholeWay::Pcp},
                                         {PinholeWay::Upnp, PinholeWay::Pcp},
                                         {PinholeWay::Pcp, PinholeWay::Upnp}};

struct Bytes {
    const uint8_t *data;
    size_t size;
    uint8_t take() { return size > 0 ? (--size, *data++) : 0; }
};

using Port = std::tuple<uint8_t, uint16_t>;
using Key = std::tuple<uint8_t, uint16_t, Ipv6Address>;
template <typename T> Key keyOf(const T &x) {
    return {x.transport, x.port, x.address};
}

struct Run {
    struct Known { // an address the keeper should hold pinholes for
        bool preferred;
        bool missing;
        uint64_t since; // while missing
    };
    struct Parting { // a pinhole of an address gone for good, owed at most one Close
        Key key;
        PinholeWay way; // an open one's, or that of the exchange awaited
        MappingNonce nonce;
    };
    struct Ident {
        MappingNonce nonce;
        uint16_t uniqueId;
    };
    uint64_t now = 1000000;
    uint8_t drawn = 0;
    bool noncesLeft = true;
    PinholeKeeper k{[this](MappingNonce &n) { // a new first byte each time one is drawn
        n = MappingNonce{++drawn};
        return noncesLeft;
    }};
    std::vector<PinholeWay> ways;
    std::vector<PinholeAddress> view, savedView;
    std::map<Ipv6Address, Known> known;
    std::vector<Parting> parting;
    std::map<Key, Ident> idents; // of each pinhole held at the last check
    std::set<Key> justGranted;   // pinholes whose exchange was granted in this step
    std::set<Port> wanted;
    struct Out {
        PinholeExchange x;
        bool stale; // its pinhole left the table since: the answer must change nothing
    };
    std::vector<Out> out;
    uint16_t lastId = 0;
    std::map<Key, std::set<uint16_t>> grantedIds; // UPnP ids granted to each pinhole's Opens
    std::map<Key, MappingNonce> nonces;           // PCP: the nonce each held pinhole went with
    std::map<Key, uint64_t> looseExpiry;          // a due time at the expiry is allowed there

    const PinholeKeeper::Held *find(const Key &key, const std::vector<PinholeKeeper::Held> &all) {
        for (const auto &h : all)
            if (keyOf(h) == key)
                return &h;
        return nullptr;
    }
    void beforeCall();
    void settle();
    void setView(const std::vector<PinholeAddress> &next);
    bool takeParting(const PinholeExchange &x);
    void take();
    void takeCloses(uint8_t a);
    void handedOut(const PinholeExchange &x);
    void finishOne(Bytes &in, size_t which);
    void step(Bytes &in);
    void check();
    void drain();
};

// The keeper brings time up to date at each call: an address missing for a minute is gone,
// and each of its pinholes that is open, or whose answer is awaited, is owed one Close.
void Run::beforeCall() {
    for (auto it = known.begin(); it != known.end();) {
        if (!it->second.missing || now - it->second.since < kAddressGoneAfterMs) {
            ++it;
            continue;
        }
        for (const auto &h : k.held()) {
            if (h.address != it->first)
                continue;
            const Out *awaited = nullptr;
            for (Out &o : out) {
                awaited = !o.stale && keyOf(o.x) == keyOf(h) ? &o : awaited;
                o.stale = o.stale || keyOf(o.x) == keyOf(h);
            }
            if (awaited)
                parting.push_back({keyOf(h), awaited->x.way, h.nonce});
            else if (h.open && h.expiresAtMs > now)
                parting.push_back({keyOf(h), h.way, h.nonce});
            idents.erase(keyOf(h));
            nonces.erase(keyOf(h));
        }
        it = known.erase(it);
    }
}

// A call that changes nothing but what time alone changes, made before any other call, so
// that a pinhole that leaves the table at this time is not taken for a new one of its key.
void Run::settle() {
    beforeCall();
    k.setWays(now, ways);
    const std::vector<PinholeKeeper::Held> all = k.held();
    for (auto it = idents.begin(); it != idents.end();)
        it = find(it->first, all) ? std::next(it) : idents.erase(it);
    for (auto it = nonces.begin(); it != nonces.end();)
        it = find(it->first, all) ? std::next(it) : nonces.erase(it);
    for (Out &o : out)
        o.stale = o.stale || !find(keyOf(o.x), all);
}

// A new view: nothing held changes but for a deprecated address, whose pinholes the gateway
// lost at a restart are no longer open.
void Run::setView(const std::vector<PinholeAddress> &next) {
    settle();
    const auto before = k.held();
    view = next;
    for (auto &entry : known) {
        Known &state = entry.second;
        const auto seen = std::find_if(view.begin(), view.end(), [&](const PinholeAddress &v) {
            return v.address == entry.first;
        });
        state.since = seen == view.end() && !state.missing ? now : state.since;
        state.missing = seen == view.end();
        state.preferred = seen == view.end() ? state.preferred : seen->preferred;
    }
    for (const PinholeAddress &v : view)
        known.emplace(v.address, Known{v.preferred, false, 0});
    k.setAddresses(now, view);
    const auto after = k.held();
    for (const auto &b : before) {
        const PinholeKeeper::Held *h = find(keyOf(b), after);
        require(h && h->nonce == b.nonce && h->way == b.way && h->closing == b.closing);
        if (known.at(b.address).preferred || !b.open)
            require(std::tie(h->open, h->uniqueId, h->expiresAtMs) ==
                    std::tie(b.open, b.uniqueId, b.expiresAtMs));
    }
}

// A Close not of what is held under its key: of a pinhole whose address is gone, once.
bool Run::takeParting(const PinholeExchange &x) {
    for (auto it = parting.begin(); it != parting.end(); ++it) {
        if (it->key != keyOf(x) || it->way != x.way)
            continue;
        if (x.way == PinholeWay::Pcp ? x.nonce != it->nonce
                                     : !grantedIds[keyOf(x)].count(x.uniqueId))
            continue;
        parting.erase(it);
        return true;
    }
    return false;
}

void Run::take() {
    PinholeExchange x;
    settle();
    if (!k.nextExchange(now, x))
        return;
    handedOut(x);
}

// The remove hands out the Closes of its port itself: only Closes, each once.
void Run::takeCloses(uint8_t a) {
    const Port port{a & 1 ? kProtocolUdp : kProtocolTcp, static_cast<uint16_t>((a >> 1) % 3 + 1)};
    settle();
    if (a & 0x80) {
        k.unwant(now, std::get<0>(port), std::get<1>(port));
        wanted.erase(port);
    }
    for (const PinholeExchange &x : k.takeCloses(now, std::get<0>(port), std::get<1>(port))) {
        require(x.job == PinholeJob::Close && Port{x.transport, x.port} == port);
        handedOut(x);
    }
}

// Only what is held and wanted is asked for (a pinhole not wanted only by a Close of an open
// one, a pinhole of a gone address only by one Close), through a listed way while there is
// one, from a kept address (a preferred one for an Open), by its own nonce or its granted
// id, and never while an exchange for it is out.
void Run::handedOut(const PinholeExchange &x) {
    require(x.ticket != 0 && !ways.empty());
    for (const Out &o : out)
        require(o.x.ticket != x.ticket);
    const std::vector<PinholeKeeper::Held> all = k.held();
    const PinholeKeeper::Held *h = find(keyOf(x), all);
    bool ownClose = h && h->closing && h->open && x.job == PinholeJob::Close &&
                    (x.way == PinholeWay::Pcp ? x.nonce == h->nonce : x.uniqueId == h->uniqueId);
    for (const Out &o : out)
        ownClose = ownClose && (o.stale || keyOf(o.x) != keyOf(x));
    if (x.job == PinholeJob::Close && !ownClose && takeParting(x)) {
        out.push_back({x, true});
        return;
    }
    out.push_back({x, false});
    require(known.count(x.address) && (x.job != PinholeJob::Open || known[x.address].preferred));
    require(h && h->way == x.way && !(h->closing && wanted.count({x.transport, x.port})));
    require(h->closing == (x.job == PinholeJob::Close) && (!h->closing || h->open));
    require(h->closing || wanted.count({x.transport, x.port}));
    require(x.job == PinholeJob::Open || h->open);
    require(h->open || std::find(ways.begin(), ways.end(), x.way) != ways.end());
    for (const Out &o : out)
        require(o.stale || o.x.ticket == x.ticket || keyOf(o.x) != keyOf(x));
    if (x.way == PinholeWay::Pcp) {
        const auto kept = nonces.emplace(keyOf(x), x.nonce).first;
        require(kept->second == x.nonce && x.nonce == h->nonce);
    } else if (x.job != PinholeJob::Open) {
        require(grantedIds[keyOf(x)].count(x.uniqueId) && x.uniqueId == h->uniqueId);
    }
}

void Run::finishOne(Bytes &in, size_t which) {
    settle();
    const auto [x, stale] = out[which];
    out.erase(out.begin() + which);
    const uint8_t b = in.take();
    PinholeResult r;
    r.outcome = static_cast<ExchangeOutcome>(b % 3);
    r.retryLater = b & 4;
    r.lifetime = kLifetimes[(b >> 3) % 6];
    r.uniqueId = ++lastId;
    if (x.job == PinholeJob::Open && r.outcome == ExchangeOutcome::Granted)
        grantedIds[keyOf(x)].insert(r.uniqueId);
    if (r.outcome == ExchangeOutcome::Granted)
        justGranted.insert(keyOf(x));
    const std::vector<PinholeKeeper::Held> before = k.held();
    k.finish(now, x, r);
    // A new grant of 1 s, or a failed renewal within the shortest gap of the expiry, may
    // leave the next try at the expiry itself.
    const std::vector<PinholeKeeper::Held> after = k.held();
    const PinholeKeeper::Held *h = find(keyOf(x), after), *was = find(keyOf(x), before);
    // What is held under its key now is another pinhole, which only the lapse at its
    // expiry may have changed.
    if (stale && (!was || !was->open || was->expiresAtMs > now))
        require(!h == !was &&
                (!h || std::tie(h->open, h->closing, h->way, h->expiresAtMs) ==
                           std::tie(was->open, was->closing, was->way, was->expiresAtMs)));
    if (stale || !h || !h->open)
        return;
    const bool granted = !was || was->expiresAtMs != h->expiresAtMs;
    if (granted ? r.lifetime == 1 : h->expiresAtMs - now <= kShortestRetryGapMs)
        looseExpiry[keyOf(x)] = h->expiresAtMs;
}

void Run::check() {
    const uint64_t wake = k.nextWakeMs(now);
    require(now <= wake && wake - now <= kKeeperLongestWaitMs);
    const std::vector<PinholeKeeper::Held> all = k.held();
    // Empty when nothing is wanted or held, but for pinholes of a gone address owed a Close.
    require(k.empty() == (wanted.empty() && all.empty()) ||
            (!k.empty() && (!parting.empty() || !out.empty())));
    for (const Port &w : wanted) // every wanted port has a pinhole for each kept address
        for (const auto &kept : known)
            require(find({std::get<0>(w), std::get<1>(w), kept.first}, all));
    for (const auto &h : all) {
        require(find(keyOf(h), all) == &h); // held once
        require(known.count(h.address));
        require(h.closing != (wanted.count({h.transport, h.port}) == 1));
        // Its nonce, once drawn, stays; its id changes only to none, or to one granted to
        // it, by a grant.
        const auto was = idents.find(keyOf(h));
        if (was != idents.end()) {
            require(was->second.nonce == MappingNonce{} || was->second.nonce == h.nonce);
            require(h.uniqueId == was->second.uniqueId || h.uniqueId == 0 ||
                    (justGranted.count(keyOf(h)) && grantedIds[keyOf(h)].count(h.uniqueId)));
        }
        idents[keyOf(h)] = {h.nonce, h.uniqueId};
        bool busy = ways.empty() || !h.open || h.closing || now >= h.expiresAtMs;
        for (const Out &o : out)
            busy = busy || (!o.stale && keyOf(o.x) == keyOf(h));
        if (busy)
            continue;
        const auto loose = looseExpiry.find(keyOf(h));
        require(loose != looseExpiry.end() && loose->second == h.expiresAtMs
                    ? wake <= h.expiresAtMs
                    : wake < h.expiresAtMs);
    }
    for (Out &o : out)
        o.stale = o.stale || !find(keyOf(o.x), all);
    for (auto it = nonces.begin(); it != nonces.end();) // a pinhole gone is a new one after
        it = find(it->first, all) ? std::next(it) : nonces.erase(it);
    for (auto it = idents.begin(); it != idents.end();)
        it = find(it->first, all) ? std::next(it) : idents.erase(it);
    justGranted.clear();
}

void Run::step(Bytes &in) {
    const uint8_t op = in.take();
    const uint8_t a = in.take();
    const Port port{a & 1 ? kProtocolUdp : kProtocolTcp, static_cast<uint16_t>((a >> 1) % 3 + 1)};
    switch (op % 12) {
    case 0: // time passes: a while, or until the wake (maybe a little after)
        now = a & 1 ? k.nextWakeMs(now) + a / 2 % 3 : now + uint64_t{a} * 50;
        break;
    case 1:
        settle();
        k.gatewayRestarted(now);
        break;
    case 2:
        noncesLeft = (a >> 5) != 7;
        settle();
        k.want(now, std::get<0>(port), std::get<1>(port));
        wanted.insert(port);
        break;
    case 3:
        settle();
        k.unwant(now, std::get<0>(port), std::get<1>(port));
        wanted.erase(port);
        break;
    case 4:
        if (out.size() < 2) // at most two out at once, to answer in either order
            take();
        break;
    case 5:
        if (!out.empty())
            finishOne(in, a % out.size());
        break;
    case 6:
        ways = kWays[a % 5];
        settle();
        k.setWays(now, ways);
        break;
    case 7: { // a new view; a bit of the next byte marks an address deprecated
        const uint8_t deprecated = in.take();
        std::vector<PinholeAddress> next;
        for (int i = 0; i < 3; ++i)
            if (a >> i & 1)
                next.push_back({kAddresses[(i + (a >> 3)) % 3], !(deprecated >> i & 1)});
        setView(next);
        break;
    }
    case 8: // an empty view: left so, or back after up to two minutes
        if (!view.empty())
            savedView = view;
        setView({});
        if (a & 1) {
            now += uint64_t{a} / 2 * 1000;
            setView(savedView);
        }
        break;
    case 9:
        setView(savedView);
        break;
    case 10:
        takeCloses(a);
        break;
    default: { // the same network again changes nothing
        settle();
        const auto before = k.held();
        const uint64_t wake = k.nextWakeMs(now);
        k.setWays(now, ways);
        k.setAddresses(now, view);
        const auto after = k.held();
        require(k.nextWakeMs(now) == wake && after.size() == before.size());
        for (size_t i = 0; i < after.size(); ++i)
            require(keyOf(after[i]) == keyOf(before[i]) && after[i].open == before[i].open &&
                    after[i].way == before[i].way);
        break;
    }
    }
}

// Every answer comes, every port is unwanted, and a way is offered: each pinhole is closed
// or lapses, so the keeper runs empty within its longest lifetime.
void Run::drain() {
    const auto refuse = [this](const PinholeExchange &x) {
        PinholeResult r;
        r.outcome = ExchangeOutcome::Refused;
        r.retryLater = false;
        settle();
        k.finish(now, x, r);
    };
    for (const Out &o : out)
        refuse(o.x);
    out.clear();
    for (const Port &w : std::set<Port>(wanted)) {
        settle();
        k.unwant(now, std::get<0>(w), std::get<1>(w));
        wanted.erase(w);
    }
    ways = kWays[3];
    settle();
    for (int i = 0; i < 10000 && !k.empty(); ++i) {
        PinholeExchange x;
        settle();
        if (k.nextExchange(now, x)) {
            handedOut(x);
            out.clear();
            refuse(x);
        } else {
            now = std::max(k.nextWakeMs(now), now + 1);
        }
    }
    require(k.empty());
}

} // namespace

// At most 2000 steps, each followed by the checks.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    Run run;
    for (Bytes in{data, std::min<size_t>(size, 4000)}; in.size > 0; run.check())
        run.step(in);
    run.drain();
    return 0;
}
