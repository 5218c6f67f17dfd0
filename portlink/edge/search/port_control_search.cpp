#include "search/port_control_search.h"

#include <winsock2.h>

#include "win/datagram.h"
#include "win/default_gateways.h"
#include "win/local_route.h"
#include "port_control.h"

namespace portlink {

namespace {

// A bound on the datagrams read at one poll, so that a flood cannot hold the search.
constexpr int kMaxReadsPerPoll = 256;

} // namespace

PortControlSearch::PortControlSearch() : socket_(socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP)) {
    if (!socket_.valid())
        return;
    u_long nonBlocking = 1;
    ioctlsocket(socket_.get(), FIONBIO, &nonBlocking);
    for (const uint32_t address : defaultGateways())
        gateways_.push_back({address});
}

void PortControlSearch::sendProbes() {
    if (!socket_.valid())
        return;
    for (const Probed &gateway : gateways_) {
        sockaddr_in server = {};
        server.sin_family = AF_INET;
        server.sin_port = htons(kPortControlPort);
        server.sin_addr.s_addr = gateway.address;
        // PCP names the client by the address the datagram leaves from.
        for (const std::vector<uint8_t> &probe :
             {pcpAnnounceRequest(localAddressTowards(gateway.address)), natPmpAddressRequest()})
            sendto(socket_.get(), reinterpret_cast<const char *>(probe.data()),
                   static_cast<int>(probe.size()), 0, reinterpret_cast<const sockaddr *>(&server),
                   sizeof server);
    }
}

void PortControlSearch::readAnswers() {
    if (!socket_.valid())
        return;
    // A gateway without the service reports port-unreachable, which costs one read: the next
    // one may have it.
    drainDatagrams(socket_.get(), kMaxReadsPerPoll, [this](const Datagram &datagram) {
        const sockaddr_in *sender = datagram.senderIpv4();
        if (sender == nullptr || sender->sin_port != htons(kPortControlPort))
            return true;
        for (Probed &gateway : gateways_) {
            if (gateway.address != sender->sin_addr.s_addr)
                continue;
            const PortControlAnswer answer = readPortControlAnswer(
                reinterpret_cast<const uint8_t *>(datagram.bytes), datagram.length);
            if (answer.result != kResultSuccess)
                break;
            if (answer.kind == AnswerKind::PcpAnnounce && !gateway.pcp) {
                gateway.pcp = true;
                gateway.pcpEpoch = answer.epoch;
            } else if (answer.kind == AnswerKind::NatPmpAddress && !gateway.natPmp) {
                gateway.natPmp = true;
                gateway.natPmpEpoch = answer.epoch;
            }
            break;
        }
        return true;
    });
}

bool PortControlSearch::found(uint32_t &gateway, MappingWay &way, uint32_t &epoch) const {
    for (const MappingWay wanted : {MappingWay::Pcp, MappingWay::NatPmp}) {
        for (const Probed &probed : gateways_) {
            if (wanted == MappingWay::Pcp ? probed.pcp : probed.natPmp) {
                gateway = probed.address;
                way = wanted;
                epoch = wanted == MappingWay::Pcp ? probed.pcpEpoch : probed.natPmpEpoch;
                return true;
            }
        }
    }
    return false;
}

} // namespace portlink
