#pragma once
// UPnP port-mapping actions on the gateway's connection service.
#include <cstdint>
#include <string>

namespace portlink {

// Wraps `action` and its argument elements in a SOAP envelope and posts it to the session's
// control URL.  ERR_NO_GATEWAY, with nothing sent, when there is no usable control URL.
// `response` is emptied before the exchange and receives the answer on success.
int32_t invokeAction(const std::wstring &action, const std::wstring &arguments,
                     std::wstring &response);

// AddPortMapping of external -> internalClient:internal; ERR_NOT_LAN_ADDRESS, with nothing
// sent, when this host's address is not private.  Ports use their low 16 bits.
int32_t requestAddPortMapping(int32_t externalPort, const std::wstring &protocol,
                              int32_t internalPort, const std::wstring &internalClient,
                              const std::wstring &description);

// DeletePortMapping of the external port; no address test.
int32_t requestDeletePortMapping(int32_t externalPort, const std::wstring &protocol);

} // namespace portlink
