#include "search/ipv6_search.h"

#include <winsock2.h>
#include <windows.h>
#include <ws2tcpip.h>

#include <algorithm>
#include <cstring>
#include <utility>

#include "win/ansi_text.h"
#include "win/ipv6_host.h"
#include "win/datagram.h"
#include "ssdp_v6.h"
#include "win/win_handles.h"

namespace portlink {

namespace {

constexpr Ipv6Address kSsdpGroupV6 = {0xff, 0x02, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x0c};
// A bound on the datagrams read, so that a flood cannot hold the search.
constexpr int kMaxReads = 64;

void sendSearches(SOCKET search, uint32_t ifIndex) {
    const sockaddr_in6 group = ipv6SocketAddress(kSsdpGroupV6, ifIndex, kSsdpPort);
    for (const SearchTarget &target : searchTargets) {
        const std::string bytes = narrowAnsi(buildSearchRequest6(formatSearchTarget(target)));
        sendto(search, bytes.data(), static_cast<int>(bytes.size()), 0,
               reinterpret_cast<const sockaddr *>(&group), sizeof group);
    }
}

// Judges one datagram from `sender` and keeps it when it is usable and names a device of that
// sender not kept yet (a gateway answers each search for one of its devices).
void take(const Datagram &datagram, std::vector<Ipv6SearchAnswer> &found) {
    const sockaddr_in6 *sender = datagram.senderIpv6();
    if (datagram.length == 0 || sender == nullptr)
        return;
    Ipv6SearchAnswer answer;
    std::memcpy(answer.source.data(), &sender->sin6_addr, answer.source.size());
    SearchAnswer6 judged =
        examineSearchAnswer6(widenAnsi(datagram.bytes, datagram.length), answer.source);
    if (judged.search.verdict != AnswerVerdict::Usable)
        return;
    answer.deviceUuid = std::move(judged.deviceUuid);
    if (std::any_of(found.begin(), found.end(), [&answer](const Ipv6SearchAnswer &known) {
            return known.source == answer.source && known.deviceUuid == answer.deviceUuid;
        }))
        return;
    found.push_back(std::move(answer));
}

} // namespace

std::vector<Ipv6SearchAnswer> searchOverIpv6(const Ipv6Address &from, uint32_t ifIndex,
                                             int waitMs, const std::wstring &wantedUuid) {
    std::vector<Ipv6SearchAnswer> found;
    UniqueSocket search(socket(AF_INET6, SOCK_DGRAM, IPPROTO_UDP));
    if (!search.valid() || !bindIpv6(search.get(), from, ifIndex))
        return found;
    u_long nonBlocking = 1;
    ioctlsocket(search.get(), FIONBIO, &nonBlocking);
    // The group's scope names the interface already; this says it once more for stacks that
    // go by the socket's multicast interface.
    const DWORD multicastInterface = ifIndex;
    setsockopt(search.get(), IPPROTO_IPV6, IPV6_MULTICAST_IF,
               reinterpret_cast<const char *>(&multicastInterface), sizeof multicastInterface);
    sendSearches(search.get(), ifIndex);

    const ULONGLONG start = GetTickCount64();
    int reads = 0;
    while (reads < kMaxReads) {
        const ULONGLONG elapsed = GetTickCount64() - start;
        if (waitMs <= 0 || elapsed >= static_cast<ULONGLONG>(waitMs))
            break;
        const long wait = static_cast<long>(static_cast<ULONGLONG>(waitMs) - elapsed);
        fd_set readable;
        FD_ZERO(&readable);
        FD_SET(search.get(), &readable);
        timeval timeout = {wait / 1000, (wait % 1000) * 1000};
        const int ready = select(0, &readable, nullptr, nullptr, &timeout);
        if (ready < 0)
            break;
        if (ready == 0)
            continue;
        // Every datagram waiting (the socket does not block), within the bound of the search.
        bool wanted = false;
        reads += drainDatagrams(search.get(), kMaxReads - reads, [&](const Datagram &datagram) {
            take(datagram, found);
            wanted = !wantedUuid.empty() && !found.empty() && found.back().deviceUuid == wantedUuid;
            return !wanted;
        });
        if (wanted)
            return found;
    }
    return found;
}

} // namespace portlink
