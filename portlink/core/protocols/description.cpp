#include "description.h"

#include <algorithm>
#include <utility>

#include "device_uuid.h"
#include "text_ops.h"
#include "url_reference.h"

namespace portlink {

namespace {

const wchar_t kUpnpServices[] = L"urn:schemas-upnp-org:service:";
const wchar_t kDslForumServices[] = L"urn:dslforum-org:service:";

struct ServiceName {
    bool dslForum = false;
    std::wstring name;    // "WANIPConnection" or "WANPPPConnection"
    std::wstring version; // decimal, no leading zero
};

bool startsWith(const std::wstring &text, const wchar_t *prefix, size_t &length) {
    length = std::char_traits<wchar_t>::length(prefix);
    return text.compare(0, length, prefix) == 0;
}

// Splits a connection service type into its parts; false for any other type.
bool readServiceName(const std::wstring &type, ServiceName &service) {
    size_t prefix = 0;
    if (startsWith(type, kUpnpServices, prefix))
        service.dslForum = false;
    else if (startsWith(type, kDslForumServices, prefix))
        service.dslForum = true;
    else
        return false;
    const size_t colon = type.find(L':', prefix);
    if (colon == std::wstring::npos)
        return false;
    service.name = type.substr(prefix, colon - prefix);
    service.version = type.substr(colon + 1);
    if (service.name != L"WANIPConnection" && service.name != L"WANPPPConnection")
        return false;
    const std::wstring &v = service.version;
    // Nine digits at most: far beyond any version, and the number stays small.
    if (v.empty() || v.size() > 9 || v[0] == L'0' ||
        !std::all_of(v.begin(), v.end(), [](wchar_t c) { return c >= L'0' && c <= L'9'; }))
        return false;
    return !service.dslForum || v == L"1";
}

// Rank of a connection service type, lower first: the type the search answer named, that
// service at another version, WANPPPConnection, WANIPConnection, the dslforum-org types.
int preference(const std::wstring &type, const ServiceName &service, const std::wstring &named) {
    if (type == named)
        return 0;
    ServiceName namedService;
    if (!service.dslForum && readServiceName(named, namedService) && !namedService.dslForum &&
        namedService.name == service.name)
        return 1;
    if (service.dslForum)
        return 4;
    return service.name == L"WANPPPConnection" ? 2 : 3;
}

// The base that relative control URLs resolve against: URLBase when it is an http URL on the
// description's own host, else the description URL.  A URLBase naming another host is known
// from boxes that carry a stale one; their control URLs still live on the device that answered.
std::wstring resolutionBase(const std::wstring &rest, const std::wstring &descriptionUrl,
                            const std::wstring &descriptionHost) {
    const std::wstring urlBase = trimXmlWhiteSpace(getElementText(L"URLBase", rest));
    return isHttpUrl(urlBase) && requestHost(urlBase) == descriptionHost ? urlBase : descriptionUrl;
}

struct Found {
    int rank;
    ServiceCandidate candidate;
};

} // namespace

std::wstring buildDescriptionRequest(const std::wstring &path, const std::wstring &authority) {
    return L"GET " + path + L" HTTP/1.1\r\nHOST: " + authority +
           L"\r\nACCEPT-LANGUAGE: en\r\n\r\n";
}

bool isConnectionServiceType(const std::wstring &type) {
    ServiceName service;
    return readServiceName(type, service);
}

std::vector<ServiceCandidate> parseDescription(const std::wstring &rest,
                                               const std::wstring &namedType,
                                               const std::wstring &descriptionUrl) {
    const std::wstring descriptionHost = requestHost(descriptionUrl);
    const std::wstring base = resolutionBase(rest, descriptionUrl, descriptionHost);
    static const std::wstring typeOpen = L"<serviceType>";
    static const std::wstring typeClose = L"</serviceType>";
    static const std::wstring serviceClose = L"</service>";

    std::vector<Found> found;
    size_t start = 0;
    for (size_t end = rest.find(serviceClose); end != std::wstring::npos;
         start = end + serviceClose.size(), end = rest.find(serviceClose, start)) {
        const std::wstring section = rest.substr(start, end - start);
        const size_t open = section.find(typeOpen);
        if (open == std::wstring::npos)
            continue;
        const size_t typeStart = open + typeOpen.size();
        const size_t close = section.find(typeClose, typeStart);
        if (close == std::wstring::npos)
            continue;
        const std::wstring type = section.substr(typeStart, close - typeStart);
        ServiceName service;
        if (!readServiceName(type, service))
            continue;
        const std::wstring written = trimXmlWhiteSpace(
            getElementText(L"controlURL", section.substr(close + typeClose.size())));
        if (written.empty())
            continue;
        std::wstring controlUrl = resolveReference(base, written);
        // Actions go only to the device whose description this is.
        if (requestHost(controlUrl) != descriptionHost || descriptionHost.empty())
            continue;
        found.push_back({preference(type, service, namedType), {type, std::move(controlUrl)}});
    }
    std::stable_sort(found.begin(), found.end(),
                     [](const Found &a, const Found &b) { return a.rank < b.rank; });

    std::vector<ServiceCandidate> candidates;
    for (Found &f : found) {
        const bool listed =
            std::any_of(candidates.begin(), candidates.end(), [&](const ServiceCandidate &c) {
                return c.controlUrl == f.candidate.controlUrl;
            });
        if (!listed)
            candidates.push_back(std::move(f.candidate));
    }
    return candidates;
}

std::vector<std::wstring> deviceUdnsOf(const std::wstring &rest) {
    static const std::wstring open = L"<UDN>";
    static const std::wstring close = L"</UDN>";
    std::vector<std::wstring> uuids;
    for (size_t at = rest.find(open); at != std::wstring::npos && uuids.size() < kMaxDeviceUdns;
         at = rest.find(open, at)) {
        const size_t start = at + open.size();
        const size_t end = rest.find(close, start);
        if (end == std::wstring::npos)
            break;
        at = end + close.size();
        std::wstring uuid = deviceUuidOfName(rest.substr(start, end - start), false);
        if (!uuid.empty() && std::find(uuids.begin(), uuids.end(), uuid) == uuids.end())
            uuids.push_back(std::move(uuid));
    }
    return uuids;
}

size_t chooseLiveCandidate(const std::vector<ServiceCandidate> &candidates,
                           const std::function<bool(const ServiceCandidate &)> &reportsUp) {
    if (candidates.size() > 1) {
        const size_t asked = std::min(candidates.size(), kMaxStatusQuestions);
        for (size_t i = 0; i < asked; ++i) {
            if (reportsUp(candidates[i]))
                return i;
        }
    }
    return 0;
}

} // namespace portlink
