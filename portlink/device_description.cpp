#include "device_description.h"

#include <cstdint>
#include <string>
#include <vector>

#include "description.h"
#include "http_exchange.h"
#include "nat_session.h"
#include "port_mapping.h"
#include "result_codes.h"
#include "soap.h"
#include "text_ops.h"

namespace portlink {

namespace {

// The connection that is live.  A box may list a connection it does not use beside the one it
// does (a DSL connection on a cable or fibre box) and refuse every action on the idle one, so
// with more than one candidate each is asked for its status in turn, and the first that
// reports itself up is taken.  When none does, the first candidate stays.  With one candidate
// nothing is asked.
const ServiceCandidate &chooseLiveConnection(const std::vector<ServiceCandidate> &candidates) {
    if (candidates.size() > 1) {
        for (const ServiceCandidate &candidate : candidates) {
            std::wstring answer;
            if (invokeActionOn(candidate.controlUrl, candidate.serviceType, L"GetStatusInfo", L"",
                               answer) == RESULT_OK &&
                reportsConnectionUp(answer))
                return candidate;
        }
    }
    return candidates.front();
}

} // namespace

bool fetchDeviceDescription() {
    NatSession &state = session();
    const std::wstring url = state.descriptionUrl();
    if (url.empty())
        return false;

    std::wstring host;
    std::wstring authority;
    std::wstring path;
    int32_t port = 0;
    if (!splitRequestUrl(url, host, authority, path, port))
        return false;

    std::wstring response;
    uint32_t linkAddress = 0;
    const int32_t result =
        httpExchange(host, port, buildDescriptionRequest(path, authority), response, &linkAddress);
    // The address this host reaches the gateway from is the one its mappings must name.
    if (linkAddress != 0)
        state.setLinkAddress(linkAddress);
    if (result < 0)
        return false;
    std::wstring rest;
    if (!checkHttpStatus(response, rest))
        return false;

    const DescriptionResult found = parseDescription(rest, state.serviceType(), url);
    state.setBaseUrl(found.baseUrl);
    // controlUrl starts empty and is written only here, so without a candidate it stays empty,
    // and serviceType keeps the type the answer named.
    if (found.candidates.empty())
        return false;
    const ServiceCandidate &chosen = chooseLiveConnection(found.candidates);
    // The service type goes first: an action that already sees the new control URL then also
    // sees the type its service declares.
    state.setServiceType(chosen.serviceType);
    state.setControlUrl(chosen.controlUrl);
    return true;
}

} // namespace portlink
