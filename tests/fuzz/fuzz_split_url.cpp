// Split of a URL into host, authority, path and port, and the request target made of it.
#include "fuzz_input.h"
#include "text_ops.h"
#include "url_reference.h"

#include <algorithm>

namespace {

// Blanks, control characters and DEL: what a request must not carry.
bool clean(const std::wstring &text) {
    return std::all_of(text.begin(), text.end(), [](wchar_t c) { return c > L' ' && c != 0x7F; });
}

bool allDigits(const std::wstring &text) {
    return std::all_of(text.begin(), text.end(), [](wchar_t c) { return c >= L'0' && c <= L'9'; });
}

// The components, with their delimiters, give the text back.
void requireRecomposes(const std::wstring &text, const portlink::UriComponents &parts) {
    std::wstring whole;
    if (parts.hasScheme)
        whole += parts.scheme + L":";
    if (parts.hasAuthority)
        whole += L"//" + parts.authority;
    whole += parts.path;
    if (parts.hasQuery)
        whole += L"?" + parts.query;
    if (parts.hasFragment)
        whole += L"#" + parts.fragment;
    fuzzing::require(whole == text);
    fuzzing::require(parts.scheme.find_first_of(L":/?#") == std::wstring::npos);
    fuzzing::require(parts.authority.find_first_of(L"/?#") == std::wstring::npos);
    fuzzing::require(parts.path.find_first_of(L"?#") == std::wstring::npos);
    fuzzing::require(parts.query.find(L'#') == std::wstring::npos);
    // After an authority the path is empty or begins with "/".
    fuzzing::require(!parts.hasAuthority || parts.path.empty() || parts.path[0] == L'/');
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    const std::wstring url = fuzzing::widenUntilZero(data, size);
    const portlink::UriComponents parts = portlink::splitUriReference(url);
    requireRecomposes(url, parts);

    std::wstring authority, path;
    int32_t port = -1;
    const std::wstring host = portlink::splitUrl(url, authority, path, port);
    portlink::RequestTarget target;
    const bool requestable = portlink::splitRequestUrl(url, target);
    fuzzing::require(requestable == !portlink::requestHost(url).empty());
    if (!parts.hasScheme || !parts.hasAuthority) {
        fuzzing::require(host.empty() && authority.empty() && path.empty() && port == 0);
        fuzzing::require(!requestable && !portlink::isHttpUrl(url));
        return 0;
    }
    // The authority as written; the path with its query, without the fragment.
    fuzzing::require(authority == parts.authority);
    fuzzing::require(path == (parts.hasQuery ? parts.path + L"?" + parts.query : parts.path));

    // The host is the authority without "userinfo@" and ":port".
    const size_t at = authority.rfind(L'@');
    const std::wstring hostAndPort =
        at == std::wstring::npos ? authority : authority.substr(at + 1);
    fuzzing::require(hostAndPort.compare(0, host.size(), host) == 0);
    const std::wstring portText = hostAndPort.substr(host.size());
    fuzzing::require(portText.empty() || portText[0] == L':');
    fuzzing::require(host.find(L'@') == std::wstring::npos);
    if (host.empty() || host[0] != L'[')
        fuzzing::require(host.find(L':') == std::wstring::npos);
    if (portText.size() <= 1)
        fuzzing::require(port == 80);
    else if (portText.size() <= 10 && allDigits(portText.substr(1))) // nine digits at most
        fuzzing::require(port == std::stoi(portText.substr(1)));

    // The request goes to the same place, with a target that is never empty, and only when
    // there is a host and the text sent is clean.
    fuzzing::require(target.host == host && target.authority == authority && target.port == port);
    fuzzing::require(target.path == (path.compare(0, 1, L"/") == 0 ? path : L"/" + path));
    fuzzing::require(requestable == (!host.empty() && clean(authority) && clean(target.path)));

    // An http URL: the scheme "http" in any case, and a host.
    std::wstring scheme = parts.scheme;
    for (wchar_t &c : scheme)
        c = c >= L'A' && c <= L'Z' ? static_cast<wchar_t>(c + (L'a' - L'A')) : c;
    fuzzing::require(portlink::isHttpUrl(url) == (scheme == L"http" && !host.empty()));
    return 0;
}
