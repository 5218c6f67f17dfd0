#pragma once
// One PCP or NAT-PMP request to the gateway's port 5351 and its answer.
#include <cstdint>
#include <functional>
#include <vector>

#include "port_control.h"
#include "win_handles.h"

namespace portlink {

class PortControlLink {
  public:
    // A UDP socket connected to gateway:5351, so that only the gateway's answers reach it.
    explicit PortControlLink(uint32_t gateway);

    // This host's address on the link to the gateway (network order); 0 without a link.
    uint32_t clientAddress() const { return clientAddress_; }

    // Sends `request` at 0, 250, 750 and 1750 ms and waits until 2000 ms for an answer that
    // `belongs` to it; datagrams that do not are passed over.  False without one.
    bool ask(const std::vector<uint8_t> &request,
             const std::function<bool(const PortControlAnswer &)> &belongs,
             PortControlAnswer &answer);

  private:
    UniqueSocket socket_;
    uint32_t clientAddress_ = 0;
};

} // namespace portlink
