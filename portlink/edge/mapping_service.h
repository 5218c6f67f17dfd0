#pragma once
// The keeper of this process's mappings at work: the application's adds and removes, and one
// keeper thread that renews, checks and remakes the mappings while the application wants
// them.  The rules of what to send and when are the keeper's (mapping_keeper.h); this is the
// I/O around it.
//
// Locks: `exchangeLock_` lets one exchange with the gateway run at a time, so that a renewal
// can never overtake the delete of the same mapping; it is taken first, and an application
// call waiting for it goes before the keeper thread's next exchange, so it never waits for
// more than the one in progress.  `lock_` guards the keeper's table and the thread's state and
// is held only for the keeper's own (quick) calls, never across an exchange.
#include <winsock2.h>
#include <windows.h>

#include <atomic>
#include <cstdint>
#include <vector>

#include "discovery.h"
#include "mapping_keeper.h"
#include "pinhole_keeper.h"
#include "pinhole_view.h"
#include "restart_listeners.h"

namespace portlink {

class MappingService {
  public:
    MappingService();
    ~MappingService();
    MappingService(const MappingService &) = delete;
    MappingService &operator=(const MappingService &) = delete;

    // A search found the gateway at `address` (network order): how it maps, for PCP and
    // NAT-PMP the epoch of its answer, for UPnP the BOOTID.UPNP.ORG and device of its answer
    // and the IPv6 firewall service of its description.  A later search that finds another
    // one moves every kept mapping there.  Where this host has a stable global IPv6 address,
    // the keeper thread starts at once to learn the gateway's IPv6 side, so that the first
    // pinhole need not wait for that.
    void gatewayFound(const FoundGateway &found, uint32_t address);

    // The application's calls; result codes, 0 for success.
    int32_t add(uint16_t internalPort, uint16_t externalPort, uint8_t transport);
    int32_t remove(uint16_t externalPort, uint8_t transport);

    // The runtime's contexts.  The finalizer is called with the extension data (null) as the
    // extension's finalizer, and with a context as that context's finalizer: renewing stops
    // at the first, or once every context opened has been finalized.  A later add starts it
    // again.
    void contextOpened(void *context);
    void finalizerCalled(void *dataOrContext);

  private:
    // One exchange with the gateway; exchangeLock_ held, lock_ not.
    ExchangeResult carryOut(const Exchange &exchange, int32_t connectLimitMs);
    // After an outcome is in: a server found to speak only NAT-PMP is spoken to that way from
    // now on.  lock_ held.
    void settleWayLocked();
    // After an application call: the keeper thread runs (and looks again) while there is
    // anything to keep.  lock_ held.
    void keepGoingLocked();
    bool takeStop();
    void run();
    void lookAtNetwork(std::vector<uint32_t> &gateways);
    void hear(const Heard &heard);
    void exchangeDue();
    // The pinhole side: looks at this host's IPv6 addresses and the gateway's IPv6 address
    // (keeper thread), and carries out what is due.
    void lookAtIpv6Side();
    bool pinholeDue();
    // The closes of the pinholes of (transport, port), at once, on the calling thread.
    void closePinholesNow();
    static void keeperThread();

    SRWLOCK exchangeLock_ = SRWLOCK_INIT;
    std::atomic<int> callsWaiting_{0};
    mutable SRWLOCK lock_ = SRWLOCK_INIT;
    MappingKeeper keeper_;
    PinholeKeeper pinholes_;
    ControlPoint firewall_;       // lock_
    std::wstring deviceUuid_;     // lock_
    PinholeRoute route_;          // lock_: where pinholes are asked for, as last seen
    bool ipv6LookDue_ = false;    // lock_: the keeper thread looks at the IPv6 side at once
    PinholeView view_;            // keeper thread only
    uint32_t natPmpOnly_ = 0; // a gateway that answered PCP in NAT-PMP's form; exchangeLock_
    std::vector<void *> contexts_;
    bool threadRunning_ = false;
    bool stopRequested_ = false;
    HANDLE wake_; // auto-reset: something changed for the keeper thread, or it is to stop
};

// The process's one service, built at library load.
MappingService &mappings();

} // namespace portlink
