#pragma once
// SSDP search texts and the judging of a gateway's answer.
#include <cstdint>
#include <string>

namespace portlink {

// Where searches and notices go over IPv4: the SSDP group and port.
constexpr char kSsdpGroup[] = "239.255.255.250";
constexpr uint16_t kSsdpPort = 1900;

struct SearchTarget {
    const wchar_t *kind; // "service" or "device"
    const wchar_t *name; // "WANPPPConnection", ...
};

// Order of sending and order of preference.
extern const SearchTarget searchTargets[3];
// "urn:schemas-upnp-org:", the library's one URN prefix: every search target and service
// type it forms starts with it.
extern const wchar_t urnPrefix[];
constexpr int kSearchTargetVersion = 1;
constexpr int kSearchMx = 6;

// "%s%s:%s:%d" of (urnPrefix, kind, name, version).
std::wstring formatSearchTarget(const SearchTarget &target);

// The M-SEARCH request text for one search target, sent to `group` (an address as the HOST
// line writes it) at kSsdpPort, MX 6, ending with CR LF CR LF.
std::wstring buildSearchRequestTo(const std::wstring &group, const std::wstring &searchTarget);

// buildSearchRequestTo the IPv4 group, kSsdpGroup.
std::wstring buildSearchRequest(const std::wstring &searchTarget);

enum class AnswerVerdict {
    Usable,        // status 2xx, a known search target, a LOCATION at the sender's address
    BadStatus,     // status test failed
    NoKnownTarget, // none of the three search targets is in the answer
    NoLocation,    // no line starting with "LOCATION:" in any letter case
    BadLocation,   // the LOCATION value is empty, names no host, or holds a blank or control
                   // character that would go into the description request
    ElsewhereLocation, // the LOCATION names a host other than the answer's sender
};

struct SearchAnswer {
    AnswerVerdict verdict = AnswerVerdict::BadStatus;
    // For Usable: the first search target in table order that the answer names.
    std::wstring serviceType;
    // For Usable: the LOCATION value with white space stripped at both ends.
    std::wstring descriptionUrl;
};

// Judges one datagram of the search, already converted to wide text, that came from the
// dotted IPv4 address `sender`.  Only a Usable answer ends the search; the others are
// dropped.  An answer may only send us to the device that sent it: a LOCATION that names any
// other host (this machine's loopback, another LAN host) is never used.  Both texts stay empty
// unless it is Usable.
SearchAnswer examineSearchAnswer(const std::wstring &answer, const std::wstring &sender);

} // namespace portlink
