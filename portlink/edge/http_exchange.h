#pragma once
// One HTTP request to an IPv4 host over a new TCP connection, one answer back.
#include <cstdint>
#include <string>

namespace portlink {

// Sends `request` (converted to the thread's ANSI code page) to host:port and polls for the
// answer, 500 ms before every poll, for at most the session's httpTimeout; each poll reads
// everything that has arrived, so an answer that ends with the peer's close ends at the poll
// that reads its last bytes.  Returns 0 for a 2xx answer, ERR_HTTP_STATUS for any other answer
// (both set `response`), ERR_NO_RESPONSE when not one byte came, ERR_SOCKET when no socket
// could be made, ERR_REQUEST_TOO_LARGE, without sending, when the request does not fit the
// buffer, and ERR_UNREADABLE_ANSWER for an answer in a transfer coding other than chunked.  A
// chunked answer ends at its last chunk and reaches `response` decoded.
int32_t httpExchange(const std::wstring &host, int32_t port, const std::wstring &request,
                     std::wstring &response);

} // namespace portlink
