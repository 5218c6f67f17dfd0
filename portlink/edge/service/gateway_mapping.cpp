#include "service/gateway_mapping.h"

#include "service/mapping_service.h"
#include "port_control.h"

namespace portlink {

namespace {

uint16_t low16(int32_t port) { return static_cast<uint16_t>(static_cast<uint32_t>(port) & 0xFFFFu); }

uint8_t protocolNumber(int32_t selector) { return selector == 1 ? kProtocolTcp : kProtocolUdp; }

} // namespace

int32_t addPortMapping(int32_t internalPort, int32_t externalPort, int32_t selector) {
    return mappings().add(low16(internalPort), low16(externalPort), protocolNumber(selector));
}

int32_t removePortMapping(int32_t externalPort, int32_t selector) {
    return mappings().remove(low16(externalPort), protocolNumber(selector));
}

} // namespace portlink
