// Reading of the gateway's SOAP answers: the firewall service's (the UniqueID of an AddPinhole
// answer, the fault of a refused action, a GetFirewallStatus answer, and the search of a
// description for the service's control URL) and the connection service's external address.
#include "pinhole_soap.h"

#include "fuzz_input.h"
#include "private_address.h"
#include "soap.h"
#include "text_ops.h"

using fuzzing::require;
using namespace portlink;

namespace {

bool isBooleanText(const std::wstring &text) {
    for (const wchar_t *word : {L"0", L"1", L"true", L"false", L"yes", L"no"})
        if (text == word)
            return true;
    return false;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    const std::wstring answer = fuzzing::widenUntilZero(data, size);

    // A UniqueID only from an element that holds its decimal digits, leading zeros allowed.
    uint16_t id = 0;
    if (readPinholeId(answer, id) == RESULT_OK) {
        std::wstring digits = trimXmlWhiteSpace(getElementText(L"UniqueID", answer));
        digits.erase(0, std::min(digits.find_first_not_of(L'0'), digits.size() - 1));
        require(digits == std::to_wstring(id));
    } else {
        require(readPinholeId(answer, id) == ERR_PINHOLE_ANSWER);
    }

    // Every fault is one of the pinhole results; only the listed codes end the retries.
    const int32_t code = upnpErrorCode(answer);
    const PinholeFault fault = classifyPinholeFault(code);
    require(fault.result >= ERR_PINHOLE_ANSWER && fault.result <= ERR_PINHOLE_FAULT &&
            fault.result != ERR_PINHOLE_ANSWER);
    require(fault.retryLater == (code == 701 || fault.result == ERR_PINHOLE_FAULT));

    FirewallStatus status;
    if (readFirewallStatus(answer, status)) {
        const std::wstring enabled = trimXmlWhiteSpace(getElementText(L"FirewallEnabled", answer));
        require(isBooleanText(enabled));
        require(status.firewallEnabled ==
                (enabled == L"1" || enabled == L"true" || enabled == L"yes"));
    }

    // A control URL only on the description's host, and only from a firewall service.
    const std::wstring control =
        findFirewallControl(answer, L"http://192.168.77.1:5000/rootDesc.xml");
    if (!control.empty()) {
        require(requestHost(control) == L"192.168.77.1");
        require(answer.find(kFirewallControlServiceType) != std::wstring::npos);
    }

    // An external address only from an element whose text, white space around it dropped, is
    // exactly the dotted form of that address.
    const uint32_t external = readExternalAddress(answer);
    if (external != 0)
        require(trimXmlWhiteSpace(getElementText(L"NewExternalIPAddress", answer)) ==
                dottedAddress(external));
    return 0;
}
