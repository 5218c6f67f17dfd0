#pragma once
// UPnP port-mapping actions on the gateway's connection service.
#include <cstdint>
#include <string>

#include "nat_session.h"

namespace portlink {

// Wraps `action` and its argument elements in a SOAP envelope for the service of
// `gateway` and posts it to its control URL.  ERR_NO_GATEWAY, with nothing sent, when the
// URL names no host or holds text that may not go into a request.  `response` is emptied
// before the exchange and receives the answer on success.
int32_t invokeActionOn(const ControlPoint &gateway, const std::wstring &action,
                       const std::wstring &arguments, std::wstring &response);

// AddPortMapping of external -> this host:internal on the service that discovery chose,
// naming the local address that this host reaches the control URL's host from at this
// moment (on a host with several adapters, the one on the gateway's LAN).  ERR_NO_GATEWAY,
// with nothing sent, before discovery has recorded a control URL; ERR_NOT_LAN_ADDRESS, with
// nothing sent, when that address is not private.
int32_t requestAddPortMapping(uint16_t externalPort, const std::wstring &protocol,
                              uint16_t internalPort, const std::wstring &description);

// DeletePortMapping of the external port; no address test.
int32_t requestDeletePortMapping(uint16_t externalPort, const std::wstring &protocol);

} // namespace portlink
