#pragma once
// The device-description request and the search of the description text.
#include <string>

namespace portlink {

// "GET " + path + " HTTP/1.1\r\nHOST: " + authority + "\r\nACCEPT-LANGUAGE: en\r\n\r\n"
std::wstring buildDescriptionRequest(const std::wstring &path, const std::wstring &authority);

struct DescriptionResult {
    std::wstring baseUrl;    // URLBase, or "http://" + authority + "/"; always ends with "/"
    std::wstring controlUrl; // empty when the chosen service or its controlURL is not found
};

// Searches `rest` (the response after its status line) for the service whose <serviceType>
// is exactly `serviceType`, and takes its controlURL, joined to baseUrl when it starts with "/".
DescriptionResult parseDescription(const std::wstring &rest, const std::wstring &serviceType,
                                   const std::wstring &authority);

} // namespace portlink
