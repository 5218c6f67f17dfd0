#pragma once
// The keeper of this process's port mappings, for every protocol: which mappings there are,
// what to send for them and when, and what an answer, an announcement or a change of the
// network means for them.  It sends nothing and reads no clock: the caller hands it the time
// (ms, monotonic) with every event and carries out the exchanges it asks for, one at a time,
// reporting each outcome back.  Not thread-safe: the caller serialises every call.
//
// Keys.  PCP and NAT-PMP name a mapping by transport protocol and internal port, so the keeper
// holds at most one mapping per (transport, internal port) there; UPnP names a mapping by
// transport protocol and external port.  The application always names a mapping by external
// port and transport when it removes one.
#include <cstdint>
#include <functional>
#include <vector>

#include "gateway_types.h"
#include "port_control.h"

namespace portlink {

// What one exchange does.
enum class ExchangeJob : uint8_t {
    Map,    // UPnP AddPortMapping (lease 0); PCP MAP or NAT-PMP map with kMappingLifetime
    Delete, // UPnP DeletePortMapping; PCP MAP or NAT-PMP map with lifetime 0
    Check,  // UPnP GetSpecificPortMappingEntry of (external port, transport)
    // PCP ANNOUNCE (way Pcp) or NAT-PMP external address request (way NatPmp) to the
    // gateway's port 5351: asks only for the server's epoch.  Names no mapping.  Of its
    // result only hasEpoch and epoch count (Granted or Refused: answered; else Unanswered).
    Epoch,
};

// One exchange for the caller to carry out, then to report with its ticket.  An Epoch
// exchange sets only ticket, job, way and clientAddress.
struct Exchange {
    uint64_t ticket = 0; // names this exchange when its outcome is reported; never 0
    ExchangeJob job = ExchangeJob::Map;
    MappingWay way = MappingWay::Upnp;
    uint8_t transport = kProtocolTcp; // 6 or 17
    uint16_t internalPort = 0;
    uint16_t externalPort = 0;  // the port asked for (Map) or the one to delete or check
    MappingNonce nonce{};       // PCP: the mapping's nonce
    uint32_t clientAddress = 0; // the address the mapping names (network order); a UPnP
                                // check compares the entry's internal client with it
};

// How an exchange ended, as the caller saw it.
enum class ExchangeOutcome : uint8_t {
    // Map: the gateway granted it.  Delete: deleted.  Check: the entry is there and forwards
    // to clientAddress:internalPort.
    Granted,
    // Map, Delete: the gateway answered with an error.  Check: no such entry, or it names
    // another client or internal port.
    Refused,
    // No answer at all (or no socket, or nothing could be sent).
    Unanswered,
    // Check only: the gateway does not know the action (it is then checked by adding again).
    Unsupported,
};

struct ExchangeResult {
    ExchangeOutcome outcome = ExchangeOutcome::Unanswered;
    int32_t code = 0;          // the result code the caller got (0 when granted)
    uint16_t externalPort = 0; // PCP/NAT-PMP Map granted: the external port assigned
    uint32_t lifetime = 0;     // PCP/NAT-PMP Map granted: seconds granted
    bool hasEpoch = false;     // PCP/NAT-PMP: the answer carried the server's epoch
    uint32_t epoch = 0;
    // The gateway's external address where the answer names it (network order; 0: none):
    // a granted PCP MAP's assigned IPv4 address, a NAT-PMP external address answer.
    uint32_t externalAddress = 0;
};

// An exchange that got no answer (or could not be sent), with the result code the caller got.
inline ExchangeResult unansweredResult(int32_t code) {
    ExchangeResult result;
    result.outcome = ExchangeOutcome::Unanswered;
    result.code = code;
    return result;
}

// SSDP NOTIFY kinds that matter here.
enum class SsdpNoticeKind : uint8_t { Alive, ByeBye };

// What the application call has to do next: either answer `refusal` at once (not 0; nothing
// is sent), or carry out `exchange` and report it with finishAdd / finishRemove.
struct CallPlan {
    int32_t refusal = 0;
    Exchange exchange;
};

// Timing rules, in ms.
constexpr uint64_t kKeeperLongestWaitMs = 60000;  // no single wait is longer
constexpr uint64_t kUpnpCheckEveryMs = 120000;    // every kept UPnP mapping is checked so often
constexpr uint64_t kNoticeCheckGapMs = 5000;      // notices: at most one check per mapping so often
constexpr uint64_t kLapsedRetryMaxMs = 60000;     // a lapsed mapping is asked for at least so often
constexpr uint64_t kShortestRetryGapMs = 1000;    // retries of one mapping at least so far apart
constexpr uint64_t kCheckRetryMs = 15000;         // a check that got no answer is asked again then
constexpr uint64_t kRenewalTriesBeforeExpiry = 3; // a renewal gets at least so many tries in time
// A delete that got no answer is sent again this long after its outcome was reported, the
// wait doubling with each further one (2 s, 4 s, 8 s, ...) up to kDeleteRetryMaxMs, with no
// limit on the count: while the gateway stays the same and, for PCP/NAT-PMP, while the
// mapping's lifetime lasts.  A check of an unanswered UPnP add follows the same steps.
constexpr uint64_t kDeleteRetryFirstMs = 2000;
constexpr uint64_t kDeleteRetryMaxMs = 60000;
// While any mapping is kept through PCP or NAT-PMP, an Epoch exchange is handed out so often
// (counted from the last one handed out), answered or not.
constexpr uint64_t kEpochCheckEveryMs = 120000;
// A granted PCP/NAT-PMP lifetime longer than this counts as this long for every timing rule.
constexpr uint32_t kLongestLifetimeSeconds = 86400;

// When what is due (t is the time the outcome was reported):
// - PCP/NAT-PMP Map granted for L s (L at most kLongestLifetimeSeconds, whatever was
//   granted): expires at t + L s; renewed at t + L/2, but no later than
//   3 s before it expires when L allows (so even a short lifetime leaves kRenewalTriesBeforeExpiry
//   tries), and never before t + 1 s.
// - A renewal that failed (refused or unanswered) before expiry: tried again after half the
//   time left, but at least kShortestRetryGapMs later; the mapping counts as lapsed at the
//   expiry, so a try that falls after it is a lapsed one.
// - Lapsed (PCP/NAT-PMP), and UPnP re-adds that failed: tried again with the same nonce after
//   1 s, 2 s, 4 s, ... doubling with each failure, at most kLapsedRetryMaxMs apart.
// - A renewal or re-add of the keeper's own (not the application's add) that the gateway
//   granted on another port: the gateway moved the mapping there, and that grant is deleted
//   as a stray, so the mapping counts as lapsed and is tried again as above (1 s, 2 s, ...).
// - UPnP Map granted, or a check that found the entry: checked again kUpnpCheckEveryMs later.
//   A check that found none (Refused): a Map due at once.  Unsupported: from then on every
//   check of this gateway is a Map.  Unanswered: checked again kCheckRetryMs later.
// - Deletes that got no answer (a remove's, a stray's, the old UPnP mapping of an address
//   change): sent again after kDeleteRetryFirstMs, doubling up to kDeleteRetryMaxMs.
// - A UPnP add that got no answer, for a key nothing is held under, may have been made all the
//   same: the keeper notes it (not a kept mapping: held() does not show it) and checks it
//   kDeleteRetryFirstMs later, again with the delete steps while unanswered.  An entry that
//   forwards to the add's client and internal port is deleted (Delete, retried as above): the
//   application was told the add failed.  No entry, another client's or port's, or a gateway
//   that knows no check: the note is dropped.  The answer of a later add of the same key
//   replaces the note, and a later remove of it takes the note's place with its own delete.
// - Epoch: kEpochCheckEveryMs after the last one was handed out (or after the first mapping
//   is kept there); it counts only as an answer carrying an epoch, never as a notice.
// - A notice or announcement that counts makes each kept mapping due at
//   max(now, the time a notice last made it due + kNoticeCheckGapMs), unless it is due
//   earlier anyway.
// - Every answer that carries an epoch is fed to serverLostState; when the server lost its
//   state, every PCP/NAT-PMP mapping is due at once.
class MappingKeeper {
  public:
    // `drawNonce` fills a fresh random PCP nonce; false when none could be drawn.
    explicit MappingKeeper(std::function<bool(MappingNonce &)> drawNonce);

    // --- the gateway -------------------------------------------------------------------
    // The gateway that discovery found (address in network order) and how it is spoken to.
    // Called once after discovery.  When it is called again with another gateway or way
    // (a later search found another one), every kept mapping is made anew there: its key is
    // taken again as the new way names it (a mapping whose new key is held already is
    // dropped), PCP gets a fresh nonce, and a Map is due at once; mappings being removed are
    // dropped, and the epoch and notice history start again.  The same gateway and way
    // again changes nothing, and so does a change from PCP to NAT-PMP on the same gateway (a
    // server that answered PCP in NAT-PMP's "unsupported version" form): the keys are the
    // same, and only the way changes.
    void setGateway(uint64_t nowMs, MappingWay way, uint32_t gatewayAddress);
    bool hasGateway() const;
    MappingWay way() const;
    uint32_t gatewayAddress() const;

    // --- the application's calls ---------------------------------------------------------
    // An add of external -> clientAddress:internal.  Refused at once with
    // ERR_NO_GATEWAY before setGateway, ERR_NOT_LAN_ADDRESS when clientAddress is not private
    // (see isPrivateAddress), ERR_PORT_TAKEN_HERE for PCP and NAT-PMP when this process
    // already maps that (transport, internal port) to another external port, ERR_NO_NONCE
    // when a new PCP mapping finds no nonce.  Otherwise a Map exchange: for a mapping that is
    // held already under that key, with its own nonce (asking again renews it).  A
    // clientAddress other than the one known is taken as localAddressSeen first.
    CallPlan beginAdd(uint64_t nowMs, uint8_t transport, uint16_t internalPort,
                      uint16_t externalPort, uint32_t clientAddress);
    // The add's answer: 0 only when the gateway granted exactly the external port asked for
    // (PCP/NAT-PMP: with a lifetime above 0; SUCCESS with lifetime 0 is a refusal).  Only a
    // grant replaces what was held under the key: a failed add leaves an existing mapping
    // exactly as it was.  A PCP/NAT-PMP grant on another port is not kept: that mapping is
    // deleted at once, and the add answers ERR_OTHER_PORT.  With `cleanUp` not null, that
    // Delete is handed out through it, already in flight under a fresh ticket, to be carried
    // out now and reported with finish(); without, nextExchange hands it out.  `*cleanUp` gets
    // ticket 0 whenever no Delete is handed out through it (also when a delete of that same
    // mapping is out already: that one stands for it).  Failures answer the result's code
    // (ERR_MAPPING_REFUSED for a grant of lifetime 0); an unanswered UPnP add is noted and
    // checked (see above).
    int32_t finishAdd(uint64_t nowMs, const Exchange &sent, const ExchangeResult &result,
                      Exchange *cleanUp = nullptr);

    // A remove of (transport, external port).  PCP and NAT-PMP: ERR_NOT_MAPPED_HERE, with
    // nothing sent, unless this process holds such a mapping.  UPnP: a Delete for a mapping
    // this process holds (granted, and not found since to name another client); for any
    // other port, the gateway is asked first: a Check of the entry with internal port 0 (any
    // internal port will do, the client must be this host), whose outcome finishRemove
    // turns into the Delete or the answer.  Either takes the place of a note of an
    // unanswered add of that key.  ERR_NO_GATEWAY before setGateway.  From here on the
    // mapping is no longer renewed or checked.
    CallPlan beginRemove(uint64_t nowMs, uint8_t transport, uint16_t externalPort);
    // The remove's answer.  Granted: the mapping is gone from the table, 0.  Refused: gone
    // too (the gateway will not take it), the result's code.  Unanswered: kept, no longer
    // renewed, its delete sent again after kDeleteRetryFirstMs, 2x, 4x ... (at most
    // kDeleteRetryMaxMs apart) while the gateway stays and, for PCP/NAT-PMP, the lifetime
    // lasts; the result's code.  A later remove sends it again.
    // The answer to the remove's Check, so that a remove never deletes another machine's
    // mapping: the entry names this host (Granted), or the gateway does not know the action
    // (Unsupported): the Delete is handed out through `next` (in flight under a fresh ticket;
    // it is reported with finishRemove again) and 0 is returned; `next` gets ticket 0 in every
    // other case.  No such entry, another client's, or a 2xx answer naming no client
    // (Refused): ERR_NOT_MAPPED_HERE, and what the table held under the key is dropped; no
    // answer: its code, and what the table held under the key becomes a note of an unanswered
    // add (checked later, deleted only when the entry names this host).  The remove itself
    // deletes nothing then.
    int32_t finishRemove(uint64_t nowMs, const Exchange &sent, const ExchangeResult &result,
                         Exchange *next = nullptr);

    // --- mappings the keeper makes on its own ---------------------------------------------
    // Mappings that no application call asks for: those that the service derives from the
    // ones the application keeps (the second mapping on a router beyond the gateway).  They
    // name the address localAddressSeen gave, which need not be private.
    // keep: a mapping of (transport, internal port -> external port) is wanted.  Unless one is
    // held under that key and not being removed, it is made by nextExchange at once (PCP with a
    // fresh nonce), then kept as the application's are; a Map that fails is tried again after
    // 1 s, 2 s, 4 s ... (at most kLapsedRetryMaxMs apart).  False before setGateway or
    // without a local address, or when no nonce could be drawn.
    bool keep(uint64_t nowMs, uint8_t transport, uint16_t internalPort, uint16_t externalPort);
    // release: the mapping held under (transport, external port) is no longer wanted.  One
    // the gateway never granted is dropped; one it did is deleted, its delete retried as a
    // remove's is.  With `deleteNow` not null, that Delete is handed out through it, in flight
    // under a fresh ticket, to be reported with finish(); else nextExchange hands it out.
    // `*deleteNow` gets ticket 0 when nothing is handed out.
    void release(uint64_t nowMs, uint8_t transport, uint16_t externalPort,
                 Exchange *deleteNow = nullptr);
    // Everything held is forgotten without a word to the gateway, and the gateway with it
    // (hasGateway() is false until setGateway); outcomes of exchanges out now change nothing.
    void forget();
    // PCP/NAT-PMP renewals come at most this long after a grant (0: no bound of its own).
    void setLongestRenewalMs(uint64_t ms) { longestRenewalMs_ = ms; }

    // --- the keeper's own exchanges --------------------------------------------------------
    // The exchange due first at `nowMs`, if any is due: a renewal, a check, a re-add, a
    // delete retry, an Epoch.  It is in flight until finish() reports it; nothing else is
    // handed out for that mapping (or, for an Epoch, no other Epoch) meanwhile.
    bool nextExchange(uint64_t nowMs, Exchange &exchange);
    // The outcome of an exchange from nextExchange or finishAdd's `cleanUp`.  One whose
    // mapping was replaced or removed meanwhile changes nothing (but its epoch still counts).
    // An Epoch's epoch that shows lost state makes every PCP/NAT-PMP mapping due at once.
    void finish(uint64_t nowMs, const Exchange &sent, const ExchangeResult &result);
    // When the next exchange falls due: never later than nowMs + kKeeperLongestWaitMs, never
    // earlier than nowMs.
    uint64_t nextWakeMs(uint64_t nowMs) const;

    // --- what was heard and seen ---------------------------------------------------------
    // A PCP ANNOUNCE or NAT-PMP address announcement (or any answer naming the server's
    // epoch) from source:port.  Counts only from the gateway's address and port 5351 while
    // the way is PCP or NAT-PMP.  Every kept mapping is then renewed at once (at most once
    // per kNoticeCheckGapMs each): an epoch that shows lost state certainly needs it, and a
    // gateway whose epoch is its host's uptime shows none when only its service restarted.
    // True when it counted (the gateway's state is then to be made again).
    bool portControlAnnouncement(uint64_t nowMs, uint32_t source, uint16_t sourcePort,
                                 uint32_t epoch);
    // An SSDP NOTIFY from `source`.  Counts only from the gateway's address while the way
    // is UPnP.  A restart is an alive whose BOOTID.UPNP.ORG differs from the last one heard,
    // any alive after a byebye, and any alive from a gateway that sends no BOOTID.UPNP.ORG;
    // on one, every kept UPnP mapping is checked at once (at most once per
    // kNoticeCheckGapMs each).
    // True when it shows a restart.
    bool ssdpNotice(uint64_t nowMs, uint32_t source, SsdpNoticeKind kind, bool hasBootId,
                    uint32_t bootId);
    // This host's address towards the gateway as it stands now (0: none; changes nothing).
    // When it differs from the one known: every kept mapping is made again for it at once;
    // UPnP first deletes the old one (DeletePortMapping names no client), PCP draws a new
    // nonce, and the old PCP/NAT-PMP mapping is left to lapse (no request can name it from
    // the new address); mappings being removed through PCP/NAT-PMP are dropped.
    void localAddressSeen(uint64_t nowMs, uint32_t address);
    uint32_t localAddress() const;

    // --- looking in ----------------------------------------------------------------------
    struct Held {
        MappingWay way;
        uint8_t transport;
        uint16_t internalPort;
        uint16_t externalPort;
        MappingNonce nonce;
        uint32_t clientAddress;
        bool removing;        // a remove was asked for: only its delete is ever sent again
        bool granted;         // the gateway granted it and, for PCP/NAT-PMP, the lifetime lasts
        uint64_t expiresAtMs; // PCP/NAT-PMP: when the granted lifetime ends; 0 for UPnP
        uint64_t dueAtMs;     // when its next exchange falls due (~0: none); not yet set
                              // again while inFlight
        bool inFlight;        // an exchange of the keeper's is out for it
    };
    std::vector<Held> held() const;
    bool empty() const;

  private:
    // One mapping, or (in strays_) a mapping granted on a port nobody asked for that is only
    // being deleted, or the note of an unanswered UPnP add (unconfirmed: checked before it is
    // deleted).  Times are ms on the caller's clock; kNeverMs in dueAtMs: nothing due.
    struct Entry {
        MappingWay way = MappingWay::Upnp;
        uint8_t transport = kProtocolTcp;
        uint16_t internalPort = 0;
        uint16_t externalPort = 0;
        MappingNonce nonce{};
        uint32_t clientAddress = 0;
        bool granted = false;       // granted and, for PCP/NAT-PMP, not yet expired
        bool removing = false;      // only its delete is ever sent again
        bool deleteFirst = false;   // UPnP after an address change: delete, then map again
        bool unconfirmed = false;   // a note: a Check is due, and a Delete only if it is there
        uint64_t expiresAtMs = 0;   // PCP/NAT-PMP, while granted
        uint64_t dueAtMs = 0;       // when the next exchange for it is due
        bool noticed = false;       // a notice has made it due: at noticeDueAtMs
        uint64_t noticeDueAtMs = 0;
        uint32_t failures = 0;      // failed re-adds, lapsed retries, deletes or note checks
                                    // in a row: the step of the next back-off
        uint64_t inFlight = 0;      // ticket of the keeper's exchange out for it, 0 for none
        uint64_t removeTicket = 0;  // ticket of the application's delete out for it
    };
    static constexpr uint64_t kNeverMs = ~uint64_t{0};

    uint64_t takeTicket() { return nextTicket_++; }
    Entry *findKey(MappingWay way, uint8_t transport, uint16_t internalPort, uint16_t externalPort);
    Entry *findExternal(uint8_t transport, uint16_t externalPort);
    static Entry *findInFlight(std::vector<Entry> &list, uint64_t ticket);
    Entry *findNote(uint8_t transport, uint16_t externalPort);
    void putEntry(const Entry &entry);
    void dropStray(uint8_t transport, uint16_t internalPort, uint16_t externalPort);
    bool keepsPortControl() const;
    Exchange epochExchange(uint64_t ticket) const;
    static Entry entryOf(const Exchange &sent);
    Entry entryHere(uint8_t transport, uint16_t internalPort, uint16_t externalPort) const;
    Exchange exchangeFor(const Entry &entry, ExchangeJob job, uint64_t ticket) const;
    ExchangeJob jobFor(const Entry &entry) const;
    Entry *dueFirst(uint64_t nowMs);

    void lapse(uint64_t nowMs);
    void noteEpoch(uint64_t nowMs, const Exchange &sent, const ExchangeResult &result);
    void dueWithinGap(uint64_t nowMs, bool upnpOnly);
    void remake(Entry &entry, uint64_t nowMs, bool deleteOldFirst);
    void remakeForGateway(uint64_t nowMs);
    void dropPortControlRemovals();

    void grant(Entry &entry, uint64_t nowMs, uint32_t lifetime) const;
    static void failMap(Entry &entry, uint64_t nowMs);
    static void lapseMovedMapping(Entry &entry, uint64_t nowMs);
    static bool scheduleDeleteRetry(Entry &entry, uint64_t nowMs);
    Entry *addStray(uint64_t nowMs, const Exchange &sent, const ExchangeResult &result);
    void noteUnansweredAdd(uint64_t nowMs, const Exchange &sent);
    bool checkKeepsNote(Entry &note, uint64_t nowMs, const ExchangeResult &result);
    static bool deleteSettled(Entry &entry, uint64_t nowMs, const ExchangeResult &result);
    static void eraseEntry(std::vector<Entry> &list, const Entry &entry);
    int32_t finishRemoveCheck(uint64_t nowMs, const Exchange &sent, const ExchangeResult &result,
                              Exchange *next);
    void finishUpnp(Entry &entry, uint64_t nowMs, const Exchange &sent,
                    const ExchangeResult &result);
    void finishPortControlMap(Entry &entry, uint64_t nowMs, const Exchange &sent,
                              const ExchangeResult &result);

    std::function<bool(MappingNonce &)> drawNonce_;
    bool hasGateway_ = false;
    MappingWay way_ = MappingWay::Upnp;
    uint32_t gateway_ = 0;
    uint32_t local_ = 0;
    uint64_t nextTicket_ = 1;
    // Exchanges with a ticket below these were handed out for the gateway, or the local
    // address, that was current before the last change.
    uint64_t gatewayTicketFloor_ = 0;
    uint64_t addressTicketFloor_ = 0;
    EpochState epoch_;
    bool bootIdKnown_ = false;
    uint32_t bootId_ = 0;
    bool byeByeHeard_ = false;
    bool checksUnsupported_ = false; // the UPnP gateway knows no GetSpecificPortMappingEntry
    uint64_t longestRenewalMs_ = 0;
    uint64_t epochDueAtMs_ = kNeverMs; // the next Epoch, while keepsPortControl()
    uint64_t epochInFlight_ = 0;       // ticket of the Epoch out, 0 for none
    std::vector<Entry> entries_;
    std::vector<Entry> strays_;
};

} // namespace portlink
