#include "search/upstream_search.h"

#include <winsock2.h>
#include <windows.h>

#include <string>
#include <vector>

#include "exchange/device_description.h"
#include "exchange/port_control_link.h"
#include "port_control.h"
#include "private_address.h"
#include "search/search_datagrams.h"
#include "ssdp.h"
#include "text_ops.h"
#include "upstream_finder.h"
#include "win/datagram.h"
#include "win/win_handles.h"

namespace portlink {

namespace {

// A bound on the datagrams read at one wake, so that a flood cannot hold the search.
constexpr int kMaxReadsPerWait = 64;
// PortControlLink::ask sends its request at 0, 250, 750 and 1750 ms.
constexpr unsigned kPcpSends = 4;
constexpr unsigned kSsdpSends = sizeof searchTargets / sizeof searchTargets[0];
static_assert(kSsdpSends + kPcpSends <= kSearchDatagrams,
              "the search of the next router sends no more than its share of datagrams");

// The first usable SSDP answer from `router` to one M-SEARCH per search target, within
// kUpstreamSearchWaitMs.  False without one.
bool askBySsdp(uint32_t router, UsableSearchAnswer &usable) {
    UniqueSocket search(socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP));
    if (!search.valid())
        return false;
    sockaddr_in local = {};
    local.sin_family = AF_INET;
    local.sin_addr.s_addr = htonl(INADDR_ANY);
    if (bind(search.get(), reinterpret_cast<const sockaddr *>(&local), sizeof local) != 0)
        return false;
    u_long nonBlocking = 1;
    ioctlsocket(search.get(), FIONBIO, &nonBlocking);

    const std::wstring host = dottedAddress(router);
    for (const SearchTarget &target : searchTargets)
        sendSearchDatagram(search.get(), buildSearchRequestTo(host, formatSearchTarget(target)),
                           router, kSsdpPort);

    const ULONGLONG start = GetTickCount64();
    for (;;) {
        const ULONGLONG elapsed = GetTickCount64() - start;
        if (elapsed >= static_cast<ULONGLONG>(kUpstreamSearchWaitMs))
            return false;
        const long wait = static_cast<long>(kUpstreamSearchWaitMs - elapsed);
        fd_set readable;
        FD_ZERO(&readable);
        FD_SET(search.get(), &readable);
        timeval timeout = {wait / 1000, (wait % 1000) * 1000};
        if (select(0, &readable, nullptr, nullptr, &timeout) <= 0)
            continue;
        // Only the router's own answer counts; readUsableAnswer holds its LOCATION to the
        // address it came from.
        bool taken = false;
        drainDatagrams(search.get(), kMaxReadsPerWait, [&](const Datagram &datagram) {
            const sockaddr_in *sender = datagram.senderIpv4();
            if (sender == nullptr || sender->sin_addr.s_addr != router ||
                !readUsableAnswer(datagram, usable))
                return true;
            taken = true;
            return false;
        });
        if (taken)
            return true;
    }
}

// The router's connection service, read from the description its answer points to: on the
// router's dotted address, as are the description and every status question before it.
bool describedService(uint32_t router, const UsableSearchAnswer &usable, int32_t connectLimitMs,
                      ControlPoint &service) {
    if (!urlLiesOn(usable.answer.descriptionUrl, router))
        return false;
    ControlPoint firewall;
    std::vector<std::wstring> devices;
    return fetchDeviceDescription(usable.answer.descriptionUrl, usable.answer.serviceType, service,
                                  firewall, devices, connectLimitMs, router) &&
           urlLiesOn(service.controlUrl, router);
}

// Whether the router answers a PCP ANNOUNCE naming `clientAddress` with success.  A router
// that speaks only NAT-PMP says so at once, and is not asked again.
bool answersPcp(uint32_t router, uint32_t clientAddress) {
    if (clientAddress == 0)
        return false;
    PortControlLink link(router);
    PortControlAnswer answer;
    return link.ask(pcpAnnounceRequest(clientAddress), answersPcpAnnounce, answer) &&
           showsPcpServer(answer);
}

} // namespace

UpstreamRouter searchNextRouter(uint32_t router, uint32_t clientAddress, int32_t connectLimitMs) {
    UpstreamRouter found;
    if (router == 0 || router == INADDR_NONE)
        return found;
    UsableSearchAnswer usable;
    if (askBySsdp(router, usable) && describedService(router, usable, connectLimitMs, found.upnp)) {
        found.found = true;
        found.way = MappingWay::Upnp;
        return found;
    }
    found.upnp = ControlPoint();
    if (answersPcp(router, clientAddress)) {
        found.found = true;
        found.way = MappingWay::Pcp;
    }
    return found;
}

} // namespace portlink
