// Handling of a device description answer: the status test, then the search for the chosen
// service's control URL.  The first byte chooses the search target, the rest is the answer.
#include "description.h"
#include "fuzz_input.h"
#include "ssdp.h"
#include "text_ops.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size == 0)
        return 0;
    const std::wstring serviceType =
        portlink::formatSearchTarget(portlink::searchTargets[data[0] % 3]);
    const std::wstring answer = fuzzing::widenUntilZero(data + 1, size - 1);
    std::wstring rest;
    if (!portlink::checkHttpStatus(answer, rest))
        return 0;
    const portlink::DescriptionResult result =
        portlink::parseDescription(rest, serviceType, L"192.168.77.1:5000");
    fuzzing::require(!result.baseUrl.empty() && result.baseUrl.back() == L'/');
    if (!result.controlUrl.empty())
        fuzzing::require(rest.find(L"<serviceType>" + serviceType + L"</serviceType>") !=
                         std::wstring::npos);
    return 0;
}
