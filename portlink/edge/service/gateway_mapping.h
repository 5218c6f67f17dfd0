#pragma once
// The application's port mappings, through whichever protocol discovery found the gateway
// speaking: UPnP when it found a control URL, else PCP or NAT-PMP.
#include <cstdint>

namespace portlink {

// external -> this host:internal; `selector` 1 is TCP, anything else UDP.  Ports use their low
// 16 bits.  Returns a result code, 0 for success.
int32_t addPortMapping(int32_t internalPort, int32_t externalPort, int32_t selector);
int32_t removePortMapping(int32_t externalPort, int32_t selector);

} // namespace portlink
