#include "pcp_ipv6.h"

#include <algorithm>

#include "result_codes.h"

namespace portlink {

namespace {

constexpr size_t kClientAddressAt = 8;
constexpr size_t kExternalAddressAt = 44;

} // namespace

std::vector<uint8_t> pcpPinholeRequest(const MappingNonce &nonce, uint8_t protocol,
                                       uint16_t internalPort, uint32_t lifetime,
                                       const Ipv6Address &client) {
    // The IPv4 request has the same layout; only the two addresses differ.
    std::vector<uint8_t> out =
        pcpMapRequest(nonce, protocol, internalPort, internalPort, lifetime, 0);
    std::copy(client.begin(), client.end(), out.begin() + kClientAddressAt);
    std::copy(client.begin(), client.end(), out.begin() + kExternalAddressAt);
    return out;
}

bool readPcpAssignedAddress(const uint8_t *bytes, size_t count, Ipv6Address &address) {
    if (readPortControlAnswer(bytes, count).kind != AnswerKind::PcpMap)
        return false;
    std::copy(bytes + kExternalAddressAt, bytes + kExternalAddressAt + address.size(),
              address.begin());
    return true;
}

int32_t pcpPinholeResult(const PortControlAnswer &answer, const Ipv6Address &assigned,
                         const Ipv6Address &client) {
    if (answer.result != kResultSuccess)
        return ERR_MAPPING_REFUSED;
    if (assigned != client || answer.externalPort != answer.internalPort)
        return ERR_OTHER_PORT;
    return RESULT_OK;
}

} // namespace portlink
