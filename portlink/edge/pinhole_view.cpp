#include "pinhole_view.h"

#include "ipv6_host.h"
#include "ipv6_search.h"
#include "pinhole_choice.h"

namespace portlink {

namespace {

constexpr uint64_t kSearchEveryMs = 60000;
constexpr int kSearchWaitMs = 1000;

void addWay(std::vector<PinholeWay> &ways, PinholeWay way, bool offered) {
    if (offered)
        ways.push_back(way);
}

} // namespace

PinholeView lookAtIpv6(uint64_t nowMs, uint32_t localIpv4, MappingWay ipv4Way,
                       const ControlPoint &firewall, const std::wstring &deviceUuid,
                       const PinholeView &before) {
    PinholeView view;
    Ipv6Adapter adapter;
    if (localIpv4 == 0 || !readIpv6Adapter(localIpv4, adapter))
        return view;
    view.addresses = choosePinholeAddresses(adapter.addresses, adapter.ifIndex);
    if (view.addresses.empty())
        return view; // no IPv6 request at all
    view.ifIndex = adapter.ifIndex;
    const bool sameSide = before.ifIndex == view.ifIndex && !before.addresses.empty() &&
                          before.addresses.front().address == view.addresses.front().address;
    view.searched = sameSide && before.searched;
    view.searchedAtMs = sameSide ? before.searchedAtMs : 0;
    view.route.upnpGateway = before.route.upnpGateway;
    if (!view.searched && !deviceUuid.empty() &&
        (view.searchedAtMs == 0 || nowMs - view.searchedAtMs >= kSearchEveryMs)) {
        view.searchedAtMs = nowMs == 0 ? 1 : nowMs;
        for (const Ipv6SearchAnswer &answer : searchOverIpv6(
                 view.addresses.front().address, view.ifIndex, kSearchWaitMs, deviceUuid)) {
            if (answer.deviceUuid == deviceUuid) {
                view.searched = true;
                view.route.upnpGateway = answer.source;
                break;
            }
        }
    }
    view.route.firewall = firewall;
    view.route.upnp = !firewall.controlUrl.empty() && (view.searched || adapter.hasRouter);
    if (!view.searched && adapter.hasRouter) {
        view.route.upnpGateway = adapter.router;
        view.route.upnpScope = adapter.ifIndex;
    }
    view.route.pcp = adapter.hasRouter || view.searched;
    view.route.pcpGateway = adapter.hasRouter ? adapter.router : view.route.upnpGateway;
    view.route.pcpScope = adapter.hasRouter ? adapter.ifIndex : 0;
    const bool pcpFirst = ipv4Way != MappingWay::Upnp;
    addWay(view.ways, pcpFirst ? PinholeWay::Pcp : PinholeWay::Upnp,
           pcpFirst ? view.route.pcp : view.route.upnp);
    addWay(view.ways, pcpFirst ? PinholeWay::Upnp : PinholeWay::Pcp,
           pcpFirst ? view.route.upnp : view.route.pcp);
    return view;
}

} // namespace portlink
