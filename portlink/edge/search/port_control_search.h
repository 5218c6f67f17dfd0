#pragma once
// The PCP and NAT-PMP side of the gateway search: probes to port 5351 of every default
// gateway of this host, sent with each batch of searches, and their answers read at the same
// polls, on a socket of their own.
#include <cstdint>
#include <vector>

#include "gateway_types.h"
#include "win/win_handles.h"

namespace portlink {

class PortControlSearch {
  public:
    // A non-blocking UDP socket on a port the system chooses, and this host's default
    // gateways as they stand now.
    PortControlSearch();

    // One PCP ANNOUNCE and one NAT-PMP external-address request to each gateway.
    void sendProbes();
    // Reads every waiting datagram; only an answer from a gateway's port 5351 counts.
    void readAnswers();

    // The gateway to use, when one answered: the first (in route-table order) that answered
    // PCP, else the first that answered NAT-PMP, with the epoch of that answer.
    bool found(uint32_t &gateway, MappingWay &way, uint32_t &epoch) const;

  private:
    struct Probed {
        uint32_t address;
        bool pcp = false;
        uint32_t pcpEpoch = 0;
        bool natPmp = false;
        uint32_t natPmpEpoch = 0;
    };
    UniqueSocket socket_;
    std::vector<Probed> gateways_;
};

} // namespace portlink
