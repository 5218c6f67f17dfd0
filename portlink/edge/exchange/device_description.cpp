#include "exchange/device_description.h"

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "description.h"
#include "exchange/http_exchange.h"
#include "pinhole_soap.h"
#include "exchange/port_mapping.h"
#include "result_codes.h"
#include "soap.h"
#include "text_ops.h"

namespace portlink {

bool fetchDeviceDescription(const std::wstring &url, const std::wstring &namedType,
                            ControlPoint &chosen, ControlPoint &firewall,
                            std::vector<std::wstring> &deviceUdns, int32_t connectLimitMs,
                            uint32_t onlyAddress) {
    RequestTarget target;
    if (url.empty() || !splitRequestUrl(url, target))
        return false;

    std::wstring response;
    if (httpExchange(target.host, target.port, buildDescriptionRequest(target.path,
                                                                       target.authority),
                     response, connectLimitMs) < 0)
        return false;
    std::wstring rest;
    if (!checkHttpStatus(response, rest))
        return false;

    std::vector<ServiceCandidate> candidates = parseDescription(rest, namedType, url);
    if (onlyAddress != 0)
        candidates.erase(std::remove_if(candidates.begin(), candidates.end(),
                                        [&](const ServiceCandidate &c) {
                                            return !urlLiesOn(c.controlUrl, onlyAddress);
                                        }),
                         candidates.end());
    if (candidates.empty())
        return false;
    const ServiceCandidate &live =
        candidates[chooseLiveCandidate(candidates, [&](const ServiceCandidate &candidate) {
            std::wstring answer;
            return invokeActionOn({candidate.controlUrl, candidate.serviceType},
                                  L"GetStatusInfo", L"", answer, connectLimitMs) == RESULT_OK &&
                   reportsConnectionUp(answer);
        })];
    chosen = {live.controlUrl, live.serviceType};
    firewall = {findFirewallControl(rest, url), kFirewallControlServiceType};
    deviceUdns = deviceUdnsOf(rest);
    return true;
}

} // namespace portlink
