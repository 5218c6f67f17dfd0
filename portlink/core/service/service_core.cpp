#include "service_core.h"

#include <algorithm>
#include <utility>

namespace portlink {

namespace {

template <typename T> void eraseValue(std::vector<T> &list, const T &value) {
    const auto it = std::find(list.begin(), list.end(), value);
    if (it != list.end())
        list.erase(it);
}

} // namespace

bool holdsExchangeTurn(const KeeperJob &job) {
    return !job.learn || job.step.step == UpstreamStep::ExternalAddress;
}

ServiceCore::ServiceCore(std::function<bool(MappingNonce &)> drawNonce)
    : keeper_(drawNonce), upstream_(drawNonce), pinholes_(std::move(drawNonce)) {
    // No notice of the router beyond the gateway crosses the gateway: its PCP mappings are
    // renewed as often as UPnP ones are checked.
    upstream_.setLongestRenewalMs(kUpnpCheckEveryMs);
}

// --- contexts and the keeper thread --------------------------------------------------------

void ServiceCore::contextOpened(uintptr_t context) {
    if (std::find(contexts_.begin(), contexts_.end(), context) == contexts_.end())
        contexts_.push_back(context);
    // The extension is in use again: its search may run (keeping itself waits for an add or
    // a gateway found).
    finalized_ = false;
}

void ServiceCore::finalizerCalled(uintptr_t dataOrContext) {
    if (dataOrContext != 0) {
        const auto it = std::find(contexts_.begin(), contexts_.end(), dataOrContext);
        if (it == contexts_.end())
            return; // not a context this library was given: nothing ends
        contexts_.erase(it);
        if (!contexts_.empty())
            return;
    }
    finalized_ = true;
}

bool ServiceCore::keepingWanted() const {
    return !finalized_ &&
           (!keeper_.empty() || !pinholes_.empty() || !upstream_.empty() || learnIpv6_);
}

// --- the gateway -----------------------------------------------------------------------------

void ServiceCore::gatewayFound(uint64_t nowMs, const GatewayFacts &facts) {
    const bool other = !keeper_.hasGateway() || facts.address != keeper_.gatewayAddress() ||
                       (facts.way == MappingWay::Upnp) != (keeper_.way() == MappingWay::Upnp);
    keeper_.setGateway(nowMs, facts.way, facts.address);
    finder_.gatewayFound(nowMs, facts.way, facts.address, other);
    if (other)
        upstream_.forget(); // what lay beyond another gateway is not beyond this one
    bool restarted = false;
    if (facts.way != MappingWay::Upnp && facts.hasEpoch)
        restarted = keeper_.portControlAnnouncement(nowMs, facts.address, kPortControlPort,
                                                    facts.epoch);
    // The first BOOTID heard is only recorded, so a NOTIFY that differs from the answer's
    // shows a restart that came before any NOTIFY.
    if (facts.way == MappingWay::Upnp && facts.hasBootId)
        restarted = keeper_.ssdpNotice(nowMs, facts.address, SsdpNoticeKind::Alive, true,
                                       facts.bootId);
    if (restarted)
        gatewayRestarted(nowMs);
    if (other)
        side_.reset();
    const bool upnp = facts.way == MappingWay::Upnp;
    hasFirewall_ = upnp && facts.hasFirewall;
    deviceUuid_ = upnp ? facts.deviceUuid : std::wstring();
    deviceUdns_ = upnp ? facts.deviceUdns : std::vector<std::wstring>();
    learnIpv6_ = facts.hostHasIpv6;
    syncWanted(nowMs);
    look_.now();
}

// --- the application's calls -----------------------------------------------------------------

CallPlan ServiceCore::beginAdd(uint64_t nowMs, uint8_t transport, uint16_t internalPort,
                               uint16_t externalPort, uint32_t clientAddress) {
    finalized_ = false; // the application uses the library again
    finder_.localAddressSeen(clientAddress);
    CallPlan plan = keeper_.beginAdd(nowMs, transport, internalPort, externalPort, clientAddress);
    if (plan.refusal == 0)
        handedOut(plan.exchange);
    return plan;
}

AddOutcome ServiceCore::finishAdd(uint64_t nowMs, const Exchange &sent,
                                  const ExchangeResult &result, bool spokeNatPmp) {
    reported(sent);
    AddOutcome out;
    out.code = keeper_.finishAdd(nowMs, sent, result, &out.cleanUpExchange);
    externalAddressIn(nowMs, result);
    out.cleanUp = followUp(nowMs, sent, spokeNatPmp, out.cleanUpExchange);
    const size_t before = wanted_.size();
    syncWanted(nowMs);
    if (wanted_.size() > before)
        look_.now(); // the new port over IPv6 at once: the keeper thread looks and opens it
    return out;
}

RemovePlan ServiceCore::beginRemove(uint64_t nowMs, uint8_t transport, uint16_t externalPort,
                                    uint32_t clientAddress) {
    RemovePlan plan;
    if (keeper_.hasGateway() && clientAddress != 0) {
        keeper_.localAddressSeen(nowMs, clientAddress);
        syncWanted(nowMs);
    }
    const CallPlan call = keeper_.beginRemove(nowMs, transport, externalPort);
    plan.refusal = call.refusal;
    if (plan.refusal != 0)
        return plan;
    plan.exchange = call.exchange;
    handedOut(plan.exchange);
    // The second mapping goes with the first, beside its delete.
    upstream_.release(nowMs, transport, externalPort, &plan.upstream);
    if (plan.upstream.ticket != 0)
        upstreamTickets_.push_back(plan.upstream.ticket);
    // The pinholes that no kept mapping names any more close beside the delete.
    for (const Port &gone : syncWanted(nowMs)) {
        for (const PinholeExchange &close : pinholes_.takeCloses(nowMs, gone.transport, gone.port)) {
            handedOut(close);
            plan.closes.push_back(close);
        }
    }
    plan.targets = side_.targets(hasFirewall_);
    return plan;
}

RemoveStep ServiceCore::finishRemove(uint64_t nowMs, const Exchange &sent,
                                     const ExchangeResult &result, bool spokeNatPmp) {
    reported(sent);
    RemoveStep step;
    step.code = keeper_.finishRemove(nowMs, sent, result, &step.next);
    step.more = followUp(nowMs, sent, spokeNatPmp, step.next);
    syncWanted(nowMs);
    return step;
}

// --- the keeper thread -----------------------------------------------------------------------

bool ServiceCore::nextJob(uint64_t nowMs, KeeperJob &job) {
    if (finalized_)
        return false;
    job = KeeperJob();
    if (keeper_.nextExchange(nowMs, job.mapping)) {
        handedOut(job.mapping);
        return true;
    }
    if (pinholes_.nextExchange(nowMs, job.hole)) {
        job.pinhole = true;
        job.targets = side_.targets(hasFirewall_);
        handedOut(job.hole);
        return true;
    }
    if (upstream_.hasGateway() && upstream_.nextExchange(nowMs, job.mapping)) {
        job.upstream = true;
        upstreamTickets_.push_back(job.mapping.ticket);
        return true;
    }
    if (finder_.nextJob(nowMs, job.step)) {
        job.learn = true;
        stepTickets_.push_back(job.step.ticket);
        return true;
    }
    return false;
}

void ServiceCore::finishMapping(uint64_t nowMs, const Exchange &sent,
                                const ExchangeResult &result, bool spokeNatPmp) {
    reported(sent);
    keeper_.finish(nowMs, sent, result);
    externalAddressIn(nowMs, result);
    settleWay(nowMs, sent, spokeNatPmp);
    syncWanted(nowMs);
}

void ServiceCore::finishUpstream(uint64_t nowMs, const Exchange &sent,
                                 const ExchangeResult &result) {
    eraseValue(upstreamTickets_, sent.ticket);
    upstream_.finish(nowMs, sent, result);
    syncUpstream(nowMs);
}

void ServiceCore::finishStep(uint64_t nowMs, const UpstreamJob &sent, const UpstreamAnswer &answer) {
    eraseValue(stepTickets_, sent.ticket);
    finder_.finish(nowMs, sent, answer);
    syncUpstream(nowMs);
}

void ServiceCore::finishPinhole(uint64_t nowMs, const PinholeExchange &sent,
                                const PinholeResult &result) {
    reported(sent);
    pinholes_.finish(nowMs, sent, result);
}

uint64_t ServiceCore::nextWakeMs(uint64_t nowMs) const {
    uint64_t wake = std::min(keeper_.nextWakeMs(nowMs), pinholes_.nextWakeMs(nowMs));
    if (upstream_.hasGateway())
        wake = std::min(wake, upstream_.nextWakeMs(nowMs));
    wake = std::min(wake, finder_.nextWakeMs(nowMs));
    wake = std::min(wake, std::max(look_.nextDueMs(), nowMs));
    return std::min(std::max(wake, nowMs), nowMs + kKeeperLongestWaitMs);
}

// --- what was heard ----------------------------------------------------------------------------

void ServiceCore::portControlHeard(uint64_t nowMs, uint32_t source, uint16_t sourcePort,
                                   uint32_t epoch) {
    if (keeper_.portControlAnnouncement(nowMs, source, sourcePort, epoch))
        gatewayRestarted(nowMs);
}

void ServiceCore::ssdpHeard(uint64_t nowMs, uint32_t source, SsdpNoticeKind kind, bool hasBootId,
                            uint32_t bootId, const std::wstring &deviceUuid) {
    // Another root device at the router's address (a media server, say) has its own boots.
    if (!isGatewayDevice(deviceUuid))
        return;
    if (keeper_.ssdpNotice(nowMs, source, kind, hasBootId, bootId))
        gatewayRestarted(nowMs);
}

bool ServiceCore::isGatewayDevice(const std::wstring &uuid) const {
    if (deviceUuid_.empty() && deviceUdns_.empty())
        return true; // nothing to tell devices apart by: the address alone decides
    if (uuid.empty())
        return false;
    return uuid == deviceUuid_ ||
           std::find(deviceUdns_.begin(), deviceUdns_.end(), uuid) != deviceUdns_.end();
}

// --- the network -------------------------------------------------------------------------------

bool ServiceCore::networkSeen(uint64_t nowMs, const std::vector<uint32_t> &gateways,
                              uint32_t localAddress) {
    const bool search = look_.gatewaysSeen(nowMs, gateways);
    if (keeper_.hasGateway() && localAddress != 0) {
        keeper_.localAddressSeen(nowMs, localAddress);
        finder_.localAddressSeen(localAddress);
        syncWanted(nowMs);
    }
    return search && !finalized_;
}

void ServiceCore::ipv6Seen(uint64_t nowMs, const Ipv6Facts &facts) {
    side_.seen(nowMs, facts);
    if (!ipv6SearchDue(nowMs))
        learnIpv6_ = false; // nothing more to learn now
    applyIpv6(nowMs);
}

bool ServiceCore::ipv6SearchDue(uint64_t nowMs) const {
    return !finalized_ && keeper_.hasGateway() && side_.searchDue(nowMs, deviceUuid_);
}

void ServiceCore::ipv6Searched(uint64_t nowMs, bool found, const Ipv6Address &source) {
    side_.searched(nowMs, found, source);
    learnIpv6_ = false;
    applyIpv6(nowMs);
}

void ServiceCore::applyIpv6(uint64_t nowMs) {
    pinholes_.setAddresses(nowMs, side_.addresses());
    pinholes_.setWays(nowMs, side_.ways(keeper_.way(), hasFirewall_));
}

// --- bookkeeping -------------------------------------------------------------------------------

std::vector<ServiceCore::Port> ServiceCore::syncWanted(uint64_t nowMs) {
    std::vector<Port> now;
    for (const MappingKeeper::Held &h : keeper_.held()) {
        const Port p{h.transport, h.internalPort};
        if (!h.removing && std::find(now.begin(), now.end(), p) == now.end())
            now.push_back(p);
    }
    std::vector<Port> gone;
    for (const Port &p : wanted_)
        if (std::find(now.begin(), now.end(), p) == now.end())
            gone.push_back(p);
    for (const Port &p : gone)
        pinholes_.unwant(nowMs, p.transport, p.port);
    for (const Port &p : now)
        if (std::find(wanted_.begin(), wanted_.end(), p) == wanted_.end())
            pinholes_.want(nowMs, p.transport, p.port);
    wanted_ = std::move(now);
    syncUpstream(nowMs);
    return gone;
}

void ServiceCore::syncUpstream(uint64_t nowMs) {
    const std::vector<MappingKeeper::Held> first = keeper_.held();
    const auto keptFirst = [&](uint8_t transport, uint16_t externalPort) {
        return std::any_of(first.begin(), first.end(), [&](const MappingKeeper::Held &h) {
            return !h.removing && h.transport == transport && h.externalPort == externalPort;
        });
    };
    finder_.setWanted(std::any_of(first.begin(), first.end(),
                                  [](const MappingKeeper::Held &h) { return !h.removing; }));
    if (!finder_.found() || !finder_.behindAnotherNat()) {
        // Nothing beyond the gateway to map on, or no second NAT any more.
        if (upstream_.hasGateway())
            upstream_.forget();
        return;
    }
    if (!upstream_.hasGateway() || upstream_.gatewayAddress() != finder_.nextRouter() ||
        upstream_.way() != finder_.nextRouterWay())
        upstream_.setGateway(nowMs, finder_.nextRouterWay(), finder_.nextRouter());
    // Every second mapping names the gateway's external address, which that router sees as
    // the source of the gateway's traffic; a new one makes them all again.
    upstream_.localAddressSeen(nowMs, finder_.externalAddress());
    for (const MappingKeeper::Held &h : first)
        if (!h.removing)
            upstream_.keep(nowMs, h.transport, h.externalPort, h.externalPort);
    for (const MappingKeeper::Held &h : upstream_.held())
        if (!h.removing && !keptFirst(h.transport, h.externalPort))
            upstream_.release(nowMs, h.transport, h.externalPort);
}

// The restart the keeper saw lost the pinholes too, and may have given the gateway another
// external address.
void ServiceCore::gatewayRestarted(uint64_t nowMs) {
    pinholes_.gatewayRestarted(nowMs);
    finder_.gatewayRestarted(nowMs);
}

// Any answer of the gateway that names its external address.
void ServiceCore::externalAddressIn(uint64_t nowMs, const ExchangeResult &result) {
    if (result.outcome == ExchangeOutcome::Granted || result.hasEpoch)
        finder_.externalAddressSeen(nowMs, result.externalAddress);
}

// After a call's exchange: the exchange the keeper handed out to follow it (ticket 0: none)
// is the call's to carry out; the way is settled.  True when there is one.
bool ServiceCore::followUp(uint64_t nowMs, const Exchange &sent, bool spokeNatPmp,
                           const Exchange &next) {
    if (next.ticket != 0)
        handedOut(next);
    settleWay(nowMs, sent, spokeNatPmp);
    return next.ticket != 0;
}

// A PCP server found to speak only NAT-PMP is spoken to that way from now on.  The keys stay
// as they are, so this is told only once the exchange's outcome is in.
void ServiceCore::settleWay(uint64_t nowMs, const Exchange &sent, bool spokeNatPmp) {
    if (!spokeNatPmp || sent.way != MappingWay::Pcp)
        return;
    if (keeper_.hasGateway() && keeper_.way() == MappingWay::Pcp) {
        keeper_.setGateway(nowMs, MappingWay::NatPmp, keeper_.gatewayAddress());
        finder_.gatewayFound(nowMs, MappingWay::NatPmp, keeper_.gatewayAddress(), false);
    }
}

void ServiceCore::reported(const Exchange &x) {
    eraseValue(mappingTickets_, x.ticket);
}

void ServiceCore::reported(const PinholeExchange &x) {
    eraseValue(pinholeTickets_, x.ticket);
}

} // namespace portlink
