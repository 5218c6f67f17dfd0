#pragma once
// UPnP port-mapping actions on the gateway's connection service.
#include <cstdint>
#include <string>

#include "nat_session.h"

namespace portlink {

// Wraps `action` and its argument elements in a SOAP envelope for the service of type
// `serviceType` and posts it to `controlUrl`.  ERR_NO_GATEWAY, with nothing sent, when the
// URL names no host or holds text that may not go into a request.  `response` is emptied
// before the exchange and receives the answer on success.
int32_t invokeActionOn(const std::wstring &controlUrl, const std::wstring &serviceType,
                       const std::wstring &action, const std::wstring &arguments,
                       std::wstring &response);

// invokeActionOn the session's control URL and service type: the service that discovery
// chose.  ERR_NO_GATEWAY, with nothing sent, before discovery has recorded one.
int32_t invokeAction(const std::wstring &action, const std::wstring &arguments,
                     std::wstring &response);

// AddPortMapping of external -> client:internal; ERR_NOT_LAN_ADDRESS, with nothing sent, when
// the client's address is not private.  Ports use their low 16 bits.
int32_t requestAddPortMapping(int32_t externalPort, const std::wstring &protocol,
                              int32_t internalPort, const LocalAddress &client,
                              const std::wstring &description);

// DeletePortMapping of the external port; no address test.
int32_t requestDeletePortMapping(int32_t externalPort, const std::wstring &protocol);

} // namespace portlink
