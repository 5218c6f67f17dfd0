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

bool fetchDeviceDescription() {
    NatSession &state = session();
    const std::wstring url = state.descriptionUrl();
    RequestTarget target;
    if (url.empty() || !splitRequestUrl(url, target))
        return false;

    std::wstring response;
    if (httpExchange(target.host, target.port, buildDescriptionRequest(target.path,
                                                                       target.authority),
                     response) < 0)
        return false;
    std::wstring rest;
    if (!checkHttpStatus(response, rest))
        return false;

    // controlUrl starts empty and is written only here, so without a candidate it stays empty,
    // and serviceType keeps the type the answer named.
    const std::vector<ServiceCandidate> candidates =
        parseDescription(rest, state.serviceType(), url);
    if (candidates.empty())
        return false;
    const ServiceCandidate &chosen =
        candidates[chooseLiveCandidate(candidates, [](const ServiceCandidate &candidate) {
            std::wstring answer;
            return invokeActionOn({candidate.controlUrl, candidate.serviceType},
                                  L"GetStatusInfo", L"", answer) == RESULT_OK &&
                   reportsConnectionUp(answer);
        })];
    state.setControlPoint({chosen.controlUrl, chosen.serviceType});
    return true;
}

} // namespace portlink
