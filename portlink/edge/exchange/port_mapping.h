#pragma once
// UPnP actions on the gateway's connection service.
#include <cstdint>
#include <string>

#include "exchange/http_exchange.h"
#include "mapping_keeper.h"
#include "gateway_types.h"

namespace portlink {

// Wraps `action` and its argument elements in a SOAP envelope for the service of
// `gateway` and posts it to its control URL.  ERR_NO_GATEWAY, with nothing sent, when the
// URL names no host or holds text that may not go into a request.  `response` is emptied
// before the exchange and receives the answer whenever one came (a fault too).  The connect
// is bounded by `connectLimitMs` as httpExchange takes it (0: unbounded).
int32_t invokeActionOn(const ControlPoint &gateway, const std::wstring &action,
                       const std::wstring &arguments, std::wstring &response,
                       int32_t connectLimitMs);

// Carries out one exchange of the keeper on the connection service `gateway`: a Map is
// AddPortMapping of external -> clientAddress:internal with lease 0 (an address of 0 is sent
// as an empty element), a Delete is DeletePortMapping, a Check is
// GetSpecificPortMappingEntry, judged against clientAddress:internal.  The connect is bounded
// by `connectLimitMs` (0: unbounded; the keeper thread passes kKeeperConnectLimitMs).
ExchangeResult carryOutUpnp(const Exchange &exchange, const ControlPoint &gateway,
                            int32_t connectLimitMs);

} // namespace portlink
