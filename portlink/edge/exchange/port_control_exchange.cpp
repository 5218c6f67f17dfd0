#include "exchange/port_control_exchange.h"

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

// An Epoch: PCP ANNOUNCE, or the NAT-PMP external address request; any answer, success or
// error, carries the server's epoch.
ExchangeResult askEpoch(PortControlLink &link, const Exchange &exchange, uint32_t client,
                        bool &spokeNatPmp) {
    PortControlAnswer answer;
    if (exchange.way == MappingWay::Pcp && !spokeNatPmp) {
        const bool answered = link.ask(
            pcpAnnounceRequest(client),
            [](const PortControlAnswer &a) {
                return a.kind == AnswerKind::PcpAnnounce ||
                       a.kind == AnswerKind::UnsupportedVersionV0;
            },
            answer);
        if (!answered)
            return unanswered(ERR_NO_RESPONSE);
        if (answer.kind != AnswerKind::UnsupportedVersionV0)
            return fromAnswer(answer);
        spokeNatPmp = true; // a server that speaks only NAT-PMP: its own request
    }
    const bool answered = link.ask(
        natPmpAddressRequest(),
        [](const PortControlAnswer &a) { return a.kind == AnswerKind::NatPmpAddress; }, answer);
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
    if (exchange.job == ExchangeJob::Epoch)
        return askEpoch(link, exchange, client, spokeNatPmp);
    const uint32_t lifetime = exchange.job == ExchangeJob::Delete ? 0 : kMappingLifetime;
    const uint8_t transport = exchange.transport;
    const uint16_t internal = exchange.internalPort;
    PortControlAnswer answer;
    if (exchange.way == MappingWay::Pcp && !spokeNatPmp) {
        const bool answered = link.ask(
            pcpMapRequest(exchange.nonce, transport, internal, exchange.externalPort, lifetime,
                          client),
            [&](const PortControlAnswer &a) {
                return answersPcpMap(a, exchange.nonce, transport, internal) ||
                       a.kind == AnswerKind::UnsupportedVersionV0;
            },
            answer);
        if (!answered)
            return unanswered(ERR_NO_RESPONSE);
        if (answer.kind != AnswerKind::UnsupportedVersionV0)
            return fromAnswer(answer);
        // A server that speaks only NAT-PMP: the same request in its form.
        spokeNatPmp = true;
    }
    const bool answered = link.ask(
        natPmpMapRequest(transport, internal, exchange.externalPort, lifetime),
        [&](const PortControlAnswer &a) { return answersNatPmpMap(a, transport, internal); },
        answer);
    return answered ? fromAnswer(answer) : unanswered(ERR_NO_RESPONSE);
}

} // namespace portlink
