#include "pinhole_soap.h"

#include <algorithm>

#include "soap.h"
#include "text_ops.h"
#include "url_reference.h"

namespace portlink {

const wchar_t kFirewallControlServiceType[] =
    L"urn:schemas-upnp-org:service:WANIPv6FirewallControl:1";

namespace {

bool allDigits(const std::wstring &text) {
    return !text.empty() &&
           std::all_of(text.begin(), text.end(), [](wchar_t c) { return c >= L'0' && c <= L'9'; });
}

// A UPnP boolean; false when `text` is none.
bool readBoolean(const std::wstring &text, bool &value) {
    if (text == L"1" || text == L"true" || text == L"yes")
        value = true;
    else if (text == L"0" || text == L"false" || text == L"no")
        value = false;
    else
        return false;
    return true;
}

std::wstring trimmedElement(const wchar_t *tag, const std::wstring &text) {
    return trimXmlWhiteSpace(getElementText(tag, text));
}

} // namespace

std::wstring addPinholeArguments(const Ipv6Address &internalClient, uint16_t internalPort,
                                 uint8_t protocol) {
    return argumentElement(L"RemoteHost", L"") + numericArgumentElement(L"RemotePort", 0) +
           argumentElement(L"InternalClient", formatIpv6(internalClient)) +
           numericArgumentElement(L"InternalPort", internalPort) +
           numericArgumentElement(L"Protocol", protocol) +
           numericArgumentElement(L"LeaseTime", kPinholeLeaseTime);
}

std::wstring updatePinholeArguments(uint16_t uniqueId) {
    return deletePinholeArguments(uniqueId) +
           numericArgumentElement(L"NewLeaseTime", kPinholeLeaseTime);
}

std::wstring deletePinholeArguments(uint16_t uniqueId) {
    return numericArgumentElement(L"UniqueID", uniqueId);
}

std::wstring firewallStatusArguments() {
    return std::wstring();
}

int32_t readPinholeId(const std::wstring &answer, uint16_t &uniqueId) {
    const std::wstring text = trimmedElement(L"UniqueID", answer);
    if (!allDigits(text))
        return ERR_PINHOLE_ANSWER;
    // readDecimal saturates, so a long run of digits stays above the bound.
    const int32_t value = readDecimal(text.data(), text.data() + text.size());
    if (value > 65535)
        return ERR_PINHOLE_ANSWER;
    uniqueId = static_cast<uint16_t>(value);
    return RESULT_OK;
}

int32_t checkPinholeLease(uint32_t seconds) {
    return seconds >= 1 && seconds <= kMaxPinholeLease ? RESULT_OK : ERR_PINHOLE_ANSWER;
}

PinholeFault classifyPinholeFault(int32_t upnpErrorCode) {
    switch (upnpErrorCode) {
    case 606:
        return {ERR_PINHOLE_NOT_AUTHORIZED, false};
    case 701:
        return {ERR_PINHOLE_SPACE_FULL, true};
    case 702:
    case 703:
        return {ERR_PINHOLES_OFF, false};
    case 704:
        return {ERR_NO_SUCH_PINHOLE, false};
    case 402:
    case 705:
    case 706:
    case 707:
    case 708:
        return {ERR_PINHOLE_ARGUMENTS, false};
    default:
        return {ERR_PINHOLE_FAULT, true};
    }
}

bool readFirewallStatus(const std::wstring &answer, FirewallStatus &status) {
    FirewallStatus read;
    if (!readBoolean(trimmedElement(L"FirewallEnabled", answer), read.firewallEnabled) ||
        !readBoolean(trimmedElement(L"InboundPinholeAllowed", answer), read.inboundPinholeAllowed))
        return false;
    status = read;
    return true;
}

std::wstring findFirewallControl(const std::wstring &rest, const std::wstring &descriptionUrl) {
    const std::wstring host = requestHost(descriptionUrl);
    if (host.empty())
        return std::wstring();
    const std::wstring urlBase = trimmedElement(L"URLBase", rest);
    const std::wstring &base =
        isHttpUrl(urlBase) && requestHost(urlBase) == host ? urlBase : descriptionUrl;
    static const std::wstring serviceClose = L"</service>";
    for (size_t start = 0, end = rest.find(serviceClose); end != std::wstring::npos;
         start = end + serviceClose.size(), end = rest.find(serviceClose, start)) {
        const std::wstring section = rest.substr(start, end - start);
        if (trimmedElement(L"serviceType", section) != kFirewallControlServiceType)
            continue;
        const std::wstring written = trimmedElement(L"controlURL", section);
        if (written.empty())
            continue;
        std::wstring controlUrl = resolveReference(base, written);
        if (requestHost(controlUrl) == host)
            return controlUrl;
    }
    return std::wstring();
}

} // namespace portlink
