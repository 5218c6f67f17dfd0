#pragma once
// The service core: every rule above the single exchanges, with an injected clock and no
// Windows types.  It owns the mapping keeper and the pinhole keeper and decides
// - which pinholes are wanted: one per (transport, internal port) while a kept mapping that
//   is not being removed names that port;
// - which exchanges an application call carries out: its own map or delete, the clean-up
//   delete of a grant on another port, and the pinhole closes of a remove (handed out with
//   the delete, so that the caller runs them side by side); nothing else;
// - which exchange the keeper thread carries out next, and where a pinhole request goes;
// - when keeping starts and stops: contexts, the extension finalizer, the keeper thread;
// - when the network is looked at, what counts as a change, and when to search again;
// - which notices count: a NOTIFY only when its device is one of the gateway's own;
// - when a PCP server that answers in NAT-PMP's form is spoken to by NAT-PMP;
// - whether the gateway sits behind another NAT, and the second mapping of each kept one on
//   the router beyond it: the same external port, forwarded to the gateway's external
//   address on that same port, made, kept and removed with the first.
// The edge reads clocks, sockets and adapters, carries out the exchanges it is handed and
// reports each outcome.  Not thread-safe: the edge serialises every call.
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "mapping_keeper.h"
#include "network_look.h"
#include "pinhole_keeper.h"
#include "pinhole_side.h"
#include "upstream_finder.h"

namespace portlink {

// What a search found, in the terms the rules need.
struct GatewayFacts {
    MappingWay way = MappingWay::Upnp;
    uint32_t address = 0; // network order
    bool hasEpoch = false; // PCP/NAT-PMP: the epoch of the search answer
    uint32_t epoch = 0;
    bool hasBootId = false; // UPnP: the BOOTID.UPNP.ORG of the search answer
    uint32_t bootId = 0;
    std::wstring deviceUuid;              // UPnP: the device uuid of the search answer
    std::vector<std::wstring> deviceUdns; // UPnP: every UDN of its description
    bool hasFirewall = false;             // UPnP: its description offers the IPv6 firewall
    bool hostHasIpv6 = false; // this host has an address to open over IPv6 (learn the
                              // gateway's IPv6 side before the first add)
};

// One exchange of the keeper thread: a mapping exchange with the gateway, a pinhole exchange
// and where it goes, a second mapping's exchange with the next router, or a step of finding
// that router.
struct KeeperJob {
    bool pinhole = false;
    // `mapping` goes to the next router (upstreamFinder().nextRouter()), the way it maps:
    // UPnP to the control point its search found, PCP to its port 5351 naming the exchange's
    // clientAddress (the gateway's external address, the source that router sees) as the
    // client.  Reported with finishUpstream.
    bool upstream = false;
    // `step` is a step of finding what lies beyond the gateway; reported with finishStep.
    bool learn = false;
    Exchange mapping;
    PinholeExchange hole;
    PinholeTargets targets;
    UpstreamJob step;
};

// Whether the keeper thread carries `job` out holding the exchange turn that application calls
// wait for: every exchange about mappings or pinholes, and the question of the gateway's
// external address.  The probe and the search beyond the gateway touch no mapping, so a call
// need not wait for them.
bool holdsExchangeTurn(const KeeperJob &job);

// The add's answer, and the clean-up delete the call is to carry out before it answers.
struct AddOutcome {
    int32_t code = 0;
    bool cleanUp = false;
    Exchange cleanUpExchange;
};

// A remove: answer `refusal` at once (not 0; nothing is sent), or carry out `exchange` (a
// Delete, or the Check that decides on one) and, beside it, `closes` (to `targets`), then
// report each.
struct RemovePlan {
    int32_t refusal = 0;
    Exchange exchange;
    // The delete of the second mapping at the next router (ticket 0: none), carried out beside
    // `exchange` and reported with finishUpstream; the remove answers from `exchange` alone.
    Exchange upstream;
    std::vector<PinholeExchange> closes;
    PinholeTargets targets;
};

// After one of a remove's mapping exchanges: carry out `next` and report it too, or answer
// `code`.
struct RemoveStep {
    bool more = false;
    Exchange next;
    int32_t code = 0;
};

class ServiceCore {
  public:
    explicit ServiceCore(std::function<bool(MappingNonce &)> drawNonce);

    // --- the runtime's contexts and the keeper thread ---------------------------------
    // The finalizer is called with 0 as the extension's finalizer, else with a context:
    // keeping stops at the first, or once every context opened was finalized, and starts
    // again only with a later add (or, once a new context was opened, a gateway found).  A
    // finalizer before the thread started keeps it from starting, also when a search ends
    // after it.
    void contextOpened(uintptr_t context);
    void finalizerCalled(uintptr_t dataOrContext);
    // The keeper thread is to run: not finalized, and there is something to keep, to close
    // or to learn.  The edge starts the thread when this turns true and the thread ends when
    // it turns false; while it is false the core hands the thread nothing.
    bool keepingWanted() const;
    // A finalizer ended keeping and no add has started it again.
    bool finalized() const { return finalized_; }

    // --- the gateway ----------------------------------------------------------------
    void gatewayFound(uint64_t nowMs, const GatewayFacts &facts);
    bool hasGateway() const { return keeper_.hasGateway(); }
    MappingWay way() const { return keeper_.way(); }
    uint32_t gatewayAddress() const { return keeper_.gatewayAddress(); }

    // --- the application's calls ---------------------------------------------------------
    CallPlan beginAdd(uint64_t nowMs, uint8_t transport, uint16_t internalPort,
                      uint16_t externalPort, uint32_t clientAddress);
    // `spokeNatPmp`: the exchange found the PCP server speaking only NAT-PMP.
    AddOutcome finishAdd(uint64_t nowMs, const Exchange &sent, const ExchangeResult &result,
                         bool spokeNatPmp);
    // `clientAddress`: this host's address towards the gateway now (0: unknown), which a
    // port this process does not hold must name at the gateway to be deleted.
    RemovePlan beginRemove(uint64_t nowMs, uint8_t transport, uint16_t externalPort,
                           uint32_t clientAddress);
    // Each of the remove's mapping exchanges: a UPnP port this process does not hold is asked
    // about first, and its Delete follows only when the entry names this host.
    RemoveStep finishRemove(uint64_t nowMs, const Exchange &sent, const ExchangeResult &result,
                            bool spokeNatPmp);

    // --- the keeper thread's exchanges (and the reports of the calls' extra ones) ---------
    bool nextJob(uint64_t nowMs, KeeperJob &job);
    void finishMapping(uint64_t nowMs, const Exchange &sent, const ExchangeResult &result,
                       bool spokeNatPmp);
    void finishPinhole(uint64_t nowMs, const PinholeExchange &sent, const PinholeResult &result);
    void finishUpstream(uint64_t nowMs, const Exchange &sent, const ExchangeResult &result);
    void finishStep(uint64_t nowMs, const UpstreamJob &sent, const UpstreamAnswer &answer);
    // When the keeper thread is to wake next: an exchange or a look due, within a minute.
    uint64_t nextWakeMs(uint64_t nowMs) const;

    // --- what was heard -------------------------------------------------------------------
    void portControlHeard(uint64_t nowMs, uint32_t source, uint16_t sourcePort, uint32_t epoch);
    void ssdpHeard(uint64_t nowMs, uint32_t source, SsdpNoticeKind kind, bool hasBootId,
                   uint32_t bootId, const std::wstring &deviceUuid);

    // --- the network -------------------------------------------------------------------
    // A route or address notice from the system.
    void networkChanged() { look_.changed(); }
    bool networkLookDue(uint64_t nowMs) const { return look_.due(nowMs); }
    // What a look read: the default gateways, and this host's address towards the gateway
    // (0: none).  True when the edge is to search for the gateway again (and report what it
    // finds with gatewayFound).
    bool networkSeen(uint64_t nowMs, const std::vector<uint32_t> &gateways, uint32_t localAddress);
    // The IPv6 side as read at the same look.
    void ipv6Seen(uint64_t nowMs, const Ipv6Facts &facts);
    bool ipv6SearchDue(uint64_t nowMs) const;
    Ipv6Address ipv6SearchFrom() const { return side_.searchFrom(); }
    uint32_t ipv6IfIndex() const { return side_.ifIndex(); }
    const std::wstring &deviceUuid() const { return deviceUuid_; }
    void ipv6Searched(uint64_t nowMs, bool found, const Ipv6Address &source);

    // --- looking in ---------------------------------------------------------------------
    const MappingKeeper &mappings() const { return keeper_; }
    const PinholeKeeper &pinholes() const { return pinholes_; }
    const UpstreamFinder &upstreamFinder() const { return finder_; }
    const MappingKeeper &upstreamMappings() const { return upstream_; }
    // Exchanges handed out whose outcome has not been reported.
    size_t inFlight() const {
        return mappingTickets_.size() + pinholeTickets_.size() + upstreamTickets_.size() +
               stepTickets_.size();
    }
    // The (transport, internal port) pairs whose pinholes are wanted now.
    struct Port {
        uint8_t transport;
        uint16_t port;
        bool operator==(const Port &o) const { return transport == o.transport && port == o.port; }
    };
    const std::vector<Port> &wantedPinholes() const { return wanted_; }

  private:
    // Wants and unwants pinholes as the kept mappings name their ports; the ports no
    // longer wanted are returned.
    std::vector<Port> syncWanted(uint64_t nowMs);
    void settleWay(uint64_t nowMs, const Exchange &sent, bool spokeNatPmp);
    bool followUp(uint64_t nowMs, const Exchange &sent, bool spokeNatPmp, const Exchange &next);
    void applyIpv6(uint64_t nowMs);
    bool isGatewayDevice(const std::wstring &uuid) const;
    void handedOut(const Exchange &x) { mappingTickets_.push_back(x.ticket); }
    void handedOut(const PinholeExchange &x) { pinholeTickets_.push_back(x.ticket); }
    void reported(const Exchange &x);
    void reported(const PinholeExchange &x);

    // Keeps the gateway's external address current and the second mappings following the
    // kept ones, while the gateway sits behind another NAT whose router was found.
    void syncUpstream(uint64_t nowMs);
    void externalAddressIn(uint64_t nowMs, const ExchangeResult &result);
    void gatewayRestarted(uint64_t nowMs);

    MappingKeeper keeper_;
    MappingKeeper upstream_; // the second mappings, at the next router
    UpstreamFinder finder_;
    PinholeKeeper pinholes_;
    PinholeSide side_;
    NetworkLook look_;
    std::vector<Port> wanted_;
    std::vector<uintptr_t> contexts_;
    bool finalized_ = false;
    bool learnIpv6_ = false; // the gateway's IPv6 side is to be learned before any add
    bool hasFirewall_ = false;
    std::wstring deviceUuid_;
    std::vector<std::wstring> deviceUdns_;
    std::vector<uint64_t> mappingTickets_;
    std::vector<uint64_t> pinholeTickets_;
    std::vector<uint64_t> upstreamTickets_;
    std::vector<uint64_t> stepTickets_;
};

} // namespace portlink
