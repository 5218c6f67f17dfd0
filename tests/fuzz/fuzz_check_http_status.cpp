// Status test of an HTTP or SSDP answer.
#include "fuzz_input.h"
#include "text_ops.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    const std::wstring response = fuzzing::widenUntilZero(data, size);
    std::wstring rest;
    const bool passed = portlink::checkHttpStatus(response, rest);
    // The rest is always a tail of the response, and a pass needs a '2' before it.
    fuzzing::require(fuzzing::endsWith(response, rest));
    if (passed)
        fuzzing::require(response.substr(0, response.size() - rest.size()).find(L'2') !=
                         std::wstring::npos);
    return 0;
}
