#pragma once
// One PCP or NAT-PMP request to the gateway's port 5351 and its answer.
#include <cstdint>
#include <functional>
#include <vector>

#include "ipv6_text.h"
#include "port_control.h"
#include "win/win_handles.h"

namespace portlink {

class PortControlLink {
  public:
    // A UDP socket connected to gateway:5351, so that only the gateway's answers reach it.
    explicit PortControlLink(uint32_t gateway);
    // Over IPv6: a UDP socket bound to [from]:0 (a port of the system's choice) and connected
    // to [gateway%scopeId]:5351; the scope goes with a link-local `from` or `gateway` only.
    PortControlLink(const Ipv6Address &from, const Ipv6Address &gateway, uint32_t scopeId);

    // Whether the socket is open and connected: `ask` can send.
    bool valid() const { return socket_.valid(); }

    // This host's IPv4 address on the link to the gateway (network order); 0 without a link,
    // and always 0 over IPv6.
    uint32_t clientAddress() const { return clientAddress_; }

    // Sends `request` at 0, 250, 750 and 1750 ms and waits until 2000 ms for an answer that
    // `belongs` to it; datagrams that do not are passed over.  False without one.  `bytes`,
    // when not null, receives the datagram of the answer taken.
    bool ask(const std::vector<uint8_t> &request,
             const std::function<bool(const PortControlAnswer &)> &belongs,
             PortControlAnswer &answer, std::vector<uint8_t> *bytes = nullptr);

  private:
    // Makes the socket non-blocking when `connected`, else closes it.
    void finishOpening(bool connected);

    UniqueSocket socket_;
    uint32_t clientAddress_ = 0;
};

} // namespace portlink
