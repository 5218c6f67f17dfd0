#pragma once
// What lies beyond the gateway: its external address, and, when that address is not one the
// Internet reaches (a home router behind the provider's box), the next router up and how it
// maps.  Pure: the caller hands it the time with every call, carries out the steps it hands
// out and reports what each learned.  Not thread-safe.
//
// The steps, while `wanted` (the gateway keeps a mapping of ours):
// 1. the gateway's external address (UPnP GetExternalIPAddress, NAT-PMP address request; a
//    PCP gateway names it in every MAP answer, which the caller feeds to externalAddressSeen);
// 2. when it is private, shared or otherwise not globally routable: one ICMP echo with TTL 2
//    to kNextRouterProbeTarget; the source of the "TTL expired in transit" answer is the next
//    router, when it is a private or shared address other than the gateway's and this host's;
// 3. a search of that address only: UPnP by unicast M-SEARCH to its port 1900, else PCP to its
//    port 5351.
// A public external address ends it: nothing is sent beyond the gateway.  When no next router
// is found, or it does not answer, the probe and search are tried again no sooner than
// kUpstreamRetryMs after the last try began; and never more than kUpstreamDatagramsPerMinute
// datagrams and probes go upstream in any kUpstreamWindowMs.
#include <cstdint>
#include <deque>

#include "gateway_types.h"

namespace portlink {

// 192.0.0.9, the PCP anycast address (network order: the first octet is the byte stored
// first), which the probe is addressed to so that the first router beyond the gateway answers.
constexpr uint8_t kNextRouterProbeTarget[4] = {192, 0, 0, 9};
constexpr uint8_t kNextRouterProbeTtl = 2;
constexpr uint64_t kUpstreamRetryMs = 600000;
constexpr uint64_t kUpstreamWindowMs = 60000;
constexpr unsigned kUpstreamDatagramsPerMinute = 12;
// What each step may send upstream at most: the probe is one echo; the search three M-SEARCH
// datagrams (one per search target) and, without a UPnP answer, four PCP ANNOUNCE sends.
constexpr unsigned kProbeDatagrams = 1;
constexpr unsigned kSearchDatagrams = 3 + 4;
// While the gateway sits behind another NAT its external address is asked for again so often
// (it is how a new address from the outer router shows), like the checks of the mappings.
constexpr uint64_t kExternalAddressEveryMs = 120000;
// An external address request that got no answer is sent again after this, doubling up to
// kUpstreamRetryMs.
constexpr uint64_t kExternalAddressRetryMs = 15000;

enum class UpstreamStep : uint8_t {
    // The gateway's external address, asked of the gateway the way it maps (`way`: UPnP
    // GetExternalIPAddress or the NAT-PMP external address request; never PCP).
    ExternalAddress,
    // The ICMP echo with TTL kNextRouterProbeTtl to kNextRouterProbeTarget.
    FindNextRouter,
    // `address` (the next router) searched: the three search targets by unicast to its port
    // 1900, whose description and control URL must lie on that address; without a UPnP
    // answer, a PCP ANNOUNCE to its port 5351.
    SearchNextRouter,
};

struct UpstreamJob {
    uint64_t ticket = 0; // never 0
    UpstreamStep step = UpstreamStep::ExternalAddress;
    MappingWay way = MappingWay::Upnp; // ExternalAddress: how the gateway is asked
    uint32_t address = 0;              // SearchNextRouter: the next router (network order)
};

struct UpstreamAnswer {
    bool answered = false;
    // ExternalAddress: the gateway's external address.  FindNextRouter: the source of the
    // "TTL expired in transit" answer (0: no such answer).
    uint32_t address = 0;
    MappingWay way = MappingWay::Upnp; // SearchNextRouter: how the next router maps (Upnp, Pcp)
};

class UpstreamFinder {
  public:
    // The gateway found; `other`: not the one known before (all that was learned is dropped).
    void gatewayFound(uint64_t nowMs, MappingWay way, uint32_t gateway, bool other);
    // Whether the gateway keeps a mapping of ours: nothing is asked while it does not.
    void setWanted(bool wanted);
    // This host's address towards the gateway (never a next router).
    void localAddressSeen(uint32_t address) { local_ = address; }
    // Any answer of the gateway that names its external address (0: none, changes nothing).
    void externalAddressSeen(uint64_t nowMs, uint32_t address);
    // The gateway restarted: its external address is asked for again.
    void gatewayRestarted(uint64_t nowMs);

    bool nextJob(uint64_t nowMs, UpstreamJob &job);
    void finish(uint64_t nowMs, const UpstreamJob &job, const UpstreamAnswer &answer);
    uint64_t nextWakeMs(uint64_t nowMs) const;

    // The external address known (0: not yet).
    uint32_t externalAddress() const { return external_; }
    // The external address is known and the Internet cannot reach it.
    bool behindAnotherNat() const;
    // A next router that maps was found: its address and way.
    bool found() const { return found_; }
    uint32_t nextRouter() const { return router_; }
    MappingWay nextRouterWay() const { return routerWay_; }
    // Datagrams and probes sent upstream within the last kUpstreamWindowMs.
    unsigned sentWithinWindow(uint64_t nowMs) const;

  private:
    static constexpr uint64_t kNeverMs = ~uint64_t{0};
    bool spend(uint64_t nowMs, unsigned datagrams);
    uint64_t budgetFreeAtMs(uint64_t nowMs, unsigned datagrams) const;
    uint64_t stepDueAtMs() const;
    uint64_t externalDue() const;
    void forgetRouter();

    bool hasGateway_ = false;
    MappingWay way_ = MappingWay::Upnp;
    uint32_t gateway_ = 0;
    uint32_t local_ = 0;
    bool wanted_ = false;
    uint32_t external_ = 0;
    uint64_t externalDueAtMs_ = 0; // the next external address request (UPnP, NAT-PMP)
    uint32_t externalFailures_ = 0;
    uint32_t router_ = 0; // the next router answered the probe
    bool found_ = false;
    MappingWay routerWay_ = MappingWay::Upnp;
    uint64_t upstreamDueAtMs_ = 0; // the next probe or search
    uint64_t tryStartedAtMs_ = 0;  // when the last probe was handed out
    uint64_t inFlight_ = 0;        // ticket of the step out, 0 for none
    uint64_t nextTicket_ = 1;
    std::deque<uint64_t> sent_; // when each datagram or probe went upstream
};

} // namespace portlink
