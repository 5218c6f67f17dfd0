#include "port_control_client.h"

#include <ntsecapi.h>

#include <algorithm>

#include "nat_session.h"
#include "port_control_link.h"
#include "private_address.h"
#include "result_codes.h"
#include "srw_lock.h"
#include "win_handles.h"

namespace portlink {

namespace {

// Any object inside this library: its address names the module for a reference to it.
const char moduleAnchor = 0;

// The longest single wait of the renewal thread; it looks again after that.
constexpr uint64_t kLongestWaitMs = 3600 * 1000;

bool drawNonce(MappingNonce &nonce) {
    return RtlGenRandom(nonce.data(), static_cast<ULONG>(nonce.size())) != FALSE;
}

} // namespace

PortControlClient::PortControlClient() : wake_(CreateEventW(nullptr, FALSE, FALSE, nullptr)) {}

PortControlClient::~PortControlClient() {
    // A renewal thread holds a reference to this library, so at an unload none runs; at the
    // process's end the system has ended it already.
    if (wake_ != nullptr)
        CloseHandle(wake_);
}

void PortControlClient::setGateway(uint32_t gateway, PortControlProtocol protocol,
                                   uint32_t epoch) {
    ExclusiveLock guard(lock_);
    gateway_ = {gateway, protocol};
    epoch_ = EpochState();
    serverLostState(epoch_, epoch, GetTickCount64());
}

bool PortControlClient::found() const { return gateway().protocol != PortControlProtocol::None; }

PortControlClient::Gateway PortControlClient::gateway() const {
    SharedLock guard(lock_);
    return gateway_;
}

int32_t PortControlClient::map(const MappingNonce &nonce, uint8_t protocol,
                               uint16_t internalPort, uint16_t externalPort, uint32_t lifetime,
                               PortControlAnswer &answer) {
    const Gateway server = gateway();
    if (server.protocol == PortControlProtocol::None)
        return ERR_NO_GATEWAY;
    PortControlLink link(server.address);
    const uint32_t client = link.clientAddress();
    if (client == 0)
        return ERR_SOCKET;
    if (!isPrivateAddress(client))
        return ERR_NOT_LAN_ADDRESS;

    bool answered = false;
    if (server.protocol == PortControlProtocol::Pcp) {
        answered = link.ask(
            pcpMapRequest(nonce, protocol, internalPort, externalPort, lifetime, client),
            [&](const PortControlAnswer &a) {
                return answersPcpMap(a, nonce, protocol, internalPort) ||
                       a.kind == AnswerKind::UnsupportedVersionV0;
            },
            answer);
        if (answered && answer.kind == AnswerKind::UnsupportedVersionV0) {
            // A server that speaks only NAT-PMP (RFC 6887 section 9): NAT-PMP from now on.
            {
                ExclusiveLock guard(lock_);
                if (gateway_.address == server.address)
                    gateway_.protocol = PortControlProtocol::NatPmp;
                epoch_ = EpochState();
            }
            return map(nonce, protocol, internalPort, externalPort, lifetime, answer);
        }
    } else {
        answered = link.ask(natPmpMapRequest(protocol, internalPort, externalPort, lifetime),
                            [&](const PortControlAnswer &a) {
                                return answersNatPmpMap(a, protocol, internalPort);
                            },
                            answer);
    }
    if (!answered)
        return ERR_NO_RESPONSE;
    noteEpoch(answer.epoch);
    return answer.result == kResultSuccess ? RESULT_OK : ERR_MAPPING_REFUSED;
}

void PortControlClient::noteEpoch(uint32_t epoch) {
    ExclusiveLock guard(lock_);
    if (!serverLostState(epoch_, epoch, GetTickCount64()))
        return;
    // The gateway restarted and forgot its mappings: every one is made again at once.
    for (Kept &k : kept_)
        k.renewAtMs = 0;
    SetEvent(wake_);
}

int32_t PortControlClient::addMapping(uint16_t internalPort, uint16_t externalPort,
                                      uint8_t protocol) {
    ExclusiveLock exchange(exchangeLock_);
    MappingNonce nonce{};
    bool known = false;
    {
        SharedLock guard(lock_);
        for (const Kept &k : kept_) {
            if (k.protocol == protocol && k.externalPort == externalPort &&
                k.internalPort == internalPort) {
                nonce = k.nonce; // asking again renews this process's own mapping
                known = true;
            }
        }
    }
    if (!known && !drawNonce(nonce))
        return ERR_NO_NONCE;

    PortControlAnswer answer;
    const int32_t result =
        map(nonce, protocol, internalPort, externalPort, kMappingLifetime, answer);
    const bool granted = result == RESULT_OK && answer.externalPort == externalPort;
    if (result == RESULT_OK && !granted) {
        // The function promises the external port it was asked for: the other one goes.
        PortControlAnswer deleted;
        map(nonce, protocol, internalPort, answer.externalPort, 0, deleted);
    }
    ExclusiveLock guard(lock_);
    // An earlier mapping of this external port is replaced, or gone with the refusal.
    kept_.erase(std::remove_if(kept_.begin(), kept_.end(),
                               [&](const Kept &k) {
                                   return k.protocol == protocol &&
                                          k.externalPort == externalPort;
                               }),
                kept_.end());
    if (!granted)
        return result == RESULT_OK ? ERR_OTHER_PORT : result;
    kept_.push_back({protocol, internalPort, externalPort, nonce, answer.lifetime,
                     GetTickCount64() + renewalDelayMs(answer.lifetime)});
    stopRequested_ = false; // the runtime still uses the library
    startRenewingLocked();
    SetEvent(wake_);
    return RESULT_OK;
}

int32_t PortControlClient::removeMapping(uint16_t externalPort, uint8_t protocol) {
    ExclusiveLock exchange(exchangeLock_);
    Kept mapping{};
    {
        ExclusiveLock guard(lock_);
        const auto it = std::find_if(kept_.begin(), kept_.end(), [&](const Kept &k) {
            return k.protocol == protocol && k.externalPort == externalPort;
        });
        if (it == kept_.end())
            return ERR_NOT_MAPPED_HERE;
        mapping = *it;
        kept_.erase(it);
    }
    PortControlAnswer answer;
    return map(mapping.nonce, protocol, mapping.internalPort, externalPort, 0, answer);
}

void PortControlClient::stopRenewing() {
    ExclusiveLock guard(lock_);
    if (threadRunning_) {
        stopRequested_ = true;
        SetEvent(wake_);
    }
}

void PortControlClient::startRenewingLocked() {
    if (threadRunning_ || wake_ == nullptr)
        return;
    // As for discovery: the thread holds its own reference to this library, so an unload by
    // the runtime cannot pull its code away; it frees it as it ends.
    ModuleReference library(&moduleAnchor);
    if (library.get() == nullptr)
        return;
    UniqueHandle thread(CreateThread(nullptr, 0, renewalThread, library.get(), 0, nullptr));
    if (!thread.valid())
        return;
    library.release();
    threadRunning_ = true;
}

DWORD WINAPI PortControlClient::renewalThread(LPVOID module) {
    try {
        session().portControl().renewDue();
    } catch (...) {
        // Out of memory: renewing ends, and the mappings lapse on their own.
        ExclusiveLock guard(session().portControl().lock_);
        session().portControl().threadRunning_ = false;
    }
    FreeLibraryAndExitThread(static_cast<HMODULE>(module), 0);
}

void PortControlClient::renewDue() {
    for (;;) {
        std::vector<Kept> due;
        uint64_t wait = kLongestWaitMs;
        {
            ExclusiveLock guard(lock_);
            if (stopRequested_) {
                stopRequested_ = false;
                threadRunning_ = false;
                return;
            }
            const uint64_t now = GetTickCount64();
            for (const Kept &k : kept_) {
                if (k.renewAtMs <= now)
                    due.push_back(k);
                else
                    wait = std::min(wait, k.renewAtMs - now);
            }
        }
        if (due.empty()) {
            WaitForSingleObject(wake_, static_cast<DWORD>(wait));
            continue;
        }
        for (const Kept &k : due)
            renew(k);
    }
}

void PortControlClient::renew(const Kept &mapping) {
    ExclusiveLock exchange(exchangeLock_);
    const auto same = [&](const Kept &k) {
        return k.protocol == mapping.protocol && k.externalPort == mapping.externalPort &&
               k.nonce == mapping.nonce;
    };
    {
        // Removed, or replaced, while this renewal waited for its turn: nothing to renew.
        SharedLock guard(lock_);
        if (std::none_of(kept_.begin(), kept_.end(), same))
            return;
    }
    PortControlAnswer answer;
    const int32_t result = map(mapping.nonce, mapping.protocol, mapping.internalPort,
                               mapping.externalPort, kMappingLifetime, answer);
    const bool moved = result == RESULT_OK && answer.externalPort != mapping.externalPort;
    if (moved) {
        // The gateway gave the mapping another port: it no longer is what was asked for.
        PortControlAnswer deleted;
        map(mapping.nonce, mapping.protocol, mapping.internalPort, answer.externalPort, 0,
            deleted);
    }
    ExclusiveLock guard(lock_);
    const auto it = std::find_if(kept_.begin(), kept_.end(), same);
    if (it == kept_.end())
        return;
    const uint64_t now = GetTickCount64();
    if (moved) {
        kept_.erase(it);
    } else if (result == RESULT_OK) {
        it->lifetime = answer.lifetime;
        it->renewAtMs = std::max(it->renewAtMs, now + renewalDelayMs(answer.lifetime));
    } else {
        // No answer, or refused: again in a while, well before the lifetime runs out.
        it->renewAtMs = now + renewalDelayMs(it->lifetime) / 2;
    }
}

} // namespace portlink
