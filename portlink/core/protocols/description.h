#pragma once
// The device-description request and the search of the description text.
#include <cstddef>
#include <functional>
#include <string>
#include <vector>

namespace portlink {

// "GET " + path + " HTTP/1.1\r\nHOST: " + authority + "\r\nACCEPT-LANGUAGE: en\r\n\r\n"
std::wstring buildDescriptionRequest(const std::wstring &path, const std::wstring &authority);

// True for the connection service types whose actions portlink sends:
// urn:schemas-upnp-org:service:WANIPConnection:N and ...:WANPPPConnection:N for any version
// N >= 1 (boxes list versions that no standard defines), and version 1 of both under
// urn:dslforum-org:service:.  Their actions are the same.
bool isConnectionServiceType(const std::wstring &type);

// One connection service of the description that actions can be sent to.
struct ServiceCandidate {
    std::wstring serviceType; // as the description declares it
    std::wstring controlUrl;  // absolute, on the description's own host
};


// Searches `rest` (the description answer after its status line), fetched from
// `descriptionUrl`, for connection services.  Every service element (the text up to its
// "</service>") yields at most one candidate: its first <serviceType> element, matched
// exactly, must name a connection service type, and its controlURL is looked for after that
// element.  The control URL, trimmed of XML white space, is resolved against URLBase when that
// is an http URL on the description's host, else against the description URL; it counts only
// when it is on the description's host and holds nothing that may not go into a request.
// Each control URL is listed once, best first: the type the search answer named, then that
// service at other versions, WANPPPConnection, WANIPConnection, then the dslforum-org types,
// and services of the same rank in the order of the description.
std::vector<ServiceCandidate> parseDescription(const std::wstring &rest,
                                               const std::wstring &namedType,
                                               const std::wstring &descriptionUrl);

// The devices of the description: the uuid of every <UDN> element (the root device's and each
// embedded device's), read by deviceUuidOfName with nothing allowed to follow, so each
// compares equal to the deviceUuidOf a datagram of that device.  In the order of the
// description, each listed once; malformed ones are skipped, and at most kMaxDeviceUdns are
// kept, which is more devices than a gateway describes.
constexpr size_t kMaxDeviceUdns = 16;
std::vector<std::wstring> deviceUdnsOf(const std::wstring &rest);

// The candidate to use, by its index.  A box may list a connection it does not use beside the
// one it does (a DSL connection on a cable or fibre box) and refuse every action on the idle
// one, so with more than one candidate the first kMaxStatusQuestions are asked in turn whether
// they are up, and the first that is wins; when none is, the first candidate.  With one
// candidate nothing is asked.  The bound keeps discovery short whatever the description lists.
constexpr size_t kMaxStatusQuestions = 4;
size_t chooseLiveCandidate(const std::vector<ServiceCandidate> &candidates,
                           const std::function<bool(const ServiceCandidate &)> &reportsUp);

} // namespace portlink
