#pragma once
// The device-description request and the search of the description text.
#include <string>
#include <vector>

namespace portlink {

// "GET " + path + " HTTP/1.1\r\nHOST: " + authority + "\r\nACCEPT-LANGUAGE: en\r\n\r\n"
std::wstring buildDescriptionRequest(const std::wstring &path, const std::wstring &authority);

// The connection service types looked for in the description, in order, each once: the type
// the search answer named; when that is a service at version 1, the same service at version 2;
// then WANPPPConnection:1, WANIPConnection:1 and WANIPConnection:2.  Gateways answer searches
// for services they lack and often describe only version 2, so the answer's type alone is no
// safe guide.
std::vector<std::wstring> serviceTypeCandidates(const std::wstring &namedType);

// One connection service of the description that actions can be sent to.
struct ServiceCandidate {
    std::wstring serviceType; // as the description declares it
    std::wstring controlUrl;  // absolute, on the description's own host
};

struct DescriptionResult {
    std::wstring baseUrl; // URLBase, or "http://" + authority + "/"; always ends with "/"
    // Every usable connection service, best first: in the order of serviceTypeCandidates,
    // services of the same type in the order the description lists them.  Empty when none.
    std::vector<ServiceCandidate> candidates;
};

// Searches `rest` (the description answer after its status line), fetched from
// `descriptionUrl`, for the services of the candidate types.  A service is found by the exact
// text of its <serviceType> element, and its controlURL only between that element and the end
// of the same service element.  The control URL is made absolute (resolveControlUrl); one that
// is empty, names another host than the description's, or holds a blank or control character
// where a request would carry it, does not count.
DescriptionResult parseDescription(const std::wstring &rest, const std::wstring &namedType,
                                   const std::wstring &descriptionUrl);

// The absolute form of a controlURL: one with a leading "/" is joined to `baseUrl` (which
// ends with "/"); one with a scheme stays as it is; any other relative one is joined to
// `urlBase` (the URLBase element as written, "/" added when missing) or, without one, to the
// description URL up to the last "/" of its path.  Empty stays empty.
std::wstring resolveControlUrl(const std::wstring &controlUrl, const std::wstring &urlBase,
                               const std::wstring &baseUrl, const std::wstring &descriptionUrl);

} // namespace portlink
