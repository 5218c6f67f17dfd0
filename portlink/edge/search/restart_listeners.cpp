#include "search/restart_listeners.h"

#include <ws2tcpip.h>

#include "win/ansi_text.h"
#include "win/datagram.h"
#include "port_control.h"
#include "ssdp.h"

namespace portlink {

namespace {

constexpr uint16_t kAnnouncePort = 5350;

} // namespace

GroupListener::GroupListener(uint16_t port, const char *group)
    : socket_(::socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP)) {
    if (!socket_.valid())
        return;
    // Other programs on this host listen on the same ports (the SSDP one above all).
    BOOL reuse = TRUE;
    setsockopt(socket_.get(), SOL_SOCKET, SO_REUSEADDR, reinterpret_cast<const char *>(&reuse),
               sizeof reuse);
    sockaddr_in local = {};
    local.sin_family = AF_INET;
    local.sin_port = htons(port);
    local.sin_addr.s_addr = htonl(INADDR_ANY);
    if (bind(socket_.get(), reinterpret_cast<const sockaddr *>(&local), sizeof local) != 0) {
        socket_.reset();
        return;
    }
    ip_mreq membership = {};
    membership.imr_multiaddr.s_addr = inet_addr(group);
    membership.imr_interface.s_addr = htonl(INADDR_ANY);
    // A join that fails still leaves the datagrams sent to this host's own address.
    setsockopt(socket_.get(), IPPROTO_IP, IP_ADD_MEMBERSHIP,
               reinterpret_cast<const char *>(&membership), sizeof membership);
    event_ = WSACreateEvent();
    if (event_ == WSA_INVALID_EVENT || WSAEventSelect(socket_.get(), event_, FD_READ) != 0) {
        if (event_ != WSA_INVALID_EVENT)
            WSACloseEvent(event_);
        event_ = nullptr;
        socket_.reset();
    }
}

GroupListener::~GroupListener() {
    socket_.reset();
    if (event_ != nullptr)
        WSACloseEvent(event_);
}

RestartListeners::RestartListeners()
    : portControl_(kAnnouncePort, "224.0.0.1"), ssdp_(kSsdpPort, kSsdpGroup) {}

size_t RestartListeners::events(HANDLE *out) const {
    size_t count = 0;
    for (const GroupListener *listener : {&portControl_, &ssdp_})
        if (listener->event() != nullptr)
            out[count++] = listener->event();
    return count;
}

void RestartListeners::drain(const std::function<void(const Heard &)> &heard) {
    for (const GroupListener *listener : {&portControl_, &ssdp_}) {
        if (listener->event() == nullptr)
            continue;
        WSAResetEvent(listener->event());
        drainDatagrams(listener->socket(), kMaxReads, [&](const Datagram &datagram) {
            const sockaddr_in *sender = datagram.senderIpv4();
            if (datagram.length == 0 || sender == nullptr)
                return true;
            Heard one;
            one.source = sender->sin_addr.s_addr;
            one.sourcePort = ntohs(sender->sin_port);
            if (listener == &portControl_) {
                const PortControlAnswer answer = readPortControlAnswer(
                    reinterpret_cast<const uint8_t *>(datagram.bytes), datagram.length);
                if (answer.kind != AnswerKind::PcpAnnounce &&
                    answer.kind != AnswerKind::NatPmpAddress)
                    return true;
                one.kind = Heard::Kind::PortControl;
                one.epoch = answer.epoch;
            } else {
                one.kind = Heard::Kind::Ssdp;
                one.notice = readSsdpNotice(widenAnsi(datagram.bytes, datagram.length));
                if (one.notice.kind == NoticeKind::None)
                    return true;
            }
            heard(one);
            return true;
        });
    }
}

} // namespace portlink
