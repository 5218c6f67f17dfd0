#pragma once
// One HTTP request to an IPv4 or IPv6 host over a new TCP connection, one answer back.
#include <cstdint>
#include <string>

#include "ipv6_text.h"

namespace portlink {

// How long an exchange waits for its answer.
constexpr int32_t kHttpTimeLimitMs = 9000;

// Sends `request` (converted to the thread's ANSI code page) to host:port and polls for the
// answer, 500 ms before every poll, for at most kHttpTimeLimitMs; each poll reads
// everything that has arrived, so an answer that ends with the peer's close ends at the poll
// that reads its last bytes.  Returns 0 for a 2xx answer, ERR_HTTP_STATUS for any other answer
// (both set `response`), ERR_NO_RESPONSE when not one byte came, ERR_SOCKET when no socket
// could be made, ERR_REQUEST_TOO_LARGE, without sending, when the request does not fit the
// buffer, and ERR_UNREADABLE_ANSWER for an answer in a transfer coding other than chunked.  A
// chunked answer ends at its last chunk and reaches `response` decoded.
// `connectLimitMs` bounds the TCP connect: with 0 (or less) the connect blocks for as long as
// the system lets it (some 21 s against an address that does not answer) and a failed one
// shows up as an answer of no bytes; with a positive value the connect runs non-blocking and
// the exchange gives up with ERR_NO_RESPONSE, nothing sent, when the connection is refused or
// not made within that many ms.  The limit on the answer's wait is the same either way.
int32_t httpExchange(const std::wstring &host, int32_t port, const std::wstring &request,
                     std::wstring &response, int32_t connectLimitMs);

// The same exchange over IPv6: from a TCP socket bound to `from` (port chosen by the system),
// to [to%scopeId]:port; the scope goes with a link-local `from` or `to` only.  ERR_SOCKET also
// when the socket cannot be bound to `from`.
int32_t httpExchange6(const Ipv6Address &from, const Ipv6Address &to, uint32_t scopeId,
                      uint16_t port, const std::wstring &request, std::wstring &response,
                      int32_t connectLimitMs);

// The connect limit of the keeper thread's exchanges.  An application call waits behind the
// exchange the keeper thread has under way; with a gateway that has gone from the network, an
// unbounded connect would hold that call some 21 s before its own exchange could start.  A
// gateway on the LAN accepts a connection in far less.
constexpr int32_t kKeeperConnectLimitMs = 2000;

} // namespace portlink
