#pragma once
// End-of-answer test of the HTTP exchange, on the bytes received so far.
#include <cstddef>

namespace portlink {

// True once `count` bytes hold the header end "\r\n\r\n" plus Content-Length bytes of body.
// The Content-Length header name is matched without regard to case, its digits read as atoi
// reads them but saturating instead of overflowing.  Never reads past `count`; like a C-string
// search it also stops at the first zero byte.
bool isResponseComplete(const char *bytes, size_t count);

} // namespace portlink
