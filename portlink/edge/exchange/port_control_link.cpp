#include "exchange/port_control_link.h"

#include <winsock2.h>
#include <windows.h>

#include "win/datagram.h"
#include "win/ipv6_host.h"
#include "win/local_route.h"

namespace portlink {

namespace {

// A bound on the datagrams read at one wake, so that a flood cannot hold the exchange.
constexpr int kMaxReadsPerWait = 64;

} // namespace

PortControlLink::PortControlLink(uint32_t gateway)
    : socket_(socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP)) {
    clientAddress_ = connectUdp(socket_.get(), gateway, kPortControlPort);
    finishOpening(clientAddress_ != 0);
}

PortControlLink::PortControlLink(const Ipv6Address &from, const Ipv6Address &gateway,
                                 uint32_t scopeId)
    : socket_(socket(AF_INET6, SOCK_DGRAM, IPPROTO_UDP)) {
    const sockaddr_in6 server = ipv6SocketAddress(gateway, scopeId, kPortControlPort);
    finishOpening(socket_.valid() && bindIpv6(socket_.get(), from, scopeId) &&
                  connect(socket_.get(), reinterpret_cast<const sockaddr *>(&server),
                          sizeof server) == 0);
}

void PortControlLink::finishOpening(bool connected) {
    if (!connected) {
        socket_.reset();
        return;
    }
    u_long nonBlocking = 1;
    ioctlsocket(socket_.get(), FIONBIO, &nonBlocking);
}

bool PortControlLink::ask(const std::vector<uint8_t> &request,
                          const std::function<bool(const PortControlAnswer &)> &belongs,
                          PortControlAnswer &answer, std::vector<uint8_t> *bytes) {
    if (!socket_.valid() || request.empty())
        return false;
    const ULONGLONG start = GetTickCount64();
    int32_t sendAt = 0;
    for (;;) {
        const int32_t elapsed = static_cast<int32_t>(GetTickCount64() - start);
        if (elapsed >= kResendWindowMs)
            return false;
        if (elapsed >= sendAt) {
            send(socket_.get(), reinterpret_cast<const char *>(request.data()),
                 static_cast<int>(request.size()), 0);
            sendAt = nextSendAtMs(elapsed);
        }
        const int32_t wait = (sendAt < kResendWindowMs ? sendAt : kResendWindowMs) - elapsed;
        fd_set readable;
        FD_ZERO(&readable);
        FD_SET(socket_.get(), &readable);
        timeval timeout = {wait / 1000, (wait % 1000) * 1000};
        if (select(0, &readable, nullptr, nullptr, &timeout) <= 0)
            continue;
        // Every datagram waiting (the socket does not block); a port-unreachable report of an
        // earlier send reads as an error and is passed over.
        bool taken = false;
        drainDatagrams(socket_.get(), kMaxReadsPerWait, [&](const Datagram &datagram) {
            const PortControlAnswer got = readPortControlAnswer(
                reinterpret_cast<const uint8_t *>(datagram.bytes), datagram.length);
            if (got.kind == AnswerKind::Foreign || !belongs(got))
                return true;
            answer = got;
            if (bytes != nullptr)
                bytes->assign(datagram.bytes, datagram.bytes + datagram.length);
            taken = true;
            return false;
        });
        if (taken)
            return true;
    }
}

} // namespace portlink
