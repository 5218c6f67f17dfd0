#pragma once
// The service at work: the application's adds and removes, and one keeper thread, around the
// service core (service_core.h), which makes every decision.  This side reads the clock, the
// routes, the adapters and the sockets, carries out the exchanges the core hands out, and
// reports their outcomes.
//
// Locks: `exchangeLock_` lets one exchange with the gateway (or one application call's
// exchanges, which run side by side) go at a time, so that a renewal can never overtake the
// delete of the same mapping; it is taken first, and an application call waiting for it goes
// before the keeper thread's next exchange, so it never waits for more than the one keeper
// exchange in flight.  `lock_` guards the core and the thread's state and is held only for the
// core's own (quick) calls, never across an exchange.
#include <winsock2.h>
#include <windows.h>

#include <atomic>
#include <cstdint>

#include "exchange/pinhole_exchange.h"
#include "gateway_types.h"
#include "search/restart_listeners.h"
#include "service_core.h"
#include "win/win_handles.h"

namespace portlink {

class MappingService {
  public:
    MappingService();
    MappingService(const MappingService &) = delete;
    MappingService &operator=(const MappingService &) = delete;

    // A search found the gateway at `address` (network order).  A later search that finds
    // another one moves every kept mapping there.
    void gatewayFound(const FoundGateway &found, uint32_t address);

    // The application's calls; result codes, 0 for success.
    int32_t add(uint16_t internalPort, uint16_t externalPort, uint8_t transport);
    int32_t remove(uint16_t externalPort, uint8_t transport);

    // The runtime's contexts and finalizers (see ServiceCore).
    void contextOpened(void *context);
    void finalizerCalled(void *dataOrContext);

    // True once keeping has been stopped by a finalizer and no add has started it again: a
    // search still running then ends without a word to anyone.
    bool stopped() const;

  private:
    // One mapping exchange; exchangeLock_ held, lock_ not.
    ExchangeResult carryOut(const Exchange &exchange, int32_t connectLimitMs, bool &spokeNatPmp);
    // One exchange of a second mapping with the router beyond the gateway, and only with the
    // router the core names (nextRouter()): UPnP on the connection service its search found
    // there, PCP to its port 5351.  Unanswered, with nothing sent, without either; lock_ not
    // held.
    ExchangeResult carryOutUpstream(const Exchange &exchange, int32_t connectLimitMs);
    // One step of learning what lies beyond the gateway; exchangeLock_ held, lock_ not.
    UpstreamAnswer learn(const UpstreamJob &step);
    PinholeRoute routeOf(const PinholeTargets &targets) const;
    // The address this host reaches the core's gateway from at this moment (0: no gateway
    // yet): on a host with several adapters, the one on the gateway's LAN.  lock_ held, so
    // that the address is read towards the gateway the call's plan is made for, also when a
    // search finds one while the call begins.
    uint32_t clientAddressLocked() const;
    // Starts the keeper thread when the core wants keeping and none runs, and wakes it.
    // lock_ held.
    void keepGoingLocked();
    static void keeperThread();
    void run();
    void lookAtNetwork();
    void hear(const Heard &heard);
    void exchangesDue();
    // One keeper job carried out and reported; exchangeLock_ held, lock_ not.
    void carryOutJob(const KeeperJob &job, const PinholeRoute &route);

    SRWLOCK exchangeLock_ = SRWLOCK_INIT;
    std::atomic<int> callsWaiting_{0};
    mutable SRWLOCK lock_ = SRWLOCK_INIT;
    ServiceCore core_;           // lock_
    ControlPoint firewall_;      // lock_: the IPv6 firewall service of the gateway's description
    ControlPoint upstreamUpnp_;  // lock_: the connection service the next router's search found
    uint32_t upstreamUpnpRouter_ = 0; // lock_: the router it lies on (network order)
    bool threadRunning_ = false; // lock_
    UniqueHandle wake_;          // auto-reset: something changed for the keeper thread
    UniqueHandle networkChanged_; // auto-reset: the system reported a route or address change
};

// The process's one service, built at library load.
MappingService &mappings();

// Makes a found gateway the one that isSearchSucces, the mapping functions and the keeper go
// by.  False, with nothing changed, when the search found none.
bool publishGateway(const FoundGateway &found);

} // namespace portlink
