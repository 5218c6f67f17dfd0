#pragma once
// Size of every buffer that holds 8-bit text at a socket: one search datagram, sent or
// received, or the request and then the answer of one HTTP exchange.
#include <cstddef>

namespace portlink {

constexpr size_t kBufferSize = 10240;

} // namespace portlink
