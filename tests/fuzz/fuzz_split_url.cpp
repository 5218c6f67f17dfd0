// Split of a URL into host, authority, path and port.
#include "fuzz_input.h"
#include "text_ops.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    const std::wstring url = fuzzing::widenUntilZero(data, size);
    std::wstring authority, path;
    int32_t port = -1;
    const std::wstring host = portlink::splitUrl(url, authority, path, port);
    const size_t scheme = url.find(L"://");
    if (scheme == std::wstring::npos) {
        fuzzing::require(host.empty() && authority.empty() && path.empty() && port == 0);
        return 0;
    }
    // Authority and path together are exactly what follows "://".
    fuzzing::require(authority + path == url.substr(scheme + 3));
    fuzzing::require(authority.find(L'/') == std::wstring::npos);
    fuzzing::require(path.empty() || path[0] == L'/');
    fuzzing::require(host.find(L':') == std::wstring::npos);
    fuzzing::require(authority.find(host) != std::wstring::npos);
    return 0;
}
