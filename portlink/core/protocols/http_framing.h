#pragma once
// How the HTTP exchange frames an answer: its end-of-answer test on the bytes received so far,
// and the decoding of a chunked body.
#include <cstddef>
#include <string>

namespace portlink {

// How an answer's body is framed, judged from its header once the header end has arrived.
enum class BodyFraming {
    ContentLength, // no Transfer-Encoding (or the header is not complete yet): Content-Length,
                   // or the peer's close, ends the answer
    Chunked,       // Transfer-Encoding names chunked alone
    Unreadable,    // Transfer-Encoding names another coding: an answer we cannot read
};
BodyFraming bodyFraming(const char *bytes, size_t count);

// True once `count` bytes hold a whole answer.  A chunked answer is whole once its last chunk
// and the empty line after it are in, or as soon as its chunk framing is found broken (no more
// bytes could mend it); an answer we cannot read is whole at its header end.  Otherwise the
// answer is whole once it holds the header end "\r\n\r\n" plus Content-Length bytes of body:
// the Content-Length header name is matched without regard to case anywhere in the bytes, its
// digits read as atoi reads them but saturating instead of overflowing, and that search, like
// a C-string search, stops at the first zero byte.  Never reads past `count`.
bool isResponseComplete(const char *bytes, size_t count);

// The answer as its reader should see it: when it is chunked, the header followed by the
// body's bytes joined back together (as far as they arrived and the framing holds: a cut or
// broken answer gives what came before the cut); any other answer unchanged.  Never reads
// past `count`.
std::string decodeAnswer(const char *bytes, size_t count);

} // namespace portlink
