#include "mapping_keeper.h"

#include <algorithm>
#include <iterator>
#include <utility>

#include "private_address.h"
#include "result_codes.h"

namespace portlink {

namespace {

// A renewal is due this long before the expiry at the latest, so that the tries after a
// failed one, each kShortestRetryGapMs after the last, still fall within the lifetime.
constexpr uint64_t kRenewalMarginMs = kRenewalTriesBeforeExpiry * kShortestRetryGapMs;

bool portControl(MappingWay way) {
    return way != MappingWay::Upnp;
}

// What an application call answers for an exchange that did not do what it asked.
int32_t failureCode(const ExchangeResult &result, int32_t fallback) {
    return result.code != 0 ? result.code : fallback;
}

int32_t codeOf(const ExchangeResult &result) {
    if (result.outcome == ExchangeOutcome::Granted)
        return RESULT_OK;
    if (result.outcome == ExchangeOutcome::Unanswered)
        return failureCode(result, ERR_NO_RESPONSE);
    return failureCode(result, ERR_MAPPING_REFUSED);
}

// After `failures` failed tries in a row: 1 s, 2 s, 4 s, ... up to kLapsedRetryMaxMs.
uint64_t backoffMs(uint32_t failures) {
    return std::min(kShortestRetryGapMs << std::min(failures, 6u), kLapsedRetryMaxMs);
}

// After `failures` unanswered deletes (or checks of a note) in a row: 2 s, 4 s, 8 s, ... up
// to kDeleteRetryMaxMs.
uint64_t deleteBackoffMs(uint32_t failures) {
    return std::min(kDeleteRetryFirstMs << std::min(failures, 5u), kDeleteRetryMaxMs);
}

// Every timing rule reads a granted lifetime through this.
uint64_t lifetimeMs(uint32_t lifetime) {
    return uint64_t{std::min(lifetime, kLongestLifetimeSeconds)} * 1000;
}

bool grantedAsAsked(const Exchange &sent, const ExchangeResult &result) {
    if (result.outcome != ExchangeOutcome::Granted)
        return false;
    return !portControl(sent.way) ||
           (result.lifetime > 0 && result.externalPort == sent.externalPort);
}

bool grantedElsewhere(const Exchange &sent, const ExchangeResult &result) {
    return portControl(sent.way) && result.outcome == ExchangeOutcome::Granted &&
           result.lifetime > 0 && result.externalPort != sent.externalPort;
}

} // namespace

MappingKeeper::MappingKeeper(std::function<bool(MappingNonce &)> drawNonce)
    : drawNonce_(std::move(drawNonce)) {}

// --- lookups -------------------------------------------------------------------------------

MappingKeeper::Entry *MappingKeeper::findKey(MappingWay way, uint8_t transport,
                                             uint16_t internalPort, uint16_t externalPort) {
    for (Entry &e : entries_) {
        if (e.way != way || e.transport != transport)
            continue;
        if (portControl(way) ? e.internalPort == internalPort : e.externalPort == externalPort)
            return &e;
    }
    return nullptr;
}

MappingKeeper::Entry *MappingKeeper::findExternal(uint8_t transport, uint16_t externalPort) {
    for (Entry &e : entries_)
        if (e.transport == transport && e.externalPort == externalPort)
            return &e;
    return nullptr;
}

void MappingKeeper::dropStray(uint8_t transport, uint16_t internalPort, uint16_t externalPort) {
    const auto same = [&](const Entry &e) {
        return e.transport == transport && e.internalPort == internalPort &&
               e.externalPort == externalPort;
    };
    strays_.erase(std::remove_if(strays_.begin(), strays_.end(), same), strays_.end());
}

MappingKeeper::Entry *MappingKeeper::findInFlight(std::vector<Entry> &list, uint64_t ticket) {
    if (ticket == 0)
        return nullptr; // names no exchange: not one of an entry that has none out
    for (Entry &e : list)
        if (e.inFlight == ticket)
            return &e;
    return nullptr;
}

// The note of an unanswered UPnP add of (transport, external port), in whatever step it is.
MappingKeeper::Entry *MappingKeeper::findNote(uint8_t transport, uint16_t externalPort) {
    for (Entry &e : strays_)
        if (e.way == MappingWay::Upnp && e.transport == transport && e.externalPort == externalPort)
            return &e;
    return nullptr;
}

// Any mapping the keeper keeps through PCP or NAT-PMP: its gateway's epoch is watched.
bool MappingKeeper::keepsPortControl() const {
    return hasGateway_ && portControl(way_) &&
           std::any_of(entries_.begin(), entries_.end(),
                       [](const Entry &e) { return !e.removing; });
}

// Stores `entry` under its key, in place of what was held there.  A stray delete of the
// mapping it now names would delete a wanted one, and so would a note's of its UPnP key.
void MappingKeeper::putEntry(const Entry &entry) {
    dropStray(entry.transport, entry.internalPort, entry.externalPort);
    if (entry.way == MappingWay::Upnp)
        if (Entry *note = findNote(entry.transport, entry.externalPort))
            eraseEntry(strays_, *note);
    if (Entry *old = findKey(entry.way, entry.transport, entry.internalPort, entry.externalPort))
        *old = entry;
    else
        entries_.push_back(entry);
}

// The mapping that an exchange names.
MappingKeeper::Entry MappingKeeper::entryOf(const Exchange &sent) {
    Entry entry;
    entry.way = sent.way;
    entry.transport = sent.transport;
    entry.internalPort = sent.internalPort;
    entry.externalPort = sent.externalPort;
    entry.nonce = sent.nonce;
    entry.clientAddress = sent.clientAddress;
    return entry;
}

// A mapping of (transport, internal -> external) at the current gateway, from the current
// address.
MappingKeeper::Entry MappingKeeper::entryHere(uint8_t transport, uint16_t internalPort,
                                              uint16_t externalPort) const {
    Entry entry;
    entry.way = way_;
    entry.transport = transport;
    entry.internalPort = internalPort;
    entry.externalPort = externalPort;
    entry.clientAddress = local_;
    return entry;
}

Exchange MappingKeeper::exchangeFor(const Entry &entry, ExchangeJob job, uint64_t ticket) const {
    Exchange x;
    x.ticket = ticket;
    x.job = job;
    x.way = entry.way;
    x.transport = entry.transport;
    x.internalPort = entry.internalPort;
    x.externalPort = entry.externalPort;
    x.nonce = entry.nonce;
    x.clientAddress = entry.clientAddress;
    return x;
}

Exchange MappingKeeper::epochExchange(uint64_t ticket) const {
    Exchange x;
    x.ticket = ticket;
    x.job = ExchangeJob::Epoch;
    x.way = way_;
    x.clientAddress = local_;
    return x;
}

ExchangeJob MappingKeeper::jobFor(const Entry &entry) const {
    if (entry.unconfirmed)
        return ExchangeJob::Check;
    if (entry.removing || entry.deleteFirst)
        return ExchangeJob::Delete;
    if (entry.way == MappingWay::Upnp && entry.granted && !checksUnsupported_)
        return ExchangeJob::Check;
    return ExchangeJob::Map;
}

// --- the gateway ---------------------------------------------------------------------------

void MappingKeeper::setGateway(uint64_t nowMs, MappingWay way, uint32_t gatewayAddress) {
    if (hasGateway_ && way == way_ && gatewayAddress == gateway_)
        return;
    if (hasGateway_ && gatewayAddress == gateway_ && way_ == MappingWay::Pcp &&
        way == MappingWay::NatPmp) {
        // The same server, which speaks only NAT-PMP: both name a mapping by protocol and
        // internal port, so the table stands as it is and only the way changes.  Answers to
        // what was sent before count as answers of another gateway.
        way_ = way;
        gatewayTicketFloor_ = nextTicket_;
        epoch_ = EpochState{};
        for (std::vector<Entry> *list : {&strays_, &entries_})
            for (Entry &e : *list)
                e.way = way;
        return;
    }
    lapse(nowMs);
    hasGateway_ = true;
    way_ = way;
    gateway_ = gatewayAddress;
    gatewayTicketFloor_ = nextTicket_;
    epoch_ = EpochState{};
    epochDueAtMs_ = nowMs + kEpochCheckEveryMs;
    epochInFlight_ = 0;
    bootIdKnown_ = false;
    byeByeHeard_ = false;
    checksUnsupported_ = false;
    remakeForGateway(nowMs);
}

bool MappingKeeper::hasGateway() const {
    return hasGateway_;
}
MappingWay MappingKeeper::way() const {
    return way_;
}
uint32_t MappingKeeper::gatewayAddress() const {
    return gateway_;
}

// Every kept mapping is made anew at the current gateway, under the key its way names.
void MappingKeeper::remakeForGateway(uint64_t nowMs) {
    std::vector<Entry> old;
    old.swap(entries_);
    strays_.clear();
    for (Entry &e : old) {
        if (e.removing)
            continue;
        remake(e, nowMs, false);
        if (!findKey(e.way, e.transport, e.internalPort, e.externalPort))
            entries_.push_back(e);
    }
}

// `entry` is to be asked for again at once, at the current gateway and from the current
// address: not granted, no exchange of it counts any more, and PCP names it by a new nonce.
void MappingKeeper::remake(Entry &entry, uint64_t nowMs, bool deleteOldFirst) {
    entry.way = way_;
    entry.clientAddress = local_;
    entry.granted = false;
    entry.expiresAtMs = 0;
    entry.deleteFirst = deleteOldFirst && entry.way == MappingWay::Upnp;
    entry.dueAtMs = nowMs;
    entry.failures = 0;
    entry.inFlight = 0;
    MappingNonce fresh{};
    if (entry.way == MappingWay::Pcp && drawNonce_ && drawNonce_(fresh))
        entry.nonce = fresh;
}

// --- mappings the keeper makes on its own ----------------------------------------------------

bool MappingKeeper::keep(uint64_t nowMs, uint8_t transport, uint16_t internalPort,
                         uint16_t externalPort) {
    if (!hasGateway_ || local_ == 0)
        return false;
    lapse(nowMs);
    const Entry *held = findKey(way_, transport, internalPort, externalPort);
    if (held && !held->removing)
        return true;
    Entry entry = entryHere(transport, internalPort, externalPort);
    entry.dueAtMs = nowMs;
    if (way_ == MappingWay::Pcp && !(drawNonce_ && drawNonce_(entry.nonce)))
        return false;
    const bool keptBefore = keepsPortControl();
    putEntry(entry);
    if (!keptBefore)
        epochDueAtMs_ = nowMs + kEpochCheckEveryMs;
    return true;
}

void MappingKeeper::release(uint64_t nowMs, uint8_t transport, uint16_t externalPort,
                            Exchange *deleteNow) {
    if (deleteNow)
        *deleteNow = Exchange{};
    lapse(nowMs);
    Entry *e = findExternal(transport, externalPort);
    if (!e || e->removing)
        return;
    // A PCP/NAT-PMP mapping never granted, with nothing out for it, is nowhere but here.  A
    // UPnP one may have been made by an add that got no answer: its delete settles that.
    if (portControl(e->way) && !e->granted && e->inFlight == 0) {
        eraseEntry(entries_, *e);
        return;
    }
    e->removing = true;
    e->deleteFirst = false;
    e->unconfirmed = false;
    e->failures = 0;
    e->dueAtMs = nowMs;
    if (deleteNow && e->inFlight == 0) {
        *deleteNow = exchangeFor(*e, ExchangeJob::Delete, takeTicket());
        e->inFlight = deleteNow->ticket;
        e->dueAtMs = kNeverMs;
    }
}

void MappingKeeper::forget() {
    entries_.clear();
    strays_.clear();
    hasGateway_ = false;
    gateway_ = 0;
    local_ = 0;
    gatewayTicketFloor_ = nextTicket_;
    addressTicketFloor_ = nextTicket_;
    epoch_ = EpochState{};
    epochDueAtMs_ = kNeverMs;
    epochInFlight_ = 0;
    bootIdKnown_ = false;
    byeByeHeard_ = false;
    checksUnsupported_ = false;
}

// --- the application's calls -----------------------------------------------------------------

CallPlan MappingKeeper::beginAdd(uint64_t nowMs, uint8_t transport, uint16_t internalPort,
                                 uint16_t externalPort, uint32_t clientAddress) {
    CallPlan plan;
    if (!hasGateway_) {
        plan.refusal = ERR_NO_GATEWAY;
        return plan;
    }
    if (!isPrivateAddress(clientAddress)) {
        plan.refusal = ERR_NOT_LAN_ADDRESS;
        return plan;
    }
    lapse(nowMs);
    localAddressSeen(nowMs, clientAddress);
    Entry entry = entryHere(transport, internalPort, externalPort);
    if (const Entry *held = findKey(way_, transport, internalPort, externalPort)) {
        // One being removed no longer holds its port: the application wants it gone.
        if (portControl(way_) && held->externalPort != externalPort && !held->removing) {
            plan.refusal = ERR_PORT_TAKEN_HERE;
            return plan;
        }
        entry.nonce = held->nonce;
    } else if (way_ == MappingWay::Pcp && !(drawNonce_ && drawNonce_(entry.nonce))) {
        plan.refusal = ERR_NO_NONCE;
        return plan;
    }
    plan.exchange = exchangeFor(entry, ExchangeJob::Map, takeTicket());
    return plan;
}

int32_t MappingKeeper::finishAdd(uint64_t nowMs, const Exchange &sent, const ExchangeResult &result,
                                 Exchange *cleanUp) {
    lapse(nowMs);
    noteEpoch(nowMs, sent, result);
    if (cleanUp)
        *cleanUp = Exchange{}; // ticket 0: no Delete handed out
    // This answer replaces what a note of an earlier unanswered add of the key stood for.
    if (sent.way == MappingWay::Upnp && way_ == MappingWay::Upnp &&
        sent.ticket >= gatewayTicketFloor_)
        if (Entry *note = findNote(sent.transport, sent.externalPort))
            eraseEntry(strays_, *note);
    if (grantedElsewhere(sent, result)) {
        Entry *stray = addStray(nowMs, sent, result);
        if (stray && stray->inFlight == 0 && cleanUp) {
            *cleanUp = exchangeFor(*stray, ExchangeJob::Delete, takeTicket());
            stray->inFlight = cleanUp->ticket;
        }
        return ERR_OTHER_PORT;
    }
    if (!grantedAsAsked(sent, result)) {
        if (result.outcome == ExchangeOutcome::Unanswered)
            noteUnansweredAdd(nowMs, sent);
        return result.outcome == ExchangeOutcome::Granted ? ERR_MAPPING_REFUSED : codeOf(result);
    }
    Entry entry = entryOf(sent);
    if (portControl(sent.way)) {
        grant(entry, nowMs, result.lifetime);
    } else {
        entry.granted = true;
        entry.dueAtMs = nowMs + kUpnpCheckEveryMs;
    }
    // Granted by the gateway or for the address that was current when it was asked.
    if (sent.ticket < gatewayTicketFloor_ || sent.way != way_)
        remake(entry, nowMs, false);
    else if (sent.ticket < addressTicketFloor_)
        remake(entry, nowMs, true);
    const bool keptBefore = keepsPortControl();
    putEntry(entry);
    if (!keptBefore)
        epochDueAtMs_ = nowMs + kEpochCheckEveryMs;
    return RESULT_OK;
}

CallPlan MappingKeeper::beginRemove(uint64_t nowMs, uint8_t transport, uint16_t externalPort) {
    CallPlan plan;
    if (!hasGateway_) {
        plan.refusal = ERR_NO_GATEWAY;
        return plan;
    }
    lapse(nowMs);
    Entry *held = findExternal(transport, externalPort);
    if (!held && portControl(way_)) {
        plan.refusal = ERR_NOT_MAPPED_HERE;
        return plan;
    }
    const uint64_t ticket = takeTicket();
    // Only a mapping this process holds is deleted at once; any other port is asked about
    // first, so that a remove never deletes another machine's mapping.
    const bool ours = held && held->granted;
    if (!held)
        held = way_ == MappingWay::Upnp ? findNote(transport, externalPort) : nullptr;
    const ExchangeJob job = ours || portControl(way_) ? ExchangeJob::Delete : ExchangeJob::Check;
    if (!held) {
        Entry none;
        none.way = way_;
        none.transport = transport;
        none.externalPort = externalPort;
        none.clientAddress = local_;
        plan.exchange = exchangeFor(none, job, ticket);
        return plan;
    }
    held->removing = true;
    held->deleteFirst = false;
    held->unconfirmed = false; // a note: the remove's exchange takes the check's place
    held->removeTicket = ticket;
    held->failures = 0;
    held->dueAtMs = kNeverMs;
    plan.exchange = exchangeFor(*held, job, ticket);
    if (job == ExchangeJob::Check)
        plan.exchange.internalPort = 0; // whichever internal port: the client decides
    return plan;
}

// The remove's Check answered: the Delete follows when the entry is this host's (and the
// gateway asked is still the gateway).
int32_t MappingKeeper::finishRemoveCheck(uint64_t nowMs, const Exchange &sent,
                                         const ExchangeResult &result, Exchange *next) {
    const bool ours = (result.outcome == ExchangeOutcome::Granted ||
                       result.outcome == ExchangeOutcome::Unsupported) &&
                      next != nullptr && sent.ticket >= gatewayTicketFloor_;
    const auto asked = [&](const Entry &e) { return e.removing && e.removeTicket == sent.ticket; };
    for (std::vector<Entry> *list : {&entries_, &strays_}) {
        const auto it = std::find_if(list->begin(), list->end(), asked);
        if (it == list->end())
            continue;
        if (ours) {
            *next = exchangeFor(*it, ExchangeJob::Delete, takeTicket());
            it->removeTicket = next->ticket;
            return RESULT_OK;
        }
        if (result.outcome == ExchangeOutcome::Unanswered && sent.ticket >= gatewayTicketFloor_) {
            // Nothing is known: it becomes a note, checked again later and deleted only when
            // the entry turns out to name this host.
            Entry note = *it;
            note.unconfirmed = true;
            note.removeTicket = 0;
            note.failures = 0;
            note.dueAtMs = nowMs + deleteBackoffMs(note.failures++);
            list->erase(it);
            strays_.push_back(note);
        } else {
            list->erase(it);
        }
        break;
    }
    if (ours) {
        *next = exchangeFor(entryOf(sent), ExchangeJob::Delete, takeTicket());
        return RESULT_OK;
    }
    return result.outcome == ExchangeOutcome::Unanswered ? codeOf(result) : ERR_NOT_MAPPED_HERE;
}

int32_t MappingKeeper::finishRemove(uint64_t nowMs, const Exchange &sent,
                                    const ExchangeResult &result, Exchange *next) {
    if (next != nullptr)
        next->ticket = 0;
    lapse(nowMs);
    noteEpoch(nowMs, sent, result);
    if (sent.job == ExchangeJob::Check)
        return finishRemoveCheck(nowMs, sent, result, next);
    for (std::vector<Entry> *list : {&entries_, &strays_}) {
        const auto it = std::find_if(list->begin(), list->end(), [&](const Entry &e) {
            return sent.ticket != 0 && e.removing && e.removeTicket == sent.ticket;
        });
        if (it == list->end())
            continue;
        it->removeTicket = 0;
        if (deleteSettled(*it, nowMs, result))
            list->erase(it);
        break;
    }
    return codeOf(result);
}

// --- the keeper's own exchanges ------------------------------------------------------------

// The stray delete, then the mapping, due first and not in flight; the earlier one wins a tie.
MappingKeeper::Entry *MappingKeeper::dueFirst(uint64_t nowMs) {
    Entry *first = nullptr;
    for (std::vector<Entry> *list : {&strays_, &entries_})
        for (Entry &e : *list)
            if (e.inFlight == 0 && e.dueAtMs <= nowMs && (!first || e.dueAtMs < first->dueAtMs))
                first = &e;
    return first;
}

bool MappingKeeper::nextExchange(uint64_t nowMs, Exchange &exchange) {
    lapse(nowMs);
    Entry *e = dueFirst(nowMs);
    // A mapping's exchange due as early carries the epoch too: it goes first.
    if (epochInFlight_ == 0 && epochDueAtMs_ <= nowMs && keepsPortControl() &&
        (!e || epochDueAtMs_ < e->dueAtMs)) {
        exchange = epochExchange(takeTicket());
        epochInFlight_ = exchange.ticket;
        epochDueAtMs_ = nowMs + kEpochCheckEveryMs;
        return true;
    }
    if (!e)
        return false;
    exchange = exchangeFor(*e, jobFor(*e), takeTicket());
    e->inFlight = exchange.ticket;
    return true;
}

void MappingKeeper::finish(uint64_t nowMs, const Exchange &sent, const ExchangeResult &result) {
    lapse(nowMs);
    noteEpoch(nowMs, sent, result); // an Epoch's whole effect, besides ending it
    if (sent.job == ExchangeJob::Epoch) {
        if (sent.ticket == epochInFlight_)
            epochInFlight_ = 0;
        return;
    }
    if (Entry *stray = findInFlight(strays_, sent.ticket)) {
        stray->inFlight = 0;
        if (sent.job == ExchangeJob::Check) {
            // A note's check; after a remove took the note over, its delete decides.
            if (stray->unconfirmed && !checkKeepsNote(*stray, nowMs, result))
                eraseEntry(strays_, *stray);
        } else if (deleteSettled(*stray, nowMs, result)) {
            eraseEntry(strays_, *stray);
        }
        return;
    }
    Entry *e = findInFlight(entries_, sent.ticket);
    if (!e)
        return;
    e->inFlight = 0;
    if (e->removing) {
        if (sent.job != ExchangeJob::Delete || !deleteSettled(*e, nowMs, result))
            return;
        if (result.outcome == ExchangeOutcome::Granted && portControl(e->way) && e->granted) {
            // Deleted by a retry of ours: nothing more is sent for it, but it stays named
            // until its lifetime would have ended, so that the application's own later remove
            // still sends its delete and answers that delete's outcome.
            e->dueAtMs = kNeverMs;
            return;
        }
        eraseEntry(entries_, *e);
    } else if (e->way == MappingWay::Upnp) {
        finishUpnp(*e, nowMs, sent, result);
    } else {
        finishPortControlMap(*e, nowMs, sent, result);
    }
}

uint64_t MappingKeeper::nextWakeMs(uint64_t nowMs) const {
    uint64_t wake = nowMs + kKeeperLongestWaitMs;
    for (const std::vector<Entry> *list : {&strays_, &entries_}) {
        for (const Entry &e : *list) {
            if (e.inFlight == 0)
                wake = std::min(wake, e.dueAtMs);
            if (e.granted && portControl(e.way))
                wake = std::min(wake, e.expiresAtMs); // it lapses there
        }
    }
    if (epochInFlight_ == 0 && keepsPortControl())
        wake = std::min(wake, epochDueAtMs_);
    return std::max(wake, nowMs);
}

// PCP/NAT-PMP mappings whose lifetime has ended are no longer granted; one that is being
// removed, or a stray, is then gone from the gateway and so from here.
void MappingKeeper::lapse(uint64_t nowMs) {
    const auto over = [nowMs](const Entry &e) {
        return portControl(e.way) && e.granted && e.expiresAtMs <= nowMs;
    };
    const auto goneThere = [&](const Entry &e) { return e.removing && over(e); };
    entries_.erase(std::remove_if(entries_.begin(), entries_.end(), goneThere), entries_.end());
    strays_.erase(std::remove_if(strays_.begin(), strays_.end(), over), strays_.end());
    for (Entry &e : entries_)
        if (over(e))
            e.granted = false;
}

void MappingKeeper::grant(Entry &entry, uint64_t nowMs, uint32_t lifetime) const {
    const uint32_t bounded = std::min(lifetime, kLongestLifetimeSeconds);
    const uint64_t lifeMs = lifetimeMs(bounded);
    uint64_t latest = lifeMs > kRenewalMarginMs ? lifeMs - kRenewalMarginMs : 0;
    if (longestRenewalMs_ != 0)
        latest = std::min(latest, longestRenewalMs_);
    entry.granted = true;
    entry.expiresAtMs = nowMs + lifeMs;
    entry.dueAtMs =
        nowMs + std::max(std::min(renewalDelayMs(bounded), latest), kShortestRetryGapMs);
    entry.failures = 0;
}

// A PCP/NAT-PMP Map that failed: a renewal is tried again after half the time left, a lapsed
// mapping after a doubling back-off.
void MappingKeeper::failMap(Entry &entry, uint64_t nowMs) {
    if (entry.granted && nowMs < entry.expiresAtMs) {
        // Half the time left, which stays before the expiry, unless that is less than
        // kShortestRetryGapMs: then that gap, and the mapping may lapse before the try.
        const uint64_t left = entry.expiresAtMs - nowMs;
        entry.dueAtMs = nowMs + std::max(left / 2, kShortestRetryGapMs);
        return;
    }
    entry.granted = false;
    entry.dueAtMs = nowMs + backoffMs(entry.failures++);
}

// The keeper's own Map of `entry` was granted on another port: the gateway moved the mapping
// there, and the stray's delete ends it, so it counts as lapsed and waits its back-off.
void MappingKeeper::lapseMovedMapping(Entry &entry, uint64_t nowMs) {
    entry.granted = false;
    entry.expiresAtMs = 0;
    entry.dueAtMs = nowMs + backoffMs(entry.failures++);
}

// An unanswered delete: sent again after the next back-off step.  False when there is
// nothing left to delete.
bool MappingKeeper::scheduleDeleteRetry(Entry &entry, uint64_t nowMs) {
    if (portControl(entry.way) && !entry.granted)
        return false;
    entry.dueAtMs = nowMs + deleteBackoffMs(entry.failures++);
    return true; // a PCP/NAT-PMP retry at or after the expiry never goes: lapse() drops it
}

// A PCP/NAT-PMP grant on a port not asked for: deleted at once; the stray, or null when it is
// left to lapse or is wanted.  A mapping held under the key shares it at the gateway (same
// nonce and internal port), so it is asked for again after.
MappingKeeper::Entry *MappingKeeper::addStray(uint64_t nowMs, const Exchange &sent,
                                              const ExchangeResult &result) {
    Entry stray = entryOf(sent);
    stray.externalPort = result.externalPort;
    stray.removing = true;
    stray.granted = true;
    stray.expiresAtMs = nowMs + lifetimeMs(result.lifetime);
    stray.dueAtMs = nowMs;
    if (sent.ticket < gatewayTicketFloor_ || sent.ticket < addressTicketFloor_)
        return nullptr; // asked of another gateway or from another address: it lapses there
    Entry *held = findKey(sent.way, sent.transport, sent.internalPort, sent.externalPort);
    if (held && held->externalPort == stray.externalPort)
        return nullptr; // the port the mapping held under the key names: wanted
    if (held && !held->removing)
        held->dueAtMs = std::min(held->dueAtMs, nowMs);
    for (Entry &same : strays_) {
        if (same.transport != stray.transport || same.internalPort != stray.internalPort ||
            same.externalPort != stray.externalPort)
            continue;
        // Granted again while its delete may be out: that delete goes on for it (reported
        // unanswered, it is sent again), and no second one goes out meanwhile.
        const uint64_t out = same.inFlight;
        same = stray;
        same.inFlight = out;
        return &same;
    }
    strays_.push_back(stray);
    return &strays_.back();
}

// A UPnP add that got no answer may have been made: noted, to be checked, unless nothing can
// tell (another gateway's, or no checks here) or a mapping held under the key covers it.
void MappingKeeper::noteUnansweredAdd(uint64_t nowMs, const Exchange &sent) {
    if (sent.way != MappingWay::Upnp || way_ != MappingWay::Upnp ||
        sent.ticket < gatewayTicketFloor_ || checksUnsupported_ ||
        findKey(sent.way, sent.transport, sent.internalPort, sent.externalPort))
        return;
    Entry note = entryOf(sent);
    note.removing = true;
    note.unconfirmed = true;
    note.dueAtMs = nowMs + deleteBackoffMs(note.failures++);
    strays_.push_back(note);
}

// The check of a note: an entry that forwards to the add's client turns the note into a
// delete due at once; no answer asks again later.  False when the note is to be dropped.
bool MappingKeeper::checkKeepsNote(Entry &note, uint64_t nowMs, const ExchangeResult &result) {
    switch (result.outcome) {
    case ExchangeOutcome::Granted:
        note.unconfirmed = false;
        note.failures = 0;
        note.dueAtMs = nowMs;
        return true;
    case ExchangeOutcome::Unanswered:
        note.dueAtMs = nowMs + deleteBackoffMs(note.failures++);
        return true;
    case ExchangeOutcome::Unsupported:
        checksUnsupported_ = true;
        return false;
    case ExchangeOutcome::Refused:
        return false;
    }
    return false;
}

// The outcome of a delete: true when the mapping is gone (deleted, or the gateway will not
// take the delete), or nothing is left of it to delete.
bool MappingKeeper::deleteSettled(Entry &entry, uint64_t nowMs, const ExchangeResult &result) {
    return result.outcome == ExchangeOutcome::Granted ||
           result.outcome == ExchangeOutcome::Refused || !scheduleDeleteRetry(entry, nowMs);
}

void MappingKeeper::eraseEntry(std::vector<Entry> &list, const Entry &entry) {
    list.erase(list.begin() + (&entry - list.data()));
}

void MappingKeeper::finishUpnp(Entry &e, uint64_t nowMs, const Exchange &sent,
                               const ExchangeResult &result) {
    const ExchangeOutcome outcome = result.outcome;
    if (sent.job == ExchangeJob::Delete) { // the old mapping of an address change
        if (outcome == ExchangeOutcome::Unanswered) {
            e.dueAtMs = nowMs + deleteBackoffMs(e.failures++);
        } else {
            e.deleteFirst = false;
            e.failures = 0;
            e.dueAtMs = nowMs;
        }
        return;
    }
    if (outcome == ExchangeOutcome::Granted) {
        e.granted = true;
        e.failures = 0;
        e.dueAtMs = nowMs + kUpnpCheckEveryMs;
    } else if (sent.job == ExchangeJob::Check && outcome == ExchangeOutcome::Unanswered) {
        e.dueAtMs = nowMs + kCheckRetryMs;
    } else if (sent.job == ExchangeJob::Check) {
        checksUnsupported_ = checksUnsupported_ || outcome == ExchangeOutcome::Unsupported;
        e.granted = e.granted && outcome == ExchangeOutcome::Unsupported;
        e.dueAtMs = nowMs;
    } else {
        e.granted = e.granted && outcome == ExchangeOutcome::Unanswered;
        e.dueAtMs = nowMs + backoffMs(e.failures++);
    }
}

void MappingKeeper::finishPortControlMap(Entry &e, uint64_t nowMs, const Exchange &sent,
                                         const ExchangeResult &result) {
    if (grantedAsAsked(sent, result)) {
        grant(e, nowMs, result.lifetime);
        return;
    }
    if (grantedElsewhere(sent, result)) {
        addStray(nowMs, sent, result);
        lapseMovedMapping(e, nowMs);
        return;
    }
    failMap(e, nowMs);
}

// --- what was heard and seen ---------------------------------------------------------------

// An answer's epoch counts for the gateway it came from: not for one found since.
void MappingKeeper::noteEpoch(uint64_t nowMs, const Exchange &sent, const ExchangeResult &result) {
    if (!result.hasEpoch || sent.ticket < gatewayTicketFloor_ || !portControl(way_))
        return;
    if (!serverLostState(epoch_, result.epoch, nowMs))
        return;
    for (Entry &e : entries_)
        if (!e.removing && portControl(e.way))
            e.dueAtMs = nowMs;
}

// Each kept mapping is due now, or kNoticeCheckGapMs after its last exchange went out.
void MappingKeeper::dueWithinGap(uint64_t nowMs, bool upnpOnly) {
    for (Entry &e : entries_) {
        if (e.removing || (upnpOnly && e.way != MappingWay::Upnp))
            continue;
        // Counted from the last time a notice made it due, not from the add or a renewal: a
        // restart right after the add is acted on at once all the same.
        const uint64_t at =
            e.noticed ? std::max(nowMs, e.noticeDueAtMs + kNoticeCheckGapMs) : nowMs;
        if (at >= e.dueAtMs)
            continue;
        e.dueAtMs = at;
        e.noticed = true;
        e.noticeDueAtMs = at;
    }
}

bool MappingKeeper::portControlAnnouncement(uint64_t nowMs, uint32_t source, uint16_t sourcePort,
                                            uint32_t epoch) {
    if (!hasGateway_ || !portControl(way_) || source != gateway_ || sourcePort != kPortControlPort)
        return false;
    lapse(nowMs);
    serverLostState(epoch_, epoch, nowMs); // kept current; the renewal below covers a loss
    dueWithinGap(nowMs, false);
    return true;
}

bool MappingKeeper::ssdpNotice(uint64_t nowMs, uint32_t source, SsdpNoticeKind kind, bool hasBootId,
                               uint32_t bootId) {
    if (!hasGateway_ || way_ != MappingWay::Upnp || source != gateway_)
        return false;
    if (kind == SsdpNoticeKind::ByeBye) {
        byeByeHeard_ = true;
        return false;
    }
    const bool restart = !hasBootId || byeByeHeard_ || (bootIdKnown_ && bootId != bootId_);
    byeByeHeard_ = false;
    if (hasBootId) {
        bootIdKnown_ = true;
        bootId_ = bootId;
    }
    if (restart) {
        lapse(nowMs);
        dueWithinGap(nowMs, true);
    }
    return restart;
}

void MappingKeeper::localAddressSeen(uint64_t nowMs, uint32_t address) {
    if (address == 0 || address == local_)
        return;
    local_ = address;
    addressTicketFloor_ = nextTicket_;
    lapse(nowMs);
    dropPortControlRemovals();
    for (Entry &e : entries_)
        if (!e.removing)
            remake(e, nowMs, true);
}

// No request from the new address can name a PCP/NAT-PMP mapping made from the old one.
void MappingKeeper::dropPortControlRemovals() {
    const auto named = [](const Entry &e) { return e.removing && portControl(e.way); };
    entries_.erase(std::remove_if(entries_.begin(), entries_.end(), named), entries_.end());
    // Notes of UPnP adds stay: a check names the client they were made for, and a
    // DeletePortMapping names none.
    strays_.erase(std::remove_if(strays_.begin(), strays_.end(), named), strays_.end());
}

uint32_t MappingKeeper::localAddress() const {
    return local_;
}

// --- looking in ----------------------------------------------------------------------------

std::vector<MappingKeeper::Held> MappingKeeper::held() const {
    std::vector<Held> out;
    out.reserve(entries_.size());
    for (const Entry &e : entries_)
        out.push_back(Held{e.way, e.transport, e.internalPort, e.externalPort, e.nonce,
                           e.clientAddress, e.removing, e.granted,
                           portControl(e.way) ? e.expiresAtMs : 0, e.dueAtMs, e.inFlight != 0});
    return out;
}

bool MappingKeeper::empty() const {
    return entries_.empty() && strays_.empty();
}

} // namespace portlink
