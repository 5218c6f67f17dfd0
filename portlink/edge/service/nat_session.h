#pragma once
// The one process-wide session of the extension: discovery flags, the texts that discovery
// finds, and this host's IPv4 address.
//
// Two threads use it: the runtime's calling thread and the discovery thread.  The discovery
// texts are only reached through the accessors below, which copy under a lock held for that
// copy or assignment alone, so a reader never meets a half-assigned or released text.
// `searchEnded` is published after the texts (release) and read with acquire, so a caller
// that has seen it true sees their final values.
#include <windows.h>

#include <atomic>
#include <cstdint>
#include <string>

#include "gateway_types.h"

namespace portlink {

// A gateway that maps through PCP or NAT-PMP: its address (network order) and how.
struct PortControlGateway {
    bool found = false;
    MappingWay way = MappingWay::Pcp;
    uint32_t address = 0;
};

class NatSession {
  public:
    NatSession();
    ~NatSession();
    NatSession(const NatSession &) = delete;
    NatSession &operator=(const NatSession &) = delete;

    // --- discovery flags -------------------------------------------------------------
    bool searchEnded() const { return searchEnded_.load(std::memory_order_acquire); }
    // The discovery thread's very last act.
    void markSearchEnded() { searchEnded_.store(true, std::memory_order_release); }
    // Tests and sets searchStarted in one step: true for the one caller that claimed it.
    bool claimSearch() { return searchStarted_.exchange(1, std::memory_order_acq_rel) == 0; }

    // --- the gateway found (copies; assignments of whole new texts) -----------------
    // The control URL and the service type, read together in one step, so an action never
    // pairs the control URL of one service with the type of another.
    ControlPoint controlPoint() const;
    // The gateway a search found, in one step: a UPnP control point (its control URL not
    // empty), or else a PCP or NAT-PMP gateway; whatever was found before is replaced.
    void publishGateway(ControlPoint upnp, PortControlGateway portControl);
    // A gateway was found: a control URL, or a PCP or NAT-PMP gateway.
    bool foundGateway() const;

    // --- local address (runtime's calling thread only) -------------------------------
    // A copy of the dotted address, looked up first while it is still empty.
    std::wstring getLocalAddressText();
    // The address in network order, looked up first while it is still 0.
    uint32_t getLocalAddress();

  private:
    void lookUpLocalAddress();

    // Fields in their declaration order.
    std::atomic<bool> searchEnded_;
    std::atomic<uint32_t> searchStarted_;
    std::wstring serviceType_;
    std::wstring controlUrl_;
    std::wstring localAddressText_;
    uint32_t localAddress_;
    // WSACleanup balances a WSAStartup that succeeded, never one that failed: the socket
    // layer is counted per process, and the host application's sockets share it.
    bool socketsStarted_;

    mutable SRWLOCK textLock_ = SRWLOCK_INIT;
    PortControlGateway portControl_;
};

// The session, built at library load before any entry point can be called.
NatSession &session();

} // namespace portlink
