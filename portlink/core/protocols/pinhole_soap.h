#pragma once
// SOAP texts for the gateway's IPv6 firewall service (WANIPv6FirewallControl:1): the
// arguments of the pinhole actions, the reading of their answers and faults, and the finding
// of the service in a device description.  No state; any thread.
#include <cstdint>
#include <string>

#include "ipv6_text.h"
#include "result_codes.h"

namespace portlink {

// Results of pinhole operations, beside those of result_codes.h.
// No usable UniqueID in an AddPinhole answer, or a granted lease out of range.
constexpr int32_t ERR_PINHOLE_ANSWER = resultCode(0x80040221u);
// Fault 606: not for this sender, this port, or this address text.
constexpr int32_t ERR_PINHOLE_NOT_AUTHORIZED = resultCode(0x80040223u);
// Fault 701: the gateway holds no more pinholes.
constexpr int32_t ERR_PINHOLE_SPACE_FULL = resultCode(0x80040225u);
// Faults 702 and 703: the firewall is off, or inbound pinholes are not allowed.
constexpr int32_t ERR_PINHOLES_OFF = resultCode(0x80040227u);
// Faults 402 and 705 to 708: a value of the request is refused.
constexpr int32_t ERR_PINHOLE_ARGUMENTS = resultCode(0x80040229u);
// Fault 704: the UniqueID names no pinhole.
constexpr int32_t ERR_NO_SUCH_PINHOLE = resultCode(0x8004022Bu);
// Any other fault, or a failure that carries no fault code.
constexpr int32_t ERR_PINHOLE_FAULT = resultCode(0x8004022Du);

extern const wchar_t kFirewallControlServiceType[]; // urn:...:WANIPv6FirewallControl:1

constexpr int32_t kPinholeLeaseTime = 3600;  // seconds asked for, in AddPinhole and UpdatePinhole
constexpr uint32_t kMaxPinholeLease = 86400; // the largest lease the service defines

// The six AddPinhole arguments, concatenated: any remote host and port, the internal client
// as RFC 5952 text (the gateway compares it as text), the internal port, the protocol number
// (kProtocolTcp or kProtocolUdp) and kPinholeLeaseTime.
std::wstring addPinholeArguments(const Ipv6Address &internalClient, uint16_t internalPort,
                                 uint8_t protocol);
// UniqueID and NewLeaseTime (kPinholeLeaseTime).
std::wstring updatePinholeArguments(uint16_t uniqueId);
// UniqueID.
std::wstring deletePinholeArguments(uint16_t uniqueId);
// GetFirewallStatus takes none: empty.
std::wstring firewallStatusArguments();

// The UniqueID of an AddPinhole answer: the text of its UniqueID element, XML white space
// around it dropped, must be decimal digits only, of value 0-65535.  RESULT_OK with `uniqueId`
// set, else ERR_PINHOLE_ANSWER and `uniqueId` untouched.
int32_t readPinholeId(const std::wstring &answer, uint16_t &uniqueId);

// A lease the gateway reports granting: RESULT_OK for 1 to kMaxPinholeLease seconds, else
// ERR_PINHOLE_ANSWER (0 holds nothing open; more than a day is outside what the service
// defines and would outlive our renewals' reasoning).
int32_t checkPinholeLease(uint32_t seconds);

// What a UPnP fault of a pinhole action (the errorCode, as upnpErrorCode reads it) means.
struct PinholeFault {
    int32_t result = ERR_PINHOLE_FAULT;
    bool retryLater = true; // whether sending the same request later may succeed
};
// 606 Action not authorized: ERR_PINHOLE_NOT_AUTHORIZED (the sender is not the address being
// opened, the port is one the gateway keeps closed, or the address text is not canonical).
// 701 PinholeSpaceExhausted: ERR_PINHOLE_SPACE_FULL, retry (other pinholes expire).
// 702 FirewallDisabled, 703 InboundPinholeNotAllowed: ERR_PINHOLES_OFF.
// 704 NoSuchEntry: ERR_NO_SUCH_PINHOLE (add the pinhole again instead).
// 402 Invalid Args, 705 ProtocolNotSupported, 706 InternalPortWildcardingNotAllowed,
// 707 ProtocolWildcardingNotAllowed, 708 WildCardNotPermittedInSrcIP: ERR_PINHOLE_ARGUMENTS.
// Those that name no retry do not change by waiting.  Any other code, or none (-1):
// ERR_PINHOLE_FAULT, retry.
PinholeFault classifyPinholeFault(int32_t upnpErrorCode);

// A GetFirewallStatus answer.
struct FirewallStatus {
    bool firewallEnabled = false;
    bool inboundPinholeAllowed = false;
};
// Reads FirewallEnabled and InboundPinholeAllowed, XML white space around each dropped, as
// UPnP booleans ("1", "true", "yes" / "0", "false", "no"; "1" and "0" are what gateways send).
// False, with `status` untouched, when either is missing or holds anything else.
bool readFirewallStatus(const std::wstring &answer, FirewallStatus &status);

// The control URL of the first WANIPv6FirewallControl:1 service in a description answer
// (`rest`, the text after its status line) fetched from `descriptionUrl`; empty when there is
// none that may be used.  A service element is the text up to its "</service>"; its
// serviceType (XML white space around it dropped) must name the service exactly.  The
// controlURL resolves as parseDescription resolves it (against URLBase when that is an http
// URL on the description's host, else against the description URL) and counts only when it
// lies on the description's host and may go into a request.
std::wstring findFirewallControl(const std::wstring &rest, const std::wstring &descriptionUrl);

} // namespace portlink
