// Round trip of the chunked decoder: the input's bytes are sent as a chunked answer, cut into
// chunks at sizes the input chooses (with or without an extension on the size line, and
// trailer lines at the end), then decoded.  The whole answer must be complete and give the
// bytes back exactly; every cut of it must be incomplete and give a prefix of them.
#include <cstdio>
#include <string>

#include "fuzz_input.h"
#include "http_framing.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 2)
        return 0;
    const uint8_t shape = data[0];
    const size_t cut = data[1];
    const std::string body(reinterpret_cast<const char *>(data + 2), size - 2);

    const std::string header = "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n";
    std::string answer = header;
    // Chunk sizes from the body's own bytes, so that the fuzzer steers the boundaries.
    for (size_t pos = 0; pos < body.size();) {
        const size_t length = std::min<size_t>(body.size() - pos,
                                               1 + static_cast<uint8_t>(body[pos]) % 97);
        char line[32];
        std::snprintf(line, sizeof line, (shape & 1) ? "%zX" : "%zx", length);
        answer += line;
        if (shape & 2)
            answer += ";ext=\"v\"";
        answer += "\r\n" + body.substr(pos, length) + "\r\n";
        pos += length;
    }
    answer += "0\r\n";
    if (shape & 4)
        answer += "X-Trailer: 1\r\n";
    answer += "\r\n";

    fuzzing::require(portlink::isResponseComplete(answer.data(), answer.size()));
    fuzzing::require(portlink::decodeAnswer(answer.data(), answer.size()) == header + body);

    // A cut anywhere before the end: still waiting, and what came decodes to a prefix.
    const size_t at = header.size() + cut * (answer.size() - header.size()) / 256;
    fuzzing::require(!portlink::isResponseComplete(answer.data(), at));
    const std::string part = portlink::decodeAnswer(answer.data(), at);
    fuzzing::require((header + body).compare(0, part.size(), part) == 0);
    return 0;
}
