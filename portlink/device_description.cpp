#include "device_description.h"

#include <cstdint>
#include <string>

#include "description.h"
#include "http_exchange.h"
#include "nat_session.h"
#include "text_ops.h"

namespace portlink {

bool fetchDeviceDescription() {
    NatSession &state = session();
    const std::wstring url = state.descriptionUrl();
    if (url.empty())
        return false;

    std::wstring authority;
    std::wstring path;
    int32_t port = 0;
    const std::wstring host = splitUrl(url, authority, path, port);
    if (host.empty())
        return false;

    std::wstring response;
    if (httpExchange(host, port, buildDescriptionRequest(path, authority), response) < 0)
        return false;
    std::wstring rest;
    if (!checkHttpStatus(response, rest))
        return false;

    const DescriptionResult found = parseDescription(rest, state.serviceType(), authority);
    state.setBaseUrl(found.baseUrl);
    // controlUrl starts empty and is written only here, so an empty result leaves it as it is,
    // and serviceType keeps the type the answer named.  The service type goes first: an action
    // that already sees the new control URL then also sees the type its service declares.
    if (!found.controlUrl.empty()) {
        state.setServiceType(found.serviceType);
        state.setControlUrl(found.controlUrl);
    }
    return state.hasControlUrl();
}

} // namespace portlink
