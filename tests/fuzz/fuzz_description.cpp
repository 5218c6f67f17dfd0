// Handling of a device description answer: the status test, then the search for the control
// URL of a candidate service.  The first byte chooses the search target that the answer named,
// the rest is the answer.
#include "description.h"

#include <algorithm>
#include <vector>

#include "fuzz_input.h"
#include "ssdp.h"
#include "text_ops.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size == 0)
        return 0;
    const std::wstring named = portlink::formatSearchTarget(portlink::searchTargets[data[0] % 3]);
    const std::wstring answer = fuzzing::widenUntilZero(data + 1, size - 1);
    std::wstring rest;
    if (!portlink::checkHttpStatus(answer, rest))
        return 0;
    const portlink::DescriptionResult result =
        portlink::parseDescription(rest, named, L"192.168.77.1:5000");
    fuzzing::require(!result.baseUrl.empty() && result.baseUrl.back() == L'/');
    // A control URL always comes with the candidate type whose service element gave it.
    fuzzing::require(result.controlUrl.empty() == result.serviceType.empty());
    if (!result.controlUrl.empty()) {
        const std::vector<std::wstring> candidates = portlink::serviceTypeCandidates(named);
        fuzzing::require(std::find(candidates.begin(), candidates.end(), result.serviceType) !=
                         candidates.end());
        fuzzing::require(rest.find(L"<serviceType>" + result.serviceType + L"</serviceType>") !=
                         std::wstring::npos);
    }
    return 0;
}
