#include "mapping_service.h"

#include <ntsecapi.h>

#include <algorithm>

#include "default_gateways.h"
#include "discovery.h"
#include "ipv6_host.h"
#include "local_route.h"
#include "module_thread.h"
#include "network_watch.h"
#include "pinhole_choice.h"
#include "pinhole_exchange.h"
#include "port_control_exchange.h"
#include "port_mapping.h"
#include "result_codes.h"
#include "srw_lock.h"

namespace portlink {

namespace {

// How often the keeper thread may look at the routes and addresses when notices wake it.
constexpr uint64_t kNetworkLookGapMs = 1000;
// Exchanges the keeper thread carries out in a row before it looks around again.
constexpr int kExchangesPerWake = 64;

uint64_t now() { return GetTickCount64(); }

bool drawNonce(MappingNonce &nonce) {
    return RtlGenRandom(nonce.data(), static_cast<ULONG>(nonce.size())) != FALSE;
}

// Holds the exchange lock for an application call, which the keeper thread lets go first.
class CallTurn {
  public:
    CallTurn(SRWLOCK &lock, std::atomic<int> &waiting) : lock_(lock) {
        ++waiting;
        AcquireSRWLockExclusive(&lock_);
        --waiting;
    }
    ~CallTurn() { ReleaseSRWLockExclusive(&lock_); }
    CallTurn(const CallTurn &) = delete;
    CallTurn &operator=(const CallTurn &) = delete;

  private:
    SRWLOCK &lock_;
};

} // namespace

MappingService::MappingService()
    : keeper_(drawNonce), pinholes_(drawNonce), wake_(CreateEventW(nullptr, FALSE, FALSE, nullptr)) {}

MappingService::~MappingService() {
    // The keeper thread holds a reference to this library, so at an unload none runs; at the
    // process's end the system has ended it already.
    if (wake_ != nullptr)
        CloseHandle(wake_);
}

void MappingService::gatewayFound(const FoundGateway &found, uint32_t address) {
    // Only a machine with an address to open over IPv6 starts keeping before the first add.
    Ipv6Adapter adapter;
    const bool ipv6 = readIpv6Adapter(localAddressTowards(address), adapter) &&
                      !choosePinholeAddresses(adapter.addresses, adapter.ifIndex).empty();
    ExclusiveLock guard(lock_);
    keeper_.setGateway(now(), found.way, address);
    if (found.portControl)
        keeper_.portControlAnnouncement(now(), address, kPortControlPort, found.epoch);
    // The first BOOTID heard is only recorded, so a NOTIFY that differs from the answer's
    // shows a restart that came before any NOTIFY.
    if (found.way == MappingWay::Upnp && found.hasBootId)
        keeper_.ssdpNotice(now(), address, SsdpNoticeKind::Alive, true, found.bootId);
    firewall_ = found.way == MappingWay::Upnp ? found.firewall : ControlPoint();
    deviceUuid_ = found.way == MappingWay::Upnp ? found.deviceUuid : std::wstring();
    ipv6LookDue_ = true;
    if (ipv6 && wake_ != nullptr && !threadRunning_)
        threadRunning_ = startModuleThread(keeperThread);
    if (threadRunning_)
        SetEvent(wake_);
}

ExchangeResult MappingService::carryOut(const Exchange &exchange, int32_t connectLimitMs) {
    if (exchange.way == MappingWay::Upnp)
        return carryOutUpnp(exchange, connectLimitMs);
    uint32_t gateway;
    {
        SharedLock guard(lock_);
        gateway = keeper_.gatewayAddress();
    }
    bool spokeNatPmp = exchange.way == MappingWay::NatPmp;
    const ExchangeResult result = carryOutPortControl(exchange, gateway, spokeNatPmp);
    if (spokeNatPmp && exchange.way == MappingWay::Pcp)
        natPmpOnly_ = gateway;
    return result;
}

void MappingService::settleWayLocked() {
    if (natPmpOnly_ == 0)
        return;
    // The server speaks only NAT-PMP: from now on it is spoken to that way.  The keys stay
    // as they are, so this is told only once the exchange's outcome is in.
    if (keeper_.gatewayAddress() == natPmpOnly_ && keeper_.way() == MappingWay::Pcp)
        keeper_.setGateway(now(), MappingWay::NatPmp, natPmpOnly_);
    natPmpOnly_ = 0;
}

int32_t MappingService::add(uint16_t internalPort, uint16_t externalPort, uint8_t transport) {
    CallTurn turn(exchangeLock_, callsWaiting_);
    uint32_t gateway = 0;
    {
        SharedLock guard(lock_);
        if (keeper_.hasGateway())
            gateway = keeper_.gatewayAddress();
    }
    // The address this host reaches the gateway from at this moment: on a host with several
    // adapters, the one on the gateway's LAN.
    const uint32_t client = gateway != 0 ? localAddressTowards(gateway) : 0;
    CallPlan plan;
    {
        ExclusiveLock guard(lock_);
        plan = keeper_.beginAdd(now(), transport, internalPort, externalPort, client);
    }
    if (plan.refusal != RESULT_OK)
        return plan.refusal;
    const ExchangeResult result = carryOut(plan.exchange, 0);
    int32_t code;
    Exchange cleanUp;
    bool deleteNow = false;
    {
        ExclusiveLock guard(lock_);
        code = keeper_.finishAdd(now(), plan.exchange, result);
        settleWayLocked();
        // A mapping granted on another port goes again before the add answers, so that it is
        // gone even when the application ends right after.
        deleteNow = code == ERR_OTHER_PORT && keeper_.nextExchange(now(), cleanUp) &&
                    cleanUp.job == ExchangeJob::Delete;
    }
    if (deleteNow) {
        const ExchangeResult deleted = carryOut(cleanUp, 0);
        ExclusiveLock guard(lock_);
        keeper_.finish(now(), cleanUp, deleted);
        settleWayLocked();
    }
    ExclusiveLock guard(lock_);
    if (code == RESULT_OK) {
        // The same port over IPv6, opened by the keeper thread at once: the add does not wait.
        pinholes_.want(now(), transport, internalPort);
        ipv6LookDue_ = true;
    }
    keepGoingLocked();
    return code;
}

int32_t MappingService::remove(uint16_t externalPort, uint8_t transport) {
    CallTurn turn(exchangeLock_, callsWaiting_);
    CallPlan plan;
    {
        ExclusiveLock guard(lock_);
        plan = keeper_.beginRemove(now(), transport, externalPort);
        // The pinholes go with the IPv4 mapping, asked for or not.
        for (const MappingKeeper::Held &held : keeper_.held())
            if (held.transport == transport && held.externalPort == externalPort)
                pinholes_.unwant(now(), transport, held.internalPort);
    }
    if (plan.refusal != RESULT_OK)
        return plan.refusal;
    const ExchangeResult result = carryOut(plan.exchange, 0);
    int32_t code;
    {
        ExclusiveLock guard(lock_);
        code = keeper_.finishRemove(now(), plan.exchange, result);
        settleWayLocked();
    }
    // Closed before the remove answers, so that they are shut also when the application ends
    // right after.
    closePinholesNow();
    ExclusiveLock guard(lock_);
    keepGoingLocked();
    return code;
}

void MappingService::closePinholesNow() {
    for (int done = 0; done < kExchangesPerWake; ++done) {
        PinholeExchange due;
        PinholeRoute route;
        {
            ExclusiveLock guard(lock_);
            if (!pinholes_.nextExchange(now(), due))
                return;
            route = route_;
        }
        if (due.job != PinholeJob::Close) {
            // Only closes are carried out here; the rest is the keeper thread's, soon after.
            ExclusiveLock guard(lock_);
            PinholeResult notNow;
            notNow.outcome = ExchangeOutcome::Unanswered;
            notNow.code = ERR_NO_RESPONSE;
            pinholes_.finish(now(), due, notNow);
            return;
        }
        const PinholeResult result = carryOutPinhole(due, route, 0);
        ExclusiveLock guard(lock_);
        pinholes_.finish(now(), due, result);
    }
}

void MappingService::contextOpened(void *context) {
    ExclusiveLock guard(lock_);
    if (std::find(contexts_.begin(), contexts_.end(), context) == contexts_.end())
        contexts_.push_back(context);
}

void MappingService::finalizerCalled(void *dataOrContext) {
    ExclusiveLock guard(lock_);
    if (dataOrContext != nullptr) {
        const auto it = std::find(contexts_.begin(), contexts_.end(), dataOrContext);
        if (it == contexts_.end())
            return; // not a context this library was given: nothing ends
        contexts_.erase(it);
        if (!contexts_.empty())
            return;
    }
    if (threadRunning_) {
        stopRequested_ = true;
        SetEvent(wake_);
    }
}

void MappingService::keepGoingLocked() {
    if ((keeper_.empty() && pinholes_.empty()) || wake_ == nullptr)
        return;
    stopRequested_ = false; // the application still uses the library
    if (!threadRunning_)
        threadRunning_ = startModuleThread(keeperThread);
    SetEvent(wake_);
}

bool MappingService::takeStop() {
    ExclusiveLock guard(lock_);
    if (!stopRequested_)
        return false;
    stopRequested_ = false;
    threadRunning_ = false;
    return true;
}

void MappingService::keeperThread() {
    MappingService &service = mappings();
    try {
        service.run();
    } catch (...) {
        // Out of memory: keeping ends here, and a later application call starts it again.
        ExclusiveLock guard(service.lock_);
        service.stopRequested_ = false;
        service.threadRunning_ = false;
    }
}

void MappingService::run() {
    RestartListeners listeners;
    NetworkWatch watch(wake_);
    std::vector<uint32_t> gateways = defaultGateways();
    std::sort(gateways.begin(), gateways.end());
    uint64_t lastLook = now();
    for (;;) {
        if (takeStop())
            return;
        bool ipv6Now;
        {
            SharedLock guard(lock_);
            ipv6Now = ipv6LookDue_;
        }
        if (ipv6Now || now() - lastLook >= kNetworkLookGapMs) {
            lookAtNetwork(gateways);
            lastLook = now();
        }
        listeners.drain([this](const Heard &heard) { hear(heard); });
        exchangeDue();

        HANDLE handles[3] = {wake_};
        const DWORD count = 1 + static_cast<DWORD>(listeners.events(handles + 1));
        uint64_t wakeAt;
        {
            SharedLock guard(lock_);
            wakeAt = std::min(keeper_.nextWakeMs(now()), pinholes_.nextWakeMs(now()));
        }
        const uint64_t at = now();
        const uint64_t wait = std::min(wakeAt > at ? wakeAt - at : 0, kKeeperLongestWaitMs);
        WaitForMultipleObjects(count, handles, FALSE, static_cast<DWORD>(wait));
    }
}

void MappingService::lookAtNetwork(std::vector<uint32_t> &gateways) {
    std::vector<uint32_t> current = defaultGateways();
    std::sort(current.begin(), current.end());
    const bool moved = !current.empty() && current != gateways;
    gateways = current;
    if (moved) {
        // Another network: the same search as at the start, and the kept mappings are made
        // on the gateway it finds.  The search publishes what it finds; when it finds none,
        // everything stays with the gateway known.
        publishGateway(searchGateway());
    }
    uint32_t gateway;
    {
        SharedLock guard(lock_);
        gateway = keeper_.gatewayAddress();
    }
    const uint32_t address = localAddressTowards(gateway);
    {
        ExclusiveLock guard(lock_);
        keeper_.localAddressSeen(now(), address);
    }
    lookAtIpv6Side();
}

void MappingService::lookAtIpv6Side() {
    MappingWay way;
    uint32_t gateway;
    ControlPoint firewall;
    std::wstring device;
    {
        ExclusiveLock guard(lock_);
        ipv6LookDue_ = false;
        if (!keeper_.hasGateway())
            return;
        way = keeper_.way();
        gateway = keeper_.gatewayAddress();
        firewall = firewall_;
        device = deviceUuid_;
    }
    view_ = lookAtIpv6(now(), localAddressTowards(gateway), way, firewall, device, view_);
    ExclusiveLock guard(lock_);
    pinholes_.setAddresses(now(), view_.addresses);
    pinholes_.setWays(now(), view_.ways);
    route_ = view_.route;
}

bool MappingService::pinholeDue() {
    PinholeExchange due;
    PinholeRoute route;
    {
        ExclusiveLock guard(lock_);
        if (stopRequested_ || !pinholes_.nextExchange(now(), due))
            return false;
        route = route_;
    }
    const PinholeResult result = carryOutPinhole(due, route, kKeeperConnectLimitMs);
    ExclusiveLock guard(lock_);
    pinholes_.finish(now(), due, result);
    return true;
}

void MappingService::hear(const Heard &heard) {
    ExclusiveLock guard(lock_);
    const bool restarted =
        heard.kind == Heard::Kind::PortControl
            ? keeper_.portControlAnnouncement(now(), heard.source, heard.sourcePort, heard.epoch)
            : keeper_.ssdpNotice(now(), heard.source,
                                 heard.notice.kind == NoticeKind::ByeBye ? SsdpNoticeKind::ByeBye
                                                                         : SsdpNoticeKind::Alive,
                                 heard.notice.hasBootId, heard.notice.bootId);
    // The same restart lost the pinholes too.
    if (restarted)
        pinholes_.gatewayRestarted(now());
}

void MappingService::exchangeDue() {
    for (int done = 0; done < kExchangesPerWake; ++done) {
        // An application call that waits goes first.
        while (callsWaiting_.load() > 0)
            Sleep(1);
        ExclusiveLock exchange(exchangeLock_);
        Exchange due;
        bool mapping;
        {
            ExclusiveLock guard(lock_);
            if (stopRequested_)
                return;
            mapping = keeper_.nextExchange(now(), due);
        }
        if (!mapping) {
            if (!pinholeDue())
                return;
            continue;
        }
        const ExchangeResult result = carryOut(due, kKeeperConnectLimitMs);
        ExclusiveLock guard(lock_);
        keeper_.finish(now(), due, result);
        settleWayLocked();
    }
}

static MappingService theService;

MappingService &mappings() { return theService; }

} // namespace portlink
