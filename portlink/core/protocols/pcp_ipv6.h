#pragma once
// PCP MAP (RFC 6887 §11) for an IPv6 address of this host: on a gateway without IPv6 NAT the
// mapping is an inbound pinhole for that address and port.  The request bytes and what the
// answer grants; the answer itself is read by readPortControlAnswer, and it answers our
// request when answersPcpMap (port_control.h) says so.  No state; any thread.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "ipv6_text.h"
#include "port_control.h"

namespace portlink {

// PCP MAP, 60 bytes, no options: the client address field holds `client` itself (the source
// address the datagram goes out from), and the suggested external address and port are the
// client's own address and `internalPort`, since a pinhole opens exactly those.  Lifetime 0
// deletes the pinhole named by nonce, protocol and internal port.
std::vector<uint8_t> pcpPinholeRequest(const MappingNonce &nonce, uint8_t protocol,
                                       uint16_t internalPort, uint32_t lifetime,
                                       const Ipv6Address &client);

// The assigned external address of a MAP answer, all 16 bytes (bytes 24 + 20 to 24 + 36).
// False, with `address` untouched, for a datagram that readPortControlAnswer does not read as
// a PCP MAP answer.
bool readPcpAssignedAddress(const uint8_t *bytes, size_t count, Ipv6Address &address);

// What a MAP answer to our pinhole request (`assigned` read by readPcpAssignedAddress) grants:
// RESULT_OK when its result is SUCCESS and it opens `client` at its internal port;
// ERR_MAPPING_REFUSED for an error result; ERR_OTHER_PORT for a success that opens another
// address or port (a NAT in the way), where peers told of `client` would find nothing open.
int32_t pcpPinholeResult(const PortControlAnswer &answer, const Ipv6Address &assigned,
                         const Ipv6Address &client);

} // namespace portlink
