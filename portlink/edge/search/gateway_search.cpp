#include "search/gateway_search.h"

#include <cstring>

#include "win/ansi_text.h"
#include "win/datagram.h"
#include "exchange/device_description.h"
#include "search/port_control_search.h"
#include "private_address.h"
#include "win/socket_buffer.h"
#include "ssdp.h"
#include "ssdp_notice.h"
#include "ssdp_v6.h"
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

// Reads the datagrams waiting on the search socket, in arrival order, until one is a usable
// answer (true, in `answer`) or none is left.  A datagram too long for the buffer is lost
// (WSAEMSGSIZE), and an error report of an earlier send (WSAECONNRESET) stands in the queue
// like a datagram; the datagrams behind either are still read.
bool takeUsableAnswer(SOCKET search, SearchAnswer &answer, FoundGateway &found) {
    bool usable = false;
    drainDatagrams(search, kMaxReadsPerPoll, [&](const Datagram &datagram) {
        const sockaddr_in *sender = datagram.senderIpv4();
        if (datagram.length == 0 || sender == nullptr)
            return true;
        const std::wstring text = widenAnsi(datagram.bytes, datagram.length);
        answer = examineSearchAnswer(text, dottedAddress(sender->sin_addr.s_addr));
        if (answer.verdict != AnswerVerdict::Usable)
            return true;
        // The gateway's boot as it answered: a later NOTIFY with another one is a restart.
        found.hasBootId = readSsdpBootId(text, found.bootId);
        found.deviceUuid = deviceUuidOf(text);
        usable = true;
        return false;
    });
    return usable;
}

// Sends the wide text, converted to the thread's ANSI code page, as one datagram to the SSDP
// group.  Returns what sendto returns.
int sendSearchDatagram(SOCKET socket, const std::wstring &text) {
    char buffer[kBufferSize];
    const std::string bytes = narrowAnsi(text);
    const size_t length = bytes.size() < kBufferSize ? bytes.size() : kBufferSize;
    std::memcpy(buffer, bytes.data(), length);

    sockaddr_in group = {};
    group.sin_family = AF_INET;
    group.sin_port = htons(kSsdpPort);
    group.sin_addr.s_addr = inet_addr(kSsdpGroup);
    return sendto(socket, buffer, static_cast<int>(length), 0,
                  reinterpret_cast<const sockaddr *>(&group), sizeof group);
}

} // namespace

FoundGateway searchGateway(const std::function<bool()> &stopped) {
    FoundGateway found;
    SearchAnswer answer;
    PortControlSearch portControl;
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
                for (const SearchTarget &target : searchTargets)
                    sendSearchDatagram(search.get(),
                                       buildSearchRequest(formatSearchTarget(target)));
                portControl.sendProbes();
            }
            Sleep(kPollMs);
            // The first usable answer ends the search.  Empty and unusable datagrams (a
            // failing status, none of the search targets, no LOCATION or one that points
            // elsewhere than its sender) are dropped, so that other devices of a busy LAN in
            // front of the gateway's answer do not hide it.
            // A usable SSDP answer decides for UPnP; without one, a PCP or NAT-PMP answer
            // of this poll decides for that.
            const bool usable = takeUsableAnswer(search.get(), answer, found);
            portControl.readAnswers();
            if (usable || portControl.found(found.portControlAddress, found.way, found.epoch))
                break;
        }
        search.reset();
        joinHandle.reset();
    }
    if (stopped())
        return FoundGateway();
    if (answer.verdict == AnswerVerdict::Usable) {
        if (fetchDeviceDescription(answer.descriptionUrl, answer.serviceType, found.upnp,
                                   found.firewall, found.deviceUdns)) {
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
