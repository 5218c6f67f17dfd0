#pragma once
// SOAP control texts for the gateway's connection service.
#include <cstddef>
#include <cstdint>
#include <string>

namespace portlink {

// Description sent with every mapping: the maker's name, a blank, the maker's web domain.
extern const wchar_t mappingDescription[]; // 17 characters

// "TCP" for selector 1, "UDP" for every other value.
const wchar_t *protocolText(int32_t selector);

// "<name>value</name>", value inserted as it is.
std::wstring argumentElement(const std::wstring &name, const std::wstring &value);
// The same with a decimal ("%d") value.
std::wstring numericArgumentElement(const std::wstring &name, int32_t value);

// The eight AddPortMapping arguments, concatenated.
std::wstring addPortMappingArguments(uint16_t externalPort, const std::wstring &protocol,
                                     uint16_t internalPort, const std::wstring &internalClient,
                                     const std::wstring &description);
// The three DeletePortMapping arguments, concatenated.
std::wstring deletePortMappingArguments(uint16_t externalPort, const std::wstring &protocol);

// The arguments of GetSpecificPortMappingEntry name the mapping as DeletePortMapping's do.
inline std::wstring getSpecificPortMappingEntryArguments(uint16_t externalPort,
                                                         const std::wstring &protocol) {
    return deletePortMappingArguments(externalPort, protocol);
}

// Whether a GetSpecificPortMappingEntry answer shows the mapping forwarding to
// internalClient:internalPort: its NewInternalClient (white space around it dropped) is that
// dotted text, its NewInternalPort that number (any number when internalPort is 0, which no
// mapping forwards to: the client alone decides), and its NewEnabled, where present, is 1.
bool entryForwardsTo(const std::wstring &answer, const std::wstring &internalClient,
                     uint16_t internalPort);

// The UPnP errorCode of a SOAP fault answer (white space around it dropped), or -1 when it
// holds none or no decimal number of at most four digits.
int32_t upnpErrorCode(const std::wstring &answer);

// Whether an answer to GetStatusInfo (no arguments) reports the connection as up: the text of
// its NewConnectionStatus element, white space around it ignored, is "Connected", or "Up",
// which some routers send.
bool reportsConnectionUp(const std::wstring &answer);

// GetExternalIPAddress, the action that asks the connection service for its external
// address; it takes no arguments.
extern const wchar_t externalAddressAction[];

// The external address that an answer to GetExternalIPAddress names (network order), or 0:
// the text of its NewExternalIPAddress element, XML white space around it dropped, must be a
// dotted IPv4 address as parseDottedIpv4 reads it.  A missing or empty element, a name, an
// IPv6 address or anything else gives 0, and so does 0.0.0.0, which names no address.
uint32_t readExternalAddress(const std::wstring &answer);

// The nine-line SOAP 1.1 envelope, ending with "</s:Envelope>\r\n\r\n".
std::wstring buildEnvelope(const std::wstring &action, const std::wstring &arguments,
                           const std::wstring &serviceType);

// POST header lines, the empty line, then the envelope.  envelopeBytes is the envelope's
// length after conversion to 8-bit text (the caller converts; this stays platform-free).
std::wstring buildControlRequest(const std::wstring &path, const std::wstring &authority,
                                 size_t envelopeBytes, const std::wstring &serviceType,
                                 const std::wstring &action, const std::wstring &envelope);

} // namespace portlink
