#pragma once
// The keeper of this process's IPv6 pinholes: for every port the application has mapped over
// IPv4, an inbound pinhole for each of this host's stable global IPv6 addresses, opened
// through the gateway's IPv6 firewall service (UPnP) or PCP, renewed while the mapping lives
// and closed with it.  Like MappingKeeper it sends nothing and reads no clock: the caller
// hands it the time (ms, monotonic) with every event, carries out the exchanges it asks for,
// one at a time, and reports each outcome back.  Not thread-safe: the caller serialises every
// call.  A pinhole is named by (transport, port, address); its external port is its internal
// port, since IPv6 has no address translation.
#include <cstdint>
#include <functional>
#include <vector>

#include "ipv6_text.h"
#include "mapping_keeper.h"
#include "pinhole_choice.h"

namespace portlink {

// How a pinhole is asked for.
enum class PinholeWay : uint8_t {
    Upnp, // WANIPv6FirewallControl:1 over IPv6: AddPinhole, UpdatePinhole, DeletePinhole
    Pcp,  // PCP MAP over IPv6 with the host address as client and internal address
};

enum class PinholeJob : uint8_t {
    Open,  // UPnP AddPinhole (lease kPinholeLeaseSeconds); PCP MAP (kPinholeLifetimeSeconds)
    Renew, // UPnP UpdatePinhole of uniqueId; PCP the same MAP again, same nonce
    Close, // UPnP DeletePinhole of uniqueId; PCP MAP with lifetime 0, same nonce
};

constexpr uint32_t kPinholeLeaseSeconds = 3600;    // UPnP lease asked for
constexpr uint32_t kPinholeLifetimeSeconds = 7200; // PCP lifetime asked for
constexpr uint64_t kPinholeRetryMs = 60000;        // a pinhole not open is asked again so often
// A close that got no answer is sent again this long after the first one, then given up.
constexpr uint64_t kPinholeCloseRetryAfterMs[] = {2000, 6000};
// An address missing from the view of this host's addresses so long is gone for good.
constexpr uint64_t kAddressGoneAfterMs = 60000;

struct PinholeExchange {
    uint64_t ticket = 0; // never 0
    PinholeJob job = PinholeJob::Open;
    PinholeWay way = PinholeWay::Upnp;
    uint8_t transport = kProtocolTcp;
    uint16_t port = 0;     // internal port = external port
    Ipv6Address address{}; // this host's address the pinhole opens (and the request's source)
    MappingNonce nonce{};  // PCP: the pinhole's nonce
    uint16_t uniqueId = 0; // UPnP Renew and Close: the id the Open was granted
};

struct PinholeResult {
    // Granted: opened, renewed or closed.  Refused: the gateway answered with an error (for
    // Open and Renew, `retryLater` tells whether the same request later may succeed).
    // Unanswered: no answer (no socket, nothing sent, or silence).  Unsupported is not used.
    ExchangeOutcome outcome = ExchangeOutcome::Unanswered;
    int32_t code = 0;
    bool retryLater = true;
    uint16_t uniqueId = 0; // UPnP Open granted
    uint32_t lifetime = 0; // seconds granted (UPnP: the lease asked for; PCP: the answer's)
};

// When what is due (t is the time the outcome was reported):
// - Open or Renew granted for L s: renewed at t + L/2 (at least 1 s later).
// - UPnP Renew refused: an Open due at once (the pinhole is asked for anew).
// - Renew unanswered, or refused with retryLater for PCP, while the lifetime lasts: tried
//   again after half the time left, at least 1 s later; once the lifetime is over the pinhole
//   counts as not open.
// - Open refused or unanswered: tried again kPinholeRetryMs later; refused without retryLater
//   through one way while another is listed: the next way, at once.
// - Close: sent at once for an open pinhole (one never granted is just dropped); granted or
//   refused, the pinhole is gone; unanswered, sent again kPinholeCloseRetryAfterMs after the
//   first, then gone.
// - An address missing from the view (an empty view included: no route for a moment, the
//   adapter unreadable) for less than kAddressGoneAfterMs changes nothing: its pinholes are
//   kept as they were, with their nonce, UPnP id, open state and schedule, and are renewed
//   meanwhile.  Once it has been missing for kAddressGoneAfterMs, each of its open pinholes
//   (and each whose Open or Renew, out then, is granted) gets one Close, due at once and
//   never sent again, and is then forgotten, as is each one that is not open; should the
//   address come back after that, its pinholes are new ones.
// - Only a preferred address is asked for a pinhole (Open).  A deprecated one keeps its open
//   pinholes renewed until it leaves the view; one of them the gateway lost at a restart
//   counts as not open, and one not open waits until the address is preferred again.
class PinholeKeeper {
  public:
    explicit PinholeKeeper(std::function<bool(MappingNonce &)> drawNonce);

    // The ways the gateway offers for IPv6, in order of preference (the caller puts first the
    // protocol that mapped IPv4).  Empty: no pinhole is asked for, and nothing is sent.  A
    // change of the first way makes every pinhole that is not open use the new first way,
    // due at once; open ones keep their way until they fail.
    void setWays(uint64_t nowMs, const std::vector<PinholeWay> &ways);
    // This host's addresses to open, as seen now (choosePinholeAddresses); empty when the view
    // is empty or unreadable.  Every wanted port gets a pinhole for each new address, due at
    // once (sent once the address is preferred).  An address left out is missing: see above.
    void setAddresses(uint64_t nowMs, const std::vector<PinholeAddress> &addresses);

    // The application mapped (transport, port) over IPv4: a pinhole for each address (missing
    // ones included), due at once.  Wanting it again changes nothing.
    void want(uint64_t nowMs, uint8_t transport, uint16_t port);
    // The IPv4 mapping of (transport, port) goes: each of its pinholes is closed (an open one
    // by a Close due at once); nothing but that Close is ever sent for it again.
    void unwant(uint64_t nowMs, uint8_t transport, uint16_t port);
    // Every Close due or pending for a closing pinhole of (transport, port) that is not out
    // already, handed out at once and out from now on (right after unwant, for a remove that
    // sends its Closes itself).  Each is reported with finish().  Nothing but Closes, and
    // nothing while no way is listed.
    std::vector<PinholeExchange> takeCloses(uint64_t nowMs, uint8_t transport, uint16_t port);
    // The gateway restarted: every open pinhole is opened again, due at once, but at most once
    // per kNoticeCheckGapMs each (one of a deprecated address is not open any more).
    void gatewayRestarted(uint64_t nowMs);

    // The exchange due first, handed out and out from now on; never one that is out already.
    bool nextExchange(uint64_t nowMs, PinholeExchange &exchange);
    // A result for an exchange whose pinhole was dropped or closed meanwhile changes nothing.
    void finish(uint64_t nowMs, const PinholeExchange &sent, const PinholeResult &result);
    // Never later than nowMs + kKeeperLongestWaitMs, never earlier than nowMs.
    uint64_t nextWakeMs(uint64_t nowMs) const;

    struct Held {
        uint8_t transport;
        uint16_t port;
        Ipv6Address address;
        PinholeWay way;
        bool open;
        bool closing;
        uint16_t uniqueId;
        MappingNonce nonce;
        uint64_t expiresAtMs;
    };
    // The pinholes held, closing ones included; not those of an address gone for good.
    std::vector<Held> held() const;
    // True when no port is wanted and no pinhole is held, closing ones and those of an address
    // gone for good included (the keeper thread has no work).
    bool empty() const;

  private:
    // One pinhole.  Times are ms on the caller's clock.
    struct Entry {
        uint8_t transport = kProtocolTcp;
        uint16_t port = 0;
        Ipv6Address address{};
        PinholeWay way = PinholeWay::Upnp;
        bool open = false;        // granted, and the lifetime lasts
        bool reopen = false;      // open, but the gateway restarted: its next exchange is an Open
        bool closing = false;     // no longer wanted: only its Close is sent
        bool parting = false;     // its address is gone for good: one Close, then forgotten
        bool hasNonce = false;    // PCP: the nonce is drawn
        MappingNonce nonce{};     // PCP, once drawn
        uint16_t uniqueId = 0;    // UPnP, while open
        uint64_t expiresAtMs = 0; // while open
        uint64_t dueAtMs = 0;
        uint64_t lastSentAtMs = 0;
        uint64_t closeStartMs = 0; // closing: when its first Close went out
        uint32_t closeSends = 0;   // closing: Closes handed out
        uint64_t inFlight = 0;     // ticket of the exchange out for it, 0 for none
    };
    struct Port {
        uint8_t transport;
        uint16_t port;
    };
    // An address of this host that holds pinholes: in the view, or missing from it a while.
    struct KnownAddress {
        Ipv6Address address;
        bool preferred;          // as last seen
        bool missing;            // not in the last view
        uint64_t missingSinceMs; // while missing: the first view without it
    };

    bool listed(PinholeWay way) const;
    void addEntry(uint64_t nowMs, uint8_t transport, uint16_t port, const Ipv6Address &address);
    bool preferred(const Ipv6Address &address) const;
    bool waitsForPreferred(const Entry &entry) const;
    void tick(uint64_t nowMs);
    void lapse(uint64_t nowMs);
    void forgetGoneAddresses(uint64_t nowMs);
    void reopenLater(Entry &entry, uint64_t nowMs);
    Entry *dueFirst(uint64_t nowMs);
    PinholeExchange handOut(Entry &entry, uint64_t nowMs);
    bool giveNonce(Entry &entry);
    void grant(Entry &entry, uint64_t nowMs, const PinholeExchange &sent,
               const PinholeResult &result);
    void failOpen(Entry &entry, uint64_t nowMs, const PinholeExchange &sent,
                  const PinholeResult &result);
    void finishOpenOrRenew(Entry &entry, uint64_t nowMs, const PinholeExchange &sent,
                           const PinholeResult &result);
    bool closeSettled(Entry &entry, uint64_t nowMs, const PinholeResult &result);
    static void notOpen(Entry &entry);
    void erase(const Entry &entry);

    std::function<bool(MappingNonce &)> drawNonce_;
    std::vector<PinholeWay> ways_;
    std::vector<KnownAddress> addresses_;
    std::vector<Port> wanted_;
    std::vector<Entry> entries_;
    uint64_t nextTicket_ = 1;
};

} // namespace portlink
