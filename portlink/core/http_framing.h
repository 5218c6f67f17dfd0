#pragma once
// How the HTTP exchange frames an answer: its end-of-answer test on the bytes received so far,
// and the decoding of a chunked body.
#include <cstddef>
#include <string>

namespace portlink {

// True once `count` bytes hold a whole answer.  An answer whose header carries
// "Transfer-Encoding: chunked" (name and value in any letter case) is whole once its last
// chunk and the empty line after it are in, or as soon as its chunk framing is found broken
// (no more bytes could mend it).  Otherwise the answer is whole once it holds the header end
// "\r\n\r\n" plus Content-Length bytes of body: the Content-Length header name is matched
// without regard to case anywhere in the bytes, its digits read as atoi reads them but
// saturating instead of overflowing, and that search, like a C-string search, stops at the
// first zero byte.  Never reads past `count`.
bool isResponseComplete(const char *bytes, size_t count);

// The answer as its reader should see it: when its header says the body is chunked, the
// header followed by the body's bytes joined back together (as far as they arrived and the
// framing holds: a cut or broken answer gives what came before the cut); any other answer
// unchanged.  Never reads past `count`.
std::string decodeAnswer(const char *bytes, size_t count);

} // namespace portlink
