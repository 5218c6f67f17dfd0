// End-of-answer test of the HTTP exchange.  The bytes are handed over exactly as received,
// without a terminating zero, so any read past the count is caught.
#include "fuzz_input.h"
#include "http_framing.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    const char *bytes = reinterpret_cast<const char *>(data);
    const bool complete = portlink::isResponseComplete(bytes, size);
    // More bytes never make a complete answer incomplete.
    if (size > 0 && portlink::isResponseComplete(bytes, size - 1))
        fuzzing::require(complete);
    return 0;
}
