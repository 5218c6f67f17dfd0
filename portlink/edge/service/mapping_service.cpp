#include "service/mapping_service.h"

#include <ntsecapi.h>

#include <algorithm>
#include <functional>
#include <vector>

#include "exchange/external_address.h"
#include "exchange/http_exchange.h"
#include "exchange/pinhole_exchange.h"
#include "exchange/port_control_exchange.h"
#include "exchange/port_mapping.h"
#include "pinhole_choice.h"
#include "private_address.h"
#include "result_codes.h"
#include "search/gateway_search.h"
#include "search/ipv6_search.h"
#include "search/upstream_search.h"
#include "service/nat_session.h"
#include "text_ops.h"
#include "win/ansi_text.h"
#include "win/default_gateways.h"
#include "win/ipv6_host.h"
#include "win/local_route.h"
#include "win/module_thread.h"
#include "win/network_watch.h"
#include "win/next_router_probe.h"
#include "win/side_by_side.h"
#include "win/srw_lock.h"

namespace portlink {

namespace {

// Exchanges the keeper thread carries out in a row before it looks around again.
constexpr int kExchangesPerWake = 64;
// How long the keeper thread's IPv6 search listens for the gateway's answer.
constexpr int kIpv6SearchWaitMs = 1000;
// The application's exchanges connect as they always did: without a bound of their own.
constexpr int32_t kCallConnectLimitMs = 0;
// Every exchange with the router beyond the gateway, a remove's too, connects within the
// keeper's bound: a remove answers once all its exchanges are done, and one with a router the
// host cannot even see is not to hold it.
constexpr int32_t kUpstreamConnectLimitMs = kKeeperConnectLimitMs;

uint64_t now() { return GetTickCount64(); }

bool drawNonce(MappingNonce &nonce) {
    return RtlGenRandom(nonce.data(), static_cast<ULONG>(nonce.size())) != FALSE;
}

// Holds the exchange lock for an application call, which the keeper thread lets go first.
class CallTurn {
  public:
    CallTurn(SRWLOCK &lock, std::atomic<int> &waiting) : lock_(lock) {
        ++waiting;
        AcquireSRWLockExclusive(&lock_);
        --waiting;
    }
    ~CallTurn() { ReleaseSRWLockExclusive(&lock_); }
    CallTurn(const CallTurn &) = delete;
    CallTurn &operator=(const CallTurn &) = delete;

  private:
    SRWLOCK &lock_;
};

Ipv6Facts readIpv6Facts(uint32_t localIpv4) {
    Ipv6Facts facts;
    Ipv6Adapter adapter;
    if (localIpv4 == 0 || !readIpv6Adapter(localIpv4, adapter))
        return facts;
    facts.readable = true;
    facts.ifIndex = adapter.ifIndex;
    facts.addresses = std::move(adapter.addresses);
    facts.hasRouter = adapter.hasRouter;
    facts.router = adapter.router;
    return facts;
}

} // namespace

MappingService::MappingService()
    : core_(drawNonce), wake_(CreateEventW(nullptr, FALSE, FALSE, nullptr)),
      networkChanged_(CreateEventW(nullptr, FALSE, FALSE, nullptr)) {}

void MappingService::gatewayFound(const FoundGateway &found, uint32_t address) {
    GatewayFacts facts;
    facts.way = found.way;
    facts.address = address;
    facts.hasEpoch = found.portControl;
    facts.epoch = found.epoch;
    facts.hasBootId = found.hasBootId;
    facts.bootId = found.bootId;
    facts.deviceUuid = found.deviceUuid;
    facts.deviceUdns = found.deviceUdns;
    facts.hasFirewall = !found.firewall.controlUrl.empty();
    // Only a machine with an address to open over IPv6 learns the gateway's IPv6 side before
    // the first add.
    const Ipv6Facts ipv6 = readIpv6Facts(localAddressTowards(address));
    facts.hostHasIpv6 = ipv6.readable && !choosePinholeAddresses(ipv6.addresses, ipv6.ifIndex).empty();
    ExclusiveLock guard(lock_);
    core_.gatewayFound(now(), facts);
    firewall_ = found.way == MappingWay::Upnp ? found.firewall : ControlPoint();
    keepGoingLocked();
}

ExchangeResult MappingService::carryOut(const Exchange &exchange, int32_t connectLimitMs,
                                        bool &spokeNatPmp) {
    spokeNatPmp = false;
    if (exchange.way == MappingWay::Upnp)
        return carryOutUpnp(exchange, session().controlPoint(), connectLimitMs);
    uint32_t gateway;
    {
        SharedLock guard(lock_);
        gateway = core_.gatewayAddress();
    }
    bool natPmp = exchange.way == MappingWay::NatPmp;
    const ExchangeResult result = carryOutPortControl(exchange, gateway, natPmp);
    spokeNatPmp = natPmp && exchange.way == MappingWay::Pcp;
    return result;
}

ExchangeResult MappingService::carryOutUpstream(const Exchange &exchange, int32_t connectLimitMs) {
    uint32_t router;
    ControlPoint upnp;
    {
        SharedLock guard(lock_);
        router = core_.upstreamFinder().nextRouter();
        if (router != 0 && upstreamUpnpRouter_ == router)
            upnp = upstreamUpnp_;
    }
    if (router == 0)
        return unansweredResult(ERR_NO_GATEWAY);
    if (exchange.way == MappingWay::Upnp) {
        // Only a control point on the router itself: its description could not name another.
        if (!urlLiesOn(upnp.controlUrl, router))
            return unansweredResult(ERR_NO_GATEWAY);
        return carryOutUpnp(exchange, upnp, connectLimitMs);
    }
    return carryOutUpstreamPcp(exchange, router);
}

UpstreamAnswer MappingService::learn(const UpstreamJob &step) {
    switch (step.step) {
    case UpstreamStep::ExternalAddress: {
        if (step.way == MappingWay::Upnp)
            return askExternalAddressUpnp(session().controlPoint(), kKeeperConnectLimitMs);
        if (step.way != MappingWay::NatPmp)
            return UpstreamAnswer(); // a PCP gateway names it in its MAP answers
        uint32_t gateway;
        {
            SharedLock guard(lock_);
            gateway = core_.gatewayAddress();
        }
        return askExternalAddressNatPmp(gateway);
    }
    case UpstreamStep::FindNextRouter: {
        UpstreamAnswer answer;
        answer.address = probeNextRouter();
        answer.answered = answer.address != 0;
        return answer;
    }
    case UpstreamStep::SearchNextRouter: {
        // The search goes to the router the probe found, which the core names, and nowhere
        // else.
        const uint32_t router = step.address;
        uint32_t external;
        {
            SharedLock guard(lock_);
            external = core_.upstreamFinder().externalAddress();
        }
        const UpstreamRouter found = searchNextRouter(router, external, kUpstreamConnectLimitMs);
        UpstreamAnswer answer;
        answer.answered = found.found;
        answer.way = found.way;
        answer.address = router;
        if (found.found) {
            ExclusiveLock guard(lock_);
            upstreamUpnp_ = found.upnp;
            upstreamUpnpRouter_ = router;
        }
        return answer;
    }
    }
    return UpstreamAnswer();
}

PinholeRoute MappingService::routeOf(const PinholeTargets &targets) const {
    PinholeRoute route;
    route.upnp = targets.upnp;
    route.upnpGateway = targets.upnpGateway;
    route.upnpScope = targets.upnpScope;
    route.firewall = firewall_;
    route.pcp = targets.pcp;
    route.pcpGateway = targets.pcpGateway;
    route.pcpScope = targets.pcpScope;
    return route;
}

uint32_t MappingService::clientAddressLocked() const {
    return core_.hasGateway() ? localAddressTowards(core_.gatewayAddress()) : 0;
}

int32_t MappingService::add(uint16_t internalPort, uint16_t externalPort, uint8_t transport) {
    CallTurn turn(exchangeLock_, callsWaiting_);
    CallPlan plan;
    {
        ExclusiveLock guard(lock_);
        plan = core_.beginAdd(now(), transport, internalPort, externalPort, clientAddressLocked());
    }
    if (plan.refusal != RESULT_OK)
        return plan.refusal;
    bool spoke = false;
    const ExchangeResult result = carryOut(plan.exchange, kCallConnectLimitMs, spoke);
    AddOutcome outcome;
    {
        ExclusiveLock guard(lock_);
        outcome = core_.finishAdd(now(), plan.exchange, result, spoke);
    }
    // A mapping granted on another port goes before the add answers, so that it is gone even
    // when the application ends right after.
    if (outcome.cleanUp) {
        const ExchangeResult deleted = carryOut(outcome.cleanUpExchange, kCallConnectLimitMs, spoke);
        ExclusiveLock guard(lock_);
        core_.finishMapping(now(), outcome.cleanUpExchange, deleted, spoke);
    }
    ExclusiveLock guard(lock_);
    keepGoingLocked();
    return outcome.code;
}

int32_t MappingService::remove(uint16_t externalPort, uint8_t transport) {
    CallTurn turn(exchangeLock_, callsWaiting_);
    RemovePlan plan;
    PinholeRoute route;
    {
        ExclusiveLock guard(lock_);
        plan = core_.beginRemove(now(), transport, externalPort, clientAddressLocked());
        route = routeOf(plan.targets);
    }
    if (plan.refusal != RESULT_OK)
        return plan.refusal;
    // The pinholes close beside the mapping's delete, and the remove answers once all are
    // done, so that they are shut also when the application ends right after.
    // So does the delete of the second mapping at the router beyond the gateway; the remove
    // answers from the gateway's exchange alone.
    std::vector<PinholeResult> closed(plan.closes.size());
    std::vector<std::function<void()>> beside;
    for (size_t i = 0; i < plan.closes.size(); ++i)
        beside.push_back(
            [&, i] { closed[i] = carryOutPinhole(plan.closes[i], route, kCallConnectLimitMs); });
    const bool upstream = plan.upstream.ticket != 0;
    ExchangeResult upstreamResult;
    if (upstream)
        beside.push_back(
            [&] { upstreamResult = carryOutUpstream(plan.upstream, kUpstreamConnectLimitMs); });
    ExchangeResult result;
    bool spoke = false;
    runSideBySide([&] { result = carryOut(plan.exchange, kCallConnectLimitMs, spoke); }, beside);
    RemoveStep step;
    {
        ExclusiveLock guard(lock_);
        for (size_t i = 0; i < plan.closes.size(); ++i)
            core_.finishPinhole(now(), plan.closes[i], closed[i]);
        if (upstream)
            core_.finishUpstream(now(), plan.upstream, upstreamResult);
        step = core_.finishRemove(now(), plan.exchange, result, spoke);
    }
    // A port this process does not hold was asked about first: its Delete follows only when
    // the gateway's entry names this host.
    while (step.more) {
        const Exchange next = step.next;
        result = carryOut(next, kCallConnectLimitMs, spoke);
        ExclusiveLock guard(lock_);
        step = core_.finishRemove(now(), next, result, spoke);
    }
    ExclusiveLock guard(lock_);
    keepGoingLocked();
    return step.code;
}

void MappingService::contextOpened(void *context) {
    ExclusiveLock guard(lock_);
    core_.contextOpened(reinterpret_cast<uintptr_t>(context));
}

void MappingService::finalizerCalled(void *dataOrContext) {
    ExclusiveLock guard(lock_);
    core_.finalizerCalled(reinterpret_cast<uintptr_t>(dataOrContext));
    if (threadRunning_)
        SetEvent(wake_.get()); // the thread sees that keeping is over and ends
}

bool MappingService::stopped() const {
    SharedLock guard(lock_);
    return core_.finalized();
}

void MappingService::keepGoingLocked() {
    if (!core_.keepingWanted() || !wake_.valid())
        return;
    if (!threadRunning_)
        threadRunning_ = startModuleThread(keeperThread);
    SetEvent(wake_.get());
}

void MappingService::keeperThread() {
    MappingService &service = mappings();
    try {
        service.run();
    } catch (...) {
        // Out of memory: keeping ends here, and a later application call starts it again.
        ExclusiveLock guard(service.lock_);
        service.threadRunning_ = false;
    }
}

void MappingService::run() {
    RestartListeners listeners;
    NetworkWatch watch(networkChanged_.get());
    for (;;) {
        bool look;
        {
            ExclusiveLock guard(lock_);
            if (!core_.keepingWanted()) {
                threadRunning_ = false; // a later call starts a new thread
                return;
            }
            look = core_.networkLookDue(now());
        }
        if (look)
            lookAtNetwork();
        listeners.drain([this](const Heard &heard) { hear(heard); });
        exchangesDue();

        HANDLE handles[4] = {wake_.get(), networkChanged_.get()};
        const DWORD count = 2 + static_cast<DWORD>(listeners.events(handles + 2));
        uint64_t wakeAt;
        {
            SharedLock guard(lock_);
            wakeAt = core_.nextWakeMs(now());
        }
        const uint64_t at = now();
        const uint64_t wait = std::min(wakeAt > at ? wakeAt - at : 0, kKeeperLongestWaitMs);
        if (WaitForMultipleObjects(count, handles, FALSE, static_cast<DWORD>(wait)) ==
            WAIT_OBJECT_0 + 1) {
            ExclusiveLock guard(lock_);
            core_.networkChanged();
        }
    }
}

void MappingService::lookAtNetwork() {
    const std::vector<uint32_t> gateways = defaultGateways();
    uint32_t gateway;
    {
        SharedLock guard(lock_);
        gateway = core_.gatewayAddress();
    }
    bool search;
    {
        const uint32_t local = localAddressTowards(gateway);
        ExclusiveLock guard(lock_);
        search = core_.networkSeen(now(), gateways, local);
    }
    if (search) {
        // Another network: the same search as at the start; the kept mappings are made on the
        // gateway it finds.  When it finds none, everything stays with the gateway known.
        publishGateway(searchGateway([this] { return stopped(); }));
        SharedLock guard(lock_);
        gateway = core_.gatewayAddress();
    }
    const Ipv6Facts facts = readIpv6Facts(localAddressTowards(gateway));
    Ipv6Address from;
    uint32_t ifIndex;
    std::wstring device;
    {
        ExclusiveLock guard(lock_);
        core_.ipv6Seen(now(), facts);
        if (!core_.ipv6SearchDue(now()))
            return;
        from = core_.ipv6SearchFrom();
        ifIndex = core_.ipv6IfIndex();
        device = core_.deviceUuid();
    }
    // A host that did not answer with the gateway's own device is never asked.
    bool found = false;
    Ipv6Address source{};
    for (const Ipv6SearchAnswer &answer : searchOverIpv6(from, ifIndex, kIpv6SearchWaitMs, device)) {
        if (answer.deviceUuid == device) {
            found = true;
            source = answer.source;
            break;
        }
    }
    ExclusiveLock guard(lock_);
    core_.ipv6Searched(now(), found, source);
}

void MappingService::hear(const Heard &heard) {
    ExclusiveLock guard(lock_);
    if (heard.kind == Heard::Kind::PortControl) {
        core_.portControlHeard(now(), heard.source, heard.sourcePort, heard.epoch);
        return;
    }
    core_.ssdpHeard(now(), heard.source,
                    heard.notice.kind == NoticeKind::ByeBye ? SsdpNoticeKind::ByeBye
                                                            : SsdpNoticeKind::Alive,
                    heard.notice.hasBootId, heard.notice.bootId, heard.notice.deviceUuid);
}

void MappingService::exchangesDue() {
    for (int done = 0; done < kExchangesPerWake; ++done) {
        // An application call that waits goes first.
        while (callsWaiting_.load() > 0)
            Sleep(1);
        KeeperJob job;
        {
            ExclusiveLock exchange(exchangeLock_);
            PinholeRoute route;
            {
                ExclusiveLock guard(lock_);
                if (!core_.nextJob(now(), job))
                    return;
                route = routeOf(job.targets);
            }
            if (holdsExchangeTurn(job)) {
                carryOutJob(job, route);
                continue;
            }
        }
        const UpstreamAnswer answer = learn(job.step);
        ExclusiveLock guard(lock_);
        core_.finishStep(now(), job.step, answer);
    }
}

void MappingService::carryOutJob(const KeeperJob &job, const PinholeRoute &route) {
    if (job.pinhole) {
        const PinholeResult result = carryOutPinhole(job.hole, route, kKeeperConnectLimitMs);
        ExclusiveLock guard(lock_);
        core_.finishPinhole(now(), job.hole, result);
    } else if (job.learn) {
        const UpstreamAnswer answer = learn(job.step);
        ExclusiveLock guard(lock_);
        core_.finishStep(now(), job.step, answer);
    } else if (job.upstream) {
        const ExchangeResult result = carryOutUpstream(job.mapping, kUpstreamConnectLimitMs);
        ExclusiveLock guard(lock_);
        core_.finishUpstream(now(), job.mapping, result);
    } else {
        bool spoke = false;
        const ExchangeResult result = carryOut(job.mapping, kKeeperConnectLimitMs, spoke);
        ExclusiveLock guard(lock_);
        core_.finishMapping(now(), job.mapping, result, spoke);
    }
}

static MappingService theService;

MappingService &mappings() { return theService; }

bool publishGateway(const FoundGateway &found) {
    const bool upnp = !found.upnp.controlUrl.empty();
    if (!upnp && !found.portControl)
        return false;
    const uint32_t address =
        upnp ? inet_addr(narrowAnsi(requestHost(found.upnp.controlUrl)).c_str())
             : found.portControlAddress;
    session().publishGateway(found.upnp, {found.portControl, found.way, address});
    mappings().gatewayFound(found, address);
    return true;
}

} // namespace portlink
