// Handling of a device description answer: the status test, then the search for the control
// URLs of the candidate services and the reading of the devices' UDNs.  The first byte chooses the search target that the answer
// named, the rest is the answer.
#include "description.h"
#include "device_uuid.h"

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
    const std::vector<portlink::ServiceCandidate> candidates =
        portlink::parseDescription(rest, named, L"http://192.168.77.1:5000/dev/rootDesc.xml");
    for (size_t i = 0; i < candidates.size(); ++i) {
        const portlink::ServiceCandidate &found = candidates[i];
        // Each comes from a service element of a connection service type...
        fuzzing::require(portlink::isConnectionServiceType(found.serviceType));
        fuzzing::require(rest.find(L"<serviceType>" + found.serviceType + L"</serviceType>") !=
                         std::wstring::npos);
        // ...is listed once...
        for (size_t j = 0; j < i; ++j)
            fuzzing::require(candidates[j].controlUrl != found.controlUrl);
        // ...and sends requests only to the description's host, with nothing in them that
        // could break the request.
        fuzzing::require(portlink::requestHost(found.controlUrl) == L"192.168.77.1");
    }
    // No more candidates than service elements.
    size_t services = 0;
    for (size_t at = rest.find(L"</service>"); at != std::wstring::npos;
         at = rest.find(L"</service>", at + 1))
        ++services;
    fuzzing::require(candidates.size() <= services);

    // The devices: few, each once, each a bounded run of visible characters that stands in
    // the text and reads back the same as a UDN.
    const std::vector<std::wstring> uuids = portlink::deviceUdnsOf(rest);
    fuzzing::require(uuids.size() <= portlink::kMaxDeviceUdns);
    for (size_t i = 0; i < uuids.size(); ++i) {
        const std::wstring &uuid = uuids[i];
        fuzzing::require(!uuid.empty() && uuid.size() <= portlink::kMaxDeviceUuidLength);
        for (const wchar_t c : uuid)
            fuzzing::require(c > L' ' && c < 0x7F);
        fuzzing::require(uuid.find(L"::") == std::wstring::npos);
        fuzzing::require(rest.find(uuid) != std::wstring::npos);
        fuzzing::require(portlink::deviceUuidOfName(L"uuid:" + uuid, false) == uuid);
        for (size_t j = 0; j < i; ++j)
            fuzzing::require(uuids[j] != uuid);
    }
    return 0;
}
