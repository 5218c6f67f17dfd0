#include "exchange_outcome.h"

#include "result_codes.h"
#include "soap.h"

namespace portlink {

ExchangeOutcome upnpActionOutcome(int32_t code) {
    if (code == RESULT_OK)
        return ExchangeOutcome::Granted;
    if (code == ERR_NO_RESPONSE || code == ERR_SOCKET)
        return ExchangeOutcome::Unanswered;
    return ExchangeOutcome::Refused;
}

ExchangeOutcome upnpCheckOutcome(int32_t code, const std::wstring &answer,
                                 const std::wstring &clientText, uint16_t internalPort) {
    if (code == RESULT_OK)
        return entryForwardsTo(answer, clientText, internalPort) ? ExchangeOutcome::Granted
                                                                 : ExchangeOutcome::Refused;
    if (code != ERR_HTTP_STATUS)
        return upnpActionOutcome(code);
    const int32_t error = upnpErrorCode(answer);
    if (error == 401 || error == 602 || error == 606)
        return ExchangeOutcome::Unsupported;
    // An HTTP error without a UPnP error code says nothing about the entry: a proxy's or a
    // busy server's page.
    return error < 0 ? ExchangeOutcome::Unanswered : ExchangeOutcome::Refused;
}

} // namespace portlink
