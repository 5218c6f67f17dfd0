#include "gateway_mapping.h"

#include "nat_session.h"
#include "port_control.h"
#include "port_mapping.h"
#include "soap.h"

namespace portlink {

namespace {

uint16_t low16(int32_t port) { return static_cast<uint16_t>(static_cast<uint32_t>(port) & 0xFFFFu); }

uint8_t protocolNumber(int32_t selector) { return selector == 1 ? kProtocolTcp : kProtocolUdp; }

} // namespace

int32_t addPortMapping(int32_t internalPort, int32_t externalPort, int32_t selector) {
    PortControlClient &portControl = session().portControl();
    if (portControl.found())
        return portControl.addMapping(low16(internalPort), low16(externalPort),
                                      protocolNumber(selector));
    return requestAddPortMapping(low16(externalPort), protocolText(selector), low16(internalPort),
                                 mappingDescription);
}

int32_t removePortMapping(int32_t externalPort, int32_t selector) {
    PortControlClient &portControl = session().portControl();
    if (portControl.found())
        return portControl.removeMapping(low16(externalPort), protocolNumber(selector));
    return requestDeletePortMapping(low16(externalPort), protocolText(selector));
}

} // namespace portlink
