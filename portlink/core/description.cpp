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

// The controlURL of every service whose <serviceType> is exactly `type`, as written, in the
// order of the description.
std::vector<std::wstring> controlUrlsOf(const std::wstring &rest, const std::wstring &type) {
    const std::wstring marker = L"<serviceType>" + type + L"</serviceType>";
    std::vector<std::wstring> found;
    for (size_t at = rest.find(marker); at != std::wstring::npos; at = rest.find(marker, at)) {
        at += marker.size();
        const size_t sectionEnd = rest.find(L"</service>", at);
        if (sectionEnd == std::wstring::npos)
            break;
        found.push_back(getElementText(L"controlURL", rest.substr(at, sectionEnd - at)));
    }
    return found;
}

// The description URL up to and including the last "/" of its path; "scheme://authority/"
// when it has no path, empty when it has no "://".
std::wstring directoryOf(const std::wstring &url) {
    const size_t scheme = url.find(L"://");
    if (scheme == std::wstring::npos)
        return std::wstring();
    const size_t pathStart = url.find(L'/', scheme + 3);
    if (pathStart == std::wstring::npos)
        return url + L'/';
    const size_t pathEnd = std::min(url.find(L'?', pathStart), url.find(L'#', pathStart));
    const size_t lastSlash = url.rfind(L'/', pathEnd == std::wstring::npos ? url.size() : pathEnd);
    return url.substr(0, lastSlash + 1);
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

std::wstring resolveControlUrl(const std::wstring &controlUrl, const std::wstring &urlBase,
                               const std::wstring &baseUrl, const std::wstring &descriptionUrl) {
    if (controlUrl.empty() || hasScheme(controlUrl))
        return controlUrl;
    if (controlUrl[0] == L'/')
        return baseUrl + controlUrl.substr(1);
    if (urlBase.empty())
        return directoryOf(descriptionUrl) + controlUrl;
    return urlBase + (urlBase.back() == L'/' ? L"" : L"/") + controlUrl;
}

DescriptionResult parseDescription(const std::wstring &rest, const std::wstring &namedType,
                                   const std::wstring &descriptionUrl) {
    std::wstring descriptionAuthority, descriptionPath;
    int32_t descriptionPort = 0;
    const std::wstring descriptionHost =
        splitUrl(descriptionUrl, descriptionAuthority, descriptionPath, descriptionPort);

    DescriptionResult result;
    const std::wstring urlBase = getElementText(L"URLBase", rest);
    result.baseUrl = urlBase.empty() ? L"http://" + descriptionAuthority + L"/" : urlBase;
    if (result.baseUrl.back() != L'/')
        result.baseUrl += L'/';

    for (const std::wstring &type : serviceTypeCandidates(namedType)) {
        for (const std::wstring &written : controlUrlsOf(rest, type)) {
            std::wstring controlUrl =
                resolveControlUrl(written, urlBase, result.baseUrl, descriptionUrl);
            // Actions go only to the device whose description this is.
            const std::wstring host = requestHost(controlUrl);
            if (host.empty() || host != descriptionHost)
                continue;
            result.candidates.push_back({type, std::move(controlUrl)});
        }
    }
    return result;
}

} // namespace portlink
