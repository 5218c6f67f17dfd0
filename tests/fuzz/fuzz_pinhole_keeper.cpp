// The pinhole keeper driven by a sequence of events over three ports and three addresses:
// time steps, wants and unwants, outcomes of whatever was handed out, changes of the ways
// and of the addresses, gateway restarts.  After every step the table and the timing must
// keep their promises.
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
    uint64_t now = 1000000;
    uint8_t drawn = 0;
    bool noncesLeft = true;
    PinholeKeeper k{[this](MappingNonce &n) { // a new first byte each time one is drawn
        n = MappingNonce{++drawn};
        return noncesLeft;
    }};
    std::vector<PinholeWay> ways;
    std::vector<Ipv6Address> addresses;
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
    void take();
    void handedOut(const PinholeExchange &x);
    void finishOne(Bytes &in, size_t which);
    void step(Bytes &in);
    void check();
};

void Run::take() {
    PinholeExchange x;
    if (!k.nextExchange(now, x))
        return;
    handedOut(x);
    out.push_back({x, false});
}

// Only what is held and wanted is asked for (a pinhole not wanted only by a Close of an open
// one), through a listed way while there is one, from a current address, by its own nonce
// or its granted id.
void Run::handedOut(const PinholeExchange &x) {
    require(x.ticket != 0 && !ways.empty());
    require(std::find(addresses.begin(), addresses.end(), x.address) != addresses.end());
    const std::vector<PinholeKeeper::Held> all = k.held();
    const PinholeKeeper::Held *h = find(keyOf(x), all);
    require(h && h->way == x.way && !(h->closing && wanted.count({x.transport, x.port})));
    require(h->closing == (x.job == PinholeJob::Close) && (!h->closing || h->open));
    require(h->closing || wanted.count({x.transport, x.port}));
    require(x.job == PinholeJob::Open || h->open);
    require(h->open || std::find(ways.begin(), ways.end(), x.way) != ways.end());
    for (const Out &o : out)
        require(o.stale || keyOf(o.x) != keyOf(x));
    if (x.way == PinholeWay::Pcp) {
        const auto kept = nonces.emplace(keyOf(x), x.nonce).first;
        require(kept->second == x.nonce && x.nonce == h->nonce);
    } else if (x.job != PinholeJob::Open) {
        require(grantedIds[keyOf(x)].count(x.uniqueId) && x.uniqueId == h->uniqueId);
    }
}

void Run::finishOne(Bytes &in, size_t which) {
    const auto [x, stale] = out[which];
    out.erase(out.begin() + which);
    const uint8_t b = in.take();
    PinholeResult r;
    r.outcome = static_cast<ExchangeOutcome>(b % 3);
    r.retryLater = b & 4;
    r.lifetime = kLifetimes[(b >> 3) % 6];
    r.uniqueId = ++lastId;
    if (x.way == PinholeWay::Upnp && x.job == PinholeJob::Open &&
        r.outcome == ExchangeOutcome::Granted)
        grantedIds[keyOf(x)].insert(r.uniqueId);
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
    require(k.empty() == (wanted.empty() && all.empty()));
    for (const Port &w : wanted) // every wanted port has a pinhole for each address
        for (const Ipv6Address &address : addresses)
            require(find({std::get<0>(w), std::get<1>(w), address}, all));
    for (const auto &h : all) {
        require(find(keyOf(h), all) == &h); // held once
        require(std::find(addresses.begin(), addresses.end(), h.address) != addresses.end());
        require(h.closing != (wanted.count({h.transport, h.port}) == 1));
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
}

void Run::step(Bytes &in) {
    const uint8_t op = in.take();
    const uint8_t a = in.take();
    const Port port{a & 1 ? kProtocolUdp : kProtocolTcp, static_cast<uint16_t>((a >> 1) % 3 + 1)};
    switch (op % 10) {
    case 0: // time passes: a while, or until the wake (maybe a little after)
        now = a & 1 ? k.nextWakeMs(now) + a / 2 % 3 : now + uint64_t{a} * 50;
        break;
    case 1:
        k.gatewayRestarted(now);
        break;
    case 2:
        noncesLeft = (a >> 5) != 7;
        k.want(now, std::get<0>(port), std::get<1>(port));
        wanted.insert(port);
        break;
    case 3:
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
        k.setWays(now, ways);
        break;
    case 7:
        addresses.clear();
        for (int i = 0; i < 3; ++i)
            if (a >> i & 1)
                addresses.push_back(kAddresses[(i + (a >> 3)) % 3]);
        k.setAddresses(now, addresses);
        break;
    default: { // the same network again changes nothing
        const auto before = k.held();
        const uint64_t wake = k.nextWakeMs(now);
        k.setWays(now, ways);
        k.setAddresses(now, addresses);
        const auto after = k.held();
        require(k.nextWakeMs(now) == wake && after.size() == before.size());
        for (size_t i = 0; i < after.size(); ++i)
            require(keyOf(after[i]) == keyOf(before[i]) && after[i].open == before[i].open &&
                    after[i].way == before[i].way);
        break;
    }
    }
}

} // namespace

// At most 2000 steps, each followed by the checks.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    Run run;
    for (Bytes in{data, std::min<size_t>(size, 4000)}; in.size > 0; run.check())
        run.step(in);
    return 0;
}
