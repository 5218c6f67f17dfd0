// Framing of the HTTP exchange's answer: the end-of-answer test and the decoding of a chunked
// body.  The bytes are handed over exactly as received, without a terminating zero, so any
// read past the count is caught.
#include <string>

#include "fuzz_input.h"
#include "http_framing.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    const char *bytes = reinterpret_cast<const char *>(data);
    const bool complete = portlink::isResponseComplete(bytes, size);
    // More bytes never make a complete answer incomplete.
    if (size > 0 && portlink::isResponseComplete(bytes, size - 1))
        fuzzing::require(complete);

    // Decoding only ever removes framing: the header stays, and the decoded answer of fewer
    // bytes is a prefix of the decoded answer of more (the body is joined in arrival order).
    const std::string decoded = portlink::decodeAnswer(bytes, size);
    fuzzing::require(decoded.size() <= size);
    if (size > 0) {
        const std::string shorter = portlink::decodeAnswer(bytes, size - 1);
        fuzzing::require(decoded.compare(0, shorter.size(), shorter) == 0 ||
                         shorter == std::string(bytes, size - 1));
    }
    return 0;
}
