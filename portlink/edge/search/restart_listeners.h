#pragma once
// What a gateway says on the LAN when it restarts: PCP ANNOUNCE and NAT-PMP address
// announcements to 224.0.0.1:5350, and SSDP NOTIFY to 239.255.255.250:1900.
#include <winsock2.h>

#include <cstdint>
#include <functional>

#include "ssdp_notice.h"
#include "win/win_handles.h"

namespace portlink {

// One datagram heard.  PortControl: a PCP ANNOUNCE or NAT-PMP address answer with its epoch.
// Ssdp: a NOTIFY.
struct Heard {
    enum class Kind { PortControl, Ssdp } kind = Kind::PortControl;
    uint32_t source = 0; // network order
    uint16_t sourcePort = 0;
    uint32_t epoch = 0;
    SsdpNotice notice;
};

// A UDP socket bound to one port of every address, joined to one group, whose arrivals
// signal an event.
class GroupListener {
  public:
    GroupListener(uint16_t port, const char *group);
    ~GroupListener();
    GroupListener(const GroupListener &) = delete;
    GroupListener &operator=(const GroupListener &) = delete;

    // Null when the socket could not be set up (the port is taken, say).
    HANDLE event() const { return event_; }
    SOCKET socket() const { return socket_.get(); }

  private:
    UniqueSocket socket_;
    HANDLE event_ = nullptr;
};

class RestartListeners {
  public:
    RestartListeners();

    // The events of the sockets that could be opened: up to two.
    size_t events(HANDLE *out) const;
    // Reads what has arrived on both sockets, at most kMaxReads datagrams each, so a flood
    // cannot hold the caller, and hands each announcement or notice to `heard`.
    void drain(const std::function<void(const Heard &)> &heard);

    static constexpr int kMaxReads = 256;

  private:
    GroupListener portControl_;
    GroupListener ssdp_;
};

} // namespace portlink
