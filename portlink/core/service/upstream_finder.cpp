#include "upstream_finder.h"

#include <algorithm>
#include <cstring>

#include "private_address.h"

namespace portlink {

namespace {

uint32_t addressOf(const uint8_t (&octets)[4]) {
    uint32_t address;
    std::memcpy(&address, octets, sizeof address);
    return address;
}

// After `failures` unanswered requests in a row: 15 s, 30 s, ... up to kUpstreamRetryMs.
uint64_t externalRetryMs(uint32_t failures) {
    return std::min(kExternalAddressRetryMs << std::min(failures, 6u), kUpstreamRetryMs);
}

} // namespace

void UpstreamFinder::gatewayFound(uint64_t nowMs, MappingWay way, uint32_t gateway, bool other) {
    const bool first = !hasGateway_;
    hasGateway_ = true;
    way_ = way;
    gateway_ = gateway;
    if (!first && !other)
        return;
    external_ = 0;
    externalDueAtMs_ = nowMs;
    externalFailures_ = 0;
    inFlight_ = 0;
    forgetRouter();
    upstreamDueAtMs_ = nowMs;
}

void UpstreamFinder::setWanted(bool wanted) {
    // What is due stays due: it is asked for once something is wanted.
    wanted_ = wanted;
}

void UpstreamFinder::forgetRouter() {
    router_ = 0;
    found_ = false;
    routerWay_ = MappingWay::Upnp;
}

void UpstreamFinder::externalAddressSeen(uint64_t nowMs, uint32_t address) {
    if (address == 0)
        return;
    externalFailures_ = 0;
    external_ = address;
    // A public address is asked for again only after a restart of the gateway; behind another
    // NAT it is how a new address from the outer router shows.  The next router stays what
    // the probe found: a new address from the same outer router is the usual case, and the
    // second mappings are made again for it.
    if (!behindAnotherNat())
        forgetRouter();
    if (way_ != MappingWay::Pcp)
        externalDueAtMs_ = behindAnotherNat() ? nowMs + kExternalAddressEveryMs : kNeverMs;
}

void UpstreamFinder::gatewayRestarted(uint64_t nowMs) {
    if (way_ != MappingWay::Pcp)
        externalDueAtMs_ = std::min(externalDueAtMs_, nowMs);
}

bool UpstreamFinder::behindAnotherNat() const {
    return external_ != 0 && !isGloballyRoutable(external_);
}

unsigned UpstreamFinder::sentWithinWindow(uint64_t nowMs) const {
    return static_cast<unsigned>(std::count_if(sent_.begin(), sent_.end(), [nowMs](uint64_t at) {
        return at + kUpstreamWindowMs > nowMs;
    }));
}

// The earliest time from which `datagrams` more stay within the bound.
uint64_t UpstreamFinder::budgetFreeAtMs(uint64_t nowMs, unsigned datagrams) const {
    const unsigned used = sentWithinWindow(nowMs);
    if (used + datagrams <= kUpstreamDatagramsPerMinute)
        return nowMs;
    // The oldest sends must leave the window first.
    const size_t mustLeave = used + datagrams - kUpstreamDatagramsPerMinute;
    const size_t firstInWindow = sent_.size() - used;
    return sent_[firstInWindow + mustLeave - 1] + kUpstreamWindowMs;
}

bool UpstreamFinder::spend(uint64_t nowMs, unsigned datagrams) {
    if (budgetFreeAtMs(nowMs, datagrams) > nowMs)
        return false;
    while (!sent_.empty() && sent_.front() + kUpstreamWindowMs <= nowMs)
        sent_.pop_front();
    sent_.insert(sent_.end(), datagrams, nowMs);
    return true;
}

// When the next step is due (kNeverMs: none), without the budget's wait.
uint64_t UpstreamFinder::stepDueAtMs() const {
    if (!hasGateway_ || !wanted_ || inFlight_ != 0)
        return kNeverMs;
    const uint64_t external = externalDue();
    if (!behindAnotherNat() || found_)
        return external;
    return std::min(external, upstreamDueAtMs_);
}

// When the external address is to be asked for (kNeverMs: not now).  A PCP gateway names it
// in its MAP answers: it is never asked for it.
uint64_t UpstreamFinder::externalDue() const {
    return way_ == MappingWay::Pcp ? kNeverMs : externalDueAtMs_;
}

bool UpstreamFinder::nextJob(uint64_t nowMs, UpstreamJob &job) {
    const uint64_t due = stepDueAtMs();
    if (due > nowMs)
        return false;
    job = UpstreamJob();
    if (externalDue() <= nowMs) {
        job.step = UpstreamStep::ExternalAddress;
        job.way = way_;
    } else if (router_ == 0) {
        if (!spend(nowMs, kProbeDatagrams))
            return false;
        job.step = UpstreamStep::FindNextRouter;
        tryStartedAtMs_ = nowMs;
    } else {
        if (!spend(nowMs, kSearchDatagrams))
            return false;
        job.step = UpstreamStep::SearchNextRouter;
        job.address = router_;
    }
    job.ticket = nextTicket_++;
    inFlight_ = job.ticket;
    return true;
}

void UpstreamFinder::finish(uint64_t nowMs, const UpstreamJob &job, const UpstreamAnswer &answer) {
    if (job.ticket == 0 || job.ticket != inFlight_)
        return; // handed out before the gateway changed
    inFlight_ = 0;
    switch (job.step) {
    case UpstreamStep::ExternalAddress:
        if (answer.answered && answer.address != 0) {
            externalAddressSeen(nowMs, answer.address);
        } else {
            externalDueAtMs_ = nowMs + externalRetryMs(externalFailures_++);
        }
        return;
    case UpstreamStep::FindNextRouter: {
        const uint32_t a = answer.address;
        const bool counts = answer.answered && a != 0 && a != gateway_ && a != local_ &&
                            a != external_ && (isPrivateAddress(a) || isSharedAddress(a)) &&
                            a != addressOf(kNextRouterProbeTarget);
        if (counts) {
            router_ = a;
            upstreamDueAtMs_ = nowMs; // searched at once
        } else {
            upstreamDueAtMs_ = tryStartedAtMs_ + kUpstreamRetryMs;
        }
        return;
    }
    case UpstreamStep::SearchNextRouter:
        if (answer.answered && job.address == router_ &&
            (answer.way == MappingWay::Upnp || answer.way == MappingWay::Pcp)) {
            found_ = true;
            routerWay_ = answer.way;
            return;
        }
        // Nothing maps there: the probe and the search are tried again later.
        router_ = 0;
        upstreamDueAtMs_ = tryStartedAtMs_ + kUpstreamRetryMs;
        return;
    }
}

uint64_t UpstreamFinder::nextWakeMs(uint64_t nowMs) const {
    const uint64_t due = stepDueAtMs();
    if (due == kNeverMs)
        return kNeverMs;
    uint64_t at = std::max(due, nowMs);
    if (externalDue() > at)
        at = std::max(at, budgetFreeAtMs(at, router_ == 0 ? kProbeDatagrams : kSearchDatagrams));
    return at;
}

} // namespace portlink
