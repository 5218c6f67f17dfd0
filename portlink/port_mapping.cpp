#include "port_mapping.h"

#include "ansi_text.h"
#include "http_exchange.h"
#include "private_address.h"
#include "result_codes.h"
#include "soap.h"
#include "text_ops.h"

namespace portlink {

namespace {

uint16_t low16(int32_t port) { return static_cast<uint16_t>(static_cast<uint32_t>(port) & 0xFFFFu); }

} // namespace

int32_t invokeActionOn(const std::wstring &controlUrl, const std::wstring &serviceType,
                       const std::wstring &action, const std::wstring &arguments,
                       std::wstring &response) {
    std::wstring host;
    std::wstring authority;
    std::wstring path;
    int32_t port = 0;
    if (!splitRequestUrl(controlUrl, host, authority, path, port))
        return ERR_NO_GATEWAY;

    const std::wstring envelope = buildEnvelope(action, arguments, serviceType);
    // Content-Length counts the bytes that go on the wire, after the same conversion that
    // the exchange applies.
    const size_t envelopeBytes = narrowAnsi(envelope).size();
    const std::wstring request =
        buildControlRequest(path, authority, envelopeBytes, serviceType, action, envelope);

    response.clear();
    std::wstring answer;
    const int32_t result = httpExchange(host, port, request, answer);
    if (result < 0)
        return result;
    response = answer;
    return RESULT_OK;
}

int32_t invokeAction(const std::wstring &action, const std::wstring &arguments,
                     std::wstring &response) {
    NatSession &state = session();
    const std::wstring controlUrl = state.controlUrl();
    if (controlUrl.empty())
        return ERR_NO_GATEWAY;
    return invokeActionOn(controlUrl, state.serviceType(), action, arguments, response);
}

int32_t requestAddPortMapping(int32_t externalPort, const std::wstring &protocol,
                              int32_t internalPort, const LocalAddress &client,
                              const std::wstring &description) {
    if (!isPrivateAddress(client.address))
        return ERR_NOT_LAN_ADDRESS;
    std::wstring response;
    return invokeAction(L"AddPortMapping",
                        addPortMappingArguments(low16(externalPort), protocol,
                                                low16(internalPort), client.text, description),
                        response);
}

int32_t requestDeletePortMapping(int32_t externalPort, const std::wstring &protocol) {
    std::wstring response;
    return invokeAction(L"DeletePortMapping",
                        deletePortMappingArguments(low16(externalPort), protocol), response);
}

} // namespace portlink
