#pragma once
// SSDP over IPv6: the search text sent to [ff02::c]:1900, the judging of an answer that came
// from an IPv6 sender, and the device uuid that an answer's USN carries.  No state; any thread.
#include <string>

#include "device_uuid.h"
#include "ipv6_text.h"
#include "ssdp.h"

namespace portlink {

// buildSearchRequestTo the IPv6 link-scope group: the HOST line names [FF02::C]:1900.
std::wstring buildSearchRequest6(const std::wstring &searchTarget);

// The device uuid of the first USN header of an SSDP answer or notice (header name in any
// letter case): deviceUuidOfName of its value with a type allowed to follow, so the text after
// "uuid:" up to the first "::", in the form that a description's UDN is read into.  Empty
// when there is no USN header or its value names no well-formed uuid.
std::wstring deviceUuidOf(const std::wstring &answer);

struct SearchAnswer6 {
    // examineSearchAnswer's judging with the sender compared as an address: Usable only when
    // the LOCATION host is a bracketed IPv6 literal (no zone id) equal to `sender`; a LOCATION
    // naming any other host, or an IPv6 literal that does not read, is ElsewhereLocation.
    SearchAnswer search;
    // deviceUuidOf the answer, whatever the verdict.
    std::wstring deviceUuid;
};

// Judges one datagram of an IPv6 search, already converted to wide text, that came from
// `sender`.
SearchAnswer6 examineSearchAnswer6(const std::wstring &answer, const Ipv6Address &sender);

} // namespace portlink
