#pragma once
// Retrieval of the gateway's device description and the choice of its connection service.
#include <cstdint>
#include <string>
#include <vector>

#include "gateway_types.h"

namespace portlink {

// GETs the description at `url` and, when a usable connection service is found (the live one
// when there are several), gives its control URL and service type.  `namedType` is the
// service type that the search answer named, which ranks first.  False without one.  The
// IPv6 firewall service, where the description lists one on its own host, lands in
// `firewall` (its control URL stays empty otherwise), and the uuids of the devices that the
// description lists (deviceUdnsOf) land in `deviceUdns`.  Each connect (the description's,
// the status questions') is bounded by `connectLimitMs` as httpExchange takes it (0:
// unbounded).  With `onlyAddress` not 0, a connection service whose control URL does not lie
// on that address (urlLiesOn) is passed over before anything is sent to it.
bool fetchDeviceDescription(const std::wstring &url, const std::wstring &namedType,
                            ControlPoint &chosen, ControlPoint &firewall,
                            std::vector<std::wstring> &deviceUdns, int32_t connectLimitMs,
                            uint32_t onlyAddress = 0);

} // namespace portlink
