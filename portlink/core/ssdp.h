#pragma once
// SSDP search texts and the judging of a gateway's answer.
#include <string>

namespace portlink {

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

// The M-SEARCH request text for one search target, MX 6, ending with CR LF CR LF.
std::wstring buildSearchRequest(const std::wstring &searchTarget);

enum class AnswerVerdict {
    Usable,        // status 2xx, a known search target, a LOCATION line
    BadStatus,     // status test failed
    NoKnownTarget, // none of the three search targets is in the answer
    NoLocation,    // no line starting with "LOCATION:" in any letter case
};

struct SearchAnswer {
    AnswerVerdict verdict = AnswerVerdict::BadStatus;
    // For every verdict but BadStatus: the search target that the session keeps afterwards
    // (the chosen one, or the third one when none matched).
    std::wstring serviceType;
    // For Usable: the LOCATION value with white space stripped at both ends.
    std::wstring descriptionUrl;
};

// Judges the first datagram of the search, already converted to wide text.
SearchAnswer examineSearchAnswer(const std::wstring &answer);

} // namespace portlink
