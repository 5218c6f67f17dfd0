#pragma once
// One HTTP request to an IPv4 host over a new TCP connection, one answer back.
#include <cstdint>
#include <string>

namespace portlink {

// Sends `request` (converted to the thread's ANSI code page) to host:port and polls for the
// answer, 500 ms before every read, for at most the session's httpTimeout.  Returns 0 for a
// 2xx answer, ERR_HTTP_STATUS for any other answer (both set `response`), ERR_NO_RESPONSE
// when not one byte came, ERR_SOCKET when no socket could be made, and
// ERR_REQUEST_TOO_LARGE, without sending, when the request does not fit the buffer.  A
// chunked answer ends at its last chunk and reaches `response` decoded.  When `localAddress`
// is given and the connection was made, it receives the connection's local IPv4 address
// (network order).
int32_t httpExchange(const std::wstring &host, int32_t port, const std::wstring &request,
                     std::wstring &response, uint32_t *localAddress = nullptr);

} // namespace portlink
