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

struct DescriptionResult {
    std::wstring baseUrl;     // URLBase, or "http://" + authority + "/"; always ends with "/"
    std::wstring controlUrl;  // empty when no candidate service with a controlURL is found
    std::wstring serviceType; // the candidate that gave controlUrl; empty when there is none
};

// Searches `rest` (the response after its status line) for the services of the candidate
// types in turn.  A service is found by the exact text of its <serviceType> element, and its
// controlURL only between that element and the end of the same service element; the first
// candidate whose service has a non-empty controlURL wins.  The control URL is joined to
// baseUrl when it starts with "/".
DescriptionResult parseDescription(const std::wstring &rest, const std::wstring &namedType,
                                   const std::wstring &authority);

} // namespace portlink
