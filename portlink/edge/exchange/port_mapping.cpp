#include "exchange/port_mapping.h"

#include <winsock2.h>

#include "win/ansi_text.h"
#include "exchange_outcome.h"
#include "exchange/http_exchange.h"
#include "private_address.h"
#include "result_codes.h"
#include "soap.h"
#include "text_ops.h"

namespace portlink {

int32_t invokeActionOn(const ControlPoint &gateway, const std::wstring &action,
                       const std::wstring &arguments, std::wstring &response,
                       int32_t connectLimitMs) {
    response.clear();
    RequestTarget target;
    if (!splitRequestUrl(gateway.controlUrl, target))
        return ERR_NO_GATEWAY;

    const std::wstring envelope = buildEnvelope(action, arguments, gateway.serviceType);
    // Content-Length counts the bytes that go on the wire, after the same conversion that
    // the exchange applies.
    const size_t envelopeBytes = narrowAnsi(envelope).size();
    const std::wstring request = buildControlRequest(target.path, target.authority, envelopeBytes,
                                                     gateway.serviceType, action, envelope);
    return httpExchange(target.host, target.port, request, response, connectLimitMs);
}

ExchangeResult carryOutUpnp(const Exchange &exchange, const ControlPoint &gateway,
                            int32_t connectLimitMs) {
    const std::wstring protocol = exchange.transport == kProtocolTcp ? L"TCP" : L"UDP";
    const std::wstring client =
        exchange.clientAddress != 0 ? dottedAddress(exchange.clientAddress) : std::wstring();
    std::wstring answer;
    ExchangeResult result;
    switch (exchange.job) {
    case ExchangeJob::Map:
        result.code = invokeActionOn(gateway, L"AddPortMapping",
                                     addPortMappingArguments(exchange.externalPort, protocol,
                                                             exchange.internalPort, client,
                                                             mappingDescription),
                                     answer, connectLimitMs);
        result.outcome = upnpActionOutcome(result.code);
        break;
    case ExchangeJob::Delete:
        result.code = invokeActionOn(gateway, L"DeletePortMapping",
                                     deletePortMappingArguments(exchange.externalPort, protocol),
                                     answer, connectLimitMs);
        result.outcome = upnpActionOutcome(result.code);
        break;
    case ExchangeJob::Check:
        result.code = invokeActionOn(
            gateway, L"GetSpecificPortMappingEntry",
            getSpecificPortMappingEntryArguments(exchange.externalPort, protocol), answer,
            connectLimitMs);
        result.outcome = upnpCheckOutcome(result.code, answer, client, exchange.internalPort);
        break;
    case ExchangeJob::Epoch: // PCP and NAT-PMP only: never handed out for UPnP
        result.code = ERR_NO_GATEWAY;
        result.outcome = ExchangeOutcome::Unanswered;
        break;
    }
    return result;
}

} // namespace portlink
