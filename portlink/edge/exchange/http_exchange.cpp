#include "exchange/http_exchange.h"

#include <winsock2.h>
#include <windows.h>

#include <cstring>

#include "win/ansi_text.h"
#include "http_framing.h"
#include "win/ipv6_host.h"
#include "result_codes.h"
#include "win/socket_buffer.h"
#include "text_ops.h"
#include "win/win_handles.h"

namespace portlink {

namespace {

// Reads everything that has arrived on the non-blocking socket into buffer[count, size), until
// the socket has nothing more (or fails: a refused or reset connection is not examined
// further), the peer has closed, or the buffer is full.  True when the peer closed.
bool readWaiting(SOCKET connection, char *buffer, size_t size, size_t &count) {
    while (count < size) {
        const int received =
            recv(connection, buffer + count, static_cast<int>(size - count), 0);
        if (received == 0)
            return true;
        if (received < 0)
            return false;
        count += static_cast<size_t>(received);
    }
    return false;
}

// Connects `connection` to `peer` as httpExchange describes for `limitMs`, and leaves the
// socket non-blocking.  RESULT_OK, or with a positive limit ERR_NO_RESPONSE when no connection
// was made in time (refused, unreachable or unanswered) and ERR_SOCKET when the socket could
// not be made non-blocking.
int32_t connectWithin(SOCKET connection, const sockaddr *peer, int peerLength, int32_t limitMs) {
    u_long nonBlocking = 1;
    if (limitMs <= 0) {
        // A failed connection is not examined further: it shows up as an answer of no bytes.
        connect(connection, peer, peerLength);
        ioctlsocket(connection, FIONBIO, &nonBlocking);
        return RESULT_OK;
    }
    if (ioctlsocket(connection, FIONBIO, &nonBlocking) != 0)
        return ERR_SOCKET;
    if (connect(connection, peer, peerLength) == 0)
        return RESULT_OK;
    if (WSAGetLastError() != WSAEWOULDBLOCK)
        return ERR_NO_RESPONSE;
    // A non-blocking connect is made when the socket turns writable and has failed when it
    // shows in the exception set; neither within the limit means it is given up.
    fd_set writable;
    FD_ZERO(&writable);
    FD_SET(connection, &writable);
    fd_set failed;
    FD_ZERO(&failed);
    FD_SET(connection, &failed);
    timeval limit;
    limit.tv_sec = limitMs / 1000;
    limit.tv_usec = (limitMs % 1000) * 1000;
    const int ready = select(0, nullptr, &writable, &failed, &limit);
    return ready > 0 && FD_ISSET(connection, &writable) && !FD_ISSET(connection, &failed)
               ? RESULT_OK
               : ERR_NO_RESPONSE;
}

// The exchange of httpExchange with the peer at `peer` (`peerLength` bytes; the socket is of
// its family), from a socket bound to `local` (`localLength` bytes) first when that is not
// null.
int32_t exchange(const sockaddr *peer, int peerLength, const sockaddr *local, int localLength,
                 const std::wstring &request, std::wstring &response, int32_t connectLimitMs) {
    // The buffer first holds the request with its terminating zero, then the answer.
    char receiveBuffer[kBufferSize];
    const std::string bytes = narrowAnsi(request);
    if (bytes.size() + 1 > kBufferSize)
        return ERR_REQUEST_TOO_LARGE;
    std::memcpy(receiveBuffer, bytes.c_str(), bytes.size() + 1);

    UniqueSocket connection(socket(peer->sa_family, SOCK_STREAM, 0));
    if (!connection.valid() ||
        (local != nullptr && bind(connection.get(), local, localLength) != 0))
        return ERR_SOCKET;

    // On a connect given up, the socket is closed as the function returns.
    const int32_t connected = connectWithin(connection.get(), peer, peerLength, connectLimitMs);
    if (connected != RESULT_OK)
        return connected;
    send(connection.get(), receiveBuffer, static_cast<int>(bytes.size()), 0);

    size_t count = 0;
    const int32_t timeout = kHttpTimeLimitMs;
    if (timeout >= 1) {
        int32_t elapsed = 0;
        do {
            Sleep(500);
            if (readWaiting(connection.get(), receiveBuffer, kBufferSize, count) ||
                count >= kBufferSize || isResponseComplete(receiveBuffer, count))
                break;
            elapsed += 500;
        } while (elapsed < timeout);
    }
    connection.reset();

    if (count < 1)
        return ERR_NO_RESPONSE;
    if (bodyFraming(receiveBuffer, count) == BodyFraming::Unreadable)
        return ERR_UNREADABLE_ANSWER;
    const std::string answer = decodeAnswer(receiveBuffer, count);
    response = widenAnsi(answer.data(), answer.size());
    std::wstring rest;
    return checkHttpStatus(response, rest) ? RESULT_OK : ERR_HTTP_STATUS;
}

} // namespace

int32_t httpExchange(const std::wstring &host, int32_t port, const std::wstring &request,
                     std::wstring &response, int32_t connectLimitMs) {
    sockaddr_in peer = {};
    peer.sin_family = AF_INET;
    peer.sin_port = htons(static_cast<u_short>(port & 0xFFFF));
    peer.sin_addr.s_addr = inet_addr(narrowAnsi(host).c_str());
    return exchange(reinterpret_cast<const sockaddr *>(&peer), sizeof peer, nullptr, 0, request,
                    response, connectLimitMs);
}

int32_t httpExchange6(const Ipv6Address &from, const Ipv6Address &to, uint32_t scopeId,
                      uint16_t port, const std::wstring &request, std::wstring &response,
                      int32_t connectLimitMs) {
    const sockaddr_in6 peer = ipv6SocketAddress(to, scopeId, port);
    const sockaddr_in6 local = ipv6SocketAddress(from, scopeId, 0);
    return exchange(reinterpret_cast<const sockaddr *>(&peer), sizeof peer,
                    reinterpret_cast<const sockaddr *>(&local), sizeof local, request, response,
                    connectLimitMs);
}

} // namespace portlink
