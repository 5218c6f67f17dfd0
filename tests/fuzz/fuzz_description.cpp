// Handling of a device description answer: the status test, then the search for the control
// URLs of the candidate services.  The first byte chooses the search target that the answer
// named, the rest is the answer.
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
        portlink::parseDescription(rest, named, L"http://192.168.77.1:5000/dev/rootDesc.xml");
    fuzzing::require(!result.baseUrl.empty() && result.baseUrl.back() == L'/');
    const std::vector<std::wstring> candidates = portlink::serviceTypeCandidates(named);
    for (const portlink::ServiceCandidate &found : result.candidates) {
        // Each comes from a service element of a candidate type...
        fuzzing::require(std::find(candidates.begin(), candidates.end(), found.serviceType) !=
                         candidates.end());
        fuzzing::require(rest.find(L"<serviceType>" + found.serviceType + L"</serviceType>") !=
                         std::wstring::npos);
        // ...and sends requests only to the description's host, with nothing in them that
        // could break the request.
        fuzzing::require(portlink::requestHost(found.controlUrl) == L"192.168.77.1");
    }
    return 0;
}
