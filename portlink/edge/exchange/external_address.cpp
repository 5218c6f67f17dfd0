#include "exchange/external_address.h"

#include <string>

#include "exchange/port_control_exchange.h"
#include "exchange/port_mapping.h"
#include "result_codes.h"
#include "soap.h"

namespace portlink {

UpstreamAnswer askExternalAddressUpnp(const ControlPoint &gateway, int32_t connectLimitMs) {
    std::wstring response;
    const int32_t code =
        invokeActionOn(gateway, externalAddressAction, L"", response, connectLimitMs);
    UpstreamAnswer answer;
    answer.answered = code == RESULT_OK;
    answer.address = answer.answered ? readExternalAddress(response) : 0;
    return answer;
}

UpstreamAnswer askExternalAddressNatPmp(uint32_t gateway) {
    Exchange ask;
    ask.ticket = 1; // carried out here, never reported to a keeper
    ask.job = ExchangeJob::Epoch;
    ask.way = MappingWay::NatPmp;
    bool spokeNatPmp = true;
    const ExchangeResult result = carryOutPortControl(ask, gateway, spokeNatPmp);
    UpstreamAnswer answer;
    answer.answered = result.outcome == ExchangeOutcome::Granted;
    answer.address = answer.answered ? result.externalAddress : 0;
    return answer;
}

} // namespace portlink
