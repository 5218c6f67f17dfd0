#pragma once
// Reading what waits on a non-blocking UDP socket, over IPv4 or IPv6: every datagram in
// arrival order, with the errors that only cost one datagram told apart from an empty queue.
#include <winsock2.h>
#include <ws2tcpip.h>

#include <cstddef>
#include <functional>

namespace portlink {

// One datagram read.  Its bytes are valid only during the call that hands it over.
struct Datagram {
    const char *bytes;
    size_t length; // 0 for an empty datagram
    const sockaddr_storage &sender;

    // The sender as an address of that family; null when it is of another one.
    const sockaddr_in *senderIpv4() const;
    const sockaddr_in6 *senderIpv6() const;
};

// Reads the datagrams waiting on `socket`, at most `maxReads` of them so that a flood cannot
// hold the caller, and hands each to `take`, which returns false to stop there.  A datagram
// too long for the buffer (WSAEMSGSIZE) and the port-unreachable report of an earlier send
// (WSAECONNRESET) each cost one read and are skipped; the datagrams behind them are still
// read.  Ends when nothing is waiting or the socket fails.  Returns the reads done, the one
// that stopped included.
int drainDatagrams(SOCKET socket, int maxReads,
                   const std::function<bool(const Datagram &)> &take);

} // namespace portlink
