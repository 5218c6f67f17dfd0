#include "pinhole_keeper.h"

#include <algorithm>
#include <iterator>
#include <utility>

namespace portlink {

namespace {

constexpr uint32_t kCloseRetries = std::size(kPinholeCloseRetryAfterMs);

bool refusedForGood(const PinholeResult &result) {
    return result.outcome == ExchangeOutcome::Refused && !result.retryLater;
}

} // namespace

PinholeKeeper::PinholeKeeper(std::function<bool(MappingNonce &)> drawNonce)
    : drawNonce_(std::move(drawNonce)) {}

bool PinholeKeeper::listed(PinholeWay way) const {
    return std::find(ways_.begin(), ways_.end(), way) != ways_.end();
}

// A pinhole of a wanted port, due at once.  One that is closing is wanted again: it stays
// as it is at the gateway and is renewed (or, when its Close is out, opened after it).
void PinholeKeeper::addEntry(uint64_t nowMs, uint8_t transport, uint16_t port,
                             const Ipv6Address &address) {
    for (Entry &e : entries_) {
        if (e.parting || e.transport != transport || e.port != port || e.address != address)
            continue;
        if (e.closing) {
            e.closing = false;
            e.closeSends = 0;
            e.dueAtMs = nowMs;
        }
        return;
    }
    Entry fresh;
    fresh.transport = transport;
    fresh.port = port;
    fresh.address = address;
    fresh.way = ways_.empty() ? PinholeWay::Upnp : ways_.front();
    fresh.dueAtMs = nowMs;
    entries_.push_back(fresh);
}

void PinholeKeeper::notOpen(Entry &entry) {
    entry.open = false;
    entry.reopen = false;
    entry.uniqueId = 0;
    entry.expiresAtMs = 0;
}

void PinholeKeeper::erase(const Entry &entry) {
    entries_.erase(entries_.begin() + (&entry - entries_.data()));
}

// --- the network ---------------------------------------------------------------------------

void PinholeKeeper::setWays(uint64_t nowMs, const std::vector<PinholeWay> &ways) {
    tick(nowMs);
    if (ways == ways_)
        return;
    const bool newFirst = ways_.empty() || ways.empty() || ways.front() != ways_.front();
    ways_ = ways;
    if (ways_.empty())
        return; // nothing is sent until there is a way again; that one is then a new first
    for (Entry &e : entries_) {
        if (e.open || (!newFirst && listed(e.way)))
            continue;
        e.way = ways_.front();
        e.dueAtMs = nowMs;
    }
}

bool PinholeKeeper::preferred(const Ipv6Address &address) const {
    for (const KnownAddress &k : addresses_)
        if (k.address == address)
            return k.preferred;
    return false;
}

// Its next exchange is an Open, and its address may not ask for a new pinhole.
bool PinholeKeeper::waitsForPreferred(const Entry &entry) const {
    return !entry.closing && (!entry.open || entry.reopen) && !preferred(entry.address);
}

void PinholeKeeper::setAddresses(uint64_t nowMs, const std::vector<PinholeAddress> &addresses) {
    tick(nowMs);
    for (KnownAddress &k : addresses_) {
        const auto same = [&](const PinholeAddress &a) { return a.address == k.address; };
        const auto seen = std::find_if(addresses.begin(), addresses.end(), same);
        if (seen == addresses.end()) {
            if (!k.missing)
                k.missingSinceMs = nowMs;
            k.missing = true;
            continue;
        }
        k.missing = false;
        if (k.preferred == seen->preferred)
            continue;
        k.preferred = seen->preferred;
        for (Entry &e : entries_) // a reopen not yet sent can no longer be
            if (e.address == k.address && e.open && e.reopen && e.inFlight == 0)
                reopenLater(e, nowMs);
    }
    for (const PinholeAddress &a : addresses) {
        const auto same = [&](const KnownAddress &k) { return k.address == a.address; };
        if (std::any_of(addresses_.begin(), addresses_.end(), same))
            continue;
        addresses_.push_back(KnownAddress{a.address, a.preferred, false, 0});
        for (const Port &w : wanted_)
            addEntry(nowMs, w.transport, w.port, a.address);
    }
}

// --- the application's ports ---------------------------------------------------------------

void PinholeKeeper::want(uint64_t nowMs, uint8_t transport, uint16_t port) {
    tick(nowMs);
    for (const Port &w : wanted_)
        if (w.transport == transport && w.port == port)
            return;
    wanted_.push_back(Port{transport, port});
    for (const KnownAddress &a : addresses_)
        addEntry(nowMs, transport, port, a.address);
}

void PinholeKeeper::unwant(uint64_t nowMs, uint8_t transport, uint16_t port) {
    tick(nowMs);
    const auto named = [&](const Port &w) { return w.transport == transport && w.port == port; };
    const auto at = std::find_if(wanted_.begin(), wanted_.end(), named);
    if (at == wanted_.end())
        return;
    wanted_.erase(at);
    for (size_t i = entries_.size(); i-- > 0;) {
        Entry &e = entries_[i];
        if (e.parting || e.transport != transport || e.port != port)
            continue;
        e.closing = true;
        e.reopen = false;
        e.closeSends = 0;
        if (e.inFlight != 0)
            continue; // its answer decides: an Open granted meanwhile is closed then
        if (e.open)
            e.dueAtMs = nowMs;
        else
            erase(e);
    }
}

std::vector<PinholeExchange> PinholeKeeper::takeCloses(uint64_t nowMs, uint8_t transport,
                                                       uint16_t port) {
    tick(nowMs);
    std::vector<PinholeExchange> closes;
    if (ways_.empty())
        return closes;
    for (Entry &e : entries_)
        if (e.closing && e.open && e.inFlight == 0 && e.transport == transport && e.port == port)
            closes.push_back(handOut(e, nowMs));
    return closes;
}

void PinholeKeeper::gatewayRestarted(uint64_t nowMs) {
    tick(nowMs);
    for (Entry &e : entries_) {
        if (!e.open || e.closing)
            continue;
        e.reopen = true;
        if (e.inFlight == 0) // else its answer decides
            reopenLater(e, nowMs);
    }
}

// An open pinhole the gateway lost is opened again, at most once per kNoticeCheckGapMs; one
// of an address no longer preferred cannot be: it is not open, and opened once it may be.
void PinholeKeeper::reopenLater(Entry &entry, uint64_t nowMs) {
    if (!preferred(entry.address)) {
        notOpen(entry);
        entry.dueAtMs = nowMs;
        return;
    }
    entry.dueAtMs =
        std::min(entry.dueAtMs, std::max(nowMs, entry.lastSentAtMs + kNoticeCheckGapMs));
}

// --- exchanges -----------------------------------------------------------------------------

// What time alone changes, brought up to nowMs before anything else.
void PinholeKeeper::tick(uint64_t nowMs) {
    lapse(nowMs);
    forgetGoneAddresses(nowMs);
}

// An open pinhole whose lifetime is over is open no more; a closing one is then gone.
void PinholeKeeper::lapse(uint64_t nowMs) {
    for (size_t i = entries_.size(); i-- > 0;) {
        Entry &e = entries_[i];
        if (!e.open || e.expiresAtMs > nowMs)
            continue;
        if (e.closing) {
            erase(e);
            continue;
        }
        notOpen(e);
    }
}

// Pinholes of an address missing for kAddressGoneAfterMs: an open one, or one whose answer is
// awaited, parts with one Close; the rest are forgotten at once.
void PinholeKeeper::forgetGoneAddresses(uint64_t nowMs) {
    for (size_t i = addresses_.size(); i-- > 0;) {
        const KnownAddress gone = addresses_[i];
        if (!gone.missing || nowMs - gone.missingSinceMs < kAddressGoneAfterMs)
            continue;
        addresses_.erase(addresses_.begin() + i);
        for (size_t j = entries_.size(); j-- > 0;) {
            Entry &e = entries_[j];
            if (e.parting || e.address != gone.address)
                continue;
            if (!e.open && e.inFlight == 0) {
                erase(e);
                continue;
            }
            e.parting = true;
            e.closing = true;
            e.reopen = false;
            if (e.inFlight == 0)
                e.dueAtMs = nowMs;
        }
    }
}

PinholeKeeper::Entry *PinholeKeeper::dueFirst(uint64_t nowMs) {
    Entry *first = nullptr;
    for (Entry &e : entries_) {
        const bool ready = e.inFlight == 0 && e.dueAtMs <= nowMs && !waitsForPreferred(e);
        if (ready && (first == nullptr || e.dueAtMs < first->dueAtMs))
            first = &e;
    }
    return first;
}

// PCP names a pinhole by its nonce, drawn the first time the pinhole goes out through PCP.
bool PinholeKeeper::giveNonce(Entry &entry) {
    if (entry.way != PinholeWay::Pcp || entry.hasNonce)
        return true;
    MappingNonce drawn{};
    entry.hasNonce = drawNonce_ && drawNonce_(drawn);
    if (entry.hasNonce)
        entry.nonce = drawn;
    return entry.hasNonce;
}

PinholeExchange PinholeKeeper::handOut(Entry &entry, uint64_t nowMs) {
    PinholeExchange x;
    x.ticket = nextTicket_++;
    x.job = entry.closing                 ? PinholeJob::Close
            : entry.open && !entry.reopen ? PinholeJob::Renew
                                          : PinholeJob::Open;
    x.way = entry.way;
    x.transport = entry.transport;
    x.port = entry.port;
    x.address = entry.address;
    x.nonce = entry.nonce;
    x.uniqueId = x.job == PinholeJob::Open ? 0 : entry.uniqueId;
    entry.inFlight = x.ticket;
    entry.lastSentAtMs = nowMs;
    if (entry.closing && entry.closeSends++ == 0)
        entry.closeStartMs = nowMs;
    return x;
}

bool PinholeKeeper::nextExchange(uint64_t nowMs, PinholeExchange &exchange) {
    tick(nowMs);
    if (ways_.empty())
        return false;
    while (Entry *e = dueFirst(nowMs)) {
        if (!e->open && !listed(e->way))
            e->way = ways_.front();
        if (!giveNonce(*e)) {
            e->dueAtMs = nowMs + kPinholeRetryMs;
            continue;
        }
        exchange = handOut(*e, nowMs);
        return true;
    }
    return false;
}

void PinholeKeeper::grant(Entry &entry, uint64_t nowMs, const PinholeExchange &sent,
                          const PinholeResult &result) {
    entry.way = sent.way;
    entry.open = true;
    if (sent.job == PinholeJob::Open) {
        entry.reopen = false;
        entry.uniqueId = result.uniqueId;
    } else {
        entry.uniqueId = sent.uniqueId;
    }
    entry.expiresAtMs = nowMs + uint64_t{result.lifetime} * 1000;
    entry.dueAtMs = nowMs + renewalDelayMs(result.lifetime);
}

// The pinhole is not open (any more): when to ask for it again, and through which way.
void PinholeKeeper::failOpen(Entry &entry, uint64_t nowMs, const PinholeExchange &sent,
                             const PinholeResult &result) {
    notOpen(entry);
    if (entry.way != sent.way || !listed(entry.way)) {
        // The ways changed while it was out, or its way is no longer offered.
        entry.way = ways_.empty() ? entry.way : ways_.front();
        entry.dueAtMs = nowMs;
    } else if (sent.job == PinholeJob::Renew && sent.way == PinholeWay::Upnp &&
               result.outcome == ExchangeOutcome::Refused) {
        entry.dueAtMs = nowMs; // the id is unknown there: asked for anew
    } else if (refusedForGood(result)) {
        // The next way at once; after the last one, the first again in a while.
        const auto at = std::find(ways_.begin(), ways_.end(), sent.way) + 1;
        entry.way = at != ways_.end() ? *at : ways_.front();
        entry.dueAtMs = at != ways_.end() ? nowMs : nowMs + kPinholeRetryMs;
    } else {
        entry.dueAtMs = nowMs + kPinholeRetryMs;
    }
}

void PinholeKeeper::finishOpenOrRenew(Entry &entry, uint64_t nowMs, const PinholeExchange &sent,
                                      const PinholeResult &result) {
    if (result.outcome == ExchangeOutcome::Granted && result.lifetime > 0) {
        grant(entry, nowMs, sent, result);
        return;
    }
    const bool renewLasts = sent.job == PinholeJob::Renew && entry.open &&
                            result.outcome != ExchangeOutcome::Granted &&
                            !(result.outcome == ExchangeOutcome::Refused &&
                              (sent.way == PinholeWay::Upnp || !result.retryLater));
    if (!renewLasts) {
        failOpen(entry, nowMs, sent, result);
        return;
    }
    const uint64_t left = entry.expiresAtMs - nowMs; // above 0: lapse() ran
    entry.dueAtMs = nowMs + std::max(left / 2, kShortestRetryGapMs);
}

// The answer to a Close: true when the pinhole is gone.
bool PinholeKeeper::closeSettled(Entry &entry, uint64_t nowMs, const PinholeResult &result) {
    if (entry.parting) // its one Close
        return true;
    if (!entry.closing) { // wanted again while its Close was out: opened anew
        notOpen(entry);
        entry.dueAtMs = nowMs;
        return false;
    }
    // Closed, refused, tried often enough, or lapsed meanwhile: nothing is left to close.
    if (result.outcome != ExchangeOutcome::Unanswered || entry.closeSends > kCloseRetries ||
        !entry.open)
        return true;
    // None handed out since the last unwant: this one was sent for an earlier one.
    entry.dueAtMs = entry.closeSends == 0
                        ? nowMs
                        : entry.closeStartMs + kPinholeCloseRetryAfterMs[entry.closeSends - 1];
    return false;
}

void PinholeKeeper::finish(uint64_t nowMs, const PinholeExchange &sent,
                           const PinholeResult &result) {
    tick(nowMs);
    const auto out = std::find_if(entries_.begin(), entries_.end(),
                                  [&](const Entry &e) { return e.inFlight == sent.ticket; });
    if (sent.ticket == 0 || out == entries_.end())
        return;
    Entry &e = *out;
    e.inFlight = 0;
    if (sent.job == PinholeJob::Close) {
        if (closeSettled(e, nowMs, result))
            erase(e);
        return;
    }
    finishOpenOrRenew(e, nowMs, sent, result);
    if (e.closing && !e.open) {
        erase(e);
    } else if (e.closing) {
        e.dueAtMs = nowMs;
    } else if (e.open && e.reopen) { // a Renew that was out when the gateway restarted
        reopenLater(e, nowMs);
    }
}

uint64_t PinholeKeeper::nextWakeMs(uint64_t nowMs) const {
    uint64_t wake = nowMs + kKeeperLongestWaitMs;
    for (const Entry &e : entries_) {
        if (e.open)
            wake = std::min(wake, e.expiresAtMs); // it lapses there
        if (!ways_.empty() && e.inFlight == 0 && !waitsForPreferred(e))
            wake = std::min(wake, e.dueAtMs);
    }
    for (const KnownAddress &a : addresses_)
        if (a.missing)
            wake = std::min(wake, a.missingSinceMs + kAddressGoneAfterMs);
    return std::max(nowMs, wake);
}

// --- looking in ----------------------------------------------------------------------------

std::vector<PinholeKeeper::Held> PinholeKeeper::held() const {
    std::vector<Held> out;
    out.reserve(entries_.size());
    for (const Entry &e : entries_)
        if (!e.parting)
            out.push_back(Held{e.transport, e.port, e.address, e.way, e.open, e.closing, e.uniqueId,
                               e.nonce, e.open ? e.expiresAtMs : 0});
    return out;
}

bool PinholeKeeper::empty() const {
    return wanted_.empty() && entries_.empty();
}

} // namespace portlink
