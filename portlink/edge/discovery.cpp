#include "discovery.h"

#include <cstring>

#include "ansi_text.h"
#include "datagram.h"
#include "device_description.h"
#include "nat_session.h"
#include "port_control_search.h"
#include "private_address.h"
#include "socket_buffer.h"
#include "ssdp.h"
#include "win_handles.h"

namespace portlink {

namespace {

constexpr u_short kSearchPort = 27655;
constexpr u_short kSsdpPort = 1900;
constexpr DWORD kSocketFlags =
    WSA_FLAG_OVERLAPPED | WSA_FLAG_MULTIPOINT_C_LEAF | WSA_FLAG_MULTIPOINT_D_LEAF; // 0x15
constexpr int kWindowMs = 15000;
constexpr int kResendMs = 3000;
constexpr int kPollMs = 1000;
// A bound on the datagrams read at one poll, so that a flood cannot hold the search.
constexpr int kMaxReadsPerPoll = 256;

// Any object inside this library: its address names the module for a reference to it.
const char moduleAnchor = 0;

// Reads the datagrams waiting on the search socket, in arrival order, until one is a usable
// answer (true, in `answer`) or none is left.  A datagram too long for the buffer is lost
// (WSAEMSGSIZE), and an error report of an earlier send (WSAECONNRESET) stands in the queue
// like a datagram; the datagrams behind either are still read.
bool takeUsableAnswer(SOCKET search, char *buffer, SearchAnswer &answer) {
    for (int read = 0; read < kMaxReadsPerPoll; ++read) {
        sockaddr_in sender;
        int received = 0;
        const Received got = receiveDatagram(search, buffer, kBufferSize, received, &sender);
        if (got == Received::None)
            return false;
        if (got == Received::Lost || received == 0 || sender.sin_family != AF_INET)
            continue;
        answer = examineSearchAnswer(widenAnsi(buffer, static_cast<size_t>(received)),
                                     dottedAddress(sender.sin_addr.s_addr));
        if (answer.verdict == AnswerVerdict::Usable)
            return true;
    }
    return false;
}

} // namespace

int sendSearchDatagram(SOCKET socket, const std::wstring &text) {
    char buffer[kBufferSize];
    const std::string bytes = narrowAnsi(text);
    const size_t length = bytes.size() < kBufferSize ? bytes.size() : kBufferSize;
    std::memcpy(buffer, bytes.data(), length);

    sockaddr_in group = {};
    group.sin_family = AF_INET;
    group.sin_port = htons(kSsdpPort);
    group.sin_addr.s_addr = inet_addr("239.255.255.250");
    return sendto(socket, buffer, static_cast<int>(length), 0,
                  reinterpret_cast<const sockaddr *>(&group), sizeof group);
}

bool discoverGateway() {
    NatSession &state = session();
    char buffer[kBufferSize];
    SearchAnswer answer;
    PortControlSearch portControl;
    uint32_t gatewayAddress = 0;
    PortControlProtocol protocol = PortControlProtocol::None;
    uint32_t epoch = 0;
    {
        UniqueSocket search(WSASocketW(AF_INET, SOCK_DGRAM, 0, nullptr, 0, kSocketFlags));
        if (!search.valid())
            return false;

        sockaddr_in local = {};
        local.sin_family = AF_INET;
        local.sin_port = htons(kSearchPort);
        local.sin_addr.s_addr = htonl(INADDR_ANY);
        if (bind(search.get(), reinterpret_cast<const sockaddr *>(&local), sizeof local) != 0)
            return false;

        u_long nonBlocking = 1;
        ioctlsocket(search.get(), FIONBIO, &nonBlocking);

        sockaddr_in group = {};
        group.sin_family = AF_INET;
        group.sin_port = htons(kSsdpPort);
        group.sin_addr.s_addr = inet_addr(narrowAnsi(state.multicastAddress()).c_str());
        const SOCKET joined =
            WSAJoinLeaf(search.get(), reinterpret_cast<const sockaddr *>(&group), sizeof group,
                        nullptr, nullptr, nullptr, nullptr, JL_BOTH);
        // The join may hand back the search socket itself or nothing; only a handle of its
        // own is closed separately.
        UniqueSocket joinHandle(joined != search.get() ? joined : INVALID_SOCKET);

        for (int elapsed = 0; elapsed < kWindowMs; elapsed += kPollMs) {
            if (elapsed % kResendMs == 0) {
                for (const SearchTarget &target : searchTargets) {
                    state.setServiceType(formatSearchTarget(target));
                    sendSearchDatagram(search.get(), buildSearchRequest(state.serviceType()));
                }
                portControl.sendProbes();
            }
            Sleep(kPollMs);
            // The first usable answer ends the search.  Empty and unusable datagrams (a
            // failing status, none of the search targets, no LOCATION or one that points
            // elsewhere than its sender) are dropped, so that other devices of a busy LAN in
            // front of the gateway's answer do not hide it.
            // A usable SSDP answer decides for UPnP; without one, a PCP or NAT-PMP answer
            // of this poll decides for that.
            const bool usable = takeUsableAnswer(search.get(), buffer, answer);
            portControl.readAnswers();
            if (usable || portControl.found(gatewayAddress, protocol, epoch))
                break;
        }
        search.reset();
        joinHandle.reset();
    }
    // Without a usable answer serviceType keeps the last search target sent.
    if (answer.verdict == AnswerVerdict::Usable) {
        state.setServiceType(answer.serviceType);
        state.setDescriptionUrl(answer.descriptionUrl);
        if (fetchDeviceDescription())
            return true;
    }
    // No UPnP gateway after all: a gateway that answered PCP or NAT-PMP in the same search.
    if (!portControl.found(gatewayAddress, protocol, epoch))
        return false;
    state.portControl().setGateway(gatewayAddress, protocol, epoch);
    return true;
}

DWORD WINAPI searchThreadProc(LPVOID module) {
    // Only the first thread to claim the search runs it; every later one ends at once.
    if (session().claimSearch()) {
        try {
            discoverGateway();
        } catch (...) {
            // Out of memory in a text: the discovery ends as a failed one.
        }
        session().markSearchEnded();
    }
    FreeLibraryAndExitThread(static_cast<HMODULE>(module), 0);
}

bool startSearchThread() {
    // The thread holds its own reference to this library, taken before it exists, so an
    // unload by the runtime during a search cannot pull its code away.
    ModuleReference library(&moduleAnchor);
    if (library.get() == nullptr)
        return false;
    UniqueHandle thread(CreateThread(nullptr, 0, searchThreadProc, library.get(), 0, nullptr));
    if (!thread.valid())
        return false;
    library.release(); // now the thread's, freed by FreeLibraryAndExitThread
    return true;
}

} // namespace portlink
