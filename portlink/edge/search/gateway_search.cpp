#include "search/gateway_search.h"

#include <utility>
#include <vector>

#include "win/datagram.h"
#include "win/default_gateways.h"
#include "win/local_route.h"
#include "exchange/device_description.h"
#include "search/port_control_search.h"
#include "search/search_datagrams.h"
#include "search_choice.h"
#include "ssdp.h"
#include "win/win_handles.h"

namespace portlink {

namespace {

constexpr u_short kSearchPort = 27655;
constexpr DWORD kSocketFlags =
    WSA_FLAG_OVERLAPPED | WSA_FLAG_MULTIPOINT_C_LEAF | WSA_FLAG_MULTIPOINT_D_LEAF; // 0x15
constexpr int kWindowMs = 15000;
constexpr int kResendMs = 3000;
constexpr int kPollMs = 1000;
// A bound on the datagrams read at one poll, so that a flood cannot hold the search.
constexpr int kMaxReadsPerPoll = 256;

// A bound on the usable answers kept, so that a flood of them cannot grow the search.
constexpr size_t kMaxAnswersKept = 32;

// Reads the datagrams waiting on the search socket, in arrival order, and keeps every usable
// answer in `answers`, with the adapter it came in on and `nowMs` in `heard`.  Empty and
// unusable datagrams (a failing status, none of the search targets, no LOCATION or one that
// points elsewhere than its sender) are dropped, so that other devices of a busy LAN in front
// of the gateway's answer do not hide it.  A datagram too long for the buffer is lost
// (WSAEMSGSIZE), and an error report of an earlier send (WSAECONNRESET) stands in the queue
// like a datagram; the datagrams behind either are still read.  The adapter is the host's
// address towards the sender, looked up only when the search went out of several.
void takeUsableAnswers(SOCKET search, bool severalAdapters, uint64_t nowMs,
                       std::vector<UsableSearchAnswer> &answers, std::vector<HeardAnswer> &heard) {
    drainDatagrams(search, kMaxReadsPerPoll, [&](const Datagram &datagram) {
        UsableSearchAnswer usable;
        if (answers.size() >= kMaxAnswersKept || !readUsableAnswer(datagram, usable))
            return true;
        const uint32_t sender = usable.sender;
        answers.push_back(std::move(usable));
        heard.push_back({severalAdapters ? localAddressTowards(sender) : 0, nowMs});
        return true;
    });
}

// Sends one batch: every search target, once out of each adapter in `adapters` (the
// multicast interface set to its address), or once as the routes choose when the list is
// empty.  Windows sends multicast out of the adapter with the best route to the group, often
// a virtual or VPN one without the gateway behind it; naming the adapter makes the search
// reach every network that has a gateway.
void sendSearchBatch(SOCKET socket, const std::vector<uint32_t> &adapters) {
    const auto sendTargets = [socket] {
        for (const SearchTarget &target : searchTargets)
            sendSearchDatagram(socket, buildSearchRequest(formatSearchTarget(target)),
                               inet_addr(kSsdpGroup), kSsdpPort);
    };
    if (adapters.empty()) {
        sendTargets();
        return;
    }
    for (const uint32_t adapter : adapters) {
        in_addr outOf = {};
        outOf.s_addr = adapter;
        // A send out of an adapter that refuses the option would go the routes' way, which
        // another adapter of the list may cover: that adapter is skipped.
        if (setsockopt(socket, IPPROTO_IP, IP_MULTICAST_IF, reinterpret_cast<const char *>(&outOf),
                       sizeof outOf) == 0)
            sendTargets();
    }
}

} // namespace

FoundGateway searchGateway(const std::function<bool()> &stopped) {
    FoundGateway found;
    std::vector<UsableSearchAnswer> answers;
    std::vector<HeardAnswer> heard; // the same answers: the adapter and the time of each
    PortControlSearch portControl;
    // The adapters that have a default gateway, read once per search: the keeper's repeat
    // search after a change of network reads them anew.
    const std::vector<uint32_t> adapters = gatewayAdapterAddresses();
    {
        UniqueSocket search(WSASocketW(AF_INET, SOCK_DGRAM, 0, nullptr, 0, kSocketFlags));
        if (!search.valid())
            return found;

        sockaddr_in local = {};
        local.sin_family = AF_INET;
        local.sin_port = htons(kSearchPort);
        local.sin_addr.s_addr = htonl(INADDR_ANY);
        if (bind(search.get(), reinterpret_cast<const sockaddr *>(&local), sizeof local) != 0)
            return found;

        u_long nonBlocking = 1;
        ioctlsocket(search.get(), FIONBIO, &nonBlocking);

        sockaddr_in group = {};
        group.sin_family = AF_INET;
        group.sin_port = htons(kSsdpPort);
        group.sin_addr.s_addr = inet_addr(kSsdpGroup);
        const SOCKET joined =
            WSAJoinLeaf(search.get(), reinterpret_cast<const sockaddr *>(&group), sizeof group,
                        nullptr, nullptr, nullptr, nullptr, JL_BOTH);
        // The join may hand back the search socket itself or nothing; only a handle of its
        // own is closed separately.
        UniqueSocket joinHandle(joined != search.get() ? joined : INVALID_SOCKET);

        for (int elapsed = 0; elapsed < kWindowMs; elapsed += kPollMs) {
            if (stopped())
                return FoundGateway();
            if (elapsed % kResendMs == 0) {
                sendSearchBatch(search.get(), adapters);
                portControl.sendProbes();
            }
            Sleep(kPollMs);
            const uint64_t nowMs = static_cast<uint64_t>(elapsed) + kPollMs;
            takeUsableAnswers(search.get(), adapters.size() > 1, nowMs, answers, heard);
            portControl.readAnswers();
            // A usable SSDP answer decides for UPnP: on the preferred adapter (on a host with
            // one adapter, any) it ends the search at once, from another adapter one poll
            // later, so that the preferred adapter's gateway, which wins, can still answer.
            // Without one, a PCP or NAT-PMP answer of this poll decides for that.
            if (searchMayEnd(heard, adapters, nowMs) ||
                (answers.empty() &&
                 portControl.found(found.portControlAddress, found.way, found.epoch)))
                break;
        }
        search.reset();
        joinHandle.reset();
    }
    if (stopped())
        return FoundGateway();
    if (!answers.empty()) {
        // Only the device whose answer won is asked.
        UsableSearchAnswer &chosen = answers[chooseSearchAnswer(heard, adapters)];
        found.hasBootId = chosen.hasBootId;
        found.bootId = chosen.bootId;
        found.deviceUuid = std::move(chosen.deviceUuid);
        if (fetchDeviceDescription(chosen.answer.descriptionUrl, chosen.answer.serviceType,
                                   found.upnp, found.firewall, found.deviceUdns, 0)) {
            found.way = MappingWay::Upnp;
            return found;
        }
    }
    // No UPnP gateway after all: a gateway that answered PCP or NAT-PMP in the same search.
    found.portControl =
        portControl.found(found.portControlAddress, found.way, found.epoch);
    return found;
}

} // namespace portlink
