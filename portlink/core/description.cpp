#include "description.h"

#include <algorithm>
#include <utility>

#include "ssdp.h"
#include "text_ops.h"

namespace portlink {

namespace {

// The same service at version 2 when `type` is a service type at version 1; else empty.
std::wstring secondVersionOf(const std::wstring &type) {
    const std::wstring service = std::wstring(urnPrefix) + L"service:";
    const size_t length = type.size();
    if (type.compare(0, service.size(), service) != 0 || length < service.size() + 2 ||
        type.compare(length - 2, 2, L":1") != 0)
        return std::wstring();
    return type.substr(0, length - 1) + L'2';
}

// The controlURL of the first service whose <serviceType> is exactly `type`, as written.
std::wstring controlUrlOf(const std::wstring &rest, const std::wstring &type) {
    const std::wstring marker = L"<serviceType>" + type + L"</serviceType>";
    const size_t found = rest.find(marker);
    if (found == std::wstring::npos)
        return std::wstring();
    const size_t sectionStart = found + marker.size();
    const size_t sectionEnd = rest.find(L"</service>", sectionStart);
    if (sectionEnd == std::wstring::npos)
        return std::wstring();
    return getElementText(L"controlURL", rest.substr(sectionStart, sectionEnd - sectionStart));
}

} // namespace

std::wstring buildDescriptionRequest(const std::wstring &path, const std::wstring &authority) {
    return L"GET " + path + L" HTTP/1.1\r\nHOST: " + authority +
           L"\r\nACCEPT-LANGUAGE: en\r\n\r\n";
}

std::vector<std::wstring> serviceTypeCandidates(const std::wstring &namedType) {
    // The two connection services of the search table, WANPPPConnection and WANIPConnection.
    const std::wstring ppp = formatSearchTarget(searchTargets[0]);
    const std::wstring ip = formatSearchTarget(searchTargets[1]);
    std::vector<std::wstring> candidates;
    for (const std::wstring &type :
         {namedType, secondVersionOf(namedType), ppp, ip, secondVersionOf(ip)}) {
        if (!type.empty() && std::find(candidates.begin(), candidates.end(), type) ==
                                 candidates.end())
            candidates.push_back(type);
    }
    return candidates;
}

DescriptionResult parseDescription(const std::wstring &rest, const std::wstring &namedType,
                                   const std::wstring &authority) {
    DescriptionResult result;
    result.baseUrl = getElementText(L"URLBase", rest);
    if (result.baseUrl.empty())
        result.baseUrl = L"http://" + authority + L"/";
    if (result.baseUrl.back() != L'/')
        result.baseUrl += L'/';

    for (const std::wstring &type : serviceTypeCandidates(namedType)) {
        std::wstring controlUrl = controlUrlOf(rest, type);
        if (controlUrl.empty())
            continue;
        // Only a path beginning with "/" is joined to the base; baseUrl already ends with "/".
        if (controlUrl[0] == L'/')
            controlUrl = result.baseUrl + controlUrl.substr(1);
        result.controlUrl = std::move(controlUrl);
        result.serviceType = type;
        break;
    }
    return result;
}

} // namespace portlink
