#pragma once
// How the result of one UPnP exchange reads for the keeper.
#include <cstdint>
#include <string>

#include "mapping_keeper.h"

namespace portlink {

// AddPortMapping or DeletePortMapping: 0 is Granted; no answer at all (or no socket) is
// Unanswered; any answer that is not a success is Refused.
ExchangeOutcome upnpActionOutcome(int32_t code);

// GetSpecificPortMappingEntry, with the answer text (a success or a fault): Granted when the
// entry forwards to clientText:internalPort; Unsupported only when the gateway does not know
// the action (UPnP error 401 Invalid Action, 602 Optional Action Not Implemented or 606
// Action Not Authorized); Unanswered as for the actions, and for an HTTP error that carries
// no UPnP error code; else Refused (714 NoSuchEntryInArray, another UPnP error, or an entry
// naming another client).
ExchangeOutcome upnpCheckOutcome(int32_t code, const std::wstring &answer,
                                 const std::wstring &clientText, uint16_t internalPort);

} // namespace portlink
