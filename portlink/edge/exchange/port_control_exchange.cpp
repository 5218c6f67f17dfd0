#include "exchange/port_control_exchange.h"

#include <functional>
#include <vector>

#include "exchange/port_control_link.h"
#include "private_address.h"
#include "result_codes.h"

namespace portlink {

namespace {

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
    result.externalAddress = answer.externalAddress;
    return result;
}

using Belongs = std::function<bool(const PortControlAnswer &)>;

// One request and the test of which answers belong to it.
struct Question {
    std::vector<uint8_t> request;
    Belongs belongs;
};

// The PCP question of `exchange`, naming `client` as the PCP client: ANNOUNCE for an Epoch,
// else MAP.
Question pcpQuestion(const Exchange &exchange, uint32_t client) {
    if (exchange.job == ExchangeJob::Epoch)
        return {pcpAnnounceRequest(client),
                [](const PortControlAnswer &a) { return a.kind == AnswerKind::PcpAnnounce; }};
    const uint32_t lifetime = exchange.job == ExchangeJob::Delete ? 0 : kMappingLifetime;
    return {pcpMapRequest(exchange.nonce, exchange.transport, exchange.internalPort,
                          exchange.externalPort, lifetime, client),
            [exchange](const PortControlAnswer &a) {
                return answersPcpMap(a, exchange.nonce, exchange.transport, exchange.internalPort);
            }};
}

// The NAT-PMP question of `exchange`: the external address request for an Epoch, else a map.
Question natPmpQuestion(const Exchange &exchange) {
    if (exchange.job == ExchangeJob::Epoch)
        return {natPmpAddressRequest(),
                [](const PortControlAnswer &a) { return a.kind == AnswerKind::NatPmpAddress; }};
    const uint32_t lifetime = exchange.job == ExchangeJob::Delete ? 0 : kMappingLifetime;
    return {natPmpMapRequest(exchange.transport, exchange.internalPort, exchange.externalPort,
                             lifetime),
            [exchange](const PortControlAnswer &a) {
                return answersNatPmpMap(a, exchange.transport, exchange.internalPort);
            }};
}

// Asks `question` in PCP; an answer in NAT-PMP's "unsupported version" form is taken too, and
// `unsupported` tells it apart.
ExchangeResult askPcp(PortControlLink &link, const Question &question, bool &unsupported) {
    PortControlAnswer answer;
    unsupported = false;
    const bool answered = link.ask(
        question.request,
        [&](const PortControlAnswer &a) {
            return question.belongs(a) || a.kind == AnswerKind::UnsupportedVersionV0;
        },
        answer);
    if (!answered)
        return unansweredResult(ERR_NO_RESPONSE);
    unsupported = answer.kind == AnswerKind::UnsupportedVersionV0;
    return fromAnswer(answer);
}

// One question in the gateway's protocol: the PCP request (unless the server is known to speak
// only NAT-PMP), and the NAT-PMP one in its place when the server answers PCP in NAT-PMP's
// "unsupported version" form, which sets `spokeNatPmp`.
ExchangeResult askEitherWay(PortControlLink &link, bool pcp, bool &spokeNatPmp,
                            const Question &pcpQuestion, const Question &natPmpQuestion) {
    if (pcp && !spokeNatPmp) {
        bool unsupported = false;
        const ExchangeResult result = askPcp(link, pcpQuestion, unsupported);
        if (!unsupported)
            return result;
        spokeNatPmp = true; // a server that speaks only NAT-PMP: the same question in its form
    }
    PortControlAnswer answer;
    const bool answered = link.ask(natPmpQuestion.request, natPmpQuestion.belongs, answer);
    return answered ? fromAnswer(answer) : unansweredResult(ERR_NO_RESPONSE);
}

} // namespace

ExchangeResult carryOutPortControl(const Exchange &exchange, uint32_t gateway, bool &spokeNatPmp) {
    PortControlLink link(gateway);
    const uint32_t client = link.clientAddress();
    if (client == 0)
        return unansweredResult(ERR_SOCKET);
    if (!isPrivateAddress(client)) {
        ExchangeResult refused;
        refused.outcome = ExchangeOutcome::Refused;
        refused.code = ERR_NOT_LAN_ADDRESS;
        return refused;
    }
    return askEitherWay(link, exchange.way == MappingWay::Pcp, spokeNatPmp,
                        pcpQuestion(exchange, client), natPmpQuestion(exchange));
}

ExchangeResult carryOutUpstreamPcp(const Exchange &exchange, uint32_t nextRouter) {
    if (exchange.way != MappingWay::Pcp || nextRouter == 0 || exchange.clientAddress == 0)
        return unansweredResult(ERR_NO_GATEWAY);
    PortControlLink link(nextRouter);
    if (link.clientAddress() == 0)
        return unansweredResult(ERR_SOCKET);
    bool unsupported = false;
    return askPcp(link, pcpQuestion(exchange, exchange.clientAddress), unsupported);
}

} // namespace portlink
