// The service core driven through everything that reaches it: application adds and removes
// with their outcomes, the keeper thread's jobs answered in any order, notices from the
// gateway and from other devices, network and IPv6 views (blips among them), gateway
// changes, contexts and finalizers, and clock steps.  After every step the core must keep its
// promises: nothing stays in flight once reported, pinholes are wanted exactly while a kept
// mapping names their port, nothing goes to the keeper thread after the finalizer, and the
// next wake is never more than a minute away; second mappings exist only behind another NAT,
// follow the kept mappings, name the gateway's external address and go only to the router
// found beyond it, and no more than twelve datagrams a minute go there to find it.
#include "fuzz_input.h"
#include "private_address.h"
#include "result_codes.h"
#include "service_core.h"

#include <algorithm>
#include <cstdio>
#include <vector>

using namespace portlink;

namespace {

const uint32_t kGateways[] = {0x014da8c0, 0x0101a8c0};   // 192.168.77.1, 192.168.1.1
const uint32_t kHosts[] = {0x144da8c0, 0x154da8c0, 0};    // .20, .21, none
const uint16_t kPorts[] = {80, 81, 8080, 8081};
const wchar_t *const kUuids[] = {L"root", L"wan", L"media", L""};
// External addresses and probe answers: private, shared, public, the gateway, none.
const uint32_t kBeyond[] = {0x0201a8c0, 0x01004064, 0x4d040808, 0x014da8c0, 0};

// A promise of the core that must hold; the text says which.
void expect(bool holds, const char *promise) {
    if (!holds)
        std::fprintf(stderr, "broken promise: %s\n", promise);
    fuzzing::require(holds);
}

struct Bytes {
    const uint8_t *data;
    size_t size;
    uint8_t take() { return size > 0 ? (--size, *data++) : 0; }
};

Ipv6Address address6(uint8_t last) {
    Ipv6Address a = {0x20, 0x01, 0x0d, 0xb8, 0, 0x77};
    a[15] = last;
    return a;
}

struct Run {
    uint64_t now = 1000000;
    uint8_t drawn = 0;
    ServiceCore core{[this](MappingNonce &n) {
        n.fill(++drawn);
        return true;
    }};
    std::vector<KeeperJob> pending; // the keeper thread's jobs not yet answered

    ExchangeResult outcome(Bytes &in, const Exchange &x) {
        const uint8_t b = in.take();
        ExchangeResult r;
        r.outcome = static_cast<ExchangeOutcome>(b % 4);
        r.code = r.outcome == ExchangeOutcome::Granted ? 0 : ERR_NO_RESPONSE;
        r.externalPort = b & 0x10 ? kPorts[b % 4] : x.externalPort;
        const uint32_t lifetimes[] = {0, 2, 600, 100000};
        r.lifetime = lifetimes[(b >> 2) % 4];
        r.hasEpoch = (b & 0x20) != 0;
        r.epoch = in.take();
        r.externalAddress = b & 0x40 ? kBeyond[r.epoch % 5] : 0;
        return r;
    }
    UpstreamAnswer stepOutcome(Bytes &in) {
        const uint8_t b = in.take();
        UpstreamAnswer a;
        a.answered = (b & 1) != 0;
        a.address = kBeyond[(b >> 1) % 5];
        a.way = static_cast<MappingWay>((b >> 4) % 3);
        return a;
    }
    PinholeResult holeOutcome(Bytes &in) {
        const uint8_t b = in.take();
        PinholeResult r;
        r.outcome = static_cast<ExchangeOutcome>(b % 3);
        r.retryLater = (b & 4) != 0;
        r.uniqueId = b;
        r.lifetime = b & 8 ? 3600 : 4;
        return r;
    }
    void answer(Bytes &in, const KeeperJob &job) {
        if (job.pinhole)
            core.finishPinhole(now, job.hole, holeOutcome(in));
        else if (job.learn)
            core.finishStep(now, job.step, stepOutcome(in));
        else if (job.upstream)
            core.finishUpstream(now, job.mapping, outcome(in, job.mapping));
        else
            core.finishMapping(now, job.mapping, outcome(in, job.mapping), (in.take() & 7) == 0);
    }
    Ipv6Facts facts(uint8_t b) const {
        Ipv6Facts f;
        f.readable = (b & 1) != 0;
        f.ifIndex = 3 + ((b >> 1) & 1);
        for (uint8_t i = 0; i < ((b >> 2) & 3); ++i) {
            HostIpv6Address h;
            h.adapterIndex = f.ifIndex;
            h.address = address6(static_cast<uint8_t>(0x20 + i));
            h.suffixOrigin = SuffixOrigin::LinkLayerAddress;
            h.dadState = (b & 0x10) && i == 0 ? DadState::Deprecated : DadState::Preferred;
            h.preferredLifetime = h.dadState == DadState::Preferred ? 600 : 0;
            h.validLifetime = 1200;
            f.addresses.push_back(h);
        }
        f.hasRouter = (b & 0x20) != 0;
        f.router = address6(1);
        return f;
    }
    void step(Bytes &in);
    void check();
};

void Run::step(Bytes &in) {
    const uint8_t op = in.take();
    const uint8_t arg = in.take();
    const uint8_t transport = arg & 1 ? kProtocolTcp : kProtocolUdp;
    switch (op % 11) {
    case 0: // time passes: up to about two minutes
        now += uint64_t{arg} * 500;
        break;
    case 1: { // the application adds
        const CallPlan plan =
            core.beginAdd(now, transport, kPorts[(arg >> 1) % 4], kPorts[(arg >> 3) % 4],
                          kHosts[(arg >> 5) % 3]);
        if (plan.refusal != 0)
            break;
        now += in.take() * 10u;
        const AddOutcome out = core.finishAdd(now, plan.exchange, outcome(in, plan.exchange),
                                              (in.take() & 7) == 0);
        if (out.cleanUp) {
            expect(out.cleanUpExchange.job == ExchangeJob::Delete, "a clean-up is a delete");
            core.finishMapping(now, out.cleanUpExchange, outcome(in, out.cleanUpExchange), false);
        }
        break;
    }
    case 2: { // the application removes
        const RemovePlan plan =
            core.beginRemove(now, transport, kPorts[(arg >> 1) % 4], kHosts[(arg >> 3) % 3]);
        if (plan.refusal != 0)
            break;
        expect(plan.exchange.job == ExchangeJob::Delete ||
                   (plan.exchange.job == ExchangeJob::Check && core.way() == MappingWay::Upnp &&
                    plan.exchange.internalPort == 0),
               "a remove sends a delete, or first asks a UPnP gateway about a port not held");
        for (const PinholeExchange &close : plan.closes)
            expect(close.job == PinholeJob::Close, "a remove's pinhole work is closes only");
        now += in.take() * 10u;
        for (const PinholeExchange &close : plan.closes)
            core.finishPinhole(now, close, holeOutcome(in));
        if (plan.upstream.ticket != 0) {
            expect(plan.upstream.job == ExchangeJob::Delete &&
                       plan.upstream.externalPort == kPorts[(arg >> 1) % 4],
                   "a remove takes the second mapping of its own port only");
            core.finishUpstream(now, plan.upstream, outcome(in, plan.upstream));
        }
        RemoveStep removed = core.finishRemove(now, plan.exchange, outcome(in, plan.exchange), false);
        for (int i = 0; removed.more; ++i) {
            expect(i == 0 && plan.exchange.job == ExchangeJob::Check &&
                       removed.next.job == ExchangeJob::Delete,
                   "only a remove's Check is followed by one Delete");
            removed = core.finishRemove(now, removed.next, outcome(in, removed.next), false);
        }
        break;
    }
    case 3: { // the keeper thread takes what is due
        KeeperJob job;
        for (int i = 0; i < (arg % 4) + 1 && core.nextJob(now, job); ++i) {
            expect(!core.finalized(), "nothing goes to the thread after the finalizer");
            const UpstreamFinder &finder = core.upstreamFinder();
            if (job.upstream)
                expect(finder.found() && finder.behindAnotherNat() &&
                           core.upstreamMappings().gatewayAddress() == finder.nextRouter() &&
                           (job.mapping.job == ExchangeJob::Epoch ||
                            job.mapping.job == ExchangeJob::Delete ||
                            job.mapping.clientAddress == finder.externalAddress()),
                       "second mappings go to the router found and name the external address");
            if (job.learn && job.step.step != UpstreamStep::ExternalAddress)
                expect(finder.behindAnotherNat(), "nothing goes beyond a public address");
            if (job.learn && job.step.step == UpstreamStep::SearchNextRouter)
                expect((isPrivateAddress(job.step.address) || isSharedAddress(job.step.address)) &&
                           job.step.address != 0 && job.step.address != core.gatewayAddress(),
                       "only a private or shared next router is searched");
            pending.push_back(job);
        }
        break;
    }
    case 4: // an answer to one of them, in any order
        if (!pending.empty()) {
            const size_t i = arg % pending.size();
            const KeeperJob job = pending[i];
            pending.erase(pending.begin() + static_cast<std::ptrdiff_t>(i));
            answer(in, job);
        }
        break;
    case 5: // a notice from some device at some address
        core.ssdpHeard(now, kGateways[arg & 1], arg & 2 ? SsdpNoticeKind::ByeBye : SsdpNoticeKind::Alive,
                       (arg & 4) != 0, in.take() % 3, kUuids[(arg >> 3) % 4]);
        break;
    case 6:
        core.portControlHeard(now, kGateways[arg & 1], arg & 2 ? kPortControlPort : 5350, in.take());
        break;
    case 7: { // a look at the network
        std::vector<uint32_t> gateways;
        if (arg & 1)
            gateways.push_back(kGateways[(arg >> 1) & 1]);
        const bool search = core.networkSeen(now, gateways, kHosts[(arg >> 2) % 3]);
        expect(!search || !core.finalized(), "no search after the finalizer");
        core.ipv6Seen(now, facts(in.take()));
        if (core.ipv6SearchDue(now))
            core.ipv6Searched(now, (arg & 0x40) != 0, address6(1));
        break;
    }
    case 8: { // a search found a gateway
        GatewayFacts f;
        f.way = static_cast<MappingWay>(arg % 3);
        f.address = kGateways[(arg >> 2) & 1];
        f.hasEpoch = (arg & 8) != 0;
        f.epoch = in.take();
        f.hasBootId = (arg & 16) != 0;
        f.bootId = in.take() % 3;
        f.deviceUuid = L"wan";
        f.deviceUdns = {L"root", L"wan"};
        f.hasFirewall = (arg & 32) != 0;
        f.hostHasIpv6 = (arg & 64) != 0;
        core.gatewayFound(now, f);
        break;
    }
    case 9:
        core.contextOpened(arg % 4);
        break;
    case 10:
        core.finalizerCalled(arg % 4);
        break;
    }
}

void Run::check() {
    expect(core.inFlight() == pending.size(), "nothing stays in flight once reported");
    // Pinholes are wanted exactly while a kept mapping that is not being removed names the port.
    std::vector<ServiceCore::Port> named;
    for (const MappingKeeper::Held &h : core.mappings().held()) {
        const ServiceCore::Port p{h.transport, h.internalPort};
        if (!h.removing && std::find(named.begin(), named.end(), p) == named.end())
            named.push_back(p);
    }
    const std::vector<ServiceCore::Port> &wanted = core.wantedPinholes();
    expect(named.size() == wanted.size(), "wanted pinholes follow the kept mappings");
    for (const ServiceCore::Port &p : named)
        expect(std::find(wanted.begin(), wanted.end(), p) != wanted.end(),
                "each kept mapping's port is wanted");
    for (const PinholeKeeper::Held &h : core.pinholes().held()) {
        const ServiceCore::Port p{h.transport, h.port};
        expect(h.closing || std::find(wanted.begin(), wanted.end(), p) != wanted.end(),
                "only wanted pinholes are kept open");
    }
    // Second mappings: only behind another NAT, one per kept mapping's external port, to the
    // gateway's external address on that same port.
    const UpstreamFinder &finder = core.upstreamFinder();
    expect(finder.sentWithinWindow(now) <= kUpstreamDatagramsPerMinute,
           "at most twelve datagrams a minute go beyond the gateway");
    const std::vector<MappingKeeper::Held> first = core.mappings().held();
    for (const MappingKeeper::Held &h : core.upstreamMappings().held()) {
        expect(finder.found() && finder.behindAnotherNat(), "second mappings only behind a NAT");
        expect(h.internalPort == h.externalPort, "a second mapping forwards the same port");
        if (!h.removing)
            expect(h.clientAddress == finder.externalAddress(),
                   "a second mapping forwards to the gateway's external address");
        if (!h.removing)
            expect(std::any_of(first.begin(), first.end(),
                               [&](const MappingKeeper::Held &f) {
                                   return !f.removing && f.transport == h.transport &&
                                          f.externalPort == h.externalPort;
                               }),
                   "a second mapping follows a kept one");
    }
    const uint64_t wake = core.nextWakeMs(now);
    expect(wake >= now && wake <= now + kKeeperLongestWaitMs, "the next wake is within a minute");
    if (core.finalized()) {
        KeeperJob job;
        expect(!core.nextJob(now, job), "nothing goes to the thread after the finalizer");
        expect(!core.keepingWanted(), "keeping is over after the finalizer");
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    Bytes in{data, size};
    Run run;
    for (int steps = 0; in.size > 0 && steps < 400; ++steps) {
        run.step(in);
        run.check();
    }
    return 0;
}
