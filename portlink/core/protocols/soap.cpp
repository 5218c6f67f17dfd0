#include "soap.h"

#include <cstring>

#include "ipv4_text.h"
#include "text_ops.h"

namespace portlink {

const wchar_t mappingDescription[] = L"Verimon veri.test";
static_assert(sizeof mappingDescription / sizeof mappingDescription[0] == 17 + 1,
              "the mapping description has 17 characters");

namespace {

// Decimal digits of a magnitude, most significant first.
std::wstring unsignedDecimal(uint64_t value) {
    wchar_t digits[24];
    size_t count = 0;
    do {
        digits[count++] = static_cast<wchar_t>(L'0' + static_cast<int>(value % 10));
        value /= 10;
    } while (value != 0);
    std::wstring text;
    while (count > 0)
        text += digits[--count];
    return text;
}

} // namespace

const wchar_t *protocolText(int32_t selector) { return selector == 1 ? L"TCP" : L"UDP"; }

std::wstring argumentElement(const std::wstring &name, const std::wstring &value) {
    return L"<" + name + L">" + value + L"</" + name + L">";
}

std::wstring numericArgumentElement(const std::wstring &name, int32_t value) {
    // As "%d" writes it: a minus sign for negative values, no sign otherwise.
    const int64_t wide = value;
    const std::wstring text =
        wide < 0 ? L"-" + unsignedDecimal(static_cast<uint64_t>(-wide))
                 : unsignedDecimal(static_cast<uint64_t>(wide));
    return argumentElement(name, text);
}

std::wstring addPortMappingArguments(uint16_t externalPort, const std::wstring &protocol,
                                     uint16_t internalPort, const std::wstring &internalClient,
                                     const std::wstring &description) {
    return argumentElement(L"NewRemoteHost", L"") +
           numericArgumentElement(L"NewExternalPort", externalPort) +
           argumentElement(L"NewProtocol", protocol) +
           numericArgumentElement(L"NewInternalPort", internalPort) +
           argumentElement(L"NewInternalClient", internalClient) +
           numericArgumentElement(L"NewEnabled", 1) +
           argumentElement(L"NewPortMappingDescription", description) +
           numericArgumentElement(L"NewLeaseDuration", 0);
}

std::wstring deletePortMappingArguments(uint16_t externalPort, const std::wstring &protocol) {
    return argumentElement(L"NewRemoteHost", L"") +
           numericArgumentElement(L"NewExternalPort", externalPort) +
           argumentElement(L"NewProtocol", protocol);
}

bool entryForwardsTo(const std::wstring &answer, const std::wstring &internalClient,
                     uint16_t internalPort) {
    const std::wstring client = trimXmlWhiteSpace(getElementText(L"NewInternalClient", answer));
    const std::wstring port = trimXmlWhiteSpace(getElementText(L"NewInternalPort", answer));
    const std::wstring enabled = trimXmlWhiteSpace(getElementText(L"NewEnabled", answer));
    return !client.empty() && client == internalClient &&
           (internalPort == 0 || port == std::to_wstring(internalPort)) &&
           (enabled.empty() || enabled == L"1");
}

int32_t upnpErrorCode(const std::wstring &answer) {
    const std::wstring code = trimXmlWhiteSpace(getElementText(L"errorCode", answer));
    if (code.empty() || code.size() > 4)
        return -1;
    for (const wchar_t c : code)
        if (c < L'0' || c > L'9')
            return -1;
    return readDecimal(code.data(), code.data() + code.size());
}

bool reportsConnectionUp(const std::wstring &answer) {
    const std::wstring value = trimXmlWhiteSpace(getElementText(L"NewConnectionStatus", answer));
    return value == L"Connected" || value == L"Up";
}

const wchar_t externalAddressAction[] = L"GetExternalIPAddress";

uint32_t readExternalAddress(const std::wstring &answer) {
    const std::wstring text = trimXmlWhiteSpace(getElementText(L"NewExternalIPAddress", answer));
    uint8_t octets[4];
    if (!parseDottedIpv4(text.data(), text.data() + text.size(), octets))
        return 0;
    uint32_t address;
    std::memcpy(&address, octets, sizeof address);
    return address;
}

std::wstring buildEnvelope(const std::wstring &action, const std::wstring &arguments,
                           const std::wstring &serviceType) {
    return L"<?xml version=\"1.0\"?><s:Envelope\r\n"
           L"    xmlns:s=\"http://schemas.xmlsoap.org/soap/envelope/\"\r\n"
           L"    s:encodingStyle=\"http://schemas.xmlsoap.org/soap/encoding/\">\r\n"
           L"  <s:Body>\r\n"
           L"    <u:" +
           action + L" xmlns:u=\"" + serviceType + L"\">\r\n" + arguments + L"    </u:" +
           action +
           L">\r\n"
           L"  </s:Body>\r\n"
           L"</s:Envelope>\r\n"
           L"\r\n";
}

std::wstring buildControlRequest(const std::wstring &path, const std::wstring &authority,
                                 size_t envelopeBytes, const std::wstring &serviceType,
                                 const std::wstring &action, const std::wstring &envelope) {
    return L"POST " + path + L" HTTP/1.1\r\n" + L"HOST: " + authority + L"\r\n" +
           L"Content-Length: " + unsignedDecimal(envelopeBytes) + L"\r\n" +
           L"Content-Type: text/xml; charset=\"utf-8\"\r\n" + L"SOAPAction: \"" + serviceType +
           L"#" + action + L"\"\r\n" + L"\r\n" + envelope;
}

} // namespace portlink
