#include "exchange/port_control_exchange.h"

#include <functional>
#include <vector>

#include "exchange/port_control_link.h"
#include "private_address.h"
#include "result_codes.h"

namespace portlink {

namespace {

ExchangeResult unanswered(int32_t code) {
    ExchangeResult result;
    result.outcome = ExchangeOutcome::Unanswered;
    result.code = code;
    return result;
}

ExchangeResult fromAnswer(const PortControlAnswer &answer) {
    ExchangeResult result;
    result.hasEpoch = true;
    result.epoch = answer.epoch;
    if (answer.result != kResultSuccess) {
        result.outcome = ExchangeOutcome::Refused;
        result.code = ERR_MAPPING_REFUSED;
        return result;
    }
    result.outcome = ExchangeOutcome::Granted;
    result.externalPort = answer.externalPort;
    result.lifetime = answer.lifetime;
    return result;
}

using Belongs = std::function<bool(const PortControlAnswer &)>;

// One question in the gateway's protocol: the PCP request (unless the server is known to speak
// only NAT-PMP), and the NAT-PMP one in its place when the server answers PCP in NAT-PMP's
// "unsupported version" form, which sets `spokeNatPmp`.
ExchangeResult askEitherWay(PortControlLink &link, bool pcp, bool &spokeNatPmp,
                            const std::vector<uint8_t> &pcpRequest, const Belongs &pcpAnswer,
                            const std::vector<uint8_t> &natPmpRequest,
                            const Belongs &natPmpAnswer) {
    PortControlAnswer answer;
    if (pcp && !spokeNatPmp) {
        const bool answered = link.ask(
            pcpRequest,
            [&](const PortControlAnswer &a) {
                return pcpAnswer(a) || a.kind == AnswerKind::UnsupportedVersionV0;
            },
            answer);
        if (!answered)
            return unanswered(ERR_NO_RESPONSE);
        if (answer.kind != AnswerKind::UnsupportedVersionV0)
            return fromAnswer(answer);
        spokeNatPmp = true; // a server that speaks only NAT-PMP: the same question in its form
    }
    const bool answered = link.ask(natPmpRequest, natPmpAnswer, answer);
    return answered ? fromAnswer(answer) : unanswered(ERR_NO_RESPONSE);
}

} // namespace

ExchangeResult carryOutPortControl(const Exchange &exchange, uint32_t gateway, bool &spokeNatPmp) {
    PortControlLink link(gateway);
    const uint32_t client = link.clientAddress();
    if (client == 0)
        return unanswered(ERR_SOCKET);
    if (!isPrivateAddress(client)) {
        ExchangeResult refused;
        refused.outcome = ExchangeOutcome::Refused;
        refused.code = ERR_NOT_LAN_ADDRESS;
        return refused;
    }
    const bool pcp = exchange.way == MappingWay::Pcp;
    // An Epoch: PCP ANNOUNCE, or the NAT-PMP external address request; any answer, success or
    // error, carries the server's epoch.
    if (exchange.job == ExchangeJob::Epoch)
        return askEitherWay(
            link, pcp, spokeNatPmp, pcpAnnounceRequest(client),
            [](const PortControlAnswer &a) { return a.kind == AnswerKind::PcpAnnounce; },
            natPmpAddressRequest(),
            [](const PortControlAnswer &a) { return a.kind == AnswerKind::NatPmpAddress; });
    const uint32_t lifetime = exchange.job == ExchangeJob::Delete ? 0 : kMappingLifetime;
    const uint8_t transport = exchange.transport;
    const uint16_t internal = exchange.internalPort;
    return askEitherWay(
        link, pcp, spokeNatPmp,
        pcpMapRequest(exchange.nonce, transport, internal, exchange.externalPort, lifetime, client),
        [&](const PortControlAnswer &a) {
            return answersPcpMap(a, exchange.nonce, transport, internal);
        },
        natPmpMapRequest(transport, internal, exchange.externalPort, lifetime),
        [&](const PortControlAnswer &a) { return answersNatPmpMap(a, transport, internal); });
}

} // namespace portlink
