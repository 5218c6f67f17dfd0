#pragma once
// Port mappings through PCP or NAT-PMP, for a gateway that discovery found speaking one of
// them: each mapping is made in one UDP round trip, kept alive while the application runs by
// one renewal thread, and deleted on request.
#include <winsock2.h>
#include <windows.h>

#include <cstdint>
#include <vector>

#include "port_control.h"

namespace portlink {

enum class PortControlProtocol { None, Pcp, NatPmp };

class PortControlClient {
  public:
    PortControlClient();
    ~PortControlClient();
    PortControlClient(const PortControlClient &) = delete;
    PortControlClient &operator=(const PortControlClient &) = delete;

    // Discovery thread: the gateway that answered, how, and the epoch it answered with.
    void setGateway(uint32_t gateway, PortControlProtocol protocol, uint32_t epoch);
    bool found() const;

    // Maps external -> this host:internal for `protocol` (6 or 17) with a fresh nonce, or
    // renews this process's own mapping of that external port.  0 only when the gateway
    // granted exactly the external port asked for; a mapping granted on another port is
    // deleted again at once.  The mapping is renewed until it is removed or renewing stops.
    int32_t addMapping(uint16_t internalPort, uint16_t externalPort, uint8_t protocol);
    // Deletes a mapping this process made, and stops renewing it.  ERR_NOT_MAPPED_HERE, with
    // nothing sent, for any other.
    int32_t removeMapping(uint16_t externalPort, uint8_t protocol);

    // The runtime is letting go of the library: the renewal thread ends, and the mappings
    // lapse on the gateway within their lifetime.  A later add starts renewing again.
    void stopRenewing();

  private:
    struct Kept {
        uint8_t protocol;
        uint16_t internalPort;
        uint16_t externalPort;
        MappingNonce nonce;
        uint32_t lifetime;
        uint64_t renewAtMs;
    };
    struct Gateway {
        uint32_t address = 0;
        PortControlProtocol protocol = PortControlProtocol::None;
    };

    Gateway gateway() const;
    // One MAP (or NAT-PMP map) exchange with the gateway; falls back to NAT-PMP for good
    // when a PCP request is answered in NAT-PMP's "unsupported version" form.
    int32_t map(const MappingNonce &nonce, uint8_t protocol, uint16_t internalPort,
                uint16_t externalPort, uint32_t lifetime, PortControlAnswer &answer);
    // Feeds the epoch of an answer; when the server lost its state, every mapping is due.
    void noteEpoch(uint32_t epoch);
    // Starts the renewal thread unless it runs; lock_ held.
    void startRenewingLocked();
    // The renewal thread: renews each mapping when it is due, until renewing stops.
    void renewDue();
    void renew(const Kept &mapping);
    static DWORD WINAPI renewalThread(LPVOID module);

    // One exchange with the gateway at a time, so that a renewal can never overtake the
    // delete of the same mapping; taken before lock_, never while holding it.
    SRWLOCK exchangeLock_ = SRWLOCK_INIT;
    mutable SRWLOCK lock_ = SRWLOCK_INIT;
    Gateway gateway_;
    EpochState epoch_;
    std::vector<Kept> kept_;
    bool threadRunning_ = false;
    bool stopRequested_ = false;
    HANDLE wake_; // auto-reset: a mapping became due earlier, or renewing stops
};

} // namespace portlink
