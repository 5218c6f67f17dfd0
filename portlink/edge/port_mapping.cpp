#include "port_mapping.h"

#include <winsock2.h>

#include "ansi_text.h"
#include "http_exchange.h"
#include "local_route.h"
#include "private_address.h"
#include "result_codes.h"
#include "soap.h"
#include "text_ops.h"

namespace portlink {

int32_t invokeActionOn(const ControlPoint &gateway, const std::wstring &action,
                       const std::wstring &arguments, std::wstring &response) {
    RequestTarget target;
    if (!splitRequestUrl(gateway.controlUrl, target))
        return ERR_NO_GATEWAY;

    const std::wstring envelope = buildEnvelope(action, arguments, gateway.serviceType);
    // Content-Length counts the bytes that go on the wire, after the same conversion that
    // the exchange applies.
    const size_t envelopeBytes = narrowAnsi(envelope).size();
    const std::wstring request = buildControlRequest(target.path, target.authority, envelopeBytes,
                                                     gateway.serviceType, action, envelope);

    response.clear();
    std::wstring answer;
    const int32_t result = httpExchange(target.host, target.port, request, answer);
    if (result < 0)
        return result;
    response = answer;
    return RESULT_OK;
}

int32_t requestAddPortMapping(uint16_t externalPort, const std::wstring &protocol,
                              uint16_t internalPort, const std::wstring &description) {
    // One reading of the session: the address is found for the very URL the add goes to.
    const ControlPoint gateway = session().controlPoint();
    const std::wstring host = requestHost(gateway.controlUrl);
    if (host.empty())
        return ERR_NO_GATEWAY;
    const uint32_t client = localAddressTowards(inet_addr(narrowAnsi(host).c_str()));
    if (!isPrivateAddress(client))
        return ERR_NOT_LAN_ADDRESS;
    // An address that could not be found is sent as an empty element.
    const std::wstring clientText = client != 0 ? dottedAddress(client) : std::wstring();
    std::wstring response;
    return invokeActionOn(gateway, L"AddPortMapping",
                          addPortMappingArguments(externalPort, protocol, internalPort,
                                                  clientText, description),
                          response);
}

int32_t requestDeletePortMapping(uint16_t externalPort, const std::wstring &protocol) {
    const ControlPoint gateway = session().controlPoint();
    if (gateway.controlUrl.empty())
        return ERR_NO_GATEWAY;
    std::wstring response;
    return invokeActionOn(gateway, L"DeletePortMapping",
                          deletePortMappingArguments(externalPort, protocol), response);
}

} // namespace portlink
