#include "exchange/pinhole_exchange.h"

#include "win/ansi_text.h"
#include "exchange/http_exchange.h"
#include "pcp_ipv6.h"
#include "pinhole_soap.h"
#include "exchange/port_control_link.h"
#include "result_codes.h"
#include "soap.h"
#include "text_ops.h"

namespace portlink {

namespace {

PinholeResult outcome(ExchangeOutcome what, int32_t code, bool retryLater = true) {
    PinholeResult result;
    result.outcome = what;
    result.code = code;
    result.retryLater = retryLater;
    return result;
}

// One action of the firewall service, posted over IPv6 to the gateway's address at the port
// and path of the control URL that its description gave.
int32_t invokeFirewallAction(const PinholeExchange &exchange, const PinholeRoute &route,
                             const std::wstring &action, const std::wstring &arguments,
                             std::wstring &answer, int32_t connectLimitMs) {
    RequestTarget target;
    if (!splitRequestUrl(route.firewall.controlUrl, target) || target.port <= 0 ||
        target.port > 0xFFFF)
        return ERR_NO_GATEWAY;
    const std::wstring authority =
        L"[" + formatIpv6(route.upnpGateway) + L"]:" + std::to_wstring(target.port);
    const std::wstring envelope = buildEnvelope(action, arguments, route.firewall.serviceType);
    const std::wstring request =
        buildControlRequest(target.path, authority, narrowAnsi(envelope).size(),
                            route.firewall.serviceType, action, envelope);
    return httpExchange6(exchange.address, route.upnpGateway, route.upnpScope,
                         static_cast<uint16_t>(target.port), request, answer, connectLimitMs);
}

PinholeResult throughUpnp(const PinholeExchange &exchange, const PinholeRoute &route,
                          int32_t connectLimitMs) {
    std::wstring answer;
    int32_t code = RESULT_OK;
    switch (exchange.job) {
    case PinholeJob::Open:
        code = invokeFirewallAction(exchange, route, L"AddPinhole",
                                    addPinholeArguments(exchange.address, exchange.port,
                                                        exchange.transport),
                                    answer, connectLimitMs);
        break;
    case PinholeJob::Renew:
        code = invokeFirewallAction(exchange, route, L"UpdatePinhole",
                                    updatePinholeArguments(exchange.uniqueId), answer,
                                    connectLimitMs);
        break;
    case PinholeJob::Close:
        code = invokeFirewallAction(exchange, route, L"DeletePinhole",
                                    deletePinholeArguments(exchange.uniqueId), answer,
                                    connectLimitMs);
        break;
    }
    if (code == ERR_NO_RESPONSE || code == ERR_SOCKET)
        return outcome(ExchangeOutcome::Unanswered, code);
    if (code == ERR_HTTP_STATUS) {
        const PinholeFault fault = classifyPinholeFault(upnpErrorCode(answer));
        return outcome(ExchangeOutcome::Refused, fault.result, fault.retryLater);
    }
    if (code != RESULT_OK)
        return outcome(ExchangeOutcome::Refused, code, false);
    PinholeResult result = outcome(ExchangeOutcome::Granted, RESULT_OK);
    result.lifetime = kPinholeLeaseSeconds;
    result.uniqueId = exchange.uniqueId;
    if (exchange.job == PinholeJob::Open) {
        const int32_t read = readPinholeId(answer, result.uniqueId);
        if (read != RESULT_OK)
            return outcome(ExchangeOutcome::Refused, read);
    }
    return result;
}

PinholeResult throughPcp(const PinholeExchange &exchange, const PinholeRoute &route) {
    PortControlLink link(exchange.address, route.pcpGateway, route.pcpScope);
    if (!link.valid())
        return outcome(ExchangeOutcome::Unanswered, ERR_SOCKET);
    const uint32_t lifetime = exchange.job == PinholeJob::Close ? 0 : kPinholeLifetimeSeconds;
    PortControlAnswer answer;
    std::vector<uint8_t> bytes;
    if (!link.ask(pcpPinholeRequest(exchange.nonce, exchange.transport, exchange.port, lifetime,
                                    exchange.address),
                  [&](const PortControlAnswer &a) {
                      return answersPcpMap(a, exchange.nonce, exchange.transport, exchange.port);
                  },
                  answer, &bytes))
        return outcome(ExchangeOutcome::Unanswered, ERR_NO_RESPONSE);
    if (answer.result != kResultSuccess)
        return outcome(ExchangeOutcome::Refused, ERR_MAPPING_REFUSED);
    if (exchange.job == PinholeJob::Close)
        return outcome(ExchangeOutcome::Granted, RESULT_OK);
    Ipv6Address assigned{};
    int32_t code = readPcpAssignedAddress(bytes.data(), bytes.size(), assigned)
                       ? pcpPinholeResult(answer, assigned, exchange.address)
                       : ERR_MAPPING_REFUSED;
    if (code == RESULT_OK)
        code = checkPinholeLease(answer.lifetime); // 0 holds nothing open, over a day is bogus
    if (code != RESULT_OK)
        return outcome(ExchangeOutcome::Refused, code, false);
    PinholeResult result = outcome(ExchangeOutcome::Granted, RESULT_OK);
    result.lifetime = answer.lifetime;
    return result;
}

} // namespace

PinholeResult carryOutPinhole(const PinholeExchange &exchange, const PinholeRoute &route,
                              int32_t connectLimitMs) {
    if (exchange.way == PinholeWay::Upnp)
        return route.upnp ? throughUpnp(exchange, route, connectLimitMs)
                          : outcome(ExchangeOutcome::Unanswered, ERR_NO_GATEWAY);
    return route.pcp ? throughPcp(exchange, route)
                     : outcome(ExchangeOutcome::Unanswered, ERR_NO_GATEWAY);
}

} // namespace portlink
